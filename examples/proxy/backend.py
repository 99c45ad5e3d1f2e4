"""A simulated inference backend: an aiohttp server answering the /v1/* routes.

Answers have the shapes clients expect (chat completions with server-sent
event streaming, completions, messages, responses, embeddings, rerank, score).
Latency is proportional to the tokens: a prefill time per input token (about
a quarter of the body's bytes) and, for generating routes, a decode time per
output token (`max_tokens`, at most 64, default 16), streamed one token per
event when the request asks for `"stream": true`.

The backend enforces its own hard concurrency limit: a request that arrives
while `max_concurrency` requests are being served is answered 429 at once,
with `Retry-After`. It counts the peak concurrency it saw (the arriving
request included, so a peak above the limit means some requests were refused
with 429), and the same peak without the requests whose client connection is
already closed though this backend has not noticed it yet (the closing
connection's end of file is waiting in its socket): a client that goes away
is let go by the proxy at once, and seen here a moment later.

Run:  python -m examples.proxy.backend --id 1 --max-concurrency 8 [--port 0]
It prints "READY http://127.0.0.1:PORT" once it listens, and stops on SIGTERM or SIGINT.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import logging
import signal
import socket
import time
from typing import Any, Awaitable, Callable

from aiohttp import web
from multidict import CIMultiDict

log = logging.getLogger("backend")

GENERATING_ROUTES = ("/v1/chat/completions", "/v1/completions", "/v1/messages", "/v1/responses")
SCORING_ROUTES = ("/v1/embeddings", "/v1/rerank", "/v1/score")
WORDS = "the load balancer picked this backend and it answers one token at a time".split()
MAX_OUTPUT_TOKENS = 64
DEFAULT_OUTPUT_TOKENS = 16


def sse(data: Any, event: str | None = None) -> bytes:
    head = f"event: {event}\n" if event else ""
    payload = data if isinstance(data, str) else json.dumps(data, separators=(",", ":"))
    return f"{head}data: {payload}\n\n".encode()


class SimBackend:
    """One simulated backend; `app()` gives its aiohttp application."""

    def __init__(self, backend_id: int, *, max_concurrency: int = 0, name: str = "",
                 prefill_ms_per_token: float = 0.01, decode_ms_per_token: float = 4.0) -> None:
        self.id = backend_id
        self.name = name or f"backend-{backend_id}"
        self.max_concurrency = max_concurrency
        self.prefill_ms_per_token = prefill_ms_per_token
        self.decode_ms_per_token = decode_ms_per_token
        # Test hooks: answer 500 to the next `fail_next` requests and 429 to the
        # next `busy_next`; when `hold` is an Event, each response waits for it
        # after its first token.
        self.fail_next = 0
        self.busy_next = 0
        self.hold: asyncio.Event | None = None
        self.retry_after = "1"  # the Retry-After of a 429
        self.last_headers: CIMultiDict[str] = CIMultiDict()  # the headers of the last request that arrived
        self.active = 0
        self.peak = self.served = self.rejected = self.failed = self.cancelled = self.arrived = 0
        # The peak counting only requests whose client connection was still open, and the
        # 429s answered while a request whose connection had closed was still counted.
        self.peak_open = self.rejected_at_disconnect = 0
        self._serving: dict[int, web.BaseRequest] = {}  # by id(): requests do not hash
        self._runner: web.AppRunner | None = None

    def reset(self) -> dict[str, Any]:
        """Start the counters afresh (requests being served stay counted); returns the old ones."""
        old = self.stats()
        self.peak = self.peak_open = self.active
        self.rejected_at_disconnect = 0
        self.served = 0
        self.rejected = 0
        self.failed = 0
        self.cancelled = 0
        self.arrived = 0
        return old

    def stats(self) -> dict[str, Any]:
        return {"id": self.id, "name": self.name, "max_concurrency": self.max_concurrency,
                "active": self.active, "peak": self.peak, "peak_open": self.peak_open, "arrived": self.arrived,
                "served": self.served, "rejected_429": self.rejected,
                "rejected_429_at_disconnect": self.rejected_at_disconnect, "failed_500": self.failed,
                "cancelled": self.cancelled}

    # -- HTTP -------------------------------------------------------------

    def app(self) -> web.Application:
        app = web.Application(client_max_size=64 << 20)
        for route in GENERATING_ROUTES + SCORING_ROUTES:
            app.router.add_post(route, self.handle)
        app.router.add_get("/health", self.health)
        app.router.add_get("/stats", self.get_stats)
        app.router.add_post("/stats/reset", self.post_reset)
        app.on_response_prepare.append(self._stamp)
        return app

    async def _stamp(self, request: web.Request, response: web.StreamResponse) -> None:
        """Every answer names this backend and echoes the request id, as inference servers do."""
        response.headers["X-Served-By"] = self.name
        if "X-Request-Id" in request.headers:
            response.headers["X-Request-Id"] = request.headers["X-Request-Id"]

    async def start(self, host: str = "127.0.0.1", port: int = 0) -> int:
        self._runner = web.AppRunner(self.app(), handler_cancellation=True, access_log=None,
                                     shutdown_timeout=1.0)
        await self._runner.setup()
        site = web.TCPSite(self._runner, host, port)
        await site.start()
        sockets = self._runner.addresses
        return int(sockets[0][1])

    async def stop(self) -> None:
        if self._runner is not None:
            await self._runner.cleanup()
            self._runner = None

    async def health(self, request: web.Request) -> web.Response:
        return web.json_response({"status": "ok", "id": self.id})

    async def get_stats(self, request: web.Request) -> web.Response:
        return web.json_response(self.stats())

    async def post_reset(self, request: web.Request) -> web.Response:
        return web.json_response(self.reset())

    async def handle(self, request: web.Request) -> web.StreamResponse:
        self.arrived += 1
        self.last_headers = CIMultiDict(request.headers)
        full = 0 < self.max_concurrency <= self.active
        closed = self._closed_connections() if full else 0
        self.peak = max(self.peak, self.active + 1)
        self.peak_open = max(self.peak_open, self.active + 1 - closed)
        if full or self.busy_next > 0:
            if not full:
                self.busy_next -= 1
            self.rejected += 1
            self.rejected_at_disconnect += int(closed > 0)
            return web.json_response({"error": {"message": f"{self.name} is at its concurrency limit "
                                                f"({self.max_concurrency})", "type": "rate_limit_error"}},
                                     status=429, headers={"Retry-After": self.retry_after})
        self.active += 1
        self._serving[id(request)] = request
        try:
            raw = await request.read()
            if self.fail_next > 0:
                self.fail_next -= 1
                self.failed += 1
                return web.json_response({"error": {"message": "simulated backend failure",
                                                    "type": "server_error"}}, status=500)
            try:
                body = json.loads(raw)
            except ValueError:
                return web.json_response({"error": {"message": "malformed JSON", "type": "invalid_request_error"}},
                                         status=400)
            if not isinstance(body, dict):
                body = {}
            response = await self.answer(request, body, len(raw) // 4)
            self.served += 1
            return response
        except asyncio.CancelledError:
            self.cancelled += 1
            raise
        finally:
            self._done(request)

    def _done(self, request: web.BaseRequest) -> None:
        """The request stops counting: at its stream's last event, else when its handler returns."""
        if self._serving.pop(id(request), None) is not None:
            self.active -= 1

    def _closed_connections(self) -> int:
        """Requests being served whose client has closed the connection, noticed here or not yet."""
        closed = 0
        for request in self._serving.values():
            transport = request.transport
            if transport is None or transport.is_closing():
                closed += 1
                continue
            raw = transport.get_extra_info("socket")
            if raw is None:
                continue
            try:
                with raw.dup() as sock:
                    closed += int(sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b"")
            except BlockingIOError:
                pass  # open, nothing to read
            except OSError:
                closed += 1  # reset
        return closed

    # -- answers ------------------------------------------------------------

    async def answer(self, request: web.Request, body: dict[str, Any], input_tokens: int) -> web.StreamResponse:
        route = request.path
        model = str(body.get("model", "unknown"))
        await asyncio.sleep(input_tokens * self.prefill_ms_per_token / 1000)
        if route in SCORING_ROUTES:
            await self._held()
            return web.json_response(self.scoring(route, body, model, input_tokens))
        max_tokens = body.get("max_tokens", body.get("max_output_tokens", DEFAULT_OUTPUT_TOKENS))
        n_out = max(1, min(MAX_OUTPUT_TOKENS, max_tokens if isinstance(max_tokens, int) else DEFAULT_OUTPUT_TOKENS))
        tokens = [WORDS[(i + self.id) % len(WORDS)] + " " for i in range(n_out)]
        rid = f"{self.name}-{id(request):x}"
        if body.get("stream") is True:
            return await self.stream(request, route, rid, model, tokens, input_tokens)
        for i in range(n_out):
            await self._decode_step(i)
        return web.json_response(self.complete(route, rid, model, "".join(tokens), input_tokens, n_out))

    async def _decode_step(self, index: int) -> None:
        await asyncio.sleep(self.decode_ms_per_token / 1000)
        if index == 0:
            await self._held()

    async def _held(self) -> None:
        if self.hold is not None:
            await self.hold.wait()

    def scoring(self, route: str, body: dict[str, Any], model: str, input_tokens: int) -> dict[str, Any]:
        usage = {"prompt_tokens": input_tokens, "total_tokens": input_tokens}
        if route == "/v1/embeddings":
            inputs = body.get("input")
            n = len(inputs) if isinstance(inputs, list) and inputs and not isinstance(inputs[0], int) else 1
            data = [{"object": "embedding", "index": i,
                     "embedding": [round(((i + 1) * (k + self.id) % 17) / 17.0, 4) for k in range(8)]}
                    for i in range(n)]
            return {"object": "list", "model": model, "data": data, "usage": usage}
        items = body.get("documents") if route == "/v1/rerank" else body.get("items")
        n = len(items) if isinstance(items, list) else 0
        scores = [round(1.0 / (1 + i + self.id % 3), 4) for i in range(n)]
        if route == "/v1/rerank":
            results = sorted(({"index": i, "relevance_score": s} for i, s in enumerate(scores)),
                             key=lambda r: -r["relevance_score"])
            return {"id": f"rerank-{self.id}", "model": model, "results": results, "usage": usage}
        return {"object": "list", "model": model, "data": [{"index": i, "object": "score", "score": s}
                                                           for i, s in enumerate(scores)], "usage": usage}

    def complete(self, route: str, rid: str, model: str, text: str, n_in: int, n_out: int) -> dict[str, Any]:
        created = int(time.time())
        if route == "/v1/chat/completions":
            return {"id": rid, "object": "chat.completion", "created": created, "model": model,
                    "choices": [{"index": 0, "message": {"role": "assistant", "content": text},
                                 "finish_reason": "stop"}],
                    "usage": {"prompt_tokens": n_in, "completion_tokens": n_out, "total_tokens": n_in + n_out}}
        if route == "/v1/completions":
            return {"id": rid, "object": "text_completion", "created": created, "model": model,
                    "choices": [{"index": 0, "text": text, "finish_reason": "stop"}],
                    "usage": {"prompt_tokens": n_in, "completion_tokens": n_out, "total_tokens": n_in + n_out}}
        if route == "/v1/messages":
            return {"id": rid, "type": "message", "role": "assistant", "model": model,
                    "content": [{"type": "text", "text": text}], "stop_reason": "end_turn",
                    "usage": {"input_tokens": n_in, "output_tokens": n_out}}
        return {"id": rid, "object": "response", "created_at": created, "model": model, "status": "completed",
                "output": [{"type": "message", "role": "assistant",
                            "content": [{"type": "output_text", "text": text}]}],
                "usage": {"input_tokens": n_in, "output_tokens": n_out, "total_tokens": n_in + n_out}}

    def frames(self, route: str, rid: str, model: str, tokens: list[str],
               n_in: int) -> tuple[list[bytes], Callable[[str], bytes], list[bytes]]:
        """The events of a streamed answer: those before the tokens, one per token, those after."""
        created = int(time.time())
        if route in ("/v1/chat/completions", "/v1/completions"):
            chat = route == "/v1/chat/completions"

            def chunk(text: str | None, finish: str | None = None) -> bytes:
                choice: dict[str, Any] = {"index": 0, "finish_reason": finish}
                if chat:
                    choice["delta"] = {"role": "assistant"} if text is None else {"content": text} if text else {}
                else:
                    choice["text"] = text or ""
                return sse({"id": rid, "object": "chat.completion.chunk" if chat else "text_completion",
                            "created": created, "model": model, "choices": [choice]})

            head = [chunk(None)] if chat else []
            return head, chunk, [chunk("", "stop"), sse("[DONE]")]
        if route == "/v1/messages":
            head = [sse({"type": "message_start", "message": {
                        "id": rid, "type": "message", "role": "assistant", "model": model, "content": [],
                        "usage": {"input_tokens": n_in, "output_tokens": 0}}}, "message_start"),
                    sse({"type": "content_block_start", "index": 0,
                         "content_block": {"type": "text", "text": ""}}, "content_block_start")]

            def delta(text: str) -> bytes:
                return sse({"type": "content_block_delta", "index": 0,
                            "delta": {"type": "text_delta", "text": text}}, "content_block_delta")

            tail = [sse({"type": "content_block_stop", "index": 0}, "content_block_stop"),
                    sse({"type": "message_delta", "delta": {"stop_reason": "end_turn"},
                         "usage": {"output_tokens": len(tokens)}}, "message_delta"),
                    sse({"type": "message_stop"}, "message_stop")]
            return head, delta, tail

        def output_delta(text: str) -> bytes:
            return sse({"type": "response.output_text.delta", "item_id": rid, "output_index": 0,
                        "content_index": 0, "delta": text}, "response.output_text.delta")

        done = self.complete(route, rid, model, "".join(tokens), n_in, len(tokens))
        return [], output_delta, [sse({"type": "response.completed", "response": done}, "response.completed")]

    async def stream(self, request: web.Request, route: str, rid: str, model: str, tokens: list[str],
                     n_in: int) -> web.StreamResponse:
        resp = web.StreamResponse(headers={"Content-Type": "text/event-stream", "Cache-Control": "no-cache"})
        await resp.prepare(request)
        head, per_token, tail = self.frames(route, rid, model, tokens, n_in)
        for data in head:
            await resp.write(data)
        for i, token in enumerate(tokens):
            await self._decode_step(i)
            await resp.write(per_token(token))
        for data in tail:
            await resp.write(data)
        # Done once the last event is written: waiting here for a slow reader to take the end of the
        # stream is not serving it (the client may already have it and send the next request).
        self._done(request)
        await resp.write_eof()
        return resp


async def serve(backend: SimBackend, host: str, port: int, ready: Callable[[int], Awaitable[None] | None]) -> None:
    """Run until SIGTERM or SIGINT."""
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    bound = await backend.start(host, port)
    result = ready(bound)
    if result is not None:
        await result
    await stop.wait()
    await backend.stop()


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="A simulated inference backend.")
    parser.add_argument("--id", type=int, required=True)
    parser.add_argument("--name", default="")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--max-concurrency", type=int, default=0, help="hard limit, 429 beyond it (0: none)")
    parser.add_argument("--prefill-ms-per-token", type=float, default=0.01)
    parser.add_argument("--decode-ms-per-token", type=float, default=4.0)
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    backend = SimBackend(args.id, max_concurrency=args.max_concurrency, name=args.name,
                         prefill_ms_per_token=args.prefill_ms_per_token,
                         decode_ms_per_token=args.decode_ms_per_token)

    def ready(port: int) -> None:
        log.info("%s (id %d) listening on %s:%d", backend.name, backend.id, args.host, port)
        print(f"READY http://{args.host}:{port}", flush=True)

    asyncio.run(serve(backend, args.host, args.port, ready))


if __name__ == "__main__":
    main()
