#include "model/seed_curve.hpp"

#include <cmath>
#include <numbers>
#include <vector>

#include "model/beam_intensity.hpp"
#include "model/linspace.hpp"
#include "model/matrix_exponential.hpp"
#include "model/plane_view.hpp"
#include "model/rate_matrix.hpp"
#include "model/zscan_transmittance.hpp"

namespace plix::model {
namespace {

constexpr double speed_of_light = 299792458.0;  // m/s
constexpr double millimetre = 0.001;            // positions arrive in mm

// Raw transmittance of the discretisation at vanishing intensity, exactly. Without light
// every slice relaxes alike from the initial populations, by exp(K dt) per time step (K the
// rate matrix at zero intensity); the light of step j then leaves the z_slices slices with
// the factor exp(-alpha_j dz) from each, and the transmitted fraction is the average of
// these over the pulse, weighted by its temporal shape at the time points.
double linear_transmittance(const Setup& setup, std::span<const double> time_grid,
                            std::span<const double> depth_grid, const RateParameters& rates) {
    if (depth_grid.empty()) return 1.0;
    const double dt = time_grid[1] - time_grid[0];
    const double dz = depth_grid[1];
    Matrix5 relaxation = rate_matrix(rates, 0.0);
    for (double& entry : relaxation) entry *= dt;
    const Matrix5 step = matrix_exponential(relaxation);

    Populations n = setup.populations;
    double transmitted_sum = 0.0;
    double weight_sum = 0.0;
    for (const double t : time_grid) {
        Populations next{};
        for (std::size_t r = 0; r < level_count; ++r)
            for (std::size_t c = 0; c < level_count; ++c)
                next[r] += step[r * level_count + c] * n[c];
        n = next;
        const double slice_factor = std::exp(-absorption_coefficient(rates, n.data()) * dz);
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

void seed_curve(const SeedModel& model, const CurveRequest& request, std::span<double> out,
                unsigned threads, CurveReport& report) {
    const Setup& setup = request.setup;
    const std::size_t nx = request.positions_mm.size();
    const auto nt = static_cast<std::size_t>(model.t_slices);
    const double rayleigh_range =
        std::numbers::pi * (setup.w0 * setup.w0) / (setup.M2 * setup.wavelength);
    const double photon_frequency = speed_of_light / setup.wavelength;

    std::vector<double> depth_grid(static_cast<std::size_t>(model.z_slices));
    std::vector<double> time_grid(nt);
    linspace(depth_grid, 0.0, setup.sample_width, model.z_slices);
    linspace(time_grid, -setup.tau * 0.5, setup.tau * 0.5, model.t_slices);

    std::vector<double> incident(nx * nt);
    for (std::size_t m = 0; m < nt; ++m)
        for (std::size_t i = 0; i < nx; ++i)
            incident[m * nx + i] =
                beam_intensity(0.0, time_grid[m], request.positions_mm[i] * millimetre,
                               request.energy, setup.tau, setup.w0, rayleigh_range);

    const FractionProblem problem{
        depth_grid,        time_grid,
        setup.populations, PlaneView::column_major(incident.data(), nx, nt),
        photon_frequency,  request.params};
    transmitted_fraction(out, problem, model.stepper, threads, report.tally);

    switch (model.normalisation) {
        case Normalisation::ends:
            shift_to_unit_baseline(out);
            break;
        case Normalisation::linear: {
            const double t0 =
                linear_transmittance(setup, time_grid, depth_grid,
                                     make_rate_parameters(request.params, photon_frequency));
            for (double& value : out) value /= t0;
            break;
        }
        case Normalisation::none:
            break;
    }
}

}  // namespace plix::model
