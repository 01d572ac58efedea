/* The layers of a raster result, from the planes fitted to a block of
 * raster rows: slope and aspect for orvel_terrain(), smooth and slopes per
 * map unit for orvel_fit().
 *
 * orvel_terrain() once computed its layers with R vector arithmetic, which
 * makes a fresh vector for every intermediate (the squares, their sum, the
 * root, the quotient, the two angles, their concatenation and scaling): on
 * a large raster that memory traffic, not the fit, took most of the time.
 * Here each cell is read once and its values written once; the angles come
 * from the pass in angles.h, four cells at a time where the CPU has AVX2
 * (terrain_avx2.c), two at a time (SSE2 on x86-64, NEON on arm64)
 * elsewhere. */
#include <R.h>
#include <Rinternals.h>

#define W 2
#define ANGLES_NAME angles_w2
#define ANGLES_LINKAGE static
#define ANGLES_TARGET
#include "angles.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define HAVE_AVX2_PASS 1
#include <R_ext/Visibility.h>
attribute_hidden void orvel_angles_avx2(const double *ge, const double *gn, ptrdiff_t r,
                                        ptrdiff_t c, const double *cx, int per_row, double ny,
                                        const int *what, int nl, double scale, double *o);
#endif

/* Whether the four-lane pass runs on this CPU. */
static int use_avx2(void)
{
#ifdef HAVE_AVX2_PASS
    return __builtin_cpu_supports("avx2");
#else
    return 0;
#endif
}

/* "avx2" or "two lanes": the pass orvel_slope_aspect() uses here. */
SEXP orvel_angles_isa(void)
{
    return mkString(use_avx2() ? "avx2" : "two lanes");
}

/* Checks the arguments that describe a block's kept cells (see below) and
 * returns `out` if it is a double vector of `layers` x their number, else a
 * fresh vector of that length. */
static SEXP block_out(SEXP gx, SEXP gy, R_xlen_t f, R_xlen_t r, R_xlen_t c, SEXP cx,
                      int layers, SEXP out)
{
    if (TYPEOF(gx) != REALSXP || TYPEOF(gy) != REALSXP || TYPEOF(cx) != REALSXP || f < 0 ||
        r < 0 || c < 1 || f + r * c > XLENGTH(gx) || XLENGTH(gy) != XLENGTH(gx) ||
        (XLENGTH(cx) != 1 && XLENGTH(cx) != r))
        error("orvel: bad block arguments");
    if (TYPEOF(out) != REALSXP || XLENGTH(out) != r * c * layers)
        out = allocVector(REALSXP, r * c * layers);
    return out;
}

/* gx, gy: the block's fitted gFx and gFy (fast index eastward along a raster
 * row, slow index southward). The cells kept are the `rows` x `nc` cells
 * from 0-based position `from`. cx: nc times the east-west cell size, one
 * number or one per kept row; ny: the number of rows fitted times the
 * north-south cell size. what: 1 for slope, 2 for aspect, in the order of
 * the layers. scale: 1 for radians, 180 / pi for degrees. Returns the layers
 * one after another, each row by row: in `out`, if it is a double vector of
 * that length that nothing else refers to (the caller's buffer, reused from
 * block to block), else in a fresh vector. lanes: 0 for the widest pass the
 * CPU has, 2 for the two-lane one (the tests compare the two). */
SEXP orvel_slope_aspect(SEXP gx, SEXP gy, SEXP from, SEXP rows, SEXP nc, SEXP cx,
                        SEXP ny, SEXP what, SEXP scale, SEXP out, SEXP lanes)
{
    R_xlen_t r = (R_xlen_t) asReal(rows), c = (R_xlen_t) asReal(nc);
    R_xlen_t f = (R_xlen_t) asReal(from);
    if (TYPEOF(what) != INTSXP) error("orvel_slope_aspect: `what` must be integer");
    int nl = LENGTH(what);
    out = PROTECT(block_out(gx, gy, f, r, c, cx, nl, out));
    const double *ge = REAL(gx) + f, *gn = REAL(gy) + f;
    int per_row = XLENGTH(cx) != 1;
#ifdef HAVE_AVX2_PASS
    if (asInteger(lanes) != 2 && use_avx2())
        orvel_angles_avx2(ge, gn, r, c, REAL(cx), per_row, asReal(ny), INTEGER(what), nl,
                          asReal(scale), REAL(out));
    else
#endif
        angles_w2(ge, gn, r, c, REAL(cx), per_row, asReal(ny), INTEGER(what), nl,
                  asReal(scale), REAL(out));
    UNPROTECT(1);
    return out;
}

/* The layers smooth, dzdx and dzdy of a block, for orvel_fit() of a raster:
 * F, gFx / cx and gFy * (-1 / ny) at the kept cells (gFy runs southward),
 * arguments as for orvel_slope_aspect(). */
SEXP orvel_gradient_layers(SEXP F, SEXP gx, SEXP gy, SEXP from, SEXP rows, SEXP nc, SEXP cx,
                           SEXP ny, SEXP out)
{
    R_xlen_t r = (R_xlen_t) asReal(rows), c = (R_xlen_t) asReal(nc);
    R_xlen_t f = (R_xlen_t) asReal(from), m = r * c;
    if (TYPEOF(F) != REALSXP || XLENGTH(F) != XLENGTH(gx))
        error("orvel_gradient_layers: bad arguments");
    out = PROTECT(block_out(gx, gy, f, r, c, cx, 3, out));
    const double *s = REAL(F) + f, *ge = REAL(gx) + f, *gn = REAL(gy) + f, *w = REAL(cx);
    double *o = REAL(out), k = -1.0 / asReal(ny);
    for (R_xlen_t i = 0; i < r; i++) {
        double cxi = w[XLENGTH(cx) == 1 ? 0 : i];
        for (R_xlen_t j = i * c; j < (i + 1) * c; j++) {
            o[j] = s[j];
            o[m + j] = ge[j] / cxi;
            o[2 * m + j] = gn[j] * k;
        }
    }
    UNPROTECT(1);
    return out;
}
