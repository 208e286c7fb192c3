"""An independent model of the discretised Z-scan transmittance, for the tests.

During a population step the intensity is held fixed, so the five populations obey a
linear system with constant coefficients and the step is a matrix exponential; during an
attenuation step the populations are fixed and the intensity decays exponentially. The
result is the exact solution of the discretised model that the integrator approximates.
"""

import math

import numpy as np
from scipy.linalg import expm

SPEED_OF_LIGHT = 299792458.0
INVERSE_PLANCK = 1.5091901796421518e33


def rate_matrix(params, nu, intensity):
    """A with dN/dt = A N at fixed intensity."""
    s12, s23, s45 = params[:3]
    k21, k24, k32, k41, k54 = (1.0 / t for t in params[3:8])
    phi = INVERSE_PLANCK / nu * intensity
    a = np.zeros((5, 5))
    a[0, 0], a[0, 1], a[0, 3] = -s12 * phi, k21, k41
    a[1, 0], a[1, 1], a[1, 2] = s12 * phi, -(k21 + k24 + s23 * phi), k32
    a[2, 1], a[2, 2] = s23 * phi, -k32
    a[3, 1], a[3, 3], a[3, 4] = k24, -(k41 + s45 * phi), k54
    a[4, 3], a[4, 4] = s45 * phi, -k54
    return a


def reference_fraction(depth_grid, time_grid, populations, incident, nu, params):
    """Fraction of the pulse energy transmitted at each row of `incident` (nx, nt)."""
    incident = np.asarray(incident, dtype=float)
    nx, nt = incident.shape
    nz = len(depth_grid)
    if nz == 0:
        return np.ones(nx)
    dt = time_grid[1] - time_grid[0]
    dz = depth_grid[1]
    absorption = np.array([params[0], params[1], 0.0, params[2], 0.0])
    fraction = np.empty(nx)
    for i in range(nx):
        slices = np.tile(np.asarray(populations[:5], dtype=float), (nz, 1))
        transmitted = 0.0
        for j in range(nt):
            intensity = incident[i, j]
            for k in range(nz):
                slices[k] = expm(rate_matrix(params, nu, intensity) * dt) @ slices[k]
                intensity *= math.exp(-(absorption @ slices[k]) * dz)
            transmitted += intensity
        fraction[i] = transmitted / incident[i].sum()
    return fraction


def shifted(curve):
    """The curve moved so that its first five and last five values average 1."""
    curve = np.asarray(curve)
    return curve + (1.0 - 0.1 * (curve[:5].sum() + curve[-5:].sum()))


def incident_plane(positions_mm, time_grid, energy, tau, w0, M2, wavelength):
    """On-axis intensity (nx, nt) entering the sample, from the closed form."""
    z0 = math.pi * w0**2 / (M2 * wavelength)
    z = 0.001 * np.asarray(positions_mm, dtype=float)[:, None]
    t = np.asarray(time_grid)[None, :]
    peak = energy * 1.88e-4 / (math.pi * tau * w0**2)
    return peak * np.exp(-((t / tau) ** 2)) / (1.0 + (z / z0) ** 2)


def zscan_curves(x_mm, energies, populations, t_slices, z_slices, sample_width, tau,
                 wavelength, w0, M2, params):
    """Model curves of several datasets on the (centred) scan positions x_mm, one block of
    len(x_mm) values per energy."""
    time_grid = np.linspace(-tau / 2, tau / 2, t_slices)
    depth_grid = np.linspace(0.0, sample_width, z_slices)
    nu = SPEED_OF_LIGHT / wavelength
    return np.concatenate([
        shifted(reference_fraction(
            depth_grid, time_grid, populations,
            incident_plane(x_mm, time_grid, e, tau, w0, M2, wavelength), nu, params))
        for e in energies
    ])
