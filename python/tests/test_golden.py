# SPDX-License-Identifier: LGPL-2.1-or-later
# The recorded golden outputs, bit for bit: every case, one or two threads of
# the move search, its settings by name, and all cases as one batch.
import numpy as np
import pytest

import veltrax
from conftest import CURVE, GOLDEN_DIR, TYPICAL, assert_same_results

THIRD = ([1], [1, 3, 3, 1])
NOISY = [150, 0.05, 1, 1.5, 2, 2, 0.01, 5, 0.2]
GAUSSIAN = [150, 0.1, 0, 0, 1, 1, 0.02, 10, 0.1, 0]
MODEL = [120, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1]
BODY = ([70, 6.48], [])
T_CUSTOM = [1, -0.8, 0.16]

# The cases of tests/support/golden_cases.hpp: build and the calls in one simulation.
CASES = {
    "v2_linear_two_calls": (2, [(TYPICAL, *THIRD, CURVE)] * 2),
    "v2_uniform_noise_custom_t": (2, [(NOISY, [0.5, 1], [2, 3, 1], [0.45, 0.5, 3.0, 3.5], T_CUSTOM)]),
    "v2_gaussian_first_order_model": (2, [(GAUSSIAN, [1], [1, 2, 1], CURVE)]),
    "v2_model_two_calls": (2, [(MODEL, *BODY, CURVE)] * 2),
    "v2_orders_shrink": (2, [([80, 0.2, 3, 3, 6, 3, 0, 10, 0.1], *THIRD, CURVE),
                             ([80, 0.2, 0, 3, 2, 1, 0, 10, 0.1], *THIRD, CURVE)]),
    "v2_widest_orders": (2, [([100, 0.05, 5, 0, 6, 4, 0.003, 4, 0.25], [2, 1], [1, 4, 6, 4, 1], CURVE, T_CUSTOM)]),
    "v1_linear_two_calls": (1, [(TYPICAL, *THIRD, CURVE)] * 2),
    "v1_model": (1, [(MODEL, *BODY, CURVE)]),
    "v3_linear_two_calls": (3, [(TYPICAL, *THIRD, CURVE)] * 2),
    "v3_model_two_calls": (3, [(MODEL, *BODY, CURVE)] * 2),
}


def golden(name):
    """Per call the five outputs: lines of 'rows cols' and hexadecimal floats."""
    matrices = []
    for line in (GOLDEN_DIR / f"{name}.txt").read_text().splitlines():
        rows, cols, *values = line.split()
        matrices.append(np.array([float.fromhex(v) for v in values]).reshape((int(rows), int(cols)), order="F"))
    return [matrices[k:k + 5] for k in range(0, len(matrices), 5)]


def test_cases_cover_the_golden_files():
    assert set(CASES) == {p.stem for p in GOLDEN_DIR.glob("*.txt")}
    for name, (_, calls) in CASES.items():
        assert len(golden(name)) == len(calls), name


def named(call):
    return veltrax.Settings.from_inputs(*call)


@pytest.mark.parametrize("threads, form", [(1, tuple), (2, tuple), (1, named)], ids=["1", "2", "named"])
@pytest.mark.parametrize("name", sorted(CASES))
def test_calls_reproduce_golden_outputs(name, threads, form):
    build, calls = CASES[name]
    sim = veltrax.Simulation(build)
    for k, (call, want) in enumerate(zip(calls, golden(name))):
        request = form(call)
        result = sim.call(request, threads=threads) if form is named else sim.call(*request, threads=threads)
        assert_same_results(result, want, f"{name} call {k + 1}")


def test_batch_reproduces_golden_outputs():
    names = sorted(CASES)
    rejected = (2, [CASES["v2_linear_two_calls"][1][0], ([30, 0.1, 9, 2, 3, 3, 0, 10, 0.1], *THIRD, CURVE)])
    # Every other job by name.
    given = [(b, [named(c) for c in calls] if k % 2 else calls) for k, (b, calls) in enumerate(CASES[n] for n in names)]
    *jobs, failed = veltrax.run_batch(given + [rejected], threads=2)
    for name, job in zip(names, jobs):
        assert job.ok and len(job.results) == len(CASES[name][1]), name
        for k, (result, want) in enumerate(zip(job.results, golden(name))):
            assert_same_results(result, want, f"{name} call {k + 1} in a batch")
    # A rejected call fails its own job; the calls before it are kept.
    assert failed.error.id == "veltrax:badDeadTime" and len(failed.results) == 1
    assert_same_results(failed.results[0], golden("v2_linear_two_calls")[0])


def test_batch_with_seeds_and_schedules_equals_calls_one_by_one():
    call = {"params": [60, 0.1, 2, 2, 3, 3, 0.02, 10, 0.1], "numerator": [1], "denominator": [1, 3, 3, 1],
            "curve": CURVE}
    ramp = [[0, 0.7], [20, 0.7, "ramp"], [35, 0.9], [50, 0.85, "after"]]
    # Build 3 holds its estimator around the schedule's changes; the second
    # call of the first job keeps the built-in schedule.
    jobs = [(3, [{**call, "setpoint": ramp}, call], 12345), (2, [{**call, "setpoint": [[0, 0.8], [30, 0.6]]}], 7)]
    for (build, calls, seed), job in zip(jobs, veltrax.run_batch(jobs, threads=2)):
        sim = veltrax.Simulation(build, seed=seed)
        assert job.ok and len(job.results) == len(calls)
        for k, (c, got) in enumerate(zip(calls, job.results)):
            want = sim.call(**c)
            assert all(np.array_equal(g, w) for g, w in zip(got, want)), f"build {build} call {k + 1}"
