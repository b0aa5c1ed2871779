// Rows through the filter: gather their bytes, hash them in blocks, turn each
// hash into k positions, fetch the words of those positions ahead when the
// filter is too large for the caches, and set or check the bits.
//
// No Python in here: the caller hands over the rows, the words, the sizes at
// which the regimes change and a callback that looks for interruptions, so
// the C++ tests drive every regime on small filters.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "batch.hpp"
#include "rows.hpp"

namespace woxbloom {

// Every stored filter depends on this seed: another one moves every bit.
constexpr uint32_t row_seed = 0xFFFEA282u;

// The bits of a filter: m bits (at least 1) in words, k positions a row (at
// least 1).
struct FilterBits {
    uint64_t* words;
    uint64_t m;
    size_t k;
};

// Where the way of reaching the words changes, and how far ahead they are
// fetched. Up to a few MiB the out-of-order core overlaps the misses by
// itself, and fetching ahead only costs. Beyond, an insert requests the words
// of a row a few rows before it sets them, so that many misses are in flight
// at once, and a test goes in stages (test_in_stages).
struct Regimes {
    uint64_t fetch_ahead_bits = uint64_t{1} << 26;  // 8 MiB
    // Words in flight for an insert: the rows ahead are this many over k.
    size_t fetch_words_ahead = 64;
    // The probes of a row that a test looks at before it fetches the others.
    size_t first_probes = 2;
};

// Requests the word of position p into the L2 cache. A request for the L1
// cache too would evict the lines of the rows being worked on.
inline void fetch(const uint64_t* words, uint64_t p) { __builtin_prefetch(words + p / 64, 0, 2); }

inline void set_bit(uint64_t* words, uint64_t p) { words[p / 64] |= uint64_t{1} << (p % 64); }
inline uint64_t bit(const uint64_t* words, uint64_t p) { return words[p / 64] >> (p % 64) & 1; }

// Gathers and hashes rows a block at a time.
class RowHasher {
public:
    // Blocks of `wanted` rows (a power of two), fewer when gathered rows are
    // long: a power of two still, so that blocks tile a window of rows.
    RowHasher(const RowReader& rows, size_t wanted) : rows_(rows) {
        per_block_ = wanted;
        if (!rows.in_place() && rows.length() > 0) {
            while (per_block_ > 1 && per_block_ * rows.length() > (size_t{1} << 20)) per_block_ /= 2;
            scratch_.resize(per_block_ * rows.length());
        }
        row_ptrs_.resize(per_block_);
    }

    size_t per_block() const { return per_block_; }

    // The hash halves of rows first .. first + count - 1 (count at most a block).
    void hash(size_t first, size_t count, uint64_t* h1, uint64_t* h2) {
        rows_.rows_at(static_cast<std::ptrdiff_t>(first), count, scratch_.data(), row_ptrs_.data());
        hash_rows(row_ptrs_.data(), count, static_cast<int>(rows_.length()), row_seed, h1, h2);
    }

private:
    const RowReader& rows_;
    size_t per_block_;
    std::vector<unsigned char> scratch_;
    std::vector<const unsigned char*> row_ptrs_;
};

namespace detail {

// Rows two groups of hash lanes at a time.
constexpr size_t rows_per_block = 2 * lane_count;

// Hashes a block at a time and calls row(r, positions) for each row, where
// positions(each) calls each(p) for the row's positions; looks for
// interruptions between blocks. k is a constant where with_k makes it one.
template <typename Reduce, typename Row, typename Interrupted>
void each_row(RowHasher& hasher, size_t n, size_t k, Reduce reduce, Row row, Interrupted& interrupted) {
    with_k(k, [&](auto k) {
        const size_t per_block = hasher.per_block();
        std::vector<uint64_t> h1(per_block), h2(per_block);
        for (size_t first = 0; first < n; first += per_block) {
            const size_t count = std::min(per_block, n - first);
            hasher.hash(first, count, h1.data(), h2.data());
            for (size_t i = 0; i < count; ++i) {
                const uint64_t a = h1[i], b = h2[i];
                row(first + i, [&](auto each) { for_positions(a, b, k, reduce, each); });
            }
            interrupted();
        }
    });
}

// The positions of a window of rows, k a row: row r in slot r mod capacity,
// a power of two. Rows are hashed a block at a time as the window reaches
// them; between blocks the caller's callback looks for interruptions.
template <typename Reduce, typename Interrupted>
class PositionWindow {
public:
    // Room for the rows from the one being worked on to the farthest ahead,
    // plus a block: a block is hashed when the farthest row reaches it.
    PositionWindow(RowHasher& hasher, size_t n, size_t k, size_t ahead, Reduce reduce, Interrupted& interrupted)
        : hasher_(hasher),
          n_(n),
          k_(k),
          block_(hasher.per_block()),
          mask_(std::max(power_of_two_above(ahead + block_), block_) - 1),
          reduce_(reduce),
          interrupted_(interrupted),
          h1_(mask_ + 1),
          h2_(mask_ + 1),
          positions_((mask_ + 1) * k) {}

    // Places positions from .. to - 1 of row r (numbered from 0), hashing
    // its block first if need be, and hands each to each(p) as it is made.
    // Rows are first placed in order; a row's later positions may follow.
    template <typename Each>
    void place(size_t r, size_t from, size_t to, Each each) {
        const size_t slot = r & mask_;
        if (r == hashed_) {
            if (r > 0) interrupted_();
            hasher_.hash(r, std::min(block_, n_ - r), &h1_[slot], &h2_[slot]);
            hashed_ += block_;
        }
        uint64_t* out = &positions_[slot * k_ + from];
        const uint64_t h2 = h2_[slot];
        for_positions(h1_[slot] + from * h2, h2, to - from, reduce_, [&](uint64_t p) {
            *out++ = p;
            each(p);
        });
    }

    const uint64_t* at(size_t r) const { return &positions_[(r & mask_) * k_]; }

private:
    static size_t power_of_two_above(size_t x) {
        size_t p = 1;
        while (p < x) p *= 2;
        return p;
    }

    RowHasher& hasher_;
    const size_t n_, k_, block_, mask_;
    Reduce reduce_;
    Interrupted& interrupted_;
    size_t hashed_ = 0;
    std::vector<uint64_t> h1_, h2_, positions_;
};

// For every row r of n, in order: ahead(r + distance), then work(r),
// skipping rows past the last; ahead sees every row once, in order, and
// before work does.
template <typename Ahead, typename Work>
void with_rows_ahead(size_t n, size_t distance, Ahead ahead, Work work) {
    for (size_t a = 0; a < std::min(n, distance); ++a) ahead(a);
    for (size_t r = 0; r < n; ++r) {
        if (r + distance < n) ahead(r + distance);
        work(r);
    }
}

// A test of rows in four stages, a block of rows each, so that the misses of
// a block are in flight while the blocks before it are worked on:
//   1. place the first positions of each row and fetch their words;
//   2. a block later, read them: a row with a clear bit is absent, and the
//      others are kept in a list, without a branch (whether a row is absent is
//      a coin flip, and a wrong guess costs more than the work);
//   3. a block later, place and fetch the other positions of the rows kept;
//   4. a block later, read those and answer.
// An absent row mostly stops at stage 2, its other words never fetched.
template <typename Reduce, typename T, typename Interrupted>
void test_in_stages(RowHasher& hasher, size_t n, FilterBits bits, size_t first, Reduce reduce, const T (&answer)[2],
                    T* out, Interrupted& interrupted) {
    const size_t k = bits.k, per_block = hasher.per_block();
    const uint64_t* const words = bits.words;
    const size_t blocks = (n + per_block - 1) / per_block;
    PositionWindow window(hasher, n, k, 3 * per_block, reduce, interrupted);
    // The rows kept of the last four blocks, block x in part x % 4.
    std::vector<size_t> kept(4 * per_block);
    size_t kept_count[4] = {};
    const auto rows_in = [&](size_t x) { return x < blocks ? std::min(per_block, n - x * per_block) : size_t{0}; };
    const auto fetch_word = [&](uint64_t p) { fetch(words, p); };
    for (size_t step = 0; step < blocks + 3; ++step) {
        // Blocks step, step - 1, step - 2 and step - 3, for stages 1 to 4.
        const size_t placing = step, checking = step - 1, completing = step - 2, answering = step - 3;
        const size_t to_place = rows_in(placing), to_check = step >= 1 ? rows_in(checking) : 0;
        const size_t to_complete = step >= 2 ? kept_count[completing % 4] : 0;
        const size_t to_answer = step >= 3 ? kept_count[answering % 4] : 0;
        size_t* const checked = &kept[checking % 4 * per_block];
        const size_t* const completed = &kept[completing % 4 * per_block];
        const size_t* const answered = &kept[answering % 4 * per_block];
        size_t standing = 0;
        for (size_t i = 0; i < per_block; ++i) {
            if (i < to_place) window.place(placing * per_block + i, 0, first, fetch_word);
            if (i < to_check) {
                const size_t r = checking * per_block + i;
                const uint64_t* p = window.at(r);
                uint64_t all = 1;
                for (size_t j = 0; j < first; ++j) all &= bit(words, p[j]);
                out[r] = answer[0];
                checked[standing] = r;
                standing += all;
            }
            if (i < to_complete) window.place(completed[i], first, k, fetch_word);
            if (i < to_answer) {
                const size_t r = answered[i];
                const uint64_t* p = window.at(r);
                uint64_t all = 1;
                WOX_UNROLL for (size_t j = first; j < k; ++j) all &= bit(words, p[j]);
                out[r] = answer[all];
            }
        }
        if (step >= 1) kept_count[checking % 4] = standing;
    }
}

// Rows ahead for `words` words in flight at k a row: at least one, and no more
// than the call has.
inline size_t rows_ahead(size_t words, size_t k, size_t n) {
    return std::clamp<size_t>(words / k, 1, std::max<size_t>(n, 1));
}

}  // namespace detail

// Sets the k positions of every row. The rows finished before `interrupted`
// throws stay set.
template <typename Interrupted>
void insert_rows(const RowReader& rows, FilterBits bits, const Regimes& regimes, Interrupted interrupted) {
    const size_t n = static_cast<size_t>(rows.rows());
    const size_t k = bits.k;
    uint64_t* const words = bits.words;
    with_reducer(bits.m, [&](auto reduce) {
        RowHasher hasher(rows, detail::rows_per_block);
        if (bits.m < regimes.fetch_ahead_bits) {
            const auto set_row = [words](size_t, auto positions) { positions([&](uint64_t p) { set_bit(words, p); }); };
            detail::each_row(hasher, n, k, reduce, set_row, interrupted);
            return;
        }
        const size_t ahead = detail::rows_ahead(regimes.fetch_words_ahead, k, n);
        detail::PositionWindow window(hasher, n, k, ahead, reduce, interrupted);
        detail::with_rows_ahead(
            n, ahead, [&](size_t a) { window.place(a, 0, k, [&](uint64_t p) { fetch(words, p); }); },
            [&](size_t r) {
                const uint64_t* p = window.at(r);
                WOX_UNROLL for (size_t j = 0; j < k; ++j) set_bit(words, p[j]);
            });
    });
}

// Answers for every row whether all its k positions are set: out[r] becomes
// answer[1] when they are, answer[0] when not. Nothing is written to the
// filter.
template <typename T, typename Interrupted>
void test_rows(const RowReader& rows, FilterBits bits, const Regimes& regimes, const T (&answer)[2], T* out,
               Interrupted interrupted) {
    const size_t n = static_cast<size_t>(rows.rows());
    const size_t k = bits.k;
    const uint64_t* const words = bits.words;
    with_reducer(bits.m, [&](auto reduce) {
        RowHasher hasher(rows, detail::rows_per_block);
        // Within the caches every probe of every row is read, without an
        // early exit: the loads are cheap and a branch on each would be a
        // coin flip.
        if (bits.m < regimes.fetch_ahead_bits) {
            // By value: a store through out may alias what a reference reaches.
            const auto check_row = [words, out, choice = &answer[0]](size_t r, auto positions) {
                uint64_t all = 1;
                positions([&](uint64_t p) { all &= bit(words, p); });
                out[r] = choice[all];
            };
            detail::each_row(hasher, n, k, reduce, check_row, interrupted);
            return;
        }
        detail::test_in_stages(hasher, n, bits, std::min(regimes.first_probes, k), reduce, answer, out, interrupted);
    });
}

}  // namespace woxbloom
