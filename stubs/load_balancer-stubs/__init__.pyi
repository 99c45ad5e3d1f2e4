"""Type stubs for the `load_balancer` extension module.

Server records are plain dicts read by key: `id` (int), `weight`,
`max_concurrency` and `max_input_tokens`. A pool key is a 3-tuple
(model id, frozenset of cluster ids, routing tier).

Upper-case settings are read from the module at the moment of use, so they
are plain variables: assigning one (`load_balancer.QUEUE_ENABLED = True`)
changes the next call. The vocabulary strings never change and are `Final`.
"""

import asyncio
import logging
from collections import deque
from dataclasses import dataclass, field
from types import TracebackType
from typing import AbstractSet, Any, Awaitable, Callable, Dict, Final, FrozenSet, List, Optional, Tuple, TypeAlias

logger: logging.Logger

PoolKey: TypeAlias = Tuple[str, FrozenSet[int], str]

# Environment readers (run at import for every VARNEL_LB_* variable).
def _env_bool(name: str, default: bool = False) -> bool: ...
def _env_int(name: str, default: int) -> int: ...
def _env_float(name: str, default: float) -> float: ...

# Queue settings (VARNEL_LB_QUEUE_*), pool eviction and image cost.
QUEUE_ENABLED: bool
QUEUE_TTL_SEC: float
QUEUE_MAX_DEPTH_MULTIPLIER: int
QUEUE_DEADLINE_BOOST_SEC: float
POOL_LRU_TTL_SEC: float
_DEFAULT_IMAGE_TOKEN_COST: int
IMAGE_TOKEN_COST: int

# Routing modes.
ROUTING_MODE_SUPERFAST: Final = "superfast"
ROUTING_MODE_HYBRID: Final = "hybrid"
ROUTING_MODE_MAX_CONCURRENCY: Final = "max_concurrency"
ROUTING_MODE_QUEUE_ALL: Final = "queue_all"
DEFAULT_ROUTING_MODE: str
VALID_ROUTING_MODES: FrozenSet[str]

# Capacity gate and "queue_all" settings.
SUPERFAST_PER_SERVER_CAP: int
HYBRID_INFLIGHT_THRESHOLD: int
HYBRID_RATE_THRESHOLD: float
HYBRID_RATE_WINDOW_SEC: float
HYBRID_HOT_EXIT_RATIO: float
QUEUE_ALL_DEPTH_MULTIPLIER: int
QUEUE_ALL_TTL_SEC: float

def normalize_routing_mode(value: Optional[str]) -> str: ...

# Selection algorithms.
LB_ALGO_WRR: Final = "weighted_round_robin"
LB_ALGO_LEAST_CONN: Final = "least_connections"
LB_ALGO_STICKY: Final = "sticky_session"
DEFAULT_LB_ALGORITHM: str
VALID_LB_ALGORITHMS: FrozenSet[str]

def normalize_lb_algorithm(value: Optional[str]) -> str: ...
@dataclass
class _Waiter:
    """One queued request, parked across an eligible candidate set."""

    pool_key: PoolKey
    candidates: List[Dict[str, Any]]
    estimated_tokens: int
    future: asyncio.Future[Dict[str, Any]]
    queued_at: float
    boost_after_sec: float = field(default=0.0)
    def is_boosted(self, now: float) -> bool: ...

class RejectReason:
    NONE: Final = "none"
    QUEUE_FULL: Final = "queue_full"
    QUEUE_TIMEOUT: Final = "queue_timeout"
    NO_BACKENDS: Final = "no_backends"
    TOO_LARGE: Final = "too_large"
    AT_CAPACITY: Final = "at_capacity"

class LoadBalancer:
    """Stateful per-pool scheduler with SWRR + inflight + queue."""

    inflight: Dict[int, int]
    _wrr: Dict[PoolKey, Dict[int, float]]
    _locks: Dict[PoolKey, asyncio.Lock]
    _pool_last_access: Dict[PoolKey, float]
    _waiters: Dict[int, deque[_Waiter]]
    _all_waiters: List[_Waiter]
    dispatch_counts: Dict[int, int]
    last_dispatch_ts: Dict[int, float]
    reject_counts: Dict[str, int]
    queue_wait_samples: deque[float]
    _routing_mode: str
    _pool_dispatch_windows: Dict[PoolKey, deque[float]]
    _pool_hot_state: Dict[PoolKey, bool]
    held_slots: Dict[int, int]
    limits: Dict[int, Tuple[int, Optional[float]]]

    def __init__(self) -> None: ...
    # Routing mode and the queue settings it implies.
    def set_routing_mode(self, mode: Optional[str]) -> str: ...
    def get_routing_mode(self) -> str: ...
    def queue_enabled(self) -> bool: ...
    def queue_ttl_sec(self) -> float: ...
    def queue_depth_multiplier(self) -> int: ...
    # Capacity gate.
    def _superfast_cap(self, configured: int) -> int: ...
    def _hybrid_hot(self, pool_key: Optional[PoolKey], pool_inflight: int, pool_rate: float) -> bool: ...
    def _effective_cap_for(
        self, server: Dict[str, Any], pool_inflight: int, pool_rate: float, pool_key: Optional[PoolKey] = None
    ) -> int: ...
    def effective_cap_for(
        self,
        server: Dict[str, Any],
        pool_candidates: Optional[List[Dict[str, Any]]] = None,
        pool_key: Optional[PoolKey] = None,
    ) -> int: ...
    def _pool_inflight(self, candidates: List[Dict[str, Any]]) -> int: ...
    def _recent_dispatch_rate(self, pool_key: Optional[PoolKey] = None) -> float: ...
    # In-flight counters and pool housekeeping.
    def increment(self, server_id: int) -> int: ...
    def decrement(self, server_id: int) -> int: ...
    def get_inflight(self, server_id: int) -> int: ...
    def force_clear(self, server_id: int) -> None: ...
    def _lock_for(self, pool_key: PoolKey) -> asyncio.Lock: ...
    def _evict_stale_pools(self) -> None: ...
    def _under_capacity(
        self,
        server: Dict[str, Any],
        pool_candidates: Optional[List[Dict[str, Any]]] = None,
        pool_key: Optional[PoolKey] = None,
    ) -> bool: ...
    # Selection.
    async def select(
        self,
        pool_key: PoolKey,
        candidates: List[Dict[str, Any]],
        *,
        estimated_tokens: int = 0,
        force_server_id: Optional[int] = None,
        sin_binned: Optional[AbstractSet[int]] = None,
        algorithm: Optional[str] = None,
        sticky_key: Optional[str] = None,
    ) -> Optional[Dict[str, Any]]: ...
    async def _wrr_pick(self, pool_key: PoolKey, eligible: List[Dict[str, Any]]) -> Dict[str, Any]: ...
    def _least_connections_pick(self, eligible: List[Dict[str, Any]]) -> Dict[str, Any]: ...
    def _sticky_lookup(self, eligible: List[Dict[str, Any]], sticky_key: str) -> Optional[Dict[str, Any]]: ...
    def _record_dispatch(self, pool_key: PoolKey, server: Dict[str, Any]) -> None: ...
    def filter_by_fit(self, candidates: List[Dict[str, Any]], estimated_tokens: int) -> List[Dict[str, Any]]: ...
    # Wait queue and slot hand-off.
    def _queue_capacity_for_pool(self, candidates: List[Dict[str, Any]]) -> int: ...
    async def wait_for_slot(
        self,
        pool_key: PoolKey,
        candidates: List[Dict[str, Any]],
        estimated_tokens: int,
        *,
        sin_binned: Optional[AbstractSet[int]] = None,
    ) -> Tuple[Optional[Dict[str, Any]], str, float]: ...
    def _try_admit(self, waiter: _Waiter) -> None: ...
    def _wake_one(self, server_id: int) -> None: ...
    def _fulfill(self, waiter: _Waiter, server: Dict[str, Any]) -> None: ...
    def _remove_waiter(self, waiter: _Waiter) -> None: ...
    # Telemetry.
    def note_reject(self, reason: str) -> None: ...
    def _bump_reject(self, reason: str) -> None: ...
    def snapshot(self) -> Dict[str, Any]: ...
    def prometheus_text(self) -> str: ...
    def set_limit(self, server_id: int, n: int, valid_until: Optional[float] = None) -> None: ...
    def clear_limit(self, server_id: int) -> None: ...

class InflightLease:
    lb: LoadBalancer
    server_id: int
    _released: bool

    def __init__(self, lb: LoadBalancer, server_id: int) -> None: ...
    def __enter__(self) -> InflightLease: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None: ...
    async def __aenter__(self) -> InflightLease: ...
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None: ...
    def release(self) -> None: ...

def estimate_request_tokens(body: Dict[str, Any]) -> int: ...
async def inflight_reaper_loop(
    lb: LoadBalancer,
    *,
    interval_sec: float = 60.0,
    list_running_servers: Optional[Callable[[], Awaitable[List[Dict[str, Any]]]]] = None,
) -> None: ...

def _native_decisions() -> Dict[str, int]: ...
