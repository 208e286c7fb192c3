"""The experiment: beam, pulse and sample."""

from __future__ import annotations

import math
from dataclasses import dataclass

from plix import _core
from plix._validation import positive_finite, real_number

__all__ = ["Setup"]

MAX_LEVELS = 8


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
    populations : sequence of float, optional
        Initial population of each level of the model's level scheme in m^-3 (for the
        five-level scheme N1..N5, usually everything in level 1, ``[N, 0, 0, 0, 0]``);
        non-negative and finite. None (default) for models without a level scheme.
    M2 : float, optional
        Beam quality factor M^2 (>= 1 for a real beam; it divides the Rayleigh range).
        Default 1.0.
    n0 : float, optional
        Linear refractive index of the sample. Default 1.0.

    Raises
    ------
    TypeError
        If a field is not a real number (or ``populations`` not a sequence of them).
    ValueError
        If a length, ``tau``, ``M2`` or ``n0`` is not positive and finite, or
        ``populations`` does not hold one to eight finite non-negative numbers.

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
    populations: tuple[float, ...] | None = None
    M2: float = 1.0
    n0: float = 1.0

    def __post_init__(self) -> None:
        units = {"wavelength": "m", "w0": "m", "tau": "s", "sample_width": "m", "M2": "1",
                 "n0": "1"}
        for name, unit in units.items():
            object.__setattr__(self, name, positive_finite(getattr(self, name), name, unit))
        if self.populations is not None:
            object.__setattr__(self, "populations", _populations(self.populations))

    @property
    def rayleigh_range(self) -> float:
        """Rayleigh range pi*w0^2/(M2*wavelength) of the beam, in m."""
        return math.pi * self.w0**2 / (self.M2 * self.wavelength)

    def native(self):
        """The set-up as the compiled models take it."""
        return _core.Setup(wavelength=self.wavelength, w0=self.w0, tau=self.tau,
                           sample_width=self.sample_width, M2=self.M2, n0=self.n0,
                           populations=list(self.populations or ()))


def _populations(values) -> tuple[float, ...]:
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError("populations must be a sequence of numbers (m^-3), one per level")
    values = list(values)
    if not 1 <= len(values) <= MAX_LEVELS:
        raise ValueError(f"populations must hold 1 to {MAX_LEVELS} numbers (m^-3), one per "
                         f"level of the model's scheme, got {len(values)}")
    result = []
    for k, value in enumerate(values):
        number = real_number(value, f"populations[{k}]")
        if not (math.isfinite(number) and number >= 0.0):
            raise ValueError(f"populations[{k}] must be finite and >= 0 (m^-3), got {number!r}")
        result.append(number)
    return tuple(result)
