#include "compat/fit_driver.hpp"

#include <algorithm>
#include <numbers>
#include <span>
#include <vector>

#include "model/beam_intensity.hpp"
#include "model/linspace.hpp"
#include "model/physical_constants.hpp"
#include "compat/zscan_transmittance.hpp"

namespace plix::compat {
namespace {

using Use = StorageShortfall::Use;


std::size_t count(std::int32_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

// The positions in metres, the time grid and the incident on-axis intensity table of one
// start, exactly as the fit sees them.
struct IncidentLight {
    std::vector<double> intensity;  // (nx, nt, nd), position fastest
    std::vector<double> positions;  // nx * nd, metres
    std::vector<double> time_grid;  // nt
};

// The largest array first, so that a size that cannot be had fails before the others are
// filled.
IncidentLight incident_light(const double* centered_x, std::int32_t t_slices, double tau,
                             double wavelength, double w0, double M2, const double* pulse_energy,
                             std::int32_t num_x_pts, std::int32_t num_datasets) {
    const std::size_t nx = count(num_x_pts);
    const std::size_t nd = count(num_datasets);
    const std::size_t nt = count(t_slices);
    const std::size_t n_points = nx * nd;
    IncidentLight light{
        allocate<double>(checked_product(checked_product(nx, nt), nd), Use::intensity_table),
        allocate<double>(n_points, Use::data_copies),
        {}};
    light.time_grid = allocate<double>(nt, Use::time_grid);

    for (std::size_t k = 0; k < n_points; ++k) light.positions[k] = centered_x[k] * constants::millimetre;
    const double rayleigh_range = std::numbers::pi * (w0 * w0) / (M2 * wavelength);
    model::linspace(light.time_grid, -tau * 0.5, tau * 0.5, t_slices);

    // Dataset outermost, time next, position innermost (column-major table).
    auto cell = light.intensity.begin();
    for (std::size_t j = 0; j < nd; ++j)
        for (std::size_t m = 0; m < nt; ++m)
            for (std::size_t i = 0; i < nx; ++i)
                *cell++ =
                    model::beam_intensity(0.0, light.time_grid[m], light.positions[j * nx + i],
                                          pulse_energy[j], tau, w0, rayleigh_range);
    return light;
}

}  // namespace

void fit_driver(const double* centered_x, const double* y_data, const double* populations,
                double* residual_row, double& error, const std::int32_t& t_slices,
                const std::int32_t& z_slices, const double& sample_width, const double& tau,
                const double& wavelength, const double& w0, const double& M2,
                const double* pulse_energy, double* param_row, const std::int32_t* fit_index,
                const std::int32_t& n_fit, const std::int32_t& num_x_pts,
                const std::int32_t& num_datasets, const std::int32_t& n_pop,
                const std::int32_t& n_res, StartReport& report, const InterruptPoll& interrupt) {
    const std::size_t n_points = count(num_x_pts) * count(num_datasets);

    const IncidentLight light = incident_light(centered_x, t_slices, tau, wavelength, w0, M2,
                                               pulse_energy, num_x_pts, num_datasets);
    std::vector<double> measured = allocate<double>(n_points, Use::data_copies);
    std::copy_n(y_data, n_points, measured.begin());
    std::vector<double> population_copy = allocate<double>(count(n_pop), Use::populations);
    std::copy_n(populations, count(n_pop), population_copy.begin());
    std::vector<double> depth_grid = allocate<double>(count(z_slices), Use::depth_grid);
    std::vector<double> residuals = allocate<double>(n_points, Use::data_copies);

    const double photon_frequency = constants::speed_of_light / wavelength;
    model::linspace(depth_grid, 0.0, sample_width, z_slices);

    fit_single_start(light.positions, measured, zscan_transmittance, depth_grid,
                     light.time_grid, population_copy, light.intensity, residuals, photon_frequency,
                     std::span<double, 8>(param_row, 8), num_x_pts, num_datasets,
                     std::span<const std::int32_t>(fit_index, count(n_fit)), error, report,
                     interrupt);

    std::copy_n(residuals.begin(), std::min(count(n_res), n_points), residual_row);
}

std::optional<DarkPosition> find_dark_position(const double* centered_x, std::int32_t t_slices,
                                               double tau, double wavelength, double w0, double M2,
                                               const double* pulse_energy, std::int32_t num_x_pts,
                                               std::int32_t num_datasets) {
    const IncidentLight light = incident_light(centered_x, t_slices, tau, wavelength, w0, M2,
                                               pulse_energy, num_x_pts, num_datasets);
    const std::size_t nx = count(num_x_pts);
    const std::size_t nt = count(t_slices);
    for (std::size_t j = 0; j < count(num_datasets); ++j) {
        for (std::size_t i = 0; i < nx; ++i) {
            // Summed in the model's order: this is the denominator of its transmitted fraction.
            double incident_sum = 0.0;
            for (std::size_t m = 0; m < nt; ++m)
                incident_sum += light.intensity[(j * nt + m) * nx + i];
            if (incident_sum == 0.0)
                return DarkPosition{static_cast<std::int32_t>(j), static_cast<std::int32_t>(i)};
        }
    }
    return std::nullopt;
}

}  // namespace plix::compat
