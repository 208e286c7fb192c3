"""The outcome of :func:`plix.fit`."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from plix._model import Model
from plix._parameters import Parameters
from plix._scan import Scan
from plix._setup import Setup

__all__ = ["DatasetConditions", "FitResult", "FitStart", "FitWarning", "Minimum"]


class FitWarning(RuntimeWarning):
    """A fit finished, but its result needs care (not converged, a parameter at a bound,
    parameters the data do not separate, a flat model curve, unavailable uncertainties)."""


@dataclass(frozen=True)
class FitStart:
    """One start of a fit and where it ended.

    Attributes
    ----------
    start, values : dict
        Free values (name -> value) at the start and at the end of this start's search.
    chisqr : float
        Chi-square at ``values``.
    nfev : int
        Evaluations of this start.
    status : str
        MINPACK's outcome (see :attr:`FitResult.status`).
    info : int
        MINPACK's info value.
    success : bool
        Whether this search reached a minimum.
    joined : int or None
        When the search was stopped because it had reached the minimum that another start
        found (its values within about 1 % of that minimum's and its chi-square within 0.1 of
        one residual's variance): that start's index (usually an earlier one; after exploring
        on a coarse grid, any); its values and chi-square are then that start's. None
        otherwise.
    refined : bool
        False when the fit explored on a coarse grid (``coarse_factor``) and this start's end
        lay too far above the best (Delta chi2 > 25) to be searched again on the final grid:
        its values and chi-square are then the exploring grid's. True otherwise.
    """

    start: dict
    values: dict
    chisqr: float
    nfev: int
    status: str
    info: int
    success: bool
    joined: int | None = None
    refined: bool = True


@dataclass(frozen=True)
class Minimum:
    """A distinct minimum that one or more starts of a fit ended in.

    Attributes
    ----------
    values : dict
        Free values (name -> value) there.
    chisqr : float
    delta_chisqr : float
        Chi-square above the best minimum, in units of sigma (divided by the reduced
        chi-square when no sigma was given): 1 is one standard deviation in one parameter.
    starts : tuple of int
        The starts (indices into ``FitResult.starts``) that ended there.
    refined : bool
        False for a minimum found while exploring on a coarse grid and not searched again on
        the final one (far above the best; see :attr:`FitStart.refined`): its values and
        chi-square are the exploring grid's.
    """

    values: dict
    chisqr: float
    delta_chisqr: float
    starts: tuple
    refined: bool = True


@dataclass(frozen=True)
class DatasetConditions:
    """What one dataset's curve was computed with at the solution: the focus offset (mm,
    beside any centring shift), the baseline factor, the tilt (per mm), the energy scale and
    the aperture's linear transmittance (None: open)."""

    offset_mm: float
    baseline: float
    tilt_per_mm: float
    energy_scale: float
    aperture: float | None


@dataclass(eq=False)
class FitResult:
    """Everything :func:`plix.fit` found.

    Attributes
    ----------
    params : Parameters
        The fitted parameters; free ones carry ``stderr``.
    var_names : list of str
        The free parameters in the order of ``covariance``; ``"focus_offset_mm"`` last
        when the focal offset was fitted.
    values : ndarray
        The free values at the solution, in the order of ``var_names``.
    covariance, correlation : ndarray
        Over ``var_names``. The covariance is (J^T J)^-1 of the weighted residuals, scaled
        by ``redchi`` unless every dataset had ``sigma`` (``absolute_sigma``). Infinite
        variances and NaN elsewhere when J^T J cannot be inverted.
    chisqr, redchi : float
        Sum of squared weighted residuals, and that over ``nfree``.
    ndata, nvarys, nfree : int
        Data points, free values, degrees of freedom.
    nfev, total_nfev : int
        Evaluations of the winning start, and of the whole fit.
    success : bool
        Whether the winning start reached a minimum.
    aborted : bool
        Whether ``iter_cb`` stopped the fit (then ``success`` is False and the uncertainties
        are NaN).
    status, message : str
        MINPACK's outcome as a name (``"ftol"``, ``"xtol"``, ``"ftol_and_xtol"``,
        ``"gtol"``, ``"max_nfev"``, ``"ftol_too_small"``, ``"xtol_too_small"``,
        ``"gtol_too_small"``, ``"improper_input"``, ``"aborted"``) and its text.
    info : int
        MINPACK's info value of the winning start.
    residuals, best_fit : list of ndarray
        Per dataset, data - model (not weighted) and the model at the data's positions.
    starts : list of FitStart
        Every start, the user's own first.
    best_start : int
        Index of the winning start in ``starts``.
    focus_offset_mm, focus_offset_stderr : float or None
        The fitted focal offset (mm) and its standard error, when ``center="fit"``.
    position_shifts_mm : ndarray
        Per dataset, what was subtracted from its positions before the model saw them.
    model : Model
        The model used (with a grid chosen for the fit, that grid fixed).
    setup : Setup
    scan : Scan
        The inputs.
    absolute_sigma : bool
        Whether the uncertainties come from the given sigma.
    grid, error_estimate : tuple or None, float or None
        The model's grid held during the fit and its error estimate at the start (None for a
        model without one; the estimate None for a grid given by the user).
    solution_grid : tuple or None
        The grid the model would choose at the solution (automatic grids only).
    covariance_well_conditioned : bool
        Whether J^T J could be inverted.
    reciprocal_condition : float
        Its reciprocal condition number (with unit diagonal).
    nuisances : dict
        Name -> :class:`plix.NuisanceValue`: every nuisance of the fit (focus offsets,
        baselines, ...), fitted or held, with its standard error.
    dataset_chisqr : ndarray
        Per dataset, its part of ``chisqr``.
    conditions : tuple of DatasetConditions
        Per dataset, what its curve was computed with.
    fitted_setup : Setup
        The set-up at the solution: w0 fitted, populations scaled to the held linear
        transmittance.
    linear_transmittance : float or None
        The sample's linear transmittance: the one held, or the one the fitted values and
        populations imply (None when the model does not say).
    transmittance_held : bool
        Whether the fit held it.
    center : str
        How the positions were centred ("fit", "extremum" or "none").
    start_grid : tuple or None
        The grid chosen at the start values (``grid`` is the one chosen at the solution); for
        an exploring fit, the coarse one the starts ran on.
    explored : bool
        Whether the starts explored on a coarse grid (``coarse_factor``) before the best
        minimum was searched again on the grid of the model's own accuracy.
    start_error_estimate : float or None
        The error estimate of ``start_grid`` where it was chosen.
    grid_refits : int
        Searches made again from the solution on a grid chosen there.
    minima : tuple of Minimum
        The distinct minima the starts ended in, best first.
    warnings : tuple of str
        Every warning raised during the fit and its checks.
    checks : Checks or None
        What :func:`plix.check` showed before the fit.
    profiles : dict
        Name -> :class:`plix.Profile`, for the profiles computed (:meth:`profile`).
    systematic_budget : SystematicBudget or None
        The last budget computed (:meth:`systematics`).

    Notes
    -----
    ``status`` is also ``"non_finite"`` (the model is inf or NaN at the solution) or
    ``"rank_deficient"`` (the Jacobian is zero or rank-deficient there); then ``success``
    is False.
    """

    params: Parameters
    var_names: list
    values: np.ndarray
    covariance: np.ndarray
    correlation: np.ndarray
    chisqr: float
    redchi: float
    ndata: int
    nvarys: int
    nfree: int
    nfev: int
    total_nfev: int
    success: bool
    aborted: bool
    status: str
    message: str
    info: int
    residuals: list
    best_fit: list
    starts: list
    best_start: int
    focus_offset_mm: float | None
    focus_offset_stderr: float | None
    position_shifts_mm: np.ndarray
    model: Model
    setup: Setup
    scan: Scan
    absolute_sigma: bool
    grid: tuple | None
    error_estimate: float | None
    solution_grid: tuple | None
    covariance_well_conditioned: bool
    reciprocal_condition: float
    nuisances: dict = field(default_factory=dict)
    dataset_chisqr: np.ndarray | None = None
    conditions: tuple = ()
    fitted_setup: Setup | None = None
    linear_transmittance: float | None = None
    transmittance_held: bool = False
    center: str = "fit"
    start_grid: tuple | None = None
    explored: bool = False
    start_error_estimate: float | None = None
    grid_refits: int = 0
    minima: tuple = ()
    warnings: tuple = ()
    checks: object = None
    profiles: dict = field(default_factory=dict)
    systematic_budget: object = None
    _inputs: object = field(default=None, repr=False)

    def report(self, reference=None) -> str:
        """A text report: statistics, parameters with errors and bounds, correlations, then
        the datasets, nuisances, minima, profiles, systematic budget, checks and warnings."""
        from plix._report import format_report, global_fit_sections
        text = format_report(self, reference) if reference is not None else format_report(self)
        return text + global_fit_sections(self)

    def __str__(self) -> str:
        from plix._report import summary_line
        return summary_line(self)

    def __repr__(self) -> str:
        return f"<{self.__str__()}>"

    def derived_quantities(self):
        """The numbers papers report and those that expose unit mistakes, from the fitted
        values (:class:`plix.DerivedQuantities`; uncertainties from the covariance)."""
        from plix._derived import result_quantities
        return result_quantities(self)

    def to_dict(self) -> dict:
        """The result as plain Python types (for JSON)."""
        from plix._report import global_fit_dict, result_to_dict
        return {**result_to_dict(self), **global_fit_dict(self)}

    def to_json(self, path=None) -> str:
        """The result as standard JSON text, also written to ``path`` when given.

        Non-finite numbers (an infinite bound or lifetime, an undetermined uncertainty) are
        the strings ``"inf"``, ``"-inf"`` and ``"nan"``; :func:`plix.read_json` reads them
        back as floats.
        """
        from plix._json import to_json_text

        text = to_json_text(self.to_dict())
        if path is not None:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text + "\n")
        return text

    def plot(self, path=None):
        """Data, model and residuals per dataset (needs matplotlib); returns the figure."""
        from plix._plotting import plot_fit
        return plot_fit(self, path)

    def stderr_of(self, name: str) -> float:
        """Standard error of a free value by name (including ``"focus_offset_mm"``)."""
        i = self.var_names.index(name)
        return float(np.sqrt(self.covariance[i, i]))

    @property
    def pvalue(self) -> float:
        """The probability of a chi-square at least this large if the model is right (NaN
        without given uncertainties: the chi-square is then not in units of sigma)."""
        from plix._fitstats import chi2_pvalue
        return chi2_pvalue(self.chisqr, self.nfree) if self.absolute_sigma else math.nan

    @property
    def aic(self) -> float:
        """Akaike's information criterion (lower is better, between fits of one dataset)."""
        from plix._fitstats import information_criteria
        return information_criteria(self.chisqr, self.ndata, self.nvarys, self.absolute_sigma)[0]

    @property
    def bic(self) -> float:
        """The Bayesian information criterion (lower is better, between fits of one dataset)."""
        from plix._fitstats import information_criteria
        return information_criteria(self.chisqr, self.ndata, self.nvarys, self.absolute_sigma)[1]

    def profile(self, name: str, **options):
        """The profile likelihood of one free value: its asymmetric interval and the
        Delta chi2 curve (:func:`plix.profile`, whose options it takes). Kept in
        ``profiles``."""
        from plix._profile import profile
        found = profile(self, name, **options)
        self.profiles[name] = found
        return found

    def conf_interval(self, names=None, **options) -> dict:
        """Profile-likelihood intervals of the named free values (default all): name ->
        (lower, upper). Each profile is kept in ``profiles``."""
        names = list(self.var_names) if names is None else ([names] if isinstance(names, str)
                                                            else list(names))
        return {name: self.profile(name, **options).interval for name in names}

    def systematics(self, **options):
        """The systematic budget of the set-up's stated uncertainties
        (:func:`plix.systematic_budget`, whose options it takes); kept in
        ``systematic_budget``."""
        from plix._systematics import systematic_budget
        self.systematic_budget = systematic_budget(self, **options)
        return self.systematic_budget

    def model_curve(self, k: int, positions_mm) -> np.ndarray:
        """The fitted curve of dataset k (nuisances applied) at any measured positions (mm)."""
        from plix._plotting import fitted_curve
        return fitted_curve(self, k, np.asarray(positions_mm, dtype=float))
