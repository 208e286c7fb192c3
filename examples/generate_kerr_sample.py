"""Make the bundled open + closed aperture sample: a two-photon absorber with a Kerr index.

A semiconductor-like sample at 532 nm with 15 ps pulses, measured at three energies through
an open aperture (kerr_open.csv) and through a closed one of linear transmittance 0.4
(kerr_closed.csv). The curves come from plix.simulate with the physical model without a
level scheme (parameters alpha0, beta and n2; the closed aperture computed from the far
field) on a grid ten times more accurate than the fit's, plus Gaussian noise of known
standard deviation (the sigma column), and with what real scans carry: the focus 0.35 mm
from where the stage's zero is (between scan points, one stage for both files), the closed
file's energy meter reading 4 % low, its detector 1 % low, and the open file's baseline
tilted by 0.03 % per mm.

Run once: python examples/generate_kerr_sample.py. Writes kerr_open.csv and kerr_closed.csv beside
this script; kerr_setup.toml and kerr_true.toml are kept by hand.
"""

from pathlib import Path

import numpy as np

import plix

HERE = Path(__file__).resolve().parent
ENERGIES_J = (0.2e-6, 0.4e-6, 0.8e-6)  # peak intensities about 0.5, 1 and 2 GW/cm^2
APERTURE = 0.4
POSITIONS_MM = np.linspace(-20.0, 20.0, 41)
NOISE = 0.003  # standard deviation of the normalised transmittance
SEED = 20260512
GENERATION_ACCURACY = 1e-5
# The experiment's imperfections, which the demo fits as nuisances.
FOCUS_OFFSET_MM = 0.35       # shared: one translation stage
CLOSED_ENERGY_SCALE = 1.04   # true energy over the energy the closed file records
CLOSED_BASELINE = 0.99
OPEN_TILT_PER_MM = 3e-4


def model(accuracy):
    """The physical model of a sample without populations: alpha0, beta, n2, ...; made once,
    so the grid search may take what the accuracy needs."""
    return plix.Model.physical(scheme=None, geometry="beam", accuracy=accuracy,
                               max_cells=float("inf"))


def main():
    setup, _ = plix.read_setup(HERE / "kerr_setup.toml")
    generator = model(GENERATION_ACCURACY)
    params = plix.read_parameters(HERE / "kerr_true.toml", generator)
    rng = np.random.default_rng(SEED)
    z = POSITIONS_MM - FOCUS_OFFSET_MM  # the positions from the true focus
    sigma = np.full(POSITIONS_MM.size, NOISE)
    # Per file: the aperture, the energy scale, the detector's baseline.
    files = {"kerr_open.csv": (None, 1.0, 1.0 + OPEN_TILT_PER_MM * z),
             "kerr_closed.csv": (APERTURE, CLOSED_ENERGY_SCALE, CLOSED_BASELINE)}
    for name, (aperture, scale, baseline) in files.items():
        clean = plix.simulate(setup, params, z, [e * scale for e in ENERGIES_J],
                              model=generator, aperture=aperture)
        datasets = []
        for energy, curve in zip(ENERGIES_J, clean):
            measured = curve * baseline + rng.normal(0.0, NOISE, curve.size)
            datasets.append(plix.Dataset(POSITIONS_MM, measured, energy, sigma=sigma,
                                         aperture=aperture))
            where = "open" if aperture is None else f"S = {aperture}"
            print(f"{name}: E = {energy * 1e6:.2g} uJ ({where}): from {curve.min():.3f} to "
                  f"{curve.max():.3f}")
        plix.write_scan(HERE / name, plix.Scan(datasets))


if __name__ == "__main__":
    main()
