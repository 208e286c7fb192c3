"""Make the bundled physical-model sample: a reverse saturable absorber at three energies.

The curves come from plix.simulate with the physical model (beam geometry, the transmitted
energy over the whole beam) on a grid ten times more accurate than the fit's, at the true
parameters in physical_true.toml, plus Gaussian noise of known standard deviation, which is
written as the sigma column. Run once: python examples/generate_physical_sample.py
Writes physical_sample.csv beside this script; the set-up (physical_setup.toml), the true
values (physical_true.toml) and the fit's start (physical_start.toml) are kept by hand.
"""

from pathlib import Path

import numpy as np

import plix

HERE = Path(__file__).resolve().parent
ENERGIES_J = (2e-7, 5e-7, 1e-6)  # sub-uJ pulses: dips of about 11, 21 and 32 %
POSITIONS_MM = np.linspace(-30.0, 30.0, 41)
NOISE = 0.003  # standard deviation of the normalised transmittance
SEED = 20261208
GENERATION_ACCURACY = 1e-5


def main():
    setup, _ = plix.read_setup(HERE / "physical_setup.toml")
    truth = plix.read_parameters(HERE / "physical_true.toml")
    model = plix.Model.physical(geometry="beam", accuracy=GENERATION_ACCURACY)
    clean = plix.simulate(setup, truth, POSITIONS_MM, ENERGIES_J, model=model)
    rng = np.random.default_rng(SEED)
    noisy = clean + rng.normal(0.0, NOISE, clean.shape)
    sigma = np.full(POSITIONS_MM.size, NOISE)
    for energy, curve in zip(ENERGIES_J, clean):
        print(f"E = {energy * 1e6:.2g} uJ: dip {100 * (1 - curve.min()):.1f} %")
    scan = plix.Scan.from_arrays([POSITIONS_MM] * len(ENERGIES_J), noisy, ENERGIES_J,
                                 sigma=[sigma] * len(ENERGIES_J))
    plix.write_scan(HERE / "physical_sample.csv", scan)


if __name__ == "__main__":
    main()
