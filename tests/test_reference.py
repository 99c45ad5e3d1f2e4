"""The plain-Python module kept with the benchmark behaves like the extension.

One seeded random run of operations is applied to an extension balancer and
to a plain-Python one in lockstep, under one hand-moved clock; after every
operation the results and the whole balancer state must be identical.
"""
import asyncio
import random

import pytest

import load_balancer as ext
from bench import reference as ref

POOLS = [
    ("chat-model", frozenset({1, 2}), "standard"),
    ("chat-model", frozenset({3}), "batch"),
    ("embed-model", frozenset(), "fast"),
]
MODES = ["superfast", "hybrid", "max_concurrency", "queue_all", " Hybrid", "bogus"]
ALGORITHMS = [None, "weighted_round_robin", "least_connections", "sticky_session", " Sticky_Session", "x"]
REASONS = ["at_capacity", "too_large", "none", "custom"]
TOKENS = [-5, 0, 100, 3000, 4096, 5000, 9000]
STEPS = [0.0, 0.0004, 0.02, 0.3, 1.5, 6.0, 10.0, 11.0, 300.0, 400.0]
# Malformed records: both sides must raise the same error.
ODD = [{"weight": 1}, {"id": 11, "weight": "2"}, {"id": 12, "weight": 1, "max_concurrency": "x"}]


class Clock:
    """Stands in for the `time` module of both implementations."""

    def __init__(self):
        self.now = 10_000.0

    def monotonic(self):
        return self.now

    def time(self):
        return 1_700_000_000.0 + self.now


def make_servers(rng, n=10):
    servers = []
    for sid in range(1, n + 1):
        rec = {"id": sid}
        if rng.random() < 0.9:
            rec["weight"] = rng.choice([1, 1, 2, 3, 0.5, 0, None, -1])
        if rng.random() < 0.9:
            rec["max_concurrency"] = rng.choice([1, 1, 2, 2, 3, 8, 0, None, -1, 2.7])
        if rng.random() < 0.7:
            rec["max_input_tokens"] = rng.choice([4096, 8192, 500, 0, None, -1, 4096.5])
        servers.append(rec)
    return servers


def state(lb):
    return {
        "inflight": list(lb.inflight.items()),
        "wrr": [(k, list(v.items())) for k, v in lb._wrr.items()],
        "locks": list(lb._locks),
        "last_access": list(lb._pool_last_access.items()),
        "waiters": [(sid, [w.estimated_tokens for w in dq]) for sid, dq in lb._waiters.items()],
        "all_waiters": [(w.pool_key, [s["id"] for s in w.candidates], w.queued_at, w.boost_after_sec)
                        for w in lb._all_waiters],
        "dispatch_counts": list(lb.dispatch_counts.items()),
        "last_dispatch_ts": list(lb.last_dispatch_ts.items()),
        "reject_counts": list(lb.reject_counts.items()),
        "samples": list(lb.queue_wait_samples),
        "mode": lb._routing_mode,
        "windows": [(k, list(v)) for k, v in lb._pool_dispatch_windows.items()],
        "hot": list(lb._pool_hot_state.items()),
        "held": list(lb.held_slots.items()),
    }


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:  # both sides must fail the same way
        return "error", type(e)


async def async_outcome(coro):
    try:
        return "ok", await coro
    except Exception as e:
        return "error", type(e)


def same(a, b):
    """Equal results, with server records compared by identity."""
    if isinstance(a, dict) and "id" in a:
        return a is b
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


async def run_sequence(seed, steps, clock):
    rng = random.Random(seed)
    servers = make_servers(rng)
    pool_lists = {pk: rng.sample(servers, rng.randint(2, len(servers))) for pk in POOLS}
    lbs = (ext.LoadBalancer(), ref.LoadBalancer())
    leases = []  # (extension lease, plain lease)
    tasks = []  # (extension wait, plain wait)
    parked = set()  # waits seen parked after their first turn
    woken = 0  # parked waits that ended later

    def candidates():
        if rng.random() < 0.7:
            return pool, pool_lists[pool]
        picked = rng.sample(servers, rng.randint(0, 5))
        if picked and rng.random() < 0.1:
            picked.append(picked[0])
        if rng.random() < 0.05:
            picked.insert(rng.randint(0, len(picked)), rng.choice(ODD))
        return pool, picked

    async def settle():
        nonlocal woken
        for _ in range(3):
            await asyncio.sleep(0)
        for pair in list(tasks):
            assert pair[0].done() == pair[1].done(), op
            if pair[0].done():
                assert same(pair[0].result(), pair[1].result()), op
                woken += pair in parked
                tasks.remove(pair)
        parked.update(tasks)

    for step in range(steps):
        pool = rng.choice(POOLS)
        op = rng.choices(
            ["tick", "mode", "select", "enter", "release", "fit", "wait", "reject", "snapshot", "prom", "clear",
             "cap", "ttl"],
            [10, 3, 25, 12, 12, 4, 8, 2, 3, 3, 1, 2, 1],
        )[0]
        results = []
        if op == "tick":
            clock.now += rng.choice(STEPS)
        elif op == "mode":
            mode = rng.choice(MODES)
            results = [outcome(lambda: lb.set_routing_mode(mode)) for lb in lbs]
        elif op == "select":
            pk, cands = candidates()
            kw = {"algorithm": rng.choice(ALGORITHMS), "estimated_tokens": rng.choice(TOKENS)}
            if rng.random() < 0.5:
                kw["sticky_key"] = rng.choice(["user-1", "user-2", "sess-42", "", None])
            if rng.random() < 0.1:
                kw["force_server_id"] = rng.randint(0, 11)
            if rng.random() < 0.2:
                kw["sin_binned"] = {s["id"] for s in rng.sample(servers, 3)}
            results = [await async_outcome(lb.select(pk, cands, **kw)) for lb in lbs]
            # As the proxy does: a lease on the pick, or a wait when nothing is free.
            if results[0][0] == "ok" and results[0][1] is not None and rng.random() < 0.8:
                sid = results[0][1]["id"]
                leases.append((ext.InflightLease(lbs[0], sid), ref.InflightLease(lbs[1], sid)))
                for lease in leases[-1]:
                    lease.__enter__()
            elif results[0] == ("ok", None) and rng.random() < 0.7:
                tokens = kw["estimated_tokens"]
                tasks.append(tuple(
                    asyncio.create_task(async_outcome(lb.wait_for_slot(pk, cands, tokens))) for lb in lbs
                ))
        elif op == "enter":
            sid = rng.choice(pool_lists[pool])["id"]
            pair = (ext.InflightLease(lbs[0], sid), ref.InflightLease(lbs[1], sid))
            if rng.random() < 0.5:
                results = [outcome(lease.__enter__) for lease in pair]
            else:
                results = [await async_outcome(lease.__aenter__()) for lease in pair]
            results = [(kind, value is lease) for (kind, value), lease in zip(results, pair)]
            leases.append(pair)
        elif op == "release" and leases:
            pair = rng.choice(leases)
            if rng.random() < 0.9:
                leases.remove(pair)
            how = rng.choice(["release", "exit", "aexit"])
            for lease in pair:
                if how == "release":
                    results.append(outcome(lease.release))
                elif how == "exit":
                    results.append(outcome(lambda: lease.__exit__(None, None, None)))
                else:
                    results.append(await async_outcome(lease.__aexit__(None, None, None)))
        elif op == "fit":
            pk, cands = candidates()
            tokens = rng.choice(TOKENS)
            results = [outcome(lambda: lb.filter_by_fit(cands, tokens)) for lb in lbs]
            assert results[0][0] == "error" or results[0][1] is not cands
        elif op == "wait":
            pk, cands = candidates()
            tokens = rng.choice(TOKENS)
            sin = {rng.choice(servers)["id"]} if rng.random() < 0.2 else None
            tasks.append(tuple(
                asyncio.create_task(async_outcome(lb.wait_for_slot(pk, cands, tokens, sin_binned=sin)))
                for lb in lbs
            ))
        elif op == "reject":
            reason = rng.choice(REASONS)
            results = [outcome(lambda: lb.note_reject(reason)) for lb in lbs]
        elif op == "snapshot":
            results = [outcome(lb.snapshot) for lb in lbs]
        elif op == "prom":
            results = [outcome(lb.prometheus_text) for lb in lbs]
        elif op == "clear":
            sid = rng.choice(servers)["id"]
            results = [outcome(lambda: lb.force_clear(sid)) for lb in lbs]
        elif op == "cap":
            s = rng.choice(servers)
            cands = rng.choice([None, pool_lists[pool]])
            pk = rng.choice([None, pool])
            results = [outcome(lambda: lb.effective_cap_for(s, cands, pk)) for lb in lbs]
        elif op == "ttl":  # a time-to-live of 0 times a parked wait out at once
            ttl = rng.choice([0.0, 30.0, 30.0])
            for mod in (ext, ref):
                mod.QUEUE_TTL_SEC = mod.QUEUE_ALL_TTL_SEC = ttl
        if results:
            assert same(results[0], results[1]), (step, op, results)
        await settle()
        assert state(lbs[0]) == state(lbs[1]), (step, op)

    assert woken >= 10
    for pair in tasks:
        for task in pair:
            task.cancel()
    await asyncio.gather(*(t for pair in tasks for t in pair), return_exceptions=True)
    assert state(lbs[0]) == state(lbs[1])
    assert lbs[0]._all_waiters == [] and lbs[0]._waiters == {}


@pytest.mark.parametrize("seed", range(3))
def test_extension_matches_plain_python(seed, monkeypatch):
    clock = Clock()
    for mod in (ext, ref):
        monkeypatch.setattr(mod, "time", clock)
        monkeypatch.setattr(mod, "QUEUE_ENABLED", True)
        monkeypatch.setattr(mod, "QUEUE_MAX_DEPTH_MULTIPLIER", 1)
        monkeypatch.setattr(mod, "QUEUE_TTL_SEC", 30.0)
        monkeypatch.setattr(mod, "QUEUE_ALL_TTL_SEC", 30.0)
        monkeypatch.setattr(mod, "SUPERFAST_PER_SERVER_CAP", 2)
        monkeypatch.setattr(mod, "HYBRID_INFLIGHT_THRESHOLD", 4)
        monkeypatch.setattr(mod, "HYBRID_RATE_THRESHOLD", 5000.0)
    asyncio.run(run_sequence(seed, 1000, clock))
