"""Data in and out: one reader module per format, the writers, units (one home), time series and files.

- `files`: bounded reads of regular files, all-or-nothing writes of regular files;
- `timeseries`: checks and policies for time-indexed series (steps, gaps, missing values);
- `units`: the description's unit systems and unit strings on data (pint), converted at the boundary;
- `readers`, `writers`: CSV, USGS RDB and NetCDF in, CSV and NetCDF out;
- `forcing`: every series that drives a run, placed by its timestamps at the computation step;
- `states`: hot-start files and the states of a result.
"""
