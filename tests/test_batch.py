"""plix.fit_many: the same results as the fits one by one, in order; failures and cancelled
fits in their slots; warnings named by job; jobs checked before any fit runs; what a job
carries surviving pickle; the same on a Dask cluster of two worker processes."""

import pickle
import sys
import threading
import time
import warnings
import _warnings

import numpy as np
import pytest

import plix
from sanitized import within

SETUP = plix.Setup(wavelength=532e-9, w0=30e-6, tau=5e-9, sample_width=1e-3,
                   populations=[1e24, 0, 0, 0, 0])
TRUTH = plix.Parameters(1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)
FAST = plix.Model.seed(integrator="exact", t_slices=6, z_slices=4)
Z = np.linspace(-30.0, 30.0, 21)
ENERGIES = [2e-3, 5e-3]


def dip(z, energy, depth, z0):
    """A Lorentzian dip, depth per J: a Python model that workers import by name."""
    return 1.0 - depth * energy / (1.0 + (z / z0) ** 2)


def slow_dip(z, energy, depth, z0):
    time.sleep(0.02)
    return dip(z, energy, depth, z0)


def broken(z, energy, depth, z0):
    raise RuntimeError("the lamp is off")


DIP = plix.Model.from_function(dip, {"depth": "1/J", "z0": "mm"})


def seed_job(factor, **options):
    """A fit of sigma_45 to data made at factor x its true value, started 2x off."""
    truth = TRUTH.copy()
    truth["sigma_45"].value *= factor
    curves = plix.simulate(SETUP, truth, Z, ENERGIES, model=FAST, threads=1)
    start = truth.copy().vary("sigma_45")
    start["sigma_45"].value *= 2.0
    options.setdefault("n_starts", 1)
    return plix.FitJob(plix.Scan.from_arrays([Z] * 2, list(curves), ENERGIES), SETUP, start,
                       FAST, **options)


def dip_job(model=DIP, depth=50.0, z0=4.0, **options):
    scan = plix.Scan.from_arrays([Z], [dip(Z, 1e-3, depth, z0)], [1e-3])
    return plix.FitJob(scan, SETUP, model.make_params(depth=80.0, z0=6.0).vary("depth", "z0"),
                       model, **options)


def alone(job):
    """The job fitted by plix.fit on its own."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plix.FitWarning)
        return plix.fit(job.scan, job.setup, job.params, job.model, threads=1, **job.options)


def assert_same_fit(got, expected):
    assert isinstance(got, plix.FitResult), str(got)
    assert got.var_names == expected.var_names
    for name in ("values", "covariance"):
        assert np.array_equal(getattr(got, name), getattr(expected, name))
    assert (got.chisqr, got.nfev, got.status) == (expected.chisqr, expected.nfev,
                                                  expected.status)
    for a, b in zip(got.best_fit, expected.best_fit):
        assert np.array_equal(a, b)


def quietly(function, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plix.FitWarning)
        return function(*args, **kwargs)


# --------------------------------------------------------------------------- local pool

FACTORS = (0.5, 0.8, 1.25, 1.6, 2.0)


def test_results_are_the_single_fits_in_input_order():
    jobs = [seed_job(f) for f in FACTORS] + [dip_job(depth=30.0)]
    seen = []
    results = quietly(plix.fit_many, jobs, workers=3,
                      progress=lambda done, total, k, outcome: seen.append((done, total, k)))
    assert len(results) == len(jobs)
    for job, result in zip(jobs, results):
        assert_same_fit(result, alone(job))
    # Each slot holds its own job's answer, not merely some fit's.
    for factor, result in zip(FACTORS, results):
        assert result.params["sigma_45"].value == pytest.approx(factor * 8e-21, rel=1e-8)
    assert results[-1].params["depth"].value == pytest.approx(30.0, rel=1e-8)
    assert [d for d, _, _ in seen] == list(range(1, len(jobs) + 1))
    assert {t for _, t, _ in seen} == {len(jobs)}
    assert sorted(k for _, _, k in seen) == list(range(len(jobs)))


def test_jobs_as_dicts_and_for_scans():
    one = seed_job(1.25)
    as_dict = {"scan": one.scan, "setup": SETUP, "params": one.params, "model": FAST,
               "n_starts": 1}
    shared = plix.FitJob.for_scans([one.scan, seed_job(0.5).scan], SETUP, one.params, FAST,
                                   n_starts=1)
    results = quietly(plix.fit_many, [as_dict] + shared, workers=2)
    assert_same_fit(results[0], alone(one))
    assert_same_fit(results[1], results[0])
    assert results[2].params["sigma_45"].value == pytest.approx(4e-21, rel=1e-8)


def test_a_job_keeps_its_own_copy_of_the_parameters():
    params = TRUTH.copy().vary("sigma_45")
    job = plix.FitJob(seed_job(1.0).scan, SETUP, params, FAST)
    params["sigma_45"].value = 1e-30
    params.fix("sigma_45")
    assert job.params["sigma_45"].value == 8e-21 and job.params.free == ("sigma_45",)


def test_a_failing_fit_is_reported_in_its_slot_and_the_others_run():
    jobs = [seed_job(0.5), dip_job(plix.Model.from_function(broken, ["depth", "z0"])),
            seed_job(2.0)]
    results = quietly(plix.fit_many, jobs, workers=2)
    failure = results[1]
    assert isinstance(failure, plix.FitFailure) and not failure.success
    assert (failure.job, failure.error_type, failure.message) == (1, "RuntimeError",
                                                                   "the lamp is off")
    assert "in broken" in failure.traceback and not failure.cancelled
    assert str(failure) == "job 1 failed: RuntimeError: the lamp is off"
    assert_same_fit(results[0], alone(jobs[0]))
    assert_same_fit(results[2], alone(jobs[2]))


def test_warnings_are_named_by_job_even_when_their_texts_are_the_same():
    jobs = [seed_job(1.0), seed_job(1.25, max_nfev=2), seed_job(1.25, max_nfev=2)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")  # a text from one place once, as Python's default
        results = plix.fit_many(jobs, workers=2)
    texts = [str(w.message) for w in caught if w.category is plix.FitWarning]
    for k in (1, 2):
        assert not results[k].success
        assert any(t.startswith(f"job {k}: the fit did not converge") for t in texts), texts
    assert not any(t.startswith("job 0:") for t in texts)
    assert all(w.filename == __file__ for w in caught if w.category is plix.FitWarning)
    assert warnings.warn is _warnings.warn  # the dispatcher is gone with the batch


class TestJobsAreCheckedBeforeAnyFit:
    def run(self, jobs, **kwargs):
        calls = []
        with pytest.raises((TypeError, ValueError)) as error:
            plix.fit_many(jobs, progress=lambda *a: calls.append(a), **kwargs)
        assert not calls
        return str(error.value)

    def test_a_job_fit_would_refuse_is_named_by_index(self):
        fixed = seed_job(1.0)
        bad = plix.FitJob(fixed.scan, SETUP, TRUTH, FAST)  # nothing free
        assert self.run([seed_job(1.0), dip_job(), bad]).startswith(
            "jobs[2]: params: no free parameter")
        assert self.run([{"scan": fixed.scan, "setup": SETUP}]).startswith("jobs[0]: ")
        assert self.run([seed_job(1.0, center="middle")]).startswith("jobs[0]: center must be")
        assert self.run([seed_job(1.0), seed_job(1.0, tolerance=1)]).startswith(
            "jobs[1]: fit() got unknown setting(s) tolerance")
        assert self.run([fixed, 3]).startswith("jobs[1] must be a plix.FitJob")

    def test_a_python_model_is_not_called_by_the_check(self):
        counted = []

        def counting(z, energy, depth, z0):
            counted.append(1)
            return dip(z, energy, depth, z0)

        model = plix.Model.from_function(counting, ["depth", "z0"])
        bad = seed_job(1.0, n_starts=0)
        assert self.run([dip_job(model), bad]).startswith("jobs[1]: n_starts ")
        assert not counted

    def test_the_batch_arguments(self):
        assert "workers must be at least 1" in self.run([seed_job(1.0)], workers=0)
        with pytest.raises(TypeError, match="progress must be callable"):
            plix.fit_many([seed_job(1.0)], progress=3)
        with pytest.raises(TypeError, match="cancel must be"):
            plix.fit_many([seed_job(1.0)], cancel=True)
        with pytest.raises(TypeError, match="client must be a distributed.Client"):
            plix.fit_many([seed_job(1.0)], client=object())
        with pytest.raises(TypeError, match="not both"):
            plix.fit_many([seed_job(1.0)], workers=2, client="tcp://127.0.0.1:1")
        with pytest.raises(TypeError, match="a FitJob takes no cancel"):
            plix.FitJob(None, SETUP, TRUTH, cancel=threading.Event())
        assert plix.fit_many([]) == []


def cancelling_batch(**kwargs):
    """A fast fit, then three slow ones; the first to finish sets the cancel event."""
    jobs = [seed_job(1.0)] + [dip_job(plix.Model.from_function(slow_dip, ["depth", "z0"]))
                              for _ in range(3)]
    cancel = threading.Event()
    results = quietly(plix.fit_many, jobs, cancel=cancel,
                      progress=lambda done, total, k, outcome: cancel.set(), **kwargs)
    assert results[0].success
    for failure in results[1:]:
        assert isinstance(failure, plix.FitFailure) and failure.cancelled
    # A slow fit started beside the fast one was stopped while it ran.
    assert any("Cancelled" in failure.traceback for failure in results[1:])
    return results


def test_cancel_stops_the_running_fits_and_the_pending_ones_never_start():
    results = cancelling_batch(workers=2)
    assert "Cancelled" in results[1].traceback
    assert results[3].message == "not started: the cancel event was set"
    assert results[3].traceback == ""


def test_a_progress_callback_that_raises_stops_the_batch():
    calls = []

    def counted(z, energy, depth, z0):
        calls.append(1)
        return slow_dip(z, energy, depth, z0)

    def stop(done, total, k, outcome):
        raise KeyError("enough")

    slow = dip_job(plix.Model.from_function(counted, ["depth", "z0"]))
    alone(slow)
    complete = len(calls)  # the evaluations of one whole fit
    calls.clear()
    with pytest.raises(KeyError, match="enough"):
        quietly(plix.fit_many, [seed_job(1.0)] + [slow] * 3, workers=2, progress=stop)
    assert len(calls) < complete  # the slow fits were stopped, none ran to its end


@pytest.mark.skipif(sys.platform == "win32", reason="signals to a child process")
def test_ctrl_c_stops_the_batch_within_a_second():
    from test_interrupts import interrupt  # runs code in a child and sends it SIGINT

    slow = ("plix.FitJob(plix.Scan.from_arrays([z], [np.ones(z.size)], [1e-6]), setup, "
            "params.copy().vary('sigma_45'), model=plix.Model.physical(accuracy=1e-7))")
    assert interrupt(f"plix.fit_many([{slow}] * 4, workers=2)") < within(1.0)


# --------------------------------------------------------------------------- pickling

def test_what_a_job_carries_survives_pickle():
    scheme = plix.LevelScheme(2, [(1, 2, "sigma_12")], [(2, 1, "lifetime_21")])
    dataset = plix.Dataset(Z, dip(Z, 1e-3, 50.0, 4.0), energy_J=np.full(Z.size, 1e-3),
                           sigma=np.full(Z.size, 0.01))
    closed = plix.Dataset(Z, np.ones(Z.size), 2e-3, aperture=0.3)
    params = TRUTH.copy().vary("sigma_45")
    params["sigma_45"].set(min=1e-22, max=1e-19)
    params["sigma_23"]._set_stderr(1e-23)
    objects = [SETUP, params, FAST, plix.Model.physical(scheme=scheme), DIP,
               plix.Model.physical().replace(grid=(8, 6, 4))]
    for obj in objects:
        assert pickle.loads(pickle.dumps(obj)) == obj, obj
    for d in (dataset, closed):
        copy = pickle.loads(pickle.dumps(plix.Scan([d])))[0]
        for name in ("positions_mm", "transmittance", "sigma", "point_energies_J"):
            a, b = getattr(d, name), getattr(copy, name)
            assert (a is None and b is None) or (np.array_equal(a, b)
                                                 and not b.flags.writeable)
        assert (copy.energy_J, copy.aperture) == (d.energy_J, d.aperture)
    model = pickle.loads(pickle.dumps(DIP))
    p = DIP.make_params(depth=50.0, z0=4.0)
    assert np.array_equal(plix.simulate(SETUP, p, Z, 1e-3, model=model),
                          plix.simulate(SETUP, p, Z, 1e-3, model=DIP))
    job = pickle.loads(pickle.dumps(seed_job(1.0, ftol=1e-8)))
    assert job.options == {"n_starts": 1, "ftol": 1e-8} and job.model == FAST
    result = pickle.loads(pickle.dumps(alone(job)))
    assert_same_fit(result, alone(job))
    failure = plix.FitFailure(3, "ValueError", "no", "Traceback ...")
    assert pickle.loads(pickle.dumps(failure)) == failure


# --------------------------------------------------------------------------- Dask

def test_a_cluster_without_the_extra_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"pip install 'plix-zscan\[dask\]'"):
        plix.fit_many([seed_job(1.0)], client="tcp://127.0.0.1:1")


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        yield cluster


def test_a_cluster_gives_the_single_fits_with_failures_and_warnings(cluster):
    import distributed

    jobs = ([seed_job(f) for f in FACTORS[:3]] + [dip_job()]
            + [dip_job(plix.Model.from_function(broken, ["depth", "z0"]))]
            + [seed_job(1.25, max_nfev=2)])
    with distributed.Client(cluster) as client, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = plix.fit_many(jobs, client=client)
    for k in (0, 1, 2, 3, 5):
        assert_same_fit(results[k], alone(jobs[k]))
    assert results[4].error_type == "RuntimeError" and "in broken" in results[4].traceback
    assert any(str(w.message).startswith("job 5: the fit did not converge") for w in caught)


def test_a_cluster_by_address_cancels(cluster):
    cancelling_batch(client=cluster.scheduler_address)
