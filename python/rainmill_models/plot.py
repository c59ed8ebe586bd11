"""The figure of a run: the hyetograph hanging over the hydrographs (and observations), the pool below.

Drawn on a bare `matplotlib.figure.Figure` (no pyplot, no global backend), so it works the same in
scripts, notebooks and worker processes. matplotlib is the optional `plot` extra.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import pandas as pd

from . import units as u
from .description import ControlledOutlet, UncontrolledOutlet
from .timeseries import describe_step

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .run import Result


class PlottingUnavailable(ImportError):
    """matplotlib cannot be imported."""


def _figure(rows: int) -> Figure:
    try:
        from matplotlib.figure import Figure
    except ImportError as error:
        raise PlottingUnavailable(
            f"matplotlib is not installed ({error}); install the plot extra: pip install 'rainmill[plot]'"
        ) from error
    ratios = [2.2, 1.0][:rows]
    fig = Figure(figsize=(9.0, 6.5 if rows == 2 else 4.5), layout="tight")
    fig.subplots(rows, 1, sharex=True, gridspec_kw={"height_ratios": ratios}, squeeze=False)
    return fig


_STYLES = {
    "direct_runoff": ("tab:orange", "-"),
    "baseflow": ("tab:brown", "--"),
    "basin_outflow": ("tab:blue", "-"),
    "reach_outflow": ("tab:purple", "-"),
    "reservoir_outflow": ("tab:green", "-"),
}


def plot_result(
    result: Result,
    *,
    observed: pd.Series | None = None,
    path: str | Path | None = None,
    title: str | None = None,
    dpi: int = 80,
) -> Figure:
    """Draw `result` (with `observed` as dots when given); write a PNG to `path` when given."""
    pool = result.pool
    fig = _figure(2 if pool is not None else 1)
    axes = fig.axes
    flows_ax = axes[0]
    flows = result.flows
    flow_unit = u.label("flow", result.units)
    for name, (colour, style) in _STYLES.items():
        if name in flows:
            flows_ax.plot(
                flows.index, flows[name], color=colour, linestyle=style, linewidth=1.6, label=name.replace("_", " ")
            )
    for name in flows.columns:
        if name.startswith("outlet.") and result.model.reservoir is not None:
            outlet = result.model.reservoir.outlets[name.removeprefix("outlet.")]
            if isinstance(outlet, UncontrolledOutlet):
                flows_ax.plot(
                    flows.index,
                    flows[name],
                    color="tab:red",
                    linewidth=1.0,
                    linestyle=":",
                    label=name.removeprefix("outlet."),
                )
    if observed is not None:
        flows_ax.plot(
            observed.index,
            observed.to_numpy(),
            linestyle="none",
            marker=".",
            markersize=3.5,
            color="black",
            label="observed",
        )
    top = float(flows[[c for c in _STYLES if c in flows]].to_numpy().max())
    flows_ax.set_ylim(0.0, max(top, 1e-9) * 1.75)
    flows_ax.set_ylabel(f"flow ({flow_unit})")
    rain = result.rain
    depth_total = float(rain["gross"].sum())
    flows_ax.set_title(
        title or f"{result.model.options.name}: {depth_total:.2f} {u.label('depth', result.units)} of rain",
        fontsize=11,
    )

    rain_ax = flows_ax.twinx()
    width = result.step / pd.Timedelta(days=1)
    rain_ax.bar(rain.index, rain["gross"], width=width, align="edge", color="lightsteelblue", label="gross rain")
    rain_ax.bar(rain.index, rain["excess"], width=width, align="edge", color="steelblue", label="excess")
    rain_ax.set_ylim(max(float(rain["gross"].max()), 1e-9) * 3.0, 0.0)  # the bars hang from the top
    rain_ax.set_ylabel(f"rain ({u.label('depth', result.units)} per {describe_step(result.step)})")
    handles, labels = flows_ax.get_legend_handles_labels()
    rain_handles, rain_labels = rain_ax.get_legend_handles_labels()
    rain_ax.legend(handles + rain_handles, labels + rain_labels, loc="center right", fontsize=8, framealpha=0.9)
    flows_ax.grid(True, linewidth=0.4, alpha=0.5)

    if pool is not None and result.model.reservoir is not None:
        pool_ax = axes[1]
        pool_ax.plot(pool.index, pool["elevation"], color="tab:green", linewidth=1.6, label="pool elevation")
        for name, outlet in result.model.reservoir.outlets.items():
            if isinstance(outlet, UncontrolledOutlet):
                crest = outlet.elevation[0] - (outlet.elevation_offset or 0.0)
                pool_ax.axhline(crest, color="tab:red", linestyle="--", linewidth=1.0, label=f"{name} crest")
            elif isinstance(outlet, ControlledOutlet):
                sill = max(outlet.elevation[0], outlet.minimum_elevation or outlet.elevation[0])
                pool_ax.axhline(sill, color="grey", linestyle=":", linewidth=1.0, label=f"{name} sill")
        pool_ax.set_ylabel(f"elevation ({u.label('length', result.units)})")
        pool_ax.legend(loc="lower right", fontsize=8, frameon=False)
        pool_ax.grid(True, linewidth=0.4, alpha=0.5)
    axes[-1].set_xlim(cast(Any, result.index[0]), cast(Any, result.index[-1]))
    axes[-1].set_xlabel("time")
    if path is not None:
        target = Path(path)
        target.parent.mkdir(parents=True, exist_ok=True)
        fig.savefig(target, dpi=dpi)
    return fig
