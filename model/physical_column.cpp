#include "model/physical_column.hpp"

#include <cmath>

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

}  // namespace

template <std::size_t N>
double column_transmittance(const ColumnScheme<N>& scheme, double peak_intensity,
                            std::span<double> scratch) {
    // Each slice keeps its populations and its two latest midpoint absorption coefficients.
    constexpr std::size_t latest_alpha = N;
    constexpr std::size_t previous_alpha = N + 1;
    constexpr std::size_t cell_size = column_cell_size<N>;
    const SchemeRates& rates = *scheme.rates;
    const double alpha0 = rates.absorption(scheme.initial.data(), 0.0);
    for (std::size_t k = 0; k < scheme.slices; ++k) {
        double* cell = scratch.data() + k * cell_size;
        for (std::size_t l = 0; l < N; ++l) cell[l] = scheme.initial[l];
        cell[latest_alpha] = alpha0;
        cell[previous_alpha] = alpha0;
    }
    const double dz = scheme.slice_thickness;
    const double half_dz = 0.5 * dz;
    double transmitted = 0.0;
    Matrix<N> a;
    for (std::size_t j = 0; j < scheme.duration.size(); ++j) {
        const double half_step = 0.5 * scheme.duration[j];
        const double ratio = scheme.extrapolation[j];
        double intensity = peak_intensity * scheme.mean_pulse[j];
        for (std::size_t k = 0; k < scheme.slices; ++k) {
            double* cell = scratch.data() + k * cell_size;
            const double latest = cell[latest_alpha];
            const double predicted = latest + ratio * (latest - cell[previous_alpha]);
            const double centre = intensity * std::exp(-predicted * half_dz);
            rates.rate_matrix<N>(centre, a);
            for (double& entry : a) entry *= half_step;
            const Matrix<N> half = matrix_exponential<N>(a);
            const Vector<N> mid = apply<N>(half, cell);
            const Vector<N> end = apply<N>(half, mid.data());
            const double alpha = rates.absorption(mid.data(), 0.0);
            for (std::size_t l = 0; l < N; ++l) cell[l] = end[l];
            cell[previous_alpha] = latest;
            cell[latest_alpha] = alpha;
            intensity *= std::exp(-alpha * dz);
        }
        transmitted += intensity * scheme.duration[j];
    }
    return transmitted / (peak_intensity * scheme.pulse_energy);
}

#define PLIX_INSTANTIATE(N)                                                                  \
    template double column_transmittance<N>(const ColumnScheme<N>&, double, std::span<double>);
PLIX_INSTANTIATE(1)
PLIX_INSTANTIATE(2)
PLIX_INSTANTIATE(3)
PLIX_INSTANTIATE(4)
PLIX_INSTANTIATE(5)
PLIX_INSTANTIATE(6)
PLIX_INSTANTIATE(7)
PLIX_INSTANTIATE(8)
#undef PLIX_INSTANTIATE

}  // namespace plix::model
