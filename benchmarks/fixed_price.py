"""Time `fixed_price` on a long schedule of payments against QuantLib.

The contract: 100,000 payments of the base currency on one track, several per
day over 30 years, discounted on a ZERO_RATES curve of 50 points. QuantLib
prices the same cashflows on a `DiscountCurve` (log-linear in the discount
factors, which is linear in r*t like ours) built from the same discount
factors, two ways:

- `discount(t)` per cashflow, summed in Python, at exactly our year fractions;
- `CashFlows.npv` over a leg of `SimpleCashFlow`s, the whole sum in C++.

Inputs (the events batch, the QuantLib leg) are built outside the timed
region. Each figure is the best of several runs; the machine may be shared,
so treat them as indicative.

    python benchmarks/fixed_price.py [--events N] [--repeat R]
"""

from __future__ import annotations

import argparse
import datetime as dt
import math
import time

import numpy as np
import pyarrow as pa

import _mirvon
import QuantLib as ql

MS_PER_DAY = 86_400_000
MS_PER_YEAR = 31_536_000_000
HORIZON_DAYS = 30 * 365
CURVE_POINTS = 50
START = dt.date(2024, 1, 1)


class NoStats:
    def set_stat(self, name, value):
        pass


def best_of(repeat, fn):
    best, result = math.inf, None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def curve_nodes():
    # Day offsets of the nodes, the first at the valuation date; the last one
    # lies beyond the final payment.
    days = np.unique(np.round(np.linspace(0, HORIZON_DAYS + 365, CURVE_POINTS)).astype(np.int64))
    assert len(days) == CURVE_POINTS
    times = days / 365.0
    rates = 0.01 + 0.03 * (1.0 - np.exp(-times / 5.0)) + 0.004 * np.sin(times)
    return days, times, rates


def schedule(n):
    days = (np.arange(n, dtype=np.int64) * HORIZON_DAYS) // n + 1
    amounts = 1.0 + (np.arange(n) % 7) * 0.5
    return days, amounts


def events_batch(pricing_ts, days, amounts):
    n = len(days)
    times = pricing_ts + days * MS_PER_DAY
    zeros = pa.array(np.zeros(n, dtype=np.int64))
    return pa.record_batch(
        {
            "track": pa.DictionaryArray.from_arrays(zeros, pa.array(["leg"])),
            "time": pa.array(times, pa.timestamp("ms")),
            "op": pa.DictionaryArray.from_arrays(zeros, pa.array(["+"])),
            "quantity": pa.array(amounts, pa.float64()),
            "unit": pa.DictionaryArray.from_arrays(zeros, pa.array(["USD"])),
        }
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    node_days, node_times, rates = curve_nodes()
    pricing_ts = (START - dt.date(1970, 1, 1)).days * MS_PER_DAY
    dataset = {
        "BASE": "USD",
        "ASSETS": {"USD": ("ZERO_RATES", np.column_stack([node_times, rates]))},
        "PRICING_TS": pricing_ts,
    }
    days, amounts = schedule(args.events)
    batch = events_batch(pricing_ts, days, amounts)

    ours_s, ours = best_of(args.repeat, lambda: _mirvon.fixed_price(batch, NoStats(), dataset, {}))

    # QuantLib from the same discount factors, exp(-r t) at each node.
    today = ql.Date(START.day, START.month, START.year)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    dates = [today + int(d) for d in node_days]
    dfs = [math.exp(-r * t) for r, t in zip(rates, node_times)]
    curve = ql.DiscountCurve(dates, dfs, day_count)
    curve.enableExtrapolation(False)
    assert all(day_count.yearFraction(today, d) == t for d, t in zip(dates, node_times))

    # Our year fractions, exactly as the engine computes them.
    year_fractions = (days * MS_PER_DAY).astype(np.float64) / MS_PER_YEAR
    amount_list = amounts.tolist()
    t_list = year_fractions.tolist()

    def ql_python_sum():
        discount = curve.discount
        return math.fsum(a * discount(t) for a, t in zip(amount_list, t_list))

    loop_s, ql_loop = best_of(args.repeat, ql_python_sum)

    leg = ql.Leg([ql.SimpleCashFlow(a, today + int(d)) for a, d in zip(amount_list, days)])
    handle = ql.YieldTermStructureHandle(curve)
    npv_s, ql_npv = best_of(args.repeat, lambda: ql.CashFlows.npv(leg, handle, False, today, today))

    n = args.events
    per = lambda s: s / n * 1e9  # noqa: E731
    rel = lambda a, b: abs(a - b) / abs(b)  # noqa: E731
    print(f"events: {n}, curve points: {CURVE_POINTS}, best of {args.repeat} runs")
    print(f"fixed_price            : {ours_s * 1e3:9.2f} ms  {per(ours_s):8.1f} ns/event  PV {ours:.15g}")
    print(f"QuantLib discount() sum: {loop_s * 1e3:9.2f} ms  {per(loop_s):8.1f} ns/event  PV {ql_loop:.15g}")
    print(f"QuantLib CashFlows.npv : {npv_s * 1e3:9.2f} ms  {per(npv_s):8.1f} ns/event  PV {ql_npv:.15g}")
    print("QuantLib time / fixed_price time (above 1: we are faster), relative PV difference:")
    print(f"  vs discount() sum    : {loop_s / ours_s:6.2f}   {rel(ours, ql_loop):.2e}")
    print(f"  vs CashFlows.npv     : {npv_s / ours_s:6.2f}   {rel(ours, ql_npv):.2e}")
    print("goal: a time ratio of at least 2, PV equal to 1e-12 relative")
    print(f"RESULT fixed_price per event: {per(ours_s):.1f} ns")
    print(f"RESULT fixed_price speed vs QuantLib CashFlows.npv: {npv_s / ours_s:.2f} x")
    print(f"RESULT fixed_price speed vs QuantLib discount() loop: {loop_s / ours_s:.2f} x")
    print(f"RESULT fixed_price PV relative difference: {rel(ours, ql_npv):.1e}")


if __name__ == "__main__":
    main()
