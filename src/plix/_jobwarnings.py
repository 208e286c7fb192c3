"""The warnings of each fit of a batch, kept apart while the fits run side by side.

Python's warnings are process-wide, and their filters show a text from one place once: ten
fits that do not converge, run one after another, would warn once. While a batch runs,
:func:`routed` puts a dispatcher in front of ``warnings.warn`` (and, for warnings raised from
compiled code, of ``warnings.showwarning``): what a thread running a job (inside
:func:`collected`) warns of goes to that job's list, untouched by the filters; every other
thread's warnings pass on unchanged. :func:`emit` then warns again on the calling thread,
the job's index in front, where the filters apply as they would to :func:`plix.fit`.
"""

from __future__ import annotations

import threading
import warnings
from contextlib import contextmanager

__all__ = ["collected", "emit", "routed"]

_lock = threading.Lock()
_thread = threading.local()
_users = 0        # batches running in this process (the dispatcher stays while any does)
_saved = None     # (warn, showwarning) as they were when the dispatcher came


def _sink():
    return getattr(_thread, "sink", None)


def _warn(message, category=None, stacklevel=1, source=None, **options):
    sink = _sink()
    if isinstance(message, Warning):
        category = type(message)
    elif category is None:
        category = UserWarning
    if sink is None or not (isinstance(category, type) and issubclass(category, Warning)):
        # Another thread's warning, or a call that warnings.warn itself refuses.
        return _saved[0](message, category, stacklevel + 1, source, **options)
    sink.append((category, str(message)))
    return None


def _showwarning(message, category, filename, lineno, file=None, line=None):
    sink = _sink()
    if sink is None:
        _saved[1](message, category, filename, lineno, file, line)
    else:
        sink.append((category, str(message)))


@contextmanager
def routed():
    """While a batch runs in this process: the dispatcher in front of the warnings."""
    global _users, _saved
    with _lock:
        if _users == 0:
            _saved = (warnings.warn, warnings.showwarning)
            warnings.warn, warnings.showwarning = _warn, _showwarning
        _users += 1
    try:
        yield
    finally:
        with _lock:
            _users -= 1
            if _users == 0:
                # Each left in place if someone replaced it meanwhile: theirs stays theirs.
                if warnings.warn is _warn:
                    warnings.warn = _saved[0]
                if warnings.showwarning is _showwarning:
                    warnings.showwarning = _saved[1]


@contextmanager
def collected(sink: list):
    """On the thread that runs one job: its warnings go to ``sink`` as (category, text)."""
    _thread.sink = sink
    try:
        yield sink
    finally:
        _thread.sink = None


def emit(job: int, caught, stacklevel: int) -> None:
    """Warn again, on the calling thread, what job ``job`` warned of, its index in front.
    ``stacklevel`` counts from the caller of emit, as ``warnings.warn``'s does."""
    for category, text in caught:
        warnings.warn(f"job {job}: {text}", category, stacklevel=stacklevel + 1)
