"""Ctrl-C during a fit: each case runs in its own interpreter, which sends itself SIGINT
while fit_zscan is busy."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(__file__)

PRELUDE = textwrap.dedent("""
    import array, json, os, signal, sys, threading, time, warnings
    import numpy as np
    from test_fit import case
    from plix_wrapper import fit_zscan

    warnings.simplefilter("ignore", RuntimeWarning)
    x = np.linspace(-20.0, 20.0, 21)

    def long_fit(t_slices=10, z_slices=5):
        # A few seconds of work: three starts of a three-parameter fit.
        return case(x_data=x, y_data=1 - 0.2 * np.exp(-x**2 / 20), num_x_pts=21,
                    t_slices=t_slices, z_slices=z_slices,
                    fit_indices=np.array([0, 2, 4], dtype=np.int32), n_starts=3)

    sent = []

    def interrupt_after(delay):
        def fire():
            time.sleep(delay)
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=fire, daemon=True).start()

    def as_stdlib_arrays(args):
        # array.array refuses to grow while its buffer is exported.
        return {k: array.array("i" if v.dtype == np.int32 else "d", v.tolist())
                if isinstance(v, np.ndarray) else v for k, v in args.items()}

    def released(args):
        for value in args.values():
            if isinstance(value, array.array):
                try:
                    value.append(0)
                except BufferError:
                    return False
        return True
""")


def run_script(body, timeout=120):
    out = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                         capture_output=True, text=True, cwd=HERE, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


def test_ctrl_c_stops_the_fit_within_a_second():
    report = run_script("""
        args = as_stdlib_arrays(long_fit())
        interrupt_after(0.5)
        start = time.perf_counter()
        try:
            fit_zscan(**args)
            outcome = "finished"
        except KeyboardInterrupt:
            outcome = "interrupted"
        stopped = time.perf_counter()
        print(json.dumps(dict(outcome=outcome, latency=stopped - sent[0],
                              ran=stopped - start, released=released(args))))
    """)
    print(f"Ctrl-C latency {report['latency'] * 1e3:.0f} ms after {report['ran']:.2f} s")
    assert report["outcome"] == "interrupted"
    assert report["latency"] < 1.0
    assert report["released"]


def test_a_handler_that_raises_something_else_stops_the_fit_with_it():
    report = run_script("""
        class Stop(Exception):
            pass

        def handler(signum, frame):
            raise Stop("asked to stop")

        signal.signal(signal.SIGINT, handler)
        args = long_fit()
        interrupt_after(0.5)
        try:
            fit_zscan(**args)
            outcome = "finished"
        except Stop as err:
            outcome = str(err)
        print(json.dumps(dict(outcome=outcome, latency=time.perf_counter() - sent[0])))
    """)
    assert report["outcome"] == "asked to stop" and report["latency"] < 1.0


def test_handler_that_does_not_raise_lets_the_fit_finish_unchanged():
    report = run_script("""
        calls = []
        args = long_fit(t_slices=4, z_slices=3)
        reference = fit_zscan(**args)
        signal.signal(signal.SIGINT, lambda signum, frame: calls.append(signum))
        interrupt_after(0.3)
        start = time.perf_counter()
        result = fit_zscan(**args)
        ran = time.perf_counter() - start
        same = (result[0].tobytes() == reference[0].tobytes() and result[1] == reference[1]
                and result[2].tobytes() == reference[2].tobytes())
        print(json.dumps(dict(calls=len(calls), same=same, ran=ran)))
    """)
    assert report["ran"] > 0.3, "the fit ended before the signal came"
    assert report["calls"] == 1 and report["same"]


def test_fit_from_a_signal_handler_during_a_fit_is_refused():
    report = run_script("""
        seen = []

        def handler(signum, frame):
            try:
                fit_zscan(**case())
                seen.append("ran")
            except RuntimeError as err:
                seen.append(str(err))
            raise KeyboardInterrupt

        signal.signal(signal.SIGINT, handler)
        args = long_fit()
        interrupt_after(0.5)
        try:
            fit_zscan(**args)
            outcome = "finished"
        except KeyboardInterrupt:
            outcome = "interrupted"
        after = fit_zscan(**case())  # the thread's engine state is whole again
        print(json.dumps(dict(outcome=outcome, seen=seen, after=float(after[1]))))
    """)
    assert report["outcome"] == "interrupted"
    assert report["seen"] == ["fit_zscan cannot be called from a signal handler that runs "
                              "during a fit in the same thread"]


def test_fit_in_another_thread_is_not_interrupted():
    report = run_script("""
        args = long_fit(t_slices=5, z_slices=3)
        results = []
        worker = threading.Thread(target=lambda: results.append(fit_zscan(**args)))
        start = time.perf_counter()
        worker.start()
        interrupt_after(0.2)
        try:
            while worker.is_alive():
                time.sleep(0.005)
            main = "not interrupted"
        except KeyboardInterrupt:
            main = "interrupted"
            latency = time.perf_counter() - sent[0]
        alive = worker.is_alive()
        worker.join()
        reference = fit_zscan(**args)
        same = (results[0][0].tobytes() == reference[0].tobytes()
                and results[0][1] == reference[1])
        print(json.dumps(dict(main=main, alive=alive, same=same, latency=latency,
                              sent_after=sent[0] - start)))
    """)
    assert report["main"] == "interrupted" and report["latency"] < 1.0
    assert report["alive"], "the worker's fit ended before the signal came"
    assert report["same"]
