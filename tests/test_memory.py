"""Repeated calls leave nothing behind: 2000 simulations and 200 fits in a loop neither grow
the resident set beyond a small bound nor change the reference counts of their inputs."""

import gc
import os
import sys
import warnings

import numpy as np
import pytest

import plix
from sanitized import SANITIZED

pytestmark = pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/statm"),
                                reason="resident set read from /proc; ASan keeps freed memory")

SETUP = plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [1e24, 0, 0, 0, 0])
TRUTH = plix.Parameters(sigma_12=1e-21, sigma_23=5e-21, sigma_45=8e-21, lifetime_21=2e-9,
                        lifetime_24=5e-9, lifetime_32=1e-12, lifetime_41=1e-6,
                        lifetime_54=1e-12)
MODEL = plix.Model.seed(integrator="exact", t_slices=6, z_slices=4)
Z = np.linspace(-20.0, 20.0, 11)
# Growth allowed over the loop after a warm-up: allocator slack, not a leak (a leak of one
# curve per call would be 2000 x 11 x 8 bytes plus the array headers, several hundred kB).
RSS_GROWTH_BYTES = 2 * 1024 * 1024


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def references(*objects):
    return [sys.getrefcount(o) for o in objects]


def test_simulate_in_a_loop():
    energies = np.array([2e-3, 5e-3])
    inputs = (SETUP, TRUTH, Z, energies, MODEL)
    for _ in range(100):  # warm-up: caches and allocator pools
        plix.simulate(SETUP, TRUTH, Z, energies, model=MODEL, threads=1)
    gc.collect()
    before, counts = resident_bytes(), references(*inputs)
    for _ in range(2000):
        plix.simulate(SETUP, TRUTH, Z, energies, model=MODEL, threads=1)
    gc.collect()
    assert references(*inputs) == counts
    assert resident_bytes() - before < RSS_GROWTH_BYTES


def test_fit_in_a_loop():
    data = plix.simulate(SETUP, TRUTH, Z, [3e-3], model=MODEL)[0]
    scan = plix.Scan.from_arrays([Z], [data], [3e-3])
    start = TRUTH.copy().vary("sigma_45")
    start["sigma_45"].value = 1.2e-20
    inputs = (scan, SETUP, start, MODEL)

    def one_fit():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return plix.fit(scan, SETUP, start, model=MODEL, n_starts=1, threads=1)

    for _ in range(20):
        one_fit()
    gc.collect()
    before, counts = resident_bytes(), references(*inputs)
    for _ in range(200):
        result = one_fit()
    del result
    gc.collect()
    assert references(*inputs) == counts
    assert resident_bytes() - before < RSS_GROWTH_BYTES
