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
// What the CPU and the operating system offer the wider variants.
struct Cpu {
    bool avx2, avx512;
};

// Asked afresh on every call rather than cached, since the engine keeps no
// state: three CPUID instructions (leaves 0, 1 and 7) and an XGETBV.  Each
// CPUID is cheap on the bare machine, but a virtual machine's hypervisor
// may trap it (measured: about 5 us each in a Firecracker VM), so they are
// asked once a call, not once a question.
Cpu askCpu()
{
    Cpu cpu = {false, false};
    unsigned max, a, b, c, d;
    __cpuid(0, max, b, c, d);
    if (max < 7)
        return cpu;
    __cpuid(1, a, b, c, d);
    if (!(c & bit_OSXSAVE) || !(c & bit_AVX))
        return cpu;
    unsigned lo, hi;  // XCR0: the register states the operating system saves
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    __cpuid_count(7, 0, a, b, c, d);
    // AVX2: XMM and YMM state saved (XCR0 bits 1, 2).  AVX-512F: XMM, YMM,
    // opmask, upper halves of ZMM0-15 and ZMM16-31 (XCR0 bits 1, 2, 5, 6, 7).
    cpu.avx2 = (b & bit_AVX2) && (lo & 0x06) == 0x06;
    cpu.avx512 = (b & bit_AVX512F) && (lo & 0xe6) == 0xe6;
    return cpu;
}

// Whether the AVX-512 variant runs.  It is chosen wherever it runs: on Zen 5
// it gives about 1.6 times AVX2's nodes per second, and on Zen 4, which
// splits each 512-bit operation in two (and whose LLVM 16 model puts the
// AVX-512 blocks 4-8% behind AVX2's, tools/mca-blocks.py), `make bench`
// measured it 6-20% ahead of AVX2 for all three kernels and both entries.  A test build compiles its file for
// AVX2 instead (ORVEL_AVX512_ON_AVX2), so that the eight-lane code runs on
// CPUs without AVX-512 too.
bool runsAvx512Variant(const Cpu& cpu)
{
#ifdef ORVEL_AVX512_ON_AVX2
    return cpu.avx2;
#else
    return cpu.avx512;
#endif
}
#endif

// The variant `isa` stands for on this CPU, or 0.
int variant(int isa)
{
    if (isa == ORVEL_ISA_GENERIC)
        return ORVEL_ISA_GENERIC;
#if defined(__x86_64__)
    if (isa != ORVEL_ISA_AUTO && isa != ORVEL_ISA_AVX2 && isa != ORVEL_ISA_AVX512)
        return 0;
    const Cpu cpu = askCpu();
    switch (isa) {
    case ORVEL_ISA_AVX2:
        return cpu.avx2 ? ORVEL_ISA_AVX2 : 0;
    case ORVEL_ISA_AVX512:
        return runsAvx512Variant(cpu) ? ORVEL_ISA_AVX512 : 0;
    default:  // ORVEL_ISA_AUTO
        if (runsAvx512Variant(cpu))
            return ORVEL_ISA_AVX512;
        return cpu.avx2 ? ORVEL_ISA_AVX2 : ORVEL_ISA_GENERIC;
    }
#else
    return isa == ORVEL_ISA_AUTO ? ORVEL_ISA_GENERIC : 0;
#endif
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
