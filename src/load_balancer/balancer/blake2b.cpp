// BLAKE2b as RFC 7693 specifies it, for one digest length (8 bytes) and no
// key.  The initial state is the IV XORed with the parameter block, whose
// only non-zero word is the first (digest length 8, key length 0, fanout 1,
// depth 1): the whole set-up is `h[0] ^= 0x01010000 ^ 8`.
#include "balancer/blake2b.h"

#include <cstring>

namespace lb {
namespace {

constexpr uint64_t kIV[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr unsigned char kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4}, {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13}, {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11}, {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5}, {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
};

constexpr size_t kBlock = 128;

inline uint64_t rotr(uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

inline uint64_t load_le(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline void mix(uint64_t* v, int a, int b, int c, int d, uint64_t x, uint64_t y) {
    v[a] = v[a] + v[b] + x;
    v[d] = rotr(v[d] ^ v[a], 32);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 24);
    v[a] = v[a] + v[b] + y;
    v[d] = rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 63);
}

// Compress one block into `h`; `t` is the number of bytes hashed so far
// (this block included), `last` marks the final block.
void compress(uint64_t h[8], const unsigned char block[kBlock], uint64_t t, bool last) {
    uint64_t m[16], v[16];
    for (int i = 0; i < 16; ++i) m[i] = load_le(block + 8 * i);
    for (int i = 0; i < 8; ++i) {
        v[i] = h[i];
        v[i + 8] = kIV[i];
    }
    v[12] ^= t;  // the high word of the 128-bit counter stays 0 below 2^64 bytes
    if (last) v[14] = ~v[14];
    for (const auto& s : kSigma) {
        mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
        mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
        mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
        mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
        mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
        mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
        mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
        mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[i + 8];
}

}  // namespace

uint64_t blake2b_8(const void* data, size_t len) noexcept {
    uint64_t h[8];
    std::memcpy(h, kIV, sizeof h);
    h[0] ^= 0x01010000ULL ^ 8;  // digest length 8, no key, fanout 1, depth 1

    const auto* p = static_cast<const unsigned char*>(data);
    uint64_t t = 0;
    // Every block but the last is compressed as it is; the last one (which
    // may be partial, or empty for empty input) is zero-padded.
    while (len > kBlock) {
        t += kBlock;
        compress(h, p, t, false);
        p += kBlock;
        len -= kBlock;
    }
    unsigned char last[kBlock] = {};
    std::memcpy(last, p, len);
    t += len;
    compress(h, last, t, true);

    // The digest is h[0] in little-endian order; the score reads those bytes
    // big-endian.
    return __builtin_bswap64(h[0]);
}

}  // namespace lb
