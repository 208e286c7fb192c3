"""JSON that every reader accepts (RFC 8259): non-finite numbers as documented strings.

JSON has no infinity and no NaN; Python's ``json`` would write the non-standard ``Infinity``
and ``NaN``, which ``jq``, JavaScript and Go refuse. plix writes them as the strings ``"inf"``,
``"-inf"`` and ``"nan"`` (an infinite bound or lifetime; an uncertainty that cannot be
determined) and :func:`read_json` turns those strings back into floats.
"""

from __future__ import annotations

import json
import math
from pathlib import Path

__all__ = ["read_json", "to_json_text"]

NON_FINITE = {"inf": math.inf, "-inf": -math.inf, "nan": math.nan}


def _encodable(value):
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, dict):
        return {k: _encodable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_encodable(v) for v in value]
    return value


def _decoded(value):
    if isinstance(value, str):
        return NON_FINITE.get(value, value)
    if isinstance(value, dict):
        return {k: _decoded(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_decoded(v) for v in value]
    return value


def to_json_text(data) -> str:
    """``data`` (plain Python values) as standard JSON, non-finite floats as strings."""
    return json.dumps(_encodable(data), indent=2, allow_nan=False)


def read_json(path_or_text):
    """A JSON document written by plix (``FitResult.to_json``, ``plix fit --json``) as plain
    Python values, with ``"inf"``, ``"-inf"`` and ``"nan"`` read back as floats.

    Parameters
    ----------
    path_or_text : str or os.PathLike
        A file, or the JSON text itself (a str that starts with ``{`` or ``[``).
    """
    text = str(path_or_text)
    if not text.lstrip().startswith(("{", "[")):
        text = Path(path_or_text).read_text(encoding="utf-8")
    return _decoded(json.loads(text))
