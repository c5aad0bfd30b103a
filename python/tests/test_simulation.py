# SPDX-License-Identifier: LGPL-2.1-or-later
# The Python side of a call: how settings and inputs reach the simulation,
# rejected calls, branching, snapshots, threads and the interpreter lock, the
# matrix product, the build information.
import copy
import pickle
import re
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import veltrax
from conftest import CURVE, GOLDEN_DIR, THIRD_ORDER, assert_same_bits, assert_same_results

SHORT = [30, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1]
LONG = [2400, 0.1, 4, 2, 3, 3, 0, 10, 0.1]


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


def test_settings_by_name_give_the_bits_of_the_positional_inputs():
    positional = fresh([300, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1, 0], [1], [1, 3, 3, 1], CURVE)
    by_name = fresh(samples=300, control_weight=0.1, dead_time=4, u_max=2, a_order=3, b_order=3,
                    noise={"kind": "gaussian", "amplitude": 0.01}, rk4_steps=10, rk4_step=0.1,
                    process=veltrax.TransferFunction([1], [1, 3, 3, 1]),
                    curve=veltrax.Curve(plant_midpoint=0.404, midpoint=0.505, plant_exponent=2.98, exponent=4.0))
    assert_same_results(by_name, positional)
    settings = veltrax.Settings.from_inputs([300, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1, 0], [1], [1, 3, 3, 1], CURVE)
    assert settings == veltrax.Settings(noise=veltrax.Noise("gaussian", 0.01)) and by_name.info.gaussian_noise
    # A Settings with fields replaced; the built-in model as process= or model=.
    model = fresh([30, 0.1, 4, 2, 3, 3, 0, 10, 0.1], [70, 6.48], [], [50, 0.505, 2.98, 4])
    assert_same_results(fresh(settings, samples=30, noise=veltrax.Noise(), curve=[50, 0.505, 2.98, 4],
                              process={"body_mass": 70, "cardiac_output": 6.48}), model)
    assert_same_results(fresh(samples=30, curve=[50, 0.505, 2.98, 4], model=veltrax.BodyModel(70, 6.48)), model)
    with pytest.raises(TypeError, match="dead_time given by name beside the positional inputs"):
        fresh(SHORT, **THIRD_ORDER, curve=CURVE, dead_time=2)


POPULATION = {"size": 5, "seed": 1, "dead_time": {"dist": "uniform", "low": 1, "high": 3}}
REJECTED = [
    ("veltrax:badDeadTime", "settings.dead_time must not be negative, got -1",
     lambda sim: sim.call(samples=30, dead_time=-1)),
    ("veltrax:notAnInteger", "settings.a_order must be an integer, got 2.5",
     lambda sim: sim.call(samples=30, a_order=2.5)),
    ("veltrax:badThreadCount", "threads must be an integer from 0 (the default) to 4294967295, got -1",
     lambda sim: sim.call(SHORT, **THIRD_ORDER, curve=CURVE, threads=-1)),
    ("veltrax:badThreadCount", "threads must be an integer from 0 (the default) to 4294967295, got 1099511627776",
     lambda sim: veltrax.run_batch([(2, [(SHORT, [1], [1, 3, 3, 1], CURVE)])], threads=2**40)),
    ("veltrax:badPopulation", "individual -1 is outside the population 1 .. 5",
     lambda sim: veltrax.Population(POPULATION).draw(-1)),
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
    # With the interpreter's thread switches put off beyond the test, the
    # counting thread runs only while this one waits outside the interpreter:
    # during a call, if the call released the lock.
    count, stop = [0], threading.Event()

    def counting():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0.0002)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(300)
    counter = threading.Thread(target=counting)
    try:
        counter.start()
        for _ in range(20):  # a machine may be too busy to run the counter during one call
            before = count[0]
            long_run(kind)
            if count[0] > before:
                break
        else:
            pytest.fail("no other thread ran while the simulation ran")
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        counter.join()


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


def test_snapshots_are_the_bytes_of_the_plugins_and_the_tool():
    # Written by veltrax3's getstate after two calls; loading and saving it
    # gives its bytes back, also given as the uint8 vector of a plug-in.
    written = (GOLDEN_DIR / "v3_snapshot_format1.bin").read_bytes()
    sim = veltrax.load_state(written)
    assert sim.build == veltrax.Build.PREVIEW_HOLD and sim.save_state() == written
    want = sim.call(SHORT, **THIRD_ORDER, curve=CURVE)
    sim.load_state(np.frombuffer(written, dtype=np.uint8).reshape(1, -1))
    assert_same_results(sim.call(SHORT, **THIRD_ORDER, curve=CURVE), want)
    with pytest.raises(veltrax.Error, match="belongs to veltrax3, not to veltrax2"):
        veltrax.Simulation(2).load_state(written)


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


def test_build_info_names_the_power_path_and_why():
    info = veltrax.build_info()
    assert re.fullmatch(r"power: (avx512|avx2|scalar)[^()]* \(.+\)", info), info
