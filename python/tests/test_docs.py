# SPDX-License-Identifier: LGPL-2.1-or-later
# The README's Python example and demo command (the example script).
import pathlib
import re
import subprocess
import sys

import veltrax
from conftest import SOURCE_DIR

README = (SOURCE_DIR / "README.md").read_text()
PACKAGE_DIR = pathlib.Path(veltrax.__file__).resolve().parent
BUILD_DIR = PACKAGE_DIR.parents[1]  # <build>/python/veltrax


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README, re.MULTILINE | re.DOTALL)


def test_readme_python_example_runs(tmp_path):
    code = "\n".join(blocks("python"))
    assert "veltrax.Simulation" in code
    subprocess.run([sys.executable, "-c", code], cwd=tmp_path, check=True)


def test_readme_demo_command_writes_the_plot(tmp_path):
    # A scratch folder laid out like the repository root.
    (tmp_path / "build").symlink_to(BUILD_DIR)
    (tmp_path / "examples").symlink_to(SOURCE_DIR / "examples")
    commands = [line for block in blocks("sh") for line in block.splitlines() if "closed_loop_demo.py" in line]
    assert commands
    for command in commands:
        subprocess.run(["bash", "-euc", command], cwd=tmp_path, check=True)
    assert (tmp_path / "results" / "python_closed_loop.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

