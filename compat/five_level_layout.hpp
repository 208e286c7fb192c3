// Layout of fit_zscan's five-level model: level count, parameter order and names.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace plix::compat {

inline constexpr std::size_t level_count = 5;
inline constexpr std::size_t parameter_count = 8;

// Positions in the parameter vector (the order of fit_zscan's spec_pars): three
// cross-sections in m^2, then five lifetimes in s.
enum ParameterIndex : std::size_t {
    sigma_12_index,
    sigma_23_index,
    sigma_45_index,
    lifetime_21_index,
    lifetime_24_index,
    lifetime_32_index,
    lifetime_41_index,
    lifetime_54_index,
};

inline constexpr std::size_t cross_section_count = 3;

inline constexpr std::array<std::string_view, parameter_count> parameter_names{
    "sigma_12",    "sigma_23",    "sigma_45",    "lifetime_21",
    "lifetime_24", "lifetime_32", "lifetime_41", "lifetime_54",
};

using ParameterVector = std::array<double, parameter_count>;

}  // namespace plix::compat
