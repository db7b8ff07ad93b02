"""Price a book held in a Spark DataFrame, one contract per group, on the executors.

`price_portfolio(df, dataset, model, by="contract", ...)` groups the
DataFrame by the contract column and hands each group to the engine as an
Arrow table (``df.groupBy(by).applyInArrow``), through the very function
that prices the chunks of the local process pool
(`mirvon.portfolio.price_contracts`). The result is a DataFrame with the
columns `by`, "price" and "error", one row per contract, in no particular
order.

Spark's types reach each group as Arrow types that `mirvon.events` reads:

- strings arrive as plain strings (Spark has no dictionary type) and are
  dictionary-encoded per group;
- a TimestampType column arrives as microseconds since the epoch with the
  session's time zone attached: each value keeps its instant whatever
  ``spark.sql.session.timeZone`` is, and that instant is priced. But Spark
  makes such a column from a naive input (a pyarrow or pandas timestamp
  without zone, a Python datetime without tzinfo, a text) by reading it as
  wall time in the session zone, so the same naive table prices differently
  from the local `mirvon.price_portfolio` (which reads naive times as UTC)
  unless the session zone is UTC. Give zone-aware times, or times as
  milliseconds in a long column;
- a TimestampNTZType column arrives without zone and is read as UTC;
- a DateType column is midnight UTC of that date; a long column is
  milliseconds since the epoch;
- a time with a sub-millisecond part fails its contract.

Row order: a shuffle does not keep the rows of a group in order, and the
engine walks a contract's events in row order, so the rows are numbered
(``monotonically_increasing_id``, which follows the DataFrame's order) before
grouping and each group is put back in that order.

On a cluster, the executors run the engine: install this package (with its
compiled extension, built for the executors' platform and Python) on every
executor, for instance with ``pip install mirvon-basic`` in the executors'
image or an environment shipped with ``spark.archives``; set
``PYSPARK_PYTHON`` to that environment's interpreter. Callables passed as
`dataset`, `expressions` or `state` travel to the executors with Spark's
cloudpickle.
"""

from __future__ import annotations

from typing import Any, Optional

import pyarrow as pa

from mirvon import tables
from mirvon.portfolio import PricingJob, check_options, price_contracts

#: The column that carries each row's position through the shuffle.
ROW_ORDER = "__mirvon_row__"


def price_portfolio(
    df: Any,
    dataset: Any,
    model: str,
    *,
    by: str = "contract",
    priced_track: Optional[str] = None,
    expressions: Any = None,
    state: Any = None,
) -> Any:
    """A Spark DataFrame of (`by`, "price", "error"), one row per contract of `df`.

    The options mean what they mean for `mirvon.price_portfolio`; the
    statistics tables and `workers` have no counterpart here (Spark decides
    the parallelism). Nothing runs until the result is used.
    """
    from pyspark.sql import functions
    from pyspark.sql.pandas.types import to_arrow_schema
    from pyspark.sql.types import DoubleType, StringType, StructField, StructType

    check_options(model, state, ())
    if by not in df.columns:
        raise KeyError(f"the DataFrame has no contract column {by!r}; its columns are {df.columns}")
    # Wrong column types are the whole book's problem: report them before any job runs.
    tables.events(to_arrow_schema(df.schema, timezone="UTC").empty_table())
    job = PricingJob(model, by, dataset, expressions, state, (), priced_track, row_order=ROW_ORDER)
    result_schema = StructType(
        [df.schema[by], StructField("price", DoubleType()), StructField("error", StringType())]
    )

    def price_group(group: pa.Table) -> pa.Table:
        return price_contracts(group, job)[0]

    numbered = df.withColumn(ROW_ORDER, functions.monotonically_increasing_id())
    return numbered.groupBy(by).applyInArrow(price_group, schema=result_schema)


__all__ = ["ROW_ORDER", "price_portfolio"]
