/* The slope and aspect pass over a block of raster rows, written once for
 * any vector width. Include with
 *   W              the number of doubles in a vector (2 or 4),
 *   ANGLES_NAME    the name of the pass,
 *   ANGLES_LINKAGE its linkage (static, or hidden),
 *   ANGLES_TARGET  a function attribute (the instruction set), or nothing.
 * Every lane runs the same operations in the same order whatever W is, so
 * all widths give the same bits (no width has fused multiply-adds).
 *
 * The arc tangent is this file's own, W cells at a time, rather than libm's
 * atan2() one cell at a time: libm's branches on its argument (reduction
 * intervals, signs), which on real gradients go either way at random, and
 * it works for the last half bit on every call. The one below has no branch
 * on the data and is within three units in the last place of the true
 * angle; the package's tests check it against libm. Zero, infinite, NaN and
 * huge arguments go to libm, which knows their conventions. */
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "geometry.h"
#if defined(__SSE2__) || W == 4
#include <immintrin.h>
#endif

/* GCC and clang vector extensions. */
typedef double vd __attribute__((vector_size(8 * W)));
typedef int64_t vi __attribute__((vector_size(8 * W)));

#define PIO4 0.78539816339744830962
#define PIO2 1.57079632679489661923
/* pi/2 minus the double nearest it, added back where an angle is pi/2 or
 * pi/4 plus or minus a small one. */
#define PIO2_LO 6.123233995736765886130e-17
/* Above tan(pi/8), t is taken to (t - 1) / (t + 1) and pi/4 added, so the
 * rational function only ever sees |t| <= tan(pi/8). */
#define TAN_PIO8 0.41421356237309504880
/* Below this, the largest of |y| and |x| leaves |y| + |x| finite. */
#define FAST_MAX 8e307

ANGLES_TARGET static inline vd sel(vi m, vd a, vd b)
{
    return (vd) ((m & (vi) a) | (~m & (vi) b));
}

/* atan2(y, x), lane by lane, for 0 < max(|y|, |x|) < FAST_MAX. *ok gets -1
 * in the lanes where that holds, 0 in the others (whose result is junk). */
ANGLES_TARGET static inline vd atan2_v(vd y, vd x, vi *ok)
{
    const vi sign = (vi) {0} + INT64_MIN;
    vd ay = (vd) ((vi) y & ~sign), ax = (vd) ((vi) x & ~sign);
    vi sw = (vi) (ay > ax);
    vd mn = sel(sw, ax, ay), mx = sel(sw, ay, ax);
    *ok = (vi) (mx > 0.0) & (vi) (mx < FAST_MAX);
    vi big = (vi) (mn > TAN_PIO8 * mx);
    vd t = sel(big, mn - mx, mn) / sel(big, mn + mx, mx);
    /* atan(t) = t + t z P(z) / Q(z), z = t^2: a minimax rational fit, good
     * to about 1e-17 relative for |t| up to 0.66. */
    vd z = t * t;
    vd p = (((-8.750608600031904122785e-1 * z - 1.615753718733365076637e1) * z
             - 7.500855792314704667340e1) * z - 1.228866684490136173410e2) * z
           - 6.485021904942025371773e1;
    vd q = ((((z + 2.485846490142306297962e1) * z + 1.650270098316988542046e2) * z
             + 4.328810604912902668951e2) * z + 4.853903996359136964868e2) * z
           + 1.945506571482613964425e2;
    vd r = t + t * (z * p / q);
    vd a = sel(big, PIO4 + (r + 0.5 * PIO2_LO), r);      /* atan(mn / mx) */
    a = sel(sw, PIO2 - (a - PIO2_LO), a);                /* atan(|y| / |x|) */
    /* x < 0 rather than x's sign bit, which SSE2 cannot compare: they
     * differ only for x = -0, where |y| > 0 makes a = pi/2 = pi - a. */
    a = sel((vi) (x < 0.0), M_PI - a, a);
    return (vd) (((vi) a & ~sign) | ((vi) y & sign));    /* y's sign */
}

/* Slope and aspect of W cells: e and n their east and north slopes times
 * cx, what and nl as below; out[l] + j gets layer l's angles. Cells past
 * `nw` are padding and are not written. */
ANGLES_TARGET static inline void angles(vd e, vd n, double cx, const int *what, int nl,
                                        double scale, double *const *out, ptrdiff_t j, int nw)
{
    vd h = e * e + n * n;
#if W == 4
    h = (vd) _mm256_sqrt_pd((__m256d) h);
#elif defined(__SSE2__)
    h = (vd) _mm_sqrt_pd((__m128d) h);
#else
    for (int u = 0; u < W; u++) h[u] = sqrt(h[u]);
#endif
    for (int l = 0; l < nl; l++) {
        /* slope: atan(h / cx); aspect, downhill and clockwise from north:
         * atan2(-dzdx, -dzdy) taken into [0, 2 pi), which is
         * pi + atan2(dzdx, dzdy). */
        int slope = what[l] == 1;
        vd y = slope ? h : e, x = slope ? (vd) {0} + cx : n;
        vi ok;
        vd a = atan2_v(y, x, &ok);
        int64_t all = -1;
        for (int u = 0; u < W; u++) all &= ok[u];
        if (!all)
            for (int u = 0; u < W; u++)
                if (!ok[u]) a[u] = atan2(y[u], x[u]);
        a = (slope ? a : a + M_PI) * scale;
        /* An aspect a hair west of due north rounds up to the full circle:
         * it is 0, so that aspects lie in [0, 360) (every angle below pi
         * gives at most this bound, rounding being monotonic). */
        if (!slope) a = sel((vi) (a >= (2 * M_PI) * scale), (vd) {0}, a);
        if (nw == W) memcpy(out[l] + j, &a, sizeof a);
        else memcpy(out[l] + j, &a, nw * sizeof(double));
    }
}

/* The pass itself over r rows of c cells (see terrain.c): ge, gn their
 * gFx and gFy, rows ix0 .. of the geometry g; o[l] + i * c + k gets layer l
 * of cell k of row i. */
ANGLES_LINKAGE ANGLES_TARGET void ANGLES_NAME(const double *ge, const double *gn, ptrdiff_t r, ptrdiff_t c,
                               const orvel_geom *g, ptrdiff_t ix0, const int *what,
                               int nl, double scale, double *const *o)
{
    for (ptrdiff_t i = 0; i < r; i++) {
        /* The slopes east and north times cx, the row's cells times their
         * size: gFx times its sign, and gFy times cx and its factor. */
        double f[5];
        orvel_geom_factors(g, ix0 + i, f);
        double cxi = (double) g->ny * g->dx[g->per_col ? ix0 + i : 0];
        double k = cxi * f[1], se = g->sx;
        /* Taking 1e-300 off the east part changes no slope that is not
         * itself below 1e-284, but turns an exact zero negative: a level
         * plane then faces east (90 degrees, as terra gives a flat cell),
         * and one facing due north gets 0 rather than 360 whatever the sign
         * of its zero. */
        ptrdiff_t j = i * c, end = j + c;
        for (; j + W <= end; j += W) {
            vd e, n;
            memcpy(&e, ge + j, sizeof e);
            memcpy(&n, gn + j, sizeof n);
            angles(e * se - 1e-300, n * k, cxi, what, nl, scale, o, j, W);
        }
        if (j < end) {
            vd e = {0}, n = {0};
            memcpy(&e, ge + j, (end - j) * sizeof(double));
            memcpy(&n, gn + j, (end - j) * sizeof(double));
            angles(e * se - 1e-300, n * k, cxi, what, nl, scale, o, j, (int) (end - j));
        }
    }
}
