#include "model/linspace.hpp"

#include <algorithm>
#include <cassert>
#include <cstddef>

namespace plix::model {

void linspace(std::span<double> out, double a, double b, std::int32_t n) {
    if (n <= 0) return;
    assert(out.size() >= static_cast<std::size_t>(n));
    // Never write past out, even if the caller breaks the precondition.
    const std::size_t count = std::min(out.size(), static_cast<std::size_t>(n));
    if (n == 1) {
        if (count == 1) out[0] = a;
        return;
    }
    const double s = 1.0 / static_cast<double>(n - 1);
    for (std::size_t m = 0; m < count; ++m) out[m] = a + static_cast<double>(m) * (b - a) * s;
}

}  // namespace plix::model
