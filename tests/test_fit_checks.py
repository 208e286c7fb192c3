"""Checks before a fit (unit slips refused within seconds, implausible inputs warned of, the
beam's scales shown) and a grid chosen at the solution, which makes the result independent
of the start."""

import math
import time
import warnings

import numpy as np
import pytest
from scipy import integrate

import plix

# The bundled sample's experiment: a five-level absorber, 5 ns pulses at 532 nm.
SETUP = plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [3.5e23, 0, 0, 0, 0])
TRUTH = plix.Parameters(sigma_12=2e-21, sigma_23=1e-21, sigma_45=8e-21, lifetime_21=2e-9,
                        lifetime_24=2.5e-9, lifetime_32=1e-12, lifetime_41=1e-4,
                        lifetime_54=1e-12)
Z = np.linspace(-30.0, 30.0, 41)
ENERGIES = [2e-7, 5e-7, 1e-6]
# The data need not be simulated for checks that stop before the fit: a plausible dip.
DIPS = [1 - d / (1 + (Z / 5.3) ** 2) for d in (0.11, 0.21, 0.32)]


def scan(energies=ENERGIES, positions=Z):
    return plix.Scan.from_arrays([positions] * len(energies), DIPS[:len(energies)], energies)


def free():
    return TRUTH.copy().vary("sigma_45")


def replaced(**changes):
    fields = dict(wavelength=SETUP.wavelength, w0=SETUP.w0, tau=SETUP.tau,
                  sample_width=SETUP.sample_width, populations=SETUP.populations)
    fields.update(changes)
    return plix.Setup(**fields)


class TestUnitSlips:
    @pytest.mark.parametrize("setup, energies, words", [
        # mJ typed as J: 50 uJ pulses (a common ns set-up) given as 0.05.
        (SETUP, [0.02, 0.05], "if the energies are in mJ, give them in J"),
        (SETUP, [e * 1e4 for e in ENERGIES], "a unit slipped"),
        (SETUP, [2.0], "energies must be in J"),
        (replaced(wavelength=532.0), ENERGIES, "nm written as m: give 5.32e-07"),
        (replaced(w0=25.0), ENERGIES, "um written as m: give 2.5e-05"),
        (replaced(tau=5.0), ENERGIES, "ns written as s: give 5e-09"),
    ])
    def test_refused_within_seconds_naming_the_mistake(self, setup, energies, words):
        # The physical model at a fine accuracy would take minutes; the checks come first.
        model = plix.Model.physical(accuracy=1e-6)
        began = time.perf_counter()
        with pytest.raises(ValueError, match=words):
            plix.fit(scan(energies), setup, free(), model=model, threads=1)
        assert time.perf_counter() - began < 5.0

    def test_a_scan_without_movement_is_refused(self):
        with pytest.raises(ValueError, match="every position is 2 mm"):
            plix.fit(scan(positions=np.full(Z.size, 2.0)), SETUP, free(), model=plix.Model.seed())

    def test_a_fluence_samples_barely_survive_is_warned_of(self):
        with pytest.warns(plix.FitWarning, match="exceeds the single-shot damage fluence"):
            checks = plix.check(scan([e * 1e3 for e in ENERGIES]), SETUP, free(),
                                evaluate=False)
        assert checks.peak_fluence == pytest.approx(2 * 1e-3 / (math.pi * 25e-6 ** 2))

    def test_implausible_but_possible_inputs_are_warned_of(self):
        many = replaced(populations=[1e25, 0, 0, 0, 0])  # T0 = exp(-20)
        with pytest.warns(plix.FitWarning, match="linear transmittance T0 = 2.06e-09"):
            plix.check(scan(), many, free(), evaluate=False)
        wide = replaced(w0=2.5e-4)  # z0 = 369 mm: the scan never leaves the focus
        with pytest.warns(plix.FitWarning, match="the wings are not reached"):
            plix.check(scan(), wide, free(), evaluate=False)
        with pytest.warns(plix.FitWarning) as caught:
            plix.check(scan(), replaced(sample_width=1.0), free(), evaluate=False)
        messages = " ".join(str(w.message) for w in caught)
        assert "sample_width" in messages and "linear transmittance" in messages  # 1 m absorbs

    def test_a_start_far_deeper_than_the_data_is_warned_of(self):
        flat = plix.Scan.from_arrays([Z], [1 - 0.002 / (1 + (Z / 5.3) ** 2)], [1e-6],
                                     sigma=[np.full(Z.size, 1e-4)])
        with pytest.warns(plix.FitWarning, match="more than 10 times the data's"):
            checks = plix.check(flat, SETUP, free(), model=plix.Model.physical(accuracy=1e-3))
        assert checks.evaluation_seconds > 0 and "estimated cost" in checks.text()

    def test_plausible_inputs_pass_quietly(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error", plix.FitWarning)
            checks = plix.check(scan(), SETUP, free(), evaluate=False)
        labels = [label for label, _ in checks.rows]
        assert labels[:4] == ["peak intensity I0", "peak fluence F0", "Rayleigh range z0",
                              "linear transmittance T0"]
        assert checks.linear_transmittance == pytest.approx(math.exp(-2e-21 * 3.5e23 * 1e-3))


def test_peak_intensity_and_fluence_hold_the_pulse_energy():
    # I0 exp(-2 r^2 / w0^2) exp(-t^2 / tau^2) over the plane and the pulse is E; F0
    # exp(-2 r^2 / w0^2) over the plane too.
    from plix._sanity import beam_quantities

    energy = 1e-6
    beam = beam_quantities(SETUP, energy)
    w0, tau = SETUP.w0, SETUP.tau
    spatial, _ = integrate.quad(lambda r: 2 * math.pi * r * math.exp(-2 * r * r / w0 ** 2),
                                0, 10 * w0)
    temporal, _ = integrate.quad(lambda t: math.exp(-(t / tau) ** 2), -10 * tau, 10 * tau)
    assert beam.peak_intensity * spatial * temporal == pytest.approx(energy, rel=1e-9)
    assert beam.peak_fluence * spatial == pytest.approx(energy, rel=1e-9)
    assert beam.rayleigh_range == pytest.approx(SETUP.rayleigh_range, rel=1e-15)


def test_the_grid_chosen_at_the_solution_makes_the_result_independent_of_the_start():
    model = plix.Model.physical(accuracy=1e-3)
    z = np.linspace(-20.0, 20.0, 11)
    energies = [5e-8, 3e-6]
    data = plix.simulate(SETUP, TRUTH, z, energies, model=model.replace(accuracy=1e-5),
                         threads=2)
    noisy = data + np.random.default_rng(1).normal(0.0, 0.003, data.shape)
    measured = plix.Scan.from_arrays([z] * 2, list(noisy), energies,
                                     sigma=[np.full(z.size, 0.003)] * 2)
    results = []
    for factor in (3.0, 0.4):
        params = TRUTH.copy().vary("sigma_45")
        params["sigma_45"].value *= factor
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", plix.FitWarning)
            results.append(plix.fit(measured, SETUP, params, model=model, n_starts=1,
                                    center="none", threads=2, coarse_factor=1))
    far, near = results
    assert far.start_grid != near.start_grid  # the starts chose different grids ...
    assert far.grid == near.grid == far.solution_grid  # ... the solution one grid
    assert far.params["sigma_45"].value == pytest.approx(near.params["sigma_45"].value,
                                                         rel=1e-7)
    assert far.chisqr == pytest.approx(near.chisqr, rel=1e-9)
