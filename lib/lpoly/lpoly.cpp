// The general local polynomial engine: see lpoly.h.  The plan is made here;
// the fit is compiled once per instruction set (fit.inc, included by the
// fit_<level>.cpp files) and orvel_lp_fit() runs the one of the level in use.
#include "lpoly/internal.h"

#include "cpu/cpu.h"
#include "lpoly/variants.h"

namespace {

// (Unrolled for each number of coefficients.)
bool invert(const double *m, int p, double *inv)
{
    return p == 3 ? invert_p<3>(m, inv) : invert_p<6>(m, inv);
}

// The condition number in the 1-norm of the symmetric p x p matrix m
// scaled to a unit diagonal, from inv, m's inverse: |A|_1 |A^-1|_1 with
// A = D m D, D = diag(m)^-1/2, so A^-1 = D^-1 inv D^-1.
double condition(const double *m, const double *inv, int p)
{
    double d[MAXP], na = 0, ni = 0;
    for (int i = 0; i < p; i++) d[i] = sqrt(fabs(m[i * p + i]));
    for (int j = 0; j < p; j++) {
        double ca = 0, ci = 0;
        for (int i = 0; i < p; i++) {
            ca += fabs(m[i * p + j]) / (d[i] * d[j]);
            ci += fabs(inv[i * p + j]) * (d[i] * d[j]);
        }
        na = ca > na ? ca : na;
        ni = ci > ni ? ci : ni;
    }
    return na * ni;
}


// The shape of row class cy and column class cx, from `rows`: per kernel
// row dy + hy, the sums over the class cx's columns of the weights times
// v^b (b < pm), the same of the squared weights, then the number of
// non-zero weights.
void make_shape(orvel_lp *P, const double *rows, int cy, Shape *sh)
{
    int ylo, yhi;
    class_range(cy, P->ny, P->hy, &ylo, &yhi);
    double mom[MAXM] = {}, mom2[MAXM] = {};
    sh->nfoot = 0;
    for (int dy = ylo; dy <= yhi; dy++) {
        const double *r = rows + (size_t) (dy + P->hy) * (2 * P->pm + 1);
        double u = (double) dy / P->hy, up[MAXPOW] = {1, u, u * u, u * u * u, u * u * u * u};
        for (int a = 0; a < P->pm; a++)
            for (int b = 0; a + b < P->pm; b++) {
                mom[mono(a, b)] += up[a] * r[b];
                mom2[mono(a, b)] += up[a] * r[P->pm + b];
            }
        sh->nfoot += (int) r[2 * P->pm];
    }
    double m[MAXP * MAXP];
    memcpy(sh->mom, mom, sizeof mom);
    memcpy(sh->mom2, mom2, sizeof mom2);
    normal(mom, P->p, m);
    sh->ok = invert(m, P->p, sh->inv);
    sh->lev = 0;
    for (int j = 0; j < P->p; j++) sh->g[j] = 0;
    sh->okloo = sh->ok;
    sh->ill = sh->ok && !(condition(m, sh->inv, P->p) <= ORVEL_LP_COND);
    sh->illloo = sh->ill;
    if (sh->ok && P->w0 != 0) {
        for (int j = 0; j < P->p; j++) sh->g[j] = P->w0 * sh->inv[j * P->p];
        sh->lev = sh->g[0];
        sh->okloo = 1 - sh->lev >= ORVEL_LP_TOL;
        // Without the centre (at offsets 0, its only term is the constant's
        // moment): a matrix this sweep cannot invert counts as conditioned
        // worse than any.
        double ml[MAXP * MAXP], il[MAXP * MAXP];
        memcpy(ml, m, sizeof ml);
        ml[0] -= P->w0;
        if (sh->okloo && !sh->ill)
            sh->illloo = !invert(ml, P->p, il) || !(condition(ml, il, P->p) <= ORVEL_LP_COND);
    }
    if (sh->ok && sh->okloo) {
        if (P->p == 3)
            all_variances<3>(P, sh->inv, mom2, true, sh->var);
        else
            all_variances<6>(P, sh->inv, mom2, true, sh->var);
    }
}

// K as A(dy) B(dx) when it is that to rounding (every weight within 8 ulps
// of the largest, and the same weights zero): separable kernels, the
// Gaussian among them, take one pass each way.
bool separate(const double *K, int ky, int kx, double *A, double *B)
{
    int iy = 0, ix = 0;
    double big = 0;
    for (int x = 0; x < kx; x++)
        for (int y = 0; y < ky; y++)
            if (fabs(K[x * ky + y]) > big) {
                big = fabs(K[x * ky + y]);
                iy = y;
                ix = x;
            }
    if (!(big > 0)) return false;
    double piv = K[ix * ky + iy];
    for (int y = 0; y < ky; y++) A[y] = K[ix * ky + y];
    for (int x = 0; x < kx; x++) B[x] = K[x * ky + iy] / piv;
    for (int x = 0; x < kx; x++)
        for (int y = 0; y < ky; y++) {
            double k = K[x * ky + y], ab = A[y] * B[x];
            if ((k == 0) != (ab == 0) || fabs(k - ab) > 8 * 2.220446049250313e-16 * big)
                return false;
        }
    return true;
}

}  // namespace

extern "C" {

orvel_lp *orvel_lp_new(const double *K, int ky, int kx, int degree, ptrdiff_t ny, ptrdiff_t nx,
                       int flags)
{
    if (!K || ky < 3 || kx < 3 || ky > MAXK || kx > MAXK || ky % 2 == 0 || kx % 2 == 0 ||
        (degree != 1 && degree != 2) || ny < 1 || nx < 1 || (flags & ~3))
        return nullptr;
    for (int i = 0; i < ky * kx; i++)
        if (!isfinite(K[i])) return nullptr;
    orvel_lp *P = (orvel_lp *) calloc(1, sizeof(orvel_lp));
    if (!P) return nullptr;
    P->ky = ky;
    P->kx = kx;
    P->hy = ky / 2;
    P->hx = kx / 2;
    P->p = degree == 1 ? 3 : 6;
    P->pz = degree + 1;
    P->pm = 2 * degree + 1;
    P->nm = P->pm * (P->pm + 1) / 2;
    P->flags = flags;
    P->ny = ny;
    P->nx = nx;
    P->wc = K[P->hx * ky + P->hy];
    P->w0 = flags & ORVEL_LP_LOO ? P->wc : 0;
    const int ea[MAXP] = {0, 1, 0, 2, 1, 0}, eb[MAXP] = {0, 0, 1, 0, 1, 2};
    for (int j = 0; j < P->p; j++)
        P->oscale[j] = 1 / (pow((double) P->hy, ea[j]) * pow((double) P->hx, eb[j]));

    double A[MAXK], B[MAXK];
    P->sep = separate(K, ky, kx, A, B);
    if (P->sep) {
        P->nterm = 1;
    } else {
        for (int x = 0; x < kx; x++) {
            bool any = false;
            for (int y = 0; y < ky; y++) any |= K[x * ky + y] != 0;
            P->nterm += any;
        }
    }
    int nt = P->nterm > 0 ? P->nterm : 1;
    P->ncy = (int) (ny <= ky ? ny : ky);
    P->ncx = (int) (nx <= kx ? nx : kx);
    P->tdx = (int *) calloc(nt, sizeof(int));
    P->wa = (double *) calloc((size_t) nt * P->pz * ky, sizeof(double));
    P->sa = (unsigned char *) calloc((size_t) nt * ky, 1);
    P->wb = (double *) calloc((size_t) (P->sep ? kx : nt) * P->pz, sizeof(double));
    P->phi = (double *) calloc((size_t) ky * kx * P->nm, sizeof(double));
    P->phi2 = (double *) calloc((size_t) ky * kx * P->nm, sizeof(double));
    P->shape = (Shape *) calloc((size_t) P->ncy * P->ncx, sizeof(Shape));
    if (!P->tdx || !P->wa || !P->sa || !P->wb || !P->phi || !P->phi2 || !P->shape) {
        orvel_lp_free(P);
        return nullptr;
    }
    // Row taps of every term, times the powers of u.
    auto set_rows = [&](int t, const double *a) {
        for (int y = 0; y < ky; y++) {
            double u = (double) (y - P->hy) / P->hy, up = 1;
            P->sa[(size_t) t * ky + y] = a[y] != 0;
            for (int e = 0; e < P->pz; e++, up *= u)
                P->wa[((size_t) t * P->pz + e) * ky + y] = a[y] * up;
        }
    };
    if (P->sep) {
        set_rows(0, A);
        for (int x = 0; x < kx; x++) {
            double v = (double) (x - P->hx) / P->hx, vp = 1;
            for (int e = 0; e < P->pz; e++, vp *= v) P->wb[(size_t) e * kx + x] = B[x] * vp;
        }
    } else {
        int t = 0;
        for (int x = 0; x < kx; x++) {
            const double *col = K + (ptrdiff_t) x * ky;
            bool any = false;
            for (int y = 0; y < ky; y++) any |= col[y] != 0;
            if (!any) continue;
            P->tdx[t] = x - P->hx;
            set_rows(t, col);
            double v = (double) (x - P->hx) / P->hx, vp = 1;
            for (int e = 0; e < P->pz; e++, vp *= v) P->wb[(size_t) t * P->pz + e] = vp;
            t++;
        }
    }
    // The normal matrix's moments of every cell, for the nodes near
    // missing values: cell (dy, dx) at (dx + hx) * ky + dy + hy.
    for (int x = 0; x < kx; x++)
        for (int y = 0; y < ky; y++) {
            double w = K[x * ky + y], u = (double) (y - P->hy) / P->hy,
                   v = (double) (x - P->hx) / P->hx;
            double up[MAXPOW] = {1, u, u * u, u * u * u, u * u * u * u},
                   vp[MAXPOW] = {1, v, v * v, v * v * v, v * v * v * v};
            for (int a = 0; a < P->pm; a++)
                for (int b = 0; a + b < P->pm; b++) {
                    size_t q = ((size_t) x * ky + y) * P->nm + mono(a, b);
                    P->phi[q] = w * up[a] * vp[b];
                    P->phi2[q] = w * w * up[a] * vp[b];
                }
        }
    // Per column class, the kernel rows' sums over its columns; then the
    // shapes of every row class from them.
    double rows[MAXK * (2 * MAXPOW + 1)];
    for (int cx = 0; cx < P->ncx; cx++) {
        int xlo, xhi;
        class_range(cx, P->nx, P->hx, &xlo, &xhi);
        for (int y = 0; y < ky; y++) {
            double *r = rows + (size_t) y * (2 * P->pm + 1);
            for (int b = 0; b <= 2 * P->pm; b++) r[b] = 0;
            for (int dx = xlo; dx <= xhi; dx++) {
                double w = K[(dx + P->hx) * ky + y], v = (double) dx / P->hx, vp = 1;
                if (w == 0) continue;
                for (int b = 0; b < P->pm; b++, vp *= v) {
                    r[b] += w * vp;
                    r[P->pm + b] += w * w * vp;
                }
                r[2 * P->pm] += 1;
            }
        }
        for (int cy = 0; cy < P->ncy; cy++)
            make_shape(P, rows, cy, &P->shape[(size_t) cx * P->ncy + cy]);
    }
    // Rows a segment: the passes' arrays of a window's worth of columns
    // stay within about 1 MB.
    int arrays = P->pz + 1;
    long seg = (1L << 17) / ((long) arrays * (P->sep ? kx : 1));
    seg = seg < 64 ? 64 : seg > 2048 ? 2048 : seg;
    // The arrays of a segment are one cache line longer than its rows: at
    // strides of a multiple of 4 KiB the passes' dozens of streams would
    // all fall in the same sets of the first-level cache.
    P->rows = (int) (seg & ~7L);
    P->seg = P->rows + 8;
    return P;
}

void orvel_lp_free(orvel_lp *P)
{
    if (!P) return;
    free(P->tdx);
    free(P->wa);
    free(P->sa);
    free(P->wb);
    free(P->phi);
    free(P->phi2);
    free(P->shape);
    free(P);
}

int orvel_lp_ncoef(const orvel_lp *P) { return P->p; }

size_t orvel_lp_scratch(const orvel_lp *P)
{
    size_t slot;
    return layout(P, &slot);
}

int orvel_lp_fit_at(int level, ORVEL_LP_FIT_ARGS)
{
    if (level < ORVEL_LEVEL_BASELINE || level > orvel_cpu_level_of(orvel_cpu_features()))
        return 2;
    switch (level) {
#ifdef ORVEL_LP_HAVE_AVX
    case ORVEL_LEVEL_AVX512:
        return orvel_lp_fit_avx512(P, data, col0, ncol, ix0, ix1, iy0, iy1, out, stride, scale,
                                   mode, var, vstride, scratch);
    case ORVEL_LEVEL_AVX2:
        return orvel_lp_fit_avx2(P, data, col0, ncol, ix0, ix1, iy0, iy1, out, stride, scale,
                                 mode, var, vstride, scratch);
#endif
    default:
        return orvel_lp_fit_baseline(P, data, col0, ncol, ix0, ix1, iy0, iy1, out, stride,
                                     scale, mode, var, vstride, scratch);
    }
}

int orvel_lp_fit(ORVEL_LP_FIT_ARGS)
{
    return orvel_lp_fit_at(orvel_cpu_level(), P, data, col0, ncol, ix0, ix1, iy0, iy1, out,
                           stride, scale, mode, var, vstride, scratch);
}

int orvel_lp_invert(const double *m, int p, double *inv)
{
    if (p == 3) return invert_p<3>(m, inv);
    if (p == 6) return invert_p<6>(m, inv);
    return 0;
}

}  // extern "C"
