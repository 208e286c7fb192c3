"""Global fits: open and closed apertures together, nuisances of the experiment, the linear
transmittance held, distinct minima, profile-likelihood intervals, systematic budgets, the
goodness of fit, and outcomes that are not a solution."""

import math
import warnings

import numpy as np
import pytest
from scipy import optimize, stats

import plix
from analytic_zscan import APERTURE, BETA, ENERGY, MODEL, N2, SETUP, curves, rayleigh_mm, zscan

Z = np.linspace(-15.0, 15.0, 41)
NOISE = 0.003


def joint_scan(rng, offset=0.0, noise=NOISE, energies=(ENERGY,), labels=None, **changes):
    """Open and closed curves at each energy, with Gaussian noise of known sigma."""
    datasets = []
    for k, energy in enumerate(energies):
        label = None if labels is None else labels[k]
        for aperture, curve in zip((None, APERTURE), curves(Z, energy=energy, offset=offset,
                                                             **changes)):
            data = curve + (0.0 if rng is None else rng.normal(0.0, noise, Z.size))
            datasets.append(plix.Dataset(Z, data, energy, sigma=np.full(Z.size, noise),
                                         aperture=aperture, label=label))
    return plix.Scan(datasets)


def start(beta=2 * BETA, n2=N2 / 3):
    params = MODEL.make_params(beta=beta, n2=n2)
    return params.vary("beta", "n2")


def quiet(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plix.FitWarning)
        return plix.fit(*args, **kwargs)


class TestJointFit:
    def test_open_and_closed_together_give_intervals_that_cover_the_truth(self):
        rng = np.random.default_rng(2024)
        inside = total = 0
        for _ in range(40):
            result = quiet(joint_scan(rng, offset=0.4), SETUP, start(), model=MODEL, n_starts=1,
                           threads=1)
            assert result.success and result.absolute_sigma
            for name, truth in (("beta", BETA), ("n2", N2)):
                p = result.params[name]
                inside += abs(p.value - truth) <= p.stderr
                total += 1
            offset = result.nuisances["focus_offset_mm"]
            assert abs(offset.value - 0.4) < 5 * offset.stderr
        assert 0.55 <= inside / total <= 0.80

    def test_noise_free_nuisances_are_recovered(self):
        # Two files (scans) with their own focus offsets and energy calibration, a tilted
        # detector on one dataset, a beam waist and an aperture that differ from the set-up's.
        # (n2 is held: in the small-phase form S enters only as n2 (1 - S)^0.25.)
        w0, s = 27e-6, 0.35
        setup = plix.Setup(SETUP.wavelength, w0, SETUP.tau, SETUP.sample_width)
        truth = {"focus_offset_mm[a]": 0.3, "focus_offset_mm[b]": -0.6,
                 "energy_scale[b]": 1.1, "tilt_per_mm[1]": 2e-3}
        datasets = []
        for k, (label, offset, scale) in enumerate((("a", 0.3, 1.0), ("b", -0.6, 1.1))):
            for aperture in (None, 0.3):
                curve = zscan(Z - offset, ENERGY * 1.5 ** k * scale, BETA, N2,
                              1.0 if aperture is None else s, setup)
                if len(datasets) == 1:
                    curve = curve * (1.0 + 2e-3 * (Z - offset))
                datasets.append(plix.Dataset(Z, curve, ENERGY * 1.5 ** k,
                                             sigma=np.full(Z.size, NOISE), aperture=aperture,
                                             label=label))
        scan = plix.Scan(datasets)
        nuisances = plix.Nuisances(focus="per_scan", energy_scale="per_scan", tilt="per_dataset",
                                   w0=True, aperture="shared")
        result = quiet(scan, SETUP, start(n2=N2).fix("n2"), model=MODEL, nuisances=nuisances,
                       threads=1)
        assert result.success
        assert result.params["beta"].value == pytest.approx(BETA, rel=1e-6)
        for name, value in truth.items():
            assert result.nuisances[name].value == pytest.approx(value, rel=1e-5)
        for k in (0, 2, 3):
            assert abs(result.nuisances[f"tilt_per_mm[{k}]"].value) < 1e-8
        assert result.nuisances["w0"].value == pytest.approx(w0, rel=1e-6)
        assert result.fitted_setup.w0 == pytest.approx(w0, rel=1e-6)
        assert result.nuisances["aperture"].value == pytest.approx(s, rel=1e-5)
        # The first scan is the energy reference, held; the others carry errors.
        reference = result.nuisances["energy_scale[a]"]
        assert reference.value == 1.0 and not reference.vary and reference.stderr is None
        assert all(v.stderr > 0 for v in result.nuisances.values() if v.vary)
        assert result.nuisances["aperture"].datasets == (1, 3)
        np.testing.assert_allclose(result.position_shifts_mm, [0.3, 0.3, -0.6, -0.6], rtol=1e-5)
        # The curve drawn for a dataset is the one fitted.
        for k in range(4):
            np.testing.assert_allclose(result.model_curve(k, Z), result.best_fit[k], atol=1e-12)

    def test_a_baseline_per_dataset_and_its_error(self):
        rng = np.random.default_rng(5)
        scan = joint_scan(rng)
        factors = (0.97, 1.02)
        scan = plix.Scan([plix.Dataset(d.positions_mm, d.transmittance * f, d.energy_J,
                                       sigma=d.sigma * f, aperture=d.aperture)
                          for d, f in zip(scan, factors)])
        result = quiet(scan, SETUP, start(), model=MODEL, threads=1,
                       nuisances={"baseline": "per_dataset"})
        for k, f in enumerate(factors):
            b = result.nuisances[f"baseline[{k}]"]
            assert abs(b.value - f) < 4 * b.stderr and b.stderr < 0.003
        assert result.var_names[2:] == ["focus_offset_mm", "baseline[0]", "baseline[1]"]

    def test_an_energy_scale_reaches_energies_measured_pulse_by_pulse(self):
        # Two open scans, each point at its own measured energy; the second energy meter
        # reads 10 % low. The first dataset is the reference.
        datasets = []
        for level, scale in ((1.0, 1.0), (2.0, 1.1)):
            energies = level * ENERGY * (1 + 0.05 * np.sin(Z))
            curve = np.array([zscan([z], e * scale, BETA, N2, 1.0, SETUP)[0]
                              for z, e in zip(Z, energies)])
            datasets.append(plix.Dataset(Z, curve, energies, sigma=np.full(Z.size, NOISE)))
        params = start(n2=N2).fix("n2")
        result = quiet(plix.Scan(datasets), SETUP, params, model=MODEL, center="none",
                       threads=1, nuisances={"energy_scale": "per_dataset"})
        assert result.success
        assert result.params["beta"].value == pytest.approx(BETA, rel=1e-6)
        assert result.nuisances["energy_scale[1]"].value == pytest.approx(1.1, rel=1e-6)
        assert result.conditions[1].energy_scale == result.nuisances["energy_scale[1]"].value

    def test_unlabelled_datasets_are_one_scan_and_labels_split_them(self):
        scan = joint_scan(None)
        one = quiet(scan, SETUP, start(), model=MODEL, threads=1,
                    nuisances={"baseline": "per_scan"})
        assert [n for n in one.nuisances] == ["focus_offset_mm", "baseline"]
        labelled = plix.Scan([d.with_label(name) for d, name in zip(scan, ("open", "closed"))])
        two = quiet(labelled, SETUP, start(), model=MODEL, threads=1,
                    nuisances={"baseline": "per_scan"})
        assert list(two.nuisances)[1:] == ["baseline[open]", "baseline[closed]"]
        assert labelled[1].label == "closed" and labelled[1].aperture == APERTURE
        assert labelled[1].transmittance is scan[1].transmittance  # shared, read-only

    def test_the_engine_refuses_nuisances_that_contradict_the_datasets(self):
        from plix import _core

        def request(*nuisances):
            r = _core.FitRequest()
            r.model, r.setup = MODEL.native(), SETUP.native()
            r.start = [BETA, N2]
            r.free = [_core.FreeParameter(0, 0.0, math.inf)]
            r.datasets = [_core.FitDataset(positions_mm=Z, measured=curves(Z)[0], sigma=None,
                                           energy=ENERGY)]
            r.center = "none"
            r.nuisances = list(nuisances)
            return r

        def nuisance(kind, datasets, value=math.nan, vary=True):
            return _core.Nuisance(kind=kind, datasets=datasets, value=value, min=-math.inf,
                                  max=math.inf, vary=vary)

        kinds = _core.NuisanceKind
        for wrong, words in (
                ((nuisance(kinds.aperture, [0]),), "is open-aperture"),
                ((nuisance(kinds.baseline, [0]), nuisance(kinds.baseline, [0])),
                 "already has one of this kind"),
                ((nuisance(kinds.tilt, [1]),), "index out of range"),
                ((nuisance(kinds.tilt, [0], value=math.nan, vary=False),), "a held value")):
            with pytest.raises(ValueError, match=words):
                _core.curve_fit(request(*wrong))

    @pytest.mark.parametrize("nuisances, kwargs, match", [
        ({"tilt": "per_file"}, {}, "Nuisances.tilt must be None or one of"),
        ({"focus": "per_scan"}, {"center": "extremum"}, "needs center='fit'"),
        ({"w0": "yes"}, {}, "Nuisances.w0 must be True or False"),
    ])
    def test_nuisances_are_checked_once_with_messages_that_name_them(self, nuisances, kwargs,
                                                                    match):
        with pytest.raises((TypeError, ValueError), match=match):
            plix.fit(joint_scan(None), SETUP, start(), model=MODEL, nuisances=nuisances,
                     **kwargs)


class TestHeldTransmittance:
    def test_populations_are_scaled_so_that_the_ground_state_gives_t0(self):
        # A five-level absorber with sigma_12 free: alone the curves hardly fix sigma_12 N1;
        # held at the measured T0 the fit finds both cross-sections from the wrong N1.
        setup = plix.Setup(532e-9, 30e-6, 5e-9, 1e-3, [1e24, 0, 0, 0, 0])
        truth = plix.Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
        model = plix.Model.seed(integrator="exact")
        z, energies = np.linspace(-30, 30, 21), [2e-3, 5e-3, 9e-3]
        data = plix.simulate(setup, truth, z, energies, model=model, threads=1)
        scan = plix.Scan.from_arrays([z] * 3, list(data), energies)
        t0 = math.exp(-1e-21 * 1e24 * 1e-3)
        wrong = plix.Setup(532e-9, 30e-6, 5e-9, 1e-3, [3e24, 0, 0, 0, 0])
        params = truth.copy().vary("sigma_12", "sigma_45")
        params["sigma_12"].value, params["sigma_45"].value = 2e-21, 1.6e-20
        result = quiet(scan, wrong, params, model=model, linear_transmittance=t0, n_starts=1,
                       center="none", threads=1)
        assert result.success and result.transmittance_held
        assert result.params["sigma_12"].value == pytest.approx(1e-21, rel=1e-5)
        assert result.params["sigma_45"].value == pytest.approx(8e-21, rel=1e-5)
        assert result.fitted_setup.populations[0] == pytest.approx(1e24, rel=1e-5)
        implied = math.exp(-result.params["sigma_12"].value
                           * result.fitted_setup.populations[0] * 1e-3)
        assert implied == pytest.approx(t0, rel=1e-12)
        assert result.linear_transmittance == t0

    def test_an_absorption_coefficient_is_set_from_t0(self):
        def absorber(z, energy, alpha0, beta, setup):
            leff = (1 - math.exp(-alpha0 * setup.sample_width)) / alpha0
            x = np.asarray(z) / rayleigh_mm(setup)
            q = beta * 2 * energy / (math.pi ** 1.5 * setup.w0 ** 2 * setup.tau) * leff
            return 1 - q / (2 * math.sqrt(2)) / (1 + x ** 2)

        model = plix.Model.from_function(absorber, {"alpha0": "1/m", "beta": "m/W"})
        alpha0 = 500.0  # T0 = exp(-0.5)
        scan = plix.Scan.from_arrays([Z], [absorber(Z, ENERGY, alpha0, BETA, SETUP)], [ENERGY])
        params = model.make_params(alpha0=10.0, beta=2 * BETA).vary("beta")
        result = quiet(scan, SETUP, params, model=model, linear_transmittance=math.exp(-0.5),
                       threads=1)
        assert result.params["alpha0"].value == pytest.approx(alpha0, rel=1e-12)
        assert result.params["beta"].value == pytest.approx(BETA, rel=1e-6)

    def test_other_absorption_coefficients_count_towards_t0(self):
        # alpha0 + alpha_s absorb together at low intensity: held T0 gives alpha0 = A/L -
        # alpha_s, and no alpha0 >= 0 exists once alpha_s alone absorbs more.
        def absorber(z, energy, alpha0, alpha_s, beta):
            return 1 - (alpha0 + alpha_s) * 1e-6 - beta * 1e9 / (1 + np.asarray(z) ** 2)

        model = plix.Model.from_function(absorber, {"alpha0": "1/m", "alpha_s": "1/m",
                                                    "beta": "m/W"})
        data = absorber(Z, ENERGY, 300.0, 200.0, BETA)
        scan = plix.Scan.from_arrays([Z], [data], [ENERGY], sigma=[np.full(Z.size, NOISE)])
        params = model.make_params(alpha0=1.0, alpha_s=200.0, beta=2 * BETA).vary("beta")
        held = quiet(scan, SETUP, params, model=model, center="none", threads=1,
                     linear_transmittance=math.exp(-0.5))
        assert held.params["alpha0"].value == pytest.approx(300.0, rel=1e-12)
        params["alpha_s"].value = 600.0  # more than -ln(T0) / L = 500 on its own
        dark = quiet(scan, SETUP, params, model=model, center="none", threads=1,
                     linear_transmittance=math.exp(-0.5))
        assert not dark.success and dark.status == "non_finite"

    @pytest.mark.parametrize("t0, match", [
        (1.5, "in \\(0, 1\\)"),
        (0.5, "no linear absorption to hold"),
    ])
    def test_refused(self, t0, match):
        with pytest.raises(ValueError, match=match):
            plix.fit(joint_scan(None), SETUP, start(), model=MODEL, linear_transmittance=t0)


class TestMinima:
    @staticmethod
    def two_valued(z, energy, s):
        # The depth (s - 1)(s - 2) + 0.2 takes every value twice: s and 3 - s.
        return 1 - ((s - 1) * (s - 2) + 0.2) / (1 + (np.asarray(z) / 3) ** 2)

    def test_a_second_minimum_close_in_chi2_is_warned_of(self):
        model = plix.Model.from_function(self.two_valued, ["s"])
        rng = np.random.default_rng(1)
        data = self.two_valued(Z, ENERGY, 1.2) + rng.normal(0, NOISE, Z.size)
        scan = plix.Scan.from_arrays([Z], [data], [ENERGY], sigma=[np.full(Z.size, NOISE)])
        params = model.make_params(s=1.3)
        params["s"].set(vary=True, min=0.0)
        with pytest.warns(plix.FitWarning, match="another minimum lies within Delta chi2"):
            result = plix.fit(scan, SETUP, params, model=model, n_starts=5, center="none",
                              threads=1)
        assert len(result.minima) == 2
        found = sorted(m.values["s"] for m in result.minima)
        assert found == pytest.approx([1.2, 1.8], abs=0.02)
        assert sum(len(m.starts) for m in result.minima) <= len(result.starts)
        assert result.minima[0].delta_chisqr == 0.0 and result.minima[1].delta_chisqr < 4
        assert "[[Minima]]" in result.report() and "another minimum" in result.report()

    def test_warnings_point_at_the_caller_and_are_kept(self):
        model = plix.Model.from_function(self.two_valued, ["s"])
        data = self.two_valued(Z, ENERGY, 1.2)
        scan = plix.Scan.from_arrays([Z], [data], [ENERGY], sigma=[np.full(Z.size, NOISE)])
        params = model.make_params(s=1.3)
        params["s"].set(vary=True, min=0.0)
        with pytest.warns(plix.FitWarning) as caught:
            result = plix.fit(scan, SETUP, params, model=model, n_starts=5, center="none",
                              threads=1)
        assert [str(w.message) for w in caught] == list(result.warnings)
        assert all(w.filename == __file__ for w in caught)
        assert result.to_dict()["warnings"] == list(result.warnings)
        assert result.report().endswith("\n".join(f"    {w}" for w in result.warnings))

    def test_one_minimum_is_not_warned_of(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error", plix.FitWarning)
            result = plix.fit(joint_scan(np.random.default_rng(2)), SETUP, start(), model=MODEL,
                              n_starts=3, threads=1)
        assert len(result.minima) == 1 and sorted(result.minima[0].starts) == [0, 1, 2]


class TestProfiles:
    def test_a_linear_gaussian_problem_has_the_quadratic_interval(self):
        line = plix.Model.from_function(lambda z, energy, a, b: a + b * np.asarray(z), ["a", "b"])
        rng = np.random.default_rng(3)
        data = 1.0 + 0.01 * Z + rng.normal(0, NOISE, Z.size)
        scan = plix.Scan.from_arrays([Z], [data], [ENERGY], sigma=[np.full(Z.size, NOISE)])
        result = quiet(scan, SETUP, line.make_params(a=0.5, b=0.0).vary("a", "b"), model=line,
                       center="none", threads=1)
        two = result.profile("a", sigma=2.0)
        assert two.interval == pytest.approx((two.value - 2 * two.stderr,
                                              two.value + 2 * two.stderr), rel=1e-6)
        for name in ("a", "b"):
            p = result.profile(name)
            assert p.quadratic
            assert p.lower == pytest.approx(p.value - p.stderr, rel=1e-6)
            assert p.upper == pytest.approx(p.value + p.stderr, rel=1e-6)
            assert p.points[:, 1].min() == 0.0 and p.points[:, 1].max() > 1.0
        assert result.conf_interval("a")["a"] == pytest.approx(result.profiles["a"].interval)

    def test_a_skewed_chi2_gives_the_interval_of_the_exact_profile(self):
        # T = b - g(z) / p: the data fix 1/p, so p's interval is skewed; for each p the best
        # baseline b is the mean of data + g / p, which gives the exact profile here.
        def shape(z):
            return 1.0 / (1.0 + (np.asarray(z) / 3.0) ** 2)

        model = plix.Model.from_function(lambda z, energy, b, p: b - shape(z) / p, ["b", "p"])
        rng = np.random.default_rng(4)
        noise = 0.02
        data = 1.0 - shape(Z) / 10.0 + rng.normal(0, noise, Z.size)
        scan = plix.Scan.from_arrays([Z], [data], [ENERGY], sigma=[np.full(Z.size, noise)])
        params = model.make_params(b=1.0, p=8.0).vary("b", "p")
        params["p"].set(min=0.0)
        result = quiet(scan, SETUP, params, model=model, center="none", threads=1)

        def chi2(p):
            r = data + shape(Z) / p
            return float(np.sum((r - r.mean()) ** 2)) / noise ** 2

        best = optimize.minimize_scalar(chi2, bounds=(1, 100), method="bounded",
                                        options={"xatol": 1e-10}).x
        floor = chi2(best)
        lower = optimize.brentq(lambda p: chi2(p) - floor - 1, 1.0, best)
        upper = optimize.brentq(lambda p: chi2(p) - floor - 1, best, 1000.0)
        found = result.profile("p")
        assert found.lower == pytest.approx(lower, rel=2e-3)
        assert found.upper == pytest.approx(upper, rel=2e-3)
        assert not found.quadratic  # the ends differ from +-stderr by more than 10 %
        assert (upper - best) / (best - lower) > 1.2
        assert "NO" in result.report() and "(profile)" in result.report()

    def test_a_nuisance_is_profiled_and_plotted(self, tmp_path):
        pytest.importorskip("matplotlib")
        result = quiet(joint_scan(np.random.default_rng(6), offset=0.2), SETUP, start(),
                       model=MODEL, threads=1)
        found = result.profile("focus_offset_mm")
        stderr = result.nuisances["focus_offset_mm"].stderr
        assert found.minus == pytest.approx(stderr, rel=0.1)
        assert found.plus == pytest.approx(stderr, rel=0.1)
        found.plot(tmp_path / "profile.png")
        assert (tmp_path / "profile.png").read_bytes().startswith(b"\x89PNG")
        with pytest.raises(ValueError, match="not a free value"):
            result.profile("sigma_12")


class TestSystematics:
    def test_sensitivities_follow_how_the_curve_scales(self):
        # q0 and the Kerr phase go as beta E / tau and n2 E / tau: an energy calibration off
        # by +-5 % moves beta and n2 by 1/1.05 .. 1/0.95, a pulse width by 0.9 .. 1.1.
        result = quiet(joint_scan(np.random.default_rng(7)), SETUP, start(), model=MODEL,
                       threads=1)
        budget = result.systematics(energy=0.05, tau=0.10, sample_width=0.02)
        for name in ("beta", "n2"):
            value = result.params[name].value
            c = budget.contributions[name]
            assert c["energy"] == pytest.approx(value * (1 / 0.95 - 1 / 1.05) / 2, rel=1e-4)
            assert c["tau"] == pytest.approx(value * 0.10, rel=1e-4)
            # And as beta L, n2 L: a thickness off by 2 %.
            assert c["sample_width"] == pytest.approx(value * (1 / 0.98 - 1 / 1.02) / 2,
                                                      rel=1e-4)
            assert budget.systematic[name] == pytest.approx(
                math.sqrt(c["energy"] ** 2 + c["tau"] ** 2 + c["sample_width"] ** 2))
            assert budget.total[name] == pytest.approx(
                math.hypot(budget.systematic[name], result.params[name].stderr))
        assert budget.refits == 6 and "[[Systematic budget]]" in result.report()

    def test_monte_carlo_agrees_with_the_sensitivities(self):
        result = quiet(joint_scan(np.random.default_rng(8)), SETUP, start(), model=MODEL,
                       threads=1)
        linear = result.systematics(energy=0.05).systematic["beta"]
        drawn = result.systematics(energy=0.05, method="monte_carlo", draws=40, seed=1)
        assert drawn.systematic["beta"] == pytest.approx(linear, rel=0.3)
        with pytest.raises(ValueError, match="relative uncertainty in \\[0, 1\\)"):
            result.systematics(w0=5)


class TestGoodnessAndStatus:
    def test_statistics_of_the_report_and_json(self):
        result = quiet(joint_scan(np.random.default_rng(9)), SETUP, start(), model=MODEL,
                       threads=1)
        assert result.pvalue == pytest.approx(stats.chi2.sf(result.chisqr, result.nfree),
                                              rel=1e-9)
        assert sum(result.dataset_chisqr) == pytest.approx(result.chisqr, rel=1e-12)
        # AIC and BIC differ by the parameter penalty alone: k (ln n - 2).
        assert result.bic - result.aic == pytest.approx(result.nvarys
                                                        * (math.log(result.ndata) - 2))
        data = result.to_dict()
        assert data["pvalue"] == result.pvalue and data["warnings"] == []
        assert data["nuisances"]["focus_offset_mm"]["stderr"] > 0
        report = result.report()
        for section in ("p-value", "AIC, BIC", "[[Datasets]]", "[[Nuisances]]", "[[Checks]]",
                        "[[Warnings]]"):
            assert section in report

    @pytest.mark.parametrize("x", [0.0, 0.5, 3.0, 10.0, 80.0, 150.0, 400.0])
    @pytest.mark.parametrize("dof", [1, 2, 7, 50, 121])
    def test_pvalue_against_scipy(self, x, dof):
        from plix._fitstats import chi2_pvalue

        assert chi2_pvalue(x, dof) == pytest.approx(stats.chi2.sf(x, dof), rel=1e-10, abs=1e-300)

    @pytest.mark.filterwarnings("ignore:scan\\[0\\].*not finite", "ignore:the model curve is flat")
    def test_a_model_that_is_not_finite_is_not_success(self):
        nan_model = plix.Model.from_function(lambda z, energy, a: np.full(len(z), np.nan) * a,
                                             ["a"])
        scan = plix.Scan.from_arrays([Z], [np.ones(Z.size)], [ENERGY])
        with pytest.warns(plix.FitWarning, match="not a solution"):
            result = plix.fit(scan, SETUP, nan_model.make_params(a=1.0).vary("a"),
                              model=nan_model, center="none", n_starts=1, threads=1)
        assert not result.success and result.status == "non_finite"
        assert "not finite" in result.message

    def test_a_rank_deficient_fit_is_not_success(self):
        # b never enters the curve.
        idle = plix.Model.from_function(lambda z, energy, a, b: 1 - a / (1 + np.asarray(z) ** 2),
                                        ["a", "b"])
        scan = plix.Scan.from_arrays([Z], [1 - 0.1 / (1 + Z ** 2)], [ENERGY])
        with pytest.warns(plix.FitWarning, match="not unique"):
            result = plix.fit(scan, SETUP, idle.make_params(a=0.2, b=1.0).vary("a", "b"),
                              model=idle, center="none", n_starts=1, threads=1)
        assert not result.success and result.status == "rank_deficient"
        assert result.info == -4 and math.isinf(result.params["b"].stderr)


class TestFocusDefault:
    def test_a_focus_between_scan_points_is_warned_of_when_centred_on_the_extremum(self):
        step = Z[1] - Z[0]
        open_curve = curves(Z, offset=0.45 * step)[0]
        scan = plix.Scan.from_arrays([Z], [open_curve], [ENERGY], sigma=[np.full(Z.size, NOISE)])
        params = start()
        params.fix("n2")
        with pytest.warns(plix.FitWarning, match="between scan points"):
            extremum = plix.fit(scan, SETUP, params, model=MODEL, center="extremum", threads=1)
        fitted = quiet(scan, SETUP, params, model=MODEL, threads=1)
        assert extremum.pvalue < 1e-6 < fitted.pvalue  # noise-free: chi2 ~ 0 when fitted
        assert fitted.focus_offset_mm == pytest.approx(0.45 * step, rel=1e-5)
        assert "focus offset fitted" in fitted.report()

    def test_a_centred_scan_is_not_warned_of(self):
        scan = plix.Scan.from_arrays([Z], [curves(Z)[0]], [ENERGY], sigma=[np.full(Z.size, NOISE)])
        params = start()
        params.fix("n2")
        with warnings.catch_warnings():
            warnings.simplefilter("error", plix.FitWarning)
            plix.fit(scan, SETUP, params, model=MODEL, center="extremum", threads=1)
