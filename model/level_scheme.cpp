#include "model/level_scheme.hpp"

#include <algorithm>

namespace plix::model {
namespace {

bool is_cross_section(ProcessKind kind) { return kind != ProcessKind::decay; }

}  // namespace

std::vector<std::string> LevelScheme::parameter_names() const {
    if (!parameter_order.empty()) return parameter_order;
    std::vector<std::string> names;
    const auto add = [&](bool cross_sections) {
        for (const Process& p : processes)
            if (is_cross_section(p.kind) == cross_sections &&
                std::find(names.begin(), names.end(), p.parameter) == names.end())
                names.push_back(p.parameter);
    };
    add(true);
    add(false);
    return names;
}

std::vector<std::string> LevelScheme::refraction_names() const {
    std::vector<std::string> names;
    for (const Refraction& r : refraction)
        if (std::find(names.begin(), names.end(), r.parameter) == names.end())
            names.push_back(r.parameter);
    return names;
}

ProcessKind LevelScheme::kind_of(const std::string& name) const {
    for (const Process& p : processes)
        if (p.parameter == name) return p.kind;
    return ProcessKind::decay;
}

std::optional<std::string> LevelScheme::problem() const {
    if (levels < 1 || levels > max_levels)
        return "a level scheme has 1 to " + std::to_string(max_levels) + " levels, not " +
               std::to_string(levels);
    for (std::size_t k = 0; k < processes.size(); ++k) {
        const Process& p = processes[k];
        const std::string which = "process " + std::to_string(k) + " (" + p.parameter + ")";
        if (p.from >= levels || p.to >= levels)
            return which + " connects a level outside 1 .. " + std::to_string(levels);
        if (p.from == p.to) return which + " starts and ends on the same level";
        if (p.parameter.empty()) return which + " has no parameter name";
        for (std::size_t j = 0; j < k; ++j)
            if (processes[j].parameter == p.parameter && processes[j].kind != p.kind)
                return "the name '" + p.parameter + "' is used for two kinds of process";
    }
    if (!parameter_order.empty()) {
        LevelScheme derived = *this;
        derived.parameter_order.clear();
        std::vector<std::string> expected = derived.parameter_names();
        std::vector<std::string> given = parameter_order;
        std::sort(expected.begin(), expected.end());
        std::sort(given.begin(), given.end());
        if (expected != given)
            return "the parameter order must name every parameter of the processes once";
    }
    for (std::size_t k = 0; k < refraction.size(); ++k) {
        const Refraction& r = refraction[k];
        const std::string which =
            "refraction volume " + std::to_string(k) + " (" + r.parameter + ")";
        if (r.level >= levels)
            return which + " belongs to a level outside 1 .. " + std::to_string(levels);
        if (r.parameter.empty()) return which + " has no parameter name";
        for (std::size_t j = 0; j < k; ++j)
            if (refraction[j].level == r.level)
                return "level " + std::to_string(r.level + 1) + " has two refraction volumes";
        for (const Process& p : processes)
            if (p.parameter == r.parameter)
                return "the name '" + r.parameter +
                       "' is used for a refraction volume and a process";
    }
    return std::nullopt;
}

}  // namespace plix::model
