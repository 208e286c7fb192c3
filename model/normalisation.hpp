// How a model's curve is normalised, shared by the numerical models.
#pragma once

#include <string>

#include "model/model_kind.hpp"

namespace plix::model {

enum class Normalisation {
    linear,  // divided by the transmittance at vanishing intensity
    ends,    // additive shift: the mean of the first and last five points becomes 1
    none,    // the raw transmitted fraction of the pulse energy
};

inline Normalisation normalisation_of(const std::string& name) {
    if (name == "ends") return Normalisation::ends;
    if (name == "none") return Normalisation::none;
    return Normalisation::linear;
}

// The registry field that chooses it.
inline FieldSpec normalisation_field(const std::string& default_choice) {
    return choice_field("normalisation", default_choice,
                        "'linear': divided by the transmittance at vanishing intensity; 'ends': "
                        "shifted so that the mean of the first and last five points is 1 (needs "
                        "at least five positions); 'none': the raw transmitted fraction.",
                        {"linear", "ends", "none"});
}

}  // namespace plix::model
