// The parameters that a level scheme names: their specs, and where each process finds its
// value in the model's parameter vector.
#pragma once

#include <cstddef>
#include <vector>

#include "model/curve_model.hpp"
#include "model/level_scheme.hpp"

namespace plix::model {

// One spec per name of scheme.parameter_names(), in that order: cross-sections (m^2, or m^4 s
// for two-photon transitions) finite and >= 0, lifetimes > 0 with +inf switching the channel
// off; all fitted in (0, inf), in log space.
std::vector<ParameterSpec> scheme_parameter_specs(const LevelScheme& scheme);

// For every process, the index of its parameter in scheme.parameter_names().
std::vector<std::size_t> process_parameter_indices(const LevelScheme& scheme);

}  // namespace plix::model
