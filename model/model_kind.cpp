#include "model/model_kind.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace plix::model {
namespace {

std::string text(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string range_text(const FieldSpec& spec) {
    const bool below = std::isfinite(spec.min);
    const bool above = std::isfinite(spec.max);
    if (below && above)
        return "lie in " + std::string(spec.min_open ? "(" : "[") + text(spec.min) + ", " +
               text(spec.max) + (spec.max_open ? ")" : "]");
    if (below) return "be " + std::string(spec.min_open ? "> " : ">= ") + text(spec.min);
    return "be " + std::string(spec.max_open ? "< " : "<= ") + text(spec.max);
}

bool in_range(const FieldSpec& spec, double x) {
    if (std::isnan(x)) return false;
    const bool above_min = spec.min_open ? x > spec.min : x >= spec.min;
    const bool below_max = spec.max_open ? x < spec.max : x <= spec.max;
    return above_min && below_max;
}

std::string quoted_list(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t k = 0; k < items.size(); ++k)
        out += (k ? ", '" : "'") + items[k] + "'";
    return out;
}

}  // namespace

std::optional<std::string> check_field(const FieldSpec& spec, const FieldValue& value) {
    if (std::holds_alternative<std::monostate>(value)) {
        if (spec.none_allowed) return std::nullopt;
        return spec.name + " must not be None";
    }
    switch (spec.type) {
        case FieldType::real: {
            const double x = std::get<double>(value);
            if (!in_range(spec, x)) return spec.name + " must " + range_text(spec) + ", got " + text(x);
            break;
        }
        case FieldType::integer: {
            const auto x = std::get<std::int64_t>(value);
            if (!in_range(spec, static_cast<double>(x)))
                return spec.name + " must " + range_text(spec) + ", got " + std::to_string(x);
            break;
        }
        case FieldType::choice: {
            const auto& x = std::get<std::string>(value);
            if (std::find(spec.choices.begin(), spec.choices.end(), x) == spec.choices.end())
                return spec.name + " must be one of " + quoted_list(spec.choices) + ", got '" + x + "'";
            break;
        }
        case FieldType::grid: {
            const auto& x = std::get<std::vector<std::int64_t>>(value);
            if (x.size() != spec.grid_entries.size()) {
                std::string names;
                for (std::size_t k = 0; k < spec.grid_entries.size(); ++k)
                    names += (k ? ", " : "") + spec.grid_entries[k];
                return spec.name + " must be None or (" + names + ")";
            }
            for (std::size_t k = 0; k < x.size(); ++k)
                if (x[k] < 1 || static_cast<double>(x[k]) > spec.max)
                    return spec.name + "[" + std::to_string(k) + "] (" + spec.grid_entries[k] +
                           ") must lie in [1, " + text(spec.max) + "], got " +
                           std::to_string(x[k]);
            break;
        }
        case FieldType::scheme:
            if (const auto problem = std::get<LevelScheme>(value).problem())
                return spec.name + ": " + *problem;
            break;
    }
    return std::nullopt;
}

}  // namespace plix::model
