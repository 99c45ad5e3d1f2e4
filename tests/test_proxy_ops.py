"""Running the example proxy: a frozen backend, metrics and the dashboard, the status page in a real
browser, drain and reload, and the one-command run with its simulated backends.

Servers run on 127.0.0.1 ephemeral ports and are stopped by the test that started them.
"""
import asyncio
import json
import os
import re
import shutil
import signal
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import aiohttp
import pytest
from prometheus_client.parser import text_string_to_metric_families

from examples.proxy.backend import SimBackend
from examples.proxy.config import load
from examples.proxy.server import Proxy
from tests.test_proxy import (ROOT, Stack, chat, closed_port_url, module_settings, run,  # noqa: F401
                              start_backend_process, until)

DASHBOARD = ROOT / "examples" / "proxy" / "grafana-dashboard.json"


# -- a backend that hangs, then comes back ------------------------------------------------------

def test_frozen_backend_requests_end_and_its_cap_holds_when_it_returns():
    """SIGSTOP: the probe marks it down and its open requests end (long before the 60 s read time-out);
    SIGCONT: it is back in rotation, and its in-flight count never goes above its cap."""
    other = SimBackend(2, max_concurrency=2)
    cap = 2

    async def main():
        proc, url = await start_backend_process(9, "--max-concurrency", str(cap), "--decode-ms-per-token", "300")
        try:
            pools = {"chat": [(url, {"id": 9, "weight": 100, "max_concurrency": cap}), (other, {"weight": 1})]}
            upstream = {"read_timeout_sec": 60.0, "health_timeout_sec": 0.3, "sin_bin_sec": 60.0}
            async with Stack(pools, upstream=upstream, queue={"enabled": True, "ttl_sec": 60.0}) as st:
                first_chunk = asyncio.Event()

                async def streaming():
                    async with st.client.post(st.url + "/v1/chat/completions", json=chat(stream=True)) as r:
                        events = [await r.content.readline()]
                        first_chunk.set()
                        events += [line async for line in r.content]
                        return r.status, b"".join(events).decode()

                stream = asyncio.create_task(streaming())
                await until(first_chunk.is_set, "stream under way on 9")
                plain = asyncio.create_task(st.call("/v1/chat/completions", chat()))
                await until(lambda: st.lb.get_inflight(9) == 2, "two requests on 9")
                proc.send_signal(signal.SIGSTOP)
                # Bounded by the test's time-out (and `until`), far below the read time-out.
                status, text = await asyncio.wait_for(stream, 20)
                assert status == 200 and '"upstream_error"' in text and "failed its health probe" in text
                status, _, headers = await asyncio.wait_for(plain, 20)
                assert (status, headers["X-Backend-Id"], headers["X-Attempts"]) == (200, "2", "2")
                assert st.proxy.stats.upstream_aborted == {9: 2} and st.lb.get_inflight(9) == 0
                assert 9 in st.proxy.down and 9 not in st.proxy.sin_bin_until

                proc.send_signal(signal.SIGCONT)
                await until(lambda: 9 not in st.proxy.down, "9 back in rotation")
                peak = 0
                done = asyncio.Event()

                async def watch():
                    nonlocal peak
                    while not done.is_set():
                        peak = max(peak, st.lb.get_inflight(9) + st.lb.held_slots.get(9, 0))
                        await asyncio.sleep(0)

                watcher = asyncio.create_task(watch())
                answers = await asyncio.gather(*(st.call("/v1/chat/completions", chat(max_tokens=2))
                                                 for _ in range(12)))
                done.set()
                await watcher
                assert [a[0] for a in answers] == [200] * 12
                assert 0 < peak <= cap
                await until(st.settled, "nothing in flight or parked")
                async with st.client.get(url + "/stats") as r:
                    seen = await r.json()
                # The backend itself never served more than its cap of live requests.
                assert seen["peak_open"] <= cap
        finally:
            if proc.returncode is None:
                proc.send_signal(signal.SIGCONT)
                proc.kill()
            await proc.wait()

    run(main())


def test_a_stream_ended_while_its_client_is_slow_still_gets_the_error_event():
    """The backend is marked down while the relay waits for a slow client to take a chunk: the stream
    still ends with an upstream_error event, not as if it had finished."""
    backend = SimBackend(1, max_concurrency=1)

    async def main():
        async with Stack({"chat": [(backend, {})]}) as st:
            backend.hold = asyncio.Event()  # the backend pauses after its first token
            async with st.client.post(st.url + "/v1/chat/completions", json=chat(stream=True)) as r:
                first = await r.content.readline()
                (attempt,) = st.proxy.attempts[1]
                stream, write = attempt.stream, attempt.stream.write
                in_write, drained = asyncio.Event(), asyncio.Event()

                async def slow_client_write(data):  # the next chunk waits as if the client read nothing
                    if not in_write.is_set():
                        in_write.set()
                        await drained.wait()
                    await write(data)
                stream.write = slow_client_write
                backend.hold.set()
                await asyncio.wait_for(in_write.wait(), 20)
                attempt.end("failed its health probe")
                rest = (await asyncio.wait_for(r.read(), 20)).decode()
            assert first.startswith(b"data: ") and '"upstream_error"' in rest
            assert st.proxy.stats.outcomes["stream_cut"] == 1
            await until(st.settled, "nothing in flight")

    run(main())


# -- /metrics and the dashboard -------------------------------------------------------------------

def exported_names(text):
    """Every metric name a query can use: families by their TYPE lines, histograms with their series."""
    names = set()
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split()
            names.add(name)
            if kind in ("histogram", "summary"):
                names.update({name + "_count", name + "_sum", name + "_bucket"})
    return names


def test_metrics_page_parses_and_the_dashboard_queries_exported_metrics():
    """(promtool checks the page in test_proxy.py::test_metrics_scraped_over_http, where it is installed.)"""
    chat_backend, embed_backend = SimBackend(1, max_concurrency=1), SimBackend(11, max_concurrency=2)

    async def main():
        pools = {"chat": [(chat_backend, {"max_input_tokens": 1000})], "embed": [(embed_backend, {})]}
        async with Stack(pools, queue={"enabled": True, "ttl_sec": 60.0}) as st:
            calls = [st.call("/v1/chat/completions", chat(stream=i % 2 == 0)) for i in range(4)]
            calls += [st.call("/v1/embeddings", {"model": "embed", "input": ["a"]}) for _ in range(3)]
            calls += [st.call("/v1/completions", {"model": "chat", "prompt": "x" * 8000})]
            assert sorted(a[0] for a in await asyncio.gather(*calls)) == [200] * 7 + [413]
            await until(st.settled, "nothing in flight or parked")
            _, _, text = await st.get("/metrics")
            return text

    text = run(main())
    families = {f.name: f for f in text_string_to_metric_families(text)}
    # Histograms with a cumulative count and sum; the balancer's families follow unchanged.
    assert families["proxy_request_duration_seconds"].type == "histogram"
    assert families["proxy_queue_wait_seconds"].type == "histogram"
    assert families["varnel_lb_queue_wait_seconds"].type == "summary"
    waited = {s.labels.get("result"): s.value for s in families["proxy_queue_wait_seconds"].samples
              if s.name.endswith("_count")}
    assert waited.get("granted", 0) >= 1

    dashboard = json.loads(DASHBOARD.read_text())
    exprs = [t["expr"] for panel in dashboard["panels"] for t in panel.get("targets", [])]
    assert len(exprs) >= 10
    names = exported_names(text)
    for expr in exprs:
        used = set(re.findall(r"\b((?:proxy|varnel_lb)_[a-z0-9_]+)", expr))
        assert used, expr
        assert used <= names, (expr, used - names)


# -- the status page in a real browser --------------------------------------------------------------

class DomValues(HTMLParser):
    """data-field values by backend row and by rejection row, from the dumped DOM."""

    def __init__(self):
        super().__init__()
        self.backends, self.reasons, self.loaded = {}, {}, False
        self._row = self._field = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "body" and a.get("data-loaded") == "yes":
            self.loaded = True
        if "data-backend-id" in a:
            self._row = self.backends.setdefault(a["data-backend-id"], {})
        elif "data-reason" in a:
            self._row = self.reasons.setdefault(a["data-reason"], {})
        if "data-field" in a and self._row is not None:
            self._field = a["data-field"]
            self._row[self._field] = ""

    def handle_endtag(self, tag):
        if tag == "tr":
            self._row = None
        self._field = None

    def handle_data(self, data):
        if self._field is not None and self._row is not None:
            self._row[self._field] += data


def chromium_binary():
    return shutil.which("chromium") or shutil.which("chromium-browser")


async def dump_dom(url, profile):
    proc = await asyncio.create_subprocess_exec(
        chromium_binary(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
        f"--user-data-dir={profile}", "--virtual-time-budget=3000", "--dump-dom", url,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        out, _ = await asyncio.wait_for(proc.communicate(), 90)
    finally:
        if proc.returncode is None:
            proc.kill()
            await proc.wait()
    return out.decode()


def test_status_page_renders_live_values_in_headless_chromium(tmp_path):
    if chromium_binary() is None:
        pytest.skip("chromium not installed (Debian package chromium; scripts/test.sh installs it as root)")
    busy, failing = SimBackend(1, max_concurrency=2), SimBackend(2, max_concurrency=2)

    async def main():
        pools = {"chat": [(busy, {"weight": 3, "max_input_tokens": 1000}), (failing, {"weight": 1, "max_input_tokens": 1000})]}
        async with Stack(pools, queue={"enabled": True, "ttl_sec": 60.0}) as st:
            # A load: backend 2 fails once (sin-binned, its request retried on 1), one request fits nowhere,
            # then two requests held on backend 1 (its cap) and one parked.
            failing.fail_next = 1
            for _ in range(4):
                assert (await st.call("/v1/chat/completions", chat()))[0] == 200
            assert (await st.call("/v1/completions", {"model": "chat", "prompt": "x" * 8000}))[0] == 413
            busy.hold = asyncio.Event()
            held = [asyncio.create_task(st.call("/v1/chat/completions", chat())) for _ in range(3)]
            await until(lambda: busy.active == 2 and len(st.lb._all_waiters) == 1, "1 full, one parked")

            dom = await dump_dom(st.url + "/status", tmp_path / "profile")
            page = DomValues()
            page.feed(dom)
            assert page.loaded, dom[:2000]
            one, two = page.backends["1"], page.backends["2"]
            assert (one["state"], one["inflight"], one["cap"], one["held"]) == ("up", "2", "2", "0")
            assert one["dispatched"] == str(st.lb.dispatch_counts[1])
            assert two["state"] == "sin-binned" and "answered 500" in two["last_error"]
            assert page.reasons["too_large"]["count"] == "1"
            assert re.search(r'data-pool="chat".*?data-field="queue_depth">1<', dom, re.S)

            busy.hold.set()
            assert [a[0] for a in await asyncio.gather(*held)] == [200] * 3
            await until(st.settled, "nothing in flight or parked")

    run(main())


# -- drain, reload --------------------------------------------------------------------------------

def toml_for(pools, extra=""):
    lines = ["[server]", 'host = "127.0.0.1"', "port = 0", "[upstream]", "health_interval_sec = 0.05",
             "[queue]", "enabled = true", extra]
    for model, backends in pools.items():
        lines += ["[[pools]]", f'model = "{model}"']
        for b in backends:
            lines += ["[[pools.backends]]"] + [f"{k} = {json.dumps(v)}" for k, v in b.items()]
    return "\n".join(lines) + "\n"


def test_drain_undrain_and_reload_without_dropping_requests(tmp_path):
    one, two, three = (SimBackend(i, max_concurrency=4) for i in (1, 2, 3))

    async def main():
        urls = {b.id: f"http://127.0.0.1:{await b.start()}" for b in (one, two, three)}
        path = tmp_path / "proxy.toml"
        path.write_text(toml_for({"chat": [{"id": 1, "url": urls[1]}, {"id": 2, "url": urls[2]}]}))
        proxy = Proxy(load(path), config_path=path)
        url = f"http://127.0.0.1:{await proxy.start()}"
        try:
            async with aiohttp.ClientSession() as client:
                async def post(path_, body=None):
                    async with client.post(url + path_, json=body) as r:
                        return r.status, await r.json()

                async def backends_of(n):
                    got = []
                    for _ in range(n):
                        async with client.post(url + "/v1/chat/completions", json=chat(model="chat")) as r:
                            assert r.status == 200
                            got.append(r.headers["X-Backend-Id"])
                    return got

                status, state = await post("/admin/backends/1/drain")
                assert (status, state["drained"], state["weight"]) == (200, True, 0.0)
                assert set(await backends_of(4)) == {"2"}
                assert (await post("/admin/backends/7/drain"))[0] == 404
                status, state = await post("/admin/backends/1/undrain")
                assert (status, state["weight"]) == (200, 1.0)
                assert set(await backends_of(4)) == {"1", "2"}

                # A stream in flight on backend 1 across a reload that adds a pool and removes backend 2.
                one.hold = asyncio.Event()
                async with client.post(url + "/v1/chat/completions",
                                       json=chat(model="chat", stream=True)) as stream:
                    await stream.content.readline()
                    path.write_text(toml_for({"chat": [{"id": 1, "url": urls[1], "weight": 2}],
                                              "other": [{"id": 3, "url": urls[3]}]}))
                    status, summary = await post("/admin/reload")
                    assert (status, summary["added"], summary["removed"]) == (200, [3], [2])
                    one.hold.set()
                    rest = (await stream.read()).decode()
                    assert stream.status == 200 and rest.rstrip().endswith("data: [DONE]")
                async with client.get(url + "/v1/models") as r:
                    assert [m["id"] for m in (await r.json())["data"]] == ["chat", "other"]
                async with client.post(url + "/v1/chat/completions", json=chat(model="other")) as r:
                    assert (r.status, r.headers["X-Backend-Id"]) == (200, "3")
                # A bad file changes nothing.
                path.write_text("[routing]\nmode = 'fastest'\n")
                status, payload = await post("/admin/reload")
                assert status == 422 and "routing.mode" in payload["error"]["message"]
                assert sorted(proxy.config.pools) == ["chat", "other"]
                assert proxy.stats.reloads == {"ok": 1, "failed": 1}
                await until(lambda: proxy.lb.inflight == {}, "nothing in flight")
        finally:
            await proxy.stop()
            for b in (one, two, three):
                await b.stop()

    run(main())


def test_admin_routes_need_the_token_when_one_is_set():
    backend = SimBackend(1, max_concurrency=2)

    async def main():
        async with Stack({"chat": [(backend, {})]}, server={"admin_token": "s3cret"}) as st:
            async with st.client.post(st.url + "/admin/backends/1/drain") as r:
                assert r.status == 401 and (await r.json())["error"]["type"] == "authentication_error"
            async with st.client.post(st.url + "/admin/backends/1/drain",
                                      headers={"Authorization": "Bearer s3cret"}) as r:
                assert r.status == 200 and 1 in st.proxy.drained

    run(main())


@pytest.mark.parametrize("raw_id", ["%C2%B2", "9" * 5000], ids=["superscript two", "5000 digits"])
def test_an_admin_backend_id_that_is_no_number_is_a_404(raw_id):
    """Digits int() refuses (another script's, or more than it converts) are the client's error, not a 500."""
    backend = SimBackend(1, max_concurrency=2)

    async def main():
        async with Stack({"chat": [(backend, {})]}) as st:
            async with st.client.post(st.url + f"/admin/backends/{raw_id}/drain") as r:
                assert (r.status, (await r.json())["error"]["type"]) == (404, "not_found_error")
            assert st.proxy.drained == set()

    run(main())


# -- one command: the proxy and its simulated backends from the TOML --------------------------------

def test_serve_with_backends_reloads_on_sighup_and_stops_everything(tmp_path):
    ports = [int(closed_port_url().rsplit(":", 1)[1]) for _ in range(2)]
    path = tmp_path / "proxy.toml"
    first = {"chat": [{"id": 1, "name": "gpu-a", "url": f"http://127.0.0.1:{ports[0]}", "max_concurrency": 4}]}
    path.write_text(toml_for(first))
    env = {**os.environ, "PYTHONUNBUFFERED": "1"}
    proc = subprocess.Popen([sys.executable, "-m", "examples.proxy", "serve", str(path), "--with-backends"],
                            cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        url = proc.stdout.readline().split()[1]

        async def main():
            async with aiohttp.ClientSession() as client:
                async with client.get(url + "/status.json") as r:
                    assert (await r.json())["event_loop"] == "uvloop"
                async with client.post(url + "/v1/chat/completions", json=chat(model="chat", stream=True,
                                                                               max_tokens=64)) as stream:
                    await stream.content.readline()
                    second = {**first, "embed": [{"id": 11, "url": f"http://127.0.0.1:{ports[1]}"}]}
                    path.write_text(toml_for(second))
                    proc.send_signal(signal.SIGHUP)
                    rest = (await stream.read()).decode()
                    assert stream.status == 200 and rest.rstrip().endswith("data: [DONE]")

                async def reloaded():
                    async with client.get(url + "/v1/models") as r:
                        return len((await r.json())["data"]) == 2

                for _ in range(200):
                    if await reloaded():
                        break
                    await asyncio.sleep(0.05)
                async with client.post(url + "/v1/embeddings", json={"model": "embed", "input": ["a"]}) as r:
                    assert (r.status, r.headers["X-Backend-Id"]) == (200, "11")

        run(main())
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == 0
        log = proc.stderr.read()
        assert "configuration reloaded" in log and "simulated backend 11" in log
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    # The simulated backends stopped with it.
    for port in ports:
        with pytest.raises(OSError):
            import socket
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
