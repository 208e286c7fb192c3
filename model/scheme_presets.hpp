// Level schemes that come with plix, by name.
#pragma once

#include <string>
#include <vector>

#include "model/level_scheme.hpp"

namespace plix::model {

// The five-level absorber of reverse saturable absorption: singlets 1, 2, 3 and triplets 4,
// 5; absorption 1 -> 2 (sigma_12), 2 -> 3 (sigma_23) and 4 -> 5 (sigma_45); decays 2 -> 1, 2 -> 4
// (intersystem crossing), 3 -> 2, 4 -> 1 and 5 -> 4 (lifetime_21 ... lifetime_54). Its
// processes are listed in the order in which fit_zscan's hand-written rate equations sum
// their terms, so that models built on it reproduce those equations bit for bit.
LevelScheme five_level_scheme();

// The names of the presets and the preset of a name (std::invalid_argument if unknown).
std::vector<std::string> scheme_preset_names();
LevelScheme scheme_preset(const std::string& name);

}  // namespace plix::model
