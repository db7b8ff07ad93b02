"""Build the events record batch of a contract from plain Python rows.

A contract is a list of events, one row each::

    (track, time, op, quantity, unit)

- ``track``: the name of the leg or account the event books into (str), or
  None for no track. Tracks are numbered by their position in the track
  dictionary; track 0's present value is the price, so pass ``tracks=[...]``
  to fix the numbering.
- ``time``: milliseconds since 1970-01-01 UTC (int), a ``datetime`` (naive
  ones are taken as UTC), a ``date`` (midnight UTC), a NumPy ``datetime64``,
  or None for no time.
- ``op``: ``"+"`` (add), ``">"`` (keep the larger), ``"<"`` (keep the
  smaller), any other text (the name of a condition), or None (no op).
- ``quantity``: a real number (int, float or a NumPy number).
- ``unit``: what the event is worth: a track name, an asset name, a phrase,
  a snapper or one of its outputs (str), or None for no unit.

The engine requires the three text columns as dictionaries with signed
64-bit keys and plain UTF-8 values, the time column as a millisecond
timestamp and the quantity as float64. ``events_batch`` produces exactly
that, so callers never hand-build dictionary arrays. Bad rows raise
TypeError or ValueError naming the row and the field.
"""

from __future__ import annotations

import datetime as _dt
import numbers
import operator
from typing import Any, Iterable, NamedTuple, Optional, Union

import pyarrow as pa

#: Milliseconds in the engine's 365-day year.
MS_PER_YEAR = 31_536_000_000

Time = Union[int, _dt.datetime, _dt.date, None]

_FIELDS = ("track", "time", "op", "quantity", "unit")
_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


class Event(NamedTuple):
    """One row of a contract: the track it books into, when, how, how much, and of what."""

    track: Optional[str]
    time: Time
    op: Optional[str]
    quantity: float
    unit: Optional[str]


_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)


def _datetime64_millis(time: Any) -> Optional[int]:
    # Imported lazily: NumPy is a dependency of the engine, but plain callers
    # of this module should not pay for it unless they pass a datetime64.
    import numpy as np

    if np.isnat(time):
        return None
    return int(time.astype("datetime64[ms]").astype(np.int64))


def to_millis(time: Time) -> Optional[int]:
    """Milliseconds since 1970-01-01 UTC; naive datetimes are taken as UTC.

    Sub-millisecond parts of a datetime are dropped (rounded toward the past).
    """
    if time is None:
        return None
    if isinstance(time, bool):
        raise TypeError("time must be an int of milliseconds, a datetime or a date, not bool")
    if isinstance(time, int):
        return time
    if isinstance(time, _dt.datetime):
        if time.tzinfo is None:
            time = time.replace(tzinfo=_dt.timezone.utc)
        delta = time - _EPOCH
        return (delta.days * 86_400 + delta.seconds) * 1000 + delta.microseconds // 1000
    if isinstance(time, _dt.date):
        return to_millis(_dt.datetime(time.year, time.month, time.day))
    if type(time).__name__ == "datetime64":
        return _datetime64_millis(time)
    if isinstance(time, numbers.Integral):
        # NumPy integers and other exact integer types.
        return operator.index(time)
    if isinstance(time, float):
        raise TypeError(
            "time must be an int of milliseconds, a datetime or a date, not float "
            "(convert with int(...) if the value is a whole number of milliseconds)"
        )
    raise TypeError(
        f"time must be an int of milliseconds, a datetime or a date, not {type(time).__name__}"
    )


def _row(i: int, row: Any) -> Event:
    if isinstance(row, Event):
        return row
    if isinstance(row, (str, bytes)) or not hasattr(row, "__len__"):
        raise TypeError(
            f"row {i}: expected a sequence of 5 fields (track, time, op, quantity, unit), "
            f"not {type(row).__name__}"
        )
    if len(row) != 5:
        raise ValueError(
            f"row {i}: expected 5 fields (track, time, op, quantity, unit), got {len(row)}"
        )
    return Event(*row)


def _time(i: int, time: Any) -> Optional[int]:
    try:
        ms = to_millis(time)
    except TypeError as exc:
        raise TypeError(f"row {i}: {exc}") from None
    if ms is not None and not _INT64_MIN <= ms <= _INT64_MAX:
        raise ValueError(f"row {i}: time {ms} ms is outside the signed 64-bit range")
    return ms


def _quantity(i: int, quantity: Any) -> float:
    # Text would convert silently through float(); a quantity must be a number.
    if isinstance(quantity, (str, bytes, bool)) or quantity is None:
        raise TypeError(f"row {i}: quantity must be a number, not {type(quantity).__name__}")
    try:
        return float(quantity)
    except OverflowError:
        raise ValueError(f"row {i}: quantity is too large for a 64-bit float") from None
    except (TypeError, ValueError):
        raise TypeError(f"row {i}: quantity must be a number, not {type(quantity).__name__}") from None


def _dictionary(
    values: list[Optional[str]], column: str, preset: Iterable[str] = ()
) -> pa.DictionaryArray:
    # The engine indexes its parsed dictionaries with the keys directly, and it
    # accepts only 64-bit signed keys (pyarrow's default is 32-bit).
    texts: list[str] = []
    positions: dict[str, int] = {}
    for name in preset:
        if not isinstance(name, str):
            raise TypeError(f"tracks must hold str names, not {type(name).__name__}")
        if name in positions:
            raise ValueError(f"tracks lists {name!r} twice; each track name has one number")
        positions[name] = len(texts)
        texts.append(name)
    keys: list[Optional[int]] = []
    for i, value in enumerate(values):
        if value is None:
            keys.append(None)
            continue
        if not isinstance(value, str):
            raise TypeError(f"row {i}: {column} must be a str or None, not {type(value).__name__}")
        if value not in positions:
            positions[value] = len(texts)
            texts.append(value)
        keys.append(positions[value])
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(texts, pa.string()))


def events_batch(rows: Iterable[Union[Event, tuple[Any, ...]]], *, tracks: Iterable[str] = ()) -> pa.RecordBatch:
    """The events record batch for rows of (track, time, op, quantity, unit).

    `tracks` fixes the first track names in order, so that a track's number
    (its dictionary key) is known in advance; track 0's present value is the
    price. Otherwise tracks are numbered in order of first appearance.

    Rows keep their order: the engines walk events in row order and never
    sort them. Raises TypeError or ValueError naming the row and the field
    for a row that is not a 5-field sequence, a time that is not an int of
    milliseconds, a datetime or a date, a quantity that is not a number, or
    a track, op or unit that is neither a str nor None.
    """
    if isinstance(tracks, str):
        raise TypeError("tracks must be a list of track names, not a str")
    events = [_row(i, row) for i, row in enumerate(rows)]
    times = [_time(i, row.time) for i, row in enumerate(events)]
    quantities = [_quantity(i, row.quantity) for i, row in enumerate(events)]
    return pa.record_batch(
        {
            "track": _dictionary([r.track for r in events], "track", tracks),
            "time": pa.array(times, pa.timestamp("ms")),
            "op": _dictionary([r.op for r in events], "op"),
            "quantity": pa.array(quantities, pa.float64()),
            "unit": _dictionary([r.unit for r in events], "unit"),
        }
    )


def to_rows(batch: Any) -> list[Event]:
    """The rows of an events batch, with times in milliseconds: the inverse of `events_batch`.

    Accepts a pyarrow RecordBatch or Table; dictionary columns are decoded to
    their texts. Useful to print or check a contract that was built elsewhere.
    """
    columns = {name: batch.column(name) for name in _FIELDS}

    def texts(name: str) -> list[Optional[str]]:
        column = columns[name]
        if pa.types.is_dictionary(column.type):
            column = column.cast(column.type.value_type)
        values: list[Optional[str]] = column.to_pylist()
        return values

    times = columns["time"].cast(pa.int64()).to_pylist()
    quantities = columns["quantity"].to_pylist()
    return [
        Event(track, time, op, quantity, unit)
        for track, time, op, quantity, unit in zip(
            texts("track"), times, texts("op"), quantities, texts("unit")
        )
    ]


__all__ = ["Event", "MS_PER_YEAR", "events_batch", "to_millis", "to_rows"]

