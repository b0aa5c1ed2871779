// Tests of the ways a filter loaded from a byte form gets its pages
// (woxbloom::LoadedPages): whichever way, the bits are the byte form's, and
// the ways that promise 2 MiB pages deliver them where the kernel can.
//
//   test_pages            the bits of every way, against a model of the byte
//                         form, on the heap, on one 2 MiB page and on several;
//   test_pages placement  the pages each way leaves, as /proc/self/smaps shows
//                         them, and the budget of collapse while cheap; skipped
//                         (77) where it cannot show them, as under an emulator
//                         that ignores the advice;
//   test_pages refused    the same bits in a process whose 2 MiB pages are
//                         turned off (PR_SET_THP_DISABLE), where the kernel
//                         refuses every collapse as one before 6.1 does;
//                         skipped (77) where the refusal cannot be arranged.
//                         A refusal for want of a 2 MiB page (ENOMEM), which
//                         the collapses go on past, needs memory that no
//                         compaction can free, and is left to bulk.py.
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bits.hpp"
#include "check.hpp"

using woxbloom::BitArray;
using woxbloom::LoadedPages;

static constexpr size_t huge = size_t{1} << 21;
static constexpr int skipped = 77;  // CTest's SKIP_RETURN_CODE

static const struct {
    LoadedPages pages;
    const char* name;
    bool advised;    // asked for 2 MiB pages by the time the load returns
    bool collapsed;  // on 2 MiB pages by the time the load returns
} ways[] = {
    {LoadedPages::plain, "plain", false, false},
    {LoadedPages::advise_before, "advise before", true, false},
    {LoadedPages::advise_after, "advise after", true, false},
    {LoadedPages::collapse_after, "collapse after", true, true},
    {LoadedPages::collapse_while_copied, "collapse while copied", true, true},
    {LoadedPages::collapse_before, "collapse before", true, true},
    {LoadedPages::collapse_while_cheap, "collapse while cheap", true, true},
};

// A budget that no collapse exceeds: collapse while cheap then collapses
// every piece, as collapse before does.
static constexpr double unlimited = 1e300;

static std::mt19937_64 rng(20260117);

static std::vector<unsigned char> random_bytes(size_t n) {
    std::vector<unsigned char> out(n);
    for (auto& b : out) b = static_cast<unsigned char>(rng());
    return out;
}

// The memory of the words of a filter of m bits loaded from `form`, as the
// byte form defines it: byte b of the input holds bits 8b .. 8b + 7, bits past
// the input are clear, and so is everything from bit m to the end of the last
// word.
static std::vector<unsigned char> model(uint64_t m, const std::vector<unsigned char>& form) {
    std::vector<unsigned char> out(static_cast<size_t>((m + 63) / 64 * 8), 0);
    for (uint64_t b = 0; b < form.size() && b * 8 < m; ++b) {
        const uint64_t kept = m - b * 8 >= 8 ? 8 : m - b * 8;
        out[b] = static_cast<unsigned char>(form[b] & ((1u << kept) - 1));
    }
    return out;
}

// Each way loads the form into an array that held other bits before; every
// way must leave exactly the model's words.
static void check_every_way(uint64_t m, const std::vector<unsigned char>& form, const char* what) {
    const std::vector<unsigned char> expected = model(m, form);
    for (const auto& way : ways) {
        BitArray bits;
        const std::vector<unsigned char> before(4096, 0xa5);
        bits.assign_bytes(32768, before.data(), before.size(), way.pages);
        bits.assign_bytes(m, form.data(), form.size(), way.pages);
        const bool same = bits.size() == m && bits.word_count() * 8 == expected.size() &&
                          std::memcmp(bits.words(), expected.data(), expected.size()) == 0;
        if (!same) std::fprintf(stderr, "%s, %s: the words differ from the byte form's\n", way.name, what);
        CHECK(same);
        if (expected.size() >= huge) CHECK(reinterpret_cast<uintptr_t>(bits.words()) % huge == 0);

        // A refused size leaves the bits as they were.
        bool refused = false;
        try {
            bits.assign_bytes(BitArray::max_bits + 1, form.data(), form.size(), way.pages);
        } catch (const std::length_error&) {
            refused = true;
        }
        CHECK(refused && bits.size() == m && std::memcmp(bits.words(), expected.data(), expected.size()) == 0);
    }
}

static void test_bits() {
    // On the heap; on one 2 MiB page exactly; on several, the last one partly
    // used and the last word partly too.
    const uint64_t sizes[] = {1000 * 8 + 5, uint64_t{1} << 24, (uint64_t{5} << 23) + 8 * 3 + 5};
    for (uint64_t m : sizes) {
        const size_t bytes = static_cast<size_t>((m + 7) / 8);
        // The whole form; more input than bits; input that ends within the
        // first 2 MiB piece and within a later one; none at all.
        const size_t lengths[] = {bytes, bytes + 9, bytes / 3 + 1, bytes - (bytes > huge ? huge / 2 : 1), 0};
        for (size_t len : lengths) {
            const std::string what = std::to_string(m) + " bits from " + std::to_string(len) + " bytes";
            check_every_way(m, random_bytes(len), what.c_str());
        }
    }
}

// --- placement ----------------------------------------------------------------

struct Area {
    bool found = false;
    size_t anon_huge = 0;  // bytes on 2 MiB pages
    bool advised = false;  // VmFlags hg: asked for 2 MiB pages
};

// What /proc/self/smaps says of the mapping that holds `address`. Neighbours
// with the same flags may be merged into it; the checks below allow for that.
static Area area_of(const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    Area area;
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start = 0, end = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> start >> dash >> end && dash == '-' && line.find(':') > line.find(' ')) {
            if (inside) break;
            inside = start <= at && at < end;
            area.found = area.found || inside;
        } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
            area.anon_huge = std::stoul(line.substr(14)) * 1024;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            area.advised = (line + " ").find(" hg ") != std::string::npos;
        }
    }
    return area;
}

// Whether the pages of [start, start + length) are all absent: never faulted in.
static bool untouched(const void* start, size_t length) {
    std::vector<unsigned char> resident(length / 4096);
    if (mincore(const_cast<void*>(start), length, resident.data()) != 0) return false;
    for (unsigned char r : resident) {
        if (r & 1) return false;
    }
    return true;
}

// Whether this process can collapse a written mapping of two 2 MiB pages and
// see it in /proc/self/smaps, with the advice flag beside it; errno of the
// collapse where it failed.
static bool placement_shows(int& error) {
    const size_t length = 2 * huge;
    void* raw = mmap(nullptr, length + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return false;
    auto* start = reinterpret_cast<unsigned char*>((reinterpret_cast<uintptr_t>(raw) + huge - 1) / huge * huge);
    std::memset(start, 1, length);
    madvise(start, length, MADV_HUGEPAGE);
    error = madvise(start, length, woxbloom::madvise_collapse) == 0 ? 0 : errno;
    const Area area = area_of(start);
    munmap(raw, length + huge);
    return error == 0 && area.found && area.advised && area.anon_huge >= length;
}

static int test_placement() {
    int error = 0;
    if (!placement_shows(error)) {
        std::printf("skipped: a collapse here %s, or /proc/self/smaps does not show it\n",
                    error ? std::strerror(error) : "succeeds");
        return skipped;
    }
    // Three and a half pieces of data in a mapping of eight.
    const uint64_t m = uint64_t{8} << 24;
    const std::vector<unsigned char> form = random_bytes(3 * huge + huge / 2);
    const std::vector<unsigned char> expected = model(m, form);
    const size_t filled = 4 * huge;
    for (const auto& way : ways) {
        BitArray bits;
        bits.assign_bytes(m, form.data(), form.size(), way.pages, unlimited);
        // Pieces that receive no data are not faulted in: a short input costs
        // no more memory than it fills. Checked before anything reads them.
        auto* tail = reinterpret_cast<const unsigned char*>(bits.words()) + filled;
        CHECK(untouched(tail, bits.word_count() * 8 - filled));
        CHECK(std::memcmp(bits.words(), expected.data(), expected.size()) == 0);
        const Area area = area_of(bits.words());
        CHECK(area.found);
        if (area.advised != way.advised) std::fprintf(stderr, "%s: advice flag %d\n", way.name, area.advised);
        CHECK(area.advised == way.advised);
        if (way.collapsed) {
            if (area.anon_huge < filled) {
                std::fprintf(stderr, "%s: %zu bytes on 2 MiB pages, not %zu\n", way.name, area.anon_huge, filled);
            }
            CHECK(area.anon_huge >= filled);
        }
    }

    // With no budget at all, the first judged collapse already costs more
    // than the copies allow: the unjudged collapses and the one judged get
    // 2 MiB pages, and the rest, with the same bits, plain pages.
    for (size_t unjudged = 0; unjudged < 2; ++unjudged) {
        BitArray bits;
        bits.assign_bytes(m, form.data(), form.size(), LoadedPages::collapse_while_cheap, 0, unjudged);
        CHECK(std::memcmp(bits.words(), expected.data(), expected.size()) == 0);
        const Area area = area_of(bits.words());
        const size_t collapsed = (unjudged + 1) * huge;
        if (area.anon_huge != collapsed) {
            std::fprintf(stderr, "no budget, %zu unjudged: %zu bytes on 2 MiB pages, not %zu\n", unjudged,
                         area.anon_huge, collapsed);
        }
        CHECK(area.anon_huge == collapsed && area.advised);
    }
    std::printf("the placement of every way checked\n");
    return 0;
}

// With 2 MiB pages turned off for this process, the kernel refuses every
// collapse with EINVAL, as kernels before 6.1 refuse the advice itself: the
// collapsing ways fall back to plain pages, with the same bits.
static int test_refused() {
    if (prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) {
        std::printf("skipped: PR_SET_THP_DISABLE: %s\n", std::strerror(errno));
        return skipped;
    }
    int error = 0;
    placement_shows(error);
    if (error != EINVAL) {
        std::printf("skipped: with 2 MiB pages off, a collapse here %s\n",
                    error ? std::strerror(error) : "still succeeds");
        return skipped;
    }
    test_bits();
    const uint64_t m = uint64_t{4} << 24;
    const std::vector<unsigned char> form = random_bytes(3 * huge);
    for (const auto& way : ways) {
        BitArray bits;
        bits.assign_bytes(m, form.data(), form.size(), way.pages);
        CHECK(std::memcmp(bits.words(), model(m, form).data(), bits.word_count() * 8) == 0);
        CHECK(area_of(bits.words()).anon_huge == 0);
    }
    return 0;
}

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    int status = 0;
    if (mode == "placement") {
        status = test_placement();
    } else if (mode == "refused") {
        status = test_refused();
    } else if (mode.empty()) {
        test_bits();
    } else {
        std::fprintf(stderr, "usage: test_pages [placement | refused]\n");
        return 2;
    }
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    if (status == 0) std::printf("all page checks passed\n");
    return status;
}
