// fit_zscan's model of one fit: the normalised Z-scan transmittance of one dataset, the
// five-level rate equations integrated by LSODA.
#pragma once

#include <span>

#include "compat/five_level_layout.hpp"
#include "model/integration_tally.hpp"
#include "model/plane_view.hpp"

namespace plix::compat {

// Writes the transmittance at every scan position into out. Preconditions (checked by the
// Python entry point): out, positions and incident.rows have one length nx >= 5;
// time_grid has incident.cols >= 2 entries; depth_grid has 0 or >= 2 entries; populations
// has >= 5 entries. Inputs outside these limits are never read past their ends: out is
// filled with NaN instead (and asserted against in debug builds). Every integration is
// counted in `tally` by how it ended; one that ends early leaves the state it reached,
// and the evaluation goes on from there. Writes the calling thread's rate_parameters().
void zscan_transmittance(std::span<double> out, std::span<const double> positions,
                         std::span<const double> depth_grid, std::span<const double> time_grid,
                         std::span<const double> populations, const model::PlaneView& incident,
                         double photon_frequency, std::span<const double, parameter_count> params,
                         model::IntegrationTally& tally);

using ModelProcedure = decltype(&zscan_transmittance);

// The curve before the baseline shift: the fraction of the pulse energy transmitted at each
// of the fraction.size() scan positions (the same preconditions, with fraction in the place
// of out and positions).
void transmitted_fraction(std::span<double> fraction, std::span<const double> depth_grid,
                          std::span<const double> time_grid, std::span<const double> populations,
                          const model::PlaneView& incident, double photon_frequency,
                          std::span<const double, parameter_count> params,
                          model::IntegrationTally& tally);

}  // namespace plix::compat
