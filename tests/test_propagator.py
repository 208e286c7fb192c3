"""Intensity propagators of a level scheme: exp(h A(I)) for every intensity up to a largest one,
from piecewise Chebyshev interpolants in the intensity.

References: the matrix exponential they replace (matrix_exponential, a scaled Pade
approximant), scipy.linalg.expm, and a 60-digit decimal exponential for the relative accuracy
of small populations. Tolerances allow for the conditioning of the exponential of a stiff
matrix (about eps ||h A||_1 for any method in double precision), never for the last bits of
one implementation.
"""

import math
from decimal import Decimal, localcontext

import numpy as np
import pytest
import scipy.linalg

import _plix_testing as plix

EPS = np.finfo(float).eps
PLANCK = 6.62607015e-34
SPEED_OF_LIGHT = 299792458.0
WAVELENGTH = 532e-9
PHOTON_FLUX_FACTOR = WAVELENGTH / (PLANCK * SPEED_OF_LIGHT)  # photons per joule

# The demo's five-level absorber: sigma_12, sigma_23, sigma_45, then the lifetimes 2->1,
# 2->4, 3->2, 4->1, 5->4.
FIVE_LEVEL = [2e-21, 1e-21, 8e-21, 2e-9, 2.5e-9, 1e-12, 1e-4, 1e-12]
TAU = 5e-9
W0 = 25e-6
DEMO_ENERGY = 1e-6
PULSE_WINDOW = 3.46  # |t| <= 3.46 tau
TIME_STRETCH = 1.5


def peak_intensity(energy):
    return 2.0 * energy / (math.pi**1.5 * W0**2 * TAU)


def time_grid(count, energy):
    """Half steps and largest intensities of the physical model's time grid: boundaries at
    W tau sinh(beta x) / sinh(beta) for x uniform in [-1, 1], the pulse averaged over each."""
    x = np.linspace(-1.0, 1.0, count + 1)
    t = PULSE_WINDOW * np.sinh(TIME_STRETCH * x) / math.sinh(TIME_STRETCH)
    share = [0.5 * math.sqrt(math.pi) * (math.erf(b) - math.erf(a)) for a, b in zip(t, t[1:])]
    widths = np.diff(t)
    return list(0.5 * widths * TAU), list(peak_intensity(energy) * np.array(share) / widths)


def evaluate(scheme, params, half_steps, max_intensities, step, intensities, **settings):
    """The propagator's summary for the step, and its matrices, matrix_exponential's and the
    scaled rate matrices h A(I) as arrays of shape (len(intensities), N, N)."""
    r = plix.propagator_matrices(scheme, params, PHOTON_FLUX_FACTOR, half_steps,
                                 max_intensities, step, intensities, **settings)
    n = r["levels"]
    shaped = {k: np.array(r[k]).reshape(-1, n, n) for k in ("propagator", "pade", "scaled_rates")}
    return r, shaped["propagator"], shaped["pade"], shaped["scaled_rates"]


def one_norm(m):
    """Largest column sum of |m| for each matrix of a stack."""
    return np.abs(m).sum(axis=-2).max(axis=-1)


def rounding_allowance(scaled):
    """What double precision allows between two exponentials of h A: about eps ||h A||_1."""
    return 2.0 * EPS * one_norm(scaled) + 1e-14


def scipy_allowance(scaled):
    """The same against scipy.linalg.expm, whose own error reaches a few eps ||h A||_1 and
    1e-14 at small norms."""
    return 4.0 * EPS * one_norm(scaled) + 5e-14


def intensities_over(summary, max_intensity, rng):
    """Both ends of [0, max_intensity] and of every piece, three random points in each
    piece, and an even sweep."""
    points = [0.0, max_intensity, *np.linspace(0.0, max_intensity, 17)]
    for lower, upper, _, _ in summary["pieces"]:
        points += [lower, upper, *rng.uniform(lower, upper, 3)]
    return points


def expm_decimal(m, digits=60):
    """exp(m) in decimal arithmetic: the 1-norm scaled below 1/8, a Taylor series for
    exp - I, and squarings of Y = X - I (2Y + Y^2)."""
    n = len(m)
    with localcontext() as ctx:
        ctx.prec = digits
        a = [[Decimal(float(v)) for v in row] for row in m]
        norm = max(sum(abs(a[i][j]) for i in range(n)) for j in range(n))
        squarings = 0
        while norm > Decimal("0.125"):
            norm /= 2
            squarings += 1
        scale = Decimal(2) ** -squarings
        a = [[v * scale for v in row] for row in a]
        term = [row[:] for row in a]
        y = [row[:] for row in a]
        for k in range(2, 40):
            term = [[sum(term[i][q] * a[q][j] for q in range(n)) / k for j in range(n)]
                    for i in range(n)]
            y = [[y[i][j] + term[i][j] for j in range(n)] for i in range(n)]
        for _ in range(squarings):
            y2 = [[sum(y[i][q] * y[q][j] for q in range(n)) for j in range(n)] for i in range(n)]
            y = [[2 * y[i][j] + y2[i][j] for j in range(n)] for i in range(n)]
        return [[y[i][j] + (1 if i == j else 0) for j in range(n)] for i in range(n)]


def times_decimal(e, v):
    with localcontext() as ctx:
        ctx.prec = 60
        return [sum(e[i][k] * Decimal(float(v[k])) for k in range(len(v))) for i in range(len(e))]


def random_scheme(levels, rng, stiff, two_photon, half_step):
    """A random scheme: absorptions up a ladder and a few that skip a level, a decay from each
    excited level to a random lower one and some to the level below; with two_photon, two-
    photon absorptions from the ground state two levels up. Returns (scheme, params, I_max)
    with I_max giving up to about ten photon events per level in a half step."""
    absorptions, decays = [], []
    for lower in range(levels - 1):
        absorptions.append(("one_photon", lower, lower + 1, 10 ** rng.uniform(-22, -20)))
        if lower + 2 < levels and rng.random() < 0.5:
            absorptions.append(("one_photon", lower, lower + 2, 10 ** rng.uniform(-22, -20)))
    shortest, longest = (-12.5, -8) if stiff else (-9.5, -7)
    for upper in range(1, levels):
        decays.append(("decay", upper, int(rng.integers(0, upper)), 10 ** rng.uniform(shortest, longest)))
        if upper >= 2 and rng.random() < 0.5:
            decays.append(("decay", upper, upper - 1, 10 ** rng.uniform(shortest, longest)))
    largest_sigma = max(p[3] for p in absorptions)
    max_intensity = rng.uniform(0.5, 10.0) / (PHOTON_FLUX_FACTOR * largest_sigma * half_step)
    if two_photon and levels >= 3:
        flux = PHOTON_FLUX_FACTOR * max_intensity
        # sigma2 / 2 flux^2 h of order one at I_max
        absorptions.append(("two_photon", 0, 2, 2.0 * rng.uniform(0.5, 5.0) / (flux**2 * half_step)))
    processes = absorptions + decays
    names = [f"p{k}" for k in range(len(processes))]
    scheme = (levels, [(kind, a, b, name) for (kind, a, b, _), name in zip(processes, names)])
    # parameter_names(): the cross-sections in process order, then the lifetimes.
    params = [p[3] for p in absorptions] + [p[3] for p in decays]
    return scheme, params, max_intensity


DEMO_CASES = [
    pytest.param(energy, count, step, id=f"{label}-{count}steps-step{step}")
    for energy, label in ((2e-7, "0.2uJ"), (DEMO_ENERGY, "1uJ"), (1000 * DEMO_ENERGY, "1000x"))
    for count in (24, 100)
    for step in (0, count // 4, count // 2)
]


class TestAgreesWithTheMatrixExponential:
    @pytest.mark.parametrize("energy,count,step", DEMO_CASES)
    def test_five_level_demo(self, energy, count, step):
        rng = np.random.default_rng(count + step)
        half_steps, largest = time_grid(count, energy)
        summary, *_ = evaluate("five_level", FIVE_LEVEL, half_steps, largest, step, [0.0])
        points = intensities_over(summary, largest[step], rng)
        summary, p, q, m = evaluate("five_level", FIVE_LEVEL, half_steps, largest, step, points)
        assert summary["method"] == "series"
        s = np.array([scipy.linalg.expm(a) for a in m])
        allowance = rounding_allowance(m)
        if energy <= DEMO_ENERGY:
            # At the demo's energies: 1e-14 of the propagator's norm (which is 1).
            allowance = np.minimum(allowance, 1e-14)
        assert np.all(one_norm(p - q) <= allowance)
        assert np.all(one_norm(p - s) <= scipy_allowance(m))
        # Population is conserved: every column sums to one.
        assert np.all(np.abs(p.sum(axis=1) - 1.0) <= allowance[:, None])

    @pytest.mark.parametrize("levels", range(2, 9))
    @pytest.mark.parametrize("stiff", [True, False], ids=["stiff", "non-stiff"])
    @pytest.mark.parametrize("two_photon", [False, True], ids=["one-photon", "two-photon"])
    def test_random_schemes(self, levels, stiff, two_photon):
        rng = np.random.default_rng(100 * levels + 10 * stiff + two_photon)
        half_step = 0.5e-9
        scheme, params, max_intensity = random_scheme(levels, rng, stiff, two_photon, half_step)
        summary, *_ = evaluate(scheme, params, [half_step], [max_intensity], 0, [0.0])
        points = intensities_over(summary, max_intensity, rng)
        summary, p, q, m = evaluate(scheme, params, [half_step], [max_intensity], 0, points)
        assert summary["method"] == "series"
        s = np.array([scipy.linalg.expm(a) for a in m])
        allowance = rounding_allowance(m)
        assert np.all(one_norm(p - q) <= allowance)
        assert np.all(one_norm(p - s) <= scipy_allowance(m))
        assert np.all(np.abs(p.sum(axis=1) - 1.0) <= allowance[:, None])

    def test_every_step_of_a_table_built_on_two_threads(self):
        """The steps of one table (their coefficients side by side) match tables of one
        step each, built on one thread."""
        half_steps, largest = time_grid(24, DEMO_ENERGY)
        for step in (0, 5, 12, 23):
            points = list(np.linspace(0.0, largest[step], 9))
            _, whole, *_ = evaluate("five_level", FIVE_LEVEL, half_steps, largest, step, points,
                                    threads=2)
            _, alone, *_ = evaluate("five_level", FIVE_LEVEL, [half_steps[step]],
                                    [largest[step]], 0, points)
            assert np.array_equal(whole, alone)


class TestTruncationBound:
    @pytest.mark.parametrize("max_degree,tolerance", [(2, 1e-3), (3, 1e-4), (4, 1e-5)])
    @pytest.mark.parametrize("case", ["five-level", "two-photon"])
    def test_error_never_exceeds_the_bound(self, case, max_degree, tolerance):
        """With loose tolerances the truncation error is far above rounding, and on every
        piece it stays within the piece's bound."""
        if case == "five-level":
            scheme, params = "five_level", FIVE_LEVEL
            half_steps, largest = time_grid(24, 30 * DEMO_ENERGY)
            half_step, max_intensity = half_steps[12], largest[12]
        else:
            half_step = 0.5e-9
            scheme, params, max_intensity = random_scheme(4, np.random.default_rng(4), True, True,
                                                          half_step)
        settings = dict(max_degree=max_degree, tolerance=tolerance)
        summary, *_ = evaluate(scheme, params, [half_step], [max_intensity], 0, [0.0], **settings)
        largest_error = 0.0
        for lower, upper, degree, bound in summary["pieces"]:
            assert 1 <= degree <= max_degree
            points = np.linspace(lower, upper, 25)
            _, p, _, m = evaluate(scheme, params, [half_step], [max_intensity], 0, points,
                                  **settings)
            reference = np.array([scipy.linalg.expm(a) for a in m])
            error = one_norm(p - reference)
            assert np.all(error <= bound + scipy_allowance(m))
            largest_error = max(largest_error, error.max())
        assert largest_error > 100 * scipy_allowance(m).max()


class TestSmallPopulations:
    # Populations one photon (levels 2 and 4) and two photons (levels 3 and 5) away from the
    # ground state, from 1e-21 to 1e-10 of the total, fed from the ground state: each within
    # 1e-13 of its own value. What they receive from other small populations is accurate to
    # 1e-14 of those (as with any exponential accurate in norm: a 1 ps level's own share after
    # a nanosecond step, e^-500, comes out as rounding).
    RELATIVE = 1e-13
    FROM_SMALL = 1e-14

    @pytest.mark.parametrize("energy", [2e-7, DEMO_ENERGY])
    def test_relative_accuracy_of_small_populations(self, energy):
        half_steps, largest = time_grid(24, energy)
        step = 12
        fractions = [1e-8, 1e-7, 1e-6, 1e-5, 1e-3, 0.1, 1.0]
        points = [f * largest[step] for f in fractions]
        _, p, _, m = evaluate("five_level", FIVE_LEVEL, half_steps, largest, step, points)
        starts = [np.array([1.0, 0.0, 0.0, 0.0, 0.0]),
                  np.array([1.0, 1e-11, 1e-16, 1e-12, 1e-16])]
        checked = 0
        smallest = 1.0
        for propagator, scaled in zip(p, m):
            exact = expm_decimal(scaled)
            for n in starts:
                # The column's two half steps: midpoint state, then end state.
                mid_exact = np.array([float(v) for v in times_decimal(exact, n)])
                end_exact = np.array([float(v) for v in times_decimal(exact, mid_exact)])
                mid = propagator @ n
                end = propagator @ mid
                for computed, reference, source in ((mid, mid_exact, n),
                                                     (end, end_exact, mid_exact)):
                    small = (reference > 0) & (reference <= 1e-10 * reference.sum())
                    error = np.abs(computed[small] - reference[small])
                    allowed = self.RELATIVE * reference[small] + self.FROM_SMALL * source[1:].sum()
                    assert np.all(error <= allowed)
                    checked += small.sum()
                    smallest = min(smallest, reference.min() / reference.sum())
        assert checked > 25 and smallest < 1e-20

class TestFallbacks:
    def test_outside_the_interpolated_range_the_matrix_exponential_is_used(self):
        half_steps, largest = time_grid(24, DEMO_ENERGY)
        step = 12
        summary, *_ = evaluate("five_level", FIVE_LEVEL, half_steps, largest, step, [0.0])
        top, bottom = largest[step], summary["series_lower"]
        assert 0.0 < bottom < 1e-6 * top
        points = [0.0, 0.5 * bottom, math.nextafter(top, math.inf), 2.0 * top, math.nan]
        _, p, q, _ = evaluate("five_level", FIVE_LEVEL, half_steps, largest, step, points)
        assert np.array_equal(p, q, equal_nan=True)
        assert np.isnan(p[-1]).all()

    def test_without_light_one_matrix_serves_every_intensity(self):
        """No photon flux: the propagator is exp(h A(0)) at every intensity."""
        half_steps, largest = time_grid(24, DEMO_ENERGY)
        points = list(np.linspace(0.0, largest[12], 5))
        r = plix.propagator_matrices("five_level", FIVE_LEVEL, 0.0, half_steps, largest, 12,
                                     points)
        assert r["method"] == "constant"
        assert r["propagator"] == r["pade"]

    def test_a_step_that_needs_too_many_pieces_uses_the_matrix_exponential(self):
        half_steps, largest = time_grid(24, 1000 * DEMO_ENERGY)
        points = list(np.linspace(0.0, largest[12], 7))
        summary, p, q, _ = evaluate("five_level", FIVE_LEVEL, half_steps, largest, 12, points,
                                    max_pieces=8)
        assert summary["method"] == "direct"
        assert summary["pieces"] == []
        assert np.array_equal(p, q)


class TestSettings:
    @pytest.mark.parametrize("settings,message", [
        (dict(max_degree=0), "max_degree must be in 1 .. 32"),
        (dict(max_degree=33), "max_degree must be in 1 .. 32"),
        (dict(tolerance=0.0), "tolerance must be in (0, 1)"),
        (dict(tolerance=math.nan), "tolerance must be in (0, 1)"),
        (dict(max_pieces=0), "max_pieces must be at least 1"),
    ])
    def test_settings_with_a_problem_are_refused(self, settings, message):
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            plix.propagator_matrices("five_level", FIVE_LEVEL, PHOTON_FLUX_FACTOR, [1e-9],
                                     [1e11], 0, [0.0], **settings)

    @pytest.mark.parametrize("half_steps,largest,message", [
        ([-1e-9], [1e11], r"half_steps\[0\] must be finite and >= 0"),
        ([1e-9, math.inf], [1e11, 1e11], r"half_steps\[1\] must be finite and >= 0"),
        ([1e-9], [math.nan], r"max_intensities\[0\] must be finite and >= 0"),
        ([1e-9, 1e-9], [1e11], "one entry per step each, got 2 and 1"),
    ])
    def test_steps_with_a_problem_are_refused(self, half_steps, largest, message):
        with pytest.raises(ValueError, match=message):
            plix.propagator_matrices("five_level", FIVE_LEVEL, PHOTON_FLUX_FACTOR, half_steps,
                                     largest, 0, [0.0])
