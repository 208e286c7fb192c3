// A level scheme as data: how many levels, and the processes that move population between
// them, each with the name of the parameter that sets its rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plix::model {

// The most levels a scheme may have (the propagators are compiled for 1 .. max_levels).
inline constexpr std::size_t max_levels = 8;

// X(N) for every level count the code is compiled for, 1 .. max_levels: the list that the
// explicit instantiations of the per-level-count code expand.
#define PLIX_FOR_EACH_LEVEL_COUNT(X) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8)

enum class ProcessKind : std::uint8_t {
    one_photon,  // absorption: rate sigma F per molecule (F the photon flux), sigma in m^2
    two_photon,  // two-photon absorption: rate sigma2 F^2 / 2 per molecule, sigma2 in m^4 s
    decay,       // relaxation or transfer: rate 1 / lifetime, lifetime in s
};

// One process: population moves from level `from` to level `to` (0-based, different);
// `parameter` names its cross-section or lifetime.
struct Process {
    ProcessKind kind = ProcessKind::decay;
    std::size_t from = 0;
    std::size_t to = 0;
    std::string parameter;
};

// A level whose population changes the refractive index: Delta n = volume * (N - N(0)),
// with N(0) the level's initial population; `parameter` names the refraction volume (m^3).
struct Refraction {
    std::size_t level = 0;
    std::string parameter;
};

// The terms of the rate equations are summed in the order of `processes`; the model lists
// the parameters in the order of `parameter_order` (when empty: the cross-sections in process
// order, then the lifetimes, each name once). The refraction volumes are parameters apart
// (refraction_names()): only models that compute the phase of the light use them.
struct LevelScheme {
    std::size_t levels = 0;
    std::vector<Process> processes;
    std::vector<std::string> parameter_order;
    std::vector<Refraction> refraction;

    // The parameter names of the processes in the order the model lists them.
    std::vector<std::string> parameter_names() const;
    // The refraction volumes' names in the order of `refraction`, each name once.
    std::vector<std::string> refraction_names() const;
    // The process kind that each name of parameter_names() belongs to.
    ProcessKind kind_of(const std::string& name) const;
    // Why the scheme cannot be used, or nothing: 1 .. max_levels levels, processes between
    // existing, different levels, a name not used for two kinds of process, parameter_order
    // (when given) naming each parameter once, refraction volumes of existing levels (each
    // level once) whose names are not those of processes.
    std::optional<std::string> problem() const;
};

}  // namespace plix::model
