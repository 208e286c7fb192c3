// One column of the physical model: the pulse at one radius and one scan position crossing
// the sample slice by slice, with populations stepped by exact propagators.
#pragma once

#include <cstddef>
#include <span>

#include "model/matrix_exponential.hpp"
#include "model/scheme_rates.hpp"

namespace plix::model {

// The discretisation shared by every column of a curve.
//
// Time: steps over the pulse window; step j lasts duration[j] and the pulse's temporal
// factor averaged over it is mean_pulse[j] (so that duration * mean_pulse sums to the
// window's share of the pulse energy exactly). extrapolation[j] is the ratio of the distance
// between the midpoints of steps j and j - 1 to that between j - 1 and j - 2. Depth: `slices`
// slices of `slice_thickness` that add up to the sample.
//
// Scheme, per step and slice (second order in the step and in the slice thickness):
//   - the intensity at the slice centre during the step is the entering intensity
//     attenuated over half a slice, I_c = I_in exp(-alpha* dz/2), with alpha* the slice's
//     midpoint absorption linearly extrapolated from its two previous steps;
//   - H = exp(A(I_c) dt/2) is the exact propagator over half a step at that intensity;
//     N_mid = H N is the midpoint state (its fast levels in equilibrium with I_c, which a
//     mean of the step's end states would not be), and N <- H N_mid completes the step;
//   - the light leaves the slice as I_in exp(-alpha(N_mid) dz): the midpoint rule in depth;
//   - the transmitted energy is the sum over steps of the exit intensity times duration.
template <std::size_t N>
struct ColumnScheme {
    const SchemeRates* rates = nullptr;
    std::span<const double> duration;
    std::span<const double> mean_pulse;
    std::span<const double> extrapolation;
    double pulse_energy = 0.0;  // sum of duration * mean_pulse
    std::size_t slices = 0;
    double slice_thickness = 0.0;
    Vector<N> initial{};
};

// Scratch doubles per slice: the populations and the two latest midpoint absorptions.
template <std::size_t N>
inline constexpr std::size_t column_cell_size = N + 2;

template <std::size_t N>
std::size_t column_scratch_size(std::size_t slices) {
    return slices * column_cell_size<N>;
}

// Transmitted over incident fluence of a column whose entering intensity is
// peak_intensity * mean_pulse[j] during step j (peak_intensity > 0). scratch holds at least
// column_scratch_size<N>(scheme.slices) doubles.
template <std::size_t N>
double column_transmittance(const ColumnScheme<N>& scheme, double peak_intensity,
                            std::span<double> scratch);

}  // namespace plix::model
