"""The demo fit through the Python API: what `make demo` does with the command line.

Reads the bundled physical-model sample, fits sigma_12 and sigma_45 from twice their true
values, prints the report with the true values beside the fitted ones and writes
physical_fit.png. Run: python examples/demo.py
"""

from pathlib import Path

import plix

HERE = Path(__file__).resolve().parent


def main():
    scan = plix.read_scan(HERE / "physical_sample.csv")
    setup, model = plix.read_setup(HERE / "physical_setup.toml")
    start = plix.read_parameters(HERE / "physical_start.toml")
    truth = plix.read_parameters(HERE / "physical_true.toml")
    result = plix.fit(scan, setup, start, model=model)
    print(result.report(reference=truth))
    result.plot(HERE / "physical_fit.png")
    print(f"wrote {HERE / 'physical_fit.png'}")


if __name__ == "__main__":
    main()
