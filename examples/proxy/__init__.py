"""A small asyncio HTTP proxy for inference APIs, routed by the load_balancer module.

- `config`: the TOML configuration (server limits, upstream time-outs, routing, queue, pools by model).
- `server`: the proxy (`Proxy`): /v1/* routes, /v1/models, /metrics, /status, /healthz, /debug/snapshot,
  /admin/* (drain, undrain, reload).
- `listener`: the listening socket's client limits (connection cap, header time-out, JSON parse errors).
- `metrics`: the prometheus_client registry behind /metrics.
- `status`: the live status page.
- `launcher`: simulated backends for a configuration (`serve --with-backends`); `start_child` for child processes.
- `backend`: simulated inference backends (`SimBackend`) for the demo and the tests.
- `demo`: starts backends and the proxy on loopback and drives a seeded workload.
- `cpu_per_request`: the proxy's CPU time per request under wrk, beside a direct run.

Run the proxy:  python -m examples.proxy serve CONFIG.toml [--with-backends]
"""
