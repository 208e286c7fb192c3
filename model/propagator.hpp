// Propagators of a level scheme's populations over the half steps of a time grid, for any
// intensity up to a given largest one, without a matrix exponential per use.
//
// For each half step h, exp(h A(I)) is an entire function of the intensity I. Over [0, I_max]
// it is stored as Chebyshev interpolants on pieces [a, b], each in the Chebyshev points of the
// second kind (ends included), with the degree and the pieces chosen from a proven bound on
// the truncation error (model/propagator_bound.hpp) so that it stays within the tolerance.
// A use then costs the location of the piece and sum_k T_k(u) C_k: (degree + 1) N^2
// multiply-adds for the whole matrix, against the scaling, Pade approximant and squarings
// of matrix_exponential (with stiff schemes, ||h A|| of several hundred, seven squarings).
//
// The pieces also keep b <= grading_ratio * a (a geometric grading towards I = 0, down to
// I_max 2^-graded_octaves), so that every entry of the propagator that vanishes at I = 0 like
// I^m varies by at most grading_ratio^m on a piece, and a piece's tolerance is scaled by the
// square of the photon events per level and half step at its lower end (while that is below
// one): the entries one and two photons away from the occupied levels, which carry the small
// populations at weak light, keep their relative accuracy (1e-13 and better, tested down to
// populations of 1e-21). Below I_max 2^-graded_octaves, above I_max and for a non-finite
// intensity a use falls back to matrix_exponential; so does a whole step whose light is so
// strong that more than max_pieces pieces would be needed, which bounds the cost of both the
// table and a use at any excitation.
//
// Against matrix_exponential a use differs by the truncation (within the tolerance) and by
// the rounding errors of the values at the points, which the interpolant passes on at most
// tripled (its Lebesgue constant): in practice within about eps ||h A||_1, which is also
// matrix_exponential's own accuracy for such a matrix.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/level_scheme.hpp"
#include "model/matrix_exponential.hpp"
#include "model/scheme_rates.hpp"

namespace plix::model {

// The interpolants' largest degree, and the pieces' grading towards zero intensity.
inline constexpr std::size_t largest_propagator_degree = 32;
inline constexpr double grading_ratio = 16.0;
inline constexpr int graded_octaves = 28;

struct PropagatorSettings {
    // Largest degree of a piece's interpolant: the cost of a use grows with it, the number
    // of pieces (and the cost of the table) falls.
    std::size_t max_degree = 16;
    // Bound on the truncation error of every piece, in the 1-norm (the propagator's own
    // 1-norm is 1: its columns are probabilities).
    double tolerance = 1e-15;
    // Pieces per step beyond which the step is left to matrix_exponential.
    std::size_t max_pieces = 256;

    // Why the settings cannot be used, or nothing.
    std::optional<std::string> problem() const;
};

// How a step's propagator is had.
enum class StepMethod : std::uint8_t {
    constant,  // the light does not act (no cross-section, or I_max = 0): one matrix
    series,    // piecewise Chebyshev interpolants
    direct,    // matrix_exponential at each use: more than max_pieces pieces were needed
};

// One piece: exp(h A(I)) = sum_{k <= degree} T_k((I - centre) inverse_half_width) C_k for I in
// [lower, upper], C_k at `offset` in the table's coefficients ((degree + 1) N^2 doubles).
struct PropagatorPiece {
    double lower = 0.0;
    double upper = 0.0;
    double centre = 0.0;
    double inverse_half_width = 0.0;
    std::size_t degree = 0;
    std::size_t offset = 0;
    double bound = 0.0;  // on the truncation error over the piece
};

// What a step's table holds and cost.
struct StepSummary {
    StepMethod method = StepMethod::direct;
    double half_step = 0.0;
    double max_intensity = 0.0;
    // Intensities in [series_lower, max_intensity] use the pieces, others matrix_exponential.
    double series_lower = std::numeric_limits<double>::infinity();
    std::size_t first_piece = 0;
    std::size_t pieces = 0;
    std::size_t exponentials = 0;  // matrix exponentials spent on the table
    double largest_bound = 0.0;    // over its pieces
};

// exp(h A(I)) for one half step, a view into a PropagatorTable (valid while the table is).
template <std::size_t N>
class StepPropagator {
  public:
    StepPropagator(const SchemeRates& rates, const StepSummary& summary,
                   std::span<const PropagatorPiece> pieces, std::span<const double> uppers,
                   const double* coefficients)
        : rates_(&rates),
          half_step_(summary.half_step),
          series_lower_(summary.series_lower),
          max_intensity_(summary.max_intensity),
          pieces_(pieces),
          uppers_(uppers),
          coefficients_(coefficients) {}

    // out = exp(h A(intensity)).
    void matrix(double intensity, Matrix<N>& out) const {
        if (!(intensity >= series_lower_ && intensity <= max_intensity_)) {
            exponential(intensity, out);
            return;
        }
        // The first piece whose upper end is >= intensity; the last one takes what is left.
        const std::size_t p = static_cast<std::size_t>(
            std::lower_bound(uppers_.begin(), uppers_.end() - 1, intensity) - uppers_.begin());
        const PropagatorPiece& piece = pieces_[p];
        const double u = (intensity - piece.centre) * piece.inverse_half_width;
        std::array<double, largest_propagator_degree + 1> t;
        t[0] = 1.0;
        t[1] = u;
        for (std::size_t k = 2; k <= piece.degree; ++k) t[k] = 2.0 * u * t[k - 1] - t[k - 2];
        // The terms from the smallest (highest degree) up; |T_k(u)| <= 1.
        constexpr std::size_t entries = N * N;
        const double* c = coefficients_ + piece.offset + piece.degree * entries;
        const double last = t[piece.degree];
        for (std::size_t e = 0; e < entries; ++e) out[e] = last * c[e];
        for (std::size_t k = piece.degree; k-- > 0;) {
            c -= entries;
            const double tk = t[k];
            for (std::size_t e = 0; e < entries; ++e) out[e] += tk * c[e];
        }
    }

    // The same from matrix_exponential, as the table's fallback computes it.
    void exponential(double intensity, Matrix<N>& out) const {
        Matrix<N> a;
        rates_->template rate_matrix<N>(intensity, a);
        for (double& entry : a) entry *= half_step_;
        out = matrix_exponential<N>(a);
    }

  private:
    const SchemeRates* rates_;
    double half_step_;
    double series_lower_;
    double max_intensity_;
    std::span<const PropagatorPiece> pieces_;
    std::span<const double> uppers_;
    const double* coefficients_;
};

// The propagators of every half step of a grid for one scheme at one parameter vector:
// step j propagates over half_steps[j] at intensities up to max_intensities[j] (W/m^2).
// Keeps a pointer to `rates`, which must outlive it. Thread-safe once built.
template <std::size_t N>
class PropagatorTable {
  public:
    // std::invalid_argument for settings with a problem, a scheme of other than N levels,
    // spans of different sizes, or a half step or intensity that is negative or not finite.
    // `threads` workers build the steps (0 counts as 1); the table does not depend on it.
    PropagatorTable(const SchemeRates& rates, std::span<const double> half_steps,
                    std::span<const double> max_intensities,
                    const PropagatorSettings& settings = {}, unsigned threads = 1);

    std::size_t steps() const { return summaries_.size(); }
    const StepSummary& summary(std::size_t step) const { return summaries_[step]; }
    std::span<const PropagatorPiece> pieces(std::size_t step) const {
        const StepSummary& s = summaries_[step];
        return std::span<const PropagatorPiece>(pieces_).subspan(s.first_piece, s.pieces);
    }

    StepPropagator<N> step(std::size_t step) const {
        const StepSummary& s = summaries_[step];
        return StepPropagator<N>(*rates_, s, pieces(step),
                                 std::span<const double>(uppers_).subspan(s.first_piece, s.pieces),
                                 coefficients_.data());
    }

  private:
    const SchemeRates* rates_;
    std::vector<StepSummary> summaries_;
    std::vector<PropagatorPiece> pieces_;
    std::vector<double> uppers_;  // pieces_[p].upper, contiguous for the search
    std::vector<double> coefficients_;
};

}  // namespace plix::model
