/* Local polynomial fits with observation weights: every node's plane or
 * quadratic by weighted least squares over its window, the weight of the
 * neighbour at offset (dy, dx) being K(dy, dx) times the observation's own
 * weight w >= 0.
 *
 * A cell of weight 0 is left out of every window, as a missing value is
 * with na.rm; a missing value (not finite) of non-zero weight makes the
 * node NaN unless na.rm. The variance model is that of weighted least
 * squares: independent errors of variance sigma^2 / w at an observation
 * of weight w, so a coefficient's variance is sigma^2 times the diagonal
 * of (X'WX)^-1 X' K^2 w X (X'WX)^-1 (W = K w), and sigma-hat^2 is
 * sum w r^2 over the nodes scored divided by n - 2 tr L + sum w_i V00_i,
 * which is n - 2 tr L + tr L'L when every weight is 1.
 *
 * Each node sums its own window's cells directly (about 2 p^2 products a
 * cell, p = 3 or 6) and inverts its normal matrix scaled to a unit
 * diagonal by a pivoted sweep; a pivot below ORVEL_LP_TOL, or fewer cells
 * of weight than coefficients, leaves the node NaN. Every node's
 * arithmetic depends only on its window: the same bits with any number of
 * threads. Cost: nodes x window cells x about 50 flops (degree 2). */
#ifndef ORVEL_WEIGHTED_H
#define ORVEL_WEIGHTED_H

#include <R.h>
#include <Rinternals.h>

/* z: the grid (double matrix); w: weights like z (finite, >= 0); K, degree,
 * holdout, narm: the model; threads; se: 1 for the statistics, 2 for them
 * and the standard errors (in `unit`, p factors per output); returns what
 * orvel_fit_grid() returns for the same arguments (the statistics always). */
SEXP orvel_wfit_grid(SEXP z, SEXP w, SEXP K, SEXP degree, SEXP holdout, SEXP narm,
                     SEXP threads, SEXP se, SEXP unit);

#endif
