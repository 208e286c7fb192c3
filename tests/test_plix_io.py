"""Scan files (CSV) and the set-up and parameter files (TOML)."""

import math

import numpy as np
import pytest

import plix
from plix._io import FileFormatError

HEADER = "position_mm,transmittance,energy_J,sigma"


def write(tmp_path, text, name="scan.csv"):
    path = tmp_path / name
    path.write_text(text)
    return path


def rows(energy, n=5, sigma="0.01", sep=","):
    return "".join(sep.join([f"{x}", "0.98", f"{energy}"] + ([sigma] if sigma is not None else []))
                   + "\n" for x in range(n))


class TestScanRoundTrip:
    def test_awkward_doubles_read_back_bit_for_bit(self, tmp_path):
        rng = np.random.default_rng(7)
        x1 = rng.normal(0.0, 10.0, 9)
        x1[0] = 0.1 + 0.2  # not the decimal 0.3
        y1 = 1.0 + rng.normal(0.0, 1e-3, 9)
        y1[1] = np.nextafter(1.0, 2.0)
        x2 = np.linspace(-30.0, 30.0, 6)
        y2 = rng.uniform(0.7, 1.1, 6)
        y2[2] = 1e-300
        energies = [3.3e-7 + 1e-22, 1.0 / 3.0 * 1e-6]
        scan = plix.Scan.from_arrays([x1, x2], [y1, y2], energies,
                                     sigma=[rng.uniform(1e-3, 1e-2, 9), rng.uniform(1e-3, 1e-2, 6)])
        path = tmp_path / "round.csv"
        plix.write_scan(path, scan)
        back = plix.read_scan(path)
        assert len(back) == 2
        for a, b in zip(scan, back):
            assert b.energy_J == a.energy_J
            for field in ("positions_mm", "transmittance", "sigma"):
                assert np.array_equal(getattr(a, field), getattr(b, field)), field

    def test_datasets_without_sigma_stay_without(self, tmp_path):
        x = np.arange(5.0)
        scan = plix.Scan.from_arrays([x, x], [x + 1, x + 2], [1e-6, 2e-6],
                                     sigma=None)
        path = tmp_path / "plain.csv"
        plix.write_scan(path, scan)
        assert "sigma" not in path.read_text()
        back = plix.read_scan(path)
        assert [d.sigma for d in back] == [None, None]
        assert np.array_equal(back.energies, [1e-6, 2e-6])

    @pytest.mark.parametrize("sep", [",", "\t", "   "])
    def test_separators_comments_and_blank_lines(self, tmp_path, sep):
        text = (f"# measured 2026-12-08\n\n{sep.join(HEADER.split(','))}   # units: mm, 1, J, 1\n"
                + rows(2e-7, 5, sep=sep) + "\n# second energy\n" + rows(4e-7, 6, sep=sep))
        scan = plix.read_scan(write(tmp_path, text))
        assert [len(d.positions_mm) for d in scan] == [5, 6]  # every data row kept
        assert np.array_equal(scan.energies, [2e-7, 4e-7])
        assert np.array_equal(list(scan)[1].sigma, np.full(6, 0.01))

    def test_columns_in_any_order_and_interleaved_energies(self, tmp_path):
        lines = ["energy_J,transmittance,position_mm"]
        for k in range(6):
            lines += [f"2e-6,{0.9 + k / 100},{k}", f"1e-6,{0.8 + k / 100},{-k}"]
        scan = plix.read_scan(write(tmp_path, "\n".join(lines)))
        first, second = list(scan)
        assert first.energy_J == 2e-6 and second.energy_J == 1e-6  # order of first appearance
        assert np.array_equal(second.positions_mm, -np.arange(6.0))  # file order kept
        assert first.sigma is None


class TestMalformedScan:
    # (file text, line, column, words the message must contain)
    CASES = {
        "missing column": ("position_mm,energy_J\n" + "1,2e-6\n" * 5, 1, "transmittance",
                           "missing column"),
        "unknown column": ("position_mm,transmittance,energy_J,temp\n", 1, "temp", "unknown column"),
        "repeated column": ("position_mm,transmittance,energy_J,position_mm\n", 1, "position_mm",
                            "twice"),
        "unparsable number": (HEADER + "\n" + rows(1e-6, 2) + "3,0.9x,1e-6,0.01\n" + rows(1e-6, 3),
                              4, "transmittance", "'0.9x'"),
        "nan": (HEADER + "\n" + rows(1e-6, 4) + "nan,0.9,1e-6,0.01\n", 6, "position_mm", "finite"),
        "infinite sigma": (HEADER + "\n" + rows(1e-6, 4) + "1,0.9,1e-6,inf\n", 6, "sigma", "finite"),
        "short row": (HEADER + "\n" + rows(1e-6, 5) + "1,0.9\n", 7, "energy_J", "missing value"),
        "long row": (HEADER + "\n" + "1,0.9,1e-6,0.01,7\n" + rows(1e-6, 5), 2, None, "5 fields"),
        "too few points": (HEADER + "\n" + rows(1e-6, 5) + rows(2e-6, 4), 7, "energy_J",
                           "4 point(s)"),
        "zero sigma": (HEADER + "\n" + rows(1e-6, 5, sigma="0"), 2, "sigma", "positive"),
        "negative energy": (HEADER + "\n" + rows(-1e-6, 5), 2, "energy_J", "positive"),
        "sigma on some rows": (HEADER + "\n" + rows(1e-6, 3) + rows(1e-6, 3, sigma=""), 5, "sigma",
                               "some rows"),
        "no data": ("# nothing measured\n" + HEADER + "\n", 2, None, "no data rows"),
    }

    @pytest.mark.parametrize("case", CASES)
    def test_error_names_file_line_and_column(self, tmp_path, case):
        text, line, column, words = self.CASES[case]
        path = write(tmp_path, text)
        with pytest.raises(FileFormatError) as caught:
            plix.read_scan(path)
        error = caught.value
        assert isinstance(error, ValueError)
        assert (error.path, error.line, error.column) == (str(path), line, column)
        message = str(error)
        assert message.startswith(f"{path}:{line}: ")
        assert words in message
        if column is not None:
            assert column in message

    def test_empty_file(self, tmp_path):
        path = write(tmp_path, "# only a comment\n\n")
        with pytest.raises(FileFormatError, match="no header row") as caught:
            plix.read_scan(path)
        assert str(path) in str(caught.value)

    def test_missing_file_is_an_os_error(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            plix.read_scan(tmp_path / "absent.csv")


SETUP = """
wavelength = 532e-9
w0 = 25e-6
tau = 5e-9
sample_width = 1e-3
populations = [1e24, 0, 0, 0, 0]
"""

PARAMS = """
sigma_12 = { value = 2e-21, vary = true }
sigma_23 = 5e-21
sigma_45 = { value = 1.6e-20, vary = true, min = 1e-22, max = 1e-18 }
lifetime_21 = 2e-9
lifetime_24 = 5e-9
lifetime_32 = 1e-12
lifetime_41 = inf
lifetime_54 = { value = 1e-12 }
"""


class TestSetupFile:
    def test_fields_and_no_model(self, tmp_path):
        setup, model = plix.read_setup(write(tmp_path, SETUP + "M2 = 1.2\n", "setup.toml"))
        assert setup == plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [1e24, 0, 0, 0, 0], M2=1.2)
        assert model is None

    def test_model_tables(self, tmp_path):
        text = SETUP + '[model]\npreset = "seed"\nintegrator = "exact"\nt_slices = 12\n'
        _, model = plix.read_setup(write(tmp_path, text, "seed.toml"))
        assert model == plix.Model.seed(integrator="exact", t_slices=12)
        text = SETUP + '[model]\npreset = "physical"\ngeometry = "on_axis"\ngrid = [40, 8, 1]\n'
        _, model = plix.read_setup(write(tmp_path, text, "physical.toml"))
        assert model == plix.Model.physical(geometry="on_axis", grid=(40, 8, 1))

    @pytest.mark.parametrize("extra, words", [
        ("beam_waist = 3e-5\n", "unknown key 'beam_waist'"),
        ('[model]\npreset = "seed"\ngeometry = "beam"\n', "unknown key 'geometry'"),
        ('[model]\npreset = "fancy"\n', "preset"),
        ('[model]\nintegrator = "exact"\n', "preset"),
        ('[model]\npreset = "seed"\nt_slices = 1\n', "t_slices"),
    ])
    def test_bad_keys_name_key_and_file(self, tmp_path, extra, words):
        path = write(tmp_path, SETUP + extra, "setup.toml")
        with pytest.raises(FileFormatError) as caught:
            plix.read_setup(path)
        assert str(caught.value).startswith(str(path))
        assert words in str(caught.value)

    @pytest.mark.parametrize("text, words", [
        (SETUP.replace("tau = 5e-9\n", ""), "missing key(s) 'tau'"),
        (SETUP.replace("w0 = 25e-6", 'w0 = "25 um"'), "'w0' must be a number"),
        (SETUP.replace("w0 = 25e-6", "w0 = -25e-6"), "w0"),
        (SETUP.replace("[1e24, 0, 0, 0, 0]", "[1e24, 0]") + '[model]\npreset = "physical"\n',
         "populations must hold 5 numbers"),
        (SETUP + "tau = 6e-9\n", "not valid TOML"),
    ])
    def test_missing_wrong_or_refused_values(self, tmp_path, text, words):
        path = write(tmp_path, text, "setup.toml")
        with pytest.raises(FileFormatError) as caught:
            plix.read_setup(path)
        assert str(caught.value).startswith(str(path))
        assert words in str(caught.value)


class TestParameterFile:
    def test_numbers_are_fixed_tables_carry_settings(self, tmp_path):
        params = plix.read_parameters(write(tmp_path, PARAMS, "params.toml"))
        assert params.free == ("sigma_12", "sigma_45")
        assert params["sigma_12"].value == 2e-21
        assert (params["sigma_12"].min, params["sigma_12"].max) == (0.0, math.inf)
        assert (params["sigma_45"].min, params["sigma_45"].max) == (1e-22, 1e-18)
        assert params["lifetime_41"].value == math.inf
        assert not params["lifetime_54"].vary and params["lifetime_54"].value == 1e-12

    @pytest.mark.parametrize("old, new, words", [
        ("sigma_23 = 5e-21", "sigma_32 = 5e-21", "unknown key 'sigma_32'"),
        ("sigma_23 = 5e-21", "", "missing parameter(s) sigma_23"),
        ("vary = true }", "vary = true, step = 2 }", "unknown key 'step' in the table of 'sigma_12'"),
        ("{ value = 1e-12 }", "{ vary = true }", "'lifetime_54' has no 'value'"),
        ("vary = true }", 'vary = "yes" }', "'vary' must be true or false"),
        ("sigma_23 = 5e-21", 'sigma_23 = "5e-21"', "'sigma_23' must be a number"),
        ("min = 1e-22", "min = 1e-19", "outside its bounds"),
        ("max = 1e-18", "max = 1e-23", "min"),
    ])
    def test_errors_name_key_and_file(self, tmp_path, old, new, words):
        assert old in PARAMS
        path = write(tmp_path, PARAMS.replace(old, new, 1), "params.toml")
        with pytest.raises(FileFormatError) as caught:
            plix.read_parameters(path)
        assert str(caught.value).startswith(str(path))
        assert words in str(caught.value)
