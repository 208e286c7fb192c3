"""The rows and fields of a text table as lab programs export them.

Comments start with ``#``; blank lines are skipped; CR, LF and CRLF line ends are all
read. The separator is a tab, ``;``, ``,`` or runs of whitespace: the first of these the
first row holds (a comma only when the row does not read as whitespace-separated numbers
with decimal commas, ``1,5 0,98``). Decimal commas (``0,98``) are read when the separator
is not a comma. A separator at the end of the header row (a trailing comma) is dropped; the reader
drops empty fields beyond the header's width.

The first row is the header when any of its fields is not a number; a file whose first
row is numbers has no header row.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from ._textfile import FileFormatError

__all__ = ["Table", "Row", "read_table", "SEPARATORS", "separator_name"]

# Separator names as options give them -> the character (None: runs of whitespace).
SEPARATORS = {"comma": ",", ",": ",", "semicolon": ";", ";": ";", "tab": "\t", "\t": "\t",
              "\\t": "\t", "whitespace": None, "space": None, " ": None}
_NUMBER = re.compile(r"[+-]?(?:\d[\d_]*(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?|[+-]?(?:inf|infinity|nan)",
                     re.IGNORECASE)
_COMMA_NUMBER = re.compile(r"[+-]?(?:\d+,\d*|,\d+)(?:[eE][+-]?\d+)?")


@dataclass(frozen=True)
class Row:
    line: int
    fields: list[str]


@dataclass(frozen=True)
class Table:
    """A table's header (None when the file has none), its data rows and how it was read."""

    header: list[str] | None
    header_line: int | None
    rows: list[Row]
    separator: str | None
    decimal_comma: bool

    def number_text(self, field: str) -> str:
        """A field as a Python number literal (decimal comma turned into a point)."""
        return field.replace(",", ".") if self.decimal_comma else field


def separator_name(separator: str | None) -> str:
    return {",": "comma", ";": "semicolon", "\t": "tab", None: "whitespace"}[separator]


def _is_number(text: str, decimal_comma: bool = True) -> bool:
    return bool(_NUMBER.fullmatch(text) or (decimal_comma and _COMMA_NUMBER.fullmatch(text)))


def _guess_separator(first: str) -> str | None:
    for separator in ("\t", ";"):
        if separator in first:
            return separator
    if "," in first:
        words = first.split()
        if len(words) >= 2 and all(_is_number(w) for w in words):
            return None  # whitespace-separated numbers with decimal commas
        return ","
    return None


def _split(text: str, separator: str | None, header: bool) -> list[str]:
    if separator is not None:
        return [field.strip() for field in text.split(separator)]
    words = text.split()
    if not header:
        return words
    # "z (mm)  T (%)": a unit in brackets after a space belongs to the name before it.
    fields: list[str] = []
    for word in words:
        if fields and word[0] in "([{" and not _is_number(word):
            fields[-1] += " " + word
        else:
            fields.append(word)
    return fields


def _strip_comment(text: str) -> str:
    cut = text.find("#")
    return text if cut < 0 else text[:cut]


def read_table(path, text: str, separator="auto", decimal="auto") -> Table:
    """The table in ``text``.

    Parameters
    ----------
    path : str or os.PathLike
        For messages.
    text : str
        The file's text.
    separator : {"auto", ",", ";", "\\t", None}
        The separator, or "auto" to take it from the first row; None is whitespace.
    decimal : {"auto", ".", ","}
        The decimal mark, or "auto": a comma when the separator is not one and a field
        reads as a number with a decimal comma.

    Raises
    ------
    FileFormatError
        No row at all; a comma given as both separator and decimal mark.
    """
    lines = []
    for number, raw in enumerate(text.splitlines(), start=1):
        body = _strip_comment(raw).strip()
        if body:
            lines.append((number, body))
    if not lines:
        raise FileFormatError(path, "no header row and no data (the file holds only comments "
                              "or blank lines); expected a header such as "
                              "position_mm,transmittance,energy_J and one row per point")
    if separator == "auto":
        separator = _guess_separator(lines[0][1])
    if decimal == "," and separator == ",":
        raise FileFormatError(path, "a comma cannot be both the separator and the decimal "
                              "mark: give the separator (--separator ';') or --decimal '.'")
    first = _split(lines[0][1], separator, header=False)
    has_header = not all(_is_number(f, decimal != ".") for f in first if f)
    header = header_line = None
    if has_header:
        header_line = lines[0][0]
        header = _split(lines[0][1], separator, header=True)
        lines = lines[1:]
    rows = [Row(number, _split(body, separator, header=False)) for number, body in lines]
    if header and header[-1] == "" and separator is not None:
        header = header[:-1]  # a separator at the end of the line; the rows' go by width
    if decimal == "auto":
        decimal_comma = separator != "," and any(
            _COMMA_NUMBER.fullmatch(f) for row in rows for f in row.fields)
    else:
        decimal_comma = decimal == ","
    return Table(header, header_line, rows, separator, decimal_comma)
