"""Time one zscan_transmittance evaluation (nx = 31, nt = 10, nz = 8: 4960 integrations)
against the same evaluation written with SciPy (odeint per step), in one run; then one seed
model evaluation of 31 positions x 2 energies with (a) the LSODA stepper and (b) the exact
stepper on the same grid, on one thread and on all cores this process may use, and the cost
of one fork-join.

Usage: PYTHONPATH=<build dir with _plix_testing> python bench/bench_model.py [--repeats N]
"""

import argparse
import math
import os
import statistics
import time

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402
from scipy.integrate import odeint  # noqa: E402

import _plix_testing as plix  # noqa: E402

NX, NT, NZ = 31, 10, 8
WAVELENGTH, TAU, W0, M2 = 532e-9, 5e-9, 30e-6, 1.0
SAMPLE_WIDTH, ENERGY = 1e-3, 6e-3
PARAMS = [1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12]
POPULATIONS = [1e24, 0.0, 0.0, 0.0, 0.0]
TOL = 1e-6


def build_problem():
    """Grids and incident plane as the fit driver builds them."""
    positions = np.linspace(-30.0, 30.0, NX)
    z0 = math.pi * W0**2 / (M2 * WAVELENGTH)
    nu = 299792458.0 / WAVELENGTH
    depth_grid = np.array(plix.linspace(0.0, SAMPLE_WIDTH, NZ))
    time_grid = np.array(plix.linspace(-0.5 * TAU, 0.5 * TAU, NT))
    incident = np.array([[plix.beam_intensity(0.0, t, 0.001 * x, ENERGY, TAU, W0, z0)
                          for t in time_grid] for x in positions])
    return positions, depth_grid, time_grid, incident, nu


def scipy_transmittance(depth_grid, time_grid, populations, incident, nu, params):
    s12, s23, s45 = params[:3]
    k21, k24, k32, k41, k54 = (1.0 / t for t in params[3:])
    flux = 1.5091901796421518e33 / nu

    def rates(n, _t, intensity):
        phi = flux * intensity
        return [k21 * n[1] - s12 * phi * n[0] + k41 * n[3],
                s12 * phi * n[0] + k32 * n[2] - k21 * n[1] - k24 * n[1] - s23 * phi * n[1],
                s23 * phi * n[1] - k32 * n[2],
                k24 * n[1] - k41 * n[3] - s45 * phi * n[3] + k54 * n[4],
                s45 * phi * n[3] - k54 * n[4]]

    def attenuation(i, _z, n):
        return -i * (s12 * n[0] + s23 * n[1] + s45 * n[3])

    nx, nt = incident.shape
    nz = len(depth_grid)
    dt, dz = time_grid[1] - time_grid[0], depth_grid[1]
    fraction = np.empty(nx)
    for i in range(nx):
        slices = np.tile(np.asarray(populations[:5], dtype=float), (nz, 1))
        transmitted = 0.0
        for j in range(nt):
            intensity = incident[i, j]
            for k in range(nz):
                slices[k] = odeint(rates, slices[k], [0.0, dt], args=(intensity,),
                                   rtol=TOL, atol=TOL)[-1]
                intensity = odeint(attenuation, [intensity], [0.0, dz], args=(slices[k],),
                                   rtol=TOL, atol=TOL)[-1, 0]
            transmitted += intensity
        fraction[i] = transmitted / incident[i].sum()
    return fraction + (1.0 - 0.1 * (fraction[:5].sum() + fraction[-5:].sum()))


def median_time(fn, repeats):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--scipy-repeats", type=int, default=3)
    parser.add_argument("--seed-repeats", type=int, default=9)
    args = parser.parse_args()

    positions, depth_grid, time_grid, incident, nu = build_problem()
    flat = incident.ravel(order="F")

    def native():
        return plix.zscan_transmittance(positions, depth_grid, time_grid, POPULATIONS, flat,
                                        nu, PARAMS)

    native()  # warm-up
    t_native, (out, tally) = median_time(native, args.repeats)
    t_scipy, reference = median_time(
        lambda: scipy_transmittance(depth_grid, time_grid, POPULATIONS, incident, nu, PARAMS),
        args.scipy_repeats)

    calls = 2 * NX * NT * NZ
    print(f"zscan_transmittance nx={NX} nt={NT} nz={NZ} ({calls} integrations)")
    print(f"  native : {t_native * 1e3:9.2f} ms  (median of {args.repeats}, "
          f"{t_native / calls * 1e6:.2f} us per integration)")
    print(f"  scipy  : {t_scipy * 1e3:9.2f} ms  (median of {args.scipy_repeats}, odeint per step)")
    print(f"  ratio  : {t_scipy / t_native:9.1f} x")
    print(f"  max |dT| native vs scipy: {np.max(np.abs(np.asarray(out) - reference)):.2e}; "
          f"dip {1.0 - min(out):.3f}; successful integrations {tally['success']}/{calls}")
    seed_model_benchmark(positions, args.seed_repeats)


SEED_ENERGIES = (3e-3, 6e-3)


def seed_evaluation(positions, stepper, threads):
    """One model evaluation: the curve at every position for each energy."""
    return [plix.seed_curve(positions, e, PARAMS, POPULATIONS, WAVELENGTH, W0, TAU,
                            SAMPLE_WIDTH, M2, stepper=stepper, t_slices=NT, z_slices=NZ,
                            threads=threads)[0] for e in SEED_ENERGIES]


def seed_model_benchmark(positions, repeats):
    cores = len(os.sched_getaffinity(0))
    print(f"seed model, {NX} positions x {len(SEED_ENERGIES)} energies, t_slices={NT} "
          f"z_slices={NZ} ({cores} cores available; median of {repeats})")
    times = {}
    curves = {}
    for stepper in ("lsoda", "exact"):
        for threads in sorted({1, cores}):
            seed_evaluation(positions, stepper, threads)  # warm-up
            times[stepper, threads], curves[stepper, threads] = median_time(
                lambda: seed_evaluation(positions, stepper, threads), repeats)
            print(f"  ({'a' if stepper == 'lsoda' else 'b'}) {stepper:5s} threads={threads}: "
                  f"{times[stepper, threads] * 1e3:9.3f} ms")
    print(f"  exact vs lsoda on one thread: {times['lsoda', 1] / times['exact', 1]:.1f} x faster")
    if cores > 1:
        for stepper in ("lsoda", "exact"):
            print(f"  {stepper} speed-up on {cores} threads: "
                  f"{times[stepper, 1] / times[stepper, cores]:.2f} x")
    for stepper in ("lsoda", "exact"):
        assert curves[stepper, 1] == curves[stepper, cores], "thread count changed the curve"
    difference = max(np.max(np.abs(np.array(a) - np.array(b)))
                     for a, b in zip(curves["lsoda", 1], curves["exact", 1]))
    print(f"  max |T_exact - T_lsoda| = {difference:.2e}")
    for threads in sorted({2, cores}):
        overhead = plix.parallel_for_overhead(threads, 200)
        print(f"  one fork-join on {threads} threads: {overhead * 1e6:.1f} us")


if __name__ == "__main__":
    main()
