/* The model (model.h): its construction from R, its chunks and scratch,
 * and the fits through the engines. */
#include "fpcontract.h"
#include <math.h>
#include <string.h>

#include "args.h"
#include "cpu.h"
#include "engine.h"
#include "model.h"

static void model_free(SEXP x)
{
    orvel_model *m = R_ExternalPtrAddr(x);
    if (!m) return;
    orvel_lp_free(m->lp);
    R_Free(m);
    R_ClearExternalPtr(x);
}

/* The tag of the model's external pointers. */
static SEXP model_tag(void)
{
    static SEXP tag = NULL;
    if (!tag) tag = install("orvel_model");
    return tag;
}

const orvel_model *orvel_model_get(SEXP ptr)
{
    if (TYPEOF(ptr) != EXTPTRSXP || R_ExternalPtrTag(ptr) != model_tag() ||
        !R_ExternalPtrAddr(ptr))
        error("orvel: `model` must be a model of orvel_model_new() made in this session");
    return R_ExternalPtrAddr(ptr);
}

/* fields: the model's fields, list(K, degree, holdout, narm, exact, ny, nx): the weights K (a
 * double matrix of odd sides from 3 to 101, finite) laid over the grid
 * as the engines take them, the degree (1 or 2), the leave-one-out fit
 * (TRUE or FALSE), whether missing observations are left out of the
 * windows, whether the exact engine fits (a plane on at most 7 x 7), on
 * a grid of ny rows (the fast index) and nx columns. Returns the model, an
 * external pointer that frees it, also when R jumps out of a later call. */
SEXP orvel_model_new(SEXP fields)
{
    const char *what = "fields";
    SEXP K = orvel_arg_field(fields, what, "K", 1);
    SEXP d = getAttrib(K, R_DimSymbol);
    if (TYPEOF(K) != REALSXP || TYPEOF(d) != INTSXP || LENGTH(d) != 2)
        error("orvel: `K` must be a double matrix");
    int ky = INTEGER(d)[0], kx = INTEGER(d)[1];
    if (ky < 3 || kx < 3 || ky > 101 || kx > 101 || ky % 2 == 0 || kx % 2 == 0)
        error("orvel: `K` must have an odd number of rows and of columns from 3 to 101");
    if (XLENGTH(K) != (R_xlen_t) ky * kx) error("orvel: `K` does not hold its dimensions' number of values");
    int deg = (int) orvel_arg_whole(orvel_arg_field(fields, what, "degree", 1), "degree", 1, 2);
    int loo = orvel_arg_flag(orvel_arg_field(fields, what, "holdout", 1), "holdout");
    int rm = orvel_arg_flag(orvel_arg_field(fields, what, "narm", 1), "narm");
    int exact = orvel_arg_flag(orvel_arg_field(fields, what, "exact", 1), "exact");
    R_xlen_t ny = orvel_arg_whole(orvel_arg_field(fields, what, "ny", 1), "ny", 1, R_XLEN_T_MAX);
    R_xlen_t nx = orvel_arg_whole(orvel_arg_field(fields, what, "nx", 1), "nx", 1, R_XLEN_T_MAX);
    orvel_mul(ny, nx, "the grid");
    if (exact && (deg != 1 || ky > 7 || kx > 7))
        error("orvel: `exact` needs a plane on at most 7 x 7");
    const double *k = REAL(K);
    for (int i = 0; i < ky * kx; i++)
        if (!isfinite(k[i])) error("orvel: `K` must hold finite weights");
    SEXP ptr = PROTECT(R_MakeExternalPtr(NULL, model_tag(), R_NilValue));
    R_RegisterCFinalizerEx(ptr, model_free, TRUE);
    orvel_model *m = R_Calloc(1, orvel_model);
    R_SetExternalPtrAddr(ptr, m);
    m->exact = exact;
    if (exact)
        for (int x = 0; x < kx; x++)
            for (int y = 0; y < ky; y++) m->K49[(x + 3 - kx / 2) * 7 + y + 3 - ky / 2] = k[x * ky + y];
    m->lp = orvel_lp_new(k, ky, kx, deg, ny, nx, (loo ? ORVEL_LP_LOO : 0) | (rm ? ORVEL_LP_NARM : 0));
    if (!m->lp) error("orvel: cannot set up the fit (out of memory?)");
    m->p = orvel_lp_ncoef(m->lp);
    m->loo = loo;
    m->narm = rm;
    m->ny = ny;
    m->nx = nx;
    m->halo = exact ? 3 : kx / 2;
    m->ky = ky;
    m->kx = kx;
    UNPROTECT(1);
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
void orvel_model_chunks(const orvel_model *m, orvel_chunks *c, ptrdiff_t ny, ptrdiff_t ix0,
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
size_t orvel_model_scratch(const orvel_model *m, const orvel_data *d, const orvel_chunks *c)
{
    R_xlen_t s = (R_xlen_t) orvel_lp_scratch(m->lp);
    if (d->clean)
        s = orvel_add(s, orvel_mul(orvel_add(c->cols, 6, "the scratch"), m->ny, "the scratch"),
                      "the scratch");
    return (size_t) s;
}

int orvel_model_fit(const orvel_model *m, const orvel_data *d, ptrdiff_t x0, ptrdiff_t x1,
                    ptrdiff_t y0, ptrdiff_t y1, double *const *out, ptrdiff_t stride,
                    double *const *var, ptrdiff_t vstride, double *scratch)
{
    const double scale[6] = {1, (double) m->ny, (double) m->nx, 1, 1, 1};
    ptrdiff_t col0 = d->col0, ncol = d->ncol;
    if (m->exact) {
        orvel_grid g = {m->ny, m->nx, d->zx, col0, ncol, m->K49};
        if (d->clean) {
            /* The columns the chunk's windows reach, with missing values
             * replaced by zeros, where there are any: the rows they reach
             * (whole columns for a chunk of whole columns), at their
             * places, so a tile's grid is read only where it is held. */
            ptrdiff_t c0 = x0 - 3 > col0 ? x0 - 3 : col0;
            ptrdiff_t c1 = x1 + 3 < col0 + ncol ? x1 + 3 : col0 + ncol;
            ptrdiff_t r0 = y0 - 3 > 0 ? y0 - 3 : 0, r1 = y1 + 3 < m->ny ? y1 + 3 : m->ny;
            const double *src = d->z + (c0 - col0) * m->ny;
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
        return orvel_lp_fit(m->lp, d->z, col0, ncol, x0, x1, y0, y1, out, stride, scale,
                            ORVEL_LP_MERGE, var, vstride, scratch) ? ORVEL_BAD_ARGS : ORVEL_OK;
    }
    return orvel_lp_fit(m->lp, d->z, col0, ncol, x0, x1, y0, y1, out, stride, scale, ORVEL_LP_ALL,
                        var, vstride, scratch) ? ORVEL_BAD_ARGS : ORVEL_OK;
}

void orvel_check_fit(int status)
{
    if (status != ORVEL_OK) error("orvel: the fitting engine refused its arguments (%d)", status);
}

SEXP orvel_data_init(const orvel_model *m, SEXP z, ptrdiff_t col0, orvel_data *d)
{
    if (TYPEOF(z) != REALSXP) error("orvel: `z` must be a double vector");
    R_xlen_t n = XLENGTH(z), i = 0;
    if (n % m->ny != 0) error("orvel: `z` must hold whole columns of the grid's %.0f rows", (double) m->ny);
    if (col0 < 0 || col0 > m->nx || n / m->ny > m->nx - col0)
        error("orvel: `z` holds columns beyond the grid's");
    d->z = d->zx = REAL(z);
    d->col0 = col0;
    d->ncol = n / m->ny;
    /* Chunks of whole columns clean their own (orvel_model_fit()); segments of
     * columns would each need whole columns cleaned, so those take a copy
     * of the grid. */
    d->clean = m->exact && m->ny <= ORVEL_CHUNK;   /* the exact engine's segments' rows */
    if (!m->exact || d->clean) return PROTECT(R_NilValue);
    while (i < n && isfinite(d->z[i])) i++;
    if (i == n) return PROTECT(R_NilValue);
    SEXP c = PROTECT(allocVector(REALSXP, n));
    double *x = REAL(c);
    memcpy(x, d->z, n * sizeof(double));
    for (; i < n; i++)
        if (!isfinite(x[i])) x[i] = 0;
    d->zx = x;
    return c;
}
