// plix._core's experiment and level schemes: plain values, checked by the plix package before
// they are made.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <tuple>
#include <vector>

#include "bindings/registration.hpp"
#include "model/curve_model.hpp"
#include "model/level_scheme.hpp"
#include "model/scheme_presets.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace plix::bindings {
namespace {

using ProcessTuple = std::tuple<std::string, std::size_t, std::size_t, std::string>;
using RefractionTuple = std::tuple<std::size_t, std::string>;

const char* kind_name(model::ProcessKind kind) {
    switch (kind) {
        case model::ProcessKind::one_photon:
            return "one_photon";
        case model::ProcessKind::two_photon:
            return "two_photon";
        case model::ProcessKind::decay:
            break;
    }
    return "decay";
}

model::ProcessKind kind_of(const std::string& name) {
    if (name == "one_photon") return model::ProcessKind::one_photon;
    if (name == "two_photon") return model::ProcessKind::two_photon;
    if (name == "decay") return model::ProcessKind::decay;
    throw nb::value_error(
        ("process kind must be 'one_photon', 'two_photon' or 'decay', got '" + name + "'")
            .c_str());
}

}  // namespace

void register_setup(nb::module_& m) {
    nb::class_<model::Setup>(m, "Setup", "The experiment in SI units (see plix.Setup).")
        .def(
            "__init__",
            [](model::Setup* s, double wavelength, double w0, double tau, double sample_width,
               double M2, double n0, std::vector<double> populations) {
                new (s) model::Setup{wavelength, w0, tau, sample_width, M2, n0,
                                     std::move(populations)};
            },
            nb::kw_only(), "wavelength"_a, "w0"_a, "tau"_a, "sample_width"_a, "M2"_a, "n0"_a,
            "populations"_a)
        .def_ro("wavelength", &model::Setup::wavelength)
        .def_ro("w0", &model::Setup::w0)
        .def_ro("tau", &model::Setup::tau)
        .def_ro("sample_width", &model::Setup::sample_width)
        .def_ro("M2", &model::Setup::M2)
        .def_ro("n0", &model::Setup::n0)
        .def_ro("populations", &model::Setup::populations);

    nb::class_<model::LevelScheme>(
        m, "LevelScheme",
        "A level scheme as the models take it (see plix.LevelScheme): levels 0-based, processes "
        "(kind, from, to, parameter) in the order their rate terms are summed, refraction "
        "volumes (level, parameter).")
        .def(
            "__init__",
            [](model::LevelScheme* s, std::size_t levels,
               const std::vector<ProcessTuple>& processes, std::vector<std::string> parameter_order,
               const std::vector<RefractionTuple>& refraction) {
                model::LevelScheme scheme{levels, {}, std::move(parameter_order), {}};
                for (const auto& [kind, from, to, name] : processes)
                    scheme.processes.push_back({kind_of(kind), from, to, name});
                for (const auto& [level, name] : refraction)
                    scheme.refraction.push_back({level, name});
                new (s) model::LevelScheme(std::move(scheme));
            },
            "levels"_a, "processes"_a, "parameter_order"_a = std::vector<std::string>{},
            "refraction"_a = std::vector<RefractionTuple>{})
        .def_ro("levels", &model::LevelScheme::levels)
        .def_prop_ro("processes",
                     [](const model::LevelScheme& s) {
                         std::vector<ProcessTuple> out;
                         for (const auto& p : s.processes)
                             out.emplace_back(kind_name(p.kind), p.from, p.to, p.parameter);
                         return out;
                     })
        .def_prop_ro("refraction",
                     [](const model::LevelScheme& s) {
                         std::vector<RefractionTuple> out;
                         for (const auto& r : s.refraction) out.emplace_back(r.level, r.parameter);
                         return out;
                     })
        .def("parameter_names", &model::LevelScheme::parameter_names)
        .def("refraction_names", &model::LevelScheme::refraction_names)
        .def("problem", &model::LevelScheme::problem,
             "Why the scheme cannot be used, or None.");

    m.def("scheme_preset_names", &model::scheme_preset_names);
    m.def(
        "scheme_preset",
        [](const std::string& name) {
            try {
                return model::scheme_preset(name);
            } catch (const std::invalid_argument& e) {
                throw nb::value_error(e.what());
            }
        },
        "name"_a);
}

}  // namespace plix::bindings
