#include "model/physical_column.hpp"

#include <cmath>

#include "model/level_scheme.hpp"

namespace plix::model {
namespace {

template <std::size_t N>
Vector<N> apply(const Matrix<N>& m, const double* n) {
    Vector<N> out{};
    for (std::size_t row = 0; row < N; ++row) {
        double sum = 0.0;
        for (std::size_t col = 0; col < N; ++col) sum += m[row * N + col] * n[col];
        out[row] = sum;
    }
    return out;
}

// Where each slice keeps its two latest midpoint absorption coefficients, after its
// populations.
template <std::size_t N>
inline constexpr std::size_t latest_alpha = N;
template <std::size_t N>
inline constexpr std::size_t previous_alpha = N + 1;

// One time step through a sample without a level scheme: nothing to remember between steps.
ColumnExit instantaneous_step(const ColumnScheme<0>& scheme, double entering) {
    const InstantaneousOptics& optics = scheme.optics;
    const double dz = scheme.slice_thickness;
    const double half_dz = 0.5 * dz;
    const double reference = scheme.reference_absorption;
    const double depth_step = std::exp(-reference * dz);
    double depth = 1.0;  // exp(-reference z) at the slice's entrance
    double intensity = entering;  // relative to depth
    double index_sum = 0.0;       // sum over slices of Delta n
    for (std::size_t k = 0; k < scheme.slices; ++k) {
        const double actual = intensity * depth;
        const double centre = actual * std::exp(-optics.absorption(actual) * half_dz);
        if (scheme.track_phase) index_sum += optics.n2 * centre;
        intensity *= std::exp(-(optics.absorption(centre) - reference) * dz);
        depth *= depth_step;
    }
    return {intensity, scheme.wavenumber * dz * index_sum};
}

}  // namespace

template <std::size_t N>
void column_start(const ColumnScheme<N>& scheme, std::span<double> scratch) {
    if constexpr (N > 0) {
        constexpr std::size_t cell_size = column_cell_size<N>;
        double alpha0 = scheme.rates->absorption(scheme.initial.data(), 0.0);
        if (scheme.optics.absorbs()) alpha0 += scheme.optics.linear_absorption();
        for (std::size_t k = 0; k < scheme.slices; ++k) {
            double* cell = scratch.data() + k * cell_size;
            for (std::size_t l = 0; l < N; ++l) cell[l] = scheme.initial[l];
            cell[latest_alpha<N>] = alpha0;
            cell[previous_alpha<N>] = alpha0;
        }
    }
}

template <std::size_t N>
ColumnExit column_step(const ColumnScheme<N>& scheme, std::size_t step, double entering,
                       std::span<double> scratch) {
    if (scheme.run != nullptr) scheme.run->checkpoint();
    if constexpr (N == 0) {
        return instantaneous_step(scheme, entering);
    } else {
        constexpr std::size_t cell_size = column_cell_size<N>;
        const SchemeRates& rates = *scheme.rates;
        const InstantaneousOptics& optics = scheme.optics;
        const bool absorbs = optics.absorbs();
        const double flux_factor = rates.photon_flux_factor();
        const double dz = scheme.slice_thickness;
        const double half_dz = 0.5 * dz;
        const double half_step = 0.5 * scheme.duration[step];
        const double ratio = scheme.extrapolation[step];
        const double reference = scheme.reference_absorption;
        const double depth_step = std::exp(-reference * dz);
        double depth = 1.0;  // exp(-reference z) at the slice's entrance
        double intensity = entering;  // relative to depth
        double index_sum = 0.0;       // sum over slices of Delta n
        Matrix<N> half;
        // Without a table every use falls back to the matrix exponential.
        const StepSummary direct{.method = StepMethod::direct, .half_step = half_step};
        const StepPropagator<N> propagator =
            scheme.propagators != nullptr ? scheme.propagators->step(step)
                                          : StepPropagator<N>(rates, direct, {}, {}, nullptr);
        for (std::size_t k = 0; k < scheme.slices; ++k) {
            double* cell = scratch.data() + k * cell_size;
            const double latest = cell[latest_alpha<N>];
            const double predicted = latest + ratio * (latest - cell[previous_alpha<N>]);
            const double centre = intensity * depth * std::exp(-predicted * half_dz);
            propagator.matrix(centre, half);
            const Vector<N> mid = apply<N>(half, cell);
            const Vector<N> end = apply<N>(half, mid.data());
            double alpha = rates.absorption(mid.data(), flux_factor * centre);
            if (absorbs) alpha += optics.absorption(centre);
            if (scheme.track_phase) {
                double index = optics.n2 * centre;
                for (const RefractionTerm& t : scheme.refraction)
                    index += t.volume * (mid[t.level] - scheme.initial[t.level]);
                index_sum += index;
            }
            for (std::size_t l = 0; l < N; ++l) cell[l] = end[l];
            cell[previous_alpha<N>] = latest;
            cell[latest_alpha<N>] = alpha;
            intensity *= std::exp(-(alpha - reference) * dz);
            depth *= depth_step;
        }
        return {intensity, scheme.wavenumber * dz * index_sum};
    }
}

template <std::size_t N>
double column_transmittance(const ColumnScheme<N>& scheme, double peak_intensity,
                            std::span<double> scratch) {
    column_start<N>(scheme, scratch);
    double transmitted = 0.0;
    for (std::size_t j = 0; j < scheme.duration.size(); ++j) {
        const ColumnExit exit =
            column_step<N>(scheme, j, peak_intensity * scheme.mean_pulse[j], scratch);
        transmitted += exit.intensity * scheme.duration[j];
    }
    return transmitted / (peak_intensity * scheme.pulse_energy);
}

#define PLIX_INSTANTIATE(N)                                                         \
    template void column_start<N>(const ColumnScheme<N>&, std::span<double>);       \
    template ColumnExit column_step<N>(const ColumnScheme<N>&, std::size_t, double, \
                                       std::span<double>);                          \
    template double column_transmittance<N>(const ColumnScheme<N>&, double, std::span<double>);
PLIX_INSTANTIATE(0)
PLIX_FOR_EACH_LEVEL_COUNT(PLIX_INSTANTIATE)
#undef PLIX_INSTANTIATE

}  // namespace plix::model
