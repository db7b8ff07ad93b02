"""Shared fixtures: contracts from plain rows, flat market data, and a state
object that records what the engine hands back."""

import numpy as np
import pytest

from mirvon.timetable import MS_PER_YEAR, events_batch

YEAR = MS_PER_YEAR


class Recorder:
    """A py_state that keeps every statistic handed to set_stat, in order."""

    def __init__(self):
        self.stats = []

    def set_stat(self, name, value):
        self.stats.append((name, value))

    def names(self):
        return [name for name, _ in self.stats]

    def get(self, name):
        values = [v for n, v in self.stats if n == name]
        assert len(values) == 1, f"{name} sent {len(values)} times"
        return values[0]


def flat_curve(rate, horizon=50.0):
    return ("ZERO_RATES", np.array([[0.0, rate], [horizon, rate]]))


def flat_dataset(rate=0.05, **sections):
    """A dataset with base USD on a flat zero curve, valued at time 0."""
    dataset = {"BASE": "USD", "ASSETS": {"USD": flat_curve(rate)}, "PRICING_TS": 0}
    dataset.update(sections)
    return dataset


def under_address_sanitizer():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


# The sanitizer's allocator aborts on requests no machine can meet, where the
# plain one fails them with bad_alloc; and its quarantine holds freed memory
# back, so resident size says nothing under it.
needs_plain_allocator = pytest.mark.skipif(
    under_address_sanitizer(), reason="not meaningful under AddressSanitizer's allocator"
)


@pytest.fixture
def recorder():
    return Recorder()


__all__ = ["YEAR", "Recorder", "events_batch", "flat_curve", "flat_dataset", "needs_plain_allocator",
           "under_address_sanitizer"]
