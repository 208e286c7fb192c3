// plix._core's fit: the problem as bound classes, one call that runs every start without the
// interpreter lock (polling for Ctrl-C between residual evaluations), and the outcome.
#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/pair.h>
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
    std::shared_ptr<model::CurveModel> start_model;  // null: the grid chosen by the engine
    std::vector<int> start_grid;
    double start_error = 0.0;
    std::optional<model::Setup> setup;
    std::vector<double> start;
    std::vector<engine::FreeParameter> free;
    std::vector<FitDataset> datasets;
    std::string center = "extremum";
    std::vector<engine::Nuisance> nuisances;
    engine::HeldTransmittance held_transmittance;
    int n_starts = 1;
    double coarse_factor = 1.0;
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
    throw nb::value_error("center must be 'extremum' or 'none' (a fitted focus is a nuisance)");
}

engine::CurveFitResult curve_fit(const FitRequest& request) {
    if (!request.model || !request.setup) throw nb::value_error("model and setup are required");
    engine::CurveFitProblem problem;
    problem.model = request.model;
    if (request.start_model) {
        problem.start_model = request.start_model;
        problem.start_discretisation = {request.start_grid, request.start_error, {}};
    }
    problem.setup = *request.setup;
    problem.start = request.start;
    problem.free = request.free;
    problem.centering = centering_from(request.center);
    problem.nuisances = request.nuisances;
    problem.held_transmittance = request.held_transmittance;
    problem.n_starts = request.n_starts;
    problem.coarse_factor = request.coarse_factor;
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

    nb::enum_<engine::NuisanceKind>(m, "NuisanceKind", "What a nuisance of a fit adjusts.")
        .value("focus_offset", engine::NuisanceKind::focus_offset)
        .value("baseline", engine::NuisanceKind::baseline)
        .value("tilt", engine::NuisanceKind::tilt)
        .value("energy_scale", engine::NuisanceKind::energy_scale)
        .value("beam_waist", engine::NuisanceKind::beam_waist)
        .value("aperture", engine::NuisanceKind::aperture);

    nb::class_<engine::Nuisance>(m, "Nuisance", "A nuisance of a fit (see plix.Nuisances).")
        .def(
            "__init__",
            [](engine::Nuisance* x, engine::NuisanceKind kind, std::vector<std::size_t> datasets,
               double value, double min, double max, bool vary) {
                new (x) engine::Nuisance{kind, std::move(datasets), value, min, max, vary};
            },
            nb::kw_only(), "kind"_a, "datasets"_a, "value"_a, "min"_a, "max"_a, "vary"_a)
        .def_ro("kind", &engine::Nuisance::kind)
        .def_ro("datasets", &engine::Nuisance::datasets)
        .def_ro("value", &engine::Nuisance::value)
        .def_ro("vary", &engine::Nuisance::vary);

    nb::class_<engine::HeldTransmittance>(m, "HeldTransmittance",
                                          "The linear transmittance held during a fit.")
        .def(nb::init<>())
        .def(
            "__init__",
            [](engine::HeldTransmittance* h, double absorbance, double sample_width,
               const std::vector<std::pair<std::size_t, std::size_t>>& terms,
               std::optional<std::size_t> alpha_parameter,
               std::vector<std::size_t> background_parameters) {
                new (h) engine::HeldTransmittance{};
                h->absorbance = absorbance;
                h->sample_width = sample_width;
                for (const auto& [parameter, level] : terms) h->terms.push_back({parameter, level});
                h->alpha_parameter = alpha_parameter.value_or(engine::kNoParameter);
                h->background_parameters = std::move(background_parameters);
            },
            nb::kw_only(), "absorbance"_a, "sample_width"_a, "terms"_a,
            "alpha_parameter"_a.none(), "background_parameters"_a);

    nb::class_<engine::DatasetConditions>(m, "DatasetConditions",
                                          "What one dataset's curve was computed with.")
        .def_ro("offset_mm", &engine::DatasetConditions::offset_mm)
        .def_ro("baseline", &engine::DatasetConditions::baseline)
        .def_ro("tilt_per_mm", &engine::DatasetConditions::tilt_per_mm)
        .def_ro("energy_scale", &engine::DatasetConditions::energy_scale)
        .def_ro("aperture", &engine::DatasetConditions::aperture);

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
        .def_rw("start_model", &FitRequest::start_model)
        .def_rw("start_grid", &FitRequest::start_grid)
        .def_rw("start_error", &FitRequest::start_error)
        .def_rw("setup", &FitRequest::setup)
        .def_rw("start", &FitRequest::start)
        .def_rw("free", &FitRequest::free)
        .def_rw("datasets", &FitRequest::datasets)
        .def_rw("center", &FitRequest::center)
        .def_rw("nuisances", &FitRequest::nuisances)
        .def_rw("held_transmittance", &FitRequest::held_transmittance)
        .def_rw("n_starts", &FitRequest::n_starts)
        .def_rw("coarse_factor", &FitRequest::coarse_factor)
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
        .def_ro("info", &engine::StartOutcome::info)
        .def_ro("joined", &engine::StartOutcome::joined)
        .def_ro("refined", &engine::StartOutcome::refined);

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
        .def_ro("minpack_info", &R::minpack_info)
        .def_ro("success", &R::success)
        .def_ro("aborted", &R::aborted)
        .def_ro("absolute_sigma", &R::absolute_sigma)
        .def_ro("best_start", &R::best_start)
        .def_ro("starts", &R::starts)
        .def_ro("nuisance_values", &R::nuisance_values)
        .def_ro("conditions", &R::conditions)
        .def_ro("dataset_chisqr", &R::dataset_chisqr)
        .def_ro("w0", &R::w0)
        .def_ro("populations", &R::populations)
        .def_ro("grid_refits", &R::grid_refits)
        .def_ro("explored", &R::explored)
        .def_ro("start_discretisation", &R::start_discretisation)
        .def_ro("position_shifts_mm", &R::position_shifts_mm)
        .def_ro("best_fit", &R::best_fit)
        .def_ro("residuals", &R::residuals)
        .def_ro("start_curve_span", &R::start_curve_span)
        .def_ro("discretisation", &R::discretisation)
        .def_ro("solution_discretisation", &R::solution_discretisation);

    m.def(
        "focus_position",
        [](const std::shared_ptr<model::CurveModel>& curve_model, const InputVector& positions_mm,
           const InputVector& measured, double aperture) {
            if (positions_mm.shape(0) != measured.shape(0) || positions_mm.shape(0) == 0)
                throw nb::value_error("positions_mm and measured: one value each, not empty");
            return curve_model->focus_position({positions_mm.data(), positions_mm.shape(0)},
                                               {measured.data(), measured.shape(0)}, aperture);
        },
        "model"_a, "positions_mm"_a, "measured"_a, "aperture"_a,
        "Where the model's focus rule puts the focus of a measured dataset (mm).");
    m.def(
        "relaxed_model",
        [](const std::shared_ptr<model::CurveModel>& curve_model,
           double factor) -> std::shared_ptr<model::CurveModel> {
            return std::const_pointer_cast<model::CurveModel>(
                curve_model->with_relaxed_accuracy(factor));
        },
        "model"_a, "factor"_a,
        "The model choosing its grid for an accuracy `factor` times looser, or None when it has "
        "no accuracy to relax (what a fit's starts explore with).");
    m.def("status_name", &engine::status_name, "info"_a);
    m.def("status_message", &engine::status_message, "info"_a);
    m.def("status_success", &engine::status_success, "info"_a);
    m.def("curve_fit", &curve_fit, "request"_a,
          "Least-squares fit of the request's model to its datasets; see plix.fit.");
}

}  // namespace plix::bindings
