"""How a model describes its parameters: :class:`ParameterSpec`."""

from __future__ import annotations

import math
from dataclasses import dataclass

from plix import _core

__all__ = ["ParameterSpec"]


@dataclass(frozen=True)
class ParameterSpec:
    """What a model says about one of its parameters.

    Every model lists one spec per parameter (``model.parameter_specs``); they decide which
    values :class:`plix.Parameters` accepts, the default bounds of a fit, and the units and
    symbols of reports and figures. Give them to :meth:`plix.Model.from_function` to
    describe a model of your own.

    Parameters
    ----------
    name : str
        The parameter's name (a Python identifier).
    unit : str
        Its SI unit as text, for example ``"m^2"`` or ``"m/W"``; ``""`` for none.
    symbol : str
        TeX for figures, for example ``r"\\beta"``; default the name.
    description : str
        A few words for reports.
    lowest : float
        The smallest value accepted (default -inf: any real value).
    lowest_included : bool
        Whether ``lowest`` itself is accepted (default True).
    infinity_allowed : bool
        Whether +inf is accepted (a lifetime: the channel is switched off).
    fit_min, fit_max : float
        The bounds a fit uses unless the parameter sets its own. (0, inf) is explored in log
        space; default (-inf, inf).
    default : float or None
        The value used when a :class:`plix.Parameters` leaves the parameter out; None: it must
        be given.
    """

    name: str
    unit: str = ""
    symbol: str = ""
    description: str = ""
    lowest: float = -math.inf
    lowest_included: bool = True
    infinity_allowed: bool = False
    fit_min: float = -math.inf
    fit_max: float = math.inf
    default: float | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name.isidentifier():
            raise ValueError(f"a parameter name must be a Python identifier, got {self.name!r}")
        for field in ("lowest", "fit_min", "fit_max"):
            object.__setattr__(self, field, float(getattr(self, field)))
        if not self.fit_min < self.fit_max:
            raise ValueError(f"{self.name}: fit_min ({self.fit_min!r}) must be less than "
                             f"fit_max ({self.fit_max!r})")
        if self.default is not None:
            object.__setattr__(self, "default", float(self.default))

    @property
    def log_scale(self) -> bool:
        """Whether a fit with the default bounds explores the parameter in log space."""
        return self.fit_min == 0.0 and self.fit_max == math.inf

    @property
    def label(self) -> str:
        """``symbol (unit)`` for axes and tables, in TeX."""
        symbol = self.symbol or self.name
        return f"${symbol}$" + (f" ({self.unit})" if self.unit else "")

    def refusal(self, value: float) -> str | None:
        """Why ``value`` is not accepted (a phrase), or None."""
        if math.isnan(value):
            return "must not be NaN"
        if value == math.inf:
            return None if self.infinity_allowed else f"must be finite ({self.unit or 'no unit'})"
        low_ok = value >= self.lowest if self.lowest_included else value > self.lowest
        if not low_ok:
            sign = ">=" if self.lowest_included else ">"
            unit = f" ({self.unit})" if self.unit else ""
            note = "; inf switches the channel off" if self.infinity_allowed else ""
            return f"must be {sign} {self.lowest:g}{unit}{note}"
        return None

    @classmethod
    def _from_native(cls, native) -> "ParameterSpec":
        default = None if math.isnan(native.default_value) else native.default_value
        return cls(name=native.name, unit=native.unit, symbol=native.symbol,
                   description=native.description, lowest=native.lowest,
                   lowest_included=native.lowest_included,
                   infinity_allowed=native.infinity_allowed, fit_min=native.fit_min,
                   fit_max=native.fit_max, default=default)

    def _native(self):
        return _core.ParameterSpec(
            name=self.name, unit=self.unit, symbol=self.symbol, description=self.description,
            lowest=self.lowest, lowest_included=self.lowest_included,
            infinity_allowed=self.infinity_allowed, fit_min=self.fit_min, fit_max=self.fit_max,
            default_value=math.nan if self.default is None else self.default)
