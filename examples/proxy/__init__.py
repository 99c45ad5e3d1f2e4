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
- `permits`: caps shared by several proxy processes through Redis (`[permits]`), or divided among workers.
- `redis_server`: a throwaway redis-server on a loopback port, for the tests and the demo.
- `cpu_per_request`: the proxy's CPU time per request under wrk, beside a direct run.
- `workers_rate`: requests per second with 1 and 2 worker processes sharing the caps, under wrk.

Run the proxy:  python -m examples.proxy serve CONFIG.toml [--with-backends] [--workers N]
"""
