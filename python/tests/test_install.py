# SPDX-License-Identifier: LGPL-2.1-or-later
# pip install of the package, offline with the system's setuptools and
# pybind11, into a virtual environment that sees the system's NumPy: the
# installed module gives the bits of the CMake-built one.
import os
import pickle
import shutil
import subprocess
import sys

import veltrax
from conftest import CURVE, SOURCE_DIR, assert_same_results


def test_pip_install_into_a_virtual_environment(tmp_path):
    def ignore(folder, names):  # build folders, results and caches
        skip = {n for n in names if n == "__pycache__" or n.endswith(".egg-info")}
        if folder == str(SOURCE_DIR):
            skip |= {n for n in names if n.startswith(("build", ".")) or n in ("results", "out")}
        elif folder == str(SOURCE_DIR / "python"):
            skip.add("build")
        return skip
    shutil.copytree(SOURCE_DIR, tmp_path / "src", ignore=ignore)
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--quiet", "./python"],
                   cwd=tmp_path / "src", check=True)
    left = {"build", "veltrax.egg-info"} & set(os.listdir(tmp_path / "src" / "python"))
    assert not left, f"pip install left {left} in the source tree"

    args = ([60, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1], [1], [1, 3, 3, 1], CURVE)
    script = ("import os, pickle, sys, veltrax; folder = os.path.dirname(veltrax.__file__); "
              "assert folder.startswith(sys.prefix) and 'py.typed' in os.listdir(folder), folder; "
              f"pickle.dump(list(veltrax.Simulation(3).call(*{args!r})), sys.stdout.buffer)")
    # Without the PYTHONPATH of the CMake-built package.
    installed = subprocess.run([python, "-c", script], cwd=tmp_path, env={"PATH": "/usr/bin:/bin"},
                               capture_output=True, check=True)
    assert_same_results(pickle.loads(installed.stdout), veltrax.Simulation(3).call(*args))
