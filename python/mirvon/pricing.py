"""Price a contract under one of the engine's four models and get a `Result`.

`price` takes the contract as anything `mirvon.events` reads and asks for
statistics by name. Its two steps are public for callers that price many
contracts on one dataset (a portfolio): `with_statistics` makes the
dataset's copy once, and `price_events` prices one ready events batch with
no per-call checks beyond the engine's own.
"""

from __future__ import annotations

from typing import Any, Callable, Iterable, NamedTuple, Optional

import _mirvon
from mirvon.greeks import grid_greeks
from mirvon.result import Result, StateWithSink, Stats
from mirvon.tables import events as read_events


class Engine(NamedTuple):
    function: Callable[..., float]
    section: str  # the dataset section that holds the engine's "FLAGS"


ENGINES = {
    "fixed": Engine(_mirvon.fixed_price, "FIXED"),
    "mc": Engine(_mirvon.mc_price, "MC"),
    "blackscholes": Engine(_mirvon.fd_blackscholes_price, "FD"),
    "hullwhite": Engine(_mirvon.fd_hullwhite_price, "FD"),
}
GRID_MODELS = ("blackscholes", "hullwhite")

#: The "FLAGS" bit of each statistic.
STATISTICS = {"PV_VEC": 1, "CHOICES": 2, "CASHFLOW": 8}


def engine(model: str) -> Engine:
    try:
        return ENGINES[model]
    except (KeyError, TypeError):
        raise ValueError(f"model must be one of {', '.join(map(repr, ENGINES))}, not {model!r}") from None


def with_statistics(dataset: dict[str, Any], model: str, statistics: Iterable[str] = (), *, greeks: bool = False) -> dict[str, Any]:
    """The dataset with "FLAGS" in `model`'s section set to ask for `statistics` (and PV_VEC for `greeks`).

    The caller's dataset and its sections are never changed: a copy is
    returned, sharing everything but the section. With no statistics and no
    Greeks the dataset itself is returned and its own "FLAGS" apply.
    """
    if isinstance(statistics, str):
        raise TypeError(f"statistics must be a collection of names such as ('CASHFLOW',), not the str {statistics!r}")
    names = set(statistics)
    unknown = sorted(map(str, names - STATISTICS.keys()))
    if unknown:
        raise ValueError(f"unknown statistics {', '.join(unknown)}; choose from {', '.join(STATISTICS)}")
    if not (names or greeks) or not isinstance(dataset, dict):
        return dataset  # nothing to set, or no dict: the engine names the problem
    section_name = engine(model).section
    section = dataset.get(section_name)
    section = dict(section) if isinstance(section, dict) else {}
    if names:
        flags = sum(STATISTICS[name] for name in names)
    else:
        flags = section.get("FLAGS", 0)  # an invalid value is left for the engine to report
    if greeks and isinstance(flags, int):
        flags |= STATISTICS["PV_VEC"]
    section["FLAGS"] = flags
    return {**dataset, section_name: section}


def price_events(
    batch: Any,
    dataset: dict[str, Any],
    model: str,
    *,
    expressions: Optional[dict[str, Any]] = None,
    state: Any = None,
) -> Result:
    """Price a batch that is already the engine's (from `mirvon.events`) on a dataset whose FLAGS are set.

    The per-contract step of `price`: no conversion of the events and no copy
    of the dataset. `state` is the Monte Carlo model object, required for
    ``"mc"`` and refused for the other models.
    """
    function = engine(model).function
    stats = Stats()
    if model == "mc":
        if state is None:
            raise TypeError('model "mc" needs state=, the Monte Carlo model object (advance and get_value)')
        py_state: Any = StateWithSink(state, stats)
    elif state is not None:
        raise TypeError(f"state= is the Monte Carlo model object; model {model!r} takes none")
    else:
        py_state = stats
    value = function(batch, py_state, dataset, {} if expressions is None else expressions)
    return Result(value, stats.stats, batch, model)


def price(
    events: Any,
    dataset: dict[str, Any],
    model: str,
    *,
    expressions: Optional[dict[str, Any]] = None,
    state: Any = None,
    statistics: Iterable[str] = (),
    greeks: bool = False,
) -> Result:
    """Price a contract and return a `Result`.

    `events`: anything `mirvon.events` reads (Python rows, pyarrow, polars,
    duckdb, pandas, arro3, ...). `model`: ``"fixed"``, ``"mc"``,
    ``"blackscholes"`` or ``"hullwhite"``. `state`: the Monte Carlo model
    object, required for ``"mc"``. `statistics`: a subset of
    {"PV_VEC", "CHOICES", "CASHFLOW"}; it sets "FLAGS" in the engine's section
    of a copy of `dataset` (the caller's dict is never changed); when empty,
    the dataset's own "FLAGS" apply. `greeks`: on the grid models, also
    compute ``Result.delta`` and ``Result.gamma`` (Black-Scholes, with respect
    to the spot) or ``Result.delta`` (Hull-White, with respect to the short
    rate) from the grid's PV_VEC around the centre node.
    """
    engine(model)
    if greeks and model not in GRID_MODELS:
        raise ValueError(f"greeks come from the grid models {', '.join(map(repr, GRID_MODELS))}, not {model!r}")
    batch = read_events(events)
    run_dataset = with_statistics(dataset, model, statistics, greeks=greeks)
    result = price_events(batch, run_dataset, model, expressions=expressions, state=state)
    if greeks:
        result.delta, result.gamma = grid_greeks(model, result.pv_vec, run_dataset)
    return result


__all__ = ["ENGINES", "STATISTICS", "Engine", "engine", "price", "price_events", "with_statistics"]
