#include "model/curve_model.hpp"

#include <algorithm>
#include <numbers>
#include <numeric>

namespace plix::model {
namespace {

// Points at either end of a sorted scan whose mean is its baseline.
constexpr std::size_t end_points = 5;

}  // namespace

double Setup::rayleigh_range() const { return std::numbers::pi * (w0 * w0) / (M2 * wavelength); }

std::shared_ptr<const CurveModel> CurveModel::with_fixed_discretisation(
    std::span<const CurveRequest> /*curves*/, const RunControl& /*run*/,
    Discretisation& chosen) const {
    chosen = {};
    return nullptr;
}

double CurveModel::focus_position(std::span<const double> positions_mm,
                                  std::span<const double> measured, double /*aperture*/) const {
    return extremum_position(positions_mm, measured);
}

double extremum_position(std::span<const double> positions_mm, std::span<const double> measured) {
    const std::size_t n = measured.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return positions_mm[a] < positions_mm[b];
    });
    const std::size_t ends = std::min(end_points, n / 2);
    double baseline = 0.0;
    for (std::size_t k = 0; k < ends; ++k)
        baseline += measured[order[k]] + measured[order[n - 1 - k]];
    baseline = ends > 0 ? baseline / (2.0 * static_cast<double>(ends)) : measured[0];
    const auto [lo, hi] = std::minmax_element(measured.begin(), measured.end());
    const bool dip = baseline - *lo >= *hi - baseline;
    return positions_mm[static_cast<std::size_t>((dip ? lo : hi) - measured.begin())];
}

}  // namespace plix::model
