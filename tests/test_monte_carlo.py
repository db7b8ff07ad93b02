"""mc_price: the Monte Carlo engine driven by a Python model object.

The model object moves its own simulation (`advance(t)`), answers asset
values per path (`get_value(name)`) and receives the statistics; the engine
books, rolls back and averages over paths.
"""

import math

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset

PREFIX = "Error during model evaluation, caused by\n"
TS = 1_600_000_000_000  # a valuation time away from the epoch, so that t is visibly measured from it
RATE = 0.05


def df(t):
    return math.exp(-RATE * t)


class Model(Recorder):
    """A py_state whose answers are given up front and whose calls are logged.

    `advance` and `get_value` are either a constant answer, a callable, or (for
    advance) a list of answers handed out one per call.
    """

    def __init__(self, advance=None, get_value=None):
        super().__init__()
        self._advance = list(advance) if isinstance(advance, tuple) else advance
        self._get_value = get_value
        self.log = []

    def advance(self, t):
        self.log.append(("advance", t))
        answer = self._advance
        if isinstance(answer, list):
            return answer.pop(0)
        return answer(t) if callable(answer) else answer

    def get_value(self, name):
        self.log.append(("get_value", name))
        answer = self._get_value
        return answer(name) if callable(answer) else answer

    def advance_times(self):
        return [t for what, t in self.log if what == "advance"]


def dataset(paths=3, flags=0):
    ds = flat_dataset(RATE, MC={"PATHS": paths, "SEED": 7, "FLAGS": flags})
    ds["PRICING_TS"] = TS
    ds["ASSETS"]["S"] = ("FORWARDS", np.array([[0.0, 100.0], [10.0, 100.0 * math.exp(0.5)]]))
    return ds


def forward_s(t):
    return 100.0 * math.exp(0.05 * t)


def price(rows, model, ds, expressions=None):
    return _mirvon.mc_price(events_batch(rows, tracks=["a"]), model, ds, expressions or {})


# --- time and advance -------------------------------------------------------


def test_advance_once_per_later_time_with_t_from_pricing_ts():
    odd = 1_234_567  # a time that is not a round fraction of a year
    rows = [
        ("a", TS, "+", 1.0, "USD"),
        ("a", TS, "+", 1.0, "S"),
        ("a", TS + odd, "+", 1.0, "S"),
        ("a", TS + YEAR // 2, "+", 1.0, "S"),
        ("a", TS + YEAR // 2, "+", 1.0, "S"),
        ("a", TS + YEAR // 2, "+", 1.0, "USD"),
        ("a", TS + YEAR, "+", 1.0, "S"),
    ]
    model = Model()
    price(rows, model, dataset(flags=8))
    assert model.log == [
        ("get_value", "USD"),
        ("get_value", "S"),
        ("advance", odd / 3.1536e10),
        ("get_value", "S"),
        ("advance", 0.5),
        ("get_value", "S"),
        ("get_value", "S"),
        ("get_value", "USD"),
        ("advance", 1.0),
        ("get_value", "S"),
    ]
    assert all(type(t) is float for t in model.advance_times())
    # Nothing advanced the discount vector before the first later time.
    cashflow = model.get("CASHFLOW")[0]
    np.testing.assert_array_equal(cashflow[0], [1.0, 1.0, 1.0])
    np.testing.assert_allclose(cashflow[1], [100.0] * 3, rtol=1e-14)
    np.testing.assert_allclose(cashflow[5], [df(0.5)] * 3, rtol=1e-15)


def test_event_before_pricing_ts_fails_before_any_advance():
    model = Model(advance=lambda t: pytest.fail("advance must not be called"))
    with pytest.raises(RuntimeError) as err:
        price([("a", TS - 1, "+", 1.0, "USD")], model, dataset())
    assert str(err.value).startswith(PREFIX + "Error at event:\n  #0: ")
    assert str(err.value).endswith(f", caused by \nevent time is earlier than the current time {TS}")
    assert model.log == []


def test_event_earlier_than_previous_names_the_advanced_time():
    model = Model()
    rows = [("a", TS + YEAR, "+", 1.0, "USD"), ("a", TS + YEAR - 1, "+", 1.0, "USD")]
    with pytest.raises(RuntimeError) as err:
        price(rows, model, dataset())
    assert str(err.value).startswith(PREFIX + "Error at event:\n  #1: ")
    assert str(err.value).endswith(f"event time is earlier than the current time {TS + YEAR}")
    assert model.advance_times() == [1.0]


# --- discounting ------------------------------------------------------------


class Half:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize(
    "answers, expected",
    [
        pytest.param((0.5, 0.5), [0.25] * 3, id="float-twice"),
        pytest.param((np.float64(0.5), 3), [1.5] * 3, id="numpy-scalar-then-int"),
        pytest.param((Half(), np.array([0.5])), [0.25] * 3, id="float-conversion-then-one-element-array"),
        pytest.param((None, np.array([1.0, 2.0, 3.0])), [df(1), 2 * df(1), 3 * df(1)], id="curve-then-array"),
        pytest.param((np.array([1.0, 2.0, 3.0]), 0.5), [0.5, 1.0, 1.5], id="array-then-float"),
        pytest.param((np.array([1.0, 2.0, 3.0]), np.array([2.0, 2.0, 0.5])), [2.0, 4.0, 1.5], id="array-twice"),
        # An unusable answer replaces, not multiplies, what the earlier steps left.
        pytest.param((np.array([1.0, 2.0, 3.0]), None), [df(2)] * 3, id="array-then-none"),
        pytest.param((0.5, [0.5, 0.5, 0.5]), [df(2)] * 3, id="list-falls-back"),
        pytest.param((0.5, "0.5"), [df(2)] * 3, id="str-falls-back"),
        pytest.param((0.5, np.ones((3, 1))), [df(2)] * 3, id="2d-array-falls-back"),
    ],
)
def test_discount_vector_accumulates_advance_answers(answers, expected):
    model = Model(advance=answers)
    rows = [("a", TS + YEAR, "+", 1.0, "USD"), ("a", TS + 2 * YEAR, "+", 1.0, "USD")]
    price(rows, model, dataset(flags=8))
    np.testing.assert_allclose(model.get("CASHFLOW")[0][1], expected, rtol=1e-15)


def test_advance_array_is_copied():
    # A model that reuses its buffer must not change what the engine already holds.
    factors = np.array([0.5, 0.5, 0.5])

    def advance(t):
        factors[:] = 0.0 if t > 1.5 else 0.5
        return factors if t < 1.5 else 1.0

    model = Model(advance=advance)
    rows = [("a", TS + YEAR, "+", 1.0, "USD"), ("a", TS + 2 * YEAR, "+", 1.0, "USD")]
    assert price(rows, model, dataset(flags=8)) == pytest.approx(1.0)
    np.testing.assert_array_equal(model.get("CASHFLOW")[0][1], [0.5] * 3)


# --- asset values -----------------------------------------------------------


@pytest.mark.parametrize(
    "answer",
    [
        pytest.param(None, id="none"),
        pytest.param([1.0, 2.0, 3.0], id="list"),
        pytest.param(np.array([[1.0], [2.0], [3.0]]), id="2d-array"),
        pytest.param(2.0, id="float"),
        pytest.param(np.float64(2.0), id="numpy-scalar"),
        pytest.param(np.array(2.0), id="0d-array"),
        pytest.param(np.array([1.0, 2.0, 3.0], dtype=np.float32), id="float32-array"),
        pytest.param(np.array([1, 2, 3]), id="int-array"),
    ],
)
def test_get_value_without_usable_array_uses_forward(answer):
    model = Model(advance=0.5, get_value=answer)
    price([("a", TS + YEAR, "+", 2.0, "S")], model, dataset(flags=1))
    np.testing.assert_allclose(model.get("PV_VEC"), [0.5 * 2.0 * forward_s(1.0)] * 3, rtol=1e-14)


@pytest.mark.parametrize(
    "answer, expected",
    [
        pytest.param(np.array([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0], id="per-path"),
        pytest.param(np.arange(6.0)[::2], [0.0, 2.0, 4.0], id="strided"),
        pytest.param(np.array([[1.0, 9.0], [2.0, 9.0], [3.0, 9.0]])[:, 0], [1.0, 2.0, 3.0], id="column"),
        pytest.param(np.array([4.0]), [4.0] * 3, id="one-element"),
    ],
)
def test_get_value_array_is_scaled_by_discounted_quantity(answer, expected):
    model = Model(advance=0.5, get_value=answer)
    price([("a", TS + YEAR, "+", 2.0, "S")], model, dataset(flags=1))
    np.testing.assert_array_equal(model.get("PV_VEC"), np.array(expected) * 0.5 * 2.0)


def test_get_value_array_is_copied():
    spot = np.array([1.0, 2.0, 3.0])

    def advance(t):
        spot[:] *= 10.0  # the model moves its paths in place
        return 1.0

    model = Model(advance=advance, get_value=lambda name: spot)
    rows = [("a", TS + YEAR, "+", 1.0, "S"), ("a", TS + 2 * YEAR, "+", 1.0, "S")]
    price(rows, model, dataset(flags=8))
    cashflow = model.get("CASHFLOW")[0]
    np.testing.assert_array_equal(cashflow[0], [10.0, 20.0, 30.0])
    np.testing.assert_array_equal(cashflow[1], [100.0, 200.0, 300.0])


def test_phrase_and_condition_inputs_use_unscaled_model_values():
    spot = np.array([90.0, 100.0, 120.0])
    knocked = np.array([1.0, 0.0, 1.0])
    model = Model(advance=0.5, get_value=lambda name: {"S": spot, "KO": knocked}.get(name))
    seen = []

    def payoff(inputs):
        seen.append(inputs[0].copy())
        return [np.maximum(inputs[0] - 95.0, 0.0)]

    expressions = {"call": {"type": "phrase", "fn": payoff, "inp": ["S"]}}
    rows = [
        ("a", TS + YEAR, "KO", 7.0, "USD"),  # where KO is 1 the track is worth 7 instead
        ("a", TS + YEAR, "+", 2.0, "call"),
    ]
    price(rows, model, dataset(flags=1), expressions)
    np.testing.assert_array_equal(seen[0], spot)
    np.testing.assert_array_equal(model.get("PV_VEC"), [0.5 * 7.0, 0.5 * 2.0 * 5.0, 0.5 * 7.0])
    assert ("get_value", "KO") in model.log


def test_plain_payments_match_fixed_price_when_model_gives_nothing():
    # A curve that is not flat, so that a misplaced discount factor would show;
    # any zero curve starting at time 0 has a discount factor of 1 there.
    ds = dataset(paths=4, flags=9)
    ds["ASSETS"]["USD"] = ("ZERO_RATES", np.array([[0.0, 0.01], [1.0, 0.03], [5.0, 0.04]]))
    ds["ASSETS"]["S"] = ("FORWARDS", np.array([[0.0, 100.0], [1.0, 104.0], [5.0, 120.0]]))
    ds["FIXED"] = {"FLAGS": 9}
    expressions = {"basket": {"type": "phrase", "fn": lambda x: [x[0] * 0.5 + 3.0], "inp": ["S"]}}
    rows = [
        ("a", TS, "+", 1.0, "S"),
        ("a", TS + YEAR // 3, "+", -2.5, "USD"),
        ("a", TS + YEAR // 3, "+", 1.5, "basket"),
        ("a", TS + 3 * YEAR, "+", 1.0, "b"),
        ("b", TS + 3 * YEAR, "+", 4.0, "S"),
        ("a", TS + 4 * YEAR + 17, "+", -0.25, "basket"),
    ]
    batch = events_batch(rows, tracks=["a"])
    model, fixed = Model(), Recorder()
    mc = _mirvon.mc_price(batch, model, ds, expressions)
    expected = _mirvon.fixed_price(batch, fixed, ds, expressions)
    assert mc == pytest.approx(expected, rel=1e-14)
    np.testing.assert_allclose(model.get("PV_VEC"), [expected] * 4, rtol=1e-14)
    mc_cf, fixed_cf = model.get("CASHFLOW"), fixed.get("CASHFLOW")
    assert mc_cf.keys() == fixed_cf.keys()
    for track, by_event in fixed_cf.items():
        assert mc_cf[track].keys() == by_event.keys()
        for event, value in by_event.items():
            np.testing.assert_allclose(mc_cf[track][event], np.repeat(value, 4), rtol=1e-14)


# --- failures ---------------------------------------------------------------


def _raise(exc):
    def fail(*args):
        raise exc

    return fail


@pytest.mark.parametrize(
    "answers, rows, cause",
    [
        pytest.param(
            {"get_value": _raise(ValueError("no quote"))},
            [("a", TS, "+", 1.0, "S")],
            "Error in Python method 'get_value', caused by \nValueError: no quote",
            id="get-value-raises",
        ),
        pytest.param(
            {"get_value": np.ones(2)},
            [("a", TS, "+", 1.0, "S")],
            "Python method 'get_value' returned an array of length 2, expected 1 or 3",
            id="get-value-wrong-length",
        ),
        pytest.param({}, [("a", None, "+", 1.0, "USD")], "missing time", id="missing-time"),
    ],
)
def test_valuation_failures_carry_event_context(answers, rows, cause):
    with pytest.raises(RuntimeError) as err:
        price(rows, Model(**answers), dataset())
    text = str(err.value)
    assert text.startswith(PREFIX + "Error at event:\n  #0: ")
    assert text.endswith(", caused by \n" + cause)


@pytest.mark.parametrize(
    "advance, message",
    [
        pytest.param(
            _raise(ZeroDivisionError("step")),
            "Error in Python method 'advance', caused by \nZeroDivisionError: step",
            id="raises",
        ),
        pytest.param(
            np.ones(4),
            "Python method 'advance' returned an array of length 4, expected 1 or 3",
            id="wrong-length",
        ),
        pytest.param(
            None,
            "Error in 'discount factor' value at 60, caused by \n'Error: Interpolation out of range "
            "at time 60.\n Perhaps the time range in forwards/discount data is too short.'",
            id="curve-too-short",
        ),
    ],
)
def test_advance_failures_have_no_event_context(advance, message):
    model = Model(advance=advance)
    with pytest.raises(RuntimeError) as err:
        price([("a", TS, "+", 1.0, "USD"), ("a", TS + 60 * YEAR, "+", 1.0, "USD")], model, dataset())
    assert str(err.value) == PREFIX + message
    assert model.advance_times() == [60.0]


def test_missing_track_zero():
    with pytest.raises(RuntimeError) as err:
        _mirvon.mc_price(events_batch([("b", TS, "+", 1.0, "USD")], tracks=["a"]), Model(), dataset(), {})
    assert str(err.value) == PREFIX + "Track 0 not found"


def _without(section, key):
    ds = dataset()
    del (ds[section] if section else ds)[key]
    return ds


def _with_mc(**entries):
    ds = dataset()
    ds["MC"].update(entries)
    return ds


@pytest.mark.parametrize(
    "ds, message",
    [
        pytest.param(_without(None, "MC"), "Py Dictionary is missing key 'MC'", id="no-mc"),
        pytest.param(_without("MC", "PATHS"), "Py Dictionary is missing key 'PATHS'", id="no-paths"),
        pytest.param(_without("MC", "SEED"), "Py Dictionary is missing key 'SEED'", id="no-seed"),
        pytest.param(_without(None, "PRICING_TS"), "Py Dictionary is missing key 'PRICING_TS'", id="no-ts"),
        pytest.param(_with_mc(PATHS=0), "Invalid value '0' for key 'PATHS'", id="zero-paths"),
        pytest.param(_with_mc(FLAGS=16), "Invalid bits set in FLAG", id="flags-16"),
        pytest.param(
            _with_mc(PATHS=-1), "Error in value of PATHS, likely incorrect type. caused by \n", id="negative-paths"
        ),
        pytest.param(
            _with_mc(SEED=1.5), "Error in value of SEED, likely incorrect type. caused by \n", id="float-seed"
        ),
    ],
)
def test_parameter_errors(ds, message):
    model = Model()
    with pytest.raises(RuntimeError) as err:
        price([("a", TS, "+", 1.0, "USD")], model, ds)
    assert str(err.value).startswith("Error while parsing Dataset, caused by\n" + message)
    assert model.log == []


# Counts beyond what a vector can address fail before any allocation is tried,
# which also keeps the test usable under a sanitizer that aborts on huge requests.
@pytest.mark.parametrize("paths", [2**60, 2**64 - 1])
def test_huge_path_count_raises_memory_error(paths):
    with pytest.raises(MemoryError):
        price([("a", TS, "+", 1.0, "USD")], Model(), dataset(paths=paths))
    # The interpreter and the module carry on.
    assert price([("a", TS, "+", 1.0, "USD")], Model(), dataset(paths=2)) == 1.0


# --- statistics -------------------------------------------------------------


@pytest.mark.parametrize("paths", [1, 5])
def test_statistics_have_one_element_per_path(paths):
    # Every value here is a single number, yet the results are per path.
    rows = [
        ("a", TS + YEAR, ">", 90.0, "USD"),
        ("a", TS + YEAR, "+", 1.0, "S"),
        ("a", TS + 2 * YEAR, "+", 1.0, "b"),
        ("b", TS + 3 * YEAR, "+", 5.0, "USD"),
    ]
    model = Model()
    result = price(rows, model, dataset(paths=paths, flags=11))
    assert model.names() == ["PV_VEC", "CHOICES", "CASHFLOW"]
    pv = model.get("PV_VEC")
    assert pv.dtype == np.float64 and pv.shape == (paths,)
    assert result == pytest.approx(pv.mean(), rel=1e-15)
    choice = model.get("CHOICES")[0][0]
    assert choice.dtype == np.uint64 and choice.shape == (paths,)
    assert not choice.any()  # 90 at one year is worth less than what follows
    cashflows = model.get("CASHFLOW")
    assert {k: set(v) for k, v in cashflows.items()} == {0: {0, 1, 2}, 1: {3}}
    for by_event in cashflows.values():
        for value in by_event.values():
            assert value.dtype == np.float64 and value.shape == (paths,)


# --- a seeded geometric Brownian motion against the closed form ---------------


class GBM(Recorder):
    def __init__(self, spot, rate, vol, paths, seed):
        super().__init__()
        self.rate, self.vol = rate, vol
        self.rng = np.random.default_rng(seed)
        self.spot = np.full(paths, spot)
        self.t = 0.0

    def advance(self, t):
        dt = t - self.t
        z = self.rng.standard_normal(self.spot.size)
        self.spot = self.spot * np.exp((self.rate - 0.5 * self.vol**2) * dt + self.vol * math.sqrt(dt) * z)
        self.t = t
        return math.exp(-self.rate * dt)

    def get_value(self, name):
        return self.spot if name == "S" else None


def black_scholes_call(spot, strike, rate, vol, t):
    d1 = (math.log(spot / strike) + (rate + 0.5 * vol**2) * t) / (vol * math.sqrt(t))
    d2 = d1 - vol * math.sqrt(t)
    n = lambda x: 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))  # noqa: E731
    return spot * n(d1) - strike * math.exp(-rate * t) * n(d2)


def test_gbm_european_call_within_three_standard_errors():
    paths, strike, vol = 20_000, 105.0, 0.2
    model = GBM(100.0, RATE, vol, paths, seed=2024)
    expressions = {"call": {"type": "phrase", "fn": lambda x: [np.maximum(x[0] - strike, 0.0)], "inp": ["S"]}}
    # Two steps, so that the per-step factors must accumulate to the full discount.
    rows = [("a", TS + YEAR // 2, "+", 0.0, "USD"), ("a", TS + YEAR, "+", 1.0, "call")]
    result = price(rows, model, dataset(paths=paths, flags=1), expressions)
    pv = model.get("PV_VEC")
    stderr = pv.std(ddof=1) / math.sqrt(paths)
    assert abs(result - black_scholes_call(100.0, strike, RATE, vol, 1.0)) < 3 * stderr
