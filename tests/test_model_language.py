"""How the fixed model values the names of a contract: phrases, snappers and
their snaps, conditions and track references, and the event errors that a
failing valuation raises."""

import math

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_curve

MODEL_PREFIX = "Error during model evaluation, caused by\n"

# Forward 100 at 0, 121 at 2: log-linear, so 110 at 1.
MARKET = {"BASE": "USD", "ASSETS": {"USD": flat_curve(0.05), "STOCK": ("FORWARDS", np.array([[0.0, 100.0], [2.0, 121.0]]))}, "PRICING_TS": 0}


def df(t):
    return math.exp(-0.05 * t)


def phrase(fn, *inp):
    return {"type": "phrase", "fn": fn, "inp": list(inp)}


def snapper(fn, inp, out):
    return {"type": "snapper", "fn": fn, "inp": list(inp), "out": list(out)}


def const(*values):
    return lambda inputs: list(values)


def price(rows, expressions, *, tracks=("A",), dataset=MARKET, state=None):
    batch = events_batch(rows, tracks=list(tracks))
    return _mirvon.fixed_price(batch, Recorder() if state is None else state, dataset, expressions)


def failure(rows, expressions, **kw):
    with pytest.raises(RuntimeError) as info:
        price(rows, expressions, **kw)
    text = str(info.value)
    assert text.startswith(MODEL_PREFIX), text
    return text[len(MODEL_PREFIX):]


def event_error(i, time, unit, cause, op="+", qty="1", track="Track(0)"):
    return f'Error at event:\n  #{i}: track: "{track}", time: Single({time}), op: {op}, qty: {qty}, unit: "{unit}", caused by \n{cause}'


# -- phrases --


def test_phrase_inputs_are_undiscounted_values_at_the_event_time_in_order():
    calls = []

    def record(inputs):
        calls.append(inputs)
        return [inputs[0] - inputs[1]]

    expressions = {"spread": phrase(record, "STOCK", "USD"), "twice": phrase(lambda v: [2 * v[0]], "spread")}
    got = price([("A", YEAR, "+", 3.0, "twice")], expressions)
    assert got == pytest.approx(3.0 * df(1) * 2 * (110.0 - 1.0), rel=1e-14)

    [inputs] = calls  # valued once, as an input of "twice"
    assert isinstance(inputs, list) and len(inputs) == 2
    assert all(isinstance(a, np.ndarray) and a.dtype == np.float64 and a.shape == (1,) for a in inputs)
    assert [a[0] for a in inputs] == pytest.approx([110.0, 1.0])


def test_phrase_without_inputs_is_called_with_an_empty_list():
    calls = []
    expressions = {"p": phrase(lambda v: calls.append(v) or [4.0])}
    assert price([("A", YEAR, "+", 1.0, "p")], expressions) == pytest.approx(4.0 * df(1))
    assert calls == [[]]


@pytest.mark.parametrize(
    "returned, value",
    [
        ([1.0, 2.0], 2.0),  # the last output is the phrase's value
        ([np.array([0.5])], 0.5),
        ([np.array([True])], 1.0),
        ([np.float32(2.5)], 2.5),
        ([3], 3.0),
    ],
)
def test_phrase_outputs_accepted(returned, value):
    expressions = {"p": phrase(const(*returned))}
    assert price([("A", YEAR, "+", 1.0, "p")], expressions) == pytest.approx(value * df(1))


def test_output_is_copied_so_the_phrase_may_reuse_its_array():
    shared = np.array([5.0])

    def first(inputs):
        return [shared]

    def second(inputs):
        shared[0] = 999.0
        return [1.0]

    expressions = {"first": phrase(first), "second": phrase(second)}
    rows = [("A", YEAR, "+", 1.0, "first"), ("A", 2 * YEAR, "+", 1.0, "second")]
    assert price(rows, expressions) == pytest.approx(5.0 * df(1) + df(2))


def phrase_failure(fn):
    return failure([("A", YEAR, "+", 1.0, "p")], {"p": phrase(fn)})


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


def raise_(exc):
    def fn(inputs):
        raise exc

    return fn


@pytest.mark.parametrize(
    "fn, cause",
    [
        (raise_(ValueError("bad")), "Error in Phrase Evaluation, caused by \nValueError: bad"),
        (raise_(Unprintable()), "Error in Phrase Evaluation, caused by \nUnprintable: <exception str() failed>"),
        (const(), "No output from phrase"),
        (
            lambda v: ["x"],
            "Error in Phrase Evaluation, caused by \nError in Python execution:\nExpected float or array, received <class 'str'>",
        ),
        (
            lambda v: [np.ones((2, 2))],
            "Error in Phrase Evaluation, caused by \nError in Python execution:\nExpected float or array, received <class 'numpy.ndarray'>",
        ),
    ],
)
def test_phrase_failures_are_event_errors(fn, cause):
    assert phrase_failure(fn) == event_error(0, "1971-01-01T00:00:00Z", "Phrase(p)", cause)


@pytest.mark.parametrize("returned", [(1.0,), 1.0, None])
def test_phrase_must_return_a_list(returned):
    text = phrase_failure(lambda v: returned)
    assert text.startswith(event_error(0, "1971-01-01T00:00:00Z", "Phrase(p)", ""))
    assert text.endswith(
        "caused by \nError in Phrase Evaluation, caused by \nError in found value, likely incorrect type: "
        f"'{type(returned).__name__}' object cannot be converted to 'list'"
    )


def test_failing_input_stops_the_phrase_before_later_inputs():
    calls = []
    expressions = {"p": phrase(const(1.0), "NOPE", "q"), "q": phrase(lambda v: calls.append(1) or [1.0])}
    text = failure([("A", YEAR, "+", 1.0, "p")], expressions)
    assert text == event_error(
        0, "1971-01-01T00:00:00Z", "Phrase(p)",
        "Asset 'NOPE' not found in snaps, expressions, or in dataset[ASSETS]",
    )
    assert calls == []


@pytest.mark.parametrize(
    "expressions, unit, chain",
    [
        ({"p": phrase(const(1.0), "p")}, "p", "p -> p"),
        ({"p": phrase(const(1.0), "USD", "q"), "q": phrase(const(1.0), "p")}, "p", "p -> q -> p"),
        # The cycle is reported where it closes, also below the phrase the event pays.
        ({"p": phrase(const(1.0), "q"), "q": phrase(const(1.0), "r"), "r": phrase(const(1.0), "q")}, "p",
         "p -> q -> r -> q"),
    ],
)
def test_phrase_reached_again_through_its_inputs_is_an_error_not_endless_recursion(expressions, unit, chain):
    text = failure([("A", YEAR, "+", 1.0, unit)], expressions)
    looped = chain.split(" -> ")[-1]
    assert text == event_error(0, "1971-01-01T00:00:00Z", f"Phrase({unit})",
                               f"Phrase '{looped}' depends on itself through its inputs: {chain}")


def test_phrase_used_twice_by_one_phrase_is_not_a_cycle():
    expressions = {"p": phrase(lambda v: [v[0] + v[1]], "q", "q"), "q": phrase(const(2.0))}
    assert price([("A", YEAR, "+", 1.0, "p")], expressions) == pytest.approx(4.0 * df(1.0))


def test_phrases_nested_beyond_the_limit_fail_instead_of_exhausting_the_stack():
    depth = 2000
    expressions = {f"p{i}": phrase(lambda v: v[-1:] or [1.0], *([f"p{i + 1}"] if i < depth else []))
                   for i in range(depth + 1)}
    text = failure([("A", YEAR, "+", 1.0, "p0")], expressions)
    assert text.endswith("Phrases nest deeper than 500 levels at 'p500'")
    shallow = {name: e for name, e in expressions.items() if int(name[1:]) <= 300}
    shallow["p300"] = phrase(const(1.0))
    assert price([("A", YEAR, "+", 1.0, "p0")], shallow) == pytest.approx(df(1.0))


# -- snappers and snaps --


def test_snapper_outputs_are_paired_with_names_and_extra_outputs_dropped():
    expressions = {"fix": snapper(const(1.0, 2.0, 3.0), [], ["a", "b"])}
    rows = [("A", YEAR, "+", 1.0, "fix"), ("A", YEAR, "+", 10.0, "a"), ("A", YEAR, "+", 100.0, "b")]
    assert price(rows, expressions) == pytest.approx(210.0 * df(1))


def test_snap_that_the_snapper_did_not_produce_is_unknown():
    expressions = {"fix": snapper(const(1.0), [], ["a", "b"])}
    rows = [("A", YEAR, "+", 1.0, "fix"), ("A", YEAR, "+", 1.0, "b")]
    assert failure(rows, expressions) == event_error(1, "1971-01-01T00:00:00Z", "Snap(b)", "Unknown Snap 'b'")


def test_snap_before_its_snapper_has_run_is_unknown():
    expressions = {"fix": snapper(lambda v: [v[0]], ["STOCK"], ["S1"])}
    rows = [("A", YEAR, "+", 2.5, "S1"), ("A", 2 * YEAR, "+", 1.0, "fix")]
    assert failure(rows, expressions) == event_error(
        0, "1971-01-01T00:00:00Z", "Snap(S1)", "Unknown Snap 'S1'", qty="2.5"
    )


def test_second_snapper_event_overwrites_the_snap_for_later_events_only():
    expressions = {"fix": snapper(lambda v: [v[0]], ["STOCK"], ["S"])}
    rows = [
        ("A", 0, "+", 1.0, "fix"),
        ("A", YEAR, "+", 1.0, "S"),  # sees 100, fixed at 0
        ("A", YEAR, "+", 1.0, "fix"),
        ("A", 2 * YEAR, "+", 1.0, "S"),  # sees 110, fixed at 1
    ]
    assert price(rows, expressions) == pytest.approx(100.0 * df(1) + 110.0 * df(2), rel=1e-14)


def test_snap_handed_to_a_phrase_is_a_copy():
    def spoil(inputs):
        inputs[0][:] = -1.0
        return [0.0]

    expressions = {"fix": snapper(const(42.0), [], ["S"]), "spoil": phrase(spoil, "S")}
    rows = [("A", YEAR, "+", 1.0, "fix"), ("A", YEAR, "+", 1.0, "spoil"), ("A", 2 * YEAR, "+", 1.0, "S")]
    assert price(rows, expressions) == pytest.approx(42.0 * df(2))


def test_snapper_failure_names_the_snapper_event():
    expressions = {"fix": snapper(raise_(KeyError("k")), [], ["S"])}
    text = failure([("A", YEAR, "+", 1.0, "fix")], expressions)
    assert text == event_error(
        0, "1971-01-01T00:00:00Z", "Snapper(fix)", "Error in Phrase Evaluation, caused by \nKeyError: 'k'"
    )


def test_phrase_takes_precedence_over_a_snap_of_the_same_name():
    expressions = {
        "fix": snapper(const(1.0), [], ["p"]),
        "p": phrase(const(7.0)),
        "reader": phrase(lambda v: [v[0]], "p"),
    }
    rows = [("A", YEAR, "+", 1.0, "fix"), ("A", YEAR, "+", 1.0, "p"), ("A", YEAR, "+", 1.0, "reader")]
    assert price(rows, expressions) == pytest.approx(14.0 * df(1))


# -- conditions --


@pytest.mark.parametrize(
    "expressions, prelude, weight",
    [
        ({"w": phrase(const(0.25))}, [], 0.25),
        ({"fix": snapper(const(0.5), [], ["w"])}, [("A", YEAR, "+", 1.0, "fix")], 0.5),  # a stored snap
        ({}, [], 0.75),  # neither: the asset w's undiscounted forward
    ],
)
def test_condition_weight_comes_from_a_phrase_a_snap_or_an_asset(expressions, prelude, weight):
    dataset = {**MARKET, "ASSETS": {**MARKET["ASSETS"], "w": ("FORWARDS", np.array([[0.0, 0.75], [2.0, 0.75]]))}}
    rows = prelude + [("A", YEAR, "w", 10.0, "USD"), ("A", 2 * YEAR, "+", 100.0, "USD")]
    got = price(rows, expressions, dataset=dataset)
    assert got == pytest.approx((1 - weight) * 100.0 * df(2) + weight * 10.0 * df(1), rel=1e-14)


def test_failing_condition_is_an_event_error_naming_the_condition():
    expressions = {"ko": phrase(raise_(RuntimeError("no fixing")))}
    text = failure([("A", YEAR, "ko", 1.0, "USD")], expressions)
    assert text == event_error(
        0, "1971-01-01T00:00:00Z", "Asset(USD)",
        "Error in Phrase Evaluation, caused by \nRuntimeError: no fixing", op="ko",
    )


def test_unknown_condition_name_is_looked_up_as_an_asset():
    text = failure([("A", YEAR, "barrier", 1.0, "USD")], {})
    assert text.endswith("caused by \nAsset 'barrier' not found in snaps, expressions, or in dataset[ASSETS]")


# -- vectors of another length than the single path --


@pytest.mark.parametrize(
    "rows, lengths",
    [
        ([("A", YEAR, "+", 1.0, "p")], "1 and 3"),
        ([("A", YEAR, ">", 1.0, "p")], "1 and 3"),
        ([("A", YEAR, "+", 1.0, "empty")], "1 and 0"),
        ([("A", YEAR, "p", 1.0, "USD")], "1 and 3"),  # a condition of three weights
        ([("A", YEAR, "+", 1.0, "fix"), ("A", YEAR, "+", 1.0, "S")], "1 and 3"),
    ],
)
def test_vectors_that_do_not_fit_the_path_count_are_rejected_with_their_lengths(rows, lengths):
    expressions = {
        "p": phrase(const(np.ones(3))),
        "empty": phrase(const(np.array([]))),
        "fix": snapper(const(np.ones(3)), [], ["S"]),
    }
    assert failure(rows, expressions) == f"Vector lengths {lengths} cannot be combined"


# -- units --


def test_unit_without_a_name_and_unit_with_a_null_name():
    assert failure([("A", YEAR, "+", 1.0, None)], {}) == event_error(
        0, "1971-01-01T00:00:00Z", "<none>", "Error in Event Specs: Missing Unit Name"
    )
    base = events_batch([("A", YEAR, "+", 1.0, "USD")], tracks=["A"])
    unit = pa.DictionaryArray.from_arrays(pa.array([0], pa.int64()), pa.array([None], pa.string()))
    batch = pa.record_batch({**{n: base.column(n) for n in ("track", "time", "op", "quantity")}, "unit": unit})
    with pytest.raises(RuntimeError) as info:
        _mirvon.fixed_price(batch, Recorder(), MARKET, {})
    assert str(info.value) == MODEL_PREFIX + event_error(0, "1971-01-01T00:00:00Z", "<none>", "Unknown Unit")


def test_unit_named_like_a_track_refers_to_the_track_even_if_also_an_asset():
    rows = [("A", YEAR, "+", 1.0, "STOCK"), ("STOCK", 2 * YEAR, "+", 3.0, "USD")]
    assert price(rows, {}, tracks=("A", "STOCK")) == pytest.approx(3.0 * df(2))


def test_phrase_named_like_a_track_is_the_phrase():
    rows = [("A", YEAR, "+", 1.0, "B"), ("B", 2 * YEAR, "+", 3.0, "USD")]
    assert price(rows, {"B": phrase(const(5.0))}, tracks=("A", "B")) == pytest.approx(5.0 * df(1))


def test_track_reference_ignores_quantity_and_description_shows_the_track():
    rows = [("A", YEAR, "+", 9.0, "B"), ("B", 2 * YEAR, "+", 3.0, "USD")]
    assert price(rows, {}, tracks=("A", "B")) == pytest.approx(3.0 * df(2))
    late = [rows[1], ("A", YEAR, "+", 9.0, "B")]
    assert failure(late, {}, tracks=("A", "B")) == event_error(
        1, "1971-01-01T00:00:00Z", "Track(1)",
        f"event time is earlier than the current time {2 * YEAR}", qty="9",
    )
