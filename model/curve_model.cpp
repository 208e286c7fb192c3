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

namespace {

// The indices of the points in order of position (ties in their given order).
std::vector<std::size_t> sorted_order(std::span<const double> positions_mm) {
    std::vector<std::size_t> order(positions_mm.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return positions_mm[a] < positions_mm[b];
    });
    return order;
}

// The mean of the points at either end of the sorted scan.
double baseline_of(std::span<const double> measured, const std::vector<std::size_t>& order) {
    const std::size_t n = measured.size();
    const std::size_t ends = std::min(end_points, n / 2);
    double baseline = 0.0;
    for (std::size_t k = 0; k < ends; ++k)
        baseline += measured[order[k]] + measured[order[n - 1 - k]];
    return ends > 0 ? baseline / (2.0 * static_cast<double>(ends)) : measured[0];
}

}  // namespace

double peak_valley_crossing(std::span<const double> positions_mm,
                            std::span<const double> measured) {
    const std::vector<std::size_t> order = sorted_order(positions_mm);
    const double baseline = baseline_of(measured, order);
    std::size_t lo = 0;
    std::size_t hi = 0;
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (measured[order[k]] < measured[order[lo]]) lo = k;
        if (measured[order[k]] > measured[order[hi]]) hi = k;
    }
    const std::size_t first = std::min(lo, hi);
    const std::size_t last = std::max(lo, hi);
    for (std::size_t k = first; k < last; ++k) {
        const double a = measured[order[k]] - baseline;
        const double b = measured[order[k + 1]] - baseline;
        if ((a <= 0.0 && b > 0.0) || (a >= 0.0 && b < 0.0)) {
            const double za = positions_mm[order[k]];
            const double zb = positions_mm[order[k + 1]];
            return za + (zb - za) * a / (a - b);
        }
    }
    return extremum_position(positions_mm, measured);
}

double extremum_position(std::span<const double> positions_mm, std::span<const double> measured) {
    const std::vector<std::size_t> order = sorted_order(positions_mm);
    const double baseline = baseline_of(measured, order);
    const auto [lo, hi] = std::minmax_element(measured.begin(), measured.end());
    const bool dip = baseline - *lo >= *hi - baseline;
    return positions_mm[static_cast<std::size_t>((dip ? lo : hi) - measured.begin())];
}

}  // namespace plix::model
