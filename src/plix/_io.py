"""Measurement, set-up and parameter files.

Scan files are text tables in long format, one row per measured point::

    # any line or tail of a line after '#' is a comment
    position_mm,transmittance,energy_J,sigma
    -30.0,1.0012,4e-07,0.005
    ...

The separator is a comma, a tab or runs of whitespace, whichever the header row uses. The
columns may come in any order; ``sigma`` is optional. Rows with the same ``energy_J`` make one
dataset, datasets in the order their energies first appear and points in file order.

Set-up and parameter files are TOML. Every malformed file raises :class:`FileFormatError`
(a ``ValueError``) whose message starts with the file name and, where there is one, the line
and the column.
"""

from __future__ import annotations

import math
import tomllib
from dataclasses import dataclass
from pathlib import Path

import numpy as np

__all__ = ["FileFormatError", "read_scan", "write_scan", "read_setup", "read_parameters"]

POSITION, TRANSMITTANCE, ENERGY, SIGMA = "position_mm", "transmittance", "energy_J", "sigma"
REQUIRED_COLUMNS = (POSITION, TRANSMITTANCE, ENERGY)
OPTIONAL_COLUMNS = (SIGMA,)
# The "ends" normalisation averages the first and last five points of a curve, and no fit of
# fewer points says anything: a shorter dataset is an error, not a warning.
MIN_POINTS_PER_DATASET = 5

SETUP_KEYS = ("wavelength", "w0", "tau", "sample_width", "populations", "M2", "n0")
SETUP_OPTIONAL = {"populations", "M2", "n0"}
SCHEME_KEYS = ("levels", "transitions", "decays")
PARAMETER_TABLE_KEYS = ("value", "vary", "min", "max")


class FileFormatError(ValueError):
    """A scan, set-up or parameter file that cannot be read as written.

    Attributes
    ----------
    path : str
        The file.
    line : int or None
        1-based line number, where the fault has one.
    column : str or None
        The column (scan files) or key (TOML files) at fault, where there is one.
    """

    def __init__(self, path, reason, line=None, column=None):
        self.path = str(path)
        self.line = line
        self.column = column
        self.reason = reason
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {reason}")


# --------------------------------------------------------------------------- scan files


@dataclass(frozen=True)
class _Row:
    line: int
    fields: list[str]


def _strip_comment(text: str) -> str:
    cut = text.find("#")
    return text if cut < 0 else text[:cut]


def _separator_of(header: str) -> str | None:
    """The separator the header row uses: ',' or '\\t', or None for runs of whitespace."""
    if "," in header:
        return ","
    if "\t" in header:
        return "\t"
    return None


def _split(text: str, separator: str | None) -> list[str]:
    if separator is None:
        return text.split()
    return [field.strip() for field in text.split(separator)]


def _rows_of(path, text: str):
    """(header fields, header line, separator, data rows), comments and blank lines skipped."""
    header = None
    rows = []
    separator = None
    for number, raw in enumerate(text.splitlines(), start=1):
        body = _strip_comment(raw).strip()
        if not body:
            continue
        if header is None:
            separator = _separator_of(body)
            header = (_split(body, separator), number)
            continue
        rows.append(_Row(number, _split(body, separator)))
    if header is None:
        raise FileFormatError(path, "no header row (expected the columns "
                              f"{', '.join(REQUIRED_COLUMNS)} and optionally {SIGMA})")
    return header[0], header[1], separator, rows


def _column_index(path, names: list[str], header_line: int) -> dict[str, int]:
    index = {}
    for position, name in enumerate(names):
        if name in index:
            raise FileFormatError(path, f"column {name!r} appears twice in the header",
                                  header_line, name)
        if name not in REQUIRED_COLUMNS + OPTIONAL_COLUMNS:
            raise FileFormatError(
                path, f"unknown column {name!r} in the header (expected "
                f"{', '.join(REQUIRED_COLUMNS)} and optionally {SIGMA})", header_line, name)
        index[name] = position
    for name in REQUIRED_COLUMNS:
        if name not in index:
            raise FileFormatError(path, f"missing column {name!r} in the header",
                                  header_line, name)
    return index


def _number(path, row: _Row, name: str, position: int, *, optional=False):
    """The float in column ``name`` of ``row``; None for an empty optional field."""
    if position >= len(row.fields):
        raise FileFormatError(path, f"missing value in column {position + 1} ({name})",
                              row.line, name)
    text = row.fields[position]
    if text == "" and optional:
        return None
    try:
        value = float(text)
    except ValueError:
        raise FileFormatError(path, f"column {position + 1} ({name}): cannot read {text!r} "
                              "as a number", row.line, name) from None
    if not math.isfinite(value):
        raise FileFormatError(path, f"column {position + 1} ({name}): {text!r} is not a "
                              "finite number", row.line, name)
    return value


def _check_row_length(path, row: _Row, width: int, names: list[str]):
    if len(row.fields) > width:
        raise FileFormatError(path, f"{len(row.fields)} fields where the header has {width} "
                              f"({', '.join(names)})", row.line, None)


class _DatasetRows:
    """The points of one energy as they are read, with the lines they came from."""

    def __init__(self, energy: float, line: int):
        self.energy = energy
        self.first_line = line
        self.positions: list[float] = []
        self.transmittance: list[float] = []
        self.sigma: list[float | None] = []
        self.lines: list[int] = []


def _datasets_of(path, names, header_line, rows) -> list[_DatasetRows]:
    index = _column_index(path, names, header_line)
    has_sigma = SIGMA in index
    datasets: dict[float, _DatasetRows] = {}
    for row in rows:
        _check_row_length(path, row, len(names), names)
        position = _number(path, row, POSITION, index[POSITION])
        transmittance = _number(path, row, TRANSMITTANCE, index[TRANSMITTANCE])
        energy = _number(path, row, ENERGY, index[ENERGY])
        if energy <= 0.0:
            raise FileFormatError(path, f"column {index[ENERGY] + 1} ({ENERGY}): the pulse "
                                  f"energy must be positive (got {energy!r} J)", row.line, ENERGY)
        sigma = None
        if has_sigma:
            sigma = _number(path, row, SIGMA, index[SIGMA], optional=True)
            if sigma is not None and sigma <= 0.0:
                raise FileFormatError(path, f"column {index[SIGMA] + 1} ({SIGMA}): an "
                                      f"uncertainty must be positive (got {sigma!r})",
                                      row.line, SIGMA)
        dataset = datasets.get(energy)
        if dataset is None:
            dataset = datasets[energy] = _DatasetRows(energy, row.line)
        dataset.positions.append(position)
        dataset.transmittance.append(transmittance)
        dataset.sigma.append(sigma)
        dataset.lines.append(row.line)
    if not datasets:
        raise FileFormatError(path, "no data rows after the header", header_line)
    for dataset in datasets.values():
        _check_dataset(path, dataset, index)
    return list(datasets.values())


def _check_dataset(path, dataset: _DatasetRows, index):
    if len(dataset.positions) < MIN_POINTS_PER_DATASET:
        raise FileFormatError(
            path, f"column {index[ENERGY] + 1} ({ENERGY}): the dataset at "
            f"{dataset.energy!r} J has {len(dataset.positions)} point(s), at least "
            f"{MIN_POINTS_PER_DATASET} are needed (its first row is this line)",
            dataset.first_line, ENERGY)
    given = [s is not None for s in dataset.sigma]
    if any(given) and not all(given):
        odd = dataset.lines[given.index(not given[0])]
        raise FileFormatError(
            path, f"column {index[SIGMA] + 1} ({SIGMA}): the dataset at {dataset.energy!r} J "
            "gives sigma on some rows and not on others", odd, SIGMA)


def read_scan(path):
    """Read a scan file (one row per point, datasets told apart by pulse energy).

    Parameters
    ----------
    path : str or os.PathLike
        A text file with a header row naming the columns ``position_mm`` (sample position,
        mm), ``transmittance`` (normalised transmittance), ``energy_J`` (pulse energy, J) and
        optionally ``sigma`` (the transmittance's standard uncertainty). Comma, tab or
        whitespace separated; ``#`` starts a comment. An empty ``sigma`` field on every row
        of a dataset means that dataset has no uncertainties.

    Returns
    -------
    plix.Scan
        One dataset per distinct energy, in order of first appearance, points in file order.

    Raises
    ------
    FileFormatError
        A malformed file (a ``ValueError``); the message names the file, the line and the
        column: unknown or missing column, a field that is not a finite number, a
        non-positive energy or uncertainty, a dataset with fewer than five points.
    OSError
        The file cannot be opened.
    """
    from . import Dataset, Scan

    text = Path(path).read_text(encoding="utf-8")
    names, header_line, _, rows = _rows_of(path, text)
    datasets = []
    for rows_of_energy in _datasets_of(path, names, header_line, rows):
        sigma = None
        if rows_of_energy.sigma[0] is not None:
            sigma = np.array(rows_of_energy.sigma, dtype=np.float64)
        datasets.append(Dataset(np.array(rows_of_energy.positions, dtype=np.float64),
                                np.array(rows_of_energy.transmittance, dtype=np.float64),
                                rows_of_energy.energy, sigma))
    return Scan(datasets)


def scan_text(datasets) -> str:
    """The text of a scan file for (positions_mm, transmittance, energy_J, sigma or None)
    tuples, one per dataset; see :func:`write_scan`."""
    datasets = list(datasets)
    with_sigma = any(sigma is not None for *_, sigma in datasets)
    columns = list(REQUIRED_COLUMNS) + ([SIGMA] if with_sigma else [])
    lines = ["# Z-scan: position (mm), normalised transmittance, pulse energy (J)"
             + (", standard uncertainty of the transmittance" if with_sigma else ""),
             ",".join(columns)]
    for positions, transmittance, energy_J, sigma in datasets:
        energy = repr(float(energy_J))
        for k, (x, y) in enumerate(zip(positions, transmittance)):
            fields = [repr(float(x)), repr(float(y)), energy]
            if with_sigma:
                fields.append("" if sigma is None else repr(float(sigma[k])))
            lines.append(",".join(fields))
    return "\n".join(lines) + "\n"


def write_scan(path, scan):
    """Write a scan in the format :func:`read_scan` reads (comma separated, exact floats).

    Every value is written as the shortest decimal that reads back to the same double, so a
    written scan reads back bit for bit. The ``sigma`` column appears when any dataset has
    uncertainties; a dataset without them leaves it empty.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write (replaced if it exists).
    scan : plix.Scan
        The datasets.
    """
    text = scan_text((d.positions_mm, d.transmittance, d.energy_J, d.sigma) for d in scan)
    Path(path).write_text(text, encoding="utf-8")


# --------------------------------------------------------------------------- TOML files


def _load_toml(path) -> dict:
    with open(path, "rb") as f:
        try:
            return tomllib.load(f)
        except tomllib.TOMLDecodeError as error:
            raise FileFormatError(path, f"not valid TOML: {error}") from None


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _require_number(path, key, value, where=""):
    if not _is_number(value):
        raise FileFormatError(path, f"{where}{key!r} must be a number, not {value!r}",
                              column=key)
    return float(value)


def _reject_unknown(path, table: dict, allowed, where: str):
    for key in table:
        if key not in allowed:
            raise FileFormatError(path, f"unknown key {key!r} in {where} (expected one of "
                                  f"{', '.join(allowed)})", column=key)


def _scheme_of(path, table):
    """A [scheme] table: preset = NAME, or levels with transitions and decays."""
    from . import LevelScheme

    if not isinstance(table, dict):
        raise FileFormatError(path, "'scheme' must be a table ([scheme])", column="scheme")
    if "preset" in table:
        _reject_unknown(path, table, ("preset",), "[scheme] with a preset")
        try:
            return LevelScheme.preset(table["preset"])
        except (TypeError, ValueError) as error:
            raise FileFormatError(path, f"[scheme]: {error}", column="preset") from None
    _reject_unknown(path, table, SCHEME_KEYS, "[scheme]")
    if "levels" not in table:
        raise FileFormatError(path, "[scheme] needs levels (and transitions and decays) or "
                              "preset = \"five_level\"", column="levels")
    for key in ("transitions", "decays"):
        if not isinstance(table.get(key, []), list):
            raise FileFormatError(path, f"[scheme] {key} must be an array of arrays or tables",
                                  column=key)
    try:
        return LevelScheme(table["levels"], table.get("transitions", []), table.get("decays", []))
    except (TypeError, ValueError) as error:
        raise FileFormatError(path, f"[scheme]: {error}") from None


def _model_of(path, table, scheme) -> object:
    from . import Model, model_kinds
    from ._model import kind_fields

    if not isinstance(table, dict):
        raise FileFormatError(path, "'model' must be a table ([model])", column="model")
    kinds = model_kinds()
    preset = table.get("preset")
    if preset not in kinds:
        raise FileFormatError(path, f"[model] needs preset = one of "
                              f"{', '.join(repr(k) for k in kinds)} (got {preset!r})",
                              column="preset")
    fields = {key: value for key, value in table.items() if key != "preset"}
    allowed = kind_fields(preset)
    _reject_unknown(path, fields, ("preset",) + allowed, f"[model] (preset {preset!r})")
    if "scheme" in fields:
        raise FileFormatError(path, "write the level scheme as its own [scheme] table",
                              column="scheme")
    if scheme is not None:
        if "scheme" not in allowed:
            raise FileFormatError(path, f"the {preset} model takes no level scheme; remove "
                                  "[scheme]", column="scheme")
        fields["scheme"] = scheme
    for key, value in fields.items():
        if isinstance(value, list):
            fields[key] = tuple(value)
    try:
        return getattr(Model, preset)(**fields)
    except (TypeError, ValueError) as error:
        raise FileFormatError(path, f"[model]: {error}") from None


def read_setup(path):
    """Read a set-up file (TOML): the experiment and, optionally, the model and its scheme.

    The file holds the :class:`plix.Setup` fields by name, in SI units::

        wavelength = 532e-9        # m
        w0 = 25e-6                 # beam waist radius (1/e^2), m
        tau = 5e-9                 # pulse half-width at 1/e of the intensity, s
        sample_width = 1e-3        # m
        populations = [1e24, 0, 0, 0, 0]   # one per level of the scheme, m^-3
        M2 = 1.0                   # optional, default 1
        n0 = 1.0                   # optional, default 1

        [model]                    # optional
        preset = "physical"        # a registered kind (plix.model_kinds()); its fields
        geometry = "beam"

        [scheme]                   # optional: the model's level scheme
        levels = 3
        transitions = [[1, 2, "sigma_12"], [2, 3, "sigma_23"]]   # lower, upper, name
        decays = [[2, 1, "lifetime_21"], [3, 2, "lifetime_32"]]  # source, target, name

    A transition may be a table ``{lower = 1, upper = 2, cross_section = "sigma2",
    photons = 2}``; ``[scheme] preset = "five_level"`` names the built-in scheme. Without a
    ``[model]`` table a ``[scheme]`` goes to the physical model.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    setup : plix.Setup
    model : plix.Model or None
        None when the file has neither a ``[model]`` nor a ``[scheme]`` table.

    Raises
    ------
    FileFormatError
        Invalid TOML, an unknown or missing key (named with the file), a value of the wrong
        type, or a value that :class:`plix.Setup`, :class:`plix.LevelScheme` or
        :class:`plix.Model` rejects.
    """
    from . import Model, Setup
    from ._simulate import check_populations

    data = _load_toml(path)
    _reject_unknown(path, data, SETUP_KEYS + ("model", "scheme"), "the set-up")
    missing = [key for key in SETUP_KEYS if key not in data and key not in SETUP_OPTIONAL]
    if missing:
        raise FileFormatError(path, f"missing key(s) {', '.join(map(repr, missing))} "
                              "in the set-up", column=missing[0])
    fields = {}
    for key in SETUP_KEYS:
        if key not in data:
            continue
        if key == "populations":
            value = data[key]
            if not isinstance(value, list):
                raise FileFormatError(path, "'populations' must be an array of numbers (m^-3), "
                                      "one per level", column=key)
            fields[key] = [_require_number(path, f"populations[{k}]", v)
                           for k, v in enumerate(value)]
        else:
            fields[key] = _require_number(path, key, data[key])
    try:
        setup = Setup(**fields)
    except (TypeError, ValueError) as error:
        raise FileFormatError(path, str(error)) from None
    scheme = _scheme_of(path, data["scheme"]) if "scheme" in data else None
    if "model" in data:
        model = _model_of(path, data["model"], scheme)
    elif scheme is not None:
        model = Model.physical(scheme=scheme)
    else:
        model = None
    if model is not None:
        try:
            check_populations(setup, model)
        except ValueError as error:
            raise FileFormatError(path, str(error), column="populations") from None
    return setup, model


def _parameter_entry(path, name, entry) -> dict:
    if _is_number(entry):
        return {"value": float(entry)}
    if not isinstance(entry, dict):
        raise FileFormatError(path, f"{name!r} must be a number or a table with "
                              f"{', '.join(PARAMETER_TABLE_KEYS)}", column=name)
    _reject_unknown(path, entry, PARAMETER_TABLE_KEYS, f"the table of {name!r}")
    if "value" not in entry:
        raise FileFormatError(path, f"the table of {name!r} has no 'value'", column=name)
    out = {"value": _require_number(path, "value", entry["value"], f"{name}: ")}
    if "vary" in entry:
        if not isinstance(entry["vary"], bool):
            raise FileFormatError(path, f"{name}: 'vary' must be true or false", column=name)
        out["vary"] = entry["vary"]
    for bound in ("min", "max"):
        if bound in entry:
            out[bound] = _require_number(path, bound, entry[bound], f"{name}: ")
    return out


def read_parameters(path, model=None):
    """Read a parameter file (TOML): one entry per parameter of the model.

    Each entry is a bare number (the value, held fixed) or a table with ``value`` and
    optionally ``vary`` (default false), ``min`` and ``max``, in the parameter's unit::

        sigma_12 = { value = 2e-21, vary = true }     # m^2
        sigma_23 = 5e-21
        sigma_45 = { value = 1.6e-20, vary = true, min = 1e-22, max = 1e-18 }
        lifetime_21 = 2e-9                            # s
        lifetime_24 = 5e-9
        lifetime_32 = 1e-12
        lifetime_41 = inf                             # channel off
        lifetime_54 = 1e-12

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    model : plix.Model, optional
        Whose parameters the file gives (``model.parameter_specs``); default the five-level
        scheme's. Parameters with a default may be left out.

    Returns
    -------
    plix.Parameters

    Raises
    ------
    FileFormatError
        Invalid TOML, an unknown name or table key, a missing parameter, a value of the
        wrong type, or a value or bound that :class:`plix.Parameters` rejects.
    """
    from . import Parameters
    from ._parameters import five_level_specs

    specs = five_level_specs() if model is None else model.parameter_specs
    names = tuple(s.name for s in specs)
    data = _load_toml(path)
    _reject_unknown(path, data, names, "the parameters")
    missing = [s.name for s in specs if s.name not in data and s.default is None]
    if missing:
        raise FileFormatError(path, f"missing parameter(s) {', '.join(missing)}",
                              column=missing[0])
    entries = {name: _parameter_entry(path, name, data[name]) for name in names if name in data}
    try:
        params = Parameters(specs=specs, **{name: e["value"] for name, e in entries.items()})
        for name, entry in entries.items():
            settings = {key: entry[key] for key in ("vary", "min", "max") if key in entry}
            if settings:
                params[name].set(**settings)  # bounds and value checked together
    except (TypeError, ValueError) as error:
        raise FileFormatError(path, str(error)) from None
    return params
