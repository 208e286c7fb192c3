#!/usr/bin/env python3
"""Records ODEPACK's answers to the integration problems of tests/ode_problems.py.

Each problem is one fresh scipy.integrate.odeint call from t0 to tout (SciPy <= 1.16 runs
the Fortran LSODA of ODEPACK), and the record keeps y, NST, NFE, NJE, NQU, MUSED, HU, TCUR,
TSW and the exit, floats as float.hex strings. ODEPACK factors its iteration matrix with
LAPACK's DGETRF/DGETRS, so its last bits depend on the BLAS underneath: the answers are made
with reference BLAS and LAPACK, whose kernels multiply and then add, in column order.

    python3 tests/data/make_odepack_reference.py            # write odepack_reference.json
    python3 tests/data/make_odepack_reference.py --check    # compare a fresh run with it
    .venv/bin/python tests/data/make_odepack_reference.py --check --openblas-coretype Haswell

By default the script runs Debian's /usr/bin/python3 with its python3-scipy (apt-get install
python3-scipy libblas3 liblapack3) and puts Debian's reference BLAS and LAPACK first on the
library path of that one process; the alternatives system is left alone. With
--openblas-coretype the interpreter given by --python (default: the one running this script)
is run with its own SciPy and OpenBLAS forced to that kernel, for comparison only. SciPy
1.16.3's wheel with the Sandybridge kernel (AVX without FMA) reproduces every record; its
Haswell, Prescott (reported as Katmai) and SkylakeX kernels change some of them.
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUTPUT = HERE / "odepack_reference.json"
REFERENCE_LIBRARY_PATH = ["/usr/lib/x86_64-linux-gnu/blas", "/usr/lib/x86_64-linux-gnu/lapack"]
RANDOM_SEED = 5
STATS = ("nst", "nfe", "nje", "nqu", "mused")
FLOAT_STATS = ("hu", "tcur", "tsw")


def loaded_libraries(*words):
    """Paths of the shared libraries of this process whose name contains one of words."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "/" in line}
    return sorted(p for p in paths
                  if Path(p).name.startswith("lib") and any(w in Path(p).name for w in words))


def openblas_kernel(libraries):
    import ctypes

    for path in libraries:
        if "openblas" in Path(path).name:
            lib = ctypes.CDLL(path)
            for name in ("scipy_openblas_get_corename64_", "scipy_openblas_get_corename",
                         "openblas_get_corename"):
                if hasattr(lib, name):
                    fn = getattr(lib, name)
                    fn.restype = ctypes.c_char_p
                    return fn().decode()
    return None


def package_of(path):
    try:
        out = subprocess.run(["dpkg-query", "-S", os.path.realpath(path)], capture_output=True,
                             text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    package = out.split(":")[0]
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                             capture_output=True, text=True).stdout
    return f"{package} {version}"


def cpu_model():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


def odepack(odeint, f, p):
    """One fresh LSODA call; f sees the state extended by the ride-along entries."""
    neq = p["neq"]
    rest = p["y0"][neq:]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        y, info = odeint(lambda t, y: f(t, [float(v) for v in y] + rest), p["y0"][:neq],
                         [p["t0"], p["tout"]], rtol=p["rtol"], atol=p["atol"],
                         full_output=True, tfirst=True)
    message = info["message"]
    status = ("success" if message.startswith("Integration successful") else
              "excess_work" if message.startswith("Excess work") else message)
    out = {k: int(info[k][0]) for k in STATS}
    out.update({k: float(info[k][0]) for k in FLOAT_STATS})
    out["y"] = [float(v) for v in y[1]] + rest
    out["status"] = status
    return out


def all_problems(odeint):
    import numpy as np

    import ode_problems as P

    def mid_pulse_start(intensity):
        y = P.GROUND + [intensity]
        step = P.problem("", "population", y, P.PULSE / 10, 1e-6, 1e-6, neq=5)
        for _ in range(P.MID_PULSE_STEPS):
            step["y0"] = odepack(odeint, P.population_rhs, step)["y"]
        return step["y0"]

    return P, P.fixed_problems(mid_pulse_start) + P.random_problems(RANDOM_SEED,
                                                                   np.random.default_rng)


def encode(p, answer):
    def hexes(values):
        return [float(v).hex() for v in values]

    record = {k: p[k] for k in ("id", "rhs", "rhs_args", "neq")}
    record["rhs_args"] = hexes(p["rhs_args"])
    record.update({k: float(p[k]).hex() for k in ("t0", "tout", "rtol", "atol")})
    record["y0"] = hexes(p["y0"])
    record["status"] = answer["status"]
    record.update({k: answer[k] for k in STATS})
    record.update({k: answer[k].hex() for k in FLOAT_STATS})
    record["y"] = hexes(answer["y"])
    return record


def environment(coretype):
    import numpy
    import scipy
    import scipy.integrate._odepack as odepack_module

    libraries = loaded_libraries("blas", "lapack")
    env = {
        "odeint": {"path": odepack_module.__file__, "package": package_of(odepack_module.__file__)},
        "python": f"{sys.executable} {platform.python_version()}",
        "numpy": numpy.__version__,
        "scipy": scipy.__version__,
        "blas_and_lapack": [{"path": p, "package": package_of(p)} for p in libraries],
        "openblas_kernel": openblas_kernel(libraries),
        "OPENBLAS_CORETYPE": coretype,
        "LD_LIBRARY_PATH": os.environ.get("LD_LIBRARY_PATH"),
        "cpu": cpu_model(),
        "system": platform.platform(),
    }
    return env


def run_child(args):
    sys.path.insert(0, str(HERE.parent))
    from scipy.integrate import odeint

    P, problems = all_problems(odeint)
    records = [encode(p, odepack(odeint, P.rhs_of(p), p)) for p in problems]
    env = environment(args.openblas_coretype)
    if args.openblas_coretype is None:
        names = " ".join(Path(x["path"]).name for x in env["blas_and_lapack"])
        if "openblas" in names or "libblas" not in names or "liblapack" not in names:
            sys.exit(f"reference BLAS and LAPACK not in use: {names}")
    if args.check:
        return compare(records, env)
    document = {
        "about": "ODEPACK LSODA (scipy.integrate.odeint, one fresh call per problem) on the "
                 "problems of tests/ode_problems.py, with reference BLAS and LAPACK. Floats "
                 "are float.hex strings. Made by tests/data/make_odepack_reference.py.",
        "command": args.command,
        "made": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "environment": env,
        "random_seed": RANDOM_SEED,
        "problems": records,
    }
    OUTPUT.write_text(dump(document))
    print(f"wrote {len(records)} records to {OUTPUT}")
    return 0


def dump(document):
    """JSON with one line per problem, so that a change shows as the records it touches."""
    head = {k: v for k, v in document.items() if k != "problems"}
    text = json.dumps(head, indent=1)[:-2]
    lines = ",\n".join("  " + json.dumps(r) for r in document["problems"])
    return f'{text},\n "problems": [\n{lines}\n ]\n}}\n'


def compare(records, env):
    stored = json.loads(OUTPUT.read_text())["problems"]
    print(f"environment: {json.dumps(env)}")
    if [r["id"] for r in stored] != [r["id"] for r in records]:
        print("the problem lists differ")
        return 1
    differing = 0
    for old, new in zip(stored, records):
        fields = [k for k in old if old[k] != new[k]]
        if fields:
            differing += 1
            print(f"{old['id']}: differs in {', '.join(fields)}")
    print(f"{len(records) - differing} of {len(records)} records identical")
    return 1 if differing else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="compare a fresh run with the stored file instead of writing it")
    parser.add_argument("--openblas-coretype", metavar="KERNEL",
                        help="run with OpenBLAS forced to KERNEL ('default': the one it "
                        "picks) instead of reference BLAS")
    parser.add_argument("--python", help="interpreter whose SciPy is used "
                        "(default: /usr/bin/python3 for reference BLAS, else this one)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--command", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return run_child(args)
    env = dict(os.environ)
    env.pop("OPENBLAS_CORETYPE", None)
    if args.openblas_coretype is None:
        python = args.python or "/usr/bin/python3"
        env["LD_LIBRARY_PATH"] = ":".join(REFERENCE_LIBRARY_PATH)
    else:
        python = args.python or sys.executable
        if args.openblas_coretype != "default":
            env["OPENBLAS_CORETYPE"] = args.openblas_coretype
    command = " ".join(["python3", "tests/data/make_odepack_reference.py", *sys.argv[1:]])
    child = [python, str(Path(__file__).resolve()), "--child", "--command", command]
    if args.check:
        child.append("--check")
    if args.openblas_coretype is not None:
        child += ["--openblas-coretype", args.openblas_coretype]
    return subprocess.run(child, env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
