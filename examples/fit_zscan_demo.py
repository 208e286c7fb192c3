"""Fit the bundled sample: two cross-sections (sigma_12, sigma_45) of a reverse saturable absorber.

Reads rsa_sample.csv and rsa_sample.json (true parameters and set-up), starts the fitted
cross-sections a factor of two off, fits them with plix_wrapper.fit_zscan, prints true,
start and fitted values with the errors, and writes rsa_fit.png (data and model per energy).
Run: python examples/fit_zscan_demo.py
"""

import json
import time
import warnings
from pathlib import Path

import numpy as np

import plix_wrapper

HERE = Path(__file__).resolve().parent
NAMES = ["sigma_12", "sigma_23", "sigma_45", "tau_21", "tau_24", "tau_32", "tau_41", "tau_54"]
FIT = np.array([0, 2], dtype=np.int32)  # sigma_12 and sigma_45
START_FACTOR = 2.0


def load_sample():
    setup = json.loads((HERE / "rsa_sample.json").read_text())
    data = np.loadtxt(HERE / "rsa_sample.csv", delimiter=",", skiprows=1)
    energies = np.unique(data[:, 0])
    return setup, energies, data[:, 1].copy(), data[:, 2].copy()


def fit(setup, energies, x, y, spec_pars, fit_indices, n_starts):
    return plix_wrapper.fit_zscan(
        x, y, np.array(setup["populations"]), setup["t_slices"], setup["z_slices"],
        setup["sample_width"], setup["tau"], setup["wavelength"], setup["w0"], setup["M2"],
        energies, spec_pars, fit_indices, x.size // energies.size, energies.size,
        is_sa=False, n_starts=n_starts)


def error_at(setup, energies, x, y, spec_pars):
    """The fit's error at fixed parameters: a call that fits nothing (more fitted entries
    than residuals) returns the error of its single start, whose factor is 10^-0.52."""
    pars = np.array(spec_pars, dtype=float)
    pars[FIT] /= 10.0 ** -0.52
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        _, err, _ = fit(setup, energies, x, y, pars, np.resize(FIT, x.size + 1), 1)
    return err


def plot(energies, x, y, residuals, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = x.size // energies.size
    fig, axes = plt.subplots(1, energies.size, figsize=(4 * energies.size, 3.4), sharey=True)
    for d, (ax, energy) in enumerate(zip(np.atleast_1d(axes), energies)):
        block = slice(d * n, (d + 1) * n)
        ax.plot(x[block], y[block], "o", ms=4, label="data")
        ax.plot(x[block], (y - residuals)[block], "-", label="fitted model")
        ax.set_title(f"E = {energy * 1e3:g} mJ")
        ax.set_xlabel("position (mm)")
    np.atleast_1d(axes)[0].set_ylabel("normalised transmittance")
    np.atleast_1d(axes)[0].legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    setup, energies, x, y = load_sample()
    truth = np.array(setup["true_spec_pars"])
    start = truth.copy()
    start[FIT] *= START_FACTOR
    print(f"{setup['description']}: {energies.size} energies x {x.size // energies.size} positions")

    began = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        residuals, error, fitted = fit(setup, energies, x, y, start, FIT, 3)
    elapsed = time.perf_counter() - began
    for w in caught:
        # Trial values far from the data (the widest start) can make single integrations
        # stop early; the fit reports it and goes on.
        print(f"warning: {w.message}")

    print(f"{'parameter':>10} {'true':>12} {'start':>12} {'fitted':>12} {'fitted/true':>12}")
    for p in FIT:
        print(f"{NAMES[p]:>10} {truth[p]:12.4e} {start[p]:12.4e} {fitted[p]:12.4e} "
              f"{fitted[p] / truth[p]:12.4f}")
    print(f"error at the fit:             {error:.6f}   ({elapsed:.1f} s, 3 starts)")
    print(f"error at the true parameters: {error_at(setup, energies, x, y, truth):.6f}")
    png = HERE / "rsa_fit.png"
    plot(energies, x, y, residuals, png)
    print(f"wrote {png}")


if __name__ == "__main__":
    main()
