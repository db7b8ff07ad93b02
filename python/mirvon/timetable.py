"""Build the events record batch of a contract from plain Python rows."""

from __future__ import annotations

import datetime as _dt
import math
from typing import Iterable, NamedTuple, Optional, Union

import pyarrow as pa

#: Milliseconds in the engine's 365-day year.
MS_PER_YEAR = 31_536_000_000

Time = Union[int, _dt.datetime, _dt.date, None]


class Event(NamedTuple):
    """One row of a contract: the track it books into, when, how, how much, and of what."""

    track: Optional[str]
    time: Time
    op: Optional[str]
    quantity: float
    unit: Optional[str]


_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)


def to_millis(time: Time) -> Optional[int]:
    """Milliseconds since 1970-01-01 UTC; naive datetimes are taken as UTC."""
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
    raise TypeError(
        f"time must be an int of milliseconds, a datetime or a date, not {type(time).__name__}"
    )


def _dictionary(values: list[Optional[str]], column: str, preset: Iterable[str] = ()) -> pa.DictionaryArray:
    # The engine indexes its parsed dictionaries with the keys directly, and it
    # accepts only 64-bit signed keys (pyarrow's default is 32-bit).
    texts: list[str] = []
    positions: dict[str, int] = {}
    for name in preset:
        if name not in positions:
            positions[name] = len(texts)
            texts.append(name)
    keys: list[Optional[int]] = []
    for value in values:
        if value is None:
            keys.append(None)
            continue
        if not isinstance(value, str):
            raise TypeError(f"{column} must be a str or None, not {type(value).__name__}")
        if value not in positions:
            positions[value] = len(texts)
            texts.append(value)
        keys.append(positions[value])
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(texts, pa.string()))


def events_batch(rows: Iterable[Union[Event, tuple]], *, tracks: Iterable[str] = ()) -> pa.RecordBatch:
    """The events record batch for rows of (track, time, op, quantity, unit).

    `tracks` fixes the first track names in order, so that a track's number
    (its dictionary key) is known in advance; track 0's present value is the
    price. Otherwise tracks are numbered in order of first appearance.
    """
    rows = [Event(*row) for row in rows]
    times = []
    quantities = []
    for i, row in enumerate(rows):
        times.append(to_millis(row.time))
        try:
            quantity = float(row.quantity)
        except (TypeError, ValueError):
            raise TypeError(f"row {i}: quantity must be a number, not {type(row.quantity).__name__}") from None
        quantities.append(quantity)
    return pa.record_batch(
        {
            "track": _dictionary([r.track for r in rows], "track", tracks),
            "time": pa.array(times, pa.timestamp("ms")),
            "op": _dictionary([r.op for r in rows], "op"),
            "quantity": pa.array(quantities, pa.float64()),
            "unit": _dictionary([r.unit for r in rows], "unit"),
        }
    )
