"""mirvon.spark.price_portfolio: the same book on a local Spark session prices as the local pool does.

One session for the module (starting the JVM takes seconds), in a time zone
other than UTC so that a time read as wall time instead of an instant shows.
"""

import os
import shutil
import sys

import numpy as np
import pyarrow as pa
import pytest

import mirvon
from test_portfolio import BOOK, SeededGBM, bond, contracts_table, dataset, mc_dataset

pyspark = pytest.importorskip("pyspark", reason="needs the spark extra (pip install '.[spark]')")

pytestmark = [
    pytest.mark.skipif(
        "libasan" in os.environ.get("LD_PRELOAD", ""),
        reason="Spark's JVM is not run with the AddressSanitizer runtime preloaded",
    ),
    pytest.mark.skipif(
        shutil.which("java") is None and not os.environ.get("JAVA_HOME"),
        reason="Spark needs Java (no java on PATH and no JAVA_HOME)",
    ),
]

SESSION_ZONE = "America/New_York"


@pytest.fixture(scope="module")
def spark():
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    session = (
        SparkSession.builder.master("local[2]")
        .appName("mirvon-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.sql.session.timeZone", SESSION_ZONE)
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    # The callables and classes these tests pass live in test modules, which
    # the Python workers must import, as a cluster's executors would.
    for module in ("conftest.py", "test_portfolio.py"):
        session.sparkContext.addPyFile(os.path.join(os.path.dirname(__file__), module))
    yield session
    session.stop()


def on_spark(spark, table, **options):
    import mirvon.spark

    return mirvon.spark.price_portfolio(spark.createDataFrame(table), **options).toArrow()


def locally(table, **options):
    return mirvon.price_portfolio(table, workers=1, **options).prices


def same_rows(remote, local):
    assert remote.schema == local.schema
    assert remote.sort_by("contract").equals(local.sort_by("contract"))


OPTIONS = {
    "first track": dict(dataset=dataset()),
    "priced_track": dict(dataset=dataset(), priced_track="bond"),
    "dataset per contract": dict(dataset=lambda contract: dataset(0.01 * (contract % 4))),
}


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
def test_spark_prices_the_book_as_the_local_pool(spark, options):
    # Interleaved rows: the shuffle must not reorder a contract's events.
    table = contracts_table(BOOK, interleave=True)
    same_rows(on_spark(spark, table, model="fixed", **options), locally(table, model="fixed", **options))


def test_monte_carlo_with_a_fresh_state_per_contract(spark):
    book = {c: [("fwd", c * 1000, "+", 1.0, "S"), ("fwd", 2 * c * 1000, "+", 1.0, "S")] for c in (4, 9, 6)}
    options = dict(dataset=mc_dataset(), model="mc", state=SeededGBM)
    table = contracts_table(book)
    same_rows(on_spark(spark, table, **options), locally(table, **options))


TIMES = {
    "timestamp UTC": lambda ms: pa.array(ms, pa.timestamp("ms", tz="UTC")),
    "timestamp Tokyo": lambda ms: pa.array(ms, pa.timestamp("ms", tz="Asia/Tokyo")),
    "timestamp us": lambda ms: pa.array(np.asarray(ms) * 1000, pa.timestamp("us", tz="UTC")),
    "int64 ms": lambda ms: pa.array(ms, pa.int64()),
}


@pytest.mark.parametrize("make_time", TIMES.values(), ids=TIMES.keys())
def test_instants_are_priced_whatever_the_session_zone(spark, make_time):
    assert spark.conf.get("spark.sql.session.timeZone") == SESSION_ZONE
    table = contracts_table({"a": bond(), "b": bond(coupon=1.0, payments=3)})
    table = table.set_column(2, "time", make_time(table.column("time").cast(pa.int64()).to_numpy()))
    remote = on_spark(spark, table, dataset=dataset(), model="fixed")
    expected = {"a": mirvon.price(bond(), dataset(), "fixed").price, "b": mirvon.price(bond(coupon=1.0, payments=3), dataset(), "fixed").price}
    assert dict(zip(remote.column("contract").to_pylist(), remote.column("price").to_pylist())) == expected


def test_wrong_column_types_fail_before_any_job_runs(spark):
    import mirvon.spark

    frame = spark.createDataFrame(contracts_table(BOOK)).withColumn("quantity", pyspark.sql.functions.lit("x"))
    with pytest.raises(TypeError, match="'quantity': found string"):
        mirvon.spark.price_portfolio(frame, dataset(), "fixed")
