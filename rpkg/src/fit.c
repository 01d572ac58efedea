/* The package's fits: a grid in memory (orvel_fit_grid), and a block of a
 * raster (orvel_fit_block), which also derives the layers asked for or the
 * cross-validation sums.
 *
 * Both call the exact engine linked into the package (engine.h) over
 * chunks of target nodes, on as many threads as asked. Every node is
 * fitted with the whole grid's geometry, so its bits never depend on the
 * chunk, the thread, or the block of the raster it comes in. */
#include <math.h>
#include <stdatomic.h>
#include <string.h>

#include <R.h>
#include <Rinternals.h>

#include "args.h"
#include "engine.h"
#include "parallel.h"
#include "terrain.h"

/* A grid: a double matrix. Returns its number of rows; *nx the columns. */
static ptrdiff_t grid_dims(SEXP z, ptrdiff_t *nx)
{
    if (TYPEOF(z) != REALSXP) error("orvel: `z` must be a double matrix");
    SEXP d = getAttrib(z, R_DimSymbol);
    if (TYPEOF(d) != INTSXP || LENGTH(d) != 2 || INTEGER(d)[0] < 1 || INTEGER(d)[1] < 1)
        error("orvel: `z` must be a matrix of at least one row and one column");
    ptrdiff_t ny = INTEGER(d)[0];
    *nx = INTEGER(d)[1];
    if (XLENGTH(z) / ny != *nx || XLENGTH(z) % ny != 0)
        error("orvel: `z` does not hold its dimensions' number of values");
    return ny;
}

static void check_fit(int status)
{
    if (status != ORVEL_OK) error("orvel: the fitting engine refused its arguments (%d)", status);
}

/* ---- A grid in memory ---------------------------------------------- */

typedef struct grid_job {
    orvel_grid g;
    int loo;
    orvel_chunks c;
    double *F, *gFx, *gFy;
    atomic_int status;
    atomic_ptrdiff_t nonfinite;  /* nodes with an output that is not finite */
} grid_job;

static void grid_chunk(void *arg, ptrdiff_t k, double *scratch)
{
    (void) scratch;
    grid_job *j = arg;
    ptrdiff_t x0, x1, y0, y1, ny = j->g.ny;
    orvel_chunk(&j->c, k, &x0, &x1, &y0, &y1);
    ptrdiff_t at = x0 * ny + y0;
    orvel_targets t = {x0, x1, y0, y1, j->F + at, j->gFx + at, j->gFy + at, ny};
    int s = orvel_localfit(&j->g, j->loo, &t, ORVEL_ISA_AUTO);
    if (s != ORVEL_OK) atomic_store(&j->status, s);
    /* Counted while the chunk's results are still in cache, so that the
     * caller can tell at no cost whether any node needs a closer look. */
    ptrdiff_t bad = 0;
    for (ptrdiff_t ix = x0; ix < x1; ix++)
        for (ptrdiff_t i = at + (ix - x0) * ny, e = i + (y1 - y0); i < e; i++)
            bad += !isfinite(j->F[i]) | !isfinite(j->gFx[i]) | !isfinite(j->gFy[i]);
    if (bad) atomic_fetch_add(&j->nonfinite, bad);
}

/* z: the grid, a double matrix; K: the 49 weights; holdout: TRUE for the
 * leave-one-out fit; work: NULL, or a list of three double vectors of z's
 * length that nothing else refers to, to be written in place (for the
 * benchmark of the fit into memory already mapped). Returns list(F, gFx,
 * gFy): fresh vectors shaped and named like z, or the three of `work`, with
 * the attribute "nonfinite", the number of nodes with an output that is not
 * finite. */
SEXP orvel_fit_grid(SEXP z, SEXP K, SEXP holdout, SEXP threads, SEXP work)
{
    ptrdiff_t nx, ny = grid_dims(z, &nx);
    const double *k = orvel_arg_reals(K, "K", 49);
    int loo = orvel_arg_flag(holdout, "holdout");
    int nt = orvel_arg_threads(threads);
    R_xlen_t n = XLENGTH(z);
    SEXP out;
    if (isNull(work)) {
        out = PROTECT(allocVector(VECSXP, 3));
        SEXP dim = getAttrib(z, R_DimSymbol), dn = getAttrib(z, R_DimNamesSymbol);
        for (int i = 0; i < 3; i++) {
            SEXP v = orvel_alloc(n);
            SET_VECTOR_ELT(out, i, v);
            setAttrib(v, R_DimSymbol, dim);
            if (!isNull(dn)) setAttrib(v, R_DimNamesSymbol, dn);
        }
    } else {
        if (TYPEOF(work) != VECSXP || XLENGTH(work) != 3 || MAYBE_SHARED(work))
            error("orvel: `work` must be NULL or a list of three vectors that nothing else refers to");
        for (int i = 0; i < 3; i++) {
            SEXP v = VECTOR_ELT(work, i);
            if (TYPEOF(v) != REALSXP || XLENGTH(v) != n || MAYBE_SHARED(v))
                error("orvel: `work` must hold three double vectors of z's length that nothing else refers to");
            for (int j = 0; j < i; j++)
                if (VECTOR_ELT(work, j) == v) error("orvel: `work` must hold three distinct vectors");
        }
        out = PROTECT(work);
    }
    grid_job j = {{ny, nx, REAL(z), 0, nx, k}, loo, {0}, REAL(VECTOR_ELT(out, 0)),
                  REAL(VECTOR_ELT(out, 1)), REAL(VECTOR_ELT(out, 2)), 0, 0};
    orvel_chunks_init(&j.c, ny, 0, nx);
    orvel_parallel(j.c.n, nt, 0, grid_chunk, &j);
    check_fit(atomic_load(&j.status));
    setAttrib(out, install("nonfinite"), ScalarReal((double) atomic_load(&j.nonfinite)));
    UNPROTECT(1);
    return out;
}

/* ---- A block of a raster ------------------------------------------- */

/* Layer codes of orvel_fit_block(). */
enum { SMOOTH = 1, DZDX = 2, DZDY = 3, SLOPE = 4, ASPECT = 5, CV_SUMS = 0 };

typedef struct block_job {
    orvel_grid g;
    int loo;
    orvel_chunks c;
    const int *what;     /* layer codes, nl of them */
    int nl;
    const double *dx;    /* east-west cell size, one or one per grid column */
    int per_col;
    double dy, scale;
    double *out;         /* layer l of node (ix, iy) at l * m + (ix - ix0) * ny + iy */
    ptrdiff_t m;         /* the layers' stride */
    double *sse;         /* CV sums: one per (column, segment) */
    double *cnt;
    atomic_int status;
} block_job;

/* Fits chunk k into the scratch (F, gFx, gFy, each of the chunk's nodes,
 * `stride` a column), and says where it is. */
static int fit_chunk(block_job *j, ptrdiff_t k, double *s, ptrdiff_t *x0, ptrdiff_t *x1,
                     ptrdiff_t *y0, ptrdiff_t *y1)
{
    orvel_chunk(&j->c, k, x0, x1, y0, y1);
    ptrdiff_t h = *y1 - *y0, m = (*x1 - *x0) * h;
    orvel_targets t = {*x0, *x1, *y0, *y1, s, s + m, s + 2 * m, h};
    int status = orvel_localfit(&j->g, j->loo, &t, ORVEL_ISA_AUTO);
    if (status != ORVEL_OK) atomic_store(&j->status, status);
    return status == ORVEL_OK;
}

/* The squared leave-one-out errors of chunk k, summed per column in row
 * order over the nodes where observation and prediction are both finite. */
static void cv_chunk(void *arg, ptrdiff_t k, double *s)
{
    block_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    if (!fit_chunk(j, k, s, &x0, &x1, &y0, &y1)) return;
    ptrdiff_t h = y1 - y0, ny = j->g.ny;
    for (ptrdiff_t ix = x0; ix < x1; ix++) {
        const double *z = j->g.data + (ix - j->g.col0) * ny + y0, *f = s + (ix - x0) * h;
        double sse = 0, n = 0;
        for (ptrdiff_t i = 0; i < h; i++)
            if (isfinite(z[i]) && isfinite(f[i])) {
                double e = z[i] - f[i];
                sse += e * e;
                n += 1;
            }
        ptrdiff_t p = (ix - j->c.ix0) * j->c.nseg + (j->c.nseg > 1 ? k % j->c.nseg : 0);
        j->sse[p] = sse;
        j->cnt[p] = n;
    }
}

/* The layers of chunk k: the smooth, the slopes per map unit east and
 * north, slope and aspect. */
static void layer_chunk(void *arg, ptrdiff_t k, double *s)
{
    block_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    if (!fit_chunk(j, k, s, &x0, &x1, &y0, &y1)) return;
    ptrdiff_t h = y1 - y0, m = (x1 - x0) * h, ny = j->g.ny;
    const double *F = s, *ge = s + m, *gn = s + 2 * m;
    /* The grid's fast index runs east along a raster row, its slow index
     * south down the rows: gFx is the change across the raster's ny
     * columns, gFy across its nx rows, southward. */
    double *cx = s + 3 * m;
    for (ptrdiff_t ix = x0; ix < x1; ix++)
        cx[ix - x0] = (double) ny * j->dx[j->per_col ? ix : 0];
    double kn = -1.0 / ((double) j->g.nx * j->dy);
    double *at = j->out + (x0 - j->c.ix0) * ny + y0;
    /* Chunks are whole columns (h == ny) or part of one column: either way
     * the chunk's cells are contiguous in each layer. */
    int ang[2], na = 0;
    double *ao[2];
    for (int l = 0; l < j->nl; l++) {
        double *o = at + l * j->m;
        switch (j->what[l]) {
        case SMOOTH:
            memcpy(o, F, m * sizeof(double));
            break;
        case DZDX:
            for (ptrdiff_t c = 0; c < x1 - x0; c++)
                for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) o[i] = ge[i] / cx[c];
            break;
        case DZDY:
            for (ptrdiff_t i = 0; i < m; i++) o[i] = gn[i] * kn;
            break;
        default:
            if (na < 2) {
                ang[na] = j->what[l] == SLOPE ? 1 : 2;
                ao[na++] = o;
            }
        }
    }
    if (na)
        orvel_angles_pass(ge, gn, x1 - x0, h, cx, 1, (double) j->g.nx * j->dy, ang, na,
                          j->scale, ao, 0);
}

/* z: columns col0 .. of a grid of ny rows and nx columns (a block of raster
 * rows with its halo, as terra reads it: the grid's columns are raster
 * rows); geom: c(ny, nx, col0, ix0, ix1, at), the target columns ix0 ..
 * ix1 - 1, whose layers go to position `at` on in each layer of `out`;
 * K: the 49 weights (laid over the grid); holdout: the leave-one-out fit;
 * what: layer codes (1 smooth, 2 dzdx, 3 dzdy, 4 slope, 5 aspect, each at
 * most once), or 0 alone for the CV sums; dx: the east-west cell size, one
 * or one per grid column; dy: the north-south cell size; scale: the angles'
 * unit (1 radians, 180 / pi degrees); out: for layers, a double vector
 * (from orvel_alloc()) that nothing else refers to, holding the layers one
 * after another, each in the grid's order, written in place and returned;
 * for the CV sums, c(sum of squared errors, nodes) so far, returned with
 * this block's added. */
SEXP orvel_fit_block(SEXP z, SEXP geom, SEXP K, SEXP holdout, SEXP what, SEXP dx, SEXP dy,
                     SEXP scale, SEXP out, SEXP threads)
{
    const double *gm = orvel_arg_reals(geom, "geom", 6);
    for (int i = 0; i < 6; i++)
        if (!isfinite(gm[i]) || gm[i] != floor(gm[i]) || gm[i] < 0 || gm[i] > R_XLEN_T_MAX)
            error("orvel: `geom` must hold six whole numbers");
    ptrdiff_t ny = (ptrdiff_t) gm[0], nx = (ptrdiff_t) gm[1], col0 = (ptrdiff_t) gm[2];
    ptrdiff_t ix0 = (ptrdiff_t) gm[3], ix1 = (ptrdiff_t) gm[4], at = (ptrdiff_t) gm[5];
    if (ny < 1 || nx < 1) error("orvel: `geom` must give a grid of at least one node");
    orvel_arg_reals(z, "z", -1);
    if (XLENGTH(z) % ny != 0) error("orvel: `z` must hold whole columns of ny values");
    ptrdiff_t ncol = XLENGTH(z) / ny;
    ptrdiff_t need0 = ix0 > 3 ? ix0 - 3 : 0, need1 = ix1 + 3 < nx ? ix1 + 3 : nx;
    if (ix0 > ix1 || ix1 > nx || col0 > nx || ncol > nx - col0 || col0 > need0 ||
        col0 + ncol < need1)
        error("orvel: `geom` does not match the columns held in `z`");
    const double *k = orvel_arg_reals(K, "K", 49);
    int loo = orvel_arg_flag(holdout, "holdout");
    int nl = orvel_arg_what(what, "what", 0, 5);
    const int *w = INTEGER(what);
    if (nl == 0) error("orvel: `what` must name at least one layer");
    int cv = nl == 1 && w[0] == CV_SUMS;
    for (int l = 0; l < nl && !cv; l++) {
        if (w[l] == CV_SUMS) error("orvel: `what` asks for the CV sums alone or for layers");
        for (int i = 0; i < l; i++)
            if (w[i] == w[l]) error("orvel: `what` must name each layer once");
    }
    orvel_arg_reals(dx, "dx", -1);
    if (XLENGTH(dx) != 1 && XLENGTH(dx) != nx)
        error("orvel: `dx` must hold one cell size or one per grid column");
    double d_y = orvel_arg_number(dy, "dy"), sc = orvel_arg_number(scale, "scale");
    int nt = orvel_arg_threads(threads);

    block_job j = {{ny, nx, REAL(z), col0, ncol, k}, loo, {0}, w, nl, REAL(dx),
                   XLENGTH(dx) != 1, d_y, sc, NULL, 0, NULL, NULL, 0};
    orvel_chunks_init(&j.c, ny, ix0, ix1);
    if (cv) {
        const double *acc = orvel_arg_reals(out, "out", 2);
        ptrdiff_t np = (ix1 - ix0) * j.c.nseg;
        j.sse = (double *) R_alloc(np > 0 ? np : 1, 2 * sizeof(double));
        j.cnt = j.sse + np;
        orvel_parallel(j.c.n, nt, 3 * ORVEL_CHUNK, cv_chunk, &j);
        check_fit(atomic_load(&j.status));
        SEXP r = PROTECT(allocVector(REALSXP, 2));
        double sse = acc[0], n = acc[1];
        for (ptrdiff_t p = 0; p < np; p++) {
            sse += j.sse[p];
            n += j.cnt[p];
        }
        REAL(r)[0] = sse;
        REAL(r)[1] = n;
        UNPROTECT(1);
        return r;
    }
    for (ptrdiff_t i = 0; i < XLENGTH(dx); i++)
        if (!(REAL(dx)[i] > 0) || !isfinite(REAL(dx)[i]))
            error("orvel: `dx` must hold positive finite cell sizes");
    if (!(d_y > 0)) error("orvel: `dy` must be a positive cell size");
    if (TYPEOF(out) != REALSXP || MAYBE_SHARED(out))
        error("orvel: `out` must be a double vector that nothing else refers to");
    j.m = XLENGTH(out) / nl;
    if (XLENGTH(out) % nl != 0 || at > j.m || (ix1 - ix0) * ny > j.m - at)
        error("orvel: `out` has no room for the block's layers at `geom`'s position");
    j.out = REAL(out) + at;
    orvel_parallel(j.c.n, nt, 4 * ORVEL_CHUNK, layer_chunk, &j);
    check_fit(atomic_load(&j.status));
    return out;
}

/* A fresh double vector of n values for orvel_fit_block() to fill. */
SEXP orvel_buffer_alloc(SEXP n)
{
    return orvel_alloc(orvel_arg_whole(n, "n", 0, R_XLEN_T_MAX));
}

/* The instruction set the engine runs here: "avx512", "avx2" or "generic". */
SEXP orvel_engine_isa(void)
{
    switch (orvel_localfit_isa(ORVEL_ISA_AUTO)) {
    case ORVEL_ISA_AVX512: return mkString("avx512");
    case ORVEL_ISA_AVX2: return mkString("avx2");
    default: return mkString("generic");
    }
}
