"""The manylinux wheel: built and repaired by scripts/wheel.sh, installed into a fresh environment."""
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

SMOKE = '''
import asyncio, pathlib, sys, sysconfig
import load_balancer as lbm

assert pathlib.Path(lbm.__file__).is_relative_to(sys.prefix), lbm.__file__
stub = pathlib.Path(sysconfig.get_paths()["purelib"]) / "load_balancer-stubs" / "__init__.pyi"
assert "class LoadBalancer" in stub.read_text()

async def main():
    lbm.QUEUE_ENABLED = True
    lb = lbm.LoadBalancer()
    pool = ("m", frozenset({1}), "t")
    servers = [{"id": 1, "weight": 1, "max_concurrency": 1}, {"id": 2, "weight": 1, "max_concurrency": 1}]
    body = {"messages": [{"role": "user", "content": "x" * 40}]}
    tokens = lbm.estimate_request_tokens(body)
    assert tokens == 10 and lb.filter_by_fit(servers, tokens) == servers
    first = await lb.select(pool, servers, estimated_tokens=tokens)
    async with lbm.InflightLease(lb, first["id"]):
        second = await lb.select(pool, servers)
        with lbm.InflightLease(lb, second["id"]):
            assert {first["id"], second["id"]} == {1, 2}
            assert await lb.select(pool, servers) is None
            waiter = asyncio.create_task(lb.wait_for_slot(pool, servers, tokens))
            await asyncio.sleep(0)
            assert lb.snapshot()["queue_total_waiters"] == 1
        server, reason, _ = await waiter
        assert (server, reason) == (second, "ok")
    assert lb.inflight == {}
    print(lb.prometheus_text(), end="")

asyncio.run(main())
'''


def test_wheel_installs_into_fresh_venv_and_runs(tmp_path):
    built = subprocess.run(["bash", "scripts/wheel.sh", str(tmp_path / "dist")], cwd=ROOT, capture_output=True,
                           text=True, timeout=300)
    assert built.returncode == 0, built.stdout + built.stderr
    (wheel,) = (tmp_path / "dist").glob("load_balancer-*.whl")
    assert "-cp313-cp313-manylinux_" in wheel.name and wheel.name.endswith("_x86_64.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert "load_balancer-stubs/__init__.pyi" in names
    assert [n for n in names if n.endswith(".so")] == ["load_balancer.cpython-313-x86_64-linux-gnu.so"]

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=120)
    python = venv / "bin" / "python"
    installed = subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q",
                                "--disable-pip-version-check", "--no-deps", "--no-index", str(wheel)],
                               capture_output=True, text=True, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    # Isolated mode: the source tree is not on the path, only the fresh environment.
    smoke = subprocess.run([str(python), "-I", "-c", SMOKE], cwd=tmp_path, capture_output=True, text=True,
                           timeout=120)
    assert smoke.returncode == 0, smoke.stdout + smoke.stderr
    assert 'varnel_lb_dispatch_total{server_id="2"} 2' in smoke.stdout
