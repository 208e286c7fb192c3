"""The standard fit (31 positions x 2 energies, sigma_23 and sigma_45 free from 2x off,
3 starts, data at known parameters with 0.5 % noise) made three ways:
(a) plix_wrapper.fit_zscan, (b) plix.fit with the exact seed model, (c) plix.fit with the
physical beam model on data made with that model. Wall time on one core and on all,
evaluations, chi^2 against the chi^2 of the true parameters, fitted over true values.

Usage: python bench/bench_plix_fit.py [--repeats N]   (after make test)
"""

import argparse
import os
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_fit  # noqa: E402  (fit_zscan's standard case)
import bench_model  # noqa: E402

import plix  # noqa: E402
import plix_wrapper  # noqa: E402

FREE = ("sigma_23", "sigma_45")
NOISE = 0.005
# The physical model's intensity is about 6000x the seed model's at the same energy: these
# energies give dips of the same order as the standard case's 3 and 6 mJ.
PHYSICAL_ENERGIES = [0.5e-6, 1.0e-6]

SETUP = plix.Setup(wavelength=bench_model.WAVELENGTH, w0=bench_model.W0, tau=bench_model.TAU,
                   sample_width=bench_model.SAMPLE_WIDTH, populations=bench_model.POPULATIONS,
                   M2=bench_model.M2)
TRUTH = plix.Parameters(*bench_model.PARAMS)


def median_wall(run, repeats):
    times, out = [], None
    for _ in range(repeats):
        began = time.perf_counter()
        out = run()
        times.append(time.perf_counter() - began)
    return statistics.median(times), out


def chisqr(scan, params, model, shifts):
    total = 0.0
    for d, s in zip(scan, shifts):
        curve = plix.simulate(SETUP, params, d.positions_mm - s, d.energy_J, model=model)[0]
        total += float(np.sum((d.transmittance - curve) ** 2))
    return total


def started():
    p = TRUTH.copy().vary(*FREE)
    for name in FREE:
        p[name].value *= 2.0
    return p


def fit_zscan_case(case, repeats):
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return plix_wrapper.fit_zscan(**case)

    wall, (_, _, fitted) = median_wall(run, repeats)
    nfev = sum(c[0] + 1 for c in bench_fit.evaluations_per_start(case))
    # fit_zscan's parameters may leave the physical range (a negative cross-section), which
    # plix.simulate refuses: its own model gives the residuals (unweighted) instead.
    def chisqr_lsoda(params):
        c = case
        x = c["x_data"] - c["x_data"][np.argmin(c["y_data"])]
        r = bench_fit.plix.fit_start(x, c["y_data"], c["populations"], c["t_slices"],
                                     c["z_slices"], c["sample_width"], c["tau"],
                                     c["wavelength"], c["w0"], c["M2"], c["pulse_energy"],
                                     np.asarray(params, dtype=float), [], bench_fit.NX,
                                     len(bench_fit.ENERGIES))
        return float(np.sum(np.square(r["residuals"])))

    return dict(wall_1=wall, wall_all=None, nfev=nfev, chisqr=chisqr_lsoda(fitted),
                at_truth=chisqr_lsoda(TRUTH.as_array()),
                ratio=[fitted[list(TRUTH.names).index(n)] / TRUTH[n].value for n in FREE])


def plix_case(scan, model, repeats):
    rows = {}
    for threads in (1, None):
        def run():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", plix.FitWarning)
                return plix.fit(scan, SETUP, started(), model=model, n_starts=3,
                                threads=threads)

        rows[threads], result = median_wall(run, repeats)
    fixed_model = result.model  # the physical model's grid as the fit held it
    return dict(wall_1=rows[1], wall_all=rows[None], nfev=result.total_nfev,
                chisqr=result.chisqr,
                at_truth=chisqr(scan, TRUTH, fixed_model, result.position_shifts_mm),
                ratio=[result.params[n].value / TRUTH[n].value for n in FREE],
                stderr=[result.params[n].stderr / TRUTH[n].value for n in FREE],
                grid=result.grid, status=result.status)


def physical_scan():
    x = np.linspace(-30.0, 30.0, bench_fit.NX)
    model = plix.Model.physical()
    curves = plix.simulate(SETUP, TRUTH, x, PHYSICAL_ENERGIES, model=model)
    rng = np.random.default_rng(1)
    data = curves + rng.normal(0.0, NOISE, curves.shape)
    return plix.Scan.from_arrays([x, x], list(data), PHYSICAL_ENERGIES), curves


def show(name, row):
    all_cores = "" if row["wall_all"] is None else f", all cores {row['wall_all']:.2f} s"
    print(f"{name}")
    print(f"  wall: 1 core {row['wall_1']:.2f} s{all_cores}")
    print(f"  evaluations: {row['nfev']}   chi^2 {row['chisqr']:.6g} "
          f"(true parameters {row['at_truth']:.6g})")
    print(f"  fitted/true {np.round(row['ratio'], 4).tolist()}"
          + (f", stderr/true {np.round(row['stderr'], 4).tolist()}" if "stderr" in row else "")
          + (f", grid {row['grid']}" if row.get("grid") else "")
          + (f", status {row['status']}" if "status" in row else ""))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(f"cores available: {len(os.sched_getaffinity(0))} (a shared machine: figures are "
          f"noisy; medians of {args.repeats})")
    case = bench_fit.standard_case()
    a = fit_zscan_case(case, args.repeats)
    show("(a) fit_zscan (seed model, LSODA)", a)

    x = case["x_data"].reshape(len(bench_fit.ENERGIES), -1)
    y = case["y_data"].reshape(len(bench_fit.ENERGIES), -1)
    scan = plix.Scan.from_arrays(list(x), list(y), bench_fit.ENERGIES)
    b = plix_case(scan, plix.Model.seed(integrator="exact"), args.repeats)
    show("(b) plix.fit, Model.seed(integrator='exact')", b)
    print(f"  speed-up over (a): {a['wall_1'] / b['wall_1']:.1f}x on 1 core, "
          f"{a['wall_1'] / b['wall_all']:.1f}x on all; chi^2 <= truth's: "
          f"{b['chisqr'] <= b['at_truth']}")

    pscan, curves = physical_scan()
    print(f"(c) data: physical model at {PHYSICAL_ENERGIES} J, dips "
          f"{np.round(1 - curves.min(axis=1), 3).tolist()}")
    c = plix_case(pscan, plix.Model.physical(), max(1, args.repeats // 2))
    show("(c) plix.fit, Model.physical() (beam, automatic grid held fixed)", c)


if __name__ == "__main__":
    main()
