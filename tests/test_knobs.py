"""Environment readers and name normalisers."""
import pytest

import load_balancer as m


@pytest.mark.parametrize("raw, expected", [
    (" TRUE ", True), ("yes", True), ("On", True), ("1", True),
    ("0", False), ("false", False), ("enabled", False), ("   ", False), ("\u00a0on\u2003", True),
])
def test_env_bool(monkeypatch, raw, expected):
    monkeypatch.setenv("LB_TEST_FLAG", raw)
    assert m._env_bool("LB_TEST_FLAG", "sentinel") is expected


def test_env_bool_unset_or_empty_gives_default(monkeypatch):
    monkeypatch.delenv("LB_TEST_FLAG", raising=False)
    sentinel = object()
    assert m._env_bool("LB_TEST_FLAG", sentinel) is sentinel
    assert m._env_bool("LB_TEST_FLAG") is False
    monkeypatch.setenv("LB_TEST_FLAG", "")
    assert m._env_bool("LB_TEST_FLAG", sentinel) is sentinel


@pytest.mark.parametrize("raw, expected", [
    (" 8 ", 8), ("1_0", 10), ("-3", -3), ("+7", 7), ("8.0", 4), ("abc", 4), ("", 4), ("0x10", 4), ("1e3", 4),
    ("\u0661\u0662", 12),  # int() accepts any Unicode digits
])
def test_env_int(monkeypatch, raw, expected):
    monkeypatch.setenv("LB_TEST_INT", raw)
    got = m._env_int("LB_TEST_INT", 4)
    assert got == expected and type(got) is int


@pytest.mark.parametrize("raw, expected", [
    ("45", 45.0), ("1e2", 100.0), ("inf", float("inf")), ("-Infinity", float("-inf")), ("thirty", 30.0),
    (" 1_000.5 ", 1000.5), ("", 30.0),
])
def test_env_float(monkeypatch, raw, expected):
    monkeypatch.setenv("LB_TEST_FLOAT", raw)
    got = m._env_float("LB_TEST_FLOAT", 30.0)
    assert got == expected and type(got) is float


def test_env_float_nan(monkeypatch):
    monkeypatch.setenv("LB_TEST_FLOAT", "nAn")
    got = m._env_float("LB_TEST_FLOAT", 30.0)
    assert got != got


def test_unset_number_converts_the_default(monkeypatch):
    monkeypatch.delenv("LB_TEST_INT", raising=False)
    assert m._env_float("LB_TEST_INT", 3) == 3.0 and type(m._env_float("LB_TEST_INT", 3)) is float
    with pytest.raises(TypeError):  # only ValueError falls back
        m._env_int("LB_TEST_INT", None)
    default = "not a number"
    assert m._env_int("LB_TEST_INT", default) is default


def test_readers_take_python_arguments():
    with pytest.raises(TypeError):
        m._env_int("X")
    with pytest.raises(TypeError):
        m._env_bool("X", False, True)
    assert m._env_int(name="LB_TEST_UNSET_VAR", default=9) == 9


class _Str(str):
    pass


@pytest.mark.parametrize("value, expected", [
    (None, "superfast"), ("", "superfast"), (5, "superfast"), (b"hybrid", "superfast"), ([], "superfast"),
    ("  Hybrid ", "hybrid"), ("QUEUE_ALL", "queue_all"), ("queue-all", "superfast"),
    (_Str(" max_concurrency"), "max_concurrency"),
])
def test_normalize_routing_mode(value, expected):
    got = m.normalize_routing_mode(value)
    assert got == expected and type(got) is str


@pytest.mark.parametrize("value, expected", [
    ("Sticky_Session", "sticky_session"), ("round_robin", "weighted_round_robin"), (None, "weighted_round_robin"),
    (" least_connections\n", "least_connections"),
])
def test_normalize_lb_algorithm(value, expected):
    assert m.normalize_lb_algorithm(value) == expected


def test_normalisers_read_defaults_at_call(monkeypatch):
    monkeypatch.setattr(m, "DEFAULT_ROUTING_MODE", "hybrid")
    assert m.normalize_routing_mode("bogus") == "hybrid"
    monkeypatch.setattr(m, "VALID_LB_ALGORITHMS", frozenset({"custom"}))
    assert m.normalize_lb_algorithm("CUSTOM") == "custom"


def test_normaliser_truth_test_errors_propagate():
    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError):
        m.normalize_routing_mode(Bad())
