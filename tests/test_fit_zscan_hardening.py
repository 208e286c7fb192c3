"""fit_zscan against hostile input: both calling conventions, indices changed behind its
back, NumPy tables it did not expect, unaligned buffers, sizes and values that break the
model, and allocations that must not happen."""

import ctypes
import os
import subprocess
import sys
import textwrap
import threading
import tracemalloc
import warnings

import numpy as np
import pytest

import plix_wrapper
from plix_wrapper import fit_zscan

from test_fit import case

SANITIZED = os.environ.get("PLIX_SANITIZE") == "1"
NO_FAILING_NEW = pytest.mark.skipif(
    SANITIZED, reason="under AddressSanitizer an operator new that cannot be satisfied aborts "
                      "the process instead of throwing std::bad_alloc")

NAMES = ["x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width", "tau",
         "wavelength", "w0", "M2", "pulse_energy", "spec_pars", "fit_indices", "num_x_pts",
         "num_datasets", "is_sa", "n_starts"]
ARRAYS = ["x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices"]


def dip_case(**overrides):
    x = np.linspace(-20.0, 20.0, 9)
    base = dict(y_data=1.0 - 0.2 * np.exp(-x**2 / 20.0), n_starts=2,
                fit_indices=np.array([2, 0], dtype=np.int32))
    base.update(overrides)
    return case(**base)


def fit(**kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return fit_zscan(**kwargs)


def same_bits(a, b):
    """The two results agree bit for bit."""
    assert a[0].tobytes() == b[0].tobytes()
    assert np.float64(a[1]).tobytes() == np.float64(b[1]).tobytes()
    assert a[2].tobytes() == b[2].tobytes()


def message_of(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


# --- both calling conventions --------------------------------------------------------------

def classic_call(func, args, kwargs):
    """Calls func's classic-convention slot with the very dict given: PyObject_Call on the
    slot wrapper, which has no fast path and hands the dict on unchanged."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(func.__call__, tuple(args), kwargs)


class TestClassicConvention:
    @pytest.mark.parametrize("npos, keywords, expected", [
        (15, {1: 2}, "fit_zscan() keywords must be strings"),
        (3, {"t_slices": 3, 7: 1}, "fit_zscan() keywords must be strings"),
        (14, {}, "fit_zscan() takes at least 15 positional arguments (14 given)"),
        (13, {"num_datasets": 1}, "fit_zscan() takes at least 15 positional arguments (13 given)"),
        (15, {"x_data": 1}, "fit_zscan() got multiple values for keyword argument 'x_data'"),
        (15, {"nstarts": 1}, "fit_zscan() got an unexpected keyword argument 'nstarts'"),
        (17, {"spare": 1}, "fit_zscan() got an unexpected keyword argument 'spare'"),
        (18, {}, "fit_zscan() takes at most 17 positional arguments (18 given)"),
    ])
    def test_binding_errors_are_the_functions_own(self, npos, keywords, expected):
        full = case()
        values = [full[name] for name in NAMES] + [None]
        args = values[:npos]
        assert message_of(lambda: fit_zscan.__call__(*args, **keywords)) == (TypeError, expected)
        assert message_of(lambda: classic_call(fit_zscan, args, keywords)) == (TypeError, expected)
        if all(isinstance(k, str) for k in keywords):  # the interpreter's own check otherwise
            assert message_of(lambda: fit_zscan(*args, **keywords)) == (TypeError, expected)

    def test_keywords_bind_like_the_fast_path(self):
        full = dip_case()
        values = [full[name] for name in NAMES]
        fast = fit(**full)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            by_slot = fit_zscan.__call__(*values[:4], **{n: full[n] for n in NAMES[4:]})
            by_dict = classic_call(fit_zscan, values[:16], {"n_starts": 2})
        same_bits(fast, by_slot)
        same_bits(fast, by_dict)

    def test_conversion_that_empties_the_callers_dict(self):
        # The flag's truth test and n_starts' conversion run after t_slices has cleared the
        # dict: the bound values must still be alive.
        full = case()
        seen = []

        class ClearsDict:
            def __int__(self):
                keywords.clear()
                return 3

        class Flag:
            def __bool__(self):
                seen.append("flag")
                return False

        class Starts:
            def __int__(self):
                seen.append("starts")
                return 1

        keywords = {"t_slices": ClearsDict(), "is_sa": Flag(), "n_starts": Starts()}
        args = [full[name] for name in NAMES[:3]]
        keywords.update({name: full[name] for name in NAMES[4:15]})
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            result = classic_call(fit_zscan, args, keywords)
        assert seen == ["flag", "starts"] and keywords == {}
        same_bits(result, fit(**case()))


# --- fit_indices changed during the call -----------------------------------------------------

class Meddling(np.ndarray):
    """y_data whose NumPy functions write into another array first."""
    target = None
    value = 0

    def __array_function__(self, func, types, args, kwargs):
        Meddling.target[0] = Meddling.value
        return super().__array_function__(func, types, args, kwargs)


class TestIndicesReadOnce:
    @pytest.mark.parametrize("value", [-1, -10**8, 8, 7, 2**31 - 1])
    def test_indices_changed_by_numpy_dispatch(self, value):
        reference = fit(**dip_case())
        args = dip_case()
        Meddling.target, Meddling.value = args["fit_indices"], value
        args["y_data"] = args["y_data"].view(Meddling)
        result = fit(**args)
        assert args["fit_indices"][0] == value  # the meddling happened
        same_bits(result, reference)

    def test_indices_flipped_by_another_thread(self):
        # Whatever the flipper left at entry is the index the whole call uses.
        references = {v: fit(**dip_case(n_starts=1, fit_indices=np.array([v, 0], np.int32)))
                      for v in (2, 7)}
        args = dip_case(n_starts=1)
        indices = args["fit_indices"]
        stop = threading.Event()

        def flip():
            while not stop.is_set():
                indices[0] = -10**8
                indices[0] = 7
                indices[0] = 2

        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        worker = threading.Thread(target=flip)
        worker.start()
        outcomes = []
        try:
            for _ in range(12):
                try:
                    outcomes.append(fit(**args))
                except ValueError as err:
                    assert str(err) == "fit_indices[0]=-100000000 out of range [0,7]"
                    outcomes.append(None)
        finally:
            stop.set()
            worker.join()
            sys.setswitchinterval(interval)
        for result in outcomes:
            if result is None:
                continue
            matches = [v for v, ref in references.items()
                       if result[2].tobytes() == ref[2].tobytes()
                       and result[0].tobytes() == ref[0].tobytes()]
            assert len(matches) == 1


# --- tables from the module global np -------------------------------------------------------

class NumpyStandIn:
    """numpy, with some functions replaced."""

    def __init__(self, **replaced):
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(np, name)


def unaligned(values):
    """A writable copy of values that starts one byte past an aligned address."""
    values = np.asarray(values)
    raw = bytearray(values.nbytes + 1)
    out = np.frombuffer(raw, dtype=values.dtype, offset=1, count=values.size)
    out = out.reshape(values.shape)
    out[...] = values
    assert not out.flags.aligned
    return out


def shorter_rows(shape, dtype):
    if isinstance(shape, tuple):
        shape = (shape[0], shape[1] - 1)
    return np.zeros(shape, dtype=dtype)


def fewer_rows(a, reps):
    return np.tile(a, (reps[0] - 1, 1))


def short_x(a):
    out = np.asarray(a)
    return out[:-1] if out.shape == (9,) else out


class TestNumpyTablesChecked:
    def test_stand_in_that_changes_nothing(self, monkeypatch):
        reference = fit(**dip_case())
        monkeypatch.setattr(plix_wrapper, "np", NumpyStandIn())
        same_bits(fit(**dip_case()), reference)

    @pytest.mark.parametrize("replaced, kind, made_by", [
        (dict(zeros=shorter_rows), ValueError, "np.zeros"),
        (dict(zeros=lambda shape, dtype: np.zeros(shape, np.float32)), TypeError, "np.zeros"),
        (dict(zeros=lambda shape, dtype: np.zeros(shape, np.int64)), TypeError, "np.zeros"),
        (dict(zeros=lambda shape, dtype: unaligned(np.zeros(shape))), ValueError, "np.zeros"),
        (dict(zeros=lambda shape, dtype: [0.0] * 9), TypeError, "np.zeros"),
        (dict(zeros=lambda shape, dtype: np.zeros(shape)[..., None]), TypeError, "np.zeros"),
        (dict(tile=fewer_rows), ValueError, "np.tile"),
        (dict(tile=lambda a, reps: np.tile(a, reps)[:, :4]), TypeError, "np.tile"),
        (dict(tile=lambda a, reps: np.tile(a, reps)[:, ::2]), TypeError, "np.tile"),
        (dict(array=lambda values, dtype: np.array(values[:-1], dtype)), ValueError, "np.array"),
        (dict(asarray=short_x), ValueError, "np.asarray"),
    ])
    def test_wrong_tables_are_refused(self, monkeypatch, replaced, kind, made_by):
        monkeypatch.setattr(plix_wrapper, "np", NumpyStandIn(**replaced))
        with pytest.raises(kind, match=f"fit_zscan: {made_by} returned"):
            fit(**dip_case())

    def test_centre_index_from_numpy_is_bounds_checked(self, monkeypatch):
        monkeypatch.setattr(plix_wrapper, "np", NumpyStandIn(argmin=lambda y: 10**6))
        with pytest.raises(IndexError, match=r"axis 0"):
            fit(**dip_case())


# --- buffers at odd addresses ------------------------------------------------------------

class TestUnalignedBuffers:
    @pytest.mark.parametrize("names", [[n] for n in ARRAYS] + [ARRAYS])
    def test_same_result_as_aligned(self, names):
        reference = fit(**dip_case())
        args = dip_case()
        for name in names:
            args[name] = unaligned(args[name])
            assert memoryview(args[name]).format in ("=d", "=i")
        before = {name: args[name].copy() for name in names}
        same_bits(fit(**args), reference)
        for name in names:
            assert args[name].tobytes() == before[name].tobytes()

    def test_unaligned_input_errors_are_unchanged(self):
        bad = dip_case()["y_data"].copy()
        bad[4] = np.nan
        with pytest.raises(ValueError, match=r"y_data\[4\] is nan"):
            fit(**dip_case(y_data=unaligned(bad)))
        with pytest.raises(ValueError, match=r"fit_indices\[1\]=9 out of range"):
            fit(**dip_case(fit_indices=unaligned(np.array([2, 9], dtype=np.int32))))


# --- sizes and values the model cannot take ---------------------------------------------------

class TestRejectedAtEntry:
    def test_more_residuals_than_an_int_counts(self):
        with pytest.raises(ValueError, match=r"num_x_pts \* num_datasets = 2147549184 exceeds"):
            fit(**case(num_x_pts=2**16, num_datasets=2**15 + 1))

    def test_pulse_energy_too_small_for_any_intensity(self):
        with pytest.raises(ValueError, match=r"incident intensity is zero at a position: with "
                                             r"pulse_energy\[0\] = 1e-320 at x_data\[0\]"):
            fit(**dip_case(pulse_energy=np.array([1e-320])))

    def test_position_too_far_for_any_intensity(self):
        x = np.linspace(-20.0, 20.0, 9)
        x[7] = 1e300
        with pytest.raises(ValueError, match=r"zero at a position: with pulse_energy\[0\] = "
                                             r"0.006 at x_data\[7\] = 1e\+300"):
            fit(**dip_case(x_data=x))

    def test_dark_position_in_a_later_dataset(self):
        x = np.tile(np.linspace(-20.0, 20.0, 9), 2)
        y = np.tile(dip_case()["y_data"], 2)
        args = dip_case(x_data=x, y_data=y, num_datasets=2, pulse_energy=np.array([6e-3, 1e-321]))
        with pytest.raises(ValueError, match=r"pulse_energy\[1\] = 1e-321 at x_data\[9\]"):
            fit(**args)

    def test_smallest_energy_that_still_lights_every_position_is_accepted(self):
        # Far below any physical energy, but the intensity stays above zero: no error.
        res, err, _ = fit(**dip_case(pulse_energy=np.array([1e-290])))
        assert res.shape == (9,)


def no_search(**overrides):
    """More fitted parameters than residuals: the error is taken at the starting values."""
    return dip_case(fit_indices=np.full(10, 2, dtype=np.int32), n_starts=1, **overrides)


class TestNonFiniteResultsWarn:
    def test_huge_measurements_overflow_the_weighted_residuals(self):
        y = dip_case()["y_data"]
        y[0] = 1e308  # sqrt(5) (y - model) overflows at the first position only
        with pytest.warns(RuntimeWarning) as record:
            res, err, _ = fit_zscan(**no_search(y_data=y))
        assert np.isinf(err) and np.all(np.isfinite(res))
        text = [str(w.message) for w in record]
        assert len(text) == 2 and "no fit was made" in text[0]
        assert text[1].startswith("fit_zscan: the returned error is inf; likely cause: y_data "
                                  "holds values near the top of the double range (largest "
                                  "magnitude 1e+308)")

    def test_model_overflow_is_named(self):
        with pytest.warns(RuntimeWarning) as record:
            res, err, _ = fit_zscan(**case(pulse_energy=np.array([1e300])))
        assert np.isnan(err)
        text = [str(w.message) for w in record if "residuals are not finite" in str(w.message)]
        assert len(text) == 1 and "error is nan and 9 of 9 residuals" in text[0]
        assert "the model gave non-finite transmittance" in text[0]

    def test_finite_fit_of_large_but_safe_values_does_not_warn(self):
        y = dip_case()["y_data"] * 1e290
        with warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always")
            res, err, _ = fit_zscan(**no_search(y_data=y))
        assert np.isfinite(err)
        assert [str(w.message) for w in record if "finite" in str(w.message)] == []

    def test_warning_as_error_fails_the_call(self):
        with warnings.catch_warnings():
            warnings.filterwarnings("error", message=".*error is inf", category=RuntimeWarning)
            warnings.filterwarnings("ignore", message=".*no fit was made")
            with pytest.raises(RuntimeWarning, match="error is inf"):
                fit_zscan(**no_search(y_data=np.append(1e308, np.ones(8))))


# --- no allocation by n_starts or fit_indices before the checks ----------------------------------

def peak_traced(call):
    tracemalloc.start()
    try:
        call()
    finally:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    return peak


class TestAllocation:
    @pytest.mark.parametrize("overrides, error", [
        (dict(y_data=np.append(np.ones(8), np.nan)), ValueError),
        (dict(t_slices=1), ValueError),
        (dict(populations=np.array([])), IndexError),
        (dict(pulse_energy=np.array([1e-320])), ValueError),
    ])
    def test_failing_checks_come_before_the_tables(self, overrides, error):
        # 10**7 starts would need 1.5 GB of tables.
        def call():
            with pytest.raises(error):
                fit_zscan(**case(n_starts=10**7, **overrides))
        assert peak_traced(call) < 20e6

    def test_no_workspace_for_a_search_that_cannot_run(self):
        # A million fitted parameters and nine residuals: lmdif1 would not run, and a
        # workspace for it would take 184 MB.
        script = textwrap.dedent("""
            import re, warnings
            import numpy as np
            from test_fit import case
            import plix_wrapper

            def peak_rss():
                status = open("/proc/self/status").read()
                return int(re.search(r"VmHWM:\\s+(\\d+) kB", status).group(1)) * 1024

            args = case(fit_indices=np.full(10**6, 2, dtype=np.int32))
            before = peak_rss()
            with warnings.catch_warnings(record=True) as record:
                warnings.simplefilter("always")
                plix_wrapper.fit_zscan(**args)
            assert any("no fit was made" in str(w.message) for w in record)
            print(peak_rss() - before)
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             cwd=os.path.dirname(__file__), timeout=120)
        assert out.returncode == 0, out.stderr
        assert int(out.stdout) < 100e6

    @pytest.mark.parametrize("overrides, names", [
        pytest.param(dict(t_slices=2**31 - 1),
                     r"GB for the incident intensity table for t_slices = 2147483647",
                     marks=NO_FAILING_NEW),
        # NumPy's tables come from malloc, which fails normally under the sanitizer too.
        (dict(n_starts=2**31 - 1), r"GB for the working tables of n_starts = 2147483647"),
    ])
    def test_memory_error_names_the_argument_and_size(self, overrides, names):
        with pytest.raises(MemoryError, match=r"fit_zscan: cannot allocate \d+\.\d " + names):
            fit_zscan(**case(**overrides))
