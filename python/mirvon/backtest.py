"""Replay a contract over a price history and get its cashflows as a `Result`.

`backtest(events, prices, *, base)` runs the engine's one-path replay. The
prices are either an object with ``get_value(name, time)`` or a table, in
long form (columns "time", "name", "value") or wide form ("time" and one
numeric column per asset). A table is read as of each event: an asset is
worth its latest price at or before the event's time.
"""

from __future__ import annotations

import datetime as dt
from typing import Any, Optional

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

import _mirvon
from mirvon.result import Result, StateWithSink, Stats
from mirvon.tables import as_table, column, column_fits, column_problems, events as read_events, millis, text_keys

_LONG = {"time": "time", "name": "text", "value": "number"}


def _iso(ms: int) -> str:
    try:
        moment = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(milliseconds=ms)
    except OverflowError:
        return f"{ms} ms"  # beyond the calendar's years 1 to 9999
    return moment.isoformat(timespec="milliseconds")


class MissingPrice(LookupError):
    """The price table has no price for an asset at or before an event's time."""


class PriceTable:
    """``get_value(name, time)`` over a price table: the latest price at or before `time`.

    Rows with a null value (or a null name) are skipped, so the price before
    them holds. Of several prices of one asset at the same time, the last row
    wins. The first request for an asset looks its price up at once at the
    times of all events whose unit it is (or of all events, for a name that
    only phrases use); the engine's calls after that are dictionary lookups.
    """

    def __init__(self, table: pa.Table, events: pa.RecordBatch) -> None:
        self._events = events
        self._series = _long_series(table) if "name" in table.schema.names else _wide_series(table)
        self._at_events: dict[str, dict[int, float]] = {}
        #: The first lookup that failed, for an error that names the asset and the time.
        self.missing: Optional[MissingPrice] = None

    def get_value(self, name: str, time: int) -> float:
        try:
            return self._at_events[name][time]
        except KeyError:
            return self._look_up(name, time)

    def _look_up(self, name: str, time: int) -> float:
        if name not in self._series:
            known = ", ".join(map(repr, sorted(self._series))) or "none"
            self.missing = MissingPrice(f"no price for {name!r} at {_iso(time)}: the price table has no such asset (it has {known})")
            raise self.missing
        times, values = self._series[name]
        if name not in self._at_events:
            wanted = self._event_times(name)
            at = np.searchsorted(times, wanted, side="right") - 1
            priced = at >= 0
            self._at_events[name] = dict(zip(wanted[priced].tolist(), values[at[priced]].tolist()))
            if time in self._at_events[name]:
                return self._at_events[name][time]
        at = int(np.searchsorted(times, time, side="right")) - 1
        if at < 0:
            self.missing = MissingPrice(
                f"no price for {name!r} at or before {_iso(time)} ({time} ms): its first price is at {_iso(int(times[0]))}"
            )
            raise self.missing
        return float(values[at])

    def _event_times(self, name: str) -> np.ndarray:
        unit = self._events.column("unit")
        times = self._events.column("time").cast(pa.int64())
        position = unit.dictionary.index(name).as_py()
        if position >= 0:
            times = times.filter(pc.equal(unit.indices, position))
        return times.drop_null().to_numpy()


def _raise(problems: list[str], error: type[Exception]) -> None:
    if problems:
        raise error("the price table does not fit:\n" + "\n".join(problems))


def _times(table: pa.Table) -> np.ndarray:
    times, problem = millis(column(table, "time"), "time")
    if times is not None and times.null_count:
        problem = f"  'time': row {pc.index(pc.is_null(times), True).as_py()} is null; every price needs a time"
    _raise([problem] if problem else [], ValueError)
    return times.to_numpy()


def _long_series(table: pa.Table) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    _raise(column_problems(table, _LONG), TypeError)
    times = _times(table)
    keys, names = text_keys(column(table, "name"))
    values = pc.cast(column(table, "value"), pa.float64(), safe=False).combine_chunks()
    kept = pc.and_(pc.is_valid(keys), pc.is_valid(values))
    keys_np = keys.filter(kept).to_numpy(zero_copy_only=False).astype(np.int16 if len(names) < 2**15 else np.int64)
    times_np = times[kept.to_numpy(zero_copy_only=False)]
    values_np = values.filter(kept).to_numpy(zero_copy_only=False)
    # Sorted by name, then time; stable sorts keep rows of equal time in table
    # order. By time first (quick when already sorted), then by the small keys.
    order = np.argsort(times_np, kind="stable")
    order = order[np.argsort(keys_np[order], kind="stable")]
    keys_np, times_np, values_np = keys_np[order], times_np[order], values_np[order]
    bounds = np.searchsorted(keys_np, np.arange(len(names) + 1))
    return {
        name: (times_np[bounds[k] : bounds[k + 1]], values_np[bounds[k] : bounds[k + 1]])
        for k, name in enumerate(names.to_pylist())
        if bounds[k + 1] > bounds[k]
    }


def _wide_series(table: pa.Table) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    assets = [name for name in table.schema.names if name != "time"]
    problems = column_problems(table, {"time": "time"})
    problems += [
        f"  '{name}': found {column(table, name).type}; expected a price: an integer, float or decimal type"
        for name in assets
        if not column_fits("number", column(table, name).type)
    ]
    if not assets:
        problems.append("  no asset columns: give 'time' and one numeric column per asset, or 'time', 'name' and 'value'")
    _raise(problems, TypeError)
    times = _times(table)
    order = np.argsort(times, kind="stable")
    times = times[order]
    series = {}
    for name in assets:
        values = pc.cast(column(table, name), pa.float64(), safe=False).combine_chunks()
        priced = values.is_valid().to_numpy(zero_copy_only=False)[order]
        series[name] = (times[priced], values.to_numpy(zero_copy_only=False)[order][priced])
    return series


def backtest(events: Any, prices: Any, *, base: str, expressions: Optional[dict[str, Any]] = None) -> Result:
    """Replay a contract on one path over `prices` and return a `Result` with its cashflows.

    `events`: anything `mirvon.events` reads. `prices`: an object with
    ``get_value(name, time)`` (time in milliseconds; passed to the engine as
    it is), or a table in long form (``time``, ``name``, ``value``) or wide
    form (``time`` and one numeric column per asset), read as of each event:
    the latest price at or before the event's time. `base` is worth 1 and is
    never looked up. Nothing is discounted.

    ``Result.cashflows`` lists every cashflow with its event; ``Result.price``
    is the sum of track 0's cashflows, what track 0 is worth over the
    replayed path. An event before an asset's first price, or an asset the
    table does not have, raises `MissingPrice` naming the asset and the time.
    """
    batch = read_events(events)
    if callable(getattr(prices, "get_value", None)):
        source = prices
    else:
        table = as_table(prices)
        if table is None:
            raise TypeError(
                f"prices must be a table or an object with get_value(name, time), not {type(prices).__name__}"
            )
        source = PriceTable(table, batch)
    stats = Stats()
    try:
        _mirvon.backtest_py(batch, StateWithSink(source, stats), {} if expressions is None else expressions, base)
    except RuntimeError as error:
        missing = getattr(source, "missing", None) if isinstance(source, PriceTable) else None
        if missing is not None:
            raise missing from error
        raise
    track_0 = stats.stats.get("CASHFLOW", {}).get(0)
    price = float(pc.sum(track_0.column("value")).as_py() or 0.0) if track_0 is not None else 0.0
    return Result(price, stats.stats, batch, "backtest")


__all__ = ["MissingPrice", "PriceTable", "backtest"]
