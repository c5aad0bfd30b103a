# pip install of the package, offline with the system's setuptools and
# pybind11, into a virtual environment that sees the system's NumPy: the
# installed module gives the bits of the CMake-built one.
import pickle
import shutil
import subprocess
import sys

import veltrax
from conftest import CURVE, SOURCE_DIR, THIRD_ORDER, assert_same_results


def copy_sources(target):
    """The source tree without build folders, results and caches."""
    def ignore(folder, names):
        skip = {n for n in names if n == "__pycache__" or n.endswith(".egg-info")}
        if folder == str(SOURCE_DIR):
            skip |= {n for n in names if n.startswith(("build", ".")) or n in ("results", "out")}
        elif folder == str(SOURCE_DIR / "python"):
            skip.add("build")
        return skip
    shutil.copytree(SOURCE_DIR, target, ignore=ignore)


def test_pip_install_into_a_virtual_environment(tmp_path):
    copy_sources(tmp_path / "src")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--quiet", "./python"],
                   cwd=tmp_path / "src", check=True)

    script = ("import os, pickle, sys, veltrax; "
              "folder = os.path.dirname(veltrax.__file__); "
              "assert folder.startswith(sys.prefix), folder; "
              "assert {'__init__.pyi', 'py.typed'} <= set(os.listdir(folder)); "
              f"r = veltrax.Simulation(3).call([60, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1], [1], [1, 3, 3, 1], {CURVE}); "
              "pickle.dump(list(r), sys.stdout.buffer)")
    # Without the PYTHONPATH of the CMake-built package.
    installed = subprocess.run([python, "-c", script], cwd=tmp_path, env={"PATH": "/usr/bin:/bin"},
                               capture_output=True, check=True)
    built = veltrax.Simulation(3).call([60, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1], **THIRD_ORDER, curve=CURVE)
    assert_same_results(pickle.loads(installed.stdout), built)
