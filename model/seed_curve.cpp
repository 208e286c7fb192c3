#include "model/seed_curve.hpp"

#include <cmath>
#include <numbers>
#include <vector>

#include "model/beam_intensity.hpp"
#include "model/linspace.hpp"
#include "model/plane_view.hpp"
#include "model/zscan_transmittance.hpp"

namespace plix::model {
namespace {

constexpr double speed_of_light = 299792458.0;  // m/s
constexpr double millimetre = 0.001;            // positions arrive in mm

// Raw transmittance of the discretisation at vanishing intensity, for populations that do
// not relax without light (all in level 1, or lifetimes infinite).
double linear_transmittance(const SeedModel& model, const Setup& setup,
                            const ParameterVector& p) {
    if (model.z_slices == 0) return 1.0;
    const double dz = setup.sample_width / static_cast<double>(model.z_slices - 1);
    const double alpha = p[sigma_12_index] * setup.populations[0] +
                         p[sigma_23_index] * setup.populations[1] +
                         p[sigma_45_index] * setup.populations[3];
    return std::exp(-alpha * dz * static_cast<double>(model.z_slices));
}

}  // namespace

void seed_curve(const SeedModel& model, const CurveRequest& request, std::span<double> out,
                unsigned /*threads*/, CurveReport& report) {
    const Setup& setup = request.setup;
    const std::size_t nx = request.positions_mm.size();
    const auto nt = static_cast<std::size_t>(model.t_slices);
    const double rayleigh_range = std::numbers::pi * (setup.w0 * setup.w0) /
                                  (setup.M2 * setup.wavelength);
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

    transmitted_fraction(out, depth_grid, time_grid, setup.populations,
                         PlaneView::column_major(incident.data(), nx, nt), photon_frequency,
                         request.params, report.tally);

    switch (model.normalisation) {
        case Normalisation::ends:
            shift_to_unit_baseline(out);
            break;
        case Normalisation::linear: {
            const double t0 = linear_transmittance(model, setup, request.params);
            for (double& value : out) value /= t0;
            break;
        }
        case Normalisation::none:
            break;
    }
}

}  // namespace plix::model
