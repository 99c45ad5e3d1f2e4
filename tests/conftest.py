import asyncio
import logging

import pytest

import load_balancer
from tests.helpers import ByNameBalancer, ByNameWaiter


class FakeClock:
    """Stands in for the `time` module: tests move time by hand."""

    def __init__(self, start=1000.0, wall_offset=1_700_000_000.0):
        self.now = start
        self.wall_offset = wall_offset

    def monotonic(self):
        return self.now

    def time(self):
        return self.wall_offset + self.now

    def advance(self, seconds):
        self.now += seconds


@pytest.fixture
def lbm():
    return load_balancer


@pytest.fixture(params=["plain", "by_name"])
def lb(request, monkeypatch):
    """A balancer on each path: a plain one (native decisions) and one whose
    every method is a Python override (step by step). A fault in either path
    fails the same named test."""
    if request.param == "plain":
        return load_balancer.LoadBalancer()
    # The waiters the queue builds then answer is_boosted by name too.
    monkeypatch.setattr(load_balancer, "_Waiter", ByNameWaiter)
    return ByNameBalancer()


@pytest.fixture
def plain_lb():
    """A plain balancer, for tests of the native path or of the class itself."""
    return load_balancer.LoadBalancer()


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(load_balancer, "time", fake)
    return fake


@pytest.fixture(params=["replaced", "interpreter"])
def any_clock(request):
    """The hand-moved clock, or the interpreter's own (then None), for tests
    whose outcome does not depend on the time: a native decision reads the
    interpreter's clock once, a replaced one where the steps read it."""
    if request.param == "interpreter":
        return None
    return request.getfixturevalue("clock")


@pytest.fixture
def lb_logs(caplog):
    caplog.set_level(logging.DEBUG, logger="load_balancer")
    return caplog
