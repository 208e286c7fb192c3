#include "model/analytic_lambert_w.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace plix::model {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double epsilon = std::numeric_limits<double>::epsilon();
// Halley's iteration converges cubically from the starts below: two or three steps reach
// the last bits; the cap only guards against a start that is not where it should be.
constexpr int max_halley_steps = 12;
constexpr double step_tolerance = 4.0 * epsilon;

// Below this z, W0(e^z) = e^z (1 - e^z) to within the rounding of a double: the next term of
// the series is 1.5 e^(3z).
constexpr double tiny_exponent = -20.0;
// The starts of W0 by region: near the branch point -1/e its series in p = sqrt(2(e x + 1)),
// up to x = 3 Winitzki's approximation, above the asymptotic ln x - ln ln x + ....
constexpr double branch_region = -0.32;
constexpr double moderate_region = 3.0;

// Where the starts of W0(e^z) change: the series in e^z below, about z = 1 up to 1.
constexpr double small_exponent = -2.0;

// A start for w + ln w = z (Lawrence, Corless and Jeffrey, ACM TOMS 38, 20 (2012), the real
// regions): the series in e^z for z < -2, the series about z = 1 (w = 1) up to z = 1, the
// asymptotic series above.
double omega_start(double z) {
    if (z < small_exponent) {
        const double e = std::exp(z);
        return e * (1.0 + e * (-1.0 + e * 1.5));
    }
    if (z <= 1.0) {
        const double d = z - 1.0;
        return 1.0 +
               d * (1.0 / 2.0 + d * (1.0 / 16.0 + d * (-1.0 / 192.0 +
                                                       d * (-1.0 / 3072.0 + d * 13.0 / 61440.0))));
    }
    const double l = std::log(z);
    return z - l + l / z + l * (l - 2.0) / (2.0 * z * z);
}

double w0_start(double x) {
    if (x < branch_region) {
        const double p = std::sqrt(2.0 * (std::numbers::e * x + 1.0));
        return -1.0 + p * (1.0 + p * (-1.0 / 3.0 + p * 11.0 / 72.0));
    }
    if (x <= moderate_region) {
        const double l = std::log1p(x);
        return l * (1.0 - std::log1p(l) / (2.0 + l));
    }
    const double l1 = std::log(x);
    const double l2 = std::log(l1);
    return l1 - l2 + l2 / l1;
}

}  // namespace

double lambert_w0(double x) {
    if (std::isnan(x) || x < -1.0 / std::numbers::e) return nan;
    if (x == 0.0 || std::isinf(x)) return x;
    if (x == -1.0 / std::numbers::e) return -1.0;
    double w = w0_start(x);
    for (int step = 0; step < max_halley_steps; ++step) {
        // Halley on f(w) = w e^w - x: f' = e^w (w + 1), f''/f' = (w + 2)/(w + 1).
        const double ew = std::exp(w);
        const double f = w * ew - x;
        const double w1 = w + 1.0;
        if (w1 <= 0.0) break;  // on the branch point itself: rounding of x near -1/e
        const double delta = f / (ew * w1 - (w + 2.0) * f / (2.0 * w1));
        w -= delta;
        if (w < -1.0) w = -1.0;
        if (std::abs(delta) <= step_tolerance * (1.0 + std::abs(w))) break;
    }
    return w;
}

double lambert_w0_of_exp(double z) {
    if (std::isnan(z)) return nan;
    if (z == std::numeric_limits<double>::infinity()) return z;
    if (z < tiny_exponent) {
        const double e = std::exp(z);
        return e * (1.0 - e);
    }
    double w = omega_start(z);
    for (int step = 0; step < max_halley_steps; ++step) {
        // Halley on f(w) = w + ln w - z: f' = (w + 1)/w, f'' = -1/w^2.
        const double f = w + std::log(w) - z;
        const double slope = (w + 1.0) / w;
        const double curvature = -1.0 / (w * w);
        const double delta = 2.0 * f * slope / (2.0 * slope * slope - f * curvature);
        // w stays positive: a step that would cross zero goes a tenth of the way instead.
        w = delta < w ? w - delta : 0.1 * w;
        if (std::abs(delta) <= step_tolerance * w) break;
    }
    return w;
}

}  // namespace plix::model
