"""Requests the machine cannot hold raise MemoryError naming the request before
anything large is allocated, instead of leaving the process to the kernel's
out-of-memory killer.

Each request runs in a child process with a bounded address space (under
AddressSanitizer, which needs a huge one for itself, with a bound on its
allocations and resident size instead), so that a regression fails the test
instead of exhausting the machine.
"""

import os
import re
import resource
import subprocess
import sys
import textwrap

import pytest

from conftest import under_address_sanitizer

PHYSICAL = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
GB = 2**30
LIMIT = 4 * GB  # address space of the child: enough for the interpreter, NumPy and pyarrow

CHILD = """
import sys
import numpy as np
import _mirvon
sys.path.insert(0, {tests!r})
from conftest import YEAR, Recorder, events_batch, flat_dataset

class Model(Recorder):
    def advance(self, t):
        return None
    def get_value(self, name):
        return None

dataset = flat_dataset(0.0, HW={{"MEANREV": 0.1, "VOL": 0.01}}, BS={{"VOL": 0.2, "ASSET": "S"}})
dataset["ASSETS"]["S"] = ("FORWARDS", np.array([[0.0, 100.0], [50.0, 100.0]]))
{setup}
try:
    {call}
except MemoryError as e:
    print("MemoryError:", e)
else:
    print("no error")
"""


def limit_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


def run_child(setup, call):
    code = CHILD.format(tests=os.path.dirname(__file__), setup=textwrap.dedent(setup), call=call)
    env = dict(os.environ)
    preexec = limit_address_space
    if under_address_sanitizer():
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=2048:hard_rss_limit_mb=3072"
        preexec = None
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env,
                          preexec_fn=preexec)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout.strip()


def refusal(request):
    return re.compile(re.escape(f"MemoryError: {request} needs about ") + r"(\d+) GB; this machine has (\d+) GB")


def assert_refused(output, request):
    match = refusal(request).fullmatch(output)
    assert match, output
    needed, available = map(int, match.groups())
    assert needed > available == round(PHYSICAL / GB)


# Far more nodes than physical memory holds doubles.
HUGE_N_X = max(10**9, PHYSICAL // 8)


@pytest.mark.parametrize("function", ["fd_hullwhite_price", "fd_blackscholes_price"])
def test_grid_beyond_physical_memory_is_refused_naming_its_nodes(function):
    setup = f"""
    dataset["FD"] = {{"N_X": {HUGE_N_X}, "MAX_X": 0.5, "TIMESTEP": 0.25}}
    batch = events_batch([("leg", YEAR, "+", 1.0, "USD")])
    """
    output = run_child(setup, f"_mirvon.{function}(batch, Recorder(), dataset, {{}})")
    assert_refused(output, f"A grid of {2 * HUGE_N_X + 1} nodes")


@pytest.mark.parametrize("flags", [2, 8])
def test_recorded_statistics_count_towards_the_grid(flags):
    # Small enough to run without statistics; each recorded event keeps one
    # more vector over all nodes.
    n_x = 10**6
    events = int(1.2 * PHYSICAL / (8 * (2 * n_x + 1)))
    op = ">" if flags == 2 else "+"
    batch = f'batch = events_batch([("leg", YEAR, "{op}", 1.0, "USD")] * {events})\n'
    call = "_mirvon.fd_hullwhite_price(batch, Recorder(), dataset, {})"
    plain = 'dataset["FD"] = {"N_X": 1, "MAX_X": 0.5, "TIMESTEP": 0.25, "FLAGS": 0}'
    assert run_child(batch + plain, call) == "no error"
    recording = f'dataset["FD"] = {{"N_X": {n_x}, "MAX_X": 0.5, "TIMESTEP": 0.25, "FLAGS": {flags}}}'
    assert_refused(run_child(batch + recording, call), f"A grid of {2 * n_x + 1} nodes")


@pytest.mark.parametrize(
    "paths, events, flags",
    [
        (PHYSICAL, 1, 0),  # one vector over the paths is already too much
        (10**7, int(1.2 * PHYSICAL / 8e7), 0),  # one booked vector per event
        (10**6, int(0.6 * PHYSICAL / 8e6), 8),  # fits, but not with a recorded cashflow per event
    ],
)
def test_monte_carlo_beyond_physical_memory_is_refused_naming_its_paths(paths, events, flags):
    setup = f"""
    dataset["MC"] = {{"PATHS": {paths}, "SEED": 1, "FLAGS": {flags}}}
    batch = events_batch([("leg", YEAR, "+", 1.0, "S")] * {events})
    """
    output = run_child(setup, "_mirvon.mc_price(batch, Model(), dataset, {})")
    assert_refused(output, f"A run of {paths} paths over {events} events")
