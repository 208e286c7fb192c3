// How the registry describes a kind of model: its fields (the settings a user chooses), their
// defaults and accepted values, and the factory that builds the model from checked values.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "model/curve_model.hpp"
#include "model/level_scheme.hpp"

namespace plix::model {

enum class FieldType { real, integer, choice, grid, scheme };

// A field's value: none, a real number, an integer, a choice, a grid, or a level scheme.
using FieldValue = std::variant<std::monostate, double, std::int64_t, std::string,
                                std::vector<std::int64_t>, LevelScheme>;

struct FieldSpec {
    std::string name;
    FieldType type = FieldType::real;
    FieldValue default_value;
    std::string doc;  // one or two sentences, with the unit
    // real and integer: the accepted range, each end open or closed; grid: max is the
    // largest entry.
    double min = -std::numeric_limits<double>::infinity();
    double max = std::numeric_limits<double>::infinity();
    bool min_open = false;
    bool max_open = false;
    std::vector<std::string> choices;       // choice: the accepted values
    std::vector<std::string> grid_entries;  // grid: what each entry counts (each >= 1)
    bool none_allowed = false;              // None accepted (grid: chosen automatically)
};

// Fields of each type.
inline FieldSpec choice_field(std::string name, std::string default_choice, std::string doc,
                              std::vector<std::string> choices) {
    FieldSpec f;
    f.name = std::move(name);
    f.type = FieldType::choice;
    f.default_value = std::move(default_choice);
    f.doc = std::move(doc);
    f.choices = std::move(choices);
    return f;
}

inline FieldSpec real_field(std::string name, double default_value, std::string doc, double min,
                            double max, bool min_open = false, bool max_open = false) {
    FieldSpec f;
    f.name = std::move(name);
    f.type = FieldType::real;
    f.default_value = default_value;
    f.doc = std::move(doc);
    f.min = min;
    f.max = max;
    f.min_open = min_open;
    f.max_open = max_open;
    return f;
}

inline FieldSpec integer_field(std::string name, std::int64_t default_value, std::string doc,
                               std::int64_t min, std::int64_t max) {
    FieldSpec f;
    f.name = std::move(name);
    f.type = FieldType::integer;
    f.default_value = default_value;
    f.doc = std::move(doc);
    f.min = static_cast<double>(min);
    f.max = static_cast<double>(max);
    return f;
}

// A grid that may be None (chosen automatically); each entry in [1, largest].
inline FieldSpec grid_field(std::string name, std::string doc, std::vector<std::string> entries,
                            std::int64_t largest) {
    FieldSpec f;
    f.name = std::move(name);
    f.type = FieldType::grid;
    f.default_value = std::monostate{};
    f.doc = std::move(doc);
    f.max = static_cast<double>(largest);
    f.grid_entries = std::move(entries);
    f.none_allowed = true;
    return f;
}

inline FieldSpec scheme_field(std::string name, LevelScheme default_scheme, std::string doc) {
    FieldSpec f;
    f.name = std::move(name);
    f.type = FieldType::scheme;
    f.default_value = std::move(default_scheme);
    f.doc = std::move(doc);
    return f;
}

// A model's field values by name, in the order of its kind's fields.
using FieldValues = std::vector<std::pair<std::string, FieldValue>>;

struct ModelKind {
    std::string name;
    std::string summary;  // one line
    std::string doc;      // what the model computes and when to use it
    std::vector<FieldSpec> fields;
    // Builds the model from values that check_field accepted; throws std::invalid_argument,
    // with a message that starts with the field's name, for a rule between fields.
    std::function<std::shared_ptr<const CurveModel>(const FieldValues&)> make;
};

// Why a field refuses a value of its type ("accuracy must lie in (0, 0.1], got 0.5"), or
// nothing.
std::optional<std::string> check_field(const FieldSpec& spec, const FieldValue& value);

// The value of a field by name (present by construction of FieldValues).
template <class T>
const T& field(const FieldValues& values, const std::string& name) {
    for (const auto& [key, value] : values)
        if (key == name) return std::get<T>(value);
    throw std::invalid_argument("no field '" + name + "'");
}

inline bool field_is_none(const FieldValues& values, const std::string& name) {
    for (const auto& [key, value] : values)
        if (key == name) return std::holds_alternative<std::monostate>(value);
    return true;
}

}  // namespace plix::model
