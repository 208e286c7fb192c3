#include "compat/zscan_transmittance.hpp"

#include <algorithm>
#include <cassert>
#include <limits>

#include "compat/five_level.hpp"
#include "model/seed_stepper.hpp"

namespace plix::compat {

void transmitted_fraction(std::span<double> fraction, std::span<const double> depth_grid,
                          std::span<const double> time_grid, std::span<const double> populations,
                          const model::PlaneView& incident, double photon_frequency,
                          std::span<const double, parameter_count> params,
                          model::IntegrationTally& tally) {
    // fit_zscan's model writes the calling thread's coefficients; the stepper copies them.
    const RateParameters& coefficients = set_rate_parameters(params, photon_frequency);
    const model::SeedGrids grids{depth_grid, time_grid, populations, incident};
    model::seed_fraction(
        fraction, grids, level_count,
        [&](double dt, double dz) {
            return model::LsodaSliceStepper<level_count, RateEquations, AttenuationRhs>(
                RateEquations{coefficients}, AttenuationRhs{coefficients}, dt, dz);
        },
        model::RunControl{1, nullptr}, tally);
}

void zscan_transmittance(std::span<double> out, std::span<const double> positions,
                         std::span<const double> depth_grid, std::span<const double> time_grid,
                         std::span<const double> populations, const model::PlaneView& incident,
                         double photon_frequency, std::span<const double, parameter_count> params,
                         model::IntegrationTally& tally) {
    const bool admissible = out.size() == positions.size() && out.size() >= model::baseline_window;
    assert(admissible);
    if (!admissible) {
        std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
        return;
    }
    transmitted_fraction(out, depth_grid, time_grid, populations, incident, photon_frequency,
                         params, tally);
    model::shift_to_unit_baseline(out);
}

}  // namespace plix::compat
