// Propagator part of _plix_testing: the intensity propagators of a level scheme built and
// used at given intensities, a table's summary and build time, and a micro-benchmark of the
// physical column's work per cell with matrix_exponential and with the propagators.
// max_degree, tolerance and max_pieces default to PropagatorSettings' defaults.
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/level_dispatch.hpp"
#include "model/level_scheme.hpp"
#include "model/matrix_exponential.hpp"
#include "model/propagator.hpp"
#include "model/scheme_parameters.hpp"
#include "model/scheme_presets.hpp"
#include "model/scheme_rates.hpp"
#include "tests/binding/probe_support.hpp"
#include "tests/binding/probes.hpp"

namespace plix::testing {
namespace {

using Clock = std::chrono::steady_clock;

bool parse_kind(const char* name, model::ProcessKind& kind) {
    const std::string s(name);
    if (s == "one_photon")
        kind = model::ProcessKind::one_photon;
    else if (s == "two_photon")
        kind = model::ProcessKind::two_photon;
    else if (s == "decay")
        kind = model::ProcessKind::decay;
    else {
        PyErr_Format(PyExc_ValueError,
                     "process kind must be 'one_photon', 'two_photon' or 'decay', got '%s'", name);
        return false;
    }
    return true;
}

// A scheme given as a preset's name or as (levels, [(kind, from, to, parameter), ...]).
bool parse_scheme(PyObject* obj, model::LevelScheme& scheme) {
    if (PyUnicode_Check(obj)) {
        const char* name = PyUnicode_AsUTF8(obj);
        if (name == nullptr) return false;
        try {
            scheme = model::scheme_preset(name);
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
            return false;
        }
        return true;
    }
    Py_ssize_t levels = 0;
    PyObject* processes = nullptr;
    if (!PyArg_ParseTuple(obj, "nO:scheme", &levels, &processes)) return false;
    PyObject* seq = PySequence_Fast(processes, "processes must be a sequence");
    if (seq == nullptr) return false;
    scheme = {};
    scheme.levels = static_cast<std::size_t>(std::max<Py_ssize_t>(levels, 0));
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(seq); ++i) {
        const char* kind = nullptr;
        const char* name = nullptr;
        Py_ssize_t from = 0, to = 0;
        model::Process p;
        ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq, i), "snns:process", &kind, &from, &to,
                              &name) &&
             parse_kind(kind, p.kind);
        if (!ok) break;
        if (from < 0 || to < 0) {
            PyErr_SetString(PyExc_ValueError, "process levels must be >= 0");
            ok = false;
            break;
        }
        p.from = static_cast<std::size_t>(from);
        p.to = static_cast<std::size_t>(to);
        p.parameter = name;
        scheme.processes.push_back(p);
    }
    Py_DECREF(seq);
    if (!ok) return false;
    if (const auto problem = scheme.problem()) {
        PyErr_SetString(PyExc_ValueError, problem->c_str());
        return false;
    }
    return true;
}

// The scheme's rates from its parameters (in the order of parameter_names()).
struct RatesArguments {
    model::LevelScheme scheme;
    std::vector<std::size_t> index;
    Doubles params;
    std::optional<model::SchemeRates> rates;

    bool load(PyObject* scheme_obj, PyObject* params_obj, double photon_flux_factor) {
        if (!parse_scheme(scheme_obj, scheme)) return false;
        if (!params.load(params_obj, "params must be a sequence of numbers")) return false;
        const std::size_t expected = scheme.parameter_names().size();
        if (params.size() != expected) {
            PyErr_Format(PyExc_ValueError, "params needs %zu entries (parameter_names order), got %zu",
                         expected, params.size());
            return false;
        }
        index = model::process_parameter_indices(scheme);
        rates.emplace(scheme, index, params.span(), photon_flux_factor);
        return true;
    }
};

bool load_settings(std::size_t max_degree, double tolerance, std::size_t max_pieces,
                   model::PropagatorSettings& settings) {
    settings = {.max_degree = max_degree, .tolerance = tolerance, .max_pieces = max_pieces};
    if (const auto problem = settings.problem()) {
        PyErr_SetString(PyExc_ValueError, problem->c_str());
        return false;
    }
    return true;
}

const char* method_name(model::StepMethod m) {
    switch (m) {
        case model::StepMethod::constant:
            return "constant";
        case model::StepMethod::series:
            return "series";
        case model::StepMethod::direct:
            break;
    }
    return "direct";
}

PyObject* summary_dict(const model::StepSummary& s,
                       std::span<const model::PropagatorPiece> pieces) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(pieces.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        const model::PropagatorPiece& piece = pieces[p];
        PyObject* item = Py_BuildValue("(ddnd)", piece.lower, piece.upper,
                                       static_cast<Py_ssize_t>(piece.degree), piece.bound);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(p), item);
    }
    return Py_BuildValue("{sssdsdsdsNsnsd}", "method", method_name(s.method), "half_step",
                         s.half_step, "max_intensity", s.max_intensity, "series_lower",
                         s.series_lower, "pieces", list, "exponentials",
                         static_cast<Py_ssize_t>(s.exponentials), "largest_bound",
                         s.largest_bound);
}

PyObject* matrix_list(const std::vector<std::vector<double>>& matrices) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(matrices.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t m = 0; m < matrices.size(); ++m) {
        PyObject* item = to_list(matrices[m]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(m), item);
    }
    return list;
}

// The arguments of a whole table: scheme, parameters, flux factor, and per step the half
// step and the largest intensity.
struct TableArguments {
    RatesArguments r;
    Doubles half_steps, max_intensities;
    model::PropagatorSettings settings;

    bool load(PyObject* scheme_obj, PyObject* params_obj, double flux, PyObject* steps_obj,
              PyObject* largest_obj, Py_ssize_t max_degree, double tolerance,
              Py_ssize_t max_pieces) {
        return r.load(scheme_obj, params_obj, flux) &&
               half_steps.load(steps_obj, "half_steps must be a sequence of numbers") &&
               max_intensities.load(largest_obj, "max_intensities must be a sequence of numbers") &&
               load_settings(static_cast<std::size_t>(std::max<Py_ssize_t>(max_degree, 0)),
                             tolerance,
                             static_cast<std::size_t>(std::max<Py_ssize_t>(max_pieces, 0)),
                             settings);
    }
};

// propagator_matrices(scheme, params, photon_flux_factor, half_steps, max_intensities, step,
//                     intensities, max_degree, tolerance, max_pieces, threads=1)
//   -> {"propagator": [exp(h A(I)) row-major], "pade": [matrix_exponential(h A(I))],
//       "scaled_rates": [h A(I)], "levels": N, and the summary of step `step`}
// The table is built for every step; the matrices are those of step `step` at each of the
// intensities. scheme is a preset's name or (levels, [(kind, from, to, parameter), ...]);
// params follow the scheme's parameter_names().
PyObject* probe_propagator_matrices(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"scheme",      "params",     "photon_flux_factor",
                                     "half_steps",  "max_intensities", "step",
                                     "intensities", "max_degree", "tolerance",
                                     "max_pieces",  "threads",    nullptr};
    PyObject *scheme_obj = nullptr, *params_obj = nullptr, *steps_obj = nullptr,
             *largest_obj = nullptr, *intensities_obj = nullptr;
    const model::PropagatorSettings defaults;
    double flux = 0.0, tolerance = defaults.tolerance;
    Py_ssize_t step_index = 0, max_degree = static_cast<Py_ssize_t>(defaults.max_degree),
               max_pieces = static_cast<Py_ssize_t>(defaults.max_pieces);
    unsigned threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOdOOnO|ndnI", const_cast<char**>(keywords),
                                     &scheme_obj, &params_obj, &flux, &steps_obj, &largest_obj,
                                     &step_index, &intensities_obj, &max_degree, &tolerance,
                                     &max_pieces, &threads))
        return nullptr;
    TableArguments a;
    Doubles intensities;
    if (!a.load(scheme_obj, params_obj, flux, steps_obj, largest_obj, max_degree, tolerance,
                max_pieces) ||
        !intensities.load(intensities_obj, "intensities must be a sequence of numbers"))
        return nullptr;
    if (step_index < 0 || static_cast<std::size_t>(step_index) >= a.half_steps.size()) {
        PyErr_Format(PyExc_ValueError, "step must be in 0 .. %zu, got %zd",
                     a.half_steps.size() - 1, step_index);
        return nullptr;
    }
    const std::size_t j = static_cast<std::size_t>(step_index);
    const double half_step = a.half_steps.span()[j];
    std::vector<std::vector<double>> series, pade, scaled;
    PyObject* summary = nullptr;
    try {
        model::with_levels(a.r.scheme.levels, [&]<std::size_t N>() {
            const model::PropagatorTable<N> table(*a.r.rates, a.half_steps.span(),
                                                  a.max_intensities.span(), a.settings, threads);
            const model::StepPropagator<N> step = table.step(j);
            for (const double intensity : intensities.span()) {
                model::Matrix<N> m;
                step.matrix(intensity, m);
                series.emplace_back(m.begin(), m.end());
                model::Matrix<N> rates;
                a.r.rates->template rate_matrix<N>(intensity, rates);
                for (double& entry : rates) entry *= half_step;
                scaled.emplace_back(rates.begin(), rates.end());
                const model::Matrix<N> e = model::matrix_exponential<N>(rates);
                pade.emplace_back(e.begin(), e.end());
            }
            summary = summary_dict(table.summary(j), table.pieces(j));
        });
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    if (summary == nullptr) return nullptr;
    PyObject* lists[3] = {matrix_list(series), matrix_list(pade), matrix_list(scaled)};
    const char* names[3] = {"propagator", "pade", "scaled_rates"};
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        ok = ok && lists[i] != nullptr && PyDict_SetItemString(summary, names[i], lists[i]) == 0;
        Py_XDECREF(lists[i]);
    }
    PyObject* levels = PyLong_FromSize_t(a.r.scheme.levels);
    ok = ok && levels != nullptr && PyDict_SetItemString(summary, "levels", levels) == 0;
    Py_XDECREF(levels);
    if (!ok) {
        Py_DECREF(summary);
        return nullptr;
    }
    return summary;
}

// propagator_table(scheme, params, photon_flux_factor, half_steps, max_intensities,
//                  max_degree, tolerance, max_pieces, threads=1, repeats=1)
//   -> (seconds of the fastest build, [summary of each step])
PyObject* probe_propagator_table(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"scheme",     "params",    "photon_flux_factor",
                                     "half_steps", "max_intensities", "max_degree",
                                     "tolerance",  "max_pieces", "threads",
                                     "repeats",    nullptr};
    PyObject *scheme_obj = nullptr, *params_obj = nullptr, *steps_obj = nullptr,
             *largest_obj = nullptr;
    const model::PropagatorSettings defaults;
    double flux = 0.0, tolerance = defaults.tolerance;
    Py_ssize_t max_degree = static_cast<Py_ssize_t>(defaults.max_degree),
               max_pieces = static_cast<Py_ssize_t>(defaults.max_pieces);
    unsigned threads = 1;
    int repeats = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOdOO|ndnIi", const_cast<char**>(keywords),
                                     &scheme_obj, &params_obj, &flux, &steps_obj, &largest_obj,
                                     &max_degree, &tolerance, &max_pieces, &threads, &repeats))
        return nullptr;
    TableArguments a;
    if (!a.load(scheme_obj, params_obj, flux, steps_obj, largest_obj, max_degree, tolerance,
                max_pieces))
        return nullptr;
    double fastest = 0.0;
    PyObject* list = nullptr;
    try {
        model::with_levels(a.r.scheme.levels, [&]<std::size_t N>() {
            std::optional<model::PropagatorTable<N>> table;
            for (int k = 0; k < std::max(repeats, 1); ++k) {
                table.reset();
                const auto start = Clock::now();
                table.emplace(*a.r.rates, a.half_steps.span(), a.max_intensities.span(),
                              a.settings, threads);
                const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                fastest = k == 0 ? seconds : std::min(fastest, seconds);
            }
            list = PyList_New(static_cast<Py_ssize_t>(table->steps()));
            if (list == nullptr) return;
            for (std::size_t j = 0; j < table->steps(); ++j) {
                PyObject* item = summary_dict(table->summary(j), table->pieces(j));
                if (item == nullptr) {
                    Py_CLEAR(list);
                    return;
                }
                PyList_SET_ITEM(list, static_cast<Py_ssize_t>(j), item);
            }
        });
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    if (list == nullptr) return nullptr;
    return Py_BuildValue("(dN)", fastest, list);
}

// The column's work for one cell over one step: the half-step propagator at the slice's
// intensity, the midpoint and end states, and the midpoint absorption.
template <std::size_t N>
double advance(const model::Matrix<N>& half, double* n, const model::SchemeRates& rates) {
    model::Vector<N> mid{};
    for (std::size_t row = 0; row < N; ++row) {
        double sum = 0.0;
        for (std::size_t col = 0; col < N; ++col) sum += half[row * N + col] * n[col];
        mid[row] = sum;
    }
    for (std::size_t row = 0; row < N; ++row) {
        double sum = 0.0;
        for (std::size_t col = 0; col < N; ++col) sum += half[row * N + col] * mid[col];
        n[row] = sum;
    }
    return rates.absorption(mid.data(), 0.0);
}

// propagator_cell_benchmark(scheme, params, photon_flux_factor, half_steps, max_intensities,
//                           fractions, populations, max_degree, tolerance,
//                           max_pieces, repeats=3)
//   -> {"pade_ns", "propagator_ns": per cell, fastest of `repeats`; "build_seconds";
//       "cells"; "largest_difference": of the final populations, over their sum;
//       "absorbance_difference": largest relative difference of a cell's sum over the steps
//       of the midpoint absorption times the step}
// Each cell c starts from `populations` and meets intensity fractions[c] * max_intensities[j]
// in step j; both paths step every cell through every step, one path after the other.
PyObject* probe_propagator_cell_benchmark(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"scheme",     "params",     "photon_flux_factor",
                                     "half_steps", "max_intensities", "fractions",
                                     "populations", "max_degree", "tolerance",
                                     "max_pieces", "repeats",    nullptr};
    PyObject *scheme_obj = nullptr, *params_obj = nullptr, *steps_obj = nullptr,
             *largest_obj = nullptr, *fractions_obj = nullptr, *populations_obj = nullptr;
    const model::PropagatorSettings defaults;
    double flux = 0.0, tolerance = defaults.tolerance;
    Py_ssize_t max_degree = static_cast<Py_ssize_t>(defaults.max_degree),
               max_pieces = static_cast<Py_ssize_t>(defaults.max_pieces);
    int repeats = 3;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOdOOOO|ndni", const_cast<char**>(keywords),
                                     &scheme_obj, &params_obj, &flux, &steps_obj, &largest_obj,
                                     &fractions_obj, &populations_obj, &max_degree, &tolerance,
                                     &max_pieces, &repeats))
        return nullptr;
    TableArguments a;
    Doubles fractions, populations;
    if (!a.load(scheme_obj, params_obj, flux, steps_obj, largest_obj, max_degree, tolerance,
                max_pieces) ||
        !fractions.load(fractions_obj, "fractions must be a sequence of numbers") ||
        !populations.load(populations_obj, "populations must be a sequence of numbers"))
        return nullptr;
    if (populations.size() != a.r.scheme.levels) {
        PyErr_Format(PyExc_ValueError, "populations needs %zu entries, got %zu",
                     a.r.scheme.levels, populations.size());
        return nullptr;
    }
    const std::size_t cells = fractions.size();
    const std::size_t steps = a.half_steps.size();
    double pade_seconds = 0.0, series_seconds = 0.0, build_seconds = 0.0, difference = 0.0;
    double absorbance_difference = 0.0;
    try {
        model::with_levels(a.r.scheme.levels, [&]<std::size_t N>() {
            const model::SchemeRates& rates = *a.r.rates;
            auto start = Clock::now();
            const model::PropagatorTable<N> table(rates, a.half_steps.span(),
                                                  a.max_intensities.span(), a.settings);
            build_seconds = std::chrono::duration<double>(Clock::now() - start).count();
            std::vector<double> pade_state(cells * N), series_state(cells * N);
            // Each cell's sum of alpha dt / 2: what the column's attenuation is made of.
            std::vector<double> pade_absorbance(cells), series_absorbance(cells);
            const auto reset = [&](std::vector<double>& state) {
                for (std::size_t c = 0; c < cells; ++c)
                    std::copy(populations.span().begin(), populations.span().end(),
                              state.begin() + static_cast<std::ptrdiff_t>(c * N));
            };
            for (int k = 0; k < std::max(repeats, 1); ++k) {
                reset(pade_state);
                std::fill(pade_absorbance.begin(), pade_absorbance.end(), 0.0);
                start = Clock::now();
                for (std::size_t j = 0; j < steps; ++j) {
                    const double h = a.half_steps.span()[j];
                    const double largest = a.max_intensities.span()[j];
                    for (std::size_t c = 0; c < cells; ++c) {
                        model::Matrix<N> m;
                        rates.template rate_matrix<N>(fractions.span()[c] * largest, m);
                        for (double& entry : m) entry *= h;
                        const model::Matrix<N> half = model::matrix_exponential<N>(m);
                        pade_absorbance[c] +=
                            h * advance<N>(half, pade_state.data() + c * N, rates);
                    }
                }
                const double p = std::chrono::duration<double>(Clock::now() - start).count();
                pade_seconds = k == 0 ? p : std::min(pade_seconds, p);

                reset(series_state);
                std::fill(series_absorbance.begin(), series_absorbance.end(), 0.0);
                start = Clock::now();
                for (std::size_t j = 0; j < steps; ++j) {
                    const model::StepPropagator<N> step = table.step(j);
                    const double h = a.half_steps.span()[j];
                    const double largest = a.max_intensities.span()[j];
                    for (std::size_t c = 0; c < cells; ++c) {
                        model::Matrix<N> half;
                        step.matrix(fractions.span()[c] * largest, half);
                        series_absorbance[c] +=
                            h * advance<N>(half, series_state.data() + c * N, rates);
                    }
                }
                const double s = std::chrono::duration<double>(Clock::now() - start).count();
                series_seconds = k == 0 ? s : std::min(series_seconds, s);
            }
            for (std::size_t c = 0; c < cells; ++c) {
                double diff = 0.0, total = 0.0;
                for (std::size_t l = 0; l < N; ++l) {
                    diff += std::abs(pade_state[c * N + l] - series_state[c * N + l]);
                    total += std::abs(pade_state[c * N + l]);
                }
                difference = std::max(difference, diff / total);
                absorbance_difference =
                    std::max(absorbance_difference,
                             std::abs(pade_absorbance[c] - series_absorbance[c]) /
                                 pade_absorbance[c]);
            }
        });
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    const double per_cell = 1e9 / static_cast<double>(std::max<std::size_t>(cells * steps, 1));
    return Py_BuildValue("{sdsdsdsnsdsd}", "pade_ns", pade_seconds * per_cell, "propagator_ns",
                         series_seconds * per_cell, "build_seconds", build_seconds, "cells",
                         static_cast<Py_ssize_t>(cells * steps), "largest_difference", difference,
                         "absorbance_difference", absorbance_difference);
}

PyCFunction with_keywords(PyCFunctionWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

const PyMethodDef* propagator_methods() {
    static PyMethodDef methods[] = {
        {"propagator_matrices", with_keywords(probe_propagator_matrices),
         METH_VARARGS | METH_KEYWORDS,
         "propagator_matrices(scheme, params, photon_flux_factor, half_steps, max_intensities, "
         "step, intensities, max_degree, tolerance, max_pieces, threads=1) -> "
         "dict"},
        {"propagator_table", with_keywords(probe_propagator_table), METH_VARARGS | METH_KEYWORDS,
         "propagator_table(scheme, params, photon_flux_factor, half_steps, max_intensities, "
         "max_degree, tolerance, max_pieces, threads=1, repeats=1) -> "
         "(seconds, [step summaries])"},
        {"propagator_cell_benchmark", with_keywords(probe_propagator_cell_benchmark),
         METH_VARARGS | METH_KEYWORDS,
         "propagator_cell_benchmark(scheme, params, photon_flux_factor, half_steps, "
         "max_intensities, fractions, populations, max_degree, tolerance, "
         "max_pieces, repeats=3) -> dict of ns per cell"},
        {nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace plix::testing
