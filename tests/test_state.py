"""LoadBalancer state, routing mode, in-flight counters and pool housekeeping."""
import asyncio
import collections
import logging

import pytest

import load_balancer as m
from tests.helpers import POOL

ATTRS = ["inflight", "_wrr", "_locks", "_pool_last_access", "_waiters", "_all_waiters", "dispatch_counts",
         "last_dispatch_ts", "reject_counts", "queue_wait_samples", "_routing_mode", "_pool_dispatch_windows",
         "_pool_hot_state",
         "held_slots", "limits"]  # after the thirteen: slots held for woken waiters, callers' limits


def records(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "load_balancer"]


class TestConstruction:
    def test_attributes_in_order_with_real_containers(self, plain_lb):
        assert list(vars(plain_lb)) == ATTRS
        for name in ATTRS:
            value = getattr(plain_lb, name)
            if name == "_all_waiters":
                assert type(value) is list and value == []
            elif name == "queue_wait_samples":
                assert type(value) is collections.deque and value.maxlen == 512 and not value
            elif name == "_routing_mode":
                assert value == "superfast"
            else:
                assert type(value) is dict and value == {}, name

    def test_instances_share_nothing(self):
        a, b = m.LoadBalancer(), m.LoadBalancer()
        for name in ATTRS[:-5]:
            if name != "_routing_mode":
                assert getattr(a, name) is not getattr(b, name)

    def test_class_shape(self):
        assert m.LoadBalancer.__bases__ == (object,)
        assert m.LoadBalancer.__doc__ == "Stateful per-pool scheduler with SWRR + inflight + queue."
        assert not hasattr(m.LoadBalancer, "__slots__")
        with pytest.raises(TypeError):
            m.LoadBalancer(1)

    def test_deque_read_when_constructing(self, monkeypatch):
        made = []

        class MyDeque(collections.deque):
            def __init__(self, *a, **kw):
                made.append(kw)
                super().__init__(*a, **kw)

        monkeypatch.setattr(m, "deque", MyDeque)
        lb = m.LoadBalancer()
        assert type(lb.queue_wait_samples) is MyDeque and made == [{"maxlen": 512}]

    def test_default_mode_read_when_constructing(self, monkeypatch):
        before = m.LoadBalancer()
        monkeypatch.setattr(m, "DEFAULT_ROUTING_MODE", "max_concurrency")
        assert m.LoadBalancer().get_routing_mode() == "max_concurrency"
        assert before.get_routing_mode() == "superfast"

    def test_subclass_and_extra_attributes(self):
        class Mine(m.LoadBalancer):
            def __init__(self):
                super().__init__()
                self.extra = 1

        lb = Mine()
        assert list(vars(lb)) == ATTRS + ["extra"]
        assert lb.increment(1) == 1


class TestRoutingMode:
    def test_set_logs_changes_only(self, lb, lb_logs):
        assert lb.set_routing_mode("  HYBRID ") == "hybrid"
        assert lb.set_routing_mode("hybrid") == "hybrid"
        assert lb.set_routing_mode(None) == "superfast"
        assert lb.set_routing_mode("bogus") == "superfast"
        assert records(lb_logs) == [(logging.INFO, "Routing mode: superfast -> hybrid"),
                                    (logging.INFO, "Routing mode: hybrid -> superfast")]
        assert lb.get_routing_mode() == "superfast"

    def test_mode_change_touches_nothing_else(self, lb):
        lb.increment(1)
        lb._pool_hot_state[POOL] = True
        lb.set_routing_mode("queue_all")
        assert lb.inflight == {1: 1} and lb._pool_hot_state == {POOL: True}

    @pytest.mark.parametrize("mode, enabled, ttl, mult", [
        ("superfast", False, 30.0, 4), ("hybrid", False, 30.0, 4), ("max_concurrency", False, 30.0, 4),
        ("queue_all", True, 600.0, 1000)])
    def test_queue_settings_by_mode(self, lb, mode, enabled, ttl, mult):
        lb.set_routing_mode(mode)
        assert lb.queue_enabled() is enabled
        assert lb.queue_ttl_sec() == ttl and type(lb.queue_ttl_sec()) is float
        assert lb.queue_depth_multiplier() == mult and type(lb.queue_depth_multiplier()) is int

    def test_queue_settings_read_globals_at_call(self, lb, monkeypatch):
        monkeypatch.setattr(m, "QUEUE_TTL_SEC", 1.5)
        monkeypatch.setattr(m, "QUEUE_ALL_DEPTH_MULTIPLIER", 7)
        assert lb.queue_ttl_sec() == 1.5
        lb.set_routing_mode("queue_all")
        assert lb.queue_depth_multiplier() == 7
        monkeypatch.setattr(m, "ROUTING_MODE_QUEUE_ALL", "something-else")
        assert lb.queue_depth_multiplier() == 4


class RecordingBalancer(m.LoadBalancer):
    def __init__(self):
        super().__init__()
        self.woken = []

    def _wake_one(self, server_id):
        self.woken.append((server_id, dict(self.inflight)))


class TestCounters:
    def test_increment_and_decrement(self):
        lb = RecordingBalancer()
        assert lb.increment(7) == 1 and lb.increment(7) == 2 and lb.inflight == {7: 2}
        assert lb.decrement(7) == 1 and lb.decrement(7) == 0
        assert lb.inflight == {}
        # The count is lowered before the wake-up sees it.
        assert lb.woken == [(7, {7: 1}), (7, {})]

    def test_decrement_without_entry_stores_zero_then_deletes(self):
        lb = RecordingBalancer()
        assert lb.decrement(9) == 0 and lb.inflight == {9: 0}
        assert lb.decrement(9) == 0 and lb.inflight == {}
        assert [sid for sid, _ in lb.woken] == [9, 9]

    def test_wake_one_is_looked_up_on_the_instance(self, lb):
        seen = []
        lb._wake_one = seen.append
        lb.increment(1)
        lb.decrement(1)
        assert seen == [1]

    def test_wake_one_error_propagates_after_update(self, lb):
        def boom(server_id):
            raise RuntimeError("wake failed")

        lb._wake_one = boom
        lb.increment(1)
        lb.increment(1)
        with pytest.raises(RuntimeError):
            lb.decrement(1)
        assert lb.inflight == {1: 1}

    def test_get_inflight_never_creates(self, lb):
        assert lb.get_inflight(5) == 0 and lb.inflight == {}
        lb.inflight[5] = 3
        assert lb.get_inflight(5) == 3

    def test_counters_work_on_replaced_dict(self, lb):
        lb.inflight = collections.OrderedDict()
        lb.increment(2)
        assert lb.inflight == {2: 1} and type(lb.inflight) is collections.OrderedDict

    @pytest.mark.parametrize("start, message", [
        ({7: 3}, "Force-cleared inflight=3 for server 7"), ({7: 0}, "Force-cleared inflight=0 for server 7")])
    def test_force_clear_logs(self, lb_logs, start, message):
        lb = RecordingBalancer()
        lb.inflight.update(start)
        assert lb.force_clear(7) is None
        assert lb.inflight == {} and lb.woken == []
        assert records(lb_logs) == [(logging.WARNING, message)]

    def test_force_clear_without_entry_is_silent(self, lb, lb_logs):
        lb.force_clear(7)
        assert records(lb_logs) == []


class TestLocks:
    def test_one_lock_per_pool(self, lb):
        a = lb._lock_for(POOL)
        assert isinstance(a, asyncio.Lock)
        assert lb._lock_for(("model-a", frozenset({1}), "fast")) is a
        assert lb._lock_for(("model-b", frozenset(), "fast")) is not a
        lb._locks[POOL] = None
        assert lb._lock_for(POOL) is not a

    def test_lock_class_read_from_module_asyncio(self, lb, monkeypatch):
        class FakeAsyncio:
            Lock = list

        monkeypatch.setattr(m, "asyncio", FakeAsyncio)
        assert lb._lock_for(POOL) == []


class TestEviction:
    def _touch(self, lb, key, when):
        lb._wrr[key] = {1: 0.0}
        lb._pool_last_access[key] = when
        lb._pool_dispatch_windows[key] = collections.deque([when], maxlen=4096)
        lb._pool_hot_state[key] = True

    def test_stale_pool_state_is_evicted(self, lb, clock, lb_logs):
        old, edge, fresh = ("old", frozenset(), "t"), ("edge", frozenset(), "t"), ("new", frozenset(), "t")
        self._touch(lb, old, clock.now - 301)
        self._touch(lb, edge, clock.now - 300)
        self._touch(lb, fresh, clock.now - 1)
        lock = lb._lock_for(old)
        lb._evict_stale_pools()
        for table in (lb._wrr, lb._pool_last_access, lb._pool_dispatch_windows, lb._pool_hot_state):
            assert list(table) == [edge, fresh]
        assert lb._locks[old] is lock
        assert records(lb_logs) == [(logging.DEBUG, "Evicted 1 stale LB pool entries (>300s idle)")]

    def test_nothing_stale_logs_nothing(self, lb, clock, lb_logs):
        self._touch(lb, POOL, clock.now)
        lb._evict_stale_pools()
        assert records(lb_logs) == [] and POOL in lb._wrr

    def test_partial_tables_and_ttl_truncation(self, lb, clock, lb_logs, monkeypatch):
        monkeypatch.setattr(m, "POOL_LRU_TTL_SEC", 2.9)
        lb._pool_last_access[POOL] = clock.now - 10  # no entries in the other tables
        lb._pool_last_access["other"] = clock.now - 3
        lb._evict_stale_pools()
        assert lb._pool_last_access == {}
        assert records(lb_logs) == [(logging.DEBUG, "Evicted 2 stale LB pool entries (>2s idle)")]
