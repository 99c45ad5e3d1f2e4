"""Run the proxy:  python -m examples.proxy CONFIG.toml [--log-level INFO]

Prints "READY http://HOST:PORT" on standard output once it listens (a port of 0
in the configuration picks a free one); logs go to standard error. SIGTERM or
SIGINT stops it: it stops listening, lets requests in flight finish within
`shutdown_grace_sec`, then exits.
"""
from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import sys

from .config import ConfigError, ProxyConfig, load
from .server import Proxy

log = logging.getLogger("proxy")


async def serve(config: ProxyConfig) -> None:
    proxy = Proxy(config)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    port = await proxy.start()
    print(f"READY http://{config.host}:{port}", flush=True)
    try:
        await stop.wait()
    finally:
        await proxy.stop()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m examples.proxy", description="The inference proxy.")
    parser.add_argument("config", help="TOML configuration file")
    parser.add_argument("--log-level", default="INFO")
    args = parser.parse_args(argv)
    logging.basicConfig(level=args.log_level.upper(), format="%(asctime)s %(name)s %(levelname)s %(message)s")
    try:
        config = load(args.config)
    except (ConfigError, OSError) as e:
        log.error("bad configuration: %s", e)
        return 2
    asyncio.run(serve(config))
    return 0


if __name__ == "__main__":
    sys.exit(main())
