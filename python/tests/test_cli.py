# SPDX-License-Identifier: LGPL-2.1-or-later
# The command-line tool and the Python module give the same bits and the same
# column names, on the golden cases (three builds, both processes).
import json
import subprocess

import numpy as np
import pytest

import veltrax
from conftest import CLI, assert_same_bits
from test_golden import CASES

pytestmark = pytest.mark.skipif(not CLI.exists(), reason=f"command-line tool not built ({CLI})")
FILES = {"time": "t", "trajectory": "trajectory", "theta": "theta", "search": "search", "sums": "sums"}


def read_csv(path):
    header, *rows = path.read_text().splitlines()
    return tuple(header.split(",")), np.array([[float(v) for v in row.split(",")] for row in rows])


def test_command_line_results_equal_python_results(tmp_path):
    for name, (build, calls) in CASES.items():
        calls = [dict(zip(("params", "numerator", "denominator", "curve", "T"), call)) for call in calls]
        (tmp_path / f"{name}.json").write_text(json.dumps({"build": build, "calls": calls}))
    files = sorted(str(p) for p in tmp_path.glob("*.json"))
    subprocess.run([str(CLI), "batch", *files, "-o", str(tmp_path / "out"), "--threads", "2"], check=True)

    for name, (build, calls) in CASES.items():
        sim = veltrax.Simulation(build)
        for k, call in enumerate(calls, start=1):
            result = sim.call(*call)
            for file, output in FILES.items():
                names, values = read_csv(tmp_path / "out" / name / f"call{k}_{file}.csv")
                where = f"{name} call {k} {file}"
                assert names == result.columns[output], where
                for j, column in enumerate(names):  # sums: one row in the file, floats in Python
                    got = values[0, j] if output == "sums" else values[:, j]
                    assert_same_bits(got, result.column(column), f"{where} {column}")
