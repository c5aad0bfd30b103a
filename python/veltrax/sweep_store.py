# SPDX-License-Identifier: LGPL-2.1-or-later
"""Reading a sweep that ``veltrax batch --store netcdf`` wrote.

    >>> ds = veltrax.open_sweep("results")             # doctest: +SKIP
    >>> ds.iae.sel(call=1).median()                    # doctest: +SKIP
    >>> ds.trajectory.sel(column="y").isel(run=0, call=0)   # doctest: +SKIP

``open_sweep`` takes the sweep's output folder (every shard file in it:
sweep.nc or sweep.K-of-N.nc) or one shard file, and keeps the runs that are
stored complete, in the sweep's order. With xarray installed it returns an ``xarray.Dataset``
(runs along ``run``, with the coordinates ``scenario`` (its name, the index
into ``scenario_name`` is ``scenario_index``), ``individual`` and ``call``);
otherwise a ``Sweep``: a mapping of variable names to NumPy
arrays, with the file's attributes in ``attrs``. Values a run or call does
not have (the calls after a failure, the samples beyond a call's length) are
NaN in both.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Mapping

import numpy as np

__all__ = ["Sweep", "open_sweep"]

_SHARD = re.compile(r"sweep(\.[0-9]+-of-[0-9]+)?\.nc")


def _error(id: str, message: str):
    from . import Error

    return Error(id, message)


def _files(path) -> list[str]:
    path = os.fspath(path)
    if os.path.isdir(path):
        files = sorted(os.path.join(path, f) for f in os.listdir(path) if _SHARD.fullmatch(f))
        if not files:
            raise _error("veltrax:badSweep", f"'{path}' holds no shard file (sweep.nc or sweep.K-of-N.nc)")
        return files
    if not os.path.exists(path):
        raise _error("veltrax:badSweep", f"'{path}' does not exist")
    return [path]


def _netcdf4():
    try:
        import netCDF4
    except ImportError:
        raise _error("veltrax:noNetcdf", "reading the sweep store needs the netCDF4 module "
                     "(Debian: python3-netcdf4)") from None
    return netCDF4


def _check(files: list[str], attributes: list[dict]) -> None:
    first = attributes[0]
    for f, a in zip(files, attributes):
        if "veltrax_store" not in a:
            raise _error("veltrax:badStore", f"'{f}': not a sweep store of this tool (no attribute veltrax_store)")
        if a["sweep"] != first["sweep"]:
            raise _error("veltrax:badSweep", f"'{files[0]}' and '{f}' hold shards of different sweeps")
        mine = [(s["name"], s["source"]) for s in json.loads(a["scenarios"])]
        theirs = [(s["name"], s["source"]) for s in json.loads(first["scenarios"])]
        if mine != theirs:
            raise _error("veltrax:badSweep", f"'{files[0]}' and '{f}' hold results of different scenario texts")


def _read_attributes(files: list[str]) -> list[dict]:
    netCDF4 = _netcdf4()
    attributes = []
    for f in files:
        try:
            with netCDF4.Dataset(f) as d:
                attributes.append({k: d.getncattr(k) for k in d.ncattrs()})
        except OSError as e:
            raise _error("veltrax:badStore", f"'{f}': not a readable NetCDF file ({e})") from None
    _check(files, attributes)
    return attributes


def _no_overlap(files: list[str], keys: list[np.ndarray]) -> None:
    seen: dict = {}
    for f, k in zip(files, keys):
        for run in map(tuple, k):
            if run in seen:
                raise _error("veltrax:badSweep", f"'{seen[run]}' and '{f}' both hold run {run}: "
                             "shards of one sweep must not overlap")
            seen[run] = f


class Sweep(Mapping):
    """The variables of a sweep's complete runs as NumPy arrays (runs first),
    and the first file's global attributes in ``attrs``."""

    def __init__(self, variables: dict, attrs: dict) -> None:
        self._variables = variables
        self.attrs = attrs

    def __getitem__(self, name: str) -> np.ndarray:
        return self._variables[name]

    def __iter__(self):
        return iter(self._variables)

    def __len__(self) -> int:
        return len(self._variables)

    def __repr__(self) -> str:
        runs = len(self._variables["individual"]) if "individual" in self._variables else 0
        return f"<veltrax.Sweep: {runs} runs, {len(self)} variables>"


def _plain(value) -> np.ndarray:
    if np.ma.isMaskedArray(value):
        if value.dtype.kind == "f":
            return value.filled(np.nan)
        return value.filled()
    return np.asarray(value)


def _read_numpy(files: list[str], attributes: list[dict]) -> Sweep:
    netCDF4 = _netcdf4()
    parts: dict = {}
    per_run = set()
    keys = []
    names = None
    for f in files:
        with netCDF4.Dataset(f) as d:
            complete = np.flatnonzero(_plain(d["complete"][:]) == 1)
            names = [str(n) for n in d["scenario_name"][:]]
            keys.append(np.column_stack([_plain(d["scenario"][:])[complete], _plain(d["individual"][:])[complete]]))
            for name, var in d.variables.items():
                if var.dimensions[:1] == ("run",):
                    per_run.add(name)
                    parts.setdefault(name, []).append(_plain(var[complete, ...]) if len(complete) else
                                                      np.empty((0,) + var.shape[1:], var.dtype))
                elif name not in parts:
                    parts[name] = [_plain(var[:])]
    _no_overlap(files, keys)
    variables = {k: np.concatenate(v) if len(v) > 1 else v[0] for k, v in parts.items()}
    if len(files) > 1:  # into the sweep's order; each file is in it already
        order = np.lexsort((variables["individual"], variables["scenario"]))
        for name in per_run:
            variables[name] = variables[name][order]
    variables["scenario_name"] = np.array(names, dtype=object)
    variables["scenario_index"] = variables.pop("scenario")
    variables["scenario"] = np.array([names[i] for i in variables["scenario_index"]], dtype=object)
    return Sweep(variables, attributes[0])


def _read_xarray(xr, files: list[str]):
    parts = []
    for f in files:
        ds = xr.open_dataset(f)
        ds = ds.isel(run=np.flatnonzero(ds["complete"].values == 1))
        # The scenario of each run by name; the file's index into
        # scenario_name stays as scenario_index.
        names = ds["scenario_name"].values
        index = ds["scenario"].values
        ds = ds.rename_dims({"scenario": "scenarios"}).rename_vars({"scenario": "scenario_index"})
        parts.append(ds.assign_coords(scenario=("run", np.array([names[i] for i in index], dtype=object)),
                                      individual=ds["individual"]))
    _no_overlap(files, [np.column_stack([p["scenario_index"].values, p["individual"].values]) for p in parts])
    if len(parts) == 1:
        return parts[0]
    per_run = [v for v in parts[0].data_vars if "run" in parts[0][v].dims]
    coords = [c for c in parts[0].coords if "run" in parts[0][c].dims]
    ds = xr.concat(parts, dim="run", data_vars=per_run, coords=coords, compat="override")
    return ds.isel(run=np.lexsort((ds["individual"].values, ds["scenario_index"].values)))


def open_sweep(path: str | os.PathLike):
    """The complete runs of a sweep store: an ``xarray.Dataset`` where xarray
    is installed, a ``veltrax.Sweep`` of NumPy arrays otherwise.

    ``path``: the sweep's output folder (all its shard files) or one shard
    file. Raises veltrax.Error: "veltrax:badStore" for a file that is not a
    readable shard of this tool (truncated, or NetCDF of another kind),
    "veltrax:badSweep" for shards of different sweeps or scenario texts, or
    two that hold the same run, "veltrax:noNetcdf" without the netCDF4
    module."""
    files = _files(path)
    attributes = _read_attributes(files)
    try:
        import xarray as xr
    except ImportError:
        return _read_numpy(files, attributes)
    return _read_xarray(xr, files)
