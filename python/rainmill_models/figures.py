"""Habits every figure of the package shares: dates that never overlap, legends beside the data, units.

A time axis gets a date locator sized to the axes' width and concise labels (the hour within a
day, the day within a month, the context once at the edge), in the data's own time zone, so
labels stay apart on a window of a few hours as on one of several years. Legends go to the right
of the axes, outside them, where they cannot cover a hydrograph.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# How many inches of axes width each date label may take at least.
_INCHES_PER_TICK = 0.9


# The unit of each score an objective axis shows.
_SCORE_UNITS = {"pbias": "%", "peak_time_error": "h"}


class PlottingUnavailable(ImportError):
    """matplotlib cannot be imported."""


def score_label(name: str) -> str:
    """An objective's axis label with its unit: "kge (–)", "pbias (%)"."""
    return f"{name} ({_SCORE_UNITS.get(name, '–')})"


def time_axis(axes: Axes, index: pd.Index | None = None) -> None:
    """Date ticks on the x axis of `axes` that do not overlap, in the time zone of `index` when it has one.

    The axis is labelled with the zone: "time (UTC)", "time (Europe/Berlin)", or "time" for naive times.
    """
    from matplotlib import dates

    figure: Any = axes.get_figure(root=True)
    width = axes.get_position().width * (figure.get_figwidth() if figure is not None else 6.4)
    tz = index.tz if isinstance(index, pd.DatetimeIndex) else None
    locator = dates.AutoDateLocator(  # type: ignore[no-untyped-call]
        minticks=2, maxticks=max(3, int(width / _INCHES_PER_TICK)), tz=tz
    )
    axes.xaxis.set_major_locator(locator)
    axes.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator, tz=tz))  # type: ignore[no-untyped-call]
    axes.set_xlabel("time" if tz is None else f"time ({tz})")


def new_figure(
    rows: int, *, width: float = 9.0, height: float = 3.0, sharex: bool = True, ratios: list[float] | None = None
) -> Figure:
    """A bare figure (no pyplot) of `rows` axes one above the other (heights in `ratios`), laid out so
    legends outside fit.
    """
    try:
        from matplotlib.figure import Figure
    except ImportError as error:
        raise PlottingUnavailable(
            f"matplotlib is not installed ({error}); install the plot extra: pip install 'rainmill[plot]'"
        ) from error
    figure = Figure(figsize=(width, height * rows + 0.6), layout="constrained")
    figure.subplots(rows, 1, sharex=sharex, squeeze=False, gridspec_kw={"height_ratios": ratios})
    return figure


def legend_beside(
    axes: Axes, handles: list[Any] | None = None, labels: list[str] | None = None, *, whole_figure: bool = False
) -> None:
    """The legend to the right of `axes`, outside the plotting area (nothing it could cover).

    `whole_figure` puts it at the figure's right edge instead (for axes with a twin whose ticks
    take the right side); the figure's constrained layout makes room for it either way.
    """
    if handles is None or labels is None:
        handles, labels = axes.get_legend_handles_labels()
    if whole_figure:
        figure: Any = axes.get_figure()
        figure.legend(handles, labels, loc="outside right upper", fontsize=8, frameon=False)
        return
    axes.legend(
        handles, labels, loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0, fontsize=8, frameon=False
    )


def covered_axes(figure: Figure) -> list[str]:
    """The legends that overlap the plotting area of some axes once drawn (none in a good figure)."""
    renderer = _renderer(figure)
    legends = [legend for legend in (*figure.legends, *(a.get_legend() for a in figure.axes)) if legend is not None]
    return [
        ", ".join(text.get_text() for text in legend.get_texts())
        for legend in legends
        for axes in figure.axes
        if axes.axison and legend.get_window_extent(renderer).overlaps(axes.get_window_extent(renderer))
    ]


def _renderer(figure: Figure) -> Any:
    canvas: Any = figure.canvas
    renderer = canvas.get_renderer() if hasattr(canvas, "get_renderer") else None
    if renderer is None:
        from matplotlib.backends.backend_agg import FigureCanvasAgg

        renderer = FigureCanvasAgg(figure).get_renderer()  # type: ignore[no-untyped-call]
    figure.draw(renderer)
    return renderer


def overlapping_labels(figure: Figure) -> list[tuple[str, str]]:
    """Pairs of neighbouring x tick labels whose boxes overlap once drawn (none in a good figure)."""
    renderer = _renderer(figure)
    found = []
    for axes in figure.axes:
        shown = [t for t in axes.get_xticklabels() if t.get_visible() and t.get_text()]
        boxes = [t.get_window_extent(renderer) for t in shown]
        for (a, box_a), (b, box_b) in zip(zip(shown, boxes), zip(shown[1:], boxes[1:])):
            if box_a.overlaps(box_b):
                found.append((a.get_text(), b.get_text()))
    return found


def save_figure(fig: Figure, path: str | Path, dpi: int) -> None:
    """Write `fig` to `path` all or nothing (the format by its suffix, PNG without one)."""
    from .io.files import atomic_write

    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    with atomic_write(target, "wb") as stream:
        fig.savefig(stream, dpi=dpi, format=target.suffix.lstrip(".") or "png")
