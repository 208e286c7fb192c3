#include "model/linspace.hpp"

namespace plix::model {

void linspace(std::span<double> out, double a, double b, std::int32_t n) {
    if (n <= 0) return;
    if (n == 1) {
        out[0] = a;
        return;
    }
    const double s = 1.0 / static_cast<double>(n - 1);
    for (std::int32_t m = 0; m < n; ++m) out[m] = a + static_cast<double>(m) * (b - a) * s;
}

}  // namespace plix::model
