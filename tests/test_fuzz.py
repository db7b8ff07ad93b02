"""Property-based checks: whatever reaches the six functions, each call either
returns its documented result or raises an Exception (or the engine's abort
exception); never a crash, a hang or a result that hides a failure."""

import math

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _mirvon
from conftest import YEAR, flat_curve
from mirvon.timetable import events_batch


def _abort_type():
    # The abort class is not a module attribute; catch one to learn it.
    try:
        _mirvon.backtest_csv(events_batch([("A", 2**62, "+", 1.0, "X")]), None, "", "USD", {})
    except BaseException as exc:  # noqa: BLE001 - the class under test derives from BaseException
        return type(exc)
    raise AssertionError("no abort raised")


ENGINE_ABORT = _abort_type()
FUZZ = settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))

names = st.sampled_from(["A", "B", "USD", "STOCK", "p", "snp", "s1", "", None])
ops = st.sampled_from(["+", ">", "<", "cond", "", "++", None])
times = st.one_of(
    st.integers(-2 * YEAR, 3 * YEAR),
    st.sampled_from([0, 1, -1, 2**62, -(2**62), 2**63 - 1, -(2**63)]),
    st.none(),
)
quantities = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, 1e308, 5e-324]),
)
rows = st.lists(st.tuples(names, times, ops, quantities, names), max_size=8)


def raising_phrase(inputs):
    raise ValueError("phrase failed")


phrase_fns = st.sampled_from(
    [
        lambda inputs: [np.ones(3)],
        lambda inputs: [1.0],
        lambda inputs: (1.0,),
        lambda inputs: [],
        lambda inputs: ["text"],
        lambda inputs: [np.ones((2, 2))],
        lambda inputs: [np.array([True, False])],
        lambda inputs: list(inputs) + [np.arange(4.0)],
        raising_phrase,
        None,
    ]
)


@st.composite
def expression_dicts(draw):
    expressions = {}
    if draw(st.booleans()):
        expressions["p"] = {"type": "phrase", "fn": draw(phrase_fns), "inp": draw(st.lists(names.filter(bool), max_size=2))}
    if draw(st.booleans()):
        expressions["snp"] = {
            "type": draw(st.sampled_from(["snapper", "phrase", "batch", "Phrase"])),
            "fn": draw(phrase_fns),
            "inp": draw(st.sampled_from([["STOCK"], "STOCK", [], [1]])),
            "out": draw(st.sampled_from([["s1"], ["s1", "s2"], [], "s1"])),
        }
    return expressions


curves = st.sampled_from(
    [
        flat_curve(0.05),
        ("ZERO_RATES", np.array([[1.0, 0.03]])),
        ("ZERO_RATES", np.array([[0.0, 0.03]])),
        ("ZERO_RATES", np.zeros((0, 2))),
        ("ZERO_RATES", np.ones((3, 1))),
        ("ZERO_RATES", np.array([[0.0, np.nan], [1.0, np.inf]])),
        ("ZERO_RATES", np.array([[1.0, 0.0], [0.0, 0.0]])),
        ("FORWARDS", np.array([[0.0, 100.0], [5.0, -1.0]])),
        ("SPOT", np.array([[0.0, 1.0], [1.0, 1.0]])),
        ["ZERO_RATES", np.array([[0.0, 0.01], [1.0, 0.01]])],
        ("ZERO_RATES", [[0.0, 0.01], [1.0, 0.01]]),
        ("ZERO_RATES", np.array([[0, 1], [1, 1]])),
    ]
)
numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**70), 2**70),
    st.none(),
    st.just("1"),
)


@st.composite
def datasets(draw):
    dataset = {"BASE": draw(st.sampled_from(["USD", "EUR", 1])),
               "ASSETS": {"USD": draw(curves), "STOCK": draw(curves)},
               "PRICING_TS": draw(st.one_of(st.sampled_from([0, -1, YEAR, 2**63 - 1, -(2**63)]), numbers))}
    dataset["MC"] = {"PATHS": draw(st.one_of(st.integers(0, 16), st.just(2**62), numbers)),
                     "SEED": draw(st.one_of(st.integers(0, 2**64 - 1), numbers)),
                     "FLAGS": draw(st.one_of(st.integers(-1, 16), numbers))}
    dataset["FIXED"] = {"FLAGS": draw(st.integers(0, 16))}
    dataset["FD"] = {"N_X": draw(st.one_of(st.integers(0, 20), st.just(2**62), numbers)),
                     "MAX_X": draw(st.one_of(st.sampled_from([0.5, 2.0, 0.0, -1.0, math.inf, math.nan]), numbers)),
                     "TIMESTEP": draw(st.one_of(st.sampled_from([0.1, 0.5, 0.0, -0.1, 1e-12, math.nan]), numbers)),
                     "FLAGS": draw(st.integers(0, 15))}
    dataset["HW"] = {"MEANREV": draw(st.sampled_from([0.0, 0.1, 1e-12, -0.5])), "VOL": draw(st.sampled_from([0.0, 0.01]))}
    dataset["BS"] = {"VOL": draw(st.sampled_from([0.0, 0.2, -0.2])), "ASSET": draw(st.sampled_from(["STOCK", "USD", "NONE"]))}
    return dataset


class Misbehaving:
    """A state object whose callbacks answer from a table of odd results."""

    def __init__(self, value, discount, stat_raises):
        self.value, self.discount, self.stat_raises = value, discount, stat_raises

    def get_value(self, *args):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value

    def advance(self, t):
        if isinstance(self.discount, Exception):
            raise self.discount
        return self.discount

    def set_stat(self, name, value):
        if self.stat_raises:
            raise RuntimeError("set_stat failed")


answers = st.sampled_from(
    [None, 1.0, 3, "text", [1.0, 2.0], np.ones(2), np.ones(4), np.ones(1), np.ones((4, 1)), np.float64(2.0),
     np.array([np.nan, 1.0, 1.0, 1.0]), ValueError("callback failed"), np.ones(4, dtype=np.float32)]
)
states = st.builds(Misbehaving, answers, answers, st.booleans())


def call(fn, *args):
    try:
        result = fn(*args)
    except (RuntimeError, TypeError, ValueError, MemoryError, OverflowError):
        return
    except ENGINE_ABORT:
        return
    if fn in (_mirvon.backtest_csv, _mirvon.backtest_py):
        assert result is None
    else:
        assert isinstance(result, float)


@FUZZ
@given(rows=rows, dataset=datasets(), expressions=expression_dicts(), state=states)
def test_every_function_returns_or_raises_cleanly(rows, dataset, expressions, state):
    batch = events_batch(rows)
    for fn in (_mirvon.fixed_price, _mirvon.mc_price, _mirvon.fd_blackscholes_price, _mirvon.fd_hullwhite_price):
        call(fn, batch, state, dataset, expressions)
    call(_mirvon.backtest_csv, batch, state, "file.csv", "USD", expressions)
    call(_mirvon.backtest_py, batch, state, expressions, "USD")


def _dictionary(keys, values, key_type=pa.int64(), value_type=pa.string()):
    return pa.DictionaryArray.from_arrays(pa.array(keys, key_type), pa.array(values, value_type))


column_kinds = st.sampled_from(["good", "int32_keys", "plain", "large", "int_values", "bad_keys", "empty_dict", "null_dict"])


def _text_column(kind, n):
    if kind == "good":
        return _dictionary([i % 2 for i in range(n)], ["A", "USD"])
    if kind == "int32_keys":
        return _dictionary([0] * n, ["A"], key_type=pa.int32())
    if kind == "plain":
        return pa.array(["A"] * n)
    if kind == "large":
        return _dictionary([0] * n, ["A"], value_type=pa.large_string())
    if kind == "int_values":
        return pa.DictionaryArray.from_arrays(pa.array([0] * n, pa.int64()), pa.array([7], pa.int64()))
    if kind == "bad_keys":
        return pa.DictionaryArray.from_arrays(pa.array([5 - 9 * (i % 2) for i in range(n)], pa.int64()),
                                              pa.array(["A"]), safe=False)
    if kind == "empty_dict":
        return pa.DictionaryArray.from_arrays(pa.array([None] * n, pa.int64()), pa.array([], pa.string()))
    return _dictionary([0] * n, [None])


@FUZZ
@given(n=st.integers(0, 4), track=column_kinds, op=column_kinds, unit=column_kinds,
       time_type=st.sampled_from([pa.timestamp("ms"), pa.timestamp("ms", tz="UTC"), pa.timestamp("us"), pa.int64()]),
       quantity_type=st.sampled_from([pa.float64(), pa.float32()]),
       drop=st.sampled_from([None, "track", "time", "op", "quantity", "unit"]))
def test_malformed_event_columns_raise(n, track, op, unit, time_type, quantity_type, drop):
    columns = {
        "track": _text_column(track, n),
        "time": pa.array(list(range(n)), pa.int64()).cast(time_type),
        "op": _text_column(op, n) if op != "good" else _dictionary([0] * n, ["+"]),
        "quantity": pa.array([1.0] * n, quantity_type),
        "unit": _text_column(unit, n),
    }
    if drop:
        del columns[drop]
    batch = pa.record_batch(columns)
    dataset = {"BASE": "USD", "ASSETS": {"USD": flat_curve(0.01)}, "PRICING_TS": 0}
    call(_mirvon.fixed_price, batch, None, dataset, {})
    call(_mirvon.backtest_csv, batch, None, "", "USD", {})
