"""Scan files as lab programs export them: each shape read to the values it holds, or refused
with a message that names the fix; unit slips caught; encodings and binary files named."""

import time
import warnings

import numpy as np
import pytest

import plix
from lab_shapes import (APERTURE, ENERGY_UJ, LAB, POSITIONS_MM, closed_curve, open_curve,
                        point_energies_uJ)
from plix import FileFormatError, ScanWarning

# The files write normalised transmittance with 6 decimals (percent with 4): half a unit in
# the last place.
T_TOL = 0.5e-6 + 1e-12
E_J = float(f"{ENERGY_UJ}e-6")  # the decimal, as the reader converts it
WIDE = {"T open": "2.5 uJ", "T closed": plix.Curve("2.5uJ", aperture=APERTURE)}


def read_quietly(path, **options):
    """read_scan with every warning an error: a well-formed file warns of nothing."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return plix.read_scan(path, return_notes=True, **options)


def assert_open_curve(dataset, energy=E_J, dip=0.2):
    assert np.array_equal(dataset.positions_mm, POSITIONS_MM)
    assert np.allclose(dataset.transmittance, open_curve(POSITIONS_MM, dip), rtol=0, atol=T_TOL)
    assert dataset.energy_J == pytest.approx(energy, rel=1e-15)
    assert dataset.aperture is None and dataset.point_energies_J is None


class TestShapesRead:
    # file -> (options, words one of the notes must hold, or None for no note)
    ONE_CURVE = {
        "bom.csv": ({}, "uJ"),
        "crlf.csv": ({}, None),
        "semicolon.csv": ({}, "uJ"),
        "tab.txt": ({}, "uJ"),
        "whitespace.dat": ({}, "uJ"),
        "decimal_comma.csv": ({}, "decimal commas"),
        "trailing_comma.csv": ({}, "uJ"),
        "extra_columns.csv": ({"ignore": ["Reference (V)", "time (S)"]}, "ignored"),
        "headerless.txt": ({"columns": "z_mm,T", "energy": "2.5 uJ"}, "given"),
        "positions_cm.csv": ({}, "from cm to mm"),
        "no_energy.csv": ({"energy": "2.5uJ"}, "given"),
        "CS2_2.5uJ.csv": ({}, "from its name ('2.5uJ')"),
        "percent.csv": ({"transmittance_unit": "%"}, "percent"),
    }

    @pytest.mark.parametrize("name", ONE_CURVE)
    def test_one_open_curve(self, name):
        options, words = self.ONE_CURVE[name]
        scan, notes = read_quietly(LAB / name, **options)
        assert len(scan) == 1
        assert_open_curve(scan[0])
        if words is None:
            assert notes == ()
        else:
            assert any(words in note for note in notes), notes

    def test_unit_headers_two_energies_percent_sigma_and_cm(self):
        scan, notes = read_quietly(LAB / "unit_headers.csv")
        assert len(scan) == 2
        assert_open_curve(scan[0])
        assert_open_curve(scan[1], energy=2 * E_J, dip=0.4)
        for dataset in scan:  # 'dT (%)' in percent, as the transmittance
            assert np.allclose(dataset.sigma, 0.003, rtol=1e-15)
        assert len(notes) == 3

    def test_energy_per_point(self):
        scan, _ = read_quietly(LAB / "energy_per_point.csv", energy_per_point=True)
        (dataset,) = scan
        assert np.allclose(dataset.point_energies_J, point_energies_uJ() * 1e-6, rtol=1e-15,
                           atol=0)
        assert dataset.energy_J == pytest.approx(np.median(point_energies_uJ()) * 1e-6)

    def test_wide_open_and_closed(self):
        scan, _ = read_quietly(LAB / "wide_open_closed.csv", curves=WIDE)
        opened, closed = scan
        assert_open_curve(opened)
        assert closed.aperture == APERTURE and closed.energy_J == E_J
        assert np.allclose(closed.transmittance, closed_curve(POSITIONS_MM), rtol=0, atol=T_TOL)
        # n2 > 0: the valley before the focus
        assert np.argmin(closed.transmittance) < np.argmax(closed.transmittance)

    def test_wide_file_from_a_format_file(self, tmp_path):
        (tmp_path / "wide.toml").write_text(
            '[columns]\n[columns.curves]\n"T open" = { energy = "2.5 uJ" }\n'
            '"T closed" = { energy = "2.5 uJ", aperture = 0.3 }\n')
        fmt = plix.read_scan_format(tmp_path / "wide.toml")
        from_file = plix.read_scan(LAB / "wide_open_closed.csv", fmt)
        from_options = plix.read_scan(LAB / "wide_open_closed.csv", curves=WIDE)
        for a, b in zip(from_file, from_options):
            assert np.array_equal(a.transmittance, b.transmittance)
            assert (a.energy_J, a.aperture) == (b.energy_J, b.aperture)

    def test_today_format_reads_bit_for_bit(self, tmp_path):
        path = tmp_path / "old.csv"
        path.write_text("position_mm,transmittance,energy_J\n"
                        + "".join(f"{x!r},{0.1 + x / 7!r},3.3e-7\n" for x in range(6)))
        (dataset,) = plix.read_scan(path)
        assert np.array_equal(dataset.transmittance, [0.1 + x / 7 for x in range(6)])
        assert dataset.energy_J == 3.3e-7


class TestShapesRefused:
    """Each shape read without the option it needs: the message says where and names it."""

    CASES = {
        # file: (line, column attribute, words)
        "extra_columns.csv": (1, "Reference (V)", ["--ignore 'Reference (V)'",
                                                   "--ignore 'Time (s)'", "ignore=["]),
        "headerless.txt": (1, None, ["no header row", "--columns", "columns="]),
        "no_energy.csv": (1, None, ["no pulse energy", "--energy", "file name"]),
        "energy_per_point.csv": (2, "E (uJ)", ["1 point(s)", "--energy-per-point"]),
        "wide_open_closed.csv": (1, "T open", ["--curve", "curves="]),
        "percent.csv": (None, "T", ["percent", "--transmittance-unit %", "'T (%)'"]),
    }

    @pytest.mark.parametrize("name", CASES)
    def test_refused_with_the_fix(self, name):
        line, column, words = self.CASES[name]
        with pytest.raises(FileFormatError) as caught:
            plix.read_scan(LAB / name)
        error = caught.value
        assert (error.line, error.column) == (line, column)
        where = str(LAB / name) + ("" if line is None else f":{line}")
        assert str(error).startswith(where + ": ")
        for word in words:
            assert word in str(error)
        assert "\n" not in str(error)

    @pytest.mark.parametrize("text, options, line, words", [
        ("z (inch),T,E (uJ)\n", {}, 1, ["'inch' is not a unit of position", "mm, cm"]),
        ("z (cm),T,E\n", {"position_unit": "mm"}, 1, ["in cm", "drop the option"]),
        ("z,Position_mm,T,E\n", {}, 1, ["both give the position", "--ignore"]),
        ("z,T,E\n1,0,98,2e-6\n", {}, 2, ["4 fields", "decimal commas", "';'"]),
        ("z;T;E\n1;0,9x;2e-6\n", {}, 2, ["cannot read '0,9x'"]),
        ("z,T,E,,ref\n", {}, 1, ["column 4 has no name"]),
        ("z,T,E,ref\n", {"ignore": ["Referenc"]}, 1, ["unknown column 'ref'"]),
        ("z,T,E\n", {"ignore": ["ref"]}, 1, ["--ignore 'ref': no such column"]),
        ("z,T,T2\n", {"curves": {"T2": "1 uJ"}}, 1, ["every transmittance column is a curve"]),
        ("z,P (mW),T\n", {}, 1, ["average power", "--rep-rate"]),
        ("z,T,E\n", {"energy": "1 uJ"}, 1, ["drop the option"]),
        ("dataset,z,T,E\n" + "1,0,1,2e-6\n" * 3 + "1,3,1,3e-6\n", {}, 5,
         ["energy changes", "--energy-per-point"]),
    ])
    def test_malformed_headers_and_rows(self, tmp_path, text, options, line, words):
        path = tmp_path / "scan.csv"
        path.write_text(text)
        with pytest.raises(FileFormatError) as caught:
            plix.read_scan(path, **options)
        assert caught.value.line == line
        for word in words:
            assert word in str(caught.value)


def scan_file(tmp_path, positions, transmittance, header="z,T,E", energy="2.5e-6",
              name="scan.csv"):
    path = tmp_path / name
    rows = "".join(f"{x},{t},{energy}\n" for x, t in zip(positions, transmittance))
    path.write_text(header + "\n" + rows)
    return path


class TestUnitSlips:
    def test_energies_above_1_J_are_refused_unless_allowed(self, tmp_path):
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), energy="2.5")
        with pytest.raises(FileFormatError) as caught:
            plix.read_scan(path)
        message = str(caught.value)
        assert caught.value.line == 2 and "2.5 J" in message
        assert "uJ" in message and "--energy-unit uJ" in message and "--allow-large-energy" in message
        (dataset,) = plix.read_scan(path, allow_large_energy=True)
        assert dataset.energy_J == 2.5
        (dataset,) = plix.read_scan(path, energy_unit="uJ")
        assert dataset.energy_J == 2.5e-6

    def test_an_energy_option_in_J_by_mistake(self, tmp_path):
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), header="z,T,-",
                         energy="")
        with pytest.raises(FileFormatError, match=r"--energy 2\.5uJ"):
            plix.read_scan(path, columns="z,T,-", energy=2.5)

    @pytest.mark.parametrize("scale, unit, words", [
        (1000.0, "um", "if they are in um"),
        (1e-3, "m", "if they are in m"),
    ])
    def test_positions_in_another_unit_warn_and_the_unit_fixes_it(self, tmp_path, scale, unit,
                                                                  words):
        path = scan_file(tmp_path, POSITIONS_MM * scale, open_curve(POSITIONS_MM))
        with pytest.warns(ScanWarning, match=words):
            plix.read_scan(path)
        scan, notes = read_quietly(path, position_unit=unit)
        assert np.allclose(scan[0].positions_mm, POSITIONS_MM, rtol=1e-15, atol=1e-15)
        assert any(unit in note for note in notes)

    def test_percent_said_but_values_normalised(self, tmp_path):
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), header="z,T (%),E")
        with pytest.raises(FileFormatError, match=r"drop the \(%\)"):
            plix.read_scan(path)

    def test_raw_signal_is_kept_and_flagged(self, tmp_path):
        path = scan_file(tmp_path, POSITIONS_MM, 3.7 * open_curve(POSITIONS_MM),
                         header="z,T (V),E")
        with pytest.warns(ScanWarning, match="normalise it by the wings"):
            (dataset,) = plix.read_scan(path)
        assert np.allclose(dataset.transmittance, 3.7 * open_curve(POSITIONS_MM))
        with pytest.raises(FileFormatError, match="raw detector signal"):
            plix.read_scan(scan_file(tmp_path, POSITIONS_MM, 5e4 * open_curve(POSITIONS_MM),
                                     name="counts.csv"))

    def test_picojoules_warn(self, tmp_path):
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), energy="3e-15")
        with pytest.warns(ScanWarning, match="below"):
            plix.read_scan(path)


class TestHeadersUnitsAndEnergies:
    @pytest.mark.parametrize("header, scale", [
        ("z (mm)", 1.0), ("z [cm]", 10.0), ("z/um", 1e-3), ("Position_m", 1e3),
        ("Z-Position (\u00b5m)", 1e-3), ("stage position [\u03bcm]", 1e-3), ("pos", 1.0),
    ])
    def test_position_headers(self, tmp_path, header, scale):
        positions = np.array([-2.0, -1.0, 0.0, 1.0, 2.0, 3.0]) * 10.0 / scale
        path = scan_file(tmp_path, positions, np.ones(6) * 0.9, header=f"{header},T,E",
                         energy="1e-6")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ScanWarning)
            (dataset,) = plix.read_scan(path)
        assert np.allclose(dataset.positions_mm, positions * scale, rtol=1e-15)

    @pytest.mark.parametrize("text, energy", [
        ("E (nJ)\n500", 5e-7), ("pulse_energy_J\n2.5e-6", 2.5e-6), ("Ep [mJ]\n0.25", 2.5e-4),
        ("E/\u00b5J\n2.5", 2.5e-6),
    ])
    def test_energy_headers_convert_exactly(self, tmp_path, text, energy):
        header, value = text.split("\n")
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM),
                         header=f"z,T,{header}", energy=value)
        (dataset,) = plix.read_scan(path)
        assert dataset.energy_J == energy  # the decimal written, rounded once

    @pytest.mark.parametrize("name, energy", [
        ("CS2_2p5uJ_open.csv", 2.5e-6), ("scan 500nJ.txt", 5e-7), ("ZnSe-1,2mJ.csv", 1.2e-3),
        ("run_3uJ", 3e-6),
    ])
    def test_energy_from_the_file_name(self, tmp_path, name, energy):
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), header="z,T,-",
                         energy="", name=name)
        (dataset,) = plix.read_scan(path, columns="z,T,-")
        assert dataset.energy_J == energy

    def test_file_names_that_give_no_energy_or_two(self, tmp_path):
        for name, words in (("run12J.csv", "no pulse energy"), ("a_1uJ_2uJ.csv", "2 pulse energies")):
            path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), header="z,T",
                             energy="", name=name)
            with pytest.raises(FileFormatError, match=words):
                plix.read_scan(path)
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), header="z,T",
                         energy="", name="b_2uJ.csv")
        with pytest.raises(FileFormatError, match="no pulse energy"):
            plix.read_scan(path, energy_from_name=False)

    def test_power_and_repetition_rate(self, tmp_path):
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), header="z,T,-",
                         energy="")
        (dataset,) = plix.read_scan(path, columns="z,T,-", power="20 mW", rep_rate="1 kHz")
        assert dataset.energy_J == pytest.approx(2e-5, rel=1e-15)
        path = scan_file(tmp_path, POSITIONS_MM, open_curve(POSITIONS_MM), header="z,T,P (mW)",
                         energy="20", name="power.csv")
        (dataset,) = plix.read_scan(path, rep_rate="10 kHz")
        assert dataset.energy_J == pytest.approx(2e-6, rel=1e-15)

    def test_long_file_with_apertures_and_labels(self, tmp_path):
        path = tmp_path / "labelled.csv"
        lines = ["set,z,T,E,S"]
        for label, aperture in (("a", ""), ("b", "0.3"), ("c", "")):
            lines += [f"{label},{x},{t},1e-6,{aperture}" for x, t in
                      zip(POSITIONS_MM, open_curve(POSITIONS_MM))]
        path.write_text("\n".join(lines) + "\n")
        scan = plix.read_scan(path)
        assert [d.aperture for d in scan] == [None, 0.3, None]  # a and c stay two datasets


class TestTextFiles:
    def test_utf16_is_named_and_read_when_given(self, tmp_path):
        path = tmp_path / "excel.csv"
        path.write_bytes((LAB / "bom.csv").read_text(encoding="utf-8-sig").encode("utf-16"))
        with pytest.raises(FileFormatError, match=r"UTF-16 LE .*--encoding utf-16"):
            plix.read_scan(path)
        assert_open_curve(plix.read_scan(path, encoding="utf-16")[0])

    def test_windows_1252_is_named_and_read_when_given(self, tmp_path):
        path = tmp_path / "labview.csv"
        text = (LAB / "semicolon.csv").read_text().replace("E (uJ)", "E (\u00b5J)")
        path.write_bytes(text.encode("cp1252"))
        with pytest.raises(FileFormatError) as caught:
            plix.read_scan(path)
        assert caught.value.line == 1
        assert "byte 0xB5 at column 13" in str(caught.value) and "--encoding cp1252" in str(caught.value)
        assert_open_curve(plix.read_scan(path, encoding="cp1252")[0])

    def test_binary_files_and_devices_are_refused_quickly(self, tmp_path):
        began = time.perf_counter()
        with pytest.raises(FileFormatError, match="binary file"):
            plix.read_scan("/dev/zero")
        assert time.perf_counter() - began < 5.0  # a 64 kB look, not an endless read
        path = tmp_path / "scan.xlsx"
        path.write_bytes(b"PK\x03\x04\x14\x00\x06\x00" + bytes(range(256)))
        with pytest.raises(FileFormatError, match="offset 5"):
            plix.read_scan(path)

    def test_oversized_files_are_refused(self, tmp_path, monkeypatch):
        import plix._textfile as textfile

        monkeypatch.setattr(textfile, "MAX_TEXT_BYTES", 1024)
        path = scan_file(tmp_path, np.arange(200.0), np.ones(200), energy="1e-6")
        with pytest.raises(FileFormatError, match="larger than"):
            plix.read_scan(path)
