// Exponential of a fixed-size matrix of the level layout, for the exact propagation of the
// populations over one time step at fixed intensity.
#pragma once

#include <array>

#include "model/model_layout.hpp"

namespace plix::model {

using Matrix5 = std::array<double, level_count * level_count>;  // row-major
using Vector5 = std::array<double, level_count>;

// exp(a) by scaling and squaring with a diagonal Pade approximant of degree 3, 5, 7, 9 or
// 13, chosen from the 1-norm of a so that the backward error stays below the unit roundoff
// (Higham, SIAM J. Matrix Anal. Appl. 26 (2005) 1179). No allocation. A matrix with a
// non-finite entry gives a matrix of NaN.
Matrix5 matrix_exponential(const Matrix5& a);

// exp(a) v, the same approximant as matrix_exponential, with its last squarings done as
// products with v (cheaper when only the propagated vector is wanted).
Vector5 matrix_exponential_times(const Matrix5& a, const Vector5& v);

// Largest absolute column sum.
double one_norm(const Matrix5& a);

// a * b.
Matrix5 multiply(const Matrix5& a, const Matrix5& b);

}  // namespace plix::model
