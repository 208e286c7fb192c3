"""Integrations per second of the model's population step: the C++ LSODA (single thread,
C++ right-hand side) beside scipy.integrate.odeint (Fortran LSODA, Python right-hand side).

    python bench/bench_integrator.py [--runs 5] [--seconds 0.5]

Each case is one fresh LSODA call over one time step of a 5 ns pulse cut into 4..20 steps,
five levels starting in the ground state, RTOL = ATOL = 1e-6. Figures are medians over runs.
"""

import argparse
import statistics
import time
import warnings

import sys
from pathlib import Path

import _plix_testing as T

from scipy.integrate import odeint

# The model constants are the integrator tests' own.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from ode_problems import (  # noqa: E402
    FLUX_FACTOR, GROUND, PULSE, R21, R24, R32, R41, R54, S12, S23, S45,
    POPULATION_PARAMS as PARAMS,
)

CASES = [(intensity, pieces) for intensity in (1e9, 1e10, 1e11) for pieces in (4, 10, 20)]


def population_rhs(intensity):
    phi = FLUX_FACTOR * intensity

    def f(t, y):
        return [
            R21 * y[1] - S12 * phi * y[0] + R41 * y[3],
            S12 * phi * y[0] + R32 * y[2] - R21 * y[1] - R24 * y[1] - S23 * phi * y[1],
            S23 * phi * y[1] - R32 * y[2],
            R24 * y[1] - R41 * y[3] - S45 * phi * y[3] + R54 * y[4],
            S45 * phi * y[3] - R54 * y[4],
        ]

    return f


def ours_once(repeat):
    start = time.perf_counter()
    for intensity, pieces in CASES:
        T.lsoda_builtin("population", GROUND + [intensity], PULSE / pieces, 1e-6, 1e-6,
                        params=PARAMS, repeat=repeat)
    return len(CASES) * repeat / (time.perf_counter() - start)


def scipy_once(repeat):
    rhs = {intensity: population_rhs(intensity) for intensity, _ in CASES}
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for intensity, pieces in CASES:
            f = rhs[intensity]
            for _ in range(repeat):
                odeint(f, GROUND, [0.0, PULSE / pieces], rtol=1e-6, atol=1e-6, tfirst=True)
    return len(CASES) * repeat / (time.perf_counter() - start)


def calibrate(run, seconds):
    """Repeat count per case so that one run takes about `seconds`."""
    rate = run(1)
    return max(1, int(seconds * rate / len(CASES)))


def median_rate(run, runs, seconds):
    repeat = calibrate(run, seconds)
    return statistics.median(run(repeat) for _ in range(runs)), repeat


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=0.5, help="target time of one run")
    args = parser.parse_args()

    steps = [T.lsoda_builtin("population", GROUND + [i], PULSE / p, 1e-6, 1e-6,
                             params=PARAMS)["nst"] for i, p in CASES]
    ours, ours_repeat = median_rate(ours_once, args.runs, args.seconds)
    ref, ref_repeat = median_rate(scipy_once, args.runs, args.seconds)
    print(f"population step, {len(CASES)} cases (I = 1e9..1e11 W/m^2, dt = 5 ns/4..20), "
          f"{min(steps)}-{max(steps)} steps a call; median of {args.runs} runs")
    print(f"  plix LSODA (C++ rhs, 1 thread): {ours:12.0f} calls/s  ({ours_repeat} calls/case/run)")
    print(f"  scipy odeint (Python rhs):      {ref:12.0f} calls/s  ({ref_repeat} calls/case/run)")
    print(f"  ratio: {ours / ref:.1f}x")


if __name__ == "__main__":
    main()
