"""Small builders shared by the tests."""
import asyncio
import inspect


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
