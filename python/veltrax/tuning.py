# SPDX-License-Identifier: LGPL-2.1-or-later
"""Robust tuning over a population, as ``veltrax tune`` runs it."""

from __future__ import annotations

import json
import math
import os
from collections.abc import Mapping
from typing import Any

from . import experiments

__all__ = ["TuneResult", "tune"]


def _number(v):
    if isinstance(v, str):
        return {"Inf": math.inf, "-Inf": -math.inf}.get(v, math.nan)
    return v


class TuneResult:
    """What a tuning found; ``data`` is tune.json as a dict.

    settings            the chosen settings, {name: value}
    default_settings    the scenario's own
    objective           the chosen settings' objective on the training population
    default_objective   the scenario's own settings' there
    validation          {"default": objective, "chosen": objective} on the validation population
    history             [(settings, objective)] of every candidate, in order
    algorithm           "BOBYQA", or "enumeration" without continuous settings
    """

    def __init__(self, data: dict) -> None:
        self.data = data
        chosen, default = data["chosen"], data["default"]
        self.algorithm = data["algorithm"]
        self.settings = dict(chosen["validation"]["settings"])
        self.default_settings = dict(default["validation"]["settings"])
        self.objective = _number(chosen["training"]["objective"]) if chosen["training"] else math.nan
        self.default_objective = _number(default["training"]["objective"])
        self.validation = {"default": _number(default["validation"]["objective"]),
                           "chosen": _number(chosen["validation"]["objective"])}
        self.history = [(dict(e["settings"]), _number(e["objective"])) for e in data["history"]]

    def __repr__(self) -> str:
        return (f"<veltrax.TuneResult {self.algorithm}: {self.settings} objective {self.objective:.4g} "
                f"(default {self.default_objective:.4g}); validation {self.validation}>")


def tune(scenario: experiments.Scenario | str | os.PathLike | Mapping[str, Any],
         outdir: str | os.PathLike | None = None, *, threads: int = 0) -> TuneResult:
    """Chooses the settings of the scenario's "tune" block over its
    population and runs them and the scenario's own settings on the
    validation population, as ``veltrax tune SCENARIO [-o OUTDIR]`` does
    (docs/sensitivity.md). Every candidate runs the same individuals with the
    same noise.

    scenario  a scenario file, a veltrax.experiments.Scenario, or a dict as a
              scenario file holds it (named "tune")
    outdir    where tune.json and the validation runs go (None: nothing is written)
    threads   runs at once (0: VELTRAX_THREADS, else the CPUs this process may use)

    Bad "tune" blocks raise veltrax.Error "veltrax:badTuning" naming the
    field; Ctrl-C stops the tuning (KeyboardInterrupt)."""
    if isinstance(scenario, Mapping):
        scenario = experiments.Scenario.from_dict("tune", scenario)
    elif not isinstance(scenario, experiments.Scenario):
        scenario = experiments.Scenario.load(scenario)
    from . import _core

    text = _core.sensitivity.tune(scenario._core, os.fspath(outdir) if outdir is not None else "", int(threads))
    return TuneResult(json.loads(text))
