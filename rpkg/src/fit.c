/* The package's fits: a grid in memory (orvel_fit_grid), and a block of a
 * raster (orvel_fit_block), which also derives the layers asked for or the
 * cross-validation sums.
 *
 * A model is a kernel of any odd size, a degree, the leave-one-out flag and
 * what to do with missing values. A plane on at most 7 x 7 goes through the
 * exact engine (engine.h) over the data with missing values replaced by
 * zeros, and the general engine (lpoly.h) then marks what the exact fit
 * must not show: nodes whose fit is not determined, and nodes whose windows
 * hold a missing value with weight (NaN, or their fit from the observed
 * cells alone). Any other model goes through the general engine alone.
 *
 * Work is split into chunks of target nodes on as many threads as asked.
 * Every node is fitted with the whole grid's geometry, so its bits never
 * depend on the chunk, the thread, or the block of the raster it comes in. */
#include <math.h>
#include <stdatomic.h>
#include <string.h>

#include <R.h>
#include <Rinternals.h>

#include "args.h"
#include "engine.h"
#include "lpoly.h"
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

/* ---- Models ---------------------------------------------------------- */

typedef struct model {
    double K49[49];       /* the exact engine's weights, when `exact` */
    int exact;
    orvel_lp *lp;
    int p, loo;
    ptrdiff_t ny, nx, halo;  /* columns of data a target's window reaches */
    const double *z, *zx; /* the data as given, and for the exact engine */
    int clean;            /* the exact engine's data are cleaned a chunk at a time */
} model;

static void plan_free(SEXP x)
{
    orvel_lp_free(R_ExternalPtrAddr(x));
    R_ClearExternalPtr(x);
}

/* The model of the weights K (a double matrix of odd sides from 3 to 101)
 * at `degree` on a grid of ny x nx; exact: through the exact engine (a
 * plane on at most 7 x 7). The plan is freed with the returned external
 * pointer (for the caller to PROTECT), also when R jumps out of the call. */
static SEXP model_init(model *m, SEXP K, SEXP degree, SEXP holdout, SEXP narm, SEXP exact,
                       ptrdiff_t ny, ptrdiff_t nx)
{
    SEXP d = getAttrib(K, R_DimSymbol);
    if (TYPEOF(K) != REALSXP || TYPEOF(d) != INTSXP || LENGTH(d) != 2)
        error("orvel: `K` must be a double matrix");
    int ky = INTEGER(d)[0], kx = INTEGER(d)[1];
    if (ky < 3 || kx < 3 || ky > 101 || kx > 101 || ky % 2 == 0 || kx % 2 == 0)
        error("orvel: `K` must have an odd number of rows and of columns from 3 to 101");
    int deg = (int) orvel_arg_whole(degree, "degree", 1, 2);
    m->loo = orvel_arg_flag(holdout, "holdout");
    int rm = orvel_arg_flag(narm, "narm");
    m->exact = orvel_arg_flag(exact, "exact");
    if (m->exact && (deg != 1 || ky > 7 || kx > 7))
        error("orvel: `exact` needs a plane on at most 7 x 7");
    const double *k = REAL(K);
    for (int i = 0; i < ky * kx; i++)
        if (!isfinite(k[i])) error("orvel: `K` must hold finite weights");
    memset(m->K49, 0, sizeof m->K49);
    if (m->exact)
        for (int x = 0; x < kx; x++)
            for (int y = 0; y < ky; y++) m->K49[(x + 3 - kx / 2) * 7 + y + 3 - ky / 2] = k[x * ky + y];
    SEXP ptr = PROTECT(R_MakeExternalPtr(NULL, R_NilValue, R_NilValue));
    R_RegisterCFinalizerEx(ptr, plan_free, TRUE);
    m->lp = orvel_lp_new(k, ky, kx, deg, ny, nx, (m->loo ? ORVEL_LP_LOO : 0) | (rm ? ORVEL_LP_NARM : 0));
    if (!m->lp) error("orvel: cannot set up the fit (out of memory?)");
    R_SetExternalPtrAddr(ptr, m->lp);
    UNPROTECT(1);
    m->p = orvel_lp_ncoef(m->lp);
    m->ny = ny;
    m->nx = nx;
    m->halo = m->exact ? 3 : kx / 2;
    return ptr;
}

/* Chunks for the model: the general engine's passes across columns start
 * over at each chunk, so its chunks hold at least four windows' widths of
 * columns. */
static void model_chunks(const model *m, orvel_chunks *c, ptrdiff_t ix0, ptrdiff_t ix1)
{
    orvel_chunks_init(c, m->ny, ix0, ix1, m->exact ? 1 : 4 * (2 * m->halo + 1));
}

/* Doubles of scratch a thread needs for the engine: the general engine's,
 * and for the exact engine a chunk's columns with their halo, cleaned. */
static size_t model_scratch(const model *m, const orvel_chunks *c)
{
    size_t s = orvel_lp_scratch(m->lp);
    if (m->clean) s += (size_t) (c->cols + 6) * m->ny;
    return s;
}

/* Fits nodes [x0, x1) x [y0, y1) from the columns col0 .. col0 + ncol - 1
 * held, coefficient k to out[k] (stride a column) as the exact engine
 * gives them: F, gFx (the change across the ny rows), gFy (across the nx
 * columns), and per node step squared for degree 2. Returns 0 on success. */
static int model_fit(const model *m, ptrdiff_t col0, ptrdiff_t ncol, ptrdiff_t x0, ptrdiff_t x1,
                     ptrdiff_t y0, ptrdiff_t y1, double *const *out, ptrdiff_t stride,
                     double *scratch)
{
    const double scale[6] = {1, (double) m->ny, (double) m->nx, 1, 1, 1};
    if (m->exact) {
        orvel_grid g = {m->ny, m->nx, m->zx, col0, ncol, m->K49};
        if (m->clean) {
            /* The columns the chunk's windows reach, with missing values
             * replaced by zeros, where there are any. */
            ptrdiff_t c0 = x0 - 3 > col0 ? x0 - 3 : col0;
            ptrdiff_t c1 = x1 + 3 < col0 + ncol ? x1 + 3 : col0 + ncol;
            const double *src = m->z + (c0 - col0) * m->ny;
            ptrdiff_t len = (c1 - c0) * m->ny, k = 0;
            while (k < len && isfinite(src[k])) k++;
            if (k < len) {
                double *cp = scratch + orvel_lp_scratch(m->lp);
                memcpy(cp, src, len * sizeof(double));
                for (; k < len; k++)
                    if (!isfinite(cp[k])) cp[k] = 0;
                g.data = cp;
                g.col0 = c0;
                g.ncol = c1 - c0;
            }
        }
        orvel_targets t = {x0, x1, y0, y1, out[0], out[1], out[2], stride};
        int s = orvel_localfit(&g, m->loo, &t, ORVEL_ISA_AUTO);
        if (s != ORVEL_OK) return s;
        return orvel_lp_fit(m->lp, m->z, col0, ncol, x0, x1, y0, y1, out, stride, scale,
                            ORVEL_LP_MERGE, NULL, scratch) ? ORVEL_BAD_ARGS : ORVEL_OK;
    }
    return orvel_lp_fit(m->lp, m->z, col0, ncol, x0, x1, y0, y1, out, stride, scale, ORVEL_LP_ALL, NULL,
                        scratch) ? ORVEL_BAD_ARGS : ORVEL_OK;
}

static void check_fit(int status)
{
    if (status != ORVEL_OK) error("orvel: the fitting engine refused its arguments (%d)", status);
}

/* The data `z` (ny values a column held), and for the exact engine the
 * same with missing values replaced by zeros: z itself where none is
 * missing or the exact engine is not used or cleans as it goes, else a
 * copy. Returns the copy (PROTECTed once) or R_NilValue. */
static SEXP model_data(model *m, SEXP z)
{
    m->z = m->zx = REAL(z);
    R_xlen_t n = XLENGTH(z), i = 0;
    /* Chunks of whole columns clean their own (model_fit()); segments of
     * columns would each need whole columns cleaned, so those take a copy
     * of the grid. */
    m->clean = m->exact && m->ny <= ORVEL_CHUNK;
    if (!m->exact || m->clean) return PROTECT(R_NilValue);
    while (i < n && isfinite(m->z[i])) i++;
    if (i == n) return PROTECT(R_NilValue);
    SEXP c = PROTECT(allocVector(REALSXP, n));
    double *x = REAL(c);
    memcpy(x, m->z, n * sizeof(double));
    for (; i < n; i++)
        if (!isfinite(x[i])) x[i] = 0;
    m->zx = x;
    return c;
}

/* ---- A grid in memory ---------------------------------------------- */

typedef struct grid_job {
    const model *m;
    orvel_chunks c;
    double *out[6];
    atomic_int status;
    atomic_ptrdiff_t nonfinite;  /* nodes with an output that is not finite */
} grid_job;

static void grid_chunk(void *arg, ptrdiff_t k, double *scratch)
{
    grid_job *j = arg;
    ptrdiff_t x0, x1, y0, y1, ny = j->m->ny;
    orvel_chunk(&j->c, k, &x0, &x1, &y0, &y1);
    ptrdiff_t at = x0 * ny + y0;
    double *o[6];
    for (int i = 0; i < j->m->p; i++) o[i] = j->out[i] + at;
    int s = model_fit(j->m, 0, j->m->nx, x0, x1, y0, y1, o, ny, scratch);
    if (s != ORVEL_OK) atomic_store(&j->status, s);
    /* Counted while the chunk's results are still in cache, so that the
     * caller can tell at no cost whether any node needs a closer look. */
    ptrdiff_t bad = 0;
    for (ptrdiff_t ix = x0; ix < x1; ix++)
        for (ptrdiff_t i = at + (ix - x0) * ny, e = i + (y1 - y0); i < e; i++)
            bad += !isfinite(o[0][i - at]) | !isfinite(o[1][i - at]) | !isfinite(o[2][i - at]);
    if (bad) atomic_fetch_add(&j->nonfinite, bad);
}

/* z: the grid, a double matrix; K, degree, holdout, narm, exact: the model (see
 * model_init()); work: NULL, or a list of three double vectors of z's
 * length that nothing else refers to, to be written in place (for the
 * benchmark of the fit into memory already mapped; planes only). Returns
 * list(F, gFx, gFy), fresh vectors shaped and named like z or those of
 * `work`, and for degree 2 an array of z's rows and columns by 3 of the
 * coefficients of dy^2, dy dx and dx^2 per node step; with the attribute
 * "nonfinite", the number of nodes with one of the first three not finite,
 * and where that is not zero "zmax", the largest finite |z|. */
SEXP orvel_fit_grid(SEXP z, SEXP K, SEXP degree, SEXP holdout, SEXP narm, SEXP exact,
                    SEXP threads, SEXP work)
{
    ptrdiff_t nx, ny = grid_dims(z, &nx);
    int nt = orvel_arg_threads(threads);
    model m;
    PROTECT(model_init(&m, K, degree, holdout, narm, exact, ny, nx));
    model_data(&m, z);
    R_xlen_t n = XLENGTH(z);
    SEXP out;
    if (isNull(work)) {
        out = PROTECT(allocVector(VECSXP, m.p == 3 ? 3 : 4));
        SEXP dim = getAttrib(z, R_DimSymbol), dn = getAttrib(z, R_DimNamesSymbol);
        for (int i = 0; i < 3; i++) {
            SEXP v = orvel_alloc(n);
            SET_VECTOR_ELT(out, i, v);
            setAttrib(v, R_DimSymbol, dim);
            if (!isNull(dn)) setAttrib(v, R_DimNamesSymbol, dn);
        }
        if (m.p == 6) {
            if (n > R_XLEN_T_MAX / 3) error("orvel: the grid is too large for degree 2");
            SEXP q = orvel_alloc(3 * n), d3 = PROTECT(allocVector(INTSXP, 3));
            SET_VECTOR_ELT(out, 3, q);
            INTEGER(d3)[0] = INTEGER(dim)[0];
            INTEGER(d3)[1] = INTEGER(dim)[1];
            INTEGER(d3)[2] = 3;
            setAttrib(q, R_DimSymbol, d3);
            UNPROTECT(1);
        }
    } else {
        if (m.p != 3 || TYPEOF(work) != VECSXP || XLENGTH(work) != 3 || MAYBE_SHARED(work))
            error("orvel: `work` must be NULL or, for a plane, a list of three vectors that nothing else refers to");
        for (int i = 0; i < 3; i++) {
            SEXP v = VECTOR_ELT(work, i);
            if (TYPEOF(v) != REALSXP || XLENGTH(v) != n || MAYBE_SHARED(v))
                error("orvel: `work` must hold double vectors of z's length that nothing else refers to");
            for (int j = 0; j < i; j++)
                if (VECTOR_ELT(work, j) == v) error("orvel: `work` must hold distinct vectors");
        }
        out = PROTECT(work);
    }
    grid_job j = {&m, {0}, {0}, 0, 0};
    for (int i = 0; i < m.p; i++)
        j.out[i] = i < 3 ? REAL(VECTOR_ELT(out, i)) : REAL(VECTOR_ELT(out, 3)) + (i - 3) * n;
    model_chunks(&m, &j.c, 0, nx);
    orvel_parallel(j.c.n, nt, model_scratch(&m, &j.c), grid_chunk, &j);
    check_fit(atomic_load(&j.status));
    ptrdiff_t bad = atomic_load(&j.nonfinite);
    setAttrib(out, install("nonfinite"), ScalarReal((double) bad));
    /* Where some node is not finite: the largest finite |z|, which tells
     * the caller whether the sums could have left the range of doubles. */
    if (bad) {
        double big = 0;
        for (R_xlen_t i = 0; i < n; i++)
            if (isfinite(m.z[i]) && fabs(m.z[i]) > big) big = fabs(m.z[i]);
        setAttrib(out, install("zmax"), ScalarReal(big));
    }
    UNPROTECT(3);
    return out;
}

/* ---- A block of a raster ------------------------------------------- */

/* Layer codes of orvel_fit_block(). */
enum { SMOOTH = 1, DZDX = 2, DZDY = 3, SLOPE = 4, ASPECT = 5, D2ZDX2 = 6, D2ZDXDY = 7,
       D2ZDY2 = 8, CV_SUMS = 0 };

typedef struct block_job {
    model *m;
    ptrdiff_t col0, ncol;
    orvel_chunks c;
    const int *what;     /* layer codes, nl of them */
    int nl, policy;      /* na.policy: 0 all, 1 omit, 2 only */
    const double *dx;    /* east-west cell size, one or one per grid column */
    int per_col;
    double dy, scale;
    double *out;         /* layer l of node (ix, iy) at l * m + (ix - ix0) * ny + iy */
    ptrdiff_t mlen;      /* the layers' stride */
    double *sse;         /* CV sums: one per (column, segment) */
    double *cnt;
    const Rbyte *keep;   /* CV: score only nodes flagged here (global index), or NULL */
    Rbyte *can;          /* CV: cleared where a node cannot be scored, or NULL */
    atomic_int status;
} block_job;

/* Fits chunk k into the scratch (p outputs, each of the chunk's nodes,
 * `h` a column, then the engine's scratch), and says where it is. */
static int fit_chunk(block_job *j, ptrdiff_t k, double *s, ptrdiff_t *x0, ptrdiff_t *x1,
                     ptrdiff_t *y0, ptrdiff_t *y1)
{
    orvel_chunk(&j->c, k, x0, x1, y0, y1);
    ptrdiff_t h = *y1 - *y0, n = (*x1 - *x0) * h;
    double *o[6];
    for (int i = 0; i < j->m->p; i++) o[i] = s + i * n;
    int status = model_fit(j->m, j->col0, j->ncol, *x0, *x1, *y0, *y1, o, h,
                           s + (j->m->p + 1) * n);
    if (status != ORVEL_OK) atomic_store(&j->status, status);
    return status == ORVEL_OK;
}

/* The squared leave-one-out errors of chunk k, summed per column in row
 * order over the nodes where observation and prediction are both finite
 * (and that `keep` flags). */
static void cv_chunk(void *arg, ptrdiff_t k, double *s)
{
    block_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    if (!fit_chunk(j, k, s, &x0, &x1, &y0, &y1)) return;
    ptrdiff_t h = y1 - y0, ny = j->m->ny, seg = y0 / ORVEL_CHUNK;
    for (ptrdiff_t ix = x0; ix < x1; ix++) {
        const double *z = j->m->z + (ix - j->col0) * ny + y0, *f = s + (ix - x0) * h;
        ptrdiff_t g = ix * ny + y0;
        double sse = 0, n = 0;
        for (ptrdiff_t i = 0; i < h; i++) {
            int ok = isfinite(z[i]) && isfinite(f[i]);
            if (j->can && !ok) j->can[g + i] = 0;
            if (ok && (!j->keep || j->keep[g + i])) {
                double e = z[i] - f[i];
                sse += e * e;
                n += 1;
            }
        }
        ptrdiff_t p = (ix - j->c.ix0) * j->c.nseg + seg;
        j->sse[p] = sse;
        j->cnt[p] = n;
    }
}

/* The layers of chunk k: the smooth, the slopes per map unit east and
 * north, slope and aspect, the second derivatives. */
static void layer_chunk(void *arg, ptrdiff_t k, double *s)
{
    block_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    if (!fit_chunk(j, k, s, &x0, &x1, &y0, &y1)) return;
    ptrdiff_t h = y1 - y0, n = (x1 - x0) * h, ny = j->m->ny;
    const double *F = s, *ge = s + n, *gn = s + 2 * n;
    /* The grid's fast index runs east along a raster row, its slow index
     * south down the rows: gFx is the change across the raster's ny
     * columns, gFy across its nx rows, southward; the second coefficients
     * are per cell step squared, east and south. */
    double *cx = s + j->m->p * n;
    for (ptrdiff_t ix = x0; ix < x1; ix++)
        cx[ix - x0] = (double) ny * j->dx[j->per_col ? ix : 0];
    double kn = -1.0 / ((double) j->m->nx * j->dy);
    double *at = j->out + (x0 - j->c.ix0) * ny + y0;
    int ang[2], na = 0;
    double *ao[2];
    for (int l = 0; l < j->nl; l++) {
        double *o = at + l * j->mlen;
        /* Chunks are whole columns (h == ny) or part of one column: either
         * way the chunk's cells are contiguous in each layer. */
        switch (j->what[l]) {
        case SMOOTH:
            memcpy(o, F, n * sizeof(double));
            break;
        case DZDX:
            for (ptrdiff_t c = 0; c < x1 - x0; c++)
                for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) o[i] = ge[i] / cx[c];
            break;
        case DZDY:
            for (ptrdiff_t i = 0; i < n; i++) o[i] = gn[i] * kn;
            break;
        case D2ZDX2: case D2ZDXDY: case D2ZDY2: {
            const double *b = s + (j->what[l] - D2ZDX2 + 3) * n;
            for (ptrdiff_t c = 0; c < x1 - x0; c++) {
                double ex = j->dx[j->per_col ? x0 + c : 0];
                /* Second derivatives: twice the squares' coefficients;
                 * the mixed one changes sign with the southward axis. */
                double f = j->what[l] == D2ZDX2 ? 2 / (ex * ex)
                         : j->what[l] == D2ZDXDY ? -1 / (ex * j->dy) : 2 / (j->dy * j->dy);
                for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) o[i] = b[i] * f;
            }
            break;
        }
        default:
            if (na < 2) {
                ang[na] = j->what[l] == SLOPE ? 1 : 2;
                ao[na++] = o;
            }
        }
    }
    if (na)
        orvel_angles_pass(ge, gn, x1 - x0, h, cx, 1, (double) j->m->nx * j->dy, ang, na,
                          j->scale, ao, 0);
    if (j->policy) {
        /* omit: missing cells stay missing in every layer; only: the smooth
         * keeps the observations and fills the missing cells. */
        for (ptrdiff_t c = 0; c < x1 - x0; c++) {
            const double *z = j->m->z + (x0 + c - j->col0) * ny + y0;
            for (ptrdiff_t i = 0; i < h; i++) {
                int miss = !isfinite(z[i]);
                for (int l = 0; l < j->nl; l++) {
                    double *o = at + l * j->mlen + c * h + i;
                    if (j->policy == 1 && miss) *o = NA_REAL;
                    if (j->policy == 2 && !miss && j->what[l] == SMOOTH) *o = z[i];
                }
            }
        }
    }
}

/* z: columns col0 .. of a grid of ny rows and nx columns (a block of raster
 * rows with its halo, as terra reads it: the grid's columns are raster
 * rows); geom: c(ny,
 * nx, col0, ix0, ix1, at), the target columns ix0 .. ix1 - 1, whose layers
 * go to position `at` on in each layer of `out`; K, degree, holdout, narm,
 * exact: the model, K laid over the grid (see model_init()); policy: 0, 1,
 * 2 for na.policy "all", "omit", "only"; what: layer codes (1 smooth, 2
 * dzdx, 3 dzdy, 4 slope, 5 aspect, 6 d2zdx2, 7 d2zdxdy, 8 d2zdy2, each at
 * most once), or 0 alone for the CV sums; dx: the east-west cell size, one
 * or one per grid column; dy: the north-south cell size; scale: the angles'
 * unit (1 radians, 180 / pi degrees); out: for layers, a double vector
 * (from orvel_alloc()) that nothing else refers to, holding the layers one
 * after another, each in the grid's order, written in place and returned;
 * for the CV sums, c(sum of squared errors, nodes) so far, returned with
 * this block's added; keep, can: for the CV sums, NULL or raw vectors of a
 * flag per node of the whole grid: only nodes flagged in `keep` are
 * scored, and the flag in `can` of a node that cannot be is cleared. */
SEXP orvel_fit_block(SEXP z, SEXP geom, SEXP K, SEXP degree, SEXP holdout, SEXP narm,
                     SEXP exact, SEXP policy, SEXP what, SEXP dx, SEXP dy, SEXP scale, SEXP out,
                     SEXP keep, SEXP can, SEXP threads)
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
    if (ix0 > ix1 || ix1 > nx || col0 > nx || ncol > nx - col0)
        error("orvel: `geom` does not match the columns held in `z`");
    int nt = orvel_arg_threads(threads);
    int pol = (int) orvel_arg_whole(policy, "policy", 0, 2);
    int nl = orvel_arg_what(what, "what", 0, 8);
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
    model m;
    PROTECT(model_init(&m, K, degree, holdout, narm, exact, ny, nx));
    model_data(&m, z);
    /* The columns held must cover every target's window. */
    ptrdiff_t need0 = ix0 > m.halo ? ix0 - m.halo : 0;
    ptrdiff_t need1 = ix1 + m.halo < nx ? ix1 + m.halo : nx;
    if (col0 > need0 || col0 + ncol < need1)
        error("orvel: `geom` does not match the columns held in `z`");
    for (int l = 0; l < nl && !cv; l++)
        if (w[l] >= D2ZDX2 && m.p < 6) error("orvel: second derivatives need degree 2");

    block_job j = {&m, col0, ncol, {0}, w, nl, pol, REAL(dx), XLENGTH(dx) != 1, d_y, sc,
                   NULL, 0, NULL, NULL, NULL, NULL, 0};
    model_chunks(&m, &j.c, ix0, ix1);
    ptrdiff_t chunk = j.c.cols * (ny < ORVEL_CHUNK ? ny : ORVEL_CHUNK);
    size_t scratch = (size_t) (m.p + 1) * chunk + model_scratch(&m, &j.c);
    if (cv) {
        const double *acc = orvel_arg_reals(out, "out", 2);
        R_xlen_t cells = (R_xlen_t) ny * nx;
        if (!isNull(keep) && (TYPEOF(keep) != RAWSXP || XLENGTH(keep) != cells))
            error("orvel: `keep` must be NULL or a raw vector of a flag per node");
        /* `can` is written in place: the package's own, never handed out. */
        if (!isNull(can) && (TYPEOF(can) != RAWSXP || XLENGTH(can) != cells))
            error("orvel: `can` must be NULL or a raw vector of a flag per node");
        j.keep = isNull(keep) ? NULL : RAW(keep);
        j.can = isNull(can) ? NULL : RAW(can);
        ptrdiff_t np = (ix1 - ix0) * j.c.nseg;
        j.sse = (double *) R_alloc(np > 0 ? np : 1, 2 * sizeof(double));
        j.cnt = j.sse + np;
        orvel_parallel(j.c.n, nt, scratch, cv_chunk, &j);
        check_fit(atomic_load(&j.status));
        SEXP r = PROTECT(allocVector(REALSXP, 2));
        double sse = acc[0], n = acc[1];
        for (ptrdiff_t p = 0; p < np; p++) {
            sse += j.sse[p];
            n += j.cnt[p];
        }
        REAL(r)[0] = sse;
        REAL(r)[1] = n;
        UNPROTECT(3);
        return r;
    }
    for (ptrdiff_t i = 0; i < XLENGTH(dx); i++)
        if (!(REAL(dx)[i] > 0) || !isfinite(REAL(dx)[i]))
            error("orvel: `dx` must hold positive finite cell sizes");
    if (!(d_y > 0)) error("orvel: `dy` must be a positive cell size");
    if (TYPEOF(out) != REALSXP || MAYBE_SHARED(out))
        error("orvel: `out` must be a double vector that nothing else refers to");
    j.mlen = XLENGTH(out) / nl;
    if (XLENGTH(out) % nl != 0 || at > j.mlen || (ix1 - ix0) * ny > j.mlen - at)
        error("orvel: `out` has no room for the block's layers at `geom`'s position");
    j.out = REAL(out) + at;
    orvel_parallel(j.c.n, nt, scratch, layer_chunk, &j);
    check_fit(atomic_load(&j.status));
    UNPROTECT(2);
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

/* Flags of nodes for orvel_select(): a fresh raw vector of n ones. */
SEXP orvel_flags_new(SEXP n)
{
    R_xlen_t len = orvel_arg_whole(n, "n", 0, R_XLEN_T_MAX);
    SEXP v = allocVector(RAWSXP, len);
    memset(RAW(v), 1, len);
    return v;
}

/* can &= mine where `and`, and mine set back to ones, both in place: raw
 * vectors of flags the package made with orvel_flags_new() and never hands
 * out. Returns the number of flags set in can. */
SEXP orvel_flags_and(SEXP can, SEXP mine, SEXP and)
{
    if (TYPEOF(can) != RAWSXP || TYPEOF(mine) != RAWSXP || XLENGTH(can) != XLENGTH(mine))
        error("orvel: `can` and `mine` must be raw vectors of one length");
    int a = orvel_arg_flag(and, "and");
    Rbyte *c = RAW(can), *m = RAW(mine);
    double set = 0;
    for (R_xlen_t i = 0, n = XLENGTH(can); i < n; i++) {
        if (a) c[i] &= m[i];
        m[i] = 1;
        set += c[i] != 0;
    }
    return ScalarReal(set);
}
