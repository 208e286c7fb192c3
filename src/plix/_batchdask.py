"""The fits of :func:`plix.fit_many` on a Dask cluster, scheduled by Dask's distributed
package (the ``dask`` extra)."""

from __future__ import annotations

import functools
import queue
import time
import uuid

from plix._batch import WAIT_POLL_S, FitFailure, run_job
from plix import _jobwarnings

__all__ = ["FIT_THREADS", "distributed_package", "run_on_cluster"]

EXTRA = "pip install 'plix-zscan[dask]'"
FIT_THREADS = 1        # a cluster's workers already run one task per thread
CLUSTER_POLL_S = 0.25  # how often a fit on a worker asks the scheduler whether to stop


def distributed_package():
    """Dask's distributed package, or an ImportError that names the extra."""
    try:
        import distributed
    except ImportError as error:
        raise ImportError(f"fit_many(client=...) runs the fits on a Dask cluster, which needs "
                          f"Dask's distributed package: {EXTRA}") from error
    return distributed


class _ClusterStop:
    """The batch's cancel event as a fit on a worker sees it: a Dask ``Event`` on the
    scheduler, asked at most every CLUSTER_POLL_S (the fit polls every 50 ms)."""

    def __init__(self, event) -> None:
        self._event = event
        self._set = False
        self._next = 0.0

    def is_set(self) -> bool:
        now = time.monotonic()
        if not self._set and now >= self._next:
            self._set = bool(self._event.is_set())
            self._next = now + CLUSTER_POLL_S
        return self._set


def _run_remote(index, job, event):
    """The task a worker runs: the job, its warnings kept."""
    return run_job(index, job, FIT_THREADS, None if event is None else _ClusterStop(event))


def _connect(distributed, client):
    if isinstance(client, str):
        return distributed.Client(client), True
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a distributed.Client or the address of a Dask "
                        f"scheduler (str), got {type(client).__name__} (for a cluster object, "
                        f"give distributed.Client(cluster) or cluster.scheduler_address)")
    return client, False


def run_on_cluster(jobs: list, client, progress, cancel) -> list:
    """The jobs (already checked) as tasks of the cluster; outcomes in the order of jobs."""
    distributed = distributed_package()
    client, own = _connect(distributed, client)
    try:
        return _run(distributed, jobs, client, progress, cancel)
    finally:
        if own:
            client.close()


def _run(distributed, jobs, client, progress, cancel) -> list:
    total = len(jobs)
    outcomes: list = [None] * total
    if not total:
        return outcomes
    # The cancel event lives on the scheduler, where the workers can ask for it.
    event = (distributed.Event(f"plix-stop-{uuid.uuid4().hex}", client=client)
             if cancel is not None else None)
    task = functools.partial(_run_remote, event=event)
    futures = client.map(task, range(total), jobs, pure=False)
    index = {future.key: k for k, future in enumerate(futures)}
    finished: queue.SimpleQueue = queue.SimpleQueue()
    for future in futures:
        future.add_done_callback(finished.put)
    done_count, stopping = 0, False
    try:
        while done_count < total:
            if cancel is not None and not stopping and cancel.is_set():
                event.set()
                stopping = True
            try:
                future = finished.get(timeout=WAIT_POLL_S)
            except queue.Empty:
                continue
            k = index[future.key]
            try:
                outcome, caught = future.result()
            except Exception as error:  # the task itself failed: a lost worker, say
                outcome, caught = FitFailure.from_exception(k, error), []
            outcomes[k] = outcome
            done_count += 1
            _jobwarnings.emit(k, caught, stacklevel=4)
            if progress is not None:
                progress(done_count, total, k, outcome)
    except BaseException:  # Ctrl-C or the progress callback: stop what runs, then raise
        if event is not None:
            event.set()  # left set: fits still running look at it
        client.cancel([f for f in futures if not f.done()])
        raise
    if stopping:
        event.clear()  # every fit has ended: the scheduler forgets the event
    return outcomes
