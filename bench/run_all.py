"""Runs every benchmark in this folder, one after another."""

import runpy
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

for script in ("bench_integrator.py", "bench_model.py", "bench_fit.py", "difference_quotients.py",
               "bench_physical.py", "bench_plix_fit.py", "bench_batch.py",
               "bench_propagator.py", "bench_demo_fit.py"):
    print(f"== {script}", flush=True)
    sys.argv = [str(HERE / script)]
    runpy.run_path(str(HERE / script), run_name="__main__")
