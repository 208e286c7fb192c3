"""The systematic budget of a fit: the set-up's stated uncertainties propagated to the fitted
values by refitting, beside the statistical errors. :func:`systematic_budget`."""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass

import numpy as np

__all__ = ["SystematicBudget", "systematic_budget"]

SOURCES = ("w0", "tau", "energy", "sample_width", "aperture")
METHODS = ("sensitivity", "monte_carlo")
DEFAULT_DRAWS = 30
# Aperture transmittances are kept this far inside (0, 1) when shifted.
APERTURE_MARGIN = 1e-6


@dataclass(frozen=True)
class SystematicBudget:
    """Statistical and systematic errors of every free value of a fit.

    Attributes
    ----------
    uncertainties : dict
        Source -> its relative standard uncertainty, as given.
    method : str
        ``"sensitivity"`` (each source shifted by +- its uncertainty, the others held:
        contribution = half the change of the refitted value) or ``"monte_carlo"`` (every
        source drawn together, the spread of the refitted values).
    statistical : dict
        Name -> the fit's standard error.
    contributions : dict
        Name -> {source -> systematic error} (sensitivity only; empty for Monte Carlo).
    systematic : dict
        Name -> the systematic error: the contributions added in quadrature, or the standard
        deviation over the draws.
    total : dict
        Name -> sqrt(statistical^2 + systematic^2).
    refits : int
        Fits the budget took.
    """

    uncertainties: dict
    method: str
    statistical: dict
    contributions: dict
    systematic: dict
    total: dict
    refits: int


def _shifted(result, factors: dict):
    """(setup, scan) with each source multiplied by its factor."""
    from plix._scan import Dataset, Scan

    setup = result.setup
    changes = {name: getattr(setup, name) * factors[name]
               for name in ("w0", "tau", "sample_width") if name in factors}
    setup = dataclasses.replace(setup, **changes) if changes else setup
    scan = result.scan
    energy, aperture = factors.get("energy", 1.0), factors.get("aperture", 1.0)
    if energy != 1.0 or aperture != 1.0:
        datasets = []
        for d in scan:
            energies = d.energy_J if d.point_energies_J is None else d.point_energies_J
            opening = None if d.aperture is None else float(
                np.clip(d.aperture * aperture, APERTURE_MARGIN, 1.0 - APERTURE_MARGIN))
            datasets.append(Dataset(d.positions_mm, d.transmittance, np.asarray(energies) * energy,
                                    d.sigma, opening, label=d.label))
        scan = Scan(datasets)
    return setup, scan


def _values(fitted, names) -> np.ndarray:
    out = []
    for name in names:
        out.append(float(fitted.values[fitted.var_names.index(name)])
                   if fitted.success else math.nan)
    return np.array(out)


def systematic_budget(result, *, w0=None, tau=None, energy=None, sample_width=None,
                      aperture=None, method: str = "sensitivity", draws: int = DEFAULT_DRAWS,
                      seed=None) -> SystematicBudget:
    """Propagate the set-up's uncertainties to the fitted values by refitting.

    Parameters
    ----------
    result : FitResult
    w0, tau, energy, sample_width, aperture : float, optional
        Relative standard uncertainties (0.05 for 5 %) of the beam waist, the pulse width,
        the energy calibration (every pulse energy together), the sample's thickness and
        the apertures' linear transmittance. Sources left out do not count.
    method : {"sensitivity", "monte_carlo"}
        ``"sensitivity"`` (default): two refits per source (+- its uncertainty), each
        contribution half the change; linear in the uncertainties. ``"monte_carlo"``:
        ``draws`` refits with every source drawn from a normal distribution together; the
        spread includes nonlinear effects and costs more.
    draws : int
        Monte Carlo draws (default 30).
    seed : int, optional
        Of the Monte Carlo draws.

    Returns
    -------
    SystematicBudget

    Raises
    ------
    ValueError
        No source given, an uncertainty that is not in [0, 1), an unknown method, a fit
        that did not succeed.
    """
    from plix._fit import refit

    given = {name: value for name, value in (("w0", w0), ("tau", tau), ("energy", energy),
                                             ("sample_width", sample_width),
                                             ("aperture", aperture)) if value is not None}
    if not given:
        raise ValueError(f"give at least one relative uncertainty: {', '.join(SOURCES)}")
    for name, value in given.items():
        if not (isinstance(value, (int, float)) and 0.0 <= value < 1.0):
            raise ValueError(f"{name} must be a relative uncertainty in [0, 1) (0.05 for 5 %), "
                             f"got {value!r}")
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
    if not result.success:
        raise ValueError(f"the fit did not succeed ({result.status}): nothing to propagate to")
    names = list(result.var_names)
    statistical = {name: float(result.stderr_of(name)) for name in names}
    refits = 0

    def values_at(factors):
        nonlocal refits
        refits += 1
        setup, scan = _shifted(result, factors)
        return _values(refit(result, setup=setup, scan=scan), names)

    contributions: dict = {name: {} for name in names}
    if method == "sensitivity":
        squared = np.zeros(len(names))
        for source, u in given.items():
            change = 0.5 * np.abs(values_at({source: 1.0 + u}) - values_at({source: 1.0 - u}))
            for name, c in zip(names, change):
                contributions[name][source] = float(c)
            squared += change ** 2
        systematic = np.sqrt(squared)
    else:
        if isinstance(draws, bool) or not isinstance(draws, int) or draws < 2:
            raise ValueError(f"draws must be an integer of at least 2, got {draws!r}")
        rng = np.random.default_rng(seed)
        samples = np.array([values_at({source: max(1.0 + u * rng.standard_normal(), 1e-3)
                                       for source, u in given.items()})
                            for _ in range(draws)])
        systematic = np.nanstd(samples, axis=0, ddof=1)
        contributions = {name: {} for name in names}
    total = {name: float(math.hypot(statistical[name], s)) for name, s in zip(names, systematic)}
    return SystematicBudget(uncertainties=given, method=method, statistical=statistical,
                            contributions=contributions,
                            systematic={name: float(s) for name, s in zip(names, systematic)},
                            total=total, refits=refits)
