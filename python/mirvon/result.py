"""What a pricing run or a backtest hands back, as a price, arrays and tables joined with the events.

`Stats` is the statistics sink: the engine calls its ``set_stat(name, value)``
with the statistics that the dataset's "FLAGS" select. `Result` reads them
once the run is over and joins them with the events batch of the run, so
that each cashflow or choice comes with its row, track name, time, op,
quantity and unit. Tables are built on first access, so a caller that needs
only the price pays nothing for them.
"""

from __future__ import annotations

from typing import Any, Callable, Optional

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

RESULT_TABLE_SCHEMA = pa.schema(
    [
        ("row", pa.int64()),
        ("track", pa.string()),
        ("time", pa.timestamp("ms", tz="UTC")),
        ("op", pa.string()),
        ("quantity", pa.float64()),
        ("unit", pa.string()),
        ("value", pa.float64()),
    ]
)


class Stats:
    """A statistics sink: keeps each statistic handed to ``set_stat``, by name."""

    def __init__(self) -> None:
        self.stats: dict[str, Any] = {}

    def set_stat(self, name: str, value: Any) -> None:
        self.stats[name] = value


class StateWithSink:
    """A caller's state object (a Monte Carlo model, a backtest's price source) as the engine sees it.

    The engine calls ``set_stat`` on the object that also simulates or
    supplies values. This stand-in keeps the statistics in `stats` and
    forwards them to the object's own ``set_stat`` if it has one; every other
    attribute is the object's own. The methods the engine calls per event are
    bound once, so that they cost no extra lookup.
    """

    def __init__(self, state: Any, stats: Stats) -> None:
        self._state = state
        self._stats = stats
        self._own_set_stat = getattr(state, "set_stat", None)
        for name in ("advance", "get_value"):
            method = getattr(state, name, None)
            if method is not None:
                setattr(self, name, method)

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") or name in ("_state", "_stats", "_own_set_stat"):
            # Not the object's: special names, and this stand-in's own before
            # they are set (copy and pickle look them up on an empty instance).
            raise AttributeError(name)
        return getattr(self._state, name)

    def set_stat(self, name: str, value: Any) -> None:
        self._stats.set_stat(name, value)
        if self._own_set_stat is not None:
            self._own_set_stat(name, value)


def _centre(paths: np.ndarray) -> np.ndarray:
    return paths[:, (paths.shape[1] - 1) // 2].astype(np.float64)


def _mean(paths: np.ndarray) -> np.ndarray:
    return paths.mean(axis=1, dtype=np.float64)


#: How one number per row is read from the rows' per-path or per-node vectors, by kind of run.
_SUMMARY: dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "fixed": _mean,
    "mc": _mean,
    "blackscholes": _centre,
    "hullwhite": _centre,
    "backtest": _mean,
}


class Result:
    """The outcome of `mirvon.price` or `mirvon.backtest`.

    - ``price``: track 0's present value (for a backtest: the sum of track
      0's cashflows over the replayed path, undiscounted).
    - ``pv_vec``: track 0's present value per path or grid node (float64
      array), or None when "PV_VEC" was not asked for.
    - ``cashflows``: a pyarrow Table, one row per event that paid on a track,
      sorted by row, with the columns row, track, time, op, quantity and unit
      of that event and ``value``; None when "CASHFLOW" was not asked for.
      ``value`` is the discounted cashflow for ``"fixed"``; its mean over
      paths (the expected discounted cashflow) for ``"mc"``; for the grids,
      the cashflow at the centre node at the event's own time (undiscounted,
      as if the grid variable then stood where it stands today: ln S0 on the
      Black-Scholes grid, x = 0 on the Hull-White grid); and the cashflow
      itself for a backtest (undiscounted). A cashflow that a later choice gave
      up is 0 where it was given up.
    - ``cashflow_paths``: the per-path (or per-node) vectors behind
      ``cashflows``, a 2-d float64 array whose row i belongs to row i of the
      table.
    - ``choices``: as ``cashflows`` for the ">" and "<" events, ``value``
      being the share of paths on which the event's value won (0 or 1 for
      ``"fixed"``, the centre node's choice for the grids); None when
      "CHOICES" was not asked for. ``choice_paths`` holds the per-path
      choices (uint64, 1 where the event's value won).
    - ``delta``, ``gamma``: grid Greeks when asked for, else None.
    - ``tracks``: the track names by number; track 0 is priced.
    - ``events``: the events batch that was run.
    """

    def __init__(
        self,
        price: float,
        stats: dict[str, Any],
        events: pa.RecordBatch,
        kind: str,
        *,
        delta: Optional[float] = None,
        gamma: Optional[float] = None,
    ) -> None:
        self.price = price
        self.events = events
        self.delta = delta
        self.gamma = gamma
        self._stats = stats
        self._summary = _SUMMARY[kind]
        self._tables: dict[str, tuple[pa.Table, np.ndarray]] = {}

    @property
    def pv_vec(self) -> Optional[np.ndarray]:
        return self._stats.get("PV_VEC")

    @property
    def tracks(self) -> list[str]:
        names: list[str] = self.events.column("track").dictionary.to_pylist()
        return names

    @property
    def cashflows(self) -> Optional[pa.Table]:
        return self._table("CASHFLOW")[0]

    @property
    def cashflow_paths(self) -> Optional[np.ndarray]:
        return self._table("CASHFLOW")[1]

    @property
    def choices(self) -> Optional[pa.Table]:
        return self._table("CHOICES")[0]

    @property
    def choice_paths(self) -> Optional[np.ndarray]:
        return self._table("CHOICES")[1]

    def _table(self, name: str) -> tuple[Optional[pa.Table], Optional[np.ndarray]]:
        if name not in self._stats:
            return None, None
        if name not in self._tables:
            self._tables[name] = self._join(*_entries(name, self._stats[name]))
        return self._tables[name]

    def _join(self, rows: np.ndarray, tracks: np.ndarray, paths: np.ndarray) -> tuple[pa.Table, np.ndarray]:
        order = np.argsort(rows, kind="stable")
        taken = pa.array(rows[order])
        track = tracks[order]
        paths = paths[order]
        values = self._summary(paths)

        def texts(column: str) -> pa.Array:
            return pc.take(self.events.column(column), taken).cast(pa.string())

        table = pa.Table.from_arrays(
            [
                taken,
                pc.take(self.events.column("track").dictionary, pa.array(track)),
                pc.take(self.events.column("time"), taken).cast(RESULT_TABLE_SCHEMA.field("time").type),
                texts("op"),
                pc.take(self.events.column("quantity"), taken),
                texts("unit"),
                pa.array(values, pa.float64()),
            ],
            schema=RESULT_TABLE_SCHEMA,
        )
        return table, paths

    def __repr__(self) -> str:
        shown = [f"price={self.price!r}"]
        shown += [f"{name}={value!r}" for name, value in (("delta", self.delta), ("gamma", self.gamma)) if value is not None]
        shown += [attribute for attribute, stat in _STATS.items() if stat in self._stats]
        return f"Result({', '.join(shown)})"


_STATS = {"pv_vec": "PV_VEC", "cashflows": "CASHFLOW", "choices": "CHOICES"}


def _entries(name: str, stat: dict[int, Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(rows, tracks, per-path vectors as a 2-d array) of a CASHFLOW or CHOICES statistic."""
    rows: list[np.ndarray] = []
    tracks: list[np.ndarray] = []
    paths: list[np.ndarray] = []
    for outer, inner in stat.items():
        if isinstance(inner, pa.RecordBatch):
            # A backtest's cashflows: one batch of (index, value) per track.
            index = inner.column("index").to_numpy().astype(np.int64)
            rows.append(index)
            tracks.append(np.full(index.size, outer, dtype=np.int64))
            paths.append(inner.column("value").to_numpy()[:, np.newaxis])
        elif inner:
            # CASHFLOW is keyed track -> row, CHOICES row -> track.
            keys = np.fromiter(inner.keys(), dtype=np.int64, count=len(inner))
            others = np.full(keys.size, outer, dtype=np.int64)
            rows.append(keys if name == "CASHFLOW" else others)
            tracks.append(others if name == "CASHFLOW" else keys)
            paths.append(np.stack(list(inner.values())))
    if not rows:
        return np.empty(0, np.int64), np.empty(0, np.int64), np.empty((0, 1))
    return np.concatenate(rows), np.concatenate(tracks), np.concatenate(paths)


__all__ = ["Result", "StateWithSink", "Stats"]
