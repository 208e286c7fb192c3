#include "engine/covariance.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace plix::engine {
namespace {

constexpr int kMaxJacobiSweeps = 100;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double off_diagonal_norm(std::span<const double> a, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (i != j) sum += a[i * n + j] * a[i * n + j];
    return std::sqrt(sum);
}

double frobenius_norm(std::span<const double> a) {
    double sum = 0.0;
    for (const double x : a) sum += x * x;
    return std::sqrt(sum);
}

// One rotation in the (p, q) plane that zeroes a[p][q], applied to a and accumulated in v.
void jacobi_rotate(std::span<double> a, std::size_t n, std::span<double> v, std::size_t p,
                   std::size_t q) {
    const double apq = a[p * n + q];
    if (apq == 0.0) return;
    const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
    const double t = std::copysign(1.0, theta) / (std::abs(theta) + std::hypot(theta, 1.0));
    const double c = 1.0 / std::hypot(t, 1.0);
    const double s = t * c;
    for (std::size_t k = 0; k < n; ++k) {
        const double akp = a[k * n + p];
        const double akq = a[k * n + q];
        a[k * n + p] = c * akp - s * akq;
        a[k * n + q] = s * akp + c * akq;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const double apk = a[p * n + k];
        const double aqk = a[q * n + k];
        a[p * n + k] = c * apk - s * aqk;
        a[q * n + k] = s * apk + c * aqk;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const double vkp = v[k * n + p];
        const double vkq = v[k * n + q];
        v[k * n + p] = c * vkp - s * vkq;
        v[k * n + q] = s * vkp + c * vkq;
    }
}

Covariance unavailable(std::size_t n, double reciprocal_condition) {
    Covariance c;
    c.n = n;
    c.matrix.assign(n * n, kNaN);
    c.correlation.assign(n * n, kNaN);
    for (std::size_t i = 0; i < n; ++i) c.matrix[i * n + i] = kInf;
    c.stderrs.assign(n, kInf);
    c.reciprocal_condition = reciprocal_condition;
    return c;
}

}  // namespace

void symmetric_eigen(std::span<double> a, std::size_t n, std::span<double> eigenvalues,
                     std::span<double> v) {
    std::fill(v.begin(), v.end(), 0.0);
    for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1.0;
    const double tiny = std::numeric_limits<double>::epsilon() * frobenius_norm(a);
    for (int sweep = 0; sweep < kMaxJacobiSweeps && off_diagonal_norm(a, n) > tiny; ++sweep)
        for (std::size_t p = 0; p + 1 < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) jacobi_rotate(a, n, v, p, q);
    for (std::size_t i = 0; i < n; ++i) eigenvalues[i] = a[i * n + i];
}

Covariance covariance_from_jacobian(std::span<const double> jacobian, std::size_t m,
                                    std::size_t n, double scale) {
    // J^T J, then scaled to unit diagonal so that the condition number measures how well the
    // data separate the parameters, not their units.
    std::vector<double> jtj(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < m; ++k) sum += jacobian[i * m + k] * jacobian[j * m + k];
            jtj[i * n + j] = sum;
        }
    std::vector<double> d(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double diag = jtj[i * n + i];
        if (!(diag > 0.0) || !std::isfinite(diag)) return unavailable(n, 0.0);
        d[i] = 1.0 / std::sqrt(diag);
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) jtj[i * n + j] *= d[i] * d[j];

    std::vector<double> lambda(n);
    std::vector<double> v(n * n);
    symmetric_eigen(jtj, n, lambda, v);
    const auto [lo, hi] = std::minmax_element(lambda.begin(), lambda.end());
    const double rcond = std::max(*lo, 0.0) / *hi;
    if (!(rcond >= kSmallestReciprocalCondition) || !std::isfinite(scale))
        return unavailable(n, rcond);

    Covariance c;
    c.n = n;
    c.well_conditioned = true;
    c.reciprocal_condition = rcond;
    c.matrix.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) sum += v[i * n + k] * v[j * n + k] / lambda[k];
            c.matrix[i * n + j] = scale * d[i] * d[j] * sum;
        }
    c.stderrs.resize(n);
    for (std::size_t i = 0; i < n; ++i) c.stderrs[i] = std::sqrt(c.matrix[i * n + i]);
    c.correlation.resize(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            c.correlation[i * n + j] =
                i == j ? 1.0 : c.matrix[i * n + j] / (c.stderrs[i] * c.stderrs[j]);
    return c;
}

}  // namespace plix::engine
