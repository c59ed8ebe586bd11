"""A short tour of what rainmill offers so far: the two time-series types.

Run with `make example`.
"""

from datetime import timedelta

import rainmill

utils = rainmill.utils


def main() -> None:
    print("rainmill submodules:", ", ".join(rainmill.__all__))

    # Hourly design-storm depths (inches per hour), split into 15-minute depths.
    hourly = utils.IncrementalTimeSeries([0.1, 0.6, 1.2, 0.5, 0.2], timedelta(hours=1), "rainfall")
    fine = hourly.disaggregate(900)
    print(f"hourly rainfall: {hourly.data} over {hourly.total_duration()} s")
    print(f"15-minute rainfall ({len(fine.data)} values, step {fine.time_step}):")
    print("  " + ", ".join(f"{v:.3f}" for v in fine.data))
    print(f"  total depth {sum(fine.data):.6f} in (hourly total {sum(hourly.data):.6f} in)")

    # A hydrograph sampled every 30 minutes (cfs), read at any instant by
    # linear interpolation between its points.
    flow = utils.ContinuousTimeSeries([0.0, 150.0, 420.0, 300.0, 120.0], timedelta(minutes=30), "discharge")
    print(f"hydrograph {flow.data} cfs, step {flow.time_step}, spans {flow.total_duration()} s")

    try:
        utils.ContinuousTimeSeries([1.0], timedelta(hours=1), "flow")
    except ValueError as error:
        print(f"a wrong kind is refused: {error}")


if __name__ == "__main__":
    main()
