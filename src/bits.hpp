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

#include <algorithm>
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
//   2  filters loaded from a byte form (from_bytes, __setstate__), before the copy;
//   4  the byte form that to_bytes and __getstate__ write, before it is written;
//   8  filters loaded from a byte form, after the copy.
// Advice before the first touch pays when the kernel has free 2 MiB pages at
// hand. When it has none and its defrag setting is madvise, each fault waits
// while the kernel compacts memory, and a copy into the buffer can take twice
// as long as into plain pages. Advice after the copy costs the caller nothing:
// khugepaged may collapse the pages later, in the background.
// The module cannot see the kernel's settings, so the choice is made when it
// is built; benchmarks/bulk.py builds and measures other choices. Measured
// over fresh processes, the choice is 1 + 8:
//   - a new filter is read and written at random from its first insert on,
//     and on 2 MiB pages that goes twice as fast; its first insert is twice
//     as fast too at the median, and 1.7 times slower at the worst, which
//     later inserts and tests of a few million rows pay back;
//   - a loaded filter is written once, in order, before anything reads it:
//     advised before the copy, a load's worst case was 3.7 times that of one
//     without, its faults waiting for 2 MiB pages; advised after, it costs
//     the load nothing;
//   - the byte form is written once and read in order by its new owner:
//     advised, to_bytes' worst case was 4 times that without.
#ifndef WOXBLOOM_HUGE_PAGE_ADVICE
#define WOXBLOOM_HUGE_PAGE_ADVICE 9
#endif

namespace woxbloom {

enum HugePageAdvice : unsigned {
    advise_configured = 1,
    advise_loaded = 2,
    advise_byte_form = 4,
    advise_loaded_after_copy = 8,
};
constexpr unsigned huge_page_advice = WOXBLOOM_HUGE_PAGE_ADVICE;

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
    // ignored. The input is copied once, straight into the new storage.
    void assign_bytes(uint64_t bits, const unsigned char* data, size_t len) {
        BitArray fresh(bits, false, huge_page_advice & advise_loaded);
        const size_t copied = std::min(len, fresh.byte_count());
        auto* bytes = reinterpret_cast<unsigned char*>(fresh.storage_);
        if (copied > 0) std::memcpy(bytes, data, copied);
        // Fresh mappings are zero already; writing zeros would only fault in
        // pages that nothing else needs.
        if (!fresh.zeroed_ && fresh.bytes_ > copied) std::memset(bytes + copied, 0, fresh.bytes_ - copied);
        if (bits % 64 != 0) fresh.storage_[bits / 64] &= (uint64_t{1} << (bits % 64)) - 1;
        if ((huge_page_advice & advise_loaded_after_copy) && fresh.mapped_) {
            madvise(fresh.storage_, mapped_length(fresh.bytes_), MADV_HUGEPAGE);
        }
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
