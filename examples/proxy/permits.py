"""Capacity permits shared by several proxy processes: one set of caps, leased through Redis.

Each capped backend's `max_concurrency` C is a pool of permits in one Redis
hash, keyed by the backend's name (stable across configurations, unlike its
id): the cap, a generation, a boot-window end, and per member (a process,
`host:pid:nonce`) its committed count, epoch, sequence number and lease expiry
(from Redis `TIME`, inside the script). Every change is one call of the PUT
script below, so it is atomic.

Committed, not slice. A member's committed count is max(permits it holds,
its in-flight + held hand-offs). A grant is refused when the sum of the live
members' committed would pass C. A member lowers what it holds locally first
and publishes the lower value only as its leases end; it raises in Redis
first, then locally (`LoadBalancer.set_limit`).

Leases. A member renews its lease (T = `lease_sec`) every T/4, and admits only
while now < t_sent + T - eps of its last successful write to that pool (the
`valid_until` of `set_limit`, checked by the balancer on every admission).
Members past their expiry + `grace_sec` are reclaimed by whichever member
writes next; a member that finds itself reclaimed (fenced: its epoch is gone)
rejoins with nothing. Sequence numbers fence writes that arrive late.

On demand. A request that finds a free local permit costs nothing. One that
finds none asks for one (`claim`: one round trip, shared by the requests that
ask at the same time). A refusal records the member as a wanter of that pool,
in order, and notifies the holders (pub/sub), which give permits back as their
leases end. Idle permits go back after `hold_sec`. A reconcile tick
(`reconcile_sec`) repairs lost messages.

The rule that keeps small caps from starving anyone: while another member
waits on a pool, (1) permits are granted to the longest-waiting member only,
and to it only up to max(floor(C/M), what it holds + 1), M being the members
that hold or want permits there; (2) every holder keeps at most floor(C/M)
and gives the rest back as its requests end. So each wanting member gets a
permit after at most M - 1 turns of the others (a turn: one request, a
notification and two round trips; a lost notification costs one reconcile
tick), and with C >= M every wanting member converges to at least floor(C/M).

Redis restarts (its hash is gone) or loses writes (a member finds its record
behind its last acknowledged write): a new generation. For T + grace only
re-assertions of what members hold are accepted, no increases. Redis
unreachable: each pool closes when its lease runs out; after a further wait
(T + grace after the first failure, so that every other member's lease ran out
too) the member follows `fallback`: "closed" (the default), or "static", a
fixed floor(C/N) with N = `processes` from the configuration.
"""
from __future__ import annotations

import asyncio
import logging
import os
import secrets
import socket
import time
from collections import Counter, deque
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric

import load_balancer as lbm

from .config import ConfigError

if TYPE_CHECKING:
    from .config import PermitSettings, ProxyConfig

log = logging.getLogger("proxy.permits")

# One call changes the members' records of one or more pools (KEYS), atomically.
#   ARGV: member, seq, lease_ms, grace_ms, want_ttl_ms, channel,
#         then per key: epoch (0: join), generation known, last acknowledged seq, target, cap, claim (1: may raise)
# A target of -1 leaves the pool. Returns {now_ms, {status, committed, epoch, generation, others waiting, M, C}...}
# Statuses: ok, part (raised less than asked), refused, boot (no raises in a new generation's boot window),
# reasserted (from another generation: what the member holds, as far as it fits), joined (epoch 0: with
# nothing), fenced (the member's record is gone or has another epoch: nothing written), stale (an older seq),
# left.
PUT_SCRIPT = r"""
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local me, seq = ARGV[1], tonumber(ARGV[2])
local lease, grace, want_ttl = tonumber(ARGV[3]), tonumber(ARGV[4]), tonumber(ARGV[5])
local channel = ARGV[6]
local out = {now}
for i, key in ipairs(KEYS) do
  local a = 6 + (i - 1) * 6
  local epoch, known, acked = tonumber(ARGV[a + 1]), ARGV[a + 2], tonumber(ARGV[a + 3])
  local target, cap, claim = tonumber(ARGV[a + 4]), tonumber(ARGV[a + 5]), ARGV[a + 6] == '1'
  local gen = redis.call('HGET', key, 'gen')
  if not gen then
    gen = string.format('%s.%06d', t[1], tonumber(t[2]))
    redis.call('HSET', key, 'gen', gen, 'boot', now + lease + grace, 'ep', 0, 'wseq', 0)
  end
  redis.call('HSET', key, 'C', cap)
  local boot = tonumber(redis.call('HGET', key, 'boot'))
  local h = redis.call('HGETALL', key)
  -- members: reclaim those past expiry + grace, sum the others' committed
  local others, mine, sum = {}, nil, 0
  for j = 1, #h, 2 do
    local f = h[j]
    if string.sub(f, 1, 2) == 'm:' then
      local id = string.sub(f, 3)
      local c, e, s, x = string.match(h[j + 1], '^(%d+) (%d+) (%d+) (%d+)$')
      c, e, s, x = tonumber(c), tonumber(e), tonumber(s), tonumber(x)
      if x + grace < now then
        redis.call('HDEL', key, f, 'w:' .. id)
      elseif id == me then
        mine = {c = c, e = e, s = s}
      else
        others[id] = c
        sum = sum + c
      end
    end
  end
  -- wanters, oldest first: drop those expired or whose member is gone
  local wanters = {}
  for j = 1, #h, 2 do
    local f = h[j]
    if string.sub(f, 1, 2) == 'w:' then
      local id = string.sub(f, 3)
      local o, u = string.match(h[j + 1], '^(%d+) (%d+)$')
      if tonumber(u) < now or (id ~= me and others[id] == nil) then
        redis.call('HDEL', key, f)
      else
        wanters[#wanters + 1] = {tonumber(o), id}
      end
    end
  end
  table.sort(wanters, function(p, q) return p[1] < q[1] end)
  local head, waiting, m = nil, 0, 1
  local counted = {}
  for id, c in pairs(others) do
    if c > 0 then m = m + 1; counted[id] = true end
  end
  for _, w in ipairs(wanters) do
    if head == nil then head = w[2] end
    if w[2] ~= me then
      waiting = waiting + 1
      if not counted[w[2]] then m = m + 1; counted[w[2]] = true end
    end
  end
  -- a record behind the member's last acknowledged write: the store lost writes
  if mine ~= nil and known == gen and mine.e == epoch and mine.s < acked then
    gen = string.format('%s.%06d', t[1], tonumber(t[2]))
    boot = now + lease + grace
    redis.call('HSET', key, 'gen', gen, 'boot', boot)
  end
  local status, c, ep, before = 'ok', 0, epoch, 0
  if mine ~= nil then before = mine.c end
  if mine ~= nil and seq <= mine.s then
    status, c, ep = 'stale', mine.c, mine.e
  elseif target < 0 then
    if mine ~= nil and mine.e == epoch then
      redis.call('HDEL', key, 'm:' .. me, 'w:' .. me)
      status = 'left'
    else
      status = 'fenced'
    end
  elseif known ~= gen then
    ep = redis.call('HINCRBY', key, 'ep', 1)
    c = math.max(0, math.min(target, cap - sum))
    status = 'reasserted'
  elseif epoch == 0 then
    ep = redis.call('HINCRBY', key, 'ep', 1)
    status = 'joined'
  elseif mine == nil or mine.e ~= epoch then
    status = 'fenced'
  else
    c = target
    if target > before then
      c = before
      if not claim then
        status = 'ok'
      elseif now < boot then
        status = 'boot'
      elseif waiting > 0 and head ~= me then
        status = 'refused'
      else
        local allowed = target
        if waiting > 0 then allowed = math.min(target, math.max(math.floor(cap / m), before + 1)) end
        local grant = math.min(allowed, cap - sum)
        if grant > before then
          c = grant
          if grant < target then status = 'part' end
        else
          status = 'refused'
        end
      end
    end
  end
  if status ~= 'stale' and status ~= 'fenced' and status ~= 'left' then
    redis.call('HSET', key, 'm:' .. me, string.format('%d %d %d %d', c, ep, seq, now + lease))
    local wf = 'w:' .. me
    if status == 'refused' or status == 'boot' or status == 'part' then
      local w = redis.call('HGET', key, wf)
      local order
      if w and status ~= 'part' then
        order = tonumber(string.match(w, '^(%d+)'))
      else
        order = redis.call('HINCRBY', key, 'wseq', 1)
      end
      redis.call('HSET', key, wf, string.format('%d %d', order, now + want_ttl))
      redis.call('PUBLISH', channel, 'want ' .. key .. ' ' .. me .. ' ' .. m)
    elseif claim and c > before then
      redis.call('HDEL', key, wf)
    end
  end
  -- room left and others waiting: tell the longest-waiting one (it claims; the others wait their turn)
  local held = c
  if status == 'stale' or status == 'fenced' then held = before elseif status == 'left' then held = 0 end
  if waiting > 0 and cap - sum - held > 0 and now >= boot then
    local first = nil
    for _, w in ipairs(wanters) do
      if w[2] ~= me then first = w[2]; break end
    end
    redis.call('PUBLISH', channel, 'free ' .. key .. ' ' .. first)
  end
  out[#out + 1] = {status, c, ep, gen, waiting, m, cap}
end
return out
"""


def member_id() -> str:
    return f"{socket.gethostname()}:{os.getpid()}:{secrets.token_hex(3)}"


class Permits:
    """What the proxy calls on its request road; this base admits within the configured caps only."""

    claims = False  # whether a select that finds no room should `claim` before parking or refusing

    async def start(self) -> None:
        return None

    async def stop(self) -> None:
        return None

    def reconfigure(self, config: ProxyConfig) -> None:
        return None

    async def claim(self, candidates: list[dict[str, Any]], excluded: set[int]) -> bool:
        return False

    def admitted(self, server_id: int) -> None:
        return None

    def released(self, server_id: int) -> None:
        return None

    async def status(self) -> dict[str, Any]:
        return {}

    def collect(self) -> Iterable[Metric]:
        return ()


class StaticDivision(Permits):
    """Each of N processes may use floor(C/N) of every cap (workers without Redis)."""

    def __init__(self, lb: lbm.LoadBalancer, processes: int, config: ProxyConfig) -> None:
        self.lb = lb
        self.processes = processes
        self.reconfigure(config)

    def reconfigure(self, config: ProxyConfig) -> None:
        shares = {}
        for record in config.backends():
            cap = record["max_concurrency"]
            if cap > 0:
                shares[record["id"]] = cap // self.processes
                self.lb.set_limit(record["id"], cap // self.processes)
        for sid in list(self.lb.limits):
            if sid not in shares:
                self.lb.clear_limit(sid)
        log.info("caps divided statically by %d process(es): %s", self.processes,
                 ", ".join(f"backend {sid}: {n}" for sid, n in sorted(shares.items())) or "no capped backend")

    async def status(self) -> dict[str, Any]:
        return {"mode": "static", "processes": self.processes, "pid": os.getpid(),
                "backends": {str(sid): {"held": n} for sid, (n, _) in sorted(self.lb.limits.items())}}

    def collect(self) -> Iterable[Metric]:
        held = GaugeMetricFamily("proxy_permits_held", "Permits this process holds (its limit), by backend.",
                                 labels=["server_id"])
        for sid, (n, _) in sorted(self.lb.limits.items()):
            held.add_metric([str(sid)], n)
        yield held
        state = GaugeMetricFamily("proxy_permits_fallback", "How this process limits capped backends: leased "
                                  "(Redis), lapsed, closed or static.", labels=["state"])
        for name in ("leased", "lapsed", "closed", "static"):
            state.add_metric([name], int(name == "static"))
        yield state


@dataclass
class Pool:
    """This member's view of one backend's permit pool."""

    sid: int
    name: str
    key: str
    cap: int
    n: int = 0  # permits held: the balancer's limit while the lease is valid
    pub: int = 0  # committed as Redis last acknowledged it
    unanswered: int | None = None  # the lowest count written since the last answer: Redis may hold it already
    epoch: int = 0  # 0: not joined (or fenced)
    gen: str = ""
    acked: int = 0  # seq of the last write Redis acknowledged
    valid_until: float = 0.0  # monotonic: admit only before this
    refused_until: float = 0.0  # do not ask again before this (unless told a permit is free)
    granted_at: float = 0.0  # the last grant: its requests are admitted before a yield lowers n
    yield_fair: int | None = None  # others wait: keep at most this many
    yield_until: float = 0.0
    dispatched: int = 0  # the balancer's dispatch count at the last tick
    busy_at: float = 0.0  # last tick that saw dispatches
    static: bool = False  # following the static fallback
    members: int = 1  # M, as last reported
    grants: int = 0
    refusals: Counter[str] = field(default_factory=Counter)


@dataclass
class Entry:
    pool: Pool
    target: int
    claim: bool


class PermitMember(Permits):
    """One process's membership in the permit pools of every capped backend."""

    claims = True

    def __init__(self, lb: lbm.LoadBalancer, settings: PermitSettings, config: ProxyConfig) -> None:
        import redis.asyncio as aioredis
        from redis.asyncio.retry import Retry
        from redis.backoff import NoBackoff

        self.lb = lb
        self.s = settings
        self.id = member_id()
        self.channel = f"{settings.key_prefix}:events"
        self.redis = aioredis.Redis.from_url(
            settings.redis_url, socket_timeout=settings.timeout_sec, socket_connect_timeout=settings.timeout_sec,
            retry=Retry(NoBackoff(), 0))
        self.script = self.redis.register_script(PUT_SCRIPT)
        self.pools: dict[int, Pool] = {}
        self.by_key: dict[str, Pool] = {}
        self.seq = 0  # of this member's writes, across all pools (a restarted process is a new member)
        self.margin = settings.lease_sec / 20  # eps: the lease ends this much before Redis's expiry
        self.failing_since: float | None = None
        self.retry_at = 0.0
        self.state = "leased"  # leased | lapsed | closed | static
        self.demand: Counter[int] = Counter()  # requests waiting for the next claim round
        self.round: asyncio.Future[set[int]] | None = None
        self.wanted: set[int] = set()  # pools to claim for in the next round (parked requests, a free permit)
        self.renew_due = True
        self.next_renew = 0.0
        self.kick = asyncio.Event()
        self.tasks: list[asyncio.Task[None]] = []
        self.round_trips: Counter[str] = Counter()  # by kind: claim, renew, release, status
        self.requests = 0  # leases taken on capped backends
        self.renewals = 0
        self.lease_losses: Counter[str] = Counter()  # expired | fenced
        self.failures = 0
        self.events: deque[tuple[float, str]] = deque(maxlen=20)
        self.reconfigure(config)

    # -- life cycle ---------------------------------------------------------------------

    def reconfigure(self, config: ProxyConfig) -> None:
        """Pools for the capped backends of a configuration; those no longer capped or configured leave."""
        wanted: dict[int, tuple[str, int]] = {r["id"]: (r["name"], r["max_concurrency"])
                                              for r in config.backends() if r["max_concurrency"] > 0}
        for sid, pool in list(self.pools.items()):
            want = wanted.get(sid)
            if want is None or want[0] != pool.name:
                self._forget(pool)
            elif pool.cap != want[1]:
                pool.cap = want[1]  # the next write carries it; a lowered cap lowers what this member holds
                if pool.n > pool.cap:
                    pool.n = pool.cap
                    self._apply(pool)
        for sid, (name, cap) in wanted.items():
            if sid not in self.pools:
                pool = Pool(sid, name, f"{self.s.key_prefix}:{name}", cap)
                self.pools[sid] = pool
                self.by_key[pool.key] = pool
                self._apply(pool)
        for sid in list(self.lb.limits):
            if sid not in self.pools:
                self.lb.clear_limit(sid)
        self.renew_due = True
        self.kick.set()

    def _forget(self, pool: Pool) -> None:
        del self.pools[pool.sid]
        self.by_key.pop(pool.key, None)
        self.lb.clear_limit(pool.sid)
        if pool.epoch:
            task = asyncio.get_running_loop().create_task(self._leave([pool]))
            task.add_done_callback(lambda t: None if t.cancelled() else t.exception())

    async def start(self) -> None:
        """Join every pool (one round trip; Redis down: start closed), then renew, listen and reconcile."""
        await self._write()
        self.tasks = [asyncio.create_task(self._writer(), name="permit-writer"),
                      asyncio.create_task(self._ticker(), name="permit-reconcile"),
                      asyncio.create_task(self._listen(), name="permit-notices")]
        log.info("permit member %s: %d pool(s) on %s, lease %.1fs, grace %.1fs, fallback %s", self.id,
                 len(self.pools), self.s.redis_url, self.s.lease_sec, self.s.grace_sec, self.s.fallback)

    async def stop(self) -> None:
        """Leave every pool (its permits free at once), stop the tasks, close the connections."""
        for task in self.tasks:
            task.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)
        self.tasks = []
        if self.round is not None and not self.round.done():
            self.round.set_result(set())
        await self._leave([p for p in self.pools.values() if p.epoch])
        try:
            await asyncio.wait_for(self.redis.aclose(), self.s.timeout_sec)
        except Exception:
            pass

    async def _leave(self, pools: list[Pool]) -> None:
        if not pools:
            return
        try:
            await self._call([Entry(p, -1, False) for p in pools], "release")
        except Exception as e:
            log.warning("could not leave the permit pools (%s): the others reclaim them after the lease", e)

    # -- the request road -----------------------------------------------------------------

    def _used(self, sid: int) -> int:
        return self.lb.inflight.get(sid, 0) + self.lb.held_slots.get(sid, 0)

    def _apply(self, pool: Pool) -> None:
        """The balancer's limit for a pool: n until the lease ends (static share: no end)."""
        if pool.static:
            pool.n = pool.cap // self.s.processes
            self.lb.set_limit(pool.sid, pool.n)
        else:
            self.lb.set_limit(pool.sid, pool.n, pool.valid_until)

    async def claim(self, candidates: list[dict[str, Any]], excluded: set[int]) -> bool:
        """After a select that found no room: permits for the candidates whose own limit was what stopped it.

        Room held but lowered locally is taken back without a round trip; else
        one round trip, shared with the requests asking at the same time. True
        when some limit rose (select again). Pools asked in vain are not asked
        again before a notification or the next reconcile tick.
        """
        now = time.monotonic()
        ask: list[int] = []
        raised = False
        for server in candidates:
            sid = server["id"]
            pool = self.pools.get(sid)
            if pool is None or sid in excluded or pool.static:
                continue
            used = self._used(sid)
            if used >= pool.cap:
                continue  # at the configured cap: no permit helps
            if now < pool.valid_until and used < pool.n:
                continue  # room under the limit: something else stopped the select
            # Held in Redis, lowered here: take it back, but not above a lower count written since
            # the last answer (in flight, or its answer lost): Redis may have taken that one already.
            held = pool.pub if pool.unanswered is None else min(pool.pub, pool.unanswered)
            if now < pool.valid_until and pool.n < held and pool.yield_fair is None:
                pool.n = min(held, used + 1)
                self._apply(pool)
                raised = True
                continue
            if now < pool.refused_until or now < self.retry_at:
                continue
            ask.append(sid)
        if raised or not ask:
            return raised
        for sid in ask:
            self.demand[sid] += 1
        if self.round is None:
            self.round = asyncio.get_running_loop().create_future()
        round_ = self.round
        self.kick.set()
        granted = await asyncio.shield(round_)
        return any(sid in granted for sid in ask)

    def admitted(self, server_id: int) -> None:
        """A lease began on a capped backend: while others wait, keep no more than the fair share."""
        self.requests += 1
        pool = self.pools.get(server_id)
        if pool is not None and pool.yield_fair is not None and pool.n > pool.yield_fair:
            pool.n = pool.yield_fair
            self._apply(pool)

    def released(self, server_id: int) -> None:
        """A lease ended: publish a lowered count (in the background) once in-flight work is under it."""
        pool = self.pools.get(server_id)
        if pool is not None and pool.pub > pool.n and max(pool.n, self._used(server_id)) < pool.pub:
            self.kick.set()

    # -- notifications and the reconcile tick --------------------------------------------------

    def _yield(self, pool: Pool, members: int, now: float) -> None:
        """Others wait: keep at most floor(C/M). Permits just granted are left to the requests they were
        asked for (`admitted` lowers the limit once they hold them; the tick lowers it if none comes)."""
        fair = pool.cap // max(1, members)
        pool.members = members
        pool.yield_fair = fair
        pool.yield_until = now + self.s.want_ttl_sec
        if pool.n > fair and now - pool.granted_at >= self.s.reconcile_sec:
            pool.n = fair
            self._apply(pool)
            self.kick.set()

    def _notice(self, message: str) -> None:
        parts = message.split()  # "want KEY MEMBER M" or "free KEY MEMBER"
        if len(parts) < 3:
            return
        kind, key, who = parts[:3]
        pool = self.by_key.get(key)
        if pool is None:
            return
        now = time.monotonic()
        if kind == "want" and who != self.id and len(parts) == 4 and parts[3].isdigit():
            self._yield(pool, int(parts[3]), now)
        elif kind == "free" and who == self.id:
            pool.refused_until = 0.0
            if self._parked(pool.sid):
                self.wanted.add(pool.sid)
                self.kick.set()

    def _parked(self, sid: int) -> int:
        waiters = self.lb._waiters.get(sid)
        return sum(1 for w in waiters if not w.future.done()) if waiters else 0

    def _tick(self) -> None:
        now = time.monotonic()
        if now >= self.next_renew:
            self.renew_due = True
        failing = self.failing_since is not None
        for pool in self.pools.values():
            sid = pool.sid
            used = self._used(sid)
            if pool.yield_fair is not None and now >= pool.yield_until:
                pool.yield_fair = None
            if pool.yield_fair is not None and pool.n > pool.yield_fair \
                    and now - pool.granted_at >= self.s.reconcile_sec:
                pool.n = pool.yield_fair
                self._apply(pool)
            dispatched = self.lb.dispatch_counts.get(sid, 0)
            if dispatched != pool.dispatched:
                pool.dispatched, pool.busy_at = dispatched, now
            if not failing and pool.n > used and now - pool.busy_at >= self.s.hold_sec:
                pool.n = used  # idle permits go back
                self._apply(pool)
            parked = self._parked(sid)
            if parked and not failing and used + parked > pool.n and used < pool.cap:
                self.wanted.add(sid)
            if failing and self.failing_since is not None:
                self._fall_back(pool, now, self.failing_since)
        self._update_state(now)
        self.kick.set()

    def _fall_back(self, pool: Pool, now: float, failing_since: float) -> None:
        """Redis unreachable: closed at the lease's end; the fallback once every other lease ran out too."""
        if pool.static or now < pool.valid_until:
            return
        if pool.n or pool.pub:
            self.lease_losses["expired"] += 1
            self.events.append((time.time(), f"backend {pool.sid}: lease ran out with Redis unreachable"))
            log.warning("backend %d (%s): permit lease ran out with Redis unreachable: closed", pool.sid, pool.name)
            pool.n = 0
            self._apply(pool)
        if self.s.fallback == "static" and now >= max(pool.valid_until, failing_since + self.s.lease_sec) \
                + self.s.grace_sec:
            pool.static = True
            self._apply(pool)
            self.events.append((time.time(), f"backend {pool.sid}: static share {pool.cap // self.s.processes}"))
            log.warning("backend %d (%s): Redis still unreachable: static share of %d (cap %d / %d processes)",
                        pool.sid, pool.name, pool.cap // self.s.processes, pool.cap, self.s.processes)

    def _update_state(self, now: float) -> None:
        if self.failing_since is None:
            state = "leased"
        elif any(p.static for p in self.pools.values()):
            state = "static"
        elif all(now >= p.valid_until for p in self.pools.values()):
            state = "closed" if now >= self.failing_since + self.s.lease_sec + self.s.grace_sec else "lapsed"
        else:
            state = "leased"
        if state != self.state:
            log.info("permits: %s -> %s", self.state, state)
            self.events.append((time.time(), f"{self.state} -> {state}"))
            self.state = state

    async def _ticker(self) -> None:
        while True:
            await asyncio.sleep(self.s.reconcile_sec)
            try:
                self._tick()
            except Exception:
                log.exception("permit reconcile tick failed")

    async def _listen(self) -> None:
        """The pools' notices (pub/sub); resubscribes after a lost connection (the tick covers the gap)."""
        while True:
            pubsub = self.redis.pubsub(ignore_subscribe_messages=True)
            try:
                async with asyncio.timeout(self.s.timeout_sec):
                    await pubsub.subscribe(self.channel)
                while True:
                    message = await pubsub.get_message(timeout=1.0)
                    if message is not None and message.get("type") == "message":
                        data = message["data"]
                        self._notice(data.decode() if isinstance(data, bytes) else str(data))
            except asyncio.CancelledError:
                raise
            except Exception:
                await asyncio.sleep(self.s.reconcile_sec)
            finally:
                try:
                    await asyncio.wait_for(pubsub.aclose(), self.s.timeout_sec)
                except Exception:
                    pass

    # -- writes ---------------------------------------------------------------------------

    async def _writer(self) -> None:
        while True:
            await self.kick.wait()
            self.kick.clear()
            try:
                await self._write()
            except Exception:
                log.exception("permit write failed")

    def _compose(self, now: float) -> list[Entry]:
        demand, self.demand = self.demand, Counter()
        wanted, self.wanted = self.wanted, set()
        renew = self.renew_due
        entries: list[Entry] = []
        for pool in self.pools.values():
            sid = pool.sid
            used = self._used(sid)
            held = pool.n if now < pool.valid_until and not pool.static else 0
            if pool.static:
                held = pool.cap // self.s.processes
            committed = max(held, used)
            if pool.epoch == 0:
                entries.append(Entry(pool, committed, False))  # join, or re-assert after a new generation
            elif (demand[sid] or sid in wanted) and not pool.static:
                target = min(pool.cap, used + self._parked(sid) + demand[sid])
                if target > pool.pub:
                    entries.append(Entry(pool, target, True))
                elif renew or committed < pool.pub or now >= pool.valid_until:
                    entries.append(Entry(pool, committed, False))
            elif renew or committed < pool.pub or now >= pool.valid_until:
                entries.append(Entry(pool, committed, False))
        return entries

    async def _write(self) -> None:
        now = time.monotonic()
        entries = self._compose(now)
        round_, self.round = self.round, None
        granted: set[int] = set()
        try:
            if entries:
                kind = "claim" if any(e.claim for e in entries) else "renew" if self.renew_due else "release"
                if self.renew_due:
                    self.renew_due = False
                    self.next_renew = now + self.s.lease_sec / 4
                granted = await self._call(entries, kind)
        finally:
            if round_ is not None and not round_.done():
                round_.set_result(granted)

    async def _call(self, entries: list[Entry], kind: str) -> set[int]:
        """One PUT round trip; applies its answers. The pools whose limit rose."""
        self.seq += 1
        seq = self.seq
        s = self.s
        args: list[Any] = [self.id, seq, int(s.lease_sec * 1000), int(s.grace_sec * 1000),
                           int(s.want_ttl_sec * 1000), self.channel]
        for e in entries:
            args += [e.pool.epoch, e.pool.gen, e.pool.acked, e.target, e.pool.cap, int(e.claim)]
        for e in entries:
            if e.target >= 0:
                low = e.pool.unanswered
                e.pool.unanswered = e.target if low is None else min(low, e.target)
        sent = time.monotonic()
        self.round_trips[kind] += 1
        try:
            async with asyncio.timeout(s.timeout_sec):
                reply = await self.script(keys=[e.pool.key for e in entries], args=args)
        except Exception as e:
            self._failed(sent, e)
            if kind == "release" and any(e.target < 0 for e in entries):
                raise
            return set()
        if self.failing_since is not None:
            log.info("Redis reachable again after %.1fs", sent - self.failing_since)
            self.events.append((time.time(), "Redis reachable again"))
        self.failing_since = None
        self.retry_at = 0.0
        raised: set[int] = set()
        for entry, answer in zip(entries, reply[1:]):
            if self._answer(entry, answer, seq, sent):
                raised.add(entry.pool.sid)
        self._update_state(time.monotonic())
        return raised

    def _failed(self, sent: float, error: BaseException) -> None:
        self.failures += 1
        self.retry_at = time.monotonic() + self.s.reconcile_sec
        if self.failing_since is None:
            self.failing_since = sent
            self.events.append((time.time(), f"Redis unreachable: {type(error).__name__}"))
            log.warning("Redis unreachable (%s: %s): admitting on the current leases until they end",
                        type(error).__name__, error)

    def _answer(self, entry: Entry, answer: list[Any], seq: int, sent: float) -> bool:
        pool = entry.pool
        if self.pools.get(pool.sid) is not pool:
            return False  # the pool left (a reload) while the write was out: the backend's limit is not its own
        status = answer[0].decode() if isinstance(answer[0], bytes) else str(answer[0])
        committed, epoch = int(answer[1]), int(answer[2])
        gen = answer[3].decode() if isinstance(answer[3], bytes) else str(answer[3])
        waiting, members = int(answer[4]), int(answer[5])
        now = time.monotonic()
        before = pool.n
        if status in ("stale", "left"):
            return False
        pool.unanswered = None  # Redis's record is this write's now (a later one is stale there)
        if status == "fenced":
            self.lease_losses["fenced"] += 1
            self.events.append((time.time(), f"backend {pool.sid}: reclaimed by the others: rejoining with nothing"))
            log.warning("backend %d (%s): this member's permits were reclaimed by the others: rejoining with "
                        "nothing", pool.sid, pool.name)
            pool.epoch, pool.n, pool.pub = 0, 0, 0
            pool.valid_until = 0.0
            self._apply(pool)
            self.kick.set()
            return False
        if status == "reasserted" and pool.gen:
            self.events.append((time.time(), f"backend {pool.sid}: new generation, re-asserted {committed}"))
            log.warning("backend %d (%s): Redis lost the permit pool (new generation): re-asserted %d "
                        "permit(s)", pool.sid, pool.name, committed)
        if status == "joined" and pool.gen:
            self.events.append((time.time(), f"backend {pool.sid}: rejoined with nothing"))
        pool.epoch, pool.gen, pool.acked = epoch, gen, seq
        pool.pub = committed
        pool.static = False
        pool.valid_until = max(pool.valid_until, sent + self.s.lease_sec - self.margin)
        pool.members = members
        if not entry.claim:
            self.renewals += 1
        if entry.claim and status in ("ok", "part") and committed > before:
            pool.grants += 1
            pool.n = committed
            pool.busy_at = pool.granted_at = now
        elif entry.claim and status in ("refused", "boot"):
            pool.refusals[status] += 1
            pool.refused_until = now + self.s.reconcile_sec
        pool.n = min(pool.n, committed)
        if waiting > 0:
            self._yield(pool, members, now)
        else:
            pool.yield_fair = None
        self._apply(pool)
        return pool.n > before or (entry.claim and committed > before)

    # -- status and metrics -----------------------------------------------------------------

    async def status(self) -> dict[str, Any]:
        """This member's pools, and every member of each as Redis has them (one round trip)."""
        now = time.monotonic()
        out: dict[str, Any] = {"mode": "redis", "member": self.id, "state": self.state,
                               "round_trips": dict(self.round_trips), "requests": self.requests,
                               "round_trips_per_request": self.round_trips_per_request(),
                               "renewals": self.renewals, "lease_losses": dict(self.lease_losses),
                               "events": [{"at": at, "what": what} for at, what in self.events],
                               "backends": {}}
        tables: list[dict[bytes, bytes]] = []
        redis_now = 0
        self.round_trips["status"] += 1
        try:
            async with asyncio.timeout(self.s.timeout_sec):
                pipe = self.redis.pipeline(transaction=False)
                pipe.time()
                for pool in self.pools.values():
                    pipe.hgetall(pool.key)
                replies = await pipe.execute()
            seconds, micros = replies[0]
            redis_now = int(seconds) * 1000 + int(micros) // 1000
            tables = replies[1:]
        except Exception as e:
            out["redis_error"] = f"{type(e).__name__}: {e}"
        for index, pool in enumerate(self.pools.values()):
            entry: dict[str, Any] = {
                "name": pool.name, "cap": pool.cap, "held": pool.n, "committed": pool.pub, "used": self._used(pool.sid),
                "lease_left_sec": round(max(0.0, pool.valid_until - now), 2), "epoch": pool.epoch,
                "static": pool.static, "yielding_to": pool.yield_fair, "grants": pool.grants,
                "refusals": dict(pool.refusals), "members": []}
            if index < len(tables):
                table = {k.decode(): v.decode() for k, v in tables[index].items()}
                entry["generation"] = table.get("gen")
                wanting = {f[2:] for f in table if f.startswith("w:")}
                for f, value in sorted(table.items()):
                    if f.startswith("m:"):
                        c, ep, _, x = (int(v) for v in value.split())
                        entry["members"].append({"id": f[2:], "committed": c, "epoch": ep,
                                                 "lease_left_sec": round((x - redis_now) / 1000, 2),
                                                 "wanting": f[2:] in wanting, "me": f[2:] == self.id})
            out["backends"][str(pool.sid)] = entry
        return out

    def round_trips_per_request(self) -> dict[str, float]:
        n = max(1, self.requests)
        on_road = self.round_trips["claim"]
        total = sum(v for k, v in self.round_trips.items() if k != "status")
        return {"claims": round(on_road / n, 4), "all": round(total / n, 4)}

    def collect(self) -> Iterable[Metric]:
        def gauge(name: str, doc: str, value: Any) -> GaugeMetricFamily:
            family = GaugeMetricFamily(name, doc, labels=["server_id"])
            for pool in self.pools.values():
                family.add_metric([str(pool.sid)], value(pool))
            return family

        now = time.monotonic()
        yield gauge("proxy_permits_held", "Permits this process holds (its limit), by backend; 0 once its lease "
                    "ran out.", lambda p: p.cap // self.s.processes if p.static else p.n if now < p.valid_until else 0)
        yield gauge("proxy_permits_committed", "Committed count Redis last acknowledged for this process "
                    "(max of permits held and requests in flight), by backend.", lambda p: p.pub)
        yield gauge("proxy_permit_members", "Members holding or wanting permits of the backend, as last reported.",
                    lambda p: p.members)
        grants = CounterMetricFamily("proxy_permit_grants", "Claims that got permits, by backend.",
                                     labels=["server_id"])
        refusals = CounterMetricFamily("proxy_permit_refusals", "Claims refused (refused: the pool is full or "
                                       "others wait longer; boot: a new generation's boot window), by backend.",
                                       labels=["server_id", "reason"])
        for pool in self.pools.values():
            grants.add_metric([str(pool.sid)], pool.grants)
            for reason in ("refused", "boot"):
                refusals.add_metric([str(pool.sid), reason], pool.refusals[reason])
        yield grants
        yield refusals
        trips = CounterMetricFamily("proxy_permit_round_trips", "Round trips to Redis, by kind (claim: on the "
                                    "request road; renew, release: in the background; status: the status page).",
                                    labels=["kind"])
        for kind in ("claim", "renew", "release", "status"):
            trips.add_metric([kind], self.round_trips[kind])
        yield trips
        per = GaugeMetricFamily("proxy_permit_round_trips_per_request", "Round trips to Redis per lease taken on "
                                "a capped backend since start (claims: on the request road; all: every kind but "
                                "status).", labels=["kind"])
        for kind, value in self.round_trips_per_request().items():
            per.add_metric([kind], value)
        yield per
        yield CounterMetricFamily("proxy_permit_lease_renewals", "Successful writes that renewed a pool's lease.",
                                  value=self.renewals)
        losses = CounterMetricFamily("proxy_permit_lease_losses", "Leases lost: expired (Redis unreachable) or "
                                     "fenced (reclaimed by the others).", labels=["reason"])
        for reason in ("expired", "fenced"):
            losses.add_metric([reason], self.lease_losses[reason])
        yield losses
        yield CounterMetricFamily("proxy_permit_redis_failures", "Round trips to Redis that failed or timed out.",
                                  value=self.failures)
        state = GaugeMetricFamily("proxy_permits_fallback", "How this process limits capped backends: leased "
                                  "(Redis), lapsed, closed or static.", labels=["state"])
        for name in ("leased", "lapsed", "closed", "static"):
            state.add_metric([name], int(self.state == name))
        yield state


def check_workers(config: ProxyConfig, workers: int) -> None:
    """Workers without Redis divide every cap statically: each cap must give every worker at least one."""
    if workers <= 1 or config.permits.redis_url:
        return
    small = [f"backend {r['id']} ({r['name']}): max_concurrency {r['max_concurrency']}"
             for r in config.backends() if 0 < r["max_concurrency"] < workers]
    if small:
        raise ConfigError(f"{workers} workers without [permits] redis_url divide each cap statically, and these "
                          f"caps are smaller than that: {'; '.join(small)}")


def make_permits(lb: lbm.LoadBalancer, config: ProxyConfig, workers: int = 1) -> Permits | None:
    """Shared permits through Redis when configured; a static division among workers; else None."""
    if config.permits.redis_url:
        return PermitMember(lb, config.permits, config)
    if workers > 1:
        check_workers(config, workers)
        return StaticDivision(lb, workers, config)
    return None
