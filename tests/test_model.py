"""The Z-scan model: grids, beam, rate equations and the slice-by-slice transmittance.

The transmittance is checked against an exact solution of the same discretisation: during a
population step the intensity is fixed, so the populations follow a linear system with
constant coefficients (one matrix exponential per step); during an attenuation step the
populations are fixed, so the intensity decays as an exponential.
"""

import math

import numpy as np
import pytest

import _plix_testing as plix
import zscan_reference
from zscan_reference import rate_matrix, reference_fraction, shifted

SPEED_OF_LIGHT = 299792458.0
INVERSE_PLANCK = 1.5091901796421518e33
TOLERANCE = 2e-6  # |delta T| allowed by RTOL = ATOL = 1e-6 per integration
# Before the shift the curve carries LSODA's global error, a few RTOL per slice; most of it is
# common to all positions and cancels in the shift.
FRACTION_TOLERANCE = 5e-6
SLICE_RELATIVE_ERROR = 4e-6  # one attenuation step of absorbance <= 1 (odeint: 2.6e-6..2.9e-6)

WAVELENGTH = 532e-9
NU = SPEED_OF_LIGHT / WAVELENGTH
TAU = 5e-9
W0 = 30e-6
M2 = 1.0
Z0 = math.pi * W0**2 / (M2 * WAVELENGTH)
SAMPLE_WIDTH = 1e-3

LIFETIMES = [2e-9, 5e-9, 1e-12, 1e-6, 1e-12]
RSA_PARAMS = [1e-21, 5e-21, 8e-21] + LIFETIMES
SA_PARAMS = [8e-21, 1e-22, 1e-22] + LIFETIMES
GROUND_1E24 = [1e24, 0.0, 0.0, 0.0, 0.0]
GROUND_1E23 = [1e23, 0.0, 0.0, 0.0, 0.0]
MIXED_2E23 = [1.2e23, 0.3e23, 0.1e23, 0.3e23, 0.1e23]


# ---------------------------------------------------------------------------------------
# Independent reference model


def peak_intensity(energy, tau=TAU, w0=W0):
    return energy * 1.88e-4 / (math.pi * tau * w0**2)


def incident_plane(positions_mm, time_grid, energy):
    """On-axis intensity (nx, nt) entering the sample, from the closed form."""
    return zscan_reference.incident_plane(positions_mm, time_grid, energy, TAU, W0, M2,
                                          WAVELENGTH)


class Case:
    """One dataset: grids, incident plane and the model's answer."""

    def __init__(self, params, energy, populations=GROUND_1E24, nx=9, nt=5, nz=4,
                 positions=None):
        self.params = list(params)
        self.populations = list(populations)
        self.positions = (np.linspace(-30.0, 30.0, nx) if positions is None
                          else np.asarray(positions, dtype=float))
        self.time_grid = np.array(plix.linspace(-0.5 * TAU, 0.5 * TAU, nt))
        self.depth_grid = np.array(plix.linspace(0.0, SAMPLE_WIDTH, nz))
        self.incident = incident_plane(self.positions, self.time_grid, energy)

    def args(self, incident=None):
        flat = self.incident.ravel(order="F") if incident is None else incident
        return (self.positions, self.depth_grid, self.time_grid, self.populations, flat, NU,
                self.params)

    def model(self, **kw):
        return plix.zscan_transmittance(*self.args(), **kw)

    def fraction(self):
        return plix.transmitted_fraction(*self.args())

    def reference(self):
        return reference_fraction(self.depth_grid, self.time_grid, self.populations,
                                  self.incident, NU, self.params)

    @property
    def integrations(self):
        return 2 * len(self.positions) * len(self.time_grid) * len(self.depth_grid)


# ---------------------------------------------------------------------------------------
# Beam and grids


class TestGrids:
    @pytest.mark.parametrize("n", [0, -1, -7])
    def test_no_points(self, n):
        assert plix.linspace(0.0, 1.0, n) == []

    def test_one_point_is_the_lower_end(self):
        assert plix.linspace(-0.3, 0.7, 1) == [-0.3]

    def test_two_points(self):
        a, b = -0.3, 0.7
        assert plix.linspace(a, b, 2) == [a, a + (b - a)]

    @pytest.mark.parametrize("a, b, n", [(-0.3, 0.7, 3), (0.0, 0.7, 4), (0.0, 1e-3, 14),
                                         (-2.5e-9, 2.5e-9, 10)])
    def test_last_point_by_formula(self, a, b, n):
        s = 1.0 / (n - 1)
        assert plix.linspace(a, b, n) == [a + m * (b - a) * s for m in range(n)]

    def test_last_point_may_miss_upper_end(self):
        # (0, 0.7, 4): the formula ends one ulp below 0.7.
        assert plix.linspace(0.0, 0.7, 4)[-1] != 0.7
        assert plix.linspace(0.0, 0.7, 4)[-1] == pytest.approx(0.7, rel=1e-15)

    def test_three_point_grids(self):
        assert plix.linspace(-0.5 * TAU, 0.5 * TAU, 3) == [-0.5 * TAU, 0.0, 0.5 * TAU]
        assert plix.linspace(0.0, SAMPLE_WIDTH, 3) == [0.0, SAMPLE_WIDTH / 2, SAMPLE_WIDTH]


class TestBeam:
    E = 5e-3

    def beam(self, r=0.0, t=0.0, z=0.0, energy=E):
        return plix.beam_intensity(r, t, z, energy, TAU, W0, Z0)

    def test_on_axis_peak(self):
        assert self.beam() == pytest.approx(peak_intensity(self.E), rel=1e-15)

    @pytest.mark.parametrize("z", [Z0, -Z0])
    def test_half_at_rayleigh_range(self, z):
        assert self.beam(z=z) / self.beam() == pytest.approx(0.5, rel=1e-15)

    @pytest.mark.parametrize("t", [0.5 * TAU, -0.5 * TAU])
    def test_time_grid_ends(self, t):
        assert self.beam(t=t) / self.beam() == pytest.approx(math.exp(-0.25), rel=1e-15)

    def test_radial_factor_uses_local_radius(self):
        w = W0 * math.sqrt(2.0)  # at z = z0
        ratio = self.beam(r=W0, z=Z0) / self.beam(z=Z0)
        assert ratio == pytest.approx(math.exp(-2.0 * W0**2 / w**2), rel=1e-14)

    def test_zero_energy(self):
        assert self.beam(t=0.3 * TAU, z=1e-3, energy=0.0) == 0.0


# ---------------------------------------------------------------------------------------
# Rate equations


def random_states(count, seed=1):
    rng = np.random.default_rng(seed)
    populations = rng.uniform(0.0, 1e24, size=(count, 5))
    intensities = rng.uniform(0.0, 2e11, size=count)
    return populations, intensities


class TestRateEquations:
    def test_coefficients(self):
        c = plix.rate_parameters(RSA_PARAMS, NU)
        assert (c["sigma_12"], c["sigma_23"], c["sigma_45"]) == tuple(RSA_PARAMS[:3])
        rates = (c["rate_21"], c["rate_24"], c["rate_32"], c["rate_41"], c["rate_54"])
        assert rates == tuple(1.0 / t for t in LIFETIMES)
        assert c["photon_flux_factor"] == INVERSE_PLANCK / NU

    @pytest.mark.parametrize("params", [RSA_PARAMS, SA_PARAMS])
    def test_against_rate_matrix(self, params):
        populations, intensities = random_states(20)
        for n, intensity in zip(populations, intensities):
            a = rate_matrix(params, NU, intensity)
            got = np.array(plix.rate_equations([*n, intensity], params, NU))
            scale = np.abs(a) @ np.abs(n)
            np.testing.assert_array_less(np.abs(got - a @ n), 1e-13 * scale + 1e-300)

    def test_derivatives_sum_to_zero(self):
        populations, intensities = random_states(50, seed=2)
        for n, intensity in zip(populations, intensities):
            got = plix.rate_equations([*n, intensity], RSA_PARAMS, NU)
            scale = (np.abs(rate_matrix(RSA_PARAMS, NU, intensity)) @ n).sum()
            assert abs(math.fsum(got)) <= 1e-14 * scale

    def test_dark_ground_state_is_stationary(self):
        assert plix.rate_equations([1e24, 0, 0, 0, 0, 0.0], RSA_PARAMS, NU) == [0.0] * 5

    def test_infinite_lifetime_switches_channel_off(self):
        params = list(RSA_PARAMS)
        params[6] = math.inf  # 4 -> 1
        assert plix.rate_parameters(params, NU)["rate_41"] == 0.0
        assert plix.rate_equations([0, 0, 0, 1e24, 0, 0.0], params, NU) == [0.0] * 5
        finite = plix.rate_equations([0, 0, 0, 1e24, 0, 0.0], RSA_PARAMS, NU)
        assert finite[0] == pytest.approx(1e24 / LIFETIMES[3], rel=1e-15)

    def test_attenuation(self):
        populations, intensities = random_states(20, seed=3)
        s12, s23, s45 = RSA_PARAMS[:3]
        for n, intensity in zip(populations, intensities):
            got = plix.attenuation_rhs([intensity, *n], RSA_PARAMS, NU)
            assert got == pytest.approx(-intensity * (s12 * n[0] + s23 * n[1] + s45 * n[3]),
                                        rel=1e-14)

    def test_no_attenuation_without_absorbing_levels(self):
        assert plix.attenuation_rhs([1e11, 0.0, 0.0, 5e23, 0.0, 5e23], RSA_PARAMS, NU) == 0.0


# ---------------------------------------------------------------------------------------
# Transmittance against the exact discretised model

EXACT_CASES = {
    "rsa": dict(params=RSA_PARAMS, energy=6e-3),
    "sa": dict(params=SA_PARAMS, energy=2e-3, populations=GROUND_1E23, nx=7, nt=4, nz=3),
    "rsa_fewest_points": dict(params=RSA_PARAMS, energy=6e-3, nx=5, nt=2, nz=2),
    "sa_fewest_points": dict(params=SA_PARAMS, energy=2e-3, populations=GROUND_1E23, nx=6,
                             nt=2, nz=2),
    "rsa_excited_start": dict(params=RSA_PARAMS, energy=8e-3, populations=MIXED_2E23, nx=8,
                              nt=3, nz=3),
    "rsa_fine_grids": dict(params=RSA_PARAMS, energy=8e-3, nx=11, nt=10, nz=8),
    "rsa_off_centre_reversed": dict(params=RSA_PARAMS, energy=6e-3, nx=9,
                                    positions=np.linspace(35.0, -10.0, 9)),
    "no_excited_absorption": dict(params=[1e-21, 0.0, 0.0] + LIFETIMES, energy=6e-3, nx=5),
}


@pytest.fixture(scope="module", params=EXACT_CASES, ids=list(EXACT_CASES))
def exact_case(request):
    case = Case(**EXACT_CASES[request.param])
    return case, case.reference(), case.model(), case.fraction()


class TestAgainstExactModel:
    def test_fraction(self, exact_case):
        case, reference, _, (fraction, _) = exact_case
        np.testing.assert_allclose(fraction, reference, rtol=0, atol=FRACTION_TOLERANCE)

    def test_transmittance(self, exact_case):
        case, reference, (out, _), _ = exact_case
        np.testing.assert_allclose(out, shifted(reference), rtol=0, atol=TOLERANCE)

    def test_effect_is_visible(self, exact_case):
        # Guards against comparing two flat curves: the nonlinearity moves the focus.
        case, reference, _, _ = exact_case
        assert np.ptp(reference) > 1e-3

    def test_every_integration_succeeds(self, exact_case):
        case, _, (_, tally), _ = exact_case
        assert tally["success"] == case.integrations
        assert sum(tally.values()) == case.integrations


def test_rsa_dips_and_sa_peaks_at_focus():
    rsa, _ = Case(RSA_PARAMS, 6e-3, nx=9).model()
    sa, _ = Case(SA_PARAMS, 2e-3, populations=GROUND_1E23, nx=9).model()
    assert int(np.argmin(rsa)) == 4 and rsa[4] < 0.95
    assert int(np.argmax(sa)) == 4 and sa[4] > 1.1


class TestScanOrder:
    def test_reversal_mirrors_fractions(self):
        forward = Case(RSA_PARAMS, 6e-3, nx=8, positions=np.linspace(-12.0, 30.0, 8))
        backward = Case(RSA_PARAMS, 6e-3, nx=8, positions=forward.positions[::-1])
        assert backward.fraction()[0] == forward.fraction()[0][::-1]

    def test_permutation_changes_only_the_baseline(self):
        forward = Case(RSA_PARAMS, 6e-3, nx=12, nt=3, nz=2,
                       positions=np.linspace(-30.0, 30.0, 12))
        order = np.array([5, 6, 0, 1, 2, 3, 4, 7, 8, 9, 10, 11])  # focus in the first window
        permuted = Case(RSA_PARAMS, 6e-3, nx=12, nt=3, nz=2,
                        positions=forward.positions[order])
        fraction, _ = forward.fraction()
        permuted_fraction, _ = permuted.fraction()
        assert permuted_fraction == [fraction[m] for m in order]
        out, _ = forward.model()
        permuted_out, _ = permuted.model()
        np.testing.assert_allclose(permuted_out, shifted(permuted_fraction), rtol=0, atol=1e-15)
        assert abs(np.mean(permuted_out) - np.mean(out)) > 1e-3

    def test_strided_plane_matches_column_major(self):
        case = Case(RSA_PARAMS, 6e-3, nx=6, nt=3, nz=3)
        column_major, _ = case.model()
        row_major, _ = plix.zscan_transmittance(*case.args(case.incident.ravel(order="C")),
                                                row_stride=3, col_stride=1)
        assert row_major == column_major


# ---------------------------------------------------------------------------------------
# Limits


class TestLimits:
    def test_empty_depth_grid_gives_exactly_one(self):
        case = Case(RSA_PARAMS, 6e-3, nx=7, nt=4, nz=0)
        out, tally = case.model()
        assert out == [1.0] * 7
        assert sum(tally.values()) == 0

    def test_no_population_no_absorption(self):
        out, _ = Case(RSA_PARAMS, 6e-3, populations=[0.0] * 5, nx=7).model()
        fraction, _ = Case(RSA_PARAMS, 6e-3, populations=[0.0] * 5, nx=7).fraction()
        assert out == [1.0] * 7 and fraction == [1.0] * 7

    def test_zero_ground_cross_section_removes_all_absorption(self):
        params = [0.0] + RSA_PARAMS[1:]
        fraction, _ = Case(params, 6e-3, nx=6).fraction()
        assert fraction == [1.0] * 6

    @pytest.mark.parametrize("nx", [5, 7, 9, 12])
    def test_shift_is_additive(self, nx):
        rng = np.random.default_rng(nx)
        curve = 0.9 + 0.05 * rng.standard_normal(nx)
        b = 0.1 * (curve[:5].sum() + curve[-5:].sum())  # overlapping entries count twice
        got = np.array(plix.baseline_shift(curve))
        np.testing.assert_allclose(got - curve, 1.0 - b, rtol=0, atol=1e-15)

    def test_ends_at_nine_tenths_are_raised_by_a_tenth(self):
        curve = [0.9] * 5 + [0.5, 0.3] + [0.9] * 5
        got = plix.baseline_shift(curve)
        assert got == pytest.approx([v + 0.1 for v in curve], abs=1e-15)

    def test_model_output_is_fraction_plus_shift(self):
        case = Case(RSA_PARAMS, 6e-3, nx=7, nt=3, nz=3)
        out, _ = case.model()
        fraction, _ = case.fraction()
        np.testing.assert_allclose(out, shifted(fraction), rtol=0, atol=1e-15)

    @pytest.mark.parametrize("nz", [2, 3, 8])
    def test_weak_excitation_is_beer_lambert(self, nz):
        case = Case(RSA_PARAMS, 1e-9, nx=5, nt=3, nz=nz)  # I >> ATOL, excitation ~1e-7
        fraction, _ = case.fraction()
        dz = case.depth_grid[1]
        expected = math.exp(-RSA_PARAMS[0] * GROUND_1E24[0] * nz * dz)
        np.testing.assert_allclose(fraction, expected, rtol=nz * SLICE_RELATIVE_ERROR)
        # The light crosses nz slices: the path is longer than the sample.
        assert abs(expected - math.exp(-RSA_PARAMS[0] * GROUND_1E24[0] * SAMPLE_WIDTH)) > 1e-2


class TestIntegratorTrouble:
    def test_goes_on_and_counts(self):
        params = list(RSA_PARAMS)
        params[5] = 0.0  # zero 3 -> 2 lifetime: an infinite rate, non-finite derivatives
        case = Case(params, 6e-3, nx=5, nt=2, nz=2)
        out, tally = case.model()
        assert len(out) == 5
        assert sum(tally.values()) == case.integrations
        assert tally["success"] < case.integrations


class TestRejectedSizes:
    """The probe refuses sizes the model cannot work with, before calling it."""

    @pytest.mark.parametrize("nx, nt, nz", [(4, 3, 3), (5, 1, 3), (5, 3, 1)])
    def test_too_few_points(self, nx, nt, nz):
        case = Case(RSA_PARAMS, 6e-3, nx=nx, nt=nt, nz=nz)
        with pytest.raises(ValueError):
            case.model()

    def test_short_plane(self):
        case = Case(RSA_PARAMS, 6e-3, nx=5, nt=3, nz=2)
        with pytest.raises(ValueError):
            plix.zscan_transmittance(*case.args(case.incident.ravel(order="F")[:-1]))
