"""The proxy's configuration: one TOML file read with `tomllib`.

    [server]      host, port, body size limit, sticky header, client time-outs and
                  connection cap, shutdown grace, uvloop, access log, admin token
    [upstream]    timeouts, sin-bin time, health probes, reaper interval
    [routing]     mode, default algorithm, capacity-gate settings of load_balancer
    [queue]       the wait queue: load_balancer's own queue settings
    [permits]     caps shared by several proxy processes through Redis (examples.proxy.permits)
    [[pools]]     one per model: model, clusters, tier, algorithm, [[pools.backends]]

Settings of the [routing] and [queue] tables that name a module setting are
assigned to the `load_balancer` module when the proxy starts; those left out
keep the value the module read from its VARNEL_LB_* environment variables.
"""
from __future__ import annotations

import math
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import load_balancer as lbm


class ConfigError(ValueError):
    """The configuration file is malformed or inconsistent."""


# Keys of [routing] and [queue] that are load_balancer module settings: key -> (attribute, type).
MODULE_SETTINGS: dict[str, dict[str, tuple[str, type]]] = {
    "routing": {
        "superfast_cap": ("SUPERFAST_PER_SERVER_CAP", int),
        "hybrid_inflight_threshold": ("HYBRID_INFLIGHT_THRESHOLD", int),
        "hybrid_rate_threshold": ("HYBRID_RATE_THRESHOLD", float),
        "hybrid_hot_exit_ratio": ("HYBRID_HOT_EXIT_RATIO", float),
    },
    "queue": {
        "enabled": ("QUEUE_ENABLED", bool),
        "ttl_sec": ("QUEUE_TTL_SEC", float),
        "max_depth_multiplier": ("QUEUE_MAX_DEPTH_MULTIPLIER", int),
        "deadline_boost_sec": ("QUEUE_DEADLINE_BOOST_SEC", float),
        "queue_all_ttl_sec": ("QUEUE_ALL_TTL_SEC", float),
        "queue_all_depth_multiplier": ("QUEUE_ALL_DEPTH_MULTIPLIER", int),
    },
}


@dataclass(frozen=True)
class BackendConfig:
    id: int
    url: str
    weight: float = 1.0
    max_concurrency: int = 0
    max_input_tokens: int = 0
    name: str = ""

    def record(self) -> dict[str, Any]:
        """The server record handed to the balancer; `select` returns this same dict."""
        return {
            "id": self.id,
            "url": self.url,
            "name": self.name or f"backend-{self.id}",
            "weight": self.weight,
            "max_concurrency": self.max_concurrency,
            "max_input_tokens": self.max_input_tokens,
        }


@dataclass
class PoolConfig:
    model: str
    clusters: frozenset[int]
    tier: str
    algorithm: str
    backends: list[BackendConfig]
    records: list[dict[str, Any]] = field(default_factory=list)

    def __post_init__(self) -> None:
        self.records = [b.record() for b in self.backends]

    @property
    def key(self) -> tuple[str, frozenset[int], str]:
        return (self.model, self.clusters, self.tier)


FALLBACKS = frozenset({"closed", "static"})


@dataclass(frozen=True)
class PermitSettings:
    """[permits]: the caps shared by several proxy processes through Redis (off while redis_url is "")."""

    redis_url: str = ""
    key_prefix: str = "lb-permits"
    lease_sec: float = 10.0
    grace_sec: float = 5.0
    reconcile_sec: float = 1.0
    hold_sec: float = 5.0
    timeout_sec: float = 0.5
    fallback: str = "closed"
    processes: int = 1

    @property
    def want_ttl_sec(self) -> float:
        """How long a refused claim keeps its place in the line of wanters without being renewed."""
        return 3 * self.reconcile_sec


@dataclass
class ProxyConfig:
    pools: dict[str, PoolConfig]
    host: str = "127.0.0.1"
    port: int = 8080
    max_body_bytes: int = 1 << 20
    sticky_header: str = "x-session-id"
    shutdown_grace_sec: float = 10.0
    max_connections: int = 1024
    header_timeout_sec: float = 10.0
    body_timeout_sec: float = 30.0
    keepalive_timeout_sec: float = 75.0
    uvloop: bool = True
    access_log: bool = True
    admin_token: str = ""
    connect_timeout_sec: float = 2.0
    read_timeout_sec: float = 60.0
    sin_bin_sec: float = 10.0
    health_path: str = "/health"
    health_interval_sec: float = 2.0
    health_timeout_sec: float = 1.0
    reaper_interval_sec: float = 30.0
    routing_mode: str = "superfast"
    algorithm: str = "weighted_round_robin"
    module_settings: dict[str, Any] = field(default_factory=dict)
    permits: PermitSettings = field(default_factory=PermitSettings)

    def backends(self) -> list[dict[str, Any]]:
        """Every server record once, in configuration order."""
        return [r for pool in self.pools.values() for r in pool.records]

    def apply_module_settings(self) -> None:
        """Assign the configured queue and capacity settings to the load_balancer module."""
        for name, value in self.module_settings.items():
            setattr(lbm, name, value)


_SERVER_KEYS = {
    "host": str, "port": int, "max_body_bytes": int, "sticky_header": str, "shutdown_grace_sec": float,
    "max_connections": int, "header_timeout_sec": float, "body_timeout_sec": float,
    "keepalive_timeout_sec": float, "uvloop": bool, "access_log": bool, "admin_token": str,
}
# Settings that must be positive: a time-out or limit of 0 would refuse everything.
_POSITIVE = ("max_body_bytes", "max_connections", "header_timeout_sec", "body_timeout_sec",
             "keepalive_timeout_sec", "connect_timeout_sec", "read_timeout_sec", "health_timeout_sec")
_UPSTREAM_KEYS = {
    "connect_timeout_sec": float, "read_timeout_sec": float, "sin_bin_sec": float, "health_path": str,
    "health_interval_sec": float, "health_timeout_sec": float, "reaper_interval_sec": float,
}


_PERMIT_KEYS = {
    "redis_url": str, "key_prefix": str, "lease_sec": float, "grace_sec": float, "reconcile_sec": float,
    "hold_sec": float, "timeout_sec": float, "fallback": str, "processes": int,
}


def _permits(table: dict[str, Any]) -> PermitSettings:
    fields = _scalars("permits", table, _PERMIT_KEYS)
    settings = PermitSettings(**fields)
    for key in ("lease_sec", "reconcile_sec", "timeout_sec", "processes"):
        if not getattr(settings, key) > 0:
            raise ConfigError(f"permits.{key} must be positive, not {getattr(settings, key)}")
    for key in ("grace_sec", "hold_sec"):
        if getattr(settings, key) < 0:
            raise ConfigError(f"permits.{key} must not be negative")
    if settings.fallback not in FALLBACKS:
        raise ConfigError(f"permits.fallback must be one of {', '.join(sorted(FALLBACKS))}, not {settings.fallback!r}")
    if settings.timeout_sec >= settings.lease_sec / 4:
        raise ConfigError("permits.timeout_sec must be shorter than a quarter of permits.lease_sec (the renewal period)")
    if settings.redis_url and not settings.redis_url.startswith(("redis://", "rediss://", "unix://")):
        raise ConfigError("permits.redis_url must be a redis://, rediss:// or unix:// URL")
    if not settings.key_prefix or any(c.isspace() for c in settings.key_prefix):
        raise ConfigError("permits.key_prefix must be a non-empty string without spaces")
    return settings


def _typed(where: str, key: str, value: Any, kind: type) -> Any:
    if kind is float and isinstance(value, int) and not isinstance(value, bool):
        value = float(value)
    if (kind is not bool and isinstance(value, bool)) or not isinstance(value, kind):
        raise ConfigError(f"{where}.{key} must be {kind.__name__}, not {type(value).__name__}")
    if isinstance(value, float) and math.isnan(value):
        raise ConfigError(f"{where}.{key} must be a number, not nan")
    return value


def _table(doc: dict[str, Any], name: str) -> dict[str, Any]:
    table = doc.get(name, {})
    if not isinstance(table, dict):
        raise ConfigError(f"[{name}] must be a table")
    return table


def _scalars(where: str, table: dict[str, Any], keys: dict[str, type]) -> dict[str, Any]:
    out = {}
    for key, value in table.items():
        if key not in keys:
            raise ConfigError(f"unknown key {where}.{key}")
        out[key] = _typed(where, key, value, keys[key])
    return out


def _vocabulary(where: str, value: Any, valid: frozenset[str]) -> str:
    if not isinstance(value, str) or value.strip().lower() not in valid:
        raise ConfigError(f"{where} must be one of {', '.join(sorted(valid))}, not {value!r}")
    return value.strip().lower()


def parse(doc: dict[str, Any]) -> ProxyConfig:
    """Build and check a configuration from a parsed TOML document."""
    unknown = set(doc) - {"server", "upstream", "routing", "queue", "pools", "permits"}
    if unknown:
        raise ConfigError(f"unknown table(s): {', '.join(sorted(unknown))}")
    settings: dict[str, Any] = {}
    settings.update(_scalars("server", _table(doc, "server"), _SERVER_KEYS))
    settings.update(_scalars("upstream", _table(doc, "upstream"), _UPSTREAM_KEYS))
    for key in _POSITIVE:
        if key in settings and not settings[key] > 0:
            raise ConfigError(f"{key} must be positive, not {settings[key]}")

    routing = dict(_table(doc, "routing"))
    mode = _vocabulary("routing.mode", routing.pop("mode", lbm.DEFAULT_ROUTING_MODE), lbm.VALID_ROUTING_MODES)
    algorithm = _vocabulary("routing.algorithm", routing.pop("algorithm", lbm.DEFAULT_LB_ALGORITHM),
                            lbm.VALID_LB_ALGORITHMS)
    module_settings: dict[str, Any] = {}
    for name, table in (("routing", routing), ("queue", _table(doc, "queue"))):
        known = MODULE_SETTINGS[name]
        for key, value in table.items():
            if key not in known:
                raise ConfigError(f"unknown key {name}.{key}")
            attribute, kind = known[key]
            module_settings[attribute] = _typed(name, key, value, kind)

    pools_doc = doc.get("pools")
    if not isinstance(pools_doc, list) or not pools_doc:
        raise ConfigError("at least one [[pools]] entry is needed")
    pools: dict[str, PoolConfig] = {}
    seen_ids: set[int] = set()
    for index, entry in enumerate(pools_doc):
        where = f"pools[{index}]"
        if not isinstance(entry, dict):
            raise ConfigError(f"{where} must be a table")
        unknown = set(entry) - {"model", "clusters", "tier", "algorithm", "backends"}
        if unknown:
            raise ConfigError(f"unknown key(s) in {where}: {', '.join(sorted(unknown))}")
        model = entry.get("model")
        if not isinstance(model, str) or not model:
            raise ConfigError(f"{where}.model must be a non-empty string")
        if model in pools:
            raise ConfigError(f"model {model!r} has two pools")
        clusters = entry.get("clusters", [])
        if not isinstance(clusters, list) or not all(isinstance(c, int) and not isinstance(c, bool)
                                                     for c in clusters):
            raise ConfigError(f"{where}.clusters must be a list of integers")
        tier = _typed(where, "tier", entry.get("tier", "standard"), str)
        pool_algorithm = _vocabulary(f"{where}.algorithm", entry.get("algorithm", algorithm),
                                     lbm.VALID_LB_ALGORITHMS)
        backends_doc = entry.get("backends")
        if not isinstance(backends_doc, list) or not backends_doc:
            raise ConfigError(f"{where} needs at least one [[pools.backends]] entry")
        backends = []
        for bindex, b in enumerate(backends_doc):
            bwhere = f"{where}.backends[{bindex}]"
            if not isinstance(b, dict):
                raise ConfigError(f"{bwhere} must be a table")
            kinds = {"id": int, "url": str, "weight": float, "max_concurrency": int,
                     "max_input_tokens": int, "name": str}
            fields = _scalars(bwhere, b, kinds)
            for required in ("id", "url"):
                if required not in fields:
                    raise ConfigError(f"{bwhere}.{required} is required")
            if fields["id"] in seen_ids:
                raise ConfigError(f"backend id {fields['id']} is used twice")
            if not fields["url"].startswith(("http://", "https://")):
                raise ConfigError(f"{bwhere}.url must be an http:// or https:// URL")
            if fields.get("weight", 1.0) < 0:
                raise ConfigError(f"{bwhere}.weight must not be negative (0 drains the backend)")
            seen_ids.add(fields["id"])
            fields["url"] = fields["url"].rstrip("/")
            backends.append(BackendConfig(**fields))
        pools[model] = PoolConfig(model, frozenset(clusters), tier, pool_algorithm, backends)

    permits = _permits(_table(doc, "permits"))
    if permits.redis_url:
        # A backend's permit pool is keyed by its name: names must tell backends apart.
        names = [b.name or f"backend-{b.id}" for pool in pools.values() for b in pool.backends]
        for name in names:
            if any(c.isspace() for c in name):
                raise ConfigError(f"backend name {name!r}: permits are keyed by name, which must have no spaces")
        twice = sorted({n for n in names if names.count(n) > 1})
        if twice:
            raise ConfigError(f"backend name(s) used twice: {', '.join(twice)} (permits are keyed by name)")
    return ProxyConfig(pools=pools, routing_mode=mode, algorithm=algorithm,
                       module_settings=module_settings, permits=permits, **settings)


def load(path: str | Path) -> ProxyConfig:
    """Read and check a TOML configuration file."""
    try:
        with open(path, "rb") as f:
            doc = tomllib.load(f)
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{path}: {e}") from None
    return parse(doc)
