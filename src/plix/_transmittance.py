"""The sample's linear transmittance T0: what a model's parameters and populations imply, and
how a fit holds it at the measured value.

T0 = exp(-L (alpha0 + sum alpha_b + sum sigma N)), with L the sample width, alpha0 the
model's ``alpha0`` parameter, alpha_b its other absorption coefficients (parameters in 1/m,
such as a saturable absorption at low intensity) and the sum over the one-photon transitions
of its level scheme from populated levels (cross-section times the level's initial
population). Held at a measured T0, a fit scales every initial population by one factor (a
concentration) at each evaluation, so that the ground-state absorption gives T0 with the
cross-sections as they stand; a model without a populated absorbing level gets alpha0 =
-ln(T0)/L minus the other coefficients instead.
"""

from __future__ import annotations

import math

from plix import _core

__all__ = ["held_transmittance", "implied_transmittance"]

ALPHA0 = "alpha0"
COEFFICIENT_UNIT = "1/m"


def _layout(model, setup):
    """(terms, alpha0 index or None, background indices) of the model's linear absorption."""
    names = list(model.parameter_names)
    terms = []
    scheme = model.fields.get("scheme")
    populations = setup.populations or ()
    if scheme is not None and hasattr(scheme, "transitions"):
        for t in scheme.transitions:
            level = t.lower - 1
            if t.photons == 1 and level < len(populations) and populations[level] > 0.0:
                terms.append((names.index(t.cross_section), level))
    alpha = names.index(ALPHA0) if ALPHA0 in names else None
    background = [k for k, spec in enumerate(model.parameter_specs)
                  if spec.unit == COEFFICIENT_UNIT and k != alpha]
    return terms, alpha, background


def implied_transmittance(model, setup, values) -> float | None:
    """The linear transmittance the parameter values (model order) and the set-up's
    populations imply, or None for a model that does not say (no scheme, no coefficient)."""
    terms, alpha, background = _layout(model, setup)
    if not terms and alpha is None and not background:
        return None
    absorbance = sum(values[p] * setup.populations[level] for p, level in terms)
    absorbance += sum(values[k] for k in background)
    if alpha is not None:
        absorbance += values[alpha]
    return math.exp(-absorbance * setup.sample_width)


def held_transmittance(transmittance, model, setup, free_names):
    """The engine's description of a fit that holds T0, after checking that it can.

    Raises
    ------
    TypeError, ValueError
        For a T0 outside (0, 1), a model with nothing to hold, or alpha0 free where alpha0 is
        what holds T0.
    """
    from plix._validation import real_number

    t0 = real_number(transmittance, "linear_transmittance")
    if not 0.0 < t0 < 1.0:
        raise ValueError(f"linear_transmittance must be the sample's measured linear "
                         f"transmittance in (0, 1) (a fraction, not percent), got {t0!r}")
    terms, alpha, background = _layout(model, setup)
    if not terms and alpha is None:
        raise ValueError(f"linear_transmittance: the {model.kind} model has no linear "
                         "absorption to hold (no one-photon transition from a populated level "
                         "of its scheme, no alpha0 parameter)")
    if not terms and ALPHA0 in free_names:
        raise ValueError("linear_transmittance fixes alpha0 (= -ln(T0)/L); do not free alpha0 "
                         "as well")
    if terms and all(setup.populations[level] == 0 for _, level in terms):
        raise ValueError("linear_transmittance: no absorbing level is populated")
    return _core.HeldTransmittance(absorbance=-math.log(t0), sample_width=setup.sample_width,
                                   terms=terms, alpha_parameter=alpha,
                                   background_parameters=background)


def held_start(transmittance, model, setup, values):
    """(setup, values) as a fit holding T0 starts: populations scaled, or alpha0 set; as given
    when the held T0 cannot be reached from these values."""
    import dataclasses

    terms, alpha, background = _layout(model, setup)
    values = list(values)
    length = setup.sample_width
    absorbance = -math.log(transmittance)
    coefficients = sum(values[k] for k in background)
    if not terms:
        if alpha is not None and absorbance / length - coefficients >= 0.0:
            values[alpha] = absorbance / length - coefficients
        return setup, values
    if alpha is not None:
        coefficients += values[alpha]
    unit = length * sum(values[p] * setup.populations[level] for p, level in terms)
    scale = (absorbance - coefficients * length) / unit if unit > 0 else math.nan
    if not (scale >= 0.0 and math.isfinite(scale)):
        return setup, values
    populations = tuple(n * scale for n in setup.populations)
    return dataclasses.replace(setup, populations=populations), values
