// The physical model: energy-normalised Gaussian beam and pulse, converged discretisation.
#pragma once

#include <span>

#include "model/curve_model.hpp"

namespace plix::model {

// Evaluates the curve on model.grid when every dimension it uses is positive (radial_nodes
// is ignored on axis and reported as 1); the error is then not estimated and the report's
// error_estimate is NaN. Otherwise the dimensions given as zero are chosen for
// model.accuracy, those given are kept, and the grid used and its error estimate go to the
// report. Positions and radii are evaluated on up to `threads` threads; the result is
// bitwise the same for every thread count.
void physical_curve(const PhysicalModel& model, const CurveRequest& request, std::span<double> out,
                    unsigned threads, CurveReport& report);

// Chooses the grid for model.accuracy at the given curve and returns it with its error
// estimate (the largest error over the positions, in the curve's normalisation). The
// estimate compares the grid with its halving in each dimension; when the search stops at
// its cell budget or on a non-finite curve, the estimate returned exceeds the accuracy (or
// is NaN) and says so. A caller with several curves (a fit over several
// energies) takes the componentwise largest grid and keeps it fixed, so that the model is a
// smooth function of the parameters during the fit.
PhysicalGrid choose_physical_grid(const PhysicalModel& model, const CurveRequest& request,
                                  unsigned threads, double& error_estimate);

}  // namespace plix::model
