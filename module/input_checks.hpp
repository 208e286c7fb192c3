// Checks of fit_zscan's input that protect the engine from out-of-bounds access and from
// values that turn the model into NaN or infinities, and the warnings issued after a fit.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "engine/fit_single_start.hpp"
#include "module/fit_zscan_body.hpp"

namespace plix::py {

// Sizes, finiteness and positivity; false with a ValueError naming the argument.
bool check_fit_inputs(const FitArguments& a);

// One RuntimeWarning per kind of trouble: integrations that ended early (over all starts),
// and a selected start that hit the evaluation limit or could not be fitted at all.
// False if a warning was turned into an error.
bool warn_about_fit(const FitArguments& a, std::span<const engine::StartReport> reports,
                    const engine::StartReport& selected, std::int32_t n_res);

}  // namespace plix::py
