"""Effective caps per routing mode, the hybrid hysteresis and the free-slot test."""
import pytest

import load_balancer
from tests.helpers import POOL, server


@pytest.mark.parametrize(
    "configured, knob, expected",
    [(0, 4, 4), (32, 4, 4), (2, 4, 2), (-5, 4, 4), (0, 0, 1), (5, 0, 1), (-1, -3, 1), (3, 2.5, 2.5)],
)
def test_superfast_clamp(lb, monkeypatch, configured, knob, expected):
    monkeypatch.setattr(load_balancer, "SUPERFAST_PER_SERVER_CAP", knob)
    result = lb._superfast_cap(configured)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "mode, max_conc, expected",
    [
        ("max_concurrency", 16, 16),
        ("queue_all", 16, 16),
        ("superfast", 16, 4),
        ("superfast", 2, 2),
        ("superfast", None, 4),
        ("superfast", -7, 4),
        ("max_concurrency", -7, -7),
        ("max_concurrency", 8.9, 8),
        ("max_concurrency", "8", 8),
        ("queue_all", "", 0),
    ],
)
def test_effective_cap_by_mode(lb, clock, mode, max_conc, expected):
    lb.set_routing_mode(mode)
    cap = lb._effective_cap_for(server(1, max_concurrency=max_conc), 0, 0.0)
    assert cap == expected and type(cap) is int


def test_unknown_mode_gives_configured(lb):
    lb._routing_mode = "something-else"
    assert lb._effective_cap_for(server(1, max_concurrency=32), 0, 0.0) == 32


@pytest.mark.parametrize("bad, exc", [("abc", ValueError), ([1], TypeError)])
def test_bad_configured_cap_raises(lb, bad, exc):
    with pytest.raises(exc):
        lb._effective_cap_for(server(1, max_concurrency=bad), 0, 0.0)


@pytest.mark.parametrize("mode", ["max_concurrency", "queue_all"])
@pytest.mark.parametrize("max_conc", [None, 0, -2])
def test_unbounded_backend_always_has_a_slot(lb, clock, mode, max_conc):
    lb.set_routing_mode(mode)
    lb.inflight[1] = 1000
    assert lb._under_capacity(server(1, max_concurrency=max_conc)) is True


@pytest.mark.parametrize("inflight, expected", [(3, True), (4, False), (5, False)])
def test_free_slot_is_strictly_below_cap(lb, clock, inflight, expected):
    if inflight:
        lb.inflight[1] = inflight
    assert lb._under_capacity(server(1, max_concurrency=10)) is expected  # superfast: cap 4


def test_under_capacity_without_id(lb, clock):
    with pytest.raises(KeyError):
        lb._under_capacity({"weight": 1})


# ---- hybrid hysteresis ---------------------------------------------------------


def test_hybrid_transitions(lb):
    steps = [  # (pool inflight, rate, hot afterwards)
        (9, 9.9, False),
        (10, 0.0, True),
        (9, 8.1, True),  # 9 > 8.0
        (8, 8.0, False),  # both at their exit thresholds
        (0, 10.0, True),  # rate reaches the entry threshold
        (0, 8.01, True),
        (8, 0.0, False),
    ]
    writes = []
    for inflight, rate, hot in steps:
        before = dict(lb._pool_hot_state)
        assert lb._hybrid_hot(POOL, inflight, rate) is hot
        if lb._pool_hot_state != before:
            writes.append(lb._pool_hot_state[POOL])
    assert writes == [True, False, True, False]


def test_cold_pool_without_change_stores_nothing(lb):
    assert lb._hybrid_hot(POOL, 1, 1.0) is False
    assert lb._pool_hot_state == {}


@pytest.mark.parametrize(
    "ratio, inflight, rate, stays_hot",
    [
        (1.7, 10, 0.0, False),  # clamped to 1.0: 10 is not above 10.0
        (1.7, 11, 0.0, True),
        (-0.5, 1, 0.0, True),  # clamped to 0.0: anything in flight keeps it hot
        (-0.5, 0, 0.001, True),
        (-0.5, 0, 0.0, False),
        (float("nan"), 10, 0.0, False),  # min(1.0, nan) is 1.0
    ],
)
def test_exit_ratio_is_clamped(lb, monkeypatch, ratio, inflight, rate, stays_hot):
    monkeypatch.setattr(load_balancer, "HYBRID_HOT_EXIT_RATIO", ratio)
    lb._pool_hot_state[POOL] = True
    assert lb._hybrid_hot(POOL, inflight, rate) is stays_hot


def test_ratio_one_alternates_at_threshold(lb, monkeypatch):
    monkeypatch.setattr(load_balancer, "HYBRID_HOT_EXIT_RATIO", 1.0)
    assert [lb._hybrid_hot(POOL, 10, 0.0) for _ in range(4)] == [True, False, True, False]


def test_hybrid_without_pool_key_keeps_no_state(lb):
    lb._pool_hot_state[None] = True
    assert lb._hybrid_hot(None, 9, 9.0) is False
    assert lb._hybrid_hot(None, 10, 0.0) is True
    assert lb._pool_hot_state == {None: True}


def test_hybrid_thresholds_read_at_call(lb, monkeypatch):
    monkeypatch.setattr(load_balancer, "HYBRID_INFLIGHT_THRESHOLD", 2)
    assert lb._hybrid_hot(POOL, 2, 0.0) is True
    monkeypatch.delattr(load_balancer, "HYBRID_RATE_THRESHOLD")
    with pytest.raises(NameError):
        lb._hybrid_hot(POOL, 2, 0.0)


def test_hybrid_cap_follows_pool_state(lb, clock):
    lb.set_routing_mode("hybrid")
    pool = [server(i, max_concurrency=0) for i in (1, 2, 3)]
    assert lb.effective_cap_for(pool[0], pool, POOL) == 4  # cold: clamp of unbounded
    lb.inflight.update({1: 4, 2: 3, 3: 3})
    assert lb.effective_cap_for(pool[0], pool, POOL) == 0  # hot: configured (unbounded)
    assert lb._under_capacity(pool[0], pool, pool_key=POOL) is True
    assert lb._pool_hot_state == {POOL: True}
    lb.inflight.update({1: 1, 2: 1, 3: 1})
    assert lb._under_capacity(pool[0], pool, POOL) is True  # cold again, 1 < 4
    assert lb._pool_hot_state == {POOL: False}


def test_hybrid_rate_makes_pool_hot(lb, clock):
    lb.set_routing_mode("hybrid")
    s = server(1, max_concurrency=50)
    for _ in range(10):
        lb._record_dispatch(POOL, s)
        clock.advance(0.05)
    assert lb.effective_cap_for(s, [s], POOL) == 50  # 10 / 0.5 s = 20 per second


def test_no_pool_key_uses_balancer_wide_rate(lb, clock):
    lb.set_routing_mode("hybrid")
    s = server(1, max_concurrency=50)
    for _ in range(10):
        lb._record_dispatch(("other", frozenset(), "t"), s)
        clock.advance(0.05)
    assert lb.effective_cap_for(s) == 50
    assert lb.effective_cap_for(s, pool_key=POOL) == 4
    assert lb._pool_hot_state == {}


def test_single_backend_judged_on_its_own_count(lb, clock):
    lb.set_routing_mode("hybrid")
    s = server(1, max_concurrency=12)
    lb.inflight[1] = 10
    assert lb._under_capacity(s, pool_key=POOL) is True  # hot on its own 10: cap 12
    lb.inflight[1] = 7
    assert lb._under_capacity(s, pool_key=POOL) is False  # cold: cap 4


def test_cap_computation_trims_window(lb, clock):
    lb._record_dispatch(POOL, server(1))
    clock.advance(10.0)
    lb.effective_cap_for(server(1), pool_key=POOL)
    assert len(lb._pool_dispatch_windows[POOL]) == 0


# ---- pool totals and overrides -------------------------------------------------


@pytest.mark.parametrize(
    "counts",
    [{}, {1: 2, 3: 5}, {1: 10**30, 2: 10**30}, {1: 2**62, 2: 2**62, 3: 1}, {1: 0.1, 2: 0.2, 3: 0.3}, {1: True, 2: 2.5}],
)
def test_pool_inflight_sums_like_sum(lb, counts):
    lb.inflight.update(counts)
    pool = [server(i) for i in (1, 2, 3)]
    expected = sum(counts.get(i, 0) for i in (1, 2, 3))
    total = lb._pool_inflight(pool)
    assert total == expected and type(total) is type(expected)


def test_pool_inflight_without_id(lb):
    with pytest.raises(KeyError):
        lb._pool_inflight([server(1), {"weight": 1}])


def test_gate_calls_reach_overrides(lb, clock):
    calls = []

    class Spy(load_balancer.LoadBalancer):
        def _pool_inflight(self, candidates):
            calls.append(("pool_inflight", candidates))
            return 0

        def _recent_dispatch_rate(self, pool_key=None):
            calls.append(("rate", pool_key))
            return 0.0

        def _effective_cap_for(self, server, pool_inflight, pool_rate, *, pool_key=None):
            calls.append(("cap", server["id"], pool_inflight, pool_rate, pool_key))
            return 1

    spy = Spy()
    s = server(5)
    assert spy._under_capacity(s, pool_key=POOL) is True
    assert calls == [("pool_inflight", [s]), ("rate", POOL), ("cap", 5, 0, 0.0, POOL)]
    spy.inflight[5] = 1
    assert spy._under_capacity(s, [s], POOL) is False
    spy._effective_cap_for = lambda *a, **k: 0
    assert spy._under_capacity(s, [s], POOL) is True
    assert spy.effective_cap_for(s) == 0


def test_superfast_and_hybrid_overrides(lb, clock):
    lb._superfast_cap = lambda configured: 99
    assert lb._effective_cap_for(server(1), 0, 0.0) == 99
    lb.set_routing_mode("hybrid")
    lb._hybrid_hot = lambda key, inflight, rate: key == "hot"
    assert lb._effective_cap_for(server(1, max_concurrency=7), 0, 0.0, pool_key="hot") == 7
    assert lb._effective_cap_for(server(1, max_concurrency=7), 0, 0.0, pool_key="cold") == 99
