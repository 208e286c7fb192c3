"""The eight parameters of the five-level model, by name, with fit settings."""

from __future__ import annotations

import math
from collections.abc import Iterator

import numpy as np

from plix import _core
from plix._validation import real_number

__all__ = ["Parameter", "Parameters"]

#: Parameter names in the order of ``Parameters.as_array()`` (fit_zscan's ``spec_pars``).
PARAMETER_NAMES: tuple[str, ...] = tuple(_core.parameter_names)
_CROSS_SECTIONS = frozenset(name for name in PARAMETER_NAMES if name.startswith("sigma_"))


def _unit(name: str) -> str:
    return "m^2" if name in _CROSS_SECTIONS else "s"


class Parameter:
    """One model parameter: its value and how a fit treats it.

    Parameters
    ----------
    name : str
        One of ``Parameters.names``: a cross-section ``sigma_12``, ``sigma_23``,
        ``sigma_45`` (m^2) or a lifetime ``lifetime_21``, ``lifetime_24``, ``lifetime_32``,
        ``lifetime_41``, ``lifetime_54`` (s).
    value : float
        The value in m^2 or s. A lifetime may be ``math.inf`` (the channel is off).
    vary : bool, optional
        Whether a fit adjusts it. Default False (fixed).
    min, max : float, optional
        Bounds for a fit, in the parameter's unit. Defaults 0 and inf: the open interval
        (0, inf), which a fit explores in log space.

    Attributes
    ----------
    stderr : float or None
        Standard error from the last fit (same unit as ``value``); None before a fit.
        Read only.

    Notes
    -----
    ``value``, ``vary``, ``min`` and ``max`` may be set; each assignment checks its own
    type (NaN is refused everywhere). How bounds and value relate (``min < max`` and the
    value inside them) is checked by :meth:`check_bounds`, by :meth:`set` and by a fit, so
    that the bounds can be moved one at a time.
    """

    __slots__ = ("_name", "_value", "_vary", "_min", "_max", "_stderr")

    def __init__(self, name: str, value: float, vary: bool = False, min: float = 0.0,
                 max: float = math.inf) -> None:
        if name not in PARAMETER_NAMES:
            raise _unknown(name)
        self._name = name
        self._stderr = None
        self.value = value
        self.vary = vary
        self.min = min
        self.max = max

    @property
    def name(self) -> str:
        """The parameter's name (str, read only)."""
        return self._name

    @property
    def value(self) -> float:
        """Value in m^2 (cross-section) or s (lifetime; ``inf`` switches the channel off)."""
        return self._value

    @value.setter
    def value(self, value) -> None:
        number = real_number(value, f"{self._name}.value")
        if math.isnan(number):
            raise ValueError(f"{self._name}.value must not be NaN")
        if self._name in _CROSS_SECTIONS and math.isinf(number):
            raise ValueError(f"{self._name}.value must be finite (m^2), got {number!r}")
        if number == -math.inf:
            raise ValueError(f"{self._name}.value must not be -inf")
        self._value = number

    @property
    def vary(self) -> bool:
        """Whether a fit adjusts this parameter (bool)."""
        return self._vary

    @vary.setter
    def vary(self, vary) -> None:
        if not isinstance(vary, (bool, np.bool_)):
            raise TypeError(f"{self._name}.vary must be True or False, got {vary!r}")
        self._vary = bool(vary)

    @property
    def min(self) -> float:
        """Lower bound for a fit, in the parameter's unit (default 0)."""
        return self._min

    @min.setter
    def min(self, bound) -> None:
        self._min = self._bound(bound, "min", math.inf)

    @property
    def max(self) -> float:
        """Upper bound for a fit, in the parameter's unit (default inf)."""
        return self._max

    @max.setter
    def max(self, bound) -> None:
        self._max = self._bound(bound, "max", -math.inf)

    @property
    def stderr(self) -> float | None:
        """Standard error from the last fit, in the parameter's unit; None before a fit."""
        return self._stderr

    def _set_stderr(self, stderr: float | None) -> None:
        # For the fit that estimated it; users read stderr only.
        self._stderr = None if stderr is None else float(stderr)

    def _bound(self, bound, which: str, forbidden: float) -> float:
        number = real_number(bound, f"{self._name}.{which}")
        if math.isnan(number) or number == forbidden:
            raise ValueError(f"{self._name}.{which} must not be {number!r}")
        return number

    def set(self, value=None, vary=None, min=None, max=None) -> "Parameter":
        """Set several fields at once; fields left at None keep their values.

        The new fields are checked together (:meth:`check_bounds`) and nothing changes
        when they are refused.

        Returns
        -------
        Parameter
            This parameter.
        """
        trial = self.copy()
        for field, new in (("value", value), ("vary", vary), ("min", min), ("max", max)):
            if new is not None:
                setattr(trial, field, new)
        trial.check_bounds()
        self._value, self._vary, self._min, self._max = (trial._value, trial._vary,
                                                         trial._min, trial._max)
        return self

    def check_bounds(self) -> None:
        """Check that ``min < max`` and that ``value`` lies in [min, max].

        Raises
        ------
        ValueError
            Naming the parameter, its bounds and its value.
        """
        if not self._min < self._max:
            raise ValueError(f"{self._name}: min ({self._min!r}) must be less than "
                             f"max ({self._max!r})")
        if not self._min <= self._value <= self._max:
            raise ValueError(f"{self._name}.value {self._value!r} lies outside its bounds "
                             f"[{self._min!r}, {self._max!r}]")

    def copy(self) -> "Parameter":
        """An independent copy (stderr included)."""
        twin = Parameter(self._name, self._value, self._vary, self._min, self._max)
        twin._stderr = self._stderr
        return twin

    def _key(self) -> tuple:
        return (self._name, self._value, self._vary, self._min, self._max, self._stderr)

    def __eq__(self, other) -> bool:
        return isinstance(other, Parameter) and self._key() == other._key()

    __hash__ = None  # mutable

    def __repr__(self) -> str:
        state = "vary" if self._vary else "fixed"
        text = f"<Parameter {self._name}={self._value!r} {_unit(self._name)} {state}"
        if (self._min, self._max) != (0.0, math.inf):
            text += f" bounds=[{self._min!r}, {self._max!r}]"
        if self._stderr is not None:
            text += f" stderr={self._stderr!r}"
        return text + ">"


class Parameters:
    """The eight parameters of the five-level model, by name.

    Parameters
    ----------
    sigma_12, sigma_23, sigma_45 : float
        Absorption cross-sections of the transitions 1->2, 2->3 and 4->5, in m^2.
    lifetime_21, lifetime_24, lifetime_32, lifetime_41, lifetime_54 : float
        Lifetimes of the transitions 2->1, 2->4, 3->2, 4->1 and 5->4, in s. ``math.inf``
        switches a channel off.

    Notes
    -----
    Every parameter starts fixed with bounds (0, inf). ``params[name]`` is the
    :class:`Parameter`; iteration yields the Parameter objects in the order of
    :attr:`names`, which is the order of :meth:`as_array` (fit_zscan's ``spec_pars``).

    Examples
    --------
    >>> params = Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
    >>> params.vary("sigma_23", "sigma_45").free
    ('sigma_23', 'sigma_45')
    >>> params["sigma_23"].value
    5e-21
    """

    __slots__ = ("_items",)

    def __init__(self, sigma_12, sigma_23, sigma_45, lifetime_21, lifetime_24, lifetime_32,
                 lifetime_41, lifetime_54) -> None:
        values = (sigma_12, sigma_23, sigma_45, lifetime_21, lifetime_24, lifetime_32,
                  lifetime_41, lifetime_54)
        self._items = {name: Parameter(name, value) for name, value in zip(PARAMETER_NAMES, values)}

    @classmethod
    def from_array(cls, values) -> "Parameters":
        """Parameters from eight values in the order of :meth:`as_array` (m^2, then s).

        Raises
        ------
        ValueError
            If ``values`` does not hold exactly eight numbers.
        """
        array = np.asarray(values)
        if array.ndim != 1 or array.shape[0] != len(PARAMETER_NAMES):
            raise ValueError(f"values must hold {len(PARAMETER_NAMES)} numbers in the order "
                             f"{', '.join(PARAMETER_NAMES)}; got shape {array.shape}")
        return cls(*array.tolist())

    @property
    def names(self) -> tuple[str, ...]:
        """The eight names, in the order of :meth:`as_array`."""
        return PARAMETER_NAMES

    @property
    def free(self) -> tuple[str, ...]:
        """Names of the parameters that vary, in the order of :attr:`names`."""
        return tuple(name for name, p in self._items.items() if p.vary)

    def as_array(self) -> np.ndarray:
        """The eight values as a new float64 array in fit_zscan's ``spec_pars`` order."""
        return np.array([p.value for p in self._items.values()], dtype=np.float64)

    def values(self) -> dict[str, float]:
        """A new dict name -> value (m^2 or s)."""
        return {name: p.value for name, p in self._items.items()}

    def vary(self, *names: str) -> "Parameters":
        """Let the named parameters vary in a fit. Returns this object.

        Raises
        ------
        KeyError
            If a name is unknown (nothing is changed then).
        """
        return self._set_vary(names, True)

    def fix(self, *names: str) -> "Parameters":
        """Hold the named parameters fixed in a fit. Returns this object.

        Raises
        ------
        KeyError
            If a name is unknown (nothing is changed then).
        """
        return self._set_vary(names, False)

    def _set_vary(self, names, vary: bool) -> "Parameters":
        chosen = [self[name] for name in names]  # every name checked before any change
        for parameter in chosen:
            parameter.vary = vary
        return self

    def copy(self) -> "Parameters":
        """An independent deep copy: changing it leaves this object as it is."""
        twin = Parameters.__new__(Parameters)
        twin._items = {name: p.copy() for name, p in self._items.items()}
        return twin

    def __getitem__(self, name: str) -> Parameter:
        try:
            return self._items[name]
        except (KeyError, TypeError):
            raise _unknown(name) from None

    def __contains__(self, name) -> bool:
        return isinstance(name, str) and name in self._items

    def __iter__(self) -> Iterator[Parameter]:
        return iter(self._items.values())

    def __len__(self) -> int:
        return len(self._items)

    def __eq__(self, other) -> bool:
        return isinstance(other, Parameters) and list(self) == list(other)

    __hash__ = None  # mutable

    def __repr__(self) -> str:
        lines = [f"    {p!r}," for p in self]
        return "Parameters(\n" + "\n".join(lines) + "\n)"


def _unknown(name) -> KeyError:
    return KeyError(f"unknown parameter {name!r}; valid names: {', '.join(PARAMETER_NAMES)}")
