"""Every kind of override is honoured on the very next call, and removing it
restores the native decision.

`load_balancer._native_decisions()` tells which path ran. A replaced clock
(installed as the module's `time`) is itself no override: the native path
calls it, and is still taken.
"""
import asyncio
import time as real_time
import types

import pytest

import load_balancer
from tests.helpers import POOL, server

RECS = [server(i, max_concurrency=8) for i in range(1, 5)]


class CountingClock:
    def __init__(self):
        self.now, self.reads = 1000.0, 0

    def monotonic(self):
        self.reads += 1
        return self.now

    def time(self):
        return 1.7e9 + self.now


def native_selects():
    return load_balancer._native_decisions()["select"]


def spy(calls, result):
    def fn(*args, **kwargs):
        calls.append(args)
        return result
    return fn


async def native_select(lb, **kw):
    """The result of a select, and whether the native path decided it."""
    before = native_selects()
    return await lb.select(POOL, RECS, **kw), native_selects() - before == 1


class Locking(asyncio.Lock):
    """Another lock type, whose entry is seen."""
    entered = 0

    async def __aenter__(self):
        Locking.entered += 1
        return await super().__aenter__()


def patch_lock_entry(mp, calls):
    original = asyncio.Lock.__aenter__

    async def entry(self):
        calls.append(self)
        return await original(self)
    mp.setattr(asyncio.Lock, "__aenter__", entry)


# name -> (apply(lb, mp, calls) returning the balancer to use, select kwargs,
#          whether the override's effect is the one seen)
OVERRIDES = {
    "instance attribute": (lambda lb, mp, calls: mp.setattr(lb, "_under_capacity", spy(calls, False), raising=False)
                           or lb, {}, lambda r, calls: r is None and calls),
    "class attribute": (lambda lb, mp, calls: mp.setattr(load_balancer.LoadBalancer, "_least_connections_pick",
                                                         spy(calls, RECS[2])) or lb,
                        {"algorithm": "least_connections"}, lambda r, calls: r is RECS[2] and calls),
    "subclass": (lambda lb, mp, calls: type("Sub", (load_balancer.LoadBalancer,),
                                            {"_sticky_lookup": spy(calls, RECS[3])})(),
                 {"algorithm": "sticky_session", "sticky_key": "k"}, lambda r, calls: r is RECS[3] and calls),
    "module global rebound": (lambda lb, mp, calls: mp.setattr(load_balancer, "normalize_lb_algorithm",
                                                               spy(calls, "least_connections")) or lb,
                              {}, lambda r, calls: r is RECS[0] and calls),
    "asyncio.Lock patched": (lambda lb, mp, calls: patch_lock_entry(mp, calls) or lb, {},
                             lambda r, calls: r is not None and calls),
}


@pytest.mark.parametrize("name", OVERRIDES)
def test_override_is_honoured_and_its_removal_restores_the_native_path(name, monkeypatch):
    clock = CountingClock()
    monkeypatch.setattr(load_balancer, "time", clock)
    apply, kw, seen = OVERRIDES[name]
    lb = load_balancer.LoadBalancer()

    async def main():
        await lb.select(POOL, RECS)  # warm: the pool's lock exists from now on
        assert (await native_select(lb, **kw))[1]
        calls = []
        with monkeypatch.context() as mp:
            target = apply(lb, mp, calls)
            result, _ = await native_select(target, **kw)
            assert seen(result, calls), (result, calls)
        assert (await native_select(lb, **kw))[1]

    asyncio.run(main())


def test_deleted_global_raises_at_once_and_restoring_it_restores_the_native_path(monkeypatch):
    clock = CountingClock()
    monkeypatch.setattr(load_balancer, "time", clock)
    lb = load_balancer.LoadBalancer()

    async def main():
        await lb.select(POOL, RECS)
        with monkeypatch.context() as mp:
            mp.delattr(load_balancer, "LB_ALGO_STICKY")
            with pytest.raises(NameError, match="LB_ALGO_STICKY"):
                await lb.select(POOL, RECS)
        assert (await native_select(lb))[1]

    asyncio.run(main())


@pytest.mark.parametrize("how", ["time.monotonic patched", "module's time replaced"])
def test_the_clock_in_use_is_read(how, monkeypatch):
    clock = CountingClock()
    if how == "time.monotonic patched":
        monkeypatch.setattr(real_time, "monotonic", clock.monotonic)
    else:
        monkeypatch.setattr(load_balancer, "time", clock)
    lb = load_balancer.LoadBalancer()
    assert asyncio.run(native_select(lb))[1]
    assert lb._pool_last_access[POOL] == 1000.0 and clock.reads >= 1


def test_another_lock_type_and_a_held_lock_are_awaited(monkeypatch):
    monkeypatch.setattr(asyncio, "Lock", Locking)
    lb = load_balancer.LoadBalancer()

    async def main():
        await lb.select(POOL, RECS)
        assert Locking.entered == 1 and type(lb._locks[POOL]) is Locking
        monkeypatch.undo()
        lb._locks[POOL] = lock = asyncio.Lock()
        await lock.acquire()
        pick = asyncio.ensure_future(lb.select(POOL, RECS))
        await asyncio.sleep(0)
        assert not pick.done()
        lock.release()
        assert await pick is not None

    asyncio.run(main())


def test_slot_wait_honours_wait_for_and_needs_a_task(monkeypatch):
    monkeypatch.setattr(load_balancer, "QUEUE_ENABLED", True)
    lb = load_balancer.LoadBalancer()
    seen = []
    original = asyncio.wait_for

    async def wait_for(fut, timeout):
        seen.append(timeout)
        return await original(fut, timeout)

    async def main():
        assert (await lb.wait_for_slot(POOL, RECS, 10))[1] == "ok"
        monkeypatch.setattr(asyncio, "wait_for", wait_for)
        assert (await lb.wait_for_slot(POOL, RECS, 10))[1] == "ok" and seen == [30.0]
        monkeypatch.undo()
        monkeypatch.setattr(load_balancer, "QUEUE_ENABLED", True)
        assert (await lb.wait_for_slot(POOL, RECS, 10))[1] == "ok" and seen == [30.0]
        # No task: the wait would need one, so it fails as asyncio.wait_for does.
        loop = asyncio.get_running_loop()
        outcome = loop.create_future()

        def step():
            coro = lb.wait_for_slot(POOL, RECS, 10)
            try:
                coro.send(None)
            except RuntimeError as e:
                outcome.set_result(str(e))
            finally:
                coro.close()
        loop.call_soon(step)
        assert "inside a task" in await outcome

    asyncio.run(main())
