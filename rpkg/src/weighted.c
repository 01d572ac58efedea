/* Local polynomial fits with observation weights (weighted.h). */
#include "fpcontract.h"
#include <math.h>
#include <stdatomic.h>
#include <string.h>

#include <R.h>
#include <Rinternals.h>

#include "args.h"
#include "lpoly.h"
#include "parallel.h"
#include "stats.h"
#include "weighted.h"

/* A column's statistics' sums, in stats.h's layout: those of the unweighted fits (see
 * stats.c), with the squares weighted by the observations' weights. */

typedef struct wjob {
    const double *z, *w, *K;
    int ky, kx, hy, hx, p, loo, narm, stats, se;
    ptrdiff_t ny, nx, cols;     /* columns a chunk */
    double fac[6];              /* a coefficient of the scaled offsets to its output */
    double *out[6], *sef[6];    /* the outputs; the standard errors over sigma */
    double *slots;              /* NSTAT a column */
    int scale;                  /* the squares' power of two (see stats_scale()) */
    atomic_ptrdiff_t nonfinite;
} wjob;

/* As for the fits without weights: a power of two that brings a largest
 * |z| beyond 2^256 or below 2^-256 into [1, 2), else 0. */


/* V = inv m2 inv (p x p, row-major). */
static void wsandwich(const double *inv, const double *m2, int p, double *V)
{
    double t[36];
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++) {
            double x = 0;
            for (int l = 0; l < p; l++) x += inv[i * p + l] * m2[l * p + j];
            t[i * p + j] = x;
        }
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++) {
            double x = 0;
            for (int l = 0; l < p; l++) x += t[i * p + l] * inv[l * p + j];
            V[i * p + j] = x;
        }
}

/* The lower triangle of a symmetric p x p matrix copied to its upper. */
static void wsymm(double *m, int p)
{
    for (int i = 0; i < p; i++)
        for (int j = i + 1; j < p; j++) m[i * p + j] = m[j * p + i];
}

/* Node (iy, ix): its coefficients in the scaled offsets into beta (NaN
 * where no fit), the standard errors over sigma into se (if not NULL), its
 * hat value and w V00 (those of the full fit, for the statistics; NaN
 * where the node's own observation is not observed with weight). */
static void wnode(const wjob *j, ptrdiff_t iy, ptrdiff_t ix, double *beta, double *se,
                  double *hat, double *wv00)
{
    const int p = j->p, hy = j->hy, hx = j->hx;
    const ptrdiff_t ny = j->ny, nx = j->nx;
    int ylo = iy < hy ? (int) -iy : -hy, yhi = ny - 1 - iy < hy ? (int) (ny - 1 - iy) : hy;
    int xlo = ix < hx ? (int) -ix : -hx, xhi = nx - 1 - ix < hx ? (int) (nx - 1 - ix) : hx;
    double M[36] = {0}, M2[36] = {0}, r[6] = {0}, b[6];
    double c0 = 0, c20 = 0, z0 = 0, w0 = 0;
    int cnt = 0, cobs = 0, bad = 0;
    const double nan = NAN;
    for (int k = 0; k < p; k++) beta[k] = nan;
    if (se)
        for (int k = 0; k < p; k++) se[k] = nan;
    *hat = *wv00 = nan;
    for (int dx = xlo; dx <= xhi && !bad; dx++) {
        const double *kc = j->K + (ptrdiff_t) (dx + hx) * j->ky + hy;
        ptrdiff_t col = (ix + dx) * ny + iy;
        double v = (double) dx / hx;
        for (int dy = ylo; dy <= yhi; dy++) {
            double k = kc[dy];
            if (k == 0) continue;
            double wo = j->w[col + dy];
            if (wo == 0) continue;
            double zv = j->z[col + dy];
            if (dy == 0 && dx == 0) {
                /* The node's own observation: kept apart, for the
                 * leave-one-out fit and the full one alike. */
                if (isfinite(zv)) {
                    c0 = k * wo;
                    c20 = k * k * wo;
                    z0 = zv;
                    w0 = wo;
                    cobs = 1;
                } else if (!j->narm && !j->loo) {
                    bad = 1;
                    break;
                }
                continue;
            }
            if (!isfinite(zv)) {
                if (!j->narm) {
                    bad = 1;
                    break;
                }
                continue;
            }
            double u = (double) dy / hy, c = k * wo, c2 = k * k * wo;
            b[0] = 1;
            b[1] = u;
            b[2] = v;
            if (p == 6) {
                b[3] = u * u;
                b[4] = u * v;
                b[5] = v * v;
            }
            for (int i = 0; i < p; i++) {
                double cb = c * b[i], cb2 = c2 * b[i];
                r[i] += cb * zv;
                for (int l = 0; l <= i; l++) {
                    M[i * p + l] += cb * b[l];
                    M2[i * p + l] += cb2 * b[l];
                }
            }
            cnt++;
        }
    }
    if (bad) return;
    wsymm(M, p);
    wsymm(M2, p);
    double inv[36], V[36];
    /* The fit that leaves the node's own observation out: the sums as
     * they are. */
    if (j->loo && cnt >= p && orvel_lp_invert(M, p, inv)) {
        for (int k = 0; k < p; k++) {
            double x = 0;
            for (int l = 0; l < p; l++) x += inv[k * p + l] * r[l];
            beta[k] = x;
        }
        if (se) {
            wsandwich(inv, M2, p, V);
            for (int k = 0; k < p; k++) se[k] = sqrt(V[k * p + k]) * fabs(j->fac[k]);
        }
    }
    /* The full fit: the node's own observation added. */
    if (j->loo && !(cobs && j->stats)) return;
    M[0] += c0;
    M2[0] += c20;
    r[0] += c0 * z0;
    if (cnt + cobs < p || !orvel_lp_invert(M, p, inv)) return;
    if (!j->loo) {
        for (int k = 0; k < p; k++) {
            double x = 0;
            for (int l = 0; l < p; l++) x += inv[k * p + l] * r[l];
            beta[k] = x;
        }
    }
    if (se || (j->stats && cobs)) wsandwich(inv, M2, p, V);
    if (se && !j->loo)
        for (int k = 0; k < p; k++) se[k] = sqrt(V[k * p + k]) * fabs(j->fac[k]);
    if (cobs) {
        *hat = c0 * inv[0];
        if (j->stats) *wv00 = w0 * V[0];
    }
}

static void wchunk(void *arg, ptrdiff_t ch, double *scratch)
{
    (void) scratch;
    wjob *j = arg;
    const int p = j->p;
    const ptrdiff_t ny = j->ny;
    ptrdiff_t x0 = ch * j->cols, x1 = x0 + j->cols < j->nx ? x0 + j->cols : j->nx, bad = 0;
    for (ptrdiff_t ix = x0; ix < x1; ix++) {
        double st[NSTAT] = {0};
        for (ptrdiff_t iy = 0; iy < ny; iy++) {
            double beta[6], se[6], hat, wv00;
            ptrdiff_t at = ix * ny + iy;
            wnode(j, iy, ix, beta, j->se ? se : NULL, &hat, &wv00);
            for (int k = 0; k < p; k++) j->out[k][at] = beta[k] * j->fac[k];
            if (j->se)
                for (int k = 0; k < p; k++) j->sef[k][at] = se[k];
            bad += !isfinite(j->out[0][at]) | !isfinite(j->out[1][at]) | !isfinite(j->out[2][at]);
            if (!j->stats) continue;
            double z = j->z[at], f = j->out[0][at], q = 1 - hat;
            if (fabs(z) > st[ST_ZMAX] && isfinite(z)) st[ST_ZMAX] = fabs(z);
            if (!(j->w[at] > 0) || !isfinite(z) || !isfinite(f) || !(q >= ORVEL_LP_TOL)) continue;
            double d = z - f;
            if (j->scale) d = ldexp(d, j->scale);
            double res = j->loo ? d * q : d, e = j->loo ? d : d / q, wi = j->w[at];
            st[ST_RSS] += wi * (res * res);
            st[ST_N] += 1;
            st[ST_NU1] += hat;
            st[ST_NU2] += wv00;
            st[ST_CV] += wi * (e * e);
        }
        if (j->stats) memcpy(j->slots + ix * NSTAT, st, sizeof st);
    }
    if (bad) atomic_fetch_add(&j->nonfinite, bad);
}

SEXP orvel_wfit_grid(SEXP z, SEXP w, SEXP K, SEXP degree, SEXP holdout, SEXP narm,
                     SEXP threads, SEXP se, SEXP unit)
{
    SEXP dim = getAttrib(z, R_DimSymbol);
    if (TYPEOF(z) != REALSXP || TYPEOF(dim) != INTSXP || LENGTH(dim) != 2)
        error("orvel: `z` must be a double matrix");
    ptrdiff_t ny = INTEGER(dim)[0], nx = INTEGER(dim)[1];
    R_xlen_t n = XLENGTH(z);
    if (ny < 1 || nx < 1 || n != (R_xlen_t) ny * nx) error("orvel: `z` does not hold its dimensions' values");
    if (TYPEOF(w) != REALSXP || XLENGTH(w) != n) error("orvel: `w` must be a double vector like `z`");
    const double *wv = REAL(w);
    for (R_xlen_t i = 0; i < n; i++)
        if (!(wv[i] >= 0) || !isfinite(wv[i])) error("orvel: weights must be finite and non-negative");
    SEXP kd = getAttrib(K, R_DimSymbol);
    if (TYPEOF(K) != REALSXP || TYPEOF(kd) != INTSXP || LENGTH(kd) != 2)
        error("orvel: `K` must be a double matrix");
    int ky = INTEGER(kd)[0], kx = INTEGER(kd)[1];
    if (ky < 3 || kx < 3 || ky > 101 || kx > 101 || ky % 2 == 0 || kx % 2 == 0)
        error("orvel: `K` must have an odd number of rows and of columns from 3 to 101");
    int deg = (int) orvel_arg_whole(degree, "degree", 1, 2);
    int want = (int) orvel_arg_whole(se, "se", 1, 2);
    int nt = orvel_arg_threads(threads);
    wjob j;
    memset(&j, 0, sizeof j);
    j.z = REAL(z);
    j.w = wv;
    j.K = REAL(K);
    j.ky = ky;
    j.kx = kx;
    j.hy = (ky - 1) / 2;
    j.hx = (kx - 1) / 2;
    j.p = deg == 2 ? 6 : 3;
    j.loo = orvel_arg_flag(holdout, "holdout");
    j.narm = orvel_arg_flag(narm, "narm");
    j.stats = 1;
    j.se = want == 2;
    j.ny = ny;
    j.nx = nx;
    const double *un = j.se ? orvel_arg_reals(unit, "unit", j.p) : NULL;
    double hy = j.hy, hx = j.hx;
    double fac[6] = {1, (double) ny / hy, (double) nx / hx, 1 / (hy * hy), 1 / (hy * hx),
                     1 / (hx * hx)};
    memcpy(j.fac, fac, sizeof fac);
    int p = j.p;
    SEXP out = orvel_grid_result(z, p, j.se);
    for (int i = 0; i < p; i++) {
        j.out[i] = i < 3 ? REAL(VECTOR_ELT(out, i)) : REAL(VECTOR_ELT(out, 3)) + (i - 3) * n;
        if (j.se) j.sef[i] = REAL(VECTOR_ELT(out, p == 3 ? 3 : 4)) + i * n;
    }
    double big = abs_max(j.z, n);
    j.scale = stats_scale(big);
    j.slots = (double *) R_alloc(nx, NSTAT * sizeof(double));
    /* Chunks of whole columns of some 2^22 cell visits. */
    ptrdiff_t per = ((ptrdiff_t) 1 << 22) / ((ptrdiff_t) ky * kx * ny);
    j.cols = per < 1 ? 1 : per;
    atomic_init(&j.nonfinite, 0);
    orvel_parallel((nx + j.cols - 1) / j.cols, nt, 1, wchunk, &j);
    /* The columns' sums in column order: the same bits on any threads. */
    double st[NSTATV];
    stats_total(j.slots, nx, NULL, j.scale, st);
    if (j.se)
        for (int k = 0; k < p; k++) {
            double c = st[ST_SIGMA] * un[k];
            for (R_xlen_t i = 0; i < n; i++) j.sef[k][i] *= c;
        }
    setAttrib(out, install("stats"), stats_vector(st));
    ptrdiff_t nbad = atomic_load(&j.nonfinite);
    setAttrib(out, install("nonfinite"), ScalarReal((double) nbad));
    if (nbad) setAttrib(out, install("zmax"), ScalarReal(big));
    UNPROTECT(1);
    return out;
}
