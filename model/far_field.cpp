#include "model/far_field.hpp"

#include <algorithm>
#include <cmath>

namespace plix::model {
namespace {

// exp(z) - 1 without the cancellation of exp(z) near 1.
std::complex<double> expm1(std::complex<double> z) {
    const double a = z.real();
    const double b = z.imag();
    const double half_sine = std::sin(0.5 * b);
    return {std::expm1(a) * std::cos(b) - 2.0 * half_sine * half_sine, std::exp(a) * std::sin(b)};
}

// a b and conj(a) b written out: std::complex's product guards against infinities and NaN
// through a library call, which this inner loop does without (finite inputs).
std::complex<double> times(std::complex<double> a, std::complex<double> b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

std::complex<double> conj_times(std::complex<double> a, std::complex<double> b) {
    return {a.real() * b.real() + a.imag() * b.imag(), a.real() * b.imag() - a.imag() * b.real()};
}

}  // namespace

ApertureFarField::ApertureFarField(double x, double aperture, std::span<const double> nodes,
                                   std::span<const double> weights)
    : nodes_(nodes.size()),
      terms_(std::min(nodes.size(), largest_decomposition_terms)),
      weights_(weights.begin(), weights.end()),
      legendre_(nodes_ * nodes_),
      monomial_(terms_ * terms_, 0.0),
      kernel_(terms_ * terms_) {
    // Legendre polynomials on [0, 1] at the nodes, by their recurrence; the Gauss-Legendre
    // rule makes (2k + 1) sum_r w_r P_k(s_r) u_r the k-th coefficient of the interpolant.
    for (std::size_t r = 0; r < nodes_; ++r) {
        const double y = 2.0 * nodes[r] - 1.0;
        double previous = 0.0;
        double current = 1.0;
        for (std::size_t k = 0; k < nodes_; ++k) {
            legendre_[k * nodes_ + r] = static_cast<double>(2 * k + 1) * weights[r] * current;
            const double next =
                (static_cast<double>(2 * k + 1) * y * current - static_cast<double>(k) * previous) /
                static_cast<double>(k + 1);
            previous = current;
            current = next;
        }
    }
    // P_k(2s - 1) = sum_m (-1)^(k+m) C(k, m) C(k+m, m) s^m; the ratio of consecutive
    // coefficients keeps them exact integers.
    for (std::size_t k = 0; k < terms_; ++k) {
        double c = k % 2 == 0 ? 1.0 : -1.0;
        for (std::size_t m = 0; m <= k; ++m) {
            monomial_[k * terms_ + m] = c;
            const double up = static_cast<double>(m + 1);
            c = -c * static_cast<double>(k - m) * static_cast<double>(k + m + 1) / (up * up);
        }
    }
    // The disc's energy form: (1 - (1 - S)^(2 rho_mn)) / (m + n + 1).
    const double log_opening = std::log1p(-aperture);  // ln(1 - S) < 0
    const double spread = 1.0 + x * x;
    for (std::size_t m = 0; m < terms_; ++m) {
        const std::complex<double> beta_m(static_cast<double>(2 * m + 1), -x);
        for (std::size_t n = 0; n < terms_; ++n) {
            const std::complex<double> beta_n(static_cast<double>(2 * n + 1), -x);
            const double order = static_cast<double>(m + n + 1);
            const std::complex<double> rho = spread * order / (2.0 * beta_m * std::conj(beta_n));
            kernel_[m * terms_ + n] = -expm1(2.0 * rho * log_opening) / order;
        }
    }
}

double ApertureFarField::fraction(std::span<const std::complex<double>> modulation,
                                  std::span<std::complex<double>> scratch,
                                  double& truncation) const {
    std::complex<double>* legendre = scratch.data();
    std::complex<double>* monomial = scratch.data() + nodes_;
    for (std::size_t k = 0; k < nodes_; ++k) {
        const double* row = legendre_.data() + k * nodes_;
        std::complex<double> sum = 0.0;
        for (std::size_t r = 0; r < nodes_; ++r) sum += row[r] * modulation[r];
        legendre[k] = sum;
    }
    for (std::size_t m = 0; m < terms_; ++m) {
        std::complex<double> sum = 0.0;
        for (std::size_t k = m; k < terms_; ++k) sum += monomial_[k * terms_ + m] * legendre[k];
        monomial[m] = sum;
    }
    double energy = 0.0;
    for (std::size_t m = 0; m < terms_; ++m) {
        const std::complex<double>* row = kernel_.data() + m * terms_;
        energy += row[m].real() * std::norm(monomial[m]);
        std::complex<double> cross = 0.0;
        for (std::size_t n = m + 1; n < terms_; ++n) cross += conj_times(monomial[n], row[n]);
        energy += 2.0 * times(monomial[m], cross).real();
    }
    if (nodes_ > terms_) {
        // The terms left out change the energy by at most 2 |u| |u - u_K| + |u - u_K|^2 (the
        // disc passes at most all of it), in the norm of L2[0, 1].
        double tail = 0.0;
        for (std::size_t k = terms_; k < nodes_; ++k)
            tail += std::norm(legendre[k]) / static_cast<double>(2 * k + 1);
        double total = 0.0;
        for (std::size_t r = 0; r < nodes_; ++r) total += weights_[r] * std::norm(modulation[r]);
        truncation += 2.0 * std::sqrt(total * tail) + tail;
    }
    return energy;
}

}  // namespace plix::model
