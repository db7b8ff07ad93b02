"""mirvon.events: every kind of table (and Python rows) becomes exactly the
batch one would build by hand for the engine, whatever key widths, string
types, time units and chunking the producer chose; bad columns are all named
in one error; nothing is dropped or silently moved."""

import datetime as dt
import decimal
import math

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
import mirvon
from mirvon.timetable import MS_PER_YEAR, events_batch

pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")
pd = pytest.importorskip("pandas")
arro3 = pytest.importorskip("arro3.core")

YEAR = MS_PER_YEAR
T0 = 1_704_067_200_000  # 2024-01-01T00:00:00Z

# A two-bond book whose rows are sorted by time: "bond_a" comes first, so it
# is track 0 unless tracks= says otherwise. Row 4, a snapper event, has no op.
BOOK = [
    ("bond_a", T0 + YEAR, "+", 5.0, "USD"),
    ("bond_b", T0 + YEAR, "+", 4.0, "USD"),
    ("bond_a", T0 + 2 * YEAR, "+", 105.0, "USD"),
    ("bond_b", T0 + 3 * YEAR, "+", 104.0, "USD"),
    ("bond_b", T0 + 3 * YEAR, None, 0.0, "fix"),
]
EXPRESSIONS = {"fix": {"type": "snapper", "fn": lambda inputs: [inputs[0]], "inp": ["USD"], "out": ["fixing"]}}
DATASET = {
    "BASE": "USD",
    "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 0.04], [30.0, 0.04]]))},
    "PRICING_TS": T0,
}


def hand_built(track_names, track_keys):
    """The engine's batch for BOOK, built column by column with int64 keys."""

    def dictionary(keys, values):
        return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values, pa.string()))

    return pa.record_batch(
        {
            "track": dictionary(track_keys, track_names),
            "time": pa.array([row[1] for row in BOOK], pa.timestamp("ms", tz="UTC")),
            "op": dictionary([0, 0, 0, 0, None], ["+"]),
            "quantity": pa.array([row[3] for row in BOOK], pa.float64()),
            "unit": dictionary([0, 0, 0, 0, 1], ["USD", "fix"]),
        }
    )


BY_FIRST_APPEARANCE = hand_built(["bond_a", "bond_b"], [0, 1, 0, 1, 1])
B_FIRST = hand_built(["bond_b", "bond_a"], [1, 0, 1, 0, 0])


def source_table():
    """BOOK as a plain pyarrow table with an extra column, in three chunks."""
    columns = list(zip(*BOOK))
    table = pa.table(
        {
            "seq": pa.array(range(len(BOOK)), pa.int32()),
            "unit": pa.array(columns[4], pa.string()),
            "quantity": pa.array(columns[3], pa.float64()),
            "op": pa.array(columns[2], pa.string()),
            "time": pa.array(columns[1], pa.timestamp("ms")),
            "track": pa.array(columns[0], pa.string()),
        }
    )
    return pa.concat_tables([table.slice(0, 2), table.slice(2, 1), table.slice(3)])


class StreamOnly:
    """A producer that offers nothing but the Arrow stream capsule (as polars and duckdb do)."""

    def __init__(self, table):
        self.table = table

    def __arrow_c_stream__(self, requested_schema=None):
        return self.table.__arrow_c_stream__(requested_schema)


class ArrayOnly:
    """A producer that offers nothing but the Arrow array capsule (a struct array)."""

    def __init__(self, batch):
        self.batch = batch

    def __arrow_c_array__(self, requested_schema=None):
        return self.batch.__arrow_c_array__(requested_schema)


def as_polars(table):
    frame = pl.from_arrow(table)
    return frame.with_columns(
        pl.col("track").cast(pl.Categorical),
        pl.col("op").cast(pl.Enum(["<", ">", "+"])),
        pl.col("time").cast(pl.Datetime("us", "UTC")),
        pl.col("quantity").cast(pl.Int32),
    )


def as_polars_concatenated(table):
    frame = as_polars(table)
    return pl.concat([frame.slice(0, 2), frame.slice(2)], rechunk=False)


def as_duckdb(table):
    connection = duckdb.connect()
    connection.register("book", table)
    # Decimal quantities, microsecond timestamps, plain strings; extra column seq.
    return connection.sql(
        "SELECT * FROM (SELECT seq, track, time::TIMESTAMP AS time, op, quantity::DECIMAL(10, 2) AS quantity, unit"
        " FROM book WHERE seq < 2 UNION ALL SELECT seq, track, time::TIMESTAMP, op, quantity::DECIMAL(10, 2), unit"
        " FROM book WHERE seq >= 2) ORDER BY seq"
    )


def as_pandas(table):
    frame = table.to_pandas()
    frame["track"] = frame["track"].astype("category")  # categories sorted: bond_a, bond_b
    frame["unit"] = frame["unit"].astype("category")
    frame["time"] = frame["time"].astype("datetime64[ns]")
    frame.index = [10, 11, 12, 13, 14]  # row labels are not an event column
    return frame


def as_dictionaries_per_chunk(table):
    # Each chunk with its own dictionary, int8 keys and large_string values,
    # the track names in the opposite order of their appearance.
    chunks = []
    for batch in table.to_batches():
        names = sorted(set(batch.column("track").to_pylist()), reverse=True)
        keys = pa.array([names.index(t) for t in batch.column("track").to_pylist()], pa.int8())
        track = pa.DictionaryArray.from_arrays(keys, pa.array(names, pa.large_string()))
        chunks.append(batch.set_column(batch.schema.get_field_index("track"), "track", track))
    return pa.Table.from_batches(chunks)


INPUTS = {
    "rows": lambda table: list(BOOK),
    "event rows": lambda table: [mirvon.Event(*row) for row in BOOK],
    "pyarrow table in chunks": lambda table: table,
    "pyarrow record batch": lambda table: table.combine_chunks().to_batches()[0],
    "pyarrow reader": lambda table: pa.RecordBatchReader.from_batches(table.schema, table.to_batches()),
    "dictionaries per chunk": as_dictionaries_per_chunk,
    "stream capsule only": lambda table: StreamOnly(table),
    "array capsule only": lambda table: ArrayOnly(table.combine_chunks().to_batches()[0]),
    "polars": as_polars,
    "polars concatenated": as_polars_concatenated,
    "duckdb union all": as_duckdb,
    "pandas": as_pandas,
    "arro3 table": lambda table: arro3.Table.from_arrow(table),
    "arro3 record batch": lambda table: arro3.RecordBatch.from_arrow(table.combine_chunks().to_batches()[0]),
}


@pytest.mark.parametrize("kind", INPUTS)
@pytest.mark.parametrize("tracks, expected", [(None, BY_FIRST_APPEARANCE), (["bond_b"], B_FIRST)], ids=["first", "b"])
def test_every_input_kind_gives_the_hand_built_batch(kind, tracks, expected):
    batch = mirvon.events(INPUTS[kind](source_table()), tracks=tracks)
    assert batch.schema == expected.schema
    assert batch.equals(expected), batch.to_pydict()
    by_hand = _mirvon.fixed_price(expected, None, DATASET, EXPRESSIONS)
    assert _mirvon.fixed_price(batch, None, DATASET, EXPRESSIONS) == by_hand


def test_tracks_choose_the_priced_bond():
    df = lambda years: math.exp(-0.04 * years)
    book = mirvon.events(as_polars(source_table()))
    assert mirvon.price(book, DATASET, "fixed", expressions=EXPRESSIONS).price == pytest.approx(5 * df(1) + 105 * df(2))
    b_first = mirvon.events(as_polars(source_table()), tracks=["bond_b"])
    assert mirvon.price(b_first, DATASET, "fixed", expressions=EXPRESSIONS).price == pytest.approx(4 * df(1) + 104 * df(3))


def test_a_multi_chunk_table_keeps_every_row():
    # The trap this guards against: the first batch of a table holds only
    # some of its rows.
    table = source_table()
    assert table.column("track").num_chunks == 3
    assert mirvon.events(table).num_rows == len(BOOK)
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
    assert mirvon.events(reader).num_rows == len(BOOK)


@pytest.mark.parametrize(
    "column, expected_ms",
    [
        (pa.array([1_500, -2_000], pa.timestamp("ms")), [1_500, -2_000]),
        (pa.array([1, -2], pa.timestamp("s", tz="America/New_York")), [1_000, -2_000]),
        (pa.array([1_500_000, -2_000_000], pa.timestamp("us", tz="Asia/Tokyo")), [1_500, -2_000]),
        (pa.array([1_500_000_000, -2_000_000_000], pa.timestamp("ns")), [1_500, -2_000]),
        (pa.array([1, -1], pa.date32()), [86_400_000, -86_400_000]),
        (pa.array([86_400_000, 1_500], pa.date64()), [86_400_000, 1_500]),
        (pa.array([1_500, -2_000], pa.int64()), [1_500, -2_000]),
        (pa.array([None, 7_000], pa.timestamp("us")), [None, 7]),
    ],
    ids=["ms", "s-zoned", "us-zoned", "ns", "date32", "date64", "int64", "null"],
)
def test_times_of_any_unit_become_utc_milliseconds(column, expected_ms):
    table = pa.table({"track": ["a", "a"], "time": column, "op": ["+", "+"], "quantity": [1.0, 1.0], "unit": ["USD"] * 2})
    batch = mirvon.events(table)
    assert batch.schema.field("time").type == pa.timestamp("ms", tz="UTC")
    assert batch.column("time").cast(pa.int64()).to_pylist() == expected_ms


@pytest.mark.parametrize(
    "column",
    [
        pa.array([1, -3], pa.int8()),
        pa.array([1, 2**40], pa.uint64()),
        pa.array([1.0, -3.0], pa.float32()),
        pa.array(np.array([1.0, -3.0], np.float16)),
        pa.array([decimal.Decimal("1.00"), decimal.Decimal("-3.25")], pa.decimal128(10, 2)),
    ],
    ids=["int8", "uint64", "float32", "float16", "decimal"],
)
def test_quantities_of_any_numeric_type_become_float64(column):
    table = pa.table({"track": ["a", "a"], "time": pa.array([0, 0], pa.int64()), "op": ["+", "+"],
                      "quantity": column, "unit": ["USD", "USD"]})
    quantity = mirvon.events(table).column("quantity")
    assert quantity.type == pa.float64()
    assert quantity.to_pylist() == [float(v) for v in column.to_pylist()]


def test_nulls_stay_nulls_and_dictionaries_hold_each_name_once():
    # A dictionary holding a name twice, an unused name and a null value: the
    # engine's batch holds each used name once and a null key for the null.
    unit = pa.DictionaryArray.from_arrays(
        pa.array([0, 1, 3, None, 2], pa.int16()), pa.array(["USD", "EUR", None, "USD", "GBP"], pa.large_string())
    )
    table = pa.table({"track": ["a", None, "a", "a", "a"], "time": pa.array([0] * 5, pa.int64()),
                      "op": ["+", "+", None, "+", "+"], "quantity": [1.0] * 5, "unit": unit})
    batch = mirvon.events(table)
    assert batch.column("unit").dictionary.to_pylist() == ["USD", "EUR"]
    assert batch.column("unit").indices.to_pylist() == [0, 1, 0, None, None]
    assert batch.column("track").indices.to_pylist() == [0, None, 0, 0, 0]
    assert batch.column("op").indices.to_pylist() == [0, 0, None, 0, 0]


def test_every_bad_column_is_named_in_one_error():
    table = pa.table({"track": [1], "time": [0.5], "op": ["+"], "quantity": ["1.0"], "extra": [object.__name__]})
    with pytest.raises(TypeError) as caught:
        mirvon.events(table)
    lines = str(caught.value).splitlines()
    assert lines[0] == "the events table does not fit the engine's columns:"
    assert lines[1:] == [
        "  'track': found int64; expected utf8, large_string or string_view, or a dictionary of them",
        "  'time': found double; expected a timestamp (any unit and zone), date32, date64 or int64 milliseconds",
        "  'quantity': found string; expected an integer, float or decimal type",
        "  'unit': missing; expected utf8, large_string or string_view, or a dictionary of them",
    ]


@pytest.mark.parametrize(
    "time, row",
    [
        (pa.array([1_000, 2_001, 3_000, 4_002], pa.timestamp("us")), 1),
        (pa.array([0, 1_000_000, 5, 1], pa.timestamp("ns", tz="UTC")), 2),
    ],
    ids=["us", "ns"],
)
def test_a_sub_millisecond_time_is_refused_naming_the_first_such_row(time, row):
    table = pa.table({"track": ["a"] * 4, "time": time, "op": ["+"] * 4, "quantity": [1.0] * 4, "unit": ["USD"] * 4})
    with pytest.raises(ValueError, match=rf"'time': row {row} \(.*\) has a sub-millisecond part"):
        mirvon.events(table)


def test_a_sub_millisecond_datetime_row_is_refused():
    with pytest.raises(ValueError, match=r"^row 1: time .* has a sub-millisecond part"):
        mirvon.events([("a", 0, "+", 1.0, "USD"), ("a", dt.datetime(2024, 1, 1, 0, 0, 0, 1500), "+", 1.0, "USD")])
    # The older row helper keeps rounding toward the past.
    assert events_batch([("a", dt.datetime(1970, 1, 1, 0, 0, 0, 1500), "+", 1.0, "USD")]).column("time")[0].value == 1


def test_value_problems_of_several_columns_come_in_one_error():
    track = pa.DictionaryArray.from_arrays(pa.array([0, 4], pa.int32()), pa.array(["a"]), safe=False)
    table = pa.table({"track": track, "time": pa.array([0, 1], pa.timestamp("us")),
                      "op": ["+", "+"], "quantity": [1.0, None], "unit": ["USD", "USD"]})
    with pytest.raises(ValueError) as caught:
        mirvon.events(table)
    assert str(caught.value).splitlines() == [
        "the events table has values the engine cannot take:",
        "  'time': row 1 (1970-01-01 00:00:00.000001) has a sub-millisecond part",
        "  'quantity': row 1 is null; every event needs a quantity",
        "  'track': a dictionary key lies outside its dictionary",
    ]


@pytest.mark.parametrize("kind", ["rows", "pyarrow table in chunks", "polars"])
def test_a_listed_track_that_no_event_books_into_is_an_error(kind):
    with pytest.raises(ValueError, match=r"^tracks lists 'bond_c', 'bond_d', which no event books into$"):
        mirvon.events(INPUTS[kind](source_table()), tracks=["bond_a", "bond_c", "bond_d"])
    # The older row helper presets them, so that a batch may leave track 0 empty.
    assert events_batch(BOOK, tracks=["bond_c"]).column("track").dictionary.to_pylist() == ["bond_c", "bond_a", "bond_b"]


@pytest.mark.parametrize(
    "data, message",
    [
        ("track,time", r"^events must be a table .* or an iterable of rows, not str$"),
        (42, r"^events must be a table .* not int$"),
        ([("a", 0, "+", 1.0)], r"^row 0: expected 5 fields"),
    ],
)
def test_what_is_neither_a_table_nor_rows_is_refused(data, message):
    with pytest.raises((TypeError, ValueError), match=message):
        mirvon.events(data)


def test_a_million_string_rows_take_no_python_loop():
    # Not a timing: a columnar build calls no Python code per row, which a
    # str subclass would notice if the rows were walked one by one.
    n = 1_000_000
    table = pa.table({
        "track": pa.array(np.array(["a", "b", "c"])[np.arange(n) % 3]),
        "time": pa.array(np.arange(n, dtype=np.int64), pa.timestamp("ms")),
        "op": pa.array(np.full(n, "+")),
        "quantity": np.ones(n),
        "unit": pa.array(np.array(["USD", "EUR"])[np.arange(n) % 2]),
    })
    batch = mirvon.events(table)
    assert batch.num_rows == n
    assert batch.column("track").dictionary.to_pylist() == ["a", "b", "c"]
    assert batch.column("unit").indices[-1].as_py() == 1


def test_a_batch_built_for_the_engine_keeps_its_numbering():
    # The hand-built batch numbers "bond_b" 0 although "bond_a" comes first:
    # events() of it, and events() of its own result, price the same as the engine.
    by_hand = B_FIRST
    assert mirvon.events(by_hand).equals(by_hand)
    assert mirvon.events(mirvon.events(BOOK, tracks=["bond_b"])).equals(by_hand)
    assert mirvon.price(by_hand, DATASET, "fixed", expressions=EXPRESSIONS).price == _mirvon.fixed_price(
        by_hand, None, DATASET, EXPRESSIONS
    )
    with_null = by_hand.set_column(3, "quantity", pa.array([1.0, None, 1.0, 1.0, 0.0]))
    with pytest.raises(ValueError, match=r"'quantity': row 1 is null"):
        mirvon.events(with_null)
