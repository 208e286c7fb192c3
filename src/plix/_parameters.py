"""Model parameters by name, with their fit settings: :class:`Parameter`, :class:`Parameters`."""

from __future__ import annotations

import functools
import math
from collections.abc import Iterator

import numpy as np

from plix._specs import ParameterSpec
from plix._validation import real_number

__all__ = ["Parameter", "Parameters"]


@functools.cache
def five_level_specs() -> tuple[ParameterSpec, ...]:
    """The specs of the five-level scheme's parameters, which ``Parameters(...)`` takes when no
    specs are given (the seed model's parameters are exactly the scheme's)."""
    from plix._model import Model

    return Model.seed().parameter_specs


class Parameter:
    """One model parameter: its value and how a fit treats it.

    Parameters
    ----------
    name : str or ParameterSpec
        The parameter's name in the five-level scheme (``sigma_12``, ``sigma_23``,
        ``sigma_45`` in m^2; ``lifetime_21``, ``lifetime_24``, ``lifetime_32``,
        ``lifetime_41``, ``lifetime_54`` in s), or the spec of any model's parameter.
    value : float
        The value in the parameter's unit; accepted as its spec says (a lifetime may be
        ``math.inf``: the channel is off).
    vary : bool, optional
        Whether a fit adjusts it. Default False (fixed).
    min, max : float, optional
        Bounds for a fit, in the parameter's unit. Default the spec's (for cross-sections and
        lifetimes 0 and inf: the open interval (0, inf), which a fit explores in log space).

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

    __slots__ = ("_spec", "_value", "_vary", "_min", "_max", "_stderr")

    def __init__(self, name, value: float, vary: bool = False, min: float | None = None,
                 max: float | None = None) -> None:
        if isinstance(name, ParameterSpec):
            spec = name
        else:
            spec = next((s for s in five_level_specs() if s.name == name), None)
            if spec is None:
                raise _unknown(name, five_level_specs())
        self._spec = spec
        self._stderr = None
        self.value = value
        self.vary = vary
        self.min = spec.fit_min if min is None else min
        self.max = spec.fit_max if max is None else max

    @property
    def name(self) -> str:
        """The parameter's name (str, read only)."""
        return self._spec.name

    @property
    def _name(self) -> str:
        return self._spec.name

    @property
    def spec(self) -> ParameterSpec:
        """What the model says about this parameter: unit, symbol, accepted values."""
        return self._spec

    @property
    def unit(self) -> str:
        """The parameter's SI unit (str)."""
        return self._spec.unit

    @property
    def value(self) -> float:
        """The value in the parameter's unit."""
        return self._value

    @value.setter
    def value(self, value) -> None:
        number = real_number(value, f"{self._name}.value")
        if number == -math.inf:
            raise ValueError(f"{self._name}.value must not be -inf")
        refusal = self._spec.refusal(number)
        if refusal is not None:
            raise ValueError(f"{self._name}.value {refusal}, got {number!r}")
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
        """Lower bound for a fit, in the parameter's unit (default the spec's fit_min)."""
        return self._min

    @min.setter
    def min(self, bound) -> None:
        self._min = self._bound(bound, "min", math.inf)

    @property
    def max(self) -> float:
        """Upper bound for a fit, in the parameter's unit (default the spec's fit_max)."""
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
        twin = Parameter(self._spec, self._value, self._vary, self._min, self._max)
        twin._stderr = self._stderr
        return twin

    def _key(self) -> tuple:
        return (self._spec, self._value, self._vary, self._min, self._max, self._stderr)

    def __eq__(self, other) -> bool:
        return isinstance(other, Parameter) and self._key() == other._key()

    __hash__ = None  # mutable

    def __repr__(self) -> str:
        state = "vary" if self._vary else "fixed"
        unit = f" {self.unit}" if self.unit else ""
        text = f"<Parameter {self._name}={self._value!r}{unit} {state}"
        if (self._min, self._max) != (self._spec.fit_min, self._spec.fit_max):
            text += f" bounds=[{self._min!r}, {self._max!r}]"
        if self._stderr is not None:
            text += f" stderr={self._stderr!r}"
        return text + ">"


class Parameters:
    """A model's parameters by name, with their fit settings.

    ``Parameters(sigma_12=..., ...)`` (or the eight values in order) gives the parameters of
    the five-level scheme, the default of :meth:`plix.Model.physical` and
    :meth:`plix.Model.seed`; ``model.make_params(...)`` (or ``specs=model.parameter_specs``)
    those of any model.

    Parameters
    ----------
    *args : float
        The values in the order of the specs (only all of them).
    specs : sequence of ParameterSpec, optional
        What the parameters are (default: the five-level scheme's cross-sections
        ``sigma_12``, ``sigma_23``, ``sigma_45`` in m^2 and lifetimes ``lifetime_21``,
        ``lifetime_24``, ``lifetime_32``, ``lifetime_41``, ``lifetime_54`` in s).
    **values : float
        The values by name. A parameter left out takes its spec's default; one without a
        default must be given.

    Notes
    -----
    Every parameter starts fixed with its spec's bounds. ``params[name]`` is the
    :class:`Parameter`; iteration yields the Parameter objects in the order of
    :attr:`names`, which is the order of :meth:`as_array` (for the five-level scheme,
    fit_zscan's ``spec_pars``).

    Examples
    --------
    >>> params = Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
    >>> params.vary("sigma_23", "sigma_45").free
    ('sigma_23', 'sigma_45')
    >>> params["sigma_23"].value
    5e-21
    """

    __slots__ = ("_items",)

    def __init__(self, *args, specs=None, **values) -> None:
        specs = five_level_specs() if specs is None else tuple(specs)
        names = [s.name for s in specs]
        if args:
            if len(args) != len(specs):
                raise TypeError(f"Parameters() takes all {len(specs)} values in order "
                                f"({', '.join(names)}) or values by name, got {len(args)}")
            for name, value in zip(names, args):
                if name in values:
                    raise TypeError(f"Parameters() got multiple values for {name!r}")
                values[name] = value
        unknown = [name for name in values if name not in names]
        if unknown:
            raise TypeError(f"unknown parameter {unknown[0]!r}; valid names: {', '.join(names)}")
        missing = [s.name for s in specs if s.name not in values and s.default is None]
        if missing:
            raise TypeError(f"missing parameter(s) {', '.join(missing)}")
        self._items = {s.name: Parameter(s, values[s.name] if s.name in values else s.default)
                       for s in specs}

    @classmethod
    def from_array(cls, values, specs=None) -> "Parameters":
        """Parameters from one value per spec, in the order of :meth:`as_array`.

        Raises
        ------
        ValueError
            If ``values`` does not hold exactly one number per spec.
        """
        specs = five_level_specs() if specs is None else tuple(specs)
        array = np.asarray(values)
        if array.ndim != 1 or array.shape[0] != len(specs):
            raise ValueError(f"values must hold {len(specs)} numbers in the order "
                             f"{', '.join(s.name for s in specs)}; got shape {array.shape}")
        return cls(*array.tolist(), specs=specs)

    @property
    def names(self) -> tuple[str, ...]:
        """The names, in the order of :meth:`as_array`."""
        return tuple(self._items)

    @property
    def specs(self) -> tuple[ParameterSpec, ...]:
        """The specs of the parameters, in their order."""
        return tuple(p.spec for p in self._items.values())

    @property
    def free(self) -> tuple[str, ...]:
        """Names of the parameters that vary, in the order of :attr:`names`."""
        return tuple(name for name, p in self._items.items() if p.vary)

    def as_array(self) -> np.ndarray:
        """The values as a new float64 array in the order of :attr:`names`."""
        return np.array([p.value for p in self._items.values()], dtype=np.float64)

    def values(self) -> dict[str, float]:
        """A new dict name -> value."""
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
            raise _unknown(name, self.specs) from None

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


def _unknown(name, specs) -> KeyError:
    names = ", ".join(s.name for s in specs)
    return KeyError(f"unknown parameter {name!r}; valid names: {names}")


def for_model(params, model, name: str = "params") -> np.ndarray:
    """The values of ``params`` in the model's parameter order, as a new float64 array.

    ``params`` is a :class:`Parameters`, a mapping name -> value, or a sequence in the model's
    order. Parameters the model has but ``params`` leaves out take their spec's default; each
    value is checked against its spec. Parameters of a :class:`Parameters` that the model does
    not have are refused, unless they are fixed at their spec's default (an effect that is off,
    as the physical model's ``beta = 0`` given to another model).

    Raises
    ------
    TypeError, ValueError
        Naming the argument, the parameter and the fix.
    """
    specs = model.parameter_specs
    names = [s.name for s in specs]
    if isinstance(params, Parameters) or hasattr(params, "items"):
        given = params.values() if isinstance(params, Parameters) else dict(params.items())
        if isinstance(params, Parameters):
            given = {n: v for n, v in given.items()
                     if n in names or params[n].vary or v != params[n].spec.default}
        unknown = [n for n in given if n not in names]
        if unknown:
            raise ValueError(f"{name}: the {model.kind} model has no parameter "
                             f"{', '.join(map(repr, unknown))}; its parameters are "
                             f"{', '.join(names)} (model.make_params() builds them)")
        missing = [s.name for s in specs if s.name not in given and s.default is None]
        if missing:
            raise ValueError(f"{name}: missing {', '.join(map(repr, missing))} for the "
                             f"{model.kind} model (model.make_params() builds them)")
        values = [given[s.name] if s.name in given else s.default for s in specs]
    else:
        from plix._validation import float_array

        array = float_array(params, name)
        if array.shape != (len(specs),):
            raise ValueError(f"{name} must be a plix.Parameters or {len(specs)} numbers "
                             f"({', '.join(names)}), got shape {array.shape}")
        values = array.tolist()
    out = np.empty(len(specs), dtype=np.float64)
    for k, (spec, value) in enumerate(zip(specs, values)):
        number = real_number(value, f"{name}.{spec.name}")
        refusal = spec.refusal(number)
        if refusal is not None:
            raise ValueError(f"{name}.{spec.name} {refusal}, got {number!r}")
        out[k] = number
    return out
