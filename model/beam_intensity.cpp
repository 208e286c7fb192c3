#include "model/beam_intensity.hpp"

#include <cmath>
#include <numbers>

namespace plix::model {

double beam_intensity(double r, double t, double z, double energy, double tau, double w0,
                      double z0) {
    const double zr = z / z0;
    const double w = w0 * std::sqrt(1.0 + zr * zr);
    const double tt = t / tau;
    const double g_t = std::exp(-(tt * tt));
    const double g_r = std::exp(-2.0 * r * r / (w * w));
    return g_r * energy * 1.88e-4 * g_t / (std::numbers::pi * tau * (w * w));
}

}  // namespace plix::model
