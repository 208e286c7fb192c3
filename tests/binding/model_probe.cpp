// Model part of _plix_testing: the grids, the beam, both right-hand sides and the
// transmittance, callable with Python sequences or buffers of doubles.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/beam_intensity.hpp"
#include "model/integration_tally.hpp"
#include "model/linspace.hpp"
#include "model/plane_view.hpp"
#include "compat/five_level.hpp"
#include "compat/zscan_transmittance.hpp"
#include "model/seed_stepper.hpp"
#include "tests/binding/probe_support.hpp"
#include "tests/binding/probes.hpp"

namespace plix::testing {
namespace {

bool require_size(const Doubles& values, std::size_t minimum, const char* name) {
    if (values.size() >= minimum) return true;
    PyErr_Format(PyExc_ValueError, "%s needs at least %zu entries, got %zu", name, minimum,
                 values.size());
    return false;
}

// The eight model parameters, which must be exactly eight.
bool load_params(PyObject* obj, Doubles& params) {
    if (!params.load(obj, "params must be a sequence of numbers")) return false;
    if (params.size() == 8) return true;
    PyErr_Format(PyExc_ValueError, "params needs 8 entries, got %zu", params.size());
    return false;
}

std::span<const double, 8> first_eight(const Doubles& params) { return params.span().first<8>(); }

// linspace(a, b, n) -> list of n points (empty for n <= 0)
PyObject* probe_linspace(PyObject*, PyObject* args) {
    double a = 0.0;
    double b = 0.0;
    int n = 0;
    if (!PyArg_ParseTuple(args, "ddi", &a, &b, &n)) return nullptr;
    std::vector<double> out(n > 0 ? static_cast<std::size_t>(n) : 0);
    model::linspace(out, a, b, n);
    return to_list(out);
}

// beam_intensity(r, t, z, energy, tau, w0, z0) -> float
PyObject* probe_beam_intensity(PyObject*, PyObject* args) {
    double r = 0.0, t = 0.0, z = 0.0, energy = 0.0, tau = 0.0, w0 = 0.0, z0 = 0.0;
    if (!PyArg_ParseTuple(args, "ddddddd", &r, &t, &z, &energy, &tau, &w0, &z0)) return nullptr;
    return PyFloat_FromDouble(model::beam_intensity(r, t, z, energy, tau, w0, z0));
}

// rate_parameters(params, photon_frequency) -> dict of the nine coefficients, as the model
// writes them for the calling thread
PyObject* probe_rate_parameters(PyObject*, PyObject* args) {
    PyObject* params_obj = nullptr;
    double frequency = 0.0;
    if (!PyArg_ParseTuple(args, "Od", &params_obj, &frequency)) return nullptr;
    Doubles params;
    if (!load_params(params_obj, params)) return nullptr;
    const compat::RateParameters& p = compat::set_rate_parameters(first_eight(params), frequency);
    return Py_BuildValue("{sdsdsdsdsdsdsdsdsd}", "sigma_12", p.sigma_12, "sigma_23", p.sigma_23,
                         "sigma_45", p.sigma_45, "rate_21", p.rate_21, "rate_24", p.rate_24,
                         "rate_32", p.rate_32, "rate_41", p.rate_41, "rate_54", p.rate_54,
                         "photon_flux_factor", p.photon_flux_factor);
}

// Parses (y, params, photon_frequency), y holding at least six entries, and writes the
// calling thread's rate parameters from them.
bool load_state(PyObject* args, Doubles& y, Doubles& params) {
    PyObject* y_obj = nullptr;
    PyObject* params_obj = nullptr;
    double frequency = 0.0;
    if (!PyArg_ParseTuple(args, "OOd", &y_obj, &params_obj, &frequency)) return false;
    if (!y.load(y_obj, "y must be a sequence of numbers") || !require_size(y, 6, "y") ||
        !load_params(params_obj, params))
        return false;
    compat::set_rate_parameters(first_eight(params), frequency);
    return true;
}

// rate_equations(y, params, photon_frequency) -> [dN1/dt .. dN5/dt], y = (N1..N5, I)
PyObject* probe_rate_equations(PyObject*, PyObject* args) {
    Doubles y;
    Doubles params;
    if (!load_state(args, y, params)) return nullptr;
    std::array<double, 5> ydot{};
    compat::rate_equations(compat::rate_parameters(), y.span().data(), ydot.data());
    return to_list(ydot);
}

// attenuation_rhs(y, params, photon_frequency) -> dI/dz, y = (I, N1..N5)
PyObject* probe_attenuation_rhs(PyObject*, PyObject* args) {
    Doubles y;
    Doubles params;
    if (!load_state(args, y, params)) return nullptr;
    double ydot = 0.0;
    compat::attenuation_rhs(compat::rate_parameters(), y.span().data(), &ydot);
    return PyFloat_FromDouble(ydot);
}

// baseline_shift(curve) -> curve + (1 - mean of the first five and last five entries)
PyObject* probe_baseline_shift(PyObject*, PyObject* args) {
    PyObject* curve_obj = nullptr;
    if (!PyArg_ParseTuple(args, "O", &curve_obj)) return nullptr;
    Doubles curve;
    if (!curve.load(curve_obj, "curve must be a sequence of numbers") ||
        !require_size(curve, 5, "curve"))
        return nullptr;
    std::vector<double> shifted(curve.span().begin(), curve.span().end());
    model::shift_to_unit_baseline(shifted);
    return to_list(shifted);
}

// A plane view of nx x nt entries of `data` with the given element strides, or false with
// a Python exception set when it would reach outside the data.
bool make_plane(const Doubles& data, std::size_t nx, std::size_t nt, Py_ssize_t row_stride,
                Py_ssize_t col_stride, model::PlaneView& plane) {
    if (row_stride < 0 || col_stride < 0) {
        PyErr_SetString(PyExc_ValueError, "strides must be non-negative");
        return false;
    }
    const std::size_t last = nx == 0 || nt == 0
                                 ? 0
                                 : (nx - 1) * static_cast<std::size_t>(row_stride) +
                                       (nt - 1) * static_cast<std::size_t>(col_stride) + 1;
    if (last > data.size()) {
        PyErr_Format(PyExc_ValueError, "incident plane needs %zu entries, got %zu", last,
                     data.size());
        return false;
    }
    plane = {data.span().data(), nx, nt, row_stride, col_stride};
    return true;
}

// The arguments of the transmittance probes, loaded and checked against the model's
// preconditions so that the model never reads outside them.
struct ModelArguments {
    Doubles positions, depth, time, populations, incident, params;
    double frequency = 0.0;
    model::PlaneView plane;

    bool load(PyObject* args, PyObject* kwargs) {
        static const char* keywords[] = {
            "positions",        "depth_grid", "time_grid",  "populations", "incident",
            "photon_frequency", "params",     "row_stride", "col_stride",  nullptr};
        PyObject* objs[6] = {};
        Py_ssize_t row_stride = 1;
        Py_ssize_t col_stride = -1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOdO|nn", const_cast<char**>(keywords),
                                         &objs[0], &objs[1], &objs[2], &objs[3], &objs[4],
                                         &frequency, &objs[5], &row_stride, &col_stride))
            return false;
        if (!positions.load(objs[0], "positions must be a sequence of numbers") ||
            !depth.load(objs[1], "depth_grid must be a sequence of numbers") ||
            !time.load(objs[2], "time_grid must be a sequence of numbers") ||
            !populations.load(objs[3], "populations must be a sequence of numbers") ||
            !incident.load(objs[4], "incident must be a sequence of numbers") ||
            !load_params(objs[5], params))
            return false;
        if (!require_size(positions, 5, "positions") || !require_size(time, 2, "time_grid") ||
            !require_size(populations, 5, "populations"))
            return false;
        if (depth.size() == 1) {
            PyErr_SetString(PyExc_ValueError, "depth_grid needs 0 or at least 2 entries");
            return false;
        }
        const std::size_t nx = positions.size();
        if (col_stride < 0) col_stride = static_cast<Py_ssize_t>(nx);
        return make_plane(incident, nx, time.size(), row_stride, col_stride, plane);
    }
};

PyObject* curve_and_tally(std::span<const double> curve, const model::IntegrationTally& tally) {
    PyObject* curve_list = to_list(curve);
    PyObject* tally_dict = to_dict(tally);
    if (curve_list == nullptr || tally_dict == nullptr) {
        Py_XDECREF(curve_list);
        Py_XDECREF(tally_dict);
        return nullptr;
    }
    return Py_BuildValue("(NN)", curve_list, tally_dict);
}

// zscan_transmittance(positions, depth_grid, time_grid, populations, incident,
//                     photon_frequency, params, row_stride=1, col_stride=len(positions))
//   -> (transmittance, {status name: count})
// The incident plane is (len(positions), len(time_grid)), column-major by default.
PyObject* probe_zscan_transmittance(PyObject*, PyObject* args, PyObject* kwargs) {
    ModelArguments a;
    if (!a.load(args, kwargs)) return nullptr;
    std::vector<double> out(a.positions.size());
    model::IntegrationTally tally;
    Py_BEGIN_ALLOW_THREADS compat::zscan_transmittance(out, a.positions.span(), a.depth.span(),
                                                      a.time.span(), a.populations.span(), a.plane,
                                                      a.frequency, first_eight(a.params), tally);
    Py_END_ALLOW_THREADS return curve_and_tally(out, tally);
}

// transmitted_fraction(same arguments) -> (fraction before the baseline shift, tally)
PyObject* probe_transmitted_fraction(PyObject*, PyObject* args, PyObject* kwargs) {
    ModelArguments a;
    if (!a.load(args, kwargs)) return nullptr;
    std::vector<double> fraction(a.positions.size());
    model::IntegrationTally tally;
    Py_BEGIN_ALLOW_THREADS compat::transmitted_fraction(fraction, a.depth.span(), a.time.span(),
                                                       a.populations.span(), a.plane, a.frequency,
                                                       first_eight(a.params), tally);
    Py_END_ALLOW_THREADS return curve_and_tally(fraction, tally);
}

PyCFunction with_keywords(PyCFunctionWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

const PyMethodDef* model_methods() {
    static PyMethodDef methods[] = {
        {"linspace", probe_linspace, METH_VARARGS, "linspace(a, b, n) -> list"},
        {"beam_intensity", probe_beam_intensity, METH_VARARGS,
         "beam_intensity(r, t, z, energy, tau, w0, z0) -> float"},
        {"rate_parameters", probe_rate_parameters, METH_VARARGS,
         "rate_parameters(params, photon_frequency) -> dict of the nine coefficients"},
        {"rate_equations", probe_rate_equations, METH_VARARGS,
         "rate_equations(y, params, photon_frequency) -> [dN1/dt, ..., dN5/dt]"},
        {"attenuation_rhs", probe_attenuation_rhs, METH_VARARGS,
         "attenuation_rhs(y, params, photon_frequency) -> dI/dz"},
        {"baseline_shift", probe_baseline_shift, METH_VARARGS,
         "baseline_shift(curve) -> curve shifted so that its ten end values average 1"},
        {"zscan_transmittance", with_keywords(probe_zscan_transmittance),
         METH_VARARGS | METH_KEYWORDS,
         "zscan_transmittance(positions, depth_grid, time_grid, populations, incident, "
         "photon_frequency, params, row_stride=1, col_stride=len(positions)) -> "
         "(transmittance, tally)"},
        {"transmitted_fraction", with_keywords(probe_transmitted_fraction),
         METH_VARARGS | METH_KEYWORDS,
         "transmitted_fraction(same arguments as zscan_transmittance) -> (fraction, tally)"},
        {nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace plix::testing
