"""Figures of a network and of its runs: the schematic, the hydrographs at gauges against observations.

Drawn on a bare `matplotlib.figure.Figure` (no pyplot, no global backend), so it works the same in
scripts, notebooks and worker processes. matplotlib is the optional `plot` extra.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, cast

import pandas as pd

from .elements import ControlledOutlet, Reservoir, UncontrolledOutlet
from .figures import PlottingUnavailable, legend_beside, new_figure, time_axis
from .io import units as u

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .network import Network
    from .results import NetworkResult

__all__ = ["PlottingUnavailable", "plot_result", "plot_schematic"]


# The schematic's symbol and colour of each kind.
_STYLES = {
    "subbasin": ("s", "tab:green"),
    "reach": ("o", "tab:blue"),
    "reservoir": ("v", "tab:cyan"),
    "junction": ("o", "0.4"),
    "source": ("o", "tab:orange"),
    "diversion": ("o", "tab:purple"),
    "sink": ("o", "black"),
}


def plot_schematic(network: Network, *, path: str | Path | None = None, dpi: int = 80) -> Figure:
    """The network's schematic: elements by topological depth (top to bottom), links as arrows.

    Gauges are ringed in red; reservoirs are drawn as triangles; diverted flow is a dashed arrow.
    """
    fig = new_figure(1, height=3.9)
    ax = fig.axes[0]
    depth: dict[str, int] = {}
    rows: dict[int, list[str]] = {}
    for name in network.order:
        depth[name] = max((depth[up] + 1 for up in network.upstream(name)), default=0)
        rows.setdefault(depth[name], []).append(name)
    place: dict[str, tuple[float, float]] = {}
    for level, names in rows.items():
        for i, name in enumerate(names):
            place[name] = ((i + 1) / (len(names) + 1), -float(level))
    for name, element in network.elements.items():
        x, y = place[name]
        for target, style in ((element.downstream, "-"), (getattr(element, "to", None), "--")):
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
        marker, colour = _STYLES.get(element.KIND, ("o", "0.5"))
        ax.plot([x], [y], marker=marker, markersize=13, color=colour, linestyle="none")
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


def plot_result(
    result: NetworkResult,
    observed: pd.Series | Mapping[str, pd.Series] | None = None,
    elements: Sequence[str] | None = None,
    *,
    path: str | Path | None = None,
    title: str | None = None,
    dpi: int = 80,
) -> Figure:
    """A run's figure: the hyetograph hanging over the hydrographs at each chosen element, pools below.

    `elements` default to the gauges, else the outlets. `observed` is one Series (for the first of
    them) or a mapping element -> Series, drawn as dots. The hyetograph is the area-weighted gross
    rain over the subbasins upstream of the first element, with its excess; each reservoir among the
    chosen elements adds a panel of its pool elevation with its spillway crests and gate sills.
    """
    network = result.network
    names = list(elements or network.gauges or network.outlets())
    if isinstance(observed, pd.Series):
        observed = {names[0]: observed}
    observed = dict(observed or {})
    pools = [n for n in names if hasattr(network.elements[n], "outlets")]  # those with a pool elevation
    ratios = [2.2] * len(names) + [1.0] * len(pools)
    fig = new_figure(len(ratios), ratios=ratios)
    axes = list(fig.axes)
    flow_unit = u.label("flow", result.units)
    for ax, name in zip(axes, names, strict=False):
        simulated = result.at(name)
        ax.plot(simulated.index, simulated.to_numpy(), color="tab:blue", linewidth=1.5, label=f"{name} simulated")
        if name in observed:
            seen = observed[name]
            ax.plot(seen.index, seen.to_numpy(), ".", markersize=3.5, color="black", label="observed")
        ax.set_ylabel(f"flow ({flow_unit})")
        ax.set_ylim(0.0, max(float(simulated.max()), 1e-9) * 1.75)
        ax.grid(True, linewidth=0.4, alpha=0.5)
    gross, excess = _upstream_rain(result, names[0])
    handles, labels = axes[0].get_legend_handles_labels()
    if gross is not None and excess is not None:
        rain_ax = axes[0].twinx()
        width = result.step / pd.Timedelta(days=1)
        rain_ax.bar(gross.index, gross, width=width, align="edge", color="lightsteelblue", label="gross rain")
        rain_ax.bar(excess.index, excess, width=width, align="edge", color="steelblue", label="excess")
        rain_ax.set_ylim(max(float(gross.max()), 1e-9) * 3.0, 0.0)  # the bars hang from the top
        rain_ax.set_ylabel(f"rain ({u.label('depth', result.units)} per step)")
        more_handles, more_labels = rain_ax.get_legend_handles_labels()
        handles, labels = handles + more_handles, labels + more_labels
    legend_beside(axes[0], handles, labels)
    for ax in axes[1 : len(names)]:
        legend_beside(ax)
    for ax, name in zip(axes[len(names) :], pools, strict=True):
        frame = result[name]
        ax.plot(frame.index, frame["elevation"], color="tab:green", linewidth=1.6, label=f"{name} elevation")
        for outlet_name, outlet in cast(Reservoir, network.elements[name]).outlets.items():
            if isinstance(outlet, UncontrolledOutlet):
                crest = outlet.elevation[0] - (outlet.elevation_offset or 0.0)
                ax.axhline(crest, color="tab:red", linestyle="--", linewidth=1.0, label=f"{outlet_name} crest")
            elif isinstance(outlet, ControlledOutlet):
                sill = max(outlet.elevation[0], outlet.minimum_elevation or outlet.elevation[0])
                ax.axhline(sill, color="grey", linestyle=":", linewidth=1.0, label=f"{outlet_name} sill")
        ax.set_ylabel(f"elevation ({u.label('length', result.units)})")
        legend_beside(ax)
        ax.grid(True, linewidth=0.4, alpha=0.5)
    axes[0].set_title(title or network.options.name, fontsize=11)
    time_axis(axes[-1], result.index)
    fig.set_size_inches(9.0, 2.2 * len(names) + 1.6 * len(pools) + 1.2)
    if path is not None:
        _save(fig, path, dpi)
    return fig


def _upstream_rain(result: NetworkResult, name: str) -> tuple[pd.Series | None, pd.Series | None]:
    """The area-weighted gross rain and excess over the subbasins whose water reaches `name`."""
    seen = result.network.reaching(name)
    subbasins = {n: e.area for n, e in result.network.subbasins().items() if n in seen}
    total = sum(subbasins.values())
    if not total:
        return None, None
    gross = sum(result[n]["rain"] * (area / total) for n, area in subbasins.items())
    excess = sum(result[n]["excess"] * (area / total) for n, area in subbasins.items())
    return cast(pd.Series, gross), cast(pd.Series, excess)


def _save(fig: Figure, path: str | Path, dpi: int) -> None:
    from .io.files import atomic_write

    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    with atomic_write(target, "wb") as stream:
        fig.savefig(stream, dpi=dpi, format=target.suffix.lstrip(".") or "png")
