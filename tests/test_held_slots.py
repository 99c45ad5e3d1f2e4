"""A slot handed to a parked request is held for it until its wait returns.

Between the hand-off and the moment the woken request enters its lease, the
backend's slot counts as busy (`held_slots`), so nothing else can take it; every
way a wait can end hands the slot on or frees it. Each test runs on a plain
balancer (the native path) and on one whose every method is a Python override.
"""
import asyncio
import gc
import random
import time

import pytest

import load_balancer as m
from tests.helpers import POOL, assert_native, run, server


@pytest.fixture
def hlb(lb, monkeypatch):
    monkeypatch.setattr(m, "QUEUE_ENABLED", True)
    monkeypatch.setattr(m, "QUEUE_TTL_SEC", 30.0)
    lb.set_routing_mode("max_concurrency")
    return lb


async def parked(lb, candidates, tokens=0):
    task = asyncio.create_task(lb.wait_for_slot(POOL, candidates, tokens))
    await asyncio.sleep(0)
    assert not task.done()
    return task


def assert_all_free(lb):
    assert lb.held_slots == {}
    assert lb.inflight == {}
    assert lb._all_waiters == [] and lb._waiters == {}


def test_the_hand_off_holds_the_slot_until_the_waiter_takes_it(hlb):
    s = server(1, max_concurrency=1)

    async def main():
        lease = m.InflightLease(hlb, 1)
        lease.__enter__()
        with assert_native("wait_for_slot", hlb):
            task = await parked(hlb, [s])
        with assert_native("count", hlb):
            lease.__exit__(None, None, None)  # the slot goes to the parked request ...
        # ... which has not run yet: the slot is still busy for everyone else
        assert hlb.held_slots == {1: 1} and hlb.inflight == {}
        assert await hlb.select(POOL, [s]) is None
        assert hlb._under_capacity(s, [s], pool_key=POOL) is False
        got, reason, _ = await task
        assert (got, reason) == (s, "ok") and hlb.held_slots == {}
        with m.InflightLease(hlb, 1):
            assert hlb.inflight == {1: 1} and hlb.held_slots == {}
            assert await hlb.select(POOL, [s]) is None
        assert await hlb.select(POOL, [s]) is s  # and after that lease the slot is free

    run(main())
    assert hlb.held_slots == {} and hlb.inflight == {}


def test_an_admission_on_the_spot_holds_nothing(hlb):
    s = server(1, max_concurrency=2)

    async def main():
        with assert_native("wait_for_slot", hlb):
            got = await hlb.wait_for_slot(POOL, [s], 0)
        assert got[:2] == (s, "ok") and hlb.held_slots == {}

    run(main())


async def end_by_cancel(lb, task, coro):
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def end_by_close(lb, task, coro):
    coro.close()


async def end_by_drop(lb, task, coro):
    del coro
    gc.collect()


@pytest.mark.parametrize("end", [end_by_cancel, end_by_close, end_by_drop], ids=["cancel", "close", "drop"])
def test_a_wait_ended_after_the_hand_off_passes_the_slot_on(hlb, end):
    s = server(1, max_concurrency=1)

    async def main():
        hlb.increment(1)
        if end is end_by_cancel:
            task, coro = await parked(hlb, [s]), None
        else:  # driven by hand, within this task (its time-out needs one)
            task, coro = None, hlb.wait_for_slot(POOL, [s], 0)
            assert isinstance(coro.send(None), asyncio.Future)
        behind = await parked(hlb, [s], 50)
        hlb.decrement(1)  # hands the slot to the first request
        assert hlb.held_slots == {1: 1} and len(hlb._all_waiters) == 1
        await end(hlb, task, coro)
        coro = None
        # the first request's slot went on to the one behind it, held for it until it resumes
        assert hlb._all_waiters == [] and hlb.dispatch_counts == {1: 2}
        if not behind.done():
            assert hlb.held_slots == {1: 1}
            assert await hlb.select(POOL, [s]) is None
        assert (await behind)[:2] == (s, "ok")
        assert hlb.held_slots == {}

    run(main())
    assert_all_free(hlb)
    assert hlb.dispatch_counts == {1: 2}


def test_a_time_out_in_the_turn_of_the_hand_off_keeps_the_slot_for_the_caller(hlb, monkeypatch):
    ttl = 0.01
    monkeypatch.setattr(m, "QUEUE_TTL_SEC", ttl)
    s = server(1, max_concurrency=1)

    async def main():
        loop = asyncio.get_running_loop()
        start = loop.time()
        hlb.increment(1)
        task = await parked(hlb, [s])
        loop.call_at(start + ttl / 2, hlb.decrement, 1)
        time.sleep(ttl * 2)  # the hand-off and the time-out are both due when the loop next looks
        got = await task
        assert got[:2] == (s, "ok") and hlb.held_slots == {}

    run(main())
    assert_all_free(hlb)


@pytest.mark.parametrize("mode", ["max_concurrency", "queue_all", "hybrid"])
@pytest.mark.parametrize("seed", range(3))
def test_randomized_no_lease_enters_over_the_cap(hlb, mode, seed, monkeypatch):
    """Requests park, get slots handed over, are cancelled and end their leases in a random order;
    some arrive in the very turn in which a slot is handed over. No lease ever takes a backend
    past its configured cap, and at the end every cap is free."""
    rng = random.Random(seed)
    hlb.set_routing_mode(mode)
    monkeypatch.setattr(m, "SUPERFAST_PER_SERVER_CAP", 2)
    monkeypatch.setattr(m, "HYBRID_INFLIGHT_THRESHOLD", 4)
    servers = [server(1, max_concurrency=3), server(2, max_concurrency=1), server(3, weight=2, max_concurrency=2)]
    cap = {s["id"]: s["max_concurrency"] for s in servers}
    leases, tasks, entries, handed = [], [], [], []

    def enter(s, queued):
        lease = m.InflightLease(hlb, s["id"])
        lease.__enter__()
        entries.append(hlb.inflight[s["id"]] - cap[s["id"]])
        leases.append(lease)
        handed.append(queued)

    async def request(cands):
        s = await hlb.select(POOL, cands)
        if s is None:
            s, reason, _ = await hlb.wait_for_slot(POOL, cands, rng.randint(0, 100))
            if s is None:
                return
        enter(s, True)

    async def main():
        for _ in range(300):
            u = rng.random()
            cands = rng.sample(servers, rng.randint(1, 3))
            if u < 0.35:
                tasks.append(asyncio.create_task(request(cands)))
            elif u < 0.65 and leases:
                leases.pop(rng.randrange(len(leases))).release()  # may hand the slot over ...
                if rng.random() < 0.5:  # ... and someone arrives in the same turn
                    s = await hlb.select(POOL, cands)
                    if s is not None:
                        enter(s, False)
            elif u < 0.72:
                pending = [t for t in tasks if not t.done()]
                if pending:
                    rng.choice(pending).cancel()
            else:
                await asyncio.sleep(0)
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        while leases:
            leases.pop().release()
            await asyncio.sleep(0)

    run(main())
    assert max(entries) <= 0, "a lease took a backend past its cap"
    assert sum(handed) >= 20  # the queue handed out slots often enough to test the window
    assert_all_free(hlb)
