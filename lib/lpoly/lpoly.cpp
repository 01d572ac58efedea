// The general local polynomial engine: see lpoly.h.
#include "lpoly/lpoly.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

// The passes and the per-shape products run in the widest vectors the CPU
// has (a version per instruction set, chosen when the library loads). Each
// lane computes one node with the same operations in the same order, and
// nothing is contracted into fused multiply-adds, so every version gives
// the same bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ORVEL_LP_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define ORVEL_LP_CLONES
#endif

namespace {

constexpr int MAXK = 101;      // largest window side
constexpr int MAXP = 6;        // coefficients: degree 2
constexpr int MAXM = 15;       // moments of the normal matrix: degree <= 4
constexpr int MAXPOW = 5;      // powers of one offset: 0 .. 4
constexpr int MAXV = ORVEL_LP_NVAR(MAXP);   // variance factors a node

// Monomials u^a v^b in the order of total degree, then falling a: 1, u, v,
// u^2, uv, v^2, u^3, ... ; the first 3 or 6 are the coefficients' order.
inline int mono(int a, int b)
{
    int t = a + b;
    return t * (t + 1) / 2 + b;
}

struct Shape {
    double inv[MAXP * MAXP];   // the inverse normal matrix, row-major
    double g[MAXP];            // w0 times its first column: the leave-one-out update
    double lev;                // w0 inv[0]: the node's weight in its own fit
    double mom[MAXM];          // the normal matrix's moments
    double mom2[MAXM];         // the same with the weights squared
    double var[MAXV];          // the variance factors (see orvel_lp_fit()) of
                               // the plan's fit: p variances, the covariance
                               // of 1 and 2, the hat value, the full fit's
                               // variance of the smooth, the covariances
    int nfoot;                 // cells of the clipped window with a non-zero weight
    unsigned char ok, okloo;
    unsigned char ill, illloo; // determined, but conditioned worse than ORVEL_LP_COND
                               // (the full fit's normal matrix; for the leave-one-out
                               // fit, that or the one without the centre)
};

}  // namespace

struct orvel_lp {
    int ky, kx, hy, hx, p, flags;
    int pz, pm, nm;            // powers in the data sums; in the normal matrix; its moments
    ptrdiff_t ny, nx;
    double w0;                 // the centre weight, left out (LOO plans; else 0)
    double wc;                 // the centre weight
    double oscale[MAXP];       // scaled basis to per node step
    int sep;                   // separable: one term
    int nterm;                 // terms: 1, or the kernel's non-zero columns
    int *tdx;                  // per term: its column offset (non-separable)
    double *wa;                // per term, power a < pz, row tap t: A(dy) u^a
    unsigned char *sa;         // per term, row tap t: A(dy) != 0
    double *wb;                // separable: per power b < pz, column tap: B(dx) v^b;
                               // else per term, power b: v^b
    double *phi;               // per kernel cell, (dx + hx) * ky + dy + hy: the
                               // normal matrix's moments w u^a v^b, nm of them
    double *phi2;              // the same with w^2: the variances' moments
    int ncy, ncx;              // classes of rows and columns by clipping
    Shape *shape;              // ncy * ncx of them, cy fastest
    int rows;                  // rows a segment
    int seg;                   // the stride of a segment's arrays
};

namespace {

// Class of row iy of n rows under half-width h: how the window is clipped.
inline int clip_class(ptrdiff_t i, ptrdiff_t n, int h)
{
    if (n <= 2 * h + 1) return (int) i;
    if (i < h) return (int) i;
    if (i >= n - h) return (int) (2 * h - (n - 1 - i));
    return h;
}

// A node of class c: its first and last offsets inside the grid.
inline void class_range(int c, ptrdiff_t n, int h, int *lo, int *hi)
{
    ptrdiff_t i = n <= 2 * h + 1 ? c : (c <= h ? c : n - 1 - (2 * h - c));
    *lo = (int) (i < h ? -i : -h);
    *hi = (int) (n - 1 - i < h ? n - 1 - i : h);
}

// Inverts the symmetric p x p matrix m (row-major) into inv by sweeping
// the unit-diagonal scaling of it, largest remaining pivot first. False
// when a diagonal is zero or a pivot falls below ORVEL_LP_TOL: the design
// does not determine the coefficients.
template <int p>
bool invert_p(const double *m, double *inv)
{
    double s[MAXP], a[MAXP * MAXP];
    for (int i = 0; i < p; i++) {
        double d = fabs(m[i * p + i]);
        if (!(d > 0) || !isfinite(d)) return false;
        s[i] = 1 / sqrt(d);
    }
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++) a[i * p + j] = m[i * p + j] * s[i] * s[j];
    bool done[MAXP] = {};
    for (int step = 0; step < p; step++) {
        int k = -1;
        double best = 0;
        for (int i = 0; i < p; i++)
            if (!done[i] && fabs(a[i * p + i]) > best) {
                best = fabs(a[i * p + i]);
                k = i;
            }
        if (k < 0 || !(best >= ORVEL_LP_TOL)) return false;
        // One division a pivot (the nodes near missing values invert a
        // matrix each, and divisions are slow).
        double r = 1 / a[k * p + k];
        for (int i = 0; i < p; i++) {
            if (i == k) continue;
            double f = a[i * p + k] * r;
            for (int j = 0; j < p; j++)
                if (j != k) a[i * p + j] -= f * a[k * p + j];
        }
        for (int i = 0; i < p; i++)
            if (i != k) {
                a[i * p + k] *= r;
                a[k * p + i] *= r;
            }
        a[k * p + k] = -r;
        done[k] = true;
    }
    // Sweeping every index leaves minus the inverse.
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++) inv[i * p + j] = -a[i * p + j] * s[i] * s[j];
    return true;
}

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

// The p x p normal matrix from the moments mom (by mono()).
void normal(const double *mom, int p, double *m)
{
    static_assert(MAXP == 6, "monomial tables");
    const int ea[MAXP] = {0, 1, 0, 2, 1, 0}, eb[MAXP] = {0, 0, 1, 0, 1, 2};
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++) m[i * p + j] = mom[mono(ea[i] + ea[j], eb[i] + eb[j])];
}

// The variance factors of a fit: the coefficients are inv X'W z, so their
// covariance over the noise's variance is V = inv (X'W^2 X) inv (p x p,
// row-major), m2 the middle matrix. For the fit with the node's own
// observation (weight w0 > 0, hat value w0 inv_00 < 1) left out, inv is
// first updated to the inverse of the normal matrix without it, and its
// term w0^2 taken out of m2.
template <int p>
void variances(const double *inv, const double *m2, double w0, double *V)
{
    double a[p * p], b[p * p];
    memcpy(a, inv, sizeof a);
    memcpy(b, m2, sizeof b);
    if (w0 != 0) {
        double f = w0 / (1 - w0 * inv[0]);
        for (int i = 0; i < p; i++)
            for (int j = 0; j < p; j++) a[i * p + j] += inv[i * p] * inv[j * p] * f;
        b[0] -= w0 * w0;
    }
    double t[p * p];
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++) {
            double x = 0;
            for (int l = 0; l < p; l++) x += a[i * p + l] * b[l * p + j];
            t[i * p + j] = x;
        }
    for (int r = 0; r < p; r++)
        for (int c = 0; c < p; c++) {
            double x = 0;
            for (int l = 0; l < p; l++) x += t[r * p + l] * a[l * p + c];
            V[r * p + c] = x;
        }
}

// All of a fit's variance factors (see Shape::var) from its inverse normal
// matrix and the moments mom2 of the squared weights: those of the fit
// leaving out the centre (weight w0, 0 for none) if it is observed
// (`centre`).
template <int p>
void all_variances(const orvel_lp *P, const double *inv, const double *mom2, bool centre,
                   double *var)
{
    double m2[p * p], full[p * p], loo[p * p];
    normal(mom2, p, m2);
    variances<p>(inv, m2, 0, full);
    const double *V = full;
    if (centre && P->w0 != 0) {
        variances<p>(inv, m2, P->w0, loo);
        V = loo;
    }
    for (int k = 0; k < p; k++) var[k] = V[k * p + k];
    var[p + ORVEL_LP_COV12] = V[p + 2];
    var[p + ORVEL_LP_HAT] = P->wc * inv[0];
    var[p + ORVEL_LP_VAR00] = full[0];
    for (int k = 0; k < p; k++)
        for (int l = k + 1; l < p; l++) var[ORVEL_LP_COV(p, k, l)] = V[k * p + l];
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

// Scratch: the cleaned column with its halo (data, missing); per ring
// slot (or two: the first term's and the next's) the down-column sums and
// missing count; the node column's sums across: the data sums and the
// missing count.
static size_t layout(const orvel_lp *P, size_t *slot)
{
    size_t L = (size_t) P->seg;
    *slot = (size_t) (P->pz + 1) * L;
    return 2 * (L + 2 * (size_t) P->hy) + (size_t) (P->sep ? P->kx : 2) * *slot +
           (size_t) (P->p + 1) * L;
}

size_t orvel_lp_scratch(const orvel_lp *P)
{
    size_t slot;
    return layout(P, &slot);
}

}  // extern "C"

namespace {

// A segment's work: rows y0 .. y0 + n - 1 of the target columns.
struct Seg {
    const orvel_lp *P;
    const double *data;
    ptrdiff_t col0, y0, n;
    bool missing;              // the segment's windows hold a missing value
    bool data_used;            // the data sums come from the passes: not when
                               // the exact engine has fitted (the few nodes
                               // near missing values then sum their own)
    double *zc, *mc;           // cleaned column, rows y0 - hy .. y0 + n + hy - 1
};

// Column c of the grid, rows y0 - hy .. , into the cleaned arrays: zeros
// outside the grid and where missing; mc 1 where missing (with missing
// values about).
void load(const Seg &s, ptrdiff_t c)
{
    const orvel_lp *P = s.P;
    ptrdiff_t m = s.n + 2 * P->hy, r0 = s.y0 - P->hy;
    const double *col = s.data + (c - s.col0) * P->ny;
    // The rows inside the grid: j in [a, b).
    ptrdiff_t a = r0 < 0 ? -r0 : 0, b = P->ny - r0 < m ? P->ny - r0 : m;
    for (ptrdiff_t j = 0; j < a; j++) s.zc[j] = 0;
    for (ptrdiff_t j = b; j < m; j++) s.zc[j] = 0;
    if (!s.missing) {
        memcpy(s.zc + a, col + r0 + a, (size_t) (b - a) * sizeof(double));
        return;
    }
    for (ptrdiff_t j = 0; j < a; j++) s.mc[j] = 0;
    for (ptrdiff_t j = b; j < m; j++) s.mc[j] = 0;
    for (ptrdiff_t j = a; j < b; j++) {
        double z = col[r0 + j];
        bool obs = isfinite(z);
        s.zc[j] = obs ? z : 0;
        s.mc[j] = !obs;
    }
}

// Register-blocked sums: nodes JB at a time in a vector of the compiler's
// (GCC and Clang lower it to the registers each version has), every sum of
// the block held in registers across the taps. Each node's sum starts from
// zero and adds the taps in order, in the vector lanes and in the scalar
// tail alike, so both give the same bits.
constexpr int JB = 8;
typedef double vjb __attribute__((vector_size(JB * sizeof(double))));

// Always inlined into the version that uses them.
inline __attribute__((always_inline)) vjb vload(const double *p)
{
    vjb v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline __attribute__((always_inline)) void vstore(double *p, vjb v)
{
    memcpy(p, &v, sizeof v);
}

// Whether any of x[0 .. n - 1] is not finite (0 times it is NaN).
ORVEL_LP_CLONES bool any_missing(const double *x, ptrdiff_t n)
{
    vjb acc = {};
    ptrdiff_t i = 0;
    for (; i + JB <= n; i += JB) acc += vload(x + i) * 0.0;
    double a = 0;
    for (; i < n; i++) a += x[i] * 0.0;
    for (int k = 0; k < JB; k++) a += acc[k];
    return a != a;
}

// The first j in [i, e) with c[j] > 0, or e: whole blocks of zeros
// skipped at a time.
ORVEL_LP_CLONES ptrdiff_t next_positive(const double *c, ptrdiff_t i, ptrdiff_t e)
{
    for (; i + JB <= e; i += JB) {
        vjb v = vload(c + i);
        double m = 0;
        for (int k = 0; k < JB; k++) m = v[k] > m ? v[k] : m;
        if (m > 0) break;
    }
    for (; i < e && !(c[i] > 0); i++) {
    }
    return i;
}

// o[a][i] = sum over taps k of w[a][k] x[i + k], a < NA, i < n.
template <int NA>
ORVEL_LP_CLONES void taps_down(int ntap, const int *tap, const double *const *w, const double *x,
                               double *const *o, ptrdiff_t n)
{
    ptrdiff_t i = 0;
    for (; i + JB <= n; i += JB) {
        vjb acc[NA];
        for (int a = 0; a < NA; a++) acc[a] = vjb{} ;
        for (int t = 0; t < ntap; t++) {
            vjb xk = vload(x + i + tap[t]);
            for (int a = 0; a < NA; a++) acc[a] += w[a][tap[t]] * xk;
        }
        for (int a = 0; a < NA; a++) vstore(o[a] + i, acc[a]);
    }
    for (; i < n; i++)
        for (int a = 0; a < NA; a++) {
            double acc = 0;
            for (int t = 0; t < ntap; t++) acc += w[a][tap[t]] * x[i + tap[t]];
            o[a][i] = acc;
        }
}

// Nodes fa .. fb - 1 of a node column (whole blocks of JB from the
// column's first node), all of one shape, whose coefficients are formed
// from their sums in registers with exactly the operations of
// apply_shape(), and written to o (see there).
struct Fuse {
    const Shape *sh;
    bool loo;
    const double *osc, *z;
    ptrdiff_t fa, fb;
    double *const *o;
};

// S[k][i] = sum over columns t of w[t][k] y[t][ea[k]][i], k < NP: the data
// sums of the coefficients' monomials across the columns; for the nodes
// of `f` (unless null) the coefficients instead.
template <int NP>
ORVEL_LP_CLONES void taps_across(int ncol, const double *const *y, const double *w, double *S,
                                 ptrdiff_t L, ptrdiff_t n, const Fuse *f)
{
    constexpr int NZ = NP == 3 ? 2 : 3;
    constexpr int ea[6] = {0, 1, 0, 2, 1, 0};
    ptrdiff_t i = 0;
    for (; i + JB <= n; i += JB) {
        vjb acc[NP];
        for (int k = 0; k < NP; k++) acc[k] = vjb{};
        for (int t = 0; t < ncol; t++) {
            vjb yt[NZ];
            for (int a = 0; a < NZ; a++) yt[a] = vload(y[t * NZ + a] + i);
            for (int k = 0; k < NP; k++) acc[k] += w[t * NP + k] * yt[ea[k]];
        }
        if (f && i >= f->fa && i + JB <= f->fb) {
            vjb b[NP];
            for (int k = 0; k < NP; k++) {
                const double *row = f->sh->inv + k * NP;
                b[k] = row[0] * acc[0];
                for (int l = 1; l < NP; l++) b[k] += row[l] * acc[l];
            }
            if (f->loo) {
                double c = 1 / (1 - f->sh->lev);
                vjb r = (vload(f->z + i) - b[0]) * c;
                for (int k = NP - 1; k >= 0; k--) b[k] -= f->sh->g[k] * r;
            }
            for (int k = 0; k < NP; k++) vstore(f->o[k] + i, b[k] * f->osc[k]);
            continue;
        }
        for (int k = 0; k < NP; k++) vstore(S + k * L + i, acc[k]);
    }
    for (; i < n; i++)
        for (int k = 0; k < NP; k++) {
            double acc = 0;
            for (int t = 0; t < ncol; t++) acc += w[t * NP + k] * y[t * NZ + ea[k]][i];
            S[k * L + i] = acc;
        }
}

// Down-column sums of term t over the loaded column into y: pz data sums
// (where used), then (with missing values) the count of missing cells
// with weight.
ORVEL_LP_CLONES void down(const Seg &s, int t, double *y)
{
    const orvel_lp *P = s.P;
    ptrdiff_t n = s.n, L = P->seg;
    int ky = P->ky;
    const double *wa = P->wa + (size_t) t * P->pz * ky;
    const unsigned char *sa = P->sa + (size_t) t * ky;
    int tap[MAXK], ntap = 0;
    for (int k = 0; k < ky; k++)
        if (sa[k]) tap[ntap++] = k;
    const double *w[3] = {wa, wa + ky, wa + 2 * ky};
    double *o[3] = {y, y + L, y + 2 * L};
    if (!s.data_used)
        ;
    else if (P->pz == 2)
        taps_down<2>(ntap, tap, w, s.zc, o, n);
    else
        taps_down<3>(ntap, tap, w, s.zc, o, n);
    if (!s.missing) return;
    double *cnt = y + P->pz * L;   // whole numbers: exact in any order
    for (ptrdiff_t i = 0; i < n; i++) cnt[i] = 0;
    for (int k = 0; k < ntap; k++) {
        const double *m = s.mc + tap[k];
        for (ptrdiff_t i = 0; i < n; i++) cnt[i] += m[i];
    }
}

void data_sums(int p, int ncol, const double *const *ys, const double *ws, double *S,
               ptrdiff_t L, ptrdiff_t n, const Fuse *f = nullptr)
{
    if (p == 3)
        taps_across<3>(ncol, ys, ws, S, L, n, f);
    else
        taps_across<6>(ncol, ys, ws, S, L, n, f);
}

// Nodes i .. e - 1 of a node column, all of shape sh with nothing missing:
// the coefficients from the moment sums S (a row of L each), updated to
// leave the node out (loo; z the node's own values), scaled by osc.
ORVEL_LP_CLONES void apply_shape(const Shape &sh, int p, bool loo, const double *osc,
                                 const double *S, ptrdiff_t L, const double *z, ptrdiff_t i,
                                 ptrdiff_t e, double *const *o)
{
    for (int k = 0; k < p; k++) {
        const double *row = sh.inv + k * p;
        double *ok = o[k];
        for (ptrdiff_t j = i; j < e; j++) ok[j] = row[0] * S[j];
        for (int l = 1; l < p; l++) {
            double w = row[l];
            const double *sl = S + l * L;
            for (ptrdiff_t j = i; j < e; j++) ok[j] += w * sl[j];
        }
    }
    if (loo) {
        double f = 1 / (1 - sh.lev);
        for (int k = p - 1; k >= 0; k--) {
            double g = sh.g[k], *ok = o[k];
            const double *o0 = o[0];
            // o[0] is updated last, so every update reads its value before.
            for (ptrdiff_t j = i; j < e; j++) ok[j] -= g * ((z[j] - o0[j]) * f);
            // (as r = (z - b0) f, then b -= g r, in taps_across())
        }
    }
    for (int k = 0; k < p; k++) {
        double c = osc[k], *ok = o[k];
        for (ptrdiff_t j = i; j < e; j++) ok[j] *= c;
    }
}

// Whether the moments `left` (of the observed cells) hold at least three
// quarters of each of the shape's even ones (sums of w u^2a v^2b, which
// bound the rest): then forming them as the shape's less the missing
// cells' loses no more than a few ulps of them.
template <int NM>
bool most_left(const double *left, const double *whole)
{
    constexpr int even[6] = {0, 3, 5, 10, 12, 14};   // mono() of (0,0) (2,0) (0,2) (4,0) (2,2) (0,4)
    for (int e : even)
        if (e < NM && !(fabs(left[e]) >= 0.75 * fabs(whole[e]))) return false;
    return true;
}

// The fit of a node near missing values from its own observed cells, in
// the window [ylo, yhi] x [xlo, xhi] of offsets, shape sh: the normal
// matrix's moments summed over those cells, or, where few of the cells
// with weight are missing (`less`) and what they leave is most of the
// whole (most_left()), the shape's less the missing cells'. zn points at
// the node's value in the data. The data sums sv come from the passes, or,
// with `own`, from the same cells (the first P moments are the
// coefficients'). Leaves the node out of its fit if `centre` (z its
// value). False where no fit is determined. With `var`, also its variance
// factors there (see Shape::var).
template <int P, int NM>
bool near_fit(const orvel_lp *L, const Shape &sh, const double *zn, bool own, bool less, int ylo,
              int yhi, int xlo, int xhi, double *sv, bool centre, double z, double *beta,
              double *var)
{
    double mm[NM], m2[NM], m[P * P], inv[P * P];
    // The window's cells with weight: with `data`, the data sums of the
    // observed ones; the moments of the missing ones taken off (`sub`), or
    // those of the observed ones added.
    auto scan = [&](bool sub, bool data) {
        for (int dx = xlo; dx <= xhi; dx++) {
            size_t c0 = ((size_t) (dx + L->hx) * L->ky + L->hy) * NM;
            const double *ph = L->phi + c0, *ph2 = L->phi2 + c0;
            const double *col = zn + (ptrdiff_t) dx * L->ny;
            for (int dy = ylo; dy <= yhi; dy++) {
                const double *f = ph + dy * NM, *f2 = ph2 + dy * NM;
                if (f[0] == 0) continue;
                double v = col[dy];
                bool obs = isfinite(v);
                if (obs && data)
                    for (int q = 0; q < P; q++) sv[q] += f[q] * v;
                if (obs == sub) continue;
                if (sub)
                    for (int q = 0; q < NM; q++) mm[q] -= f[q];
                else
                    for (int q = 0; q < NM; q++) mm[q] += f[q];
                if (var && sub)
                    for (int q = 0; q < NM; q++) m2[q] -= f2[q];
                else if (var)
                    for (int q = 0; q < NM; q++) m2[q] += f2[q];
            }
        }
    };
    for (int q = 0; q < NM; q++) mm[q] = less ? sh.mom[q] : 0;
    for (int q = 0; q < NM; q++) m2[q] = less ? sh.mom2[q] : 0;
    scan(less, own);
    // The missing cells held much of some moment: the difference would
    // have lost its leading digits, so the observed cells are summed.
    if (less && !(most_left<NM>(mm, sh.mom) && (!var || most_left<NM>(m2, sh.mom2)))) {
        for (int q = 0; q < NM; q++) mm[q] = m2[q] = 0;
        scan(false, false);
    }
    normal(mm, P, m);
    if (!invert_p<P>(m, inv)) return false;
    if (centre && !(1 - L->w0 * inv[0] >= ORVEL_LP_TOL)) return false;
    if (var) all_variances<P>(L, inv, m2, centre, var);
    for (int k = 0; k < P; k++) {
        double b = 0;
        for (int l = 0; l < P; l++) b += inv[k * P + l] * sv[l];
        beta[k] = b;
    }
    // The centre, if observed, is in this fit: take it out.
    if (centre) {
        double lev = L->w0 * inv[0];
        double r = (z - beta[0]) / (1 - lev);
        for (int k = P - 1; k >= 0; k--) beta[k] -= L->w0 * inv[k * P] * r;
    }
    return true;
}

}  // namespace

extern "C" ORVEL_LP_CLONES int orvel_lp_fit(const orvel_lp *P, const double *data, ptrdiff_t col0, ptrdiff_t ncol,
                            ptrdiff_t ix0, ptrdiff_t ix1, ptrdiff_t iy0, ptrdiff_t iy1,
                            double *const *out, ptrdiff_t stride, const double *scale, int mode,
                            double *const *var, ptrdiff_t vstride, double *scratch)
{
    const bool se = mode == ORVEL_LP_SE;   // standard errors alone
    if (!P || (!out && !se) || (!var && se) || !scale || !scratch || ix0 < 0 || ix0 > ix1 ||
        ix1 > P->nx || iy0 < 0 || iy0 > iy1 || iy1 > P->ny || col0 < 0 || ncol < 0 ||
        col0 > P->nx || ncol > P->nx - col0 ||
        (mode != ORVEL_LP_ALL && mode != ORVEL_LP_MERGE && !se))
        return 1;
    if (ix0 == ix1 || iy0 == iy1) return 0;
    ptrdiff_t need0 = ix0 - P->hx > 0 ? ix0 - P->hx : 0;
    ptrdiff_t need1 = ix1 + P->hx < P->nx ? ix1 + P->hx : P->nx;
    if (!data || col0 > need0 || col0 + ncol < need1 || (ix1 - ix0 > 1 && stride < iy1 - iy0) ||
        (var && ix1 - ix0 > 1 && vstride < iy1 - iy0))
        return 1;
    for (int k = 0; k < P->p && !se; k++)
        if (!out[k]) return 1;

    const int p = P->p, hy = P->hy, hx = P->hx;
    const bool loo = P->flags & ORVEL_LP_LOO, narm = P->flags & ORVEL_LP_NARM;
    const bool lw = loo && P->w0 != 0;   // the node's own observation has weight
    size_t slot;
    layout(P, &slot);
    const ptrdiff_t L = P->seg;
    double *zc = scratch, *mc = zc + L + 2 * hy;
    double *ring = mc + L + 2 * hy;
    double *S = ring + (size_t) (P->sep ? P->kx : 2) * slot, *cnt = S + (size_t) p * L;
    double osc[MAXP] = {};
    for (int k = 0; k < p; k++) osc[k] = P->oscale[k] * scale[k];
    const int ea[MAXP] = {0, 1, 0, 2, 1, 0}, eb[MAXP] = {0, 0, 1, 0, 1, 2};
    // The variance factors' scales: the coefficients' squared, and for the
    // covariance the product of theirs; the hat value has none.
    const int nv = ORVEL_LP_NVAR(p);
    double vsc[MAXV];
    for (int k = 0; k < p; k++) vsc[k] = osc[k] * osc[k];
    vsc[p + ORVEL_LP_COV12] = osc[1] * osc[2];
    vsc[p + ORVEL_LP_HAT] = 1;
    vsc[p + ORVEL_LP_VAR00] = osc[0] * osc[0];
    for (int k = 0; k < p; k++)
        for (int l = k + 1; l < p; l++) vsc[ORVEL_LP_COV(p, k, l)] = osc[k] * osc[l];
    const double *ys[MAXK * 3];
    double ws[MAXK * MAXP];
    const double nan = NAN;
    // Merging: the column classes with a badly conditioned shape, whose
    // nodes take this engine's fit over the exact engine's; their data
    // sums come from the passes (the nodes near missing values still sum
    // their own, as in any merge).
    bool illx[MAXK] = {}, fix = false;
    if (mode == ORVEL_LP_MERGE)
        for (int cx = 0; cx < P->ncx; cx++)
            for (int cy = 0; cy < P->ncy; cy++) {
                const Shape &sh = P->shape[(size_t) cx * P->ncy + cy];
                if (loo ? sh.okloo && sh.illloo : sh.ok && sh.ill) illx[cx] = fix = true;
            }

    for (ptrdiff_t y0 = iy0; y0 < iy1; y0 += P->rows) {
        ptrdiff_t n = iy1 - y0 < P->rows ? iy1 - y0 : P->rows;
        Seg s = {P, data, col0, y0, n, false, mode == ORVEL_LP_ALL || fix, zc, mc};
        // Whether any window of the segment's nodes holds a missing value.
        ptrdiff_t r0 = y0 - hy > 0 ? y0 - hy : 0, r1 = y0 + n + hy < P->ny ? y0 + n + hy : P->ny;
        for (ptrdiff_t c = need0; c < need1 && !s.missing; c++)
            s.missing = any_missing(data + (c - col0) * P->ny + r0, r1 - r0);
        // Where the exact engine has fitted every node and nothing is
        // missing, only the undetermined shapes are left to mark.
        bool some = mode == ORVEL_LP_ALL || s.missing;
        ptrdiff_t filled = -1;   // the last column loaded into the ring
        for (ptrdiff_t ix = ix0; ix < ix1; ix++) {
            ptrdiff_t xlo = ix - hx > 0 ? ix - hx : 0, xhi = ix + hx < P->nx ? ix + hx : P->nx - 1;
            const bool refit = fix && illx[clip_class(ix, P->nx, hx)];
            const bool passes = some || refit;
            double *o[MAXP], *ov[MAXV];
            for (int k = 0; k < p; k++) o[k] = se ? nullptr : out[k] + (ix - ix0) * stride + (y0 - iy0);
            for (int k = 0; k < nv; k++)
                ov[k] = var && var[k] && (!se || k < p) ? var[k] + (ix - ix0) * vstride + (y0 - iy0)
                                                        : nullptr;
            // Variance factor k of v, scaled, or as a standard error.
            auto scaled = [&](int k, double v) { return se ? sqrt(v) * fabs(osc[k]) : v * vsc[k]; };
            // Node j's variance factors: those of vals, or NaN.
            auto put_var = [&](ptrdiff_t j, const double *vals) {
                for (int k = 0; k < nv; k++)
                    if (ov[k]) ov[k][j] = vals ? scaled(k, vals[k]) : nan;
            };
            ptrdiff_t fa = 0, fb = 0;   // nodes whose coefficients the sums gave
            bool any = false;           // a column with weight in the window
            if (passes && P->sep) {
                for (ptrdiff_t c = filled + 1 > xlo ? filled + 1 : xlo; c <= xhi; c++) {
                    load(s, c);
                    down(s, 0, ring + (size_t) (c % P->kx) * slot);
                }
                filled = xhi;
                int nc = 0;
                for (ptrdiff_t c = xlo; c <= xhi; c++) {
                    int k = (int) (c - ix + hx);
                    if (P->wb[k] == 0) continue;
                    const double *yc = ring + (size_t) (c % P->kx) * slot;
                    for (int a = 0; a < P->pz; a++) ys[nc * P->pz + a] = yc + a * L;
                    for (int j = 0; j < p; j++) ws[nc * p + j] = P->wb[(size_t) eb[j] * P->kx + k];
                    if (s.missing) {
                        const double *yn = yc + P->pz * L;
                        if (nc == 0)
                            for (ptrdiff_t i = 0; i < n; i++) cnt[i] = yn[i];
                        else
                            for (ptrdiff_t i = 0; i < n; i++) cnt[i] += yn[i];
                    }
                    nc++;
                }
                any = nc > 0;
                // The interior rows' coefficients straight from the sums
                // (the node column's own values loaded first, for the
                // leave-one-out update); not near missing values, whose
                // nodes need the sums.
                if (loo || s.missing) load(s, ix);
                Fuse fz = {nullptr, lw, osc, zc + hy, 0, 0, nullptr};
                if (mode == ORVEL_LP_ALL && !s.missing && P->ny > 2 * hy + 1 && any) {
                    const Shape &sh = P->shape[(size_t) clip_class(ix, P->nx, hx) * P->ncy + hy];
                    ptrdiff_t a = hy - y0 > 0 ? hy - y0 : 0, b = P->ny - hy - y0;
                    if (b > n) b = n;
                    a = (a + JB - 1) / JB * JB;
                    b = a < b ? a + (b - a) / JB * JB : a;
                    if ((loo ? sh.okloo : sh.ok) && b > a) {
                        fz.sh = &sh;
                        fz.fa = a;
                        fz.fb = b;
                        fz.o = o;
                    }
                }
                if (any && s.data_used) data_sums(p, nc, ys, ws, S, L, n, fz.sh ? &fz : nullptr);
                fa = fz.fa;
                fb = fz.fb;
            } else if (passes) {
                for (int t = 0; t < P->nterm; t++) {
                    ptrdiff_t c = ix + P->tdx[t];
                    if (c < xlo || c > xhi) continue;
                    load(s, c);
                    double *yt = ring + (size_t) (any ? 1 : 0) * slot;
                    down(s, t, yt);
                    const double *vb = P->wb + (size_t) t * P->pz;
                    // Every term's sums added to the running ones, a term
                    // at a time.
                    if (!s.data_used) {
                    } else if (!any) {
                        for (int a = 0; a < P->pz; a++) ys[a] = yt + a * L;
                        for (int j = 0; j < p; j++) ws[j] = vb[eb[j]];
                        data_sums(p, 1, ys, ws, S, L, n);
                    } else {
                        for (int j = 0; j < p; j++) {
                            double w = vb[eb[j]], *sj = S + j * L;
                            const double *yj = yt + ea[j] * L;
                            for (ptrdiff_t q = 0; q < n; q++) sj[q] += w * yj[q];
                        }
                    }
                    if (s.missing) {
                        const double *yn = yt + P->pz * L;
                        if (!any)
                            for (ptrdiff_t i = 0; i < n; i++) cnt[i] = yn[i];
                        else
                            for (ptrdiff_t i = 0; i < n; i++) cnt[i] += yn[i];
                    }
                    any = true;
                }
                // The node column's own cleaned values, for the
                // leave-one-out update and the centre's count.
                if (loo || s.missing) load(s, ix);
            }
            if (passes && !any)
                for (size_t i = 0; i < (size_t) (p + 1) * L; i++) S[i] = 0;
            // The counts of missing cells with weight, the node's own left
            // out of its leave-one-out fit.
            if (s.missing && lw)
                for (ptrdiff_t j = 0; j < n; j++) cnt[j] -= mc[j + hy];
            int cx = clip_class(ix, P->nx, hx);
            ptrdiff_t i = 0;
            while (i < n) {
                int cy = clip_class(y0 + i, P->ny, hy);
                // A run of nodes of one shape: the interior rows, or one
                // row near an edge.
                ptrdiff_t e = i + 1;
                if (P->ny > 2 * hy + 1 && cy == hy) e = P->ny - hy - y0 < n ? P->ny - hy - y0 : n;
                const Shape &sh = P->shape[(size_t) cx * P->ncy + cy];
                bool ok = loo ? sh.okloo : sh.ok;
                // Nodes whose windows hold a missing value with weight (the
                // node's own left out of its leave-one-out fit): NaN, or
                // fitted one by one below.
                // The next affected node from j on, or e.
                auto next = [&](ptrdiff_t j) { return s.missing ? next_positive(cnt, j, e) : e; };
                if (var) {
                    // The shape's factors along the run, NaN where it gives
                    // no fit or near missing values (fitted below with narm).
                    for (int k = 0; k < nv; k++) {
                        if (!ov[k]) continue;
                        double v = ok ? scaled(k, sh.var[k]) : nan;
                        for (ptrdiff_t j = i; j < e; j++) ov[k][j] = v;
                    }
                    if (ok)
                        for (ptrdiff_t j = next(i); j < e; j = next(j + 1)) put_var(j, nullptr);
                }
                if (se) {
                } else if (mode == ORVEL_LP_MERGE) {
                    if (!ok) {
                        for (int k = 0; k < p; k++)
                            for (ptrdiff_t j = i; j < e; j++) o[k][j] = nan;
                    } else {
                        if (refit && (loo ? sh.illloo : sh.ill))
                            apply_shape(sh, p, lw, osc, S, L, zc + hy, i, e, o);
                        for (ptrdiff_t j = next(i); j < e; j = next(j + 1))
                            for (int k = 0; k < p; k++) o[k][j] = nan;
                    }
                } else if (!ok) {
                    for (int k = 0; k < p; k++)
                        for (ptrdiff_t j = i; j < e; j++) o[k][j] = nan;
                } else {
                    if (fb > fa && i <= fa && fb <= e) {
                        apply_shape(sh, p, lw, osc, S, L, zc + hy, i, fa, o);
                        apply_shape(sh, p, lw, osc, S, L, zc + hy, fb, e, o);
                    } else {
                        apply_shape(sh, p, lw, osc, S, L, zc + hy, i, e, o);
                    }
                    for (ptrdiff_t j = next(i); j < e; j = next(j + 1))
                        for (int k = 0; k < p; k++) o[k][j] = nan;
                }
                // Near missing values, with narm: each node from its own
                // observed cells. Its data sums are those of the passes
                // (missing cells count as zeros); the normal matrix is
                // summed over the observed cells of its window.
                if (narm && s.missing) {
                    int ylo, yhi, xlo2, xhi2;
                    class_range(cy, P->ny, hy, &ylo, &yhi);
                    class_range(cx, P->nx, hx, &xlo2, &xhi2);
                    for (ptrdiff_t j = next(i); j < e; j = next(j + 1)) {
                        for (int k = 0; k < p && !se; k++) o[k][j] = nan;
                        // Fewer observations with weight than coefficients:
                        // no fit, without looking further.
                        bool centre = lw && mc[j + hy] == 0;
                        if (sh.nfoot - cnt[j] - lw < p) continue;
                        double beta[MAXP], vv[MAXV];
                        const double *zn = data + (ix - col0) * P->ny + y0 + j;
                        bool own = mode == ORVEL_LP_MERGE, less = 4 * cnt[j] <= sh.nfoot;
                        double sv[MAXP];
                        for (int q = 0; q < p; q++) sv[q] = own || se ? 0 : S[q * L + j];
                        double *vp = var ? vv : nullptr;
                        bool good = p == 3 ? near_fit<3, 6>(P, sh, zn, own, less, ylo, yhi, xlo2,
                                                            xhi2, sv, centre, zc[j + hy], beta, vp)
                                           : near_fit<6, 15>(P, sh, zn, own, less, ylo, yhi, xlo2,
                                                             xhi2, sv, centre, zc[j + hy], beta,
                                                             vp);
                        if (!good) continue;
                        for (int k = 0; k < p && !se; k++) o[k][j] = beta[k] * osc[k];
                        if (var) put_var(j, vv);
                    }
                }
                i = e;
            }
        }
    }
    return 0;
}
