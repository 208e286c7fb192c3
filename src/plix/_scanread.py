"""Reading scan files as labs export them: :func:`read_scan`."""

from __future__ import annotations

import os
import re
import shlex
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ._scanformat import Curve, ScanFormat
from ._table import Row, Table, read_table, separator_name
from ._textfile import FileFormatError, read_text
from ._unitchecks import check_energies, check_positions, check_transmittance
from ._units import (APERTURE, COLUMN_NAMES, DATASET, DESCRIPTION, ENERGY, POINT_ENERGY,
                     POSITION, POWER, SIGMA, TRANSMITTANCE, UNITS, Unit, column_quantity,
                     normalise_name, scaled, unit_of, value_with_unit)

__all__ = ["read_scan", "energy_in_name", "MIN_POINTS_PER_DATASET"]

# The "ends" normalisation averages the first and last five points of a curve, and no fit of
# fewer points says anything: a shorter dataset is an error, not a warning.
MIN_POINTS_PER_DATASET = 5

# "..._2.5uJ.csv", "scan 500nJ closed.txt", "2p5uJ", "2,5uJ": a number and an energy unit,
# not glued to other letters or digits.
_ENERGY_IN_NAME = re.compile(r"(?<![A-Za-z0-9.,])(\d+(?:[.,p]\d+)?)\s?([pnum\u00b5\u03bc]?[Jj])"
                             r"(?![A-Za-z0-9])")
_BRACKETED_UNIT = re.compile(r".*?[(\[{]\s*(.*?)\s*[)\]}]")


def _python(name: str, value) -> str:
    return f"(Python: {name}={value!r})"


def energy_in_name(path) -> tuple[float, str] | None:
    """(energy in J, the text it was read from) when the file's name holds one energy.

    Raises
    ------
    FileFormatError
        The name holds more than one energy.
    """
    stem = Path(path).stem
    found = _ENERGY_IN_NAME.findall(stem)
    if not found:
        return None
    texts = [number + unit for number, unit in found]
    if len(found) > 1:
        raise FileFormatError(path, f"the file name holds {len(found)} pulse energies "
                              f"({', '.join(texts)}): give the energy with --energy "
                              f"{_python('energy', '2.5 uJ')}")
    number, unit = found[0]
    return value_with_unit(number.replace("p", ".") + " " + unit, ENERGY, "energy"), texts[0]


@dataclass
class _Column:
    index: int
    name: str
    quantity: str
    unit: Unit
    stated: bool  # the header (or --columns) gives the unit

    @property
    def label(self) -> str:
        return f"column {self.index + 1} ({self.name})"


@dataclass
class _CurveColumn:
    index: int
    name: str
    curve: Curve
    unit: Unit
    sigma: _Column | None = None


@dataclass
class _Energy:
    """Where a dataset's energy came from, for messages and notes."""

    value: float | None
    where: str
    fix: str
    column: str | None = None


class _Group:
    """The points of one dataset as they are read, with the lines they came from."""

    def __init__(self, first_line: int, label):
        self.first_line = first_line
        self.label = label
        self.positions: list[float] = []
        self.transmittance: list[float] = []
        self.sigma: list[float | None] = []
        self.energies: list[float] = []
        self.lines: list[int] = []
        self.per_point: bool | None = None
        self.aperture = None

    def describe(self) -> str:
        if self.label is not None:
            return f"dataset {self.label!r}"
        if self.per_point:
            return "the dataset of per-point energies"
        return f"the dataset at {self.energies[0]!r} J"


class _Reader:
    def __init__(self, path, table: Table, fmt: ScanFormat):
        self.path = path
        self.table = table
        self.fmt = fmt
        self.notes: list[str] = []
        self.names, self.names_line = self._names()
        self.width = len(self.names)
        self.columns: dict[str, _Column] = {}
        self.curves: list[_CurveColumn] = []
        self._file_energy: _Energy | None = None
        self._classify()

    # ----------------------------------------------------------------- messages

    def error(self, reason, line=None, column=None):
        return FileFormatError(self.path, reason, line, column)

    def _names_text(self) -> str:
        return "the header" if self.fmt.columns is None else "--columns"

    # ----------------------------------------------------------------- columns

    def _names(self):
        table, fmt = self.table, self.fmt
        if fmt.columns is not None:
            if table.header is not None:
                self.notes.append(f"the header row (line {table.header_line}) was replaced by "
                                  "the column names given")
            return list(fmt.columns), None
        if table.header is None:
            first = table.rows[0]
            raise self.error(
                f"the first row holds numbers ({', '.join(first.fields[:3])}"
                f"{', ...' if len(first.fields) > 3 else ''}), not column names: the file has "
                "no header row. Name its columns with --columns, for example --columns "
                f"z_mm,T,E_uJ {_python('columns', 'z_mm,T,E_uJ')}, or add a header row such "
                "as position_mm,transmittance,energy_J", first.line)
        for k, name in enumerate(table.header):
            if name == "":
                raise self.error(f"column {k + 1} has no name in the header: name it, or remove "
                                 f"the extra {separator_name(table.separator)}",
                                 table.header_line)
        return list(table.header), table.header_line

    def _classify(self):
        fmt = self.fmt
        ignore = {normalise_name(n): n for n in fmt.ignore}
        curves = {normalise_name(k): k for k in (fmt.curves or {})}
        curve_sigma = {normalise_name(c.sigma): k for k, c in (fmt.curves or {}).items()
                       if c.sigma is not None}
        seen: dict[str, int] = {}
        found_curves: dict[str, _CurveColumn] = {}
        sigma_columns: dict[str, _Column] = {}
        ignored, unknown = [], []
        for index, name in enumerate(self.names):
            key = normalise_name(name)
            if fmt.columns is not None and key in ("", "-"):
                ignored.append(f"column {index + 1}")
                continue
            if key in seen:
                raise self.error(f"column {name!r} appears twice in {self._names_text()} "
                                 f"(columns {seen[key] + 1} and {index + 1}): rename one",
                                 self.names_line, name)
            seen[key] = index
            if key in ignore:
                ignored.append(name)
            elif key in curves:
                curve = fmt.curves[curves[key]]
                found_curves[curves[key]] = _CurveColumn(index, name, curve,
                                                         self._curve_unit(name))
            elif key in curve_sigma:
                sigma_columns[curve_sigma[key]] = _Column(index, name, SIGMA, Unit("1", 0), False)
            else:
                quantity = column_quantity(name)
                if quantity is None:
                    unknown.append((index, name))
                else:
                    self._add_column(index, name, *quantity)
        if unknown:
            raise self._unknown(unknown)
        for what, wanted, found in (("--ignore", ignore, {normalise_name(n) for n in ignored}),
                                    ("--curve", curves, {normalise_name(c) for c in found_curves}),
                                    ("--curve ... sigma=", curve_sigma,
                                     {normalise_name(fmt.curves[k].sigma) for k in sigma_columns})):
            missing = [original for key, original in wanted.items() if key not in found]
            if missing:
                name = missing[0] if what != "--curve ... sigma=" else \
                    fmt.curves[missing[0]].sigma
                raise self.error(f"{what} {name!r}: no such column in {self._names_text()} "
                                 f"(the columns are {', '.join(map(repr, self.names))})",
                                 self.names_line, name)
        if ignored:
            self.notes.append(f"ignored {', '.join(map(str, ignored))}")
        for key, column in found_curves.items():
            if key in sigma_columns:
                sigma_columns[key].unit = column.unit
                column.sigma = sigma_columns[key]
        self.curves = sorted(found_curves.values(), key=lambda c: c.index)
        sigma = self.columns.get(SIGMA)
        if sigma is not None and not sigma.stated and TRANSMITTANCE in self.columns:
            sigma.unit = self.columns[TRANSMITTANCE].unit  # in the transmittance's unit
        self._check_layout()
        self._note_units()

    def _unknown(self, unknown) -> FileFormatError:
        listed = ", ".join(f"{name!r} (column {index + 1})" for index, name in unknown)
        names = [name for _, name in unknown]
        options = " ".join(f"--ignore {shlex.quote(name)}" for name in names)
        reason = (f"unknown column{'s' if len(names) > 1 else ''} {listed} in "
                  f"{self._names_text()}: leave {'them' if len(names) > 1 else 'it'} out with "
                  f"{options} {_python('ignore', names)}")
        transmittance_words = set(COLUMN_NAMES[TRANSMITTANCE])
        if any(normalise_name(n).split(" ")[0] in transmittance_words for n in names):
            reason += ("; one transmittance column per energy or aperture (a wide file) is "
                       "mapped with --curve 'NAME=2.5uJ[,aperture=S]' (Python: curves={NAME: "
                       "plix.Curve('2.5 uJ', aperture=S)})")
        reason += ("; the names plix knows (position_mm, z (mm), T, T (%), energy_J, E (uJ), "
                   "sigma, aperture, dataset ...) are listed in help(plix.read_scan)")
        return self.error(reason, self.names_line, names[0])

    def _option_unit(self, quantity: str) -> str | None:
        fmt = self.fmt
        return {POSITION: fmt.position_unit, TRANSMITTANCE: fmt.transmittance_unit,
                ENERGY: fmt.energy_unit, POINT_ENERGY: fmt.energy_unit}.get(quantity)

    def _add_column(self, index: int, name: str, quantity: str, spelling: str | None):
        if quantity in self.columns:
            other = self.columns[quantity]
            raise self.error(f"columns {other.index + 1} ({other.name}) and {index + 1} "
                             f"({name}) both give the {DESCRIPTION[quantity]}: leave one out "
                             f"with --ignore {_python('ignore', [name])}",
                             self.names_line, name)
        option = self._option_unit(quantity)
        if spelling is None:
            unit = unit_of(quantity, option)
        else:
            try:
                unit = unit_of(quantity, spelling)
            except ValueError as error:
                hint = ("; if the column is one curve of a wide file, map it with --curve "
                        f"'{name}=2.5uJ[,aperture=S]'" if quantity == TRANSMITTANCE else "")
                raise self.error(f"column {index + 1} ({name}): {error}{hint}",
                                 self.names_line, name) from None
            if option is not None and unit_of(quantity, option) != unit:
                raise self.error(f"column {index + 1} ({name}) is in {unit.label} but the "
                                 f"{quantity} unit given is {option}: drop the option or "
                                 "correct the header", self.names_line, name)
        self.columns[quantity] = _Column(index, name, quantity, unit, spelling is not None)

    def _curve_unit(self, name: str) -> Unit:
        """A wide file's transmittance column: its unit in brackets, else the option's."""
        option = self.fmt.transmittance_unit
        match = _BRACKETED_UNIT.fullmatch(normalise_name(name))
        if match and match.group(1) in UNITS[TRANSMITTANCE]:
            unit = unit_of(TRANSMITTANCE, match.group(1))
            if option is not None and unit_of(TRANSMITTANCE, option) != unit:
                raise self.error(f"column {name!r} is in {unit.label} but the transmittance "
                                 f"unit given is {option}: drop the option or correct the "
                                 "header", self.names_line, name)
            return unit
        return unit_of(TRANSMITTANCE, option)

    def _check_layout(self):
        fmt, columns = self.fmt, self.columns
        if POSITION not in columns:
            raise self.error(f"missing column 'position_mm' in {self._names_text()} (a position "
                             "column: position_mm, z (mm), z [cm], Position_mm ...)",
                             self.names_line, "position_mm")
        if fmt.curves is not None:
            for quantity in (TRANSMITTANCE, SIGMA, ENERGY, POINT_ENERGY, POWER, APERTURE,
                             DATASET):
                if quantity in columns:
                    column = columns[quantity]
                    raise self.error(
                        f"{column.label}: in a wide file (--curve) every transmittance column "
                        "is a curve, and each curve gives its energy, aperture and sigma "
                        "column in its mapping: map this column with --curve, or leave it out "
                        f"with --ignore {_python('ignore', [column.name])}",
                        self.names_line, column.name)
            return
        if TRANSMITTANCE not in columns:
            raise self.error(f"missing column 'transmittance' in {self._names_text()} (a "
                             "transmittance column: transmittance, T, T (%) ...)",
                             self.names_line, "transmittance")
        energy_columns = [columns[q] for q in (ENERGY, POINT_ENERGY, POWER) if q in columns]
        if POWER in columns and len(energy_columns) > 1:
            raise self.error(f"{columns[POWER].label} and {energy_columns[0].label} both give "
                             "the energy: leave one out with --ignore", self.names_line,
                             columns[POWER].name)
        if POWER in columns and fmt.rep_rate is None:
            raise self.error(f"{columns[POWER].label} is an average power: give the repetition "
                             f"rate, --rep-rate 1kHz {_python('rep_rate', '1 kHz')}, to turn it "
                             "into pulse energies (E = P / f)", self.names_line,
                             columns[POWER].name)
        if energy_columns and fmt.file_energy() is not None:
            raise self.error(f"{energy_columns[0].label} gives the energy and so does an option "
                             "(energy or power): drop the option, or leave the column out with "
                             "--ignore", self.names_line, energy_columns[0].name)
        if fmt.rep_rate is not None and fmt.power is None and POWER not in columns:
            raise self.error("a repetition rate is given but no power (neither a power column "
                             "nor --power): drop --rep-rate, or give the average power",
                             self.names_line)
        if fmt.energy_per_point and not energy_columns:
            raise self.error("energy per point asked for, but there is no energy column "
                             f"in {self._names_text()}", self.names_line)

    def _note_units(self):
        for column in self.columns.values():
            if column.quantity == SIGMA and TRANSMITTANCE in self.columns:
                continue
            self._note_unit(column.quantity, column.name, column.unit)
        for curve in self.curves:
            self._note_unit(TRANSMITTANCE, curve.name, curve.unit)
        if self.table.decimal_comma:
            self.notes.append("decimal commas read as decimal points")

    def _note_unit(self, quantity: str, name: str, unit: Unit):
        if unit.raw:
            self.notes.append(f"column {name!r} is a raw signal (not normalised)")
        elif quantity == TRANSMITTANCE and unit.exponent:
            self.notes.append(f"transmittance in percent (column {name!r}) divided by 100")
        elif quantity == POSITION and unit.exponent:
            self.notes.append(f"positions converted from {unit.label} to mm (column {name!r})")
        elif quantity in (ENERGY, POINT_ENERGY) and unit.exponent:
            self.notes.append(f"energies converted from {unit.label} to J (column {name!r})")
        elif quantity == POWER:
            self.notes.append(f"pulse energies from the average power (column {name!r}, "
                              f"{unit.label}) at {self.fmt.rep_rate:g} Hz")

    # ----------------------------------------------------------------- values

    def _fields(self, row: Row) -> list[str]:
        fields = row.fields
        while len(fields) > self.width and fields[-1] == "":
            fields = fields[:-1]  # separators at the end of the line
        if len(fields) > self.width:
            if (self.table.separator == "," and not any("." in f for f in fields)
                    and any(f.isdigit() for f in fields)):
                hint = ("; if the file writes decimal commas (0,98), its separator must be "
                        "';', a tab or spaces: export it so, or give --separator")
            else:
                hint = ("; name the extra column and leave it out with --ignore, or give "
                        "--columns")
            raise self.error(f"{len(fields)} fields where {self._names_text()} has "
                             f"{self.width} ({', '.join(self.names)}){hint}", row.line, None)
        return fields

    def _number(self, row: Row, fields, column, *, optional=False):
        """The value of ``column`` on ``row`` in plix's unit; None for an empty optional
        field."""
        k = column.index
        text = fields[k] if k < len(fields) else ""
        if text == "":
            if optional:
                return None
            raise self.error(f"missing value in {column.label}: fill it in, or comment the row "
                             "out with '#'", row.line, column.name)
        exponent = column.unit.exponent or 0
        try:
            value = scaled(self.table.number_text(text), exponent)
        except ValueError:
            hint = ""
            if "," in text and self.table.separator != ",":
                hint = " (with --decimal ',' decimal commas are read)"
            raise self.error(f"{column.label}: cannot read {text!r} as a number{hint}; correct "
                             "it, or comment the row out with '#'", row.line,
                             column.name) from None
        if not np.isfinite(value):
            raise self.error(f"{column.label}: {text!r} is not a finite number; correct it, or "
                             "comment the row out with '#'", row.line, column.name)
        return value

    def _sigma(self, row: Row, fields, column):
        if column is None:
            return None
        value = self._number(row, fields, column, optional=True)
        if value is not None and value <= 0.0:
            raise self.error(f"{column.label}: an uncertainty must be positive (got {value!r})",
                             row.line, column.name)
        return value

    def file_energy(self) -> _Energy:
        """The one energy of a file without an energy column (from an option or the file
        name)."""
        if self._file_energy is not None:
            return self._file_energy
        fmt = self.fmt
        if fmt.energy is not None:
            energy = _Energy(fmt.energy, "the energy given (--energy)",
                             "give the unit with the value (--energy 2.5uJ)")
            self.notes.append(f"pulse energy {fmt.energy:.6g} J for the whole file (given)")
        elif fmt.power is not None:
            value = fmt.file_energy()
            energy = _Energy(value, "power / repetition rate",
                             "give units with the values (--power 20mW --rep-rate 1kHz)")
            self.notes.append(f"pulse energy {value:.6g} J for the whole file (power "
                              f"{fmt.power:g} W / {fmt.rep_rate:g} Hz)")
        else:
            found = energy_in_name(self.path) if fmt.energy_from_name else None
            if found is None:
                raise self.error(
                    f"no pulse energy: {self._names_text()} has no energy column; give the "
                    f"file's energy with --energy 2.5uJ {_python('energy', '2.5 uJ')}, or in "
                    "the file name (..._2.5uJ.csv), or add a column such as 'E (uJ)'",
                    self.names_line)
            energy = _Energy(found[0], f"the energy in the file name ({found[1]!r})",
                             "write the unit in the file name (..._2.5uJ.csv)")
            self.notes.append(f"pulse energy {found[0]:.6g} J for the whole file, from its "
                              f"name ({found[1]!r})")
        self._file_energy = energy
        return energy

    def _row_energy(self, row: Row, fields) -> tuple[float, bool]:
        """(energy in J, whether it is the point's own) of a long file's row."""
        columns, fmt = self.columns, self.fmt
        energy_column, point_column = columns.get(ENERGY), columns.get(POINT_ENERGY)
        power_column = columns.get(POWER)
        if energy_column is None and point_column is None and power_column is None:
            return self.file_energy().value, False
        energy = point = None
        if energy_column is not None:
            energy = self._number(row, fields, energy_column, optional=point_column is not None)
        if point_column is not None:
            point = self._number(row, fields, point_column, optional=energy_column is not None)
        if power_column is not None:
            energy = self._number(row, fields, power_column) / fmt.rep_rate
        if energy is not None and point is not None:
            raise self.error(f"both {energy_column.label} and {point_column.label} are given: "
                             "leave one of them empty on each row", row.line, point_column.name)
        if energy is None and point is None:
            raise self.error(f"missing value: give {energy_column.label} or "
                             f"{point_column.label}", row.line, energy_column.name)
        if fmt.energy_per_point and energy is not None:
            energy, point = None, energy
        value = point if point is not None else energy
        if value <= 0.0:
            column = point_column if point is not None and point_column else \
                (energy_column or power_column)
            raise self.error(f"{column.label}: the pulse energy must be positive (got "
                             f"{value!r} J)", row.line, column.name)
        return value, point is not None

    def _row_aperture(self, row: Row, fields):
        column = self.columns.get(APERTURE)
        if column is None:
            return self.fmt.aperture
        value = self._number(row, fields, column, optional=True)
        if value is not None and not 0.0 < value < 1.0:
            raise self.error(f"{column.label}: the aperture's linear transmittance must be in "
                             f"(0, 1), empty for an open aperture (got {value!r})", row.line,
                             column.name)
        return value

    # ----------------------------------------------------------------- datasets

    def datasets(self):
        from . import Dataset

        groups = self._wide() if self.fmt.curves is not None else self._long()
        datasets = []
        for group in groups:
            energy = (np.array(group.energies, dtype=np.float64) if group.per_point
                      else group.energies[0])
            sigma = None if group.sigma[0] is None else np.array(group.sigma, dtype=np.float64)
            try:
                datasets.append(Dataset(group.positions, group.transmittance, energy, sigma,
                                        group.aperture))
            except (TypeError, ValueError) as error:
                raise self.error(f"{group.describe()}: {error}", group.first_line) from None
        if any(group.per_point for group in groups):
            column = self.columns.get(POINT_ENERGY) or self.columns.get(ENERGY) or \
                self.columns.get(POWER)
            self.notes.append(f"one pulse energy per point (column {column.name!r}): each point "
                              "is modelled at its own energy")
        return datasets

    def _long(self) -> list[_Group]:
        columns = self.columns
        position, transmittance = columns[POSITION], columns[TRANSMITTANCE]
        sigma, label_column = columns.get(SIGMA), columns.get(DATASET)
        groups: dict[object, _Group] = {}
        for row in self.table.rows:
            fields = self._fields(row)
            x = self._number(row, fields, position)
            t = self._number(row, fields, transmittance)
            s = self._sigma(row, fields, sigma)
            energy, per_point = self._row_energy(row, fields)
            aperture = self._row_aperture(row, fields)
            if label_column is not None:
                label = fields[label_column.index] if label_column.index < len(fields) else ""
                if label == "":
                    raise self.error(f"missing value in {label_column.label}", row.line,
                                     label_column.name)
                key = ("dataset", label)
            else:
                label = None
                key = ("point" if per_point else energy, aperture)
            group = groups.get(key)
            if group is None:
                group = groups[key] = _Group(row.line, label)
                group.per_point, group.aperture = per_point, aperture
            else:
                self._same_dataset(group, row, energy, per_point, aperture)
            group.positions.append(x)
            group.transmittance.append(t)
            group.sigma.append(s)
            group.energies.append(energy)
            group.lines.append(row.line)
        if not groups:
            raise self.error("no data rows after the header", self.names_line)
        out = list(groups.values())
        for group in out:
            self._check_group(group, len(out), len(self.table.rows))
        self._check_units(out)
        return out

    def _same_dataset(self, group: _Group, row: Row, energy, per_point, aperture):
        """Rows of one labelled dataset share its energy (or all give their own) and
        aperture."""
        where = group.describe()
        if per_point != group.per_point:
            raise self.error(f"{where}: some rows give the point's own energy and others the "
                             "dataset's: give one or the other for the whole dataset", row.line)
        if not per_point and energy != group.energies[0]:
            raise self.error(
                f"{where}: the energy changes from {group.energies[0]!r} J (line "
                f"{group.first_line}) to {energy!r} J: a dataset has one energy; if it was "
                "measured pulse by pulse, give --energy-per-point "
                f"{_python('energy_per_point', True)}", row.line)
        if aperture != group.aperture:
            raise self.error(f"{where}: the aperture changes from {group.aperture!r} (line "
                             f"{group.first_line}) to {aperture!r}: a dataset has one aperture",
                             row.line)

    def _check_group(self, group: _Group, n_groups: int, n_rows: int):
        energy_column = self.columns.get(ENERGY) or self.columns.get(POWER)
        name = None if energy_column is None else energy_column.name
        label = "" if energy_column is None else f"{energy_column.label}: "
        if len(group.positions) < MIN_POINTS_PER_DATASET:
            hint = ""
            if energy_column is not None and group.label is None and n_groups > n_rows / 2:
                hint = (" — the energy differs on nearly every row: if it was measured pulse by "
                        f"pulse, give --energy-per-point {_python('energy_per_point', True)}")
            raise self.error(f"{label}{group.describe()} has {len(group.positions)} point(s), at "
                             f"least {MIN_POINTS_PER_DATASET} are needed (its first row is this "
                             f"line){hint}", group.first_line, name)
        given = [s is not None for s in group.sigma]
        if any(given) and not all(given):
            sigma = self.columns[SIGMA]
            odd = group.lines[given.index(not given[0])]
            raise self.error(f"{sigma.label}: {group.describe()} gives sigma on some rows and "
                             "not on others", odd, sigma.name)

    def _check_units(self, groups: list[_Group]):
        columns = self.columns
        position, transmittance = columns[POSITION], columns[TRANSMITTANCE]
        check_transmittance(self.path, np.concatenate([g.transmittance for g in groups]),
                            transmittance.name, transmittance.unit.label)
        check_positions(self.path, np.concatenate([g.positions for g in groups]), position.name,
                        position.unit.label)
        energies = np.concatenate([g.energies for g in groups])
        lines = np.concatenate([g.lines for g in groups])
        column = columns.get(POINT_ENERGY) or columns.get(ENERGY) or columns.get(POWER)
        if column is None:
            source = self.file_energy()
            where, fix, name = source.where, source.fix, None
        else:
            where, name = column.label, column.name
            fix = ("correct the unit in the header" if column.stated else
                   "write the unit in the header ('E (uJ)') or give --energy-unit uJ")
            if column.quantity == POWER:
                fix = "check the power's unit and --rep-rate"
        check_energies(self.path, energies, lines.tolist(), name, where, fix,
                       self.fmt.allow_large_energy)

    def _wide(self) -> list[_Group]:
        position = self.columns[POSITION]
        groups = []
        for curve in self.curves:
            group = _Group(self.table.rows[0].line if self.table.rows else 0, None)
            group.per_point = False
            group.aperture = curve.curve.aperture
            groups.append(group)
        for row in self.table.rows:
            fields = self._fields(row)
            x = self._number(row, fields, position)
            for curve, group in zip(self.curves, groups):
                column = _Column(curve.index, curve.name, TRANSMITTANCE, curve.unit, True)
                group.positions.append(x)
                group.transmittance.append(self._number(row, fields, column))
                group.sigma.append(self._sigma(row, fields, curve.sigma))
                group.lines.append(row.line)
        if not self.table.rows:
            raise self.error("no data rows after the header", self.names_line)
        for curve, group in zip(self.curves, groups):
            if curve.curve.energy is not None:
                energy = _Energy(curve.curve.energy, f"the energy of curve {curve.name!r}",
                                 "give the unit (energy=2.5uJ)")
            else:
                energy = self.file_energy()
            group.energies = [energy.value] * len(group.positions)
            group.label = curve.name
            self._check_group(group, len(groups), len(self.table.rows))
            check_transmittance(self.path, np.array(group.transmittance), curve.name,
                                curve.unit.label)
            check_energies(self.path, np.array(group.energies[:1]), None, None, energy.where,
                           energy.fix, self.fmt.allow_large_energy)
        check_positions(self.path, np.array(groups[0].positions), position.name,
                        position.unit.label)
        return groups


def read_scan(path, format=None, *, return_notes=False, **options):
    """Read a scan file as a lab program exports it.

    **Long files** have one row per measured point::

        # any line or tail of a line after '#' is a comment
        position_mm,transmittance,energy_J,sigma
        -30.0,1.0012,4e-07,0.005
        ...

    Rows with the same energy (and aperture) make one dataset, in the order their energies
    first appear, points in file order. A ``dataset`` column keeps datasets apart instead
    (two scans at one energy); :func:`write_scan` writes one. The columns may come in any
    order; ``sigma`` (the transmittance's standard uncertainty, the same unit), ``aperture``
    (the aperture's linear transmittance S; empty for open) and ``dataset`` are optional.

    **Wide files** have one position column and one transmittance column per energy or per
    aperture (open and closed side by side); ``curves`` maps each such column to its
    energy and aperture (:class:`plix.Curve`), and each becomes one dataset, in the file's
    column order.

    **What is read**: UTF-8 with or without a byte-order mark (other encodings with
    ``encoding``); LF, CRLF or CR line ends; ``,`` ``;`` tab or whitespace separated (as
    the first row is); decimal commas when the separator is not a comma (``0,98``); a
    separator at the end of every line; comments after ``#``; blank lines.

    **Column names** (ignoring case; ``_`` and ``-`` count as spaces) with an optional
    unit after the name (``z_mm``, ``Position_mm``), in brackets (``z (mm)``, ``z [cm]``)
    or after a slash (``z/um``):

    ============== ================================================= ===================
    quantity       names                                             units (default)
    ============== ================================================= ===================
    position       position, pos, z, z position, zpos, sample        um, mm, cm, m (mm)
                   position, stage position, stage, distance
    transmittance  transmittance, transmission, T, trans, Tnorm,     1 (normalised), %,
                   normalised/normalized transmittance, T/T0         raw (a.u., V,
                                                                     counts) (1)
    sigma          sigma, uncertainty, error, err, std, stderr, dT,  as the
                   T error, T err, sigma T                           transmittance
    energy         energy, E, pulse energy, energy per pulse, Ep     pJ, nJ, uJ, mJ, J (J)
    point energy   point energy, measured energy, energy per point   pJ, nJ, uJ, mJ, J (J)
    power          power, P, average power, avg power, mean power    uW, mW, W (W);
                                                                     needs ``rep_rate``
    aperture       aperture, S                                       1, % (1)
    dataset        dataset, set                                      (a label)
    ============== ================================================= ===================

    ``µ`` and ``μ`` may be written for ``u``. Any other column is an error that lists it
    and names ``ignore``. An energy column tells datasets apart; with
    ``energy_per_point=True`` (or a ``point energy`` column) it is each point's measured
    energy and the dataset holds one energy per point.

    **No energy column**: the file's energy is ``energy`` (``"2.5 uJ"``), or ``power`` /
    ``rep_rate``, or else read from the file name: one number with an energy unit, apart
    from other letters and digits, ``p`` or ``,`` allowed as the decimal mark
    (``sample_2.5uJ.csv``, ``scan 500nJ.txt``, ``CS2_2p5uJ_open.csv``).

    **No header row** (the first row is numbers): ``columns`` names the columns.

    **Unit slips** are caught on the values read: transmittance whose median is far from 1
    (percent, or a raw signal) and energies above 1 J are errors that name the fix;
    positions spanning under 0.5 mm or over 400 mm and energies below 1 pJ give a
    :class:`plix.ScanWarning`; raw transmittance gives one asking for normalisation.

    Parameters
    ----------
    path : str or os.PathLike
        The file (at most 16 MiB is read).
    format : plix.ScanFormat, optional
        What the file does not say itself (see :class:`plix.ScanFormat`; a format file is
        read by :func:`plix.read_scan_format`).
    return_notes : bool
        Also return what was inferred or converted (units, the energy's source, ignored
        columns, decimal commas), one sentence each.
    **options
        Fields of :class:`plix.ScanFormat`, replacing those of ``format``: ``columns``,
        ``ignore``, ``curves``, ``position_unit``, ``transmittance_unit``, ``energy_unit``,
        ``energy``, ``power``, ``rep_rate``, ``energy_per_point``, ``energy_from_name``,
        ``aperture``, ``allow_large_energy``, ``encoding``, ``separator``, ``decimal``.

    Returns
    -------
    plix.Scan, or (plix.Scan, tuple of str) with ``return_notes``

    Raises
    ------
    FileFormatError
        A file that cannot be read as written (a ``ValueError``). The message names the
        file, the line and the column where there is one, what was found and the option or
        header that would read it.
    TypeError, ValueError
        An option of the wrong kind or value.
    OSError
        The file cannot be opened.

    Examples
    --------
    >>> scan = plix.read_scan("CS2_2.5uJ.csv")                      # doctest: +SKIP
    >>> scan = plix.read_scan("scan.txt", columns="z_cm,T_%", energy="2.5 uJ")  # +SKIP
    >>> scan = plix.read_scan("wide.csv", curves={"T open": "2 uJ",  # doctest: +SKIP
    ...                       "T closed": plix.Curve("2 uJ", aperture=0.3)})
    """
    fmt = ScanFormat.of(format, options)
    text = read_text(path, fmt.encoding, what="scan file")
    table = read_table(path, text, fmt.separator_char, fmt.decimal)
    reader = _Reader(path, table, fmt)
    from . import Scan

    name = os.path.basename(os.fspath(path))
    scan = Scan(d.with_label(name) for d in reader.datasets())
    return (scan, tuple(reader.notes)) if return_notes else scan
