// The rate equations at fixed intensity as a linear system dN/dt = A N, for the propagators
// that step the populations by a matrix exponential. The absorption coefficient that goes
// with it is absorption_coefficient (rate_equations.hpp).
#pragma once

#include "model/matrix_exponential.hpp"
#include "model/rate_equations.hpp"

namespace plix::model {

// A with dN/dt = A N for N = (N1..N5) at the fixed intensity (W/m^2): the terms of
// rate_equations, entry (row, column) = rate into level row from level column. Every column
// sums to zero (population is conserved).
inline Matrix5 rate_matrix(const RateParameters& p, double intensity) {
    constexpr std::size_t n = level_count;
    const double phi = p.photon_flux_factor * intensity;
    const double pump_12 = p.sigma_12 * phi;
    const double pump_23 = p.sigma_23 * phi;
    const double pump_45 = p.sigma_45 * phi;
    Matrix5 a{};
    a[0 * n + 0] = -pump_12;
    a[0 * n + 1] = p.rate_21;
    a[0 * n + 3] = p.rate_41;
    a[1 * n + 0] = pump_12;
    a[1 * n + 1] = -(p.rate_21 + p.rate_24 + pump_23);
    a[1 * n + 2] = p.rate_32;
    a[2 * n + 1] = pump_23;
    a[2 * n + 2] = -p.rate_32;
    a[3 * n + 1] = p.rate_24;
    a[3 * n + 3] = -(p.rate_41 + pump_45);
    a[3 * n + 4] = p.rate_54;
    a[4 * n + 3] = pump_45;
    a[4 * n + 4] = -p.rate_54;
    return a;
}

}  // namespace plix::model
