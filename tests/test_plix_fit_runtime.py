"""plix.fit at run time: the same answer on any number of threads, from several Python
threads at once, and Ctrl-C that stops a fit promptly."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import plix
from sanitized import within

SETUP = plix.Setup(wavelength=532e-9, w0=30e-6, tau=5e-9, sample_width=1e-3,
                   populations=[1e24, 0, 0, 0, 0])
TRUTH = plix.Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
EXACT = plix.Model.seed(integrator="exact")
Z = np.linspace(-30.0, 30.0, 21)
ENERGIES = [4e-3, 8e-3]


def noisy_scan(seed):
    rng = np.random.default_rng(seed)
    data = plix.simulate(SETUP, TRUTH, Z, ENERGIES, model=EXACT, threads=1)
    data = data + 0.003 * rng.standard_normal(data.shape)
    return plix.Scan.from_arrays([Z, Z], list(data), ENERGIES)


# The warnings module's filters are not thread-safe: set once for the module.
pytestmark = pytest.mark.filterwarnings("ignore::plix.FitWarning")


def fit_of(seed, threads=1):
    params = TRUTH.copy().vary("sigma_12", "sigma_23")
    params["sigma_23"].value = 1e-20
    r = plix.fit(noisy_scan(seed), SETUP, params, model=EXACT, n_starts=2, threads=threads)
    return (tuple(r.values), r.chisqr, r.nfev, r.total_nfev, r.covariance.tobytes(),
            tuple(s.chisqr for s in r.starts))


class TestDeterminism:
    def test_thread_count_does_not_change_the_result(self):
        assert fit_of(11, threads=1) == fit_of(11, threads=2) == fit_of(11, threads=3)

    def test_concurrent_fits_give_the_results_of_fits_alone(self):
        seeds = [1, 2, 3, 4]
        alone = [fit_of(s) for s in seeds]
        assert len({a[1] for a in alone}) == len(seeds)  # really different problems
        with ThreadPoolExecutor(max_workers=len(seeds)) as pool:
            together = list(pool.map(fit_of, seeds))
        assert together == alone


INTERRUPTED_FIT = textwrap.dedent("""
    import sys, time, warnings
    import numpy as np
    import plix
    warnings.simplefilter("ignore")
    setup = plix.Setup(wavelength=532e-9, w0=30e-6, tau=5e-9, sample_width=1e-3,
                       populations=[1e24, 0, 0, 0, 0])
    truth = plix.Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
    model = plix.Model.seed(integrator="exact")
    z = np.linspace(-30, 30, 41)
    data = plix.simulate(setup, truth, z, [4e-3, 8e-3], model=model, threads=1)
    scan = plix.Scan.from_arrays([z, z], list(data), [4e-3, 8e-3])
    params = truth.copy().vary("sigma_23", "sigma_45", "lifetime_21", "lifetime_24")
    print("fitting", flush=True)
    begun = time.monotonic()
    try:
        # Hundreds of starts: minutes of work unless interrupted.
        plix.fit(scan, setup, params, model=model, n_starts=400, threads=1)
    except KeyboardInterrupt:
        print(f"interrupted at {time.monotonic():.6f}", flush=True)
    quick = plix.fit(scan, setup, truth.copy().vary("sigma_23"), model=model, n_starts=1,
                     threads=1)
    print("afterwards", quick.success, flush=True)
    sys.exit(3)
""")


class TestInterrupt:
    @pytest.mark.skipif(os.name != "posix", reason="SIGINT to a child process")
    def test_ctrl_c_stops_the_fit_within_a_second(self, tmp_path):
        # Run away from the source tree, whose plix/ lacks the compiled part.
        child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_FIT], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, cwd=tmp_path)
        try:
            assert child.stdout.readline().strip() == "fitting"
            time.sleep(1.0)  # well inside the fit
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            # A fit that ignores the signal runs for many minutes: give up long before.
            out, err = child.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            child.kill()
            child.communicate()
            pytest.fail("the fit went on after SIGINT")
        lines = out.splitlines()
        assert lines[0].startswith("interrupted at"), err
        # CLOCK_MONOTONIC is shared by the processes of one machine.
        assert float(lines[0].split()[-1]) - sent < within(1.0)
        # Nothing is left held: the process fits again and ends normally.
        assert lines[1:] == ["afterwards True"]
        assert child.returncode == 3
