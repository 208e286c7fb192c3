#include "model/physical_model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "model/far_field.hpp"
#include "model/gauss_legendre.hpp"
#include "model/level_dispatch.hpp"
#include "model/parallel_for.hpp"
#include "model/physical_column.hpp"
#include "model/propagator.hpp"
#include "model/physical_constants.hpp"
#include "model/scheme_presets.hpp"
#include "model/scheme_rates.hpp"
#include "model/seed_stepper.hpp"

namespace plix::model {
namespace {

// The pulse is followed over |t| <= pulse_window * tau: erfc(3.46) < 1e-6 of its energy
// lies outside.
constexpr double pulse_window = 3.46;

// Where the grid search starts, and where it gives up refining.
constexpr PhysicalGrid first_grid{.time_steps = 24, .slices = 4, .radial_nodes = 3};
constexpr PhysicalGrid largest_grid{.time_steps = 8192, .slices = 1024, .radial_nodes = 64};
// Cells (time steps x slices x radial nodes) per scan position beyond which the search stops
// and reports the estimate it has: about a second per position on one core.
constexpr double largest_cells = 1 << 20;
constexpr int max_search_rounds = 8;
// A second-order error estimated from a grid and its halving: (coarse - fine) * 4/3.
constexpr double second_order_richardson = 4.0 / 3.0;
// Margin on the predicted refinement, and bounds on one round's growth of a dimension.
constexpr double refinement_margin = 1.15;
constexpr double smallest_growth = 1.25;
constexpr double largest_growth = 4.0;

constexpr std::size_t cache_line_doubles = 64 / sizeof(double);

// A count for a message: 3 significant figures.
std::string number_text(double x) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", x);
    return buffer;
}

// Stretch of the time map below: steps at the pulse centre are 1/cosh(1.5) = 0.43 of those at
// the window's ends. Against uniform steps it cuts the time error at a given step count by
// 15 to 40 % (measured on the five-level and two-level cases), the tails carrying little.
constexpr double time_stretch = 1.5;

// Integral of exp(-(t/tau)^2) over [a, b], in units of tau, without the cancellation of
// erf near +-1 in the tails.
double pulse_integral(double a, double b) {
    constexpr double half_root_pi = 0.88622692545275801365;  // sqrt(pi) / 2
    if (a >= 0.0) return half_root_pi * (std::erfc(a) - std::erfc(b));
    if (b <= 0.0) return half_root_pi * (std::erfc(-b) - std::erfc(-a));
    return half_root_pi * (std::erf(b) - std::erf(a));
}

// The time steps over the pulse window: t = W tau sinh(beta x) / sinh(beta) for x uniform in
// [-1, 1], W = pulse_window and beta = time_stretch.
struct TimeSteps {
    std::vector<double> duration, mean_pulse, extrapolation;
    double energy = 0.0;

    TimeSteps(double tau, std::size_t count)
        : duration(count), mean_pulse(count), extrapolation(count, 1.0) {
        const auto boundary = [&](std::size_t j) {  // in units of tau
            const double x = -1.0 + 2.0 * static_cast<double>(j) / static_cast<double>(count);
            return pulse_window * std::sinh(time_stretch * x) / std::sinh(time_stretch);
        };
        double start = boundary(0);
        for (std::size_t j = 0; j < count; ++j) {
            const double end = boundary(j + 1);
            const double share = pulse_integral(start, end);
            duration[j] = (end - start) * tau;
            mean_pulse[j] = share / (end - start);
            energy += share * tau;
            if (j >= 2)
                extrapolation[j] =
                    (duration[j] + duration[j - 1]) / (duration[j - 1] + duration[j - 2]);
            start = end;
        }
    }
};

bool on_axis(const PhysicalConfig& config) { return config.geometry == Geometry::on_axis; }

// Everything about a curve that does not depend on the grid, for a scheme of N levels (0: a
// sample without a level scheme).
template <std::size_t N>
class CurveEvaluator {
  public:
    CurveEvaluator(const PhysicalConfig& config, const PhysicalParameterLayout& layout,
                   const CurveRequest& request)
        : config_(config),
          setup_(request.setup),
          optics_(optics_of(layout, request.params, config.saturation)),
          aperture_(request.aperture),
          axis_peaks_(request.positions_mm.size()),
          positions_(request.positions_mm.size()),
          positions_mm_(request.positions_mm) {
        if constexpr (N > 0) {
            rates_.emplace(
                *config.scheme, layout.process_parameter, request.params,
                constants::inverse_planck / (constants::speed_of_light / setup_.wavelength));
            for (std::size_t l = 0; l < N; ++l) initial_[l] = setup_.populations[l];
            const std::vector<Refraction>& refraction = config.scheme->refraction;
            for (std::size_t k = 0; k < refraction.size(); ++k) {
                const double volume = request.params[layout.refraction_parameter[k]];
                if (volume != 0.0) refraction_.push_back({refraction[k].level, volume});
            }
        }
        const double w0 = setup_.w0;
        const double rayleigh_range = setup_.rayleigh_range();
        const double pulse_width = std::numbers::pi * std::sqrt(std::numbers::pi) * setup_.tau;
        for (std::size_t i = 0; i < axis_peaks_.size(); ++i) {
            const double zr = request.positions_mm[i] * constants::millimetre / rayleigh_range;
            const double w2 = (w0 * w0) * (1.0 + zr * zr);
            axis_peaks_[i] = 2.0 * request.energy_at(i) / pulse_width / w2;
            positions_[i] = zr;
        }
    }

    std::size_t size() const { return axis_peaks_.size(); }

    // The normalised curve on `grid` (radial_nodes ignored on axis). Returns the bound on the
    // far field's truncated terms over the positions, in the curve's normalisation (0 for an
    // open aperture).
    double evaluate(const PhysicalGrid& grid, std::span<double> out, const RunControl& run) const {
        const TimeSteps steps(setup_.tau, static_cast<std::size_t>(grid.time_steps));
        const bool closed = aperture_ < open_aperture;
        const std::optional<PropagatorTable<N>> propagators =
            propagator_table(steps, run.threads);
        const ColumnScheme<N> scheme{
            .rates = rates_ ? &*rates_ : nullptr,
            .propagators = propagators ? &*propagators : nullptr,
            .run = &run,
            .optics = optics_,
            .refraction = refraction_,
            .wavenumber = 2.0 * std::numbers::pi / setup_.wavelength,
            .track_phase = closed && (optics_.n2 != 0.0 || !refraction_.empty()),
            .duration = steps.duration,
            .mean_pulse = steps.mean_pulse,
            .extrapolation = steps.extrapolation,
            .pulse_energy = steps.energy,
            .slices = static_cast<std::size_t>(grid.slices),
            .slice_thickness = setup_.sample_width / static_cast<double>(grid.slices),
            .initial = initial_,
            .reference_absorption = linear_absorption(),
        };

        // Radial quadrature in s = exp(-2 r^2 / w^2), the column's share of the peak fluence:
        // the area element is proportional to ds / s and the incident fluence to s, so the
        // transmitted energy fraction is the plain mean of the column transmittance over
        // s in [0, 1], which Gauss-Legendre integrates far better than Gauss-Laguerre in
        // -ln s would.
        const std::size_t nodes =
            on_axis(config_) ? 1 : static_cast<std::size_t>(grid.radial_nodes);
        std::vector<double> s(nodes, 1.0);
        std::vector<double> weights(nodes, 1.0);
        if (!on_axis(config_)) gauss_legendre_unit(s, weights);

        std::vector<double> truncation(size(), 0.0);
        if (closed)
            through_aperture(scheme, s, weights, out, truncation, run);
        else
            over_the_beam(scheme, s, weights, out, run);
        const double scale = normalise(scheme, out, positions_mm_);
        double largest = 0.0;
        for (const double t : truncation) largest = std::max(largest, t * scale);
        return largest;
    }

  private:
    // The half-step propagators of the grid's time steps, each for intensities up to the
    // largest any column meets (the peak on axis at the closest position; a cell above it, as
    // an extrapolated absorption below zero can give, falls back to the matrix exponential).
    std::optional<PropagatorTable<N>> propagator_table(const TimeSteps& steps,
                                                       unsigned threads) const {
        if constexpr (N == 0) {
            return std::nullopt;
        } else {
            const double peak = *std::max_element(axis_peaks_.begin(), axis_peaks_.end());
            std::vector<double> half_steps(steps.duration.size());
            std::vector<double> largest(half_steps.size());
            for (std::size_t j = 0; j < half_steps.size(); ++j) {
                half_steps[j] = 0.5 * steps.duration[j];
                largest[j] = peak * steps.mean_pulse[j];
            }
            PropagatorSettings settings;
            settings.tolerance = config_.propagator_tolerance;
            return std::optional<PropagatorTable<N>>(std::in_place, *rates_, half_steps, largest,
                                                     settings, threads);
        }
    }

    // The transmitted energy fraction through the whole beam: every column on its own.
    void over_the_beam(const ColumnScheme<N>& scheme, std::span<const double> s,
                       std::span<const double> weights, std::span<double> out,
                       const RunControl& run) const {
        const std::size_t nodes = s.size();
        const std::size_t items = size() * nodes;
        const unsigned workers = worker_count(items, run.threads);
        const std::size_t scratch_size = column_scratch_size<N>(scheme.slices);
        // Each worker's scratch starts a cache line after the previous one ends, so that
        // workers never write to a shared line in the inner loop.
        const std::size_t scratch_stride =
            (scratch_size + cache_line_doubles - 1) / cache_line_doubles * cache_line_doubles +
            cache_line_doubles;
        std::vector<double> scratch(workers * scratch_stride);
        std::vector<double> columns(items);
        parallel_for(items, run, [&](unsigned worker, std::size_t item) {
            const std::size_t position = item / nodes;
            const std::size_t node = item % nodes;
            const std::span<double> own{scratch.data() + worker * scratch_stride, scratch_size};
            columns[item] = column_transmittance<N>(scheme, axis_peaks_[position] * s[node], own);
        });
        for (std::size_t i = 0; i < size(); ++i) {
            double sum = 0.0;
            for (std::size_t r = 0; r < nodes; ++r) sum += weights[r] * columns[i * nodes + r];
            out[i] = sum;
        }
    }

    // The fraction of the pulse energy that passes the far-field aperture: the columns of a
    // position advance together, and after each time step their exit field goes to the far
    // field. `truncation` receives the bound on the far field's truncated terms, in the
    // same units.
    void through_aperture(const ColumnScheme<N>& scheme, std::span<const double> s,
                          std::span<const double> weights, std::span<double> out,
                          std::span<double> truncation, const RunControl& run) const {
        const std::size_t nodes = s.size();
        const std::size_t cell_doubles = column_scratch_size<N>(scheme.slices);
        parallel_for(size(), run, [&](unsigned /*worker*/, std::size_t i) {
            const ApertureFarField far_field(positions_[i], aperture_, s, weights);
            std::vector<double> cells(std::max<std::size_t>(1, nodes * cell_doubles));
            std::vector<std::complex<double>> modulation(nodes);
            std::vector<std::complex<double>> far_scratch(far_field.scratch_size());
            const auto column = [&](std::size_t r) {
                return std::span<double>(cells.data() + r * cell_doubles, cell_doubles);
            };
            for (std::size_t r = 0; r < nodes; ++r) column_start<N>(scheme, column(r));
            double passed = 0.0;
            double bound = 0.0;
            for (std::size_t j = 0; j < scheme.duration.size(); ++j) {
                for (std::size_t r = 0; r < nodes; ++r) {
                    const double entering = axis_peaks_[i] * s[r] * scheme.mean_pulse[j];
                    const ColumnExit exit = column_step<N>(scheme, j, entering, column(r));
                    const double amplitude =
                        entering > 0.0 ? std::sqrt(exit.intensity / entering) : 0.0;
                    modulation[r] = exit.phase == 0.0 ? std::complex<double>(amplitude)
                                                      : std::polar(amplitude, exit.phase);
                }
                double step_bound = 0.0;
                const double share = scheme.duration[j] * scheme.mean_pulse[j];
                passed += share * far_field.fraction(modulation, far_scratch, step_bound);
                bound += share * step_bound;
            }
            out[i] = passed / scheme.pulse_energy;
            truncation[i] = bound / scheme.pulse_energy;
        });
    }

    // Whether the initial populations stay put without light.
    bool initial_populations_relax() const {
        if constexpr (N == 0) {
            return false;
        } else {
            Matrix<N> a;
            rates_->template rate_matrix<N>(0.0, a);
            for (std::size_t row = 0; row < N; ++row) {
                double flow = 0.0;
                for (std::size_t col = 0; col < N; ++col) flow += a[row * N + col] * initial_[col];
                if (flow != 0.0) return true;
            }
            return false;
        }
    }

    // The absorption coefficient at vanishing intensity of the initial state.
    double linear_absorption() const {
        double alpha = 0.0;
        if constexpr (N > 0) alpha = rates_->absorption(initial_.data(), 0.0);
        if (optics_.absorbs()) alpha += optics_.linear_absorption();
        return alpha;
    }

    // Transmittance of the discretisation at vanishing intensity relative to the scheme's
    // reference (Beer-Lambert of the initial state): 1 when nothing relaxes, otherwise one
    // column with the pumping switched off and only the linear part of the instantaneous
    // absorption (the same for every radius and position).
    double linear_transmittance(const ColumnScheme<N>& scheme) const {
        if (!initial_populations_relax()) return 1.0;
        if constexpr (N == 0) {
            return 1.0;  // not reached: nothing relaxes without a scheme
        } else {
            const SchemeRates dark = rates_->without_light();
            ColumnScheme<N> unlit = scheme;
            unlit.rates = &dark;
            unlit.propagators = nullptr;  // one column: a table would not pay
            unlit.optics = InstantaneousOptics{.alpha0 = optics_.linear_absorption()};
            unlit.track_phase = false;
            std::vector<double> scratch(column_scratch_size<N>(scheme.slices));
            return column_transmittance<N>(unlit, 1.0, scratch);
        }
    }

    // Normalises the curve; returns the factor that the normalisation applied to its
    // deviations (1 for the shifts).
    // The columns give transmittances relative to Beer-Lambert of the initial state, so the
    // linear normalisation never forms exp(-optical density); the other two need the raw
    // fraction, which underflows to 0 where the sample is that dark.
    double normalise(const ColumnScheme<N>& scheme, std::span<double> out,
                     std::span<const double> positions_mm) const {
        switch (config_.normalisation) {
            case Normalisation::linear: {
                double t0 = linear_transmittance(scheme);
                if (aperture_ < open_aperture) t0 *= aperture_;
                for (double& value : out) value /= t0;
                return 1.0 / t0;
            }
            case Normalisation::ends:
                to_raw(scheme, out);
                shift_to_unit_baseline(out, positions_mm);
                break;
            case Normalisation::none:
                to_raw(scheme, out);
                return std::exp(-scheme.reference_absorption * setup_.sample_width);
        }
        return 1.0;
    }

    void to_raw(const ColumnScheme<N>& scheme, std::span<double> out) const {
        const double beer_lambert = std::exp(-scheme.reference_absorption * setup_.sample_width);
        for (double& value : out) value *= beer_lambert;
    }

    const PhysicalConfig& config_;
    const Setup& setup_;
    std::optional<SchemeRates> rates_;
    InstantaneousOptics optics_;
    std::vector<RefractionTerm> refraction_;
    double aperture_;
    Vector<N> initial_{};
    std::vector<double> axis_peaks_;
    std::vector<double> positions_;  // z / z0
    std::span<const double> positions_mm_;
};

double largest_difference(std::span<const double> a, std::span<const double> b) {
    double largest = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double difference = std::abs(a[i] - b[i]);
        if (!(difference <= largest)) largest = difference;  // NaN sticks
    }
    return largest;
}

// The grid's dimensions as an array, for the search.
enum Dimension : std::size_t { time_dimension, depth_dimension, radial_dimension };
constexpr std::size_t dimension_count = 3;
using GridSizes = std::array<int, dimension_count>;

GridSizes sizes_of(const PhysicalGrid& g) { return {g.time_steps, g.slices, g.radial_nodes}; }
PhysicalGrid grid_of(const GridSizes& s) {
    return {.time_steps = s[time_dimension],
            .slices = s[depth_dimension],
            .radial_nodes = s[radial_dimension]};
}

double cells(const GridSizes& s) {
    return static_cast<double>(s[time_dimension]) * static_cast<double>(s[depth_dimension]) *
           static_cast<double>(s[radial_dimension]);
}

// Searches for the cheapest grid whose estimated error is within model.accuracy. Each round
// compares the grid with its halving in every dimension: time and depth converge at second
// order (error about 4/3 of the difference), the radial Gauss-Legendre rule geometrically
// (error about the difference, plus the bound on the terms a closed aperture's far field
// leaves out). Dimensions fixed by model.grid are estimated, not changed.
// Leaves the curve on the returned grid in `curve`.
template <std::size_t N>
PhysicalModel::GridChoice search_grid(const PhysicalConfig& model,
                                      const CurveEvaluator<N>& evaluator, const RunControl& run,
                                      std::span<double> curve) {
    PhysicalModel::GridChoice choice;
    double& error_estimate = choice.error_estimate;
    GridSizes sizes = sizes_of(first_grid);
    const GridSizes given = sizes_of(model.grid);
    const GridSizes largest = sizes_of(largest_grid);
    std::array<bool, dimension_count> free{};
    const std::size_t dimensions = on_axis(model) ? radial_dimension : dimension_count;
    for (std::size_t d = 0; d < dimension_count; ++d) {
        free[d] = d < dimensions && given[d] <= 0;
        if (given[d] > 0) sizes[d] = given[d];
    }
    if (on_axis(model)) sizes[radial_dimension] = 1;

    // A round evaluates the grid and its halving in every searched dimension.
    const double positions = static_cast<double>(evaluator.size());
    const auto round_cost = [&](const GridSizes& g) {
        return positions * cells(g) * (1.0 + 2.0 * static_cast<double>(dimensions));
    };
    if (round_cost(sizes) > model.max_cells)
        throw std::invalid_argument(
            "model.max_cells: the grid search needs at least " + number_text(round_cost(sizes)) +
            " cells for " + std::to_string(evaluator.size()) + " positions, beyond max_cells = " +
            number_text(model.max_cells) + "; give fewer positions or raise max_cells");
    double spent = 0.0;
    std::vector<double> refined(evaluator.size());
    for (int round = 0;; ++round) {
        spent += round_cost(sizes);
        const double truncation = evaluator.evaluate(grid_of(sizes), curve, run);
        std::array<double, dimension_count> error{};
        for (std::size_t d = 0; d < dimensions; ++d) {
            GridSizes finer = sizes;
            finer[d] *= 2;
            const double finer_truncation = evaluator.evaluate(grid_of(finer), refined, run);
            const double difference = largest_difference(curve, refined);
            // The far field's truncated terms are the same on both grids, so the difference
            // cannot show them; their bound is added.
            error[d] = d == radial_dimension ? difference + std::max(truncation, finer_truncation)
                                             : second_order_richardson * difference;
        }
        double total = 0.0;
        for (const double e : error) total += e;
        error_estimate = total;
        // A non-finite curve (non-finite or extreme parameters) ends the search: no grid
        // would mend it.
        choice.grid = grid_of(sizes);
        if (!std::isfinite(total) || total <= model.accuracy || round + 1 == max_search_rounds)
            return choice;

        // The dimensions over their share take the budget that the others leave.
        const double share = model.accuracy / static_cast<double>(dimensions);
        double budget = model.accuracy;
        int over = 0;
        for (std::size_t d = 0; d < dimensions; ++d) {
            if (free[d] && error[d] > share && sizes[d] < largest[d])
                ++over;
            else
                budget -= error[d];
        }
        if (over == 0 || budget <= 0.0) return choice;
        const double target = budget / static_cast<double>(over);
        GridSizes next = sizes;
        for (std::size_t d = 0; d < dimensions; ++d) {
            if (!free[d] || error[d] <= share || sizes[d] >= largest[d]) continue;
            const double predicted =
                d == radial_dimension ? 2.0 : refinement_margin * std::sqrt(error[d] / target);
            const double growth = std::clamp(predicted, smallest_growth, largest_growth);
            const double grown = std::ceil(static_cast<double>(sizes[d]) * growth);
            next[d] = static_cast<int>(std::min(grown, static_cast<double>(largest[d])));
        }
        if (cells(next) > largest_cells) return choice;
        if (spent + round_cost(next) > model.max_cells) {
            choice.wanted = grid_of(next);
            return choice;
        }
        sizes = next;
    }
}

bool grid_is_fixed(const PhysicalConfig& config) {
    return config.grid.time_steps > 0 && config.grid.slices > 0 &&
           (on_axis(config) || config.grid.radial_nodes > 0);
}

std::vector<int> grid_vector(const PhysicalGrid& g) {
    return {g.time_steps, g.slices, g.radial_nodes};
}

std::vector<int> wanted_vector(const PhysicalModel::GridChoice& choice) {
    return choice.wanted.time_steps > 0 ? grid_vector(choice.wanted) : std::vector<int>{};
}


PhysicalGrid componentwise_max(const PhysicalGrid& a, const PhysicalGrid& b) {
    return {std::max(a.time_steps, b.time_steps), std::max(a.slices, b.slices),
            std::max(a.radial_nodes, b.radial_nodes)};
}

// body.template operator()<N>() with N the sample's level count (0: no level scheme).
template <class Body>
decltype(auto) with_sample_levels(std::size_t levels, Body&& body) {
    if (levels == 0) return std::forward<Body>(body).template operator()<0>();
    return with_levels(levels, std::forward<Body>(body));
}

// A thin sample: the beam keeps its width through it when L <= n0 z0 / 4, within half a
// percent. Against the thick-sample forms (Sheik-Bahae et al., Opt. Eng. 30, 1228 (1991)),
// keeping the width at the centre overstates the nonlinear loss at the focus by 0.52 % at
// that thickness (2 arctan(l/2) / l for l = L / (n0 z0)) and the closed-aperture
// peak-to-valley by 0.44 %; both grow as l^2 (2 % at n0 z0 / 2).
constexpr double thin_sample_rayleigh_share = 0.25;

std::string millimetres(double metres) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g mm", metres / constants::millimetre);
    return text;
}

}  // namespace

PhysicalModel::PhysicalModel(PhysicalConfig config) : config_(std::move(config)) {
    if (config_.scheme) {
        if (const auto problem = config_.scheme->problem())
            throw std::invalid_argument("scheme: " + *problem);
    }
    layout_ = physical_parameter_layout(config_.scheme);
    specs_ = physical_parameter_specs(config_.scheme);
}

void PhysicalModel::curve(const CurveRequest& request, std::span<double> out, const RunControl& run,
                          CurveReport& report) const {
    if (request.aperture < open_aperture && on_axis(config_))
        throw std::invalid_argument(
            "aperture: the on_axis geometry computes open-aperture curves only; use the "
            "'beam' geometry for a closed aperture");
    with_sample_levels(levels(), [&]<std::size_t N>() {
        const CurveEvaluator<N> evaluator(config_, layout_, request);
        if (grid_is_fixed(config_)) {
            PhysicalGrid grid = config_.grid;
            if (on_axis(config_)) grid.radial_nodes = 1;
            refuse_beyond_budget(grid, evaluator.size());
            evaluator.evaluate(grid, out, run);
            report.used = {grid_vector(grid), std::numeric_limits<double>::quiet_NaN(), {}};
            return;
        }
        const GridChoice choice = search_grid(config_, evaluator, run, out);
        report.used = {grid_vector(choice.grid), choice.error_estimate, wanted_vector(choice)};
    });
}

PhysicalModel::GridChoice PhysicalModel::search(const CurveRequest& request,
                                                const RunControl& run) const {
    return with_sample_levels(levels(), [&]<std::size_t N>() {
        const CurveEvaluator<N> evaluator(config_, layout_, request);
        std::vector<double> curve(evaluator.size());
        return search_grid(config_, evaluator, run, curve);
    });
}

PhysicalGrid PhysicalModel::choose_grid(const CurveRequest& request, const RunControl& run,
                                        double& error_estimate) const {
    const GridChoice choice = search(request, run);
    error_estimate = choice.error_estimate;
    return choice.grid;
}

double PhysicalModel::evaluation_cells(const CurveRequest& request) const {
    if (!grid_is_fixed(config_)) return config_.max_cells;
    PhysicalGrid grid = config_.grid;
    if (on_axis(config_)) grid.radial_nodes = 1;
    return static_cast<double>(request.positions_mm.size()) * cells(sizes_of(grid));
}

void PhysicalModel::refuse_beyond_budget(const PhysicalGrid& grid, std::size_t positions) const {
    const double needed = static_cast<double>(positions) * cells(sizes_of(grid));
    if (needed > config_.max_cells)
        throw std::invalid_argument(
            "model.grid (" + std::to_string(grid.time_steps) + ", " +
            std::to_string(grid.slices) + ", " + std::to_string(grid.radial_nodes) + ") needs " +
            number_text(needed) + " cells for " + std::to_string(positions) +
            " positions, beyond max_cells = " + number_text(config_.max_cells) +
            "; give a coarser grid or fewer positions, or raise max_cells");
}

std::vector<std::string> PhysicalModel::range_notes(const CurveRequest& request) const {
    const Setup& setup = request.setup;
    const double limit = thin_sample_rayleigh_share * setup.n0 * setup.rayleigh_range();
    if (setup.sample_width <= limit) return {};
    return {"the sample is not thin: its width " + millimetres(setup.sample_width) +
            " exceeds n0 z0 / 4 = " + millimetres(limit) +
            ", beyond which the model, which keeps the beam's width at the sample's centre "
            "through its depth, overstates the nonlinear signal by more than 0.5 %"};
}

double PhysicalModel::focus_position(std::span<const double> positions_mm,
                                     std::span<const double> measured, double aperture) const {
    if (aperture < open_aperture) return peak_valley_crossing(positions_mm, measured);
    return extremum_position(positions_mm, measured);
}

std::shared_ptr<const CurveModel> PhysicalModel::with_fixed_discretisation(
    std::span<const CurveRequest> curves, const RunControl& run, Discretisation& chosen) const {
    const PhysicalGrid& given = config_.grid;
    if (given.time_steps != 0 || given.slices != 0 || given.radial_nodes != 0) {
        chosen = {};
        return nullptr;
    }
    PhysicalGrid grid{};
    PhysicalGrid wanted{};
    double largest_estimate = 0.0;
    for (const CurveRequest& request : curves) {
        const GridChoice choice = search(request, run);
        grid = componentwise_max(grid, choice.grid);
        wanted = componentwise_max(wanted, choice.wanted);
        largest_estimate = std::max(largest_estimate, choice.error_estimate);
    }
    PhysicalConfig fixed = config_;
    fixed.grid = grid;
    chosen = {grid_vector(grid), largest_estimate,
              wanted.time_steps > 0 ? grid_vector(componentwise_max(grid, wanted))
                                    : std::vector<int>{}};
    return std::make_shared<PhysicalModel>(std::move(fixed));
}

}  // namespace plix::model

namespace plix::model {
namespace {

// Largest grid entry: the grid is counted in C ints.
constexpr std::int64_t largest_grid_entry = 2147483647;
constexpr double largest_accuracy = 0.1;
// A relaxed copy's propagators may err by this fraction of its accuracy per use: a thousand
// uses along a column stay a thousandth of the grid's error.
constexpr double relaxed_propagator_share = 1e-6;

}  // namespace

std::shared_ptr<const CurveModel> PhysicalModel::with_relaxed_accuracy(double factor) const {
    const PhysicalGrid& given = config_.grid;
    // As with_fixed_discretisation: a fit chooses the grid only when no entry is given.
    const bool chosen = given.time_steps == 0 && given.slices == 0 && given.radial_nodes == 0;
    const double relaxed = std::min(config_.accuracy * factor, largest_accuracy);
    if (!chosen || !(relaxed > config_.accuracy)) return nullptr;
    PhysicalConfig config = config_;
    config.accuracy = relaxed;
    config.propagator_tolerance =
        std::max(config_.propagator_tolerance, relaxed * relaxed_propagator_share);
    return std::make_shared<PhysicalModel>(std::move(config));
}

ModelKind physical_kind() {
    ModelKind kind;
    kind.name = "physical";
    kind.summary =
        "Energy-normalised Gaussian beam and pulse, any level scheme, instantaneous absorption "
        "and refraction, open or closed aperture, converged grid.";
    kind.doc =
        "The physical model, meant for real measurements: an energy-normalised Gaussian beam and "
        "pulse (the whole pulse in time), the true sample thickness, the populations of the "
        "level scheme stepped by exact propagators in a scheme of second order in the time "
        "step and the slice thickness, and a grid chosen for the requested accuracy (its "
        "error estimate reported). Besides the scheme the sample absorbs with alpha0 + beta I "
        "+ gamma I^2 + alpha_s / (1 + I/I_sat) (or / sqrt(1 + I/I_sat), saturation "
        "'inhomogeneous'; alpha0 and alpha_s in 1/m, beta in m/W, gamma in m^3/W^2, I_sat in "
        "W/m^2) and refracts with n2 I (n2 in m^2/W) plus, per level of the scheme with a "
        "refraction volume (m^3), volume * (N - N(0)); the parameters after the scheme's "
        "default to values that switch them off. Through a closed aperture (an aperture of "
        "linear transmittance S < 1 in the far field, beam geometry) the field leaving the "
        "sample at every time step is taken to the far field as a sum of Gaussian beams and "
        "its energy inside the aperture integrated. Conventions: the beam is a Gaussian of "
        "waist w0 (1/e^2 radius of the intensity) and Rayleigh range z0 = pi w0^2 / (M2 "
        "wavelength); the pulse is exp(-(t/tau)^2), tau its 1/e half-width; positions are those "
        "of the sample from the focus, increasing toward the detector, so that a positive n2 "
        "(self-focusing) puts the valley before the focus and the peak after it. The sample is "
        "thin: the beam keeps its width through it (a note says when L > n0 z0 / 4). Curves are "
        "normalised by the exact transmittance at vanishing intensity (times S for a closed "
        "aperture); cross-sections fitted with it can be compared with the literature.";
    FieldSpec scheme = scheme_field(
        "scheme", five_level_scheme(),
        "The level scheme whose cross-sections, lifetimes and refraction volumes are "
        "parameters (default: the five-level absorber); None: a sample without one (no "
        "populations).");
    scheme.none_allowed = true;
    kind.fields = {
        choice_field("geometry", "beam",
                     "'beam': the transmitted energy over the whole beam cross-section (an "
                     "open-aperture detector, or the far field behind a closed aperture); "
                     "'on_axis': the beam axis only (open aperture).",
                     {"beam", "on_axis"}),
        real_field("accuracy", 1e-4,
                   "Requested error of the normalised transmittance; the grid is chosen for it "
                   "when grid is None.",
                   0.0, largest_accuracy, true),
        normalisation_field("linear"),
        grid_field("grid",
                   "None: chosen for the accuracy; or (time_steps, slices, radial_nodes), each "
                   ">= 1, used as given.",
                   {"time_steps", "slices", "radial_nodes"}, largest_grid_entry),
        std::move(scheme),
        choice_field("saturation", "homogeneous",
                     "How alpha_s saturates: 'homogeneous', alpha_s / (1 + I/I_sat); "
                     "'inhomogeneous', alpha_s / sqrt(1 + I/I_sat).",
                     {"homogeneous", "inhomogeneous"}),
        real_field("max_cells", PhysicalConfig{}.max_cells,
                   "Cells (positions x radial nodes x time steps x slices) one curve may cost, "
                   "its grid search included (about 60 to 100 ns each on one core): a grid "
                   "beyond it is refused before any work, and the grid search stops at it with "
                   "a warning that names the grid the accuracy would need.",
                   0.0, std::numeric_limits<double>::infinity(), true),
    };
    kind.make = [](const FieldValues& v) {
        PhysicalConfig config;
        config.max_cells = field<double>(v, "max_cells");
        if (!field_is_none(v, "scheme")) config.scheme = field<LevelScheme>(v, "scheme");
        config.saturation = field<std::string>(v, "saturation") == "inhomogeneous"
                                ? Saturation::inhomogeneous
                                : Saturation::homogeneous;
        config.geometry =
            field<std::string>(v, "geometry") == "on_axis" ? Geometry::on_axis : Geometry::beam;
        config.accuracy = field<double>(v, "accuracy");
        config.normalisation = normalisation_of(field<std::string>(v, "normalisation"));
        if (!field_is_none(v, "grid")) {
            const auto& g = field<std::vector<std::int64_t>>(v, "grid");
            config.grid = {static_cast<int>(g[0]), static_cast<int>(g[1]), static_cast<int>(g[2])};
        }
        return std::make_shared<const PhysicalModel>(std::move(config));
    };
    return kind;
}

}  // namespace plix::model
