#include "engine/fit_driver.hpp"

#include <algorithm>
#include <numbers>
#include <span>
#include <vector>

#include "model/beam_intensity.hpp"
#include "model/linspace.hpp"
#include "model/zscan_transmittance.hpp"

namespace plix::engine {
namespace {

constexpr double kSpeedOfLight = 299792458.0;  // m/s
constexpr double kMillimetre = 0.001;          // positions arrive in mm

std::size_t count(std::int32_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

}  // namespace

void fit_driver(const double* centered_x, const double* y_data, const double* populations,
                double* residual_row, double& error, const std::int32_t& t_slices,
                const std::int32_t& z_slices, const double& sample_width, const double& tau,
                const double& wavelength, const double& w0, const double& M2,
                const double* pulse_energy, double* param_row, const std::int32_t* fit_index,
                const std::int32_t& n_fit, const std::int32_t& num_x_pts,
                const std::int32_t& num_datasets, const std::int32_t& n_pop,
                const std::int32_t& n_res, StartReport& report) {
    const std::size_t nx = count(num_x_pts);
    const std::size_t nd = count(num_datasets);
    const std::size_t nt = count(t_slices);
    const std::size_t n_points = nx * nd;

    // The largest array first, so that a size that cannot be had fails before the others
    // are filled.
    std::vector<double> incident_intensity(nx * nt * nd);
    std::vector<double> positions(n_points);
    std::vector<double> measured(y_data, y_data + n_points);
    std::vector<double> population_copy(populations, populations + count(n_pop));
    std::vector<double> depth_grid(count(z_slices));
    std::vector<double> time_grid(nt);
    std::vector<double> residuals(n_points);

    for (std::size_t k = 0; k < n_points; ++k) positions[k] = centered_x[k] * kMillimetre;

    const double rayleigh_range = std::numbers::pi * (w0 * w0) / (M2 * wavelength);
    const double photon_frequency = kSpeedOfLight / wavelength;

    model::linspace(depth_grid, 0.0, sample_width, z_slices);
    model::linspace(time_grid, -tau * 0.5, tau * 0.5, t_slices);

    // Dataset outermost, time next, position innermost (column-major table).
    auto cell = incident_intensity.begin();
    for (std::size_t j = 0; j < nd; ++j)
        for (std::size_t m = 0; m < nt; ++m)
            for (std::size_t i = 0; i < nx; ++i)
                *cell++ = model::beam_intensity(0.0, time_grid[m], positions[j * nx + i],
                                                pulse_energy[j], tau, w0, rayleigh_range);

    fit_single_start(positions, measured, model::zscan_transmittance, depth_grid, time_grid,
                     population_copy, incident_intensity, residuals, photon_frequency,
                     std::span<double, 8>(param_row, 8), num_x_pts, num_datasets,
                     std::span<const std::int32_t>(fit_index, count(n_fit)), error, report);

    std::copy_n(residuals.begin(), std::min(count(n_res), n_points), residual_row);
}

}  // namespace plix::engine
