"""Differential run: a plain balancer and one whose every method is a Python override.

A subclass that overrides each method (public and internal) with a wrapper around
the base implementation makes every internal call go through attribute lookup on
`self`. The same seeded sequence of operations is applied to both balancers in one
event loop; after every step the step's result, the log records it emitted, the
whole instance state and the outcomes of the parked tasks must be identical.
"""
import asyncio
import contextlib
import inspect
import logging
import random
from types import SimpleNamespace

import pytest

import load_balancer as m
from tests.helpers import by_name

STEPS = 400
DRIVE = 8  # event-loop turns after each step: enough for any woken or cancelled wait to settle

LEASE_DUNDERS = {"__enter__", "__exit__", "__aenter__", "__aexit__"}


ByNameBalancer = by_name(m.LoadBalancer)
ByNameLease = by_name(m.InflightLease, LEASE_DUNDERS)
ByNameWaiter = by_name(m._Waiter)

SERVERS = [
    {"id": 1, "weight": 3, "max_concurrency": 2, "max_input_tokens": 4096},
    {"id": 2, "weight": 1, "max_concurrency": 1},
    {"id": 3, "weight": 2.5, "max_concurrency": 0, "max_input_tokens": 8192},
    {"id": 4, "weight": 0, "max_concurrency": 3},  # drained
    {"id": 5, "max_concurrency": 2.9, "max_input_tokens": 4096},  # no weight: drained
    {"id": 6, "weight": 1, "max_input_tokens": 1000},  # no configured cap
]
NO_ID = {"weight": 1, "max_concurrency": 1}  # malformed: raises KeyError where the id is read
IDS = [s["id"] for s in SERVERS]
POOLS = [("m1", frozenset({1}), "fast"), ("m1", frozenset({10, 2}), "slow"), ("m2", frozenset(), "fast")]
ALGOS = [None, None, "least_connections", "sticky_session", "sticky_session", "weighted_round_robin", "bogus"]
MODES = ["superfast", "hybrid", "max_concurrency", "queue_all", "  HYBRID ", None, "bogus"]
REASONS = ["none", "queue_full", "too_large", "at_capacity", "custom"]
KNOBS = {
    "SUPERFAST_PER_SERVER_CAP": [0, 1, 2, 4],
    "HYBRID_INFLIGHT_THRESHOLD": [1, 2, 3, 10],
    "HYBRID_RATE_THRESHOLD": [0.5, 10.0, 1e9, 1e9],
    "HYBRID_RATE_WINDOW_SEC": [0.0, 1.0, 5.0],
    "HYBRID_HOT_EXIT_RATIO": [-1.0, 0.0, 0.8, 1.0, 1.0, 1.5],
    "QUEUE_ENABLED": [True] * 5 + [False],
    # The slot wait times out on the event loop's own clock: 0 and below expire at once, the rest never here.
    "QUEUE_TTL_SEC": [30.0, 30.0, 30.0, 0.0, -1.0],
    "QUEUE_ALL_TTL_SEC": [600.0, 0.0],
    "QUEUE_MAX_DEPTH_MULTIPLIER": [0, 4, 4],
    "QUEUE_ALL_DEPTH_MULTIPLIER": [1, 1000],
    "QUEUE_DEADLINE_BOOST_SEC": [0.0, 1.0, 2.0, 10.0],
    "POOL_LRU_TTL_SEC": [300.0, 5.0],
    "DEFAULT_ROUTING_MODE": ["superfast", "hybrid"],
}


def cands(r, lo=0, hi=4):
    picked = r.sample(SERVERS, r.randint(lo, hi))
    return picked + [NO_ID] if r.random() < 0.03 else picked


def labelled(run, label):
    run.__qualname__ = label  # names the step in a failure message
    return run


def call(name, *args, **kwargs):
    return labelled(lambda side: getattr(side.lb, name)(*args, **kwargs), f"{name}{args}{kwargs or ''}")


def select(r, pool=None, wrr=False):
    kw = {"algorithm": None if wrr else r.choice(ALGOS), "estimated_tokens": r.choice([0, 5000])}
    if kw["algorithm"] == "sticky_session" or r.random() < 0.1:
        kw["sticky_key"] = r.choice([None, "", "user-1", "user-2", "sess-9"])
    if not wrr and r.random() < 0.1:
        kw["force_server_id"] = r.choice(IDS + [99])
    if r.random() < 0.3:
        kw["sin_binned"] = set(r.sample(IDS, r.randint(0, 2)))
    return call("select", pool or r.choice(POOLS), cands(r), **kw)


def contended_select(r, env):
    """Two round-robin picks of one pool meet at its lock."""
    pool = r.choice(POOLS)
    first, second = select(r, pool, wrr=True), select(r, pool, wrr=True)

    async def run(side):
        lock = side.lb._lock_for(pool)
        await lock.acquire()
        side.tasks.append(asyncio.ensure_future(first(side)))
        await asyncio.sleep(0)  # the first pick now waits for the lock
        lock.release()
        return await second(side)  # arrives before the woken first pick has run
    return run


def open_lease(r, env):
    sid, use_async = r.choice(IDS), r.random() < 0.5

    async def run(side):
        stack, lease = contextlib.AsyncExitStack(), side.lease_cls(side.lb, sid)
        side.leases.append((lease, stack))
        return await stack.enter_async_context(lease) if use_async else stack.enter_context(lease)
    return run


def close_lease(r, env):
    u, release = r.random(), r.random() < 0.4

    async def run(side):
        if side.leases:
            i = int(u * len(side.leases))
            if release:  # the later exit of the scope must not decrement again
                return side.leases[i][0].release()
            return await side.leases.pop(i)[1].aclose()
    return run


def wait(r, env):
    args = (r.choice(POOLS), cands(r, 1, 2), r.choice([0, 10, 500, 5000]))
    sin_binned = r.choice([None, set(), {r.choice(IDS)}])

    def run(side):
        side.tasks.append(asyncio.ensure_future(side.lb.wait_for_slot(*args, sin_binned=sin_binned)))
    return run


def free_parked(r, env):
    """Decrement a backend that has parked waiters (the state is the same on both sides)."""
    u = r.random()

    def run(side):
        parked = list(side.lb._waiters)
        return side.lb.decrement(parked[int(u * len(parked))]) if parked else None
    return run


def cancel(r, env):
    """Cancels one of the pending tasks (a parked slot wait whose client went away)."""
    u = r.random()

    def run(side):
        pending = [t for t in side.tasks if not t.done()]
        if pending:
            pending[int(u * len(pending))].cancel()
    return run


def advance(r, env):
    """Moves the shared clock, now and then past the pool idle limit."""
    seconds = m.POOL_LRU_TTL_SEC + 1 if r.random() < 0.03 else r.choice([0.0, 0.0004, 0.05, 0.3, 1.0, 2.5, 6.0])
    env.clock.advance(seconds)
    return labelled(lambda side: None, f"clock + {seconds}")


def knob(r, env):
    """Sets a module knob, seen by both balancers."""
    name = r.choice(sorted(KNOBS))
    value = r.choice(KNOBS[name])
    env.monkeypatch.setattr(m, name, value)
    return labelled(lambda side: None, f"{name} = {value}")


OPS = [
    (14, lambda r, env: select(r)),
    (2, contended_select),
    (2, lambda r, env: call("filter_by_fit", cands(r), r.choice([0, -1, 1000, 4096, 5000, 9000]))),
    (2, lambda r, env: call("effective_cap_for", r.choice(SERVERS), r.choice([None, cands(r)]),
                            r.choice([None] + POOLS))),
    (1, lambda r, env: call("_recent_dispatch_rate", r.choice([None] + POOLS))),
    (10, lambda r, env: call("increment", r.choice(IDS))),
    (5, lambda r, env: call("decrement", r.choice(IDS + [99]))),
    (1, lambda r, env: call("get_inflight", r.choice(IDS + [99]))),
    (2, lambda r, env: call("force_clear", r.choice(IDS + [99]))),
    (1, lambda r, env: call("note_reject", r.choice(REASONS))),
    (1, lambda r, env: call("snapshot")),
    (1, lambda r, env: call("prometheus_text")),
    (1, lambda r, env: call("_evict_stale_pools")),
    (2, lambda r, env: call("set_routing_mode", r.choice(MODES))),
    (2, lambda r, env: call("set_limit", r.choice(IDS), r.choice([0, 1, 2, 5]),
                            valid_until=r.choice([None, None, env.clock.now - 1.0, env.clock.now + 3.0]))),
    (1, lambda r, env: call("clear_limit", r.choice(IDS + [99]))),
    (5, open_lease),
    (5, close_lease),
    (12, wait),
    (4, free_parked),
    (1, cancel),
    (6, advance),
    (4, knob),
]


def norm(x):
    """Comparable form of a result: records by identity, exact types and values elsewhere."""
    if isinstance(x, dict) and any(x is s for s in SERVERS + [NO_ID]):
        return ("record", x.get("id"), id(x))
    if isinstance(x, m.InflightLease):
        return ("lease", x.server_id, x._released)
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [norm(v) for v in x])
    if isinstance(x, dict):
        return ("dict", [(k, norm(v)) for k, v in x.items()])
    return (type(x).__name__, x)


def outcome(task):
    if not task.done() or task.cancelled():
        return "cancelled" if task.done() else "pending"
    return ("raised", repr(task.exception())) if task.exception() else norm(task.result())


class Side:
    def __init__(self, lb_cls, lease_cls, waiter_cls):
        self.lb, self.lease_cls, self.waiter_cls = lb_cls(), lease_cls, waiter_cls
        self.tasks, self.leases, self.numbers = [], [], {}  # numbers: id(waiter) -> (waiter, request number)

    def state(self):
        lb, num = self.lb, lambda w: self.numbers.get(id(w), (None, "?"))[1]
        items = lambda d: [(k, norm(v)) for k, v in d.items()]
        return {
            "attrs": list(vars(lb)),
            "inflight": items(lb.inflight),
            "_wrr": [(k, items(v)) for k, v in lb._wrr.items()],
            "_locks": [(k, lock.locked()) for k, lock in lb._locks.items()],
            "_pool_last_access": items(lb._pool_last_access),
            "_waiters": [(k, type(dq).__name__, [num(w) for w in dq]) for k, dq in lb._waiters.items()],
            "_all_waiters": [(num(w), w.pool_key, norm(w.candidates), w.estimated_tokens, w.queued_at,
                              w.boost_after_sec, w.future.done()) for w in lb._all_waiters],
            "dispatch_counts": items(lb.dispatch_counts),
            "last_dispatch_ts": items(lb.last_dispatch_ts),
            "reject_counts": items(lb.reject_counts),
            "queue_wait_samples": (norm(list(lb.queue_wait_samples)), lb.queue_wait_samples.maxlen),
            "_routing_mode": lb._routing_mode,
            "_pool_dispatch_windows": [(k, norm(list(d)), d.maxlen) for k, d in lb._pool_dispatch_windows.items()],
            "_pool_hot_state": items(lb._pool_hot_state),
            "held_slots": items(lb.held_slots),
            "limits": items(lb.limits),
            "tasks": [outcome(t) for t in self.tasks],
            "leases": [lease._released for lease, _ in self.leases],
        }

    async def step(self, action, caplog):
        m._Waiter = self.waiter_cls  # waiters built during this balancer's step are of its own class
        start = len(caplog.records)
        try:
            result = action(self)
            result = norm(await result if inspect.isawaitable(result) else result)
        except Exception as exc:
            result = ("raised", type(exc).__name__, str(exc))
        for _ in range(DRIVE):
            await asyncio.sleep(0)
        for w in self.lb._all_waiters:  # a newly parked waiter belongs to the latest slot wait
            self.numbers.setdefault(id(w), (w, len(self.tasks) - 1))
        logs = [(rec.levelno, rec.msg, rec.args) for rec in caplog.records[start:] if rec.name == "load_balancer"]
        return result, logs, self.state()


@pytest.mark.parametrize("seed", range(10))
def test_by_name_path_matches_plain(seed, clock, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, logger="load_balancer")
    monkeypatch.setattr(m, "_Waiter", m._Waiter)  # each step installs its balancer's class; restored afterwards
    r = random.Random(seed)
    for name in sorted(KNOBS):
        monkeypatch.setattr(m, name, r.choice(KNOBS[name]))
    env = SimpleNamespace(clock=clock, monkeypatch=monkeypatch)
    draws, weights = [d for _, d in OPS], [w for w, _ in OPS]
    cancel_all = labelled(lambda side: [t.cancel() for t in side.tasks], "cancel every task")

    async def main():
        sides = [Side(m.LoadBalancer, m.InflightLease, m._Waiter), Side(ByNameBalancer, ByNameLease, ByNameWaiter)]
        for i in range(STEPS + 1):
            action = (call("set_routing_mode", MODES[seed % 4]) if i == 0 else cancel_all if i == STEPS
                      else r.choices(draws, weights)[0](r, env))
            plain, named = [await side.step(action, caplog) for side in sides]
            assert named == plain, f"seed {seed}, step {i}: {action.__qualname__}"

    asyncio.run(main())
