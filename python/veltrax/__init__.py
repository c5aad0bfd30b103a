# SPDX-License-Identifier: LGPL-2.1-or-later
"""Closed-loop simulation of an adaptive nonlinear predictive controller.

The same simulation as the plug-ins veltrax1, veltrax2 and veltrax3, bit for
bit, on NumPy arrays:

    >>> import veltrax
    >>> sim = veltrax.Simulation(build=2)          # veltrax2 as just loaded
    >>> r = sim.call([300, 0.1, 4, 2, 3, 3, 0, 10, 0.1], [1], [1, 3, 3, 1],
    ...              [0.404, 0.505, 2.98, 4.0])
    >>> r.trajectory.shape, r.y.shape, r.sums.shape
    ((300, 5), (300,), (3, 1))

A Simulation keeps its state between calls as a loaded plug-in does;
copy.copy() branches it. run_batch() runs independent simulations on several
threads, matprod() is the matrix product. Rejected calls raise veltrax.Error
with the plug-ins' identifier and message.

Experiments: a call may follow a set-point schedule of your own
(``setpoint=``) and a Simulation may start from a noise seed; metrics()
summarises a call, Population draws virtual individuals as the command-line
tool does, and report() merges a sweep's result folders.
"""

from __future__ import annotations

import enum
import json
import numbers
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

from . import _core

__all__ = [
    "BodyModel",
    "Build",
    "Call",
    "CallInfo",
    "Error",
    "Individual",
    "JobResult",
    "Metrics",
    "Population",
    "ReportResult",
    "Result",
    "Simulation",
    "Step",
    "matprod",
    "metrics",
    "report",
    "run_batch",
]
__version__ = _core.__version__


class Error(ValueError):
    """A rejected call.

    ``id`` is the identifier the plug-ins report ("veltrax:badOrder",
    "matprod:dimensionMismatch", ...); the message names the argument and what
    was expected. The simulation is left as it was before the call.
    """

    def __init__(self, id: str, message: str) -> None:
        super().__init__(message)
        self.id = id

    def __reduce__(self):
        return (type(self), (self.id, str(self)))


class Build(enum.IntEnum):
    """The three builds; the values are the plug-ins' numbers."""

    PREVIEW = 1  #: veltrax1: the controller sees the set-point ten samples ahead
    BASE = 2  #: veltrax2: the controller sees the current set-point
    PREVIEW_HOLD = 3  #: veltrax3: preview, and the estimator pauses around set-point changes


@dataclass(frozen=True)
class BodyModel:
    """The built-in drug-distribution model for one body.

    The same as the numerator [body_mass, cardiac_output] with an empty
    denominator.
    """

    body_mass: float  #: kg
    cardiac_output: float  #: l/min


class CallInfo(NamedTuple):
    """What a call's inputs asked for."""

    sample_count: int
    a_order: int
    b_order: int
    gaussian_noise: bool  #: the parameter vector was a row of exactly 10 columns
    builtin_model: bool  #: empty denominator (or model=)


_INPUT_NAMES = ("parameter vector", "numerator", "denominator", "curve parameters", "filter polynomial T")
_ARGUMENTS = ("params", "numerator", "denominator", "curve", "T")
_EMPTY = np.zeros((1, 0))


def _matrix(value: Any, position: int, name: str, prefix: str) -> np.ndarray:
    """One input as the plug-in sees it: a 2-D float64 matrix (1-D is a row)."""
    try:
        a = np.asarray(value)
    except (TypeError, ValueError) as e:
        raise Error(f"{prefix}:badInputType", f"input {position} ({name}) must be a matrix of real numbers: {e}") from None
    if a.dtype.kind not in "iuf" or (a.dtype.kind == "f" and a.dtype.itemsize > 8):
        raise Error(f"{prefix}:badInputType", f"input {position} ({name}) must be a matrix of real numbers, got {a.dtype}")
    if a.ndim > 2:
        raise Error(f"{prefix}:badInputType", f"input {position} ({name}) must be a matrix, got {a.ndim} dimensions")
    if a.ndim < 2:
        a = a.reshape(1, -1)
    return np.asfortranarray(a, dtype=np.float64)


def _call_inputs(params, numerator, denominator, curve, T, model) -> list[np.ndarray]:
    if model is not None:
        if not isinstance(model, BodyModel):
            raise TypeError(f"model must be a veltrax.BodyModel, got {type(model).__name__}")
        if numerator is not None or denominator is not None:
            raise TypeError("model= replaces numerator and denominator: give one or the other")
        numerator, denominator = [model.body_mass, model.cardiac_output], _EMPTY
    given = (params, numerator, denominator, curve, T)
    # Inputs up to the first one missing, as a plug-in call with fewer inputs.
    count = next((k for k, v in enumerate(given) if v is None), len(given))
    later = [_ARGUMENTS[k] for k in range(count + 1, len(given)) if given[k] is not None]
    if later:
        raise TypeError(f"{_ARGUMENTS[count]} is missing but {', '.join(later)} given")
    return [_matrix(given[k], k + 1, _INPUT_NAMES[k], "veltrax") for k in range(count)]


_OUTPUTS = ("t", "trajectory", "theta", "search", "sums")
# Column names, seed range and set-point schedules as the command-line tool has them.
_TRAJECTORY = tuple(_core.experiments.TRAJECTORY_COLUMNS)
_SEARCH = {build: tuple(_core.experiments.search_columns(int(build))) for build in Build}
_SUMS = tuple(_core.experiments.SUMS_COLUMNS)
_MAX_SEED = _core.experiments.MAX_NOISE_SEED


def _steps(setpoint) -> list[tuple[float, float, bool, bool]] | None:
    """Set-point steps [time, value, "after"?, "ramp"?] as the core takes them."""
    if setpoint is None:
        return None
    try:
        text = json.dumps(setpoint, allow_nan=False, default=_json_value)
    except (TypeError, ValueError) as e:
        raise Error("veltrax:badSchedule", f"setpoint must be a list of steps [time, value] of finite numbers: {e}") from None
    return _core.experiments.setpoint_steps(text)


def _seed(seed) -> int:
    """A noise seed as the core takes it; veltrax:badSeed unless 1 .. _MAX_SEED."""
    if not isinstance(seed, (numbers.Integral, np.integer)) or isinstance(seed, (bool, np.bool_)):
        raise Error("veltrax:badSeed", f"seed must be an integer from 1 to {_MAX_SEED}, got {seed!r}")
    if not 1 <= int(seed) <= _MAX_SEED:
        raise Error("veltrax:badSeed", f"seed must be an integer from 1 to {_MAX_SEED}, got {int(seed)}")
    return int(seed)


class Result:
    """The five outputs of one call, as the plug-in returns them.

    ``t`` (N x 1) time at the start of each sample period; ``trajectory``
    (N x 5) set-point, control u, measured output y, static gain, process
    output v; ``theta`` (N x (na + nb)) the estimates a1 .. a_na, b0 ..
    b_(nb-1); ``search`` (N x 5) best move, its cost, applied move and two
    build-dependent columns; ``sums`` (3 x 1) squared error, time-weighted
    absolute error and 60 x input integral. All float64 in column-major order.

    Columns are also reachable by name, as 1-D views: ``r.setpoint``, ``r.u``,
    ``r.y``, ``r.static_gain``, ``r.v``, ``r.a1``, ``r.b0``, ``r.best_move``,
    ``r.best_cost``, ``r.applied_move``, then ``r.applied_cost`` and
    ``r.unused`` (build 1), ``r.dose`` and ``r.noise`` (build 2), ``r.dose``
    and ``r.hold_counter`` (build 3); the sums as floats: ``r.squared_error``,
    ``r.time_weighted_abs_error``, ``r.input_integral``. ``columns`` lists the
    names per output; ``sample_period`` is the time one row stands for
    (Runge-Kutta steps x step length). Unpacking gives the five outputs:
    ``t, trajectory, theta, search, sums = sim.call(...)``.
    """

    __slots__ = ("t", "trajectory", "theta", "search", "sums", "build", "info", "sample_period")

    def __init__(self, build: Build, outputs, info) -> None:
        self.t, self.trajectory, self.theta, self.search, self.sums = outputs
        self.build = build
        self.info = CallInfo(*info[:5])
        self.sample_period = float(info[5])

    @property
    def columns(self) -> dict[str, tuple[str, ...]]:
        """Column names per output."""
        theta = tuple(_core.experiments.theta_columns(self.info.a_order, self.theta.shape[1]))
        return {"t": ("t",), "trajectory": _TRAJECTORY, "theta": theta, "search": _SEARCH[self.build], "sums": _SUMS}

    def column(self, name: str):
        """The named column: a 1-D view of its output, or a float for a sum."""
        for output, names in self.columns.items():
            if name in names:
                values = getattr(self, output)
                if output == "sums":
                    return float(values[names.index(name), 0])
                return values[:, names.index(name)]
        raise KeyError(name)

    def __getattr__(self, name: str):
        if name.startswith("_") or name in Result.__slots__:
            raise AttributeError(name)
        try:
            return self.column(name)
        except KeyError:
            raise AttributeError(f"'Result' has no output or column '{name}'") from None

    def __dir__(self):
        return sorted(set(super().__dir__()) | {n for names in self.columns.values() for n in names})

    def __iter__(self):
        return iter((self.t, self.trajectory, self.theta, self.search, self.sums))

    def __repr__(self) -> str:
        return f"<veltrax.Result build={int(self.build)} samples={self.t.shape[0]} sums={self.sums[:, 0].tolist()}>"


class Simulation:
    """One simulation: the state of one freshly loaded plug-in of a build.

    Calls continue from where the previous call left the state (time, sums,
    set-point, noise, process, estimator), as successive calls of the plug-in
    do. ``copy.copy(sim)`` and ``copy.deepcopy(sim)`` branch it: the copy
    continues exactly as the original would. A Simulation may be used from
    several threads; its calls then run one at a time.

    ``seed`` starts the noise generators as a plug-in just loaded with that
    seed would (1 .. 2147483562); None is the plug-in's own start (seed 1).
    """

    __slots__ = ("_core",)

    def __init__(self, build: Build | int = Build.BASE, seed: int | None = None) -> None:
        self._core = _core.Simulation(int(Build(build)))
        if seed is not None:
            self.seed_noise(seed)

    @classmethod
    def _wrap(cls, core) -> Simulation:
        sim = cls.__new__(cls)
        sim._core = core
        return sim

    @property
    def build(self) -> Build:
        """Which plug-in this simulation is."""
        return Build(self._core.build)

    def seed_noise(self, seed: int) -> None:
        """Restarts the noise generators as if the plug-in had just been
        loaded with this seed (1 .. 2147483562); the rest of the state stays.
        Raises veltrax.Error "veltrax:badSeed" otherwise."""
        self._core.seed_noise(_seed(seed))

    def call(self, params, numerator=None, denominator=None, curve=None, T=None, *, model=None, setpoint=None,
             threads=0) -> Result:
        """Runs one call of the plug-in and returns its five outputs.

        params       parameter vector [N, control_weight, dead_time, u_max,
                     a_order, b_order, noise_amplitude, rk4_steps, rk4_step];
                     a row of exactly 10 columns (a 1-D sequence of 10 is a
                     row) selects Gaussian noise, element 10 is not read
        numerator    G(s) numerator in descending powers of s; with the
                     built-in model [body_mass, cardiac_output]
        denominator  G(s) denominator in descending powers of s; empty ([])
                     selects the built-in drug-distribution model
        curve        [m, c, g, p]: measurement y = v^g / (m^g + v^g); the
                     controller models it with midpoint c and exponent p
        T            optional observer filter [t0, t1, t2]; default
                     [1, -1.6, 0.64]
        model        a BodyModel instead of numerator and denominator
        setpoint     a set-point schedule instead of the built-in one, steps
                     in increasing time as in scenario files: [time, value],
                     [time, value, "after"] (the value holds for t > time
                     instead of t >= time), [time, value, "ramp"] (a straight
                     line from there to the next step's value)
        threads      threads of the move search (0: VELTRAX_THREADS, else
                     all cores); the results do not depend on it

        Inputs may be lists, tuples, scalars or NumPy arrays of real numbers:
        1-D is a row vector, 2-D is kept as given. Inputs after the first one
        missing (None) are not passed, as in a plug-in call with fewer inputs.

        Returns a Result (t, trajectory, theta, search, sums and named
        columns). Raises veltrax.Error for a rejected call, which leaves the
        simulation unchanged ("veltrax:badSchedule" for set-point steps out
        of order or malformed). The interpreter lock is released while the
        call runs.
        """
        inputs = _call_inputs(params, numerator, denominator, curve, T, model)
        outputs, info = self._core.call(inputs, threads, _steps(setpoint))
        return Result(self.build, outputs, info)

    def __copy__(self) -> Simulation:
        return self._wrap(self._core.copy())

    def __deepcopy__(self, memo) -> Simulation:
        return self._wrap(self._core.copy())

    def __reduce__(self):
        return (_load_state, (self._core.save_state(),))

    def __repr__(self) -> str:
        return f"<veltrax.Simulation build={int(self.build)}>"


def _load_state(snapshot: bytes) -> Simulation:
    return Simulation._wrap(_core.Simulation.load_state(snapshot))


@dataclass(frozen=True)
class Call:
    """The inputs of one call in a batch: the arguments of Simulation.call
    (setpoint: its own set-point schedule; None: the built-in one)."""

    params: Any
    numerator: Any = None
    denominator: Any = None
    curve: Any = None
    T: Any = None
    model: BodyModel | None = None
    setpoint: Any = None

    def _inputs(self) -> list[np.ndarray]:
        return _call_inputs(self.params, self.numerator, self.denominator, self.curve, self.T, self.model)


def _as_call(call) -> Call:
    if isinstance(call, Call):
        return call
    if isinstance(call, Mapping):
        return Call(**call)
    return Call(*call)


class JobResult(NamedTuple):
    """What one job of a batch gave: the results of the calls that ran and,
    if a call was rejected, its error (the calls after it did not run)."""

    results: list[Result]
    error: Error | None

    @property
    def ok(self) -> bool:
        return self.error is None


def run_batch(jobs, threads: int = 0) -> list[JobResult]:
    """Runs independent simulations, each a sequence of calls, across threads.

    jobs     iterable of (build, calls) or (build, calls, seed); each call a
             Call, a tuple of the positional inputs (params, numerator,
             denominator, curve[, T]) or a dict of Simulation.call's
             arguments (setpoint= included); seed starts the job's noise as
             Simulation(build, seed=seed) does (None: no seed)
    threads  simultaneous jobs (0: VELTRAX_THREADS, else all cores); each
             job runs on its own fresh Simulation with a one-thread search

    Returns one JobResult per job, in order. The results equal running the
    jobs one after another; a rejected call fails its own job only. The
    interpreter lock is released while the jobs run. Malformed inputs, steps
    or seeds raise before any job runs.
    """
    core_jobs = []
    for job in jobs:
        build, calls, seed = (*job, None) if len(job) == 2 else job
        calls = [_as_call(c) for c in calls]
        core_jobs.append((int(Build(build)), [c._inputs() for c in calls], 0 if seed is None else _seed(seed),
                          [_steps(c.setpoint) for c in calls]))
    out = []
    for (build, *_), (outputs, infos, error) in zip(core_jobs, _core.run_batch(core_jobs, threads)):
        results = [Result(Build(build), o, i) for o, i in zip(outputs, infos)]
        out.append(JobResult(results, None if error is None else Error(*error)))
    return out


def matprod(A, B) -> np.ndarray:
    """The matrix product A @ B as the matprod plug-in computes it (2-D
    float64; 1-D inputs are rows). Raises veltrax.Error "matprod:..."."""
    return _core.matprod(_matrix(A, 1, "A", "matprod"), _matrix(B, 2, "B", "matprod"))


class Step(NamedTuple):
    """One change of the recorded set-point in a call and the response to it,
    over its segment (up to the next change or the end of the call)."""

    row: int  #: index of the change in the call's arrays (from 0)
    time: float  #: t of that row
    from_: float  #: set-point before the change
    to: float  #: set-point after it
    overshoot: float  #: % of the step size, beyond `to` in the step's direction
    undershoot: float  #: % of the step size, beyond `from_` against the step's direction
    settled: bool  #: y ends the segment within the band
    settling_time: float  #: from `time` until y stays within the band; NaN unless settled
    time_in_band: float  #: sample period x the rows of the segment within the band


@dataclass(frozen=True)
class Metrics:
    """Performance measures of one call, as summary.json and sweep.csv of the
    command-line tool give them (docs/experiments.md defines each)."""

    samples: int
    iae: float  #: integral of |set-point - y|
    ise: float  #: integral of (set-point - y)^2
    total_control: float  #: integral of u
    peak_control: float  #: largest u
    steps: tuple[Step, ...]  #: every change of the recorded set-point
    max_overshoot: float  #: over the steps; NaN without steps
    max_undershoot: float
    max_settling_time: float  #: NaN if a step did not settle
    time_in_band: float  #: summed over the steps
    runaway: bool  #: y stayed at the top of its range (>= 0.99) above a lower set-point through the last tenth
    # The built-in model only (None for a linear process), from the
    # performance error PE = 100 (y - r) / r:
    mdpe: float | None = None  #: median PE, %
    mdape: float | None = None  #: median |PE|, %
    wobble: float | None = None  #: median |PE - MDPE|, %
    divergence: float | None = None  #: slope of |PE| over model time, % per hour


def metrics(result: Result, *, band: float = 0.02) -> Metrics:
    """The metrics of one call's result, computed from its time column and
    trajectory exactly as the command-line tool computes them.

    band  settling band: this fraction of each step's size on either side of
          the new set-point (default 2 %)
    """
    if not isinstance(result, Result):
        raise TypeError(f"metrics() takes a veltrax.Result, got {type(result).__name__}")
    values = _core.metrics(result.t, result.trajectory, result.sample_period, result.info.builtin_model, float(band))
    values["steps"] = tuple(Step(*s) for s in values["steps"])
    return Metrics(**values)


class Individual(NamedTuple):
    """Individual `index` of a population: its drawn values by covariate name
    (body_mass, cardiac_output, plant_hill_midpoint, plant_hill_exponent,
    dead_time, noise_amplitude; only those the population draws, NaN where no
    draw fell within the bounds), and whether the draw succeeded."""

    index: int
    covariates: dict[str, float]
    valid: bool
    reason: str  #: why not valid; empty when valid


def _json_value(value):
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return value.tolist()
    raise TypeError(f"a population block cannot hold {type(value).__name__}")


class Population:
    """A virtual population, as the "population" block of a scenario file
    declares it (docs/experiments.md): its size, master seed, distributions
    and correlations. Individual k is drawn from a counter-based generator
    keyed by (seed, k): the same values as the command-line tool's, whatever
    the population size, the order or the thread.

        >>> pop = veltrax.Population.from_dict({"size": 100, "seed": 42,
        ...     "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40}})
        >>> pop.draw(7).covariates["body_mass"]          # doctest: +SKIP
        >>> inputs = pop.inputs(7, call)                 # the call with individual 7's values
        >>> veltrax.Simulation(2).call(**inputs)         # doctest: +SKIP

    Bad blocks raise veltrax.Error "veltrax:badScenario" (unknown or mistyped
    fields) or "veltrax:badPopulation" (values out of range).
    """

    __slots__ = ("_core",)

    def __init__(self, block: Mapping[str, Any]) -> None:
        try:
            text = json.dumps(dict(block), allow_nan=False, default=_json_value)
        except (TypeError, ValueError) as e:
            raise Error("veltrax:badPopulation", f"population: {e}") from None
        self._core = _core.Population.from_json(text)

    @classmethod
    def from_dict(cls, block: Mapping[str, Any]) -> Population:
        """The population of a scenario's "population" block."""
        return cls(block)

    @classmethod
    def from_json(cls, text: str) -> Population:
        """The population of a "population" block written as JSON text (a
        key given twice is an error)."""
        population = cls.__new__(cls)
        population._core = _core.Population.from_json(text)
        return population

    @property
    def size(self) -> int:
        return self._core.size

    @property
    def seed(self) -> int:
        return self._core.seed

    def __len__(self) -> int:
        return self.size

    def to_dict(self) -> dict[str, Any]:
        """The block, as from_dict() reads it back."""
        return json.loads(self._core.to_json())

    def draw(self, k: int) -> Individual:
        """Individual k (1 .. size). Raises veltrax.Error "veltrax:badPopulation"
        for k outside the population."""
        return Individual(*self._core.draw(int(k)))

    def inputs(self, k: int, call) -> dict[str, np.ndarray]:
        """The inputs of `call` with individual k's values put in (body mass
        and cardiac output into the built-in model's numerator, the curve's
        midpoint and exponent into curve elements 1 and 3, dead time and noise
        amplitude into parameters 3 and 7), as Simulation.call's keyword
        arguments: ``sim.call(**pop.inputs(k, call))``.

        call  a Call, a tuple of Simulation.call's positional inputs or a dict
              of its arguments

        Raises veltrax.Error as the command-line tool reports the individual:
        "veltrax:badIndividual" when no draw fell within the bounds or a
        drawn curve value is not positive, or the identifier of the
        simulation's own check that rejects the values ("veltrax:badDeadTime",
        ...); "veltrax:badPopulation" when the population draws body mass or
        cardiac output for a linear process.
        """
        base = _as_call(call)._inputs()
        (arrays,), error = self._core.expand(int(k), [base])
        if error is not None:
            raise Error(error[1], error[2])
        return dict(zip(_ARGUMENTS, arrays))

    def __repr__(self) -> str:
        return f"<veltrax.Population size={self.size} seed={self.seed}>"


class ReportResult(NamedTuple):
    """What report() found and wrote."""

    manifest: bool  #: OUTDIR/sweep.json was there
    expected: int  #: runs the manifest lists
    ok: int
    failed: int
    unreadable: int
    missing: list[str]  #: run folders the manifest lists that hold no summary.json
    unexpected: list[str]  #: run folders found that the manifest does not list
    written: list[str]  #: files written


def report(outdir: str | os.PathLike, plots: bool = True) -> ReportResult:
    """Merges the results of a sweep in `outdir` (every shard's) into
    sweep.csv and report.html, as ``veltrax report OUTDIR`` does; with plots,
    gnuplot draws report_band_K.png and report_metrics.png. Works on partial
    sweeps (the result lists what is missing). Raises veltrax.Error
    "veltrax:badSweep" (no folder, bad manifest), "veltrax:writeFailed" or
    "veltrax:plotFailed" (sweep.csv and report.html are written before)."""
    return ReportResult(*_core.report(os.fspath(outdir), bool(plots)))
