// Maps between a bounded parameter and the unbounded variable that the least-squares search
// moves, so that every trial value lies inside the bounds.
#pragma once

namespace plix::engine {

enum class TransformKind {
    identity,    // (-inf, inf)
    log_lower,   // (min, inf): log of the distance from min (the default (0, inf) is log x)
    log_upper,   // (-inf, max): log of the distance from max
    sine,        // [min, max]: MINUIT's sin map
};

// One free parameter's map. The internal variable is offset so that its magnitude stays
// near `internal_offset`: MINPACK's difference step is proportional to |u|, and a variable
// near zero would get a step near zero.
class ParameterTransform {
public:
    // min < max; `reference` (the user's start, inside the bounds) sets the scale of the
    // log maps and of the identity map (its magnitude, or 1 if it is zero).
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
    double scale_;   // distance from the bound (log maps), unit of the identity map
    double offset_;  // added to the map's own variable
};

}  // namespace plix::engine
