"""Rejection counters and the diagnostic snapshot."""
import random
import time
from collections import deque

import pytest

import load_balancer
from bench import reference
from tests.helpers import POOL, ByNameBalancer, assert_native, server

SNAPSHOT_KEYS = [
    "routing_mode",
    "dispatch_rate_per_sec",
    "superfast_cap",
    "hybrid_inflight_threshold",
    "hybrid_rate_threshold",
    "hybrid_hot_exit_ratio",
    "queue_enabled",
    "queue_ttl_sec",
    "queue_depth_multiplier",
    "queue_deadline_boost_sec",
    "pool_lru_ttl_sec",
    "inflight",
    "dispatch_counts",
    "reject_counts",
    "queue_total_waiters",
    "queue_wait_p50_sec",
    "queue_wait_p95_sec",
    "pools",
]
POOL_KEYS = ["wrr_current", "idle_seconds", "inflight_total", "dispatch_rate_per_sec", "hybrid_hot"]


def fixed_rate(lb, rate):
    """Make the balancer report `rate` for every pool; returns the pool keys asked for."""
    asked = []

    def _recent_dispatch_rate(pool_key=None):
        asked.append(pool_key)
        return rate

    lb._recent_dispatch_rate = _recent_dispatch_rate
    return asked


def add_pool(lb, pk, state, last_access):
    lb._wrr[pk] = dict(state)
    lb._pool_last_access[pk] = last_access


# ---- rejection counters ------------------------------------------------------


def test_rejections_are_counted_by_reason(lb):
    lb.note_reject(load_balancer.RejectReason.AT_CAPACITY)
    lb.note_reject("at_capacity")
    lb._bump_reject(load_balancer.RejectReason.QUEUE_TIMEOUT)
    assert lb.reject_counts == {"at_capacity": 2, "queue_timeout": 1}
    assert lb.note_reject("x") is None and lb._bump_reject("x") is None


def test_note_reject_goes_through_bump_reject(lb):
    seen = []
    lb._bump_reject = seen.append
    lb.note_reject("too_large")
    assert seen == ["too_large"] and lb.reject_counts == {}


def test_unhashable_reason_raises_and_changes_nothing(lb):
    lb.note_reject("none")
    with pytest.raises(TypeError):
        lb.note_reject(["queue_full"])
    assert lb.reject_counts == {"none": 1}


# ---- snapshot layout -----------------------------------------------------------


def test_fresh_snapshot(lb, clock):
    with assert_native("snapshot", lb):
        snap = lb.snapshot()
    assert list(snap) == SNAPSHOT_KEYS
    assert snap == {
        "routing_mode": "superfast",
        "dispatch_rate_per_sec": 0.0,
        "superfast_cap": 4,
        "hybrid_inflight_threshold": 10,
        "hybrid_rate_threshold": 10.0,
        "hybrid_hot_exit_ratio": 0.8,
        "queue_enabled": False,
        "queue_ttl_sec": 30.0,
        "queue_depth_multiplier": 4,
        "queue_deadline_boost_sec": 10.0,
        "pool_lru_ttl_sec": 300.0,
        "inflight": {},
        "dispatch_counts": {},
        "reject_counts": {},
        "queue_total_waiters": 0,
        "queue_wait_p50_sec": 0.0,
        "queue_wait_p95_sec": 0.0,
        "pools": {},
    }
    assert type(snap["dispatch_rate_per_sec"]) is float
    assert type(snap["queue_wait_p50_sec"]) is float and type(snap["queue_wait_p95_sec"]) is float


def test_settings_are_read_at_call_time(lb, clock, monkeypatch):
    for name, value in [
        ("SUPERFAST_PER_SERVER_CAP", 9),
        ("HYBRID_INFLIGHT_THRESHOLD", 3),
        ("HYBRID_RATE_THRESHOLD", 2.5),
        ("HYBRID_HOT_EXIT_RATIO", 1.7),  # reported as configured, not clamped
        ("QUEUE_DEADLINE_BOOST_SEC", 0.25),
        ("POOL_LRU_TTL_SEC", 42.0),
        ("QUEUE_ALL_TTL_SEC", 99.0),
        ("QUEUE_ALL_DEPTH_MULTIPLIER", 7),
    ]:
        monkeypatch.setattr(load_balancer, name, value)
    lb.set_routing_mode("queue_all")
    snap = lb.snapshot()
    assert [snap[k] for k in SNAPSHOT_KEYS[:11] if k != "dispatch_rate_per_sec"] == [
        "queue_all", 9, 3, 2.5, 1.7, True, 99.0, 7, 0.25, 42.0,
    ]


@pytest.mark.parametrize("name", ["SUPERFAST_PER_SERVER_CAP", "ROUTING_MODE_HYBRID"])
def test_deleted_setting_raises_name_error(lb, clock, monkeypatch, name):
    add_pool(lb, POOL, {1: 0}, clock.now)
    monkeypatch.delattr(load_balancer, name)
    with pytest.raises(NameError, match=name):
        lb.snapshot()


def test_counters_are_fresh_copies(lb, clock):
    lb.inflight.update({1: 2, 2: 1})
    lb.dispatch_counts.update({1: 5})
    lb.note_reject("queue_full")
    lb._all_waiters.extend([object(), object()])
    add_pool(lb, POOL, {1: 0.5, 2: -0.5}, clock.now)
    lb._pool_last_access[("only", frozenset(), "access")] = clock.now  # no WRR state: not listed
    with assert_native("snapshot", lb):
        snap = lb.snapshot()
    assert snap["queue_total_waiters"] == 2 and list(snap["pools"]) == ["model-a|1|fast"]
    assert (snap["inflight"], snap["dispatch_counts"], snap["reject_counts"]) == (
        {1: 2, 2: 1}, {1: 5}, {"queue_full": 1},
    )
    state = snap["pools"]["model-a|1|fast"]["wrr_current"]
    assert state == {1: 0.5, 2: -0.5}
    for copy, original in [
        (snap["inflight"], lb.inflight),
        (snap["dispatch_counts"], lb.dispatch_counts),
        (snap["reject_counts"], lb.reject_counts),
        (state, lb._wrr[POOL]),
    ]:
        assert copy is not original
        copy.clear()
    assert lb.inflight == {1: 2, 2: 1} and lb.dispatch_counts == {1: 5}
    assert lb.reject_counts == {"queue_full": 1} and lb._wrr[POOL] == {1: 0.5, 2: -0.5}


# ---- wait-time percentiles ---------------------------------------------------------


@pytest.mark.parametrize(
    "n, p50_index, p95_index",
    [(1, 0, None), (2, 1, None), (19, 9, None), (20, 10, 19), (21, 10, 19), (100, 50, 95), (512, 256, 486)],
)
def test_wait_percentiles(lb, clock, n, p50_index, p95_index):
    values = [round(0.001 * (i + 1), 3) for i in range(n)]
    shuffled = values[:]
    random.Random(n).shuffle(shuffled)
    lb.queue_wait_samples.extend(shuffled)
    with assert_native("snapshot", lb):
        snap = lb.snapshot()
    assert snap["queue_wait_p50_sec"] == values[p50_index]
    assert snap["queue_wait_p95_sec"] == (0.0 if p95_index is None else values[p95_index])
    assert list(lb.queue_wait_samples) == shuffled  # read, not sorted in place


# ---- dispatch rates ---------------------------------------------------------------------


@pytest.mark.parametrize("rate", [1 / 3, 2.675, 0.0005, 0.0015, 7.0])
def test_rates_are_rounded_like_round(lb, clock, rate):
    asked = fixed_rate(lb, rate)
    add_pool(lb, POOL, {1: 0}, clock.now)
    snap = lb.snapshot()
    assert snap["dispatch_rate_per_sec"] == round(rate, 3)
    assert snap["pools"]["model-a|1|fast"]["dispatch_rate_per_sec"] == round(rate, 3)
    assert asked == [None, POOL]


def test_rates_of_recorded_dispatches(lb, clock):
    other = ("model-b", frozenset(), "slow")
    idle = ("model-c", frozenset(), "slow")
    lb._record_dispatch(idle, server(9))
    clock.advance(10.0)
    lb._record_dispatch(POOL, server(1))
    clock.advance(0.1)
    lb._record_dispatch(POOL, server(2))
    lb._record_dispatch(other, server(3))
    clock.advance(0.2)
    lb._wrr[POOL] = {1: 0, 2: 0}
    with assert_native("snapshot", lb):
        snap = lb.snapshot()
    assert snap["dispatch_rate_per_sec"] == 10.0  # 3 dispatches, the oldest kept 0.3 s old
    assert list(snap["pools"]) == ["model-a|1|fast"]
    assert snap["pools"]["model-a|1|fast"]["dispatch_rate_per_sec"] == 6.667
    assert snap["dispatch_counts"] == {9: 1, 1: 1, 2: 1, 3: 1}
    assert len(lb._pool_dispatch_windows[idle]) == 0  # trimmed by the balancer-wide read


def test_eviction_runs_before_anything_is_read(lb, clock):
    order = []
    fixed_rate(lb, 0.0)
    lb._evict_stale_pools = lambda: order.append("evict")
    lb.queue_enabled = lambda: order.append("queue_enabled") or "enabled?"
    assert lb.snapshot()["queue_enabled"] == "enabled?"
    assert order == ["evict", "queue_enabled"]


# ---- pools ---------------------------------------------------------------------------------


def test_stale_pool_is_evicted_before_reporting(lb, clock, lb_logs):
    fresh = ("m", frozenset(), "t1")
    edge = ("m", frozenset(), "t2")
    stale = ("m", frozenset(), "t3")
    add_pool(lb, fresh, {1: 0}, clock.now - 10)
    add_pool(lb, edge, {1: 0}, clock.now - 300.0)  # exactly at the cutoff: stays
    add_pool(lb, stale, {1: 0}, clock.now - 301.0)
    lb._pool_hot_state[stale] = True
    lb._lock_for(stale)
    snap = lb.snapshot()
    assert list(snap["pools"]) == ["m||t1", "m||t2"]
    assert stale not in lb._wrr and stale not in lb._pool_last_access and stale not in lb._pool_hot_state
    assert stale in lb._locks
    assert "Evicted 1 stale LB pool entries (>300s idle)" in lb_logs.messages


def test_pool_entry(lb, clock):
    add_pool(lb, ("m1", frozenset({3, 1}), "fast"), {1: 1.5, 2: -1.5}, clock.now - 12.5)
    lb.inflight.update({1: 3, 2: 1, 9: 4})
    fixed_rate(lb, 2.0)
    entry = lb.snapshot()["pools"]["m1|1,3|fast"]
    assert list(entry) == POOL_KEYS
    assert entry == {
        "wrr_current": {1: 1.5, 2: -1.5},
        "idle_seconds": 12.5,
        "inflight_total": 4,
        "dispatch_rate_per_sec": 2.0,
        "hybrid_hot": None,
    }


@pytest.mark.parametrize("mode", ["hybrid", "max_concurrency"])
def test_pools_without_an_override(lb, any_clock, mode):
    """What a pool entry shows that does not depend on the time, computed by the
    native snapshot when nothing is overridden, on either clock."""
    lb.set_routing_mode(mode)
    now = any_clock.now if any_clock else time.monotonic()
    add_pool(lb, ("m1", frozenset({3, 1}), "fast"), {1: 1.5, 2: -1.5}, now)
    add_pool(lb, ("m2", frozenset(), "slow"), {2: 0.0, 7: 0.0}, now)
    lb._pool_hot_state[("m2", frozenset(), "slow")] = True
    lb.inflight.update({1: 3, 2: 1, 9: 4})
    with assert_native("snapshot", lb):
        pools = lb.snapshot()["pools"]
    assert list(pools) == ["m1|1,3|fast", "m2||slow"]
    got = {label: (e["wrr_current"], e["inflight_total"], e["hybrid_hot"]) for label, e in pools.items()}
    assert got == {"m1|1,3|fast": ({1: 1.5, 2: -1.5}, 4, False if mode == "hybrid" else None),
                   "m2||slow": ({2: 0.0, 7: 0.0}, 1, True if mode == "hybrid" else None)}


@pytest.mark.parametrize(
    "mode, hot_state, expected",
    [
        ("superfast", {POOL: True}, None),
        ("max_concurrency", {}, None),
        ("queue_all", {POOL: True}, None),
        ("hybrid", {}, False),
        ("hybrid", {POOL: True}, True),
    ],
)
def test_hybrid_hot(lb, clock, mode, hot_state, expected):
    lb.set_routing_mode(mode)
    add_pool(lb, POOL, {1: 0}, clock.now)
    lb._pool_hot_state.update(hot_state)
    fixed_rate(lb, 0.0)
    assert lb.snapshot()["pools"]["model-a|1|fast"]["hybrid_hot"] is expected


@pytest.mark.parametrize(
    "pk, label",
    [
        (("m1", frozenset({3, 1}), "fast"), "m1|1,3|fast"),
        (("m1", frozenset(), "fast"), "m1||fast"),
        (("m1", frozenset({10, 9}), "slow"), "m1|9,10|slow"),
        (("m", frozenset({-2, 100, 7}), ""), "m|-2,7,100|"),
    ],
)
def test_pool_labels(lb, clock, pk, label):
    add_pool(lb, pk, {1: 0}, clock.now)
    fixed_rate(lb, 0.0)
    assert list(lb.snapshot()["pools"]) == [label]


def test_pools_follow_wrr_order_and_later_duplicate_label_wins(lb, clock):
    fixed_rate(lb, 0.0)
    add_pool(lb, ("b", frozenset(), "t"), {1: 0}, clock.now)
    add_pool(lb, ("a|", frozenset(), "t"), {1: 1}, clock.now)
    add_pool(lb, ("a", frozenset(), "|t"), {1: 2}, clock.now)
    pools = lb.snapshot()["pools"]
    assert list(pools) == ["b||t", "a|||t"]
    assert pools["a|||t"]["wrr_current"] == {1: 2}


@pytest.mark.parametrize("pk", [(1, frozenset(), "t"), ("m", frozenset(), None)])
def test_non_string_label_part_raises_after_eviction(lb, clock, pk):
    fixed_rate(lb, 0.0)
    stale = ("old", frozenset(), "t")
    add_pool(lb, stale, {1: 0}, clock.now - 1000)
    add_pool(lb, pk, {1: 0}, clock.now)
    with pytest.raises(TypeError):
        lb.snapshot()
    assert stale not in lb._wrr


# ---- objects shared or merely equal: as the plain-Python balancer reads them -------------


def windows_are_the_samples(lb, now):
    # Old waits (all before the rate cutoff) in the deque both read: the
    # percentiles come from it before the rates trim it.
    lb._wrr[POOL] = {1: 0}
    lb._pool_last_access[POOL] = now
    lb.queue_wait_samples.extend(float(i) / 7 for i in range(40))
    lb._pool_dispatch_windows[POOL] = lb.queue_wait_samples


def pools_share_a_window(lb, now):
    other = ("model-b", frozenset({2}), "slow")
    window = deque([now - 9.0, now - 8.0, now - 1.0, now - 0.5, now - 0.2])
    for pk in (POOL, other):
        lb._wrr[pk] = {1: 0}
        lb._pool_last_access[pk] = now
        lb._pool_dispatch_windows[pk] = window


def equal_cluster_ids(ids):
    def setup(lb, now):
        # A label already built for an equal key of plain ints.
        plain = ("m", frozenset({1}), "t")
        lb._wrr[plain] = {1: 0}
        lb._pool_last_access[plain] = now
        lb.snapshot()
        del lb._wrr[plain], lb._pool_last_access[plain]
        pk = ("m", frozenset(ids), "t")
        lb._wrr[pk] = {1: 0}
        lb._pool_last_access[pk] = now
    return setup


class CollidingKey:
    """Hashes as the pool key does; comparing with it fails."""

    def __hash__(self):
        return hash(POOL)

    def __eq__(self, other):
        raise ValueError("not comparable")


def hot_state_fails(lb, now):
    lb.set_routing_mode("hybrid")
    lb._wrr[POOL] = {1: 0}
    lb._pool_last_access[POOL] = now
    lb._pool_dispatch_windows[POOL] = deque([now - 9.0, now - 1.0])
    lb._pool_hot_state[CollidingKey()] = True


@pytest.mark.parametrize(
    "setup",
    [
        windows_are_the_samples,
        pools_share_a_window,
        equal_cluster_ids({1.0}),
        equal_cluster_ids({True}),
        hot_state_fails,
    ],
    ids=["windows-are-samples", "shared-window", "float-id", "bool-id", "hot-state-fails"],
)
def test_snapshot_matches_plain_python(clock, monkeypatch, setup):
    monkeypatch.setattr(reference, "time", clock)
    seen = []
    for cls in (load_balancer.LoadBalancer, ByNameBalancer, reference.LoadBalancer):
        lb = cls()
        setup(lb, clock.now)
        try:
            result = lb.snapshot()
        except ValueError as e:
            result = repr(e)
        windows = [(pk, list(w)) for pk, w in lb._pool_dispatch_windows.items()]
        seen.append((result, list(lb.queue_wait_samples), windows))
    assert seen[0] == seen[1] == seen[2]


def test_comparing_keys_may_empty_the_tables(lb, clock):
    # A key of the last-access table that hashes as the pool key: comparing
    # them runs its code, which drops every table the snapshot is reading.
    class Clears:
        armed = False

        def __hash__(self):
            return hash(POOL)

        def __eq__(self, other):
            if self.armed:
                lb._wrr.clear()
                lb._pool_dispatch_windows.clear()
                lb.queue_wait_samples.clear()
                garbage = [{i: [i]} for i in range(1000)]  # reuses what was freed
                del garbage
            return False

    clears = Clears()
    lb._pool_last_access[clears] = clock.now
    add_pool(lb, POOL, {1: 0.5, 2: 1.5}, clock.now)
    lb._pool_dispatch_windows[POOL] = deque([clock.now - 9.0] * 50 + [clock.now - 0.5])
    lb.queue_wait_samples.extend(float(i) for i in range(30))
    clears.armed = True
    snap = lb.snapshot()
    assert (snap["queue_wait_p50_sec"], snap["queue_wait_p95_sec"], snap["dispatch_rate_per_sec"]) == (15.0, 28.0, 2.0)
    assert snap["pools"]["model-a|1|fast"]["wrr_current"] == {1: 0.5, 2: 1.5}
