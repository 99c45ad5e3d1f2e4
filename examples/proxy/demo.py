"""The main job: the proxy in front of simulated backends, all on 127.0.0.1, under a seeded workload.

Starts seven simulated backends (three pools: chat with weighted round-robin,
embeddings with least-connections, rerank and score with sticky sessions) as
separate processes, then for each routing mode a fresh proxy process, and
drives it over real HTTP with a seeded, bounded mix of requests in bursts:
streamed and plain chat, completions, messages, responses, embeddings,
rerank, score, requests too large for every backend, bodies over the size
limit, malformed JSON and unknown models. Some clients go away mid-stream or
mid-request. Partway through each run one chat backend freezes (SIGSTOP: its
connections stay open and nothing answers, like a hung host): the health
probe that marks it down makes the proxy end the requests open on it (retried
once on another backend where nothing reached the client yet, else their
stream ends with an error event), so its in-flight count drops as they end and
the reaper finds nothing left to clear; then it is killed (SIGKILL).

Per mode it prints the answers by status, the balancer's rejections by reason,
latency and queue-wait percentiles, the backends' 429s as the proxy handled
them, and per backend the dispatch share and the peak concurrency the backend
itself saw against its cap (a peak above it is marked "at a client disconnect"
when it came only while a request whose client had gone still counted there);
at the end the /metrics text of the last run as a scraper gets it.

Then several proxy processes share the caps through Redis (a redis-server of
its own on a loopback port): three proxies in front of the same backends, the
traffic moving from one to the next, one of them killed (SIGKILL) partway. It
prints each backend's cap against the peak it saw and the largest committed
sum read in Redis, each process's requests and permits, and how long the
killed process's permits took to move.

Run:  python -m examples.proxy.demo [--requests N] [--seed S] [--modes superfast,hybrid,...]
                                    [--processes N] [--no-shared]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import random
import signal
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import aiohttp
from prometheus_client.parser import text_string_to_metric_families

from . import redis_server
from .launcher import die_with_parent

ROOT = Path(__file__).resolve().parents[2]
MODES = ("superfast", "hybrid", "max_concurrency", "queue_all")
SUPERFAST_CAP = 4
MAX_BODY_BYTES = 256 * 1024


@dataclass(frozen=True)
class BackendSetup:
    id: int
    name: str
    model: str
    weight: float
    cap: int
    max_input_tokens: int
    decode_ms: float


BACKENDS = [
    BackendSetup(1, "gpu-a", "chat-model", 3, 8, 32768, 6.0),
    BackendSetup(2, "gpu-b", "chat-model", 2, 6, 16384, 8.0),
    BackendSetup(3, "gpu-c", "chat-model", 1, 4, 8192, 10.0),
    BackendSetup(11, "emb-a", "embed-model", 2, 8, 8192, 0.0),
    BackendSetup(12, "emb-b", "embed-model", 1, 4, 8192, 0.0),
    BackendSetup(21, "rr-a", "rerank-model", 1, 4, 16384, 0.0),
    BackendSetup(22, "rr-b", "rerank-model", 1, 4, 16384, 0.0),
]
ALGORITHMS = {"chat-model": "weighted_round_robin", "embed-model": "least_connections",
              "rerank-model": "sticky_session"}
FROZEN = 2  # the chat backend that hangs and is killed in every run

WORDS = ("the quick brown fox jumps over a lazy dog while the model streams tokens back to a patient "
         "client asking about load balancing queueing theory and tail latency").split()


def words(rng: random.Random, n: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(n))


# -- child processes ----------------------------------------------------------------


class Child:
    """A backend or proxy process: started with its READY line, stderr collected."""

    def __init__(self, name: str, proc: asyncio.subprocess.Process, url: str, echo: tuple[str, ...]) -> None:
        self.name = name
        self.proc = proc
        self.url = url
        self.echo = echo
        self.log: list[str] = []
        self._reader = asyncio.create_task(self._read_stderr())

    @classmethod
    async def start(cls, name: str, args: list[str], echo: tuple[str, ...] = ()) -> Child:
        proc = await asyncio.create_subprocess_exec(sys.executable, "-m", *args, cwd=ROOT,
                                                    stdout=asyncio.subprocess.PIPE,
                                                    stderr=asyncio.subprocess.PIPE, preexec_fn=die_with_parent)
        assert proc.stdout is not None
        line = (await asyncio.wait_for(proc.stdout.readline(), 60)).decode()
        if not line.startswith("READY "):
            proc.kill()
            await proc.wait()
            raise RuntimeError(f"{name} did not start: {line!r}")
        return cls(name, proc, line.split()[1], echo)

    async def _read_stderr(self) -> None:
        assert self.proc.stderr is not None
        async for raw in self.proc.stderr:
            line = raw.decode(errors="replace").rstrip()
            self.log.append(line)
            if any(e in line for e in self.echo):
                print(f"      {self.name}: {line.split(' ', 2)[-1]}", flush=True)

    def send_signal(self, sig: int) -> None:
        if self.proc.returncode is None:
            self.proc.send_signal(sig)

    async def stop(self, sig: int = signal.SIGTERM) -> int:
        self.send_signal(sig)
        try:
            code = await asyncio.wait_for(self.proc.wait(), 20)
        except TimeoutError:
            self.proc.kill()
            code = await self.proc.wait()
        await self._reader
        return code


async def start_backend(setup: BackendSetup) -> Child:
    return await Child.start(setup.name, [
        "examples.proxy.backend", "--id", str(setup.id), "--name", setup.name, "--max-concurrency", str(setup.cap),
        "--decode-ms-per-token", str(setup.decode_ms)])


def proxy_config(mode: str, backends: dict[int, Child], extra: tuple[str, ...] = (), queue_ttl: float = 0.5,
                 depth: int = 2) -> str:
    queue_on = mode != "superfast"
    lines = [
        "[server]", 'host = "127.0.0.1"', "port = 0", f"max_body_bytes = {MAX_BODY_BYTES}",
        "shutdown_grace_sec = 5.0",
        "[upstream]", "connect_timeout_sec = 1.0", "read_timeout_sec = 10.0", "sin_bin_sec = 2.0",
        "health_interval_sec = 0.2", "health_timeout_sec = 0.5", "reaper_interval_sec = 0.25",
        "[routing]", f'mode = "{mode}"', f"superfast_cap = {SUPERFAST_CAP}",
        "[queue]", f"enabled = {str(queue_on).lower()}", f"ttl_sec = {queue_ttl}", f"max_depth_multiplier = {depth}",
        "queue_all_ttl_sec = 5.0",
        *extra,
    ]
    for model, algorithm in ALGORITHMS.items():
        lines += ["[[pools]]", f'model = "{model}"', f'algorithm = "{algorithm}"']
        for s in BACKENDS:
            if s.model == model:
                lines += ["[[pools.backends]]", f"id = {s.id}", f'name = "{s.name}"', f'url = "{backends[s.id].url}"',
                          f"weight = {s.weight}", f"max_concurrency = {s.cap}",
                          f"max_input_tokens = {s.max_input_tokens}"]
    return "\n".join(lines) + "\n"


# -- workload ---------------------------------------------------------------------------


KINDS = {  # kind: (weight, route)
    "chat_stream": (30, "/v1/chat/completions"), "chat": (10, "/v1/chat/completions"),
    "completion": (6, "/v1/completions"), "messages": (6, "/v1/messages"), "responses": (4, "/v1/responses"),
    "embedding": (18, "/v1/embeddings"), "rerank": (8, "/v1/rerank"), "score": (5, "/v1/score"),
    "long_context": (3, "/v1/chat/completions"), "too_large": (3, "/v1/completions"),
    "body_over_limit": (1, "/v1/completions"), "malformed": (1, "/v1/chat/completions"),
    "unknown_model": (1, "/v1/embeddings"),
}


@dataclass
class Request:
    kind: str
    model: str
    path: str
    body: bytes
    stream: bool
    headers: dict[str, str]
    leave_after_chunks: int = 0    # a streaming client that reads this many chunks and goes away
    leave_after_sec: float = 0.0   # a client that gives up on its answer after this long


def make_request(rng: random.Random) -> Request:
    kind = rng.choices(list(KINDS), weights=[w for w, _ in KINDS.values()])[0]
    path = KINDS[kind][1]
    user = f"user-{rng.randrange(12)}"
    stream = kind == "chat_stream" or (kind in ("messages", "responses") and rng.random() < 0.5)
    body: dict[str, Any]
    if kind in ("chat_stream", "chat", "messages", "long_context"):
        n = 20_000 if kind == "long_context" else rng.randint(30, 1200)  # ~1.3 tokens a word
        body = {"model": "chat-model", "messages": [{"role": "user", "content": words(rng, n)}],
                "max_tokens": rng.randint(16, 48), "stream": stream}
        if kind == "messages":
            body["system"] = "Answer briefly."
    elif kind == "responses":
        body = {"model": "chat-model", "input": words(rng, rng.randint(20, 400)),
                "max_output_tokens": rng.randint(16, 32), "stream": stream}
    elif kind in ("completion", "too_large", "body_over_limit"):
        prompt = "x" * {"completion": rng.randint(100, 4000), "too_large": 160_000,
                        "body_over_limit": MAX_BODY_BYTES + 10_000}[kind]
        body = {"model": "chat-model", "prompt": prompt, "max_tokens": 24}
    elif kind == "embedding":
        body = {"model": "embed-model", "input": [[rng.randrange(50_000) for _ in range(rng.randint(16, 512))]
                                                  for _ in range(rng.randint(1, 8))]}
    elif kind in ("rerank", "score"):
        docs = [words(rng, rng.randint(10, 120)) for _ in range(rng.randint(2, 10))]
        body = {"model": "rerank-model", "query": words(rng, 8), "user": user,
                ("documents" if kind == "rerank" else "items"): docs}
    else:
        body = {"model": "no-such-model" if kind == "unknown_model" else "chat-model", "input": "hi"}
    raw = json.dumps(body).encode()
    if kind == "malformed":
        raw = raw[:-3]
    request = Request(kind, str(body["model"]), path, raw, stream,
                      {"Content-Type": "application/json", "x-session-id": user})
    if stream and rng.random() < 0.10:
        request.leave_after_chunks = rng.randint(1, 4)
    elif not stream and kind in ("chat", "completion", "embedding") and rng.random() < 0.05:
        request.leave_after_sec = rng.uniform(0.02, 0.3)
    return request


def make_plan(seed: int, n: int) -> list[tuple[list[Request], float]]:
    """Bursts of requests sent back to back, each followed by a pause."""
    rng = random.Random(seed)
    plan: list[tuple[list[Request], float]] = []
    left = n
    while left > 0:
        size = min(left, rng.randint(20, 70))
        plan.append(([make_request(rng) for _ in range(size)], rng.uniform(0.1, 0.35)))
        left -= size
    return plan


@dataclass
class Outcome:
    kind: str
    model: str
    status: int | None = None
    latency: float = 0.0
    first_chunk: float | None = None
    queue_wait_ms: float = 0.0
    backend: str | None = None
    attempts: int = 1
    left: bool = False            # the client went away before the end
    cut: bool = False             # the stream ended with the proxy's upstream_error event
    error: str | None = None
    reason: str | None = None     # X-Reject-Reason of a refusal


async def send(session: aiohttp.ClientSession, base: str, req: Request) -> Outcome:
    out = Outcome(req.kind, req.model)
    start = time.perf_counter()

    async def exchange() -> None:
        async with session.post(base + req.path, data=req.body, headers=req.headers) as r:
            out.status = r.status
            out.backend = r.headers.get("X-Backend-Id")
            out.queue_wait_ms = float(r.headers.get("X-Queue-Wait-Ms", "0"))
            out.attempts = int(r.headers.get("X-Attempts", "1"))
            out.reason = r.headers.get("X-Reject-Reason")
            if not (req.stream and r.status == 200):
                await r.read()
                return
            chunks = 0
            async for chunk in r.content.iter_any():
                chunks += 1
                if out.first_chunk is None:
                    out.first_chunk = time.perf_counter() - start
                if b'"upstream_error"' in chunk:
                    out.cut = True
                if req.leave_after_chunks and chunks >= req.leave_after_chunks:
                    out.left = True
                    return  # leaving the block closes the connection mid-stream

    try:
        if req.leave_after_sec:
            await asyncio.wait_for(exchange(), req.leave_after_sec)
        else:
            await exchange()
    except TimeoutError:
        out.left = True
    except aiohttp.ClientError as e:
        out.error = f"{type(e).__name__}: {e}"
    out.latency = time.perf_counter() - start
    return out


# -- one routing mode -----------------------------------------------------------------------


@dataclass
class ModeRun:
    mode: str
    outcomes: list[Outcome] = field(default_factory=list)
    elapsed: float = 0.0
    snapshot: dict[str, Any] = field(default_factory=dict)
    metrics_text: str = ""
    metrics: dict[tuple[str, tuple[tuple[str, str], ...]], float] = field(default_factory=dict)
    backend_stats: dict[int, dict[str, Any]] = field(default_factory=dict)
    frozen_with: int = 0
    reaped_after: float | None = None
    proxy_log: list[str] = field(default_factory=list)
    proxy_exit: int | None = None


async def get_json(session: aiohttp.ClientSession, url: str) -> Any:
    async with session.get(url, timeout=aiohttp.ClientTimeout(total=2)) as r:
        return await r.json()


async def run_mode(mode: str, backends: dict[int, Child], plan: list[tuple[list[Request], float]],
                   workdir: Path) -> ModeRun:
    result = ModeRun(mode)
    config = workdir / f"proxy-{mode}.toml"
    config.write_text(proxy_config(mode, backends))
    proxy = await Child.start("proxy", ["examples.proxy", str(config)],
                              echo=("health probe", "Force-cleared", "Routing mode"))
    total = sum(len(burst) for burst, _ in plan)
    connector = aiohttp.TCPConnector(limit=0)
    async with aiohttp.ClientSession(connector=connector) as session:
        for child in backends.values():
            async with session.post(child.url + "/stats/reset") as r:
                await r.read()
        tasks: list[asyncio.Task[Outcome]] = []
        state = {"frozen": False}
        start = time.perf_counter()

        async def progress() -> None:
            while True:
                await asyncio.sleep(1.0)
                try:
                    snap = await get_json(session, proxy.url + "/debug/snapshot")
                except (aiohttp.ClientError, TimeoutError):
                    continue
                done = sum(t.done() for t in tasks)
                print(f"    {time.perf_counter() - start:4.1f}s  sent {len(tasks):>3}/{total}  answered {done:>3}"
                      f"  in flight {sum(snap['inflight'].values()):>3}  parked {snap['queue_total_waiters']:>3}"
                      f"{'  (gpu-b down)' if state['frozen'] else ''}", flush=True)

        async def freeze_then_kill() -> None:
            victim = backends[FROZEN]
            for _ in range(200):  # until it is serving something, so that something is orphaned
                snap = await get_json(session, proxy.url + "/debug/snapshot")
                if snap["inflight"].get(str(FROZEN), 0) > 0:
                    break
                await asyncio.sleep(0.01)
            result.backend_stats[FROZEN] = await get_json(session, victim.url + "/stats")
            result.frozen_with = snap["inflight"].get(str(FROZEN), 0)
            victim.send_signal(signal.SIGSTOP)
            frozen_at = time.perf_counter()
            state["frozen"] = True
            print(f"    !  gpu-b (backend {FROZEN}) frozen with {result.frozen_with} request(s) in flight", flush=True)
            for _ in range(500):
                snap = await get_json(session, proxy.url + "/debug/snapshot")
                if str(FROZEN) not in snap["inflight"]:
                    result.reaped_after = time.perf_counter() - frozen_at
                    break
                await asyncio.sleep(0.01)
            await victim.stop(signal.SIGKILL)
            print(f"    !  gpu-b killed {time.perf_counter() - frozen_at:.2f}s after it froze", flush=True)

        ticker = asyncio.create_task(progress())
        killer: asyncio.Task[None] | None = None
        for burst, pause in plan:
            if killer is None and len(tasks) >= total * 0.4:
                killer = asyncio.create_task(freeze_then_kill())
            tasks.extend(asyncio.create_task(send(session, proxy.url, req)) for req in burst)
            await asyncio.sleep(pause)
        result.outcomes = list(await asyncio.gather(*tasks))
        if killer is not None:
            await killer
        result.elapsed = time.perf_counter() - start
        # Let the last releases and a reaper pass land, then read the proxy's state.
        for _ in range(300):
            snap = await get_json(session, proxy.url + "/debug/snapshot")
            if not snap["inflight"] and snap["queue_total_waiters"] == 0:
                break
            await asyncio.sleep(0.02)
        ticker.cancel()
        result.snapshot = snap
        async with session.get(proxy.url + "/metrics") as r:
            result.metrics_text = await r.text()
        for fam in text_string_to_metric_families(result.metrics_text):
            for s in fam.samples:
                result.metrics[(s.name, tuple(sorted(s.labels.items())))] = s.value
        for sid, child in backends.items():
            if sid != FROZEN:
                result.backend_stats[sid] = await get_json(session, child.url + "/stats")
    result.proxy_exit = await proxy.stop()
    result.proxy_log = proxy.log
    return result


# -- report -----------------------------------------------------------------------------------


def pct(values: list[float], q: float) -> float:
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def effective_cap(mode: str, cap: int) -> str:
    clamped = max(1, min(cap, SUPERFAST_CAP))
    return {"superfast": str(clamped), "hybrid": f"{clamped}/{cap}"}.get(mode, str(cap))


def metric(run: ModeRun, name: str, **labels: str) -> float:
    return run.metrics.get((name, tuple(sorted(labels.items()))), 0.0)


def over_cap_leases(run: ModeRun, server_id: int) -> int:
    return int(sum(v for (name, labels), v in run.metrics.items()
                   if name == "proxy_leases_over_cap_total" and ("server_id", str(server_id)) in labels))


def over_cap(st: dict[str, Any], cap: int) -> str:
    """How far past its cap a backend's peak went, and whether a client disconnect explains it."""
    peak = st.get("peak", 0)
    if peak <= cap:
        return ""
    if st.get("peak_open", peak) <= cap:
        return f"+{peak - cap} at a client disconnect"
    return f"+{peak - cap} above cap"


def upstream_429s(run: ModeRun) -> str:
    total = int(sum(v for (name, _), v in run.metrics.items() if name == "proxy_upstream_429_total"))
    handled = {action: int(metric(run, "proxy_upstream_429_handled_total", action=action))
               for action in ("retried", "parked", "passed_through")}
    return (f"{total} (retried on another backend {handled['retried']}, parked in the queue {handled['parked']},"
            f" passed to the client {handled['passed_through']})")


def report(run: ModeRun, total: int) -> None:
    outs = run.outcomes
    queue = {"superfast": "queue off", "queue_all": "queue forced on, ttl 5.0s"}.get(run.mode, "queue on, ttl 0.5s")
    print(f"\n== {run.mode} ({queue}): {total} requests in {run.elapsed:.1f}s, proxy exit code {run.proxy_exit} ==")
    answered = Counter(o.status for o in outs if o.status is not None and not o.left)
    left = sum(o.left for o in outs)
    errors = [o.error for o in outs if o.error]
    print("  answers      " + "  ".join(f"{code}: {n}" for code, n in sorted(answered.items()))
          + f"   | client went away: {left}   streams cut by the backend's death: {sum(o.cut for o in outs)}"
          + (f"   transport errors: {len(errors)}" if errors else ""))
    rejected = {k[1][0][1]: int(v) for k, v in run.metrics.items() if k[0] == "varnel_lb_rejected_total"}
    refused = Counter(o.model for o in outs if o.status == 503)
    print("  rejected     " + ("  ".join(f"{r}: {n}" for r, n in sorted(rejected.items())) or "none")
          + "   (varnel_lb_rejected_total)   503s by model: "
          + (", ".join(f"{m} {n}" for m, n in sorted(refused.items())) or "none"))
    ok = [o for o in outs if o.status == 200 and not o.left and not o.cut]
    lat = [o.latency * 1000 for o in ok]
    first = [o.first_chunk * 1000 for o in ok if o.first_chunk is not None]
    print(f"  latency ms   200s: p50 {pct(lat, .5):.0f}  p95 {pct(lat, .95):.0f}  p99 {pct(lat, .99):.0f}"
          f"   | first stream chunk: p50 {pct(first, .5):.0f}  p95 {pct(first, .95):.0f}")
    waits = [o.queue_wait_ms for o in outs if o.status is not None and o.queue_wait_ms > 0]
    module_p50 = metric(run, "varnel_lb_queue_wait_seconds", quantile="0.5")
    module_p95 = metric(run, "varnel_lb_queue_wait_seconds", quantile="0.95")
    print(f"  queue wait   {len(waits)} answers waited: p50 {pct(waits, .5):.0f} ms  p95 {pct(waits, .95):.0f} ms"
          f"  max {max(waits, default=0):.0f} ms   | module summary: p50 {module_p50 * 1000:.0f} ms"
          f"  p95 {module_p95 * 1000:.0f} ms  over {int(metric(run, 'varnel_lb_queue_wait_seconds_count'))}"
          " samples")
    binned = {k[1][0][1]: int(v) for k, v in run.metrics.items() if k[0] == "proxy_sin_binned_total"}
    again = [o for o in outs if o.attempts > 1 and o.status is not None and not o.left]
    stale = int(sum(v for (name, _), v in run.metrics.items() if name == "proxy_stale_grants_total"))
    cleared = [line.split("WARNING ", 1)[-1] for line in run.proxy_log if "Force-cleared" in line]
    print(f"  retries      {int(metric(run, 'proxy_retries_total'))} after a failure; answers from a second or third"
          f" backend: {len(again)} ({sum(o.status == 200 for o in again)} of them 200)   sin-binned: "
          + (", ".join(f"backend {b} x{n}" for b, n in binned.items()) or "none")
          + f"   stale queue grants routed again: {stale}")
    print(f"  backend 429s {upstream_429s(run)}")
    reaped = f"{run.reaped_after:.2f}s after the freeze" if run.reaped_after is not None else "not seen"
    ended = int(metric(run, "proxy_upstream_aborted_total", server_id=str(FROZEN)))
    print(f"  frozen       gpu-b froze with {run.frozen_with} in flight; marked down, {ended} open request(s) ended by"
          f" the proxy; count back to 0 {reaped}; reaper: " + ("; ".join(cleared) or "nothing left to clear"))
    dispatch = {int(k): v for k, v in run.snapshot.get("dispatch_counts", {}).items()}
    pool_total = Counter[str]()
    for s in BACKENDS:
        pool_total[s.model] += dispatch.get(s.id, 0)
    print(f"  {'backend':<11}{'pool':<14}{'weight':>6}{'cap':>5}{'eff.cap':>9}{'dispatched':>12}{'share':>8}"
          f"{'served':>8}{'peak':>6}{'429s':>6}{'leases>cap':>12}")
    for s in BACKENDS:
        st = run.backend_stats.get(s.id, {})
        share = dispatch.get(s.id, 0) / (pool_total[s.model] or 1)
        peak = st.get("peak", 0)
        flag = f"  <- {over_cap(st, s.cap)}" if peak > s.cap else ""
        note = "  (stats as of its freeze)" if s.id == FROZEN else ""
        print(f"  {s.id:>3} {s.name:<7}{s.model:<14}{s.weight:>6g}{s.cap:>5}{effective_cap(run.mode, s.cap):>9}"
              f"{dispatch.get(s.id, 0):>12}{share:>8.0%}{st.get('served', 0):>8}{peak:>6}"
              f"{st.get('rejected_429', 0):>6}{over_cap_leases(run, s.id):>12}{flag}{note}")


def summary(runs: list[ModeRun]) -> None:
    print("\n== peak concurrency seen by the backends against their caps ==")
    for run in runs:
        over = [(s, run.backend_stats.get(s.id, {})) for s in BACKENDS
                if run.backend_stats.get(s.id, {}).get("peak", 0) > s.cap]
        if not over:
            print(f"  {run.mode:<16} every backend at or under its cap")
        for s, st in over:
            print(f"  {run.mode:<16} {s.name} (backend {s.id}): peak {st['peak']}, cap {s.cap}: {over_cap(st, s.cap)};"
                  f" {st['rejected_429']} answered 429, {st.get('rejected_429_at_disconnect', 0)} of them while a"
                  f" departed client's request still counted there; the proxy took {over_cap_leases(run, s.id)}"
                  " lease(s) past the cap")
    print("  429s from the backends, as the proxy handled them:")
    for run in runs:
        print(f"  {run.mode:<16} {upstream_429s(run)}")
    print("  A slot the balancer hands to a parked request counts as taken from the hand-off until its wait\n"
          "  returns, and the proxy enters the lease on that same turn of the event loop, so no request\n"
          "  arriving in between can take it too, and no lease takes a backend past its cap\n"
          "  (proxy_leases_over_cap_total). A backend can still see one more than its cap when a client goes\n"
          "  away: the proxy releases that slot at once (with the queue on, straight to a parked request),\n"
          "  while the backend notices the closed connection a moment later, so the next request can reach\n"
          "  it while the old one still counts there (\"at a client disconnect\": every 429 of that backend\n"
          "  came while a request whose connection was closed still counted there). The backend answers that\n"
          "  request 429; the proxy does not sin-bin it, and sends the request once to another backend with a\n"
          "  free slot, else parks it in the queue without that backend, else passes the 429 on with the\n"
          "  backend's Retry-After.")


# -- several processes, one set of caps ----------------------------------------------------------------

# Short leases, so that a killed process's permits move within the run: T = 2 s, reclaimed 1 s after it.
SHARED_PERMITS = ("[permits]", "lease_sec = 2.0", "grace_sec = 1.0", "reconcile_sec = 0.25", "hold_sec = 1.0",
                  "timeout_sec = 0.25")
SHARED_QUEUE_TTL = 3.0
SHARED_QUEUE_DEPTH = 4  # max_depth_multiplier: a burst favours one process
SHARED_PACE = 2.5  # the bursts' pauses, stretched: the run lasts long enough for the kill's permits to move


@dataclass
class SharedRun:
    processes: int
    outcomes: dict[str, list[Outcome]] = field(default_factory=dict)
    lost: int = 0  # requests open on the killed process when it died
    elapsed: float = 0.0
    backend_stats: dict[int, dict[str, Any]] = field(default_factory=dict)
    status: dict[str, dict[str, Any]] = field(default_factory=dict)
    max_committed: Counter[str] = field(default_factory=Counter)  # backend name -> largest sum read in Redis
    killed: str = ""
    killed_held: dict[str, int] = field(default_factory=dict)
    reclaimed_after: float | None = None
    exits: dict[str, int] = field(default_factory=dict)


async def read_pools(redis_url: str, names: list[str]) -> dict[str, dict[str, int]]:
    """Every member's committed count per backend, read atomically per pool."""
    import redis.asyncio as aioredis

    client = aioredis.Redis.from_url(redis_url, socket_timeout=1.0)
    try:
        async with client.pipeline(transaction=True) as pipe:
            for name in names:
                pipe.hgetall(f"lb-permits:{name}")
            tables = await pipe.execute()
    finally:
        await client.aclose()
    return {name: {k.decode()[2:]: int(v.split()[0]) for k, v in table.items() if k.startswith(b"m:")}
            for name, table in zip(names, tables)}


async def run_shared(backends: dict[int, Child], plan: list[tuple[list[Request], float]], workdir: Path,
                     processes: int) -> SharedRun:
    result = SharedRun(processes)
    redis = redis_server.RedisServer()
    redis.start()
    proxies: dict[str, Child] = {}
    try:
        config = workdir / "proxy-shared.toml"
        config.write_text(proxy_config("max_concurrency", backends,
                                       (*SHARED_PERMITS, f'redis_url = "{redis.url}"'), queue_ttl=SHARED_QUEUE_TTL,
                                       depth=SHARED_QUEUE_DEPTH))
        names = [f"proxy{i + 1}" for i in range(processes)]
        started = await asyncio.gather(*(Child.start(n, ["examples.proxy", str(config)],
                                                     echo=("reclaimed", "rejoining", "unreachable"))
                                         for n in names))
        proxies = dict(zip(names, started))
        print(f"    redis-server on 127.0.0.1:{redis.port}; {processes} proxies: "
              + ", ".join(f"{n} {c.url}" for n, c in proxies.items())
              + "\n    (a new pool grants nothing for lease + grace = 3.0 s: the boot window after a restart)",
              flush=True)
        await asyncio.sleep(3.2)
        requests = [r for burst, _ in plan for r in burst]
        for planned in requests:  # no departing clients here: the peaks then show the caps alone
            planned.leave_after_chunks, planned.leave_after_sec = 0, 0.0
        victim = names[-1]
        pool_names = [s.name for s in BACKENDS]
        connector = aiohttp.TCPConnector(limit=0)
        async with aiohttp.ClientSession(connector=connector) as session:
            for child in backends.values():
                async with session.post(child.url + "/stats/reset") as r:
                    await r.read()
            sent: dict[str, list[asyncio.Task[Outcome]]] = {n: [] for n in names}
            alive = list(names)
            start = time.perf_counter()
            done = asyncio.Event()

            async def watch_redis() -> None:
                while not done.is_set():
                    try:
                        pools = await read_pools(redis.url, pool_names)
                    except Exception:
                        pools = {}
                    for name, members in pools.items():
                        result.max_committed[name] = max(result.max_committed[name], sum(members.values()))
                    await asyncio.sleep(0.05)

            async def kill_victim() -> None:
                pools = await read_pools(redis.url, pool_names)
                member = (await get_json(session, proxies[victim].url + "/status.json"))["permits"]["member"]
                result.killed_held = {n: m[member] for n, m in pools.items() if m.get(member)}
                alive.remove(victim)
                proxies[victim].send_signal(signal.SIGKILL)
                killed_at = time.perf_counter()
                result.killed = victim
                print(f"    !  {victim} killed (SIGKILL) at {killed_at - start:.1f}s holding "
                      + (", ".join(f"{n} {k}" for n, k in result.killed_held.items()) or "no permits"), flush=True)
                for _ in range(400):
                    pools = await read_pools(redis.url, pool_names)
                    if not any(member in m for m in pools.values()):
                        result.reclaimed_after = time.perf_counter() - killed_at
                        print(f"    !  its permits reclaimed by the others {result.reclaimed_after:.2f}s after the"
                              " kill (lease 2.0 s + grace 1.0 s)", flush=True)
                        return
                    await asyncio.sleep(0.02)

            async def progress() -> None:
                while True:
                    await asyncio.sleep(1.0)
                    held = []
                    for n in alive:
                        try:
                            pm = (await get_json(session, proxies[n].url + "/status.json"))["permits"]
                        except (aiohttp.ClientError, TimeoutError):
                            continue
                        held.append(f"{n} {sum(b['held'] for b in pm['backends'].values())}")
                    answered = sum(t.done() for ts in sent.values() for t in ts)
                    print(f"    {time.perf_counter() - start:4.1f}s  sent {sum(map(len, sent.values())):>3}/"
                          f"{len(requests)}  answered {answered:>3}   permits held: {', '.join(held)}", flush=True)

            watcher = asyncio.create_task(watch_redis())
            ticker = asyncio.create_task(progress())
            killer: asyncio.Task[None] | None = None
            index = 0
            for k, (burst, pause) in enumerate(plan):
                if killer is None and index >= len(requests) * 0.3 and processes > 1:
                    killer = asyncio.create_task(kill_victim())
                favoured = alive[k % len(alive)]  # the traffic moves from one process to the next
                for j, _ in enumerate(burst):
                    req = requests[index]
                    index += 1
                    target = favoured if j % 4 else alive[(k + j) % len(alive)]
                    sent[target].append(asyncio.create_task(send(session, proxies[target].url, req)))
                await asyncio.sleep(pause * SHARED_PACE)
            for n, tasks in sent.items():
                result.outcomes[n] = list(await asyncio.gather(*tasks))
            if killer is not None:
                await killer
            result.elapsed = time.perf_counter() - start
            ticker.cancel()
            for n in alive:
                for _ in range(300):
                    snap = await get_json(session, proxies[n].url + "/debug/snapshot")
                    if not snap["inflight"] and snap["queue_total_waiters"] == 0:
                        break
                    await asyncio.sleep(0.02)
                result.status[n] = (await get_json(session, proxies[n].url + "/status.json"))["permits"]
            done.set()
            await watcher
            for sid, child in backends.items():
                result.backend_stats[sid] = await get_json(session, child.url + "/stats")
        result.lost = sum(o.error is not None for o in result.outcomes.get(victim, []))
    finally:
        for n, child in proxies.items():
            result.exits[n] = await child.stop()
        redis.close()
    return result


def report_shared(run: SharedRun) -> None:
    total = sum(len(o) for o in run.outcomes.values())
    print(f"\n== {run.processes} proxy processes sharing the caps through Redis (max_concurrency, queue on, ttl "
          f"{SHARED_QUEUE_TTL}s, depth x{SHARED_QUEUE_DEPTH}): {total} requests in {run.elapsed:.1f}s ==")
    print(f"  {'process':<9}{'requests':>9}  answers" + " " * 36 + "permits at the end (held/committed)"
          "   round trips per request")
    for name, outs in run.outcomes.items():
        answered = Counter(o.status for o in outs if o.status is not None)
        answers = "  ".join(f"{code}: {n}" for code, n in sorted(answered.items()))
        if name == run.killed:
            print(f"  {name:<9}{len(outs):>9}  {answers:<43}killed: {run.lost} request(s) open on it were lost "
                  "with it")
            continue
        pm = run.status.get(name, {})
        held = ", ".join(f"{b['name']} {b['held']}/{b['committed']}" for b in pm.get("backends", {}).values()
                         if b["held"] or b["committed"]) or "none"
        trips = pm.get("round_trips_per_request", {})
        print(f"  {name:<9}{len(outs):>9}  {answers:<43}{held:<38}{trips.get('all', 0):.2f}"
              f" (claims {trips.get('claims', 0):.2f})")
    print(f"  {'backend':<11}{'cap':>5}{'peak':>6}{'429s':>6}{'served':>8}   largest committed sum read in Redis")
    for s in BACKENDS:
        st = run.backend_stats.get(s.id, {})
        flag = "  <- above its cap" if st.get("peak", 0) > s.cap else ""
        print(f"  {s.id:>3} {s.name:<7}{s.cap:>5}{st.get('peak', 0):>6}{st.get('rejected_429', 0):>6}"
              f"{st.get('served', 0):>8}   {run.max_committed.get(s.name, 0)}{flag}")
    reasons = Counter(o.reason for outs in run.outcomes.values() for o in outs if o.status == 503)
    print("  503s by reason: " + (", ".join(f"{k} {n}" for k, n in reasons.most_common()) or "none"))
    if run.killed:
        moved = f"{run.reclaimed_after:.2f}s" if run.reclaimed_after is not None else "not within the run"
        print(f"  {run.killed} was killed holding "
              + (", ".join(f"{n} {k}" for n, k in run.killed_held.items()) or "no permits")
              + f"; the others reclaimed them {moved} after the kill (its lease 2.0 s + grace 1.0 s, then the"
              " next write)")
    print("  Each backend's cap is one pool of permits in Redis; a process admits a request only on a permit it\n"
          "  holds, and holds one only while its lease runs. The committed sum (permits held, or requests in\n"
          "  flight where more) never passes a cap, and no backend saw more than its cap. The killed process's\n"
          "  permits stay counted until its lease + grace has passed (its requests might still be running\n"
          "  somewhere); meanwhile the others have less to share and their requests wait longer.")


async def main(args: argparse.Namespace) -> int:
    modes = [m.strip() for m in args.modes.split(",") if m.strip()]
    plan = make_plan(args.seed, args.requests)
    total = sum(len(b) for b, _ in plan)
    kinds = Counter(r.kind for burst, _ in plan for r in burst)
    print(f"workload (seed {args.seed}): {total} requests in {len(plan)} bursts: "
          + ", ".join(f"{k} {n}" for k, n in kinds.most_common()))
    print(f"   clients leaving mid-stream {sum(r.leave_after_chunks > 0 for b, _ in plan for r in b)},"
          f" mid-request {sum(r.leave_after_sec > 0 for b, _ in plan for r in b)}")
    runs: list[ModeRun] = []
    backends: dict[int, Child] = {}
    shared: SharedRun | None = None
    try:
        with tempfile.TemporaryDirectory(prefix="lb-demo-") as tmp:
            started = await asyncio.gather(*(start_backend(s) for s in BACKENDS))
            backends = {s.id: child for s, child in zip(BACKENDS, started)}
            print("backends: " + ", ".join(f"{s.name} {backends[s.id].url}" for s in BACKENDS))
            for mode in modes:
                if backends[FROZEN].proc.returncode is not None:
                    backends[FROZEN] = await start_backend(next(s for s in BACKENDS if s.id == FROZEN))
                print(f"\n-- {mode} --", flush=True)
                run = await run_mode(mode, backends, plan, Path(tmp))
                runs.append(run)
                report(run, total)
            if args.processes > 1 and not args.no_shared:
                if redis_server.available() is None:
                    print("\n-- shared caps: skipped, redis-server is not installed (scripts/demo.sh installs it "
                          "as root with apt-get) --")
                else:
                    if backends[FROZEN].proc.returncode is not None:
                        backends[FROZEN] = await start_backend(next(s for s in BACKENDS if s.id == FROZEN))
                    print(f"\n-- {args.processes} proxy processes, one set of caps (Redis) --", flush=True)
                    shared_plan = make_plan(args.seed + 1, args.shared_requests)
                    shared = await run_shared(backends, shared_plan, Path(tmp), args.processes)
    finally:
        for child in backends.values():
            child.send_signal(signal.SIGCONT)
            await child.stop()
    if runs:
        summary(runs)
    if runs:
        lines = runs[-1].metrics_text.splitlines()
        buckets = [line for line in lines if "_bucket{" in line]
        print(f"\n== /metrics of the {runs[-1].mode} run, as scraped over HTTP"
              f" (its {len(buckets)} histogram bucket lines left out) ==")
        print("\n".join(line for line in lines if "_bucket{" not in line))
    if shared is not None:
        report_shared(shared)
    failures = [r.mode for r in runs if r.proxy_exit != 0 or r.snapshot.get("inflight")
                or r.snapshot.get("queue_total_waiters")]
    if shared is not None and (any(code != 0 for n, code in shared.exits.items() if n != shared.killed)
                               or any(st.get("peak", 0) > s.cap for s in BACKENDS
                                      for st in [shared.backend_stats.get(s.id, {})])):
        failures.append("shared caps")
    if failures:
        print(f"\nleft in flight or parked, or unclean exit: {failures}")
        return 1
    return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--requests", type=int, default=400)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--modes", default=",".join(MODES))
    parser.add_argument("--processes", type=int, default=3, help="proxy processes sharing the caps through Redis")
    parser.add_argument("--shared-requests", type=int, default=300, help="requests of the shared-caps run")
    parser.add_argument("--no-shared", action="store_true", help="leave out the shared-caps run")
    sys.exit(asyncio.run(main(parser.parse_args())))
