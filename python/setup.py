"""The compiled part of the package: veltrax._core from the binding and the
C++ core, compiled with the flags of the CMake build so that results are
bit-identical to the plug-ins'. From the repository root:

    python3 -m pip install --no-build-isolation ./python
"""

import re
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

ROOT = Path(__file__).resolve().parent.parent
CMAKE_LISTS = ROOT / "CMakeLists.txt"


# Sources, flags and version as the top-level CMakeLists.txt states them.
def cmake(pattern: str, what: str) -> str:
    found = re.search(pattern, CMAKE_LISTS.read_text(), re.DOTALL)
    if not found:
        raise SystemExit(f"setup.py: {what} not found in {CMAKE_LISTS}")
    return found.group(1)


def library_sources(target: str) -> list:
    sources = cmake(rf"add_library\({target}\s+STATIC\s+([^)]*)\)", f"library {target}").split()
    return [f"../{s}" for s in sources]  # setuptools takes paths relative to this folder


def compile_flags() -> list:
    release = cmake(r'set\(CMAKE_CXX_FLAGS_RELEASE\s+"([^"]*)"\)', "CMAKE_CXX_FLAGS_RELEASE").split()
    options = cmake(r"add_compile_options\(([^)]*)\)", "add_compile_options").split()  # the first: the arithmetic
    standard = cmake(r"set\(CMAKE_CXX_STANDARD\s+(\d+)\)", "CMAKE_CXX_STANDARD")
    return [f"-std=c++{standard}", *release, *options]


VERSION = cmake(r"project\(veltrax\s+VERSION\s+([0-9.]+)", "project version")
SOURCES = ["src/veltrax_module.cpp"]
for target in ("veltrax_api", "veltrax_core", "matprod_core"):
    SOURCES += library_sources(target)

# Compiles the sources two at a time (VELTRAX_BUILD_JOBS to change).
ParallelCompile("VELTRAX_BUILD_JOBS", default=2).install()

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
            cxx_std=None,  # in compile_flags()
        )
    ],
    cmdclass={"build_ext": build_ext},
)
