"""Helpers for events record batches built from plain Python rows.

`mirvon.events` is the front door: it reads rows or any table. This module
keeps the row-level helpers: `to_millis` converts one time, `to_rows` reads a
batch back as rows, and `events_batch` builds a batch from rows with a fixed
track dictionary. Rows are described in `mirvon.rows`.
"""

from __future__ import annotations

from typing import Any, Iterable, Optional, Union

import pyarrow as pa

from mirvon.rows import Event, Time, to_millis
from mirvon.tables import engine_batch

#: Milliseconds in the engine's 365-day year.
MS_PER_YEAR = 31_536_000_000

_FIELDS = ("track", "time", "op", "quantity", "unit")


def events_batch(rows: Iterable[Union[Event, tuple[Any, ...]]], *, tracks: Iterable[str] = ()) -> pa.RecordBatch:
    """The events record batch for rows of (track, time, op, quantity, unit).

    As `mirvon.events` on Python rows, with the older rules of this helper:
    `tracks` presets the first entries of the track dictionary, whether or
    not any row books into them (so a batch can leave track 0 empty), and a
    sub-millisecond part of a datetime is rounded toward the past.
    """
    return engine_batch(rows, tracks, tracks_must_occur=False, exact_times=False)


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


__all__ = ["Event", "MS_PER_YEAR", "Time", "events_batch", "to_millis", "to_rows"]

