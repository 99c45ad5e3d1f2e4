"""The proxy: an aiohttp server in front of inference backends, routed by load_balancer.

One request's road:

    read the body (413 over max_body_bytes, 408 past body_timeout_sec) -> parse JSON (400)
    -> pool of its model (404) -> the sticky key must be UTF-8 text (400)
    -> estimate_request_tokens -> filter_by_fit (413 "too_large" when nothing fits)
    -> select, with a sticky key from a header or the body's "user"
    -> when select finds no free slot: 503 "at_capacity" with the queue off,
       else wait_for_slot (503 with its reason when refused)
    -> async with InflightLease: forward through the shared client session,
       relaying a server-sent event stream chunk by chunk

One middleware owns every answer: it gives each request an id (the client's
X-Request-Id, else a new one), turns aiohttp's HTTP errors and any unexpected
exception into JSON bodies (the latter a logged 500), writes the answer,
counts it (route and status, outcome, latency histograms) and logs it.

A backend that refuses the connection, times out or answers 5xx before
anything was sent to the client is sin-binned for `sin_bin_sec` and the
request is tried once more on another backend of its pool. A backend that
answers 429 is full, not failing: it is not sin-binned, and the request goes
once to another backend of its pool with a free slot now, else waits in the
queue for one (without that backend), else gets the 429 with the backend's
Retry-After. A backend that the queue hands out after it went out of rotation
(the request was parked before) is not used: the request is routed again
without it. A client that goes away cancels its handler (handler cancellation
is on): the wait, the upstream request and the lease are all let go.

Health probes keep a set of backends that are down. When a probe marks a
backend down, the requests open on it are ended at once: retried once
elsewhere when nothing reached the client yet, else their stream ends with an
`upstream_error` event. The same probes are the running-servers callable of
`inflight_reaper_loop`; a backend that still has requests of this proxy open
counts as running there, so the reaper clears only counts that no request
holds.
"""
from __future__ import annotations

import asyncio
import contextvars
import hmac
import ipaddress
import json
import logging
import re
import time
import uuid
from collections import deque
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import aiohttp
from aiohttp import web
from multidict import CIMultiDict

import load_balancer as lbm

from . import status
from .config import ConfigError, PoolConfig, ProxyConfig, load
from .listener import ClientLimits, ConnectionGuard, protocol_factory
from .metrics import ProxyMetrics, ProxyStats, outcome_of
from .permits import Permits, check_workers, make_permits

log = logging.getLogger("proxy")
access_log = logging.getLogger("proxy.access")

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
RETRY_AFTER_SEC = "1"
# Headers that belong to one connection, not to the request (hop-by-hop).
HOP_BY_HOP = frozenset({"connection", "keep-alive", "proxy-connection", "proxy-authenticate",
                        "proxy-authorization", "te", "trailer", "transfer-encoding", "upgrade"})
# Not passed to a backend: the client session sets these itself (and decompresses what it asks for).
NOT_FORWARDED = HOP_BY_HOP | {"host", "content-length", "expect", "accept-encoding", "x-request-id"}
# Not passed back: the proxy's own server sets these, and the body is passed decompressed.
NOT_PASSED_BACK = HOP_BY_HOP | {"content-length", "content-encoding", "date", "server", "x-request-id"}
_REQUEST_ID = re.compile(r"[A-Za-z0-9._:@/+=-]{1,128}")
_CONTROL = re.compile(r"[\x00-\x08\x0a-\x1f\x7f]")
USAGE_PARSE_LIMIT = 1 << 20  # JSON answers larger than this are not read for their token usage

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


def _is_text(value: str) -> bool:
    """Encodable as UTF-8: no lone surrogates (a JSON escape, or header bytes that were not UTF-8)."""
    if value.isascii():
        return True
    try:
        value.encode()
    except UnicodeEncodeError:
        return False
    return True


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

    def __init__(self, server: Server, message: str, response: web.Response | None = None, *,
                 sin_bin: bool = True) -> None:
        super().__init__(message)
        self.server = server
        self.message = message
        self.response = response
        self.sin_bin = sin_bin  # not for a backend already out of rotation by its health probe


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


@dataclass(eq=False)
class Attempt:
    """One upstream request, open on its backend; the proxy can end it (`end`)."""

    server_id: int
    scope: asyncio.Timeout | None = None
    ended_because: str = ""  # set when the proxy ended it
    stream: web.StreamResponse | None = None  # the client's stream, once relaying began
    code: str = "error"  # the backend's status, or how the attempt failed

    def end(self, why: str) -> None:
        if self.ended_because or self.scope is None:
            return
        self.ended_because = why
        self.scope.reschedule(asyncio.get_running_loop().time())  # raises in the attempt at once


@dataclass
class RequestState:
    """What one request's handling records along the way, for the middleware that answers it."""

    request_id: str = ""
    expectation_failed: str | None = None
    stream: web.StreamResponse | None = None  # a stream answer, once prepared
    first_byte_at: float | None = None  # when the first byte of a stream's body went out
    outcome: str | None = None  # set where the status alone does not tell it
    gone: bool = False  # the client went away before its answer was written


_REQUEST: contextvars.ContextVar[RequestState] = contextvars.ContextVar("proxy_request")


def _state() -> RequestState:
    """The state of the request being handled (aiohttp runs each request in a task of its own)."""
    try:
        return _REQUEST.get()
    except LookupError:
        state = RequestState()
        _REQUEST.set(state)
        return state


class Proxy:
    """The proxy's state: configuration, balancer, client session, health, sin bin and drains."""

    def __init__(self, config: ProxyConfig, lb: lbm.LoadBalancer | None = None, *,
                 config_path: str | Path | None = None,
                 before_reload: Callable[[ProxyConfig], Awaitable[None]] | None = None,
                 workers: int = 1, reuse_port: bool = False) -> None:
        self.config = config
        self.config_path = config_path
        self.before_reload = before_reload
        self.lb = lb if lb is not None else lbm.LoadBalancer()
        # Caps shared with other proxy processes (Redis permits, or a static division among workers).
        self.permits: Permits | None = make_permits(self.lb, config, workers)
        self.workers = workers
        self.reuse_port = reuse_port
        self.stats = ProxyStats()
        self.metrics = ProxyMetrics(self)
        self.guard = ConnectionGuard(self._limits(config))
        self.down: set[int] = set()
        self.drained: set[int] = set()
        self.sin_bin_until: dict[int, float] = {}
        self.attempts: dict[int, set[Attempt]] = {}
        self.port = 0
        self.started_at = time.time()
        self.session: aiohttp.ClientSession | None = None
        self._runner: web.AppRunner | None = None
        self._listener: asyncio.Server | None = None
        self._tasks: list[asyncio.Task[None]] = []
        self._stopping = False
        self._rates: deque[tuple[float, dict[int, int]]] = deque()  # dispatch counts, sampled for /status
        self._upstream_timeout = self._client_timeout(config)

    @staticmethod
    def _limits(config: ProxyConfig) -> ClientLimits:
        return ClientLimits(config.max_connections, config.header_timeout_sec, config.keepalive_timeout_sec)

    @staticmethod
    def _client_timeout(config: ProxyConfig) -> aiohttp.ClientTimeout:
        return aiohttp.ClientTimeout(total=None, sock_connect=config.connect_timeout_sec,
                                     sock_read=config.read_timeout_sec)

    def event_loop_name(self) -> str:
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            return "none"
        return "uvloop" if type(loop).__module__.startswith("uvloop") else "asyncio"

    # -- life cycle -----------------------------------------------------------

    def app(self) -> web.Application:
        # The body is read (and its size checked) by the handler, so the limit is reloadable.
        app = web.Application(middlewares=[self._middleware], client_max_size=1 << 62)
        routes: list[tuple[str, str, Callable[[web.Request], Awaitable[web.StreamResponse]]]] = [
            ("POST", route, self.handle_inference) for route in INFERENCE_ROUTES]
        routes += [
            ("GET", "/v1/models", self.handle_models),
            ("GET", "/v1/models/{model:.+}", self.handle_model),
            ("GET", "/metrics", self.handle_metrics),
            ("GET", "/debug/snapshot", self.handle_snapshot),
            ("GET", "/healthz", self.handle_healthz),
            ("GET", "/status", self.handle_status_page),
            ("GET", "/status.json", self.handle_status_data),
            ("GET", "/admin/backends", self.handle_admin_backends),
            ("POST", "/admin/backends/{id}/{action:drain|undrain}", self.handle_admin_drain),
            ("POST", "/admin/reload", self.handle_admin_reload),
        ]
        for method, path, handler in routes:
            app.router.add_route(method, path, handler, expect_handler=self._expect)
        return app

    async def start(self) -> int:
        """Apply the balancer settings, open the client session, start the background tasks, listen."""
        cfg = self.config
        cfg.apply_module_settings()
        self.lb.set_routing_mode(cfg.routing_mode)
        # No connection limit: the balancer decides how many requests each backend gets.
        self.session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0),
                                             timeout=self._upstream_timeout)
        self._tasks = [
            asyncio.create_task(lbm.inflight_reaper_loop(self.lb, interval_sec=cfg.reaper_interval_sec,
                                                         list_running_servers=self.running_servers),
                                name="inflight-reaper"),
        ]
        if cfg.health_interval_sec > 0:
            self._tasks.append(asyncio.create_task(self._health_loop(), name="health-probes"))
        self._tasks.append(asyncio.create_task(self._sample_dispatches(), name="dispatch-rates"))
        if self.permits is not None:
            await self.permits.start()
        self._runner = web.AppRunner(self.app(), handler_cancellation=True, access_log=None,
                                     shutdown_timeout=cfg.shutdown_grace_sec)
        await self._runner.setup()
        server = self._runner.server
        assert server is not None
        factory = protocol_factory(server, self.guard, access_log=None, lingering_time=2.0)
        self._listener = await asyncio.get_running_loop().create_server(factory, cfg.host, cfg.port, backlog=1024,
                                                                        reuse_port=self.reuse_port or None)
        self.port = int(self._listener.sockets[0].getsockname()[1])
        log.info("listening on http://%s:%d: %d pool(s), %d backend(s), routing mode %s, queue %s, event loop %s",
                 cfg.host, self.port, len(cfg.pools), len(cfg.backends()), self.lb.get_routing_mode(),
                 "on" if self.lb.queue_enabled() else "off", self.event_loop_name())
        return self.port

    async def stop(self) -> None:
        """Stop listening, let requests in flight finish within the grace time, then stop the tasks."""
        log.info("shutting down (grace %.1fs, %d request(s) in flight)",
                 self.config.shutdown_grace_sec, sum(self.lb.inflight.values()))
        self._stopping = True
        if self._listener is not None:
            self._listener.close()
            self._listener = None
        if self._runner is not None:
            await self._runner.cleanup()
            self._runner = None
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self._tasks = []
        if self.permits is not None:
            await self.permits.stop()
        if self.session is not None:
            await self.session.close()
            self.session = None
        log.info("stopped")

    # -- reload and drain -----------------------------------------------------------

    def _find(self, server_id: int) -> tuple[PoolConfig, Server] | None:
        for pool in self.config.pools.values():
            for record in pool.records:
                if record["id"] == server_id:
                    return pool, record
        return None

    def _configured_weight(self, server_id: int) -> float:
        for pool in self.config.pools.values():
            for backend in pool.backends:
                if backend.id == server_id:
                    return backend.weight
        return 0.0

    def set_drained(self, server_id: int, drained: bool) -> Server | None:
        """Drain a backend (weight 0: the balancer's "drained") or give it its configured weight back."""
        found = self._find(server_id)
        if found is None:
            return None
        _, record = found
        if drained:
            self.drained.add(server_id)
            record["weight"] = 0.0
        else:
            self.drained.discard(server_id)
            record["weight"] = self._configured_weight(server_id)
        log.info("backend %d (%s) %s: weight %g", server_id, record["name"], "drained" if drained else "undrained",
                 record["weight"])
        return record

    def reload(self, new: ProxyConfig) -> dict[str, Any]:
        """Take a new configuration: pools, backends, weights, caps, routing, queue, time-outs.

        Requests in flight finish on the backends they have; a request parked in
        the queue that is handed a backend no longer configured is routed again.
        The listening address is kept (a change of host or port needs a restart).
        Drained backends stay drained.
        """
        old = self.config
        if (new.host, new.port) != (old.host, old.port) and not (new.port == 0 and old.port == 0):
            log.warning("reload: host and port changes take effect at the next start (still on %s:%d)",
                        old.host, self.port)
        new.host, new.port = old.host, old.port
        old_ids = {s["id"] for s in old.backends()}
        new_records = {s["id"]: s for s in new.backends()}
        self.drained &= set(new_records)
        for sid in self.drained:
            new_records[sid]["weight"] = 0.0
        new.apply_module_settings()
        self.lb.set_routing_mode(new.routing_mode)
        self.config = new
        if new.permits != old.permits:
            log.warning("reload: [permits] changes take effect at the next start")
            new.permits = old.permits
        if self.permits is not None:
            self.permits.reconfigure(new)
        self.guard.limits = self._limits(new)
        self._upstream_timeout = self._client_timeout(new)
        for sid in old_ids - set(new_records):
            self.down.discard(sid)
            self.sin_bin_until.pop(sid, None)
        summary = {"pools": sorted(new.pools), "added": sorted(set(new_records) - old_ids),
                   "removed": sorted(old_ids - set(new_records)), "routing_mode": self.lb.get_routing_mode()}
        self.stats.reloads["ok"] += 1
        log.info("configuration reloaded: %d pool(s), %d backend(s); added %s, removed %s; routing mode %s",
                 len(new.pools), len(new_records), summary["added"] or "none", summary["removed"] or "none",
                 summary["routing_mode"])
        return summary

    async def reload_from_file(self) -> dict[str, Any]:
        """Read the configuration file again and take it; a bad file changes nothing (ConfigError)."""
        if self.config_path is None:
            raise ConfigError("the proxy was started without a configuration file")
        try:
            new = load(self.config_path)
            if self.workers > 1 and not self.config.permits.redis_url:
                check_workers(new, self.workers)
            if self.before_reload is not None:
                await self.before_reload(new)
        except (ConfigError, OSError) as e:
            self.stats.reloads["failed"] += 1
            log.error("reload failed, configuration unchanged: %s", e)
            raise ConfigError(str(e)) from None
        return self.reload(new)

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
        """Probe every backend now; the records of those that answer, and of those still holding requests.

        The reaper's running-servers callable; the health loop uses it too. A
        backend that fails its probe is taken out of rotation and the requests
        open on it are ended; until they are gone it stays in the list, so the
        reaper does not clear the counts they still hold.
        """
        servers = self.config.backends()
        results = await asyncio.gather(*(self._probe(s) for s in servers))
        for server, ok in zip(servers, results):
            sid = server["id"]
            if not ok and sid not in self.down:
                self.down.add(sid)
                self.stats.note_error(sid, "failed its health probe")
                open_now = self.attempts.get(sid, set())
                log.warning("backend %d (%s) failed its health probe: out of rotation%s", sid, server["name"],
                            f", ending its {len(open_now)} open request(s)" if open_now else "")
                for attempt in list(open_now):
                    attempt.end("its backend failed its health probe")
            elif ok and sid in self.down:
                self.down.discard(sid)
                log.info("backend %d (%s) answers its health probe again", sid, server["name"])
        return [s for s, ok in zip(servers, results) if ok or self.attempts.get(s["id"])]

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
        self.stats.note_error(sid, why)
        log.warning("backend %d (%s) %s: sin-binned for %.1fs", sid, server["name"], why, self.config.sin_bin_sec)

    def excluded(self) -> set[int]:
        """Backends not to route to now: down by the health probes, or in the sin bin."""
        now = time.monotonic()
        for sid, until in list(self.sin_bin_until.items()):
            if until <= now:
                del self.sin_bin_until[sid]
        return self.down | set(self.sin_bin_until)

    # -- every answer ---------------------------------------------------------------

    async def _expect(self, request: web.Request) -> None:
        """`Expect: 100-continue`: a body announced over the limit is answered 413 without reading it."""
        expect = request.headers.get("Expect", "")
        if request.version < aiohttp.HttpVersion11:
            return
        if expect.lower() != "100-continue":
            _state().expectation_failed = expect
            return
        length = request.content_length
        if length is not None and length > self.config.max_body_bytes:
            return  # no 100 Continue: the handler answers 413 before reading
        await request.writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
        request.writer.output_size = 0

    @web.middleware
    async def _middleware(self, request: web.Request,
                          handler: Callable[[web.Request], Awaitable[web.StreamResponse]]) -> web.StreamResponse:
        started = time.monotonic()
        rid = request.headers.get("X-Request-Id", "")
        if not _REQUEST_ID.fullmatch(rid):
            rid = uuid.uuid4().hex
        state = _state()
        state.request_id = rid
        resource = request.match_info.route.resource
        route = resource.canonical if resource is not None else "unmatched"
        resp: web.StreamResponse
        try:
            if state.expectation_failed is not None:
                resp = error_response(417, f"unsupported Expect: {state.expectation_failed!r}",
                                      "invalid_request_error")
                resp.force_close()
            else:
                resp = await handler(request)
        except web.HTTPException as e:
            # aiohttp's own: no such route (404), wrong method (405), ...
            resp = error_response(e.status, f"{e.reason}: {request.method} {request.path}",
                                  "not_found_error" if e.status == 404
                                  else "invalid_request_error",
                                  headers={k: v for k, v in e.headers.items() if k.lower() == "allow"})
        except asyncio.CancelledError:
            if not self._stopping:  # cancelled by the client going away, not by the shutdown
                self.stats.client_disconnects += 1
                self.stats.outcomes["client_gone"] += 1
            raise
        except Exception:
            log.exception("request %s (%s %s) failed in the proxy", rid, request.method, request.path)
            stream = state.stream
            if stream is not None and stream.prepared:
                resp = stream  # the answer was under way: end it with an error event
                await self._end_stream(stream, "the proxy failed while relaying the stream", "internal_error")
            else:
                resp = error_response(500, f"internal error in the proxy (request id {rid})", "internal_error")
        if not resp.prepared:
            resp.headers["X-Request-Id"] = rid
            try:
                await resp.prepare(request)
                await resp.write_eof()
            except ConnectionError:
                state.gone = True
        now = time.monotonic()
        if state.gone:
            self.stats.client_disconnects += 1
            self.stats.outcomes["client_gone"] += 1
        else:
            self.stats.responses[(route, resp.status)] += 1
            self.stats.outcomes[state.outcome or outcome_of(resp.status)] += 1
            first = state.first_byte_at or now
            self.metrics.observe_request(route, resp.status, now - started, first - started)
        if self.config.access_log:
            access_log.info("%s %s %s %s %.1fms backend=%s attempts=%s%s", rid, request.method, request.path,
                            resp.status, (now - started) * 1000, resp.headers.get("X-Backend-Id", "-"),
                            resp.headers.get("X-Attempts", "0"), " client-gone" if state.gone else "")
        return resp

    # -- requests -----------------------------------------------------------------

    async def handle_inference(self, request: web.Request) -> web.StreamResponse:
        try:
            return await self._handle(request)
        except ClientGone as gone:
            _state().gone = True
            return gone.response

    async def _read_body(self, request: web.Request) -> bytes | web.Response:
        limit = self.config.max_body_bytes
        too_large = error_response(413, f"request body larger than {limit} bytes", "invalid_request_error")
        if request.content_length is not None and request.content_length > limit:
            too_large.force_close()
            return too_large
        chunks: list[bytes] = []
        size = 0
        try:
            async with asyncio.timeout(self.config.body_timeout_sec):
                async for chunk in request.content.iter_any():
                    size += len(chunk)
                    if size > limit:
                        too_large.force_close()
                        return too_large
                    chunks.append(chunk)
        except TimeoutError:
            slow = error_response(408, f"request body not received within {self.config.body_timeout_sec:g}s",
                                  "timeout_error")
            slow.force_close()
            return slow
        except aiohttp.ClientPayloadError as e:  # malformed chunked encoding, ...
            bad = error_response(400, f"malformed request body: {e}", "invalid_request_error")
            bad.force_close()
            return bad
        return b"".join(chunks)

    async def _handle(self, request: web.Request) -> web.StreamResponse:
        raw = await self._read_body(request)
        if isinstance(raw, web.Response):
            return raw
        try:
            body = json.loads(raw)
        except ValueError as e:  # malformed, or not UTF-8
            return error_response(400, f"malformed JSON body: {e}", "invalid_request_error")
        except RecursionError:
            return error_response(400, "JSON body nested too deeply", "invalid_request_error")
        if not isinstance(body, dict):
            return error_response(400, "the body must be a JSON object", "invalid_request_error")
        model = body.get("model")
        if not isinstance(model, str) or not model:
            return error_response(400, 'the body needs a "model" string', "invalid_request_error")
        pool = self.config.pools.get(model)
        if pool is None:
            return error_response(404, f"unknown model {model!r}", "not_found_error")
        header = self.config.sticky_header
        sticky = request.headers.get(header)
        if sticky is not None and not _is_text(sticky):
            return error_response(400, f"the {header} header must be UTF-8 text", "invalid_request_error")
        user = body.get("user")
        if isinstance(user, str) and not _is_text(user):
            return error_response(400, 'the "user" field must be text without lone surrogates',
                                  "invalid_request_error")

        tokens = lbm.estimate_request_tokens(body)
        self.stats.tokens[(model, "input_estimated")] += tokens
        candidates = self.lb.filter_by_fit(pool.records, tokens)
        if not candidates:
            self.lb.note_reject(lbm.RejectReason.TOO_LARGE)
            largest = max(s["max_input_tokens"] for s in pool.records)
            return error_response(413, f"about {tokens} input tokens: more than any backend of {model} takes "
                                  f"(at most {largest})", "invalid_request_error", reason=lbm.RejectReason.TOO_LARGE)
        sticky = sticky or (user if isinstance(user, str) and user else None)
        stream = body.get("stream") is True
        return await self._route(request, raw, pool, candidates, tokens, sticky, stream)

    async def _wait(self, pool: PoolConfig, candidates: list[Server], tokens: int,
                    excluded: set[int]) -> Grant | Refusal:
        server, reason, waited = await self.lb.wait_for_slot(pool.key, candidates, tokens, sin_binned=excluded)
        self.metrics.observe_queue_wait(server is not None, waited)
        if server is None:
            if reason == "queue_disabled":  # the routing mode changed while the request was being routed
                self.lb.note_reject(lbm.RejectReason.AT_CAPACITY)
                reason = lbm.RejectReason.AT_CAPACITY
            return Refusal(reason, waited)
        return Grant(server, queued=True, waited=waited)

    async def _select(self, pool: PoolConfig, candidates: list[Server], tokens: int, sticky: str | None,
                      excluded: set[int]) -> Server | None:
        return await self.lb.select(pool.key, candidates, estimated_tokens=tokens, sin_binned=excluded,
                                    algorithm=pool.algorithm, sticky_key=sticky)

    async def _acquire(self, pool: PoolConfig, candidates: list[Server], tokens: int, sticky: str | None,
                       failed: set[int]) -> Grant | Refusal:
        """A backend for the request, or the balancer's refusal (counted once, by reason)."""
        excluded = self.excluded() | failed
        server = await self._select(pool, candidates, tokens, sticky, excluded)
        if server is None and self.permits is not None and self.permits.claims \
                and await self.permits.claim(candidates, excluded):
            # No free local permit: one round trip got some; select again.
            server = await self._select(pool, candidates, tokens, sticky, excluded)
        if server is not None:
            return Grant(server)
        if not self.lb.queue_enabled():
            # Nothing free, and no queue: at capacity, unless nothing could be used at all.
            usable = any(s["id"] not in excluded for s in candidates)
            reason = lbm.RejectReason.AT_CAPACITY if usable else lbm.RejectReason.NO_BACKENDS
            self.lb.note_reject(reason)
            return Refusal(reason)
        return await self._wait(pool, candidates, tokens, excluded)

    async def _reroute(self, pool: PoolConfig, candidates: list[Server], tokens: int, sticky: str | None,
                       skip: set[int]) -> Grant | Refusal | None:
        """After a 429: a backend with a free slot now, else a wait in the queue, else None (pass the 429 on).

        `skip` holds the backend that answered 429 (and any that failed for this
        request). It is left out of the wait too: the balancer still sees a free
        slot there and would admit the request at once.
        """
        excluded = self.excluded() | skip
        server = await self._select(pool, candidates, tokens, sticky, excluded)
        if server is not None:
            self.stats.upstream_429_handled["retried"] += 1
            return Grant(server)
        # The backends the queue would wait on: as wait_for_slot picks them.
        weighted = [s for s in candidates if (s.get("weight") or 0.0) > 0.0] or candidates
        if not self.lb.queue_enabled() or all(s["id"] in excluded for s in weighted):
            return None
        self.stats.upstream_429_handled["parked"] += 1
        return await self._wait(pool, candidates, tokens, excluded)

    def _unusable(self, server: Server) -> bool:
        """Out of rotation since the request was parked, or no longer configured (a reload removed it)."""
        sid = server["id"]
        return sid in self.excluded() or self._find(sid) is None

    async def _route(self, request: web.Request, raw: bytes, pool: PoolConfig, candidates: list[Server],
                     tokens: int, sticky: str | None, stream: bool) -> web.StreamResponse:
        """Up to one retry after a failure and one re-route after a 429, each on another backend."""
        skip: set[int] = set()  # backends that failed or answered 429 for this request
        failure: UpstreamFailure | None = None  # the failure the current attempt retries
        busy: UpstreamBusy | None = None  # the 429 the current attempt re-routes
        retried = rerouted = False
        attempt = 0
        headers: dict[str, str] = {"X-Request-Id": _state().request_id}
        got: Grant | Refusal | None = await self._acquire(pool, candidates, tokens, sticky, skip)
        while True:
            while isinstance(got, Grant) and got.queued and self._unusable(got.server):
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
                                      headers={**headers, "Retry-After": RETRY_AFTER_SEC})
            server = got.server
            attempt += 1
            if failure is not None:
                self.stats.retries += 1
                log.info("request %s: retrying on backend %d (%s) after %s", _state().request_id, server["id"],
                         server["name"], failure)
            elif busy is not None:
                log.info("request %s: re-routing to backend %d (%s) after %s", _state().request_id,
                         server["id"], server["name"], busy)
            headers = {"X-Request-Id": _state().request_id, "X-Backend-Id": str(server["id"]),
                       "X-Queue-Wait-Ms": f"{got.waited * 1000:.1f}", "X-Attempts": str(attempt)}
            failure = busy = None
            # Nothing awaits between the grant and the lease: a slot the queue handed
            # over is held for this request only until wait_for_slot returned.
            permits = self.permits
            try:
                async with lbm.InflightLease(self.lb, server["id"]):
                    self._check_cap(server, "queue" if got.queued else "select")
                    if permits is not None:
                        permits.admitted(server["id"])
                    try:
                        return await self._forward(request, raw, server, stream, headers, pool.model)
                    except UpstreamFailure as e:
                        failure = e
                    except UpstreamBusy as e:
                        busy = e
            finally:
                if permits is not None:
                    permits.released(server["id"])
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
            if failure.sin_bin:
                self._sin_bin(server, failure.message)
            if retried:
                break
            retried = True
            got = await self._acquire(pool, candidates, tokens, sticky, skip)
        assert failure is not None
        if failure.response is not None:
            _state().outcome = "upstream_error"  # the backend's own 5xx, whatever its status
            return failure.response
        return error_response(502, f"backend {failure.server['id']} {failure.message}", "upstream_error",
                              headers=headers)

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

    @staticmethod
    def _forwarded_headers(request: web.Request) -> CIMultiDict[str]:
        """The client's headers for the backend: all but hop-by-hop ones and those the session sets."""
        named = {t.strip().lower() for t in request.headers.get("Connection", "").split(",") if t.strip()}
        out: CIMultiDict[str] = CIMultiDict()
        for name, value in request.headers.items():
            low = name.lower()
            if low in NOT_FORWARDED or low in named or _CONTROL.search(value):
                continue
            out.add(name, value)
        out["X-Request-Id"] = _state().request_id
        return out

    @staticmethod
    def _passed_back(up: aiohttp.ClientResponse, headers: dict[str, str]) -> CIMultiDict[str]:
        """The backend's headers for the client (all but hop-by-hop ones), then the proxy's own."""
        named = {t.strip().lower() for t in up.headers.get("Connection", "").split(",") if t.strip()}
        out: CIMultiDict[str] = CIMultiDict()
        for name, value in up.headers.items():
            low = name.lower()
            if low not in NOT_PASSED_BACK and low not in named:
                out.add(name, value)
        out.setdefault("Content-Type", "application/json")
        out.update(headers)
        return out

    async def _forward(self, request: web.Request, raw: bytes, server: Server, stream: bool,
                       headers: dict[str, str], model: str) -> web.StreamResponse:
        """One upstream attempt. Raises UpstreamFailure while nothing has reached the client.

        The attempt runs in a scope the proxy can end (`Attempt.end`) when the
        backend is marked down: before the answer started it is a failure (so it
        is retried), after it the stream ends with an error event.
        """
        sid = server["id"]
        attempt = Attempt(sid)
        open_here = self.attempts.setdefault(sid, set())
        open_here.add(attempt)
        started = time.monotonic()
        try:
            async with asyncio.timeout(None) as attempt.scope:
                return await self._exchange(request, raw, server, stream, headers, model, attempt)
        except TimeoutError:
            if not attempt.ended_because:
                raise
            attempt.code = "aborted"
            self.stats.upstream_aborted[sid] += 1
            if attempt.stream is not None:
                return attempt.stream  # ended with an error event by _relay
            raise UpstreamFailure(server, f"ended: {attempt.ended_because}", sin_bin=False) from None
        finally:
            open_here.discard(attempt)
            if not open_here and self.attempts.get(sid) is open_here:
                del self.attempts[sid]
            self.stats.upstream_responses[(sid, attempt.code)] += 1
            self.metrics.observe_upstream(sid, attempt.code, time.monotonic() - started)

    async def _exchange(self, request: web.Request, raw: bytes, server: Server, stream: bool,
                        headers: dict[str, str], model: str, attempt: Attempt) -> web.StreamResponse:
        assert self.session is not None
        relaying = False
        try:
            async with self.session.post(server["url"] + request.path, data=raw,
                                         headers=self._forwarded_headers(request),
                                         timeout=self._upstream_timeout) as up:
                attempt.code = str(up.status)
                try:
                    out_headers = self._passed_back(up, headers)
                    ctype = out_headers["Content-Type"]
                    if up.status >= 500:
                        data = await up.read()
                        raise UpstreamFailure(server, f"answered {up.status}", web.Response(
                            status=up.status, body=data, headers=out_headers))
                    if stream and up.status == 200 and ctype.startswith("text/event-stream"):
                        relaying = True
                        return await self._relay(request, up, server, out_headers, attempt)
                    data = await up.read()
                except BaseException:
                    up.close()  # drop the upstream connection: the backend sees the request go
                    raise
                if up.status == 429:
                    raise UpstreamBusy(server, up.headers.get("Retry-After"))
        except aiohttp.ClientError as e:
            if relaying:
                raise
            attempt.code = "error"
            raise UpstreamFailure(server, f"failed: {type(e).__name__}: {e}") from None
        except asyncio.TimeoutError:
            if relaying or attempt.ended_because:
                raise
            attempt.code = "timeout"
            raise UpstreamFailure(server, "timed out") from None
        if up.status == 200 and ctype.startswith("application/json") and len(data) <= USAGE_PARSE_LIMIT:
            self._count_usage(model, data)
        return web.Response(status=up.status, body=data, headers=out_headers)

    def _count_usage(self, model: str, data: bytes) -> None:
        """Token counts from the usage a backend reported in a JSON answer (either API's field names)."""
        try:
            usage = json.loads(data).get("usage")
        except (ValueError, RecursionError, AttributeError):
            return
        if not isinstance(usage, dict):
            return
        for kind, names in (("prompt", ("prompt_tokens", "input_tokens")),
                            ("completion", ("completion_tokens", "output_tokens"))):
            for name in names:
                n = usage.get(name)
                if isinstance(n, int) and not isinstance(n, bool) and n >= 0:
                    self.stats.tokens[(model, kind)] += n
                    break

    async def _end_stream(self, resp: web.StreamResponse, message: str, kind: str) -> bool:
        """End a stream already under way with an in-band error event (bytes went out: no other answer).

        False when the client is gone.
        """
        error = {"error": {"message": message, "type": kind}}
        try:
            await resp.write(f"data: {json.dumps(error)}\n\n".encode())
            await resp.write_eof()
        except ConnectionError:
            return False
        return True

    async def _relay(self, request: web.Request, up: aiohttp.ClientResponse, server: Server,
                     headers: CIMultiDict[str], attempt: Attempt) -> web.StreamResponse:
        """Pass a server-sent event stream through chunk by chunk; the caller's lease spans it."""
        headers["Cache-Control"] = "no-cache"
        resp = web.StreamResponse(status=up.status, headers=headers)
        state = _state()
        state.stream = resp
        try:
            await resp.prepare(request)
        except ConnectionResetError:
            raise ClientGone(resp) from None
        attempt.stream = resp
        while True:
            try:
                chunk = await up.content.readany()
            except asyncio.CancelledError:
                await self._cut_if_ended(resp, server, attempt)
                raise
            except (aiohttp.ClientError, asyncio.TimeoutError) as e:
                # Bytes already went out: no retry. Tell the client in-band and end the stream.
                self.stats.midstream_failures[server["id"]] += 1
                self._sin_bin(server, f"failed mid-stream ({type(e).__name__})")
                state.outcome = "stream_cut"
                if not await self._end_stream(resp, f"backend {server['id']} failed mid-stream", "upstream_error"):
                    raise ClientGone(resp)
                return resp
            try:
                if not chunk:
                    await resp.write_eof()
                    return resp
                if state.first_byte_at is None:
                    state.first_byte_at = time.monotonic()
                await resp.write(chunk)  # waits while a slow client's buffer is full
            except asyncio.CancelledError:
                await self._cut_if_ended(resp, server, attempt)
                raise
            except ConnectionResetError:
                raise ClientGone(resp) from None

    async def _cut_if_ended(self, resp: web.StreamResponse, server: Server, attempt: Attempt) -> None:
        """Cancelled while relaying: when the proxy ended the attempt (its backend was marked down), end the
        client's stream with an error event; else the client went away, and there is nothing to write."""
        if attempt.ended_because:
            self.stats.midstream_failures[server["id"]] += 1
            _state().outcome = "stream_cut"
            await self._end_stream(resp, f"backend {server['id']} {attempt.ended_because}", "upstream_error")

    # -- models, diagnostics, status, admin ---------------------------------------------

    def _model_entry(self, model: str) -> dict[str, Any]:
        return {"id": model, "object": "model", "created": int(self.started_at), "owned_by": "proxy"}

    async def handle_models(self, request: web.Request) -> web.Response:
        return web.json_response({"object": "list", "data": [self._model_entry(m) for m in self.config.pools]})

    async def handle_model(self, request: web.Request) -> web.Response:
        model = request.match_info["model"]
        if model not in self.config.pools:
            return error_response(404, f"unknown model {model!r}", "not_found_error")
        return web.json_response(self._model_entry(model))

    async def handle_metrics(self, request: web.Request) -> web.Response:
        text = self.metrics.text(self.lb.prometheus_text())
        return web.Response(body=text.encode(), headers={"Content-Type": PROMETHEUS_CONTENT_TYPE})

    async def handle_snapshot(self, request: web.Request) -> web.Response:
        return web.json_response(self.lb.snapshot())

    async def handle_healthz(self, request: web.Request) -> web.Response:
        excluded = self.excluded()
        backends = {str(s["id"]): {"name": s["name"], "up": s["id"] not in self.down,
                                   "sin_binned": s["id"] in self.sin_bin_until, "drained": s["id"] in self.drained,
                                   "inflight": self.lb.get_inflight(s["id"])}
                    for s in self.config.backends()}
        usable = any(s["id"] not in excluded for s in self.config.backends())
        return web.json_response({"status": "ok" if usable else "no usable backend",
                                  "routing_mode": self.lb.get_routing_mode(),
                                  "queue_enabled": self.lb.queue_enabled(), "backends": backends},
                                 status=200 if usable else 503)

    async def handle_status_page(self, request: web.Request) -> web.Response:
        return web.Response(text=status.PAGE, content_type="text/html")

    async def handle_status_data(self, request: web.Request) -> web.Response:
        permits = await self.permits.status() if self.permits is not None else None
        return web.json_response(status.data(self, self._dispatch_rates(), permits))

    async def _sample_dispatches(self) -> None:
        """Every second, the balancer's dispatch counts: the rates /status shows (over the last 10 s)."""
        while True:
            now = time.monotonic()
            self._rates.append((now, dict(self.lb.dispatch_counts)))
            while now - self._rates[0][0] > 10.0:
                self._rates.popleft()
            await asyncio.sleep(1.0)

    def _dispatch_rates(self) -> dict[int, float]:
        """Dispatches per second by backend, from the oldest sample of the last 10 s to now."""
        if not self._rates:
            return {}
        then, before = self._rates[0]
        span = time.monotonic() - then
        if span < 0.5:
            return {}
        return {sid: (n - before.get(sid, 0)) / span for sid, n in self.lb.dispatch_counts.items()}

    def _admin_refusal(self, request: web.Request) -> web.Response | None:
        token = self.config.admin_token
        if token:
            given = request.headers.get("Authorization", "")
            if not hmac.compare_digest(given.encode("utf-8", "surrogateescape"), f"Bearer {token}".encode()):
                return error_response(401, "admin routes need Authorization: Bearer <admin_token>",
                                      "authentication_error")
            return None
        try:
            loopback = ipaddress.ip_address(request.remote or "").is_loopback
        except ValueError:
            loopback = False
        if not loopback:
            return error_response(403, "admin routes answer loopback clients only (set server.admin_token)",
                                  "permission_error")
        return None

    def _backend_state(self, record: Server) -> dict[str, Any]:
        sid = record["id"]
        return {"id": sid, "name": record["name"], "weight": record["weight"],
                "configured_weight": self._configured_weight(sid), "drained": sid in self.drained,
                "up": sid not in self.down, "inflight": self.lb.get_inflight(sid)}

    async def handle_admin_backends(self, request: web.Request) -> web.Response:
        if (refused := self._admin_refusal(request)) is not None:
            return refused
        return web.json_response({"backends": [self._backend_state(r) for r in self.config.backends()]})

    async def handle_admin_drain(self, request: web.Request) -> web.Response:
        if (refused := self._admin_refusal(request)) is not None:
            return refused
        raw = request.match_info["id"]
        # ASCII digits only: int() refuses some other digits isdigit() accepts, and very long numbers.
        known = raw.isascii() and raw.isdigit() and len(raw) <= 20
        record = self.set_drained(int(raw), request.match_info["action"] == "drain") if known else None
        if record is None:
            return error_response(404, f"no backend with id {raw!r}", "not_found_error")
        return web.json_response(self._backend_state(record))

    async def handle_admin_reload(self, request: web.Request) -> web.Response:
        if (refused := self._admin_refusal(request)) is not None:
            return refused
        try:
            return web.json_response(await self.reload_from_file())
        except ConfigError as e:
            return error_response(409 if self.config_path is None else 422, f"reload failed: {e}",
                                  "invalid_request_error")
