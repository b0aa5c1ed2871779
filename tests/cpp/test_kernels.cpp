// Tests of the native kernels under the filter: every batched hash path this
// CPU can run against the reference function, division-free reduction against
// %, the bit storage and the row reader. Run by CTest; the paths this CPU
// cannot run are named in the output, and one that the kernel says the CPU
// can run but that did not is a failure.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch.hpp"
#include "bits.hpp"
#include "rows.hpp"
#include "check.hpp"

static std::mt19937_64 rng(20261208);

// Each row in an allocation of exactly its length, at an offset of 0 to 7
// bytes from the allocator's alignment, so that a read past a row is caught
// by the address sanitizer and unaligned loads are exercised.
struct Rows {
    std::vector<std::unique_ptr<unsigned char[]>> owners;
    std::vector<const unsigned char*> ptrs;

    Rows(size_t count, int len, size_t shift) {
        for (size_t i = 0; i < count; ++i) {
            const size_t offset = (shift + i) % 8;
            owners.emplace_back(new unsigned char[offset + static_cast<size_t>(len)]);
            unsigned char* row = owners.back().get() + offset;
            for (int b = 0; b < len; ++b) row[b] = static_cast<unsigned char>(rng());
            ptrs.push_back(row);
        }
    }
};

// The feature flags of the first processor in /proc/cpuinfo ("flags" on
// x86, "Features" on ARM), as the kernel reports them.
static std::set<std::string> cpuinfo_flags() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::set<std::string> flags;
    for (std::string line; std::getline(cpuinfo, line);) {
        const std::string key = line.substr(0, line.find(':'));
        if (key.rfind("flags", 0) != 0 && key.rfind("Features", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string word; words >> word;) flags.insert(word);
        break;
    }
    return flags;
}

static void test_hash_paths() {
    const int long_lengths[] = {100, 1000, 4099};
    std::vector<int> lengths;
    for (int len = 0; len <= 64; ++len) lengths.push_back(len);
    lengths.insert(lengths.end(), std::begin(long_lengths), std::end(long_lengths));

    const std::set<std::string> flags = cpuinfo_flags();
    for (const auto& path : woxbloom::hash_paths) {
        if (!path.runs_here()) {
            // A path whose feature the kernel reports must run: detection that
            // fails quietly would leave the fast path unused and untested.
            if (path.cpuinfo_flag != nullptr && flags.count(path.cpuinfo_flag) != 0) {
                std::fprintf(stderr, "hash path %s did not run, but /proc/cpuinfo lists %s\n", path.name,
                             path.cpuinfo_flag);
                ++failures;
            } else {
                std::printf("hash path %s: not run, this CPU lacks %s\n", path.name,
                            path.cpuinfo_flag ? path.cpuinfo_flag : "what it needs");
            }
            continue;
        }
        int compared = 0;
        for (int len : lengths) {
            // One group of lanes, two groups and a remainder, fewer than a group.
            constexpr size_t lanes = woxbloom::lane_count;
            for (size_t count : {lanes, 2 * lanes + 11, size_t{7}}) {
                for (size_t shift : {size_t{0}, size_t{3}}) {
                    const Rows rows(count, len, shift);
                    const uint32_t seed = len % 2 ? 0xFFFEA282u : static_cast<uint32_t>(rng());
                    std::vector<uint64_t> h1(count), h2(count), r1(count), r2(count);
                    path.hash_rows(rows.ptrs.data(), count, len, seed, h1.data(), h2.data());
                    woxbloom::hash_rows_scalar(rows.ptrs.data(), count, len, seed, r1.data(), r2.data());
                    for (size_t i = 0; i < count; ++i) {
                        if (h1[i] != r1[i] || h2[i] != r2[i]) {
                            std::fprintf(stderr, "%s: row %zu of %zu, length %d differs\n", path.name, i, count, len);
                            ++failures;
                        }
                        ++compared;
                    }
                }
            }
        }
        std::printf("hash path %s: %d rows equal to the reference\n", path.name, compared);
    }
    CHECK(std::string(woxbloom::hash_paths[std::size(woxbloom::hash_paths) - 1].name) == "scalar");
    std::printf("this CPU's path: %s\n", woxbloom::hash_path());
}

static void test_reducer() {
    const uint64_t sizes[] = {1, 2, 3, 5, 7, 64, 1000, 1000003, (uint64_t{1} << 32) - 1, uint64_t{1} << 32,
                              (uint64_t{1} << 32) + 1, (uint64_t{1} << 33) + 5, (uint64_t{1} << 62) + 12345,
                              9223372036854775744u, uint64_t{1} << 63};
    std::vector<uint64_t> ms(std::begin(sizes), std::end(sizes));
    for (int i = 0; i < 20; ++i) ms.push_back(rng() >> (rng() % 64) | 1);
    long compared = 0;
    for (uint64_t m : ms) {
        const woxbloom::Reducer reduce(m);
        std::vector<uint64_t> xs = {0, 1, m - 1, m, m + 1, UINT64_MAX, UINT64_MAX - 1, UINT64_MAX - m,
                                    UINT64_MAX / m * m, UINT64_MAX / m * m - 1};
        for (int i = 0; i < 20000; ++i) xs.push_back(rng());
        for (int i = 0; i < 2000; ++i) xs.push_back((rng() % (UINT64_MAX / m)) * m + (rng() % 3) - 1);
        for (uint64_t x : xs) {
            if (reduce(x) != x % m) {
                std::fprintf(stderr, "reduce: %llu mod %llu\n", (unsigned long long)x, (unsigned long long)m);
                ++failures;
            }
            ++compared;
        }
    }
    std::printf("reducer: %ld values equal to %%\n", compared);
}

// Positions are ((h1 + j h2) mod 2**64) mod m for j = 1..k, wrapping included.
static void test_positions() {
    for (uint64_t m : {uint64_t{1}, uint64_t{64}, uint64_t{1000003}, (uint64_t{1} << 33) + 5}) {
        const size_t count = 40, k = 9;
        std::vector<uint64_t> h1(count), h2(count), out(count * k);
        for (size_t i = 0; i < count; ++i) {
            h1[i] = rng();
            h2[i] = rng() | uint64_t{1} << 63;  // large steps wrap past 2**64
        }
        woxbloom::positions(h1.data(), h2.data(), count, k, woxbloom::Reducer(m), out.data());
        for (size_t i = 0; i < count; ++i) {
            for (size_t j = 1; j <= k; ++j) CHECK(out[i * k + j - 1] == (h1[i] + j * h2[i]) % m);
        }
    }
}

static void test_bit_array() {
    using woxbloom::BitArray;
    BitArray bits;
    CHECK(bits.size() == 0 && bits.byte_count() == 0);

    // A failed resize leaves the bits as they were.
    const unsigned char form[] = {0xff, 0xff, 0xff};
    bits.assign_bytes(10, form, sizeof form);
    CHECK(bits.size() == 10 && bits.byte_count() == 2 && bits.words()[0] == 0x3ff);
    bool refused = false;
    try {
        bits.assign_zero(BitArray::max_bits + 1);
    } catch (const std::length_error& e) {
        refused = std::string(e.what()) == "vector<bool>::_M_fill_insert";
    }
    CHECK(refused);
    CHECK(bits.size() == 10 && bits.words()[0] == 0x3ff);

    // Large arrays are mapped on 2 MiB boundaries; bits past the input are
    // clear and bits past m are zero, so the byte form is a plain copy.
    const uint64_t big = (uint64_t{1} << 25) + 3;
    std::vector<unsigned char> input(5000);
    for (auto& b : input) b = static_cast<unsigned char>(rng());
    bits.assign_bytes(big, input.data(), input.size());
    CHECK(reinterpret_cast<uintptr_t>(bits.words()) % (uintptr_t{1} << 21) == 0);
    std::vector<unsigned char> out(bits.byte_count());
    bits.copy_bytes(out.data());
    CHECK(std::memcmp(out.data(), input.data(), input.size()) == 0);
    bool clear = true;
    for (size_t i = input.size(); i < out.size(); ++i) clear = clear && out[i] == 0;
    CHECK(clear);

    std::vector<unsigned char> full(bits.byte_count() + 7, 0xff);
    BitArray other;
    other.assign_bytes(big, full.data(), full.size());
    CHECK(other.words()[other.word_count() - 1] == 0x7);  // 2**25 + 3 bits: 3 in the last word
    bits.or_with(other);
    CHECK(bits.words()[0] == UINT64_MAX && bits.words()[bits.word_count() - 1] == 0x7);
    other.assign_zero(big);
    bits.and_with(other);
    CHECK(bits.words()[0] == 0 && bits.words()[bits.word_count() - 1] == 0);
}

// Gathered rows equal the items read one by one through the strides.
static void test_row_reader() {
    // A (5, 3) view of 4-byte items, every other row and column reversed, out
    // of a (10, 6) C-ordered buffer.
    std::vector<uint32_t> buffer(60);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint32_t>(rng());
    const std::ptrdiff_t shape[] = {5, 3}, strides[] = {2 * 6 * 4, -2 * 4};
    const woxbloom::RowReader rows(buffer.data() + 5, 2, shape, strides, 4);
    CHECK(!rows.in_place() && rows.length() == 12);
    std::vector<unsigned char> scratch(5 * 12);
    const unsigned char* ptrs[5];
    rows.rows_at(0, 5, scratch.data(), ptrs);
    for (int r = 0; r < 5; ++r) {
        for (int c = 0; c < 3; ++c) {
            uint32_t item;
            std::memcpy(&item, ptrs[r] + 4 * c, 4);
            CHECK(item == buffer[5 + 12 * r - 2 * c]);
        }
    }
    const std::ptrdiff_t contiguous[] = {24, 4};
    const woxbloom::RowReader in_place(buffer.data(), 2, shape, contiguous, 4);
    CHECK(in_place.in_place() && in_place.row(2, nullptr) == reinterpret_cast<const unsigned char*>(&buffer[12]));
}

int main() {
    test_hash_paths();
    test_reducer();
    test_positions();
    test_bit_array();
    test_row_reader();
    if (failures) std::fprintf(stderr, "%d check(s) failed\n", failures);
    else std::printf("all kernel checks passed\n");
    return failures ? 1 : 0;
}
