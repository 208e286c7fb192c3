"""Goodness of fit: the chi-square's p-value, AIC and BIC (NumPy and the standard library only)."""

from __future__ import annotations

import math

__all__ = ["chi2_pvalue", "information_criteria"]

# The incomplete gamma function: series below a + 1, Lentz's continued fraction above
# (Press et al., Numerical Recipes, 3rd ed., section 6.2), to this relative accuracy.
_EPS = 1e-15
_TINY = 1e-300
_MAX_TERMS = 10_000


def _lower_series(a: float, x: float) -> float:
    """P(a, x) by its series."""
    term = total = 1.0 / a
    n = a
    for _ in range(_MAX_TERMS):
        n += 1.0
        term *= x / n
        total += term
        if abs(term) < abs(total) * _EPS:
            break
    return total * math.exp(-x + a * math.log(x) - math.lgamma(a))


def _upper_fraction(a: float, x: float) -> float:
    """Q(a, x) by its continued fraction."""
    b = x + 1.0 - a
    c = 1.0 / _TINY
    d = 1.0 / b
    h = d
    for i in range(1, _MAX_TERMS):
        an = -i * (i - a)
        b += 2.0
        d = an * d + b
        d = _TINY if abs(d) < _TINY else d
        c = b + an / c
        c = _TINY if abs(c) < _TINY else c
        d = 1.0 / d
        step = d * c
        h *= step
        if abs(step - 1.0) < _EPS:
            break
    return math.exp(-x + a * math.log(x) - math.lgamma(a)) * h


def chi2_pvalue(chisqr: float, dof: int) -> float:
    """The probability of a chi-square at least this large with ``dof`` degrees of freedom
    (the survival function); NaN when either is not meaningful."""
    if not (dof > 0 and math.isfinite(chisqr) and chisqr >= 0.0):
        return math.nan
    a, x = 0.5 * dof, 0.5 * chisqr
    if x == 0.0:
        return 1.0
    if x < a + 1.0:
        return max(0.0, 1.0 - _lower_series(a, x))
    return _upper_fraction(a, x)


def information_criteria(chisqr: float, ndata: int, nvarys: int,
                         absolute_sigma: bool) -> tuple[float, float]:
    """(AIC, BIC). With known uncertainties -2 ln L is the chi-square (up to a constant);
    without, the variance is estimated from the fit and -2 ln L = n ln(chi-square / n)."""
    if not (ndata > 0 and math.isfinite(chisqr) and chisqr > 0.0):
        return math.nan, math.nan
    deviance = chisqr if absolute_sigma else ndata * math.log(chisqr / ndata)
    return deviance + 2.0 * nvarys, deviance + math.log(ndata) * nvarys
