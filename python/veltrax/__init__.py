# SPDX-License-Identifier: LGPL-2.1-or-later
"""Closed-loop simulation of an adaptive nonlinear predictive controller.

The same simulation as the plug-ins veltrax1, veltrax2 and veltrax3, bit for
bit, with NumPy arrays as results:

    >>> import veltrax
    >>> sim = veltrax.Simulation(build=2)          # veltrax2 as just loaded
    >>> r = sim.call(samples=300, control_weight=0.1, dead_time=4, u_max=2,
    ...              process=veltrax.TransferFunction([1], [1, 3, 3, 1]),
    ...              curve=veltrax.Curve(plant_midpoint=0.404, midpoint=0.505,
    ...                                  plant_exponent=2.98, exponent=4.0))
    >>> r.trajectory.shape, r.y.shape, r.sums.shape
    ((300, 5), (300,), (3, 1))

The settings have names (veltrax.Settings holds them all); the plug-ins'
positional inputs work too and give the same bits:
sim.call([300, 0.1, 4, 2, 3, 3, 0, 10, 0.1], [1], [1, 3, 3, 1],
[0.404, 0.505, 2.98, 4.0]). A Simulation keeps its state between calls as a
loaded plug-in does; copy.copy() branches it, save_state() and
veltrax.load_state() write and read it as the plug-ins' snapshot bytes.
run_batch() runs independent simulations on several threads, matprod() is
the matrix product. Rejected calls raise veltrax.Error with the plug-ins'
identifier and a message naming the field or input.

Experiments: a call may follow a set-point schedule of your own
(``setpoint=``) and a Simulation may start from a noise seed; metrics()
summarises a call, Population draws virtual individuals as the command-line
tool does, and report() merges a sweep's result folders; open_sweep() reads
a sweep of ``veltrax batch --store netcdf`` as an xarray.Dataset.

The loop opens: a Plant is the process, its dead time and the measurement on
their own, stepped with controls of your choosing; a Simulation closes the
loop with the adaptive controller of its build or with another controller (a
Pid, or a callable of your own); compare() runs several controllers on the
same individuals, noise and set-point schedule and pairs their metrics.
veltrax.env holds a reinforcement-learning environment on the plant.

Disturbances, sensors and actuators: Simulation.call and Plant take
``disturbances=[veltrax.Disturbance("stimulation", start=150, amplitude=0.05)]``,
``sensor=veltrax.Sensor(time_constant=3)``, ``actuator=veltrax.Actuator(rate_limit=0.5)``
and ``changes=[veltrax.Change(150, cardiac_output_factor=0.7)]``, the blocks of
scenario files; their draws come from streams keyed by (``draw_seed``,
``individual``).
veltrax.sensitivity computes Sobol and Morris indices (of any Python function
too), and tune() chooses settings over a population, as ``veltrax tune``.
"""

from __future__ import annotations

import copy
import dataclasses
import enum
import json
import math
import numbers
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

from . import _core

__all__ = [
    "Actuator",
    "Band",
    "BodyModel",
    "Build",
    "Call",
    "CallInfo",
    "Comparison",
    "Change",
    "Curve",
    "Disturbance",
    "DisturbanceWindow",
    "Error",
    "Individual",
    "JobResult",
    "Metrics",
    "MetricComparison",
    "Noise",
    "Observation",
    "Pid",
    "Plant",
    "Population",
    "ReportResult",
    "Result",
    "Sensor",
    "Settings",
    "Simulation",
    "Step",
    "Sweep",
    "TransferFunction",
    "TuneResult",
    "build_info",
    "compare",
    "load_state",
    "matprod",
    "metrics",
    "open_sweep",
    "report",
    "run_batch",
    "sensitivity",
    "tune",
]
__version__ = _core.__version__


def build_info() -> str:
    """How this build computes here, one line per fact; today the power function.

    >>> veltrax.build_info()  # doctest: +SKIP
    'power: avx512 with table loads (glibc 2.36 verified, self-check passed)'

    On a C library the vector power function is not verified for, the scalar
    path runs and the line says so.
    """
    return _core.build_info()


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


# The defaults of the named settings: the C++ library's, the typical call.
_DEFAULT = _core.default_settings()


def _real(value, field: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.integer, np.floating)):
        raise Error("veltrax:badInputType", f"{field} must be a real number, got {value!r}")
    return float(value)


def _integer(value, field: str) -> int:
    """An integer field: integral numbers only, within the 32-bit range."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.integer, np.floating)):
        raise Error("veltrax:notAnInteger", f"{field} must be an integer, got {value!r}")
    if not isinstance(value, (numbers.Integral, np.integer)) and not float(value).is_integer():
        raise Error("veltrax:notAnInteger", f"{field} must be an integer, got {value!r}")
    number = int(value)
    if not -2**31 <= number < 2**31:
        raise Error("veltrax:notAnInteger", f"{field} must be an integer within the 32-bit range, got {number}")
    return number


def _reals(value, field: str) -> tuple[float, ...]:
    """Coefficients: a 1-D sequence of real numbers."""
    try:
        a = np.asarray(value)
    except (TypeError, ValueError):
        a = np.asarray(None)
    if a.dtype.kind not in "iuf" or a.ndim > 1:
        raise Error("veltrax:badInputType", f"{field} must be a list of real numbers, got {value!r}")
    return tuple(float(x) for x in a.reshape(-1))


def _record(cls, value, field: str):
    """A settings record: an instance of cls or a dict of its fields."""
    if isinstance(value, cls):
        return value
    names = [f.name for f in dataclasses.fields(cls)]
    if not isinstance(value, Mapping):
        raise Error("veltrax:badInputType", f"{field} must be a veltrax.{cls.__name__} or a dict of "
                    f"{', '.join(names)}, got {type(value).__name__}")
    unknown = sorted(set(value) - set(names))
    if unknown:
        raise Error("veltrax:badInputType", f"{field} has no field {', '.join(unknown)} ({', '.join(names)})")
    return cls(**value)


def _set(record, **values) -> None:
    for name, value in values.items():
        object.__setattr__(record, name, value)


@dataclass(frozen=True)
class Noise:
    """Measurement noise: "uniform" in [-amplitude, amplitude] or "gaussian"
    with standard deviation amplitude; none when the amplitude is not
    positive."""

    kind: str = _DEFAULT["noise"]["kind"]
    amplitude: float = _DEFAULT["noise"]["amplitude"]

    def __post_init__(self) -> None:
        kind = _core.noise_kind(self.kind if isinstance(self.kind, str) else repr(self.kind))
        _set(self, kind=kind, amplitude=_real(self.amplitude, "settings.noise.amplitude"))


@dataclass(frozen=True)
class TransferFunction:
    """A continuous-time process G(s): coefficients in descending powers of
    s, strictly proper, denominator of degree 1 to 10."""

    numerator: tuple[float, ...] = tuple(_DEFAULT["process"]["numerator"])
    denominator: tuple[float, ...] = tuple(_DEFAULT["process"]["denominator"])

    def __post_init__(self) -> None:
        _set(self, numerator=_reals(self.numerator, "process.numerator"),
             denominator=_reals(self.denominator, "process.denominator"))


@dataclass(frozen=True)
class BodyModel:
    """The built-in drug-distribution model for one body.

    The same as the plug-ins' numerator [body_mass, cardiac_output] with an
    empty denominator.
    """

    body_mass: float = _core.default_body_model()["body_mass"]  #: kg
    cardiac_output: float = _core.default_body_model()["cardiac_output"]  #: l/min

    def __post_init__(self) -> None:
        _set(self, body_mass=_real(self.body_mass, "process.body_mass"),
             cardiac_output=_real(self.cardiac_output, "process.cardiac_output"))


@dataclass(frozen=True)
class Curve:
    """The saturating measurement curve h(v) = v^g / (v^g + m^g): midpoint m
    and exponent g of the simulated process (plant_*) and the controller's
    model of it (midpoint, exponent)."""

    plant_midpoint: float = _DEFAULT["curve"]["plant_midpoint"]
    midpoint: float = _DEFAULT["curve"]["midpoint"]
    plant_exponent: float = _DEFAULT["curve"]["plant_exponent"]
    exponent: float = _DEFAULT["curve"]["exponent"]

    def __post_init__(self) -> None:
        for f in dataclasses.fields(self):
            _set(self, **{f.name: _real(getattr(self, f.name), f"curve.{f.name}")})


def _process(value):
    if isinstance(value, (TransferFunction, BodyModel)):
        return value
    if isinstance(value, Mapping) and ("body_mass" in value or "cardiac_output" in value):
        return _record(BodyModel, value, "process")
    if isinstance(value, Mapping):
        return _record(TransferFunction, value, "process")
    raise Error("veltrax:badInputType", "process must be a veltrax.TransferFunction, a veltrax.BodyModel or a dict "
                f"of their fields, got {type(value).__name__}")


def _curve(value) -> Curve:
    if isinstance(value, (Curve, Mapping)):
        return _record(Curve, value, "curve")
    values = _reals(value, "curve")
    if len(values) != 4:
        raise Error("veltrax:badCurveParameters", f"curve needs 4 values (plant_midpoint, midpoint, plant_exponent, "
                    f"exponent), got {len(values)}")
    return Curve(*values)


@dataclass(frozen=True)
class Settings:
    """The named settings of one call; the defaults are the typical call
    (300 samples of 1/(s+1)^3, no noise).

    samples         sample periods of the call
    control_weight  penalty on the squared control move
    dead_time       samples, of the process input and of the controller's model
    u_max           upper control limit; <= 0: none (the lower limit is 0)
    a_order, b_order  orders of the estimated model
    noise           a Noise or {"kind": "uniform" | "gaussian", "amplitude": ...}
    rk4_steps, rk4_step  Runge-Kutta steps per sample period and their length
    process         a TransferFunction or a BodyModel (or a dict of their fields)
    curve           a Curve (or a dict of its fields, or its four values in order)
    observer        the observer filter T: [t0, t1, t2]

    A field of the wrong type raises veltrax.Error naming it at once; values
    are checked when a call runs, with messages that name the field
    ("settings.dead_time must not be negative, got -1"). Settings.from_inputs
    reads the plug-ins' positional inputs; both forms give the same bits.
    """

    samples: int = _DEFAULT["samples"]
    control_weight: float = _DEFAULT["control_weight"]
    dead_time: int = _DEFAULT["dead_time"]
    u_max: float = _DEFAULT["u_max"]
    a_order: int = _DEFAULT["a_order"]
    b_order: int = _DEFAULT["b_order"]
    noise: Noise = Noise()
    rk4_steps: int = _DEFAULT["rk4_steps"]
    rk4_step: float = _DEFAULT["rk4_step"]
    process: TransferFunction | BodyModel = TransferFunction()
    curve: Curve = Curve()
    observer: tuple[float, float, float] = tuple(_DEFAULT["observer"])

    def __post_init__(self) -> None:
        for name in ("samples", "dead_time", "a_order", "b_order", "rk4_steps"):
            _set(self, **{name: _integer(getattr(self, name), f"settings.{name}")})
        for name in ("control_weight", "u_max", "rk4_step"):
            _set(self, **{name: _real(getattr(self, name), f"settings.{name}")})
        observer = _reals(self.observer, "observer")
        if len(observer) != 3:
            raise Error("veltrax:badFilter", f"observer needs 3 coefficients, got {len(observer)}")
        _set(self, noise=_record(Noise, self.noise, "settings.noise"), process=_process(self.process),
             curve=_curve(self.curve), observer=observer)

    @property
    def sample_period(self) -> float:
        """The time one sample period stands for: rk4_steps x rk4_step."""
        return self.rk4_steps * self.rk4_step

    @classmethod
    def from_inputs(cls, params, numerator, denominator, curve, T=None) -> Settings:
        """The settings of the plug-ins' positional inputs, read as a call
        reads them (integers truncated, a parameter row of exactly 10 columns
        for Gaussian noise, an empty denominator for the built-in model)."""
        return cls._from_core(_core.settings_from_inputs(_call_inputs(params, numerator, denominator, curve, T, None)))

    @classmethod
    def _from_core(cls, d: dict) -> Settings:
        return cls(**{**d, "noise": Noise(**d["noise"]), "process": _process(d["process"]), "curve": Curve(**d["curve"])})

    def _to_core(self) -> dict:
        return {**{f.name: getattr(self, f.name) for f in dataclasses.fields(self)},
                "noise": dataclasses.asdict(self.noise), "process": dataclasses.asdict(self.process),
                "curve": dataclasses.asdict(self.curve)}


_ANTI_WINDUP = ("back_calculation", "clamping")


@dataclass(frozen=True)
class Disturbance:
    """An additive disturbance of the measured effect. kind: "step", "ramp",
    "pulse", "stimulation" (a trapezoid: rise 1, plateau ``duration`` 20, fall
    10 by default) or "poisson" (drawn pulses: a pulse of ``duration`` and an
    amplitude uniform in [low, high] starts in a sample period within [start,
    end) with probability 1 - exp(-rate T)). Times are the loop's time; None
    keeps the default of the kind."""

    kind: str
    start: float = 0.0
    amplitude: float = 0.0
    rise: float | None = None
    duration: float | None = None
    fall: float | None = None
    end: float | None = None
    rate: float | None = None
    low: float | None = None
    high: float | None = None


@dataclass(frozen=True)
class Sensor:
    """The sensor: the noise coloured by an AR(1) filter of ``time_constant``
    (c(0) = w(0), c(t) = a c(t-1) + sqrt(1 - a^2) w(t), a = exp(-T / time
    constant)), artefacts (added amplitude (2U - 1) with a probability per
    sample period), dropouts (the last reading repeated for dropout_min ..
    dropout_max sample periods), a delay in sample periods and a quantum of
    the reading; applied in that order, then the clamping to [0, 1]."""

    time_constant: float = 0.0
    artefact_probability: float = 0.0
    artefact_amplitude: float = 0.0
    dropout_probability: float = 0.0
    dropout_min: int = 1
    dropout_max: int | None = None
    delay: int = 0
    quantum: float = 0.0


@dataclass(frozen=True)
class Actuator:
    """The pump: a rate limit (largest change of the control per time unit),
    a quantum of the control and boluses [(time, dose), ...], each adding its
    dose to the process input of the sample period that starts at or after
    its time."""

    rate_limit: float = 0.0
    quantum: float = 0.0
    boluses: tuple = ()


@dataclass(frozen=True)
class Change:
    """A change of the process at ``time`` (a sample boundary), the state kept:
    the built-in model's cardiac output (absolute, l/min, or a factor of the
    call's own) and body mass, or a transfer function's gain (a factor)."""

    time: float
    cardiac_output: float | None = None
    cardiac_output_factor: float | None = None
    body_mass: float | None = None
    gain: float | None = None


def _block(value, cls, field: str) -> dict:
    """A record (or a dict of a scenario file's block) as that block."""
    if isinstance(value, Mapping):
        return dict(value)
    if not isinstance(value, cls):
        raise Error("veltrax:badPlantModels", f"{field} must be a veltrax.{cls.__name__} or a dict, "
                    f"got {type(value).__name__}")
    out = {f.name: getattr(value, f.name) for f in dataclasses.fields(cls)}
    if cls is Actuator:
        out["boluses"] = [b if isinstance(b, Mapping) else {"time": b[0], "dose": b[1]} for b in value.boluses]
    return {k: v for k, v in out.items() if v is not None}


def _plant_models(disturbances, sensor, actuator, changes) -> str | None:
    """The plant models as the JSON of a scenario file's blocks; None when
    none is given."""
    blocks: dict[str, Any] = {}
    if disturbances is not None:
        blocks["disturbances"] = [_block(d, Disturbance, "disturbances") for d in disturbances]
    if sensor is not None:
        blocks["sensor"] = _block(sensor, Sensor, "sensor")
    if actuator is not None:
        blocks["actuator"] = _block(actuator, Actuator, "actuator")
    if changes is not None:
        blocks["changes"] = [_block(c, Change, "changes") for c in changes]
    return json.dumps(blocks, allow_nan=True) if blocks else None


def _stream_key(value, field: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not 0 <= value < 2**64:
        raise Error("veltrax:badSeed", f"{field} must be an integer from 0 to 2^64 - 1, got {value!r}")
    return int(value)


@dataclass(frozen=True)
class Pid:
    """A PID controller, the baseline beside the adaptive one, in the loop's
    time units. With T the sample period, e = r - y and v the control before
    its limits:

        D = tf / (tf + T) * D - kd / (tf + T) * (y - y_prev)   (on the measurement; 0 at the first sample)
        v = kp * e + I + D,   u = v limited to [0, u_max] as the loop limits every control
        I += ki * T * e + T / tt * (u - v)                    (anti_windup "back_calculation")
        I += ki * T * e unless the limit cuts v and e pushes further   ("clamping")

    filter_time is tf (0: no filter); tracking_time is tt (0: the integral
    time kp / ki, or one sample period without kp or ki). The state carries
    over from call to call; a failed call leaves it as it was. Gains that are
    not finite, or negative times, raise veltrax.Error "veltrax:badController".
    """

    kp: float = 0.0
    ki: float = 0.0
    kd: float = 0.0
    filter_time: float = 1.0
    anti_windup: str = "back_calculation"
    tracking_time: float = 0.0

    def __post_init__(self) -> None:
        for name in ("kp", "ki", "kd", "filter_time", "tracking_time"):
            _set(self, **{name: _real(getattr(self, name), f"pid.{name}")})
        if self.anti_windup not in _ANTI_WINDUP:
            raise Error("veltrax:badController", f"pid.anti_windup must be \"back_calculation\" or \"clamping\", "
                        f"got {self.anti_windup!r}")
        _core.check_controller(self._to_core())

    def _to_core(self) -> dict:
        return {"kind": "pid", **dataclasses.asdict(self)}


Observation = _core.Observation
Observation.__doc__ = """What a controller may know at a sample period: ``sample`` (from 0
within the call), ``time`` (its start), ``setpoint`` (in force),
``preview`` (the set-point at time + 1 .. 10 sample periods, a tuple),
``measured`` (y, in [0, 1]), ``previous_control`` (u applied in the previous
sample period), ``sample_period`` and ``u_max`` (the upper control limit;
<= 0: none)."""


def _controller(controller):
    """What _core takes for a controller: None (the adaptive one of a build),
    a built-in's dict, or a callable."""
    if controller is None or isinstance(controller, (Build, int)) and not isinstance(controller, bool):
        return None
    if isinstance(controller, Pid):
        return controller._to_core()
    if callable(controller):
        return controller
    raise TypeError(f"controller must be a build, a veltrax.Pid or a callable taking a veltrax.Observation, "
                    f"got {type(controller).__name__}")


def _control(u) -> float:
    """A control as a plant takes it: a real number, or an array (or list) of one."""
    if isinstance(u, (np.ndarray, list, tuple)):
        a = np.asarray(u)
        if a.size == 1 and a.dtype.kind in "iuf":
            return float(a.reshape(-1)[0])
    if isinstance(u, (bool, np.bool_)) or not isinstance(u, (numbers.Real, np.integer, np.floating)):
        raise Error("veltrax:badControl", f"a control is a real number, got {type(u).__name__}")
    return float(u)


class CallInfo(NamedTuple):
    """What a call's inputs asked for."""

    sample_count: int
    a_order: int
    b_order: int
    gaussian_noise: bool  #: noise kind "gaussian" (positional: a parameter row of exactly 10 columns)
    builtin_model: bool  #: a BodyModel (positional: an empty denominator)


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


def _request(params, numerator, denominator, curve, T, model, settings, named: dict):
    """The Settings of a call given by name, or the input arrays of a call
    given by position (the plug-ins' form)."""
    given = {k: v for k, v in named.items() if v is not None}
    if isinstance(params, Settings):
        if settings is not None:
            raise TypeError("settings given twice: as the first argument and as settings=")
        params, settings = None, params
    positional = [n for n, v in (("params", params), ("numerator", numerator), ("denominator", denominator),
                                 ("T", T)) if v is not None]
    if positional:
        if settings is not None or given:
            by_name = sorted(given) + (["settings"] if settings is not None else [])
            raise TypeError(f"{', '.join(by_name)} given by name beside the positional inputs "
                            f"({', '.join(positional)}): use one form")
        return _call_inputs(params, numerator, denominator, curve, T, model)
    if model is not None:
        if "process" in given:
            raise TypeError("model= and process= both given: model= is the older name of process=")
        given["process"] = model
    if curve is not None:
        given["curve"] = curve
    if settings is None:
        return Settings(**given)
    if not isinstance(settings, Settings):
        raise TypeError(f"settings must be a veltrax.Settings, got {type(settings).__name__}")
    return dataclasses.replace(settings, **given) if given else settings


def _core_request(request):
    """What _core takes: a dict of settings or the list of input arrays."""
    return request._to_core() if isinstance(request, Settings) else request


def _threads(threads) -> int:
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, (numbers.Integral, np.integer)) or \
            not 0 <= int(threads) < 2**32:
        raise Error("veltrax:badThreadCount",
                    f"threads must be an integer from 0 (the default) to 4294967295, got {threads!r}")
    return int(threads)


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

    __slots__ = ("t", "trajectory", "theta", "search", "sums", "build", "info", "sample_period", "_in_force",
                 "_models")

    def __init__(self, build: Build, outputs, info, in_force=None, models=None) -> None:
        self.t, self.trajectory, self.theta, self.search, self.sums = outputs
        self.build = build
        self.info = CallInfo(*info[:5])
        self.sample_period = float(info[5])
        # The preview builds record the previewed set-point: metrics() then
        # compares with the one in force, under these schedule steps (a
        # 1-tuple; (None,) for the built-in schedule).
        self._in_force = in_force
        # The plant models of the call (their JSON), whose windows metrics() measures.
        self._models = models

    @property
    def columns(self) -> dict[str, tuple[str, ...]]:
        """Column names per output."""
        theta = tuple(_core.experiments.theta_columns(self.info.a_order, self.theta.shape[1]))
        search = _SEARCH[self.build] if self.search.shape[1] else ()  # another controller searches nothing
        return {"t": ("t",), "trajectory": _TRAJECTORY, "theta": theta, "search": search, "sums": _SUMS}

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

    ``controller`` closes the loop instead of the adaptive controller: a
    veltrax.Pid, or a callable that takes a veltrax.Observation and returns
    the control (a real number), called once per sample period on the
    calling thread. The plant, noise, schedule, time and sums are the same;
    results have no estimates or search columns and NaN as the static gain.
    A control that is not finite, or not a number, raises veltrax.Error
    "veltrax:badControl"; an exception in the callable ends the call, leaves
    the simulation as it was and reaches the caller. Copies share the
    callable. Such a simulation has no snapshot (save_state raises).
    """

    __slots__ = ("_core", "_controller")

    def __init__(self, build: Build | int = Build.BASE, seed: int | None = None, *, controller=None) -> None:
        setup = _controller(controller)
        if setup is None:
            self._core = _core.Simulation(int(Build(build if controller is None else controller)))
        else:
            self._core = _core.Simulation.with_controller(setup)
        self._controller = controller if setup is not None else None
        if seed is not None:
            self.seed_noise(seed)

    @classmethod
    def _wrap(cls, core, controller=None) -> Simulation:
        sim = cls.__new__(cls)
        sim._core = core
        sim._controller = controller
        return sim

    @property
    def controller(self):
        """The controller given, or None for the adaptive one of the build."""
        return self._controller

    @property
    def build(self) -> Build:
        """Which plug-in this simulation is."""
        return Build(self._core.build)

    def seed_noise(self, seed: int) -> None:
        """Restarts the noise generators as if the plug-in had just been
        loaded with this seed (1 .. 2147483562); the rest of the state stays.
        Raises veltrax.Error "veltrax:badSeed" otherwise."""
        self._core.seed_noise(_seed(seed))

    def call(self, params=None, numerator=None, denominator=None, curve=None, T=None, *, settings=None,
             samples=None, control_weight=None, dead_time=None, u_max=None, a_order=None, b_order=None, noise=None,
             rk4_steps=None, rk4_step=None, process=None, observer=None, model=None, setpoint=None,
             threads=0, disturbances=None, sensor=None, actuator=None, changes=None, draw_seed=1,
             individual=0) -> Result:
        """Runs one call and returns its five outputs.

        By name (the fields of Settings; those not given keep the defaults of
        the typical call, or the values of `settings`):

            sim.call(samples=300, control_weight=0.1, dead_time=4, u_max=2,
                     noise=veltrax.Noise("gaussian", 0.01),
                     process=veltrax.TransferFunction([1], [1, 3, 3, 1]),
                     curve=veltrax.Curve(0.404, 0.505, 2.98, 4.0))
            sim.call(settings)                # a veltrax.Settings
            sim.call(settings, samples=100)   # with fields replaced

        or by position, as the plug-ins take their inputs (for scripts
        ported from them; the same bits):

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

        Positional inputs may be lists, tuples, scalars or NumPy arrays of
        real numbers: 1-D is a row vector, 2-D is kept as given. Inputs after
        the first one missing (None) are not passed, as in a plug-in call
        with fewer inputs. `model` (a BodyModel) is the older name of
        `process` and also replaces numerator and denominator.

        Both forms take:

        setpoint     a set-point schedule instead of the built-in one, steps
                     in increasing time as in scenario files: [time, value],
                     [time, value, "after"] (the value holds for t > time
                     instead of t >= time), [time, value, "ramp"] (a straight
                     line from there to the next step's value)
        threads      threads of the move search (0: VELTRAX_THREADS, else
                     all cores); the results do not depend on it
        disturbances, sensor, actuator, changes
                     plant models (veltrax.Disturbance, Sensor, Actuator,
                     Change, or dicts of the scenario files' blocks); none:
                     the same bits as without. A call with the same models
                     (and keys) as the call before continues them: what is
                     due at a time happens once, the drawn streams go on
        draw_seed, individual
                     the key of the plant models' drawn streams

        Returns a Result (t, trajectory, theta, search, sums and named
        columns). Raises veltrax.Error for a rejected call, which leaves the
        simulation unchanged: by name, the message names the field
        ("settings.dead_time ..."), by position the input. TypeError when
        both forms are mixed. The interpreter lock is released while the
        call runs.
        """
        named = {"samples": samples, "control_weight": control_weight, "dead_time": dead_time, "u_max": u_max,
                 "a_order": a_order, "b_order": b_order, "noise": noise, "rk4_steps": rk4_steps,
                 "rk4_step": rk4_step, "process": process, "observer": observer}
        request = _request(params, numerator, denominator, curve, T, model, settings, named)
        models = _plant_models(disturbances, sensor, actuator, changes)
        outputs, info = self._core.call(_core_request(request), _threads(threads), _steps(setpoint), models,
                                        _stream_key(draw_seed, "draw_seed"), _stream_key(individual, "individual"))
        in_force = (_steps(setpoint),) if self._controller is None and self.build != Build.BASE else None
        return Result(self.build, outputs, info, in_force, models)

    def save_state(self) -> bytes:
        """The whole state as a snapshot: the bytes of the plug-ins'
        'getstate' and of the command-line tool's --save-state."""
        return self._core.save_state()

    def load_state(self, snapshot) -> None:
        """Replaces the state by a snapshot of this build (bytes, or a uint8
        vector as the plug-ins' 'getstate' returns it). Raises veltrax.Error
        "veltrax:badSnapshot" for a damaged, foreign or other build's
        snapshot and then leaves the state as it was."""
        self._core.restore(_snapshot(snapshot))

    def __copy__(self) -> Simulation:
        return self._wrap(self._core.copy(), self._controller)

    def __deepcopy__(self, memo) -> Simulation:
        return self._wrap(self._core.copy(), self._controller)

    def __reduce__(self):
        return (_load_state, (self.save_state(),))

    def __repr__(self) -> str:
        if self._controller is not None:
            return f"<veltrax.Simulation controller={self._controller!r}>"
        return f"<veltrax.Simulation build={int(self.build)}>"


def _snapshot(snapshot) -> bytes:
    if isinstance(snapshot, (bytes, bytearray, memoryview)):
        return bytes(snapshot)
    if isinstance(snapshot, np.ndarray) and snapshot.dtype == np.uint8 and \
            (snapshot.ndim == 1 or (snapshot.ndim == 2 and min(snapshot.shape) <= 1)):
        return snapshot.tobytes()
    raise Error("veltrax:badSnapshot", f"a snapshot is bytes or a uint8 vector, got {type(snapshot).__name__}")


def load_state(snapshot) -> Simulation:
    """A Simulation of the snapshot's build with its state: bytes written by
    Simulation.save_state, the plug-ins' 'getstate' (a uint8 vector) or the
    command-line tool's --save-state. Raises veltrax.Error
    "veltrax:badSnapshot" for a damaged or foreign snapshot."""
    return Simulation._wrap(_core.Simulation.load_state(_snapshot(snapshot)))


def _load_state(snapshot: bytes) -> Simulation:
    return load_state(snapshot)


class Plant:
    """The plant on its own: the process (a transfer function or the built-in
    model), its dead time, the measurement curve and noise, and the loop's
    set-point schedule, stepped one sample period at a time with controls of
    your choosing.

        plant = veltrax.Plant(settings, seed=7)      # the keywords and seed of Simulation.call
        y = plant.measured                            # the first sample period's measurement
        y = plant.step(0.5)                           # the next one's, under control 0.5

    It takes what Simulation.call takes (keywords, a Settings, or the
    plug-ins' positional inputs, and ``setpoint=``); the controller's fields
    and ``samples`` are accepted and not read, so one Settings serves both.
    ``seed`` is Simulation(build, seed=k)'s. Stepping a plant with the
    controls a closed-loop call recorded (its ``u``), from the same start,
    seed and schedule, gives that call's measurements (its ``y``) bit for bit.

    step(u) limits u to [0, u_max] as the closed loop does and delays it by
    the dead time. A control that is not a finite number raises veltrax.Error
    "veltrax:badControl" and changes nothing. Readable: ``time``,
    ``setpoint``, ``process_output`` (v), ``measured`` (y) of the current
    sample period, ``control`` (the control applied in the previous one),
    ``disturbance`` (of the measured effect now) and ``sums``. The keywords
    disturbances, sensor, actuator and changes add plant models as
    Simulation.call does; their streams are keyed by (draw_seed, default the
    seed or 1, individual). copy.copy branches a plant; save_state() and load_state() write
    and read its snapshot (a plant's, not a simulation's; with plant models it
    holds their running state and loads only into a plant of the same models),
    and pickling keeps the models too.
    """

    __slots__ = ("_core", "_settings", "_seed", "_setpoint", "_models")

    def __init__(self, params=None, numerator=None, denominator=None, curve=None, T=None, *, settings=None,
                 seed=None, setpoint=None, samples=None, control_weight=None, dead_time=None, u_max=None,
                 a_order=None, b_order=None, noise=None, rk4_steps=None, rk4_step=None, process=None,
                 observer=None, model=None, threads=0, disturbances=None, sensor=None, actuator=None,
                 changes=None, draw_seed=None, individual=0) -> None:
        named = {"samples": samples, "control_weight": control_weight, "dead_time": dead_time, "u_max": u_max,
                 "a_order": a_order, "b_order": b_order, "noise": noise, "rk4_steps": rk4_steps,
                 "rk4_step": rk4_step, "process": process, "observer": observer}
        request = _request(params, numerator, denominator, curve, T, model, settings, named)
        if not isinstance(request, Settings):
            request = Settings._from_core(_core.settings_from_inputs(request))
        _threads(threads)
        self._settings = request
        self._seed = None if seed is None else _seed(seed)
        self._setpoint = setpoint
        models = _plant_models(disturbances, sensor, actuator, changes)
        key = (self._seed or 1) if draw_seed is None else _stream_key(draw_seed, "draw_seed")
        # The models as _core takes them: pickling makes the plant again with them.
        self._models = None if models is None else (models, key, _stream_key(individual, "individual"))
        self._core = _core.Plant(request._to_core(), self._seed or 0, _steps(setpoint),
                                 *(self._models or (None, 1, 0)))

    @classmethod
    def _made(cls, settings: dict, seed: int | None, setpoint, steps) -> Plant:
        """A plant of settings as _core takes them (checked there), with the
        set-point steps already read."""
        plant = cls.__new__(cls)
        plant._core = _core.Plant(settings, seed or 0, steps)
        plant._settings, plant._seed, plant._setpoint, plant._models = settings, seed, setpoint, None
        return plant

    @property
    def settings(self) -> Settings:
        if isinstance(self._settings, dict):
            self._settings = Settings._from_core(self._settings)
        return self._settings

    def reset(self, seed: int | None = None) -> float:
        """Back to the plant as made; with a seed, its noise from that seed
        from now on. Returns the first measurement."""
        if seed is not None:
            self._seed = _seed(seed)
            return self._core.reset(self._seed)
        return self._core.reset(0)

    def step(self, control) -> float:
        """Applies the control in the current sample period, ends it, and
        returns the measurement of the next."""
        return self._core.step(_control(control))

    @property
    def time(self) -> float:
        return self._core.time

    @property
    def setpoint(self) -> float:
        return self._core.setpoint

    @property
    def process_output(self) -> float:
        return self._core.process_output

    @property
    def measured(self) -> float:
        return self._core.measured

    @property
    def disturbance(self) -> float:
        """The disturbance of the measured effect in the current sample period."""
        return self._core.disturbance

    @property
    def control(self) -> float:
        """The control applied in the previous sample period (after its limits)."""
        return self._core.control

    @property
    def sums(self) -> tuple[float, float, float]:
        """Squared error, time-weighted absolute error, 60 x the input integral."""
        return tuple(self._core.sums)

    def save_state(self) -> bytes:
        return self._core.save_state()

    def load_state(self, snapshot) -> None:
        """Replaces the state by a plant's snapshot; veltrax.Error
        "veltrax:badSnapshot" leaves it as it was."""
        self._core.load_state(_snapshot(snapshot))

    def _copy_with(self, core) -> Plant:
        plant = Plant.__new__(Plant)
        plant._core, plant._settings, plant._seed, plant._setpoint = core, self._settings, self._seed, self._setpoint
        plant._models = self._models
        return plant

    def __copy__(self) -> Plant:
        return self._copy_with(self._core.copy())

    def __deepcopy__(self, memo) -> Plant:
        return self._copy_with(self._core.copy())

    def __reduce__(self):
        return (_load_plant, (self.settings, self._seed, self._setpoint, self.save_state(), self._models))

    def __repr__(self) -> str:
        return f"<veltrax.Plant time={self.time} measured={self.measured}>"


def _load_plant(settings, seed, setpoint, snapshot, models=None) -> Plant:
    plant = Plant(settings, seed=seed, setpoint=setpoint)
    if models is not None:
        plant._core = _core.Plant(plant.settings._to_core(), seed or 0, _steps(setpoint), *models)
        plant._models = models
    plant.load_state(snapshot)
    return plant


@dataclass(frozen=True)
class Call:
    """One call of a batch job: the arguments of Simulation.call, the
    positional inputs or named Settings (setpoint: its own set-point
    schedule; None: the built-in one), and its plant models with the key of
    their drawn streams."""

    params: Any = None
    numerator: Any = None
    denominator: Any = None
    curve: Any = None
    T: Any = None
    model: BodyModel | None = None
    setpoint: Any = None
    settings: Settings | None = None
    disturbances: Any = None
    sensor: Any = None
    actuator: Any = None
    changes: Any = None
    draw_seed: int = 1
    individual: int = 0

    def _inputs(self) -> list[np.ndarray]:
        return _call_inputs(self.params, self.numerator, self.denominator, self.curve, self.T, self.model)


def _as_call(call) -> Call:
    if isinstance(call, Call):
        return call
    if isinstance(call, Mapping):
        return Call(**call)
    return Call(*call)


_NAMED = ("samples", "control_weight", "dead_time", "u_max", "a_order", "b_order", "noise", "rk4_steps", "rk4_step",
          "process", "observer")


_PLANT_ARGUMENTS = ("disturbances", "sensor", "actuator", "changes", "draw_seed", "individual")


def _batch_models(disturbances=None, sensor=None, actuator=None, changes=None, draw_seed=1, individual=0):
    """(plant models' JSON or None, draw_seed, individual) of a batch call."""
    return (_plant_models(disturbances, sensor, actuator, changes), _stream_key(draw_seed, "draw_seed"),
            _stream_key(individual, "individual"))


def _batch_call(call):
    """(request, set-point steps, plant models as _batch_models gives them)
    of one call of a batch job."""
    if isinstance(call, Settings):
        return call, None, _batch_models()
    if isinstance(call, Call):
        c = call
        return (_request(c.params, c.numerator, c.denominator, c.curve, c.T, c.model, c.settings, {}), _steps(c.setpoint),
                _batch_models(c.disturbances, c.sensor, c.actuator, c.changes, c.draw_seed, c.individual))
    if isinstance(call, Mapping):
        args = dict(call)
        setpoint = args.pop("setpoint", None)
        plant = {name: args.pop(name) for name in _PLANT_ARGUMENTS if name in args}
        unknown = sorted(set(args) - {*_ARGUMENTS, *_NAMED, "model", "settings"})
        if unknown:
            raise TypeError(f"a call has no argument {', '.join(unknown)}")
        positional = [args.pop(name, None) for name in _ARGUMENTS]
        model, settings = args.pop("model", None), args.pop("settings", None)
        return _request(*positional, model, settings, args), _steps(setpoint), _batch_models(**plant)
    return _request(*call, *[None] * (5 - len(call)), None, None, {}), None, _batch_models()


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

    jobs     iterable of (build, calls) or (build, calls, seed), the build
             also a veltrax.Pid (its controller closes the loop); each call
             named Settings, a dict of Simulation.call's arguments (by name
             or by position, setpoint= and the plant models with draw_seed=
             and individual= included), a Call, or a tuple of the
             positional inputs (params, numerator, denominator, curve[, T]);
             seed starts the job's noise as Simulation(build, seed=seed)
             does (None: no seed)
    threads  simultaneous jobs (0: VELTRAX_THREADS, else all cores); each
             job runs on its own fresh Simulation with a one-thread search

    Returns one JobResult per job, in order. The results equal running the
    jobs one after another; a rejected call fails its own job only, its
    error naming the field or input as Simulation.call's does. The
    interpreter lock is released while the jobs run. Malformed inputs,
    fields, steps or seeds raise before any job runs.
    """
    core_jobs = []
    for job in jobs:
        build, calls, seed = (*job, None) if len(job) == 2 else job
        controller = None
        if isinstance(build, Pid):
            build, controller = Build.BASE, build._to_core()
        elif callable(build) and not isinstance(build, (Build, int)):
            raise TypeError("run_batch runs the built-in controllers (a build or a veltrax.Pid); run a controller "
                            "of your own with Simulation(controller=...)")
        parts = [_batch_call(c) for c in calls]
        core_jobs.append((int(Build(build)), [_core_request(r) for r, _, _ in parts], 0 if seed is None else _seed(seed),
                          [s for _, s, _ in parts], controller, [m for _, _, m in parts]))
    out = []
    for (build, _, _, steps, controller, models), (outputs, infos, error) in zip(
            core_jobs, _core.run_batch(core_jobs, _threads(threads))):
        preview = controller is None and build != Build.BASE
        results = [Result(Build(build), o, i, (s,) if preview else None, m[0])
                   for o, i, s, m in zip(outputs, infos, steps, models)]
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
    time: float  #: t of that row (in model minutes for the built-in model)
    from_: float  #: set-point before the change
    to: float  #: set-point after it
    overshoot: float  #: % of the step size, beyond `to` in the step's direction
    undershoot: float  #: % of the step size, beyond `from_` against the step's direction
    settled: bool  #: y ends the segment within the band
    settling_time: float  #: from `time` until y stays within the band; inf when it never settled
    time_in_band: float  #: sample period x the rows of the segment within the band


class DisturbanceWindow(NamedTuple):
    """The response within the window of a disturbance profile or a change
    of the process: from its start until 60 time units after it ends (a step
    without end: to the end of the call; a change: 60 time units)."""

    name: str  #: "disturbance 1", "change 1", ...
    start: float  #: in the metrics' time (model minutes for the built-in model)
    end: float
    rows: int  #: rows of the call within the window
    peak_deviation: float  #: y - r of the row with the largest |y - r|
    returned: bool  #: y ends the window within r +- 0.02
    return_time: float  #: from start until y stays within that band; inf if it never returned
    iae: float  #: integral of |r - y| over the window
    control: float  #: integral of u over the window


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
    max_settling_time: float  #: inf if a step never settled
    time_in_band: float  #: summed over the steps
    runaway: bool  #: y stayed at the top of its range (>= 0.99) above a lower set-point through the last tenth
    time_to_target: float  #: induction: from the first non-zero set-point to the first time at target; inf if never
    induction_overshoot: float  #: % of the initial distance to the set-point
    maintenance_start: float  #: start of the maintenance window (first time at target, or as given); inf if never
    # The built-in model only (None for a linear process), from the
    # performance error PE = 100 (y - r) / r over the maintenance window:
    mdpe: float | None = None  #: median PE, %
    mdape: float | None = None  #: median |PE|, %
    wobble: float | None = None  #: median |PE - MDPE|, %
    divergence: float | None = None  #: slope of |PE| over model time, % per model hour
    # The same over the whole run.
    mdpe_whole: float | None = None
    mdape_whole: float | None = None
    wobble_whole: float | None = None
    divergence_whole: float | None = None
    # The windows of the call's disturbance profiles and changes (none
    # without plant models) and, over them, the columns of metrics.csv (NaN
    # without windows): the peak deviation of the largest magnitude, the
    # longest return time, the summed integrals and control.
    disturbances: tuple[DisturbanceWindow, ...] = ()
    disturbance_peak: float = math.nan
    disturbance_return_time: float = math.nan
    disturbance_iae: float = math.nan
    disturbance_control: float = math.nan


def metrics(result: Result, *, band: float = 0.02, absolute_band: float = 0.02,
            maintenance_start: float | None = None) -> Metrics:
    """The metrics of one call's result, computed from its time column and
    trajectory exactly as the command-line tool computes them.

    band               settling band: this fraction of each step's size on
                       either side of the new set-point (default 2 %) ...
    absolute_band      ... or this much of y, whichever is larger (default 0.02)
    maintenance_start  start of the maintenance window (in the loop's time, as
                       the schedule) for mdpe, mdape, wobble, divergence;
                       None: the first time at target

    Times and integrals are in the recorded time for a transfer function and
    in the model's minutes (one per row) for the built-in model. A call with
    plant models also has the windows of its disturbances and changes.
    """
    if not isinstance(result, Result):
        raise TypeError(f"metrics() takes a veltrax.Result, got {type(result).__name__}")
    in_force = getattr(result, "_in_force", None)
    values = _core.metrics(result.t, result.trajectory, result.sample_period, result.info.builtin_model, float(band),
                           float(absolute_band), None if maintenance_start is None else float(maintenance_start),
                           in_force is not None, None if in_force is None else in_force[0],
                           getattr(result, "_models", None))
    values["steps"] = tuple(Step(*s) for s in values["steps"])
    values["disturbances"] = tuple(DisturbanceWindow(*w) for w in values["disturbances"])
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
        return Individual(*self._core.draw(self._index(k)))

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
        (arrays,), error = self._core.expand(self._index(k), [base])
        if error is not None:
            raise Error(error[1], error[2])
        return dict(zip(_ARGUMENTS, arrays))

    def _index(self, k) -> int:
        """k as the core takes it; one outside 1 .. 2**64 - 1 is outside every population."""
        if isinstance(k, (bool, np.bool_)) or not isinstance(k, (numbers.Real, np.integer, np.floating)) or \
                not float(k).is_integer():
            raise Error("veltrax:badPopulation", f"individual must be an integer, got {k!r}")
        if not 1 <= int(k) < 2**64:
            raise Error("veltrax:badPopulation", f"individual {int(k)} is outside the population 1 .. {self.size}")
        return int(k)

    def __repr__(self) -> str:
        return f"<veltrax.Population size={self.size} seed={self.seed}>"


class ReportResult(NamedTuple):
    """What report() found and wrote."""

    manifest: bool  #: OUTDIR/sweep.json was there
    expected: int  #: runs the manifest lists
    ok: int
    failed: int
    unreadable: int
    missing: list[str]  #: run folders the manifest lists that hold no summary.json (the first 50)
    unexpected: list[str]  #: run folders found that the manifest does not list (the first 50)
    written: list[str]  #: files written
    missing_count: int  #: all run folders the manifest lists that hold no summary.json
    unexpected_count: int  #: all run folders found that the manifest does not list


def report(outdir: str | os.PathLike, plots: bool = True) -> ReportResult:
    """Merges the results of a sweep in `outdir` (every shard's) into
    sweep.csv and report.html, as ``veltrax report OUTDIR`` does; with plots,
    gnuplot draws report_band_K.png and report_metrics.png. Works on partial
    sweeps (the result lists what is missing). Ctrl-C stops it and writes
    nothing. Raises veltrax.Error "veltrax:badSweep" (no folder, bad
    manifest), "veltrax:writeFailed" or "veltrax:plotFailed" (sweep.csv and
    report.html are written before)."""
    return ReportResult(*_core.report(os.fspath(outdir), bool(plots)))


class Band(NamedTuple):
    """5, 50 and 95 % of n values (NaN for none); percentiles interpolate
    linearly between the order statistics at (n - 1) p."""

    p5: float
    p50: float
    p95: float
    n: int


class MetricComparison(NamedTuple):
    """One metric of a comparison."""

    metric: str  #: its sweep.csv name
    values: dict[str, Band]  #: per controller, over the individuals it ran
    differences: dict[str, Band]  #: per controller but the reference: its value minus the reference's, paired
    wins: dict[str, int]  #: individuals on which the controller alone is best
    contested: int  #: individuals with a value of every controller


# The metrics a comparison shows, as (name, higher is better, compared by magnitude).
_COMPARED = tuple(tuple(m) for m in _core.experiments.COMPARED_METRICS)


class Comparison:
    """Several controllers run on the same individuals, noise and set-point
    schedule (compare()), and their metrics paired by individual.

    ``controllers`` their names, the first the reference of the paired
    differences; ``individuals`` the individuals (0: one run without a
    population); ``results[name]`` the Result per individual (None where the
    run failed; empty lists with results=False); ``errors[name]`` the
    veltrax.Error per individual that failed; ``metrics[metric]`` a
    MetricComparison (iae, ise, max_overshoot, max_undershoot,
    max_settling_time, time_in_band, total_control, peak_control, and for the
    built-in model mdpe, mdape, wobble, divergence; a change that never
    settled counts as an infinite settling time). Lower is better but for
    time_in_band, and the smaller magnitude for mdpe and divergence.
    values(metric) gives the per-individual values, plot() draws them.
    The numbers are those ``veltrax report`` writes for the same runs.
    """

    __slots__ = ("controllers", "individuals", "results", "errors", "metrics", "_values")

    def __init__(self, controllers, individuals, results, errors, values) -> None:
        self.controllers = tuple(controllers)
        self.individuals = tuple(individuals)
        self.results = results
        self.errors = errors
        self._values = values
        self.metrics = {}
        for (name, _, _), m in zip(_COMPARED, _core.experiments.compare_values(values)):
            bands = [Band(*b) for b in m["values"]]
            differences = [Band(*b) for b in m["differences"]]
            self.metrics[name] = MetricComparison(
                name, dict(zip(self.controllers, bands)), dict(zip(self.controllers[1:], differences[1:])),
                dict(zip(self.controllers, m["wins"])), m["contested"])

    @property
    def reference(self) -> str:
        return self.controllers[0]

    def values(self, metric: str) -> dict[str, np.ndarray]:
        """Per controller, the metric on each individual (NaN where it has none or failed)."""
        k = [name for name, _, _ in _COMPARED].index(metric)
        return {c: np.array([v[k] if v else np.nan for v in self._values[i]]) for i, c in enumerate(self.controllers)}

    def plot(self, path=None, metrics=("iae", "max_overshoot", "total_control", "mdape")):
        """A figure (matplotlib): the 5, 50 and 95 % of y and u of each
        controller over the individuals, and the paired differences of
        `metrics` from the reference; saved to `path` when given."""
        from . import _plot
        return _plot.comparison_figure(self, metrics, path)

    def __repr__(self) -> str:
        return f"<veltrax.Comparison {', '.join(self.controllers)} on {len(self.individuals)} individuals>"


def _controller_names(controllers) -> list[tuple[str, Any]]:
    """(name, controller) pairs with distinct names usable in folder names."""
    pairs = list(controllers.items()) if isinstance(controllers, Mapping) else []
    if not pairs:
        for k, c in enumerate(controllers):
            if isinstance(c, (Build, int)) and not isinstance(c, bool):
                name = f"veltrax{int(Build(c))}"
            elif isinstance(c, Pid):
                name = "pid"
            else:
                name = getattr(c, "__name__", "") if getattr(c, "__name__", "").isidentifier() else f"controller{k + 1}"
            pairs.append((name, c))
    names = [n for n, _ in pairs]
    if not pairs or len(set(names)) != len(names):
        raise Error("veltrax:badController", f"compare needs controllers of distinct names, got {names}; give them "
                    "as a dict name -> controller")
    for name, c in pairs:
        if not (isinstance(name, str) and 0 < len(name) <= 64 and all(ch.isalnum() or ch in "_-." for ch in name)):
            raise Error("veltrax:badController", f"controller name {name!r}: 1 to 64 letters, digits, '_', '-' or '.'")
        _controller(c)
    return pairs


def _individual_settings(base: Settings, population, individuals):
    """(individual, Settings or Error) for each individual."""
    if population is None:
        return [(0, base)]
    out = []
    for k in individuals:
        settings, error = population._core.settings(population._index(k), base._to_core())
        if error:
            rejected = Error(error[1], error[2])
            rejected._individual = True  # its run folder says why, as the tool's does
            out.append((k, rejected))
        else:
            out.append((k, Settings._from_core(settings)))
    return out


def _run_controller(controller, units, seed, setpoint, threads):
    """Results (or veltrax.Error) of one controller on every unit."""
    runnable = [(k, s) for k, s in units if isinstance(s, Settings)]
    out = {k: s for k, s in units if not isinstance(s, Settings)}
    if _controller(controller) is None or isinstance(controller, Pid):
        build = controller if isinstance(controller, Pid) else Build(controller)
        jobs = [(build, [Call(settings=s, setpoint=setpoint)], seed) for _, s in runnable]
        for (k, _), job in zip(runnable, run_batch(jobs, threads)):
            out[k] = job.results[0] if job.ok else job.error
        return out
    for k, s in runnable:  # a callable runs here, a fresh copy for each individual
        try:
            out[k] = Simulation(seed=seed, controller=copy.deepcopy(controller)).call(s, setpoint=setpoint)
        except Error as e:
            out[k] = e
    return out


def compare(controllers, settings: Settings | None = None, *, population=None, individuals=None, seed=None,
            setpoint=None, outdir=None, name: str = "compare", threads: int = 0, results: bool = True,
            **keywords) -> Comparison:
    """Runs every controller on the same individuals, with the same noise
    seed and set-point schedule, and pairs their metrics.

        cmp = veltrax.compare({"adaptive": 2, "pid": veltrax.Pid(0.5, 0.02)}, settings,
                              population=pop, seed=7, outdir="out")
        cmp.metrics["iae"].differences["pid"]      # Band of pid - adaptive over the population

    controllers  a dict name -> controller, or a list (named veltrax1..3,
                 pid, or the callable's name): a build (the adaptive
                 controller), a veltrax.Pid, or a callable of your own (each
                 individual gets a deep copy of it)
    settings     the call (a Settings; keywords as Simulation.call's replace
                 its fields); population: a veltrax.Population or its block,
                 whose individuals (all, or `individuals`) replace their
                 values in it
    outdir       also writes one run folder per individual and controller
                 (OUTDIR/NAME@CONTROLLER/individual_K) and the manifest, so
                 that veltrax.report(outdir) (or ``veltrax report``) adds the
                 comparison to the report
    threads      runs of the built-in controllers at once (callables run on
                 this thread)

    An individual that cannot be run, or a run that fails, is left out of
    its pairs (Comparison.errors); an exception from a callable ends the
    comparison and reaches the caller.
    """
    pairs = _controller_names(controllers)
    base = _request(None, None, None, keywords.pop("curve", None), None, keywords.pop("model", None), settings,
                    keywords)
    if population is not None and not isinstance(population, Population):
        population = Population(population)
    if population is not None and individuals is None:
        individuals = range(1, population.size + 1)
    units = _individual_settings(base, population, individuals)
    seed = None if seed is None else _seed(seed)
    run = {n: _run_controller(c, units, seed, setpoint, threads) for n, c in pairs}
    order = [k for k, _ in units]
    values, kept, errors = [], {}, {}
    for n, _ in pairs:
        got = [run[n][k] for k in order]
        values.append([list(_core.experiments.compared_values(
            r.t, r.trajectory, r.sample_period, r.info.builtin_model, r._in_force is not None,
            None if r._in_force is None else r._in_force[0])) if isinstance(r, Result) else [] for r in got])
        kept[n] = [r if isinstance(r, Result) else None for r in got] if results else []
        errors[n] = {k: r for k, r in zip(order, got) if isinstance(r, Error)}
    if outdir is not None:
        from . import experiments
        experiments._write_comparison(os.fspath(outdir), name, pairs, base, population, order, setpoint, seed, run)
    return Comparison([n for n, _ in pairs], order, kept, errors, values)


# After Error, which they raise.
from . import sensitivity  # noqa: E402
from .tuning import TuneResult, tune  # noqa: E402
from .sweep_store import Sweep, open_sweep  # noqa: E402  (needs Error above)
