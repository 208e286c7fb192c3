#include "model/seed_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "model/beam_intensity.hpp"
#include "model/level_dispatch.hpp"
#include "model/linspace.hpp"
#include "model/matrix_exponential.hpp"
#include "model/physical_constants.hpp"
#include "model/plane_view.hpp"
#include "model/scheme_parameters.hpp"
#include "model/scheme_rates.hpp"
#include "model/scheme_presets.hpp"
#include "model/seed_stepper.hpp"

namespace plix::model {
namespace {

// The seed step solved exactly: at fixed intensity the populations follow a linear system
// with constant coefficients, N <- exp(A dt) N, and at fixed populations the intensity
// decays as I <- I exp(-alpha dz). Integrates nothing, so its tally stays empty.
template <std::size_t N>
class ExactSliceStepper {
  public:
    ExactSliceStepper(const SchemeRates& rates, double dt, double dz)
        : rates_{&rates}, dt_{dt}, dz_{dz} {}

    double step(double* n, double intensity) const {
        Matrix<N> a;
        rates_->rate_matrix<N>(intensity, a);
        for (double& entry : a) entry *= dt_;
        Vector<N> state;
        std::copy_n(n, N, state.begin());
        const Vector<N> next = matrix_exponential_times<N>(a, state);
        std::copy(next.begin(), next.end(), n);
        const double phi = rates_->photon_flux_factor() * intensity;
        return intensity * std::exp(-rates_->absorption(n, phi) * dz_);
    }

    IntegrationTally tally() const { return {}; }

  private:
    const SchemeRates* rates_;
    double dt_;
    double dz_;
};

// Raw transmittance of the discretisation at vanishing intensity, exactly. Without light
// every slice relaxes alike from the initial populations, by exp(K dt) per time step (K the
// rate matrix at zero intensity); the light of step j then leaves the z_slices slices with
// the factor exp(-alpha_j dz) from each, and the transmitted fraction is the average of
// these over the pulse, weighted by its temporal shape at the time points.
template <std::size_t N>
double linear_transmittance(const Setup& setup, std::span<const double> time_grid,
                            std::span<const double> depth_grid, const SchemeRates& rates) {
    if (depth_grid.empty()) return 1.0;
    const double dt = time_grid[1] - time_grid[0];
    const double dz = depth_grid[1];
    Matrix<N> relaxation;
    rates.rate_matrix<N>(0.0, relaxation);
    for (double& entry : relaxation) entry *= dt;
    const Matrix<N> step = matrix_exponential<N>(relaxation);

    Vector<N> n;
    std::copy_n(setup.populations.begin(), N, n.begin());
    double transmitted_sum = 0.0;
    double weight_sum = 0.0;
    for (const double t : time_grid) {
        Vector<N> next{};
        for (std::size_t r = 0; r < N; ++r)
            for (std::size_t c = 0; c < N; ++c) next[r] += step[r * N + c] * n[c];
        n = next;
        const double slice_factor = std::exp(-rates.absorption(n.data(), 0.0) * dz);
        double leaving = 1.0;
        for (std::size_t k = 0; k < depth_grid.size(); ++k) leaving *= slice_factor;
        const double tt = t / setup.tau;
        const double weight = std::exp(-(tt * tt));
        transmitted_sum += weight * leaving;
        weight_sum += weight;
    }
    return transmitted_sum / weight_sum;
}

}  // namespace

SeedModel::SeedModel(SeedConfig config)
    : config_(std::move(config)),
      specs_(scheme_parameter_specs(config_.scheme)),
      process_parameter_(process_parameter_indices(config_.scheme)) {
    if (const auto problem = config_.scheme.problem()) throw std::invalid_argument(*problem);
}

double SeedModel::evaluation_cells(const CurveRequest& request) const {
    return static_cast<double>(request.positions_mm.size()) *
           static_cast<double>(config_.t_slices) *
           static_cast<double>(std::max(config_.z_slices, 1));
}

void SeedModel::curve(const CurveRequest& request, std::span<double> out, const RunControl& run,
                      CurveReport& report) const {
    const double cells = evaluation_cells(request);
    if (cells > config_.max_cells) {
        char text[64];
        std::snprintf(text, sizeof text, "%.3g cells, beyond max_cells = %.3g", cells,
                      config_.max_cells);
        throw std::invalid_argument(
            "model.t_slices (" + std::to_string(config_.t_slices) + ") and z_slices (" +
            std::to_string(config_.z_slices) + ") need " + text + " for " +
            std::to_string(request.positions_mm.size()) +
            " positions; give fewer slices or positions, or raise max_cells");
    }
    const Setup& setup = request.setup;
    const std::size_t nx = request.positions_mm.size();
    const auto nt = static_cast<std::size_t>(config_.t_slices);
    const double rayleigh_range = setup.rayleigh_range();
    const double photon_frequency = constants::speed_of_light / setup.wavelength;
    const SchemeRates rates(config_.scheme, process_parameter_, request.params,
                            constants::inverse_planck / photon_frequency);

    std::vector<double> depth_grid(static_cast<std::size_t>(config_.z_slices));
    std::vector<double> time_grid(nt);
    linspace(depth_grid, 0.0, setup.sample_width, config_.z_slices);
    linspace(time_grid, -setup.tau * 0.5, setup.tau * 0.5, config_.t_slices);

    std::vector<double> incident(nx * nt);
    for (std::size_t m = 0; m < nt; ++m) {
        run.checkpoint();
        for (std::size_t i = 0; i < nx; ++i)
            incident[m * nx + i] = beam_intensity(
                0.0, time_grid[m], request.positions_mm[i] * constants::millimetre,
                request.energy_at(i), setup.tau, setup.w0, rayleigh_range);
    }

    const SeedGrids grids{depth_grid, time_grid, setup.populations,
                          PlaneView::column_major(incident.data(), nx, nt)};
    with_levels(levels(), [&]<std::size_t N>() {
        if (config_.stepper == Stepper::exact) {
            seed_fraction(
                out, grids, N,
                [&](double dt, double dz) { return ExactSliceStepper<N>(rates, dt, dz); },
                run, report.tally);
        } else {
            seed_fraction(
                out, grids, N,
                [&](double dt, double dz) {
                    return LsodaSliceStepper<N, SchemePopulationRhs, SchemeAttenuationRhs>(
                        SchemePopulationRhs{&rates}, SchemeAttenuationRhs{&rates}, dt, dz);
                },
                run, report.tally);
        }
        switch (config_.normalisation) {
            case Normalisation::ends:
                shift_to_unit_baseline(out, request.positions_mm);
                break;
            case Normalisation::linear: {
                const double t0 = linear_transmittance<N>(setup, time_grid, depth_grid, rates);
                for (double& value : out) value /= t0;
                break;
            }
            case Normalisation::none:
                break;
        }
    });
}

}  // namespace plix::model

namespace plix::model {
namespace {

constexpr std::int64_t largest_slices = 2147483647;  // counted in C ints

}  // namespace

double SeedModel::intensity_scale() const {
    return seed_intensity_factor * std::sqrt(std::numbers::pi) / 2.0;
}

ModelKind seed_kind() {
    ModelKind kind;
    kind.name = "seed";
    kind.summary = "fit_zscan's discretisation: on-axis intensity over the central +-tau/2.";
    kind.doc =
        "fit_zscan's discretisation of the Z-scan: on-axis intensity over the central +-tau/2 "
        "of the pulse only, t_slices time points, z_slices depth points and a first-order "
        "splitting. With integrator='lsoda' and normalisation='ends' the curve is fit_zscan's "
        "model bit for bit. Its intensity normalisation is about 1/6000 of the physical one "
        "(it needs mJ where the physical model needs sub-uJ energies for the same dip), so its "
        "cross-sections are parameters of that approximation, not of the molecule.";
    kind.fields = {
        choice_field("integrator", "lsoda",
                     "'lsoda': each slice and time step integrated by LSODA (rtol = atol = "
                     "1e-6); 'exact': the same steps solved exactly (matrix exponential).",
                     {"lsoda", "exact"}),
        integer_field("t_slices", 10, "Time points across the pulse (>= 2).", 2,
                      largest_slices),
        integer_field("z_slices", 8, "Depth points through the sample (0 for no sample, else "
                      ">= 2).", 0, largest_slices),
        normalisation_field("ends"),
        scheme_field("scheme", five_level_scheme(),
                     "The level scheme whose cross-sections and lifetimes are the parameters "
                     "(default: the five-level absorber)."),
        real_field("max_cells", SeedConfig{}.max_cells,
                   "Cells (positions x t_slices x z_slices) one curve may cost (about 1 us each "
                   "with 'exact', 4 us with 'lsoda', on one core): a request beyond it is "
                   "refused before any work.",
                   0.0, std::numeric_limits<double>::infinity(), true),
    };
    kind.make = [](const FieldValues& v) {
        SeedConfig config;
        config.scheme = field<LevelScheme>(v, "scheme");
        config.stepper =
            field<std::string>(v, "integrator") == "exact" ? Stepper::exact : Stepper::lsoda;
        config.t_slices = static_cast<int>(field<std::int64_t>(v, "t_slices"));
        config.z_slices = static_cast<int>(field<std::int64_t>(v, "z_slices"));
        if (config.z_slices == 1)
            throw std::invalid_argument("z_slices must be 0 (no sample) or at least 2, got 1");
        config.normalisation = normalisation_of(field<std::string>(v, "normalisation"));
        config.max_cells = field<double>(v, "max_cells");
        return std::make_shared<const SeedModel>(std::move(config));
    };
    return kind;
}

}  // namespace plix::model
