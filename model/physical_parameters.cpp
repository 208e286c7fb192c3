#include "model/physical_parameters.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <string>

#include "model/scheme_parameters.hpp"

namespace plix::model {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// A parameter that is >= 0, off at 0 and fitted in (0, inf), in log space.
ParameterSpec non_negative(const char* name, const char* unit, const char* symbol,
                           const char* description) {
    ParameterSpec spec;
    spec.name = name;
    spec.unit = unit;
    spec.symbol = symbol;
    spec.description = description;
    spec.lowest = 0.0;
    spec.default_value = 0.0;
    return spec;
}

// A parameter of either sign, off at 0 and fitted without bounds.
ParameterSpec signed_parameter(std::string name, std::string unit, std::string symbol,
                               std::string description) {
    ParameterSpec spec;
    spec.name = std::move(name);
    spec.unit = std::move(unit);
    spec.symbol = std::move(symbol);
    spec.description = std::move(description);
    spec.lowest = -infinity;
    spec.fit_min = -infinity;
    spec.default_value = 0.0;
    return spec;
}

std::array<ParameterSpec, optics_parameter_count> optics_specs() {
    ParameterSpec saturation_intensity =
        non_negative("I_sat", "W/m^2", "I_s", "saturation intensity of alpha_s");
    saturation_intensity.lowest_included = false;
    saturation_intensity.infinity_allowed = true;
    saturation_intensity.default_value = infinity;
    return {
        non_negative("alpha0", "1/m", "\\alpha_0", "non-saturable linear absorption"),
        non_negative("beta", "m/W", "\\beta", "two-photon absorption coefficient"),
        non_negative("gamma", "m^3/W^2", "\\gamma", "three-photon absorption coefficient"),
        non_negative("alpha_s", "1/m", "\\alpha_s", "saturable absorption at low intensity"),
        saturation_intensity,
        signed_parameter("n2", "m^2/W", "n_2", "Kerr index (positive: self-focusing)"),
    };
}

std::size_t index_in(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

}  // namespace

PhysicalParameterLayout physical_parameter_layout(const std::optional<LevelScheme>& scheme) {
    PhysicalParameterLayout layout;
    if (!scheme) return layout;
    const std::vector<std::string> names = scheme->parameter_names();
    const std::vector<std::string> volumes = scheme->refraction_names();
    for (const ParameterSpec& optics : optics_specs())
        if (index_in(names, optics.name) < names.size() ||
            index_in(volumes, optics.name) < volumes.size())
            throw std::invalid_argument(
                "scheme: '" + optics.name +
                "' is a parameter of the physical model itself; give the scheme's parameter "
                "another name");
    layout.scheme_count = names.size();
    layout.process_parameter = process_parameter_indices(*scheme);
    const std::size_t first_volume = names.size() + optics_parameter_count;
    for (const Refraction& r : scheme->refraction)
        layout.refraction_parameter.push_back(first_volume + index_in(volumes, r.parameter));
    return layout;
}

std::vector<ParameterSpec> physical_parameter_specs(const std::optional<LevelScheme>& scheme) {
    std::vector<ParameterSpec> specs;
    if (scheme) specs = scheme_parameter_specs(*scheme);
    for (ParameterSpec& spec : optics_specs()) specs.push_back(std::move(spec));
    if (!scheme) return specs;
    for (const std::string& name : scheme->refraction_names()) {
        const auto level = std::find_if(scheme->refraction.begin(), scheme->refraction.end(),
                                        [&](const Refraction& r) { return r.parameter == name; })
                               ->level;
        const std::string number = std::to_string(level + 1);
        specs.push_back(signed_parameter(name, "m^3", "\\sigma_{r," + number + "}",
                                         "refraction volume of level " + number));
    }
    return specs;
}

InstantaneousOptics optics_of(const PhysicalParameterLayout& layout, std::span<const double> params,
                              Saturation saturation) {
    InstantaneousOptics optics;
    optics.alpha0 = params[layout.optics(alpha0_parameter)];
    optics.beta = params[layout.optics(beta_parameter)];
    optics.gamma = params[layout.optics(gamma_parameter)];
    optics.alpha_s = params[layout.optics(alpha_s_parameter)];
    optics.saturation_intensity = params[layout.optics(saturation_intensity_parameter)];
    optics.saturation = saturation;
    optics.n2 = params[layout.optics(n2_parameter)];
    return optics;
}

}  // namespace plix::model
