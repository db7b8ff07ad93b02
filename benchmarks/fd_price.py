"""American put on the Black-Scholes grid beside QuantLib's finite-difference engine.

S0 = K = 100, r = 5%, sigma = 20%, T = 1 year. For each grid (N_X, steps)
both engines get the same number of space nodes (2 N_X + 1) and time steps,
with Crank-Nicolson stepping and exercise at every step. Printed: the time
of each (least CPU time of several runs), the ratio of times, each price's
distance from a reference extrapolated from QuantLib on two very fine grids,
and our price on a finer grid that takes about as long as QuantLib's run
("equal cost").

Our grid is uniform in ln S over +-MAX_X around the spot; QuantLib's mesh
packs its nodes near the strike, which is worth a little accuracy at an
equal node count.

    python benchmarks/fd_price.py [--max-x-sd 4.0] [--repeat 5]
"""

import argparse
import math
import os
import sys
import time

import numpy as np

import _mirvon
from mirvon.exercise import exercise_rows
from mirvon.timetable import MS_PER_YEAR, events_batch

try:
    import QuantLib as ql
except ImportError:  # pragma: no cover - the comparison needs it
    sys.exit("QuantLib is needed: pip install '.[bench]'")

SPOT = STRIKE = 100.0
RATE, VOL, YEARS = 0.05, 0.20, 1.0
GRIDS = [(200, 365), (500, 1000), (1000, 3650)]
# QuantLib nodes and steps for the reference: the price on the finer grid,
# corrected by a third of its difference from the coarser one (Richardson
# extrapolation of a second-order scheme), which takes about 1e-5 off its error.
REFERENCE_GRIDS = [(4001, 10000), (8001, 20000)]


def american_put_rows(steps):
    """Exercise at every step date; the exercise value K - S lives on track E."""
    times = [k * MS_PER_YEAR // steps for k in range(steps + 1)]
    return events_batch(exercise_rows("P", "E", times, [(STRIKE, "USD"), (-1.0, "S")]), tracks=["P", "E"])


def whole_ms_steps(target):
    """The step count nearest to target that cuts the year into whole milliseconds,
    so that every exercise date lies on the grid's time lattice."""
    for d in range(target):
        for steps in (target - d, target + d):
            if steps > 0 and MS_PER_YEAR % steps == 0:
                return steps
    return target


def dataset(n_x, steps, max_x):
    horizon = 2.0
    return {
        "BASE": "USD",
        "PRICING_TS": 0,
        "ASSETS": {
            "USD": ("ZERO_RATES", np.array([[0.0, RATE], [horizon, RATE]])),
            "S": ("FORWARDS", np.array([[0.0, SPOT], [horizon, SPOT * math.exp(RATE * horizon)]])),
        },
        "FD": {"N_X": n_x, "MAX_X": max_x, "TIMESTEP": YEARS / steps},
        "BS": {"VOL": VOL, "ASSET": "S"},
    }


def best_time(fn, repeat):
    # Processor time of this process, the least of several runs: on a shared
    # machine the wall clock also counts the time other processes ran.
    best, value = math.inf, None
    for _ in range(repeat):
        start = time.process_time()
        value = fn()
        best = min(best, time.process_time() - start)
    return best, value


def ours(n_x, steps, max_x, repeat):
    batch, data = american_put_rows(steps), dataset(n_x, steps, max_x)
    return best_time(lambda: _mirvon.fd_blackscholes_price(batch, None, data, {}), repeat)


def quantlib_option():
    today = ql.Date(2, 1, 2023)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, 0.0, dc)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, RATE, dc)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, dc)),
    )
    option = ql.VanillaOption(
        ql.PlainVanillaPayoff(ql.Option.Put, STRIKE),
        ql.AmericanExercise(today, today + int(round(365 * YEARS))),
    )
    return process, option


def quantlib(nodes, steps, repeat):
    process, option = quantlib_option()

    def run():
        # A new engine each time, so that nothing is cached between runs.
        option.setPricingEngine(
            ql.FdBlackScholesVanillaEngine(process, steps, nodes, 0, ql.FdmSchemeDesc.CrankNicolson())
        )
        return option.NPV()

    return best_time(run, repeat)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-x-sd", type=float, default=4.0,
                        help="grid half-width in standard deviations of ln S at maturity (default 4)")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    max_x = args.max_x_sd * VOL * math.sqrt(YEARS)

    print(f"American put S0=K={SPOT:g} r={RATE:g} sigma={VOL:g} T={YEARS:g}y; "
          f"MAX_X = {args.max_x_sd:g} sd = {max_x:.4g}; {os.cpu_count()} cpus, times are the least CPU seconds of {args.repeat} runs")
    (_, coarse), (_, fine) = (quantlib(nodes, steps, 1) for nodes, steps in REFERENCE_GRIDS)
    reference = fine + (fine - coarse) / 3.0
    print(f"reference: {reference:.8f}, extrapolated from QuantLib on "
          + " and ".join(f"{nodes} nodes x {steps} steps" for nodes, steps in REFERENCE_GRIDS)
          + f" ({coarse:.8f}, {fine:.8f})")
    print()
    header = (f"{'N_X':>5} {'steps':>5} | {'ours s':>9} {'price':>11} {'error':>9} | "
              f"{'QL s':>9} {'price':>11} {'error':>9} | {'QL/ours':>7} | "
              f"{'equal cost grid':>15} {'s':>9} {'error':>9}")
    print(header)
    print("-" * len(header))
    for n_x, steps in GRIDS:
        t_ours, p_ours = ours(n_x, steps, max_x, args.repeat)
        t_ql, p_ql = quantlib(2 * n_x + 1, steps, args.repeat)
        ratio = t_ql / t_ours
        # Work grows with nodes x steps: refine both by the square root of the
        # time ratio to spend about what QuantLib spent.
        f = math.sqrt(ratio)
        n_eq, s_eq = int(round(n_x * f)), whole_ms_steps(int(round(steps * f)))
        t_eq, p_eq = ours(n_eq, s_eq, max_x, args.repeat)
        print(f"{n_x:>5} {steps:>5} | {t_ours:>9.5f} {p_ours:>11.7f} {p_ours - reference:>+9.2e} | "
              f"{t_ql:>9.5f} {p_ql:>11.7f} {p_ql - reference:>+9.2e} | {ratio:>7.2f} | "
              f"{f'({n_eq}, {s_eq})':>15} {t_eq:>9.5f} {p_eq - reference:>+9.2e}")
        print(f"RESULT fd_price american put {n_x}x{steps} ours: {t_ours * 1e3:.2f} ms")
        print(f"RESULT fd_price american put {n_x}x{steps} speed vs QuantLib: {ratio:.2f} x")
        print(f"RESULT fd_price american put {n_x}x{steps} error ours / QuantLib: "
              f"{abs(p_ours - reference) / abs(p_ql - reference):.2f} x")


if __name__ == "__main__":
    main()
