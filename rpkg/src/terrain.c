/* Slope and aspect of the planes fitted to a block of raster rows.
 *
 * orvel_terrain() once computed these with R vector arithmetic, which makes
 * a fresh vector for every intermediate (the squares, their sum, the root,
 * the quotient, the two angles, their concatenation and scaling): on a large
 * raster that memory traffic, not the fit, took most of the time. Here each
 * cell is read once and its angles written once.
 *
 * The arc tangent is this file's own, two cells at a time, rather than
 * libm's atan2() one cell at a time: libm's branches on its argument
 * (reduction intervals, signs), which on real gradients are taken at random,
 * and it works for the last half bit on every call. The one below has no
 * branch on the data and is within three units in the last place of the
 * true angle; the package's tests check it against libm. Zero, infinite,
 * NaN and huge arguments go to libm, which knows their conventions. */
#include <math.h>
#include <stdint.h>
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <R.h>
#include <Rinternals.h>

/* GCC and clang vector extensions: two doubles, one SSE2 register on any
 * x86-64, one NEON register on arm64. (Wider vectors would be split on a
 * plain x86-64 build, and passing them changes the ABI there.) */
#define W 2
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

static inline vd sel(vi m, vd a, vd b) { return (vd) ((m & (vi) a) | (~m & (vi) b)); }

/* atan2(y, x), lane by lane, for 0 < max(|y|, |x|) < FAST_MAX. *ok gets -1
 * in the lanes where that holds, 0 in the others (whose result is junk). */
static inline vd atan2_v(vd y, vd x, vi *ok)
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
 * cx, what and nl as below; out[l * m] gets layer l's angles. Cells past
 * `nw` are padding and are not written. */
static inline void angles(vd e, vd n, double cx, const int *what, int nl, double scale,
                          double *out, R_xlen_t m, int nw)
{
    vd h = e * e + n * n;
#ifdef __SSE2__
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
        if (!(ok[0] & ok[1]))
            for (int u = 0; u < W; u++)
                if (!ok[u]) a[u] = atan2(y[u], x[u]);
        a = (slope ? a : a + M_PI) * scale;
        if (nw == W) memcpy(out + l * m, &a, sizeof a);
        else memcpy(out + l * m, &a, nw * sizeof(double));
    }
}

/* gx, gy: the block's fitted gFx and gFy (fast index eastward along a raster
 * row, slow index southward). The cells kept are the `rows` x `nc` cells
 * from 0-based position `from`. cx: nc times the east-west cell size, one
 * number or one per kept row; ny: the number of rows fitted times the
 * north-south cell size. what: 1 for slope, 2 for aspect, in the order of
 * the layers. scale: 1 for radians, 180 / pi for degrees. Returns the layers
 * one after another, each row by row: in `out`, if it is a double vector of
 * that length that nothing else refers to (the caller's buffer, reused from
 * block to block), else in a fresh vector. */
SEXP orvel_slope_aspect(SEXP gx, SEXP gy, SEXP from, SEXP rows, SEXP nc, SEXP cx,
                        SEXP ny, SEXP what, SEXP scale, SEXP out)
{
    R_xlen_t r = (R_xlen_t) asReal(rows), c = (R_xlen_t) asReal(nc);
    R_xlen_t f = (R_xlen_t) asReal(from), m = r * c;
    int nl = LENGTH(what);
    if (TYPEOF(gx) != REALSXP || TYPEOF(gy) != REALSXP || TYPEOF(cx) != REALSXP ||
        TYPEOF(what) != INTSXP || f < 0 || r < 0 || c < 1 || f + m > XLENGTH(gx) ||
        XLENGTH(gy) != XLENGTH(gx) || (XLENGTH(cx) != 1 && XLENGTH(cx) != r))
        error("orvel_slope_aspect: bad arguments");
    const double *e0 = REAL(gx) + f, *n0 = REAL(gy) + f, *w = REAL(cx);
    const int *v = INTEGER(what);
    double s = asReal(scale), dy = asReal(ny);
    if (TYPEOF(out) != REALSXP || XLENGTH(out) != m * nl) out = allocVector(REALSXP, m * nl);
    PROTECT(out);
    double *o = REAL(out);
    for (R_xlen_t i = 0; i < r; i++) {
        double cxi = w[XLENGTH(cx) == 1 ? 0 : i];
        /* dzdy is -gFy / ny; times cx, as dzdx is gFx / cx times cx. */
        double k = -cxi / dy;
        /* Taking 1e-300 off the east part changes no slope that is not
         * itself below 1e-284, but turns an exact zero negative: a level
         * plane then faces east (90 degrees, as terra gives a flat cell),
         * and one facing due north gets 0 rather than 360 whatever the sign
         * of its zero. */
        R_xlen_t j = i * c, end = j + c;
        for (; j + W <= end; j += W) {
            vd e, n;
            memcpy(&e, e0 + j, sizeof e);
            memcpy(&n, n0 + j, sizeof n);
            angles(e - 1e-300, n * k, cxi, v, nl, s, o + j, m, W);
        }
        if (j < end) {
            vd e = {0}, n = {0};
            memcpy(&e, e0 + j, (end - j) * sizeof(double));
            memcpy(&n, n0 + j, (end - j) * sizeof(double));
            angles(e - 1e-300, n * k, cxi, v, nl, s, o + j, m, (int) (end - j));
        }
    }
    UNPROTECT(1);
    return out;
}
