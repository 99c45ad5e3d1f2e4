"""A throwaway `redis-server` (Debian's package) on a loopback port, for the tests and the demo.

No persistence (`--save ""`, no append-only file), `noeviction` under a small
`maxmemory`, its files in a temporary folder. `stop()` ends it (SIGTERM, then
SIGKILL); `start()` again brings up a fresh, empty one on the same port, as a
restart without persistence does. The process is also killed if its parent
dies (Linux PR_SET_PDEATHSIG).
"""
from __future__ import annotations

import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

from .launcher import die_with_parent

START_TIMEOUT_SEC = 10.0


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def available() -> str | None:
    """The redis-server binary, or None."""
    return shutil.which("redis-server")


def ping(port: int, timeout: float = 0.5) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(b"PING\r\n")
            return s.recv(16).startswith(b"+PONG")
    except OSError:
        return False


class RedisServer:
    def __init__(self, port: int = 0) -> None:
        self.port = port or free_port()
        self.proc: subprocess.Popen[bytes] | None = None
        self._dir = tempfile.TemporaryDirectory(prefix="lb-redis-")

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> None:
        binary = available()
        if binary is None:
            raise RuntimeError("redis-server is not installed (apt-get install redis-server)")
        log = Path(self._dir.name) / "redis.log"
        self.proc = subprocess.Popen(
            [binary, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--maxmemory", "64mb", "--maxmemory-policy", "noeviction", "--dir", self._dir.name,
             "--logfile", str(log), "--daemonize", "no"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        deadline = time.monotonic() + START_TIMEOUT_SEC
        while not ping(self.port):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"redis-server did not start on port {self.port}: "
                                   f"{log.read_text()[-500:] if log.exists() else ''}")
            time.sleep(0.02)

    def stop(self) -> None:
        proc, self.proc = self.proc, None
        if proc is None or proc.poll() is not None:
            return
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def close(self) -> None:
        self.stop()
        self._dir.cleanup()
