// The versions of orvel_lp_fit() (lpoly.h), one per instruction set, each
// from fit.inc in a file of its own compiled for that set, and reached only
// through orvel_lp_fit() / orvel_lp_fit_at() once the CPU has been found to
// run it.  x86-64 builds have all three; other targets the baseline alone.
#ifndef ORVEL_LPOLY_VARIANTS_H
#define ORVEL_LPOLY_VARIANTS_H

#include <stddef.h>

struct orvel_lp;

#define ORVEL_LP_FIT_ARGS                                                                    \
    const orvel_lp *P, const double *data, ptrdiff_t col0, ptrdiff_t ncol, ptrdiff_t ix0,    \
        ptrdiff_t ix1, ptrdiff_t iy0, ptrdiff_t iy1, double *const *out, ptrdiff_t stride,   \
        const double *scale, int mode, double *const *var, ptrdiff_t vstride, double *scratch

int orvel_lp_fit_baseline(ORVEL_LP_FIT_ARGS);
#if defined(__x86_64__)
#define ORVEL_LP_HAVE_AVX 1
int orvel_lp_fit_avx2(ORVEL_LP_FIT_ARGS);
int orvel_lp_fit_avx512(ORVEL_LP_FIT_ARGS);
#endif

#endif
