"""Parameter samples within bounds and percentile bands of many hydrographs."""

from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np
import pandas as pd
from scipy.stats import qmc

__all__ = ["latin_hypercube", "percentile_bands"]


def latin_hypercube(parameters: Mapping[str, tuple[float, float]], n: int, *, seed: int | None = None) -> pd.DataFrame:
    """``n`` Latin hypercube samples of the parameters within their (low, high) bounds.

    One row per sample, one column per parameter (in the mapping's order); the
    same seed gives the same samples.
    """
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError(f"n must be a positive integer, not {n!r}")
    if not parameters:
        raise ValueError("no parameters to sample")
    names = list(parameters)
    low = np.array([float(parameters[k][0]) for k in names])
    high = np.array([float(parameters[k][1]) for k in names])
    for name, lo, hi in zip(names, low, high, strict=True):
        if not (np.isfinite(lo) and np.isfinite(hi) and lo < hi):
            raise ValueError(f"{name}: the bounds must be finite with low < high, not ({lo}, {hi})")
    unit = qmc.LatinHypercube(d=len(names), rng=seed).random(n)
    return pd.DataFrame(qmc.scale(unit, low, high), columns=names)


def percentile_bands(runs: pd.DataFrame, percentiles: Sequence[float] = (5.0, 50.0, 95.0)) -> pd.DataFrame:
    """Percentiles across the columns of ``runs`` (one column per run), row by row.

    The result keeps the index of ``runs`` and has one column per percentile,
    named ``"p5"``, ``"p50"``, ``"p95"`` (``"p2.5"`` for 2.5). Missing values are
    left out; a row without any value gives NaN.
    """
    levels = [float(p) for p in percentiles]
    if not levels or any(not 0.0 <= p <= 100.0 for p in levels):
        raise ValueError(f"percentiles must lie in [0, 100], not {list(percentiles)!r}")
    values = runs.to_numpy(dtype=np.float64, na_value=np.nan)
    columns = [f"p{p:g}" for p in levels]
    present = ~np.isnan(values).all(axis=1)  # no run at all: no row is present
    bands = np.full((values.shape[0], len(levels)), np.nan)
    if present.any():
        bands[present] = np.nanpercentile(values[present], levels, axis=1).T
    return pd.DataFrame(bands, index=runs.index, columns=columns)
