"""Many independent fits at once: :func:`fit_many` runs :class:`FitJob` objects over a local
pool of threads, or over a Dask cluster when given one; a fit that fails leaves a
:class:`FitFailure` in its place."""

from __future__ import annotations

import numbers
import threading
import traceback
from collections.abc import Mapping
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from dataclasses import dataclass

from plix import _jobwarnings
from plix._cancel import Cancelled, canceller
from plix._fit import fit
from plix._model import FUNCTION_KIND, Model
from plix._parameters import Parameters
from plix._validation import thread_count

__all__ = ["FitFailure", "FitJob", "fit_many"]

WAIT_POLL_S = 0.1  # how often the calling thread looks at the cancel event while fits run
NOT_STARTED = "not started: the cancel event was set"
_OWN_ARGUMENTS = ("cancel",)  # what fit_many gives every fit itself


class FitJob:
    """The arguments of one :func:`plix.fit` call, to be run by :func:`plix.fit_many`.

    Parameters
    ----------
    scan, setup, params, model
        As for :func:`plix.fit`. ``params`` is copied: changing the Parameters afterwards
        (to make the next job, say) leaves this job as it is.
    **options
        The other keyword arguments of :func:`plix.fit` (``n_starts``, ``center``,
        ``threads``, ``iter_cb``, ``ftol`` ...), except ``cancel``: that is
        :func:`fit_many`'s. They are checked, with everything else, when ``fit_many`` starts.

    Examples
    --------
    >>> jobs = FitJob.for_scans(scans, setup, params, n_starts=1)   # doctest: +SKIP
    >>> results = plix.fit_many(jobs)                                # doctest: +SKIP
    """

    __slots__ = ("_scan", "_setup", "_params", "_model", "_options")

    def __init__(self, scan, setup, params, model=None, **options) -> None:
        own = [name for name in _OWN_ARGUMENTS if name in options]
        if own:
            raise TypeError(f"a FitJob takes no {own[0]}: give it to fit_many(), which passes "
                            f"it to every fit")
        self._scan = scan
        self._setup = setup
        self._params = params.copy() if isinstance(params, Parameters) else params
        self._model = model
        self._options = dict(options)

    @classmethod
    def for_scans(cls, scans, setup, params, model=None, **options) -> list["FitJob"]:
        """One job per scan, everything else shared: the scans fitted separately."""
        return [cls(scan, setup, params, model, **options) for scan in scans]

    @property
    def scan(self):
        """The data (a :class:`plix.Scan` or :class:`plix.Dataset`)."""
        return self._scan

    @property
    def setup(self):
        """The experiment (:class:`plix.Setup`)."""
        return self._setup

    @property
    def params(self):
        """The start values (:class:`plix.Parameters`, this job's own copy)."""
        return self._params

    @property
    def model(self):
        """The model, or None for :func:`plix.fit`'s default."""
        return self._model

    @property
    def options(self) -> dict:
        """A new dict of the other keyword arguments of :func:`plix.fit`."""
        return dict(self._options)

    def run(self, threads: int | None = None, cancel=None):
        """:func:`plix.fit` with this job's arguments; ``threads`` where the job gives none."""
        options = dict(self._options)
        options.setdefault("threads", threads)
        return fit(self._scan, self._setup, self._params, self._model, cancel=cancel, **options)

    def __repr__(self) -> str:
        options = "".join(f", {name}={value!r}" for name, value in self._options.items())
        return f"FitJob({self._scan!r}, model={self._model!r}{options})"


@dataclass(frozen=True)
class FitFailure:
    """A fit of :func:`plix.fit_many` that raised instead of returning a result.

    Attributes
    ----------
    job : int
        The job's index in the list given to ``fit_many``.
    error_type : str
        The exception's class name (``"ValueError"``, ``"Cancelled"`` ...).
    message : str
        Its message.
    traceback : str
        The traceback as text, as Python prints it ("" for a fit that never started).
    """

    job: int
    error_type: str
    message: str
    traceback: str

    @property
    def success(self) -> bool:
        """Always False, so that a result list can be filtered on ``.success`` alone."""
        return False

    @property
    def cancelled(self) -> bool:
        """Whether the fit was stopped, or never started, because of the cancel event."""
        return self.error_type == Cancelled.__name__

    @classmethod
    def from_exception(cls, job: int, error: BaseException) -> "FitFailure":
        """The failure of job ``job`` that raised ``error``."""
        return cls(job, type(error).__name__, str(error),
                   "".join(traceback.format_exception(error)))

    @classmethod
    def not_started(cls, job: int) -> "FitFailure":
        """Job ``job``, left out because the batch was cancelled first."""
        return cls(job, Cancelled.__name__, NOT_STARTED, "")

    def __str__(self) -> str:
        return f"job {self.job} failed: {self.error_type}: {self.message}"


class _Stop:
    """The batch's cancel event: the user's, or the batch's own (Ctrl-C, a progress callback
    that raised), whichever is set first. Every fit polls it."""

    def __init__(self, user=None) -> None:
        self._user = user
        self._own = threading.Event()

    def is_set(self) -> bool:
        return self._own.is_set() or (self._user is not None and bool(self._user.is_set()))

    def set(self) -> None:
        self._own.set()


_STOPPED = _Stop()
_STOPPED.set()


def run_job(index: int, job: FitJob, threads: int | None, stop) -> tuple:
    """Job ``index`` on the calling thread (a pool's or a cluster worker's): its result or
    failure, and the warnings it raised as (category, text)."""
    caught: list = []
    if stop is not None and stop.is_set():
        return FitFailure.not_started(index), caught
    with _jobwarnings.routed(), _jobwarnings.collected(caught):
        try:
            outcome = job.run(threads=threads, cancel=stop)
        except Exception as error:  # the job's failure: reported in its slot
            outcome = FitFailure.from_exception(index, error)
    return outcome, caught


def _as_job(index: int, item) -> FitJob:
    if isinstance(item, FitJob):
        return item
    if isinstance(item, Mapping):
        try:
            return FitJob(**item)
        except TypeError as error:
            raise TypeError(f"jobs[{index}]: {error} (a job given as a dict holds scan, setup, "
                            f"params and optionally model and fit's keyword arguments)") from None
    raise TypeError(f"jobs[{index}] must be a plix.FitJob or a dict of plix.fit's arguments, "
                    f"got {type(item).__name__}")


def _named(error: Exception, index: int) -> Exception:
    """``error`` again, its message led by the job's index."""
    text = error.args[0] if isinstance(error, KeyError) and error.args else str(error)
    text = f"jobs[{index}]: {text}"
    try:
        return type(error)(text)
    except Exception:  # an exception class that wants other arguments
        return (TypeError if isinstance(error, TypeError) else ValueError)(text)


class _Accepted(Exception):
    """Raised by the stand-in of a Python model: the fit accepted every argument."""


def _stand_in(*args, **kwargs):
    raise _Accepted


def check_job(index: int, job: FitJob, threads: int | None) -> None:
    """Raise what :func:`plix.fit` would raise about job ``index``'s arguments, before any fit
    runs. The fit is started with its cancel event already set: it checks every argument and
    stops at the core's first look at the event, before the model computes anything. A
    Python model is replaced by a stand-in with its parameters, so that its function is not
    called."""
    model = job.model
    if isinstance(model, Model) and model.kind == FUNCTION_KIND:
        model = model.replace(function=_stand_in)
    try:
        FitJob(job.scan, job.setup, job.params, model, **job.options).run(threads=threads,
                                                                          cancel=_STOPPED)
    except (Cancelled, _Accepted):
        return
    except (TypeError, ValueError, KeyError) as error:
        raise _named(error, index) from None


def _pool(workers, jobs: int) -> tuple[int, int]:
    """The pool's threads and each fit's threads."""
    cores = thread_count(None)
    if workers is None:
        size = max(1, min(jobs, cores))
    elif isinstance(workers, bool) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"workers must be None or an int, got {type(workers).__name__}")
    elif workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers!r}")
    else:
        size = int(workers)
    return size, max(1, cores // size)


def fit_many(jobs, *, workers: int | None = None, client=None, progress=None,
             cancel=None) -> list:
    """Run independent fits side by side: locally on a pool of threads, or on a Dask cluster.

    Each fit's result is the one :func:`plix.fit` gives for its job alone, bit for bit
    (a fit's result does not depend on its threads).

    Parameters
    ----------
    jobs : sequence of FitJob or dict
        One :class:`plix.FitJob` per fit, or a dict of its arguments (``scan``, ``setup``,
        ``params``, optionally ``model`` and :func:`plix.fit`'s keyword arguments). Every job
        is checked before any fit runs.
    workers : int, optional
        Threads of the local pool. Default: the cores this process may use (its CPU
        affinity), at most one per job. ``plix.fit`` lets go of the interpreter lock while
        the compiled engine works, so the fits run in parallel (a
        ``Model.from_function`` model holds the lock while its function runs). A fit that
        sets no ``threads`` of its own gets ``cores // workers`` (at least 1): one each when
        the pool fills the cores, all of them for a single fit.
    client : distributed.Client or str, optional
        Run the fits on this Dask cluster instead (or on the scheduler at this address, for
        example ``"tcp://10.0.0.5:8786"``, connected to for the batch and closed after).
        Needs the extra: ``pip install 'plix-zscan[dask]'``; the workers need plix. A fit
        that sets no ``threads`` runs on one thread: the cluster's workers run tasks side
        by side already. ``iter_cb`` then runs on the worker.
    progress : callable, optional
        ``progress(done, total, job, outcome)``, called on the calling thread as each fit
        finishes (in the order they finish): fits done so far, the number of jobs, the
        job's index and its result or :class:`FitFailure`. What it raises stops the batch
        and reaches the caller.
    cancel : threading.Event, optional
        Once set, no further fit starts, and running fits stop within about 100 ms (on a
        cluster, within about half a second); their slots hold a cancelled
        :class:`FitFailure`, the fits already done keep their results.

    Returns
    -------
    list
        In the order of ``jobs``: a :class:`plix.FitResult`, or a :class:`FitFailure` for a
        fit that raised (the others run on) or was cancelled.

    Warns
    -----
    FitWarning
        What a fit warned of, on the calling thread as it finishes, led by ``job <index>:``.

    Raises
    ------
    TypeError, ValueError
        For a job that :func:`plix.fit` would refuse (naming ``jobs[index]``), or bad
        ``workers``, ``client``, ``progress`` or ``cancel``.
    ImportError
        For a cluster without Dask's distributed package installed.
    KeyboardInterrupt
        On Ctrl-C: the running fits stop (on a cluster, those not started are cancelled,
        and running ones stop when a cancel event was given).
    """
    jobs = [_as_job(k, item) for k, item in enumerate(jobs)]
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, got {type(progress).__name__}")
    canceller(cancel)  # checks its type
    if client is not None:
        from plix import _batchdask

        if workers is not None:
            raise TypeError("give workers or client, not both: a cluster runs as many fits at "
                            "once as its workers have threads")
        _batchdask.distributed_package()
        for k, job in enumerate(jobs):
            check_job(k, job, _batchdask.FIT_THREADS)
        return _batchdask.run_on_cluster(jobs, client, progress, cancel)
    size, threads = _pool(workers, len(jobs))
    for k, job in enumerate(jobs):
        check_job(k, job, threads)
    return _run_local(jobs, size, threads, progress, cancel)


def _run_local(jobs: list, size: int, threads: int, progress, cancel) -> list:
    total = len(jobs)
    outcomes: list = [None] * total
    stop = _Stop(cancel)
    done_count = 0
    with _jobwarnings.routed(), ThreadPoolExecutor(size, thread_name_prefix="plix-fit") as pool:
        index = {pool.submit(run_job, k, job, threads, stop): k for k, job in enumerate(jobs)}
        pending = set(index)
        try:
            while pending:
                done, pending = wait(pending, timeout=WAIT_POLL_S, return_when=FIRST_COMPLETED)
                for future in sorted(done, key=index.__getitem__):
                    k = index[future]
                    outcome, caught = ((FitFailure.not_started(k), []) if future.cancelled()
                                       else future.result())
                    outcomes[k] = outcome
                    done_count += 1
                    _jobwarnings.emit(k, caught, stacklevel=3)
                    if progress is not None:
                        progress(done_count, total, k, outcome)
                if stop.is_set():
                    for future in pending:
                        future.cancel()
        except BaseException:  # Ctrl-C or the progress callback: stop what runs, then raise
            stop.set()
            for future in pending:
                future.cancel()
            raise
    return outcomes
