"""The ledger, the event step and the backward roll, observed through
`fixed_price`: present values, the choices and cashflows that FLAGS asks the
ledger to keep, and the errors of the roll."""

import math

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset

MODEL_PREFIX = "Error during model evaluation, caused by\n"
ALL = 1 | 2 | 8


def df(t):
    return math.exp(-0.05 * t)


def run(rows, *, flags=ALL, tracks=("A",), expressions=None):
    """Price rows; return the price, CHOICES as {event: {track: list}} and
    CASHFLOW as {track: {event: float}}."""
    state = Recorder()
    price = _mirvon.fixed_price(
        events_batch(rows, tracks=list(tracks)), state, flat_dataset(FIXED={"FLAGS": flags}), expressions or {}
    )
    got = dict(state.stats)
    choices = {e: {k: v.tolist() for k, v in m.items()} for e, m in got.get("CHOICES", {}).items()}
    flows = {k: {e: v[0] for e, v in m.items()} for k, m in got.get("CASHFLOW", {}).items()}
    return price, choices, flows


def roll_error(rows, *, tracks=("A",), expressions=None, flags=0):
    with pytest.raises(RuntimeError) as info:
        run(rows, tracks=tracks, expressions=expressions, flags=flags)
    text = str(info.value)
    assert text.startswith(MODEL_PREFIX), text
    # The roll's errors are not wrapped as event errors.
    assert "Error at event" not in text
    return text[len(MODEL_PREFIX):]


def test_first_event_of_a_track_with_a_choice_is_taken_against_zero():
    price, choices, flows = run([("A", YEAR, ">", 5.0, "USD")])
    assert price == pytest.approx(5.0 * df(1))
    assert choices == {0: {0: [1]}}
    assert flows == {0: {0: pytest.approx(5.0 * df(1))}}


def test_a_tie_keeps_the_track_and_records_a_zero_cashflow():
    # Both events use the same discount factor, so the values are equal exactly.
    rows = [("A", YEAR, ">", 100.0, "USD"), ("A", YEAR, "+", 100.0, "USD")]
    price, choices, flows = run(rows)
    assert price == pytest.approx(100.0 * df(1))
    assert choices == {0: {0: [0]}}
    assert flows == {0: {0: 0.0, 1: pytest.approx(100.0 * df(1))}}


def test_walking_away_from_a_liability_cancels_it_and_books_no_cashflow_of_its_own():
    # ">" against the value 0 on a track worth -30: the liability is given up.
    rows = [("A", YEAR, ">", 0.0, "USD"), ("A", 2 * YEAR, "+", -30.0, "USD")]
    price, choices, flows = run(rows)
    assert price == 0.0
    assert choices == {0: {0: [1]}}
    assert flows == {0: {1: 0.0}}  # no entry for event 0


def test_smaller_value_wins_a_min_choice_and_cancels_the_later_flow():
    rows = [("A", 2 * YEAR, "<", 2.0, "USD"), ("A", 2 * YEAR, "+", 3.0, "USD")]
    price, choices, flows = run(rows)
    assert price == pytest.approx(2.0 * df(2))
    assert choices == {0: {0: [1]}}
    assert flows == {0: {0: pytest.approx(2.0 * df(2)), 1: 0.0}}


def test_zero_payment_is_recorded_as_a_zero_cashflow():
    price, _, flows = run([("A", YEAR, "+", 0.0, "USD")])
    assert price == 0.0
    assert flows == {0: {0: 0.0}}


@pytest.mark.parametrize("op", [">", "<"])
def test_nan_value_never_wins_and_the_track_keeps_its_value(op):
    rows = [("A", YEAR, op, math.nan, "USD"), ("A", 2 * YEAR, "+", 10.0, "USD")]
    price, choices, flows = run(rows)
    assert price == pytest.approx(10.0 * df(2))
    assert choices == {0: {0: [0]}}
    assert flows == {0: {0: 0.0, 1: pytest.approx(10.0 * df(2))}}


def test_choice_against_a_nan_track_takes_the_number_without_winning():
    rows = [("A", YEAR, ">", 5.0, "USD"), ("A", 2 * YEAR, "+", math.nan, "USD")]
    price, choices, flows = run(rows)
    assert price == pytest.approx(5.0 * df(1))  # max ignores the NaN
    assert choices == {0: {0: [0]}}
    assert flows[0][0] == 0.0 and math.isnan(flows[0][1])


def test_nan_payment_makes_the_price_nan():
    assert math.isnan(run([("A", YEAR, "+", math.nan, "USD")])[0])


def ko(weight):
    return {"ko": {"type": "phrase", "fn": lambda v: [weight], "inp": []}}


def test_condition_scales_every_later_flow_of_its_own_track_only():
    rows = [
        ("A", YEAR, "ko", 8.0, "USD"),
        ("A", 2 * YEAR, "+", 10.0, "USD"),
        ("B", 2 * YEAR, "+", 20.0, "USD"),
        ("A", 3 * YEAR, "+", 30.0, "USD"),
    ]
    price, choices, flows = run(rows, tracks=("A", "B"), expressions=ko(0.75))
    assert price == pytest.approx(0.25 * (10.0 * df(2) + 30.0 * df(3)) + 0.75 * 8.0 * df(1))
    assert choices == {}
    assert flows == {
        0: {0: pytest.approx(6.0 * df(1)), 1: pytest.approx(2.5 * df(2)), 3: pytest.approx(7.5 * df(3))},
        1: {2: pytest.approx(20.0 * df(2))},
    }


def test_condition_weight_outside_zero_to_one_is_not_clamped():
    rows = [("A", YEAR, "ko", 1.0, "USD"), ("A", 2 * YEAR, "+", 10.0, "USD")]
    price, _, flows = run(rows, expressions=ko(2.0))
    assert price == pytest.approx(-10.0 * df(2) + 2.0 * df(1))
    assert flows[0] == pytest.approx({0: 2.0 * df(1), 1: -10.0 * df(2)})


def test_zero_condition_with_zero_value_records_nothing_for_the_event():
    rows = [("A", YEAR, "ko", 0.0, "USD"), ("A", 2 * YEAR, "+", 10.0, "USD")]
    price, _, flows = run(rows, expressions=ko(0.0))
    assert price == pytest.approx(10.0 * df(2))
    assert flows == {0: {1: pytest.approx(10.0 * df(2))}}


def test_choice_on_a_referenced_track_cancels_only_its_own_track_flows():
    rows = [
        ("opt", YEAR, ">", 1.0, "swap"),
        ("opt", 2 * YEAR, "+", 1.0, "USD"),
        ("swap", 2 * YEAR, "+", 50.0, "USD"),
    ]
    price, choices, flows = run(rows, tracks=("opt", "swap"))
    assert price == pytest.approx(50.0 * df(2))
    assert choices == {0: {0: [1]}}
    assert flows == {
        0: {0: pytest.approx(50.0 * df(2)), 1: 0.0},
        1: {2: pytest.approx(50.0 * df(2))},
    }


def test_choices_are_keyed_by_event_then_track_and_cashflows_by_track_then_event():
    rows = [
        ("A", YEAR, ">", 1.0, "USD"),
        ("B", YEAR, "<", -1.0, "USD"),
        ("B", 2 * YEAR, ">", 0.0, "USD"),
    ]
    _, choices, flows = run(rows, tracks=("A", "B"))
    assert choices == {0: {0: [1]}, 1: {1: [1]}, 2: {1: [0]}}
    assert set(flows) == {0, 1} and set(flows[0]) == {0} and set(flows[1]) == {1}


def test_self_reference_doubles_the_track_at_that_point_of_the_roll():
    rows = [("A", YEAR, "+", 1.0, "A"), ("A", 2 * YEAR, "+", 100.0, "USD")]
    price, _, flows = run(rows)
    assert price == pytest.approx(200.0 * df(2))
    assert flows == {0: pytest.approx({0: 100.0 * df(2), 1: 100.0 * df(2)})}


def test_flags_zero_leaves_choices_and_cashflows_unrecorded():
    rows = [("A", YEAR, ">", 5.0, "USD"), ("A", YEAR, "+", 1.0, "USD")]
    price, choices, flows = run(rows, flags=0)
    assert price == pytest.approx(5.0 * df(1))
    assert (choices, flows) == ({}, {})


# -- errors of the roll --


def test_event_without_an_op_cannot_be_booked():
    assert roll_error([("A", YEAR, None, 1.0, "USD")]) == "Error in Op, caused by \nUnknown Op ''"


def test_track_reference_under_a_condition_cannot_be_booked():
    rows = [("A", YEAR, "ko", 1.0, "B"), ("B", 2 * YEAR, "+", 1.0, "USD")]
    text = roll_error(rows, tracks=("A", "B"), expressions=ko(1.0), flags=ALL)
    assert text == "Error in Op, caused by \nUnknown Op 'ko'"


def test_reference_to_a_track_without_later_events():
    rows = [("B", YEAR, "+", 1.0, "USD"), ("A", 2 * YEAR, "+", 1.0, "B")]
    assert roll_error(rows, tracks=("A", "B")) == "Track 1 not found"


def test_payment_without_a_track_fails_in_the_roll_but_a_snapper_without_one_does_not():
    expressions = {"snp": {"type": "snapper", "fn": lambda v: [2.0], "inp": [], "out": ["two"]}}
    rows = [(None, YEAR, None, 1.0, "snp"), ("A", YEAR, "+", 1.0, "two")]
    assert run(rows, expressions=expressions)[0] == pytest.approx(2.0 * df(1))

    rows = [("A", YEAR, "+", 1.0, "USD"), (None, YEAR, "+", 1.0, "USD")]
    assert roll_error(rows) == "No track specified at event#1"


def test_roll_stops_at_the_first_error_from_the_last_event():
    # Event 2 (rolled first) lacks a track; event 0 would fail with an op error.
    rows = [("A", YEAR, None, 1.0, "USD"), ("A", YEAR, "+", 1.0, "USD"), (None, YEAR, "+", 1.0, "USD")]
    assert roll_error(rows) == "No track specified at event#2"


def test_large_contract_rolls_back_without_loss():
    n = 2000
    rows = [("A", (i + 1) * YEAR // 100, "+", 1.0, "USD") for i in range(n)]
    price, _, flows = run(rows, flags=8)
    times = (np.arange(n) + 1) * (YEAR // 100) / YEAR
    expected = np.exp(-0.05 * times)
    assert price == pytest.approx(expected.sum(), rel=1e-12)
    assert len(flows[0]) == n
