"""plix.fit: recovery of known parameters, uncertainties that mean what they say, bounds,
centring, status and warnings, bad input."""

import math
import warnings

import numpy as np
import pytest

import plix

SETUP = plix.Setup(wavelength=532e-9, w0=30e-6, tau=5e-9, sample_width=1e-3,
                   populations=[1e24, 0, 0, 0, 0])
TRUTH = plix.Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
EXACT = plix.Model.seed(integrator="exact")
Z = np.linspace(-30.0, 30.0, 21)
ENERGIES = [2e-3, 5e-3, 9e-3]


def simulate(params=TRUTH, positions=Z, energies=ENERGIES):
    return plix.simulate(SETUP, params, positions, energies, model=EXACT, threads=1)


def started(free, factors, params=TRUTH):
    """A copy of params with `free` varied and started at factors times their values."""
    p = params.copy()
    p.vary(*free)
    for name, f in zip(free, factors):
        p[name].value *= f
    return p


def quiet_fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plix.FitWarning)
        return plix.fit(*args, **kwargs)


def chisqr_at(params, scan, sigma=None):
    total = 0.0
    for d in scan:
        r = d.transmittance - simulate(params, d.positions_mm, d.energy_J)[0]
        total += float(np.sum((r if sigma is None else r / sigma) ** 2))
    return total


class TestRecovery:
    @pytest.mark.parametrize("free, factors", [
        (("sigma_23", "sigma_45"), (2.0, 0.5)),
        (("sigma_12", "sigma_23", "sigma_45"), (2.0, 0.5, 2.0)),
        (("sigma_23", "sigma_45", "lifetime_21"), (0.5, 2.0, 0.5)),
    ])
    def test_noise_free_data_give_back_the_true_values(self, free, factors):
        scan = plix.Scan.from_arrays([Z] * 3, list(simulate()), ENERGIES)
        result = quiet_fit(scan, SETUP, started(free, factors), model=EXACT, n_starts=1,
                           threads=1)
        assert result.success
        for name in free:
            assert result.params[name].value == pytest.approx(TRUTH[name].value, rel=1e-6)
        for name in set(TRUTH.names) - set(free):
            assert result.params[name].value == TRUTH[name].value
        # As low as the chi^2 of the truth (rounding level for exact data).
        assert result.chisqr <= chisqr_at(TRUTH, scan) + 1e-24
        assert result.chisqr == pytest.approx(chisqr_at(result.params, scan), rel=1e-9, abs=1e-28)
        # The default fits the focus: one offset shared by the datasets, here at 0.
        assert result.var_names == list(free) + ["focus_offset_mm"]
        assert abs(result.focus_offset_mm) < 1e-6
        assert result.nvarys == len(free) + 1 and result.ndata == 3 * Z.size
        assert result.nfree == result.ndata - result.nvarys

    def test_best_fit_and_residuals_are_the_model_at_the_solution(self):
        rng = np.random.default_rng(3)
        data = simulate() + 0.002 * rng.standard_normal((3, Z.size))
        scan = plix.Scan.from_arrays([Z] * 3, list(data), ENERGIES)
        result = quiet_fit(scan, SETUP, started(("sigma_23",), (1.5,)), model=EXACT, n_starts=1,
                           threads=1)
        model = np.array([simulate(result.params, Z - result.focus_offset_mm, e)[0]
                          for e in ENERGIES])
        for k in range(3):
            np.testing.assert_allclose(result.best_fit[k], model[k], rtol=0, atol=1e-14)
            np.testing.assert_allclose(result.residuals[k], data[k] - model[k], atol=1e-14)
        assert result.chisqr == pytest.approx(float(np.sum((data - model) ** 2)), rel=1e-12)
        assert result.redchi == pytest.approx(result.chisqr / result.nfree)


def reference_covariance(result, scan, sigma, step=1e-3):
    """(J^T J)^-1 from a Richardson-extrapolated central-difference Jacobian of the weighted
    residuals, made here from plix.simulate alone."""
    names = result.var_names
    columns = []
    for name in names:
        x = result.params[name].value

        def residuals_at(value):
            p = result.params.copy()
            p[name].value = value
            return np.concatenate([(d.transmittance - simulate(p, d.positions_mm, d.energy_J)[0])
                                   / (1.0 if sigma is None else sigma) for d in scan])

        def central(h):
            return (residuals_at(x * (1 + h)) - residuals_at(x * (1 - h))) / (2 * h * x)

        columns.append((4 * central(step / 2) - central(step)) / 3)
    jac = np.column_stack(columns)
    return np.linalg.inv(jac.T @ jac)


class TestUncertainties:
    FREE = ("sigma_12", "sigma_23")
    NOISE = 0.002

    def noisy_scan(self, seed, with_sigma=True):
        rng = np.random.default_rng(seed)
        data = simulate() + self.NOISE * rng.standard_normal((3, Z.size))
        sigma = [np.full(Z.size, self.NOISE)] * 3 if with_sigma else None
        return plix.Scan.from_arrays([Z] * 3, list(data), ENERGIES, sigma=sigma)

    def test_intervals_cover_the_truth_as_often_as_they_should(self):
        inside_1, inside_2, total = 0, 0, 0
        for seed in range(40):
            result = quiet_fit(self.noisy_scan(seed), SETUP, started(self.FREE, (1.0, 1.0)),
                               model=EXACT, n_starts=1, threads=1)
            assert result.success and result.absolute_sigma
            for name in self.FREE:
                p = result.params[name]
                distance = abs(p.value - TRUTH[name].value) / p.stderr
                inside_1 += distance <= 1.0
                inside_2 += distance <= 2.0
                total += 1
        assert 0.55 <= inside_1 / total <= 0.80
        assert inside_2 / total > 0.88

    @pytest.mark.parametrize("with_sigma", [True, False])
    def test_covariance_matches_an_independent_jacobian(self, with_sigma):
        scan = self.noisy_scan(7, with_sigma)
        result = quiet_fit(scan, SETUP, started(self.FREE, (1.3, 0.8)), model=EXACT,
                           n_starts=1, threads=1, center="extremum")
        cov = reference_covariance(result, scan, self.NOISE if with_sigma else None)
        if not with_sigma:
            cov *= result.redchi  # relative weights: scaled by the reduced chi^2
        np.testing.assert_allclose(result.covariance, cov, rtol=1e-5)
        stderr = np.sqrt(np.diag(cov))
        np.testing.assert_allclose([result.params[n].stderr for n in self.FREE], stderr, rtol=1e-5)
        np.testing.assert_allclose(result.correlation, cov / np.outer(stderr, stderr), atol=1e-8)
        assert result.absolute_sigma is with_sigma
        for name in set(TRUTH.names) - set(self.FREE):
            assert result.params[name].stderr is None

    def test_a_parameter_without_effect_gives_infinite_errors_and_a_warning(self):
        # No intersystem crossing: level 4 stays empty and sigma_45 cannot matter.
        params = TRUTH.copy()
        params["lifetime_24"].value = math.inf
        scan = plix.Scan.from_arrays([Z] * 3, list(simulate(params)), ENERGIES)
        params.vary("sigma_23", "sigma_45")
        with pytest.warns(plix.FitWarning, match="uncertainties cannot be computed"):
            result = plix.fit(scan, SETUP, params, model=EXACT, n_starts=1, threads=1)
        assert not result.covariance_well_conditioned
        assert all(math.isinf(result.params[n].stderr) for n in ("sigma_23", "sigma_45"))
        assert np.isnan(result.correlation).all()


class TestBounds:
    def test_every_trial_lies_inside_the_bounds(self):
        # sigma_23 is held below its optimum (5e-21) by a sin-mapped interval, which pushes
        # sigma_45 up against a one-sided upper bound; sigma_12 keeps the default (0, inf).
        params = TRUTH.copy().vary("sigma_12", "sigma_23", "sigma_45")
        params["sigma_12"].value = 2e-21
        params["sigma_23"].set(value=3e-21, min=1e-21, max=4e-21)
        params["sigma_45"].set(value=5e-21, min=-math.inf, max=7e-21)
        scan = plix.Scan.from_arrays([Z] * 3, list(simulate()), ENERGIES)
        names = ("sigma_12", "sigma_23", "sigma_45")
        trials = []
        with pytest.warns(plix.FitWarning) as caught:
            result = plix.fit(scan, SETUP, params, model=EXACT, threads=1,
                              iter_cb=lambda values, nfev, chisqr:
                              trials.append(dict(zip(names, values))))
        assert len(trials) == result.total_nfev > 50
        # Rounding may land a trial on a bound, never beyond it.
        assert all(t["sigma_12"] >= 0.0 for t in trials)
        assert all(1e-21 <= t["sigma_23"] <= 4e-21 for t in trials)
        assert all(t["sigma_45"] <= 7e-21 for t in trials)
        assert max(t["sigma_23"] for t in trials) > 3.99e-21  # the search did press on it
        # The solution sits on both active bounds, and says so.
        assert result.params["sigma_23"].value == pytest.approx(4e-21, rel=1e-6)
        assert result.params["sigma_45"].value == pytest.approx(7e-21, rel=1e-6)
        text = " ".join(str(w.message) for w in caught)
        assert "sigma_23 = " in text and "sigma_45 = " in text and "at its bound" in text

    def test_a_pair_the_data_do_not_separate_is_reported(self):
        scan = plix.Scan.from_arrays([Z], [simulate(energies=5e-3)[0]], [5e-3])
        with pytest.warns(plix.FitWarning, match="sigma_23 and sigma_45 are correlated"):
            result = plix.fit(scan, SETUP, started(("sigma_23", "sigma_45"), (1.2, 0.9)),
                              model=EXACT, n_starts=1, threads=1)
        assert abs(result.correlation[0, 1]) > 0.99


class TestCentring:
    def test_each_dataset_is_centred_on_its_own_extremum(self):
        shifts = [1.5, -2.25, 0.75]
        positions = [Z + s for s in shifts]
        scan = plix.Scan.from_arrays(positions, list(simulate()), ENERGIES)
        result = quiet_fit(scan, SETUP, started(("sigma_23", "sigma_45"), (2.0, 0.5)),
                           model=EXACT, threads=1, center="extremum")
        np.testing.assert_array_equal(result.position_shifts_mm, shifts)
        assert result.params["sigma_23"].value == pytest.approx(5e-21, rel=1e-6)
        none = quiet_fit(scan, SETUP, started(("sigma_23", "sigma_45"), (2.0, 0.5)),
                         model=EXACT, center="none", threads=1)
        np.testing.assert_array_equal(none.position_shifts_mm, [0.0, 0.0, 0.0])
        assert none.chisqr > 1e-6  # the uncentred model cannot follow shifted dips

    def test_a_peak_is_centred_on_its_maximum(self):
        # A saturable absorber (excited states absorb less): the curve peaks at focus.
        params = TRUTH.copy()
        params["sigma_23"].value = 1e-23
        params["sigma_45"].value = 1e-23
        curve = simulate(params, energies=9e-3)[0]
        assert curve.max() - 1.0 > 1.0 - curve.min()
        scan = plix.Scan.from_arrays([Z - 3.0], [curve], [9e-3])
        result = quiet_fit(scan, SETUP, started(("sigma_12",), (1.5,), params), model=EXACT,
                           n_starts=1, threads=1, center="extremum")
        assert result.position_shifts_mm[0] == -3.0
        assert result.params["sigma_12"].value == pytest.approx(1e-21, rel=1e-6)

    def test_a_shared_focal_offset_is_fitted(self):
        offset = 1.3  # off the position grid: the extremum start is 1.5 mm away
        data = [simulate(positions=Z - offset, energies=e)[0] for e in ENERGIES]
        scan = plix.Scan.from_arrays([Z] * 3, data, ENERGIES)
        result = quiet_fit(scan, SETUP, started(("sigma_23", "sigma_45"), (1.5, 0.7)),
                           model=EXACT, center="fit", threads=1)
        assert result.var_names == ["sigma_23", "sigma_45", "focus_offset_mm"]
        assert result.starts[0].start["focus_offset_mm"] == 0.0  # data minimum at z = 0 mm
        assert result.focus_offset_mm == pytest.approx(offset, rel=1e-6)
        assert result.params["sigma_23"].value == pytest.approx(5e-21, rel=1e-6)
        assert result.focus_offset_stderr is not None
        np.testing.assert_allclose(result.position_shifts_mm, [result.focus_offset_mm] * 3)

    def test_datasets_of_different_lengths(self):
        positions = [np.linspace(-30, 30, 31), np.linspace(-20, 20, 11), np.linspace(-30, 30, 17)]
        data = [simulate(positions=z, energies=e)[0] for z, e in zip(positions, ENERGIES)]
        scan = plix.Scan.from_arrays(positions, data, ENERGIES)
        result = quiet_fit(scan, SETUP, started(("sigma_23", "sigma_45"), (2.0, 0.5)),
                           model=EXACT, threads=1)
        assert result.ndata == 59
        assert [len(b) for b in result.best_fit] == [31, 11, 17]
        assert result.params["sigma_45"].value == pytest.approx(8e-21, rel=1e-6)


class TestStartsAndStatus:
    def test_the_users_start_comes_first_then_the_spread(self):
        scan = plix.Scan.from_arrays([Z] * 3, list(simulate()), ENERGIES)
        params = started(("sigma_23", "sigma_45"), (2.0, 0.5))
        result = quiet_fit(scan, SETUP, params, model=EXACT, n_starts=5, threads=1)
        assert len(result.starts) == 5
        factors = [s.start["sigma_23"] / 1e-20 for s in result.starts]
        np.testing.assert_allclose(factors, [1.0, 10 ** -0.52, 10 ** -0.26, 10 ** 0.26,
                                             10 ** 0.52], rtol=1e-12)
        for s in result.starts:
            assert s.start["sigma_45"] / 4e-21 == pytest.approx(s.start["sigma_23"] / 1e-20)
        best = min(range(5), key=lambda k: result.starts[k].chisqr)
        assert result.chisqr == result.starts[best].chisqr
        assert result.nfev == result.starts[best].nfev
        assert result.total_nfev > sum(s.nfev for s in result.starts)

    def test_a_spread_start_beyond_a_bound_is_pulled_inside(self):
        scan = plix.Scan.from_arrays([Z] * 3, list(simulate()), ENERGIES)
        params = started(("sigma_23",), (1.0,))
        params["sigma_23"].max = 6e-21
        result = quiet_fit(scan, SETUP, params, model=EXACT, n_starts=3, threads=1)
        starts = [s.start["sigma_23"] for s in result.starts]
        assert starts[1] == pytest.approx(5e-21 * 10 ** -0.52)
        assert 5e-21 < starts[2] < 6e-21

    @pytest.mark.filterwarnings("ignore:sigma_23 and sigma_45 are correlated")
    def test_an_exhausted_budget_is_not_converged_and_warns(self):
        scan = plix.Scan.from_arrays([Z] * 3, list(simulate()), ENERGIES)
        with pytest.warns(plix.FitWarning, match="did not converge"):
            result = plix.fit(scan, SETUP, started(("sigma_23", "sigma_45"), (2.0, 0.5)),
                              model=EXACT, n_starts=1, max_nfev=4, threads=1)
        assert not result.success
        assert result.status == "max_nfev" and result.info == 5
        assert "max_nfev" in result.message

    def test_a_flat_model_warns_about_units(self):
        energies = [2e-9, 5e-9]  # nJ given where mJ were meant
        data = simulate(energies=energies)
        scan = plix.Scan.from_arrays([Z] * 2, list(data), energies)
        with pytest.warns(plix.FitWarning, match="flat.*units"):
            quiet_flat = plix.fit(scan, SETUP, started(("sigma_23",), (2.0,)), model=EXACT,
                                  n_starts=1, threads=1)
        assert quiet_flat.ndata == 2 * Z.size


class TestBadInput:
    def scan(self, sigma=None):
        return plix.Scan.from_arrays([Z], [simulate(energies=5e-3)[0]], [5e-3], sigma=sigma)

    def params(self, **changes):
        p = TRUTH.copy().vary("sigma_23")
        for field, value in changes.items():
            setattr(p["sigma_23"], field, value)
        return p

    def test_unknown_parameter_name(self):
        with pytest.raises(KeyError, match="sigma_99"):
            TRUTH.copy().vary("sigma_99")

    @pytest.mark.parametrize("changes, match", [
        ({"vary": False}, "no free parameter"),
        ({"min": 6e-21, "max": 6e-21}, "min .* must be less than max"),
        ({"value": 5e-21, "min": 1e-21, "max": 4e-21}, "strictly inside its bounds"),
        ({"value": 1e-21, "min": 1e-21, "max": 4e-21}, "strictly inside its bounds"),
    ])
    def test_bad_free_parameters(self, changes, match):
        params = self.params()
        if "max" in changes:  # set together: each assignment alone may be refused
            params["sigma_23"]._min, params["sigma_23"]._max = changes["min"], changes["max"]
            changes = {k: v for k, v in changes.items() if k not in ("min", "max")}
        for field, value in changes.items():
            setattr(params["sigma_23"], field, value)
        with pytest.raises(ValueError, match="params.*" + match):
            plix.fit(self.scan(), SETUP, params, model=EXACT)

    @pytest.mark.parametrize("make, error, match", [
        (lambda: plix.Dataset(Z, np.full(Z.size, 1.0), 5e-3, sigma=np.zeros(Z.size)),
         ValueError, r"sigma\[0\] must be positive"),
        (lambda: plix.Dataset(Z, np.r_[np.nan, np.ones(Z.size - 1)], 5e-3),
         ValueError, r"transmittance\[0\] must be finite"),
        (lambda: plix.Dataset(Z, np.ones(Z.size - 1), 5e-3),
         ValueError, "transmittance has 20 values but positions_mm has 21"),
        (lambda: plix.Dataset(Z, np.ones(Z.size), -1.0), ValueError, "energy_J must be positive"),
        (lambda: plix.Scan.from_arrays([Z, Z], [np.ones(Z.size)], [1e-3, 2e-3]),
         ValueError, "transmittance has 1 datasets but positions_mm has 2"),
        (lambda: plix.Scan.from_arrays([Z], [np.ones(Z.size)], [1e-3], sigma=[np.ones(3)]),
         ValueError, "dataset 0: sigma has 3 values"),
        (lambda: plix.Scan([]), ValueError, "datasets must hold at least one"),
    ])
    def test_bad_data(self, make, error, match):
        with pytest.raises(error, match=match):
            make()

    @pytest.mark.parametrize("kwargs, error, match", [
        ({"center": "middle"}, ValueError, "center must be one of"),
        ({"n_starts": 0}, ValueError, r"n_starts must lie in \[1, 1000\]"),
        ({"threads": 0}, ValueError, "threads"),
        ({"tolerance": 1e-3}, TypeError, "unknown setting.*tolerance"),
        ({"ftol": -1.0}, ValueError, "ftol must be finite"),
        ({"epsfcn": 1e-12, "diff_step": 1e-6}, TypeError, "either epsfcn or diff_step"),
    ])
    def test_bad_options(self, kwargs, error, match):
        with pytest.raises(error, match=match):
            plix.fit(self.scan(), SETUP, self.params(), model=EXACT, **kwargs)

    def test_sigma_on_some_datasets_only(self):
        scan = plix.Scan([plix.Dataset(Z, np.ones(Z.size), 1e-3, sigma=np.ones(Z.size)),
                          plix.Dataset(Z, np.ones(Z.size), 2e-3)])
        with pytest.raises(ValueError, match="scan: sigma must be given for every dataset"):
            plix.fit(scan, SETUP, self.params(), model=EXACT)

    def test_fewer_points_than_free_values(self):
        scan = plix.Scan.from_arrays([Z[:5]], [np.ones(5)], [1e-3])
        params = TRUTH.copy().vary(*TRUTH.names[:5])
        with pytest.raises(ValueError, match="scan: 5 data points cannot determine 6 free values"):
            plix.fit(scan, SETUP, params, model=EXACT)

    def test_arrays_are_copied_and_read_only(self):
        positions = Z.copy()
        d = plix.Dataset(positions, np.ones(Z.size), 1e-3)
        positions[0] = 99.0
        assert d.positions_mm[0] == Z[0]
        with pytest.raises(ValueError):
            d.transmittance[0] = 2.0


class TestPhysicalModel:
    ENERGIES = [0.3e-6, 1e-6]

    def test_noise_free_data_give_back_the_true_values_on_a_fixed_grid(self):
        model = plix.Model.physical(grid=(16, 4, 3))
        data = plix.simulate(SETUP, TRUTH, Z, self.ENERGIES, model=model, threads=1)
        scan = plix.Scan.from_arrays([Z] * 2, list(data), self.ENERGIES)
        result = quiet_fit(scan, SETUP, started(("sigma_23", "sigma_45"), (2.0, 0.5)),
                           model=model, n_starts=1, threads=1)
        assert result.success
        assert result.params["sigma_23"].value == pytest.approx(5e-21, rel=1e-6)
        assert result.params["sigma_45"].value == pytest.approx(8e-21, rel=1e-6)
        assert result.model == model and result.grid == (16, 4, 3)
        assert result.error_estimate is None

    def test_the_automatic_grid_is_the_finest_any_dataset_needs_at_the_start(self):
        positions = np.linspace(-20.0, 20.0, 9)
        energies = [5e-8, 3e-6]
        model = plix.Model.physical(accuracy=1e-3)
        data = plix.simulate(SETUP, TRUTH, positions, energies, model=model, threads=1)
        scan = plix.Scan.from_arrays([positions] * 2, list(data), energies)
        params = started(("sigma_23",), (1.5,))
        result = quiet_fit(scan, SETUP, params, model=model, n_starts=1, max_nfev=3, threads=1,
                           center="none", coarse_factor=1)
        _, info = plix.simulate(SETUP, params, positions, energies, model=model,
                                threads=1, return_info=True)
        expected = tuple(int(g) for g in np.max(np.array(info.grid), axis=0))
        assert len(set(map(tuple, info.grid))) == 2  # the two energies need different grids
        assert result.start_grid == expected
        # Not converged: the grid is not chosen again.
        assert result.grid == expected and result.grid_refits == 0
        assert result.error_estimate == pytest.approx(max(info.error_estimate), rel=1e-12)
        assert result.model == model.replace(grid=expected)
        # Held fixed: the curve of the result is the fixed-grid model's.
        fixed = plix.simulate(SETUP, result.params, positions, energies, model=result.model,
                              threads=1)
        np.testing.assert_allclose(result.best_fit, fixed, rtol=0, atol=1e-14)
