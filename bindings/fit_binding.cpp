// plix._core's fit: one call runs every start of a least-squares fit without the
// interpreter lock, polling for Ctrl-C between residual evaluations.
#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/model_conversion.hpp"
#include "bindings/registration.hpp"
#include "engine/curve_fit.hpp"
#include "engine/parameter_transform.hpp"
#include "model/model_layout.hpp"

namespace nb = nanobind;

namespace plix::bindings {
namespace {

using InputVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Signals are looked at no more often than this: taking the lock costs the fit's threads.
constexpr std::chrono::milliseconds kSignalPollInterval{50};

std::vector<double> copy_of(const InputVector& values) {
    return {values.data(), values.data() + values.shape(0)};
}

// The data of one dataset, owned here so that the fit needs no Python object.
struct OwnedDataset {
    std::vector<double> positions_mm;
    std::vector<double> measured;
    std::vector<double> sigma;
    double energy = 0.0;
};

// Ctrl-C: the hook takes the lock briefly on the main thread and keeps a raised exception
// until the fit has returned.
struct SignalPoll {
    bool main_thread = false;
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    bool raised = false;

    static bool stop_requested(void* context) {
        auto& poll = *static_cast<SignalPoll*>(context);
        if (poll.raised) return true;
        if (!poll.main_thread) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - poll.last < kSignalPollInterval) return false;
        poll.last = now;
        const nb::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
            PyErr_Fetch(&poll.type, &poll.value, &poll.traceback);
            poll.raised = true;
        }
        return poll.raised;
    }

    // With the lock held: raises what the hook caught.
    void rethrow() {
        PyErr_Restore(type, value, traceback);
        type = value = traceback = nullptr;
        throw nb::python_error();
    }
};

bool on_main_thread() {
    const nb::module_ threading = nb::module_::import_("threading");
    return threading.attr("current_thread")().is(threading.attr("main_thread")());
}

engine::Centering centering_from(const std::string& center) {
    if (center == "extremum") return engine::Centering::extremum;
    if (center == "none") return engine::Centering::none;
    if (center == "fit") return engine::Centering::fit;
    throw nb::value_error("center must be 'extremum', 'none' or 'fit'");
}

nb::list nested(const std::vector<std::vector<double>>& rows) {
    nb::list out;
    for (const auto& row : rows) out.append(nb::cast(row));
    return out;
}

nb::tuple grid_tuple(const model::PhysicalGrid& grid) {
    return nb::make_tuple(grid.time_steps, grid.slices, grid.radial_nodes);
}

nb::list starts_list(const engine::CurveFitResult& r) {
    nb::list out;
    for (const auto& s : r.starts) {
        nb::dict d;
        d["start"] = nb::cast(s.start);
        d["values"] = nb::cast(s.values);
        d["chisqr"] = s.chisqr;
        d["nfev"] = s.nfev;
        d["info"] = s.info;
        d["status"] = engine::status_name(s.info);
        d["success"] = engine::status_success(s.info);
        out.append(d);
    }
    return out;
}

nb::dict result_dict(const engine::CurveFitResult& r, bool physical) {
    nb::dict d;
    d["params"] = nb::cast(r.params);
    d["values"] = nb::cast(r.values);
    d["covariance"] = nb::cast(r.covariance);
    d["stderrs"] = nb::cast(r.stderrs);
    d["correlation"] = nb::cast(r.correlation);
    d["covariance_well_conditioned"] = r.covariance_well_conditioned;
    d["reciprocal_condition"] = r.reciprocal_condition;
    d["chisqr"] = r.chisqr;
    d["redchi"] = r.redchi;
    d["ndata"] = r.ndata;
    d["nvarys"] = r.nvarys;
    d["nfree"] = r.dof;
    d["nfev"] = r.nfev;
    d["total_nfev"] = r.total_nfev;
    d["info"] = r.info;
    d["status"] = engine::status_name(r.info);
    d["message"] = engine::status_message(r.info);
    d["success"] = r.success;
    d["absolute_sigma"] = r.absolute_sigma;
    d["best_start"] = r.best_start;
    d["starts"] = starts_list(r);
    d["position_shifts_mm"] = nb::cast(r.position_shifts_mm);
    d["best_fit"] = nested(r.best_fit);
    d["residuals"] = nested(r.residuals);
    d["start_curve_span"] = nb::cast(r.start_curve_span);
    if (physical) {
        d["grid"] = grid_tuple(r.grid);
        d["error_estimate"] = r.error_estimate;
        d["solution_grid"] = grid_tuple(r.solution_grid);
        d["solution_error_estimate"] = r.solution_error_estimate;
    }
    d["trials"] = nested(r.trials);
    return d;
}

// Arguments are checked by plix.fit; here only what the engine itself needs to hold.
nb::dict curve_fit(nb::handle setup, nb::handle model, const model::ParameterVector& start,
                   const std::vector<std::size_t>& free_index,
                   const std::vector<double>& free_min, const std::vector<double>& free_max,
                   const std::vector<InputVector>& positions_mm,
                   const std::vector<InputVector>& measured,
                   const std::vector<std::optional<InputVector>>& sigma,
                   const std::vector<double>& energies, const std::string& center, int n_starts,
                   int threads, double ftol, double xtol, double gtol, int max_nfev,
                   double epsfcn, double factor, bool record_trials) {
    engine::CurveFitProblem problem;
    problem.model = model_from_python(model);
    problem.setup = setup_from_python(setup);
    check_parameters(start);
    problem.start = start;
    problem.threads = check_threads(threads);
    problem.centering = centering_from(center);
    problem.n_starts = n_starts;
    problem.settings = {ftol, xtol, gtol, max_nfev, epsfcn, factor};
    problem.record_trials = record_trials;
    if (free_index.size() != free_min.size() || free_index.size() != free_max.size())
        throw nb::value_error("free_index, free_min and free_max differ in length");
    for (std::size_t i = 0; i < free_index.size(); ++i) {
        if (free_index[i] >= model::parameter_count)
            throw nb::value_error("free_index out of range");
        problem.free.push_back({free_index[i], free_min[i], free_max[i]});
    }
    const std::size_t nd = positions_mm.size();
    if (measured.size() != nd || sigma.size() != nd || energies.size() != nd || nd == 0)
        throw nb::value_error("datasets: positions, transmittance, sigma and energies differ");
    std::vector<OwnedDataset> owned(nd);
    for (std::size_t d = 0; d < nd; ++d) {
        owned[d].positions_mm = copy_of(positions_mm[d]);
        owned[d].measured = copy_of(measured[d]);
        if (sigma[d]) owned[d].sigma = copy_of(*sigma[d]);
        owned[d].energy = energies[d];
        check_positions(owned[d].positions_mm, problem.model);
        check_energy(owned[d].energy, "energies_J");
        if (owned[d].measured.size() != owned[d].positions_mm.size() ||
            (!owned[d].sigma.empty() && owned[d].sigma.size() != owned[d].measured.size()))
            throw nb::value_error("datasets: lengths differ within a dataset");
        problem.datasets.push_back(
            {owned[d].positions_mm, owned[d].measured, owned[d].sigma, owned[d].energy});
    }

    SignalPoll poll;
    poll.main_thread = on_main_thread();
    problem.interrupt = {&SignalPoll::stop_requested, &poll};
    const bool physical = std::holds_alternative<model::PhysicalModel>(problem.model);
    std::optional<engine::CurveFitResult> result;
    {
        const nb::gil_scoped_release unlocked;
        result = engine::curve_fit(problem);
    }
    if (poll.raised) poll.rethrow();
    if (result->interrupted) throw std::runtime_error("the fit was stopped");
    return result_dict(*result, physical);
}

}  // namespace

void register_fit(nb::module_& m) {
    m.attr("fit_internal_offset") = engine::ParameterTransform::internal_offset;
    m.def("curve_fit", &curve_fit, nb::arg("setup"), nb::arg("model"), nb::arg("start"),
          nb::arg("free_index"), nb::arg("free_min"), nb::arg("free_max"),
          nb::arg("positions_mm"), nb::arg("measured"), nb::arg("sigma"), nb::arg("energies"),
          nb::arg("center"), nb::arg("n_starts"), nb::arg("threads"), nb::arg("ftol"),
          nb::arg("xtol"), nb::arg("gtol"), nb::arg("max_nfev"), nb::arg("epsfcn"),
          nb::arg("factor"), nb::arg("record_trials") = false,
          "Least-squares fit of the model to the datasets; see plix.fit.");
}

}  // namespace plix::bindings
