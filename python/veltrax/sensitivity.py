# SPDX-License-Identifier: LGPL-2.1-or-later
"""Global sensitivity analysis: Sobol indices and Morris screening.

The designs and estimators are those of ``veltrax report`` for a scenario's
"sensitivity" block; here they also take any Python function. A problem
names the inputs and their ranges::

    >>> import numpy as np
    >>> from veltrax import sensitivity
    >>> problem = {"names": ["x1", "x2", "x3"], "bounds": [[-np.pi, np.pi]] * 3}
    >>> def ishigami(x):
    ...     return np.sin(x[:, 0]) + 7 * np.sin(x[:, 1]) ** 2 + 0.1 * x[:, 2] ** 4 * np.sin(x[:, 0])
    >>> r = sensitivity.sobol(ishigami, problem, 1024)
    >>> [round(s, 1) for s in r.S1]                             # doctest: +SKIP
    [0.3, 0.4, 0.0]

``model`` is called once with an array of shape (runs, inputs), one row per
run in the ranges of ``bounds``, and returns one value per run. Runs whose
value is not finite are left out (as documented for each function).

- ``sobol``: first-order and total indices (Jansen's estimators) on the
  Saltelli design of a scrambled Sobol sequence, n (d + 2) runs;
- ``morris``: elementary effects (mu*, mu, sigma) of r trajectories, r (d + 1) runs;
- ``sample``: the design's points alone, to run a model elsewhere;
- ``analyze``: the indices of a sweep's designs (a scenario's "sensitivity"
  block run by ``veltrax batch``), from its sweep.json and sweep.csv.

Bad problems raise veltrax.Error "veltrax:badDesign" naming the field.
"""

from __future__ import annotations

import json
import numbers
import os
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

from . import _core

__all__ = ["Indices", "analyze", "morris", "sample", "sobol"]

_s = _core.sensitivity

MIN_SOBOL_SAMPLES = _s.MIN_SOBOL_SAMPLES
MIN_MORRIS_TRAJECTORIES = _s.MIN_MORRIS_TRAJECTORIES
MAX_SOBOL_INPUTS = _s.MAX_SOBOL_INPUTS


def _error(message: str):
    from . import Error

    return Error("veltrax:badDesign", message)


class Indices(dict):
    """Indices per input, in the order of ``names``; each key is also an
    attribute (``r.S1`` is ``r["S1"]``), each value a NumPy array.

    A ``*_conf`` value is the half-width of the interval: the estimate plus or
    minus it covers the index with the requested confidence (from the
    standard deviation over bootstrap resamples). ``used`` and ``dropped``
    count the base samples (Sobol) with and without finite values; ``effects``
    the elementary effects per input (Morris)."""

    def __getattr__(self, name: str):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __repr__(self) -> str:
        return f"Indices({dict.__repr__(self)})"


def _whole(value, field: str, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (numbers.Integral, np.integer)):
        raise _error(f"{field} must be a whole number, got {value!r}")
    if value < minimum:
        raise _error(f"{field} must be at least {minimum}, got {value}")
    return int(value)


def _problem(problem: Mapping[str, Any]) -> tuple[list[str], np.ndarray]:
    if not isinstance(problem, Mapping):
        raise _error(f"problem must be a dict with 'names' and 'bounds', got {type(problem).__name__}")
    for key in problem:
        if key not in ("names", "bounds", "num_vars"):
            raise _error(f"problem has an unknown field {key!r} (fields: names, bounds, num_vars)")
    if "names" not in problem or "bounds" not in problem:
        raise _error("problem needs 'names' and 'bounds'")
    names = list(problem["names"])
    if not names or not all(isinstance(n, str) for n in names):
        raise _error("problem['names'] must be a non-empty list of strings")
    if len(set(names)) != len(names):
        raise _error("problem['names'] holds a name twice")
    bounds = problem["bounds"]
    if not isinstance(bounds, Sequence) and not isinstance(bounds, np.ndarray) or len(bounds) != len(names):
        raise _error(f"problem['bounds'] must hold one [low, high] per name: {len(names)}")
    out = np.empty((len(names), 2))
    for i, b in enumerate(bounds):
        try:
            low, high = (float(v) for v in b)
        except (TypeError, ValueError):
            raise _error(f"problem['bounds'][{i}] must be [low, high], got {b!r}") from None
        if not (np.isfinite(low) and np.isfinite(high) and low < high):
            raise _error(f"problem['bounds'][{i}] ({names[i]}): low must be below high, got [{low!r}, {high!r}]")
        out[i] = low, high
    if "num_vars" in problem and problem["num_vars"] != len(names):
        raise _error(f"problem['num_vars'] is {problem['num_vars']!r}, but 'names' has {len(names)}")
    return names, out


def _scaled(unit: np.ndarray, bounds: np.ndarray) -> np.ndarray:
    return bounds[:, 0] + unit * (bounds[:, 1] - bounds[:, 0])


def _levels(levels) -> int:
    levels = _whole(levels, "levels", 2)
    if levels % 2:
        raise _error(f"levels must be even, got {levels}")
    return levels


def sample(problem: Mapping[str, Any], n: int, *, method: str = "sobol", seed: int = 1, levels: int = 4) -> np.ndarray:
    """The points of a design, shape (runs, inputs), in the ranges of ``bounds``.

    method "sobol": n base samples, n (d + 2) runs (A, then A with input i
    from B for each i, then B, for each base sample); "morris": n
    trajectories of d + 1 points on a grid of ``levels`` levels."""
    names, bounds = _problem(problem)
    if method == "sobol":
        unit = _s.sobol_points(_whole(n, "n", MIN_SOBOL_SAMPLES), len(names), _whole(seed, "seed", 1))
    elif method == "morris":
        unit = _s.morris_points(_whole(n, "trajectories", MIN_MORRIS_TRAJECTORIES), len(names), _levels(levels),
                                _whole(seed, "seed", 1))
    else:
        raise _error(f"method must be 'sobol' or 'morris', got {method!r}")
    return _scaled(unit, bounds)


def _outputs(model: Callable, x: np.ndarray) -> np.ndarray:
    y = np.asarray(model(x), dtype=np.float64)
    if y.ndim == 2 and y.shape[1] == 1:
        y = y[:, 0]
    if y.shape != (x.shape[0],):
        raise _error(f"the model must return one value per run: shape ({x.shape[0]},), got {y.shape}")
    return np.ascontiguousarray(y)


def _indices(d: dict, names: list[str]) -> Indices:
    out = Indices(names=names)
    for key, value in d.items():
        out[key] = np.asarray(value) if isinstance(value, list) else value
    return out


def sobol(model: Callable[[np.ndarray], Any], problem: Mapping[str, Any], n: int, *, seed: int = 1,
          bootstrap: int = 1000, confidence: float = 0.95) -> Indices:
    """First-order and total Sobol indices of ``model`` over ``problem``:
    ``S1``, ``ST``, ``S1_conf``, ``ST_conf``, one value per input.

    n          base samples (at least 16; powers of two balance the sequence best)
    seed       of the scrambling and of the bootstrap
    bootstrap  resamples for the intervals (0: none, NaN)

    A base sample with a value that is not finite is left out whole
    (``dropped``); with fewer than two left, or outputs that do not vary,
    the indices are NaN."""
    names, bounds = _problem(problem)
    n = _whole(n, "n", MIN_SOBOL_SAMPLES)
    seed = _whole(seed, "seed", 1)
    x = _scaled(_s.sobol_points(n, len(names), seed), bounds)
    r = _s.sobol(_outputs(model, x), n, len(names), _whole(bootstrap, "bootstrap", 0), float(confidence), seed)
    return _indices(r, names)


def morris(model: Callable[[np.ndarray], Any], problem: Mapping[str, Any], trajectories: int, *, levels: int = 4,
           seed: int = 1, bootstrap: int = 1000, confidence: float = 0.95) -> Indices:
    """Morris elementary effects of ``model`` over ``problem``: ``mu_star``
    (mean absolute effect), ``mu`` (mean), ``sigma`` (standard deviation) and
    ``mu_star_conf``, one value per input; an effect is the change of the
    output per full range of the input (the step in the unit cube).

    trajectories  at least 2; levels  of the grid, even (default 4)

    An effect whose two values are not both finite is left out (``effects``
    counts those kept)."""
    names, bounds = _problem(problem)
    r = _whole(trajectories, "trajectories", MIN_MORRIS_TRAJECTORIES)
    levels = _levels(levels)
    seed = _whole(seed, "seed", 1)
    x = _scaled(_s.morris_points(r, len(names), levels, seed), bounds)
    out = _s.morris(_outputs(model, x), r, len(names), levels, seed, _whole(bootstrap, "bootstrap", 0),
                    float(confidence))
    return _indices(out, names)


def analyze(outdir: str | os.PathLike) -> dict[str, dict[str, Indices]]:
    """The indices of the sensitivity designs of a sweep folder, from its
    sweep.json and the sweep.csv that ``veltrax report`` (or veltrax.report)
    writes: {scenario: {metric: Indices}}. Each Indices also holds the
    design (``design``, as written in sweep.json) and ``ok``, the runs of the
    design that sweep.csv holds as ok."""
    out: dict[str, dict[str, Indices]] = {}
    for a in _s.analyze(os.fspath(outdir)):
        design = json.loads(a["design"])
        names = [i["name"] for i in design["inputs"]]
        out[a["scenario"]] = {}
        for metric, values in a["metrics"].items():
            r = _indices(values, names)
            r["design"] = design
            r["ok"] = a["ok"]
            out[a["scenario"]][metric] = r
    return out
