// plix._core's fit: the problem as bound classes, one call that runs every start without the
// interpreter lock (polling for Ctrl-C between residual evaluations), and the outcome.
#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/cancellation.hpp"
#include "bindings/python_error.hpp"
#include "bindings/registration.hpp"
#include "engine/curve_fit.hpp"
#include "engine/parameter_transform.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace plix::bindings {
namespace {

using InputVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

std::vector<double> copy_of(const InputVector& values) {
    return {values.data(), values.data() + values.shape(0)};
}

// One dataset, owned here so that the fit needs no Python object.
struct FitDataset {
    std::vector<double> positions_mm;
    std::vector<double> measured;
    std::vector<double> sigma;  // empty: uniform weights
    double energy = 0.0;
    std::vector<double> point_energies;  // empty: `energy` at every point
    double aperture = model::open_aperture;
};

// Everything plix.fit hands over; checked by plix.fit.
struct FitRequest {
    std::shared_ptr<model::CurveModel> model;
    std::optional<model::Setup> setup;
    std::vector<double> start;
    std::vector<engine::FreeParameter> free;
    std::vector<FitDataset> datasets;
    std::string center = "extremum";
    int n_starts = 1;
    int threads = 1;
    engine::FitSettings settings;
    nb::object iter_cb = nb::none();  // iter_cb(values, nfev, chisqr) -> stop?
    nb::object cancel = nb::none();   // cancel() raises to stop the fit
};

// The user's iteration callback, called with the lock held; an exception it raises stops the
// fit and is raised again afterwards.
struct IterationCallback {
    nb::handle function;
    long evaluations = 0;
    std::optional<PythonCallbackError> raised;

    static bool observe(void* context, std::span<const double> values, double chisqr) {
        auto& cb = *static_cast<IterationCallback*>(context);
        ++cb.evaluations;
        if (cb.raised) return true;
        const nb::gil_scoped_acquire gil;
        try {
            nb::list free;
            for (const double v : values) free.append(v);
            return nb::cast<bool>(nb::bool_(cb.function(free, cb.evaluations, chisqr)));
        } catch (nb::python_error& e) {
            e.restore();
            cb.raised.emplace();
            return true;
        }
    }
};

engine::Centering centering_from(const std::string& center) {
    if (center == "extremum") return engine::Centering::extremum;
    if (center == "none") return engine::Centering::none;
    if (center == "fit") return engine::Centering::fit;
    throw nb::value_error("center must be 'extremum', 'none' or 'fit'");
}

engine::CurveFitResult curve_fit(const FitRequest& request) {
    if (!request.model || !request.setup) throw nb::value_error("model and setup are required");
    engine::CurveFitProblem problem;
    problem.model = request.model;
    problem.setup = *request.setup;
    problem.start = request.start;
    problem.free = request.free;
    problem.centering = centering_from(request.center);
    problem.n_starts = request.n_starts;
    problem.threads = static_cast<unsigned>(request.threads < 1 ? 1 : request.threads);
    problem.settings = request.settings;
    for (const FitDataset& d : request.datasets) {
        if (d.measured.size() != d.positions_mm.size() ||
            (!d.sigma.empty() && d.sigma.size() != d.measured.size()) ||
            (!d.point_energies.empty() && d.point_energies.size() != d.measured.size()))
            throw nb::value_error("datasets: lengths differ within a dataset");
        problem.datasets.push_back(
            {d.positions_mm, d.measured, d.sigma, d.energy, d.point_energies, d.aperture});
    }

    PythonCancellation stop(request.cancel);
    problem.cancellation = &stop.token();
    IterationCallback callback{request.iter_cb, 0, std::nullopt};
    if (!request.iter_cb.is_none()) problem.observer = {&IterationCallback::observe, &callback};
    std::optional<engine::CurveFitResult> result;
    try {
        const nb::gil_scoped_release unlocked;
        result = engine::curve_fit(problem);
    } catch (const model::Interrupted&) {
        stop.raise_stop();
    } catch (const PythonCallbackError& e) {
        e.restore();
        throw nb::python_error();
    } catch (const std::invalid_argument& e) {
        throw nb::value_error(e.what());
    }
    if (callback.raised) {
        callback.raised->restore();
        throw nb::python_error();
    }
    return std::move(*result);
}

}  // namespace

void register_fit(nb::module_& m) {
    m.attr("fit_internal_offset") = engine::ParameterTransform::internal_offset;

    nb::class_<FitDataset>(m, "FitDataset", "One dataset of a fit (see plix.Dataset).")
        .def(
            "__init__",
            [](FitDataset* d, const InputVector& positions_mm, const InputVector& measured,
               std::optional<InputVector> sigma, double energy,
               std::optional<InputVector> point_energies, double aperture) {
                new (d) FitDataset{copy_of(positions_mm),
                                   copy_of(measured),
                                   sigma ? copy_of(*sigma) : std::vector<double>{},
                                   energy,
                                   point_energies ? copy_of(*point_energies) : std::vector<double>{},
                                   aperture};
            },
            nb::kw_only(), "positions_mm"_a, "measured"_a, "sigma"_a.none(), "energy"_a,
            "point_energies"_a.none() = nb::none(), "aperture"_a = model::open_aperture);

    nb::class_<engine::FreeParameter>(m, "FreeParameter", "A parameter the fit varies.")
        .def(nb::init<>())
        .def(
            "__init__",
            [](engine::FreeParameter* f, std::size_t index, double min, double max) {
                new (f) engine::FreeParameter{index, min, max};
            },
            "index"_a, "min"_a, "max"_a)
        .def_ro("index", &engine::FreeParameter::index)
        .def_ro("min", &engine::FreeParameter::min)
        .def_ro("max", &engine::FreeParameter::max);

    nb::class_<engine::FitSettings>(m, "FitSettings", "MINPACK lmdif's controls.")
        .def(nb::init<>())
        .def_rw("ftol", &engine::FitSettings::ftol)
        .def_rw("xtol", &engine::FitSettings::xtol)
        .def_rw("gtol", &engine::FitSettings::gtol)
        .def_rw("max_nfev", &engine::FitSettings::max_nfev)
        .def_rw("epsfcn", &engine::FitSettings::epsfcn)
        .def_rw("factor", &engine::FitSettings::factor);

    nb::class_<FitRequest>(m, "FitRequest", "Everything a fit needs (made by plix.fit).")
        .def(nb::init<>())
        .def_rw("model", &FitRequest::model)
        .def_rw("setup", &FitRequest::setup)
        .def_rw("start", &FitRequest::start)
        .def_rw("free", &FitRequest::free)
        .def_rw("datasets", &FitRequest::datasets)
        .def_rw("center", &FitRequest::center)
        .def_rw("n_starts", &FitRequest::n_starts)
        .def_rw("threads", &FitRequest::threads)
        .def_rw("settings", &FitRequest::settings)
        .def_rw("iter_cb", &FitRequest::iter_cb)
        .def_rw("cancel", &FitRequest::cancel);

    nb::class_<model::Discretisation>(m, "Discretisation", "A grid and its error estimate.")
        .def_ro("grid", &model::Discretisation::grid)
        .def_ro("error_estimate", &model::Discretisation::error_estimate);

    nb::class_<engine::StartOutcome>(m, "StartOutcome", "Where one start of a fit ended.")
        .def_ro("start", &engine::StartOutcome::start)
        .def_ro("values", &engine::StartOutcome::values)
        .def_ro("chisqr", &engine::StartOutcome::chisqr)
        .def_ro("nfev", &engine::StartOutcome::nfev)
        .def_ro("info", &engine::StartOutcome::info);

    using R = engine::CurveFitResult;
    nb::class_<R>(m, "FitOutcome", "What the engine found (wrapped by plix.FitResult).")
        .def_ro("params", &R::params)
        .def_ro("values", &R::values)
        .def_ro("covariance", &R::covariance)
        .def_ro("stderrs", &R::stderrs)
        .def_ro("correlation", &R::correlation)
        .def_ro("covariance_well_conditioned", &R::covariance_well_conditioned)
        .def_ro("reciprocal_condition", &R::reciprocal_condition)
        .def_ro("chisqr", &R::chisqr)
        .def_ro("redchi", &R::redchi)
        .def_ro("ndata", &R::ndata)
        .def_ro("nvarys", &R::nvarys)
        .def_ro("nfree", &R::dof)
        .def_ro("nfev", &R::nfev)
        .def_ro("total_nfev", &R::total_nfev)
        .def_ro("info", &R::info)
        .def_ro("success", &R::success)
        .def_ro("aborted", &R::aborted)
        .def_ro("absolute_sigma", &R::absolute_sigma)
        .def_ro("best_start", &R::best_start)
        .def_ro("starts", &R::starts)
        .def_ro("position_shifts_mm", &R::position_shifts_mm)
        .def_ro("best_fit", &R::best_fit)
        .def_ro("residuals", &R::residuals)
        .def_ro("start_curve_span", &R::start_curve_span)
        .def_ro("discretisation", &R::discretisation)
        .def_ro("solution_discretisation", &R::solution_discretisation);

    m.def("status_name", &engine::status_name, "info"_a);
    m.def("status_message", &engine::status_message, "info"_a);
    m.def("status_success", &engine::status_success, "info"_a);
    m.def("curve_fit", &curve_fit, "request"_a,
          "Least-squares fit of the request's model to its datasets; see plix.fit.");
}

}  // namespace plix::bindings
