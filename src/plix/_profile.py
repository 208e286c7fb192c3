"""Profile likelihood of one free value of a fit: :func:`profile`, :class:`Profile`.

The profile of a value is the smallest chi-square with that value held and every other free
value refitted; where it rises by sigma^2 (in units of the data's uncertainties: divided by
the reduced chi-square when none were given) lie the ends of the sigma interval. Unlike
value +- stderr it follows the chi-square where it is not a parabola.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

__all__ = ["Profile", "profile"]

# The quadratic approximation holds when both ends lie within this fraction of sigma times
# the standard error from the value.
QUADRATIC_TOLERANCE = 0.10
# Stepping out from the value: the first step is sigma standard errors, each next one twice
# as long, at most this many steps per side.
MAX_STEPS = 10
# Refinement of each end by interpolation in sqrt(Delta chi2), which is linear in the value
# where the chi-square is a parabola: at most this many refits, until Delta chi2 is this
# close (relative) to sigma^2.
MAX_REFINEMENTS = 4
LEVEL_TOLERANCE = 0.01
# The first step when the standard error is not finite: this fraction of the value (or 1).
FALLBACK_STEP = 0.1
# Stay this fraction of the way inside a finite bound.
BOUND_MARGIN = 1e-6
# Besides the ends, the curve for the figure: points at these fractions of the way to each end.
CURVE_FRACTIONS = (0.5, 1.5, 2.0)


@dataclass(frozen=True)
class Profile:
    """The profile likelihood of one free value.

    Attributes
    ----------
    name : str
    value, stderr : float
        The fitted value and its standard error (quadratic approximation).
    sigma : float
        The interval's width in standard deviations (1: Delta chi2 = 1, 68.3 %).
    lower, upper : float
        Where the profile crosses Delta chi2 = sigma^2; -inf or inf when it stays below up
        to the bound (the data do not close the interval on that side).
    points : ndarray
        (n, 2): the values profiled and Delta chi2 there, sorted by value.
    quadratic : bool
        Whether both ends lie within 10 % of sigma * stderr from the value: then value +-
        stderr may be quoted; otherwise quote the profile interval.
    refits : int
        Fits the profile took.
    """

    name: str
    value: float
    stderr: float
    sigma: float
    lower: float
    upper: float
    points: np.ndarray
    quadratic: bool
    refits: int

    @property
    def interval(self) -> tuple[float, float]:
        """(lower, upper)."""
        return (self.lower, self.upper)

    @property
    def minus(self) -> float:
        """value - lower."""
        return self.value - self.lower

    @property
    def plus(self) -> float:
        """upper - value."""
        return self.upper - self.value

    def plot(self, path=None):
        """Delta chi2 against the value, with the parabola of the standard error (needs
        matplotlib); returns the figure."""
        from plix._plotting import plot_profile
        return plot_profile(self, path)


class _Scale:
    """The profiled value on the axis it is stepped along: log for (0, inf), else linear."""

    def __init__(self, low: float, high: float):
        self.log = low == 0.0 and math.isinf(high)
        self.low, self.high = low, high

    def to(self, x: float) -> float:
        return math.log(x) if self.log else x

    def back(self, u: float) -> float:
        return math.exp(u) if self.log else u

    def inside(self, u: float, side: int) -> tuple[float, bool]:
        """u pulled inside the bound on its side; whether it had to be."""
        if self.log:
            return u, False
        bound = self.high if side > 0 else self.low
        if not math.isfinite(bound):
            return u, False
        width = abs(bound) if bound != 0 else 1.0
        limit = bound - side * BOUND_MARGIN * width
        if side * (u - limit) > 0:
            return limit, True
        return u, False


def _bounds(result, name):
    if name in result.params.names and result.params[name].vary:
        p = result.params[name]
        return float(p.min), float(p.max)
    from plix._nuisances import _KINDS

    entry = result.nuisances[name]
    low, high = math.inf, -math.inf
    for field, (prefix, *_rest, lo, hi) in _KINDS.items():
        if name == prefix or name.startswith(prefix + "["):
            low, high = lo, hi
    if entry is None or low > high:
        raise ValueError(f"{name}: not a free value of this fit")
    return low, high


def profile(result, name: str, sigma: float = 1.0, curve: bool = True) -> Profile:
    """The profile likelihood of a free value of a fit, and its asymmetric interval.

    Parameters
    ----------
    result : FitResult
        A fit made by :func:`plix.fit`.
    name : str
        One of ``result.var_names``: a model parameter or a nuisance
        (``"focus_offset_mm"``, ``"baseline[0]"``, ...).
    sigma : float, optional
        The interval in standard deviations: its ends are where Delta chi2 = sigma^2.
    curve : bool, optional
        Also profile half-way to each end and 1.5 and 2 times as far (for the figure; six
        more fits). Default True.

    Returns
    -------
    Profile

    Raises
    ------
    ValueError
        For a name that is not a free value of the fit, or a fit that did not succeed.

    Notes
    -----
    Each point is a fit of the other free values, started at the nearest point already
    fitted, with the model's grid held as the fit chose it. The values are stepped out from
    the best one (in log space for values in (0, inf)), sigma standard errors first and twice
    as far each next step, until Delta chi2 passes sigma^2; the crossing is then refined by
    interpolating sqrt(Delta chi2) linearly, which is exact for a parabola.
    """
    from plix._fit import refit

    if name not in result.var_names:
        raise ValueError(f"{name!r} is not a free value of this fit; the free values are "
                         f"{', '.join(result.var_names)}")
    if not result.success:
        raise ValueError(f"the fit did not succeed ({result.status}): there is no minimum to "
                         "profile")
    if not (isinstance(sigma, (int, float)) and sigma > 0 and math.isfinite(sigma)):
        raise ValueError(f"sigma must be a positive number, got {sigma!r}")
    level = float(sigma) ** 2
    scale = 1.0 if result.absolute_sigma else result.redchi
    best = float(result.values[result.var_names.index(name)])
    stderr = float(result.stderr_of(name))
    axis = _Scale(*_bounds(result, name))
    is_parameter = name in result.params.names
    points = {best: 0.0}
    refits = 0

    def delta(x: float, start_from):
        nonlocal refits
        refits += 1
        if is_parameter:
            params = start_from.params.copy()
            params[name].set(value=x, vary=False)
            fitted = refit(start_from, params)
        else:
            fitted = refit(start_from, hold={name: x})
        value = (fitted.chisqr - result.chisqr) / scale
        if not (math.isfinite(value) and fitted.status != "non_finite"):
            value = math.inf
        points[x] = value
        return value, fitted

    u0 = axis.to(best)
    if math.isfinite(stderr) and stderr > 0:
        first = stderr / abs(best) if axis.log else stderr
    else:
        first = FALLBACK_STEP if axis.log else FALLBACK_STEP * (abs(best) or 1.0)
    ends = []
    for side in (-1, +1):
        inner_u, inner_d, neighbour = u0, 0.0, result
        outer = None
        distance = sigma * first
        for _ in range(MAX_STEPS):
            u, clipped = axis.inside(u0 + side * distance, side)
            d, fitted = delta(axis.back(u), neighbour)
            if d >= level:
                outer = (u, d)
                break
            inner_u, inner_d, neighbour = u, d, fitted
            if clipped:
                break
            distance *= 2.0
        if outer is None:
            ends.append(side * math.inf)
            continue
        found = None
        for _ in range(MAX_REFINEMENTS):
            u = _crossing(inner_u, inner_d, *outer, level)
            d, fitted = delta(axis.back(u), neighbour)
            if abs(d - level) <= LEVEL_TOLERANCE * level:
                found = u
                break
            if d < level:
                inner_u, inner_d, neighbour = u, d, fitted
            else:
                outer = (u, d)
        if found is None:
            found = _crossing(inner_u, inner_d, *outer, level)
        ends.append(axis.back(found))
    lower, upper = ends
    if curve:
        for side, end, neighbour in ((-1, lower, result), (+1, upper, result)):
            if not math.isfinite(end):
                continue
            reach = abs(axis.to(end) - u0)
            for fraction in CURVE_FRACTIONS:
                u, clipped = axis.inside(u0 + side * fraction * reach, side)
                d, neighbour = delta(axis.back(u), neighbour)
                if clipped or not math.isfinite(d):
                    break
    quadratic = (math.isfinite(stderr) and stderr > 0 and math.isfinite(lower)
                 and math.isfinite(upper)
                 and abs((best - lower) - sigma * stderr) <= QUADRATIC_TOLERANCE * sigma * stderr
                 and abs((upper - best) - sigma * stderr) <= QUADRATIC_TOLERANCE * sigma * stderr)
    table = np.array(sorted(points.items()), dtype=float)
    return Profile(name=name, value=best, stderr=stderr, sigma=float(sigma), lower=lower,
                   upper=upper, points=table, quadratic=quadratic, refits=refits)


def _crossing(u1: float, d1: float, u2: float, d2: float, level: float) -> float:
    """Where sqrt(Delta chi2), linear between two points, reaches sqrt(level)."""
    r1, r2, target = math.sqrt(max(d1, 0.0)), math.sqrt(max(d2, 0.0)), math.sqrt(level)
    if not math.isfinite(r2) or r2 == r1:
        return 0.5 * (u1 + u2)
    return u1 + (u2 - u1) * (target - r1) / (r2 - r1)
