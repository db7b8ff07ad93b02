"""Repeated calls, successful and failing, leave the caller's objects and the
process's memory where they were."""

import gc
import sys
import tracemalloc

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, flat_curve, needs_plain_allocator
from mirvon.timetable import events_batch

CALLS = 1000
# Allocator caches and interned objects settle during warm-up; what remains
# must stay below these bounds for the whole loop.
PYTHON_GROWTH_LIMIT = 64 * 1024
RSS_GROWTH_LIMIT = 4 * 1024 * 1024


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


class State:
    def advance(self, t):
        return None

    def get_value(self, name, *time):
        return np.full(8, 100.0) if not time else 100.0

    def set_stat(self, name, value):
        self.last = value


def phrase(inputs):
    return [inputs[0] * 2.0]


def raising_phrase(inputs):
    raise ValueError("bad")


CONTRACT = events_batch(
    [("A", YEAR // 2, "+", 1.0, "STOCK"), ("A", YEAR // 2, "+", 1.0, "p"), ("A", YEAR, "+", 1.0, "B"),
     ("B", YEAR, ">", 1.0, "USD"), ("B", YEAR, "+", -1.0, "STOCK")],
)
DATASET = {
    "BASE": "USD",
    "ASSETS": {"USD": flat_curve(0.03), "STOCK": ("FORWARDS", np.array([[0.0, 100.0], [10.0, 130.0]]))},
    "PRICING_TS": 0,
    "MC": {"PATHS": 8, "SEED": 1, "FLAGS": 11},
    "FIXED": {"FLAGS": 11},
    "FD": {"N_X": 20, "MAX_X": 1.5, "TIMESTEP": 0.1, "FLAGS": 11},
    "BS": {"VOL": 0.2, "ASSET": "STOCK"},
    "HW": {"MEANREV": 0.1, "VOL": 0.01},
}
GOOD_EXPRESSIONS = {"p": {"type": "phrase", "fn": phrase, "inp": ["STOCK"]}}
BAD_EXPRESSIONS = {"p": {"type": "phrase", "fn": raising_phrase, "inp": ["STOCK"]}}
GRID_CONTRACT = events_batch([("A", YEAR, "+", 1.0, "STOCK"), ("A", YEAR, ">", 1.0, "USD")])


def calls(state):
    """Each function once on a contract it prices and once on one that fails."""
    yield lambda: _mirvon.fixed_price(CONTRACT, state, DATASET, GOOD_EXPRESSIONS)
    yield lambda: _mirvon.fixed_price(CONTRACT, state, DATASET, BAD_EXPRESSIONS)
    yield lambda: _mirvon.mc_price(CONTRACT, state, DATASET, GOOD_EXPRESSIONS)
    yield lambda: _mirvon.mc_price(CONTRACT, state, {"BASE": "USD"}, GOOD_EXPRESSIONS)
    yield lambda: _mirvon.fd_blackscholes_price(GRID_CONTRACT, state, DATASET, {})
    yield lambda: _mirvon.fd_blackscholes_price(CONTRACT, state, DATASET, GOOD_EXPRESSIONS)
    yield lambda: _mirvon.fd_hullwhite_price(GRID_CONTRACT, state, DATASET, {})
    yield lambda: _mirvon.fd_hullwhite_price([], state, DATASET, {})
    yield lambda: _mirvon.backtest_csv(CONTRACT, state, "f.csv", "USD", GOOD_EXPRESSIONS)
    yield lambda: _mirvon.backtest_csv(CONTRACT, state, "f.csv", "USD", BAD_EXPRESSIONS)
    yield lambda: _mirvon.backtest_py(CONTRACT, state, GOOD_EXPRESSIONS, "USD")
    yield lambda: _mirvon.backtest_py(CONTRACT, object(), GOOD_EXPRESSIONS, "USD")


def run_all(state, times):
    for _ in range(times):
        for fn in calls(state):
            try:
                fn()
            except (RuntimeError, TypeError):
                pass


def test_reference_counts_of_caller_objects_are_unchanged():
    state = State()
    watched = [state, DATASET, GOOD_EXPRESSIONS, BAD_EXPRESSIONS, phrase, raising_phrase, CONTRACT, GRID_CONTRACT]
    run_all(state, 5)
    state.last = None
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    run_all(state, 50)
    state.last = None
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


@needs_plain_allocator
def test_python_and_native_memory_stay_flat():
    state = State()
    run_all(state, 30)
    state.last = None
    gc.collect()
    tracemalloc.start()
    try:
        python_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss_bytes()
        run_all(state, CALLS)
        state.last = None
        gc.collect()
        python_growth = tracemalloc.get_traced_memory()[0] - python_before
        rss_growth = rss_bytes() - rss_before
    finally:
        tracemalloc.stop()
    assert python_growth < PYTHON_GROWTH_LIMIT, python_growth
    assert rss_growth < RSS_GROWTH_LIMIT, rss_growth
