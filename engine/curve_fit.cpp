#include "engine/curve_fit.hpp"

#include <cminpack.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "engine/covariance.hpp"
#include "engine/parameter_transform.hpp"

namespace plix::engine {
namespace {

constexpr double kSpreadExponent = 0.52;  // starts spread over 10^-0.52 .. 10^+0.52
// A model value that is not finite (an overflowing trial step) becomes this large weighted
// residual, so that MINPACK rejects the step and shortens it.
constexpr double kNonFiniteResidual = 1e10;
// Relative step of the central differences of the covariance Jacobian: truncation error
// about 1e-10, rounding about 1e-11 for a model accurate to the last bits.
constexpr double kJacobianStep = 1e-5;
constexpr double kSmallestStepFraction = 1e-3;
// Default relative difference step of lmdif on the internal variables (see the transform's
// offset): fits of the exact seed and physical models came out the same from 1e-7 to 1e-5.
constexpr double kDefaultDiffStep = 1e-6;
constexpr int kEvaluationsPerParameter = 200;  // lmdif1's default budget, 200 (n + 1)
// A spread start beyond a bound is put this fraction of the way back towards the user's.
constexpr double kInsideFraction = 0.01;
constexpr int kMode = 1;  // lmdif scales the variables by the column norms of J
constexpr int kNprint = 0;
// Searches again from the solution on a grid chosen there, at most: the grid chosen at the
// new solution is the same after one round in every fit we ran; a second covers a choice
// that sits on the edge between two grids.
constexpr int kMaxGridRefits = 2;
// A grid held that is finer in no entry than needed and has at most this many times the cells
// of the one chosen at the solution is kept (see suffices).
constexpr double kKeepGridCells = 1.1;
// A later start has reached a minimum an earlier one found when every internal variable lies
// within this of the minimum's (about 1 % of each value on the log and sqrt maps) and its
// chi-square within this fraction of one (unit-variance) residual of the minimum's (a third
// of a standard error away): the search would only refine a solution already known.
constexpr double kJoinInternalDistance = 1e-2;
constexpr double kJoinChisqr = 0.1;
// After exploring on the relaxed accuracy's grid, the minima within this many unit-variance
// residuals of the best are searched again on the model's own grid: the relaxed grid's error
// can reorder minima a few units apart, never by this much at the default factor.
constexpr double kRefineDeltaChisqr = 25.0;

double sum_of_squares(std::span<const double> r) {
    double s = 0.0;
    for (const double x : r) s += x * x;
    return s;
}

// The nuisances with their neutral starts filled in (see Nuisance::value).
std::vector<Nuisance> resolved_nuisances(const CurveFitProblem& p, std::span<const double> shifts) {
    std::vector<Nuisance> out = p.nuisances;
    for (Nuisance& x : out) {
        if (!std::isnan(x.value)) continue;
        switch (x.kind) {
            case NuisanceKind::focus_offset: {
                std::vector<double> open, all;
                for (const std::size_t d : x.datasets) {
                    const FitDataset& ds = p.datasets[d];
                    const double focus =
                        p.model->focus_position(ds.positions_mm, ds.measured, ds.aperture) -
                        shifts[d];
                    all.push_back(focus);
                    if (!(ds.aperture < model::open_aperture)) open.push_back(focus);
                }
                std::vector<double>& use = open.empty() ? all : open;
                std::sort(use.begin(), use.end());
                const std::size_t h = use.size() / 2;
                x.value = use.size() % 2 ? use[h] : 0.5 * (use[h - 1] + use[h]);
                break;
            }
            case NuisanceKind::baseline:
            case NuisanceKind::energy_scale:
                x.value = 1.0;
                break;
            case NuisanceKind::tilt:
                x.value = 0.0;
                break;
            case NuisanceKind::beam_waist:
                x.value = p.setup.w0;
                break;
            case NuisanceKind::aperture:
                x.value = p.datasets[x.datasets.front()].aperture;
                break;
        }
    }
    return out;
}

// Everything one residual evaluation needs, with its scratch storage allocated once.
class FitEvaluator {
  public:
    FitEvaluator(const CurveFitProblem& problem, std::vector<double> shifts)
        : problem_(problem),
          model_(problem.model),
          shifts_(std::move(shifts)),
          nuisances_(resolved_nuisances(problem, shifts_)),
          setup_(problem.setup),
          initial_populations_(problem.setup.populations) {
        run_.threads = problem.threads;
        run_.cancellation = problem.cancellation;
        params_ = problem.start;
        for (const auto& d : problem.datasets) {
            ndata_ += d.measured.size();
            largest_ = std::max(largest_, d.measured.size());
            apertures_.push_back(d.aperture);
        }
        for (const Nuisance& x : nuisances_)
            if (x.vary) ++varying_;
        positions_.resize(largest_);
        curve_.resize(largest_);
        energies_.resize(largest_);
        nuisance_values_.resize(nuisances_.size());
        conditions_.resize(problem.datasets.size());
    }

    std::size_t ndata() const { return ndata_; }
    std::size_t nfree() const { return problem_.free.size(); }
    std::size_t nvalues() const { return nfree() + varying_; }
    const std::vector<double>& shifts() const { return shifts_; }
    const std::vector<Nuisance>& nuisances() const { return nuisances_; }
    long evaluations() const { return evaluations_; }
    void use_model(std::shared_ptr<const model::CurveModel> m) { model_ = std::move(m); }
    const model::RunControl& run() const { return run_; }
    const std::vector<double>& params() const { return params_; }
    const model::Setup& setup() const { return setup_; }
    const std::vector<double>& nuisance_values() const { return nuisance_values_; }
    const std::vector<DatasetConditions>& conditions() const { return conditions_; }

    // The parameters, set-up and dataset conditions for the free values.
    void apply(std::span<const double> values) {
        for (std::size_t i = 0; i < nfree(); ++i) params_[problem_.free[i].index] = values[i];
        std::size_t k = nfree();
        for (std::size_t j = 0; j < nuisances_.size(); ++j)
            nuisance_values_[j] = nuisances_[j].vary ? values[k++] : nuisances_[j].value;
        apply_nuisances(nuisances_, nuisance_values_, apertures_, conditions_, setup_.w0);
        const HeldTransmittance& held = problem_.held_transmittance;
        valid_ = !held.active() || held.apply(params_, initial_populations_, setup_.populations);
    }

    // Positions of dataset d as the model sees them, into out.
    void model_positions(std::size_t d, std::span<double> out) const {
        const auto& raw = problem_.datasets[d].positions_mm;
        const double shift = shifts_[d] + conditions_[d].offset_mm;
        for (std::size_t k = 0; k < raw.size(); ++k) out[k] = raw[k] - shift;
    }

    // The request for dataset d at the given model positions; per-point energies are scaled
    // into `energies` (one per position).
    model::CurveRequest request(std::size_t d, std::span<const double> positions,
                                std::span<double> energies) const {
        const auto& ds = problem_.datasets[d];
        const DatasetConditions& c = conditions_[d];
        std::span<const double> point_energies;
        if (!ds.point_energies.empty()) {
            for (std::size_t k = 0; k < ds.point_energies.size(); ++k)
                energies[k] = ds.point_energies[k] * c.energy_scale;
            point_energies = energies.first(ds.point_energies.size());
        }
        return {.setup = setup_,
                .params = params_,
                .positions_mm = positions,
                .energy = ds.energy * c.energy_scale,
                .point_energies = point_energies,
                .aperture = c.aperture};
    }

    // The curve of dataset d (model times baseline and tilt) into out; NaN where the held
    // transmittance cannot be reached.
    void curve(std::size_t d, std::span<double> out) {
        const std::span<double> positions{positions_.data(), out.size()};
        model_positions(d, positions);
        if (!valid_) {
            std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
            return;
        }
        model::CurveReport report;
        model_->curve(request(d, positions, energies_), out, run_, report);
        const DatasetConditions& c = conditions_[d];
        if (c.baseline != 1.0 || c.tilt_per_mm != 0.0)
            for (std::size_t k = 0; k < out.size(); ++k)
                out[k] *= c.baseline * (1.0 + c.tilt_per_mm * positions[k]);
    }

    // Weighted residuals (data - model) / sigma for the free values, into fvec (ndata).
    void weighted_residuals(std::span<const double> values, std::span<double> fvec) {
        ++evaluations_;
        apply(values);
        std::size_t k0 = 0;
        for (std::size_t d = 0; d < problem_.datasets.size(); ++d) {
            const auto& ds = problem_.datasets[d];
            const std::size_t n = ds.measured.size();
            const std::span<double> out{curve_.data(), n};
            curve(d, out);
            for (std::size_t k = 0; k < n; ++k) {
                double r = ds.measured[k] - out[k];
                if (!ds.sigma.empty()) r /= ds.sigma[k];
                fvec[k0 + k] = std::isfinite(r) ? r : kNonFiniteResidual;
            }
            k0 += n;
        }
        const EvaluationObserver& observer = problem_.observer;
        if (observer.observe && observer.observe(observer.context, values, sum_of_squares(fvec)))
            aborted_ = true;
    }

    // Whether the observer asked to stop.
    bool aborted() const { return aborted_; }

  private:
    const CurveFitProblem& problem_;
    std::shared_ptr<const model::CurveModel> model_;
    model::RunControl run_;
    std::vector<double> shifts_;
    std::vector<Nuisance> nuisances_;
    model::Setup setup_;
    std::vector<double> initial_populations_;
    std::vector<double> params_;
    std::vector<double> apertures_;
    std::size_t varying_ = 0;
    std::size_t ndata_ = 0;
    std::size_t largest_ = 0;
    std::vector<double> positions_;
    std::vector<double> curve_;
    std::vector<double> energies_;
    std::vector<double> nuisance_values_;
    std::vector<DatasetConditions> conditions_;
    long evaluations_ = 0;
    bool aborted_ = false;
    bool valid_ = true;
};

// One lmdif search: maps its internal variables to the free values and evaluates.
// A minimum found by an earlier start: where it lies in the internal variables, and its
// chi-square.
struct KnownMinimum {
    std::size_t start;
    std::vector<double> internal;
    double chisqr;
};

struct StartSearch {
    FitEvaluator& evaluator;
    const std::vector<ParameterTransform>& transforms;
    std::vector<double> values;
    std::exception_ptr failure;
    std::span<const KnownMinimum> known = {};
    double chisqr_unit = 1.0;  // the chi-square of one residual of unit weight
    int joined = -1;

    // Whether u (chi-square chisqr) has reached a known minimum; remembers which.
    bool reached_known(const double* u, double chisqr) {
        for (const KnownMinimum& k : known) {
            bool near = chisqr - k.chisqr <= kJoinChisqr * chisqr_unit;
            for (std::size_t i = 0; near && i < k.internal.size(); ++i)
                near = std::abs(u[i] - k.internal[i]) <= kJoinInternalDistance;
            if (near) {
                joined = static_cast<int>(k.start);
                return true;
            }
        }
        return false;
    }

    void to_natural(const double* u) {
        for (std::size_t i = 0; i < transforms.size(); ++i)
            values[i] = transforms[i].to_natural(u[i]);
    }
};

// MINPACK's callback: returns a negative value to stop (the observer asked to, or an exception
// (an interrupt among them) is kept for rethrowing: it must not unwind through the C library).
int lmdif_residuals(void* p, int m, int /*n*/, const double* u, double* fvec, int /*iflag*/) {
    auto& search = *static_cast<StartSearch*>(p);
    const std::span<double> residuals{fvec, static_cast<std::size_t>(m)};
    try {
        search.evaluator.run().checkpoint();
        search.to_natural(u);
        search.evaluator.weighted_residuals(search.values, residuals);
    } catch (...) {
        search.failure = std::current_exception();
        return -1;
    }
    if (search.evaluator.aborted()) return -1;
    if (!search.known.empty() && search.reached_known(u, sum_of_squares(residuals))) return -1;
    return 0;
}

// Bounds of the free values.
struct Bounds {
    std::vector<double> min;
    std::vector<double> max;
    // Typical magnitude: the user's start; for offsets and tilts (whose start may be 0) such
    // that their step is at least kJacobianStep mm (per mm).
    std::vector<double> scale;
};

Bounds free_bounds(const CurveFitProblem& p, const std::vector<Nuisance>& nuisances) {
    Bounds b;
    for (const auto& f : p.free) {
        b.min.push_back(f.min);
        b.max.push_back(f.max);
    }
    for (const Nuisance& x : nuisances)
        if (x.vary) {
            b.min.push_back(x.min);
            b.max.push_back(x.max);
        }
    return b;
}

double clip_inside(double x, double reference, double lo, double hi) {
    if (x <= lo) return lo + kInsideFraction * (reference - lo);
    if (x >= hi) return hi - kInsideFraction * (hi - reference);
    return x;
}

std::vector<std::vector<double>> start_points(const std::vector<double>& user, std::size_t nfree,
                                              const Bounds& b, int n_starts) {
    std::vector<std::vector<double>> starts{user};
    for (const double f : start_factors(n_starts)) {
        std::vector<double> s = user;
        for (std::size_t i = 0; i < nfree; ++i)
            s[i] = clip_inside(user[i] * f, user[i], b.min[i], b.max[i]);
        starts.push_back(std::move(s));
    }
    return starts;
}

// Fits from one start; returns its outcome, with lmdif's info (kAbortedInfo when the observer
// stopped it). What the evaluations threw (Interrupted among it) is thrown again.
StartOutcome run_start(FitEvaluator& ev, const std::vector<ParameterTransform>& transforms,
                       const std::vector<double>& start, const FitSettings& settings,
                       std::span<const KnownMinimum> known = {}, double chisqr_unit = 1.0) {
    const int m = static_cast<int>(ev.ndata());
    const int n = static_cast<int>(transforms.size());
    const auto um = static_cast<std::size_t>(m);
    const auto un = static_cast<std::size_t>(n);
    std::vector<double> u(un), fvec(um), diag(un), fjac(um * un), qtf(un), wa1(un), wa2(un),
        wa3(un), wa4(um);
    std::vector<int> ipvt(un);
    for (std::size_t i = 0; i < un; ++i) u[i] = transforms[i].to_internal(start[i]);

    StartSearch search{ev, transforms, std::vector<double>(un), nullptr, known, chisqr_unit};
    const double epsfcn = settings.epsfcn > 0.0
                              ? settings.epsfcn
                              : std::pow(kDefaultDiffStep / ParameterTransform::internal_offset, 2);
    const int max_nfev =
        settings.max_nfev > 0 ? settings.max_nfev : kEvaluationsPerParameter * (n + 1);
    int nfev = 0;
    const int info = lmdif(lmdif_residuals, &search, m, n, u.data(), fvec.data(), settings.ftol,
                           settings.xtol, settings.gtol, max_nfev, epsfcn, diag.data(), kMode,
                           settings.factor, kNprint, &nfev, fjac.data(), m, ipvt.data(), qtf.data(),
                           wa1.data(), wa2.data(), wa3.data(), wa4.data());
    if (search.failure) std::rethrow_exception(search.failure);

    StartOutcome outcome;
    outcome.start = start;
    if (search.joined >= 0) {
        outcome.joined = search.joined;
        outcome.nfev = nfev;
        return outcome;  // values, chi-square and info: the minimum's, filled in by the caller
    }
    outcome.values.resize(un);
    for (std::size_t i = 0; i < un; ++i) outcome.values[i] = transforms[i].to_natural(u[i]);
    outcome.nfev = nfev;
    outcome.info = ev.aborted() ? kAbortedInfo : info;
    // lmdif leaves fvec at the returned point, except when it rejected its input or was
    // stopped by the observer.
    if (info == 0 || ev.aborted()) ev.weighted_residuals(outcome.values, fvec);
    outcome.chisqr = sum_of_squares(fvec);
    return outcome;
}

// Difference quotient of the weighted residuals for value i: central where both steps stay
// inside the bounds, else a second-order one-sided formula into the interval.
void jacobian_column(FitEvaluator& ev, std::vector<double> x, std::size_t i, const Bounds& b,
                     std::span<double> column) {
    const std::size_t m = ev.ndata();
    const double xi = x[i];
    // Relative to the value, but never to a value that has all but reached 0 (a parameter on
    // its default bound): then relative to a fraction of the user's start.
    double h = kJacobianStep * std::max(std::abs(xi), kSmallestStepFraction * b.scale[i]);
    const double up = b.max[i] - xi;
    const double down = xi - b.min[i];
    std::vector<double> f1(m), f2(m);
    if (up >= h && down >= h) {
        x[i] = xi + h;
        ev.weighted_residuals(x, f1);
        x[i] = xi - h;
        ev.weighted_residuals(x, f2);
        for (std::size_t k = 0; k < m; ++k) column[k] = (f1[k] - f2[k]) / (2.0 * h);
        return;
    }
    double direction = 1.0;
    if (up < 2.0 * h) {
        if (down >= 2.0 * h) {
            direction = -1.0;
        } else {
            h = 0.5 * std::max(up, down);
            direction = up >= down ? 1.0 : -1.0;
        }
    }
    std::vector<double> f0(m);
    ev.weighted_residuals(x, f0);
    x[i] = xi + direction * h;
    ev.weighted_residuals(x, f1);
    x[i] = xi + direction * 2.0 * h;
    ev.weighted_residuals(x, f2);
    for (std::size_t k = 0; k < m; ++k)
        column[k] = direction * (-3.0 * f0[k] + 4.0 * f1[k] - f2[k]) / (2.0 * h);
}

std::vector<double> shifts_for(const CurveFitProblem& p) {
    std::vector<double> shifts(p.datasets.size(), 0.0);
    if (p.centering == Centering::extremum)
        for (std::size_t d = 0; d < p.datasets.size(); ++d) {
            const FitDataset& ds = p.datasets[d];
            shifts[d] = p.model->focus_position(ds.positions_mm, ds.measured, ds.aperture);
        }
    return shifts;
}

// The user's free values: the free parameters, then the varying nuisances at their starts.
std::vector<double> user_values(const CurveFitProblem& p, const std::vector<Nuisance>& nuisances) {
    std::vector<double> v;
    for (const auto& f : p.free) v.push_back(p.start[f.index]);
    for (const Nuisance& x : nuisances)
        if (x.vary) v.push_back(x.value);
    return v;
}

// Whether a free value may start at zero with no scale of its own (offsets and tilts).
std::vector<bool> additive_values(const CurveFitProblem& p,
                                  const std::vector<Nuisance>& nuisances) {
    std::vector<bool> additive(p.free.size(), false);
    for (const Nuisance& x : nuisances)
        if (x.vary)
            additive.push_back(x.kind == NuisanceKind::focus_offset ||
                               x.kind == NuisanceKind::tilt);
    return additive;
}

// What `model` (the problem's, or its relaxed copy) fixes for the curves at the given values
// (null: nothing).
std::shared_ptr<const model::CurveModel> fixed_model(FitEvaluator& ev, const CurveFitProblem& p,
                                                     const model::CurveModel& model,
                                                     std::span<const double> values,
                                                     model::Discretisation& chosen) {
    ev.apply(values);
    std::vector<std::vector<double>> positions(p.datasets.size());
    std::vector<std::vector<double>> energies(p.datasets.size());
    std::vector<model::CurveRequest> requests;
    for (std::size_t d = 0; d < p.datasets.size(); ++d) {
        positions[d].resize(p.datasets[d].positions_mm.size());
        energies[d].resize(p.datasets[d].point_energies.size());
        ev.model_positions(d, positions[d]);
        requests.push_back(ev.request(d, positions[d], energies[d]));
    }
    return model.with_fixed_discretisation(requests, ev.run(), chosen);
}

void fill_solution(FitEvaluator& ev, const CurveFitProblem& p, CurveFitResult& r) {
    ev.apply(r.values);
    r.params = ev.params();
    r.nuisance_values = ev.nuisance_values();
    r.conditions = ev.conditions();
    r.w0 = ev.setup().w0;
    r.populations = ev.setup().populations;
    for (std::size_t d = 0; d < p.datasets.size(); ++d) {
        const auto& ds = p.datasets[d];
        std::vector<double> curve(ds.measured.size());
        ev.curve(d, curve);
        std::vector<double> res(curve.size());
        double chisqr = 0.0;
        for (std::size_t k = 0; k < curve.size(); ++k) {
            res[k] = ds.measured[k] - curve[k];
            const double w = ds.sigma.empty() ? res[k] : res[k] / ds.sigma[k];
            chisqr += w * w;
        }
        r.best_fit.push_back(std::move(curve));
        r.residuals.push_back(std::move(res));
        r.dataset_chisqr.push_back(chisqr);
        r.position_shifts_mm.push_back(ev.shifts()[d] + ev.conditions()[d].offset_mm);
    }
}

bool all_finite(const std::vector<std::vector<double>>& curves) {
    for (const auto& c : curves)
        for (const double x : c)
            if (!std::isfinite(x)) return false;
    return true;
}

void fill_covariance(FitEvaluator& ev, const Bounds& b, CurveFitResult& r) {
    const std::size_t m = ev.ndata();
    const std::size_t n = r.values.size();
    std::vector<double> jac(m * n);
    for (std::size_t i = 0; i < n; ++i)
        jacobian_column(ev, r.values, i, b, std::span<double>(jac).subspan(i * m, m));
    const double scale = r.absolute_sigma ? 1.0 : r.redchi;
    Covariance c = covariance_from_jacobian(jac, m, n, scale);
    r.covariance = std::move(c.matrix);
    r.stderrs = std::move(c.stderrs);
    r.correlation = std::move(c.correlation);
    r.covariance_well_conditioned = c.well_conditioned;
    r.reciprocal_condition = c.reciprocal_condition;
}

// No uncertainties: the search did not reach a minimum.
void fill_unknown_covariance(CurveFitResult& r) {
    const std::size_t n = r.values.size();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    r.covariance.assign(n * n, nan);
    r.correlation.assign(n * n, nan);
    r.stderrs.assign(n, nan);
    r.covariance_well_conditioned = false;
}

void record_start_curve_span(FitEvaluator& ev, const CurveFitProblem& p,
                             std::span<const double> values, CurveFitResult& r) {
    ev.apply(values);
    for (std::size_t d = 0; d < p.datasets.size(); ++d) {
        std::vector<double> curve(p.datasets[d].measured.size());
        ev.curve(d, curve);
        const auto [lo, hi] = std::minmax_element(curve.begin(), curve.end());
        r.start_curve_span.push_back(*hi - *lo);
    }
}

// The values at which the chi-square is evaluated when nothing varies.
StartOutcome evaluate_only(FitEvaluator& ev) {
    std::vector<double> fvec(ev.ndata());
    ev.weighted_residuals({}, fvec);
    StartOutcome outcome;
    outcome.chisqr = sum_of_squares(fvec);
    outcome.nfev = 1;
    outcome.info = kEvaluatedInfo;
    return outcome;
}

// Whether the grid held can stay where `wanted` was chosen: at least as fine in every entry
// and at most kKeepGridCells times its cells (a choice on the edge between two grids moves
// by a step or so as the values do; searching again for that would change nothing).
bool suffices(const std::vector<int>& held, const std::vector<int>& wanted) {
    if (held.size() != wanted.size() || held.empty()) return held == wanted;
    double held_cells = 1.0;
    double wanted_cells = 1.0;
    for (std::size_t i = 0; i < held.size(); ++i) {
        if (held[i] < wanted[i]) return false;
        held_cells *= held[i];
        wanted_cells *= wanted[i];
    }
    return held_cells <= kKeepGridCells * wanted_cells;
}

// With a model that chose its grid at the user's start: chooses it again at the solution and
// searches again from there while the choice changes (kMaxGridRefits at most), so that the
// result does not depend on where the search began. Records the grids. With leave_held, the
// first round searches again on the new choice even where the held grid would suffice: the
// held model is not the problem's (an explorer's, with its relaxed propagators).
void refit_on_solution_grid(FitEvaluator& ev, const CurveFitProblem& p,
                            const std::vector<ParameterTransform>& transforms, CurveFitResult& r,
                            StartOutcome& outcome, bool leave_held = false) {
    for (int round = 0;; ++round) {
        model::Discretisation at;
        auto chosen = fixed_model(ev, p, *p.model, outcome.values, at);
        r.solution_discretisation = at;
        const bool keep = !(leave_held && round == 0) && suffices(r.discretisation.grid, at.grid);
        if (!chosen || keep || round == kMaxGridRefits || ev.aborted()) return;
        ev.use_model(chosen);
        r.discretisation = at;
        const StartOutcome again = run_start(ev, transforms, outcome.values, p.settings);
        outcome.values = again.values;
        outcome.chisqr = again.chisqr;
        outcome.nfev += again.nfev;
        outcome.info = again.info;
        ++r.grid_refits;
    }
}

// After starts that explored on the relaxed accuracy's grid: the best minimum is searched
// again on the grid chosen at it for the model's own accuracy (again while that choice
// changes); every other minimum within kRefineDeltaChisqr of it is searched again on that grid
// (stopping where it reaches a minimum already refined); the rest keep the exploring grid's
// values and chi-square (StartOutcome::refined false): far from the best, evaluating them on
// the final grid would cost more than it tells (an extreme end can cost ten evaluations).
// Returns the start at whose solution the grid was chosen.
std::size_t refine_minima(FitEvaluator& ev, const CurveFitProblem& p,
                          const std::vector<ParameterTransform>& transforms, CurveFitResult& r,
                          double chisqr_unit) {
    std::vector<std::size_t> own;
    for (std::size_t k = 0; k < r.starts.size(); ++k)
        if (r.starts[k].joined < 0) own.push_back(k);
    // Best first; a NaN last.
    std::stable_sort(own.begin(), own.end(), [&](std::size_t a, std::size_t b) {
        const double ca = r.starts[a].chisqr;
        const double cb = r.starts[b].chisqr;
        return ca < cb || (!std::isnan(ca) && std::isnan(cb));
    });
    const std::size_t best = own.front();
    const double explored_best = r.starts[best].chisqr;
    refit_on_solution_grid(ev, p, transforms, r, r.starts[best], true);
    if (ev.aborted()) return best;

    std::vector<KnownMinimum> known;
    const auto remember = [&](std::size_t k) {
        const StartOutcome& s = r.starts[k];
        if (!status_success(s.info)) return;
        KnownMinimum found{k, std::vector<double>(s.values.size()), s.chisqr};
        for (std::size_t i = 0; i < s.values.size(); ++i)
            found.internal[i] = transforms[i].to_internal(s.values[i]);
        known.push_back(std::move(found));
    };
    remember(best);
    for (std::size_t j = 1; j < own.size() && !ev.aborted(); ++j) {
        StartOutcome& s = r.starts[own[j]];
        if (!(s.chisqr - explored_best <= kRefineDeltaChisqr * chisqr_unit) ||
            !status_success(s.info)) {
            s.refined = false;
            continue;
        }
        const StartOutcome again = run_start(ev, transforms, s.values, p.settings, known,
                                             chisqr_unit);
        s.nfev += again.nfev;
        if (again.joined >= 0) {
            s.joined = again.joined;
            continue;
        }
        s.values = again.values;
        s.chisqr = again.chisqr;
        s.info = again.info;
        remember(own[j]);
    }
    // Starts that joined another take the end of the start that chain leads to (refined or
    // not); they name that start.
    for (StartOutcome& s : r.starts) {
        if (s.joined < 0) continue;
        auto k = static_cast<std::size_t>(s.joined);
        while (r.starts[k].joined >= 0) k = static_cast<std::size_t>(r.starts[k].joined);
        const StartOutcome& reached = r.starts[k];
        s.joined = static_cast<int>(k);
        s.values = reached.values;
        s.chisqr = reached.chisqr;
        s.info = reached.info;
        s.refined = reached.refined;
    }
    return best;
}

}  // namespace

std::string status_name(int info) {
    switch (info) {
        case 0:
            return "improper_input";
        case 1:
            return "ftol";
        case 2:
            return "xtol";
        case 3:
            return "ftol_and_xtol";
        case 4:
            return "gtol";
        case 5:
            return "max_nfev";
        case 6:
            return "ftol_too_small";
        case 7:
            return "xtol_too_small";
        case 8:
            return "gtol_too_small";
        case kAbortedInfo:
            return "aborted";
        case kNonFiniteInfo:
            return "non_finite";
        case kRankDeficientInfo:
            return "rank_deficient";
        case kEvaluatedInfo:
            return "evaluated";
        default:
            return "unknown";
    }
}

std::string status_message(int info) {
    switch (info) {
        case 0:
            return "improper input parameters";
        case 1:
            return "both actual and predicted relative reductions in the sum of squares are at "
                   "most ftol";
        case 2:
            return "relative error between two consecutive iterates is at most xtol";
        case 3:
            return "both actual and predicted relative reductions in the sum of squares are at "
                   "most ftol, and the relative error between two consecutive iterates is at most "
                   "xtol";
        case 4:
            return "the cosine of the angle between the residuals and any column of the Jacobian "
                   "is at most gtol in absolute value";
        case 5:
            return "number of evaluations has reached max_nfev";
        case 6:
            return "ftol is too small: no further reduction in the sum of squares is possible";
        case 7:
            return "xtol is too small: no further improvement in the approximate solution is "
                   "possible";
        case 8:
            return "gtol is too small: the residuals are orthogonal to the columns of the Jacobian "
                   "to machine precision";
        case kAbortedInfo:
            return "stopped by the iteration callback";
        case kNonFiniteInfo:
            return "the model is not finite at the solution: its curve (or the chi-square) is "
                   "inf or NaN there";
        case kRankDeficientInfo:
            return "the Jacobian is zero or rank-deficient at the solution: some free values do "
                   "not change the curves, or the data do not separate them";
        case kEvaluatedInfo:
            return "evaluated without free values";
        default:
            return "unknown status";
    }
}

bool status_success(int info) {
    return (info >= 1 && info <= 4) || (info >= 6 && info <= 8) || info == kEvaluatedInfo;
}

std::vector<double> start_factors(int n_starts) {
    const int k = n_starts - 1;
    if (k <= 0) return {};
    // k + 1 exponents evenly across the spread, less the one nearest 0 (the positive one of
    // a tie), so that one extra start lies below the user's point as before.
    std::vector<double> exponents;
    for (int j = 0; j <= k; ++j)
        exponents.push_back(-kSpreadExponent + 2.0 * kSpreadExponent * j / k);
    std::size_t drop = 0;
    for (std::size_t j = 1; j < exponents.size(); ++j)
        if (std::abs(exponents[j]) <= std::abs(exponents[drop])) drop = j;
    exponents.erase(exponents.begin() + static_cast<std::ptrdiff_t>(drop));
    std::vector<double> factors;
    for (const double e : exponents) factors.push_back(std::pow(10.0, e));
    return factors;
}

CurveFitResult curve_fit(const CurveFitProblem& problem) {
    if (problem.datasets.empty()) throw std::invalid_argument("no dataset");
    if (!problem.model) throw std::invalid_argument("no model");
    if (problem.start.size() != problem.model->parameters().size())
        throw std::invalid_argument("start: one value per parameter of the model");
    for (const FreeParameter& f : problem.free)
        if (f.index >= problem.start.size())
            throw std::invalid_argument("free: index out of range");
    const std::size_t levels = problem.model->levels();
    if (levels != 0 && problem.setup.populations.size() != levels)
        throw std::invalid_argument("setup.populations: one per level of the model");
    std::vector<double> apertures;
    for (const FitDataset& d : problem.datasets) apertures.push_back(d.aperture);
    check_nuisances(problem.nuisances, apertures);
    problem.held_transmittance.check(problem.start.size(), problem.setup.populations);

    FitEvaluator ev(problem, shifts_for(problem));
    Bounds bounds = free_bounds(problem, ev.nuisances());
    const std::vector<double> user = user_values(problem, ev.nuisances());
    const std::vector<bool> additive = additive_values(problem, ev.nuisances());
    for (std::size_t i = 0; i < user.size(); ++i) {
        const double width = bounds.max[i] - bounds.min[i];
        bounds.scale.push_back(additive[i]           ? 1.0 / kSmallestStepFraction
                               : user[i] != 0.0       ? std::abs(user[i])
                               : std::isfinite(width) ? width
                                                      : 1.0);
    }
    std::vector<ParameterTransform> transforms;
    for (std::size_t i = 0; i < user.size(); ++i)
        transforms.emplace_back(bounds.min[i], bounds.max[i], user[i]);

    CurveFitResult r;
    r.ndata = ev.ndata();
    r.nvarys = user.size();
    r.dof = static_cast<std::ptrdiff_t>(r.ndata) - static_cast<std::ptrdiff_t>(r.nvarys);
    r.absolute_sigma = !problem.datasets[0].sigma.empty();

    // The explorer: the model with its accuracy relaxed, when the starts explore.
    const std::shared_ptr<const model::CurveModel> relaxed =
        problem.coarse_factor > 1.0 && !user.empty()
            ? problem.model->with_relaxed_accuracy(problem.coarse_factor)
            : nullptr;
    if (problem.start_model) {
        ev.use_model(problem.start_model);
        r.start_discretisation = problem.start_discretisation;
    } else if (auto fixed = fixed_model(ev, problem, relaxed ? *relaxed : *problem.model, user,
                                        r.start_discretisation)) {
        ev.use_model(fixed);
    }
    record_start_curve_span(ev, problem, user, r);

    r.discretisation = r.start_discretisation;
    const bool grid_chosen = !r.start_discretisation.grid.empty();
    r.explored = relaxed && grid_chosen;
    // The start at whose solution the grid was chosen again.
    std::size_t grid_start = 0;
    double chisqr_unit = 1.0;  // the chi-square of one unit-variance residual
    if (user.empty()) {
        r.starts.push_back(evaluate_only(ev));
    } else {
        // The first start runs on the grid chosen at the user's values; once it has converged
        // the grid is chosen again at its solution (and the start refined there), so that the
        // later starts run on the grid the solution needs. A later start that reaches a minimum
        // already found stops there. When the starts explore, they all run on the relaxed
        // accuracy's grid and refine_minima moves their minima to the model's own.
        const auto starts = start_points(user, problem.free.size(), bounds, problem.n_starts);
        std::vector<KnownMinimum> known;
        for (std::size_t k = 0; k < starts.size(); ++k) {
            StartOutcome outcome =
                run_start(ev, transforms, starts[k], problem.settings, known, chisqr_unit);
            if (outcome.joined >= 0) {
                const StartOutcome& reached = r.starts[static_cast<std::size_t>(outcome.joined)];
                outcome.values = reached.values;
                outcome.chisqr = reached.chisqr;
                outcome.info = reached.info;
            } else if (k == 0 && grid_chosen && !r.explored && !ev.aborted() &&
                       status_success(outcome.info)) {
                refit_on_solution_grid(ev, problem, transforms, r, outcome);
            }
            r.starts.push_back(outcome);
            if (ev.aborted()) break;
            if (k == 0 && !r.absolute_sigma && r.dof > 0)
                chisqr_unit = outcome.chisqr / static_cast<double>(r.dof);
            if (outcome.joined < 0 && status_success(outcome.info)) {
                KnownMinimum found{k, std::vector<double>(user.size()), outcome.chisqr};
                for (std::size_t i = 0; i < user.size(); ++i)
                    found.internal[i] = transforms[i].to_internal(outcome.values[i]);
                known.push_back(std::move(found));
            }
        }
    }
    if (r.explored && !ev.aborted())
        grid_start = refine_minima(ev, problem, transforms, r, chisqr_unit);
    std::vector<double> chis;
    for (const auto& s : r.starts) chis.push_back(s.chisqr);
    // The smallest chi^2 wins; a later start only if strictly smaller, a NaN never; never a
    // start that joined another (that one holds the same minimum) or whose end stayed on the
    // exploring grid. There is always one: the first start joins none, and an exploring fit
    // refines its best.
    const auto candidate = [&](std::size_t i) {
        return r.starts[i].joined < 0 && r.starts[i].refined;
    };
    r.best_start = 0;
    for (std::size_t i = 0; i < chis.size(); ++i)
        if (candidate(i)) {
            r.best_start = i;
            break;
        }
    for (std::size_t i = r.best_start + 1; i < chis.size(); ++i)
        if (candidate(i) && (chis[i] < chis[r.best_start] || std::isnan(chis[r.best_start])))
            r.best_start = i;
    StartOutcome best = r.starts[r.best_start];
    // The grid was chosen at the first start's solution: choose it again where another start
    // did better.
    if (grid_chosen && r.best_start != grid_start && r.starts[r.best_start].joined < 0 &&
        !ev.aborted() && status_success(best.info))
        refit_on_solution_grid(ev, problem, transforms, r, best);
    r.values = best.values;
    r.chisqr = best.chisqr;
    r.nfev = best.nfev;
    r.minpack_info = best.info;
    r.redchi = r.dof > 0 ? r.chisqr / static_cast<double>(r.dof)
                         : std::numeric_limits<double>::quiet_NaN();

    fill_solution(ev, problem, r);
    r.aborted = ev.aborted();
    r.info = r.aborted ? kAbortedInfo : r.minpack_info;
    if (r.aborted) {
        fill_unknown_covariance(r);
    } else if (!all_finite(r.best_fit) || !std::isfinite(r.chisqr)) {
        r.info = kNonFiniteInfo;
        fill_unknown_covariance(r);
    } else if (!user.empty()) {
        fill_covariance(ev, bounds, r);
        if (!r.covariance_well_conditioned && status_success(r.info)) r.info = kRankDeficientInfo;
    }
    r.success = status_success(r.info);
    r.total_nfev = ev.evaluations();
    return r;
}

}  // namespace plix::engine
