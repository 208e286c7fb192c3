"""Time one evaluation of the physical model (beam geometry, accuracy 1e-4): 31 positions
from -30 to 30 mm at two pulse energies, on one thread and on every core this process may
use. The grid is chosen once per energy and the componentwise largest kept fixed, as a fit
does; the timings are for that fixed grid.

Usage: python bench/bench_physical.py [--repeats N] [--accuracy A]
"""

import argparse
import os
import statistics
import time

import numpy as np

import _plix_testing as plix

WAVELENGTH, TAU, W0, M2, SAMPLE_WIDTH = 532e-9, 5e-9, 30e-6, 1.0, 1e-3
PARAMS = [1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12]
POPULATIONS = [1e24, 0.0, 0.0, 0.0, 0.0]
POSITIONS = np.linspace(-30.0, 30.0, 31)
ENERGIES = (2.5e-7, 5e-7)  # dips of about 14 and 24 % at the focus


def curve(energy, grid, threads, accuracy):
    time_steps, slices, radial_nodes = grid
    return plix.physical_curve(POSITIONS, energy, PARAMS, POPULATIONS, WAVELENGTH, W0, TAU,
                               SAMPLE_WIDTH, M2, geometry="beam", accuracy=accuracy,
                               time_steps=time_steps, slices=slices,
                               radial_nodes=radial_nodes, threads=threads)


def evaluation(grid, threads, accuracy):
    """One model evaluation: both energies."""
    return [np.array(curve(e, grid, threads, accuracy)[0]) for e in ENERGIES]


def median_seconds(grid, threads, accuracy, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        evaluation(grid, threads, accuracy)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--accuracy", type=float, default=1e-4)
    args = parser.parse_args()
    cores = len(os.sched_getaffinity(0))

    start = time.perf_counter()
    chosen = [curve(e, (0, 0, 0), cores, args.accuracy) for e in ENERGIES]
    search = time.perf_counter() - start
    grid = tuple(max(c[1][d] for c in chosen) for d in range(3))
    for e, (values, g, estimate) in zip(ENERGIES, chosen):
        print(f"energy {e:.2e} J: dip {1.0 - min(values):.1%}, grid chosen {g}, "
              f"error estimate {estimate:.2e}")
    print(f"grid search for both energies on {cores} threads: {search:.3f} s")
    cells = len(POSITIONS) * len(ENERGIES) * grid[0] * grid[1] * grid[2]
    print(f"fixed grid (time steps, slices, radial nodes) = {grid}: {cells} cells per evaluation")

    one = median_seconds(grid, 1, args.accuracy, args.repeats)
    print(f"1 thread:   {one * 1e3:8.1f} ms per evaluation (median of {args.repeats}), "
          f"{one / cells * 1e9:.0f} ns per cell")
    if cores > 1:
        many = median_seconds(grid, cores, args.accuracy, args.repeats)
        print(f"{cores} threads: {many * 1e3:8.1f} ms per evaluation, speed-up {one / many:.2f}")
        same = all(a.tobytes() == b.tobytes() for a, b in
                   zip(evaluation(grid, 1, args.accuracy), evaluation(grid, cores, args.accuracy)))
        print(f"bitwise identical on 1 and {cores} threads: {same}")


if __name__ == "__main__":
    main()
