"""Checks and conversions of user input shared by the public functions of plix.

Every failure raises ``TypeError`` (wrong kind of object) or ``ValueError`` (wrong value)
with a message that starts with the name of the offending argument.
"""

from __future__ import annotations

import math
import numbers
import os

import numpy as np

__all__ = [
    "real_number",
    "positive_finite",
    "float_array",
    "float_vector",
    "energies_vector",
    "thread_count",
]


_MAX_THREADS = 2**31 - 1  # the compiled core counts threads in a C int


def real_number(value, name: str) -> float:
    """Return ``value`` as a float; booleans, strings and complex numbers are refused.

    Raises
    ------
    TypeError
        If ``value`` is not a real number (``numbers.Real`` or a NumPy real scalar).
    """
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.number)):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    if isinstance(value, (complex, np.complexfloating)):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def positive_finite(value, name: str, unit: str) -> float:
    """Return ``value`` as a float after checking that it is positive and finite.

    Raises
    ------
    TypeError
        If ``value`` is not a real number.
    ValueError
        If ``value`` is zero, negative, infinite or NaN.
    """
    number = real_number(value, name)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be positive and finite ({unit}), got {number!r}")
    return number


def float_array(values, name: str) -> np.ndarray:
    """Return a new C-contiguous float64 copy of ``values`` (any shape, any real dtype).

    Raises
    ------
    TypeError
        If the entries are not real numbers (booleans, complex, strings).
    ValueError
        If ``values`` is a ragged nested sequence.
    """
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as error:  # ragged nested sequences
        raise ValueError(f"{name} must be a sequence of real numbers: {error}") from None
    if array.dtype == object:
        try:
            array = array.astype(np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must hold real numbers") from None
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {array.dtype}")
    # Always a fresh float64 copy: the caller's array is never written, and later changes
    # to it cannot reach a result or a frozen object.
    return np.array(array, dtype=np.float64, order="C", copy=True)


def float_vector(values, name: str, unit: str) -> np.ndarray:
    """Return a new one-dimensional float64 array of finite values.

    Lists, tuples and arrays of any integer or float dtype are accepted; the input is
    never modified.

    Raises
    ------
    TypeError
        If the entries are not real numbers.
    ValueError
        If the input is not one-dimensional or holds a non-finite value.
    """
    array = float_array(values, name)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        raise ValueError(f"{name}[{bad[0]}] must be finite ({unit}), got {array[bad[0]]!r}")
    return array


def energies_vector(values, name: str) -> tuple[np.ndarray, bool]:
    """Return pulse energies in J as a new float64 vector and whether a scalar was given.

    Raises
    ------
    TypeError
        If the entries are not real numbers.
    ValueError
        If the input is empty, has more than one dimension, or holds an energy that is
        not positive and finite.
    """
    array = float_array(values, name)
    scalar = array.ndim == 0
    if scalar:
        array = array.reshape(1)
    if array.ndim != 1:
        raise ValueError(f"{name} must be a number or one-dimensional, got shape {array.shape}")
    if array.size == 0:
        raise ValueError(f"{name} must hold at least one energy")
    bad = np.flatnonzero(~(np.isfinite(array) & (array > 0.0)))
    if bad.size:
        where = "" if scalar else f"[{bad[0]}]"
        raise ValueError(f"{name}{where} must be positive and finite (J), got {array[bad[0]]!r}")
    return array, scalar


def thread_count(threads) -> int:
    """Return the number of worker threads: ``None`` means the cores this process may use.

    Raises
    ------
    TypeError
        If ``threads`` is neither None nor an integer.
    ValueError
        If ``threads`` is less than 1 (or beyond a C int).
    """
    if threads is None:
        return len(os.sched_getaffinity(0))
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, (numbers.Integral, np.integer)):
        raise TypeError(f"threads must be None or an int, got {type(threads).__name__}")
    if not 1 <= threads <= _MAX_THREADS:
        raise ValueError(f"threads must be at least 1 and at most {_MAX_THREADS}, got {threads}")
    return int(threads)
