# SPDX-License-Identifier: LGPL-2.1-or-later
# Shared inputs and checks of the Python tests. CTest sets the paths; run by
# hand, they default to the source tree and build/.
import os
import pathlib

import numpy as np

SOURCE_DIR = pathlib.Path(os.environ.get("VELTRAX_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
GOLDEN_DIR = pathlib.Path(os.environ.get("VELTRAX_GOLDEN_DIR", SOURCE_DIR / "tests" / "golden"))
CLI = pathlib.Path(os.environ.get("VELTRAX_CLI", SOURCE_DIR / "build" / "bin" / "veltrax"))

CURVE = [0.404, 0.505, 2.98, 4.0]
TYPICAL = [300, 0.1, 4, 2, 3, 3, 0, 10, 0.1]
THIRD_ORDER = {"numerator": [1], "denominator": [1, 3, 3, 1]}


def assert_same_bits(got, want, what=""):
    got = np.asarray(got, dtype=np.float64)
    want = np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape, f"{what}: shape {got.shape} != {want.shape}"
    differ = got.view(np.uint64) != want.view(np.uint64)
    if differ.any():
        i = tuple(int(k) for k in np.argwhere(differ)[0])
        raise AssertionError(f"{what}: element {i}: {float(got[i]).hex()} != {float(want[i]).hex()}")


def assert_same_results(got, want, what=""):
    for name, g, w in zip(("t", "trajectory", "theta", "search", "sums"), got, want):
        assert_same_bits(g, w, f"{what} {name}")
