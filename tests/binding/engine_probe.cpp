// Engine part of _plix_testing: one start of the fit driver with its report, and the
// selection of the best start.
#include <Python.h>

#include <cstdint>
#include <vector>

#include "compat/fit_driver.hpp"
#include "compat/select_start.hpp"
#include "tests/binding/probe_support.hpp"
#include "tests/binding/probes.hpp"

namespace plix::testing {
namespace {

bool load_ints(PyObject* obj, std::vector<std::int32_t>& out) {
    PyObject* seq = PySequence_Fast(obj, "fit_index must be a sequence of integers");
    if (seq == nullptr) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        out[static_cast<std::size_t>(i)] =
            static_cast<std::int32_t>(PyLong_AsLong(PySequence_Fast_GET_ITEM(seq, i)));
    Py_DECREF(seq);
    return !PyErr_Occurred();
}

bool require_length(const Doubles& values, std::size_t n, const char* name) {
    if (values.size() >= n) return true;
    PyErr_Format(PyExc_ValueError, "%s needs at least %zu entries, got %zu", name, n,
                 values.size());
    return false;
}

// fit_start(centered_x, y_data, populations, t_slices, z_slices, sample_width, tau,
//           wavelength, w0, M2, pulse_energy, spec_pars, fit_index (1-based), num_x_pts,
//           num_datasets) -> dict(residuals, error, spec_pars, lm_info, evaluations, tally)
PyObject* probe_fit_start(PyObject*, PyObject* args) {
    PyObject *x_obj, *y_obj, *pop_obj, *energy_obj, *pars_obj, *index_obj;
    int t_slices, z_slices, num_x_pts, num_datasets;
    double sample_width, tau, wavelength, w0, M2;
    if (!PyArg_ParseTuple(args, "OOOiidddddOOOii", &x_obj, &y_obj, &pop_obj, &t_slices, &z_slices,
                          &sample_width, &tau, &wavelength, &w0, &M2, &energy_obj, &pars_obj,
                          &index_obj, &num_x_pts, &num_datasets))
        return nullptr;
    Doubles x, y, populations, energy, pars_in;
    std::vector<std::int32_t> fit_index;
    if (!x.load(x_obj, "centered_x") || !y.load(y_obj, "y_data") ||
        !populations.load(pop_obj, "populations") || !energy.load(energy_obj, "pulse_energy") ||
        !pars_in.load(pars_obj, "spec_pars") || !load_ints(index_obj, fit_index))
        return nullptr;
    const std::size_t n_points = static_cast<std::size_t>(num_x_pts) * num_datasets;
    if (!require_length(x, n_points, "centered_x") || !require_length(y, n_points, "y_data") ||
        !require_length(energy, static_cast<std::size_t>(num_datasets), "pulse_energy") ||
        !require_length(pars_in, 8, "spec_pars") || !require_length(populations, 5, "populations"))
        return nullptr;

    std::vector<double> params(pars_in.span().begin(), pars_in.span().begin() + 8);
    std::vector<double> residuals(n_points);
    double error = 0.0;
    compat::StartReport report;
    const auto n_fit = static_cast<std::int32_t>(fit_index.size());
    const auto n_pop = static_cast<std::int32_t>(populations.size());
    const auto n_res = static_cast<std::int32_t>(n_points);
    Py_BEGIN_ALLOW_THREADS compat::fit_driver(
        x.span().data(), y.span().data(), populations.span().data(), residuals.data(), error,
        t_slices, z_slices, sample_width, tau, wavelength, w0, M2, energy.span().data(),
        params.data(), fit_index.data(), n_fit, num_x_pts, num_datasets, n_pop, n_res, report);
    Py_END_ALLOW_THREADS return Py_BuildValue(
        "{sNsdsNsisLsN}", "residuals", to_list(residuals), "error", error, "spec_pars",
        to_list(params), "lm_info", report.lm_info, "evaluations",
        static_cast<long long>(report.evaluations), "tally", to_dict(report.tally));
}

// select_best_start(errors) -> index of the start the fit returns
PyObject* probe_select_best_start(PyObject*, PyObject* args) {
    PyObject* errors_obj = nullptr;
    if (!PyArg_ParseTuple(args, "O", &errors_obj)) return nullptr;
    Doubles errors;
    if (!errors.load(errors_obj, "errors") || !require_length(errors, 1, "errors")) return nullptr;
    return PyLong_FromSize_t(compat::select_best_start(errors.span()));
}

}  // namespace

const PyMethodDef* engine_methods() {
    static PyMethodDef methods[] = {
        {"fit_start", probe_fit_start, METH_VARARGS,
         "fit_start(centered_x, y_data, populations, t_slices, z_slices, sample_width, tau, "
         "wavelength, w0, M2, pulse_energy, spec_pars, fit_index, num_x_pts, num_datasets) "
         "-> dict"},
        {"select_best_start", probe_select_best_start, METH_VARARGS,
         "select_best_start(errors) -> index"},
        {nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace plix::testing
