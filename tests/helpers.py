"""Small builders shared by the tests."""
import asyncio
import contextlib
import inspect

import load_balancer


def server(sid, weight=1, max_concurrency=None, max_input_tokens=None, **extra):
    record = {"id": sid, "weight": weight}
    if max_concurrency is not None:
        record["max_concurrency"] = max_concurrency
    if max_input_tokens is not None:
        record["max_input_tokens"] = max_input_tokens
    record.update(extra)
    return record


POOL = ("model-a", frozenset({1}), "fast")


def run(coro):
    return asyncio.run(coro)


def _wrap(fn):
    if inspect.iscoroutinefunction(fn):
        async def method(self, *args, **kwargs):
            return await fn(self, *args, **kwargs)
    else:
        def method(self, *args, **kwargs):
            return fn(self, *args, **kwargs)
    method.__name__ = method.__qualname__ = fn.__name__
    return method


def by_name(base, keep=frozenset()):
    """Subclass of `base` overriding every method with a Python wrapper calling the base one.

    Every internal call then goes through attribute lookup on `self`, as a
    subclass's would: the step-by-step path, where a plain instance takes the
    native one.
    """
    ns = {name: _wrap(fn) for name, fn in vars(base).items()
          if callable(fn) and (not name.startswith("__") or name in keep)}
    return type("ByName" + base.__name__, (base,), ns)


# The step-by-step path: a balancer whose every method is a Python override,
# and the waiter class whose is_boosted is one (install it as the module's
# `_Waiter` so that the queue builds its waiters from it).
ByNameBalancer = by_name(load_balancer.LoadBalancer)
ByNameWaiter = by_name(load_balancer._Waiter)


def is_plain(lb):
    """Whether `lb` is a plain balancer: one that decides natively."""
    return type(lb) is load_balancer.LoadBalancer


@contextlib.contextmanager
def assert_native(kind, lb=None):
    """The block computes at least one decision of `kind` ("select",
    "wait_for_slot", "snapshot", "count") natively; none when `lb` is given
    and is not a plain balancer (it must take the step-by-step path)."""
    before = load_balancer._native_decisions()[kind]
    yield
    native = load_balancer._native_decisions()[kind] - before
    if lb is None or is_plain(lb):
        assert native > 0, f"no {kind} decision was computed natively"
    else:
        assert native == 0, f"{native} {kind} decision(s) computed natively for {type(lb).__name__}"
