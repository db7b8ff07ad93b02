"""mirvon.backtest: a contract replayed over a price table read as of each
event (the latest price at or before it), or over a get_value object; the
cashflows come back joined to their events."""

import datetime as dt

import numpy as np
import pyarrow as pa
import pytest

import mirvon

pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")

DAY = 86_400_000
T0 = 1_704_067_200_000  # 2024-01-01T00:00:00Z


def utc(ms):
    return dt.datetime.fromtimestamp(ms / 1000, dt.timezone.utc)


# Closes of STOCK on days 0, 2 and 4 and of BOND on days 0 and 3.
STOCK = {0: 100.0, 2: 102.0, 4: 99.0}
BOND = {0: 95.0, 3: 96.5}


def long_form():
    rows = [(T0 + d * DAY, "STOCK", v) for d, v in STOCK.items()] + [(T0 + d * DAY, "BOND", v) for d, v in BOND.items()]
    rows.sort(key=lambda row: (-row[0], row[1]))  # not sorted by time: the lookup must not rely on it
    time, name, value = zip(*rows)
    return pa.table({"time": pa.array(time, pa.timestamp("ms", tz="UTC")), "name": list(name), "value": list(value)})


def wide_form():
    days = sorted(set(STOCK) | set(BOND))
    return pa.table({
        "time": pa.array([T0 + d * DAY for d in days], pa.timestamp("ms")),
        "STOCK": pa.array([STOCK.get(d) for d in days], pa.float64()),  # null where there is no close
        "BOND": pa.array([BOND.get(d) for d in days], pa.float64()),
    })


FORMS = {
    "long": long_form,
    "wide": wide_form,
    "long polars": lambda: pl.from_arrow(long_form()).with_columns(pl.col("name").cast(pl.Categorical)),
    "wide pandas": lambda: wide_form().to_pandas(),
}

TRADE = [
    ("pnl", T0 + 1 * DAY, "+", -10.0, "STOCK"),  # buy 10 on day 1: day 0's close holds
    ("pnl", T0 + 4 * DAY, "+", 10.0, "STOCK"),  # sell them on day 4, at that day's close
]


@pytest.mark.parametrize("form", FORMS)
def test_cashflows_of_a_two_payment_trade(form):
    result = mirvon.backtest(TRADE, FORMS[form](), base="USD")
    assert result.cashflows.to_pylist() == [
        {"row": 0, "track": "pnl", "time": utc(T0 + DAY), "op": "+", "quantity": -10.0, "unit": "STOCK", "value": -1000.0},
        {"row": 1, "track": "pnl", "time": utc(T0 + 4 * DAY), "op": "+", "quantity": 10.0, "unit": "STOCK", "value": 990.0},
    ]
    assert result.price == -10.0
    assert result.pv_vec is None


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize(
    "asset, day, expected",
    [
        ("STOCK", 0, 100.0),  # at the first price
        ("STOCK", 2, 102.0),  # at a later price
        ("STOCK", 3, 102.0),  # between prices: the earlier one holds (BOND has one that day)
        ("BOND", 2, 95.0),  # between prices, while the other asset has one that day
        ("BOND", 9, 96.5),  # after the last price
        ("USD", 1, 1.0),  # the base asset is worth 1 and is not looked up
    ],
)
def test_prices_are_taken_as_of_the_event(form, asset, day, expected):
    rows = [("a", T0 + day * DAY, "+", 1.0, asset)]
    assert mirvon.backtest(rows, FORMS[form](), base="USD").price == expected


@pytest.mark.parametrize("form", FORMS)
def test_an_event_before_the_first_price_names_the_asset_and_the_time(form):
    rows = [("a", T0 - 1, "+", 1.0, "USD"), ("a", T0 - 1, "+", 1.0, "STOCK")]
    with pytest.raises(mirvon.MissingPrice) as caught:
        mirvon.backtest(rows, FORMS[form](), base="USD")
    assert str(caught.value) == (
        f"no price for 'STOCK' at or before 2023-12-31T23:59:59.999+00:00 ({T0 - 1} ms): "
        "its first price is at 2024-01-01T00:00:00.000+00:00"
    )
    assert isinstance(caught.value.__cause__, RuntimeError)


def test_an_asset_the_table_does_not_have_is_named():
    with pytest.raises(mirvon.MissingPrice, match=r"^no price for 'GOLD' at 2024-01-02T00:00:00.000\+00:00: "
                       r"the price table has no such asset \(it has 'BOND', 'STOCK'\)$"):
        mirvon.backtest([("a", T0 + DAY, "+", 1.0, "GOLD")], long_form(), base="USD")


def test_same_time_prices_keep_the_last_row_and_null_prices_are_skipped():
    prices = pa.table({
        "time": pa.array([T0, T0, T0 + DAY], pa.int64()),
        "name": ["S", "S", "S"],
        "value": pa.array([1.0, 2.0, None]),
    })
    assert mirvon.backtest([("a", T0 + DAY, "+", 1.0, "S")], prices, base="USD").price == 2.0


def test_phrases_see_the_as_of_prices():
    fee = {"fee": {"type": "phrase", "fn": lambda inputs: [0.001 * inputs[0]], "inp": ["STOCK"]}}
    rows = [("a", T0 + 3 * DAY, "+", -10.0, "fee")]
    assert mirvon.backtest(rows, long_form(), base="USD", expressions=fee).price == pytest.approx(-10 * 0.001 * 102.0)


def test_a_get_value_object_is_used_as_it_is():
    class Closes:
        def __init__(self):
            self.calls, self.stats = [], {}

        def get_value(self, name, time):
            self.calls.append((name, time))
            return 50.0

        def set_stat(self, name, value):
            self.stats[name] = value

    closes = Closes()
    result = mirvon.backtest(TRADE, closes, base="USD")
    assert closes.calls == [("STOCK", T0 + DAY), ("STOCK", T0 + 4 * DAY)]
    assert result.cashflows.column("value").to_pylist() == [-500.0, 500.0]
    assert list(closes.stats) == ["CASHFLOW"]


@pytest.mark.parametrize(
    "prices, error, message",
    [
        (pa.table({"time": [0], "name": ["S"]}), TypeError, r"'value': missing; expected an integer, float or decimal type"),
        (pa.table({"time": [0.5], "S": ["1"], "B": [1.0]}), TypeError,
         r"'time': found double; .*\n  'S': found string; expected a price"),
        (pa.table({"time": [0]}), TypeError, r"no asset columns"),
        (pa.table({"time": pa.array([None, 0], pa.int64()), "S": [1.0, 2.0]}), ValueError, r"'time': row 0 is null"),
        (pa.table({"time": pa.array([1], pa.timestamp("us")), "S": [1.0]}), ValueError, r"sub-millisecond"),
        (42, TypeError, r"^prices must be a table or an object with get_value"),
    ],
)
def test_bad_price_tables_are_refused(prices, error, message):
    with pytest.raises(error, match=message):
        mirvon.backtest(TRADE, prices, base="USD")


def test_a_million_prices_and_a_hundred_thousand_events():
    # Correctness at size (speed is measured in benchmarks/): every event
    # finds the latest of a million prices at or before it.
    rng = np.random.default_rng(3)
    n_prices, n_events = 1_000_000, 100_000
    price_times = np.sort(rng.integers(0, 10**9, n_prices))
    names = np.array(["A", "B", "C", "D"])[rng.integers(0, 4, n_prices)]
    values = rng.standard_normal(n_prices)
    prices = pa.table({"time": pa.array(price_times, pa.int64()), "name": names, "value": values})
    event_times = np.sort(rng.integers(10**8, 10**9, n_events))
    rows = pa.table({"track": ["a"] * n_events, "time": pa.array(event_times, pa.int64()), "op": ["+"] * n_events,
                     "quantity": np.ones(n_events), "unit": np.array(["A", "B", "C", "D"])[np.arange(n_events) % 4]})
    result = mirvon.backtest(rows, prices, base="USD")
    picked = result.cashflows.column("value").to_numpy()
    for k in (0, 1, 12_345, n_events - 1):
        mine = names == rows.column("unit")[k].as_py()
        at = np.searchsorted(price_times[mine], event_times[k], side="right") - 1
        assert picked[k] == values[mine][at]
