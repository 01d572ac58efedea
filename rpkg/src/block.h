/* A block of a raster: the job its chunks share (block.c), and the layers
 * derived from its fits (layers.c). */
#ifndef ORVEL_BLOCK_H
#define ORVEL_BLOCK_H

#include <stdatomic.h>
#include <stddef.h>
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Visibility.h>

#include "geometry.h"
#include "model.h"
#include "parallel.h"
#include "terrain_options.h"

/* Layer codes of a request: SE + code is the standard error of layer
 * `code` (none for the landform classes). */
enum { STATS = 0, SMOOTH = 1, DZDX = 2, DZDY = 3, SLOPE = 4, ASPECT = 5, D2ZDX2 = 6,
       D2ZDXDY = 7, D2ZDY2 = 8, PROFILE = 9, PLAN = 10, TANGENTIAL = 11, MEAN = 12,
       GAUSSIAN = 13, MAXCURV = 14, MINCURV = 15, HILLSHADE = 16, LONGITUDINAL = 17,
       CROSS_SECTIONAL = 18, FEATURES = 19, TWISTING = 20, EASTNESS = 21, NORTHNESS = 22,
       DIRSLOPE = 23, NLAYER = 24, SE = 64 };

/* Whether layer `base` (no standard error's) needs a quadratic; whether it
 * follows the slope line or the contour (NA on ground flatter than the
 * least slope). */
attribute_hidden int layer_needs_quadratic(int base);
attribute_hidden int layer_directional(int base);

typedef struct block_job {
    const orvel_model *m;
    orvel_data d;
    ptrdiff_t iy0, th;   /* the target rows: iy0 .. iy0 + th - 1 */
    orvel_chunks c;
    const int *what;     /* layer codes, nl of them */
    int nl, policy;      /* na.policy: 0 all, 1 omit, 2 only */
    orvel_geom g;
    double scale;        /* the angles' unit: 1 radians, 180 / pi degrees */
    orvel_terrain_opts opts; /* the sun, the elevations' scale, the least slope, ... */
    double *out;         /* layer l of node (ix, iy) at l * mlen + (ix - ix0) * th + iy - iy0 */
    ptrdiff_t mlen;      /* the layers' stride */
    int var;             /* the variance factors are wanted */
    double sigma;        /* the noise's standard deviation, for the standard errors */
    double *slots;       /* statistics: NSTAT sums per (column, segment) */
    int sums_scale;      /* statistics: the sums' scale (see stats_scale()) */
    const Rbyte *keep;   /* statistics: score only nodes flagged here (global index), or NULL */
    Rbyte *can;          /* statistics: cleared where a node cannot be scored, or NULL */
    atomic_int status;
} block_job;

/* Doubles of scratch per node of a chunk: p outputs, a spare, and the
 * variance factors when wanted. */
attribute_hidden int block_arrays(const block_job *j);

/* Fits chunk k into the scratch s (p outputs, each of the chunk's nodes,
 * `h` a column, the spare, the variance factors when wanted, then the
 * engine's scratch), and says where it is; 0 where the engine failed (its
 * status is then in j->status). */
attribute_hidden int block_fit(block_job *j, ptrdiff_t k, double *s, ptrdiff_t *x0,
                               ptrdiff_t *x1, ptrdiff_t *y0, ptrdiff_t *y1);

/* The layers of chunk k (an orvel_chunk_fn over a block_job). */
attribute_hidden void layer_chunk(void *arg, ptrdiff_t k, double *s);

#endif
