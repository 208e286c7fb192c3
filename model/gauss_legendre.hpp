// Gauss-Legendre quadrature on [0, 1].
#pragma once

#include <span>

namespace plix::model {

// Fills nodes and weights (the same size n >= 1) with the n-point Gauss-Legendre rule on
// [0, 1]: exact for polynomials up to degree 2n - 1, weights summing to 1. Nodes increase.
void gauss_legendre_unit(std::span<double> nodes, std::span<double> weights);

}  // namespace plix::model
