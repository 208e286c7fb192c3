"""Time the bundled five-level demo fit (3 energies x 41 positions, sigma_12 and sigma_45 free,
accuracy 3e-4, focus centred on the extremum as the original demo did): CPU seconds on one
thread and wall seconds on one and two, medians of a few runs, with the machine's load.

Usage: python bench/bench_demo_fit.py [--repeats N] [--other PLIX]
  --other PLIX: another installation's `plix` command (an earlier version, say), timed in
  turn with this one on the same files, so that the ratio is measured in one run.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
PLIX = Path(sys.executable).with_name("plix")


def run(command, threads, centre_option):
    args = [str(command), "fit", str(EXAMPLES / "physical_sample.csv"), "--setup",
            str(EXAMPLES / "physical_setup.toml"), "--params",
            str(EXAMPLES / "physical_start.toml"), "--threads", str(threads), *centre_option]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.perf_counter()
    subprocess.run(args, capture_output=True, check=False)
    wall = time.perf_counter() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--other", help="another installation's plix command")
    args = parser.parse_args()
    commands = [("this", PLIX, ["--center", "extremum"])]
    if args.other:
        commands.insert(0, ("other", Path(args.other), []))
    print("load before:", os.getloadavg())
    results = {(name, threads): [] for name, _, _ in commands for threads in (1, 2)}
    for _ in range(args.repeats):
        for name, command, option in commands:
            for threads in (1, 2):
                results[name, threads].append(run(command, threads, option))
    for (name, threads), runs in results.items():
        cpu = statistics.median(r[0] for r in runs)
        wall = statistics.median(r[1] for r in runs)
        print(f"{name:5s} threads={threads}: CPU {cpu:6.2f} s, wall {wall:6.2f} s "
              f"(median of {len(runs)})")
    print("load after:", os.getloadavg())


if __name__ == "__main__":
    main()
