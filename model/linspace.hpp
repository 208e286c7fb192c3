// Uniform grid fill.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

namespace plix::model {

// Writes n uniform points from a to b into out (n <= 0: nothing; n = 1: a only). The last
// point is computed by the formula, not copied from b. Requires out.size() >= n; never
// writes past out even if that is broken.
inline void linspace(std::span<double> out, double a, double b, std::int32_t n) {
    if (n <= 0) return;
    assert(out.size() >= static_cast<std::size_t>(n));
    const std::size_t count = std::min(out.size(), static_cast<std::size_t>(n));
    if (n == 1) {
        if (count == 1) out[0] = a;
        return;
    }
    const double s = 1.0 / static_cast<double>(n - 1);
    for (std::size_t m = 0; m < count; ++m) out[m] = a + static_cast<double>(m) * (b - a) * s;
}

}  // namespace plix::model
