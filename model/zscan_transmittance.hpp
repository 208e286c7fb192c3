// Normalised Z-scan transmittance of one dataset.
#pragma once

#include <span>

#include "model/curve_model.hpp"
#include "model/integration_tally.hpp"
#include "model/model_layout.hpp"
#include "model/plane_view.hpp"

namespace plix::model {

// Writes the transmittance at every scan position into out. Preconditions (checked by the
// Python entry point): out, positions and incident.rows have one length nx >= 5;
// time_grid has incident.cols >= 2 entries; depth_grid has 0 or >= 2 entries; populations
// has >= 5 entries. Inputs outside these limits are never read past their ends: out is
// filled with NaN instead (and asserted against in debug builds). Every integration is
// counted in `tally` by how it ended; one that ends early leaves the state it reached,
// and the evaluation goes on from there.
void zscan_transmittance(std::span<double> out, std::span<const double> positions,
                         std::span<const double> depth_grid, std::span<const double> time_grid,
                         std::span<const double> populations, const PlaneView& incident,
                         double photon_frequency, std::span<const double, parameter_count> params,
                         IntegrationTally& tally);

using ModelProcedure = decltype(&zscan_transmittance);

// The two stages of zscan_transmittance, for callers that want the curve before the
// baseline shift.
//
// Fraction of the pulse energy transmitted at each of the fraction.size() scan positions
// (the same preconditions, with fraction in the place of out and positions).
void transmitted_fraction(std::span<double> fraction, std::span<const double> depth_grid,
                          std::span<const double> time_grid, std::span<const double> populations,
                          const PlaneView& incident, double photon_frequency,
                          std::span<const double, parameter_count> params, IntegrationTally& tally);

// The inputs of transmitted_fraction as one problem.
struct FractionProblem {
    std::span<const double> depth_grid;
    std::span<const double> time_grid;
    std::span<const double> populations;
    PlaneView incident;
    double photon_frequency;
    std::span<const double, parameter_count> params;
};

// transmitted_fraction with a choice of slice stepper (Stepper::lsoda is the one above,
// Stepper::exact solves each population and attenuation step exactly), on up to `threads`
// threads; the result does not depend on `threads`. With Stepper::exact the calling
// thread's rate_parameters() are left alone and the tally stays empty.
void transmitted_fraction(std::span<double> fraction, const FractionProblem& problem,
                          Stepper stepper, unsigned threads, IntegrationTally& tally);

// Mean of the first five and the last five entries (they overlap when fewer than ten,
// and shared entries count twice). Requires curve.size() >= 5.
double baseline(std::span<const double> curve);

// Adds 1 - baseline(curve) to every entry, so that the ten end values average 1.
// Requires curve.size() >= 5.
void shift_to_unit_baseline(std::span<double> curve);

}  // namespace plix::model
