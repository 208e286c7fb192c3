// The parameters of the physical model: the level scheme's cross-sections and lifetimes (when
// it has a scheme), then the sample's instantaneous optics, then the scheme's refraction
// volumes; their specs, and where the model finds each value.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "model/curve_model.hpp"
#include "model/instantaneous_optics.hpp"
#include "model/level_scheme.hpp"

namespace plix::model {

// The instantaneous optics' parameters, in the order the model lists them after the scheme's.
enum OpticsParameter : std::size_t {
    alpha0_parameter,
    beta_parameter,
    gamma_parameter,
    alpha_s_parameter,
    saturation_intensity_parameter,
    n2_parameter,
    optics_parameter_count,
};

// Where the values of the physical model's parameter vector belong.
struct PhysicalParameterLayout {
    std::size_t scheme_count = 0;                   // the scheme's parameters come first
    std::vector<std::size_t> process_parameter;     // per process of the scheme: its index
    std::vector<std::size_t> refraction_parameter;  // per refraction entry: its index

    std::size_t optics(OpticsParameter p) const { return scheme_count + p; }
};

// The layout for a sample with the given scheme (none: no level scheme). Throws
// std::invalid_argument, naming the scheme, when a name of the scheme is also one of the
// optics' parameters.
PhysicalParameterLayout physical_parameter_layout(const std::optional<LevelScheme>& scheme);

// One spec per parameter, in the model's order: the scheme's (as scheme_parameter_specs),
// then alpha0, beta, gamma, alpha_s, I_sat, n2, then the refraction volumes. Every parameter
// after the scheme's has a default that switches its effect off.
std::vector<ParameterSpec> physical_parameter_specs(const std::optional<LevelScheme>& scheme);

// The instantaneous optics at the given parameter values.
InstantaneousOptics optics_of(const PhysicalParameterLayout& layout, std::span<const double> params,
                              Saturation saturation);

}  // namespace plix::model
