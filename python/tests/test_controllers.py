# SPDX-License-Identifier: LGPL-2.1-or-later
# The plant on its own, controllers of the user's and paired comparisons.
import copy
import pickle

import numpy as np
import pytest

import veltrax
from veltrax import experiments
from conftest import assert_same_bits

SHORT = veltrax.Settings(samples=60, noise=veltrax.Noise("gaussian", 0.02))
MODEL = veltrax.Settings(samples=40, dead_time=2, noise=veltrax.Noise("uniform", 0.005),
                         process=veltrax.BodyModel(63, 5.9), curve=veltrax.Curve(50, 0.505, 2.98, 4.0))
RAMP = [[0, 0.5], [10, 0.5, "ramp"], [20, 0.8], [30, 0.6, "after"]]
POPULATION = {"size": 3, "seed": 5, "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40},
              "dead_time": {"dist": "uniform", "low": 1.5, "high": 3.5}}


@pytest.mark.parametrize("settings", [SHORT, MODEL], ids=["linear", "model"])
def test_plant_replays_the_measurements_of_a_closed_loop(settings):
    r = veltrax.Simulation(2, seed=9).call(settings, setpoint=RAMP)
    plant = veltrax.Plant(settings, seed=9, setpoint=RAMP)
    y, t, r_seen = [plant.measured], [plant.time], [plant.setpoint]
    for u in r.u[:-1]:
        y.append(plant.step(u))
        t.append(plant.time)
        r_seen.append(plant.setpoint)
    assert_same_bits(y, r.y, "y")
    assert_same_bits(t, r.t[:, 0], "t")
    assert_same_bits(r_seen, r.setpoint, "set-point")


def test_plant_refuses_bad_controls_and_snapshots_and_continues_as_before():
    plant = veltrax.Plant(MODEL, seed=3)
    plant.step(0.4)
    twin = copy.copy(plant)
    for bad in (float("nan"), "0.5", True, [0.1, 0.2]):
        with pytest.raises(veltrax.Error) as e:
            plant.step(bad)
        assert e.value.id == "veltrax:badControl"
    with pytest.raises(veltrax.Error, match="a simulation's snapshot, not a plant's"):
        plant.load_state(veltrax.Simulation().save_state())
    restored = pickle.loads(pickle.dumps(plant))
    for u in (0.0, np.float32(0.7), np.array([3.0])):
        want = twin.step(u)
        assert_same_bits([plant.step(u), restored.step(u)], [want, want])
    assert plant.control == 2.0  # limited to u_max
    assert plant.reset() == veltrax.Plant(MODEL, seed=3).measured


def test_callable_controller_failures_leave_the_simulation_as_it_was():
    def controller(o):
        if o.time >= 90 and not controller.failed:
            controller.failed = True
            return 1 / 0
        return 0.5 * o.preview[-1] + 0.1 * (o.setpoint - o.measured)

    controller.failed = False
    sim = veltrax.Simulation(seed=4, controller=controller)
    sim.call(SHORT)
    untouched = copy.copy(sim)
    with pytest.raises(ZeroDivisionError):
        sim.call(SHORT)
    assert_same_bits(sim.call(SHORT).trajectory, untouched.call(SHORT).trajectory, "after the failure")
    for returned in ("0.5", None, np.bool_(True)):
        with pytest.raises(veltrax.Error) as e:
            veltrax.Simulation(controller=lambda o, r=returned: r).call(SHORT)
        assert e.value.id == "veltrax:badControl"
    with pytest.raises(veltrax.Error, match="no snapshot"):
        sim.save_state()


def test_compare_pairs_the_tools_sweep_and_report(tmp_path):
    # The same comparison from Python and as a scenario swept in two shards:
    # the same run folders' metrics, the same comparison.csv.
    pid = veltrax.Pid(kp=0.6, ki=0.08, kd=0.3, anti_windup="clamping")
    settings = veltrax.Settings(samples=40, dead_time=2, u_max=2, process=veltrax.BodyModel(70, 6.48),
                                noise=veltrax.Noise("uniform", 0.002), curve=veltrax.Curve(50, 0.505, 2.98, 4.0))
    cmp = veltrax.compare({"veltrax2": 2, "pid": pid}, settings, population=POPULATION, seed=7, setpoint=RAMP,
                          outdir=tmp_path / "python", name="cmp", threads=2)
    assert cmp.reference == "veltrax2" and cmp.individuals == (1, 2, 3)
    iae = cmp.values("iae")
    for k in range(3):
        assert iae["pid"][k] == veltrax.metrics(cmp.results["pid"][k]).iae
    m = cmp.metrics["iae"]
    assert m.contested == 3 and sum(m.wins.values()) <= 3
    assert m.differences["pid"].p50 == np.percentile(iae["pid"] - iae["veltrax2"], 50)

    scenario = experiments._scenario_dict(settings, setpoint=RAMP, seed=7,
                                          population=veltrax.Population(POPULATION), controller=None)
    del scenario["build"]
    scenario["controllers"] = [{"kind": "adaptive", "build": 2}, {**pid._to_core(), "name": "pid"}]
    s = experiments.Scenario.from_dict("cmp", scenario)
    for k in (1, 2):
        experiments.run_sweep([s], tmp_path / "tool", shard=(k, 2), threads=2)
    for out in ("python", "tool"):
        assert veltrax.report(tmp_path / out, plots=False).ok == 6
    assert (tmp_path / "python" / "comparison.csv").read_bytes() == (tmp_path / "tool" / "comparison.csv").read_bytes()
