// The general local polynomial engine's plan and the helpers its planning
// (lpoly.cpp) and its fits (fit.inc, compiled once per instruction set)
// share.  Only types and internal-linkage functions: every translation unit
// that includes this compiles its own copy of each function with its own
// instruction set, so no copy built for a wider set can stand in for the
// baseline's.
#ifndef ORVEL_LPOLY_INTERNAL_H
#define ORVEL_LPOLY_INTERNAL_H

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "lpoly/lpoly.h"

namespace orvel_lpi {

constexpr int MAXK = 101;      // largest window side
constexpr int MAXP = 6;        // coefficients: degree 2
constexpr int MAXM = 15;       // moments of the normal matrix: degree <= 4
constexpr int MAXPOW = 5;      // powers of one offset: 0 .. 4
constexpr int MAXV = ORVEL_LP_NVAR(MAXP);   // variance factors a node

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

}  // namespace orvel_lpi

using namespace orvel_lpi;

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

// Monomials u^a v^b in the order of total degree, then falling a: 1, u, v,
// u^2, uv, v^2, u^3, ... ; the first 3 or 6 are the coefficients' order.
inline int mono(int a, int b)
{
    int t = a + b;
    return t * (t + 1) / 2 + b;
}

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

// Scratch: the cleaned column with its halo (data, missing); per ring
// slot (or two: the first term's and the next's) the down-column sums and
// missing count; the node column's sums across: the data sums and the
// missing count.
inline size_t layout(const orvel_lp *P, size_t *slot)
{
    size_t L = (size_t) P->seg;
    *slot = (size_t) (P->pz + 1) * L;
    return 2 * (L + 2 * (size_t) P->hy) + (size_t) (P->sep ? P->kx : 2) * *slot +
           (size_t) (P->p + 1) * L;
}

}  // namespace

#endif
