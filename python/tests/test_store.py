# SPDX-License-Identifier: LGPL-2.1-or-later
# veltrax.open_sweep reads a sweep of `veltrax batch --store netcdf`, as an
# xarray.Dataset and as plain arrays, with the values the run folders hold.
import builtins
import csv
import json
import shutil
import subprocess

import numpy as np
import pytest

import veltrax
from conftest import CLI, SOURCE_DIR, assert_same_bits

pytest.importorskip("netCDF4")
pytestmark = pytest.mark.skipif(not CLI.exists(), reason=f"command-line tool not built ({CLI})")


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    """The example population, short, in two shards of the store and in run folders."""
    tmp = tmp_path_factory.mktemp("store")
    scenario = json.loads((SOURCE_DIR / "examples" / "populations" / "patients.json").read_text())
    scenario["settings"]["samples"] = 40
    scenario["setpoint"] = [[0, 0.5], [10, 0.7]]
    scenario["population"]["size"] = 6
    (tmp / "short.json").write_text(json.dumps(scenario))
    for shard in ("1/2", "2/2"):
        subprocess.run([str(CLI), "batch", "short.json", "-o", "store", "--store", "netcdf", "--shard", shard],
                       cwd=tmp, check=True, capture_output=True)
    subprocess.run([str(CLI), "batch", "short.json", "-o", "folders"], cwd=tmp, check=True, capture_output=True)
    subprocess.run([str(CLI), "report", "folders", "--no-plots"], cwd=tmp, check=True, capture_output=True)
    return tmp


def folder_values(tmp):
    rows = list(csv.DictReader((tmp / "folders" / "sweep.csv").open()))
    y = [np.loadtxt(tmp / "folders" / "short" / f"individual_{k:06d}" / "call1_trajectory.csv", delimiter=",",
                    skiprows=1)[:, 2] for k in range(1, 7)]
    return rows, np.array(y)


def test_dataset_holds_what_the_run_folders_hold(sweep):
    xr = pytest.importorskip("xarray")
    ds = veltrax.open_sweep(sweep / "store")
    assert isinstance(ds, xr.Dataset)
    rows, y = folder_values(sweep)
    assert list(ds.individual.values) == [1, 2, 3, 4, 5, 6]
    assert list(ds.scenario.values) == ["short"] * 6
    assert_same_bits(ds.iae.sel(call=1).values, [float(r["iae"]) for r in rows], "iae")
    assert_same_bits(ds.drawn_body_mass.values, [float(r["drawn_body_mass"]) for r in rows], "drawn body mass")
    assert_same_bits(ds.trajectory.sel(column="y").isel(call=0).values, y, "y")
    assert ds.attrs["veltrax_version"] == veltrax.__version__
    assert json.loads(ds.attrs["scenarios"])[0]["description"] == json.loads(
        (sweep / "short.json").read_text())["description"]


def test_plain_arrays_without_xarray(sweep, monkeypatch):
    real_import = builtins.__import__

    def no_xarray(name, *args, **kwargs):
        if name == "xarray":
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_xarray)
    sw = veltrax.open_sweep(sweep / "store")
    assert isinstance(sw, veltrax.Sweep)
    rows, y = folder_values(sweep)
    assert list(sw["individual"]) == [1, 2, 3, 4, 5, 6]
    assert_same_bits(sw["iae"][:, 0], [float(r["iae"]) for r in rows], "iae")
    assert_same_bits(sw["trajectory"][:, 0, :, 2], y, "y")
    assert sw.attrs["shard"] in ("1/2", "2/2")


def test_bad_files_are_named(sweep, tmp_path):
    bad = tmp_path / "bad"
    shutil.copytree(sweep / "store", bad)
    shutil.copy(bad / "sweep.1-of-2.nc", bad / "sweep.1-of-3.nc")  # claims runs of 1/2
    with pytest.raises(veltrax.Error) as e:
        veltrax.open_sweep(bad)
    assert e.value.id == "veltrax:badSweep"
    (bad / "sweep.1-of-3.nc").unlink()
    data = (bad / "sweep.2-of-2.nc").read_bytes()
    (bad / "sweep.2-of-2.nc").write_bytes(data[: len(data) // 3])
    with pytest.raises(veltrax.Error) as e:
        veltrax.open_sweep(bad)
    assert e.value.id == "veltrax:badStore"
