"""Models through one seam: level schemes as data (a two-level scheme against Frantz-Nodvik, a
three-level scheme written in TOML simulated and fitted), a model written in Python fitted by
the engine, the registry, and the installed package imported from a clone's root."""

import math
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest
from scipy.integrate import quad

import plix
from sanitized import within

PLANCK = 6.62607015e-34
SPEED_OF_LIGHT = 299792458.0
WAVELENGTH = 532e-9
TAU = 5e-9
W0 = 30e-6
WIDTH = 1e-3
N1 = 1e24
SIGMA = 1e-21
POSITIONS = np.array([-20.0, -6.0, -2.0, -0.5, 0.0, 1.0, 3.0, 12.0])


def frantz_nodvik_beam(positions, energy):
    """Energy transmitted over the whole beam by a two-level absorber without relaxation,
    divided by Beer-Lambert (the closed form integrated over the radius by quad)."""
    saturation = PLANCK * SPEED_OF_LIGHT / WAVELENGTH / SIGMA
    linear = math.exp(-SIGMA * N1 * WIDTH)
    z0 = math.pi * W0**2 / WAVELENGTH
    out = []
    for x in positions:
        w = W0 * math.sqrt(1.0 + (1e-3 * x / z0) ** 2)
        peak = 2.0 * energy / (math.pi * w**2)
        transmitted, _ = quad(lambda rho: saturation * math.log1p(
            linear * math.expm1(peak * math.exp(-2.0 * rho * rho) / saturation)) * 4.0 * rho,
            0.0, 6.0, epsabs=1e-15, epsrel=1e-13, limit=200)
        out.append(transmitted / peak / linear)
    return np.array(out)


class TestTwoLevelScheme:
    SCHEME = plix.LevelScheme(2, [(1, 2, "sigma_g")], [(2, 1, "tau_e")])

    def test_parameters_come_from_the_scheme(self):
        model = plix.Model.physical(scheme=self.SCHEME)
        assert model.parameter_names[:2] == ("sigma_g", "tau_e")
        units = {s.name: s.unit for s in model.parameter_specs}
        assert (units["sigma_g"], units["tau_e"]) == ("m^2", "s")
        # The sample's own parameters follow, each with a default that switches it off.
        assert all(s.default is not None for s in model.parameter_specs[2:])
        assert plix.Model.seed(scheme=self.SCHEME).parameter_names == ("sigma_g", "tau_e")
        assert model.levels == 2

    def test_against_frantz_nodvik_over_the_beam(self):
        # A lifetime far beyond the pulse: the closed form of a two-level absorber holds.
        setup = plix.Setup(WAVELENGTH, W0, TAU, WIDTH, populations=[N1, 0.0])
        model = plix.Model.physical(scheme=self.SCHEME, accuracy=1e-5)
        params = model.make_params(sigma_g=SIGMA, tau_e=math.inf)
        curve = plix.simulate(setup, params, POSITIONS, 1e-6, model=model, threads=2)[0]
        reference = frantz_nodvik_beam(POSITIONS, 1e-6)
        assert reference.max() > 1.3  # strongly saturated at the focus
        assert np.abs(curve - reference).max() <= 1e-5

    def test_populations_must_match_the_scheme(self):
        setup = plix.Setup(WAVELENGTH, W0, TAU, WIDTH, populations=[N1, 0, 0, 0, 0])
        model = plix.Model.physical(scheme=self.SCHEME)
        with pytest.raises(ValueError, match=r"^setup.populations must hold 2 numbers"):
            plix.simulate(setup, model.make_params(sigma_g=SIGMA, tau_e=1e-9), POSITIONS, 1e-6,
                          model=model)

    @pytest.mark.parametrize("make, error, words", [
        (lambda: plix.LevelScheme(2, [(1, 3, "s")], []), ValueError, "outside 1..2"),
        (lambda: plix.LevelScheme(2, [(1, 1, "s")], []), ValueError, "same level"),
        (lambda: plix.LevelScheme(9, [(1, 2, "s")], []), ValueError, "1 to 8 levels"),
        (lambda: plix.LevelScheme(2, [(1, 2, "x")], [(2, 1, "x")]), ValueError,
         "two kinds of process"),
        (lambda: plix.LevelScheme(2, [(1, 2, "sigma 1")], []), ValueError, "identifier"),
        (lambda: plix.LevelScheme(2, [(1, 2, "s", 3)], []), ValueError, "photons"),
        (lambda: plix.LevelScheme(2.0, [(1, 2, "s")], []), TypeError, "levels"),
    ])
    def test_refused_schemes_say_why(self, make, error, words):
        with pytest.raises(error, match=words):
            make()


class TestSchemeFromToml:
    SETUP = textwrap.dedent("""\
        wavelength = 532e-9
        w0 = 25e-6
        tau = 5e-9
        sample_width = 1e-3
        populations = [5e23, 0, 0]

        [model]
        preset = "physical"
        accuracy = 1e-3

        [scheme]
        levels = 3
        transitions = [[1, 2, "sigma_g"], {lower = 2, upper = 3, cross_section = "sigma_e"}]
        decays = [[2, 1, "tau_21"], [3, 2, "tau_32"]]
        """)
    TRUE = {"sigma_g": 2e-21, "sigma_e": 9e-21, "tau_21": 3e-9, "tau_32": 1e-12}

    def write(self, tmp_path):
        (tmp_path / "setup.toml").write_text(self.SETUP)
        params = "\n".join(f"{k} = {v!r}" for k, v in self.TRUE.items())
        (tmp_path / "params.toml").write_text(params + "\n")
        return tmp_path / "setup.toml", tmp_path / "params.toml"

    def test_the_scheme_reaches_the_model(self, tmp_path):
        setup_path, params_path = self.write(tmp_path)
        setup, model = plix.read_setup(setup_path)
        assert model.kind == "physical" and model.levels == 3
        assert model.parameter_names[:4] == ("sigma_g", "sigma_e", "tau_21", "tau_32")
        params = plix.read_parameters(params_path, model)
        assert {k: params[k].value for k in self.TRUE} == self.TRUE

    def test_simulated_and_fitted_without_compiled_changes(self, tmp_path):
        setup_path, params_path = self.write(tmp_path)
        setup, model = plix.read_setup(setup_path)
        truth = plix.read_parameters(params_path, model)
        positions = np.linspace(-15.0, 15.0, 25)
        energies = [3e-7, 1e-6]
        curves = plix.simulate(setup, truth, positions, energies, model=model, threads=2)
        assert curves.min() < 0.9  # reverse saturable: a clear dip
        start = truth.copy().vary("sigma_e")
        start["sigma_e"].value = 2.0 * self.TRUE["sigma_e"]
        scan = plix.Scan.from_arrays([positions] * 2, curves, energies)
        result = plix.fit(scan, setup, start, model=model, n_starts=1, center="none", threads=2)
        assert result.success
        assert result.params["sigma_e"].value == pytest.approx(self.TRUE["sigma_e"], rel=2e-3)

    def test_the_cli_fits_it(self, tmp_path):
        setup_path, params_path = self.write(tmp_path)
        setup, model = plix.read_setup(setup_path)
        truth = plix.read_parameters(params_path, model)
        positions = np.linspace(-15.0, 15.0, 21)
        curve = plix.simulate(setup, truth, positions, 1e-6, model=model, threads=2)
        plix.write_scan(tmp_path / "scan.csv", plix.Scan.from_arrays([positions], curve, [1e-6]))
        done = subprocess.run(
            [sys.executable, "-m", "plix", "fit", str(tmp_path / "scan.csv"), "--setup",
             str(setup_path), "--params", str(params_path), "--vary", "sigma_e", "--starts",
             "1", "--center", "none"], capture_output=True, text=True, timeout=300,
            cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        row = next(line for line in done.stdout.splitlines() if line.strip().startswith("sigma_e"))
        assert float(row.split()[1]) == pytest.approx(self.TRUE["sigma_e"], rel=1e-3)


def lorentzian_dip(z, energy, depth, width, centre=0.0):
    return 1.0 - depth * energy / (1.0 + ((z - centre) / width) ** 2)


class TestModelFromFunction:
    SPECS = [plix.ParameterSpec("depth", unit="1/J", fit_min=0.0),
             plix.ParameterSpec("width", unit="mm", lowest=0.0, lowest_included=False,
                                fit_min=0.0),
             plix.ParameterSpec("centre", unit="mm", default=0.0)]
    MODEL = plix.Model.from_function(lorentzian_dip, SPECS)
    Z = np.linspace(-20.0, 20.0, 41)
    ENERGIES = [1e-6, 3e-6]

    def data(self, noise=0.0, seed=0):
        truth = dict(depth=4e4, width=3.5, centre=0.7)
        rng = np.random.default_rng(seed)
        curves = [lorentzian_dip(self.Z, e, **truth) + rng.normal(0.0, noise, self.Z.size)
                  for e in self.ENERGIES]
        return truth, plix.Scan.from_arrays([self.Z] * 2, curves, self.ENERGIES)

    def test_simulate_calls_the_function(self):
        params = self.MODEL.make_params(depth=4e4, width=3.5)
        curves = plix.simulate(plix.Setup(532e-9, 25e-6, 5e-9, 1e-3), params, self.Z,
                               self.ENERGIES, model=self.MODEL)
        expected = [lorentzian_dip(self.Z, e, 4e4, 3.5) for e in self.ENERGIES]
        np.testing.assert_array_equal(curves, expected)

    def test_fitted_by_the_engine_with_bounds(self):
        truth, scan = self.data(noise=1e-3, seed=4)
        params = self.MODEL.make_params(depth=1e4, width=8.0, centre=0.0)
        params.vary("depth", "width", "centre")
        params["width"].set(min=1.0, max=30.0)
        seen = []
        result = plix.fit(scan, plix.Setup(532e-9, 25e-6, 5e-9, 1e-3), params, model=self.MODEL,
                          center="none", n_starts=2,
                          iter_cb=lambda values, nfev, chisqr: seen.append(values[1]))
        assert result.success
        for name, value in truth.items():
            p = result.params[name]
            assert abs(p.value - value) < 4.0 * p.stderr, name
        assert min(seen) >= 1.0 and max(seen) <= 30.0
        assert result.report().count("mm") >= 2  # the units come from the specs

    def test_an_exception_in_the_function_reaches_the_caller(self):
        def broken(z, energy, depth, width, centre):
            raise ZeroDivisionError("from the user's model")

        model = plix.Model.from_function(broken, self.SPECS)
        _, scan = self.data()
        params = model.make_params(depth=1e4, width=3.0).vary("depth")
        with pytest.raises(ZeroDivisionError, match="from the user's model"):
            plix.fit(scan, plix.Setup(532e-9, 25e-6, 5e-9, 1e-3), params, model=model)

    def test_a_wrong_shape_is_named(self):
        model = plix.Model.from_function(lambda z, energy, a: np.ones(3), ["a"])
        with pytest.raises(ValueError, match="one value per position"):
            plix.simulate(plix.Setup(532e-9, 25e-6, 5e-9, 1e-3), {"a": 1.0}, self.Z, 1e-6,
                          model=model)

    def test_iter_cb_can_stop_the_fit(self):
        _, scan = self.data()
        params = self.MODEL.make_params(depth=1e4, width=8.0).vary("depth", "width")
        result = plix.fit(scan, plix.Setup(532e-9, 25e-6, 5e-9, 1e-3), params, model=self.MODEL,
                          center="none", iter_cb=lambda values, nfev, chisqr: nfev >= 5)
        assert result.aborted and not result.success and result.status == "aborted"
        assert result.total_nfev < 20


INTERRUPTED_PYTHON_FIT = textwrap.dedent("""
    import time
    import numpy as np
    import plix

    def slow(z, energy, a):
        time.sleep(0.02)
        return 1.0 - a * energy / (1.0 + z * z)

    model = plix.Model.from_function(slow, ["a"])
    z = np.linspace(-5, 5, 21)
    scan = plix.Scan.from_arrays([z], [1.0 - 2e5 * 1e-6 / (1 + z * z)], [1e-6])
    params = model.make_params(a=1.0).vary("a")
    print("fitting", flush=True)
    try:
        plix.fit(scan, plix.Setup(532e-9, 25e-6, 5e-9, 1e-3), params, model=model,
                 center="none", n_starts=50, max_nfev=100000)
    except KeyboardInterrupt:
        print("interrupted at", time.monotonic(), flush=True)
""")


@pytest.mark.skipif(os.name != "posix", reason="SIGINT to a child process")
def test_ctrl_c_stops_a_fit_of_a_python_model(tmp_path):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_PYTHON_FIT],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             cwd=tmp_path)
    try:
        assert child.stdout.readline().strip() == "fitting"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("the fit went on after SIGINT")
    assert out.startswith("interrupted at"), err
    assert float(out.split()[-1]) - sent < within(1.0)


class TestRegistry:
    def test_every_kind_is_a_model_preset_with_its_fields(self):
        for kind in plix.model_kinds():
            make = getattr(plix.Model, kind)
            model = make()
            assert model.kind == kind
            assert list(model.fields) == [p for p in make.__signature__.parameters
                                          if p != "cls"]
            assert model.__doc__ and make.__doc__.count("\n") > 5

    def test_unknown_kind_and_field_name_the_choices(self):
        with pytest.raises(ValueError, match="physical"):
            plix.Model("no_such_model")
        with pytest.raises(TypeError, match=r"unknown field 'geometry' for a seed model"):
            plix.Model.seed(geometry="beam")


def test_import_from_the_root_of_a_clone_gets_the_installed_package():
    root = Path(__file__).resolve().parent.parent
    assert (root / "src" / "plix" / "__init__.py").exists()
    done = subprocess.run([sys.executable, "-c", "import plix, plix._core; print(plix.__file__)"],
                          capture_output=True, text=True, cwd=root, timeout=60)
    assert done.returncode == 0, done.stderr
    assert Path(done.stdout.strip()).resolve().parent != (root / "src" / "plix").resolve()
