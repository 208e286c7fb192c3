// Public interface of the reentrant LSODA integrator (one fresh ODEPACK DLSODA call:
// ITOL = 1, ITASK = 1, ISTATE = 1, IOPT = 0, JT = 2). All state lives in the Solver
// object; nothing is global, nothing is allocated on the heap, nothing is printed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "integrator/lsoda_coefficients.hpp"
#include "integrator/lsoda_dense.hpp"

namespace plix::lsoda {

// How a call ended (ODEPACK's ISTATE in brackets).
enum class Status : std::uint8_t {
    success,               // TOUT reached, y interpolated at TOUT (2)
    excess_work,           // MXSTEP = 500 steps taken before TOUT (-1)
    excess_accuracy,       // more accuracy requested than the machine allows (-2)
    illegal_input,         // rejected before any step (-3)
    error_test_failures,   // repeated local error test failures on one step (-4)
    convergence_failures,  // repeated corrector convergence failures on one step (-5)
    zero_weight,           // an error weight became zero (-6)
    non_finite,            // the right-hand side returned a non-finite value
};
inline constexpr int status_count = 8;

// Short lower-case description, for warnings.
constexpr const char* describe(Status s) {
    switch (s) {
        case Status::success:
            return "success";
        case Status::excess_work:
            return "excess work (500 steps without reaching the end)";
        case Status::excess_accuracy:
            return "excess accuracy requested";
        case Status::illegal_input:
            return "illegal input";
        case Status::error_test_failures:
            return "repeated error test failures";
        case Status::convergence_failures:
            return "repeated convergence failures";
        case Status::zero_weight:
            return "an error weight became zero";
        case Status::non_finite:
            return "non-finite derivative";
    }
    return "unknown";
}

enum class Method : std::uint8_t { none = 0, adams = 1, bdf = 2 };

// ODEPACK's optional outputs after a call.
struct Stats {
    int nst = 0;                  // successful steps
    int nfe = 0;                  // right-hand side evaluations
    int nje = 0;                  // Jacobian evaluations (each with one LU)
    int nqu = 0;                  // order of the last successful step
    double hu = 0.0;              // size of the last successful step
    double tcur = 0.0;            // internal time reached
    double tsw = 0.0;             // time of the last method switch (t0 if none)
    Method mused = Method::none;  // method of the last successful step
};

struct Result {
    Status status = Status::illegal_input;
    double t = 0.0;  // TOUT on success, else the last internal time reached
    Stats stats;
};

// LSODA with automatic switching between Adams (non-stiff) and BDF (stiff) methods, for
// N equations, reproducing ODEPACK's step sequence. All working storage is held in the
// object; a Solver may be reused, every integrate() call being a fresh start.
template <int N>
class Solver {
    static_assert(N >= 1 && N <= 64, "the dense storage is meant for small systems");

  public:
    // Integrates y' = rhs(t, y) from t0 to tout (ODEPACK: ISTATE = 1, ITOL = 1, ITASK = 1,
    // IOPT = 0, JT = 2). rhs(double t, const double* y, double* ydot) receives the caller's
    // whole array y (entries beyond N ride along untouched) and writes ydot[0..N). y serves
    // as the work vector during the call; on return it holds y(tout) on success, otherwise
    // the solution at the last internal time reached (unchanged if the input was rejected).
    // tout == t0 returns success at once. Non-finite inputs are illegal input; a non-finite
    // derivative ends the call with Status::non_finite and the last accepted solution.
    template <class Rhs>
    Result integrate(Rhs&& rhs, double* y, double t0, double tout, double rtol, double atol) {
        reset_statistics(t0);
        if (tout == t0) return finish(Status::success, tout);  // nothing to do
        if (!valid_input(y, t0, tout, rtol, atol)) return finish(Status::illegal_input, t0);
        rtol_ = rtol;
        atol_ = atol;
        const Status start = start_problem(rhs, y, t0, tout);
        if (start != Status::success) return finish(start, t0);
        // The first step uses the weights computed from y0 by start_problem.
        for (;;) {
            // Tolerances below what the arithmetic can deliver (DLSODA's threshold of 1).
            // Before the first step ODEPACK reports this as illegal input; y is unchanged.
            if (uround * detail::weighted_norm<N>(yh_[0], ewt_) > 1.0) {
                if (nst_ == 0) return finish(Status::excess_accuracy, t0);
                return finish_at_tn(Status::excess_accuracy, y);
            }
            switch (step(rhs, y)) {
                case StepEnd::success:
                    break;
                case StepEnd::error_test:
                    return finish_at_tn(Status::error_test_failures, y);
                case StepEnd::convergence:
                    return finish_at_tn(Status::convergence_failures, y);
                case StepEnd::non_finite:
                    return finish_at_tn(Status::non_finite, y);
            }
            if (meth_ != mused_) begin_new_method();
            if ((tn_ - tout) * h_ >= 0.0) {
                interpolate(tout, y);
                return finish(Status::success, tout);
            }
            if (nst_ >= max_steps) return finish_at_tn(Status::excess_work, y);
            if (!set_weights()) return finish_at_tn(Status::zero_weight, y);
        }
    }

  private:
    enum class StepEnd : std::uint8_t { success, error_test, convergence, non_finite };
    enum class Correction : std::uint8_t { converged, failed, non_finite };
    enum class Jacobian : std::uint8_t { ok, singular, non_finite };

    static constexpr double uround = 2.220446049250313e-16;        // 2^-52
    static constexpr double sqrt_uround = 1.4901161193847656e-08;  // 2^-26
    static constexpr int max_steps = 500;                          // MXSTEP
    static constexpr int max_corrections = 3;                      // MAXCOR
    static constexpr int max_convergence_failures = 10;            // MXNCF
    static constexpr int steps_between_jacobians = 20;             // MSBP
    static constexpr int steps_between_switch_tests = 20;
    static constexpr double max_rc_drift = 0.3;  // CCMAX
    static constexpr double switch_ratio = 5.0;  // RATIO
    static constexpr int max_columns = detail::max_adams_order + 1;

    // ---- problem set-up ------------------------------------------------------------------

    static bool valid_input(const double* y, double t0, double tout, double rtol, double atol) {
        if (!(rtol >= 0.0) || !(atol >= 0.0)) return false;
        if (!std::isfinite(t0) || !std::isfinite(tout) || !std::isfinite(rtol) ||
            !std::isfinite(atol))
            return false;
        for (int i = 0; i < N; ++i) {
            if (!std::isfinite(y[i])) return false;
        }
        return true;
    }

    // Initial derivative, weights, first step size h0 and the step routine's start state.
    void reset_statistics(double t0) {
        tn_ = t0;
        tsw_ = t0;
        nst_ = nfe_ = nje_ = nqu_ = 0;
        hu_ = 0.0;
        mused_ = Method::none;
    }

    template <class Rhs>
    Status start_problem(Rhs& rhs, double* y, double t0, double tout) {
        meth_ = Method::adams;
        max_order_ = detail::max_adams_order;
        if (!evaluate(rhs, t0, y, yh_[1])) return Status::non_finite;
        for (int i = 0; i < N; ++i) yh_[0][i] = y[i];
        nq_ = 1;
        h_ = 1.0;
        if (!set_weights()) return Status::illegal_input;
        const double tdist = std::abs(tout - t0);
        const double w0 = std::max(std::abs(t0), std::abs(tout));
        if (tdist < 2.0 * uround * w0) return Status::illegal_input;  // tout too close to t0
        const double h0 = std::copysign(std::min(initial_step_size(y, w0), tdist), tout - t0);
        h_ = h0;
        for (int i = 0; i < N; ++i) yh_[1][i] *= h0;
        jstart_ = 0;
        return Status::success;
    }

    // h0 = 1/sqrt(1/(tol w0^2) + tol |f0|^2), with |f0| the weighted norm of f(t0, y0).
    double initial_step_size(const double* y, double w0) const {
        double tol = rtol_;
        if (tol <= 0.0) {
            for (int i = 0; i < N; ++i) {
                const double ayi = std::abs(y[i]);
                if (ayi != 0.0) tol = std::max(tol, atol_ / ayi);
            }
        }
        tol = std::max(tol, 100.0 * uround);
        tol = std::min(tol, 0.001);
        const double s = detail::weighted_norm<N>(yh_[1], ewt_);
        const double sum = 1.0 / (tol * w0 * w0) + tol * (s * s);
        return 1.0 / std::sqrt(sum);
    }

    // Reciprocal error weights from the current solution z_0; false if a weight is not > 0.
    bool set_weights() {
        for (int i = 0; i < N; ++i) {
            const double ewt = rtol_ * std::abs(yh_[0][i]) + atol_;
            if (!(ewt > 0.0)) return false;
            ewt_[i] = 1.0 / ewt;
        }
        return true;
    }

    // After a step that decided a method switch.
    void begin_new_method() {
        tsw_ = tn_;
        max_order_ = meth_ == Method::bdf ? detail::max_bdf_order : detail::max_adams_order;
        jstart_ = -1;
    }

    // ---- results ---------------------------------------------------------------------------

    Result finish(Status status, double t) const {
        Result r;
        r.status = status;
        r.t = t;
        r.stats.nst = nst_;
        r.stats.nfe = nfe_;
        r.stats.nje = nje_;
        r.stats.nqu = nqu_;
        r.stats.hu = hu_;
        r.stats.tcur = tn_;
        r.stats.tsw = tsw_;
        r.stats.mused = mused_;
        return r;
    }

    // Failure exits return the solution z_0 at the last internal time.
    Result finish_at_tn(Status status, double* y) const {
        restore_state(y);
        return finish(status, tn_);
    }

    void restore_state(double* y) const {
        for (int i = 0; i < N; ++i) y[i] = yh_[0][i];
    }

    // y(t) = sum_j z_j s^j with s = (t - tn)/h, by Horner's rule.
    void interpolate(double t, double* y) const {
        const double s = (t - tn_) / h_;
        for (int i = 0; i < N; ++i) y[i] = yh_[nq_][i];
        for (int j = nq_ - 1; j >= 0; --j) {
            for (int i = 0; i < N; ++i) y[i] = yh_[j][i] + s * y[i];
        }
    }

    // ---- helpers ----------------------------------------------------------------------------

    template <class Rhs>
    bool evaluate(Rhs& rhs, double t, const double* y, double* ydot) {
        rhs(t, y, ydot);
        ++nfe_;
        for (int i = 0; i < N; ++i) {
            if (!std::isfinite(ydot[i])) return false;
        }
        return true;
    }

    bool newton() const { return meth_ == Method::bdf; }
    const detail::MethodCoefficients& coefficients() const {
        return meth_ == Method::bdf ? detail::bdf : detail::adams;
    }
    double el(int j) const { return coefficients().el[nq_][j]; }
    double tau(int k) const { return coefficients().tau[nq_][k]; }
    double norm(const double* v) const { return detail::weighted_norm<N>(v, ewt_); }
    int lmax() const { return max_order_ + 1; }

    // Loads the corrector coefficients of the current method and order.
    void load_order_coefficients() {
        const double el0 = el(0);
        rc_ = rc_ * el0 / el0_;
        el0_ = el0;
        conit_ = 0.5 / (nq_ + 2);
    }

    // Changes h by the factor rh (bounded by rmax and, for Adams, by the stability region)
    // and rescales the history. No HMIN or HMAX is in force, so those bounds drop out.
    void rescale(double rh) {
        rh = std::min(rh, rmax_);
        if (meth_ == Method::adams) {
            irflag_ = false;
            const double pdh = std::max(std::abs(h_) * pdlast_, 1e-6);
            if (rh * pdh * 1.00001 >= detail::adams_stability[nq_]) {
                rh = detail::adams_stability[nq_] / pdh;
                irflag_ = true;
            }
        }
        double r = 1.0;
        for (int j = 1; j <= nq_; ++j) {
            r *= rh;
            for (int i = 0; i < N; ++i) yh_[j][i] *= r;
        }
        h_ *= rh;
        rc_ *= rh;
        ialth_ = nq_ + 1;
    }

    // Advances tn by h and multiplies the history by the Pascal triangle.
    void predict() {
        if (std::abs(rc_ - 1.0) > max_rc_drift) jacobian_due_ = newton();
        if (nst_ >= nslp_ + steps_between_jacobians) jacobian_due_ = newton();
        tn_ += h_;
        for (int k = 1; k <= nq_; ++k) {
            for (int c = nq_ - k; c < nq_; ++c) {
                for (int i = 0; i < N; ++i) yh_[c][i] += yh_[c + 1][i];
            }
        }
        pnorm_ = norm(yh_[0]);
    }

    // Undoes predict() after a failed attempt.
    void retract() {
        tn_ = told_;
        for (int k = 1; k <= nq_; ++k) {
            for (int c = nq_ - k; c < nq_; ++c) {
                for (int i = 0; i < N; ++i) yh_[c][i] -= yh_[c + 1][i];
            }
        }
    }

    // ---- Jacobian and corrector -----------------------------------------------------------

    // P = I - h l0 J with J by forward differences at the predicted y (f(y) in savf), then LU.
    template <class Rhs>
    Jacobian form_iteration_matrix(Rhs& rhs, double* y) {
        ++nje_;
        jcur_ = true;
        const double hl0 = h_ * el0_;
        double r0 = 1000.0 * std::abs(h_) * uround * N * norm(savf_);
        if (r0 == 0.0) r0 = 1.0;
        for (int j = 0; j < N; ++j) {
            const double yj = y[j];
            const double r = std::max(sqrt_uround * std::abs(yj), r0 / ewt_[j]);
            y[j] += r;
            const double fac = -hl0 / r;
            const bool finite = evaluate(rhs, tn_, y, acor_);
            y[j] = yj;
            if (!finite) return Jacobian::non_finite;
            for (int i = 0; i < N; ++i) lu_[j][i] = (acor_[i] - savf_[i]) * fac;
        }
        pdnorm_ = detail::weighted_matrix_norm<N>(lu_, ewt_) / std::abs(hl0);
        for (int i = 0; i < N; ++i) lu_[i][i] += 1.0;
        return detail::lu_factor<N>(lu_, pivot_) ? Jacobian::ok : Jacobian::singular;
    }

    // One correction; returns the weighted norm of the change.
    double correct_once(double* y) {
        if (newton()) {
            for (int i = 0; i < N; ++i) y[i] = h_ * savf_[i] - (yh_[1][i] + acor_[i]);
            detail::lu_solve<N>(lu_, pivot_, y);
            const double del = norm(y);
            for (int i = 0; i < N; ++i) {
                acor_[i] += y[i];
                y[i] = yh_[0][i] + el0_ * acor_[i];
            }
            return del;
        }
        for (int i = 0; i < N; ++i) savf_[i] = h_ * savf_[i] - yh_[1][i];
        for (int i = 0; i < N; ++i) y[i] = savf_[i] - acor_[i];
        const double del = norm(y);
        for (int i = 0; i < N; ++i) {
            y[i] = yh_[0][i] + el0_ * savf_[i];
            acor_[i] = savf_[i];
        }
        return del;
    }

    // Corrector iteration from the predicted history: functional iteration (Adams) or
    // chord-Newton (BDF). A convergence failure with an old Jacobian is retried once with
    // a fresh one at the same h. On convergence, m and del describe the last iteration.
    template <class Rhs>
    Correction solve_corrector(Rhs& rhs, double* y, int& m, double& del) {
        for (;;) {
            m = 0;
            double rate = 0.0;
            double delp = 0.0;
            del = 0.0;
            for (int i = 0; i < N; ++i) y[i] = yh_[0][i];
            if (!evaluate(rhs, tn_, y, savf_)) return Correction::non_finite;
            if (jacobian_due_) {
                const Jacobian jac = form_iteration_matrix(rhs, y);
                if (jac == Jacobian::non_finite) return Correction::non_finite;
                jacobian_due_ = false;
                rc_ = 1.0;
                nslp_ = nst_;
                crate_ = 0.7;
                if (jac == Jacobian::singular) return Correction::failed;
            }
            for (int i = 0; i < N; ++i) acor_[i] = 0.0;
            for (;;) {
                del = correct_once(y);
                if (del <= 100.0 * pnorm_ * uround) return Correction::converged;
                if (m > 0 || meth_ != Method::adams) {
                    if (m > 0) {
                        const double rm = del <= 1024.0 * delp ? del / delp : 1024.0;
                        rate = std::max(rate, rm);
                        crate_ = std::max(0.2 * crate_, rm);
                    }
                    const double dcon = del * std::min(1.0, 1.5 * crate_) / (tau(1) * conit_);
                    if (!(dcon > 1.0)) {
                        pdest_ = std::max(pdest_, rate / std::abs(h_ * el(0)));
                        if (pdest_ != 0.0) pdlast_ = pdest_;
                        return Correction::converged;
                    }
                }
                ++m;
                if (m == max_corrections || (m >= 2 && del > 2.0 * delp)) break;
                delp = del;
                if (!evaluate(rhs, tn_, y, savf_)) return Correction::non_finite;
            }
            if (!newton() || jcur_) return Correction::failed;
            jacobian_due_ = true;  // the Jacobian was old: refresh it and try again
        }
    }

    // ---- step and order selection ------------------------------------------------------------

    // Chooses the step ratio and order after a success (rhup from the order-increase test)
    // or after an error-test failure (kflag < 0, rhup = 0). Returns true if h was changed.
    bool select_step_and_order(double dsm, double rhup, int kflag) {
        double rhsm = 1.0 / (1.2 * std::pow(dsm, 1.0 / (nq_ + 1)) + 1.2e-6);
        double rhdn = 0.0;
        if (nq_ > 1) {
            const double ddn = norm(yh_[nq_]) / tau(0);
            rhdn = 1.0 / (1.3 * std::pow(ddn, 1.0 / nq_) + 1.3e-6);
        }
        double pdh = 0.0;
        if (meth_ == Method::adams) {
            pdh = std::max(std::abs(h_) * pdlast_, 1e-6);
            if (nq_ + 1 < lmax()) rhup = std::min(rhup, detail::adams_stability[nq_ + 1] / pdh);
            rhsm = std::min(rhsm, detail::adams_stability[nq_] / pdh);
            if (nq_ > 1) rhdn = std::min(rhdn, detail::adams_stability[nq_ - 1] / pdh);
            pdest_ = 0.0;
        }
        bool lower = false;
        if (rhsm >= rhup) {
            lower = rhsm < rhdn;
        } else {
            if (rhup > rhdn) return raise_order(rhup);
            lower = true;
        }
        int newq = nq_;
        double rh = rhsm;
        if (lower) {
            newq = nq_ - 1;
            rh = rhdn;
            if (kflag < 0 && rh > 1.0) rh = 1.0;
        }
        const bool stability_limited =
            meth_ == Method::adams && rh * pdh * 1.00001 >= detail::adams_stability[newq];
        if (!stability_limited && kflag == 0 && rh < 1.1) {
            ialth_ = 3;
            return false;
        }
        if (kflag <= -2) rh = std::min(rh, 0.2);
        if (newq != nq_) {
            nq_ = newq;
            load_order_coefficients();
        }
        rescale(rh);
        return true;
    }

    // Raises the order by one with step ratio rh, unless the gain is under 10 %.
    bool raise_order(double rh) {
        if (rh < 1.1) {
            ialth_ = 3;
            return false;
        }
        const double r = el(nq_) / (nq_ + 1);
        for (int i = 0; i < N; ++i) yh_[nq_ + 1][i] = acor_[i] * r;
        ++nq_;
        load_order_coefficients();
        rescale(rh);
        return true;
    }

    // Stiffness test after a successful step; on a switch, sets the new method and order and
    // rescales h. Returns true if the method was switched.
    bool consider_switch(double dsm) {
        const double exsm = 1.0 / (nq_ + 1);
        const double cm1 = detail::switch_constant(detail::adams, nq_);
        if (meth_ == Method::adams) {
            if (nq_ > detail::max_bdf_order) return false;
            double rh2 = 2.0;
            if (dsm > 100.0 * pnorm_ * uround && pdest_ != 0.0) {
                double rh1 = 1.0 / (1.2 * std::pow(dsm, exsm) + 1.2e-6);
                double rh1it = 2.0 * rh1;
                const double pdh = pdlast_ * std::abs(h_);
                if (pdh * rh1 > 0.00001) rh1it = detail::adams_stability[nq_] / pdh;
                rh1 = std::min(rh1, rh1it);
                const double dm2 = dsm * (cm1 / detail::switch_constant(detail::bdf, nq_));
                rh2 = 1.0 / (1.2 * std::pow(dm2, exsm) + 1.2e-6);
                if (rh2 < switch_ratio * rh1) return false;
            } else if (!irflag_) {
                return false;  // estimates swamped by roundoff and h not stability-limited
            }
            switch_method(Method::bdf, rh2);
            return true;
        }
        double dm1 = dsm * (detail::switch_constant(detail::bdf, nq_) / cm1);
        double rh1 = 1.0 / (1.2 * std::pow(dm1, exsm) + 1.2e-6);
        double rh1it = 2.0 * rh1;
        const double pdh = pdnorm_ * std::abs(h_);
        if (pdh * rh1 > 0.00001) rh1it = detail::adams_stability[nq_] / pdh;
        rh1 = std::min(rh1, rh1it);
        const double rh2 = 1.0 / (1.2 * std::pow(dsm, exsm) + 1.2e-6);
        if (rh1 * switch_ratio < 5.0 * rh2) return false;
        const double alpha = std::max(0.001, rh1);
        dm1 = std::pow(alpha, exsm) * dm1;
        if (dm1 <= 1000.0 * uround * pnorm_) return false;
        switch_method(Method::adams, rh1);
        return true;
    }

    // The order is kept (it never exceeds the new method's maximum here); the history is
    // only rescaled. The new coefficients are loaded at the start of the next step.
    void switch_method(Method to, double rh) {
        icount_ = steps_between_switch_tests;
        meth_ = to;
        pdlast_ = 0.0;
        rescale(rh);
    }

    // ---- one step -----------------------------------------------------------------------------

    // First step of a problem: order 1 Adams.
    void start_stepping() {
        nq_ = 1;
        ialth_ = 2;
        rmax_ = 10000.0;
        rc_ = 0.0;
        el0_ = 1.0;
        crate_ = 0.7;
        hold_ = h_;
        nslp_ = 0;
        jacobian_due_ = false;
        icount_ = steps_between_switch_tests;
        irflag_ = false;
        pdest_ = 0.0;
        pdlast_ = 0.0;
        pdnorm_ = 0.0;
        load_order_coefficients();
    }

    // First step after a method switch.
    void resume_after_switch() {
        jacobian_due_ = newton();
        if (ialth_ == 1) ialth_ = 2;
        if (meth_ != mused_) {
            ialth_ = nq_ + 1;
            load_order_coefficients();
        }
        if (h_ != hold_) {  // not reached with ITASK = 1; kept for completeness
            const double rh = h_ / hold_;
            h_ = hold_;
            rescale(rh);
        }
    }

    // After the third and later error-test failures on one step: restart at order 1 from
    // the current solution with h cut by 10.
    template <class Rhs>
    bool restart_at_order_one(Rhs& rhs, double* y) {
        h_ *= 0.1;
        for (int i = 0; i < N; ++i) y[i] = yh_[0][i];
        if (!evaluate(rhs, tn_, y, savf_)) return false;
        for (int i = 0; i < N; ++i) yh_[1][i] = h_ * savf_[i];
        jacobian_due_ = newton();
        ialth_ = 5;
        if (nq_ != 1) {
            nq_ = 1;
            load_order_coefficients();
        }
        return true;
    }

    // Accepts the step: statistics, history update, switch test, step/order selection.
    void accept_step(double dsm) {
        ++nst_;
        hu_ = h_;
        nqu_ = nq_;
        mused_ = meth_;
        for (int j = 0; j <= nq_; ++j) {
            const double elj = el(j);
            for (int i = 0; i < N; ++i) yh_[j][i] += elj * acor_[i];
        }
        --icount_;
        if (icount_ < 0 && consider_switch(dsm)) {
            rmax_ = 10.0;
            return;
        }
        --ialth_;
        if (ialth_ == 0) {
            double rhup = 0.0;
            if (nq_ + 1 != lmax()) {
                for (int i = 0; i < N; ++i) savf_[i] = acor_[i] - yh_[lmax() - 1][i];
                const double dup = norm(savf_) / tau(2);
                rhup = 1.0 / (1.4 * std::pow(dup, 1.0 / (nq_ + 2)) + 1.4e-6);
            }
            if (select_step_and_order(dsm, rhup, 0)) rmax_ = 10.0;
        } else if (ialth_ == 1 && nq_ + 1 != lmax()) {
            // Keep this step's correction for the order-increase test of the next step.
            for (int i = 0; i < N; ++i) yh_[lmax() - 1][i] = acor_[i];
        }
        // ODEPACK also scales acor by 1/tau2 into the local error estimate; it is not
        // reported here and every later use of acor starts from zero.
    }

    // One step of the integrator (ODEPACK's STODA) from tn, with retries on failure.
    template <class Rhs>
    StepEnd step(Rhs& rhs, double* y) {
        told_ = tn_;
        int kflag = 0;
        int ncf = 0;
        jcur_ = false;
        if (jstart_ == 0) start_stepping();
        if (jstart_ == -1) resume_after_switch();
        for (;;) {
            predict();
            int m = 0;
            double del = 0.0;
            const Correction c = solve_corrector(rhs, y, m, del);
            if (c == Correction::non_finite) {
                retract();
                return StepEnd::non_finite;
            }
            if (c == Correction::failed) {
                ++ncf;
                rmax_ = 2.0;
                retract();
                if (h_ == 0.0 || ncf == max_convergence_failures) return StepEnd::convergence;
                jacobian_due_ = newton();
                rescale(0.25);
                continue;
            }
            jcur_ = false;
            const double dsm = (m == 0 ? del : norm(acor_)) / tau(1);
            if (!(dsm > 1.0)) {
                accept_step(dsm);
                break;
            }
            // Local error test failed.
            --kflag;
            retract();
            rmax_ = 2.0;
            if (h_ == 0.0) return StepEnd::error_test;
            if (kflag <= -3) {
                if (kflag == -10) return StepEnd::error_test;
                if (!restart_at_order_one(rhs, y)) return StepEnd::non_finite;
                continue;
            }
            select_step_and_order(dsm, 0.0, kflag);
        }
        hold_ = h_;
        jstart_ = 1;
        return StepEnd::success;
    }

    // ---- state --------------------------------------------------------------------------------

    double yh_[max_columns][N];  // Nordsieck history z_0..z_12 (the last one also holds the
                                 // previous correction for the order-increase test)
    double ewt_[N];              // reciprocal error weights
    double savf_[N];             // f at the current iterate (also scratch)
    double acor_[N];             // accumulated correction
    double lu_[N][N];            // LU factors of I - h l0 J, by columns
    int pivot_[N];

    double rtol_ = 0.0, atol_ = 0.0;
    double tn_ = 0.0, told_ = 0.0;  // internal time, and at the start of the step
    double h_ = 0.0, hold_ = 0.0, hu_ = 0.0, tsw_ = 0.0;
    double rc_ = 0.0;                    // h l0 relative to its value when P was formed
    double el0_ = 1.0;                   // l0 of the current order
    double conit_ = 0.0;                 // 0.5/(q+2), convergence test constant
    double crate_ = 0.7;                 // convergence rate estimate
    double rmax_ = 10000.0;              // largest step growth at the next change
    double pdest_ = 0.0, pdlast_ = 0.0;  // Lipschitz estimates from functional iteration
    double pdnorm_ = 0.0;                // norm of the last difference Jacobian
    double pnorm_ = 0.0;                 // norm of the predicted solution
    int nq_ = 1, nqu_ = 0, ialth_ = 2, icount_ = 20, nslp_ = 0, jstart_ = 0;
    int max_order_ = detail::max_adams_order;
    int nst_ = 0, nfe_ = 0, nje_ = 0;
    bool jacobian_due_ = false, jcur_ = false, irflag_ = false;
    Method meth_ = Method::adams, mused_ = Method::none;
};

}  // namespace plix::lsoda
