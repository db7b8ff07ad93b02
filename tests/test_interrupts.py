"""Ctrl-C during a long call. Another process sends a real SIGINT shortly after
the call starts; the call must end with KeyboardInterrupt within half a
second, whatever the engine is doing at that moment and whatever FLAGS asks
for, and hand nothing to set_stat.

Each contract below runs for several seconds when nothing stops it, so a
call that ignores the signal fails the latency bound by far.
"""

import os
import signal
import subprocess
import time

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
from conftest import YEAR, Recorder, flat_dataset

DELAY = 0.3  # seconds from the start of the call to the signal
LATENCY = 0.5  # seconds the call may run on after it


def same_time_batch(tracks, track_keys, units, unit_keys):
    """Events all at one year, in row order, from key arrays."""
    n = len(track_keys)
    return pa.record_batch({
        "track": pa.DictionaryArray.from_arrays(pa.array(track_keys, pa.int64()), pa.array(tracks)),
        "time": pa.array(np.full(n, YEAR, dtype=np.int64), pa.timestamp("ms")),
        "op": pa.DictionaryArray.from_arrays(pa.array(np.zeros(n, dtype=np.int64)), pa.array(["+"])),
        "quantity": pa.array(np.ones(n)),
        "unit": pa.DictionaryArray.from_arrays(pa.array(unit_keys, pa.int64()), pa.array(units)),
    })


def interrupted_after(call):
    """Runs call() with a SIGINT sent DELAY seconds in; the seconds it ran on after the signal."""
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    killer = subprocess.Popen(["sh", "-c", f"sleep {DELAY}; kill -INT {os.getpid()}"])
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        return time.monotonic() - start - DELAY
    finally:
        # A call that ended before the signal must fail here, not take the session down.
        try:
            killer.wait()
        except KeyboardInterrupt:
            pass


class Model(Recorder):
    """Discounting per path at the first step, market values otherwise."""

    def __init__(self, paths):
        super().__init__()
        self.paths = paths

    def advance(self, t):
        return np.full(self.paths, 0.99)

    def get_value(self, name):
        return np.full(self.paths, 2.0)


@pytest.mark.parametrize("flags", [0, 11])
@pytest.mark.parametrize("engine", ["bs", "hw"])
def test_sigint_ends_a_long_grid(engine, flags):
    # 2001 nodes and 200000 steps: several seconds of sweeps.
    dataset = flat_dataset(0.01, FD={"N_X": 1000, "MAX_X": 0.5, "TIMESTEP": 1 / 200_000, "FLAGS": flags},
                           HW={"MEANREV": 0.1, "VOL": 0.01}, BS={"VOL": 0.2, "ASSET": "S"})
    dataset["ASSETS"]["S"] = ("FORWARDS", np.array([[0.0, 100.0], [50.0, 100.0]]))
    batch = same_time_batch(["leg"], [0], ["S"], [0])
    function = _mirvon.fd_blackscholes_price if engine == "bs" else _mirvon.fd_hullwhite_price
    state = Recorder()
    assert interrupted_after(lambda: function(batch, state, dataset, {})) < LATENCY
    assert state.stats == []


@pytest.mark.parametrize("flags", [0, 1])
@pytest.mark.parametrize("per_path_discount", [False, True], ids=["roll", "forward"])
def test_sigint_ends_a_long_monte_carlo(per_path_discount, flags):
    # Track 0 books track 1 many times over: each booking copies and adds a
    # vector over all paths in the backward roll, and with discounting per
    # path each event's quantity is such a vector in the forward pass too.
    paths, refs = 200_000, 20_000
    model = Model(paths)
    if not per_path_discount:
        model.advance = lambda t: None
    batch = same_time_batch(["book", "asset"], [0] * refs + [1], ["asset", "S"], [0] * refs + [1])
    dataset = flat_dataset(0.0, MC={"PATHS": paths, "SEED": 1, "FLAGS": flags})
    assert interrupted_after(lambda: _mirvon.mc_price(batch, model, dataset, {})) < LATENCY
    assert model.stats == []


def test_sigint_ends_a_long_backtest():
    class Source(Recorder):
        def get_value(self, name, t):
            return float(sum(range(50)))

    n = 2_000_000
    batch = same_time_batch(["leg"], np.zeros(n, dtype=np.int64), ["S"], np.zeros(n, dtype=np.int64))
    source = Source()
    assert interrupted_after(lambda: _mirvon.backtest_py(batch, source, {}, "USD")) < LATENCY
    assert source.stats == []
