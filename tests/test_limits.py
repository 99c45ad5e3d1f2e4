"""Limits a caller sets on backends: how many slots this process may use, and until when.

Each test runs on a plain balancer and on one whose every method is a Python
override, and where the time does not matter on the interpreter's clock as well
as on a hand-moved one.
"""
import asyncio

import pytest

import load_balancer as m
from tests.helpers import POOL, assert_native, run, server


@pytest.fixture
def queue_on(monkeypatch):
    monkeypatch.setattr(m, "QUEUE_ENABLED", True)
    monkeypatch.setattr(m, "QUEUE_TTL_SEC", 30.0)


def picks(lb, cands, n):
    async def main():
        return [(await lb.select(POOL, cands) or {}).get("id") for _ in range(n)]
    return run(main())


@pytest.mark.parametrize("mode", ["max_concurrency", "hybrid", "superfast"])
def test_a_limit_caps_the_backend_below_its_configured_cap(lb, any_clock, mode):
    lb.set_routing_mode(mode)
    cands = [server(1, max_concurrency=8), server(2, max_concurrency=8)]
    lb.set_limit(1, 2)
    assert lb.limits == {1: (2, None)}
    lb.inflight.update({1: 1, 2: 3})
    with assert_native("select", lb):
        assert picks(lb, [cands[0]], 1) == [1]  # one slot left under the limit
    lb.inflight[1] = 2
    assert picks(lb, [cands[0]], 1) == [None]
    lb.held_slots[1] = 1
    lb.inflight[1] = 1  # a held slot counts like one in flight
    assert picks(lb, [cands[0]], 1) == [None]
    assert lb._under_capacity(cands[0], cands, pool_key=POOL) is False
    lb.held_slots.clear()
    lb.clear_limit(1)
    assert lb.limits == {} and picks(lb, [cands[0]], 1) == [1]


def test_a_limit_of_zero_closes_and_the_queue_keeps_its_configured_depth(lb, any_clock, queue_on):
    lb.set_routing_mode("max_concurrency")
    cands = [server(1, max_concurrency=2), server(2, max_concurrency=2)]
    lb.set_limit(1, 0)
    assert picks(lb, cands, 2) == [2, 2]
    assert lb._queue_capacity_for_pool(cands) == 16  # the configured caps, not the limits

    async def main():
        lb.set_limit(2, 0)
        task = asyncio.create_task(lb.wait_for_slot(POOL, cands, 0))
        await asyncio.sleep(0)
        assert not task.done() and len(lb._all_waiters) == 1
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
    run(main())


def test_an_expired_limit_closes_the_backend(lb, clock):
    cands = [server(1, max_concurrency=4)]
    lb.set_routing_mode("max_concurrency")
    lb.set_limit(1, 3, valid_until=clock.now + 5.0)
    assert lb.limits[1] == (3, clock.now + 5.0)
    with assert_native("select", lb):
        assert picks(lb, cands, 1) == [1]
    clock.advance(5.0)  # the limit runs out at its time
    assert picks(lb, cands, 1) == [None]
    assert lb._under_capacity(cands[0]) is False
    lb.set_limit(1, 3, valid_until=clock.now + 1.0)  # renewed
    assert picks(lb, cands, 1) == [1]


@pytest.mark.parametrize("how", ["raised", "renewed", "cleared"])
def test_room_a_limit_gains_goes_to_parked_requests(lb, clock, queue_on, how):
    cands = [server(1, max_concurrency=8)]
    lb.set_routing_mode("max_concurrency")
    lb.set_limit(1, 1, valid_until=clock.now - 1.0 if how == "renewed" else None)
    if how != "renewed":
        lb.increment(1)

    async def main():
        tasks = [asyncio.create_task(lb.wait_for_slot(POOL, cands, 0)) for _ in range(4)]
        await asyncio.sleep(0)
        assert len(lb._all_waiters) == 4
        if how == "raised":
            lb.set_limit(1, 3)  # two more slots: two parked requests get them
        elif how == "renewed":
            lb.set_limit(1, 2, valid_until=clock.now + 10.0)  # from closed to two slots
        else:
            lb.clear_limit(1)  # no limit left but the configured cap
        assert lb.held_slots == {1: {"raised": 2, "renewed": 2, "cleared": 4}[how]}
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    run(main())
    assert lb.held_slots == {} and lb._all_waiters == []


def test_lowering_a_limit_wakes_nobody_and_bad_limits_raise(lb):
    lb.set_limit(1, 3)
    lb.set_limit(1, 1)
    assert lb.limits == {1: (1, None)}
    with pytest.raises(TypeError):
        lb.set_limit(1, "two")
    with pytest.raises(ValueError):
        lb.set_limit(1, 2, valid_until="soon")
    with pytest.raises(TypeError):
        lb.set_limit(1, 2, valid_until=[])
    lb.clear_limit(7)  # no limit there: nothing to clear
    assert lb.limits == {1: (1, None)}
