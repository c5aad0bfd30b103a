import enum
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple, Union

import numpy as np
import numpy.typing as npt

__version__: str

# A matrix input: a scalar, a (nested) sequence or an array of real numbers.
_Input = Union[float, Sequence[float], Sequence[Sequence[float]], npt.ArrayLike]

class Error(ValueError):
    id: str
    def __init__(self, id: str, message: str) -> None: ...

class Build(enum.IntEnum):
    PREVIEW = 1
    BASE = 2
    PREVIEW_HOLD = 3

class BodyModel:
    body_mass: float
    cardiac_output: float
    def __init__(self, body_mass: float, cardiac_output: float) -> None: ...

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
    @property
    def columns(self) -> dict[str, tuple[str, ...]]: ...
    def column(self, name: str) -> Union[npt.NDArray[np.float64], float]: ...
    def __getattr__(self, name: str) -> Any: ...
    def __iter__(self) -> Iterator[npt.NDArray[np.float64]]: ...

class Simulation:
    def __init__(self, build: Union[Build, int] = ...) -> None: ...
    @property
    def build(self) -> Build: ...
    def call(
        self,
        params: _Input,
        numerator: _Input | None = ...,
        denominator: _Input | None = ...,
        curve: _Input | None = ...,
        T: _Input | None = ...,
        *,
        model: BodyModel | None = ...,
        threads: int = ...,
    ) -> Result: ...
    def __copy__(self) -> Simulation: ...
    def __deepcopy__(self, memo: dict[int, Any]) -> Simulation: ...

class Call:
    params: _Input
    numerator: _Input | None
    denominator: _Input | None
    curve: _Input | None
    T: _Input | None
    model: BodyModel | None
    def __init__(
        self,
        params: _Input,
        numerator: _Input | None = ...,
        denominator: _Input | None = ...,
        curve: _Input | None = ...,
        T: _Input | None = ...,
        model: BodyModel | None = ...,
    ) -> None: ...

class JobResult(NamedTuple):
    results: list[Result]
    error: Error | None
    @property
    def ok(self) -> bool: ...

_CallSpec = Union[Call, Sequence[_Input], Mapping[str, Any]]

def run_batch(jobs: Iterable[tuple[Union[Build, int], Iterable[_CallSpec]]], threads: int = ...) -> list[JobResult]: ...
def matprod(A: _Input, B: _Input) -> npt.NDArray[np.float64]: ...
