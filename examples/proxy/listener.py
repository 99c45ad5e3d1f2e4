"""The proxy's listening socket: aiohttp's request handler, with limits on clients.

- A cap on open client connections: a connection over it is answered 503 at
  once (a JSON body, `Connection: close`) and closed.
- A header time-out: a new connection must deliver its first request's headers
  within `header_timeout_sec`, and so must a request on a kept-alive connection
  from its first byte. A request whose headers are still incomplete then is
  answered 408; a new connection that sent nothing is closed without an answer.
  Idle kept-alive connections are closed after `keepalive_timeout_sec`.
- A request line or header that aiohttp's parser refuses is answered 400 with a
  JSON body (aiohttp's own answer there is plain text).

The body time-out is the handler's (`body_timeout_sec` around reading it).
"""
from __future__ import annotations

import asyncio
import json
import logging
from collections import Counter
from dataclasses import dataclass, field
from http import HTTPStatus
from typing import Any

from aiohttp import web
from aiohttp.web_protocol import RequestHandler
from aiohttp.web_request import BaseRequest

log = logging.getLogger("proxy")

# How long a refused or timed-out connection is read from (and its input dropped)
# after its answer, before it is closed: closing a socket with unread input resets
# it, and a reset can drop the answer before the client read it.
LINGER_SEC = 2.0


def error_body(message: str, kind: str, reason: str | None = None) -> bytes:
    error: dict[str, Any] = {"message": message, "type": kind}
    if reason is not None:
        error["reason"] = reason
    return json.dumps({"error": error}).encode()


def raw_answer(status: int, message: str, kind: str, reason: str | None = None,
               headers: dict[str, str] | None = None) -> bytes:
    """A complete HTTP/1.1 answer with a JSON error body, for a connection that has no request object."""
    body = error_body(message, kind, reason)
    lines = [f"HTTP/1.1 {status} {HTTPStatus(status).phrase}", "Content-Type: application/json; charset=utf-8",
             f"Content-Length: {len(body)}", "Connection: close"]
    if reason is not None:
        lines.append(f"X-Reject-Reason: {reason}")
    lines.extend(f"{k}: {v}" for k, v in (headers or {}).items())
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


@dataclass
class ClientLimits:
    max_connections: int
    header_timeout_sec: float
    keepalive_timeout_sec: float


@dataclass
class ConnectionGuard:
    """Open connections, and connections answered or closed here rather than by the application."""

    limits: ClientLimits
    open: int = 0
    refused: Counter[str] = field(default_factory=Counter)  # too_many_connections | header_timeout | bad_request

    def linger_close(self, transport: asyncio.Transport) -> None:
        """Stop writing, drop what the client still sends, close after LINGER_SEC (or when it closes)."""
        if transport.is_closing():
            return
        if transport.can_write_eof():
            transport.write_eof()
        asyncio.get_running_loop().call_later(LINGER_SEC, transport.close)


class _Refused(asyncio.Protocol):
    """A connection over the cap: answered 503 and let go."""

    def __init__(self, guard: ConnectionGuard) -> None:
        self.guard = guard

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.guard.refused["too_many_connections"] += 1
        transport.write(raw_answer(503, f"the proxy has {self.guard.limits.max_connections} client connections "
                                   "open, its limit", "overloaded_error", "too_many_connections",
                                   {"Retry-After": "1"}))
        self.guard.linger_close(transport)

    def data_received(self, data: bytes) -> None:
        pass  # dropped


class GuardedHandler(RequestHandler):
    """aiohttp's per-connection protocol, counted against the cap and timed while it reads headers."""

    def __init__(self, manager: web.Server, guard: ConnectionGuard, **kwargs: Any) -> None:
        super().__init__(manager, **kwargs)
        self._guard = guard
        self._answered = 0  # requests of this connection answered so far
        self._fresh = True  # no byte received since the last answer (or since the connection opened)
        self._body: Any = None  # the last request's body stream: the rest of it is not a new request
        self._header_timer: asyncio.TimerHandle | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self._guard.open += 1
        super().connection_made(transport)
        self._arm()

    def connection_lost(self, exc: BaseException | None) -> None:
        self._guard.open -= 1
        self._disarm()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        parsed = self._request_count
        super().data_received(data)
        if self._request_count != parsed:
            self._disarm()  # headers complete: the request is the handler's now
        elif self._waiting_for_headers() and data:
            if self._fresh:
                self._fresh = False
                if self._header_timer is None:
                    self._arm()

    async def finish_response(self, request: BaseRequest, resp: web.StreamResponse,
                              start_time: float | None) -> tuple[web.StreamResponse, bool]:
        try:
            return await super().finish_response(request, resp, start_time)
        finally:
            self._answered += 1
            self._fresh = True
            self._body = request.content

    def handle_error(self, request: BaseRequest, status: int = 500, exc: BaseException | None = None,
                     message: str | None = None) -> web.StreamResponse:
        """aiohttp's answer to a request it could not parse (or a handler error past the app): JSON."""
        if request.writer.output_size > 0:
            return super().handle_error(request, status, exc, message)  # raises: an answer is under way
        if status == 400:
            self._guard.refused["bad_request"] += 1
            log.info("malformed HTTP request from %s: %s", request.remote, message or exc)
        else:
            log.error("error handling a request from %s", request.remote, exc_info=exc)
        phrase = HTTPStatus(status).phrase
        text = f"malformed HTTP request: {message}" if status == 400 and message else phrase
        resp = web.Response(status=status, body=error_body(text, "invalid_request_error" if status < 500
                                                             else "internal_error"),
                            content_type="application/json")
        resp.force_close()
        return resp

    def _waiting_for_headers(self) -> bool:
        """Every request of the connection is answered and its body read: new bytes start a request."""
        return self._answered == self._request_count and (self._body is None or self._body.is_eof())

    def _arm(self) -> None:
        self._disarm()
        self._header_timer = self._loop.call_later(self._guard.limits.header_timeout_sec, self._header_timeout)

    def _disarm(self) -> None:
        if self._header_timer is not None:
            self._header_timer.cancel()
            self._header_timer = None

    def _header_timeout(self) -> None:
        self._header_timer = None
        transport = self.transport
        if transport is None or not self._waiting_for_headers():
            return
        assert isinstance(transport, asyncio.Transport)
        if self._fresh:
            # Nothing of a request came: not a client waiting for an answer.
            if self._request_count == 0:
                self.force_close()
            return
        self._guard.refused["header_timeout"] += 1
        log.info("request headers from %s incomplete after %.1fs: 408", transport.get_extra_info("peername"),
                 self._guard.limits.header_timeout_sec)
        transport.write(raw_answer(408, f"request headers not complete within "
                                   f"{self._guard.limits.header_timeout_sec:g}s", "timeout_error"))
        self.close()  # aiohttp reads nothing more from it
        self._guard.linger_close(transport)


def protocol_factory(server: web.Server, guard: ConnectionGuard, **handler_kwargs: Any) -> Any:
    """The protocol factory for `loop.create_server`: a handler, or a refusal over the cap."""
    loop = asyncio.get_running_loop()

    def make() -> asyncio.Protocol:
        if guard.open >= guard.limits.max_connections:
            return _Refused(guard)
        return GuardedHandler(server, guard, loop=loop, keepalive_timeout=guard.limits.keepalive_timeout_sec,
                              **handler_kwargs)

    return make
