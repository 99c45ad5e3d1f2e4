"""Run the proxy:  python -m examples.proxy [serve] CONFIG.toml [--with-backends] [--workers N] [--no-uvloop]
                                              [--log-level INFO]

Prints "READY http://HOST:PORT" on standard output once it listens (a port of 0
in the configuration picks a free one); logs go to standard error.

  --with-backends  also start a simulated backend (examples.proxy.backend) for
                   every backend of the configuration, on its loopback URL
  --workers N      N proxy processes on the one port (SO_REUSEPORT: the kernel
                   spreads connections among them), sharing the caps: through
                   Redis when [permits] redis_url is set, else each takes
                   floor(C/N) of every cap (refused when a cap C < N). This
                   process supervises them: it forwards SIGTERM, SIGINT and
                   SIGHUP, and restarts a worker that dies.
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
import socket
import sys
from collections.abc import Callable

from .config import ConfigError, ProxyConfig, load
from .launcher import BackendLauncher, start_child
from .permits import check_workers
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


async def serve(config: ProxyConfig, path: str, with_backends: bool = False, workers: int = 1,
                reuse_port: bool = False) -> None:
    launcher = BackendLauncher() if with_backends else None
    try:
        if launcher is not None:
            await launcher.ensure(config)
        proxy = Proxy(config, config_path=path, before_reload=launcher.ensure if launcher else None,
                      workers=workers, reuse_port=reuse_port)
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


class Supervisor:
    """`--workers N`: N proxy processes listening on one port with SO_REUSEPORT."""

    START_TIMEOUT_SEC = 60.0

    def __init__(self, config: ProxyConfig, path: str, workers: int, worker_args: list[str]) -> None:
        self.config = config
        self.path = path
        self.n = workers
        self.worker_args = worker_args
        self.procs: dict[int, asyncio.subprocess.Process] = {}
        self.stopping = False
        self.port = 0

    async def _start(self, index: int) -> None:
        proc, ready = await start_child(["examples.proxy", "serve", self.path, "--worker-of", str(self.n),
                                         "--worker-index", str(index), "--worker-port", str(self.port),
                                         *self.worker_args], self.START_TIMEOUT_SEC)
        if not ready:
            raise ConfigError(f"worker {index} did not start (exit code {proc.returncode})")
        self.procs[index] = proc
        log.info("worker %d (pid %d) listening on port %d", index, proc.pid, self.port)

    async def _watch(self, index: int) -> None:
        """Restart a worker that exits while the supervisor is not stopping."""
        while not self.stopping:
            code = await self.procs[index].wait()
            if self.stopping:
                return
            log.error("worker %d exited with code %s: restarting it in 1s", index, code)
            await asyncio.sleep(1.0)
            if not self.stopping:
                try:
                    await self._start(index)
                except ConfigError as e:
                    log.error("%s", e)
                    return

    def signal_all(self, sig: int) -> None:
        for proc in self.procs.values():
            if proc.returncode is None:
                proc.send_signal(sig)

    async def run(self, with_backends: bool) -> None:
        cfg = self.config
        check_workers(cfg, self.n)
        # Reserve the port (bound with SO_REUSEPORT, never listening: it takes no connections).
        reserve = socket.socket(socket.AF_INET6 if ":" in cfg.host else socket.AF_INET)
        reserve.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        launcher = BackendLauncher() if with_backends else None
        watchers: list[asyncio.Task[None]] = []
        try:
            reserve.bind((cfg.host, cfg.port))
            self.port = int(reserve.getsockname()[1])
            if launcher is not None:
                await launcher.ensure(cfg)
            await asyncio.gather(*(self._start(i) for i in range(self.n)))
            watchers = [asyncio.create_task(self._watch(i)) for i in range(self.n)]
            shared = "sharing caps through Redis" if cfg.permits.redis_url else "caps divided statically"
            log.info("%d workers on http://%s:%d, %s", self.n, cfg.host, self.port, shared)
            print(f"READY http://{cfg.host}:{self.port}", flush=True)
            stop = asyncio.Event()
            loop = asyncio.get_running_loop()
            for sig in (signal.SIGTERM, signal.SIGINT):
                loop.add_signal_handler(sig, stop.set)

            async def reload() -> None:
                if launcher is not None:
                    try:
                        await launcher.ensure(load(self.path))
                    except (ConfigError, OSError) as e:
                        log.error("reload: %s", e)  # each worker logs and keeps its configuration
                self.signal_all(signal.SIGHUP)

            reloads: set[asyncio.Task[None]] = set()

            def on_hup() -> None:
                task = asyncio.create_task(reload())
                reloads.add(task)
                task.add_done_callback(reloads.discard)

            loop.add_signal_handler(signal.SIGHUP, on_hup)
            await stop.wait()
        finally:
            self.stopping = True
            for task in watchers:
                task.cancel()
            self.signal_all(signal.SIGTERM)
            for index, proc in self.procs.items():
                try:
                    await asyncio.wait_for(proc.wait(), cfg.shutdown_grace_sec + 10)
                except TimeoutError:
                    log.error("worker %d did not stop: killing it", index)
                    proc.kill()
                    await proc.wait()
            reserve.close()
            if launcher is not None:
                await launcher.stop()


def main(argv: list[str] | None = None) -> int:
    args_in = list(sys.argv[1:] if argv is None else argv)
    if args_in[:1] == ["serve"]:
        args_in = args_in[1:]
    parser = argparse.ArgumentParser(prog="python -m examples.proxy", description="The inference proxy.",
                                     usage="%(prog)s [serve] CONFIG [--with-backends] [--workers N] [--no-uvloop] "
                                     "[--log-level L]")
    parser.add_argument("config", help="TOML configuration file")
    parser.add_argument("--with-backends", action="store_true",
                        help="start a simulated backend for every configured backend (loopback URLs)")
    parser.add_argument("--workers", type=int, default=1,
                        help="proxy processes on the one port (SO_REUSEPORT), sharing the caps")
    parser.add_argument("--no-uvloop", action="store_true", help="use asyncio's event loop even if uvloop is installed")
    parser.add_argument("--log-level", default="INFO")
    # Set by the supervisor of --workers for each worker.
    parser.add_argument("--worker-of", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--worker-index", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--worker-port", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args(args_in)
    who = f" w{args.worker_index}" if args.worker_of else ""
    logging.basicConfig(level=args.log_level.upper(), format=f"%(asctime)s{who} %(name)s %(levelname)s %(message)s")
    sys.stderr.reconfigure(errors="backslashreplace")  # type: ignore[union-attr]
    try:
        config = load(args.config)
    except (ConfigError, OSError) as e:
        log.error("bad configuration: %s", e)
        return 2
    if args.workers < 1:
        log.error("--workers must be at least 1")
        return 2
    try:
        if args.worker_of:
            config.port = args.worker_port
            asyncio.run(serve(config, args.config, workers=args.worker_of, reuse_port=True),
                        loop_factory=loop_factory(config, args.no_uvloop))
        elif args.workers > 1:
            worker_args = ["--log-level", args.log_level] + (["--no-uvloop"] if args.no_uvloop else [])
            asyncio.run(Supervisor(config, args.config, args.workers, worker_args).run(args.with_backends))
        else:
            asyncio.run(serve(config, args.config, args.with_backends),
                        loop_factory=loop_factory(config, args.no_uvloop))
    except ConfigError as e:
        log.error("%s", e)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
