// MurmurHash3, the public-domain hash algorithm by Austin Appleby, written out
// afresh here: the three published functions, bit for bit, with their published
// parameter lists. No Python in this header, so the C++ tests use it directly.
//
// Every stored filter depends on MurmurHash3_x86_128 giving the published
// results: a changed bit here moves the bit positions of every row.
//
// Keys may sit at any address: blocks are read with memcpy, which compiles to a
// plain unaligned load on the little-endian machines this module runs on.
// A negative length is outside the contract; it reads no key byte and hashes
// as the empty key, so a bad caller can never make the functions read memory.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tessvane::murmur {

inline uint32_t rotl32(uint32_t x, int8_t r) { return (x << r) | (x >> (32 - r)); }

inline uint64_t rotl64(uint64_t x, int8_t r) { return (x << r) | (x >> (64 - r)); }

inline uint32_t getblock32(const uint32_t* p, int i) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(p) + 4 * static_cast<size_t>(i), 4);
    return v;
}

inline uint64_t getblock64(const uint64_t* p, int i) {
    uint64_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(p) + 8 * static_cast<size_t>(i), 8);
    return v;
}

inline uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

inline uint64_t fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

inline void MurmurHash3_x86_32(const void* key, int len, uint32_t seed, void* out) {
    if (len < 0) len = 0;
    const auto* data = static_cast<const unsigned char*>(key);
    const int nblocks = len / 4;
    const uint32_t c1 = 0xcc9e2d51u, c2 = 0x1b873593u;
    uint32_t h1 = seed;

    const auto* blocks = reinterpret_cast<const uint32_t*>(data);
    for (int i = 0; i < nblocks; i++) {
        uint32_t k1 = getblock32(blocks, i);
        k1 *= c1;
        k1 = rotl32(k1, 15);
        k1 *= c2;
        h1 ^= k1;
        h1 = rotl32(h1, 13);
        h1 = h1 * 5 + 0xe6546b64u;
    }

    const unsigned char* tail = data + nblocks * 4;
    uint32_t k1 = 0;
    switch (len & 3) {
    case 3: k1 ^= uint32_t(tail[2]) << 16; [[fallthrough]];
    case 2: k1 ^= uint32_t(tail[1]) << 8; [[fallthrough]];
    case 1:
        k1 ^= tail[0];
        k1 *= c1;
        k1 = rotl32(k1, 15);
        k1 *= c2;
        h1 ^= k1;
    }

    h1 ^= static_cast<uint32_t>(len);
    h1 = fmix32(h1);
    std::memcpy(out, &h1, 4);
}

inline void MurmurHash3_x86_128(const void* key, const int len_in, uint32_t seed, void* out) {
    const int len = len_in < 0 ? 0 : len_in;
    const auto* data = static_cast<const unsigned char*>(key);
    const int nblocks = len / 16;
    const uint32_t c1 = 0x239b961bu, c2 = 0xab0e9789u, c3 = 0x38b34ae5u, c4 = 0xa1e38b93u;
    uint32_t h1 = seed, h2 = seed, h3 = seed, h4 = seed;

    const auto* blocks = reinterpret_cast<const uint32_t*>(data);
    for (int i = 0; i < nblocks; i++) {
        uint32_t k1 = getblock32(blocks, i * 4 + 0);
        uint32_t k2 = getblock32(blocks, i * 4 + 1);
        uint32_t k3 = getblock32(blocks, i * 4 + 2);
        uint32_t k4 = getblock32(blocks, i * 4 + 3);

        k1 *= c1; k1 = rotl32(k1, 15); k1 *= c2; h1 ^= k1;
        h1 = rotl32(h1, 19); h1 += h2; h1 = h1 * 5 + 0x561ccd1bu;

        k2 *= c2; k2 = rotl32(k2, 16); k2 *= c3; h2 ^= k2;
        h2 = rotl32(h2, 17); h2 += h3; h2 = h2 * 5 + 0x0bcaa747u;

        k3 *= c3; k3 = rotl32(k3, 17); k3 *= c4; h3 ^= k3;
        h3 = rotl32(h3, 15); h3 += h4; h3 = h3 * 5 + 0x96cd1c35u;

        k4 *= c4; k4 = rotl32(k4, 18); k4 *= c1; h4 ^= k4;
        h4 = rotl32(h4, 13); h4 += h1; h4 = h4 * 5 + 0x32ac3b17u;
    }

    const unsigned char* tail = data + nblocks * 16;
    uint32_t k1 = 0, k2 = 0, k3 = 0, k4 = 0;
    switch (len & 15) {
    case 15: k4 ^= uint32_t(tail[14]) << 16; [[fallthrough]];
    case 14: k4 ^= uint32_t(tail[13]) << 8; [[fallthrough]];
    case 13:
        k4 ^= uint32_t(tail[12]) << 0;
        k4 *= c4; k4 = rotl32(k4, 18); k4 *= c1; h4 ^= k4;
        [[fallthrough]];
    case 12: k3 ^= uint32_t(tail[11]) << 24; [[fallthrough]];
    case 11: k3 ^= uint32_t(tail[10]) << 16; [[fallthrough]];
    case 10: k3 ^= uint32_t(tail[9]) << 8; [[fallthrough]];
    case 9:
        k3 ^= uint32_t(tail[8]) << 0;
        k3 *= c3; k3 = rotl32(k3, 17); k3 *= c4; h3 ^= k3;
        [[fallthrough]];
    case 8: k2 ^= uint32_t(tail[7]) << 24; [[fallthrough]];
    case 7: k2 ^= uint32_t(tail[6]) << 16; [[fallthrough]];
    case 6: k2 ^= uint32_t(tail[5]) << 8; [[fallthrough]];
    case 5:
        k2 ^= uint32_t(tail[4]) << 0;
        k2 *= c2; k2 = rotl32(k2, 16); k2 *= c3; h2 ^= k2;
        [[fallthrough]];
    case 4: k1 ^= uint32_t(tail[3]) << 24; [[fallthrough]];
    case 3: k1 ^= uint32_t(tail[2]) << 16; [[fallthrough]];
    case 2: k1 ^= uint32_t(tail[1]) << 8; [[fallthrough]];
    case 1:
        k1 ^= uint32_t(tail[0]) << 0;
        k1 *= c1; k1 = rotl32(k1, 15); k1 *= c2; h1 ^= k1;
    }

    const auto ulen = static_cast<uint32_t>(len);
    h1 ^= ulen; h2 ^= ulen; h3 ^= ulen; h4 ^= ulen;
    h1 += h2; h1 += h3; h1 += h4;
    h2 += h1; h3 += h1; h4 += h1;
    h1 = fmix32(h1); h2 = fmix32(h2); h3 = fmix32(h3); h4 = fmix32(h4);
    h1 += h2; h1 += h3; h1 += h4;
    h2 += h1; h3 += h1; h4 += h1;

    const uint32_t words[4] = {h1, h2, h3, h4};
    std::memcpy(out, words, 16);
}

namespace detail {

// MurmurHash3_x64_128. The tail's bytes are gathered into two words, which
// are mixed in whether or not bytes landed in them: a zero word mixes to
// zero, and the published function skips exactly those. With ReadsPastEnd,
// the tail block is read as two whole words and the bytes past the key
// masked off, without a branch on the tail's length.
template <bool ReadsPastEnd>
inline void x64_128(const void* key, const int len_in, const uint32_t seed, void* out) {
    const int len = len_in < 0 ? 0 : len_in;
    const auto* data = static_cast<const unsigned char*>(key);
    const int nblocks = len / 16;
    const uint64_t c1 = 0x87c37b91114253d5ull, c2 = 0x4cf5ad432745937full;
    uint64_t h1 = seed, h2 = seed;

    const auto* blocks = reinterpret_cast<const uint64_t*>(data);
    for (int i = 0; i < nblocks; i++) {
        uint64_t k1 = getblock64(blocks, i * 2 + 0);
        uint64_t k2 = getblock64(blocks, i * 2 + 1);

        k1 *= c1; k1 = rotl64(k1, 31); k1 *= c2; h1 ^= k1;
        h1 = rotl64(h1, 27); h1 += h2; h1 = h1 * 5 + 0x52dce729u;

        k2 *= c2; k2 = rotl64(k2, 33); k2 *= c1; h2 ^= k2;
        h2 = rotl64(h2, 31); h2 += h1; h2 = h2 * 5 + 0x38495ab5u;
    }

    const unsigned char* tail = data + nblocks * 16;
    const int rest = len & 15;
    uint64_t k1 = 0, k2 = 0;
    if constexpr (ReadsPastEnd) {
        std::memcpy(&k1, tail, 8);
        std::memcpy(&k2, tail + 8, 8);
        k1 &= rest >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * rest)) - 1;
        k2 &= rest <= 8 ? 0 : (uint64_t{1} << (8 * (rest - 8))) - 1;
    } else {
        switch (rest) {
        case 15: k2 ^= uint64_t(tail[14]) << 48; [[fallthrough]];
        case 14: k2 ^= uint64_t(tail[13]) << 40; [[fallthrough]];
        case 13: k2 ^= uint64_t(tail[12]) << 32; [[fallthrough]];
        case 12: k2 ^= uint64_t(tail[11]) << 24; [[fallthrough]];
        case 11: k2 ^= uint64_t(tail[10]) << 16; [[fallthrough]];
        case 10: k2 ^= uint64_t(tail[9]) << 8; [[fallthrough]];
        case 9: k2 ^= uint64_t(tail[8]) << 0; [[fallthrough]];
        case 8: k1 ^= uint64_t(tail[7]) << 56; [[fallthrough]];
        case 7: k1 ^= uint64_t(tail[6]) << 48; [[fallthrough]];
        case 6: k1 ^= uint64_t(tail[5]) << 40; [[fallthrough]];
        case 5: k1 ^= uint64_t(tail[4]) << 32; [[fallthrough]];
        case 4: k1 ^= uint64_t(tail[3]) << 24; [[fallthrough]];
        case 3: k1 ^= uint64_t(tail[2]) << 16; [[fallthrough]];
        case 2: k1 ^= uint64_t(tail[1]) << 8; [[fallthrough]];
        case 1: k1 ^= uint64_t(tail[0]) << 0;
        }
    }
    k2 *= c2; k2 = rotl64(k2, 33); k2 *= c1; h2 ^= k2;
    k1 *= c1; k1 = rotl64(k1, 31); k1 *= c2; h1 ^= k1;

    h1 ^= static_cast<uint64_t>(len);
    h2 ^= static_cast<uint64_t>(len);
    h1 += h2;
    h2 += h1;
    h1 = fmix64(h1);
    h2 = fmix64(h2);
    h1 += h2;
    h2 += h1;

    const uint64_t words[2] = {h1, h2};
    std::memcpy(out, words, 16);
}

}  // namespace detail

inline void MurmurHash3_x64_128(const void* key, const int len, const uint32_t seed, void* out) {
    detail::x64_128<false>(key, len, seed, out);
}

// The same result, for a key whose 16 bytes past its end the caller may read
// (they are read, never used; a negative length reads the 16 bytes at key):
// the tail needs no branch on its length, which for keys of varied lengths is
// a branch mispredicted at nearly every key.
inline void MurmurHash3_x64_128_over(const void* key, const int len, const uint32_t seed, void* out) {
    detail::x64_128<true>(key, len, seed, out);
}

// The four words of MurmurHash3_x86_128 over the bytes of a string.
inline std::vector<uint32_t> murmur(std::string s, uint32_t seed) {
    uint32_t words[4];
    MurmurHash3_x86_128(s.data(), static_cast<int>(s.size()), seed, words);
    return std::vector<uint32_t>(words, words + 4);
}

}  // namespace tessvane::murmur
