"""Dispatch counters and the per-pool dispatch-rate windows."""
import collections

import pytest

import load_balancer
from tests.helpers import POOL, server

OTHER = ("model-b", frozenset({2}), "slow")


def test_record_dispatch_updates_every_table(lb, clock):
    lb._record_dispatch(POOL, server(7))
    clock.advance(1.5)
    lb._record_dispatch(POOL, server(7))
    assert lb.dispatch_counts == {7: 2}
    assert lb.last_dispatch_ts == {7: clock.time()}
    assert lb._pool_last_access == {POOL: clock.now}
    window = lb._pool_dispatch_windows[POOL]
    assert isinstance(window, collections.deque) and window.maxlen == 4096
    assert list(window) == [clock.now - 1.5, clock.now]


def test_record_dispatch_without_id_changes_nothing(lb, clock):
    with pytest.raises(KeyError):
        lb._record_dispatch(POOL, {"weight": 1})
    assert lb.dispatch_counts == {} and lb._pool_dispatch_windows == {} and lb._pool_last_access == {}


def test_record_dispatch_uses_module_deque(lb, clock, monkeypatch):
    made = []

    def fake_deque(*args, **kwargs):
        made.append(kwargs)
        return collections.deque(*args, **kwargs)

    monkeypatch.setattr(load_balancer, "deque", fake_deque)
    lb._record_dispatch(POOL, server(1))
    lb._record_dispatch(POOL, server(1))
    assert made == [{"maxlen": 4096}]


def test_window_is_capped(lb, clock):
    for _ in range(4097):
        clock.advance(0.001)
        lb._record_dispatch(POOL, server(1))
    window = lb._pool_dispatch_windows[POOL]
    assert len(window) == 4096 and window[0] == pytest.approx(1000.002)


@pytest.mark.parametrize("pool_key", [POOL, None])
def test_rate_without_windows_is_zero(lb, clock, pool_key):
    rate = lb._recent_dispatch_rate(pool_key)
    assert rate == 0.0 and type(rate) is float


@pytest.mark.parametrize(
    "age, expected",
    [(0.0002, 1000.0), (0.5, 2.0), (0.0, 1000.0)],
)
def test_single_dispatch_rate(lb, clock, age, expected):
    lb._record_dispatch(POOL, server(1))
    clock.advance(age)
    assert lb._recent_dispatch_rate(POOL) == pytest.approx(expected)


def test_rate_is_count_over_age_of_oldest(lb, clock):
    clock.now = 0.0
    for i in range(10):
        clock.now = i * 2.0 / 9
        lb._record_dispatch(POOL, server(1))
    clock.now = 2.0
    assert lb._recent_dispatch_rate(POOL) == pytest.approx(5.0)


def test_old_timestamps_are_trimmed_and_empty_window_kept(lb, clock):
    lb._record_dispatch(POOL, server(1))
    clock.advance(6.0)
    assert lb._recent_dispatch_rate(POOL) == 0.0
    assert POOL in lb._pool_dispatch_windows and len(lb._pool_dispatch_windows[POOL]) == 0
    assert lb._recent_dispatch_rate(POOL) == 0.0


def test_timestamp_at_cutoff_stays(lb, clock):
    clock.now = 10.0
    lb._record_dispatch(POOL, server(1))
    clock.now = 15.0  # exactly HYBRID_RATE_WINDOW_SEC later
    assert lb._recent_dispatch_rate(POOL) == pytest.approx(1 / 5.0)
    assert len(lb._pool_dispatch_windows[POOL]) == 1


@pytest.mark.parametrize("window", [0, -3.0, float("nan")])
def test_window_never_shorter_than_half_second(lb, clock, monkeypatch, window):
    monkeypatch.setattr(load_balancer, "HYBRID_RATE_WINDOW_SEC", window)
    lb._record_dispatch(POOL, server(1))
    clock.advance(0.4)
    lb._record_dispatch(POOL, server(1))
    clock.advance(0.2)  # first is 0.6 s old: outside 0.5 s
    assert lb._recent_dispatch_rate(POOL) == pytest.approx(1 / 0.2)


def test_window_length_read_at_each_call(lb, clock, monkeypatch):
    lb._record_dispatch(POOL, server(1))
    clock.advance(3.0)
    monkeypatch.setattr(load_balancer, "HYBRID_RATE_WINDOW_SEC", 10.0)
    assert lb._recent_dispatch_rate(POOL) == pytest.approx(1 / 3.0)
    monkeypatch.setattr(load_balancer, "HYBRID_RATE_WINDOW_SEC", 2.0)
    assert lb._recent_dispatch_rate(POOL) == 0.0


def test_balancer_wide_rate(lb, clock):
    clock.now = 100.0
    for _ in range(3):
        lb._record_dispatch(POOL, server(1))
        clock.advance(0.25)
    clock.now = 100.5
    lb._record_dispatch(OTHER, server(2))
    clock.now = 101.0
    assert lb._recent_dispatch_rate(None) == pytest.approx(4.0)
    assert lb._recent_dispatch_rate() == pytest.approx(4.0)


def test_balancer_wide_rate_trims_every_window(lb, clock):
    lb._record_dispatch(POOL, server(1))
    clock.advance(4.0)
    lb._record_dispatch(OTHER, server(2))
    lb._pool_dispatch_windows[None] = collections.deque([clock.now - 1.0])
    clock.advance(2.0)
    assert lb._recent_dispatch_rate(None) == pytest.approx(2 / 3.0)
    assert len(lb._pool_dispatch_windows[POOL]) == 0


def test_rate_reads_module_clock(lb, clock, monkeypatch):
    lb._record_dispatch(POOL, server(1))
    monkeypatch.delattr(load_balancer, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        lb._recent_dispatch_rate(POOL)
