"""The proxy's CPU time per request, measured with wrk (Debian package `wrk`), beside a direct run.

    python -m examples.proxy.cpu_per_request [--seconds 10] [--connections 32]

Starts one simulated backend (no concurrency limit, no simulated latency) and,
for each event loop (uvloop, asyncio), a proxy process in front of it, all on
127.0.0.1. wrk (one thread) sends the same small chat completion for
`--seconds` through the proxy; the proxy's CPU time (user + system, from
/proc/PID/stat) over the run divided by the requests wrk completed is its CPU
per request. The same load sent straight to the backend gives the backend's
own CPU per request as the baseline. Every run's answers must all be 2xx.
"""
from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BODY = '{"model": "chat", "messages": [{"role": "user", "content": "Say hello."}], "max_tokens": 4}'
LUA = f"""wrk.method = "POST"
wrk.body = '{BODY}'
wrk.headers["Content-Type"] = "application/json"
"""


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


PINNED = (os.cpu_count() or 1) >= 2


def pin(cpu: int | None) -> None:
    if PINNED and cpu is not None:
        os.sched_setaffinity(0, {cpu})


def start(args: list[str], log: Path, cpu: int | None) -> tuple[subprocess.Popen[str], str]:
    """`python -m ARGS` (pinned to `cpu` unless None) and the URL of its READY line."""
    proc = subprocess.Popen([sys.executable, "-m", *args], cwd=ROOT, stdout=subprocess.PIPE,
                            stderr=log.open("w"), text=True, preexec_fn=lambda: pin(cpu))
    assert proc.stdout is not None
    line = proc.stdout.readline()
    if not line.startswith("READY "):
        proc.kill()
        raise RuntimeError(f"{args[0]} did not start: {line!r}")
    return proc, line.split()[1]


def stop(proc: subprocess.Popen[str]) -> None:
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def wrk(url: str, script: Path, seconds: int, connections: int) -> tuple[int, float]:
    """Requests completed and their rate; fails on any non-2xx answer or socket error."""
    out = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "-s", str(script),
                          url + "/v1/chat/completions"], capture_output=True, text=True, timeout=seconds + 60,
                         check=True, preexec_fn=lambda: pin(0)).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError("wrk saw errors:\n" + out)
    done = int(re.search(r"(\d+) requests in", out).group(1))  # type: ignore[union-attr]
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))  # type: ignore[union-attr]
    return done, rate


def measure(target_pid: int, url: str, script: Path, seconds: int, connections: int,
            also: int | None = None) -> tuple[int, float, float, float | None]:
    wrk(url, script, 2, connections)  # warm-up
    before = cpu_seconds(target_pid)
    before_also = cpu_seconds(also) if also else 0.0
    done, rate = wrk(url, script, seconds, connections)
    used = cpu_seconds(target_pid) - before
    used_also = (cpu_seconds(also) - before_also) if also else None
    return done, rate, used / done * 1e6, (used_also / done * 1e6) if used_also is not None else None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        print("wrk is not installed (Debian package wrk)", file=sys.stderr)
        return 2
    runs = ["direct to the backend", "through the proxy, uvloop", "through the proxy, asyncio"]
    results: dict[str, list[tuple[int, float, float | None, float]]] = {name: [] for name in runs}
    with tempfile.TemporaryDirectory(prefix="lb-cpu-") as tmp:
        work = Path(tmp)
        script = work / "post.lua"
        script.write_text(LUA)
        backend, backend_url = start(["examples.proxy.backend", "--id", "1", "--decode-ms-per-token", "0",
                                      "--prefill-ms-per-token", "0"], work / "backend.log", 0)
        config = work / "proxy.toml"
        config.write_text('[server]\nport = 0\n[routing]\nmode = "max_concurrency"\n'
                          '[queue]\nenabled = false\n[upstream]\nhealth_interval_sec = 1.0\n'
                          f'[[pools]]\nmodel = "chat"\n[[pools.backends]]\nid = 1\nurl = "{backend_url}"\n')
        try:
            for _ in range(args.rounds):
                done, rate, cpu, _ = measure(backend.pid, backend_url, script, args.seconds, args.connections)
                results[runs[0]].append((done, rate, None, cpu))
                for name, extra in ((runs[1], []), (runs[2], ["--no-uvloop"])):
                    proxy, proxy_url = start(["examples.proxy", str(config), *extra], work / "proxy.log", 1)
                    try:
                        done, rate, cpu, backend_cpu = measure(proxy.pid, proxy_url, script, args.seconds,
                                                               args.connections, also=backend.pid)
                    finally:
                        stop(proxy)
                    assert backend_cpu is not None
                    results[name].append((done, rate, cpu, backend_cpu))
        finally:
            stop(backend)

    def median(values: list[float]) -> float:
        return sorted(values)[len(values) // 2]

    def col(values: list[float]) -> str:
        return f"{median(values):.0f} ({min(values):.0f}-{max(values):.0f}) µs"

    print(f"wrk -t1 -c{args.connections} -d{args.seconds}s, POST /v1/chat/completions ({len(BODY)}-byte body); "
          f"median of {args.rounds} rounds (range)" + ("; proxy on CPU 1, wrk and backend on CPU 0" if PINNED else ""))
    print(f"{'run':<28}{'req/s':>8}{'proxy CPU/req':>24}{'backend CPU/req':>24}")
    for name in runs:
        rows = results[name]
        proxy_cpu = [r[2] for r in rows if r[2] is not None]
        print(f"{name:<28}{median([r[1] for r in rows]):>8.0f}{col(proxy_cpu) if proxy_cpu else '-':>24}"
              f"{col([r[3] for r in rows]):>24}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
