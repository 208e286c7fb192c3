#include "model/physical_curve.hpp"

#include <algorithm>
#include <limits>

namespace plix::model {

// Placeholder until the physical model lands: NaN everywhere.
void physical_curve(const PhysicalModel& /*model*/, const CurveRequest& /*request*/,
                    std::span<double> out, unsigned /*threads*/, CurveReport& /*report*/) {
    std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
}

PhysicalGrid choose_physical_grid(const PhysicalModel& /*model*/, const CurveRequest& /*request*/,
                                  unsigned /*threads*/, double& error_estimate) {
    error_estimate = std::numeric_limits<double>::quiet_NaN();
    return {};
}

}  // namespace plix::model
