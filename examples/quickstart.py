"""Quickstart: price five contracts with `mirvon` and check each against a reference.

Runs on built-in market data only: no network, no files read. With
`mirvon.price` it prices

  (a) a 5-year coupon bond under the "fixed" model on a sloped zero curve,
  (b) a European call under "mc" with a seeded geometric Brownian motion
      written in NumPy,
  (c) a European and an American put on the "blackscholes" grid,
  (d) a zero-coupon bond and a callable bond on the "hullwhite" grid,

and with `mirvon.backtest` it replays
  (e) a buy-and-sell trade over a small table of closing prices,

prints one table with each price, its reference (closed form, the curve's
discount factor, or QuantLib where it is installed) and the difference, and
writes one PNG plot of the "PV_VEC" statistic across the Black-Scholes grid
nodes against the put's intrinsic value (needs matplotlib: pip install ".[examples]").

    python examples/quickstart.py                  # plot to quickstart_put.png
    python examples/quickstart.py --plot out.png   # plot elsewhere
    python examples/quickstart.py --no-plot --no-quantlib

The exit status is 1 when a price is further from its reference than the
tolerance shown in the table. A price without a reference (the callable bond
when QuantLib is not installed) is shown as "no reference", not as "ok".
"""

from __future__ import annotations

import argparse
import datetime as dt
import math
import sys
from dataclasses import dataclass
from typing import Any, Callable, Optional, Sequence, cast

import numpy as np
import pyarrow as pa

import mirvon
from mirvon.exercise import exercise_rows
from mirvon.timetable import MS_PER_YEAR, Event

DAY = 86_400_000  # milliseconds
PRICING_TS = int(dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc).timestamp()) * 1000


# One row of a contract: (track, time in ms, op, quantity, unit).
EventRow = tuple[str, int, str, float, str]


def at_day(days: int) -> int:
    """The timestamp `days` days after the valuation time (a year is 365 days)."""
    return PRICING_TS + days * DAY


def at_year(years: int) -> int:
    return PRICING_TS + years * MS_PER_YEAR


# --------------------------------------------------------------------------
# Market data. Curve times are year fractions from PRICING_TS.

# A sloped zero curve for the bonds: continuously compounded zero rates.
RATES_CURVE = np.array([[1.0, 0.035], [2.0, 0.040], [3.0, 0.042], [5.0, 0.045], [10.0, 0.047], [30.0, 0.050]])

# Flat 5% rates and a stock at 100 without dividends for the options: its
# forward curve is 100 * exp(0.05 t), exact under log-linear interpolation.
SPOT, RATE, VOL, STRIKE = 100.0, 0.05, 0.20, 100.0
FLAT_CURVE = np.array([[0.0, RATE], [30.0, RATE]])
STOCK_FORWARDS = np.array([[0.0, SPOT], [30.0, SPOT * math.exp(RATE * 30.0)]])

HW_MEANREV, HW_VOL = 0.03, 0.01

RATES_DATASET = {
    "BASE": "USD",
    "ASSETS": {"USD": ("ZERO_RATES", RATES_CURVE)},
    "PRICING_TS": PRICING_TS,
    # Grid in x = r - phi(t): +-15% around the fitted short rate, 0.1% apart, daily steps.
    "FD": {"N_X": 150, "MAX_X": 0.15, "TIMESTEP": 1 / 365},
    "HW": {"MEANREV": HW_MEANREV, "VOL": HW_VOL},
}

MC_PATHS = 100_000
BS_N_X, BS_MAX_X = 300, 1.5
EQUITY_DATASET = {
    "BASE": "USD",
    "ASSETS": {"USD": ("ZERO_RATES", FLAT_CURVE), "STOCK": ("FORWARDS", STOCK_FORWARDS)},
    "PRICING_TS": PRICING_TS,
    "MC": {"PATHS": MC_PATHS, "SEED": 42},
    # Grid in x = ln S: +-1.5 around ln 100 (S from 22 to 448), dx = 0.005, daily steps.
    "FD": {"N_X": BS_N_X, "MAX_X": BS_MAX_X, "TIMESTEP": 1 / 365},
    "BS": {"VOL": VOL, "ASSET": "STOCK"},
}


# --------------------------------------------------------------------------
# The Monte Carlo model: a Python object that simulates the paths.


class GBMModel:
    """Geometric Brownian motion for one asset, simulated in NumPy for the "mc" model.

    The engine calls advance(t) once per distinct event time after the
    valuation time (t in years from PRICING_TS, increasing) and get_value(name)
    for asset values; the path count must equal the dataset's MC PATHS.
    """

    def __init__(self, asset: str, spot: float, rate: float, vol: float, paths: int, seed: int) -> None:
        self.asset, self.rate, self.vol = asset, rate, vol
        self.rng = np.random.default_rng(seed)
        self.values = np.full(paths, spot)
        self.t = 0.0

    def advance(self, t: float) -> float:
        dt_years = t - self.t
        z = self.rng.standard_normal(self.values.size)
        self.values = self.values * np.exp(
            (self.rate - 0.5 * self.vol**2) * dt_years + self.vol * math.sqrt(dt_years) * z
        )
        self.t = t
        # The discount factor over this step, the same on every path. Returning
        # None instead would discount with the dataset's base curve.
        return math.exp(-self.rate * dt_years)

    def get_value(self, name: str) -> Optional[np.ndarray]:
        # None (or anything but a 1-d float64 array) falls back to the dataset's forward.
        return self.values if name == self.asset else None


# --------------------------------------------------------------------------
# Contracts as rows of (track, time, op, quantity, unit).


def coupon_bond_rows(coupon: float, years: int, notional: float = 100.0) -> list[EventRow]:
    rows = [("bond", at_year(k), "+", coupon, "USD") for k in range(1, years + 1)]
    rows.append(("bond", at_year(years), "+", notional, "USD"))
    return rows


def put_rows(times: Sequence[int], strike: float, asset: str) -> list[Event]:
    """A put that may be exercised at each of `times` (ascending): track "put"
    keeps the larger of its continuation and the value strike - S on track "exercise"."""
    return exercise_rows("put", "exercise", times, [(strike, "USD"), (-1.0, asset)])


def callable_bond_rows(coupon: float, years: int, call_years: Sequence[int], call_price: float) -> list[Event]:
    """A bond the issuer may redeem at `call_price` right after the coupon of each call year.

    The holder's value is the smaller of the continuation and the call price.
    Each year's coupon row comes before that year's call rows, so the coupon is
    paid whether or not the bond is called.
    """
    coupons = [Event("bond", at_year(k), "+", coupon + (100.0 if k == years else 0.0), "USD")
               for k in range(1, years + 1)]
    calls = exercise_rows("bond", "call", [at_year(k) for k in sorted(call_years)], [(call_price, "USD")], op="<")
    # A stable sort: at each date the coupon row stays ahead of the call rows.
    return sorted(coupons + calls, key=lambda row: cast(int, row.time))


# --------------------------------------------------------------------------
# References computed without the engine.


def curve_discount(curve: np.ndarray, t: float) -> float:
    """Discount factor of a ZERO_RATES curve: r*t interpolated linearly, through 0 before the first point."""
    times, rates = curve[:, 0], curve[:, 1]
    log_values = times * rates
    if t <= times[0]:
        return math.exp(-log_values[0] * t / times[0])
    return math.exp(-float(np.interp(t, times, log_values)))


def norm_cdf(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def black_scholes(kind: str, spot: float, strike: float, rate: float, vol: float, t: float) -> float:
    d1 = (math.log(spot / strike) + (rate + 0.5 * vol * vol) * t) / (vol * math.sqrt(t))
    d2 = d1 - vol * math.sqrt(t)
    if kind == "call":
        return spot * norm_cdf(d1) - strike * math.exp(-rate * t) * norm_cdf(d2)
    return strike * math.exp(-rate * t) * norm_cdf(-d2) - spot * norm_cdf(-d1)


def binomial_american_put(spot: float, strike: float, rate: float, vol: float, t: float, steps: int = 4000) -> float:
    """Cox-Ross-Rubinstein tree, the reference when QuantLib is not installed."""
    dt_ = t / steps
    up = math.exp(vol * math.sqrt(dt_))
    p = (math.exp(rate * dt_) - 1 / up) / (up - 1 / up)
    disc = math.exp(-rate * dt_)
    values = np.maximum(strike - spot * up ** (steps - 2.0 * np.arange(steps + 1)), 0.0)
    for i in range(steps - 1, -1, -1):
        values = disc * (p * values[:-1] + (1 - p) * values[1:])
        values = np.maximum(values, strike - spot * up ** (i - 2.0 * np.arange(i + 1)))
    return float(values[0])


class QuantLibReferences:
    """American put and callable bond priced by QuantLib on the same market data."""

    def __init__(self, ql: Any) -> None:
        self.ql = ql
        self.today = ql.Date(1, 1, 2024)
        ql.Settings.instance().evaluationDate = self.today
        self.dc = ql.Actual365Fixed()

    def american_put(self) -> float:
        ql = self.ql

        def flat(rate: float) -> Any:
            return ql.YieldTermStructureHandle(ql.FlatForward(self.today, rate, self.dc))

        vol = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(self.today, ql.NullCalendar(), VOL, self.dc))
        process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(SPOT)), flat(0.0), flat(RATE), vol)
        option = ql.VanillaOption(
            ql.PlainVanillaPayoff(ql.Option.Put, STRIKE), ql.AmericanExercise(self.today, self.today + 365)
        )
        option.setPricingEngine(
            ql.FdBlackScholesVanillaEngine(process, 800, 800, 0, ql.FdmSchemeDesc.CrankNicolson())
        )
        return float(option.NPV())

    def callable_bond(self, coupon: float, years: int, call_years: Sequence[int], call_price: float) -> float:
        ql = self.ql
        # Log-linear discount factors are exactly the engine's linear-in-(r t) rule.
        dates = [self.today] + [self.today + int(round(t * 365)) for t in RATES_CURVE[:, 0]]
        dfs = [1.0] + [math.exp(-t * r) for t, r in RATES_CURVE]
        curve = ql.YieldTermStructureHandle(ql.DiscountCurve(dates, dfs, self.dc))
        schedule = ql.Schedule(
            ql.DateVector([self.today + 365 * k for k in range(years + 1)]), ql.NullCalendar(), ql.Unadjusted
        )
        calls = ql.CallabilitySchedule()
        for k in call_years:
            calls.append(
                ql.Callability(ql.BondPrice(call_price, ql.BondPrice.Clean), ql.Callability.Call, self.today + 365 * k)
            )
        bond = ql.CallableFixedRateBond(
            0, 100.0, schedule, [coupon / 100.0], self.dc, ql.Unadjusted, 100.0, self.today, calls
        )
        bond.setPricingEngine(ql.TreeCallableFixedRateBondEngine(ql.HullWhite(curve, HW_MEANREV, HW_VOL), 400))
        return float(bond.NPV())


def load_quantlib(enabled: bool) -> Optional[QuantLibReferences]:
    if not enabled:
        return None
    try:
        import QuantLib
    except ImportError:
        return None
    return QuantLibReferences(QuantLib)


# --------------------------------------------------------------------------
# The run.


@dataclass
class Row:
    contract: str
    model: str
    price: float
    reference: Optional[float]
    source: str
    tolerance: float

    @property
    def difference(self) -> Optional[float]:
        return None if self.reference is None else self.price - self.reference

    @property
    def status(self) -> str:
        if self.difference is None:
            return "no reference"
        return "ok" if abs(self.difference) <= self.tolerance else "MISMATCH"


def price_all(quantlib: Optional[QuantLibReferences]) -> tuple[list[Row], dict[str, Any]]:
    rows: list[Row] = []
    grid: dict[str, Any] = {}
    reference: Optional[float]

    # (a) 5-year annual 4% bond on the sloped curve. mirvon.price takes the
    # rows (or any table) and returns a Result; .price is track 0's value.
    bond = coupon_bond_rows(coupon=4.0, years=5)
    price = mirvon.price(bond, RATES_DATASET, "fixed").price
    reference = sum(q * curve_discount(RATES_CURVE, (t - PRICING_TS) / MS_PER_YEAR) for _, t, _, q, _ in bond)
    rows.append(Row("4% bond, 5y", "fixed", price, reference, "sum of curve discount factors", 1e-9))

    # (b) 1-year European call: the payoff is a phrase, a Python function of the asset's value.
    expressions = {
        "call_payoff": {"type": "phrase", "fn": lambda inputs: [np.maximum(inputs[0] - STRIKE, 0.0)], "inp": ["STOCK"]}
    }
    model = GBMModel("STOCK", SPOT, RATE, VOL, paths=MC_PATHS, seed=42)
    call = mirvon.price([("call", at_year(1), "+", 1.0, "call_payoff")], EQUITY_DATASET, "mc",
                        state=model, expressions=expressions, statistics=["PV_VEC"])
    per_path = call.pv_vec  # discounted payoff of every path
    std_error = float(per_path.std(ddof=1) / math.sqrt(per_path.size))
    reference = black_scholes("call", SPOT, STRIKE, RATE, VOL, 1.0)
    rows.append(
        Row(
            f"European call, 1y (MC std err {std_error:.3f})",
            "mc",
            call.price,
            reference,
            "Black-Scholes closed form",
            4 * std_error,
        )
    )

    # (c) European and American puts on the Black-Scholes grid; PV_VEC holds
    # the value at every grid node, for the plot.
    european = mirvon.price(put_rows([at_year(1)], STRIKE, "STOCK"), EQUITY_DATASET, "blackscholes",
                            statistics=["PV_VEC"])
    reference = black_scholes("put", SPOT, STRIKE, RATE, VOL, 1.0)
    rows.append(Row("European put, 1y", "blackscholes", european.price, reference, "Black-Scholes closed form", 0.01))

    daily = [at_day(d) for d in range(1, 366)]
    american = mirvon.price(put_rows(daily, STRIKE, "STOCK"), EQUITY_DATASET, "blackscholes", statistics=["PV_VEC"])
    if quantlib is not None:
        reference, source = quantlib.american_put(), "QuantLib FD, 800x800"
    else:
        reference, source = binomial_american_put(SPOT, STRIKE, RATE, VOL, 1.0), "binomial tree, 4000 steps"
    # Daily exercise dates stand in for continuous exercise: worth about 0.002 less.
    rows.append(Row("American put, 1y (daily exercise)", "blackscholes", american.price, reference, source, 0.01))
    grid["european"] = european.pv_vec
    grid["american"] = american.pv_vec

    # (d) Zero-coupon and callable bonds on the Hull-White grid.
    price = mirvon.price([("zero", at_year(5), "+", 100.0, "USD")], RATES_DATASET, "hullwhite").price
    reference = 100.0 * curve_discount(RATES_CURVE, 5.0)
    rows.append(Row("zero-coupon bond, 5y", "hullwhite", price, reference, "curve discount factor", 0.002))

    call_years = [2, 3, 4]
    callable_bond = callable_bond_rows(coupon=5.0, years=5, call_years=call_years, call_price=100.0)
    # tracks= fixes track 0, the priced one, whatever the row order.
    price = mirvon.price(mirvon.events(callable_bond, tracks=["bond", "call"]), RATES_DATASET, "hullwhite").price
    if quantlib is not None:
        reference, source = quantlib.callable_bond(5.0, 5, call_years, 100.0), "QuantLib HW tree, 400 steps"
    else:
        reference, source = None, "needs QuantLib"
    rows.append(Row("5% bond, 5y, callable yrs 2-4", "hullwhite", price, reference, source, 0.01))

    # (e) Buy 10 shares on day 1, sell them on day 6, paying a 0.1% fee both
    # times, over a table of closing prices (long form: time, name, value).
    # Each event takes the latest close at or before its time.
    closes = [100.0, 101.5, 99.8, 102.3, 103.1, 101.9, 104.2, 103.7]
    prices = pa.table({
        "time": pa.array([at_day(d) for d in range(len(closes))], pa.timestamp("ms", tz="UTC")),
        "name": ["STOCK"] * len(closes),
        "value": closes,
    })
    fee = {"fee": {"type": "phrase", "fn": lambda inputs: [0.001 * inputs[0]], "inp": ["STOCK"]}}
    trade = [
        ("trade", at_day(1), "+", -10.0, "STOCK"),
        ("trade", at_day(1), "+", -10.0, "fee"),
        ("trade", at_day(6), "+", 10.0, "STOCK"),
        ("trade", at_day(6), "+", -10.0, "fee"),
    ]
    replay = mirvon.backtest(trade, prices, base="USD", expressions=fee)
    # replay.cashflows is a table of every payment with its event; .price is their sum on track 0.
    reference = 10.0 * (closes[6] - closes[1]) - 0.001 * 10.0 * (closes[1] + closes[6])
    rows.append(Row("buy day 1, sell day 6, 10 shares", "backtest", replay.price, reference, "sum over the series", 1e-9))

    return rows, grid


def print_table(rows: Sequence[Row], out: Callable[[str], None] = print) -> None:
    def fmt(x: Optional[float]) -> str:
        if x is None:
            return "-"
        text = f"{x:.6f}"
        return text[1:] if text == "-0.000000" else text

    header = ("contract", "model", "price", "reference", "difference", "tolerance", "reference source", "check")
    table = [header] + [
        (r.contract, r.model, fmt(r.price), fmt(r.reference), fmt(r.difference), f"{r.tolerance:.2g}", r.source,
         r.status)
        for r in rows
    ]
    widths = [max(len(line[i]) for line in table) for i in range(len(header))]
    numeric = {2, 3, 4, 5}
    for n, line in enumerate(table):
        cells = [c.rjust(w) if i in numeric else c.ljust(w) for i, (c, w) in enumerate(zip(line, widths))]
        out("  ".join(cells).rstrip())
        if n == 0:
            out("  ".join("-" * w for w in widths))


def grid_spots() -> np.ndarray:
    """The stock price at each Black-Scholes grid node: node i holds ln S0 + MAX_X - i dx."""
    spots: np.ndarray = SPOT * np.exp(BS_MAX_X - np.arange(2 * BS_N_X + 1) * (BS_MAX_X / BS_N_X))
    return spots


def write_plot(path: str, grid: dict[str, Any]) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot written (pip install \".[examples]\")")
        return False
    spots = grid_spots()
    shown = (spots > 40.0) & (spots < 180.0)
    fig, ax = plt.subplots(figsize=(7, 4.5))
    ax.plot(spots[shown], grid["american"][shown], label="American put (PV_VEC)")
    ax.plot(spots[shown], grid["european"][shown], label="European put (PV_VEC)", linestyle="--")
    ax.plot(spots[shown], np.maximum(STRIKE - spots[shown], 0.0), label="intrinsic value max(K - S, 0)", color="grey", linewidth=1)
    ax.axvline(SPOT, color="black", linewidth=0.5)
    ax.set_xlabel("stock price S at the grid node")
    ax.set_ylabel("value at the valuation time")
    ax.set_title("blackscholes grid: K = 100, r = 5%, vol = 20%, T = 1y")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot of PV_VEC across the grid nodes written to {path}")
    return True


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Price five contracts with mirvon and check them.")
    parser.add_argument("--plot", default="quickstart_put.png", metavar="PATH", help="where to write the PNG plot")
    parser.add_argument("--no-plot", action="store_true", help="write no plot")
    parser.add_argument("--no-quantlib", action="store_true", help="use the built-in references even if QuantLib is installed")
    args = parser.parse_args(argv)

    rows, grid = price_all(load_quantlib(not args.no_quantlib))
    print_table(rows)
    if not args.no_plot:
        write_plot(args.plot, grid)
    bad = [r.contract for r in rows if r.status == "MISMATCH"]
    if bad:
        print("outside tolerance: " + ", ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
