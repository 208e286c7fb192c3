"""Checks before a fit: the beam's scales, the sample's linear transmittance and the model's
cost, shown, and the unit slips they expose refused or warned of before any long work.
:func:`check`."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field

import numpy as np

__all__ = ["Checks", "check", "beam_quantities"]

# Plausible ranges of the set-up (SI). Outside them the value is a unit slip, not physics.
WAVELENGTH_RANGE = (1e-7, 2e-5)   # m: vacuum UV to far infrared
W0_RANGE = (1e-7, 1e-2)           # m: a diffraction-limited focus to a 1 cm beam
TAU_RANGE = (1e-16, 1e-3)         # s: sub-femtosecond to millisecond pulses
WIDTH_RANGE = (1e-7, 0.1)         # m: a thin film to a 10 cm cell
LARGEST_ENERGY = 1.0              # J per pulse
# Single-shot damage fluence of the sturdiest samples (bulk fused silica) by pulse width:
# about 2 J/cm^2 for pulses up to about 10 ps, growing as the square root of the width
# above (heat diffuses during the pulse; Stuart et al., Phys. Rev. B 53, 1749 (1996)):
# about 20 J/cm^2 at 1 ns and 60 J/cm^2 at 10 ns (FWHM). A peak fluence above it warns (the
# sample is damaged, or a unit slipped); ten times above it no sample survives, and the fit
# is refused as a unit slip.
DAMAGE_FLUENCE = 2e4              # J/m^2 (2 J/cm^2) ...
DAMAGE_KNEE_FWHM = 1e-11          # s ... up to this pulse width (FWHM)
REFUSED_FLUENCE_FACTOR = 10.0
FWHM_PER_TAU = 2.0 * math.sqrt(math.log(2.0))  # FWHM of exp(-(t/tau)^2) over tau
# The implied linear transmittance below which the parameters are suspect.
SMALLEST_TRANSMITTANCE = 1e-3
# The scan must reach the wings (half-range at least this many z0) and resolve the focus
# (at most this many z0 per scan step).
FEWEST_RAYLEIGH_RANGES = 1.5
LARGEST_STEP_IN_Z0 = 1.0
# A start curve that varies this many times more (or less) than the data.
DEPTH_FACTOR = 10.0
# Evaluations a fit takes per start and per free value (and one), roughly: 10 to 20 in the
# test fits and the demo (Levenberg-Marquardt with forward differences).
EVALUATIONS_PER_VALUE = 15
# Evaluations per free value (and one) on the final grid after exploring on a coarse one: the
# searches for that grid, the refinement of the best minimum and the covariance. Measured on
# the five-level demo (2 free values): the two grid searches cost as much as 11 evaluations,
# the refinement 9, the covariance and the curves at the solution 5; 25 in all, 8 per value.
REFINE_EVALUATIONS_PER_VALUE = 8

MM = 1e-3
CM2 = 1e-4  # m^2


@dataclass(frozen=True)
class BeamQuantities:
    """The beam's scales at one pulse energy (SI)."""

    energy: float
    peak_intensity: float   # I0 = 2E/(pi^(3/2) w0^2 tau), W/m^2
    peak_fluence: float     # F0 = 2E/(pi w0^2), J/m^2
    rayleigh_range: float   # z0 = pi w0^2/(M2 lambda), m


def beam_quantities(setup, energy: float) -> BeamQuantities:
    """I0, F0 and z0 of a Gaussian beam and pulse (the conventions of :class:`plix.Setup`)."""
    w2 = setup.w0 ** 2
    return BeamQuantities(energy=energy,
                          peak_intensity=2.0 * energy / (math.pi ** 1.5 * w2 * setup.tau),
                          peak_fluence=2.0 * energy / (math.pi * w2),
                          rayleigh_range=math.pi * w2 / (setup.M2 * setup.wavelength))


def damage_fluence(tau: float) -> float:
    """The single-shot damage fluence of the sturdiest samples at this pulse width (J/m^2)."""
    fwhm = FWHM_PER_TAU * tau
    return DAMAGE_FLUENCE * math.sqrt(max(1.0, fwhm / DAMAGE_KNEE_FWHM))


@dataclass(frozen=True)
class Checks:
    """What :func:`check` found: the quantities shown before a fit, and its warnings.

    Attributes
    ----------
    rows : tuple of (str, str)
        Label and value text, for the report and the command line.
    warnings : tuple of str
        The warnings raised (each also a :class:`plix.FitWarning`).
    peak_intensity, peak_fluence : float
        At the largest pulse energy (W/m^2, J/m^2).
    rayleigh_range : float
        z0 in m.
    linear_transmittance : float or None
        The linear transmittance the start values imply (or the one held), None when the
        model does not say.
    evaluation_seconds : float or None
        One evaluation of every dataset's curve at the start, in s (None when not measured;
        it includes choosing a model's grid).
    estimated_seconds : float or None
        The fit's rough cost.
    """

    rows: tuple
    warnings: tuple
    peak_intensity: float
    peak_fluence: float
    rayleigh_range: float
    linear_transmittance: float | None = None
    evaluation_seconds: float | None = None
    estimated_seconds: float | None = None
    start: object = field(default=None, repr=False)

    def text(self) -> str:
        """The rows as indented lines."""
        width = max((len(label) for label, _ in self.rows), default=0)
        return "\n".join(f"    {label:<{width}} = {value}" for label, value in self.rows)


def _fmt(value: float, digits: int = 3) -> str:
    return f"{value:.{digits}g}"


def _unit_hint(value: float, low: float, high: float, units) -> str:
    """' (it looks like UNIT: give VALUE)' for the first unit that brings value into range."""
    for factor, unit in units:
        if low <= value * factor <= high:
            return f"; it looks like {unit} written as m: give {value * factor:.4g}"
    return ""


def _check_setup(setup) -> None:
    w = setup.wavelength
    if not WAVELENGTH_RANGE[0] <= w <= WAVELENGTH_RANGE[1]:
        raise ValueError(f"setup.wavelength = {w:g} m is not an optical wavelength "
                         f"({WAVELENGTH_RANGE[0]:g} .. {WAVELENGTH_RANGE[1]:g} m)"
                         + _unit_hint(w, *WAVELENGTH_RANGE, ((1e-9, "nm"), (1e-6, "um"))))
    if not W0_RANGE[0] <= setup.w0 <= W0_RANGE[1]:
        raise ValueError(f"setup.w0 = {setup.w0:g} m is not a beam waist radius "
                         f"({W0_RANGE[0]:g} .. {W0_RANGE[1]:g} m)"
                         + _unit_hint(setup.w0, 5e-6, 5e-3, ((1e-6, "um"), (1e-3, "mm"))))
    if not TAU_RANGE[0] <= setup.tau <= TAU_RANGE[1]:
        raise ValueError(f"setup.tau = {setup.tau:g} s is not a pulse width "
                         f"({TAU_RANGE[0]:g} .. {TAU_RANGE[1]:g} s)"
                         + _unit_hint(setup.tau, 1e-15, 1e-6,
                                      ((1e-9, "ns"), (1e-12, "ps"), (1e-15, "fs")))
                         .replace("written as m", "written as s"))


def _check_energies(scan, setup, scale, log) -> list[BeamQuantities]:
    """The beam at each dataset's largest energy; the fluence checks on the energy the model
    applies (its intensity scale times the physical one)."""
    beams = []
    for k, d in enumerate(scan):
        energies = d.point_energies_J if d.point_energies_J is not None else [d.energy_J]
        top = float(np.max(energies))
        if top > LARGEST_ENERGY:
            raise ValueError(f"scan[{k}]: a pulse energy of {top:g} J is above "
                             f"{LARGEST_ENERGY:g} J: energies must be in J (mJ or uJ typed as "
                             f"J? 2.5 uJ is 2.5e-6)")
        beams.append(beam_quantities(setup, top))
    top = max(beams, key=lambda b: b.energy)
    limit = damage_fluence(setup.tau)
    fluence = top.peak_fluence * scale  # what the model applies
    fwhm_ns = FWHM_PER_TAU * setup.tau / 1e-9
    what = ("F0 = 2E/(pi w0^2)" if scale == 1.0
            else f"F0 = 2E/(pi w0^2) times the model's intensity scale {scale:.3g}")
    if fluence > REFUSED_FLUENCE_FACTOR * limit:
        hint = ""
        for factor, unit in ((1e-3, "mJ"), (1e-6, "uJ"), (1e-9, "nJ")):
            if fluence * factor <= limit:
                hint = (f"; if the energies are in {unit}, give them in J (times {factor:g}): "
                        f"F0 would be {fluence * factor * CM2:.3g} J/cm^2")
                break
        raise ValueError(f"the peak fluence {what} = {fluence * CM2:.3g} J/cm^2 at E = "
                         f"{top.energy:g} J, w0 = {setup.w0:g} m is more than "
                         f"{REFUSED_FLUENCE_FACTOR:g} times what the sturdiest samples survive "
                         f"at this pulse width ({limit * CM2:.3g} J/cm^2 at {fwhm_ns:.3g} ns "
                         f"FWHM): a unit slipped (energies in J, w0 in m){hint}")
    if fluence > limit:
        log(f"the peak fluence {what} = {fluence * CM2:.3g} J/cm^2 at E = {top.energy:g} J "
            f"exceeds the single-shot damage fluence of the sturdiest samples at this pulse "
            f"width ({limit * CM2:.3g} J/cm^2 at {fwhm_ns:.3g} ns FWHM): check the energy "
            f"unit (J) and w0 (m)")
    return beams


def _check_scan_range(scan, z0_mm: float, log) -> None:
    for k, d in enumerate(scan):
        z = np.sort(np.asarray(d.positions_mm, dtype=float))
        half = 0.5 * (z[-1] - z[0])
        if z[-1] == z[0]:
            raise ValueError(f"scan[{k}]: every position is {z[0]:g} mm: a Z-scan moves the "
                             "sample through the focus; check the position column")
        step = float(np.median(np.diff(z))) if z.size > 1 else 0.0
        if half < FEWEST_RAYLEIGH_RANGES * z0_mm:
            log(f"scan[{k}] covers +/-{half:.3g} mm, only {half / z0_mm:.2g} z0 (z0 = "
                f"{z0_mm:.3g} mm): the wings are not reached, so the focus, baseline and depth "
                "are not separated; check w0 and the wavelength (m) and the positions (mm)")
        elif step > LARGEST_STEP_IN_Z0 * z0_mm:
            log(f"scan[{k}]: its steps ({step:.3g} mm) are longer than z0 = {z0_mm:.3g} mm: "
                "the focus falls between a few points; check w0 and the wavelength (m) and "
                "the positions (mm)")


def _noise(d) -> float:
    if d.sigma is not None:
        return float(np.median(d.sigma))
    t = np.asarray(d.transmittance, dtype=float)[np.argsort(d.positions_mm, kind="stable")]
    if t.size < 4:
        return 0.0
    # Second differences of white noise have the standard deviation sqrt(6) sigma.
    return float(np.median(np.abs(np.diff(t, 2)))) * 1.4826 / math.sqrt(6.0)


def _check_depth(scan, curves, log) -> None:
    for k, (d, curve) in enumerate(zip(scan, curves)):
        t = np.asarray(d.transmittance, dtype=float)
        data_span = float(np.percentile(t, 98) - np.percentile(t, 2))
        noise = _noise(d)
        model_span = float(np.max(curve) - np.min(curve)) if np.all(np.isfinite(curve)) \
            else math.inf
        where = f"scan[{k}] ({d.energy_J:g} J)"
        if not math.isfinite(model_span):
            log(f"{where}: the model curve at the start values is not finite")
        elif model_span > DEPTH_FACTOR * (data_span + 2.0 * noise):
            log(f"{where}: the model curve at the start values varies by {model_span:.3g}, "
                f"more than {DEPTH_FACTOR:g} times the data's {data_span:.3g}: the start is far "
                "off, or a unit slipped (energies in J, w0 in m, cross-sections in m^2)")
        elif data_span > DEPTH_FACTOR * 2.0 * noise and model_span * DEPTH_FACTOR < data_span:
            log(f"{where}: the model curve at the start values varies by {model_span:.3g}, "
                f"under a tenth of the data's {data_span:.3g}: the start is far off, or a unit "
                "slipped (energies in J, w0 in m, cross-sections in m^2)")


def _phase_rows(model, setup, values, top) -> list[tuple[str, str]]:
    """<DeltaPhi0> and q0 where the model has n2 or beta (thin-sample, Gaussian pulse)."""
    names = list(model.parameter_names)
    alpha = values[names.index("alpha0")] if "alpha0" in names else 0.0
    length = setup.sample_width
    leff = length if alpha <= 0.0 else (1.0 - math.exp(-alpha * length)) / alpha
    rows = []
    if "n2" in names:
        phase = 2.0 * math.pi / setup.wavelength * values[names.index("n2")] \
            * top.peak_intensity * leff
        rows.append(("<DeltaPhi0> at the largest energy",
                     f"{phase / math.sqrt(2.0):.3g} rad (k n2 I0 Leff / sqrt 2, at the start)"))
    if "beta" in names:
        q0 = values[names.index("beta")] * top.peak_intensity * leff
        rows.append(("q0 at the largest energy", f"{q0:.3g} (beta I0 Leff, at the start)"))
    return rows


@dataclass(frozen=True)
class StartCurves:
    """Every dataset's curve at the start values, with the grid the model chose for each (None
    for a model without one), its error estimate, and the seconds they took."""

    curves: tuple
    grids: tuple | None
    errors: tuple
    seconds: float


def _start_curves(scan, setup, model, native, values, threads, center, cancel) -> StartCurves:
    """The curves at the start of `native` (the model, or the relaxed copy the starts explore
    with), each dataset centred as the fit starts it (its focus rule, unless the positions are
    used as given)."""
    from plix import _core
    from plix._cancel import canceller
    from plix._simulate import aperture_value

    began = time.perf_counter()
    curves, grids, errors = [], [], []
    native_setup = setup.native()
    for k, d in enumerate(scan):
        opening = aperture_value(d.aperture, model, f"scan[{k}].aperture")
        z = np.asarray(d.positions_mm, dtype=np.float64)
        if center != "none":
            z = z - _core.focus_position(native, z, np.asarray(d.transmittance, np.float64),
                                         opening)
        curve, grid, error, _, _ = _core.simulate(native, native_setup, values, z,
                                                  np.array([d.energy_J]), opening, threads,
                                                  cancel=canceller(cancel))
        curves.append(np.asarray(curve)[0])
        grids.append(tuple(int(g) for g in grid[0]))
        errors.append(float(error[0]))
    return StartCurves(curves=tuple(curves), grids=tuple(grids) if model.grid_names else None,
                       errors=tuple(errors), seconds=time.perf_counter() - began)


def check(scan, setup, params, model=None, *, nvarys=None, n_starts=1, threads=1,
          linear_transmittance=None, center="fit", evaluate=True, cancel=None,
          warn=None, coarse_factor=None) -> Checks:
    """Check the inputs of a fit before it runs, and show the scales that expose unit slips.

    Shows I0 and F0 at the largest pulse energy, z0 against the scan's range, the linear
    transmittance the parameters and populations imply (or the one held), <DeltaPhi0> and
    q0 where the model has n2 or beta, and the fit's rough cost (one evaluation of every
    curve at the start values, timed).

    Parameters
    ----------
    scan, setup, params, model
        As for :func:`plix.fit`.
    nvarys, n_starts, threads, linear_transmittance, center, cancel, coarse_factor
        As the fit will run: the free values (for the cost), its starts, worker threads, the
        held linear transmittance, the centring, its cancel event and how much looser the
        accuracy of the grid its starts explore on is (the start curves are computed with
        it; default: :func:`plix.fit`'s, 20).
    evaluate : bool
        Evaluate every curve at the start (to compare its depth with the data's and to time
        it); default True.
    warn : callable, optional
        Called with each warning's text instead of raising it as a FitWarning.

    Raises
    ------
    ValueError
        A wavelength outside 1e-7 .. 2e-5 m, a w0 outside 1e-7 .. 1e-2 m, a tau outside
        1e-16 .. 1e-3 s, a pulse energy above 1 J, a peak fluence more than ten times what
        the sturdiest samples survive at the pulse width (2 J/cm^2 up to 10 ps FWHM, growing
        as its square root beyond), a dataset whose positions are all the same; each message
        names the likely unit slip.

    Warns
    -----
    FitWarning
        A fluence above that damage fluence; a scan that does not reach +/-1.5 z0 or whose
        steps exceed z0; an implied linear transmittance below 1e-3; a start curve that
        varies ten times more or less than the data; a sample width outside 1e-7 .. 0.1 m.
    """
    import warnings

    from plix._fit import scan_of
    from plix._model import Model
    from plix._parameters import for_model
    from plix._result import FitWarning
    from plix._transmittance import held_start, implied_transmittance

    scan = scan_of(scan)
    model = Model.physical() if model is None else model
    found = []

    def log(message: str) -> None:
        found.append(message)
        if warn is not None:
            warn(message)
        else:
            warnings.warn(message, FitWarning, stacklevel=3)

    _check_setup(setup)
    beams = _check_energies(scan, setup, model.intensity_scale, log)
    top = max(beams, key=lambda b: b.energy)
    z0_mm = top.rayleigh_range / MM
    _check_scan_range(scan, z0_mm, log)
    if not WIDTH_RANGE[0] <= setup.sample_width <= WIDTH_RANGE[1]:
        log(f"setup.sample_width = {setup.sample_width:g} m is outside {WIDTH_RANGE[0]:g} .. "
            f"{WIDTH_RANGE[1]:g} m: give it in m (1 mm = 1e-3)")
    values = for_model(params, model)
    if linear_transmittance is not None:
        setup, values = held_start(float(linear_transmittance), model, setup, values)
        values = np.asarray(values, dtype=np.float64)
    rows = [("peak intensity I0", f"{top.peak_intensity * CM2:.3g} W/cm^2 at {top.energy:g} J"),
            ("peak fluence F0", f"{top.peak_fluence * CM2:.3g} J/cm^2"
             + ("" if model.intensity_scale == 1.0 else
                f" (the model applies {model.intensity_scale:.3g} of it)")
             + f"; damage of the sturdiest samples: {damage_fluence(setup.tau) * CM2:.3g} "
             "J/cm^2"),
            ("Rayleigh range z0", f"{z0_mm:.3g} mm; the scan spans "
             + ", ".join(sorted({f'{_span(d):.3g}' for d in scan})) + " mm")]
    if linear_transmittance is not None:
        t0 = float(linear_transmittance)
        rows.append(("linear transmittance T0", f"{t0:.4g} (held)"))
    else:
        t0 = implied_transmittance(model, setup, values)
        if t0 is not None:
            rows.append(("linear transmittance T0", f"{t0:.4g} (implied by the start values "
                         "and populations)"))
            if t0 < SMALLEST_TRANSMITTANCE:
                log(f"the start values and populations imply a linear transmittance T0 = "
                    f"{t0:.3g} (exp(-L sum sigma N)): give the measured T0 "
                    "(linear_transmittance=, command line --T0) or check the cross-sections "
                    "(m^2) and populations (m^-3)")
    rows += _phase_rows(model, setup, values, top)
    evaluation = estimate = start = None
    if evaluate:
        from plix import _core

        from plix._fit import DEFAULT_COARSE_FACTOR

        if coarse_factor is None:
            coarse_factor = DEFAULT_COARSE_FACTOR
        native = model.native()
        relaxed = _core.relaxed_model(native, float(coarse_factor)) if nvarys != 0 else None
        start = _start_curves(scan, setup, model, relaxed or native, values, threads, center,
                              cancel)
        _check_depth(scan, start.curves, log)
        chosen = ""
        evaluation = start.seconds
        if start.grids is not None and model.fields.get("grid", ()) is None:
            # The time included choosing the grid: time one curve on the grid chosen.
            evaluation = _fixed_grid_seconds(scan, setup, model, values, threads, start,
                                             cancel)
            chosen = f" on the grid chosen, which took {_duration(start.seconds)} to choose"
        count = EVALUATIONS_PER_VALUE * max(n_starts, 1) * ((nvarys or 1) + 1)
        estimate = evaluation * count
        detail = f"about {count} evaluations"
        if relaxed is not None:
            # The final grid has about coarse_factor times the cells (second order in time
            # and depth); its search and the refinement cost a few evaluations per value.
            final = REFINE_EVALUATIONS_PER_VALUE * ((nvarys or 1) + 1)
            estimate += evaluation * coarse_factor * final
            chosen += f", for an accuracy {coarse_factor:g} times looser than the model's"
            detail += f" there and about {final} on a grid about {coarse_factor:g} times finer"
        rows.append(("estimated cost", f"about {_duration(estimate)} (one evaluation of every "
                     f"curve: {_duration(evaluation)}{chosen}; {detail})"))
    return Checks(rows=tuple(rows), warnings=tuple(found), peak_intensity=top.peak_intensity,
                  peak_fluence=top.peak_fluence, rayleigh_range=top.rayleigh_range,
                  linear_transmittance=t0, evaluation_seconds=evaluation,
                  estimated_seconds=estimate, start=start)


def _fixed_grid_seconds(scan, setup, model, values, threads, start, cancel) -> float:
    """One evaluation of every curve on the grid the start chose, estimated from the timed
    curve of the dataset with the fewest points."""
    from plix import _core
    from plix._cancel import canceller
    from plix._simulate import aperture_value

    grid = tuple(int(g) for g in np.max(np.array(start.grids), axis=0))
    fixed = model.replace(grid=grid).native()
    k = min(range(len(scan)), key=lambda i: len(scan[i]))
    d = scan[k]
    began = time.perf_counter()
    _core.simulate(fixed, setup.native(), values, np.asarray(d.positions_mm, dtype=np.float64),
                   np.array([d.energy_J]), aperture_value(d.aperture, model, "aperture"),
                   threads, cancel=canceller(cancel))
    seconds = time.perf_counter() - began
    return seconds * sum(len(x) for x in scan) / len(d)


def _span(d) -> float:
    z = np.asarray(d.positions_mm, dtype=float)
    return float(z.max() - z.min())


def _duration(seconds: float) -> str:
    if seconds < 1.0:
        return f"{seconds * 1e3:.3g} ms"
    if seconds < 120.0:
        return f"{seconds:.3g} s"
    return f"{seconds / 60.0:.3g} min"
