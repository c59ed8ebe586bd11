"""The figure of a run: the hyetograph hanging over the hydrographs (and observations), the pool below.

Drawn on a bare `matplotlib.figure.Figure` (no pyplot, no global backend), so it works the same in
scripts, notebooks and worker processes. matplotlib is the optional `plot` extra.
"""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import pandas as pd

from . import units as u
from .description import ControlledOutlet, UncontrolledOutlet
from .figures import legend_beside, time_axis
from .timeseries import describe_step

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .network import Network
    from .network_run import NetworkResult
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
    fig = Figure(figsize=(9.0, 6.5 if rows == 2 else 4.5), layout="constrained")
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
    legend_beside(flows_ax, handles + rain_handles, labels + rain_labels, whole_figure=True)
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
        legend_beside(pool_ax)
        pool_ax.grid(True, linewidth=0.4, alpha=0.5)
    axes[-1].set_xlim(cast(Any, result.index[0]), cast(Any, result.index[-1]))
    time_axis(axes[-1], result.index)
    if path is not None:
        _save(fig, path, dpi)
    return fig


def _element_colour(kind: str) -> str:
    return {
        "subbasin": "tab:green",
        "reach": "tab:blue",
        "reservoir": "tab:cyan",
        "junction": "0.4",
        "source": "tab:orange",
        "diversion": "tab:purple",
        "sink": "black",
    }.get(kind, "0.5")


def plot_schematic(network: Network, *, path: str | Path | None = None, dpi: int = 80) -> Figure:
    """The network's schematic: elements by topological depth (top to bottom), links as arrows.

    Gauges are ringed in red; reservoirs are drawn as triangles; diverted flow is a dashed arrow.
    """
    fig = _figure(1)
    ax = fig.axes[0]
    depth: dict[str, int] = {}
    for name in network.order:
        depth[name] = max((depth[up] + 1 for up in network.upstream(name)), default=0)
    rows: dict[int, list[str]] = {}
    for name in network.order:
        rows.setdefault(depth[name], []).append(name)
    place: dict[str, tuple[float, float]] = {}
    for level, names in rows.items():
        for i, name in enumerate(names):
            place[name] = ((i + 1) / (len(names) + 1), -float(level))
    for name, element in network.elements.items():
        x, y = place[name]
        links = [(element.downstream, "-")]
        to = getattr(element, "to", None)
        if to is not None:
            links.append((to, "--"))
        for target, style in links:
            if target is None:
                continue
            tx, ty = place[target]
            ax.annotate(
                "",
                xy=(tx, ty),
                xytext=(x, y),
                arrowprops={"arrowstyle": "-|>", "linestyle": style, "color": "0.35", "shrinkA": 9, "shrinkB": 9},
            )
    for name, element in network.elements.items():
        x, y = place[name]
        marker = "v" if element.KIND == "reservoir" else "s" if element.KIND == "subbasin" else "o"
        ax.plot([x], [y], marker=marker, markersize=13, color=_element_colour(element.KIND), linestyle="none")
        if name in network.gauges:
            ax.plot([x], [y], marker="o", markersize=20, markerfacecolor="none", markeredgecolor="red")
        ax.annotate(f"{name}\n({element.KIND})", (x, y), xytext=(12, -4), textcoords="offset points", fontsize=8)
    ax.set_xlim(0.0, 1.15)
    ax.set_ylim(-max(rows) - 0.6, 0.6)
    ax.set_axis_off()
    ax.set_title(f"{network.options.name}: {len(network.elements)} elements (gauges ringed in red)", fontsize=11)
    if path is not None:
        _save(fig, path, dpi)
    return fig


def plot_hydrographs(
    result: NetworkResult,
    elements: list[str] | None,
    observed: Mapping[str, pd.Series],
    *,
    path: str | Path | None = None,
    dpi: int = 80,
) -> Figure:
    """The outflow at each chosen element (default: the gauges, else the outlets), with its observations."""
    network = result.network
    names = elements or list(network.gauges) or network.outlets()
    fig = _figure(1)
    fig.clear()
    axes = fig.subplots(len(names), 1, sharex=True, squeeze=False)[:, 0]
    flow_unit = u.label("flow", result.units)
    for ax, name in zip(axes, names, strict=True):
        simulated = result.at(name)
        ax.plot(simulated.index, simulated.to_numpy(), color="tab:blue", linewidth=1.5, label=f"{name} simulated")
        if name in observed:
            seen = observed[name]
            ax.plot(seen.index, seen.to_numpy(), ".", markersize=3.5, color="black", label="observed")
        ax.set_ylabel(f"flow ({flow_unit})")
        legend_beside(ax)
        ax.grid(True, linewidth=0.4, alpha=0.5)
    time_axis(axes[-1], result.index)
    fig.set_size_inches(9.0, 2.6 * len(names) + 0.8)
    if path is not None:
        _save(fig, path, dpi)
    return fig


def _save(fig: Figure, path: str | Path, dpi: int) -> None:
    from .files import atomic_write

    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    with atomic_write(target, "wb") as stream:
        fig.savefig(stream, dpi=dpi, format=target.suffix.lstrip(".") or "png")
