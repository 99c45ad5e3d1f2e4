"""The example proxy over real HTTP: backends, proxy and clients on 127.0.0.1 ephemeral ports."""
import asyncio
import json
import logging
import shutil
import signal
import socket
import subprocess
import sys
from pathlib import Path

import aiohttp
import pytest
from prometheus_client.parser import text_string_to_metric_families

import load_balancer as lbm
from examples.proxy.backend import SimBackend
from examples.proxy.config import ConfigError, parse
from examples.proxy.server import Proxy

ROOT = Path(__file__).resolve().parents[1]
MODES = ["superfast", "hybrid", "max_concurrency", "queue_all"]
# Module settings a proxy assigns when it starts; each test gets them back as they were.
SETTINGS = ["QUEUE_ENABLED", "QUEUE_TTL_SEC", "QUEUE_MAX_DEPTH_MULTIPLIER", "QUEUE_DEADLINE_BOOST_SEC",
            "QUEUE_ALL_TTL_SEC", "QUEUE_ALL_DEPTH_MULTIPLIER", "SUPERFAST_PER_SERVER_CAP",
            "HYBRID_INFLIGHT_THRESHOLD", "HYBRID_RATE_THRESHOLD", "HYBRID_HOT_EXIT_RATIO"]


@pytest.fixture(autouse=True)
def module_settings(monkeypatch):
    for name in SETTINGS:
        monkeypatch.setattr(lbm, name, getattr(lbm, name))


def chat(stream=False, **extra):
    return {"model": "chat", "messages": [{"role": "user", "content": "hello " * 20}], "max_tokens": 4,
            "stream": stream, **extra}


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}"


async def until(condition, what):
    """Wait for a condition of the running system (bounded: a hang fails with `what`)."""
    try:
        async with asyncio.timeout(20):
            while not condition():
                await asyncio.sleep(0.005)
    except TimeoutError:
        raise AssertionError(f"never happened: {what}") from None


class Stack:
    """Backends and a proxy in this event loop, plus one client session."""

    def __init__(self, pools, *, mode="max_concurrency", queue=None, upstream=None, server=None):
        # pools: model -> list of (SimBackend or URL, record fields)
        self.pools = pools
        self.doc = {
            "server": {"host": "127.0.0.1", "port": 0, **(server or {})},
            "upstream": {"health_interval_sec": 0.05, "health_timeout_sec": 2.0, "reaper_interval_sec": 0.05,
                         "sin_bin_sec": 60.0, **(upstream or {})},
            "routing": {"mode": mode},
            "queue": {"enabled": False, **(queue or {})},
        }

    async def __aenter__(self):
        self.backends = {}
        pools = []
        for index, (model, members) in enumerate(self.pools.items()):
            records = []
            for target, fields in members:
                if isinstance(target, SimBackend):
                    url = f"http://127.0.0.1:{await target.start()}"
                    self.backends[target.id] = target
                    fields = {"id": target.id, "max_concurrency": target.max_concurrency, **fields}
                else:
                    url = target
                records.append({"url": url, **fields})
            pools.append({"model": model, "clusters": [index], "backends": records})
        self.proxy = Proxy(parse({**self.doc, "pools": pools}))
        self.lb = self.proxy.lb
        self.url = f"http://127.0.0.1:{await self.proxy.start()}"
        self.client = aiohttp.ClientSession()
        return self

    async def __aexit__(self, *exc):
        await self.client.close()
        await self.proxy.stop()
        for backend in self.backends.values():
            await backend.stop()

    async def call(self, path, body, *, raw=None, headers=None):
        """POST and read the whole answer: (status, parsed JSON or SSE data lines, headers)."""
        data = raw if raw is not None else json.dumps(body).encode()
        async with self.client.post(self.url + path, data=data, headers=headers) as r:
            text = await r.text()
            if r.headers.get("Content-Type", "").startswith("text/event-stream"):
                events = [line[6:] for line in text.splitlines() if line.startswith("data: ")]
                return r.status, events, r.headers
            return r.status, json.loads(text), r.headers

    async def get(self, path):
        async with self.client.get(self.url + path) as r:
            return r.status, r.headers.get("Content-Type"), await r.text()

    def settled(self):
        return self.lb.inflight == {} and self.lb._all_waiters == [] and self.lb.held_slots == {}


def run(coro):
    return asyncio.run(coro)


# -- every request answered, nothing left behind ----------------------------------

@pytest.mark.parametrize("mode", MODES)
def test_mixed_burst_every_request_answered_once(mode):
    """A concurrent burst over every route: one complete answer each, then nothing in flight or parked."""
    chat_a, chat_b = SimBackend(1, max_concurrency=2), SimBackend(2, max_concurrency=2)
    embed, rerank = SimBackend(11, max_concurrency=2), SimBackend(21, max_concurrency=2)
    requests = (
        [("/v1/chat/completions", chat(stream=True, user=f"u{i}")) for i in range(8)]
        + [("/v1/chat/completions", chat()) for _ in range(4)]
        + [("/v1/messages", chat(stream=True)), ("/v1/completions", {"model": "chat", "prompt": "hi"}),
           ("/v1/responses", {"model": "chat", "input": "hi", "stream": True})]
        + [("/v1/embeddings", {"model": "embed", "input": [[1, 2, 3]] * 4}) for _ in range(6)]
        + [("/v1/rerank", {"model": "rerank", "query": "q", "documents": ["a", "b"]}) for _ in range(3)]
        + [("/v1/score", {"model": "rerank", "query": "q", "items": ["a", "b", "c"]}) for _ in range(3)]
    )

    async def main():
        queue = {"enabled": mode != "superfast", "ttl_sec": 30.0}
        pools = {"chat": [(chat_a, {"weight": 2}), (chat_b, {})], "embed": [(embed, {})],
                 "rerank": [(rerank, {})]}
        async with Stack(pools, mode=mode, queue=queue) as st:
            answers = await asyncio.gather(*(st.call(path, body) for path, body in requests))
            for (path, body), (status, payload, headers) in zip(requests, answers):
                if status == 200 and body.get("stream"):
                    assert payload[-1] in ("[DONE]",) or '"message_stop"' in payload[-1] \
                        or '"response.completed"' in payload[-1], (path, payload[-3:])
                elif status == 200:
                    assert "error" not in payload
                else:
                    # Refused by the balancer (503 + reason) or by the backend's own limit (429).
                    assert status in (503, 429), (status, payload)
                    assert "error" in payload
            statuses = [a[0] for a in answers]
            await until(st.settled, "nothing in flight or parked")
            snap = st.lb.snapshot()
            assert snap["queue_total_waiters"] == 0 and snap["inflight"] == {}
            answered = sum(n for (_, code), n in st.proxy.stats.responses.items())
            assert answered == len(requests) and st.proxy.stats.client_disconnects == 0
            # Every 503 is one refusal counted by the balancer, under its reason.
            assert statuses.count(503) == sum(st.lb.reject_counts.values())
            if mode != "superfast":
                assert "at_capacity" not in st.lb.reject_counts
            assert sum(b.active for b in st.backends.values()) == 0

    run(main())


@pytest.mark.parametrize("mode", ["max_concurrency", "queue_all", "hybrid"])
def test_burst_beyond_capacity_served_in_full_through_queue(mode):
    """Caps of 1, the queue on: a burst four times the pool's capacity is served completely."""
    backends = [SimBackend(1, max_concurrency=1), SimBackend(2, max_concurrency=1)]
    gate = asyncio.Event
    burst = 8

    async def main():
        pools = {"chat": [(b, {}) for b in backends]}
        async with Stack(pools, mode=mode, queue={"enabled": True, "ttl_sec": 60.0}) as st:
            hold = gate()
            for b in backends:
                b.hold = hold
            calls = [asyncio.create_task(st.call("/v1/chat/completions", chat(stream=i % 2 == 0)))
                     for i in range(burst)]
            # Every request has arrived: two hold the slots, the rest are parked.
            await until(lambda: len(st.lb._all_waiters) == burst - 2, "the rest parked")
            # The two admitted requests reach their backends a moment later.
            await until(lambda: all(b.active == 1 for b in backends), "both backends busy")
            hold.set()
            answers = await asyncio.gather(*calls)
            assert [a[0] for a in answers] == [200] * burst
            await until(st.settled, "nothing in flight or parked")
            assert all(b.peak == 1 and b.rejected == 0 for b in backends)
            assert sum(b.served for b in backends) == burst
            assert len(st.lb.queue_wait_samples) == burst - 2
            assert st.lb.reject_counts == {}

    run(main())


# -- clients that go away ------------------------------------------------------------

@pytest.mark.parametrize("when", ["mid-stream", "while-parked", "mid-request"])
def test_client_disconnect_frees_slot_and_cancels_upstream(when):
    backend = SimBackend(1, max_concurrency=1)

    async def main():
        async with Stack({"chat": [(backend, {})]}, queue={"enabled": True, "ttl_sec": 60.0}) as st:
            backend.hold = asyncio.Event()
            first_chunk = asyncio.Event()

            async def streaming_client():
                async with st.client.post(st.url + "/v1/chat/completions", json=chat(stream=True)) as r:
                    await r.content.readany()
                    first_chunk.set()
                    await asyncio.Event().wait()  # never reads on: gone when cancelled

            if when == "mid-stream":
                client = asyncio.create_task(streaming_client())
                await until(first_chunk.is_set, "first chunk relayed")
            elif when == "mid-request":
                client = asyncio.create_task(st.call("/v1/chat/completions", chat()))
                await until(lambda: backend.active == 1, "request upstream")
            else:
                holder = asyncio.create_task(st.call("/v1/chat/completions", chat()))
                await until(lambda: backend.active == 1, "slot taken")
                client = asyncio.create_task(st.call("/v1/chat/completions", chat()))
                await until(lambda: len(st.lb._all_waiters) == 1, "second request parked")
            client.cancel()
            if when == "while-parked":
                await until(lambda: st.lb._all_waiters == [], "waiter unparked")
                assert st.lb.get_inflight(1) == 1 and backend.cancelled == 0
                backend.hold.set()
                assert (await holder)[0] == 200
            else:
                await until(lambda: backend.active == 0, "upstream request cancelled")
                assert backend.cancelled == 1
            await until(st.settled, "slot released")
            assert st.proxy.stats.client_disconnects == 1
            assert st.lb.reject_counts == {}
            backend.hold.set()
            status, _, headers = await st.call("/v1/chat/completions", chat())
            assert status == 200 and headers["X-Queue-Wait-Ms"] == "0.0"

    run(main())


# -- failing backends --------------------------------------------------------------

async def start_backend_process(backend_id, *args):
    proc = await asyncio.create_subprocess_exec(
        sys.executable, "-m", "examples.proxy.backend", "--id", str(backend_id), *args,
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = (await proc.stdout.readline()).decode()
    assert line.startswith("READY "), line
    return proc, line.split()[1]


@pytest.mark.parametrize("failure", ["refused", "5xx", "frozen"])
def test_failed_backend_sin_binned_and_request_retried(failure, caplog):
    """The first attempt fails on backend 9; the request is answered by backend 2 on its second try."""
    good = SimBackend(2, max_concurrency=1)
    caplog.set_level(logging.WARNING, logger="load_balancer")

    async def main():
        proc = None
        upstream = {}
        if failure == "refused":
            bad = closed_port_url()
            upstream = {"health_interval_sec": 0, "reaper_interval_sec": 60.0}  # no probe finds it first
        elif failure == "5xx":
            bad = SimBackend(9, max_concurrency=2)
            bad.fail_next = 1
        else:
            # A real process: its requests hang when it is frozen (SIGSTOP).
            proc, bad = await start_backend_process(9, "--max-concurrency", "2", "--decode-ms-per-token", "5000")
            upstream = {"health_timeout_sec": 0.2}
        try:
            pools = {"chat": [(bad, {"id": 9, "weight": 3, "max_concurrency": 2}), (good, {"weight": 1})]}
            async with Stack(pools, upstream=upstream, queue={"enabled": True, "ttl_sec": 60.0}) as st:
                if failure != "frozen":
                    status, _, headers = await st.call("/v1/chat/completions", chat())
                    assert status == 200 and headers["X-Backend-Id"] == "2" and headers["X-Attempts"] == "2"
                    expected = {"retries": 1, "failures": 1, "stale": 0}
                else:
                    # Both backends full (two requests hang on 9, one is held on 2), one more parked on both.
                    good.hold = asyncio.Event()
                    calls = []
                    for n in range(1, 4):
                        calls.append(asyncio.create_task(st.call("/v1/chat/completions", chat())))
                        await until(lambda: sum(st.lb.inflight.values()) == n, "request dispatched")
                    assert st.lb.inflight == {9: 2, 2: 1}
                    calls.append(asyncio.create_task(st.call("/v1/chat/completions", chat())))
                    await until(lambda: len(st.lb._all_waiters) == 1, "fourth request parked")
                    proc.send_signal(signal.SIGSTOP)
                    # The probe marks 9 down and the proxy ends its two hung requests (retried: both
                    # park, 2 is full). Their released leases free slots on 9, which the queue hands to
                    # the request parked first: the proxy routes it again without 9.
                    await until(lambda: st.proxy.stats.stale_grants[9] == 1, "stale grant seen")
                    assert st.lb.inflight == {2: 1} and st.proxy.stats.upstream_aborted == {9: 2}
                    good.hold.set()
                    answers = await asyncio.gather(*calls)
                    assert sorted((a[0], a[2]["X-Backend-Id"], a[2]["X-Attempts"]) for a in answers) == [
                        (200, "2", "1"), (200, "2", "1"), (200, "2", "2"), (200, "2", "2")]
                    expected = {"retries": 2, "failures": 2, "stale": 1}
                await until(st.settled, "nothing in flight or parked")
                stats = st.proxy.stats
                assert {"retries": stats.retries, "failures": stats.upstream_failures[9],
                        "stale": stats.stale_grants[9]} == expected
                assert 9 in st.proxy.excluded()
                # No count was left for the reaper to clear: the requests that held it were ended.
                assert not any("Force-cleared" in m for m in caplog.messages)
                # While out of rotation, backend 9 gets nothing, though its weight is higher.
                status, _, headers = await st.call("/v1/chat/completions", chat())
                assert status == 200 and headers["X-Attempts"] == "1" and headers["X-Backend-Id"] == "2"
        finally:
            if proc is not None:
                if proc.returncode is None:
                    proc.kill()
                await proc.wait()

    run(main())


def test_a_backend_5xx_passed_on_is_counted_as_an_upstream_error():
    """Both attempts answered 500: the client gets the last backend's answer, not counted as the proxy's fault."""
    first, second = SimBackend(1, max_concurrency=1), SimBackend(2, max_concurrency=1)
    first.fail_next = second.fail_next = 1

    async def main():
        async with Stack({"chat": [(first, {}), (second, {})]}) as st:
            status, payload, _ = await st.call("/v1/chat/completions", chat())
            assert (status, payload["error"]["type"]) == (500, "server_error")
            assert st.proxy.stats.outcomes == {"upstream_error": 1}

    run(main())


def test_a_second_stale_queue_grant_is_routed_again_too():
    """Parked, handed a backend that went out of rotation, parked again and handed another such one:
    the request goes to neither."""
    backends = {sid: SimBackend(sid, max_concurrency=1) for sid in (1, 2, 3)}

    async def main():
        pools = {"chat": [(b, {}) for b in backends.values()]}
        # No probes: the test marks backends down itself.
        upstream = {"health_interval_sec": 0, "reaper_interval_sec": 60.0}
        async with Stack(pools, upstream=upstream, queue={"enabled": True, "ttl_sec": 60.0}) as st:
            holders = []
            for n, b in enumerate(backends.values(), 1):
                b.hold = asyncio.Event()
                holders.append(asyncio.create_task(st.call("/v1/chat/completions", chat())))
                await until(lambda: sum(st.lb.inflight.values()) == n, "request dispatched")
            call = asyncio.create_task(st.call("/v1/chat/completions", chat()))
            await until(lambda: len(st.lb._all_waiters) == 1, "parked on all three")
            st.proxy.down.add(1)
            backends[1].hold.set()  # its slot goes to the parked request: routed again, parked on 2 and 3
            await until(lambda: st.proxy.stats.stale_grants[1] == 1 and len(st.lb._all_waiters) == 1,
                        "parked again")
            st.proxy.down.add(2)
            backends[2].hold.set()  # its slot goes to the parked request
            await until(lambda: st.proxy.stats.stale_grants[2] == 1 or backends[2].arrived == 2,
                        "the second grant handled")
            backends[3].hold.set()
            status, _, headers = await call
            assert (status, headers["X-Backend-Id"], headers["X-Attempts"]) == (200, "3", "1")
            assert st.proxy.stats.stale_grants == {1: 1, 2: 1}
            assert [(await h)[0] for h in holders] == [200] * 3
            await until(st.settled, "nothing in flight or parked")

    run(main())


# -- backends answering 429 -------------------------------------------------------------

def test_backend_429_retried_on_another_backend_without_sin_bin():
    busy, other = SimBackend(1, max_concurrency=2), SimBackend(2, max_concurrency=2)
    busy.busy_next = 1

    async def main():
        # The heavier weight makes round-robin pick backend 1 first.
        async with Stack({"chat": [(busy, {"weight": 3}), (other, {})]}) as st:
            status, payload, headers = await st.call("/v1/chat/completions", chat(stream=True))
            assert status == 200 and payload[-1] == "[DONE]"
            assert (headers["X-Backend-Id"], headers["X-Attempts"]) == ("2", "2")
            assert (busy.rejected, other.served) == (1, 1)
            await until(st.settled, "nothing in flight or parked")
            stats = st.proxy.stats
            assert stats.upstream_429 == {1: 1} and stats.upstream_429_handled == {"retried": 1}
            # Full is not failing: no sin bin, no failure, no retry counted, nothing refused.
            assert st.proxy.excluded() == set() and stats.upstream_failures == {} and stats.retries == 0
            assert st.lb.reject_counts == {}

    run(main())


def test_backend_429_parked_until_another_backend_frees_a_slot():
    """The only other backend is full: the request waits for it, not for the backend that said 429."""
    busy, full = SimBackend(1, max_concurrency=1), SimBackend(2, max_concurrency=1)
    busy.busy_next = 1

    async def main():
        pools = {"chat": [(busy, {}), (full, {"weight": 3})]}
        async with Stack(pools, queue={"enabled": True, "ttl_sec": 60.0}) as st:
            full.hold = asyncio.Event()
            holder = asyncio.create_task(st.call("/v1/chat/completions", chat()))
            await until(lambda: full.active == 1, "backend 2 busy")
            call = asyncio.create_task(st.call("/v1/chat/completions", chat()))
            await until(lambda: len(st.lb._all_waiters) == 1, "the 429ed request parked")
            assert busy.rejected == 1 and st.lb.inflight == {2: 1}
            full.hold.set()
            (status, _, headers), (held_status, _, _) = await asyncio.gather(call, holder)
            assert (status, held_status, headers["X-Backend-Id"], headers["X-Attempts"]) == (200, 200, "2", "2")
            await until(st.settled, "nothing in flight or parked")
            assert st.proxy.stats.upstream_429_handled == {"parked": 1} and st.lb.reject_counts == {}
            assert busy.served == 0 and full.served == 2

    run(main())


@pytest.mark.parametrize("queue", [False, True])
def test_single_backend_429_passed_to_client_with_its_retry_after(queue):
    """Nothing else to try (and nothing to wait on: the queue would admit it to the same backend)."""
    backend = SimBackend(1, max_concurrency=2)
    backend.busy_next = 2
    backend.retry_after = "7"

    async def main():
        async with Stack({"chat": [(backend, {})]}, queue={"enabled": queue, "ttl_sec": 60.0}) as st:
            for body in (chat(), chat(stream=True)):
                status, payload, headers = await st.call("/v1/chat/completions", body)
                assert (status, headers["Retry-After"], headers["X-Backend-Id"]) == (429, "7", "1")
                assert payload["error"]["type"] == "rate_limit_error"
            await until(st.settled, "nothing in flight or parked")
            assert st.lb.reject_counts == {} and st.proxy.excluded() == set()
            _, _, text = await st.get("/metrics")
            samples = {(s.name, tuple(sorted(s.labels.items()))): s.value
                       for family in text_string_to_metric_families(text) for s in family.samples}
            assert samples[("proxy_upstream_429_total", (("server_id", "1"),))] == 2
            assert samples[("proxy_upstream_429_handled_total", (("action", "passed_through"),))] == 2
            assert samples[("proxy_requests_total", (("code", "429"), ("route", "/v1/chat/completions")))] == 2
            # The backend is not held against: the next request is served by it.
            assert (await st.call("/v1/chat/completions", chat()))[0] == 200

    run(main())


# -- /metrics for a scraper --------------------------------------------------------------

def test_metrics_scraped_over_http():
    backend = SimBackend(1, max_concurrency=1)

    async def main():
        async with Stack({"chat": [(backend, {"max_input_tokens": 1000})]},
                         queue={"enabled": True, "ttl_sec": 60.0}) as st:
            backend.hold = asyncio.Event()
            holder = asyncio.create_task(st.call("/v1/chat/completions", chat()))
            await until(lambda: backend.active == 1, "slot taken")
            parked = asyncio.create_task(st.call("/v1/chat/completions", chat(stream=True)))
            await until(lambda: len(st.lb._all_waiters) == 1, "second request parked")
            lbm.QUEUE_ENABLED = False  # read at the moment of use: the next request is refused at once
            assert (await st.call("/v1/chat/completions", chat()))[0] == 503
            lbm.QUEUE_ENABLED = True
            assert (await st.call("/v1/completions", {"model": "chat", "prompt": "x" * 8000}))[0] == 413
            backend.hold.set()
            assert [(await holder)[0], (await parked)[0]] == [200, 200]
            await until(st.settled, "nothing in flight or parked")

            status, ctype, text = await st.get("/metrics")
            assert status == 200 and ctype == "text/plain; version=0.0.4; charset=utf-8"
            # prometheus_client's families first, then the balancer's text unchanged.
            module_text = st.lb.prometheus_text()
            assert text.endswith(module_text) and text.index("# HELP proxy_") < text.index(module_text)
            samples = {(s.name, tuple(sorted(s.labels.items()))): s.value
                       for family in text_string_to_metric_families(text) for s in family.samples}
            wait = st.lb.queue_wait_samples[0]
            expected = {
                ("varnel_lb_dispatch_total", (("server_id", "1"),)): 2,
                ("varnel_lb_rejected_total", (("reason", "at_capacity"),)): 1,
                ("varnel_lb_rejected_total", (("reason", "too_large"),)): 1,
                ("varnel_lb_queue_depth", ()): 0,
                ("varnel_lb_queue_wait_seconds", (("quantile", "0.5"),)): round(wait, 4),
                ("varnel_lb_queue_wait_seconds", (("quantile", "0.95"),)): round(wait, 4),
                ("varnel_lb_queue_wait_seconds_count", ()): 1,
                ("proxy_requests_total", (("code", "200"), ("route", "/v1/chat/completions"))): 2,
                ("proxy_requests_total", (("code", "503"), ("route", "/v1/chat/completions"))): 1,
                ("proxy_requests_total", (("code", "413"), ("route", "/v1/completions"))): 1,
                ("proxy_retries_total", ()): 0,
                ("proxy_backend_up", (("server_id", "1"),)): 1,
                ("proxy_request_outcomes_total", (("outcome", "ok"),)): 2,
                ("proxy_request_outcomes_total", (("outcome", "refused"),)): 1,
                ("proxy_request_duration_seconds_count", (("code", "200"), ("route", "/v1/chat/completions"))): 2,
                ("proxy_time_to_first_byte_seconds_count", (("code", "413"), ("route", "/v1/completions"))): 1,
                ("proxy_upstream_responses_total", (("code", "200"), ("server_id", "1"))): 2,
                ("proxy_upstream_duration_seconds_count", (("code", "200"), ("server_id", "1"))): 2,
                ("proxy_queue_wait_seconds_count", (("result", "granted"),)): 1,
                ("proxy_tokens_total", (("kind", "completion"), ("model", "chat"))): 4,
            }
            assert {k: samples.get(k) for k in expected} == expected
            # The queue wait as a histogram: a cumulative count and sum that a rate() can use.
            assert samples[("proxy_queue_wait_seconds_sum", (("result", "granted"),))] == pytest.approx(wait, abs=1e-3)
            assert not any(name == "varnel_lb_inflight" for name, _ in samples)
            return text

    text = run(main())
    promtool = shutil.which("promtool")
    if promtool is None:
        pytest.skip("promtool not installed (Debian package prometheus): exposition checked by the parser only")
    check = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True, text=True, timeout=30)
    assert check.returncode == 0, check.stdout + check.stderr


# -- requests refused before routing ----------------------------------------------------

BAD_REQUESTS = [
    # (case, path, raw body or None for a JSON body, body, status, error type, counted reason)
    ("malformed JSON", "/v1/chat/completions", b'{"model": "chat", ', None, 400, "invalid_request_error", None),
    ("not an object", "/v1/embeddings", b'["chat"]', None, 400, "invalid_request_error", None),
    ("no model", "/v1/rerank", None, {"query": "q", "documents": []}, 400, "invalid_request_error", None),
    ("unknown model", "/v1/chat/completions", None, chat(model="nope"), 404, "not_found_error", None),
    ("body over the limit", "/v1/completions", None, {"model": "chat", "prompt": "x" * 5000}, 413,
     "invalid_request_error", None),
    ("body over the limit, chunked", "/v1/completions", "chunked", {"model": "chat", "prompt": "x" * 5000}, 413,
     "invalid_request_error", None),
    ("fits no backend", "/v1/completions", None, {"model": "chat", "prompt": "x" * 2000}, 413,
     "invalid_request_error", "too_large"),
]


@pytest.mark.parametrize("case,path,raw,body,status,kind,reason", BAD_REQUESTS, ids=[c[0] for c in BAD_REQUESTS])
def test_bad_request_gets_its_status_and_changes_nothing_else(case, path, raw, body, status, kind, reason):
    backend = SimBackend(1, max_concurrency=2)

    async def chunks():
        data = json.dumps(body).encode()
        for i in range(0, len(data), 1000):
            yield data[i:i + 1000]

    async def main():
        async with Stack({"chat": [(backend, {"max_input_tokens": 256})]},
                         server={"max_body_bytes": 4096}) as st:
            before = st.lb.snapshot()
            data = chunks() if raw == "chunked" else raw
            got_status, payload, _ = await st.call(path, body, raw=data)
            assert (got_status, payload["error"]["type"], payload["error"].get("reason")) == (status, kind, reason)
            after = st.lb.snapshot()
            assert after["reject_counts"] == ({reason: 1} if reason else {})
            for key in ("inflight", "dispatch_counts", "pools", "queue_total_waiters"):
                assert after[key] == before[key]
            assert backend.arrived == 0
            # The proxy still serves the next request.
            assert (await st.call("/v1/chat/completions", chat()))[0] == 200

    run(main())


# -- configuration and process ------------------------------------------------------------

GOOD = {"pools": [{"model": "m", "backends": [{"id": 1, "url": "http://127.0.0.1:1"}]}]}
BAD_CONFIGS = [
    ({}, "at least one [[pools]]"),
    ({**GOOD, "extra": {}}, "unknown table"),
    ({**GOOD, "routing": {"mode": "fastest"}}, "routing.mode must be one of"),
    ({**GOOD, "queue": {"enabled": "yes"}}, "queue.enabled must be bool"),
    ({**GOOD, "queue": {"size": 3}}, "unknown key queue.size"),
    ({**GOOD, "server": {"port": "80"}}, "server.port must be int"),
    ({"pools": [{"model": "m", "backends": [{"id": 1}]}]}, "url is required"),
    ({"pools": [{"model": "m", "backends": [{"id": 1, "url": "127.0.0.1:1"}]}]}, "must be an http"),
    ({"pools": [{"model": "m", "backends": [{"id": 1, "url": "http://a", "weight": -1}]}]}, "must not be negative"),
    ({"pools": [{"model": "m", "algorithm": "random", "backends": [{"id": 1, "url": "http://a"}]}]},
     "algorithm must be one of"),
    ({"pools": [GOOD["pools"][0], {"model": "n", "backends": [{"id": 1, "url": "http://b"}]}]}, "used twice"),
]


@pytest.mark.parametrize("doc,message", BAD_CONFIGS)
def test_config_errors(doc, message):
    with pytest.raises(ConfigError, match=message.replace("[", r"\[")):
        parse(doc)


def test_config_sets_module_settings_and_pool_keys():
    cfg = parse({**GOOD, "routing": {"mode": " Queue_All ", "superfast_cap": 2},
                 "queue": {"enabled": True, "ttl_sec": 5, "max_depth_multiplier": 3}})
    assert cfg.routing_mode == "queue_all" and cfg.pools["m"].key == ("m", frozenset(), "standard")
    assert cfg.pools["m"].records == [{"id": 1, "url": "http://127.0.0.1:1", "name": "backend-1", "weight": 1.0,
                                       "max_concurrency": 0, "max_input_tokens": 0}]
    cfg.apply_module_settings()
    assert (lbm.QUEUE_ENABLED, lbm.QUEUE_TTL_SEC, lbm.QUEUE_MAX_DEPTH_MULTIPLIER, lbm.SUPERFAST_PER_SERVER_CAP) == (
        True, 5.0, 3, 2)


def test_proxy_process_serves_and_stops_on_signal(tmp_path):
    config = tmp_path / "proxy.toml"
    config.write_text('[server]\nport = 0\n[[pools]]\nmodel = "m"\n'
                      f'[[pools.backends]]\nid = 1\nurl = "{closed_port_url()}"\n')
    proc = subprocess.Popen([sys.executable, "-m", "examples.proxy", str(config)], cwd=ROOT,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = proc.stdout.readline().split()[1]

        async def probe():
            async with aiohttp.ClientSession() as s:
                async with s.get(url + "/healthz") as r:
                    return r.status, (await r.json())["backends"]["1"]

        status, backend = run(probe())
        assert backend["name"] == "backend-1"
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == 0
        assert "stopped" in proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    bad = tmp_path / "bad.toml"
    bad.write_text("[routing]\nmode = 'fastest'\n")
    done = subprocess.run([sys.executable, "-m", "examples.proxy", str(bad)], cwd=ROOT, capture_output=True,
                          text=True, timeout=30)
    assert done.returncode == 2 and "bad configuration" in done.stderr
