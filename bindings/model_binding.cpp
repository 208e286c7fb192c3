// plix._core's models: the registry of model kinds, models made from it or from a Python
// function, and their curves for several pulse energies.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bindings/cancellation.hpp"
#include "bindings/python_error.hpp"
#include "bindings/python_model.hpp"
#include "bindings/registration.hpp"
#include "model/curve_model.hpp"
#include "model/registry.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace plix::bindings {
namespace {

using InputVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using CurveArray = nb::ndarray<nb::numpy, double, nb::ndim<2>>;
using Model = std::shared_ptr<model::CurveModel>;

const char* type_name(model::FieldType type) {
    switch (type) {
        case model::FieldType::real:
            return "real";
        case model::FieldType::integer:
            return "integer";
        case model::FieldType::choice:
            return "choice";
        case model::FieldType::grid:
            return "grid";
        case model::FieldType::scheme:
            break;
    }
    return "scheme";
}

nb::object python_value(const model::FieldValue& value) {
    return std::visit(
        [](const auto& v) -> nb::object {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return nb::none();
            } else if constexpr (std::is_same_v<T, std::vector<std::int64_t>>) {
                nb::list entries;
                for (const auto x : v) entries.append(x);
                return nb::tuple(entries);
            } else {
                return nb::cast(v);
            }
        },
        value);
}

[[noreturn]] void type_error(const std::string& name, const std::string& what, nb::handle got) {
    throw nb::type_error((name + " must be " + what + ", got " +
                          nb::cast<std::string>(nb::type_name(got.type())))
                             .c_str());
}

bool is_bool(nb::handle value) {
    return PyBool_Check(value.ptr()) ||
           nb::cast<std::string>(nb::type_name(value.type())) == "numpy.bool";
}

std::int64_t integer_of(const model::FieldSpec& spec, nb::handle value) {
    if (is_bool(value) || !PyIndex_Check(value.ptr())) type_error(spec.name, "an int", value);
    const nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0)
        throw nb::value_error((spec.name + " is too large, got " +
                               nb::cast<std::string>(nb::str(value)))
                                  .c_str());
    return x;
}

// A Python value as the field's type; TypeError for the wrong kind of object.
model::FieldValue field_value(const model::FieldSpec& spec, nb::handle value) {
    if (value.is_none()) return std::monostate{};
    switch (spec.type) {
        case model::FieldType::real:
            if (is_bool(value) || !PyNumber_Check(value.ptr()) || PyComplex_Check(value.ptr()))
                type_error(spec.name, "a real number", value);
            return nb::cast<double>(value);
        case model::FieldType::integer:
            return integer_of(spec, value);
        case model::FieldType::choice:
            if (!nb::isinstance<nb::str>(value)) type_error(spec.name, "a str", value);
            return nb::cast<std::string>(value);
        case model::FieldType::grid: {
            if (nb::isinstance<nb::str>(value) || !nb::hasattr(value, "__len__") ||
                nb::len(value) != spec.grid_entries.size())
                throw nb::value_error((spec.name + " must be None or a tuple of " +
                                       std::to_string(spec.grid_entries.size()) + " ints, got " +
                                       nb::cast<std::string>(nb::repr(value)))
                                          .c_str());
            std::vector<std::int64_t> entries;
            for (std::size_t k = 0; k < spec.grid_entries.size(); ++k) {
                model::FieldSpec entry = spec;
                entry.name = spec.name + "[" + std::to_string(k) + "]";
                entries.push_back(integer_of(entry, value[k]));
            }
            return entries;
        }
        case model::FieldType::scheme:
            if (!nb::isinstance<model::LevelScheme>(value))
                type_error(spec.name, "a plix.LevelScheme", value);
            return nb::cast<model::LevelScheme>(value);
    }
    return std::monostate{};
}

Model make_model(const std::string& name, nb::dict given) {
    const model::ModelKind* kind = model::find_model_kind(name);
    if (kind == nullptr) {
        std::string names;
        for (const auto& k : model::model_kinds()) names += (names.empty() ? "'" : ", '") + k.name + "'";
        throw nb::value_error(("unknown model '" + name + "'; models: " + names).c_str());
    }
    for (const auto& [key, value] : given) {
        const std::string field = nb::cast<std::string>(key);
        bool known = false;
        for (const auto& spec : kind->fields) known = known || spec.name == field;
        if (!known) {
            std::string names;
            for (const auto& spec : kind->fields) names += (names.empty() ? "" : ", ") + spec.name;
            throw nb::type_error(("unknown field '" + field + "' for a " + name +
                                  " model; fields: " + names)
                                     .c_str());
        }
    }
    model::FieldValues values;
    for (const auto& spec : kind->fields) {
        const nb::str key(spec.name.c_str());
        model::FieldValue value =
            given.contains(key) ? field_value(spec, given[key]) : spec.default_value;
        if (const auto problem = model::check_field(spec, value))
            throw nb::value_error(problem->c_str());
        values.emplace_back(spec.name, std::move(value));
    }
    try {
        return std::const_pointer_cast<model::CurveModel>(kind->make(values));
    } catch (const std::invalid_argument& e) {
        throw nb::value_error(e.what());
    }
}

// The curves of one model for several energies, with what each evaluation reported.
struct Curves {
    std::vector<double> values;  // energies x positions
    std::vector<model::CurveReport> reports;
};

nb::tuple simulate(const Model& curve_model, const model::Setup& setup, const InputVector& params,
                   const InputVector& positions_mm, const InputVector& energies, double aperture,
                   int threads, nb::object cancel) {
    const std::size_t np = curve_model->parameters().size();
    if (params.shape(0) != np) throw nb::value_error("params: one value per model parameter");
    if (threads < 1) throw nb::value_error("threads must be at least 1");
    if (setup.populations.size() != curve_model->levels() && curve_model->levels() != 0)
        throw nb::value_error("setup.populations: one per level of the model");
    const std::vector<double> values(params.data(), params.data() + np);
    const std::vector<double> positions(positions_mm.data(),
                                        positions_mm.data() + positions_mm.shape(0));
    const std::vector<double> energy(energies.data(), energies.data() + energies.shape(0));
    const std::size_t nx = positions.size();
    const std::size_t ne = energy.size();

    auto buffer = std::make_unique<double[]>(ne * nx);
    double* const data = buffer.get();
    const nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    buffer.release();  // owned by the capsule from here on
    std::vector<model::CurveReport> reports(ne);
    PythonCancellation stop(std::move(cancel));
    const model::RunControl run{.threads = static_cast<unsigned>(threads),
                                .cancellation = &stop.token()};
    try {
        const nb::gil_scoped_release unlocked;
        for (std::size_t e = 0; e < ne; ++e) {
            const model::CurveRequest request{.setup = setup,
                                              .params = values,
                                              .positions_mm = positions,
                                              .energy = energy[e],
                                              .aperture = aperture};
            run.checkpoint();
            curve_model->curve(request, {data + e * nx, nx}, run, reports[e]);
        }
    } catch (const model::Interrupted&) {
        stop.raise_stop();
    } catch (const PythonCallbackError& e) {
        e.restore();
        throw nb::python_error();
    }

    nb::list grids;
    nb::list errors;
    nb::list wanted;
    std::uint64_t ended_early = 0;
    for (const model::CurveReport& report : reports) {
        nb::list grid;
        for (const int g : report.used.grid) grid.append(g);
        grids.append(nb::tuple(grid));
        errors.append(report.used.error_estimate);
        nb::list need;
        for (const int g : report.used.wanted) need.append(g);
        wanted.append(nb::tuple(need));
        ended_early += report.tally.ended_early();
    }
    return nb::make_tuple(CurveArray(data, {ne, nx}, owner), grids, errors, ended_early, wanted);
}

}  // namespace

void register_model(nb::module_& m) {
    nb::class_<model::ParameterSpec>(m, "ParameterSpec",
                                     "How a model parameter is checked, shown and fitted.")
        .def(
            "__init__",
            [](model::ParameterSpec* s, std::string name, std::string unit, std::string symbol,
               std::string description, double lowest, bool lowest_included,
               bool infinity_allowed, double fit_min, double fit_max, double default_value) {
                new (s) model::ParameterSpec{std::move(name), std::move(unit),     std::move(symbol),
                                             std::move(description), lowest, lowest_included,
                                             infinity_allowed,       fit_min, fit_max,
                                             default_value};
            },
            nb::kw_only(), "name"_a, "unit"_a = "", "symbol"_a = "", "description"_a = "",
            "lowest"_a = -INFINITY, "lowest_included"_a = true, "infinity_allowed"_a = false,
            "fit_min"_a = -INFINITY, "fit_max"_a = INFINITY, "default_value"_a = NAN)
        .def_ro("name", &model::ParameterSpec::name)
        .def_ro("unit", &model::ParameterSpec::unit)
        .def_ro("symbol", &model::ParameterSpec::symbol)
        .def_ro("description", &model::ParameterSpec::description)
        .def_ro("lowest", &model::ParameterSpec::lowest)
        .def_ro("lowest_included", &model::ParameterSpec::lowest_included)
        .def_ro("infinity_allowed", &model::ParameterSpec::infinity_allowed)
        .def_ro("fit_min", &model::ParameterSpec::fit_min)
        .def_ro("fit_max", &model::ParameterSpec::fit_max)
        .def_ro("default_value", &model::ParameterSpec::default_value)
        .def_prop_ro("log_scale", &model::ParameterSpec::log_scale);

    nb::class_<model::FieldSpec>(m, "FieldSpec", "A setting of a model kind.")
        .def_ro("name", &model::FieldSpec::name)
        .def_prop_ro("type", [](const model::FieldSpec& s) { return type_name(s.type); })
        .def_prop_ro("default", [](const model::FieldSpec& s) { return python_value(s.default_value); })
        .def_ro("doc", &model::FieldSpec::doc)
        .def_ro("min", &model::FieldSpec::min)
        .def_ro("max", &model::FieldSpec::max)
        .def_ro("min_open", &model::FieldSpec::min_open)
        .def_ro("max_open", &model::FieldSpec::max_open)
        .def_ro("choices", &model::FieldSpec::choices)
        .def_ro("grid_entries", &model::FieldSpec::grid_entries)
        .def_ro("none_allowed", &model::FieldSpec::none_allowed);

    nb::class_<model::ModelKind>(m, "ModelKind", "A kind of model in the registry.")
        .def_ro("name", &model::ModelKind::name)
        .def_ro("summary", &model::ModelKind::summary)
        .def_ro("doc", &model::ModelKind::doc)
        .def_ro("fields", &model::ModelKind::fields);

    m.def(
        "model_kinds", [] { return model::model_kinds(); },
        "Every kind of model, in the order they are listed to users.");

    nb::class_<model::CurveModel>(m, "CurveModel", "A model of Z-scan curves (see plix.Model).")
        .def_prop_ro("parameters", &model::CurveModel::parameters)
        .def_prop_ro("levels", &model::CurveModel::levels)
        .def_prop_ro("closed_aperture", &model::CurveModel::closed_aperture)
        .def_prop_ro("intensity_scale", &model::CurveModel::intensity_scale)
        .def_prop_ro("grid_names", &model::CurveModel::grid_names);

    m.def(
        "evaluation_cells",
        [](const Model& curve_model, const model::Setup& setup, const InputVector& params,
           const InputVector& positions_mm, double energy) {
            const model::CurveRequest request{
                .setup = setup,
                .params = {params.data(), params.shape(0)},
                .positions_mm = {positions_mm.data(), positions_mm.shape(0)},
                .energy = energy};
            return curve_model->evaluation_cells(request);
        },
        "model"_a, "setup"_a, "params"_a, "positions_mm"_a, "energy_J"_a,
        "The work of one curve in cells of the model's grid (an upper bound for a chosen grid).");
    m.def("make_model", &make_model, "kind"_a, "fields"_a,
          "The model of a registered kind; each field checked (TypeError, ValueError).");
    m.def(
        "function_model",
        [](nb::callable function, std::vector<model::ParameterSpec> specs, bool takes_aperture,
           bool takes_setup) -> Model {
            return std::make_shared<PythonModel>(nb::borrow(function), std::move(specs),
                                                 takes_aperture, takes_setup);
        },
        "function"_a, "parameters"_a, "takes_aperture"_a = false, "takes_setup"_a = false,
        "A model whose curve is function(positions_mm, energy_J, **params), with aperture= "
        "and setup= when it takes them.");
    m.def(
        "range_notes",
        [](const Model& curve_model, const model::Setup& setup, const InputVector& params,
           const InputVector& positions_mm, double energy, double aperture) {
            if (params.shape(0) != curve_model->parameters().size())
                throw nb::value_error("params: one value per model parameter");
            const model::CurveRequest request{
                .setup = setup,
                .params = {params.data(), params.shape(0)},
                .positions_mm = {positions_mm.data(), positions_mm.shape(0)},
                .energy = energy,
                .aperture = aperture};
            return curve_model->range_notes(request);
        },
        "model"_a, "setup"_a, "params"_a, "positions_mm"_a, "energy_J"_a, "aperture"_a,
        "Sentences on why the model's curve for these inputs is not to be trusted.");
    m.def("simulate", &simulate, "model"_a, "setup"_a, "params"_a, "positions_mm"_a,
          "energies_J"_a, "aperture"_a, "threads"_a, "cancel"_a.none() = nb::none(),
          "(curves (energies x positions), grids, error estimates, integrations ended early, "
          "grids the accuracy would need where the cost budget stopped the search); "
          "inputs are checked by plix.simulate.");
}

}  // namespace plix::bindings
