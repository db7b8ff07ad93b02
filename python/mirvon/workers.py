"""Run a function over the chunks of one Arrow table on worker processes.

The engine holds the interpreter lock for the whole of every call, so
parallel work needs processes. Each worker receives the table once (inherited
through fork, or memory-mapped from an Arrow IPC file where processes are
spawned) and then the numbers of the chunks it is to work on, one at a time,
so that a worker that finishes early takes the next chunk.

Workers ignore SIGINT: a Ctrl-C reaches the caller, which stops every worker
(SIGTERM, then SIGKILL for one that does not go) before KeyboardInterrupt
leaves `map_chunks`. A worker that dies stops the run with an error instead
of leaving the caller waiting for a result that never comes.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import multiprocessing.connection
import os
import pickle
import signal
import tempfile
import traceback
from typing import Any, Callable, Optional, Sequence

import cloudpickle
import pyarrow as pa

#: How long stopped workers get to exit on SIGTERM before they are killed.
STOP_GRACE_SECONDS = 0.3

ChunkFunction = Callable[[pa.Table, int], Any]


def default_workers() -> int:
    """The number of cores this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return max(1, os.cpu_count() or 1)


def _context() -> multiprocessing.context.BaseContext:
    # fork hands the table and the function to the workers without copying or
    # pickling anything; elsewhere they are spawned.
    if "fork" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("spawn")


class _RemoteTraceback(Exception):
    """The traceback of an exception raised in a worker, shown as the cause of the re-raised one."""

    def __str__(self) -> str:
        return "\n" + str(self.args[0])


def _portable(exc: BaseException) -> BaseException:
    try:
        return pickle.loads(pickle.dumps(exc))
    except Exception:
        return RuntimeError(f"{type(exc).__name__}: {exc}")


def _worker_main(
    conn: multiprocessing.connection.Connection,
    function: Any,
    table: Any,
) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if isinstance(function, bytes):
        function = cloudpickle.loads(function)
    if isinstance(table, str):
        table = pa.ipc.open_file(pa.memory_map(table)).read_all()
    while True:
        chunk = conn.recv()
        if chunk is None:
            return
        try:
            reply = ("ok", function(table, chunk))
        except BaseException as exc:  # noqa: BLE001 - every failure goes back to the caller
            reply = ("error", (_portable(exc), traceback.format_exc()))
        conn.send(reply)


class _Worker:
    def __init__(self, context: Any, function: Any, table: Any) -> None:
        self.conn, child_conn = context.Pipe()
        self.process = context.Process(
            target=_worker_main, args=(child_conn, function, table), daemon=True
        )
        self.process.start()
        child_conn.close()
        self.chunk: Optional[int] = None

    def give(self, chunk: Optional[int]) -> None:
        self.chunk = chunk
        self.conn.send(chunk)


def _stop(workers: Sequence[_Worker]) -> None:
    for worker in workers:
        if worker.process.is_alive():
            worker.process.terminate()
    for worker in workers:
        worker.process.join(STOP_GRACE_SECONDS)
        if worker.process.is_alive():
            worker.process.kill()
            worker.process.join()
        worker.conn.close()


def _died(worker: _Worker) -> RuntimeError:
    worker.process.join()
    return RuntimeError(
        f"a worker process died (exit code {worker.process.exitcode}) "
        f"while working on chunk {worker.chunk}"
    )


def _collect(workers: list[_Worker], n_chunks: int) -> list[Any]:
    results: list[Any] = [None] * n_chunks
    pending = iter(range(n_chunks))
    for worker in workers:
        worker.give(next(pending, None))
    busy = {worker.conn: worker for worker in workers if worker.chunk is not None}
    sentinels = {worker.process.sentinel: worker for worker in busy.values()}
    while busy:
        ready = multiprocessing.connection.wait(list(busy) + list(sentinels))
        for handle in ready:
            worker = busy.get(handle) or sentinels[handle]
            if worker.conn not in busy:
                continue
            if not worker.conn.poll():
                raise _died(worker)
            try:
                status, value = worker.conn.recv()
            except EOFError:
                raise _died(worker) from None
            if status == "error":
                exc, text = value
                raise exc from _RemoteTraceback(text)
            results[worker.chunk] = value
            worker.give(next(pending, None))
            if worker.chunk is None:
                del busy[worker.conn]
                del sentinels[worker.process.sentinel]
    return results


def map_chunks(function: ChunkFunction, table: pa.Table, n_chunks: int, workers: int) -> list[Any]:
    """``[function(table, i) for i in range(n_chunks)]``, computed on `workers` processes.

    `function` may be a lambda or a closure: where workers cannot be forked
    it travels with cloudpickle. An exception raised by `function` in a
    worker is raised here (its worker traceback as the cause) after every
    worker has been stopped.
    """
    context = _context()
    with contextlib.ExitStack() as cleanup:
        if context.get_start_method() == "fork":
            shipped_function, shipped_table = function, table
        else:
            scratch = cleanup.enter_context(tempfile.TemporaryDirectory(prefix="mirvon-"))
            shipped_function, shipped_table = cloudpickle.dumps(function), _write_ipc(table, scratch)
        started: list[_Worker] = []
        try:
            for _ in range(min(workers, n_chunks)):
                started.append(_Worker(context, shipped_function, shipped_table))
            return _collect(started, n_chunks)
        finally:
            _stop(started)


def _write_ipc(table: pa.Table, folder: str) -> str:
    """The table in an Arrow IPC file, which each spawned worker maps into memory without copying."""
    path = os.path.join(folder, "table.arrow")
    with pa.OSFile(path, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    return path


__all__ = ["STOP_GRACE_SECONDS", "default_workers", "map_chunks"]
