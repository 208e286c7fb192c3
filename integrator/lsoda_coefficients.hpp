// Method coefficients of LSODA: the Adams-Moulton (orders 1..12) and BDF (orders 1..5)
// corrector polynomials, the error-test constants and the stability bounds. The tables are
// generated at compile time by the same floating-point recipe as ODEPACK's CFODE, so every
// stored double is the one the Fortran routine produces.
#pragma once

namespace plix::lsoda::detail {

inline constexpr int max_adams_order = 12;
inline constexpr int max_bdf_order = 5;

// Coefficients of one method, indexed by order q (row 0 unused).
struct MethodCoefficients {
    double el[max_adams_order + 1][max_adams_order + 1] = {};  // el[q][j] = l_j, j = 0..q
    // tau[q][0]: test constant for order q-1, tau[q][1]: for order q (and the error test),
    // tau[q][2]: for order q+1.
    double tau[max_adams_order + 1][3] = {};
};

// Adams-Moulton: dl/dx = (x+1)...(x+q-1)/(q-1)!, l(-1) = 0.
constexpr MethodCoefficients make_adams() {
    MethodCoefficients c;
    c.el[1][0] = 1.0;
    c.el[1][1] = 1.0;
    c.tau[1][0] = 0.0;
    c.tau[1][1] = 2.0;
    c.tau[2][0] = 1.0;
    c.tau[max_adams_order][2] = 0.0;
    double p[max_adams_order + 1] = {1.0};  // p[i]: coefficient of x^i of (x+1)...(x+q-1)
    double rqfac = 1.0;
    for (int nq = 2; nq <= max_adams_order; ++nq) {
        const double rq1fac = rqfac;  // 1/(q-1)!
        rqfac = rqfac / nq;           // 1/q!
        const double fnqm1 = nq - 1;
        p[nq - 1] = 0.0;
        for (int i = nq - 1; i >= 1; --i) p[i] = p[i - 1] + fnqm1 * p[i];
        p[0] = fnqm1 * p[0];
        // Integrals of p(x) and of -x p(x) over [-1, 0], as alternating sums.
        double pint = p[0];
        double xpin = p[0] / 2.0;
        double tsign = 1.0;
        for (int i = 1; i < nq; ++i) {
            tsign = -tsign;
            pint += tsign * p[i] / (i + 1);
            xpin += tsign * p[i] / (i + 2);
        }
        c.el[nq][0] = pint * rq1fac;
        c.el[nq][1] = 1.0;
        for (int i = 1; i < nq; ++i) c.el[nq][i + 1] = rq1fac * p[i] / (i + 1);
        const double agamq = rqfac * xpin;
        const double ragq = 1.0 / agamq;
        c.tau[nq][1] = ragq;
        if (nq < max_adams_order) c.tau[nq + 1][0] = ragq * rqfac / (nq + 1);
        c.tau[nq - 1][2] = ragq;
    }
    return c;
}

// BDF: l(x) = (x+1)...(x+q) / (q! (1 + 1/2 + ... + 1/q)).
constexpr MethodCoefficients make_bdf() {
    MethodCoefficients c;
    double p[max_bdf_order + 1] = {1.0};  // p[i]: coefficient of x^i of (x+1)...(x+q)
    double rq1fac = 1.0;                  // 1/(q-1)!
    for (int nq = 1; nq <= max_bdf_order; ++nq) {
        const double fnq = nq;
        p[nq] = 0.0;
        for (int i = nq; i >= 1; --i) p[i] = p[i - 1] + fnq * p[i];
        p[0] = fnq * p[0];
        for (int i = 0; i <= nq; ++i) c.el[nq][i] = p[i] / p[1];
        c.el[nq][1] = 1.0;
        c.tau[nq][0] = rq1fac;
        c.tau[nq][1] = (nq + 1) / c.el[nq][0];
        c.tau[nq][2] = (nq + 2) / c.el[nq][0];
        rq1fac = rq1fac / fnq;
    }
    return c;
}

inline constexpr MethodCoefficients adams = make_adams();
inline constexpr MethodCoefficients bdf = make_bdf();

// Bounds on |h| times the Lipschitz estimate for the Adams methods, by order.
inline constexpr double adams_stability[max_adams_order + 1] = {
    0.0, 0.5, 0.575, 0.55, 0.45, 0.35, 0.25, 0.20, 0.15, 0.10, 0.075, 0.050, 0.025};

// Switching constants: tau2 times the leading coefficient l_q, per order.
constexpr double switch_constant(const MethodCoefficients& c, int q) {
    return c.tau[q][1] * c.el[q][q];
}

// Reference values of the ODEPACK tables (as CFODE stores them).
static_assert(adams.el[3][0] == 0.41666666666666663);
static_assert(adams.el[5][0] == 0.34861111111111104);
static_assert(adams.el[11][11] == 2.505210838544172e-08);
static_assert(adams.tau[2][1] == 11.999999999999998);
static_assert(adams.tau[1][2] == 11.999999999999998);
static_assert(adams.tau[5][1] == 53.333333333333364);
static_assert(adams.tau[6][0] == 0.074074074074074112);
static_assert(adams.tau[12][0] == 3.5240645150490761e-07);
static_assert(adams.tau[11][2] == 190.96020155120058);
static_assert(switch_constant(adams, 2) == 5.9999999999999991);
static_assert(switch_constant(adams, 10) == 4.0609974117294529e-05);
static_assert(bdf.el[5][0] == 0.43795620437956206);
static_assert(bdf.el[4][2] == 0.69999999999999996);
static_assert(bdf.tau[3][1] == 7.3333333333333339);
static_assert(bdf.tau[5][2] == 15.983333333333333);
static_assert(bdf.tau[5][0] == 0.041666666666666664);
static_assert(switch_constant(bdf, 3) == 0.66666666666666674);
static_assert(switch_constant(bdf, 5) == 0.049999999999999996);

}  // namespace plix::lsoda::detail
