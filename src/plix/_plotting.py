"""Figures: a fit with its residuals, and simulated curves. Needs matplotlib (``plix-zscan[plot]``)."""

from __future__ import annotations

import math
import re

import numpy as np

__all__ = ["plot_fit", "plot_simulation"]

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


def _smooth_curve(result, k: int, dataset) -> tuple[np.ndarray, np.ndarray]:
    """The fitted model on a fine grid across dataset ``k``'s positions."""
    from . import simulate

    x = np.asarray(dataset.positions_mm, dtype=float)
    fine = np.linspace(x.min(), x.max(), CURVE_POINTS)
    model = result.model
    if getattr(model, "normalisation", None) != "ends":
        curve = simulate(result.setup, result.params, _model_positions(result, k, fine),
                         dataset.energy_J, model=model)
        return fine, np.asarray(curve)[0]
    # "ends" shifts a curve by the mean of its own first and last points, which on the fine
    # grid are other points than the data's: draw the raw curve with the data's shift.
    raw = model.replace(normalisation="none")
    both = simulate(result.setup, result.params,
                    _model_positions(result, k, np.concatenate([fine, x])), dataset.energy_J,
                    model=raw)[0]
    shift = np.mean(np.asarray(result.best_fit[k]) - both[fine.size:])
    return fine, both[:fine.size] + shift


def _figure_grid(plt, n: int):
    figure = plt.figure(figsize=(PANEL_WIDTH_IN * n, DATA_HEIGHT_IN + RESIDUAL_HEIGHT_IN),
                        layout="constrained")
    grid = figure.add_gridspec(2, n, height_ratios=(DATA_HEIGHT_IN, RESIDUAL_HEIGHT_IN))
    data_axes, residual_axes = [], []
    for k in range(n):
        data = figure.add_subplot(grid[0, k], sharey=data_axes[0] if data_axes else None)
        residual = figure.add_subplot(grid[1, k], sharex=data,
                                      sharey=residual_axes[0] if residual_axes else None)
        data.tick_params(labelbottom=False)
        if k:
            data.tick_params(labelleft=False)
            residual.tick_params(labelleft=False)
        data_axes.append(data)
        residual_axes.append(residual)
    return figure, data_axes, residual_axes


def _draw_points(ax, x, y, sigma, colour, label):
    if sigma is None:
        ax.plot(x, y, "o", ms=3.0, color=colour, mfc="white", mew=0.9, label=label)
    else:
        ax.errorbar(x, y, yerr=sigma, fmt="o", ms=3.0, color=colour, mfc="white", mew=0.9,
                    elinewidth=0.7, capsize=0, label=label)


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
                         f"data, {energy_label(dataset.energy_J)}")
            fine, curve = _smooth_curve(result, k, dataset)
            data.plot(fine, curve, "-", color="black", lw=1.0, label="model", zorder=3)
            residual.axhline(0.0, color="black", lw=0.8, zorder=1)
            _draw_points(residual, x, result.residuals[k], sigma, colour, None)
            residual.set_xlabel(POSITION_LABEL)
            handles, labels = data.get_legend_handles_labels()
            data.legend(handles[::-1], labels[::-1],  # data first
                        loc="lower left" if np.mean(curve) <= curve[0] else "upper left")
        data_axes[0].set_ylabel(TRANSMITTANCE_LABEL)
        residual_axes[0].set_ylabel(RESIDUAL_LABEL)
        _fitted_values_legend(figure, result)
        if path is not None:
            figure.savefig(path)
    return figure


def _fitted_values_legend(figure, result) -> None:
    """The fitted values, as a legend block above the panels."""
    free = [p for p in result.params if p.vary]
    if not free:
        return
    labels = ["fit: " + parameter_label(free[0])] + [parameter_label(p) for p in free[1:]]
    if getattr(result, "focus_offset_mm", None) is not None:
        labels.append(f"focus at {result.focus_offset_mm:.3g} mm")
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], color="black", lw=1.0)]
    handles += [Line2D([], [], linestyle="none") for _ in labels[1:]]
    figure.legend(handles, labels, loc="outside upper center", ncols=min(len(labels), 3),
                  handlelength=1.5, columnspacing=1.5)


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
    with plt.rc_context(STYLE):
        figure, ax = plt.subplots(figsize=(PANEL_WIDTH_IN + 0.4, DATA_HEIGHT_IN + 0.3),
                                  layout="constrained")
        for k, (energy, curve) in enumerate(zip(energies, curves)):
            ax.plot(positions, curve, "-", color=COLOURS[k % len(COLOURS)],
                    label=energy_label(energy))
        ax.set_xlabel(POSITION_LABEL)
        ax.set_ylabel(TRANSMITTANCE_LABEL)
        ax.set_title(f"{model.kind} model", loc="left")
        ax.legend()
        if path is not None:
            figure.savefig(path)
    return figure
