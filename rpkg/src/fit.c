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
#include "fpcontract.h"
#include <math.h>
#include <stdatomic.h>
#include <string.h>

#include <R.h>
#include <Rinternals.h>

#include "args.h"
#include "cpu.h"
#include "engine.h"
#include "hillshade.h"
#include "lpoly.h"
#include "morphometry.h"
#include "parallel.h"
#include "surface.h"
#include "terrain.h"
#include "terrain_options.h"

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
    int ky, kx;           /* the window */
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
    if (XLENGTH(K) != (R_xlen_t) ky * kx) error("orvel: `K` does not hold its dimensions' number of values");
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
    m->ky = ky;
    m->kx = kx;
    return ptr;
}

/* The general engine's work a chunk, in nodes times window cells (its
 * passes take up to a weight a cell and node): about 30 ms of a thread's
 * time for the widest windows, well inside the tenths of a second in which
 * a user interrupt is to be honoured. */
#define CHUNK_WORK ((ptrdiff_t) 1 << 28)

/* Chunks for the model, from the model alone (see orvel_chunks_init()).
 * The exact engine's: ORVEL_CHUNK nodes, segments of ORVEL_CHUNK rows. The
 * general engine's passes across columns start over at each chunk, so its
 * chunks hold at least four windows' widths of columns; a wide window's
 * chunk of ORVEL_CHUNK rows would be seconds of work, so its segments are
 * cut to CHUNK_WORK over the window's cells, but no shorter than the
 * window's height (the passes down the columns start over at each
 * segment too: at most twice the rows), in whole multiples of 8 rows. */
static void model_chunks(const model *m, orvel_chunks *c, ptrdiff_t ny, ptrdiff_t ix0,
                         ptrdiff_t ix1)
{
    if (m->exact) {
        orvel_chunks_init(c, ny, ix0, ix1, 1, ORVEL_CHUNK, ORVEL_CHUNK);
        return;
    }
    ptrdiff_t area = (ptrdiff_t) m->ky * m->kx, mincols = 4 * (ptrdiff_t) m->kx;
    ptrdiff_t nodes = CHUNK_WORK / area, rows = nodes / mincols, least = m->ky;
    if (rows < least) rows = least;
    rows = (rows + 7) / 8 * 8;
    if (rows > ORVEL_CHUNK) rows = ORVEL_CHUNK;
    orvel_chunks_init(c, ny, ix0, ix1, mincols, rows, nodes < ORVEL_CHUNK ? nodes : ORVEL_CHUNK);
}

/* Doubles of scratch a thread needs for the engine: the general engine's,
 * and for the exact engine a chunk's columns with their halo, cleaned. */
static size_t model_scratch(const model *m, const orvel_chunks *c)
{
    R_xlen_t s = (R_xlen_t) orvel_lp_scratch(m->lp);
    if (m->clean)
        s = orvel_add(s, orvel_mul(orvel_add(c->cols, 6, "the scratch"), m->ny, "the scratch"),
                      "the scratch");
    return (size_t) s;
}

/* Fits nodes [x0, x1) x [y0, y1) from the columns col0 .. col0 + ncol - 1
 * held, coefficient k to out[k] (stride a column) as the exact engine
 * gives them: F, gFx (the change across the ny rows), gFy (across the nx
 * columns), and per node step squared for degree 2; and, unless var is
 * NULL, the variance factors asked for in var (stride vstride), in the
 * same units (see orvel_lp_fit()). Returns 0 on success. */
static int model_fit(const model *m, ptrdiff_t col0, ptrdiff_t ncol, ptrdiff_t x0, ptrdiff_t x1,
                     ptrdiff_t y0, ptrdiff_t y1, double *const *out, ptrdiff_t stride,
                     double *const *var, ptrdiff_t vstride, double *scratch)
{
    const double scale[6] = {1, (double) m->ny, (double) m->nx, 1, 1, 1};
    if (m->exact) {
        orvel_grid g = {m->ny, m->nx, m->zx, col0, ncol, m->K49};
        if (m->clean) {
            /* The columns the chunk's windows reach, with missing values
             * replaced by zeros, where there are any: the rows they reach
             * (whole columns for a chunk of whole columns), at their
             * places, so a tile's grid is read only where it is held. */
            ptrdiff_t c0 = x0 - 3 > col0 ? x0 - 3 : col0;
            ptrdiff_t c1 = x1 + 3 < col0 + ncol ? x1 + 3 : col0 + ncol;
            ptrdiff_t r0 = y0 - 3 > 0 ? y0 - 3 : 0, r1 = y1 + 3 < m->ny ? y1 + 3 : m->ny;
            const double *src = m->z + (c0 - col0) * m->ny;
            int any = 0;
            for (ptrdiff_t c = 0; c < c1 - c0 && !any; c++)
                for (ptrdiff_t r = r0; r < r1 && !any; r++) any = !isfinite(src[c * m->ny + r]);
            if (any) {
                double *cp = scratch + orvel_lp_scratch(m->lp);
                for (ptrdiff_t c = 0; c < c1 - c0; c++)
                    for (ptrdiff_t r = r0; r < r1; r++) {
                        double v = src[c * m->ny + r];
                        cp[c * m->ny + r] = isfinite(v) ? v : 0;
                    }
                g.data = cp;
                g.col0 = c0;
                g.ncol = c1 - c0;
            }
        }
        orvel_targets t = {x0, x1, y0, y1, out[0], out[1], out[2], stride};
        int s = orvel_localfit_at(&g, m->loo, &t, orvel_cpu_level());
        if (s != ORVEL_OK) return s;
        return orvel_lp_fit(m->lp, m->z, col0, ncol, x0, x1, y0, y1, out, stride, scale,
                            ORVEL_LP_MERGE, var, vstride, scratch) ? ORVEL_BAD_ARGS : ORVEL_OK;
    }
    return orvel_lp_fit(m->lp, m->z, col0, ncol, x0, x1, y0, y1, out, stride, scale, ORVEL_LP_ALL,
                        var, vstride, scratch) ? ORVEL_BAD_ARGS : ORVEL_OK;
}

/* The standard errors of nodes [x0, x1) x [y0, y1) into se[k] (stride a
 * column): the square roots of the variance factors of the coefficients
 * as model_fit() gives them, times c[k]. Returns 0 on success. */
static int model_se(const model *m, ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t y0, ptrdiff_t y1,
                    double *const *se, ptrdiff_t stride, const double *c, double *scratch)
{
    const double unit[6] = {1, (double) m->ny, (double) m->nx, 1, 1, 1};
    double scale[6], *v[ORVEL_LP_NVAR(6)] = {0};
    for (int k = 0; k < m->p; k++) {
        scale[k] = c[k] * unit[k];
        v[k] = se[k];
    }
    return orvel_lp_fit(m->lp, m->z, 0, m->nx, x0, x1, y0, y1, NULL, stride, scale, ORVEL_LP_SE,
                        v, stride, scratch) ? ORVEL_BAD_ARGS : ORVEL_OK;
}

static void check_fit(int status)
{
    if (status != ORVEL_OK) error("orvel: the fitting engine refused its arguments (%d)", status);
}

/* ---- The fit's statistics -------------------------------------------- */

/* Sums over the nodes scored (observation and fit finite, and the
 * leave-one-out fit determined): the full fit's residual sum of squares,
 * the nodes, the hat values (tr L) and the smooth's variance factors
 * (tr L'L: each is the squared norm of a row of L), and the squared
 * leave-one-out errors; and the largest finite |z| of all the nodes, which
 * tells whether the sums may have left the range of doubles.
 *
 * The squares are those of the residuals times 2^k, k the sums' scale:
 * 0, unless the largest |z| is beyond 2^256 or below 2^-256, where the
 * squares and their sums could overflow or underflow (a square of up to
 * 2^512, divided by 1 - L_ii of down to ORVEL_LP_TOL, summed over up to
 * 2^53 nodes, stays below 2^650; residuals at 2^-53 of a value of 2^-256
 * square to above 2^-620); then k brings it into [1, 2) (see
 * stats_scale()). A power of two is exact, so the sums are those of the
 * data times 2^k: the residual sum of squares and the CV sum are 2^(2k)
 * times the data's, sigma-hat (returned at the data's own scale) 2^k
 * times; the nodes, tr L and tr L'L do not change. */
enum { ST_RSS, ST_N, ST_NU1, ST_NU2, ST_CV, ST_ZMAX, NSTAT };

/* The statistics' vector: the sums, sigma-hat, the sums' scale. */
enum { ST_SIGMA = NSTAT, ST_SCALE, NSTATV };

/* The sums' scale k for data whose largest finite |z| is big (see above). */
static int stats_scale(double big)
{
    if (!(big > 0) || !isfinite(big) || (big >= 0x1p-256 && big <= 0x1p256)) return 0;
    int e;
    frexp(big, &e);   /* big = m 2^e, m in [1/2, 1) */
    return 1 - e;
}

/* The largest finite |x[i]| of n. */
static double abs_max(const double *x, R_xlen_t n)
{
    double big = 0;
    for (R_xlen_t i = 0; i < n; i++)
        if (fabs(x[i]) > big && isfinite(x[i])) big = fabs(x[i]);
    return big;
}

/* Adds h nodes' to st: z the observations, f the fit (leave-one-out if
 * `loo`), hat and v00 their hat values and smooth's variance factors, k
 * the sums' scale. keep: score only flagged nodes (or NULL); can: cleared
 * where a node cannot be scored (or NULL). The residual and the
 * leave-one-out error are one another's through the hat value: e = r / (1
 * - hat). */
static void stats_add(const double *z, const double *f, const double *hat, const double *v00,
                      ptrdiff_t h, int loo, int k, const Rbyte *keep, Rbyte *can, double *st)
{
    double a[NSTAT] = {0};
    for (ptrdiff_t i = 0; i < h; i++) {
        if (fabs(z[i]) > a[ST_ZMAX] && isfinite(z[i])) a[ST_ZMAX] = fabs(z[i]);
        double q = 1 - hat[i];
        int ok = isfinite(z[i]) && isfinite(f[i]) && q >= ORVEL_LP_TOL;
        if (can && !ok) can[i] = 0;
        if (!ok || (keep && !keep[i])) continue;
        double d = z[i] - f[i];
        if (k) d = ldexp(d, k);
        double r = loo ? d * q : d, e = loo ? d : d / q;
        a[ST_RSS] += r * r;
        a[ST_N] += 1;
        a[ST_NU1] += hat[i];
        a[ST_NU2] += v00[i];
        a[ST_CV] += e * e;
    }
    for (int k = 0; k < NSTAT; k++) st[k] = a[k];
}

/* The per (column, segment) sums at scale `scale` added in column order
 * into out (with acc's first, when not NULL), then sigma-hat at the data's
 * scale and the sums' scale (NSTATV values): the same bits however the
 * work was split. */
static void stats_total(const double *slots, ptrdiff_t np, const double *acc, int scale,
                        double *out)
{
    for (int k = 0; k < NSTAT; k++) out[k] = acc ? acc[k] : 0;
    for (ptrdiff_t p = 0; p < np; p++) {
        for (int k = 0; k < ST_ZMAX; k++) out[k] += slots[p * NSTAT + k];
        if (slots[p * NSTAT + ST_ZMAX] > out[ST_ZMAX]) out[ST_ZMAX] = slots[p * NSTAT + ST_ZMAX];
    }
    double df = out[ST_N] - 2 * out[ST_NU1] + out[ST_NU2];
    out[ST_SIGMA] = df > 0 ? sqrt(out[ST_RSS] / df) : NAN;
    if (scale) out[ST_SIGMA] = ldexp(out[ST_SIGMA], -scale);
    out[ST_SCALE] = scale;
}

static SEXP stats_vector(const double *st)
{
    SEXP r = PROTECT(allocVector(REALSXP, NSTATV)), nm = PROTECT(allocVector(STRSXP, NSTATV));
    const char *names[NSTATV] = {"rss", "n", "nu1", "nu2", "cvss", "zmax", "sigma", "scale"};
    for (int k = 0; k < NSTATV; k++) {
        REAL(r)[k] = st[k];
        SET_STRING_ELT(nm, k, mkChar(names[k]));
    }
    setAttrib(r, R_NamesSymbol, nm);
    UNPROTECT(2);
    return r;
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
    m->clean = m->exact && m->ny <= ORVEL_CHUNK;   /* the exact engine's segments' rows */
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
    int stats;          /* the statistics' sums, per (column, segment) */
    int scale;          /* their scale (see stats_scale()) */
    double *slots;
    int se_pass;        /* the standard errors alone, se[k] times sc[k] */
    double *se[6], sc[6];
    atomic_int status;
    atomic_ptrdiff_t nonfinite;  /* nodes with an output that is not finite */
} grid_job;

static void grid_chunk(void *arg, ptrdiff_t k, double *scratch)
{
    grid_job *j = arg;
    ptrdiff_t x0, x1, y0, y1, ny = j->m->ny;
    orvel_chunk(&j->c, k, &x0, &x1, &y0, &y1);
    ptrdiff_t at = x0 * ny + y0, h = y1 - y0;
    double *o[6], *v[ORVEL_LP_NVAR(6)] = {0};
    int p = j->m->p;
    if (j->se_pass) {
        for (int i = 0; i < p; i++) o[i] = j->se[i] + at;
        int s = model_se(j->m, x0, x1, y0, y1, o, ny, j->sc, scratch);
        if (s != ORVEL_OK) atomic_store(&j->status, s);
        return;
    }
    for (int i = 0; i < p; i++) o[i] = j->out[i] + at;
    if (j->stats) {
        /* The hat values and the smooth's variance factors into the
         * scratch, a chunk's column after another. */
        ptrdiff_t cn = j->c.cols * h;
        v[p + ORVEL_LP_HAT] = scratch;
        v[p + ORVEL_LP_VAR00] = scratch + cn;
        scratch += 2 * cn;
    }
    int s = model_fit(j->m, 0, j->m->nx, x0, x1, y0, y1, o, ny, j->stats ? v : NULL, h, scratch);
    if (s != ORVEL_OK) atomic_store(&j->status, s);
    if (j->stats)
        for (ptrdiff_t ix = x0; ix < x1; ix++) {
            ptrdiff_t c = (ix - x0) * h;
            stats_add(j->m->z + ix * ny + y0, o[0] + (ix - x0) * ny, v[p + ORVEL_LP_HAT] + c,
                      v[p + ORVEL_LP_VAR00] + c, h, j->m->loo, j->scale, NULL, NULL,
                      j->slots + (ix * j->c.nseg + y0 / j->c.rows) * NSTAT);
        }
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
 * benchmark of the fit into memory already mapped; planes only); se: 0,
 * 1 for the statistics, 2 for them and the standard errors; unit: with
 * se = 2, p factors that take each output to the unit its standard error
 * is wanted in. Returns list(F, gFx, gFy), fresh vectors shaped and named
 * like z or those of `work`, for degree 2 an array of z's rows and
 * columns by 3 of the coefficients of dy^2, dy dx and dx^2 per node step,
 * and with se = 2 an array of z's rows and columns by p of the standard
 * errors; with the attribute "nonfinite", the number of nodes with one of
 * the first three not finite, where that is not zero "zmax", the largest
 * finite |z|, and with se "stats" (see stats_total()). */
SEXP orvel_fit_grid(SEXP z, SEXP K, SEXP degree, SEXP holdout, SEXP narm, SEXP exact,
                    SEXP threads, SEXP work, SEXP se, SEXP unit)
{
    ptrdiff_t nx, ny = grid_dims(z, &nx);
    int nt = orvel_arg_threads(threads);
    int want = (int) orvel_arg_whole(se, "se", 0, 2);
    model m;
    PROTECT(model_init(&m, K, degree, holdout, narm, exact, ny, nx));
    const double *un = want == 2 ? orvel_arg_reals(unit, "unit", m.p) : NULL;
    model_data(&m, z);
    R_xlen_t n = XLENGTH(z);
    if (want == 2 && n > R_XLEN_T_MAX / m.p) error("orvel: the grid is too large for standard errors");
    SEXP out;
    if (isNull(work)) {
        out = PROTECT(allocVector(VECSXP, (m.p == 3 ? 3 : 4) + (want == 2)));
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
        if (want == 2) {
            SEXP q = orvel_alloc(m.p * n), d3 = PROTECT(allocVector(INTSXP, 3));
            SET_VECTOR_ELT(out, m.p == 3 ? 3 : 4, q);
            INTEGER(d3)[0] = INTEGER(dim)[0];
            INTEGER(d3)[1] = INTEGER(dim)[1];
            INTEGER(d3)[2] = m.p;
            setAttrib(q, R_DimSymbol, d3);
            UNPROTECT(1);
        }
    } else {
        if (want) error("orvel: `work` is for the fit alone");
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
    grid_job j = {&m, {0}, {0}, want > 0, 0, NULL, 0, {0}, {0}, 0, 0};
    /* The sums' scale, from the whole grid's largest |z|. */
    double zbig = want ? abs_max(m.z, n) : 0;
    j.scale = stats_scale(zbig);
    for (int i = 0; i < m.p; i++) {
        j.out[i] = i < 3 ? REAL(VECTOR_ELT(out, i)) : REAL(VECTOR_ELT(out, 3)) + (i - 3) * n;
        if (want == 2) j.se[i] = REAL(VECTOR_ELT(out, m.p == 3 ? 3 : 4)) + i * n;
    }
    model_chunks(&m, &j.c, ny, 0, nx);
    ptrdiff_t np = orvel_mul(nx, j.c.nseg, "the statistics' sums");
    if (want) j.slots = (double *) R_alloc(np, NSTAT * sizeof(double));
    R_xlen_t extra = want ? orvel_mul(2 * j.c.cols, ny < j.c.rows ? ny : j.c.rows, "the scratch") : 0;
    orvel_parallel(j.c.n, nt, orvel_add(model_scratch(&m, &j.c), extra, "the scratch"), grid_chunk, &j);
    check_fit(atomic_load(&j.status));
    if (want) {
        double st[NSTATV];
        stats_total(j.slots, np, NULL, j.scale, st);
        setAttrib(out, install("stats"), stats_vector(st));
        /* Then the standard errors, which need sigma-hat: from the weights
         * alone, written once. */
        if (want == 2) {
            for (int i = 0; i < m.p; i++) j.sc[i] = st[ST_SIGMA] * un[i];
            j.se_pass = 1;
            orvel_parallel(j.c.n, nt, model_scratch(&m, &j.c), grid_chunk, &j);
            check_fit(atomic_load(&j.status));
        }
    }
    ptrdiff_t bad = atomic_load(&j.nonfinite);
    setAttrib(out, install("nonfinite"), ScalarReal((double) bad));
    /* Where some node is not finite: the largest finite |z|, which tells
     * the caller whether the sums could have left the range of doubles. */
    if (bad) setAttrib(out, install("zmax"), ScalarReal(want ? zbig : abs_max(m.z, n)));
    UNPROTECT(3);
    return out;
}

/* ---- A block of a raster ------------------------------------------- */

/* Layer codes of orvel_fit_block(): SE + code is the standard error of
 * layer `code` (not the landform classes'). */
enum { SMOOTH = 1, DZDX = 2, DZDY = 3, SLOPE = 4, ASPECT = 5, D2ZDX2 = 6, D2ZDXDY = 7,
       D2ZDY2 = 8, PROFILE = 9, PLAN = 10, TANGENTIAL = 11, MEAN = 12, GAUSSIAN = 13,
       MAXCURV = 14, MINCURV = 15, HILLSHADE = 16, LONGITUDINAL = 17, CROSS_SECTIONAL = 18,
       FEATURES = 19, TWISTING = 20, EASTNESS = 21, NORTHNESS = 22, DIRSLOPE = 23,
       LAST_LAYER = 23, SE = 64, STATS = 0 };

/* Whether layer `base` (no standard error's) needs a quadratic; whether it
 * follows the slope line or the contour (NA on ground flatter than the
 * least slope). */
static int needs_quadratic(int base)
{
    return (base >= D2ZDX2 && base <= MINCURV) || (base >= LONGITUDINAL && base <= TWISTING);
}
static int directional_layer(int base)
{
    return base == ASPECT || (base >= PROFILE && base <= TANGENTIAL) ||
           (base >= LONGITUDINAL && orvel_morph_directional(base - LONGITUDINAL));
}

typedef struct block_job {
    model *m;
    ptrdiff_t col0, ncol;
    ptrdiff_t iy0, th;   /* the target rows: iy0 .. iy0 + th - 1 */
    orvel_chunks c;
    const int *what;     /* layer codes, nl of them */
    int nl, policy;      /* na.policy: 0 all, 1 omit, 2 only */
    const double *dx;    /* east-west cell size, one or one per grid column */
    int per_col;
    double dy, scale;
    double fx, fy;       /* -1 where the grid's columns run west, its rows north */
    orvel_terrain_opts opts; /* the sun, the elevations' scale, the least slope, ... */
    double *out;         /* layer l of node (ix, iy) at l * m + (ix - ix0) * ny + iy */
    ptrdiff_t mlen;      /* the layers' stride */
    int var;             /* the variance factors are wanted */
    double sigma;        /* the noise's standard deviation, for the standard errors */
    double *slots;       /* statistics: NSTAT sums per (column, segment) */
    int sums_scale;      /* statistics: the sums' scale (see stats_scale()) */
    const Rbyte *keep;   /* statistics: score only nodes flagged here (global index), or NULL */
    Rbyte *can;          /* statistics: cleared where a node cannot be scored, or NULL */
    atomic_int status;
} block_job;

/* Doubles of scratch per node of a chunk: p outputs, a spare (the east-west
 * scales), and the variance factors when wanted. */
static int chunk_arrays(const block_job *j)
{
    return j->m->p + 1 + (j->var ? ORVEL_LP_NVAR(j->m->p) : 0);
}

/* Fits chunk k into the scratch (p outputs, each of the chunk's nodes,
 * `h` a column, the spare, the variance factors when wanted, then the
 * engine's scratch), and says where it is. */
static int fit_chunk(block_job *j, ptrdiff_t k, double *s, ptrdiff_t *x0, ptrdiff_t *x1,
                     ptrdiff_t *y0, ptrdiff_t *y1)
{
    orvel_chunk(&j->c, k, x0, x1, y0, y1);
    *y0 += j->iy0;
    *y1 += j->iy0;
    ptrdiff_t h = *y1 - *y0, n = (*x1 - *x0) * h;
    int p = j->m->p;
    double *o[6], *v[ORVEL_LP_NVAR(6)];
    for (int i = 0; i < p; i++) o[i] = s + i * n;
    for (int i = 0; i < ORVEL_LP_NVAR(p); i++) v[i] = s + (p + 1 + i) * n;
    int status = model_fit(j->m, j->col0, j->ncol, *x0, *x1, *y0, *y1, o, h, j->var ? v : NULL,
                           h, s + chunk_arrays(j) * n);
    if (status != ORVEL_OK) atomic_store(&j->status, status);
    return status == ORVEL_OK;
}

/* The statistics' sums of chunk k, per column in row order over the nodes
 * scored (and that `keep` flags). */
static void stats_chunk(void *arg, ptrdiff_t k, double *s)
{
    block_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    if (!fit_chunk(j, k, s, &x0, &x1, &y0, &y1)) return;
    ptrdiff_t h = y1 - y0, n = (x1 - x0) * h, ny = j->m->ny, seg = y0 / j->c.rows;
    const double *hat = s + (2 * j->m->p + 1 + ORVEL_LP_HAT) * n;
    const double *v00 = s + (2 * j->m->p + 1 + ORVEL_LP_VAR00) * n;
    for (ptrdiff_t ix = x0; ix < x1; ix++) {
        ptrdiff_t g = ix * ny + y0, c = (ix - x0) * h;
        stats_add(j->m->z + (ix - j->col0) * ny + y0, s + c, hat + c, v00 + c, h, j->m->loo,
                  j->sums_scale, j->keep ? j->keep + g : NULL, j->can ? j->can + g : NULL,
                  j->slots + ((ix - j->c.ix0) * j->c.nseg + seg) * NSTAT);
    }
}

/* The standard errors of layer `code` over a chunk of nc columns of h
 * nodes from column x0 on: s the fit's scratch (see fit_chunk()), cx the
 * columns' east-west scales, kn the north-south one (see layer_chunk()).
 * Slope and aspect's by the delta method, from the variances and the
 * covariance of the two slopes: NaN where the fitted plane is level, whose
 * aspect is undefined and whose slope is not a smooth function of the
 * data. */
static void se_layer(const block_job *j, int code, const double *s, ptrdiff_t n, ptrdiff_t x0,
                     ptrdiff_t nc, ptrdiff_t h, const double *cx, double kn, double *o)
{
    int p = j->m->p;
    const double *v = s + (p + 1) * n, *ge = s + n, *gn = s + 2 * n;
    double sg = j->sigma;
    if (code == SLOPE || code == ASPECT) {
        for (ptrdiff_t c = 0; c < nc; c++)
            for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) {
                double a = ge[i] / cx[c], b = gn[i] * kn, g2 = a * a + b * b;
                double va = v[n + i] / (cx[c] * cx[c]), vb = v[2 * n + i] * (kn * kn);
                double cab = v[p * n + i] * kn / cx[c] * (j->fx * j->fy);
                double q = code == SLOPE ? a * a * va + 2 * a * b * cab + b * b * vb
                                         : b * b * va - 2 * a * b * cab + a * a * vb;
                /* (a slope in percent, 100 sqrt(g2), has 100 / sqrt(g2) as its scale) */
                int pct = code == SLOPE && j->opts.percent;
                double d = code == SLOPE ? (pct ? sqrt(g2) : sqrt(g2) * (1 + g2)) : g2;
                o[i] = g2 > 0 ? sg * (pct ? 100 : j->scale) * sqrt(q < 0 ? 0 : q) / d : NAN;
            }
        return;
    }
    int k = code == SMOOTH ? 0 : code == DZDX ? 1 : code == DZDY ? 2 : code - D2ZDX2 + 3;
    for (ptrdiff_t c = 0; c < nc; c++) {
        /* The layer's unit, as in layer_chunk(), without its sign. */
        double ex = j->dx[j->per_col ? x0 + c : 0];
        double f = code == SMOOTH ? 1 : code == DZDX ? 1 / cx[c] : code == DZDY ? -kn
                 : code == D2ZDX2 ? 2 / (ex * ex) : code == D2ZDXDY ? 1 / (ex * j->dy)
                 : 2 / (j->dy * j->dy);
        for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) o[i] = sg * f * sqrt(v[k * n + i]);
    }
}

/* The layers that need the derivatives of every node together: the
 * curvatures (codes PROFILE .. MINCURV), the hillshade, the measures of
 * morphometry.h (LONGITUDINAL .. DIRSLOPE) and their standard errors (SE +
 * those). d = (z_x, z_y, z_xx, z_xy, z_yy) per map unit, x east and y north
 * (the last three zero for a plane), and their covariance from the
 * variance factors. */
static void surface_layer(const block_job *j, int code, const double *s, ptrdiff_t n,
                          ptrdiff_t x0, ptrdiff_t nc, ptrdiff_t h, const double *cx, double kn,
                          double *o)
{
    int p = j->m->p, se = code > SE, base = se ? code - SE : code, which = base - PROFILE;
    int shade = base == HILLSHADE, morph = base >= LONGITUDINAL;
    const double *v = s + (p + 1) * n, *ge = s + n, *gn = s + 2 * n;
    const double *b3 = s + 3 * n, *b4 = s + 4 * n, *b5 = s + 5 * n;
    for (ptrdiff_t c = 0; c < nc; c++) {
        double ex = j->dx[j->per_col ? x0 + c : 0];
        /* Each derivative is a coefficient times a: the flips are in the
         * coefficients already, and in a for their covariances. */
        double a[5] = {1 / cx[c], kn, 2 / (ex * ex), -1 / (ex * j->dy), 2 / (j->dy * j->dy)};
        double f[5] = {j->fx, j->fy, 1, j->fx * j->fy, 1};
        /* Level: a gradient below 1e-10 of the elevation per cell, which
         * is what rounding leaves of the slopes of level ground (about
         * 1e-15 of it). */
        double cell = ex < j->dy ? ex : j->dy, lv = 1e-10 / cell;
        if (!se && !shade && !morph) {
            ptrdiff_t i = c * h;
            orvel_curvature_column(which, ge + i, gn + i, b3 + i, b4 + i, b5 + i, s + i, a, lv, h,
                                   o + i);
            continue;
        }
        for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) {
            int q2 = p == 6;
            double d[5] = {ge[i] * a[0], gn[i] * a[1], q2 ? b3[i] * a[2] : 0,
                           q2 ? b4[i] * a[3] : 0, q2 ? b5[i] * a[4] : 0};
            double gmin = (s[i] * lv) * (s[i] * lv);
            if (!se && shade) {
                o[i] = orvel_hillshade(&j->opts, d[0], d[1]);
                continue;
            }
            if (!se) {
                o[i] = orvel_morph(base - LONGITUDINAL, d, gmin, &j->opts, j->scale);
                continue;
            }
            /* Coefficients 1 .. 5 in the engine's order are d's. */
            double C[25];
            for (int r = 0; r < 5; r++)
                for (int q = r; q < 5; q++) {
                    double vv = q + 1 >= p ? 0 : r == q ? v[(r + 1) * n + i]
                                       : v[ORVEL_LP_COV(p, r + 1, q + 1) * n + i];
                    C[r * 5 + q] = C[q * 5 + r] = vv * a[r] * a[q] * f[r] * f[q];
                }
            double e = shade ? orvel_hillshade_se(&j->opts, d[0], d[1], C[0], C[6], C[1])
                     : morph ? orvel_morph_se(base - LONGITUDINAL, d, gmin, &j->opts, j->scale, C)
                             : orvel_curvature_se(which, d, gmin, C);
            o[i] = j->sigma * e;
        }
    }
}

/* The layers of chunk k: the smooth, the slopes per map unit east and
 * north, slope and aspect, the second derivatives, the curvatures, the
 * hillshade, and the standard errors. */
static void layer_chunk(void *arg, ptrdiff_t k, double *s)
{
    block_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    if (!fit_chunk(j, k, s, &x0, &x1, &y0, &y1)) return;
    ptrdiff_t h = y1 - y0, n = (x1 - x0) * h, ny = j->m->ny;
    double *F = s, *ge = s + n, *gn = s + 2 * n;
    if (j->opts.rook)
        orvel_rook_centres(j->m->z, j->col0, j->ncol, ny, j->m->nx, x0, x1, y0, h, F, ge, gn);
    /* The grid's fast index runs east along a raster row, its slow index
     * south down the rows: gFx is the change across the raster's ny
     * columns, gFy across its nx rows, southward; the second coefficients
     * are per cell step squared, east and south. Where the columns run
     * west or the rows north, the slopes along them and the mixed
     * coefficient change sign. */
    if (j->fx < 0)
        for (ptrdiff_t i = 0; i < n; i++) ge[i] = -ge[i];
    if (j->fy < 0)
        for (ptrdiff_t i = 0; i < n; i++) gn[i] = -gn[i];
    if (j->fx * j->fy < 0 && j->m->p == 6)
        for (ptrdiff_t i = 0; i < n; i++) F[4 * n + i] = -F[4 * n + i];
    /* Elevations in other units than the map's: the fit is linear in them. */
    if (j->opts.zscale != 1)
        for (ptrdiff_t i = 0; i < j->m->p * n; i++) F[i] *= j->opts.zscale;
    double *cx = s + j->m->p * n;
    for (ptrdiff_t ix = x0; ix < x1; ix++)
        cx[ix - x0] = (double) ny * j->dx[j->per_col ? ix : 0];
    double kn = -1.0 / ((double) j->m->nx * j->dy);
    double *at = j->out + (x0 - j->c.ix0) * j->th + (y0 - j->iy0);
    int ang[2], na = 0;
    double *ao[2];
    for (int l = 0; l < j->nl; l++) {
        double *o = at + l * j->mlen;
        /* Chunks are whole columns of the target rows (h == th) or part
         * of one column: either way the chunk's cells are contiguous in
         * each layer. */
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
        case SLOPE: case ASPECT:
            if (j->what[l] == SLOPE && j->opts.percent) {
                for (ptrdiff_t c = 0; c < x1 - x0; c++)
                    for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) {
                        double a = ge[i] / cx[c], b = gn[i] * kn;
                        o[i] = 100 * sqrt(a * a + b * b);
                    }
                break;
            }
            if (na < 2) {
                ang[na] = j->what[l] == SLOPE ? 1 : 2;
                ao[na++] = o;
            }
            break;
        default: {
            int base = j->what[l] > SE ? j->what[l] - SE : j->what[l];
            if (base >= PROFILE)
                surface_layer(j, j->what[l], s, n, x0, x1 - x0, h, cx, kn, o);
            else
                se_layer(j, base, s, n, x0, x1 - x0, h, cx, kn, o);
        }
        }
    }
    if (na)
        orvel_angles_pass(ge, gn, x1 - x0, h, cx, 1, (double) j->m->nx * j->dy, ang, na,
                          j->scale, ao, 0);
    /* Ground flatter than the least slope has no aspect, slope line or
     * contour. */
    if (j->opts.flat2 > 0)
        for (int l = 0; l < j->nl; l++) {
            int base = j->what[l] > SE ? j->what[l] - SE : j->what[l];
            if (!directional_layer(base)) continue;
            double *o = at + l * j->mlen;
            for (ptrdiff_t c = 0; c < x1 - x0; c++)
                for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) {
                    double a = ge[i] / cx[c], b = gn[i] * kn;
                    if (a * a + b * b < j->opts.flat2) o[i] = NA_REAL;
                }
        }
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
 * go to position `at` on in each layer of `out`, or c(ny, nx, col0, ix0,
 * ix1, at, iy0, iy1) for the target rows iy0 .. iy1 - 1 of those columns
 * alone (a tile: `out` holds th = iy1 - iy0 values a column, and z need
 * hold only the rows their windows reach, see orvel_tile_grid()); K, degree, holdout, narm,
 * exact: the model, K laid over the grid (see model_init()); policy: 0, 1,
 * 2 for na.policy "all", "omit", "only"; what: layer codes (1 smooth, 2
 * dzdx, 3 dzdy, 4 slope, 5 aspect, 6 d2zdx2, 7 d2zdxdy, 8 d2zdy2, 9 to 15
 * the profile, plan, tangential, mean, Gaussian, maximal and minimal
 * curvatures, 16 hillshade, 17 to 23 the longitudinal and cross-sectional
 * curvatures, the landform classes, the twisting curvature, eastness,
 * northness and the directional slope, and 64 + any but the classes for
 * its standard error, each at most once), or 0 alone for the statistics; dx: the
 * east-west cell size, one or one per grid column; dy: the north-south
 * cell size; flip: c(-1 where the grid's columns run west, else 1, -1
 * where its rows run north, else 1); scale: the angles' unit (1 radians,
 * 180 / pi degrees); shade: the sun's altitude and azimuth in degrees, for
 * the hillshade, or the terrain options (see orvel_terrain_opts_read());
 * sigma: the noise's standard deviation, for standard errors;
 * out: for layers, a double vector (from orvel_alloc()) that nothing else
 * refers to, holding the layers one after another, each in the grid's
 * order, written in place and returned; for the statistics, the
 * statistics' vector so far (see stats_total(): the sums, sigma-hat, which
 * is not read, and the sums' scale, NA for the scale of this block's
 * data), returned with this block's sums added at that scale; keep, can:
 * for the statistics, NULL or flags of orvel_flags_new() (`keep` also a
 * raw vector), a flag per node of the whole grid: only nodes flagged in
 * `keep` are scored, and the flag in `can` of a node that cannot be is
 * cleared. */
SEXP orvel_fit_block(SEXP z, SEXP geom, SEXP K, SEXP degree, SEXP holdout, SEXP narm,
                     SEXP exact, SEXP policy, SEXP what, SEXP dx, SEXP dy, SEXP flip,
                     SEXP scale, SEXP shade, SEXP sigma, SEXP out, SEXP keep, SEXP can,
                     SEXP threads)
{
    const double *gm = orvel_arg_reals(geom, "geom", -1);
    int ng = (int) XLENGTH(geom);
    if (ng != 6 && ng != 8) error("orvel: `geom` must hold six or eight values");
    for (int i = 0; i < ng; i++)
        if (!isfinite(gm[i]) || gm[i] != floor(gm[i]) || gm[i] < 0 || gm[i] > R_XLEN_T_MAX)
            error("orvel: `geom` must hold whole numbers");
    ptrdiff_t ny = (ptrdiff_t) gm[0], nx = (ptrdiff_t) gm[1], col0 = (ptrdiff_t) gm[2];
    ptrdiff_t ix0 = (ptrdiff_t) gm[3], ix1 = (ptrdiff_t) gm[4], at = (ptrdiff_t) gm[5];
    ptrdiff_t iy0 = ng == 8 ? (ptrdiff_t) gm[6] : 0, iy1 = ng == 8 ? (ptrdiff_t) gm[7] : ny;
    if (ny < 1 || nx < 1) error("orvel: `geom` must give a grid of at least one node");
    /* Nodes are indexed across the whole grid (`keep`, `can`). */
    R_xlen_t cells = orvel_mul(ny, nx, "`geom`'s grid of nodes");
    if (iy0 > iy1 || iy1 > ny) error("orvel: `geom` must give target rows within the grid");
    orvel_arg_reals(z, "z", -1);
    if (XLENGTH(z) % ny != 0) error("orvel: `z` must hold whole columns of ny values");
    ptrdiff_t ncol = XLENGTH(z) / ny;
    if (ix0 > ix1 || ix1 > nx || col0 > nx || ncol > nx - col0)
        error("orvel: `geom` does not match the columns held in `z`");
    int nt = orvel_arg_threads(threads);
    int pol = (int) orvel_arg_whole(policy, "policy", 0, 2);
    int nl = orvel_arg_what(what, "what", 0, SE + LAST_LAYER);
    const int *w = INTEGER(what);
    if (nl == 0) error("orvel: `what` must name at least one layer");
    for (int l = 0; l < nl; l++)
        if ((w[l] > LAST_LAYER && w[l] <= SE) || w[l] == SE + FEATURES)
            error("orvel: `what` code %d names no layer", w[l]);
    int cv = nl == 1 && w[0] == STATS, var = cv;
    if (cv && (iy0 != 0 || iy1 != ny)) error("orvel: the statistics are summed over whole columns");
    for (int l = 0; l < nl && !cv; l++) {
        if (w[l] == STATS) error("orvel: `what` asks for the statistics alone or for layers");
        var |= w[l] > SE;
        for (int i = 0; i < l; i++)
            if (w[i] == w[l]) error("orvel: `what` must name each layer once");
    }
    orvel_arg_reals(dx, "dx", -1);
    if (XLENGTH(dx) != 1 && XLENGTH(dx) != nx)
        error("orvel: `dx` must hold one cell size or one per grid column");
    double d_y = orvel_arg_number(dy, "dy"), sc = orvel_arg_number(scale, "scale");
    double sg = orvel_arg_number(sigma, "sigma");
    const double *fl = orvel_arg_reals(flip, "flip", 2);
    for (int i = 0; i < 2; i++)
        if (fl[i] != 1 && fl[i] != -1) error("orvel: `flip` must hold two of 1 and -1");
    orvel_terrain_opts opts;
    orvel_terrain_opts_read(shade, &opts);
    model m;
    PROTECT(model_init(&m, K, degree, holdout, narm, exact, ny, nx));
    model_data(&m, z);
    /* The columns held must cover every target's window. */
    ptrdiff_t need0 = ix0 > m.halo ? ix0 - m.halo : 0;
    ptrdiff_t need1 = ix1 + m.halo < nx ? ix1 + m.halo : nx;
    if (col0 > need0 || col0 + ncol < need1)
        error("orvel: `geom` does not match the columns held in `z`");
    for (int l = 0; l < nl && !cv; l++) {
        int base = w[l] > SE ? w[l] - SE : w[l];
        if (needs_quadratic(base) && m.p < 6)
            error("orvel: second derivatives and curvatures need degree 2");
    }

    /* (the noise's standard deviation in the elevations' scaled units) */
    block_job j = {&m, col0, ncol, iy0, iy1 - iy0, {0}, w, nl, pol, REAL(dx), XLENGTH(dx) != 1, d_y, sc,
                   fl[0], fl[1], opts, NULL, 0, var, sg * fabs(opts.zscale), NULL, 0, NULL, NULL, 0};
    model_chunks(&m, &j.c, j.th, ix0, ix1);
    ptrdiff_t chunk = orvel_mul(j.c.cols, j.th < j.c.rows ? j.th : j.c.rows, "a chunk");
    size_t scratch = orvel_add(orvel_mul(chunk_arrays(&j), chunk, "the scratch"),
                               model_scratch(&m, &j.c), "the scratch");
    if (cv) {
        /* The sums so far, sigma-hat and their scale: a previous block's
         * result, or zeros and NA for the scale of this block's data. */
        const double *acc = orvel_arg_reals(out, "out", NSTATV);
        double sk = acc[ST_SCALE];
        if (ISNAN(sk)) {
            j.sums_scale = stats_scale(abs_max(m.z, XLENGTH(z)));
        } else {
            if (sk != floor(sk) || fabs(sk) > 2200)
                error("orvel: `out` must end in the sums' scale, a whole number or NA");
            j.sums_scale = (int) sk;
        }
        /* `keep` is only read; `can` is written in place, and so must be
         * flags R code cannot see (orvel_flags_new()). */
        j.keep = orvel_arg_flags(keep, "keep", cells, 1);
        j.can = orvel_arg_flags(can, "can", cells, 0);
        ptrdiff_t np = orvel_mul(ix1 - ix0, j.c.nseg, "the statistics' sums");
        j.slots = (double *) R_alloc(np > 0 ? np : 1, NSTAT * sizeof(double));
        orvel_parallel(j.c.n, nt, scratch, stats_chunk, &j);
        check_fit(atomic_load(&j.status));
        double st[NSTATV];
        stats_total(j.slots, np, acc, j.sums_scale, st);
        UNPROTECT(2);
        return stats_vector(st);
    }
    for (ptrdiff_t i = 0; i < XLENGTH(dx); i++)
        if (!(REAL(dx)[i] > 0) || !isfinite(REAL(dx)[i]))
            error("orvel: `dx` must hold positive finite cell sizes");
    if (!(d_y > 0)) error("orvel: `dy` must be a positive cell size");
    if (TYPEOF(out) != REALSXP || MAYBE_SHARED(out))
        error("orvel: `out` must be a double vector that nothing else refers to");
    j.mlen = XLENGTH(out) / nl;
    if (XLENGTH(out) % nl != 0 || at > j.mlen ||
        (j.th > 0 && ix1 - ix0 > (j.mlen - at) / j.th))
        error("orvel: `out` has no room for the block's layers at `geom`'s position");
    j.out = REAL(out) + at;
    orvel_parallel(j.c.n, nt, scratch, layer_chunk, &j);
    check_fit(atomic_load(&j.status));
    UNPROTECT(2);
    return out;
}

/* A tile's grid for orvel_fit_block(): `vals`, the nrows x ncols cells of
 * a raster's rows from column c0 (0-based) on as terra reads them, a row
 * after another, placed at their columns in a vector of nrows rows of the
 * raster's nx columns (each a column of the fitting engine's grid, which
 * then has the whole raster's geometry). Only the rows' cells at c0 ..
 * c0 + ncols - 1 are written; the rest is left as allocated, untouched, so
 * that the memory a tile takes is its own cells' (the operating system
 * maps only pages that are written), not the width of the raster. */
SEXP orvel_tile_grid(SEXP vals, SEXP nx, SEXP c0)
{
    const double *v = orvel_arg_reals(vals, "vals", -1);
    R_xlen_t n = (R_xlen_t) orvel_arg_whole(nx, "nx", 1, R_XLEN_T_MAX);
    R_xlen_t c = (R_xlen_t) orvel_arg_whole(c0, "c0", 0, (double) n - 1);
    /* ncols cells a row: the caller's rows hold them all (vals's length
     * over the rows is checked by the caller's own geometry). */
    SEXP dims = getAttrib(vals, R_DimSymbol);
    if (TYPEOF(dims) != INTSXP || LENGTH(dims) != 2)
        error("orvel: `vals` must be a matrix of the tile's columns by its rows");
    R_xlen_t w = INTEGER(dims)[0], rows = INTEGER(dims)[1];
    if (w < 1 || w > n - c) error("orvel: the tile's columns must lie within the raster's");
    if (XLENGTH(vals) != w * rows)
        error("orvel: `vals` does not hold its dimensions' number of values");
    R_xlen_t len = orvel_mul(rows, n, "the tile's grid");
    /* Not orvel_alloc(): huge pages would map the cells never written. */
    SEXP z = PROTECT(allocVector(REALSXP, len));
    double *o = REAL(z);
    for (R_xlen_t r = 0; r < rows; r++) memcpy(o + r * n + c, v + r * w, w * sizeof(double));
    UNPROTECT(1);
    return z;
}

/* A fresh double vector of n values for orvel_fit_block() to fill. */
SEXP orvel_buffer_alloc(SEXP n)
{
    return orvel_alloc(orvel_arg_whole(n, "n", 0, R_XLEN_T_MAX));
}

/* The instruction sets of this process: a list of the level in use (the
 * CPU's capped by ORVEL_ISA), the CPU's own level, the variant the exact
 * engine runs ("avx512", "avx2" or "generic"), the CPU's named features and
 * ORVEL_ISA's value if it named no level (else NULL). */
SEXP orvel_isa(void)
{
    static const char *names[] = {"level", "cpu", "engine", "features", "ignored", ""};
    static const struct { unsigned bit; const char *name; } feat[] = {
        {ORVEL_CPU_AVX, "avx"},         {ORVEL_CPU_AVX2, "avx2"},
        {ORVEL_CPU_FMA, "fma"},         {ORVEL_CPU_AVX512F, "avx512f"},
        {ORVEL_CPU_AVX512DQ, "avx512dq"}, {ORVEL_CPU_AVX512BW, "avx512bw"},
        {ORVEL_CPU_AVX512VL, "avx512vl"}};
    const int nfeat = (int) (sizeof feat / sizeof feat[0]);
    const unsigned f = orvel_cpu_features();
    const orvel_isa_level level = orvel_cpu_level();
    SEXP out = PROTECT(mkNamed(VECSXP, names));
    SET_VECTOR_ELT(out, 0, mkString(orvel_cpu_level_name(level)));
    SET_VECTOR_ELT(out, 1, mkString(orvel_cpu_level_name(orvel_cpu_level_of(f))));
    const char *engine = "generic";
    switch (orvel_localfit_isa_at(level)) {
    case ORVEL_ISA_AVX512: engine = "avx512"; break;
    case ORVEL_ISA_AVX2: engine = "avx2"; break;
    default: break;
    }
    SET_VECTOR_ELT(out, 2, mkString(engine));
    int n = 0;
    for (int i = 0; i < nfeat; i++) n += (f & feat[i].bit) != 0;
    SEXP fs = allocVector(STRSXP, n);
    SET_VECTOR_ELT(out, 3, fs);
    for (int i = 0, j = 0; i < nfeat; i++)
        if (f & feat[i].bit) SET_STRING_ELT(fs, j++, mkChar(feat[i].name));
    const char *bad = orvel_cpu_isa_env();
    SET_VECTOR_ELT(out, 4, bad ? mkString(bad) : R_NilValue);
    UNPROTECT(1);
    return out;
}

/* Flags of n nodes for orvel_select(), all set (see orvel_flags_make()). */
SEXP orvel_flags_new(SEXP n)
{
    R_xlen_t len = orvel_arg_whole(n, "n", 0, R_XLEN_T_MAX);
    SEXP v = orvel_flags_make(len);
    memset(RAW(R_ExternalPtrProtected(v)), 1, len);
    return v;
}

/* The number of flags of orvel_flags_new() x: 0 for NULL. */
static R_xlen_t flags_length(SEXP x)
{
    SEXP v = TYPEOF(x) == EXTPTRSXP ? R_ExternalPtrProtected(x) : R_NilValue;
    return TYPEOF(v) == RAWSXP ? XLENGTH(v) : 0;
}

/* can &= mine where `and`, and mine set back to ones, both in place: flags
 * of one length from orvel_flags_new(). Returns the number of flags set in
 * can. */
SEXP orvel_flags_and(SEXP can, SEXP mine, SEXP and)
{
    R_xlen_t n = flags_length(can);
    Rbyte *c = orvel_arg_flags(can, "can", n, 0), *m = orvel_arg_flags(mine, "mine", n, 0);
    if (!c || !m) error("orvel: `can` and `mine` must be flags from orvel_flags_new()");
    if (c == m) error("orvel: `can` and `mine` must be distinct flags");
    int a = orvel_arg_flag(and, "and");
    double set = 0;
    for (R_xlen_t i = 0; i < n; i++) {
        if (a) c[i] &= m[i];
        m[i] = 1;
        set += c[i] != 0;
    }
    return ScalarReal(set);
}
