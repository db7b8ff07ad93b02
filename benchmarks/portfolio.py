"""Time `mirvon.price_portfolio` on a book of bonds against QuantLib.

The book: N bonds (100,000 by default) of 20 semi-annual payments each, in
one table of 20 N rows with the columns contract (int64), track, time
(timestamp[ms, UTC], whole days), op, quantity and unit; coupons and first
payment dates differ from bond to bond. Every bond is discounted on a flat 5%
continuously compounded zero curve.

- ours: `mirvon.price_portfolio(book, dataset, "fixed", workers=W)` for
  W = 1 and 2: cutting the contracts out of the table, the per-contract
  batches, the engine calls and the result table, all inside the timing.
- QuantLib: `CashFlows.npv` of one leg of `SimpleCashFlow`s per bond, on a
  `FlatForward` curve (Actual/365 Fixed, continuous), once counting the
  building of the legs from the same table and once over prebuilt legs.
- Spark (local mode, ``master("local[2]")``): `mirvon.spark.price_portfolio`
  on a DataFrame of the same book, cached before the timing, collected.

Each figure is the best of several runs; the worst is printed beside it, and
the CPU seconds of the best run (the caller's and its workers'; for Spark the
driver's only), which a busy machine disturbs less than wall-clock times.

    python benchmarks/portfolio.py [--bonds N] [--repeat R] [--spark-repeat R] [--no-spark]
"""

from __future__ import annotations

import argparse
import math
import os
import resource
import shutil
import sys
import time

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

import mirvon
import QuantLib as ql

MS_PER_DAY = 86_400_000
PAYMENTS = 20
RATE = 0.05
#: 2024-01-01 as days since 1970-01-01; QuantLib's serial numbers count from 1899-12-30.
START_DAY = 19_723
QL_EPOCH_SERIAL = 25_569


def book(bonds: int) -> pa.Table:
    contract = np.repeat(np.arange(bonds, dtype=np.int64), PAYMENTS)
    k = np.tile(np.arange(1, PAYMENTS + 1, dtype=np.int64), bonds)
    first_day = START_DAY + 1 + (contract % 180)
    day = first_day + (k - 1) * 182
    coupon = 1.0 + (contract % 9) * 0.25  # semi-annual coupon per 100
    quantity = coupon + np.where(k == PAYMENTS, 100.0, 0.0)
    rows = len(contract)
    return pa.table(
        {
            "contract": contract,
            "track": pa.array(["bond"] * 1, pa.string()).take(pa.array(np.zeros(rows, np.int64))),
            "time": pa.array(day * MS_PER_DAY, pa.timestamp("ms", tz="UTC")),
            "op": pa.array(["+"], pa.string()).take(pa.array(np.zeros(rows, np.int64))),
            "quantity": quantity,
            "unit": pa.array(["USD"], pa.string()).take(pa.array(np.zeros(rows, np.int64))),
        }
    )


def dataset() -> dict:
    return {
        "BASE": "USD",
        "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, RATE], [50.0, RATE]]))},
        "PRICING_TS": START_DAY * MS_PER_DAY,
    }


def cpu_seconds() -> float:
    # Workers are joined before a run returns, so their time is counted too.
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def timed(repeat: int, variants: dict):
    """Per variant: (best wall s, worst wall s, result, CPU s of the best run).

    The variants take turns, so that a burst of load on a shared machine
    falls on all of them rather than on one.
    """
    runs: dict = {name: [] for name in variants}
    results = {}
    for _ in range(repeat):
        for name, fn in variants.items():
            c0, t0 = cpu_seconds(), time.perf_counter()
            results[name] = fn()
            runs[name].append((time.perf_counter() - t0, cpu_seconds() - c0))
    return {name: (min(r)[0], max(r)[0], results[name], min(r)[1]) for name, r in runs.items()}


def quantlib(table: pa.Table):
    today = ql.Date(START_DAY + QL_EPOCH_SERIAL)
    ql.Settings.instance().evaluationDate = today
    curve = ql.YieldTermStructureHandle(ql.FlatForward(today, RATE, ql.Actual365Fixed(), ql.Continuous))

    def build_legs():
        days = pc.divide(table.column("time").cast(pa.int64()), MS_PER_DAY).to_numpy() + QL_EPOCH_SERIAL
        amounts = table.column("quantity").to_numpy()
        ends = np.flatnonzero(np.diff(table.column("contract").to_numpy(), append=-1)) + 1
        legs, start = [], 0
        for end in ends.tolist():
            legs.append(
                ql.Leg([ql.SimpleCashFlow(a, ql.Date(d)) for a, d in zip(amounts[start:end].tolist(), days[start:end].tolist())])
            )
            start = end
        return legs

    def npv(legs):
        return np.array([ql.CashFlows.npv(leg, curve, False, today) for leg in legs])

    return build_legs, npv


def spark_time(table: pa.Table, repeat: int):
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        return None
    try:
        from pyspark.sql import SparkSession
    except ImportError:
        return None
    import mirvon.spark

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (
        SparkSession.builder.master("local[2]")
        .appName("mirvon-portfolio-benchmark")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.ui.showConsoleProgress", "false")
        .getOrCreate()
    )
    try:
        frame = spark.createDataFrame(table).cache()
        frame.count()
        best, worst, prices, cpu = timed(repeat, {"spark": lambda: mirvon.spark.price_portfolio(frame, dataset(), "fixed").toArrow()})["spark"]
        return best, worst, prices.sort_by("contract"), cpu
    finally:
        spark.stop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bonds", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--spark-repeat", type=int, default=1, help="runs of the Spark path (each takes minutes)")
    parser.add_argument("--no-spark", action="store_true")
    args = parser.parse_args()

    table = book(args.bonds)
    data = dataset()
    build_legs, npv = quantlib(table)
    legs = build_legs()
    figures = timed(
        args.repeat,
        {
            1: lambda: mirvon.price_portfolio(table, data, "fixed", workers=1),
            2: lambda: mirvon.price_portfolio(table, data, "fixed", workers=2),
            "with legs": lambda: npv(build_legs()),
            "prebuilt": lambda: npv(legs),
        },
    )
    ours = {1: figures[1], 2: figures[2]}
    with_legs, prebuilt = figures["with legs"], figures["prebuilt"]
    prices = ours[1][2].prices
    assert prices.column("error").null_count == prices.num_rows
    assert ours[2][2].prices.equals(prices)
    difference = np.max(np.abs(prices.column("price").to_numpy() - prebuilt[2]))

    label = f"{args.bonds} bonds x {PAYMENTS}"
    print(f"book: {label} payments, {table.num_rows} rows; largest price difference to QuantLib {difference:.2e}")
    print(f"{'':34}{'best s':>10}{'worst s':>10}{'us/bond':>10}{'CPU s':>10}")

    def line(name, figures):
        best, worst, _, cpu = figures
        print(f"{name:34}{best:10.3f}{worst:10.3f}{best / args.bonds * 1e6:10.2f}{cpu:10.3f}")

    line("mirvon workers=1", ours[1])
    line("mirvon workers=2", ours[2])
    line("QuantLib building legs + npv", with_legs)
    line("QuantLib npv, prebuilt legs", prebuilt)
    print(f"RESULT portfolio {label} workers=1: {ours[1][0]:.3f} s")
    print(f"RESULT portfolio {label} workers=2: {ours[2][0]:.3f} s")
    print(f"RESULT portfolio {label} QuantLib with leg building: {with_legs[0]:.3f} s")
    print(f"RESULT portfolio {label} QuantLib prebuilt legs: {prebuilt[0]:.3f} s")
    print(f"RESULT portfolio workers=1 speed vs QuantLib with leg building: {with_legs[0] / ours[1][0]:.2f} x")
    print(f"RESULT portfolio workers=1 time / QuantLib prebuilt legs: {ours[1][0] / prebuilt[0]:.2f} x")
    print(f"RESULT portfolio workers=2 speed-up over workers=1: {ours[1][0] / ours[2][0]:.2f} x")
    print(f"RESULT portfolio largest price difference to QuantLib: {difference:.2e}")

    if not args.no_spark:
        spark = spark_time(table, args.spark_repeat)
        if spark is None:
            print("Spark: skipped (needs pyspark and Java)")
        else:
            assert np.array_equal(spark[2].column("price").to_numpy(), prices.column("price").to_numpy())
            line("Spark local[2]", spark)
            print(f"RESULT portfolio {label} Spark local[2]: {spark[0]:.3f} s")
    if not math.isfinite(difference) or difference > 1e-9:
        sys.exit("prices differ from QuantLib's")


if __name__ == "__main__":
    main()
