"""The proxy's metrics, exposed through prometheus_client on /metrics.

Histograms are prometheus_client `Histogram`s. The counters the proxy keeps
anyway (`ProxyStats`, also read by the status page and the tests) and its
gauges are exposed by a custom collector on the same registry. The page is the
registry's text, then the balancer's own `prometheus_text()` unchanged.
"""
from __future__ import annotations

import time
from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import prometheus_client
from prometheus_client import CollectorRegistry, Histogram, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.registry import Collector

if TYPE_CHECKING:
    from .server import Proxy

# The module's text carries no _created samples either; a scraper gets one style.
prometheus_client.disable_created_metrics()  # type: ignore[no-untyped-call]

LATENCY_BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0, 120.0)
QUEUE_BUCKETS = (0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0)


@dataclass
class ProxyStats:
    """What the proxy counts; exported as counters, also read by /status and the tests."""

    responses: Counter[tuple[str, int]] = field(default_factory=Counter)  # (route, status)
    outcomes: Counter[str] = field(default_factory=Counter)
    client_disconnects: int = 0
    retries: int = 0
    upstream_responses: Counter[tuple[int, str]] = field(default_factory=Counter)  # (server, status or error)
    upstream_failures: Counter[int] = field(default_factory=Counter)
    upstream_aborted: Counter[int] = field(default_factory=Counter)
    midstream_failures: Counter[int] = field(default_factory=Counter)
    sin_binned: Counter[int] = field(default_factory=Counter)
    upstream_429: Counter[int] = field(default_factory=Counter)
    upstream_429_handled: Counter[str] = field(default_factory=Counter)  # retried | parked | passed_through
    leases_over_cap: Counter[tuple[int, str]] = field(default_factory=Counter)
    stale_grants: Counter[int] = field(default_factory=Counter)
    tokens: Counter[tuple[str, str]] = field(default_factory=Counter)  # (model, kind)
    reloads: Counter[str] = field(default_factory=Counter)  # ok | failed
    last_error: dict[int, tuple[float, str]] = field(default_factory=dict)  # server -> (wall time, message)

    def note_error(self, server_id: int, message: str) -> None:
        self.last_error[server_id] = (time.time(), message)


def outcome_of(status: int) -> str:
    """The outcome label of an answered request, from its status."""
    if status < 400:
        return "ok"
    if status in (429, 503):
        return "refused"
    if status == 500:
        return "proxy_error"
    if status >= 500:
        return "upstream_error"
    return "client_error"


class _StatsCollector(Collector):
    def __init__(self, proxy: Proxy) -> None:
        self.proxy = proxy

    def collect(self) -> Iterable[Metric]:
        proxy = self.proxy
        st = proxy.stats

        def counter(name: str, doc: str, labels: list[str], samples: Iterable[tuple[list[str], float]]) -> Metric:
            family = CounterMetricFamily(name, doc, labels=labels)
            for values, value in samples:
                family.add_metric(values, value)
            return family

        def by_server(counts: Counter[int]) -> list[tuple[list[str], float]]:
            return [([str(sid)], n) for sid, n in sorted(counts.items())]

        yield counter("proxy_requests", "Requests answered, by route and status code (client departures "
                      "not included: proxy_client_disconnects_total).", ["route", "code"],
                      [([route, str(code)], n) for (route, code), n in sorted(st.responses.items())])
        yield counter("proxy_request_outcomes", "Requests by outcome: ok, client_error, refused (429 or 503), "
                      "upstream_error, proxy_error (500), stream_cut, client_gone.", ["outcome"],
                      [([k], n) for k, n in sorted(st.outcomes.items())])
        yield counter("proxy_client_disconnects", "Requests whose client went away before the answer ended.",
                      [], [([], st.client_disconnects)])
        yield counter("proxy_retries", "Requests sent to another backend after one failed (a 429 is not a "
                      "failure).", [], [([], st.retries)])
        yield counter("proxy_upstream_responses", "Upstream attempts by backend and status (error: refused or "
                      "broken; timeout; aborted: ended by the proxy when its backend was marked down).",
                      ["server_id", "code"],
                      [([str(sid), code], n) for (sid, code), n in sorted(st.upstream_responses.items())])
        yield counter("proxy_upstream_failures", "Upstream attempts that failed before the answer started "
                      "(refused, timed out, 5xx, or ended because the backend was marked down).", ["server_id"],
                      by_server(st.upstream_failures))
        yield counter("proxy_upstream_aborted", "Upstream requests ended by the proxy because their backend "
                      "failed its health probe.", ["server_id"], by_server(st.upstream_aborted))
        yield counter("proxy_midstream_failures", "Streams cut because their backend failed.", ["server_id"],
                      by_server(st.midstream_failures))
        yield counter("proxy_sin_binned", "Times a backend was put in the sin bin.", ["server_id"],
                      by_server(st.sin_binned))
        yield counter("proxy_upstream_429", "Upstream attempts answered 429 (the backend at its own limit) "
                      "before the answer started.", ["server_id"], by_server(st.upstream_429))
        yield counter("proxy_upstream_429_handled", "What became of those 429s: retried on another backend, "
                      "parked in the queue, or passed through.", ["action"],
                      [([k], n) for k, n in sorted(st.upstream_429_handled.items())])
        yield counter("proxy_leases_over_cap", "Leases that took a backend past its configured "
                      "max_concurrency, by how the backend was got.", ["server_id", "via"],
                      [([str(sid), via], n) for (sid, via), n in sorted(st.leases_over_cap.items())])
        yield counter("proxy_stale_grants", "Backends handed out by the queue after they went out of rotation "
                      "(the request was routed again).", ["server_id"], by_server(st.stale_grants))
        yield counter("proxy_tokens", "Tokens by model: input_estimated (the balancer's estimate of every "
                      "routed request), prompt and completion (the usage a backend reported in a JSON answer).",
                      ["model", "kind"], [([m, k], n) for (m, k), n in sorted(st.tokens.items())])
        yield counter("proxy_connections_refused", "Client connections answered by the listener itself: "
                      "too_many_connections (503), header_timeout (408), bad_request (400).", ["reason"],
                      [([k], n) for k, n in sorted(proxy.guard.refused.items())])
        yield counter("proxy_reloads", "Configuration reloads (SIGHUP or /admin/reload), by result.", ["result"],
                      [([k], n) for k, n in sorted(st.reloads.items())])

        up = GaugeMetricFamily("proxy_backend_up", "Whether a backend answered its last health probe.",
                               labels=["server_id"])
        drained = GaugeMetricFamily("proxy_backend_drained", "Whether a backend is drained (weight 0) "
                                    "through the admin route.", labels=["server_id"])
        held = GaugeMetricFamily("proxy_backend_held_slots", "Slots the balancer holds for woken parked "
                                 "requests, by backend.", labels=["server_id"])
        for server in proxy.config.backends():
            sid = server["id"]
            up.add_metric([str(sid)], int(sid not in proxy.down))
            drained.add_metric([str(sid)], int(sid in proxy.drained))
            held.add_metric([str(sid)], proxy.lb.held_slots.get(sid, 0))
        yield up
        yield drained
        yield held
        yield GaugeMetricFamily("proxy_open_connections", "Client connections open now.",
                                value=proxy.guard.open)
        info = GaugeMetricFamily("proxy_info", "The proxy's event loop.", labels=["event_loop"])
        info.add_metric([proxy.event_loop_name()], 1)
        yield info
        if proxy.permits is not None:
            yield from proxy.permits.collect()


class ProxyMetrics:
    """The registry behind /metrics: latency histograms, and the collector of the proxy's counts."""

    def __init__(self, proxy: Proxy) -> None:
        self.registry = CollectorRegistry(auto_describe=False)
        self.request_duration = Histogram(
            "proxy_request_duration_seconds", "Time from a request's arrival to the end of its answer.",
            ["route", "code"], buckets=LATENCY_BUCKETS, registry=self.registry)
        self.first_byte = Histogram(
            "proxy_time_to_first_byte_seconds", "Time from a request's arrival to the first byte of its "
            "answer's body (of a stream: its first event, the first token or the stream's header event).",
            ["route", "code"], buckets=LATENCY_BUCKETS, registry=self.registry)
        self.upstream_duration = Histogram(
            "proxy_upstream_duration_seconds", "Duration of one upstream attempt, to the end of its answer, "
            "by backend and status.", ["server_id", "code"], buckets=LATENCY_BUCKETS, registry=self.registry)
        self.queue_wait = Histogram(
            "proxy_queue_wait_seconds", "Time requests waited in the balancer's queue, by result "
            "(granted or refused).", ["result"], buckets=QUEUE_BUCKETS, registry=self.registry)
        self.registry.register(_StatsCollector(proxy))

    def observe_request(self, route: str, code: int, duration: float, first_byte: float | None) -> None:
        labels = (route, str(code))
        self.request_duration.labels(*labels).observe(duration)
        if first_byte is not None:
            self.first_byte.labels(*labels).observe(first_byte)

    def observe_upstream(self, server_id: int, code: str, duration: float) -> None:
        self.upstream_duration.labels(str(server_id), code).observe(duration)

    def observe_queue_wait(self, granted: bool, waited: float) -> None:
        self.queue_wait.labels("granted" if granted else "refused").observe(waited)

    def text(self, balancer_text: str) -> str:
        return generate_latest(self.registry).decode() + balancer_text
