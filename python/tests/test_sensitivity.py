# SPDX-License-Identifier: LGPL-2.1-or-later
# veltrax.sensitivity on analytic functions whose indices are known, and the
# errors of bad problems and designs.
import json

import numpy as np
import pytest

import veltrax
from veltrax import sensitivity

from conftest import SOURCE_DIR

ISHIGAMI = {"names": ["x1", "x2", "x3"], "bounds": [[-np.pi, np.pi]] * 3}


def ishigami(x, a=7.0, b=0.1):
    return np.sin(x[:, 0]) + a * np.sin(x[:, 1]) ** 2 + b * x[:, 2] ** 4 * np.sin(x[:, 0])


def ishigami_indices(a=7.0, b=0.1):
    v1 = 0.5 * (1 + b * np.pi**4 / 5) ** 2
    v2 = a**2 / 8
    v13 = b**2 * np.pi**8 * (1 / 18 - 1 / 50)
    v = v1 + v2 + v13
    return np.array([v1, v2, 0]) / v, np.array([v1 + v13, v2, v13]) / v


# The G function: a product of (|4 x - 2| + a) / (1 + a); small a, important input.
G_A = np.array([0.0, 1.0, 4.5, 9.0, 99.0])
G_PROBLEM = {"names": [f"x{i + 1}" for i in range(5)], "bounds": [[0, 1]] * 5}


def g_function(x):
    return np.prod((np.abs(4 * x - 2) + G_A) / (1 + G_A), axis=1)


def g_indices():
    vi = 1 / (3 * (1 + G_A) ** 2)
    v = np.prod(1 + vi) - 1
    return vi / v, vi * np.prod(1 + vi) / (1 + vi) / v


@pytest.mark.parametrize("model, problem, truth", [(ishigami, ISHIGAMI, ishigami_indices()),
                                                   (g_function, G_PROBLEM, g_indices())],
                         ids=["ishigami", "g_function"])
def test_sobol_indices_cover_the_known_values(model, problem, truth):
    r = sensitivity.sobol(model, problem, 4096, seed=3)
    s1, st = truth
    for key, want in (("S1", s1), ("ST", st)):
        got, conf = r[key], r[key + "_conf"]
        assert got.shape == (len(problem["names"]),)
        assert np.all(conf < 0.1), f"{key} intervals too wide to say anything: {conf}"
        assert np.all(np.abs(got - want) <= conf), f"{key} {got} +- {conf} misses {want}"
    assert r.used == 4096 and r.dropped == 0


def test_morris_ranks_the_g_function_inputs_by_importance():
    r = sensitivity.morris(g_function, G_PROBLEM, 60, seed=2)
    assert list(r.names) == G_PROBLEM["names"]
    assert np.all(np.diff(r.mu_star) < 0), r.mu_star
    assert r.mu_star[-1] < 0.02 * r.mu_star[0] and np.all(r.sigma >= 0)


def test_bad_problems_and_designs_name_the_field():
    def message(f):
        with pytest.raises(veltrax.Error) as e:
            f()
        return e.value.id, str(e.value)

    bad = {"names": ["x1", "x2"], "bounds": [[0, 1], [2, 2]]}
    assert message(lambda: sensitivity.sobol(ishigami, bad, 64)) == (
        "veltrax:badDesign", "problem['bounds'][1] (x2): low must be below high, got [2.0, 2.0]")
    assert message(lambda: sensitivity.sobol(ishigami, ISHIGAMI, 8)) == (
        "veltrax:badDesign", "n must be at least 16, got 8")
    assert message(lambda: sensitivity.morris(ishigami, ISHIGAMI, 1)) == (
        "veltrax:badDesign", "trajectories must be at least 2, got 1")
    scenario = json.loads((SOURCE_DIR / "examples" / "populations" / "patients.json").read_text())
    del scenario["population"]
    scenario["sensitivity"] = {"method": "sobol", "samples": 16, "metrics": ["mdape", "overshoot"],
                               "inputs": [{"name": "settings.control_weight", "low": 0.01, "high": 1}]}
    ident, text = message(lambda: veltrax.experiments.Scenario.from_dict("s", scenario))
    assert ident == "veltrax:badDesign"
    assert text.startswith("'sensitivity.metrics' element 2: no metric 'overshoot' in sweep.csv")


def test_tune_chooses_among_the_given_values_and_validates(tmp_path):
    scenario = json.loads((SOURCE_DIR / "examples" / "populations" / "patients.json").read_text())
    scenario["settings"]["samples"] = 40
    scenario["population"]["size"] = 3
    scenario["tune"] = {"settings": [{"name": "settings.control_weight", "values": [0.1, 0.3, 1.0]}],
                        "metric": "iae", "objective": "mean", "validation": {"size": 2}}
    t = veltrax.tune(scenario, tmp_path, threads=2)
    assert t.algorithm == "enumeration" and [s for s, _ in t.history] == [{"settings.control_weight": w}
                                                                        for w in (0.1, 0.3, 1.0)]
    assert t.objective == min(f for _, f in t.history) and t.default_objective == t.history[0][1]
    assert t.default_settings == {"settings.control_weight": 0.1} and set(t.validation) == {"default", "chosen"}
    assert (tmp_path / "tune.json").exists() and veltrax.report(tmp_path, plots=False).ok == 4
