"""Price a whole book of contracts held in one table, on every core.

A book is one events table with an extra column (``by``) naming each row's
contract. `price_contracts` is the function that prices a book, or any part
of one made of whole contracts: the local process pool runs it on chunks of
the book, and the Spark adapter (`mirvon.spark`) runs it on each group of a
DataFrame, so both paths share one way of cutting, numbering and pricing.

Cutting contracts costs a few columnar passes over the whole table, never a
Python loop over rows: one dictionary encoding of ``by`` numbers contracts by
first appearance, one stable sort (skipped when the book is already grouped)
brings each contract's rows together, and every contract is then a zero-copy
slice. Tracks, ops and units are renumbered per contract in the same
columnar way (see `_LocalKeys`), so each contract reaches the engine with
its own dictionaries, exactly as if it had been priced alone.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable, Iterable, Optional, Union

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from mirvon import tables, workers as pool
from mirvon.pricing import engine, price_events, with_statistics
from mirvon.result import RESULT_TABLE_SCHEMA, Result

DatasetArg = Union[dict, Callable[[Any], dict]]

#: The statistics a portfolio can return, and the attribute of `mirvon.Result` (and of
#: `PortfolioResult`) that holds each as a table.
TABLE_STATISTICS = {"CASHFLOW": "cashflows", "CHOICES": "choices"}

#: Chunks per worker: enough to keep every worker busy when contracts differ in cost.
CHUNKS_PER_WORKER = 4


@dataclasses.dataclass(frozen=True)
class PricingJob:
    """Everything that prices one contract, apart from its rows."""

    model: str
    by: str = "contract"
    dataset: Any = None
    expressions: Any = None
    state: Any = None
    statistics: tuple[str, ...] = ()
    priced_track: Optional[str] = None
    #: A column whose ascending order is the order of the rows; None when the
    #: table's own order is the order (Spark does not keep rows in order).
    row_order: Optional[str] = None

    def pricer(self) -> Callable[[pa.RecordBatch, Any], tuple[float, Optional[Result]]]:
        """A function pricing one contract's batch, given the contract's id: (price, its `mirvon.Result` or None)."""
        # A shared dataset is copied once to ask for the statistics, not once per contract.
        shared = None if callable(self.dataset) else with_statistics(self.dataset, self.model, self.statistics)
        if shared is not None and not callable(self.expressions) and not self.statistics and self.model != "mc":
            # Only the price is wanted, from the same inputs for every
            # contract: the engine is called straight, which halves the cost
            # of a small contract.
            function = engine(self.model).function
            expressions = {} if self.expressions is None else self.expressions
            return lambda batch, contract: (function(batch, _DISCARD, shared, expressions), None)

        def price(batch: pa.RecordBatch, contract: Any) -> tuple[float, Optional[Result]]:
            dataset = shared if shared is not None else with_statistics(self.dataset(contract), self.model, self.statistics)
            expressions = self.expressions(contract) if callable(self.expressions) else self.expressions
            state = self.state(contract) if self.model == "mc" else None
            result = price_events(batch, dataset, self.model, expressions=expressions, state=state)
            return result.price, result

        return price


class _Discard:
    """A statistics sink for runs that return none (the dataset's own FLAGS may still send some)."""

    def set_stat(self, name: str, value: Any) -> None:
        pass


_DISCARD = _Discard()


def _by_key(column: pa.ChunkedArray) -> pa.Array:
    # Contracts are told apart by value: a dictionary column is compared by
    # its texts, not by keys that differ between chunks.
    if pa.types.is_dictionary(column.type):
        column = column.cast(column.type.value_type)
    return column.combine_chunks()


@dataclasses.dataclass(frozen=True)
class Contracts:
    """A table with its rows grouped by contract, contracts in order of first appearance."""

    table: pa.Table
    #: Row offsets: contract g is rows offsets[g]:offsets[g + 1].
    offsets: np.ndarray
    #: One value of the contract column per contract, in the column's own type.
    ids: pa.Array

    @classmethod
    def of(cls, table: pa.Table, by: str, row_order: Optional[str] = None) -> "Contracts":
        if by not in table.column_names:
            raise KeyError(f"the book has no contract column {by!r}; its columns are {table.column_names}")
        if row_order is not None:
            order = np.argsort(table.column(row_order).to_numpy(), kind="stable")
            if np.any(order[1:] < order[:-1]):
                table = table.take(order)
        encoded = pc.dictionary_encode(_by_key(table.column(by)), null_encoding="encode")
        codes = encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64, copy=False)
        if len(codes) and np.any(codes[1:] < codes[:-1]):
            order = pc.sort_indices(encoded.indices)  # stable: rows keep their order within a contract
            table = table.take(order)
            codes = codes[order.to_numpy(zero_copy_only=False)]
        counts = np.bincount(codes, minlength=len(encoded.dictionary))
        offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
        ids = table.column(by).take(offsets[:-1]).combine_chunks()
        return cls(table, offsets, ids)

    def __len__(self) -> int:
        return len(self.ids)

    def contract_of_rows(self) -> np.ndarray:
        return np.repeat(np.arange(len(self), dtype=np.int64), np.diff(self.offsets))

    def rows(self, first: int, stop: int) -> pa.Table:
        """The rows of contracts first..stop-1, a zero-copy slice."""
        start = int(self.offsets[first])
        return self.table.slice(start, int(self.offsets[stop]) - start)


@dataclasses.dataclass(frozen=True)
class _LocalKeys:
    """One dictionary column of a whole book renumbered per contract.

    Each contract gets its own dictionary, holding only its values in order
    of their first appearance in its rows: a (contract, value) pair is one
    entry, pairs are numbered by first appearance, and since the rows are
    grouped by contract each contract's pairs form one run of numbers.
    """

    keys: pa.Array  # int64 per row, local to the row's contract; nulls stay null
    values: pa.Array  # the texts of all pairs, contract after contract
    value_offsets: np.ndarray  # contract g's dictionary is values[value_offsets[g]:value_offsets[g + 1]]
    #: Per contract: its dictionary is the book's dictionary, key for key.
    same_as_book: np.ndarray

    @classmethod
    def of(cls, column: pa.DictionaryArray, contract: np.ndarray, n_contracts: int, first: Optional[str] = None) -> "_LocalKeys":
        book_keys = column.indices
        width = len(column.dictionary)
        if width == 1 and book_keys.null_count == 0:
            # One value on every row (one currency, one op): it is every contract's whole dictionary.
            values = column.dictionary.take(np.zeros(n_contracts, np.int64))
            return cls(book_keys, values, np.arange(n_contracts + 1), np.ones(n_contracts, bool))
        valid = book_keys.is_valid().to_numpy(zero_copy_only=False)
        book = pc.fill_null(book_keys, 0).to_numpy(zero_copy_only=False).astype(np.int64, copy=False)
        pairs = pc.dictionary_encode(pa.array(contract * width + book, mask=~valid))
        pair_book_key = pairs.dictionary.to_numpy() % width if width else np.zeros(0, np.int64)
        pair_contract = pairs.dictionary.to_numpy() // max(width, 1)
        value_offsets = np.searchsorted(pair_contract, np.arange(n_contracts + 1))
        pair_of_row = pc.fill_null(pairs.indices, 0).to_numpy(zero_copy_only=False).astype(np.int64)
        if first is not None:
            # The named value comes first in every contract that has it; the
            # others keep their order of first appearance behind it.
            later = pair_book_key != _book_key(column.dictionary, first)
            order = np.lexsort((later, pair_contract))
            renumber = np.empty_like(order)
            renumber[order] = np.arange(len(order))
            pair_of_row = renumber[pair_of_row]
            pair_book_key = pair_book_key[order]
        local = pair_of_row - value_offsets[contract]
        moved = valid & (local != book)
        same_as_book = (np.diff(value_offsets) == width) & (np.bincount(contract[moved], minlength=n_contracts) == 0)
        return cls(
            keys=pa.array(local, mask=~valid),
            values=column.dictionary.take(pa.array(pair_book_key)),
            value_offsets=value_offsets,
            same_as_book=same_as_book,
        )

    def lacks_first(self, name: Optional[str]) -> np.ndarray:
        """Per contract: `name` is given and is not the contract's first value."""
        n = len(self.value_offsets) - 1
        if name is None:
            return np.zeros(n, bool)
        has_values = np.diff(self.value_offsets) > 0
        firsts = self.values.take(self.value_offsets[:-1][has_values])
        lacking = np.ones(n, bool)
        lacking[has_values] = ~pc.fill_null(pc.equal(firsts, name), False).to_numpy(zero_copy_only=False)
        return lacking

    def column(self, g: int, start: int, length: int) -> pa.DictionaryArray:
        first = int(self.value_offsets[g])
        values = self.values.slice(first, int(self.value_offsets[g + 1]) - first)
        return pa.DictionaryArray.from_arrays(self.keys.slice(start, length), values)


def _book_key(dictionary: pa.Array, name: str) -> int:
    found = pc.index(dictionary, name).as_py()
    return -1 if found is None else int(found)


def _error_text(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def _is_engine_abort(exc: BaseException) -> bool:
    # The engine's abort on a broken invariant derives from BaseException; it
    # is one contract's failure, unlike KeyboardInterrupt or SystemExit.
    return type(exc).__module__ == "_mirvon"


@dataclasses.dataclass
class _Priced:
    """What pricing some contracts gave: one entry per contract, in contract order."""

    ids: pa.Array
    prices: list[Optional[float]]
    errors: list[Optional[str]]
    #: Per statistic asked for, one table per priced contract, with the contract column in front.
    statistics: dict[str, list[pa.Table]]

    def prices_table(self, by: str) -> pa.Table:
        return pa.table(
            {
                by: self.ids,
                "price": pa.array(self.prices, pa.float64()),
                "error": pa.array(self.errors, pa.string()),
            }
        )

    def statistics_tables(self, by: str) -> dict[str, pa.Table]:
        if not self.statistics:
            return {}
        # The columns are there even when no contract priced.
        empty = pa.schema([(by, self.ids.type), *RESULT_TABLE_SCHEMA]).empty_table()
        return {name: concat_statistics([empty, *parts]) for name, parts in self.statistics.items()}

    @classmethod
    def concat(cls, parts: list["_Priced"], id_type: pa.DataType, statistics: Iterable[str]) -> "_Priced":
        ids = pa.concat_arrays([p.ids for p in parts]) if parts else pa.array([], id_type)
        return cls(
            ids=ids,
            prices=[x for p in parts for x in p.prices],
            errors=[x for p in parts for x in p.errors],
            statistics={name: [t for p in parts for t in p.statistics[name]] for name in statistics},
        )


def concat_statistics(parts: list[pa.Table]) -> pa.Table:
    """One statistics table from the tables of several contracts or chunks."""
    return pa.concat_tables(parts).combine_chunks()


def _with_contract(table: pa.Table, by: str, ids: pa.Array, g: int) -> pa.Table:
    return table.add_column(0, by, ids.take(pa.array(np.full(table.num_rows, g, np.int64))))


def _price_book(contracts: Contracts, book: pa.RecordBatch, job: PricingJob) -> _Priced:
    """Price contracts whose rows `book` holds in the engine's types."""
    contract = contracts.contract_of_rows()
    n = len(contracts)
    track = _LocalKeys.of(book.column("track"), contract, n, first=job.priced_track)
    op = _LocalKeys.of(book.column("op"), contract, n)
    unit = _LocalKeys.of(book.column("unit"), contract, n)
    as_book = track.same_as_book & op.same_as_book & unit.same_as_book
    needs_ids = callable(job.dataset) or callable(job.expressions) or job.model == "mc"
    ids = contracts.ids.to_pylist() if needs_ids else [None] * n
    priced = _Priced(contracts.ids, [None] * n, [None] * n, {name: [] for name in job.statistics})
    price = job.pricer()
    lacking = track.lacks_first(job.priced_track).tolist()
    prices, errors, statistics = priced.prices, priced.errors, priced.statistics.items()
    starts = contracts.offsets[:-1].tolist()
    lengths = np.diff(contracts.offsets).tolist()
    for g, (start, length, as_is) in enumerate(zip(starts, lengths, as_book.tolist())):
        try:
            if lacking[g]:
                raise ValueError(f"the contract has no track {job.priced_track!r} to price")
            if as_is:
                # Its dictionaries are the book's own: the rows are enough.
                batch = book.slice(start, length)
            else:
                batch = pa.RecordBatch.from_arrays(
                    [
                        track.column(g, start, length),
                        book.column("time").slice(start, length),
                        op.column(g, start, length),
                        book.column("quantity").slice(start, length),
                        unit.column(g, start, length),
                    ],
                    schema=tables.ENGINE_SCHEMA,
                )
            prices[g], result = price(batch, ids[g])
        except BaseException as exc:
            if not isinstance(exc, Exception) and not _is_engine_abort(exc):
                raise
            errors[g] = _error_text(exc)
            continue
        for name, parts in statistics:
            parts.append(_with_contract(getattr(result, TABLE_STATISTICS[name]), job.by, contracts.ids, g))
    return priced


def _price(contracts: Contracts, job: PricingJob) -> _Priced:
    try:
        book = tables.events(contracts.table)
    except ValueError as exc:
        # A value the engine cannot take (a sub-millisecond time, a null
        # quantity) belongs to one contract: find it by converting each
        # contract on its own, so that the others are still priced.
        if len(contracts) == 1:
            return _Priced(contracts.ids, [None], [_error_text(exc)], {name: [] for name in job.statistics})
        parts = [_price(Contracts.of(contracts.rows(g, g + 1), job.by), job) for g in range(len(contracts))]
        return _Priced.concat(parts, contracts.ids.type, job.statistics)
    return _price_book(contracts, book, job)


def price_contracts(table: pa.Table, job: PricingJob) -> tuple[pa.Table, dict[str, pa.Table]]:
    """(prices, statistics) for every contract of `table`: the function each worker and each Spark group runs.

    `prices` has the columns `job.by`, "price" and "error", one row per
    contract in order of first appearance; `statistics` maps each name of
    `job.statistics` to its table, the contract column in front.
    """
    contracts = Contracts.of(table, job.by, job.row_order)
    priced = _price(contracts, job)
    return priced.prices_table(job.by), priced.statistics_tables(job.by)


class PortfolioResult:
    """The prices of a book, one row per contract, and the statistics asked for."""

    def __init__(self, prices: pa.Table, statistics: dict[str, pa.Table]) -> None:
        #: Columns: the contract column, "price" (float64, null on failure) and
        #: "error" (the exception's type and text, null on success).
        self.prices = prices
        #: The cashflows of every priced contract (the table of
        #: `mirvon.Result.cashflows`) with the contract column in front;
        #: None unless "CASHFLOW" was asked for.
        self.cashflows: Optional[pa.Table] = statistics.get("CASHFLOW")
        #: As `cashflows`, for "CHOICES".
        self.choices: Optional[pa.Table] = statistics.get("CHOICES")

    def __repr__(self) -> str:
        failed = self.prices.num_rows - self.prices.column("error").null_count
        return f"PortfolioResult({self.prices.num_rows} contracts, {failed} failed)"


def check_options(model: str, state: Any, statistics: Iterable[str]) -> tuple[str, ...]:
    """The statistics as a tuple, after refusing options that no contract could be priced with."""
    engine(model)
    if model == "mc" and not callable(state):
        raise TypeError("state must be a callable taking a contract's id and returning a fresh Monte Carlo model object")
    if isinstance(statistics, str):
        raise TypeError(f"statistics must be a collection of names, not a str; use ({statistics!r},)")
    chosen = tuple(dict.fromkeys(statistics))
    unknown = [name for name in chosen if name not in TABLE_STATISTICS]
    if unknown:
        raise ValueError(f"a portfolio returns the statistics {list(TABLE_STATISTICS)} as tables, not {unknown}")
    return chosen


def price_portfolio(
    events: Any,
    dataset: DatasetArg,
    model: str,
    *,
    by: str = "contract",
    priced_track: Optional[str] = None,
    expressions: Any = None,
    state: Any = None,
    statistics: Iterable[str] = (),
    workers: Optional[int] = None,
) -> PortfolioResult:
    """Price every contract of a book; one contract's failure never stops the others.

    `events`: any table that `mirvon.events` reads, with the five event
    columns and the contract column named by `by` (of any type). A contract
    is the rows with one value of `by`, in their order in the table; its
    tracks are numbered by first appearance in its own rows, so its first
    row's track is priced, or the track named `priced_track` in every
    contract (a contract without it fails).

    `dataset` and `expressions`: one dict for all contracts, or a callable
    taking a contract's id and returning its dict. `state`: for "mc", a
    callable taking a contract's id and returning a fresh model object.
    `statistics`: "CASHFLOW" and "CHOICES", returned as tables.

    `workers`: processes to price on; None uses every core, 1 prices in the
    calling process. Ctrl-C stops every worker and raises KeyboardInterrupt.
    """
    chosen = check_options(model, state, statistics)
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a positive int or None (every core), not {workers!r}")
    table = tables.as_table(events)
    if table is None:
        raise TypeError(f"events must be a table with a {by!r} column, not {type(events).__name__}")
    # Wrong column types are the whole book's problem: report them at once.
    tables.events(table.slice(0, 0))
    job = PricingJob(model, by, dataset, expressions, state, chosen, priced_track)
    n_workers = pool.default_workers() if workers is None else workers
    if n_workers == 1:
        return PortfolioResult(*price_contracts(table, job))

    contracts = Contracts.of(table, by)
    n_chunks = min(len(contracts), n_workers * CHUNKS_PER_WORKER)
    if n_chunks == 0:
        return PortfolioResult(*price_contracts(contracts.table, job))
    # Whole contracts per chunk; the function carries the chunks' row
    # bounds only, never the table, so nothing large is pickled.
    row_bounds = contracts.offsets[np.linspace(0, len(contracts), n_chunks + 1).astype(np.int64)]

    def price_chunk(book: pa.Table, chunk: int) -> tuple[pa.Table, dict[str, pa.Table]]:
        start, stop = int(row_bounds[chunk]), int(row_bounds[chunk + 1])
        return price_contracts(book.slice(start, stop - start), job)

    parts = pool.map_chunks(price_chunk, contracts.table, n_chunks, n_workers)
    prices = pa.concat_tables([p for p, _ in parts]).combine_chunks()
    return PortfolioResult(prices, {name: concat_statistics([s[name] for _, s in parts]) for name in chosen})


__all__ = ["PortfolioResult", "PricingJob", "TABLE_STATISTICS", "check_options", "price_contracts", "price_portfolio"]
