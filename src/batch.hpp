// Batched hashing and bit positions: the hot steps of insert and test, with
// no Python in them so that the C++ tests drive every path.
//
// MurmurHash3_x86_128 works on four 32-bit state words, so rows of one
// length can be hashed in lockstep, one row per SIMD lane: the loops below are
// written lane by lane and the compiler turns them into vector code under each
// target. On x86-64 the target is chosen once, at run time, from the CPU, and
// the build assumes nothing beyond the x86-64 baseline; elsewhere the lanes are
// compiled for the architecture's baseline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>

#include "cpu.hpp"
#include "murmur.hpp"

// Loops over a row's k positions run k times, k known only at run time: asked
// to unroll them, the compiler spends less on counting than on the accesses.
#define WOX_UNROLL _Pragma("GCC unroll 8")

namespace woxbloom {

// The signature of every path: hashes rows[0 .. count - 1], each len bytes,
// and stores the two little-endian 64-bit halves of each 128-bit result.
using HashRows = void (*)(const unsigned char* const* rows, size_t count, int len, uint32_t seed, uint64_t* h1,
                          uint64_t* h2);

// Row by row, through the reference functions.
inline void hash_rows_scalar(const unsigned char* const* rows, size_t count, int len, uint32_t seed, uint64_t* h1,
                             uint64_t* h2) {
    for (size_t i = 0; i < count; ++i) {
        uint64_t out[2];
        tessvane::murmur::MurmurHash3_x86_128(rows[i], len, seed, out);
        h1[i] = out[0];
        h2[i] = out[1];
    }
}

namespace lanes {

// Words k1..k4 of each lane: the block of each row at the same offset.
template <int width>
struct Block {
    uint32_t k1[width], k2[width], k3[width], k4[width];
};

[[gnu::always_inline]] inline uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

// One row's block at a time, lane by lane: for any width and target.
template <int width>
[[gnu::always_inline]] inline void load_block(const unsigned char* const* rows, size_t offset, Block<width>& b) {
    for (int l = 0; l < width; ++l) {
        uint32_t w[4];
        std::memcpy(w, rows[l] + offset, 16);
        b.k1[l] = w[0];
        b.k2[l] = w[1];
        b.k3[l] = w[2];
        b.k4[l] = w[3];
    }
}

// Vectors of 4, 8 and 16 words, in the compiler's generic vector types: each
// target lowers their shuffles to its own instructions.
typedef uint32_t u32x4 __attribute__((vector_size(16)));
typedef uint32_t u32x8 __attribute__((vector_size(32)));
typedef uint32_t u32x16 __attribute__((vector_size(64)));

// The blocks of rows first, first + 4, first + 8, ..., one in each 128-bit
// slot of a vector.
[[gnu::always_inline]] inline u32x4 row_block(const unsigned char* const* rows, size_t offset, int i) {
    u32x4 block;
    std::memcpy(&block, rows[i] + offset, 16);
    return block;
}
[[gnu::always_inline]] inline void slots(const unsigned char* const* rows, size_t offset, int first, u32x4& out) {
    out = row_block(rows, offset, first);
}
[[gnu::always_inline]] inline void slots(const unsigned char* const* rows, size_t offset, int first, u32x8& out) {
    const u32x4 low = row_block(rows, offset, first), high = row_block(rows, offset, first + 4);
    out = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
}
[[gnu::always_inline]] inline void slots(const unsigned char* const* rows, size_t offset, int first, u32x16& out) {
    u32x8 low, high;
    slots(rows, offset, first, low);
    slots(rows, offset, first + 8, high);
    out = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

// Within each 128-bit slot: the low and the high pairs of words of a and b
// interleaved, (a0 b0 a1 b1) and (a2 b2 a3 b3). (Vectors go by reference: by
// value, an 8- or 16-word vector would change the calling convention with the
// target.)
[[gnu::always_inline]] inline void interleave(const u32x4& a, const u32x4& b, u32x4& low, u32x4& high) {
    low = __builtin_shufflevector(a, b, 0, 4, 1, 5);
    high = __builtin_shufflevector(a, b, 2, 6, 3, 7);
}
[[gnu::always_inline]] inline void interleave(const u32x8& a, const u32x8& b, u32x8& low, u32x8& high) {
    low = __builtin_shufflevector(a, b, 0, 8, 1, 9, 4, 12, 5, 13);
    high = __builtin_shufflevector(a, b, 2, 10, 3, 11, 6, 14, 7, 15);
}
[[gnu::always_inline]] inline void interleave(const u32x16& a, const u32x16& b, u32x16& low, u32x16& high) {
    low = __builtin_shufflevector(a, b, 0, 16, 1, 17, 4, 20, 5, 21, 8, 24, 9, 25, 12, 28, 13, 29);
    high = __builtin_shufflevector(a, b, 2, 18, 3, 19, 6, 22, 7, 23, 10, 26, 11, 27, 14, 30, 15, 31);
}

// Within each 128-bit slot: the low halves of a and b, (a0 a1 b0 b1), and
// the high halves, (a2 a3 b2 b3).
[[gnu::always_inline]] inline void halves(const u32x4& a, const u32x4& b, u32x4& low, u32x4& high) {
    low = __builtin_shufflevector(a, b, 0, 1, 4, 5);
    high = __builtin_shufflevector(a, b, 2, 3, 6, 7);
}
[[gnu::always_inline]] inline void halves(const u32x8& a, const u32x8& b, u32x8& low, u32x8& high) {
    low = __builtin_shufflevector(a, b, 0, 1, 8, 9, 4, 5, 12, 13);
    high = __builtin_shufflevector(a, b, 2, 3, 10, 11, 6, 7, 14, 15);
}
[[gnu::always_inline]] inline void halves(const u32x16& a, const u32x16& b, u32x16& low, u32x16& high) {
    low = __builtin_shufflevector(a, b, 0, 1, 16, 17, 4, 5, 20, 21, 8, 9, 24, 25, 12, 13, 28, 29);
    high = __builtin_shufflevector(a, b, 2, 3, 18, 19, 6, 7, 22, 23, 10, 11, 26, 27, 14, 15, 30, 31);
}

// The same, a vector of rows at a time: the blocks of four rows are loaded
// whole and transposed four by four inside each 128-bit slot, so that slot j
// of a = rows 4j, b = rows 4j + 1, ... become the words k1 of rows 4j ..
// 4j + 3, then k2, k3 and k4. The lane-by-lane load costs a load and a store
// per word; this, a load per block and a few shuffles.
template <typename Vector, int width>
[[gnu::always_inline]] inline void load_block_transposed(const unsigned char* const* rows, size_t offset,
                                                         Block<width>& b) {
    constexpr int rows_per_vector = sizeof(Vector) / 4;
    static_assert(width % rows_per_vector == 0, "lanes come in whole vectors");
    for (int g = 0; g < width; g += rows_per_vector) {
        Vector a0, a1, a2, a3;
        slots(rows + g, offset, 0, a0);
        slots(rows + g, offset, 1, a1);
        slots(rows + g, offset, 2, a2);
        slots(rows + g, offset, 3, a3);
        Vector low01, high01, low23, high23, k1, k2, k3, k4;
        interleave(a0, a1, low01, high01);
        interleave(a2, a3, low23, high23);
        halves(low01, low23, k1, k2);
        halves(high01, high23, k3, k4);
        std::memcpy(b.k1 + g, &k1, sizeof k1);
        std::memcpy(b.k2 + g, &k2, sizeof k2);
        std::memcpy(b.k3 + g, &k3, sizeof k3);
        std::memcpy(b.k4 + g, &k4, sizeof k4);
    }
}

// The last R bytes of each row, padded with zeros to a whole block. A copy
// of a size known at compile time is a few plain loads, and never reads past
// the row.
template <int R, int width>
[[gnu::always_inline]] inline void load_tail(const unsigned char* const* rows, size_t offset, Block<width>& b) {
    for (int l = 0; l < width; ++l) {
        uint32_t w[4] = {0, 0, 0, 0};
        std::memcpy(w, rows[l] + offset, R);
        b.k1[l] = w[0];
        b.k2[l] = w[1];
        b.k3[l] = w[2];
        b.k4[l] = w[3];
    }
}

template <int width>
[[gnu::always_inline]] inline void load_tail(const unsigned char* const* rows, size_t offset, int r, Block<width>& b) {
    switch (r) {
    case 1: load_tail<1, width>(rows, offset, b); break;
    case 2: load_tail<2, width>(rows, offset, b); break;
    case 3: load_tail<3, width>(rows, offset, b); break;
    case 4: load_tail<4, width>(rows, offset, b); break;
    case 5: load_tail<5, width>(rows, offset, b); break;
    case 6: load_tail<6, width>(rows, offset, b); break;
    case 7: load_tail<7, width>(rows, offset, b); break;
    case 8: load_tail<8, width>(rows, offset, b); break;
    case 9: load_tail<9, width>(rows, offset, b); break;
    case 10: load_tail<10, width>(rows, offset, b); break;
    case 11: load_tail<11, width>(rows, offset, b); break;
    case 12: load_tail<12, width>(rows, offset, b); break;
    case 13: load_tail<13, width>(rows, offset, b); break;
    case 14: load_tail<14, width>(rows, offset, b); break;
    default: load_tail<15, width>(rows, offset, b); break;
    }
}

// How blocks are loaded: lane by lane, or a vector of rows at a time.
struct ByLane {};

// MurmurHash3_x86_128 of `width` rows of len bytes, the reference steps lane
// by lane.
template <int width, typename Load>
[[gnu::always_inline]] inline void hash_lanes(const unsigned char* const* rows, int len, uint32_t seed, uint64_t* out1,
                                          uint64_t* out2) {
    constexpr uint32_t c1 = 0x239b961bu, c2 = 0xab0e9789u, c3 = 0x38b34ae5u, c4 = 0xa1e38b93u;
    uint32_t h1[width], h2[width], h3[width], h4[width];
    for (int l = 0; l < width; ++l) h1[l] = h2[l] = h3[l] = h4[l] = seed;

    Block<width> b;
    const int nblocks = len / 16;
    for (int i = 0; i < nblocks; ++i) {
        if constexpr (std::is_same_v<Load, ByLane>) {
            load_block(rows, 16 * static_cast<size_t>(i), b);
        } else {
            load_block_transposed<Load>(rows, 16 * static_cast<size_t>(i), b);
        }
        for (int l = 0; l < width; ++l) {
            h1[l] ^= rotl(b.k1[l] * c1, 15) * c2;
            h1[l] = (rotl(h1[l], 19) + h2[l]) * 5 + 0x561ccd1bu;
            h2[l] ^= rotl(b.k2[l] * c2, 16) * c3;
            h2[l] = (rotl(h2[l], 17) + h3[l]) * 5 + 0x0bcaa747u;
            h3[l] ^= rotl(b.k3[l] * c3, 17) * c4;
            h3[l] = (rotl(h3[l], 15) + h4[l]) * 5 + 0x96cd1c35u;
            h4[l] ^= rotl(b.k4[l] * c4, 18) * c1;
            h4[l] = (rotl(h4[l], 13) + h1[l]) * 5 + 0x32ac3b17u;
        }
    }

    // Every row has the same tail length. The tail words are mixed in without
    // a condition: a word the tail does not reach is zero, and mixing zero
    // into the state leaves it as it was.
    if (const int r = len & 15) {
        load_tail(rows, 16 * static_cast<size_t>(nblocks), r, b);
        for (int l = 0; l < width; ++l) {
            h4[l] ^= rotl(b.k4[l] * c4, 18) * c1;
            h3[l] ^= rotl(b.k3[l] * c3, 17) * c4;
            h2[l] ^= rotl(b.k2[l] * c2, 16) * c3;
            h1[l] ^= rotl(b.k1[l] * c1, 15) * c2;
        }
    }

    // The finalisation in 32-bit lanes, then the halves packed into 64-bit
    // words: in one loop the mixed widths kept the compiler from vectorising.
    const auto n = static_cast<uint32_t>(len);
    for (int l = 0; l < width; ++l) {
        uint32_t a = h1[l] ^ n, b2 = h2[l] ^ n, c = h3[l] ^ n, d = h4[l] ^ n;
        a += b2 + c + d;
        b2 += a;
        c += a;
        d += a;
        a = tessvane::murmur::fmix32(a);
        b2 = tessvane::murmur::fmix32(b2);
        c = tessvane::murmur::fmix32(c);
        d = tessvane::murmur::fmix32(d);
        a += b2 + c + d;
        h1[l] = a;
        h2[l] = b2 + a;
        h3[l] = c + a;
        h4[l] = d + a;
    }
    for (int l = 0; l < width; ++l) {
        out1[l] = uint64_t{h2[l]} << 32 | h1[l];
        out2[l] = uint64_t{h4[l]} << 32 | h3[l];
    }
}

// Groups of `width` rows in lanes, the few left over row by row.
template <int width, typename Load>
[[gnu::always_inline]] inline void hash_rows(const unsigned char* const* rows, size_t count, int len, uint32_t seed,
                                             uint64_t* h1, uint64_t* h2) {
    size_t i = 0;
    for (; i + width <= count; i += width) hash_lanes<width, Load>(rows + i, len, seed, h1 + i, h2 + i);
    hash_rows_scalar(rows + i, count - i, len, seed, h1 + i, h2 + i);
}

}  // namespace lanes

// The same lane code compiled for each instruction set. 32 lanes are two
// vectors of 16 or four of 8: independent chains that hide each other's
// latency, measured faster than one vector's worth on both x86 sets.
constexpr int lane_count = 32;

#if defined(__x86_64__)
// Each ends by clearing the upper halves of the vector registers, which the
// compiler leaves out under link-time optimisation: the SSE code after them
// then ran at a fraction of its speed (the whole insert at 2^20 bits took
// about half as long again).
__attribute__((target("avx512f"))) inline void hash_rows_avx512(const unsigned char* const* rows, size_t count,
                                                                 int len, uint32_t seed, uint64_t* h1, uint64_t* h2) {
    lanes::hash_rows<lane_count, lanes::u32x16>(rows, count, len, seed, h1, h2);
    __builtin_ia32_vzeroupper();
}

__attribute__((target("avx2"))) inline void hash_rows_avx2(const unsigned char* const* rows, size_t count, int len,
                                                           uint32_t seed, uint64_t* h1, uint64_t* h2) {
    lanes::hash_rows<lane_count, lanes::u32x8>(rows, count, len, seed, h1, h2);
    __builtin_ia32_vzeroupper();
}
#elif defined(__aarch64__)
// Compiled for the baseline, which includes Advanced SIMD: every aarch64 CPU
// has it, so the lanes and the transposes become NEON code.
inline void hash_rows_neon(const unsigned char* const* rows, size_t count, int len, uint32_t seed, uint64_t* h1,
                           uint64_t* h2) {
    lanes::hash_rows<lane_count, lanes::u32x4>(rows, count, len, seed, h1, h2);
}
#else
// Compiled for the architecture's baseline, whatever vectors it has.
inline void hash_rows_lanes(const unsigned char* const* rows, size_t count, int len, uint32_t seed, uint64_t* h1,
                            uint64_t* h2) {
    lanes::hash_rows<lane_count, lanes::ByLane>(rows, count, len, seed, h1, h2);
}
#endif

struct HashPath {
    const char* name;
    bool (*runs_here)();
    // The flag /proc/cpuinfo lists when the CPU has what the path needs, or
    // nullptr for a path every CPU of the architecture runs.
    const char* cpuinfo_flag;
    HashRows hash_rows;
};

// Fastest first; the last one runs everywhere.
inline constexpr HashPath hash_paths[] = {
#if defined(__x86_64__)
    {"avx512", cpu::has_avx512f, "avx512f", hash_rows_avx512},
    {"avx2", cpu::has_avx2, "avx2", hash_rows_avx2},
#elif defined(__aarch64__)
    {"neon", cpu::always, nullptr, hash_rows_neon},
#else
    {"lanes", cpu::always, nullptr, hash_rows_lanes},
#endif
    {"scalar", cpu::always, nullptr, hash_rows_scalar},
};

// The fastest path this CPU runs, chosen once.
inline const HashPath& best_hash_path() {
    static const HashPath& best = []() -> const HashPath& {
        for (const HashPath& path : hash_paths) {
            if (path.runs_here()) return path;
        }
        return hash_paths[std::size(hash_paths) - 1];
    }();
    return best;
}

inline const char* hash_path() { return best_hash_path().name; }

inline void hash_rows(const unsigned char* const* rows, size_t count, int len, uint32_t seed, uint64_t* h1,
                      uint64_t* h2) {
    best_hash_path().hash_rows(rows, count, len, seed, h1, h2);
}

// x mod m for a fixed m without a division: with M = floor((2**64 - 1) / m),
// q = floor(x * M / 2**64) is floor(x / m) or one less, so x - q * m lies in
// [0, 2m) and one conditional subtraction finishes. Exact for 1 <= m <= 2**63.
class Reducer {
public:
    explicit Reducer(uint64_t m) : m_(m), inverse_(UINT64_MAX / m) {}

    uint64_t operator()(uint64_t x) const {
        const auto q = static_cast<uint64_t>((static_cast<unsigned __int128>(x) * inverse_) >> 64);
        const uint64_t r = x - q * m_;
        return r >= m_ ? r - m_ : r;
    }

private:
    uint64_t m_, inverse_;
};

// x mod m for m a power of two: the low bits.
class PowerOfTwoReducer {
public:
    explicit PowerOfTwoReducer(uint64_t m) : mask_(m - 1) {}
    uint64_t operator()(uint64_t x) const { return x & mask_; }

private:
    uint64_t mask_;
};

// Calls visit(reducer) with the reducer that suits m (at least 1), so that
// the loops over positions are compiled once for each.
template <typename Visit>
void with_reducer(uint64_t m, Visit visit) {
    if ((m & (m - 1)) == 0) {
        visit(PowerOfTwoReducer(m));
    } else {
        visit(Reducer(m));
    }
}

// Calls visit(k) with k as a constant of its own type (std::integral_constant)
// when it is 16 or less, as nearly every useful k is, and as a plain number
// otherwise: with k known, the loops over a row's positions unroll fully.
template <size_t... K, typename Visit>
bool visit_constant_k(size_t k, Visit& visit, std::index_sequence<K...>) {
    return ((k == K + 1 && (visit(std::integral_constant<size_t, K + 1>{}), true)) || ...);
}

template <typename Visit>
void with_k(size_t k, Visit visit) {
    if (!visit_constant_k(k, visit, std::make_index_sequence<16>{})) visit(k);
}

// Calls each(position) for the k positions of a row whose hash halves are
// h1 and h2: ((h1 + j * h2) mod 2**64) mod m for j = 1..k. Each position is
// independent of the one before, so they overlap in the pipeline. k is a
// number, or a constant (with_k) for a loop the compiler unrolls by itself.
template <typename K, typename Reduce, typename Each>
[[gnu::always_inline]] inline void for_positions(uint64_t h1, uint64_t h2, K k, Reduce reduce, Each each) {
    uint64_t x = h1;
    const auto step = [&] {
        x += h2;
        each(reduce(x));
    };
    if constexpr (std::is_integral_v<K>) {
        WOX_UNROLL for (size_t j = 0; j < k; ++j) step();
    } else {
        for (size_t j = 0; j < k; ++j) step();
    }
}

// The k positions of each of count rows, row after row.
template <typename Reduce>
void positions(const uint64_t* h1, const uint64_t* h2, size_t count, size_t k, Reduce reduce, uint64_t* out) {
    for (size_t i = 0; i < count; ++i) {
        uint64_t* row = out + i * k;
        for_positions(h1[i], h2[i], k, reduce, [&](uint64_t p) { *row++ = p; });
    }
}

}  // namespace woxbloom
