"""The typing stubs: checked against the built module, and used to type-check the proxy example."""
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "stubs" / "load_balancer-stubs" / "__init__.pyi"

# Each line must be an error under the stubs, with that error code (strict mode
# reports an ignore that silences nothing), so loose stubs fail this check.
MISUSE = '''\
import asyncio
import load_balancer as lbm

async def misuse(lb: lbm.LoadBalancer, pool: lbm.PoolKey, servers: list[dict[str, object]]) -> None:
    await lb.select(pool, [], 100)  # type: ignore[call-arg]
    lbm.InflightLease(lb, "7")  # type: ignore[arg-type]
    lb.queue_enabled + 1  # type: ignore[operator]
    lb.filter_by_fit(servers, "10")  # type: ignore[arg-type]
    server, reason, waited = await lb.wait_for_slot(pool, [], 1, None)  # type: ignore[call-arg]
    lbm.ROUTING_MODE_HYBRID = "x"  # type: ignore[misc]
    reason.upper(), waited.hex()
    if server is not None:
        server.upper()  # type: ignore[attr-defined]
    asyncio.run(lbm.inflight_reaper_loop(lb, 5.0))  # type: ignore[call-arg]
    lbm.QUEUE_ENABLED = True
    lbm.QUEUE_TTL_SEC = "long"  # type: ignore[assignment]
'''


def run_module(*args, env=None):
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True, timeout=300,
                          env=env)


def test_installed_stubs_are_the_source_stubs():
    installed = Path(sysconfig.get_paths()["purelib"]) / "load_balancer-stubs" / "__init__.pyi"
    assert installed.read_text() == STUB.read_text(), "reinstall: bash scripts/test.sh"


def test_stubtest_against_built_module():
    # No allowlist: every public and private name, signature, default, coroutine
    # mark and Final value of the stubs matches the module at run time.
    done = run_module("mypy.stubtest", "load_balancer", "--concise")
    assert done.returncode == 0, done.stdout + done.stderr


def test_proxy_example_and_misuse_type_check(tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    env = {**os.environ, "MYPYPATH": str(tmp_path)}
    done = run_module("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "-p", "examples.proxy",
                      "-m", "misuse", env=env)
    assert done.returncode == 0, done.stdout + done.stderr
