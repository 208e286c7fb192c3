// Exponential of a small fixed-size matrix, for the exact propagation of the populations of
// a level scheme over one time step at fixed intensity. Compiled for N = 1 .. max_levels.
#pragma once

#include <array>
#include <cstddef>

namespace plix::model {

template <std::size_t N>
using Matrix = std::array<double, N * N>;  // row-major
template <std::size_t N>
using Vector = std::array<double, N>;

// exp(a) by scaling and squaring with a diagonal Pade approximant of degree 3, 5, 7, 9 or
// 13, chosen from the 1-norm of a so that the backward error stays below the unit roundoff
// (Higham, SIAM J. Matrix Anal. Appl. 26 (2005) 1179). No allocation. A matrix with a
// non-finite entry gives a matrix of NaN.
template <std::size_t N>
Matrix<N> matrix_exponential(const Matrix<N>& a);

// exp(a) v, the same approximant as matrix_exponential, with its last squarings done as
// products with v (cheaper when only the propagated vector is wanted).
template <std::size_t N>
Vector<N> matrix_exponential_times(const Matrix<N>& a, const Vector<N>& v);

// Largest absolute column sum.
template <std::size_t N>
double one_norm(const Matrix<N>& a);

// a * b.
template <std::size_t N>
Matrix<N> multiply(const Matrix<N>& a, const Matrix<N>& b);

}  // namespace plix::model
