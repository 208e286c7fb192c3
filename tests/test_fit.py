"""The whole job of fit_zscan: checks, starting rows, centring, selection, the result and
its invariants, warnings, parameter recovery and concurrent calls."""

import gc
import re
import sys
import threading
import warnings

import numpy as np
import pytest

import plix_wrapper
import zscan_reference

TRUE_PARS = np.array([1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12])
LOW_FACTOR = 10.0 ** -0.52  # the only start's factor when n_starts = 1


def case(**overrides):
    """Keyword arguments of a small, fast reverse-saturable-absorber fit."""
    nx, nd = 9, 1
    x = np.linspace(-20.0, 20.0, nx)
    args = dict(
        x_data=np.tile(x, nd), y_data=np.ones(nx * nd), populations=np.array([1e24, 0, 0, 0, 0.0]),
        t_slices=3, z_slices=2, sample_width=1e-3, tau=5e-9, wavelength=532e-9, w0=30e-6,
        M2=1.0, pulse_energy=np.full(nd, 6e-3), spec_pars=TRUE_PARS.copy(),
        fit_indices=np.array([2], dtype=np.int32), num_x_pts=nx, num_datasets=nd,
        is_sa=False, n_starts=1)
    args.update(overrides)
    return args


def model_curve(**overrides):
    """The reference transmittance for the arguments of case(**overrides) at their spec_pars;
    x_data must already be centred on the dip."""
    a = case(**overrides)
    return zscan_reference.zscan_curves(
        a["x_data"], a["pulse_energy"], a["populations"], a["t_slices"], a["z_slices"],
        a["sample_width"], a["tau"], a["wavelength"], a["w0"], a["M2"], a["spec_pars"])


def own_model_curve(**overrides):
    """The transmittance that fit_zscan's own model gives for case(**overrides) at its
    spec_pars (x_data centred on the dip). No BLAS is involved, so the values do not depend
    on the linear-algebra kernels of the machine."""
    import _plix_testing

    a = case(**overrides)
    r = _plix_testing.fit_start(
        a["x_data"], np.zeros(a["num_x_pts"] * a["num_datasets"]), a["populations"],
        a["t_slices"], a["z_slices"], a["sample_width"], a["tau"], a["wavelength"], a["w0"],
        a["M2"], a["pulse_energy"], a["spec_pars"], [], a["num_x_pts"], a["num_datasets"])
    return -np.array(r["residuals"])  # residual = data - model, with data = 0


def run(**overrides):
    return plix_wrapper.fit_zscan(**case(**overrides))


def run_quiet(**overrides):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return run(**overrides)


def no_fit(**overrides):
    """A call with more fitted parameters than residuals: lmdif1 fits nothing, so the
    returned row is the starting row of the best start."""
    nx = overrides.get("num_x_pts", 5)
    x = overrides.pop("x", np.linspace(-20.0, 20.0, nx))
    overrides.setdefault("x_data", x)
    overrides.setdefault("y_data", np.ones(nx))
    overrides.setdefault("num_x_pts", nx)
    overrides.setdefault("fit_indices", np.full(nx + 1, 2, dtype=np.int32))
    with pytest.warns(RuntimeWarning, match="no fit was made"):
        return run(**overrides)


def weights(a):
    x = np.asarray(a["x_data"], dtype=float)
    y = np.asarray(a["y_data"])
    centre = x[np.argmax(y)] if a["is_sa"] else x[np.argmin(y)]
    z = (x - centre) * 0.001
    return 1.0 + 4.0 * np.exp(-4.0 * z**2)


# --- the checks of the body and their order -------------------------------------------

@pytest.mark.parametrize("indices, message", [
    ([0, 8], "fit_indices[1]=8 out of range [0,7]"),
    ([-1], "fit_indices[0]=-1 out of range [0,7]"),
    ([3, 9, -2], "fit_indices[1]=9 out of range [0,7]"),
])
def test_fit_index_out_of_range(indices, message):
    with pytest.raises(ValueError) as err:
        run(fit_indices=np.array(indices, dtype=np.int32))
    assert str(err.value) == message


@pytest.mark.parametrize("overrides, axis", [
    (dict(fit_indices=np.array([], dtype=np.int32)), 0),
    (dict(populations=np.array([])), 0),
    (dict(pulse_energy=np.array([])), 0),
    (dict(spec_pars=np.array([]), fit_indices=np.array([], dtype=np.int32)), 1),
    (dict(spec_pars=np.array([1e-21, 2e-21]), fit_indices=np.array([2], dtype=np.int32)), 0),
    (dict(n_starts=0), 0),
    (dict(x_data=np.array([])), 0),
])
def test_bounds_errors(overrides, axis):
    with pytest.raises(IndexError) as err:
        run(**overrides)
    assert str(err.value) == f"Out of bounds on buffer access (axis {axis})"


def test_numpy_errors_pass_through():
    with pytest.raises(ValueError, match="empty sequence|zero-size"):
        run(y_data=np.array([]))
    with pytest.raises(ValueError, match="negative dimensions"):
        run(n_starts=-1)


def test_bounds_errors_come_before_size_checks():
    # populations is too short for the model, but the empty-array error comes first.
    with pytest.raises(IndexError):
        run(populations=np.array([]), num_x_pts=3)
    with pytest.raises(ValueError, match="populations must hold at least 5 values, got 3"):
        run(populations=np.array([1e24, 0.0, 0.0]))


@pytest.mark.parametrize("overrides, message", [
    (dict(num_x_pts=4, x_data=np.zeros(4), y_data=np.ones(4)),
     "num_x_pts must be at least 5, got 4"),
    (dict(num_datasets=0), "num_datasets must be at least 1, got 0"),
    (dict(t_slices=1), "t_slices must be at least 2, got 1"),
    (dict(z_slices=1), "z_slices must be 0 or at least 2, got 1"),
    (dict(z_slices=-3), "z_slices must be 0 or at least 2, got -3"),
    (dict(x_data=np.zeros(8)), "x_data must hold num_x_pts * num_datasets = 9 values, got 8"),
    (dict(y_data=np.ones(18)), "y_data must hold num_x_pts * num_datasets = 9 values, got 18"),
    (dict(num_datasets=2, x_data=np.zeros(18), y_data=np.ones(18)),
     "pulse_energy must hold num_datasets = 2 values, got 1"),
    (dict(spec_pars=TRUE_PARS[:7].copy()),
     "spec_pars must hold 8 values, got 7"),
    (dict(spec_pars=np.append(TRUE_PARS, 1.0)), "spec_pars must hold 8 values, got 9"),
])
def test_size_checks(overrides, message):
    with pytest.raises(ValueError) as err:
        run(**overrides)
    assert str(err.value) == message


@pytest.mark.parametrize("name, index, value", [
    ("x_data", 3, np.nan), ("y_data", 0, np.inf), ("populations", 1, -np.inf),
    ("pulse_energy", 0, np.nan), ("spec_pars", 0, np.inf), ("spec_pars", 4, np.nan),
])
def test_non_finite_arrays_rejected(name, index, value):
    arr = case()[name].copy()
    arr[index] = value
    with pytest.raises(ValueError, match=rf"{name} must hold finite values, but {name}\[{index}\]"):
        run(**{name: arr})


def test_infinite_unfitted_lifetime_is_accepted():
    pars = TRUE_PARS.copy()
    pars[6] = np.inf  # the 4->1 decay switched off
    res, err, out = run_quiet(spec_pars=pars)
    assert np.isfinite(err) and np.isinf(out[6])
    pars_fitted = pars.copy()
    with pytest.raises(ValueError, match=r"spec_pars\[6\] is inf"):
        run(spec_pars=pars_fitted, fit_indices=np.array([6], dtype=np.int32))


@pytest.mark.parametrize("name", ["sample_width", "tau", "wavelength", "w0", "M2"])
@pytest.mark.parametrize("value", [0.0, -1.0, np.nan, np.inf])
def test_non_positive_scalars_rejected(name, value):
    with pytest.raises(ValueError, match=f"{name} must be positive and finite, got"):
        run(**{name: value})


def test_non_positive_pulse_energy_rejected():
    with pytest.raises(ValueError, match=r"pulse_energy\[1\] is 0.0"):
        run(num_datasets=2, x_data=np.zeros(18), y_data=np.ones(18),
            pulse_energy=np.array([1e-3, 0.0]))


def test_working_storage_that_cannot_be_had_is_a_memory_error():
    # A time grid of 2**31 - 1 points needs a 150 GB intensity table.
    with pytest.raises(MemoryError):
        run(t_slices=2**31 - 1)


# --- starting rows, centring, selection ------------------------------------------------

@pytest.mark.parametrize("n_starts", [1, 2, 3, 5])
def test_starting_rows_are_log_spaced(n_starts):
    d = max(n_starts - 1, 1)
    factors = [10.0 ** (j * 1.04 / d - 0.52) for j in range(n_starts)]
    if n_starts == 3:
        np.testing.assert_allclose(np.multiply(factors, 5.0), [1.50997586, 5.0, 16.5565561],
                                   rtol=1e-8)
    given = TRUE_PARS.copy()
    given[2] = 5e-21
    x = np.linspace(-20.0, 20.0, 5)
    for k, factor in enumerate(factors):
        # Data made at start k's parameters make start k the best.
        pars = given.copy()
        pars[2] = 5e-21 * factor
        y = model_curve(x_data=x, num_x_pts=5, spec_pars=pars)
        _, _, row = no_fit(spec_pars=given, y_data=y, n_starts=n_starts)
        assert row[2] == 5e-21 * factor
        np.testing.assert_array_equal(np.delete(row, 2), np.delete(given, 2))


def test_tie_keeps_the_first_start():
    # With no depth slices the model is 1 everywhere: every start has the same error.
    res, err, row = run(z_slices=0, n_starts=3)
    assert row[2] == pytest.approx(TRUE_PARS[2] * LOW_FACTOR, rel=1e-15)
    np.testing.assert_array_equal(res, 0.0)
    assert err == 0.0


@pytest.mark.parametrize("is_sa", [False, True])
def test_positions_are_centred_on_first_extremum(is_sa):
    x = np.arange(-4.0, 5.0) * 2.5  # exact binary values
    y = np.array([1.0, 1.0, 0.95, 0.8, 1.2, 0.8, 1.2, 1.0, 1.0])
    pick = (np.argmax if is_sa else np.argmin)(y)
    shifted = x + 7.0
    one = run_quiet(x_data=shifted, y_data=y, is_sa=is_sa)
    centred = run_quiet(x_data=x - x[pick], y_data=y, is_sa=is_sa)
    np.testing.assert_array_equal(one[0], centred[0])
    assert one[1] == centred[1]
    np.testing.assert_array_equal(one[2], centred[2])
    other = run_quiet(x_data=shifted, y_data=y, is_sa=not is_sa)
    assert other[1] != one[1]


# --- the result and the invariants of a finished fit ----------------------------------

def test_returned_arrays_share_memory_with_their_rows_and_outlive_the_call():
    res, err, row = run_quiet(n_starts=3)
    assert isinstance(res, np.ndarray) and isinstance(row, np.ndarray)
    assert isinstance(err, float)
    assert res.dtype == np.float64 and row.dtype == np.float64
    assert res.shape == (9,) and row.shape == (8,)
    assert res.base is not None and res.base.shape == (3, 9)
    assert row.base is not None and row.base.shape == (3, 8)
    assert np.shares_memory(res, res.base) and np.shares_memory(row, row.base)
    expected = res.copy(), row.copy()
    base_ref = res.base
    del base_ref
    gc.collect()
    np.testing.assert_array_equal(res, expected[0])
    np.testing.assert_array_equal(row, expected[1])
    assert res.flags.writeable and res.flags.c_contiguous


def test_callers_arrays_are_never_written():
    a = case(n_starts=2)
    a["y_data"] = model_curve() + 0.01
    arrays = {k: v for k, v in a.items() if isinstance(v, np.ndarray)}
    before = {k: (v.copy(), sys.getrefcount(v)) for k, v in arrays.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        plix_wrapper.fit_zscan(**a)
    for k, v in arrays.items():
        np.testing.assert_array_equal(v, before[k][0], err_msg=k)
        assert sys.getrefcount(v) == before[k][1], k


def test_invariants_of_a_finished_fit():
    a = case(n_starts=3, fit_indices=np.array([1, 2], dtype=np.int32))
    rng = np.random.default_rng(3)
    a["y_data"] = model_curve() + rng.normal(0, 0.003, 9)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        res, err, row = plix_wrapper.fit_zscan(**a)
    # Unfitted parameters come back exactly.
    np.testing.assert_array_equal(np.delete(row, [1, 2]), np.delete(TRUE_PARS, [1, 2]))
    # Residuals are measured - model at the returned parameters (unweighted) ...
    model = zscan_reference.zscan_curves(
        a["x_data"] - a["x_data"][np.argmin(a["y_data"])], a["pulse_energy"],
        a["populations"], 3, 2, 1e-3, 5e-9, 532e-9, 30e-6, 1.0, row)
    np.testing.assert_allclose(res, a["y_data"] - model, atol=2e-6)
    # ... and the error is the weighted norm of them.
    assert err == pytest.approx(np.sqrt(np.sum(weights(a) * res**2)), rel=1e-12)


def test_later_duplicate_index_wins():
    a = case(fit_indices=np.array([2, 2], dtype=np.int32), n_starts=1)
    a["y_data"] = model_curve() - 0.02 * np.exp(-np.linspace(-2, 2, 9) ** 2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        res, err, row = plix_wrapper.fit_zscan(**a)
    # The error of the search belongs to the written-back (later) entry.
    assert err == pytest.approx(np.sqrt(np.sum(weights(a) * res**2)), rel=1e-12)
    assert row[2] != TRUE_PARS[2] * LOW_FACTOR


def recovery(index, t_slices):
    """Fits parameter `index`, started 15 % high, to the model's own curve at the truth.
    Returns the final relative deviation, the error and the error at the start."""
    nx = 15
    x = np.linspace(-30.0, 30.0, nx)
    common = dict(x_data=x, num_x_pts=nx, t_slices=t_slices, z_slices=3,
                  fit_indices=np.array([index], dtype=np.int32))
    truth = own_model_curve(**common)
    start = TRUE_PARS.copy()
    start[index] = TRUE_PARS[index] * 1.15 / LOW_FACTOR  # the only start is 15 % high
    _, start_error, _ = no_fit(y_data=truth, spec_pars=start,
                               **dict(common, fit_indices=np.full(nx + 1, index, dtype=np.int32)))
    res, err, row = run_quiet(y_data=truth, spec_pars=start, **common)
    return abs(row[index] / TRUE_PARS[index] - 1.0), err, start_error


# Where a search ends moves with the last bits of its data (an ulp in one point changes some
# step decisions of the integrator and so the difference quotients). The bounds below hold
# for every one of 300 copies of the data perturbed by an ulp or 1e-15 relative.


@pytest.mark.parametrize("index", [1, 2])
def test_fit_moves_a_parameter_towards_reference_data(index):
    # With five time slices the forward-difference Jacobian at RTOL = ATOL = 1e-6 is
    # dominated by integration noise and the search stops early (between 0.2 % and 12 %
    # from the truth over the perturbed copies, at most 78 % of the start's error); it must
    # still end clearly nearer than it began.
    deviation, err, start_error = recovery(index, t_slices=5)
    assert deviation < 0.9 * 0.15
    assert err < 0.9 * start_error


def test_recovers_a_parameter_started_close():
    # Nine time slices: the search converges (at most 0.04 % off over the perturbed copies).
    deviation, err, start_error = recovery(1, t_slices=9)
    assert deviation < 0.01
    assert err < 0.03 * start_error


# --- warnings --------------------------------------------------------------------------

def test_no_fit_warning_returns_the_starting_values():
    res, err, row = no_fit(n_starts=1)
    assert row[2] == TRUE_PARS[2] * LOW_FACTOR
    a = case(num_x_pts=5, x_data=np.linspace(-20.0, 20.0, 5), y_data=np.ones(5))
    assert err == pytest.approx(np.sqrt(np.sum(weights(a) * res**2)), rel=1e-12)
    assert err > 0


def test_integrations_ending_early_and_evaluation_limit_are_reported():
    # A pulse energy so large that the intensity overflows makes every integration fail;
    # the NaN residuals then keep the search going until the evaluation limit.
    with pytest.warns(RuntimeWarning) as record:
        _, err, _ = run(pulse_energy=np.array([1e300]))
    messages = [str(w.message) for w in record]
    assert len(messages) == 3
    assert "not finite" in messages[2]
    assert "integrations ended early" in messages[0] and "non-finite" in messages[0]
    ended, total = map(int, re.match(r"fit_zscan: (\d+) of (\d+) integrations", messages[0]).groups())
    per_evaluation = 2 * 9 * 3 * 2
    assert ended == total and total % per_evaluation == 0 and total // per_evaluation > 400
    assert "evaluation limit (maxfev = 400)" in messages[1]
    assert np.isnan(err)


def test_clean_fit_gives_no_warning():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run(y_data=model_curve())


def test_warning_as_error_fails_the_call():
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="no fit was made"):
            run(num_x_pts=5, x_data=np.linspace(-1, 1, 5), y_data=np.ones(5),
                fit_indices=np.full(6, 2, dtype=np.int32))


# --- concurrency -------------------------------------------------------------------------

def test_concurrent_calls_match_calls_made_alone():
    rng = np.random.default_rng(7)
    jobs = []
    for k in range(4):
        y = model_curve() + rng.normal(0, 0.004, 9)
        jobs.append(case(y_data=y, n_starts=2, pulse_energy=np.array([(4 + k) * 1e-3]),
                         fit_indices=np.array([1 + k % 2], dtype=np.int32)))
    alone = [run_quiet(**j) for j in jobs]
    results = [None] * len(jobs)

    def work(k):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            results[k] = plix_wrapper.fit_zscan(**jobs[k])

    for _ in range(2):
        threads = [threading.Thread(target=work, args=(k,)) for k in range(len(jobs))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for got, want in zip(results, alone):
            np.testing.assert_array_equal(got[0], want[0])
            assert got[1] == want[1]
            np.testing.assert_array_equal(got[2], want[2])


# --- the engine's own entry ------------------------------------------------------------

@pytest.mark.parametrize("errors, best", [
    ([2.0, 1.0, 1.0], 1), ([float("nan"), 1.0], 0), ([1.0, float("nan"), 0.5], 2),
    ([3.0], 0), ([1.0, 1.0], 0),
])
def test_selection_strictly_smaller_wins_and_nan_never_does(errors, best):
    import _plix_testing
    assert _plix_testing.select_best_start(errors) == best


def test_engine_without_fitted_parameters_evaluates_the_start():
    import _plix_testing
    a = case()
    x = a["x_data"]
    y = model_curve() + 0.01 * np.cos(x)
    args = (x, y, a["populations"], 3, 2, 1e-3, 5e-9, 532e-9, 30e-6, 1.0, a["pulse_energy"],
            TRUE_PARS)
    r = _plix_testing.fit_start(*args, [], 9, 1)
    assert r["lm_info"] == 0 and r["evaluations"] == 1
    np.testing.assert_array_equal(r["spec_pars"], TRUE_PARS)
    res = np.array(r["residuals"])
    np.testing.assert_allclose(res, y - model_curve(), atol=2e-6)
    w = 1.0 + 4.0 * np.exp(-4.0 * (x * 0.001) ** 2)  # positions are taken as centred
    assert r["error"] == pytest.approx(np.sqrt(np.sum(w * res**2)), rel=1e-12)
    # The context is cleared after each start: a second start on this thread is identical.
    assert _plix_testing.fit_start(*args, [], 9, 1) == r
