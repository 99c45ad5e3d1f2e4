"""The live status page: /status (HTML and a little JavaScript, no external assets) and /status.json.

The page fetches /status.json every second and renders, per pool, its queue
depth and dispatch rate, and per backend: up or down (sin-binned, drained), in
flight against its cap as a bar, slots held for woken parked requests,
dispatches and their rate, and its last error; then the balancer's rejections
by reason and the listener's refusals; with shared caps, this process's
permits and every member of each backend's permit pool, as Redis has them.
"""
from __future__ import annotations

import time
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .server import Proxy


def data(proxy: Proxy, rates: dict[int, float], permits: dict[str, Any] | None = None) -> dict[str, Any]:
    lb = proxy.lb
    excluded = proxy.excluded()
    pools = []
    for pool in proxy.config.pools.values():
        backends = []
        for record in pool.records:
            sid = record["id"]
            error = proxy.stats.last_error.get(sid)
            backends.append({
                "id": sid, "name": record["name"], "url": record["url"],
                "state": ("down" if sid in proxy.down else "sin-binned" if sid in excluded
                          else "drained" if sid in proxy.drained else "up"),
                "weight": record["weight"], "inflight": lb.get_inflight(sid), "cap": record["max_concurrency"],
                "held": lb.held_slots.get(sid, 0), "dispatched": lb.dispatch_counts.get(sid, 0),
                "rate": round(rates.get(sid, 0.0), 2),
                "last_error": None if error is None else {"at": error[0], "message": error[1]},
            })
        pools.append({
            "model": pool.model, "algorithm": pool.algorithm, "tier": pool.tier, "clusters": sorted(pool.clusters),
            "queue_depth": sum(1 for w in lb._all_waiters if w.pool_key == pool.key),
            "rate": round(sum(b["rate"] for b in backends), 2), "backends": backends,
        })
    st = proxy.stats
    return {
        "now": time.time(), "uptime_sec": round(time.time() - proxy.started_at, 1),
        "event_loop": proxy.event_loop_name(), "routing_mode": lb.get_routing_mode(),
        "queue_enabled": lb.queue_enabled(), "open_connections": proxy.guard.open,
        "answered": sum(st.responses.values()), "client_disconnects": st.client_disconnects,
        "rejections": dict(sorted(lb.reject_counts.items())),
        "connections_refused": dict(sorted(proxy.guard.refused.items())),
        "pools": pools, "permits": permits,
    }


PAGE = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Proxy status</title>
<style>
  body { font: 14px/1.4 system-ui, sans-serif; margin: 1.2em; color: #222; background: #fafafa; }
  h1 { font-size: 1.3em; margin: 0 0 .2em; }
  h2 { font-size: 1.05em; margin: 1.2em 0 .3em; }
  #summary, .pool-head { color: #555; }
  table { border-collapse: collapse; background: #fff; }
  th, td { padding: .25em .7em; border-bottom: 1px solid #e4e4e4; text-align: left; white-space: nowrap; }
  th { font-weight: 600; color: #444; background: #f0f0f0; }
  td.num { text-align: right; font-variant-numeric: tabular-nums; }
  .bar { width: 140px; height: 12px; background: #e8e8e8; border-radius: 3px; display: inline-block;
         vertical-align: middle; margin-right: .5em; overflow: hidden; }
  .fill { height: 100%; background: #3a7bd5; }
  .fill.full { background: #d9534f; }
  .state-up { color: #1e7e34; font-weight: 600; }
  .state-down, .state-sin-binned { color: #c0392b; font-weight: 600; }
  .state-drained { color: #a67c00; font-weight: 600; }
  .error { color: #8a3b12; white-space: normal; max-width: 28em; }
  #stale { color: #c0392b; }
</style>
</head>
<body>
<h1>Proxy status</h1>
<div id="summary">loading&hellip;</div>
<div id="stale"></div>
<div id="pools"></div>
<section id="permits" hidden>
<h2>Permits shared with other processes</h2>
<div id="permits-head" class="pool-head"></div>
<table id="permit-table"><thead><tr><th>backend</th><th>cap</th><th>held here</th><th>committed here</th>
<th>in use here</th><th>lease left</th><th>members (committed, lease left)</th></tr></thead><tbody></tbody></table>
</section>
<h2>Rejections by reason</h2>
<table id="rejections"><thead><tr><th>reason</th><th>count</th></tr></thead><tbody></tbody></table>
<script>
"use strict";
function el(tag, attrs, text) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  if (text !== undefined) node.textContent = String(text);
  return node;
}
function cell(row, field, text, cls) {
  const td = el("td", {"data-field": field, "class": cls || ""}, text);
  row.appendChild(td);
  return td;
}
function ago(at, now) {
  const s = Math.max(0, now - at);
  return s < 60 ? s.toFixed(0) + "s ago" : (s / 60).toFixed(0) + "min ago";
}
function render(d) {
  document.getElementById("summary").textContent =
    "routing mode " + d.routing_mode + ", queue " + (d.queue_enabled ? "on" : "off") +
    ", event loop " + d.event_loop + ", up " + d.uptime_sec.toFixed(0) + "s, " +
    d.open_connections + " client connection(s) open, " + d.answered + " answered, " +
    d.client_disconnects + " client(s) went away";
  const pools = document.getElementById("pools");
  pools.replaceChildren();
  for (const p of d.pools) {
    const section = el("section", {"data-pool": p.model});
    section.appendChild(el("h2", {}, p.model));
    const head = el("div", {"class": "pool-head"});
    head.appendChild(el("span", {}, p.algorithm + ", tier " + p.tier + " \u00b7 queue depth "));
    head.appendChild(el("span", {"data-field": "queue_depth"}, p.queue_depth));
    head.appendChild(el("span", {}, " \u00b7 dispatches/s "));
    head.appendChild(el("span", {"data-field": "rate"}, p.rate.toFixed(1)));
    section.appendChild(head);
    const table = el("table");
    const hr = el("tr");
    for (const h of ["backend", "state", "in flight / cap", "held", "weight", "dispatched", "per s", "last error"])
      hr.appendChild(el("th", {}, h));
    table.appendChild(hr);
    for (const b of p.backends) {
      const row = el("tr", {"data-backend-id": b.id});
      cell(row, "name", b.id + " " + b.name);
      cell(row, "state", b.state, "state-" + b.state);
      const load = el("td", {"class": "num"});
      const bar = el("span", {"class": "bar"});
      const share = b.cap > 0 ? Math.min(1, b.inflight / b.cap) : (b.inflight > 0 ? 1 : 0);
      const fill = el("span", {"class": "fill" + (b.cap > 0 && b.inflight >= b.cap ? " full" : ""),
                               "style": "display:block;width:" + (share * 100).toFixed(0) + "%"});
      bar.appendChild(fill);
      load.appendChild(bar);
      load.appendChild(el("span", {"data-field": "inflight"}, b.inflight));
      load.appendChild(el("span", {}, " / "));
      load.appendChild(el("span", {"data-field": "cap"}, b.cap > 0 ? b.cap : "\u221e"));
      row.appendChild(load);
      cell(row, "held", b.held, "num");
      cell(row, "weight", b.weight, "num");
      cell(row, "dispatched", b.dispatched, "num");
      cell(row, "dispatch_rate", b.rate.toFixed(1), "num");
      cell(row, "last_error", b.last_error ? b.last_error.message + " (" + ago(b.last_error.at, d.now) + ")" : "",
           "error");
      table.appendChild(row);
    }
    section.appendChild(table);
    pools.appendChild(section);
  }
  renderPermits(d.permits);
  const body = document.querySelector("#rejections tbody");
  body.replaceChildren();
  const reasons = Object.entries(d.rejections).map(([k, v]) => ["balancer: " + k, k, v])
    .concat(Object.entries(d.connections_refused).map(([k, v]) => ["listener: " + k, "listener_" + k, v]));
  if (reasons.length === 0) body.appendChild(el("tr", {}, "")).appendChild(el("td", {"colspan": 2}, "none"));
  for (const [label, key, n] of reasons) {
    const row = el("tr", {"data-reason": key});
    cell(row, "reason", label);
    cell(row, "count", n, "num");
    body.appendChild(row);
  }
}
function renderPermits(pm) {
  const section = document.getElementById("permits");
  section.hidden = !pm;
  if (!pm) return;
  const trips = pm.round_trips_per_request;
  document.getElementById("permits-head").textContent = pm.mode === "static"
    ? "caps divided statically among " + pm.processes + " process(es)"
    : "member " + pm.member + ", " + pm.state + ", round trips per request " + trips.all +
      " (on the request road " + trips.claims + ")" + (pm.redis_error ? ", Redis: " + pm.redis_error : "");
  const body = document.querySelector("#permit-table tbody");
  body.replaceChildren();
  for (const [sid, b] of Object.entries(pm.backends)) {
    const row = el("tr", {"data-permit-backend": sid});
    cell(row, "name", sid + " " + (b.name || ""));
    cell(row, "cap", b.cap === undefined ? "" : b.cap, "num");
    cell(row, "held", b.held, "num");
    cell(row, "committed", b.committed === undefined ? "" : b.committed, "num");
    cell(row, "used", b.used === undefined ? "" : b.used, "num");
    cell(row, "lease_left", b.lease_left_sec === undefined ? "" : b.lease_left_sec.toFixed(1) + "s", "num");
    cell(row, "members", (b.members || []).map(m => (m.me ? "*" : "") + m.id + " " + m.committed + " (" +
      m.lease_left_sec.toFixed(1) + "s" + (m.wanting ? ", wants" : "") + ")").join("; "));
    body.appendChild(row);
  }
}
async function refresh() {
  try {
    const r = await fetch("status.json", {cache: "no-store"});
    if (!r.ok) throw new Error("HTTP " + r.status);
    render(await r.json());
    document.getElementById("stale").textContent = "";
    document.body.dataset.loaded = "yes";
  } catch (e) {
    document.getElementById("stale").textContent = "status not updated: " + e.message;
  }
}
refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
"""
