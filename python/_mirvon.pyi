"""Pricing and backtesting engine for contracts given as Arrow event tables.

Every function takes the contract as an events record batch (build one with
`mirvon.timetable.events_batch`), runs on the calling thread and holds no
state between calls. Engine errors are raised as RuntimeError with a layered
message; argument errors as TypeError; internal aborts as an exception class
derived from BaseException (not an attribute of this module).
"""

from typing import Any, Protocol

class _ArrowArrayExportable(Protocol):
    """A producer of the Arrow PyCapsule interface: a pyarrow.RecordBatch (pyarrow >= 14),
    or a polars, arro3, nanoarrow or duckdb object exporting a struct array of the
    five event columns."""

    def __arrow_c_array__(self, requested_schema: Any = ..., /) -> tuple[object, object]: ...

_EventsBatch = _ArrowArrayExportable

def mc_price(events_rb: _EventsBatch, py_state: Any, dataset: dict[str, Any], expressions: dict[str, Any]) -> float:
    """Monte Carlo price: the mean over paths of track 0's present value.

    `py_state` is the model: advance(t) -> step discount (array, float or None),
    get_value(name) -> 1-d float64 array per path or None, and set_stat(name, value).
    Reads "BASE", "ASSETS", "MC" ("PATHS", "SEED", "FLAGS", the optional
    "REGRESSORS" and "DEGREE") and "PRICING_TS". With "REGRESSORS", ">" and "<"
    events decide on a least-squares fit of the continuation on them instead
    of on each path's own future.
    """

def fixed_price(events_rb: _EventsBatch, py_state: Any, dataset: dict[str, Any], expressions: dict[str, Any]) -> float:
    """Deterministic price on one path: base-curve discounting, assets at their forwards.

    Reads "BASE", "ASSETS", "PRICING_TS" and the optional "FIXED" ("FLAGS").
    """

def fd_hullwhite_price(
    events_rb: _EventsBatch, py_state: Any, dataset: dict[str, Any], expressions: dict[str, Any]
) -> float:
    """Crank-Nicolson grid price under a one-factor Hull-White short rate (centre node).

    Reads "BASE", "ASSETS", "FD" ("N_X", "MAX_X", "TIMESTEP", "FLAGS"), "PRICING_TS"
    and "HW" ("MEANREV", "VOL").
    """

def fd_blackscholes_price(
    events_rb: _EventsBatch, py_state: Any, dataset: dict[str, Any], expressions: dict[str, Any]
) -> float:
    """Crank-Nicolson grid price under Black-Scholes dynamics of one asset (centre node).

    Reads "BASE", "ASSETS", "FD" ("N_X", "MAX_X", "TIMESTEP", "FLAGS"), "PRICING_TS"
    and "BS" ("VOL", "ASSET").
    """

def backtest_csv(events_rb: _EventsBatch, py_state: Any, _filename: str, base: str, expressions: dict[str, Any]) -> None:
    """Replay over a constant source: `base` is worth 1, every other asset 100.

    `_filename` is not used and no file is read. The cashflows reach
    py_state.set_stat("CASHFLOW", {track: pyarrow.RecordBatch(index, value)}).
    """

def backtest_py(events_rb: _EventsBatch, py_state: Any, expressions: dict[str, Any], base: str) -> None:
    """Replay over py_state.get_value(name, time_ms) -> float; `base` is worth 1.

    The cashflows reach py_state.set_stat("CASHFLOW", {track: pyarrow.RecordBatch(index, value)}).
    """
