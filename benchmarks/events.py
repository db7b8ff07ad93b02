"""Time of mirvon.events on 1,000,000 rows, by kind of input.

The same contract (100 track names, three ops, ten units, times one second
apart) is read from a pyarrow Table with plain string columns, from a polars
DataFrame with its natural types (Categorical track, Enum op, String unit,
Datetime in microseconds, Float64 quantity) and from a list of Python tuples.
The figure is the best wall-clock time of several runs; the ratios compare
the columnar inputs with the tuples. A backtest over a 1,000,000-row long
price table with 100,000 events is timed as well.

    python benchmarks/events.py [--rows N] [--repeat N]
"""

from __future__ import annotations

import argparse
import time
from typing import Any, Callable

import numpy as np
import pyarrow as pa

import mirvon

T0 = 1_704_067_200_000
TRACKS = [f"bond{i}" for i in range(100)]
OPS = ["+", ">", "<"]
UNITS = ["USD", "EUR", "GBP", "SPX", "SX5E", "NKY", "AAPL", "MSFT", "GOLD", "OIL"]


def contract_table(n: int, seed: int = 1) -> pa.Table:
    rng = np.random.default_rng(seed)
    return pa.table(
        {
            "track": pa.array(np.array(TRACKS)[rng.integers(0, len(TRACKS), n)]),
            "time": pa.array(T0 + np.arange(n, dtype=np.int64) * 1000, pa.timestamp("ms")),
            "op": pa.array(np.array(OPS)[rng.integers(0, len(OPS), n)]),
            "quantity": pa.array(rng.standard_normal(n)),
            "unit": pa.array(np.array(UNITS)[rng.integers(0, len(UNITS), n)]),
        }
    )


def polars_frame(table: pa.Table) -> Any:
    import polars as pl

    return pl.from_arrow(table).with_columns(
        pl.col("track").cast(pl.Categorical),
        pl.col("op").cast(pl.Enum(OPS)),
        pl.col("time").cast(pl.Datetime("us")),
    )


def python_rows(table: pa.Table) -> list[tuple[Any, ...]]:
    columns = table.to_pydict()
    times = table.column("time").cast(pa.int64()).to_pylist()
    return list(zip(columns["track"], times, columns["op"], columns["quantity"], columns["unit"]))


def best_seconds(run: Callable[[], Any], repeat: int) -> tuple[float, float]:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times), max(times)


def backtest_seconds(repeat: int) -> tuple[float, float]:
    rng = np.random.default_rng(3)
    n_prices, n_events = 1_000_000, 100_000
    names = np.array(UNITS[1:5])
    prices = pa.table(
        {
            "time": pa.array(np.sort(rng.integers(0, 10**9, n_prices)), pa.int64()),
            "name": names[rng.integers(0, names.size, n_prices)],
            "value": rng.standard_normal(n_prices),
        }
    )
    trades = pa.table(
        {
            "track": ["pnl"] * n_events,
            "time": pa.array(np.sort(rng.integers(10**8, 10**9, n_events)), pa.int64()),
            "op": ["+"] * n_events,
            "quantity": np.ones(n_events),
            "unit": names[np.arange(n_events) % names.size],
        }
    )
    return best_seconds(lambda: mirvon.backtest(trades, prices, base="USD").cashflows, repeat)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    table = contract_table(args.rows)
    inputs: dict[str, Any] = {"pyarrow Table": table}
    try:
        inputs["polars DataFrame"] = polars_frame(table)
    except ImportError:
        print("polars is not installed: its figure is skipped")
    inputs["Python tuples"] = python_rows(table)

    expected = mirvon.events(table)
    figures = {}
    print(f"mirvon.events on {args.rows:,} rows ({len(TRACKS)} tracks, {len(OPS)} ops, {len(UNITS)} units)")
    for name, data in inputs.items():
        assert mirvon.events(data).equals(expected), name
        best, worst = best_seconds(lambda: mirvon.events(data), args.repeat)
        figures[name] = best
        print(f"  {name:18s} best {best * 1e3:8.1f} ms   worst {worst * 1e3:8.1f} ms   ({args.repeat} runs)")
    tuples = figures["Python tuples"]
    for name, seconds in figures.items():
        print(f"RESULT events {name} {args.rows:,} rows: {seconds * 1e3:.1f} ms")
        if name != "Python tuples":
            print(f"RESULT events {name} speed vs Python tuples: {tuples / seconds:.1f} x")

    best, worst = backtest_seconds(max(1, args.repeat // 2))
    print(f"backtest over 1,000,000 prices, 100,000 events: best {best:.3f} s, worst {worst:.3f} s")
    print(f"RESULT backtest price table 1M prices 100k events: {best * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
