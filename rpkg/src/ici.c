/* One step of the ICI rule (ici.h). */
#include "fpcontract.h"
#include <math.h>

#include "ici.h"

static void need(SEXP x, int type, R_xlen_t len, const char *name)
{
    if (TYPEOF(x) != type || XLENGTH(x) != len || MAYBE_SHARED(x))
        error("orvel: `%s` must be a vector of %.0f values of its own", name, (double) len);
}

SEXP orvel_ici_step(SEXP b, SEXP v, SEXP gammas, SEXP bw, SEXP lo, SEXP hi, SEXP alive,
                    SEXP cs, SEXP cb, SEXP cv)
{
    if (TYPEOF(gammas) != REALSXP || XLENGTH(gammas) < 1) error("orvel: `gammas` must be doubles");
    if (TYPEOF(bw) != REALSXP || XLENGTH(bw) != 1) error("orvel: `bw` must be one double");
    R_xlen_t G = XLENGTH(gammas), n = XLENGTH(lo) / G;
    if (TYPEOF(b) != REALSXP || n < 1 || XLENGTH(b) % n != 0) error("orvel: `b` must be n x p doubles");
    R_xlen_t p = XLENGTH(b) / n;
    if (TYPEOF(v) != REALSXP || XLENGTH(v) != n * p) error("orvel: `v` must be like `b`");
    need(lo, REALSXP, n * G, "lo");
    need(hi, REALSXP, n * G, "hi");
    need(alive, LGLSXP, n * G, "alive");
    need(cs, REALSXP, n * G, "cs");
    need(cb, REALSXP, n * p * G, "cb");
    need(cv, REALSXP, n * p * G, "cv");
    const double *B = REAL(b), *V = REAL(v), *gam = REAL(gammas), h = REAL(bw)[0];
    for (R_xlen_t g = 0; g < G; g++) {
        double *L = REAL(lo) + g * n, *H = REAL(hi) + g * n, *S = REAL(cs) + g * n;
        int *A = LOGICAL(alive) + g * n;
        double *CB = REAL(cb) + g * n * p, *CV = REAL(cv) + g * n * p;
        double gm = gam[g];
        for (R_xlen_t i = 0; i < n; i++) {
            double e = B[i], s = sqrt(V[i]);
            if (A[i] != 1 || !isfinite(e) || !isfinite(s)) continue;
            double a = e - gm * s, c = e + gm * s;
            double nl = L[i] > a ? L[i] : a, nh = H[i] < c ? H[i] : c;
            if (!(nl <= nh)) {
                A[i] = 0;
                continue;
            }
            L[i] = nl;
            H[i] = nh;
            S[i] = h;
            for (R_xlen_t k = 0; k < p; k++) {
                CB[k * n + i] = B[k * n + i];
                CV[k * n + i] = V[k * n + i];
            }
        }
    }
    return R_NilValue;
}
