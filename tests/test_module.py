"""The module file, its namespace and how it reads its own globals."""
import asyncio
import dataclasses
import subprocess
import sys
import typing

import pytest

import load_balancer

STANDARD_ATTRS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}

NAMESPACE_ORDER = [
    "asyncio", "logging", "os", "time", "deque", "dataclass", "field",
    "Any", "Awaitable", "Callable", "Deque", "Dict", "FrozenSet", "List", "Optional", "Tuple",
    "logger", "PoolKey", "_env_bool", "_env_int", "_env_float",
    "QUEUE_ENABLED", "QUEUE_TTL_SEC", "QUEUE_MAX_DEPTH_MULTIPLIER", "QUEUE_DEADLINE_BOOST_SEC",
    "POOL_LRU_TTL_SEC", "_DEFAULT_IMAGE_TOKEN_COST", "IMAGE_TOKEN_COST",
    "ROUTING_MODE_SUPERFAST", "ROUTING_MODE_HYBRID", "ROUTING_MODE_MAX_CONCURRENCY", "ROUTING_MODE_QUEUE_ALL",
    "DEFAULT_ROUTING_MODE", "VALID_ROUTING_MODES",
    "SUPERFAST_PER_SERVER_CAP", "HYBRID_INFLIGHT_THRESHOLD", "HYBRID_RATE_THRESHOLD", "HYBRID_RATE_WINDOW_SEC",
    "HYBRID_HOT_EXIT_RATIO", "QUEUE_ALL_DEPTH_MULTIPLIER", "QUEUE_ALL_TTL_SEC",
    "normalize_routing_mode", "LB_ALGO_WRR", "LB_ALGO_LEAST_CONN", "LB_ALGO_STICKY", "DEFAULT_LB_ALGORITHM",
    "VALID_LB_ALGORITHMS", "normalize_lb_algorithm",
    "_Waiter", "RejectReason", "LoadBalancer", "InflightLease",
]
LATER_FUNCTIONS = ["estimate_request_tokens", "inflight_reaper_loop", "_native_decisions"]


def test_exports_exactly_the_init_symbol():
    out = subprocess.run(["nm", "-D", "--defined-only", load_balancer.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_load_balancer"]


def test_multi_phase_definition_without_methods():
    import importlib.machinery
    import importlib.util
    module_spec = importlib.util.spec_from_file_location(
        "load_balancer", load_balancer.__file__,
        loader=importlib.machinery.ExtensionFileLoader("load_balancer", load_balancer.__file__))
    fresh = importlib.util.module_from_spec(module_spec)
    # Multi-phase: the module exists before its body runs, and is empty.
    assert [k for k in vars(fresh) if k not in STANDARD_ATTRS] == []
    module_spec.loader.exec_module(fresh)
    assert fresh.LoadBalancer is not load_balancer.LoadBalancer
    assert fresh.RejectReason.QUEUE_FULL == "queue_full"


def test_namespace_order():
    names = [k for k in vars(load_balancer) if k not in STANDARD_ATTRS]
    expected = NAMESPACE_ORDER + [n for n in LATER_FUNCTIONS if n in names]
    assert names == expected
    assert not hasattr(load_balancer, "__all__")


def test_standard_library_bindings():
    import collections
    import logging
    import os
    import time
    m = load_balancer
    assert (m.asyncio, m.logging, m.os, m.time) == (asyncio, logging, os, time)
    assert m.deque is collections.deque
    assert (m.dataclass, m.field) == (dataclasses.dataclass, dataclasses.field)
    assert m.Optional is typing.Optional and m.Deque is typing.Deque
    assert m.PoolKey == typing.Tuple[str, typing.FrozenSet[int], str]
    with pytest.raises(TypeError):
        m.PoolKey()
    assert m.logger is logging.getLogger("load_balancer")
    assert m.logger.name == m.__name__ == "load_balancer"
    assert "process" in m.__doc__


def test_default_constants():
    m = load_balancer
    expected = {
        "QUEUE_ENABLED": False, "QUEUE_TTL_SEC": 30.0, "QUEUE_MAX_DEPTH_MULTIPLIER": 4,
        "QUEUE_DEADLINE_BOOST_SEC": 10.0, "POOL_LRU_TTL_SEC": 300.0, "_DEFAULT_IMAGE_TOKEN_COST": 2048,
        "IMAGE_TOKEN_COST": 2048, "SUPERFAST_PER_SERVER_CAP": 4, "HYBRID_INFLIGHT_THRESHOLD": 10,
        "HYBRID_RATE_THRESHOLD": 10.0, "HYBRID_RATE_WINDOW_SEC": 5.0, "HYBRID_HOT_EXIT_RATIO": 0.8,
        "QUEUE_ALL_DEPTH_MULTIPLIER": 1000, "QUEUE_ALL_TTL_SEC": 600.0,
        "ROUTING_MODE_SUPERFAST": "superfast", "ROUTING_MODE_HYBRID": "hybrid",
        "ROUTING_MODE_MAX_CONCURRENCY": "max_concurrency", "ROUTING_MODE_QUEUE_ALL": "queue_all",
        "DEFAULT_ROUTING_MODE": "superfast", "LB_ALGO_WRR": "weighted_round_robin",
        "LB_ALGO_LEAST_CONN": "least_connections", "LB_ALGO_STICKY": "sticky_session",
        "DEFAULT_LB_ALGORITHM": "weighted_round_robin",
    }
    for name, value in expected.items():
        got = getattr(m, name)
        assert got == value and type(got) is type(value), name
    assert m.VALID_ROUTING_MODES == frozenset({"superfast", "hybrid", "max_concurrency", "queue_all"})
    assert m.VALID_LB_ALGORITHMS == frozenset({"weighted_round_robin", "least_connections", "sticky_session"})


def test_reject_reason_is_a_plain_class_of_strings():
    rr = load_balancer.RejectReason
    assert rr.__bases__ == (object,) and rr.__doc__ is None
    values = [(k, v) for k, v in vars(rr).items() if not k.startswith("__")]
    assert values == [("NONE", "none"), ("QUEUE_FULL", "queue_full"), ("QUEUE_TIMEOUT", "queue_timeout"),
                      ("NO_BACKENDS", "no_backends"), ("TOO_LARGE", "too_large"), ("AT_CAPACITY", "at_capacity")]
    assert type(rr.QUEUE_FULL) is str
    with pytest.raises(TypeError):
        iter(rr)


class TestWaiter:
    def test_is_a_real_dataclass(self):
        w = load_balancer._Waiter
        assert dataclasses.is_dataclass(w)
        assert [f.name for f in dataclasses.fields(w)] == [
            "pool_key", "candidates", "estimated_tokens", "future", "queued_at", "boost_after_sec"]
        assert w.__doc__ == "One queued request, parked across an eligible candidate set."
        assert w.__dataclass_params__.frozen is False and w.__dataclass_params__.order is False
        assert not hasattr(w, "__slots__")

    def test_defaults_equality_and_hash(self):
        W = load_balancer._Waiter
        a = W(("m", frozenset(), "t"), [], 5, None, 1.0)
        assert a.boost_after_sec == 0.0
        assert a == W(("m", frozenset(), "t"), [], 5, None, 1.0)
        with pytest.raises(TypeError):
            hash(a)
        with pytest.raises(TypeError):
            W(("m", frozenset(), "t"), [], 5, None)

    @pytest.mark.parametrize("boost, age, expected", [
        (10.0, 9.999, False), (10.0, 10.0, True), (10.0, 50.0, True), (0.0, 1e9, False), (-1.0, 5.0, False)])
    def test_is_boosted(self, boost, age, expected):
        w = load_balancer._Waiter(None, [], 0, None, 100.0, boost)
        assert w.is_boosted(100.0 + age) is expected


class TestGlobalsReadAtUse:
    def test_reassigned_global_takes_effect(self, monkeypatch, lb):
        assert lb.queue_enabled() is False
        monkeypatch.setattr(load_balancer, "QUEUE_ENABLED", True)
        for mode in ("superfast", "hybrid", "max_concurrency", "queue_all"):
            lb.set_routing_mode(mode)
            assert lb.queue_enabled() is True

    @pytest.mark.parametrize("name, call", [
        ("QUEUE_ENABLED", lambda lb: lb.queue_enabled()),
        ("DEFAULT_ROUTING_MODE", lambda lb: load_balancer.LoadBalancer()),
        ("normalize_routing_mode", lambda lb: lb.set_routing_mode("hybrid")),
        ("logger", lambda lb: (lb.increment(1), lb.force_clear(1))),
        ("deque", lambda lb: load_balancer.LoadBalancer()),
        ("os", lambda lb: load_balancer._env_int("X", 1)),
    ])
    def test_deleted_global_raises_name_error(self, monkeypatch, lb, name, call):
        monkeypatch.delattr(load_balancer, name)
        with pytest.raises(NameError) as info:
            call(lb)
        assert str(info.value) == f"name '{name}' is not defined"
        assert info.value.name == name

    def test_replacement_logger_is_used(self, monkeypatch, lb):
        calls = []

        class Recorder:
            def info(self, *args):
                calls.append(("info", args))

            def warning(self, *args):
                calls.append(("warning", args))

        monkeypatch.setattr(load_balancer, "logger", Recorder())
        lb.set_routing_mode("hybrid")
        lb.increment(3)
        lb.force_clear(3)
        assert calls == [("info", ("Routing mode: %s -> %s", "superfast", "hybrid")),
                         ("warning", ("Force-cleared inflight=%d for server %s", 1, 3))]


ENV_SCRIPT = """
import json, math, load_balancer as m
names = ["QUEUE_ENABLED", "QUEUE_TTL_SEC", "SUPERFAST_PER_SERVER_CAP", "IMAGE_TOKEN_COST",
         "HYBRID_RATE_WINDOW_SEC", "HYBRID_HOT_EXIT_RATIO", "QUEUE_ALL_DEPTH_MULTIPLIER"]
print(json.dumps({n: repr(getattr(m, n)) for n in names}))
"""


def _import_with_env(env):
    import json
    import os
    full = {k: v for k, v in os.environ.items() if not k.startswith("VARNEL_LB_")}
    full.update(env)
    out = subprocess.run([sys.executable, "-c", ENV_SCRIPT], env=full, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


@pytest.mark.parametrize("env, expected", [
    ({}, {"QUEUE_ENABLED": "False", "QUEUE_TTL_SEC": "30.0", "SUPERFAST_PER_SERVER_CAP": "4",
          "IMAGE_TOKEN_COST": "2048"}),
    ({"VARNEL_LB_QUEUE_ENABLED": " TRUE ", "VARNEL_LB_QUEUE_TTL_SEC": "45", "VARNEL_LB_SUPERFAST_CAP": " 8 ",
      "VARNEL_LB_IMAGE_TOKENS": "512"},
     {"QUEUE_ENABLED": "True", "QUEUE_TTL_SEC": "45.0", "SUPERFAST_PER_SERVER_CAP": "8", "IMAGE_TOKEN_COST": "512"}),
    ({"VARNEL_LB_QUEUE_ENABLED": "enabled", "VARNEL_LB_QUEUE_TTL_SEC": "1e2", "VARNEL_LB_SUPERFAST_CAP": "1_0",
      "VARNEL_LB_HYBRID_WINDOW_SEC": "-inf", "VARNEL_LB_HYBRID_HOT_EXIT_RATIO": "NaN"},
     {"QUEUE_ENABLED": "False", "QUEUE_TTL_SEC": "100.0", "SUPERFAST_PER_SERVER_CAP": "10",
      "HYBRID_RATE_WINDOW_SEC": "-inf", "HYBRID_HOT_EXIT_RATIO": "nan"}),
    ({"VARNEL_LB_QUEUE_ENABLED": "   ", "VARNEL_LB_QUEUE_TTL_SEC": "thirty", "VARNEL_LB_SUPERFAST_CAP": "8.0",
      "VARNEL_LB_QUEUE_ALL_DEPTH_MULTIPLIER": "0x10"},
     {"QUEUE_ENABLED": "False", "QUEUE_TTL_SEC": "30.0", "SUPERFAST_PER_SERVER_CAP": "4",
      "QUEUE_ALL_DEPTH_MULTIPLIER": "1000"}),
])
def test_environment_is_read_at_import(env, expected):
    got = _import_with_env(env)
    for name, value in expected.items():
        assert got[name] == value, name
