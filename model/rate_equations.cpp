#include "model/rate_equations.hpp"

namespace plix::model {

RateParameters& rate_parameters() {
    thread_local RateParameters coefficients{};
    return coefficients;
}

RateParameters make_rate_parameters(std::span<const double, 8> params, double photon_frequency) {
    return {
        .sigma_12 = params[0],
        .sigma_23 = params[1],
        .sigma_45 = params[2],
        .rate_21 = 1.0 / params[3],
        .rate_24 = 1.0 / params[4],
        .rate_32 = 1.0 / params[5],
        .rate_41 = 1.0 / params[6],
        .rate_54 = 1.0 / params[7],
        .photon_flux_factor = inverse_planck / photon_frequency,
    };
}

const RateParameters& set_rate_parameters(std::span<const double, 8> params,
                                          double photon_frequency) {
    RateParameters& coefficients = rate_parameters();
    coefficients = make_rate_parameters(params, photon_frequency);
    return coefficients;
}

}  // namespace plix::model
