#include "module/fit_zscan_body.hpp"

#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/fit_driver.hpp"
#include "engine/select_start.hpp"
#include "module/input_checks.hpp"
#include "module/module_state.hpp"
#include "module/py_ref.hpp"

namespace plix::py {
namespace {

// The message of every bounds failure on a buffer access; returns false.
bool raise_out_of_bounds(int axis) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
    return false;
}

// The module global `np`, looked up at the moment of use (module dict, then builtins).
Ref numpy_global() {
    static const char name[] = "np";
    PyObject* np = PyDict_GetItemString(module_dict(), name);
    if (np == nullptr) {
        PyObject* builtins = PyModule_GetDict(builtins_module());
        np = builtins != nullptr ? PyDict_GetItemString(builtins, name) : nullptr;
    }
    if (np == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return Ref();
    }
    return Ref::borrow(np);
}

// np.<function>(args...), with an optional dtype=np.float64 keyword.
template <class... Args>
Ref call_numpy(const char* function, bool float64_dtype, Args... args) {
    const Ref np = numpy_global();
    if (!np) return Ref();
    const Ref callable(PyObject_GetAttrString(np.get(), function));
    if (!callable) return Ref();
    const Ref arguments(PyTuple_Pack(sizeof...(Args), args...));
    if (!arguments) return Ref();
    Ref keywords;
    if (float64_dtype) {
        const Ref dtype(PyObject_GetAttrString(np.get(), "float64"));
        if (!dtype) return Ref();
        keywords = Ref(PyDict_New());
        if (!keywords || PyDict_SetItemString(keywords.get(), "dtype", dtype.get()) < 0)
            return Ref();
    }
    return Ref(PyObject_Call(callable.get(), arguments.get(), keywords.get()));
}

// A NumPy table together with the writable view the engine works on.
struct Table {
    Ref array;
    BufferView view;

    bool take(Ref made, ElementType type, int ndim) {
        array = std::move(made);
        return array && view.acquire(array.get(), type, ndim);
    }
};

// Starting factors 10^(j * 1.04 / d - 0.52), d = max(n_starts - 1, 1).
Ref start_multipliers(std::int32_t n_starts) {
    const std::int32_t d = n_starts - 1 > 1 ? n_starts - 1 : 1;
    const Ref factors(PyList_New(0));
    if (!factors) return Ref();
    for (std::int32_t j = 0; j < n_starts; ++j) {
        const double exponent = static_cast<double>(j) * 1.04 / static_cast<double>(d) - 0.52;
        const Ref factor(PyFloat_FromDouble(std::pow(10.0, exponent)));
        if (!factor || PyList_Append(factors.get(), factor.get()) < 0) return Ref();
    }
    return call_numpy("array", true, factors.get());
}

// The working arrays of one call, made in the documented order.
struct Workspace {
    Table one_based_index;
    Table centered_x;
    Table all_spec_pars;
    Table all_residuals;
    Table all_errors;
    Table multipliers;
};

bool check_fit_indices(const BufferView& fit_indices) {
    const std::int32_t* idx = fit_indices.ints();
    for (Py_ssize_t i = 0; i < fit_indices.extent(0); ++i) {
        if (idx[i] < 0 || idx[i] > 7) {
            const std::string message = "fit_indices[" + std::to_string(i) +
                                        "]=" + std::to_string(idx[i]) + " out of range [0,7]";
            PyErr_SetString(PyExc_ValueError, message.c_str());
            return false;
        }
    }
    return true;
}

// Index of the first maximum (saturable absorber) or minimum of y_data.
bool find_center(const FitArguments& a, double& center_x) {
    const Ref c = call_numpy(a.is_sa ? "argmax" : "argmin", false, a.y_data.object());
    if (!c) return false;
    const Py_ssize_t index = PyNumber_AsSsize_t(c.get(), PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return false;
    if (index < 0 || index >= a.x_data.extent(0)) return raise_out_of_bounds(0);
    center_x = a.x_data.doubles()[index];
    return true;
}

bool make_index_and_positions(const FitArguments& a, Workspace& w) {
    const Ref indices = call_numpy("asarray", false, a.fit_indices.object());
    if (!indices) return false;
    const Ref one(PyLong_FromLong(1));
    if (!one ||
        !w.one_based_index.take(Ref(PyNumber_Add(indices.get(), one.get())), ElementType::int32, 1))
        return false;

    double center_x = 0.0;
    if (!find_center(a, center_x)) return false;
    const Ref x = call_numpy("asarray", false, a.x_data.object());
    const Ref center(PyFloat_FromDouble(center_x));
    if (!x || !center) return false;
    return w.centered_x.take(Ref(PyNumber_Subtract(x.get(), center.get())), ElementType::real64, 1);
}

bool make_tables(const FitArguments& a, std::int32_t n_res, Workspace& w) {
    const Ref spec = call_numpy("asarray", false, a.spec_pars.object());
    const Ref reps(Py_BuildValue("(ii)", a.n_starts, 1));
    if (!spec || !reps) return false;
    if (!w.all_spec_pars.take(call_numpy("tile", false, spec.get(), reps.get()),
                              ElementType::real64, 2))
        return false;
    const Ref residual_shape(Py_BuildValue("(ii)", a.n_starts, n_res));
    if (!residual_shape || !w.all_residuals.take(call_numpy("zeros", true, residual_shape.get()),
                                                 ElementType::real64, 2))
        return false;
    const Ref n_starts(PyLong_FromLong(a.n_starts));
    if (!n_starts ||
        !w.all_errors.take(call_numpy("zeros", true, n_starts.get()), ElementType::real64, 1))
        return false;
    return w.multipliers.take(start_multipliers(a.n_starts), ElementType::real64, 1);
}

// Multiplies the fitted entries of every start's row by that start's factor.
bool scale_fitted_entries(const FitArguments& a, Workspace& w) {
    const Py_ssize_t width = w.all_spec_pars.view.extent(1);
    double* rows = w.all_spec_pars.view.doubles();
    const double* spec = a.spec_pars.doubles();
    const double* factor = w.multipliers.view.doubles();
    const std::int32_t* idx = a.fit_indices.ints();
    for (Py_ssize_t k = 0; k < w.all_spec_pars.view.extent(0); ++k) {
        for (Py_ssize_t j = 0; j < a.fit_indices.extent(0); ++j) {
            const std::int32_t p = idx[j];
            if (p >= a.spec_pars.extent(0)) return raise_out_of_bounds(0);
            rows[k * width + p] = factor[k] * spec[p];
        }
    }
    return true;
}

// The bounds checks made before each engine call; they do not depend on the start.
bool check_engine_addresses(const FitArguments& a, const Workspace& w) {
    if (w.centered_x.view.extent(0) < 1 || a.y_data.extent(0) < 1 || a.populations.extent(0) < 1)
        return raise_out_of_bounds(0);
    if (w.all_residuals.view.extent(1) < 1) return raise_out_of_bounds(1);
    if (a.pulse_energy.extent(0) < 1) return raise_out_of_bounds(0);
    if (w.all_spec_pars.view.extent(1) < 1) return raise_out_of_bounds(1);
    if (w.one_based_index.view.extent(0) < 1) return raise_out_of_bounds(0);
    return true;
}

struct EngineOutcome {
    std::vector<engine::StartReport> reports;
    bool out_of_memory = false;
};

// Runs every start in turn, without the interpreter lock.
EngineOutcome run_starts(const FitArguments& a, Workspace& w, std::int32_t n_res) {
    EngineOutcome outcome;
    outcome.reports.resize(static_cast<std::size_t>(a.n_starts));
    const auto n_fit = static_cast<std::int32_t>(a.fit_indices.extent(0));
    const auto n_pop = static_cast<std::int32_t>(a.populations.extent(0));
    const Py_ssize_t width = w.all_spec_pars.view.extent(1);
    Py_BEGIN_ALLOW_THREADS try {
        for (std::int32_t k = 0; k < a.n_starts; ++k) {
            engine::fit_driver(
                w.centered_x.view.doubles(), a.y_data.doubles(), a.populations.doubles(),
                w.all_residuals.view.doubles() + std::int64_t{k} * n_res,
                w.all_errors.view.doubles()[k], a.t_slices, a.z_slices, a.sample_width, a.tau,
                a.wavelength, a.w0, a.M2, a.pulse_energy.doubles(),
                w.all_spec_pars.view.doubles() + std::int64_t{k} * width,
                w.one_based_index.view.ints(), n_fit, a.num_x_pts, a.num_datasets, n_pop, n_res,
                outcome.reports[k]);
        }
    } catch (const std::bad_alloc&) {
        outcome.out_of_memory = true;
    } catch (const std::length_error&) {  // a working array longer than a vector can be
        outcome.out_of_memory = true;
    }
    Py_END_ALLOW_THREADS return outcome;
}

Ref row_of(const Table& table, Py_ssize_t row) {
    const Ref item(PySequence_GetItem(table.array.get(), row));
    if (!item) return Ref();
    return call_numpy("asarray", false, item.get());
}

Ref build_result(const Workspace& w, Py_ssize_t best) {
    Ref residuals = row_of(w.all_residuals, best);
    if (!residuals) return Ref();
    Ref error(PyFloat_FromDouble(w.all_errors.view.doubles()[best]));
    if (!error) return Ref();
    Ref spec_pars = row_of(w.all_spec_pars, best);
    if (!spec_pars) return Ref();
    return Ref(PyTuple_Pack(3, residuals.get(), error.get(), spec_pars.get()));
}

}  // namespace

PyObject* fit_zscan_body(const FitArguments& a) {
    const auto n_res = static_cast<std::int32_t>(a.y_data.extent(0));
    if (!check_fit_indices(a.fit_indices)) return nullptr;

    Workspace w;
    if (!make_index_and_positions(a, w) || !make_tables(a, n_res, w) || !scale_fitted_entries(a, w))
        return nullptr;
    if (a.n_starts > 0 && !check_engine_addresses(a, w)) return nullptr;
    if (a.n_starts < 1) {
        raise_out_of_bounds(0);  // all_errors[0] of an empty table
        return nullptr;
    }
    if (!check_fit_inputs(a)) return nullptr;

    const EngineOutcome outcome = run_starts(a, w, n_res);
    if (outcome.out_of_memory) return PyErr_NoMemory();

    const auto best = static_cast<Py_ssize_t>(engine::select_best_start(
        std::span<const double>(w.all_errors.view.doubles(), outcome.reports.size())));
    if (!warn_about_fit(a, outcome.reports, outcome.reports[best], n_res)) return nullptr;
    return build_result(w, best).release();
}

}  // namespace plix::py
