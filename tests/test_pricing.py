"""mirvon.price: the four models by name, statistics asked for by name on a
copy of the dataset, and a Result whose tables carry each cashflow and choice
with its event, written out by hand here."""

import copy
import datetime as dt
import math

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
import mirvon
from mirvon.pricing import price_events, with_statistics
from mirvon.timetable import MS_PER_YEAR

YEAR = MS_PER_YEAR
T0 = 1_704_067_200_000  # 2024-01-01T00:00:00Z
RATE = 0.05


def utc(ms):
    return dt.datetime.fromtimestamp(ms / 1000, dt.timezone.utc)


def dataset(**sections):
    return {
        "BASE": "USD",
        "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, RATE], [30.0, RATE]]))},
        "PRICING_TS": T0,
        **sections,
    }


def df(years):
    return math.exp(-RATE * years)


BOND = [("bond", T0 + YEAR, "+", 5.0, "USD"), ("bond", T0 + 2 * YEAR, "+", 105.0, "USD")]


class ThreePaths:
    """A Monte Carlo model with three fixed paths: STOCK is 90, 110, 130 after
    the first step, and each step discounts by one half."""

    def __init__(self):
        self.advanced = []

    def advance(self, t):
        self.advanced.append(t)
        return 0.5

    def get_value(self, name):
        return np.array([90.0, 110.0, 130.0]) if name == "STOCK" else None


CALL = [("opt", T0 + YEAR, ">", 1.0, "payoff")]
PAYOFF = {"payoff": {"type": "phrase", "fn": lambda inputs: [inputs[0] - 100.0], "inp": ["STOCK"]}}


def test_fixed_cashflows_are_the_discounted_payments_with_their_events():
    result = mirvon.price(BOND, dataset(), "fixed", statistics=["CASHFLOW", "PV_VEC"])
    assert result.price == pytest.approx(5 * df(1) + 105 * df(2), abs=1e-12)
    assert result.pv_vec.tolist() == [pytest.approx(result.price, abs=1e-12)]
    assert result.choices is None
    table = result.cashflows
    assert table.schema.field("row").type == pa.int64()
    assert table.schema.field("track").type == pa.string()
    assert table.schema.field("time").type == pa.timestamp("ms", tz="UTC")
    assert table.schema.field("value").type == pa.float64()
    assert table.to_pylist() == [
        {"row": 0, "track": "bond", "time": utc(T0 + YEAR), "op": "+", "quantity": 5.0, "unit": "USD",
         "value": pytest.approx(5 * df(1), abs=1e-12)},
        {"row": 1, "track": "bond", "time": utc(T0 + 2 * YEAR), "op": "+", "quantity": 105.0, "unit": "USD",
         "value": pytest.approx(105 * df(2), abs=1e-12)},
    ]
    assert result.cashflow_paths.shape == (2, 1)


def test_mc_rows_hold_the_mean_over_paths_and_the_paths_stay_reachable():
    model = ThreePaths()
    result = mirvon.price(CALL, dataset(MC={"PATHS": 3, "SEED": 1}), "mc", state=model, expressions=PAYOFF,
                          statistics=["PV_VEC", "CHOICES", "CASHFLOW"])
    # Path by path the choice takes S - 100 where it beats 0: 0, 10, 30, discounted by 0.5.
    assert result.pv_vec.tolist() == [0.0, 5.0, 15.0]
    assert result.price == pytest.approx(20.0 / 3)
    assert model.advanced == [pytest.approx(1.0)]
    flows = result.cashflows.to_pylist()
    assert [(f["row"], f["track"], f["op"], f["unit"]) for f in flows] == [(0, "opt", ">", "payoff")]
    assert flows[0]["value"] == pytest.approx(20.0 / 3)
    assert result.cashflow_paths.tolist() == [[0.0, 5.0, 15.0]]
    choices = result.choices.to_pylist()
    assert [(c["row"], c["track"], c["time"]) for c in choices] == [(0, "opt", utc(T0 + YEAR))]
    assert choices[0]["value"] == pytest.approx(2.0 / 3)
    assert result.choice_paths.tolist() == [[0, 1, 1]]


def test_the_model_object_still_receives_its_statistics():
    class Recording(ThreePaths):
        def __init__(self):
            super().__init__()
            self.stats = {}

        def set_stat(self, name, value):
            self.stats[name] = value

    model = Recording()
    result = mirvon.price(CALL, dataset(MC={"PATHS": 3, "SEED": 1}), "mc", state=model, expressions=PAYOFF,
                          statistics=["PV_VEC"])
    assert model.stats["PV_VEC"] is result.pv_vec


@pytest.mark.parametrize(
    "model, section, flags",
    [("fixed", "FIXED", 9), ("mc", "MC", 10), ("blackscholes", "FD", 3), ("hullwhite", "FD", 8)],
)
def test_statistics_set_flags_on_a_copy_only(model, section, flags):
    names = [name for name, bit in mirvon.pricing.STATISTICS.items() if flags & bit]
    original = dataset(FIXED={"FLAGS": 0}, MC={"PATHS": 3, "SEED": 1, "FLAGS": 0}, FD={"N_X": 4, "MAX_X": 1.0, "TIMESTEP": 0.5})
    before = copy.deepcopy(original)
    run = with_statistics(original, model, names)
    assert run[section]["FLAGS"] == flags
    assert {k: v for k, v in run[section].items() if k != "FLAGS"} == {k: v for k, v in before[section].items() if k != "FLAGS"}
    assert original.keys() == before.keys() and original[section] == before[section]
    assert with_statistics(original, model, ()) is original


def test_without_statistics_the_datasets_own_flags_apply():
    result = mirvon.price(BOND, dataset(FIXED={"FLAGS": 8}), "fixed")
    assert result.pv_vec is None and result.cashflows.num_rows == 2
    assert mirvon.price(BOND, dataset(), "fixed").cashflows is None


def test_price_events_prices_a_ready_batch_like_the_engine():
    batch = mirvon.events(BOND)
    run = with_statistics(dataset(), "fixed", ["CASHFLOW"])
    result = price_events(batch, run, "fixed")
    assert result.price == _mirvon.fixed_price(batch, None, dataset(), {})
    assert result.events is batch and result.tracks == ["bond"]
    assert result.cashflows.column("value").to_pylist() == pytest.approx([5 * df(1), 105 * df(2)])


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"model": "grid"}, ValueError, r"^model must be one of 'fixed', 'mc', 'blackscholes', 'hullwhite', not 'grid'$"),
        ({"model": "mc"}, TypeError, r'^model "mc" needs state='),
        ({"model": "fixed", "state": ThreePaths()}, TypeError, r"^state= is the Monte Carlo model object"),
        ({"model": "fixed", "statistics": "PV_VEC"}, TypeError, r"^statistics must be a collection of names"),
        ({"model": "fixed", "statistics": ["PV_VEC", "PVS"]}, ValueError, r"^unknown statistics PVS; choose from"),
        ({"model": "fixed", "greeks": True}, ValueError, r"^greeks come from the grid models"),
    ],
)
def test_bad_arguments_are_refused_before_the_engine_runs(kwargs, error, message):
    with pytest.raises(error, match=message):
        mirvon.price(BOND, dataset(MC={"PATHS": 3, "SEED": 1}), **kwargs)


def test_engine_errors_pass_through_unchanged():
    with pytest.raises(RuntimeError, match="missing key 'BASE'"):
        mirvon.price(BOND, {"PRICING_TS": T0}, "fixed")


def test_stats_is_the_sink_for_direct_engine_calls():
    stats = mirvon.Stats()
    _mirvon.fixed_price(mirvon.events(BOND), stats, dataset(FIXED={"FLAGS": 1}), {})
    assert list(stats.stats) == ["PV_VEC"]


def test_the_model_stand_in_copies_and_keeps_the_models_own_attributes():
    from mirvon.result import StateWithSink

    model = ThreePaths()
    model.seed = 11
    stand_in = StateWithSink(model, mirvon.Stats())
    assert copy.copy(stand_in).seed == 11 and stand_in.advance == model.advance
    with pytest.raises(AttributeError, match="reset"):
        stand_in.reset


def test_a_dataset_that_is_not_a_dict_is_left_for_the_engine_to_name():
    with pytest.raises(TypeError, match="dataset"):
        mirvon.price(BOND, [("BASE", "USD")], "fixed", statistics=["PV_VEC"])
