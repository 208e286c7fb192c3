"""How a Z-scan curve is computed: the seed and the physical discretisations."""

from __future__ import annotations

import numbers

from plix._validation import real_number

__all__ = ["Model"]

_INTEGRATORS = ("lsoda", "exact")
_GEOMETRIES = ("beam", "on_axis")
_NORMALISATIONS = ("linear", "ends", "none")
_MAX_ACCURACY = 0.1
_MIN_T_SLICES = 2
_MIN_Z_SLICES = 2

# Field names and defaults of each preset, in the order of repr.
_FIELDS = {
    "seed": {"integrator": "lsoda", "t_slices": 10, "z_slices": 8, "normalisation": "ends"},
    "physical": {"geometry": "beam", "accuracy": 1e-4, "normalisation": "linear", "grid": None},
}


def _choice(value, name: str, choices: tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in choices:
        allowed = ", ".join(repr(c) for c in choices)
        raise ValueError(f"{name} must be one of {allowed}, got {value!r}")
    return value


def _integer(value, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    return int(value)


def _grid(value) -> tuple[int, int, int] | None:
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != 3:
        raise ValueError(f"grid must be None or a (time_steps, slices, radial_nodes) tuple, "
                         f"got {value!r}")
    grid = tuple(_integer(v, f"grid[{k}]") for k, v in enumerate(value))
    for k, v in enumerate(grid):
        if v < 1:
            raise ValueError(f"grid[{k}] must be at least 1, got {v}")
    return grid


def _check_seed(fields: dict) -> dict:
    t_slices = _integer(fields["t_slices"], "t_slices")
    z_slices = _integer(fields["z_slices"], "z_slices")
    if t_slices < _MIN_T_SLICES:
        raise ValueError(f"t_slices must be at least {_MIN_T_SLICES}, got {t_slices}")
    if z_slices != 0 and z_slices < _MIN_Z_SLICES:
        raise ValueError(f"z_slices must be 0 (no sample) or at least {_MIN_Z_SLICES}, "
                         f"got {z_slices}")
    return {
        "integrator": _choice(fields["integrator"], "integrator", _INTEGRATORS),
        "t_slices": t_slices,
        "z_slices": z_slices,
        "normalisation": _choice(fields["normalisation"], "normalisation", _NORMALISATIONS),
    }


def _check_physical(fields: dict) -> dict:
    accuracy = real_number(fields["accuracy"], "accuracy")
    if not (0.0 < accuracy <= _MAX_ACCURACY):  # also refuses NaN
        raise ValueError(f"accuracy must lie in (0, {_MAX_ACCURACY}], got {accuracy!r}")
    return {
        "geometry": _choice(fields["geometry"], "geometry", _GEOMETRIES),
        "accuracy": accuracy,
        "normalisation": _choice(fields["normalisation"], "normalisation", _NORMALISATIONS),
        "grid": _grid(fields["grid"]),
    }


_CHECKS = {"seed": _check_seed, "physical": _check_physical}


class Model:
    """How the normalised transmittance curve is computed. Immutable.

    Make one with a preset, :meth:`seed` or :meth:`physical`, and change fields with
    :meth:`replace`. The fields of the preset are attributes (``model.t_slices``,
    ``model.geometry`` ...); ``model.kind`` is ``"seed"`` or ``"physical"``. Models with
    the same kind and fields are equal and hash alike.

    Examples
    --------
    >>> Model.seed().replace(integrator="exact", t_slices=20)
    Model.seed(integrator='exact', t_slices=20, z_slices=8, normalisation='ends')
    >>> Model.physical().geometry
    'beam'
    """

    __slots__ = ("_kind", "_fields")

    def __init__(self, kind: str, **fields) -> None:
        if kind not in _FIELDS:
            raise ValueError(f"kind must be 'seed' or 'physical', got {kind!r}")
        unknown = [name for name in fields if name not in _FIELDS[kind]]
        if unknown:
            raise TypeError(f"unknown field {unknown[0]!r} for a {kind} model; fields: "
                            f"{', '.join(_FIELDS[kind])}")
        merged = {**_FIELDS[kind], **fields}
        object.__setattr__(self, "_kind", kind)
        object.__setattr__(self, "_fields", _CHECKS[kind](merged))

    @classmethod
    def seed(cls, integrator: str = "lsoda", t_slices: int = 10, z_slices: int = 8,
             normalisation: str = "ends") -> "Model":
        """fit_zscan's discretisation: on-axis intensity over the central +-tau/2 of the pulse.

        With ``integrator="lsoda"`` and ``normalisation="ends"`` the curve is fit_zscan's
        model bit for bit. Its intensity normalisation is not the physical one, so
        cross-sections fitted with it differ from those of :meth:`physical`.

        Parameters
        ----------
        integrator : {"lsoda", "exact"}
            ``"lsoda"``: each slice and time step integrated by LSODA (rtol = atol = 1e-6);
            ``"exact"``: the same steps solved exactly (matrix exponential).
        t_slices : int
            Time points across the pulse (>= 2).
        z_slices : int
            Depth points through the sample (0 for no sample, else >= 2).
        normalisation : {"ends", "linear", "none"}
            ``"ends"``: shifted so that the mean of the first and last five points is 1
            (needs at least five positions); ``"linear"``: divided by the transmittance at
            vanishing intensity; ``"none"``: the raw transmitted fraction.

        Raises
        ------
        TypeError, ValueError
            Naming the field that is refused.
        """
        return cls("seed", integrator=integrator, t_slices=t_slices, z_slices=z_slices,
                   normalisation=normalisation)

    @classmethod
    def physical(cls, geometry: str = "beam", accuracy: float = 1e-4,
                 normalisation: str = "linear", grid=None) -> "Model":
        """The physical model: energy-normalised Gaussian beam and pulse, converged grid.

        Parameters
        ----------
        geometry : {"beam", "on_axis"}
            ``"beam"``: the transmitted energy over the whole beam cross-section (an
            open-aperture detector); ``"on_axis"``: the beam axis only.
        accuracy : float
            Requested error of the normalised transmittance, in (0, 0.1]; the grid is
            chosen for it when ``grid`` is None.
        normalisation : {"linear", "ends", "none"}
            As for :meth:`seed`; ``"linear"`` divides by the exact transmittance at
            vanishing intensity.
        grid : None or tuple of int
            None: chosen automatically for ``accuracy``; or ``(time_steps, slices,
            radial_nodes)``, each >= 1, used as given.

        Raises
        ------
        TypeError, ValueError
            Naming the field that is refused.
        """
        return cls("physical", geometry=geometry, accuracy=accuracy,
                   normalisation=normalisation, grid=grid)

    @property
    def kind(self) -> str:
        """``"seed"`` or ``"physical"``."""
        return self._kind

    @property
    def fields(self) -> dict:
        """A new dict of this model's fields (without ``kind``)."""
        return dict(self._fields)

    def replace(self, **fields) -> "Model":
        """A new model of the same kind with the given fields changed.

        Raises
        ------
        TypeError
            If a field does not belong to this kind of model.
        ValueError
            If a new value is refused.
        """
        return Model(self._kind, **{**self._fields, **fields})

    def __getattr__(self, name: str):
        fields = object.__getattribute__(self, "_fields")
        try:
            return fields[name]
        except KeyError:
            raise AttributeError(f"a {self._kind} model has no field {name!r}") from None

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
        return (_rebuild, (self._kind, self._fields))

    def __repr__(self) -> str:
        args = ", ".join(f"{name}={value!r}" for name, value in self._fields.items())
        return f"Model.{self._kind}({args})"


def _rebuild(kind: str, fields: dict) -> Model:
    return Model(kind, **fields)

