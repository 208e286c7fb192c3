// Parameter covariance from the Jacobian of the weighted residuals at a least-squares
// solution.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace plix::engine {

struct Covariance {
    std::size_t n = 0;
    std::vector<double> matrix;       // n x n, row-major
    std::vector<double> stderrs;      // sqrt of the diagonal
    std::vector<double> correlation;  // n x n, row-major
    // False when J^T J is singular or too ill-conditioned to invert: then the variances are
    // inf and everything else NaN.
    bool well_conditioned = false;
    // Smallest over largest eigenvalue of J^T J with unit diagonal (0 if a column is zero).
    double reciprocal_condition = 0.0;
};

// Below this reciprocal condition number the inverse is dominated by the error of a
// difference Jacobian (relative error about 1e-10 here) and is not reported.
inline constexpr double kSmallestReciprocalCondition = 1e-12;

// jacobian is m x n column-major: column j is d(weighted residuals)/d(parameter j).
// scale multiplies (J^T J)^-1: the reduced chi^2 when no uncertainties were given, else 1.
Covariance covariance_from_jacobian(std::span<const double> jacobian, std::size_t m,
                                    std::size_t n, double scale);

// Eigenvalues of the symmetric n x n row-major matrix a (cyclic Jacobi rotations); the
// eigenvectors go to the columns of v (n x n, row-major). a is overwritten.
void symmetric_eigen(std::span<double> a, std::size_t n, std::span<double> eigenvalues,
                     std::span<double> v);

}  // namespace plix::engine
