// Exponential of a fixed-size matrix of the level layout, for the exact propagation of the
// populations over one time step at fixed intensity.
#pragma once

#include <array>

#include "model/model_layout.hpp"

namespace plix::model {

using Matrix5 = std::array<double, level_count * level_count>;  // row-major

// exp(a) by scaling and squaring with a diagonal Pade approximant of degree 3, 5, 7, 9 or
// 13, chosen from the 1-norm of a so that the backward error stays below the unit roundoff
// (Higham, SIAM J. Matrix Anal. Appl. 26 (2005) 1179). No allocation. A matrix with a
// non-finite entry gives a matrix of NaN.
Matrix5 matrix_exponential(const Matrix5& a);

// Largest absolute column sum.
double one_norm(const Matrix5& a);

// a * b.
Matrix5 multiply(const Matrix5& a, const Matrix5& b);

}  // namespace plix::model
