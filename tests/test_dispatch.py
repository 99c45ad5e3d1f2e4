"""Dispatch counters and the per-pool dispatch-rate windows."""
import collections

import pytest

import load_balancer
from tests.helpers import POOL, ByNameBalancer, server

OTHER = ("model-b", frozenset({2}), "slow")


def test_record_dispatch(lb, clock):
    lb._record_dispatch(POOL, server(7))
    clock.advance(1.5)
    lb._record_dispatch(POOL, server(7))
    assert lb.dispatch_counts == {7: 2} and lb.last_dispatch_ts == {7: clock.time()}
    assert lb._pool_last_access == {POOL: clock.now}
    window = lb._pool_dispatch_windows[POOL]
    assert isinstance(window, collections.deque) and window.maxlen == 4096
    assert list(window) == [clock.now - 1.5, clock.now]
    with pytest.raises(KeyError):
        lb._record_dispatch(OTHER, {"weight": 1})
    assert lb.dispatch_counts == {7: 2} and OTHER not in lb._pool_last_access


def test_window_is_capped(lb, clock):
    for _ in range(4097):
        clock.advance(0.001)
        lb._record_dispatch(POOL, server(1))
    window = lb._pool_dispatch_windows[POOL]
    assert len(window) == 4096 and window[0] == pytest.approx(1000.002)


@pytest.mark.parametrize(
    "offsets, now, window, expected",
    [
        ([], 0.0, 5.0, 0.0),  # never dispatched
        ([0.0], 0.0002, 5.0, 1000.0),  # span floored at a millisecond
        ([0.0], 0.5, 5.0, 2.0),
        ([i * 2.0 / 9 for i in range(10)], 2.0, 5.0, 5.0),
        ([0.0], 5.0, 5.0, 0.2),  # a timestamp exactly at the cutoff stays
        ([0.0], 6.0, 5.0, 0.0),  # all trimmed
        ([0.0, 0.4], 0.6, 0, 5.0),  # windows shorter than 0.5 s are 0.5 s
        ([0.0, 0.4], 0.6, -3.0, 5.0),
        ([0.0, 0.4], 0.6, float("nan"), 5.0),
    ],
)
def test_pool_rate(lb, clock, monkeypatch, offsets, now, window, expected):
    monkeypatch.setattr(load_balancer, "HYBRID_RATE_WINDOW_SEC", window)
    for t in offsets:
        clock.now = 1000.0 + t
        lb._record_dispatch(POOL, server(1))
    clock.now = 1000.0 + now
    rate = lb._recent_dispatch_rate(POOL)
    assert rate == pytest.approx(expected) and type(rate) is float
    if offsets and not expected:
        assert len(lb._pool_dispatch_windows[POOL]) == 0  # emptied, kept


def test_balancer_wide_rate(lb, clock):
    assert lb._recent_dispatch_rate() == 0.0
    lb._record_dispatch(("stale", frozenset(), ""), server(3))
    clock.now = 1010.0
    for _ in range(3):
        lb._record_dispatch(POOL, server(1))
        clock.advance(0.25)
    clock.now = 1010.5
    lb._record_dispatch(OTHER, server(2))
    clock.now = 1011.0
    assert lb._recent_dispatch_rate(None) == pytest.approx(4.0)
    assert len(lb._pool_dispatch_windows[("stale", frozenset(), "")]) == 0


def test_the_record_reads_the_tables_a_pick_replaced():
    """A stale round-robin entry whose hash replaces the counters while the
    pick drops it: the dispatch is counted in the new table, as the steps do."""
    import asyncio
    from bench import reference as ref

    def scenario(balancer_class):
        lb = balancer_class()

        class Stale:
            def __hash__(self):
                lb.dispatch_counts = {}
                return 12345

        async def main():
            await lb.select(POOL, [server(1)])  # the pool's lock exists from now on
            lb._wrr[POOL] = {Stale(): 0.0}
            return (await lb.select(POOL, [server(1), server(2)]))["id"], lb.dispatch_counts

        return asyncio.run(main())

    results = [scenario(cls) for cls in (load_balancer.LoadBalancer, ByNameBalancer, ref.LoadBalancer)]
    assert results == [(1, {1: 1})] * 3
