"""Forward model: Z-scan curves at given positions and pulse energies."""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from plix import _core
from plix._cancel import canceller
from plix._model import Model
from plix._parameters import Parameters, for_model  # noqa: F401 (Parameters: the example)
from plix._setup import Setup
from plix._validation import energies_vector, float_vector, thread_count

__all__ = ["ModelWarning", "simulate", "SimulationInfo"]


@dataclass(frozen=True)
class SimulationInfo:
    """What :func:`simulate` reports besides the curves (with ``return_info=True``).

    Attributes
    ----------
    grid : tuple of tuple of int, or None
        Per energy, the grid the model used (for the physical model ``(time_steps, slices,
        radial_nodes)``); None for a model without one.
    error_estimate : numpy.ndarray
        Per energy, the model's estimate of the error of the normalised transmittance (NaN
        where it makes none).
    integrations_ended_early : int
        LSODA integrations that did not reach their end (seed model with ``"lsoda"``);
        a non-zero count means the curve is not to be trusted.
    """

    grid: tuple[tuple[int, int, int], ...] | None
    error_estimate: np.ndarray
    integrations_ended_early: int


def simulate(setup: Setup, params, positions_mm, energies_J, model: Model | None = None,
             threads: int | None = None, return_info: bool = False, aperture=None,
             cancel=None):
    """Normalised transmittance of a Z-scan at the given positions and pulse energies.

    Parameters
    ----------
    setup : Setup
        The experiment (SI units).
    params : Parameters, mapping or sequence of float
        The model's parameters (``model.make_params(...)``), by name, or a sequence in the
        order of ``model.parameter_names``. Parameters with a default may be left out.
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
    aperture : float or None, optional
        None (default): open aperture. Otherwise the linear transmittance S in (0, 1) of a
        far-field aperture (closed-aperture Z-scan), for models that compute it.
    cancel : threading.Event, optional
        Stops the simulation (raising :class:`plix.Cancelled`) when set from another thread,
        within about 100 ms. Ctrl-C stops a simulation on the main thread the same way
        (raising KeyboardInterrupt) without it.

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
        normalisation, a parameter the model does not have or out of its range (negative
        cross-section, lifetime <= 0), populations that do not match the model's levels,
        threads < 1.

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
    values = for_model(params, model)
    positions = float_vector(positions_mm, "positions_mm", "mm")
    energies, _ = energies_vector(energies_J, "energies_J")
    workers = thread_count(threads)
    check_populations(setup, model)
    check_positions_for(model, positions.size, "positions_mm")
    opening = aperture_value(aperture, model, "aperture")

    check = canceller(cancel)

    curves, grids, errors, ended_early, wanted = _core.simulate(
        model.native(), setup.native(), values, positions, energies, opening, workers,
        cancel=check)
    _warn_accuracy(model, errors, wanted)
    _warn_not_finite(model, curves, energies, values)
    if not return_info:
        return curves
    info = SimulationInfo(
        grid=tuple(tuple(g) for g in grids) if model.grid_names else None,
        error_estimate=np.array(errors, dtype=np.float64),
        integrations_ended_early=int(ended_early),
    )
    return curves, info


class ModelWarning(RuntimeWarning):
    """A model's curve is not what was asked for: the accuracy it could reach is worse than the
    one requested (the grid search stopped at its limits)."""


def _warn_accuracy(model: Model, errors, wanted=()) -> None:
    accuracy = model.fields.get("accuracy")
    if accuracy is None or model.fields.get("grid") is not None:
        return
    reached = max((e if e == e else float("inf") for e in errors), default=0.0)
    if not reached > accuracy:  # a NaN estimate (a non-finite curve) counts as infinite
        return
    need = max((tuple(w) for w in wanted if w), default=None)
    if need is not None:
        why = (f"the grid search stopped at its cost budget (max_cells = "
               f"{model.fields['max_cells']:g}) where the accuracy would need a grid of about "
               f"{need}; raise max_cells, ask for a coarser accuracy or give fewer positions")
    else:
        why = ("its grid search stopped at its limits; ask for a coarser accuracy or give a "
               "grid")
    warnings.warn(f"the {model.kind} model reached an estimated error of {reached:.3g}, not "
                  f"the requested accuracy {accuracy:g}: {why}", ModelWarning, stacklevel=3)


def _warn_not_finite(model: Model, curves, energies, values) -> None:
    bad = ~np.isfinite(curves)
    if not bad.any():
        return
    rows = np.flatnonzero(bad.any(axis=1))
    named = ", ".join(f"{n}={v:g}" for n, v in zip(model.parameter_names, values))
    warnings.warn(f"the {model.kind} model's curve is not finite at {int(bad.sum())} of "
                  f"{bad.size} points (energies {[float(energies[k]) for k in rows]} J) for "
                  f"{named}: a sample whose optical density is beyond what the model can "
                  "represent (several hundred: exp(-745) underflows), or parameters far outside "
                  "their usual range; the physical model handles any optical density",
                  ModelWarning, stacklevel=3)


# The "ends" normalisation averages the first and the last five points.
ENDS_POINTS = 5


def check_populations(setup: Setup, model: Model) -> None:
    """The set-up gives one population per level of the model's scheme.

    Raises
    ------
    ValueError
        Naming ``setup.populations``, the count expected and the fix.
    """
    levels = model.levels
    given = 0 if setup.populations is None else len(setup.populations)
    if levels and given != levels:
        raise ValueError(f"setup.populations must hold {levels} numbers (m^-3), one per level "
                         f"of the model's scheme, got {given}")


def check_positions_for(model: Model, count: int, name: str) -> None:
    """At least one position, and five where the model's normalisation takes the ends."""
    needed = ENDS_POINTS if model.fields.get("normalisation") == "ends" else 1
    if count < needed:
        extra = " for the 'ends' normalisation" if needed > 1 else ""
        raise ValueError(f"{name} needs at least {needed} positions{extra}, got {count}")


def aperture_value(aperture, model: Model, name: str) -> float:
    """The aperture's linear transmittance as the core takes it (1 for an open aperture).

    Raises
    ------
    TypeError, ValueError
        For a value outside (0, 1), or a closed aperture the model cannot compute.
    """
    if aperture is None:
        return 1.0
    from plix._validation import real_number

    s = real_number(aperture, name)
    if not 0.0 < s < 1.0:
        raise ValueError(f"{name} must be None (open) or the aperture's linear transmittance "
                         f"in (0, 1), got {s!r}")
    if not model.closed_aperture:
        if model.fields.get("geometry", "beam") != "beam":
            raise ValueError(f"{name}: the {model.kind} model with geometry="
                             f"{model.geometry!r} computes open-aperture curves only; use "
                             "geometry='beam' for a closed aperture")
        raise ValueError(f"{name}: the {model.kind} model computes open-aperture curves only; "
                         "use a model that computes closed-aperture curves (see "
                         "plix.model_kinds())")
    return s
