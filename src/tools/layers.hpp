// Growing filters: layers of bits, each an ordinary filter of its own k and m.
// A row goes into the newest layer and is present when any layer holds all
// its positions. A layer holds exactly the bits that a filter of its k and m
// would hold after the same rows: the rows are hashed as the pipeline hashes
// them, and each row's two hash halves give its positions in every layer, so
// a row is hashed once however many layers it meets.
//
// No Python in here: the caller hands over the rows, the layers' words and a
// callback that looks for interruptions, as for the pipeline.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../pipeline.hpp"
#include "../rows.hpp"

namespace woxbloom::layers {

// Rows are hashed this many at a time and then taken through one layer after
// another, so that the dispatch on each layer's m and k is paid once a block.
constexpr size_t rows_per_block = 256;

// The set bits of `count` words.
inline uint64_t count_bits(const uint64_t* words, size_t count) {
    uint64_t set = 0;
    for (size_t i = 0; i < count; ++i) set += static_cast<uint64_t>(__builtin_popcountll(words[i]));
    return set;
}

namespace detail {

// A block of hashed rows on its way through the layers: open[0 .. open_count)
// are the rows, in order, that no layer looked at so far holds; found[r] is 1
// once a layer holds row r.
struct Block {
    explicit Block(size_t rows) : h1(rows), h2(rows), open(rows), kept(rows), found(rows) {}

    void start(size_t count) {
        for (size_t i = 0; i < count; ++i) open[i] = static_cast<uint32_t>(i);
        std::fill(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(count), 0);
        open_count = count;
    }

    std::vector<uint64_t> h1, h2;
    std::vector<uint32_t> open, kept;
    std::vector<unsigned char> found;
    size_t open_count = 0;
};

// Keeps, among source[0 .. standing), the rows whose probes from .. from +
// probes - 1 are all set, in kept; returns how many. Every row's probes are
// read, without a branch: whether a row is absent is a coin flip. A stage of
// N probes, N a constant, is unrolled (N = 0: `probes` of them).
template <size_t N, typename Reduce>
size_t keep_set(const Block& block, const uint64_t* words, Reduce reduce, size_t from, size_t probes,
                const uint32_t* source, size_t standing, uint32_t* kept) {
    const uint64_t* const h1 = block.h1.data();
    const uint64_t* const h2 = block.h2.data();
    const auto check = [words](uint64_t& all) { return [words, &all](uint64_t p) { all &= bit(words, p); }; };
    size_t left = 0;
    for (size_t i = 0; i < standing; ++i) {
        const uint32_t r = source[i];
        const uint64_t step = h2[r];
        uint64_t x = h1[r] + from * step;
        uint64_t all = 1;
        if constexpr (N > 0) {
            WOX_UNROLL for (size_t j = 0; j < N; ++j) {
                for_positions(x, step, std::integral_constant<size_t, 1>{}, reduce, check(all));
                x += step;
            }
        } else {
            for_positions(x, step, probes, reduce, check(all));
        }
        kept[left] = r;
        left += all;
    }
    return left;
}

// Takes the open rows of a block through one layer, in stages of `stage`
// probes, each keeping the rows whose bits were all set. In a layer half
// full, a quarter of the rows outlast a stage of two probes, so an absent row
// costs about 2.7 probes whatever k is. The rows left after the last stage
// are held by the layer, and leave the open list.
template <typename Reduce>
void look_in(Block& block, FilterBits layer, Reduce reduce, size_t stage) {
    const size_t k = layer.k;
    stage = std::max<size_t>(stage, 1);
    const uint32_t* source = block.open.data();
    uint32_t* const kept = block.kept.data();
    size_t standing = block.open_count;
    for (size_t from = 0; from < k && standing > 0; from += stage) {
        const size_t probes = std::min(stage, k - from);
        // Two probes a stage, the usual, as a constant: the loop unrolls.
        standing = probes == 2 ? keep_set<2>(block, layer.words, reduce, from, probes, source, standing, kept)
                               : keep_set<0>(block, layer.words, reduce, from, probes, source, standing, kept);
        source = kept;
    }
    if (standing == 0) return;  // as for nearly every block of absent rows
    unsigned char* const found = block.found.data();
    for (size_t i = 0; i < standing; ++i) found[source[i]] = 1;
    uint32_t* const open = block.open.data();
    size_t left = 0;
    for (size_t i = 0; i < block.open_count; ++i) {
        const uint32_t r = open[i];
        open[left] = r;
        left += found[r] == 0;
    }
    block.open_count = left;
}

inline void look_in(Block& block, FilterBits layer, size_t stage) {
    with_reducer(layer.m, [&](auto reduce) { look_in(block, layer, reduce, stage); });
}

}  // namespace detail

// The newest layer of an insert: its bits, how many of them are set, and the
// count of set bits at which it is full (its estimated rows reach its
// capacity).
struct Newest {
    FilterBits bits;
    uint64_t& set;
    uint64_t full_at;
};

// Inserts rows in order into the newest of `count` layers (at least one; the
// newest is the last). A row that an older layer holds already is left out:
// inserted again, it would only fill the newest layer. Once the newest layer
// is full, a row it holds is left out too, and the first row it does not hold
// ends the call. Returns the rows done: all of them, or the one that needs a
// new layer. newest.set is brought up to date after each block, so the rows
// finished before `interrupted` throws stay set and counted.
template <typename Interrupted>
size_t insert_rows(const RowReader& rows, const FilterBits* layers, size_t count, Newest newest,
                   const Regimes& regimes, Interrupted interrupted) {
    const size_t n = static_cast<size_t>(rows.rows());
    RowHasher hasher(rows, rows_per_block);
    const size_t per_block = hasher.per_block();
    detail::Block block(per_block);
    uint64_t* const words = newest.bits.words;
    for (size_t first = 0; first < n; first += per_block) {
        if (first > 0) interrupted();
        const size_t in_block = std::min(per_block, n - first);
        hasher.hash(first, in_block, block.h1.data(), block.h2.data());
        block.start(in_block);
        for (size_t l = 0; l + 1 < count && block.open_count > 0; ++l) {
            detail::look_in(block, layers[l], regimes.first_probes);
        }
        // The count is kept in a local: through the reference, every store
        // to the words could change it, and it would be read back each row.
        size_t stopped = n;
        uint64_t set = newest.set;
        const uint64_t full_at = newest.full_at;
        const uint64_t* const h1 = block.h1.data();
        const uint64_t* const h2 = block.h2.data();
        const uint32_t* const open = block.open.data();
        const size_t open_count = block.open_count;
        with_reducer(newest.bits.m, [&](auto reduce) {
            with_k(newest.bits.k, [&](auto k) {
                for (size_t i = 0; i < open_count; ++i) {
                    const uint32_t r = open[i];
                    if (set >= full_at) {
                        uint64_t all = 1;
                        for_positions(h1[r], h2[r], k, reduce, [&](uint64_t p) { all &= bit(words, p); });
                        if (all) continue;
                        stopped = first + r;
                        return;
                    }
                    for_positions(h1[r], h2[r], k, reduce, [&](uint64_t p) {
                        uint64_t& word = words[p / 64];
                        const uint64_t mask = uint64_t{1} << (p % 64);
                        set += (word & mask) == 0;
                        word |= mask;
                    });
                }
            });
        });
        newest.set = set;
        if (stopped < n) return stopped;
    }
    return n;
}

// Answers for every row whether some layer holds all its positions: out[r]
// becomes answer[1] when one does, answer[0] when none does. The newest layer,
// the largest, is asked first; a row it holds is not looked for again.
template <typename T, typename Interrupted>
void test_rows(const RowReader& rows, const FilterBits* layers, size_t count, const Regimes& regimes,
               const T (&answer)[2], T* out, Interrupted interrupted) {
    const size_t n = static_cast<size_t>(rows.rows());
    RowHasher hasher(rows, rows_per_block);
    const size_t per_block = hasher.per_block();
    detail::Block block(per_block);
    for (size_t first = 0; first < n; first += per_block) {
        if (first > 0) interrupted();
        const size_t in_block = std::min(per_block, n - first);
        hasher.hash(first, in_block, block.h1.data(), block.h2.data());
        block.start(in_block);
        for (size_t l = count; l > 0 && block.open_count > 0; --l) {
            detail::look_in(block, layers[l - 1], regimes.first_probes);
        }
        for (size_t i = 0; i < in_block; ++i) out[first + i] = answer[block.found[i]];
    }
}

}  // namespace woxbloom::layers
