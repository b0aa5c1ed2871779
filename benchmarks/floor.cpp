// The hardware floor under the filter's insert and test: what k random
// one-bit accesses per row cost on this machine, with nothing else in the way.
//
// For each size a bit array lives on 2 MiB pages (mapped, aligned to 2 MiB,
// asked for huge pages before the first touch, then touched), and N rows of k
// positions are drawn from a fast generator into a buffer before the clock
// starts, so that only the accesses are timed:
//   insert  k OR-stores of one bit per row;
//   test    k loads per row, ANDed together and counted, so that no load can
//           be optimised away (no early exit: every row pays k loads).
// Prints JSON on stdout: the median ns per row of each, and every run's
// wall-clock and CPU ns per row (CPU well below wall-clock: other work held
// the core for part of the run).
//
//   floor [--runs R] LOG2_BITS:ROWS ...     e.g. floor 20:100000 33:1000000
//
// Built with -O2 and no -march, like the module, so that the code is what a
// generic x86-64 build gives.
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if __has_include("batch.hpp")
#include "batch.hpp"
#define HAVE_HASH_PATH 1
#endif

namespace {

constexpr int k = 7;
constexpr size_t page = size_t{2} << 20;
constexpr uint64_t seed = 20240601;

// xoshiro256**: a few cycles a number, and its top bits are uniform, which is
// all a position of a power-of-two array needs.
struct Xoshiro {
    uint64_t s[4];
    explicit Xoshiro(uint64_t x) {
        for (auto& word : s) {  // seeded by splitmix64, as its authors advise
            x += 0x9E3779B97F4A7C15u;
            uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
            word = z ^ (z >> 31);
        }
    }
    static uint64_t rotl(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }
    uint64_t operator()() {
        const uint64_t out = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return out;
    }
};

// A zeroed, touched region of whole 2 MiB pages starting on a 2 MiB boundary.
class HugeRegion {
public:
    explicit HugeRegion(size_t bytes) : bytes_((std::max(bytes, size_t{1}) + page - 1) / page * page) {
        // One page more than needed, so that an aligned start fits inside.
        mapped_ = mmap(nullptr, bytes_ + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped_ == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
        const auto start = (reinterpret_cast<uintptr_t>(mapped_) + page - 1) / page * page;
        data_ = reinterpret_cast<uint64_t*>(start);
        // Advice given before the first touch, so that the faults take huge pages
        // where the kernel's mode allows them ("madvise" or "always").
        if (madvise(data_, bytes_, MADV_HUGEPAGE) != 0) std::perror("madvise(MADV_HUGEPAGE)");
        std::memset(data_, 0, bytes_);
    }
    ~HugeRegion() { munmap(mapped_, bytes_ + page); }
    HugeRegion(const HugeRegion&) = delete;
    HugeRegion& operator=(const HugeRegion&) = delete;

    uint64_t* words() const { return data_; }

    // Bytes of the region backed by huge pages, from the AnonHugePages line of
    // the mapping that holds it (the kernel may refuse them).
    long huge_bytes() const {
        std::ifstream smaps("/proc/self/smaps");
        const auto target = reinterpret_cast<uintptr_t>(data_);
        bool inside = false;
        for (std::string line; std::getline(smaps, line);) {
            unsigned long lo, hi;
            if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2) {  // a mapping's first line
                inside = lo <= target && target < hi;
            } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
                return std::atol(line.c_str() + 14) * 1024;
            }
        }
        return -1;
    }

private:
    size_t bytes_;
    void* mapped_;
    uint64_t* data_;
};

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Runs {
    std::vector<double> ns, cpu_ns;  // per row, of each run

    // Times one pass of the accesses over rows rows.
    template <typename Pass>
    void time(size_t rows, Pass pass) {
        const double cpu_start = cpu_seconds();
        const auto start = Clock::now();
        pass();
        const double wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        ns.push_back(wall / static_cast<double>(rows));
        cpu_ns.push_back((cpu_seconds() - cpu_start) * 1e9 / static_cast<double>(rows));
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string json_list(const std::vector<double>& v) {
    std::ostringstream out;
    out.precision(4);
    out << '[';
    for (size_t i = 0; i < v.size(); ++i) out << (i ? ", " : "") << v[i];
    out << ']';
    return out.str();
}

struct Result {
    Runs insert, test;
    uint64_t rows_all_set = 0;
};

// Positions are 4 bytes where they fit, so that the buffer streamed beside a
// small array is no wider than it must be.
template <typename Pos>
Result measure(uint64_t* words, int log2_bits, size_t rows, int runs) {
    std::vector<Pos> pos(rows * k);
    Xoshiro next(seed + static_cast<uint64_t>(log2_bits));
    for (auto& p : pos) p = static_cast<Pos>(next() >> (64 - log2_bits));

    Result r;
    for (int run = 0; run < runs; ++run) {
        r.insert.time(rows, [&] {
            for (size_t i = 0; i < rows * k; ++i) words[pos[i] >> 6] |= uint64_t{1} << (pos[i] & 63);
        });
        uint64_t all_set = 0;
        r.test.time(rows, [&] {
            for (size_t i = 0; i < rows; ++i) {
                const Pos* row = pos.data() + i * k;
                uint64_t bit = 1;
                for (int j = 0; j < k; ++j) bit &= words[row[j] >> 6] >> (row[j] & 63);
                all_set += bit;
            }
        });
        r.rows_all_set = all_set;  // printed, so the loads must happen
    }
    return r;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: floor [--runs R] LOG2_BITS:ROWS ...  (LOG2_BITS 6..40)\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 7;
    std::vector<std::pair<int, size_t>> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
            if (runs < 1) usage();
        } else {
            int log2_bits;
            unsigned long long rows;
            if (std::sscanf(arg.c_str(), "%d:%llu", &log2_bits, &rows) != 2 || log2_bits < 6 || log2_bits > 40 ||
                rows == 0) {
                usage();
            }
            sizes.emplace_back(log2_bits, static_cast<size_t>(rows));
        }
    }
    if (sizes.empty()) usage();

#ifdef HAVE_HASH_PATH
    std::printf("{\n  \"hash_path\": \"%s\",\n", woxbloom::hash_path());
#else
    std::printf("{\n  \"hash_path\": null,\n  \"hash_path_note\": \"src/batch.hpp is not in this tree\",\n");
#endif
    std::printf("  \"k\": %d,\n  \"runs\": %d,\n  \"page_bytes\": %zu,\n", k, runs, page);
    std::printf("  \"sizes\": [");
    for (size_t s = 0; s < sizes.size(); ++s) {
        const auto [log2_bits, rows] = sizes[s];
        const uint64_t bits = uint64_t{1} << log2_bits;
        const HugeRegion region(bits / 8);
        const Result r = log2_bits <= 32 ? measure<uint32_t>(region.words(), log2_bits, rows, runs)
                                         : measure<uint64_t>(region.words(), log2_bits, rows, runs);
        std::printf("%s\n    {\"log2_bits\": %d, \"bits\": %llu, \"rows\": %zu, \"huge_page_bytes\": %ld,\n"
                    "     \"insert_ns_per_row\": %.4g, \"test_ns_per_row\": %.4g, \"test_rows_all_set\": %llu,\n"
                    "     \"insert_ns_runs\": %s, \"test_ns_runs\": %s,\n"
                    "     \"insert_cpu_ns_runs\": %s, \"test_cpu_ns_runs\": %s}",
                    s ? "," : "", log2_bits, static_cast<unsigned long long>(bits), rows, region.huge_bytes(),
                    median(r.insert.ns), median(r.test.ns), static_cast<unsigned long long>(r.rows_all_set),
                    json_list(r.insert.ns).c_str(), json_list(r.test.ns).c_str(), json_list(r.insert.cpu_ns).c_str(),
                    json_list(r.test.cpu_ns).c_str());
        std::fflush(stdout);
    }
    std::printf("\n  ]\n}\n");
}
