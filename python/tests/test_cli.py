# The command-line tool and the Python module give the same bits and the same
# column names, for the three builds on a transfer function and on the
# built-in model.
import json
import subprocess

import numpy as np
import pytest

import veltrax
from conftest import CLI, CURVE, assert_same_bits

pytestmark = pytest.mark.skipif(not CLI.exists(), reason=f"command-line tool not built ({CLI})")

# Two calls in one simulation; the second of the linear runs has Gaussian
# noise (a row of 10) and its own filter T.
LINEAR = [
    {"params": [120, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1], "numerator": [0.5, 1], "denominator": [1, 3, 3, 1]},
    {"params": [120, 0.3, 2, 2, 2, 2, 0.01, 10, 0.1, 0], "numerator": [0.5, 1], "denominator": [1, 3, 3, 1],
     "T": [1, -0.8, 0.16]},
]
MODEL = [
    {"params": [60, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1], "model": {"body_mass": 70, "cardiac_output": 6.48}},
    {"params": [60, 0.2, 2, 0, 3, 2, 0.005, 10, 0.1], "numerator": [80, 5.5], "denominator": []},
]
SCENARIOS = {f"b{build}_{name}": (build, calls) for build in (1, 2, 3) for name, calls in (("linear", LINEAR),
                                                                                            ("model", MODEL))}
FILES = {"time": "t", "trajectory": "trajectory", "theta": "theta", "search": "search", "sums": "sums"}


def read_csv(path):
    header, *rows = path.read_text().splitlines()
    names = header.split(",") if header else []
    values = np.array([[float(v) for v in row.split(",")] if row else [] for row in rows]).reshape(len(rows), -1)
    return tuple(names), values


def python_results(build, calls):
    sim = veltrax.Simulation(build)
    results = []
    for call in calls:
        args = dict(call, curve=CURVE)
        if "model" in args:
            args["model"] = veltrax.BodyModel(**args["model"])
        results.append(sim.call(**args))
    return results


def test_command_line_results_equal_python_results(tmp_path):
    for name, (build, calls) in SCENARIOS.items():
        scenario = {"build": build, "curve": CURVE, "calls": calls}
        (tmp_path / f"{name}.json").write_text(json.dumps(scenario))
    files = sorted(str(p) for p in tmp_path.glob("*.json"))
    subprocess.run([str(CLI), "batch", *files, "-o", str(tmp_path / "out"), "--threads", "2"], check=True)

    for name, (build, calls) in SCENARIOS.items():
        for k, result in enumerate(python_results(build, calls), start=1):
            for file, output in FILES.items():
                names, values = read_csv(tmp_path / "out" / name / f"call{k}_{file}.csv")
                want = getattr(result, output)
                if output == "sums":
                    want = want.T  # one row in the file
                where = f"{name} call {k} {file}"
                assert names == result.columns[output], where
                assert_same_bits(values, want, where)
