"""Grid Greeks: delta and gamma read off the Black-Scholes grid against the
closed form, and the Hull-White delta of a zero-coupon bond against -B(T) P."""

import math

import numpy as np
import pytest

import mirvon
from mirvon.timetable import MS_PER_YEAR

YEAR = MS_PER_YEAR
RATE, VOL = 0.05, 0.2


def normal_cdf(x):
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def normal_pdf(x):
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def closed_form(kind, spot, strike, t):
    d1 = (math.log(spot / strike) + (RATE + 0.5 * VOL**2) * t) / (VOL * math.sqrt(t))
    delta = normal_cdf(d1) if kind == "call" else normal_cdf(d1) - 1.0
    return delta, normal_pdf(d1) / (spot * VOL * math.sqrt(t))


def equity(spot):
    return {
        "BASE": "USD",
        "ASSETS": {
            "USD": ("ZERO_RATES", np.array([[0.0, RATE], [30.0, RATE]])),
            "STOCK": ("FORWARDS", np.array([[0.0, spot], [30.0, spot * math.exp(RATE * 30.0)]])),
        },
        "PRICING_TS": 0,
        "FD": {"N_X": 300, "MAX_X": 1.5, "TIMESTEP": 1 / 365},
        "BS": {"VOL": VOL, "ASSET": "STOCK"},
    }


def european(kind, strike, years):
    sign = 1.0 if kind == "call" else -1.0
    return mirvon.exercise_rows("option", "exercise", [int(years * YEAR)], [(-sign * strike, "USD"), (sign, "STOCK")])


@pytest.mark.parametrize("kind", ["call", "put"])
@pytest.mark.parametrize("spot, strike, years", [(100.0, 100.0, 1.0), (80.0, 100.0, 0.5), (130.0, 100.0, 2.0)])
def test_black_scholes_delta_and_gamma_match_the_closed_form(kind, spot, strike, years):
    result = mirvon.price(european(kind, strike, years), equity(spot), "blackscholes", greeks=True)
    delta, gamma = closed_form(kind, spot, strike, years)
    assert result.delta == pytest.approx(delta, abs=2e-3)
    assert result.gamma == pytest.approx(gamma, rel=2e-2, abs=2e-4)
    assert result.pv_vec is not None  # greeks ask for PV_VEC


def test_a_share_has_delta_one_and_no_gamma():
    result = mirvon.price([("share", YEAR, "+", 1.0, "STOCK")], equity(100.0), "blackscholes", greeks=True)
    assert result.delta == pytest.approx(1.0, abs=1e-3)
    assert result.gamma == pytest.approx(0.0, abs=1e-4)


@pytest.mark.parametrize("years, meanrev", [(2.0, 0.1), (5.0, 0.03), (10.0, 0.3)])
def test_hull_white_delta_of_a_zero_coupon_bond_is_minus_b_times_the_price(years, meanrev):
    rates = {
        "BASE": "USD",
        "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, RATE], [30.0, RATE]]))},
        "PRICING_TS": 0,
        "FD": {"N_X": 150, "MAX_X": 0.15, "TIMESTEP": 1 / 365},
        "HW": {"MEANREV": meanrev, "VOL": 0.01},
    }
    result = mirvon.price([("zero", int(years * YEAR), "+", 1.0, "USD")], rates, "hullwhite", greeks=True)
    b = (1.0 - math.exp(-meanrev * years)) / meanrev
    assert result.price == pytest.approx(math.exp(-RATE * years), rel=1e-4)
    assert result.delta == pytest.approx(-b * result.price, rel=2e-3)
    assert result.gamma is None


def test_without_greeks_there_are_none():
    result = mirvon.price(european("put", 100.0, 1.0), equity(100.0), "blackscholes")
    assert result.delta is None and result.gamma is None and result.pv_vec is None
