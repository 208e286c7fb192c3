"""plix.simulate, plix.Setup and plix.Model: input handling, shapes, and the seed model
against fit_zscan's own model."""

import math
import os
import types

import numpy as np
import pytest

import _plix_testing
import plix
from plix import _core
from plix_wrapper import fit_zscan

WAVELENGTH = 532e-9
W0 = 30e-6
TAU = 5e-9
SAMPLE_WIDTH = 1e-3
M2 = 1.2
POPULATIONS = [1e24, 0.0, 0.0, 0.0, 0.0]
VALUES = [1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12]
ENERGIES = [1e-3, 3e-3]
POSITIONS = np.linspace(-30.0, 30.0, 31)
SPEED_OF_LIGHT = 299792458.0


def setup(**changes):
    fields = dict(wavelength=WAVELENGTH, w0=W0, tau=TAU, sample_width=SAMPLE_WIDTH,
                  populations=POPULATIONS, M2=M2)
    fields.update(changes)
    return plix.Setup(**fields)


def params():
    return plix.Parameters(*VALUES)


def seed_curves(positions=POSITIONS, energies=ENERGIES, model=None, setup_=None, **kw):
    return plix.simulate(setup() if setup_ is None else setup_, params(), positions, energies,
                         model=plix.Model.seed() if model is None else model, **kw)


# ---------------------------------------------------------------------------------------
# The seed model is fit_zscan's model bit for bit


def fit_zscan_model(x, energies, t_slices=10, z_slices=8):
    """fit_zscan's model curves at x - x[0] and the parameters they belong to.

    fit_zscan returns y - model at the parameters it returns, for the centred positions.
    y is the probe's curve with its first point lowered, so that the centre is x[0]; the
    model lies within a factor 2 of y, so y - model is exact (Sterbenz) and y - residuals
    gives the model back bit for bit.
    """
    nx = len(x)
    y = np.concatenate([probe_model(x - x[0], e, t_slices, z_slices) for e in energies])
    y[0] = 0.6
    residuals, _, fitted = fit_zscan(
        np.tile(x, len(energies)), y, np.array(POPULATIONS), t_slices, z_slices,
        SAMPLE_WIDTH, TAU, WAVELENGTH, W0, M2, np.array(energies), np.array(VALUES),
        np.array([2], dtype=np.int32), nx, len(energies), False, 1)
    model = y - residuals
    assert np.all((model >= 0.5 * y) & (model <= 2.0 * y))
    return model.reshape(len(energies), nx), fitted


def probe_model(x, energy, t_slices=10, z_slices=8):
    """The same curve from the model's own building blocks (grids, beam, transmittance)."""
    rayleigh_range = math.pi * (W0 * W0) / (M2 * WAVELENGTH)
    time_grid = _plix_testing.linspace(-TAU * 0.5, TAU * 0.5, t_slices)
    depth_grid = _plix_testing.linspace(0.0, SAMPLE_WIDTH, z_slices)
    incident = [_plix_testing.beam_intensity(0.0, t, xi * 0.001, energy, TAU, W0, rayleigh_range)
                for t in time_grid for xi in x]  # column-major: position fastest
    curve, _ = _plix_testing.zscan_transmittance(x, depth_grid, time_grid, POPULATIONS, incident,
                                                 SPEED_OF_LIGHT / WAVELENGTH, VALUES)
    return np.array(curve)


class TestSeedModelIsFitZscanModel:
    @pytest.mark.parametrize("t_slices, z_slices", [(10, 8), (3, 2), (6, 0)])
    def test_bitwise_equal_to_fit_zscan(self, t_slices, z_slices):
        x = np.linspace(-30.0, 30.0, 31)
        expected, fitted = fit_zscan_model(x, ENERGIES, t_slices, z_slices)
        model = plix.Model.seed(integrator="lsoda", t_slices=t_slices, z_slices=z_slices)
        got = plix.simulate(setup(), plix.Parameters.from_array(fitted), x - x[0], ENERGIES,
                            model=model, threads=1)
        assert got.dtype == np.float64 and got.shape == expected.shape
        assert np.array_equal(got, expected)
        if z_slices:
            assert np.ptp(got) > 1e-3  # a visible nonlinear curve, not a flat line

    def test_bitwise_equal_to_the_model_probe(self):
        x = np.array([-12.5, -3.0, -0.7, 0.0, 0.4, 2.0, 9.0, 21.0])  # uneven, not centred
        got = seed_curves(x, ENERGIES, threads=1)
        for row, energy in zip(got, ENERGIES):
            assert np.array_equal(row, probe_model(x, energy))

    def test_fault_in_a_field_is_seen(self):
        # A one-step change of any seed field changes the curve: the comparison above
        # would notice a field dropped on its way to the C++ model.
        base = seed_curves()
        for changed in (plix.Model.seed(t_slices=11), plix.Model.seed(z_slices=9),
                        plix.Model.seed(normalisation="none")):
            assert not np.array_equal(base, seed_curves(model=changed))
        assert not np.array_equal(base, plix.simulate(setup(M2=1.0), params(), POSITIONS,
                                                      ENERGIES, model=plix.Model.seed()))


# ---------------------------------------------------------------------------------------
# Shapes, scalars, dtypes and lists


class TestShapesAndConversions:
    def test_rows_follow_the_energies(self):
        both = seed_curves(energies=ENERGIES)
        assert both.shape == (2, len(POSITIONS))
        for k, energy in enumerate(ENERGIES):
            assert np.array_equal(seed_curves(energies=[energy])[0], both[k])

    @pytest.mark.parametrize("energy", [2e-3, np.float64(2e-3), np.array(2e-3), np.float32(2e-3)])
    def test_scalar_energy_gives_one_row(self, energy):
        got = seed_curves(energies=energy)
        assert got.shape == (1, len(POSITIONS))
        assert np.array_equal(got, seed_curves(energies=[float(np.float64(energy))]))

    @pytest.mark.parametrize("convert", [
        list, tuple,
        lambda a: a.astype(np.float32), lambda a: a.astype(np.float16),
        lambda a: a.astype(np.int64), lambda a: a.astype(np.int32),
        lambda a: np.repeat(a, 2)[::2],  # strided view
    ], ids=["list", "tuple", "float32", "float16", "int64", "int32", "strided"])
    def test_positions_any_real_dtype_or_sequence(self, convert):
        positions = np.arange(-30.0, 31.0, 2.0)  # exact in every dtype above
        expected = seed_curves(positions)
        assert np.array_equal(seed_curves(convert(positions)), expected)

    def test_energies_list_and_float32(self):
        energies = np.array([0.5, 2.0]) * 1e-3
        expected = seed_curves(energies=energies)
        assert np.array_equal(seed_curves(energies=list(energies)), expected)
        as_32 = energies.astype(np.float32)
        assert np.array_equal(seed_curves(energies=as_32),
                              seed_curves(energies=as_32.astype(np.float64)))

    def test_parameters_or_eight_numbers(self):
        expected = seed_curves()
        got = plix.simulate(setup(), VALUES, POSITIONS, ENERGIES, model=plix.Model.seed())
        assert np.array_equal(got, expected)

    def test_inputs_are_not_modified(self):
        positions = POSITIONS.copy()
        energies = np.array(ENERGIES)
        values = np.array(VALUES)
        p = params()
        plix.simulate(setup(), values, positions, energies, model=plix.Model.seed())
        plix.simulate(setup(), p, positions, energies, model=plix.Model.seed())
        assert np.array_equal(positions, POSITIONS)
        assert np.array_equal(energies, ENERGIES)
        assert np.array_equal(values, VALUES)
        assert list(p.as_array()) == VALUES

    def test_result_is_a_fresh_writable_array(self):
        first = seed_curves()
        first[:] = 0.0
        assert np.all(seed_curves() != 0.0)
        assert first.flags.c_contiguous and first.flags.writeable

    def test_positions_used_as_given(self):
        # A shifted scan is the same curve shifted: no centring on the extremum.
        x = np.linspace(-20.0, 20.0, 21)
        shifted = seed_curves(x + 4.0, [2e-3])[0]
        assert np.argmin(shifted) == np.argmin(np.abs(x + 4.0))
        assert np.argmin(seed_curves(x, [2e-3])[0]) == 10


# ---------------------------------------------------------------------------------------
# Threads


class TestThreads:
    def test_thread_counts_give_identical_curves(self):
        for model in (plix.Model.seed(), plix.Model.seed(integrator="exact")):
            one = seed_curves(model=model, threads=1)
            assert np.array_equal(one, seed_curves(model=model, threads=2))
            assert np.array_equal(one, seed_curves(model=model, threads=None))

    def test_concurrent_python_threads_get_their_own_results(self):
        # The interpreter lock is released during the computation: calls made at once
        # from several threads must not share working state.
        from concurrent.futures import ThreadPoolExecutor

        energies = [[0.5e-3], [1e-3], [2e-3], [4e-3]]
        alone = [seed_curves(energies=e, threads=1) for e in energies]
        with ThreadPoolExecutor(max_workers=4) as pool:
            for _ in range(3):
                together = list(pool.map(lambda e: seed_curves(energies=e, threads=1), energies))
                for a, b in zip(alone, together):
                    assert np.array_equal(a, b)

    def test_none_means_the_cores_this_process_may_use(self, monkeypatch):
        seen = []
        real = _core.simulate

        def spy(*args, **kwargs):
            seen.append(args[-1])  # the thread count
            return real(*args, **kwargs)

        monkeypatch.setattr(_core, "simulate", spy)
        monkeypatch.setattr(os, "sched_getaffinity", lambda pid: {0, 3, 5})
        seed_curves(threads=None)
        seed_curves(threads=2)
        assert seen == [3, 2]

    @pytest.mark.parametrize("threads, error", [(0, ValueError), (-2, ValueError),
                                                (2**31, ValueError),
                                                (1.0, TypeError), (True, TypeError),
                                                ("2", TypeError)])
    def test_bad_thread_counts(self, threads, error):
        with pytest.raises(error, match="^threads"):
            seed_curves(threads=threads)


# ---------------------------------------------------------------------------------------
# Bad input: each error names its argument


def named(name, error=ValueError):
    return pytest.raises(error, match=f"^{name}")


class TestSimulateRejects:
    @pytest.mark.parametrize("positions", [[0.0, 1.0, np.nan, 2.0, 3.0, 4.0],
                                           [0.0, 1.0, 2.0, 3.0, np.inf, 4.0]])
    def test_non_finite_positions(self, positions):
        with named(r"positions_mm\[\d\]"):
            seed_curves(positions)

    def test_positions_shape(self):
        with named("positions_mm"):
            seed_curves(np.zeros((5, 2)))
        with named("positions_mm"):
            seed_curves(3.0)
        with named("positions_mm", TypeError):
            seed_curves(["a"] * 6)
        with named("positions_mm", TypeError):
            seed_curves(np.ones(6, dtype=complex))

    def test_fewer_than_five_positions_for_ends(self):
        with pytest.raises(ValueError, match="^positions_mm needs at least 5.*'ends'"):
            seed_curves(POSITIONS[:4])
        # Other normalisations need no ends.
        curve = seed_curves(POSITIONS[:2], model=plix.Model.seed(normalisation="linear"))
        assert curve.shape == (2, 2)
        with named("positions_mm"):
            seed_curves([], model=plix.Model.seed(normalisation="none"))

    @pytest.mark.parametrize("energies", [0.0, -1e-3, [1e-3, 0.0], [np.nan], np.inf, []])
    def test_energies_not_positive_finite(self, energies):
        with named("energies_J"):
            seed_curves(energies=energies)

    def test_energies_shape(self):
        with named("energies_J"):
            seed_curves(energies=np.full((2, 2), 1e-3))

    @pytest.mark.parametrize("index, value", [(0, -1e-21), (1, np.inf), (2, np.nan),
                                              (3, 0.0), (7, -1e-12), (5, np.nan)])
    def test_parameter_out_of_physical_range(self, index, value):
        values = list(VALUES)
        values[index] = value
        name = plix.Parameters.from_array(VALUES).names[index]
        with named(f"params.{name}"):
            plix.simulate(setup(), values, POSITIONS, ENERGIES, model=plix.Model.seed())

    def test_params_shape_and_kind(self):
        with named("params"):
            plix.simulate(setup(), VALUES[:7], POSITIONS, ENERGIES, model=plix.Model.seed())
        with named("setup", TypeError):
            plix.simulate(vars(setup()), params(), POSITIONS, ENERGIES)
        with named("model", TypeError):
            plix.simulate(setup(), params(), POSITIONS, ENERGIES, model="seed")

    def test_infinite_lifetime_is_a_channel_off(self):
        values = list(VALUES)
        values[4] = math.inf
        curve = plix.simulate(setup(), values, POSITIONS, ENERGIES, model=plix.Model.seed())
        assert np.all(np.isfinite(curve))
        assert not np.array_equal(curve, seed_curves())


class TestCoreRefusesInconsistentInput:
    """plix.simulate checks the user's input once; the compiled layer still refuses input
    whose sizes do not match, so that no call can make it read outside an array."""

    def core(self, populations=POPULATIONS, values=VALUES, threads=1):
        native_setup = setup(populations=populations).native()
        return _core.simulate(plix.Model.seed().native(), native_setup,
                              np.array(values, float), np.asarray(POSITIONS, float),
                              np.asarray(ENERGIES, float), 1.0, threads)

    def test_matches_simulate(self):
        assert np.array_equal(self.core()[0], seed_curves())

    def test_sizes_that_do_not_match_the_model(self):
        with pytest.raises(ValueError, match="populations"):
            self.core(populations=[1e24, 0.0])
        with pytest.raises(ValueError, match="params"):
            self.core(values=VALUES[:7])
        with pytest.raises(ValueError, match="threads"):
            self.core(threads=0)


# ---------------------------------------------------------------------------------------
# The physical model and the exact stepper: the Python side of their plumbing


class TestPhysicalPlumbing:
    def test_shape_and_info(self):
        model = plix.Model.physical(geometry="on_axis", accuracy=1e-3)
        curves, info = plix.simulate(setup(), params(), POSITIONS, ENERGIES, model=model,
                                     threads=1, return_info=True)
        assert curves.shape == (2, len(POSITIONS)) and curves.dtype == np.float64
        assert isinstance(info, plix.SimulationInfo)
        assert len(info.grid) == 2 and all(len(g) == 3 for g in info.grid)
        assert all(isinstance(n, int) for g in info.grid for n in g)
        assert info.error_estimate.shape == (2,)

    def test_default_model_is_physical(self):
        _, info = plix.simulate(setup(), params(), POSITIONS, 1e-3, threads=1,
                                return_info=True)
        assert info.grid is not None and len(info.grid) == 1

    def test_seed_info(self):
        curves, info = seed_curves(return_info=True)
        assert np.array_equal(curves, seed_curves())
        assert info.grid is None
        assert np.all(np.isnan(info.error_estimate)) and info.error_estimate.shape == (2,)
        assert info.integrations_ended_early == 0

    def test_exact_stepper_runs(self):
        curves = seed_curves(model=plix.Model.seed(integrator="exact"))
        assert curves.shape == (2, len(POSITIONS)) and np.all(np.isfinite(curves))


# ---------------------------------------------------------------------------------------
# Setup


class TestSetup:
    def test_fields_and_units(self):
        s = plix.Setup(532e-9, 30e-6, 5e-9, 1e-3, np.array([1e24, 0, 0, 0, 0], dtype=np.float32))
        assert s.populations == (float(np.float32(1e24)), 0.0, 0.0, 0.0, 0.0)
        assert all(type(n) is float for n in s.populations)
        assert s.M2 == 1.0
        assert s.rayleigh_range == pytest.approx(math.pi * 30e-6**2 / 532e-9, rel=1e-15)

    def test_frozen_and_equal(self):
        s = setup()
        with pytest.raises(AttributeError):
            s.w0 = 1.0
        assert s == setup() and hash(s) == hash(setup())
        assert s != setup(M2=1.0)

    def test_populations_are_copied(self):
        populations = np.array(POPULATIONS)
        s = setup(populations=populations)
        populations[0] = 0.0
        assert s.populations[0] == 1e24

    @pytest.mark.parametrize("field", ["wavelength", "w0", "tau", "sample_width", "M2"])
    @pytest.mark.parametrize("value", [0.0, -1.0, math.nan, math.inf])
    def test_lengths_positive_finite(self, field, value):
        with named(field):
            setup(**{field: value})

    @pytest.mark.parametrize("field", ["wavelength", "M2"])
    def test_lengths_are_numbers(self, field):
        with named(field, TypeError):
            setup(**{field: "532e-9"})
        with named(field, TypeError):
            setup(**{field: True})

    @pytest.mark.parametrize("populations, pattern", [
        ([], "populations must hold 1 to 8"),
        ([1e24] + [0] * 8, "populations must hold 1 to 8"),
        ([1e24, 0, -1.0, 0, 0], r"populations\[2\]"),
        ([1e24, 0, 0, math.nan, 0], r"populations\[3\]"),
        ([math.inf, 0, 0, 0, 0], r"populations\[0\]"),
    ])
    def test_populations_one_per_level_non_negative(self, populations, pattern):
        with pytest.raises(ValueError, match=f"^{pattern}"):
            setup(populations=populations)

    def test_populations_must_match_the_models_levels(self):
        with named("setup.populations"):
            seed_curves(setup_=setup(populations=[1e24, 0, 0, 0]))

    def test_populations_kind(self):
        with named("populations", TypeError):
            setup(populations=1e24)
        with named("populations", TypeError):
            setup(populations="12345")


# ---------------------------------------------------------------------------------------
# Model


class TestModel:
    def test_presets_and_defaults(self):
        seed = plix.Model.seed()
        assert seed.kind == "seed"
        five = plix.LevelScheme.five_level()
        assert seed.fields == dict(integrator="lsoda", t_slices=10, z_slices=8,
                                   normalisation="ends", scheme=five, max_cells=1e7)
        physical = plix.Model.physical()
        assert physical.kind == "physical"
        assert physical.fields == dict(geometry="beam", accuracy=1e-4, normalisation="linear",
                                       grid=None, scheme=five, saturation="homogeneous",
                                       max_cells=2e7)
        assert plix.Model.physical(grid=[4, 5, 6]).grid == (4, 5, 6)

    def test_replace_makes_a_new_model(self):
        seed = plix.Model.seed()
        exact = seed.replace(integrator="exact", t_slices=12)
        assert (exact.integrator, exact.t_slices, exact.z_slices) == ("exact", 12, 8)
        assert seed.integrator == "lsoda"  # unchanged
        assert exact == plix.Model.seed(integrator="exact", t_slices=12)
        with pytest.raises(TypeError, match="geometry"):
            seed.replace(geometry="beam")  # a physical field
        with named("t_slices"):
            seed.replace(t_slices=1)

    def test_equality_hash_repr(self):
        a = plix.Model.physical(accuracy=1e-3)
        b = plix.Model.physical().replace(accuracy=1e-3)
        assert a == b and hash(a) == hash(b) and len({a, b}) == 1
        assert a != plix.Model.physical()
        assert plix.Model.seed() != plix.Model.physical()
        names = {"Model": plix.Model, "LevelScheme": plix.LevelScheme}
        assert eval(repr(a), names) == a
        assert eval(repr(plix.Model.seed(z_slices=0)), names) == plix.Model.seed(z_slices=0)

    def test_immutable(self):
        seed = plix.Model.seed()
        with pytest.raises(AttributeError):
            seed.t_slices = 3
        with pytest.raises(AttributeError):
            plix.Model.physical().t_slices

    @pytest.mark.parametrize("make, name, error", [
        (lambda: plix.Model.seed(integrator="rk4"), "integrator", ValueError),
        (lambda: plix.Model.seed(t_slices=1), "t_slices", ValueError),
        (lambda: plix.Model.seed(z_slices=1), "z_slices", ValueError),
        (lambda: plix.Model.seed(z_slices=-2), "z_slices", ValueError),
        (lambda: plix.Model.seed(t_slices=10.0), "t_slices", TypeError),
        (lambda: plix.Model.seed(normalisation="peak"), "normalisation", ValueError),
        (lambda: plix.Model.physical(geometry="cone"), "geometry", ValueError),
        (lambda: plix.Model.physical(accuracy=0.0), "accuracy", ValueError),
        (lambda: plix.Model.physical(accuracy=0.11), "accuracy", ValueError),
        (lambda: plix.Model.physical(accuracy=math.nan), "accuracy", ValueError),
        (lambda: plix.Model.physical(accuracy="1e-4"), "accuracy", TypeError),
        (lambda: plix.Model.physical(grid=(4, 4)), "grid", ValueError),
        (lambda: plix.Model.physical(grid=(4, 0, 1)), r"grid\[1\]", ValueError),
        (lambda: plix.Model.physical(normalisation="ENDS"), "normalisation", ValueError),
    ])
    def test_bad_fields(self, make, name, error):
        with named(name, error):
            make()

    def test_accuracy_upper_end_is_allowed(self):
        assert plix.Model.physical(accuracy=0.1).accuracy == 0.1
