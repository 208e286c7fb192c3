"""Records five-level curves of the physical and exact-seed models, as computed by the
package installed when it runs, so that later versions can be held to them.

    python tests/data/make_five_level_curves.py [OUT.json]

The file holds the inputs of every case and its curve as float.hex strings, with the commit
and versions it was made with. tests/test_recorded_curves.py compares the current package
against it. Re-run it only to record a deliberate change of the models, and say so in the
commit.
"""

from __future__ import annotations

import json
import math
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np

import plix

OUT = Path(__file__).with_name("five_level_curves.json")

SETUPS = {
    "ground": dict(wavelength=532e-9, w0=25e-6, tau=5e-9, sample_width=1e-3,
                   populations=[3.5e23, 0, 0, 0, 0]),
    "mixed": dict(wavelength=600e-9, w0=40e-6, tau=2e-9, sample_width=2e-3, M2=1.3,
                  populations=[0.6e24, 0.2e24, 0.05e24, 0.1e24, 0.05e24]),
}
PARAMETERS = {
    "demo": dict(sigma_12=2e-21, sigma_23=1e-21, sigma_45=8e-21, lifetime_21=2e-9,
                 lifetime_24=2.5e-9, lifetime_32=1e-12, lifetime_41=1e-4, lifetime_54=1e-12),
    "rsa": dict(sigma_12=1e-21, sigma_23=5e-21, sigma_45=8e-21, lifetime_21=2e-9,
                lifetime_24=5e-9, lifetime_32=1e-12, lifetime_41=1e-6, lifetime_54=1e-12),
    "off": dict(sigma_12=3e-21, sigma_23=0.0, sigma_45=2e-21, lifetime_21=math.inf,
                lifetime_24=1e-9, lifetime_32=1e-12, lifetime_41=math.inf, lifetime_54=5e-12),
}
POSITIONS = [-30.0, -12.5, -4.0, -1.0, -0.25, 0.0, 0.3, 2.0, 7.5, 18.0, 30.0]

# (name, model factory keywords, setup, parameters, energies in J)
CASES = [
    ("physical-beam-fixed", ("physical", dict(grid=(24, 4, 3))), "ground", "demo", [2e-7, 1e-6]),
    ("physical-beam-fixed-fine", ("physical", dict(grid=(64, 12, 6))), "ground", "rsa", [5e-7]),
    ("physical-axis-fixed", ("physical", dict(geometry="on_axis", grid=(40, 6, 1))), "mixed",
     "demo", [3e-7, 2e-6]),
    ("physical-beam-auto", ("physical", dict(accuracy=1e-3)), "ground", "demo", [2e-7, 1e-6]),
    ("physical-axis-auto", ("physical", dict(geometry="on_axis", accuracy=3e-4)), "mixed", "off",
     [1e-6]),
    ("physical-beam-ends", ("physical", dict(grid=(32, 5, 4), normalisation="ends")), "ground",
     "rsa", [1e-6]),
    ("physical-beam-none", ("physical", dict(grid=(32, 5, 4), normalisation="none")), "mixed",
     "off", [1e-6]),
    ("seed-exact-ends", ("seed", dict(integrator="exact")), "ground", "rsa", [2e-3, 6e-3]),
    ("seed-exact-linear", ("seed", dict(integrator="exact", normalisation="linear",
                                        t_slices=12, z_slices=5)), "mixed", "demo", [4e-3]),
    ("seed-exact-none", ("seed", dict(integrator="exact", normalisation="none", t_slices=7,
                                      z_slices=3)), "ground", "off", [8e-3]),
    ("seed-lsoda-ends", ("seed", dict(integrator="lsoda", t_slices=6, z_slices=4)), "ground",
     "rsa", [2e-3, 6e-3]),
]


def _commit() -> str:
    try:
        return subprocess.run(["git", "rev-parse", "HEAD"], capture_output=True, text=True,
                              cwd=Path(__file__).parent, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def record() -> dict:
    cases = []
    for name, (preset, fields), setup_name, params_name, energies in CASES:
        setup = plix.Setup(**SETUPS[setup_name])
        params = plix.Parameters(**PARAMETERS[params_name])
        model = getattr(plix.Model, preset)(**fields)
        curves = plix.simulate(setup, params, POSITIONS, energies, model=model, threads=1)
        cases.append({
            "name": name, "preset": preset, "fields": {k: list(v) if isinstance(v, tuple) else v
                                                       for k, v in fields.items()},
            "setup": setup_name, "parameters": params_name, "energies_J": energies,
            "curves": [[float(v).hex() for v in row] for row in np.asarray(curves)],
        })
    return {
        "made_by": "tests/data/make_five_level_curves.py",
        "commit": _commit(),
        "plix": plix.__version__,
        "numpy": np.__version__,
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "setups": SETUPS,
        "parameters": {k: {n: (repr(v) if math.isinf(v) else v) for n, v in p.items()}
                       for k, p in PARAMETERS.items()},
        "positions_mm": POSITIONS,
        "cases": cases,
    }


if __name__ == "__main__":
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else OUT
    out.write_text(json.dumps(record(), indent=1) + "\n", encoding="utf-8")
    print(f"wrote {out}")
