"""A proxy in front of simulated inference backends, driven by load_balancer.

Self-contained and seeded: no network, no real backends. For each routing mode
the simulation sends a bursty mix of request bodies (chat with images,
completions, embeddings with token ids, rerank) through the same road a real
proxy takes:

    estimate_request_tokens -> filter_by_fit -> select -> (wait_for_slot)
    -> InflightLease around the upstream call

with the in-flight reaper running beside it. Partway through each run one
backend "crashes": the streams it was serving are abandoned without releasing
their leases, the proxy's health check sin-bins it, and the reaper clears its
orphaned in-flight count once the backend is gone from the running list.

Run:  python examples/proxy_sim.py [--requests N] [--seed S]
"""
import argparse
import asyncio
import logging
import random
import statistics
import time
from collections import Counter, defaultdict

import load_balancer as lbm

CHAT_POOL = ("chat-model", frozenset({1, 2}), "standard")
EMBED_POOL = ("embed-model", frozenset({3}), "standard")
RERANK_POOL = ("rerank-model", frozenset({3}), "standard")

# Simulated backends: id -> record, plus per-backend speed (seconds per 1k tokens).
CHAT_SERVERS = [
    {"id": 1, "weight": 3, "max_concurrency": 8, "max_input_tokens": 32768, "name": "gpu-a"},
    {"id": 2, "weight": 2, "max_concurrency": 6, "max_input_tokens": 8192, "name": "gpu-b"},
    {"id": 3, "weight": 1, "max_concurrency": 4, "max_input_tokens": 131072, "name": "gpu-c"},
    {"id": 4, "weight": 1, "max_concurrency": 4, "max_input_tokens": 4096, "name": "gpu-d"},
]
EMBED_SERVERS = [
    {"id": 11, "weight": 1, "max_concurrency": 16, "name": "emb-a"},
    {"id": 12, "weight": 1, "max_concurrency": 16, "name": "emb-b"},
]
RERANK_SERVERS = [
    {"id": 21, "weight": 1, "max_concurrency": 4, "max_input_tokens": 16384, "name": "rr-a"},
]
SPEED = {1: 0.004, 2: 0.006, 3: 0.010, 4: 0.005, 11: 0.001, 12: 0.0015, 21: 0.003}
CRASHING_SERVER = 1

WORDS = ("the quick brown fox jumps over a lazy dog while the model streams tokens back "
         "to a patient client asking about load balancing and queueing theory").split()


def text(rng, words):
    return " ".join(rng.choice(WORDS) for _ in range(words))


def make_request(rng):
    """One request: (pool, candidates, body, algorithm, sticky key)."""
    kind = rng.choices(["chat", "chat_image", "completion", "embedding", "rerank", "huge"],
                       weights=[40, 10, 15, 20, 10, 1])[0]
    user = f"user-{rng.randrange(50)}"
    if kind in ("chat", "chat_image", "huge"):
        content = [{"type": "text", "text": text(rng, rng.randint(20, 600))}]
        if kind == "chat_image":
            content.append({"type": "image_url", "image_url": {"url": "data:image/png;base64,AAAA"}})
        if kind == "huge":
            content = "x" * 700_000  # larger than every backend's limit
        body = {"model": "chat-model", "system": "You are terse.",
                "messages": [{"role": "user", "content": content}], "max_tokens": 256}
        algorithm = "sticky_session" if rng.random() < 0.3 else None
        return CHAT_POOL, CHAT_SERVERS, body, algorithm, user
    if kind == "completion":
        body = {"model": "chat-model", "prompt": [text(rng, rng.randint(10, 300))]}
        return CHAT_POOL, CHAT_SERVERS, body, "least_connections", None
    if kind == "embedding":
        body = {"model": "embed-model",
                "input": [[rng.randrange(50_000) for _ in range(rng.randint(8, 512))] for _ in range(4)]}
        return EMBED_POOL, EMBED_SERVERS, body, "least_connections", None
    body = {"model": "rerank-model", "query": text(rng, 12),
            "documents": [text(rng, rng.randint(20, 200)) for _ in range(rng.randint(2, 12))],
            "instruct": "Rank by relevance."}
    return RERANK_POOL, RERANK_SERVERS, body, None, None


class Backends:
    """The simulated upstreams, their health, and what the proxy observes of them."""

    def __init__(self):
        self.running = {s["id"] for s in CHAT_SERVERS + EMBED_SERVERS + RERANK_SERVERS}
        self.crashed = asyncio.Event()

    async def list_running_servers(self):
        await asyncio.sleep(0)  # an RPC to the cluster agent
        return [{"id": sid} for sid in sorted(self.running)]

    def crash(self, sid):
        self.running.discard(sid)
        self.crashed.set()

    async def call(self, server, tokens, rng):
        sid = server["id"]
        latency = 0.002 + SPEED[sid] * tokens / 1000 * rng.uniform(0.6, 1.6)
        deadline = asyncio.get_running_loop().time() + latency
        while asyncio.get_running_loop().time() < deadline:
            if sid not in self.running:
                raise ConnectionError(f"backend {sid} went away")
            await asyncio.sleep(min(0.005, max(0.0, deadline - asyncio.get_running_loop().time())))
        if sid not in self.running:
            raise ConnectionError(f"backend {sid} went away")


CAPS = {s["id"]: s["max_concurrency"] for s in CHAT_SERVERS + EMBED_SERVERS + RERANK_SERVERS}


class TrackingBalancer(lbm.LoadBalancer):
    """Records the peak in-flight count per backend, and the leases that took one past its cap."""

    def __init__(self):
        super().__init__()
        self.peak = Counter()
        self.over_cap = Counter()

    def increment(self, server_id):
        n = super().increment(server_id)
        self.peak[server_id] = max(self.peak[server_id], n)
        if n > CAPS[server_id]:
            self.over_cap[server_id] += 1
        return n


async def handle(lb, backends, rng, request, outcomes, waits):
    pool, servers, body, algorithm, sticky = request
    down = {sid for sid in (s["id"] for s in servers) if sid not in backends.running}
    tokens = lbm.estimate_request_tokens(body)
    candidates = lb.filter_by_fit(servers, tokens)
    if not candidates:
        lb.note_reject(lbm.RejectReason.TOO_LARGE)
        outcomes["too_large"] += 1
        return
    server = await lb.select(pool, candidates, estimated_tokens=tokens, sin_binned=down,
                             algorithm=algorithm, sticky_key=sticky)
    if server is None:
        if not lb.queue_enabled():
            lb.note_reject(lbm.RejectReason.AT_CAPACITY)
            outcomes["at_capacity"] += 1
            return
        server, reason, waited = await lb.wait_for_slot(pool, candidates, tokens, sin_binned=down)
        if server is None:
            outcomes[reason] += 1
            return
        waits.append(waited)
    lease = lbm.InflightLease(lb, server["id"])
    lease.__enter__()
    try:
        await backends.call(server, tokens, rng)
    except ConnectionError:
        # The stream died with its backend and its generator was dropped
        # without running its finally block: the slot is never released.
        outcomes["upstream_lost"] += 1
        return
    lease.release()
    outcomes["ok"] += 1


async def run_mode(mode, n_requests, seed):
    rng = random.Random(seed)
    lb = TrackingBalancer()
    lb.set_routing_mode(mode)
    backends = Backends()
    reaper = asyncio.create_task(lbm.inflight_reaper_loop(
        lb, interval_sec=0.05, list_running_servers=backends.list_running_servers))
    outcomes, waits, tasks = Counter(), [], []
    started = time.perf_counter()
    for i in range(n_requests):
        # The crash comes at the first moment past 40% of the run when the
        # backend is serving requests.
        if (i >= int(n_requests * 0.4) and not backends.crashed.is_set()
                and lb.inflight.get(CRASHING_SERVER, 0) > 0):
            backends.crash(CRASHING_SERVER)
        request = make_request(rng)
        tasks.append(asyncio.create_task(handle(lb, backends, random.Random(rng.random()), request,
                                                outcomes, waits)))
        # Bursty arrivals: mostly back to back, now and then a pause.
        if rng.random() < 0.08:
            await asyncio.sleep(rng.uniform(0.005, 0.03))
        elif i % 8 == 0:
            await asyncio.sleep(0)
    await asyncio.gather(*tasks)
    await asyncio.sleep(0.12)  # let the reaper make a pass after the crash
    reaper.cancel()
    try:
        await reaper
    except asyncio.CancelledError:
        pass
    return lb, outcomes, waits, time.perf_counter() - started


def percentile(samples, q):
    if not samples:
        return 0.0
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def report(mode, lb, outcomes, waits, elapsed, n_requests):
    print(f"\n== routing mode: {mode} ({elapsed:.2f}s) ==")
    admitted = outcomes["ok"] + outcomes["upstream_lost"]
    print(f"requests {n_requests}   admitted {admitted}   completed {outcomes['ok']}   "
          f"lost with the crashed backend {outcomes['upstream_lost']}")
    rejected = {k: v for k, v in sorted(lb.reject_counts.items())}
    print(f"rejections by reason: {rejected or 'none'}")
    print(f"queue wait: {len(waits)} waited, p50 {percentile(waits, 0.5) * 1000:.1f} ms, "
          f"p95 {percentile(waits, 0.95) * 1000:.1f} ms")
    total = sum(lb.dispatch_counts.values()) or 1
    clamp = lbm.SUPERFAST_PER_SERVER_CAP
    print(f"{'backend':>8} {'name':>7} {'share':>7} {'dispatches':>10} {'peak in flight':>15} {'cap':>4}"
          f" {'leases>cap':>11}")
    for s in CHAT_SERVERS + EMBED_SERVERS + RERANK_SERVERS:
        sid = s["id"]
        cap = s["max_concurrency"]
        if mode == "superfast":
            cap = min(cap, clamp)
        elif mode == "hybrid":
            cap = f"{min(cap, clamp)}/{cap}"  # cold pool / hot pool
        print(f"{sid:>8} {s['name']:>7} {lb.dispatch_counts.get(sid, 0) / total:>7.1%} "
              f"{lb.dispatch_counts.get(sid, 0):>10} {lb.peak[sid]:>15} {cap:>4} {lb.over_cap[sid]:>11}")
    print(f"in flight after the run: {lb.inflight or 'none'} (the reaper cleared the crashed backend's orphans)"
          f"; slots held for woken requests: {lb.held_slots or 'none'}")
    assert not lb._all_waiters, "a waiter was left parked"
    assert not lb.held_slots, "a slot was left held"


async def main(n_requests, seed):
    logging.basicConfig(level=logging.WARNING, format="  [log] %(levelname)s %(message)s")
    lbm.QUEUE_ENABLED = True
    lbm.QUEUE_TTL_SEC = 0.25
    lbm.QUEUE_ALL_TTL_SEC = 2.0
    last = None
    for mode in ("superfast", "hybrid", "max_concurrency", "queue_all"):
        # Superfast answers 503 at once when full; the others park requests.
        lbm.QUEUE_ENABLED = mode != "superfast"
        lb, outcomes, waits, elapsed = await run_mode(mode, n_requests, seed)
        report(mode, lb, outcomes, waits, elapsed, n_requests)
        last = lb
    print("\nEvery request enters its lease right after select or wait_for_slot returns. A slot handed to a\n"
          "parked request stays held for it until it resumes, so a request arriving in between cannot take\n"
          "it: no lease takes a backend past its configured cap (leases>cap), whatever the queue does.")
    print("\n== Prometheus text of the last run ==")
    print(last.prometheus_text(), end="")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=1500)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    asyncio.run(main(args.requests, args.seed))
