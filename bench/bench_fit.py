"""Time a whole fit_zscan call for a standard case (31 positions x 2 energies, t_slices 10,
z_slices 8, two fitted parameters, 3 starts), count its model evaluations, and time one
model evaluation beside the same evaluation written with SciPy (odeint per step).

Usage: python bench/bench_fit.py [--repeats N]   (after make test, which builds _plix_testing)
"""

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_model  # noqa: E402  (the SciPy model and the problem set-up)

import _plix_testing as plix  # noqa: E402
import plix_wrapper  # noqa: E402

NX, ENERGIES, NT, NZ, N_STARTS = 31, [3e-3, 6e-3], 10, 8, 3
TRUE = np.array(bench_model.PARAMS)
FIT = np.array([1, 2], dtype=np.int32)


def standard_case():
    x = np.linspace(-30.0, 30.0, NX)
    positions = np.tile(x, len(ENERGIES))
    populations = np.array(bench_model.POPULATIONS)
    # Data: the model at the true parameters plus 0.5 % noise.
    y = np.ones(positions.size)
    exact = plix.fit_start(positions, y, populations, NT, NZ, bench_model.SAMPLE_WIDTH,
                           bench_model.TAU, bench_model.WAVELENGTH, bench_model.W0,
                           bench_model.M2, ENERGIES, TRUE, [], NX, len(ENERGIES))
    y = 1.0 - np.array(exact["residuals"]) + np.random.default_rng(1).normal(0, 0.005, y.size)
    start = TRUE.copy()
    start[FIT] *= 2.0
    return dict(x_data=positions, y_data=y, populations=populations, t_slices=NT, z_slices=NZ,
                sample_width=bench_model.SAMPLE_WIDTH, tau=bench_model.TAU,
                wavelength=bench_model.WAVELENGTH, w0=bench_model.W0, M2=bench_model.M2,
                pulse_energy=np.array(ENERGIES), spec_pars=start, fit_indices=FIT,
                num_x_pts=NX, num_datasets=len(ENERGIES), n_starts=N_STARTS)


def evaluations_per_start(case):
    """Residual evaluations of each start, run through the engine's own entry."""
    d = max(N_STARTS - 1, 1)
    x = case["x_data"] - case["x_data"][np.argmin(case["y_data"])]
    counts = []
    for k in range(N_STARTS):
        row = case["spec_pars"].copy()
        row[FIT] *= 10.0 ** (k * 1.04 / d - 0.52)
        r = plix.fit_start(x, case["y_data"], case["populations"], NT, NZ,
                           case["sample_width"], case["tau"], case["wavelength"], case["w0"],
                           case["M2"], case["pulse_energy"], row, list(FIT + 1), NX,
                           len(ENERGIES))
        counts.append((r["evaluations"], r["lm_info"], r["error"]))
    return counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    case = standard_case()

    times = []
    for _ in range(args.repeats):
        began = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            _, error, fitted = plix_wrapper.fit_zscan(**case)
        times.append(time.perf_counter() - began)
    counts = evaluations_per_start(case)
    x = case["x_data"] - case["x_data"][np.argmin(case["y_data"])]
    at_truth = plix.fit_start(x, case["y_data"], case["populations"], NT, NZ,
                              case["sample_width"], case["tau"], case["wavelength"],
                              case["w0"], case["M2"], case["pulse_energy"], TRUE, [], NX,
                              len(ENERGIES))["error"]
    total = sum(c[0] + 1 for c in counts)  # + the final evaluation of each start

    positions, depth_grid, time_grid, incident, nu = bench_model.build_problem()
    flat = incident.ravel(order="F")
    t_model, _ = bench_model.median_time(
        lambda: plix.zscan_transmittance(positions, depth_grid, time_grid,
                                         bench_model.POPULATIONS, flat, nu, TRUE), 7)
    t_scipy, _ = bench_model.median_time(
        lambda: bench_model.scipy_transmittance(depth_grid, time_grid,
                                                bench_model.POPULATIONS, incident, nu, TRUE), 3)

    fit_time = statistics.median(times)
    print(f"fit_zscan: {NX} positions x {len(ENERGIES)} energies, t_slices {NT}, z_slices {NZ}, "
          f"{FIT.size} fitted, {N_STARTS} starts")
    print(f"  whole call : {fit_time:8.2f} s   (median of {args.repeats})")
    print(f"  evaluations: {total} residual evaluations of {len(ENERGIES)} datasets "
          f"(per start {[c[0] for c in counts]}, lmdif1 info {[c[1] for c in counts]})")
    print(f"  per dataset evaluation: {fit_time / (total * len(ENERGIES)) * 1e3:.1f} ms")
    print(f"  best error {error:.6f} (at the true parameters {at_truth:.6f}); "
          f"fitted/true {np.round(fitted[FIT] / TRUE[FIT], 4)}")
    print(f"one model evaluation (nx {NX}, nt {NT}, nz {NZ}):")
    print(f"  native {t_model * 1e3:.1f} ms, scipy {t_scipy * 1e3:.1f} ms, "
          f"ratio {t_scipy / t_model:.1f}x")


if __name__ == "__main__":
    main()
