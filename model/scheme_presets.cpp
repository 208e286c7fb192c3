#include "model/scheme_presets.hpp"

#include <stdexcept>

namespace plix::model {

LevelScheme five_level_scheme() {
    using enum ProcessKind;
    return {5,
            {
                {one_photon, 0, 1, "sigma_12"},
                {decay, 2, 1, "lifetime_32"},
                {decay, 1, 0, "lifetime_21"},
                {decay, 1, 3, "lifetime_24"},
                {one_photon, 1, 2, "sigma_23"},
                {decay, 3, 0, "lifetime_41"},
                {one_photon, 3, 4, "sigma_45"},
                {decay, 4, 3, "lifetime_54"},
            },
            {"sigma_12", "sigma_23", "sigma_45", "lifetime_21", "lifetime_24", "lifetime_32",
             "lifetime_41", "lifetime_54"},
            {}};
}

std::vector<std::string> scheme_preset_names() { return {"five_level"}; }

LevelScheme scheme_preset(const std::string& name) {
    if (name == "five_level") return five_level_scheme();
    throw std::invalid_argument("unknown level scheme preset '" + name + "'; presets: five_level");
}

}  // namespace plix::model
