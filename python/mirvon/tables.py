"""Read a contract from any table into the engine's events record batch.

`events(data, tracks=None)` accepts Python rows (see `mirvon.rows`), a pyarrow
RecordBatch, Table or RecordBatchReader, a pandas DataFrame, and any object
with ``__arrow_c_stream__`` or ``__arrow_c_array__`` (polars, duckdb, arro3,
nanoarrow), and returns a pyarrow RecordBatch with exactly the engine's
schema:

=========  =====================================  ==========================================
column     accepted                               produced
=========  =====================================  ==========================================
track      utf8, large_string, string_view, or a  dictionary<int64, utf8>, one entry per name
op         dictionary of any integer key width
unit       over such strings; nulls stay nulls
time       timestamp of any unit and zone,        timestamp[ms, tz=UTC]
           date32, date64, int64 milliseconds
quantity   any integer, float or decimal type     float64
=========  =====================================  ==========================================

Columns are found by name; other columns are dropped. Chunks and batches are
combined into one batch; nothing is dropped. Everything is done with pyarrow
compute, column by column: no Python loop runs over the rows of a table.
"""

from __future__ import annotations

from typing import Any, Iterable, Optional

import pyarrow as pa
import pyarrow.compute as pc

from mirvon.rows import rows_table

TEXT_COLUMNS = ("track", "op", "unit")

#: The schema of every batch that `events` returns.
ENGINE_SCHEMA = pa.schema(
    [
        ("track", pa.dictionary(pa.int64(), pa.string())),
        ("time", pa.timestamp("ms", tz="UTC")),
        ("op", pa.dictionary(pa.int64(), pa.string())),
        ("quantity", pa.float64()),
        ("unit", pa.dictionary(pa.int64(), pa.string())),
    ]
)

#: What each kind of column may be, as the errors say it.
EXPECTED_TYPES = {
    "text": "utf8, large_string or string_view, or a dictionary of them",
    "time": "a timestamp (any unit and zone), date32, date64 or int64 milliseconds",
    "number": "an integer, float or decimal type",
}
_KINDS = {"track": "text", "time": "time", "op": "text", "quantity": "number", "unit": "text"}
_VALUE_PROBLEMS = "the events table has values the engine cannot take:\n"
_MS_PER_UNIT = {"s": 1, "ms": 1, "us": 1000, "ns": 1_000_000}
_MS_PER_DAY = 86_400_000


def _is_text(arrow_type: pa.DataType) -> bool:
    return pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type) or pa.types.is_string_view(arrow_type)


def column_fits(kind: str, arrow_type: pa.DataType) -> bool:
    """Whether a column of `arrow_type` can be read as a column of `kind` ("text", "time" or "number")."""
    if kind == "text":
        if pa.types.is_dictionary(arrow_type):
            return pa.types.is_integer(arrow_type.index_type) and _is_text(arrow_type.value_type)
        return _is_text(arrow_type)
    if kind == "time":
        return (
            pa.types.is_timestamp(arrow_type)
            or pa.types.is_date32(arrow_type)
            or pa.types.is_date64(arrow_type)
            or arrow_type == pa.int64()
        )
    return pa.types.is_integer(arrow_type) or pa.types.is_floating(arrow_type) or pa.types.is_decimal(arrow_type)


def as_table(data: Any) -> Optional[pa.Table]:
    """`data` as a pyarrow Table, or None when it is not a table (Python rows, for instance)."""
    if isinstance(data, pa.Table):
        return data
    if isinstance(data, pa.RecordBatch):
        return pa.Table.from_batches([data])
    if isinstance(data, pa.RecordBatchReader):
        return data.read_all()
    if type(data).__module__.partition(".")[0] == "pandas" and hasattr(data, "columns"):
        # The index is the frame's row labels, not an event column.
        return pa.Table.from_pandas(data, preserve_index=False)
    if hasattr(data, "__arrow_c_stream__"):
        return pa.table(data)
    if hasattr(data, "__arrow_c_array__"):
        return pa.Table.from_batches([pa.record_batch(data)])
    return None


def column_problems(table: pa.Table, kinds: dict[str, str]) -> list[str]:
    """One line per column of `kinds` (name -> kind) that is missing or of a type outside its kind."""
    problems = []
    for name, kind in kinds.items():
        if name not in table.schema.names:
            problems.append(f"  '{name}': missing; expected {EXPECTED_TYPES[kind]}")
        elif not column_fits(kind, column(table, name).type):
            problems.append(f"  '{name}': found {column(table, name).type}; expected {EXPECTED_TYPES[kind]}")
    return problems


def column(table: pa.Table, name: str) -> pa.ChunkedArray:
    """The first column of that name (a name may occur twice)."""
    return table.column(table.schema.names.index(name))


def _first_row(mask: pa.ChunkedArray) -> int:
    return int(pc.index(mask, True).as_py())


def millis(column: pa.ChunkedArray, name: str) -> tuple[Optional[pa.Array], Optional[str]]:
    """An int64 array of milliseconds since the epoch for a time column, or the reason it has none.

    The column's type has been checked with `column_fits`. A value with a
    sub-millisecond part is refused rather than rounded: rounding would move
    an event silently.
    """
    arrow_type = column.type
    if pa.types.is_date32(arrow_type):
        days = pc.cast(pc.cast(column, pa.int32()), pa.int64())
        return pc.multiply(days, _MS_PER_DAY).combine_chunks(), None
    raw = pc.cast(column, pa.int64())
    unit = arrow_type.unit if pa.types.is_timestamp(arrow_type) else "ms"
    if unit == "s":
        try:
            return pc.multiply_checked(raw, 1000).combine_chunks(), None
        except pa.ArrowInvalid:
            row = _first_row(pc.greater(pc.abs(raw), (2**63 - 1) // 1000))
            return None, f"  '{name}': row {row} ({column[row]}) is outside the millisecond range"
    per_ms = _MS_PER_UNIT[unit]
    if per_ms == 1:
        return raw.combine_chunks(), None
    whole = pc.divide(raw, per_ms)
    partial = pc.not_equal(pc.multiply(whole, per_ms), raw)
    if pc.any(partial).as_py():
        row = _first_row(partial)
        return None, f"  '{name}': row {row} ({column[row]}) has a sub-millisecond part"
    return whole.combine_chunks(), None


def _utf8(texts: Any) -> Any:
    # A cast to the type a column already has would still copy it.
    return texts if texts.type == pa.string() else pc.cast(texts, pa.string())


def text_keys(column: pa.ChunkedArray) -> tuple[pa.Array, pa.Array]:
    """(keys, names) with names unique and in order of first appearance; null rows keep null keys."""
    if not pa.types.is_dictionary(column.type):
        encoded = pc.dictionary_encode(_utf8(column).combine_chunks())
        return encoded.indices, encoded.dictionary
    # Work on the keys: the names are few, the rows many. Each chunk's
    # dictionary is first merged with the others into unique names ...
    offsets, dictionaries, keys = 0, [], []
    for chunk in column.chunks:
        dictionaries.append(_utf8(chunk.dictionary))
        keys.append(pc.add(pc.cast(chunk.indices, pa.int64()), offsets))
        offsets += len(chunk.dictionary)
    merged = pc.dictionary_encode(pa.concat_arrays(dictionaries) if dictionaries else pa.array([], pa.string()))
    # ... then every row's key is mapped to its name's number (take checks the
    # keys' range), and the numbers are renumbered by first appearance.
    rows = pc.take(merged.indices, pa.chunked_array(keys, pa.int64()).combine_chunks()) if keys else pa.array([], pa.int32())
    renumbered = pc.dictionary_encode(rows)
    return renumbered.indices, pc.take(merged.dictionary, renumbered.dictionary)


def _track_names(tracks: Optional[Iterable[str]]) -> list[str]:
    if tracks is None:
        return []
    if isinstance(tracks, str):
        raise TypeError("tracks must be a list of track names, not a str")
    names: list[str] = []
    for name in tracks:
        if not isinstance(name, str):
            raise TypeError(f"tracks must hold str names, not {type(name).__name__}")
        if name in names:
            raise ValueError(f"tracks lists {name!r} twice; each track name has one number")
        names.append(name)
    return names


def _listed_first(keys: pa.Array, names: pa.Array, listed: list[str], must_occur: bool) -> tuple[pa.Array, pa.Array]:
    """keys and names renumbered so that the `listed` names come first, in their order."""
    first = pa.array(listed, pa.string())
    if must_occur:
        absent = first.filter(pc.invert(pc.is_in(first, value_set=names))).to_pylist()
        if absent:
            raise ValueError(
                "tracks lists " + ", ".join(map(repr, absent)) + ", which no event books into"
            )
    order = pa.concat_arrays([first, names.filter(pc.invert(pc.is_in(names, value_set=first)))])
    return pc.take(pc.index_in(names, value_set=order), keys), order


def _null_quantities(quantity: pa.Array) -> list[str]:
    # The engine reads a quantity without looking at its validity: a null
    # would be priced as whatever its slot holds.
    if not quantity.null_count:
        return []
    return [f"  'quantity': row {_first_row(pc.is_null(quantity))} is null; every event needs a quantity"]


def _refuse_null_quantities(quantity: pa.Array) -> None:
    problems = _null_quantities(quantity)
    if problems:
        raise ValueError(_VALUE_PROBLEMS + "\n".join(problems))


def _is_engine_batch(table: pa.Table) -> bool:
    """Whether the five columns already have the engine's types, in one chunk each."""
    for field in ENGINE_SCHEMA:
        if field.name not in table.schema.names:
            return False
        found = column(table, field.name)
        if found.num_chunks > 1:
            return False
        if pa.types.is_timestamp(field.type):
            if not (pa.types.is_timestamp(found.type) and found.type.unit == "ms"):
                return False
        elif found.type != field.type:
            return False
    return True


def _engine_columns(table: pa.Table) -> pa.RecordBatch:
    columns = [column(table, name).combine_chunks() for name in ENGINE_SCHEMA.names]
    columns[1] = columns[1].cast(ENGINE_SCHEMA.field("time").type)
    return pa.RecordBatch.from_arrays(columns, schema=ENGINE_SCHEMA)


def engine_batch(
    data: Any, tracks: Optional[Iterable[str]] = None, *, tracks_must_occur: bool = True, exact_times: bool = True
) -> pa.RecordBatch:
    """The body of `events`; `events_batch` keeps its older rules through the two switches."""
    listed = _track_names(tracks)
    table = as_table(data)
    if table is None:
        table = rows_table(data, exact_times=exact_times)
    if not listed and _is_engine_batch(table):
        # Already the engine's batch (from `events`, or built by hand for the
        # engine): its track numbering is kept, so that `events` of its own
        # result prices the same. The engine checks keys and null names itself.
        batch = _engine_columns(table)
        _refuse_null_quantities(batch.column("quantity"))
        return batch
    problems = column_problems(table, _KINDS)
    if problems:
        raise TypeError("the events table does not fit the engine's columns:\n" + "\n".join(problems))

    columns: dict[str, pa.Array] = {}
    time, problem = millis(column(table, "time"), "time")
    problems += [problem] if problem else []
    if time is not None:
        columns["time"] = time.cast(ENGINE_SCHEMA.field("time").type)
    quantity = column(table, "quantity")
    if quantity.type != pa.float64():
        quantity = pc.cast(quantity, pa.float64(), safe=False)  # a 2**53 or wider integer rounds, as float() would
    quantity = quantity.combine_chunks()
    problems += _null_quantities(quantity)
    columns["quantity"] = quantity
    for name in TEXT_COLUMNS:
        try:
            keys, names = text_keys(column(table, name))
        except pa.ArrowIndexError:
            problems.append(f"  '{name}': a dictionary key lies outside its dictionary")
            continue
        if name == "track" and listed:
            keys, names = _listed_first(keys, names, listed, tracks_must_occur)
        columns[name] = pa.DictionaryArray.from_arrays(pc.cast(keys, pa.int64()), names)
    if problems:
        raise ValueError(_VALUE_PROBLEMS + "\n".join(problems))
    return pa.RecordBatch.from_arrays([columns[name] for name in ENGINE_SCHEMA.names], schema=ENGINE_SCHEMA)


def events(data: Any, tracks: Optional[Iterable[str]] = None) -> pa.RecordBatch:
    """The engine's events record batch for a contract given as any table or as Python rows.

    `data`: Python rows of (track, time, op, quantity, unit); a pyarrow
    RecordBatch, Table or RecordBatchReader; a pandas DataFrame; or any object
    with ``__arrow_c_stream__`` or ``__arrow_c_array__`` (polars, duckdb, arro3,
    nanoarrow). The columns "track", "time", "op", "quantity" and "unit" are
    found by name (see the module's table for the types accepted); others are
    dropped. Row order is kept: the engines walk the events in row order.

    Tracks are numbered by first appearance, after the names of `tracks`,
    which come first in their order: track 0, whose present value is the
    price, is ``tracks[0]`` when given, else the track of the first row that
    has one. A dictionary's own order is not kept, except in a batch that
    already has exactly the engine's types (one that `events` returned, or
    one built by hand for `_mirvon`): without `tracks` such a batch is used as
    it is. Every name in `tracks` must occur.

    Raises TypeError listing every column that is missing or of a type
    outside those accepted, and ValueError listing every column whose values
    the engine cannot take (a time with a sub-millisecond part, a null
    quantity, a dictionary key outside its dictionary). Python rows are
    checked row by row instead, and the error names the row and the field.
    """
    return engine_batch(data, tracks)


__all__ = [
    "ENGINE_SCHEMA",
    "EXPECTED_TYPES",
    "as_table",
    "column",
    "column_fits",
    "column_problems",
    "engine_batch",
    "events",
    "millis",
    "text_keys",
]
