"""The experiment: beam, pulse and sample."""

from __future__ import annotations

import math
from dataclasses import dataclass

from plix import _core
from plix._validation import positive_finite, real_number

__all__ = ["Setup"]

LEVEL_COUNT = _core.level_count


@dataclass(frozen=True)
class Setup:
    """The Z-scan experiment, in SI units. Immutable; every field is checked on creation.

    Parameters
    ----------
    wavelength : float
        Laser wavelength in m (for example ``532e-9``).
    w0 : float
        Beam waist radius (1/e^2 of the intensity) at the focus, in m.
    tau : float
        Pulse half-width at 1/e of the intensity, in s.
    sample_width : float
        Thickness of the sample along the beam, in m.
    populations : sequence of float
        Initial populations N1..N5 of the five levels in m^-3: exactly five non-negative
        finite numbers (usually everything in level 1, ``[N, 0, 0, 0, 0]``).
    M2 : float, optional
        Beam quality factor M^2 (>= 1 for a real beam; it divides the Rayleigh range).
        Default 1.0.

    Raises
    ------
    TypeError
        If a field is not a real number (or ``populations`` not a sequence of them).
    ValueError
        If a length, ``tau`` or ``M2`` is not positive and finite, or ``populations`` does
        not hold exactly five finite non-negative numbers.

    Examples
    --------
    >>> setup = Setup(wavelength=532e-9, w0=30e-6, tau=5e-9, sample_width=1e-3,
    ...               populations=[1e24, 0, 0, 0, 0])
    >>> setup.rayleigh_range  # m
    0.005314...
    """

    wavelength: float
    w0: float
    tau: float
    sample_width: float
    populations: tuple[float, ...]
    M2: float = 1.0

    def __post_init__(self) -> None:
        units = {"wavelength": "m", "w0": "m", "tau": "s", "sample_width": "m", "M2": "1"}
        for name, unit in units.items():
            object.__setattr__(self, name, positive_finite(getattr(self, name), name, unit))
        object.__setattr__(self, "populations", _populations(self.populations))

    @property
    def rayleigh_range(self) -> float:
        """Rayleigh range pi*w0^2/(M2*wavelength) of the beam, in m."""
        return math.pi * self.w0**2 / (self.M2 * self.wavelength)


def _populations(values) -> tuple[float, ...]:
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError("populations must be a sequence of five numbers (m^-3)")
    values = list(values)
    if len(values) != LEVEL_COUNT:
        raise ValueError(
            f"populations must hold exactly {LEVEL_COUNT} numbers (m^-3), got {len(values)}")
    result = []
    for k, value in enumerate(values):
        number = real_number(value, f"populations[{k}]")
        if not (math.isfinite(number) and number >= 0.0):
            raise ValueError(f"populations[{k}] must be finite and >= 0 (m^-3), got {number!r}")
        result.append(number)
    return tuple(result)
