"""What a decision is using stays alive, and it reads and writes where the steps do.

A dict or set look-up compares the probe with every stored key of the same
hash that is not the very same object, and a comparison may run Python code:
that code can drop a table a native decision is reading, replace one of the
balancer's attributes, or use another balancer. No hostile caller is needed
for the collision itself (a frozen dataclass used as a pool key hashes like
the tuple of its fields); the keys below make the comparison do something.

Each scenario runs on a plain balancer (the native decision), on a by-name
one (the steps) and on the module written in plain Python
(bench/reference.py, the definition of the behaviour): results and final
state must be the same.

Marked tests fail today: `xfail(run=False)` where the plain balancer uses
freed memory (a crash, or an AddressSanitizer report under
scripts/sanitize.sh), a strict `xfail` where it merely computes something
else.
"""
import asyncio
import sys
import time
from collections import deque

import pytest

import load_balancer as m
from bench import reference as ref
from tests.helpers import POOL, ByNameBalancer, ByNameWaiter, assert_native, server

IMPLS = {"plain": m.LoadBalancer, "by_name": ByNameBalancer, "reference": ref.LoadBalancer}
LEASES = {"plain": m.InflightLease, "by_name": m.InflightLease, "reference": ref.InflightLease}
PLAIN_TYPES = (int, float, str, bool, tuple, frozenset, type(None))

USES_FREED_MEMORY = "the native decision reads a table that a comparison freed"


class Collider:
    """A key that hashes like `like` and equals nothing else. Once armed,
    each comparison from the `skip + 1`-th on runs `effect()` (tables are
    filled first: filling one compares its keys too)."""

    def __init__(self, like):
        self._hash = hash(like)
        self.effect = None

    def arm(self, effect, skip=0):
        self.effect, self.skip, self.compared = effect, skip, 0
        return self

    def __hash__(self):
        return self._hash

    def __eq__(self, other):
        if self.effect is not None:
            self.compared += 1
            if self.compared > self.skip:
                self.effect()
        return False


def once(fn):
    done = []

    def run():
        if not done:
            done.append(True)
            fn()
    return run


def label(key):
    """A key as compared across balancers: plain values as they are, others
    by their type's name (nothing is compared with them)."""
    return key if isinstance(key, PLAIN_TYPES) else type(key).__name__


def keyed(table):
    return [(label(k), v) for k, v in table.items()]


def state(lb):
    got = _state(lb)
    if MASK_TIMES:
        for name in TIMED:
            got[name] = "times"
    return got


def _state(lb):
    return {
        "inflight": keyed(lb.inflight),
        "_wrr": [(label(k), keyed(v)) for k, v in lb._wrr.items()],
        "_pool_last_access": keyed(lb._pool_last_access),
        "_pool_dispatch_windows": [(k, list(w)) for k, w in keyed(lb._pool_dispatch_windows)],
        "_pool_hot_state": keyed(lb._pool_hot_state),
        "_waiters": [(k, len(dq)) for k, dq in keyed(lb._waiters)],
        "_all_waiters": len(lb._all_waiters),
        "dispatch_counts": keyed(lb.dispatch_counts),
        "last_dispatch_ts": keyed(lb.last_dispatch_ts),
        "reject_counts": keyed(lb.reject_counts),
        "queue_wait_samples": list(lb.queue_wait_samples),
        "held_slots": keyed(lb.held_slots),
    }


def same_everywhere(results):
    """The result every balancer gave, the plain-Python module's."""
    differ = [name for name, got in results.items() if got != results["reference"]]
    assert not differ, f"{differ} differ from the plain-Python module: {results}"
    return results["reference"]


class InterpretersClock:
    """Stands for the interpreter's own clock, which the native decisions read
    once per decision: `now` is its reading when the test starts."""

    def __init__(self):
        self.now = time.monotonic()


TIMED = ("_pool_last_access", "_pool_dispatch_windows", "last_dispatch_ts", "queue_wait_samples")


@pytest.fixture(params=["replaced", "interpreter"])
def both_clocks(request, monkeypatch):
    """The hand-moved clock, read by the plain-Python module too; or the
    interpreter's own clock, whose readings differ from one balancer to the
    next (the times in the state are then left out of the comparison)."""
    if request.param == "interpreter":
        monkeypatch.setattr(sys.modules[__name__], "MASK_TIMES", True)
        return InterpretersClock()
    clock = request.getfixturevalue("clock")
    monkeypatch.setattr(ref, "time", clock)
    return clock


MASK_TIMES = False


@pytest.fixture
def queue_on(monkeypatch):
    for mod in (m, ref):
        monkeypatch.setattr(mod, "QUEUE_ENABLED", True)


def run_all(scenario):
    """`scenario(name, cls)` on each balancer; the result, the same for all."""
    return same_everywhere({name: scenario(name, cls) for name, cls in IMPLS.items()})


# ---- a. the round-robin pick's weight state ---------------------------------------

def drop_pool_weights(lb):
    lb._wrr.pop(POOL, None)


def replace_weight_table(lb):
    lb._wrr = {}


@pytest.mark.parametrize(
    "where, effect",
    [
        pytest.param("weights", drop_pool_weights),
        ("weights", replace_weight_table),
        ("pools", drop_pool_weights),
        ("pools", replace_weight_table),
    ],
    ids=["weights-dropped", "weights-table-replaced", "pools-dropped", "pools-table-replaced"],
)
def test_round_robin_pick_keeps_the_weights_it_reads(both_clocks, where, effect):
    """A key that hashes like id 1 among the pool's weights, or like the pool
    key among the pools, whose comparison drops the pool's weights or
    replaces the table of weights while the pick reads them."""
    cands = [server(1, 1), server(2, 3)]

    def scenario(name, cls):
        lb = cls()

        async def main():
            await lb.select(POOL, cands)  # the pool's lock exists from now on
            key = Collider(1 if where == "weights" else POOL)
            if where == "weights":
                lb._wrr[POOL] = {key: 0.0, 1: 0.5, 2: -0.5}
            else:
                lb._wrr = {key: {}, POOL: {1: 0.5, 2: -0.5}}
            key.arm(once(lambda: effect(lb)))
            first = await lb.select(POOL, cands)
            key.effect = None
            second = await lb.select(POOL, cands)
            return first["id"], second["id"]

        return asyncio.run(main()), state(lb)

    run_all(scenario)


# ---- b. the capacity gate's dispatch window --------------------------------------------

HOT_RECORDS = [server(1, 1, max_concurrency=12), server(2, 3, max_concurrency=12)]


def hot_window(cls, now):
    """A hybrid balancer whose pool's window holds three stale dispatches and
    a rate of 40 a second; 7 requests in flight (2 on backend 1, 5 on 2): hot,
    the caps are 12 and both backends have a free slot; cold, they are 4 and
    only backend 1 has."""
    lb = cls()
    lb.set_routing_mode("hybrid")
    lb.inflight.update({1: 2, 2: 5})
    lb._pool_dispatch_windows[POOL] = deque([now - 60.0] * 3 + [now - 0.5] * 20, maxlen=4096)
    return lb


def drop_window(lb):
    lb._pool_dispatch_windows.pop(POOL, None)


def test_window_dropped_by_the_hot_state_lookup(both_clocks):
    """Reading the pool's hot state compares a key that hashes like the pool
    key, which drops the pool's dispatch window: the first backend's gate
    finds the pool hot, the second's finds no window and the pool cold."""
    def scenario(name, cls):
        lb = hot_window(cls, both_clocks.now)
        lb._pool_hot_state[Collider(POOL).arm(lambda: drop_window(lb))] = False
        got = asyncio.run(lb.select(POOL, HOT_RECORDS))
        return got["id"], state(lb)

    assert run_all(scenario)[0] == 1


def test_window_dropped_by_the_sin_bin_test(both_clocks):
    """The sin-bin set holds an element that hashes like id 1: testing the
    first backend compares it, which drops the pool's dispatch window before
    any rate is read (the pool is cold)."""
    def scenario(name, cls):
        lb = hot_window(cls, both_clocks.now)
        sin_binned = {Collider(1).arm(lambda: drop_window(lb))}
        got = asyncio.run(lb.select(POOL, HOT_RECORDS, sin_binned=sin_binned))
        return got["id"], state(lb)

    assert run_all(scenario)[0] == 1


def test_window_dropped_by_the_waiter_lookup_of_an_admission(both_clocks, queue_on):
    """The waiter table holds a key that hashes like id 1. From its second
    comparison on (parking the request on backend 1), comparing it drops the
    pool's dispatch window: the admission finds the pool cold."""
    def scenario(name, cls):
        lb = hot_window(cls, both_clocks.now)
        lb._waiters[Collider(1).arm(lambda: drop_window(lb), skip=1)] = deque()
        got, reason, waited = asyncio.run(lb.wait_for_slot(POOL, HOT_RECORDS, 10))
        return (got["id"], reason, "seconds" if MASK_TIMES else waited), state(lb)

    assert run_all(scenario)[0] == (1, "ok", "seconds" if MASK_TIMES else 0.0)


# ---- c. the in-flight counts replaced during a count ----------------------------------

@pytest.mark.parametrize("how", ["enter", "release"])
def test_count_lands_in_the_table_read_at_its_use(how):
    """A key of the counts that hashes like id 1 replaces the counts when
    compared: the new count goes to the table the store reads."""
    def scenario(name, cls):
        lb = cls()
        key = Collider(1)
        lb.inflight[key] = 0
        lb.inflight[1] = 2
        key.arm(once(lambda: setattr(lb, "inflight", {1: 7})))
        lease = LEASES[name](lb, 1)
        lease.__enter__() if how == "enter" else lease.release()
        return keyed(lb.inflight)

    assert run_all(scenario) == ([(1, 3)] if how == "enter" else [(1, 1)])


# ---- d. another balancer used during a count ---------------------------------------

def test_wake_up_override_is_called_when_a_comparison_uses_another_balancer():
    """Comparing a key of the counts increments another balancer's count;
    the decrement of the lease's exit still calls the instance's own
    `_wake_one`."""
    def scenario(name, cls):
        lb, other = cls(), cls()
        woken = []
        lb._wake_one = woken.append
        key = Collider(1)
        lb.inflight[key] = 0
        lb.inflight[1] = 1
        key.arm(lambda: other.increment(5))
        with LEASES[name](lb, 1):
            pass
        return woken, keyed(lb.inflight)

    assert run_all(scenario) == ([1], [("Collider", 0), (1, 1)])


# ---- e. a clock that moves at every reading -------------------------------------------

class AdvancingClock:
    """A `time` module whose monotonic clock moves on 0.3 s at every reading."""

    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        self.now += 0.3
        return self.now

    def time(self):
        return 1_700_000_000.0 + self.now


def on_a_moving_clock(monkeypatch, kind, scenario):
    """`scenario(lb)` on each balancer, each with a fresh moving clock (and
    the by-name one with its waiter class): the same results and state, and
    the plain balancer decided natively."""
    results, waiter_class = {}, m._Waiter
    for name, cls in IMPLS.items():
        monkeypatch.setattr(ref if name == "reference" else m, "time", AdvancingClock())
        monkeypatch.setattr(m, "_Waiter", ByNameWaiter if name == "by_name" else waiter_class)
        lb = cls()
        with assert_native(kind, lb):
            got = scenario(lb)
        results[name] = got, state(lb)
    same_everywhere(results)


def aged_window():
    # Dispatches the moving clock makes stale one after the other (5 s window).
    return deque([995.2, 995.5, 995.8, 996.1, 999.0], maxlen=4096)


@pytest.mark.parametrize("mode", ["superfast", "hybrid", "max_concurrency"])
@pytest.mark.parametrize("algorithm", ["weighted_round_robin", "least_connections", "sticky_session"])
def test_select_on_a_moving_clock(monkeypatch, mode, algorithm):
    cands = [server(1, 8, max_concurrency=8), server(2, 1, max_concurrency=1), server(3, 2, max_concurrency=6)]

    def scenario(lb):
        lb.set_routing_mode(mode)
        lb.inflight.update({1: 5, 2: 1, 3: 3})
        lb._pool_dispatch_windows[POOL] = aged_window()

        async def main():
            return [(await lb.select(POOL, cands, algorithm=algorithm, sticky_key="user-4"))["id"] for _ in range(4)]

        return asyncio.run(main())

    on_a_moving_clock(monkeypatch, "select", scenario)


@pytest.mark.parametrize("mode", ["hybrid", "max_concurrency"])
def test_slot_wait_admitted_at_once_on_a_moving_clock(monkeypatch, queue_on, mode):
    def scenario(lb):
        lb.set_routing_mode(mode)
        lb.inflight.update({1: 4})
        lb._pool_dispatch_windows[POOL] = aged_window()
        got = asyncio.run(lb.wait_for_slot(POOL, [server(1, max_concurrency=8), server(2, max_concurrency=2)], 10))
        return got[0]["id"], got[1:]

    on_a_moving_clock(monkeypatch, "wait_for_slot", scenario)


@pytest.mark.parametrize("mode", ["hybrid", "max_concurrency"])
def test_slot_wait_parked_then_woken_on_a_moving_clock(monkeypatch, queue_on, mode):
    records = [server(1, max_concurrency=1), server(2, max_concurrency=1)]

    def scenario(lb):
        lb.set_routing_mode(mode)
        lb.inflight.update({1: 1, 2: 1})
        lb._pool_dispatch_windows[POOL] = aged_window()

        async def main():
            task = asyncio.create_task(lb.wait_for_slot(POOL, records, 10))
            await asyncio.sleep(0)
            assert len(lb._all_waiters) == 1
            lb.decrement(2)
            got = await task
            return got[0]["id"], got[1:]

        return asyncio.run(main())

    on_a_moving_clock(monkeypatch, "wait_for_slot", scenario)


def test_snapshot_on_a_moving_clock(monkeypatch):
    other = ("model-b", frozenset({2, 3}), "slow")

    def scenario(lb):
        lb.set_routing_mode("hybrid")
        lb.inflight.update({1: 2, 2: 1})
        for pk, last in ((POOL, 999.0), (other, 990.0)):
            lb._wrr[pk] = {1: 0.5, 2: -0.5}
            lb._pool_last_access[pk] = last
            lb._pool_dispatch_windows[pk] = aged_window()
        lb._pool_hot_state[POOL] = True
        lb.queue_wait_samples.extend([0.25, 0.5])
        return lb.snapshot()

    on_a_moving_clock(monkeypatch, "snapshot", scenario)


# ---- f. a pool's in-flight total in the snapshot ----------------------------------------

NAN, OTHER_NAN = float("nan"), float("nan")


@pytest.mark.parametrize(
    "inflight, weights, total",
    [
        ({1: 3, 2: 4, 9: 1}, {1: 0.0, 2: 0.0}, 7),
        ({1: 3}, {1.0: 0.0}, 3),  # equal ids: 1 and 1.0
        ({1.0: 3}, {1: 0.0}, 3),
        ({1: 3}, {True: 0.0}, 3),
        ({OTHER_NAN: 2, 1: 3}, {NAN: 0.0, 1: 0.0}, 3),  # two NaN objects: not equal
        # The same NaN object: an id counts when it equals (==) a key, and a
        # NaN equals nothing, itself included.
        ({NAN: 2, 1: 3}, {NAN: 0.0, 1: 0.0}, 3),
    ],
    ids=["ints", "int-float", "float-int", "int-bool", "distinct-nans", "same-nan"],
)
def test_pool_inflight_total_counts_the_members_of_the_weights(both_clocks, inflight, weights, total):
    def scenario(name, cls):
        lb = cls()
        lb.inflight.update(inflight)
        lb._wrr[POOL] = dict(weights)
        lb._pool_last_access[POOL] = both_clocks.now
        return lb.snapshot()["pools"]["model-a|1|fast"]["inflight_total"]

    assert run_all(scenario) == total
