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
import zscan_reference
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

    @pytest.mark.parametrize("params, intensity, dt", STEP_CASES)
    def test_propagated_populations_match_scipy(self, params, intensity, dt):
        # exp(A) N with the last squarings done as matrix-vector products.
        a = rate_step(params, intensity, dt)
        rng = np.random.default_rng(11)
        for n in (np.array([1e24, 0, 0, 0, 0.0]), rng.uniform(0.0, 1e23, 5)):
            got = np.array(plix.matrix_exponential_times(a.ravel(), n))
            want = expm(a) @ n
            assert np.abs(got - want).sum() <= PROPAGATOR_TOLERANCE * n.sum()

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


# ---------------------------------------------------------------------------------------
# The seed curve with either stepper

TAU, W0, M2, SAMPLE_WIDTH = 5e-9, 30e-6, 1.0, 1e-3
RSA_PARAMS = STIFF_PARAMS
SA_PARAMS = [8e-21, 1e-22, 1e-22] + LIFETIMES
GROUND = [1e24, 0.0, 0.0, 0.0, 0.0]
MIXED = [1.2e23, 0.3e23, 0.1e23, 0.3e23, 0.1e23]  # relaxes during the pulse
EXACT_TOLERANCE = 1e-11  # against the NumPy model built on scipy.linalg.expm
LSODA_TOLERANCE = 2e-6  # |delta T| allowed by LSODA's RTOL = ATOL = 1e-6 per integration


def seed(positions, energy, params, populations=GROUND, **kw):
    return plix.seed_curve(np.asarray(positions, dtype=float), energy, params, populations,
                           WAVELENGTH, W0, TAU, SAMPLE_WIDTH, M2, **kw)


def reference_fraction(positions, energy, params, populations, t_slices, z_slices):
    time_grid = np.array(plix.linspace(-0.5 * TAU, 0.5 * TAU, t_slices))
    depth_grid = np.array(plix.linspace(0.0, SAMPLE_WIDTH, z_slices))
    incident = zscan_reference.incident_plane(positions, time_grid, energy, TAU, W0, M2,
                                              WAVELENGTH)
    return zscan_reference.reference_fraction(depth_grid, time_grid, populations, incident, NU,
                                              params)


def linear_limit(params, populations, t_slices, z_slices):
    """Raw transmittance at vanishing intensity: every slice relaxes alike in the dark."""
    time_grid = np.array(plix.linspace(-0.5 * TAU, 0.5 * TAU, t_slices))
    dz = SAMPLE_WIDTH / (z_slices - 1)
    step = expm(reference_rate_matrix(params, NU, 0.0) * (time_grid[1] - time_grid[0]))
    absorption = np.array([params[0], params[1], 0.0, params[2], 0.0])
    n = np.asarray(populations, dtype=float)
    weights, leaving = np.exp(-((time_grid / TAU) ** 2)), []
    for _ in time_grid:
        n = step @ n
        leaving.append(math.exp(-(absorption @ n) * dz * z_slices))
    return float(weights @ np.array(leaving) / weights.sum())


SEED_CASES = {
    "rsa": dict(params=RSA_PARAMS, energy=6e-3, nx=9, t_slices=5, z_slices=4),
    "sa": dict(params=SA_PARAMS, energy=2e-3, populations=[1e23, 0, 0, 0, 0], nx=7,
               t_slices=4, z_slices=3),
    "rsa_excited_start": dict(params=RSA_PARAMS, energy=8e-3, populations=MIXED, nx=8,
                              t_slices=3, z_slices=3),
    "rsa_seed_grid": dict(params=RSA_PARAMS, energy=8e-3, nx=11, t_slices=10, z_slices=8),
    "non_stiff": dict(params=NON_STIFF_PARAMS, energy=6e-3, nx=7, t_slices=6, z_slices=5),
}


@pytest.fixture(scope="module", params=SEED_CASES, ids=list(SEED_CASES))
def seed_case(request):
    c = dict(SEED_CASES[request.param])
    c.setdefault("populations", GROUND)
    c["positions"] = np.linspace(-30.0, 30.0, c.pop("nx"))
    grid = dict(t_slices=c["t_slices"], z_slices=c["z_slices"])
    args = (c["positions"], c["energy"], c["params"], c["populations"])
    c["reference"] = reference_fraction(*args, **grid)
    c["exact"] = seed(*args, stepper="exact", normalisation="none", **grid)
    c["lsoda"] = seed(*args, stepper="lsoda", normalisation="none", **grid)
    return c


class TestSeedCurve:
    def test_exact_stepper_matches_the_reference(self, seed_case):
        curve, tally = seed_case["exact"]
        np.testing.assert_allclose(curve, seed_case["reference"], rtol=0, atol=EXACT_TOLERANCE)
        assert np.ptp(seed_case["reference"]) > 1e-3  # the nonlinearity shows
        assert sum(tally.values()) == 0  # nothing is integrated

    def test_lsoda_stepper_is_within_its_tolerance(self, seed_case):
        exact = np.array(seed_case["exact"][0])
        lsoda, tally = seed_case["lsoda"]
        shift = lambda c: c + (1.0 - 0.1 * (c[:5].sum() + c[-5:].sum()))  # noqa: E731
        np.testing.assert_allclose(shift(np.array(lsoda)), shift(exact), rtol=0,
                                   atol=LSODA_TOLERANCE)
        steps = len(seed_case["positions"]) * seed_case["t_slices"] * seed_case["z_slices"]
        assert tally["success"] == 2 * steps

    def test_linear_normalisation_divides_by_the_dark_transmittance(self, seed_case):
        c = seed_case
        linear, _ = seed(c["positions"], c["energy"], c["params"], c["populations"],
                         stepper="exact", normalisation="linear", t_slices=c["t_slices"],
                         z_slices=c["z_slices"])
        t0 = linear_limit(c["params"], c["populations"], c["t_slices"], c["z_slices"])
        np.testing.assert_allclose(linear, np.array(c["exact"][0]) / t0, rtol=1e-13, atol=0)

    @pytest.mark.parametrize("populations", [GROUND, MIXED], ids=["ground", "mixed"])
    # LSODA's absolute tolerance (1e-6 W/m^2) needs intensities well above it; at 1 nJ the
    # nonlinear part of the signal is ~1e-7. Unshifted, LSODA's curve carries its global
    # error, a few RTOL per slice.
    @pytest.mark.parametrize("stepper, energy, tolerance", [("exact", 1e-15, 1e-12),
                                                            ("lsoda", 1e-9, 1e-5)])
    def test_linear_normalisation_is_one_at_vanishing_energy(self, populations, stepper, energy,
                                                             tolerance):
        curve, _ = seed(np.linspace(-20.0, 20.0, 5), energy, RSA_PARAMS, populations,
                        stepper=stepper, normalisation="linear", t_slices=6, z_slices=4)
        np.testing.assert_allclose(curve, 1.0, rtol=0, atol=tolerance)

    def test_exact_stepper_on_the_benchmark_grid_against_lsoda(self):
        positions = np.linspace(-30.0, 30.0, 31)
        for populations in (GROUND, MIXED):
            exact, _ = seed(positions, 6e-3, RSA_PARAMS, populations, stepper="exact")
            lsoda, _ = seed(positions, 6e-3, RSA_PARAMS, populations, stepper="lsoda")
            np.testing.assert_allclose(exact, lsoda, rtol=0, atol=LSODA_TOLERANCE)
            assert 1.0 - min(exact) > 0.01

    def test_lsoda_curve_is_fit_zscans_model(self):
        # With nothing to fit the engine evaluates the model once: residual = y - model, and
        # y = 0 makes it -model exactly.
        positions = np.linspace(-25.0, 25.0, 11)
        energies = [3e-3, 7e-3]
        for populations in (GROUND, MIXED):
            r = plix.fit_start(np.tile(positions, 2), np.zeros(22), populations, 7, 5,
                               SAMPLE_WIDTH, TAU, WAVELENGTH, W0, M2, energies, RSA_PARAMS, [],
                               11, 2)
            model = [-v for v in r["residuals"]]
            for d, energy in enumerate(energies):
                curve, _ = seed(positions, energy, RSA_PARAMS, populations, t_slices=7,
                                z_slices=5, threads=3)
                assert curve == model[11 * d:11 * (d + 1)]


# ---------------------------------------------------------------------------------------
# Threads

class TestThreads:
    @pytest.mark.parametrize("stepper", ["lsoda", "exact"])
    def test_result_does_not_depend_on_the_thread_count(self, stepper):
        positions = np.linspace(-30.0, 30.0, 13)
        runs = [seed(positions, 6e-3, RSA_PARAMS, MIXED, stepper=stepper, t_slices=4,
                     z_slices=3, normalisation="none", threads=t) for t in (1, 2, 3, 7, 20)]
        for curve, tally in runs[1:]:
            assert curve == runs[0][0] and tally == runs[0][1]

    def test_concurrent_callers_each_get_their_own_result(self):
        positions = np.linspace(-30.0, 30.0, 9)
        jobs = [dict(params=list(np.array(RSA_PARAMS) * f), stepper=s, threads=t)
                for f, s, t in [(0.5, "lsoda", 1), (1.0, "exact", 2), (2.0, "lsoda", 3),
                                (1.5, "exact", 1), (0.7, "exact", 3), (1.2, "lsoda", 2)]]

        def run(job):
            return seed(positions, 6e-3, job["params"], MIXED, stepper=job["stepper"],
                        t_slices=4, z_slices=3, threads=job["threads"])

        alone = [run(job) for job in jobs]
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(jobs)) as pool:
            for _ in range(3):
                together = list(pool.map(run, jobs))
                assert together == alone
        assert len({tuple(c) for c, _ in alone}) == len(jobs)  # the calls differ
