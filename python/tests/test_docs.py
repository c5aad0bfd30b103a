# SPDX-License-Identifier: LGPL-2.1-or-later
# The README's Python example and demo command (the example script).
import pathlib
import re
import subprocess

import veltrax
from conftest import SOURCE_DIR, assert_same_results
from test_golden import golden

README = (SOURCE_DIR / "README.md").read_text()
PACKAGE_DIR = pathlib.Path(veltrax.__file__).resolve().parent
BUILD_DIR = PACKAGE_DIR.parents[1]  # <build>/python/veltrax


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README, re.MULTILINE | re.DOTALL)


def test_readme_python_example_gives_what_it_says(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    names = {}
    exec(compile("\n".join(blocks("python")), "README.md", "exec"), names)
    printed = capsys.readouterr().out
    # The typical call by name and by position: the recorded bits.
    typical = golden("v2_linear_two_calls")[0]
    assert_same_results(names["r"], typical, "by name")
    assert_same_results(names["ported"], typical, "by position")
    assert "veltrax:badOrder settings.a_order must be between 0 and 6, got 7" in printed
    assert all(job.ok for job in names["jobs"]) and names["restored"].save_state() == names["snapshot"]


def test_readme_demo_command_writes_the_plot(tmp_path):
    # A scratch folder laid out like the repository root.
    (tmp_path / "build").symlink_to(BUILD_DIR)
    (tmp_path / "examples").symlink_to(SOURCE_DIR / "examples")
    commands = [line for block in blocks("sh") for line in block.splitlines() if "closed_loop_demo.py" in line]
    assert commands
    for command in commands:
        subprocess.run(["bash", "-euc", command], cwd=tmp_path, check=True)
    assert (tmp_path / "results" / "python_closed_loop.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

