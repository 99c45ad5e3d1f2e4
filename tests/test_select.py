"""The selection pipeline and its behaviour on the event loop."""
import asyncio
import gc
import weakref

import pytest
import uvloop

import load_balancer
from tests.helpers import POOL, assert_native, run, server

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
    """The dispatches recorded, as (pool key, server id) pairs, read from the
    balancer's own tables (a spy on _record_dispatch would take the plain
    balancer off its native path)."""
    def recorded():
        return [(pk, sid) for pk in lb._pool_dispatch_windows for sid, n in lb.dispatch_counts.items()
                for _ in range(n)]
    return recorded


# ---- outcomes -------------------------------------------------------------------


@pytest.mark.parametrize(
    "cands, kwargs, expected",
    [
        ([], {}, None),
        ([], {"force_server_id": 1}, None),
        ([server(1), server(2)], {"force_server_id": 3}, None),  # no fall-back to a normal pick
        ([server(1)], {"force_server_id": 1.0}, 1),  # equality, not identity
        ([server(1), server(2), server(3, 0)], {"sin_binned": {1, 2}}, None),
        ([server(1), server(2), server(3, 0)], {"sin_binned": set()}, 1),
        ([server(1), server(2), server(3, 0)], {"sin_binned": [1]}, 2),  # any container
        ([server(9, 0, max_concurrency=100), server(1, max_concurrency=1)], {}, None),  # drained stays out
        ([server(9, -1.5), server(1, max_concurrency=1)], {}, None),  # a negative weight drains too
    ],
)
def test_outcomes(lb, any_clock, dispatches, cands, kwargs, expected):
    lb.inflight[1] = 1
    result = select(lb, POOL, cands, **kwargs)
    assert (result and result["id"]) == expected
    assert dispatches() == ([] if result is None else [(POOL, result["id"])])


def test_forced_backend_skips_every_filter(lb, any_clock, dispatches):
    lb.inflight[2] = 5
    forced = server(2, 0, max_concurrency=1)
    cands = [server(1), {"weight": 1}, forced, server(2)]
    assert select(lb, POOL, cands, force_server_id=2, sin_binned={2}, algorithm="least_connections") is forced
    assert dispatches() == [(POOL, 2)]


def test_forced_scan_stops_at_the_first_match(lb, clock, dispatches):
    seen = []

    def records():
        for sid in (1, 2, 3):
            seen.append(sid)
            yield server(sid)

    assert select(lb, POOL, records(), force_server_id=2)["id"] == 2
    assert seen == [1, 2]


def test_all_drained_candidates_rotate(lb, clock):
    cands = [server(1, 0), {"id": 2}, server(3, None)]
    assert [select(lb, POOL, cands)["id"] for _ in range(6)] == [1, 2, 3] * 2


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"algorithm": ""},
        {"algorithm": "bogus"},
        {"algorithm": " Weighted_Round_Robin "},
        {"algorithm": "sticky_session"},  # without a key: round-robin, not least-connections
        {"algorithm": "sticky_session", "sticky_key": ""},
        {"estimated_tokens": 10**9},
    ],
)
def test_round_robin_is_the_default(lb, clock, kwargs):
    lb.inflight[1] = 3  # least-connections would not pick 1 first
    with assert_native("select", lb):
        assert [select(lb, POOL, trio(), **kwargs)["id"] for _ in range(7)] == SWRR_5_1_1
    with pytest.raises(TypeError):  # estimated_tokens is keyword-only: refused at the call
        load_balancer.LoadBalancer.select(lb, POOL, [], 100)


@pytest.mark.parametrize(
    "mode, algorithm, expected, hot",
    [
        # superfast: caps 4, 1, 4: only 3 has a free slot
        ("superfast", None, [3, 3, 3, 3], {}),
        ("superfast", "least_connections", [3, 3, 3, 3], {}),
        ("superfast", "sticky_session", [3, 3, 3, 3], {}),
        # hybrid: cold at first (9 in flight, no dispatch yet), hot from the
        # first dispatch on (its rate), with the configured caps 8, 1, 6
        ("hybrid", None, [3, 1, 1, 3], {POOL: True}),
        ("hybrid", "least_connections", [3, 1, 1, 1], {POOL: True}),
        ("hybrid", "sticky_session", [3, 1, 1, 1], {POOL: True}),
        ("max_concurrency", None, [1, 1, 3, 1], {}),
        ("max_concurrency", "least_connections", [1, 1, 1, 1], {}),
        ("max_concurrency", "sticky_session", [1, 1, 1, 1], {}),
    ],
)
def test_every_algorithm_in_every_mode(lb, any_clock, mode, algorithm, expected, hot):
    cands = [server(1, 8, max_concurrency=8), server(2, 1, max_concurrency=1), server(3, 2, max_concurrency=6)]
    lb.set_routing_mode(mode)
    lb.inflight.update({1: 5, 2: 1, 3: 3})
    with assert_native("select", lb):
        picks = [select(lb, POOL, cands, algorithm=algorithm, sticky_key="user-4")["id"] for _ in expected]
    assert picks == expected
    assert lb._pool_hot_state == hot
    assert lb.dispatch_counts == {sid: expected.count(sid) for sid in dict.fromkeys(expected)}
    if any_clock:
        assert list(lb._pool_dispatch_windows[POOL]) == [any_clock.now] * len(expected)


def test_sticky_and_least_connections(lb, any_clock, dispatches):
    cands = [server(i) for i in range(1, 6)]
    first = select(lb, POOL, cands, algorithm="sticky_session", sticky_key="user-42")
    assert first is lb._sticky_lookup(cands, "user-42")
    for _ in range(3):
        assert select(lb, POOL, cands[::-1], algorithm="STICKY_SESSION", sticky_key="user-42") is first
    lb.inflight.update({1: 3, 2: 1})
    assert select(lb, POOL, [server(1, 4), server(2, 1)], algorithm="least_connections")["id"] == 1
    lb._sticky_lookup = lambda eligible, key: None  # no target: least-connections
    assert select(lb, POOL, cands, algorithm="sticky_session", sticky_key="k")["id"] == 3
    assert lb._wrr == {} and len(dispatches()) == 6


def test_capacity_gate_filters(lb, any_clock, dispatches):
    cands = [server(1, 5, max_concurrency=2), server(2, 1)]
    lb.inflight[1] = 2
    assert [select(lb, POOL, cands)["id"] for _ in range(3)] == [2, 2, 2]
    assert dispatches() == [(POOL, 2)] * 3


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

    def gate(s, pool_candidates=None, *, pool_key=None):
        calls.append((s["id"], [x["id"] for x in pool_candidates], pool_key))
        return s["id"] != 1

    lb._under_capacity = gate
    assert select(lb, POOL, [server(1), server(2, 0), server(3)], sin_binned={3}) is None
    assert calls == [(1, [1, 3], POOL)]


def test_python_overrides(lb, clock, monkeypatch):
    class Custom(load_balancer.LoadBalancer):
        async def _wrr_pick(self, pool_key, eligible):
            await asyncio.sleep(0)
            return eligible[-1]

    custom = Custom()
    assert select(custom, POOL, trio())["id"] == 3 and custom.dispatch_counts == {3: 1}

    monkeypatch.setattr(load_balancer, "normalize_lb_algorithm", lambda value: "least_connections")
    lb.inflight[1] = 1
    assert select(lb, POOL, [server(1), server(2)])["id"] == 2
    monkeypatch.setattr(load_balancer, "LB_ALGO_LEAST_CONN", "something else")
    assert select(lb, POOL, [server(1), server(2)])["id"] == 1  # the round-robin pick
    lb._least_connections_pick = lambda eligible: 1 / 0
    monkeypatch.setattr(load_balancer, "LB_ALGO_LEAST_CONN", "least_connections")
    with pytest.raises(ZeroDivisionError):
        select(lb, POOL, trio())
    assert lb.dispatch_counts == {2: 1, 1: 1}  # nothing recorded for the failed pick


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
        with assert_native("select", lb):
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
