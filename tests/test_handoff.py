"""Slot hand-off: immediate admission, wake order, fulfilment and unparking."""
import asyncio
from collections import deque

import pytest

from tests.helpers import POOL, server


@pytest.fixture
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


@pytest.fixture
def qlb(lb):
    lb.set_routing_mode("max_concurrency")
    return lb


def park(lbm, lb, loop, records, tokens=0, queued_at=0.0, boost=0.0):
    """Park a waiter the way the slot wait does."""
    w = lbm._Waiter(POOL, list(records), tokens, loop.create_future(), queued_at, boost)
    for r in records:
        lb._waiters.setdefault(r["id"], deque()).append(w)
    lb._all_waiters.append(w)
    return w


def admissions(lb, waiters, server_id=1):
    """Free one slot at a time on `server_id`; the order waiters get it."""
    order = []
    for _ in waiters:
        lb._wake_one(server_id)
        order += [w for w in waiters if w.future.done() and w not in order]
    return order


def is_parked(lb, w):
    in_all = sum(x is w for x in lb._all_waiters)
    in_deques = sum(x is w for dq in lb._waiters.values() for x in dq)
    return in_all, in_deques


@pytest.mark.parametrize(
    "boost, age, expected",
    [(10.0, 9.999, False), (10.0, 10.0, True), (10.0, 50.0, True), (0.0, 1e6, False)],
)
def test_is_boosted(lbm, loop, boost, age, expected):
    w = lbm._Waiter(POOL, [], 0, loop.create_future(), 100.0, boost)
    assert w.is_boosted(100.0 + age) is expected


def test_queue_all_is_first_come_first_served(lbm, lb, loop, clock):
    lb.set_routing_mode("queue_all")
    s = server(1)
    ws = [park(lbm, lb, loop, [s], tokens, queued_at=t) for t, tokens in [(1.0, 9000), (2.0, 10), (3.0, 500)]]
    assert admissions(lb, ws) == ws


@pytest.mark.parametrize("free_at, first", [(5.0, "B"), (10.0, "A")])
def test_deadline_boost_overtakes_smaller_estimate(lbm, qlb, loop, clock, free_at, first):
    s = server(1)
    a = park(lbm, qlb, loop, [s], 5000, queued_at=0.0, boost=10.0)
    b = park(lbm, qlb, loop, [s], 100, queued_at=1.0, boost=10.0)
    clock.now = free_at
    qlb._wake_one(1)
    assert [n for n, w in (("A", a), ("B", b)) if w.future.done()] == [first]


def test_boosted_by_arrival_then_rest_by_estimate(lbm, qlb, loop, clock):
    s = server(1)
    cases = [("b1", 9000, 0.0), ("b2", 10, 2.0), ("n1", 500, 15.0), ("n2", 100, 16.0), ("n3", 500, 17.0),
             ("n4", 100, 18.0)]
    ws = {n: park(lbm, qlb, loop, [s], tokens, queued_at=q, boost=10.0) for n, tokens, q in cases}
    clock.now = 20.0
    names = {id(w): n for n, w in ws.items()}
    assert [names[id(w)] for w in admissions(qlb, list(ws.values()))] == ["b1", "b2", "n2", "n4", "n1", "n3"]


def test_waiters_parked_without_boost_order_by_estimate_after_mode_switch(lbm, lb, loop, clock):
    lb.set_routing_mode("queue_all")
    s = server(1)
    ws = [park(lbm, lb, loop, [s], tokens, queued_at=q) for q, tokens in [(0.0, 300), (1.0, 100), (2.0, 200)]]
    lb.set_routing_mode("hybrid")
    clock.now = 10_000.0
    lb._under_capacity = lambda *a, **k: True
    assert [w.estimated_tokens for w in admissions(lb, ws)] == [100, 200, 300]


@pytest.mark.parametrize("mode, reads", [("max_concurrency", 1), ("queue_all", 0)])
def test_one_clock_reading_per_wake(lbm, lb, loop, clock, monkeypatch, mode, reads):
    lb.set_routing_mode(mode)
    calls = []
    monkeypatch.setattr(clock, "monotonic", lambda: calls.append(1) or 50.0)
    for tokens in (3, 2, 1):
        park(lbm, lb, loop, [server(1)], tokens, boost=10.0)
    lb._under_capacity = lambda *a, **k: False
    lb._wake_one(1)
    assert len(calls) == reads
    assert len(lb._all_waiters) == 3


def test_wake_tests_only_the_freed_backend(lbm, qlb, loop, clock):
    records = [server(1), server(2), server(3)]
    w = park(lbm, qlb, loop, records)
    seen = []

    def under(s, pool_candidates=None, pool_key=None):
        seen.append((s, pool_candidates, pool_key))
        return False

    qlb._under_capacity = under
    qlb._wake_one(2)
    assert len(seen) == 1
    s, cands, key = seen[0]
    assert s is records[1] and cands is w.candidates and key == POOL


def test_waiter_the_backend_cannot_take_does_not_block_the_next(lbm, qlb, loop, clock):
    s = server(1)
    first = park(lbm, qlb, loop, [s], 10)
    second = park(lbm, qlb, loop, [s], 20)
    qlb._under_capacity = lambda srv, pool_candidates=None, pool_key=None: pool_candidates is not first.candidates
    qlb._wake_one(1)
    assert second.future.result() is s
    assert not first.future.done()
    assert is_parked(qlb, first) == (1, 1)


@pytest.mark.parametrize("deque_state", ["absent", "empty"])
def test_wake_without_waiters_changes_nothing(qlb, deque_state):
    if deque_state == "empty":
        qlb._waiters[1] = deque()
    before = dict(qlb._waiters)
    qlb._wake_one(1)
    assert qlb._waiters == before
    assert qlb.dispatch_counts == {}


def test_wake_drops_a_deque_of_finished_waiters(lbm, qlb, loop, clock):
    w = park(lbm, qlb, loop, [server(1)])
    w.future.cancel()
    qlb._wake_one(1)
    assert 1 not in qlb._waiters
    assert qlb.dispatch_counts == {}
    assert qlb._all_waiters == [w]


@pytest.mark.parametrize("other_on_2", [False, True])
def test_admission_unparks_from_every_backend(lbm, qlb, loop, clock, other_on_2):
    s1, s2 = server(1), server(2)
    w = park(lbm, qlb, loop, [s1, s2])
    other = park(lbm, qlb, loop, [s2]) if other_on_2 else None
    qlb._wake_one(1)
    assert w.future.result() is s1
    assert is_parked(qlb, w) == (0, 0)
    assert 1 not in qlb._waiters
    if other_on_2:
        assert list(qlb._waiters[2]) == [other]
    else:
        assert 2 not in qlb._waiters


def test_fulfill_hands_over_and_records(lbm, qlb, loop, clock):
    s = server(1)
    w = park(lbm, qlb, loop, [s])
    qlb._fulfill(w, s)
    assert w.future.result() is s
    assert qlb.dispatch_counts == {1: 1}
    assert is_parked(qlb, w) == (0, 0)


def test_fulfill_skips_a_finished_waiter(lbm, qlb, loop, clock):
    w = park(lbm, qlb, loop, [server(1)])
    w.future.cancel()
    qlb._fulfill(w, w.candidates[0])
    assert qlb.dispatch_counts == {}
    assert is_parked(qlb, w) == (1, 1)


def test_remove_waiter_takes_out_this_very_waiter(lbm, qlb, loop):
    records = [server(1), server(2)]
    fut = loop.create_future()
    twin_a = lbm._Waiter(POOL, records, 5, fut, 1.0)
    twin_b = lbm._Waiter(POOL, records, 5, fut, 1.0)
    assert twin_a == twin_b
    for w in (twin_a, twin_b):
        for r in records:
            qlb._waiters.setdefault(r["id"], deque()).append(w)
        qlb._all_waiters.append(w)
    qlb._remove_waiter(twin_b)
    assert qlb._all_waiters[0] is twin_a and len(qlb._all_waiters) == 1
    assert all(len(dq) == 1 and dq[0] is twin_a for dq in qlb._waiters.values())
    qlb._remove_waiter(twin_b)
    assert is_parked(qlb, twin_a) == (1, 2)
    qlb._remove_waiter(twin_a)
    assert qlb._waiters == {} and qlb._all_waiters == []


@pytest.mark.parametrize(
    "inflight, admitted_to",
    [({}, 1), ({1: 1}, 2), ({1: 1, 2: 1}, 3), ({1: 1, 2: 1, 3: 1}, None)],
)
def test_try_admit_takes_first_free_backend_in_order(lbm, qlb, loop, clock, inflight, admitted_to):
    records = [server(i, max_concurrency=1) for i in (1, 2, 3)]
    w = park(lbm, qlb, loop, records)
    qlb.inflight.update(inflight)
    qlb._try_admit(w)
    if admitted_to is None:
        assert not w.future.done() and is_parked(qlb, w) == (1, 3)
    else:
        assert w.future.result() is records[admitted_to - 1]
        assert qlb.dispatch_counts == {admitted_to: 1}


def test_try_admit_ignores_a_finished_waiter(lbm, qlb, loop):
    w = park(lbm, qlb, loop, [server(1)])
    w.future.cancel()
    qlb._under_capacity = lambda *a, **k: pytest.fail("capacity asked for a finished waiter")
    qlb._try_admit(w)
    assert is_parked(qlb, w) == (1, 1)


class _Erratic:
    """A key whose `<` answers inconsistently."""

    calls = 0

    def __lt__(self, other):
        _Erratic.calls += 1
        return _Erratic.calls % 2 == 0


def test_inconsistent_keys_cannot_break_the_wake(lbm, qlb, loop, clock):
    s = server(1, max_concurrency=1)
    qlb.inflight[1] = 5
    waiters = [park(lbm, qlb, loop, [s], _Erratic()) for _ in range(40)]
    qlb._wake_one(1)  # nothing free: sorts, admits nobody
    qlb.inflight.clear()
    qlb._wake_one(1)
    assert sum(w.future.done() for w in waiters) == 1


def test_unordered_keys_keep_parking_order_as_python_sorts(lbm, qlb, loop, clock):
    s = server(1)
    nan = float("nan")
    waiters = [park(lbm, qlb, loop, [s], t) for t in (5, nan, 3)]
    expected = sorted(waiters, key=lambda w: (1, w.estimated_tokens))
    assert admissions(qlb, waiters) == expected
