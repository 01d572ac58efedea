/* Slope and aspect from fitted planes, for orvel_terrain().
 *
 * orvel_terrain() once computed its layers with R vector arithmetic, which
 * makes a fresh vector for every intermediate (the squares, their sum, the
 * root, the quotient, the two angles, their concatenation and scaling): on
 * a large raster that memory traffic, not the fit, took most of the time.
 * Here each cell is read once and its values written once; the angles come
 * from the pass in angles.h, four cells at a time where the CPU has AVX2
 * (terrain_avx2.c), two at a time (SSE2 on x86-64, NEON on arm64)
 * elsewhere. */
#include "fpcontract.h"
#include <R.h>
#include <Rinternals.h>

#include "args.h"
#include "cpu.h"
#include "terrain.h"

#define W 2
#define ANGLES_NAME angles_w2
#define ANGLES_LINKAGE static
#define ANGLES_TARGET
#include "angles.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define HAVE_AVX2_PASS 1
#include <R_ext/Visibility.h>
attribute_hidden void orvel_angles_avx2(const double *ge, const double *gn, ptrdiff_t r,
                                        ptrdiff_t c, const orvel_geom *g, ptrdiff_t ix0,
                                        const int *what, int nl, double scale,
                                        double *const *o);
#endif

/* Whether the four-lane pass runs: the CPU has AVX2 and ORVEL_ISA allows
 * it. */
static int use_avx2(void)
{
#ifdef HAVE_AVX2_PASS
    return orvel_cpu_level() >= ORVEL_LEVEL_AVX2;
#else
    return 0;
#endif
}

void orvel_angles_pass(const double *ge, const double *gn, ptrdiff_t r, ptrdiff_t c,
                       const orvel_geom *g, ptrdiff_t ix0, const int *what, int nl,
                       double scale, double *const *o, int lanes)
{
#ifdef HAVE_AVX2_PASS
    if (lanes != 2 && use_avx2()) {
        orvel_angles_avx2(ge, gn, r, c, g, ix0, what, nl, scale, o);
        return;
    }
#endif
    angles_w2(ge, gn, r, c, g, ix0, what, nl, scale, o);
}

/* "avx2" or "two lanes": the pass that runs (ORVEL_ISA honoured). */
SEXP orvel_angles_isa(void)
{
    return mkString(use_avx2() ? "avx2" : "two lanes");
}

/* The pass on its own, for the tests: gx, gy the gFx and gFy of `rows` rows
 * of `cols` cells; cx one number or one per row; what 1 (slope) or 2
 * (aspect) per layer; lanes 0 for the widest pass the CPU has, 2 for the
 * two-lane one. Returns the layers one after another, each row by row. */
SEXP orvel_angles(SEXP gx, SEXP gy, SEXP rows, SEXP cols, SEXP cx, SEXP ny, SEXP what,
                  SEXP scale, SEXP lanes)
{
    R_xlen_t r = orvel_arg_whole(rows, "rows", 0, R_XLEN_T_MAX);
    R_xlen_t c = orvel_arg_whole(cols, "cols", 0, R_XLEN_T_MAX);
    if (r > 0 && c > R_XLEN_T_MAX / r) error("orvel_angles: `rows` x `cols` is too large");
    R_xlen_t m = r * c;
    orvel_arg_reals(gx, "gx", m);
    orvel_arg_reals(gy, "gy", m);
    if (TYPEOF(cx) != REALSXP || (XLENGTH(cx) != 1 && XLENGTH(cx) != r))
        error("orvel_angles: `cx` must be a double vector of 1 or `rows` values");
    int nl = orvel_arg_what(what, "what", 1, 2);
    if (nl > 2) error("orvel_angles: `what` must have at most two values");
    double k = orvel_arg_number(ny, "ny"), s = orvel_arg_number(scale, "scale");
    const double *x = REAL(cx);
    for (R_xlen_t i = 0; i < XLENGTH(cx); i++)
        if (!(x[i] > 0) || !isfinite(x[i])) error("orvel_angles: `cx` must hold positive sizes");
    if (!(k > 0)) error("orvel_angles: `ny` must be positive");
    /* cx, the cells along a row times their size, and ny, the rows times
     * theirs, as a geometry of one node a row and one row. */
    orvel_geom g = {1, 1, x, XLENGTH(cx) != 1, k, 1, 1};
    int l2 = (int) orvel_arg_whole(lanes, "lanes", 0, 2);
    if ((double) m * nl > R_XLEN_T_MAX) error("orvel_angles: result too large");
    SEXP out = PROTECT(allocVector(REALSXP, m * nl));
    double *o[2] = {REAL(out), REAL(out) + m};
    orvel_angles_pass(REAL(gx), REAL(gy), r, c, &g, 0, INTEGER(what), nl, s, o, l2);
    UNPROTECT(1);
    return out;
}
