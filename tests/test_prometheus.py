"""Prometheus text exposition."""
import pytest
from prometheus_client.parser import text_string_to_metric_families

HEAD_INFLIGHT = (
    "# HELP varnel_lb_inflight Current in-flight requests per backend.\n"
    "# TYPE varnel_lb_inflight gauge\n"
)
HEAD_DISPATCH = (
    "# HELP varnel_lb_dispatch_total Cumulative dispatches per backend.\n"
    "# TYPE varnel_lb_dispatch_total counter\n"
)
HEAD_REJECTED = (
    "# HELP varnel_lb_rejected_total Requests rejected by the load balancer.\n"
    "# TYPE varnel_lb_rejected_total counter\n"
)
HEAD_DEPTH = (
    "# HELP varnel_lb_queue_depth Number of waiters currently queued.\n"
    "# TYPE varnel_lb_queue_depth gauge\n"
)
HEAD_WAIT = (
    "# HELP varnel_lb_queue_wait_seconds Observed waiter wait times.\n"
    "# TYPE varnel_lb_queue_wait_seconds summary\n"
)


def wait_family(p50, p95, count):
    return (
        HEAD_WAIT
        + f'varnel_lb_queue_wait_seconds{{quantile="0.5"}} {p50}\n'
        + f'varnel_lb_queue_wait_seconds{{quantile="0.95"}} {p95}\n'
        + f"varnel_lb_queue_wait_seconds_count {count}\n"
    )


def test_fresh_balancer(lb):
    text = lb.prometheus_text()
    assert text == HEAD_INFLIGHT + HEAD_DISPATCH + HEAD_REJECTED + HEAD_DEPTH + "varnel_lb_queue_depth 0\n"
    assert len(text.splitlines()) == 9


def test_full_exposition(lb):
    lb.inflight.update({3: 2, 1: 1})
    lb.dispatch_counts.update({1: 10, 3: 4})
    lb.note_reject("queue_timeout")
    lb.note_reject("at_capacity")
    lb.note_reject("queue_timeout")
    lb._all_waiters.extend([object(), object()])
    lb.queue_wait_samples.extend([0.5, 0.25, 1.0])
    assert lb.prometheus_text() == (
        HEAD_INFLIGHT
        + 'varnel_lb_inflight{server_id="3"} 2\n'
        + 'varnel_lb_inflight{server_id="1"} 1\n'
        + HEAD_DISPATCH
        + 'varnel_lb_dispatch_total{server_id="1"} 10\n'
        + 'varnel_lb_dispatch_total{server_id="3"} 4\n'
        + HEAD_REJECTED
        + 'varnel_lb_rejected_total{reason="queue_timeout"} 2\n'
        + 'varnel_lb_rejected_total{reason="at_capacity"} 1\n'
        + HEAD_DEPTH
        + "varnel_lb_queue_depth 2\n"
        + wait_family("0.5000", "1.0000", 3)
    )


def test_inflight_lines(lb):
    lb.increment(5)
    lb.decrement(5)  # released: no entry, no line
    lb.inflight[3] = 2
    lines = lb.prometheus_text().split("\n")
    assert lines[2:4] == ['varnel_lb_inflight{server_id="3"} 2', HEAD_DISPATCH.split("\n")[0]]


@pytest.mark.parametrize(
    "n, p50, p95",
    [(1, "0.0100", "0.0100"), (2, "0.0200", "0.0200"), (19, "0.1000", "0.1900"), (20, "0.1100", "0.2000"),
     (100, "0.5100", "0.9600")],
)
def test_wait_quantiles(lb, n, p50, p95):
    lb.queue_wait_samples.extend(reversed([round(0.01 * (i + 1), 2) for i in range(n)]))
    assert lb.prometheus_text().endswith(wait_family(p50, p95, n))


@pytest.mark.parametrize("value", [0.123456, 0.00005, 0.00015, 12345.678951, -0.0, 3, float("inf")])
def test_quantiles_format_like_python(lb, value):
    lb.queue_wait_samples.append(value)
    assert lb.prometheus_text().endswith(wait_family(format(value, ".4f"), format(value, ".4f"), 1))


def test_unformattable_sample_raises(lb):
    lb.queue_wait_samples.append("slow")
    with pytest.raises(ValueError):
        lb.prometheus_text()


@pytest.mark.parametrize(
    "reason, rendered",
    [
        ('say "hi"', 'say \\"hi\\"'),
        ("back\\slash", "back\\\\slash"),
        ("two\nlines", "two\\nlines"),
        ('x"} 1\nvarnel_lb_queue_depth{a="', 'x\\"} 1\\nvarnel_lb_queue_depth{a=\\"'),
        ("tab\tand ünïcode ✓ \U0001f600", "tab\tand ünïcode ✓ \U0001f600"),
        ("lone \ud800 surrogate", "lone \ud800 surrogate"),
    ],
)
def test_label_values_are_escaped(lb, reason, rendered):
    lb.note_reject(reason)
    lines = lb.prometheus_text().split("\n")
    assert lines[6] == f'varnel_lb_rejected_total{{reason="{rendered}"}} 1'
    assert len(lines) == 11  # ten lines and the final newline


def test_server_id_labels_use_default_format(lb):
    lb.inflight.update({"a\"b": 1, 7.5: 2, True: 3})
    assert lb.prometheus_text().split("\n")[2:5] == [
        'varnel_lb_inflight{server_id="a\\"b"} 1',
        'varnel_lb_inflight{server_id="7.5"} 2',
        'varnel_lb_inflight{server_id="True"} 3',
    ]


def test_does_not_evict_or_change_state(lb, clock):
    pool = ("m", frozenset(), "t")
    lb._wrr[pool] = {1: 0}
    lb._pool_last_access[pool] = clock.now - 10_000
    lb.queue_wait_samples.extend([0.3, 0.1, 0.2])
    lb.prometheus_text()
    assert pool in lb._wrr and pool in lb._pool_last_access
    assert list(lb.queue_wait_samples) == [0.3, 0.1, 0.2]


def test_parser_reads_every_family_back(lb):
    lb.inflight.update({3: 2, 11: 7})
    lb.dispatch_counts.update({3: 40, 11: 2})
    for reason in ["queue_full", 'quote"d', "back\\slash", "new\nline", "queue_full"]:
        lb.note_reject(reason)
    lb._all_waiters.append(object())
    lb.queue_wait_samples.extend(0.01 * i for i in range(1, 31))

    families = {f.name: f for f in text_string_to_metric_families(lb.prometheus_text())}
    assert {name: f.type for name, f in families.items()} == {
        "varnel_lb_inflight": "gauge",
        "varnel_lb_dispatch": "counter",
        "varnel_lb_rejected": "counter",
        "varnel_lb_queue_depth": "gauge",
        "varnel_lb_queue_wait_seconds": "summary",
    }

    def samples(name):
        return [(s.name, s.labels, s.value) for s in families[name].samples]

    assert samples("varnel_lb_inflight") == [
        ("varnel_lb_inflight", {"server_id": "3"}, 2),
        ("varnel_lb_inflight", {"server_id": "11"}, 7),
    ]
    assert samples("varnel_lb_dispatch") == [
        ("varnel_lb_dispatch_total", {"server_id": "3"}, 40),
        ("varnel_lb_dispatch_total", {"server_id": "11"}, 2),
    ]
    assert samples("varnel_lb_rejected") == [
        ("varnel_lb_rejected_total", {"reason": "queue_full"}, 2),
        ("varnel_lb_rejected_total", {"reason": 'quote"d'}, 1),
        ("varnel_lb_rejected_total", {"reason": "back\\slash"}, 1),
        ("varnel_lb_rejected_total", {"reason": "new\nline"}, 1),
    ]
    assert samples("varnel_lb_queue_depth") == [("varnel_lb_queue_depth", {}, 1)]
    assert samples("varnel_lb_queue_wait_seconds") == [
        ("varnel_lb_queue_wait_seconds", {"quantile": "0.5"}, 0.16),
        ("varnel_lb_queue_wait_seconds", {"quantile": "0.95"}, 0.29),
        ("varnel_lb_queue_wait_seconds_count", {}, 30),
    ]
    assert families["varnel_lb_inflight"].documentation == "Current in-flight requests per backend."
