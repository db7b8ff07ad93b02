"""Read a contract given as plain Python rows into columns.

A contract is a list of events, one row each::

    (track, time, op, quantity, unit)

- ``track``: the name of the leg or account the event books into (str), or
  None for no track.
- ``time``: milliseconds since 1970-01-01 UTC (int), a ``datetime`` (naive
  ones are taken as UTC), a ``date`` (midnight UTC), a NumPy ``datetime64``,
  or None for no time.
- ``op``: ``"+"`` (add), ``">"`` (keep the larger), ``"<"`` (keep the
  smaller), any other text (the name of a condition), or None (no op).
- ``quantity``: a real number (int, float or a NumPy number).
- ``unit``: what the event is worth: a track name, an asset name, a phrase,
  a snapper or one of its outputs (str), or None for no unit.

Rows whose fields all have the plain types (str or None, int, float) are
turned into columns by pyarrow in one pass per column; other rows fall back
to a check of each field, which also names the first bad row and field.
"""

from __future__ import annotations

import datetime as _dt
import numbers
import operator
from typing import Any, Callable, Iterable, NamedTuple, Optional, Sequence, Union

import pyarrow as pa

Time = Union[int, _dt.datetime, _dt.date, None]

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)


class Event(NamedTuple):
    """One row of a contract: the track it books into, when, how, how much, and of what."""

    track: Optional[str]
    time: Time
    op: Optional[str]
    quantity: float
    unit: Optional[str]


def _datetime64_millis(time: Any) -> Optional[int]:
    # Imported lazily: plain callers of this module should not pay for NumPy
    # unless they pass a datetime64.
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


def _has_sub_millisecond_part(time: Any) -> bool:
    if isinstance(time, _dt.datetime):
        return time.microsecond % 1000 != 0
    if type(time).__name__ == "datetime64":
        import numpy as np

        return not np.isnat(time) and time.astype("datetime64[ms]") != time
    return False


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


def _time(i: int, time: Any, exact: bool) -> Optional[int]:
    try:
        ms = to_millis(time)
    except TypeError as exc:
        raise TypeError(f"row {i}: {exc}") from None
    if ms is not None and not _INT64_MIN <= ms <= _INT64_MAX:
        raise ValueError(f"row {i}: time {ms} ms is outside the signed 64-bit range")
    if exact and _has_sub_millisecond_part(time):
        # Rounding would move the event, and with it a cashflow, silently.
        raise ValueError(f"row {i}: time {time!r} has a sub-millisecond part; the engine counts whole milliseconds")
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


def _text(column: str) -> Callable[[int, Any], Optional[str]]:
    def check(i: int, value: Any) -> Optional[str]:
        if value is not None and not isinstance(value, str):
            raise TypeError(f"row {i}: {column} must be a str or None, not {type(value).__name__}")
        return value

    return check


_PLAIN_TEXT = {str, type(None)}
_PLAIN_TIME = {int, type(None)}
_PLAIN_QUANTITY = {float, int}
_PLAIN_ROW = {tuple, list, Event}


def _column(values: Sequence[Any], plain: set[type], arrow_type: pa.DataType, check: Callable[[int, Any], Any]) -> pa.Array:
    if set(map(type, values)) <= plain:
        try:
            return pa.array(values, arrow_type)
        except (OverflowError, pa.ArrowInvalid):
            pass  # out of range: the check below says which row
    return pa.array([check(i, value) for i, value in enumerate(values)], arrow_type)


def rows_table(rows: Iterable[Any], *, exact_times: bool = True) -> pa.Table:
    """The five columns of `rows`: texts as utf8, times as int64 milliseconds, quantities as float64.

    Rows keep their order. Raises TypeError or ValueError naming the row and
    the field for a row that is not a 5-field sequence, a time that is not an
    int of milliseconds, a datetime or a date (or, with `exact_times`, has a
    sub-millisecond part), a quantity that is not a number, or a track, op or
    unit that is neither a str nor None.
    """
    if isinstance(rows, (str, bytes)) or not hasattr(rows, "__iter__"):
        raise TypeError(
            "events must be a table (pyarrow, polars, duckdb, pandas, or any object with "
            f"__arrow_c_stream__ or __arrow_c_array__) or an iterable of rows, not {type(rows).__name__}"
        )
    rows = rows if isinstance(rows, list) else list(rows)
    if not (set(map(type, rows)) <= _PLAIN_ROW and set(map(len, rows)) <= {5}):
        rows = [_row(i, row) for i, row in enumerate(rows)]
    # One pass per field; zip(*rows) would take a million-argument call.
    track, time, op, quantity, unit = (list(map(operator.itemgetter(k), rows)) for k in range(5))
    return pa.table(
        {
            # Checked in this order so that the first error is the one a reader of the rows meets first.
            "time": _column(time, _PLAIN_TIME, pa.int64(), lambda i, t: _time(i, t, exact_times)),
            "quantity": _column(quantity, _PLAIN_QUANTITY, pa.float64(), _quantity),
            "track": _column(track, _PLAIN_TEXT, pa.string(), _text("track")),
            "op": _column(op, _PLAIN_TEXT, pa.string(), _text("op")),
            "unit": _column(unit, _PLAIN_TEXT, pa.string(), _text("unit")),
        }
    )


__all__ = ["Event", "Time", "rows_table", "to_millis"]
