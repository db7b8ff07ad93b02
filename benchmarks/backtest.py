"""Time per event of the two backtests.

backtest_csv replays 1,000,000 asset events on 4 tracks over the constant
source; backtest_py replays 100,000 events whose values come from a trivial
Python get_value. Both figures include building the timetable and handing the
cashflows back as pyarrow record batches. For backtest_py the share of the
time spent inside get_value is measured by the source object itself.

A third figure replays 250,000 choice events (">") on one track through
backtest_csv against the same contract with "+": backtests always record
cashflows, so every choice that wins cancels the cashflows recorded after it.
Goal: the choices within 2x of the additions.

    python benchmarks/backtest.py [--repeat N] [--choice-events N] [--choice-repeat N]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pyarrow as pa

import _mirvon

TRACKS = ["T0", "T1", "T2", "T3"]
UNITS = ["USD", "STOCK", "BOND"]


def bulk_events(n: int, tracks=TRACKS, op="+") -> pa.RecordBatch:
    """n events with the op spread round-robin over the tracks, one
    millisecond apart, paying the base asset or one of two others."""
    rows = np.arange(n, dtype=np.int64)

    def dictionary(keys, values):
        return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(values, pa.string()))

    return pa.record_batch(
        {
            "track": dictionary(rows % len(tracks), tracks),
            "time": pa.array(rows, pa.timestamp("ms")),
            "op": dictionary(np.zeros(n, dtype=np.int64), [op]),
            "quantity": pa.array(1.0 + (rows % 7), pa.float64()),
            "unit": dictionary(rows % len(UNITS), UNITS),
        }
    )


class Sink:
    def __init__(self):
        self.rows = 0

    def set_stat(self, name, value):
        self.rows = sum(batch.num_rows for batch in value.values())


class TimedSource(Sink):
    """A get_value that answers at once and adds up its own running time."""

    def __init__(self):
        super().__init__()
        self.calls = 0
        self.inside = 0

    def get_value(self, name, t):
        start = time.perf_counter_ns()
        self.calls += 1
        value = 100.0
        self.inside += time.perf_counter_ns() - start
        return value


class PlainSource(Sink):
    def get_value(self, name, t):
        return 100.0


def best_of(repeat, run):
    best = None
    for _ in range(repeat):
        start = time.perf_counter_ns()
        extra = run()
        elapsed = time.perf_counter_ns() - start
        if best is None or elapsed < best[0]:
            best = (elapsed, extra)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5, help="runs per figure; the best is reported")
    parser.add_argument("--choice-events", type=int, default=250_000)
    parser.add_argument("--choice-repeat", type=int, default=None,
                        help="runs of the choice contract (default: --repeat)")
    args = parser.parse_args()

    n_csv = 1_000_000
    batch = bulk_events(n_csv)
    sink = Sink()
    elapsed, _ = best_of(args.repeat, lambda: _mirvon.backtest_csv(batch, sink, "unused.csv", "USD", {}))
    assert sink.rows == n_csv
    print(f"backtest_csv: {n_csv:,} events on {len(TRACKS)} tracks: {elapsed / n_csv:8.1f} ns/event "
          f"({elapsed / 1e6:.1f} ms per run, goal < 50 ns/event)")
    print(f"RESULT backtest_csv per event: {elapsed / n_csv:.1f} ns")
    sink.rows = 0

    n_py = 100_000
    batch = bulk_events(n_py)
    asked = sum(1 for i in range(n_py) if UNITS[i % len(UNITS)] != "USD")

    plain = PlainSource()
    elapsed, _ = best_of(args.repeat, lambda: _mirvon.backtest_py(batch, plain, {}, "USD"))
    print(f"backtest_py:  {n_py:,} events, {asked:,} get_value calls: {elapsed / n_py:8.1f} ns/event "
          f"({elapsed / 1e6:.1f} ms per run)")

    # The same contract over the constant source: what the run costs without Python.
    baseline, _ = best_of(args.repeat, lambda: _mirvon.backtest_csv(batch, sink, "", "USD", {}))
    print(f"  same events through backtest_csv: {baseline / n_py:8.1f} ns/event, so calling get_value "
          f"adds {(elapsed - baseline) / asked:.0f} ns per call ({(elapsed - baseline) / elapsed:.0%} of the run)")
    print(f"RESULT backtest_py per event: {elapsed / n_py:.1f} ns")
    print(f"RESULT backtest_py share of time in get_value calls: {(elapsed - baseline) / elapsed:.0%}")

    def timed_run():
        source = TimedSource()
        _mirvon.backtest_py(batch, source, {}, "USD")
        assert source.calls == asked
        return source

    timed, source = best_of(args.repeat, timed_run)
    # The object times its own body; the timer calls themselves inflate this run.
    print(f"  measured inside get_value: {source.inside / source.calls:.0f} ns per call, "
          f"{source.inside / timed:.0%} of that run ({timed / n_py:.1f} ns/event with the timers)")

    n_choice = args.choice_events
    repeat = args.choice_repeat or args.repeat
    timings = {}
    for op in ("+", ">"):
        batch = bulk_events(n_choice, tracks=["T0"], op=op)
        timings[op], _ = best_of(repeat, lambda: _mirvon.backtest_csv(batch, sink, "", "USD", {}))
        assert sink.rows == n_choice
        print(f"backtest_csv: {n_choice:,} \"{op}\" events on one track: {timings[op] / n_choice:8.1f} ns/event "
              f"({timings[op] / 1e6:.1f} ms per run)")
    ratio = timings[">"] / timings["+"]
    print(f"  \">\" takes {ratio:.2f} x the time of \"+\" (goal: at most 2)")
    print(f"RESULT backtest_csv choices per event: {timings['>'] / n_choice:.1f} ns")
    print(f"RESULT backtest_csv choices vs additions: {ratio:.2f} x")

if __name__ == "__main__":
    main()
