"""Assets and curves as `fixed_price` uses them: discount factors from the base
curve, forwards of other assets, log-linear interpolation and its edges, and
the errors of building and reading the market data."""

import math

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_curve

MODEL_PREFIX = "Error during model evaluation, caused by\n"
DATASET_PREFIX = "Error while parsing Dataset, caused by\n"
OUT_OF_RANGE = "Error: Interpolation out of range at time {t}.\n Perhaps the time range in forwards/discount data is too short."


def dataset(assets, base="USD"):
    return {"BASE": base, "ASSETS": assets, "PRICING_TS": 0}


def zero_rates(*rows):
    return ("ZERO_RATES", np.array(rows, dtype=np.float64))


def forwards(*rows):
    return ("FORWARDS", np.array(rows, dtype=np.float64))


def price(rows, data, expressions=None):
    return _mirvon.fixed_price(events_batch(rows, tracks=["A"]), Recorder(), data, expressions or {})


def pay(t, unit="USD", qty=1.0):
    return [("A", round(t * YEAR), "+", qty, unit)]


def failure(rows, data, prefix=MODEL_PREFIX):
    with pytest.raises(RuntimeError) as info:
        price(rows, data)
    text = str(info.value)
    assert text.startswith(prefix), text
    return text[len(prefix):]


# -- the base curve: discount factors --

SHORT = {"USD": zero_rates([1.0, 0.05], [2.0, 0.05])}


@pytest.mark.parametrize(
    "t, expected",
    [
        (0.0, 1.0),
        (0.5, math.exp(-0.025)),  # first segment runs through the origin
        (1.0, math.exp(-0.05)),
        (1.5, math.exp(-0.075)),
        (2.0, math.exp(-0.1)),
    ],
)
def test_discount_factor_inside_and_before_the_curve(t, expected):
    assert price(pay(t), dataset(SHORT)) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize(
    "ms, shown", [(5 * YEAR // 2, "2.5"), (3 * YEAR, "3"), (2 * YEAR + 1, repr((2 * YEAR + 1) / YEAR))]
)
def test_discount_factor_beyond_the_curve(ms, shown):
    rows = [("A", ms, "+", 1.0, "USD")]
    assert failure(rows, dataset(SHORT)) == (
        f"Error in 'discount factor' value at {shown}, caused by \n'" + OUT_OF_RANGE.format(t=shown) + "'"
    )


def test_interpolation_is_linear_in_rate_times_time_between_points():
    curve = zero_rates([0.5, 0.02], [1.0, 0.03], [4.0, 0.045])
    # r*t: 0.01 at 0.5, 0.03 at 1, 0.18 at 4; at 2.5 halfway between 0.03 and 0.18.
    assert price(pay(2.5), dataset({"USD": curve})) == pytest.approx(math.exp(-0.105), rel=1e-14)
    assert price(pay(0.75), dataset({"USD": curve})) == pytest.approx(math.exp(-0.02), rel=1e-14)


def test_one_row_curve_answers_up_to_its_time_and_fails_beyond():
    data = dataset({"USD": zero_rates([2.0, 0.03])})
    assert price(pay(1.0), data) == pytest.approx(math.exp(-0.03), rel=1e-15)
    assert price(pay(2.0), data) == pytest.approx(math.exp(-0.06), rel=1e-15)
    assert failure(pay(2.5), data).endswith(OUT_OF_RANGE.format(t="2.5") + "'")


def test_one_row_curve_at_time_zero_answers_no_time():
    data = dataset({"USD": zero_rates([0.0, 0.03])})
    assert failure(pay(0.0), data) == (
        "Error in 'discount factor' value at 0, caused by \n'" + OUT_OF_RANGE.format(t="0") + "'"
    )


def test_curve_read_through_strides_and_extra_columns_and_tuple_items_ignored():
    table = np.array([[0.0, 0.05, 99.0], [10.0, 0.05, 99.0]])
    strided = table[:, ::2]  # columns 0 and 2: a rate of 99
    assert not strided.flags.c_contiguous
    assert price(pay(1.0), dataset({"USD": ("ZERO_RATES", strided)})) == pytest.approx(math.exp(-99.0))
    assert price(pay(1.0), dataset({"USD": ("ZERO_RATES", table, "ignored")})) == pytest.approx(math.exp(-0.05))
    fortran = np.asfortranarray(table)
    assert price(pay(1.0), dataset({"USD": ("ZERO_RATES", fortran)})) == pytest.approx(math.exp(-0.05))


def test_base_curve_given_as_forwards_discounts_by_its_inverse():
    # FORWARDS for the base: L = ln F, df = 1/F.
    data = dataset({"USD": forwards([0.0, 1.0], [2.0, 1.21])})
    assert price(pay(2.0), data) == pytest.approx(1 / 1.21, rel=1e-14)
    assert price(pay(1.0), data) == pytest.approx(1 / 1.1, rel=1e-14)


# -- forwards of other assets --

STOCK = forwards([0.0, 100.0], [1.0, 110.0])
MARKET = {"USD": flat_curve(0.05), "STOCK": STOCK}


@pytest.mark.parametrize(
    "t, forward",
    [(0.0, 100.0), (0.5, math.sqrt(100.0 * 110.0)), (1.0, 110.0)],
)
def test_forward_is_log_linear_and_discounted(t, forward):
    assert price(pay(t, "STOCK", 2.0), dataset(MARKET)) == pytest.approx(2.0 * forward * math.exp(-0.05 * t), rel=1e-14)


def test_forward_curve_starting_after_time_zero_is_worth_one_at_time_zero():
    data = dataset({"USD": flat_curve(0.05), "STOCK": forwards([1.0, 110.0], [2.0, 120.0])})
    assert price(pay(0.0, "STOCK"), data) == 1.0
    assert price(pay(0.5, "STOCK"), data) == pytest.approx(math.sqrt(110.0) * math.exp(-0.025), rel=1e-14)


def test_zero_rates_asset_other_than_the_base_grows_at_its_rate():
    data = dataset({"USD": flat_curve(0.05), "EUR": flat_curve(0.02)})
    assert price(pay(1.0, "EUR"), data) == pytest.approx(math.exp(0.02 - 0.05), rel=1e-14)


def test_base_asset_unit_is_worth_one_not_its_curve_value():
    # The base's curve gives the discount factor (1/2 here), never its own value.
    data = dataset({"USD": forwards([0.0, 1.0], [1.0, 2.0])})
    assert price(pay(1.0, "USD", 3.0), data) == pytest.approx(1.5)


def test_forward_beyond_its_curve_fails_with_the_event_named():
    text = failure(pay(1.5, "STOCK"), dataset(MARKET))
    assert text == (
        'Error at event:\n  #0: track: "Track(0)", time: Single(1971-07-02T12:00:00Z), op: +, qty: 1, '
        'unit: "Asset(STOCK)", caused by \n' + OUT_OF_RANGE.format(t="1.5")
    )


@pytest.mark.parametrize("value, check", [(0.0, lambda p: p == 0.0), (-5.0, math.isnan)])
def test_non_positive_forwards_propagate_instead_of_failing(value, check):
    data = dataset({"USD": flat_curve(0.05), "X": forwards([0.0, 100.0], [1.0, value])})
    assert check(price(pay(0.5, "X"), data))


# -- names that are not in the market data --


def test_unknown_asset_fails_at_its_event():
    text = failure(pay(1.0, "XYZ"), dataset(MARKET))
    assert text.startswith('Error at event:\n  #0: track: "Track(0)"')
    assert text.endswith(', caused by \nAsset \'XYZ\' not found in snaps, expressions, or in dataset[ASSETS]')


def test_base_missing_from_assets_fails_at_the_first_discount_factor():
    data = dataset({"STOCK": STOCK}, base="EUR")
    assert failure(pay(1.0, "STOCK"), data) == "Asset 'EUR' not found in snaps, expressions, or in dataset[ASSETS]"


def test_base_name_is_matched_exactly():
    data = dataset({"usd": flat_curve(0.05)}, base="USD")
    assert failure(pay(1.0, "usd"), data) == "Asset 'USD' not found in snaps, expressions, or in dataset[ASSETS]"


# -- building the market data --


@pytest.mark.parametrize(
    "data, message",
    [
        ({"ASSETS": {}, "PRICING_TS": 0}, "Py Dictionary is missing key 'BASE'"),
        ({"BASE": "USD", "PRICING_TS": 0}, "Py Dictionary is missing key 'ASSETS'"),
        (dataset({"USD": ("SPOT", np.array([[0.0, 1.0], [1.0, 1.0]]))}), "Unknown asset type SPOT"),
        (dataset({"USD": ("zero_rates", np.array([[0.0, 1.0], [1.0, 1.0]]))}), "Unknown asset type zero_rates"),
        (
            dataset({"USD": zero_rates([0.0, 0.05], [2.0, 0.05], [1.0, 0.05])}),
            "Error while parsing Asset, caused by \nBuilderError Values in the x axis need to be strictly monotonic rising",
        ),
        (
            dataset({"USD": zero_rates([1.0, 0.05], [1.0, 0.05])}),
            "Error while parsing Asset, caused by \nBuilderError Values in the x axis need to be strictly monotonic rising",
        ),
    ],
)
def test_market_data_errors(data, message):
    assert failure(pay(1.0), data, DATASET_PREFIX) == message


@pytest.mark.parametrize(
    "data, start",
    [
        ({"BASE": 1, "ASSETS": {}, "PRICING_TS": 0}, "Error in value of BASE, likely incorrect type. caused by \n"),
        ({"BASE": "USD", "ASSETS": [], "PRICING_TS": 0}, "Error in value of ASSETS, likely incorrect type. caused by \n"),
        (
            dataset({"USD": ["ZERO_RATES", np.array([[0.0, 0.05], [1.0, 0.05]])]}),
            "Error in value of n/a, likely incorrect type. caused by \n'list' object",
        ),
        (dataset({"USD": (1, np.array([[0.0, 0.05], [1.0, 0.05]]))}), "TypeError: "),
        (dataset({"USD": ("ZERO_RATES",)}), "IndexError: "),
        (dataset({"USD": ()}), "IndexError: "),
        (dataset({1: flat_curve(0.05)}), "TypeError: "),
    ],
)
def test_wrongly_typed_market_data(data, start):
    assert failure(pay(1.0), data, DATASET_PREFIX).startswith(start)


CURVE_FORMAT = (
    "Asset 'STOCK' needs a curve given as a float64 array of at least one row and two columns "
    "(times, values), got "
)


# A value that is not a 2-D float64 array is a type error of the caller's value
# and displays as one; a float64 table without a point or a value column does not.
@pytest.mark.parametrize(
    "curve, display, got",
    [
        (np.zeros((0, 2)), "", "an array of dtype float64 and shape (0, 2)"),
        (np.zeros((3, 1)), "", "an array of dtype float64 and shape (3, 1)"),
        (np.array([[0, 100], [1, 110]]), "TypeError: ", "an array of dtype int64 and shape (2, 2)"),
        (np.array([[0, 100], [1, 110]], dtype=np.float32), "TypeError: ", "an array of dtype float32 and shape (2, 2)"),
        (np.array([0.0, 100.0]), "TypeError: ", "an array of dtype float64 and shape (2,)"),
        (np.zeros((2, 2, 2)), "TypeError: ", "an array of dtype float64 and shape (2, 2, 2)"),
        (np.zeros((0,)), "TypeError: ", "an array of dtype float64 and shape (0,)"),
        ([[0.0, 100.0], [1.0, 110.0]], "TypeError: ", "a 'list'"),
        (None, "TypeError: ", "a 'NoneType'"),
    ],
)
def test_curve_that_is_not_a_table_of_floats_is_rejected_naming_the_asset(curve, display, got):
    data = dataset({"USD": flat_curve(0.05), "STOCK": ("FORWARDS", curve)})
    assert failure(pay(1.0), data, DATASET_PREFIX) == display + CURVE_FORMAT + got


# The asset type is read before the curve is looked for, so a one-item tuple
# with a wrong type fails as the same tuple with a valid curve does.
@pytest.mark.parametrize("asset_type", [5, None, b"ZERO_RATES"], ids=repr)
def test_wrong_asset_type_reported_before_a_missing_curve(asset_type):
    with_curve = failure(pay(1.0), dataset({"USD": (asset_type, np.array([[0.0, 0.05], [1.0, 0.05]]))}), DATASET_PREFIX)
    assert with_curve.startswith("TypeError: ")
    assert failure(pay(1.0), dataset({"USD": (asset_type,)}), DATASET_PREFIX) == with_curve


def test_assets_unused_by_the_contract_are_still_checked():
    data = dataset({"USD": flat_curve(0.05), "UNUSED": ("ZERO_RATES", np.array([[2.0, 0.0], [1.0, 0.0]]))})
    assert "strictly monotonic rising" in failure(pay(1.0), data, DATASET_PREFIX)
