"""How a Z-scan curve is computed: :class:`Model`, built from the registry of model kinds or
from a Python function."""

from __future__ import annotations

import inspect
from collections.abc import Callable, Mapping

from plix import _core
from plix._scheme import LevelScheme
from plix._specs import ParameterSpec

__all__ = ["Model", "model_kinds"]

FUNCTION_KIND = "function"
# Keywords a model function may take besides its parameters: what the engine passes then.
CONTEXT_KEYWORDS = ("aperture", "setup")

# The registry, as the compiled core defines it: kind name -> its description.
_KINDS = {kind.name: kind for kind in _core.model_kinds()}


def model_kinds() -> tuple[str, ...]:
    """The names of the registered model kinds (what ``Model.<name>(...)`` makes)."""
    return tuple(_KINDS)


def kind_fields(kind: str) -> tuple[str, ...]:
    """The field names of a registered kind, in order."""
    return tuple(f.name for f in _KINDS[kind].fields)


def kind_summary(kind: str) -> str:
    """The one-line description of a registered kind."""
    return _KINDS[kind].summary


def _to_native(spec, value):
    """A field's value as the compiled core takes it."""
    if spec.type == "scheme" and isinstance(value, LevelScheme):
        return value.native()
    if spec.type == "grid" and value is not None and not isinstance(value, (str, bytes)):
        try:
            return tuple(value)
        except TypeError:
            return value
    return value


def _normalised(spec, value):
    """A field's value as Model keeps it (hashable, comparable)."""
    if value is None:
        return None
    if spec.type == "real":
        return float(value)
    if spec.type == "integer":
        return int(value)
    if spec.type == "grid":
        return tuple(int(v) for v in value)
    if spec.type == "scheme" and not isinstance(value, LevelScheme):
        return LevelScheme._from_native(value)
    return value


def _default(spec):
    if spec.type == "scheme" and spec.default is not None:
        return LevelScheme._from_native(spec.default)
    return spec.default


def _function_specs(parameters) -> tuple[ParameterSpec, ...]:
    if isinstance(parameters, Mapping):
        items = []
        for name, spec in parameters.items():
            if isinstance(spec, ParameterSpec):
                if spec.name != name:
                    raise ValueError(f"parameters[{name!r}] is the spec of {spec.name!r}")
                items.append(spec)
            elif isinstance(spec, str):
                items.append(ParameterSpec(name, unit=spec))
            else:
                raise TypeError(f"parameters[{name!r}] must be a unit (str) or a ParameterSpec")
        specs = tuple(items)
    elif isinstance(parameters, (str, bytes)):
        raise TypeError("parameters must be a sequence of names or ParameterSpec objects, or a "
                        "mapping name -> unit or ParameterSpec")
    else:
        specs = tuple(p if isinstance(p, ParameterSpec) else ParameterSpec(p) for p in parameters)
    if not specs:
        raise ValueError("parameters: the model needs at least one parameter")
    names = [s.name for s in specs]
    duplicate = next((n for n in names if names.count(n) > 1), None)
    if duplicate is not None:
        raise ValueError(f"parameters: {duplicate!r} appears twice")
    return specs


def _context_keywords(function) -> tuple[str, ...]:
    """The keywords of CONTEXT_KEYWORDS that the function takes by name."""
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return ()
    named = {name for name, p in signature.parameters.items()
             if p.kind in (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)}
    return tuple(k for k in CONTEXT_KEYWORDS if k in named)


class Model:
    """How the normalised transmittance curve is computed. Immutable.

    Make one with a registered kind (``Model.physical(...)``, ``Model.seed(...)``, ...: see
    :func:`plix.model_kinds`), or from a Python function with :meth:`from_function`. Change
    fields with :meth:`replace`. The fields are attributes (``model.geometry`` ...);
    ``model.kind`` is the kind's name. The model's parameters are described by
    :attr:`parameter_specs`; :meth:`make_params` builds a :class:`plix.Parameters` for it.
    Models with the same kind and fields are equal and hash alike.

    Parameters
    ----------
    kind : str
        A registered kind (the presets pass it for you).
    **fields
        That kind's fields; fields left out take their defaults.

    Raises
    ------
    TypeError
        For a field that the kind does not have, or of the wrong type.
    ValueError
        For an unknown kind or a refused value, naming the field.

    Examples
    --------
    >>> Model.seed().replace(integrator="exact", t_slices=20)
    Model.seed(integrator='exact', t_slices=20, z_slices=8, normalisation='ends', scheme=LevelScheme.five_level(), max_cells=10000000.0)
    >>> Model.physical().geometry
    'beam'
    """

    __slots__ = ("_kind", "_fields", "_native")

    def __init__(self, kind: str, **fields) -> None:
        if kind not in _KINDS:
            raise ValueError(f"kind must be one of {', '.join(map(repr, _KINDS))}, got {kind!r}")
        specs = {spec.name: spec for spec in _KINDS[kind].fields}
        native = _core.make_model(kind, {name: _to_native(specs[name], value) if name in specs
                                         else value for name, value in fields.items()})
        normalised = {name: _normalised(spec, fields[name]) if name in fields else _default(spec)
                      for name, spec in specs.items()}
        object.__setattr__(self, "_kind", kind)
        object.__setattr__(self, "_fields", normalised)
        object.__setattr__(self, "_native", native)

    @classmethod
    def from_function(cls, function: Callable, parameters) -> "Model":
        """A model whose curve is a Python function, fitted by the same engine.

        Parameters
        ----------
        function : callable
            ``function(positions_mm, energy_J, **params) -> transmittance``: the sample
            positions (mm, a float64 array, the focus at 0), the pulse energy (J, a float, or
            an array with one energy per position) and the parameters by name; it returns the
            normalised transmittance at every position (one real number each). Exceptions it
            raises reach the caller of :func:`plix.simulate` or :func:`plix.fit`. A fit calls
            it with the interpreter lock held, once per evaluation.
        parameters : sequence or mapping
            Parameter names, or :class:`plix.ParameterSpec` objects, or a mapping name ->
            unit (str) or ParameterSpec. Plain names accept any real value and are fitted
            without bounds unless the Parameters give some.

        Notes
        -----
        A function with a keyword ``aperture`` computes closed-aperture curves too: it
        receives the aperture's linear transmittance S (1.0 for an open aperture) and the
        fit's focus rule for closed datasets is the baseline crossing between peak and
        valley. A function with a keyword ``setup`` receives the experiment (an object with
        ``wavelength``, ``w0``, ``tau``, ``sample_width``, ``M2``, ``n0`` and
        ``populations``, SI units), as a fit with a fitted beam waist changes it. Neither
        name can be a parameter then.

        Examples
        --------
        >>> def dip(z, energy, depth, z0):
        ...     return 1 - depth * energy / (1 + (z / z0) ** 2)
        >>> model = Model.from_function(dip, {"depth": "1/J", "z0": "mm"})
        >>> model.make_params(depth=1e5, z0=4.0).names
        ('depth', 'z0')
        """
        if not callable(function):
            raise TypeError(f"function must be callable, got {type(function).__name__}")
        specs = _function_specs(parameters)
        context = _context_keywords(function)
        clash = [s.name for s in specs if s.name in context]
        if clash:
            raise ValueError(f"parameters: {clash[0]!r} is the keyword the function receives "
                             f"the {clash[0]} in; rename the parameter")
        model = cls.__new__(cls)
        object.__setattr__(model, "_kind", FUNCTION_KIND)
        object.__setattr__(model, "_fields", {"function": function, "parameters": specs})
        object.__setattr__(model, "_native", _core.function_model(
            function, [s._native() for s in specs], takes_aperture="aperture" in context,
            takes_setup="setup" in context))
        return model

    @property
    def kind(self) -> str:
        """The kind's name (``"physical"``, ``"seed"``, ..., or ``"function"``)."""
        return self._kind

    @property
    def fields(self) -> dict:
        """A new dict of this model's fields (without ``kind``)."""
        return dict(self._fields)

    @property
    def parameter_specs(self) -> tuple[ParameterSpec, ...]:
        """One :class:`plix.ParameterSpec` per parameter, in the model's order."""
        if self._kind == FUNCTION_KIND:
            return self._fields["parameters"]
        return tuple(ParameterSpec._from_native(p) for p in self._native.parameters)

    @property
    def parameter_names(self) -> tuple[str, ...]:
        """The parameter names in the model's order."""
        return tuple(s.name for s in self.parameter_specs)

    @property
    def levels(self) -> int:
        """The populations a set-up must give for this model (0: none)."""
        return int(self._native.levels)

    @property
    def closed_aperture(self) -> bool:
        """Whether the model computes closed-aperture curves (``aperture`` in (0, 1))."""
        return bool(self._native.closed_aperture)

    @property
    def intensity_scale(self) -> float:
        """The peak intensity the model applies per physical peak intensity of a pulse (1 for
        a model of the real beam; the seed model's normalisation is about 1/6000)."""
        return float(self._native.intensity_scale)

    @property
    def grid_names(self) -> tuple[str, ...]:
        """What the entries of the model's grid count (empty: it has none)."""
        return tuple(self._native.grid_names)

    def make_params(self, **values):
        """:class:`plix.Parameters` for this model, the values given by name.

        Parameters that are left out take their spec's default; a parameter without one must
        be given.
        """
        from plix._parameters import Parameters

        return Parameters(specs=self.parameter_specs, **values)

    def native(self):
        """The model as the compiled core runs it."""
        return self._native

    def replace(self, **fields) -> "Model":
        """A new model of the same kind with the given fields changed.

        Raises
        ------
        TypeError
            If a field does not belong to this kind of model.
        ValueError
            If a new value is refused.
        """
        if self._kind == FUNCTION_KIND:
            merged = {**self._fields, **fields}
            return Model.from_function(merged["function"], merged["parameters"])
        return Model(self._kind, **{**self._fields, **fields})

    def __getattr__(self, name: str):
        fields = object.__getattribute__(self, "_fields")
        try:
            return fields[name]
        except KeyError:
            kind = object.__getattribute__(self, "_kind")
            raise AttributeError(f"a {kind} model has no field {name!r}") from None

    def __setattr__(self, name, value) -> None:
        raise AttributeError("Model is immutable; use replace()")

    def __delattr__(self, name) -> None:
        raise AttributeError("Model is immutable; use replace()")

    def __eq__(self, other) -> bool:
        if not isinstance(other, Model):
            return NotImplemented
        return self._kind == other._kind and self._fields == other._fields

    def __hash__(self) -> int:
        return hash((self._kind, tuple(self._fields.items())))

    def __reduce__(self):
        if self._kind == FUNCTION_KIND:
            return (Model.from_function, (self._fields["function"], self._fields["parameters"]))
        return (_rebuild, (self._kind, self._fields))

    def __repr__(self) -> str:
        if self._kind == FUNCTION_KIND:
            function = self._fields["function"]
            name = getattr(function, "__qualname__", repr(function))
            return f"Model.from_function({name}, {list(self.parameter_names)!r})"
        args = ", ".join(f"{name}={value!r}" for name, value in self._fields.items())
        return f"Model.{self._kind}({args})"


def _rebuild(kind: str, fields: dict) -> Model:
    return Model(kind, **fields)


def _field_doc(spec) -> str:
    default = _default(spec)
    if spec.type == "choice":
        kind = "{" + ", ".join(repr(c) for c in spec.choices) + "}"
    elif spec.type == "grid":
        kind = "None or tuple of int"
    elif spec.type == "scheme":
        kind = "LevelScheme"
    else:
        kind = "float" if spec.type == "real" else "int"
    return f"{spec.name} : {kind}, default {default!r}\n    {spec.doc}"


def _preset(kind) -> classmethod:
    """``Model.<kind>(**fields)``, with the kind's fields as its signature and docstring."""

    def make(cls, *args, **fields):
        names = [f.name for f in kind.fields]
        if len(args) > len(names):
            raise TypeError(f"Model.{kind.name}() takes at most {len(names)} positional "
                            f"arguments ({len(args)} given)")
        for name, value in zip(names, args):
            if name in fields:
                raise TypeError(f"Model.{kind.name}() got multiple values for {name!r}")
            fields[name] = value
        return cls(kind.name, **fields)

    make.__name__ = make.__qualname__ = kind.name
    make.__doc__ = (f"{kind.summary}\n\n{kind.doc}\n\nParameters\n----------\n"
                    + "\n".join(_field_doc(f) for f in kind.fields)
                    + "\n\nRaises\n------\nTypeError, ValueError\n    Naming the field that is "
                    "refused.\n")
    make.__signature__ = inspect.Signature(
        [inspect.Parameter("cls", inspect.Parameter.POSITIONAL_ONLY)]
        + [inspect.Parameter(f.name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=_default(f))
           for f in kind.fields])
    return classmethod(make)


for _kind in _KINDS.values():
    setattr(Model, _kind.name, _preset(_kind))
del _kind
