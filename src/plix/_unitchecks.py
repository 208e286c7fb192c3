"""Unit slips in scan data: values that fit a unit mix-up better than the unit they carry.

A slip that no fit could survive is an error (transmittance in percent read as normalised,
energies above 1 J); a value that is only unusual is a :class:`ScanWarning` that names the
likely mix-up. The checks look at the values after conversion (positions in mm, energies
in J, transmittance normalised).
"""

from __future__ import annotations

import warnings

import numpy as np

from ._textfile import FileFormatError

__all__ = ["ScanWarning", "RawTransmittanceWarning", "check_transmittance", "check_positions",
           "check_energies"]

# Normalised transmittance is 1 in the wings of a scan and rarely outside 0.2 .. 2 anywhere;
# a column whose median leaves NORMALISED_MEDIAN_RANGE is not normalised transmittance.
NORMALISED_MEDIAN_RANGE = (0.05, 5.0)
# A median in this range (after reading the values as normalised) is percent: 5 % .. 300 %.
PERCENT_MEDIAN_RANGE = (5.0, 300.0)
# Z-scans move the sample over a few to some tens of Rayleigh lengths: from about a mm
# (tight focus) to a few hundred mm (the longest common translation stages are 300 mm).
# A span beyond these is far likelier a unit slip (um or m read as mm).
POSITION_SPAN_RANGE_MM = (0.5, 400.0)
# Z-scans use pulses from about 0.1 nJ (oscillators) to some hundred mJ (amplified ns
# lasers). Above 1 J nearly every sample is destroyed: an error unless allowed. Below
# 1 pJ no nonlinearity would show: a warning.
ENERGY_MAX_J = 1.0
ENERGY_MIN_J = 1e-12


class ScanWarning(UserWarning):
    """A scan file was read, but a value in it looks like a unit mix-up (the message names
    the likely one and the fix)."""


class RawTransmittanceWarning(ScanWarning):
    """A transmittance column holds a raw signal: it must be normalised (by the wings, see
    :func:`plix.preprocess`) before a fit."""


def _where(column: str | None) -> str:
    return "" if column is None else f"column {column!r}: "


def check_transmittance(path, values: np.ndarray, column: str, unit: str) -> None:
    """Refuse transmittance whose median does not fit its unit; warn for raw values.

    ``unit`` is "1", "%" or "raw"; ``values`` are after conversion.
    """
    if unit == "raw":
        warnings.warn(f"{path}: {_where(column)}raw transmittance (median "
                      f"{np.median(values):.4g}): normalise it by the wings before fitting "
                      "(plix fit --normalize; Python: plix.preprocess(scan, normalize=True))",
                      RawTransmittanceWarning, stacklevel=4)
        return
    median = float(np.median(values))
    low, high = NORMALISED_MEDIAN_RANGE
    if low <= median <= high:
        return
    if unit == "%":
        raise FileFormatError(
            path, f"{_where(column)}the header or option says percent, but the values have "
            f"median {median * 100:.4g}, which is {median:.4g} once divided by 100: if they "
            "are normalised already, drop the (%) from the header or --transmittance-unit; "
            "if they are a raw signal, give --transmittance-unit raw and --normalize",
            column=column)
    if PERCENT_MEDIAN_RANGE[0] <= median <= PERCENT_MEDIAN_RANGE[1]:
        found = (f"median {median:.4g}, which looks like percent: write 'T (%)' in the header "
                 "or give --transmittance-unit % (Python: transmittance_unit='%')")
    else:
        found = (f"median {median:.4g}, which is no normalised transmittance (expected near "
                 "1)")
    raise FileFormatError(
        path, f"{_where(column)}{found}; if the values are a raw detector signal, give "
        "--transmittance-unit raw and --normalize (normalise by the wings)", column=column)


def check_positions(path, positions_mm: np.ndarray, column: str, unit: str) -> None:
    """Warn when the positions span less or more than a Z-scan does (in mm)."""
    span = float(np.ptp(positions_mm))
    low, high = POSITION_SPAN_RANGE_MM
    if span > high:
        fix = ("if they are in um, write 'z (um)' in the header or give --position-unit um"
               if unit != "um" else "check the column")
        warnings.warn(f"{path}: {_where(column)}the positions span {span:.6g} mm (read in "
                      f"{unit}), more than the {high:g} mm a Z-scan stage travels: {fix}",
                      ScanWarning, stacklevel=4)
    elif 0.0 < span < low:
        fix = ("if they are in m or cm, write 'z (m)' or 'z (cm)' in the header or give "
               "--position-unit m" if unit in ("mm", "um") else "check the column")
        warnings.warn(f"{path}: {_where(column)}the positions span only {span:.6g} mm (read "
                      f"in {unit}), less than the {low:g} mm of a Z-scan: {fix}",
                      ScanWarning, stacklevel=4)


def check_energies(path, energies_J: np.ndarray, lines, column: str | None, where: str,
                   fix: str, allow_large: bool) -> None:
    """Refuse energies above ENERGY_MAX_J (unless allowed); warn below ENERGY_MIN_J.

    ``where`` says where the energies came from ("column 3 (E)", "--energy"), ``fix`` how to
    give their unit there; ``lines`` holds the line of each value (or None), ``column`` the
    header name (or None).
    """
    energies_J = np.asarray(energies_J, dtype=np.float64)
    top = int(np.argmax(energies_J))
    if energies_J[top] > ENERGY_MAX_J and not allow_large:
        line = None if lines is None else lines[top]
        raise FileFormatError(
            path, f"{where}: a pulse energy of {energies_J[top]:.6g} J, above the {ENERGY_MAX_J:g}"
            f" J no Z-scan sample survives: if the values are in uJ or mJ, {fix}; if the energy "
            "really is above 1 J, give --allow-large-energy (Python: allow_large_energy=True)",
            line, column)
    bottom = int(np.argmin(energies_J))
    if energies_J[bottom] < ENERGY_MIN_J:
        warnings.warn(f"{path}: {where}: a pulse energy of {energies_J[bottom]:.6g} J, below "
                      f"the {ENERGY_MIN_J:g} J at which any nonlinearity shows: is the unit "
                      f"right? ({fix})", ScanWarning, stacklevel=4)
