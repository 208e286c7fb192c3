#include "compat/five_level.hpp"

#include "model/physical_constants.hpp"

namespace plix::compat {

RateParameters& rate_parameters() {
    thread_local RateParameters coefficients{};
    return coefficients;
}

RateParameters make_rate_parameters(std::span<const double, parameter_count> params,
                                    double photon_frequency) {
    return {
        .sigma_12 = params[sigma_12_index],
        .sigma_23 = params[sigma_23_index],
        .sigma_45 = params[sigma_45_index],
        .rate_21 = 1.0 / params[lifetime_21_index],
        .rate_24 = 1.0 / params[lifetime_24_index],
        .rate_32 = 1.0 / params[lifetime_32_index],
        .rate_41 = 1.0 / params[lifetime_41_index],
        .rate_54 = 1.0 / params[lifetime_54_index],
        .photon_flux_factor = constants::inverse_planck / photon_frequency,
    };
}

const RateParameters& set_rate_parameters(std::span<const double, parameter_count> params,
                                          double photon_frequency) {
    RateParameters& coefficients = rate_parameters();
    coefficients = make_rate_parameters(params, photon_frequency);
    return coefficients;
}

}  // namespace plix::compat
