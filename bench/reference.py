"""The per-request paths written in plain Python, as a cost baseline.

Only what the benchmark drives is here: the selection pipeline with its
capacity gate and pickers, the token-fit filter, the token estimate and the
lease. It follows the extension's behaviour closely enough to cost the same
work per request; the token estimate here is exact, and the tests compare the
extension against it over generated bodies.
"""
import asyncio
import hashlib
import time
from collections import deque

SUPERFAST_PER_SERVER_CAP = 4
HYBRID_INFLIGHT_THRESHOLD = 10
HYBRID_RATE_THRESHOLD = 10.0
HYBRID_RATE_WINDOW_SEC = 5.0
HYBRID_HOT_EXIT_RATIO = 0.8
IMAGE_TOKEN_COST = 2048
LB_ALGO_WRR = "weighted_round_robin"
LB_ALGO_LEAST_CONN = "least_connections"
LB_ALGO_STICKY = "sticky_session"
VALID_LB_ALGORITHMS = frozenset({LB_ALGO_WRR, LB_ALGO_LEAST_CONN, LB_ALGO_STICKY})


def normalize_lb_algorithm(value):
    if not value or not isinstance(value, str):
        return LB_ALGO_WRR
    v = value.strip().lower()
    return v if v in VALID_LB_ALGORITHMS else LB_ALGO_WRR


class LoadBalancer:
    def __init__(self):
        self.inflight = {}
        self._wrr = {}
        self._locks = {}
        self._pool_last_access = {}
        self._waiters = {}
        self._all_waiters = []
        self.dispatch_counts = {}
        self.last_dispatch_ts = {}
        self.reject_counts = {}
        self.queue_wait_samples = deque(maxlen=512)
        self._routing_mode = "superfast"
        self._pool_dispatch_windows = {}
        self._pool_hot_state = {}

    def set_routing_mode(self, mode):
        self._routing_mode = mode

    def _superfast_cap(self, configured):
        if configured <= 0:
            return max(1, SUPERFAST_PER_SERVER_CAP)
        return max(1, min(configured, SUPERFAST_PER_SERVER_CAP))

    def _hybrid_hot(self, pool_key, pool_inflight, pool_rate):
        was_hot = bool(self._pool_hot_state.get(pool_key, False)) if pool_key else False
        exit_ratio = max(0.0, min(1.0, HYBRID_HOT_EXIT_RATIO))
        if was_hot:
            now_hot = (pool_inflight > HYBRID_INFLIGHT_THRESHOLD * exit_ratio
                       or pool_rate > HYBRID_RATE_THRESHOLD * exit_ratio)
        else:
            now_hot = pool_inflight >= HYBRID_INFLIGHT_THRESHOLD or pool_rate >= HYBRID_RATE_THRESHOLD
        if pool_key is not None and now_hot != was_hot:
            self._pool_hot_state[pool_key] = now_hot
        return now_hot

    def _effective_cap_for(self, server, pool_inflight, pool_rate, pool_key=None):
        configured = int(server.get("max_concurrency") or 0)
        mode = self._routing_mode
        if mode in ("max_concurrency", "queue_all"):
            return configured
        if mode == "superfast":
            return self._superfast_cap(configured)
        if mode == "hybrid":
            if self._hybrid_hot(pool_key, pool_inflight, pool_rate):
                return configured
            return self._superfast_cap(configured)
        return configured

    def _pool_inflight(self, candidates):
        return sum(self.inflight.get(s["id"], 0) for s in candidates)

    def _recent_dispatch_rate(self, pool_key=None):
        now = time.monotonic()
        cutoff = now - max(0.5, HYBRID_RATE_WINDOW_SEC)
        window = self._pool_dispatch_windows.get(pool_key)
        if not window:
            return 0.0
        while window and window[0] < cutoff:
            window.popleft()
        if not window:
            return 0.0
        return len(window) / max(0.001, now - window[0])

    def _under_capacity(self, server, pool_candidates=None, pool_key=None):
        if pool_candidates is None:
            pool_candidates = [server]
        pool_inflight = self._pool_inflight(pool_candidates)
        pool_rate = self._recent_dispatch_rate(pool_key)
        cap = self._effective_cap_for(server, pool_inflight, pool_rate, pool_key=pool_key)
        if cap <= 0:
            return True
        return self.inflight.get(server["id"], 0) < cap

    def _lock_for(self, pool_key):
        lock = self._locks.get(pool_key)
        if lock is None:
            lock = asyncio.Lock()
            self._locks[pool_key] = lock
        return lock

    def _record_dispatch(self, pool_key, server):
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

    async def _wrr_pick(self, pool_key, eligible):
        async with self._lock_for(pool_key):
            state = self._wrr.setdefault(pool_key, {})
            total = 0.0
            for s in eligible:
                w = float(s.get("weight") or 1.0)
                total += w
                state[s["id"]] = state.get(s["id"], 0.0) + w
            winner = max(eligible, key=lambda s: (state.get(s["id"], 0.0), -s["id"]))
            state[winner["id"]] -= total
            for sid in set(state) - {s["id"] for s in eligible}:
                state.pop(sid, None)
            self._pool_last_access[pool_key] = time.monotonic()
            return winner

    def _least_connections_pick(self, eligible):
        def score(s):
            n = self.inflight.get(s["id"], 0)
            w = float(s.get("weight") or 1.0)
            return (n / w if w > 0 else float("inf"), n, s["id"])
        return min(eligible, key=score)

    def _sticky_lookup(self, eligible, sticky_key):
        if not eligible:
            return None

        def score(s):
            digest = hashlib.blake2b(f"{sticky_key}|{s['id']}".encode(), digest_size=8).digest()
            return int.from_bytes(digest, "big")
        return max(eligible, key=score)

    async def select(self, pool_key, candidates, *, estimated_tokens=0, force_server_id=None,
                     sin_binned=None, algorithm=None, sticky_key=None):
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
        effective = non_drained or candidates
        eligible = [s for s in effective
                    if s["id"] not in sin_binned and self._under_capacity(s, effective, pool_key=pool_key)]
        if not eligible:
            return None
        algo = normalize_lb_algorithm(algorithm)
        if algo == LB_ALGO_STICKY and sticky_key:
            winner = self._sticky_lookup(eligible, sticky_key) or self._least_connections_pick(eligible)
        elif algo == LB_ALGO_LEAST_CONN:
            winner = self._least_connections_pick(eligible)
        else:
            winner = await self._wrr_pick(pool_key, eligible)
        self._record_dispatch(pool_key, winner)
        return winner

    def filter_by_fit(self, candidates, estimated_tokens):
        if estimated_tokens <= 0:
            result = list(candidates)
        else:
            result = [s for s in candidates
                      if (s.get("max_input_tokens") or 0) == 0
                      or (s.get("max_input_tokens") or 0) >= estimated_tokens]
        result.sort(key=lambda s: (1 if not s.get("max_input_tokens") else 0,
                                   int(s.get("max_input_tokens") or 0), s["id"]))
        return result

    def increment(self, server_id):
        self.inflight[server_id] = self.inflight.get(server_id, 0) + 1
        return self.inflight[server_id]

    def decrement(self, server_id):
        new = max(0, self.inflight.get(server_id, 0) - 1)
        if new == 0 and server_id in self.inflight:
            del self.inflight[server_id]
        else:
            self.inflight[server_id] = new
        self._wake_one(server_id)
        return new

    def _wake_one(self, server_id):
        dq = self._waiters.get(server_id)
        if not dq:
            return


class InflightLease:
    def __init__(self, lb, server_id):
        self.lb = lb
        self.server_id = server_id
        self._released = False

    def __enter__(self):
        self.lb.increment(self.server_id)
        return self

    def __exit__(self, exc_type, exc, tb):
        if not self._released:
            self.lb.decrement(self.server_id)
            self._released = True

    async def __aenter__(self):
        return self.__enter__()

    async def __aexit__(self, exc_type, exc, tb):
        self.__exit__(exc_type, exc, tb)


def estimate_request_tokens(body):
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
    return total_chars // 4 + token_ids + image_count * IMAGE_TOKEN_COST
