/* Local polynomial fits of degree 1 or 2 on any odd window: the general
 * engine beside the exact 7 x 7 one.
 *
 * For every target node the polynomial in the offsets (dy, dx) from the
 * node, 1, dy, dx (degree 1) and dy^2, dy dx, dx^2 (degree 2), is fitted
 * by weighted least squares to the observations in the node's window,
 * clipped at the grid's edges, with the weight K(dy, dx). An observation is
 * missing when it is not finite (NA, NaN, +-Inf).
 *
 * The fit is linear in the data: its moment sums S_ab = sum K u^a v^b z
 * (u, v the offsets scaled to [-1, 1]) come from one-dimensional passes, a
 * pass down each column and one across the columns when the kernel is
 * separable (K = A(dy) B(dx)), else one down-column pass per kernel column.
 * Where no observation of a node's window is missing, the normal matrix
 * depends only on how the window is clipped (its shape): it is inverted
 * once per shape. Near missing values it is formed from the same passes
 * over the indicator of the observed cells and inverted per node.
 *
 * A fit is not determined where the weighted design has rank below the
 * number of coefficients. That is judged on the normal matrix scaled to a
 * unit diagonal: its pivots, taken largest first, are the squared sines of
 * the angles between each basis column and the span of the columns before
 * it (under the weights). A pivot below ORVEL_LP_TOL means a direction the
 * data determine only to within the rounding of the sums themselves (about
 * the window's size times 1e-16, so at most 1e-12 for 101 x 101): the
 * node gets NaN. The leave-one-out fit is judged the same way by 1 - L,
 * L the weight of the node's own observation in its own fit, the factor
 * by which leaving the observation out shrinks the normal matrix's
 * determinant.
 *
 * Every node's arithmetic depends only on the grid, the kernel and the
 * node: the same bits in a call over the whole grid or over any block of
 * it, in any order, on any thread.
 *
 * Plain C interface. A plan (orvel_lp_new) holds the kernel's
 * decomposition and the per-shape inverses; fits take caller's scratch,
 * keep no state and start no threads. */
#ifndef ORVEL_LPOLY_H
#define ORVEL_LPOLY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORVEL_LP_TOL 1e-10

/* A normal matrix is badly conditioned where, scaled to a unit diagonal,
 * its condition number in the 1-norm exceeds ORVEL_LP_COND. A solve of it
 * that is not this engine's (the exact engine's Cramer's rule on the
 * unscaled sums) can lose about that factor times the rounding of the
 * sums: beyond 1e6, more than six of the sixteen digits, where this
 * engine's pivoted sweep of the scaled matrix keeps all the data
 * determine. The plain kernels of the package stay below 1e4 at every
 * clipped window of up to 7 x 7. */
#define ORVEL_LP_COND 1e6

typedef struct orvel_lp orvel_lp;

/* Flags of a plan. */
enum {
    ORVEL_LP_LOO = 1,  /* leave each node's own observation out of its fit */
    ORVEL_LP_NARM = 2  /* fit from the observed cells; else a missing
                          observation with non-zero weight makes the node NaN */
};

/* Modes of orvel_lp_fit(). */
enum {
    ORVEL_LP_ALL = 0,   /* write every target's coefficients */
    ORVEL_LP_MERGE = 1, /* the targets already hold the exact engine's fit of
                           the data with missing values replaced by zeros:
                           write NaN where the fit is not determined or a
                           missing value has weight (without NARM), the
                           fit from the observed cells where one has (NARM),
                           and this engine's own fit where the node's
                           normal matrix (without the node, for LOO) is
                           badly conditioned (ORVEL_LP_COND); leave the rest */
    ORVEL_LP_SE = 2     /* write no coefficients (`out` may be NULL), only the
                           first p `var` outputs, and those as standard
                           errors: the square roots of the variance factors
                           times |scale[k]| */
};

/* A plan for the ky x kx weights K (K[(dy + hy) + ky * (dx + hx)], ky and
 * kx odd from 3 to 101, finite) at degree 1 or 2 on a grid of ny rows (the
 * fast index) and nx columns. NULL on bad arguments or no memory. */
orvel_lp *orvel_lp_new(const double *K, int ky, int kx, int degree, ptrdiff_t ny,
                       ptrdiff_t nx, int flags);
void orvel_lp_free(orvel_lp *plan);

/* Coefficients a node: 3 or 6. */
int orvel_lp_ncoef(const orvel_lp *plan);

/* Doubles of scratch orvel_lp_fit() needs. */
size_t orvel_lp_scratch(const orvel_lp *plan);

/* Entries of the `var` outputs of orvel_lp_fit() after the p variances:
 * the covariance of the coefficients of dy and dx, the node's weight in
 * its own (full) fit, and the variance of the full fit's smooth; then the
 * covariance of coefficients k < l at ORVEL_LP_COV(p, k, l). */
enum { ORVEL_LP_COV12 = 0, ORVEL_LP_HAT = 1, ORVEL_LP_VAR00 = 2 };
#define ORVEL_LP_COV(p, k, l) ((p) + 3 + (k) * (2 * (p) - (k) - 1) / 2 + (l) - (k) - 1)
#define ORVEL_LP_NVAR(p) ((p) + 3 + (p) * ((p) - 1) / 2)

/* Fits the target nodes, columns ix0 .. ix1 - 1 and rows iy0 .. iy1 - 1,
 * from `data`, the grid's columns col0 .. col0 + ncol - 1 (ny values
 * each), which must cover every target's window. Coefficient k of node
 * (iy, ix) times scale[k] goes to out[k][(ix - ix0) * stride + iy - iy0],
 * in the order 1, dy, dx, dy^2, dy dx, dx^2, per node step.
 *
 * var: NULL, or ORVEL_LP_NVAR(p) pointers, each NULL or a target array
 * like out[k] but of stride vstride, for what the fit's weights give whatever the data: per
 * node, var[k] (k < p) the variance of coefficient k divided by that of
 * the noise (the squared norm of the coefficient's weights over the
 * window; of the leave-one-out fit for a LOO plan) times scale[k]^2;
 * var[p + ORVEL_LP_COV12] the same of the covariance of coefficients 1
 * and 2 times scale[1] scale[2] (and at ORVEL_LP_COV(p, k, l) that of
 * coefficients k and l times scale[k] scale[l]); var[p + ORVEL_LP_HAT] the weight of the
 * node's own observation in its full fit, and var[p + ORVEL_LP_VAR00] the
 * variance factor of the full fit's smooth (these two meant for nodes
 * whose own observation is observed). NaN where the node gets no fit. These assume independent noise of one
 * variance at every observation.
 *
 * Returns 0, or 1 on inconsistent arguments (nothing written). */
int orvel_lp_fit(const orvel_lp *plan, const double *data, ptrdiff_t col0, ptrdiff_t ncol,
                 ptrdiff_t ix0, ptrdiff_t ix1, ptrdiff_t iy0, ptrdiff_t iy1, double *const *out,
                 ptrdiff_t stride, const double *scale, int mode, double *const *var,
                 ptrdiff_t vstride, double *scratch);

/* Inverts the symmetric p x p matrix m (row-major, p 3 or 6) into inv as
 * this engine does a node's normal matrix near missing values: a sweep of
 * its unit-diagonal scaling, the largest remaining pivot first. Returns 0,
 * writing nothing sure, when a diagonal is zero or not finite, or a pivot
 * falls below ORVEL_LP_TOL (the design does not determine the
 * coefficients); 1 on success. */
int orvel_lp_invert(const double *m, int p, double *inv);

/* orvel_lp_fit() in the version of instruction-set level `level` (an
 * orvel_isa_level of cpu/cpu.h: 0 baseline, 1 AVX2, 2 AVX-512) instead of
 * the level in use (orvel_cpu_level(): the CPU's, capped by ORVEL_ISA).
 * Every level gives the same bits. Returns 2, writing nothing, for a level
 * this CPU cannot run (off x86-64: any but the baseline). */
int orvel_lp_fit_at(int level, const orvel_lp *plan, const double *data, ptrdiff_t col0,
                    ptrdiff_t ncol, ptrdiff_t ix0, ptrdiff_t ix1, ptrdiff_t iy0, ptrdiff_t iy1,
                    double *const *out, ptrdiff_t stride, const double *scale, int mode,
                    double *const *var, ptrdiff_t vstride, double *scratch);

#ifdef __cplusplus
}
#endif

#endif
