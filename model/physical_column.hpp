// One column of the physical model: the pulse at one radius and one scan position crossing
// the sample slice by slice, with populations stepped by exact propagators, the sample's
// instantaneous absorption, and the phase the light gathers.
#pragma once

#include <cstddef>
#include <span>

#include "model/instantaneous_optics.hpp"
#include "model/matrix_exponential.hpp"
#include "model/propagator.hpp"
#include "model/run_control.hpp"
#include "model/scheme_rates.hpp"

namespace plix::model {

// A level whose population changes the refractive index by volume * (N - N(0)).
struct RefractionTerm {
    std::size_t level;
    double volume;  // m^3
};

// The discretisation and the sample shared by every column of a curve. N is the number of
// levels; N == 0 is a sample without a level scheme (rates unused).
//
// Time: steps over the pulse window; step j lasts duration[j] and the pulse's temporal
// factor averaged over it is mean_pulse[j] (so that duration * mean_pulse sums to the
// window's share of the pulse energy exactly). extrapolation[j] is the ratio of the distance
// between the midpoints of steps j and j - 1 to that between j - 1 and j - 2. Depth: `slices`
// slices of `slice_thickness` that add up to the sample.
//
// Scheme, per step and slice (second order in the step and in the slice thickness):
//   - the intensity at the slice centre during the step is the entering intensity
//     attenuated over half a slice, I_c = I_in exp(-alpha* dz/2). With a level scheme alpha*
//     is the slice's midpoint absorption linearly extrapolated from its two previous steps;
//     without one it is the instantaneous absorption at I_in;
//   - H = exp(A(I_c) dt/2) is the exact propagator over half a step at that intensity (from
//     the step's PropagatorTable when there is one, else by a matrix exponential);
//     N_mid = H N is the midpoint state (its fast levels in equilibrium with I_c, which a
//     mean of the step's end states would not be), and N <- H N_mid completes the step;
//   - the light leaves the slice as I_in exp(-alpha dz), alpha the absorption of N_mid at
//     I_c plus the instantaneous absorption at I_c: the midpoint rule in depth;
//   - the phase grows by k Delta n dz, Delta n = n2 I_c + sum of volume (N_mid - N(0)) over
//     the refracting levels, k the vacuum wavenumber: the midpoint rule again;
//   - the transmitted energy is the sum over steps of the exit intensity times duration.
template <std::size_t N>
struct ColumnScheme {
    const SchemeRates* rates = nullptr;  // N > 0
    // The half-step propagators of every time step (N > 0), or null: a matrix exponential
    // per cell.
    const PropagatorTable<N>* propagators = nullptr;
    // Asked at every time step of every column (null: never stops).
    const RunControl* run = nullptr;
    InstantaneousOptics optics{};
    std::span<const RefractionTerm> refraction = {};
    double wavenumber = 0.0;   // 2 pi / wavelength, 1/m
    bool track_phase = false;  // whether column_step computes the phase
    std::span<const double> duration;
    std::span<const double> mean_pulse;
    std::span<const double> extrapolation;
    double pulse_energy = 0.0;  // sum of duration * mean_pulse
    std::size_t slices = 0;
    double slice_thickness = 0.0;
    Vector<N> initial{};
    // The column carries its intensity relative to I_in exp(-reference_absorption z), so that
    // a sample of any optical density (exp(-1000) underflows) keeps a representable light;
    // what column_step and column_transmittance return is relative to
    // exp(-reference_absorption L). 0: the plain intensities.
    double reference_absorption = 0.0;
};

// Scratch doubles per slice: the populations and the two latest midpoint absorptions (none
// without a level scheme).
template <std::size_t N>
inline constexpr std::size_t column_cell_size = N == 0 ? 0 : N + 2;

template <std::size_t N>
std::size_t column_scratch_size(std::size_t slices) {
    return slices * column_cell_size<N>;
}

// The light leaving a column during one time step.
struct ColumnExit {
    double intensity;  // W/m^2, relative to exp(-reference_absorption L)
    double phase;      // rad, gathered in the sample (0 unless track_phase)
};

// Puts the column's slices in their initial state. scratch holds at least
// column_scratch_size<N>(scheme.slices) doubles.
template <std::size_t N>
void column_start(const ColumnScheme<N>& scheme, std::span<double> scratch);

// Advances the column by time step `step`, the light entering with `entering` (W/m^2).
template <std::size_t N>
ColumnExit column_step(const ColumnScheme<N>& scheme, std::size_t step, double entering,
                       std::span<double> scratch);

// Transmitted over incident fluence of a column whose entering intensity is
// peak_intensity * mean_pulse[j] during step j (peak_intensity > 0). scratch holds at least
// column_scratch_size<N>(scheme.slices) doubles.
template <std::size_t N>
double column_transmittance(const ColumnScheme<N>& scheme, double peak_intensity,
                            std::span<double> scratch);

}  // namespace plix::model
