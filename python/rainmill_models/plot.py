"""The figure of a network: its schematic (a run's figure is `NetworkResult.plot`).

Drawn on a bare `matplotlib.figure.Figure` (no pyplot, no global backend), so it works the same in
scripts, notebooks and worker processes. matplotlib is the optional `plot` extra.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

from .figures import PlottingUnavailable, new_figure, save_figure

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .topology import Topology

__all__ = ["PlottingUnavailable", "plot_schematic"]


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


def plot_schematic(network: Topology, *, path: str | Path | None = None, dpi: int = 80) -> Figure:
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
        save_figure(fig, path, dpi)
    return fig
