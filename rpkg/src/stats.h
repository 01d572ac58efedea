/* The fit's statistics: the sums behind sigma-hat, the degrees of freedom
 * and the cross-validation scores (stats.c). */
#ifndef ORVEL_STATS_H
#define ORVEL_STATS_H

#include <stddef.h>
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Visibility.h>


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
attribute_hidden int stats_scale(double big);

/* The largest finite |x[i]| of n. */
attribute_hidden double abs_max(const double *x, R_xlen_t n);

/* Adds h nodes' to st: z the observations, f the fit (leave-one-out if
 * `loo`), hat and v00 their hat values and smooth's variance factors, k
 * the sums' scale. keep: score only flagged nodes (or NULL); can: cleared
 * where a node cannot be scored (or NULL). The residual and the
 * leave-one-out error are one another's through the hat value: e = r / (1
 * - hat). */
attribute_hidden void stats_add(const double *z, const double *f, const double *hat,
                                const double *v00, ptrdiff_t h, int loo, int k,
                                const Rbyte *keep, Rbyte *can, double *st);

/* The per (column, segment) sums at scale `scale` added in column order
 * into out (with acc's first, when not NULL), then sigma-hat at the data's
 * scale and the sums' scale (NSTATV values): the same bits however the
 * work was split. */
attribute_hidden void stats_total(const double *slots, ptrdiff_t np, const double *acc,
                                  int scale, double *out);

/* The statistics' vector of R: named rss, n, nu1, nu2, cvss, zmax, sigma,
 * scale. */
attribute_hidden SEXP stats_vector(const double *st);

#endif
