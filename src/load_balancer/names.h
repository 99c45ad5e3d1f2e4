// Names the subsystems share: instance attributes, module globals, record
// keys and attributes of standard-library objects.  (Method names live with
// their descriptors in balancer/methods.h.)
#pragma once

#include "py/names.h"

namespace lb::names {

// LoadBalancer instance attributes, in constructor order.
inline py::Name inflight{"inflight"};
inline py::Name _wrr{"_wrr"};
inline py::Name _locks{"_locks"};
inline py::Name _pool_last_access{"_pool_last_access"};
inline py::Name _waiters{"_waiters"};
inline py::Name _all_waiters{"_all_waiters"};
inline py::Name dispatch_counts{"dispatch_counts"};
inline py::Name last_dispatch_ts{"last_dispatch_ts"};
inline py::Name reject_counts{"reject_counts"};
inline py::Name queue_wait_samples{"queue_wait_samples"};
inline py::Name _routing_mode{"_routing_mode"};
inline py::Name _pool_dispatch_windows{"_pool_dispatch_windows"};
inline py::Name _pool_hot_state{"_pool_hot_state"};
// ... and after them: slots held for woken waiters that have not resumed yet.
inline py::Name held_slots{"held_slots"};
// ... and the limits callers set on backends (set_limit).
inline py::Name limits{"limits"};

// Keyword argument names.
inline py::Name pool_key{"pool_key"};
inline py::Name maxlen{"maxlen"};
inline py::Name timeout{"timeout"};

// InflightLease attributes.
inline py::Name lb{"lb"};
inline py::Name server_id{"server_id"};
inline py::Name _released{"_released"};

// _Waiter fields.
inline py::Name candidates{"candidates"};
inline py::Name estimated_tokens{"estimated_tokens"};
inline py::Name future{"future"};
inline py::Name queued_at{"queued_at"};
inline py::Name boost_after_sec{"boost_after_sec"};

// Server record keys.
inline py::Name id{"id"};
inline py::Name weight{"weight"};
inline py::Name max_concurrency{"max_concurrency"};
inline py::Name max_input_tokens{"max_input_tokens"};

// Module globals.
inline py::Name asyncio{"asyncio"};
inline py::Name time{"time"};
inline py::Name deque{"deque"};
inline py::Name logger{"logger"};
inline py::Name RejectReason{"RejectReason"};
inline py::Name _Waiter{"_Waiter"};
inline py::Name normalize_routing_mode{"normalize_routing_mode"};
inline py::Name normalize_lb_algorithm{"normalize_lb_algorithm"};
inline py::Name DEFAULT_ROUTING_MODE{"DEFAULT_ROUTING_MODE"};
inline py::Name VALID_ROUTING_MODES{"VALID_ROUTING_MODES"};
inline py::Name DEFAULT_LB_ALGORITHM{"DEFAULT_LB_ALGORITHM"};
inline py::Name VALID_LB_ALGORITHMS{"VALID_LB_ALGORITHMS"};
inline py::Name ROUTING_MODE_SUPERFAST{"ROUTING_MODE_SUPERFAST"};
inline py::Name ROUTING_MODE_HYBRID{"ROUTING_MODE_HYBRID"};
inline py::Name ROUTING_MODE_MAX_CONCURRENCY{"ROUTING_MODE_MAX_CONCURRENCY"};
inline py::Name ROUTING_MODE_QUEUE_ALL{"ROUTING_MODE_QUEUE_ALL"};
inline py::Name LB_ALGO_STICKY{"LB_ALGO_STICKY"};
inline py::Name LB_ALGO_LEAST_CONN{"LB_ALGO_LEAST_CONN"};
inline py::Name QUEUE_ENABLED{"QUEUE_ENABLED"};
inline py::Name QUEUE_TTL_SEC{"QUEUE_TTL_SEC"};
inline py::Name QUEUE_MAX_DEPTH_MULTIPLIER{"QUEUE_MAX_DEPTH_MULTIPLIER"};
inline py::Name QUEUE_DEADLINE_BOOST_SEC{"QUEUE_DEADLINE_BOOST_SEC"};
inline py::Name POOL_LRU_TTL_SEC{"POOL_LRU_TTL_SEC"};
inline py::Name IMAGE_TOKEN_COST{"IMAGE_TOKEN_COST"};
inline py::Name SUPERFAST_PER_SERVER_CAP{"SUPERFAST_PER_SERVER_CAP"};
inline py::Name HYBRID_INFLIGHT_THRESHOLD{"HYBRID_INFLIGHT_THRESHOLD"};
inline py::Name HYBRID_RATE_THRESHOLD{"HYBRID_RATE_THRESHOLD"};
inline py::Name HYBRID_RATE_WINDOW_SEC{"HYBRID_RATE_WINDOW_SEC"};
inline py::Name HYBRID_HOT_EXIT_RATIO{"HYBRID_HOT_EXIT_RATIO"};
inline py::Name QUEUE_ALL_DEPTH_MULTIPLIER{"QUEUE_ALL_DEPTH_MULTIPLIER"};
inline py::Name QUEUE_ALL_TTL_SEC{"QUEUE_ALL_TTL_SEC"};

// Attributes of classes and standard-library objects.
inline py::Name dunder_init{"__init__"};
inline py::Name dunder_dict{"__dict__"};
inline py::Name dunder_aenter{"__aenter__"};
inline py::Name dunder_aexit{"__aexit__"};
inline py::Name acquire{"acquire"};
inline py::Name strip{"strip"};
inline py::Name lower{"lower"};
inline py::Name release{"release"};
inline py::Name _wake_up_first{"_wake_up_first"};
inline py::Name _locked{"_locked"};
inline py::Name monotonic{"monotonic"};
inline py::Name time_fn{"time"};
inline py::Name info{"info"};
inline py::Name warning{"warning"};
inline py::Name debug{"debug"};
inline py::Name Lock{"Lock"};
inline py::Name append{"append"};
inline py::Name remove{"remove"};
inline py::Name popleft{"popleft"};
inline py::Name done{"done"};
inline py::Name result{"result"};
inline py::Name set_result{"set_result"};
inline py::Name cancelled{"cancelled"};
inline py::Name exception{"exception"};

}  // namespace lb::names
