#include "engine/parameter_transform.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plix::engine {
namespace {

// exp() of a larger argument overflows; the search may try such steps, the model then sees
// the largest or smallest representable distance rather than inf or 0.
constexpr double kLargestExponent = 700.0;

// The sin map is 2 pi periodic: its offset is the multiple of 2 pi nearest the common one.
constexpr double kSineOffset = 6.0 * std::numbers::pi;

TransformKind kind_for(double min, double max) {
    const bool lower = std::isfinite(min);
    const bool upper = std::isfinite(max);
    if (lower && upper) return TransformKind::sine;
    if (lower) return min == 0.0 ? TransformKind::log : TransformKind::sqrt_lower;
    if (upper) return TransformKind::sqrt_upper;
    return TransformKind::identity;
}

double clamped_exp(double x) {
    return std::exp(std::clamp(x, -kLargestExponent, kLargestExponent));
}

// MINUIT's sqrt map in units of the scale: distance d >= 0 from the bound <-> v, with
// d = sqrt(v^2 + 1) - 1, written without cancellation near the bound.
double sqrt_map_distance(double v) { return v * v / (std::sqrt(v * v + 1.0) + 1.0); }
double sqrt_map_variable(double d) { return std::sqrt(std::max(d, 0.0) * (d + 2.0)); }

}  // namespace

ParameterTransform::ParameterTransform(double min, double max, double reference)
    : kind_(kind_for(min, max)), min_(min), max_(max), scale_(1.0), offset_(internal_offset) {
    switch (kind_) {
        case TransformKind::identity:
        case TransformKind::log:
            scale_ = reference != 0.0 ? std::abs(reference) : 1.0;
            break;
        case TransformKind::sqrt_lower:
            scale_ = reference - min;
            break;
        case TransformKind::sqrt_upper:
            scale_ = max - reference;
            break;
        case TransformKind::sine:
            offset_ = kSineOffset;
            break;
    }
}

double ParameterTransform::to_internal(double natural) const {
    switch (kind_) {
        case TransformKind::identity:
            return offset_ + natural / scale_;
        case TransformKind::log:
            return offset_ + std::log(natural / scale_);
        case TransformKind::sqrt_lower:
            return offset_ + sqrt_map_variable((natural - min_) / scale_);
        case TransformKind::sqrt_upper:
            return offset_ + sqrt_map_variable((max_ - natural) / scale_);
        case TransformKind::sine: {
            const double s = 2.0 * (natural - min_) / (max_ - min_) - 1.0;
            return offset_ + std::asin(std::clamp(s, -1.0, 1.0));
        }
    }
    return natural;
}

double ParameterTransform::to_natural(double internal) const {
    const double v = internal - offset_;
    switch (kind_) {
        case TransformKind::identity:
            return v * scale_;
        case TransformKind::log:
            return scale_ * clamped_exp(v);
        case TransformKind::sqrt_lower:
            return std::max(min_ + scale_ * sqrt_map_distance(v), min_);
        case TransformKind::sqrt_upper:
            return std::min(max_ - scale_ * sqrt_map_distance(v), max_);
        case TransformKind::sine: {
            // Rounding may step a hair outside [min, max]; the bounds are hard.
            const double x = min_ + 0.5 * (max_ - min_) * (std::sin(v) + 1.0);
            return std::clamp(x, min_, max_);
        }
    }
    return internal;
}

}  // namespace plix::engine
