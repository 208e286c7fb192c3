// Uniform grid fill.
#pragma once

#include <cstdint>
#include <span>

namespace plix::model {

// Writes n uniform points from a to b into out (n <= 0: nothing; n = 1: a only). The last
// point is computed by the formula, not copied from b. Requires out.size() >= n.
void linspace(std::span<double> out, double a, double b, std::int32_t n);

}  // namespace plix::model
