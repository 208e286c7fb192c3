"""Least-squares fits of the model to a measured scan: :func:`fit`."""

from __future__ import annotations

import math
import numbers
import warnings

import numpy as np

from plix import _core
from plix._model import Model
from plix._parameters import Parameters
from plix._result import FitResult, FitStart, FitWarning
from plix._scan import Dataset, Scan
from plix._setup import Setup
from plix._validation import thread_count

__all__ = ["fit"]

FOCUS_OFFSET = "focus_offset_mm"
_CENTERS = ("extremum", "none", "fit")
_SETTINGS = ("ftol", "xtol", "gtol", "max_nfev", "epsfcn", "diff_step", "factor")
# Defaults chosen on the exact seed model and the physical model (see the fit settings in
# the documentation of fit()).
_DEFAULT_SETTINGS = {"ftol": 1e-10, "xtol": 1e-10, "gtol": 0.0, "max_nfev": 0,
                     "diff_step": 1e-7, "factor": 1.0}
BOUND_TOLERANCE = 1e-6       # relative distance that counts as "at a bound"
CORRELATION_WARNING = 0.95   # |correlation| above which two values are not separated
FLAT_CURVE = 1e-6            # a model curve that varies less than this shows no effect


def _settings(settings: dict) -> dict:
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
    if isinstance(nfev, bool) or not isinstance(nfev, numbers.Integral) or nfev < 0:
        raise ValueError(f"max_nfev must be a non-negative integer (0: 200 (n + 1)), got {nfev!r}")
    if "epsfcn" in out:
        out.pop("diff_step", None)
    else:
        # lmdif's step is sqrt(epsfcn) |u|, and every internal variable u lies near the
        # engine's offset: this makes diff_step the relative step of a parameter.
        out["epsfcn"] = (out.pop("diff_step") / _core.fit_internal_offset) ** 2
    return out


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
    if n_starts < 1:
        raise ValueError(f"n_starts must be at least 1, got {n_starts!r}")
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


def _model_with_grid(model: Model, raw: dict) -> Model:
    if model.kind == "physical" and "grid" in raw and model.grid is None:
        return model.replace(grid=tuple(int(g) for g in raw["grid"]))
    return model


def fit(scan: Scan, setup: Setup, params: Parameters, model: Model | None = None,
        n_starts: int = 3, center: str = "extremum", threads: int | None = None,
        **settings) -> FitResult:
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
        (0, inf), explored in log space; finite bounds on both sides use a sin map, one
        finite bound a log of the distance from it). Not modified.
    model : Model, optional
        Default ``Model.physical()``. For the physical model with an automatic grid the
        grid is chosen once at the start values (the finest needed by any dataset) and kept
        fixed, so that the model is smooth in the parameters; ``result.model`` holds it.
    n_starts : int, optional
        The user's values first, then ``n_starts - 1`` starts with every free parameter
        multiplied by a factor log-spaced over 10^-0.52 .. 10^0.52 (1 excluded), kept
        inside the bounds. The smallest chi-square wins. Default 3.
    center : {"extremum", "none", "fit"}, optional
        "extremum" (default): each dataset's positions are shifted so that its data
        extremum is at 0 (its minimum for a dip, its maximum for a peak; a dataset is a dip
        when its minimum lies farther than its maximum from the mean of the five points at
        either end). "none": positions as given. "fit": one focal offset in mm, shared by
        the datasets, is fitted (started at the extremum of the first dataset).
    threads : int, optional
        Worker threads of the model (positions in parallel); None: the cores this process
        may use. Results do not depend on it.
    **settings
        ``ftol``, ``xtol`` (default 1e-10 each), ``gtol`` (0), ``max_nfev`` (0: 200 (n + 1)
        per start), ``diff_step`` (1e-7: the relative forward-difference step of lmdif on
        each parameter) or ``epsfcn`` (lmdif's own, in the internal variables), ``factor``
        (lmdif's initial step bound, 1).

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
        On Ctrl-C, within about a second; nothing of the fit is kept.
    """
    return run_fit(scan, setup, params, model, n_starts, center, threads, **settings)


def run_fit(scan, setup, params, model=None, n_starts=3, center="extremum", threads=None,
            record_trials=False, **settings) -> FitResult:
    """:func:`fit`, optionally keeping every evaluated point in ``result.trials``."""
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

    index = {name: i for i, name in enumerate(params.names)}
    raw = _core.curve_fit(
        setup, model, params.as_array(), [index[p.name] for p in free],
        [float(p.min) for p in free], [float(p.max) for p in free],
        [d.positions_mm for d in scan], [d.transmittance for d in scan],
        [d.sigma for d in scan], [d.energy_J for d in scan], center, n_starts, workers,
        float(options["ftol"]), float(options["xtol"]), float(options["gtol"]),
        int(options["max_nfev"]), float(options["epsfcn"]), float(options["factor"]),
        bool(record_trials))
    return _result(raw, names, scan, setup, params, model, free, record_trials)


def _result(raw, names, scan, setup, params, model, free, record_trials) -> FitResult:
    n = len(names)
    covariance = np.array(raw["covariance"], dtype=float).reshape(n, n)
    correlation = np.array(raw["correlation"], dtype=float).reshape(n, n)
    values = np.array(raw["values"], dtype=float)
    fitted = params.copy()
    start = {p.name: p.value for p in free}
    for i, p in enumerate(free):
        fitted[p.name].value = float(values[i])
        fitted[p.name]._set_stderr(float(np.sqrt(covariance[i, i])))
    starts = [FitStart(start=dict(zip(names, s["start"])), values=dict(zip(names, s["values"])),
                       chisqr=float(s["chisqr"]), nfev=int(s["nfev"]), status=s["status"],
                       info=int(s["info"]), success=bool(s["success"]))
              for s in raw["starts"]]
    fits_offset = FOCUS_OFFSET in names
    result = FitResult(
        params=fitted, var_names=names, values=values, covariance=covariance,
        correlation=correlation, chisqr=float(raw["chisqr"]), redchi=float(raw["redchi"]),
        ndata=int(raw["ndata"]), nvarys=int(raw["nvarys"]), nfree=int(raw["nfree"]),
        nfev=int(raw["nfev"]), total_nfev=int(raw["total_nfev"]), success=bool(raw["success"]),
        status=raw["status"], message=raw["message"], info=int(raw["info"]),
        residuals=[np.array(r) for r in raw["residuals"]],
        best_fit=[np.array(b) for b in raw["best_fit"]], starts=starts,
        best_start=int(raw["best_start"]),
        focus_offset_mm=float(values[-1]) if fits_offset else None,
        focus_offset_stderr=float(np.sqrt(covariance[-1, -1])) if fits_offset else None,
        position_shifts_mm=np.array(raw["position_shifts_mm"]),
        model=_model_with_grid(model, raw), setup=setup, scan=scan,
        absolute_sigma=bool(raw["absolute_sigma"]),
        grid=tuple(raw["grid"]) if "grid" in raw else None,
        error_estimate=float(raw["error_estimate"]) if "error_estimate" in raw else None,
        solution_grid=tuple(raw["solution_grid"]) if "solution_grid" in raw else None,
        covariance_well_conditioned=bool(raw["covariance_well_conditioned"]),
        reciprocal_condition=float(raw["reciprocal_condition"]))
    if record_trials:
        result.trials = [dict(zip(names, t)) for t in raw["trials"]]
    _warn(result, scan, fitted, free, start, raw)
    return result


def _warn(result, scan, fitted, free, start, raw) -> None:
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
    _warn_flat(scan, raw["start_curve_span"])
    sol = result.solution_grid
    if sol is not None and result.grid is not None and any(s > g for s, g in zip(sol, result.grid)):
        warnings.warn(f"at the solution the physical model needs the grid {sol} for its "
                      f"accuracy, finer than the grid {result.grid} held during the fit; fit "
                      f"again with model.replace(grid={sol})", FitWarning, stacklevel=5)
