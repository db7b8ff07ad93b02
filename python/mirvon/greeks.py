"""Sensitivities read off a grid run's present values around the centre node.

The grid's nodes are spaced dx = MAX_X / N_X apart in the grid variable x,
node 0 highest, and the price is the centre node N_X. Central differences
give V_x and V_xx there:

- Black-Scholes, x = ln S: dV/dS = V_x / S and d2V/dS2 = (V_xx - V_x) / S^2
  at the spot S0;
- Hull-White, x = r - phi(t): dV/dr = V_x, the short rate moving with x.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

import _mirvon
from mirvon.result import Stats
from mirvon.tables import events


def _spot(dataset: dict[str, Any]) -> float:
    # The engine's own spot: one share paid at the valuation time is worth
    # exp(ln S0) at the centre node, read from the same market data.
    share = events([("share", dataset["PRICING_TS"], "+", 1.0, dataset["BS"]["ASSET"])])
    return _mirvon.fd_blackscholes_price(share, Stats(), dataset, {})


def grid_greeks(model: str, pv_vec: Optional[np.ndarray], dataset: dict[str, Any]) -> tuple[float, Optional[float]]:
    """(delta, gamma) of a grid run from its PV_VEC; gamma is None for Hull-White."""
    if pv_vec is None or pv_vec.size < 3:
        raise ValueError("greeks need the grid's PV_VEC with at least 3 nodes (N_X >= 1)")
    centre = (pv_vec.size - 1) // 2
    grid = dataset["FD"]
    dx = float(grid["MAX_X"]) / int(grid["N_X"])
    up, mid, down = (float(v) for v in pv_vec[centre - 1 : centre + 2])
    v_x = (up - down) / (2.0 * dx)
    if model == "hullwhite":
        return v_x, None
    v_xx = (up - 2.0 * mid + down) / (dx * dx)
    spot = _spot(dataset)
    return v_x / spot, (v_xx - v_x) / (spot * spot)


__all__ = ["grid_greeks"]
