# SPDX-License-Identifier: LGPL-2.1-or-later
# The Python side of a call: how inputs reach the simulation, rejected calls,
# branching, threads and the interpreter lock, the matrix product.
import copy
import pickle
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import veltrax
from conftest import CURVE, THIRD_ORDER, assert_same_bits, assert_same_results

SHORT = [30, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1]
LONG = [2400, 0.1, 4, 2, 3, 3, 0, 10, 0.1]  # a call of well over 0.2 s on the fastest search path


def fresh(*args, build=2, **kwargs):
    return veltrax.Simulation(build).call(*args, **kwargs)


def test_inputs_reach_the_simulation_as_plugin_matrices():
    reference = fresh(np.array([SHORT]), np.array([[1.0]]), np.array([[1.0, 3, 3, 1]]), np.array([CURVE]))
    assert_same_results(fresh(tuple(SHORT), 1, np.array([1, 3, 3, 1]), np.array(CURVE)), reference)
    # Ten parameters in a row (1-D too) select Gaussian noise; in a column
    # they do not, and the tenth is not read.
    row10 = fresh(SHORT + [0], **THIRD_ORDER, curve=CURVE)
    assert_same_results(row10, fresh(np.array([SHORT + [0]]), **THIRD_ORDER, curve=CURVE))
    column10 = fresh(np.array(SHORT + [5]).reshape(10, 1), **THIRD_ORDER, curve=CURVE)
    assert_same_results(column10, fresh(SHORT, **THIRD_ORDER, curve=CURVE))
    assert row10.info.gaussian_noise and not np.array_equal(row10.y, column10.y)
    # The built-in model by name or by the empty denominator.
    assert_same_results(fresh(SHORT, curve=CURVE, model=veltrax.BodyModel(70, 6.48)), fresh(SHORT, [70, 6.48], [], CURVE))


REJECTED = [
    ("veltrax:badOrder", "a_order (parameter 5) must be between 0 and 6, got 7",
     lambda sim: sim.call([30, 0.1, 4, 2, 7, 3, 0, 10, 0.1], **THIRD_ORDER, curve=CURVE)),
    ("veltrax:notEnoughInputs", "needs at least 4 inputs (parameter vector, numerator, denominator, curve parameters), got 3",
     lambda sim: sim.call(SHORT, **THIRD_ORDER)),
    ("veltrax:badInputType", "input 3 (denominator) must be a matrix of real numbers, got complex128",
     lambda sim: sim.call(SHORT, [1], [1, 3j, 3, 1], CURVE)),
    ("matprod:dimensionMismatch", "inner dimensions must agree: A has 2 columns, B has 3 rows",
     lambda sim: veltrax.matprod(np.ones((2, 2)), np.ones((3, 1)))),
]


@pytest.mark.parametrize("id, message, reject", REJECTED, ids=[r[0] for r in REJECTED])
def test_rejected_call_raises_plugin_error_and_leaves_state(id, message, reject):
    sim = veltrax.Simulation()
    sim.call(SHORT, **THIRD_ORDER, curve=CURVE)
    untouched = copy.copy(sim)
    with pytest.raises(ValueError) as caught:
        reject(sim)
    again = pickle.loads(pickle.dumps(caught.value))
    assert (type(again), again.id, str(again)) == (veltrax.Error, id, message)
    assert_same_results(sim.call(SHORT, **THIRD_ORDER, curve=CURVE), untouched.call(SHORT, **THIRD_ORDER, curve=CURVE))


def test_copies_branch_the_simulation():
    sim = veltrax.Simulation(veltrax.Build.PREVIEW)
    sim.call(SHORT, **THIRD_ORDER, curve=CURVE)
    branches = [copy.copy(sim), copy.deepcopy(sim)]
    for _ in range(2):  # the second time the original went on alone
        want = sim.call(SHORT, **THIRD_ORDER, curve=CURVE)
        for branch in branches:
            assert_same_results(branch.call(SHORT, **THIRD_ORDER, curve=CURVE), want)
        branches = branches[:1]


def long_run(kind, params=LONG, sim=None):
    if kind == "call":
        return (sim or veltrax.Simulation()).call(params, **THIRD_ORDER, curve=CURVE, threads=1)
    return veltrax.run_batch([(2, [(params, [1], [1, 3, 3, 1], CURVE)])] * 2, threads=1)


def test_calls_into_one_simulation_from_two_threads_run_one_at_a_time():
    alone, sim, got = veltrax.Simulation(), veltrax.Simulation(), []
    want = [long_run("call", sim=alone) for _ in range(2)]
    threads = [threading.Thread(target=lambda: got.append(long_run("call", sim=sim))) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for g, w in zip(sorted(got, key=lambda r: r.t[0, 0]), want):
        assert_same_results(g, w)


@pytest.mark.parametrize("kind", ["call", "batch"])
def test_interpreter_lock_is_released_while_the_simulation_runs(kind):
    worker = threading.Thread(target=long_run, args=(kind,))
    ticks = [time.monotonic()]
    worker.start()
    while worker.is_alive():
        time.sleep(0.001)
        ticks.append(time.monotonic())
    duration, longest_wait = ticks[-1] - ticks[0], np.diff(ticks).max()
    assert duration > 0.2 and longest_wait < duration / 2, f"main thread stood {longest_wait:.3f} s of {duration:.3f} s"


def test_matprod_multiplies_as_the_plugin():
    assert_same_bits(veltrax.matprod(np.arange(6.0).reshape(2, 3), [[1, 0], [0, 1], [1, 1]]), [[2, 3], [8, 9]])
    assert_same_bits(veltrax.matprod([1, 2, 3], [[1], [1], [1]]), [[6]])  # 1-D is a row


def test_pickled_simulation_continues_bit_for_bit_in_another_process():
    sim = veltrax.Simulation(veltrax.Build.PREVIEW_HOLD)
    sim.call(SHORT, [70, 6.48], [], CURVE)
    child = subprocess.run(
        [sys.executable, "-c", "import pickle, sys; sim = pickle.load(sys.stdin.buffer); "
         f"pickle.dump(list(sim.call({SHORT}, [70, 6.48], [], {CURVE})), sys.stdout.buffer)"],
        input=pickle.dumps(sim), capture_output=True, check=True)
    restored = pickle.loads(pickle.dumps(sim))
    want = sim.call(SHORT, [70, 6.48], [], CURVE)
    assert_same_results(pickle.loads(child.stdout), want)
    assert_same_results(restored.call(SHORT, [70, 6.48], [], CURVE), want)


def test_interpreter_exits_cleanly_while_daemon_threads_run():
    script = (
        "import threading, time, veltrax\n"
        f"p = [200_000, 0.1, 4, 2, 3, 3, 0, 10, 0.1]; curve = {CURVE}\n"
        "threading.Thread(target=lambda: veltrax.Simulation().call(p, [1], [1, 3, 3, 1], curve), daemon=True).start()\n"
        "threading.Thread(target=lambda: veltrax.run_batch([(2, [(p, [1], [1, 3, 3, 1], curve)])] * 2), daemon=True).start()\n"
        "time.sleep(0.5)\n")
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stderr) == (0, ""), "the runs in daemon threads are abandoned at exit"


@pytest.mark.parametrize("kind", ["call", "batch"])
def test_ctrl_c_stops_a_run_and_leaves_state(kind):
    import _thread
    sim = veltrax.Simulation()
    sim.call(SHORT, **THIRD_ORDER, curve=CURVE)
    untouched = copy.copy(sim)
    signalled = []

    def ctrl_c():
        signalled.append(time.monotonic())
        _thread.interrupt_main()

    threading.Timer(0.3, ctrl_c).start()
    with pytest.raises(KeyboardInterrupt):
        long_run(kind, [1_000_000, 0.1, 4, 2, 3, 3, 0, 10, 0.1], sim)
    # From the signal to the error, on one clock: within a second, also on a
    # busy machine; the whole run would take minutes.
    latency = time.monotonic() - signalled[0]
    assert latency < 1, f"the run ended {latency:.2f} s after Ctrl-C"
    assert_same_results(sim.call(SHORT, **THIRD_ORDER, curve=CURVE), untouched.call(SHORT, **THIRD_ORDER, curve=CURVE))
