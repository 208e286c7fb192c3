"""Reading the text of an input file safely, and the error for a file that cannot be read.

Scan, set-up and parameter files are small text files. Whatever the user names (a binary
file, ``/dev/zero``, a spreadsheet saved as UTF-16) is refused quickly with one message that
says what was found and how to fix it: at most :data:`MAX_TEXT_BYTES` are ever read, and a
binary file is recognised from its first :data:`PROBE_BYTES`.
"""

from __future__ import annotations

import codecs

__all__ = ["FileFormatError", "MAX_TEXT_BYTES", "read_text", "read_bytes"]

# A scan of a few thousand rows is a few hundred kB; no set-up or parameter file comes near.
# Anything larger is the wrong file, and reading it whole (or forever, from a device) helps
# nobody.
MAX_TEXT_BYTES = 16 * 1024 * 1024
# A text file holds no NUL byte; the first 64 kB tell a binary file from a text one.
PROBE_BYTES = 64 * 1024

# Byte-order marks, longest first (UTF-32 LE begins with the UTF-16 LE mark).
_BOMS = (
    (codecs.BOM_UTF32_LE, "UTF-32 LE"),
    (codecs.BOM_UTF32_BE, "UTF-32 BE"),
    (codecs.BOM_UTF8, "UTF-8 with a byte-order mark"),
    (codecs.BOM_UTF16_LE, "UTF-16 LE"),
    (codecs.BOM_UTF16_BE, "UTF-16 BE"),
)
_PYTHON_CODEC = {"UTF-32 LE": "utf-32", "UTF-32 BE": "utf-32", "UTF-16 LE": "utf-16",
                 "UTF-16 BE": "utf-16"}


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
    reason : str
        The message without the file and line.
    """

    def __init__(self, path, reason, line=None, column=None):
        self.path = str(path)
        self.line = line
        self.column = column
        self.reason = reason
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {reason}")


def read_bytes(path, *, what: str = "file") -> bytes:
    """The bytes of ``path``, refusing binary content and anything over MAX_TEXT_BYTES.

    Raises
    ------
    FileFormatError
        A NUL byte in the first PROBE_BYTES (unless a UTF-16/32 byte-order mark explains
        it), or more than MAX_TEXT_BYTES.
    OSError
        The file cannot be opened or read.
    """
    with open(path, "rb") as f:
        head = f.read(PROBE_BYTES)
        if b"\x00" in head and _bom_of(head) is None:
            raise FileFormatError(path, _binary_reason(head, what))
        rest = f.read(MAX_TEXT_BYTES + 1 - len(head)) if len(head) == PROBE_BYTES else b""
    data = head + rest
    if len(data) > MAX_TEXT_BYTES:
        raise FileFormatError(path, f"larger than {MAX_TEXT_BYTES / 2**20:g} MiB (plix "
                              f"reads no more of a {what}): this is not a {what}; check the "
                              "file name")
    return data


def read_text(path, encoding: str = "utf-8", *, what: str = "file") -> str:
    """The text of ``path``: a UTF-8 byte-order mark dropped, other encodings named.

    Parameters
    ----------
    path : str or os.PathLike
    encoding : str
        The file's encoding (a Python codec name); default UTF-8.
    what : str
        What the file should be ("scan file"), for the messages.

    Raises
    ------
    FileFormatError
        A binary or oversized file, a file in another encoding than ``encoding`` (the
        message names the encoding found where it can tell and the option that reads it).
    OSError
        The file cannot be opened or read.
    """
    data = read_bytes(path, what=what)
    bom = _bom_of(data)
    utf8 = codecs.lookup(encoding).name == "utf-8"
    if bom is not None and bom[1] in _PYTHON_CODEC and utf8:
        raise FileFormatError(path, f"the file is {bom[1]} (byte-order mark "
                              f"{bom[0].hex(' ').upper()}), not UTF-8: save it as UTF-8, or give "
                              f"the encoding (--encoding {_PYTHON_CODEC[bom[1]]}; Python: "
                              f"encoding=\"{_PYTHON_CODEC[bom[1]]}\")")
    try:
        text = data.decode("utf-8-sig" if utf8 else encoding)
    except UnicodeDecodeError as error:
        raise FileFormatError(path, _decode_reason(data, error, encoding),
                              _line_of(data, error.start)) from None
    return text.lstrip("\ufeff")


def _bom_of(data: bytes):
    for mark, name in _BOMS:
        if data.startswith(mark):
            return mark, name
    return None


def _binary_reason(head: bytes, what: str) -> str:
    at = head.index(b"\x00")
    odd = head[1::2]
    if len(head) >= 4 and odd.count(0) >= 0.9 * len(odd) and b"\x00" not in head[0::2]:
        return ("every other byte is NUL: the file looks like UTF-16 LE without a byte-order "
                "mark, not UTF-8: save it as UTF-8, or give --encoding utf-16-le (Python: "
                "encoding=\"utf-16-le\")")
    return (f"a binary file, not a text {what} (a NUL byte at offset {at}; plix reads no "
            f"further than the first {PROBE_BYTES // 1024} kB of such a file): check the file "
            "name")


def _line_of(data: bytes, offset: int) -> int:
    return data.count(b"\n", 0, offset) + 1


def _decode_reason(data: bytes, error: UnicodeDecodeError, encoding: str) -> str:
    line_start = data.rfind(b"\n", 0, error.start) + 1
    column = error.start - line_start + 1
    byte = data[error.start]
    found = f"byte 0x{byte:02X} at column {column}"
    if codecs.lookup(encoding).name != "utf-8":
        return f"not {encoding}: {found} cannot be decoded; give the file's encoding"
    guess = _single_byte_guess(data)
    hint = (f"it looks like {guess[0]} (the byte would be {guess[1]!r})" if guess
            else "the encoding is not one plix recognises")
    codec = "cp1252" if guess and guess[0].startswith("Windows") else "latin-1"
    return (f"not UTF-8: {found}; {hint}: save the file as UTF-8, or give --encoding {codec} "
            f"(Python: encoding=\"{codec}\")")


def _single_byte_guess(data: bytes):
    """('Windows-1252' or 'Latin-1', the first non-ASCII character) when the bytes read as
    one of the single-byte encodings labs' Windows programs write."""
    first = next((b for b in data if b >= 0x80), None)
    if first is None:
        return None
    try:
        text = data.decode("cp1252")
        return "Windows-1252 (Latin-1)", text[next(i for i, b in enumerate(data) if b >= 0x80)]
    except UnicodeDecodeError:
        return "Latin-1 (ISO 8859-1)", bytes([first]).decode("latin-1")
