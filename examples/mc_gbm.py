"""Monte Carlo pricing with a geometric Brownian motion model written in NumPy.

The engine draws no random numbers: the state object passed to `mc_price`
simulates the paths itself. Its `advance(t)` moves every path to year
fraction t (measured from the valuation time) and returns the discount factor
of the step; its `get_value(name)` returns an asset's value per path. The
engine multiplies by the accumulated discount factors, books the values,
settles choices backwards and averages over paths.

A ">" choice is settled path by path at the end of the simulation, so it
knows the path's future: for the holder's exercise it gives an upper bound,
well above the true value. The Bermudan put below shows by how much, beside
a rule that looks only at the present (a lower bound), the choice decided on
a least-squares fit of the continuation on the stock ("REGRESSORS" in "MC"),
and the Crank-Nicolson grid's value.

Run:  python examples/mc_gbm.py
"""

import datetime as dt
import math

import numpy as np

import mirvon


class GBMModel:
    """Risk-neutral lognormal paths of one asset, discounting at a flat rate."""

    def __init__(self, asset, spot, rate, vol, paths, seed):
        self.asset, self.rate, self.vol = asset, rate, vol
        self.rng = np.random.default_rng(seed)
        self.spot = np.full(paths, float(spot))
        self.t = 0.0

    def advance(self, t):
        # Exact lognormal step from the previous event time to t.
        dt_ = t - self.t
        z = self.rng.standard_normal(self.spot.size)
        self.spot *= np.exp((self.rate - 0.5 * self.vol**2) * dt_ + self.vol * math.sqrt(dt_) * z)
        self.t = t
        return math.exp(-self.rate * dt_)  # one factor for every path

    def get_value(self, name):
        # Undiscounted value per path; None lets the engine use the market data
        # (the base currency, here, is worth 1).
        return self.spot if name == self.asset else None


def normal_cdf(x):
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def black_scholes(spot, strike, rate, vol, t, call=True):
    d1 = (math.log(spot / strike) + (rate + 0.5 * vol**2) * t) / (vol * math.sqrt(t))
    d2 = d1 - vol * math.sqrt(t)
    if call:
        return spot * normal_cdf(d1) - strike * math.exp(-rate * t) * normal_cdf(d2)
    return strike * math.exp(-rate * t) * normal_cdf(-d2) - spot * normal_cdf(-d1)


SPOT, STRIKE, RATE, VOL = 100.0, 100.0, 0.05, 0.2
PATHS, SEED = 100_000, 20240101
START = dt.datetime(2025, 1, 2)
EXPIRY = START + dt.timedelta(days=365)  # one year in the engine's 365-day convention


PRICING_TS = int(START.replace(tzinfo=dt.timezone.utc).timestamp() * 1000)
DATASET = {
    "BASE": "USD",
    "ASSETS": {
        "USD": ("ZERO_RATES", np.array([[0.0, RATE], [10.0, RATE]])),
        # The grid needs the asset's forward curve; the Monte Carlo model brings its own paths.
        "S": ("FORWARDS", np.array([[0.0, SPOT], [10.0, SPOT * math.exp(RATE * 10.0)]])),
    },
    "MC": {"PATHS": PATHS, "SEED": SEED},
    "FD": {"N_X": 300, "MAX_X": 1.5, "TIMESTEP": 1 / 365},
    "BS": {"VOL": VOL, "ASSET": "S"},
    "PRICING_TS": PRICING_TS,
}


def run(rows, expressions, statistics=("PV_VEC",), **mc):
    model = GBMModel("S", SPOT, RATE, VOL, PATHS, SEED)
    dataset = dict(DATASET, MC={**DATASET["MC"], **mc})
    result = mirvon.price(rows, dataset, "mc", state=model, expressions=expressions, statistics=statistics)
    stderr = result.pv_vec.std(ddof=1) / math.sqrt(PATHS)
    return result, stderr


def european_call():
    expressions = {
        "call": {"type": "phrase", "fn": lambda x: [np.maximum(x[0] - STRIKE, 0.0)], "inp": ["S"]},
    }
    result, stderr = run([("option", EXPIRY, "+", 1.0, "call")], expressions)
    closed = black_scholes(SPOT, STRIKE, RATE, VOL, 1.0)
    print(f"European call   Monte Carlo {result.price:8.4f} +/- {stderr:.4f}   Black-Scholes {closed:8.4f}")


def bermudan_put(dates=4):
    exercise = [START + dt.timedelta(days=365 * (i + 1) // dates) for i in range(dates)]
    intrinsic = {"intrinsic": {"type": "phrase", "fn": lambda x: [STRIKE - x[0]], "inp": ["S"]}}

    # Exercise by choice: at each date ">" keeps the larger of the exercise
    # value and what the track is worth after that date. The forward engine has
    # already simulated the whole path when the backward roll compares the two,
    # so the comparison is made with hindsight: the result is an upper bound.
    rows = [("option", date, ">", 1.0, "intrinsic") for date in exercise]
    upper, upper_err = run(rows, intrinsic, statistics=("PV_VEC", "CHOICES"))

    # The first date at which a path's choice took the exercise value is the
    # date at which that path exercises. Row i of choice_paths is the i-th
    # choice event, here the i-th date.
    exercised = np.zeros(PATHS, dtype=bool)
    counts = []
    for taken in upper.choice_paths.astype(bool):
        counts.append(int((taken & ~exercised).sum()))
        exercised |= taken

    # Exercise by a rule that looks at the present only: exercise when the
    # intrinsic value beats a European put on the rest of the life. A condition
    # weighs the event's value with 1 where the rule fires, replacing what the
    # track would be worth later; any such rule gives a lower bound.
    rules = dict(intrinsic)
    rows = []
    for i, date in enumerate(exercise):
        left = (exercise[-1] - date).days / 365.0

        def rule(x, left=left):
            hold = black_scholes_vec(x[0], left) if left > 0 else 0.0
            return [((STRIKE - x[0]) > hold).astype(float)]

        rules[f"exercise_{i}"] = {"type": "phrase", "fn": rule, "inp": ["S"]}
        rows.append(("option", date, f"exercise_{i}", 1.0, "intrinsic"))
    lower, lower_err = run(rows, rules)

    # Exercise decided on a least-squares fit of the continuation on 1, S, S^2
    # across the paths where the put is in the money: a path exercises where
    # its exercise value beats the fit, so no path's future enters its decision.
    rows = [("option", date, ">", 1.0, "intrinsic") for date in exercise]
    regressed, regressed_err = run(rows, intrinsic, REGRESSORS=["S"], DEGREE=2)

    # The grid settles each choice against the expected continuation value.
    grid = mirvon.price(
        mirvon.exercise_rows("option", "exercise", exercise, [(STRIKE, "USD"), (-1.0, "S")]), DATASET, "blackscholes"
    )

    european = black_scholes(SPOT, STRIKE, RATE, VOL, 1.0, call=False)
    print(f"Bermudan put ({dates} dates, European put {european:.4f} by Black-Scholes)")
    print(f"  rule exercise (lower bound)     {lower.price:8.4f} +/- {lower_err:.4f}")
    print(f"  choice with hindsight (upper)   {upper.price:8.4f} +/- {upper_err:.4f}")
    print(f"  choice by regression on S       {regressed.price:8.4f} +/- {regressed_err:.4f}")
    print(f"  Crank-Nicolson grid             {grid.price:8.4f}")
    print("  paths exercised per date (choice):", counts)


def black_scholes_vec(spot, t):
    # European put on every path at once, for the exercise rule.
    d1 = (np.log(spot / STRIKE) + (RATE + 0.5 * VOL**2) * t) / (VOL * math.sqrt(t))
    d2 = d1 - VOL * math.sqrt(t)
    cdf = np.vectorize(normal_cdf)
    return STRIKE * math.exp(-RATE * t) * cdf(-d2) - spot * cdf(-d1)


if __name__ == "__main__":
    european_call()
    for dates in (4, 12, 50):
        bermudan_put(dates)
