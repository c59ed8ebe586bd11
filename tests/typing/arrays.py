"""Type-checked with mypy --strict against the stubs (tests/test_typing.py); never run.

Lines marked `type: ignore[...]` must be refused: under --strict an ignore that is not needed is
itself an error, so each one proves a refusal.
"""

import array
from datetime import timedelta

import numpy as np
import numpy.typing as npt
from rainmill import baseflow, metrics, reservoir, utils

HOUR = timedelta(hours=1)
ru = reservoir.reservoir_utils


def arrays_where_sequences_go(values: npt.NDArray[np.float64], counts: npt.NDArray[np.int64]) -> float:
    series = utils.ContinuousTimeSeries(values, HOUR, "discharge")
    utils.IncrementalTimeSeries(array.array("d", [1.0]), HOUR, "rainfall")
    utils.IncrementalTimeSeries(memoryview(b"\x01"), HOUR, "rainfall")
    ru.ElevationStorage(values, counts)
    ru.ElevationDischarge([100.0, 110.0], (0.0, 5))
    view: memoryview = memoryview(series)
    as_array: npt.NDArray[np.float64] = np.asarray(series, dtype=np.float64)
    del view, as_array
    return metrics.calculate_kge(values, series.data, use_log=True)


def refusals(series: utils.ContinuousTimeSeries) -> None:
    utils.ContinuousTimeSeries(series, HOUR, "discharge")  # type: ignore[arg-type]
    utils.ContinuousTimeSeries([1.0], HOUR, "flow")  # type: ignore[arg-type]
    utils.ContinuousTimeSeries(iter([1.0]), HOUR, "volume")  # type: ignore[arg-type]


def kinds(series: utils.IncrementalTimeSeries) -> None:
    kind = series.kind
    if kind == "rainfall":
        pass
    utils.IncrementalTimeSeries([0.5], HOUR, kind)


def covariant_maps(
    curve: ru.ElevationStorage,
    rating: ru.ElevationDischarge,
    inflow: utils.ContinuousTimeSeries,
    rain: utils.IncrementalTimeSeries,
) -> None:
    gates: dict[str, ru.ControlledDischargeInfo] = {"gate": ru.ControlledDischargeInfo(rating)}
    reservoir.run_level_pool_routing(inflow, 100.0, curve, gates)
    reservoir.run_level_pool_routing(
        inflow, 100.0, curve, {"gate": ru.ControlledDischargeInfo(rating), "floor": ru.ConstantDischargeInfo(1.0)}
    )
    layers = {"deep": baseflow.LinearReservoir(HOUR, 0.5, 0.0)}
    baseflow.run_linear_reservoir(640.0, rain, layers)
    reservoir.run_level_pool_routing(inflow, 100.0, curve, {"gate": rating})  # type: ignore[dict-item]
