#include "compat/fit_zscan_body.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "compat/fit_driver.hpp"
#include "compat/select_start.hpp"
#include "compat/five_level_layout.hpp"
#include "compat/input_checks.hpp"
#include "compat/module_state.hpp"
#include "compat/py_ref.hpp"

namespace plix::py {
namespace {

constexpr auto kHighestIndex = static_cast<std::int32_t>(compat::parameter_count) - 1;
// How often a fit in the main thread takes the interpreter lock back to run signal
// handlers: short next to the second within which Ctrl-C should act, long next to the
// cost of taking the lock.
constexpr std::chrono::milliseconds kSignalPollInterval{50};

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

// "(3, 9)" or "(3,)".
std::string shape_text(std::initializer_list<Py_ssize_t> shape) {
    std::string out = "(";
    for (const Py_ssize_t n : shape) out += (out.size() > 1 ? ", " : "") + std::to_string(n);
    return out + (shape.size() == 1 ? ",)" : ")");
}

// A NumPy table together with the writable view the engine works on.
struct Table {
    Ref array;
    BufferView view;

    // Takes what `made_by` returned, and accepts it only as an aligned table of the given
    // element type and shape: the engine writes through pointers into it.
    bool take(Ref made, const char* made_by, ElementType type,
              std::initializer_list<Py_ssize_t> shape) {
        array = std::move(made);
        if (!array) return false;
        const int ndim = static_cast<int>(shape.size());
        bool fits = view.acquire(array.get(), type, ndim) && view.aligned_for(type);
        int dim = 0;
        for (const Py_ssize_t n : shape) fits = fits && view.extent(dim++) == n;
        if (fits) return true;
        view.release();
        const char* const type_name = type == ElementType::real64 ? "float64" : "int32";
        if (PyErr_Occurred()) {
            PendingError cause;
            PyErr_Format(PyExc_TypeError,
                         "fit_zscan: np.%s returned a %.200s that is not a writable, aligned, "
                         "C-contiguous %s table of shape %s",
                         made_by, Py_TYPE(array.get())->tp_name, type_name,
                         shape_text(shape).c_str());
            return false;
        }
        PyErr_Format(PyExc_ValueError,
                     "fit_zscan: np.%s returned a table of the wrong shape or alignment; the "
                     "fit needs an aligned %s table of shape %s",
                     made_by, type_name, shape_text(shape).c_str());
        return false;
    }
};

// The starts spread the fitted entries over 10^-0.52 .. 10^+0.52: a span of 1.04 decades.
constexpr double kStartSpreadDecades = 1.04;
constexpr double kLowestStartDecade = -0.52;

// Starting factors 10^(j * 1.04 / d - 0.52), d = max(n_starts - 1, 1).
Ref start_multipliers(std::int32_t n_starts) {
    const std::int32_t d = n_starts - 1 > 1 ? n_starts - 1 : 1;
    const Ref factors(PyList_New(0));
    if (!factors) return Ref();
    for (std::int32_t j = 0; j < n_starts; ++j) {
        const double exponent =
            static_cast<double>(j) * kStartSpreadDecades / static_cast<double>(d) +
            kLowestStartDecade;
        const Ref factor(PyFloat_FromDouble(std::pow(10.0, exponent)));
        if (!factor || PyList_Append(factors.get(), factor.get()) < 0) return Ref();
    }
    return call_numpy("array", true, factors.get());
}

// The working tables of one call, made in the documented order.
struct Workspace {
    Table centered_x;
    Table all_spec_pars;
    Table all_residuals;
    Table all_errors;
    Table multipliers;
};

bool check_fit_indices(const std::vector<std::int32_t>& fit_indices) {
    for (std::size_t i = 0; i < fit_indices.size(); ++i) {
        if (fit_indices[i] < 0 || fit_indices[i] > kHighestIndex) {
            const std::string message = "fit_indices[" + std::to_string(i) +
                                        "]=" + std::to_string(fit_indices[i]) +
                                        " out of range [0," + std::to_string(kHighestIndex) + "]";
            PyErr_SetString(PyExc_ValueError, message.c_str());
            return false;
        }
    }
    return true;
}

// Index of the first maximum (saturable absorber) or minimum of y_data; x_data at that
// index, read afresh because NumPy may have run Python code that changed it.
bool find_center(const FitArguments& a, double& center_x) {
    const Ref c = call_numpy(a.is_sa ? "argmax" : "argmin", false, a.y_data.object());
    if (!c) return false;
    const Py_ssize_t index = PyNumber_AsSsize_t(c.get(), PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return false;
    if (index < 0 || index >= a.x_data.extent(0)) return raise_out_of_bounds(0);
    const AlignedDoubles x(a.x_data);
    center_x = x.values()[static_cast<std::size_t>(index)];
    return true;
}

bool make_centered_x(const FitArguments& a, double center_x, Workspace& w) {
    const Ref x = call_numpy("asarray", false, a.x_data.object());
    const Ref center(PyFloat_FromDouble(center_x));
    if (!x || !center) return false;
    return w.centered_x.take(Ref(PyNumber_Subtract(x.get(), center.get())), "asarray",
                             ElementType::real64, {a.x_data.extent(0)});
}

// The bounds failures that the tables would meet later (the scaling of fitted entries and
// the addresses handed to the engine), found from the sizes alone so that no table is
// made for a call that fails. Needs n_starts >= 0.
bool check_bounds_before_tables(const FitArguments& a, const CallInputs& in) {
    if (a.n_starts == 0) return raise_out_of_bounds(0);  // all_errors[0] of an empty table
    const auto width = static_cast<std::int64_t>(in.spec_pars.size());
    for (const std::int32_t p : in.fit_indices)
        if (p >= width) return raise_out_of_bounds(0);
    if (in.x_data.size() < 1 || in.y_data.size() < 1 || in.populations.size() < 1)
        return raise_out_of_bounds(0);
    if (static_cast<std::int32_t>(in.y_data.size()) < 1) return raise_out_of_bounds(1);
    if (in.pulse_energy.size() < 1) return raise_out_of_bounds(0);
    if (width < 1) return raise_out_of_bounds(1);
    if (in.fit_indices.empty()) return raise_out_of_bounds(0);
    return true;
}

// The value as Python's repr writes it.
std::string repr_of(double v) {
    char* repr = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr) return "?";
    std::string out(repr);
    PyMem_Free(repr);
    return out;
}

std::string byte_text(double bytes) {
    char text[32];
    if (bytes >= 1e9)
        PyOS_snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    else
        PyOS_snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    return text;
}

// MemoryError naming the argument behind working storage that could not be had.
void raise_storage_shortfall(const FitArguments& a, const compat::StorageShortfall& s) {
    using Use = compat::StorageShortfall::Use;
    std::string what;
    switch (s.use) {
        case Use::intensity_table:
            what = "the incident intensity table for t_slices = " + std::to_string(a.t_slices) +
                   " (num_x_pts * t_slices * num_datasets values)";
            break;
        case Use::time_grid:
            what = "the time grid for t_slices = " + std::to_string(a.t_slices);
            break;
        case Use::depth_grid:
            what = "the depth grid for z_slices = " + std::to_string(a.z_slices);
            break;
        case Use::data_copies:
            what = "the working copies of num_x_pts * num_datasets = " +
                   std::to_string(std::int64_t{a.num_x_pts} * a.num_datasets) + " values";
            break;
        case Use::populations:
            what = "the copy of populations";
            break;
        case Use::lm_workspace:
            what = "the least-squares workspace for " + std::to_string(a.fit_indices.extent(0)) +
                   " fit_indices";
            break;
        case Use::fit_index:
            what = "the copies of " + std::to_string(a.fit_indices.extent(0)) + " fit_indices";
            break;
    }
    const std::string size =
        s.count == compat::StorageShortfall::unrepresentable
            ? "more bytes than an address can count"
            : byte_text(static_cast<double>(s.count) * static_cast<double>(s.element_size));
    PyErr_SetString(PyExc_MemoryError,
                    ("fit_zscan: cannot allocate " + size + " for " + what).c_str());
}

// A zero incident intensity at every time point of a position makes the model's
// transmitted fraction 0/0 there: reject it before any start runs.
bool check_incident_intensity(const FitArguments& a, const CallInputs& in, const Workspace& w) {
    std::optional<compat::DarkPosition> dark;
    try {
        dark = compat::find_dark_position(w.centered_x.view.doubles(), a.t_slices, a.tau,
                                          a.wavelength, a.w0, a.M2, in.pulse_energy.data(),
                                          a.num_x_pts, a.num_datasets);
    } catch (const compat::StorageShortfall& s) {
        raise_storage_shortfall(a, s);
        return false;
    }
    if (!dark) return true;
    const std::size_t k =
        static_cast<std::size_t>(dark->dataset) * static_cast<std::size_t>(a.num_x_pts) +
        static_cast<std::size_t>(dark->position);
    const std::string message =
        "the incident intensity is zero at a position: with pulse_energy[" +
        std::to_string(dark->dataset) +
        "] = " + repr_of(in.pulse_energy.values()[static_cast<std::size_t>(dark->dataset)]) +
        " at x_data[" + std::to_string(k) + "] = " + repr_of(in.x_data.values()[k]) + " (" +
        repr_of(w.centered_x.view.doubles()[k]) +
        " mm from the centre) it underflows to 0 at every time point, and the transmittance "
        "there would be 0/0";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

// NumPy's MemoryError for the tables by n_starts, restated with the argument and size.
bool raise_table_shortfall(const FitArguments& a, std::int32_t n_res) {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
    const double values =
        double(a.n_starts) * (double(n_res) + 2.0 * double(a.spec_pars.extent(0)) + 2.0);
    PyErr_SetString(PyExc_MemoryError,
                    ("fit_zscan: cannot allocate " + byte_text(values * sizeof(double)) +
                     " for the working tables of n_starts = " + std::to_string(a.n_starts) +
                     " starts (a parameter row, a residual row and an error each)")
                        .c_str());
    return false;
}

bool make_tables(const FitArguments& a, std::int32_t n_res, Workspace& w) {
    const Ref spec = call_numpy("asarray", false, a.spec_pars.object());
    const Ref reps(Py_BuildValue("(ii)", a.n_starts, 1));
    if (!spec || !reps) return false;
    if (!w.all_spec_pars.take(call_numpy("tile", false, spec.get(), reps.get()), "tile",
                              ElementType::real64, {a.n_starts, a.spec_pars.extent(0)}))
        return raise_table_shortfall(a, n_res);
    const Ref residual_shape(Py_BuildValue("(ii)", a.n_starts, n_res));
    if (!residual_shape || !w.all_residuals.take(call_numpy("zeros", true, residual_shape.get()),
                                                 "zeros", ElementType::real64, {a.n_starts, n_res}))
        return raise_table_shortfall(a, n_res);
    const Ref n_starts(PyLong_FromLong(a.n_starts));
    if (!n_starts || !w.all_errors.take(call_numpy("zeros", true, n_starts.get()), "zeros",
                                        ElementType::real64, {a.n_starts}))
        return raise_table_shortfall(a, n_res);
    if (!w.multipliers.take(start_multipliers(a.n_starts), "array", ElementType::real64,
                            {a.n_starts}))
        return raise_table_shortfall(a, n_res);
    return true;
}

// Multiplies the fitted entries of every start's row by that start's factor.
void scale_fitted_entries(const CallInputs& in, Workspace& w) {
    const Py_ssize_t width = w.all_spec_pars.view.extent(1);
    double* rows = w.all_spec_pars.view.doubles();
    const std::span<const double> spec = in.spec_pars.values();
    const double* factor = w.multipliers.view.doubles();
    for (Py_ssize_t k = 0; k < w.all_spec_pars.view.extent(0); ++k)
        for (const std::int32_t p : in.fit_indices) rows[k * width + p] = factor[k] * spec[p];
}

// Whether this thread is the interpreter's main thread, the only one that runs signal
// handlers.
bool in_main_thread() {
    const Ref threading(PyImport_ImportModule("threading"));
    const Ref main =
        threading ? Ref(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    const Ref ident = main ? Ref(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    if (!ident) {
        PyErr_Clear();
        return false;
    }
    return PyLong_AsUnsignedLong(ident.get()) == PyThread_get_thread_ident();
}

// The interpreter lock, released while the engine runs. The engine's interrupt poll takes
// it back at most every kSignalPollInterval to run pending signal handlers; an exception
// they raise (KeyboardInterrupt on Ctrl-C) stops the fit and is kept for the caller.
class ReleasedLock {
  public:
    explicit ReleasedLock(bool poll_signals)
        : poll_signals_(poll_signals), saved_(PyEval_SaveThread()) {}
    ~ReleasedLock() { take_back(); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    compat::InterruptPoll interrupt_poll() {
        return poll_signals_ ? compat::InterruptPoll{&ReleasedLock::poll, this}
                             : compat::InterruptPoll{};
    }
    bool interrupted() const { return signal_error_.has_value(); }
    void take_back() {
        if (saved_ != nullptr) PyEval_RestoreThread(std::exchange(saved_, nullptr));
    }
    // With the lock held: sets the exception that a signal handler raised.
    void restore_signal_error() {
        if (signal_error_) signal_error_->restore();
    }

  private:
    static bool poll(void* self) { return static_cast<ReleasedLock*>(self)->check_signals(); }

    bool check_signals() {
        if (interrupted()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_poll_) return false;
        next_poll_ = now + kSignalPollInterval;
        PyEval_RestoreThread(saved_);
        if (PyErr_CheckSignals() < 0) signal_error_.emplace();
        saved_ = PyEval_SaveThread();
        return interrupted();
    }

    bool poll_signals_;
    PyThreadState* saved_;
    std::chrono::steady_clock::time_point next_poll_ = std::chrono::steady_clock::now();
    std::optional<PendingError> signal_error_;
};

// A signal handler runs on the thread whose fit it interrupts, while that fit's engine
// state is live: a fit started from the handler would overwrite it.
thread_local bool engine_running = false;

struct EngineRunning {
    EngineRunning() { engine_running = true; }
    ~EngineRunning() { engine_running = false; }
    EngineRunning(const EngineRunning&) = delete;
    EngineRunning& operator=(const EngineRunning&) = delete;
};

struct EngineOutcome {
    model::IntegrationTally tally;  // over all starts
    std::vector<int> lm_info;       // per start
    std::optional<compat::StorageShortfall> shortfall;
    bool out_of_memory = false;
};

// Runs every start in turn, without the interpreter lock (taken back only to run signal
// handlers). Returns false with the Python error set when a handler raised.
bool run_starts(const FitArguments& a, const CallInputs& in,
                const std::vector<std::int32_t>& one_based, Workspace& w, std::int32_t n_res,
                EngineOutcome& outcome) {
    outcome.lm_info.resize(static_cast<std::size_t>(a.n_starts));
    const auto n_fit = static_cast<std::int32_t>(one_based.size());
    const auto n_pop = static_cast<std::int32_t>(in.populations.size());
    const Py_ssize_t width = w.all_spec_pars.view.extent(1);
    ReleasedLock lock(in_main_thread());
    const compat::InterruptPoll interrupt = lock.interrupt_poll();
    const EngineRunning running;
    try {
        for (std::int32_t k = 0; k < a.n_starts && !lock.interrupted(); ++k) {
            compat::StartReport report;
            compat::fit_driver(
                w.centered_x.view.doubles(), in.y_data.data(), in.populations.data(),
                w.all_residuals.view.doubles() + std::int64_t{k} * n_res,
                w.all_errors.view.doubles()[k], a.t_slices, a.z_slices, a.sample_width, a.tau,
                a.wavelength, a.w0, a.M2, in.pulse_energy.data(),
                w.all_spec_pars.view.doubles() + std::int64_t{k} * width, one_based.data(), n_fit,
                a.num_x_pts, a.num_datasets, n_pop, n_res, report, interrupt);
            outcome.tally.merge(report.tally);
            outcome.lm_info[static_cast<std::size_t>(k)] = report.lm_info;
        }
    } catch (const compat::FitInterrupted&) {
    } catch (const compat::StorageShortfall& s) {
        outcome.shortfall = s;
    } catch (const std::bad_alloc&) {
        outcome.out_of_memory = true;
    } catch (const std::length_error&) {  // a working array longer than a vector can be
        outcome.out_of_memory = true;
    }
    lock.take_back();
    if (!lock.interrupted()) return true;
    lock.restore_signal_error();
    return false;
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

PyObject* run_body(const FitArguments& a) {
    if (engine_running) {
        PyErr_SetString(PyExc_RuntimeError,
                        "fit_zscan cannot be called from a signal handler that runs during a "
                        "fit in the same thread");
        return nullptr;
    }
    const auto n_res = static_cast<std::int32_t>(a.y_data.extent(0));
    const CallInputs in(a);
    if (!check_fit_indices(in.fit_indices)) return nullptr;
    std::vector<std::int32_t> one_based(in.fit_indices);
    for (std::int32_t& index : one_based) ++index;

    Workspace w;
    double center_x = 0.0;
    if (!find_center(a, center_x) || !make_centered_x(a, center_x, w)) return nullptr;
    // A negative n_starts fails in NumPy when the tables are made.
    if (a.n_starts >= 0 && (!check_bounds_before_tables(a, in) || !check_fit_inputs(a, in) ||
                            !check_incident_intensity(a, in, w)))
        return nullptr;
    if (!make_tables(a, n_res, w)) return nullptr;
    scale_fitted_entries(in, w);

    EngineOutcome outcome;
    if (!run_starts(a, in, one_based, w, n_res, outcome)) return nullptr;
    if (outcome.shortfall) {
        raise_storage_shortfall(a, *outcome.shortfall);
        return nullptr;
    }
    if (outcome.out_of_memory) return PyErr_NoMemory();

    const auto best = static_cast<Py_ssize_t>(compat::select_best_start(std::span<const double>(
        w.all_errors.view.doubles(), static_cast<std::size_t>(a.n_starts))));
    const FitSummary summary{outcome.tally, outcome.lm_info[static_cast<std::size_t>(best)],
                             w.all_errors.view.doubles()[best],
                             std::span<const double>(w.all_residuals.view.doubles() + best * n_res,
                                                     static_cast<std::size_t>(n_res))};
    if (!warn_about_fit(in, summary, n_res)) return nullptr;
    return build_result(w, best).release();
}

}  // namespace

PyObject* fit_zscan_body(const FitArguments& a) {
    try {
        return run_body(a);
    } catch (const std::bad_alloc&) {  // copies of the caller's arrays
        return PyErr_NoMemory();
    }
}

}  // namespace plix::py
