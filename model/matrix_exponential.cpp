#include "model/matrix_exponential.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

namespace plix::model {
namespace {

constexpr std::size_t n = level_count;

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

// sum_k c_k * m_k + c_identity * I over the given even powers.
template <std::size_t K>
Matrix5 combination(const std::array<double, K>& coefficients,
                    const std::array<const Matrix5*, K>& powers, double c_identity) {
    Matrix5 r{};
    for (std::size_t e = 0; e < r.size(); ++e) {
        double s = 0.0;
        for (std::size_t k = 0; k < K; ++k) s += coefficients[k] * (*powers[k])[e];
        r[e] = s;
    }
    for (std::size_t i = 0; i < n; ++i) r[i * n + i] += c_identity;
    return r;
}

Matrix5 add(const Matrix5& a, const Matrix5& b) {
    Matrix5 r;
    for (std::size_t e = 0; e < r.size(); ++e) r[e] = a[e] + b[e];
    return r;
}

Matrix5 subtract(const Matrix5& a, const Matrix5& b) {
    Matrix5 r;
    for (std::size_t e = 0; e < r.size(); ++e) r[e] = a[e] - b[e];
    return r;
}

// Solves q x = p for x (Gaussian elimination with partial pivoting); q and p are consumed.
Matrix5 solve(Matrix5 q, Matrix5 p) {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::abs(q[r * n + c]) > std::abs(q[pivot * n + c])) pivot = r;
        if (pivot != c) {
            for (std::size_t k = 0; k < n; ++k) {
                std::swap(q[c * n + k], q[pivot * n + k]);
                std::swap(p[c * n + k], p[pivot * n + k]);
            }
        }
        const double inverse_pivot = 1.0 / q[c * n + c];
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = q[r * n + c] * inverse_pivot;
            if (f == 0.0) continue;
            for (std::size_t k = c + 1; k < n; ++k) q[r * n + k] -= f * q[c * n + k];
            for (std::size_t k = 0; k < n; ++k) p[r * n + k] -= f * p[c * n + k];
        }
    }
    for (std::size_t c = n; c-- > 0;) {
        const double inverse_pivot = 1.0 / q[c * n + c];
        for (std::size_t k = 0; k < n; ++k) {
            double s = p[c * n + k];
            for (std::size_t j = c + 1; j < n; ++j) s -= q[c * n + j] * p[j * n + k];
            p[c * n + k] = s * inverse_pivot;
        }
    }
    return p;
}

// r_m(a) - I = (V - U)^-1 (2 U), from the odd part U and the even part V of the numerator
// (r_m(a) = (V - U)^-1 (V + U)). Kept apart from the identity so that the squarings below
// round relative to the small difference rather than to 1.
Matrix5 pade_minus_identity(const Matrix5& u, const Matrix5& v) {
    return solve(subtract(v, u), add(u, u));
}

Matrix5 plus_identity(Matrix5 y) {
    for (std::size_t i = 0; i < n; ++i) y[i * n + i] += 1.0;
    return y;
}

// Degrees 3 to 9: both parts as polynomials in the even powers a^2 .. a^(m-1).
template <std::size_t M>
Matrix5 low_degree_pade(const Matrix5& a, const std::array<double, M + 1>& b) {
    constexpr std::size_t half = (M - 1) / 2;  // even powers a^2 .. a^(M-1)
    std::array<Matrix5, half> even;
    even[0] = multiply(a, a);
    for (std::size_t k = 1; k < half; ++k) even[k] = multiply(even[k - 1], even[0]);
    std::array<const Matrix5*, half> powers;
    std::array<double, half> odd_coefficients;
    std::array<double, half> even_coefficients;
    for (std::size_t k = 0; k < half; ++k) {
        powers[k] = &even[k];
        odd_coefficients[k] = b[2 * k + 3];
        even_coefficients[k] = b[2 * k + 2];
    }
    const Matrix5 u = multiply(a, combination(odd_coefficients, powers, b[1]));
    const Matrix5 v = combination(even_coefficients, powers, b[0]);
    return pade_minus_identity(u, v);
}

// Degree 13 with the powers a^2, a^4, a^6 only (six products in all).
Matrix5 degree_13_pade(const Matrix5& a) {
    const auto& b = pade_13;
    const Matrix5 a2 = multiply(a, a);
    const Matrix5 a4 = multiply(a2, a2);
    const Matrix5 a6 = multiply(a4, a2);
    const std::array<const Matrix5*, 3> powers{&a6, &a4, &a2};
    const Matrix5 u_high = multiply(a6, combination<3>({b[13], b[11], b[9]}, powers, 0.0));
    const Matrix5 u = multiply(a, add(u_high, combination<3>({b[7], b[5], b[3]}, powers, b[1])));
    const Matrix5 v_high = multiply(a6, combination<3>({b[12], b[10], b[8]}, powers, 0.0));
    const Matrix5 v = add(v_high, combination<3>({b[6], b[4], b[2]}, powers, b[0]));
    return pade_minus_identity(u, v);
}

Matrix5 not_a_number() {
    Matrix5 r;
    r.fill(std::numeric_limits<double>::quiet_NaN());
    return r;
}

}  // namespace

double one_norm(const Matrix5& a) {
    double norm = 0.0;
    for (std::size_t c = 0; c < n; ++c) {
        double s = 0.0;
        for (std::size_t r = 0; r < n; ++r) s += std::abs(a[r * n + c]);
        // Written so that a NaN column makes the norm NaN.
        norm = s > norm || s != s ? s : norm;
    }
    return norm;
}

Matrix5 multiply(const Matrix5& a, const Matrix5& b) {
    Matrix5 r{};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < n; ++k) {
            const double aik = a[i * n + k];
            for (std::size_t j = 0; j < n; ++j) r[i * n + j] += aik * b[k * n + j];
        }
    return r;
}

Matrix5 matrix_exponential(const Matrix5& a) {
    const double norm = one_norm(a);
    if (!std::isfinite(norm)) return not_a_number();
    if (norm <= theta_3) return plus_identity(low_degree_pade<3>(a, pade_3));
    if (norm <= theta_5) return plus_identity(low_degree_pade<5>(a, pade_5));
    if (norm <= theta_7) return plus_identity(low_degree_pade<7>(a, pade_7));
    if (norm <= theta_9) return plus_identity(low_degree_pade<9>(a, pade_9));

    // Scale by 2^-s (exact) into the range of degree 13, then square s times. The squaring
    // runs on Y = X - I, (I + Y)^2 = I + (2Y + Y^2): while X is close to I its rounding
    // errors stay relative to Y, and a squaring doubles what came before, so this keeps
    // errors (above all in the column sums, the conserved population) from growing as 2^s.
    const int squarings = std::max(0, static_cast<int>(std::ceil(std::log2(norm / theta_13))));
    Matrix5 scaled;
    for (std::size_t e = 0; e < a.size(); ++e) scaled[e] = std::ldexp(a[e], -squarings);
    Matrix5 y = degree_13_pade(scaled);
    for (int k = 0; k < squarings; ++k) {
        const Matrix5 y2 = multiply(y, y);
        for (std::size_t e = 0; e < y.size(); ++e) y[e] = (y[e] + y[e]) + y2[e];
    }
    return plus_identity(y);
}

}  // namespace plix::model
