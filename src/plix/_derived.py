"""The numbers papers report, and those that expose unit mistakes.

From a model's parameters (looked up by name across models: ``beta``, ``gamma``, ``I_sat``,
``n2``, ``delta_sigma``, ``alpha0``, ``alpha_s``), the set-up and the scan:
:func:`derived_quantities` before a fit, :meth:`plix.FitResult.derived_quantities` after one
(uncertainties propagated from the fit's covariance).

Conventions (one set, stated in every report):

* I0 = 2E/(pi^(3/2) w0^2 tau), the peak on-axis intensity at the focus (tau the 1/e
  half-width of exp(-(t/tau)^2)); F0 = 2E/(pi w0^2), the peak on-axis fluence.
* z0 = pi w0^2/(M2 lambda); Leff = (1 - e^(-alpha0 L))/alpha0; L'eff the same with 2 alpha0.
* <DeltaPhi0> = k n2 I0 Leff/sqrt(2), q0 = beta I0 Leff, p0 = sqrt(2 gamma L'eff) I0,
  q_F = delta_sigma alpha0 Leff F0/(2 h nu): at the focus, for the dataset's energy.
* chi(3) in SI after Boyd (I = 2 n0 eps0 c |E|^2): Re chi(3) = (4/3) n0^2 eps0 c n2,
  Im chi(3) = n0^2 eps0 c lambda beta/(3 pi), in m^2/V^2; in esu the forms of Z-scan papers,
  Re chi(3) = 1e-4 eps0 c^2 n0^2 n2[cm^2/W]/pi and Im chi(3) = 1e-2 eps0 c^2 n0^2 lambda
  beta[cm/W]/(4 pi^2) (SI values, lambda in m), which are the SI values divided by
  4 pi/(3 c) = 1.397e-8.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field

import numpy as np

from plix import _core

__all__ = ["DatasetQuantities", "DerivedQuantities", "Quantity", "derived_quantities"]

_C = _core.physical_constants
SPEED_OF_LIGHT = _C["speed_of_light"]  # m/s
PLANCK = _C["planck"]  # J s
VACUUM_PERMITTIVITY = _C["vacuum_permittivity"]  # F/m
AVOGADRO = _C["avogadro"]  # 1/mol

# Unit factors: the SI value divided by these gives the value in the named unit.
M_PER_MM = 1e-3
M_PER_CM = 1e-2
BETA_CM_PER_GW = 1e-11  # m/W   (1 cm/GW = 1e-2 m / 1e9 W)
GAMMA_CM3_PER_GW2 = 1e-24  # m^3/W^2   (1e-6 m^3 / 1e18 W^2)
INTENSITY_GW_PER_CM2 = 1e13  # W/m^2   (1e9 W / 1e-4 m^2)
FLUENCE_J_PER_CM2 = 1e4  # J/m^2
AREA_CM2 = 1e-4  # m^2: cross-sections, and n2 in cm^2/W
DENSITY_PER_CM3 = 1e6  # m^-3
GOEPPERT_MAYER = 1e-58  # m^4 s   (1 GM = 1e-50 cm^4 s photon^-1)
LITRE = 1e-3  # m^3
# The mean of an instantaneous cubic effect over a Gaussian pulse, relative to its peak.
PULSE_AVERAGE = 1.0 / math.sqrt(2.0)

# Relative step of the central differences that carry the covariance to a derived quantity.
DIFFERENCE_STEP = 1e-6

ABSORPTION_NAMES = ("alpha0", "alpha_s")

CONVENTIONS = (
    "I0 = 2E/(pi^(3/2) w0^2 tau) and F0 = 2E/(pi w0^2) on axis at the focus (tau: 1/e "
    "half-width); z0 = pi w0^2/(M2 lambda); Leff = (1 - exp(-alpha0 L))/alpha0",
    "<DeltaPhi0> = k n2 I0 Leff/sqrt(2), q0 = beta I0 Leff, p0 = sqrt(2 gamma L'eff) I0, "
    "q_F = delta_sigma alpha0 Leff F0/(2 h nu), at the focus",
    "chi(3): SI as Boyd (I = 2 n0 eps0 c |E|^2), Re = (4/3) n0^2 eps0 c n2, Im = n0^2 eps0 c "
    "lambda beta/(3 pi); esu = SI/1.397e-8 (the esu forms of Z-scan papers)",
    "n2(esu) = (c n0/(40 pi)) n2(m^2/W), c in m/s (Sheik-Bahae et al. 1990); "
    "sigma2 = h nu beta/N (1 GM = 1e-50 cm^4 s), N the set-up's first population",
)


@dataclass(frozen=True)
class Quantity:
    """One derived number.

    Attributes
    ----------
    name : str
        Its key (``"beta_cm_per_GW"``, ``"I0"``, ...).
    label : str
        How the report names it (``"beta"``, ``"Im chi(3)"``, ...).
    value : float
        In ``unit``.
    unit : str
        ``""`` for a pure number.
    stderr : float or None
        Standard error in ``unit``, propagated from the parameters' covariance (or their own
        standard errors) to first order; None when no uncertain parameter enters.
    """

    name: str
    label: str
    value: float
    unit: str
    stderr: float | None = None


@dataclass(frozen=True)
class DatasetQuantities:
    """The derived numbers of one dataset (one pulse energy).

    Attributes
    ----------
    index : int
        The dataset's place in the scan.
    energy_J : float
        Its pulse energy (with one energy per point, their median).
    aperture : float or None
        None for an open aperture, else the aperture's linear transmittance.
    quantities : tuple of Quantity
        I0, F0, and where they apply <DeltaPhi0>, q0, p0, I0/I_sat, q_F, and the scan's ends
        in units of z0.
    """

    index: int
    energy_J: float
    aperture: float | None
    quantities: tuple[Quantity, ...]

    def __getitem__(self, name: str) -> Quantity:
        return _find(self.quantities, name)


@dataclass(frozen=True)
class DerivedQuantities:
    """The numbers papers report and those that expose unit mistakes.

    Attributes
    ----------
    material : tuple of Quantity
        The model's coefficients in publication units (beta in cm/GW, gamma in cm^3/GW^2,
        I_sat in GW/cm^2, n2 in cm^2/W and esu, delta_sigma in cm^2), Re and Im chi(3) in
        m^2/V^2 and esu, sigma2 in GM when the number density is known, the figure of merit
        2 beta lambda/n2.
    sample : tuple of Quantity
        z0, L/(n0 z0), Leff (and L'eff), the linear transmittance, the number density.
    datasets : tuple of DatasetQuantities
        Per dataset: I0, F0, the phase or strength of the nonlinearity, the scan range in z0.
    conventions : tuple of str
        The definitions behind the numbers.

    ``derived["n2_esu"]`` finds a quantity of ``material`` or ``sample`` by name.
    """

    material: tuple[Quantity, ...]
    sample: tuple[Quantity, ...]
    datasets: tuple[DatasetQuantities, ...]
    conventions: tuple[str, ...] = field(default=CONVENTIONS)

    def __getitem__(self, name: str) -> Quantity:
        return _find(self.material + self.sample, name)

    def to_dict(self) -> dict:
        """Plain data: ``material`` and ``sample`` as name -> {label, value, unit, stderr},
        ``datasets`` as a list of {index, energy_J, aperture, quantities}, ``conventions``."""
        return {
            "material": _rows_dict(self.material),
            "sample": _rows_dict(self.sample),
            "datasets": [{"index": d.index, "energy_J": d.energy_J, "aperture": d.aperture,
                          "quantities": _rows_dict(d.quantities)} for d in self.datasets],
            "conventions": list(self.conventions),
        }


def _find(rows, name: str) -> Quantity:
    for row in rows:
        if row.name == name:
            return row
    raise KeyError(f"no derived quantity {name!r}; there are "
                   f"{', '.join(r.name for r in rows) or 'none'}")


def _rows_dict(rows) -> dict:
    return {r.name: {"label": r.label, "value": r.value, "unit": r.unit, "stderr": r.stderr}
            for r in rows}


# --------------------------------------------------------------------------- formulas


@dataclass(frozen=True)
class _Context:
    """What the formulas read: the set-up and the number density (m^-3, or None)."""

    setup: object
    density: float | None

    @property
    def photon_energy(self) -> float:  # J
        return PLANCK * SPEED_OF_LIGHT / self.setup.wavelength

    @property
    def wavenumber(self) -> float:  # 1/m
        return 2.0 * math.pi / self.setup.wavelength

    def peak_intensity(self, energy: float) -> float:  # W/m^2
        s = self.setup
        return 2.0 * energy / (math.pi ** 1.5 * s.w0 ** 2 * s.tau)

    def peak_fluence(self, energy: float) -> float:  # J/m^2
        return 2.0 * energy / (math.pi * self.setup.w0 ** 2)


def effective_length(alpha: float, length: float) -> float:
    """(1 - exp(-alpha L))/alpha, L at alpha = 0 (m)."""
    return length if alpha == 0.0 else -math.expm1(-alpha * length) / alpha


def _absorption(v) -> float:
    return next((v[n] for n in ABSORPTION_NAMES if n in v), 0.0)


def _leff(ctx, v) -> float:
    return effective_length(_absorption(v), ctx.setup.sample_width)


def _leff3(ctx, v) -> float:
    return effective_length(2.0 * _absorption(v), ctx.setup.sample_width)


def _re_chi3_si(ctx, v) -> float:  # m^2/V^2 (Boyd)
    n0 = ctx.setup.n0
    return 4.0 / 3.0 * n0 ** 2 * VACUUM_PERMITTIVITY * SPEED_OF_LIGHT * v["n2"]


def _im_chi3_si(ctx, v) -> float:  # m^2/V^2 (Boyd)
    s = ctx.setup
    return s.n0 ** 2 * VACUUM_PERMITTIVITY * SPEED_OF_LIGHT * s.wavelength * v["beta"] / (
        3.0 * math.pi)


def _re_chi3_esu(ctx, v) -> float:
    # Z-scan papers' form, n2 in cm^2/W, eps0 and c in SI.
    n2_cm2 = v["n2"] / AREA_CM2
    return 1e-4 * VACUUM_PERMITTIVITY * SPEED_OF_LIGHT ** 2 * ctx.setup.n0 ** 2 * n2_cm2 / math.pi


def _im_chi3_esu(ctx, v) -> float:
    # Z-scan papers' form, beta in cm/W, lambda in m, eps0 and c in SI.
    s = ctx.setup
    beta_cm = v["beta"] / M_PER_CM
    return (1e-2 * VACUUM_PERMITTIVITY * SPEED_OF_LIGHT ** 2 * s.n0 ** 2 * s.wavelength
            * beta_cm / (4.0 * math.pi ** 2))


@dataclass(frozen=True)
class _Definition:
    name: str
    label: str
    unit: str
    needs: tuple[str, ...]  # parameter names that must all be present
    value: Callable  # (ctx, values) -> float, or (ctx, values, dataset) for datasets
    density: bool = False  # needs the number density


_MATERIAL = (
    _Definition("beta_cm_per_GW", "beta", "cm/GW", ("beta",),
                lambda c, v: v["beta"] / BETA_CM_PER_GW),
    _Definition("Im_chi3_SI", "Im chi(3)", "m^2/V^2", ("beta",), _im_chi3_si),
    _Definition("Im_chi3_esu", "Im chi(3)", "esu", ("beta",), _im_chi3_esu),
    # sigma2 = h nu beta/N (Rumi and Perry, Adv. Opt. Photon. 2, 451 (2010)).
    _Definition("sigma2_GM", "sigma2", "GM", ("beta",),
                lambda c, v: c.photon_energy * v["beta"] / c.density / GOEPPERT_MAYER,
                density=True),
    _Definition("gamma_cm3_per_GW2", "gamma", "cm^3/GW^2", ("gamma",),
                lambda c, v: v["gamma"] / GAMMA_CM3_PER_GW2),
    _Definition("I_sat_GW_per_cm2", "I_sat", "GW/cm^2", ("I_sat",),
                lambda c, v: v["I_sat"] / INTENSITY_GW_PER_CM2),
    _Definition("n2_cm2_per_W", "n2", "cm^2/W", ("n2",), lambda c, v: v["n2"] / AREA_CM2),
    # Sheik-Bahae et al., IEEE J. Quantum Electron. 26, 760 (1990).
    _Definition("n2_esu", "n2", "esu", ("n2",),
                lambda c, v: SPEED_OF_LIGHT * c.setup.n0 / (40.0 * math.pi) * v["n2"]),
    _Definition("Re_chi3_SI", "Re chi(3)", "m^2/V^2", ("n2",), _re_chi3_si),
    _Definition("Re_chi3_esu", "Re chi(3)", "esu", ("n2",), _re_chi3_esu),
    _Definition("abs_chi3_esu", "|chi(3)|", "esu", ("n2", "beta"),
                lambda c, v: math.hypot(_re_chi3_esu(c, v), _im_chi3_esu(c, v))),
    # Mizrahi et al., Opt. Lett. 14, 1140 (1989): all-optical switching needs T < 1.
    _Definition("figure_of_merit_T", "2 beta lambda/n2", "", ("n2", "beta"),
                lambda c, v: 2.0 * v["beta"] * c.setup.wavelength / v["n2"]),
    _Definition("delta_sigma_cm2", "sigma_ex - sigma_g", "cm^2", ("delta_sigma",),
                lambda c, v: v["delta_sigma"] / AREA_CM2),
    _Definition("sigma_g_cm2", "sigma_g", "cm^2", ("delta_sigma", "alpha0"),
                lambda c, v: v["alpha0"] / c.density / AREA_CM2, density=True),
    _Definition("sigma_ex_cm2", "sigma_ex", "cm^2", ("delta_sigma", "alpha0"),
                lambda c, v: (v["alpha0"] / c.density + v["delta_sigma"]) / AREA_CM2,
                density=True),
)

_NONLINEAR = ("beta", "gamma", "n2", "delta_sigma", "I_sat")

_SAMPLE = (
    _Definition("z0", "z0", "mm", (),
                lambda c, v: c.setup.rayleigh_range / M_PER_MM),
    _Definition("thickness_in_z0", "L/(n0 z0)", "", (),
                lambda c, v: c.setup.sample_width / (c.setup.n0 * c.setup.rayleigh_range)),
    _Definition("alpha0_per_cm", "alpha0", "1/cm", ("alpha0",),
                lambda c, v: v["alpha0"] * M_PER_CM),
    _Definition("alpha_s_per_cm", "alpha_s", "1/cm", ("alpha_s",),
                lambda c, v: v["alpha_s"] * M_PER_CM),
    _Definition("Leff", "Leff", "mm", ("*nonlinear",), lambda c, v: _leff(c, v) / M_PER_MM),
    _Definition("Leff3", "L'eff", "mm", ("gamma",), lambda c, v: _leff3(c, v) / M_PER_MM),
    _Definition("linear_transmittance", "linear transmittance", "", ("*absorption",),
                lambda c, v: math.exp(-_absorption(v) * c.setup.sample_width)),
    _Definition("density_per_cm3", "N", "cm^-3", (),
                lambda c, v: c.density / DENSITY_PER_CM3, density=True),
    _Definition("concentration", "concentration", "mol/L", (),
                lambda c, v: c.density / AVOGADRO * LITRE, density=True),
)


def _i0(c, d) -> float:
    return c.peak_intensity(d.energy)


_DATASET = (
    _Definition("I0", "I0", "GW/cm^2", (), lambda c, v, d: _i0(c, d) / INTENSITY_GW_PER_CM2),
    _Definition("F0", "F0", "J/cm^2", (),
                lambda c, v, d: c.peak_fluence(d.energy) / FLUENCE_J_PER_CM2),
    _Definition("DeltaPhi0", "<DeltaPhi0>", "rad", ("n2",),
                lambda c, v, d: PULSE_AVERAGE * c.wavenumber * v["n2"] * _i0(c, d) * _leff(c, v)),
    _Definition("q0", "q0", "", ("beta",), lambda c, v, d: v["beta"] * _i0(c, d) * _leff(c, v)),
    _Definition("p0", "p0", "", ("gamma",),
                lambda c, v, d: math.sqrt(2.0 * v["gamma"] * _leff3(c, v)) * _i0(c, d)),
    _Definition("I0_over_I_sat", "I0/I_sat", "", ("I_sat",),
                lambda c, v, d: _i0(c, d) / v["I_sat"]),
    _Definition("q_F", "q_F", "", ("delta_sigma", "alpha0"),
                lambda c, v, d: v["delta_sigma"] * v["alpha0"] * _leff(c, v)
                * c.peak_fluence(d.energy) / (2.0 * c.photon_energy)),
    _Definition("x_min", "scan from", "z0", (),
                lambda c, v, d: d.first_mm * M_PER_MM / c.setup.rayleigh_range),
    _Definition("x_max", "scan to", "z0", (),
                lambda c, v, d: d.last_mm * M_PER_MM / c.setup.rayleigh_range),
)


def _applies(definition: _Definition, names, ctx) -> bool:
    if definition.density and ctx.density is None:
        return False
    for need in definition.needs:
        if need == "*nonlinear":
            if not any(n in names for n in _NONLINEAR):
                return False
        elif need == "*absorption":
            if not any(n in names for n in ABSORPTION_NAMES):
                return False
        elif need not in names:
            return False
    return True


# --------------------------------------------------------------------------- uncertainty


@dataclass(frozen=True)
class _Uncertainty:
    """The parameters' covariance: over `names`, or None when nothing is uncertain."""

    names: tuple[str, ...]
    covariance: np.ndarray | None


def _stderr(function, values: dict, uncertainty: _Uncertainty) -> float | None:
    """First-order standard error of function(values): central differences times the
    covariance; None when no uncertain parameter changes it."""
    if uncertainty.covariance is None:
        return None
    gradient = np.zeros(len(uncertainty.names))
    for k, name in enumerate(uncertainty.names):
        x = values[name]
        step = DIFFERENCE_STEP * abs(x)
        if step == 0.0:
            sd = math.sqrt(abs(uncertainty.covariance[k, k]))
            step = DIFFERENCE_STEP * sd if math.isfinite(sd) and sd > 0 else 0.0
        if step == 0.0:
            continue
        try:
            up = function({**values, name: x + step})
            down = function({**values, name: x - step})
        except (ValueError, ZeroDivisionError, OverflowError):
            return math.nan
        gradient[k] = (up - down) / (2.0 * step)
    used = gradient != 0.0
    if not used.any():
        return None
    g = gradient[used]
    cov = uncertainty.covariance[np.ix_(used, used)]
    with np.errstate(invalid="ignore", over="ignore"):
        variance = float(g @ cov @ g)
    return math.sqrt(variance) if variance >= 0.0 else math.nan


def _quantity(definition, function, values, uncertainty) -> Quantity:
    try:
        value = float(function(values))
    except (ValueError, ZeroDivisionError, OverflowError):
        value = math.nan
    return Quantity(definition.name, definition.label, value, definition.unit,
                    _stderr(function, values, uncertainty))


# --------------------------------------------------------------------------- inputs


@dataclass(frozen=True)
class _DatasetView:
    index: int
    energy: float
    aperture: float | None
    first_mm: float
    last_mm: float


def _datasets(scan, shifts) -> list[_DatasetView]:
    from plix._scan import Dataset, Scan

    if scan is None:
        return []
    if isinstance(scan, Dataset):
        scan = Scan([scan])
    if isinstance(scan, Scan):
        out = []
        for k, d in enumerate(scan):
            shift = 0.0 if shifts is None else float(shifts[k])
            positions = np.asarray(d.positions_mm, dtype=float) - shift
            out.append(_DatasetView(k, d.energy_J, d.aperture, float(positions.min()),
                                    float(positions.max())))
        return out
    energies = np.atleast_1d(np.asarray(scan, dtype=float))
    if energies.ndim != 1 or not np.all(np.isfinite(energies) & (energies > 0)):
        raise ValueError("scan must be a plix.Scan, a plix.Dataset, or pulse energies in J "
                         "(positive and finite)")
    return [_DatasetView(k, float(e), None, math.nan, math.nan) for k, e in enumerate(energies)]


def _values(params, model) -> dict:
    from plix._parameters import Parameters, for_model

    if model is not None:
        return dict(zip(model.parameter_names, for_model(params, model).tolist()))
    if isinstance(params, Parameters):
        return params.values()
    if isinstance(params, Mapping):
        return {str(k): float(v) for k, v in params.items()}
    raise TypeError("params must be a plix.Parameters or a mapping name -> value (or give "
                    "the model)")


def _density(setup) -> float | None:
    populations = setup.populations
    if populations and populations[0] > 0.0:
        return float(populations[0])
    return None


def _diagonal_uncertainty(params, values) -> _Uncertainty:
    from plix._parameters import Parameters

    if not isinstance(params, Parameters):
        return _Uncertainty((), None)
    known = [(p.name, p.stderr) for p in params if p.stderr is not None and p.name in values]
    if not known:
        return _Uncertainty((), None)
    return _Uncertainty(tuple(n for n, _ in known),
                        np.diag([float(s) ** 2 for _, s in known]))


def _compute(setup, values: dict, datasets, uncertainty) -> DerivedQuantities:
    ctx = _Context(setup, _density(setup))
    names = set(values)

    def rows(definitions):
        return tuple(_quantity(d, lambda v, d=d: d.value(ctx, v), values, uncertainty)
                     for d in definitions if _applies(d, names, ctx))

    per_dataset = []
    for view in datasets:
        chosen = [d for d in _DATASET if _applies(d, names, ctx)
                  and not (d.name in ("x_min", "x_max") and math.isnan(view.first_mm))]
        per_dataset.append(DatasetQuantities(
            view.index, view.energy, view.aperture,
            tuple(_quantity(d, lambda v, d=d: d.value(ctx, v, view), values, uncertainty)
                  for d in chosen)))
    return DerivedQuantities(rows(_MATERIAL), rows(_SAMPLE), tuple(per_dataset))


def derived_quantities(setup, params, scan=None, model=None) -> DerivedQuantities:
    """The numbers papers report, and those that expose unit mistakes, before a fit.

    Parameters
    ----------
    setup : plix.Setup
        The experiment. Its first population, when given, is the number density of the
        absorbers (m^-3) behind sigma2 in GM and sigma_g.
    params : plix.Parameters or mapping name -> value
        The model's parameters; which ones it has (beta, gamma, I_sat, n2, delta_sigma,
        alpha0, alpha_s) decides which numbers apply. Standard errors that ``params`` carry
        are propagated (as independent).
    scan : plix.Scan, plix.Dataset, float or sequence of float, optional
        The datasets (their energies, apertures and scan ranges), or pulse energies in J.
    model : plix.Model, optional
        Fills in the parameters ``params`` leaves out with their defaults, and checks them.

    Returns
    -------
    DerivedQuantities

    Examples
    --------
    >>> import plix
    >>> setup = plix.Setup(wavelength=800e-9, w0=20e-6, tau=60e-15, sample_width=1e-3)
    >>> numbers = plix.derived_quantities(setup, {"beta": 1e-11}, scan=[50e-9])
    >>> numbers["beta_cm_per_GW"].value
    1.0
    """
    from plix._setup import Setup

    if not isinstance(setup, Setup):
        raise TypeError(f"setup must be a plix.Setup, got {type(setup).__name__}")
    values = _values(params, model)
    return _compute(setup, values, _datasets(scan, None), _diagonal_uncertainty(params, values))


def result_quantities(result) -> DerivedQuantities:
    """The derived numbers of a fit result, uncertainties from its covariance."""
    values = result.params.values()
    names = [n for n in result.var_names if n in values]
    index = [result.var_names.index(n) for n in names]
    covariance = np.asarray(result.covariance, dtype=float)
    uncertainty = (_Uncertainty(tuple(names), covariance[np.ix_(index, index)]) if names
                   else _Uncertainty((), None))
    return _compute(result.setup, values, _datasets(result.scan, result.position_shifts_mm),
                    uncertainty)

