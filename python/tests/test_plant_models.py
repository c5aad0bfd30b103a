# SPDX-License-Identifier: LGPL-2.1-or-later
"""Plant models from Python: the keyword objects and the blocks of scenario
files give the same run, and the models act on a Plant and on a call."""

import pickle

import pytest

import veltrax


def test_keyword_objects_and_dicts_agree_and_act():
    models = {"disturbances": [veltrax.Disturbance("step", start=3, amplitude=0.1)],
              "sensor": veltrax.Sensor(delay=1)}
    as_dicts = {"disturbances": [{"kind": "step", "start": 3, "amplitude": 0.1}], "sensor": {"delay": 1}}
    plain = veltrax.Plant(dead_time=0)
    a = veltrax.Plant(dead_time=0, **models)
    b = veltrax.Plant(dead_time=0, **as_dicts)
    ys = [plain.measured] + [plain.step(0.6) for _ in range(5)]
    ya = [a.measured] + [a.step(0.6) for _ in range(5)]
    yb = [b.measured] + [b.step(0.6) for _ in range(5)]
    assert ya == yb
    # one sample period late; the disturbance from t = 3, read at t = 4
    assert ya[:4] == [ys[0], ys[0], ys[1], ys[2]]
    assert ya[4] == ys[3] + 0.1
    assert a.disturbance == 0.1


def test_call_with_models_and_without_them():
    sim, same, moved = veltrax.Simulation(2), veltrax.Simulation(2), veltrax.Simulation(2)
    r = sim.call(samples=30)
    assert (same.call(samples=30, sensor=veltrax.Sensor()).y == r.y).all()
    pump = moved.call(samples=30, actuator=veltrax.Actuator(rate_limit=0.1, boluses=[(5, 1.0)]))
    assert abs(pump.u[1:] - pump.u[:-1]).max() <= 0.1 + 1e-12


def test_bad_models_raise_by_name():
    with pytest.raises(veltrax.Error) as e:
        veltrax.Plant(sensor=veltrax.Sensor(dropout_probability=2))
    assert e.value.id == "veltrax:badPlantModels"
    with pytest.raises(veltrax.Error) as e:
        veltrax.Plant(changes=[veltrax.Change(10, cardiac_output_factor=0.7)])  # a transfer function
    assert e.value.id == "veltrax:badPlantModels"


def test_plant_with_models_pickles_and_continues():
    plant = veltrax.Plant(dead_time=0, seed=3, sensor=veltrax.Sensor(time_constant=2, delay=2, artefact_probability=0.3,
                                                                     artefact_amplitude=0.1))
    for _ in range(7):
        plant.step(0.5)
    again = pickle.loads(pickle.dumps(plant))
    assert [again.step(0.4) for _ in range(6)] == [plant.step(0.4) for _ in range(6)]
    with pytest.raises(veltrax.Error) as e:
        veltrax.Plant(dead_time=0, seed=3).load_state(plant.save_state())
    assert e.value.id == "veltrax:badSnapshot"


def test_batch_jobs_take_plant_models_as_calls_do():
    models = {"disturbances": [veltrax.Disturbance("stimulation", start=8, amplitude=0.05)],
              "sensor": veltrax.Sensor(time_constant=2, artefact_probability=0.3, artefact_amplitude=0.05),
              "draw_seed": 7, "individual": 3}
    sim = veltrax.Simulation(2, seed=5)
    alone = [sim.call(samples=20, **models), sim.call(samples=20, **models)]
    # the second call continues the first one's models, as on the simulation
    job, = veltrax.run_batch([(2, [dict(samples=20, **models),
                                   veltrax.Call(settings=veltrax.Settings(samples=20), **models)], 5)], threads=2)
    assert job.ok
    for a, b in zip(alone, job.results):
        assert (a.y == b.y).all() and (a.u == b.u).all()
    assert len(veltrax.metrics(job.results[0]).disturbances) == 1
    with pytest.raises(veltrax.Error) as e:
        veltrax.run_batch([(2, [dict(samples=20, draw_seed=-1)])])
    assert e.value.id == "veltrax:badSeed"
