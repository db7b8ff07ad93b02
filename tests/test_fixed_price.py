"""`fixed_price` end to end: worked contracts whose prices are computed by hand,
the dataset sections the fixed model reads, and the event-time rules of its
forward pass."""

import datetime as dt
import math

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset
from mirvon.timetable import to_millis

MODEL_PREFIX = "Error during model evaluation, caused by\n"
DATASET_PREFIX = "Error while parsing Dataset, caused by\n"


def df(t, rate=0.05):
    return math.exp(-rate * t)


def fixed(rows, dataset=None, expressions=None, *, tracks=("A",), state=None):
    batch = events_batch(rows, tracks=list(tracks))
    return _mirvon.fixed_price(
        batch,
        Recorder() if state is None else state,
        flat_dataset() if dataset is None else dataset,
        {} if expressions is None else expressions,
    )


def model_error(rows, dataset=None, expressions=None, **kw):
    with pytest.raises(RuntimeError) as info:
        fixed(rows, dataset, expressions, **kw)
    text = str(info.value)
    assert text.startswith(MODEL_PREFIX), text
    return text[len(MODEL_PREFIX):]


# A curve whose zero rates differ per point, so that interpolation in r*t and
# the line through the origin before the first point are both visible.
STEEP = ("ZERO_RATES", np.array([[0.5, 0.02], [1.0, 0.03], [3.0, 0.04]]))


@pytest.mark.parametrize(
    "t, log_value",
    [
        (0.0, 0.0),
        (0.25, 0.01 * 0.25 / 0.5),  # before the first point: linear through the origin
        (0.5, 0.01),
        (2.0, 0.03 + (0.12 - 0.03) / 2.0 * 1.0),  # interpolated in r*t, not in r
        (3.0, 0.12),  # the last point itself is inside the curve
    ],
)
def test_zero_coupon_bond_is_worth_the_discount_factor(t, log_value):
    dataset = {"BASE": "USD", "ASSETS": {"USD": STEEP}, "PRICING_TS": 0}
    price = fixed([("A", round(t * YEAR), "+", 1000.0, "USD")], dataset)
    assert price == pytest.approx(1000.0 * math.exp(-log_value), rel=1e-14)


def test_coupon_bond_with_calendar_dates_and_a_shared_maturity_time():
    start = dt.datetime(2024, 1, 1)
    day = dt.timedelta(days=365)
    rows = [("A", start + k * day, "+", 5.0, "USD") for k in (1, 2, 3, 4)]
    rows.append(("A", start + 4 * day, "+", 100.0, "USD"))  # same time as the last coupon
    dataset = flat_dataset(0.04, PRICING_TS=to_millis(start))
    expected = sum(5.0 * df(k, 0.04) for k in (1, 2, 3, 4)) + 100.0 * df(4, 0.04)
    assert fixed(rows, dataset) == pytest.approx(expected, rel=1e-14)


def test_first_event_at_the_pricing_time_is_undiscounted():
    pricing_ts = to_millis(dt.datetime(2030, 6, 1))
    rows = [("A", pricing_ts, "+", 7.0, "USD"), ("A", pricing_ts + YEAR, "+", 3.0, "USD")]
    assert fixed(rows, flat_dataset(PRICING_TS=pricing_ts)) == pytest.approx(7.0 + 3.0 * df(1))


def test_negative_quantities_and_several_tracks_only_track_0_is_the_price():
    rows = [
        ("A", YEAR, "+", -20.0, "USD"),
        ("B", YEAR, "+", 1e6, "USD"),  # another leg, not part of the price
        ("A", 2 * YEAR, "+", 50.0, "USD"),
    ]
    assert fixed(rows, tracks=("A", "B")) == pytest.approx(-20.0 * df(1) + 50.0 * df(2))


def callable_bond(call_op, call_amount):
    # Coupons 6 at years 1..3, principal 100 at year 3, and an exercise at
    # year 2 (after that year's coupon) for call_amount.
    return [
        ("A", 1 * YEAR, "+", 6.0, "USD"),
        ("A", 2 * YEAR, "+", 6.0, "USD"),
        ("A", 2 * YEAR, call_op, call_amount, "USD"),
        ("A", 3 * YEAR, "+", 6.0, "USD"),
        ("A", 3 * YEAR, "+", 100.0, "USD"),
    ]


@pytest.mark.parametrize(
    "rate, op, amount, exercised",
    [
        (0.05, "<", 100.0, True),  # 100 df(2) = 90.48 < 106 df(3) = 91.23: the issuer calls
        (0.08, "<", 100.0, False),  # 85.21 > 83.38: the issuer lets it run
        (0.08, ">", 100.0, True),  # the holder puts it back at 100
        (0.05, ">", 100.0, False),
    ],
)
def test_callable_and_putable_bond_settle_by_backward_induction(rate, op, amount, exercised):
    state = Recorder()
    dataset = flat_dataset(rate, FIXED={"FLAGS": 2 | 8})
    price = fixed(callable_bond(op, amount), dataset, state=state)

    remaining = 106.0 * df(3, rate)
    exercise = amount * df(2, rate)
    assert (exercise < remaining if op == "<" else exercise > remaining) == exercised
    settled = exercise if exercised else remaining
    assert price == pytest.approx(6.0 * df(1, rate) + 6.0 * df(2, rate) + settled, rel=1e-14)

    choices = state.get("CHOICES")
    assert list(choices) == [2] and list(choices[2]) == [0]
    assert choices[2][0].tolist() == [1 if exercised else 0]

    flows = {e: v[0] for e, v in state.get("CASHFLOW")[0].items()}
    assert flows[0] == pytest.approx(6.0 * df(1, rate))
    assert flows[1] == pytest.approx(6.0 * df(2, rate))
    assert flows[2] == pytest.approx(exercise if exercised else 0.0)
    # The coupons after an exercise are given up.
    assert flows[3] == pytest.approx(0.0 if exercised else 6.0 * df(3, rate))
    assert flows[4] == pytest.approx(0.0 if exercised else 100.0 * df(3, rate))
    assert sum(flows.values()) == pytest.approx(price, rel=1e-14)


def knock_out_expressions(weight):
    return {"ko": {"type": "phrase", "fn": lambda inputs: [weight], "inp": []}}


@pytest.mark.parametrize("weight", [1.0, 0.0, 0.25])
def test_condition_replaces_the_later_payment_by_its_rebate(weight):
    state = Recorder()
    rows = [("A", YEAR, "ko", 10.0, "USD"), ("A", 2 * YEAR, "+", 100.0, "USD")]
    price = fixed(rows, flat_dataset(FIXED={"FLAGS": 8}), knock_out_expressions(weight), state=state)

    later, rebate = 100.0 * df(2), 10.0 * df(1)
    assert price == pytest.approx(later * (1 - weight) + rebate * weight, rel=1e-14)
    flows = {e: v[0] for e, v in state.get("CASHFLOW")[0].items()}
    assert flows == pytest.approx({0: rebate * weight, 1: later * (1 - weight)})


def test_barrier_condition_on_a_market_forward_cancels_only_when_hit():
    # Knock-out at year 1 if the stock's forward is above 105; the forward is
    # 100 at 0 and 110 at 2, log-linear in between, so sqrt(100*110) at 1.
    expressions = {
        "hit": {"type": "phrase", "fn": lambda v: [v[0] > 105.0], "inp": ["STOCK"]},
    }
    rows = [("A", YEAR, "hit", 0.0, "USD"), ("A", 2 * YEAR, "+", 100.0, "USD")]

    def dataset(top):
        stock = ("FORWARDS", np.array([[0.0, 100.0], [2.0, top]]))
        return flat_dataset(ASSETS={"USD": flat_dataset()["ASSETS"]["USD"], "STOCK": stock})

    assert fixed(rows, dataset(110.0), expressions) == pytest.approx(100.0 * df(2))  # 104.88: alive
    assert fixed(rows, dataset(111.0), expressions) == 0.0  # 105.36: knocked out


def test_snapper_fixes_a_level_that_a_later_phrase_and_snap_pay_on():
    # At year 1 a snapper fixes the stock's forward as S1; at year 2 a
    # performance coupon pays 100 * (S/S1 - 1) and a second event pays S1 itself.
    stock = ("FORWARDS", np.array([[0.0, 100.0], [1.0, 104.0], [2.0, 112.0]]))
    dataset = flat_dataset(ASSETS={"USD": flat_dataset()["ASSETS"]["USD"], "STOCK": stock})
    seen = []

    def fixing(inputs):
        seen.append([a.copy() for a in inputs])
        return [inputs[0]]

    expressions = {
        "fixing": {"type": "snapper", "fn": fixing, "inp": ["STOCK"], "out": ["S1"]},
        "perf": {"type": "phrase", "fn": lambda v: [v[0] / v[1] - 1.0], "inp": ["STOCK", "S1"]},
    }
    rows = [
        ("A", YEAR, "+", 1.0, "fixing"),
        ("A", 2 * YEAR, "+", 100.0, "perf"),
        ("A", 2 * YEAR, "+", 1.0, "S1"),
    ]
    price = fixed(rows, dataset, expressions)
    assert price == pytest.approx(100.0 * df(2) * (112.0 / 104.0 - 1.0) + df(2) * 104.0, rel=1e-14)
    # The snapper saw the undiscounted forward at its own event time, once.
    assert len(seen) == 1 and seen[0][0].dtype == np.float64
    assert seen[0][0].tolist() == pytest.approx([104.0])


def test_option_on_another_track_is_worth_the_positive_part_of_its_value():
    # Track "swap" receives 100 at year 2 and pays `fixed_leg` at year 3; the
    # option on it, exercised at year 1, is worth max(0, swap's value).
    def price(fixed_leg):
        rows = [
            ("opt", YEAR, ">", 1.0, "swap"),
            ("swap", 2 * YEAR, "+", 100.0, "USD"),
            ("swap", 3 * YEAR, "+", -fixed_leg, "USD"),
        ]
        return fixed(rows, tracks=("opt", "swap"))

    assert price(90.0) == pytest.approx(100.0 * df(2) - 90.0 * df(3))
    assert price(110.0) == 0.0


def test_track_reference_takes_the_referenced_value_as_it_stands_after_the_event():
    # The reference at year 2 sees only the leg's payments after it (year 3),
    # not the one at year 1; the quantity of a reference is not applied.
    rows = [
        ("leg", YEAR, "+", 1000.0, "USD"),
        ("A", 2 * YEAR, "+", 5.0, "leg"),
        ("leg", 3 * YEAR, "+", 40.0, "USD"),
    ]
    assert fixed(rows, tracks=("A", "leg")) == pytest.approx(40.0 * df(3))


# -- dataset sections read by the fixed model --


@pytest.mark.parametrize("fixed_section", [None, "flags", [1], {}])
def test_missing_or_unusable_fixed_section_means_no_statistics(fixed_section):
    dataset = flat_dataset()
    if fixed_section is not None:
        dataset["FIXED"] = fixed_section
    state = Recorder()
    assert fixed([("A", YEAR, "+", 1.0, "USD")], dataset, state=state) == pytest.approx(df(1))
    assert state.stats == []


@pytest.mark.parametrize(
    "pricing_ts, message",
    [
        (None, "Py Dictionary is missing key 'PRICING_TS'"),
        (0.0, "Error in value of PRICING_TS, likely incorrect type. caused by \n"),
        ("0", "Error in value of PRICING_TS, likely incorrect type. caused by \n"),
        (2**63, "Error in value of PRICING_TS, likely incorrect type. caused by \n"),
    ],
)
def test_pricing_ts_must_be_a_signed_64_bit_int(pricing_ts, message):
    dataset = flat_dataset()
    if pricing_ts is None:
        del dataset["PRICING_TS"]
    else:
        dataset["PRICING_TS"] = pricing_ts
    with pytest.raises(RuntimeError) as info:
        fixed([("A", YEAR, "+", 1.0, "USD")], dataset)
    assert str(info.value).startswith(DATASET_PREFIX + message)


def test_negative_pricing_ts_is_accepted():
    rows = [("A", 0, "+", 1.0, "USD")]
    assert fixed(rows, flat_dataset(PRICING_TS=-YEAR)) == pytest.approx(df(1))


def test_market_data_is_read_before_the_fixed_section():
    dataset = {"ASSETS": {}, "PRICING_TS": "not read", "FIXED": {"FLAGS": 99}}
    with pytest.raises(RuntimeError, match="^Error while parsing Dataset, caused by\nPy Dictionary is missing key 'BASE'$"):
        fixed([("A", YEAR, "+", 1.0, "USD")], dataset)


# -- event times --


def event_desc(i, time, op="+", qty="1", unit="Asset(USD)", track="Track(0)"):
    return f'#{i}: track: "{track}", time: Single({time}), op: {op}, qty: {qty}, unit: "{unit}"'


def test_event_one_millisecond_before_the_previous_one_is_rejected():
    rows = [("A", YEAR, "+", 1.0, "USD"), ("A", YEAR - 1, "+", 1.0, "USD")]
    assert model_error(rows) == (
        "Error at event:\n  " + event_desc(1, "1970-12-31T23:59:59.999Z")
        + ", caused by \nevent time is earlier than the current time 31536000000"
    )


def test_event_before_the_pricing_time_names_the_pricing_time():
    pricing_ts = to_millis(dt.datetime(2025, 1, 1))
    rows = [("A", dt.datetime(2024, 1, 31, 16, 30, 5, 250000), "+", 0.25, "USD")]
    assert model_error(rows, flat_dataset(PRICING_TS=pricing_ts)) == (
        "Error at event:\n  " + event_desc(0, "2024-01-31T16:30:05.250Z", qty="0.25")
        + f", caused by \nevent time is earlier than the current time {pricing_ts}"
    )


def test_event_without_a_time_is_rejected():
    rows = [("A", YEAR, "+", 1.0, "USD"), ("A", None, "+", 1.0, "USD")]
    text = model_error(rows)
    assert text.startswith('Error at event:\n  #1: track: "Track(0)", time: ')
    assert text.endswith(', op: +, qty: 1, unit: "Asset(USD)", caused by \nNo event time')


def test_events_out_of_order_are_not_sorted_and_later_rows_are_not_valued():
    calls = []
    expressions = {"p": {"type": "phrase", "fn": lambda v: calls.append(1) or [1.0], "inp": []}}
    rows = [("A", 2 * YEAR, "+", 1.0, "USD"), ("A", YEAR, "+", 1.0, "USD"), ("A", 3 * YEAR, "+", 1.0, "p")]
    assert "event time is earlier than the current time 63072000000" in model_error(rows, None, expressions)
    assert calls == []


@pytest.mark.parametrize(
    "rows, tracks",
    [
        ([], ("A",)),
        ([("B", YEAR, "+", 1.0, "USD")], ("A", "B")),  # nothing books on track 0
    ],
)
def test_no_value_on_track_0_has_no_price(rows, tracks):
    assert model_error(rows, tracks=tracks) == "Track 0 not found"


def test_discount_factor_failure_carries_no_event_context():
    dataset = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 0.05], [1.0, 0.05]]))}, "PRICING_TS": 0}
    assert model_error([("A", 2 * YEAR, "+", 1.0, "USD")], dataset) == (
        "Error in 'discount factor' value at 2, caused by \n'Error: Interpolation out of range at time 2."
        "\n Perhaps the time range in forwards/discount data is too short.'"
    )


def test_repeated_calls_are_independent():
    rows = [("A", YEAR, "+", 3.0, "USD")]
    first = fixed(rows)
    assert [fixed(rows) for _ in range(3)] == [first] * 3


def test_year_fraction_of_timestamps_further_apart_than_64_bits_hold():
    # The event lies 3 * 2**62 ms after the pricing time; the time must come
    # out positive and far beyond the curve, not wrapped around to the past.
    dataset = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", np.array([[1.0, 0.05], [2.0, 0.05]]))}, "PRICING_TS": -(2**63)}
    t = repr((2**62 + 2**63) / YEAR)
    assert model_error([("A", 2**62, "+", 1.0, "USD")], dataset).startswith(
        f"Error in 'discount factor' value at {t}, caused by \n'Error: Interpolation out of range at time {t}."
    )
