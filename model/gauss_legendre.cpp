#include "model/gauss_legendre.hpp"

#include <cmath>
#include <cstddef>
#include <numbers>

namespace plix::model {
namespace {

constexpr int newton_iterations = 100;
constexpr double newton_tolerance = 1e-15;

struct LegendreValue {
    double p;           // P_n(x)
    double derivative;  // P_n'(x)
};

// P_n and its derivative by the three-term recurrence.
LegendreValue legendre(std::size_t n, double x) {
    double p_prev = 1.0;
    double p = x;
    for (std::size_t k = 2; k <= n; ++k) {
        const double kd = static_cast<double>(k);
        const double p_next = ((2.0 * kd - 1.0) * x * p - (kd - 1.0) * p_prev) / kd;
        p_prev = p;
        p = p_next;
    }
    const double nd = static_cast<double>(n);
    return {p, nd * (x * p - p_prev) / (x * x - 1.0)};
}

}  // namespace

void gauss_legendre_unit(std::span<double> nodes, std::span<double> weights) {
    const std::size_t n = nodes.size();
    if (n == 1) {
        nodes[0] = 0.5;
        weights[0] = 1.0;
        return;
    }
    const double nd = static_cast<double>(n);
    // Roots come in pairs +-x on [-1, 1]; Newton from Tricomi's estimate finds the positive
    // one of each pair, which is mapped to both ends of [0, 1].
    for (std::size_t m = 0; m < (n + 1) / 2; ++m) {
        double x = std::cos(std::numbers::pi * (static_cast<double>(m) + 0.75) / (nd + 0.5));
        LegendreValue v = legendre(n, x);
        for (int it = 0; it < newton_iterations; ++it) {
            const double step = v.p / v.derivative;
            x -= step;
            v = legendre(n, x);
            if (std::abs(step) <= newton_tolerance) break;
        }
        const double w = 1.0 / ((1.0 - x * x) * v.derivative * v.derivative);  // on [0, 1]
        nodes[m] = 0.5 * (1.0 - x);
        nodes[n - 1 - m] = 0.5 * (1.0 + x);
        weights[m] = w;
        weights[n - 1 - m] = w;
    }
    if (n % 2 == 1) nodes[n / 2] = 0.5;  // the middle root is 0 exactly
}

}  // namespace plix::model
