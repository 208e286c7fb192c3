// The calling thread's fit problem: filled by fit_single_start before the least-squares
// search and cleared after it; fit_residuals reads it (and writes only model_values).
#pragma once

#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "compat/zscan_transmittance.hpp"

namespace plix::compat {

// A check that the engine makes before each residual evaluation, so that a caller can stop
// a long fit (on Ctrl-C, for instance); poll returns true to stop. Throttling is the
// poll's business: it is called once per evaluation.
struct InterruptPoll {
    bool (*poll)(void* state) = nullptr;
    void* state = nullptr;

    bool stop_requested() const { return poll != nullptr && poll(state); }
};

// Thrown out of fit_single_start and fit_driver when the interrupt poll asked to stop.
struct FitInterrupted : std::exception {
    const char* what() const noexcept override { return "fit interrupted"; }
};

struct FitContext {
    ModelProcedure model = nullptr;
    std::int32_t num_datasets = 0;
    std::int32_t num_x_pts = 0;
    double photon_frequency = 0.0;
    std::vector<double> model_values;
    std::vector<std::int32_t> fit_index;         // 1-based positions in the parameter vector
    std::span<const double> incident_intensity;  // (num_x_pts, t_slices, num_datasets)
    std::span<const double> populations;
    std::span<const double> time_grid;
    std::span<const double> depth_grid;
    std::span<const double> base_params;
    std::span<const double> measured;
    std::span<const double> positions;
    // Where residual evaluations are counted and the model tallies its integrations.
    std::int64_t* evaluations = nullptr;
    model::IntegrationTally* tally = nullptr;
    InterruptPoll interrupt;
    // An exception from a residual evaluation, kept until lmdif1 has returned: it must not
    // unwind through the C library.
    std::exception_ptr failure;

    // The incident plane (num_x_pts x t_slices, column-major) of dataset d (0-based).
    model::PlaneView incident_plane(std::int32_t d) const;

    // Runs the model for dataset d (0-based) with the parameters p, into model_values.
    void evaluate_dataset(std::int32_t d, std::span<const double, 8> p);

    // Detaches the views, releases the buffers and unsets the model; the three scalars
    // keep their last values.
    void clear();
};

// The calling thread's context.
FitContext& fit_context();

}  // namespace plix::compat
