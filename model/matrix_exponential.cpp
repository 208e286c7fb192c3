#include "model/matrix_exponential.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "model/level_scheme.hpp"

namespace plix::model {
namespace {

// Largest 1-norm for which the Pade approximant of each degree reaches the unit roundoff
// (Higham 2005, Table 2.3).
constexpr double theta_3 = 1.495585217958292e-2;
constexpr double theta_5 = 2.539398330063230e-1;
constexpr double theta_7 = 9.504178996162932e-1;
constexpr double theta_9 = 2.097847961257068e0;
constexpr double theta_13 = 5.371920351148152e0;

// Coefficients b_0..b_m of the numerator of the degree-m Pade approximant.
constexpr std::array<double, 4> pade_3{120.0, 60.0, 12.0, 1.0};
constexpr std::array<double, 6> pade_5{30240.0, 15120.0, 3360.0, 420.0, 30.0, 1.0};
constexpr std::array<double, 8> pade_7{17297280.0, 8648640.0, 1995840.0, 277200.0,
                                       25200.0,    1512.0,    56.0,      1.0};
constexpr std::array<double, 10> pade_9{17643225600.0, 8821612800.0, 2075673600.0, 302702400.0,
                                        30270240.0,    2162160.0,    110880.0,     3960.0,
                                        90.0,          1.0};
constexpr std::array<double, 14> pade_13{64764752532480000.0,
                                         32382376266240000.0,
                                         7771770303897600.0,
                                         1187353796428800.0,
                                         129060195264000.0,
                                         10559470521600.0,
                                         670442572800.0,
                                         33522128640.0,
                                         1323241920.0,
                                         40840800.0,
                                         960960.0,
                                         16380.0,
                                         182.0,
                                         1.0};

// The algorithm for one matrix size; N x N row-major matrices.
template <std::size_t N>
struct Pade {
    using Matrix = std::array<double, N * N>;
    using Vector = std::array<double, N>;

    // sum_k c_k * m_k + c_identity * I over the given even powers.
    template <std::size_t K>
    static Matrix combination(const std::array<double, K>& coefficients,
                        const std::array<const Matrix*, K>& powers, double c_identity) {
        Matrix r{};
        for (std::size_t e = 0; e < r.size(); ++e) {
            double s = 0.0;
            for (std::size_t k = 0; k < K; ++k) s += coefficients[k] * (*powers[k])[e];
            r[e] = s;
        }
        for (std::size_t i = 0; i < N; ++i) r[i * N + i] += c_identity;
        return r;
    }

    static Matrix add(const Matrix& a, const Matrix& b) {
        Matrix r;
        for (std::size_t e = 0; e < r.size(); ++e) r[e] = a[e] + b[e];
        return r;
    }

    static Matrix subtract(const Matrix& a, const Matrix& b) {
        Matrix r;
        for (std::size_t e = 0; e < r.size(); ++e) r[e] = a[e] - b[e];
        return r;
    }

    // Solves q x = p for x (Gaussian elimination with partial pivoting); q and p are consumed.
    static Matrix solve(Matrix q, Matrix p) {
        for (std::size_t c = 0; c < N; ++c) {
            std::size_t pivot = c;
            for (std::size_t r = c + 1; r < N; ++r)
                if (std::abs(q[r * N + c]) > std::abs(q[pivot * N + c])) pivot = r;
            if (pivot != c) {
                for (std::size_t k = 0; k < N; ++k) {
                    std::swap(q[c * N + k], q[pivot * N + k]);
                    std::swap(p[c * N + k], p[pivot * N + k]);
                }
            }
            const double inverse_pivot = 1.0 / q[c * N + c];
            for (std::size_t r = c + 1; r < N; ++r) {
                const double f = q[r * N + c] * inverse_pivot;
                if (f == 0.0) continue;
                for (std::size_t k = c + 1; k < N; ++k) q[r * N + k] -= f * q[c * N + k];
                for (std::size_t k = 0; k < N; ++k) p[r * N + k] -= f * p[c * N + k];
            }
        }
        for (std::size_t c = N; c-- > 0;) {
            const double inverse_pivot = 1.0 / q[c * N + c];
            for (std::size_t k = 0; k < N; ++k) {
                double s = p[c * N + k];
                for (std::size_t j = c + 1; j < N; ++j) s -= q[c * N + j] * p[j * N + k];
                p[c * N + k] = s * inverse_pivot;
            }
        }
        return p;
    }

    // r_m(a) - I = (V - U)^-1 (2 U), from the odd part U and the even part V of the numerator
    // (r_m(a) = (V - U)^-1 (V + U)). Kept apart from the identity so that the squarings below
    // round relative to the small difference rather than to 1.
    static Matrix pade_minus_identity(const Matrix& u, const Matrix& v) {
        return solve(subtract(v, u), add(u, u));
    }

    static Matrix plus_identity(Matrix y) {
        for (std::size_t i = 0; i < N; ++i) y[i * N + i] += 1.0;
        return y;
    }

    // Degrees 3 to 9: both parts as polynomials in the even powers a^2 .. a^(m-1).
    template <std::size_t M>
    static Matrix low_degree_pade(const Matrix& a, const std::array<double, M + 1>& b) {
        constexpr std::size_t half = (M - 1) / 2;  // even powers a^2 .. a^(M-1)
        std::array<Matrix, half> even;
        even[0] = multiply(a, a);
        for (std::size_t k = 1; k < half; ++k) even[k] = multiply(even[k - 1], even[0]);
        std::array<const Matrix*, half> powers;
        std::array<double, half> odd_coefficients;
        std::array<double, half> even_coefficients;
        for (std::size_t k = 0; k < half; ++k) {
            powers[k] = &even[k];
            odd_coefficients[k] = b[2 * k + 3];
            even_coefficients[k] = b[2 * k + 2];
        }
        const Matrix u = multiply(a, combination(odd_coefficients, powers, b[1]));
        const Matrix v = combination(even_coefficients, powers, b[0]);
        return pade_minus_identity(u, v);
    }

    // Degree 13 with the powers a^2, a^4, a^6 only (six products in all).
    static Matrix degree_13_pade(const Matrix& a) {
        const auto& b = pade_13;
        const Matrix a2 = multiply(a, a);
        const Matrix a4 = multiply(a2, a2);
        const Matrix a6 = multiply(a4, a2);
        const std::array<const Matrix*, 3> powers{&a6, &a4, &a2};
        const Matrix u_high = multiply(a6, combination<3>({b[13], b[11], b[9]}, powers, 0.0));
        const Matrix u = multiply(a, add(u_high, combination<3>({b[7], b[5], b[3]}, powers, b[1])));
        const Matrix v_high = multiply(a6, combination<3>({b[12], b[10], b[8]}, powers, 0.0));
        const Matrix v = add(v_high, combination<3>({b[6], b[4], b[2]}, powers, b[0]));
        return pade_minus_identity(u, v);
    }

    static Matrix not_a_number() {
        Matrix r;
        r.fill(std::numeric_limits<double>::quiet_NaN());
        return r;
    }

    static double one_norm(const Matrix& a) {
        double norm = 0.0;
        for (std::size_t c = 0; c < N; ++c) {
            double s = 0.0;
            for (std::size_t r = 0; r < N; ++r) s += std::abs(a[r * N + c]);
            // Written so that a NaN column makes the norm NaN.
            norm = s > norm || s != s ? s : norm;
        }
        return norm;
    }

    static Matrix multiply(const Matrix& a, const Matrix& b) {
        Matrix r{};
        for (std::size_t i = 0; i < N; ++i)
            for (std::size_t k = 0; k < N; ++k) {
                const double aik = a[i * N + k];
                for (std::size_t j = 0; j < N; ++j) r[i * N + j] += aik * b[k * N + j];
            }
        return r;
    }


    // Squarings needed to bring a of the given 1-norm into the range of degree 13.
    static int squarings_for(double norm) {
        return std::max(0, static_cast<int>(std::ceil(std::log2(norm / theta_13))));
    }

    // Y = r_m(a) - I for the Pade degree the norm of a calls for, and the number of squarings
    // of I + Y that give exp(a).
    struct ScaledPade {
        Matrix y;
        int squarings;
    };

    static ScaledPade scaled_pade(const Matrix& a, double norm) {
        if (norm <= theta_3) return {low_degree_pade<3>(a, pade_3), 0};
        if (norm <= theta_5) return {low_degree_pade<5>(a, pade_5), 0};
        if (norm <= theta_7) return {low_degree_pade<7>(a, pade_7), 0};
        if (norm <= theta_9) return {low_degree_pade<9>(a, pade_9), 0};
        const int squarings = squarings_for(norm);
        Matrix scaled;
        const double scale = std::ldexp(1.0, -squarings);  // a power of two: exact
        for (std::size_t e = 0; e < a.size(); ++e) scaled[e] = a[e] * scale;
        return {degree_13_pade(scaled), squarings};
    }

    // (I + Y)^2 - I = 2Y + Y^2. Squaring Y = X - I rather than X: while X is close to I its
    // rounding errors stay relative to Y, and since every squaring doubles the error that came
    // before, this keeps them (above all in the column sums, the conserved population) from
    // growing as 2^s.
    static void square_in_place(Matrix& y) {
        const Matrix y2 = multiply(y, y);
        for (std::size_t e = 0; e < y.size(); ++e) y[e] = (y[e] + y[e]) + y2[e];
    }

    // v + Y v.
    static Vector plus_product(const Matrix& y, const Vector& v) {
        Vector r;
        for (std::size_t i = 0; i < N; ++i) {
            double s = 0.0;
            for (std::size_t k = 0; k < N; ++k) s += y[i * N + k] * v[k];
            r[i] = v[i] + s;
        }
        return r;
    }

    // The last squarings of exp(a) v are cheaper as products with v: 2^k matrix-vector
    // products (5 multiply-adds per entry) against k matrix products (25); three is the best
    // trade.
    static constexpr int squarings_as_vector_products = 3;

};

}  // namespace

template <std::size_t N>
double one_norm(const Matrix<N>& a) {
    return Pade<N>::one_norm(a);
}

template <std::size_t N>
Matrix<N> multiply(const Matrix<N>& a, const Matrix<N>& b) {
    return Pade<N>::multiply(a, b);
}


template <std::size_t N>
Matrix<N> matrix_exponential(const Matrix<N>& a) {
    using P = Pade<N>;
    const double norm = P::one_norm(a);
    if (!std::isfinite(norm)) return P::not_a_number();
    typename P::ScaledPade pade = P::scaled_pade(a, norm);
    for (int k = 0; k < pade.squarings; ++k) P::square_in_place(pade.y);
    return P::plus_identity(pade.y);
}

template <std::size_t N>
Vector<N> matrix_exponential_times(const Matrix<N>& a, const Vector<N>& v) {
    using P = Pade<N>;
    const double norm = P::one_norm(a);
    if (!std::isfinite(norm)) {
        Vector<N> r;
        r.fill(std::numeric_limits<double>::quiet_NaN());
        return r;
    }
    typename P::ScaledPade pade = P::scaled_pade(a, norm);
    const int by_vector = std::min(pade.squarings, P::squarings_as_vector_products);
    for (int k = 0; k < pade.squarings - by_vector; ++k) P::square_in_place(pade.y);
    Vector<N> r = v;
    for (int k = 0; k < (1 << by_vector); ++k) r = P::plus_product(pade.y, r);
    return r;
}


#define PLIX_INSTANTIATE(N)                                                          \
    template Matrix<N> matrix_exponential<N>(const Matrix<N>&);                      \
    template Vector<N> matrix_exponential_times<N>(const Matrix<N>&, const Vector<N>&); \
    template double one_norm<N>(const Matrix<N>&);                                   \
    template Matrix<N> multiply<N>(const Matrix<N>&, const Matrix<N>&);
PLIX_FOR_EACH_LEVEL_COUNT(PLIX_INSTANTIATE)
#undef PLIX_INSTANTIATE

}  // namespace plix::model
