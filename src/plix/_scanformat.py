"""How a scan file is laid out, where the file does not say it itself: :class:`ScanFormat`,
:class:`Curve` and the format file (TOML) that holds them."""

from __future__ import annotations

import codecs
from dataclasses import dataclass, fields, replace

from ._units import (ENERGY, FREQUENCY, POSITION, POWER, TRANSMITTANCE, unit_of,
                     value_with_unit)

__all__ = ["Curve", "ScanFormat", "read_scan_format"]

_DECIMALS = ("auto", ".", ",")


def _aperture(value, name: str) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be None (open) or a number in (0, 1), got "
                        f"{type(value).__name__}")
    if not 0.0 < float(value) < 1.0:
        raise ValueError(f"{name} must be the aperture's linear transmittance S in (0, 1) "
                         f"(None for an open aperture), got {value!r}")
    return float(value)


def _names(value, name: str) -> tuple[str, ...]:
    if isinstance(value, str):
        value = value.split(",")
    try:
        items = tuple(value)
    except TypeError:
        raise TypeError(f"{name} must be column names (a list, or one text with commas), "
                        f"got {type(value).__name__}") from None
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{name} must hold column names (text), got {item!r}")
    return tuple(item.strip() for item in items)


@dataclass(frozen=True)
class Curve:
    """One transmittance column of a wide file: its pulse energy, aperture and uncertainty.

    Parameters
    ----------
    energy : float, str or None
        Pulse energy in J, or text with a unit (``"2.5 uJ"``); None takes the file's energy
        (:attr:`ScanFormat.energy`, the power, or the file name).
    aperture : float or None
        None for the open aperture, else the aperture's linear transmittance S in (0, 1).
    sigma : str or None
        The column that holds this curve's standard uncertainties, if any.
    """

    energy: float | str | None = None
    aperture: float | None = None
    sigma: str | None = None

    def __post_init__(self):
        if self.energy is not None:
            object.__setattr__(self, "energy", value_with_unit(self.energy, ENERGY, "energy"))
        object.__setattr__(self, "aperture", _aperture(self.aperture, "aperture"))
        if self.sigma is not None and not isinstance(self.sigma, str):
            raise TypeError(f"sigma must be a column name, got {type(self.sigma).__name__}")

    @classmethod
    def of(cls, value, name: str) -> "Curve":
        """A Curve from a Curve, a table of its fields, or an energy alone."""
        if isinstance(value, Curve):
            return value
        try:
            if isinstance(value, dict):
                return cls(**value)
            return cls(energy=value)
        except TypeError as error:
            raise TypeError(f"{name}: {error} (a curve takes energy, aperture and sigma)") from None
        except ValueError as error:
            raise ValueError(f"{name}: {error}") from None


@dataclass(frozen=True)
class ScanFormat:
    """What a scan file does not say itself: column names, units, energies, apertures.

    Every field is optional; the defaults read today's files (``position_mm``,
    ``transmittance``, ``energy_J``, ``sigma``). A header that states a unit wins over the
    default; a unit option that disagrees with the header is an error.

    Parameters
    ----------
    columns : sequence of str or str, optional
        The column names of a file without a header row (a header row, if there is one, is
        replaced). Names as in a header, units included (``["z (cm)", "T", "E (uJ)"]`` or
        ``"z_cm,T,E_uJ"``); ``"-"`` or ``""`` skips a column.
    ignore : sequence of str
        Columns to leave out (by header name). Any other column plix does not know is an
        error.
    curves : mapping of str to Curve, optional
        A wide file: each named column is the transmittance of one dataset (one per energy
        or aperture), with its :class:`Curve` (a table of its fields, or just an energy,
        is accepted too). The file then has one position column besides.
    position_unit, transmittance_unit, energy_unit : str, optional
        The unit of a column whose header gives none: ``um``, ``mm`` (default), ``cm``,
        ``m``; ``1`` (normalised, default), ``%``, ``raw`` (a signal to be normalised);
        ``nJ``, ``uJ``, ``mJ``, ``J`` (default).
    energy : float or str, optional
        One pulse energy for the whole file (J, or text with a unit: ``"2.5 uJ"``), for a
        file without an energy column.
    power, rep_rate : float or str, optional
        Average power (W, or ``"20 mW"``) and repetition rate (Hz, or ``"1 kHz"``): the
        pulse energy is power / rep_rate. ``rep_rate`` alone converts a power column.
    energy_per_point : bool
        The energy column holds each point's measured energy (the dataset then has one
        energy per point) instead of telling datasets apart.
    energy_from_name : bool
        Without an energy column or option, take the energy from the file name
        (``..._2.5uJ.csv``; default True).
    aperture : float, optional
        Every dataset of a long file is closed-aperture with this linear transmittance S.
    allow_large_energy : bool
        Accept pulse energies above 1 J (refused by default as a likely unit slip).
    encoding : str
        The file's text encoding (default UTF-8; a byte-order mark is dropped).
    separator : str
        ``"auto"`` (default), ``","``, ``";"``, ``"\\t"`` or ``"whitespace"``.
    decimal : str
        ``"auto"`` (default: a comma when the separator is not one), ``"."`` or ``","``.

    Raises
    ------
    TypeError, ValueError
        A field of the wrong kind or value (the message names it): an unknown unit, an
        energy that is not positive, power without a repetition rate, energy and power
        together, an aperture outside (0, 1) or beside ``curves``.
    """

    columns: tuple[str, ...] | None = None
    ignore: tuple[str, ...] = ()
    curves: dict | None = None
    position_unit: str | None = None
    transmittance_unit: str | None = None
    energy_unit: str | None = None
    energy: float | str | None = None
    power: float | str | None = None
    rep_rate: float | str | None = None
    energy_per_point: bool = False
    energy_from_name: bool = True
    aperture: float | None = None
    allow_large_energy: bool = False
    encoding: str = "utf-8"
    separator: str = "auto"
    decimal: str = "auto"

    def __post_init__(self):
        put = object.__setattr__
        if self.columns is not None:
            put(self, "columns", _names(self.columns, "columns"))
            if not self.columns:
                raise ValueError("columns must name at least one column")
        put(self, "ignore", _names(self.ignore, "ignore"))
        if self.curves is not None:
            if not isinstance(self.curves, dict) or not self.curves:
                raise TypeError("curves must map column names to curves (energy, aperture, "
                                "sigma), for example {'T open': '2 uJ'}")
            put(self, "curves", {str(k): Curve.of(v, f"curves[{k!r}]")
                                 for k, v in self.curves.items()})
        for name, quantity in (("position_unit", POSITION), ("transmittance_unit", TRANSMITTANCE),
                               ("energy_unit", ENERGY)):
            value = getattr(self, name)
            if value is not None:
                if not isinstance(value, str):
                    raise TypeError(f"{name} must be text such as 'mm', got "
                                    f"{type(value).__name__}")
                try:
                    unit_of(quantity, value)
                except ValueError as error:
                    raise ValueError(f"{name}: {error}") from None
        for name, quantity in (("energy", ENERGY), ("power", POWER), ("rep_rate", FREQUENCY)):
            value = getattr(self, name)
            if value is not None:
                put(self, name, value_with_unit(value, quantity, name))
        if self.energy is not None and self.power is not None:
            raise ValueError("give the energy or the power, not both")
        if self.power is not None and self.rep_rate is None:
            raise ValueError("power needs rep_rate (the repetition rate, for example '1 kHz'): "
                             "the pulse energy is power / rep_rate")
        for name in ("energy_per_point", "energy_from_name", "allow_large_energy"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"{name} must be True or False, got {getattr(self, name)!r}")
        put(self, "aperture", _aperture(self.aperture, "aperture"))
        if self.aperture is not None and self.curves is not None:
            raise ValueError("aperture is for long files; in a wide file give each curve its "
                             "aperture (curves={'T closed': Curve(energy, aperture=S)})")
        if self.energy_per_point and (self.energy is not None or self.power is not None):
            raise ValueError("energy_per_point reads an energy column; it cannot go with one "
                             "energy (or power) for the file")
        if not isinstance(self.encoding, str):
            raise TypeError(f"encoding must be text, got {type(self.encoding).__name__}")
        try:
            codecs.lookup(self.encoding)
        except LookupError:
            raise ValueError(f"encoding: unknown encoding {self.encoding!r} (for example "
                             "utf-8, latin-1, cp1252, utf-16)") from None
        from ._table import SEPARATORS

        if self.separator != "auto" and self.separator not in SEPARATORS:
            raise ValueError(f"separator must be 'auto', ',', ';', '\\t' (tab) or 'whitespace', "
                             f"got {self.separator!r}")
        if self.decimal not in _DECIMALS:
            raise ValueError(f"decimal must be 'auto', '.' or ',', got {self.decimal!r}")

    @classmethod
    def of(cls, format=None, options=None) -> "ScanFormat":
        """``format`` (a ScanFormat, or None for the defaults) with ``options`` replacing
        its fields."""
        if format is None:
            format = cls()
        elif not isinstance(format, ScanFormat):
            raise TypeError(f"format must be a plix.ScanFormat or None, got "
                            f"{type(format).__name__} (a format file is read with "
                            "plix.read_scan_format)")
        if options:
            known = {f.name for f in fields(cls) if f.init}
            for name in options:
                if name not in known:
                    raise TypeError(f"unknown scan-file option {name!r} (options: "
                                    f"{', '.join(sorted(known))})")
            format = replace(format, **options)
        return format

    @property
    def separator_char(self):
        """The separator as the table reader takes it ("auto", a character, or None for
        whitespace)."""
        from ._table import SEPARATORS

        return "auto" if self.separator == "auto" else SEPARATORS[self.separator]

    def file_energy(self) -> float | None:
        """The energy the options give for a whole file (J), or None."""
        if self.energy is not None:
            return self.energy
        if self.power is not None:
            return self.power / self.rep_rate
        return None


_TOP_KEYS = tuple(f.name for f in fields(ScanFormat) if f.init and f.name not in
                  ("columns", "ignore", "curves"))
_COLUMN_KEYS = ("names", "ignore", "curves")


def read_scan_format(path) -> ScanFormat:
    """Read a format file (TOML) that tells how scan files are laid out.

    Every key is optional; the ``[columns]`` table names the columns, those to ignore, and
    the curves of a wide file::

        position_unit = "cm"            # units of columns whose header gives none
        transmittance_unit = "%"
        energy = "2.5 uJ"               # one energy per file (or power and rep_rate)

        [columns]
        names = ["z (mm)", "T open", "T closed", "ref"]   # a file without a header row
        ignore = ["ref"]

        [columns.curves]                # a wide file: one dataset per column
        "T open" = { energy = "2.5 uJ" }
        "T closed" = { energy = "2.5 uJ", aperture = 0.3, sigma = "dT closed" }

    The other keys are the fields of :class:`ScanFormat` (``energy_unit``, ``power``,
    ``rep_rate``, ``energy_per_point``, ``aperture``, ``allow_large_energy``,
    ``encoding``, ``separator``, ``decimal``, ``energy_from_name``).

    Returns
    -------
    ScanFormat

    Raises
    ------
    FileFormatError
        Invalid TOML, an unknown key, or a value :class:`ScanFormat` refuses.
    """
    from ._io import _load_toml
    from ._textfile import FileFormatError

    data = _load_toml(path)
    for key in data:
        if key not in _TOP_KEYS + ("columns",):
            raise FileFormatError(path, f"unknown key {key!r} in the scan format (expected "
                                  f"{', '.join(_TOP_KEYS)} and a [columns] table)", column=key)
    options = {key: value for key, value in data.items() if key != "columns"}
    table = data.get("columns", {})
    if not isinstance(table, dict):
        raise FileFormatError(path, "'columns' must be a table ([columns])", column="columns")
    for key in table:
        if key not in _COLUMN_KEYS:
            raise FileFormatError(path, f"unknown key {key!r} in [columns] (expected "
                                  f"{', '.join(_COLUMN_KEYS)})", column=key)
    if "names" in table:
        options["columns"] = table["names"]
    if "ignore" in table:
        options["ignore"] = table["ignore"]
    if "curves" in table:
        options["curves"] = table["curves"]
    try:
        return ScanFormat(**options)
    except (TypeError, ValueError, OverflowError) as error:
        raise FileFormatError(path, str(error)) from None

