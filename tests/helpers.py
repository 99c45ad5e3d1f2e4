"""Small builders shared by the tests."""
import asyncio


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
