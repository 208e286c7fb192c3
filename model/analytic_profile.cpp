#include "model/analytic_profile.hpp"

#include <numbers>

#include "model/gauss_legendre.hpp"

namespace plix::model {

ProfileQuadrature::ProfileQuadrature(int nodes_per_panel)
    : nodes_(static_cast<std::size_t>(std::max(nodes_per_panel, 1))), weights_(nodes_.size()) {
    gauss_legendre_unit(nodes_, weights_);
}

double two_photon_transmittance(const ProfileQuadrature& quadrature, double q0) {
    if (q0 == 0.0) return 1.0;
    const double integral =
        quadrature.half_line(q0, [q0](double t) { return std::log1p(q0 * std::exp(-t * t)); });
    return 2.0 * integral / (std::sqrt(std::numbers::pi) * q0);
}

}  // namespace plix::model
