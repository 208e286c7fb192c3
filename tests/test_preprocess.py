"""Normalisation by the wings, tilt removal and closed/open division against results
worked out by hand."""

import numpy as np
import pytest

import plix

X = np.array([-4.0, -3.0, -2.0, -1.0, 0.0, 1.0, 2.0, 3.0, 4.0])
DIP = np.array([1.0, 1.0, 0.9, 0.8, 0.7, 0.8, 0.9, 1.0, 1.0])  # 1 on two points at each end


def one(transmittance, positions=X, **fields):
    return plix.Scan([plix.Dataset(positions, transmittance, 1e-6, **fields)])


class TestWings:
    def test_normalize_divides_by_the_wing_mean(self):
        t = np.array([2.2, 1.8, 1.6, 1.5, 1.4, 1.5, 1.6, 2.1, 1.9])
        sigma = np.full(9, 0.02)
        (d,), done = plix.preprocess(one(t, sigma=sigma), normalize=True, wings=2)
        # wings: 2.2, 1.8 | 2.1, 1.9 -> mean 2.0
        assert np.allclose(d.transmittance, t / 2.0, rtol=1e-15)
        assert np.allclose(d.sigma, 0.01, rtol=1e-15)
        assert len(done) == 1 and "divided by 2" in done[0] and "2 + 2 wing points" in done[0]

    def test_wings_are_the_extreme_positions_not_the_first_rows(self):
        order = np.array([4, 0, 8, 1, 7, 2, 6, 3, 5])  # a back-and-forth scan
        t = DIP * 1.25
        (d,), _ = plix.preprocess(one(t[order], X[order]), normalize=True, wings=2)
        assert np.allclose(d.transmittance, DIP[order], rtol=1e-15)

    def test_detilt_keeps_the_level_and_normalize_detilt_divides_by_the_line(self):
        line = 1.5 + 0.05 * X  # exact on the wings; 1.5 at the wings' mean position 0
        (kept,), done = plix.preprocess(one(DIP * line), detilt=True, wings=2)
        assert np.allclose(kept.transmittance, DIP * 1.5, rtol=1e-14)
        assert "tilt of 0.03333 per mm" in done[0]  # 0.05 / 1.5
        (flat,), _ = plix.preprocess(one(DIP * line), detilt=True, normalize=True, wings=2)
        assert np.allclose(flat.transmittance, DIP, rtol=1e-14)

    def test_detilt_is_a_least_squares_line_through_the_wings(self):
        # wings (z, T): (-4, 1.0) (-3, 1.2) (3, 1.1) (4, 1.3): mean z 0, mean T 1.15,
        # slope = sum z (T - 1.15) / sum z^2 = (-4*-0.15 - 3*0.05 + 3*-0.05 + 4*0.15) / 50
        t = np.array([1.0, 1.2, 0.9, 0.8, 0.7, 0.8, 0.9, 1.1, 1.3])
        slope = (0.6 - 0.15 - 0.15 + 0.6) / 50.0
        (d,), _ = plix.preprocess(one(t), detilt=True, normalize=True, wings=2)
        assert np.allclose(d.transmittance, t / (1.15 + slope * X), rtol=1e-14)

    def test_keeps_energies_and_aperture(self):
        energies = np.linspace(1e-6, 1.1e-6, 9)
        scan = plix.Scan([plix.Dataset(X, DIP * 3, energies, aperture=0.4)])
        (d,), _ = plix.preprocess(scan, normalize=True, wings=2)
        assert np.array_equal(d.point_energies_J, energies) and d.aperture == 0.4

    @pytest.mark.parametrize("t, words", [
        (DIP, "--wings 4"),
        (-DIP, "only a positive level"),
    ])
    def test_refusals(self, t, words):
        wings = 5 if words == "--wings 4" else 2
        with pytest.raises(ValueError, match=words):
            plix.preprocess(one(t), normalize=True, wings=wings)

    def test_nothing_asked_nothing_done(self):
        scan = one(DIP)
        same, done = plix.preprocess(scan)
        assert done == () and np.array_equal(same[0].transmittance, DIP)
        with pytest.raises(ValueError, match="at least 1"):
            plix.Preprocessing(wings=0)


class TestDivide:
    def test_closed_over_open_with_uncertainties(self):
        opened = plix.Dataset(X, DIP, 1e-6, sigma=np.full(9, 0.01))
        refraction = 1.0 + 0.1 * X / (1 + X * X)
        closed = plix.Dataset(X, DIP * refraction, 1e-6, sigma=np.full(9, 0.02), aperture=0.3)
        other = plix.Dataset(X, DIP, 2e-6)  # no closed partner: kept
        scan, done = plix.preprocess(plix.Scan([opened, closed, other]), divide=True)
        divided, kept = scan
        assert np.allclose(divided.transmittance, refraction, rtol=1e-15)
        assert divided.aperture == 0.3
        k = 4  # at focus: T_c = 0.7 (1 + 0) = 0.7, T_o = 0.7, ratio 1
        expected = 1.0 * np.hypot(0.02 / 0.7, 0.01 / 0.7)
        assert divided.sigma[k] == pytest.approx(expected, rel=1e-14)
        assert kept.energy_J == 2e-6
        assert "joint fit" in done[0] and "left out" in done[1]

    def test_a_closed_curve_needs_its_open_partner(self):
        closed = plix.Dataset(X, DIP, 1e-6, aperture=0.3)
        shifted = plix.Dataset(X + 0.5, DIP, 1e-6)
        with pytest.raises(ValueError, match="no open-aperture dataset"):
            plix.preprocess(plix.Scan([closed, shifted]), divide=True)
        with pytest.raises(ValueError, match="no closed-aperture dataset"):
            plix.preprocess(plix.Scan([shifted]), divide=True)
