#include "model/physical_column.hpp"

#include <cmath>

#include "model/matrix_exponential.hpp"
#include "model/rate_matrix.hpp"

namespace plix::model {
namespace {

// Each slice keeps its populations and its two latest midpoint absorption coefficients.
constexpr std::size_t latest_alpha = level_count;
constexpr std::size_t previous_alpha = level_count + 1;

Populations apply(const Matrix5& m, const double* n) {
    Populations out{};
    for (std::size_t row = 0; row < level_count; ++row) {
        double sum = 0.0;
        for (std::size_t col = 0; col < level_count; ++col)
            sum += m[row * level_count + col] * n[col];
        out[row] = sum;
    }
    return out;
}

}  // namespace

double column_transmittance(const ColumnScheme& scheme, double peak_intensity,
                            std::span<double> scratch) {
    const RateParameters& p = scheme.rates;
    const double alpha0 = absorption_coefficient(p, scheme.initial.data());
    for (std::size_t k = 0; k < scheme.slices; ++k) {
        double* cell = scratch.data() + k * column_cell_size;
        for (std::size_t l = 0; l < level_count; ++l) cell[l] = scheme.initial[l];
        cell[latest_alpha] = alpha0;
        cell[previous_alpha] = alpha0;
    }
    const double dz = scheme.slice_thickness;
    const double half_dz = 0.5 * dz;
    double transmitted = 0.0;
    for (std::size_t j = 0; j < scheme.duration.size(); ++j) {
        const double half_step = 0.5 * scheme.duration[j];
        const double ratio = scheme.extrapolation[j];
        double intensity = peak_intensity * scheme.mean_pulse[j];
        for (std::size_t k = 0; k < scheme.slices; ++k) {
            double* cell = scratch.data() + k * column_cell_size;
            const double latest = cell[latest_alpha];
            const double predicted = latest + ratio * (latest - cell[previous_alpha]);
            const double centre = intensity * std::exp(-predicted * half_dz);
            Matrix5 a = rate_matrix(p, centre);
            for (double& entry : a) entry *= half_step;
            const Matrix5 half = matrix_exponential(a);
            const Populations mid = apply(half, cell);
            const Populations end = apply(half, mid.data());
            const double alpha = absorption_coefficient(p, mid.data());
            for (std::size_t l = 0; l < level_count; ++l) cell[l] = end[l];
            cell[previous_alpha] = latest;
            cell[latest_alpha] = alpha;
            intensity *= std::exp(-alpha * dz);
        }
        transmitted += intensity * scheme.duration[j];
    }
    return transmitted / (peak_intensity * scheme.pulse_energy);
}

}  // namespace plix::model
