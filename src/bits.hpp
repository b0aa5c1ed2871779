// The bits of a filter: m bits in 64-bit words, bit i in word i / 64 at the
// bit of value 2**(i % 64). On a little-endian machine the words' memory, read
// as bytes, is the byte form itself: bit i in byte i / 8 at the bit of value
// 2**(i % 8). Bits from m up to the end of the last word are always zero, so
// the byte form is a plain copy and union and intersect work on whole words.
//
// Large arrays are mapped on their own, on 2 MiB boundaries, and may be asked
// for 2 MiB pages: a random probe into a filter of a gigabyte then misses the
// TLB far less often. Small ones come from the heap.
#pragma once

#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the byte form is the words' memory on little-endian only");

// Which large buffers are asked for 2 MiB pages, a sum of these bits:
//   1  filters made by configure, before their first insert;
//   4  the byte form that to_bytes and __getstate__ write, before it is written;
// and at most one way of placing a filter loaded from a byte form (from_bytes,
// __setstate__), on plain pages without any of them:
//   2  asked for before the copy;
//   8  asked for after the copy: khugepaged collapses the pages in its own time;
//   16 asked for after the copy, then collapsed at once (MADV_COLLAPSE);
//   32 collapsed 2 MiB at a time as the copy goes, each piece while it is
//      still in the cache;
//   64 collapsed 2 MiB at a time before each piece is copied in, so that the
//      copy writes straight into 2 MiB pages;
//   128 the same while collapsing is cheap: once the collapses have taken
//      more than collapse_budget times as long as the copies, in CPU time,
//      the rest is copied onto plain pages;
// and with those that collapse piece by piece (32, 64, 128):
//   256 a collapse refused for want of a 2 MiB page does not stop the next
//      ones, until collapse_refusals in a row have been refused.
// Advice before the first touch pays when the kernel has free 2 MiB pages at
// hand. When it has none and its defrag setting is madvise, each fault waits
// while the kernel compacts memory, and a copy into the buffer can take twice
// as long as into plain pages. On a virtual machine that reports free memory
// to its host, free 2 MiB blocks are the memory reported, and the first write
// to one waits while the host backs it again: 2.5 s a GiB here, against 0.6 s
// for plain pages, which come from smaller free pieces. A collapse (Linux 6.1
// and later) compacts whatever the defrag setting; where the kernel refuses
// it, or has no 2 MiB page even after compacting, the rest of the filter stays
// on plain pages, asked for 2 MiB pages for khugepaged to collapse later.
// The module cannot see the kernel's settings, so the choice is made when it
// is built; benchmarks/bulk.py builds and measures other choices. Measured
// way by way in one process and over fresh processes, the choice is 1 + 64 +
// 256:
//   - a new filter is read and written at random from its first insert on,
//     and on 2 MiB pages that goes twice as fast; its first insert is twice
//     as fast too at the median, and 1.7 times slower at the worst, which
//     later inserts and tests of a few million rows pay back;
//   - a loaded filter is written once, in order, and then read at random: a
//     stored filter is mostly loaded to test many rows, and on plain pages
//     every million rows tested into 1 GiB costs 85 ms more. A 2 MiB page
//     the kernel has at hand costs the load nothing: collapsed before its
//     piece is copied in, it is zeroed about as fast as the piece is copied,
//     and the copy then writes with no faults at all, so the load takes a
//     third of a copy onto plain pages. One the kernel must compact memory
//     for costs about what the plain copy would have. One a virtual
//     machine's host must back again costs four plain copies, but where the
//     free memory is all of that kind plain pages cost as much, and a load
//     that stops collapsing once they are dear (128) then pays for the load
//     and for slow tests too: over fresh, idle and fragmented memory the
//     worst load with ten million rows tested was 64's. On fragmented
//     memory the kernel refuses some collapses and grants others after:
//     going on past its refusals (256), the median load got 1020 MiB of
//     1024 on 2 MiB pages rather than 734, and its worst load with ten
//     million rows tested took 1929 ms rather than 3068;
//   - the byte form is written once and read in order by its new owner:
//     advised, to_bytes' worst case was 4 times that without.
#ifndef WOXBLOOM_HUGE_PAGE_ADVICE
#define WOXBLOOM_HUGE_PAGE_ADVICE 321
#endif

namespace woxbloom {

enum HugePageAdvice : unsigned {
    advise_configured = 1,
    advise_loaded = 2,
    advise_byte_form = 4,
    advise_loaded_after_copy = 8,
    collapse_loaded_after_copy = 16,
    collapse_loaded_while_copied = 32,
    collapse_loaded_before_copy = 64,
    collapse_loaded_while_cheap = 128,
    collapse_past_refusals = 256,
};

// How the pages of a filter loaded from a byte form are placed: the bits of
// the advice above as a choice, so that every way can be tested in one build.
enum class LoadedPages {
    plain,
    advise_before,
    advise_after,
    collapse_after,
    collapse_while_copied,
    collapse_before,
    collapse_while_cheap,
};

constexpr unsigned huge_page_advice = WOXBLOOM_HUGE_PAGE_ADVICE;
constexpr unsigned loaded_advice = huge_page_advice & (advise_loaded | advise_loaded_after_copy |
                                                       collapse_loaded_after_copy | collapse_loaded_while_copied |
                                                       collapse_loaded_before_copy | collapse_loaded_while_cheap);
static_assert((loaded_advice & (loaded_advice - 1)) == 0,
              "WOXBLOOM_HUGE_PAGE_ADVICE names at most one way of placing a loaded filter");
constexpr LoadedPages loaded_pages = loaded_advice == advise_loaded                  ? LoadedPages::advise_before
                                     : loaded_advice == advise_loaded_after_copy     ? LoadedPages::advise_after
                                     : loaded_advice == collapse_loaded_after_copy   ? LoadedPages::collapse_after
                                     : loaded_advice == collapse_loaded_while_copied ? LoadedPages::collapse_while_copied
                                     : loaded_advice == collapse_loaded_before_copy  ? LoadedPages::collapse_before
                                     : loaded_advice == collapse_loaded_while_cheap  ? LoadedPages::collapse_while_cheap
                                                                                     : LoadedPages::plain;

// How many times as long as the copies into them the collapses of a loaded
// filter may take, in all (LoadedPages::collapse_while_cheap), and how many
// collapses are made before that is judged. Measured in CPU time a 2 MiB
// piece: a copy into a 2 MiB page took 0.13 to 0.3 ms here, and a copy onto
// plain pages 1.2 to 1.4 ms, for its 512 faults: nine copies into a 2 MiB
// page. A collapse of a page the kernel had at hand took 0.16 ms; one the
// kernel first compacted memory for 0.7 to 1.1 ms, five to seven copies,
// throughout the load; one a virtual machine's host first backed again 4.5
// to 7 ms, ten to forty copies. So collapses stop once they take eleven
// copies, where a collapse and its copy cost a third more than a plain copy:
// the first two kinds go on, and the third stops within a few pieces. A
// single collapse can wait for a moment's work of the kernel's, so the first
// few are not judged alone.
constexpr double collapse_budget = 11;
constexpr size_t collapses_unjudged = 4;

// How many collapses in a row the kernel may refuse for want of a 2 MiB page
// (ENOMEM) before the rest of a loaded filter is left on plain pages. On
// fragmented memory the kernel refused one here from the 270th to the 420th
// piece of 512 on, and then about half of the pieces after it, at 0.2 to
// 0.5 ms a refusal; a run of refusals says that none will come.
constexpr unsigned collapse_refusals = (huge_page_advice & collapse_past_refusals) ? 16 : 1;

// Linux's advice to collapse a range into 2 MiB pages at once (6.1 and later),
// where the C library's headers predate it; the same number on every
// architecture.
#ifdef MADV_COLLAPSE
constexpr int madvise_collapse = MADV_COLLAPSE;
#else
constexpr int madvise_collapse = 25;
#endif

class BitArray {
public:
    // The largest size filters have ever accepted, with the length error they
    // have always raised beyond it; stored filters and callers rely on both.
    static constexpr uint64_t max_bits = 9223372036854775744u;  // 2**63 - 64
    static constexpr const char* too_long = "vector<bool>::_M_fill_insert";

    BitArray() = default;
    BitArray(BitArray&& other) noexcept { swap(other); }
    BitArray& operator=(BitArray&& other) noexcept {
        BitArray gone(std::move(other));
        swap(gone);
        return *this;
    }
    BitArray(const BitArray&) = delete;
    BitArray& operator=(const BitArray&) = delete;
    ~BitArray() { release(storage_, bytes_, mapped_); }

    // Becomes `bits` clear bits in new storage, and gives the old back. On a
    // length error or a failed allocation nothing changes.
    void assign_zero(uint64_t bits) {
        BitArray fresh(bits, true, huge_page_advice & advise_configured);
        swap(fresh);
    }

    // Becomes `bits` bits whose first ones come from a byte form: byte b gives
    // bits 8b .. 8b + 7; bits past the input are clear, input past `bits` is
    // ignored. The input is copied once, straight into the new storage, whose
    // pages are placed as `pages` (and `budget` and `unjudged`, see
    // collapse_budget) say; the bits are the same whichever way.
    void assign_bytes(uint64_t bits, const unsigned char* data, size_t len, LoadedPages pages = loaded_pages,
                      double budget = collapse_budget, size_t unjudged = collapses_unjudged) {
        BitArray fresh(bits, false, pages == LoadedPages::advise_before);
        const size_t copied = std::min(len, fresh.byte_count());
        auto* bytes = reinterpret_cast<unsigned char*>(fresh.storage_);
        if (fresh.mapped_) {
            copy_placed(bytes, mapped_length(fresh.bytes_), data, copied, pages, budget, unjudged);
        } else if (copied > 0) {
            std::memcpy(bytes, data, copied);
        }
        // Fresh mappings are zero already; writing zeros would only fault in
        // pages that nothing else needs.
        if (!fresh.zeroed_ && fresh.bytes_ > copied) std::memset(bytes + copied, 0, fresh.bytes_ - copied);
        if (bits % 64 != 0) fresh.storage_[bits / 64] &= (uint64_t{1} << (bits % 64)) - 1;
        swap(fresh);
    }

    uint64_t size() const { return bits_; }
    size_t word_count() const { return bytes_ / 8; }
    size_t byte_count() const { return static_cast<size_t>((bits_ + 7) / 8); }
    uint64_t* words() { return storage_; }
    const uint64_t* words() const { return storage_; }

    // The byte form, byte_count() bytes.
    void copy_bytes(unsigned char* out) const {
        if (byte_count() > 0) std::memcpy(out, storage_, byte_count());
    }

    void or_with(const BitArray& other) {
        const uint64_t* theirs = other.storage_;
        for (size_t i = 0; i < word_count(); ++i) storage_[i] |= theirs[i];
    }

    void and_with(const BitArray& other) {
        const uint64_t* theirs = other.storage_;
        for (size_t i = 0; i < word_count(); ++i) storage_[i] &= theirs[i];
    }

private:
    static constexpr size_t huge_page = size_t{1} << 21;

    BitArray(uint64_t bits, bool zero, bool advise) {
        if (bits > max_bits) throw std::length_error(too_long);
        const size_t bytes = static_cast<size_t>((bits + 63) / 64 * 8);
        if (bytes >= huge_page) {
            storage_ = map_huge(bytes, advise);
            mapped_ = zeroed_ = true;
        } else if (bytes > 0) {
            // 64-byte alignment keeps every word of a cache line together.
            storage_ = static_cast<uint64_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
            if (storage_ == nullptr) throw std::bad_alloc();
            if (zero) std::memset(storage_, 0, bytes);
            zeroed_ = zero;
        }
        bits_ = bits;
        bytes_ = bytes;
    }

    // Copies `copied` bytes of data into a new mapping of `length` bytes, whole
    // 2 MiB pages, and places its pages. Only the pieces that receive data are
    // collapsed: the rest stays unfaulted, as a configured filter's does, until
    // an insert writes it.
    static void copy_placed(unsigned char* to, size_t length, const unsigned char* data, size_t copied,
                            LoadedPages pages, double budget, size_t unjudged) {
        if (pages == LoadedPages::collapse_while_cheap) {
            copy_while_cheap(to, data, copied, budget, unjudged);
        } else if (pages == LoadedPages::collapse_before || pages == LoadedPages::collapse_while_copied) {
            const bool before = pages == LoadedPages::collapse_before;
            Collapses collapses;
            bool collapsing = true;
            for (size_t at = 0; at < copied; at += huge_page) {
                if (collapsing && before) collapsing = collapses.before_copy(to + at);
                std::memcpy(to + at, data + at, std::min(huge_page, copied - at));
                if (collapsing && !before) collapsing = collapses.of(to + at);
            }
        } else if (copied > 0) {
            std::memcpy(to, data, copied);
        }
        if (pages != LoadedPages::plain && pages != LoadedPages::advise_before) {
            // Whatever did not get 2 MiB pages here, khugepaged may collapse later.
            madvise(to, length, MADV_HUGEPAGE);
        }
        if (pages == LoadedPages::collapse_after && copied > 0) madvise(to, mapped_length(copied), madvise_collapse);
    }

    // Collapses each piece before it is copied in while that stays cheap:
    // from the piece after the `unjudged` first collapses on, the collapses so
    // far may take `budget` times as long as the copies into them; past that,
    // the rest is copied onto plain pages. The copies are the yardstick, as
    // they take what copying 2 MiB takes on this machine and no more.
    static void copy_while_cheap(unsigned char* to, const unsigned char* data, size_t copied, double budget,
                                 size_t unjudged) {
        Collapses collapses;
        bool collapsing = true;
        double collapsing_time = 0, copying_time = 0;
        size_t collapsed = 0;
        for (size_t at = 0; at < copied; at += huge_page) {
            const size_t n = std::min(huge_page, copied - at);
            if (!collapsing) {
                std::memcpy(to + at, data + at, n);
                continue;
            }
            // CPU time, which a busy machine's other work leaves as it is.
            const double start = thread_seconds();
            collapsing = collapses.before_copy(to + at);
            const double copy_start = thread_seconds();
            std::memcpy(to + at, data + at, n);
            collapsing_time += copy_start - start;
            copying_time += thread_seconds() - copy_start;
            if (++collapsed > unjudged && collapsing_time > budget * copying_time) collapsing = false;
        }
    }

    static double thread_seconds() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    }

    // The collapses of one load, piece by piece; each says whether the next
    // piece should be tried. A kernel before 6.1 refuses the advice (EINVAL),
    // and one with no 2 MiB page to give even after compacting (ENOMEM) may
    // only make each further piece wait for the same answer: collapse_refusals
    // in a row end the collapses. EAGAIN says a page was busy for a moment:
    // that piece is left to khugepaged, and the next one tried.
    class Collapses {
    public:
        // Collapses the 2 MiB piece at `piece` into one 2 MiB page.
        bool of(unsigned char* piece) {
            if (madvise(piece, huge_page, madvise_collapse) == 0) {
                refused_ = 0;
                return true;
            }
            if (errno == EAGAIN) return true;
            return errno == ENOMEM && ++refused_ < collapse_refusals;
        }

        // The same before anything is copied in: a collapse needs a page of
        // the piece written, and the kernel zeroes the rest of the new page.
        bool before_copy(unsigned char* piece) {
            *reinterpret_cast<volatile unsigned char*>(piece) = 0;
            return of(piece);
        }

    private:
        unsigned refused_ = 0;
    };

    // The bytes of a mapping: whole 2 MiB pages.
    static size_t mapped_length(size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

    // A mapping of whole 2 MiB pages that starts on a 2 MiB boundary, marked
    // for huge pages before anything touches it when `advise`. Zero-filled by
    // the kernel.
    static uint64_t* map_huge(size_t bytes, bool advise) {
        const size_t length = mapped_length(bytes);
        if (length < bytes || length + huge_page < length) throw std::bad_alloc();
        void* raw = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
        if (aligned > start) munmap(raw, aligned - start);
        const uintptr_t end = start + length + huge_page;
        if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
        // A hint: without it, 4 KiB pages.
        if (advise) madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
        return reinterpret_cast<uint64_t*>(aligned);
    }

    static void release(uint64_t* storage, size_t bytes, bool mapped) {
        if (storage == nullptr) return;
        if (mapped) {
            munmap(storage, mapped_length(bytes));
        } else {
            std::free(storage);
        }
    }

    void swap(BitArray& other) noexcept {
        std::swap(storage_, other.storage_);
        std::swap(bits_, other.bits_);
        std::swap(bytes_, other.bytes_);
        std::swap(mapped_, other.mapped_);
        std::swap(zeroed_, other.zeroed_);
    }

    uint64_t* storage_ = nullptr;
    uint64_t bits_ = 0;
    size_t bytes_ = 0;  // whole words
    bool mapped_ = false;
    bool zeroed_ = false;
};

// Asks for 2 MiB pages (MADV_HUGEPAGE) or for plain ones (MADV_NOHUGEPAGE)
// under the whole pages of a large buffer that nothing has touched yet, such
// as a new bytes object about to receive a byte form. NumPy asks for 2 MiB
// pages under every array of 4 MiB and more; a buffer written once, in
// order, gains little from them, and each of its faults may wait while the
// kernel compacts memory. Only a hint; the contents and the owner of the
// memory are not affected.
inline void advise_pages(void* buffer, size_t bytes, int advice) {
    constexpr uintptr_t page = 4096;
    if (bytes < (size_t{4} << 20)) return;
    const auto start = (reinterpret_cast<uintptr_t>(buffer) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<uintptr_t>(buffer) + bytes) & ~(page - 1);
    madvise(reinterpret_cast<void*>(start), end - start, advice);
}

}  // namespace woxbloom
