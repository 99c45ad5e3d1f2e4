"""A small asyncio HTTP proxy for inference APIs, routed by the load_balancer module.

- `config`: the TOML configuration (pools by model, backends, routing, queue).
- `server`: the proxy (`Proxy`): /v1/* routes, /metrics, /debug/snapshot, /healthz.
- `backend`: simulated inference backends (`SimBackend`) for the demo and the tests.
- `demo`: starts backends and the proxy on loopback and drives a seeded workload.

Run the proxy:  python -m examples.proxy CONFIG.toml
"""
