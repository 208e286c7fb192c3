// Least-squares fit of the selected parameters from one starting point.
#pragma once

#include <cstdint>
#include <span>

#include "model/zscan_transmittance.hpp"

namespace plix::engine {

// What one start's search did, for the caller's warnings.
struct StartReport {
    int lm_info = 0;                // lmdif1's INFO (0: input rejected, 5: evaluation limit)
    std::int64_t evaluations = 0;   // residual evaluations, final pass excluded
    model::IntegrationTally tally;  // integrator endings over the whole start
};

// Fits params[fit_index[i] - 1] with MINPACK lmdif1 (TOL = 0.001). On return params holds
// the fitted values, residuals the unweighted measured - model at them, and error the
// Euclidean norm of the weighted residuals (at the starting values if lmdif1 rejected its
// input). residuals.size() is the number of residuals m = num_x_pts * num_datasets.
void fit_single_start(std::span<const double> positions, std::span<const double> measured,
                      model::ModelProcedure model, std::span<const double> depth_grid,
                      std::span<const double> time_grid, std::span<const double> populations,
                      std::span<const double> incident_intensity, std::span<double> residuals,
                      double photon_frequency, std::span<double, 8> params, std::int32_t num_x_pts,
                      std::int32_t num_datasets, std::span<const std::int32_t> fit_index,
                      double& error, StartReport& report);

}  // namespace plix::engine
