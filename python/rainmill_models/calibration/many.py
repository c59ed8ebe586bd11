"""Many basins at once: whole calibrations spread over an executor, kept in a store as each finishes.

``calibrate_many(jobs)`` runs one :func:`~rainmill_models.calibrate` per job,
each serially inside one worker (a process of a pool, a Dask worker of a
cluster: the executor distributes whole jobs), so a seed gives the same fit
as a separate ``calibrate`` call. A job that fails records its error and the
others go on; Ctrl-C returns what is done.

With ``store`` (a directory), each finished job is written all or nothing as
``<name>.nc`` (NetCDF: the history of its evaluations, and as attributes its
best parameters, scores, the fitted model's TOML and a digest of its inputs)
the index ``index.csv`` (one row per job finished or failed, for reading) is
rewritten. A rerun with the same store reads the jobs whose files it holds
and runs only the others (a failed job runs again) (a job killed mid-run left nothing, and is run again); a stored job
whose inputs differ from the job given now is refused, never reused.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import math
import re
import time
from collections.abc import Iterator, Mapping
from concurrent.futures import FIRST_COMPLETED, wait
from concurrent.futures.process import BrokenProcessPool
from contextlib import closing, suppress
from pathlib import Path
from typing import TYPE_CHECKING, Any, Unpack

import numpy as np
import pandas as pd

from ..io.files import atomic_path, atomic_write
from .calibrate import CalibrationResult
from .fit import CalibrateOptions, calibrate
from .runner import POOL_RESTARTS, ExecutorLike
from .runner.backends import Backend, Work, backend_for
from .search import progress_bar

if TYPE_CHECKING:
    from ..network import Network

__all__ = ["CalibrationJob", "calibrate_many"]

INDEX = "index.csv"
_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*")
_FIXED = ["status", "stored", "objective", "score", "evaluations", "seconds", "error"]
# Options a job cannot take: it runs serially, silently, inside one worker.
_NOT_PER_JOB = {"executor", "progress"}


class CalibrationJob:
    """One calibration of :func:`calibrate_many`: ``calibrate(model, rain, observed, parameters, **options)``."""

    __slots__ = ("model", "observed", "options", "parameters", "rain")

    def __init__(
        self,
        model: Network,
        rain: Any,
        observed: Any = None,
        parameters: Mapping[Any, tuple[float, float]] | None = None,
        **options: Unpack[CalibrateOptions],
    ) -> None:
        unknown = sorted(set(options) - set(CalibrateOptions.__annotations__))
        if unknown:
            raise TypeError(f"CalibrationJob: unknown calibrate option(s) {', '.join(unknown)}")
        fixed = sorted(_NOT_PER_JOB & set(options))
        if fixed:
            raise ValueError(
                f"CalibrationJob: {', '.join(fixed)} is calibrate_many's to choose (each job runs serially in one worker)"
            )
        self.model, self.rain, self.observed, self.parameters = model, rain, observed, parameters
        self.options: dict[str, Any] = dict(options)

    def __repr__(self) -> str:
        return f"CalibrationJob({len(self.parameters or {})} parameters, options={sorted(self.options)})"

    def run(self) -> CalibrationResult:
        fit: Any = calibrate(self.model, self.rain, self.observed, self.parameters, progress=False, **self.options)
        if not isinstance(fit, CalibrationResult):  # several events: its own kind of result
            raise TypeError("calibrate_many takes one window per job (rain, observed), not a list of events")
        return fit

    def digest(self) -> str:
        """A digest of everything the job is made of: a stored result is reused only for the same inputs."""
        hasher = hashlib.blake2b(digest_size=16)
        _feed(hasher, (self.model.to_toml(), self.rain, self.observed, self.parameters, self.options))
        return hasher.hexdigest()


def _feed(hasher: Any, value: Any) -> None:
    if isinstance(value, (pd.Series, pd.DataFrame)):
        hasher.update(type(value).__name__.encode())
        hasher.update(pd.util.hash_pandas_object(value, index=True).to_numpy().tobytes())
        hasher.update(repr(getattr(value, "name", None)).encode())
        hasher.update(repr(list(getattr(value, "columns", []))).encode())
    elif isinstance(value, np.ndarray):
        hasher.update(repr((value.dtype, value.shape)).encode())
        hasher.update(np.ascontiguousarray(value).tobytes())
    elif isinstance(value, Mapping):
        hasher.update(b"{")
        for key in sorted(value, key=repr):
            _feed(hasher, key)
            _feed(hasher, value[key])
        hasher.update(b"}")
    elif isinstance(value, (list, tuple)):
        hasher.update(f"[{len(value)}".encode())
        for item in value:
            _feed(hasher, item)
    elif dataclasses.is_dataclass(value) and not isinstance(value, type):
        hasher.update(type(value).__qualname__.encode())
        for field in dataclasses.fields(value):
            _feed(hasher, getattr(value, field.name))
    else:
        hasher.update(repr(value).encode())


def _run_job(state: object, item: tuple[str, CalibrationJob]) -> dict[str, Any]:
    """One job, run in a worker; its failure is its record's error, not the run's."""
    name, job = item
    began = time.perf_counter()
    try:
        fit = job.run()
    except Exception as error:
        return {"name": name, "status": "failed", "error": f"{type(error).__name__}: {error}", "fit": None}
    return {"name": name, "status": "ok", "error": "", "fit": fit, "seconds": time.perf_counter() - began}


def _same(context: object) -> object:
    return context


def _row(record: dict[str, Any]) -> dict[str, Any]:
    fit: CalibrationResult | None = record.get("fit")
    row: dict[str, Any] = {"status": record["status"], "stored": record.get("stored", False), "error": record["error"]}
    if fit is not None:
        row.update(objective=fit.objective, score=fit.score, evaluations=fit.evaluations)
        row.update(fit.parameters)
        row.update({f"score.{key}": value for key, value in fit.scores.items()})
    row["seconds"] = record.get("seconds", math.nan)
    return row


def _write_job(store: Path, name: str, digest: str, record: dict[str, Any]) -> None:
    import xarray as xr

    fit: CalibrationResult = record["fit"]
    history = fit.history.reset_index()
    data = xr.Dataset(
        {column: ("evaluation", history[column].to_numpy()) for column in history.columns if column != "evaluation"},
        coords={"evaluation": history["evaluation"].to_numpy()},
        attrs={
            "job": name,
            "inputs": digest,
            "objective": fit.objective,
            "score": fit.score,
            "method": fit.method,
            "evaluations": fit.evaluations,
            "seconds": record.get("seconds", math.nan),
            "message": fit.message,
            "parameters": json.dumps(fit.parameters),
            "scores": json.dumps(fit.scores),
            "model": fit.model.to_toml(),
        },
    )
    with atomic_path(store / f"{name}.nc") as temporary:
        data.to_netcdf(temporary)


def _write_index(store: Path, rows: dict[str, dict[str, Any]]) -> None:
    with atomic_write(store / INDEX) as stream:
        _table(rows, list(rows)).to_csv(stream)


def _stored(store: Path, jobs: Mapping[str, CalibrationJob], digests: dict[str, str]) -> dict[str, dict[str, Any]]:
    """The rows of the jobs whose files the store holds, checked against the jobs given now."""
    import xarray as xr

    found: dict[str, dict[str, Any]] = {}
    for name in jobs:
        path = store / f"{name}.nc"
        if not path.exists():
            continue
        with xr.open_dataset(path) as data:
            attrs = dict(data.attrs)
        if attrs.get("inputs") != digests[name]:
            raise ValueError(
                f"{path}: the stored job {name!r} was made from other inputs than the job given now; "
                "give it another name, or remove its file from the store"
            )
        row = {"status": "ok", "stored": True, "error": "", "objective": attrs["objective"]}
        row.update(score=float(attrs["score"]), evaluations=int(attrs["evaluations"]), seconds=float(attrs["seconds"]))
        row.update(json.loads(attrs["parameters"]))
        row.update({f"score.{key}": value for key, value in json.loads(attrs["scores"]).items()})
        found[name] = row
    return found


def _table(rows: Mapping[str, dict[str, Any]], names: list[str]) -> pd.DataFrame:
    blank = {"status": "not run", "stored": False, "error": ""}
    table = pd.DataFrame.from_dict({name: rows.get(name, blank) for name in names}, orient="index")
    table = table.reindex(columns=_FIXED + [column for column in table.columns if column not in _FIXED])
    table.index.name = "job"
    table["stored"] = table["stored"].fillna(False).astype(bool)
    table["evaluations"] = table["evaluations"].astype("Int64")  # none for a job that failed or did not run
    return table


def calibrate_many(
    jobs: Mapping[str, CalibrationJob],
    *,
    executor: ExecutorLike = None,
    store: str | Path | None = None,
    progress: bool = True,
) -> pd.DataFrame:
    """Calibrate many models (basins, gauges, periods) at once: one row per job.

    ``jobs`` maps a name to a :class:`CalibrationJob`. ``executor`` spreads
    whole jobs: None (one after another), "threads", "processes", a worker
    count, a :class:`~rainmill_models.WorkerPool`, a concurrent.futures
    executor or a Dask client (a cluster's, such as dask-jobqueue's or an SSH
    cluster's: the jobs travel as plain data). The result has, per job, its
    ``status`` ("ok", "failed", "not run" after Ctrl-C), whether it was read
    from the ``store``, the objective and best score, the evaluations, the
    seconds, the error of a failed job, the best parameters (one column each)
    and the scores (``score.<name>``). See the module's description for the
    store.
    """
    names = list(jobs)
    for name in names:
        if not isinstance(name, str) or not _NAME.fullmatch(name):
            raise ValueError(f"job names are file names in the store (letters, digits, _ . -), not {name!r}")
        if not isinstance(jobs[name], CalibrationJob):
            raise TypeError(f"job {name!r}: a CalibrationJob, not {type(jobs[name]).__name__}")
    folder = Path(store) if store is not None else None
    digests = {name: jobs[name].digest() for name in names} if folder is not None else {}
    rows: dict[str, dict[str, Any]] = {}
    if folder is not None:
        folder.mkdir(parents=True, exist_ok=True)
        rows.update(_stored(folder, jobs, digests))
    finished = dict(rows)
    todo = [name for name in names if name not in rows]
    bar = progress_bar(progress, "calibrate_many", total=len(todo), unit="job")

    def done(record: dict[str, Any]) -> None:
        name = record["name"]
        rows[name] = _row(record)
        if folder is not None:
            if record["status"] == "ok":
                _write_job(folder, name, digests[name], record)
            finished[name] = rows[name]
            _write_index(folder, finished)
        bar.update(1)

    with closing(bar), suppress(KeyboardInterrupt):  # Ctrl-C: what is done is returned
        _run_all(jobs, todo, executor, done)
    return _table(rows, names)


def _completed(
    backend: Backend, pending: dict[Any, str], jobs: Mapping[str, CalibrationJob]
) -> Iterator[tuple[Any, list[dict[str, Any]]]]:
    """(future, [record]) as each job finishes; on a local process pool the calling process takes jobs too.

    While the workers start (an interpreter importing the package each) and
    whenever a job is still waiting for one, the calling process takes the
    last job not yet started (cancelled on the pool) and runs it itself.
    """
    if backend.kind != "processes":
        yield from backend.results(list(pending))
        return
    waiting = dict(pending)
    while waiting:
        for future in [future for future in waiting if future.done()]:
            del waiting[future]
            yield future, future.result()
        taken = next((future for future in reversed(list(waiting)) if future.cancel()), None)
        if taken is not None:
            name = waiting.pop(taken)
            yield taken, [_run_job(None, (name, jobs[name]))]
        elif waiting:
            wait(list(waiting), return_when=FIRST_COMPLETED)


def _run_all(jobs: Mapping[str, CalibrationJob], todo: list[str], executor: ExecutorLike, done: Any) -> None:
    with backend_for(executor) as backend:
        if backend.kind == "serial":
            for name in todo:
                done(_run_job(None, (name, jobs[name])))
            return
        left = list(todo)
        for restart in range(POOL_RESTARTS + 1):
            submit = backend.submitter(Work(_same, _run_job, None, False), state=lambda: None)
            pending = {submit([(name, jobs[name])]): name for name in left}
            try:
                for future, [record] in _completed(backend, pending, jobs):
                    left.remove(pending[future])
                    done(record)
                return
            except BaseException as broken:
                backend.cancel(list(pending))
                if not isinstance(broken, BrokenProcessPool):
                    raise
                if restart == POOL_RESTARTS or not backend.renew():
                    for name in left:
                        done({"name": name, "status": "failed", "error": f"a worker process died: {broken}"})
                    return
