// The engine's entry: the arguments checked, the instruction-set variant
// chosen, the range handed to it.  Compiled for the baseline instruction set
// (nothing here may run AVX before the CPU has been asked).
#include <stdint.h>

#include "export.h"
#include "localfit/engine.h"
#include "localfit/kernel.h"
#include "localfit/localfit.h"
#include "localfit/variants.h"

#include "cpu/cpu.h"

namespace orvel {
namespace {

#if defined(__x86_64__)
// Whether the AVX-512 variant runs, given the CPU's features f.  It is
// chosen wherever it runs: on Zen 5 it gives about 1.6 times AVX2's nodes per
// second, and on Zen 4, which splits each 512-bit operation in two (and whose
// LLVM 16 model puts the AVX-512 blocks 4-8% behind AVX2's,
// tools/mca-blocks.py), `make bench` measured it 6-20% ahead of AVX2 for all
// three kernels and both entries.  A test build compiles its file for AVX2
// instead (ORVEL_AVX512_ON_AVX2), so that the eight-lane code runs on CPUs
// without AVX-512 too.
bool runsAvx512Variant(unsigned f)
{
#ifdef ORVEL_AVX512_ON_AVX2
    return (f & ORVEL_CPU_AVX2) != 0;
#else
    return orvel_cpu_level_of(f) >= ORVEL_LEVEL_AVX512;
#endif
}
#endif

// The variant `isa` stands for on this CPU, or 0.  Every question but the
// generic one asks the CPU afresh (orvel_cpu_detect(): three CPUID
// instructions and an XGETBV), since the engine keeps no state; a virtual
// machine's hypervisor may trap each (measured: about 5 us in a Firecracker
// VM), so they are asked once a call.
int variant(int isa)
{
    if (isa == ORVEL_ISA_GENERIC)
        return ORVEL_ISA_GENERIC;
#if defined(__x86_64__)
    if (isa != ORVEL_ISA_AUTO && isa != ORVEL_ISA_AVX2 && isa != ORVEL_ISA_AVX512)
        return 0;
    const unsigned f = orvel_cpu_detect();
    const bool avx2 = orvel_cpu_level_of(f) >= ORVEL_LEVEL_AVX2;
    switch (isa) {
    case ORVEL_ISA_AVX2:
        return avx2 ? ORVEL_ISA_AVX2 : 0;
    case ORVEL_ISA_AVX512:
        return runsAvx512Variant(f) ? ORVEL_ISA_AVX512 : 0;
    default:  // ORVEL_ISA_AUTO
        if (runsAvx512Variant(f))
            return ORVEL_ISA_AVX512;
        return avx2 ? ORVEL_ISA_AVX2 : ORVEL_ISA_GENERIC;
    }
#else
    return isa == ORVEL_ISA_AUTO ? ORVEL_ISA_GENERIC : 0;
#endif
}

// The variant of level `level` (orvel_isa_level) in this build.
int variantAt(int level)
{
#if defined(__x86_64__)
    if (level >= ORVEL_LEVEL_AVX512)
        return ORVEL_ISA_AVX512;
    if (level == ORVEL_LEVEL_AVX2)
        return ORVEL_ISA_AVX2;
#endif
    (void)level;
    return ORVEL_ISA_GENERIC;
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

// The targets t of g by variant v (0: none runs), the arguments already
// checked.
template <bool LOO>
int run(const orvel_grid* g, const orvel_targets* t, int v)
{
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

template <bool LOO>
int localfit(const orvel_grid* g, const orvel_targets* t, int isa)
{
    // Arguments checked before the CPU is asked.
    return consistent(g, t) ? run<LOO>(g, t, variant(isa)) : ORVEL_BAD_ARGS;
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

extern "C" ORVEL_HIDDEN int orvel_localfit_at(const orvel_grid* g, int loo, const orvel_targets* t,
                                              int level)
{
    if (!orvel::consistent(g, t))
        return ORVEL_BAD_ARGS;
    const int v = orvel::variantAt(level);
    return loo ? orvel::run<true>(g, t, v) : orvel::run<false>(g, t, v);
}

extern "C" ORVEL_HIDDEN int orvel_localfit_isa_at(int level) { return orvel::variantAt(level); }
