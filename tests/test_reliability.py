"""Threads, a reaper interval the sleep rejects, a failed waiter future,
freeing the module, subinterpreters, pickling, pending signals."""
import asyncio
import copy
import logging
import pickle
import signal
import subprocess
import sys
import textwrap

import pytest

import load_balancer
from tests.helpers import POOL, run, server

THREADED = {
    "first sticky lookups": """
        recs = [{"id": i, "weight": 1} for i in range(8)]
        def work(_):
            for k in range(2000):
                lb._sticky_lookup(recs, f"user-{k}")
    """,
    "mixed sync calls": """
        recs = [{"id": i, "weight": 1, "max_input_tokens": 1000 * (i + 1)} for i in range(8)]
        body = {"messages": [{"role": "user", "content": "hello " * 20}]}
        def work(t):
            for k in range(2000):
                sid = (t + k) % 8
                lb.increment(sid); lb.decrement(sid)
                lb.filter_by_fit(recs, 1500)
                lb._sticky_lookup(recs, str(k))
                lbm.estimate_request_tokens(body)
                if k % 50 == 0:
                    lb.snapshot(); lb.prometheus_text()
    """,
}


@pytest.mark.parametrize("workload", THREADED)
def test_threads_never_hang(workload):
    code = textwrap.dedent("""
        import threading
        import load_balancer as lbm
        lb = lbm.LoadBalancer()
    """) + textwrap.dedent(THREADED[workload]) + textwrap.dedent("""
        threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert lb.inflight == {} or set(lb.inflight.values()) == {0}, lb.inflight
        print("done")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert out.returncode == 0 and out.stdout.strip() == "done", out.stderr


@pytest.mark.parametrize("interval, error", [(float("nan"), ValueError), ("soon", TypeError)])
def test_reaper_ends_on_an_interval_the_sleep_rejects(interval, error, lb, lb_logs):
    lb.increment(1)
    listed = []

    async def listing():
        listed.append(1)
        return []

    async def main():
        task = asyncio.create_task(load_balancer.inflight_reaper_loop(
            lb, interval_sec=interval, list_running_servers=listing))
        for _ in range(5):
            await asyncio.sleep(0)
        assert task.done()
        return task.exception()

    assert isinstance(run(main()), error)
    assert (lb.inflight, listed, lb_logs.records) == ({1: 1}, [], [])


def test_reaper_keeps_sleeping_between_failed_passes(lb, lb_logs):
    passes = []

    async def listing():
        passes.append(asyncio.get_running_loop().time())
        raise OSError("listing failed")

    async def main():
        task = asyncio.create_task(load_balancer.inflight_reaper_loop(
            lb, interval_sec=0.01, list_running_servers=listing))
        await asyncio.sleep(0.1)
        assert not task.done()
        task.cancel()

    run(main())
    assert 2 <= len(passes) <= 11
    assert all(b - a >= 0.009 for a, b in zip(passes, passes[1:]))
    assert {r.getMessage() for r in lb_logs.records} == {"inflight reaper iteration failed: listing failed"}


def test_a_failed_waiter_future_unparks_it(lbm, lb):
    lbm.QUEUE_ENABLED = True
    try:
        async def main():
            lb.increment(1)
            task = asyncio.create_task(lb.wait_for_slot(POOL, [server(1, max_concurrency=1)], 10))
            await asyncio.sleep(0)
            lb._all_waiters[0].future.set_exception(OSError("gone"))
            with pytest.raises(OSError, match="gone"):
                await task
        run(main())
    finally:
        lbm.QUEUE_ENABLED = False
    assert (lb._all_waiters, lb._waiters) == ([], {})


def test_an_unreferenced_module_is_freed():
    # The module's state holds its classes and the objects it relies on: the
    # collector must see all of them, or module and classes live forever.
    code = textwrap.dedent("""
        import asyncio, gc, sys, weakref
        import load_balancer
        lb = load_balancer.LoadBalancer()
        asyncio.run(lb.select(("m", frozenset({1}), "fast"), [{"id": 1, "weight": 1}]))
        lb.snapshot()
        refs = [weakref.ref(o) for o in (load_balancer, load_balancer.LoadBalancer, load_balancer._Waiter)]
        del sys.modules["load_balancer"], load_balancer, lb
        gc.collect()
        print([r() is None for r in refs])
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert out.returncode == 0 and out.stdout.strip() == "[True, True, True]", out.stdout + out.stderr


def test_subinterpreters_get_an_import_error():
    _testcapi = pytest.importorskip("_testcapi")
    code = textwrap.dedent("""
        try:
            import load_balancer
        except ImportError as e:
            assert "subinterpreters" in str(e), e
        else:
            raise AssertionError("imported")
    """)
    assert _testcapi.run_in_subinterp(code) == 0


@pytest.mark.parametrize("name", ["estimate_request_tokens", "inflight_reaper_loop", "LoadBalancer.select",
                                  "InflightLease.__enter__", "_Waiter.is_boosted"])
def test_functions_pickle_and_copy_by_reference(name):
    fn = load_balancer
    for part in name.split("."):
        fn = getattr(fn, part)
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


def test_a_pending_signal_interrupts_a_long_decision(lb):
    class Interrupted(Exception):
        pass

    def handler(*_):
        raise Interrupted

    # Two million entries take far longer than the timer (5 ms of CPU time)
    # to read: the signal arrives while the records are read, and stops the
    # decision there, before it has recorded anything.
    records = [server(1)] * 2_000_000
    previous = signal.signal(signal.SIGVTALRM, handler)
    try:
        async def main():
            await lb.select(POOL, records[:1])  # the pool's lock exists from now on
            signal.setitimer(signal.ITIMER_VIRTUAL, 0.005)
            await lb.select(POOL, records)
        with pytest.raises(Interrupted):
            run(main())
    finally:
        signal.setitimer(signal.ITIMER_VIRTUAL, 0)
        signal.signal(signal.SIGVTALRM, previous)
    assert lb.dispatch_counts == {1: 1}
