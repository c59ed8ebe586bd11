"""NetCDF/CF files (through xarray): a variable along its time dimension, one column per gauge or subbasin."""

from __future__ import annotations

import re
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, TypedDict, Unpack

import numpy as np
import pandas as pd

from .files import InputFileError, check_input
from .records import NonFinitePolicy, RecordError, _apply_units, _check_order, _check_policy, _nonfinite, _single

if TYPE_CHECKING:
    import xarray as xr


class NetcdfOptions(TypedDict, total=False):
    """The options of `read_netcdf` and `read_netcdf_frame`."""

    time: str | None
    select: Mapping[str, object] | None
    to: str | None
    tz: str | None
    nonfinite: NonFinitePolicy


def read_netcdf_frame(path: str | Path, variable: str | None = None, **options: Unpack[NetcdfOptions]) -> pd.DataFrame:
    """A variable of a NetCDF/CF file as a DataFrame: one column per subbasin or gauge (or one column).

    `variable` may be left out when one data variable has the time dimension. The time dimension is
    `time` or the one whose coordinate holds dates (CF `units = "hours since ..."`). A variable with
    a second dimension (station, gauge, subbasin) gives one column per label along it; further
    dimensions are fixed with `select={"dim": label}`. The variable's `units` attribute becomes the
    frame's units and `to=` converts them. Times are as the file gives them (naive, in UTC for CF);
    `tz` localises them (or converts aware ones).
    """
    import xarray as xr

    _check_policy(options.get("nonfinite", "raise"))
    try:
        target = check_input(path)
        dataset = xr.open_dataset(target)
    except InputFileError as error:
        raise RecordError(str(error)) from None
    except (OSError, ValueError, TypeError, KeyError) as error:
        reason = str(error).strip().splitlines()[0][:160] if str(error).strip() else type(error).__name__
        if "did not find a match" in reason:
            reason = "no installed reader recognises it"
        raise RecordError(f"{path}: not a NetCDF file this installation can read ({reason})") from None
    with dataset:
        return _netcdf_variable(target, dataset, variable, options)


def _dated(array: xr.DataArray) -> list[str]:
    """The dimensions of `array` whose coordinate holds dates."""
    return [str(dim) for dim in array.dims if dim in array.coords and np.issubdtype(array[dim].dtype, np.datetime64)]


def _time_dimension(path: Path, array: xr.DataArray, requested: str | None) -> str:
    if requested is not None:
        if requested not in array.dims:
            raise RecordError(f"{path}: {array.name!r} has no dimension {requested!r} (it has {list(array.dims)})")
        return requested
    dated = _dated(array)
    if len(dated) == 1:
        return dated[0]
    raise RecordError(
        f"{path}: {array.name!r} has no single time dimension among {list(array.dims)} (a coordinate of dates, "
        "CF units such as 'hours since 2024-01-01'); name it with time="
    )


def _netcdf_variable(path: Path, dataset: xr.Dataset, variable: str | None, options: NetcdfOptions) -> pd.DataFrame:
    names = [str(name) for name in dataset.data_vars]
    if variable is None:
        timed = [name for name in names if _dated(dataset[name])]
        if not timed:
            raise RecordError(f"{path}: no variable along a time dimension of dates (the variables: {names})")
        if len(timed) > 1:
            raise RecordError(f"{path}: choose the variable with variable= (there are {timed})")
        variable = timed[0]
    if variable not in names:
        raise RecordError(f"{path}: no variable {variable!r} (there are {names})")
    array = dataset[variable]
    select = options.get("select")
    if select:
        try:
            array = array.sel(dict(select))
        except (KeyError, ValueError) as error:
            raise RecordError(f"{path}: {variable}: cannot select {dict(select)} ({error})") from None
    time = _time_dimension(path, array, options.get("time"))
    others = [str(dim) for dim in array.dims if dim != time]
    if len(others) > 1:
        raise RecordError(
            f"{path}: {variable} has dimensions {list(array.dims)}; fix all but one besides {time!r} with select="
        )
    array = array.transpose(time, *others).load()
    index = pd.DatetimeIndex(array[time].to_numpy(), name="time")
    reference = str(dataset[time].encoding.get("units", "")) if time in dataset.variables else ""
    if re.search(r"since .*(?:[+-]00:?00|Z|UTC)\s*$", reference):  # times stated in UTC
        index = index.tz_localize("UTC")
    if (tz := options.get("tz")) is not None:
        index = index.tz_convert(tz) if index.tz is not None else index.tz_localize(tz)
    if not others:
        labels = [variable]
    elif others[0] in array.coords:
        labels = [str(label) for label in array[others[0]].to_numpy()]
    else:  # a dimension without labels: its positions
        labels = [str(i) for i in range(array.sizes[others[0]])]
    values = np.array(array.to_numpy(), dtype="float64").reshape(len(index), len(labels))
    _check_order(index, lambda i: f"{variable} at {index[i].isoformat()}", path)
    width = len(labels)  # values in rows of one time: position k is at time k // width, in column k % width
    nonfinite = options.get("nonfinite", "raise")
    _nonfinite(
        values, nonfinite, lambda k: (f"{path}, {variable}[{labels[k % width]}]", index[k // width], values.flat[k])
    )
    frame = pd.DataFrame(values, index=index, columns=pd.Index(labels))
    unit = array.attrs.get("units")
    units = dict.fromkeys(labels, str(unit)) if unit not in (None, "") else {}
    return _apply_units(frame, units, options.get("to"), path)


def read_netcdf(
    path: str | Path, variable: str | None = None, at: str | None = None, **options: Unpack[NetcdfOptions]
) -> pd.Series:
    """One series of a NetCDF/CF file: `variable` (see `read_netcdf_frame`), at the gauge or subbasin `at`."""
    frame = read_netcdf_frame(path, variable, **options)
    if at is not None:
        if at not in frame.columns:
            raise RecordError(
                f"{path}: no {at!r} along the variable's second dimension (there are {list(frame.columns)})"
            )
        frame = frame[[at]]
    return _single(frame, path, "choose one with at=")
