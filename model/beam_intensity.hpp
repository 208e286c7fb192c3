// The on-axis Gaussian beam and pulse of the seed discretisation.
#pragma once

#include <cmath>
#include <numbers>

namespace plix::model {

// The seed discretisation's intensity normalisation, E * seed_intensity_factor /
// (pi tau w^2) on axis: about 1/6000 of the physical peak 2E / (pi^(3/2) tau w^2). Kept
// because fit_zscan's fitted cross-sections are defined by it.
inline constexpr double seed_intensity_factor = 1.88e-4;

// Intensity at radius r, time t and distance z from the focus for pulse energy `energy`,
// pulse width tau (1/e half-width), waist w0 and Rayleigh range z0.
inline double beam_intensity(double r, double t, double z, double energy, double tau, double w0,
                             double z0) {
    const double zr = z / z0;
    const double w = w0 * std::sqrt(1.0 + zr * zr);
    const double tt = t / tau;
    const double g_t = std::exp(-(tt * tt));
    const double g_r = std::exp(-2.0 * r * r / (w * w));
    return g_r * energy * seed_intensity_factor * g_t / (std::numbers::pi * tau * (w * w));
}

}  // namespace plix::model
