"""Fitting and exploring models: the search, calibration at gauges and over events, ensembles, the runner.

- `search`: the optimisers over bounded parameter vectors;
- `calibrate`: `calibrate` and its result;
- `events`: calibration over several storm events;
- `ensemble`, `ensemble_runs`, `sampling`: many runs (`run_many`, `uncertainty`);
- `plain_data`: what travels to worker processes;
- `runner`: the executors (serial, threads, processes, Dask, a user's) behind one interface.

The modules are imported on demand: a worker process that only evaluates candidates imports
`runner` and what the evaluation needs, not the whole package.
"""
