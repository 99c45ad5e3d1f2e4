"""Requests per second with 1 and 2 proxy worker processes, and round trips to Redis per request, with wrk.

    python -m examples.proxy.workers_rate [--seconds 10] [--connections 32]

Starts a redis-server and one simulated backend on 127.0.0.1, then for each
run a proxy (`--workers N`, caps shared through Redis) in front of it, and wrk
(one thread) posting the same small chat completion for `--seconds` after a
2 s warm-up. Runs:

- steady: a cap of 256, never reached: permits are claimed once and kept;
  the round trips are the lease renewals;
- contended: a cap of 4 against 32 connections, the backend taking about
  20 ms a request (5 ms per token, 4 tokens): both workers want more than
  the cap, so permits move between them all the time (the queue is on).

Each worker's counters are read from /status.json on the shared port (new
connections land on either worker) until every member has answered. Every
answer must be 2xx.
"""
from __future__ import annotations

import argparse
import json
import shutil
import sys
import tempfile
import time
import urllib.request
from pathlib import Path
from typing import Any

from . import redis_server
from .cpu_per_request import LUA, start, stop, wrk


def config(backend_url: str, redis_url: str, cap: int) -> str:
    return (f'[server]\nport = 0\naccess_log = false\n[routing]\nmode = "max_concurrency"\n'
            f'[queue]\nenabled = true\nttl_sec = 30.0\nmax_depth_multiplier = 64\n'
            f'[upstream]\nhealth_interval_sec = 1.0\n'
            f'[permits]\nredis_url = "{redis_url}"\n'
            f'[[pools]]\nmodel = "chat"\n[[pools.backends]]\nid = 1\nname = "gpu-a"\nurl = "{backend_url}"\n'
            f'max_concurrency = {cap}\n')


def members(url: str, workers: int) -> dict[str, dict[str, Any]]:
    """Each worker's permit status, asking on fresh connections until all have answered."""
    seen: dict[str, dict[str, Any]] = {}
    deadline = time.monotonic() + 20
    while len(seen) < workers and time.monotonic() < deadline:
        with urllib.request.urlopen(url + "/status.json", timeout=5) as r:
            pm = json.load(r)["permits"]
        seen[pm["member"]] = pm
    return seen


def first_answer(url: str) -> None:
    body = json.dumps({"model": "chat", "messages": [{"role": "user", "content": "hi"}], "max_tokens": 1}).encode()
    request = urllib.request.Request(url + "/v1/chat/completions", data=body,
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=30) as r:
        r.read()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=32)
    args = parser.parse_args()
    if shutil.which("wrk") is None or redis_server.available() is None:
        print("needs wrk and redis-server (Debian packages)", file=sys.stderr)
        return 2
    rows: list[tuple[str, int, int, float, int, float, float]] = []
    redis = redis_server.RedisServer()
    redis.start()
    with tempfile.TemporaryDirectory(prefix="lb-workers-") as tmp:
        work = Path(tmp)
        script = work / "post.lua"
        script.write_text(LUA)
        fast, fast_url = start(["examples.proxy.backend", "--id", "1", "--decode-ms-per-token", "0",
                                "--prefill-ms-per-token", "0"], work / "fast.log", 0)
        slow, slow_url = start(["examples.proxy.backend", "--id", "1", "--decode-ms-per-token", "5",
                                "--prefill-ms-per-token", "0"], work / "slow.log", 0)
        try:
            for load, backend_url, cap in (("steady", fast_url, 256), ("contended", slow_url, 4)):
                for workers in (1, 2):
                    path = work / f"{load}-{workers}.toml"
                    path.write_text(config(backend_url, redis.url, cap))
                    proxy, url = start(["examples.proxy", "serve", str(path), "--workers", str(workers)],
                                       work / f"{load}-{workers}.log", None)
                    try:
                        first_answer(url)  # waits out a new pool's boot window (lease + grace)
                        wrk(url, script, 2, args.connections)
                        done, rate = wrk(url, script, args.seconds, args.connections)
                        status = members(url, workers)
                    finally:
                        stop(proxy)
                    trips = sum(sum(v for k, v in pm["round_trips"].items() if k != "status")
                                for pm in status.values())
                    claims = sum(pm["round_trips"].get("claim", 0) for pm in status.values())
                    requests = sum(int(pm["requests"]) for pm in status.values())
                    rows.append((load, cap, workers, rate, done, trips / max(1, requests), claims / max(1, requests)))
        finally:
            stop(fast)
            stop(slow)
            redis.close()
    print(f"wrk -t1 -c{args.connections} -d{args.seconds}s after a 2 s warm-up, POST /v1/chat/completions; "
          "proxy, backend, wrk and redis-server share the machine's cores")
    print(f"{'load':<11}{'cap':>5}{'workers':>9}{'req/s':>9}{'requests':>10}{'round trips/req':>17}{'claims/req':>12}")
    for load, cap, workers, rate, done, per, claims in rows:
        print(f"{load:<11}{cap:>5}{workers:>9}{rate:>9.0f}{done:>10}{per:>17.4f}{claims:>12.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
