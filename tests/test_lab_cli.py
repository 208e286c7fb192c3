"""plix fit with lab files: several files together, the reading and preprocessing options,
and every bad file as one line on stderr with exit status 2."""

import json
import subprocess
import sys
import time

import pytest

from lab_shapes import LAB

SETUP = """
wavelength = 532e-9
w0 = 25e-6
tau = 5e-9
sample_width = 1e-3
populations = [1e24, 0, 0, 0, 0]

[model]
preset = "seed"
integrator = "exact"
t_slices = 4
z_slices = 2
"""
PARAMS = """
sigma_12 = { value = 1e-21, vary = true }
sigma_23 = 5e-21
sigma_45 = 8e-21
lifetime_21 = 2e-9
lifetime_24 = 5e-9
lifetime_32 = 1e-12
lifetime_41 = 1e-6
lifetime_54 = 1e-12
"""
QUICK = ["--starts", "1", "--max-nfev", "2"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("labcli")
    (root / "setup.toml").write_text(SETUP)
    (root / "params.toml").write_text(PARAMS)
    (root / "huge.toml").write_text(SETUP.replace("w0 = 25e-6", "w0 = 1" + "0" * 400))
    (root / "zip.csv").write_bytes(b"PK\x03\x04\x14\x00\x06\x00" + bytes(range(256)) * 4)
    (root / "latin.csv").write_bytes("z;T;E (\u00b5J)\n".encode("cp1252"))
    return root


def plix_fit(*args, cwd):
    command = [sys.executable, "-m", "plix", "fit", "--setup", "setup.toml", "--params",
               "params.toml", *map(str, args)]  # scan files may follow the options
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("args, words", [
    (["/dev/zero"], "binary file"),
    (["zip.csv"], "zip.csv: a binary file"),
    (["latin.csv"], "latin.csv:1: not UTF-8: byte 0xB5"),
    ([LAB / "percent.csv"], "--transmittance-unit %"),
    ([LAB / "extra_columns.csv"], "--ignore 'Reference (V)'"),
    ([LAB / "CS2_2.5uJ.csv", "--setup", "huge.toml"], "huge.toml: 'w0'"),
    ([LAB / "CS2_2.5uJ.csv", LAB / "no_energy.csv"], "no_energy.csv:1: no pulse energy"),
    ([LAB / "no_energy.csv", "--energy", "2.5uJ", "--energy", "1uJ"], "--energy is given 2 times"),
    ([LAB / "CS2_2.5uJ.csv", "--transmittance-unit", "raw"], "plix fit --normalize"),
])
def test_bad_files_are_one_line_and_exit_2(files, args, words):
    began = time.perf_counter()
    run = plix_fit(*args, cwd=files)
    assert run.returncode == 2, run.stderr
    assert run.stderr.count("\n") == 1 and "Traceback" not in run.stderr
    assert run.stderr.startswith("plix: error: ") and words in run.stderr
    assert run.stdout == ""
    assert time.perf_counter() - began < 60.0  # /dev/zero is not read to the end


def test_several_files_with_options_and_what_was_done(files):
    # percent.csv is in percent, the other two normalised: read as raw signals and normalised
    # by their wings, the scale does not matter
    run = plix_fit(LAB / "CS2_2.5uJ.csv", LAB / "percent.csv", LAB / "positions_cm.csv",
                   "--transmittance-unit", "raw", "--normalize", "--wings", "3", "--json",
                   "out.json", *QUICK, cwd=files)
    assert run.returncode in (0, 1), run.stderr
    assert "[[Fit Statistics]]" in run.stdout
    result = json.loads((files / "out.json").read_text())
    assert [d["energy_J"] for d in result["datasets"]] == [2.5e-6, 2.5e-6, 2.5e-6]
    notes = run.stderr.splitlines()
    assert any("CS2_2.5uJ.csv: pulse energy 2.5e-06 J for the whole file, from its name" in n
               for n in notes)
    assert sum(n.startswith("plix: preprocessing: dataset") for n in notes) == 3


def test_wide_file_and_help(files):
    run = plix_fit(LAB / "wide_open_closed.csv", "--curve", "T open=2.5uJ", "--curve",
                   "T closed=2.5uJ,aperture=0.3", "--divide", *QUICK, cwd=files)
    # the divided curve is closed-aperture, which the seed model cannot compute
    assert run.returncode == 2 and "open-aperture curves only" in run.stderr
    assert "plix: preprocessing: dataset 2 (2.5e-06 J, S = 0.3) divided by dataset 1" in run.stderr
    text = subprocess.run([sys.executable, "-m", "plix", "fit", "--help"], capture_output=True,
                          text=True, timeout=60).stdout
    for words in ("--columns", "--curve", "--energy-per-point", "--normalize", "..._2.5uJ.csv",
                  "examples:", "Position_mm", "um, mm, cm, m"):
        assert words in text
