"""Typed reads of the dataset dictionary, seen through the pricing functions."""

import copy
import math

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset

PREFIX = "Error while parsing Dataset, caused by\n"


def missing(key):
    return PREFIX + f"Py Dictionary is missing key '{key}'"


def wrong_type(key, detail_start=""):
    return PREFIX + f"Error in value of {key}, likely incorrect type. caused by \n" + detail_start


class Model(Recorder):
    """A Monte Carlo state that leaves discounting and values to the market data."""

    def advance(self, t):
        return None

    def get_value(self, name):
        return None


def spx_forwards():
    return ("FORWARDS", np.array([[0.0, 100.0], [50.0, 100.0]]))


def full_dataset():
    """One dataset that serves all four pricing functions."""
    dataset = flat_dataset(
        MC={"PATHS": 8, "SEED": 7},
        FIXED={},
        FD={"N_X": 20, "MAX_X": 2.0, "TIMESTEP": 0.1},
        HW={"MEANREV": 0.1, "VOL": 0.01},
        BS={"VOL": 0.2, "ASSET": "SPX"},
    )
    dataset["ASSETS"]["SPX"] = spx_forwards()
    return dataset


@pytest.fixture
def payment():
    return events_batch([("leg", YEAR, "+", 1.0, "USD")], tracks=["leg"])


def price(name, batch, dataset, state=None):
    return getattr(_mirvon, name)(batch, state if state is not None else Model(), dataset, {})


def failure(name, batch, dataset, state=None):
    with pytest.raises(RuntimeError) as info:
        price(name, batch, dataset, state)
    return str(info.value)


def test_one_dataset_serves_all_four_pricing_functions(payment):
    dataset = full_dataset()
    untouched = copy.deepcopy(dataset)
    df = math.exp(-0.05)
    assert price("fixed_price", payment, dataset) == pytest.approx(df, rel=1e-12)
    assert price("mc_price", payment, dataset) == pytest.approx(df, rel=1e-12)
    assert price("fd_hullwhite_price", payment, dataset) == pytest.approx(df, rel=1e-3)
    assert price("fd_blackscholes_price", payment, dataset) == pytest.approx(df, rel=1e-3)
    # No accessor changes what it reads.
    assert dataset.keys() == untouched.keys()
    for key in ("MC", "FIXED", "FD", "HW", "BS", "BASE", "PRICING_TS"):
        assert dataset[key] == untouched[key]


# Keys in the order each function reads them: (section, key, good value). A
# section's FLAGS starts out invalid, so its position in the order shows too.
READ_ORDER = {
    "mc_price": [
        (None, "BASE", "USD"),
        (None, "ASSETS", {"USD": flat_dataset()["ASSETS"]["USD"]}),
        (None, "MC", {}),
        ("MC", "PATHS", 4),
        ("MC", "SEED", 1),
        ("MC", "FLAGS", 0),
        (None, "PRICING_TS", 0),
    ],
    "fixed_price": [
        (None, "BASE", "USD"),
        (None, "ASSETS", {"USD": flat_dataset()["ASSETS"]["USD"]}),
        (None, "PRICING_TS", 0),
        (None, "FIXED", {}),
        ("FIXED", "FLAGS", 0),
    ],
    "fd_hullwhite_price": [
        (None, "BASE", "USD"),
        (None, "ASSETS", {"USD": flat_dataset()["ASSETS"]["USD"]}),
        (None, "FD", {}),
        ("FD", "N_X", 20),
        ("FD", "MAX_X", 2.0),
        ("FD", "TIMESTEP", 0.1),
        ("FD", "FLAGS", 0),
        (None, "PRICING_TS", 0),
        (None, "HW", {}),
        ("HW", "MEANREV", 0.1),
        ("HW", "VOL", 0.01),
    ],
    "fd_blackscholes_price": [
        (None, "BASE", "USD"),
        (None, "ASSETS", {"USD": flat_dataset()["ASSETS"]["USD"], "SPX": spx_forwards()}),
        (None, "FD", {}),
        ("FD", "N_X", 20),
        ("FD", "MAX_X", 2.0),
        ("FD", "TIMESTEP", 0.1),
        ("FD", "FLAGS", 0),
        (None, "PRICING_TS", 0),
        (None, "BS", {}),
        ("BS", "VOL", 0.2),
        ("BS", "ASSET", "SPX"),
    ],
}


def _first_steps(steps, n):
    dataset = {}
    for section, key, value in steps[:n]:
        (dataset if section is None else dataset[section])[key] = copy.deepcopy(value)
        if section is None and key in ("MC", "FIXED", "FD"):
            dataset[key]["FLAGS"] = 16
    return dataset


@pytest.mark.parametrize("name", list(READ_ORDER))
def test_keys_are_read_in_order(name, payment):
    steps = READ_ORDER[name]
    for i, (_, key, _) in enumerate(steps):
        if key == "FIXED":
            continue  # optional: its absence is not an error
        expected = PREFIX + "Invalid bits set in FLAG" if key == "FLAGS" else missing(key)
        assert failure(name, payment, _first_steps(steps, i)) == expected, f"reading {key}"
    assert price(name, payment, _first_steps(steps, len(steps))) == pytest.approx(math.exp(-0.05), rel=1e-3)


def test_dataset_is_read_after_the_timetable(payment):
    bad = {"p": {"type": "phrase", "inp": []}}
    with pytest.raises(RuntimeError, match=r"^Error while parsing Timetable, caused by \n"):
        _mirvon.mc_price(payment, Model(), {}, bad)


@pytest.mark.parametrize(
    "name, section, key, value, detail",
    [
        ("mc_price", "MC", "PATHS", 1000.0, "TypeError: "),
        ("mc_price", "MC", "PATHS", -1, "OverflowError: "),
        ("mc_price", "MC", "PATHS", "4", "TypeError: "),
        ("mc_price", "MC", "SEED", 2**64, "OverflowError: "),
        ("mc_price", "MC", "SEED", -1, "OverflowError: "),
        ("mc_price", "MC", "SEED", 1.0, "TypeError: "),
        ("fixed_price", None, "PRICING_TS", 1.5, "TypeError: "),
        ("fixed_price", None, "PRICING_TS", None, "TypeError: "),
        ("fixed_price", None, "PRICING_TS", 2**63, "OverflowError: "),
        ("fixed_price", None, "PRICING_TS", -(2**63) - 1, "OverflowError: "),
        ("fixed_price", None, "BASE", b"USD", "TypeError: "),
        ("fd_hullwhite_price", "FD", "N_X", 20.0, "TypeError: "),
        ("fd_hullwhite_price", "FD", "MAX_X", None, "TypeError: "),
        ("fd_hullwhite_price", "FD", "TIMESTEP", "0.1", "TypeError: "),
        ("fd_hullwhite_price", "HW", "MEANREV", [0.1], "TypeError: "),
        ("fd_hullwhite_price", "HW", "VOL", None, "TypeError: "),
        ("fd_blackscholes_price", "BS", "ASSET", 5, "TypeError: "),
        ("fd_blackscholes_price", "FD", "FLAGS", -1, "OverflowError: "),
        ("fd_blackscholes_price", "FD", "FLAGS", 1.0, "TypeError: "),
        ("fd_blackscholes_price", "FD", "FLAGS", 2**40, "OverflowError: "),
        ("mc_price", "MC", "FLAGS", "1", "TypeError: "),
    ],
)
def test_typed_reads_reject_wrong_values(name, section, key, value, detail, payment):
    dataset = full_dataset()
    (dataset if section is None else dataset[section])[key] = value
    assert failure(name, payment, dataset).startswith(wrong_type(key, detail))


@pytest.mark.parametrize(
    "name, key, value",
    [
        ("mc_price", "MC", []),
        ("mc_price", "ASSETS", [("USD", None)]),
        ("fd_hullwhite_price", "FD", None),
        ("fd_hullwhite_price", "HW", 0.1),
        ("fd_blackscholes_price", "BS", ("VOL", 0.2)),
    ],
)
def test_sections_must_be_dicts(name, key, value, payment):
    dataset = full_dataset()
    dataset[key] = value
    detail = f"'{type(value).__name__}' object cannot be converted to '"
    assert failure(name, payment, dataset).startswith(wrong_type(key, detail))


def test_dict_subclass_sections_are_accepted(payment):
    class Section(dict):
        pass

    dataset = full_dataset()
    for key in ("ASSETS", "MC", "FD", "HW", "BS"):
        dataset[key] = Section(dataset[key])
    expected = [price(n, payment, full_dataset()) for n in READ_ORDER]
    assert [price(n, payment, dataset) for n in READ_ORDER] == expected


def test_whole_and_extreme_integers(payment):
    dataset = full_dataset()
    dataset["MC"]["PATHS"] = 1000
    dataset["MC"]["SEED"] = 2**64 - 1
    assert price("mc_price", payment, dataset) == pytest.approx(math.exp(-0.05))
    dataset["MC"]["PATHS"] = 1000.0
    assert "PATHS" in failure("mc_price", payment, dataset)


def test_negative_pricing_ts_is_accepted(payment):
    # Valued a year before the start of the events' time axis.
    dataset = flat_dataset()
    dataset["PRICING_TS"] = -YEAR
    early = events_batch([("leg", 0, "+", 1.0, "USD")], tracks=["leg"])
    assert price("fixed_price", early, dataset) == pytest.approx(math.exp(-0.05), rel=1e-12)


class Floaty:
    def __float__(self):
        return 0.2


class Index:
    """An integer-like object that is no int: only __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "name, section, key, plain, given",
    [
        ("mc_price", "MC", "PATHS", 8, np.int64(8)),
        ("mc_price", "MC", "PATHS", 8, np.uint16(8)),
        ("mc_price", "MC", "SEED", 7, np.uint64(2**64 - 1)),
        ("mc_price", "MC", "FLAGS", 9, np.int8(9)),
        ("mc_price", "MC", "PATHS", 8, Index(8)),
        ("fixed_price", None, "PRICING_TS", -YEAR, np.int64(-YEAR)),
        ("fixed_price", None, "PRICING_TS", 0, Index(0)),
        ("fd_hullwhite_price", "FD", "N_X", 20, np.int32(20)),
        ("fd_hullwhite_price", "FD", "FLAGS", 1, True),
        ("fd_hullwhite_price", "FD", "N_X", 1, True),
    ],
    ids=repr,
)
def test_integer_reads_accept_what_index_converts(name, section, key, plain, given, payment):
    def run(value):
        dataset = full_dataset()
        (dataset if section is None else dataset[section])[key] = value
        state = Model()
        return price(name, payment, dataset, state), state.names()

    assert run(given) == run(plain)


@pytest.mark.parametrize("value", [np.float64(8.0), np.float32(8.0), Floaty()], ids=repr)
def test_integer_reads_refuse_floats_even_with_index_like_values(value, payment):
    dataset = full_dataset()
    dataset["MC"]["PATHS"] = value
    assert failure("mc_price", payment, dataset).startswith(wrong_type("PATHS", "TypeError: "))


@pytest.mark.parametrize("vol", [1, 1.0, np.float64(1.0), np.int64(1)], ids=repr)
def test_float_reads_accept_anything_float_converts(vol, payment):
    dataset = full_dataset()
    dataset["BS"]["VOL"] = 1.0
    expected = price("fd_blackscholes_price", payment, dataset)
    dataset["BS"]["VOL"] = vol
    assert price("fd_blackscholes_price", payment, dataset) == expected


def test_float_reads_use_float_conversion(payment):
    dataset = full_dataset()
    expected = price("fd_blackscholes_price", payment, dataset)  # VOL 0.2
    dataset["BS"]["VOL"] = Floaty()
    assert price("fd_blackscholes_price", payment, dataset) == expected


# Flags 15 hands back all three statistics; 4 is accepted and does nothing.
@pytest.mark.parametrize(
    "fixed, stats",
    [
        (None, []),
        ({}, []),
        ({"FLAGS": 0}, []),
        ({"FLAGS": 4}, []),
        ({"FLAGS": 1}, ["PV_VEC"]),
        ({"FLAGS": 15}, ["CASHFLOW", "CHOICES", "PV_VEC"]),
        ([("FLAGS", 15)], []),  # not a dict: the section counts as absent
        ("FLAGS", []),
    ],
    ids=repr,
)
def test_fixed_flags(fixed, stats, payment):
    dataset = flat_dataset()
    if fixed is not None:
        dataset["FIXED"] = fixed
    recorder = Recorder()
    assert price("fixed_price", payment, dataset, recorder) == pytest.approx(math.exp(-0.05))
    assert sorted(recorder.names()) == stats


@pytest.mark.parametrize("name, section", [("fixed_price", "FIXED"), ("mc_price", "MC"),
                                           ("fd_hullwhite_price", "FD")])
def test_flags_above_15_fail(name, section, payment):
    dataset = full_dataset()
    dataset[section]["FLAGS"] = 16
    assert failure(name, payment, dataset) == PREFIX + "Invalid bits set in FLAG"


def test_flags_come_from_the_engines_own_section(payment):
    dataset = full_dataset()
    dataset["MC"]["FLAGS"] = 16
    dataset["FD"]["FLAGS"] = 1
    recorder = Recorder()
    price("fixed_price", payment, dataset, recorder)
    assert recorder.names() == []
    dataset["FIXED"]["FLAGS"] = 16
    recorder = Model()
    price("fd_hullwhite_price", payment, dataset, recorder)
    assert recorder.names() == ["PV_VEC"]


# Curve tables: the rate rises from 1% to 5%, so reading the wrong cells
# changes the price of a payment in one year.
TIMES = [0.0, 1.0, 2.0]
RATES = [0.01, 0.03, 0.05]


def two_columns():
    return np.array([TIMES, RATES]).T.copy()


def fortran():
    return np.asfortranarray(two_columns())


def with_third_column():
    return np.column_stack([TIMES, RATES, [np.nan, -1.0, 1e300]])


def strided():
    wide = np.full((6, 4), np.nan)
    wide[::2, 0] = TIMES
    wide[::2, 2] = RATES
    return wide[::2, ::2]


def reversed_columns():
    return np.array([RATES, TIMES]).T.copy()[:, ::-1]


def from_unaligned_buffer():
    raw = bytearray(1 + 6 * 8)
    view = np.frombuffer(raw, dtype=np.float64, offset=1, count=6).reshape(3, 2)
    view[:] = two_columns()
    return view


@pytest.mark.parametrize(
    "make", [two_columns, fortran, with_third_column, strided, reversed_columns, from_unaligned_buffer]
)
def test_curve_tables_are_read_by_their_strides(make, payment):
    table = make()
    before = table.copy()
    dataset = flat_dataset()
    dataset["ASSETS"]["USD"] = ("ZERO_RATES", table)
    assert price("fixed_price", payment, dataset) == pytest.approx(math.exp(-0.03), rel=1e-12)
    # The caller's array is copied, never scaled in place.
    np.testing.assert_array_equal(table, before)


@pytest.mark.parametrize(
    "table",
    [
        np.array([[0, 1], [1, 1]], dtype=np.int64),
        np.array([[0, 1], [1, 1]], dtype=np.float32),
        np.array([0.0, 1.0]),
        np.zeros((2, 2, 2)),
        [[0.0, 0.05], [50.0, 0.05]],
        None,
    ],
    ids=["int64", "float32", "1-d", "3-d", "list", "None"],
)
def test_curve_tables_must_be_2d_float64_arrays(table, payment):
    dataset = flat_dataset()
    dataset["ASSETS"]["USD"] = ("ZERO_RATES", table)
    assert failure("fixed_price", payment, dataset).startswith(PREFIX)
