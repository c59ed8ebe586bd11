"""A 100-year, 24-hour design storm through a small watershed with a detention pond.

Run it with

    .venv/bin/python examples/design_storm.py [--output DIR] [--no-plot]      (or: make design-example)

The model is examples/design_storm.toml (see the sketch at its top): three subbasins with curve-number
and Green–Ampt losses, SCS and Snyder unit hydrographs and a recession baseflow, a Muskingum–Cunge
channel, a lag, a modified-Puls reach and a detention pond with a pipe and a spillway. Its data are
SYNTHETIC: the storm is the NRCS type II 24-hour distribution scaled to DEPTH inches, a made-up
"100-year" depth for the example, not a published one.

It prints peaks, volumes and the water balance of every element and what the pond does to the peak,
and writes the hyetograph with the hydrographs into DIR (default: examples/output/, which git
ignores): design_storm.png.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path

import pandas as pd

import rainmill_models as rm
from rainmill_models import storms
from rainmill_models.plot import PlottingUnavailable

HERE = Path(__file__).resolve().parent
MODEL = HERE / "design_storm.toml"
DEPTH = 7.2  # inches in 24 hours: SYNTHETIC, made up for the example
START = "2024-06-01T00:00:00+00:00"
STEP = "6min"  # the model's step (options.step = 0.1 h)
SHOWN = {"upper": "upper subbasin", "junction": "junction", "pond.inflow": "pond inflow", "outlet": "pond outflow"}


def figure(rain: pd.Series, result: rm.NetworkResult) -> object:
    """The hyetograph above the hydrographs of SHOWN, drawn on a bare matplotlib Figure."""
    try:
        from matplotlib.figure import Figure
    except ImportError as error:
        raise PlottingUnavailable("matplotlib is not installed (pip install '.[plot]')") from error
    fig = Figure(figsize=(9.0, 6.0), layout="tight")
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=[1, 2])
    hours = (rain.index - rain.index[0]).total_seconds() / 3600.0
    top.bar(hours, rain.to_numpy(), width=0.1, align="edge", color="tab:blue")
    top.invert_yaxis()
    top.set_ylabel("rain (in per 6 min)")
    top.set_title(f"NRCS type II, {DEPTH} in in 24 h (synthetic 100-year depth)")
    for key, label in SHOWN.items():
        element, _, variable = key.partition(".")
        flow = result[element][variable or "outflow"]
        bottom.plot((flow.index - rain.index[0]).total_seconds() / 3600.0, flow.to_numpy(), label=label)
    bottom.set_xlim(0.0, 48.0)
    bottom.set_xlabel("hours from the start of the storm")
    bottom.set_ylabel("flow (cfs)")
    bottom.legend()
    return fig


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0] if __doc__ else None)
    parser.add_argument("--output", type=Path, default=HERE / "output", help="directory for the figure")
    parser.add_argument("--no-plot", action="store_true", help="skip the figure")
    args = parser.parse_args(argv)

    network = rm.Network.load(MODEL)
    rain = storms.nrcs_storm("II", DEPTH, START, step=STEP)
    result = network.run(rain)
    print(result.summary())
    pond = result["pond"]
    peak_in, peak_out = pond["inflow"].max(), pond["outflow"].max()
    delay = (pond["outflow"].to_numpy().argmax() - pond["inflow"].to_numpy().argmax()) * 0.1  # hours
    print(f"\nThe pond takes the peak from {peak_in:,.0f} to {peak_out:,.0f} cfs ({1 - peak_out / peak_in:.0%} less),")
    print(f"{delay:.1f} h later; it stores at most {pond['storage'].max():,.0f} ft³.")
    if args.no_plot:
        return 0
    try:
        drawing = figure(rain, result)
    except PlottingUnavailable as error:
        print(f"\nNo figure: {error}", file=sys.stderr)
        return 0
    args.output.mkdir(parents=True, exist_ok=True)
    drawing.savefig(args.output / "design_storm.png", dpi=80)  # type: ignore[attr-defined]
    print(f"\nFigure written to {args.output / 'design_storm.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
