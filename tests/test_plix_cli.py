"""The plix command in a subprocess: exit status, report, JSON, figures, simulate."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import plix

SETUP = """
wavelength = 532e-9
w0 = 25e-6
tau = 5e-9
sample_width = 1e-3
populations = [1e24, 0, 0, 0, 0]

[model]
preset = "seed"
integrator = "exact"
t_slices = 6
z_slices = 4
"""
TRUE = dict(sigma_12=1e-21, sigma_23=5e-21, sigma_45=8e-21, lifetime_21=2e-9,
            lifetime_24=5e-9, lifetime_32=1e-12, lifetime_41=1e-6, lifetime_54=1e-12)
ENERGIES = [2e-3, 6e-3]


def toml_params(values, free=()):
    return "".join(f"{name} = {{ value = {value!r}, vary = true }}\n" if name in free
                   else f"{name} = {value!r}\n" for name, value in values.items())


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Noisy two-energy data with sigma, the set-up, a start 2x off, the true values."""
    root = tmp_path_factory.mktemp("cli")
    (root / "setup.toml").write_text(SETUP)
    setup, model = plix.read_setup(root / "setup.toml")
    x = np.linspace(-30.0, 30.0, 21)
    clean = plix.simulate(setup, plix.Parameters(**TRUE), x, ENERGIES, model=model)
    noise = np.random.default_rng(11).normal(0.0, 0.004, clean.shape)
    sigma = np.full(x.size, 0.004)
    plix.write_scan(root / "scan.csv", plix.Scan.from_arrays([x, x], clean + noise, ENERGIES,
                                                             sigma=[sigma, sigma]))
    start = dict(TRUE, sigma_12=2e-21, sigma_45=1.6e-20)
    (root / "start.toml").write_text(toml_params(start, free=("sigma_12",)))
    (root / "true.toml").write_text(toml_params(TRUE))
    return root


def plix_command(*args, cwd, console_script=False):
    # Run outside the source tree, so that the installed package (with its compiled part)
    # is the one imported.
    if console_script:
        command = [str(Path(sys.executable).with_name("plix"))]
    else:
        command = [sys.executable, "-m", "plix"]
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, capture_output=True,
                          text=True, timeout=120)


class TestFit:
    def test_report_json_and_figure(self, files):
        run = plix_command("fit", "scan.csv", "--setup", "setup.toml", "--params", "start.toml",
                           "--vary", "sigma_45", "--reference", "true.toml", "--json", "out.json",
                           "--plot", "fit.png", cwd=files, console_script=True)
        assert run.returncode == 0, run.stderr
        assert "[[Fit Statistics]]" in run.stdout and "reference" in run.stdout
        # The checks made before the fit, and no progress when stderr is not a terminal.
        assert "plix: before the fit:" in run.stderr and "peak fluence F0" in run.stderr
        assert "\r" not in run.stderr
        assert all(line.startswith("plix: ") for line in run.stderr.splitlines())
        data = json.loads((files / "out.json").read_text())
        assert data["success"] is True
        assert data["var_names"] == ["sigma_12", "sigma_45", "focus_offset_mm"]
        for name in ("sigma_12", "sigma_45"):
            fitted = data["parameters"][name]
            assert abs(fitted["value"] - TRUE[name]) < 4 * fitted["stderr"]
        png = (files / "fit.png").read_bytes()
        assert png.startswith(b"\x89PNG") and len(png) > 20_000

    def test_not_converged_exits_1(self, files):
        run = plix_command("fit", "scan.csv", "--setup", "setup.toml", "--params", "start.toml",
                           "--vary", "sigma_45", "--max-nfev", "3", "--starts", "1", cwd=files)
        assert run.returncode == 1, run.stderr
        assert "[[Fit Statistics]]" in run.stdout  # the report is still printed
        assert "did not converge" in run.stderr

    @pytest.mark.parametrize("args, words", [
        (["missing.csv"], "missing.csv"),
        (["scan.csv", "--vary", "sigma_99"], "unknown parameter 'sigma_99'"),
        (["bad.csv"], "bad.csv:3: column 2 (transmittance)"),
        (["scan.csv", "--params", "true.toml"], "no free parameter"),
    ])
    def test_bad_input_exits_2_with_one_line(self, files, args, words):
        (files / "bad.csv").write_text("position_mm,transmittance,energy_J\n1,1,1e-3\n2,x,1e-3\n")
        if "--params" not in args:
            args = args + ["--params", "start.toml"]
        run = plix_command("fit", *args, "--setup", "setup.toml", cwd=files)
        assert run.returncode == 2
        assert "Traceback" not in run.stderr
        assert run.stderr.count("\n") == 1 and words in run.stderr


class TestGlobalFit:
    def test_two_files_with_nuisances_t0_profile_and_systematics(self, files):
        # The same scan twice as two files, the second with its positions shifted by 0.5 mm
        # and its signal 2 % low: per-file focus offsets and baselines take both up.
        scan = plix.read_scan(files / "scan.csv")
        shifted = plix.Scan([plix.Dataset(d.positions_mm + 0.5, d.transmittance * 0.98,
                                          d.energy_J, sigma=d.sigma) for d in scan])
        plix.write_scan(files / "later.csv", shifted)
        run = plix_command("fit", "scan.csv", "later.csv", "--setup", "setup.toml", "--params",
                           "start.toml", "--focus", "per-file", "--baseline", "per-file",
                           "--T0", "36.79%", "--profile", "sigma_12", "--systematics",
                           "energy=5%,tau=10%", "--json", "out2.json", "--plot", "both.png",
                           cwd=files)
        assert run.returncode == 0, run.stderr
        assert "plix: before the fit:" in run.stderr
        report = run.stdout
        for words in ("focus_offset_mm[later.csv]", "baseline[scan.csv]", "[[Profile intervals]]",
                      "[[Systematic budget]]", "(held)", "[[Warnings]]"):
            assert words in report
        data = json.loads((files / "out2.json").read_text())
        offsets = data["nuisances"]
        shift = offsets["focus_offset_mm[later.csv]"]["value"] - \
            offsets["focus_offset_mm[scan.csv]"]["value"]
        assert abs(shift - 0.5) < 4 * offsets["focus_offset_mm[later.csv]"]["stderr"]
        ratio = offsets["baseline[later.csv]"]["value"] / offsets["baseline[scan.csv]"]["value"]
        assert abs(ratio - 0.98) < 0.01
        assert data["transmittance_held"] and data["profiles"]["sigma_12"]["lower"] < \
            data["parameters"]["sigma_12"]["value"] < data["profiles"]["sigma_12"]["upper"]
        assert isinstance(data["warnings"], list) and data["pvalue"] > 0
        assert (files / "both_profile_sigma_12.png").read_bytes().startswith(b"\x89PNG")

    @pytest.mark.parametrize("option, words", [
        (["--profile", "sigma_99"], "--profile sigma_99: not a free value"),
        (["--systematics", "w0=5%,w1=3%"], "expected SOURCE=UNCERTAINTY"),
        (["--T0", "150%"], "expected a value in (0, 1)"),
        (["--focus", "per-file", "--center", "extremum"], "--focus needs --center fit"),
    ])
    def test_bad_global_options_exit_2(self, files, option, words):
        run = plix_command("fit", "scan.csv", "--setup", "setup.toml", "--params", "start.toml",
                           *option, cwd=files)
        assert run.returncode == 2 and words in run.stderr and "Traceback" not in run.stderr


class TestSimulateAndHelp:
    def test_curve_file_holds_plix_simulate_exactly(self, files):
        run = plix_command("simulate", "--setup", "setup.toml", "--params", "true.toml",
                           "--positions", "-30:30:13", "--energy", "2e-3", "--energy", "6e-3",
                           "--out", "curve.csv", "--plot", "sim.png", cwd=files)
        assert run.returncode == 0, run.stderr
        setup, model = plix.read_setup(files / "setup.toml")
        x = np.linspace(-30.0, 30.0, 13)
        expected = plix.simulate(setup, plix.Parameters(**TRUE), x, ENERGIES, model=model)
        scan = plix.read_scan(files / "curve.csv")
        assert np.array_equal(scan.energies, ENERGIES)
        for k, dataset in enumerate(scan):
            assert np.array_equal(dataset.positions_mm, x)
            assert np.array_equal(dataset.transmittance, expected[k])
        assert (files / "sim.png").stat().st_size > 10_000

    def test_version_and_help_with_units(self, files):
        run = plix_command("--version", cwd=files)
        assert run.returncode == 0 and run.stdout.strip() == f"plix {plix.__version__}"
        for verb in ("fit", "simulate"):
            text = plix_command(verb, "--help", cwd=files).stdout
            assert "mm" in text and "m^-3" in text and " J" in text
        assert plix_command(cwd=files).returncode == 2  # no verb: usage error
