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
    if (lower) return TransformKind::log_lower;
    if (upper) return TransformKind::log_upper;
    return TransformKind::identity;
}

double clamped_exp(double x) {
    return std::exp(std::clamp(x, -kLargestExponent, kLargestExponent));
}

}  // namespace

ParameterTransform::ParameterTransform(double min, double max, double reference)
    : kind_(kind_for(min, max)), min_(min), max_(max), scale_(1.0), offset_(internal_offset) {
    switch (kind_) {
        case TransformKind::identity:
            scale_ = reference != 0.0 ? std::abs(reference) : 1.0;
            break;
        case TransformKind::log_lower:
            scale_ = reference - min;
            break;
        case TransformKind::log_upper:
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
        case TransformKind::log_lower:
            return offset_ + std::log((natural - min_) / scale_);
        case TransformKind::log_upper:
            return offset_ + std::log((max_ - natural) / scale_);
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
        case TransformKind::log_lower:
            return min_ + scale_ * clamped_exp(v);
        case TransformKind::log_upper:
            return max_ - scale_ * clamped_exp(v);
        case TransformKind::sine: {
            // Rounding may step a hair outside [min, max]; the bounds are hard.
            const double x = min_ + 0.5 * (max_ - min_) * (std::sin(v) + 1.0);
            return std::clamp(x, min_, max_);
        }
    }
    return internal;
}

}  // namespace plix::engine
