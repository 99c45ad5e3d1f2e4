"""Simulated backends for a configuration: `python -m examples.proxy serve CONFIG --with-backends`.

Each backend of the configuration whose URL is on a loopback address gets a
simulated backend process (`python -m examples.proxy.backend`) on that port,
with the backend's id, name and max_concurrency as its own hard limit. They are
started before the proxy listens, and stopped (SIGTERM, then SIGKILL) when it
has stopped; a backend a reload adds is started before the reload takes effect.
Each process is also killed if this one dies (Linux PR_SET_PDEATHSIG).
"""
from __future__ import annotations

import asyncio
import ctypes
import ipaddress
import logging
import signal
import sys
from pathlib import Path
from urllib.parse import urlsplit

from .config import ConfigError, ProxyConfig

log = logging.getLogger("proxy")
ROOT = Path(__file__).resolve().parents[2]
START_TIMEOUT_SEC = 30.0


def die_with_parent() -> None:
    """In a child, before exec: be killed if its parent dies (Linux prctl PR_SET_PDEATHSIG)."""
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)


async def start_child(args: list[str], timeout: float) -> tuple[asyncio.subprocess.Process, bool]:
    """`python -m ARGS` in the project's root, killed if this process dies; whether it printed its READY line.

    A child that printed something else first, or nothing within `timeout`, is
    killed and reaped (its exit code in `returncode`).
    """
    proc = await asyncio.create_subprocess_exec(sys.executable, "-m", *args, cwd=ROOT,
                                                stdout=asyncio.subprocess.PIPE, preexec_fn=die_with_parent)
    assert proc.stdout is not None
    try:
        line = (await asyncio.wait_for(proc.stdout.readline(), timeout)).decode()
    except TimeoutError:
        line = ""
    if line.startswith("READY "):
        return proc, True
    if proc.returncode is None:
        proc.kill()
    await proc.wait()
    return proc, False


def _loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class BackendLauncher:
    """The simulated backend processes, by backend id."""

    def __init__(self) -> None:
        self.procs: dict[int, asyncio.subprocess.Process] = {}

    @staticmethod
    def _address(url: str) -> tuple[str, int]:
        parts = urlsplit(url)
        if parts.scheme != "http" or not parts.hostname or not _loopback(parts.hostname) or not parts.port:
            raise ConfigError(f"--with-backends starts backends on loopback http URLs with a port only, not {url}")
        return parts.hostname, parts.port

    async def ensure(self, config: ProxyConfig) -> None:
        """Start a simulated backend for every configured backend that has none yet."""
        wanted = [(record, self._address(record["url"])) for record in config.backends()
                  if record["id"] not in self.procs]
        await asyncio.gather(*(self._start(record["id"], record["name"], host, port, record["max_concurrency"])
                               for record, (host, port) in wanted))

    async def _start(self, backend_id: int, name: str, host: str, port: int, cap: int) -> None:
        proc, ready = await start_child(["examples.proxy.backend", "--id", str(backend_id), "--name", name,
                                         "--host", host, "--port", str(port), "--max-concurrency", str(cap)],
                                        START_TIMEOUT_SEC)
        if not ready:
            raise ConfigError(f"simulated backend {backend_id} ({name}) did not start on {host}:{port}")
        self.procs[backend_id] = proc
        log.info("simulated backend %d (%s) on http://%s:%d, max_concurrency %d", backend_id, name, host, port, cap)

    async def stop(self) -> None:
        procs, self.procs = list(self.procs.values()), {}
        for proc in procs:
            if proc.returncode is None:
                proc.send_signal(signal.SIGCONT)  # a frozen one must run to stop
                proc.terminate()

        async def reap(proc: asyncio.subprocess.Process) -> None:
            try:
                await asyncio.wait_for(proc.wait(), 10)
            except TimeoutError:
                proc.kill()
                await proc.wait()

        await asyncio.gather(*(reap(p) for p in procs))
