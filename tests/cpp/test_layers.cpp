// The kernels of growing filters against the pipeline's own insert_rows and
// test_rows, one layer and one row at a time: which rows an insert places in
// the newest layer and which it leaves out (held by an older layer, or by a
// full newest one), where it stops, the bits and the count of set bits it
// leaves, and the answers of a test across every layer. Layers of either
// reduction (powers of two and others), k from 1 to past the unrolled ones,
// rows read in place and gathered, blocks of rows cut anywhere.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pipeline.hpp"
#include "tools/layers.hpp"

static int failures = 0;

static void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    ++failures;
}

static std::mt19937_64 rng(20261209);

// n rows of `cols` 4-byte items, C-ordered, or column-major so that they are
// gathered. Some rows repeat earlier ones, as rows inserted twice do.
struct Rows {
    size_t n, cols;
    bool gathered;
    std::vector<uint32_t> items;
    std::ptrdiff_t strides[2];

    Rows(size_t n_, size_t cols_, bool gathered_) : n(n_), cols(cols_), gathered(gathered_), items(n_ * cols_) {
        strides[0] = gathered ? 4 : static_cast<std::ptrdiff_t>(4 * cols);
        strides[1] = gathered ? static_cast<std::ptrdiff_t>(4 * n) : 4;
        for (size_t r = 0; r < n; ++r) {
            const size_t source = r > 0 && rng() % 8 == 0 ? rng() % r : r;
            for (size_t c = 0; c < cols; ++c) at(r, c) = source == r ? static_cast<uint32_t>(rng()) : at(source, c);
        }
    }
    uint32_t& at(size_t r, size_t c) { return gathered ? items[c * n + r] : items[r * cols + c]; }

    // Rows first .. first + count - 1.
    woxbloom::RowReader reader(size_t first, size_t count) const {
        const std::ptrdiff_t shape[2] = {static_cast<std::ptrdiff_t>(count), static_cast<std::ptrdiff_t>(cols)};
        const auto* base = reinterpret_cast<const unsigned char*>(items.data()) + first * strides[0];
        return woxbloom::RowReader(base, 2, shape, strides, 4);
    }
};

struct Layer {
    uint64_t m;
    size_t k;
    std::vector<uint64_t> words;
    woxbloom::FilterBits bits() { return {words.data(), m, k}; }
};

static uint64_t naive_count(const std::vector<uint64_t>& words, uint64_t m) {
    uint64_t set = 0;
    for (uint64_t p = 0; p < m; ++p) set += woxbloom::bit(words.data(), p);
    return set;
}

static const woxbloom::Regimes direct{UINT64_MAX, 64, 2};

// Whether the pipeline's test finds row r in a layer.
static bool holds(Layer& layer, const Rows& rows, size_t r) {
    int answer = -1;
    const int answers[2] = {0, 1};
    woxbloom::test_rows(rows.reader(r, 1), layer.bits(), direct, answers, &answer, [] {});
    return answer == 1;
}

static std::string describe(const std::vector<Layer>& layers, const Rows& rows, uint64_t full_at, size_t first) {
    std::string text;
    for (const Layer& l : layers) text += "(m = " + std::to_string(l.m) + ", k = " + std::to_string(l.k) + ") ";
    return text + "full at " + std::to_string(full_at) + ", " + std::to_string(rows.n) + " rows of " +
           std::to_string(4 * rows.cols) + " bytes" + (rows.gathered ? ", gathered" : "") + ", first probes " +
           std::to_string(first);
}

// Layers of the given shapes, the older ones holding some of the rows and
// random bits besides, the newest a few of the rows; then the layered insert
// and test against the pipeline, row by row.
// The newest layer is full from the start (mode 0), after about a third of
// the bits the rows could set (1), or never (2).
static void check(const std::vector<std::pair<uint64_t, size_t>>& shapes, const Rows& rows, int full_mode,
                  size_t first_probes) {
    std::vector<Layer> layers;
    for (const auto& [m, k] : shapes) layers.push_back({m, k, std::vector<uint64_t>((m + 63) / 64)});
    for (size_t l = 0; l < layers.size(); ++l) {
        Layer& layer = layers[l];
        if (l + 1 < layers.size()) {
            for (auto& w : layer.words) w = rng() & rng();  // a quarter of the bits
            if (layer.m % 64) layer.words.back() &= (uint64_t{1} << (layer.m % 64)) - 1;
        }
        for (size_t r = 0; r < rows.n; ++r) {
            if (rng() % 6 == 0) woxbloom::insert_rows(rows.reader(r, 1), layer.bits(), direct, [] {});
        }
    }
    std::vector<Layer> expected = layers;
    Layer& newest = expected.back();
    uint64_t expected_set = naive_count(newest.words, newest.m);
    const uint64_t full_at = full_mode == 0   ? expected_set
                             : full_mode == 1 ? expected_set + std::min(newest.m - expected_set, rows.n * newest.k / 3)
                                              : UINT64_MAX;
    size_t expected_done = rows.n;
    for (size_t r = 0; r < rows.n; ++r) {
        bool older = false;
        for (size_t l = 0; l + 1 < expected.size(); ++l) older = older || holds(expected[l], rows, r);
        if (older) continue;
        if (expected_set >= full_at) {
            if (holds(newest, rows, r)) continue;
            expected_done = r;
            break;
        }
        woxbloom::insert_rows(rows.reader(r, 1), newest.bits(), direct, [] {});
        expected_set = naive_count(newest.words, newest.m);
    }

    const woxbloom::Regimes regimes{UINT64_MAX, 64, first_probes};
    std::vector<woxbloom::FilterBits> bits;
    for (Layer& l : layers) bits.push_back(l.bits());
    uint64_t set = naive_count(layers.back().words, layers.back().m);
    const size_t done = woxbloom::layers::insert_rows(rows.reader(0, rows.n), bits.data(), bits.size(),
                                                      {bits.back(), set, full_at}, regimes, [] {});
    const std::string what = describe(layers, rows, full_at, first_probes);
    if (done != expected_done) {
        fail(what + ": the insert did " + std::to_string(done) + " rows, not " + std::to_string(expected_done));
    }
    for (size_t l = 0; l < layers.size(); ++l) {
        if (layers[l].words != expected[l].words) fail(what + ": layer " + std::to_string(l) + " has other bits");
    }
    if (set != expected_set) {
        fail(what + ": counted " + std::to_string(set) + " set bits, not " + std::to_string(expected_set));
    }

    std::vector<unsigned char> answers(rows.n, 7);
    const unsigned char answer[2] = {0, 1};
    woxbloom::layers::test_rows(rows.reader(0, rows.n), bits.data(), bits.size(), regimes, answer, answers.data(),
                                [] {});
    for (size_t r = 0; r < rows.n; ++r) {
        bool any = false;
        for (Layer& l : expected) any = any || holds(l, rows, r);
        if (answers[r] != any) {
            fail(what + ": row " + std::to_string(r) + " answered " + std::to_string(answers[r]));
            return;
        }
    }
    for (size_t l = 0; l < layers.size(); ++l) {
        if (layers[l].words != expected[l].words) fail(what + ": the test changed layer " + std::to_string(l));
    }
}

// An insert stopped by its callback keeps exactly the rows before some row,
// and its count of set bits matches the bits.
static void check_interrupted() {
    struct Stop {};
    const Rows rows(1000, 3, false);
    for (int stop_at : {1, 2}) {
        Layer older{4096, 3, std::vector<uint64_t>(64)};
        Layer newest{100003, 7, std::vector<uint64_t>((100003 + 63) / 64)};
        const woxbloom::FilterBits bits[2] = {older.bits(), newest.bits()};
        uint64_t set = 0;
        int calls = 0;
        try {
            woxbloom::layers::insert_rows(rows.reader(0, rows.n), bits, 2, {bits[1], set, UINT64_MAX}, direct, [&] {
                if (++calls == stop_at) throw Stop{};
            });
            fail("the layered insert was not interrupted");
            continue;
        } catch (const Stop&) {
        }
        Layer reference{newest.m, newest.k, std::vector<uint64_t>(newest.words.size())};
        bool prefix = false;
        for (size_t r = 0; r < rows.n && !prefix; ++r) {
            woxbloom::insert_rows(rows.reader(r, 1), reference.bits(), direct, [] {});
            prefix = reference.words == newest.words;
        }
        if (!prefix) fail("an interrupted layered insert kept no prefix of the rows");
        if (set != naive_count(newest.words, newest.m)) fail("an interrupted layered insert miscounted its bits");
    }
}

int main() {
    for (int trial = 0; trial < 64; ++trial) {
        std::vector<uint64_t> words(1 + rng() % 40);
        for (auto& w : words) w = rng() & rng();
        const uint64_t m = 64 * words.size() - rng() % 64;
        words.back() &= m % 64 ? (uint64_t{1} << (m % 64)) - 1 : ~uint64_t{0};
        if (woxbloom::layers::count_bits(words.data(), words.size()) != naive_count(words, m)) fail("count_bits");
    }

    const uint64_t sizes[] = {1, 3, 64, 1000, 4096, 65536, 1000003};
    const size_t ks[] = {1, 2, 7, 13, 31};
    int checked = 0;
    for (size_t layers = 1; layers <= 4; ++layers) {
        for (int variant = 0; variant < 24; ++variant) {
            std::vector<std::pair<uint64_t, size_t>> shapes;
            for (size_t l = 0; l < layers; ++l) shapes.emplace_back(sizes[rng() % 7], ks[rng() % 5]);
            // Around the blocks of 256 rows and the hash's groups of 32.
            const size_t counts[] = {1, 31, 257, 700};
            const Rows rows(counts[variant % 4], 1 + rng() % 9, variant % 2 == 1);
            check(shapes, rows, variant / 4 % 3, size_t{1} + variant / 12 % 2 * 4);
            ++checked;
        }
    }
    // Long gathered rows travel in smaller blocks.
    check({{65536, 7}, {1000003, 9}}, Rows(40, 10000, true), 1, 2);
    check_interrupted();
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all %d layered checks passed\n", checked);
    return 0;
}
