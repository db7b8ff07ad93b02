"""Grid pricing: fd_blackscholes_price and fd_hullwhite_price.

Prices are checked against independent references (the Black-Scholes closed
form, the discount curve for bonds), the refinement pattern of a second-order
scheme, the steps that must leave the grid alone, and the failures a caller
can meet: bad grid parameters, units the grid cannot value, market data that
does not cover the contract.
"""

import contextlib
import ctypes
import math

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
from mirvon.exercise import exercise_rows
from conftest import YEAR, Recorder, events_batch, flat_curve, flat_dataset

RATE, SPOT, VOL, STRIKE = 0.05, 100.0, 0.2, 100.0
T = YEAR  # maturity of the test contracts: one year after the valuation time
MODEL_PREFIX = "Error during model evaluation, caused by\n"
PARSE_PREFIX = "Error while parsing Dataset, caused by\n"


def norm_cdf(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def black_scholes(kind, spot, strike, rate, vol, t):
    d1 = (math.log(spot / strike) + (rate + 0.5 * vol * vol) * t) / (vol * math.sqrt(t))
    d2 = d1 - vol * math.sqrt(t)
    if kind == "call":
        return spot * norm_cdf(d1) - strike * math.exp(-rate * t) * norm_cdf(d2)
    return strike * math.exp(-rate * t) * norm_cdf(-d2) - spot * norm_cdf(-d1)


def bs_dataset(n_x=200, max_x=1.0, timestep=0.01, rate=RATE, spot=SPOT, vol=VOL, flags=0, horizon=50.0):
    """Flat base rate, and the asset S on the forward curve of that rate with its spot at time 0."""
    dataset = flat_dataset(
        rate,
        FD={"N_X": n_x, "MAX_X": max_x, "TIMESTEP": timestep, "FLAGS": flags},
        BS={"VOL": vol, "ASSET": "S"},
    )
    forwards = np.array([[0.0, spot], [horizon, spot * math.exp(rate * horizon)]])
    dataset["ASSETS"]["S"] = ("FORWARDS", forwards)
    return dataset


# An upward-sloping curve, so that a model which discounted at the wrong
# point of the curve would miss the bond by far more than the grid's error.
SLOPED = ("ZERO_RATES", np.array([[0.0, 0.02], [1.0, 0.025], [5.0, 0.035], [10.0, 0.04], [30.0, 0.045]]))


def sloped_discount(t):
    times, rates = SLOPED[1][:, 0], SLOPED[1][:, 1]
    return math.exp(-np.interp(t, times, times * rates))


def hw_dataset(meanrev=0.1, vol=0.01, n_x=100, max_x=0.1, timestep=1 / 48, flags=0):
    dataset = flat_dataset(
        0.0,
        FD={"N_X": n_x, "MAX_X": max_x, "TIMESTEP": timestep, "FLAGS": flags},
        HW={"MEANREV": meanrev, "VOL": vol},
    )
    dataset["ASSETS"]["USD"] = SLOPED
    return dataset


def price_bs(rows, dataset, state=None, expressions=None, tracks=("P", "E")):
    return _mirvon.fd_blackscholes_price(events_batch(rows, tracks=list(tracks)), state, dataset, expressions or {})


def price_hw(rows, dataset, state=None, tracks=("P",)):
    return _mirvon.fd_hullwhite_price(events_batch(rows, tracks=list(tracks)), state, dataset, {})


# Both grid functions with a dataset they accept, for the checks they share.
ENGINES = pytest.mark.parametrize(
    "engine, make_dataset",
    [(_mirvon.fd_blackscholes_price, bs_dataset), (_mirvon.fd_hullwhite_price, hw_dataset)],
    ids=["bs", "hw"],
)


def vanilla(kind, t, strike=STRIKE):
    # Rows of equal time are applied from the highest index down: the payoff
    # is built first and the floor at zero comes last.
    sign = 1.0 if kind == "call" else -1.0
    return [("P", t, ">", 0.0, "USD"), ("P", t, "+", -sign * strike, "USD"), ("P", t, "+", sign, "S")]


def american_put(steps, strike=STRIKE):
    """Exercise at every step date, with the exercise value K - S on track E."""
    return exercise_rows("P", "E", [k * YEAR // steps for k in range(steps + 1)], [(strike, "USD"), (-1.0, "S")])


# ---------------------------------------------------------------- Black-Scholes

@pytest.mark.parametrize("kind", ["call", "put"])
def test_european_matches_closed_form(kind):
    # Central differences in x and Crank-Nicolson in t leave an error
    # c (dx^2 + dt^2), c set by the payoff's curvature at the strike; for an
    # at-the-money vanilla c is a fraction of the spot, so S0 dx^2 (0.0025 at
    # dx = 0.005) bounds it. The grid spans 5 standard deviations each way, so
    # the truncated domain costs far less. A wrong drift, discount or end row
    # misses by orders of magnitude more.
    n_x, max_x = 200, 1.0
    price = price_bs(vanilla(kind, YEAR), bs_dataset(n_x=n_x, max_x=max_x, timestep=0.01))
    reference = black_scholes(kind, SPOT, STRIKE, RATE, VOL, 1.0)
    assert price == pytest.approx(reference, abs=SPOT * (max_x / n_x) ** 2)


def test_error_shrinks_fourfold_when_grid_is_halved():
    reference = black_scholes("put", SPOT, STRIKE, RATE, VOL, 1.0)
    errors = [
        abs(price_bs(vanilla("put", YEAR), bs_dataset(n_x=n_x, timestep=1.0 / steps)) - reference)
        for n_x, steps in [(100, 50), (200, 100), (400, 200)]
    ]
    ratios = [coarse / fine for coarse, fine in zip(errors, errors[1:])]
    assert all(3.0 < r < 5.0 for r in ratios), (errors, ratios)


def test_american_put_exceeds_european_and_its_exercise_value(recorder):
    n_x, max_x = 200, 1.0
    dataset = bs_dataset(n_x=n_x, max_x=max_x, timestep=1 / 365, flags=1)
    american = price_bs(american_put(365), dataset, recorder)
    european = black_scholes("put", SPOT, STRIKE, RATE, VOL, 1.0)
    # The early-exercise premium here is about 0.52; daily exercise on this
    # grid lands within a few thousandths of the American value 6.0904.
    assert american > european + 0.4
    assert american == pytest.approx(6.0904, abs=5e-3)
    # Exercise is allowed at the valuation time too, so no node may be worth
    # less than exercising there.
    spots = SPOT * np.exp(max_x - np.arange(2 * n_x + 1) * (max_x / n_x))
    assert np.all(recorder.get("PV_VEC") >= STRIKE - spots - 1e-9)


def test_tracks_are_stepped_independently():
    # Three live tracks share every step's matrices but nothing else: each
    # must come out exactly as it does when priced alone.
    dataset = bs_dataset(n_x=100, timestep=0.02)
    alone = {
        "put": price_bs(vanilla("put", T), dataset),
        "call": price_bs(vanilla("call", T), dataset),
        "forward": price_bs([("P", T // 2, "+", 2.0, "S")], dataset),
    }
    call_on_e = [(("E",) + row[1:]) for row in vanilla("call", T)]
    rows = [("P", 0, "+", 1.0, "E"), ("P", 0, "+", 1.0, "F"), ("F", T // 2, "+", 2.0, "S")]
    together = price_bs(rows + vanilla("put", T) + call_on_e, dataset, tracks=("P", "E", "F"))
    # Rows of one time apply from the highest index down: F first, then E.
    assert together == (alone["put"] + alone["forward"]) + alone["call"]


def test_units_at_the_valuation_time_need_no_step():
    dataset = bs_dataset()
    dataset["ASSETS"]["G"] = ("FORWARDS", np.array([[0.0, 7.0], [50.0, 9.0]]))
    assert price_bs([("P", 0, "+", 3.0, "S")], dataset) == pytest.approx(3.0 * SPOT, rel=1e-14)
    assert price_bs([("P", 0, "+", 3.0, "G")], dataset) == pytest.approx(21.0, rel=1e-14)


def test_other_assets_are_worth_their_forward_discounted(recorder):
    dataset = bs_dataset(flags=1)
    dataset["ASSETS"]["G"] = ("FORWARDS", np.array([[0.0, 7.0], [50.0, 9.0]]))
    forward = 7.0 * (9.0 / 7.0) ** (2.0 / 50.0)
    price_bs([("P", 2 * YEAR, "+", 2.0, "G")], dataset, recorder)
    pv = recorder.get("PV_VEC")
    # A payoff the same at every node stays flat, discounted by the curve.
    assert pv.shape == (2 * 200 + 1,)
    np.testing.assert_allclose(pv, 2.0 * forward * math.exp(-2 * RATE), rtol=1e-8)


def reference_bs_step(v, dt, dx, rate, drift):
    """One Crank-Nicolson step of the Black-Scholes grid, straight from its
    definition: P and Q as full matrices and a dense solve."""
    n = len(v)
    d = VOL**2 * (0.25 * dt) / dx**2
    c = (0.25 * dt) * (drift - 0.5 * VOL**2) / dx
    disc = 0.5 * dt * rate
    p = (np.diag(np.full(n - 1, -d - c), -1) + np.diag(np.full(n, 2 * d - 1 + disc))
         + np.diag(np.full(n - 1, c - d), 1))
    p[0, 0], p[0, 1] = disc - 1 - 2 * c, 2 * c
    p[-1, -2], p[-1, -1] = -2 * c, disc + 2 * c - 1
    return np.linalg.solve(-2 * np.eye(n) - p, p @ v)


@pytest.mark.parametrize("n_x", [1, 2, 3, 10])
@pytest.mark.parametrize("tracks", [("P", "E"), ("P", "E", "F")])
def test_the_step_is_the_crank_nicolson_step_it_describes(n_x, tracks):
    # A put on P and a call on every other track, all added to P at the
    # valuation time: one, two and three vectors per sweep, grids of 3 to 21
    # nodes, and a TIMESTEP that leaves a shorter last step.
    max_x, timestep = 0.6, 0.13
    # Rows apply from the last up, so the sums at time 0 come first.
    rows = [("P", 0, "+", 1.0, track) for track in tracks[1:]] + vanilla("put", T)
    for track in tracks[1:]:
        rows += [(track,) + row[1:] for row in vanilla("call", T)]
    recorder = Recorder()
    price_bs(rows, bs_dataset(n_x=n_x, max_x=max_x, timestep=timestep, flags=1), recorder, tracks=tracks)

    dx = max_x / n_x
    spots = SPOT * np.exp(max_x - np.arange(2 * n_x + 1) * dx)
    drift = math.log(SPOT * math.exp(RATE * 50.0) / SPOT) / 50.0
    delta = int(timestep * YEAR)
    times = [t for t in range(T - delta, 0, -delta)] + [0]
    put, call = np.maximum(STRIKE - spots, 0.0), np.maximum(spots - STRIKE, 0.0)
    for t1, t0 in zip([T] + times, times):
        dt = (t1 - t0) / YEAR
        put, call = (reference_bs_step(v, dt, dx, RATE, drift) for v in (put, call))
    expected = put + (len(tracks) - 1) * call
    np.testing.assert_allclose(recorder.get("PV_VEC"), expected, rtol=1e-12, atol=1e-12 * STRIKE)


def test_zero_volatility_and_rates_make_the_step_exact():
    state_later, state_now = Recorder(), Recorder()
    dataset = bs_dataset(rate=0.0, vol=0.0, flags=1)
    price_bs([("P", 3 * YEAR, "+", 1.0, "S")], dataset, state_later)
    price_bs([("P", 0, "+", 1.0, "S")], dataset, state_now)
    np.testing.assert_array_equal(state_later.get("PV_VEC"), state_now.get("PV_VEC"))


# --------------------------------------------------- steps that leave the grid

KINKED = vanilla("put", T)  # a payoff the diffusion visibly smooths


@pytest.mark.parametrize(
    "rows, same_as",
    [
        # 3 ms is below the shortest step: both events are applied at T.
        ([("P", T - 3, "+", 2.0, "S")] + KINKED, [("P", T, "+", 2.0, "S")] + KINKED),
        # An event later than the grid stands (out of order) is applied there.
        ([("P", T, "+", 2.0, "S"), ("P", T // 2, ">", 0.0, "USD")],
         [("P", T // 2, "+", 2.0, "S"), ("P", T // 2, ">", 0.0, "USD")]),
        # Rows of one time apply from the later index: the floor comes last.
        ([("P", T, ">", 0.0, "USD"), ("P", T, "+", -5.0, "USD")], [("P", 0, "+", 0.0, "USD")]),
        # Events before the valuation time: no step goes forward.
        ([("P", -T, "+", 1.0, "USD"), ("P", -T, "+", 2.0, "USD")], [("P", 0, "+", 3.0, "USD")]),
    ],
    ids=["3ms-apart", "out-of-order", "same-time-order", "before-valuation"],
)
def test_steps_that_do_nothing(rows, same_as):
    assert price_bs(rows, bs_dataset()) == price_bs(same_as, bs_dataset())


def test_a_step_just_above_the_threshold_moves_the_grid():
    # The counterpart of the 3 ms case: one more millisecond is a real step.
    apart = price_bs([("P", T - 4, "+", 2.0, "S")] + KINKED, bs_dataset())
    together = price_bs([("P", T, "+", 2.0, "S")] + KINKED, bs_dataset())
    assert apart != together
    assert apart == pytest.approx(together, rel=1e-6)


def shifted(rows, offset):
    return [(track, t + offset, op, q, unit) for track, t, op, q, unit in rows]


# Beyond 2^53 ms a timestamp is no longer exact as a double (at 2^62 the
# doubles lie 1024 ms apart), so a step length taken from two converted
# times would be off by up to that much.
FAR_OFFSETS = [2**53 + 1, 2**61 + 3, -(2**62) + 7]
BOND_OPTION = [("P", T // 2, ">", 0.0, "USD"), ("P", T // 2, "+", -0.97, "USD"), ("P", T // 2, "+", 1.0, "B"),
               ("B", T, "+", 1.0, "USD")]


@pytest.mark.parametrize("offset", FAR_OFFSETS)
@pytest.mark.parametrize(
    "price, rows, dataset",
    [
        (price_bs, [("P", T - 3, "+", 2.0, "S")] + KINKED, bs_dataset()),  # 3 ms: no step
        (price_bs, [("P", T - 4, "+", 2.0, "S")] + KINKED, bs_dataset()),  # 4 ms: a step
        (price_bs, [("P", T - 8, "+", 2.0, "S")] + KINKED, bs_dataset()),
        (price_bs, american_put(7), bs_dataset(n_x=50, timestep=0.0123456789)),  # events off the lattice
        (lambda rows, dataset: price_hw(rows, dataset, tracks=("P", "B")), BOND_OPTION,
         hw_dataset(timestep=0.0123456789)),
    ],
    ids=["3ms", "4ms", "8ms", "american-off-lattice", "hw-bond-option"],
)
def test_prices_do_not_depend_on_how_far_from_1970_the_contract_lies(offset, price, rows, dataset):
    far = dict(dataset, PRICING_TS=offset)
    assert price(shifted(rows, offset), far) == price(rows, dataset)


# ------------------------------------------------------------- repeated steps

@contextlib.contextmanager
def step_reuse_off():
    """Makes the grid build and eliminate every step anew, through the
    module's private switch: a C bool behind a capsule."""
    name = "__grid_step_reuse"
    get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
        ("PyCapsule_GetPointer", ctypes.pythonapi))
    switch = ctypes.c_bool.from_address(get_pointer(vars(_mirvon)[name], f"_mirvon.{name}".encode()))
    assert switch.value
    switch.value = False
    try:
        yield
    finally:
        switch.value = True


# Knots on lattice times, between them and on event times, so that steps
# lie inside a segment, end on a knot or straddle one; the two curves change
# slope at different times.
RATE_KNOTS = np.array([0.0, 0.05, 0.1, 0.137, 0.25, 0.3, 1 / 3, 0.5, 0.61, 0.75, 0.9, 1.0, 1.7, 3.0])
FORWARD_KNOTS = np.array([0.0, 0.02, 0.2, 0.41, 0.5, 0.66, 0.8, 0.93, 1.5, 3.0])
SEGMENTED_RATES = ("ZERO_RATES", np.column_stack([RATE_KNOTS, 0.03 + 0.01 * np.sin(7.0 * RATE_KNOTS)]))
SEGMENTED_FORWARDS = ("FORWARDS", np.column_stack(
    [FORWARD_KNOTS, SPOT * np.exp(0.04 * FORWARD_KNOTS + 0.003 * np.cos(11.0 * FORWARD_KNOTS))]))


def segmented(dataset, asset=True):
    dataset["ASSETS"]["USD"] = SEGMENTED_RATES
    if asset:
        dataset["ASSETS"]["S"] = SEGMENTED_FORWARDS
    return dataset


def off_lattice_put(n_dates):
    """Exercise at dates that a TIMESTEP of 1/100 misses, plus a payment between them."""
    dates = [round(YEAR * (k / n_dates) ** 1.3) + 7 * k for k in range(n_dates + 1)]
    return exercise_rows("P", "E", dates, [(STRIKE, "USD"), (-1.0, "S")]) + [("P", T // 3 + 17, "+", 1.0, "S")]


@pytest.mark.parametrize(
    "engine, rows, tracks, dataset",
    [
        (_mirvon.fd_blackscholes_price, american_put(50), ["P", "E"], bs_dataset(n_x=60, timestep=1 / 50)),
        (_mirvon.fd_blackscholes_price, off_lattice_put(12), ["P", "E"], bs_dataset(n_x=60, timestep=0.01)),
        (_mirvon.fd_blackscholes_price, american_put(50), ["P", "E"], segmented(bs_dataset(n_x=60, timestep=1 / 200))),
        (_mirvon.fd_blackscholes_price, off_lattice_put(12), ["P", "E"], segmented(bs_dataset(n_x=60, timestep=0.01))),
        (_mirvon.fd_hullwhite_price, BOND_OPTION, ["P", "B"], hw_dataset(timestep=1 / 48)),
        (_mirvon.fd_hullwhite_price, BOND_OPTION, ["P", "B"], segmented(hw_dataset(timestep=0.0123), asset=False)),
    ],
    ids=["bs-flat", "bs-flat-off-lattice", "bs-segmented", "bs-segmented-off-lattice", "hw-sloped",
         "hw-segmented-off-lattice"],
)
def test_reusing_repeated_steps_changes_no_value(engine, rows, tracks, dataset):
    # A step is reused only when the numbers its matrices are built from
    # agree bit for bit, so the values must agree exactly, at every node.
    dataset["FD"]["FLAGS"] = 1
    batch = events_batch(rows, tracks=tracks)
    reused, rebuilt = Recorder(), Recorder()
    price = engine(batch, reused, dataset, {})
    with step_reuse_off():
        assert engine(batch, rebuilt, dataset, {}) == price
    np.testing.assert_array_equal(reused.get("PV_VEC"), rebuilt.get("PV_VEC"))


# ------------------------------------------------------------------ Hull-White

@pytest.mark.parametrize("meanrev", [0.1, 1.0])
@pytest.mark.parametrize("years", [1, 5])
def test_zero_coupon_bond_matches_the_curve(meanrev, years):
    # The grid's state is the deviation of the short rate from its expected
    # path, so a bond must come back to the curve's discount factor. The
    # convexity part of that path is taken at each step's start, which costs
    # at most sigma^2 dt T^2 / 4 in the integrated rate (first order in dt);
    # a wrong sign or a missing term would cost sigma^2 T^3 / 6, far more.
    vol, timestep = 0.01, 1 / 48
    price = price_hw([("P", years * YEAR, "+", 1.0, "USD")], hw_dataset(meanrev, vol, timestep=timestep))
    discount = sloped_discount(years)
    assert price == pytest.approx(discount, abs=discount * vol**2 * timestep * years**2 / 4 + 1e-7)


def test_hull_white_assets_are_worth_their_forward():
    dataset = hw_dataset()
    dataset["ASSETS"]["G"] = ("FORWARDS", np.array([[0.0, 7.0], [50.0, 9.0]]))
    forward = 7.0 * (9.0 / 7.0) ** (2.0 / 50.0)
    bond = price_hw([("P", 2 * YEAR, "+", 1.0, "USD")], dataset)
    assert price_hw([("P", 2 * YEAR, "+", 3.0, "G")], dataset) == pytest.approx(3.0 * forward * bond, rel=1e-12)


def test_zero_mean_reversion_is_the_limit_of_small_mean_reversion():
    rows = [("P", 10 * YEAR, "+", 1.0, "USD")]
    zero, tiny = Recorder(), Recorder()
    at_zero = price_hw(rows, hw_dataset(meanrev=0.0, flags=1), zero)
    near_zero = price_hw(rows, hw_dataset(meanrev=1e-12, flags=1), tiny)
    assert np.all(np.isfinite(zero.get("PV_VEC")))
    # The two differ by the drift a x itself, of relative size a T ~ 1e-11.
    assert at_zero == pytest.approx(near_zero, rel=1e-9)
    np.testing.assert_allclose(zero.get("PV_VEC"), tiny.get("PV_VEC"), rtol=1e-9)
    assert at_zero == pytest.approx(sloped_discount(10), rel=1e-3)


# ---------------------------------------------------------------------- errors

def with_null_unit_value(batch):
    """The batch with its unit dictionary replaced by one null value."""
    units = pa.DictionaryArray.from_arrays(
        pa.array([0] * batch.num_rows, pa.int64()), pa.array([None], pa.string())
    )
    return batch.set_column(batch.schema.get_field_index("unit"), "unit", units)


def event_error(cause):
    """The failure of event #0, whose one-line description may be anything."""
    head = r"^Error during model evaluation, caused by\nError at event:\n  #0: .*, caused by \n"
    return pytest.raises(RuntimeError, match=head + cause + "$")


EXPRESSIONS = {
    "ph": {"type": "phrase", "fn": lambda inputs: [1.0], "inp": []},
    "snp": {"type": "snapper", "fn": lambda inputs: [1.0], "inp": [], "out": ["out1"]},
}


@pytest.mark.parametrize(
    "unit, cause",
    [
        ("ph", "Feature Not Implemented: `Phrase in FD: ph`"),
        ("snp", "Feature Not Implemented: `Snapper in FD: snp`"),
        ("out1", "Feature Not Implemented: `Snap in FD: out1`"),
        (None, "Error in Event Specs: Missing Unit Name"),
        ("E", "Track 1 not found"),
        ("XYZ", r"Asset 'XYZ' not found in snaps, expressions, or in dataset\[ASSETS\]"),
    ],
)
def test_units_the_grid_cannot_value(unit, cause):
    with event_error(cause):
        price_bs([("P", T, "+", 1.0, unit)], bs_dataset(), expressions=EXPRESSIONS)


@ENGINES
def test_null_unit_value_and_null_time_are_event_errors(engine, make_dataset):
    dataset = make_dataset()
    batch = with_null_unit_value(events_batch([("P", T, "+", 1.0, "S")]))
    with event_error("Error in Event Specs: Unknown Unit"):
        engine(batch, None, dataset, {})
    with event_error("No event time"):
        engine(events_batch([("P", None, "+", 1.0, "USD")]), None, dataset, {})


def test_operation_without_arithmetic_is_an_event_error():
    with event_error("Error in Op, caused by \nUnknown Op ''"):
        price_bs([("P", T, None, 1.0, "USD")], bs_dataset())


@ENGINES
@pytest.mark.parametrize("rows", [[], [("E", T, "+", 1.0, "USD")]], ids=["no-events", "no-track-0"])
def test_missing_track_zero(engine, make_dataset, rows):
    batch = events_batch(rows, tracks=["P", "E"])
    with pytest.raises(RuntimeError) as info:
        engine(batch, None, make_dataset(), {})
    assert str(info.value) == MODEL_PREFIX + "Track 0 not found"


@ENGINES
def test_short_discount_curve_fails_the_step_as_discount_rate(engine, make_dataset):
    dataset = make_dataset(timestep=0.5)
    dataset["ASSETS"]["USD"] = flat_curve(RATE, horizon=1.0)
    with pytest.raises(RuntimeError) as info:
        engine(events_batch([("P", 2 * YEAR, "+", 1.0, "USD")]), None, dataset, {})
    assert str(info.value) == (
        MODEL_PREFIX + "Error in 'discount' rate from time 1.5 to 2, caused by \n"
        "'Error: Interpolation out of range at time 2.\n"
        " Perhaps the time range in forwards/discount data is too short.'"
    )


def test_short_asset_curve_fails_the_step_with_the_asset_rate():
    dataset = bs_dataset(timestep=0.5, horizon=1.0)
    with pytest.raises(RuntimeError) as info:
        price_bs([("P", 2 * YEAR, "+", 1.0, "USD")], dataset)
    assert str(info.value).startswith(MODEL_PREFIX + "Error in 'S' rate from time 1.5 to 2, caused by \n'")


@pytest.mark.parametrize(
    "curve, message",
    [
        (np.array([[0.0, -5.0], [50.0, 100.0]]), "Black-Scholes spot of asset 'S' must be positive and finite, got NaN"),
        (None, "Asset 'S' not found in snaps, expressions, or in dataset[ASSETS]"),
    ],
    ids=["negative-spot", "missing-asset"],
)
def test_spot_that_gives_no_grid(curve, message):
    dataset = bs_dataset()
    if curve is None:
        del dataset["ASSETS"]["S"]
    else:
        dataset["ASSETS"]["S"] = ("FORWARDS", curve)
    with pytest.raises(RuntimeError) as info:
        price_bs([("P", T, "+", 1.0, "USD")], dataset)
    assert str(info.value) == MODEL_PREFIX + message


@pytest.mark.parametrize(
    "key, value, shown",
    [
        ("TIMESTEP", 0.0, "0"),
        ("TIMESTEP", -0.25, "-0.25"),
        ("TIMESTEP", float("nan"), "NaN"),
        ("TIMESTEP", 1e-12, "0.000000000001"),  # truncates to no whole millisecond
        ("TIMESTEP", float("inf"), "inf"),
        ("N_X", 0, "0"),
        ("N_X", 2**63, str(2**63)),  # 2 N_X + 1 nodes cannot even be counted
        ("MAX_X", 0.0, "0"),
        ("MAX_X", -1.0, "-1"),
        ("MAX_X", float("inf"), "inf"),
        ("MAX_X", float("nan"), "NaN"),
    ],
)
@ENGINES
def test_grid_parameters_that_give_no_grid_are_rejected(engine, make_dataset, key, value, shown):
    dataset = make_dataset()
    dataset["FD"][key] = value
    with pytest.raises(RuntimeError) as info:
        engine(events_batch([("P", T, "+", 1.0, "USD")]), None, dataset, {})
    assert str(info.value) == PARSE_PREFIX + f"Invalid value '{shown}' for key '{key}'"


def test_smallest_step_that_advances_is_accepted():
    # 1.5 ms truncates to one whole millisecond: a valid, if slow, lattice.
    dataset = bs_dataset(timestep=1.5 / YEAR)
    assert price_bs([("P", 20, "+", 1.0, "USD")], dataset) == pytest.approx(1.0, abs=1e-10)


@ENGINES
def test_lattice_too_fine_for_the_contract_is_refused_instead_of_running_for_hours(engine, make_dataset):
    dataset = make_dataset()
    dataset["FD"]["TIMESTEP"] = 1.5 / YEAR  # one millisecond per step
    with pytest.raises(RuntimeError) as info:
        engine(events_batch([("P", 10 * YEAR, "+", 1.0, "USD")]), None, dataset, {})
    steps, nodes = 315360000001, 2 * dataset["FD"]["N_X"] + 1
    # One track: one sweep per step, and a step's fixed cost counted as 10 nodes.
    assert str(info.value) == (
        MODEL_PREFIX + f"The grid would take about {steps * (nodes + 10)} node steps ({steps} steps of TIMESTEP "
        f"over {nodes} nodes), more than 2000000000; use a longer TIMESTEP or a smaller N_X"
    )


@ENGINES
def test_grid_too_large_to_allocate_raises_memory_error(engine, make_dataset):
    dataset = make_dataset()
    # Far beyond any address space, so it fails even where memory is overcommitted.
    dataset["FD"]["N_X"] = 2**50
    with pytest.raises(MemoryError):
        engine(events_batch([("P", T, "+", 1.0, "USD")]), None, dataset, {})
