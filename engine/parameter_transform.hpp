// Maps between a bounded parameter and the unbounded variable that the least-squares search
// moves, so that every trial value lies inside the bounds.
#pragma once

namespace plix::engine {

enum class TransformKind {
    identity,    // (-inf, inf)
    log,         // (0, inf), the default of cross-sections and lifetimes: log x
    sqrt_lower,  // [min, inf) for any other min: MINUIT's sqrt map, scaled
    sqrt_upper,  // (-inf, max]: the same from above
    sine,        // [min, max]: MINUIT's sin map
};

// One free parameter's map. The internal variable is offset so that its magnitude stays
// near `internal_offset`: MINPACK's difference step is proportional to |u|, and a variable
// near zero would get a step near zero.
class ParameterTransform {
  public:
    // min < max; `reference` (the user's start, inside the bounds) sets the scale: of the
    // log map and of the identity map its magnitude (1 if it is zero), of the sqrt maps its
    // distance from the bound. The sqrt and sin maps reach their bound at a finite internal
    // value, so that a solution on the bound is found in a few steps; log x only tends to 0.
    ParameterTransform(double min, double max, double reference);

    TransformKind kind() const { return kind_; }
    double to_internal(double natural) const;
    double to_natural(double internal) const;

    // Magnitude around which every internal variable lies.
    static constexpr double internal_offset = 20.0;

  private:
    TransformKind kind_;
    double min_;
    double max_;
    double scale_;   // unit of the log, identity and sqrt maps
    double offset_;  // added to the map's own variable
};

}  // namespace plix::engine
