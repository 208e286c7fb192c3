#include "model/scheme_parameters.hpp"

#include <algorithm>
#include <string>

namespace plix::model {
namespace {

// The levels of a process as figures write them: "12" for 1 -> 2 (1-based).
std::string level_pair(const Process& p) {
    const std::size_t a = p.kind == ProcessKind::decay ? p.from : std::min(p.from, p.to);
    const std::size_t b = p.kind == ProcessKind::decay ? p.to : std::max(p.from, p.to);
    const std::string first = std::to_string(a + 1);
    const std::string second = std::to_string(b + 1);
    return first.size() > 1 || second.size() > 1 ? first + "," + second : first + second;
}

const Process& first_process(const LevelScheme& scheme, const std::string& name) {
    return *std::find_if(scheme.processes.begin(), scheme.processes.end(),
                         [&](const Process& p) { return p.parameter == name; });
}

}  // namespace

std::vector<ParameterSpec> scheme_parameter_specs(const LevelScheme& scheme) {
    std::vector<ParameterSpec> specs;
    for (const std::string& name : scheme.parameter_names()) {
        const Process& p = first_process(scheme, name);
        const std::string levels = level_pair(p);
        const std::string arrow =
            std::to_string(p.from + 1) + " -> " + std::to_string(p.to + 1);
        ParameterSpec spec;
        spec.name = name;
        switch (p.kind) {
            case ProcessKind::one_photon:
                spec.unit = "m^2";
                spec.symbol = "\\sigma_{" + levels + "}";
                spec.description = "absorption cross-section " + arrow;
                break;
            case ProcessKind::two_photon:
                spec.unit = "m^4 s";
                spec.symbol = "\\sigma^{(2)}_{" + levels + "}";
                spec.description = "two-photon cross-section " + arrow;
                break;
            case ProcessKind::decay:
                spec.unit = "s";
                spec.symbol = "\\tau_{" + levels + "}";
                spec.description = "lifetime " + arrow;
                spec.lowest_included = false;
                spec.infinity_allowed = true;
                break;
        }
        specs.push_back(std::move(spec));
    }
    return specs;
}

std::vector<std::size_t> process_parameter_indices(const LevelScheme& scheme) {
    const std::vector<std::string> names = scheme.parameter_names();
    std::vector<std::size_t> index;
    for (const Process& p : scheme.processes)
        index.push_back(static_cast<std::size_t>(
            std::find(names.begin(), names.end(), p.parameter) - names.begin()));
    return index;
}

}  // namespace plix::model
