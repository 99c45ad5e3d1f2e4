"""Caps shared by several proxy processes through Redis: real processes on 127.0.0.1.

Each test starts its own redis-server (Debian's package, noeviction, no
persistence, a temporary folder), simulated backends that enforce their cap
themselves (a request beyond it is answered 429 and counted; `peak` is the
most requests a backend held at once), and proxy processes sharing the caps
with leases of T = 1 s and a grace of 0.5 s (tests/permit_helpers.PERMITS).
Every process is killed at the end, also on failure.

The assumptions under which a backend never sees more than its cap (the
README's "Invariant and its limits"): clients do not go away mid-request here
(a backend notices a departed client a moment after the proxy frees its slot),
and every request is shorter than the grace (so a member that lapses has no
request left at a backend when its permits are reclaimed), or ends with its
process (SIGKILL closes the connections, and the backend stops the request).
Figures the tests measure are printed (pytest -s shows them).
"""
import asyncio
import random
import signal
import subprocess
import sys
import time

import aiohttp
import pytest
import redis.asyncio as aioredis

import load_balancer as lbm

from examples.proxy import redis_server
from examples.proxy.config import ConfigError, parse
from examples.proxy.permits import PUT_SCRIPT, PermitMember
from tests.permit_helpers import (BOOT_SEC, PERMITS, ROOT, PoolView, Procs, chat, get_json, post, proxy_doc, stop,
                                  toml_text, until)

pytestmark = pytest.mark.skipif(
    redis_server.available() is None,
    reason="redis-server is not installed (bash scripts/test.sh installs Debian's package when run as root "
           "with apt-get)")


@pytest.fixture
def redis():
    server = redis_server.RedisServer()
    server.start()
    try:
        yield server
    finally:
        server.close()


def run(coro):
    return asyncio.run(coro)


async def backend_stats(session, backend):
    return await get_json(session, backend.url + "/stats")


async def permits_of(session, proxy):
    return (await get_json(session, proxy.url + "/status.json"))["permits"]


async def settled(session, proxy):
    snap = await get_json(session, proxy.url + "/debug/snapshot")
    return not snap["inflight"] and snap["queue_total_waiters"] == 0


# -- the cap holds across processes ------------------------------------------------------------


def test_three_processes_keep_every_backend_under_its_cap(redis, tmp_path):
    """90 requests at once through three proxies, 5 slots in all: each backend's peak stays at its cap."""
    async def main():
        procs = Procs(tmp_path)
        try:
            a = await procs.backend(1, "gpu-a", 3)
            b = await procs.backend(2, "gpu-b", 2)
            doc = proxy_doc(redis.url, [(1, "gpu-a", a.url, 3), (2, "gpu-b", b.url, 2)])
            proxies = await asyncio.gather(*(procs.proxy(f"proxy{i}", doc) for i in range(3)))
            async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as session:
                bodies = [chat(16, stream=i % 3 == 0) for i in range(90)]
                answers = await asyncio.gather(*(post(session, proxies[i % 3].url, body)
                                                 for i, body in enumerate(bodies)))
                assert [s for s, *_ in answers] == [200] * 90
                stats = [await backend_stats(session, x) for x in (a, b)]
                for proxy in proxies:
                    await until(lambda: settled(session, proxy), f"{proxy.name}: nothing in flight or parked")
                served = [(await permits_of(session, p))["requests"] for p in proxies]
            print(f"\npeaks against caps: gpu-a {stats[0]['peak']}/3, gpu-b {stats[1]['peak']}/2;"
                  f" requests by process {served}")
            assert stats[0]["peak"] <= 3 and stats[1]["peak"] <= 2
            assert stats[0]["rejected_429"] == stats[1]["rejected_429"] == 0
            assert stats[0]["served"] + stats[1]["served"] == 90
            assert all(n > 0 for n in served)
            for proxy in proxies:
                assert await stop(proxy) == 0
        finally:
            await procs.close()

    run(main())


def test_a_cap_of_one_shared_by_four_processes_serves_every_process(redis, tmp_path):
    """C = 1, four processes, traffic moving from one to the next, then on all at once: all are served.

    The rule: while another member waits, permits go to the longest-waiting
    member, and holders keep at most floor(C/M) = 0 here, giving the permit back
    as each request ends. So each process gets its turn after at most three
    turns of the others; the added wait is printed.
    """
    async def main():
        procs = Procs(tmp_path)
        try:
            backend = await procs.backend(1, "gpu-a", 1, decode_ms=5.0)
            doc = proxy_doc(redis.url, [(1, "gpu-a", backend.url, 1)])
            proxies = await asyncio.gather(*(procs.proxy(f"proxy{i}", doc) for i in range(4)))
            async with aiohttp.ClientSession() as session:
                await asyncio.sleep(BOOT_SEC)  # the new pool's boot window: no grants before its end
                service = min([(await post(session, proxies[0].url, chat(8)))[2] for _ in range(3)])
                moving = []
                for proxy in proxies:  # the traffic moves from one process to the next
                    moving += await asyncio.gather(*(post(session, proxy.url, chat(8)) for _ in range(4)))
                together = await asyncio.gather(*(post(session, p.url, chat(8)) for p in proxies for _ in range(4)))
                stats = await backend_stats(session, backend)
                status = [await permits_of(session, p) for p in proxies]
            assert [s for s, *_ in moving + together] == [200] * 32
            assert stats["peak"] == 1 and stats["rejected_429"] == 0
            added = [max(0.0, elapsed - service) * 1000 for _, _, elapsed, _ in together]
            moved = [max(0.0, elapsed - service) * 1000 for _, _, elapsed, _ in moving]
            print(f"\nC=1 over 4 processes: one request alone {service * 1000:.0f} ms; added wait when the "
                  f"traffic moves: p50 {sorted(moved)[len(moved) // 2]:.0f} ms, max {max(moved):.0f} ms; all at "
                  f"once (16 requests): p50 {sorted(added)[len(added) // 2]:.0f} ms, max {max(added):.0f} ms "
                  f"(serial service alone: {16 * service * 1000:.0f} ms); peak {stats['peak']}/1")
            print("round trips per request by process: "
                  + ", ".join(f"{s['round_trips_per_request']['all']:.2f}" for s in status))
            assert all(s["requests"] >= 4 for s in status)
        finally:
            await procs.close()

    run(main())


async def load(session, url, stop_event, concurrency, results, tokens=16):
    """Clients that keep `concurrency` requests open on one proxy until told to stop."""
    async def client():
        while not stop_event.is_set():
            try:
                status, payload, _, _ = await post(session, url, chat(tokens))
            except aiohttp.ClientError as e:
                results.append(("gone", type(e).__name__))
                await asyncio.sleep(0.05)
                continue
            results.append((status, (payload or {}).get("error", {}).get("reason")))
    await asyncio.gather(*(client() for _ in range(concurrency)))


# -- members that die, freeze, or lose Redis ------------------------------------------------


def test_a_killed_process_permits_move_within_lease_and_grace(redis, tmp_path):
    """SIGKILL a process holding permits mid-load: they are reclaimed only after its lease + grace, then move.

    A killed process's connections close with it, so the backend stops its
    requests at once; the cap holds throughout.
    """
    async def main():
        procs = Procs(tmp_path)
        view = PoolView(redis.url, "gpu-a")
        try:
            backend = await procs.backend(1, "gpu-a", 4)
            doc = proxy_doc(redis.url, [(1, "gpu-a", backend.url, 4)])
            victim, survivor = await asyncio.gather(procs.proxy("victim", doc), procs.proxy("survivor", doc))
            victim_id = (await get_json_status(victim))["member"]
            survivor_id = (await get_json_status(survivor))["member"]
            stop_event = asyncio.Event()
            results = {"victim": [], "survivor": []}
            async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as session:
                loads = [asyncio.create_task(load(session, p.url, stop_event, 4, results[p.name]))
                         for p in (victim, survivor)]

                async def victim_holds():
                    _, members, _, _ = await view.snapshot()
                    return members.get(victim_id, (0,))[0] > 0
                await until(victim_holds, "the victim holds permits")
                snapshots = []
                killed_at = time.monotonic()
                victim.proc.send_signal(signal.SIGKILL)

                async def moved():
                    snap = await view.snapshot()
                    snapshots.append((time.monotonic(), snap))
                    _, members, _, _ = snap
                    return victim_id not in members and members.get(survivor_id, (0,))[0] == 4
                await until(moved, "the victim reclaimed and its permits with the survivor",
                            timeout=PERMITS["lease_sec"] + PERMITS["grace_sec"] + 10, every=0.01)
                stop_event.set()
                await asyncio.gather(*loads)
                stats = await backend_stats(session, backend)
            # Not early: while the victim's expiry + grace had not passed, its record was there.
            last_expiry = max(members[victim_id][2] for _, (_, members, _, _) in snapshots if victim_id in members)
            for _, (now, members, _, _) in snapshots:
                if now <= last_expiry + PERMITS["grace_sec"] * 1000:
                    assert victim_id in members, "reclaimed before its lease + grace"
            gone = next(t for t, (_, m, _, _) in snapshots if victim_id not in m)
            moved_at = next(t for t, (_, m, _, _) in snapshots if m.get(survivor_id, (0,))[0] == 4)
            print(f"\nSIGKILL: reclaimed {gone - killed_at:.2f}s after the kill, all 4 permits with the other "
                  f"process {moved_at - killed_at:.2f}s after it (lease {PERMITS['lease_sec']}s + grace "
                  f"{PERMITS['grace_sec']}s); backend peak {stats['peak']}/4")
            assert stats["peak"] <= 4 and stats["rejected_429"] == 0
            assert results["survivor"] and all(status == 200 for status, _ in results["survivor"])
        finally:
            await view.close()
            await procs.close()

    async def get_json_status(proxy):
        async with aiohttp.ClientSession() as session:
            return await permits_of(session, proxy)

    run(main())


def test_a_frozen_process_stops_admitting_at_its_lease_end_and_rejoins_with_nothing(redis, tmp_path):
    """SIGSTOP a process holding both permits past its lease, let another take them, SIGCONT it.

    Requests sent to the frozen process wait in its socket; when it resumes,
    its lease has ended, so it must not admit them on the permits it had: the
    other process holds both, and one more request at the backend would be
    answered 429 there. It finds itself reclaimed, rejoins with nothing, and
    its requests are served once the other gives permits back.
    """
    async def main():
        procs = Procs(tmp_path)
        view = PoolView(redis.url, "gpu-a")
        try:
            backend = await procs.backend(1, "gpu-a", 2, decode_ms=5.0)
            # Idle permits are kept (hold_sec), so the frozen process holds both.
            doc = proxy_doc(redis.url, [(1, "gpu-a", backend.url, 2)], permits={"hold_sec": 60.0})
            frozen, other = await asyncio.gather(procs.proxy("frozen", doc), procs.proxy("other", doc))
            async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as session:
                frozen_id = (await permits_of(session, frozen))["member"]
                other_id = (await permits_of(session, other))["member"]

                async def holds(member, n):
                    _, members, _, _ = await view.snapshot()
                    return members.get(member, (0,))[0] == n

                async def take_both():
                    await asyncio.gather(*(post(session, frozen.url, chat(16)) for _ in range(4)))
                    return await holds(frozen_id, 2)
                await until(take_both, "the first process holds both permits", every=0.1)
                await until(lambda: settled(session, frozen), "nothing in flight there")
                _, members, _, _ = await view.snapshot()
                old_epoch = members[frozen_id][1]
                frozen.proc.send_signal(signal.SIGSTOP)
                stop_event = asyncio.Event()
                results = []
                other_load = asyncio.create_task(load(session, other.url, stop_event, 4, results, tokens=20))
                waiting = [asyncio.create_task(post(session, frozen.url, chat(16))) for _ in range(3)]
                await until(lambda: holds(other_id, 2), "the other process holds both permits",
                            timeout=PERMITS["lease_sec"] + PERMITS["grace_sec"] + 10)
                frozen.proc.send_signal(signal.SIGCONT)
                answers = await asyncio.wait_for(asyncio.gather(*waiting), 30)
                stop_event.set()
                await other_load
                stats = await backend_stats(session, backend)
                status = await permits_of(session, frozen)
                _, members, _, _ = await view.snapshot()
            print(f"\nSIGSTOP past the lease: backend peak {stats['peak']}/2, 429s {stats['rejected_429']}; "
                  f"the resumed process: {status['lease_losses']}, "
                  + "; ".join(e["what"] for e in status["events"]))
            assert stats["peak"] <= 2 and stats["rejected_429"] == 0
            assert [s for s, *_ in answers] == [200] * 3
            assert status["lease_losses"].get("fenced", 0) >= 1
            assert any("rejoined with nothing" in e["what"] for e in status["events"])
            assert members[frozen_id][1] > old_epoch  # a new epoch: its stale writes are fenced
            assert results and all(s == 200 for s, _ in results)
        finally:
            await view.close()
            await procs.close()

    run(main())


def test_redis_stopped_and_restarted_mid_load_keeps_caps_and_service_resumes(redis, tmp_path):
    """Redis goes away for a while and comes back empty: leases run out (closed), a new generation starts,
    members re-assert what they hold, and after its boot window requests are served again."""
    async def main():
        procs = Procs(tmp_path)
        try:
            backend = await procs.backend(1, "gpu-a", 3, decode_ms=5.0)
            doc = proxy_doc(redis.url, [(1, "gpu-a", backend.url, 3)], queue_ttl=2.0)
            proxies = await asyncio.gather(procs.proxy("p0", doc), procs.proxy("p1", doc))
            stop_event = asyncio.Event()
            results = []
            async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as session:
                loads = [asyncio.create_task(load(session, p.url, stop_event, 3, results)) for p in proxies]
                await until(lambda: asyncio.sleep(0, results.count((200, None)) >= 20), "served before")
                redis.stop()
                down_at = time.monotonic()
                await asyncio.sleep(PERMITS["lease_sec"] + PERMITS["grace_sec"])
                states = [(await permits_of(session, p))["state"] for p in proxies]
                redis.start()  # empty: a restart without persistence
                up_at = time.monotonic()
                before = len(results)
                await until(lambda: asyncio.sleep(0, results[before:].count((200, None)) >= 20),
                            "served again after the restart", timeout=30)
                resumed = time.monotonic()
                stop_event.set()
                await asyncio.gather(*loads)
                stats = await backend_stats(session, backend)
                status = [await permits_of(session, p) for p in proxies]
            refused = sorted({reason for s, reason in results if s != 200})
            print(f"\nRedis down {up_at - down_at:.1f}s: states while down {states}; served again "
                  f"{resumed - up_at:.2f}s after the restart (boot window {PERMITS['lease_sec'] + PERMITS['grace_sec']}"
                  f"s); refusals meanwhile {refused}; backend peak {stats['peak']}/3")
            assert stats["peak"] <= 3 and stats["rejected_429"] == 0
            assert {s for s, _ in results} <= {200, 503}
            assert set(refused) <= {"queue_timeout", "at_capacity"}
            assert set(states) <= {"lapsed", "closed"}  # not admitting: leases ran out
            assert all(s["state"] == "leased" for s in status)
            assert all(any("new generation" in e["what"] for e in s["events"]) for s in status)
        finally:
            await procs.close()

    run(main())


# -- one member's own accounting -------------------------------------------------------------------


async def joined_member(redis_url, cap, *, hold=2):
    """A PermitMember in this process (no background tasks: the test drives its writes) holding `hold`
    permits of backend 1's pool, whose boot window is short (lease 0.4 s, no grace)."""
    doc = proxy_doc(redis_url, [(1, "gpu-a", "http://127.0.0.1:9", cap)],
                    permits={"lease_sec": 0.4, "grace_sec": 0.0, "reconcile_sec": 0.1, "hold_sec": 0.0,
                             "timeout_sec": 0.09})
    config = parse(doc)
    lb = lbm.LoadBalancer()
    member = PermitMember(lb, config.permits, config)
    pool = member.pools[1]
    await member._write()  # join
    deadline = time.monotonic() + 10
    while pool.n < hold:  # refused ("boot") until the new pool's boot window has passed
        assert time.monotonic() < deadline, "no permits granted"
        member.demand[1] = hold
        await member._write()
        await asyncio.sleep(0.02)
    return lb, config, member


def test_a_lowered_count_redis_took_is_not_taken_back_before_its_answer(redis):
    """A member lowers its count in Redis: until that write is answered (in flight, or its answer lost),
    Redis may already hold the lower count, so the member must not admit above it again."""
    async def main():
        lb, config, member = await joined_member(redis.url, 4, hold=2)
        view = PoolView(redis.url, "gpu-a")
        try:
            member._tick()  # nothing in flight, hold_sec 0: the idle permits go back (the limit drops to 0)
            assert lb.limits[1][0] == 0
            real = member.script

            async def answer_lost(**kwargs):
                await real(**kwargs)
                raise aioredis.TimeoutError("the answer was lost")
            member.script = answer_lost
            await member._write()  # Redis takes the lower count; this member never hears it did
            member.script = real
            _, members, _, _ = await view.snapshot()
            in_redis = members[member.id][0]
            assert in_redis == 0
            await member.claim(config.backends(), set())  # a request finds no room under the limit
            assert lb.limits[1][0] <= in_redis
        finally:
            await view.close()
            await member.redis.aclose()

    run(main())


def test_an_answer_for_a_pool_a_reload_removed_sets_no_limit(redis):
    """A reload uncaps a backend while a write for its pool is out: the answer must not limit it again
    (its lease would then run out and close the backend in this process)."""
    async def main():
        lb, config, member = await joined_member(redis.url, 4, hold=1)
        view = PoolView(redis.url, "gpu-a")
        try:
            real = member.script
            sent, answer = asyncio.Event(), asyncio.Event()

            async def held(**kwargs):
                reply = await real(**kwargs)
                sent.set()
                await answer.wait()
                return reply
            member.script = held
            member.renew_due = True
            write = asyncio.create_task(member._write())
            await asyncio.wait_for(sent.wait(), 10)
            uncapped = parse(proxy_doc(redis.url, [(1, "gpu-a", "http://127.0.0.1:9", 0)]))
            member.reconfigure(uncapped)  # backend 1 is no longer capped: its pool leaves
            assert 1 not in lb.limits
            answer.set()
            await asyncio.wait_for(write, 10)
            assert 1 not in lb.limits

            async def left():
                return member.id not in (await view.snapshot())[1]
            await until(left, "the member left the pool")
        finally:
            await view.close()
            await member.redis.aclose()

    run(main())


# -- the grant script on its own -------------------------------------------------------------------


class Claimer:
    """A member driving the PUT script directly, as PermitMember does (one key)."""

    LEASE_MS, GRACE_MS = 300, 150

    def __init__(self, script, key, name, cap):
        self.script, self.key, self.id, self.cap = script, key, name, cap
        self.seq, self.epoch, self.gen, self.acked, self.held = 0, 0, "", 0, 0
        self.statuses = []

    async def put(self, target, claim, *, seq=None, epoch=None):
        if seq is None:
            self.seq += 1
        sent_seq = self.seq if seq is None else seq
        reply = await self.script(keys=[self.key], args=[
            self.id, sent_seq, self.LEASE_MS, self.GRACE_MS, 600, "test:events",
            self.epoch if epoch is None else epoch, self.gen, self.acked, target, self.cap, int(claim)])
        status, committed, epoch_now, gen = reply[1][:4]
        status = status.decode()
        self.statuses.append(status)
        if status in ("stale", "fenced", "left") or seq is not None or epoch is not None:
            if status == "fenced" and epoch is None:
                self.epoch = 0  # rejoin with the next write
            return status
        self.epoch, self.gen, self.acked, self.held = int(epoch_now), gen.decode(), sent_seq, int(committed)
        return status


def test_the_grant_script_never_lets_the_committed_sum_pass_the_cap(redis):
    """40 claimers on one pool of C = 5: claims, releases, renewals, stale and fenced writes, lapses.

    An observer reads the pool atomically (MULTI: TIME, HGETALL) between the
    scripts; in every reading the members' committed counts add up to at most C.
    """
    cap = 5

    async def main():
        client = aioredis.Redis.from_url(redis.url, max_connections=64)
        script = client.register_script(PUT_SCRIPT)
        view = PoolView(redis.url, "pool", prefix="test")
        rng = random.Random(16)
        claimers = [Claimer(script, "test:pool", f"m{i}", cap) for i in range(40)]
        done = asyncio.Event()
        sums = []

        async def observe():
            while not done.is_set():
                _, members, _, _ = await view.snapshot()
                sums.append(sum(c for c, _, _ in members.values()))
                await asyncio.sleep(0)

        async def drive(c, seed):
            r = random.Random(seed)
            await c.put(0, False)  # join
            await asyncio.sleep(Claimer.LEASE_MS / 1000 + Claimer.GRACE_MS / 1000 + 0.05)  # past the boot window
            for _ in range(40):
                roll = r.random()
                if roll < 0.45:
                    await c.put(c.held + r.randint(1, 3), True)
                elif roll < 0.75:
                    await c.put(max(0, c.held - r.randint(0, 2)), False)
                elif roll < 0.85 and c.epoch:
                    # A late write: nothing changes (stale; fenced if the claimer was reclaimed meanwhile).
                    assert await c.put(cap, True, seq=max(0, c.seq - 3)) in ("stale", "fenced")
                elif roll < 0.92 and c.epoch:
                    assert await c.put(cap, True, epoch=c.epoch + 1000) == "fenced"  # another incarnation's
                elif roll < 0.95:
                    await asyncio.sleep((Claimer.LEASE_MS + Claimer.GRACE_MS) / 1000 + 0.05)  # lapse: reclaimed
                await asyncio.sleep(r.random() * 0.005)
            await c.put(-1, False)  # leave

        observer = asyncio.create_task(observe())
        try:
            await asyncio.gather(*(drive(c, rng.random()) for c in claimers))
            done.set()
            await observer
            statuses = [s for c in claimers for s in c.statuses]
            counts = {s: statuses.count(s) for s in sorted(set(statuses))}
            print(f"\ngrant script: {len(statuses)} calls {counts}; {len(sums)} atomic readings, "
                  f"largest committed sum {max(sums)} (C = {cap})")
            assert max(sums) <= cap
            assert counts.get("ok", 0) and counts.get("refused", 0) and counts.get("fenced", 0)
            assert counts.get("stale", 0) and counts.get("joined", 0) + counts.get("reasserted", 0) >= 40
            assert len(sums) > 100
            _, members, _, _ = await view.snapshot()
            assert members == {}  # every claimer left
        finally:
            observer.cancel()
            await asyncio.gather(observer, return_exceptions=True)
            await view.close()
            await client.aclose()

    run(main())


# -- workers on one port, and the configuration ----------------------------------------------------


def test_workers_on_one_port_share_the_caps_through_redis(redis, tmp_path):
    """`--workers 2 --with-backends`: two processes on one port (SO_REUSEPORT), one cap of 2 between them."""
    async def main():
        procs = Procs(tmp_path)
        view = PoolView(redis.url, "gpu-a")
        try:
            url = f"http://127.0.0.1:{redis_server.free_port()}"
            doc = proxy_doc(redis.url, [(1, "gpu-a", url, 2)])
            supervisor = await procs.proxy("workers", doc, "--workers", "2", "--with-backends")
            async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0, force_close=True)) as session:
                answers = await asyncio.gather(*(post(session, supervisor.url, chat(16)) for _ in range(40)))
                stats = await get_json(session, url + "/stats")
                pids = {(await permits_of(session, supervisor))["member"].split(":")[1] for _ in range(20)}
            _, members, _, _ = await view.snapshot()
            print(f"\n2 workers: backend peak {stats['peak']}/2, members {sorted(members)}")
            assert [s for s, *_ in answers] == [200] * 40
            assert stats["peak"] <= 2 and stats["rejected_429"] == 0
            assert len(members) == 2 and len(pids) == 2  # both workers joined, and both answer on the port
            assert await stop(supervisor) == 0
            _, members, _, _ = await view.snapshot()
            assert members == {}  # the workers left their pools when they stopped
        finally:
            await view.close()
            await procs.close()

    run(main())


def test_workers_without_redis_refuse_a_cap_smaller_than_their_number(tmp_path):
    """Without Redis, N workers divide every cap statically: a cap below N would close a backend."""
    path = tmp_path / "proxy.toml"
    path.write_text(toml_text(proxy_doc("", [(1, "gpu-a", "http://127.0.0.1:9", 1)])))
    done = subprocess.run([sys.executable, "-m", "examples.proxy", "serve", str(path), "--workers", "2"],
                          cwd=ROOT, capture_output=True, text=True, timeout=30)
    assert done.returncode == 2, done.stderr
    assert "backend 1 (gpu-a): max_concurrency 1" in done.stderr


@pytest.mark.parametrize("permits, message", [
    ({"fallback": "open"}, "permits.fallback must be one of closed, static"),
    ({"lease_sec": 0}, "permits.lease_sec must be positive"),
    ({"timeout_sec": 5.0}, "shorter than a quarter of permits.lease_sec"),
    ({"redis_url": "http://x"}, "redis://"),
    ({"processes": 0}, "permits.processes must be positive"),
    ({"grace": 1}, "unknown key permits.grace"),
])
def test_bad_permit_settings_are_refused(permits, message):
    doc = proxy_doc("redis://127.0.0.1:1/0", [(1, "gpu-a", "http://127.0.0.1:9", 1)])
    doc["permits"].update(permits)
    with pytest.raises(ConfigError, match=message):
        parse(doc)


def test_permit_pools_are_keyed_by_distinct_backend_names():
    doc = proxy_doc("redis://127.0.0.1:1/0", [(1, "gpu", "http://127.0.0.1:9", 1), (2, "gpu", "http://127.0.0.1:8", 1)])
    with pytest.raises(ConfigError, match="used twice: gpu"):
        parse(doc)
    doc["permits"]["redis_url"] = ""
    assert parse(doc).permits.redis_url == ""  # without shared permits, names need not differ
