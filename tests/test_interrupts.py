"""Long work stops on request: Ctrl-C on the main thread (simulate, the physical model's grid
search, a fit), a cancel event for work in another thread, and the command line's exit
status. The interrupted processes run as children that the tests signal."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import plix
from sanitized import within

pytestmark = pytest.mark.skipif(os.name != "posix", reason="signals to a child process")

PRELUDE = textwrap.dedent("""
    import sys, time
    import numpy as np
    import plix
    setup = plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [3.5e23, 0, 0, 0, 0])
    params = plix.Parameters(sigma_12=2e-21, sigma_23=1e-21, sigma_45=8e-21, lifetime_21=2e-9,
                             lifetime_24=2.5e-9, lifetime_32=1e-12, lifetime_41=1e-4,
                             lifetime_54=1e-12)
    z = np.linspace(-10, 10, 11)
""")

WORK = {
    # One curve on a grid far too fine to finish: minutes of work in a few columns.
    "simulate on a fine grid": "plix.simulate(setup, params, z, 1e-6, threads=2, "
                               "model=plix.Model.physical(grid=(8192, 1024, 8), "
                               "max_cells=float('inf')))",
    # The grid search climbing towards a very small accuracy, on many positions.
    "the grid search": "plix.simulate(setup, params, np.linspace(-10, 10, 401), 1e-6, "
                       "threads=2, model=plix.Model.physical(accuracy=1e-9, "
                       "max_cells=float('inf')))",
    # The seed model with LSODA over very many time points.
    "the seed model": "plix.simulate(setup, params, z, 5e-3, threads=1, "
                      "model=plix.Model.seed(t_slices=10**6, max_cells=float('inf')))",
    # A fit whose automatic grid is chosen at a fine accuracy.
    "a fit": "plix.fit(plix.Scan.from_arrays([z], [np.ones(z.size)], [1e-6]), setup, "
             "params.copy().vary('sigma_45'), model=plix.Model.physical(accuracy=1e-7), "
             "threads=2)",
}


def interrupt(code, wait=1.5):
    """Runs `code` in a child, sends SIGINT after `wait` s; returns (seconds from the signal to
    the child's report, the child's stdout)."""
    script = PRELUDE + textwrap.dedent(f"""
        print("working", flush=True)
        try:
            {code}
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted at", time.monotonic(), flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "working"
        time.sleep(wait)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("the work went on after SIGINT")
    assert out.startswith("interrupted at"), (out, err)
    return float(out.split()[2]) - sent


@pytest.mark.parametrize("what", list(WORK))
def test_ctrl_c_stops_long_work_within_a_second(what):
    assert interrupt(WORK[what]) < within(1.0)


def test_a_fit_in_another_thread_is_cancelled_by_its_event():
    setup = plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [3.5e23, 0, 0, 0, 0])
    params = plix.Parameters(sigma_12=2e-21, sigma_23=1e-21, sigma_45=8e-21, lifetime_21=2e-9,
                             lifetime_24=2.5e-9, lifetime_32=1e-12, lifetime_41=1e-4,
                             lifetime_54=1e-12).vary("sigma_45")
    z = np.linspace(-10, 10, 11)
    scan = plix.Scan.from_arrays([z], [np.ones(z.size)], [1e-6])
    event = threading.Event()
    outcome = {}

    def work():
        try:
            plix.fit(scan, setup, params, model=plix.Model.physical(accuracy=1e-7), threads=1,
                     cancel=event)
            outcome["end"] = "finished"
        except plix.Cancelled:
            outcome["end"] = "cancelled"
        outcome["at"] = time.monotonic()

    worker = threading.Thread(target=work)
    worker.start()
    time.sleep(1.0)
    set_at = time.monotonic()
    event.set()
    worker.join(timeout=30)
    assert not worker.is_alive()
    assert outcome["end"] == "cancelled"
    assert outcome["at"] - set_at < within(1.0)


def test_a_set_event_stops_simulate_at_once_and_a_clear_one_does_not():
    setup = plix.Setup(532e-9, 25e-6, 5e-9, 1e-3, [3.5e23, 0, 0, 0, 0])
    params = plix.Parameters(sigma_12=2e-21, sigma_23=1e-21, sigma_45=8e-21, lifetime_21=2e-9,
                             lifetime_24=2.5e-9, lifetime_32=1e-12, lifetime_41=1e-4,
                             lifetime_54=1e-12)
    model = plix.Model.physical(grid=(64, 8, 4))
    event = threading.Event()
    clear = plix.simulate(setup, params, [0.0, 1.0], 1e-6, model=model, cancel=event)
    assert np.all(np.isfinite(clear))
    event.set()
    with pytest.raises(plix.Cancelled):
        plix.simulate(setup, params, [0.0, 1.0], 1e-6, model=model, cancel=event)
    with pytest.raises(TypeError, match="^cancel"):
        plix.simulate(setup, params, [0.0], 1e-6, model=model, cancel=True)


def test_the_command_line_exits_130_with_one_line(tmp_path):
    examples = __import__("pathlib").Path(__file__).resolve().parent.parent / "examples"
    (tmp_path / "slow.toml").write_text(
        (examples / "physical_setup.toml").read_text().replace("accuracy = 3e-4",
                                                               "accuracy = 1e-7"))
    child = subprocess.Popen(
        [sys.executable, "-m", "plix", "fit", str(examples / "physical_sample.csv"), "--setup",
         str(tmp_path / "slow.toml"), "--params", str(examples / "physical_start.toml"),
         "--threads", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        cwd=tmp_path)
    time.sleep(3.0)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    try:
        _, err = child.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("plix fit went on after SIGINT")
    assert time.monotonic() - sent < within(2.0)
    assert child.returncode == 130
    assert err.strip().splitlines()[-1] == "plix: interrupted" and "Traceback" not in err
