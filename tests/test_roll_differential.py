"""Random contracts priced by the engines and by a plain Python model of the
forward pass and the backward roll, written straight from the rules: every
choice masks and every condition scales the cashflows already recorded on
its track at once, in the order the roll meets them. The engines take
shortcuts (cancellations applied when the statistics are read, compact
slots, cached curve lookups); their prices, present values, choices and
cashflows must come out bit for bit the same.
"""

import bisect
import math

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch

TRACKS = ["t0", "t1", "t2"]
ASSETS = ["A", "B"]
VALUE_PHRASES = ["P"]
CONDITIONS = ["c0", "c1"]
MS_PER_YEAR = 3.1536e10
FLAG_CHOICES, FLAG_CASHFLOW = 2, 8

# The contracts carry NaN and infinities on purpose.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


class RollFailure(Exception):
    pass


# --- the plain model ----------------------------------------------------------------


def bcast(v, n):
    return np.full(n, v[0]) if len(v) == 1 else v


def larger(a, b):
    return np.where((b > a) | np.isnan(a), b, a)


def smaller(a, b):
    return np.where((b < a) | np.isnan(a), b, a)


class PlainLedger:
    def __init__(self, paths, flags):
        self.paths, self.flags = paths, flags
        self.pvs, self.choices, self.cashflows = {}, {}, {}

    def track_entry(self, k):
        return self.pvs.setdefault(k, np.zeros(self.paths))

    def cf_insert(self, event, k, values):
        if len(values) not in (1, self.paths):
            raise RollFailure(f"Track {k} not found")
        self.cashflows.setdefault(k, {})[event] = np.array(bcast(values, self.paths), dtype=float)

    def cf_mask(self, k, mask):
        for c in self.cashflows.get(k, {}).values():
            c[mask] = 0.0

    def cf_scale(self, k, factors):
        for c in self.cashflows.get(k, {}).values():
            c *= factors

    def one_track_event(self, op, k, value, event):
        pv = self.track_entry(k)
        single_zero = len(value) == 1 and value[0] == 0.0
        wins = None
        if op in (">", "<"):
            full = bcast(value, self.paths)
            wins = full > pv if op == ">" else full < pv
        if self.flags & FLAG_CASHFLOW:
            if op == "+":
                self.cf_insert(event, k, value)
            elif wins is not None:
                self.cf_mask(k, wins)
                if not single_zero:
                    self.cf_insert(event, k, np.where(wins, bcast(value, self.paths), 0.0))
        if self.flags & FLAG_CHOICES and wins is not None:
            self.choices.setdefault(event, {})[k] = wins.astype(np.uint64)
        if op == "+":
            pv += value
        elif op == ">":
            pv[:] = larger(pv, bcast(value, self.paths))
        elif op == "<":
            pv[:] = smaller(pv, bcast(value, self.paths))
        else:
            raise RollFailure(f"Unknown Op '{op or ''}'")

    def one_track_weights(self, w, k, value, event):
        pv = self.track_entry(k)
        if self.flags & FLAG_CASHFLOW:
            self.cf_scale(k, 1.0 - w)
            if not (len(value) == 1 and value[0] == 0.0):
                self.cf_insert(event, k, value * w)
        pv[:] = pv * (1.0 - w) + value * w


def plain_roll(slots, rows, paths, flags):
    """The backward roll over the slots of the forward pass, last event first."""
    ledger = PlainLedger(paths, flags)
    for t in reversed(range(len(slots))):
        slot = slots[t]
        if slot is None:
            continue
        k = TRACKS.index(rows[t][0])
        op = rows[t][2]
        if slot[0] == "pay":
            ledger.one_track_event(op, k, slot[1], t)
        elif slot[0] == "ref":
            if slot[1] not in ledger.pvs:
                raise RollFailure(f"Track {slot[1]} not found")
            ledger.one_track_event(op, k, ledger.pvs[slot[1]].copy(), t)
        else:
            ledger.one_track_weights(slot[2], k, slot[1], t)
    return ledger


def plain_forward(rows, value_of, condition_of, discount_at):
    """Slots of the forward pass; value_of(unit, time, q) values a unit."""
    slots = []
    for track, time, op, quantity, unit in rows:
        q = discount_at(time) * quantity  # time moves on for every event
        if unit in TRACKS:
            slots.append(("ref", TRACKS.index(unit)))
            continue
        value = value_of(unit, time, q)
        if op in ("+", ">", "<"):
            slots.append(("pay", value))
        else:
            slots.append(("cond", value, condition_of(op, time)))
    return slots


def assert_mean(price, pv, scale=0.0):
    """The price is the mean over paths, summed with compensation: within a
    few roundings of the exact mean (and of `scale` where the payments may
    have been added in another order), or the plain mean's infinity or NaN."""
    if not np.all(np.isfinite(pv)):
        assert same_bits(price, np.float64(np.sum(pv) / len(pv))) or (np.isnan(price) and np.isnan(np.sum(pv)))
        return
    exact = math.fsum(pv.tolist()) / len(pv)
    assert abs(price - exact) <= 4 * np.finfo(float).eps * abs(exact) + 1e-13 * scale


# --- comparison ----------------------------------------------------------------------


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype == np.float64:
        both_nan = np.isnan(a) & np.isnan(b)
        return bool(np.all(both_nan | (a.view(np.uint64) == b.view(np.uint64))))
    return bool(np.array_equal(a, b))


def assert_same_nested(got, want, what):
    assert set(got) == set(want), what
    for outer in want:
        assert set(got[outer]) == set(want[outer]), (what, outer)
        for inner in want[outer]:
            assert same_bits(got[outer][inner], want[outer][inner]), (what, outer, inner,
                                                                      got[outer][inner], want[outer][inner])


def assert_close_pv(got, want, scale):
    """Where only present values are recorded, the engine may add a run of
    payments in another order than the roll: equal up to rounding."""
    assert np.array_equal(np.isnan(got), np.isnan(want))
    finite = np.isfinite(want)
    assert np.array_equal(got[~finite & ~np.isnan(want)], want[~finite & ~np.isnan(want)])
    assert np.allclose(got[finite], want[finite], rtol=1e-12, atol=1e-13 * scale)


def assert_same_stats(recorder, ledger, flags, pv_scale=None):
    if flags & 1:
        if pv_scale is not None:
            assert_close_pv(recorder.get("PV_VEC"), ledger.pvs[0], pv_scale)
        else:
            assert same_bits(recorder.get("PV_VEC"), ledger.pvs[0])
    if flags & FLAG_CHOICES:
        assert_same_nested(recorder.get("CHOICES"), ledger.choices, "CHOICES")
    if flags & FLAG_CASHFLOW:
        assert_same_nested(recorder.get("CASHFLOW"), ledger.cashflows, "CASHFLOW")


# --- random contracts ----------------------------------------------------------------


def random_times(rng, n, step_ms):
    # Non-decreasing, with runs of equal times, some at the valuation time itself.
    steps = rng.choice([0, 0, 1, 2], size=n) * step_ms
    return np.cumsum(steps).tolist()


def random_rows(rng, n, step_ms):
    rows = []
    for time in random_times(rng, n, step_ms):
        track = TRACKS[rng.integers(len(TRACKS))]
        op = rng.choice(["+", "+", ">", "<", ">", "c0", "c1"])
        units = ASSETS + VALUE_PHRASES + ([] if op.startswith("c") else TRACKS)
        unit = units[rng.integers(len(units))]
        quantity = float(rng.choice([1.0, -1.0, 0.5, 2.0, 0.0]))
        rows.append((track, int(time), str(op), quantity, unit))
    # Most references point at a track that has events after them (the rest
    # fail in the roll, as they should); and track 0 carries the price.
    for i, (track, time, op, quantity, unit) in enumerate(rows):
        if unit in TRACKS and not any(r[0] == unit for r in rows[i + 1:]) and rng.integers(8) > 0:
            rows[i] = (track, time, op, quantity, ASSETS[rng.integers(len(ASSETS))])
    if all(r[0] != "t0" for r in rows):
        rows[-1] = ("t0",) + rows[-1][1:]
    return rows


def random_values(rng, paths, allow_single=True):
    kind = rng.integers(8)
    if kind == 0 and allow_single:
        return np.array([float(rng.choice([0.0, -0.0, 1.5, -2.0]))])
    v = np.round(rng.normal(0.0, 3.0, size=paths), 1)
    if kind == 1:
        v[rng.integers(paths)] = rng.choice([np.nan, np.inf, -np.inf])
    if kind == 2:
        v[:] = 0.0
    return v


def random_weights(rng, paths, allow_single=True):
    kind = rng.integers(7)
    if kind == 0:
        return np.zeros(paths)
    if kind == 1:
        return np.ones(paths)
    if kind == 2 and allow_single:
        return np.array([float(rng.integers(2))])
    if kind == 3:
        return rng.uniform(-0.5, 1.5, size=paths)
    if kind == 4:
        w = rng.integers(2, size=paths).astype(float)
        w[rng.integers(paths)] = np.nan
        return w
    return rng.integers(2, size=paths).astype(float)


class TableModel:
    """A Monte Carlo model whose every answer is drawn up front, by time."""

    def __init__(self, rng, rows, paths):
        self.paths = paths
        self.t = 0.0
        times = sorted({0.0} | {r[1] / MS_PER_YEAR for r in rows})
        self.discounts = {t: (float(rng.uniform(0.9, 1.0)) if rng.integers(3) == 0
                              else rng.uniform(0.9, 1.0, size=paths)) for t in times}
        self.assets = {(a, t): random_values(rng, paths) for a in ASSETS for t in times}
        self.phrases = {(p, t): random_values(rng, paths) for p in VALUE_PHRASES for t in times}
        self.phrases.update({(c, t): random_weights(rng, paths) for c in CONDITIONS for t in times})

    def advance(self, t):
        self.t = t
        return self.discounts[t]

    def get_value(self, name):
        return self.assets[(name, self.t)]

    def set_stat(self, name, value):
        pass

    def expressions(self):
        def phrase(name):
            return {"type": "phrase", "fn": lambda inputs: [self.phrases[(name, self.t)]], "inp": []}

        return {name: phrase(name) for name in VALUE_PHRASES + CONDITIONS}


def reference_mc(rows, model, paths, flags):
    state = {"current": 0, "discount": np.array([1.0])}

    def discount_at(time):
        if time > state["current"]:
            factors = model.discounts[time / MS_PER_YEAR]
            state["discount"] = state["discount"] * factors
            state["current"] = time
        return state["discount"]

    def value_of(unit, time, q):
        table = model.assets if unit in ASSETS else model.phrases
        return q * table[(unit, time / MS_PER_YEAR)]

    def condition_of(name, time):
        return model.phrases[(name, time / MS_PER_YEAR)].copy()

    slots = plain_forward(rows, value_of, condition_of, discount_at)
    return plain_roll(slots, rows, paths, flags)


def max_magnitude(model):
    values = [np.abs(v[np.isfinite(v)]).max(initial=0.0) for v in model.assets.values()]
    values += [np.abs(v[np.isfinite(v)]).max(initial=0.0) for v in model.phrases.values()]
    return 2.0 * max(values)  # quantities are at most 2, discount factors at most 1


def run_or_failure(run):
    try:
        return run(), None
    except RollFailure as failure:
        return None, str(failure)


@pytest.mark.parametrize("seed", range(60))
def test_monte_carlo_matches_the_plain_roll_for_every_flag(seed):
    rng = np.random.default_rng(seed)
    paths = int(rng.choice([1, 2, 5]))
    rows = random_rows(rng, int(rng.integers(1, 40)), YEAR // 12)
    draws = TableModel(rng, rows, paths)
    batch = events_batch(rows, tracks=TRACKS)
    for flags in range(16):
        want, failure = run_or_failure(lambda: reference_mc(rows, draws, paths, flags))
        if want is not None and 0 not in want.pvs:
            failure = "Track 0 not found"
        recorder = Recorder()
        model = TableModel.__new__(TableModel)
        model.__dict__.update(draws.__dict__, t=0.0)
        model.set_stat = recorder.set_stat
        dataset = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 0.01], [50.0, 0.01]]))},
                   "MC": {"PATHS": paths, "SEED": 1, "FLAGS": flags}, "PRICING_TS": 0}
        if failure is not None:
            with pytest.raises(RuntimeError, match=failure):
                _mirvon.mc_price(batch, model, dataset, model.expressions())
            continue
        price = _mirvon.mc_price(batch, model, dataset, model.expressions())
        # Runs of payments may be summed in event order where only present values are recorded.
        reordered = paths > 1 and not flags & (FLAG_CHOICES | FLAG_CASHFLOW)
        scale = len(rows) * max_magnitude(draws) if reordered else 0.0
        assert_mean(price, want.pvs[0], scale)
        assert_same_stats(recorder, want, flags, scale if reordered else None)


# --- one-path engines ---------------------------------------------------------------


def log_value(times, logs, t):
    if times[0] > 0.0 and t <= times[0]:
        return logs[0] * t / times[0]
    i = min(bisect.bisect_right(times, t) - 1, len(times) - 2)
    return logs[i] + (logs[i + 1] - logs[i]) / (times[i + 1] - times[i]) * (t - times[i])


class OnePathTables:
    """Answers of get_value (for backtests) drawn up front by asset and time,
    and of the phrases by event: the forward pass calls a phrase once for
    each event that needs it, in event order."""

    def __init__(self, rng, rows):
        self.rows = rows
        self.values = {(a, r[1]): float(np.round(rng.normal(50.0, 30.0), 1)) for a in ASSETS for r in rows}
        self.phrases = {}
        for i, (_, _, op, _, unit) in enumerate(rows):
            if unit in VALUE_PHRASES:
                self.phrases[(unit, i)] = random_values(rng, 1)
            if op in CONDITIONS and unit not in TRACKS:
                self.phrases[(op, i)] = random_weights(rng, 1)

    def phrase_value(self, name, event):
        return self.phrases[(name, event)].copy()

    def expressions(self):
        def phrase(name):
            answers = iter([v for (n, _), v in sorted(self.phrases.items(), key=lambda kv: kv[0][1])
                            if n == name])
            return {"type": "phrase", "fn": lambda inputs: [next(answers)], "inp": []}

        return {name: phrase(name) for name in VALUE_PHRASES + CONDITIONS}

    def forward(self, value_of_asset, discount_at):
        events = iter(range(len(self.rows)))
        current = {}

        def value_of(unit, time, q):
            if unit in ASSETS:
                return q * np.array([value_of_asset(unit, time)])
            return q * self.phrase_value(unit, current["event"])

        def rows_with_event():
            for i, row in zip(events, self.rows):
                current["event"] = i
                yield row

        return plain_forward(rows_with_event(), value_of,
                             lambda name, time: self.phrase_value(name, current["event"]), discount_at)


class BacktestSource(Recorder):
    def __init__(self, tables):
        super().__init__()
        self.tables = tables

    def get_value(self, name, t):
        return self.tables.values[(name, t)]


@pytest.mark.parametrize("seed", range(40))
def test_backtest_matches_the_plain_roll(seed):
    rng = np.random.default_rng(1000 + seed)
    rows = random_rows(rng, int(rng.integers(1, 60)), 86_400_000)
    tables = OnePathTables(rng, rows)
    slots = tables.forward(lambda unit, time: tables.values[(unit, time)], lambda time: np.array([1.0]))
    want, failure = run_or_failure(lambda: plain_roll(slots, rows, 1, FLAG_CASHFLOW))
    source = BacktestSource(tables)
    batch = events_batch(rows, tracks=TRACKS)
    if failure is not None:
        with pytest.raises(RuntimeError, match=failure):
            _mirvon.backtest_py(batch, source, tables.expressions(), "USD")
        return
    _mirvon.backtest_py(batch, source, tables.expressions(), "USD")
    got = {track: dict(zip(b.column("index").to_pylist(), b.column("value").to_numpy()))
           for track, b in source.get("CASHFLOW").items()}
    expected = {k: {e: c[0] for e, c in events.items()} for k, events in want.cashflows.items()}
    assert set(got) == set(expected)
    for k in expected:
        assert set(got[k]) == set(expected[k]), k
        for e in expected[k]:
            assert same_bits(np.float64(got[k][e]), np.float64(expected[k][e])), (k, e)


@pytest.mark.parametrize("seed", range(40))
def test_fixed_model_matches_the_plain_roll_for_every_flag(seed):
    rng = np.random.default_rng(2000 + seed)
    rows = random_rows(rng, int(rng.integers(1, 60)), 5 * 86_400_000)
    tables = OnePathTables(rng, rows)
    # Curves whose first point lies after the valuation time, so that lookups
    # fall before the first point, between points and on them.
    node_times = sorted({0.01, 0.05, 0.2, 5.0} | {float(x) for x in np.round(rng.uniform(0.02, 2.0, 4), 3)})
    rates = np.round(rng.uniform(0.0, 0.05, len(node_times)), 4)
    forwards = {a: np.round(rng.uniform(50.0, 150.0, len(node_times)), 2) for a in ASSETS}
    usd_logs = [r * t for r, t in zip(rates.tolist(), node_times)]
    asset_logs = {a: [math.log(v) for v in f.tolist()] for a, f in forwards.items()}

    def discount_at(time):
        return np.array([math.exp(-log_value(node_times, usd_logs, time / MS_PER_YEAR))])

    def forward(unit, time):
        return math.exp(log_value(node_times, asset_logs[unit], time / MS_PER_YEAR))

    slots = tables.forward(forward, discount_at)
    times = np.array(node_times)
    dataset = {
        "BASE": "USD",
        "ASSETS": {"USD": ("ZERO_RATES", np.column_stack([times, rates])),
                   **{a: ("FORWARDS", np.column_stack([times, f])) for a, f in forwards.items()}},
        "PRICING_TS": 0,
    }
    batch = events_batch(rows, tracks=TRACKS)
    for flags in range(16):
        want, failure = run_or_failure(lambda: plain_roll(slots, rows, 1, flags))
        if want is not None and 0 not in want.pvs:
            failure = "Track 0 not found"
        recorder = Recorder()
        ds = dict(dataset, FIXED={"FLAGS": flags})
        if failure is not None:
            with pytest.raises(RuntimeError, match=failure):
                _mirvon.fixed_price(batch, recorder, ds, tables.expressions())
            continue
        price = _mirvon.fixed_price(batch, recorder, ds, tables.expressions())
        assert same_bits(price, want.pvs[0][0]), (flags, price, want.pvs[0][0])
        assert_same_stats(recorder, want, flags)


# --- payments added up in the forward pass -------------------------------------------


class ConstantModel:
    """Two paths; asset X is worth [1, 10] per unit, the condition W is 1."""

    def advance(self, t):
        return 1.0

    def get_value(self, name):
        return np.array([1.0, 10.0]) if name == "X" else None

    def set_stat(self, name, value):
        pass


BARRIERS = {
    # A choice between two payments sees only the later one.
    "choice": ([("t0", 0, "+", 5.0, "X"), ("t0", 0, ">", 7.0, "X"), ("t0", 0, "+", 1.0, "X")], [12.0, 120.0]),
    # A reference between two payments of the track it reads sees only the later one.
    "reference": ([("t1", 0, "+", 5.0, "X"), ("t0", 0, "+", 1.0, "t1"), ("t1", 0, "+", 1.0, "X")], [1.0, 10.0]),
    # A condition between two payments replaces only what came after it.
    "condition": ([("t0", 0, "+", 5.0, "X"), ("t0", 0, "W", 2.0, "X"), ("t0", 0, "+", 1.0, "X")], [7.0, 70.0]),
    # Payments of other tracks in between do not matter.
    "other tracks": ([("t0", 0, "+", 1.0, "t1"), ("t0", 0, "+", 1.0, "X"), ("t1", 0, ">", 9.0, "X"),
                      ("t0", 0, "+", 3.0, "X")], [13.0, 130.0]),
}


@pytest.mark.parametrize("flags", [0, 1])
@pytest.mark.parametrize("case", BARRIERS)
def test_payments_are_not_added_across_what_reads_or_chooses_on_their_track(case, flags):
    rows, pv = BARRIERS[case]
    recorder = Recorder()
    model = ConstantModel()
    model.set_stat = recorder.set_stat
    dataset = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 0.01], [50.0, 0.01]]))},
               "MC": {"PATHS": 2, "SEED": 1, "FLAGS": flags}, "PRICING_TS": 0}
    expressions = {"W": {"type": "phrase", "fn": lambda inputs: [np.ones(2)], "inp": []}}
    price = _mirvon.mc_price(events_batch(rows, tracks=TRACKS), model, dataset, expressions)
    assert price == np.mean(pv)
    if flags:
        assert recorder.get("PV_VEC").tolist() == pv
