#include "model/propagator.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/level_scheme.hpp"
#include "model/parallel_for.hpp"
#include "model/propagator_bound.hpp"

namespace plix::model {
namespace {

// A piece's width is searched for geometrically until the largest width known to fit and the
// smallest known not to are within this ratio.
constexpr double width_resolution = 1.0 + 1.0 / 8.0;
// The first width tried for a piece that cannot reach its cap, as a share of the way to it.
constexpr double first_guess = 0.25;
// A piece narrower than this fraction of its lower end makes no headway: the step is left to
// matrix_exponential.
constexpr double narrowest_piece = 1e-12;
// The tolerance of a piece is scaled down by the square of the photon events per level and
// half step at its lower end, but by no more than this: populations one and two photons away
// from the occupied levels scale like that at weak light, and so keep their relative accuracy
// down to about this fraction of the total.
constexpr double smallest_tolerance_scale = 1e-30;

// The truncation tolerance of a piece starting at `lower`.
double piece_tolerance(const LightCoupling& coupling, double lower, double tolerance) {
    const double events = (coupling.linear + coupling.quadratic * lower) * lower;
    return tolerance * std::clamp(events * events, smallest_tolerance_scale, 1.0);
}

// Where one piece lies and how it is interpolated, before its coefficients are had.
struct PlannedPiece {
    double lower = 0.0;
    double upper = 0.0;
    std::size_t degree = 0;
    double bound = 0.0;
};

// The pieces over [series_lower, max_intensity], or nothing when more than max_pieces
// would be needed.
std::optional<std::vector<PlannedPiece>> plan_pieces(const LightCoupling& coupling,
                                                     double series_lower, double max_intensity,
                                                     const PropagatorSettings& settings) {
    std::vector<PlannedPiece> plan;
    double lower = series_lower;
    double previous_width = 0.0;
    double previous_growth = 1.0;
    while (lower < max_intensity) {
        if (plan.size() == settings.max_pieces) return std::nullopt;
        const double tolerance = piece_tolerance(coupling, lower, settings.tolerance);
        const double log_tolerance = std::log(tolerance);
        const auto fits = [&](double width) {
            return log_interpolation_bound(coupling, lower, lower + width, settings.max_degree) <=
                   log_tolerance;
        };
        const double cap = std::min(max_intensity, lower * grading_ratio);
        std::optional<DegreeBound> fit =
            smallest_degree(coupling, lower, cap, settings.max_degree, tolerance);
        double upper = cap;
        if (!fit) {
            // Bracket the widest piece between a width that fits and one that does not by
            // steps that grow geometrically from a guess (the previous width, grown as the
            // one before it grew), then bisect geometrically.
            double too_wide = cap - lower;
            const double guess = previous_width > 0.0 ? previous_width * previous_growth
                                                      : first_guess * too_wide;
            double trial = std::min(guess, too_wide / width_resolution);
            double fitting = 0.0;
            double step = width_resolution;
            if (fits(trial)) {
                fitting = trial;
                while (fitting * step < too_wide) {
                    trial = fitting * step;
                    if (!fits(trial)) {
                        too_wide = trial;
                        break;
                    }
                    fitting = trial;
                    step *= step;
                }
            } else {
                too_wide = trial;
                while (fitting == 0.0) {
                    trial = too_wide / step;
                    if (trial < narrowest_piece * lower) return std::nullopt;
                    if (fits(trial))
                        fitting = trial;
                    else
                        too_wide = trial;
                    step *= step;
                }
            }
            while (too_wide > fitting * width_resolution) {
                const double middle = std::sqrt(fitting * too_wide);
                if (fits(middle))
                    fitting = middle;
                else
                    too_wide = middle;
            }
            upper = lower + fitting;
            fit = smallest_degree(coupling, lower, upper, settings.max_degree, tolerance);
            // The width was tested with max_degree, so a degree exists.
            if (!fit) return std::nullopt;
        }
        plan.push_back({lower, upper, fit->degree, fit->bound});
        const double width = upper - lower;
        previous_growth = previous_width > 0.0 ? width / previous_width : 1.0;
        previous_width = width;
        lower = upper;
    }
    return plan;
}

// What one step's build produces, before the steps are put together.
template <std::size_t N>
struct StepBuild {
    StepSummary summary;
    std::vector<PropagatorPiece> pieces;  // offsets relative to this step's coefficients
    std::vector<double> coefficients;
};

template <std::size_t N>
class StepBuilder {
  public:
    StepBuilder(const SchemeRates& rates, double half_step) : rates_(rates), h_(half_step) {}

    Matrix<N> exponential(double intensity) {
        Matrix<N> a;
        rates_.template rate_matrix<N>(intensity, a);
        for (double& entry : a) entry *= h_;
        ++exponentials_;
        return matrix_exponential<N>(a);
    }

    std::size_t exponentials() const { return exponentials_; }

    // Appends the Chebyshev coefficients of the interpolant of degree K on `piece` to out.
    // `at_lower` holds the value at piece.lower when it is known (the previous piece's upper
    // end) and receives the value at piece.upper.
    void interpolate(const PlannedPiece& piece, std::optional<Matrix<N>>& at_lower,
                     std::vector<double>& out) {
        constexpr std::size_t entries = N * N;
        const std::size_t degree = piece.degree;
        const double centre = 0.5 * (piece.lower + piece.upper);
        const double half_width = 0.5 * (piece.upper - piece.lower);
        // cos(m pi / K) for m in [0, 2K), with the symmetries of the cosine kept exactly.
        std::vector<double> cosine(2 * degree);
        for (std::size_t m = 0; m <= degree / 2; ++m) {
            const double c = 2 * m == degree
                                 ? 0.0
                                 : std::cos(std::numbers::pi * static_cast<double>(m) /
                                            static_cast<double>(degree));
            cosine[m] = c;
            cosine[degree - m] = -c;
        }
        for (std::size_t m = degree + 1; m < 2 * degree; ++m) cosine[m] = cosine[2 * degree - m];
        // Values at the points x_j = centre + half_width cos(j pi / K), j = 0 (upper) .. K.
        std::vector<Matrix<N>> values(degree + 1);
        for (std::size_t j = 0; j <= degree; ++j) {
            if (j == degree && at_lower) {
                values[j] = *at_lower;
                continue;
            }
            const double x = j == 0        ? piece.upper
                             : j == degree ? piece.lower
                                           : centre + half_width * cosine[j];
            values[j] = exponential(x);
        }
        at_lower = values[0];
        // c_k = (2/K) sum''_j f_j cos(j k pi / K), the end terms of the sum halved, and c_0,
        // c_K halved.
        const std::size_t start = out.size();
        out.resize(start + (degree + 1) * entries);
        const double scale = 2.0 / static_cast<double>(degree);
        for (std::size_t k = 0; k <= degree; ++k) {
            double* c = out.data() + start + k * entries;
            for (std::size_t j = 0; j <= degree; ++j) {
                double w = cosine[(j * k) % (2 * degree)] * scale;
                if (j == 0 || j == degree) w *= 0.5;
                if (k == 0 || k == degree) w *= 0.5;
                for (std::size_t e = 0; e < entries; ++e) c[e] += w * values[j][e];
            }
        }
    }

  private:
    const SchemeRates& rates_;
    double h_;
    std::size_t exponentials_ = 0;
};

template <std::size_t N>
StepBuild<N> build_step(const SchemeRates& rates, double half_step, double max_intensity,
                        const PropagatorSettings& settings) {
    StepBuild<N> build;
    StepSummary& s = build.summary;
    s.half_step = half_step;
    s.max_intensity = max_intensity;
    StepBuilder<N> builder(rates, half_step);
    const LightCoupling coupling = light_coupling(rates, half_step);
    if (coupling.none() || max_intensity == 0.0) {
        // One matrix for every intensity.
        s.method = StepMethod::constant;
        s.series_lower = 0.0;
        const Matrix<N> value = builder.exponential(0.0);
        build.coefficients.assign(value.begin(), value.end());
        build.pieces.push_back({.lower = 0.0,
                                .upper = max_intensity,
                                .centre = 0.5 * max_intensity,
                                .inverse_half_width = 0.0,
                                .degree = 0,
                                .offset = 0,
                                .bound = 0.0});
    } else {
        const double series_lower = std::ldexp(max_intensity, -graded_octaves);
        const std::optional<std::vector<PlannedPiece>> plan =
            plan_pieces(coupling, series_lower, max_intensity, settings);
        if (!plan) {
            s.method = StepMethod::direct;
            s.series_lower = std::numeric_limits<double>::infinity();
        } else {
            s.method = StepMethod::series;
            s.series_lower = series_lower;
            std::optional<Matrix<N>> at_lower;
            for (const PlannedPiece& p : *plan) {
                const std::size_t offset = build.coefficients.size();
                builder.interpolate(p, at_lower, build.coefficients);
                build.pieces.push_back({.lower = p.lower,
                                        .upper = p.upper,
                                        .centre = 0.5 * (p.lower + p.upper),
                                        .inverse_half_width = 2.0 / (p.upper - p.lower),
                                        .degree = p.degree,
                                        .offset = offset,
                                        .bound = p.bound});
                s.largest_bound = std::max(s.largest_bound, p.bound);
            }
        }
    }
    s.pieces = build.pieces.size();
    s.exponentials = builder.exponentials();
    return build;
}

void check_inputs(std::size_t levels, std::size_t expected_levels,
                  std::span<const double> half_steps, std::span<const double> max_intensities,
                  const PropagatorSettings& settings) {
    if (const auto problem = settings.problem()) throw std::invalid_argument(*problem);
    if (levels != expected_levels)
        throw std::invalid_argument("propagator table: the scheme has " + std::to_string(levels) +
                                    " levels, the table was compiled for " +
                                    std::to_string(expected_levels));
    if (half_steps.size() != max_intensities.size())
        throw std::invalid_argument(
            "propagator table: half_steps and max_intensities need one entry per step each, got " +
            std::to_string(half_steps.size()) + " and " + std::to_string(max_intensities.size()));
    for (std::size_t j = 0; j < half_steps.size(); ++j) {
        if (!(std::isfinite(half_steps[j]) && half_steps[j] >= 0.0))
            throw std::invalid_argument("propagator table: half_steps[" + std::to_string(j) +
                                        "] must be finite and >= 0 (s)");
        if (!(std::isfinite(max_intensities[j]) && max_intensities[j] >= 0.0))
            throw std::invalid_argument("propagator table: max_intensities[" + std::to_string(j) +
                                        "] must be finite and >= 0 (W/m^2)");
    }
}

}  // namespace

std::optional<std::string> PropagatorSettings::problem() const {
    if (max_degree < 1 || max_degree > largest_propagator_degree)
        return "propagator settings: max_degree must be in 1 .. " +
               std::to_string(largest_propagator_degree) + ", got " + std::to_string(max_degree);
    if (!(tolerance > 0.0 && tolerance < 1.0))
        return "propagator settings: tolerance must be in (0, 1), e.g. 1e-15";
    if (max_pieces < 1) return "propagator settings: max_pieces must be at least 1";
    return std::nullopt;
}

template <std::size_t N>
PropagatorTable<N>::PropagatorTable(const SchemeRates& rates, std::span<const double> half_steps,
                                    std::span<const double> max_intensities,
                                    const PropagatorSettings& settings, unsigned threads)
    : rates_(&rates) {
    check_inputs(rates.levels(), N, half_steps, max_intensities, settings);
    const std::size_t steps = half_steps.size();
    std::vector<StepBuild<N>> builds(steps);
    parallel_for(steps, threads, [&](unsigned, std::size_t j) {
        builds[j] = build_step<N>(rates, half_steps[j], max_intensities[j], settings);
    });
    std::size_t piece_count = 0;
    std::size_t coefficient_count = 0;
    for (const StepBuild<N>& b : builds) {
        piece_count += b.pieces.size();
        coefficient_count += b.coefficients.size();
    }
    summaries_.reserve(steps);
    pieces_.reserve(piece_count);
    uppers_.reserve(piece_count);
    coefficients_.reserve(coefficient_count);
    for (StepBuild<N>& b : builds) {
        b.summary.first_piece = pieces_.size();
        const std::size_t base = coefficients_.size();
        for (PropagatorPiece p : b.pieces) {
            p.offset += base;
            pieces_.push_back(p);
            uppers_.push_back(p.upper);
        }
        coefficients_.insert(coefficients_.end(), b.coefficients.begin(), b.coefficients.end());
        summaries_.push_back(b.summary);
    }
}

#define PLIX_INSTANTIATE(N) template class PropagatorTable<N>;
PLIX_FOR_EACH_LEVEL_COUNT(PLIX_INSTANTIATE)
#undef PLIX_INSTANTIATE

}  // namespace plix::model
