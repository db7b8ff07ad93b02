"""Building the timetable from the events batch and the expressions: column
checks, op parsing, unit resolution, and the event descriptions in errors."""

import datetime as dt

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
from conftest import Recorder, events_batch, flat_dataset

TIMETABLE = "Error while parsing Timetable, caused by \n"
LATEST = 2**63 - 1


def dictionary(keys, values, key_type=pa.int64(), value_type=pa.string()):
    return pa.DictionaryArray.from_arrays(pa.array(keys, key_type), pa.array(values, value_type), safe=False)


def columns(rows=1, **override):
    """The five columns of `rows` payments of USD on track "leg" at time 0."""
    cols = {
        "track": dictionary([0] * rows, ["leg"]),
        "time": pa.array([0] * rows, pa.timestamp("ms")),
        "op": dictionary([0] * rows, ["+"]),
        "quantity": pa.array([1.0] * rows, pa.float64()),
        "unit": dictionary([0] * rows, ["USD"]),
    }
    cols.update(override)
    return {name: col for name, col in cols.items() if col is not None}


def batch(rows=1, **override):
    return pa.record_batch(columns(rows, **override))


def build(events, expressions=None):
    """Builds the timetable (a backtest that runs over whatever events there are)."""
    return _mirvon.backtest_csv(events, Recorder(), "", "USD", expressions or {})


def build_error(events, expressions=None):
    with pytest.raises(RuntimeError) as info:
        build(events, expressions)
    return str(info.value)


def describe(events, expressions=None):
    """The description of event 0, taken from the error for an event before the valuation time."""
    dataset = flat_dataset()
    dataset["PRICING_TS"] = LATEST
    with pytest.raises(RuntimeError) as info:
        _mirvon.fixed_price(events, Recorder(), dataset, expressions or {})
    text = str(info.value)
    head = "Error during model evaluation, caused by\nError at event:\n  "
    assert text.startswith(head), text
    return text[len(head):].split(", caused by \n")[0]


def unit_desc(events, expressions=None):
    return describe(events, expressions).split(", unit: ")[1]


# Column checks ------------------------------------------------------------


def wrong_type(name):
    return TIMETABLE + f"Couldn't convert column '{name}', likely incorrect type"


NOT_STRINGS = {
    "track": "Error in tracks column, expected strings",
    "op": "Error in ops column, expected strings",
    "unit": "Error in units column, expected strings",
}


@pytest.mark.parametrize(
    "override, expected",
    [
        ({"quantity": None}, TIMETABLE + "Column 'quantity' not found"),
        ({"quantity": None, "time": None}, TIMETABLE + "Column 'time' not found"),
        ({"track": None, "op": None, "unit": None}, TIMETABLE + "Column 'track' not found"),
        ({"unit": None}, TIMETABLE + "Column 'unit' not found"),
        ({"track": dictionary([0], ["leg"], pa.int32())}, wrong_type("track")),
        ({"op": dictionary([0], ["+"], pa.int8())}, wrong_type("op")),
        ({"unit": dictionary([0], ["USD"], pa.uint64())}, wrong_type("unit")),
        ({"track": pa.array(["leg"])}, wrong_type("track")),
        ({"unit": pa.array(["USD"], pa.large_string())}, wrong_type("unit")),
        ({"time": pa.array([0], pa.timestamp("s"))}, wrong_type("time")),
        ({"time": pa.array([0], pa.timestamp("us", tz="UTC"))}, wrong_type("time")),
        ({"time": pa.array([0], pa.timestamp("ns"))}, wrong_type("time")),
        ({"time": pa.array([0], pa.int64())}, wrong_type("time")),
        ({"time": pa.array([0], pa.date64())}, wrong_type("time")),
        ({"time": pa.array([0], pa.duration("ms"))}, wrong_type("time")),
        ({"quantity": pa.array([1.0], pa.float32())}, wrong_type("quantity")),
        ({"quantity": pa.array([1], pa.int64())}, wrong_type("quantity")),
        ({"quantity": dictionary([0], [1.0], value_type=pa.float64())}, wrong_type("quantity")),
        # Only the dictionary's outer type is checked with the columns; its
        # values are checked where they are first read.
        ({"track": dictionary([0], ["leg"], value_type=pa.large_string())}, TIMETABLE + NOT_STRINGS["track"]),
        ({"op": dictionary([0], ["+"], value_type=pa.large_string())}, TIMETABLE + NOT_STRINGS["op"]),
        ({"unit": dictionary([0], ["USD"], value_type=pa.large_string())}, TIMETABLE + NOT_STRINGS["unit"]),
        ({"op": dictionary([0], [7], value_type=pa.int64())}, TIMETABLE + NOT_STRINGS["op"]),
        ({"unit": dictionary([0], [b"USD"], value_type=pa.binary())}, TIMETABLE + NOT_STRINGS["unit"]),
    ],
    ids=lambda v: repr(v)[:60] if isinstance(v, dict) else "",
)
def test_column_checks(override, expected):
    assert build_error(batch(**override)) == expected


@pytest.mark.parametrize(
    "override, first",
    [
        ({"track": pa.array(["leg"]), "op": None}, "track"),
        ({"quantity": pa.array([1.0], pa.float32()), "unit": pa.array(["USD"])}, "quantity"),
        ({"time": pa.array([0], pa.int64()), "track": None}, "time"),
        ({"op": pa.array(["+"]), "quantity": None}, "op"),
    ],
)
def test_columns_are_checked_in_a_fixed_order(override, first):
    assert f"'{first}'" in build_error(batch(**override))


def test_reporting_order_columns_expressions_units_tracks_ops():
    bad_expression = {"p": {"type": "nope"}}
    ints = lambda: dictionary([0], [1], value_type=pa.int64())  # noqa: E731
    # A column problem comes before the expressions.
    assert "Column 'quantity'" in build_error(batch(quantity=None), bad_expression)
    # The expressions come before the dictionary values.
    assert "expression 'p'" in build_error(batch(track=ints(), op=ints(), unit=ints()), bad_expression)
    assert build_error(batch(track=ints(), op=ints(), unit=ints())) == TIMETABLE + NOT_STRINGS["unit"]
    assert build_error(batch(track=ints(), op=ints())) == TIMETABLE + NOT_STRINGS["track"]
    assert build_error(batch(op=ints())) == TIMETABLE + NOT_STRINGS["op"]


@pytest.mark.parametrize("tz", [None, "UTC", "Asia/Tokyo", "-05:30"])
def test_any_time_zone_is_accepted_and_ignored(tz):
    instant = 1_706_718_605_250  # 2024-01-31T16:30:05.250Z
    events = batch(time=pa.array([instant], pa.timestamp("ms", tz=tz)))
    assert build(events) is None
    assert "time: Single(2024-01-31T16:30:05.250Z)" in describe(events)


def test_extra_columns_and_column_order_are_ignored():
    cols = columns()
    extra = {
        "notes": pa.array([["a", "b"]], pa.list_(pa.string())),
        "Time": pa.array(["not a time"]),
        "quantity ": pa.array([None], pa.null()),
    }
    shuffled = {**extra, **dict(reversed(list(cols.items())))}
    assert build(pa.record_batch(shuffled)) is None
    ds = flat_dataset()
    assert _mirvon.fixed_price(pa.record_batch(shuffled), Recorder(), ds, {}) == _mirvon.fixed_price(
        pa.record_batch(cols), Recorder(), ds, {}
    )


def test_the_first_of_duplicate_columns_is_used():
    cols = columns()
    names = list(cols) + ["quantity"]
    good_first = pa.RecordBatch.from_arrays(list(cols.values()) + [pa.array(["x"])], names=names)
    assert "qty: 1," in describe(good_first)
    arrays = list(cols.values())
    arrays[names.index("quantity")] = pa.array([1], pa.int32())
    bad_first = pa.RecordBatch.from_arrays(arrays + [pa.array([2.0])], names=names)
    assert build_error(bad_first) == wrong_type("quantity")


def test_zero_rows_build_an_empty_timetable():
    recorder = Recorder()
    assert _mirvon.backtest_csv(batch(rows=0), recorder, "", "USD", {}) is None
    assert recorder.stats == [("CASHFLOW", {})]
    # The checks still apply without rows.
    assert build_error(batch(rows=0, quantity=pa.array([], pa.float32()))) == wrong_type("quantity")
    assert "expression 'p'" in build_error(batch(rows=0), {"p": {"type": "batch"}})


# Dictionary keys ----------------------------------------------------------


@pytest.mark.parametrize("column", ["track", "op", "unit"])
@pytest.mark.parametrize("bad", [-1, 1, 2**62, -(2**63)])
def test_dictionary_keys_outside_the_dictionary_are_rejected(column, bad):
    values = {"track": ["leg"], "op": ["+"], "unit": ["USD"]}[column]
    events = batch(rows=3, **{column: dictionary([0, 0, bad], values)})
    assert build_error(events) == (
        TIMETABLE + f"Column '{column}' is malformed: key {bad} at row 2 is outside the dictionary of 1 values"
    )


def test_null_keys_are_not_range_checked():
    # The slot under a null key holds garbage; only valid keys index the dictionary.
    validity = pa.py_buffer(bytes([0b10]))
    keys = pa.Array.from_buffers(pa.int64(), 2, [validity, pa.py_buffer(np.array([99, 0], np.int64))])
    events = batch(rows=2, op=pa.DictionaryArray.from_arrays(keys, pa.array(["+"])))
    # The build succeeds: the engine gets as far as the first event.
    assert "op: , qty: " in describe(events)


def test_only_the_rows_of_a_sliced_batch_are_checked():
    events = batch(rows=3, unit=dictionary([5, 0, 0], ["USD"])).slice(1)
    assert build(events) is None


def test_empty_dictionaries_with_null_keys():
    events = batch(rows=1, op=dictionary([None], []), unit=dictionary([None], []))
    assert describe(events).endswith('op: , qty: 1, unit: "<none>"')


# Ops ----------------------------------------------------------------------


def test_ops_are_parsed_once_per_dictionary_value_and_displayed():
    values = ["+", ">", "<", "x", None, "", "++", " +", "knock out"]
    shown = []
    for key in range(len(values)):
        events = batch(op=dictionary([key], values))
        shown.append(describe(events).split(", op: ")[1].split(", qty: ")[0])
    assert shown == ["+", ">", "<", "x", "", "", "++", " +", "knock out"]


def test_null_op_key_reads_as_no_op():
    assert ", op: , qty: 1, " in describe(batch(op=dictionary([None], ["+"])))


# Units --------------------------------------------------------------------


def fn(inputs):
    return [1.0]


@pytest.mark.parametrize(
    "tracks, units, expressions, expected",
    [
        (["A", "B"], ["x", "B", "A"], {}, ["Asset(x)", "Track(1)", "Track(0)"]),
        (["A"], ["S", "p"], {"p": {"type": "phrase", "fn": fn, "inp": ["S"]}}, ["Asset(S)", "Phrase(p)"]),
        (
            ["A"],
            ["a", "snp", "c", "b"],
            {"snp": {"type": "snapper", "fn": fn, "inp": [], "out": ["a", "b"]}},
            ["Snap(a)", "Snapper(snp)", "Asset(c)", "Snap(b)"],
        ),
        # Phrase over snapper or snap, over track, over asset.
        (["A"], ["A"], {"A": {"type": "phrase", "fn": fn, "inp": []}}, ["Phrase(A)"]),
        (["A"], ["A"], {"A": {"type": "snapper", "fn": fn, "inp": [], "out": []}}, ["Snapper(A)"]),
        (["A"], ["A"], {"s": {"type": "snapper", "fn": fn, "inp": [], "out": ["A"]}}, ["Snap(A)"]),
        (
            ["A"],
            ["q"],
            {
                "s": {"type": "snapper", "fn": fn, "inp": [], "out": ["q"]},
                "q": {"type": "phrase", "fn": fn, "inp": []},
            },
            ["Phrase(q)"],
        ),
        # Only the first equal unit name is marked; a later track name wins.
        (["B"], ["B", "B"], {}, ["Track(0)", "Asset(B)"]),
        (["A", "A"], ["A"], {}, ["Track(1)"]),
        (["A"], ["p", "p"], {"p": {"type": "phrase", "fn": fn, "inp": []}}, ["Phrase(p)", "Asset(p)"]),
        # Names match byte for byte.
        (["a"], ["a ", "A", "a"], {"A ": {"type": "phrase", "fn": fn, "inp": []}}, ["Asset(a )", "Asset(A)", "Track(0)"]),
        (["A"], [None, "x"], {}, ["<none>", "Asset(x)"]),
        ([], ["x"], {}, ["Asset(x)"]),
    ],
)
def test_unit_resolution(tracks, units, expressions, expected):
    track_column = dictionary([0 if tracks else None], tracks)
    got = [
        unit_desc(batch(track=track_column, unit=dictionary([key], units)), expressions)
        for key in range(len(units))
    ]
    assert got == [f'"{e}"' for e in expected]


def test_null_unit_key_is_described_as_none():
    assert unit_desc(batch(unit=dictionary([None], ["USD"]))) == '"<none>"'


def test_a_null_track_name_fails_even_when_unused():
    events = batch(track=dictionary([0], ["leg", None]))
    assert build_error(events) == TIMETABLE + "Missing Track Value"


def test_a_null_track_key_is_reported_when_the_track_is_needed():
    events = batch(rows=6, track=dictionary([0, 0, 0, 0, 0, None], ["leg"]))
    assert build(events.slice(0, 5)) is None
    with pytest.raises(RuntimeError) as info:
        _mirvon.fixed_price(events, Recorder(), flat_dataset(), {})
    assert str(info.value).endswith("No track specified at event#5")


# Expressions dictionary ---------------------------------------------------


def named(name, inner):
    return TIMETABLE + f"Error while parsing expression '{name}', caused by \n" + inner


@pytest.mark.parametrize(
    "expressions, expected",
    [
        ({"p": {"type": "Phrase", "fn": fn, "inp": []}}, named("p", "Invalid value 'Phrase' for key 'type'")),
        ({"p": {"type": "", "fn": fn, "inp": []}}, named("p", "Invalid value '' for key 'type'")),
        ({"b": {"type": "batch", "fn": fn, "inp": []}}, named("b", "Batch is not supported in this package")),
        ({"p": {"fn": fn, "inp": []}}, named("p", "Py Dictionary is missing key 'type'")),
        ({"p": {"type": "phrase", "inp": []}}, named("p", "Py Dictionary is missing key 'fn'")),
        ({"p": {"type": "phrase", "fn": fn}}, named("p", "Py Dictionary is missing key 'inp'")),
        ({"s": {"type": "snapper", "fn": fn, "inp": []}}, named("s", "Py Dictionary is missing key 'out'")),
        # A snapper reports its phrase's keys before "out".
        ({"s": {"type": "snapper"}}, named("s", "Py Dictionary is missing key 'fn'")),
        ({"s": {"type": "snapper", "fn": fn, "out": 3}}, named("s", "Py Dictionary is missing key 'inp'")),
        # Entries are read in order and the first failure ends the build.
        ({"a": {"type": "x"}, "b": {"type": "batch"}}, named("a", "Invalid value 'x' for key 'type'")),
        (
            {"ok": {"type": "phrase", "fn": fn, "inp": []}, "b": {"type": "batch"}},
            named("b", "Batch is not supported in this package"),
        ),
    ],
)
def test_expression_entry_errors(expressions, expected):
    assert build_error(batch(), expressions) == expected


@pytest.mark.parametrize(
    "name, entry, key",
    [
        ("p", {"type": "phrase", "fn": fn, "inp": "S"}, "inp"),
        ("p", {"type": "phrase", "fn": fn, "inp": ["S", 1]}, "inp"),
        ("p", {"type": "phrase", "fn": fn, "inp": None}, "inp"),
        ("s", {"type": "snapper", "fn": fn, "inp": [], "out": "a"}, "out"),
        ("p", {"type": 1, "fn": fn, "inp": []}, "type"),
        ("p", {"type": b"phrase", "fn": fn, "inp": []}, "type"),
    ],
)
def test_expression_entry_wrong_types(name, entry, key):
    text = build_error(batch(), {name: entry})
    assert text.startswith(named(name, f"Error in value of {key}, likely incorrect type. caused by \n"))


def test_entries_that_are_not_dicts_are_not_named():
    text = build_error(batch(), {"p": ["phrase", fn]})
    assert text.startswith(
        TIMETABLE + "Error in value of n/a, likely incorrect type. caused by \n'list' object cannot be converted to '"
    )
    assert "'p'" not in text


def test_names_that_are_not_str_fail_untagged():
    text = build_error(batch(), {1: {"type": "phrase", "fn": fn, "inp": []}})
    assert text.startswith(TIMETABLE + "TypeError: ")
    assert "expression" not in text


def test_loose_entries_are_accepted():
    class Entry(dict):
        pass

    expressions = {
        # Any object is accepted as fn until it is called; other keys are ignored.
        "p": Entry(type="phrase", fn=None, inp=("a", "b"), note="ignored"),
        "s": {"type": "snapper", "fn": 42, "inp": [], "out": ("x", "y")},
    }
    assert build(batch(), expressions) is None
    with pytest.raises(RuntimeError, match="TypeError: 'NoneType' object is not callable"):
        _mirvon.fixed_price(batch(unit=dictionary([0], ["p"])), Recorder(), flat_dataset(),
                            {"p": {"type": "phrase", "fn": None, "inp": []}})


def test_phrases_get_one_list_of_float64_arrays():
    seen = []

    def record(inputs):
        seen.append(inputs)
        return [np.array([True]), 2.0]

    expressions = {
        "p": {"type": "phrase", "fn": record, "inp": ["q", "q"]},
        "q": {"type": "phrase", "fn": lambda inputs: (seen.append(inputs), [np.float32(3.0)])[1], "inp": []},
    }
    events = events_batch([("leg", 0, "+", 1.0, "p")], tracks=["leg"])
    price = _mirvon.fixed_price(events, Recorder(), flat_dataset(), expressions)
    assert price == pytest.approx(2.0)  # the last array of the list is the value
    assert [len(inputs) for inputs in seen] == [0, 0, 2]
    assert all(type(inputs) is list for inputs in seen)
    for array in seen[2]:
        assert isinstance(array, np.ndarray) and array.dtype == np.float64 and array.ndim == 1
        np.testing.assert_array_equal(array, [3.0])


# Event descriptions -------------------------------------------------------


def ms(*args):
    return int((dt.datetime(*args, tzinfo=dt.timezone.utc) - dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc))
               / dt.timedelta(milliseconds=1))


@pytest.mark.parametrize(
    "time, shown",
    [
        (0, "Single(1970-01-01T00:00:00Z)"),
        (1500, "Single(1970-01-01T00:00:01.500Z)"),
        (-1, "Single(1969-12-31T23:59:59.999Z)"),
        (ms(2024, 1, 31), "Single(2024-01-31T00:00:00Z)"),
        (ms(2024, 1, 31, 16, 30, 5, 250_000), "Single(2024-01-31T16:30:05.250Z)"),
        (ms(2000, 2, 29, 12, 0, 0, 1000), "Single(2000-02-29T12:00:00.001Z)"),
        (ms(1900, 3, 1), "Single(1900-03-01T00:00:00Z)"),
        (ms(1, 1, 1), "Single(0001-01-01T00:00:00Z)"),
        (ms(9999, 12, 31, 23, 59, 59, 999_000), "Single(9999-12-31T23:59:59.999Z)"),
        (2**62, "None"),
        (-(2**62), "None"),
        (-(2**63), "None"),
        (-(2**63) + 1, "None"),
        (-(2**63) + 86_399_999, "None"),  # the last millisecond of the earliest day
    ],
)
def test_time_in_event_description(time, shown):
    events = batch(time=pa.array([time], pa.timestamp("ms")))
    assert describe(events) == f'#0: track: "Track(0)", time: {shown}, op: +, qty: 1, unit: "Asset(USD)"'


@pytest.mark.parametrize(
    "qty, shown",
    [
        (1.0, "1"),
        (0.25, "0.25"),
        (100.0, "100"),
        (-2.5, "-2.5"),
        (1e-7, "0.0000001"),
        (0.1, "0.1"),
        (1 / 3, "0.3333333333333333"),
        (123456789.125, "123456789.125"),
        (1e21, "1000000000000000000000"),
        (float("nan"), "NaN"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
    ],
)
def test_quantity_in_event_description(qty, shown):
    events = batch(quantity=pa.array([qty], pa.float64()))
    assert f", qty: {shown}, unit: " in describe(events)


@pytest.mark.parametrize(
    "name, shown",
    [
        ('say "hi"', r'"Asset(say \"hi\")"'),
        ("back\\slash", r'"Asset(back\\slash)"'),
        ("a\nb\rc\td", r'"Asset(a\nb\rc\td)"'),
        ("bell\x07 esc\x1b nul\x00 del\x7f", r'"Asset(bell\u{7} esc\u{1b} nul\u{0} del\u{7f})"'),
        ("next\x85line \x9f", r'"Asset(next\u{85}line \u{9f})"'),  # C1 controls, two bytes in UTF-8
        ("Zürich €", '"Asset(Zürich €)"'),
    ],
)
def test_unit_names_are_quoted_with_escapes(name, shown):
    assert unit_desc(batch(unit=dictionary([0], [name]))) == shown


def test_description_of_a_later_event_with_null_track_and_op():
    events = pa.record_batch(
        {
            "track": dictionary([0, 0, 0, None], ["leg"]),
            "time": pa.array([0, 5, 10, 7], pa.timestamp("ms")),
            "op": dictionary([0, 0, 0, None], ["+"]),
            "quantity": pa.array([1.0, 1.0, 1.0, 0.5]),
            "unit": dictionary([0, 0, 0, 1], ["USD", "EUR"]),
        }
    )
    with pytest.raises(RuntimeError) as info:
        _mirvon.fixed_price(events, Recorder(), flat_dataset(), {})
    # Rows keep their order: the fourth event is earlier than the third.
    assert str(info.value) == (
        "Error during model evaluation, caused by\nError at event:\n  "
        '#3: track: "<none>", time: Single(1970-01-01T00:00:00.007Z), op: , qty: 0.5, unit: "Asset(EUR)"'
        ", caused by \nevent time is earlier than the current time 10"
    )
