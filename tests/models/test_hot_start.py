"""Hot starts of the baseflow: a run split in two at any point continues the whole run."""

import numpy as np
import pandas as pd
import pytest

import rainmill_models as rm
from rainmill_models.errors import ModelError
from rainmill_models.io.states import final_states, start_from

NETWORK = """
[options]
units = "SI"
step = 1.0

[subbasins.hill]
area = 12.0
downstream = "outlet"
loss = {{ method = "deficit-constant-et", initial_deficit = 5.0, max_deficit = 40.0, constant_rate = 1.0, et_coefficient = 1.0 }}
transform = {{ method = "clark", tc = 3.0, r = 5.0 }}
baseflow = {{ method = "linear-reservoirs", layers = {{ fast = {{ fraction = 0.6, k = 20.0, initial_q = {q} }}, slow = {{ fraction = 0.3, k = 300.0 }} }} }}

[sinks.outlet]
"""


@pytest.mark.parametrize("initial_q", [0.0, 2.5])
def test_a_run_split_in_two_continues_the_whole_run_for_the_baseflow(initial_q):
    network = rm.Network.from_toml(NETWORK.format(q=initial_q))
    hours = pd.date_range("2001-05-01", periods=240, freq="h")
    rng = np.random.default_rng(7)
    rain = pd.Series(np.where(rng.random(240) < 0.2, rng.gamma(1.5, 3.0, 240), 0.0), index=hours)
    pet = pd.Series(0.1, index=hours)

    def run(net, first, last):
        part = slice(hours[first], hours[last])
        return net.run(rain[part], potential_et=pet[part], end=hours[last])

    whole = run(network, 0, 239)
    first = run(network, 0, 119)
    second = run(start_from(network, final_states(first)), 120, 239)
    for layer in ("fast", "slow"):
        column = ("hill", f"baseflow.{layer}")
        expected = whole.flows[column].iloc[120:].to_numpy()
        assert expected[0] != first.flows[column].iloc[-1]  # the layer moved in the last interval
        np.testing.assert_allclose(second.flows[column].to_numpy(), expected, rtol=1e-12, atol=1e-12)


def test_start_from_takes_only_the_methods_starting_states():
    network = rm.Network.from_toml(NETWORK.format(q=0.0))
    with pytest.raises(
        ModelError, match=r"loss.initial_abstraction_ratio: is not a starting state .*\['initial_deficit'\]"
    ):
        start_from(network, {"subbasins.hill.loss.initial_abstraction_ratio": 0.1})
    started = start_from(network, {"subbasins.hill.loss.initial_deficit": 7.0})
    assert started.elements["hill"].loss.initial_deficit == 7.0
