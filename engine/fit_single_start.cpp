#include "engine/fit_single_start.hpp"

#include <cminpack.h>

#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <vector>

#include "engine/fit_context.hpp"
#include "engine/fit_residuals.hpp"

namespace plix::engine {
namespace {

constexpr double kTolerance = 0.001;

// Clears the calling thread's context when the fit ends, on every path.
struct ContextGuard {
    FitContext& ctx;
    ~ContextGuard() { ctx.clear(); }
};

void fill_context(FitContext& ctx, std::span<const double> positions,
                  std::span<const double> measured, model::ModelProcedure model,
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
    ctx.fit_index.assign(fit_index.begin(), fit_index.end());
    ctx.model = model;
    ctx.model_values.resize(positions.size());
    ctx.evaluations = &report.evaluations;
    ctx.tally = &report.tally;
}

// LWA = m + n (2m + 5), more than lmdif1's minimum m n + 5 n + m; 0 if not positive.
// A size beyond lmdif1's int cannot be had: std::bad_alloc.
int work_size(int m, int n) {
    const std::int64_t lwa = static_cast<std::int64_t>(m) +
                             static_cast<std::int64_t>(n) * (2 * static_cast<std::int64_t>(m) + 5);
    if (lwa > std::numeric_limits<int>::max()) throw std::bad_alloc();
    return lwa > 0 ? static_cast<int>(lwa) : 0;
}

}  // namespace

void fit_single_start(std::span<const double> positions, std::span<const double> measured,
                      model::ModelProcedure model, std::span<const double> depth_grid,
                      std::span<const double> time_grid, std::span<const double> populations,
                      std::span<const double> incident_intensity, std::span<double> residuals,
                      double photon_frequency, std::span<double, 8> params, std::int32_t num_x_pts,
                      std::int32_t num_datasets, std::span<const std::int32_t> fit_index,
                      double& error, StartReport& report) {
    const int m = static_cast<int>(residuals.size());
    const int n = static_cast<int>(fit_index.size());
    std::vector<double> x(fit_index.size());
    std::vector<int> iwa(fit_index.size());
    const int lwa = work_size(m, n);
    std::vector<double> wa(static_cast<std::size_t>(lwa));

    FitContext& ctx = fit_context();
    const ContextGuard guard{ctx};
    fill_context(ctx, positions, measured, model, depth_grid, time_grid, populations,
                 incident_intensity, photon_frequency, params, num_x_pts, num_datasets, fit_index,
                 report);

    for (int i = 0; i < n; ++i) x[i] = params[fit_index[i] - 1];

    report.lm_info = lmdif1(fit_residuals, nullptr, m, n, x.data(), residuals.data(), kTolerance,
                            iwa.data(), wa.data(), lwa);
    // lmdif1 evaluates nothing when it rejects its input (no parameters, or fewer residuals
    // than parameters): take the error at the starting values instead.
    if (report.lm_info == 0) fit_residuals(nullptr, m, n, x.data(), residuals.data(), 0);
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

}  // namespace plix::engine
