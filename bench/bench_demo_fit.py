"""Time the bundled five-level demo fit (3 energies x 41 positions, sigma_12 and sigma_45 free,
accuracy 3e-4, focus centred on the extremum as the original demo did): CPU seconds on one
thread and wall seconds on one and two, medians of a few runs, with the machine's load.

Usage: python bench/bench_demo_fit.py [--repeats N] [--other PLIX [--other-setup FILE]]
  --other PLIX: another installation's `plix` command (an earlier version, say), timed in
  turn with this one on the same files, so that the ratio is measured in one run.
  --other-setup FILE: the set-up file for it, when it does not read this one's (an earlier
  version without n0, say: the open-aperture curves do not depend on n0).
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


def run(command, threads, centre_option, setup=EXAMPLES / "physical_setup.toml"):
    args = [str(command), "fit", str(EXAMPLES / "physical_sample.csv"), "--setup",
            str(setup), "--params",
            str(EXAMPLES / "physical_start.toml"), "--threads", str(threads), *centre_option]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.perf_counter()
    done = subprocess.run(args, capture_output=True, text=True, check=False)
    if done.returncode not in (0, 1):
        sys.exit(f"{command} failed: {done.stderr.strip()}")
    wall = time.perf_counter() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--other", help="another installation's plix command")
    parser.add_argument("--other-setup", type=Path, default=EXAMPLES / "physical_setup.toml",
                        help="the set-up file for the other installation")
    args = parser.parse_args()
    commands = [("this", PLIX, ["--center", "extremum"], EXAMPLES / "physical_setup.toml")]
    if args.other:
        commands.insert(0, ("other", Path(args.other), [], args.other_setup))
    print("load before:", os.getloadavg())
    results = {(name, threads): [] for name, *_ in commands for threads in (1, 2)}
    for _ in range(args.repeats):
        for name, command, option, setup in commands:
            for threads in (1, 2):
                results[name, threads].append(run(command, threads, option, setup))
    for (name, threads), runs in results.items():
        cpu = statistics.median(r[0] for r in runs)
        wall = statistics.median(r[1] for r in runs)
        print(f"{name:5s} threads={threads}: CPU {cpu:6.2f} s, wall {wall:6.2f} s "
              f"(median of {len(runs)})")
    print("load after:", os.getloadavg())


if __name__ == "__main__":
    main()
