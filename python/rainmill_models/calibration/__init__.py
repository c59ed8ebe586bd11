"""Fitting and exploring models: the search, calibration at gauges and over events, ensembles, the runner.

- `search`: the optimisers over bounded parameter vectors;
- `calibrate`: `calibrate` and its result;
- `events`: calibration over several storm events;
- `ensemble`, `ensemble_runs`, `sampling`: many runs (`run_many`, `uncertainty`);
- `many`: many calibrations at once (`calibrate_many`), kept in a store as each finishes;
- `plain_data`: what travels to worker processes;
- `runner`: the executors (serial, threads, processes, Dask, a user's) behind one interface, and
  `WorkerPool`, worker processes that serve many calls.

The modules are imported on demand: a worker process that only evaluates candidates imports
`runner` and what the evaluation needs, not the whole package.
"""
