#include "model/zscan_transmittance.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "integrator/lsoda.hpp"
#include "model/matrix_exponential.hpp"
#include "model/parallel_for.hpp"
#include "model/rate_equations.hpp"
#include "model/rate_matrix.hpp"

namespace plix::model {
namespace {

constexpr double relative_tolerance = 1e-6;
constexpr double absolute_tolerance = 1e-6;
constexpr std::size_t baseline_window = 5;

// Advances one depth slice by one time step and carries the light through it, with LSODA
// for both stages. Both integrations start afresh from t = 0.
class LsodaSliceStepper {
  public:
    LsodaSliceStepper(const RateParameters& coefficients, double dt, double dz)
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

// The same step solved exactly: at fixed intensity the populations follow a linear system
// with constant coefficients, N <- exp(A dt) N, and at fixed populations the intensity
// decays as I <- I exp(-alpha dz). Integrates nothing, so its tally stays empty.
class ExactSliceStepper {
  public:
    ExactSliceStepper(const RateParameters& coefficients, double dt, double dz)
        : coefficients_{coefficients}, dt_{dt}, dz_{dz} {}

    double step(double* n, double intensity) const {
        Matrix5 a = rate_matrix(coefficients_, intensity);
        for (double& entry : a) entry *= dt_;
        const Matrix5 propagator = matrix_exponential(a);
        std::array<double, level_count> next{};
        for (std::size_t r = 0; r < level_count; ++r)
            for (std::size_t c = 0; c < level_count; ++c)
                next[r] += propagator[r * level_count + c] * n[c];
        std::copy(next.begin(), next.end(), n);
        return intensity * std::exp(-absorption_coefficient(coefficients_, n) * dz_);
    }

    IntegrationTally tally() const { return {}; }

  private:
    RateParameters coefficients_;
    double dt_;
    double dz_;
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

// Grid steps of a problem: dt from the time grid, dz from the depth grid (which starts at 0).
double time_step(const FractionProblem& problem) {
    return problem.time_grid[1] - problem.time_grid[0];
}
double depth_step(const FractionProblem& problem) {
    return problem.depth_grid.empty() ? 0.0 : problem.depth_grid[1];
}

// What one worker keeps between positions: its stepper and the populations of every slice.
template <class SliceStepper>
struct PositionWorker {
    SliceStepper stepper;
    std::vector<double> slices;
};

// Fraction of the pulse transmitted at position i: every time step is carried through the
// slices in order; the sums of the entering and leaving intensities give the fraction.
template <class SliceStepper>
double fraction_at_position(PositionWorker<SliceStepper>& worker, const FractionProblem& problem,
                            std::size_t i) {
    const std::size_t nt = problem.time_grid.size();
    const std::size_t nz = problem.depth_grid.size();
    reset_slices(worker.slices, problem.populations);
    double transmitted_sum = 0.0;
    double incident_sum = 0.0;
    for (std::size_t j = 0; j < nt; ++j) {
        const double entering = problem.incident(i, j);
        double intensity = entering;
        for (std::size_t k = 0; k < nz; ++k)
            intensity = worker.stepper.step(worker.slices.data() + level_count * k, intensity);
        transmitted_sum += intensity;
        incident_sum += entering;
    }
    return transmitted_sum / incident_sum;
}

// The model loop shared by both steppers. Positions are independent: each worker takes a
// fixed share of them and the tallies are merged in worker order, so the result does not
// depend on `threads`.
template <class SliceStepper>
void fraction_loop(std::span<double> fraction, const FractionProblem& problem,
                   const RateParameters& coefficients, unsigned threads, IntegrationTally& tally) {
    const std::size_t nx = fraction.size();
    const double dt = time_step(problem);
    const double dz = depth_step(problem);
    std::vector<PositionWorker<SliceStepper>> workers;
    workers.reserve(worker_count(nx, threads));
    for (unsigned w = 0; w < worker_count(nx, threads); ++w)
        workers.push_back({SliceStepper(coefficients, dt, dz),
                           std::vector<double>(level_count * problem.depth_grid.size())});
    parallel_for(nx, threads, [&](unsigned w, std::size_t i) {
        fraction[i] = fraction_at_position(workers[w], problem, i);
    });
    for (const auto& worker : workers) tally.merge(worker.stepper.tally());
}

bool admissible(std::span<double> fraction, const FractionProblem& problem) {
    return admissible_fraction_inputs(fraction.size(), problem.depth_grid, problem.time_grid,
                                      problem.populations, problem.incident);
}

}  // namespace

void transmitted_fraction(std::span<double> fraction, std::span<const double> depth_grid,
                          std::span<const double> time_grid, std::span<const double> populations,
                          const PlaneView& incident, double photon_frequency,
                          std::span<const double, parameter_count> params,
                          IntegrationTally& tally) {
    transmitted_fraction(fraction,
                         {depth_grid, time_grid, populations, incident, photon_frequency, params},
                         Stepper::lsoda, 1, tally);
}

void transmitted_fraction(std::span<double> fraction, const FractionProblem& problem,
                          Stepper stepper, unsigned threads, IntegrationTally& tally) {
    const bool inputs_fit = admissible(fraction, problem);
    assert(inputs_fit);
    if (!inputs_fit) {
        fill_not_a_number(fraction);
        return;
    }
    if (stepper == Stepper::exact) {
        // Coefficients of this call only: the calling thread's rate_parameters() stay as they
        // are.
        fraction_loop<ExactSliceStepper>(
            fraction, problem, make_rate_parameters(problem.params, problem.photon_frequency),
            threads, tally);
    } else {
        // fit_zscan's model writes the calling thread's coefficients; each stepper copies
        // them, so workers never read another thread's.
        fraction_loop<LsodaSliceStepper>(
            fraction, problem, set_rate_parameters(problem.params, problem.photon_frequency),
            threads, tally);
    }
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
                         double photon_frequency, std::span<const double, parameter_count> params,
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
