"""The installed distribution's version, read from its metadata (set in pyproject.toml)."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("plix-zscan")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"
