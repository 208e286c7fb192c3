// The integrals over a Gaussian beam and pulse that the open-aperture closed forms reduce to.
//
// With I = I0 exp(-2 r^2/w^2) exp(-(t/tau)^2) on a thin sample whose column transmittance
// (normalised by the linear one) is c(I), the normalised transmitted energy is
//     T = (4/sqrt(pi)) int_0^inf t^2 e^(-t^2) c(I0 e^(-t^2)) dt:
// the product u = s e^(-t^2) of s = exp(-2 r^2/w^2), uniform on [0, 1] for the beam's power,
// and the pulse's shape has the density (2/sqrt(pi)) sqrt(-ln u) on [0, 1], and u = e^(-t^2).
// Integrated by parts it gives the 2PA form (1/(sqrt(pi) q0)) int ln(1 + q0 e^(-t^2)) dt.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace plix::model {

// Gauss-Legendre over [0, inf) for integrands that change with t through a e^(-t^2), a the
// peak strength (q0, p0, I0/I_s): two panels, [0, t_k] and [t_k, t_end], with t_k = sqrt(ln a)
// (where a e^(-t^2) = 1 and the integrand bends; 0 for a <= 1) and t_end where the neglected
// tail is below e^(-36) of the integral. With 48 nodes a panel the relative error is below
// 1e-10 for every a up to 1e9 in the 2PA and 3PA forms, and for the saturable absorber up to
// a = 1e6 and alpha_s L = 6 (checked against adaptive quadrature).
class ProfileQuadrature {
  public:
    explicit ProfileQuadrature(int nodes_per_panel);

    // int_0^inf f(t) dt for a peak strength a >= 0.
    template <class F>
    double half_line(double strength, F&& f) const {
        const double log_strength = strength > 1.0 ? std::log(strength) : 0.0;
        const double knee = std::sqrt(log_strength);
        const double end = std::sqrt(log_strength + tail_exponent);
        return panel(0.0, knee, f) + panel(knee, end, f);
    }

    // -ln of the relative tail left out beyond t_end.
    static constexpr double tail_exponent = 36.0;

  private:
    template <class F>
    double panel(double a, double b, F& f) const {
        if (!(b > a)) return 0.0;
        const double width = b - a;
        double sum = 0.0;
        for (std::size_t k = 0; k < nodes_.size(); ++k)
            sum += weights_[k] * f(a + width * nodes_[k]);
        return width * sum;
    }

    std::vector<double> nodes_;    // on [0, 1]
    std::vector<double> weights_;  // summing to 1
};

// The open-aperture 2PA transmittance (1/(sqrt(pi) q0)) int ln(1 + q0 e^(-t^2)) dt over the
// real line, for every q0 >= 0 (1 at q0 = 0).
double two_photon_transmittance(const ProfileQuadrature& quadrature, double q0);

}  // namespace plix::model
