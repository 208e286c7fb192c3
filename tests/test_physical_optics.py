"""The physical model's instantaneous absorption and two-photon transitions, open aperture.

Each curve is held to an independent reference computed here: the thin-sample integrals of
Sheik-Bahae et al. (IEEE JQE 26, 760, 1990) for 2PA and of He et al. (Opt. Express 13, 9235,
2005) for 3PA, the Lambert-W solution of a homogeneous fast saturable absorber and the
implicit solution of an inhomogeneous one (integrated over beam and pulse with scipy quad),
and the fluence-only closed form of a long-lived excited-state absorber (Wei et al., Appl.
Phys. B 54, 46, 1992).
"""

import math

import numpy as np
import pytest
from scipy.integrate import quad
from scipy.optimize import brentq
from scipy.special import lambertw

import plix

PLANCK = 6.62607015e-34
SPEED_OF_LIGHT = 299792458.0
INF = math.inf

# A femtosecond set-up and a sample a sixteenth of a Rayleigh range thick: thin.
FS = dict(wavelength=800e-9, w0=20e-6, tau=100e-15, sample_width=0.1e-3)
FS_ENERGY = 1e-6  # J
ACCURACY = 1e-4
SCHEMELESS = plix.Model.physical(scheme=None, accuracy=ACCURACY)
X = np.array([-4.0, -1.5, -0.5, 0.0, 0.7, 2.5])  # positions in Rayleigh ranges


def peak_intensity(setup, energy):
    """I0 = 2E / (pi^(3/2) w0^2 tau), on axis at the focus."""
    return 2.0 * energy / (math.pi ** 1.5 * setup.w0 ** 2 * setup.tau)


def photon_energy(setup):
    return PLANCK * SPEED_OF_LIGHT / setup.wavelength


def curve(setup, params, energy, model=SCHEMELESS, x=X):
    values, info = plix.simulate(setup, params, x * setup.rayleigh_range * 1e3, energy,
                                 model=model, threads=2, return_info=True)
    assert info.error_estimate[0] <= model.accuracy
    return values[0]


def two_photon_integral(q):
    """(1/(sqrt(pi) q)) int ln(1 + q exp(-t^2)) dt: 2PA through beam and Gaussian pulse."""
    integral, _ = quad(lambda t: math.log1p(q * math.exp(-t * t)), -INF, INF, epsabs=1e-13)
    return integral / (math.sqrt(math.pi) * q)


def three_photon_integral(p):
    """(1/(sqrt(pi) p)) int ln(sqrt(1 + p^2 exp(-2t^2)) + p exp(-t^2)) dt (He et al.)."""
    integral, _ = quad(lambda t: math.asinh(p * math.exp(-t * t)), -INF, INF, epsabs=1e-13)
    return integral / (math.sqrt(math.pi) * p)


def beam_and_pulse_average(column):
    """Transmitted over incident energy for a column transmittance column(I/I_peak-fraction):
    the mean over s = exp(-2 r^2/w^2) in [0, 1] (the fluence-weighted beam) of the
    intensity-weighted pulse average."""
    norm = math.sqrt(math.pi)

    def over_pulse(s):
        value, _ = quad(lambda t: math.exp(-t * t) * column(s * math.exp(-t * t)), -6.0, 6.0,
                        epsabs=1e-12, epsrel=1e-10)
        return value / norm

    value, _ = quad(over_pulse, 0.0, 1.0, epsabs=1e-11, epsrel=1e-10)
    return value


class TestMultiphotonAbsorption:
    @pytest.mark.parametrize("q0", [0.4, 2.0])
    def test_two_photon_absorption_follows_the_integral(self, q0):
        setup = plix.Setup(**FS)
        beta = q0 / (peak_intensity(setup, FS_ENERGY) * setup.sample_width)
        got = curve(setup, {"beta": beta}, FS_ENERGY)
        reference = np.array([two_photon_integral(q0 / (1 + x * x)) for x in X])
        np.testing.assert_allclose(got, reference, rtol=0, atol=ACCURACY)
        if q0 == 2.0:  # beyond the series; Sheik-Bahae 1990 give T(0) = 0.6407
            assert got[X == 0.0][0] == pytest.approx(0.6407, abs=ACCURACY + 5e-5)

    def test_linear_background_enters_through_the_effective_length(self):
        # alpha0 L = 1: Leff = (1 - e^-1)/alpha0, and the curve is divided by e^-1.
        setup = plix.Setup(**FS)
        alpha0 = 1.0 / setup.sample_width
        effective = -math.expm1(-alpha0 * setup.sample_width) / alpha0
        beta = 0.8 / (peak_intensity(setup, FS_ENERGY) * effective)
        got = curve(setup, {"alpha0": alpha0, "beta": beta}, FS_ENERGY)
        reference = np.array([two_photon_integral(0.8 / (1 + x * x)) for x in X])
        np.testing.assert_allclose(got, reference, rtol=0, atol=ACCURACY)

    def test_three_photon_absorption_follows_the_integral(self):
        setup = plix.Setup(**FS)
        p0 = 2.0  # p0 = sqrt(2 gamma L) I0 at the focus: beyond the series' reach
        gamma = (p0 / peak_intensity(setup, FS_ENERGY)) ** 2 / (2.0 * setup.sample_width)
        got = curve(setup, {"gamma": gamma}, FS_ENERGY)
        reference = np.array([three_photon_integral(p0 / (1 + x * x)) for x in X])
        assert reference.min() < 0.85
        np.testing.assert_allclose(got, reference, rtol=0, atol=ACCURACY)


class TestSaturableAbsorption:
    ALPHA_L = 1.5  # alpha_s L: 22 % linear transmittance
    RATIO = 3.0  # I0 / I_sat at the focus
    POSITIONS = np.array([-2.0, 0.0, 0.8])

    def setup_and_params(self):
        setup = plix.Setup(**FS)
        params = {"alpha_s": self.ALPHA_L / setup.sample_width,
                  "I_sat": peak_intensity(setup, FS_ENERGY) / self.RATIO}
        return setup, params

    def test_homogeneous_follows_the_lambert_w_solution(self):
        # ln(I_out/I_in) + (I_out - I_in)/I_s = -alpha L  =>  I_out = I_s W(u e^(u - alpha L)).
        setup, params = self.setup_and_params()
        got = curve(setup, params, FS_ENERGY, x=self.POSITIONS)
        linear = math.exp(-self.ALPHA_L)

        def column(u):  # u = I_in / I_s
            if u == 0.0:
                return linear
            return lambertw(u * math.exp(u - self.ALPHA_L)).real / u

        reference = [beam_and_pulse_average(lambda f: column(self.RATIO / (1 + x * x) * f))
                     / linear for x in self.POSITIONS]
        assert reference[1] > 1.5  # strongly saturated at the focus
        np.testing.assert_allclose(got, reference, rtol=0, atol=ACCURACY)

    def test_inhomogeneous_follows_its_implicit_solution(self):
        # dI/dz = -alpha I / sqrt(1 + I/I_s) integrates, with y = sqrt(1 + I/I_s), to
        # 2 (y_in - y_out) + ln[(y_in - 1)(y_out + 1) / ((y_in + 1)(y_out - 1))] = alpha L.
        setup, params = self.setup_and_params()
        model = SCHEMELESS.replace(saturation="inhomogeneous")
        got = curve(setup, params, FS_ENERGY, model=model, x=self.POSITIONS)
        linear = math.exp(-self.ALPHA_L)

        def y_minus_one(u):
            return u / (1.0 + math.sqrt(1.0 + u))

        def column(u):
            if u == 0.0:
                return linear
            a = y_minus_one(u)

            def residual(v):
                b = y_minus_one(v)
                return 2.0 * (a - b) + math.log(a * (b + 2.0) / ((a + 2.0) * b)) - self.ALPHA_L

            return brentq(residual, u * linear, u, xtol=1e-15 * u, rtol=1e-14) / u

        reference = [beam_and_pulse_average(lambda f: column(self.RATIO / (1 + x * x) * f))
                     / linear for x in self.POSITIONS]
        assert reference[1] > 1.3
        np.testing.assert_allclose(got, reference, rtol=0, atol=ACCURACY)


class TestLevelSchemes:
    def test_long_lived_excited_state_absorption_is_fluence_driven(self):
        # The five-level absorber with S1 long-lived and no intersystem crossing, Sn relaxing
        # at once, and the ground state hardly depleted (1e-4 at the focus): dF/dz = -alpha0 F
        # - (Delta sigma alpha0 / (2 h nu)) F^2, so T = ln(1 + q)/q with q = Delta sigma
        # alpha0 Leff F0 / (2 h nu (1 + x^2)), F0 = 2E/(pi w0^2).
        setup = plix.Setup(wavelength=532e-9, w0=30e-6, tau=1e-9, sample_width=1e-3,
                           populations=[1e27, 0, 0, 0, 0])
        sigma_g, delta_sigma = 1e-25, 1e-20
        params = plix.Parameters(sigma_12=sigma_g, sigma_23=sigma_g + delta_sigma,
                                 sigma_45=0.0, lifetime_21=INF, lifetime_24=INF,
                                 lifetime_32=1e-15, lifetime_41=INF, lifetime_54=1e-12)
        alpha0 = sigma_g * setup.populations[0]
        effective = -math.expm1(-alpha0 * setup.sample_width) / alpha0
        energy = 0.6e-6
        fluence = 2 * energy / (math.pi * setup.w0 ** 2)
        q0 = delta_sigma * alpha0 * effective * fluence / (2 * photon_energy(setup))
        assert 0.3 < q0 < 1.0 and sigma_g * fluence / photon_energy(setup) < 2e-4
        x = np.array([-3.0, -0.6, 0.0, 1.0])
        got = curve(setup, params, energy, model=plix.Model.physical(accuracy=ACCURACY), x=x)
        q = q0 / (1 + x * x)
        np.testing.assert_allclose(got, np.log1p(q) / q, rtol=0, atol=1.5 * ACCURACY)

    def test_two_photon_transition_absorbs_as_beta_sigma2_n_over_h_nu(self):
        # A two-photon transition 1 -> 2 (excitation sigma2 I^2/(2 (h nu)^2), loss sigma2 N
        # I^2/(h nu)), weakly depleted (1e-4 at the focus): the 2PA curve with beta = sigma2 N/h nu.
        setup = plix.Setup(**FS, populations=[1.4e27, 0.0])
        energy = 1e-8
        sigma2 = 100e-58  # 100 GM
        scheme = plix.LevelScheme(2, [plix.Transition(1, 2, "sigma2_12", photons=2)],
                                  [(2, 1, "lifetime_21")])
        model = plix.Model.physical(scheme=scheme, accuracy=ACCURACY)
        beta = sigma2 * setup.populations[0] / photon_energy(setup)
        q0 = beta * peak_intensity(setup, energy) * setup.sample_width
        assert 0.3 < q0 < 1.0
        got = curve(setup, {"sigma2_12": sigma2, "lifetime_21": 1e-9}, energy, model=model)
        reference = np.array([two_photon_integral(q0 / (1 + x * x)) for x in X])
        np.testing.assert_allclose(got, reference, rtol=0, atol=1.5 * ACCURACY)


class TestParameters:
    OPTICS = ("alpha0", "beta", "gamma", "alpha_s", "I_sat", "n2")

    def test_order_units_and_defaults_that_switch_the_effects_off(self):
        scheme = plix.LevelScheme(2, [(1, 2, "sigma_12")], [(2, 1, "lifetime_21")],
                                  refraction={2: "sigma_r2"})
        specs = plix.Model.physical(scheme=scheme).parameter_specs
        assert [s.name for s in specs] == ["sigma_12", "lifetime_21", *self.OPTICS,
                                           "sigma_r2"]
        by_name = {s.name: s for s in specs}
        assert [by_name[n].unit for n in (*self.OPTICS, "sigma_r2")] == [
            "1/m", "m/W", "m^3/W^2", "1/m", "W/m^2", "m^2/W", "m^3"]
        assert [by_name[n].default for n in (*self.OPTICS, "sigma_r2")] == [
            0, 0, 0, 0, INF, 0, 0]
        assert by_name["n2"].refusal(-1e-19) is None and by_name["sigma_r2"].refusal(-1.0) is None
        assert by_name["beta"].refusal(-1e-12) is not None
        assert by_name["I_sat"].refusal(0.0) is not None and by_name["I_sat"].log_scale

    def test_names_shared_with_the_sample_are_refused(self):
        scheme = plix.LevelScheme(2, [(1, 2, "beta")])
        with pytest.raises(ValueError, match="'beta' is a parameter of the physical model"):
            plix.Model.physical(scheme=scheme)


class TestThinSample:
    def test_a_sample_beyond_a_quarter_rayleigh_range_is_noted(self):
        model = plix.Model.physical(scheme=None)
        values = np.zeros(len(model.parameter_names))
        values[4] = INF
        setup = plix.Setup(**FS)  # L = 0.064 z0
        z0 = setup.rayleigh_range
        for width, n0, noted in [(0.2 * z0, 1.0, False), (0.3 * z0, 1.0, True),
                                 (0.3 * z0, 1.5, False)]:
            thick = plix.Setup(**dict(FS, sample_width=width), n0=n0)
            notes = plix._core.range_notes(model.native(), thick.native(), values,
                                           np.array([0.0]), 1e-6, 1.0)
            assert bool(notes) == noted, (width, n0)
            if noted:
                assert "not thin" in notes[0] and "n0 z0 / 4" in notes[0]
