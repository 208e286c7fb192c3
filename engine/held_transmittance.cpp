#include "engine/held_transmittance.hpp"

#include <cmath>
#include <stdexcept>

namespace plix::engine {

void HeldTransmittance::check(std::size_t parameter_count,
                              std::span<const double> populations) const {
    if (!active()) return;
    if (!(absorbance > 0.0 && std::isfinite(absorbance)))
        throw std::invalid_argument("linear transmittance: must lie in (0, 1)");
    if (!(sample_width > 0.0 && std::isfinite(sample_width)))
        throw std::invalid_argument("linear transmittance: the sample width must be positive");
    if (terms.empty() && alpha_parameter == kNoParameter)
        throw std::invalid_argument(
            "linear transmittance: the model has no linear absorption to hold");
    if (alpha_parameter != kNoParameter && alpha_parameter >= parameter_count)
        throw std::invalid_argument("linear transmittance: alpha parameter out of range");
    for (const std::size_t b : background_parameters)
        if (b >= parameter_count || b == alpha_parameter)
            throw std::invalid_argument("linear transmittance: background parameter out of range");
    double weight = 0.0;
    for (const AbsorbingTerm& t : terms) {
        if (t.parameter >= parameter_count || t.level >= populations.size())
            throw std::invalid_argument("linear transmittance: absorbing term out of range");
        weight += populations[t.level];
    }
    if (!terms.empty() && !(weight > 0.0))
        throw std::invalid_argument(
            "linear transmittance: no absorbing level is populated; give the populations' "
            "proportions in setup.populations");
}

bool HeldTransmittance::apply(std::span<double> params, std::span<const double> initial,
                              std::span<double> populations) const {
    double coefficients = 0.0;  // 1/m
    for (const std::size_t b : background_parameters) coefficients += params[b];
    if (terms.empty()) {
        const double alpha = absorbance / sample_width - coefficients;
        if (!(alpha >= 0.0)) return false;
        params[alpha_parameter] = alpha;
        return true;
    }
    if (alpha_parameter != kNoParameter) coefficients += params[alpha_parameter];
    const double background = coefficients * sample_width;
    double unit = 0.0;  // absorbance of the terms at the initial populations
    for (const AbsorbingTerm& t : terms) unit += params[t.parameter] * initial[t.level];
    unit *= sample_width;
    const double scale = (absorbance - background) / unit;
    if (!(scale >= 0.0 && std::isfinite(scale))) return false;
    for (std::size_t l = 0; l < populations.size(); ++l) populations[l] = initial[l] * scale;
    return true;
}

}  // namespace plix::engine
