"""The example proxy against clients as they come: bad input, slow or too many clients, the openai SDK.

Everything runs on 127.0.0.1 ephemeral ports in the test's event loop; raw
sockets send what an HTTP library would not.
"""
import asyncio
import json
import logging

import openai
import pytest

import load_balancer as lbm
from examples.proxy.backend import SimBackend
from tests.test_proxy import Stack, chat, module_settings, run, until  # noqa: F401 (module_settings: fixture)


async def raw_exchange(port, data, *, pause_after=None, pause=0.0, read_timeout=20.0):
    """Send raw bytes (optionally stopping partway for a while); read the answer until the proxy closes.

    Returns (status, headers, body, interim) where interim holds 1xx status lines seen before the answer.
    """
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        if pause_after is None:
            writer.write(data)
        else:
            writer.write(data[:pause_after])
            await writer.drain()
            await asyncio.sleep(pause)
            writer.write(data[pause_after:])
        await writer.drain()
        raw = await asyncio.wait_for(reader.read(), read_timeout)
    except ConnectionResetError:
        raw = b""
    finally:
        writer.close()
    interim = []
    while raw.startswith(b"HTTP/1.1 1"):
        head, _, raw = raw.partition(b"\r\n\r\n")
        interim.append(head.split(b"\r\n")[0].decode())
    if not raw:
        return None, {}, b"", interim
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    return int(lines[0].split()[1]), headers, body, interim


def request_bytes(path, body, *, headers=b"", method=b"POST"):
    return (method + b" " + path.encode() + b" HTTP/1.1\r\nHost: proxy\r\nContent-Type: application/json\r\n"
            + headers + b"Content-Length: " + str(len(body)).encode() + b"\r\nConnection: close\r\n\r\n" + body)


CHAT = json.dumps(chat()).encode()
DEEP = b'{"model": "chat", "messages": ' + b"[" * 100_000 + b"]" * 100_000 + b"}"

# (case, raw request bytes, status, error type). Pool "chat" has a sticky pool's algorithm.
BAD_INPUT = [
    ("JSON nested 100,000 deep", request_bytes("/v1/chat/completions", DEEP), 400, "invalid_request_error"),
    ("bare array nested 100,000 deep", request_bytes("/v1/chat/completions", b"[" * 100_000 + b"]" * 100_000),
     400, "invalid_request_error"),
    ("sticky header not UTF-8", request_bytes("/v1/chat/completions", CHAT, headers=b"x-session-id: \xff\xfe\r\n"),
     400, "invalid_request_error"),
    ("user with a lone surrogate", request_bytes(
        "/v1/chat/completions", CHAT[:-1] + b', "user": "u\\ud800"}'), 400, "invalid_request_error"),
    ("body not UTF-8", request_bytes("/v1/chat/completions", b'{"model": "chat\xff"}'), 400,
     "invalid_request_error"),
    ("number with 100,000 digits", request_bytes("/v1/chat/completions", b'{"model": "chat", "n": '
                                                 + b"9" * 100_000 + b"}"), 400, "invalid_request_error"),
    ("malformed chunked body", b"POST /v1/chat/completions HTTP/1.1\r\nHost: p\r\nTransfer-Encoding: chunked\r\n"
     b"Connection: close\r\n\r\nzz\r\nabc\r\n0\r\n\r\n", 400, "invalid_request_error"),
    ("malformed request line", b"POST /v1/chat/completions HTTP/9\r\n\r\n", 400, "invalid_request_error"),
    ("unknown route", request_bytes("/v1/nothing", CHAT), 404, "not_found_error"),
    ("wrong method", request_bytes("/v1/chat/completions", b"", method=b"GET"), 405, "invalid_request_error"),
    ("unknown Expect", request_bytes("/v1/chat/completions", CHAT, headers=b"Expect: magic\r\n"), 417,
     "invalid_request_error"),
]


@pytest.mark.parametrize("case,data,status,kind", BAD_INPUT, ids=[c[0] for c in BAD_INPUT])
def test_bad_input_gets_a_json_4xx_and_leaves_nothing_behind(case, data, status, kind):
    backend = SimBackend(1, max_concurrency=2)

    async def main():
        async with Stack({"chat": [(backend, {})]}, server={"max_body_bytes": 1 << 20}) as st:
            st.proxy.config.pools["chat"].algorithm = "sticky_session"
            got, headers, body, _ = await raw_exchange(st.proxy.port, data)
            assert got == status, body[:300]
            assert headers["content-type"].startswith("application/json")
            assert json.loads(body)["error"]["type"] == kind
            assert backend.arrived == 0 and st.settled() and st.lb.reject_counts == {}
            # Answered by the application: counted by route and status, with a request id.
            if case not in ("malformed request line", "malformed chunked body"):
                assert len(headers["x-request-id"]) == 32
                assert sum(n for (_, code), n in st.proxy.stats.responses.items() if code == status) == 1
            assert (await st.call("/v1/chat/completions", chat()))[0] == 200

    run(main())


def test_unexpected_exception_is_a_counted_json_500(monkeypatch, caplog):
    backend = SimBackend(1, max_concurrency=2)

    def broken(body):
        raise RuntimeError("estimator broke")

    async def main():
        async with Stack({"chat": [(backend, {})]}) as st:
            monkeypatch.setattr(lbm, "estimate_request_tokens", broken)
            status, payload, headers = await st.call("/v1/chat/completions", chat(),
                                                     headers={"X-Request-Id": "req-42"})
            assert (status, payload["error"]["type"], headers["X-Request-Id"]) == (500, "internal_error", "req-42")
            assert st.proxy.stats.responses[("/v1/chat/completions", 500)] == 1
            assert st.proxy.stats.outcomes["proxy_error"] == 1
            assert st.settled()
            record = next(r for r in caplog.records if "failed in the proxy" in r.getMessage())
            assert "req-42" in record.getMessage() and record.exc_info[0] is RuntimeError

    caplog.set_level(logging.ERROR, logger="proxy")
    run(main())


# -- slow and too many clients ------------------------------------------------------------

LIMITS = {"header_timeout_sec": 0.3, "body_timeout_sec": 0.3, "max_body_bytes": 4096}


def test_slow_clients_are_cut_at_their_time_outs():
    backend = SimBackend(1, max_concurrency=2)

    async def main():
        async with Stack({"chat": [(backend, {})]}, server=LIMITS) as st:
            port = st.proxy.port
            # Headers that never end: 408 once header_timeout_sec has passed.
            status, headers, body, _ = await raw_exchange(port, b"POST /v1/chat/completions HTTP/1.1\r\nHost: p\r\n")
            assert (status, json.loads(body)["error"]["type"]) == (408, "timeout_error")
            # A body that never ends: 408 from the handler once body_timeout_sec has passed.
            data = request_bytes("/v1/chat/completions", CHAT)
            status, headers, body, _ = await raw_exchange(port, data[:-10], read_timeout=20)
            assert (status, json.loads(body)["error"]["type"]) == (408, "timeout_error")
            assert headers["connection"] == "close"
            # A connection that sends nothing is closed without an answer.
            assert (await raw_exchange(port, b""))[0] is None
            # A client that pauses within the time-outs is served.
            status, _, body, _ = await raw_exchange(port, data, pause_after=40, pause=0.1)
            assert status == 200 and "choices" in json.loads(body)
            await until(lambda: st.proxy.guard.open == 0, "every connection closed")
            assert st.proxy.guard.refused["header_timeout"] == 1
            assert st.proxy.stats.responses[("/v1/chat/completions", 408)] == 1
            assert backend.arrived == 1 and st.settled()

    run(main())


def test_expect_continue_with_an_oversized_length_gets_413_before_any_body():
    backend = SimBackend(1, max_concurrency=2)

    async def main():
        async with Stack({"chat": [(backend, {})]}, server=LIMITS) as st:
            head = (b"POST /v1/chat/completions HTTP/1.1\r\nHost: p\r\nContent-Type: application/json\r\n"
                    b"Expect: 100-continue\r\nContent-Length: 52428800\r\n\r\n")
            status, _, body, interim = await raw_exchange(st.proxy.port, head)
            assert (status, interim) == (413, []) and "larger than 4096" in json.loads(body)["error"]["message"]
            # Within the limit: 100 Continue, then the answer.
            head = (b"POST /v1/chat/completions HTTP/1.1\r\nHost: p\r\nExpect: 100-continue\r\nConnection: close\r\n"
                    b"Content-Length: " + str(len(CHAT)).encode() + b"\r\n\r\n")
            status, _, _, interim = await raw_exchange(st.proxy.port, head + CHAT, pause_after=len(head), pause=0.05)
            assert (status, interim) == (200, ["HTTP/1.1 100 Continue"])
            assert backend.arrived == 1 and st.settled()

    run(main())


def test_connections_over_the_cap_get_503():
    backend = SimBackend(1, max_concurrency=2)

    async def main():
        async with Stack({"chat": [(backend, {})]}, server={"max_connections": 3, "header_timeout_sec": 30.0}) as st:
            port = st.proxy.port
            idle = [await asyncio.open_connection("127.0.0.1", port) for _ in range(3)]
            await until(lambda: st.proxy.guard.open == 3, "three connections open")
            status, headers, body, _ = await raw_exchange(port, request_bytes("/v1/chat/completions", CHAT))
            assert (status, headers["x-reject-reason"]) == (503, "too_many_connections")
            assert json.loads(body)["error"]["reason"] == "too_many_connections"
            for _, writer in idle:
                writer.close()
            await until(lambda: st.proxy.guard.open == 0, "connections closed")
            assert (await st.call("/v1/chat/completions", chat()))[0] == 200
            assert st.proxy.guard.refused == {"too_many_connections": 1} and backend.arrived == 1

    run(main())


def test_800_half_sent_bodies_are_all_let_go():
    """Many clients that send half a body: each is answered 408 and closed; nothing reaches a backend."""
    backend = SimBackend(1, max_concurrency=2)
    n = 800

    async def main():
        async with Stack({"chat": [(backend, {})]}, server={**LIMITS, "max_connections": 2000}) as st:
            data = request_bytes("/v1/chat/completions", CHAT)[:-20]
            answers = await asyncio.gather(*(raw_exchange(st.proxy.port, data) for _ in range(n)))
            assert [a[0] for a in answers] == [408] * n
            await until(lambda: st.proxy.guard.open == 0, "every connection closed")
            assert backend.arrived == 0 and st.settled()

    run(main())


# -- the openai SDK, headers both ways -------------------------------------------------------

def test_openai_sdk_chat_stream_embeddings_models():
    chat_backend, embed_backend = SimBackend(1, max_concurrency=4), SimBackend(11, max_concurrency=4)

    async def main():
        async with Stack({"chat": [(chat_backend, {})], "embed": [(embed_backend, {})]}) as st:
            client = openai.AsyncOpenAI(base_url=st.url + "/v1", api_key="test-key", max_retries=0, timeout=20.0)
            try:
                models = [m.id async for m in client.models.list()]
                assert models == ["chat", "embed"]
                assert (await client.models.retrieve("embed")).id == "embed"
                done = await client.chat.completions.create(
                    model="chat", messages=[{"role": "user", "content": "hello"}], max_tokens=5)
                assert done.choices[0].message.content and done.usage.completion_tokens == 5
                stream = await client.chat.completions.create(
                    model="chat", messages=[{"role": "user", "content": "hello"}], max_tokens=5, stream=True)
                text = "".join([c.choices[0].delta.content or "" async for c in stream if c.choices])
                assert len(text.split()) == 5
                emb = await client.embeddings.create(model="embed", input=["a", "b"], encoding_format="float")
                assert len(emb.data) == 2 and len(emb.data[0].embedding) == 8
                with pytest.raises(openai.NotFoundError) as err:
                    await client.chat.completions.create(model="nope", messages=[{"role": "user", "content": "x"}])
                assert err.value.body["type"] == "not_found_error"
            finally:
                await client.close()
            assert chat_backend.last_headers["Authorization"] == "Bearer test-key"
            await until(st.settled, "nothing in flight")

    run(main())


def test_headers_pass_through_both_ways_and_request_ids():
    backend = SimBackend(1, max_concurrency=2)

    async def main():
        async with Stack({"chat": [(backend, {})]}) as st:
            sent = {"anthropic-version": "2023-06-01", "anthropic-beta": "tools-1", "OpenAI-Organization": "org-1",
                    "User-Agent": "sdk/1.0", "X-Request-Id": "client-id-1", "Connection": "keep-alive, X-Hop",
                    "X-Hop": "dropped", "Keep-Alive": "timeout=5", "Accept-Encoding": "br"}
            status, _, headers = await st.call("/v1/chat/completions", chat(), headers=sent)
            assert status == 200
            got = {k.lower(): v for k, v in backend.last_headers.items()}
            for name in ("anthropic-version", "anthropic-beta", "openai-organization", "user-agent"):
                assert got[name] == sent[{k.lower(): k for k in sent}[name]]
            assert got["x-request-id"] == "client-id-1"
            assert "x-hop" not in got and "keep-alive" not in got and got.get("accept-encoding") != "br"
            # Back: the backend's own headers, the request id, the content type.
            assert headers["X-Served-By"] == "backend-1" and headers["X-Request-Id"] == "client-id-1"
            assert headers["Content-Type"].startswith("application/json")
            # No id sent: one is made, passed to the backend and returned.
            status, _, headers = await st.call("/v1/chat/completions", chat())
            assert len(headers["X-Request-Id"]) == 32
            assert backend.last_headers["X-Request-Id"] == headers["X-Request-Id"]
            # Retry-After of a backend's 429 comes back.
            backend.busy_next, backend.retry_after = 1, "9"
            status, _, headers = await st.call("/v1/chat/completions", chat())
            assert (status, headers["Retry-After"]) == (429, "9")

    run(main())
