"""Smooth weighted round-robin, least-connections and the sticky lookup."""
import hashlib
import random

import pytest

import load_balancer

from tests.helpers import POOL, run, server

OTHER = ("model-b", frozenset({1, 2}), "batch")


def picks(lb, eligible, n, pool=POOL):
    async def go():
        return [(await lb._wrr_pick(pool, eligible))["id"] for _ in range(n)]

    return run(go())


# ---- smooth weighted round-robin ------------------------------------------------


@pytest.mark.parametrize(
    "eligible, expected",
    [
        ([server(1, 5), server(2, 1), server(3, 1)], [1, 1, 2, 1, 3, 1, 1] * 2),
        ([server(4), server(2)], [2, 4, 2, 4]),
        ([server(10, 2), server(20, 1)], [10, 20, 10, 10, 20, 10]),
        ([{"id": 1}, server(2, None), server(3, 0), server(4, "")], [1, 2, 3, 4]),
        ([server(1, "2.5"), server(2, 2.5)], [1, 2, 1, 2]),
        ([server(1), server(2), server(1)], [1, 2, 1]),  # a duplicate counts twice
    ],
)
def test_wrr_sequences(lb, clock, eligible, expected):
    assert picks(lb, eligible, len(expected)) == expected
    assert all(v == 0.0 and type(v) is float for v in lb._wrr[POOL].values())


def test_wrr_state_between_picks(lb, clock):
    a, b, c = server(1, 3), server(2, 2), server(3, 1)
    clock.now = 1234.5
    assert run(lb._wrr_pick(POOL, [a, b, c])) is a
    assert lb._wrr == {POOL: {1: -3.0, 2: 2.0, 3: 1.0}} and lb._pool_last_access == {POOL: 1234.5}
    picks(lb, [a, c], 1)  # b left out: its entry goes
    assert lb._wrr[POOL] == {1: 0.0, 3: -2.0}
    picks(lb, [a, b, c], 1)  # and it starts again from 0.0
    assert lb._wrr[POOL] == {1: -3.0, 2: 2.0, 3: -1.0}
    assert picks(lb, [a, b], 2, pool=OTHER) == [1, 2]  # pools are independent
    assert lb._wrr[POOL] == {1: -3.0, 2: 2.0, 3: -1.0}


@pytest.mark.parametrize(
    "eligible, exc, state_after",
    [
        ([server(1), {"weight": 1}], KeyError, {1: 1.0}),
        ([server(1), server(2, "heavy")], ValueError, {1: 1.0}),
        ([server("a"), server("b")], TypeError, {"a": 1.0, "b": 1.0}),
        ([server(2.5), server(1)], None, {2.5: 1.0, 1: -1.0}),  # float ids tie-break too
        ([], ValueError, {}),
    ],
)
def test_wrr_failures_release_lock(lb, clock, eligible, exc, state_after):
    if exc is None:
        run(lb._wrr_pick(POOL, eligible))
    else:
        with pytest.raises(exc):
            run(lb._wrr_pick(POOL, eligible))
    assert lb._wrr[POOL] == state_after
    assert not lb._lock_for(POOL).locked()


def test_prune_handles_non_int_keys(lb, clock):
    lb._wrr[POOL] = {1.0: 0.5, "stale": 3.0, 10**30: 1.0}
    picks(lb, [server(1), server(2)], 1)
    assert lb._wrr[POOL] == {1.0: -0.5, 2: 1.0}


def test_lock_protocol_on_any_lock_object(lb, clock):
    events = []

    class Lock:
        async def __aenter__(self):
            events.append("enter")
            if fail_enter:
                raise RuntimeError("refused")

        async def __aexit__(self, *exc):
            events.append(("exit", exc[0]))
            if fail_exit:
                raise RuntimeError("exit failed")
            return suppress

    lock = Lock()
    lock.__aenter__ = lambda: 1 / 0  # the protocol is looked up on the type
    lb._lock_for = lambda key: lock
    fail_enter = fail_exit = suppress = False
    assert run(lb._wrr_pick(POOL, [server(1)]))["id"] == 1
    with pytest.raises(KeyError):
        run(lb._wrr_pick(POOL, [{"weight": 1}]))
    suppress = True
    # A suppressed error goes on after the block, which returns the winner:
    # unknown when the pick failed before choosing one, known afterwards.
    # The suppressed error is no longer handled there: the new one chains to
    # what is handled around the pick.
    with pytest.raises(UnboundLocalError) as info:
        run(lb._wrr_pick(POOL, [{"weight": 1}]))
    assert info.value.__context__ is None

    async def pick_in_except_block():
        try:
            raise ValueError("outer")
        except ValueError:
            await lb._wrr_pick(POOL, [{"weight": 1}])

    with pytest.raises(UnboundLocalError) as info:
        run(pick_in_except_block())
    assert type(info.value.__context__) is ValueError
    del load_balancer.time  # the last step of the pick fails
    try:
        assert run(lb._wrr_pick(POOL, [server(1)]))["id"] == 1
    finally:
        load_balancer.time = clock
    fail_exit = True
    with pytest.raises(RuntimeError, match="exit failed") as info:
        run(lb._wrr_pick(POOL, [{"weight": 1}]))
    assert isinstance(info.value.__context__, KeyError)
    assert events == (["enter", ("exit", None)] + ["enter", ("exit", KeyError)] * 3
                      + ["enter", ("exit", NameError), "enter", ("exit", KeyError)])
    events.clear()
    fail_enter = True
    with pytest.raises(RuntimeError, match="refused"):
        run(lb._wrr_pick(POOL, [server(1)]))
    assert events == ["enter"]  # no exit when entering failed


@pytest.mark.parametrize(
    "lock, message",
    [
        (object(), "does not support the asynchronous context manager protocol"),
        (type("OnlyEnter", (), {"__aenter__": lambda self: None})(), r"missed __aexit__"),
        (
            type("Plain", (), {"__aenter__": lambda self: 5, "__aexit__": lambda self, *a: None})(),
            "received an object from __aenter__ that does not implement __await__: int",
        ),
    ],
)
def test_bad_lock_objects(lb, lock, message):
    lb._lock_for = lambda key: lock
    with pytest.raises(TypeError, match=message):
        run(lb._wrr_pick(POOL, [server(1)]))


# ---- least connections ----------------------------------------------------------


@pytest.mark.parametrize(
    "records, inflight, expected",
    [
        ([(3, 1), (1, 1), (2, 1)], {}, 1),
        ([(1, 2), (2, 1)], {1: 2, 2: 1}, 2),  # equal ratios: fewer in flight
        ([(1, 4), (2, 1)], {1: 3, 2: 1}, 1),  # 0.75 beats 1.0
        ([(1, -1), (2, 1)], {2: 50}, 2),  # negative weight scores infinity
        ([(1, -1), (2, "nan"), (3, -2)], {1: 3, 2: 1, 3: 1}, 2),  # all infinite: fewest, then smallest id
        ([(1, None), (2, 2)], {1: 1, 2: 1}, 2),  # a missing weight is 1.0
    ],
)
def test_least_connections(lb, records, inflight, expected):
    lb.inflight.update(inflight)
    assert lb._least_connections_pick([server(i, w) for i, w in records])["id"] == expected


@pytest.mark.parametrize(
    "eligible, inflight, exc",
    [
        ([server(1), {"weight": 1}], {}, KeyError),
        ([server(1), server(2, "x")], {}, ValueError),
        ([], {}, ValueError),
        ([server(1), server(2)], {1: "busy"}, TypeError),
    ],
)
def test_least_connections_errors(lb, eligible, inflight, exc):
    lb.inflight.update(inflight)
    with pytest.raises(exc):
        lb._least_connections_pick(eligible)


# ---- sticky lookup ----------------------------------------------------------------


def reference_score(key, sid):
    return int.from_bytes(hashlib.blake2b(f"{key}|{sid}".encode(), digest_size=8).digest(), "big")


def random_key(rng):
    alphabet = "abcXYZ019-_|/ éßλж中文🙂\u0301"
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))


def test_sticky_matches_hashlib(lb):
    rng = random.Random(7)
    for _ in range(400):
        ids = rng.sample([*range(-5, 200), 2**63, 2**70, -(2**64)], rng.randrange(1, 9))
        eligible = [server(i) for i in ids]
        key = random_key(rng)
        want = max(ids, key=lambda i: reference_score(key, i))
        assert lb._sticky_lookup(eligible, key)["id"] == want
        rng.shuffle(eligible)
        assert lb._sticky_lookup(eligible, key)["id"] == want
    for key, ids in [(5, [1, 2, 3]), ("k", ["a", "b", "é"]), ("k", [True, 2])]:  # f-string formatting
        want = max(ids, key=lambda i: reference_score(key, i))
        assert lb._sticky_lookup([server(i) for i in ids], key)["id"] == want


@pytest.mark.parametrize("length", [127, 128, 129, 255, 256, 257])
def test_sticky_matches_hashlib_around_block_boundaries(lb, length):
    # Materials ("key|id") of `length` UTF-8 bytes, about BLAKE2b's 128-byte blocks.
    rng = random.Random(length)
    ids = list(range(1, 10))  # "|1" to "|9": two bytes each
    for _ in range(20):
        key = ""
        while len(key.encode()) < length - 2:
            key += rng.choice("ab|-é中" if len(key.encode()) < length - 4 else "ab|-")
        assert len(f"{key}|1".encode()) == length
        want = max(ids, key=lambda i: reference_score(key, i))
        assert lb._sticky_lookup([server(i) for i in ids], key)["id"] == want


def test_sticky_moves_only_the_winners_keys(lb):
    eligible = [server(i) for i in range(1, 9)]
    rng = random.Random(3)
    for _ in range(50):
        key = random_key(rng)
        winner = lb._sticky_lookup(eligible, key)
        others = [s for s in eligible if s is not winner]
        assert lb._sticky_lookup(others[1:] + [winner], key) is winner
        assert lb._sticky_lookup(others, key) is max(others, key=lambda s: reference_score(key, s["id"]))


def test_sticky_edge_cases(lb):
    assert lb._sticky_lookup([], "k") is None
    a = server(1)
    assert lb._sticky_lookup([a, dict(a)], "k") is a
    with pytest.raises(KeyError):
        lb._sticky_lookup([a, {"weight": 1}], "k")
    with pytest.raises(UnicodeEncodeError):
        lb._sticky_lookup([a], "\ud800")
