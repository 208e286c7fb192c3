"""Concurrency workload for a ThreadSanitizer build (make tsan): plix.fit and plix.simulate from
eight Python threads at once, each with two worker threads, on the physical, seed and
closed-form models. Run by the Makefile against the TSan build; prints one line per job."""

import sys
import threading
import warnings

import numpy as np

import plix

SETUP = plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [3.5e23, 0, 0, 0, 0])
TRUTH = plix.Parameters(sigma_12=2e-21, sigma_23=1e-21, sigma_45=8e-21, lifetime_21=2e-9,
                        lifetime_24=2.5e-9, lifetime_32=1e-12, lifetime_41=1e-4,
                        lifetime_54=1e-12)
Z = np.linspace(-15.0, 15.0, 11)


def job(k, failures):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if k % 4 == 0:
                plix.simulate(SETUP, TRUTH, Z, [3e-7, 1e-6], threads=2,
                              model=plix.Model.physical(accuracy=1e-3))
            elif k % 4 == 1:
                model = plix.Model.seed(integrator="exact", t_slices=6, z_slices=4)
                data = plix.simulate(SETUP, TRUTH, Z, [3e-3], model=model, threads=2)
                start = TRUTH.copy().vary("sigma_45")
                start["sigma_45"].value = 1.2e-20
                plix.fit(plix.Scan.from_arrays([Z], data, [3e-3]), SETUP, start, model=model,
                         threads=2, n_starts=2)
            elif k % 4 == 2:
                model = plix.Model.physical(grid=(24, 4, 3))
                data = plix.simulate(SETUP, TRUTH, Z, [1e-6], model=model, threads=2)
                start = TRUTH.copy().vary("sigma_45")
                start["sigma_45"].value = 1.2e-20
                plix.fit(plix.Scan.from_arrays([Z], data, [1e-6]), SETUP, start, model=model,
                         threads=2, n_starts=1)
            else:
                model = plix.Model.oa_2pa()
                setup = plix.Setup(800e-9, 25e-6, 100e-15, 1e-3)
                params = model.make_params(beta=1e-11)
                data = plix.simulate(setup, params, Z, [5e-9], model=model, threads=2)
                start = model.make_params(beta=3e-11).vary("beta")
                plix.fit(plix.Scan.from_arrays([Z], data, [5e-9]), setup, start, model=model,
                         threads=2)
        print(f"job {k}: done", flush=True)
    except Exception as error:  # reported, and the run fails
        failures.append(f"job {k}: {type(error).__name__}: {error}")


def main():
    failures = []
    threads = [threading.Thread(target=job, args=(k, failures)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for f in failures:
        print(f, flush=True)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
