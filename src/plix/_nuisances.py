"""Quantities of the experiment fitted beside the model's parameters: :class:`Nuisances`."""

from __future__ import annotations

import math
from dataclasses import dataclass

from plix import _core

__all__ = ["Nuisances", "NuisanceValue"]

SHARED, PER_SCAN, PER_DATASET = "shared", "per_scan", "per_dataset"
SCOPES = (SHARED, PER_SCAN, PER_DATASET)
UNLABELLED = "unlabelled"  # the scan of the datasets without a label

# name prefix, engine kind, unit, bounds of each kind.
_KINDS = {
    "focus": ("focus_offset_mm", _core.NuisanceKind.focus_offset, "mm", -math.inf, math.inf),
    "baseline": ("baseline", _core.NuisanceKind.baseline, "", 0.0, math.inf),
    "tilt": ("tilt_per_mm", _core.NuisanceKind.tilt, "1/mm", -math.inf, math.inf),
    "energy_scale": ("energy_scale", _core.NuisanceKind.energy_scale, "", 0.0, math.inf),
    "w0": ("w0", _core.NuisanceKind.beam_waist, "m", 0.0, math.inf),
    "aperture": ("aperture", _core.NuisanceKind.aperture, "", 0.0, 1.0),
}


@dataclass(frozen=True)
class Nuisances:
    """What a fit adjusts about the experiment besides the model's parameters.

    Each is fitted with its standard error and listed in the result's ``nuisances`` (and in
    ``var_names``): ``focus_offset_mm``, ``baseline``, ``tilt_per_mm``, ``energy_scale``,
    ``w0`` and ``aperture``, with ``[label]`` (per scan) or ``[k]`` (per dataset) after the
    name when there is more than one. They act around any model's curve: the positions the
    model sees are the measured ones minus the focus offset; the pulse energies are
    multiplied by the energy scale; the set-up's w0 and a closed dataset's aperture S are
    replaced; the curve is multiplied by ``baseline * (1 + tilt_per_mm * z)``, z the position
    from the focus in mm.

    A scope says which datasets share one value: ``"shared"`` (all of them), ``"per_scan"``
    (the datasets with one :attr:`plix.Dataset.label`: one file, one measurement run) or
    ``"per_dataset"``; None leaves the quantity as measured.

    Parameters
    ----------
    focus : {"shared", "per_scan", "per_dataset"}, optional
        The focus offsets of a fit with ``center="fit"`` (the default): one for all
        datasets (default; one translation stage), one per scan or one per dataset.
    baseline : scope or None, optional
        A factor on the curve (a detector normalisation that is off by a little).
    tilt : scope or None, optional
        A linear slope of the baseline, per mm (drift, a wedge).
    energy_scale : scope or None, optional
        A factor on the pulse energies (the energy calibration). ``"shared"`` is one factor
        for every dataset; it trades off against the nonlinear coefficients, which the data
        can separate only where the curves saturate. ``"per_scan"`` and ``"per_dataset"``
        hold the first scan (dataset) at 1 as the reference and fit the others relative to
        it.
    w0 : bool, optional
        Fit the beam waist (the set-up's w0 is the start).
    aperture : scope or None, optional
        Fit the closed-aperture datasets' linear transmittance S (their own S is the start);
        open datasets have none.

    Raises
    ------
    ValueError
        For a scope that is not one of the above.
    """

    focus: str = SHARED
    baseline: str | None = None
    tilt: str | None = None
    energy_scale: str | None = None
    w0: bool = False
    aperture: str | None = None

    def __post_init__(self) -> None:
        if self.focus not in SCOPES:
            raise ValueError(f"Nuisances.focus must be one of {', '.join(map(repr, SCOPES))}, "
                             f"got {self.focus!r}")
        for name in ("baseline", "tilt", "energy_scale", "aperture"):
            value = getattr(self, name)
            if value is not None and value not in SCOPES:
                raise ValueError(f"Nuisances.{name} must be None or one of "
                                 f"{', '.join(map(repr, SCOPES))}, got {value!r}")
        if not isinstance(self.w0, bool):
            raise TypeError(f"Nuisances.w0 must be True or False, got {self.w0!r}")

    @classmethod
    def of(cls, value) -> "Nuisances":
        """``value`` as Nuisances: None gives the defaults; a dict its fields."""
        if value is None:
            return cls()
        if isinstance(value, Nuisances):
            return value
        if isinstance(value, dict):
            return cls(**value)
        raise TypeError(f"nuisances must be a plix.Nuisances, a dict of its fields or None, "
                        f"got {type(value).__name__}")


@dataclass(frozen=True)
class NuisanceValue:
    """A nuisance at the solution of a fit.

    Attributes
    ----------
    value, stderr : float
        The value and its standard error (None when it was held, not fitted).
    unit : str
    datasets : tuple of int
        The datasets it applies to.
    vary : bool
        Whether the fit varied it.
    """

    value: float
    stderr: float | None
    unit: str
    datasets: tuple
    vary: bool


@dataclass(frozen=True)
class NuisanceEntry:
    """One nuisance as the fit sends it to the engine."""

    name: str
    field: str
    datasets: tuple
    unit: str
    value: float  # NaN: the engine's neutral start
    min: float
    max: float
    vary: bool

    def native(self):
        return _core.Nuisance(kind=_KINDS[self.field][1], datasets=list(self.datasets),
                              value=self.value, min=self.min, max=self.max, vary=self.vary)


def scan_groups(scan) -> dict[str, list[int]]:
    """The datasets of each scan (by label, in the order labels first appear)."""
    groups: dict[str, list[int]] = {}
    for k, d in enumerate(scan):
        groups.setdefault(UNLABELLED if d.label is None else d.label, []).append(k)
    return groups


def _groups(scope: str, scan, indices) -> list[tuple[str, list[int]]]:
    """(suffix, datasets) of each value of a nuisance over the given datasets."""
    chosen = set(indices)
    if scope == SHARED:
        return [("", sorted(chosen))]
    if scope == PER_DATASET:
        return [(f"[{k}]", [k]) for k in sorted(chosen)]
    out = []
    for label, members in scan_groups(scan).items():
        mine = [k for k in members if k in chosen]
        if mine:
            out.append((f"[{label}]", mine))
    return out


def nuisance_entries(nuisances: Nuisances, scan, fit_focus: bool, starts=None,
                     hold=None) -> list[NuisanceEntry]:
    """The nuisances of a fit, in the engine's order.

    ``starts`` maps names to start values (a refit from a solution); ``hold`` maps names to
    values held fixed (a profile or a systematic shift). A single group drops its suffix.
    """
    starts, hold = dict(starts or {}), dict(hold or {})
    everything = list(range(len(scan)))
    closed = [k for k, d in enumerate(scan) if d.aperture is not None]
    plan = []
    if fit_focus:
        plan.append(("focus", nuisances.focus, everything))
    for field in ("baseline", "tilt", "energy_scale"):
        scope = getattr(nuisances, field)
        if scope is not None:
            plan.append((field, scope, everything))
    if nuisances.w0:
        plan.append(("w0", SHARED, everything))
    if nuisances.aperture is not None and closed:
        plan.append(("aperture", nuisances.aperture, closed))
    entries = []
    for field, scope, indices in plan:
        prefix, _, unit, low, high = _KINDS[field]
        groups = _groups(scope, scan, indices)
        for position, (suffix, members) in enumerate(groups):
            name = prefix + (suffix if len(groups) > 1 else "")
            reference = field == "energy_scale" and scope != SHARED and position == 0 \
                and len(groups) > 1
            value = hold.get(name, starts.get(name, 1.0 if reference else math.nan))
            entries.append(NuisanceEntry(name=name, field=field, datasets=tuple(members),
                                         unit=unit, value=float(value), min=low, max=high,
                                         vary=name not in hold and not reference))
    unknown = sorted(set(hold) - {e.name for e in entries})
    if unknown:
        raise ValueError(f"no nuisance named {unknown[0]!r}; the fit's nuisances are "
                         f"{', '.join(e.name for e in entries) or 'none'}")
    return entries
