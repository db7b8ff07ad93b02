"""The pure-Python helper package: events batches from plain rows, their
round trip through pyarrow and the engine, clear errors for bad rows, and the
type information shipped with the distribution."""

import ast
import datetime as dt
import inspect
import math
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
import mirvon
from mirvon.timetable import MS_PER_YEAR, Event, events_batch, to_millis, to_rows

YEAR = MS_PER_YEAR
ROOT = Path(__file__).resolve().parents[1]


class Sink:
    def __init__(self):
        self.stats = {}

    def set_stat(self, name, value):
        self.stats[name] = value


def dataset(rate=0.05):
    return {
        "BASE": "USD",
        "ASSETS": {
            "USD": ("ZERO_RATES", np.array([[0.0, rate], [30.0, rate]])),
            "STOCK": ("FORWARDS", np.array([[0.0, 100.0], [30.0, 100.0 * math.exp(rate * 30)]])),
        },
        "PRICING_TS": 0,
    }


BOND = [("bond", k * YEAR, "+", 5.0, "USD") for k in (1, 2, 3)] + [("bond", 3 * YEAR, "+", 100.0, "USD")]
PUT = [
    ("put", YEAR, ">", 1.0, "exercise"),
    ("exercise", YEAR, "+", 100.0, "USD"),
    ("exercise", YEAR, "+", -1.0, "STOCK"),
]
WITH_NULLS = [
    ("a", 0, None, 0.0, None),
    (None, None, "alive", -2.5, "a"),
    ("b", -YEAR, "+", float("inf"), "b"),
]


@pytest.mark.parametrize("rows", [BOND, PUT, WITH_NULLS, []], ids=["bond", "put", "nulls", "empty"])
def test_round_trip_keeps_rows_and_the_engine_types(rows):
    batch = events_batch(rows)
    for name in ("track", "op", "unit"):
        column_type = batch.schema.field(name).type
        assert column_type.index_type == pa.int64() and column_type.value_type == pa.string()
    assert batch.schema.field("time").type == pa.timestamp("ms", tz="UTC")
    assert batch.schema.field("quantity").type == pa.float64()
    assert to_rows(batch) == [Event(*row) for row in rows]


def test_tracks_fix_the_numbering_and_the_priced_track():
    rows = [("b", YEAR, "+", 1.0, "USD"), ("a", 2 * YEAR, "+", 1.0, "USD")]
    default = events_batch(rows)
    assert default.column("track").dictionary.to_pylist() == ["b", "a"]
    preset = events_batch(rows, tracks=["a", "b", "unused"])
    assert preset.column("track").dictionary.to_pylist() == ["a", "b", "unused"]
    assert preset.column("track").indices.to_pylist() == [1, 0]
    # Track 0 is priced: the first batch prices "b", the second "a".
    assert _mirvon.fixed_price(default, Sink(), dataset(), {}) == pytest.approx(math.exp(-0.05))
    assert _mirvon.fixed_price(preset, Sink(), dataset(), {}) == pytest.approx(math.exp(-0.10))


def test_engine_prices_built_batches():
    bond = _mirvon.fixed_price(events_batch(BOND), Sink(), dataset(), {})
    assert bond == pytest.approx(sum(q * math.exp(-0.05 * t / YEAR) for _, t, _, q, _ in BOND), abs=1e-12)
    grid = dict(dataset(), FD={"N_X": 200, "MAX_X": 1.5, "TIMESTEP": 1 / 365}, BS={"VOL": 0.2, "ASSET": "STOCK"})
    put = _mirvon.fd_blackscholes_price(events_batch(PUT, tracks=["put", "exercise"]), Sink(), grid, {})
    assert put == pytest.approx(5.5735, abs=0.01)  # Black-Scholes closed form


def test_batch_also_travels_through_the_capsule_interface():
    batch = events_batch(BOND)

    class CapsuleOnly:
        def __arrow_c_array__(self, requested_schema=None):
            return batch.__arrow_c_array__(requested_schema)

    assert _mirvon.fixed_price(CapsuleOnly(), Sink(), dataset(), {}) == _mirvon.fixed_price(
        batch, Sink(), dataset(), {}
    )


@pytest.mark.parametrize(
    "time, millis",
    [
        (dt.datetime(1970, 1, 1, 0, 0, 1, 500_000), 1500),
        (dt.datetime(2024, 1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=1))), 1_704_067_200_000),
        (dt.date(2024, 1, 1), 1_704_067_200_000),
        (np.datetime64("2024-01-01T00:00:00.250"), 1_704_067_200_250),
        (np.datetime64("NaT"), None),
        (np.int64(42), 42),
        # Sub-millisecond parts round toward the past, also before the epoch.
        (dt.datetime(1969, 12, 31, 23, 59, 59, 999_500), -1),
        (dt.datetime(1, 1, 1), -62_135_596_800_000),
    ],
)
def test_times_become_utc_milliseconds(time, millis):
    assert to_millis(time) == millis
    assert to_rows(events_batch([("a", time, "+", 1.0, "USD")]))[0].time == millis


@pytest.mark.parametrize(
    "rows, kwargs, error, message",
    [
        ([("a", 0, "+", 1.0)], {}, ValueError, r"^row 0: expected 5 fields .*got 4$"),
        ([BOND[0], "a,0,+,1,USD"], {}, TypeError, r"^row 1: expected a sequence of 5 fields"),
        ([BOND[0], 7], {}, TypeError, r"^row 1: expected a sequence .*not int$"),
        ([("a", 1.5, "+", 1.0, "USD")], {}, TypeError, r"^row 0: time must be an int .*not float"),
        ([("a", True, "+", 1.0, "USD")], {}, TypeError, r"^row 0: time must be .*not bool$"),
        ([("a", "2024-01-01", "+", 1.0, "USD")], {}, TypeError, r"^row 0: time must be .*not str$"),
        ([("a", 2**63, "+", 1.0, "USD")], {}, ValueError, r"^row 0: time 9223372036854775808 ms is outside"),
        ([BOND[0], ("a", 0, "+", "1.5", "USD")], {}, TypeError, r"^row 1: quantity must be a number, not str$"),
        ([("a", 0, "+", None, "USD")], {}, TypeError, r"^row 0: quantity must be a number, not NoneType$"),
        ([("a", 0, "+", True, "USD")], {}, TypeError, r"^row 0: quantity must be a number, not bool$"),
        ([("a", 0, "+", 10**400, "USD")], {}, ValueError, r"^row 0: quantity is too large for a 64-bit float$"),
        ([("a", 0, 1, 1.0, "USD")], {}, TypeError, r"^row 0: op must be a str or None, not int$"),
        ([("a", 0, "+", 1.0, b"USD")], {}, TypeError, r"^row 0: unit must be a str or None, not bytes$"),
        ([(0, 0, "+", 1.0, "USD")], {}, TypeError, r"^row 0: track must be a str or None, not int$"),
        ([], {"tracks": ["a", "a"]}, ValueError, r"^tracks lists 'a' twice"),
        ([], {"tracks": "ab"}, TypeError, r"^tracks must be a list of track names, not a str$"),
        ([], {"tracks": ["a", 1]}, TypeError, r"^tracks must hold str names, not int$"),
    ],
)
def test_bad_rows_name_the_row_and_the_field(rows, kwargs, error, message):
    with pytest.raises(error, match=message):
        events_batch(rows, **kwargs)


def test_package_exports():
    assert mirvon.events_batch is events_batch and mirvon.to_rows is to_rows
    assert {"Event", "MS_PER_YEAR", "events_batch", "exercise_rows", "to_millis", "to_rows"} <= set(mirvon.__all__)
    assert MS_PER_YEAR == 365 * 86_400_000


def test_exercise_rows_reset_the_value_track_at_every_date_but_the_last():
    rows = mirvon.exercise_rows("put", "ex", [10, 20], [(100.0, "USD"), (-1.0, "S")])
    assert rows == [
        ("put", 10, ">", 1.0, "ex"), ("ex", 10, "+", 100.0, "USD"), ("ex", 10, "+", -1.0, "S"),
        ("ex", 10, "+", -1.0, "ex"),
        ("put", 20, ">", 1.0, "ex"), ("ex", 20, "+", 100.0, "USD"), ("ex", 20, "+", -1.0, "S"),
    ]
    assert mirvon.exercise_rows("bond", "call", [5], [(100.0, "USD")], op="<")[0].op == "<"
    with pytest.raises(ValueError, match="op must be '>' or '<'"):
        mirvon.exercise_rows("put", "ex", [10], [], op="+")


def _stub_signatures(path):
    tree = ast.parse(path.read_text())
    return {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_type_stub_matches_the_module():
    stubs = _stub_signatures(ROOT / "python" / "_mirvon.pyi")
    public = {name for name in dir(_mirvon) if not name.startswith("_")}
    assert set(stubs) == public
    for name, args in stubs.items():
        runtime = inspect.signature(getattr(_mirvon, name)).parameters
        assert [a.arg for a in args.args] == list(runtime), name
        assert not args.posonlyargs and not args.kwonlyargs and not args.defaults, name
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in runtime.values()), name


def test_type_information_is_installed():
    extension = Path(_mirvon.__file__)
    assert (extension.parent / "_mirvon.pyi").read_text() == (ROOT / "python" / "_mirvon.pyi").read_text()
    assert (Path(mirvon.__file__).parent / "py.typed").exists()
