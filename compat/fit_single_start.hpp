// Least-squares fit of the selected parameters from one starting point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "compat/fit_context.hpp"
#include "compat/zscan_transmittance.hpp"

namespace plix::compat {

// Working storage that could not be had: what it was for and how much it needed, so that
// the caller can name the argument that asked for it.
struct StorageShortfall : std::bad_alloc {
    enum class Use {
        intensity_table,  // num_x_pts * t_slices * num_datasets
        time_grid,        // t_slices
        depth_grid,       // z_slices
        data_copies,      // num_x_pts * num_datasets
        populations,      // n_pop
        lm_workspace,     // lmdif1's work array: m + n (2 m + 5), n the fitted parameters
        fit_index,        // n_fit
    };
    static constexpr std::size_t unrepresentable = std::numeric_limits<std::size_t>::max();

    Use use;
    std::size_t count;         // elements asked for; unrepresentable if beyond size_t
    std::size_t element_size;  // bytes per element

    StorageShortfall(Use u, std::size_t n, std::size_t size)
        : use(u), count(n), element_size(size) {}
    const char* what() const noexcept override { return "fit working storage cannot be had"; }
};

// A value-initialised vector of n elements, or StorageShortfall naming its use.
template <class T>
std::vector<T> allocate(std::size_t n, StorageShortfall::Use use) {
    if (n == StorageShortfall::unrepresentable) throw StorageShortfall(use, n, sizeof(T));
    try {
        return std::vector<T>(n);
    } catch (const std::bad_alloc&) {
        throw StorageShortfall(use, n, sizeof(T));
    } catch (const std::length_error&) {
        throw StorageShortfall(use, n, sizeof(T));
    }
}

// a * b, or StorageShortfall::unrepresentable when the product does not fit a size_t.
inline std::size_t checked_product(std::size_t a, std::size_t b) {
    if (a != 0 && b > (StorageShortfall::unrepresentable - 1) / a)
        return StorageShortfall::unrepresentable;
    return a * b;
}

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
// interrupt is asked before every residual evaluation; when it asks to stop, the search
// ends and FitInterrupted is thrown (params and residuals then hold no result). Throws
// StorageShortfall when lmdif1's workspace cannot be had; it is sized only when lmdif1
// will run (at least one fitted parameter and no fewer residuals than parameters).
void fit_single_start(std::span<const double> positions, std::span<const double> measured,
                      ModelProcedure model, std::span<const double> depth_grid,
                      std::span<const double> time_grid, std::span<const double> populations,
                      std::span<const double> incident_intensity, std::span<double> residuals,
                      double photon_frequency, std::span<double, 8> params, std::int32_t num_x_pts,
                      std::int32_t num_datasets, std::span<const std::int32_t> fit_index,
                      double& error, StartReport& report, const InterruptPoll& interrupt = {});

}  // namespace plix::compat
