#include "compat/fit_single_start.hpp"

#include <cminpack.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <vector>

#include "compat/fit_context.hpp"
#include "compat/fit_residuals.hpp"

namespace plix::compat {
namespace {

constexpr double kTolerance = 0.001;

// Clears the calling thread's context when the fit ends, on every path.
struct ContextGuard {
    FitContext& ctx;
    ~ContextGuard() { ctx.clear(); }
};

void fill_context(FitContext& ctx, std::span<const double> positions,
                  std::span<const double> measured, ModelProcedure model,
                  std::span<const double> depth_grid, std::span<const double> time_grid,
                  std::span<const double> populations, std::span<const double> incident_intensity,
                  double photon_frequency, std::span<const double, 8> params,
                  std::int32_t num_x_pts, std::int32_t num_datasets,
                  std::span<const std::int32_t> fit_index, StartReport& report) {
    ctx.positions = positions;
    ctx.measured = measured;
    ctx.base_params = params;
    ctx.depth_grid = depth_grid;
    ctx.time_grid = time_grid;
    ctx.populations = populations;
    ctx.incident_intensity = incident_intensity;
    ctx.photon_frequency = photon_frequency;
    ctx.num_x_pts = num_x_pts;
    ctx.num_datasets = num_datasets;
    ctx.fit_index = allocate<std::int32_t>(fit_index.size(), StorageShortfall::Use::fit_index);
    std::copy(fit_index.begin(), fit_index.end(), ctx.fit_index.begin());
    ctx.model = model;
    ctx.model_values = allocate<double>(positions.size(), StorageShortfall::Use::data_copies);
    ctx.evaluations = &report.evaluations;
    ctx.tally = &report.tally;
}

// lmdif1 rejects its input, evaluating nothing, without a parameter or with fewer residuals
// than parameters.
bool lmdif1_will_run(int m, int n) { return n >= 1 && m >= n; }

// LWA = m + n (2m + 5), more than lmdif1's minimum m n + 5 n + m; 0 if not positive.
// A size beyond lmdif1's int cannot be had.
int work_size(int m, int n) {
    const std::int64_t lwa = static_cast<std::int64_t>(m) +
                             static_cast<std::int64_t>(n) * (2 * static_cast<std::int64_t>(m) + 5);
    if (lwa > std::numeric_limits<int>::max())
        throw StorageShortfall(StorageShortfall::Use::lm_workspace, static_cast<std::size_t>(lwa),
                               sizeof(double));
    return lwa > 0 ? static_cast<int>(lwa) : 0;
}

}  // namespace

void fit_single_start(std::span<const double> positions, std::span<const double> measured,
                      ModelProcedure model, std::span<const double> depth_grid,
                      std::span<const double> time_grid, std::span<const double> populations,
                      std::span<const double> incident_intensity, std::span<double> residuals,
                      double photon_frequency, std::span<double, 8> params, std::int32_t num_x_pts,
                      std::int32_t num_datasets, std::span<const std::int32_t> fit_index,
                      double& error, StartReport& report, const InterruptPoll& interrupt) {
    using Use = StorageShortfall::Use;
    const int m = static_cast<int>(residuals.size());
    const int n = static_cast<int>(fit_index.size());
    const bool search = lmdif1_will_run(m, n);
    std::vector<double> x = allocate<double>(fit_index.size(), Use::fit_index);
    std::vector<int> iwa;
    std::vector<double> wa;
    const int lwa = search ? work_size(m, n) : 0;
    if (search) {
        iwa = allocate<int>(fit_index.size(), Use::fit_index);
        wa = allocate<double>(static_cast<std::size_t>(lwa), Use::lm_workspace);
    }

    FitContext& ctx = fit_context();
    const ContextGuard guard{ctx};
    fill_context(ctx, positions, measured, model, depth_grid, time_grid, populations,
                 incident_intensity, photon_frequency, params, num_x_pts, num_datasets, fit_index,
                 report);
    ctx.interrupt = interrupt;

    for (int i = 0; i < n; ++i) x[i] = params[fit_index[i] - 1];

    // Without a search, take the error at the starting values.
    report.lm_info = search ? lmdif1(fit_residuals, nullptr, m, n, x.data(), residuals.data(),
                                     kTolerance, iwa.data(), wa.data(), lwa)
                            : 0;
    if (!search) fit_residuals(nullptr, m, n, x.data(), residuals.data(), 0);
    if (ctx.failure) std::rethrow_exception(ctx.failure);
    error = enorm(m, residuals.data());

    for (int i = 0; i < n; ++i) params[fit_index[i] - 1] = x[i];

    const auto nx = static_cast<std::size_t>(num_x_pts);
    for (std::int32_t d = 0; d < num_datasets; ++d) {
        ctx.evaluate_dataset(d, params);
        for (std::size_t k = d * nx; k < (d + 1) * nx; ++k)
            residuals[k] = measured[k] - ctx.model_values[k];
    }
}

}  // namespace plix::compat
