// The engine's entry: the arguments checked, the instruction-set variant
// chosen, the range handed to it.  Compiled for the baseline instruction set
// (nothing here may run AVX before the CPU has been asked).
#include <stdint.h>

#include "export.h"
#include "localfit/engine.h"
#include "localfit/kernel.h"
#include "localfit/localfit.h"
#include "localfit/variants.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace orvel {
namespace {

#if defined(__x86_64__)
// Whether the CPU has every feature bit of `leaf7b` in CPUID leaf 7's EBX and
// the operating system saves every register state of `xcr0` (XGETBV).
// Asked afresh on every call rather than cached: the engine keeps no state,
// and a few CPUID instructions cost little next to a fit of many nodes.
bool cpuHas(unsigned leaf7b, unsigned xcr0)
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
bool cpuHasAvx2() { return cpuHas(bit_AVX2, 0x06); }

// What the AVX-512 variant needs: AVX-512F, with XMM, YMM, opmask, upper
// halves of ZMM0-15 and ZMM16-31 state (XCR0 bits 1, 2, 5, 6, 7).  A test
// build compiles its file for AVX2 instead (ORVEL_AVX512_ON_AVX2), so that
// the eight-lane code runs on CPUs without AVX-512 too.
bool cpuRunsAvx512Variant()
{
#ifdef ORVEL_AVX512_ON_AVX2
    return cpuHasAvx2();
#else
    return cpuHas(bit_AVX512F, 0xe6);
#endif
}

// AMD family 19h with AVX-512 is Zen 4, which splits each 512-bit operation
// into two 256-bit ones: the multiplies a node needs then take as long as
// with AVX2, whose blocks form a few fewer of them (two vectors of a block
// overlap by three rows, and the compiler shares their z*x products).  LLVM
// 16's Zen 4 model puts the AVX-512 blocks 8% (dense kernel) and 4% (Horn's)
// behind AVX2's (tools/mca-blocks.py), so Zen 4 keeps to AVX2.  Zen 5
// (family 1Ah) executes 512 bits at once: AVX-512 measured about 1.6 times
// AVX2's nodes per second there.
bool cpuSplitsZmm()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(0, &a, &b, &c, &d) || b != 0x68747541 || d != 0x69746e65 ||
        c != 0x444d4163)  // "AuthenticAMD"
        return false;
    __get_cpuid(1, &a, &b, &c, &d);
    return (a >> 8 & 0xf) + (a >> 20 & 0xff) == 0x19;
}
#endif

// The variant `isa` stands for on this CPU, or 0.
int variant(int isa)
{
    switch (isa) {
    case ORVEL_ISA_AUTO:
#if defined(__x86_64__)
        if (cpuRunsAvx512Variant() && !cpuSplitsZmm())
            return ORVEL_ISA_AVX512;
        if (cpuHasAvx2())
            return ORVEL_ISA_AVX2;
#endif
        return ORVEL_ISA_GENERIC;
    case ORVEL_ISA_GENERIC:
        return ORVEL_ISA_GENERIC;
#if defined(__x86_64__)
    case ORVEL_ISA_AVX2:
        return cpuHasAvx2() ? ORVEL_ISA_AVX2 : 0;
    case ORVEL_ISA_AVX512:
        return cpuRunsAvx512Variant() ? ORVEL_ISA_AVX512 : 0;
#endif
    default:
        return 0;
    }
}

// Whether g and t describe a fit that stays inside the arrays they name
// (engine.h).  Every comparison is made without overflow, whatever the
// values; no array may be larger than memory, so that no index formed from
// them overflows either.
bool consistent(const orvel_grid* g, const orvel_targets* t)
{
    if (!g || !t)
        return false;
    const ptrdiff_t ny = g->ny, nx = g->nx;
    if (ny < 1 || nx < 1)
        return false;
    if (t->ix0 < 0 || t->ix0 > t->ix1 || t->ix1 > nx || t->iy0 < 0 || t->iy0 > t->iy1 ||
        t->iy1 > ny)
        return false;
    // Columns held: inside the grid, and every target's window among them.
    if (g->col0 < 0 || g->ncol < 0 || g->ncol > nx - g->col0)
        return false;
    const ptrdiff_t first = t->ix0 > h ? t->ix0 - h : 0;
    const ptrdiff_t end = t->ix1 < nx - h ? t->ix1 + h : nx;
    if (g->col0 > first || g->ncol < end - g->col0)
        return false;
    const ptrdiff_t cols = t->ix1 - t->ix0, rows = t->iy1 - t->iy0;
    if (cols == 0 || rows == 0)
        return true;
    if (!g->data || !g->K || !t->F || !t->gFx || !t->gFy)
        return false;
    const ptrdiff_t most = PTRDIFF_MAX / ptrdiff_t(sizeof(double));
    if (g->ncol > most / ny)
        return false;
    // Columns of results one stride apart, each rows long.
    return cols == 1 || (t->stride >= rows && cols - 1 <= (most - rows) / t->stride);
}

} // namespace

template <bool LOO>
int localfit(const orvel_grid* g, const orvel_targets* t, int isa)
{
    if (!consistent(g, t))
        return ORVEL_BAD_ARGS;
    const int v = variant(isa);
    if (v == 0)
        return ORVEL_NO_ISA;
    if (t->ix0 == t->ix1 || t->iy0 == t->iy1)
        return ORVEL_OK;
    switch (v) {
#if defined(__x86_64__)
    case ORVEL_ISA_AVX512:
        fitAvx512<LOO>(*g, *t);
        break;
    case ORVEL_ISA_AVX2:
        fitAvx2<LOO>(*g, *t);
        break;
#endif
    default:
        fitGeneric<LOO>(*g, *t);
    }
    return ORVEL_OK;
}

template int localfit<false>(const orvel_grid*, const orvel_targets*, int);
template int localfit<true>(const orvel_grid*, const orvel_targets*, int);

} // namespace orvel

extern "C" ORVEL_HIDDEN int orvel_localfit(const orvel_grid* g, int loo, const orvel_targets* t,
                                           int isa)
{
    return loo ? orvel::localfit<true>(g, t, isa) : orvel::localfit<false>(g, t, isa);
}

extern "C" ORVEL_HIDDEN int orvel_localfit_isa(int isa) { return orvel::variant(isa); }
