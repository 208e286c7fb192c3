// Checks of fit_zscan's input that protect the engine from out-of-bounds access and from
// values that turn the model into NaN or infinities, and the warnings issued after a fit.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "compat/fit_single_start.hpp"
#include "compat/fit_zscan_body.hpp"

namespace plix::py {

// The caller's arrays as the body reads them: fit_indices copied once at entry (the
// caller's buffer is not read again, whatever Python code runs during the call), the
// doubles in place or, for a buffer not aligned for double, copied. May throw
// std::bad_alloc.
struct CallInputs {
    std::vector<std::int32_t> fit_indices;
    AlignedDoubles x_data, y_data, populations, pulse_energy, spec_pars;

    explicit CallInputs(const FitArguments& a)
        : fit_indices(a.fit_indices.copy_ints()),
          x_data(a.x_data),
          y_data(a.y_data),
          populations(a.populations),
          pulse_energy(a.pulse_energy),
          spec_pars(a.spec_pars) {}
};

// Sizes, finiteness and positivity; false with a ValueError naming the argument.
bool check_fit_inputs(const FitArguments& a, const CallInputs& in);

// The outcome of all starts that the warnings need.
struct FitSummary {
    model::IntegrationTally tally;  // over all starts
    int selected_lm_info = 0;
    double selected_error = 0.0;
    std::span<const double> selected_residuals;
};

// One RuntimeWarning per kind of trouble: integrations that ended early (over all starts),
// a selected start that hit the evaluation limit or could not be fitted at all, and a
// returned error or residual that is not finite (with its likely cause).
// False if a warning was turned into an error.
bool warn_about_fit(const CallInputs& in, const FitSummary& fit, std::int32_t n_res);

}  // namespace plix::py
