"""Exact propagation of the seed discretisation: the matrix exponential, the rate matrix,
the fork-join over positions, and the seed curve with either stepper on any thread count.

References: scipy.linalg.expm and closed forms for the exponential; the rate equations for
the rate matrix; tests/zscan_reference.py (matrix exponentials in NumPy) for the model.
Tolerances are norm-wise so that they hold whatever BLAS kernel SciPy picks.
"""

import concurrent.futures
import math

import numpy as np
import pytest
from scipy.linalg import expm

import _plix_testing as plix
from zscan_reference import rate_matrix as reference_rate_matrix

SPEED_OF_LIGHT = 299792458.0
WAVELENGTH = 532e-9
NU = SPEED_OF_LIGHT / WAVELENGTH
LEVELS = 5

LIFETIMES = [2e-9, 5e-9, 1e-12, 1e-6, 1e-12]
STIFF_PARAMS = [1e-21, 5e-21, 8e-21] + LIFETIMES  # 1 ps channels: rates 1e12 /s
NON_STIFF_PARAMS = [1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 3e-9, 1e-6, 4e-9]
PROPAGATOR_TOLERANCE = 1e-13  # relative, in the 1-norm


def expm_of(a):
    return np.array(plix.matrix_exponential(np.asarray(a, dtype=float).ravel())).reshape(5, 5)


def relative_error(got, want):
    return np.abs(got - want).sum(axis=0).max() / np.abs(want).sum(axis=0).max()


# ---------------------------------------------------------------------------------------
# Matrix exponential

def rate_step(params, intensity, dt):
    return reference_rate_matrix(params, NU, intensity) * dt


# Intensities from none to the seed model's peak (~1e11 W/m^2 at 6 mJ) and beyond, steps of
# 0.1 to 1 ns: with 1 ps lifetimes |A dt| reaches ~2e3 (nine squarings).
SEED_INTENSITIES = (0.0, 1e9, 3e11)
STEP_CASES = [(p, i, dt) for p in (STIFF_PARAMS, NON_STIFF_PARAMS)
              for i in SEED_INTENSITIES + (2e13,) for dt in (1e-10, 5.6e-10, 1e-9)]
# The physical model's peak intensities (~5e14 W/m^2): |A dt| up to ~4e4. Here SciPy's own
# error reaches ~4e-13 (against 40-digit arithmetic), ours ~3e-13.
PHYSICAL_CASES = [(p, 1e15, dt) for p in (STIFF_PARAMS, NON_STIFF_PARAMS)
                  for dt in (1e-10, 5.6e-10, 1e-9)]


class TestMatrixExponential:
    @pytest.mark.parametrize("params, intensity, dt", STEP_CASES)
    def test_rate_step_matches_scipy(self, params, intensity, dt):
        a = rate_step(params, intensity, dt)
        assert relative_error(expm_of(a), expm(a)) <= PROPAGATOR_TOLERANCE

    @pytest.mark.parametrize("params, intensity, dt", PHYSICAL_CASES)
    def test_strong_pumping_matches_scipy(self, params, intensity, dt):
        a = rate_step(params, intensity, dt)
        assert relative_error(expm_of(a), expm(a)) <= 1e-12

    @pytest.mark.parametrize("params, intensity, dt", STEP_CASES + PHYSICAL_CASES)
    def test_rate_step_conserves_population(self, params, intensity, dt):
        # The conserved sum can only be as good as the rate matrix's own column sums, which
        # are zero up to the rounding of its largest entries (~1e-13 at 1e15 W/m^2).
        a = rate_step(params, intensity, dt)
        e = expm_of(a)
        tolerance = 1e-14 if intensity in SEED_INTENSITIES else 5e-13
        np.testing.assert_allclose(e.sum(axis=0), 1.0, rtol=0, atol=tolerance)
        assert e.min() >= -1e-15  # a propagator of populations has no negative entries

    # Symmetric matrices with their 1-norm in the range of each Pade degree (3, 5, 7, 9, 13)
    # and beyond, where the scaling and squaring takes over; the reference is the eigen-
    # decomposition.
    @pytest.mark.parametrize("norm", [1e-3, 0.01, 0.2, 0.9, 2.0, 5.0, 40.0])
    def test_symmetric_matrices_by_eigen_decomposition(self, norm):
        rng = np.random.default_rng(int(norm * 1000))
        for _ in range(5):
            b = rng.normal(size=(5, 5))
            a = b + b.T
            a *= norm / np.abs(a).sum(axis=0).max()
            w, v = np.linalg.eigh(a)
            assert relative_error(expm_of(a), (v * np.exp(w)) @ v.T) <= PROPAGATOR_TOLERANCE

    @pytest.mark.parametrize("norm", [0.01, 0.9, 5.0, 40.0])
    def test_general_matrices_match_scipy(self, norm):
        # SciPy itself is off by up to ~2e-13 on some of these (against 40-digit arithmetic).
        rng = np.random.default_rng(int(norm * 1000))
        for _ in range(5):
            a = rng.normal(size=(5, 5))
            a *= norm / np.abs(a).sum(axis=0).max()
            assert relative_error(expm_of(a), expm(a)) <= 1e-12

    @pytest.mark.parametrize("pump, decay, dt", [(3e8, 5e8, 1e-9), (2e12, 1e12, 5e-10),
                                                 (1e6, 0.0, 1e-10), (0.0, 1e12, 1e-9)])
    def test_two_level_exchange_closed_form(self, pump, decay, dt):
        # Levels 1 and 2 exchange at rates pump (1->2) and decay (2->1); the others are idle.
        a = np.zeros((5, 5))
        a[0, 0], a[1, 0], a[0, 1], a[1, 1] = -pump, pump, decay, -decay
        total = pump + decay
        relaxed = math.exp(-total * dt)
        want = np.eye(5)
        want[0, 0] = (decay + pump * relaxed) / total
        want[1, 0] = pump * (1.0 - relaxed) / total
        want[0, 1] = decay * (1.0 - relaxed) / total
        want[1, 1] = (pump + decay * relaxed) / total
        assert relative_error(expm_of(a * dt), want) <= PROPAGATOR_TOLERANCE

    def test_zero_is_identity_and_non_finite_is_nan(self):
        assert np.array_equal(expm_of(np.zeros((5, 5))), np.eye(5))
        for bad in (math.nan, math.inf):
            a = np.eye(5)
            a[2, 3] = bad
            assert np.isnan(expm_of(a)).all()


# ---------------------------------------------------------------------------------------
# Rate matrix

class TestRateMatrix:
    @pytest.mark.parametrize("params", [STIFF_PARAMS, NON_STIFF_PARAMS])
    def test_reproduces_the_rate_equations(self, params):
        rng = np.random.default_rng(3)
        for _ in range(20):
            n = rng.uniform(0.0, 1e24, size=5)
            intensity = rng.uniform(0.0, 2e13)
            a = np.array(plix.rate_matrix(params, NU, intensity)).reshape(5, 5)
            want = np.array(plix.rate_equations([*n, intensity], params, NU))
            scale = np.abs(a) @ n
            np.testing.assert_array_less(np.abs(a @ n - want), 1e-14 * scale + 1e-300)
            np.testing.assert_allclose(a.sum(axis=0), 0.0, rtol=0,
                                       atol=1e-15 * np.abs(a).max())

    def test_infinite_lifetime_closes_its_channel(self):
        params = list(STIFF_PARAMS)
        params[6] = math.inf  # 4 -> 1
        a = np.array(plix.rate_matrix(params, NU, 0.0)).reshape(5, 5)
        assert a[0, 3] == 0.0 and a[3, 3] == 0.0


# ---------------------------------------------------------------------------------------
# Fork-join over positions

class TestParallelFor:
    @pytest.mark.parametrize("count, threads", [(0, 3), (1, 4), (7, 3), (31, 2), (5, 8),
                                                (12, 1), (9, 0)])
    def test_static_interleaved_shares(self, count, threads):
        owner, visits, distinct, caller_first = plix.parallel_for_shares(count, threads)
        workers = max(1, min(max(threads, 1), count))
        assert visits == [1.0] * count
        assert owner == [float(i % workers) for i in range(count)]
        assert distinct == (workers if count else 0)
        assert caller_first

    def test_one_thread_runs_on_the_caller_only(self):
        _, _, distinct, caller_first = plix.parallel_for_shares(50, 1)
        assert distinct == 1 and caller_first
