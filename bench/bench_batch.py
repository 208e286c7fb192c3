"""Many independent fits: 32 fits of the standard kind (31 positions x 2 energies,
sigma_23 and sigma_45 free from 2x off, 3 starts, 0.5 % noise, each scan made at its own
sigma_45) made four ways: (a) a plain loop of plix.fit on one thread each, (b) the same loop
with all cores in each fit, (c) plix.fit_many on the local thread pool, (d) plix.fit_many on
a Dask LocalCluster of two worker processes (one thread each; started before the clock).
Medians of a few runs; whether every way gave the loop's results bit for bit; the machine's
load (uptime) before and after.

Usage: python bench/bench_batch.py [--jobs N] [--repeats N]   (after make test)
"""

import argparse
import os
import statistics
import subprocess
import time
import warnings

import numpy as np

import plix

SETUP = plix.Setup(wavelength=532e-9, w0=30e-6, tau=5e-9, sample_width=1e-3,
                   populations=[1e24, 0, 0, 0, 0])
TRUTH = plix.Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
MODEL = plix.Model.seed(integrator="exact", t_slices=6, z_slices=4)
POSITIONS = np.linspace(-30.0, 30.0, 31)
ENERGIES = [3e-3, 6e-3]
FREE = ("sigma_23", "sigma_45")
NOISE = 0.005
CLUSTER_WORKERS = 2


def uptime() -> str:
    try:
        return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "load averages " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def make_jobs(count: int) -> list:
    rng = np.random.default_rng(7)
    jobs = []
    for k in range(count):
        truth = TRUTH.copy()
        truth["sigma_45"].value *= 0.6 + 0.8 * k / max(1, count - 1)
        curves = plix.simulate(SETUP, truth, POSITIONS, ENERGIES, model=MODEL, threads=1)
        data = curves + rng.normal(0.0, NOISE, curves.shape)
        start = truth.copy().vary(*FREE)
        for name in FREE:
            start[name].value *= 2.0
        scan = plix.Scan.from_arrays([POSITIONS] * len(ENERGIES), list(data), ENERGIES)
        jobs.append(plix.FitJob(scan, SETUP, start, MODEL, n_starts=3))
    return jobs


def median_wall(run, repeats):
    times, out = [], None
    for _ in range(repeats):
        began = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", plix.FitWarning)
            out = run()
        times.append(time.perf_counter() - began)
    return statistics.median(times), out


def same(results, reference) -> bool:
    return all(isinstance(r, plix.FitResult) and np.array_equal(r.values, q.values)
               and np.array_equal(r.covariance, q.covariance) and r.chisqr == q.chisqr
               for r, q in zip(results, reference))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jobs", type=int, default=32)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    cores = len(os.sched_getaffinity(0))
    print(f"before: {uptime()}")
    print(f"cores available: {cores}; {args.jobs} fits; medians of {args.repeats} runs")
    jobs = make_jobs(args.jobs)
    rows = {}
    rows["(a) loop, plix.fit(threads=1)"], reference = median_wall(
        lambda: [job.run(threads=1) for job in jobs], args.repeats)
    rows["(b) loop, plix.fit(threads=None)"], loop_all = median_wall(
        lambda: [job.run(threads=None) for job in jobs], args.repeats)
    rows["(c) fit_many, local pool"], pool = median_wall(
        lambda: plix.fit_many(jobs), args.repeats)
    outcomes = {"(b) loop, plix.fit(threads=None)": loop_all, "(c) fit_many, local pool": pool}
    try:
        import distributed
    except ImportError:
        distributed = None
        print("(d) skipped: Dask's distributed is not installed (pip install "
              "'plix-zscan[dask]')")
    if distributed is not None:
        began = time.perf_counter()
        with distributed.LocalCluster(n_workers=CLUSTER_WORKERS, threads_per_worker=1,
                                      processes=True, dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            startup = time.perf_counter() - began
            name = f"(d) fit_many, Dask LocalCluster ({CLUSTER_WORKERS} processes)"
            rows[name], outcomes[name] = median_wall(
                lambda: plix.fit_many(jobs, client=client), args.repeats)
        print(f"cluster start-up (not in (d)): {startup:.2f} s")
    base = rows["(a) loop, plix.fit(threads=1)"]
    for name, wall in rows.items():
        check = "" if name not in outcomes else (
            f", results {'identical to' if same(outcomes[name], reference) else 'DIFFERENT from'}"
            f" (a)")
        print(f"{name}: {wall:.2f} s, {base / wall:.2f}x (a){check}")
    print(f"evaluations per fit (a): median "
          f"{statistics.median(r.total_nfev for r in reference):.0f}")
    print(f"after: {uptime()}")


if __name__ == "__main__":
    main()
