// Least-squares fit of model curves to several Z-scan datasets: bounded free parameters and
// nuisances of the experiment, several starts, the model's grid chosen again at the solution,
// covariance there. The whole problem is one value that travels through MINPACK's user
// pointer, so any number of fits may run at once.
#pragma once

#include <cstddef>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include <memory>

#include "engine/held_transmittance.hpp"
#include "engine/nuisance.hpp"
#include "model/curve_model.hpp"

namespace plix::engine {

// One scan: positions in mm as measured, normalised transmittance, optional per-point
// uncertainties (empty: uniform weights), the pulse energy (or one per point) and the
// aperture's linear transmittance (1: open).
struct FitDataset {
    std::span<const double> positions_mm;
    std::span<const double> measured;
    std::span<const double> sigma;
    double energy = 0.0;
    std::span<const double> point_energies = {};
    double aperture = model::open_aperture;
};

// Where the positions start from; fitted focal offsets are nuisances (NuisanceKind::focus_offset)
// on top of this.
enum class Centering {
    extremum,  // each dataset's positions shifted so that the model's focus rule puts it at 0
    none,      // positions as given
};

// MINPACK lmdif's controls (see its documentation); max_nfev 0 means 200 (n + 1).
struct FitSettings {
    double ftol = 1e-10;
    double xtol = 1e-10;
    double gtol = 0.0;
    int max_nfev = 0;
    double epsfcn = 0.0;    // squared relative difference step on an internal variable
    double factor = 100.0;  // initial step bound (MINPACK's usual)
};

// A parameter of the model's vector that the fit varies, with its bounds (min < max; either
// may be infinite).
struct FreeParameter {
    std::size_t index = 0;
    double min = 0.0;
    double max = 0.0;
};

// Told of every evaluation of the residuals: the free values and the chi-square there;
// returns true to stop the fit.
struct EvaluationObserver {
    bool (*observe)(void* context, std::span<const double> values, double chisqr) = nullptr;
    void* context = nullptr;
};

struct CurveFitProblem {
    std::shared_ptr<const model::CurveModel> model;
    // The model with its discretisation already chosen at the start values (by checks made
    // before the fit), and that choice; null: chosen here.
    std::shared_ptr<const model::CurveModel> start_model;
    model::Discretisation start_discretisation;
    model::Setup setup;
    std::vector<double> start;  // every parameter of the model: fixed values and first start
    std::vector<FreeParameter> free;
    std::vector<FitDataset> datasets;
    Centering centering = Centering::extremum;
    std::vector<Nuisance> nuisances;
    HeldTransmittance held_transmittance;
    int n_starts = 1;
    // The starts explore on a discretisation chosen for an accuracy this many times looser
    // (where the model has one to relax: CurveModel::with_relaxed_accuracy), and the minima
    // they reach are searched again on the one chosen for the model's own accuracy; 1: every
    // start on the model's own. start_model, when given, is then the explorer's.
    double coarse_factor = 1.0;
    unsigned threads = 1;
    FitSettings settings;
    // Asked before every evaluation and inside long ones; when it stops the fit,
    // model::Interrupted is thrown out of curve_fit.
    model::Cancellation* cancellation = nullptr;
    EvaluationObserver observer;
};

// The free values are the free parameters in their order, then the nuisances that vary in
// their order.
struct StartOutcome {
    std::vector<double> start;
    std::vector<double> values;
    double chisqr = 0.0;
    int nfev = 0;
    int info = 0;
    // When this start was stopped because it had reached the minimum an earlier start found:
    // that start's index (its values and chi-square are then this start's); else -1.
    int joined = -1;
    // False when the start's end was not searched again on the final grid after exploring on
    // a coarser one (CurveFitProblem::coarse_factor): its values and chi-square are then the
    // exploring grid's (joined starts: as the start they joined).
    bool refined = true;
};

struct CurveFitResult {
    std::vector<double> params;
    std::vector<double> values;      // free values at the solution
    std::vector<double> covariance;  // nvarys x nvarys row-major, over `values`
    std::vector<double> stderrs;
    std::vector<double> correlation;
    bool covariance_well_conditioned = false;
    double reciprocal_condition = 0.0;
    double chisqr = 0.0;
    double redchi = 0.0;
    std::size_t ndata = 0;
    std::size_t nvarys = 0;
    std::ptrdiff_t dof = 0;
    int nfev = 0;         // the winning start's evaluations (and its refits), as lmdif counts them
    long total_nfev = 0;  // every model evaluation of the fit
    // The outcome: MINPACK's info of the winning search, or one of the engine's own (aborted
    // by the observer, a model that is not finite at the solution, a rank-deficient Jacobian
    // there, evaluated without free values).
    int info = 0;
    int minpack_info = 0;  // MINPACK's info of the winning search
    bool success = false;
    bool aborted = false;  // stopped by the observer
    bool absolute_sigma = false;
    std::size_t best_start = 0;
    std::vector<StartOutcome> starts;
    std::vector<double> nuisance_values;         // every nuisance at the solution
    std::vector<DatasetConditions> conditions;   // per dataset at the solution
    std::vector<double> position_shifts_mm;      // subtracted from each dataset's positions
    std::vector<std::vector<double>> best_fit;   // model per dataset at the solution
    std::vector<std::vector<double>> residuals;  // data - model per dataset
    std::vector<double> dataset_chisqr;          // sum of squared weighted residuals per dataset
    std::vector<double> start_curve_span;  // max - min of each model curve at the user's start
    double w0 = 0.0;                       // the beam waist at the solution, m
    std::vector<double> populations;       // initial populations at the solution, m^-3
    // What the model held fixed for the starts (chosen at the user's start, for the relaxed
    // accuracy when the starts explored), what it held for the final search (chosen again at
    // the solution until the choice stays), and what it would choose at the final solution;
    // empty grids for a model that fixes nothing.
    model::Discretisation start_discretisation;
    model::Discretisation discretisation;
    model::Discretisation solution_discretisation;
    int grid_refits = 0;  // searches again from the solution on a grid chosen there
    bool explored = false;  // the starts ran on the relaxed accuracy's grid (coarse_factor)
};

// The engine's own outcomes, beside MINPACK's info values.
inline constexpr int kAbortedInfo = -2;
inline constexpr int kNonFiniteInfo = -3;
inline constexpr int kRankDeficientInfo = -4;
inline constexpr int kEvaluatedInfo = -5;

// MINPACK's name and text for an lmdif info value, and for the observer's stop.
std::string status_name(int info);
std::string status_message(int info);
// True for the values that mean a minimum was reached (1 to 4, and 6 to 8 where the
// tolerances were tighter than rounding allows).
bool status_success(int info);

// Log-spaced start factors: n_starts - 1 of them, the user's point (factor 1) excluded.
std::vector<double> start_factors(int n_starts);

// Runs every start; an exception from the model (model::Interrupted among them) is thrown
// again after MINPACK has returned.
CurveFitResult curve_fit(const CurveFitProblem& problem);

}  // namespace plix::engine
