// fit_zscan's five-level rate equations and the depth attenuation they drive, written out
// by hand.
//
// Population state: y = (N1, N2, N3, N4, N5, I); the five populations are integrated, the
// intensity I rides along fixed. Attenuation state: y = (I, N1, N2, N3, N4, N5); only I is
// integrated, the populations ride along fixed.
#pragma once

#include <span>

#include "compat/five_level_layout.hpp"

namespace plix::compat {

// Coefficients of both right-hand sides: three cross-sections, five decay or transfer
// rates (inverse lifetimes) and 1/(h*nu), which turns intensity into photon flux.
struct RateParameters {
    double sigma_12 = 0.0;
    double sigma_23 = 0.0;
    double sigma_45 = 0.0;
    double rate_21 = 0.0;
    double rate_24 = 0.0;
    double rate_32 = 0.0;
    double rate_41 = 0.0;
    double rate_54 = 0.0;
    double photon_flux_factor = 0.0;
};

// The calling thread's coefficients (zero until the first write on that thread).
RateParameters& rate_parameters();

// Coefficients from the eight model parameters (sigma_12, sigma_23, sigma_45, then the
// lifetimes 2->1, 2->4, 3->2, 4->1, 5->4) and the photon frequency. An infinite lifetime
// gives a zero rate; a zero lifetime an infinite one.
RateParameters make_rate_parameters(std::span<const double, parameter_count> params,
                                    double photon_frequency);

// Overwrites the calling thread's coefficients and returns them.
const RateParameters& set_rate_parameters(std::span<const double, parameter_count> params,
                                          double photon_frequency);

// dN/dt for y = (N1..N5, I); writes ydot[0..5). Every term moves population between two
// levels, so the five derivatives sum to zero.
inline void rate_equations(const RateParameters& p, const double* y, double* ydot) {
    const double n1 = y[0];
    const double n2 = y[1];
    const double n3 = y[2];
    const double n4 = y[3];
    const double n5 = y[4];
    const double phi = p.photon_flux_factor * y[5];
    ydot[0] = p.rate_21 * n2 - p.sigma_12 * phi * n1 + p.rate_41 * n4;
    ydot[1] = p.sigma_12 * phi * n1 + p.rate_32 * n3 - p.rate_21 * n2 - p.rate_24 * n2 -
              p.sigma_23 * phi * n2;
    ydot[2] = p.sigma_23 * phi * n2 - p.rate_32 * n3;
    ydot[3] = p.rate_24 * n2 - p.rate_41 * n4 - p.sigma_45 * phi * n4 + p.rate_54 * n5;
    ydot[4] = p.sigma_45 * phi * n4 - p.rate_54 * n5;
}

// Absorption coefficient (1/m) of the populations n[0..5): levels 1, 2 and 4 absorb, levels
// 3 and 5 do not.
inline double absorption_coefficient(const RateParameters& p, const double* n) {
    return p.sigma_12 * n[0] + p.sigma_23 * n[1] + p.sigma_45 * n[3];
}

// dI/dz for y = (I, N1..N5); writes ydot[0].
inline void attenuation_rhs(const RateParameters& p, const double* y, double* ydot) {
    ydot[0] = -y[0] * absorption_coefficient(p, y + 1);
}

// The right-hand sides in the integrator's callback form (t unused: both are autonomous).
// Each holds its own copy of the coefficients so that the integrator's writes to ydot
// cannot alias them.
struct RateEquations {
    RateParameters p;
    void operator()(double /*t*/, const double* y, double* ydot) const {
        rate_equations(p, y, ydot);
    }
};

struct AttenuationRhs {
    RateParameters p;
    void operator()(double /*t*/, const double* y, double* ydot) const {
        attenuation_rhs(p, y, ydot);
    }
};

}  // namespace plix::compat
