"""fit_zscan called with arbitrary arguments: arrays of any dtype, shape, layout and
alignment, wrong sizes, NaN, infinities, denormals and huge values. Whatever comes in, the
call either raises one of the documented exception kinds or returns a result that is
finite or comes with the warning that it is not; it never crashes and never writes into
the caller's arrays."""

import warnings

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from plix_wrapper import fit_zscan

from test_fit import TRUE_PARS

DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError, BufferError)
SPECIAL = [np.nan, np.inf, -np.inf, 1e308, -1e308, 1e300, 1e-320, 0.0, -1.0, 5e-324]


def base_arguments():
    """A small valid fit: 6 positions, short grids, one start."""
    x = np.linspace(-20.0, 20.0, 6)
    return dict(
        x_data=x, y_data=1.0 - 0.2 * np.exp(-x**2 / 20.0),
        populations=np.array([1e24, 0.0, 0.0, 0.0, 0.0]), t_slices=2, z_slices=0,
        sample_width=1e-3, tau=5e-9, wavelength=532e-9, w0=30e-6, M2=1.0,
        pulse_energy=np.array([6e-3]), spec_pars=TRUE_PARS.copy(),
        fit_indices=np.array([2], dtype=np.int32), num_x_pts=6, num_datasets=1,
        is_sa=False, n_starts=1)


def unaligned(values):
    raw = bytearray(values.nbytes + 1)
    out = np.frombuffer(raw, dtype=values.dtype, offset=1, count=values.size)
    out = out.reshape(values.shape)
    out[...] = values
    return out


def read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


LAYOUTS = {
    "as is": lambda a: a,
    "unaligned": unaligned,
    "strided": lambda a: np.repeat(a, 2)[::2],
    "read-only": read_only,
    "row": lambda a: a.reshape(1, -1),
    "column, Fortran": lambda a: np.asfortranarray(a.reshape(-1, 1)),
    "0-d": lambda a: np.array(a.flat[0] if a.size else 0.0, dtype=a.dtype),
    "list": lambda a: a.tolist(),
    "None": lambda a: None,
}
DTYPES = [np.float64, np.float32, np.int32, np.int64, np.complex128, np.bool_, ">f8", ">i4",
          np.int16]


@st.composite
def array_argument(draw, base):
    values = base.copy()
    if values.dtype.kind == "f" and draw(st.integers(0, 3)) == 0:  # finite but extreme
        with np.errstate(all="ignore"):
            values = values * draw(st.sampled_from([1e-320, 1e-300, 1e-30, 1e30, 1e300, 1e307]))
    if draw(st.booleans()):  # other values
        for _ in range(draw(st.integers(1, 3))):
            if values.size:
                values[draw(st.integers(0, values.size - 1))] = (
                    draw(st.sampled_from(SPECIAL)) if values.dtype.kind == "f"
                    else draw(st.integers(-3, 10)))
    if draw(st.integers(0, 2)) == 0:  # another length
        n = draw(st.integers(0, values.size + 3))
        values = np.resize(values, n) if n else values[:0]
    if draw(st.integers(0, 4)) == 0:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            values = values.astype(draw(st.sampled_from(DTYPES)))
    if draw(st.integers(0, 3)) == 0:
        values = LAYOUTS[draw(st.sampled_from(sorted(LAYOUTS)))](values)
    return values


SCALARS = {
    "t_slices": st.one_of(st.integers(-2, 4), st.just(2.9), st.just("4"), st.just(2**31)),
    "z_slices": st.one_of(st.integers(-1, 3), st.just(None)),
    "num_x_pts": st.one_of(st.integers(-1, 8), st.just(2**16), st.just(2**31 - 1)),
    "num_datasets": st.one_of(st.integers(-1, 2), st.just(2**15 + 1)),
    "n_starts": st.integers(-2, 2),
    "is_sa": st.booleans(),
}
REALS = ["sample_width", "tau", "wavelength", "w0", "M2"]


ARRAYS = ["x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices"]


@st.composite
def arguments(draw):
    """The valid base with zero to three arguments changed, so that a fair share of the
    calls reaches the engine."""
    args = base_arguments()
    k = draw(st.sampled_from([0, 1, 1, 2, 2, 3]))
    # Arrays are drawn three times as often as scalars.
    changed = draw(st.lists(st.sampled_from(3 * ARRAYS + list(SCALARS) + REALS), min_size=k,
                            max_size=k))
    for name in dict.fromkeys(changed):
        if name in ARRAYS:
            args[name] = draw(array_argument(args[name]))
        elif name in SCALARS:
            args[name] = draw(SCALARS[name])
        else:
            args[name] = draw(st.sampled_from(SPECIAL + [2, "1e-3"]))
    return args


def snapshot(args):
    return {k: (v.tobytes(), v.shape, v.dtype) for k, v in args.items()
            if isinstance(v, np.ndarray)}


@settings(max_examples=600, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(arguments())
def test_any_arguments_raise_a_documented_error_or_give_an_honest_result(args):
    before = snapshot(args)
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        try:
            residuals, error, spec_pars = fit_zscan(**args)
        except DOCUMENTED as err:
            event(type(err).__name__)
            residuals = None
    assert snapshot(args) == before
    if residuals is None:
        return
    assert residuals.dtype == np.float64 and spec_pars.dtype == np.float64
    finite = np.isfinite(error) and np.all(np.isfinite(residuals))
    warned = any(issubclass(w.category, RuntimeWarning) and "not finite" in str(w.message)
                 or "error is" in str(w.message) for w in record)
    event("finite result" if finite else "non-finite result, warned")
    assert finite or warned
