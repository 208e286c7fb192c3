"""What labs do to scans by hand before a fit: normalisation by the wings, removal of a
linear tilt, division of closed- by open-aperture curves. Each step is optional and says
what it did."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass

import numpy as np

__all__ = ["Preprocessing", "preprocess"]

# Two datasets are the closed and open curves of one measurement when their energies agree
# to this relative tolerance (the same energy typed into two files) and their positions to
# POSITION_MATCH_MM (the same stage steps).
ENERGY_MATCH_RTOL = 1e-6
POSITION_MATCH_MM = 1e-6


@dataclass(frozen=True)
class Preprocessing:
    """The preprocessing steps asked for, in the order they run.

    Parameters
    ----------
    normalize : bool
        Divide each dataset by the mean transmittance of its wings: the ``wings`` points at
        the smallest and the ``wings`` at the largest positions.
    detilt : bool
        Divide each dataset by the straight line through its wing points, scaled to 1 at the
        wings' mean position: a linear tilt (drift, a wedge) is removed and the level kept.
        With ``normalize`` the dataset is divided by the line itself.
    divide : bool
        Divide each closed-aperture dataset by the open-aperture dataset of the same energy
        and positions; the open datasets used are dropped. Dividing removes the absorptive
        part only approximately (Sheik-Bahae et al. 1990, good to about 10 % for phase
        shifts up to 1): a joint fit of the open and closed curves is better and needs no
        division.
    wings : int
        Points at each end used by ``normalize`` and ``detilt`` (default 5).

    Raises
    ------
    TypeError, ValueError
        ``wings`` is not a whole number of at least 1; a flag is not a bool.
    """

    normalize: bool = False
    detilt: bool = False
    divide: bool = False
    wings: int = 5

    def __post_init__(self):
        for name in ("normalize", "detilt", "divide"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"{name} must be True or False, got {getattr(self, name)!r}")
        if isinstance(self.wings, bool) or not isinstance(self.wings, numbers.Integral):
            raise TypeError(f"wings must be a whole number of points, got {self.wings!r}")
        if self.wings < 1:
            raise ValueError(f"wings must be at least 1 point at each end, got {self.wings}")
        object.__setattr__(self, "wings", int(self.wings))

    @property
    def active(self) -> bool:
        """Whether any step is asked for."""
        return self.normalize or self.detilt or self.divide


def _name(k: int, d) -> str:
    where = "open" if d.aperture is None else f"S = {d.aperture:g}"
    return f"dataset {k + 1} ({d.energy_J:.4g} J, {where})"


def _rebuilt(d, transmittance, sigma):
    from . import Dataset

    energy = d.energy_J if d.point_energies_J is None else d.point_energies_J
    return Dataset(d.positions_mm, transmittance, energy, sigma, d.aperture, label=d.label)


def _baseline(k: int, d, steps: Preprocessing) -> tuple[np.ndarray, str]:
    """What to divide dataset ``d`` by, and the sentence that says so."""
    n, wings = len(d), steps.wings
    if 2 * wings > n:
        raise ValueError(f"{_name(k, d)} has {n} points, fewer than the {2 * wings} wing points "
                         f"({wings} at each end): give fewer wing points (--wings "
                         f"{max(1, n // 2)}; Python: wings={max(1, n // 2)})")
    order = np.argsort(d.positions_mm, kind="stable")
    ends = np.concatenate([order[:wings], order[-wings:]])
    z, t = d.positions_mm[ends], d.transmittance[ends]
    level = float(np.mean(t))
    if not (math.isfinite(level) and level > 0.0):
        raise ValueError(f"{_name(k, d)}: the wing points have mean transmittance {level:g}; "
                         "only a positive level can be divided by")
    wing_text = f"its {wings} + {wings} wing points"
    if not steps.detilt:
        return np.full(n, level), f"{_name(k, d)}: divided by {level:.6g}, the mean of {wing_text}"
    centre = float(np.mean(z))
    if np.ptp(z) == 0.0:
        raise ValueError(f"{_name(k, d)}: all wing points are at one position; a tilt needs "
                         "two")
    slope = float(np.sum((z - centre) * (t - level)) / np.sum((z - centre) ** 2))
    line = level + slope * (d.positions_mm - centre)  # least squares through the wings
    if not np.all(line > 0.0):
        raise ValueError(f"{_name(k, d)}: the straight line through {wing_text} crosses zero "
                         "within the scan; it cannot be divided by")
    tilt = f"a tilt of {slope / level:.4g} per mm"
    if steps.normalize:
        return line, (f"{_name(k, d)}: divided by the straight line through {wing_text} "
                      f"(level {level:.6g} at {centre:.4g} mm, {tilt})")
    return line / level, (f"{_name(k, d)}: {tilt} removed (the line through {wing_text}, "
                          "level kept)")


def _matches(closed, candidate) -> bool:
    if candidate.aperture is not None or len(candidate) != len(closed):
        return False
    if not math.isclose(candidate.energy_J, closed.energy_J, rel_tol=ENERGY_MATCH_RTOL):
        return False
    return bool(np.all(np.abs(candidate.positions_mm - closed.positions_mm) <= POSITION_MATCH_MM))


def _divided(closed, open_):
    ratio = closed.transmittance / open_.transmittance
    if closed.sigma is None and open_.sigma is None:
        return ratio, None
    relative = [np.zeros(len(closed)) if d.sigma is None else d.sigma / d.transmittance
                for d in (closed, open_)]
    return ratio, np.abs(ratio) * np.hypot(*relative)


def preprocess(scan, preprocessing=None, **steps):
    """Normalise, detilt or divide the datasets of a scan, and say what was done.

    Parameters
    ----------
    scan : plix.Scan
    preprocessing : Preprocessing, optional
        The steps; or give them as keywords (``normalize=True, wings=4``).
    **steps
        Fields of :class:`Preprocessing`, replacing those of ``preprocessing``.

    Returns
    -------
    scan : plix.Scan
        The datasets after the steps (a new scan; ``scan`` is unchanged). Uncertainties are
        divided with their values (and combined in quadrature by ``divide``); per-point
        energies and apertures are kept.
    done : tuple of str
        One sentence per dataset and step: the level divided by, the tilt removed, the
        datasets divided. Empty when no step was asked for.

    Raises
    ------
    ValueError
        Fewer points than wing points, wings whose level is not positive, a closed dataset
        without an open one at its energy and positions (with ``divide``).

    Examples
    --------
    >>> flat, done = plix.preprocess(scan, normalize=True, wings=5)   # doctest: +SKIP
    >>> print("\\n".join(done))                                         # doctest: +SKIP
    """
    from . import Scan
    from ._scan import Scan as ScanType

    if preprocessing is None:
        preprocessing = Preprocessing(**steps)
    elif not isinstance(preprocessing, Preprocessing):
        raise TypeError(f"preprocessing must be a plix.Preprocessing, got "
                        f"{type(preprocessing).__name__}")
    elif steps:
        from dataclasses import replace

        preprocessing = replace(preprocessing, **steps)
    if not isinstance(scan, ScanType):
        raise TypeError(f"scan must be a plix.Scan, got {type(scan).__name__}")
    datasets, done = list(scan), []
    if preprocessing.normalize or preprocessing.detilt:
        for k, d in enumerate(datasets):
            base, sentence = _baseline(k, d, preprocessing)
            sigma = None if d.sigma is None else d.sigma / base
            datasets[k] = _rebuilt(d, d.transmittance / base, sigma)
            done.append(sentence)
    if preprocessing.divide:
        datasets, divided = _divide(datasets)
        done.extend(divided)
    return Scan(datasets), tuple(done)


def _divide(datasets):
    closed = [k for k, d in enumerate(datasets) if d.aperture is not None]
    if not closed:
        raise ValueError("divide: the scan has no closed-aperture dataset (give each closed "
                         "curve its aperture: an aperture column, --aperture, or --curve NAME "
                         "aperture=S)")
    used, out, done = set(), {}, []
    for k in closed:
        partner = next((j for j, d in enumerate(datasets) if _matches(datasets[k], d)), None)
        if partner is None:
            raise ValueError(f"divide: {_name(k, datasets[k])} has no open-aperture dataset at "
                             "the same energy and positions to be divided by")
        ratio, sigma = _divided(datasets[k], datasets[partner])
        out[k] = _rebuilt(datasets[k], ratio, sigma)
        used.add(partner)
        done.append(f"{_name(k, datasets[k])} divided by {_name(partner, datasets[partner])} "
                    "(closed/open; a joint fit of both curves needs no division and is better)")
    kept = [out.get(k, d) for k, d in enumerate(datasets) if k not in used]
    dropped = sorted(used)
    done.append(f"open-aperture dataset(s) {', '.join(str(j + 1) for j in dropped)} used for "
                "the division and left out of the fit")
    return kept, done
