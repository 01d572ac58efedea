/* The curvatures of a column of cells (see surface.c), W cells at a time,
 * written once for any vector width. Include with
 *   W             the number of doubles in a vector (2 or 4),
 *   CURV_NAME     the name of the pass,
 *   CURV_LINKAGE  its linkage (static, or hidden),
 *   CURV_TARGET   a function attribute (the instruction set), or nothing.
 * Every lane runs the operations of surface.c's one-cell loops in the same
 * order, and nothing is fused, so every width gives the same bits. */
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#if defined(__SSE2__) || W == 4
#include <immintrin.h>
#endif

typedef double cvd __attribute__((vector_size(8 * W)));
typedef int64_t cvi __attribute__((vector_size(8 * W)));

CURV_TARGET static inline cvd cv_sqrt(cvd x)
{
#if W == 4
    return (cvd) _mm256_sqrt_pd((__m256d) x);
#elif defined(__SSE2__)
    return (cvd) _mm_sqrt_pd((__m128d) x);
#else
    for (int u = 0; u < W; u++) x[u] = sqrt(x[u]);
    return x;
#endif
}

CURV_TARGET static inline cvd cv_load(const double *p)
{
    cvd v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* Whole vectors of the column: the cells from i = 0 in steps of W, up to
 * the last whole one; returns how many cells it did. */
#define CURV_LOOP(EXPR, DIRECTIONAL)                                                 \
    for (; i + W <= n; i += W) {                                                    \
        cvd p = cv_load(ge + i) * a[0], q = cv_load(gn + i) * a[1];                 \
        cvd r = cv_load(b3 + i) * a[2], s = cv_load(b4 + i) * a[3];                 \
        cvd t = cv_load(b5 + i) * a[4];                                             \
        cvd g = p * p + q * q, w = 1 + g, lv = cv_load(F + i) * level;              \
        (void) w; /* not every curvature's expression needs it */                  \
        cvd v = (EXPR);                                                              \
        if (DIRECTIONAL) {                                                           \
            cvi keep = (cvi) (g > lv * lv);                                          \
            v = (cvd) ((keep & (cvi) v) | (~keep & (cvi) ((cvd) {0} + NAN)));        \
        }                                                                            \
        memcpy(out + i, &v, sizeof v);                                               \
    }

CURV_LINKAGE CURV_TARGET ptrdiff_t CURV_NAME(int which, const double *ge, const double *gn,
                                             const double *b3, const double *b4,
                                             const double *b5, const double *F,
                                             const double *a, double level, ptrdiff_t n,
                                             double *out)
{
    ptrdiff_t i = 0;
    switch (which) {
    case CURV_PROFILE:
        CURV_LOOP(-(p * p * r + 2 * p * q * s + q * q * t) / (g * w * cv_sqrt(w)), 1)
        break;
    case CURV_PLAN:
        CURV_LOOP(-(q * q * r - 2 * p * q * s + p * p * t) / (g * cv_sqrt(g)), 1)
        break;
    case CURV_TANGENTIAL:
        CURV_LOOP(-(q * q * r - 2 * p * q * s + p * p * t) / (g * cv_sqrt(w)), 1)
        break;
    case CURV_MEAN:
        CURV_LOOP(-((1 + q * q) * r - 2 * p * q * s + (1 + p * p) * t) / (2 * w * cv_sqrt(w)), 0)
        break;
    case CURV_GAUSSIAN:
        CURV_LOOP((r * t - s * s) / (w * w), 0)
        break;
    default:
        break;
    }
    return i;
}
#undef CURV_LOOP
