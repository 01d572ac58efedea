/* One step of the intersection-of-confidence-intervals rule along a ladder
 * of scales, for several values of Gamma at once (the adaptive fits of
 * R/adaptive.R).
 *
 * b, v: the n nodes' p coefficients and their variances at this scale
 * (n x p, column-major; the first the smooth's). For each Gamma g and node
 * i still alive (its intervals so far meet), where b and v of the smooth
 * are finite: the interval b +- Gamma sqrt(v) is intersected with the
 * running one [lo, hi]; if what is left is not empty, it becomes [lo, hi],
 * the scale `bw` is the node's choice (cs) and its coefficients and
 * variances are kept (cb, cv: n x p x G); else the node is no longer alive.
 * lo, hi, alive, cs (n x G) and cb, cv are the caller's own state, fresh
 * vectors nothing else refers to, updated in place. Cost: n G (p + 1). */
#ifndef ORVEL_ICI_H
#define ORVEL_ICI_H

#include <R.h>
#include <Rinternals.h>

SEXP orvel_ici_step(SEXP b, SEXP v, SEXP gammas, SEXP bw, SEXP lo, SEXP hi, SEXP alive,
                    SEXP cs, SEXP cb, SEXP cv);

#endif
