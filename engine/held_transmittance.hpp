// The sample's linear transmittance held at a measured value during a fit: the quantity every
// lab measures fixes the product of ground-state cross-sections and populations (or the
// linear absorption coefficient), which the Z-scan curve alone hardly constrains.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace plix::engine {

// One term of the linear absorbance: a one-photon cross-section (an index into the model's
// parameters) times the initial population of the level it absorbs from.
struct AbsorbingTerm {
    std::size_t parameter = 0;
    std::size_t level = 0;
};

inline constexpr std::size_t kNoParameter = std::numeric_limits<std::size_t>::max();

// Linear absorbance A = -ln T0 = L (alpha0 + sum alpha_b + sum sigma_p N_l), L the sample
// width, alpha_b the other absorption coefficients that act at low intensity (a saturable
// absorption). With absorbing terms the initial populations are scaled at every evaluation
// so that the terms give A - L (alpha0 + sum alpha_b) (the coefficients as they stand);
// without terms alpha0 is set to A / L - sum alpha_b. Disabled when `absorbance` is NaN.
struct HeldTransmittance {
    double absorbance = std::numeric_limits<double>::quiet_NaN();
    double sample_width = 0.0;  // m
    std::vector<AbsorbingTerm> terms;
    std::size_t alpha_parameter = kNoParameter;
    std::vector<std::size_t> background_parameters;

    bool active() const { return absorbance == absorbance; }

    // Throws std::invalid_argument for a non-positive absorbance or width, nothing to hold
    // (no term and no alpha0), an index out of range, or populations that give the terms
    // nothing to scale.
    void check(std::size_t parameter_count, std::span<const double> populations) const;

    // Adjusts params (alpha0) or populations (from the set-up's `initial` ones) for the
    // current parameters; returns false when neither a population scale >= 0 nor an
    // alpha0 >= 0 reaches the absorbance (the coefficients alone absorb more), leaving them
    // as they were.
    bool apply(std::span<double> params, std::span<const double> initial,
               std::span<double> populations) const;
};

}  // namespace plix::engine
