"""The numbers papers report: unit conversions against published and hand-checked values,
which apply to which model, uncertainties carried from the fit, and their place in the report,
the JSON and the command line.

Independent references: CS2's n2 = 3.1e-18 m^2/W = 1.2e-11 esu (Sheik-Bahae et al. 1990), the
SI-to-esu factor 4 pi/(3c) = 1.397e-8 of chi(3), and values worked out here with
scipy.constants.
"""

import json
import math
import subprocess
import sys

import numpy as np
import pytest
from scipy import constants

import plix

SETUP = plix.Setup(wavelength=800e-9, w0=20e-6, tau=100e-15, sample_width=1e-3, n0=1.5)
ENERGY = 1e-6


def quantity(derived, name):
    return derived[name].value


class TestConversions:
    def test_cs2_n2_in_esu(self):
        cs2 = plix.Setup(wavelength=532e-9, w0=20e-6, tau=10e-12, sample_width=1e-3, n0=1.63)
        derived = plix.derived_quantities(cs2, {"n2": 3.1e-18})
        assert quantity(derived, "n2_esu") == pytest.approx(1.2e-11, rel=0.02)
        assert quantity(derived, "n2_cm2_per_W") == pytest.approx(3.1e-14, rel=1e-12)

    def test_publication_units_of_each_coefficient(self):
        values = {"beta": 1e-11, "gamma": 1e-24, "I_sat": 1e13, "n2": 1e-18,
                  "delta_sigma": 1e-21, "alpha0": 230.0}
        derived = plix.derived_quantities(SETUP, values)
        assert quantity(derived, "beta_cm_per_GW") == pytest.approx(1.0, rel=1e-12)
        assert quantity(derived, "gamma_cm3_per_GW2") == pytest.approx(1.0, rel=1e-12)
        assert quantity(derived, "I_sat_GW_per_cm2") == pytest.approx(1.0, rel=1e-12)
        assert quantity(derived, "n2_cm2_per_W") == pytest.approx(1e-14, rel=1e-12)
        assert quantity(derived, "delta_sigma_cm2") == pytest.approx(1e-17, rel=1e-12)
        assert quantity(derived, "alpha0_per_cm") == pytest.approx(2.3, rel=1e-12)

    def test_chi3_in_si_and_esu(self):
        beta, n2 = 2e-12, 5e-19
        derived = plix.derived_quantities(SETUP, {"beta": beta, "n2": n2})
        n0, lam, eps0, c = SETUP.n0, SETUP.wavelength, constants.epsilon_0, constants.c
        re_si = 4 / 3 * n0 ** 2 * eps0 * c * n2
        im_si = n0 ** 2 * eps0 * c * lam * beta / (3 * math.pi)
        assert quantity(derived, "Re_chi3_SI") == pytest.approx(re_si, rel=1e-9)
        assert quantity(derived, "Im_chi3_SI") == pytest.approx(im_si, rel=1e-9)
        # chi(3)_SI = 1.397e-8 chi(3)_esu, in both parts
        assert quantity(derived, "Re_chi3_SI") / quantity(derived, "Re_chi3_esu") == \
            pytest.approx(1.397e-8, rel=1e-3)
        assert quantity(derived, "Im_chi3_SI") / quantity(derived, "Im_chi3_esu") == \
            pytest.approx(1.397e-8, rel=1e-3)
        assert quantity(derived, "abs_chi3_esu") == pytest.approx(
            math.hypot(quantity(derived, "Re_chi3_esu"), quantity(derived, "Im_chi3_esu")))
        assert quantity(derived, "figure_of_merit_T") == pytest.approx(2 * beta * lam / n2)

    def test_sigma2_in_gm_from_beta_and_concentration(self):
        # beta = 1 cm/GW in a 0.01 mol/L solution at 800 nm
        concentration = 0.01
        density = concentration * constants.Avogadro * 1e3  # m^-3
        setup = plix.Setup(wavelength=800e-9, w0=20e-6, tau=100e-15, sample_width=1e-3,
                           populations=[density])
        derived = plix.derived_quantities(setup, {"beta": 1e-11})
        photon = constants.h * constants.c / 800e-9  # J
        sigma2_cm4_s = photon * 1e-9 / (density * 1e-6)  # beta in cm/W, N in cm^-3
        assert quantity(derived, "sigma2_GM") == pytest.approx(sigma2_cm4_s / 1e-50, rel=1e-9)
        assert quantity(derived, "sigma2_GM") == pytest.approx(4125, rel=1e-3)
        assert quantity(derived, "concentration") == pytest.approx(concentration, rel=1e-12)

    def test_beam_quantities_by_hand(self):
        derived = plix.derived_quantities(SETUP, {"beta": 1e-11}, scan=[ENERGY, 2 * ENERGY])
        # I0 = 2E/(pi^1.5 w0^2 tau) = 8.98e15 W/m^2 = 898 GW/cm^2; F0 = 2E/(pi w0^2)
        assert derived.datasets[0]["I0"].value == pytest.approx(897.94, rel=1e-4)
        assert derived.datasets[1]["I0"].value == pytest.approx(2 * 897.94, rel=1e-4)
        assert derived.datasets[0]["F0"].value == pytest.approx(0.15915, rel=1e-4)
        assert quantity(derived, "z0") == pytest.approx(math.pi * 400e-12 / 800e-9 * 1e3)
        assert quantity(derived, "Leff") == pytest.approx(1.0)


class TestConsistencyWithTheModels:
    def test_q0_of_two_gives_the_published_dip(self):
        i0 = plix.derived_quantities(SETUP, {"beta": 1e-11}, scan=ENERGY).datasets[0]["I0"]
        beta = 2.0 / (i0.value * 1e13 * SETUP.sample_width)
        derived = plix.derived_quantities(SETUP, {"beta": beta}, scan=ENERGY)
        assert derived.datasets[0]["q0"].value == pytest.approx(2.0, rel=1e-12)
        model = plix.Model.oa_2pa()
        dip = plix.simulate(SETUP, model.make_params(beta=beta), [0.0], ENERGY, model=model)
        assert dip[0, 0] == pytest.approx(0.6407, abs=5e-5)

    def test_phase_gives_the_closed_aperture_height(self):
        model = plix.Model.ca_thin()
        params = model.make_params(n2=1e-21, alpha0=300.0)
        x = np.linspace(-2, 2, 4001) * 1e3 * SETUP.rayleigh_range
        curve = plix.simulate(SETUP, params, x, ENERGY, model=model, aperture=1e-6)[0]
        phase = plix.derived_quantities(SETUP, params, scan=ENERGY).datasets[0]["DeltaPhi0"]
        assert curve.max() - curve.min() == pytest.approx(0.406 * phase.value, rel=2e-3)


class TestWhatApplies:
    def test_by_parameter_name(self):
        five_level = plix.derived_quantities(SETUP, plix.Parameters(
            1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12), scan=ENERGY)
        assert [q.name for q in five_level.material] == []
        assert [q.name for q in five_level.sample] == ["z0", "thickness_in_z0"]
        assert [q.name for q in five_level.datasets[0].quantities] == ["I0", "F0"]

        model = plix.Model.oa_2pa()
        two_photon = plix.derived_quantities(SETUP, model.make_params(beta=1e-11), ENERGY,
                                             model=model)
        assert "beta_cm_per_GW" in [q.name for q in two_photon.material]
        assert "sigma2_GM" not in [q.name for q in two_photon.material]  # no density given
        assert not any(q.name.startswith(("n2", "Re_")) for q in two_photon.material)
        assert [q.name for q in two_photon.datasets[0].quantities] == ["I0", "F0", "q0"]
        with pytest.raises(KeyError, match="no derived quantity 'n2_esu'"):
            two_photon["n2_esu"]

    def test_scan_ranges_in_rayleigh_ranges(self):
        z0_mm = 1e3 * SETUP.rayleigh_range
        scan = plix.Scan([plix.Dataset(np.linspace(-2, 4, 7) * z0_mm, np.ones(7), ENERGY,
                                       aperture=0.2)])
        d = plix.derived_quantities(SETUP, {"n2": 1e-20}, scan).datasets[0]
        assert (d["x_min"].value, d["x_max"].value) == pytest.approx((-2.0, 4.0))
        assert d.aperture == 0.2

    def test_refuses_what_is_not_a_scan(self):
        with pytest.raises(ValueError, match="pulse energies in J"):
            plix.derived_quantities(SETUP, {"beta": 1e-11}, scan=[-1.0])
        with pytest.raises(TypeError, match="setup must be a plix.Setup"):
            plix.derived_quantities({"w0": 1}, {"beta": 1e-11})


@pytest.fixture(scope="module")
def result():
    """A fit of noisy two-energy oa_2pa data."""
    model = plix.Model.oa_2pa()
    truth = model.make_params(beta=1e-12, alpha0=200.0)
    x = np.linspace(-8, 8, 41) * 1e3 * SETUP.rayleigh_range
    rng = np.random.default_rng(2)
    energies = [0.2e-6, 0.5e-6]
    data = plix.simulate(SETUP, truth, x, energies, model=model)
    scan = plix.Scan.from_arrays([x, x], data + rng.normal(0, 1e-3, data.shape), energies)
    start = truth.copy().vary("beta")
    start["beta"].value = 2e-12
    return plix.fit(scan, SETUP, start, model=model, n_starts=1)


class TestUncertainties:
    def test_from_the_parameters_standard_errors(self):
        model = plix.Model.oa_3pa()
        params = model.make_params(gamma=4e-24, alpha0=100.0)
        params["gamma"]._set_stderr(4e-25)
        derived = plix.derived_quantities(SETUP, params, scan=ENERGY)
        assert derived["gamma_cm3_per_GW2"].stderr == pytest.approx(0.4, rel=1e-6)
        p0 = derived.datasets[0]["p0"]
        assert p0.stderr == pytest.approx(0.5 * 0.1 * p0.value, rel=1e-6)  # p0 ~ sqrt(gamma)
        assert derived.datasets[0]["I0"].stderr is None  # no uncertain parameter enters
        assert derived["Leff3"].stderr is None  # alpha0 is taken as exact

    def test_from_the_fit_covariance(self, result):
        derived = result.derived_quantities()
        beta = result.params["beta"]
        assert derived["beta_cm_per_GW"].value == pytest.approx(beta.value / 1e-11)
        assert derived["beta_cm_per_GW"].stderr == pytest.approx(beta.stderr / 1e-11, rel=1e-6)
        q0 = derived.datasets[1]["q0"]
        assert q0.stderr == pytest.approx(q0.value * beta.stderr / beta.value, rel=1e-6)

    def test_report_json_and_command_line(self, result, tmp_path):
        text = result.report()
        derived = text.split("[[Derived]]")[1]
        assert "cm/GW" in derived and "GW/cm^2" in derived and "J/cm^2" in derived
        assert "q0" in derived and "scan from (z0)" in derived and "Im chi(3)" in derived
        data = json.loads(result.to_json())
        assert data["derived"]["material"]["beta_cm_per_GW"]["value"] == pytest.approx(
            result.params["beta"].value / 1e-11)
        assert len(data["derived"]["datasets"]) == 2

        # the command line: a scan file fitted with --model oa_2pa
        plix.write_scan(tmp_path / "scan.csv", result.scan)
        (tmp_path / "setup.toml").write_text(
            "wavelength = 800e-9\nw0 = 20e-6\ntau = 100e-15\nsample_width = 1e-3\nn0 = 1.5\n")
        (tmp_path / "params.toml").write_text(
            "beta = { value = 2e-12, vary = true }\nalpha0 = 200.0\n")
        run = subprocess.run(
            [sys.executable, "-m", "plix", "fit", "scan.csv", "--setup", "setup.toml",
             "--params", "params.toml", "--model", "oa_2pa", "--json", "out.json"],
            cwd=tmp_path, capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        assert "[[Derived]]" in run.stdout and "cm/GW" in run.stdout
        written = json.loads((tmp_path / "out.json").read_text())
        assert written["model"]["kind"] == "oa_2pa"
        assert written["derived"]["datasets"][0]["quantities"]["I0"]["unit"] == "GW/cm^2"
