// Exact propagation part of _plix_testing: the matrix exponential, the rate matrix, the seed
// curve model with either stepper and a thread count, and the fork-join it runs on.
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <string_view>
#include <thread>
#include <vector>

#include "model/curve_model.hpp"
#include "model/matrix_exponential.hpp"
#include "model/parallel_for.hpp"
#include "model/physical_constants.hpp"
#include "model/scheme_parameters.hpp"
#include "model/scheme_presets.hpp"
#include "model/scheme_rates.hpp"
#include "model/seed_model.hpp"
#include "tests/binding/probe_support.hpp"
#include "tests/binding/probes.hpp"

namespace plix::testing {
namespace {

// The probes work on the five-level scheme: five levels, eight parameters.
constexpr std::size_t levels = 5;
constexpr std::size_t parameter_count = 8;
constexpr std::size_t matrix_entries = levels * levels;

bool load_exactly(PyObject* obj, Doubles& values, std::size_t size, const char* name) {
    if (!values.load(obj, "expected a sequence of numbers")) return false;
    if (values.size() == size) return true;
    PyErr_Format(PyExc_ValueError, "%s needs %zu entries, got %zu", name, size, values.size());
    return false;
}

template <std::size_t N>
std::array<double, N> to_array(const Doubles& values) {
    std::array<double, N> a{};
    std::copy_n(values.span().begin(), N, a.begin());
    return a;
}

// matrix_exponential(a) -> exp(a), both 25 entries row-major
PyObject* probe_matrix_exponential(PyObject*, PyObject* args) {
    PyObject* a_obj = nullptr;
    if (!PyArg_ParseTuple(args, "O", &a_obj)) return nullptr;
    Doubles a;
    if (!load_exactly(a_obj, a, matrix_entries, "a")) return nullptr;
    const model::Matrix<levels> e = model::matrix_exponential<levels>(to_array<matrix_entries>(a));
    return to_list(e);
}

// matrix_exponential_times(a, v) -> exp(a) v, a 25 entries row-major, v five
PyObject* probe_matrix_exponential_times(PyObject*, PyObject* args) {
    PyObject* a_obj = nullptr;
    PyObject* v_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &a_obj, &v_obj)) return nullptr;
    Doubles a, v;
    if (!load_exactly(a_obj, a, matrix_entries, "a") ||
        !load_exactly(v_obj, v, levels, "v"))
        return nullptr;
    return to_list(model::matrix_exponential_times<levels>(to_array<matrix_entries>(a),
                                                           to_array<levels>(v)));
}

// rate_matrix(params, photon_frequency, intensity) -> A (25 entries, row-major)
PyObject* probe_rate_matrix(PyObject*, PyObject* args) {
    PyObject* params_obj = nullptr;
    double frequency = 0.0;
    double intensity = 0.0;
    if (!PyArg_ParseTuple(args, "Odd", &params_obj, &frequency, &intensity)) return nullptr;
    Doubles params;
    if (!load_exactly(params_obj, params, parameter_count, "params")) return nullptr;
    const model::LevelScheme scheme = model::five_level_scheme();
    const std::vector<std::size_t> index = model::process_parameter_indices(scheme);
    const model::SchemeRates rates(scheme, index, params.span(),
                                   constants::inverse_planck / frequency);
    model::Matrix<levels> a;
    rates.rate_matrix<levels>(intensity, a);
    return to_list(a);
}

bool parse_enum(const char* text, std::string_view a, std::string_view b, std::string_view c,
                int& value, const char* name) {
    const std::string_view s(text);
    value = s == a ? 0 : s == b ? 1 : s == c && !c.empty() ? 2 : -1;
    if (value >= 0) return true;
    PyErr_Format(PyExc_ValueError, "unknown %s '%s'", name, text);
    return false;
}

// seed_curve(positions_mm, energy, params, populations, wavelength, w0, tau, sample_width,
//            M2=1.0, stepper="lsoda", t_slices=10, z_slices=8, normalisation="ends",
//            threads=1) -> (curve, tally); the interpreter lock is released while it runs.
PyObject* probe_seed_curve(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {
        "positions_mm", "energy",   "params",        "populations", "wavelength",
        "w0",           "tau",      "sample_width",  "M2",          "stepper",
        "t_slices",     "z_slices", "normalisation", "threads",     nullptr};
    PyObject *positions_obj = nullptr, *params_obj = nullptr, *populations_obj = nullptr;
    double energy = 0.0;
    model::Setup setup;
    const char* stepper_name = "lsoda";
    const char* normalisation_name = "ends";
    model::SeedConfig seed{.scheme = model::five_level_scheme()};
    unsigned int threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OdOOdddd|dsiisI", const_cast<char**>(keywords),
                                     &positions_obj, &energy, &params_obj, &populations_obj,
                                     &setup.wavelength, &setup.w0, &setup.tau, &setup.sample_width,
                                     &setup.M2, &stepper_name, &seed.t_slices, &seed.z_slices,
                                     &normalisation_name, &threads))
        return nullptr;
    Doubles positions, params, populations;
    if (!positions.load(positions_obj, "positions_mm must be a sequence of numbers") ||
        !load_exactly(params_obj, params, parameter_count, "params") ||
        !load_exactly(populations_obj, populations, levels, "populations"))
        return nullptr;
    int stepper = 0, normalisation = 0;
    if (!parse_enum(stepper_name, "lsoda", "exact", "", stepper, "stepper") ||
        !parse_enum(normalisation_name, "linear", "ends", "none", normalisation, "normalisation"))
        return nullptr;
    seed.stepper = stepper == 0 ? model::Stepper::lsoda : model::Stepper::exact;
    seed.normalisation =
        std::array{model::Normalisation::linear, model::Normalisation::ends,
                   model::Normalisation::none}[static_cast<std::size_t>(normalisation)];
    if (seed.t_slices < 2 || seed.z_slices == 1 || seed.z_slices < 0 ||
        (seed.normalisation == model::Normalisation::ends && positions.size() < 5)) {
        PyErr_SetString(PyExc_ValueError,
                        "needs t_slices >= 2, z_slices 0 or >= 2 and five positions for 'ends'");
        return nullptr;
    }
    setup.populations.assign(populations.span().begin(), populations.span().end());
    const model::SeedModel seed_model(seed);
    std::vector<double> out(positions.size());
    model::CurveReport report;
    const model::CurveRequest request{
        .setup = setup, .params = params.span(), .positions_mm = positions.span(), .energy = energy};
    Py_BEGIN_ALLOW_THREADS seed_model.curve(request, out, {.threads = threads}, report);
    Py_END_ALLOW_THREADS PyObject* curve = to_list(out);
    PyObject* tally = to_dict(report.tally);
    if (curve == nullptr || tally == nullptr) {
        Py_XDECREF(curve);
        Py_XDECREF(tally);
        return nullptr;
    }
    return Py_BuildValue("(NN)", curve, tally);
}

// parallel_for_shares(count, threads) -> (worker of each index, visits of each index,
// number of distinct threads seen, whether worker 0 ran on the calling thread)
PyObject* probe_parallel_for_shares(PyObject*, PyObject* args) {
    Py_ssize_t count = 0;
    unsigned int threads = 1;
    if (!PyArg_ParseTuple(args, "nI", &count, &threads)) return nullptr;
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must be non-negative");
        return nullptr;
    }
    const auto n = static_cast<std::size_t>(count);
    std::vector<unsigned> worker_of(n, 0);
    std::vector<std::atomic<int>> visits(n);
    const unsigned workers = model::worker_count(n, threads);
    std::vector<std::thread::id> thread_of(workers);  // default id: the worker never ran
    const std::thread::id caller = std::this_thread::get_id();
    Py_BEGIN_ALLOW_THREADS model::parallel_for(n, threads, [&](unsigned w, std::size_t i) {
        worker_of[i] = w;
        visits[i].fetch_add(1);
        thread_of[w] = std::this_thread::get_id();
    });
    Py_END_ALLOW_THREADS std::vector<double> owner(worker_of.begin(), worker_of.end());
    std::vector<double> seen(n);
    for (std::size_t i = 0; i < n; ++i) seen[i] = visits[i].load();
    std::vector<std::thread::id> distinct;
    for (const auto& id : thread_of)
        if (id != std::thread::id() &&
            std::find(distinct.begin(), distinct.end(), id) == distinct.end())
            distinct.push_back(id);
    const bool caller_first = thread_of[0] == std::thread::id() || thread_of[0] == caller;
    return Py_BuildValue("(NNnO)", to_list(owner), to_list(seen),
                         static_cast<Py_ssize_t>(distinct.size()),
                         caller_first ? Py_True : Py_False);
}

// parallel_for_overhead(threads, repeats) -> mean seconds of one parallel_for over `threads`
// items that do nothing (the cost of starting and joining the workers)
PyObject* probe_parallel_for_overhead(PyObject*, PyObject* args) {
    unsigned int threads = 1;
    int repeats = 1;
    if (!PyArg_ParseTuple(args, "Ii", &threads, &repeats)) return nullptr;
    if (repeats < 1) repeats = 1;
    std::atomic<std::size_t> sink{0};
    double seconds = 0.0;
    Py_BEGIN_ALLOW_THREADS const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < repeats; ++r)
        model::parallel_for(threads, threads,
                            [&](unsigned, std::size_t i) { sink.fetch_add(i + 1); });
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Py_END_ALLOW_THREADS return PyFloat_FromDouble(seconds / repeats);
}

PyCFunction with_keywords(PyCFunctionWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

const PyMethodDef* exact_methods() {
    static PyMethodDef methods[] = {
        {"matrix_exponential", probe_matrix_exponential, METH_VARARGS,
         "matrix_exponential(a) -> exp(a), 25 entries row-major"},
        {"matrix_exponential_times", probe_matrix_exponential_times, METH_VARARGS,
         "matrix_exponential_times(a, v) -> exp(a) v"},
        {"rate_matrix", probe_rate_matrix, METH_VARARGS,
         "rate_matrix(params, photon_frequency, intensity) -> A, 25 entries row-major"},
        {"seed_curve", with_keywords(probe_seed_curve), METH_VARARGS | METH_KEYWORDS,
         "seed_curve(positions_mm, energy, params, populations, wavelength, w0, tau, "
         "sample_width, M2=1.0, stepper='lsoda', t_slices=10, z_slices=8, "
         "normalisation='ends', threads=1) -> (curve, tally)"},
        {"parallel_for_shares", probe_parallel_for_shares, METH_VARARGS,
         "parallel_for_shares(count, threads) -> (worker of each index, visits of each index, "
         "distinct threads, worker 0 on the calling thread)"},
        {"parallel_for_overhead", probe_parallel_for_overhead, METH_VARARGS,
         "parallel_for_overhead(threads, repeats) -> seconds per empty parallel_for"},
        {nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace plix::testing
