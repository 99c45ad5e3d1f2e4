"""Per-request cost of load_balancer against the same paths in plain Python.

Run:  .venv/bin/python bench/bench.py [--quick]

Each case is timed as the best of several repeats of a tight loop (inside one
running event loop for the coroutine paths, so both sides pay the same
`await` overhead). Memory: bytes allocated per parked waiter and per pool,
measured with tracemalloc.
"""
import argparse
import asyncio
import gc
import os
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(__file__))

import load_balancer as ext  # noqa: E402
import reference as ref  # noqa: E402

POOL = ("chat-model", frozenset({1, 2}), "standard")


def servers(n):
    return [{"id": i + 1, "weight": 1 + i % 3, "max_concurrency": 64, "max_input_tokens": 4096 * (1 + i % 4)}
            for i in range(n)]


CHAT_BODY = {
    "model": "m", "system": "You are a helpful assistant." * 3,
    "messages": [{"role": "user" if i % 2 else "assistant",
                  "content": [{"type": "text", "text": "hello world " * 40},
                              {"type": "image_url", "image_url": {"url": "x"}}] if i % 3 == 0
                  else "some reply text " * 30} for i in range(12)],
}
EMBED_BODY = {"model": "e", "input": [list(range(512)) for _ in range(4)]}
RERANK_BODY = {"model": "r", "query": "what is a load balancer",
               "documents": ["a document about queueing " * 10] * 16, "instruct": "rank"}


def timed(fn, n, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter_ns()
        fn(n)
        best = min(best, (time.perf_counter_ns() - t0) / n)
    return best


def timed_async(make_loop, n, repeats):
    async def main():
        best = float("inf")
        for _ in range(repeats):
            t0 = time.perf_counter_ns()
            await make_loop(n)
            best = min(best, (time.perf_counter_ns() - t0) / n)
        return best
    return asyncio.run(main())


def cases(mod):
    recs = servers(8)

    def estimate(body):
        f = mod.estimate_request_tokens

        def run(n):
            for _ in range(n):
                f(body)
        return run

    def fit(n):
        lb = mod.LoadBalancer()
        for _ in range(n):
            lb.filter_by_fit(recs, 5000)

    def lease(n):
        lb = mod.LoadBalancer()
        lease_cls = mod.InflightLease
        for _ in range(n):
            with lease_cls(lb, 3):
                pass

    def select(algorithm, sticky=None):
        async def run(n):
            lb = mod.LoadBalancer()
            lb.set_routing_mode("max_concurrency")
            for i in range(n):
                await lb.select(POOL, recs, algorithm=algorithm, sticky_key=sticky)
        return run

    return {
        "estimate_request_tokens (chat, 12 msgs)": ("sync", estimate(CHAT_BODY)),
        "estimate_request_tokens (embeddings ids)": ("sync", estimate(EMBED_BODY)),
        "estimate_request_tokens (rerank)": ("sync", estimate(RERANK_BODY)),
        "filter_by_fit (8 backends)": ("sync", fit),
        "InflightLease with/exit": ("sync", lease),
        "select weighted round-robin (8)": ("async", select(None)),
        "select least-connections (8)": ("async", select("least_connections")),
        "select sticky (8)": ("async", select("sticky_session", "user-42")),
    }


def memory_per_waiter(n=2000):
    """Bytes allocated per parked waiter (future + waiter + queue entries)."""
    async def main():
        lb = ext.LoadBalancer()
        lb.set_routing_mode("queue_all")
        recs = [{"id": 1, "weight": 1, "max_concurrency": 1}, {"id": 2, "weight": 1, "max_concurrency": 1}]
        for s in recs:
            lb.increment(s["id"])
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        tasks = [asyncio.create_task(lb.wait_for_slot(POOL, recs, 10)) for _ in range(n)]
        await asyncio.sleep(0)
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        return (after - before) / n
    return asyncio.run(main())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer iterations")
    args = parser.parse_args()
    n, repeats = (2000, 3) if args.quick else (20000, 5)
    ext_cases, ref_cases = cases(ext), cases(ref)
    print(f"{'case':<44} {'extension':>12} {'plain Python':>14} {'speed-up':>9}")
    for name, (kind, fn) in ext_cases.items():
        run = timed_async if kind == "async" else timed
        e = run(fn, n, repeats)
        p = run(ref_cases[name][1], n, repeats)
        print(f"{name:<44} {e:>9.0f} ns {p:>11.0f} ns {p / e:>8.1f}x")
    if hasattr(ext.LoadBalancer, "wait_for_slot"):
        print(f"\nmemory per parked request, its task included (2 backends): {memory_per_waiter():.0f} bytes")


if __name__ == "__main__":
    main()
