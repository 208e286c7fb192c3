// The engine's entry point: one least-squares fit for one starting parameter row.
#pragma once

#include <cstdint>
#include <optional>

#include "compat/fit_single_start.hpp"

namespace plix::compat {

// Arrays are passed by address and scalars by reference, in the caller's order.
// centered_x and y_data hold num_x_pts * num_datasets values (positions in millimetres),
// pulse_energy num_datasets, populations n_pop, param_row 8 and fit_index n_fit 1-based
// indices; n_res <= num_x_pts * num_datasets. Writes residual_row[0..n_res), error and
// param_row, and describes the search in report. Throws StorageShortfall if working
// storage cannot be had, and FitInterrupted (with nothing written back) when interrupt asks
// to stop; interrupt is asked before every residual evaluation.
void fit_driver(const double* centered_x, const double* y_data, const double* populations,
                double* residual_row, double& error, const std::int32_t& t_slices,
                const std::int32_t& z_slices, const double& sample_width, const double& tau,
                const double& wavelength, const double& w0, const double& M2,
                const double* pulse_energy, double* param_row, const std::int32_t* fit_index,
                const std::int32_t& n_fit, const std::int32_t& num_x_pts,
                const std::int32_t& num_datasets, const std::int32_t& n_pop,
                const std::int32_t& n_res, StartReport& report,
                const InterruptPoll& interrupt = {});

// A position (0-based, within its dataset) at which the incident intensity table that
// fit_driver builds from these arguments is zero at every time point, so that the model's
// transmitted fraction there would be 0/0.
struct DarkPosition {
    std::int32_t dataset;
    std::int32_t position;
};

// The first dark position, datasets in order, or none. Builds the same table as one call
// of fit_driver (and throws StorageShortfall as it does).
std::optional<DarkPosition> find_dark_position(const double* centered_x, std::int32_t t_slices,
                                               double tau, double wavelength, double w0, double M2,
                                               const double* pulse_energy, std::int32_t num_x_pts,
                                               std::int32_t num_datasets);

}  // namespace plix::compat
