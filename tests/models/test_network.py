"""Networks: the description and its files, parameters, forcing, element kinds, balances, the mended faults."""

import dataclasses
import math
import pickle
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import ClassVar

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
rm = pytest.importorskip("rainmill_models")

from rainmill_models import ModelError
from rainmill_models.elements import Balance, balance
from rainmill_models.methods import LossOutput, SnowOutput, register
from rainmill_models.methods.routing import Muskingum
from rainmill_models.network import Network
from rainmill_models.parameters import compile_parameters

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def series(values, freq="1h", start="2024-06-11"):
    index = pd.date_range(start, periods=len(values), freq=freq, tz="UTC", name="time")
    return pd.Series(np.asarray(values, dtype=np.float64), index=index)


STORM = series([0.15, 0.35, 1.10, 0.60, 0.25, 0.15])


def subbasin(area=640.0, downstream=None, tc=2.0, layers=None):
    table = {
        "area": area,
        "loss": {"method": "deficit-constant", "initial_deficit": 0.3, "max_deficit": 1.0,
                 "constant_rate": 0.1, "time_to_dry": 24.0},
        "transform": {"method": "clark", "tc": tc, "r": 1.0},
    }  # fmt: skip
    if layers is not None:
        table["baseflow"] = {"method": "linear-reservoirs", "layers": layers}
    if downstream is not None:
        table["downstream"] = downstream
    return table


def reach(downstream=None, k=1.0, x=0.1):
    table = {"routing": {"method": "muskingum", "k": k, "x": x}}
    if downstream is not None:
        table["downstream"] = downstream
    return table


def tree():
    """Two headwaters routed to a confluence with a local subbasin, one more reach to the outlet."""
    return {
        "options": {"name": "tree", "step": 0.25},
        "subbasins": {
            "a": subbasin(800.0, "ra", layers={"g": {"fraction": 0.4, "k": 20.0, "initial_q": 1.0}}),
            "b": subbasin(500.0, "rb", tc=3.0),
            "c": subbasin(300.0, "confluence", tc=1.0),
        },
        "reaches": {"ra": reach("confluence"), "rb": reach("confluence", k=1.2), "low": reach("outlet")},
        "junctions": {"confluence": {"downstream": "low"}},
        "sinks": {"outlet": {}},
    }


def test_a_chain_file_loads_as_its_network_layout_and_keeps_its_paths():
    chain = Network.load(EXAMPLES / "event_model.toml")
    assert chain.order == ("basin", "reach", "reservoir")
    written = Network.from_toml(chain.to_toml())
    assert "subbasins" in written.to_dict() and written == chain
    old = {"basin.loss.constant_rate": 0.3, "basin.baseflow.deep.k": 50.0, "reach.x": 0.1}
    new = {"subbasins.basin.loss.constant_rate": 0.3, "subbasins.basin.baseflow.layers.deep.k": 50.0,
           "reaches.reach.routing.x": 0.1}  # fmt: skip
    assert chain.with_parameters(old) == chain.with_parameters(new)
    changed = chain.with_parameters(old)
    assert [changed.get(p) for p in old] == [changed.get(p) for p in new] == list(old.values())
    with pytest.raises(ModelError, match=r"^reach.x: must be between 0 and 0.5"):
        chain.with_parameters({"reach.x": 0.7})
    with pytest.warns(DeprecationWarning, match="Network"):
        assert rm.Model.load(EXAMPLES / "event_model.toml") == chain


def test_round_trips():
    network = Network.from_dict(tree())
    assert Network.from_dict(network.to_dict()) == network
    assert Network.from_toml(network.to_toml()) == network
    assert pickle.loads(pickle.dumps(network)) == network
    assert network.order.index("ra") < network.order.index("confluence") < network.order.index("outlet")


def _edit(change):
    data = tree()
    change(data)
    return data


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda d: d["reaches"]["low"].update(downstream="ra"), r"^reaches\.\w+\.downstream: a cycle: "),
        (lambda d: d["reaches"]["low"].update(downstream="nowhere"), "^reaches.low.downstream: no element named"),
        (lambda d: d["reaches"]["low"].update(downstream="a"), "^reaches.low.downstream: subbasins.a is a subbasin"),
        (lambda d: d.update(sources={"gauge": {}}) or d["reaches"]["low"].update(downstream="gauge"),
         "^reaches.low.downstream: sources.gauge is a source"),
        (lambda d: d["sinks"].update(other={}), "^sinks.other: receives no inflow"),
        (lambda d: d["junctions"].update(a={}), "^junctions.a: the name is taken by subbasins.a"),
        (lambda d: d["subbasins"]["a"]["loss"].update(method="nope"), "^subbasins.a.loss.method: must be one of"),
        (lambda d: d["subbasins"]["a"]["transform"].update(tc=-1), "^subbasins.a.transform.tc: must be >="),
        (lambda d: d["subbasins"]["a"]["transform"].update(tc=1e30), "^subbasins.a.transform.tc: .* ordinates"),
        (lambda d: d["subbasins"]["a"]["transform"].update(tc=10**400), "^subbasins.a.transform.tc: is too large"),
        (lambda d: d["subbasins"]["a"]["baseflow"]["layers"]["g"].update(k=1e9, reservoirs=10**9),
         "^subbasins.a.baseflow.layers.g.reservoirs: must be between 1 and 1000"),
        (lambda d: d["reaches"]["ra"]["routing"].update(sub_reaches=10**6),
         "^reaches.ra.routing.sub_reaches: must be between"),
        (lambda d: d.update(reservoirs={"p": {"elevation": [0, 1], "storage": [0, 1], "initial_elevation": 0,
                                              "outlets": {"o": {"kind": [1]}}, "downstream": "outlet"}}),
         "^reservoirs.p.outlets.o.kind: must be one of"),
        (lambda d: d["subbasins"]["a"].update(colour="red"), "^subbasins.a.colour: unknown key"),
    ],
)  # fmt: skip
def test_invalid_networks_name_the_path_first(change, message):
    with pytest.raises(ModelError, match=message):
        Network.from_dict(_edit(change))


def test_a_deeply_nested_file_is_a_model_error():
    with pytest.raises(ModelError, match="nested"):
        Network.from_toml("x = " + "[" * 5000 + "]" * 5000)


def test_parameters_by_path_tied_and_refused():
    network = Network.from_dict(tree())
    path = "subbasins.a.loss.constant_rate"
    assert network.get(path) == 0.1
    changed = network.with_parameters({path: 0.2, "reaches.low.routing.k": 1.2})
    assert changed.get(path) == 0.2 and changed.get("reaches.low.routing.k") == 1.2
    assert changed.elements["b"] is network.elements["b"], "untouched elements are kept as they are"
    tied = network.with_parameters(
        {"subbasins.*.transform.r": 0.75, ("reaches.ra.routing.x", "reaches.rb.routing.x"): 0.05}
    )
    assert [tied.get(f"subbasins.{n}.transform.r") for n in "abc"] == [0.75] * 3
    assert tied.get("reaches.rb.routing.x") == 0.05 and tied.get("reaches.low.routing.x") == 0.1
    with pytest.raises(ModelError, match=r"^subbasins.a.transform.r: must be >="):
        network.with_parameters({"subbasins.a.transform.r": 0.0})
    with pytest.raises(ModelError, match=r"^subbasins.z: no such element"):
        network.get("subbasins.z.area")
    with pytest.raises(ModelError, match="whole number, not a continuous parameter"):
        compile_parameters(network, ["subbasins.a.baseflow.layers.g.reservoirs"], continuous=True)


def test_forcing_forms_agree():
    network = Network.from_dict(tree())
    one = network.run(STORM, end="2024-06-12 00:00+00:00")
    frame = pd.DataFrame({name: STORM for name in "abc"})
    by_frame = network.run(frame, end="2024-06-12 00:00+00:00")
    pd.testing.assert_frame_equal(one.flows, by_frame.flows)
    gauges = pd.DataFrame({"north": STORM * 2.0, "south": STORM * 0.0})
    weights = {name: {"north": 0.5, "south": 0.5} for name in "abc"}
    weighted = network.run(gauges, weights=weights, end="2024-06-12 00:00+00:00")
    np.testing.assert_allclose(weighted.flows.to_numpy(), one.flows.to_numpy(), rtol=1e-12, atol=1e-12)
    with pytest.raises(ModelError, match="^rain: no series for c"):
        network.run({"a": STORM, "b": STORM})


def test_junctions_sum_diversions_conserve_and_threads_agree():
    data = tree()
    data["sources"] = {"upstream": {"downstream": "canal"}}
    data["diversions"] = {"canal": {"inflow": [0.0, 100.0, 1000.0], "diverted": [0.0, 50.0, 60.0],
                                    "capacity": 52.0, "downstream": "confluence"}}  # fmt: skip
    network = Network.from_dict(data)
    inflow = series(np.linspace(0.0, 400.0, 97), freq="15min")
    end = "2024-06-12 00:00+00:00"
    result = network.run(STORM, inflows={"upstream": inflow}, end=end)
    flows = result.flows
    upstream = np.zeros(len(flows))
    for name in network.upstream("confluence"):
        upstream = upstream + flows[name]["outflow"].to_numpy()
    assert sorted(network.upstream("confluence")) == ["c", "canal", "ra", "rb"]
    assert np.array_equal(flows["confluence"]["outflow"].to_numpy(), upstream)
    canal = flows["canal"]
    np.testing.assert_allclose(canal["outflow"] + canal["diverted"], canal["inflow"], rtol=1e-15, atol=1e-12)
    assert canal["diverted"].max() == 52.0
    assert result.balances.loc["canal", "closes"] and result.balances.loc["network", "closes"]
    threaded = network.run(STORM, inflows={"upstream": inflow}, end=end, threads=2)
    assert threaded.flows.to_numpy().tobytes() == flows.to_numpy().tobytes()


# ---- the faults of the single chain, mended ----


def pool_network(outlet, inflow, elevation=(0.0, 10.0), storage=(0.0, 1.0e6), initial=1.0):
    data = {
        "options": {"step": 1.0},
        "sources": {"in": {"downstream": "pool"}},
        "reservoirs": {"pool": {"elevation": list(elevation), "storage": list(storage),
                                "initial_elevation": initial, "outlets": {"o": outlet}}},
    }  # fmt: skip
    network = Network.from_dict(data)
    return network.run(None, inflows={"in": inflow}, end=inflow.index[-1])


def test_baseflow_starts_from_its_initial_flow():
    data = {"subbasins": {"s": subbasin(layers={"g": {"fraction": 1.0, "k": 2.0, "initial_q": 10.0}})}}
    result = Network.from_dict(data).run(series([0.0] * 6), end="2024-06-11 03:00+00:00")
    assert result["s"]["direct"].max() == 0.0
    assert result["s"]["baseflow"].tolist() == pytest.approx([10.0, 6.0, 3.6, 2.16], rel=1e-12)


def test_a_switching_outlet_releases_its_volume_faithfully():
    outlet = {"kind": "constant", "discharge": 50.0, "minimum_elevation": 1.0}
    result = pool_network(outlet, series([20.0] * 49))
    release = result["pool"]["release"].to_numpy()[:-1]
    balance_row = result.balances.loc["pool"]
    assert balance_row["closes"] and balance_row["relative"] <= 1e-3
    assert release[-12:] == pytest.approx(20.0, rel=1e-2), "the pool passes its inflow on, on average"


@pytest.mark.parametrize(
    ("row", "relative", "closes"),
    [
        (Balance(0.0, 0.0, 0.0, 0.0, 0.0, -422_000.0, 0.0), math.inf, False),  # nothing moved, yet a residual
        (balance(0.0, 100.0, 0.0, -422_100.0, 0.0, 500_000.0), 422_000.0 / 500_000.0, False),  # a pool drains
        (balance(10.0, 4.0, 1.0, 5.0, 0.0, 0.0), 0.0, True),
        (balance(0.0, 0.0, 0.0, 0.0, 0.0, 0.0), 0.0, True),
    ],
)
def test_a_residual_is_scaled_by_what_moved(row, relative, closes):
    assert row.relative == pytest.approx(relative) and row.closes is closes


def test_an_empty_pool_releases_no_more_than_it_holds():
    outlet = {"kind": "constant", "discharge": 50.0}
    result = pool_network(outlet, series([0.0] * 13), initial=0.4)
    pool = result["pool"]
    released = pool["release"].to_numpy()[:-1].sum() * 3600.0
    assert released == pytest.approx(pool["storage"].iloc[0], rel=1e-9)
    empty = np.flatnonzero(pool["storage"].to_numpy() <= 0.0)
    assert (pool["outflow"].to_numpy()[empty[0] + 1 :] == 0.0).all()  # once empty, nothing more leaves


@pytest.mark.parametrize("seed", range(6))
def test_what_a_pool_hands_on_is_what_it_released(seed):
    rng = np.random.default_rng(seed)
    pump = {"kind": "constant", "discharge": 50.0, "minimum_elevation": float(rng.uniform(1.5, 3.0))}
    gate = {"kind": "controlled", "elevation": [0.0, 10.0], "discharge": [0.0, float(rng.uniform(20, 200))],
            "minimum_elevation": float(rng.uniform(2.0, 4.0))}  # fmt: skip
    data = {
        "options": {"step": 0.5},
        "sources": {"in": {"downstream": "pool"}},
        "reservoirs": {"pool": {"elevation": [0.0, 10.0], "storage": [0.0, float(rng.uniform(2e5, 2e6))],
                                "initial_elevation": float(rng.uniform(1.0, 4.0)), "outlets": {"p": pump, "g": gate},
                                "downstream": "below"}},
        "reaches": {"below": reach(k=1.0, x=0.1)},
    }  # fmt: skip
    inflow = series(rng.uniform(20.0, 60.0, 48), freq="30min")
    result = Network.from_dict(data).run(None, inflows={"in": inflow}, end=inflow.index[-1])
    pool, table = result["pool"], result.balances
    released = pool["release"].to_numpy()[:-1]
    handed = result["below"]["inflow"].to_numpy()
    volume = float(released.sum()) * 1800.0
    assert abs(0.5 * (handed[1:] + handed[:-1]).sum() * 1800.0 - volume) <= 1e-9 * volume
    assert handed.max() <= released.max() * (1 + 1e-12)  # no spike above what any interval released
    parts = pool[[c for c in pool if c.startswith("outlet.")]].sum(axis=1).to_numpy()
    np.testing.assert_allclose(parts, pool["outflow"].to_numpy(), rtol=1e-9, atol=1e-9)
    assert table["closes"].all(), result.summary()


def test_the_automatic_end_waits_for_the_water_on_its_way():
    data = {"subbasins": {"s": subbasin(downstream="long")},
            "reaches": {"long": {"routing": {"method": "lag", "lag": 48.0}}}}  # fmt: skip
    result = Network.from_dict(data).run(STORM)
    table = result.balances
    assert result.outflow.max() > 0.0 and table.loc["long", "outflow"] >= 0.99 * table.loc["long", "inflow"]
    assert result.index[-1] > STORM.index[-1] + pd.Timedelta(hours=48)
    data["options"] = {"max_horizon": 24.0}
    with pytest.warns(UserWarning, match=r"not drained .*still held: reaches.long \(100.0% of its inflow\)"):
        Network.from_dict(data).run(STORM)


@pytest.mark.parametrize(
    ("values", "end", "message"),
    [
        ([1.0, np.inf, 1.0], None, r"inflows.in: flows must be finite and >= 0; inf at 2024-06-11T01:00:00"),
        ([1.0, -2.0, 1.0], None, r"inflows.in: flows must be finite and >= 0; -2.0 at"),
        ([1.0, 500.0], "2024-06-12 00:00+00:00", r"inflows.in: the record ends before the run; .* 2024-06-11T02:00:00"),
    ],
)
def test_sources_are_finite_non_negative_and_cover_the_run(values, end, message):
    data = {"sources": {"in": {"downstream": "out"}}, "sinks": {"out": {}}}
    with pytest.raises((ModelError, rm.TimeSeriesError), match=message):
        Network.from_dict(data).run(None, inflows={"in": series(values)}, end=end)


def test_a_source_ending_at_its_peak_is_not_held():
    data = {"sources": {"in": {"downstream": "out"}}, "sinks": {"out": {}}}
    with pytest.warns(UserWarning, match="the end of the sources' records"):
        result = Network.from_dict(data).run(None, inflows={"in": series([1.0, 100.0, 500.0])})
    assert len(result.index) == 3


def test_the_suggested_number_of_sub_reaches_is_accepted():
    reach_ = Muskingum(k=5.0, x=0.1, sub_reaches=3)
    reach_.check_step(1200)  # 2 (5/3) 0.1 = 1/3 h: on the bound, to the last bit
    rng = np.random.default_rng(7)
    fixed = 0
    for _ in range(200):
        k, x, step = rng.uniform(0.1, 20.0), rng.uniform(0.0, 0.5), int(rng.integers(60, 7200))
        try:
            Muskingum(k=k, x=x).check_step(step)
        except ModelError as error:
            if "would fix it" in str(error):
                suggested = int(str(error).split("sub_reaches = ")[1].split()[0])
                Muskingum(k=k, x=x, sub_reaches=suggested).check_step(step)
                fixed += 1
    assert fixed > 20  # the suggestion was read and tried, not skipped


def test_a_run_covers_its_whole_forcing():
    days = pd.date_range("2020-01-01", periods=5 * 365, freq="1D", tz="UTC")
    rain = pd.Series(np.where(np.arange(len(days)) % 17 == 0, 0.8, 0.0), index=days)
    basin = subbasin(tc=48.0, layers={"g": {"fraction": 0.5, "k": 240.0}})
    basin["transform"]["r"] = 24.0
    del basin["baseflow"]
    basin["baseflow"] = {"g": {"fraction": 0.5, "k": 240.0}}
    model = Network.from_dict({"basin": basin, "reach": {"k": 30.0, "x": 0.2}})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = model.run(rain)
    assert result.index[-1] >= days[-1]


def test_calibration_at_two_gauges_recovers_known_parameters():
    truth = Network.from_dict(tree())
    known = {
        "subbasins.a.transform.tc": 2.6,
        ("subbasins.b.loss.constant_rate", "subbasins.c.loss.constant_rate"): 0.16,
    }
    result = truth.with_parameters(known).run(STORM, end="2024-06-12 00:00+00:00")
    observed = {"confluence": result.at("confluence"), "outlet": result.at("outlet")}
    assert set(rm.scores(result, observed).index) == {"confluence", "outlet"}
    fit = rm.calibrate(
        truth,
        STORM,
        observed,
        {key: (0.05, 4.0) for key in known},
        objective="nse",
        method="nelder-mead",
        progress=False,
        options={"xatol": 1e-6, "fatol": 1e-12},
    )
    assert fit.parameters["subbasins.a.transform.tc"] == pytest.approx(2.6, rel=1e-3)
    assert fit.parameters["subbasins.b.loss.constant_rate|subbasins.c.loss.constant_rate"] == pytest.approx(
        0.16, rel=1e-3
    )
    assert fit.model.get("subbasins.c.loss.constant_rate") == fit.model.get("subbasins.b.loss.constant_rate")
    assert list(fit.gauges.index) == ["confluence", "outlet"] and (fit.gauges["nse"] > 0.999999).all()


def test_files_are_written_all_or_nothing(tmp_path):
    target = tmp_path / "model.toml"
    Network.from_dict(tree()).save(target)
    before = target.read_bytes()
    unencodable = Network.from_dict({**tree(), "options": {"name": "\udc80", "step": 0.25}})
    with pytest.raises(UnicodeEncodeError):
        unencodable.save(target)
    assert target.read_bytes() == before and list(tmp_path.iterdir()) == [target]


def test_a_run_starts_from_given_states():
    network = Network.from_dict(tree())
    wet = network.run(STORM, end="2024-06-12 00:00+00:00", initial_states={"subbasins.*.loss.initial_deficit": 0.0})
    dry = network.run(STORM, end="2024-06-12 00:00+00:00")
    assert wet["a"]["states.deficit"].iloc[0] == 0.0 and dry["a"]["states.deficit"].iloc[0] == 0.3
    assert wet.at("outlet").sum() > dry.at("outlet").sum()


@register("loss", "test-fraction")
@dataclass(frozen=True)
class _Fraction:
    """A loss registered outside the package: a fixed fraction of the water runs off."""

    fraction: float
    UNITS: ClassVar[dict[str, str]] = {}

    def check_step(self, step_seconds):
        pass

    def run(self, water, step_seconds, forcing):
        return LossOutput(excess=water * self.fraction, recharge=water * (1.0 - self.fraction))


def test_a_method_registered_elsewhere_works_in_model_files():
    data = {"subbasins": {"s": subbasin()}}
    data["subbasins"]["s"]["loss"] = {"method": "test-fraction", "fraction": 0.25}
    network = Network.from_toml(Network.from_dict(data).to_toml())
    result = network.run(STORM, end="2024-06-12 00:00+00:00")
    np.testing.assert_allclose(result["s"]["excess"][:6], STORM.to_numpy() * 0.25, rtol=1e-15)


def test_si_networks_report_the_same_water():
    us = Network.from_dict(tree())
    si_data = tree()
    si_data["options"]["units"] = "SI"
    for name, table in si_data["subbasins"].items():
        table["area"] = us.elements[name].area / rm.io.units.ACRES_PER_SQUARE_KILOMETRE
        for key in ("initial_deficit", "max_deficit", "constant_rate"):
            table["loss"][key] *= rm.io.units.MM_PER_INCH
        for layer in table.get("baseflow", {}).get("layers", {}).values():
            layer["initial_q"] *= rm.io.units.CUBIC_METRES_PER_CUBIC_FOOT
    si = Network.from_dict(si_data)
    end = "2024-06-12 00:00+00:00"
    expected = us.run(STORM, end=end, units="SI").flows
    got = si.run(STORM * rm.io.units.MM_PER_INCH, end=end).flows
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-9, atol=1e-9)


@register("loss", "test-et")
@dataclass(frozen=True)
class _EvaporatingLoss:
    """A loss that records its forcing: the potential ET leaves, the rest runs off."""

    UNITS: ClassVar[dict[str, str]] = {}

    def check_step(self, step_seconds):
        pass

    def run(self, water, step_seconds, forcing):
        et = np.minimum(water, forcing.potential_et)
        return LossOutput(excess=water - et, recharge=np.zeros_like(water), losses={"et": et})


@register("snow", "test-melt-above-zero")
@dataclass(frozen=True)
class _Melt:
    """Holds precipitation while the temperature is below zero, releases it all at the first thaw."""

    UNITS: ClassVar[dict[str, str]] = {}

    def check_step(self, step_seconds):
        pass

    def run(self, precipitation, temperature, step_seconds):
        liquid, pack, packs = np.zeros_like(precipitation), 0.0, [0.0]
        for i, (p, t) in enumerate(zip(precipitation, temperature, strict=True)):
            pack += p
            if t > 0.0:
                liquid[i], pack = pack, 0.0
            packs.append(pack)
        return SnowOutput(liquid=liquid, storage={"pack": np.array(packs)})


def test_forcing_reaches_the_methods_and_the_balance_counts_their_losses():
    data = {"subbasins": {"s": subbasin()}}
    data["subbasins"]["s"]["loss"] = {"method": "test-et"}
    data["subbasins"]["s"]["snow"] = {"method": "test-melt-above-zero"}
    network = Network.from_dict(data)
    temperature = series([-2.0, -1.0, -1.0] + [3.0] * 22)  # PET and temperature cover the run
    pet = series([0.05] * 6 + [0.0] * 19)
    with pytest.raises(ModelError, match="^subbasins.s.snow: needs a temperature series"):
        network.run(STORM, potential_et=STORM * 0.0)
    result = network.run(STORM, potential_et=pet, temperature=temperature, end="2024-06-12 00:00+00:00")
    s = result["s"]
    assert s["water"][:6].tolist() == pytest.approx([0.0, 0.0, 0.0, 0.15 + 0.35 + 1.10 + 0.60, 0.25, 0.15])
    assert s["losses.et"][:6].tolist() == pytest.approx([0.0, 0.0, 0.0, 0.05, 0.05, 0.05])
    assert s["storage.snow.pack"][:4].tolist() == pytest.approx([0.0, 0.15, 0.5, 1.6])
    row = result.balances.loc["s"]
    assert row["closes"] and row["losses"] == pytest.approx(0.15 * 640.0 * 43560.0 / 12.0, rel=1e-12)
    early = network.run(STORM, potential_et=pet, temperature=temperature, end="2024-06-11 03:00+00:00")
    assert early.balances.loc["s", "storage_change"] == pytest.approx(1.6 * 640.0 * 43560.0 / 12.0, rel=1e-12)


def test_results_files_and_figures(tmp_path):
    network = Network.from_dict(tree())
    result = network.run(STORM, end="2024-06-12 00:00+00:00")
    target = tmp_path / "results.csv"
    result.to_csv(target)
    back = pd.read_csv(target, index_col=0)
    assert np.array_equal(back["outlet.outflow"].to_numpy(), result.at("outlet").to_numpy())
    assert list(result.flows.columns.names) == ["element", "variable"]
    text = result.summary()
    assert all(name in text for name in [*network.order, "network"]) and "OUTSIDE" not in text
    pytest.importorskip("matplotlib")
    from rainmill_models.plot import plot_schematic

    assert len(plot_schematic(network).axes[0].lines) >= len(network.elements)
    figure = result.plot({"outlet": result.at("outlet")}, ["confluence", "outlet"])
    assert [len(ax.lines) for ax in figure.axes[:2]] == [1, 2]  # the observations at the outlet only


def test_calibration_refuses_whole_number_parameters():
    model = Network.load(EXAMPLES / "event_model.toml")
    rain = rm.read_rain_csv(EXAMPLES / "design_storm.csv")
    observed = rm.read_flow_csv(EXAMPLES / "observed_outflow.csv")
    with pytest.raises(ModelError, match=r"^basin.baseflow.deep.reservoirs: is a whole number"):
        rm.calibrate(model, rain, observed, {"basin.baseflow.deep.reservoirs": (1, 5)}, progress=False)


# ---- what the elements hold, states in the description's units, branches on threads ----


@pytest.mark.parametrize("sub_reaches", [1, 3])
def test_the_transit_is_computed_and_checked(sub_reaches):
    data = tree()
    for name in ("ra", "rb", "low"):
        data["reaches"][name]["routing"]["sub_reaches"] = sub_reaches
        data["reaches"][name]["routing"].update(k=1.5, x=0.05)
    network = Network.from_dict(data)
    result = network.run(STORM, end="2024-06-11 06:00+00:00")  # stopped mid-hydrograph: much in transit
    table = result.balances
    assert table["transit_checked"].all() and table["closes"].all()
    assert table.loc["a", "in_transit"] > 0.01 * table.loc["a", "inflow"]
    assert (table.loc[["ra", "rb", "low"], "relative"] < 1e-12).all()
    # the transit is no longer the remainder: a reach that lost water is caught
    result.series["ra"] = dataclasses.replace(result.series["ra"], outflow=result.series["ra"].outflow * 0.97)
    del result.__dict__["balances"]
    assert not result.balances.loc["ra", "closes"]


def test_states_are_in_the_descriptions_units():
    us = {"subbasins": {"s": subbasin()}}
    si = {"options": {"units": "SI"}, "subbasins": {"s": subbasin(area=640.0 * 0.0040468564224)}}
    si["subbasins"]["s"]["loss"].update(initial_deficit=0.3 * 25.4, max_deficit=25.4, constant_rate=2.54)
    end = "2024-06-12 00:00+00:00"
    inches = Network.from_dict(us).run(STORM, end=end)["s"]["states.deficit"].to_numpy()
    mm = Network.from_dict(si).run(STORM * 25.4, end=end)["s"]["states.deficit"].to_numpy()
    assert inches[0] == 0.3 and inches.min() < 0.3
    np.testing.assert_allclose(mm, inches * 25.4, rtol=1e-9, atol=1e-12)


def test_branches_share_no_element_and_cover_the_network():
    data = tree()
    data["diversions"] = {"canal": {"inflow": [0.0, 100.0], "diverted": [0.0, 50.0], "downstream": "rb",
                                    "to": "ra"}}  # fmt: skip
    data["subbasins"]["b"]["downstream"] = "canal"
    data["subbasins"]["d"] = subbasin(200.0, "other")
    data["sinks"]["other"] = {}
    network = Network.from_dict(data)
    from rainmill_models.simulation import branch_plan

    buckets, trunk = branch_plan(network, 2)
    names = [n for bucket in buckets for n in bucket] + trunk
    assert sorted(names) == sorted(network.elements)
    assert len(buckets) == 2  # two threads really run
    assert [sum({"ra", "rb"} <= set(bucket) for bucket in buckets)] == [1]  # tied by the diversion: one task
    end = "2024-06-12 00:00+00:00"
    one, two = network.run(STORM, end=end), network.run(STORM, end=end, threads=2)
    assert two.flows.to_numpy().tobytes() == one.flows.to_numpy().tobytes()


def test_a_setters_copies_check_what_they_rebuilt():
    network = Network.from_dict(tree())
    setter = compile_parameters(network, ["reaches.ra.routing.k"])
    setter([1.0]).check_step(900)  # the elements left alone pass once, for every copy
    with pytest.raises(ModelError, match="^reaches.ra.routing.sub_reaches"):
        setter([40.0]).check_step(900)
    with pytest.raises(ModelError, match="^reaches.ra.routing.sub_reaches"):
        setter([40.0]).check_step(60)


@pytest.mark.parametrize("end", [None, "2024-06-12 06:00+00:00"])
def test_keep_holds_only_the_series_asked_for_and_every_balance(end):
    network = Network.from_dict({**tree(), "options": {"gauges": ["confluence"]}})
    full = network.run(STORM, end=end)
    lean = network.run(STORM, end=end, keep="gauges")
    assert lean.kept == ["confluence", "outlet"]
    pd.testing.assert_frame_equal(lean.balances, full.balances, check_exact=True)
    assert lean.at("confluence").equals(full.at("confluence")) and lean.outflow.equals(full.outflow)
    with pytest.raises(KeyError, match="not kept"):
        lean["a"]
    assert network.run(STORM, end=end, keep=["ra"]).kept == ["ra", "outlet"]
    with pytest.raises(ModelError, match="keep: no element named 'nowhere'"):
        network.run(STORM, keep=["nowhere"])


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda d: d["subbasins"]["a"].update(area=1e308), r"^subbasins.a.area: must be > 0 and <= 1e\+10"),
        (lambda d: d["reaches"]["ra"].update(routing={"method": "muskingum-cunge", "length": 1e-9, "slope": 1e-3,
                                                      "manning_n": 0.035, "bottom_width": 10.0}),
         r"^reaches.ra: the reach needs \d+ internal steps"),
    ],
)  # fmt: skip
def test_refusals_name_the_element(change, message):
    data = tree()
    change(data)
    with pytest.raises(ModelError, match=message):
        Network.from_dict(data).run(STORM, end="2024-06-12 00:00+00:00")


def test_a_layers_starting_flow_is_bounded():
    data = tree()
    data["subbasins"]["a"]["baseflow"]["layers"]["g"]["initial_q"] = 1e300
    with pytest.raises(ModelError, match=r"^subbasins.a.baseflow.layers.g.initial_q: must be <= 1e\+09"):
        Network.from_dict(data)


def test_an_end_beyond_the_horizon_is_refused_before_running():
    with pytest.raises(ModelError, match=r"^end: 2200-01-01T00:00:00\+00:00 is .* h past the forcing, beyond options"):
        Network.from_dict(tree()).run(STORM, end="2200-01-01 00:00+00:00")


@pytest.mark.parametrize("end", ["2024-06-11 03:00+00:00", "2024-06-11 05:00+00:00"])
def test_a_run_cut_while_it_rains_still_balances(end):
    result = Network.from_dict({"subbasins": {"s": subbasin()}}).run(series([0.4] * 6), end=end)
    row = result.balances.loc["s"]
    assert row["transit_checked"] and row["closes"] and row["in_transit"] > 0.0, row
