"""Processes for the tests of caps shared through Redis: a redis-server, simulated backends, proxies.

Everything runs on 127.0.0.1. Every process is started with PR_SET_PDEATHSIG
(killed if the test process dies) and is killed by `Procs.close()`, which the
tests run in a `finally`, so nothing outlives a failing test either.
"""
import asyncio
import json
import signal
import sys
import time
from pathlib import Path

import aiohttp
import redis.asyncio as aioredis

from examples.proxy.launcher import die_with_parent

ROOT = Path(__file__).resolve().parents[1]
# Short leases so that lapses and reclaims happen within a test: T = 1 s, reclaimed 0.5 s after it.
PERMITS = {"lease_sec": 1.0, "grace_sec": 0.5, "reconcile_sec": 0.2, "hold_sec": 1.0, "timeout_sec": 0.2}
# A claim is granted only after a new pool's boot window (lease + grace) and a round trip or two.
BOOT_SEC = PERMITS["lease_sec"] + PERMITS["grace_sec"]


def toml_value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, list):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    return repr(value)


def toml_text(doc):
    """The configuration documents these tests use: tables of scalars, then [[pools]] with their backends."""
    lines = []
    for table, values in doc.items():
        if table == "pools":
            continue
        lines.append(f"[{table}]")
        lines += [f"{k} = {toml_value(v)}" for k, v in values.items()]
    for pool in doc["pools"]:
        lines.append("[[pools]]")
        lines += [f"{k} = {toml_value(v)}" for k, v in pool.items() if k != "backends"]
        for backend in pool["backends"]:
            lines.append("[[pools.backends]]")
            lines += [f"{k} = {toml_value(v)}" for k, v in backend.items()]
    return "\n".join(lines) + "\n"


def proxy_doc(redis_url, backends, *, permits=None, queue_ttl=30.0, mode="max_concurrency"):
    """One chat pool over `backends` [(id, name, url, cap)], queue on, permits shared through `redis_url`."""
    return {
        "server": {"host": "127.0.0.1", "port": 0, "access_log": False, "shutdown_grace_sec": 2.0},
        "upstream": {"health_interval_sec": 0.5, "health_timeout_sec": 1.0, "read_timeout_sec": 20.0},
        "routing": {"mode": mode},
        "queue": {"enabled": True, "ttl_sec": queue_ttl, "max_depth_multiplier": 50},
        "permits": {"redis_url": redis_url, **PERMITS, **(permits or {})},
        "pools": [{"model": "chat", "backends": [{"id": sid, "name": name, "url": url, "max_concurrency": cap}
                                                  for sid, name, url, cap in backends]}],
    }


class Proc:
    def __init__(self, name, proc, url):
        self.name, self.proc, self.url = name, proc, url

    @property
    def pid(self):
        return self.proc.pid


class Procs:
    """The processes one test started."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.all = []

    async def start(self, name, args, *, stderr=None):
        log = open(self.tmp_path / f"{name}.log", "wb") if stderr is None else stderr
        proc = await asyncio.create_subprocess_exec(sys.executable, "-m", *args, cwd=ROOT,
                                                    stdout=asyncio.subprocess.PIPE, stderr=log,
                                                    preexec_fn=die_with_parent)
        p = Proc(name, proc, "")
        self.all.append(p)
        line = (await asyncio.wait_for(proc.stdout.readline(), 30)).decode()
        assert line.startswith("READY "), f"{name} did not start: {line!r}; see {self.tmp_path / (name + '.log')}"
        p.url = line.split()[1]
        return p

    async def backend(self, sid, name, cap, decode_ms=5.0):
        return await self.start(name, ["examples.proxy.backend", "--id", str(sid), "--name", name,
                                       "--max-concurrency", str(cap), "--decode-ms-per-token", str(decode_ms)])

    async def proxy(self, name, doc, *extra):
        path = self.tmp_path / f"{name}.toml"
        path.write_text(toml_text(doc))
        return await self.start(name, ["examples.proxy", "serve", str(path), *extra])

    def log(self, name):
        path = self.tmp_path / f"{name}.log"
        return path.read_text(errors="replace") if path.exists() else ""

    async def close(self):
        for p in self.all:
            if p.proc.returncode is None:
                p.proc.send_signal(signal.SIGCONT)
                p.proc.kill()
        for p in self.all:
            await p.proc.wait()


async def stop(proc, timeout=15):
    """SIGTERM and the exit code (a proxy lets its requests finish, leaves its pools, then exits)."""
    proc.proc.send_signal(signal.SIGCONT)
    proc.proc.terminate()
    return await asyncio.wait_for(proc.proc.wait(), timeout)


def chat(tokens=16, stream=False):
    return {"model": "chat", "messages": [{"role": "user", "content": "hello there"}], "max_tokens": tokens,
            "stream": stream}


async def post(session, url, body):
    """One request: (status, parsed JSON body or None for a stream, seconds, queue wait in seconds)."""
    started = time.monotonic()
    async with session.post(url + "/v1/chat/completions", json=body) as r:
        raw = await r.read()
        elapsed = time.monotonic() - started
        wait = float(r.headers.get("X-Queue-Wait-Ms", "0")) / 1000
        if r.headers.get("Content-Type", "").startswith("text/event-stream"):
            assert raw.rstrip().endswith(b"data: [DONE]"), raw[-200:]
            return r.status, None, elapsed, wait
        return r.status, json.loads(raw), elapsed, wait


async def get_json(session, url):
    async with session.get(url, timeout=aiohttp.ClientTimeout(total=5)) as r:
        return await r.json()


async def until(condition, what, timeout=20.0, every=0.02):
    """Poll an async condition (bounded: a hang fails with `what`)."""
    deadline = time.monotonic() + timeout
    while True:
        if await condition():
            return
        if time.monotonic() > deadline:
            raise AssertionError(f"never happened within {timeout}s: {what}")
        await asyncio.sleep(every)


class PoolView:
    """Reads a permit pool's hash atomically with Redis's clock (MULTI: TIME, HGETALL)."""

    def __init__(self, url, name, prefix="lb-permits"):
        self.redis = aioredis.Redis.from_url(url, socket_timeout=2)
        self.key = f"{prefix}:{name}"

    async def snapshot(self):
        """(Redis time in ms, {member: (committed, epoch, expiry ms)}, cap or None, {wanting members})."""
        async with self.redis.pipeline(transaction=True) as pipe:
            (seconds, micros), raw = await pipe.time().hgetall(self.key).execute()
        now = int(seconds) * 1000 + int(micros) // 1000
        table = {k.decode(): v.decode() for k, v in raw.items()}
        members = {}
        for field, value in table.items():
            if field.startswith("m:"):
                c, e, _, x = (int(v) for v in value.split())
                members[field[2:]] = (c, e, x)
        cap = int(table["C"]) if "C" in table else None
        return now, members, cap, {f[2:] for f in table if f.startswith("w:")}

    async def close(self):
        await self.redis.aclose()
