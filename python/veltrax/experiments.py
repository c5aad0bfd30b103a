# SPDX-License-Identifier: LGPL-2.1-or-later
"""Scenarios, run folders and sweeps, with the command-line tool's own code.

A sweep started here is reported by ``veltrax report`` (or
``veltrax.report``), and a sweep of ``veltrax batch`` continues here: both
write the same run folders, bit for bit, and slice a sharded sweep by the
same rule.

    >>> from veltrax import experiments
    >>> s = experiments.Scenario.load("sweep/weight_0.2.json")  # doctest: +SKIP
    >>> experiments.run_sweep([s], "results", shard=(1, 2))    # doctest: +SKIP
    >>> experiments.run_sweep([s], "results", shard=(2, 2))    # doctest: +SKIP
    >>> veltrax.report("results")                              # doctest: +SKIP

Scenarios are written as in scenario files (docs/cli.md): named settings or
the plug-ins' positional inputs, a set-point schedule, a noise seed, a
population. Bad scenarios, folders and snapshots raise veltrax.Error with the
tool's identifiers.
"""

from __future__ import annotations

import dataclasses
import json
import os
from collections.abc import Iterable, Mapping
from typing import Any, NamedTuple

import numpy as np

from . import _core

__all__ = ["RunSummary", "Scenario", "SweepOutcome", "run", "run_sweep", "slice_runs", "write_run"]

_x = _core.experiments


def _json_value(value):
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return value.tolist()
    raise TypeError(f"a scenario cannot hold {type(value).__name__}")


class Scenario:
    """One scenario file: the calls of one simulation, and a population if it
    has one. ``name`` is its result folder in a sweep (the file name without
    extension)."""

    __slots__ = ("_core",)

    def __init__(self, core) -> None:
        self._core = core

    @classmethod
    def load(cls, path: str | os.PathLike) -> Scenario:
        """Reads a scenario file as ``veltrax run`` does."""
        return cls(_x.Scenario.load(os.fspath(path)))

    @classmethod
    def from_dict(cls, name: str, scenario: Mapping[str, Any]) -> Scenario:
        """A scenario written as a dict, as a scenario file NAME.json would hold it."""
        try:
            text = json.dumps(dict(scenario), allow_nan=False, default=_json_value)
        except (TypeError, ValueError) as e:
            raise _core_error("veltrax:badScenario", f"{name}: {e}") from None
        return cls(_x.Scenario.parse(text, f"{name}.json"))

    @classmethod
    def from_json(cls, name: str, text: str) -> Scenario:
        """A scenario written as JSON text (a key given twice is an error)."""
        return cls(_x.Scenario.parse(text, f"{name}.json"))

    @property
    def name(self) -> str:
        return self._core.name

    @property
    def path(self) -> str:
        return self._core.path

    @property
    def build(self) -> int:
        return self._core.build

    @property
    def calls(self) -> int:
        """Number of calls in one run."""
        return self._core.calls

    @property
    def runs(self) -> int:
        """Runs in a sweep: 1, or the size of its population."""
        return self._core.runs

    def __repr__(self) -> str:
        return f"<veltrax.experiments.Scenario {self.name!r} build={self.build} runs={self.runs}>"


def _scenarios(scenarios: Iterable[Scenario | str | os.PathLike]) -> list:
    return [(s if isinstance(s, Scenario) else Scenario.load(s))._core for s in scenarios]


def _shard(shard) -> tuple[int, int]:
    if isinstance(shard, str):
        k, _, n = shard.partition("/")
        if not (k.isdigit() and n.isdigit()):
            raise _core_error("veltrax:badArguments", f"shard: K/N needs whole numbers 1 <= K <= N, got {shard!r}")
        return int(k), int(n)
    k, n = shard
    return int(k), int(n)


def _core_error(id: str, message: str):
    from . import Error

    return Error(id, message)


def _state(initial_state) -> bytes:
    if initial_state is None:
        return b""
    if isinstance(initial_state, (str, os.PathLike)):
        with open(initial_state, "rb") as f:
            return f.read()
    return bytes(initial_state)


class RunSummary(NamedTuple):
    """What one run did; its run folder holds the rest."""

    ok: bool
    calls: int  #: calls that ran
    error: tuple[int, str, str] | None  #: (call, id, message) of the failure; call 0: the individual did not run


def run(scenario: Scenario | str | os.PathLike, folder: str | os.PathLike, *, individual: int | None = None,
        threads: int = 0, initial_state: bytes | str | os.PathLike | None = None) -> RunSummary:
    """Runs the scenario (or individual `individual` of its population) in one
    simulation and writes its run folder, as ``veltrax run SCENARIO -o FOLDER
    [--individual K] [--load-state FILE]`` does.

    initial_state  a snapshot (bytes, or a snapshot file) to start from
    """
    (core,) = _scenarios([scenario])
    return RunSummary(*_x.run(core, os.fspath(folder), int(individual or 0), int(threads), _state(initial_state)))


def write_run(folder: str | os.PathLike, scenario: Scenario | str | os.PathLike, results, *,
              individual: int | None = None, error: tuple[str, str] | Exception | None = None) -> None:
    """Writes the run folder of results computed elsewhere (by Simulation.call,
    say) for the calls of `scenario`, in order: the same files, with the same
    metrics, as the tool writes for that run.

    results  per call that ran, its Result (or the five outputs t,
             trajectory, theta, search, sums)
    error    the call after the last result failed: a veltrax.Error, or
             (id, message)
    """
    (core,) = _scenarios([scenario])
    outputs = [[np.asfortranarray(np.atleast_2d(np.asarray(o, dtype=np.float64))) for o in r] for r in results]
    if isinstance(error, Exception):
        error = (getattr(error, "id", "veltrax:error"), str(error))
    _x.write_run(core, os.fspath(folder), int(individual or 0), outputs, error)


class SweepOutcome(NamedTuple):
    """What a sweep did with its slice."""

    runs: int  #: runs of the slice
    written: int  #: run folders written
    failed: list[tuple[str, str, str]]  #: (run folder, id, message) of runs that failed or were not written
    interrupted: list[str]  #: runs stopped by Ctrl-C (nothing written)
    not_started: int  #: runs not begun when Ctrl-C stopped the sweep


def run_sweep(scenarios: Iterable[Scenario | str | os.PathLike], outdir: str | os.PathLike, *,
              shard: tuple[int, int] | str = (1, 1), threads: int = 0,
              initial_state: bytes | str | os.PathLike | None = None) -> SweepOutcome:
    """Runs slice K of N of the sweep of `scenarios` into `outdir`, as
    ``veltrax batch SCENARIOS... -o OUTDIR --shard K/N`` does: the manifest
    OUTDIR/sweep.json, then one run folder per run as soon as it ends; a
    population runs once per individual. The slices of a sweep may run in
    different processes (or machines) into the same folder.

    shard          (K, N) or "K/N", 1 <= K <= N
    threads        runs at once (0: VELTRAX_THREADS, else the CPUs this process may use)
    initial_state  a snapshot (bytes, or a snapshot file) every run starts from
    """
    k, n = _shard(shard)
    # The output folder's own manifest, picked up by a glob over a folder that
    # holds both the scenario files and the results, is no scenario.
    scenarios = [s for s in scenarios
                 if isinstance(s, Scenario) or not _x.is_manifest_of(os.fspath(s), os.fspath(outdir))]
    runs, written, failed, interrupted, not_started = _x.run_sweep(
        _scenarios(scenarios), os.fspath(outdir), k, n, int(threads), _state(initial_state))
    return SweepOutcome(runs, written, list(failed), list(interrupted), not_started)


def slice_runs(scenarios: Iterable[Scenario | str | os.PathLike], shard: tuple[int, int] | str) -> list[tuple[str, int]]:
    """The runs of slice K of N of the sweep, as (scenario name, individual;
    0 without population): the runs in order (scenarios by name, a
    population's individuals in turn), run i (from 0) in slice i mod N + 1."""
    k, n = _shard(shard)
    return [tuple(r) for r in _x.slice_runs(_scenarios(scenarios), k, n)]


def _scenario_dict(settings, *, setpoint, seed, population, controller) -> dict:
    """A scenario file's fields for one call of these settings."""
    s = settings
    process = dataclasses.asdict(s.process)
    d = {"build": controller.get("build", 2) if controller else 2,
         "settings": {"samples": s.samples, "control_weight": s.control_weight, "dead_time": s.dead_time,
                      "u_max": s.u_max, "a_order": s.a_order, "b_order": s.b_order,
                      "noise": dataclasses.asdict(s.noise), "rk4_steps": s.rk4_steps, "rk4_step": s.rk4_step},
         "process": {k: list(v) if isinstance(v, tuple) else v for k, v in process.items()},
         "curve": dataclasses.asdict(s.curve), "observer": list(s.observer)}
    if setpoint is not None:
        d["setpoint"] = setpoint
    if seed is not None:
        d["seed"] = seed
    if population is not None:
        d["population"] = population.to_dict()
    if controller:
        d["controller"] = controller
    return d


def _write_comparison(outdir, name, pairs, settings, population, individuals, setpoint, seed, runs) -> None:
    """The run folders and manifest of veltrax.compare's runs."""
    from . import Build, Pid, Result, _controller

    names = []
    for controller_name, c in pairs:
        folder_name = f"{name}@{controller_name}"
        names.append((folder_name, population.size if population is not None else 0))
        setup = None
        if isinstance(c, Pid):
            setup = {**c._to_core(), "name": controller_name}
        elif _controller(c) is None:
            setup = {"kind": "adaptive", "build": int(Build(c)), "name": controller_name}
        scenario = Scenario.from_dict(folder_name, _scenario_dict(settings, setpoint=setpoint, seed=seed,
                                                                  population=population, controller=setup))
        for k in individuals:
            result = runs[controller_name][k]
            ran = isinstance(result, Result)
            rejected = not ran and getattr(result, "_individual", False)
            folder = os.path.join(outdir, _x.run_folder(folder_name, k))
            error = None if ran or rejected else (result.id, str(result))
            _x.write_run(scenario._core, folder, k, [list(result)] if ran else [], error,
                         None if setup else controller_name, name)
    _x.write_manifest(outdir, names, [(name, [n for n, _ in pairs])])
