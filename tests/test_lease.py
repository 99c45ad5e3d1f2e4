"""InflightLease under with, async with, tasks and explicit release."""
import asyncio

import pytest

import load_balancer as m
from tests.helpers import ByNameBalancer, assert_native


def test_attributes(lb):
    lease = m.InflightLease(lb, 7)
    assert vars(lease) == {"lb": lb, "server_id": 7, "_released": False}
    assert lb.inflight == {}


def test_with_block(lb):
    with assert_native("count", lb):
        with m.InflightLease(lb, 7) as lease:
            assert isinstance(lease, m.InflightLease)
            assert lb.inflight == {7: 1}
    assert lb.inflight == {} and lease._released is True


def test_exception_in_block_releases_once_and_propagates(lb):
    lease = m.InflightLease(lb, 7)
    with pytest.raises(ValueError):
        with lease:
            raise ValueError("upstream failed")
    assert lb.inflight == {}
    lease.release()
    lease.__exit__(None, None, None)
    assert lb.inflight == {}


def test_release_inside_block(lb):
    lb.increment(7)  # another request on the same backend
    with m.InflightLease(lb, 7) as lease:
        assert lb.inflight == {7: 2}
        lease.release()
        assert lb.inflight == {7: 1}
        lease.release()
    assert lb.inflight == {7: 1}


def test_reentry_after_release_is_not_lowered_again(lb):
    lease = m.InflightLease(lb, 7)
    with lease:
        pass
    with lease:
        pass
    assert lb.inflight == {7: 1}


def test_release_without_enter_decrements_once(lb):
    lb.increment(7)
    lease = m.InflightLease(lb, 7)
    lease.release()
    lease.release()
    assert lb.inflight == {}


def test_failed_decrement_leaves_lease_unreleased(lb):
    calls = []

    def flaky(server_id):
        calls.append(server_id)
        if len(calls) == 1:
            raise RuntimeError("wake failed")

    lb._wake_one = flaky
    lease = m.InflightLease(lb, 7)
    with pytest.raises(RuntimeError):
        with lease:
            pass
    assert lease._released is False
    lease.release()
    assert lease._released is True and calls == [7, 7]


def test_async_with(lb):
    async def main():
        lease = m.InflightLease(lb, 3)
        with assert_native("count", lb):
            async with lease as entered:
                assert entered is lease and lb.inflight == {3: 1}
        assert lb.inflight == {}
        with pytest.raises(KeyError):
            async with lease:
                raise KeyError("body")
        return lb.inflight

    assert asyncio.run(main()) == {3: 1}


def test_aenter_in_a_task(lb):
    async def main():
        lease = m.InflightLease(lb, 3)
        coro = lease.__aenter__()
        assert asyncio.iscoroutine(coro)
        assert lb.inflight == {}  # nothing runs before the coroutine is driven
        result = await asyncio.create_task(coro)
        assert result is lease and lb.inflight == {3: 1}
        assert await asyncio.wait_for(lease.__aexit__(None, None, None), 1) is None
        return lb.inflight

    assert asyncio.run(main()) == {}


def test_aexit_forwards_arguments(lb):
    seen = []

    class Spy(m.InflightLease):
        def __exit__(self, *args):
            seen.append(args)

    async def main():
        err = ValueError("x")
        assert await Spy(lb, 1).__aexit__(ValueError, err, None) is None
        return err

    err = asyncio.run(main())
    assert seen == [(ValueError, err, None)]


def test_methods_go_through_the_balancer_attributes(lb):
    calls = []

    class Spy:
        def increment(self, sid):
            calls.append(("inc", sid))

        def decrement(self, sid):
            calls.append(("dec", sid))

    with m.InflightLease(Spy(), "b1"):
        pass
    assert calls == [("inc", "b1"), ("dec", "b1")]


def run_like_the_reference(scenario):
    """`scenario(balancer_class, lease_class)` on the extension (a plain and a
    by-name balancer) and on the plain-Python rendering; all must give the
    same result."""
    from bench import reference as ref
    ours = scenario(m.LoadBalancer, m.InflightLease)
    by_name = scenario(ByNameBalancer, m.InflightLease)
    theirs = scenario(ref.LoadBalancer, ref.InflightLease)
    assert ours == by_name == theirs
    return ours


def test_a_key_whose_comparison_replaces_the_counts_during_a_lookup():
    def scenario(balancer_class, lease_class):
        lb = balancer_class()

        class Collider:
            """Compared with "increment" whenever that name is looked up."""
            def __hash__(self):
                return hash("increment")

            def __eq__(self, other):
                lb.__dict__["inflight"] = {}
                return False

        lb.__dict__[Collider()] = 1
        with lease_class(lb, 1):
            inside = dict(lb.inflight)
        return inside, lb.inflight

    assert run_like_the_reference(scenario) == ({1: 1}, {})



@pytest.mark.parametrize("start", [2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**53 + 1, True, 1.5, 0, None])
def test_lease_counts_like_the_methods_at_any_value(start):
    def typed(d):
        return sorted((k, v, type(v).__name__) for k, v in d.items())

    def scenario(balancer_class, lease_class):
        seen = []
        for enter in (lambda lb: lease_class(lb, 1).__enter__(), lambda lb: lb.increment(1)):
            for leave in (lambda lb: lease_class(lb, 1).release(), lambda lb: lb.decrement(1)):
                lb = balancer_class()
                if start is not None:
                    lb.inflight[1] = start
                enter(lb)
                seen.append(typed(lb.inflight))
                leave(lb)
                seen.append(typed(lb.inflight))
        return seen

    seen = run_like_the_reference(scenario)
    assert len({repr(s) for s in seen[0::2]}) == 1 and len({repr(s) for s in seen[1::2]}) == 1
