// BLAKE2b (RFC 7693) with an 8-byte digest, no key, salt or personalisation:
// the hash of the sticky lookup's rendezvous scores.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lb {

// The 8-byte digest of `data`, read as an unsigned big-endian integer.
uint64_t blake2b_8(const void* data, size_t len) noexcept;

}  // namespace lb
