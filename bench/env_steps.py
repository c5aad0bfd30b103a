# SPDX-License-Identifier: LGPL-2.1-or-later
"""Steps per second of the reinforcement-learning environment: 64 dosing
environments stepped together (VectorDosingEnv, one call into the compiled
module per step) and one stepped alone (DosingEnv), on the default task.
Python adds to what veltrax_bench's BM_StepPlants measures in C++.

    PYTHONPATH=build/python /usr/bin/python3 bench/env_steps.py [SECONDS]
"""

import sys
import time

import numpy as np

from veltrax.env import DosingEnv, VectorDosingEnv


def rate(step, seconds: float) -> float:
    """Calls of step() per second of CPU time of this process."""
    calls, start = 0, time.process_time()
    while time.process_time() - start < seconds:
        step()
        calls += 1
    return calls / (time.process_time() - start)


def main() -> None:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    envs = VectorDosingEnv(64)
    envs.reset(seed=1)
    actions = np.full((64, 1), 0.5)
    print(f"VectorDosingEnv, 64 environments: {64 * rate(lambda: envs.step(actions), seconds):,.0f} steps per second")
    env = DosingEnv()
    env.reset(seed=1)

    def one():
        if env.step(0.5)[3]:
            env.reset()

    print(f"DosingEnv, one environment:       {rate(one, seconds):,.0f} steps per second")


if __name__ == "__main__":
    main()
