// Small dense kernels of LSODA: the weighted max-norm, the matrix norm it induces, and LU
// factorisation with partial pivoting plus the matching solve. The operation order is that
// of reference LAPACK's DGETRF/DGETRS for small matrices, so results agree to the bit.
// Matrices are stored by columns: a[j][i] is row i of column j.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace plix::lsoda::detail {

// max_i |v_i| * w_i, where w holds the reciprocal error weights.
template <int N>
double weighted_norm(const double* v, const double* w) {
    double vm = 0.0;
    for (int i = 0; i < N; ++i) vm = std::max(vm, std::abs(v[i]) * w[i]);
    return vm;
}

// max_i w_i * sum_j |a_ij| / w_j: the operator norm induced by weighted_norm.
template <int N>
double weighted_matrix_norm(const double (&a)[N][N], const double* w) {
    double an = 0.0;
    for (int i = 0; i < N; ++i) {
        double sum = 0.0;
        for (int j = 0; j < N; ++j) sum += std::abs(a[j][i]) / w[j];
        an = std::max(an, sum * w[i]);
    }
    return an;
}

// In-place LU factorisation with partial pivoting (row interchanges in pivot). Returns false
// if a zero pivot makes the matrix singular.
template <int N>
bool lu_factor(double (&a)[N][N], int (&pivot)[N]) {
    for (int k = 0; k < N; ++k) {
        int p = k;
        double largest = std::abs(a[k][k]);
        for (int i = k + 1; i < N; ++i) {
            if (std::abs(a[k][i]) > largest) {
                largest = std::abs(a[k][i]);
                p = i;
            }
        }
        pivot[k] = p;
        if (a[k][p] == 0.0) return false;
        if (p != k) {
            for (int j = 0; j < N; ++j) std::swap(a[j][k], a[j][p]);
        }
        // Multipliers: scale by the reciprocal of the pivot unless that would overflow.
        if (std::abs(a[k][k]) >= DBL_MIN) {
            const double r = 1.0 / a[k][k];
            for (int i = k + 1; i < N; ++i) a[k][i] *= r;
        } else {
            for (int i = k + 1; i < N; ++i) a[k][i] /= a[k][k];
        }
        for (int j = k + 1; j < N; ++j) {
            const double ukj = a[j][k];
            for (int i = k + 1; i < N; ++i) a[j][i] -= a[k][i] * ukj;
        }
    }
    return true;
}

// Solves A x = b in place with the factors of lu_factor.
template <int N>
void lu_solve(const double (&a)[N][N], const int (&pivot)[N], double* b) {
    for (int k = 0; k + 1 < N; ++k) {  // the last row is its own pivot
        if (pivot[k] != k) std::swap(b[k], b[pivot[k]]);
    }
    for (int k = 0; k < N; ++k) {  // unit lower triangle, by columns
        if (b[k] == 0.0) continue;
        for (int i = k + 1; i < N; ++i) b[i] -= b[k] * a[k][i];
    }
    for (int k = N - 1; k >= 0; --k) {  // upper triangle, by columns
        if (b[k] == 0.0) continue;
        b[k] /= a[k][k];
        for (int i = 0; i < k; ++i) b[i] -= b[k] * a[k][i];
    }
}

}  // namespace plix::lsoda::detail
