#include <cmath>
#include <cstdint>
#include <string>

#include "compat/input_checks.hpp"

namespace plix::py {
namespace {

// Beyond this magnitude sqrt(w) (y - model), with w up to 5, can overflow.
constexpr double kHugeMeasurement = 1e300;

bool warn(const std::string& message) {
    return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) == 0;
}

// "12 of 49600 integrations ended early (7 excess work (...), 5 ...)".
std::string describe_early_endings(const model::IntegrationTally& tally) {
    std::uint64_t total = 0;
    for (const std::uint64_t n : tally.by_status) total += n;
    std::string reasons;
    for (int s = 0; s < lsoda::status_count; ++s) {
        const auto status = static_cast<lsoda::Status>(s);
        if (status == lsoda::Status::success || tally.count(status) == 0) continue;
        if (!reasons.empty()) reasons += ", ";
        reasons += std::to_string(tally.count(status)) + " " + lsoda::describe(status);
    }
    return std::to_string(tally.ended_early()) + " of " + std::to_string(total) +
           " integrations ended early (" + reasons + ")";
}

std::string scientific(double v) {
    char* repr = PyOS_double_to_string(v, 'r', 0, 0, nullptr);
    if (repr == nullptr) return "?";
    std::string out(repr);
    PyMem_Free(repr);
    return out;
}

double largest_magnitude(std::span<const double> values) {
    double largest = 0.0;
    for (const double v : values) largest = std::fmax(largest, std::fabs(v));
    return largest;
}

// "the returned error is inf and 3 of 9 residuals are not finite; likely cause: ...".
bool warn_if_not_finite(const CallInputs& in, const FitSummary& fit) {
    std::size_t bad = 0;
    for (const double r : fit.selected_residuals) bad += std::isfinite(r) ? 0 : 1;
    if (std::isfinite(fit.selected_error) && bad == 0) return true;

    std::string what = "fit_zscan: the returned ";
    if (!std::isfinite(fit.selected_error))
        what += "error is " + scientific(fit.selected_error) + (bad > 0 ? " and " : "");
    if (bad > 0)
        what += std::to_string(bad) + " of " + std::to_string(fit.selected_residuals.size()) +
                " residuals are not finite";
    const double y_max = largest_magnitude(in.y_data.values());
    const std::string cause =
        y_max > kHugeMeasurement
            ? "y_data holds values near the top of the double range (largest magnitude " +
                  scientific(y_max) + "), where the weighted residuals overflow"
            : "the model gave non-finite transmittance: spec_pars, populations or "
              "pulse_energy drive the rate equations out of the double range";
    return warn(what + "; likely cause: " + cause);
}

}  // namespace

bool warn_about_fit(const CallInputs& in, const FitSummary& fit, std::int32_t n_res) {
    if (fit.tally.ended_early() > 0 && !warn("fit_zscan: " + describe_early_endings(fit.tally) +
                                             "; the model went on with the state reached"))
        return false;

    const auto n_fit = static_cast<std::int64_t>(in.fit_indices.size());
    if (fit.selected_lm_info == 5 &&
        !warn("fit_zscan: the selected start stopped at the evaluation limit (maxfev = " +
              std::to_string(200 * (n_fit + 1)) + ") before the fit converged"))
        return false;
    if (fit.selected_lm_info == 0 && !warn("fit_zscan: no fit was made: " + std::to_string(n_fit) +
                                           " fitted parameters but only " + std::to_string(n_res) +
                                           " residuals; the starting values are returned"))
        return false;
    return warn_if_not_finite(in, fit);
}

}  // namespace plix::py
