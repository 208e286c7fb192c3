"""Least-squares fits of the model to a measured scan: :func:`fit`."""

from __future__ import annotations

import math
import numbers
import warnings

import numpy as np

from plix import _core
from plix._cancel import canceller
from plix._model import Model
from plix._parameters import Parameters, for_model
from plix._result import FitResult, FitStart, FitWarning
from plix._scan import Dataset, Scan
from plix._setup import Setup
from plix._simulate import aperture_value, check_populations, check_positions_for
from plix._validation import thread_count

__all__ = ["fit"]

FOCUS_OFFSET = "focus_offset_mm"
_CENTERS = ("extremum", "none", "fit")
_SETTINGS = ("ftol", "xtol", "gtol", "max_nfev", "epsfcn", "diff_step", "factor")
# Defaults measured on noisy and noise-free fits of the exact seed model (2 and 3 free
# parameters, 3 starts) and of the physical model on a fixed grid: ftol = xtol = 1e-10 recover
# noise-free parameters to about 1e-12 (1e-8 saves only 2-5 % of the evaluations); the fits
# came out the same for diff_step 1e-7 .. 1e-5 (below about 3e-7 MINPACK's own floor,
# sqrt(machine epsilon) |u|, takes over); factor 100 needed 2060 evaluations on the set,
# 1 needed 2204 and 0.1 needed 2580.
_DEFAULT_SETTINGS = {"ftol": 1e-10, "xtol": 1e-10, "gtol": 0.0, "max_nfev": 0,
                     "diff_step": 1e-6, "factor": 100.0}
BOUND_TOLERANCE = 1e-6       # relative distance that counts as "at a bound"
CORRELATION_WARNING = 0.95   # |correlation| above which two values are not separated
FLAT_CURVE = 1e-6            # a model curve that varies less than this shows no effect
MAX_STARTS = 1000            # starts of one fit
MAX_NFEV = 2**31 - 1         # MINPACK counts evaluations in a C int


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


def _scan(scan) -> Scan:
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


def _warn_bounds(params: Parameters, free, start) -> None:
    for p in free:
        value = params[p.name].value
        width = p.max - p.min
        for bound in (p.min, p.max):
            if not math.isfinite(bound):
                continue
            scale = width if math.isfinite(width) else max(abs(bound), abs(start[p.name]))
            if abs(value - bound) <= BOUND_TOLERANCE * scale:
                warnings.warn(f"{p.name} = {value!r} is at its bound {bound!r}: the data "
                              f"push it outside the allowed range; its uncertainty is not "
                              f"meaningful", FitWarning, stacklevel=6)


def _warn_correlations(names, correlation) -> None:
    n = len(names)
    for i in range(n):
        for j in range(i + 1, n):
            c = correlation[i, j]
            if np.isfinite(c) and abs(c) > CORRELATION_WARNING:
                warnings.warn(f"{names[i]} and {names[j]} are correlated ({c:+.4f}): the data "
                              f"do not separate them", FitWarning, stacklevel=6)


def _warn_flat(scan: Scan, spans) -> None:
    flat = [d.energy_J for d, s in zip(scan, spans) if not s >= FLAT_CURVE]
    if flat:
        warnings.warn(f"the model curve is flat (within {FLAT_CURVE:g}) at the start values for "
                      f"the energies {flat} J: the fit cannot see the parameters. The usual "
                      f"cause is units: energies in J, w0 and wavelength in m, positions in mm",
                      FitWarning, stacklevel=6)


def _chosen_grid(outcome):
    """The grid the model chose for the fit, or None when it chose none."""
    grid = tuple(int(g) for g in outcome.discretisation.grid)
    return grid or None


def _model_with_grid(model: Model, outcome) -> Model:
    """The model as the fit ran it: with the grid it chose, that grid fixed."""
    grid = _chosen_grid(outcome)
    return model.replace(grid=grid) if grid is not None else model


def _grid_used(model: Model, outcome):
    if not model.grid_names:
        return None
    chosen = _chosen_grid(outcome)
    return chosen if chosen is not None else tuple(model.grid)


def fit(scan: Scan, setup: Setup, params: Parameters, model: Model | None = None,
        n_starts: int = 3, center: str = "extremum", threads: int | None = None,
        iter_cb=None, cancel=None, **settings) -> FitResult:
    """Fit the model to a measured scan by least squares (MINPACK's lmdif).

    Parameters
    ----------
    scan : Scan
        The data, one dataset per pulse energy. With ``sigma`` on every dataset the
        residuals are (data - model) / sigma and the uncertainties are absolute; without,
        all points weigh the same and the covariance is scaled by the reduced chi-square
        (as ``scipy.optimize.curve_fit`` with ``absolute_sigma=False``).
    setup : Setup
        The experiment.
    params : Parameters
        Start values; those with ``vary`` set are fitted inside ``[min, max]`` (default
        (0, inf), explored in log space; finite bounds on both sides use MINUIT's sin map, one
        other finite bound its sqrt map, both of which reach the bound). Not modified.
    model : Model, optional
        Default ``Model.physical()``. A model that chooses its grid (the physical model with
        an automatic grid) chooses it once at the start values (the finest needed by any
        dataset) and keeps it fixed, so that the model is smooth in the parameters;
        ``result.model`` holds it.
    n_starts : int, optional
        The user's values first, then ``n_starts - 1`` starts with every free parameter
        multiplied by a factor log-spaced over 10^-0.52 .. 10^0.52 (1 excluded), kept
        inside the bounds. The smallest chi-square wins. Default 3.
    center : {"extremum", "none", "fit"}, optional
        "extremum" (default): each dataset's positions are shifted so that its focus, by the
        model's rule, is at 0 (for open-aperture models its data extremum: the minimum for a
        dip, the maximum for a peak; a dataset is a dip when its minimum lies farther than
        its maximum from the mean of the five points at either end, positions sorted).
        "none": positions as given. "fit": one focal offset in mm, shared by the datasets,
        is fitted (started at the focus of the first dataset).
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
    **settings
        ``ftol``, ``xtol`` (default 1e-10 each), ``gtol`` (0), ``max_nfev`` (0: 200 (n + 1)
        per start), ``diff_step`` (1e-6: the relative forward-difference step of lmdif on
        each parameter) or ``epsfcn`` (lmdif's own, in the internal variables), ``factor``
        (lmdif's initial step bound, 100).

    Returns
    -------
    FitResult

    Warns
    -----
    FitWarning
        Not converged; a parameter at (within 1e-6 relative of) a bound; two free values
        with |correlation| > 0.95; a model curve flat within 1e-6 at the start; uncertainties
        that cannot be computed.

    Raises
    ------
    TypeError, ValueError
        Naming the argument: no free parameter, bad bounds or a start outside them, sigma
        <= 0, non-finite data, mismatched lengths, unknown settings.
    KeyboardInterrupt
        On Ctrl-C (main thread), within about 100 ms; nothing of the fit is kept.
    plix.Cancelled
        When ``cancel`` is set.
    """
    scan = _scan(scan)
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
    workers = thread_count(threads)
    options = _settings(settings)
    free = _free_parameters(params)
    names = [p.name for p in free] + ([FOCUS_OFFSET] if center == "fit" else [])
    ndata = sum(len(d) for d in scan)
    if ndata <= len(names):
        raise ValueError(f"scan: {ndata} data points cannot determine {len(names)} free values")

    start = for_model(params, model)
    check_populations(setup, model)
    for k, d in enumerate(scan):
        check_positions_for(model, len(d), f"scan[{k}]")
        aperture_value(d.aperture, model, f"scan[{k}].aperture")
    if iter_cb is not None and not callable(iter_cb):
        raise TypeError(f"iter_cb must be callable or None, got {type(iter_cb).__name__}")
    index = {name: i for i, name in enumerate(model.parameter_names)}
    unknown = [p.name for p in free if p.name not in index]
    if unknown:
        raise ValueError(f"params: the {model.kind} model has no parameter {unknown[0]!r}")

    request = _core.FitRequest()
    request.model = model.native()
    request.setup = setup.native()
    request.start = start.tolist()
    request.free = [_core.FreeParameter(index[p.name], float(p.min), float(p.max)) for p in free]
    request.datasets = [_core.FitDataset(positions_mm=d.positions_mm, measured=d.transmittance,
                                         sigma=d.sigma, energy=d.energy_J,
                                         point_energies=d.point_energies_J,
                                         aperture=1.0 if d.aperture is None else d.aperture)
                        for d in scan]
    request.center = center
    request.n_starts = n_starts
    request.threads = workers
    request.settings = options
    if iter_cb is not None:
        request.iter_cb = iter_cb
    check = canceller(cancel)
    if check is not None:
        request.cancel = check
    outcome = _core.curve_fit(request)
    return _result(outcome, names, scan, setup, params, model, free)


def _result(outcome, names, scan, setup, params, model, free) -> FitResult:
    n = len(names)
    covariance = np.array(outcome.covariance, dtype=float).reshape(n, n)
    correlation = np.array(outcome.correlation, dtype=float).reshape(n, n)
    values = np.array(outcome.values, dtype=float)
    fitted = params.copy()
    start = {p.name: p.value for p in free}
    for i, p in enumerate(free):
        fitted[p.name].value = float(values[i])
        fitted[p.name]._set_stderr(float(np.sqrt(covariance[i, i])))
    starts = [FitStart(start=dict(zip(names, s.start)), values=dict(zip(names, s.values)),
                       chisqr=float(s.chisqr), nfev=int(s.nfev),
                       status=_core.status_name(s.info), info=int(s.info),
                       success=bool(_core.status_success(s.info)))
              for s in outcome.starts]
    fits_offset = FOCUS_OFFSET in names
    automatic = bool(outcome.discretisation.grid)
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
        focus_offset_mm=float(values[-1]) if fits_offset else None,
        focus_offset_stderr=float(np.sqrt(covariance[-1, -1])) if fits_offset else None,
        position_shifts_mm=np.array(outcome.position_shifts_mm),
        model=_model_with_grid(model, outcome), setup=setup, scan=scan,
        absolute_sigma=bool(outcome.absolute_sigma),
        grid=_grid_used(model, outcome),
        error_estimate=float(outcome.discretisation.error_estimate) if automatic else None,
        solution_grid=(tuple(int(g) for g in outcome.solution_discretisation.grid)
                       if automatic else None),
        covariance_well_conditioned=bool(outcome.covariance_well_conditioned),
        reciprocal_condition=float(outcome.reciprocal_condition))
    _warn(result, scan, fitted, free, start, outcome)
    return result


def _warn_range(result) -> None:
    """The model's own notes on where its curves are not to be trusted, at the solution."""
    values = for_model(result.params, result.model)
    seen = set()
    native_setup = result.setup.native()
    for k, d in enumerate(result.scan):
        positions = np.asarray(d.positions_mm, dtype=np.float64) - result.position_shifts_mm[k]
        aperture = 1.0 if d.aperture is None else d.aperture
        for note in _core.range_notes(result.model.native(), native_setup, values, positions,
                                      d.energy_J, aperture):
            if note not in seen:
                seen.add(note)
                warnings.warn(f"{note} (dataset {k}, {d.energy_J:g} J)", FitWarning,
                              stacklevel=5)


def _warn(result, scan, fitted, free, start, outcome) -> None:
    if result.aborted:
        return
    _warn_range(result)
    if not result.success:
        warnings.warn(f"the fit did not converge: {result.status} ({result.message})",
                      FitWarning, stacklevel=5)
    _warn_bounds(fitted, free, start)
    if not result.covariance_well_conditioned:
        warnings.warn("the uncertainties cannot be computed: J^T J is singular or too "
                      f"ill-conditioned (reciprocal condition {result.reciprocal_condition:.3g})"
                      "; some parameters do not change the model or the data do not separate "
                      "them", FitWarning, stacklevel=5)
    else:
        _warn_correlations(result.var_names, result.correlation)
    _warn_flat(scan, outcome.start_curve_span)
    sol = result.solution_grid
    if sol is not None and result.grid is not None and any(s > g for s, g in zip(sol, result.grid)):
        warnings.warn(f"at the solution the physical model needs the grid {sol} for its "
                      f"accuracy, finer than the grid {result.grid} held during the fit; fit "
                      f"again with model.replace(grid={sol})", FitWarning, stacklevel=5)
