"""The front door of the `_mirvon` pricing engine.

- `mirvon.events` reads a contract from Python rows or any table (pyarrow,
  polars, duckdb, pandas, arro3, nanoarrow) into the engine's events batch;
- `mirvon.price` prices it under ``"fixed"``, ``"mc"``, ``"blackscholes"`` or
  ``"hullwhite"`` and returns a `mirvon.Result` with the statistics as tables
  joined to the events; `mirvon.backtest` replays it over a price table;
- `mirvon.Stats` is the ``set_stat`` sink for direct calls of `_mirvon`;
- `mirvon.timetable` keeps the row helpers (`events_batch`, `to_rows`,
  `to_millis`); `mirvon.exercise_rows` writes a choice that may be taken at
  several dates;
- `mirvon.price_portfolio` prices a whole book (one table, a contract column)
  on every core into a `mirvon.PortfolioResult`; `mirvon.spark.price_portfolio`
  does the same on a Spark DataFrame.
"""

from mirvon.backtest import MissingPrice, backtest
from mirvon.exercise import exercise_rows
from mirvon.portfolio import PortfolioResult, price_portfolio
from mirvon.pricing import price
from mirvon.result import Result, Stats
from mirvon.tables import events
from mirvon.timetable import MS_PER_YEAR, Event, events_batch, to_millis, to_rows

__all__ = [
    "Event",
    "MS_PER_YEAR",
    "MissingPrice",
    "PortfolioResult",
    "Result",
    "Stats",
    "backtest",
    "events",
    "events_batch",
    "exercise_rows",
    "price",
    "price_portfolio",
    "to_millis",
    "to_rows",
]
