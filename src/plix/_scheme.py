"""Level schemes as data: :class:`LevelScheme`, :class:`Transition`, :class:`Decay`."""

from __future__ import annotations

import numbers
from dataclasses import dataclass

from plix import _core

__all__ = ["Decay", "LevelScheme", "Transition"]

_PHOTONS = {1: "one_photon", 2: "two_photon"}


def _level(value, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be a level number (int, from 1), got {value!r}")
    return int(value)


def _name(value, what: str) -> str:
    if not isinstance(value, str) or not value.isidentifier():
        raise ValueError(f"{what} must be a parameter name (a Python identifier), got {value!r}")
    return value


@dataclass(frozen=True)
class Transition:
    """An absorbing transition from ``lower`` to ``upper`` (levels numbered from 1).

    ``cross_section`` names its parameter: a cross-section in m^2, or for ``photons=2`` a
    two-photon cross-section in m^4 s (1 GM = 1e-58 m^4 s), with the excitation rate
    sigma2 I^2 / (2 (h nu)^2) per molecule and the light losing sigma2 N I^2 / (h nu) per
    unit length.
    """

    lower: int
    upper: int
    cross_section: str
    photons: int = 1

    def __post_init__(self) -> None:
        object.__setattr__(self, "lower", _level(self.lower, "Transition.lower"))
        object.__setattr__(self, "upper", _level(self.upper, "Transition.upper"))
        _name(self.cross_section, "Transition.cross_section")
        if self.photons not in _PHOTONS:
            raise ValueError(f"Transition.photons must be 1 or 2, got {self.photons!r}")


@dataclass(frozen=True)
class Decay:
    """Relaxation or transfer from level ``source`` to ``target`` (numbered from 1) at the
    rate 1/lifetime; ``lifetime`` names its parameter (s; inf switches it off)."""

    source: int
    target: int
    lifetime: str

    def __post_init__(self) -> None:
        object.__setattr__(self, "source", _level(self.source, "Decay.source"))
        object.__setattr__(self, "target", _level(self.target, "Decay.target"))
        _name(self.lifetime, "Decay.lifetime")


def _transition(item) -> Transition:
    if isinstance(item, Transition):
        return item
    if isinstance(item, dict):
        return Transition(**item)
    return Transition(*item)


def _decay(item) -> Decay:
    if isinstance(item, Decay):
        return item
    if isinstance(item, dict):
        return Decay(**item)
    return Decay(*item)


def _refraction(refraction, levels: int) -> tuple[tuple[int, str], ...]:
    """The refraction volumes as ((level, name), ...), levels from 1, checked."""
    if refraction is None:
        return ()
    if isinstance(refraction, (str, bytes)):
        raise TypeError("refraction must be a mapping level -> name of its refraction volume")
    items = refraction.items() if hasattr(refraction, "items") else refraction
    pairs = []
    for item in items:
        try:
            level, name = item
        except (TypeError, ValueError):
            raise TypeError("refraction must be a mapping level -> name (or (level, name) "
                            f"pairs), got the entry {item!r}") from None
        level = _level(level, "refraction level")
        _name(name, f"refraction[{level}]")
        if not 1 <= level <= levels:
            raise ValueError(f"refraction[{level}] ({name}): level {level} lies outside "
                             f"1..{levels}")
        pairs.append((level, name))
    return tuple(pairs)


class LevelScheme:
    """Levels, the transitions that absorb light, the decays between them, and the levels
    whose population changes the refractive index.

    The names of the cross-sections and lifetimes become the parameters of the models built
    on the scheme (:meth:`plix.Model.physical`, :meth:`plix.Model.seed`): the
    cross-sections in the order of ``transitions``, then the lifetimes in the order of
    ``decays``, each name once (a name may be shared by processes of one kind). The initial
    populations (one per level, m^-3) are the set-up's ``populations``.

    A level named in ``refraction`` changes the refractive index by
    Delta n = sigma_r (N - N(0)), N(0) its initial population, sigma_r its refraction volume
    in m^3 (of either sign). The refraction volumes are parameters of the physical model
    (listed after its own), used by its closed-aperture curves; the other models, which
    compute no phase, ignore them.

    Parameters
    ----------
    levels : int
        Number of levels, 1 to 8.
    transitions : sequence
        :class:`Transition` objects, or tuples ``(lower, upper, cross_section[, photons])``.
    decays : sequence
        :class:`Decay` objects, or tuples ``(source, target, lifetime)``.
    refraction : mapping, optional
        Level (from 1) -> name of its refraction volume, for example ``{2: "sigma_r2"}``; or
        a sequence of ``(level, name)`` pairs. A level appears once; a name may be shared.

    Raises
    ------
    TypeError, ValueError
        For a level outside 1..levels, a process from a level to itself, a name that is not
        an identifier or is used for two kinds of parameter, a level with two refraction
        volumes.

    Examples
    --------
    A two-level absorber whose excited state decays in 1 ns and refracts:

    >>> scheme = LevelScheme(2, [(1, 2, "sigma_12")], [(2, 1, "lifetime_21")],
    ...                      refraction={2: "sigma_r2"})
    >>> scheme.parameter_names, scheme.refraction_names
    (('sigma_12', 'lifetime_21'), ('sigma_r2',))
    """

    __slots__ = ("_levels", "_transitions", "_decays", "_refraction", "_native")

    def __init__(self, levels: int, transitions=(), decays=(), refraction=None) -> None:
        if isinstance(levels, bool) or not isinstance(levels, numbers.Integral):
            raise TypeError(f"levels must be an int, got {type(levels).__name__}")
        transitions = tuple(_transition(t) for t in transitions)
        decays = tuple(_decay(d) for d in decays)
        volumes = _refraction(refraction, int(levels))
        processes = [(_PHOTONS[t.photons], t.lower - 1, t.upper - 1, t.cross_section)
                     for t in transitions]
        processes += [("decay", d.source - 1, d.target - 1, d.lifetime) for d in decays]
        for k, (_, a, b, name) in enumerate(processes):
            if not (1 <= a + 1 <= levels and 1 <= b + 1 <= levels):
                raise ValueError(f"{name}: levels {a + 1} -> {b + 1} lie outside 1..{levels}")
        native = _core.LevelScheme(int(levels), processes, [],
                                   [(level - 1, name) for level, name in volumes])
        self._init(int(levels), transitions, decays, volumes, native)

    def _init(self, levels, transitions, decays, refraction, native) -> None:
        problem = native.problem()
        if problem is not None:
            raise ValueError(f"scheme: {problem}")
        self._levels = levels
        self._transitions = transitions
        self._decays = decays
        self._refraction = refraction
        self._native = native

    @classmethod
    def five_level(cls) -> "LevelScheme":
        """The five-level absorber of reverse saturable absorption.

        Singlets 1, 2, 3 and triplets 4, 5: absorption 1 -> 2 (``sigma_12``), 2 -> 3
        (``sigma_23``), 4 -> 5 (``sigma_45``); decays 2 -> 1 (``lifetime_21``), 2 -> 4
        (intersystem crossing, ``lifetime_24``), 3 -> 2, 4 -> 1 and 5 -> 4. Its rate equations
        sum their terms in the order of fit_zscan's, so that the seed model reproduces
        fit_zscan bit for bit.
        """
        return cls._from_native(_core.scheme_preset("five_level"))

    @classmethod
    def preset(cls, name: str) -> "LevelScheme":
        """A scheme that comes with plix, by name (see :meth:`preset_names`)."""
        return cls._from_native(_core.scheme_preset(name))

    @staticmethod
    def preset_names() -> tuple[str, ...]:
        """The names of the schemes that come with plix."""
        return tuple(_core.scheme_preset_names())

    @classmethod
    def _from_native(cls, native) -> "LevelScheme":
        order = native.parameter_names()
        processes = native.processes
        transitions = sorted(
            (Transition(a + 1, b + 1, name, 2 if kind == "two_photon" else 1)
             for kind, a, b, name in processes if kind != "decay"),
            key=lambda t: order.index(t.cross_section))
        decays = sorted((Decay(a + 1, b + 1, name) for kind, a, b, name in processes
                         if kind == "decay"), key=lambda d: order.index(d.lifetime))
        refraction = tuple((level + 1, name) for level, name in native.refraction)
        scheme = cls.__new__(cls)
        scheme._init(native.levels, tuple(transitions), tuple(decays), refraction, native)
        return scheme

    @property
    def levels(self) -> int:
        """The number of levels."""
        return self._levels

    @property
    def transitions(self) -> tuple[Transition, ...]:
        """The absorbing transitions."""
        return self._transitions

    @property
    def decays(self) -> tuple[Decay, ...]:
        """The decays."""
        return self._decays

    @property
    def refraction(self) -> dict[int, str]:
        """A new dict level (from 1) -> name of its refraction volume."""
        return dict(self._refraction)

    @property
    def parameter_names(self) -> tuple[str, ...]:
        """The cross-sections and lifetimes this scheme gives a model, in their order."""
        return tuple(self._native.parameter_names())

    @property
    def refraction_names(self) -> tuple[str, ...]:
        """The refraction volumes' names, each once, in the order of :attr:`refraction`."""
        return tuple(self._native.refraction_names())

    def native(self):
        """The scheme as the compiled models take it."""
        return self._native

    def _key(self):
        return (self._levels, self._transitions, self._decays, self._refraction)

    def __eq__(self, other) -> bool:
        return isinstance(other, LevelScheme) and self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self):
        if self == LevelScheme.five_level():
            return (LevelScheme.five_level, ())
        return (LevelScheme, (self._levels, self._transitions, self._decays,
                              dict(self._refraction)))

    def __repr__(self) -> str:
        if self == LevelScheme.five_level():
            return "LevelScheme.five_level()"
        t = ", ".join(f"({x.lower}, {x.upper}, {x.cross_section!r}"
                      + (", 2)" if x.photons == 2 else ")") for x in self._transitions)
        d = ", ".join(f"({x.source}, {x.target}, {x.lifetime!r})" for x in self._decays)
        r = f", refraction={dict(self._refraction)!r}" if self._refraction else ""
        return f"LevelScheme({self._levels}, [{t}], [{d}]{r})"
