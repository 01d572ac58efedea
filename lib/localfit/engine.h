/* The exact 7 x 7 local linear fit as a static library: the engine behind
 * both shared libraries' entries and the R package's own routines.
 *
 * A grid's geometry (ny rows, the fast index; nx columns, the slow index) is
 * given apart from the part of it held in memory and from the nodes to fit:
 * the offsets are scaled by the whole grid's ny and nx and every window is
 * clipped at the whole grid's edges, so a node gets the same bits whether it
 * is fitted in a call over the whole grid or over any block of it, in any
 * order, on any thread.
 *
 * Plain C interface, usable from C and C++; no state, no allocation, no
 * threads. */
#ifndef ORVEL_ENGINE_H
#define ORVEL_ENGINE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A grid and the columns of it held in memory. */
typedef struct orvel_grid {
    ptrdiff_t ny, nx;   /* the whole grid: rows (fast index) and columns */
    const double *data; /* columns col0 .. col0 + ncol - 1, each ny values */
    ptrdiff_t col0, ncol;
    const double *K;    /* the 49 weights, (dx + 3) * 7 + (dy + 3) */
} orvel_grid;

/* The nodes to fit, columns ix0 .. ix1 - 1 and rows iy0 .. iy1 - 1, and
 * where their results go: node (ix, iy) at (ix - ix0) * stride + (iy - iy0)
 * of F, gFx and gFy. */
typedef struct orvel_targets {
    ptrdiff_t ix0, ix1, iy0, iy1;
    double *F, *gFx, *gFy;
    ptrdiff_t stride;
} orvel_targets;

/* Instruction-set variants: every one computes the same bits. */
enum {
    ORVEL_ISA_AUTO = 0,    /* the fastest this CPU runs */
    ORVEL_ISA_GENERIC = 1, /* two lanes: SSE2, NEON */
    ORVEL_ISA_AVX2 = 2,
    ORVEL_ISA_AVX512 = 3
};

/* Return values of orvel_localfit(). */
enum {
    ORVEL_OK = 0,
    ORVEL_BAD_ARGS = 1, /* inconsistent sizes or ranges: nothing read or written */
    ORVEL_NO_ISA = 2    /* the variant asked for is not built or not runnable here */
};

/* Fits the targets `t` of grid `g`; loo != 0 leaves each node's own
 * observation out of its own fit.  The columns held must cover every
 * target's window: col0 <= max(ix0 - 3, 0) and col0 + ncol >= min(ix1 + 3, nx).
 * An empty range (ix0 == ix1 or iy0 == iy1) is a success that writes
 * nothing.  The outputs must not overlap the data or the weights.
 *
 * Checked first, returning ORVEL_BAD_ARGS: g and t not null; ny >= 1,
 * nx >= 1; 0 <= ix0 <= ix1 <= nx and 0 <= iy0 <= iy1 <= ny; col0 >= 0,
 * ncol >= 0, col0 + ncol <= nx and the cover above (for an empty range too);
 * and for a non-empty range the five pointers not null, when it has more
 * than one column stride >= iy1 - iy0, and neither the columns held nor the
 * results' extent more bytes than a ptrdiff_t counts.  Then the variant `isa`
 * (ORVEL_NO_ISA), then the empty range.  No state is kept: every call but
 * a generic one asks the CPU (orvel_cpu_detect(): three CPUID instructions
 * and an XGETBV, which a virtual machine may trap at some microseconds
 * each), so a call should fit
 * thousands of nodes rather than a few.  Columns are contiguous: blocks of
 * whole columns run as fast as the whole grid (32 at a time on a 1500 x 1200
 * grid: within 2%), bands of rows slower (100 rows at a time: 30% longer). */
int orvel_localfit(const orvel_grid *g, int loo, const orvel_targets *t, int isa);

/* The variant `isa` stands for on this CPU (ORVEL_ISA_AUTO: the one chosen),
 * or 0 if it is not built or this CPU cannot run it. */
int orvel_localfit_isa(int isa);

/* orvel_localfit() for a caller that has chosen the instruction-set level
 * itself (an orvel_isa_level of cpu/cpu.h, say orvel_cpu_level()'s): the
 * variant orvel_localfit_isa_at(level) runs, and the CPU is not asked, so
 * the level must be one it runs (checked: the arguments only, as above). */
int orvel_localfit_at(const orvel_grid *g, int loo, const orvel_targets *t, int level);

/* The variant level `level` runs in this build: ORVEL_ISA_AVX512,
 * ORVEL_ISA_AVX2 or ORVEL_ISA_GENERIC (the only one off x86-64). */
int orvel_localfit_isa_at(int level);

#ifdef __cplusplus
}
#endif

#endif
