"""Text and plain-data views of a fit result: the report, the one-line summary, the dict."""

from __future__ import annotations

import dataclasses
import math
import textwrap

import numpy as np

__all__ = ["format_report", "summary_line", "result_to_dict"]

# Correlations between free parameters at or below this magnitude are left out of the report.
REPORTED_CORRELATION = 0.1
DEFAULT_METHOD = "Levenberg-Marquardt (MINPACK)"
# Line width of the conventions under the derived quantities.
CONVENTION_WIDTH = 96


# --------------------------------------------------------------------------- numbers


def _g(value, digits=5) -> str:
    """A number for a table: `digits` significant figures, inf and nan spelled out."""
    if value is None:
        return ""
    value = float(value)
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == 0.0:
        return "0"
    return f"{value:.{digits}g}" if 1e-3 <= abs(value) < 1e5 else f"{value:.{digits - 1}e}"


def _relative(stderr, value) -> str:
    if stderr is None or value is None or value == 0.0:
        return ""
    ratio = abs(float(stderr) / float(value))
    if not math.isfinite(ratio):
        return "inf" if math.isinf(ratio) else "nan"
    return f"{100.0 * ratio:.3g}%"


def _bounds(parameter) -> str:
    """The interval a free parameter is kept in, as the fit treats it."""
    lo, hi = float(parameter.min), float(parameter.max)
    if lo == 0.0 and math.isinf(hi):
        return "(0, inf)"  # log-transformed: the ends are never reached
    return f"[{_g(lo)}, {_g(hi)}]"


# --------------------------------------------------------------------------- pieces


def _start_values(result) -> dict:
    """The user's own starting values: the first start, which the fit always makes."""
    starts = getattr(result, "starts", None) or []
    if not starts:
        return {}
    first = starts[0]
    values = _field(first, "start", None)
    if values is None:
        values = _field(first, "start_values", None)
    if values is None:
        return {}
    if isinstance(values, dict):
        return {name: float(v) for name, v in values.items()}
    names = list(result.var_names)
    return {name: float(v) for name, v in zip(names, values)}


def _field(obj, name, default=None):
    if isinstance(obj, dict):
        return obj.get(name, default)
    return getattr(obj, name, default)


def _reference_value(reference, name):
    if reference is None:
        return None
    try:
        entry = reference[name]
    except KeyError:
        return None
    return float(getattr(entry, "value", entry))


def _statistics(result) -> list[tuple[str, str]]:
    rows = [
        ("fitting method", str(getattr(result, "method", DEFAULT_METHOD))),
        ("model", repr(result.model)),
        ("function evals", _evaluations(result)),
        ("starts", _starts_text(result)),
        ("data points", f"{result.ndata} in {len(result.scan)} dataset(s)"),
        ("free parameters", str(result.nvarys)),
        ("degrees of freedom", str(result.nfree)),
        ("chi-square", _g(result.chisqr, 6)),
        ("reduced chi-square", _g(result.redchi, 6)),
        ("uncertainties", "from the given sigma (absolute)" if result.absolute_sigma
         else "scaled by the reduced chi-square (no sigma given)"),
        ("status", f"{result.status}: {result.message}"),
        ("converged", "yes" if result.success else "NO"),
    ]
    if getattr(result, "focus_offset_mm", None) is not None:
        rows.append(("focus offset", _focus_text(result)))
    estimate = getattr(result, "error_estimate", None)
    if estimate is not None:
        rows.append(("model error estimate", _g(estimate, 3)))
    grid = getattr(result, "grid", None)
    if grid is not None:
        rows.append(("model grid", str(tuple(grid) if not isinstance(grid, str) else grid)))
    rows += _global_fit_rows(result)
    return rows


def _evaluations(result) -> str:
    total = getattr(result, "total_nfev", None)
    if total is None or total == result.nfev:
        return str(result.nfev)
    return f"{result.nfev} (best start), {total} in all"


def _starts_text(result) -> str:
    starts = getattr(result, "starts", None) or []
    best = getattr(result, "best_start", None)
    return f"{len(starts)}" + ("" if best is None else f" (best: start {best + 1})")


def _focus_text(result) -> str:
    text = f"{_g(result.focus_offset_mm)} mm"
    stderr = getattr(result, "focus_offset_stderr", None)
    if stderr is not None:
        text += f" +/- {_g(stderr, 2)} mm"
    return text


def _parameter_rows(result, reference) -> tuple[list[str], list[list[str]]]:
    starts = _start_values(result)
    header = ["name", "value", "unit", "std. error", "rel. error", "start"]
    if reference is not None:
        header.append("reference")
    header.append("bounds")
    rows = []
    for parameter in result.params:
        if parameter.vary:
            cells = [parameter.name, _g(parameter.value), parameter.unit,
                     _g(parameter.stderr, 2) if parameter.stderr is not None else "n/a",
                     _relative(parameter.stderr, parameter.value),
                     _g(starts.get(parameter.name))]
        else:
            cells = [parameter.name, _g(parameter.value), parameter.unit, "(fixed)", "", ""]
        if reference is not None:
            cells.append(_g(_reference_value(reference, parameter.name)))
        cells.append(_bounds(parameter) if parameter.vary else "")
        rows.append(cells)
    return header, rows


def _table(header, rows, indent="    ") -> list[str]:
    widths = [max(len(str(row[k])) for row in [header] + rows) for k in range(len(header))]
    line = lambda cells: indent + "  ".join(f"{c:<{w}}" for c, w in zip(cells, widths)).rstrip()
    return [line(header)] + [line(row) for row in rows]


def _correlation_lines(result) -> list[str]:
    names = list(result.var_names)
    corr = np.asarray(result.correlation, dtype=float) if result.correlation is not None else None
    if corr is None or corr.size == 0:
        return []
    pairs = []
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            c = corr[i, j]
            if not math.isfinite(c) or abs(c) > REPORTED_CORRELATION:
                pairs.append((names[i], names[j], c))
    pairs.sort(key=lambda p: -abs(p[2]) if math.isfinite(p[2]) else -math.inf)
    width = max((len(f"C({a}, {b})") for a, b, _ in pairs), default=0)
    return [f"    {f'C({a}, {b})':<{width}} = {c:+.4f}" for a, b, c in pairs]


def _derived_lines(derived) -> list[str]:
    """The [[Derived]] section: publication units, the set-up's scales, each dataset's."""
    lines = []
    rows = [[q.label, _g(q.value), q.unit,
             "" if q.stderr is None else _g(q.stderr, 2)]
            for q in derived.material + derived.sample]
    if rows:
        lines += _table(["quantity", "value", "unit", "std. error"], rows)
    if derived.datasets:
        columns = [(q.label, q.unit) for q in derived.datasets[0].quantities]
        header = ["dataset", "energy (J)", "aperture"] + [
            f"{label} ({unit})" if unit else label for label, unit in columns]
        table = []
        for d in derived.datasets:
            cells = [str(d.index), _g(d.energy_J), "open" if d.aperture is None else _g(d.aperture)]
            cells += [_g(q.value, 4) for q in d.quantities]
            table.append(cells)
        lines += _table(header, table)
    for text in derived.conventions:
        lines += textwrap.wrap(f"({text})", CONVENTION_WIDTH, initial_indent="    ",
                               subsequent_indent="     ")
    return lines


# --------------------------------------------------------------------------- public


def format_report(result, reference=None) -> str:
    """The fit report: statistics, parameters with uncertainties, correlations.

    Parameters
    ----------
    result : plix.FitResult
    reference : plix.Parameters or mapping of name to value, optional
        Values printed beside the fitted ones (for example the true values of simulated
        data).

    Returns
    -------
    str
        A text block in the manner of lmfit's ``fit_report``: ``[[Fit Statistics]]``,
        ``[[Parameters]]`` (value, standard error, relative error, start value, bounds; fixed
        parameters marked) and ``[[Correlations]]`` between free parameters whose magnitude
        exceeds 0.1.
    """
    stats = _statistics(result)
    width = max(len(label) for label, _ in stats)
    lines = ["[[Fit Statistics]]"]
    lines += [f"    {label:<{width}} = {text}" for label, text in stats]
    lines.append("[[Parameters]]")
    lines += _table(*_parameter_rows(result, reference))
    correlations = _correlation_lines(result)
    lines.append(f"[[Correlations]] (unreported correlations are <= {REPORTED_CORRELATION})")
    lines += correlations if correlations else ["    none"]
    lines.append("[[Derived]] (from the fitted values; errors propagated from the covariance)")
    lines += _derived_lines(result.derived_quantities())
    return "\n".join(lines)


def summary_line(result) -> str:
    """One line: status, chi-square, reduced chi-square and the free parameters."""
    free = ", ".join(
        f"{p.name}={_g(p.value)}" + (f"+/-{_g(p.stderr, 2)}" if p.stderr is not None else "")
        for p in result.params if p.vary)
    state = "converged" if result.success else "NOT converged"
    return (f"FitResult({state}, chisqr={_g(result.chisqr)}, redchi={_g(result.redchi)}, "
            f"nfev={result.nfev}, {free})")


def _plain(value):
    """Numbers, arrays, tuples, dataclasses and records as JSON-like Python values."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value)
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: _plain(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if hasattr(value, "_asdict"):
        return _plain(value._asdict())
    if hasattr(value, "__dict__"):
        return {k: _plain(v) for k, v in vars(value).items() if not k.startswith("_")}
    return repr(value)


def _field_value(value):
    """A model field as plain data: a level scheme as its levels and processes, a function by
    its name, parameter specs as dicts."""
    from plix._scheme import LevelScheme
    from plix._specs import ParameterSpec

    if isinstance(value, LevelScheme):
        return {"levels": value.levels,
                "transitions": [[t.lower, t.upper, t.cross_section, t.photons]
                                for t in value.transitions],
                "decays": [[d.source, d.target, d.lifetime] for d in value.decays]}
    if callable(value):
        return getattr(value, "__qualname__", repr(value))
    if isinstance(value, tuple) and value and isinstance(value[0], ParameterSpec):
        return [_plain(spec) for spec in value]
    return _plain(value)


def _model_dict(model) -> dict:
    return {"kind": model.kind, **{k: _field_value(v) for k, v in model.fields.items()}}


def _dataset_dicts(result) -> list[dict]:
    out = []
    for k, dataset in enumerate(result.scan):
        out.append({
            "energy_J": float(dataset.energy_J),
            "positions_mm": _plain(np.asarray(dataset.positions_mm)),
            "transmittance": _plain(np.asarray(dataset.transmittance)),
            "sigma": None if dataset.sigma is None else _plain(np.asarray(dataset.sigma)),
            "best_fit": _plain(np.asarray(result.best_fit[k])),
            "residuals": _plain(np.asarray(result.residuals[k])),
        })
    return out


def result_to_dict(result) -> dict:
    """The fit result as plain Python values (dicts, lists, floats, strings).

    Floats keep their IEEE values, so infinite lifetimes and bounds stay ``inf``; the JSON
    written from this dict (``to_json``) spells the non-finite ones ``"inf"``, ``"-inf"`` and
    ``"nan"``, which :func:`plix.read_json` reads back.

    Returns
    -------
    dict
        Keys: ``success``, ``status``, ``message``, ``info``, ``chisqr``, ``redchi``,
        ``ndata``, ``nvarys``, ``nfree``, ``nfev``, ``absolute_sigma``, ``focus_offset_mm``,
        ``parameters`` (name -> value, stderr, vary, min, max), ``var_names``,
        ``covariance``, ``correlation``, ``model``, ``setup``, ``datasets`` (energy,
        positions, data, sigma, best fit and residuals of each), ``starts``, ``grid``,
        ``error_estimate`` and ``derived`` (:meth:`plix.DerivedQuantities.to_dict`).
    """
    parameters = {
        p.name: {"value": float(p.value), "unit": p.unit,
                 "stderr": None if p.stderr is None else float(p.stderr),
                 "vary": bool(p.vary), "min": float(p.min), "max": float(p.max)}
        for p in result.params
    }
    return {
        "success": bool(result.success),
        "status": str(result.status),
        "message": str(result.message),
        "info": _plain(getattr(result, "info", None)),
        "chisqr": float(result.chisqr),
        "redchi": float(result.redchi),
        "ndata": int(result.ndata),
        "nvarys": int(result.nvarys),
        "nfree": int(result.nfree),
        "nfev": int(result.nfev),
        "absolute_sigma": bool(result.absolute_sigma),
        "focus_offset_mm": _plain(getattr(result, "focus_offset_mm", None)),
        "parameters": parameters,
        "var_names": list(result.var_names),
        "covariance": _plain(result.covariance),
        "correlation": _plain(result.correlation),
        "model": _model_dict(result.model),
        "setup": _plain(result.setup),
        "datasets": _dataset_dicts(result),
        "starts": _plain(list(getattr(result, "starts", []) or [])),
        "grid": _plain(getattr(result, "grid", None)),
        "error_estimate": _plain(getattr(result, "error_estimate", None)),
        "derived": _plain(result.derived_quantities().to_dict()),
    }


# --------------------------------------------------------------------------- global fits


def _global_fit_rows(result) -> list[tuple[str, str]]:
    """Rows of [[Fit Statistics]] for the goodness of fit, the focus and the grid's history."""
    rows = []
    if not hasattr(result, "pvalue"):
        return rows
    p = result.pvalue
    rows.append(("p-value of chi-square", _g(p, 3) if math.isfinite(p)
                 else "n/a (no sigma given: chi-square is not in units of sigma)"))
    rows.append(("AIC, BIC", f"{_g(result.aic, 6)}, {_g(result.bic, 6)}"))
    rows.append(("focus", {"fit": "focus offset fitted (see [[Nuisances]])",
                           "extremum": "each dataset centred on its extremum (shifts in "
                                       "[[Datasets]])",
                           "none": "positions as given"}.get(result.center, result.center)))
    t0 = getattr(result, "linear_transmittance", None)
    if t0 is not None:
        rows.append(("linear transmittance T0", f"{_g(t0, 4)} ("
                     + ("held" if result.transmittance_held else "implied by the fitted values")
                     + ")"))
    start = getattr(result, "start_grid", None)
    if start is not None and getattr(result, "explored", False):
        rows.append(("model grid of the starts", f"{tuple(start)} (coarse: error estimate "
                     f"{_g(result.start_error_estimate, 3)}); the final one chosen at the best "
                     f"minimum ({result.grid_refits} search(es) on it)"))
    elif start is not None and tuple(start) != tuple(result.grid or ()):
        rows.append(("model grid at the start", f"{tuple(start)}, chosen again at the solution "
                     f"({result.grid_refits} search(es) from there)"))
    return rows


def _datasets_lines(result) -> list[str]:
    header = ["#", "label", "energy (J)", "aperture", "points", "chi-square", "shift (mm)"]
    rows = []
    chis = getattr(result, "dataset_chisqr", None)
    for k, d in enumerate(result.scan):
        rows.append([str(k), d.label or "", _g(d.energy_J, 4),
                     "open" if d.aperture is None else _g(d.aperture, 4), str(len(d)),
                     "" if chis is None else _g(chis[k], 5),
                     _g(result.position_shifts_mm[k], 4)])
    return _table(header, rows)


def _nuisance_lines(result) -> list[str]:
    rows = []
    for name, v in result.nuisances.items():
        scope = ("all" if len(v.datasets) == len(result.scan)
                 else ", ".join(str(k) for k in v.datasets))
        rows.append([name, _g(v.value, 6), v.unit,
                     "(held)" if v.stderr is None else _g(v.stderr, 2), scope])
    return _table(["name", "value", "unit", "std. error", "datasets"], rows) if rows \
        else ["    none"]


def _minima_lines(result) -> list[str]:
    minima = result.minima
    if len(minima) < 2:
        return [f"    one minimum ({len(result.starts)} start(s) ended there)"]
    names = list(result.var_names)
    header = ["", "Delta chi2", "starts"] + names
    rows = []
    for k, m in enumerate(minima):
        rows.append([("best" if k == 0 else str(k + 1)),
                     _g(m.delta_chisqr, 3) + ("" if m.refined else " *"),
                     ",".join(str(s + 1) for s in m.starts)] + [_g(m.values[n]) for n in names])
    lines = _table(header, rows)
    if not all(m.refined for m in minima):
        lines.append("    * on the coarse grid the starts explored on (not searched again on the "
                     "final grid)")
    return lines


def _profile_lines(result) -> list[str]:
    rows = []
    for name, p in result.profiles.items():
        quoted = (f"{_g(p.value)} +/- {_g(p.stderr, 2)}" if p.quadratic else
                  f"{_g(p.value)} -{_g(p.minus, 2)} +{_g(p.plus, 2)} (profile)")
        rows.append([name, _g(p.value), _g(p.lower), _g(p.upper), _g(p.stderr, 2),
                     "yes" if p.quadratic else "NO", quoted])
    return _table(["name", "value", "lower", "upper", "std. error", "quadratic", "quote"], rows)


def _systematic_lines(result) -> list[str]:
    budget = result.systematic_budget
    sources = list(budget.uncertainties)
    header = ["name", "value", "statistical"]
    if budget.method == "sensitivity":
        header += sources
    header += ["systematic", "total", "total (%)"]
    rows = []
    for name in budget.statistical:
        value = float(result.values[result.var_names.index(name)])
        cells = [name, _g(value), _g(budget.statistical[name], 2)]
        if budget.method == "sensitivity":
            cells += [_g(budget.contributions[name][s], 2) for s in sources]
        cells += [_g(budget.systematic[name], 2), _g(budget.total[name], 2),
                  _relative(budget.total[name], value)]
        rows.append(cells)
    given = ", ".join(f"{s} {100 * u:.3g}%" for s, u in budget.uncertainties.items())
    return [f"    ({budget.method}; relative uncertainties: {given}; {budget.refits} refits)"] \
        + _table(header, rows)


def global_fit_sections(result) -> str:
    """The report's sections on datasets, nuisances, minima, profiles, the systematic budget,
    the checks made before the fit and the warnings raised (after [[Correlations]])."""
    lines = ["", "[[Datasets]] (chi-square of each; shift: subtracted from its positions)"]
    lines += _datasets_lines(result)
    lines.append("[[Nuisances]]")
    lines += _nuisance_lines(result)
    lines.append("[[Minima]] (the starts' ends; Delta chi2 in units of sigma"
                 + (", on the grid chosen at the start)"
                    if result.grid_refits and not result.explored else ")"))
    lines += _minima_lines(result)
    if result.profiles:
        lines.append("[[Profile intervals]] (Delta chi2 = sigma^2; quadratic: both ends within "
                     "10 % of the standard error)")
        lines += _profile_lines(result)
    if result.systematic_budget is not None:
        lines.append("[[Systematic budget]] (the set-up's uncertainties propagated by refitting)")
        lines += _systematic_lines(result)
    if result.checks is not None:
        lines.append("[[Checks]] (before the fit)")
        lines.append(result.checks.text())
    lines.append("[[Warnings]]")
    lines += [f"    {w}" for w in result.warnings] or ["    none"]
    return "\n".join(lines)


def global_fit_dict(result) -> dict:
    """The global fit's additions to :func:`result_to_dict`: goodness of fit, per-dataset
    chi-square and shifts, nuisances, minima, profiles, systematic budget, checks and
    warnings."""
    out = {
        "pvalue": _plain(result.pvalue),
        "aic": _plain(result.aic),
        "bic": _plain(result.bic),
        "center": result.center,
        "linear_transmittance": _plain(result.linear_transmittance),
        "transmittance_held": bool(result.transmittance_held),
        "dataset_chisqr": _plain(result.dataset_chisqr),
        "position_shifts_mm": _plain(result.position_shifts_mm),
        "dataset_labels": [d.label for d in result.scan],
        "conditions": _plain(list(result.conditions)),
        "nuisances": _plain(result.nuisances),
        "minima": _plain(list(result.minima)),
        "warnings": list(result.warnings),
        "start_grid": _plain(result.start_grid),
        "explored": bool(result.explored),
        "start_error_estimate": _plain(result.start_error_estimate),
        "grid_refits": int(result.grid_refits),
        "profiles": {name: {"value": p.value, "stderr": p.stderr, "sigma": p.sigma,
                            "lower": p.lower, "upper": p.upper, "quadratic": p.quadratic,
                            "points": _plain(p.points)}
                     for name, p in result.profiles.items()},
        "systematic_budget": _plain(result.systematic_budget),
        "checks": None if result.checks is None else {
            "rows": [list(r) for r in result.checks.rows],
            "warnings": list(result.checks.warnings),
            "peak_intensity_W_m2": result.checks.peak_intensity,
            "peak_fluence_J_m2": result.checks.peak_fluence,
            "rayleigh_range_m": result.checks.rayleigh_range,
            "evaluation_seconds": result.checks.evaluation_seconds,
            "estimated_seconds": result.checks.estimated_seconds},
    }
    return out
