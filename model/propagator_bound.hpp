// How far a polynomial interpolant in the intensity may be from the exact propagator
// exp(h A(I)) of a level scheme: a bound that holds for every scheme, with no knowledge of the
// propagator beyond the signs of the rate matrix.
//
// Write h A(I) = M0 + I E1 + I^2 E2, with M0 = h A(0) the decays, E1 the one-photon and E2 the
// two-photon part (each a rate matrix: off-diagonal entries >= 0, columns summing to zero).
// For a complex intensity z, the logarithmic 1-norm of M(z) = M0 + z E1 + z^2 E2 (largest over
// columns of Re m_jj + sum_{i != j} |m_ij|) is at most
//     e1 (|z| - Re z) + e2 (|z|^2 - Re z^2) = e1 (|z| - Re z) + 2 e2 (Im z)^2,
// where e1 and e2 are the largest column losses of E1 and E2 (the off-diagonal entries of M0,
// E1, E2 are >= 0, so |m_ij| <= m0_ij + |z| e1_ij + |z|^2 e2_ij, while Re m_jj loses
// Re z e1_j + Re z^2 e2_j). Hence ||exp(M(z))||_1 <= exp(e1 (|z| - Re z) + 2 e2 (Im z)^2): 1 on
// the real axis (a stochastic matrix), growing only off it.
//
// On a piece [a, b] of intensities, the interpolant p_K of degree K in the K + 1 Chebyshev
// points of the second kind (the extrema, ends included) then satisfies, for every rho > 1,
//     ||exp(M(I)) - p_K(I)||_1 <= 4 B(rho) rho^-K / (rho - 1),   I in [a, b],
// with B(rho) the bound above over the Bernstein ellipse of [a, b] with parameter rho (Trefethen,
// Approximation Theory and Approximation Practice, Thm 8.2, which holds as well for functions
// with values in a normed space; by the maximum principle the boundary bounds the inside).
// This file evaluates the bound, minimised over rho; the truncation error it bounds comes on
// top of the rounding errors of the values at the points (amplified at most by the Lebesgue
// constant, below 3 for degrees up to 32) and of the evaluation.
#pragma once

#include <cstddef>
#include <optional>

#include "model/scheme_rates.hpp"

namespace plix::model {

// e1 (1/(W/m^2)) and e2 (1/(W/m^2)^2) above for a half step h: the largest total rate at which
// one level loses population through one-photon and through two-photon processes, per unit
// intensity (squared), times h.
struct LightCoupling {
    double linear = 0.0;
    double quadratic = 0.0;

    // The propagator does not depend on the intensity.
    bool none() const { return linear == 0.0 && quadratic == 0.0; }
};

LightCoupling light_coupling(const SchemeRates& rates, double half_step);

// Natural log of the bound on [lower, upper] (0 <= lower < upper) for the interpolant of
// degree `degree` >= 1, minimised over rho.
double log_interpolation_bound(const LightCoupling& coupling, double lower, double upper,
                               std::size_t degree);

// The smallest degree in [1, max_degree] whose bound on [lower, upper] is within
// `tolerance`, with that bound; nothing if even max_degree is not enough.
struct DegreeBound {
    std::size_t degree = 0;
    double bound = 0.0;
};
std::optional<DegreeBound> smallest_degree(const LightCoupling& coupling, double lower,
                                           double upper, std::size_t max_degree,
                                           double tolerance);

}  // namespace plix::model
