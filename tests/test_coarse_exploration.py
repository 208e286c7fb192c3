"""Fits whose starts explore on a coarse grid: the same answer as every start on the final grid,
the final grid chosen at the best minimum for the model's own accuracy, far minima marked as
the exploring grid's and never taken as the best, and the option checked."""

import functools
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import plix
from plix import _core

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SETUP = plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [3.5e23, 0, 0, 0, 0])
TRUTH = plix.Parameters(sigma_12=2e-21, sigma_23=1e-21, sigma_45=8e-21, lifetime_21=2e-9,
                        lifetime_24=2.5e-9, lifetime_32=1e-12, lifetime_41=1e-4,
                        lifetime_54=1e-12)
Z = np.linspace(-30.0, 30.0, 21)
ENERGIES = [2e-7, 1e-6]
MODEL = plix.Model.physical(accuracy=3e-4)


@functools.cache
def noisy_scan(seed=3):
    data = plix.simulate(SETUP, TRUTH, Z, ENERGIES, model=MODEL.replace(accuracy=1e-5),
                         threads=2)
    noisy = data + np.random.default_rng(seed).normal(0.0, 0.003, data.shape)
    return plix.Scan.from_arrays([Z] * 2, list(noisy), ENERGIES,
                                 sigma=[np.full(Z.size, 0.003)] * 2)


def fit(scan, params, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plix.FitWarning)
        return plix.fit(scan, SETUP, params, model=MODEL, center="none", threads=2, **kwargs)


def started(**factors):
    params = TRUTH.copy().vary(*factors)
    for name, f in factors.items():
        params[name].value *= f
    return params


@pytest.fixture(scope="module")
def pair():
    """One fit exploring on the coarse grid, one with every start on the final grid."""
    scan = noisy_scan()
    params = started(sigma_12=2.0, sigma_45=2.0)
    return scan, params, fit(scan, params, n_starts=2), fit(scan, params, n_starts=2,
                                                            coarse_factor=1)


class TestSameAnswer:
    def test_values_errors_and_chisqr_agree_with_starts_on_the_final_grid(self, pair):
        _, _, explored, direct = pair
        assert explored.explored and not direct.explored
        assert explored.success and direct.success
        for name in ("sigma_12", "sigma_45"):
            a, b = explored.params[name], direct.params[name]
            # Both end at the minimum of grids chosen for the same accuracy there.
            assert abs(a.value - b.value) < 0.01 * b.stderr
            assert a.stderr == pytest.approx(b.stderr, rel=0.01)
        assert explored.chisqr == pytest.approx(direct.chisqr, abs=1e-3)

    def test_starts_explore_on_the_relaxed_grid_and_the_final_one_serves_the_accuracy(self, pair):
        scan, params, explored, _ = pair
        relaxed = MODEL.replace(accuracy=MODEL.fields["accuracy"] * 20)
        _, info = plix.simulate(SETUP, params, Z, ENERGIES, model=relaxed, threads=2,
                                return_info=True)
        assert explored.start_grid == tuple(np.max(np.array(info.grid), axis=0))
        assert np.prod(explored.start_grid) < np.prod(explored.grid)
        assert explored.start_error_estimate <= 20 * 3e-4
        # The final grid: at least as fine as the one chosen at the solution, within 10 %.
        assert all(g >= s for g, s in zip(explored.grid, explored.solution_grid))
        assert np.prod(explored.grid) <= 1.1 * np.prod(explored.solution_grid)
        assert explored.error_estimate <= 3e-4
        # The curves of the result are the final fixed-grid model's.
        fixed = plix.simulate(SETUP, explored.params, Z, ENERGIES, model=explored.model,
                              threads=1)
        np.testing.assert_allclose(explored.best_fit, fixed, rtol=0, atol=1e-14)


class TestFarMinima:
    def test_a_start_that_runs_off_stays_on_the_exploring_grid_and_is_not_the_best(self):
        # The bundled sample: the third start (3.3 times the first) runs to cross-sections
        # that absorb everything, far above the best minimum.
        setup, model = plix.read_setup(EXAMPLES / "physical_setup.toml")
        params = plix.read_parameters(EXAMPLES / "physical_start.toml", model)
        scan = plix.read_scan(EXAMPLES / "physical_sample.csv")
        scan = plix.Scan([d for d in scan if d.energy_J == 1e-6])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", plix.FitWarning)
            result = plix.fit(scan, setup, params, model=model, n_starts=3, center="extremum",
                              threads=2)
        far = [s for s in result.starts if not s.refined]
        assert far, "expected a start that ran off"
        for s in far:
            assert s.chisqr - result.chisqr > 25
            assert s.joined is None or not result.starts[s.joined].refined
        assert result.starts[result.best_start].refined
        assert result.starts[result.best_start].joined is None
        assert result.minima[0].refined and not result.minima[-1].refined
        assert result.chisqr == min(s.chisqr for s in result.starts if s.refined)
        report = result.report()
        assert "* on the coarse grid the starts explored on" in report
        assert "model grid of the starts" in report


class TestWhereItApplies:
    def test_models_without_a_grid_to_choose_do_not_explore(self):
        scan = noisy_scan()
        params = started(sigma_45=1.5)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", plix.FitWarning)
            result = plix.fit(scan, SETUP, params, model=MODEL.replace(grid=(24, 4, 3)),
                              n_starts=1, center="none", threads=2)
        assert not result.explored and result.start_grid is None
        assert all(s.refined for s in result.starts)

    def test_an_exploring_grid_that_meets_the_accuracy_is_left_for_the_models_own(self):
        # At these accuracies the search's first grid meets both: the grid stays, but the
        # explorer's relaxed propagators do not; the curves are the final model's.
        model = plix.Model.physical(accuracy=0.05)
        scan = noisy_scan()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", plix.FitWarning)
            result = plix.fit(scan, SETUP, started(sigma_45=1.5), model=model, n_starts=1,
                              center="none", threads=2, coarse_factor=2)
        assert result.explored and result.start_grid == result.grid
        assert result.grid_refits == 1
        fixed = plix.simulate(SETUP, result.params, Z, ENERGIES, model=result.model, threads=1)
        np.testing.assert_allclose(result.best_fit, fixed, rtol=0, atol=1e-14)

    def test_relaxed_models(self):
        native = MODEL.native()
        assert _core.relaxed_model(native, 20.0) is not None
        assert _core.relaxed_model(native, 1.0) is None
        assert _core.relaxed_model(MODEL.replace(grid=(24, 4, 3)).native(), 20.0) is None
        assert _core.relaxed_model(plix.Model.oa_2pa().native(), 20.0) is None
        # Already at the loosest accuracy: nothing to relax.
        assert _core.relaxed_model(MODEL.replace(accuracy=0.1).native(), 20.0) is None

    @pytest.mark.parametrize("value, error", [(0.5, ValueError), (float("nan"), ValueError),
                                              (float("inf"), ValueError), ("10", TypeError),
                                              (True, TypeError)])
    def test_a_bad_factor_is_refused_naming_it(self, value, error):
        with pytest.raises(error, match="coarse_factor"):
            plix.fit(noisy_scan(), SETUP, started(sigma_45=1.5), model=MODEL,
                     coarse_factor=value)

    def test_the_command_line_refuses_a_bad_factor_in_one_line(self):
        run = subprocess.run(
            [sys.executable, "-m", "plix", "fit", str(EXAMPLES / "physical_sample.csv"),
             "--setup", str(EXAMPLES / "physical_setup.toml"), "--params",
             str(EXAMPLES / "physical_start.toml"), "--coarse-factor", "0.5"],
            capture_output=True, text=True)
        assert run.returncode == 2
        assert "--coarse-factor" in run.stderr and len(run.stderr.strip().splitlines()) == 1

    def test_the_checks_time_the_exploring_grid(self):
        seen = []
        fit(noisy_scan(), started(sigma_45=1.5), n_starts=1, on_checks=seen.append)
        (checks,) = seen
        row = dict(checks.rows)["estimated cost"]
        assert "20 times looser" in row and "times finer" in row
