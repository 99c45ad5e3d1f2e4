"""The inflight reaper loop."""
import asyncio
import logging
import types

import pytest

import load_balancer
from load_balancer import inflight_reaper_loop
from tests.helpers import run

FAILED = "inflight reaper iteration failed: %s"


class Listing:
    """A running-servers callable that plays back one result per pass.

    Each entry is a list of ids (returned as records), an exception (raised)
    or a callable (its result returned as is).  After the script is used up
    it stops the test by cancelling the reaper's task.
    """

    def __init__(self, *script):
        self.script = list(script)
        self.calls = 0
        self.task = None

    async def __call__(self):
        self.calls += 1
        if not self.script:
            self.task.cancel()
            await asyncio.sleep(3600)  # cancelled while awaiting the listing
        step = self.script.pop(0)
        if isinstance(step, BaseException):
            raise step
        if callable(step):
            return step()
        return [{"id": sid, "weight": 1} for sid in step]


async def drive(lb, listing, interval_sec=0):
    listing.task = asyncio.create_task(
        inflight_reaper_loop(lb, interval_sec=interval_sec, list_running_servers=listing)
    )
    with pytest.raises(asyncio.CancelledError):
        await listing.task
    assert listing.task.cancelled()


def reaper_warnings(caplog):
    return [r for r in caplog.records if r.msg == FAILED]


def test_arguments_are_bound_at_the_call(lb):
    with pytest.raises(TypeError):
        inflight_reaper_loop(lb, 5)
    with pytest.raises(TypeError):
        inflight_reaper_loop()
    with pytest.raises(TypeError):
        inflight_reaper_loop(lb, interval=1)


@pytest.mark.parametrize(
    "inflight, listings, left, messages",
    [
        ({1: 2, 2: 5, 3: 1}, [[1, 3]], {1: 2, 3: 1}, ["Force-cleared inflight=5 for server 2"]),
        ({1: 2, 3: 1}, [[3, 1, 4], [1, 3]], {1: 2, 3: 1}, []),
        ({1: 2, 9: 0}, [[]], {}, ["Force-cleared inflight=2 for server 1", "Force-cleared inflight=0 for server 9"]),
        ({1: 1, 2: 1, "3": 1}, [[1.0, True, 2, 3]], {1: 1, 2: 1}, ["Force-cleared inflight=1 for server 3"]),
    ],
)
def test_clears_servers_missing_from_the_listing(lb, lb_logs, inflight, listings, left, messages):
    lb.inflight.update(inflight)
    run(drive(lb, Listing(*listings)))
    assert lb.inflight == left
    assert [r.getMessage() for r in lb_logs.records] == messages


def test_each_pass_sees_the_counts_of_its_moment(lb):
    def start_request_on_4():
        lb.increment(4)
        return [{"id": 1}]

    lb.inflight.update({1: 1})
    run(drive(lb, Listing([1], start_request_on_4, [1, 4])))
    assert lb.inflight == {1: 1}


@pytest.mark.parametrize(
    "bad_pass, error",
    [
        (RuntimeError("listing timed out"), RuntimeError),
        (ConnectionError("agent down"), ConnectionError),
        (lambda: 42, TypeError),
        (lambda: [{"id": []}], TypeError),
    ],
)
def test_failed_pass_is_logged_and_the_loop_goes_on(lb, lb_logs, bad_pass, error):
    lb.inflight.update({1: 1, 2: 1, 3: 1})
    run(drive(lb, Listing(bad_pass, [1, 3])))
    assert lb.inflight == {1: 1, 3: 1}  # the next pass ran normally
    (warning,) = reaper_warnings(lb_logs)
    assert warning.levelno == logging.WARNING
    assert isinstance(warning.args[0], error)


def test_record_without_id_clears_nothing_in_that_pass(lb, lb_logs):
    lb.inflight.update({1: 1, 2: 1})
    listing = Listing(lambda: [{"id": 1}, {"name": "no id"}])
    run(drive(lb, listing))
    assert lb.inflight == {1: 1, 2: 1}
    assert isinstance(reaper_warnings(lb_logs)[0].args[0], KeyError)
    assert lb_logs.records[0].getMessage() == "inflight reaper iteration failed: 'id'"


def test_listing_that_is_not_awaitable(lb, lb_logs):
    lb.inflight.update({1: 1})
    calls = 0

    def listing():
        nonlocal calls
        calls += 1
        if calls == 3:
            task.cancel()
        return [{"id": 2}]  # a plain list: awaiting it fails

    async def main():
        nonlocal task
        task = asyncio.create_task(inflight_reaper_loop(lb, interval_sec=0, list_running_servers=listing))
        with pytest.raises(asyncio.CancelledError):
            await task

    task = None
    run(main())
    assert lb.inflight == {1: 1}
    assert len(reaper_warnings(lb_logs)) >= 2
    assert all(isinstance(r.args[0], TypeError) for r in reaper_warnings(lb_logs))


def test_force_clear_failure_keeps_earlier_clears(lb, lb_logs):
    lb.inflight.update({1: 1, 2: 1, 3: 1})
    real = lb.force_clear

    def force_clear(sid):
        if sid == 2:
            raise LookupError("cannot clear 2")
        real(sid)

    lb.force_clear = force_clear
    run(drive(lb, Listing([])))
    assert lb.inflight == {2: 1, 3: 1}  # 1 stays cleared; the pass stopped at 2
    assert [str(r.args[0]) for r in reaper_warnings(lb_logs)] == ["cannot clear 2"]


def test_without_listing_it_only_sleeps(monkeypatch):
    delays = []

    async def sleep(delay):
        delays.append(delay)
        if len(delays) == 5:
            raise asyncio.CancelledError
        await asyncio.sleep(0)

    monkeypatch.setattr(load_balancer, "asyncio", types.SimpleNamespace(sleep=sleep, CancelledError=asyncio.CancelledError))

    class Untouchable:
        def __getattr__(self, name):
            raise AssertionError(f"lb.{name} read")

    with pytest.raises(asyncio.CancelledError):
        run(inflight_reaper_loop(Untouchable()))
    assert delays == [60.0] * 5


def test_first_pass_waits_one_interval(lb, monkeypatch):
    events = []

    async def sleep(delay):
        events.append(("sleep", delay))
        await asyncio.sleep(0)

    async def listing():
        events.append("listing")
        if len(events) >= 4:
            raise asyncio.CancelledError
        return []

    monkeypatch.setattr(load_balancer, "asyncio", types.SimpleNamespace(sleep=sleep, CancelledError=asyncio.CancelledError))
    with pytest.raises(asyncio.CancelledError):
        run(inflight_reaper_loop(lb, interval_sec=2.5, list_running_servers=listing))
    assert events == [("sleep", 2.5), "listing", ("sleep", 2.5), "listing"]


def test_cancelled_during_sleep(lb):
    async def main():
        listing = Listing()
        task = asyncio.create_task(inflight_reaper_loop(lb, interval_sec=3600, list_running_servers=listing))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert listing.calls == 0

    run(main())


def test_cancelled_during_listing(lb):
    lb.inflight.update({1: 1})
    listing = Listing()  # cancels the task from inside the awaited listing
    run(drive(lb, listing))
    assert listing.calls == 1 and lb.inflight == {1: 1}


def test_cancellation_raised_by_the_listing_ends_the_loop(lb, lb_logs):
    async def listing():
        raise asyncio.CancelledError("stop")

    with pytest.raises(asyncio.CancelledError, match="stop"):
        run(inflight_reaper_loop(lb, interval_sec=0, list_running_servers=listing))
    assert reaper_warnings(lb_logs) == []


def test_cancellation_class_is_read_from_the_module_at_use(lb, lb_logs, monkeypatch):
    class Halt(Exception):
        pass

    async def listing():
        raise Halt()

    monkeypatch.setattr(load_balancer, "asyncio", types.SimpleNamespace(sleep=asyncio.sleep, CancelledError=Halt))
    with pytest.raises(Halt):
        run(inflight_reaper_loop(lb, interval_sec=0, list_running_servers=listing))
    assert reaper_warnings(lb_logs) == []


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit, type("Abort", (BaseException,), {})])
def test_exceptions_outside_exception_end_the_loop(lb, lb_logs, exc_type):
    async def listing():
        raise exc_type()

    async def main():
        with pytest.raises(exc_type):
            await inflight_reaper_loop(lb, interval_sec=0, list_running_servers=listing)

    run(main())
    assert reaper_warnings(lb_logs) == []


def test_error_while_handling_a_failure_carries_the_failure(lb, monkeypatch):
    def warning(*args):
        raise RuntimeError("logging broke")

    monkeypatch.setattr(load_balancer, "logger", types.SimpleNamespace(warning=warning))
    with pytest.raises(RuntimeError, match="logging broke") as info:
        run(inflight_reaper_loop(lb, interval_sec=0, list_running_servers=Listing(OSError("down"))))
    assert isinstance(info.value.__context__, OSError)


def test_closing_a_suspended_loop(lb):
    async def main():
        coro = inflight_reaper_loop(lb, interval_sec=0)
        coro.send(None)  # suspended in asyncio.sleep(0)
        coro.close()
        with pytest.raises(RuntimeError):
            coro.send(None)

    run(main())
