# SPDX-License-Identifier: LGPL-2.1-or-later
"""The compiled part of the package: veltrax._core from the binding, the
C++ core and the experiments library (which needs Debian's nlohmann-json3-dev,
librandom123-dev, libgsl-dev and libnlopt-dev), compiled with the flags and sources of the CMake build
(cmake/compile-flags.txt, cmake/core-sources.txt) so that results are
bit-identical to the plug-ins'. From the repository root:

    python3 -m pip install --no-build-isolation ./python
"""

import atexit
import re
import shutil
import tempfile
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

ROOT = Path(__file__).resolve().parent.parent
CMAKE_LISTS = ROOT / "CMakeLists.txt"


# The lists that the CMake build, the Octave package and the MATLAB build
# script read too: one entry a line, "#" starts a comment line.
def read_list(name: str) -> list:
    lines = (ROOT / "cmake" / name).read_text().splitlines()
    return [line.strip() for line in lines if line.strip() and not line.strip().startswith("#")]


def library_sources(library: str) -> list:
    entries = [line.split() for line in read_list("core-sources.txt")]
    sources = [source for name, source in entries if name == library]
    if not sources:
        raise SystemExit(f"setup.py: no sources of {library} in cmake/core-sources.txt")
    return [f"../{s}" for s in sources]  # setuptools takes paths relative to this folder


def compile_flags() -> list:
    return read_list("compile-flags.txt")


found = re.search(r"project\(veltrax\s+VERSION\s+([0-9.]+)", CMAKE_LISTS.read_text())
if not found:
    raise SystemExit(f"setup.py: project version not found in {CMAKE_LISTS}")
VERSION = found.group(1)
SOURCES = ["src/veltrax_module.cpp", "src/experiments_module.cpp", "src/control_module.cpp",
           "src/sensitivity_module.cpp"]
for target in ("veltrax_api", "veltrax_settings", "veltrax_core", "matprod_core", "veltrax_experiments"):
    SOURCES += library_sources(target)
SOURCES = list(dict.fromkeys(SOURCES))  # a file of both cores once

# Compiles the sources two at a time (VELTRAX_BUILD_JOBS to change).
ParallelCompile("VELTRAX_BUILD_JOBS", default=2).install()

# setuptools' build and egg-info folders go to a temporary folder, not into
# the source tree: a build folder left there would hand its objects, stale
# after a change of a header, to the next installation.
OUT = Path(tempfile.mkdtemp(prefix="veltrax-setup-"))
atexit.register(shutil.rmtree, OUT, ignore_errors=True)

setup(
    version=VERSION,
    packages=["veltrax"],
    package_data={"veltrax": ["__init__.pyi", "py.typed"]},
    ext_modules=[
        Pybind11Extension(
            "veltrax._core",
            SOURCES,
            include_dirs=[".."],
            define_macros=[("VELTRAX_VERSION", f'"{VERSION}"')],
            extra_compile_args=compile_flags(),
            extra_link_args=["-pthread"],
            # dlvsym in the core's power function; the Sobol sequence; the tuning's optimiser
            libraries=["dl", "gsl", "gslcblas", "nlopt"],
            cxx_std=None,  # in compile_flags()
        )
    ],
    cmdclass={"build_ext": build_ext},
    options={"build": {"build_base": str(OUT / "build")}, "egg_info": {"egg_base": str(OUT)}},
)
