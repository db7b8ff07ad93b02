"""Statistics that `fixed_price` hands to the state object's set_stat as FLAGS
selects: which are sent, in what order, with which keys and array types, and
what happens when the state object cannot take them."""

import math

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset

# A put at year 1 on track 0 and a payment on track 1, so every statistic has content.
ROWS = [
    ("A", YEAR, ">", 120.0, "USD"),
    ("B", YEAR, "+", 7.0, "USD"),
    ("A", 2 * YEAR, "+", 100.0, "USD"),
]
PRICE = 120.0 * math.exp(-0.05)


def run(flags, state=None, rows=ROWS):
    state = Recorder() if state is None else state
    dataset = flat_dataset() if flags is None else flat_dataset(FIXED={"FLAGS": flags})
    price = _mirvon.fixed_price(events_batch(rows, tracks=["A", "B"]), state, dataset, {})
    return price, state


@pytest.mark.parametrize(
    "flags, names",
    [
        (None, []),
        (0, []),
        (4, []),
        (1, ["PV_VEC"]),
        (2, ["CHOICES"]),
        (8, ["CASHFLOW"]),
        (9, ["PV_VEC", "CASHFLOW"]),
        (6, ["CHOICES"]),
        (15, ["PV_VEC", "CHOICES", "CASHFLOW"]),
    ],
)
def test_flags_select_the_statistics_and_their_order(flags, names):
    price, state = run(flags)
    assert price == pytest.approx(PRICE)
    assert state.names() == names


def test_statistics_types_keys_and_values():
    price, state = run(15)

    pv = state.get("PV_VEC")
    assert type(pv) is np.ndarray and pv.dtype == np.float64 and pv.shape == (1,)
    assert pv[0] == price

    choices = state.get("CHOICES")
    assert type(choices) is dict and list(choices) == [0]
    assert all(type(k) is int for k in choices) and all(type(k) is int for k in choices[0])
    assert list(choices[0]) == [0]
    c = choices[0][0]
    assert type(c) is np.ndarray and c.dtype == np.uint64 and c.shape == (1,) and c[0] == 1

    flows = state.get("CASHFLOW")
    assert type(flows) is dict and sorted(flows) == [0, 1]
    assert all(type(k) is int for k in flows)
    assert sorted(flows[0]) == [0, 2] and list(flows[1]) == [1]
    for inner in flows.values():
        for e, v in inner.items():
            assert type(e) is int
            assert type(v) is np.ndarray and v.dtype == np.float64 and v.ndim == 1 and len(v) == 1
    assert flows[0][0][0] == pytest.approx(PRICE) and flows[0][2][0] == 0.0
    assert flows[1][1][0] == pytest.approx(7.0 * math.exp(-0.05))


def test_statistic_arrays_belong_to_the_caller():
    _, state = run(15)
    for name, value in state.stats:
        arrays = [value] if name == "PV_VEC" else [a for inner in value.values() for a in inner.values()]
        for a in arrays:
            assert a.flags.writeable
            a[:] = 0  # writing must be safe once the call has returned
    _, again = run(15)
    assert again.get("PV_VEC")[0] == pytest.approx(PRICE)


def test_empty_maps_are_still_sent():
    # No choice events: CHOICES is empty.
    _, state = run(2, rows=[("A", YEAR, "+", 1.0, "USD")])
    assert state.stats == [("CHOICES", {})]
    # A choice against the value 0 records no cashflow: CASHFLOW is empty.
    price, state = run(10, rows=[("A", YEAR, ">", 0.0, "USD")])
    assert price == 0.0
    assert state.names() == ["CHOICES", "CASHFLOW"]
    assert state.get("CASHFLOW") == {}
    assert state.get("CHOICES")[0][0].tolist() == [0]


def test_set_stat_is_called_with_two_positional_arguments():
    calls = []

    class Strict:
        def set_stat(self, name, value, /):
            calls.append((name, type(value)))

    run(11, Strict())
    assert calls == [("PV_VEC", np.ndarray), ("CHOICES", dict), ("CASHFLOW", dict)]


class NoSetStat:
    pass


class Raising:
    def __init__(self):
        self.calls = []

    def set_stat(self, name, value):
        self.calls.append(name)
        raise ValueError(f"cannot take {name}")


class NotCallable:
    set_stat = 3


@pytest.mark.parametrize("state", [NoSetStat(), object(), NotCallable(), 42])
def test_state_that_cannot_take_statistics_does_not_fail_the_price(state):
    price, _ = run(15, state)
    assert price == pytest.approx(PRICE)


def test_raising_set_stat_loses_each_statistic_but_is_offered_all_of_them():
    state = Raising()
    price, _ = run(15, state)
    assert price == pytest.approx(PRICE)
    assert state.calls == ["PV_VEC", "CHOICES", "CASHFLOW"]
    # The cleared exceptions leave the interpreter in a clean state.
    assert sum(range(3)) == 3


def test_failed_price_sends_no_statistics():
    state = Recorder()
    with pytest.raises(RuntimeError, match="Track 0 not found$"):
        run(15, state, rows=[("B", YEAR, "+", 1.0, "USD")])
    assert state.stats == []


@pytest.mark.parametrize(
    "flags, message",
    [
        (16, "Invalid bits set in FLAG"),
        (255, "Invalid bits set in FLAG"),
        (-1, "Error in value of FLAGS, likely incorrect type. caused by \n"),
        (1.0, "Error in value of FLAGS, likely incorrect type. caused by \n"),
        ("1", "Error in value of FLAGS, likely incorrect type. caused by \n"),
        (2**32, "Error in value of FLAGS, likely incorrect type. caused by \n"),
    ],
)
def test_invalid_flags_fail_before_pricing(flags, message):
    state = Recorder()
    with pytest.raises(RuntimeError) as info:
        run(flags, state)
    assert str(info.value).startswith("Error while parsing Dataset, caused by\n" + message)
    assert state.stats == []
