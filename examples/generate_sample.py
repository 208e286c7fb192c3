"""Make the bundled sample: a reverse saturable absorber measured at three pulse energies.

The curves come from the project's own model (the test binding `_plix_testing`, built by
`make test`) at the true parameters in rsa_sample.json, plus 0.5 % Gaussian noise.
Run once: python examples/generate_sample.py
"""

import json
from pathlib import Path

import numpy as np

import _plix_testing as model

HERE = Path(__file__).resolve().parent
SETUP = {
    "description": "reverse saturable absorber, 532 nm, 5 ns pulses, 1 mm sample",
    "wavelength": 532e-9, "tau": 5e-9, "w0": 25e-6, "M2": 1.0, "sample_width": 1e-3,
    "populations": [1e24, 0.0, 0.0, 0.0, 0.0],
    "pulse_energy": [2e-3, 4e-3, 8e-3],
    "t_slices": 6, "z_slices": 4,
    "positions_mm": {"start": -30.0, "stop": 30.0, "count": 31},
    # sigma_12, sigma_23, sigma_45 (m^2); lifetimes 2->1, 2->4, 3->2, 4->1, 5->4 (s)
    "true_spec_pars": [1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12],
    "noise": 0.005, "seed": 20261208,
}


def model_curve(x_mm, energy, s):
    """The transmittance curve of one energy, built as the fit builds its model."""
    z0 = np.pi * s["w0"] ** 2 / (s["M2"] * s["wavelength"])
    time_grid = model.linspace(-s["tau"] * 0.5, s["tau"] * 0.5, s["t_slices"])
    depth_grid = model.linspace(0.0, s["sample_width"], s["z_slices"])
    z_m = [x * 0.001 for x in x_mm]
    plane = [model.beam_intensity(0.0, t, z, energy, s["tau"], s["w0"], z0)
             for t in time_grid for z in z_m]  # column-major: position fastest
    curve, tally = model.zscan_transmittance(z_m, depth_grid, time_grid, s["populations"],
                                             plane, 299792458.0 / s["wavelength"],
                                             s["true_spec_pars"])
    assert tally["success"] == sum(tally.values()), tally
    return np.array(curve)


def main():
    p = SETUP["positions_mm"]
    x = np.linspace(p["start"], p["stop"], p["count"])
    rng = np.random.default_rng(SETUP["seed"])
    rows = []
    for energy in SETUP["pulse_energy"]:
        clean = model_curve(x, energy, SETUP)
        noisy = clean + rng.normal(0.0, SETUP["noise"], x.size)
        print(f"E = {energy * 1e3:.0f} mJ: dip {100 * (1 - clean.min()):.1f} %")
        rows += [(energy, xi, yi) for xi, yi in zip(x, noisy)]
    (HERE / "rsa_sample.json").write_text(json.dumps(SETUP, indent=2) + "\n")
    with open(HERE / "rsa_sample.csv", "w") as f:
        f.write("pulse_energy_J,position_mm,transmittance\n")
        for energy, xi, yi in rows:
            f.write(f"{float(energy)!r},{float(xi)!r},{float(yi)!r}\n")


if __name__ == "__main__":
    main()
