"""fit_zscan as a Python function: attributes, signature, binding, conversion, buffers."""

import array
import copy
import ctypes
import functools
import inspect
import pickle
import sys
import traceback
import warnings

import numpy as np
import pytest

import plix_wrapper
from plix_wrapper import fit_zscan

NAMES = ["x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width", "tau",
         "wavelength", "w0", "M2", "pulse_energy", "spec_pars", "fit_indices", "num_x_pts",
         "num_datasets", "is_sa", "n_starts"]
ARRAY_NAMES = ["x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices"]

DOC_LINES = [
    (0, ""),
    (4, "Fit z-scan data with multi-start parallel optimization."),
    (4, ""),
    (4, "Parameters:"),
    (8, "fit_indices: 0-indexed array of spec_pars indices to fit (e.g., [0, 2, 5] for pars 0, 2, 5)."),
    (21, "Valid range: 0-7 (will be converted to 1-indexed Fortran indices)."),
    (8, "is_sa: Whether sample is saturable absorber (SA) vs reverse saturable absorber (RSA)."),
    (15, "SA centers around max of y_data, RSA centers around min of y_data."),
    (15, "Default False (RSA)."),
    (8, "n_starts: Number of starting points (default=3)"),
    (18, "Starting values: spec_pars[fit_indices] * [0.7, 1.0, 1.3, ...]"),
    (4, ""),
    (4, "Returns:"),
    (8, "residuals, error, spec_pars (best result)"),
    (4, ""),
]


def valid_kwargs(**changes):
    """Small valid inputs (one dataset, no depth slices) that the fit handles quickly."""
    args = dict(
        x_data=np.linspace(-5.0, 5.0, 5), y_data=np.ones(5),
        populations=np.array([1e24, 0.0, 0.0, 0.0, 0.0]), t_slices=2, z_slices=0,
        sample_width=1e-3, tau=1e-13, wavelength=5e-7, w0=1e-5, M2=1.0,
        pulse_energy=np.array([1e-6]),
        spec_pars=np.array([1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12]),
        fit_indices=np.array([0], dtype=np.int32), num_x_pts=5, num_datasets=1, n_starts=1)
    args.update(changes)
    return args


def valid_positional(**changes):
    kwargs = valid_kwargs(**changes)
    return [kwargs[name] for name in NAMES[:15]]


def bound_ok(*args, **kwargs):
    """Calls fit_zscan and asserts that binding and conversion succeeded: either the body
    ran and returned its 3-tuple, or the body is not there yet."""
    try:
        result = fit_zscan(*args, **kwargs)
    except NotImplementedError:
        return None
    assert isinstance(result, tuple) and len(result) == 3
    return result


def assert_converts(**changes):
    """Asserts that all seventeen conversions succeed, by leaving one array None: the call
    then fails with the None error, which comes only after every conversion."""
    unset = "y_data" if "x_data" in changes else "x_data"
    raises(TypeError, f"Argument '{unset}' must not be None",
           **valid_kwargs(**changes, **{unset: None}))


def raises(exc_type, message, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fit_zscan(*args, **kwargs)
    assert str(info.value) == message
    return info.value


# --- the function object ---------------------------------------------------------------

class TestFunctionObject:
    def test_names(self):
        assert fit_zscan.__name__ == "fit_zscan"
        assert fit_zscan.__qualname__ == "fit_zscan"
        assert fit_zscan.__module__ == "plix_wrapper"
        assert plix_wrapper.fit_zscan is fit_zscan
        assert type(fit_zscan).__module__ == "plix_wrapper"
        assert repr(fit_zscan).startswith("<function fit_zscan at 0x")

    def test_docstring_exact(self):
        expected = "\n".join(" " * indent + text for indent, text in DOC_LINES)
        assert fit_zscan.__doc__ == expected
        assert fit_zscan.__doc__.startswith("\n") and fit_zscan.__doc__.endswith("\n    ")

    def test_defaults_and_globals(self):
        assert fit_zscan.__defaults__ == (False, 3)
        assert fit_zscan.__defaults__[0] is False
        assert fit_zscan.__kwdefaults__ is None
        assert fit_zscan.__globals__ is vars(plix_wrapper)

    def test_signature(self):
        params = list(inspect.signature(fit_zscan).parameters.values())
        assert [p.name for p in params] == NAMES
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
        assert all(p.default is inspect.Parameter.empty for p in params[:15])
        assert params[15].default is False and params[16].default == 3
        assert str(inspect.signature(fit_zscan)).endswith("num_datasets, is_sa=False, n_starts=3)")

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickled_by_reference(self, protocol):
        data = pickle.dumps(fit_zscan, protocol)
        assert b"plix_wrapper" in data and b"fit_zscan" in data
        assert len(data) < 100
        assert pickle.loads(data) is fit_zscan

    def test_copies_are_the_function_itself(self):
        assert copy.copy(fit_zscan) is fit_zscan
        assert copy.deepcopy(fit_zscan) is fit_zscan

    def test_failing_call_adds_traceback_entry(self):
        with pytest.raises(TypeError) as info:
            fit_zscan()
        frames = traceback.extract_tb(info.value.__traceback__)
        assert frames[-1].name == "plix_wrapper.fit_zscan"
        last = info.value.__traceback__
        while last.tb_next is not None:
            last = last.tb_next
        assert last.tb_frame.f_globals is vars(plix_wrapper)

    def test_both_calling_conventions_bind_alike(self):
        args = valid_positional()
        bound_ok(*args)                                        # vector, no keywords
        kwargs = valid_kwargs()
        bound_ok(**kwargs)                                     # vector with keyword names
        bound_ok(*args[:3], **{k: kwargs[k] for k in NAMES[3:] if k in kwargs})
        type(fit_zscan).__call__(fit_zscan, *args)             # classic tuple + dict
        functools.partial(fit_zscan, *args[:5])(*args[5:], is_sa=True)
        with pytest.raises(TypeError, match=r"fit_zscan\(\) got an unexpected keyword argument 'x'"):
            type(fit_zscan).__call__(fit_zscan, *args, x=1)


# --- binding -----------------------------------------------------------------------------

def vectorcall(func, args, kwnames):
    """Calls through the fast convention directly, with any kwnames tuple."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    vector = (ctypes.py_object * len(args))(*args)
    return call(func, ctypes.cast(vector, ctypes.c_void_p),
                len(args) - len(kwnames), kwnames)


class TestBinding:
    def test_fifteen_required_arguments_suffice(self):
        bound_ok(*valid_positional())

    def test_sixteen_and_seventeen_positional(self):
        bound_ok(*valid_positional(), True)
        bound_ok(*valid_positional(), False, 1)

    @pytest.mark.parametrize("count", [0, 1, 14])
    def test_too_few_positional(self, count):
        raises(TypeError, f"fit_zscan() takes at least 15 positional arguments ({count} given)",
               *valid_positional()[:count])

    def test_too_many_positional(self):
        raises(TypeError, "fit_zscan() takes at most 17 positional arguments (18 given)",
               *valid_positional(), False, 1, 0)
        raises(TypeError, "fit_zscan() takes at most 17 positional arguments (18 given)",
               *valid_positional(), False, 1, 0, n_starts=1)

    def test_fourteen_positional_plus_keyword(self):
        bound_ok(*valid_positional()[:14], num_datasets=1)

    def test_missing_required_after_keywords_reports_its_position(self):
        raises(TypeError, "fit_zscan() takes at least 15 positional arguments (13 given)",
               *valid_positional()[:13], num_datasets=1)
        raises(TypeError, "fit_zscan() takes at least 15 positional arguments (0 given)",
               n_starts=1)
        kwargs = valid_kwargs()
        del kwargs["tau"]
        raises(TypeError, "fit_zscan() takes at least 15 positional arguments (6 given)",
               **kwargs)

    def test_multiple_values(self):
        raises(TypeError, "fit_zscan() got multiple values for keyword argument 'x_data'",
               *valid_positional(), x_data=np.zeros(5))
        raises(TypeError, "fit_zscan() got multiple values for keyword argument 'is_sa'",
               *valid_positional(), True, is_sa=False)

    def test_unexpected_keyword(self):
        raises(TypeError, "fit_zscan() got an unexpected keyword argument 'nstarts'",
               *valid_positional(), nstarts=2)

    def test_keyword_matched_by_value(self):
        # A name built at run time is not the interned parameter name object.
        name = "".join(["n_", "starts"])
        bound_ok(*valid_positional(), **{name: 1})

    def test_non_string_keyword(self):
        with pytest.raises(TypeError) as info:
            vectorcall(fit_zscan, valid_positional() + [1], (42,))
        assert str(info.value) == "fit_zscan() keywords must be strings"

    def test_direct_vectorcall_with_keywords(self):
        args = valid_positional()
        try:
            result = vectorcall(fit_zscan, args[:13] + [1, 5, 1],
                                ("n_starts", "num_x_pts", "num_datasets"))
        except NotImplementedError:
            return
        assert isinstance(result, tuple) and len(result) == 3


# --- conversion --------------------------------------------------------------------------

class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class MyInt(int):
    pass


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class TestScalarConversion:
    @pytest.mark.parametrize("value", [4, 2.9, -2.9, True, np.int64(3), MyInt(3), IntLike(4),
                                       2**31 - 1, -2**31])
    @pytest.mark.parametrize("name", ["t_slices", "z_slices", "num_x_pts", "num_datasets",
                                      "n_starts"])
    def test_int_accepted(self, name, value):
        assert_converts(**{name: value})

    def test_string_is_not_an_integer(self):
        raises(TypeError, "an integer is required", *valid_positional(t_slices="4"))
        raises(TypeError, "an integer is required", *valid_positional(num_x_pts=None))

    @pytest.mark.parametrize("value", [2**31, -2**31 - 1, 2**70, IntLike(2**40)])
    def test_int_out_of_range(self, value):
        with pytest.raises(OverflowError):
            fit_zscan(*valid_positional(z_slices=value))

    def test_int_slot_returning_non_int(self):
        raises(TypeError, "__int__ returned non-int (type float)",
               *valid_positional(num_datasets=IntLike(1.5)))

    def test_int_slot_returning_int_subclass_warns(self):
        message = ("__int__ returned non-int (type MyInt).  The ability to return an instance "
                   "of a strict subclass of int is deprecated, and may be removed in a future "
                   "version of Python.")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            bound_ok(*valid_positional(), n_starts=IntLike(MyInt(1)))
        assert [str(w.message) for w in caught if w.category is DeprecationWarning] == [message]
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            raises(DeprecationWarning, message, *valid_positional(), n_starts=IntLike(MyInt(1)))

    def test_int_slot_error_propagates(self):
        with pytest.raises(ValueError, match="NaN"):
            fit_zscan(*valid_positional(t_slices=float("nan")))

    @pytest.mark.parametrize("value", [1, 1.0e-3, np.float32(1e-3), MyInt(1), 10**300,
                                       float("inf"), np.float64(-2.0)])
    @pytest.mark.parametrize("name", ["sample_width", "tau", "wavelength", "w0", "M2"])
    def test_double_accepted(self, name, value):
        assert_converts(**{name: value})

    def test_double_rejected(self):
        with pytest.raises(TypeError):
            fit_zscan(*valid_positional(M2="1.0"))
        with pytest.raises(OverflowError):
            fit_zscan(*valid_positional(tau=10**400))

    @pytest.mark.parametrize("value", [True, False, None, 0, 1, [], [1], "x"])
    def test_flag_accepted(self, value):
        assert_converts(is_sa=value)
        bound_ok(*valid_positional(), value)

    def test_flag_truth_error_propagates(self):
        raises(ZeroDivisionError, "no truth", *valid_positional(), Truthless())

    def test_conversion_follows_parameter_order(self):
        # n_starts is converted last, after a bad fit_indices buffer.
        raises(ValueError, "Buffer dtype mismatch, expected 'int' but got 'double'",
               *valid_positional(fit_indices=np.zeros(1)), n_starts="x")
        raises(TypeError, "an integer is required",
               *valid_positional(t_slices="x", pulse_energy=np.zeros((1, 1))))


class TestBufferConversion:
    @pytest.mark.parametrize("name", ["x_data", "y_data", "populations", "pulse_energy",
                                      "spec_pars"])
    def test_double_views_accept_ctypes_arrays(self, name):
        source = valid_kwargs()[name]
        bound_ok(**valid_kwargs(**{name: (ctypes.c_double * source.size)(*source)}))

    def test_int_view_accepts_int32_sources(self):
        bound_ok(**valid_kwargs(fit_indices=np.array([0], dtype=np.intc)))
        bound_ok(**valid_kwargs(fit_indices=array.array("i", [0])))
        bound_ok(**valid_kwargs(fit_indices=(ctypes.c_int32 * 1)(0)))

    @pytest.mark.parametrize("name, value, found", [
        ("fit_indices", np.array([0], dtype=np.longlong), "'long long'"),
        ("fit_indices", (ctypes.c_int64 * 1)(0), "'long long'"),
        ("fit_indices", np.array([0], dtype=np.uint32), "'unsigned int'"),
        ("fit_indices", np.array([0], dtype=np.int16), "'short'"),
        ("fit_indices", np.array([0.0]), "'double'"),
        ("x_data", np.linspace(-5, 5, 5).astype(np.float32), "'float'"),
        ("x_data", np.zeros(5, dtype=np.int32), "'int'"),
        ("y_data", np.zeros(5, dtype=np.complex128), "'complex double'"),
        ("populations", np.zeros(5, dtype=np.bool_), "'bool'"),
        ("spec_pars", np.zeros(8, dtype=np.longdouble), "'long double'"),
        ("pulse_energy", bytearray(8), "'unsigned char'"),
        ("spec_pars", np.zeros(8, dtype=[("a", "f8")]), "a struct"),
    ])
    def test_dtype_mismatch(self, name, value, found):
        expected = "int" if name == "fit_indices" else "double"
        raises(ValueError, f"Buffer dtype mismatch, expected '{expected}' but got {found}",
               **valid_kwargs(**{name: value}))

    @pytest.mark.parametrize("dtype", [np.int64, np.longlong])
    def test_int64_indices_are_long_long(self, dtype):
        # NumPy exports int64 as format l on LP64 platforms; any 64-bit signed integer
        # buffer is described as 'long long'.
        raises(ValueError, "Buffer dtype mismatch, expected 'int' but got 'long long'",
               **valid_kwargs(fit_indices=np.array([0], dtype=dtype)))

    @pytest.mark.parametrize("value, got", [(np.zeros((5, 1)), 2), (np.array(1.0), 0),
                                            (np.zeros((1, 1, 5)), 3)])
    def test_wrong_number_of_dimensions(self, value, got):
        raises(ValueError, f"Buffer has wrong number of dimensions (expected 1, got {got})",
               **valid_kwargs(x_data=value))

    def test_dimensions_checked_before_dtype(self):
        raises(ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)",
               **valid_kwargs(fit_indices=np.zeros((1, 1), dtype=np.int64)))

    @pytest.mark.parametrize("name, dtype", [("x_data", ">f8"), ("fit_indices", ">i4")])
    def test_big_endian(self, name, dtype):
        value = np.zeros(5 if name == "x_data" else 1, dtype=dtype)
        raises(ValueError, "Big-endian buffer not supported on little-endian compiler",
               **valid_kwargs(**{name: value}))

    def test_exporter_refusals_propagate(self):
        readonly = np.linspace(-5, 5, 5)
        readonly.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            fit_zscan(**valid_kwargs(x_data=readonly))
        with pytest.raises((ValueError, BufferError), match="contiguous"):
            fit_zscan(**valid_kwargs(x_data=np.linspace(-5, 5, 10)[::2]))
        with pytest.raises(TypeError):
            fit_zscan(**valid_kwargs(x_data=[-5.0, -2.5, 0.0, 2.5, 5.0]))
        with pytest.raises(BufferError):
            fit_zscan(**valid_kwargs(y_data=b"\0" * 40))  # read-only bytes


# --- None --------------------------------------------------------------------------------

class TestNone:
    @pytest.mark.parametrize("name", ARRAY_NAMES)
    def test_none_array_rejected(self, name):
        raises(TypeError, f"Argument '{name}' must not be None", **valid_kwargs(**{name: None}))

    def test_first_none_in_order_is_reported(self):
        raises(TypeError, "Argument 'pulse_energy' must not be None",
               **valid_kwargs(fit_indices=None, spec_pars=None, pulse_energy=None))
        raises(TypeError, "Argument 'x_data' must not be None",
               **valid_kwargs(fit_indices=None, x_data=None))

    def test_conversion_errors_come_before_none(self):
        raises(TypeError, "an integer is required",
               **valid_kwargs(x_data=None, t_slices="4"))
        raises(ValueError, "Buffer dtype mismatch, expected 'int' but got 'double'",
               **valid_kwargs(x_data=None, fit_indices=np.zeros(1)))
        raises(TypeError, "an integer is required",
               **valid_kwargs(x_data=None, n_starts="3"))


# --- buffer release ----------------------------------------------------------------------

def exporters():
    """Arrays whose resizing fails while a buffer is exported."""
    return dict(
        x_data=array.array("d", np.linspace(-5, 5, 5)), y_data=array.array("d", [1.0] * 5),
        populations=array.array("d", [1e24, 0, 0, 0, 0]), pulse_energy=array.array("d", [1e-6]),
        spec_pars=array.array("d", [1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12]),
        fit_indices=array.array("i", [0]))


def assert_released(arrays, counts):
    for name, arr in arrays.items():
        assert sys.getrefcount(arr) == counts[name], name
        arr.append(arr[0])  # BufferError while a buffer is still exported
        arr.pop()


FAILURES = {
    "binding": dict(nonsense=1),
    "first conversion": dict(x_data=bytearray(40)),
    "int view": dict(fit_indices=array.array("q", [0])),
    "last scalar": dict(n_starts="x"),
    "none": dict(fit_indices=None),
    "body": dict(fit_indices=array.array("i", [9])),
}


class TestBufferRelease:
    def test_released_after_success(self):
        arrays = exporters()
        counts = {name: sys.getrefcount(arr) for name, arr in arrays.items()}
        result = bound_ok(**valid_kwargs(**arrays))
        del result
        assert_released(arrays, counts)

    @pytest.mark.parametrize("failure", FAILURES)
    def test_released_after_failure(self, failure):
        arguments = valid_kwargs(**exporters()) | FAILURES[failure]
        watched = {k: v for k, v in arguments.items() if isinstance(v, array.array)}
        rejected = [v for v in arguments.values() if isinstance(v, bytearray)]
        counts = {name: sys.getrefcount(arr) for name, arr in watched.items()}
        try:
            fit_zscan(**arguments)
        except (TypeError, ValueError, NotImplementedError):
            pass
        else:
            pytest.fail("the call did not fail")
        assert_released(watched, counts)
        for buffer in rejected:
            buffer.extend(b"\0")  # BufferError if the rejected buffer was kept

    def test_numpy_arrays_released_and_resizable(self):
        arrays = {k: v.copy() for k, v in valid_kwargs().items() if k in ARRAY_NAMES}
        counts = {name: sys.getrefcount(arr) for name, arr in arrays.items()}
        bound_ok(**valid_kwargs(**arrays))
        try:
            fit_zscan(**valid_kwargs(**arrays, n_starts="x"))
        except TypeError:
            pass
        for name, arr in arrays.items():
            assert sys.getrefcount(arr) == counts[name], name
            arr.resize(arr.size + 1, refcheck=False)
