"""Benchmark of mc_price with a seeded geometric Brownian motion model.

Contracts, on 100,000 paths by default:

  european        a call paid at one year: one event.
  asian_snappers  an arithmetic-average call with 52 weekly fixings; a snapper
                  event at each fixing keeps the running sum, a phrase pays at
                  the last fixing: 53 events, 52 advances.
  asian_model     the same Asian call with the running sum kept by the model
                  object, which steps through the fixings inside `advance` and
                  hands the average over through `get_value`: one event.
  weekly_strip    52 weekly payments of 1/52 of the asset: 52 booked events,
                  so that the memory the booked values need shows.
  bermudan        a put exercisable on each of 365 daily dates (">" events
                  on one track), on 10,000 paths by default, once with FLAGS 0
                  and once with FLAGS 10 (choices and cashflows recorded):
                  the ratio of the two shows what the recording costs.
  bermudan12      a put exercisable at 12 monthly dates, each a ">" choice
                  between the exercise value and the continuation: decided
                  with each path's own future (no regressors),
  bermudan12_lsm  the same put decided on a least-squares fit of the
                  continuation on the stock ("REGRESSORS": ["S"]); the NumPy
                  script (c) does the same fit with numpy.linalg.lstsq.

For each contract it prints
  (a) the time of the mc_price call,
  (b) the time spent inside the model object's Python methods (advance,
      get_value and the phrase and snapper callables, which are methods of the
      model), measured by the model object itself,
  engine overhead (a)-(b), in total, per event and per path, and as a share of (a),
  (c) the time of a plain NumPy script that draws the same numbers and
      computes the same payoff without the engine, and the ratio (a)/(c),
  the resident memory before the call and the process's peak after it,
      beside paths x booked events x 8 bytes, the least the booked values need
      (the peak can only show growth beyond the peak of the imports).
Goals: overhead below 10% of (a), (a)/(c) at most 1.3; for the Bermudan,
FLAGS 10 at most 2x the time of FLAGS 0.

For the two Bermudan puts it also prints the price beside the Black-Scholes
grid's (fd_blackscholes_price), and the cost of the regression: the engine
overhead with regressors less that without, beside the model's own
simulation time (its `advance`), from runs of both that alternate in one
process. Goal: the regression costs less than the simulation.

Each contract runs in its own process so that the peak memory
(resource.getrusage) belongs to it; times are the best of --repeat runs.
`--scan` adds the snapper Asian call over several path and fixing counts, to
show how the overhead grows with each.

Run:  python benchmarks/mc_price.py [--paths N] [--repeat R] [--scan]
          [--bermudan-paths N] [--bermudan-dates D]
"""

import argparse
import functools
import json
import math
import resource
import subprocess
import sys
import time

import numpy as np

SPOT, STRIKE, RATE, VOL = 100.0, 100.0, 0.05, 0.2
SEED = 12345
BERMUDAN_DATES = 12
MS_PER_YEAR = 31_536_000_000
DAY_MS = 86_400_000
WEEK_MS = 7 * DAY_MS


def gbm_step(rng, spot, z, dt):
    """Moves every path of `spot` by dt years, in place; `z` is scratch space.

    Working in place keeps the allocator out of the loop, so that neither the
    model nor the plain NumPy script pays for fresh pages at every step.
    """
    rng.standard_normal(out=z)
    z *= VOL * math.sqrt(dt)
    z += (RATE - 0.5 * VOL**2) * dt
    np.exp(z, out=z)
    spot *= z


def timed(method):
    @functools.wraps(method)
    def wrapper(self, *args):
        start = time.perf_counter()
        try:
            return method(self, *args)
        finally:
            spent = time.perf_counter() - start
            self.py_time += spent
            self.py_calls += 1
            if method.__name__ == "advance":
                self.sim_time += spent

    return wrapper


class TimedGBM:
    """Lognormal paths with a flat rate; every Python entry point is timed.

    With `fixings` (year fractions) the model steps through them inside
    `advance` and keeps the running sum of the fixed values itself.
    """

    def __init__(self, paths, seed, fixings=()):
        self.rng = np.random.default_rng(seed)
        self.spot = np.full(paths, SPOT)
        self.z = np.empty(paths)
        self.t = 0.0
        self.fixings = list(fixings)
        self.fixed = 0
        self.total = np.zeros(paths) if self.fixings else None
        self.py_time = 0.0
        self.py_calls = 0
        self.sim_time = 0.0  # in advance: the simulation itself

    def _step(self, t):
        gbm_step(self.rng, self.spot, self.z, t - self.t)
        self.t = t

    @timed
    def advance(self, t):
        start = self.t
        while self.fixed < len(self.fixings) and self.fixings[self.fixed] <= t:
            self._step(self.fixings[self.fixed])
            self.total += self.spot
            self.fixed += 1
        if t > self.t:
            self._step(t)
        return math.exp(-RATE * (t - start))

    @timed
    def get_value(self, name):
        if name == "S":
            return self.spot
        if name == "AVG":
            return self.total / self.fixed
        return None

    def set_stat(self, name, value):
        pass

    # Phrase and snapper callables.
    @timed
    def call_payoff(self, x):
        return [np.maximum(x[0] - STRIKE, 0.0)]

    @timed
    def put_exercise(self, x):
        return [STRIKE - x[0]]

    @timed
    def put_payoff(self, x):
        return [np.maximum(STRIKE - x[0], 0.0)]

    @timed
    def first_fixing(self, x):
        return [x[0]]

    @timed
    def next_fixing(self, x):
        # The input arrays belong to Python: the sum may reuse one of them.
        return [np.add(x[0], x[1], out=x[1])]

    def average_payoff(self, n):
        @timed
        def payoff(self, x):
            return [np.maximum(x[0] / n - STRIKE, 0.0)]

        return functools.partial(payoff, self)


def fixing_times(n):
    return [(i + 1) * WEEK_MS for i in range(n)]


def exercise_times(n):
    return [(i + 1) * DAY_MS for i in range(n)]


def bermudan_times():
    return [(i + 1) * MS_PER_YEAR // BERMUDAN_DATES for i in range(BERMUDAN_DATES)]


def contract(case, model, fixings):
    """Rows (track, time ms, op, quantity, unit), expressions, booked events."""
    if case == "european":
        rows = [("option", MS_PER_YEAR, "+", 1.0, "call")]
        expressions = {"call": {"type": "phrase", "fn": model.call_payoff, "inp": ["S"]}}
    elif case == "asian_snappers":
        times = fixing_times(fixings)
        rows = [("option", times[0], None, 0.0, "first_fixing")]
        rows += [("option", t, None, 0.0, "next_fixing") for t in times[1:]]
        rows.append(("option", times[-1], "+", 1.0, "asian"))
        expressions = {
            "first_fixing": {"type": "snapper", "fn": model.first_fixing, "inp": ["S"], "out": ["SUM"]},
            "next_fixing": {"type": "snapper", "fn": model.next_fixing, "inp": ["S", "SUM"], "out": ["SUM"]},
            "asian": {"type": "phrase", "fn": model.average_payoff(fixings), "inp": ["SUM"]},
        }
    elif case == "weekly_strip":
        rows = [("option", t, "+", 1.0 / fixings, "S") for t in fixing_times(fixings)]
        return rows, {}, len(rows)
    elif case == "bermudan":
        rows = [("option", t, ">", 1.0, "put") for t in exercise_times(fixings)]
        expressions = {"put": {"type": "phrase", "fn": model.put_payoff, "inp": ["S"]}}
        return rows, expressions, len(rows)
    elif case == "asian_model":
        rows = [("option", fixing_times(fixings)[-1], "+", 1.0, "asian")]
        expressions = {"asian": {"type": "phrase", "fn": model.average_payoff(1), "inp": ["AVG"]}}
    elif case in ("bermudan12", "bermudan12_lsm"):
        rows = [("option", t, ">", 1.0, "put") for t in bermudan_times()]
        return rows, {"put": {"type": "phrase", "fn": model.put_exercise, "inp": ["S"]}}, len(rows)
    else:
        raise ValueError(case)
    return rows, expressions, 1


def make_model(case, paths, fixings):
    if case == "asian_model":
        return TimedGBM(paths, SEED, [t / MS_PER_YEAR for t in fixing_times(fixings)])
    return TimedGBM(paths, SEED)


def plain_numpy(case, paths, fixings):
    """The same draws and payoff without the engine."""
    rng = np.random.default_rng(SEED)
    spot = np.full(paths, SPOT)
    z = np.empty(paths)
    if case in ("bermudan12", "bermudan12_lsm"):
        return plain_bermudan(rng, spot, z, regression=case == "bermudan12_lsm")
    if case == "european":
        gbm_step(rng, spot, z, 1.0)
        return math.exp(-RATE) * np.maximum(spot - STRIKE, 0.0).mean()
    if case == "bermudan":
        # The roll keeps the larger of each date's value and what follows it:
        # the pathwise maximum of the discounted payoffs, and at least 0.
        best = np.zeros(paths)
        t = 0.0
        for ms in exercise_times(fixings):
            gbm_step(rng, spot, z, ms / MS_PER_YEAR - t)
            t = ms / MS_PER_YEAR
            np.maximum(best, math.exp(-RATE * t) * np.maximum(STRIKE - spot, 0.0), out=best)
        return best.mean()
    total = np.zeros(paths)
    t = 0.0
    for ms in fixing_times(fixings):
        gbm_step(rng, spot, z, ms / MS_PER_YEAR - t)
        t = ms / MS_PER_YEAR
        if case == "weekly_strip":
            total += math.exp(-RATE * t) / fixings * spot
        else:
            total += spot
    if case == "weekly_strip":
        return total.mean()
    return math.exp(-RATE * t) * np.maximum(total / fixings - STRIKE, 0.0).mean()


def plain_bermudan(rng, spot, z, regression):
    """Exercise values on every date, then the roll from the last date back."""
    t, values = 0.0, []
    for ms in bermudan_times():
        gbm_step(rng, spot, z, ms / MS_PER_YEAR - t)
        t = ms / MS_PER_YEAR
        values.append((spot.copy(), math.exp(-RATE * t) * (STRIKE - spot)))
    pv = np.zeros(spot.size)
    for stock, value in reversed(values):
        if not regression:
            np.maximum(pv, value, out=pv)
            continue
        # Paths whose exercise value beats the lowest continuation, fitted on
        # 1, x, x^2 of the standardised stock.
        fit = value > pv.min()
        x = stock[fit]
        x = (x - x.mean()) / x.std()
        basis = np.stack([np.ones_like(x), x, x * x], axis=1)
        beta = np.linalg.lstsq(basis, pv[fit], rcond=None)[0]
        wins = np.zeros(pv.size, dtype=bool)
        wins[fit] = value[fit] > basis @ beta
        pv[wins] = value[wins]
    return pv.mean()


def grid_bermudan():
    """The Bermudan put on the Black-Scholes grid: exercise against the true continuation."""
    import _mirvon
    from mirvon.exercise import exercise_rows
    from mirvon.timetable import events_batch

    rows = exercise_rows("option", "exercise", bermudan_times(), [(STRIKE, "USD"), (-1.0, "S")])
    dataset = {
        "BASE": "USD",
        "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, RATE], [10.0, RATE]])),
                   "S": ("FORWARDS", np.array([[0.0, SPOT], [10.0, SPOT * math.exp(10 * RATE)]]))},
        "FD": {"N_X": 400, "MAX_X": 1.5, "TIMESTEP": 1 / 730},
        "BS": {"VOL": VOL, "ASSET": "S"},
        "PRICING_TS": 0,
    }
    return _mirvon.fd_blackscholes_price(events_batch(rows, tracks=["option", "exercise"]), None, dataset, {})


def run_case(case, paths, fixings, repeat, flags=0):
    """One contract in this process; returns the figures as a dict."""
    import _mirvon
    from mirvon.timetable import events_batch

    dataset = {
        "BASE": "USD",
        "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, RATE], [10.0, RATE]]))},
        "MC": {"PATHS": paths, "SEED": SEED, "FLAGS": flags},
        "PRICING_TS": 0,
    }
    if case == "bermudan12_lsm":
        dataset["MC"]["REGRESSORS"] = ["S"]

    def faults():
        return resource.getrusage(resource.RUSAGE_SELF).ru_minflt

    def rss_kb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize() // 1024

    best = None
    numpy_best = None
    # Engine and NumPy runs alternate, so that both meet the same load.
    for _ in range(repeat):
        model = make_model(case, paths, fixings)
        rows, expressions, booked = contract(case, model, fixings)
        batch = events_batch(rows, tracks=["option"])
        rss_before = rss_kb()
        faults_before = faults()
        start = time.perf_counter()
        price = _mirvon.mc_price(batch, model, dataset, expressions)
        total = time.perf_counter() - start
        engine_faults = faults() - faults_before
        rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        if best is None or total < best["total"]:
            best = {
                "total": total,
                "python": model.py_time,
                "simulation": model.sim_time,
                "calls": model.py_calls,
                "price": price,
                "events": len(rows),
                "booked": booked,
                "faults": engine_faults,
            }
        # The first run's figures: ru_maxrss only ever grows.
        best.setdefault("rss_before_kb", rss_before)
        best.setdefault("rss_peak_kb", rss_after)

        faults_before = faults()
        start = time.perf_counter()
        numpy_price = plain_numpy(case, paths, fixings)
        numpy_time = time.perf_counter() - start
        if numpy_best is None or numpy_time < numpy_best[0]:
            numpy_best = (numpy_time, faults() - faults_before)

    best.update(numpy=numpy_best[0], numpy_faults=numpy_best[1], numpy_price=numpy_price,
                case=case, paths=paths, fixings=fixings, flags=flags)
    if case.startswith("bermudan12"):
        best["grid"] = grid_bermudan()
    return best


def in_subprocess(case, paths, fixings, repeat, flags=0):
    out = subprocess.run(
        [sys.executable, __file__, "--case", case, "--paths", str(paths), "--fixings", str(fixings),
         "--repeat", str(repeat), "--flags", str(flags)],
        check=True, capture_output=True, text=True,
    )
    return json.loads(out.stdout)


def label(r):
    return f"{r['case']} FLAGS {r['flags']}" if r["case"] == "bermudan" else r["case"]


def report(r):
    a, b, c = r["total"], r["python"], r["numpy"]
    overhead = a - b
    need = r["paths"] * r["booked"] * 8
    name = label(r)
    print(f"{name}  ({r['paths']:,} paths, {r['events']} events, {r['calls']} Python calls)")
    print(f"  price {r['price']:.6f}   plain NumPy {r['numpy_price']:.6f}   "
          f"rel. diff {abs(r['price'] / r['numpy_price'] - 1):.1e}")
    print(f"  (a) mc_price           {a * 1e3:9.2f} ms")
    print(f"  (b) model's Python     {b * 1e3:9.2f} ms")
    print(f"  overhead (a)-(b)       {overhead * 1e3:9.2f} ms  = {overhead / a:6.1%} of (a)   "
          f"{overhead / r['events'] * 1e6:8.1f} us/event   {overhead / r['paths'] * 1e9:6.1f} ns/path")
    print(f"  (c) plain NumPy        {c * 1e3:9.2f} ms   (a)/(c) = {a / c:.2f}")
    if "grid" in r:
        print(f"  grid price {r['grid']:.6f}   price - grid {r['price'] - r['grid']:+.6f}")
    print(f"  minor page faults: (a) {r['faults']}, (c) {r['numpy_faults']}")
    print(f"  RSS before the call {r['rss_before_kb'] / 1024:.1f} MiB, peak after it {r['rss_peak_kb'] / 1024:.1f} MiB "
          f"(+{(r['rss_peak_kb'] - r['rss_before_kb']) / 1024:.1f})   "
          f"paths x booked events x 8 = {need / 2**20:.1f} MiB")
    print(f"RESULT mc_price {name} total: {a * 1e3:.2f} ms")
    print(f"RESULT mc_price {name} engine overhead: {overhead / a:.1%}")
    print(f"RESULT mc_price {name} time vs plain NumPy: {a / c:.2f} x")
    print(f"RESULT mc_price {name} peak memory vs booked values: {(r['rss_peak_kb'] - r['rss_before_kb']) * 1024 / max(need, 1):.2f} x")


def regression_cost(paths, repeat):
    """The Bermudan put with and without regressors, alternating in this
    process so that both meet the same load; engine overheads and the
    model's simulation time (its advance) of every run."""
    import _mirvon
    from mirvon.timetable import events_batch

    runs = {"pathwise": [], "lsm": [], "simulation": []}
    for _ in range(repeat):
        for name in ("pathwise", "lsm"):
            model = TimedGBM(paths, SEED)
            rows, expressions, _ = contract("bermudan12", model, 0)
            mc = {"PATHS": paths, "SEED": SEED}
            if name == "lsm":
                mc["REGRESSORS"] = ["S"]
            dataset = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, RATE], [10.0, RATE]]))},
                       "MC": mc, "PRICING_TS": 0}
            batch = events_batch(rows, tracks=["option"])
            start = time.perf_counter()
            _mirvon.mc_price(batch, model, dataset, expressions)
            runs[name].append(time.perf_counter() - start - model.py_time)
            if name == "lsm":
                runs["simulation"].append(model.sim_time)
    return runs


def report_regression(runs, pathwise, lsm):
    def best_median(xs):
        xs = sorted(xs)
        return xs[0], xs[len(xs) // 2]

    (pb, pm), (lb, lm), (sb, sm) = (best_median(runs[k]) for k in ("pathwise", "lsm", "simulation"))
    print(f"bermudan12: regression against the simulation ({lsm['paths']:,} paths, {BERMUDAN_DATES} dates, "
          f"{len(runs['lsm'])} alternating runs; best / median)")
    print(f"  engine overhead, pathwise choice     {pb * 1e3:8.2f} / {pm * 1e3:8.2f} ms")
    print(f"  engine overhead, regression          {lb * 1e3:8.2f} / {lm * 1e3:8.2f} ms")
    print(f"  regression cost (difference)         {(lb - pb) * 1e3:8.2f} / {(lm - pm) * 1e3:8.2f} ms")
    print(f"  model's simulation (advance)         {sb * 1e3:8.2f} / {sm * 1e3:8.2f} ms")
    print(f"  prices: pathwise {pathwise['price']:.4f}   regression {lsm['price']:.4f}   grid {lsm['grid']:.4f}")
    print(f"RESULT mc_price bermudan12 regression cost: {(lm - pm) * 1e3:.2f} ms")
    print(f"RESULT mc_price bermudan12 regression vs simulation: {(lm - pm) / sm:.2f} x")
    print(f"RESULT mc_price bermudan12_lsm price vs grid: {lsm['price'] - lsm['grid']:+.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--paths", type=int, default=100_000)
    parser.add_argument("--fixings", type=int, default=52)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--bermudan-paths", type=int, default=10_000)
    parser.add_argument("--bermudan-dates", type=int, default=365)
    parser.add_argument("--scan", action="store_true", help="vary paths and fixings of the snapper Asian call")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--flags", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.case == "regression_cost":
        print(json.dumps(regression_cost(args.paths, args.repeat)))
        return
    if args.case:
        print(json.dumps(run_case(args.case, args.paths, args.fixings, args.repeat, args.flags)))
        return

    print("Figures are wall-clock times on a possibly shared machine: expect noise.\n")
    results = {}
    for case in ("european", "asian_snappers", "asian_model", "weekly_strip", "bermudan12", "bermudan12_lsm"):
        results[case] = in_subprocess(case, args.paths, args.fixings, args.repeat)
        report(results[case])
        print()
    out = subprocess.run([sys.executable, __file__, "--case", "regression_cost", "--paths", str(args.paths),
                          "--repeat", str(3 * args.repeat)], check=True, capture_output=True, text=True)
    report_regression(json.loads(out.stdout), results["bermudan12"], results["bermudan12_lsm"])
    print()

    by_flags = {}
    for flags in (0, 10):
        by_flags[flags] = in_subprocess("bermudan", args.bermudan_paths, args.bermudan_dates, args.repeat, flags)
        report(by_flags[flags])
        print()
    ratio = by_flags[10]["total"] / by_flags[0]["total"]
    same = by_flags[10]["price"] == by_flags[0]["price"]
    print(f"bermudan: FLAGS 10 takes {ratio:.2f} x the time of FLAGS 0 (goal: at most 2), "
          f"prices {'identical' if same else 'DIFFER'}")
    print(f"RESULT mc_price bermudan FLAGS 10 vs FLAGS 0: {ratio:.2f} x")
    print()

    if args.scan:
        print("asian_snappers: engine overhead by paths and fixings")
        print(f"  {'paths':>9} {'fixings':>7} {'(a) ms':>9} {'(b) ms':>9} {'overhead':>9} "
              f"{'us/event':>9} {'ns/path/event':>13} {'(a)/(c)':>7}")
        for paths in (10_000, 100_000, 400_000):
            for fixings in (13, 52, 260):
                r = in_subprocess("asian_snappers", paths, fixings, args.repeat)
                overhead = r["total"] - r["python"]
                print(f"  {paths:>9,} {fixings:>7} {r['total'] * 1e3:9.2f} {r['python'] * 1e3:9.2f} "
                      f"{overhead / r['total']:9.1%} {overhead / r['events'] * 1e6:9.1f} "
                      f"{overhead / r['events'] / paths * 1e9:13.2f} {r['total'] / r['numpy']:7.2f}")


if __name__ == "__main__":
    main()
