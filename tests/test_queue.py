"""Admission queue: depth ceiling, the slot wait and its outcomes."""
import asyncio
import copy
import gc
import random
import time
import types
import weakref
from collections import deque

import pytest

import load_balancer
from tests.helpers import POOL, assert_native, run, server

OTHER_POOL = ("model-b", frozenset({2}), "slow")


@pytest.fixture
def qlb(lb, monkeypatch):
    monkeypatch.setattr(load_balancer, "QUEUE_ENABLED", True)
    lb.set_routing_mode("max_concurrency")
    return lb


def parked_counts(lb, w):
    """(times in _all_waiters, times in each backend's deque), by identity."""
    return (
        sum(x is w for x in lb._all_waiters),
        {sid: sum(x is w for x in dq) for sid, dq in lb._waiters.items()},
    )


def assert_nothing_parked(lb):
    assert lb._all_waiters == []
    assert lb._waiters == {}


async def parked(lb, candidates, tokens=0, **kw):
    """Start a slot wait and let it park."""
    task = asyncio.create_task(lb.wait_for_slot(POOL, candidates, tokens, **kw))
    await asyncio.sleep(0)
    return task


# ---- depth ceiling --------------------------------------------------------


@pytest.mark.parametrize(
    "mode, caps, multiplier, expected",
    [
        ("max_concurrency", [8, 8, None], 4, 64),
        ("max_concurrency", [], 4, 0),
        ("max_concurrency", [0, None, None], 4, 0),
        ("max_concurrency", [8.9, "3"], 2, 22),
        ("max_concurrency", [-5, 2], 4, 0),
        ("max_concurrency", [3], 0, 3),
        ("max_concurrency", [3], -2, 3),
        ("queue_all", [2], 4, 2000),
    ],
)
def test_queue_capacity_for_pool(qlb, monkeypatch, mode, caps, multiplier, expected):
    qlb.set_routing_mode(mode)
    monkeypatch.setattr(load_balancer, "QUEUE_MAX_DEPTH_MULTIPLIER", multiplier)
    records = [server(i, max_concurrency=c) for i, c in enumerate(caps)]
    got = qlb._queue_capacity_for_pool(records)
    assert got == expected and type(got) is int


# ---- refusals -------------------------------------------------------------


def test_disabled_queue_refuses_without_counting(lb):
    assert lb.queue_enabled() is False
    got = run(lb.wait_for_slot(POOL, [server(1)], 10))
    assert got == (None, "queue_disabled", 0.0) and type(got[2]) is float
    assert lb.reject_counts == {}
    assert_nothing_parked(lb)


@pytest.mark.parametrize(
    "candidates, sin_binned",
    [([], None), ([server(1), server(2)], {1, 2}), ([server(1, weight=0)], {1})],
)
def test_no_backends(qlb, candidates, sin_binned):
    got = run(qlb.wait_for_slot(POOL, candidates, 10, sin_binned=sin_binned))
    assert got == (None, "no_backends", 0.0) and type(got[2]) is float
    assert qlb.reject_counts == {"no_backends": 1}
    assert_nothing_parked(qlb)


@pytest.mark.parametrize("depth, refused", [(15, False), (16, True), (40, True)])
def test_queue_full_counts_the_whole_balancer(qlb, monkeypatch, depth, refused):
    # Caps 2 and 2 with multiplier 4: a ceiling of 16, compared with every
    # waiter parked in the balancer (here stand-ins for other pools' waiters).
    monkeypatch.setattr(load_balancer, "QUEUE_TTL_SEC", 0)
    others = [object() for _ in range(depth)]
    qlb._all_waiters.extend(others)
    qlb.inflight.update({1: 2, 2: 2})
    got = run(qlb.wait_for_slot(POOL, [server(1, max_concurrency=2), server(2, max_concurrency=2)], 10))
    if refused:
        assert got == (None, "queue_full", 0.0)
        assert qlb.reject_counts == {"queue_full": 1}
    else:
        assert got[:2] == (None, "queue_timeout")
        assert qlb.reject_counts == {"queue_timeout": 1}
    assert qlb._all_waiters == others and qlb._waiters == {}


def test_no_ceiling_without_configured_caps(qlb, monkeypatch):
    monkeypatch.setattr(load_balancer, "QUEUE_TTL_SEC", 0)
    qlb._all_waiters.extend(object() for _ in range(1000))
    qlb._under_capacity = lambda *a, **k: False
    got = run(qlb.wait_for_slot(POOL, [server(1), server(2, max_concurrency=0)], 10))
    assert got[:2] == (None, "queue_timeout")


# ---- parking --------------------------------------------------------------


@pytest.mark.parametrize("mode, boost", [("max_concurrency", 7.5), ("queue_all", 0.0)])
def test_parks_once_on_every_backend_of_the_wait_set(qlb, clock, monkeypatch, mode, boost):
    qlb.set_routing_mode(mode)
    monkeypatch.setattr(load_balancer, "QUEUE_DEADLINE_BOOST_SEC", 7.5)
    records = [server(1, max_concurrency=1), server(2, weight=0, max_concurrency=1),
               server(3, max_concurrency=1), server(4, max_concurrency=1)]
    for r in records:
        qlb.increment(r["id"])

    async def main():
        with assert_native("wait_for_slot", qlb):
            task = await parked(qlb, records, 42, sin_binned={4})
        [w] = qlb._all_waiters
        assert parked_counts(qlb, w) == (1, {1: 1, 3: 1})
        assert w.candidates == [records[0], records[2]] and w.candidates is not records
        assert all(a is b for a, b in zip(w.candidates, [records[0], records[2]]))
        assert (w.pool_key, w.estimated_tokens, w.queued_at, w.boost_after_sec) == (POOL, 42, 1000.0, boost)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert_nothing_parked(qlb)


def test_drained_backends_are_waited_on_when_all_are_drained(qlb):
    records = [server(1, weight=0), server(2, weight=None), {"id": 3}]
    qlb._under_capacity = lambda *a, **k: False

    async def main():
        task = await parked(qlb, records)
        assert parked_counts(qlb, qlb._all_waiters[0]) == (1, {1: 1, 2: 1, 3: 1})
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)

    run(main())


@pytest.mark.parametrize("bad, error", [({"weight": 1}, KeyError), (server(1, max_concurrency="many"), ValueError)])
def test_malformed_record_raises_before_parking(qlb, bad, error):
    with pytest.raises(error):
        run(qlb.wait_for_slot(POOL, [server(2), bad], 10))
    assert_nothing_parked(qlb)
    assert qlb.reject_counts == {}


def test_waiter_class_is_looked_up_when_used(qlb, monkeypatch):
    monkeypatch.delattr(load_balancer, "_Waiter")
    with pytest.raises(NameError, match="_Waiter"):
        run(qlb.wait_for_slot(POOL, [server(1)], 10))
    assert_nothing_parked(qlb)


def test_sin_binned_is_keyword_only(qlb):
    with pytest.raises(TypeError):  # refused at the call, before anything is awaited
        load_balancer.LoadBalancer.wait_for_slot(qlb, POOL, [server(1)], 10, {1})
    got = run(qlb.wait_for_slot(POOL, [server(1)], estimated_tokens=10))
    assert got[1] == "ok"


# ---- outcomes of the wait -------------------------------------------------


def test_immediate_admission_does_not_suspend(qlb, clock):
    s = server(1, max_concurrency=1)

    async def main():
        asyncio.get_running_loop().set_task_factory(asyncio.eager_task_factory)
        with assert_native("wait_for_slot", qlb):
            task = asyncio.create_task(qlb.wait_for_slot(POOL, [s], 10))
        assert task.done()
        return task.result()

    got = run(main())
    assert got == (s, "ok", 0.0) and got[0] is s and type(got[2]) is float
    assert list(qlb.queue_wait_samples) == [0.0]
    assert qlb.dispatch_counts == {1: 1}
    assert_nothing_parked(qlb)


@pytest.mark.parametrize(
    "before, copies, after",
    [
        (None, 1, {}),  # parking puts a deque in its place, unparking deletes it
        (None, 2, {}),
        (deque(), 2, {}),
        (deque(["a"]), 2, {1: deque(["a"])}),
        (deque(["a"], maxlen=2), 1, {1: deque(["a"], maxlen=2)}),
        (deque(["a", "b"], maxlen=2), 1, {1: deque(["b"], maxlen=2)}),  # parking pushed "a" out
    ],
)
def test_immediate_admission_leaves_the_queue_as_parking_would(qlb, clock, before, copies, after):
    s = server(1, max_concurrency=1)
    qlb._waiters[1] = copy.copy(before)
    got = run(qlb.wait_for_slot(POOL, [s] * copies, 10))
    assert got == (s, "ok", 0.0)
    assert repr(qlb._waiters) == repr(after)  # with the maxlens
    assert qlb._all_waiters == []


def test_hand_off_on_decrement(qlb, clock):
    s1, s2 = server(1, max_concurrency=1), server(2, max_concurrency=1)
    qlb.increment(1)
    qlb.increment(2)

    async def main():
        with assert_native("wait_for_slot", qlb):
            task = await parked(qlb, [s1, s2], 10)
        clock.advance(2.5)
        qlb.decrement(2)
        return await task

    got = run(main())
    assert got == (s2, "ok", 2.5) and got[0] is s2
    assert list(qlb.queue_wait_samples) == [2.5]
    assert_nothing_parked(qlb)


@pytest.mark.parametrize("ttl", [0.001, 0, -1])
def test_time_to_live_expiry(qlb, clock, monkeypatch, ttl):
    monkeypatch.setattr(load_balancer, "QUEUE_TTL_SEC", ttl)
    records = [server(1, max_concurrency=1), server(2, max_concurrency=1)]
    qlb.increment(1)
    qlb.increment(2)

    async def main():
        task = await parked(qlb, records, 10)
        clock.advance(30.0)
        return await task

    got = run(main())
    assert got == (None, "queue_timeout", 30.0) and type(got[2]) is float
    assert qlb.reject_counts == {"queue_timeout": 1}
    assert list(qlb.queue_wait_samples) == []
    assert_nothing_parked(qlb)


def test_cancellation_unparks_and_propagates(qlb):
    qlb.increment(1)

    async def main():
        task = await parked(qlb, [server(1, max_concurrency=1)])
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert_nothing_parked(qlb)
    assert qlb.reject_counts == {} and qlb.dispatch_counts == {}


def test_wait_uses_the_time_to_live_read_after_parking(qlb, monkeypatch):
    seen = []

    async def wait_for(fut, timeout):
        seen.append((len(qlb._all_waiters), timeout))
        return await fut

    monkeypatch.setattr(load_balancer, "asyncio", types.SimpleNamespace(
        **{n: getattr(asyncio, n) for n in ("get_running_loop", "TimeoutError", "CancelledError")},
        wait_for=wait_for))
    qlb.increment(1)
    qlb.queue_ttl_sec = lambda: 12.5

    async def main():
        task = await parked(qlb, [server(1, max_concurrency=1)])
        qlb.decrement(1)
        return await task

    assert run(main())[1] == "ok"
    assert seen == [(1, 12.5)]


# ---- lost hand-offs and escaping errors ----------------------------------


def test_time_out_in_the_turn_of_the_hand_off_counts_as_admitted(qlb, monkeypatch):
    ttl = 0.01
    monkeypatch.setattr(load_balancer, "QUEUE_TTL_SEC", ttl)
    s = server(1, max_concurrency=1)
    qlb.increment(1)

    async def main():
        loop = asyncio.get_running_loop()
        start = loop.time()
        task = await parked(qlb, [s], 10)  # its time-out is due at start + ttl or later
        loop.call_at(start + ttl / 2, qlb.decrement, 1)
        time.sleep(ttl * 2)  # both timers are overdue when the loop next looks
        return await task

    got = run(main())
    assert got[:2] == (s, "ok") and got[0] is s
    assert len(qlb.queue_wait_samples) == 1
    assert qlb.reject_counts == {}
    assert_nothing_parked(qlb)


@pytest.mark.parametrize("queued_behind", [0, 1])
def test_cancellation_after_hand_off_passes_the_slot_on(qlb, queued_behind):
    s = server(1, max_concurrency=1)
    qlb.increment(1)

    async def main():
        first = await parked(qlb, [s], 10)
        behind = [await parked(qlb, [s], 20) for _ in range(queued_behind)]
        qlb.decrement(1)  # hands the slot to `first` ...
        first.cancel()    # ... which is cancelled in the same turn
        with pytest.raises(asyncio.CancelledError):
            await first
        assert qlb._all_waiters == []  # the next request already holds the slot
        return [await t for t in behind]

    got = run(main())
    assert [g[:2] for g in got] == [(s, "ok")] * queued_behind
    assert qlb.dispatch_counts == {1: 1 + queued_behind}
    assert qlb.reject_counts == {}
    assert_nothing_parked(qlb)


class _TasklessAsyncio:
    """The module's `asyncio` with a wait that needs no task around it."""

    def __getattr__(self, name):
        return getattr(asyncio, name)

    @staticmethod
    async def wait_for(fut, timeout):
        return await fut


@pytest.mark.parametrize("how", ["close", "throw"])
def test_other_errors_unpark_before_propagating(qlb, monkeypatch, how):
    monkeypatch.setattr(load_balancer, "asyncio", _TasklessAsyncio())
    qlb.increment(1)

    async def main():
        coro = qlb.wait_for_slot(POOL, [server(1, max_concurrency=1)], 10)
        assert isinstance(coro.send(None), asyncio.Future)
        assert len(qlb._all_waiters) == 1
        if how == "close":
            coro.close()
        else:
            with pytest.raises(ValueError, match="boom"):
                coro.throw(ValueError("boom"))

    run(main())
    assert_nothing_parked(qlb)
    assert qlb.reject_counts == {}


@pytest.mark.parametrize("how", ["close", "throw"])
def test_other_errors_after_hand_off_pass_the_slot_on(qlb, monkeypatch, how):
    monkeypatch.setattr(load_balancer, "asyncio", _TasklessAsyncio())
    s = server(1, max_concurrency=1)
    qlb.increment(1)

    async def main():
        first = qlb.wait_for_slot(POOL, [s], 10)
        first.send(None)
        behind = asyncio.create_task(asyncio.wait_for(qlb.wait_for_slot(POOL, [s], 20), 5))
        await asyncio.sleep(0)
        qlb.decrement(1)  # hands the slot to `first`, which then goes away
        if how == "close":
            first.close()
        else:
            with pytest.raises(ValueError):
                first.throw(ValueError("boom"))
        return await behind

    assert run(main())[:2] == (s, "ok")
    assert qlb.dispatch_counts == {1: 2}
    assert_nothing_parked(qlb)


def test_wait_outside_a_task_unparks(qlb):
    # The time-out scope needs a task: the error escapes the wait.
    qlb.increment(1)
    errors = []

    def step():
        coro = qlb.wait_for_slot(POOL, [server(1, max_concurrency=1)], 10)
        try:
            coro.send(None)
        except RuntimeError as e:
            errors.append(e)

    async def main():
        asyncio.get_running_loop().call_soon(step)
        await asyncio.sleep(0)

    run(main())
    assert len(errors) == 1
    assert_nothing_parked(qlb)


def test_abandoned_wait_is_collectable(monkeypatch):
    monkeypatch.setattr(load_balancer, "QUEUE_ENABLED", True)
    lb = load_balancer.LoadBalancer()
    lb.increment(1)
    loop = asyncio.new_event_loop()
    coro = lb.wait_for_slot(POOL, [server(1, max_concurrency=1)], 10)
    task = loop.create_task(coro)
    loop.run_until_complete(asyncio.sleep(0))
    refs = [weakref.ref(o) for o in (lb, coro, lb._all_waiters[0], task)]
    loop.close()
    del coro, task, lb
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_wait_path_under_uvloop(qlb, monkeypatch):
    uvloop = pytest.importorskip("uvloop")
    s = server(1, max_concurrency=1)

    async def main():
        got = [await qlb.wait_for_slot(POOL, [s], 1)]
        qlb.increment(1)
        task = await parked(qlb, [s], 1)
        qlb.decrement(1)
        got.append(await task)
        qlb.increment(1)
        monkeypatch.setattr(load_balancer, "QUEUE_TTL_SEC", 0.001)
        got.append(await qlb.wait_for_slot(POOL, [s], 1))
        task = await parked(qlb, [s], 1)
        task.cancel()
        got.append(await asyncio.gather(task, return_exceptions=True))
        return got

    with asyncio.Runner(loop_factory=uvloop.new_event_loop) as runner:
        got = runner.run(main())
    assert [g[1] for g in got[:3]] == ["ok", "ok", "queue_timeout"]
    assert isinstance(got[3][0], asyncio.CancelledError)
    assert_nothing_parked(qlb)


# ---- many requests at once -----------------------------------------------


def check_parking_invariant(lb):
    for w in lb._all_waiters:
        assert sum(x is w for x in lb._all_waiters) == 1
        if not w.future.done():  # finished ones may already have lost a deque
            for r in w.candidates:
                assert sum(x is w for x in lb._waiters[r["id"]]) == 1
    parked = {id(w) for w in lb._all_waiters}
    assert all(id(x) in parked for dq in lb._waiters.values() for x in dq)


@pytest.mark.parametrize("mode", ["max_concurrency", "queue_all"])
def test_stress_many_requests_few_backends(qlb, monkeypatch, mode):
    rng = random.Random(20240611)
    qlb.set_routing_mode(mode)
    servers = [server(i, max_concurrency=rng.choice([1, 2])) for i in (1, 2, 3, 4)]
    ttls = [0, 0.002, 30.0]
    qlb.queue_ttl_sec = lambda: rng.choice(ttls)
    n = 400
    outcomes = {i: [] for i in range(n)}
    started = set()

    async def request(i):
        started.add(i)
        cands = rng.sample(servers, rng.randint(1, len(servers)))
        try:
            srv, reason, secs = await qlb.wait_for_slot(POOL, cands, rng.randint(1, 8000))
        except asyncio.CancelledError:
            outcomes[i].append("cancelled")
            raise
        assert type(secs) is float
        outcomes[i].append(reason)
        if reason == "ok":
            assert srv in cands
            with load_balancer.InflightLease(qlb, srv["id"]):
                for _ in range(rng.randint(0, 6)):
                    await asyncio.sleep(0)

    async def main():
        tasks = []
        while len(tasks) < n:
            for _ in range(min(rng.randint(1, 8), n - len(tasks))):
                tasks.append(asyncio.create_task(request(len(tasks))))
            await asyncio.sleep(0)
            check_parking_invariant(qlb)
            running = [i for i in sorted(started) if not tasks[i].done()]
            for i in rng.sample(running, min(2, len(running))):
                if rng.random() < 0.2:
                    tasks[i].cancel()
        await asyncio.wait_for(asyncio.gather(*tasks, return_exceptions=True), 20)

    run(main())
    assert all(len(o) == 1 for o in outcomes.values()), [o for o in outcomes.values() if len(o) != 1][:5]
    seen = {o[0] for o in outcomes.values()}
    assert seen <= {"ok", "queue_timeout", "queue_full", "cancelled"}
    assert {"ok", "queue_timeout", "cancelled"} <= seen
    counted = {r: sum(o == [r] for o in outcomes.values()) for r in ("queue_timeout", "queue_full")}
    assert qlb.reject_counts == {r: c for r, c in counted.items() if c}
    assert_nothing_parked(qlb)
    assert qlb.inflight == {}
