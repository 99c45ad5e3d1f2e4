"""Run the proxy:  python -m examples.proxy [serve] CONFIG.toml [--with-backends] [--no-uvloop] [--log-level INFO]

Prints "READY http://HOST:PORT" on standard output once it listens (a port of 0
in the configuration picks a free one); logs go to standard error.

  --with-backends  also start a simulated backend (examples.proxy.backend) for
                   every backend of the configuration, on its loopback URL
  --no-uvloop      asyncio's own event loop even when uvloop is installed
                   (as `uvloop = false` in [server])

SIGTERM or SIGINT stops it: it stops listening, lets requests in flight finish
within `shutdown_grace_sec`, then exits (and stops the simulated backends).
SIGHUP reads the configuration file again (see Proxy.reload); a bad file is
logged and changes nothing.
"""
from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import sys
from collections.abc import Callable

from .config import ConfigError, ProxyConfig, load
from .launcher import BackendLauncher
from .server import Proxy

log = logging.getLogger("proxy")


def loop_factory(config: ProxyConfig, no_uvloop: bool) -> Callable[[], asyncio.AbstractEventLoop] | None:
    """uvloop's event loop when it is installed and not turned off; None: asyncio's."""
    if no_uvloop or not config.uvloop:
        return None
    try:
        import uvloop
    except ImportError:
        log.info("uvloop is not installed: running on asyncio's event loop")
        return None
    return uvloop.new_event_loop


async def serve(config: ProxyConfig, path: str, with_backends: bool = False) -> None:
    launcher = BackendLauncher() if with_backends else None
    try:
        if launcher is not None:
            await launcher.ensure(config)
        proxy = Proxy(config, config_path=path, before_reload=launcher.ensure if launcher else None)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        reloads: set[asyncio.Task[None]] = set()

        async def reload() -> None:
            try:
                await proxy.reload_from_file()
            except ConfigError:
                pass  # logged; the configuration is unchanged

        def on_hup() -> None:
            task = asyncio.create_task(reload())
            reloads.add(task)
            task.add_done_callback(reloads.discard)

        loop.add_signal_handler(signal.SIGHUP, on_hup)
        port = await proxy.start()
        print(f"READY http://{config.host}:{port}", flush=True)
        try:
            await stop.wait()
        finally:
            loop.remove_signal_handler(signal.SIGHUP)
            await asyncio.gather(*reloads, return_exceptions=True)
            await proxy.stop()
    finally:
        if launcher is not None:
            await launcher.stop()


def main(argv: list[str] | None = None) -> int:
    args_in = list(sys.argv[1:] if argv is None else argv)
    if args_in[:1] == ["serve"]:
        args_in = args_in[1:]
    parser = argparse.ArgumentParser(prog="python -m examples.proxy", description="The inference proxy.",
                                     usage="%(prog)s [serve] CONFIG [--with-backends] [--no-uvloop] [--log-level L]")
    parser.add_argument("config", help="TOML configuration file")
    parser.add_argument("--with-backends", action="store_true",
                        help="start a simulated backend for every configured backend (loopback URLs)")
    parser.add_argument("--no-uvloop", action="store_true", help="use asyncio's event loop even if uvloop is installed")
    parser.add_argument("--log-level", default="INFO")
    args = parser.parse_args(args_in)
    logging.basicConfig(level=args.log_level.upper(), format="%(asctime)s %(name)s %(levelname)s %(message)s")
    sys.stderr.reconfigure(errors="backslashreplace")  # type: ignore[union-attr]
    try:
        config = load(args.config)
    except (ConfigError, OSError) as e:
        log.error("bad configuration: %s", e)
        return 2
    try:
        asyncio.run(serve(config, args.config, args.with_backends), loop_factory=loop_factory(config, args.no_uvloop))
    except ConfigError as e:
        log.error("%s", e)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
