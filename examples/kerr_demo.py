"""The global fit of the bundled open + closed aperture sample through the Python API (`make
demo` runs the same fit with the command line).

Fits beta and n2 to both files at once (three energies each), holding the measured linear
transmittance, with the experiment's nuisances: one focus offset (one stage), a baseline
and a tilt per file, and the closed file's energy calibration relative to the open one's.
Prints the report with the true values beside the fitted ones and the values in publication
units, the profile-likelihood interval of n2 and the systematic budget of the set-up's
stated uncertainties, and writes kerr_fit.png and kerr_profile_n2.png.
Run: python examples/kerr_demo.py (after python examples/generate_kerr_sample.py)
"""

import sys
from pathlib import Path

import plix

HERE = Path(__file__).resolve().parent
LINEAR_TRANSMITTANCE = 0.9  # measured with a spectrometer
# The set-up's stated relative uncertainties (1 sigma).
UNCERTAINTIES = {"w0": 0.05, "tau": 0.10, "energy": 0.05}
# Publication units: beta in cm/GW, n2 in cm^2/W.
PUBLISHED = {"beta": (1e11, "cm/GW"), "n2": (1e4, "cm^2/W")}


def model():
    """The physical model of a sample without populations (alpha0, beta, n2, ...)."""
    return plix.Model.physical(scheme=None, geometry="beam", accuracy=3e-4)


def main():
    m = model()
    files = [HERE / "kerr_open.csv", HERE / "kerr_closed.csv"]
    if not all(f.exists() for f in files):
        sys.exit("the sample files are missing: python examples/generate_kerr_sample.py")
    scan = plix.Scan([d for f in files for d in plix.read_scan(f)])
    setup, _ = plix.read_setup(HERE / "kerr_setup.toml")
    truth = plix.read_parameters(HERE / "kerr_true.toml", m)
    start = m.make_params(beta=2e-11, n2=-2e-18).vary("beta", "n2")
    nuisances = plix.Nuisances(focus="shared", baseline="per_scan", tilt="per_scan",
                               energy_scale="per_scan")
    result = plix.fit(scan, setup, start, model=m, nuisances=nuisances,
                      linear_transmittance=LINEAR_TRANSMITTANCE)
    if result.success:
        result.profile("n2").plot(HERE / "kerr_profile_n2.png")
        result.systematics(**UNCERTAINTIES)
    print(result.report(reference=truth))
    print("[[Publication units]]")
    for name, (factor, unit) in PUBLISHED.items():
        p = result.params[name]
        total = (result.systematic_budget.total[name] if result.systematic_budget is not None
                 else p.stderr)
        print(f"    {name:<5} = {p.value * factor:.3g} +/- {p.stderr * factor:.2g} (statistical)"
              f" +/- {total * factor:.2g} (total) {unit};  true {truth[name].value * factor:.3g}")
    result.plot(HERE / "kerr_fit.png")
    print(f"wrote {HERE / 'kerr_fit.png'} and {HERE / 'kerr_profile_n2.png'}")


if __name__ == "__main__":
    main()
