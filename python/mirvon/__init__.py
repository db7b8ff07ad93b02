"""Python helpers for the `_mirvon` pricing engine.

`mirvon.timetable.events_batch` builds the events record batch that every
engine function takes, with the 64-bit dictionary keys the engine requires;
`mirvon.timetable.to_rows` reads one back as plain rows;
`mirvon.exercise.exercise_rows` writes a choice that may be taken at several dates.
"""

from mirvon.exercise import exercise_rows
from mirvon.timetable import MS_PER_YEAR, Event, events_batch, to_millis, to_rows

__all__ = ["Event", "MS_PER_YEAR", "events_batch", "exercise_rows", "to_millis", "to_rows"]
