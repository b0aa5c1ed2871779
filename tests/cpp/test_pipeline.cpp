// Every regime of the row pipeline against a plain reference: the bits an
// insert sets and the answers of a test, for each way of reaching the words
// (directly, or fetched ahead, a test in stages), both ways of reducing
// positions (a mask for powers of two, a multiplication otherwise), rows read
// in place and gathered, and distances ahead from one row to more than the
// call has. The regimes are picked by thresholds, so small filters do.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "murmur.hpp"
#include "pipeline.hpp"

static int failures = 0;

static void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    ++failures;
}

static std::mt19937_64 rng(20261208);

// A filter as a caller of the pipeline sees it, and its reference twin.
struct Reference {
    uint64_t m;
    size_t k;
    std::vector<uint64_t> words;

    Reference(uint64_t m_, size_t k_) : m(m_), k(k_), words((m_ + 63) / 64) {}

    // The reference placement: MurmurHash3_x86_128 of the row's bytes, then
    // ((h1 + j h2) mod 2**64) mod m for j = 1..k, with %.
    std::vector<uint64_t> positions(const unsigned char* row, size_t len) const {
        uint64_t h[2];
        tessvane::murmur::MurmurHash3_x86_128(row, static_cast<int>(len), woxbloom::row_seed, h);
        std::vector<uint64_t> out;
        for (uint64_t j = 1; j <= k; ++j) out.push_back((h[0] + j * h[1]) % m);
        return out;
    }
    void insert(const unsigned char* row, size_t len) {
        for (uint64_t p : positions(row, len)) words[p / 64] |= uint64_t{1} << (p % 64);
    }
    bool test(const unsigned char* row, size_t len) const {
        for (uint64_t p : positions(row, len)) {
            if (!(words[p / 64] >> (p % 64) & 1)) return false;
        }
        return true;
    }
};

// n rows of `cols` 4-byte items, stored C-ordered, or column-major so that
// the pipeline gathers them.
struct Rows {
    size_t n, cols;
    bool gathered;
    std::vector<uint32_t> items;
    std::ptrdiff_t shape[2], strides[2];

    Rows(size_t n_, size_t cols_, bool gathered_) : n(n_), cols(cols_), gathered(gathered_), items(n_ * cols_) {
        for (auto& item : items) item = static_cast<uint32_t>(rng());
        shape[0] = static_cast<std::ptrdiff_t>(n);
        shape[1] = static_cast<std::ptrdiff_t>(cols);
        strides[0] = gathered ? 4 : static_cast<std::ptrdiff_t>(4 * cols);
        strides[1] = gathered ? static_cast<std::ptrdiff_t>(4 * n) : 4;
    }
    // The first `count` rows.
    woxbloom::RowReader reader(size_t count) const {
        const std::ptrdiff_t first[2] = {static_cast<std::ptrdiff_t>(count), shape[1]};
        return woxbloom::RowReader(items.data(), 2, first, strides, 4);
    }
    woxbloom::RowReader reader() const { return reader(n); }
    // Row r's bytes, read item by item.
    std::vector<unsigned char> row(size_t r) const {
        std::vector<unsigned char> out(4 * cols);
        for (size_t c = 0; c < cols; ++c) {
            const uint32_t item = gathered ? items[c * n + r] : items[r * cols + c];
            std::memcpy(&out[4 * c], &item, 4);
        }
        return out;
    }
};

struct Case {
    const char* regime;
    woxbloom::Regimes regimes;
};

static std::vector<Case> cases() {
    std::vector<Case> out;
    out.push_back({"direct", {UINT64_MAX, 64, 2}});
    // From one row ahead to more rows than a call has; tests that look at one
    // probe first, or two, or more than some rows have.
    for (size_t words : {size_t{1}, size_t{64}, size_t{100000}}) {
        for (size_t first : {size_t{1}, size_t{2}, size_t{5}}) out.push_back({"fetched ahead", {0, words, first}});
    }
    return out;
}

static std::string describe(const Case& c, uint64_t m, size_t k, const Rows& rows) {
    return std::string(c.regime) + " (words ahead " + std::to_string(c.regimes.fetch_words_ahead) +
           ", first probes " + std::to_string(c.regimes.first_probes) + "), m = " + std::to_string(m) +
           ", k = " + std::to_string(k) + ", " + std::to_string(rows.n) + " rows of " +
           std::to_string(4 * rows.cols) + " bytes" + (rows.gathered ? ", gathered" : "");
}

// Inserts the first half of the rows into a filter whose bits start dense,
// so that absent rows stop in every stage, then tests them all.
static void check(const Case& c, uint64_t m, size_t k, const Rows& rows) {
    Reference ref(m, k);
    for (auto& w : ref.words) w = rng() | rng() | rng();  // seven bits in eight
    if (m % 64) ref.words.back() &= (uint64_t{1} << (m % 64)) - 1;
    std::vector<uint64_t> words = ref.words;

    const size_t inserted = rows.n / 2;
    woxbloom::insert_rows(rows.reader(inserted), {words.data(), m, k}, c.regimes, [] {});
    for (size_t r = 0; r < inserted; ++r) ref.insert(rows.row(r).data(), 4 * rows.cols);
    if (words != ref.words) fail(describe(c, m, k, rows) + ": insert set other bits");

    std::vector<int> answers(rows.n, -1);
    const int answer[2] = {0, 1};
    woxbloom::test_rows(rows.reader(), {words.data(), m, k}, c.regimes, answer, answers.data(), [] {});
    size_t absent = 0;
    for (size_t r = 0; r < rows.n; ++r) {
        const bool want = ref.test(rows.row(r).data(), 4 * rows.cols);
        absent += !want;
        if (answers[r] != int{want}) {
            fail(describe(c, m, k, rows) + ": row " + std::to_string(r) + " answered " + std::to_string(answers[r]));
            return;
        }
    }
    if (words != ref.words) fail(describe(c, m, k, rows) + ": test changed bits");
}

// An insert stopped by its callback keeps exactly the rows before some row.
static void check_interrupted(const Case& c) {
    struct Stop {};
    const uint64_t m = 100003;
    const size_t k = 7;
    const Rows rows(1000, 3, false);
    for (int stop_at : {1, 3}) {
        std::vector<uint64_t> words((m + 63) / 64);
        int calls = 0;
        try {
            woxbloom::insert_rows(rows.reader(), {words.data(), m, k}, c.regimes, [&] {
                if (++calls == stop_at) throw Stop{};
            });
            fail(std::string(c.regime) + ": not interrupted");
            continue;
        } catch (const Stop&) {
        }
        Reference ref(m, k);
        bool prefix = ref.words == words;
        for (size_t r = 0; r < rows.n && !prefix; ++r) {
            ref.insert(rows.row(r).data(), 4 * rows.cols);
            prefix = ref.words == words;
        }
        if (!prefix || ref.words == std::vector<uint64_t>(words.size())) {
            fail(std::string(c.regime) + ": an interrupted insert kept no prefix of the rows");
        }
    }
}

int main() {
    const uint64_t sizes[] = {1, 3, 64, 1000, 4096, 65536, 1000003};
    const size_t ks[] = {1, 2, 3, 7, 31, 300};
    int checked = 0;
    for (const Case& c : cases()) {
        for (uint64_t m : sizes) {
            for (size_t k : ks) {
                const bool gathered = checked % 2 == 1;
                // Around the blocks of 64 rows and the hash's groups of 32.
                for (size_t n : {size_t{2}, size_t{63}, size_t{130}, size_t{301}}) {
                    check(c, m, k, Rows(n, 1 + checked % 9, gathered));
                    ++checked;
                }
            }
        }
        // Long gathered rows travel in smaller blocks.
        check(c, 1000003, 7, Rows(40, 10000, true));
        if (c.regimes.fetch_words_ahead < 1000) check_interrupted(c);  // else every row is hashed before the first is set
    }
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all %d regime checks passed\n", checked);
    return 0;
}
