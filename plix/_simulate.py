"""Forward model: Z-scan curves at given positions and pulse energies."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from plix import _core
from plix._model import Model
from plix._parameters import PARAMETER_NAMES, Parameters
from plix._setup import Setup
from plix._validation import energies_vector, float_array, float_vector, thread_count

__all__ = ["simulate", "SimulationInfo"]


@dataclass(frozen=True)
class SimulationInfo:
    """What :func:`simulate` reports besides the curves (with ``return_info=True``).

    Attributes
    ----------
    grid : tuple of tuple of int, or None
        Per energy, the grid ``(time_steps, slices, radial_nodes)`` the physical model used;
        None for the seed model (its grid is its ``t_slices`` and ``z_slices``).
    error_estimate : numpy.ndarray
        Per energy, the physical model's estimate of the error of the normalised
        transmittance (NaN for the seed model).
    integrations_ended_early : int
        LSODA integrations that did not reach their end (seed model with ``"lsoda"``);
        a non-zero count means the curve is not to be trusted.
    """

    grid: tuple[tuple[int, int, int], ...] | None
    error_estimate: np.ndarray
    integrations_ended_early: int


def parameter_vector(params) -> np.ndarray:
    """The eight parameter values in spec_pars order, from Parameters or a sequence."""
    if isinstance(params, Parameters):
        return params.as_array()
    values = float_array(params, "params")
    if values.shape != (len(PARAMETER_NAMES),):
        raise ValueError(f"params must be a plix.Parameters or {len(PARAMETER_NAMES)} numbers "
                         f"({', '.join(PARAMETER_NAMES)}), got shape {values.shape}")
    return values


def simulate(setup: Setup, params, positions_mm, energies_J, model: Model | None = None,
             threads: int | None = None, return_info: bool = False):
    """Normalised transmittance of a Z-scan at the given positions and pulse energies.

    Parameters
    ----------
    setup : Setup
        The experiment (SI units).
    params : Parameters or sequence of float
        The eight model parameters; a sequence is taken in the order of
        ``Parameters.names`` (m^2, then s).
    positions_mm : array_like
        Sample positions relative to the focus, in mm, one-dimensional, used as given
        (no centring). Any integer or float dtype or a list; never modified.
    energies_J : float or array_like
        Pulse energy or energies in J (positive, finite). A scalar gives one row.
    model : Model, optional
        How the curve is computed. Default ``Model.physical()``.
    threads : int, optional
        Worker threads for the positions; None (default) uses the cores this process may
        run on (``os.sched_getaffinity``), 1 starts no thread. The result does not depend
        on it.
    return_info : bool, optional
        Also return a :class:`SimulationInfo` (grid and error estimate per energy).

    Returns
    -------
    curves : numpy.ndarray
        float64 array of shape ``(n_energies, n_positions)``: row k is the curve at
        ``energies_J[k]``; one row for a scalar energy.
    info : SimulationInfo
        Only with ``return_info=True``: ``(curves, info)`` is returned.

    Raises
    ------
    TypeError
        If ``setup`` is not a Setup, ``model`` not a Model, or an input not numeric.
    ValueError
        Naming the argument: non-finite positions, energies that are not positive and
        finite, a wrong shape, fewer than five positions for the ``"ends"``
        normalisation, a parameter out of its physical range (negative cross-section,
        lifetime <= 0), threads < 1.

    Examples
    --------
    >>> setup = Setup(532e-9, 30e-6, 5e-9, 1e-3, [1e24, 0, 0, 0, 0])
    >>> params = Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
    >>> simulate(setup, params, np.linspace(-30, 30, 31), [1e-3, 2e-3],
    ...          model=Model.seed()).shape
    (2, 31)
    """
    if not isinstance(setup, Setup):
        raise TypeError(f"setup must be a plix.Setup, got {type(setup).__name__}")
    if model is None:
        model = Model.physical()
    elif not isinstance(model, Model):
        raise TypeError(f"model must be a plix.Model or None, got {type(model).__name__}")
    values = parameter_vector(params)
    positions = float_vector(positions_mm, "positions_mm", "mm")
    energies, _ = energies_vector(energies_J, "energies_J")
    workers = thread_count(threads)

    curves, grids, errors, ended_early = _core.model_curves(setup, values, positions, energies,
                                                            model, workers)
    if not return_info:
        return curves
    info = SimulationInfo(
        grid=tuple(tuple(g) for g in grids) if model.kind == "physical" else None,
        error_estimate=np.array(errors, dtype=np.float64),
        integrations_ended_early=int(ended_early),
    )
    return curves, info
