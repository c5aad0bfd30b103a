# SPDX-License-Identifier: LGPL-2.1-or-later
# The reinforcement-learning environment: the Gymnasium API without the
# gymnasium package, seeded reproducibility, the vectorised form, and the
# subclassing and registration where gymnasium is importable.
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import veltrax
from veltrax.env import DosingEnv, VectorDosingEnv


def episode(env, seed, actions):
    observation, info = env.reset(seed=seed)
    trace = [observation]
    for a in actions:
        observation, reward, terminated, truncated, info = env.step(a)
        trace.append(np.append(observation, [reward, terminated, truncated]))
    return np.concatenate(trace), info


def test_api_contract_and_seeded_episodes():
    env = DosingEnv(episode_samples=30)
    assert env.observation_space.shape == (3,) and env.action_space.shape == (1,)
    assert env.action_space.high[0] == 2.0
    observation, info = env.reset(seed=42)
    assert observation.shape == (3,) and observation.dtype == np.float64
    assert env.observation_space.contains(observation) and info["individual"] >= 1
    actions = [np.array([0.3 + 0.02 * k]) for k in range(30)]
    first, info = episode(env, 42, actions)
    assert info["time"] == 30.0
    with pytest.raises(veltrax.Error) as e:
        env.step([0.1])
    assert e.value.id == "veltrax:needsReset"
    again, _ = episode(DosingEnv(episode_samples=30), 42, actions)
    assert np.array_equal(first, again)  # the episode seed decides the patient and the noise
    other, info = episode(env, 43, actions)
    assert not np.array_equal(first, other)
    # A rejected action changes nothing; an episode of a chosen patient.
    env.reset(seed=1, options={"individual": 7, "noise_seed": 3})
    twin = DosingEnv(episode_samples=30)
    twin.reset(options={"individual": 7, "noise_seed": 3})
    with pytest.raises(veltrax.Error, match="finite"):
        env.step(float("inf"))
    assert np.array_equal(env.step(0.5)[0], twin.step(0.5)[0])


def test_vector_environment_steps_as_the_single_ones():
    envs = VectorDosingEnv(3, episode_samples=4, effort_weight=0.1)
    observations, infos = envs.reset(seed=10)
    singles = [DosingEnv(episode_samples=4, effort_weight=0.1) for _ in range(3)]
    for i, env in enumerate(singles):
        assert np.array_equal(env.reset(seed=10 + i)[0], observations[i])
    for bad in (np.zeros(2), ["a", "b", "c"], [[0.1], [0.2, 0.3], [0.4]], np.array([0.1, np.nan, 0.2])):
        with pytest.raises(veltrax.Error) as e:  # refused before any plant moves
            envs.step(bad)
        assert e.value.id == "veltrax:badControl"
    for step in range(4):
        actions = np.array([[0.2], [0.6], [1.0]]) * (step + 1)
        observations, rewards, terminated, truncated, infos = envs.step(actions)
        for i, env in enumerate(singles):
            o, r, _, t, info = env.step(actions[i])
            assert np.array_equal(o, observations[i]) and r == rewards[i] and t == truncated[i]
            assert info["individual"] == infos["individual"][i]
    assert truncated.all() and not terminated.any()
    observations, rewards, _, truncated, infos = envs.step(np.zeros(3))  # the next step resets them
    assert (rewards == 0).all() and not truncated.any() and (infos["time"] == 0).all()


def test_subclasses_and_registers_where_gymnasium_is_importable(tmp_path):
    fake = tmp_path / "gymnasium"
    (fake / "vector").mkdir(parents=True)
    (fake / "__init__.py").write_text(textwrap.dedent("""\
        from . import spaces, vector
        registered = []
        class Env:
            pass
        def register(id, entry_point):
            registered.append((id, entry_point))
        """))
    (fake / "spaces.py").write_text(textwrap.dedent("""\
        class Box:
            def __init__(self, low, high, shape, dtype):
                self.low, self.high, self.shape, self.dtype = low, high, shape, dtype
        """))
    (fake / "vector" / "__init__.py").write_text("class VectorEnv:\n    pass\n")
    check = textwrap.dedent("""\
        import gymnasium, veltrax.env as e
        assert issubclass(e.DosingEnv, gymnasium.Env) and issubclass(e.VectorDosingEnv, gymnasium.vector.VectorEnv)
        assert isinstance(e.DosingEnv().action_space, gymnasium.spaces.Box)
        assert gymnasium.registered == [("veltrax/Dosing-v0", "veltrax.env:DosingEnv")]
        """)
    path = os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])
    subprocess.run([sys.executable, "-c", check], check=True, env={**os.environ, "PYTHONPATH": path})
