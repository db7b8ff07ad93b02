"""mc_price with "REGRESSORS": exercise decided on an estimate of the
continuation from the state at the exercise date, not on the path's future.

Prices are checked against the Black-Scholes grid, which decides on the true
continuation value; the pathwise choice (no regressors) knows each path's
future and so lies above the grid for the holder's choice and below it for
the other side's.
"""

import math

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_curve, flat_dataset

SPOT, STRIKE, RATE, VOL = 100.0, 100.0, 0.05, 0.2
PATHS = 100_000
SEED = 2024
MODEL_PREFIX = "Error during model evaluation, caused by\n"
PARSE_PREFIX = "Error while parsing Dataset, caused by\n"


class GBM(Recorder):
    """Seeded lognormal paths of STOCK, discounting at the flat rate.

    Besides STOCK it answers EURO, the Black-Scholes value of a call with
    strike `euro_strike` expiring at one year, on every path.
    """

    def __init__(self, paths=PATHS, seed=SEED, euro_strike=STRIKE):
        super().__init__()
        self.rng = np.random.default_rng(seed)
        self.stock = np.full(paths, SPOT)
        self.t = 0.0
        self.euro_strike = euro_strike
        self.asked = []

    def advance(self, t):
        dt = t - self.t
        z = self.rng.standard_normal(self.stock.size)
        self.stock = self.stock * np.exp((RATE - 0.5 * VOL**2) * dt + VOL * math.sqrt(dt) * z)
        self.t = t
        return math.exp(-RATE * dt)

    def get_value(self, name):
        self.asked.append(name)
        if name == "STOCK":
            return self.stock
        if name == "EURO":
            return bs_call(self.stock, self.euro_strike, 1.0 - self.t)
        return None

    def pv(self):
        return self.get("PV_VEC")

    def std_error(self):
        pv = self.pv()
        return pv.std(ddof=1) / math.sqrt(pv.size)


def norm_cdf(x):
    return 0.5 * (1.0 + np.vectorize(math.erf)(x / math.sqrt(2.0)))


def bs_call(spot, strike, tau):
    if tau <= 0:
        return np.maximum(spot - strike, 0.0)
    d1 = (np.log(spot / strike) + (RATE + 0.5 * VOL**2) * tau) / (VOL * math.sqrt(tau))
    d2 = d1 - VOL * math.sqrt(tau)
    return spot * norm_cdf(d1) - strike * math.exp(-RATE * tau) * norm_cdf(d2)


def mc_dataset(paths=PATHS, flags=1, **mc):
    return flat_dataset(RATE, MC={"PATHS": paths, "SEED": SEED, "FLAGS": flags, **mc})


def grid_dataset():
    dataset = flat_dataset(
        RATE, FD={"N_X": 300, "MAX_X": 1.5, "TIMESTEP": 1 / 365}, BS={"VOL": VOL, "ASSET": "STOCK"}
    )
    dataset["ASSETS"]["STOCK"] = ("FORWARDS", np.array([[0.0, SPOT], [50.0, SPOT * math.exp(RATE * 50.0)]]))
    return dataset


def exercise_dates(n):
    return [k * YEAR // n for k in range(1, n + 1)]


PUT = {"put": {"type": "phrase", "fn": lambda x: [STRIKE - x[0]], "inp": ["STOCK"]}}
# The other side of the put: whoever holds this track is short it, and the
# buyer's exercise keeps the smaller value.
WRITTEN_PUT = {"written": {"type": "phrase", "fn": lambda x: [x[0] - STRIKE], "inp": ["STOCK"]}}


def mc(rows, model, dataset, expressions, tracks=("P",)):
    return _mirvon.mc_price(events_batch(rows, tracks=list(tracks)), model, dataset, expressions)


def grid(rows):
    return _mirvon.fd_blackscholes_price(events_batch(rows, tracks=["P", "E"]), None, grid_dataset(), {})


def grid_put(dates):
    # The exercise value K - S lives on track E, reset after each date; rows
    # of equal time are applied from the last one up.
    rows = []
    for n, t in enumerate(dates):
        rows += [("P", t, ">", 1.0, "E"), ("E", t, "+", STRIKE, "USD"), ("E", t, "+", -1.0, "STOCK")]
        if n < len(dates) - 1:
            rows.append(("E", t, "+", -1.0, "E"))
    return rows


def priced(rows, expressions, **mc_keys):
    model = GBM()
    price = mc(rows, model, mc_dataset(**mc_keys), expressions)
    return price, model


# --- prices against the grid -------------------------------------------------


@pytest.mark.parametrize("dates", [4, 12, 50], ids=lambda n: f"{n}-dates")
def test_bermudan_put_matches_the_grid_and_lies_below_the_pathwise_choice(dates):
    rows = [("P", t, ">", 1.0, "put") for t in exercise_dates(dates)]
    reference = grid(grid_put(exercise_dates(dates)))
    pathwise, hindsight = priced(rows, PUT)
    price, model = priced(rows, PUT, REGRESSORS=["STOCK"])
    assert abs(price - reference) < 3 * model.std_error() + 0.02, (price, reference, model.std_error())
    # On the same paths, no exercise rule beats taking the best date with
    # the path's future known.
    assert np.all(model.pv() <= hindsight.pv())
    assert pathwise > reference + 2.0


# Callable at 1/4, 1/2 and 3/4 year: the issuer pays the call price instead of
# the call on the stock at one year where that costs it less.
CALLABLE_DATES = [k * YEAR // 4 for k in (1, 2, 3)]
CALLABLE = {"call": {"type": "phrase", "fn": lambda x: [np.maximum(x[0] - 90.0, 0.0)], "inp": ["STOCK"]}}
CALLABLE_ROWS = [("P", t, "<", 15.0, "USD") for t in CALLABLE_DATES] + [("P", YEAR, "+", 1.0, "call")]
CALLABLE_GRID = [("P", t, "<", 15.0, "USD") for t in CALLABLE_DATES] + [
    ("P", YEAR, ">", 0.0, "USD"),
    ("P", YEAR, "+", -90.0, "USD"),
    ("P", YEAR, "+", 1.0, "STOCK"),
]


@pytest.mark.parametrize(
    "rows, expressions, regressors, reference",
    [
        pytest.param(
            [("P", t, "<", 1.0, "written") for t in exercise_dates(12)],
            WRITTEN_PUT,
            ["STOCK"],
            lambda: -grid(grid_put(exercise_dates(12))),
            id="written-put",
        ),
        # The call's continuation is far from a polynomial in the stock; the
        # European call's value is close to one in it.
        pytest.param(CALLABLE_ROWS, CALLABLE, ["STOCK", "EURO"], lambda: grid(CALLABLE_GRID), id="callable-call"),
    ],
)
def test_the_other_sides_choice_matches_the_grid_and_lies_above_the_pathwise_choice(
    rows, expressions, regressors, reference
):
    model = GBM(euro_strike=90.0)
    price = mc(rows, model, mc_dataset(REGRESSORS=regressors), expressions)
    hindsight = GBM(euro_strike=90.0)
    pathwise = mc(rows, hindsight, mc_dataset(), expressions)
    expected = reference()
    assert abs(price - expected) < 3 * model.std_error() + 0.02, (price, expected, model.std_error())
    assert np.all(model.pv() >= hindsight.pv())
    assert pathwise < expected - 0.3


# --- the decision rule, step by step -------------------------------------------


class RecordingGBM(GBM):
    """Keeps the stock at every date, for a reference computed beside the engine."""

    def __init__(self, paths, seed=SEED):
        super().__init__(paths, seed)
        self.history = []

    def advance(self, t):
        factor = super().advance(t)
        self.history.append((t, self.stock.copy()))
        return factor


def reference_put(history, degree, strike=STRIKE):
    """The documented rule in NumPy: at each date, last first, fit the
    continuation by least squares on powers of the stock over the paths whose
    exercise value beats the lowest continuation, and exercise where the value
    beats the fit."""
    pv = np.zeros(history[0][1].size)
    exercised = {}
    for event in range(len(history) - 1, -1, -1):
        t, stock = history[event]
        value = math.exp(-RATE * t) * (strike - stock)
        fitted_paths = value > pv.min()
        x = stock[fitted_paths]
        z = (x - x.mean()) / x.std() if x.size > 1 and x.std() > 0 else np.zeros_like(x)
        basis = np.vander(z, degree + 1, increasing=True)
        beta = np.linalg.lstsq(basis, pv[fitted_paths], rcond=None)[0]
        wins = np.zeros(pv.size, dtype=bool)
        wins[fitted_paths] = value[fitted_paths] > basis @ beta
        pv = np.where(wins, value, pv)
        exercised[event] = wins
    return pv, exercised


@pytest.mark.parametrize("degree", [1, 2, 4])
def test_decisions_follow_the_least_squares_rule(degree):
    paths = 4000
    model = RecordingGBM(paths)
    rows = [("P", t, ">", 1.0, "put") for t in exercise_dates(6)]
    mc(rows, model, mc_dataset(paths, flags=3, REGRESSORS=["STOCK"], DEGREE=degree), PUT)
    pv, exercised = reference_put(model.history, degree)
    np.testing.assert_allclose(model.pv(), pv, rtol=1e-12, atol=1e-12)
    choices = model.get("CHOICES")
    for event, wins in exercised.items():
        np.testing.assert_array_equal(choices[event][0], wins.astype(np.uint64))


def test_choices_and_cashflows_record_the_regressed_decisions():
    model = GBM()
    dates = exercise_dates(12)
    mc([("P", t, ">", 1.0, "put") for t in dates], model, mc_dataset(flags=15, REGRESSORS=["STOCK"]), PUT)
    choices = {event: by_track[0].astype(bool) for event, by_track in model.get("CHOICES").items()}
    cashflows = model.get("CASHFLOW")[0]
    assert set(choices) == set(cashflows) == set(range(12))
    # A path is paid at the first date it exercises, and nowhere else.
    earlier = np.zeros(PATHS, dtype=bool)
    for event in range(12):
        first = choices[event] & ~earlier
        assert np.all(cashflows[event][~first] == 0.0)
        assert np.all(cashflows[event][first] > 0.0)
        earlier |= choices[event]
    np.testing.assert_allclose(sum(cashflows.values()), model.pv(), rtol=1e-15)
    assert 0.3 < earlier.mean() < 0.7


def test_a_regressor_the_same_on_every_path_leaves_the_mean_continuation():
    # At the valuation time the stock is 100 on every path: the fit is the
    # mean continuation, far below the 30 that exercising a put struck at 130
    # pays there, so every path exercises at once.
    deep = {"put": {"type": "phrase", "fn": lambda x: [130.0 - x[0]], "inp": ["STOCK"]}}
    rows = [("P", 0, ">", 1.0, "put")] + [("P", t, ">", 1.0, "put") for t in exercise_dates(4)]
    price, model = priced(rows, deep, flags=3, REGRESSORS=["STOCK"])
    assert price == 30.0
    assert np.all(model.get("CHOICES")[0][0] == 1)
    hindsight_price, _ = priced(rows, deep, flags=3)
    assert hindsight_price > 35.0


class OffsetState(Recorder):
    """Three state variables of spread 1e-3 around 1e6, 2e6 and 3e6, drawn at
    the first advance: monomials of them unscaled would be numerically
    useless, as would the normal equations built on them."""

    OFFSETS = (1e6, 2e6, 3e6)
    SPREAD = 1e-3

    def __init__(self, paths):
        super().__init__()
        z = np.random.default_rng(SEED).standard_normal((3, paths))
        self.x = {f"X{k + 1}": off + self.SPREAD * z[k] for k, off in enumerate(self.OFFSETS)}

    def advance(self, t):
        return 1.0

    def get_value(self, name):
        return self.x.get(name)

    @classmethod
    def quartic(cls, x):
        """A polynomial of total degree 4 in the three variables, from their own values."""
        z = [(xk - off) / cls.SPREAD for xk, off in zip(x, cls.OFFSETS)]
        return [z[0] + z[1] * z[2] - 0.5 * z[0] ** 2 * z[1] ** 2 + 0.3 * z[2] ** 4 - 0.2 * z[0] * z[1] * z[2]]


def test_a_continuation_known_at_the_date_is_fitted_exactly():
    # The track is worth, after the choice, a polynomial of degree 4 in the
    # regressors: the fit recovers it to rounding, so the decisions are those
    # made on the true continuation, which here is also each path's own.
    paths = 200_000
    expressions = {
        "fix": {"type": "snapper", "fn": OffsetState.quartic, "inp": ["X1", "X2", "X3"], "out": ["U"]},
    }
    rows = [("P", YEAR // 2, None, 0.0, "fix"), ("P", YEAR // 2, ">", 0.5, "USD"), ("P", YEAR, "+", 1.0, "U")]
    results = []
    for mc_keys in ({}, {"REGRESSORS": ["X1", "X2", "X3"], "DEGREE": 4}):
        state = OffsetState(paths)
        price = mc(rows, state, mc_dataset(paths, flags=3, **mc_keys), expressions)
        results.append((price, state.get("CHOICES")[1][0]))
    (pathwise, choices), (regressed, regressed_choices) = results
    assert 0.1 < choices.mean() < 0.9
    np.testing.assert_array_equal(regressed_choices, choices)
    assert regressed == pytest.approx(pathwise, rel=1e-13)


TWICE = {"twice": {"type": "phrase", "fn": lambda x: [2.0 * x[0]], "inp": ["STOCK"]},
         "shifted": {"type": "phrase", "fn": lambda x: [1.1 * x[0] + 3.0], "inp": ["STOCK"]}}


@pytest.mark.parametrize(
    "regressors",
    [["STOCK", "USD"], ["STOCK", "twice"], ["STOCK", "shifted"], ["STOCK", "STOCK"]],
    ids=["with-a-constant", "with-a-multiple", "with-an-affine-copy", "twice-the-same"],
)
def test_regressors_that_add_nothing_leave_the_fit_unchanged(regressors):
    rows = [("P", t, ">", 1.0, "put") for t in exercise_dates(12)]
    expressions = {**PUT, **TWICE}
    alone, _ = priced(rows, expressions, REGRESSORS=["STOCK"])
    price, _ = priced(rows, expressions, REGRESSORS=regressors)
    assert price == pytest.approx(alone, rel=1e-9)


def test_fewer_paths_in_the_money_than_basis_functions():
    # 12 paths, 11 basis functions, about half the paths in the money.
    paths = 12
    rows = [("P", t, ">", 1.0, "put") for t in exercise_dates(4)]
    model, hindsight = GBM(paths), GBM(paths)
    price = mc(rows, model, mc_dataset(paths, REGRESSORS=["STOCK"], DEGREE=10), PUT)
    mc(rows, hindsight, mc_dataset(paths), PUT)
    assert math.isfinite(price)
    assert np.all(model.pv() <= hindsight.pv())


def test_paths_without_a_finite_state_do_not_exercise():
    # The regressor is NaN on every other path: without an estimate those
    # paths keep their continuation, even at the last date; the others still
    # decide on the fit.
    holes = {"holed": {"type": "phrase", "fn": lambda x: [np.where(np.arange(x[0].size) % 2 == 0, x[0], np.nan)],
                       "inp": ["STOCK"]}}
    rows = [("P", t, ">", 1.0, "put") for t in exercise_dates(4)]
    _, model = priced(rows, {**PUT, **holes}, flags=3, REGRESSORS=["holed"])
    choices = model.get("CHOICES")
    for event in range(4):
        assert not choices[event][0][1::2].any()
        assert choices[event][0][0::2].any()


# --- what the regressors are, and when they are valued ---------------------------


def test_regressors_are_valued_like_phrase_inputs():
    # The same stock through the model, a phrase and a stored snap.
    expressions = {
        **PUT,
        "copy": {"type": "phrase", "fn": lambda x: [x[0] + 0.0], "inp": ["STOCK"]},
        "keep": {"type": "snapper", "fn": lambda x: [x[0] + 0.0], "inp": ["STOCK"], "out": ["KEPT"]},
    }
    rows = []
    for t in exercise_dates(6):
        rows += [("P", t, None, 0.0, "keep"), ("P", t, ">", 1.0, "put")]
    prices = {name: priced(rows, expressions, REGRESSORS=[name])[0] for name in ("STOCK", "copy", "KEPT")}
    assert prices["copy"] == prices["STOCK"] == prices["KEPT"]


def test_contract_without_choices_prices_the_same_with_and_without_regressors():
    # Regressors are valued at choice events only: one that cannot be valued
    # does no harm here.
    expressions = {
        "call": {"type": "phrase", "fn": lambda x: [np.maximum(x[0] - STRIKE, 0.0)], "inp": ["STOCK"]},
        "knocked": {"type": "phrase", "fn": lambda x: [(x[0] > 120.0).astype(float)], "inp": ["STOCK"]},
    }
    rows = [("P", YEAR // 2, "knocked", 0.0, "USD"), ("P", YEAR, "+", 1.0, "call")]
    results = []
    for mc_keys in ({}, {"REGRESSORS": ["STOCK", "NOWHERE"], "DEGREE": 3}):
        model = GBM()
        price = mc(rows, model, mc_dataset(flags=9, **mc_keys), expressions)
        results.append((price, model.pv(), model.get("CASHFLOW"), model.asked))
    (price, pv, cashflow, asked), (price_r, pv_r, cashflow_r, asked_r) = results
    assert price == price_r
    np.testing.assert_array_equal(pv, pv_r)
    assert cashflow.keys() == cashflow_r.keys()
    for track in cashflow:
        for event in cashflow[track]:
            np.testing.assert_array_equal(cashflow[track][event], cashflow_r[track][event])
    assert asked == asked_r


@pytest.mark.parametrize("mc_keys", [{}, {"REGRESSORS": []}, {"REGRESSORS": (), "DEGREE": 4}], ids=repr)
def test_no_regressors_keeps_the_pathwise_choice(mc_keys):
    rows = [("P", t, ">", 1.0, "put") for t in exercise_dates(4)]
    pathwise, _ = priced(rows, PUT)
    price, _ = priced(rows, PUT, **mc_keys)
    assert price == pathwise


def test_degree_defaults_to_two():
    rows = [("P", t, ">", 1.0, "put") for t in exercise_dates(12)]
    default, _ = priced(rows, PUT, REGRESSORS=["STOCK"])
    assert priced(rows, PUT, REGRESSORS=["STOCK"], DEGREE=2)[0] == default
    assert priced(rows, PUT, REGRESSORS=["STOCK"], DEGREE=1)[0] != default


# --- failures ------------------------------------------------------------------


def _raises(x):
    raise ValueError("bad")


FAILING = {
    **PUT,
    "bad": {"type": "phrase", "fn": _raises, "inp": ["STOCK"]},
    "short": {"type": "phrase", "fn": lambda x: [np.ones(3)], "inp": []},
}


@pytest.mark.parametrize(
    "regressor, cause",
    [
        ("NOWHERE", "Asset 'NOWHERE' not found in snaps, expressions, or in dataset[ASSETS]"),
        ("bad", "Error in Phrase Evaluation, caused by \nValueError: bad"),
        ("short", "Vector lengths 5 and 3 cannot be combined"),
    ],
)
def test_a_regressor_that_cannot_be_valued_fails_at_the_first_choice_event(regressor, cause):
    rows = [("P", YEAR // 4, "+", 1.0, "USD"), ("P", YEAR // 2, ">", 1.0, "put"), ("P", YEAR, ">", 1.0, "put")]
    with pytest.raises(RuntimeError) as err:
        mc(rows, GBM(5), mc_dataset(5, REGRESSORS=["STOCK", regressor]), FAILING)
    message = str(err.value)
    assert message.startswith(MODEL_PREFIX + "Error at event:\n  #1: ")
    assert message.endswith(f", caused by \nError in regressor '{regressor}', caused by \n{cause}")


def _wrong_type(key, detail):
    return PARSE_PREFIX + f"Error in value of {key}, likely incorrect type. caused by \n" + detail


@pytest.mark.parametrize(
    "mc_keys, message",
    [
        ({"REGRESSORS": "STOCK"}, _wrong_type("REGRESSORS", "TypeError: ")),
        ({"REGRESSORS": ["STOCK", 1]}, _wrong_type("REGRESSORS", "TypeError: ")),
        ({"REGRESSORS": None}, _wrong_type("REGRESSORS", "TypeError: ")),
        ({"DEGREE": 2.0}, _wrong_type("DEGREE", "TypeError: ")),
        ({"DEGREE": 2**63}, _wrong_type("DEGREE", "OverflowError: ")),
        ({"DEGREE": 0}, PARSE_PREFIX + "Invalid value '0' for key 'DEGREE'"),
        ({"DEGREE": -1}, PARSE_PREFIX + "Invalid value '-1' for key 'DEGREE'"),
        # Eight paths cannot fit nine basis functions, nor ten.
        ({"REGRESSORS": ["STOCK"], "DEGREE": 8}, PARSE_PREFIX + "Invalid value '8' for key 'DEGREE'"),
        ({"REGRESSORS": ["STOCK", "EURO"], "DEGREE": 3}, PARSE_PREFIX + "Invalid value '3' for key 'DEGREE'"),
        ({"REGRESSORS": ["STOCK"], "DEGREE": 2**62}, PARSE_PREFIX + f"Invalid value '{2**62}' for key 'DEGREE'"),
        # Read after FLAGS, REGRESSORS before DEGREE, both before PRICING_TS.
        ({"FLAGS": 16, "REGRESSORS": "STOCK"}, PARSE_PREFIX + "Invalid bits set in FLAG"),
        ({"REGRESSORS": "STOCK", "DEGREE": 0}, _wrong_type("REGRESSORS", "TypeError: ")),
        ({"DEGREE": 0, "PRICING_TS": None}, PARSE_PREFIX + "Invalid value '0' for key 'DEGREE'"),
    ],
    ids=repr,
)
def test_parameter_errors(mc_keys, message):
    mc_keys = dict(mc_keys)
    dataset = mc_dataset(8)
    if mc_keys.pop("PRICING_TS", 0) is None:
        del dataset["PRICING_TS"]
    dataset["MC"].update(mc_keys)
    model = GBM(8)
    with pytest.raises(RuntimeError) as err:
        mc([("P", YEAR, ">", 1.0, "put")], model, dataset, PUT)
    assert str(err.value).startswith(message)
    assert model.asked == []


@pytest.mark.parametrize(
    "mc_keys",
    [{"REGRESSORS": ["STOCK"], "DEGREE": 7}, {"REGRESSORS": ["STOCK", "EURO"], "DEGREE": 2}, {"DEGREE": 50}],
    ids=repr,
)
def test_largest_degrees_the_paths_allow(mc_keys):
    model = GBM(8)
    price = mc([("P", t, ">", 1.0, "put") for t in exercise_dates(4)], model, mc_dataset(8, **mc_keys), PUT)
    assert math.isfinite(price)
