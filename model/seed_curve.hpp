// fit_zscan's discretisation as a curve model.
#pragma once

#include <span>

#include "model/curve_model.hpp"

namespace plix::model {

void seed_curve(const SeedModel& model, const CurveRequest& request, std::span<double> out,
                unsigned threads, CurveReport& report);

}  // namespace plix::model
