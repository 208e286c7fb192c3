"""Many independent fits: 32 fits of the standard kind (31 positions x 2 energies,
sigma_23 and sigma_45 free from 2x off, 3 starts, 0.5 % noise, each scan made at its own
sigma_45) made four ways: (a) a plain loop of plix.fit on one thread each, (b) the same loop
with all cores in each fit, (c) plix.fit_many on the local thread pool, (d) plix.fit_many on
a Dask LocalCluster of two worker processes (one thread each; started before the clock).
Medians of a few runs, the four ways taken in turn within each run; whether every way gave
the loop's results bit for bit; the machine's load (uptime) before and after.

Usage: python bench/bench_batch.py [--jobs N] [--repeats N]   (after make test)
"""

import argparse
import contextlib
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


def timed(run):
    began = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plix.FitWarning)
        out = run()
    return time.perf_counter() - began, out


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
    print(f"cores available: {cores}; {args.jobs} fits; medians of {args.repeats} runs, the "
          f"ways taken in turn within each run so that they share the machine's load")
    jobs = make_jobs(args.jobs)
    ways = {
        "(a) loop, plix.fit(threads=1)": lambda client: [job.run(threads=1) for job in jobs],
        "(b) loop, plix.fit(threads=None)": lambda client: [job.run(threads=None)
                                                            for job in jobs],
        "(c) fit_many, local pool": lambda client: plix.fit_many(jobs),
    }
    try:
        import distributed
    except ImportError:
        distributed = None
        print("(d) skipped: Dask's distributed is not installed (pip install "
              "'plix-zscan[dask]')")
    else:
        name = f"(d) fit_many, Dask LocalCluster ({CLUSTER_WORKERS} processes)"
        ways[name] = lambda client: plix.fit_many(jobs, client=client)
    with contextlib.ExitStack() as stack:
        client = None
        if distributed is not None:
            began = time.perf_counter()
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=CLUSTER_WORKERS, threads_per_worker=1, processes=True,
                dashboard_address=None))
            client = stack.enter_context(distributed.Client(cluster))
            print(f"cluster start-up (not in (d)): {time.perf_counter() - began:.2f} s")
        walls = {name: [] for name in ways}
        outcomes = {}
        for _ in range(args.repeats):
            for name, run in ways.items():
                wall, outcomes[name] = timed(lambda: run(client))
                walls[name].append(wall)
    reference = outcomes["(a) loop, plix.fit(threads=1)"]
    base = statistics.median(walls["(a) loop, plix.fit(threads=1)"])
    for name, times in walls.items():
        wall = statistics.median(times)
        check = "" if name.startswith("(a)") else (
            f", results {'identical to' if same(outcomes[name], reference) else 'DIFFERENT from'}"
            f" (a)")
        print(f"{name}: {wall:.2f} s, {base / wall:.2f}x (a){check}")
    print(f"evaluations per fit (a): median "
          f"{statistics.median(r.total_nfev for r in reference):.0f}")
    print(f"after: {uptime()}")


if __name__ == "__main__":
    main()
