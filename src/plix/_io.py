"""Measurement, set-up and parameter files.

Scan files are text tables, read by :func:`read_scan` (see its documentation for the
formats, column names and units it accepts) and written by :func:`write_scan`.

Set-up and parameter files are TOML. Every malformed file raises :class:`FileFormatError`
(a ``ValueError``) whose message starts with the file name and, where there is one, the line
and the column.
"""

from __future__ import annotations

import re
import tomllib

from ._scanread import read_scan
from ._scanwrite import scan_text, write_scan
from ._textfile import FileFormatError, read_text

__all__ = ["FileFormatError", "read_scan", "write_scan", "scan_text", "read_setup",
           "read_parameters"]

SETUP_KEYS = ("wavelength", "w0", "tau", "sample_width", "populations", "M2", "n0")
SETUP_OPTIONAL = {"populations", "M2", "n0"}
SCHEME_KEYS = ("levels", "transitions", "decays", "refraction")
# `[scheme] preset = "none"`: a sample without a level scheme (no populations).
NO_SCHEME = "none"
PARAMETER_TABLE_KEYS = ("value", "vary", "min", "max")


# --------------------------------------------------------------------------- TOML files


def _load_toml(path) -> dict:
    text = read_text(path, what="TOML file")
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise FileFormatError(path, f"not valid TOML: {error}") from None
    except ValueError as error:  # an integer of more digits than Python converts
        digits = re.search(r"value has (\d+) digits", str(error))
        found = f"an integer of {digits.group(1)} digits" if digits else str(error)
        raise FileFormatError(path, f"not valid TOML: {found}; write the number as a float "
                              "such as 1e30") from None


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _require_number(path, key, value, where=""):
    if not _is_number(value):
        raise FileFormatError(path, f"{where}{key!r} must be a number, not {value!r}",
                              column=key)
    try:
        return float(value)
    except OverflowError:
        raise FileFormatError(path, f"{where}{key!r}: the integer {str(value)[:12]}... "
                              f"({len(str(value))} digits) is beyond any float; write it as a "
                              "float such as 1e30", column=key) from None


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
        if table["preset"] == NO_SCHEME:
            return NO_SCHEME
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
    refraction = table.get("refraction", {})
    if not isinstance(refraction, dict):
        raise FileFormatError(path, "[scheme] refraction must be a table {level = \"name\"}",
                              column="refraction")
    try:
        refraction = {int(level): name for level, name in refraction.items()}
    except ValueError:
        raise FileFormatError(path, "[scheme] refraction: the keys are level numbers (from 1)",
                              column="refraction") from None
    try:
        return LevelScheme(table["levels"], table.get("transitions", []), table.get("decays", []),
                           refraction=refraction)
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
        fields["scheme"] = None if scheme == NO_SCHEME else scheme
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
        model = Model.physical(scheme=None if scheme == NO_SCHEME else scheme)
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
        return {"value": _require_number(path, name, entry)}
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
