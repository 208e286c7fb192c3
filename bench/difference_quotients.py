"""How integration noise spoils the fit's forward-difference Jacobian.

Prints dT/dln(sigma) at five scan positions for sigma_23 and sigma_45, formed with the
step lmdif1 takes (sqrt(machine epsilon) relative) and with larger steps, on the
benchmark's model case (nx 31, nt 10, nz 8). The larger steps agree with each other; the
lmdif1 step shows what the search sees.

Usage: python bench/difference_quotients.py   (after make test, which builds _plix_testing)
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_model  # noqa: E402

import _plix_testing as plix  # noqa: E402

POSITIONS = [10, 13, 15, 17, 20]  # 15 is the focus


def main():
    positions, depth_grid, time_grid, incident, nu = bench_model.build_problem()
    flat = incident.ravel(order="F")
    params = np.array(bench_model.PARAMS)

    def curve(p):
        out, _ = plix.zscan_transmittance(positions, depth_grid, time_grid,
                                          bench_model.POPULATIONS, flat, nu, list(p))
        return np.array(out)

    base = curve(params)
    print(f"dT/dln(sigma) at positions {positions[POSITIONS]} mm")
    for index, name in ((1, "sigma_23"), (2, "sigma_45")):
        for rel in (np.sqrt(np.finfo(float).eps), 1e-6, 1e-4, 1e-3):
            p = params.copy()
            h = rel * p[index]
            p[index] += h
            quotient = (curve(p) - base) / h * params[index]
            print(f"  {name} step {rel:.1e}: {np.array2string(quotient[POSITIONS], precision=4)}")


if __name__ == "__main__":
    main()
