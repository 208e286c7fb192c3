"""The physical column's work per cell (rate matrix at the slice's intensity, exp(A dt/2), the
midpoint and end states, the midpoint absorption) with matrix_exponential and with the
intensity propagators, on the same cells in one run; the propagators' table: build time per
parameter vector, pieces, matrix exponentials spent, and the degree a cell meets on average.

The demo's case: the five-level absorber, sigma = (2e-21, 1e-21, 8e-21) m^2, lifetimes (2e-9,
2.5e-9, 1e-12, 1e-4, 1e-12) s, 532 nm, tau = 5 ns, w0 = 25 um, ground-state population
3.5e23 m^-3, pulse energies 0.2 and 1 uJ and 1000 times 1 uJ, the physical model's time grid
(24 to 100 steps over |t| <= 3.46 tau). The cells: 31 positions over +-30 mm, 8 radial
Gauss-Legendre nodes and 4 slices attenuated as in a 1 mm sample, each stepped through the
whole pulse.

Usage: PYTHONPATH=<build dir with _plix_testing> python bench/bench_propagator.py
           [--repeats N] [--max-degree K]
"""

import argparse
import bisect
import math
import os

import numpy as np

import _plix_testing as plix

PLANCK, SPEED_OF_LIGHT = 6.62607015e-34, 299792458.0
WAVELENGTH, TAU, W0 = 532e-9, 5e-9, 25e-6
PHOTON_FLUX_FACTOR = WAVELENGTH / (PLANCK * SPEED_OF_LIGHT)
PARAMS = [2e-21, 1e-21, 8e-21, 2e-9, 2.5e-9, 1e-12, 1e-4, 1e-12]
POPULATIONS = [3.5e23, 0.0, 0.0, 0.0, 0.0]
LEVELS = len(POPULATIONS)
SAMPLE_WIDTH = 1e-3
PULSE_WINDOW, TIME_STRETCH = 3.46, 1.5
CASES = [(2e-7, 24), (2e-7, 100), (1e-6, 24), (1e-6, 48), (1e-6, 100), (1e-3, 24), (1e-3, 100)]


def time_grid(count, energy):
    """Half steps and largest intensities (on axis at the focus) of the physical model's grid."""
    x = np.linspace(-1.0, 1.0, count + 1)
    t = PULSE_WINDOW * np.sinh(TIME_STRETCH * x) / math.sinh(TIME_STRETCH)
    share = np.array([0.5 * math.sqrt(math.pi) * (math.erf(b) - math.erf(a))
                      for a, b in zip(t, t[1:])])
    widths = np.diff(t)
    peak = 2.0 * energy / (math.pi**1.5 * W0**2 * TAU)
    return list(0.5 * widths * TAU), list(peak * share / widths)


def cell_fractions():
    """Each cell's share of the step's largest intensity: beam spreading with the position,
    the radial node's share of the axis, and the linear attenuation down to its slice."""
    rayleigh = math.pi * W0**2 / WAVELENGTH
    positions = np.linspace(-30e-3, 30e-3, 31)
    nodes, _ = np.polynomial.legendre.leggauss(8)
    radial = 0.5 * (nodes + 1.0)
    alpha0 = PARAMS[0] * POPULATIONS[0]
    depth = (np.arange(4) + 0.5) / 4 * SAMPLE_WIDTH
    return [s / (1.0 + (z / rayleigh) ** 2) * math.exp(-alpha0 * d)
            for z in positions for s in radial for d in depth]


def mean_degree(steps, largest, fractions):
    """The mean over the cells and steps of the degree of the piece a cell's intensity falls
    in (0 for intensities the matrix exponential takes)."""
    total, count = 0, 0
    for summary, top in zip(steps, largest):
        pieces = summary["pieces"]
        uppers = [p[1] for p in pieces]
        for f in fractions:
            intensity = f * top
            count += 1
            if summary["method"] != "series" or not (summary["series_lower"] <= intensity <= top):
                continue
            index = min(bisect.bisect_left(uppers, intensity), len(pieces) - 1)
            total += pieces[index][2]
    return total / count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--max-degree", type=int, default=16)
    args = parser.parse_args()
    fractions = cell_fractions()
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores; "
          f"{len(fractions)} cells, max_degree {args.max_degree}")
    print(f"{'energy':>8} {'steps':>5} | {'pade ns':>8} {'new ns':>7} {'ratio':>6} | "
          f"{'build ms':>8} {'2 thr ms':>8} {'pieces':>6} {'expms':>6} {'degree':>6} "
          f"{'flops':>6} | {'populations':>11} {'absorbance':>10}")
    entries = LEVELS * LEVELS
    for energy, count in CASES:
        half_steps, largest = time_grid(count, energy)
        build, steps = plix.propagator_table("five_level", PARAMS, PHOTON_FLUX_FACTOR, half_steps,
                                             largest, max_degree=args.max_degree,
                                             repeats=args.repeats)
        build_two, _ = plix.propagator_table("five_level", PARAMS, PHOTON_FLUX_FACTOR,
                                             half_steps, largest, max_degree=args.max_degree,
                                             threads=2, repeats=args.repeats)
        cells = plix.propagator_cell_benchmark("five_level", PARAMS, PHOTON_FLUX_FACTOR,
                                               half_steps, largest, fractions, POPULATIONS,
                                               max_degree=args.max_degree, repeats=args.repeats)
        degree = mean_degree(steps, largest, fractions)
        # Multiply-adds per cell: the (degree + 1) terms of the matrix and the two products
        # with the populations, against the two products alone.
        flops = ((degree + 1) * entries + 2 * entries) / (2 * entries)
        print(f"{energy:8.1e} {count:5d} | {cells['pade_ns']:8.0f} {cells['propagator_ns']:7.1f} "
              f"{cells['pade_ns'] / cells['propagator_ns']:6.1f} | {build * 1e3:8.2f} "
              f"{build_two * 1e3:8.2f} {sum(len(s['pieces']) for s in steps):6d} "
              f"{sum(s['exponentials'] for s in steps):6d} {degree:6.2f} {flops:5.1f}x | "
              f"{cells['largest_difference']:11.1e} {cells['absorbance_difference']:10.1e}")
    print(f"load average {os.getloadavg()[0]:.2f}")
    print("pade ns / new ns: the column's work per cell with matrix_exponential and with the "
          "propagators (fastest of the repeats, same cells, one run); build: the table for "
          "every step of the grid, once per parameter vector; degree: mean degree a cell "
          "meets; flops: its multiply-adds over the ideal two matrix-vector products; "
          "populations: largest 1-norm difference of a cell's final populations over their sum; "
          "absorbance: largest relative difference of a cell's sum of alpha dt/2 over the pulse.")


if __name__ == "__main__":
    main()
