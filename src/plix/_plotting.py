"""Figures: a fit with its residuals, and simulated curves. Needs matplotlib (``plix-zscan[plot]``)."""

from __future__ import annotations

import math
import re

import numpy as np

__all__ = ["plot_fit", "plot_profile", "plot_simulation"]

# Points of the smooth model curve across each dataset's range of positions.
CURVE_POINTS = 301
# Sizes for a figure printed at its own size (a journal column is about 3.4 in wide).
PANEL_WIDTH_IN, DATA_HEIGHT_IN, RESIDUAL_HEIGHT_IN = 3.2, 2.4, 1.0
STYLE = {
    "font.size": 8.0, "axes.labelsize": 8.0, "axes.titlesize": 8.0, "legend.fontsize": 7.0,
    "xtick.labelsize": 7.0, "ytick.labelsize": 7.0, "axes.linewidth": 0.6,
    "xtick.major.width": 0.6, "ytick.major.width": 0.6, "xtick.direction": "in",
    "ytick.direction": "in", "xtick.top": True, "ytick.right": True, "lines.linewidth": 1.2,
    "savefig.dpi": 300, "savefig.bbox": "tight", "legend.frameon": False,
}
# Colour-blind-safe qualitative colours (Okabe and Ito).
COLOURS = ("#0072B2", "#D55E00", "#009E73", "#CC79A7", "#E69F00", "#56B4E9", "#000000")
POSITION_LABEL = "sample position $z$ (mm)"
TRANSMITTANCE_LABEL = "normalised transmittance"
RESIDUAL_LABEL = "data $-$ model"
MARKER_SIZE = 3.0  # points
MAX_COLUMNS = 3    # dataset panels side by side; more go to further rows
ERROR_CAP = 1.5    # points

_ENERGY_UNITS = ((1.0, "J"), (1e-3, "mJ"), (1e-6, r"$\mu$J"), (1e-9, "nJ"), (1e-12, "pJ"))
_TIME_UNITS = ((1.0, "s"), (1e-3, "ms"), (1e-6, r"$\mu$s"), (1e-9, "ns"), (1e-12, "ps"),
               (1e-15, "fs"))


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib, an optional extra of plix: "
                          "pip install 'plix-zscan[plot]'") from None
    return plt


# --------------------------------------------------------------------------- labels


def _scaled(value: float, units) -> tuple[float, str]:
    for scale, unit in units:
        if abs(value) >= scale:
            return value / scale, unit
    scale, unit = units[-1]
    return value / scale, unit


def energy_label(energy_J: float) -> str:
    """``E = 0.4 µJ`` with a unit chosen for the magnitude."""
    value, unit = _scaled(float(energy_J), _ENERGY_UNITS)
    return f"$E$ = {value:.3g} {unit}"


def _symbol(parameter) -> str:
    """The parameter's symbol in TeX, from its spec (its name when it has none)."""
    symbol = parameter.spec.symbol
    return f"${symbol}$" if symbol else parameter.name.replace("_", r"\_")


def _tex_unit(unit: str) -> str:
    """``m^2`` as ``m$^{2}$``."""
    return re.sub(r"\^(-?\d+)", r"$^{\1}$", unit)


def _decade(value: float) -> int:
    return int(math.floor(math.log10(abs(value)))) if value != 0.0 else 0


def _with_error(value: float, stderr: float | None, unit: str) -> str:
    """``(1.02 ± 0.03)×10^-21 m^2``: the value to the error's second significant figure."""
    decade = _decade(value)
    mantissa = value / 10.0**decade
    exponent = rf"$\times 10^{{{decade}}}$" if decade else ""
    if stderr is None or not math.isfinite(stderr) or stderr <= 0.0:
        note = "" if stderr is None else r" $\pm$ " + ("inf" if stderr == math.inf else "?")
        return f"{mantissa:.4g}{exponent}{note} {unit}"
    digits = max(0, 1 - _decade(stderr / 10.0**decade))
    digits = min(digits, 6)
    return (f"({mantissa:.{digits}f} $\\pm$ {stderr / 10.0**decade:.{digits}f})"
            f"{exponent} {unit}")


def parameter_label(parameter) -> str:
    """``σ12 = (1.02 ± 0.03)×10^-21 m^2`` or ``τ21 = (2.0 ± 0.1) ns``: symbol and unit from
    the parameter's spec, times in a unit chosen for their magnitude."""
    symbol = _symbol(parameter)
    if math.isinf(parameter.value):
        return f"{symbol} = inf" + (" (channel off)" if parameter.spec.infinity_allowed else "")
    if parameter.unit != "s":
        return f"{symbol} = {_with_error(parameter.value, parameter.stderr, _tex_unit(parameter.unit))}"
    shown, unit = _scaled(parameter.value, _TIME_UNITS)
    scale = parameter.value / shown if shown else 1.0
    stderr = None if parameter.stderr is None else parameter.stderr / scale
    return f"{symbol} = {_with_error(shown, stderr, unit)}"


# --------------------------------------------------------------------------- fit figure


def _model_positions(result, k: int, positions: np.ndarray) -> np.ndarray:
    """Positions at which the fit evaluated dataset ``k``'s model, for measured ``positions``."""
    return positions - float(result.position_shifts_mm[k])


def fitted_curve(result, k: int, positions: np.ndarray) -> np.ndarray:
    """The fitted curve of dataset ``k`` at measured ``positions`` (mm): the model with the
    fitted parameters and set-up, the dataset's energy times its energy scale, its fitted
    aperture, times its baseline and tilt. A per-point energy dataset is drawn at its median
    energy."""
    from . import simulate

    dataset = result.scan[k]
    conditions = result.conditions[k] if result.conditions else None
    scale = 1.0 if conditions is None else conditions.energy_scale
    aperture = dataset.aperture if conditions is None else conditions.aperture
    setup = result.fitted_setup or result.setup
    z = _model_positions(result, k, positions)
    model = result.model
    energy = dataset.energy_J * scale
    if getattr(model, "normalisation", None) != "ends":
        curve = np.asarray(simulate(setup, result.params, z, energy, model=model,
                                    aperture=aperture))[0]
    else:
        # "ends" shifts a curve by the mean of its own first and last points, which at other
        # positions are other points than the data's: draw the raw curve with the data's
        # shift.
        x = np.asarray(dataset.positions_mm, dtype=float)
        raw = model.replace(normalisation="none")
        both = simulate(setup, result.params,
                        np.concatenate([z, _model_positions(result, k, x)]), energy,
                        model=raw, aperture=aperture)[0]
        curve = both[:z.size] + np.mean(np.asarray(result.best_fit[k]) - both[z.size:])
    if conditions is not None:
        curve = curve * conditions.baseline * (1.0 + conditions.tilt_per_mm * z)
    return curve


def _smooth_curve(result, k: int, dataset) -> tuple[np.ndarray, np.ndarray]:
    """The fitted model on a fine grid across dataset ``k``'s positions."""
    x = np.asarray(dataset.positions_mm, dtype=float)
    fine = np.linspace(x.min(), x.max(), CURVE_POINTS)
    return fine, fitted_curve(result, k, fine)


def _dataset_label(dataset) -> str:
    """The energy, the aperture when closed, and the scan's label."""
    text = energy_label(dataset.energy_J)
    if dataset.aperture is not None:
        text += f", $S$ = {dataset.aperture:.2g}"
    return text


def _figure_grid(plt, n: int):
    """Per dataset a data panel above a residual panel, MAX_COLUMNS of them to a row."""
    columns = min(n, MAX_COLUMNS)
    rows = -(-n // columns)
    figure = plt.figure(figsize=(PANEL_WIDTH_IN * columns,
                                 (DATA_HEIGHT_IN + RESIDUAL_HEIGHT_IN) * rows),
                        layout="constrained")
    grid = figure.add_gridspec(2 * rows, columns,
                               height_ratios=(DATA_HEIGHT_IN, RESIDUAL_HEIGHT_IN) * rows)
    data_axes, residual_axes = [], []
    for k in range(n):
        row, column = divmod(k, columns)
        data = figure.add_subplot(grid[2 * row, column],
                                  sharey=data_axes[0] if data_axes else None)
        residual = figure.add_subplot(grid[2 * row + 1, column], sharex=data,
                                      sharey=residual_axes[0] if residual_axes else None)
        data.tick_params(labelbottom=False)
        if column:
            data.tick_params(labelleft=False)
            residual.tick_params(labelleft=False)
        else:
            data.set_ylabel(TRANSMITTANCE_LABEL)
            residual.set_ylabel(RESIDUAL_LABEL)
        data_axes.append(data)
        residual_axes.append(residual)
    return figure, data_axes, residual_axes


def _draw_points(ax, x, y, sigma, colour, label):
    if sigma is None:
        ax.plot(x, y, "o", ms=MARKER_SIZE, color=colour, mfc="white", mew=0.9, label=label)
    else:
        # Open markers and caps: a bar shorter than the marker still shows through it.
        ax.errorbar(x, y, yerr=sigma, fmt="o", ms=MARKER_SIZE, color=colour, mfc="none",
                    mew=0.8, elinewidth=0.7, capsize=ERROR_CAP, capthick=0.7, label=label,
                    zorder=4)


def plot_fit(result, path=None):
    """Draw a fit: per pulse energy the data, the fitted model and the residuals.

    Each energy gets a column: above, the measured points (with error bars when the scan
    has uncertainties) and the model as a smooth curve (the fitted parameters evaluated on
    a fine grid of positions, with the fit's centring); below, data minus model with a zero
    line. Positions are as measured, in mm. The legend gives the energy and the fitted
    values with their standard errors.

    Parameters
    ----------
    result : plix.FitResult
    path : str or os.PathLike, optional
        Also save the figure there (300 dpi for raster formats).

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ImportError
        If matplotlib is not installed (``pip install 'plix-zscan[plot]'``).
    """
    plt = _pyplot()
    datasets = list(result.scan)
    with plt.rc_context(STYLE):
        figure, data_axes, residual_axes = _figure_grid(plt, len(datasets))
        for k, dataset in enumerate(datasets):
            colour = COLOURS[k % len(COLOURS)]
            x = np.asarray(dataset.positions_mm, dtype=float)
            sigma = None if dataset.sigma is None else np.asarray(dataset.sigma, dtype=float)
            data, residual = data_axes[k], residual_axes[k]
            _draw_points(data, x, dataset.transmittance, sigma, colour,
                         f"data, {_dataset_label(dataset)}")
            fine, curve = _smooth_curve(result, k, dataset)
            data.plot(fine, curve, "-", color="black", lw=1.0, label="model", zorder=3)
            residual.axhline(0.0, color="black", lw=0.8, zorder=1)
            _draw_points(residual, x, result.residuals[k], sigma, colour, None)
            residual.set_xlabel(POSITION_LABEL)
            handles, labels = data.get_legend_handles_labels()
            data.legend(handles[::-1], labels[::-1],  # data first
                        loc="lower left" if np.mean(curve) <= curve[0] else "upper left")
            if dataset.label:
                data.set_title(dataset.label, loc="left", fontsize=STYLE["axes.titlesize"],
                               wrap=True)
        _fitted_values_legend(figure, result)
        if path is not None:
            figure.savefig(path)
    return figure


def _fitted_label(result, parameter) -> str:
    """The parameter with its standard error, or with its profile interval where that was
    computed and the quadratic approximation fails."""
    found = getattr(result, "profiles", {}).get(parameter.name)
    if found is None or found.quadratic or not (math.isfinite(found.lower)
                                                and math.isfinite(found.upper)):
        return parameter_label(parameter)
    decade = _decade(found.value)
    scale = 10.0 ** decade
    exponent = rf"$\times 10^{{{decade}}}$" if decade else ""
    return (f"{_symbol(parameter)} = {found.value / scale:.3g}"
            f"$_{{-{found.minus / scale:.2g}}}^{{+{found.plus / scale:.2g}}}$"
            f"{exponent} {_tex_unit(parameter.unit)}")


def _fitted_values_legend(figure, result) -> None:
    """The fitted values, as a legend block above the panels."""
    free = [p for p in result.params if p.vary]
    if not free:
        return
    labels = [_fitted_label(result, p) for p in free]
    labels[0] = "fit: " + labels[0]
    if getattr(result, "focus_offset_mm", None) is not None:
        stderr = getattr(result, "focus_offset_stderr", None)
        labels.append(f"focus offset {_with_error(result.focus_offset_mm, stderr, 'mm')}"
                      if result.focus_offset_mm else "focus offset 0 mm")
    t0 = getattr(result, "linear_transmittance", None)
    if t0 is not None and getattr(result, "transmittance_held", False):
        labels.append(f"$T_0$ = {t0:.3g} (held)")
    pvalue = getattr(result, "pvalue", math.nan)
    labels.append(f"$\\chi^2_\\nu$ = {result.redchi:.3g}"
                  + (f", $p$ = {pvalue:.2g}" if math.isfinite(pvalue) else ""))
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], color="black", lw=1.0)]
    handles += [Line2D([], [], linestyle="none") for _ in labels[1:]]
    # One column per panel at most: the block never grows wider than the figure.
    panels = min(len(result.scan), MAX_COLUMNS)
    figure.legend(handles, labels, loc="outside upper center",
                  ncols=max(1, min(len(labels), panels, 3)), handlelength=1.5,
                  columnspacing=1.5)


# --------------------------------------------------------------------------- forward curves


def plot_simulation(setup, params, positions_mm, energies_J, model=None, threads=None,
                    path=None, curves=None):
    """Draw simulated Z-scan curves, one per pulse energy, on one set of axes.

    Parameters
    ----------
    setup : plix.Setup
    params : plix.Parameters
    positions_mm : array_like
        Sample positions in mm (relative to the focus).
    energies_J : float or array_like
        Pulse energies in J.
    model : plix.Model, optional
        Default ``plix.Model.physical()``.
    threads : int, optional
        Worker threads for :func:`plix.simulate`.
    path : str or os.PathLike, optional
        Also save the figure there.
    curves : array_like, optional
        Curves already computed by :func:`plix.simulate` for these arguments, shape
        (number of energies, number of positions); they are drawn instead of computing them.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ImportError
        If matplotlib is not installed (``pip install 'plix-zscan[plot]'``).
    """
    plt = _pyplot()
    from . import Model, simulate

    model = Model.physical() if model is None else model
    positions = np.asarray(positions_mm, dtype=float)
    energies = np.atleast_1d(np.asarray(energies_J, dtype=float))
    if curves is None:
        curves = simulate(setup, params, positions, energies, model=model, threads=threads)
    curves = np.atleast_2d(np.asarray(curves, dtype=float))
    # Few positions: the lines are drawn on a fine grid (no kinks), the positions as points.
    sparse = positions.size < CURVE_POINTS and getattr(model, "normalisation", None) != "ends"
    if sparse:
        fine = np.linspace(positions.min(), positions.max(), CURVE_POINTS)
        lines = simulate(setup, params, fine, energies, model=model, threads=threads)
    else:
        fine, lines = positions, curves
    with plt.rc_context(STYLE):
        figure, ax = plt.subplots(figsize=(PANEL_WIDTH_IN + 0.4, DATA_HEIGHT_IN + 0.3),
                                  layout="constrained")
        for k, (energy, curve, line) in enumerate(zip(energies, curves, lines)):
            colour = COLOURS[k % len(COLOURS)]
            ax.plot(fine, line, "-", color=colour, label=energy_label(energy))
            if sparse:
                ax.plot(positions, curve, "o", ms=2.0, color=colour)
        ax.set_xlabel(POSITION_LABEL)
        ax.set_ylabel(TRANSMITTANCE_LABEL)
        ax.set_title(f"{model.kind} model", loc="left")
        ax.legend()
        if path is not None:
            figure.savefig(path)
    return figure


# --------------------------------------------------------------------------- profiles


def plot_profile(profile, path=None):
    """Draw a profile likelihood: Delta chi2 against the value, the parabola of the standard
    error beside it, the level sigma^2 and the interval's ends.

    Parameters
    ----------
    profile : plix.Profile
    path : str or os.PathLike, optional
        Also save the figure there.

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = _pyplot()
    points = np.asarray(profile.points, dtype=float)
    level = profile.sigma ** 2
    with plt.rc_context(STYLE):
        figure, ax = plt.subplots(figsize=(PANEL_WIDTH_IN + 0.4, DATA_HEIGHT_IN + 0.3),
                                  layout="constrained")
        x = points[:, 0]
        finite = np.isfinite(points[:, 1])
        ax.plot(x[finite], points[finite, 1], "o-", ms=MARKER_SIZE, color=COLOURS[0],
                mfc="white", label="profile")
        if math.isfinite(profile.stderr) and profile.stderr > 0:
            grid = np.linspace(x.min(), x.max(), CURVE_POINTS)
            ax.plot(grid, ((grid - profile.value) / profile.stderr) ** 2, "--", color="black",
                    lw=0.8, label="parabola of the std. error")
        ax.axhline(level, color="grey", lw=0.6)
        for end in profile.interval:
            if math.isfinite(end):
                ax.axvline(end, color=COLOURS[1], lw=0.8)
        top = max(4.0 * level, float(np.nanmax(np.where(finite, points[:, 1], np.nan))))
        ax.set_ylim(-0.05 * top, 1.05 * min(top, 9.0 * level))
        ax.set_xlabel(profile.name.replace("_", r"\_"))
        ax.set_ylabel(r"$\Delta\chi^2$")
        quote = (f"{profile.value:.4g} $\\pm$ {profile.stderr:.2g}" if profile.quadratic else
                 f"{profile.value:.4g} $-${profile.minus:.2g} $+${profile.plus:.2g}")
        ax.set_title(quote, loc="left")
        ax.legend(loc="upper center")
        if path is not None:
            figure.savefig(path)
    return figure
