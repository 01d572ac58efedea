/* Detection: the CPU and the operating system asked on every call, nothing
 * kept (cpu.h).  The cached, capped answers are in cpu_once.c, built as an
 * archive of its own, so that a library linking only this file links no
 * static data and reads no environment. */
#include "cpu/cpu.h"

#include "export.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define ORVEL_CPU_X86 1
#endif

#ifdef ORVEL_CPU_X86
/* XCR0, the register states the operating system saves.  Inline assembly,
 * so that no -mxsave is needed; only run once CPUID has reported OSXSAVE. */
static unsigned long long xcr0(void)
{
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return ((unsigned long long)hi << 32) | lo;
}
#endif

ORVEL_HIDDEN unsigned orvel_cpu_detect(void)
{
    unsigned f = 0;
#ifdef ORVEL_CPU_X86
    unsigned max, a, b, c, d;
    __cpuid(0, max, b, c, d);
    if (max < 1)
        return 0;
    __cpuid(1, a, b, c, d);
    const unsigned c1 = c;
    if (!(c1 & bit_OSXSAVE) || !(c1 & bit_AVX))
        return 0;
    const unsigned long long x = xcr0();
    /* XMM and YMM state (bits 1, 2); opmask, ZMM0-15 upper halves and
     * ZMM16-31 (bits 5, 6, 7). */
    const int ymm = (x & 0x06) == 0x06, zmm = (x & 0xe6) == 0xe6;
    if (!ymm)
        return 0;
    f |= ORVEL_CPU_AVX;
    if (c1 & bit_FMA)
        f |= ORVEL_CPU_FMA;
    if (max < 7)
        return f;
    __cpuid_count(7, 0, a, b, c, d);
    if (b & bit_AVX2)
        f |= ORVEL_CPU_AVX2;
    if (zmm && (b & bit_AVX512F)) {
        f |= ORVEL_CPU_AVX512F;
        if (b & bit_AVX512DQ)
            f |= ORVEL_CPU_AVX512DQ;
        if (b & bit_AVX512BW)
            f |= ORVEL_CPU_AVX512BW;
        if (b & bit_AVX512VL)
            f |= ORVEL_CPU_AVX512VL;
    }
#endif
    return f;
}

ORVEL_HIDDEN orvel_isa_level orvel_cpu_level_of(unsigned f)
{
    if (!(f & ORVEL_CPU_AVX2))
        return ORVEL_LEVEL_BASELINE;
    return (f & ORVEL_CPU_AVX512F) ? ORVEL_LEVEL_AVX512 : ORVEL_LEVEL_AVX2;
}
