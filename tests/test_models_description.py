"""The model description: TOML and plain-data round trips, validation messages, parameters by path."""

import pickle
import random

import pytest

rm = pytest.importorskip("rainmill_models")
pytest.importorskip("tomli_w")

from pathlib import Path

from rainmill_models import ModelError, Network, Reservoir, UncontrolledOutlet
from rainmill_models.methods.baseflow import Layer, LinearReservoirs
from rainmill_models.methods.losses import DeficitConstant

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "event_model.toml"


def random_model(rng: random.Random, units: str = "US") -> dict:
    """A random single-chain model file's data (basin, maybe a reach, maybe a reservoir)."""
    layers = {
        f"layer{i}": {"fraction": rng.uniform(0, 0.3), "k": rng.uniform(1, 100), "initial_q": rng.uniform(0, 5),
                      "reservoirs": rng.randint(1, 3)}
        for i in range(rng.randint(0, 3))
    }  # fmt: skip
    data: dict = {
        "options": {"name": f"random {rng.random()}", "units": units},
        "basin": {
            "area": rng.uniform(10, 5000),
            "loss": {"initial_deficit": rng.uniform(0, 1), "max_deficit": rng.uniform(1, 3),
                     "constant_rate": rng.uniform(0, 0.3), "time_to_dry": rng.uniform(0, 96)},
            "transform": {"tc": rng.uniform(0.5, 8), "r": rng.uniform(0.5, 6),
                          "method": rng.choice(["clark", "clark-truncated"])},
            "baseflow": layers,
        },
    }  # fmt: skip
    if rng.random() < 0.7:
        data["reach"] = {"k": rng.uniform(0.3, 1), "x": rng.uniform(0, 0.2), "sub_reaches": rng.randint(1, 2)}
    if rng.random() < 0.7:
        top = rng.uniform(1e7, 1e8)
        data["reservoir"] = {
            "elevation": [100.0, 110.0, 120.0, 200.0],
            "storage": [0.0, top / 10, top / 3, top * 10],
            "initial_elevation": rng.uniform(100, 110),
            "outlets": {
                "gate": {"kind": "controlled", "elevation": [100.0, 120.0, 200.0], "discharge": [0.0, 200.0, 2000.0],
                         "maximum_release": rng.uniform(50, 500)},
                "spillway": {"kind": "uncontrolled", "elevation": [112.0, 115.0, 200.0],
                             "discharge": [0.0, 300.0, 1e5]},
                "floor": {"kind": "constant", "discharge": rng.uniform(0, 5), "minimum_elevation": 101.0},
            },
        }  # fmt: skip
    return data


def test_the_example_file_round_trips(tmp_path):
    model = Network.load(EXAMPLE)
    assert Network.from_toml(model.to_toml()) == model
    saved = model.save(tmp_path / "copy.toml")
    assert Network.load(saved) == model
    assert Network.from_dict(model.to_dict()) == model
    assert pickle.loads(pickle.dumps(model)) == model
    assert set(model.elements["reservoir"].outlets) == {"gate", "spillway", "minimum release"}


@pytest.mark.parametrize("seed", range(20))
def test_random_models_round_trip(seed):
    rng = random.Random(seed)
    model = Network.from_dict(random_model(rng, units=rng.choice(["US", "SI"])))
    text = model.to_toml()
    assert Network.from_toml(text) == model
    assert Network.from_toml(Network.from_toml(text).to_toml()).to_toml() == text
    data = model.to_dict()
    assert pickle.loads(pickle.dumps(data)) == data


def test_specified_outlet_and_optional_values_round_trip():
    data = Network.load(EXAMPLE).to_dict()
    outlets = data["reservoirs"]["reservoir"]["outlets"]
    outlets["release"] = {"kind": "specified", "discharge": [5.0, 6.0, 7.0], "step": 24.0, "maximum_release": 6.5}
    data["reaches"]["reach"]["routing"].update(k=1.0, x=0.1, sub_reaches=1, initial_outflow=3.0)
    model = Network.from_dict(data)
    again = Network.from_toml(model.to_toml())
    assert again == model
    assert again.elements["reach"].routing.initial_outflow == 3.0
    assert "elevation_offset" not in model.to_dict()["reservoirs"]["reservoir"]["outlets"]["spillway"]


def edit(path, value):
    """The example's plain data with one entry replaced (None deletes it)."""
    data = Network.load(EXAMPLE).to_dict()
    data = {"options": data["options"], "basin": {**data["subbasins"]["basin"]}, "reach": {**data["reaches"]["reach"]["routing"]},
            "reservoir": {**data["reservoirs"]["reservoir"]}}  # fmt: skip
    for table, key in (
        ("basin", "downstream"),
        ("reach", "method"),
        ("reach", "downstream"),
        ("reservoir", "downstream"),
    ):
        data[table].pop(key, None)
    data["basin"]["baseflow"] = data["basin"]["baseflow"]["layers"]
    keys = path.split(".")
    node = data
    for key in keys[:-1]:
        node = node[key]
    if value is None:
        del node[keys[-1]]
    else:
        node[keys[-1]] = value
    return data


@pytest.mark.parametrize(
    ("path", "value", "message"),
    [
        ("basin.loss.max_deficit", -1.5, "basin.loss.max_deficit: must be >= 0, got -1.5"),
        ("basin.loss.initial_deficit", -0.1, "basin.loss.initial_deficit: must be >= 0, got -0.1"),
        ("basin.loss.constant_rate", -0.2, "basin.loss.constant_rate: must be >= 0, got -0.2"),
        ("basin.loss.time_to_dry", "48 h", "basin.loss.time_to_dry: must be a number, not str"),
        ("basin.loss.constant_rate", float("nan"), "basin.loss.constant_rate: must be finite, got nan"),
        ("basin.area", 0.0, "basin.area: must be > 0 and <= 1e+10 (beyond any river basin), got 0"),
        ("basin.area", -1600.0, "basin.area: must be > 0 and <= 1e+10 (beyond any river basin), got -1600"),
        ("basin.transform.tc", 0.0, "basin.transform.tc: must be >= 0.0002777777777777778 h (one second), got 0"),
        ("basin.transform.method", "nash", "basin.transform.method: must be one of ['clark', 'clark-truncated', "),
        ("basin.baseflow.deep.fraction", 1.2, "basin.baseflow.deep.fraction: must be between 0 and 1, got 1.2"),
        ("basin.baseflow.deep.fraction", 0.8, "basin.baseflow: the fractions add up to 1.1, more than 1"),
        ("basin.baseflow.deep.reservoirs", 1.5, "basin.baseflow.deep.reservoirs: must be a whole number, got 1.5"),
        ("basin.baseflow.deep.k", 0.0, "basin.baseflow.deep.k: must be >="),
        ("reach.x", 0.6, "reach.x: must be between 0 and 0.5, got 0.6"),
        ("reach.x", -0.1, "reach.x: must be between 0 and 0.5, got -0.1"),
        ("reach.sub_reaches", 0, "reach.sub_reaches: must be between 1 and 1000, got 0"),
        (
            "reservoir.initial_elevation",
            131.0,
            "reservoir.initial_elevation: 131 is outside the storage curve (100 to 130)",
        ),
        ("reservoir.storage", [0.0, 1.0], "reservoir.storage: has 2 values for 8 elevations"),
        (
            "reservoir.elevation",
            [100.0, 104.0, 104.0, 112.0, 116.0, 120.0, 124.0, 130.0],
            "reservoir.elevation[2]: the table must be strictly increasing; 104 follows 104",
        ),
        (
            "reservoir.outlets.gate.discharge",
            [0.0, 45.0, 30.0, 125.0, 190.0],
            "reservoir.outlets.gate.discharge[2]: the table must be non-decreasing; 30 follows 45",
        ),
        ("reservoir.outlets.gate.kind", "valve", "reservoir.outlets.gate.kind: must be one of"),
        (
            "reservoir.outlets.minimum release.discharge",
            -4.0,
            "reservoir.outlets.minimum release.discharge: must be >= 0, got -4",
        ),
        ("basin.loss.constant_loss", 0.1, "basin.loss.constant_loss: unknown key"),
        ("basin.transform.r", None, "basin.transform.r: missing"),
        ("options.units", "imperial", "options.units: must be one of ['US', 'SI'], got 'imperial'"),
        ("options.step", 1.0, "basin.transform.r: 0.5 h is shorter than half the time step (0.5 h)"),
    ],
)
def test_invalid_descriptions_name_the_field(path, value, message):
    if message.startswith("basin.transform.r: 0.5 h"):
        message = "basin.transform.r: 0.4 h is shorter than half the time step (0.5 h)"
        data = edit("basin.transform.r", 0.4)
        data["options"]["step"] = value
    else:
        data = edit(path, value)
    with pytest.raises(ModelError) as caught:
        Network.from_dict(data)
    assert str(caught.value).startswith(message), str(caught.value)
    assert isinstance(caught.value, ValueError)


@pytest.mark.parametrize(
    ("k", "x", "sub_reaches", "step", "fix"),
    [
        (1.5, 0.15, 1, 0.25, "sub_reaches = 2 would fix it"),  # 2Kx = 0.45 h > 0.25 h
        (6.0, 0.4, 1, 0.25, "sub_reaches = 20 would fix it"),
        (0.5, 0.2, 4, 0.25, "sub_reaches = 3 would fix it"),  # 2K(1-x) = 0.2 h < 0.25 h
        (0.1, 0.2, 1, 0.25, "no number of sub-reaches fixes it at this step"),
    ],
)
def test_muskingum_step_outside_its_range_names_the_fix(k, x, sub_reaches, step, fix):
    data = edit("reach", {"k": k, "x": x, "sub_reaches": sub_reaches})
    data["options"]["step"] = step
    with pytest.raises(ModelError, match="reach.sub_reaches: the time step") as caught:
        Network.from_dict(data)
    assert str(caught.value).endswith(fix)
    if "would fix" in fix:
        data["reach"]["sub_reaches"] = int(fix.split("= ")[1].split()[0])
        Network.from_dict(data)  # and it does


def test_components_validate_on_their_own():
    with pytest.raises(ModelError, match=r"^max_deficit: must be >= 0"):
        DeficitConstant(0.5, -1.5, 0.1, 24.0)
    with pytest.raises(ModelError, match=r"^fraction: must be between 0 and 1"):
        Layer(-0.1, 10.0)
    with pytest.raises(ModelError, match=r"^layers: names must be non-empty texts without '.'"):
        LinearReservoirs({"a.b": Layer(0.1, 10.0)})
    with pytest.raises(ModelError, match=r"^discharge: has 1 values for 2 elevations"):
        UncontrolledOutlet((1.0, 2.0), (0.0,))
    with pytest.raises(ModelError, match=r"^initial_elevation: 3 is outside the storage curve"):
        Reservoir((1.0, 2.0), (0.0, 10.0), 3.0)


def test_parameters_by_path():
    model = Network.load(EXAMPLE)
    assert rm.get_parameter(model, "basin.loss.constant_rate") == 0.12
    assert rm.get_parameter(model, "basin.baseflow.deep.k") == 72.0
    assert rm.get_parameter(model, "reservoir.outlets.gate.maximum_release") == 120.0
    changed = rm.with_parameters(model, {"basin.transform.tc": 3.0, "basin.baseflow.shallow.k": 10.0, "reach.x": 0.1})
    assert changed.get("basin.transform.tc") == 3.0
    assert changed.get("basin.baseflow.shallow.k") == 10.0 and changed.get("reach.x") == 0.1
    assert model.get("basin.transform.tc") == 4.0, "the original is unchanged"
    assert changed.elements["basin"].loss is model.elements["basin"].loss, "untouched parts are shared"
    assert changed.elements["reservoir"] is model.elements["reservoir"]
    assert changed == Network.from_toml(changed.to_toml())


@pytest.mark.parametrize(
    ("values", "message"),
    [
        ({"basin.loss.constant_rate": -0.1}, "basin.loss.constant_rate: must be >= 0, got -0.1"),
        ({"basin.baseflow.deep.k": 0.0}, "basin.baseflow.deep.k: must be >="),
        ({"reservoir.outlets.gate.maximum_release": -1.0}, "reservoir.outlets.gate.maximum_release: must be >= 0"),
        ({"basin.transform.r": 0.1}, "basin.transform.r: 0.1 h is shorter than half the time step (0.125 h)"),
        ({"basin.loss.rate": 1.0}, "basin.loss.rate: no such parameter in this model"),
        ({"basin.baseflow.middle.k": 1.0}, "basin.baseflow.middle: no such entry (there are: shallow, deep)"),
        ({"basin.transform.method": 1.0}, "basin.transform.method: no such parameter in this model"),
        ({"reservoir.elevation": 1.0}, "reservoir.elevation: is not a numeric parameter (tuple)"),
    ],
)
def test_invalid_parameters_name_the_path(values, message):
    with pytest.raises(ModelError) as caught:
        rm.with_parameters(Network.load(EXAMPLE), values)
    assert str(caught.value).startswith(message), str(caught.value)


def test_bad_toml_is_a_model_error():
    with pytest.raises(ModelError, match="not a valid TOML document"):
        Network.from_toml("[basin\narea = 1")
