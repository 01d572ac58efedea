// The instruction-set variants of the grid fit and the runtime choice among
// them.  Every variant computes the same bits; they differ only in speed.
#ifndef ORVEL_VARIANTS_H
#define ORVEL_VARIANTS_H

#include <stddef.h>

// The build defines ORVEL_HAVE_AVX2_VARIANT when it compiles the AVX2
// translation unit (x86-64 targets only).
#if defined(ORVEL_HAVE_AVX2_VARIANT) && defined(__x86_64__)
#include <cpuid.h>
#else
#undef ORVEL_HAVE_AVX2_VARIANT
#endif

namespace orvel {

template <bool LOO>
void fitGeneric(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K, double* F,
                double* gFx, double* gFy);

#ifdef ORVEL_HAVE_AVX2_VARIANT
template <bool LOO>
void fitAvx2(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K, double* F,
             double* gFx, double* gFy);

// Asked afresh on every call rather than cached: the libraries keep no state,
// and a few CPUID instructions cost nothing next to a grid fit.  AVX2 needs
// the CPU to have it and the operating system to save the YMM registers.
inline bool cpuHasAvx2()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX))
        return false;
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 6) != 6)  // XMM and YMM state enabled
        return false;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_AVX2) != 0;
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
#else
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
