// What this CPU can run, read from the CPU itself. The compiler's own
// __builtin_cpu_supports depends on its runtime library having filled in a
// table at start-up, and some toolchains ship a stub that leaves it empty: the
// fast paths would then silently never run. CPUID says what the processor
// has, and XGETBV what the operating system saves on a context switch; a
// vector instruction set is usable only with both.
#pragma once

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cstdint>

namespace woxbloom::cpu {

#if defined(__x86_64__)

struct X86Features {
    bool avx2 = false;
    bool avx512f = false;
};

// XCR0, the register state the OS has enabled. Read by its opcode, so that
// no -mxsave is needed to compile it.
inline uint64_t enabled_state() {
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return uint64_t{high} << 32 | low;
}

inline X86Features read_x86_features() {
    constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;  // leaf 1, ecx
    constexpr unsigned avx2 = 1u << 5, avx512f = 1u << 16;  // leaf 7, ebx
    constexpr uint64_t sse_avx_state = 0x6;                 // XMM and YMM registers
    constexpr uint64_t avx512_state = 0xe0;                 // opmask, ZMM0-15 upper halves, ZMM16-31
    X86Features f;
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & osxsave) == 0 || (c & avx) == 0) return f;
    const uint64_t state = enabled_state();
    if ((state & sse_avx_state) != sse_avx_state || __get_cpuid_max(0, nullptr) < 7) return f;
    __cpuid_count(7, 0, a, b, c, d);
    f.avx2 = (b & avx2) != 0;
    f.avx512f = f.avx2 && (b & avx512f) != 0 && (state & avx512_state) == avx512_state;
    return f;
}

inline const X86Features& x86_features() {
    static const X86Features features = read_x86_features();
    return features;
}

inline bool has_avx2() { return x86_features().avx2; }
inline bool has_avx512f() { return x86_features().avx512f; }

#endif

// For paths built for the architecture's baseline: every CPU of it runs them.
inline bool always() { return true; }

}  // namespace woxbloom::cpu
