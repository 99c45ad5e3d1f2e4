"""The proxy: an aiohttp server in front of inference backends, routed by load_balancer.

One request's road:

    read the body (413 over max_body_bytes) -> parse JSON (400) -> pool of its model (404)
    -> estimate_request_tokens -> filter_by_fit (413 "too_large" when nothing fits)
    -> select, with a sticky key from a header or the body's "user"
    -> when select finds no free slot: 503 "at_capacity" with the queue off,
       else wait_for_slot (503 with its reason when refused)
    -> async with InflightLease: forward through the shared client session,
       relaying a server-sent event stream chunk by chunk

A backend that refuses the connection, times out or answers 5xx before
anything was sent to the client is sin-binned for `sin_bin_sec` and the
request is tried once more on another backend of its pool. A backend that
answers 429 is full, not failing: it is not sin-binned, and the request goes
once to another backend of its pool with a free slot now, else waits in the
queue for one (without that backend), else gets the 429 with the backend's
Retry-After. A backend that the
queue hands out after it went out of rotation (the request was parked before)
is not used: the request is routed again without it. A client that goes
away cancels its handler (handler cancellation is on): the wait, the upstream
request and the lease are all let go. Health probes keep a set of backends
that are down; the same probes are the running-servers callable of
`inflight_reaper_loop`, which clears the in-flight counts of dead backends.
"""
from __future__ import annotations

import asyncio
import json
import logging
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

import aiohttp
from aiohttp import web

import load_balancer as lbm

from .config import PoolConfig, ProxyConfig

log = logging.getLogger("proxy")

INFERENCE_ROUTES = (
    "/v1/chat/completions",
    "/v1/completions",
    "/v1/messages",
    "/v1/embeddings",
    "/v1/responses",
    "/v1/rerank",
    "/v1/score",
)
PROMETHEUS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
FORWARDED_HEADERS = ("Content-Type", "Accept", "Authorization", "X-Api-Key", "Anthropic-Version", "X-Request-Id")
RETRY_AFTER_SEC = "1"
MAX_ATTEMPTS = 2

Server = dict[str, Any]


def error_response(status: int, message: str, kind: str, *, reason: str | None = None,
                   headers: dict[str, str] | None = None) -> web.Response:
    """A JSON error body in the usual {"error": {...}} shape."""
    error: dict[str, Any] = {"message": message, "type": kind}
    out_headers = dict(headers or {})
    if reason is not None:
        error["reason"] = reason
        out_headers["X-Reject-Reason"] = reason
    return web.json_response({"error": error}, status=status, headers=out_headers)


@dataclass
class Grant:
    """The backend the balancer gave, and whether (and how long) the request waited in the queue."""

    server: Server
    queued: bool = False
    waited: float = 0.0


@dataclass
class Refusal:
    """The balancer gave no backend: the reason and how long the request waited."""

    reason: str
    waited: float = 0.0


class UpstreamFailure(Exception):
    """An attempt that failed before anything reached the client, so it may be retried."""

    def __init__(self, server: Server, message: str, response: web.Response | None = None) -> None:
        super().__init__(message)
        self.server = server
        self.message = message
        self.response = response


class UpstreamBusy(Exception):
    """The backend answered 429 before anything reached the client: it is full, not failing."""

    def __init__(self, server: Server, retry_after: str | None) -> None:
        super().__init__(f"backend {server['id']} answered 429")
        self.server = server
        self.retry_after = retry_after


class ClientGone(Exception):
    """The client closed its connection while its stream was being relayed."""

    def __init__(self, response: web.StreamResponse) -> None:
        super().__init__("client went away")
        self.response = response


@dataclass
class ProxyStats:
    responses: Counter[tuple[str, int]] = field(default_factory=Counter)
    client_disconnects: int = 0
    retries: int = 0
    upstream_failures: Counter[int] = field(default_factory=Counter)
    midstream_failures: Counter[int] = field(default_factory=Counter)
    sin_binned: Counter[int] = field(default_factory=Counter)
    upstream_429: Counter[int] = field(default_factory=Counter)
    upstream_429_handled: Counter[str] = field(default_factory=Counter)  # retried | parked | passed_through
    leases_over_cap: Counter[tuple[int, str]] = field(default_factory=Counter)
    stale_grants: Counter[int] = field(default_factory=Counter)


class Proxy:
    """The proxy's state: configuration, balancer, client session, health and sin bin."""

    def __init__(self, config: ProxyConfig, lb: lbm.LoadBalancer | None = None) -> None:
        self.config = config
        self.lb = lb if lb is not None else lbm.LoadBalancer()
        self.stats = ProxyStats()
        self.down: set[int] = set()
        self.sin_bin_until: dict[int, float] = {}
        self.port = 0
        self.session: aiohttp.ClientSession | None = None
        self._runner: web.AppRunner | None = None
        self._tasks: list[asyncio.Task[None]] = []
        self._stopping = False

    # -- life cycle -----------------------------------------------------------

    def app(self) -> web.Application:
        app = web.Application(client_max_size=self.config.max_body_bytes)
        for route in INFERENCE_ROUTES:
            app.router.add_post(route, self.handle_inference)
        app.router.add_get("/metrics", self.handle_metrics)
        app.router.add_get("/debug/snapshot", self.handle_snapshot)
        app.router.add_get("/healthz", self.handle_healthz)
        return app

    async def start(self) -> int:
        """Apply the balancer settings, open the client session, start the background tasks, listen."""
        cfg = self.config
        cfg.apply_module_settings()
        self.lb.set_routing_mode(cfg.routing_mode)
        timeout = aiohttp.ClientTimeout(total=None, sock_connect=cfg.connect_timeout_sec,
                                        sock_read=cfg.read_timeout_sec)
        # No connection limit: the balancer decides how many requests each backend gets.
        self.session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0), timeout=timeout)
        self._tasks = [
            asyncio.create_task(lbm.inflight_reaper_loop(self.lb, interval_sec=cfg.reaper_interval_sec,
                                                         list_running_servers=self.running_servers),
                                name="inflight-reaper"),
        ]
        if cfg.health_interval_sec > 0:
            self._tasks.append(asyncio.create_task(self._health_loop(), name="health-probes"))
        self._runner = web.AppRunner(self.app(), handler_cancellation=True, access_log=None,
                                     shutdown_timeout=cfg.shutdown_grace_sec)
        await self._runner.setup()
        await web.TCPSite(self._runner, cfg.host, cfg.port).start()
        self.port = int(self._runner.addresses[0][1])
        log.info("listening on http://%s:%d: %d pool(s), %d backend(s), routing mode %s, queue %s",
                 cfg.host, self.port, len(cfg.pools), len(cfg.backends()), self.lb.get_routing_mode(),
                 "on" if self.lb.queue_enabled() else "off")
        return self.port

    async def stop(self) -> None:
        """Stop listening, let requests in flight finish within the grace time, then stop the tasks."""
        log.info("shutting down (grace %.1fs, %d request(s) in flight)",
                 self.config.shutdown_grace_sec, sum(self.lb.inflight.values()))
        self._stopping = True
        if self._runner is not None:
            await self._runner.cleanup()
            self._runner = None
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self._tasks = []
        if self.session is not None:
            await self.session.close()
            self.session = None
        log.info("stopped")

    # -- health and sin bin -----------------------------------------------------

    async def _probe(self, server: Server) -> bool:
        assert self.session is not None
        timeout = aiohttp.ClientTimeout(total=self.config.health_timeout_sec)
        try:
            async with self.session.get(server["url"] + self.config.health_path, timeout=timeout) as r:
                await r.read()
                return r.status == 200
        except (aiohttp.ClientError, asyncio.TimeoutError):
            return False

    async def running_servers(self) -> list[Server]:
        """Probe every backend now and return the records of those that answer.

        The reaper's running-servers callable; the health loop uses it too.
        """
        servers = self.config.backends()
        results = await asyncio.gather(*(self._probe(s) for s in servers))
        for server, ok in zip(servers, results):
            sid = server["id"]
            if not ok and sid not in self.down:
                self.down.add(sid)
                log.warning("backend %d (%s) failed its health probe: out of rotation", sid, server["name"])
            elif ok and sid in self.down:
                self.down.discard(sid)
                log.info("backend %d (%s) answers its health probe again", sid, server["name"])
        return [s for s, ok in zip(servers, results) if ok]

    async def _health_loop(self) -> None:
        while True:
            try:
                await self.running_servers()
            except Exception:
                log.exception("health probe round failed")
            await asyncio.sleep(self.config.health_interval_sec)

    def _sin_bin(self, server: Server, why: str) -> None:
        sid = server["id"]
        self.sin_bin_until[sid] = time.monotonic() + self.config.sin_bin_sec
        self.stats.sin_binned[sid] += 1
        log.warning("backend %d (%s) %s: sin-binned for %.1fs", sid, server["name"], why, self.config.sin_bin_sec)

    def excluded(self) -> set[int]:
        """Backends not to route to now: down by the health probes, or in the sin bin."""
        now = time.monotonic()
        for sid, until in list(self.sin_bin_until.items()):
            if until <= now:
                del self.sin_bin_until[sid]
        return self.down | set(self.sin_bin_until)

    # -- requests -----------------------------------------------------------------

    async def handle_inference(self, request: web.Request) -> web.StreamResponse:
        try:
            response = await self._handle(request)
        except asyncio.CancelledError:
            if not self._stopping:  # cancelled by the client going away, not by the shutdown
                self.stats.client_disconnects += 1
            raise
        except ClientGone as gone:
            self.stats.client_disconnects += 1
            return gone.response
        self.stats.responses[(request.path, response.status)] += 1
        return response

    async def _handle(self, request: web.Request) -> web.StreamResponse:
        limit = self.config.max_body_bytes
        if request.content_length is not None and request.content_length > limit:
            return error_response(413, f"request body larger than {limit} bytes", "invalid_request_error")
        try:
            raw = await request.read()
        except web.HTTPRequestEntityTooLarge:
            return error_response(413, f"request body larger than {limit} bytes", "invalid_request_error")
        try:
            body = json.loads(raw)
        except ValueError as e:
            return error_response(400, f"malformed JSON body: {e}", "invalid_request_error")
        if not isinstance(body, dict):
            return error_response(400, "the body must be a JSON object", "invalid_request_error")
        model = body.get("model")
        if not isinstance(model, str) or not model:
            return error_response(400, 'the body needs a "model" string', "invalid_request_error")
        pool = self.config.pools.get(model)
        if pool is None:
            return error_response(404, f"unknown model {model!r}", "not_found_error")

        tokens = lbm.estimate_request_tokens(body)
        candidates = self.lb.filter_by_fit(pool.records, tokens)
        if not candidates:
            self.lb.note_reject(lbm.RejectReason.TOO_LARGE)
            largest = max(s["max_input_tokens"] for s in pool.records)
            return error_response(413, f"about {tokens} input tokens: more than any backend of {model} takes "
                                  f"(at most {largest})", "invalid_request_error", reason=lbm.RejectReason.TOO_LARGE)
        user = body.get("user")
        sticky = request.headers.get(self.config.sticky_header) or (user if isinstance(user, str) and user else None)
        stream = body.get("stream") is True
        return await self._route(request, raw, pool, candidates, tokens, sticky, stream)

    async def _acquire(self, pool: PoolConfig, candidates: list[Server], tokens: int, sticky: str | None,
                       failed: set[int]) -> Grant | Refusal:
        """A backend for the request, or the balancer's refusal (counted once, by reason)."""
        excluded = self.excluded() | failed
        server = await self.lb.select(pool.key, candidates, estimated_tokens=tokens, sin_binned=excluded,
                                      algorithm=pool.algorithm, sticky_key=sticky)
        if server is not None:
            return Grant(server)
        if not self.lb.queue_enabled():
            # Nothing free, and no queue: at capacity, unless nothing could be used at all.
            usable = any(s["id"] not in excluded for s in candidates)
            reason = lbm.RejectReason.AT_CAPACITY if usable else lbm.RejectReason.NO_BACKENDS
            self.lb.note_reject(reason)
            return Refusal(reason)
        server, reason, waited = await self.lb.wait_for_slot(pool.key, candidates, tokens, sin_binned=excluded)
        if server is None:
            if reason == "queue_disabled":  # the routing mode changed while the request was being routed
                self.lb.note_reject(lbm.RejectReason.AT_CAPACITY)
                reason = lbm.RejectReason.AT_CAPACITY
            return Refusal(reason, waited)
        return Grant(server, queued=True, waited=waited)

    async def _reroute(self, pool: PoolConfig, candidates: list[Server], tokens: int, sticky: str | None,
                       skip: set[int]) -> Grant | Refusal | None:
        """After a 429: a backend with a free slot now, else a wait in the queue, else None (pass the 429 on).

        `skip` holds the backend that answered 429 (and any that failed for this
        request). It is left out of the wait too: the balancer still sees a free
        slot there and would admit the request at once.
        """
        excluded = self.excluded() | skip
        server = await self.lb.select(pool.key, candidates, estimated_tokens=tokens, sin_binned=excluded,
                                      algorithm=pool.algorithm, sticky_key=sticky)
        if server is not None:
            self.stats.upstream_429_handled["retried"] += 1
            return Grant(server)
        # The backends the queue would wait on: as wait_for_slot picks them.
        weighted = [s for s in candidates if (s.get("weight") or 0.0) > 0.0] or candidates
        if not self.lb.queue_enabled() or all(s["id"] in excluded for s in weighted):
            return None
        self.stats.upstream_429_handled["parked"] += 1
        server, reason, waited = await self.lb.wait_for_slot(pool.key, candidates, tokens, sin_binned=excluded)
        if server is None:
            if reason == "queue_disabled":  # the routing mode changed meanwhile
                self.lb.note_reject(lbm.RejectReason.AT_CAPACITY)
                reason = lbm.RejectReason.AT_CAPACITY
            return Refusal(reason, waited)
        return Grant(server, queued=True, waited=waited)

    async def _route(self, request: web.Request, raw: bytes, pool: PoolConfig, candidates: list[Server],
                     tokens: int, sticky: str | None, stream: bool) -> web.StreamResponse:
        """Up to one retry after a failure and one re-route after a 429, each on another backend."""
        skip: set[int] = set()  # backends that failed or answered 429 for this request
        failure: UpstreamFailure | None = None  # the failure the current attempt retries
        busy: UpstreamBusy | None = None  # the 429 the current attempt re-routes
        retried = rerouted = False
        attempt = 0
        headers: dict[str, str] = {}
        got: Grant | Refusal | None = await self._acquire(pool, candidates, tokens, sticky, skip)
        while True:
            if isinstance(got, Grant) and got.queued and got.server["id"] in self.excluded():
                # Parked before that backend went out of rotation: a waiter keeps the
                # backends it was parked on, and a dead backend's released leases
                # free "slots" there. Route again without it (not an attempt).
                self.stats.stale_grants[got.server["id"]] += 1
                log.info("queue handed out backend %d, now out of rotation: routing again", got.server["id"])
                skip.add(got.server["id"])
                got = await self._acquire(pool, candidates, tokens, sticky, skip)
            if got is None:
                assert busy is not None
                return self._pass_429(pool, busy, headers)
            if isinstance(got, Refusal):
                if failure is not None:
                    break
                return error_response(503, f"no backend of {pool.model} can take the request now "
                                      f"({got.reason})", "overloaded_error", reason=got.reason,
                                      headers={"Retry-After": RETRY_AFTER_SEC})
            server = got.server
            attempt += 1
            if failure is not None:
                self.stats.retries += 1
                log.info("retrying on backend %d (%s) after %s", server["id"], server["name"], failure)
            elif busy is not None:
                log.info("re-routing to backend %d (%s) after %s", server["id"], server["name"], busy)
            headers = {"X-Backend-Id": str(server["id"]), "X-Queue-Wait-Ms": f"{got.waited * 1000:.1f}",
                       "X-Attempts": str(attempt)}
            failure = busy = None
            # Nothing awaits between the grant and the lease: a slot the queue handed
            # over is held for this request only until wait_for_slot returned.
            async with lbm.InflightLease(self.lb, server["id"]):
                self._check_cap(server, "queue" if got.queued else "select")
                try:
                    return await self._forward(request, raw, server, stream, headers)
                except UpstreamFailure as e:
                    failure = e
                except UpstreamBusy as e:
                    busy = e
            skip.add(server["id"])
            if busy is not None:
                self.stats.upstream_429[server["id"]] += 1
                if rerouted:
                    return self._pass_429(pool, busy, headers)
                rerouted = True
                got = await self._reroute(pool, candidates, tokens, sticky, skip)
                continue
            assert failure is not None
            self.stats.upstream_failures[server["id"]] += 1
            self._sin_bin(server, failure.message)
            if retried:
                break
            retried = True
            got = await self._acquire(pool, candidates, tokens, sticky, skip)
        assert failure is not None
        if failure.response is not None:
            return failure.response
        return error_response(502, f"backend {failure.server['id']} {failure.message}", "upstream_error")

    def _pass_429(self, pool: PoolConfig, busy: UpstreamBusy, headers: dict[str, str]) -> web.Response:
        """The backend's 429 to the client, with its Retry-After, when no other backend can take the request."""
        self.stats.upstream_429_handled["passed_through"] += 1
        server = busy.server
        log.info("backend %d (%s) answered 429 and no other backend of %s can take the request: passing it on",
                 server["id"], server["name"], pool.model)
        return error_response(429, f"backend {server['id']} ({server['name']}) is at its concurrency limit and "
                              f"no other backend of {pool.model} can take the request now", "rate_limit_error",
                              headers={**headers, "Retry-After": busy.retry_after or RETRY_AFTER_SEC})

    def _check_cap(self, server: Server, via: str) -> None:
        """Count leases that take a backend past its configured cap.

        The balancer holds a slot handed to a parked request (`held_slots`) until
        its wait returns, and the lease is entered on that same turn of the event
        loop, so this should stay at zero: it is kept as a check that no lease
        overbooks a backend, slots held for other woken requests included.
        """
        cap = server["max_concurrency"]
        sid = server["id"]
        if 0 < cap < self.lb.get_inflight(sid) + self.lb.held_slots.get(sid, 0):
            self.stats.leases_over_cap[(server["id"], via)] += 1

    async def _forward(self, request: web.Request, raw: bytes, server: Server, stream: bool,
                       headers: dict[str, str]) -> web.StreamResponse:
        """One upstream attempt. Raises UpstreamFailure while nothing has reached the client."""
        assert self.session is not None
        out = {k: v for k in FORWARDED_HEADERS if (v := request.headers.get(k)) is not None}
        relaying = False
        try:
            async with self.session.post(server["url"] + request.path, data=raw, headers=out) as up:
                try:
                    ctype = up.headers.get("Content-Type", "application/json")
                    if up.status >= 500:
                        data = await up.read()
                        raise UpstreamFailure(server, f"answered {up.status}", web.Response(
                            status=up.status, body=data, headers={**headers, "Content-Type": ctype}))
                    if stream and up.status == 200 and ctype.startswith("text/event-stream"):
                        relaying = True
                        return await self._relay(request, up, server, headers)
                    data = await up.read()
                except BaseException:
                    up.close()  # drop the upstream connection: the backend sees the request go
                    raise
                if up.status == 429:
                    raise UpstreamBusy(server, up.headers.get("Retry-After"))
        except aiohttp.ClientError as e:
            if relaying:
                raise
            raise UpstreamFailure(server, f"failed: {type(e).__name__}: {e}") from None
        except asyncio.TimeoutError:
            if relaying:
                raise
            raise UpstreamFailure(server, "timed out") from None
        return web.Response(status=up.status, body=data, headers={**headers, "Content-Type": ctype})

    async def _relay(self, request: web.Request, up: aiohttp.ClientResponse, server: Server,
                     headers: dict[str, str]) -> web.StreamResponse:
        """Pass a server-sent event stream through chunk by chunk; the caller's lease spans it."""
        resp = web.StreamResponse(status=up.status, headers={
            **headers, "Content-Type": up.headers["Content-Type"], "Cache-Control": "no-cache"})
        try:
            await resp.prepare(request)
        except ConnectionResetError:
            raise ClientGone(resp) from None
        while True:
            try:
                chunk = await up.content.readany()
            except (aiohttp.ClientError, asyncio.TimeoutError) as e:
                # Bytes already went out: no retry. Tell the client in-band and end the stream.
                self.stats.midstream_failures[server["id"]] += 1
                self._sin_bin(server, f"failed mid-stream ({type(e).__name__})")
                error = {"error": {"message": f"backend {server['id']} failed mid-stream", "type": "upstream_error"}}
                chunk = f"data: {json.dumps(error)}\n\n".encode()
                try:
                    await resp.write(chunk)
                    await resp.write_eof()
                except ConnectionResetError:
                    raise ClientGone(resp) from None
                return resp
            try:
                if not chunk:
                    await resp.write_eof()
                    return resp
                await resp.write(chunk)
            except ConnectionResetError:
                raise ClientGone(resp) from None

    # -- diagnostics -----------------------------------------------------------------

    async def handle_metrics(self, request: web.Request) -> web.Response:
        text = self.lb.prometheus_text() + self.metrics_text()
        return web.Response(body=text.encode(), headers={"Content-Type": PROMETHEUS_CONTENT_TYPE})

    async def handle_snapshot(self, request: web.Request) -> web.Response:
        return web.json_response(self.lb.snapshot())

    async def handle_healthz(self, request: web.Request) -> web.Response:
        excluded = self.excluded()
        backends = {str(s["id"]): {"name": s["name"], "up": s["id"] not in self.down,
                                   "sin_binned": s["id"] in self.sin_bin_until,
                                   "inflight": self.lb.get_inflight(s["id"])}
                    for s in self.config.backends()}
        usable = any(s["id"] not in excluded for s in self.config.backends())
        return web.json_response({"status": "ok" if usable else "no usable backend",
                                  "routing_mode": self.lb.get_routing_mode(),
                                  "queue_enabled": self.lb.queue_enabled(), "backends": backends},
                                 status=200 if usable else 503)

    def metrics_text(self) -> str:
        """The proxy's own families, in the same text format, after the balancer's."""
        st = self.stats
        lines: list[str] = []

        def family(name: str, kind: str, help_text: str, samples: list[tuple[str, float | int]]) -> None:
            lines.append(f"# HELP {name} {help_text}")
            lines.append(f"# TYPE {name} {kind}")
            lines.extend(f"{name}{labels} {value}" for labels, value in samples)

        def by_server(counts: Counter[int]) -> list[tuple[str, float | int]]:
            return [(f'{{server_id="{sid}"}}', n) for sid, n in sorted(counts.items())]

        family("proxy_requests_total", "counter", "Inference requests answered, by route and status code.",
               [(f'{{route="{route}",code="{code}"}}', n) for (route, code), n in sorted(st.responses.items())])
        family("proxy_client_disconnects_total", "counter",
               "Inference requests whose client went away before the answer ended.",
               [("", st.client_disconnects)])
        family("proxy_retries_total", "counter", "Requests sent to another backend after one failed (a 429 is not a failure).",
               [("", st.retries)])
        family("proxy_upstream_failures_total", "counter",
               "Upstream attempts that failed before the answer started (refused, timed out or 5xx).",
               by_server(st.upstream_failures))
        family("proxy_midstream_failures_total", "counter", "Streams cut because their backend failed.",
               by_server(st.midstream_failures))
        family("proxy_sin_binned_total", "counter", "Times a backend was put in the sin bin.",
               by_server(st.sin_binned))
        family("proxy_upstream_429_total", "counter",
               "Upstream attempts answered 429 (the backend at its own limit) before the answer started.",
               by_server(st.upstream_429))
        family("proxy_upstream_429_handled_total", "counter",
               "What became of those 429s: retried on another backend, parked in the queue, or passed through.",
               [(f'{{action="{action}"}}', n) for action, n in sorted(st.upstream_429_handled.items())])
        family("proxy_leases_over_cap_total", "counter",
               "Leases that took a backend past its configured max_concurrency, by how the backend was got.",
               [(f'{{server_id="{sid}",via="{via}"}}', n) for (sid, via), n in sorted(st.leases_over_cap.items())])
        family("proxy_stale_grants_total", "counter",
               "Backends handed out by the queue after they went out of rotation (the request was routed again).",
               by_server(st.stale_grants))
        family("proxy_backend_up", "gauge", "Whether a backend answered its last health probe.",
               [(f'{{server_id="{s["id"]}"}}', int(s["id"] not in self.down)) for s in self.config.backends()])
        return "\n".join(lines) + "\n"
