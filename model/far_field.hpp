// The energy that a thin sample's exit field sends through a far-field aperture: the field,
// sampled at the radial nodes of the physical model, is decomposed into Gaussian beams whose
// far fields and whose energies through a disc are closed forms.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace plix::model {

// For one scan position. The field leaving the sample at radius r is the incident Gaussian
// beam times a modulation u(s), s = exp(-2 r^2 / w^2) (the radial variable of the physical
// model), u the amplitude transmittance times exp(i phase). With x = z / z0 (z toward the
// detector) the incident field is proportional to s^(1/2 - i x/2) (convention
// exp(i (k z - omega t)): a diverging beam after the focus). The modulation, interpolated at
// the Gauss-Legendre nodes in s by a polynomial sum_m c_m s^m, makes the exit field a sum of
// Gaussian beams exp(-(2m + 1 - i x) r^2 / w^2); in the far field each stays Gaussian, and
// the energy of the sum inside a disc is sum c_m conj(c_n) (1 - (1 - S)^(2 rho_mn)) /
// (m + n + 1), rho_mn = (1 + x^2)(m + n + 1) / (2 beta_m conj(beta_n)), beta_m = 2m + 1 - i x,
// in units of the incident energy, S the fraction of the linear beam's energy that the disc
// passes (the aperture's linear transmittance). Without an aperture (S -> 1) this is the
// Gauss-Legendre mean of |u|^2, the open-aperture transmittance.
//
// The polynomial goes through the Legendre series of u (stable) to its monomial coefficients,
// which cancel more the higher the degree: the decomposition keeps at most
// largest_decomposition_terms terms, and for more nodes bounds what the rest could change.
class ApertureFarField {
  public:
    // x = z / z0 at the sample, aperture S in (0, 1), the radial rule on [0, 1] (its weights
    // summing to 1).
    ApertureFarField(double x, double aperture, std::span<const double> nodes,
                     std::span<const double> weights);

    std::size_t nodes() const { return nodes_; }
    // Complex scratch values that fraction() needs.
    std::size_t scratch_size() const { return nodes_ + terms_; }

    // The fraction of the incident energy that passes the aperture, for the modulation at
    // each node. Adds to `truncation` a bound on what the terms beyond the decomposition's
    // could change it by (0 while the nodes are no more than the terms).
    double fraction(std::span<const std::complex<double>> modulation,
                    std::span<std::complex<double>> scratch, double& truncation) const;

  private:
    std::size_t nodes_;
    std::size_t terms_;
    std::vector<double> weights_;
    std::vector<double> legendre_;  // nodes x nodes: row k, (2k + 1) w_r P_k(2 s_r - 1)
    std::vector<double> monomial_;  // terms x terms: row k, the monomial coefficients of P_k
    std::vector<std::complex<double>> kernel_;  // terms x terms: the disc's energy form
};

// The most Gaussian terms of the decomposition. The monomial coefficients of a Legendre
// series of degree K - 1 reach about 5.8^K times its own size, and their cancellation costs
// as many digits when the series converges slowly. Against the far field computed by direct
// quadrature (relative to the aperture's linear transmittance, S = 0.01 and 0.5, x = -0.5 and
// 5): a slowly converging modulation (a 2PA loss of 90 % at the peak, q = 10) came out within
// 4e-5 with 16 terms but off by up to 0.16 with 20; a Kerr phase of 6 rad within 2e-10 with
// either. The Legendre coefficients of exp(i phi s) fall below 1e-7 by the 16th term for
// phi up to about 10 rad.
inline constexpr std::size_t largest_decomposition_terms = 16;

}  // namespace plix::model
