// The hardware floor under the filter's insert and test: the fastest this
// machine does k random one-bit accesses per row, with nothing else in the way.
//
// For each size a bit array lives on 2 MiB pages (mapped, aligned to 2 MiB,
// asked for huge pages before the first touch, then touched), and the
// positions are drawn from a fast generator before the clock starts, so that
// only the accesses are timed:
//   insert  k OR-stores of one bit per row;
//   test    k loads per row, ANDed together and counted, so that no load can
//           be optimised away (no early exit: every row pays k loads).
// Each operation is timed in several variants, and its floor is the fastest:
//   positions  "fresh": a buffer of rows x k positions, read once; "cycled":
//              a set of rows gone through again and again, offered where the
//              array fits in the last-level cache, so that the set stays in
//              cache beside it and reading positions costs next to nothing.
//              The set holds enough rows to touch every line of the array
//              about twice, so that its accesses spread over all of it.
//   prefetch   none (the out-of-order core overlaps what it can), or the words
//              of row i + D requested while row i is done, D = 4 to 64: for
//              reading into every level of cache, for reading into L2 and
//              beyond (L1 is left to the rows at hand), and for insert also
//              for writing.
// Variants take turns within each run, so that a drift in the speed of the
// CPU moves them all. Prints JSON on stdout: for each size and operation every
// variant's wall-clock and CPU ns per row of each run (CPU well below
// wall-clock: other work held the core for part of the run), the variant with
// the lowest median and that median.
//
//   floor [--runs R] LOG2_BITS:ROWS ...     e.g. floor 20:100000 33:1000000
//
// Built with -O2 and no -march, like the module, so that the code is what a
// generic build gives; it uses only the compiler's portable prefetch.
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
constexpr size_t max_ahead = 64;  // rows of positions past the last, for the farthest prefetch

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

// Bytes of the largest cache the kernel lists for CPU 0, or 0 if it lists none.
size_t last_level_cache_bytes() {
    size_t best = 0;
    int best_level = 0;
    for (int index = 0; index < 16; ++index) {
        const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
        std::ifstream level_file(dir + "level"), size_file(dir + "size");
        int level;
        size_t size;
        std::string unit;
        if (!(level_file >> level) || !(size_file >> size)) continue;
        size_file >> unit;  // "K" or "M" follows the number
        size <<= unit == "M" ? 20 : unit == "K" ? 10 : 0;
        if (level > best_level) best = size, best_level = level;
    }
    return best;
}

// How the word of a position is requested ahead of its access.
enum Request { read, read_to_l2, write };

template <Request R>
inline void request(const uint64_t* word) {
    if constexpr (R == write) {
        __builtin_prefetch(word, 1, 3);
    } else {
        __builtin_prefetch(word, 0, R == read ? 3 : 2);
    }
}

// A prefetch for writing compiles to a plain one for generic x86-64; this asks
// for PREFETCHW (listed as "3dnowprefetch" in /proc/cpuinfo), which x86-64
// CPUs without it run as a no-op. Elsewhere the compiler's own is used.
#if defined(__x86_64__)
#define PREFETCH_FOR_WRITE __attribute__((target("prfchw")))
#else
#define PREFETCH_FOR_WRITE
#endif

// Rows of positions from row 0 on; a prefetch Ahead rows on reads past the
// last row, into the max_ahead rows that every buffer holds beyond it. The
// loops over a row's k positions are unrolled: at -O2 the compiler would
// leave them rolled, and in cache their counting would cost as much as the
// accesses. The prefetch loop stays written out in each pass: moved into a
// helper of its own, GCC 12 at -O2 dropped the prefetches without a word
// (check with -S that each pass holds k of them).
template <typename Pos, int Ahead, Request R>
PREFETCH_FOR_WRITE void insert_pass(uint64_t* words, const Pos* pos, size_t rows) {
    for (size_t i = 0; i < rows; ++i) {
        const Pos* row = pos + i * k;
        if constexpr (Ahead > 0) {
#pragma GCC unroll 8
            for (int j = 0; j < k; ++j) request<R>(words + row[Ahead * k + j] / 64);
        }
#pragma GCC unroll 8
        for (int j = 0; j < k; ++j) words[row[j] / 64] |= uint64_t{1} << (row[j] % 64);
    }
}

template <typename Pos, int Ahead, Request R>
uint64_t test_pass(const uint64_t* words, const Pos* pos, size_t rows) {
    uint64_t all_set = 0;
    for (size_t i = 0; i < rows; ++i) {
        const Pos* row = pos + i * k;
        if constexpr (Ahead > 0) {
#pragma GCC unroll 8
            for (int j = 0; j < k; ++j) request<R>(words + row[Ahead * k + j] / 64);
        }
        uint64_t bit = 1;
#pragma GCC unroll 8
        for (int j = 0; j < k; ++j) bit &= words[row[j] / 64] >> (row[j] % 64);
        all_set += bit;
    }
    return all_set;
}

template <typename Pos>
struct Prefetch {
    std::string name;
    void (*insert)(uint64_t*, const Pos*, size_t);
    uint64_t (*test)(const uint64_t*, const Pos*, size_t);  // null: a variant of insert alone
};

template <typename Pos, int Ahead>
void add_ahead(std::vector<Prefetch<Pos>>& out) {
    static_assert(Ahead <= static_cast<int>(max_ahead));
    const std::string ahead = "prefetch " + std::to_string(Ahead) + " ahead";
    out.push_back({ahead, insert_pass<Pos, Ahead, read>, test_pass<Pos, Ahead, read>});
    out.push_back({ahead + " to L2", insert_pass<Pos, Ahead, read_to_l2>, test_pass<Pos, Ahead, read_to_l2>});
    out.push_back({ahead + " for write", insert_pass<Pos, Ahead, write>, nullptr});
}

template <typename Pos>
std::vector<Prefetch<Pos>> prefetches() {
    std::vector<Prefetch<Pos>> out{{"no prefetch", insert_pass<Pos, 0, read>, test_pass<Pos, 0, read>}};
    add_ahead<Pos, 4>(out);
    add_ahead<Pos, 8>(out);
    add_ahead<Pos, 16>(out);
    add_ahead<Pos, 32>(out);
    add_ahead<Pos, 64>(out);
    return out;
}

// Where a variant's positions come from: a buffer of set_rows rows (and
// max_ahead more, the first ones again when cycling), gone through until
// rows rows are done.
template <typename Pos>
struct Source {
    std::string name;
    std::vector<Pos> pos;
    size_t set_rows;

    template <typename Pass>
    void each_chunk(size_t rows, Pass pass) const {
        for (size_t done = 0; done < rows;) {
            const size_t n = std::min(set_rows, rows - done);
            pass(pos.data(), n);
            done += n;
        }
    }
};

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

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

struct Variant {
    std::string name;
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

// {"best": ..., "ns_per_row": ..., "variants": {name: {...}, ...}}
std::string json_operation(const std::vector<Variant>& variants) {
    const Variant* best = &variants[0];
    for (const Variant& v : variants) {
        if (median(v.ns) < median(best->ns)) best = &v;
    }
    std::ostringstream out;
    out.precision(4);
    out << "{\"best\": \"" << best->name << "\", \"ns_per_row\": " << median(best->ns) << ", \"variants\": {";
    for (size_t i = 0; i < variants.size(); ++i) {
        const Variant& v = variants[i];
        out << (i ? ",\n" : "\n") << "        \"" << v.name << "\": {\"ns_per_row\": " << median(v.ns)
            << ", \"ns_runs\": " << json_list(v.ns) << ", \"cpu_ns_runs\": " << json_list(v.cpu_ns) << "}";
    }
    out << "}}";
    return out.str();
}

volatile uint64_t sink;  // test's counts land here, so that its loads must happen

// Positions are 4 bytes where they fit, so that the buffer streamed beside a
// small array is no wider than it must be.
template <typename Pos>
std::string measure(const HugeRegion& region, int log2_bits, size_t rows, int runs, size_t cache_bytes) {
    uint64_t* const words = region.words();
    Xoshiro next(seed + static_cast<uint64_t>(log2_bits));
    const auto draw = [&](size_t n) {
        std::vector<Pos> pos(n * k);
        for (auto& p : pos) p = static_cast<Pos>(next() >> (64 - log2_bits));
        return pos;
    };
    std::vector<Source<Pos>> sources;
    sources.push_back({"fresh", draw(rows + max_ahead), rows});
    const size_t array_bytes = size_t{1} << (log2_bits - 3);
    const size_t cycle_rows = std::max<size_t>(1024, 2 * (array_bytes / 64) / k + 1);
    const bool cycled = array_bytes <= cache_bytes && cycle_rows < rows;
    if (cycled) {
        std::vector<Pos> set = draw(cycle_rows);
        set.insert(set.end(), set.begin(), set.begin() + max_ahead * k);
        sources.push_back({"cycled", std::move(set), cycle_rows});
    }

    std::vector<Variant> insert, test;
    for (const auto& source : sources) {
        for (const auto& prefetch : prefetches<Pos>()) {
            insert.push_back({source.name + ", " + prefetch.name, {}, {}});
            if (prefetch.test) test.push_back({source.name + ", " + prefetch.name, {}, {}});
        }
    }
    // One untimed pass of each source first: the array and the set in cache
    // where they fit, the pages of everything touched.
    for (const auto& source : sources) {
        source.each_chunk(rows, [&](const Pos* pos, size_t n) { insert_pass<Pos, 0, read>(words, pos, n); });
    }
    uint64_t all_set = 0;
    for (int run = 0; run < runs; ++run) {
        size_t i = 0, t = 0;
        for (const auto& source : sources) {
            for (const auto& prefetch : prefetches<Pos>()) {
                insert[i++].time(rows, [&] {
                    source.each_chunk(rows, [&](const Pos* pos, size_t n) { prefetch.insert(words, pos, n); });
                });
            }
        }
        for (const auto& source : sources) {
            for (const auto& prefetch : prefetches<Pos>()) {
                if (!prefetch.test) continue;
                all_set = 0;
                test[t++].time(rows, [&] {
                    source.each_chunk(rows, [&](const Pos* pos, size_t n) { all_set += prefetch.test(words, pos, n); });
                });
                sink = all_set;
            }
        }
    }
    std::ostringstream out;
    out << "\n    {\"log2_bits\": " << log2_bits << ", \"bits\": " << (uint64_t{1} << log2_bits) << ", \"rows\": " << rows
        << ", \"huge_page_bytes\": " << region.huge_bytes() << ", \"cycle_rows\": ";
    if (cycled) {
        out << cycle_rows;
    } else {
        out << "null";
    }
    out << ", \"test_rows_all_set\": " << all_set << ",\n     \"insert\": " << json_operation(insert)
        << ",\n     \"test\": " << json_operation(test) << "}";
    return out.str();
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
    const size_t cache_bytes = last_level_cache_bytes();
    std::printf("  \"k\": %d,\n  \"runs\": %d,\n  \"page_bytes\": %zu,\n  \"last_level_cache_bytes\": %zu,\n", k, runs,
                page, cache_bytes);
    std::printf("  \"sizes\": [");
    for (size_t s = 0; s < sizes.size(); ++s) {
        const auto [log2_bits, rows] = sizes[s];
        const HugeRegion region((uint64_t{1} << log2_bits) / 8);
        const std::string size = log2_bits <= 32 ? measure<uint32_t>(region, log2_bits, rows, runs, cache_bytes)
                                                 : measure<uint64_t>(region, log2_bits, rows, runs, cache_bytes);
        std::printf("%s%s", s ? "," : "", size.c_str());
        std::fflush(stdout);
    }
    std::printf("\n  ]\n}\n");
}
