#include "compat/fit_residuals.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>

#include "compat/fit_context.hpp"

namespace plix::compat {

double residual_weight(double z) { return 1.0 + 4.0 * std::exp(-4.0 * (z * z)); }

namespace {

void weighted_residuals(FitContext& ctx, const double* x, double* fvec) {
    std::array<double, 8> p;
    std::copy_n(ctx.base_params.begin(), p.size(), p.begin());
    for (std::size_t i = 0; i < ctx.fit_index.size(); ++i) p[ctx.fit_index[i] - 1] = x[i];

    const auto nx = static_cast<std::size_t>(ctx.num_x_pts);
    for (std::int32_t d = 0; d < ctx.num_datasets; ++d) {
        ctx.evaluate_dataset(d, p);
        const std::size_t lo = static_cast<std::size_t>(d) * nx;
        for (std::size_t k = lo; k < lo + nx; ++k) {
            fvec[k] = std::sqrt(residual_weight(ctx.positions[k])) *
                      (ctx.measured[k] - ctx.model_values[k]);
        }
    }
    ++*ctx.evaluations;
}

}  // namespace

int fit_residuals(void* /*unused*/, int /*m*/, int /*n*/, const double* x, double* fvec,
                  int /*iflag*/) {
    FitContext& ctx = fit_context();
    if (ctx.interrupt.stop_requested()) {
        ctx.failure = std::make_exception_ptr(FitInterrupted{});
        return -1;
    }
    try {
        weighted_residuals(ctx, x, fvec);
    } catch (...) {
        // Only the model's working storage can fail; stop the search and rethrow later.
        ctx.failure = std::current_exception();
        return -1;
    }
    return 0;
}

}  // namespace plix::compat
