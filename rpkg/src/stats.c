/* The fit's statistics (stats.h). */
#include "fpcontract.h"
#include <math.h>

#include "lpoly.h"
#include "stats.h"

int stats_scale(double big)
{
    if (!(big > 0) || !isfinite(big) || (big >= 0x1p-256 && big <= 0x1p256)) return 0;
    int e;
    frexp(big, &e);   /* big = m 2^e, m in [1/2, 1) */
    return 1 - e;
}

/* The largest finite |x[i]| of n. */
double abs_max(const double *x, R_xlen_t n)
{
    double big = 0;
    for (R_xlen_t i = 0; i < n; i++)
        if (fabs(x[i]) > big && isfinite(x[i])) big = fabs(x[i]);
    return big;
}

void stats_add(const double *z, const double *f, const double *hat, const double *v00,
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

void stats_total(const double *slots, ptrdiff_t np, const double *acc, int scale,
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

SEXP stats_vector(const double *st)
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
