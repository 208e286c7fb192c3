"""plix under hostile input: row order never changes a curve, thread counts are capped,
an accuracy the grid search cannot reach is said, sizes that cannot be allocated are refused
with the argument named."""

import warnings

import numpy as np
import pytest

import plix

SETUP = plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [1e24, 0, 0, 0, 0])
TRUTH = plix.Parameters(sigma_12=1e-21, sigma_23=5e-21, sigma_45=8e-21, lifetime_21=2e-9,
                        lifetime_24=5e-9, lifetime_32=1e-12, lifetime_41=1e-6,
                        lifetime_54=1e-12)
Z = np.linspace(-30.0, 30.0, 25)


class TestRowOrder:
    @pytest.mark.parametrize("integrator", ["lsoda", "exact"])
    def test_shuffled_positions_give_the_same_seed_curve(self, integrator):
        model = plix.Model.seed(integrator=integrator, t_slices=6, z_slices=4)
        order = np.random.default_rng(5).permutation(Z.size)
        sorted_curve = plix.simulate(SETUP, TRUTH, Z, 4e-3, model=model)[0]
        shuffled = plix.simulate(SETUP, TRUTH, Z[order], 4e-3, model=model)[0]
        np.testing.assert_array_equal(shuffled, sorted_curve[order])

    def test_shuffled_positions_give_the_same_physical_curve_with_the_ends_baseline(self):
        model = plix.Model.physical(grid=(24, 4, 3), normalisation="ends")
        order = np.random.default_rng(6).permutation(Z.size)
        sorted_curve = plix.simulate(SETUP, TRUTH, Z, 1e-6, model=model)[0]
        shuffled = plix.simulate(SETUP, TRUTH, Z[order], 1e-6, model=model)[0]
        np.testing.assert_array_equal(shuffled, sorted_curve[order])

    def test_shuffled_rows_give_the_same_fit(self):
        model = plix.Model.seed(integrator="exact", t_slices=6, z_slices=4)
        data = plix.simulate(SETUP, TRUTH, Z, [3e-3, 6e-3], model=model)
        order = np.random.default_rng(7).permutation(Z.size)
        start = TRUTH.copy().vary("sigma_12", "sigma_45")
        start["sigma_12"].value = 2e-21
        start["sigma_45"].value = 1.6e-20
        fits = []
        for rows in (np.arange(Z.size), order):
            scan = plix.Scan.from_arrays([Z[rows]] * 2, [d[rows] for d in data], [3e-3, 6e-3])
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", plix.FitWarning)
                fits.append(plix.fit(scan, SETUP, start, model=model, n_starts=1, threads=1))
        for name in ("sigma_12", "sigma_45"):
            assert fits[1].params[name].value == pytest.approx(fits[0].params[name].value,
                                                               rel=1e-9)
        assert fits[0].params["sigma_45"].value == pytest.approx(8e-21, rel=1e-6)


class TestLimits:
    def test_more_threads_than_cores_and_items_give_the_same_curve(self):
        model = plix.Model.physical(grid=(24, 4, 3))
        one = plix.simulate(SETUP, TRUTH, Z[:4], 1e-6, model=model, threads=1)
        many = plix.simulate(SETUP, TRUTH, Z[:4], 1e-6, model=model, threads=100_000)
        np.testing.assert_array_equal(one, many)

    def test_an_accuracy_the_grid_search_cannot_reach_is_said(self):
        model = plix.Model.physical(geometry="on_axis", accuracy=1e-12)
        with pytest.warns(plix.ModelWarning, match="requested accuracy 1e-12"):
            _, info = plix.simulate(SETUP, TRUTH, [0.0, 2.0], 3e-6, model=model,
                                    return_info=True)
        assert info.error_estimate.max() > 1e-12


class TestCommandLine:
    """Every argument error is one line on stderr with exit status 2."""

    @pytest.mark.parametrize("args", [
        ["simulate", "--positions", "-30:30:1000000000000"],
        ["simulate", "--positions", "-30:30:9223372036854775808"],
        ["simulate", "--positions", "-30:30"],
        ["fit", "scan.csv", "--starts", "2147483648"],
        ["fit", "scan.csv", "--max-nfev", "99999999999"],
        ["fit"],
    ])
    def test_one_line_and_status_2(self, args, tmp_path):
        import subprocess
        import sys
        from pathlib import Path

        examples = Path(__file__).resolve().parent.parent / "examples"
        common = ["--setup", str(examples / "physical_setup.toml"), "--params",
                  str(examples / "physical_true.toml")]
        extra = ["--energy", "1e-6"] if args[0] == "simulate" else []
        done = subprocess.run([sys.executable, "-m", "plix", *args, *common, *extra],
                              capture_output=True, text=True, cwd=tmp_path, timeout=120)
        assert done.returncode == 2
        lines = done.stderr.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith("plix"), done.stderr

    def test_fit_refuses_start_counts_beyond_its_limit(self):
        scan = plix.Scan.from_arrays([Z], [np.ones(Z.size)], [1e-3])
        with pytest.raises(ValueError, match=r"^n_starts must lie in \[1, 1000\]"):
            plix.fit(scan, SETUP, TRUTH.copy().vary("sigma_12"), n_starts=10**6)
        with pytest.raises(ValueError, match=r"^max_nfev"):
            plix.fit(scan, SETUP, TRUTH.copy().vary("sigma_12"), max_nfev=2**31)


class TestCostBudget:
    """A curve's cost is bounded before the work: a fixed grid beyond the budget is refused at
    once, and the grid search stops at the budget naming the grid it would need."""

    def test_a_fixed_grid_beyond_the_budget_is_refused_at_once(self):
        import time

        model = plix.Model.physical(grid=(8192, 1024, 64))
        began = time.monotonic()
        with pytest.raises(ValueError, match=r"^model.grid \(8192, 1024, 64\) needs .* cells "
                                             r"for 25 positions, beyond max_cells"):
            plix.simulate(SETUP, TRUTH, Z, 1e-6, model=model)
        assert time.monotonic() - began < 1.0

    def test_a_seed_model_beyond_its_budget_is_refused_naming_the_slices(self):
        with pytest.raises(ValueError, match=r"^model.t_slices \(2147483647\) and z_slices "
                                             r"\(8\) need .* beyond max_cells"):
            plix.simulate(SETUP, TRUTH, Z, 1e-3, model=plix.Model.seed(t_slices=2**31 - 1))

    def test_the_grid_search_stops_at_the_budget_and_says_what_it_needs(self):
        model = plix.Model.physical(accuracy=1e-5, max_cells=2e6)
        with pytest.warns(plix.ModelWarning, match=r"cost budget \(max_cells = 2e\+06\)"):
            _, info = plix.simulate(SETUP, TRUTH, Z[::3], 1e-6, model=model, return_info=True)
        steps, slices, nodes = info.grid[0]
        assert Z[::3].size * steps * slices * nodes * 7 <= 2e6  # one round: grid + 3 halvings


class TestStartsThatJoin:
    """A later start that reaches a minimum an earlier one found stops there, with fewer
    evaluations than it would take on its own, and reports that minimum."""

    def test_a_joined_start_stops_early_and_reports_the_minimum(self):
        model = plix.Model.seed(integrator="exact", t_slices=6, z_slices=4)
        rng = np.random.default_rng(11)
        data = plix.simulate(SETUP, TRUTH, Z, [3e-3, 6e-3], model=model)
        noisy = data + rng.normal(0.0, 2e-3, data.shape)
        sigma = np.full(Z.size, 2e-3)
        scan = plix.Scan.from_arrays([Z] * 2, noisy, [3e-3, 6e-3], sigma=[sigma] * 2)
        start = TRUTH.copy().vary("sigma_12", "sigma_45")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", plix.FitWarning)
            result = plix.fit(scan, SETUP, start, model=model, n_starts=3, center="none",
                              threads=1)
            joined = [s for s in result.starts if s.joined is not None]
            assert joined, [s.nfev for s in result.starts]
            for s in joined:
                first = result.starts[s.joined]
                assert s.values == first.values and s.chisqr == first.chisqr
                alone = start.copy()
                for name, value in s.start.items():
                    alone[name].value = value
                own = plix.fit(scan, SETUP, alone, model=model, n_starts=1, center="none",
                               threads=1)
                assert s.nfev < own.nfev
                assert own.chisqr == pytest.approx(first.chisqr, rel=1e-8)


class TestDarkSamples:
    """A sample of optical density 1000 (exp(-1000) underflows) gives finite, correct curves:
    the columns carry their light relative to Beer-Lambert."""

    OD = 1000.0
    SIGMA = 1e-21
    WIDTH = 1e-3

    def model_and_setup(self, geometry):
        scheme = plix.LevelScheme(2, [(1, 2, "sigma_g")], [(2, 1, "tau_e")])
        n1 = self.OD / (self.SIGMA * self.WIDTH)
        setup = plix.Setup(532e-9, 25e-6, 5e-9, self.WIDTH, populations=[n1, 0.0])
        model = plix.Model.physical(scheme=scheme, geometry=geometry, grid=(24, 4096, 6))
        return model, setup, model.make_params(sigma_g=self.SIGMA, tau_e=np.inf)

    def test_vanishing_energy_is_exactly_linear(self):
        model, setup, params = self.model_and_setup("beam")
        curve = plix.simulate(setup, params, [-5.0, 0.0, 5.0], 1e-16, model=model)[0]
        np.testing.assert_allclose(curve, 1.0, rtol=0, atol=1e-9)

    def test_bleaching_against_frantz_nodvik_in_log_space(self):
        # Frantz-Nodvik normalised by Beer-Lambert, T / T0 = (F_s/F) ln(1 + T0 (e^{F/F_s} - 1))
        # / T0, tends to (e^u - 1)/u (u = F/F_s) when T0 e^u << 1: here T0 = e^-1000.
        import math

        model, setup, params = self.model_and_setup("on_axis")
        photon = 6.62607015e-34 * 299792458.0 / 532e-9
        saturation = photon / self.SIGMA
        positions = np.array([-6.0, -2.0, 0.0, 3.0])
        energy = 0.3 * saturation * math.pi * 25e-6**2 / 2.0  # F/F_s = 0.3 at the focus
        curve = plix.simulate(setup, params, positions, energy, model=model)[0]
        z0 = setup.rayleigh_range
        u = 0.3 / (1.0 + (1e-3 * positions / z0) ** 2)
        np.testing.assert_allclose(curve, np.expm1(u) / u, rtol=1e-3)  # 3.7e-4 measured
        assert np.all(np.isfinite(curve)) and curve.max() > 1.1

    def test_a_curve_that_stays_non_finite_is_said_with_the_parameters(self):
        model, setup, params = self.model_and_setup("on_axis")
        seed = plix.Model.seed(scheme=model.fields["scheme"], integrator="exact",
                               normalisation="linear")
        with pytest.warns(plix.ModelWarning, match=r"not finite .* sigma_g=1e-21, tau_e=inf"):
            plix.simulate(setup, params, np.linspace(-5, 5, 7), 1e-3, model=seed)
