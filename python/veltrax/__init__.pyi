# SPDX-License-Identifier: LGPL-2.1-or-later
import enum
import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, Callable, NamedTuple, Union

import numpy as np
import numpy.typing as npt

__version__: str

def build_info() -> str: ...

# A matrix input: a scalar, a (nested) sequence or an array of real numbers.
_Input = Union[float, Sequence[float], Sequence[Sequence[float]], npt.ArrayLike]
# A set-point step: [time, value], optionally followed by "after" and/or "ramp".
_Step = Sequence[Union[float, str]]

class Error(ValueError):
    id: str
    def __init__(self, id: str, message: str) -> None: ...

class Build(enum.IntEnum):
    PREVIEW = 1
    BASE = 2
    PREVIEW_HOLD = 3

class Noise:
    kind: str
    amplitude: float
    def __init__(self, kind: str = ..., amplitude: float = ...) -> None: ...

class TransferFunction:
    numerator: tuple[float, ...]
    denominator: tuple[float, ...]
    def __init__(self, numerator: Sequence[float] = ..., denominator: Sequence[float] = ...) -> None: ...

class BodyModel:
    body_mass: float
    cardiac_output: float
    def __init__(self, body_mass: float = ..., cardiac_output: float = ...) -> None: ...

class Curve:
    plant_midpoint: float
    midpoint: float
    plant_exponent: float
    exponent: float
    def __init__(
        self, plant_midpoint: float = ..., midpoint: float = ..., plant_exponent: float = ..., exponent: float = ...
    ) -> None: ...

_Noise = Union[Noise, Mapping[str, Any]]
_Process = Union[TransferFunction, BodyModel, Mapping[str, Any]]
_Curve = Union[Curve, Mapping[str, float], Sequence[float]]

class Settings:
    samples: int
    control_weight: float
    dead_time: int
    u_max: float
    a_order: int
    b_order: int
    noise: Noise
    rk4_steps: int
    rk4_step: float
    process: Union[TransferFunction, BodyModel]
    curve: Curve
    observer: tuple[float, float, float]
    def __init__(
        self,
        samples: int = ...,
        control_weight: float = ...,
        dead_time: int = ...,
        u_max: float = ...,
        a_order: int = ...,
        b_order: int = ...,
        noise: _Noise = ...,
        rk4_steps: int = ...,
        rk4_step: float = ...,
        process: _Process = ...,
        curve: _Curve = ...,
        observer: Sequence[float] = ...,
    ) -> None: ...
    @property
    def sample_period(self) -> float: ...
    @classmethod
    def from_inputs(
        cls, params: _Input, numerator: _Input, denominator: _Input, curve: _Input, T: _Input | None = ...
    ) -> Settings: ...

class CallInfo(NamedTuple):
    sample_count: int
    a_order: int
    b_order: int
    gaussian_noise: bool
    builtin_model: bool

class Result:
    t: npt.NDArray[np.float64]
    trajectory: npt.NDArray[np.float64]
    theta: npt.NDArray[np.float64]
    search: npt.NDArray[np.float64]
    sums: npt.NDArray[np.float64]
    build: Build
    info: CallInfo
    sample_period: float
    @property
    def columns(self) -> dict[str, tuple[str, ...]]: ...
    def column(self, name: str) -> Union[npt.NDArray[np.float64], float]: ...
    def __getattr__(self, name: str) -> Any: ...
    def __iter__(self) -> Iterator[npt.NDArray[np.float64]]: ...

class Observation:
    @property
    def sample(self) -> int: ...
    @property
    def time(self) -> float: ...
    @property
    def setpoint(self) -> float: ...
    @property
    def preview(self) -> tuple[float, ...]: ...
    @property
    def measured(self) -> float: ...
    @property
    def previous_control(self) -> float: ...
    @property
    def sample_period(self) -> float: ...
    @property
    def u_max(self) -> float: ...

class Pid:
    kp: float
    ki: float
    kd: float
    filter_time: float
    anti_windup: str
    tracking_time: float
    def __init__(
        self,
        kp: float = ...,
        ki: float = ...,
        kd: float = ...,
        filter_time: float = ...,
        anti_windup: str = ...,
        tracking_time: float = ...,
    ) -> None: ...

class Disturbance:
    kind: str
    start: float
    amplitude: float
    rise: float | None
    duration: float | None
    fall: float | None
    end: float | None
    rate: float | None
    low: float | None
    high: float | None
    def __init__(
        self,
        kind: str,
        start: float = ...,
        amplitude: float = ...,
        rise: float | None = ...,
        duration: float | None = ...,
        fall: float | None = ...,
        end: float | None = ...,
        rate: float | None = ...,
        low: float | None = ...,
        high: float | None = ...,
    ) -> None: ...

class Sensor:
    time_constant: float
    artefact_probability: float
    artefact_amplitude: float
    dropout_probability: float
    dropout_min: int
    dropout_max: int | None
    delay: int
    quantum: float
    def __init__(
        self,
        time_constant: float = ...,
        artefact_probability: float = ...,
        artefact_amplitude: float = ...,
        dropout_probability: float = ...,
        dropout_min: int = ...,
        dropout_max: int | None = ...,
        delay: int = ...,
        quantum: float = ...,
    ) -> None: ...

class Actuator:
    rate_limit: float
    quantum: float
    boluses: tuple[Any, ...]
    def __init__(self, rate_limit: float = ..., quantum: float = ..., boluses: tuple[Any, ...] = ...) -> None: ...

class Change:
    time: float
    cardiac_output: float | None
    cardiac_output_factor: float | None
    body_mass: float | None
    gain: float | None
    def __init__(
        self,
        time: float,
        cardiac_output: float | None = ...,
        cardiac_output_factor: float | None = ...,
        body_mass: float | None = ...,
        gain: float | None = ...,
    ) -> None: ...

# A plant-model block: the record or a dict of the scenario files' block.
_Disturbance = Union[Disturbance, Mapping[str, Any]]
_Sensor = Union[Sensor, Mapping[str, Any]]
_Actuator = Union[Actuator, Mapping[str, Any]]
_Change = Union[Change, Mapping[str, Any]]

# A controller: a build (the adaptive controller), a Pid, or a callable of your own.
_Controller = Union[Build, int, Pid, Callable[[Observation], Any]]

class Simulation:
    def __init__(
        self, build: Union[Build, int] = ..., seed: int | None = ..., *, controller: _Controller | None = ...
    ) -> None: ...
    @property
    def build(self) -> Build: ...
    @property
    def controller(self) -> _Controller | None: ...
    def seed_noise(self, seed: int) -> None: ...
    def call(
        self,
        params: Union[_Input, Settings, None] = ...,
        numerator: _Input | None = ...,
        denominator: _Input | None = ...,
        curve: Union[_Input, _Curve, None] = ...,
        T: _Input | None = ...,
        *,
        settings: Settings | None = ...,
        samples: int | None = ...,
        control_weight: float | None = ...,
        dead_time: int | None = ...,
        u_max: float | None = ...,
        a_order: int | None = ...,
        b_order: int | None = ...,
        noise: _Noise | None = ...,
        rk4_steps: int | None = ...,
        rk4_step: float | None = ...,
        process: _Process | None = ...,
        observer: Sequence[float] | None = ...,
        model: BodyModel | None = ...,
        setpoint: Sequence[_Step] | None = ...,
        threads: int = ...,
        disturbances: Sequence[_Disturbance] | None = ...,
        sensor: _Sensor | None = ...,
        actuator: _Actuator | None = ...,
        changes: Sequence[_Change] | None = ...,
        draw_seed: int = ...,
        individual: int = ...,
    ) -> Result: ...
    def save_state(self) -> bytes: ...
    def load_state(self, snapshot: Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]]) -> None: ...
    def __copy__(self) -> Simulation: ...
    def __deepcopy__(self, memo: dict[int, Any]) -> Simulation: ...

def load_state(snapshot: Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]]) -> Simulation: ...

class Plant:
    def __init__(
        self,
        params: Union[_Input, Settings, None] = ...,
        numerator: _Input | None = ...,
        denominator: _Input | None = ...,
        curve: Union[_Input, _Curve, None] = ...,
        T: _Input | None = ...,
        *,
        settings: Settings | None = ...,
        seed: int | None = ...,
        setpoint: Sequence[_Step] | None = ...,
        samples: int | None = ...,
        control_weight: float | None = ...,
        dead_time: int | None = ...,
        u_max: float | None = ...,
        a_order: int | None = ...,
        b_order: int | None = ...,
        noise: _Noise | None = ...,
        rk4_steps: int | None = ...,
        rk4_step: float | None = ...,
        process: _Process | None = ...,
        observer: Sequence[float] | None = ...,
        model: BodyModel | None = ...,
        threads: int = ...,
        disturbances: Sequence[_Disturbance] | None = ...,
        sensor: _Sensor | None = ...,
        actuator: _Actuator | None = ...,
        changes: Sequence[_Change] | None = ...,
        draw_seed: int | None = ...,
        individual: int = ...,
    ) -> None: ...
    @property
    def settings(self) -> Settings: ...
    def reset(self, seed: int | None = ...) -> float: ...
    def step(self, control: Union[float, npt.ArrayLike]) -> float: ...
    @property
    def time(self) -> float: ...
    @property
    def setpoint(self) -> float: ...
    @property
    def process_output(self) -> float: ...
    @property
    def measured(self) -> float: ...
    @property
    def control(self) -> float: ...
    @property
    def sums(self) -> tuple[float, float, float]: ...
    def save_state(self) -> bytes: ...
    def load_state(self, snapshot: Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]]) -> None: ...
    def __copy__(self) -> Plant: ...
    def __deepcopy__(self, memo: dict[int, Any]) -> Plant: ...

class Call:
    params: _Input | None
    numerator: _Input | None
    denominator: _Input | None
    curve: _Input | None
    T: _Input | None
    model: BodyModel | None
    setpoint: Sequence[_Step] | None
    settings: Settings | None
    disturbances: Sequence[_Disturbance] | None
    sensor: _Sensor | None
    actuator: _Actuator | None
    changes: Sequence[_Change] | None
    draw_seed: int
    individual: int
    def __init__(
        self,
        params: _Input | None = ...,
        numerator: _Input | None = ...,
        denominator: _Input | None = ...,
        curve: _Input | None = ...,
        T: _Input | None = ...,
        model: BodyModel | None = ...,
        setpoint: Sequence[_Step] | None = ...,
        settings: Settings | None = ...,
        disturbances: Sequence[_Disturbance] | None = ...,
        sensor: _Sensor | None = ...,
        actuator: _Actuator | None = ...,
        changes: Sequence[_Change] | None = ...,
        draw_seed: int = ...,
        individual: int = ...,
    ) -> None: ...

class JobResult(NamedTuple):
    results: list[Result]
    error: Error | None
    @property
    def ok(self) -> bool: ...

_CallSetup = Union[Settings, Call, Sequence[_Input], Mapping[str, Any]]

# A batch job: (build, calls) or (build, calls, seed); a Pid in place of the build.
_Job = Union[
    tuple[Union[Build, int, Pid], Iterable[_CallSetup]],
    tuple[Union[Build, int, Pid], Iterable[_CallSetup], int | None],
]

def run_batch(jobs: Iterable[_Job], threads: int = ...) -> list[JobResult]: ...
def matprod(A: _Input, B: _Input) -> npt.NDArray[np.float64]: ...

class Step(NamedTuple):
    row: int
    time: float
    from_: float
    to: float
    overshoot: float
    undershoot: float
    settled: bool
    settling_time: float
    time_in_band: float

class DisturbanceWindow(NamedTuple):
    name: str
    start: float
    end: float
    rows: int
    peak_deviation: float
    returned: bool
    return_time: float
    iae: float
    control: float

class Metrics:
    samples: int
    iae: float
    ise: float
    total_control: float
    peak_control: float
    steps: tuple[Step, ...]
    max_overshoot: float
    max_undershoot: float
    max_settling_time: float
    time_in_band: float
    runaway: bool
    mdpe: float | None
    mdape: float | None
    wobble: float | None
    divergence: float | None
    disturbances: tuple[DisturbanceWindow, ...]
    disturbance_peak: float
    disturbance_return_time: float
    disturbance_iae: float
    disturbance_control: float

def metrics(result: Result, *, band: float = ...) -> Metrics: ...

class Individual(NamedTuple):
    index: int
    covariates: dict[str, float]
    valid: bool
    reason: str

class Population:
    def __init__(self, block: Mapping[str, Any]) -> None: ...
    @classmethod
    def from_dict(cls, block: Mapping[str, Any]) -> Population: ...
    @classmethod
    def from_json(cls, text: str) -> Population: ...
    @property
    def size(self) -> int: ...
    @property
    def seed(self) -> int: ...
    def __len__(self) -> int: ...
    def to_dict(self) -> dict[str, Any]: ...
    def draw(self, k: int) -> Individual: ...
    def inputs(self, k: int, call: _CallSetup) -> dict[str, npt.NDArray[np.float64]]: ...

class ReportResult(NamedTuple):
    manifest: bool
    expected: int
    ok: int
    failed: int
    unreadable: int
    missing: list[str]
    unexpected: list[str]
    written: list[str]
    missing_count: int
    unexpected_count: int

def report(outdir: Union[str, os.PathLike[str]], plots: bool = ...) -> ReportResult: ...

class Sweep(Mapping[str, np.ndarray]):
    attrs: dict[str, Any]
    def __getitem__(self, name: str) -> np.ndarray: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...

def open_sweep(path: Union[str, os.PathLike[str]]) -> Any: ...

class Band(NamedTuple):
    p5: float
    p50: float
    p95: float
    n: int

class MetricComparison(NamedTuple):
    metric: str
    values: dict[str, Band]
    differences: dict[str, Band]
    wins: dict[str, int]
    contested: int

class Comparison:
    controllers: tuple[str, ...]
    individuals: tuple[int, ...]
    results: dict[str, list[Result | None]]
    errors: dict[str, dict[int, Error]]
    metrics: dict[str, MetricComparison]
    @property
    def reference(self) -> str: ...
    def values(self, metric: str) -> dict[str, npt.NDArray[np.float64]]: ...
    def plot(self, path: Union[str, os.PathLike[str], None] = ..., metrics: Sequence[str] = ...) -> Any: ...

def compare(
    controllers: Union[Mapping[str, _Controller], Sequence[_Controller]],
    settings: Settings | None = ...,
    *,
    population: Union[Population, Mapping[str, Any], None] = ...,
    individuals: Iterable[int] | None = ...,
    seed: int | None = ...,
    setpoint: Sequence[_Step] | None = ...,
    outdir: Union[str, os.PathLike[str], None] = ...,
    name: str = ...,
    threads: int = ...,
    results: bool = ...,
    **keywords: Any,
) -> Comparison: ...

from . import sensitivity as sensitivity
from .tuning import TuneResult as TuneResult
from .tuning import tune as tune
