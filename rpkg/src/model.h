/* A model: what is fitted to every node of a grid, built once per call.
 *
 * A kernel of odd sides from 3 to 101, a degree (1 or 2), the leave-one-out
 * flag and what to do with missing values, on a grid of ny rows (the fast
 * index) and nx columns: the general engine's plan (lpoly.h) is made once,
 * here, and held by an external pointer whose finalizer frees it, so that
 * a raster's blocks, and the passes of one call, share it.
 *
 * The model is the only caller of the engines. Every model is fitted by the
 * general engine, unless `exact` is asked for: then a plane on at most 7 x 7
 * goes through the exact engine (engine.h), the raw libraries' arithmetic
 * bit for bit, over the data with missing values replaced by zeros, and the
 * general engine marks what that fit must not show (nodes whose fit is not
 * determined, and whose windows hold a missing value with weight). The
 * general engine alone is the faster (the exact engine's fit and the
 * marking pass take about 1.4 times its one pass on a 4000 x 4000 grid).
 *
 * A model is only read while nodes are fitted: any number of threads fit
 * with one model, each with scratch of its own. */
#ifndef ORVEL_MODEL_H
#define ORVEL_MODEL_H

#include <stddef.h>
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Visibility.h>

#include "lpoly.h"
#include "parallel.h"

typedef struct orvel_model {
    double K49[49];       /* the exact engine's weights, when `exact` */
    int exact;
    orvel_lp *lp;
    int p, loo, narm;
    ptrdiff_t ny, nx;
    ptrdiff_t halo;       /* columns of data a target's window reaches */
    int ky, kx;           /* the window */
} orvel_model;

/* The data a call fits: columns col0 .. col0 + ncol - 1 of the model's grid
 * (ny values each), and for the exact engine the same with missing values
 * replaced by zeros (zx: z itself, a copy, or cleaned a chunk at a time). */
typedef struct orvel_data {
    const double *z, *zx;
    ptrdiff_t col0, ncol;
    int clean;
} orvel_data;

/* The model held by `ptr`, an external pointer of orvel_model_new(); an
 * error for anything else. */
attribute_hidden const orvel_model *orvel_model_get(SEXP ptr);

/* The data `z`, a double vector of whole columns of the model's grid from
 * column col0 on. Returns a copy cleaned for the exact engine (PROTECTed
 * once) or R_NilValue (PROTECTed too). */
attribute_hidden SEXP orvel_data_init(const orvel_model *m, SEXP z, ptrdiff_t col0,
                                      orvel_data *d);

/* Chunks of target columns ix0 .. ix1 - 1 of rows 0 .. ny - 1, from the
 * model alone (see orvel_chunks_init()). */
attribute_hidden void orvel_model_chunks(const orvel_model *m, orvel_chunks *c, ptrdiff_t ny,
                                         ptrdiff_t ix0, ptrdiff_t ix1);

/* Doubles of scratch a thread needs for orvel_model_fit() on chunks of c. */
attribute_hidden size_t orvel_model_scratch(const orvel_model *m, const orvel_data *d,
                                            const orvel_chunks *c);

/* Fits nodes [x0, x1) x [y0, y1), coefficient k to out[k] (stride a
 * column) as the exact engine gives them: F, gFx (the change across the ny
 * rows), gFy (across the nx columns), and per node step squared for degree
 * 2; and, unless var is NULL, the variance factors asked for in var
 * (stride vstride), in the same units (see orvel_lp_fit()). Returns 0
 * (ORVEL_OK) on success. */
attribute_hidden int orvel_model_fit(const orvel_model *m, const orvel_data *d, ptrdiff_t x0,
                                     ptrdiff_t x1, ptrdiff_t y0, ptrdiff_t y1,
                                     double *const *out, ptrdiff_t stride, double *const *var,
                                     ptrdiff_t vstride, double *scratch);

/* An error unless an engine's status is 0. */
attribute_hidden void orvel_check_fit(int status);

#endif
