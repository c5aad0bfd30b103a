# SPDX-License-Identifier: LGPL-2.1-or-later
"""A reinforcement-learning environment on the plant, with the Gymnasium API.

    >>> from veltrax.env import DosingEnv
    >>> env = DosingEnv()                        # the default task below
    >>> observation, info = env.reset(seed=42)
    >>> observation, reward, terminated, truncated, info = env.step([0.5])

The default task: the built-in drug-distribution model of a virtual patient
drawn from the example population (examples/populations/patients.json, size
1000, seed 42; a new patient every episode), the measured effect held at 0.5,
raised along a ramp to 0.8 from t = 100 to 110 and lowered to 0.6 after
t = 200, uniform measurement noise of the patient's amplitude, an infusion
limited to [0, 2], a dead time of the patient's, and episodes of 300 sample
periods (60 model seconds each).

Observation: float64 [measured effect y, set-point in force, infusion applied
in the previous sample period]. Action: the infusion, one float64 in [0,
u_max]; the plant limits any other value to that range (a value that is not
a finite number raises veltrax.Error "veltrax:badControl"). Reward after a
step: -(|r - y| + effort_weight * u) with the new sample period's set-point r
and measurement y and the infusion u applied (effort_weight 0.01 by default),
or reward(y, r, u) of your own (NumPy arrays in the vectorised form). An
episode never terminates; it is truncated after `episode_samples` steps, and
stepping it further without reset() raises veltrax.Error "veltrax:needsReset".

reset(seed=...) seeds the environment's generator (numpy's PCG64), which
draws each episode's patient (from the population) and noise seed, so an
episode seed gives the same episode whatever came before;
options={"individual": k, "noise_seed": n} choose them instead.

Where the ``gymnasium`` package is importable, DosingEnv subclasses
gymnasium.Env, VectorDosingEnv gymnasium.vector.VectorEnv, the spaces are
gymnasium.spaces.Box, and "veltrax/Dosing-v0" is registered. Without it
(Debian packages no Gymnasium) the classes work alike, with a Box of their own.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Callable

import numpy as np

from . import BodyModel, Curve, Error, Noise, Plant, Population, Settings, _control, _core, _seed, _steps

try:  # pragma: no cover - exercised only where gymnasium is installed
    import gymnasium as _gym
    from gymnasium import spaces as _spaces
except ImportError:
    _gym = None
    _spaces = None

__all__ = ["Box", "DosingEnv", "VectorDosingEnv", "DEFAULT_POPULATION", "DEFAULT_SETPOINT", "default_settings"]

#: The set-point profile of the default task.
DEFAULT_SETPOINT = [[0, 0.5], [100, 0.5, "ramp"], [110, 0.8], [200, 0.6, "after"]]

#: The population of the default task: the example population's, 1000 patients.
DEFAULT_POPULATION = {
    "size": 1000, "seed": 42,
    "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40, "max": 130},
    "cardiac_output": {"dist": "lognormal", "median": 6.5, "sigma": 0.15},
    "plant_hill_midpoint": {"dist": "uniform", "low": 40, "high": 60},
    "plant_hill_exponent": {"dist": "normal", "mean": 2.98, "sd": 0.3, "min": 1},
    "dead_time": {"dist": "uniform", "low": 1.5, "high": 4.5},
    "noise_amplitude": {"dist": "lognormal", "median": 0.001, "sigma": 0.5},
    "correlation": {"body_mass,cardiac_output": 0.6},
}


def default_settings() -> Settings:
    """The plant of the default task, before a patient's values go in."""
    return Settings(samples=300, dead_time=2, u_max=2, noise=Noise("uniform", 0.001), rk4_steps=10, rk4_step=0.1,
                    process=BodyModel(70, 6.48), curve=Curve(50, 0.505, 2.98, 4.0))


class Box:
    """A box of float64 values between low and high (Gymnasium's Box where
    gymnasium is not installed): shape, dtype, sample(), contains(), seed()."""

    def __init__(self, low, high, shape=None, dtype=np.float64) -> None:
        self.dtype = np.dtype(dtype)
        self.shape = tuple(shape) if shape is not None else np.shape(low)
        self.low = np.broadcast_to(np.asarray(low, self.dtype), self.shape).copy()
        self.high = np.broadcast_to(np.asarray(high, self.dtype), self.shape).copy()
        self._rng = np.random.default_rng()

    def seed(self, seed=None) -> None:
        self._rng = np.random.default_rng(seed)

    def sample(self) -> np.ndarray:
        """Uniform within finite bounds (normal around a one-sided bound)."""
        low = np.where(np.isfinite(self.low), self.low, -1.0)
        high = np.where(np.isfinite(self.high), self.high, low + 1.0)
        return self._rng.uniform(low, high).astype(self.dtype)

    def contains(self, x) -> bool:
        a = np.asarray(x, dtype=self.dtype)
        return a.shape == self.shape and bool(np.all(a >= self.low) and np.all(a <= self.high))

    def __contains__(self, x) -> bool:
        return self.contains(x)

    def __repr__(self) -> str:
        return f"Box({self.low}, {self.high}, {self.shape}, {self.dtype})"


def _box(low, high, shape):
    if _spaces is not None:  # pragma: no cover
        return _spaces.Box(low=np.asarray(low, np.float64), high=np.asarray(high, np.float64), shape=shape,
                           dtype=np.float64)
    return Box(low, high, shape)


def _default_reward(effort_weight: float):
    def reward(y, setpoint, u):
        return -(np.abs(setpoint - y) + effort_weight * u)
    return reward


class _Task:
    """What both forms share: the plant's settings, schedule, population,
    reward and episode length, and each episode's plant."""

    def __init__(self, settings, setpoint, population, reward, effort_weight, episode_samples) -> None:
        self.settings = default_settings() if settings is None else settings
        if not isinstance(self.settings, Settings):
            raise TypeError(f"settings must be a veltrax.Settings, got {type(self.settings).__name__}")
        self.setpoint = DEFAULT_SETPOINT if setpoint is None else setpoint
        self.steps = _steps(self.setpoint)
        self.core_settings = self.settings._to_core()
        if population is None and settings is None:
            population = DEFAULT_POPULATION
        if population is not None and not isinstance(population, Population):
            population = Population(population)
        self.population = population
        if int(episode_samples) < 1:
            raise Error("veltrax:badSampleCount", f"episode_samples must be at least 1, got {episode_samples}")
        self.episode_samples = int(episode_samples)
        self.reward = reward if reward is not None else _default_reward(float(effort_weight))
        u_max = self.settings.u_max
        self.u_high = u_max if u_max > 0 else np.inf
        self.observation_bounds = ([0.0, -np.inf, 0.0], [1.0, np.inf, self.u_high])

    def plant(self, rng: np.random.Generator, options) -> tuple[Plant, dict]:
        """A new episode's plant and its info."""
        options = dict(options or {})
        individual = 0
        settings = self.core_settings
        if self.population is not None:
            individual = int(options.pop("individual", rng.integers(1, self.population.size + 1)))
            settings, error = self.population._core.settings(self.population._index(individual), settings)
            if error:
                raise Error(error[1], f"individual {individual}: {error[2]}")
        elif "individual" in options:
            raise Error("veltrax:badPopulation", "options individual= needs an environment with a population")
        noise_seed = _seed(options.pop("noise_seed", int(rng.integers(1, _core.experiments.MAX_NOISE_SEED + 1))))
        if options:
            raise TypeError(f"reset options take individual= and noise_seed=, got {', '.join(sorted(options))}")
        plant = Plant._made(settings, noise_seed, self.setpoint, self.steps)
        return plant, {"individual": individual, "noise_seed": noise_seed}


_EnvBase = _gym.Env if _gym is not None else object


class DosingEnv(_EnvBase):
    """The dosing task on one plant (see the module's help for the default
    task, the observation, action, reward and episodes).

    settings         the plant (a veltrax.Settings; the controller's fields
                     are not read); default: the default task's
    setpoint         the set-point schedule, as Simulation.call takes it
    population       a veltrax.Population or its block: a new individual per
                     episode; default: the example population for the default
                     task, none when settings are given
    reward           reward(y, setpoint, u) -> float instead of the default
    effort_weight    the default reward's weight of the infusion (0.01)
    episode_samples  steps per episode (300)
    """

    metadata = {"render_modes": []}
    render_mode = None

    def __init__(self, settings: Settings | None = None, *, setpoint=None, population=None,
                 reward: Callable | None = None, effort_weight: float = 0.01, episode_samples: int = 300) -> None:
        self._task = _Task(settings, setpoint, population, reward, effort_weight, episode_samples)
        low, high = self._task.observation_bounds
        self.observation_space = _box(low, high, (3,))
        self.action_space = _box([0.0], [self._task.u_high], (1,))
        self._rng = None
        self._plant = None
        self._steps = 0
        self._info = {}

    @property
    def np_random(self) -> np.random.Generator:
        """The generator that draws each episode's individual and noise seed."""
        if self._rng is None:
            self._rng = np.random.default_rng()
        return self._rng

    @property
    def plant(self) -> Plant | None:
        """The current episode's plant."""
        return self._plant

    def _observation(self) -> np.ndarray:
        p = self._plant
        return np.array([p.measured, p.setpoint, p.control], dtype=np.float64)

    def _step_info(self) -> dict[str, Any]:
        p = self._plant
        return {**self._info, "time": p.time, "setpoint": p.setpoint, "process_output": p.process_output,
                "control": p.control}

    def reset(self, *, seed: int | None = None, options: dict | None = None):
        """A new episode: (observation, info); info holds the individual (0
        without population), the noise seed, time, set-point, process output
        and control."""
        if seed is not None:
            self._rng = np.random.default_rng(seed)
        self._plant, self._info = self._task.plant(self.np_random, options)
        self._steps = 0
        return self._observation(), self._step_info()

    def step(self, action):
        """(observation, reward, terminated, truncated, info) after applying
        the infusion `action`."""
        if self._plant is None or self._steps >= self._task.episode_samples:
            raise Error("veltrax:needsReset", "the episode has ended (or not begun): call reset() first")
        y = self._plant.step(_control(action))
        self._steps += 1
        p = self._plant
        reward = float(self._task.reward(y, p.setpoint, p.control))
        truncated = self._steps >= self._task.episode_samples
        return self._observation(), reward, False, truncated, self._step_info()

    def render(self):
        return None

    def close(self) -> None:
        self._plant = None


def _actions(actions, n: int) -> np.ndarray:
    """n controls as float64, from an array (or list) of n real numbers."""
    try:
        a = np.asarray(actions)
    except ValueError:  # a ragged list
        a = np.asarray(actions, dtype=object)
    if a.dtype.kind not in "iuf" or a.size != n:
        raise Error("veltrax:badControl",
                    f"actions must be {n} real numbers, one per environment; got shape {a.shape} of {a.dtype}")
    return a.astype(np.float64).reshape(n)


_VectorBase = _gym.vector.VectorEnv if _gym is not None else object


class VectorDosingEnv(_VectorBase):
    """num_envs dosing tasks stepped together: one call into the compiled
    module steps every plant without the interpreter lock. Keywords as
    DosingEnv's (a reward takes NumPy arrays).

    reset(seed=s) seeds environment i with s + i (a list gives each its
    own); observations are (num_envs, 3), rewards, terminated and truncated
    (num_envs,). An environment whose episode was truncated is reset by the
    next step (its action ignored, its reward 0), as Gymnasium's vector
    environments do by default; infos holds arrays of the individual, noise
    seed, time, set-point, process output and control.
    """

    metadata = {"render_modes": [], "autoreset_mode": "NextStep"}
    render_mode = None

    def __init__(self, num_envs: int = 64, settings: Settings | None = None, *, setpoint=None, population=None,
                 reward: Callable | None = None, effort_weight: float = 0.01, episode_samples: int = 300) -> None:
        if int(num_envs) < 1:
            raise ValueError(f"num_envs must be at least 1, got {num_envs}")
        self.num_envs = int(num_envs)
        self._task = _Task(settings, setpoint, population, reward, effort_weight, episode_samples)
        low, high = self._task.observation_bounds
        self.single_observation_space = _box(low, high, (3,))
        self.single_action_space = _box([0.0], [self._task.u_high], (1,))
        self.observation_space = _box(np.tile(low, (self.num_envs, 1)), np.tile(high, (self.num_envs, 1)),
                                      (self.num_envs, 3))
        self.action_space = _box(np.zeros((self.num_envs, 1)), np.full((self.num_envs, 1), self._task.u_high),
                                 (self.num_envs, 1))
        self._rngs = [np.random.default_rng() for _ in range(self.num_envs)]
        self._plants: list[Plant] = []
        self._cores: list = []  # the plants' compiled parts, as step_plants takes them
        self._state = np.zeros((5, self.num_envs))  # measured, setpoint, control, time, process output
        self._steps = np.zeros(self.num_envs, dtype=np.int64)
        self._individual = np.zeros(self.num_envs, dtype=np.int64)
        self._noise_seed = np.zeros(self.num_envs, dtype=np.int64)
        self._done = np.zeros(self.num_envs, dtype=bool)

    def _reset_one(self, i: int, options) -> None:
        plant, info = self._task.plant(self._rngs[i], options)
        if i < len(self._plants):
            self._plants[i] = plant
            self._cores[i] = plant._core
        else:
            self._plants.append(plant)
            self._cores.append(plant._core)
        self._state[:, i] = (plant.measured, plant.setpoint, plant.control, plant.time, plant.process_output)
        self._steps[i] = 0
        self._individual[i], self._noise_seed[i] = info["individual"], info["noise_seed"]
        self._done[i] = False

    def _observations(self) -> np.ndarray:
        return self._state[:3].T.copy()

    def _infos(self) -> dict[str, np.ndarray]:
        return {"individual": self._individual.copy(), "noise_seed": self._noise_seed.copy(),
                "time": self._state[3].copy(), "setpoint": self._state[1].copy(),
                "process_output": self._state[4].copy(), "control": self._state[2].copy()}

    def reset(self, *, seed=None, options: dict | None = None):
        """Every environment anew: (observations, infos)."""
        if seed is not None:
            seeds = list(seed) if isinstance(seed, (list, tuple)) else [int(seed) + i for i in range(self.num_envs)]
            self._rngs = [np.random.default_rng(s) for s in seeds]
        for i in range(self.num_envs):
            self._reset_one(i, options)
        return self._observations(), self._infos()

    def step(self, actions):
        """(observations, rewards, terminated, truncated, infos)."""
        if len(self._plants) != self.num_envs:
            raise Error("veltrax:needsReset", "call reset() before the first step")
        u = _actions(actions, self.num_envs)
        live = np.flatnonzero(~self._done)
        bad = live[~np.isfinite(u[live])]
        if bad.size:
            raise Error("veltrax:badControl", f"action {bad[0]} must be a finite number, got {u[bad[0]]}")
        rewards = np.zeros(self.num_envs)
        for i in np.flatnonzero(self._done):
            self._reset_one(int(i), None)
        if live.size:
            cores = self._cores if live.size == self.num_envs else [self._cores[i] for i in live]
            stepped = _core.step_plants(cores, u if live.size == self.num_envs else u[live])
            self._state[:, live] = stepped
            self._steps[live] += 1
            rewards[live] = self._task.reward(stepped[0], stepped[1], stepped[2])
        truncated = np.zeros(self.num_envs, dtype=bool)
        truncated[live] = self._steps[live] >= self._task.episode_samples
        self._done = truncated.copy()
        return self._observations(), rewards, np.zeros(self.num_envs, dtype=bool), truncated, self._infos()

    def close(self) -> None:
        self._plants = []
        self._cores = []


def _register() -> None:  # pragma: no cover - needs gymnasium
    if _gym is None:
        return
    try:
        _gym.register(id="veltrax/Dosing-v0", entry_point="veltrax.env:DosingEnv")
    except Exception:  # registered before (a reload)
        pass


_register()
