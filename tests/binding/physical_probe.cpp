// Physical-model part of _plix_testing: the curve on a given or chosen grid, the grid
// search alone, and the radial quadrature rule.
#include <Python.h>

#include <cstring>
#include <vector>

#include "model/curve_model.hpp"
#include "model/gauss_legendre.hpp"
#include "model/physical_model.hpp"
#include "model/scheme_presets.hpp"
#include "tests/binding/probe_support.hpp"
#include "tests/binding/probes.hpp"

namespace plix::testing {
namespace {

bool parse_geometry(const char* name, model::Geometry& geometry) {
    if (std::strcmp(name, "beam") == 0) {
        geometry = model::Geometry::beam;
        return true;
    }
    if (std::strcmp(name, "on_axis") == 0) {
        geometry = model::Geometry::on_axis;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "geometry must be 'beam' or 'on_axis', got '%s'", name);
    return false;
}

bool parse_normalisation(const char* name, model::Normalisation& normalisation) {
    if (std::strcmp(name, "linear") == 0) {
        normalisation = model::Normalisation::linear;
        return true;
    }
    if (std::strcmp(name, "ends") == 0) {
        normalisation = model::Normalisation::ends;
        return true;
    }
    if (std::strcmp(name, "none") == 0) {
        normalisation = model::Normalisation::none;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "normalisation must be 'linear', 'ends' or 'none', got '%s'",
                 name);
    return false;
}

// The arguments shared by the physical-model probes, loaded and checked.
struct PhysicalArguments {
    Doubles positions, params, populations;
    double energy = 0.0;
    model::Setup setup;
    model::PhysicalConfig model{.scheme = model::five_level_scheme()};
    unsigned threads = 1;
    // The five-level parameters followed by the defaults of the sample's own, which switch
    // its instantaneous absorption and refraction off.
    std::vector<double> values;

    bool load(PyObject* args, PyObject* kwargs) {
        static const char* keywords[] = {
            "positions_mm", "energy",        "params",       "populations", "wavelength",
            "w0",           "tau",           "sample_width", "M2",          "geometry",
            "accuracy",     "normalisation", "time_steps",   "slices",      "radial_nodes",
            "threads",      nullptr};
        PyObject* objs[3] = {};
        const char* geometry = "beam";
        const char* normalisation = "linear";
        int thread_count = 1;
        if (!PyArg_ParseTupleAndKeywords(
                args, kwargs, "OdOOdddd|dsdsiiii", const_cast<char**>(keywords), &objs[0], &energy,
                &objs[1], &objs[2], &setup.wavelength, &setup.w0, &setup.tau, &setup.sample_width,
                &setup.M2, &geometry, &model.accuracy, &normalisation, &model.grid.time_steps,
                &model.grid.slices, &model.grid.radial_nodes, &thread_count))
            return false;
        if (!positions.load(objs[0], "positions_mm must be a sequence of numbers") ||
            !params.load(objs[1], "params must be a sequence of numbers") ||
            !populations.load(objs[2], "populations must be a sequence of numbers"))
            return false;
        if (params.size() != 8 || populations.size() != 5) {
            PyErr_SetString(PyExc_ValueError, "params needs 8 entries and populations 5");
            return false;
        }
        if (positions.size() == 0 || thread_count < 1) {
            PyErr_SetString(PyExc_ValueError, "needs positions and threads >= 1");
            return false;
        }
        if (!parse_geometry(geometry, model.geometry) ||
            !parse_normalisation(normalisation, model.normalisation))
            return false;
        if (model.normalisation == model::Normalisation::ends && positions.size() < 5) {
            PyErr_SetString(PyExc_ValueError, "the 'ends' normalisation needs 5 positions");
            return false;
        }
        setup.populations.assign(populations.span().begin(), populations.span().end());
        values.assign(params.span().begin(), params.span().end());
        const auto specs = model::PhysicalModel(model).parameters();
        for (std::size_t k = values.size(); k < specs.size(); ++k)
            values.push_back(specs[k].default_value);
        threads = static_cast<unsigned>(thread_count);
        return true;
    }

    model::CurveRequest request() const {
        return {.setup = setup, .params = values, .positions_mm = positions.span(),
                .energy = energy};
    }
};

PyObject* grid_tuple(const model::PhysicalGrid& grid) {
    return Py_BuildValue("(iii)", grid.time_steps, grid.slices, grid.radial_nodes);
}

// physical_curve(positions_mm, energy, params, populations, wavelength, w0, tau,
//                sample_width, M2=1, geometry="beam", accuracy=1e-4, normalisation="linear",
//                time_steps=0, slices=0, radial_nodes=0, threads=1)
//   -> (curve, (time_steps, slices, radial_nodes), error_estimate)
PyObject* probe_physical_curve(PyObject*, PyObject* args, PyObject* kwargs) {
    PhysicalArguments a;
    if (!a.load(args, kwargs)) return nullptr;
    std::vector<double> out(a.positions.size());
    model::CurveReport report;
    const model::PhysicalModel physical(a.model);
    Py_BEGIN_ALLOW_THREADS physical.curve(a.request(), out, {.threads = a.threads}, report);
    Py_END_ALLOW_THREADS const auto& g = report.used.grid;
    return Py_BuildValue("(N(iii)d)", to_list(out), g[0], g[1], g[2], report.used.error_estimate);
}

// choose_physical_grid(same arguments) -> ((time_steps, slices, radial_nodes), error_estimate)
PyObject* probe_choose_physical_grid(PyObject*, PyObject* args, PyObject* kwargs) {
    PhysicalArguments a;
    if (!a.load(args, kwargs)) return nullptr;
    double estimate = 0.0;
    model::PhysicalGrid grid;
    const model::PhysicalModel physical(a.model);
    Py_BEGIN_ALLOW_THREADS grid = physical.choose_grid(a.request(), {.threads = a.threads}, estimate);
    Py_END_ALLOW_THREADS return Py_BuildValue("(Nd)", grid_tuple(grid), estimate);
}

// gauss_legendre_unit(n) -> (nodes, weights) of the n-point rule on [0, 1]
PyObject* probe_gauss_legendre_unit(PyObject*, PyObject* args) {
    int n = 0;
    if (!PyArg_ParseTuple(args, "i", &n)) return nullptr;
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "n must be at least 1");
        return nullptr;
    }
    std::vector<double> nodes(static_cast<std::size_t>(n));
    std::vector<double> weights(nodes.size());
    model::gauss_legendre_unit(nodes, weights);
    return Py_BuildValue("(NN)", to_list(nodes), to_list(weights));
}

PyCFunction with_keywords(PyCFunctionWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

const PyMethodDef* physical_methods() {
    static PyMethodDef methods[] = {
        {"physical_curve", with_keywords(probe_physical_curve), METH_VARARGS | METH_KEYWORDS,
         "physical_curve(positions_mm, energy, params, populations, wavelength, w0, tau, "
         "sample_width, M2=1, geometry='beam', accuracy=1e-4, normalisation='linear', "
         "time_steps=0, slices=0, radial_nodes=0, threads=1) -> (curve, grid, error_estimate)"},
        {"choose_physical_grid", with_keywords(probe_choose_physical_grid),
         METH_VARARGS | METH_KEYWORDS,
         "choose_physical_grid(same arguments as physical_curve) -> (grid, error_estimate)"},
        {"gauss_legendre_unit", probe_gauss_legendre_unit, METH_VARARGS,
         "gauss_legendre_unit(n) -> (nodes, weights) on [0, 1]"},
        {nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace plix::testing
