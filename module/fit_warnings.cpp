#include <cstdint>
#include <string>

#include "module/input_checks.hpp"

namespace plix::py {
namespace {

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

}  // namespace

bool warn_about_fit(const FitArguments& a, std::span<const engine::StartReport> reports,
                    const engine::StartReport& selected, std::int32_t n_res) {
    model::IntegrationTally tally;
    for (const engine::StartReport& r : reports) tally.merge(r.tally);
    if (tally.ended_early() > 0 && !warn("fit_zscan: " + describe_early_endings(tally) +
                                         "; the model went on with the state reached"))
        return false;

    const auto n_fit = static_cast<std::int64_t>(a.fit_indices.extent(0));
    if (selected.lm_info == 5 &&
        !warn("fit_zscan: the selected start stopped at the evaluation limit (maxfev = " +
              std::to_string(200 * (n_fit + 1)) + ") before the fit converged"))
        return false;
    if (selected.lm_info == 0 && !warn("fit_zscan: no fit was made: " + std::to_string(n_fit) +
                                       " fitted parameters but only " + std::to_string(n_res) +
                                       " residuals; the starting values are returned"))
        return false;
    return true;
}

}  // namespace plix::py
