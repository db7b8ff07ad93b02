"""Backtests: backtest_csv over the constant source, backtest_py over the
caller's get_value, and the cashflows they hand back as pyarrow record batches."""

import gc
import sys
import weakref
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
from conftest import Recorder, events_batch, needs_plain_allocator

T = 1_700_000_000_000  # an ordinary event time, in milliseconds
TRACKS = ("A", "B")

MODEL_ERROR = "Error during model evaluation, caused by\nError at event:\n  "
GET_VALUE_CAUSE = ", caused by \nError in Python method 'get_value', caused by \n"


class Source(Recorder):
    """A backtest_py state: records every get_value call and answers from
    `values` (by name), 100.0 otherwise."""

    def __init__(self, values=None):
        super().__init__()
        self.values = values or {}
        self.calls = []

    def get_value(self, name, t):
        self.calls.append((name, t))
        return self.values.get(name, 100.0)


def batch(rows):
    return events_batch(rows, tracks=TRACKS)


def run_csv(rows, state=None, base="USD", expressions=None, filename="no/such/dir/prices.csv"):
    state = Recorder() if state is None else state
    assert _mirvon.backtest_csv(batch(rows), state, filename, base, expressions or {}) is None
    return state


def run_py(rows, state=None, base="USD", expressions=None):
    state = Source() if state is None else state
    assert _mirvon.backtest_py(batch(rows), state, expressions or {}, base) is None
    return state


RUNNERS = {"csv": run_csv, "py": run_py}


def cashflows(state):
    """{track: {event index: cashflow}} from the single CASHFLOW statistic."""
    assert state.names() == ["CASHFLOW"]
    out = {}
    for track, rb in state.get("CASHFLOW").items():
        assert isinstance(rb, pa.RecordBatch)
        index = rb.column("index").to_pylist()
        assert len(set(index)) == len(index)
        out[track] = dict(zip(index, rb.column("value").to_pylist()))
    return out


def phrase(fn, *inputs):
    return {"type": "phrase", "fn": fn, "inp": list(inputs)}


# --- values of the two sources ------------------------------------------------


@pytest.mark.parametrize("filename", ["no/such/dir/prices.csv", ""])
def test_csv_values_base_one_and_every_other_asset_hundred(filename):
    rows = [
        ("A", T, "+", 2.0, "USD"),
        ("A", T + 1, "+", 3.0, "STOCK"),
        ("B", T + 2, "+", -0.5, "usd"),  # names compare exactly: not the base
        ("B", T + 3, "+", 1.0, "EUR"),
        # any time with a calendar date is accepted, far past year 9999 too
        ("A", 6_000_000_000_000_000, "+", 4.0, "STOCK"),
        ("A", 8_100_000_000_000_000, "+", 5.0, "STOCK"),  # in the year 258,641
    ]
    assert cashflows(run_csv(rows, filename=filename)) == {
        0: {0: 2.0, 1: 300.0, 4: 400.0, 5: 500.0},
        1: {2: -50.0, 3: 100.0},
    }
    assert cashflows(run_csv(rows, base="EUR")) == {
        0: {0: 200.0, 1: 300.0, 4: 400.0, 5: 500.0},
        1: {2: -50.0, 3: 1.0},
    }


def test_py_get_value_called_once_per_asset_event_never_for_base():
    state = Source({"STOCK": 7.5, "BOND": 2.0, "usd": 3.0})
    rows = [
        ("A", T, "+", 2.0, "USD"),
        ("A", T + 10, "+", 3.0, "STOCK"),
        ("B", T + 10, "+", 1.0, "BOND"),
        ("B", T + 20, "+", 1.0, "usd"),
        ("A", T + 30, "+", 4.0, "STOCK"),
    ]
    run_py(rows, state)
    assert state.calls == [("STOCK", T + 10), ("BOND", T + 10), ("usd", T + 20), ("STOCK", T + 30)]
    assert all(type(name) is str and type(t) is int for name, t in state.calls)
    assert cashflows(state) == {0: {0: 2.0, 1: 22.5, 4: 30.0}, 1: {2: 2.0, 3: 3.0}}


def test_py_get_value_gets_exactly_two_positional_arguments():
    class Strict(Recorder):
        def __init__(self):
            super().__init__()
            self.seen = []

        def get_value(self, *args, **kwargs):
            self.seen.append((args, kwargs))
            return 1.0

    state = Strict()
    run_py([("A", 5, "+", 1.0, "STOCK")], state)
    assert state.seen == [(("STOCK", 5), {})]


class Dynamic(Recorder):
    def __getattr__(self, attr):
        if attr == "get_value":
            return lambda name, t: len(name) + t
        raise AttributeError(attr)


class OnInstance(Recorder):
    def __init__(self):
        super().__init__()
        self.get_value = lambda name, t: len(name) + t


@pytest.mark.parametrize("state_type", [Dynamic, OnInstance])
def test_py_get_value_looked_up_as_an_attribute(state_type):
    state = run_py([("A", 5, "+", 2.0, "STOCK")], state_type())
    assert cashflows(state) == {0: {0: 20.0}}


class IndexOnly:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "returned, expected",
    [
        (3, 3.0),
        (True, 1.0),
        (2.5, 2.5),
        (np.float32(0.5), 0.5),
        (np.int64(4), 4.0),
        (Fraction(1, 4), 0.25),
        (Decimal("1.5"), 1.5),
        (IndexOnly(), 7.0),
        (float("inf"), float("inf")),
    ],
)
def test_py_get_value_result_converted_to_float(returned, expected):
    state = run_py([("A", T, "+", 2.0, "STOCK")], Source({"STOCK": returned}))
    assert cashflows(state) == {0: {0: 2.0 * expected}}


class FloatRaises:
    def __float__(self):
        raise ArithmeticError("no float today")


class Raising(Recorder):
    def get_value(self, name, t):
        raise ValueError(f"no quote for {name} at {t}")


class NoGetValue(Recorder):
    pass


@pytest.mark.parametrize(
    "state, cause",
    [
        (Source({"STOCK": "3"}), "TypeError: must be real number, not str"),
        (Source({"STOCK": None}), "TypeError: must be real number, not NoneType"),
        (Source({"STOCK": FloatRaises()}), "ArithmeticError: no float today"),
        (Source({"STOCK": 2**1100}), "OverflowError: int too large to convert to float"),
        (Raising(), f"ValueError: no quote for STOCK at {T + 1}"),
        (NoGetValue(), "AttributeError: 'NoGetValue' object has no attribute 'get_value'"),
    ],
    ids=["str", "none", "float-raises", "overflow", "raises", "missing"],
)
def test_py_get_value_failure_is_an_event_error(state, cause):
    rows = [
        ("A", T, "+", 1.0, "USD"),
        ("A", T + 1, "+", 1.0, "STOCK"),
        ("A", T + 2, "+", 1.0, "BOND"),
    ]
    with pytest.raises(RuntimeError) as err:
        run_py(rows, state)
    message = str(err.value)
    assert message.startswith(MODEL_ERROR + "#1: ")
    assert message.endswith(GET_VALUE_CAUSE + cause)
    assert state.stats == []
    # the first failure ends the pass: BOND is never asked for
    assert getattr(state, "calls", []) in ([], [("STOCK", T + 1)])


def test_py_interpreter_state_clean_after_get_value_failure():
    with pytest.raises(RuntimeError):
        run_py([("A", T, "+", 1.0, "STOCK")], Raising())
    assert sys.exc_info() == (None, None, None)
    # the next call is unaffected by the earlier exception
    assert cashflows(run_py([("A", T, "+", 1.0, "STOCK")])) == {0: {0: 100.0}}


# --- names valued through phrases, snappers and conditions --------------------


def test_py_phrase_inputs_call_get_value_at_the_event_time():
    state = Source({"STOCK": 4.0, "FX": 0.5})
    seen = []

    def product(inputs):
        seen.append([list(a) for a in inputs])
        return [inputs[0] * inputs[1] * inputs[2]]

    expressions = {"p": phrase(product, "STOCK", "USD", "FX")}
    run_py([("A", T, "+", 1.0, "USD"), ("A", T + 7, "+", 3.0, "p")], state, expressions=expressions)
    assert state.calls == [("STOCK", T + 7), ("FX", T + 7)]
    assert seen == [[[4.0], [1.0], [0.5]]]
    assert cashflows(state) == {0: {0: 1.0, 1: 6.0}}


def test_py_snapper_asks_at_its_own_time_and_snap_reads_stored_value():
    state = Source({"STOCK": 8.0})
    expressions = {
        "fix": {"type": "snapper", "fn": lambda inputs: [inputs[0] * 2.0], "inp": ["STOCK"], "out": ["strike"]}
    }
    rows = [("A", T, "+", 1.0, "fix"), ("A", T + 100, "+", 1.5, "strike")]
    run_py(rows, state, expressions=expressions)
    assert state.calls == [("STOCK", T)]
    assert cashflows(state) == {0: {1: 24.0}}


def test_py_condition_name_valued_by_get_value_at_event_time():
    # the weight of a conditional event comes from get_value for the op's name
    state = Source({"STOCK": 10.0, "KO": 0.25})
    rows = [("A", T, "KO", 2.0, "STOCK"), ("A", T + 5, "+", 1.0, "STOCK")]
    run_py(rows, state)
    assert state.calls == [("STOCK", T), ("KO", T), ("STOCK", T + 5)]
    # event 1 pays 10, then the condition keeps 75% of it and adds 25% of 20
    assert cashflows(state) == {0: {0: 5.0, 1: 7.5}}


def test_py_phrase_failure_is_an_event_error():
    def broken(inputs):
        raise KeyError("curve")

    with pytest.raises(RuntimeError) as err:
        run_py([("A", T, "+", 1.0, "p")], expressions={"p": phrase(broken, "STOCK")})
    message = str(err.value)
    assert message.startswith(MODEL_ERROR + "#0: ")
    assert message.endswith(", caused by \nError in Phrase Evaluation, caused by \nKeyError: 'curve'")


# --- choices, conditions and track references ----------------------------------


def weight(w):
    return {"w": phrase(lambda inputs: [w])}


# Track A: event 0 decides (op, quantity of STOCK) at T; event 1 pays 100 at
# T+1 and event 2 pays 20 (base) at T+2, so the track is worth 120 after event 0.
@pytest.mark.parametrize(
    "op, quantity, expressions, expected",
    [
        # the choice wins: the later cashflows are given up
        (">", 1.5, {}, {0: 150.0, 1: 0.0, 2: 0.0}),
        # the choice loses: it records 0, the later cashflows stand
        (">", 1.0, {}, {0: 0.0, 1: 100.0, 2: 20.0}),
        # a tie does not win
        (">", 1.2, {}, {0: 0.0, 1: 100.0, 2: 20.0}),
        ("<", 0.5, {}, {0: 50.0, 1: 0.0, 2: 0.0}),
        ("<", 2.0, {}, {0: 0.0, 1: 100.0, 2: 20.0}),
        # a zero value that loses records nothing for the choice event
        (">", 0.0, {}, {1: 100.0, 2: 20.0}),
        # conditions blend: weight 1 replaces, 0 keeps, 0.25 scales
        ("w", 0.5, weight(1.0), {0: 50.0, 1: 0.0, 2: 0.0}),
        ("w", 0.5, weight(0.0), {0: 0.0, 1: 100.0, 2: 20.0}),
        ("w", 0.5, weight(0.25), {0: 12.5, 1: 75.0, 2: 15.0}),
        # a condition named after the base asset weighs 1
        ("USD", 0.5, {}, {0: 50.0, 1: 0.0, 2: 0.0}),
    ],
)
def test_csv_choices_and_conditions_settle_cashflows(op, quantity, expressions, expected):
    rows = [
        ("A", T, op, quantity, "STOCK"),
        ("A", T + 1, "+", 1.0, "STOCK"),
        ("A", T + 2, "+", 20.0, "USD"),
    ]
    assert cashflows(run_csv(rows, expressions=expressions)) == {0: expected}


def test_csv_zero_choice_cancels_negative_later_cashflows():
    rows = [
        ("A", T, ">", 0.0, "STOCK"),
        ("A", T + 1, "+", -1.0, "STOCK"),
        ("A", T + 2, "+", 20.0, "USD"),
    ]
    assert cashflows(run_csv(rows)) == {0: {1: 0.0, 2: 0.0}}


def test_csv_track_reference_books_the_other_tracks_later_value():
    rows = [
        ("A", T, "+", 1.0, "B"),
        ("B", T + 1, "+", 1.0, "STOCK"),
        ("B", T + 2, "+", 5.0, "USD"),
        ("B", T + 3, "+", 9.0, "USD"),
    ]
    # A's reference at event 0 sees all of B's events after it
    assert cashflows(run_csv(rows)) == {0: {0: 114.0}, 1: {1: 100.0, 2: 5.0, 3: 9.0}}


# --- event times -----------------------------------------------------------------


@pytest.mark.parametrize("kind", RUNNERS)
def test_events_at_equal_times_are_accepted(kind):
    rows = [("A", T, "+", 1.0, "STOCK"), ("B", T, "+", 2.0, "STOCK"), ("A", T, "+", 3.0, "USD")]
    state = RUNNERS[kind](rows)
    assert cashflows(state) == {0: {0: 100.0, 2: 3.0}, 1: {1: 200.0}}
    if kind == "py":
        assert state.calls == [("STOCK", T), ("STOCK", T)]


@pytest.mark.parametrize("kind", RUNNERS)
@pytest.mark.parametrize(
    "times, failing, cause",
    [
        ([T, T + 5, T + 4], 2, f"event time is earlier than the current time {T + 5}"),
        ([-1], 0, "event time is earlier than the current time 0"),
        ([0, 0, -86_400_000], 2, "event time is earlier than the current time 0"),
        ([T, None, T + 1], 1, "No event time"),
    ],
    ids=["one-ms-earlier", "negative-first", "before-epoch-later", "null-time"],
)
def test_event_time_errors(kind, times, failing, cause):
    rows = [("A", t, "+", 1.0, "STOCK") for t in times]
    state = Source()
    with pytest.raises(RuntimeError) as err:
        RUNNERS[kind](rows, state)
    message = str(err.value)
    assert message.startswith(f"{MODEL_ERROR}#{failing}: ")
    assert message.endswith(", caused by \n" + cause)
    assert state.stats == []
    if kind == "py":
        assert state.calls == [("STOCK", t) for t in times[:failing]]


def test_first_event_at_the_epoch_is_accepted():
    assert cashflows(run_csv([("A", 0, "+", 1.0, "STOCK")])) == {0: {0: 100.0}}


# --- the output handed to set_stat -----------------------------------------------


@pytest.mark.parametrize("kind", RUNNERS)
def test_output_schema(kind):
    rows = [("A", T + i, "+", 1.0 + i, "STOCK") for i in range(5)] + [("B", T + 9, "+", 1.0, "USD")]
    state = RUNNERS[kind](rows)
    d = state.get("CASHFLOW")
    assert type(d) is dict
    assert sorted(d) == [0, 1]
    assert all(type(k) is int for k in d)
    expected = pa.schema([pa.field("index", pa.uint64(), nullable=False), pa.field("value", pa.float64(), nullable=False)])
    for rb in d.values():
        assert type(rb) is pa.RecordBatch
        rb.validate(full=True)
        assert rb.schema.equals(expected, check_metadata=True)
        assert rb.schema.metadata is None
        assert [f.nullable for f in rb.schema] == [False, False]
        assert rb.column("index").null_count == 0 and rb.column("value").null_count == 0
    assert d[0].num_rows == 5 and d[1].num_rows == 1
    # callers sort by index to see the events in time order
    by_index = d[0].sort_by("index")
    assert by_index.column("index").to_pylist() == [0, 1, 2, 3, 4]
    assert by_index.column("value").to_pylist() == [100.0, 200.0, 300.0, 400.0, 500.0]


def test_output_is_independent_of_later_calls():
    # each call hands over batches that own their data
    first = run_csv([("A", T, "+", 1.0, "STOCK")]).get("CASHFLOW")[0]
    for _ in range(3):
        run_csv([("A", T, "+", 9.0, "STOCK"), ("A", T, "+", 8.0, "STOCK")])
    assert first.to_pydict() == {"index": [0], "value": [100.0]}


@pytest.mark.parametrize("kind", RUNNERS)
@pytest.mark.parametrize(
    "rows",
    [[], [("A", T, ">", 0.0, "STOCK")], [("A", T, "fix", 1.0, "snap")]],
    ids=["no-events", "zero-choice", "snapper-only"],
)
def test_empty_result_still_handed_over(kind, rows):
    expressions = {"snap": {"type": "snapper", "fn": lambda inputs: [1.0], "inp": [], "out": ["s"]}}
    state = RUNNERS[kind](rows, expressions=expressions)
    assert state.stats == [("CASHFLOW", {})]


class CapsuleProducer:
    """Events handed over through the capsule protocol alone, as another Arrow
    library would: nothing about them needs pyarrow."""

    def __init__(self, batch):
        self.capsules = batch.__arrow_c_array__()

    def __arrow_c_array__(self, requested_schema=None):
        return self.capsules


@pytest.mark.parametrize("kind", RUNNERS)
@pytest.mark.parametrize(
    "rows, pays",
    [([], False), ([("A", T, ">", 0.0, "STOCK")], False), ([("A", T, "+", 1.0, "STOCK")], True)],
    ids=["no-events", "zero-choice", "paying"],
)
def test_pyarrow_needed_only_to_convert_a_cashflow_batch(kind, rows, pays, monkeypatch):
    events = CapsuleProducer(batch(rows))
    state = Recorder() if kind == "csv" else Source()
    # None in sys.modules makes every import of pyarrow fail.
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    call = {
        "csv": lambda: _mirvon.backtest_csv(events, state, "", "USD", {}),
        "py": lambda: _mirvon.backtest_py(events, state, {}, "USD"),
    }[kind]
    if pays:
        with pytest.raises(ImportError, match="pyarrow"):
            call()
        assert state.stats == []
    else:
        assert call() is None
        assert state.stats == [("CASHFLOW", {})]


class RaisingSetStat:
    def set_stat(self, name, value):
        raise ValueError("full")

    def get_value(self, name, t):
        return 1.0


class NoSetStat:
    def get_value(self, name, t):
        return 1.0


class SetStatNotCallable:
    set_stat = 5

    def get_value(self, name, t):
        return 1.0


@pytest.mark.parametrize("kind", RUNNERS)
@pytest.mark.parametrize("state_type", [RaisingSetStat, NoSetStat, SetStatNotCallable])
def test_set_stat_failures_are_ignored(kind, state_type):
    RUNNERS[kind]([("A", T, "+", 1.0, "STOCK")], state_type())
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("kind", RUNNERS)
def test_nothing_written_to_stdout_or_stderr(kind, capfd):
    RUNNERS[kind]([("A", T, "+", 1.0, "STOCK"), ("B", T + 1, ">", 2.0, "USD")])
    assert capfd.readouterr() == ("", "")


def test_conversion_failure_reaches_the_caller_unchanged(monkeypatch):
    failure = LookupError("no arrow here")

    def refuse(data, *args, **kwargs):
        data.__arrow_c_array__()  # take the capsules, then give up
        raise failure

    events = batch([("A", T, "+", 1.0, "STOCK")])
    monkeypatch.setattr(pa, "record_batch", refuse)
    state = Recorder()
    with pytest.raises(LookupError) as err:
        _mirvon.backtest_csv(events, state, "", "USD", {})
    assert err.value is failure
    assert state.stats == []


# --- the abort for times without a calendar date -----------------------------------


@pytest.mark.parametrize("unit", ["STOCK", "USD"])
@pytest.mark.parametrize("time", [2**62, 8_400_000_000_000_000], ids=["2**62", "year-268150"])
def test_csv_time_without_calendar_date_aborts(unit, time):
    state = Recorder()
    with pytest.raises(BaseException) as err:
        run_csv([("A", T, "+", 1.0, "STOCK"), ("A", time, "+", 1.0, unit)], state)
    abort = type(err.value)
    assert abort.__bases__ == (BaseException,)
    assert not isinstance(err.value, Exception)
    assert str(err.value) == "No such local time"
    assert state.stats == []
    # the interpreter and the module carry on
    assert cashflows(run_csv([("A", T, "+", 1.0, "STOCK")])) == {0: {0: 100.0}}
    with pytest.raises(abort):
        run_csv([("A", 2**62, "+", 1.0, "STOCK")])


def test_py_passes_any_time_to_get_value():
    state = run_py([("A", 2**62, "+", 1.0, "STOCK")])
    assert state.calls == [("STOCK", 2**62)]


# --- ownership: nothing handed out or borrowed outlives its use -------------------


def bulk_batch(n):
    """n "+" events over two tracks, paying the base or STOCK."""
    rows = np.arange(n, dtype=np.int64)

    def dictionary(keys, values):
        return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values, pa.string()))

    return pa.record_batch(
        {
            "track": dictionary(rows % 2, ["A", "B"]),
            "time": pa.array(rows, pa.timestamp("ms")),
            "op": dictionary(np.zeros(n, dtype=np.int64), ["+"]),
            "quantity": pa.array(np.ones(n), pa.float64()),
            "unit": dictionary(rows % 2, ["USD", "STOCK"]),
        }
    )


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@needs_plain_allocator
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_exported_batches_are_released(monkeypatch):
    n = 150_000
    events = bulk_batch(n)
    calls = 8

    def run_many():
        for _ in range(calls):
            state = Recorder()
            _mirvon.backtest_csv(events, state, "", "USD", {})
            assert sum(rb.num_rows for rb in state.get("CASHFLOW").values()) == n
            del state
        gc.collect()

    run_many()  # warm up the allocators
    arrow_before, rss_before = pa.total_allocated_bytes(), resident_bytes()
    run_many()
    arrow_grown, rss_grown = pa.total_allocated_bytes() - arrow_before, resident_bytes() - rss_before
    # the batches carry 16 bytes per event; keeping them would grow by ~19 MB
    assert arrow_grown <= 0
    assert rss_grown < 4 * 2**20

    # capsules that pyarrow never imports are released as well
    def refuse(data, *args, **kwargs):
        data.__arrow_c_array__()
        raise LookupError

    monkeypatch.setattr(pa, "record_batch", refuse)

    def fail_many():
        for _ in range(calls):
            with pytest.raises(LookupError):
                _mirvon.backtest_csv(events, Recorder(), "", "USD", {})
        gc.collect()

    fail_many()
    rss_before = resident_bytes()
    fail_many()
    assert resident_bytes() - rss_before < 4 * 2**20


def test_handed_out_objects_die_with_the_caller():
    state = run_csv([("A", T, "+", 1.0, "STOCK"), ("B", T, "+", 1.0, "USD")])
    refs = [weakref.ref(rb) for rb in state.get("CASHFLOW").values()]
    assert len(refs) == 2
    del state
    gc.collect()
    assert [r() for r in refs] == [None, None]


@pytest.mark.parametrize(
    "rows",
    [
        [("A", T, "+", 1.0, "p"), ("A", T + 1, "+", 1.0, "STOCK")],
        [("A", T, "+", 1.0, "p"), ("A", T - 1, "+", 1.0, "STOCK")],
    ],
    ids=["success", "failure"],
)
def test_state_and_callables_not_kept(rows):
    state = Source()
    fn = lambda inputs: [inputs[0]]  # noqa: E731
    expressions = {"p": phrase(fn, "STOCK")}
    before = sys.getrefcount(state), sys.getrefcount(fn)
    for _ in range(5):
        try:
            _mirvon.backtest_py(batch(rows), state, expressions, "USD")
        except RuntimeError:
            pass
    state.stats.clear()
    assert (sys.getrefcount(state), sys.getrefcount(fn)) == before
