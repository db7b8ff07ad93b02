"""mirvon.price_portfolio: a book of contracts in one table, priced on a process pool.

The reference for every contract is `mirvon.price` on that contract's rows
alone: a portfolio must price each contract exactly as if it were priced by
itself, whatever else the book holds and however the rows are interleaved.
"""

import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pyarrow as pa
import pytest

import mirvon
from conftest import YEAR, flat_dataset
from mirvon import portfolio, workers

T = YEAR // 2


def dataset(rate=0.05):
    ds = flat_dataset(rate)
    ds["ASSETS"]["EUR"] = ("ZERO_RATES", np.array([[0.0, 0.02], [50.0, 0.02]]))
    # An asset named like a track of another contract: within its own
    # contract it must stay an asset.
    ds["ASSETS"]["leg"] = ("FORWARDS", np.array([[0.0, 3.0], [50.0, 3.0]]))
    return ds


def bond(track="bond", coupon=2.0, payments=4, unit="USD"):
    rows = [(track, T * (k + 1), "+", coupon, unit) for k in range(payments)]
    rows.append((track, T * payments, "+", 100.0, unit))
    return rows


#: A book mixing contracts that share the book's dictionaries with ones that
#: do not, and contracts that fail in the engine or in their own rows.
BOOK = {
    7: bond(),
    3: bond(coupon=3.0, unit="EUR"),
    11: [("leg", T, "+", 1.0, "other"), ("other", 2 * T, "+", 5.0, "USD"), ("leg", 2 * T, "+", 1.0, "USD")],
    5: [("x", T, "+", 2.0, "leg"), ("x", 3 * T, "+", 1.0, "USD")],
    2: [("bond", T, "+", 1.0, "NO_SUCH_ASSET")],
    13: bond(track="swap", payments=2),
}
FAILING = {2}


def contracts_table(contracts, ids=None, interleave=False):
    """The book as one table with a "contract" column; `ids` maps the keys to other id values."""
    rows = [(c, i, row) for c, contract in contracts.items() for i, row in enumerate(contract)]
    if interleave:
        # Rows of different contracts alternate; each contract's rows keep their order.
        rows.sort(key=lambda r: (r[1], list(contracts).index(r[0])))
    ids = ids or {}
    table = pa.table(
        {
            "contract": [ids.get(c, c) for c, _, _ in rows],
            "track": [r[0] for _, _, r in rows],
            "time": pa.array([r[1] for _, _, r in rows], pa.timestamp("ms", tz="UTC")),
            "op": [r[2] for _, _, r in rows],
            "quantity": [r[3] for _, _, r in rows],
            "unit": [r[4] for _, _, r in rows],
        }
    )
    return table


def alone(rows, ds=None, model="fixed", **kw):
    return mirvon.price(rows, ds or dataset(), model, **kw)


def error_of(result, contract):
    table = result.prices.to_pydict()
    return table["error"][table["contract"].index(contract)]


def price_of(result, contract):
    table = result.prices.to_pydict()
    return table["price"][table["contract"].index(contract)]


@pytest.mark.parametrize("interleave", [False, True], ids=["grouped", "interleaved"])
@pytest.mark.parametrize("workers", [1, 2])
def test_each_contract_prices_as_it_would_alone(interleave, workers):
    result = mirvon.price_portfolio(contracts_table(BOOK, interleave=interleave), dataset(), "fixed", workers=workers)
    prices = result.prices
    assert prices.column_names == ["contract", "price", "error"]
    assert prices.schema.field("price").type == pa.float64() and prices.schema.field("error").type == pa.string()
    order = list(BOOK) if not interleave else [7, 3, 11, 5, 2, 13]
    assert prices.column("contract").to_pylist() == order
    for contract, rows in BOOK.items():
        if contract in FAILING:
            assert price_of(result, contract) is None
            assert error_of(result, contract).startswith("RuntimeError: Error during model evaluation")
            assert "NO_SUCH_ASSET" in error_of(result, contract)
        else:
            assert error_of(result, contract) is None
            assert price_of(result, contract) == alone(rows).price


def test_contract_rows_keep_their_order_and_the_first_rows_track_is_priced():
    # Two tracks; whichever comes first in the contract's rows is priced.
    first_a = [("a", T, "+", 1.0, "USD"), ("b", T, "+", 2.0, "USD")]
    first_b = [("b", T, "+", 2.0, "USD"), ("a", T, "+", 1.0, "USD")]
    result = mirvon.price_portfolio(contracts_table({1: first_a, 2: first_b}), dataset(), "fixed", workers=1)
    assert price_of(result, 1) == pytest.approx(math.exp(-0.05 * 0.5))
    assert price_of(result, 2) == pytest.approx(2 * math.exp(-0.05 * 0.5))


@pytest.mark.parametrize(
    "ids, arrow_type",
    [
        ({7: "b7", 3: "a3", 11: "c", 5: "d", 2: "e", 13: "f"}, pa.string()),
        ({7: 70, 3: 30, 11: 110, 5: 50, 2: 20, 13: 130}, pa.int64()),
        ({7: "b7", 3: "a3", 11: "c", 5: "d", 2: "e", 13: "f"}, pa.dictionary(pa.int8(), pa.string())),
        ({7: 1.5, 3: -2.0, 11: 0.0, 5: 9.0, 2: 3.25, 13: 4.0}, pa.float32()),
    ],
    ids=["utf8", "int64", "dictionary", "float32"],
)
def test_contract_column_keeps_its_type_and_values(ids, arrow_type):
    table = contracts_table(BOOK, ids=ids)
    table = table.set_column(0, "contract", table.column("contract").cast(arrow_type))
    result = mirvon.price_portfolio(table, dataset(), "fixed", workers=1)
    assert result.prices.schema.field("contract").type == arrow_type
    assert result.prices.column("contract").to_pylist() == [ids[c] for c in BOOK]
    assert result.prices.column("error").null_count == len(BOOK) - len(FAILING)


def test_by_names_the_contract_column():
    table = contracts_table(BOOK).rename_columns(["trade", "track", "time", "op", "quantity", "unit"])
    result = mirvon.price_portfolio(table, dataset(), "fixed", by="trade", workers=1)
    assert result.prices.column_names == ["trade", "price", "error"]
    assert result.prices.column("price").to_pylist()[0] == alone(BOOK[7]).price


def test_null_contract_ids_form_one_contract():
    table = pa.concat_tables([contracts_table({1: bond()}), contracts_table({1: bond(coupon=1.0)})])
    table = table.set_column(0, "contract", pa.chunked_array([pa.array([1] * 5), pa.array([None] * 5, pa.int64())]))
    prices = mirvon.price_portfolio(table, dataset(), "fixed", workers=1).prices
    assert prices.column("contract").to_pylist() == [1, None]
    assert prices.column("price").to_pylist() == [alone(bond()).price, alone(bond(coupon=1.0)).price]


@pytest.mark.parametrize(
    "bad_row, message",
    [
        (("bond", None, "+", 1.0, "USD"), "RuntimeError: Error during model evaluation"),
        (("bond", T, "+", None, "USD"), "ValueError: the events table has values the engine cannot take"),
    ],
    ids=["null time", "null quantity"],
)
def test_a_contract_with_bad_values_fails_alone(bad_row, message):
    book = {1: bond(), 2: [*bond(), bad_row], 3: bond(coupon=1.0)}
    result = mirvon.price_portfolio(contracts_table(book), dataset(), "fixed", workers=1)
    assert error_of(result, 2).startswith(message)
    assert [price_of(result, 1), price_of(result, 3)] == [alone(bond()).price, alone(bond(coupon=1.0)).price]


def test_a_sub_millisecond_time_fails_its_contract_only():
    table = contracts_table({1: bond(), 2: bond(coupon=1.0)})
    micros = table.column("time").cast(pa.int64()).to_numpy() * 1000
    micros[7] += 1  # a row of contract 2
    table = table.set_column(2, "time", pa.array(micros, pa.timestamp("us", tz="UTC")))
    result = mirvon.price_portfolio(table, dataset(), "fixed", workers=1)
    assert price_of(result, 1) == alone(bond()).price
    assert "sub-millisecond" in error_of(result, 2)


@pytest.mark.parametrize("workers", [1, 2])
def test_priced_track_prices_the_named_track_in_every_contract(workers):
    book = {
        1: [("fee", T, "+", 1.0, "USD"), ("bond", T, "+", 100.0, "USD")],
        2: [("fee", T, "+", 1.0, "bond"), ("bond", 2 * T, "+", 50.0, "USD")],
        3: [("fee", T, "+", 1.0, "USD")],
    }
    result = mirvon.price_portfolio(contracts_table(book), dataset(), "fixed", priced_track="bond", workers=workers)
    for contract in (1, 2):
        expected = mirvon.price(mirvon.events(book[contract], tracks=["bond"]), dataset(), "fixed").price
        assert price_of(result, contract) == expected
    assert price_of(result, 3) is None
    assert error_of(result, 3) == "ValueError: the contract has no track 'bond' to price"


def test_priced_track_absent_from_the_whole_book_fails_every_contract():
    result = mirvon.price_portfolio(contracts_table({1: bond(), 2: bond()}), dataset(), "fixed", priced_track="fee", workers=1)
    assert result.prices.column("error").to_pylist() == ["ValueError: the contract has no track 'fee' to price"] * 2


def test_per_contract_datasets_and_expressions():
    rates = {1: 0.01, 2: 0.05, 3: 0.10}
    book = {c: [("opt", T, "+", 1.0, "pay")] for c in rates}

    def expressions(contract):
        return {"pay": {"type": "phrase", "fn": lambda inputs: [np.array([float(contract)])], "inp": []}}

    result = mirvon.price_portfolio(
        contracts_table(book), lambda c: dataset(rates[c]), "fixed", expressions=expressions, workers=2
    )
    for contract, rate in rates.items():
        assert price_of(result, contract) == pytest.approx(contract * math.exp(-rate * 0.5), rel=1e-12)


def test_a_failing_dataset_callable_fails_its_contract_only():
    def per_contract(contract):
        if contract == 2:
            raise LookupError("no market data for 2")
        return dataset()

    result = mirvon.price_portfolio(contracts_table({1: bond(), 2: bond()}), per_contract, "fixed", workers=1)
    assert error_of(result, 2) == "LookupError: no market data for 2"
    assert price_of(result, 1) == alone(bond()).price


class SeededGBM:
    """A Monte Carlo model whose paths depend on the seed only."""

    def __init__(self, seed, paths=64):
        self.rng = np.random.default_rng(seed)
        self.spot = np.full(paths, 100.0)
        self.t = 0.0

    def advance(self, t):
        dt = t - self.t
        z = self.rng.standard_normal(self.spot.size)
        self.spot = self.spot * np.exp((0.05 - 0.02) * dt + 0.2 * math.sqrt(dt) * z)
        self.t = t
        return math.exp(-0.05 * dt)

    def get_value(self, name):
        return self.spot if name == "S" else None


def mc_dataset(contract=None):
    ds = dataset()
    ds["MC"] = {"PATHS": 64, "SEED": 1}
    ds["ASSETS"]["S"] = ("FORWARDS", np.array([[0.0, 100.0], [50.0, 100.0]]))
    return ds


@pytest.mark.parametrize("workers", [1, 2])
def test_monte_carlo_with_a_fresh_state_per_contract(workers):
    book = {c: [("fwd", T, "+", 1.0, "S"), ("fwd", 2 * T, "+", 1.0, "S")] for c in (4, 9, 6)}
    result = mirvon.price_portfolio(contracts_table(book), mc_dataset(), "mc", state=SeededGBM, workers=workers)
    for contract, rows in book.items():
        assert price_of(result, contract) == alone(rows, mc_dataset(), "mc", state=SeededGBM(contract)).price
    assert len(set(result.prices.column("price").to_pylist())) == 3


def test_workers_one_and_two_give_identical_tables():
    big = {c: bond(coupon=c / 10, payments=1 + c % 5) for c in range(40)}
    big.update(BOOK)
    table = contracts_table(big, interleave=True)
    kwargs = dict(statistics=("CASHFLOW", "CHOICES"))
    one = mirvon.price_portfolio(table, dataset(), "fixed", workers=1, **kwargs)
    two = mirvon.price_portfolio(table, dataset(), "fixed", workers=2, **kwargs)
    assert one.prices.equals(two.prices)
    assert one.cashflows.equals(two.cashflows)
    assert one.choices.equals(two.choices)


def test_cashflows_are_the_results_tables_with_the_contract_in_front():
    result = mirvon.price_portfolio(contracts_table(BOOK), dataset(), "fixed", statistics=("CASHFLOW",), workers=1)
    assert result.choices is None
    cashflows = result.cashflows
    assert cashflows.column_names[0] == "contract"
    for contract, rows in BOOK.items():
        own = cashflows.filter(pa.compute.equal(cashflows.column("contract"), contract)).drop_columns(["contract"])
        if contract in FAILING:
            assert own.num_rows == 0
        else:
            assert own.equals(alone(rows, statistics=("CASHFLOW",)).cashflows)


def test_a_book_where_nothing_prices_still_has_the_cashflow_columns():
    result = mirvon.price_portfolio(contracts_table({2: BOOK[2]}), dataset(), "fixed", statistics=("CASHFLOW",), workers=1)
    assert result.cashflows.num_rows == 0
    assert result.cashflows.column_names[:2] == ["contract", "row"]


@pytest.mark.parametrize("workers", [1, 2])
def test_an_empty_book(workers):
    table = contracts_table(BOOK).slice(0, 0)
    result = mirvon.price_portfolio(table, dataset(), "fixed", workers=workers)
    assert result.prices.num_rows == 0
    assert result.prices.schema.field("contract").type == pa.int64()


def test_other_table_kinds_are_read_as_the_book():
    polars = pytest.importorskip("polars")
    table = contracts_table(BOOK)
    frame = polars.from_arrow(table).with_columns(polars.col("track").cast(polars.Categorical))
    assert mirvon.price_portfolio(frame, dataset(), "fixed", workers=1).prices.equals(
        mirvon.price_portfolio(table, dataset(), "fixed", workers=1).prices
    )


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(model="mc"), TypeError, "state must be a callable"),
        (dict(model="binomial"), ValueError, "model must be one of"),
        (dict(statistics="CASHFLOW"), TypeError, "not a str"),
        (dict(statistics=("PV_VEC",)), ValueError, "as tables, not ['PV_VEC']"),
        (dict(workers=0), ValueError, "workers must be a positive int"),
        (dict(by="trade"), KeyError, "no contract column 'trade'"),
    ],
)
def test_options_that_no_contract_could_be_priced_with_are_refused(kwargs, error, message):
    kwargs = {"model": "fixed", **kwargs}
    with pytest.raises(error, match=None) as caught:
        mirvon.price_portfolio(contracts_table(BOOK), dataset(), kwargs.pop("model"), **kwargs)
    assert message in str(caught.value)


def test_wrong_column_types_are_refused_for_the_whole_book():
    table = contracts_table(BOOK)
    table = table.set_column(4, "quantity", table.column("quantity").cast(pa.string()))
    with pytest.raises(TypeError, match="'quantity': found string"):
        mirvon.price_portfolio(table, dataset(), "fixed", workers=2)


# --- the process pool ---------------------------------------------------------


def test_callables_travel_to_spawned_workers(monkeypatch):
    import multiprocessing

    monkeypatch.setattr(workers, "_context", lambda: multiprocessing.get_context("spawn"))
    rate = 0.03
    book = {c: bond(coupon=c) for c in range(6)}
    result = mirvon.price_portfolio(contracts_table(book), lambda c: dataset(rate), "fixed", workers=2)
    assert result.prices.column("price").to_pylist() == [alone(rows, dataset(rate)).price for rows in book.values()]


def test_a_worker_that_dies_stops_the_run_with_an_error():
    def deadly(contract):
        if contract == 3:
            os._exit(7)
        return dataset()

    with pytest.raises(RuntimeError, match=r"a worker process died \(exit code 7\)"):
        mirvon.price_portfolio(contracts_table({c: bond() for c in range(8)}), deadly, "fixed", workers=2)


def test_an_error_outside_any_contract_reaches_the_caller():
    def chunk_function(table, chunk):
        raise ZeroDivisionError(f"chunk {chunk}")

    with pytest.raises(ZeroDivisionError, match="chunk 0") as caught:
        workers.map_chunks(chunk_function, pa.table({"a": [1]}), 1, 2)
    assert "Traceback" in str(caught.value.__cause__)


INTERRUPTED = textwrap.dedent(
    """
    import os, sys, time
    import numpy as np, pyarrow as pa
    import mirvon

    def slow(contract):
        os.write(1, f"worker {{os.getpid()}}\\n".encode())  # one write: workers share the pipe
        time.sleep(60)

    table = pa.table({{
        "contract": list(range(8)), "track": ["a"] * 8,
        "time": pa.array([1000] * 8, pa.timestamp("ms")), "op": ["+"] * 8,
        "quantity": [1.0] * 8, "unit": ["USD"] * 8,
    }})
    try:
        mirvon.price_portfolio(table, slow, "fixed", workers={workers})
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    """
)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open(f"/proc/{pid}/stat") as f:
        return f.read().split(")")[-1].split()[0] != "Z"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads worker states from /proc")
@pytest.mark.parametrize("n_workers", [1, 2])
def test_ctrl_c_stops_every_worker_and_raises_in_the_caller(n_workers):
    # The whole process group gets SIGINT, as from a terminal's Ctrl-C.
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED.format(workers=n_workers)],
        stdout=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        pids = []
        while len(pids) < n_workers:
            line = child.stdout.readline()
            assert line.startswith("worker"), line
            pids.append(int(line.split()[1]))
        sent = time.monotonic()
        os.killpg(child.pid, signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
    assert out.startswith("interrupted"), out
    assert float(out.split()[1]) - sent < 1.0
    assert not [pid for pid in pids if pid != child.pid and _alive(pid)]


def test_a_row_order_column_puts_each_contracts_rows_back_in_order():
    # Spark's shuffle does not keep rows in order: the adapter numbers them
    # first, and the per-group function sorts by that number.
    table = contracts_table(BOOK, interleave=True)
    numbered = table.append_column("n", pa.array(np.arange(table.num_rows) * 10))
    scrambled = numbered.take(np.random.default_rng(5).permutation(table.num_rows))
    job = portfolio.PricingJob("fixed", dataset=dataset(), statistics=("CASHFLOW",), row_order="n")
    prices, statistics = portfolio.price_contracts(scrambled, job)
    expected = mirvon.price_portfolio(table, dataset(), "fixed", statistics=("CASHFLOW",), workers=1)
    assert prices.equals(expected.prices)
    assert statistics["CASHFLOW"].equals(expected.cashflows)


@pytest.mark.parametrize("priced_track", [None, "bond", "fee"])
def test_books_with_one_track_one_op_or_one_unit_throughout(priced_track):
    # One column with a single value everywhere, the others varying per contract.
    book = {c: [("bond", T, "+", 1.0, unit), ("bond", 2 * T, "+", float(c), unit)] for c, unit in enumerate(["USD", "EUR", "USD"])}
    book[3] = [("bond", T, "+", 1.0, "NO_SUCH_ASSET")]
    result = mirvon.price_portfolio(contracts_table(book), dataset(), "fixed", priced_track=priced_track, workers=1)
    for contract, rows in book.items():
        if priced_track == "fee":
            assert error_of(result, contract) == "ValueError: the contract has no track 'fee' to price"
        elif contract == 3:
            assert "NO_SUCH_ASSET" in error_of(result, contract)
        else:
            assert price_of(result, contract) == alone(rows).price
