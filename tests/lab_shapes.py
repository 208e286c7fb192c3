"""Scan files shaped as lab programs export them, and the values they hold.

    python tests/lab_shapes.py        # writes tests/data/lab/*

Each file holds one thin-sample curve (open aperture, or closed with a small-signal
refraction term) at 13 positions, written with the digits a lab program writes; the
tests read the files and compare with the curves below.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

LAB = Path(__file__).resolve().parent / "data" / "lab"
POSITIONS_MM = np.linspace(-12.0, 12.0, 13)
Z0_MM = 4.0
ENERGY_UJ = 2.5
APERTURE = 0.3
DIGITS = 6  # decimals of a normalised transmittance as written


def open_curve(z_mm, dip=0.2):
    """An open-aperture dip: 1 - dip / (1 + x^2)."""
    x = np.asarray(z_mm) / Z0_MM
    return 1.0 - dip / (1.0 + x * x)


def closed_curve(z_mm, phase=0.5):
    """The open dip times the small-signal refraction term (valley before the focus)."""
    x = np.asarray(z_mm) / Z0_MM
    return open_curve(z_mm) * (1.0 + 4.0 * x * phase / ((x * x + 1.0) * (x * x + 9.0)))


def point_energies_uJ():
    """Energies measured pulse by pulse: 2.5 uJ within 5 %."""
    return np.round(ENERGY_UJ * (1.0 + 0.05 * np.sin(np.arange(POSITIONS_MM.size) * 1.3)), 4)


def _rows(columns, fmt, sep, decimal="."):
    lines = []
    for values in zip(*columns):
        fields = [f"{v:{f}}" for v, f in zip(values, fmt)]
        if decimal == ",":
            fields = [f.replace(".", ",") for f in fields]
        lines.append(sep.join(fields))
    return lines


def shapes() -> dict[str, str]:
    """File name -> text."""
    z, t, tc = POSITIONS_MM, open_curve(POSITIONS_MM), closed_curve(POSITIONS_MM)
    e = np.full(z.size, ENERGY_UJ)
    std = (".4f", f".{DIGITS}f", ".3f")
    three = (z, t, e)
    files = {
        "bom.csv": "\ufeff" + "\n".join(["z (mm),T,E (uJ)"] + _rows(three, std, ",")),
        "crlf.csv": "\r\n".join(["position_mm,transmittance,energy_J"]
                                + _rows((z, t, e * 1e-6), (".4f", f".{DIGITS}f", ".3e"), ",")),
        "semicolon.csv": "\n".join(["z (mm);T;E (uJ)"] + _rows(three, std, ";")),
        "tab.txt": "\n".join(["Position_mm\tT\tE_uJ"] + _rows(three, std, "\t")),
        "whitespace.dat": "\n".join(["  z (mm)        T     E (uJ)"]
                                    + ["  " + r for r in _rows(three, ("8.4f", "10.6f", "8.3f"),
                                                               "  ")]),
        "decimal_comma.csv": "\n".join(["z [mm];T;E [\u00b5J]"] + _rows(three, std, ";", ",")),
        "trailing_comma.csv": "\n".join([r + "," for r in ["z_mm,T,E_uJ"]
                                         + _rows(three, std, ",")]),
        "extra_columns.csv": "\n".join(
            ["z (mm),T,E (uJ),Reference (V),Time (s)"]
            + _rows((z, t, e, 0.5 + 0 * z, np.arange(z.size) * 0.5),
                    std + (".3f", ".1f"), ",")),
        "unit_headers.csv": "\n".join(
            ["z [cm],T (%),E (uJ),dT (%)"]
            + _rows((z / 10, t * 100, e, 0.3 + 0 * z), (".5f", f".{DIGITS - 2}f", ".3f", ".2f"),
                    ",")
            + _rows((z / 10, open_curve(z, 0.4) * 100, 2 * e, 0.3 + 0 * z),
                    (".5f", f".{DIGITS - 2}f", ".3f", ".2f"), ",")),
        "headerless.txt": "\n".join(_rows((z, t), ("10.4f", "12.6f"), " ")),
        "positions_cm.csv": "\n".join(["Position_cm,T,E_nJ"]
                                      + _rows((z / 10, t, e * 1000), (".5f", f".{DIGITS}f", ".1f"),
                                              ",")),
        "no_energy.csv": "\n".join(["z (mm),T"] + _rows((z, t), std[:2], ",")),
        "CS2_2.5uJ.csv": "\n".join(["z (mm),T"] + _rows((z, t), std[:2], ",")),
        "energy_per_point.csv": "\n".join(["z (mm),T,E (uJ)"]
                                          + _rows((z, t, point_energies_uJ()),
                                                  (".4f", f".{DIGITS}f", ".4f"), ",")),
        "wide_open_closed.csv": "\n".join(["z (mm),T open,T closed"]
                                          + _rows((z, t, tc), (".4f", f".{DIGITS}f",
                                                               f".{DIGITS}f"), ",")),
        "percent.csv": "\n".join(["z (mm),T,E (uJ)"]
                                 + _rows((z, t * 100, e), (".4f", f".{DIGITS - 2}f", ".3f"), ",")),
    }
    return {name: text + ("\r\n" if "\r\n" in text else "\n") for name, text in files.items()}


def main() -> None:
    LAB.mkdir(parents=True, exist_ok=True)
    for name, text in shapes().items():
        (LAB / name).write_bytes(text.encode("utf-8"))
    print(f"wrote {len(shapes())} files to {LAB}")


if __name__ == "__main__":
    main()
