// The physical model: energy-normalised Gaussian beam and pulse, converged discretisation.
#pragma once

#include <span>

#include "model/curve_model.hpp"

namespace plix::model {

// Evaluates the curve on model.grid, or, when that grid is all zero, on a grid chosen for
// model.accuracy; the grid used and the error estimate go to the report.
void physical_curve(const PhysicalModel& model, const CurveRequest& request,
                    std::span<double> out, unsigned threads, CurveReport& report);

// Chooses the grid for model.accuracy at the given curve and returns it with its error
// estimate (in normalised transmittance). A caller with several curves (a fit over several
// energies) takes the componentwise largest grid and keeps it fixed, so that the model is a
// smooth function of the parameters during the fit.
PhysicalGrid choose_physical_grid(const PhysicalModel& model, const CurveRequest& request,
                                  unsigned threads, double& error_estimate);

}  // namespace plix::model
