"""Closed forms of thin-sample Z-scans for the global-fit tests, written as plix model functions
(Sheik-Bahae et al., IEEE JQE 26, 760 (1990)): two-photon absorption through an open
aperture, integrated over the Gaussian pulse by quadrature, and Kerr refraction through a
closed one in its small-phase form, 1 + 4 x <DeltaPhi0> (1 - S)^0.25 / ((x^2 + 1)(x^2 + 9)).
"""

import math

import numpy as np

import plix

# Time nodes of the pulse integral, in units of tau (the integrand is smooth: 81 nodes over
# +-5 tau give it to far below the noise of the tests).
TIME = np.linspace(-5.0, 5.0, 81)

SETUP = plix.Setup(wavelength=800e-9, w0=25e-6, tau=100e-15, sample_width=1e-3)
BETA = 1e-11   # m/W, 1 cm/GW
N2 = 3e-19     # m^2/W
ENERGY = 1e-8  # J: q0 about 0.6 and <DeltaPhi0> about 0.1 rad
APERTURE = 0.3


def peak_intensity(energy, setup):
    return 2.0 * np.asarray(energy, dtype=float) / (math.pi ** 1.5 * setup.w0 ** 2 * setup.tau)


def rayleigh_mm(setup):
    return math.pi * setup.w0 ** 2 / (setup.M2 * setup.wavelength) * 1e3


def open_aperture(x, energy, beta, setup):
    """Normalised 2PA transmittance at x = z / z0: (1 / (sqrt(pi) q)) int ln(1 + q e^-t^2) dt."""
    q = np.atleast_1d(beta * peak_intensity(energy, setup) * setup.sample_width / (1.0 + x ** 2))
    q = q[:, None]
    safe = np.where(q > 0.0, q, 1.0)
    integral = np.trapezoid(np.log1p(q * np.exp(-TIME ** 2)) / safe, TIME, axis=1)
    return np.where(q[:, 0] > 0.0, integral / math.sqrt(math.pi), 1.0)


def kerr(x, energy, n2, aperture, setup):
    """The closed-aperture factor of a small Kerr phase; 1 for an open aperture."""
    if aperture >= 1.0:
        return np.ones_like(x)
    phase = (2.0 * math.pi / setup.wavelength * n2 * peak_intensity(energy, setup)
             * setup.sample_width / math.sqrt(2.0))
    return 1.0 + 4.0 * x * phase * (1.0 - aperture) ** 0.25 / ((x ** 2 + 1.0) * (x ** 2 + 9.0))


def zscan(z, energy, beta, n2, aperture, setup):
    """Open: the 2PA curve; closed: the 2PA curve times the Kerr factor."""
    x = np.asarray(z, dtype=float) / rayleigh_mm(setup)
    return open_aperture(x, energy, beta, setup) * kerr(x, energy, n2, aperture, setup)


MODEL = plix.Model.from_function(zscan, {"beta": plix.ParameterSpec("beta", unit="m/W",
                                                                     lowest=0.0, fit_min=0.0),
                                         "n2": "m^2/W"})


def curves(positions, energy=ENERGY, beta=BETA, n2=N2, aperture=APERTURE, setup=SETUP,
           offset=0.0):
    """(open, closed) at the measured positions, the focus at `offset` mm."""
    z = np.asarray(positions, dtype=float) - offset
    return (zscan(z, energy, beta, n2, 1.0, setup), zscan(z, energy, beta, n2, aperture, setup))
