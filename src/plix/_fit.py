"""Least-squares fits of a model to measured scans: :func:`fit`, and the refits that profiles
and systematic budgets make from a solution."""

from __future__ import annotations

import dataclasses
import math
import numbers
import os
import sys
import warnings

import numpy as np

from plix import _core
from plix._cancel import canceller
from plix._model import Model
from plix._nuisances import Nuisances, NuisanceValue, nuisance_entries
from plix._parameters import Parameters, for_model
from plix._result import DatasetConditions, FitResult, FitStart, FitWarning, Minimum
from plix._scan import Dataset, Scan
from plix._setup import Setup
from plix._simulate import aperture_value, check_populations, check_positions_for
from plix._transmittance import held_transmittance, implied_transmittance
from plix._validation import thread_count

__all__ = ["fit"]

FOCUS_OFFSET = "focus_offset_mm"
_CENTERS = ("fit", "extremum", "none")
# The default: a fitted focus offset measured best on noisy synthetic scans whose focus lies
# between scan points (bench/bench_centering.py): unbiased where centring on the extremum
# shifts the curve by up to half a step.
DEFAULT_CENTER = "fit"
_SETTINGS = ("ftol", "xtol", "gtol", "max_nfev", "epsfcn", "diff_step", "factor")
# Defaults measured on noisy and noise-free fits of the exact seed model (2 and 3 free
# parameters, 3 starts) and of the physical model on a fixed grid: ftol = xtol = 1e-10 recover
# noise-free parameters to about 1e-12 (1e-8 saves only 2-5 % of the evaluations); the fits
# came out the same for diff_step 1e-7 .. 1e-5 (below about 3e-7 MINPACK's own floor,
# sqrt(machine epsilon) |u|, takes over); factor 100 needed 2060 evaluations on the set,
# 1 needed 2204 and 0.1 needed 2580.
_DEFAULT_SETTINGS = {"ftol": 1e-10, "xtol": 1e-10, "gtol": 0.0, "max_nfev": 0,
                     "diff_step": 1e-6, "factor": 100.0}
# The starts of a model that chooses its grid explore on a grid chosen for an accuracy this
# many times looser; the minima they reach are then searched again on the grid of the model's
# own accuracy. On the five-level demo (accuracy 3e-4, noise 3e-3) the fit took 8.3 s of CPU
# with every start on the final grid, 5.5 s exploring at 3 times, 4.1 s at 5, 3.1 s at 10 and
# 2.2 s at 20 to 100 (the search's first grid already meets 6e-3), all ending within 0.002
# of a standard error of each other (on grids of 80 or 81 time steps).
DEFAULT_COARSE_FACTOR = 20.0
BOUND_TOLERANCE = 1e-6       # relative distance that counts as "at a bound"
CORRELATION_WARNING = 0.95   # |correlation| above which two values are not separated
FLAT_CURVE = 1e-6            # a model curve that varies less than this shows no effect
MAX_STARTS = 1000            # starts of one fit
MAX_NFEV = 2**31 - 1         # MINPACK counts evaluations in a C int
# Two starts ended in one minimum when every free value agrees within this fraction of its
# standard error (or, where that is not finite, this relative difference).
SAME_MINIMUM_STDERRS = 0.1
SAME_MINIMUM_RELATIVE = 1e-4
# Another minimum within this (chi-square, scaled to sigma units) of the best is a rival:
# two standard deviations in one parameter.
RIVAL_DELTA_CHISQR = 4.0
# The extremum of a dataset lies between scan points when a parabola through its core (the
# points at least this fraction of the way to its extremum) puts the vertex farther than
# this fraction of a step from the extreme point, and by more than twice its own error.
CORE_FRACTION = 0.5
BETWEEN_POINTS_STEPS = 0.25


def _settings(settings: dict):
    unknown = sorted(set(settings) - set(_SETTINGS))
    if unknown:
        raise TypeError(f"fit() got unknown setting(s) {', '.join(unknown)}; the settings "
                        f"are {', '.join(_SETTINGS)}")
    if "epsfcn" in settings and "diff_step" in settings:
        raise TypeError("give either epsfcn or diff_step, not both")
    out = dict(_DEFAULT_SETTINGS)
    out.update(settings)
    for name in ("ftol", "xtol", "gtol", "factor", "diff_step", "epsfcn"):
        if name in out:
            value = out[name]
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
            if not math.isfinite(value) or value < 0 or (value == 0 and name in
                                                         ("factor", "diff_step", "epsfcn")):
                raise ValueError(f"{name} must be finite and {'positive' if name in ('factor', 'diff_step', 'epsfcn') else 'non-negative'}, got {value!r}")
    nfev = out["max_nfev"]
    if (isinstance(nfev, bool) or not isinstance(nfev, numbers.Integral) or
            not 0 <= nfev <= MAX_NFEV):
        raise ValueError(f"max_nfev must be an integer in [0, {MAX_NFEV}] (0: 200 (n + 1)), "
                         f"got {nfev!r}")
    if "epsfcn" in out:
        out.pop("diff_step", None)
    else:
        # lmdif's step is sqrt(epsfcn) |u|, and every internal variable u lies near the
        # engine's offset: this makes diff_step the relative step of a parameter.
        out["epsfcn"] = (out.pop("diff_step") / _core.fit_internal_offset) ** 2
    native = _core.FitSettings()
    native.ftol, native.xtol, native.gtol = (float(out["ftol"]), float(out["xtol"]),
                                             float(out["gtol"]))
    native.max_nfev, native.epsfcn, native.factor = (int(out["max_nfev"]), float(out["epsfcn"]),
                                                     float(out["factor"]))
    return native


def _free_parameters(params: Parameters) -> list:
    free = [p for p in params if p.vary]
    if not free:
        raise ValueError("params: no free parameter; set params[name].vary = True or call "
                         "params.vary(name, ...)")
    for p in free:
        if not p.min < p.max:
            raise ValueError(f"params[{p.name!r}]: min ({p.min!r}) must be less than max "
                             f"({p.max!r})")
        if not p.min < p.value < p.max:
            raise ValueError(f"params[{p.name!r}]: the start value {p.value!r} must lie "
                             f"strictly inside its bounds ({p.min!r}, {p.max!r})")
    return free


def scan_of(scan) -> Scan:
    """``scan`` as a Scan (a Dataset alone is one), sigma on every dataset or none."""
    if isinstance(scan, Dataset):
        return Scan([scan])
    if not isinstance(scan, Scan):
        raise TypeError(f"scan must be a plix.Scan, got {type(scan).__name__}")
    with_sigma = [d.sigma is not None for d in scan]
    if any(with_sigma) and not all(with_sigma):
        raise ValueError("scan: sigma must be given for every dataset or for none")
    return scan


def _check_count(n_starts) -> int:
    if isinstance(n_starts, bool) or not isinstance(n_starts, numbers.Integral):
        raise TypeError(f"n_starts must be an integer, got {type(n_starts).__name__}")
    if not 1 <= n_starts <= MAX_STARTS:
        raise ValueError(f"n_starts must lie in [1, {MAX_STARTS}], got {n_starts!r}: starts "
                         "are spread over 10^-0.52 .. 10^0.52 of the start values, and more "
                         "than a few dozen only repeat each other")
    return int(n_starts)


def _check_coarse_factor(coarse_factor) -> float:
    if isinstance(coarse_factor, bool) or not isinstance(coarse_factor, numbers.Real):
        raise TypeError(f"coarse_factor must be a number, got {type(coarse_factor).__name__}")
    if not (math.isfinite(coarse_factor) and coarse_factor >= 1.0):
        raise ValueError(f"coarse_factor must be a finite number >= 1 (1: every start on the "
                         f"grid of the model's own accuracy), got {coarse_factor!r}")
    return float(coarse_factor)


# --------------------------------------------------------------------------- warnings


_PACKAGE = os.path.dirname(os.path.abspath(__file__))


def _user_stacklevel() -> int:
    """The stacklevel of warnings.warn (called from WarningLog.warn) that names the first
    frame outside plix: the user's call."""
    frame, level = sys._getframe(2), 2
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    return level


class WarningLog:
    """The warnings of one fit: each raised as a FitWarning (pointing at the user's call) and
    kept, so that the result, its report and its JSON carry them."""

    def __init__(self, emit: bool = True) -> None:
        self.messages: list[str] = []
        self.emit = emit

    def warn(self, message: str) -> None:
        self.messages.append(message)
        if self.emit:
            warnings.warn(message, FitWarning, stacklevel=_user_stacklevel())


def _warn_bounds(log, params: Parameters, free, start) -> None:
    for p in free:
        value = params[p.name].value
        width = p.max - p.min
        for bound in (p.min, p.max):
            if not math.isfinite(bound):
                continue
            scale = width if math.isfinite(width) else max(abs(bound), abs(start[p.name]))
            if abs(value - bound) <= BOUND_TOLERANCE * scale:
                log.warn(f"{p.name} = {value!r} is at its bound {bound!r}: the data push it "
                         f"outside the allowed range; its uncertainty is not meaningful")


def _warn_correlations(log, names, correlation) -> None:
    n = len(names)
    for i in range(n):
        for j in range(i + 1, n):
            c = correlation[i, j]
            if np.isfinite(c) and abs(c) > CORRELATION_WARNING:
                log.warn(f"{names[i]} and {names[j]} are correlated ({c:+.4f}): the data do "
                         f"not separate them")


def _warn_flat(log, scan: Scan, spans) -> None:
    flat = [d.energy_J for d, s in zip(scan, spans) if not s >= FLAT_CURVE]
    if flat:
        log.warn(f"the model curve is flat (within {FLAT_CURVE:g}) at the start values for the "
                 f"energies {flat} J: the fit cannot see the parameters. The usual cause is "
                 f"units: energies in J, w0 and wavelength in m, positions in mm")


def _chosen_grid(discretisation):
    """The grid a model chose, or None when it chose none."""
    grid = tuple(int(g) for g in discretisation.grid)
    return grid or None


def _model_with_grid(model: Model, outcome) -> Model:
    """The model as the fit's final search ran it: with the grid it chose, that grid fixed."""
    grid = _chosen_grid(outcome.discretisation)
    return model.replace(grid=grid) if grid is not None else model


def _grid_used(model: Model, outcome):
    if not model.grid_names:
        return None
    chosen = _chosen_grid(outcome.discretisation)
    return chosen if chosen is not None else tuple(model.grid)


def _all_positions_identical(scan: Scan) -> None:
    for k, d in enumerate(scan):
        z = d.positions_mm
        if len(z) > 1 and np.all(z == z[0]):
            raise ValueError(f"scan[{k}]: every position is {z[0]:g} mm: a Z-scan moves the "
                             "sample through the focus; check the position column")


# --------------------------------------------------------------------------- the problem


@dataclasses.dataclass(frozen=True)
class FitInputs:
    """What a refit from a solution needs besides new parameters: the inputs as checked."""

    scan: Scan
    setup: Setup
    model: Model
    nuisances: Nuisances
    center: str
    linear_transmittance: float | None
    threads: int
    settings: dict
    coarse_factor: float = 1.0


def _request(inputs: FitInputs, params: Parameters, entries, n_starts: int, iter_cb=None,
             cancel=None):
    """The engine's request for a fit of `params` (those with vary set are free)."""
    model, setup = inputs.model, inputs.setup
    index = {name: i for i, name in enumerate(model.parameter_names)}
    free = [p for p in params if p.vary]
    request = _core.FitRequest()
    request.model = model.native()
    request.setup = setup.native()
    request.start = for_model(params, model).tolist()
    request.free = [_core.FreeParameter(index[p.name], float(p.min), float(p.max)) for p in free]
    request.datasets = [_core.FitDataset(positions_mm=d.positions_mm, measured=d.transmittance,
                                         sigma=d.sigma, energy=d.energy_J,
                                         point_energies=d.point_energies_J,
                                         aperture=1.0 if d.aperture is None else d.aperture)
                        for d in inputs.scan]
    request.center = "none" if inputs.center == "fit" else inputs.center
    request.nuisances = [e.native() for e in entries]
    if inputs.linear_transmittance is not None:
        request.held_transmittance = held_transmittance(
            inputs.linear_transmittance, model, setup, {p.name for p in free})
    request.n_starts = n_starts
    request.coarse_factor = inputs.coarse_factor
    request.threads = inputs.threads
    request.settings = _settings(inputs.settings)
    if iter_cb is not None:
        request.iter_cb = iter_cb
    check = canceller(cancel)
    if check is not None:
        request.cancel = check
    return request


def _start_grid(request, model: Model, checks) -> None:
    """An automatic grid as the checks chose it at the start (the finest any dataset needs,
    for the accuracy the starts explore with), so that the engine does not choose it again."""
    start = checks.start
    if start is None or start.grids is None or model.fields.get("grid", ()) is not None:
        return
    grid = tuple(int(g) for g in np.max(np.array(start.grids), axis=0))
    request.start_model = model.replace(grid=grid).native()
    request.start_grid = list(grid)
    request.start_error = float(np.max(start.errors))


def _entries(inputs: FitInputs, starts=None, hold=None):
    return nuisance_entries(inputs.nuisances, inputs.scan, inputs.center == "fit",
                            starts=starts, hold=hold)


def fit(scan: Scan, setup: Setup, params: Parameters, model: Model | None = None,
        n_starts: int = 3, center: str = DEFAULT_CENTER, threads: int | None = None,
        iter_cb=None, cancel=None, nuisances=None, linear_transmittance=None,
        on_checks=None, coarse_factor: float = DEFAULT_COARSE_FACTOR, **settings) -> FitResult:
    """Fit a model to measured scans by least squares (MINPACK's lmdif), the model's shared
    parameters and the experiment's nuisances together.

    Parameters
    ----------
    scan : Scan
        The data: any datasets (pulse energies, open and closed apertures, several files),
        fitted together with one set of model parameters. With ``sigma`` on every dataset
        the residuals are (data - model) / sigma and the uncertainties are absolute;
        without, all points weigh the same and the covariance is scaled by the reduced
        chi-square (as ``scipy.optimize.curve_fit`` with ``absolute_sigma=False``). A
        dataset's ``label`` says which scan (file) it belongs to, for nuisances per scan.
    setup : Setup
        The experiment.
    params : Parameters
        Start values; those with ``vary`` set are fitted inside ``[min, max]`` (default
        (0, inf), explored in log space; finite bounds on both sides use MINUIT's sin map, one
        other finite bound its sqrt map, both of which reach the bound). Not modified.
    model : Model, optional
        Default ``Model.physical()``. A model that chooses its grid (the physical model with
        an automatic grid) chooses it at the start values (the finest any dataset needs) for
        an accuracy ``coarse_factor`` times looser than its own, on which every start
        explores; then, at the best minimum, for its own accuracy, and searches again from
        there until the choice stays (twice at most), so that the result does not depend on
        the start or on the exploring grid; ``result.model`` holds the final grid.
    n_starts : int, optional
        The user's values first, then ``n_starts - 1`` starts with every free parameter
        multiplied by a factor log-spaced over 10^-0.52 .. 10^0.52 (1 excluded), kept
        inside the bounds. The smallest chi-square wins; every start is kept and the
        distinct minima are listed (``result.minima``). Default 3.
    center : {"fit", "extremum", "none"}, optional
        "fit" (default): focus offsets in mm are fitted, one shared by all datasets unless
        ``nuisances.focus`` says per scan or per dataset (started at the model's focus rule:
        the extremum of the open-aperture data, the crossing between peak and valley of
        closed-aperture data). "extremum": each dataset's positions are shifted so that its
        focus by that rule is at 0; a FitWarning says when the data's extremum lies between
        scan points, where this biases the fit. "none": positions as given.
    threads : int, optional
        Worker threads of the model (positions in parallel); None: the cores this process
        may use. Results do not depend on it.
    iter_cb : callable, optional
        ``iter_cb(values, nfev, chisqr)``, called after every evaluation of the residuals
        with the free values (a list in the order of ``var_names``), the evaluations so far
        and the chi-square there; returning True stops the fit (``result.aborted``). What it
        raises reaches the caller.
    cancel : threading.Event, optional
        Stops the fit (raising :class:`plix.Cancelled`) when set from another thread, within
        about 100 ms: a fit run in a worker thread is cancelled this way (Ctrl-C reaches only
        the main thread). Ctrl-C stops a fit on the main thread without it.
    nuisances : Nuisances or dict, optional
        What the fit adjusts about the experiment besides the model's parameters (focus
        offsets, baselines, tilts, energy scales, w0, apertures); see
        :class:`plix.Nuisances`. Default: a shared focus offset (with ``center="fit"``).
    linear_transmittance : float, optional
        The sample's measured linear transmittance T0 in (0, 1), held during the fit: the
        populations are scaled at every evaluation so that the ground-state absorption
        gives it (a model without a populated absorbing level gets alpha0 = -ln(T0)/L).
        This fixes what the curves alone hardly constrain (sigma_12 times N1).
    on_checks : callable, optional
        Called with the :class:`plix.Checks` of the inputs before the fit runs (the command
        line prints them).
    coarse_factor : float, optional
        How much looser (>= 1) the accuracy of the grid the starts explore on is than the
        model's (at most the loosest the model accepts); default 20. The minima within
        Delta chi2 = 25 of the best are searched again on the final grid, the others keep
        the exploring grid's values and chi-square (``FitStart.refined`` False). 1: every
        start on the final grid (the first start's solution chooses it). Models without a
        grid to choose ignore it.
    **settings
        ``ftol``, ``xtol`` (default 1e-10 each), ``gtol`` (0), ``max_nfev`` (0: 200 (n + 1)
        per start), ``diff_step`` (1e-6: the relative forward-difference step of lmdif on
        each parameter) or ``epsfcn`` (lmdif's own, in the internal variables), ``factor``
        (lmdif's initial step bound, 100).

    Returns
    -------
    FitResult
        With the fitted parameters and nuisances, their covariance, the statistics (chi2,
        its p-value, AIC, BIC, per dataset), the distinct minima, the checks and every
        warning raised.

    Warns
    -----
    FitWarning
        Before the fit: what :func:`plix.check` finds. After it: not converged (or not a
        minimum: a model that is not finite at the solution, a rank-deficient Jacobian);
        another minimum within Delta chi2 < 4 of the best; a parameter at (within 1e-6
        relative of) a bound; two free values with |correlation| > 0.95; a model curve
        flat within 1e-6 at the start; with ``center="extremum"``, a focus between scan
        points. Each is also in ``result.warnings``.

    Raises
    ------
    TypeError, ValueError
        Naming the argument: no free parameter, bad bounds or a start outside them, sigma
        <= 0, non-finite data, mismatched lengths, a dataset whose positions are all the
        same, unknown settings, a unit slip that :func:`plix.check` refuses.
    KeyboardInterrupt
        On Ctrl-C (main thread), within about 100 ms; nothing of the fit is kept.
    plix.Cancelled
        When ``cancel`` is set.
    """
    from plix._sanity import check

    scan = scan_of(scan)
    if not isinstance(setup, Setup):
        raise TypeError(f"setup must be a plix.Setup, got {type(setup).__name__}")
    if not isinstance(params, Parameters):
        raise TypeError(f"params must be plix.Parameters, got {type(params).__name__}")
    model = Model.physical() if model is None else model
    if not isinstance(model, Model):
        raise TypeError(f"model must be a plix.Model, got {type(model).__name__}")
    if center not in _CENTERS:
        raise ValueError(f"center must be one of {', '.join(map(repr, _CENTERS))}, got {center!r}")
    n_starts = _check_count(n_starts)
    coarse_factor = _check_coarse_factor(coarse_factor)
    workers = thread_count(threads)
    _settings(settings)
    nuisances = Nuisances.of(nuisances)
    if center != "fit" and nuisances.focus != "shared":
        raise ValueError(f"nuisances.focus={nuisances.focus!r} needs center='fit' (the focus "
                         f"offsets are fitted then), got center={center!r}")
    free = _free_parameters(params)
    inputs = FitInputs(scan=scan, setup=setup, model=model, nuisances=nuisances, center=center,
                       linear_transmittance=linear_transmittance, threads=workers,
                       settings=dict(settings), coarse_factor=coarse_factor)
    entries = _entries(inputs)
    names = [p.name for p in free] + [e.name for e in entries if e.vary]
    ndata = sum(len(d) for d in scan)
    if ndata <= len(names):
        raise ValueError(f"scan: {ndata} data points cannot determine {len(names)} free values "
                         f"({', '.join(names)})")

    for_model(params, model)
    check_populations(setup, model)
    _all_positions_identical(scan)
    for k, d in enumerate(scan):
        check_positions_for(model, len(d), f"scan[{k}]")
        aperture_value(d.aperture, model, f"scan[{k}].aperture")
    if iter_cb is not None and not callable(iter_cb):
        raise TypeError(f"iter_cb must be callable or None, got {type(iter_cb).__name__}")
    if on_checks is not None and not callable(on_checks):
        raise TypeError(f"on_checks must be callable or None, got {type(on_checks).__name__}")
    index = {name: i for i, name in enumerate(model.parameter_names)}
    unknown = [p.name for p in free if p.name not in index]
    if unknown:
        raise ValueError(f"params: the {model.kind} model has no parameter {unknown[0]!r}")
    request = _request(inputs, params, entries, n_starts, iter_cb, cancel)  # checks T0

    log = WarningLog()
    checks = check(scan, setup, params, model, nvarys=len(names), n_starts=n_starts,
                   threads=workers, linear_transmittance=linear_transmittance, center=center,
                   cancel=cancel, warn=log.warn, coarse_factor=coarse_factor)
    if on_checks is not None:
        on_checks(checks)
    _start_grid(request, model, checks)
    outcome = _core.curve_fit(request)
    result = _result(outcome, inputs, params, entries, log, checks)
    _warn(result, log, params, outcome)
    result.warnings = tuple(log.messages)
    return result


def refit(result: FitResult, params: Parameters | None = None, *, setup=None, scan=None,
          hold=None, n_starts: int = 1) -> FitResult:
    """A fit of the same problem started at `result`'s solution, with changes: other
    parameters (those with vary unset held at their values), set-up or scan, nuisances held
    (name -> value). Without free values the chi-square is evaluated. No checks, no warnings:
    the caller (a profile, a systematic budget) judges the outcome."""
    inputs = result._inputs
    if inputs is None:
        raise ValueError("this result cannot be refitted: it was not made by plix.fit")
    changes = {}
    if setup is not None:
        changes["setup"] = setup
    if scan is not None:
        changes["scan"] = scan_of(scan)
    inputs = dataclasses.replace(inputs, model=result.model, **changes)
    params = result.params if params is None else params
    starts = {name: v.value for name, v in result.nuisances.items()}
    entries = _entries(inputs, starts=starts, hold=hold)
    outcome = _core.curve_fit(_request(inputs, params, entries, n_starts))
    log = WarningLog(emit=False)
    out = _result(outcome, inputs, params, entries, log, None)
    out.warnings = tuple(log.messages)
    return out


# --------------------------------------------------------------------------- the result


def _result(outcome, inputs: FitInputs, params, entries, log, checks) -> FitResult:
    free = [p for p in params if p.vary]
    varying = [e for e in entries if e.vary]
    names = [p.name for p in free] + [e.name for e in varying]
    n = len(names)
    covariance = np.array(outcome.covariance, dtype=float).reshape(n, n)
    correlation = np.array(outcome.correlation, dtype=float).reshape(n, n)
    values = np.array(outcome.values, dtype=float)
    fitted = params.copy()
    for i, p in enumerate(free):
        fitted[p.name]._set_stderr(float(np.sqrt(covariance[i, i])))
    # Every value as the engine ended: the free ones, and alpha0 where it holds T0.
    for name, value in zip(inputs.model.parameter_names, outcome.params):
        if name in fitted and fitted[name].value != value:
            fitted[name].set(value=float(value), min=min(fitted[name].min, float(value)),
                             max=max(fitted[name].max, float(value)))
    starts = [FitStart(start=dict(zip(names, s.start)), values=dict(zip(names, s.values)),
                       chisqr=float(s.chisqr), nfev=int(s.nfev),
                       status=_core.status_name(s.info), info=int(s.info),
                       success=bool(_core.status_success(s.info)),
                       joined=int(s.joined) if s.joined >= 0 else None,
                       refined=bool(s.refined))
              for s in outcome.starts]
    nuisance_values = {}
    for e, value in zip(entries, outcome.nuisance_values):
        i = names.index(e.name) if e.vary else None
        stderr = None if i is None else float(np.sqrt(covariance[i, i]))
        nuisance_values[e.name] = NuisanceValue(value=float(value), stderr=stderr, unit=e.unit,
                                                datasets=e.datasets, vary=e.vary)
    shared = nuisance_values.get(FOCUS_OFFSET)
    model, setup, scan = inputs.model, inputs.setup, inputs.scan
    automatic = bool(outcome.start_discretisation.grid)
    fitted_setup = dataclasses.replace(
        setup, w0=float(outcome.w0),
        populations=None if setup.populations is None else tuple(outcome.populations))
    fitted_model = _model_with_grid(model, outcome)
    result = FitResult(
        params=fitted, var_names=names, values=values, covariance=covariance,
        correlation=correlation, chisqr=float(outcome.chisqr), redchi=float(outcome.redchi),
        ndata=int(outcome.ndata), nvarys=int(outcome.nvarys), nfree=int(outcome.nfree),
        nfev=int(outcome.nfev), total_nfev=int(outcome.total_nfev),
        success=bool(outcome.success), aborted=bool(outcome.aborted),
        status=_core.status_name(outcome.info), message=_core.status_message(outcome.info),
        info=int(outcome.info),
        residuals=[np.array(r) for r in outcome.residuals],
        best_fit=[np.array(b) for b in outcome.best_fit], starts=starts,
        best_start=int(outcome.best_start),
        focus_offset_mm=None if shared is None else shared.value,
        focus_offset_stderr=None if shared is None else shared.stderr,
        position_shifts_mm=np.array(outcome.position_shifts_mm),
        model=fitted_model, setup=setup, scan=scan,
        absolute_sigma=bool(outcome.absolute_sigma),
        grid=_grid_used(model, outcome),
        error_estimate=float(outcome.discretisation.error_estimate) if automatic else None,
        solution_grid=(tuple(int(g) for g in outcome.solution_discretisation.grid)
                       if automatic else None),
        covariance_well_conditioned=bool(outcome.covariance_well_conditioned),
        reciprocal_condition=float(outcome.reciprocal_condition),
        nuisances=nuisance_values,
        dataset_chisqr=np.array(outcome.dataset_chisqr, dtype=float),
        conditions=tuple(DatasetConditions(offset_mm=c.offset_mm, baseline=c.baseline,
                                           tilt_per_mm=c.tilt_per_mm,
                                           energy_scale=c.energy_scale,
                                           aperture=(None if scan[k].aperture is None
                                                     else c.aperture))
                         for k, c in enumerate(outcome.conditions)),
        fitted_setup=fitted_setup,
        linear_transmittance=(inputs.linear_transmittance
                              if inputs.linear_transmittance is not None else
                              implied_transmittance(fitted_model, fitted_setup,
                                                    for_model(fitted, fitted_model))),
        transmittance_held=inputs.linear_transmittance is not None,
        center=inputs.center,
        start_grid=_chosen_grid(outcome.start_discretisation),
        explored=bool(outcome.explored),
        start_error_estimate=(float(outcome.start_discretisation.error_estimate)
                              if automatic else None),
        grid_refits=int(outcome.grid_refits),
        checks=checks,
        _inputs=inputs)
    result.minima = _distinct_minima(result)
    return result


def _distinct_minima(result: FitResult) -> tuple:
    """The starts' ends grouped into minima, best first, with Delta chi2 in sigma units."""
    scale = 1.0 if result.absolute_sigma or not result.redchi > 0 else result.redchi
    stderrs = np.sqrt(np.abs(np.diag(result.covariance))) if result.covariance.size else []
    # Ends on the final grid first: the best minimum is one of them.
    ends = sorted((k for k, s in enumerate(result.starts) if s.success),
                  key=lambda k: (not result.starts[k].refined, result.starts[k].chisqr))
    groups: list[list[int]] = []
    for k in ends:
        values = result.starts[k].values
        for group in groups:
            other = result.starts[group[0]].values
            if all(_same(values[name], other[name], stderrs[i] if i < len(stderrs) else math.nan)
                   for i, name in enumerate(result.var_names)):
                group.append(k)
                break
        else:
            groups.append([k])
    if not groups:
        return ()
    best = result.starts[groups[0][0]].chisqr
    return tuple(Minimum(values=dict(result.starts[g[0]].values),
                         chisqr=result.starts[g[0]].chisqr,
                         delta_chisqr=(result.starts[g[0]].chisqr - best) / scale,
                         starts=tuple(g), refined=result.starts[g[0]].refined)
                 for g in groups)


def _same(a: float, b: float, stderr: float) -> bool:
    if math.isfinite(stderr) and stderr > 0.0:
        return abs(a - b) <= SAME_MINIMUM_STDERRS * stderr
    return abs(a - b) <= SAME_MINIMUM_RELATIVE * max(abs(a), abs(b))


def _warn_range(log, result) -> None:
    """The model's own notes on where its curves are not to be trusted, at the solution."""
    values = for_model(result.params, result.model)
    seen = set()
    native_setup = result.fitted_setup.native()
    for k, d in enumerate(result.scan):
        positions = np.asarray(d.positions_mm, dtype=np.float64) - result.position_shifts_mm[k]
        condition = result.conditions[k]
        aperture = 1.0 if condition.aperture is None else condition.aperture
        energy = d.energy_J * condition.energy_scale
        for note in _core.range_notes(result.model.native(), native_setup, values, positions,
                                      energy, aperture):
            if note not in seen:
                seen.add(note)
                log.warn(f"{note} (dataset {k}, {d.energy_J:g} J)")


def _warn_rivals(log, result) -> None:
    """Another minimum within RIVAL_DELTA_CHISQR of the best."""
    for m in result.minima[1:]:
        if m.delta_chisqr < RIVAL_DELTA_CHISQR:
            best = result.minima[0].values
            differ = ", ".join(f"{name} = {m.values[name]:.4g} (best {best[name]:.4g})"
                               for name in result.var_names
                               if not _same(m.values[name], best[name], math.nan))
            log.warn(f"another minimum lies within Delta chi2 = {m.delta_chisqr:.3g} of the "
                     f"best (start {m.starts[0] + 1}): {differ}; the data do not choose "
                     "between them: give the measured linear transmittance, hold a "
                     "parameter, or add scans at other energies")


def _warn_transmittance(log, result) -> None:
    """Fitted values that imply a sample too dark to have been measured."""
    from plix._sanity import SMALLEST_TRANSMITTANCE

    t0 = result.linear_transmittance
    if not result.transmittance_held and t0 is not None and t0 < SMALLEST_TRANSMITTANCE:
        log.warn(f"the fitted values and populations imply a linear transmittance T0 = "
                 f"{t0:.3g}: give the measured T0 (linear_transmittance=, command line --T0), "
                 "which fixes sigma N")


def _core_vertex(d) -> tuple[float, float, float] | None:
    """(vertex, its standard error, extreme point) of a parabola through the core of a dip or
    peak (the points at least CORE_FRACTION of the way from the wings' mean to the
    extremum), positions in mm; None when there are too few."""
    order = np.argsort(d.positions_mm, kind="stable")
    z = np.asarray(d.positions_mm, dtype=float)[order]
    t = np.asarray(d.transmittance, dtype=float)[order]
    ends = min(5, z.size // 2)
    if ends < 1:
        return None
    baseline = 0.5 * (t[:ends].mean() + t[-ends:].mean())
    dip = baseline - t.min() >= t.max() - baseline
    k = int(np.argmin(t) if dip else np.argmax(t))
    depth = t - baseline
    core = np.flatnonzero(np.abs(depth) >= CORE_FRACTION * abs(depth[k]))
    core = core[(core >= k - 3) & (core <= k + 3)]
    if core.size < 4:
        return None
    x = z[core] - z[k]
    design = np.vstack([x ** 2, x, np.ones_like(x)]).T
    coef, residual, rank, _ = np.linalg.lstsq(design, t[core], rcond=None)
    if rank < 3 or coef[0] == 0.0:
        return None
    dof = core.size - 3
    variance = (float(residual[0]) / dof if residual.size and dof > 0 else 0.0)
    cov = variance * np.linalg.pinv(design.T @ design)
    a, b = coef[0], coef[1]
    vertex = -b / (2.0 * a)
    gradient = np.array([b / (2.0 * a * a), -1.0 / (2.0 * a), 0.0])
    return z[k] + vertex, float(np.sqrt(max(gradient @ cov @ gradient, 0.0))), float(z[k])


def _warn_between_points(log, result) -> None:
    """With centring on the extremum: datasets whose extremum lies between scan points."""
    for k, d in enumerate(result.scan):
        if d.aperture is not None:
            continue
        found = _core_vertex(d)
        if found is None:
            continue
        vertex, error, extreme = found
        step = float(np.median(np.diff(np.sort(d.positions_mm))))
        shift = vertex - extreme
        if abs(shift) > BETWEEN_POINTS_STEPS * step and abs(shift) > 2.0 * error:
            log.warn(f"dataset {k} ({d.energy_J:g} J): its extremum lies between scan points, "
                     f"about {shift:+.3g} mm from the point at {extreme:g} mm it was centred "
                     f"on (steps of {step:.3g} mm): center='fit' fits the focus instead")


def _warn(result, log, params, outcome) -> None:
    if result.aborted:
        return
    free = [p for p in params if p.vary]
    start = {p.name: p.value for p in free}
    _warn_range(log, result)
    if result.status == "non_finite":
        log.warn(f"the fit is not a solution: {result.message}")
    elif result.status == "rank_deficient":
        log.warn("the uncertainties cannot be computed and the solution is not unique: J^T J "
                 f"is singular or too ill-conditioned (reciprocal condition "
                 f"{result.reciprocal_condition:.3g}); some parameters do not change the model "
                 "or the data do not separate them")
    elif not result.success:
        log.warn(f"the fit did not converge: {result.status} ({result.message})")
    _warn_rivals(log, result)
    _warn_transmittance(log, result)
    _warn_bounds(log, result.params, free, start)
    if result.covariance_well_conditioned:
        _warn_correlations(log, result.var_names, result.correlation)
    elif result.status != "rank_deficient" and result.success:
        log.warn("the uncertainties cannot be computed: J^T J is singular or too "
                 f"ill-conditioned (reciprocal condition {result.reciprocal_condition:.3g})")
    _warn_flat(log, result.scan, outcome.start_curve_span)
    if result.center == "extremum":
        _warn_between_points(log, result)
    sol = result.solution_grid
    if sol is not None and result.grid is not None and any(s > g for s, g in zip(sol, result.grid)):
        log.warn(f"at the solution the physical model needs the grid {sol} for its accuracy, "
                 f"finer than the grid {result.grid} held during the fit; fit again with "
                 f"model.replace(grid={sol})")
