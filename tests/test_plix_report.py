"""The fit report, the one-line summary, the result as a dict and JSON, and the figures."""

import json
import math
import re

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pytest

import plix
from plix import _plotting

TRUE = dict(sigma_12=1e-21, sigma_23=5e-21, sigma_45=8e-21, lifetime_21=2e-9,
            lifetime_24=5e-9, lifetime_32=1e-12, lifetime_41=1e-6, lifetime_54=1e-12)
SETUP = plix.Setup(wavelength=532e-9, w0=25e-6, tau=5e-9, sample_width=1e-3,
                   populations=[1e24, 0, 0, 0, 0])
MODEL = plix.Model.seed(integrator="exact", t_slices=6, z_slices=4)
ENERGIES = [2e-3, 6e-3]


def made_up_result(correlation=0.5, success=True):
    """A result with chosen numbers, to check the report's arithmetic and layout."""
    params = plix.Parameters(**TRUE)
    params.vary("sigma_12", "sigma_45", "lifetime_21")
    params["sigma_45"].set(min=1e-22, max=1e-19)
    stderr = {"sigma_12": 2e-23, "sigma_45": 4e-22, "lifetime_21": 1e-10}
    for name, value in stderr.items():
        params[name]._set_stderr(value)
    corr = np.array([[1.0, correlation, 0.09], [correlation, 1.0, -0.3], [0.09, -0.3, 1.0]])
    x = np.linspace(-10, 10, 7)
    scan = plix.Scan.from_arrays([x], [np.ones(7)], [1e-3])
    start = plix.FitStart(start={"sigma_12": 2e-21, "sigma_45": 1.6e-20, "lifetime_21": 4e-9},
                          values={}, chisqr=3.0, nfev=40, status="ftol", info=1, success=True)
    return plix.FitResult(
        params=params, var_names=["sigma_12", "sigma_45", "lifetime_21"],
        values=np.array([params[n].value for n in ("sigma_12", "sigma_45", "lifetime_21")]),
        covariance=corr, correlation=corr, chisqr=2.5, redchi=0.625, ndata=7, nvarys=3,
        nfree=4, nfev=33, total_nfev=120, success=success, aborted=False,
        status="ftol" if success else "max_nfev",
        message="the sum of squares is at most ftol", info=1, residuals=[np.zeros(7)],
        best_fit=[np.ones(7)], starts=[start], best_start=0, focus_offset_mm=None,
        focus_offset_stderr=None, position_shifts_mm=np.zeros(1), model=MODEL, setup=SETUP,
        scan=scan, absolute_sigma=False, grid=None, error_estimate=None, solution_grid=None,
        covariance_well_conditioned=True, reciprocal_condition=0.1)


@pytest.fixture(scope="module")
def real_result():
    """A fit of noisy two-energy data (known sigma) with the exact seed model."""
    truth = plix.Parameters(**TRUE)
    x = np.linspace(-30.0, 30.0, 21)
    clean = plix.simulate(SETUP, truth, x, ENERGIES, model=MODEL)
    rng = np.random.default_rng(3)
    sigma = np.full(x.size, 0.004)
    noisy = clean + rng.normal(0.0, 0.004, clean.shape)
    scan = plix.Scan.from_arrays([x + 1.5, x + 1.5], noisy, ENERGIES, sigma=[sigma, sigma])
    start = truth.copy().vary("sigma_12", "sigma_45")
    start["sigma_12"].value *= 2
    start["sigma_45"].value *= 2
    return plix.fit(scan, SETUP, start, model=MODEL, n_starts=2, center="fit")


class TestReport:
    def test_sections_statistics_and_parameter_rows(self):
        text = made_up_result().report()
        for section in ("[[Fit Statistics]]", "[[Parameters]]", "[[Correlations]]"):
            assert section in text
        assert re.search(r"function evals\s+= 33 \(best start\), 120 in all", text)
        assert re.search(r"reduced chi-square\s+= 0\.625", text)
        assert re.search(r"status\s+= ftol: the sum of squares", text)
        row = next(line for line in text.splitlines() if line.strip().startswith("sigma_45"))
        # value, unit, standard error, relative error 5 %, the user's start, the user's bounds
        assert row.split()[1:] == ["8.0000e-21", "m^2", "4.0e-22", "5%", "1.6000e-20",
                                   "[1.0000e-22,", "1.0000e-19]"]
        sigma_12 = next(line for line in text.splitlines() if line.strip().startswith("sigma_12"))
        assert sigma_12.rstrip().endswith("(0, inf)") and "2%" in sigma_12
        fixed = next(line for line in text.splitlines() if line.strip().startswith("lifetime_41"))
        assert "(fixed)" in fixed

    def test_correlations_above_a_tenth_only(self):
        lines = made_up_result(correlation=-0.7).report().split("[[Correlations]]")[1]
        assert re.search(r"C\(sigma_12, sigma_45\)\s+= -0\.7000", lines)
        assert re.search(r"C\(sigma_45, lifetime_21\)\s+= -0\.3000", lines)
        assert "C(sigma_12, lifetime_21)" not in lines  # 0.09
        assert lines.index("-0.7000") < lines.index("-0.3000")  # strongest first

    def test_reference_column(self):
        reference = plix.Parameters(**TRUE)
        reference["sigma_45"].value = 7.5e-21
        text = made_up_result().report(reference=reference)
        header = next(line for line in text.splitlines() if line.strip().startswith("name"))
        assert "reference" in header
        row = next(line for line in text.splitlines() if line.strip().startswith("sigma_45"))
        assert "7.5000e-21" in row

    def test_summary_line(self):
        line = str(made_up_result(success=False))
        assert "\n" not in line and "NOT converged" in line
        assert "sigma_45=8.0000e-21+/-4.0e-22" in line

    def test_real_fit_report_names_best_start_and_focus(self, real_result):
        text = real_result.report()
        best = int(np.argmin([s.chisqr for s in real_result.starts]))
        assert f"(best: start {best + 1})" in text
        assert "focus offset" in text and "+/-" in text
        assert "from the given sigma (absolute)" in text
        assert "C(sigma_12, sigma_45)" in text or abs(real_result.correlation[0, 1]) <= 0.1


class TestResultDict:
    def test_json_round_trip_keeps_numbers(self, real_result, tmp_path):
        path = tmp_path / "fit.json"
        real_result.to_json(path)
        data = json.loads(path.read_text())
        assert data["parameters"]["sigma_45"]["value"] == real_result.params["sigma_45"].value
        assert data["parameters"]["sigma_45"]["stderr"] == real_result.params["sigma_45"].stderr
        assert data["parameters"]["sigma_23"]["vary"] is False
        assert data["chisqr"] == real_result.chisqr
        assert np.array_equal(data["covariance"], real_result.covariance)
        scheme = MODEL.fields["scheme"]
        assert data["model"] == {**{"kind": "seed", **MODEL.fields}, "scheme": {
            "levels": 5,
            "transitions": [[t.lower, t.upper, t.cross_section, 1] for t in scheme.transitions],
            "decays": [[d.source, d.target, d.lifetime] for d in scheme.decays]}}
        assert data["setup"]["populations"] == list(SETUP.populations)
        assert len(data["datasets"]) == 2 and len(data["starts"]) == 2
        first = data["datasets"][0]
        assert np.array_equal(first["residuals"], real_result.residuals[0])
        assert np.array_equal(np.array(first["transmittance"]) - first["best_fit"],
                              real_result.residuals[0])
        # Standard JSON: no bare Infinity or NaN; plix.read_json gives the floats back.
        assert data["parameters"]["sigma_12"]["max"] == "inf"
        json.loads(path.read_text(), parse_constant=self.refuse)
        back = plix.read_json(path)
        assert back["parameters"]["sigma_12"]["max"] == math.inf
        assert back["chisqr"] == real_result.chisqr and back["status"] == real_result.status

    @staticmethod
    def refuse(name):
        raise ValueError(f"non-standard JSON constant {name}")

    def test_undetermined_errors_round_trip_as_nan(self, tmp_path):
        result = made_up_result()
        result.covariance = np.full((3, 3), np.nan)
        result.params["sigma_12"]._set_stderr(math.nan)
        text = result.to_json(tmp_path / "fit.json")
        json.loads(text, parse_constant=self.refuse)
        back = plix.read_json(tmp_path / "fit.json")
        assert math.isnan(back["parameters"]["sigma_12"]["stderr"])
        assert all(math.isnan(x) for row in back["covariance"] for x in row)
        assert plix.read_json(text) == back


class TestFigures:
    def test_one_data_and_one_residual_axis_per_energy(self, real_result, tmp_path):
        path = tmp_path / "fit.png"
        figure = real_result.plot(path)
        assert path.stat().st_size > 10_000
        axes = figure.axes
        assert len(axes) == 2 * len(ENERGIES)
        data_axes, residual_axes = axes[0::2], axes[1::2]
        for k, (data, residual) in enumerate(zip(data_axes, residual_axes)):
            assert data.get_shared_x_axes().joined(data, residual)
            assert "mm" in residual.get_xlabel()
            assert len(data.containers) == 1  # the error bars of the data
            assert any(np.all(np.asarray(line.get_ydata()) == 0) for line in residual.get_lines())
            legend = " ".join(t.get_text() for t in data.get_legend().get_texts())
            assert "mJ" in legend
        labels = " ".join(t.get_text() for t in figure.legends[0].get_texts())
        assert r"\sigma_{12}" in labels and r"\pm" in labels
        assert data_axes[0].get_ylabel() and residual_axes[0].get_ylabel()

    def test_smooth_curve_passes_through_the_fitted_model(self, real_result):
        """The fine curve is drawn against measured positions with the fit's shift: at the
        ends of the scan it must equal the model values the fit itself computed."""
        figure = real_result.plot()
        for k, data in enumerate(figure.axes[0::2]):
            curve = max(data.get_lines(), key=lambda line: len(line.get_xdata()))
            x, y = curve.get_xdata(), curve.get_ydata()
            assert len(x) == _plotting.CURVE_POINTS
            measured = real_result.scan[k].positions_mm
            ends = [np.argmin(measured), np.argmax(measured)]
            assert x[0] == measured[ends[0]] and x[-1] == measured[ends[1]]
            np.testing.assert_allclose([y[0], y[-1]], real_result.best_fit[k][ends], rtol=1e-12)

    def test_simulation_figure(self, tmp_path):
        x = np.linspace(-20, 20, 9)
        figure = plix.plot_simulation(SETUP, plix.Parameters(**TRUE), x, ENERGIES, model=MODEL,
                                      path=tmp_path / "sim.pdf")
        (ax,) = figure.axes
        assert len(ax.get_lines()) == len(ENERGIES)
        np.testing.assert_array_equal(ax.get_lines()[1].get_ydata(),
                                      plix.simulate(SETUP, plix.Parameters(**TRUE), x, ENERGIES[1],
                                                    model=MODEL)[0])
        assert (tmp_path / "sim.pdf").stat().st_size > 1000

    def test_missing_matplotlib_names_the_extra(self, monkeypatch):
        import builtins

        real_import = builtins.__import__

        def no_matplotlib(name, *args, **kwargs):
            if name.startswith("matplotlib"):
                raise ImportError(name)
            return real_import(name, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", no_matplotlib)
        with pytest.raises(ImportError, match=r"pip install 'plix-zscan\[plot\]'"):
            made_up_result().plot()
