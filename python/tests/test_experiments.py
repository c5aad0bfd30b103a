# SPDX-License-Identifier: LGPL-2.1-or-later
# Schedules, seeds, populations, metrics and the report: the Python package
# gives what the command-line tool gives, bit for bit; sweeps and run
# folders written from Python are the tool's.
import json
import subprocess

import pytest

import veltrax
from veltrax import experiments
from conftest import CLI, CURVE, assert_same_bits
from test_cli import FILES, read_csv

pytestmark = pytest.mark.skipif(not CLI.exists(), reason=f"command-line tool not built ({CLI})")

MODEL_CALL = {"params": [10, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1], "model": {"body_mass": 70, "cardiac_output": 6.48},
              "curve": [50, 0.505, 2.98, 4.0]}
POPULATION = {"size": 5, "seed": 11,
              "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40},
              "cardiac_output": {"dist": "lognormal", "median": 6.5, "sigma": 0.15},
              "plant_hill_midpoint": {"dist": "uniform", "low": 40, "high": 60},
              "dead_time": {"dist": "uniform", "low": 1.5, "high": 8},
              "correlation": {"body_mass,cardiac_output": 0.6}}


def model_call():
    c = dict(MODEL_CALL)
    c["model"] = veltrax.BodyModel(**c["model"])
    return c


def test_schedule_and_seed_equal_the_command_line(tmp_path):
    # The preview-and-hold build: the schedule is read ten samples ahead and
    # the estimator holds around each of its changes.
    ramp = [[0, 0.7], [20, 0.7, "ramp"], [35, 0.9], [50, 0.85, "after"]]
    calls = [{"params": [60, 0.1, 2, 2, 3, 3, 0.02, 10, 0.1]},
             {"params": [30, 0.2, 2, 2, 3, 3, 0.02, 10, 0.1], "setpoint": [[70, 0.6]]}]
    scenario = {"build": 3, "seed": 12345, "numerator": [1], "denominator": [1, 3, 3, 1], "curve": CURVE,
                "setpoint": ramp, "calls": calls}
    (tmp_path / "s.json").write_text(json.dumps(scenario))
    subprocess.run([str(CLI), "run", str(tmp_path / "s.json"), "-o", str(tmp_path / "out")], check=True)
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())

    sim = veltrax.Simulation(3, seed=12345)
    for k, call in enumerate(calls, start=1):
        result = sim.call(call["params"], [1], [1, 3, 3, 1], CURVE, setpoint=call.get("setpoint", ramp))
        for file, output in FILES.items():
            _, values = read_csv(tmp_path / "out" / f"call{k}_{file}.csv")
            assert_same_bits(values, getattr(result, output).reshape(values.shape), f"call {k} {file}")
        cli_metrics = summary["calls"][k - 1]["metrics"]
        m = veltrax.metrics(result)
        assert (m.iae, m.ise, len(m.steps)) == (cli_metrics["iae"], cli_metrics["ise"], len(cli_metrics["steps"]))
        assert m.steps[0].row + 1 == cli_metrics["steps"][0]["row"]
    # Seeding a running simulation restarts its noise only.
    other = veltrax.Simulation(3)
    other.seed_noise(12345)
    assert_same_bits(other.call(calls[0]["params"], [1], [1, 3, 3, 1], CURVE, setpoint=ramp).search,
                     veltrax.Simulation(3, seed=12345).call(calls[0]["params"], [1], [1, 3, 3, 1], CURVE,
                                                            setpoint=ramp).search)
    with pytest.raises(veltrax.Error) as e:
        sim.call(calls[0]["params"], [1], [1, 3, 3, 1], CURVE, setpoint=[[10, 0.8], [5, 0.9]])
    assert e.value.id == "veltrax:badSchedule"
    with pytest.raises(veltrax.Error) as e:
        veltrax.Simulation(2, seed=0)
    assert e.value.id == "veltrax:badSeed"


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sweep")
    (folder / "pop.json").write_text(json.dumps({"build": 2, **MODEL_CALL, "population": POPULATION}))
    subprocess.run([str(CLI), "batch", str(folder / "pop.json"), "-o", str(folder / "out")])
    return folder / "out"


def test_population_individuals_equal_the_command_line(sweep):
    pop = veltrax.Population.from_dict(POPULATION)
    assert len(pop) == 5 and veltrax.Population.from_dict(pop.to_dict()).draw(4) == pop.draw(4)
    ran = 0
    for k in range(1, 6):
        summary = json.loads((sweep / "pop" / f"individual_{k:06d}" / "summary.json").read_text())
        assert pop.draw(k).covariates == summary["individual"]["covariates"]
        if not summary["ok"]:
            with pytest.raises(veltrax.Error) as e:
                pop.inputs(k, model_call())
            assert (e.value.id, str(e.value)) == (summary["error"]["id"], summary["error"]["message"])
            continue
        result = veltrax.Simulation(2).call(**pop.inputs(k, model_call()))
        _, trajectory = read_csv(sweep / "pop" / f"individual_{k:06d}" / "call1_trajectory.csv")
        assert_same_bits(trajectory, result.trajectory, f"individual {k}")
        ran += 1
    assert 0 < ran < 5  # the population has valid and invalid individuals


def test_report_of_a_partial_sweep(sweep):
    missing = sweep / "pop" / "individual_000002"
    subprocess.run(["rm", "-r", str(missing)], check=True)
    r = veltrax.report(sweep, plots=False)
    assert (r.manifest, r.expected, r.ok + r.failed, r.missing, r.missing_count) == (True, 5, 4, ["pop/individual_000002"], 1)
    rows = (sweep / "sweep.csv").read_text().splitlines()
    assert len(rows) == 6 and rows[2].startswith("pop,2,,missing,")
    with pytest.raises(veltrax.Error) as e:
        veltrax.report(sweep / "nowhere")
    assert e.value.id == "veltrax:badSweep"


def test_sweeps_and_run_folders_from_python_equal_the_command_line(tmp_path):
    # A population and a linear scenario in two slices from Python, the same
    # sweep from the tool: the same folders, each reported by the other side.
    (tmp_path / "pop.json").write_text(json.dumps({"build": 2, **MODEL_CALL, "population": POPULATION}))
    (tmp_path / "lin.json").write_text(json.dumps(
        {"build": 3, "params": [25, 0.1, 2, 2, 3, 3, 0.01, 10, 0.1], "numerator": [1], "denominator": [1, 3, 3, 1],
         "curve": CURVE, "seed": 5}))
    files = [str(tmp_path / "pop.json"), str(tmp_path / "lin.json")]
    scenarios = [experiments.Scenario.load(f) for f in files]
    assert experiments.slice_runs(scenarios, "2/2") == [("pop", 1), ("pop", 3), ("pop", 5)]
    for k in (1, 2):
        outcome = experiments.run_sweep(scenarios, tmp_path / "py", shard=(k, 2), threads=2)
        assert outcome.runs == 3 and outcome.written == 3 and not outcome.interrupted
    subprocess.run([str(CLI), "batch", *files, "-o", str(tmp_path / "cli")], capture_output=True)
    subprocess.run(["diff", "-r", str(tmp_path / "py"), str(tmp_path / "cli")], check=True)
    subprocess.run([str(CLI), "report", str(tmp_path / "py"), "--no-plots"], check=True, capture_output=True)
    veltrax.report(tmp_path / "cli", plots=False)
    for f in ("sweep.csv", "report.html"):
        assert (tmp_path / "py" / f).read_bytes() == (tmp_path / "cli" / f).read_bytes(), f

    # A run computed in Python and written as the tool writes `veltrax run`.
    sim = veltrax.Simulation(3, seed=5)
    result = sim.call([25, 0.1, 2, 2, 3, 3, 0.01, 10, 0.1], [1], [1, 3, 3, 1], CURVE)
    experiments.write_run(tmp_path / "written", files[1], [result])
    subprocess.run([str(CLI), "run", files[1], "-o", str(tmp_path / "ran")], check=True, capture_output=True)
    subprocess.run(["diff", "-r", str(tmp_path / "written"), str(tmp_path / "ran")], check=True)
