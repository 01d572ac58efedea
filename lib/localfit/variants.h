// The instruction-set variants of the grid fit and the runtime choice among
// them.  Every variant computes the same bits; they differ only in speed.
#ifndef ORVEL_VARIANTS_H
#define ORVEL_VARIANTS_H

#include <stddef.h>

// The build defines ORVEL_HAVE_AVX2_VARIANT and ORVEL_HAVE_AVX512_VARIANT
// when it compiles the AVX2 and AVX-512 translation units (x86-64 targets
// only).
#if defined(__x86_64__) && (defined(ORVEL_HAVE_AVX2_VARIANT) || defined(ORVEL_HAVE_AVX512_VARIANT))
#include <cpuid.h>
#else
#undef ORVEL_HAVE_AVX2_VARIANT
#undef ORVEL_HAVE_AVX512_VARIANT
#endif

namespace orvel {

template <bool LOO>
void fitGeneric(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K, double* F,
                double* gFx, double* gFy);

#if defined(ORVEL_HAVE_AVX2_VARIANT) || defined(ORVEL_HAVE_AVX512_VARIANT)
template <bool LOO>
void fitAvx2(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K, double* F,
             double* gFx, double* gFy);
template <bool LOO>
void fitAvx512(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K, double* F,
               double* gFx, double* gFy);

// Whether the CPU has every feature bit of `leaf7b` in CPUID leaf 7's EBX and
// the operating system saves every register state of `xcr0` (XGETBV).
// Asked afresh on every call rather than cached: the libraries keep no state,
// and a few CPUID instructions cost nothing next to a grid fit.
inline bool cpuHas(unsigned leaf7b, unsigned xcr0)
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX))
        return false;
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & xcr0) != xcr0)
        return false;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & leaf7b) == leaf7b;
}

// AVX2: XMM and YMM state (XCR0 bits 1, 2).
inline bool cpuHasAvx2() { return cpuHas(bit_AVX2, 0x06); }

// AVX-512F: XMM, YMM, opmask, upper halves of ZMM0-15 and ZMM16-31 (XCR0
// bits 1, 2, 5, 6, 7).
inline bool cpuHasAvx512() { return cpuHas(bit_AVX512F, 0xe6); }

// AMD family 19h with AVX-512 is Zen 4, which splits each 512-bit operation
// into two 256-bit ones: the multiplies a node needs then take as long as
// with AVX2, whose blocks form a few fewer of them (two vectors of a block
// overlap by three rows, and the compiler shares their z*x products).  LLVM
// 16's Zen 4 model puts the AVX-512 blocks 8% (dense kernel) and 4% (Horn's)
// behind AVX2's (tools/mca-blocks.py), so Zen 4 keeps to AVX2.  Zen 5
// (family 1Ah) executes 512 bits at once: AVX-512 measured about 1.6 times
// AVX2's nodes per second there.
inline bool cpuSplitsZmm()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(0, &a, &b, &c, &d) || b != 0x68747541 || d != 0x69746e65 ||
        c != 0x444d4163)  // "AuthenticAMD"
        return false;
    __get_cpuid(1, &a, &b, &c, &d);
    return (a >> 8 & 0xf) + (a >> 20 & 0xff) == 0x19;
}
#endif

// Both dimensions positive.  A test build may pin the choice with
// ORVEL_FORCE_ISA_<variant>.
template <bool LOO>
inline void fitDispatch(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K,
                        double* F, double* gFx, double* gFy)
{
#if defined(ORVEL_FORCE_ISA_generic)
    fitGeneric<LOO>(data, ny, nx, K, F, gFx, gFy);
#elif defined(ORVEL_FORCE_ISA_avx2)
    fitAvx2<LOO>(data, ny, nx, K, F, gFx, gFy);
#elif defined(ORVEL_FORCE_ISA_avx512)
    fitAvx512<LOO>(data, ny, nx, K, F, gFx, gFy);
#else
#ifdef ORVEL_HAVE_AVX512_VARIANT
    if (cpuHasAvx512() && !cpuSplitsZmm()) {
        fitAvx512<LOO>(data, ny, nx, K, F, gFx, gFy);
        return;
    }
#endif
#ifdef ORVEL_HAVE_AVX2_VARIANT
    if (cpuHasAvx2()) {
        fitAvx2<LOO>(data, ny, nx, K, F, gFx, gFy);
        return;
    }
#endif
    fitGeneric<LOO>(data, ny, nx, K, F, gFx, gFy);
#endif
}

} // namespace orvel

#endif
