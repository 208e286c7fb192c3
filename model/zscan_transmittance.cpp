#include "model/zscan_transmittance.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <limits>
#include <vector>

#include "integrator/lsoda.hpp"
#include "model/rate_equations.hpp"

namespace plix::model {
namespace {

constexpr double relative_tolerance = 1e-6;
constexpr double absolute_tolerance = 1e-6;
constexpr std::size_t level_count = 5;
constexpr std::size_t baseline_window = 5;

// Advances one depth slice by one time step and carries the light through it. Both
// integrations start afresh from t = 0.
class SliceStepper {
  public:
    SliceStepper(const RateParameters& coefficients, double dt, double dz)
        : rates_{coefficients}, attenuation_{coefficients}, dt_{dt}, dz_{dz} {}

    // Evolves the slice's populations n[0..5) under the fixed entering intensity, then
    // attenuates that intensity across the slice with the updated populations; returns the
    // intensity leaving the slice. On integrator trouble the state reached is kept.
    double step(double* n, double intensity) {
        std::array<double, level_count + 1> population_state{n[0], n[1], n[2],
                                                             n[3], n[4], intensity};
        tally_.record(population_solver_
                          .integrate(rates_, population_state.data(), 0.0, dt_, relative_tolerance,
                                     absolute_tolerance)
                          .status);
        std::copy_n(population_state.begin(), level_count, n);

        std::array<double, level_count + 1> attenuation_state{intensity, n[0], n[1],
                                                              n[2],      n[3], n[4]};
        tally_.record(attenuation_solver_
                          .integrate(attenuation_, attenuation_state.data(), 0.0, dz_,
                                     relative_tolerance, absolute_tolerance)
                          .status);
        return attenuation_state[0];
    }

    const IntegrationTally& tally() const { return tally_; }

  private:
    lsoda::Solver<static_cast<int>(level_count)> population_solver_;
    lsoda::Solver<1> attenuation_solver_;
    RateEquations rates_;
    AttenuationRhs attenuation_;
    double dt_;
    double dz_;
    IntegrationTally tally_;
};

// Every slice starts from the initial populations.
void reset_slices(std::span<double> slices, std::span<const double> populations) {
    for (std::size_t k = 0; k < slices.size(); k += level_count)
        std::copy_n(populations.begin(), level_count, slices.begin() + k);
}

// Sizes the model can work with without reading outside any array: two time points for dt,
// none or at least two depth points for dz, five initial populations, and a plane that
// matches the positions and the time grid.
bool admissible_fraction_inputs(std::size_t nx, std::span<const double> depth_grid,
                                std::span<const double> time_grid,
                                std::span<const double> populations, const PlaneView& incident) {
    return time_grid.size() >= 2 && depth_grid.size() != 1 && populations.size() >= level_count &&
           incident.rows == nx && incident.cols == time_grid.size() &&
           (nx == 0 || incident.data != nullptr);
}

void fill_not_a_number(std::span<double> out) {
    std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
}

}  // namespace

void transmitted_fraction(std::span<double> fraction, std::span<const double> depth_grid,
                          std::span<const double> time_grid, std::span<const double> populations,
                          const PlaneView& incident, double photon_frequency,
                          std::span<const double, 8> params, IntegrationTally& tally) {
    const std::size_t nx = fraction.size();
    const bool admissible =
        admissible_fraction_inputs(nx, depth_grid, time_grid, populations, incident);
    assert(admissible);
    if (!admissible) {
        fill_not_a_number(fraction);
        return;
    }

    const RateParameters& coefficients = set_rate_parameters(params, photon_frequency);
    const std::size_t nt = time_grid.size();
    const std::size_t nz = depth_grid.size();
    const double dt = time_grid[1] - time_grid[0];
    const double dz = nz == 0 ? 0.0 : depth_grid[1];  // the grid starts at 0

    std::vector<double> slices(level_count * nz);
    SliceStepper stepper(coefficients, dt, dz);

    for (std::size_t i = 0; i < nx; ++i) {
        reset_slices(slices, populations);
        double transmitted_sum = 0.0;
        double incident_sum = 0.0;
        for (std::size_t j = 0; j < nt; ++j) {
            const double entering = incident(i, j);
            double intensity = entering;
            for (std::size_t k = 0; k < nz; ++k)
                intensity = stepper.step(slices.data() + level_count * k, intensity);
            transmitted_sum += intensity;
            incident_sum += entering;
        }
        fraction[i] = transmitted_sum / incident_sum;
    }
    tally.merge(stepper.tally());
}

double baseline(std::span<const double> curve) {
    assert(curve.size() >= baseline_window);
    const std::size_t nx = curve.size();
    double sum = 0.0;
    for (std::size_t m = 0; m < baseline_window; ++m) sum += curve[m];
    for (std::size_t m = nx - baseline_window; m < nx; ++m) sum += curve[m];
    return 0.1 * sum;
}

void shift_to_unit_baseline(std::span<double> curve) {
    const double shift = 1.0 - baseline(curve);
    for (double& value : curve) value = value + shift;
}

void zscan_transmittance(std::span<double> out, std::span<const double> positions,
                         std::span<const double> depth_grid, std::span<const double> time_grid,
                         std::span<const double> populations, const PlaneView& incident,
                         double photon_frequency, std::span<const double, 8> params,
                         IntegrationTally& tally) {
    const bool admissible = out.size() == positions.size() && out.size() >= baseline_window;
    assert(admissible);
    if (!admissible) {
        fill_not_a_number(out);
        return;
    }
    transmitted_fraction(out, depth_grid, time_grid, populations, incident, photon_frequency,
                         params, tally);
    shift_to_unit_baseline(out);
}

}  // namespace plix::model
