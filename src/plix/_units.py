"""Column names and units of scan files, and values with units given as text.

A column header names a quantity and, optionally, its unit: ``position_mm``, ``z (mm)``,
``z [cm]``, ``Position_mm``, ``z/um``, ``T (%)``, ``T``, ``E (uJ)``, ``P (mW)``. Names and
units are compared ignoring case, with ``_`` and ``-`` read as spaces and ``µ``/``μ`` as
``u``. The accepted names and unit spellings are the tables below; :func:`names_help`
prints them.

Every unit of a column is a power of ten of the unit plix keeps (mm for positions, J for
energies, W for powers, Hz for repetition rates, 1 for transmittance): values are converted
by shifting the decimal exponent of the number as written (``2.5`` uJ becomes exactly the
double nearest to 2.5e-6), so nothing is lost to a rounded conversion factor.
"""

from __future__ import annotations

import math
import re
import textwrap
from decimal import Decimal, InvalidOperation

__all__ = [
    "POSITION", "TRANSMITTANCE", "ENERGY", "POINT_ENERGY", "POWER", "SIGMA", "APERTURE",
    "DATASET", "RAW", "Unit", "column_quantity", "unit_of", "scaled", "value_with_unit",
    "names_help", "normalise_name",
]

POSITION, TRANSMITTANCE, ENERGY, POINT_ENERGY = "position", "transmittance", "energy", "point_energy"
POWER, SIGMA, APERTURE, DATASET = "power", "sigma", "aperture", "dataset"
FREQUENCY = "frequency"

# The names each quantity's column may have (after normalise_name).
COLUMN_NAMES = {
    POSITION: ("position", "pos", "z", "z position", "zpos", "sample position",
               "stage position", "stage", "distance"),
    TRANSMITTANCE: ("transmittance", "transmission", "t", "trans", "tnorm",
                    "normalised transmittance", "normalized transmittance", "t/t0"),
    ENERGY: ("energy", "e", "pulse energy", "energy per pulse", "ep"),
    POINT_ENERGY: ("point energy", "measured energy", "energy per point"),
    POWER: ("power", "p", "average power", "avg power", "mean power"),
    SIGMA: ("sigma", "uncertainty", "error", "err", "std", "stderr", "dt", "t error", "t err",
            "sigma t"),
    APERTURE: ("aperture", "s"),
    DATASET: ("dataset", "set"),
}
_QUANTITY_OF_NAME = {name: q for q, names in COLUMN_NAMES.items() for name in names}

# Transmittance that is not normalised (a detector signal): it is kept as it is and must be
# normalised (by the wings) before a fit.
RAW = "raw"

# Unit spellings (after normalise_name) -> (the unit as plix writes it, decimal exponent to
# the unit plix keeps). A None exponent is raw transmittance.
_LENGTH = {"um": ("um", -3), "micron": ("um", -3), "microns": ("um", -3), "mm": ("mm", 0),
           "cm": ("cm", 1), "m": ("m", 3)}
_RATIO = {"": ("1", 0), "1": ("1", 0), "norm": ("1", 0), "norm.": ("1", 0),
          "normalised": ("1", 0), "normalized": ("1", 0), "%": ("%", -2), "percent": ("%", -2),
          "pct": ("%", -2)}
_RAW_SPELLINGS = ("raw", "a.u.", "au", "arb", "arb.", "arb. u.", "arb. units", "arbitrary units",
                  "v", "mv", "counts", "cts")
_ENERGY = {"pj": ("pJ", -12), "nj": ("nJ", -9), "uj": ("uJ", -6), "mj": ("mJ", -3),
           "j": ("J", 0)}
_POWER = {"uw": ("uW", -6), "mw": ("mW", -3), "w": ("W", 0)}
_FREQUENCY = {"hz": ("Hz", 0), "khz": ("kHz", 3), "mhz": ("MHz", 6)}
UNITS = {
    POSITION: _LENGTH,
    TRANSMITTANCE: {**_RATIO, **{s: (RAW, None) for s in _RAW_SPELLINGS}},
    SIGMA: {**_RATIO, **{s: (RAW, None) for s in _RAW_SPELLINGS}},
    ENERGY: _ENERGY,
    POINT_ENERGY: _ENERGY,
    POWER: _POWER,
    FREQUENCY: _FREQUENCY,
    APERTURE: _RATIO,
    DATASET: {"": ("", 0)},
}
# The unit a column without one is in: today's scan files (position_mm, energy_J) and SI.
DEFAULT_UNIT = {POSITION: "mm", TRANSMITTANCE: "", SIGMA: "", ENERGY: "j", POINT_ENERGY: "j",
                POWER: "w", FREQUENCY: "hz", APERTURE: "", DATASET: ""}
# What each quantity is, for messages.
DESCRIPTION = {POSITION: "position", TRANSMITTANCE: "transmittance", SIGMA: "uncertainty",
               ENERGY: "pulse energy", POINT_ENERGY: "pulse energy", POWER: "average power",
               FREQUENCY: "repetition rate", APERTURE: "aperture transmittance",
               DATASET: "dataset label"}


class Unit:
    """A column's unit: how plix writes it and the decimal exponent to plix's own unit
    (None for raw transmittance)."""

    __slots__ = ("label", "exponent")

    def __init__(self, label: str, exponent: int | None):
        self.label = label
        self.exponent = exponent

    @property
    def raw(self) -> bool:
        return self.exponent is None

    def __eq__(self, other) -> bool:
        return isinstance(other, Unit) and (self.label, self.exponent) == (other.label,
                                                                          other.exponent)

    def __repr__(self) -> str:
        return f"Unit({self.label!r})"


def normalise_name(text: str) -> str:
    """Lower case, ``µ``/``μ`` as ``u``, ``_`` and ``-`` as spaces, single spaces, no
    trailing ``:``."""
    text = text.strip().lower().replace("\u00b5", "u").replace("\u03bc", "u")
    text = re.sub(r"[_\-\s]+", " ", text).strip()
    return text.rstrip(":").strip()


_BRACKETED = re.compile(r"(.*?)\s*[(\[{]\s*(.*?)\s*[)\]}]")
_SLASHED = re.compile(r"(.*?)\s*/\s*([^/\s]+)")


def column_quantity(header: str) -> tuple[str, str | None] | None:
    """(quantity, unit spelling or None) that a column header names, or None.

    A unit in brackets or after a slash is returned as written, to be checked by
    :func:`unit_of`; a unit after the name (``position_mm``) only when it is one the
    quantity accepts.
    """
    name = normalise_name(header)
    if name in _QUANTITY_OF_NAME:
        return _QUANTITY_OF_NAME[name], None
    for pattern in (_BRACKETED, _SLASHED):
        match = pattern.fullmatch(name)
        if match and match.group(1) in _QUANTITY_OF_NAME:
            return _QUANTITY_OF_NAME[match.group(1)], match.group(2)
    if name.endswith("%") and name[:-1].strip() in _QUANTITY_OF_NAME:
        return _QUANTITY_OF_NAME[name[:-1].strip()], "%"
    head, _, tail = name.rpartition(" ")
    if head in _QUANTITY_OF_NAME and tail in UNITS[_QUANTITY_OF_NAME[head]]:
        return _QUANTITY_OF_NAME[head], tail
    return None


def accepted_units(quantity: str) -> str:
    """The unit spellings a quantity accepts, for messages."""
    labels = []
    for spelling, (label, _) in UNITS[quantity].items():
        shown = label if label not in ("", RAW) else spelling
        if shown and shown not in labels:
            labels.append(shown)
    if quantity in (TRANSMITTANCE, SIGMA):
        labels = ["1 (normalised, the default)", "%", "raw (also a.u., V, counts)"]
    return ", ".join(labels)


def unit_of(quantity: str, spelling: str | None) -> Unit:
    """The unit a spelling names for a quantity; None gives the quantity's default unit.

    Raises
    ------
    ValueError
        An unknown spelling; the message lists the accepted ones.
    """
    key = DEFAULT_UNIT[quantity] if spelling is None else normalise_name(spelling)
    if key not in UNITS[quantity]:
        raise ValueError(f"{spelling!r} is not a unit of {DESCRIPTION[quantity]} (accepted: "
                         f"{accepted_units(quantity)})")
    label, exponent = UNITS[quantity][key]
    return Unit(label, exponent)


def scaled(text: str, exponent: int) -> float:
    """The number written as ``text`` times 10**exponent, rounded once to a double.

    Raises
    ------
    ValueError
        ``text`` is not a number.
    """
    if exponent == 0:
        return float(text)
    try:
        return float(Decimal(text).scaleb(exponent))
    except InvalidOperation:
        raise ValueError(f"could not convert string to float: {text!r}") from None


_VALUE = re.compile(r"([+-]?(?:\d[\d_]*(?:[.,]\d*)?|[.,]\d+)(?:[eE][+-]?\d+)?)\s*(.*)")


def value_with_unit(value, quantity: str, name: str) -> float:
    """A positive finite value given as a number (in plix's unit) or as text with a unit
    (``"2.5 uJ"``, ``"2,5uJ"``, ``"20 mW"``, ``"1 kHz"``, ``"3e-6"``).

    Raises
    ------
    ValueError
        Not a number with an accepted unit, or not positive and finite; the message names
        ``name`` and the accepted units.
    TypeError
        Neither a number nor text.
    """
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a number or text such as '2.5 uJ', got bool")
    if isinstance(value, (int, float)):
        number = float(value)
    elif isinstance(value, str):
        match = _VALUE.fullmatch(value.strip())
        if match is None:
            raise ValueError(f"{name}: cannot read {value!r} as a number with a unit (for "
                             f"example {_example(quantity)}; units: {accepted_units(quantity)})")
        try:
            unit = unit_of(quantity, match.group(2) or None)
        except ValueError as error:
            raise ValueError(f"{name}: {error}") from None
        number = scaled(match.group(1).replace(",", "."), unit.exponent)
    else:
        raise TypeError(f"{name} must be a number or text such as {_example(quantity)}, got "
                        f"{type(value).__name__}")
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be positive and finite, got {value!r}")
    return number


def _example(quantity: str) -> str:
    return {ENERGY: "'2.5 uJ'", POWER: "'20 mW'", FREQUENCY: "'1 kHz'"}.get(quantity, "'1'")


def names_help() -> str:
    """The table of accepted column names and units, as the documentation shows it."""
    rows = [
        (POSITION, "mm"), (TRANSMITTANCE, "1"), (SIGMA, "as the transmittance"),
        (ENERGY, "J"), (POINT_ENERGY, "J"), (POWER, "W"), (APERTURE, "1"), (DATASET, "-"),
    ]
    lines = []
    for quantity, default in rows:
        units = "-" if quantity == DATASET else accepted_units(quantity)
        for label, text in (("names", ", ".join(COLUMN_NAMES[quantity])),
                            ("units", f"{units}; without a unit: {default}")):
            first = f"  {quantity if label == 'names' else '':<13} {label}: "
            lines.extend(textwrap.wrap(text, width=88, initial_indent=first,
                                       subsequent_indent=" " * len(first)))
    return "\n".join(lines)
