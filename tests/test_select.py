"""The selection pipeline and its behaviour on the event loop."""
import asyncio
import gc
import weakref

import pytest
import uvloop

import load_balancer
from tests.helpers import POOL, run, server

SWRR_5_1_1 = [1, 1, 2, 1, 3, 1, 1]


def trio():
    return [server(1, 5), server(2, 1), server(3, 1)]


def select(lb, *args, **kwargs):
    return run(lb.select(*args, **kwargs))


@pytest.fixture(params=["asyncio", "uvloop"])
def loop_run(request):
    factory = uvloop.new_event_loop if request.param == "uvloop" else None

    def go(coro):
        with asyncio.Runner(loop_factory=factory) as runner:
            return runner.run(coro)

    return go


@pytest.fixture
def dispatches(lb):
    """Every _record_dispatch call, passed through to the real method."""
    seen = []
    real = lb._record_dispatch

    def spy(pool_key, s):
        seen.append((pool_key, s))
        return real(pool_key, s)

    lb._record_dispatch = spy
    return seen


# ---- outcomes -------------------------------------------------------------------


def test_empty_candidates(lb, clock, dispatches):
    assert select(lb, POOL, []) is None
    assert select(lb, POOL, [], force_server_id=1) is None
    assert dispatches == []


@pytest.mark.parametrize(
    "record",
    [server(2, 0), server(2, max_concurrency=1), server(2, weight=None)],
)
def test_forced_backend_skips_every_filter(lb, clock, dispatches, record):
    lb.inflight[2] = 5
    cands = [server(1), {"weight": 1}, record, server(2)]
    assert select(lb, POOL, cands, force_server_id=2, sin_binned={2}, algorithm="least_connections") is record
    assert dispatches == [(POOL, record)]


def test_forced_backend_absent(lb, clock, dispatches):
    assert select(lb, POOL, [server(1), server(2)], force_server_id=3) is None
    assert dispatches == []
    assert select(lb, POOL, [server(1)], force_server_id=1.0)["id"] == 1  # equality, not identity


def test_all_drained_candidates_rotate(lb, clock):
    cands = [server(1, 0), {"id": 2}, server(3, None)]
    assert [select(lb, POOL, cands)["id"] for _ in range(6)] == [1, 2, 3] * 2


def test_drained_backend_is_never_picked(lb, clock, dispatches):
    drained = server(9, 0, max_concurrency=100)
    busy = server(1, 1, max_concurrency=1)
    lb.inflight[1] = 1
    assert select(lb, POOL, [busy, drained]) is None
    assert dispatches == []


@pytest.mark.parametrize("sin_binned, expected", [({1, 2}, None), (set(), 1), (None, 1), ([2], 1), ({1: "x"}, 2)])
def test_sin_bin(lb, clock, sin_binned, expected):
    result = select(lb, POOL, [server(1), server(2), server(3, 0)], sin_binned=sin_binned)
    assert (result and result["id"]) == expected


@pytest.mark.parametrize("algorithm", [None, "", "bogus", "weighted_round_robin", " Weighted_Round_Robin "])
def test_default_algorithm_is_swrr(lb, clock, algorithm):
    lb.inflight.update({1: 3})  # least-connections would never pick 1 first
    assert [select(lb, POOL, trio(), algorithm=algorithm)["id"] for _ in range(7)] == SWRR_5_1_1


@pytest.mark.parametrize("key", [None, ""])
def test_sticky_without_key_is_swrr(lb, clock, key):
    lb.inflight.update({1: 3})
    got = [select(lb, POOL, trio(), algorithm="sticky_session", sticky_key=key)["id"] for _ in range(3)]
    assert got == [1, 1, 2]


def test_sticky_with_key_is_stable(lb, clock, dispatches):
    cands = [server(i) for i in range(1, 6)]
    first = select(lb, POOL, cands, algorithm="sticky_session", sticky_key="user-42")
    assert first is lb._sticky_lookup(cands, "user-42")
    for _ in range(5):
        assert select(lb, POOL, cands[::-1], algorithm="STICKY_SESSION", sticky_key="user-42") is first
    assert lb._wrr == {} and len(dispatches) == 6


def test_sticky_falls_back_to_least_connections(lb, clock):
    lb._sticky_lookup = lambda eligible, key: None
    lb.inflight.update({1: 2, 2: 1})
    assert select(lb, POOL, [server(1), server(2), server(3)], algorithm="sticky_session", sticky_key="k")["id"] == 3


def test_least_connections(lb, clock):
    lb.inflight.update({1: 3, 2: 1})
    cands = [server(1, 4), server(2, 1)]
    assert select(lb, POOL, cands, algorithm="least_connections")["id"] == 1


@pytest.mark.parametrize("tokens", [0, 1, 10**9, -4])
def test_estimated_tokens_changes_nothing(lb, clock, tokens):
    assert [select(lb, POOL, trio(), estimated_tokens=tokens)["id"] for _ in range(7)] == SWRR_5_1_1


def test_estimated_tokens_is_keyword_only(lb):
    with pytest.raises(TypeError):
        lb.select(POOL, [], 100)


def test_capacity_gate_filters(lb, clock, dispatches):
    cands = [server(1, 5, max_concurrency=2), server(2, 1)]
    lb.inflight[1] = 2
    assert [select(lb, POOL, cands)["id"] for _ in range(3)] == [2, 2, 2]
    assert dispatches == [(POOL, cands[1])] * 3 and lb.dispatch_counts == {2: 3}


@pytest.mark.parametrize(
    "cands, exc",
    [([server(1), {"weight": 1}], KeyError), ([server(1), server(2, "5")], TypeError)],
)
def test_malformed_records(lb, clock, cands, exc):
    with pytest.raises(exc):
        select(lb, POOL, cands)
    assert lb.dispatch_counts == {}


# ---- calls by attribute name ------------------------------------------------------


def test_capacity_gate_called_per_record(lb, clock):
    calls = []
    a, b, c = server(1), server(2, 0), server(3)

    def gate(s, pool_candidates=None, *, pool_key=None):
        calls.append((s["id"], [x["id"] for x in pool_candidates], pool_key))
        return s["id"] != 1

    lb._under_capacity = gate
    assert select(lb, POOL, [a, b, c], sin_binned={3}) is None
    assert calls == [(1, [1, 3], POOL)]


def test_python_overrides(lb, clock, monkeypatch):
    picked = []

    class Custom(load_balancer.LoadBalancer):
        async def _wrr_pick(self, pool_key, eligible):
            await asyncio.sleep(0)
            picked.append(pool_key)
            return eligible[-1]

    custom = Custom()
    assert select(custom, POOL, trio())["id"] == 3
    assert picked == [POOL] and custom.dispatch_counts == {3: 1}

    monkeypatch.setattr(load_balancer, "normalize_lb_algorithm", lambda value: "least_connections")
    lb.inflight[1] = 1
    assert select(lb, POOL, [server(1), server(2)])["id"] == 2
    monkeypatch.setattr(load_balancer, "LB_ALGO_LEAST_CONN", "something else")
    assert select(lb, POOL, [server(1), server(2)])["id"] == 1  # the SWRR pick


def test_pick_error_records_nothing(lb, clock):
    lb._least_connections_pick = lambda eligible: 1 / 0
    with pytest.raises(ZeroDivisionError):
        select(lb, POOL, trio(), algorithm="least_connections")
    assert lb.dispatch_counts == {}


# ---- the event loop ------------------------------------------------------------------


def test_select_is_a_coroutine_that_does_not_suspend_uncontended(lb, clock):
    cands = trio()
    coro = lb.select(POOL, cands)
    assert asyncio.iscoroutine(coro)
    with pytest.raises(StopIteration) as stop:
        coro.send(None)  # no running loop needed: nothing waits
    assert stop.value.value is cands[0]


def test_concurrent_selects_follow_the_sequence(lb, clock, loop_run):
    async def go():
        cands = trio()
        gathered = await asyncio.gather(*(lb.select(POOL, cands) for _ in range(14)))
        lock = lb._lock_for(POOL)
        async with lock:
            tasks = [asyncio.create_task(lb.select(POOL, cands)) for _ in range(14)]
            await asyncio.sleep(0)
            assert not any(t.done() for t in tasks) and lb.dispatch_counts == {1: 10, 2: 2, 3: 2}
        queued = await asyncio.gather(*tasks)
        return [s["id"] for s in gathered], [s["id"] for s in queued]

    gathered, queued = loop_run(go())
    assert gathered == queued == SWRR_5_1_1 * 2
    assert lb._wrr[POOL] == {1: 0.0, 2: 0.0, 3: 0.0}


@pytest.mark.parametrize("cancel_after_release", [False, True])
def test_cancelled_while_queued_on_lock(lb, clock, loop_run, cancel_after_release):
    async def go():
        cands = trio()
        lock = lb._lock_for(POOL)
        async with lock:
            tasks = [asyncio.create_task(lb.select(POOL, cands)) for _ in range(3)]
            await asyncio.sleep(0)
            victim = tasks[0] if cancel_after_release else tasks[1]
            if not cancel_after_release:
                victim.cancel()
                await asyncio.sleep(0)
        if cancel_after_release:
            victim.cancel()  # its wake-up is already granted: the next waiter must take over
        results = await asyncio.gather(*tasks, return_exceptions=True)
        assert isinstance(results[tasks.index(victim)], asyncio.CancelledError)
        assert not lock.locked()
        async with lock:  # still usable
            pass
        after = await lb.select(POOL, cands)
        return [r["id"] for r in results if isinstance(r, dict)] + [after["id"]]

    assert loop_run(go()) == [1, 1, 2]
    assert lb.dispatch_counts == {1: 2, 2: 1}
    assert lb._wrr[POOL] == {1: 1.0, 2: -4.0, 3: 3.0}


def test_wait_for(lb, clock, loop_run):
    async def go():
        cands = trio()
        first = await asyncio.wait_for(lb.select(POOL, cands), 5)
        lock = lb._lock_for(POOL)
        async with lock:
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(lb.select(POOL, cands), 0.01)
        assert not lock.locked()
        second = await asyncio.wait_for(lb.select(POOL, cands), 5)
        return first["id"], second["id"]

    assert loop_run(go()) == (1, 1)
    assert lb.dispatch_counts == {1: 2}


def test_abandoned_select_blocked_on_lock_is_collected(clock):
    async def go():
        lb = load_balancer.LoadBalancer()
        lock = lb._lock_for(POOL)
        await lock.acquire()
        coro = lb.select(POOL, trio())
        coro.send(None)  # now queued on the lock
        assert len(lock._waiters) == 1
        lb.keep = coro  # a cycle: balancer -> coroutine -> balancer
        ref = weakref.ref(coro)
        del lb, coro
        gc.collect()
        assert ref() is None
        assert not lock._waiters  # closing it left the queue
        lock.release()
        async with lock:
            pass

    run(go())
