/* A grid in memory: its fit, statistics and standard errors at once. */
#include "fpcontract.h"
#include <math.h>
#include <stdatomic.h>
#include <string.h>

#include "args.h"
#include "engine.h"
#include "model.h"
#include "stats.h"

typedef struct grid_job {
    const orvel_model *m;
    const orvel_data *d;
    orvel_chunks c;
    double *out[6];
    int stats;          /* the statistics' sums, per (column, segment) */
    int scale;          /* their scale (see stats_scale()) */
    double *slots;
    int want_se;        /* the variance factors into se[k] with the fit */
    int se_pass;        /* then the square roots of those times sc[k] */
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
        /* The variance factors of the fit's pass, as standard errors. */
        for (int i = 0; i < p; i++)
            for (ptrdiff_t ix = x0; ix < x1; ix++) {
                double *e = j->se[i] + ix * ny + y0, c = fabs(j->sc[i]);
                for (ptrdiff_t r = 0; r < h; r++) e[r] = sqrt(e[r]) * c;
            }
        return;
    }
    for (int i = 0; i < p; i++) o[i] = j->out[i] + at;
    if (j->stats) {
        /* The hat values and the smooth's variance factors into the
         * scratch, a chunk's column after another, and the coefficients'
         * too for the standard errors. */
        ptrdiff_t cn = j->c.cols * h;
        v[p + ORVEL_LP_HAT] = scratch;
        v[p + ORVEL_LP_VAR00] = scratch + cn;
        scratch += 2 * cn;
        for (int i = 0; i < p && j->want_se; i++) {
            v[i] = scratch;
            scratch += cn;
        }
    }
    int s = orvel_model_fit(j->m, j->d, x0, x1, y0, y1, o, ny, j->stats ? v : NULL, h, scratch);
    if (s != ORVEL_OK) atomic_store(&j->status, s);
    for (int i = 0; i < p && j->want_se && s == ORVEL_OK; i++)
        for (ptrdiff_t ix = x0; ix < x1; ix++)
            memcpy(j->se[i] + ix * ny + y0, v[i] + (ix - x0) * h, h * sizeof(double));
    if (j->stats)
        for (ptrdiff_t ix = x0; ix < x1; ix++) {
            ptrdiff_t c = (ix - x0) * h;
            stats_add(j->d->z + ix * ny + y0, o[0] + (ix - x0) * ny, v[p + ORVEL_LP_HAT] + c,
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

/* model: a model of orvel_model_new() on z's grid; z: the grid, a double
 * matrix; req, the request, a named list: threads; se: 0, 1 for the
 * statistics, 2 for them and the standard errors; unit: with se = 2, p
 * factors that take each output to the unit its standard error is wanted
 * in; work: NULL, or a list of three double vectors of z's length that
 * nothing else refers to, to be written in place (for the benchmark of the
 * fit into memory already mapped; planes only). Returns list(F, gFx, gFy),
 * fresh vectors shaped and named like z or those of `work`, for degree 2
 * an array of z's rows and columns by 3 of the coefficients of dy^2, dy dx
 * and dx^2 per node step, and with se = 2 an array of z's rows and columns
 * by p of the standard errors; with the attribute "nonfinite", the number
 * of nodes with one of the first three not finite, where that is not zero
 * "zmax", the largest finite |z|, and with se "stats" (see
 * stats_total()). */
SEXP orvel_fit_grid(SEXP model, SEXP z, SEXP req, SEXP work)
{
    const orvel_model *mp = orvel_model_get(model);
    if (TYPEOF(z) != REALSXP) error("orvel: `z` must be a double matrix");
    SEXP dim = getAttrib(z, R_DimSymbol);
    if (TYPEOF(dim) != INTSXP || LENGTH(dim) != 2 || INTEGER(dim)[0] != mp->ny ||
        INTEGER(dim)[1] != mp->nx)
        error("orvel: `z` must be a matrix of the model's rows and columns");
    ptrdiff_t ny = mp->ny, nx = mp->nx;
    const char *rq = "request";
    int nt = orvel_arg_threads(orvel_arg_field(req, rq, "threads", 1));
    int want = (int) orvel_arg_whole(orvel_arg_field(req, rq, "se", 1), "se", 0, 2);
    const orvel_model m = *mp;
    const double *un = want == 2 ? orvel_arg_reals(orvel_arg_field(req, rq, "unit", 1), "unit", m.p)
                                 : NULL;
    orvel_data d;
    orvel_data_init(&m, z, 0, &d);   /* PROTECTed there */
    R_xlen_t n = XLENGTH(z);
    if (want == 2 && n > R_XLEN_T_MAX / m.p) error("orvel: the grid is too large for standard errors");
    SEXP out;
    if (isNull(work)) {
        if (m.p == 6 && n > R_XLEN_T_MAX / 3) error("orvel: the grid is too large for degree 2");
        out = orvel_grid_result(z, m.p, want == 2);
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
    grid_job j = {&m, &d, {0}, {0}, want > 0, 0, NULL, want == 2, 0, {0}, {0}, 0, 0};
    /* The sums' scale, from the whole grid's largest |z|. */
    double zbig = want ? abs_max(d.z, n) : 0;
    j.scale = stats_scale(zbig);
    for (int i = 0; i < m.p; i++) {
        j.out[i] = i < 3 ? REAL(VECTOR_ELT(out, i)) : REAL(VECTOR_ELT(out, 3)) + (i - 3) * n;
        if (want == 2) j.se[i] = REAL(VECTOR_ELT(out, m.p == 3 ? 3 : 4)) + i * n;
    }
    orvel_model_chunks(&m, &j.c, ny, 0, nx);
    ptrdiff_t np = orvel_mul(nx, j.c.nseg, "the statistics' sums");
    if (want) j.slots = (double *) R_alloc(np, NSTAT * sizeof(double));
    R_xlen_t extra = want ? orvel_mul((2 + (want == 2) * m.p) * j.c.cols,
                                      ny < j.c.rows ? ny : j.c.rows, "the scratch") : 0;
    orvel_parallel(j.c.n, nt, orvel_add(orvel_model_scratch(&m, &d, &j.c), extra, "the scratch"), grid_chunk, &j);
    orvel_check_fit(atomic_load(&j.status));
    if (want) {
        double st[NSTATV];
        stats_total(j.slots, np, NULL, j.scale, st);
        setAttrib(out, install("stats"), stats_vector(st));
        /* Then the standard errors, which need sigma-hat: from the
         * variance factors the fit left in their place. */
        if (want == 2) {
            for (int i = 0; i < m.p; i++) j.sc[i] = st[ST_SIGMA] * un[i];
            j.se_pass = 1;
            orvel_parallel(j.c.n, nt, 0, grid_chunk, &j);
        }
    }
    ptrdiff_t bad = atomic_load(&j.nonfinite);
    setAttrib(out, install("nonfinite"), ScalarReal((double) bad));
    /* Where some node is not finite: the largest finite |z|, which tells
     * the caller whether the sums could have left the range of doubles. */
    if (bad) setAttrib(out, install("zmax"), ScalarReal(want ? zbig : abs_max(d.z, n)));
    UNPROTECT(2);
    return out;
}
