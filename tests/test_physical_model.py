"""The physical model: energy-normalised Gaussian beam and pulse, the whole pulse, the true
sample width, a second-order scheme and grids chosen for a requested accuracy.

References: the Frantz-Nodvik closed form of a two-level absorber without relaxation (on
axis, and integrated over the beam's cross-section by scipy.integrate.quad in the radius),
Beer-Lambert at vanishing energy, NumPy's Gauss-Legendre rule, and for the five-level
absorber the same model on a much finer grid.
"""

import concurrent.futures
import math

import numpy as np
import pytest
from scipy.integrate import quad

import _plix_testing as plix

PLANCK = 6.62607015e-34
SPEED_OF_LIGHT = 299792458.0
WAVELENGTH = 532e-9
PHOTON_ENERGY = PLANCK * SPEED_OF_LIGHT / WAVELENGTH
TAU = 5e-9
W0 = 30e-6
SAMPLE_WIDTH = 1e-3

INF = math.inf
SIGMA_12 = 1e-21
TWO_LEVEL = [SIGMA_12, 0.0, 0.0, INF, INF, INF, INF, INF]
FIVE_LEVEL = [1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12]
GROUND = [1e24, 0.0, 0.0, 0.0, 0.0]
MIXED = [0.6e24, 0.2e24, 0.05e24, 0.1e24, 0.05e24]  # relaxes without light

SCAN = [-20.0, -6.0, -2.0, -0.5, 0.0, 1.0, 3.0, 12.0]


def model_curve(positions, energy, params=FIVE_LEVEL, populations=GROUND, *, w0=W0,
                sample_width=SAMPLE_WIDTH, M2=1.0, grid=(0, 0, 0), **kwargs):
    """(curve, grid, error estimate) of the physical model."""
    time_steps, slices, radial_nodes = grid
    curve, used, estimate = plix.physical_curve(
        positions, energy, params, populations, WAVELENGTH, w0, TAU, sample_width, M2,
        time_steps=time_steps, slices=slices, radial_nodes=radial_nodes, **kwargs)
    return np.array(curve), used, estimate


def beam_radius(position_mm, w0=W0, M2=1.0):
    z0 = math.pi * w0**2 / (M2 * WAVELENGTH)
    return w0 * math.sqrt(1.0 + (1e-3 * position_mm / z0) ** 2)


def frantz_nodvik(fluence, saturation, linear):
    """Transmitted fluence of a two-level absorber without relaxation."""
    return saturation * math.log1p(linear * math.expm1(fluence / saturation))


def two_level_reference(positions, energy, geometry, w0=W0, M2=1.0,
                        sample_width=SAMPLE_WIDTH, n1=GROUND[0]):
    """Normalised (divided by Beer-Lambert) transmittance from the closed form."""
    saturation = PHOTON_ENERGY / SIGMA_12
    linear = math.exp(-SIGMA_12 * n1 * sample_width)
    out = []
    for x in positions:
        w = beam_radius(x, w0, M2)
        peak = 2.0 * energy / (math.pi * w**2)  # on-axis fluence
        if geometry == "on_axis":
            ratio = frantz_nodvik(peak, saturation, linear) / peak
        else:  # transmitted energy over incident energy, the radius in units of w
            transmitted, _ = quad(
                lambda rho: frantz_nodvik(peak * math.exp(-2.0 * rho * rho), saturation,
                                          linear) * 4.0 * rho,
                0.0, 6.0, epsabs=1e-15, epsrel=1e-13, limit=200)
            ratio = transmitted / peak
        out.append(ratio / linear)
    return np.array(out)


# ---------------------------------------------------------------------------------------
# Closed forms


class TestFrantzNodvik:
    """Saturable two-level absorber: the chosen grid meets the requested accuracy."""

    # F/F_s = 1.9 (1 uJ) and 0.57 (0.3 uJ) on axis at the focus: rises of 60 and 19 %.
    CASES = [(1e-4, 1e-6, SCAN), (1e-6, 3e-7, [0.0, 2.5])]

    @pytest.mark.parametrize("geometry", ["on_axis", "beam"])
    @pytest.mark.parametrize("accuracy, energy, positions", CASES)
    def test_chosen_grid_meets_the_accuracy(self, geometry, accuracy, energy, positions):
        curve, grid, estimate = model_curve(positions, energy, TWO_LEVEL, geometry=geometry,
                                            accuracy=accuracy, threads=2)
        reference = two_level_reference(positions, energy, geometry)
        assert reference.max() > 1.08  # the nonlinearity is strong
        assert estimate <= accuracy
        assert np.abs(curve - reference).max() <= accuracy, grid

    def test_beam_quality_and_waist_enter_through_the_beam_radius(self):
        w0, m2 = 20e-6, 1.7
        curve, _, _ = model_curve(SCAN, 4e-7, TWO_LEVEL, geometry="on_axis", w0=w0, M2=m2,
                                  accuracy=1e-5)
        reference = two_level_reference(SCAN, 4e-7, "on_axis", w0=w0, M2=m2)
        assert np.abs(curve - reference).max() <= 1e-5


class TestVanishingEnergy:
    ENERGY = 1e-16  # J: populations move by ~1e-10

    @pytest.mark.parametrize("geometry", ["on_axis", "beam"])
    @pytest.mark.parametrize("sample_width", [1e-3, 0.37e-3])
    def test_raw_transmittance_is_beer_lambert_over_the_true_width(self, geometry,
                                                                   sample_width):
        curve, _, _ = model_curve(SCAN, self.ENERGY, geometry=geometry, normalisation="none",
                                  sample_width=sample_width, grid=(12, 5, 3))
        beer_lambert = math.exp(-FIVE_LEVEL[0] * GROUND[0] * sample_width)
        assert np.abs(curve / beer_lambert - 1.0).max() <= 1e-9

    def test_linear_normalisation_knows_relaxing_populations(self):
        # Populations that relax in the dark: the linear transmittance is no longer
        # Beer-Lambert of the initial state, and dividing by it still gives 1.
        curve, _, _ = model_curve(SCAN, self.ENERGY, populations=MIXED, grid=(40, 6, 3))
        raw, _, _ = model_curve(SCAN, self.ENERGY, populations=MIXED, grid=(40, 6, 3),
                                normalisation="none")
        initial = math.exp(-(FIVE_LEVEL[0] * MIXED[0] + FIVE_LEVEL[1] * MIXED[1] +
                             FIVE_LEVEL[2] * MIXED[3]) * SAMPLE_WIDTH)
        assert abs(raw[0] / initial - 1.0) > 1e-2  # the dark populations do move
        assert np.abs(curve - 1.0).max() <= 1e-9


class TestNormalisations:
    def test_linear_ends_and_none_are_one_curve_scaled_or_shifted(self):
        positions = np.linspace(-30.0, 30.0, 15)
        raw, _, _ = model_curve(positions, 3e-7, grid=(24, 6, 3), normalisation="none")
        linear, _, _ = model_curve(positions, 3e-7, grid=(24, 6, 3), normalisation="linear")
        ends, _, _ = model_curve(positions, 3e-7, grid=(24, 6, 3), normalisation="ends")
        beer_lambert = math.exp(-FIVE_LEVEL[0] * GROUND[0] * SAMPLE_WIDTH)
        np.testing.assert_allclose(linear, raw / beer_lambert, rtol=1e-13)
        baseline = np.concatenate([raw[:5], raw[-5:]]).mean()
        np.testing.assert_allclose(ends, raw + (1.0 - baseline), rtol=0, atol=1e-15)


# ---------------------------------------------------------------------------------------
# Five-level absorber: convergence, chosen grids, honest estimates


def largest_difference(a, b):
    return np.abs(np.asarray(a) - np.asarray(b)).max()


class TestFiveLevel:
    # A 10-30 % dip at the focus (the physical intensity is ~6000x the seed model's).
    CASES = [("beam", 3e-7), ("beam", 6e-7), ("on_axis", 1.5e-7)]

    @pytest.mark.parametrize("geometry, energy", CASES)
    def test_chosen_grid_against_a_much_finer_grid(self, geometry, energy):
        accuracy = 1e-4
        curve, grid, estimate = model_curve(SCAN, energy, geometry=geometry,
                                            accuracy=accuracy, threads=2)
        time_steps, slices, radial_nodes = grid
        fine_grid = (4 * time_steps, 4 * slices, 12 if geometry == "beam" else 1)
        fine, _, _ = model_curve(SCAN, energy, geometry=geometry, grid=fine_grid, threads=2)
        assert 0.7 <= fine.min() <= 0.9
        error = largest_difference(curve, fine)
        assert estimate <= accuracy
        assert error <= accuracy
        assert error <= 2.0 * estimate  # the estimate is honest

    @pytest.mark.parametrize("geometry", ["on_axis", "beam"])
    def test_second_order_in_time_and_in_depth(self, geometry):
        positions, energy = [0.0, 2.0], 4e-7
        radial = 4 if geometry == "beam" else 1

        def at(time_steps, slices):
            return model_curve(positions, energy, geometry=geometry,
                               grid=(time_steps, slices, radial))[0]

        in_time = [at(n, 8) for n in (80, 160, 320)]  # ratios 3.7-3.8 measured
        in_depth = [at(160, n) for n in (6, 12, 24)]  # ratios 4.0
        for coarse, middle, fine in (in_time, in_depth):
            ratio = largest_difference(coarse, middle) / largest_difference(middle, fine)
            assert 3.3 <= ratio <= 4.8  # halving the step cuts the error by about 4

    def test_fixed_dimensions_are_kept_and_the_rest_chosen(self):
        _, grid, _ = model_curve(SCAN, 3e-7, grid=(40, 0, 0))
        assert grid[0] == 40 and grid[1] > 0 and grid[2] > 0
        _, fixed, estimate = model_curve(SCAN, 3e-7, grid=(40, 7, 2))
        assert fixed == (40, 7, 2) and math.isnan(estimate)
        coarse, _ = plix.choose_physical_grid(SCAN, 3e-7, FIVE_LEVEL, GROUND, WAVELENGTH, W0,
                                              TAU, SAMPLE_WIDTH, accuracy=1e-3)
        fine, _ = plix.choose_physical_grid(SCAN, 3e-7, FIVE_LEVEL, GROUND, WAVELENGTH, W0,
                                            TAU, SAMPLE_WIDTH, accuracy=1e-4)
        assert all(f >= c for f, c in zip(fine, coarse)) and fine[:2] != coarse[:2]


# ---------------------------------------------------------------------------------------
# Threads and the radial rule


class TestThreads:
    POSITIONS = np.linspace(-30.0, 30.0, 31)

    def test_bitwise_identical_on_every_thread_count(self):
        results = [model_curve(self.POSITIONS, 5e-7, accuracy=3e-4, threads=n)
                   for n in (1, 2, 3, 8)]
        first_curve, first_grid, first_estimate = results[0]
        for curve, grid, estimate in results[1:]:
            assert curve.tobytes() == first_curve.tobytes()
            assert grid == first_grid and estimate == first_estimate

    def test_concurrent_callers_each_get_their_own_answer(self):
        energies = [1e-7, 2e-7, 4e-7, 8e-7]
        alone = [model_curve(self.POSITIONS, e, grid=(30, 6, 3))[0] for e in energies]
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            together = list(pool.map(
                lambda e: model_curve(self.POSITIONS, e, grid=(30, 6, 3), threads=2)[0],
                energies))
        for a, b in zip(alone, together):
            assert a.tobytes() == b.tobytes()


class TestGaussLegendre:
    @pytest.mark.parametrize("n", [1, 2, 3, 7, 16, 41])
    def test_rule_matches_numpy_mapped_to_the_unit_interval(self, n):
        nodes, weights = plix.gauss_legendre_unit(n)
        x, w = np.polynomial.legendre.leggauss(n)
        np.testing.assert_allclose(nodes, 0.5 * (x + 1.0), rtol=0, atol=2e-15)
        np.testing.assert_allclose(weights, 0.5 * w, rtol=5e-12)  # NumPy: ~1e-12
        # exact for degree 2n - 1: the integral of s^k over [0, 1] is 1/(k + 1)
        k = 2 * n - 1
        assert abs(np.dot(weights, np.array(nodes) ** k) - 1.0 / (k + 1)) <= 1e-14
