"""The whole load_balancer module written in plain Python, as a cost baseline.

This is the module as a Python developer would write it: the same names, the
same state, the same steps, module settings read from the module at the
moment of use and internal methods called through `self`. The benchmark runs
it side by side with the extension, and tests/test_reference.py checks that
both give the same results and leave the same state.

Known differences from the extension, none of which the benchmark or the
lockstep test runs into:
- a parked request whose task is cancelled in the same event-loop turn in
  which a backend was handed to it: here the backend is dropped (the
  cancellation propagates, the next parked request stays parked); the
  extension hands it on to the next parked request;
- a time-to-live that runs out in the same turn as the hand-off: here the
  wait ends with "queue_timeout" (the dispatch stays recorded); the
  extension returns the backend with "ok";
- label values in the metrics text are written as they are here; the
  extension escapes backslashes, double quotes and newlines.

In-process load-balancer state of the /v1/* proxy: per-backend in-flight
counts, per-pool smooth weighted round-robin weights, per-backend queues of
parked requests (opt-in; without them the proxy answers 503 with
Retry-After when every backend is full) and per-pool last-access times used
to evict idle pool state. The state is local to one process.
"""
import asyncio
import hashlib
import logging
import operator
import os
import sys
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, Deque, Dict, FrozenSet, List, Optional, Tuple

logger = logging.getLogger(__name__)

PoolKey = Tuple[str, FrozenSet[int], str]


def _env_bool(name: str, default: bool = False) -> bool:
    v = os.environ.get(name, "")
    if not v:
        return default
    return v.strip().lower() in ("1", "true", "yes", "on")


def _env_int(name: str, default: int) -> int:
    try:
        return int(os.environ.get(name) or default)
    except ValueError:
        return default


def _env_float(name: str, default: float) -> float:
    try:
        return float(os.environ.get(name) or default)
    except ValueError:
        return default


QUEUE_ENABLED = _env_bool("VARNEL_LB_QUEUE_ENABLED", False)
QUEUE_TTL_SEC = _env_float("VARNEL_LB_QUEUE_TTL_SEC", 30.0)
QUEUE_MAX_DEPTH_MULTIPLIER = _env_int("VARNEL_LB_QUEUE_MAX_DEPTH_MULTIPLIER", 4)
QUEUE_DEADLINE_BOOST_SEC = _env_float("VARNEL_LB_QUEUE_DEADLINE_BOOST_SEC", 10.0)
POOL_LRU_TTL_SEC = _env_float("VARNEL_LB_POOL_LRU_TTL_SEC", 300.0)

_DEFAULT_IMAGE_TOKEN_COST = 2048
IMAGE_TOKEN_COST = _env_int("VARNEL_LB_IMAGE_TOKENS", _DEFAULT_IMAGE_TOKEN_COST)

ROUTING_MODE_SUPERFAST = "superfast"
ROUTING_MODE_HYBRID = "hybrid"
ROUTING_MODE_MAX_CONCURRENCY = "max_concurrency"
ROUTING_MODE_QUEUE_ALL = "queue_all"
DEFAULT_ROUTING_MODE = ROUTING_MODE_SUPERFAST
VALID_ROUTING_MODES = frozenset({
    ROUTING_MODE_SUPERFAST, ROUTING_MODE_HYBRID, ROUTING_MODE_MAX_CONCURRENCY, ROUTING_MODE_QUEUE_ALL,
})

SUPERFAST_PER_SERVER_CAP = _env_int("VARNEL_LB_SUPERFAST_CAP", 4)
HYBRID_INFLIGHT_THRESHOLD = _env_int("VARNEL_LB_HYBRID_INFLIGHT", 10)
HYBRID_RATE_THRESHOLD = _env_float("VARNEL_LB_HYBRID_RATE", 10.0)
HYBRID_RATE_WINDOW_SEC = _env_float("VARNEL_LB_HYBRID_WINDOW_SEC", 5.0)
HYBRID_HOT_EXIT_RATIO = _env_float("VARNEL_LB_HYBRID_HOT_EXIT_RATIO", 0.8)
QUEUE_ALL_DEPTH_MULTIPLIER = _env_int("VARNEL_LB_QUEUE_ALL_DEPTH_MULTIPLIER", 1000)
QUEUE_ALL_TTL_SEC = _env_float("VARNEL_LB_QUEUE_ALL_TTL_SEC", 600.0)


def normalize_routing_mode(value: Optional[str]) -> str:
    if not value or not isinstance(value, str):
        return DEFAULT_ROUTING_MODE
    v = value.strip().lower()
    return v if v in VALID_ROUTING_MODES else DEFAULT_ROUTING_MODE


LB_ALGO_WRR = "weighted_round_robin"
LB_ALGO_LEAST_CONN = "least_connections"
LB_ALGO_STICKY = "sticky_session"
DEFAULT_LB_ALGORITHM = LB_ALGO_WRR
VALID_LB_ALGORITHMS = frozenset({LB_ALGO_WRR, LB_ALGO_LEAST_CONN, LB_ALGO_STICKY})


def normalize_lb_algorithm(value: Optional[str]) -> str:
    if not value or not isinstance(value, str):
        return DEFAULT_LB_ALGORITHM
    v = value.strip().lower()
    return v if v in VALID_LB_ALGORITHMS else DEFAULT_LB_ALGORITHM


@dataclass
class _Waiter:
    """One queued request, parked across an eligible candidate set."""

    pool_key: PoolKey
    candidates: List[Dict[str, Any]]
    estimated_tokens: int
    future: asyncio.Future
    queued_at: float
    boost_after_sec: float = field(default=0.0)

    def is_boosted(self, now: float) -> bool:
        return self.boost_after_sec > 0 and (now - self.queued_at) >= self.boost_after_sec


class RejectReason:
    NONE = "none"
    QUEUE_FULL = "queue_full"
    QUEUE_TIMEOUT = "queue_timeout"
    NO_BACKENDS = "no_backends"
    TOO_LARGE = "too_large"
    AT_CAPACITY = "at_capacity"


def _limit_room(limit: Tuple[int, Optional[float]]) -> int:
    n, until = limit
    return 0 if until is not None and time.monotonic() >= until else n


def _granted(fut: "asyncio.Future[Any]") -> bool:
    return fut.done() and not fut.cancelled() and fut.exception() is None


class LoadBalancer:
    """Stateful per-pool scheduler with SWRR + inflight + queue."""

    def __init__(self) -> None:
        self.inflight: Dict[int, int] = {}
        self._wrr: Dict[PoolKey, Dict[int, float]] = {}
        self._locks: Dict[PoolKey, asyncio.Lock] = {}
        self._pool_last_access: Dict[PoolKey, float] = {}
        self._waiters: Dict[int, Deque[_Waiter]] = {}
        self._all_waiters: List[_Waiter] = []
        self.dispatch_counts: Dict[int, int] = {}
        self.last_dispatch_ts: Dict[int, float] = {}
        self.reject_counts: Dict[str, int] = {}
        self.queue_wait_samples: Deque[float] = deque(maxlen=512)
        self._routing_mode: str = DEFAULT_ROUTING_MODE
        self._pool_dispatch_windows: Dict[PoolKey, Deque[float]] = {}
        self._pool_hot_state: Dict[PoolKey, bool] = {}
        # Slots handed to parked requests that have not resumed yet.
        self.held_slots: Dict[int, int] = {}
        # Limits callers set on backends: server id -> (slots, valid until).
        self.limits: Dict[int, Tuple[int, Optional[float]]] = {}

    # ---- routing mode and queue settings ---------------------------------

    def set_routing_mode(self, mode: Optional[str]) -> str:
        resolved = normalize_routing_mode(mode)
        if resolved != self._routing_mode:
            logger.info("Routing mode: %s -> %s", self._routing_mode, resolved)
        self._routing_mode = resolved
        return resolved

    def get_routing_mode(self) -> str:
        return self._routing_mode

    def queue_enabled(self) -> bool:
        if self._routing_mode == ROUTING_MODE_QUEUE_ALL:
            return True
        return QUEUE_ENABLED

    def queue_ttl_sec(self) -> float:
        if self._routing_mode == ROUTING_MODE_QUEUE_ALL:
            return QUEUE_ALL_TTL_SEC
        return QUEUE_TTL_SEC

    def queue_depth_multiplier(self) -> int:
        if self._routing_mode == ROUTING_MODE_QUEUE_ALL:
            return QUEUE_ALL_DEPTH_MULTIPLIER
        return QUEUE_MAX_DEPTH_MULTIPLIER

    # ---- capacity gate ---------------------------------------------------

    def _superfast_cap(self, configured: int) -> int:
        if configured <= 0:
            return max(1, SUPERFAST_PER_SERVER_CAP)
        return max(1, min(configured, SUPERFAST_PER_SERVER_CAP))

    def _hybrid_hot(self, pool_key: Optional[PoolKey], pool_inflight: int, pool_rate: float) -> bool:
        was_hot = bool(self._pool_hot_state.get(pool_key, False)) if pool_key else False
        enter_inflight = HYBRID_INFLIGHT_THRESHOLD
        enter_rate = HYBRID_RATE_THRESHOLD
        exit_ratio = max(0.0, min(1.0, HYBRID_HOT_EXIT_RATIO))
        exit_inflight = enter_inflight * exit_ratio
        exit_rate = enter_rate * exit_ratio
        if was_hot:
            now_hot = pool_inflight > exit_inflight or pool_rate > exit_rate
        else:
            now_hot = pool_inflight >= enter_inflight or pool_rate >= enter_rate
        if pool_key is not None and now_hot != was_hot:
            self._pool_hot_state[pool_key] = now_hot
        return now_hot

    def _effective_cap_for(
        self,
        server: Dict[str, Any],
        pool_inflight: int,
        pool_rate: float,
        pool_key: Optional[PoolKey] = None,
    ) -> int:
        configured = int(server.get("max_concurrency") or 0)
        mode = self._routing_mode
        if mode == ROUTING_MODE_MAX_CONCURRENCY or mode == ROUTING_MODE_QUEUE_ALL:
            return configured
        if mode == ROUTING_MODE_SUPERFAST:
            return self._superfast_cap(configured)
        if mode == ROUTING_MODE_HYBRID:
            if self._hybrid_hot(pool_key, pool_inflight, pool_rate):
                return configured
            return self._superfast_cap(configured)
        return configured

    def effective_cap_for(
        self,
        server: Dict[str, Any],
        pool_candidates: Optional[List[Dict[str, Any]]] = None,
        pool_key: Optional[PoolKey] = None,
    ) -> int:
        if pool_candidates is None:
            pool_candidates = [server]
        pool_inflight = self._pool_inflight(pool_candidates)
        pool_rate = self._recent_dispatch_rate(pool_key)
        return self._effective_cap_for(server, pool_inflight, pool_rate, pool_key=pool_key)

    def _pool_inflight(self, candidates: List[Dict[str, Any]]) -> int:
        return sum(self.inflight.get(s["id"], 0) for s in candidates)

    def _recent_dispatch_rate(self, pool_key: Optional[PoolKey] = None) -> float:
        now = time.monotonic()
        cutoff = now - max(0.5, HYBRID_RATE_WINDOW_SEC)
        if pool_key is not None:
            window = self._pool_dispatch_windows.get(pool_key)
            if not window:
                return 0.0
            while window and window[0] < cutoff:
                window.popleft()
            n = len(window)
            if n == 0:
                return 0.0
            span = max(0.001, now - window[0])
            return n / span
        total = 0
        first_ts = float("inf")
        for window in self._pool_dispatch_windows.values():
            while window and window[0] < cutoff:
                window.popleft()
            if not window:
                continue
            total += len(window)
            if window[0] < first_ts:
                first_ts = window[0]
        if total == 0:
            return 0.0
        span = max(0.001, now - first_ts)
        return total / span

    # ---- in-flight counters and pool housekeeping ------------------------

    def increment(self, server_id: int) -> int:
        self.inflight[server_id] = self.inflight.get(server_id, 0) + 1
        return self.inflight[server_id]

    def decrement(self, server_id: int) -> int:
        cur = self.inflight.get(server_id, 0)
        new = max(0, cur - 1)
        if new == 0 and server_id in self.inflight:
            del self.inflight[server_id]
        else:
            self.inflight[server_id] = new
        self._wake_one(server_id)
        return new

    def get_inflight(self, server_id: int) -> int:
        return self.inflight.get(server_id, 0)

    def force_clear(self, server_id: int) -> None:
        if server_id not in self.inflight:
            return
        n = self.inflight.pop(server_id)
        logger.warning("Force-cleared inflight=%d for server %s", n, server_id)

    def _lock_for(self, pool_key: PoolKey) -> asyncio.Lock:
        lock = self._locks.get(pool_key)
        if lock is None:
            lock = asyncio.Lock()
            self._locks[pool_key] = lock
        return lock

    def _evict_stale_pools(self) -> None:
        now = time.monotonic()
        cutoff = now - POOL_LRU_TTL_SEC
        stale = [pk for pk, ts in self._pool_last_access.items() if ts < cutoff]
        for pk in stale:
            self._wrr.pop(pk, None)
            self._pool_last_access.pop(pk, None)
            self._pool_dispatch_windows.pop(pk, None)
            self._pool_hot_state.pop(pk, None)
        if stale:
            logger.debug("Evicted %d stale LB pool entries (>%ds idle)", len(stale), int(POOL_LRU_TTL_SEC))

    def _under_capacity(
        self,
        server: Dict[str, Any],
        pool_candidates: Optional[List[Dict[str, Any]]] = None,
        pool_key: Optional[PoolKey] = None,
    ) -> bool:
        if pool_candidates is None:
            pool_candidates = [server]
        pool_inflight = self._pool_inflight(pool_candidates)
        pool_rate = self._recent_dispatch_rate(pool_key)
        cap = self._effective_cap_for(server, pool_inflight, pool_rate, pool_key=pool_key)
        sid = busy = None
        if cap > 0:
            sid = server["id"]
            busy = self.inflight.get(sid, 0) + self.held_slots.get(sid, 0)
            if not busy < cap:
                return False
        if sid is None:
            sid = server["id"]
        limit = self.limits.get(sid)
        if limit is None:
            return True
        n, until = limit
        if until is not None and time.monotonic() >= until:
            return False
        if busy is None:
            busy = self.inflight.get(sid, 0) + self.held_slots.get(sid, 0)
        return busy < n

    # ---- limits callers set on backends -----------------------------------

    def set_limit(self, server_id: int, n: int, valid_until: Optional[float] = None) -> None:
        limit = (operator.index(n), None if valid_until is None else float(valid_until))
        before = self.limits.get(server_id)
        self.limits[server_id] = limit
        if before is None:
            return
        gained = _limit_room(limit) - _limit_room(before)
        if gained > 0:
            self._wake_parked(server_id, gained)

    def clear_limit(self, server_id: int) -> None:
        if server_id not in self.limits:
            return
        del self.limits[server_id]
        self._wake_parked(server_id, sys.maxsize)

    def _wake_parked(self, server_id: int, times: int) -> None:
        parked = self._waiters.get(server_id)
        for _ in range(min(times, len(parked) if parked is not None else 0)):
            self._wake_one(server_id)

    # ---- selection -------------------------------------------------------

    async def select(
        self,
        pool_key: PoolKey,
        candidates: List[Dict[str, Any]],
        *,
        estimated_tokens: int = 0,
        force_server_id: Optional[int] = None,
        sin_binned: Optional[set] = None,
        algorithm: Optional[str] = None,
        sticky_key: Optional[str] = None,
    ) -> Optional[Dict[str, Any]]:
        if not sin_binned:
            sin_binned = set()
        if not candidates:
            return None
        if force_server_id is not None:
            for s in candidates:
                if s.get("id") == force_server_id:
                    self._record_dispatch(pool_key, s)
                    return s
            return None
        non_drained = [s for s in candidates if (s.get("weight") or 0.0) > 0.0]
        effective = non_drained if non_drained else candidates
        eligible = [
            s for s in effective
            if s["id"] not in sin_binned and self._under_capacity(s, effective, pool_key=pool_key)
        ]
        if not eligible:
            return None
        algo = normalize_lb_algorithm(algorithm)
        if algo == LB_ALGO_STICKY and sticky_key:
            pinned = self._sticky_lookup(eligible, sticky_key)
            winner = pinned if pinned is not None else self._least_connections_pick(eligible)
        elif algo == LB_ALGO_LEAST_CONN:
            winner = self._least_connections_pick(eligible)
        else:
            winner = await self._wrr_pick(pool_key, eligible)
        self._record_dispatch(pool_key, winner)
        return winner

    async def _wrr_pick(self, pool_key: PoolKey, eligible: List[Dict[str, Any]]) -> Dict[str, Any]:
        async with self._lock_for(pool_key):
            state = self._wrr.setdefault(pool_key, {})
            total_weight = 0.0
            for s in eligible:
                w = float(s.get("weight") or 1.0)
                total_weight += w
                state[s["id"]] = state.get(s["id"], 0.0) + w
            winner = max(eligible, key=lambda s: (state.get(s["id"], 0.0), -s["id"]))
            state[winner["id"]] -= total_weight
            stale = set(state) - {s["id"] for s in eligible}
            for sid in stale:
                state.pop(sid, None)
            self._pool_last_access[pool_key] = time.monotonic()
        return winner

    def _least_connections_pick(self, eligible: List[Dict[str, Any]]) -> Dict[str, Any]:
        def score(s):
            n = self.inflight.get(s["id"], 0)
            w = float(s.get("weight") or 1.0)
            ratio = n / w if w > 0 else float("inf")
            return (ratio, n, s["id"])

        return min(eligible, key=score)

    def _sticky_lookup(self, eligible: List[Dict[str, Any]], sticky_key: str) -> Optional[Dict[str, Any]]:
        if not eligible:
            return None

        def score(s):
            material = f"{sticky_key}|{s['id']}".encode("utf-8")
            return int.from_bytes(hashlib.blake2b(material, digest_size=8).digest(), "big")

        return max(eligible, key=score)

    def _record_dispatch(self, pool_key: PoolKey, server: Dict[str, Any]) -> None:
        sid = server["id"]
        self.dispatch_counts[sid] = self.dispatch_counts.get(sid, 0) + 1
        now = time.monotonic()
        self.last_dispatch_ts[sid] = time.time()
        self._pool_last_access[pool_key] = now
        window = self._pool_dispatch_windows.get(pool_key)
        if window is None:
            window = deque(maxlen=4096)
            self._pool_dispatch_windows[pool_key] = window
        window.append(now)

    def filter_by_fit(self, candidates: List[Dict[str, Any]], estimated_tokens: int) -> List[Dict[str, Any]]:
        if estimated_tokens <= 0:
            result = list(candidates)
        else:
            result = [
                s for s in candidates
                if (s.get("max_input_tokens") or 0) == 0 or (s.get("max_input_tokens") or 0) >= estimated_tokens
            ]
        result.sort(key=lambda s: (
            1 if not s.get("max_input_tokens") else 0,
            int(s.get("max_input_tokens") or 0),
            s["id"],
        ))
        return result

    # ---- admission queue -------------------------------------------------

    def _queue_capacity_for_pool(self, candidates: List[Dict[str, Any]]) -> int:
        total_cap = sum(int(s.get("max_concurrency") or 0) for s in candidates)
        if total_cap <= 0:
            return 0
        return total_cap * max(1, self.queue_depth_multiplier())

    async def wait_for_slot(
        self,
        pool_key: PoolKey,
        candidates: List[Dict[str, Any]],
        estimated_tokens: int,
        *,
        sin_binned: Optional[set] = None,
    ) -> Tuple[Optional[Dict[str, Any]], str, float]:
        if not self.queue_enabled():
            return None, "queue_disabled", 0.0
        if not sin_binned:
            sin_binned = set()
        non_drained = [s for s in candidates if (s.get("weight") or 0.0) > 0.0]
        effective = non_drained if non_drained else candidates
        wait_set = [s for s in effective if s["id"] not in sin_binned]
        if not wait_set:
            self._bump_reject(RejectReason.NO_BACKENDS)
            return None, RejectReason.NO_BACKENDS, 0.0
        max_depth = self._queue_capacity_for_pool(wait_set)
        if max_depth > 0 and len(self._all_waiters) >= max_depth:
            self._bump_reject(RejectReason.QUEUE_FULL)
            return None, RejectReason.QUEUE_FULL, 0.0
        loop = asyncio.get_running_loop()
        fut = loop.create_future()
        boost = 0.0 if self._routing_mode == ROUTING_MODE_QUEUE_ALL else QUEUE_DEADLINE_BOOST_SEC
        waiter = _Waiter(
            pool_key=pool_key,
            candidates=list(wait_set),
            estimated_tokens=estimated_tokens,
            future=fut,
            queued_at=time.monotonic(),
            boost_after_sec=boost,
        )
        for s in wait_set:
            dq = self._waiters.get(s["id"])
            if dq is None:
                dq = deque()
                self._waiters[s["id"]] = dq
            dq.append(waiter)
        self._all_waiters.append(waiter)
        self._try_admit(waiter)
        try:
            server = await asyncio.wait_for(fut, timeout=self.queue_ttl_sec())
        except asyncio.TimeoutError:
            if not _granted(fut):
                self._remove_waiter(waiter)
                self._bump_reject(RejectReason.QUEUE_TIMEOUT)
                wait_seconds = time.monotonic() - waiter.queued_at
                return None, RejectReason.QUEUE_TIMEOUT, wait_seconds
            server = fut.result()  # handed over in the same turn as the time-out
        except BaseException:
            self._remove_waiter(waiter)
            if _granted(fut):  # the slot goes on to the next request parked on it
                sid = fut.result()["id"]
                self._release_held_slot(sid)
                self._wake_one(sid)
            raise
        if _granted(fut):
            self._release_held_slot(fut.result()["id"])
        wait_seconds = time.monotonic() - waiter.queued_at
        self.queue_wait_samples.append(wait_seconds)
        return server, "ok", wait_seconds

    def _try_admit(self, waiter: _Waiter) -> None:
        if waiter.future.done():
            return
        for s in waiter.candidates:
            if self._under_capacity(s, waiter.candidates, pool_key=waiter.pool_key):
                self._fulfill(waiter, s)
                return

    def _wake_one(self, server_id: int) -> None:
        dq = self._waiters.get(server_id)
        if not dq:
            return
        live = [w for w in dq if not w.future.done()]
        if not live:
            self._waiters.pop(server_id, None)
            return
        if self._routing_mode == ROUTING_MODE_QUEUE_ALL:
            live.sort(key=lambda w: w.queued_at)
        else:
            now = time.monotonic()
            live.sort(key=lambda w: (0, w.queued_at) if w.is_boosted(now) else (1, w.estimated_tokens))
        for w in live:
            for s in w.candidates:
                if s["id"] == server_id and self._under_capacity(s, w.candidates, pool_key=w.pool_key):
                    self._fulfill(w, s)
                    return

    def _fulfill(self, waiter: _Waiter, server: Dict[str, Any]) -> None:
        if waiter.future.done():
            return
        self._remove_waiter(waiter)
        self._record_dispatch(waiter.pool_key, server)
        waiter.future.set_result(server)
        sid = server["id"]
        self.held_slots[sid] = self.held_slots.get(sid, 0) + 1

    def _release_held_slot(self, sid: int) -> None:
        n = self.held_slots.get(sid, 0)
        if n > 1:
            self.held_slots[sid] = n - 1
        elif n > 0:
            del self.held_slots[sid]

    def _remove_waiter(self, waiter: _Waiter) -> None:
        for s in waiter.candidates:
            dq = self._waiters.get(s["id"])
            if dq is None:
                continue
            try:
                dq.remove(waiter)
            except ValueError:
                pass
            if not dq:
                self._waiters.pop(s["id"], None)
        try:
            self._all_waiters.remove(waiter)
        except ValueError:
            pass

    # ---- telemetry -------------------------------------------------------

    def note_reject(self, reason: str) -> None:
        self._bump_reject(reason)

    def _bump_reject(self, reason: str) -> None:
        self.reject_counts[reason] = self.reject_counts.get(reason, 0) + 1

    def snapshot(self) -> Dict[str, Any]:
        self._evict_stale_pools()
        samples = sorted(self.queue_wait_samples)
        n = len(samples)
        p50 = samples[n // 2] if n > 0 else 0.0
        p95 = samples[int(0.95 * n)] if n >= 20 else 0.0
        result: Dict[str, Any] = {
            "routing_mode": self._routing_mode,
            "dispatch_rate_per_sec": round(self._recent_dispatch_rate(), 3),
            "superfast_cap": SUPERFAST_PER_SERVER_CAP,
            "hybrid_inflight_threshold": HYBRID_INFLIGHT_THRESHOLD,
            "hybrid_rate_threshold": HYBRID_RATE_THRESHOLD,
            "hybrid_hot_exit_ratio": HYBRID_HOT_EXIT_RATIO,
            "queue_enabled": self.queue_enabled(),
            "queue_ttl_sec": self.queue_ttl_sec(),
            "queue_depth_multiplier": self.queue_depth_multiplier(),
            "queue_deadline_boost_sec": QUEUE_DEADLINE_BOOST_SEC,
            "pool_lru_ttl_sec": POOL_LRU_TTL_SEC,
            "inflight": dict(self.inflight),
            "dispatch_counts": dict(self.dispatch_counts),
            "reject_counts": dict(self.reject_counts),
            "queue_total_waiters": len(self._all_waiters),
            "queue_wait_p50_sec": p50,
            "queue_wait_p95_sec": p95,
        }
        pools: Dict[str, Any] = {}
        for pk, state in self._wrr.items():
            label = "|".join([pk[0], ",".join(str(c) for c in sorted(pk[1])), pk[2]])
            pools[label] = {
                "wrr_current": dict(state),
                "idle_seconds": time.monotonic() - self._pool_last_access.get(pk, 0),
                "inflight_total": sum(
                    count for sid, count in self.inflight.items()
                    if any(sid == key for key in self._wrr.get(pk, {}))
                ),
                "dispatch_rate_per_sec": round(self._recent_dispatch_rate(pk), 3),
                "hybrid_hot": (
                    self._pool_hot_state.get(pk, False) if self._routing_mode == ROUTING_MODE_HYBRID else None
                ),
            }
        result["pools"] = pools
        return result

    def prometheus_text(self) -> str:
        lines = [
            "# HELP varnel_lb_inflight Current in-flight requests per backend.",
            "# TYPE varnel_lb_inflight gauge",
        ]
        for sid, n in self.inflight.items():
            lines.append(f'varnel_lb_inflight{{server_id="{sid}"}} {n}')
        lines.append("# HELP varnel_lb_dispatch_total Cumulative dispatches per backend.")
        lines.append("# TYPE varnel_lb_dispatch_total counter")
        for sid, n in self.dispatch_counts.items():
            lines.append(f'varnel_lb_dispatch_total{{server_id="{sid}"}} {n}')
        lines.append("# HELP varnel_lb_rejected_total Requests rejected by the load balancer.")
        lines.append("# TYPE varnel_lb_rejected_total counter")
        for reason, n in self.reject_counts.items():
            lines.append(f'varnel_lb_rejected_total{{reason="{reason}"}} {n}')
        lines.append("# HELP varnel_lb_queue_depth Number of waiters currently queued.")
        lines.append("# TYPE varnel_lb_queue_depth gauge")
        lines.append(f"varnel_lb_queue_depth {len(self._all_waiters)}")
        if self.queue_wait_samples:
            samples = sorted(self.queue_wait_samples)
            n = len(samples)
            p50 = samples[n // 2]
            p95 = samples[int(0.95 * n)] if n >= 20 else samples[-1]
            lines.append("# HELP varnel_lb_queue_wait_seconds Observed waiter wait times.")
            lines.append("# TYPE varnel_lb_queue_wait_seconds summary")
            lines.append(f'varnel_lb_queue_wait_seconds{{quantile="0.5"}} {p50:.4f}')
            lines.append(f'varnel_lb_queue_wait_seconds{{quantile="0.95"}} {p95:.4f}')
            lines.append(f"varnel_lb_queue_wait_seconds_count {len(self.queue_wait_samples)}")
        return "\n".join(lines) + "\n"


class InflightLease:
    def __init__(self, lb: LoadBalancer, server_id: int) -> None:
        self.lb = lb
        self.server_id = server_id
        self._released = False

    def __enter__(self) -> "InflightLease":
        self.lb.increment(self.server_id)
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if not self._released:
            self.lb.decrement(self.server_id)
            self._released = True

    async def __aenter__(self) -> "InflightLease":
        return self.__enter__()

    async def __aexit__(self, exc_type, exc, tb) -> None:
        self.__exit__(exc_type, exc, tb)

    def release(self) -> None:
        if self._released:
            return
        self.lb.decrement(self.server_id)
        self._released = True


def estimate_request_tokens(body: dict) -> int:
    if not isinstance(body, dict):
        return 0
    total_chars = 0
    token_ids = 0
    image_count = 0

    def _scan_content(content):
        nonlocal total_chars, image_count
        if isinstance(content, str):
            total_chars += len(content)
            return
        if isinstance(content, list):
            for part in content:
                if isinstance(part, str):
                    total_chars += len(part)
                elif isinstance(part, dict):
                    t = part.get("type")
                    if t in ("text", "input_text", "output_text"):
                        txt = part.get("text") or ""
                        if isinstance(txt, str):
                            total_chars += len(txt)
                    elif t in ("image_url", "image", "input_image", "video_url"):
                        image_count += 1

    def _scan_tokenizable(value):
        nonlocal total_chars, token_ids
        if isinstance(value, str):
            total_chars += len(value)
            return
        if not isinstance(value, list):
            return
        for item in value:
            if isinstance(item, str):
                total_chars += len(item)
            elif isinstance(item, int):
                token_ids += 1
            elif isinstance(item, list):
                for sub in item:
                    if isinstance(sub, int):
                        token_ids += 1
                    elif isinstance(sub, dict):
                        _scan_content([sub])
                    else:
                        _scan_content(sub)
            elif isinstance(item, dict):
                _scan_content([item])

    messages = body.get("messages")
    if isinstance(messages, list):
        for msg in messages:
            if isinstance(msg, dict):
                _scan_content(msg.get("content"))
    else:
        prompt = body.get("prompt")
        if isinstance(prompt, str):
            total_chars += len(prompt)
        elif isinstance(prompt, list):
            for p in prompt:
                if isinstance(p, str):
                    total_chars += len(p)
    _scan_content(body.get("system"))
    for key in ("input", "query", "items", "documents"):
        if key in body:
            _scan_tokenizable(body[key])
    instruct = body.get("instruct")
    if isinstance(instruct, str):
        total_chars += len(instruct)
    text_tokens = total_chars // 4
    return text_tokens + token_ids + image_count * IMAGE_TOKEN_COST


async def inflight_reaper_loop(
    lb: LoadBalancer,
    *,
    interval_sec: float = 60.0,
    list_running_servers: Optional[Callable[[], Awaitable[List[Dict[str, Any]]]]] = None,
) -> None:
    while True:
        try:
            await asyncio.sleep(interval_sec)
            if list_running_servers is None:
                continue
            authoritative = await list_running_servers()
            live_ids = {s["id"] for s in authoritative}
            for sid in list(lb.inflight.keys()):
                if sid not in live_ids:
                    lb.force_clear(sid)
        except asyncio.CancelledError:
            raise
        except Exception as e:
            logger.warning("inflight reaper iteration failed: %s", e)
