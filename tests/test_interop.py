"""How the module's functions and coroutines behave as Python objects."""
import asyncio
import gc
import inspect
import sys
import weakref

import pytest

import load_balancer as m
from tests.helpers import POOL, run, server


class TestArgumentBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda lb: lb.increment(), "LoadBalancer.increment() missing 1 required positional argument: 'server_id'"),
        (lambda lb: lb.increment(1, 2), "LoadBalancer.increment() takes 2 positional arguments but 3 were given"),
        (lambda lb: lb.increment(1, server_id=1),
         "LoadBalancer.increment() got multiple values for argument 'server_id'"),
        (lambda lb: lb.increment(sid=1), "LoadBalancer.increment() got an unexpected keyword argument 'sid'"),
        (lambda lb: m._env_bool(), "_env_bool() missing 1 required positional argument: 'name'"),
        (lambda lb: m._env_bool("a", 1, 2), "_env_bool() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda lb: m.InflightLease(), "InflightLease.__init__() missing 2 required positional arguments: "
                                       "'lb' and 'server_id'"),
        (lambda lb: m.InflightLease(lb, 1).__exit__(),
         "InflightLease.__exit__() missing 3 required positional arguments: 'exc_type', 'exc', and 'tb'"),
    ])
    def test_errors_match_python(self, plain_lb, call, message):
        with pytest.raises(TypeError) as info:
            call(plain_lb)
        assert str(info.value) == message

    def test_keywords_and_unbound_calls(self, plain_lb):
        assert m.LoadBalancer.increment(plain_lb, server_id=4) == 1
        assert plain_lb.get_inflight(server_id=4) == 1
        assert m.LoadBalancer.get_inflight(self=plain_lb, server_id=4) == 1

    def test_functions_bind_like_python_functions(self, plain_lb):
        f = m.LoadBalancer.__dict__["increment"]
        assert f.__get__(None, m.LoadBalancer) is f
        bound = plain_lb.increment
        assert bound.__self__ is plain_lb and bound.__func__ is f
        assert f.__name__ == "increment" and f.__qualname__ == "LoadBalancer.increment"
        assert f.__module__ == "load_balancer"
        assert str(inspect.signature(f)) == "(self, server_id)"
        assert str(inspect.signature(m._env_bool)) == "(name, default=False)"


class TestCoroutineObjects:
    def test_is_a_coroutine_to_asyncio(self, plain_lb):
        coro = m.InflightLease(plain_lb, 1).__aenter__()
        assert asyncio.iscoroutine(coro)
        assert coro.__qualname__ == "InflightLease.__aenter__" and coro.__name__ == "__aenter__"
        assert coro.cr_running is False and coro.cr_await is None
        coro.close()

    def test_send_runs_to_completion(self, plain_lb):
        lease = m.InflightLease(plain_lb, 1)
        coro = lease.__aenter__()
        with pytest.raises(StopIteration) as info:
            coro.send(None)
        assert info.value.value is lease
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

    def test_first_send_must_be_none(self, plain_lb):
        coro = m.InflightLease(plain_lb, 1).__aenter__()
        with pytest.raises(TypeError):
            coro.send(1)
        coro.close()

    def test_throw_into_unstarted_coroutine(self, plain_lb):
        coro = m.InflightLease(plain_lb, 1).__aenter__()
        with pytest.raises(ValueError, match="boom"):
            coro.throw(ValueError("boom"))
        with pytest.raises(KeyError):
            coro.throw(KeyError)
        assert plain_lb.inflight == {}

    def test_close_unstarted_runs_nothing(self, plain_lb):
        coro = m.InflightLease(plain_lb, 1).__aenter__()
        assert coro.close() is None
        assert plain_lb.inflight == {}
        with pytest.raises(RuntimeError):
            coro.send(None)

    def test_never_awaited_warns(self, plain_lb):
        with pytest.warns(RuntimeWarning, match="was never awaited"):
            m.InflightLease(plain_lb, 1).__aenter__()
            gc.collect()

    def test_iteration_protocol_is_not_exposed(self, plain_lb):
        coro = m.InflightLease(plain_lb, 1).__aenter__()
        with pytest.raises(TypeError):
            iter(coro)
        coro.close()

    def test_collectable_when_in_a_cycle(self, plain_lb):
        lease = m.InflightLease(plain_lb, 1)
        coro = lease.__aexit__(None, None, None)
        lease.cycle = coro  # lease -> coroutine -> frame -> lease
        ref = weakref.ref(coro)
        coro.close()
        del coro, lease
        gc.collect()
        assert ref() is None


    def test_handled_exceptions_stay_with_their_frames(self, plain_lb, monkeypatch):
        # The slot wait times out at once and handles the TimeoutError
        # natively, inside the async generator that awaits it.  The
        # generator's first step runs while its caller handles KeyError, its
        # second outside: there, nothing is being handled.
        monkeypatch.setattr(m, "QUEUE_ENABLED", True)
        monkeypatch.setattr(m, "QUEUE_TTL_SEC", 0)
        plain_lb.set_routing_mode("max_concurrency")
        plain_lb.increment(1)

        async def steps():
            yield await plain_lb.wait_for_slot(POOL, [server(1, max_concurrency=1)], 10)
            handled = sys.exception()
            try:
                raise ValueError
            except ValueError as e:
                yield handled, e.__context__

        async def main():
            gen = steps()
            try:
                raise KeyError("outer")
            except KeyError:
                first = await anext(gen)
            return first, await anext(gen)

        first, second = run(main())
        assert first[:2] == (None, "queue_timeout")
        assert second == (None, None)


@pytest.mark.parametrize("func, expected", [
    (m.LoadBalancer.select, True), (m.LoadBalancer._wrr_pick, True), (m.LoadBalancer.wait_for_slot, True),
    (m.InflightLease.__aenter__, True), (m.InflightLease.__aexit__, True), (m.inflight_reaper_loop, True),
    (m.LoadBalancer.increment, False), (m.estimate_request_tokens, False)])
def test_coroutine_functions_are_recognised(func, expected):
    assert inspect.iscoroutinefunction(func) is expected
    assert asyncio.iscoroutinefunction(func) is expected


def test_coroutine_functions_recognised_when_bound(plain_lb):
    assert inspect.iscoroutinefunction(plain_lb.select)
    assert not inspect.iscoroutinefunction(plain_lb.increment)

