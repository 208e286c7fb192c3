// Choice of the best of several starts.
#pragma once

#include <cstddef>
#include <span>

namespace plix::compat {

// Index of the smallest error; a later start wins only if strictly smaller, so ties keep
// the earlier start and a NaN never wins (a NaN first error keeps index 0).
// Requires a non-empty span.
inline std::size_t select_best_start(std::span<const double> errors) {
    std::size_t best = 0;
    double best_error = errors[0];
    for (std::size_t i = 1; i < errors.size(); ++i) {
        if (errors[i] < best_error) {
            best_error = errors[i];
            best = i;
        }
    }
    return best;
}

}  // namespace plix::compat
