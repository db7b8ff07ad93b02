"""Rows for a choice that may be taken at several dates.

The grid engines have no phrases, so an exercise value lives on a track of
its own. At each date the holder's track keeps the better of its
continuation and that track's value; the value track is reset and refilled
at every date. Rows of equal time are applied from the last row up, which is
why the reset (the track referring to itself with quantity -1) comes last
among a date's rows, and the choice first.
"""

from __future__ import annotations

from typing import Iterable, Sequence

from mirvon.timetable import Event, Time


def exercise_rows(
    holder: str,
    value_track: str,
    times: Sequence[Time],
    value: Iterable[tuple[float, str]],
    op: str = ">",
) -> list[Event]:
    """Rows letting `holder` take the value of `value_track` at each of `times` (ascending).

    `value` lists the (quantity, unit) pairs whose sum is the value at each
    date: for a put with strike K on asset S in base USD, ``[(K, "USD"), (-1.0, "S")]``.
    `op` is ">" when the holder chooses (keeps the larger) and "<" when the
    other side does (keeps the smaller, as for a callable bond).
    """
    if op not in (">", "<"):
        raise ValueError(f"op must be '>' or '<', not {op!r}")
    parts = list(value)
    rows: list[Event] = []
    for n, t in enumerate(times):
        rows.append(Event(holder, t, op, 1.0, value_track))
        rows += [Event(value_track, t, "+", quantity, unit) for quantity, unit in parts]
        if n < len(times) - 1:
            rows.append(Event(value_track, t, "+", -1.0, value_track))
    return rows


__all__ = ["exercise_rows"]
