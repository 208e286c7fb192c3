// The sample's response that follows the intensity without delay: a linear background
// absorption, two- and three-photon absorption, a fast saturable absorber and the Kerr
// index. SI units throughout.
#pragma once

#include <cmath>
#include <limits>

namespace plix::model {

// How a fast absorber saturates.
enum class Saturation {
    homogeneous,    // alpha_s / (1 + I / I_sat)
    inhomogeneous,  // alpha_s / sqrt(1 + I / I_sat)
};

struct InstantaneousOptics {
    double alpha0 = 0.0;   // non-saturable linear absorption, 1/m
    double beta = 0.0;     // two-photon absorption, m/W
    double gamma = 0.0;    // three-photon absorption, m^3/W^2
    double alpha_s = 0.0;  // saturable absorption at vanishing intensity, 1/m
    double saturation_intensity = std::numeric_limits<double>::infinity();  // W/m^2
    Saturation saturation = Saturation::homogeneous;
    double n2 = 0.0;  // Kerr index, m^2/W: Delta n = n2 I

    // Whether any absorption term is present (else absorption() is 0 at every intensity).
    bool absorbs() const { return alpha0 != 0.0 || beta != 0.0 || gamma != 0.0 || alpha_s != 0.0; }

    // The absorption coefficient (1/m) at the intensity I (W/m^2): dI/dz = -absorption(I) I.
    double absorption(double intensity) const {
        double alpha = alpha0 + intensity * (beta + gamma * intensity);
        if (alpha_s != 0.0) {
            const double ratio = 1.0 + intensity / saturation_intensity;
            alpha += saturation == Saturation::homogeneous ? alpha_s / ratio
                                                           : alpha_s / std::sqrt(ratio);
        }
        return alpha;
    }

    // The absorption coefficient at vanishing intensity, 1/m.
    double linear_absorption() const { return alpha0 + alpha_s; }
};

}  // namespace plix::model
