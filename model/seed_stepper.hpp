// fit_zscan's discretisation of one scan, shared by fit_zscan and the seed model.
//
// At every scan position the on-axis light arrives in time steps and crosses the sample's
// depth slices in order. In each slice the populations are first stepped over the time
// step at the light entering the slice, then that light is attenuated across the slice by
// the updated populations (a first-order splitting). Every position starts from the
// initial populations. The rate equations are a template argument, so that fit_zscan keeps
// its own five-level equations and the seed model uses any level scheme.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "integrator/lsoda.hpp"
#include "model/integration_tally.hpp"
#include "model/parallel_for.hpp"
#include "model/plane_view.hpp"

namespace plix::model {

inline constexpr double seed_relative_tolerance = 1e-6;
inline constexpr double seed_absolute_tolerance = 1e-6;
// The "ends" normalisation averages the first and the last five values of a curve.
inline constexpr std::size_t baseline_window = 5;
// 1 / (2 baseline_window): the mean of the ten end values as fit_zscan forms it.
inline constexpr double baseline_mean_factor = 1.0 / (2 * baseline_window);

// Advances one slice by one time step and carries the light through it, with LSODA for both
// stages, each integration started afresh from t = 0. PopulationRhs is called on
// y = (N_1..N_L, I) and writes dN/dt to ydot[0..L) (I rides along); AttenuationRhs on
// y = (I, N_1..N_L) and writes dI/dz to ydot[0] (the populations ride along).
template <std::size_t L, class PopulationRhs, class AttenuationRhs>
class LsodaSliceStepper {
  public:
    LsodaSliceStepper(const PopulationRhs& rates, const AttenuationRhs& attenuation, double dt,
                      double dz)
        : rates_{rates}, attenuation_{attenuation}, dt_{dt}, dz_{dz} {}

    // Evolves the slice's populations n[0..L) under the fixed entering intensity, then
    // attenuates that intensity across the slice with the updated populations; returns the
    // intensity leaving the slice. On integrator trouble the state reached is kept.
    double step(double* n, double intensity) {
        std::array<double, L + 1> population_state;
        std::copy_n(n, L, population_state.begin());
        population_state[L] = intensity;
        tally_.record(population_solver_
                          .integrate(rates_, population_state.data(), 0.0, dt_,
                                     seed_relative_tolerance, seed_absolute_tolerance)
                          .status);
        std::copy_n(population_state.begin(), L, n);

        std::array<double, L + 1> attenuation_state;
        attenuation_state[0] = intensity;
        std::copy_n(n, L, attenuation_state.begin() + 1);
        tally_.record(attenuation_solver_
                          .integrate(attenuation_, attenuation_state.data(), 0.0, dz_,
                                     seed_relative_tolerance, seed_absolute_tolerance)
                          .status);
        return attenuation_state[0];
    }

    const IntegrationTally& tally() const { return tally_; }

  private:
    lsoda::Solver<static_cast<int>(L)> population_solver_;
    lsoda::Solver<1> attenuation_solver_;
    PopulationRhs rates_;
    AttenuationRhs attenuation_;
    double dt_;
    double dz_;
    IntegrationTally tally_;
};

// The grids and light of one dataset: depth points (starting at 0; none or at least two),
// time points (at least two), the initial populations, and the incident intensity at every
// (position, time point).
struct SeedGrids {
    std::span<const double> depth_grid;
    std::span<const double> time_grid;
    std::span<const double> populations;
    PlaneView incident;

    double time_step() const { return time_grid[1] - time_grid[0]; }
    double depth_step() const { return depth_grid.empty() ? 0.0 : depth_grid[1]; }

    // Sizes that the loop can work with without reading outside any array.
    bool admissible(std::size_t positions, std::size_t levels) const {
        return time_grid.size() >= 2 && depth_grid.size() != 1 && populations.size() >= levels &&
               incident.rows == positions && incident.cols == time_grid.size() &&
               (positions == 0 || incident.data != nullptr);
    }
};

namespace seed_detail {

template <class SliceStepper>
struct PositionWorker {
    SliceStepper stepper;
    std::vector<double> slices;  // the populations of every slice
};

// Fraction of the pulse transmitted at position i: every time step is carried through the
// slices in order; the sums of the entering and leaving intensities give the fraction.
template <class SliceStepper>
double fraction_at_position(PositionWorker<SliceStepper>& worker, const SeedGrids& grids,
                            std::size_t levels, std::size_t i, const RunControl& run) {
    const std::size_t nt = grids.time_grid.size();
    const std::size_t nz = grids.depth_grid.size();
    for (std::size_t k = 0; k < worker.slices.size(); k += levels)
        std::copy_n(grids.populations.begin(), levels, worker.slices.begin() + k);
    double transmitted_sum = 0.0;
    double incident_sum = 0.0;
    for (std::size_t j = 0; j < nt; ++j) {
        run.checkpoint();
        const double entering = grids.incident(i, j);
        double intensity = entering;
        for (std::size_t k = 0; k < nz; ++k)
            intensity = worker.stepper.step(worker.slices.data() + levels * k, intensity);
        transmitted_sum += intensity;
        incident_sum += entering;
    }
    return transmitted_sum / incident_sum;
}

}  // namespace seed_detail

// Writes the fraction of the pulse energy transmitted at each of the fraction.size()
// positions. make_stepper(dt, dz) gives one worker's slice stepper (a type with
// double step(double* n, double intensity) and tally()). Positions are independent: each
// worker takes a fixed share of them and the tallies are merged in worker order, so the
// result does not depend on the threads. Inputs that grids.admissible refuses fill fraction
// with NaN (and are asserted against in debug builds). run.checkpoint() is called before
// every time step of every position.
template <class MakeStepper>
void seed_fraction(std::span<double> fraction, const SeedGrids& grids, std::size_t levels,
                   MakeStepper&& make_stepper, const RunControl& run, IntegrationTally& tally) {
    const std::size_t nx = fraction.size();
    const bool inputs_fit = grids.admissible(nx, levels);
    assert(inputs_fit);
    if (!inputs_fit) {
        std::fill(fraction.begin(), fraction.end(), std::numeric_limits<double>::quiet_NaN());
        return;
    }
    using Stepper = decltype(make_stepper(0.0, 0.0));
    const double dt = grids.time_step();
    const double dz = grids.depth_step();
    const unsigned workers = worker_count(nx, run.threads);
    std::vector<seed_detail::PositionWorker<Stepper>> pool;
    pool.reserve(workers);
    for (unsigned w = 0; w < workers; ++w)
        pool.push_back({make_stepper(dt, dz), std::vector<double>(levels * grids.depth_grid.size())});
    parallel_for(nx, run, [&](unsigned w, std::size_t i) {
        fraction[i] = seed_detail::fraction_at_position(pool[w], grids, levels, i, run);
    });
    for (const auto& worker : pool) tally.merge(worker.stepper.tally());
}

// Mean of the first five and the last five entries in array order (they overlap when fewer
// than ten, and shared entries count twice). Requires curve.size() >= 5.
inline double baseline(std::span<const double> curve) {
    assert(curve.size() >= baseline_window);
    const std::size_t nx = curve.size();
    double sum = 0.0;
    for (std::size_t m = 0; m < baseline_window; ++m) sum += curve[m];
    for (std::size_t m = nx - baseline_window; m < nx; ++m) sum += curve[m];
    return baseline_mean_factor * sum;
}

// Adds 1 - baseline(curve) to every entry, so that the ten end values average 1.
inline void shift_to_unit_baseline(std::span<double> curve) {
    const double shift = 1.0 - baseline(curve);
    for (double& value : curve) value = value + shift;
}

// The same with the ends taken in order of position, so that the order of a dataset's rows
// never changes its curve: the five lowest and the five highest positions (ties in their given
// order). For positions in increasing order it is shift_to_unit_baseline bit for bit.
inline void shift_to_unit_baseline(std::span<double> curve, std::span<const double> positions) {
    assert(curve.size() == positions.size() && curve.size() >= baseline_window);
    std::vector<std::size_t> order(curve.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return positions[a] < positions[b]; });
    const std::size_t nx = curve.size();
    double sum = 0.0;
    for (std::size_t m = 0; m < baseline_window; ++m) sum += curve[order[m]];
    for (std::size_t m = nx - baseline_window; m < nx; ++m) sum += curve[order[m]];
    const double shift = 1.0 - baseline_mean_factor * sum;
    for (double& value : curve) value = value + shift;
}

}  // namespace plix::model
