/* A grid's geometry on the map, decided once (in R, .orvel_geometry()) and
 * received here as one struct: how the engine's coefficients become
 * derivatives per map unit, x east and y north.
 *
 * The engine's grid has ny nodes along its fast index and nx along its
 * slow one. For a raster the fast index runs along a raster row (east,
 * or west where the columns run west) and the slow index down the rows
 * (south, or north). The engine gives per node gFx, the change across the
 * fast index's ny nodes, gFy across the nx, and the squares' coefficients
 * per node step squared. orvel_geom_factors() is the one place these
 * become (z_x, z_y, z_xx, z_xy, z_yy); every derived layer and standard
 * error takes them from it. */
#ifndef ORVEL_GEOMETRY_H
#define ORVEL_GEOMETRY_H

#include <stddef.h>

typedef struct orvel_geom {
    ptrdiff_t ny, nx;     /* the engine's grid */
    const double *dx;     /* the step along the fast index in map units: one, or one per
                             slow index (a longitude/latitude raster's rows) */
    int per_col;
    double dy;            /* the step along the slow index */
    double sx, sy;        /* +1 where the fast index runs east, the slow index south; -1
                             where they run west, north */
} orvel_geom;

/* The factors f of slow index ix: derivative k of (z_x, z_y, z_xx, z_xy,
 * z_yy) is f[k] times the engine's coefficient k + 1 (gFx, gFy, and the
 * coefficients of the squares dy^2, dy dx, dx^2 of the engine's offsets),
 * and its standard error |f[k]| times the coefficient's. */
static inline void orvel_geom_factors(const orvel_geom *g, ptrdiff_t ix, double f[5])
{
    double ex = g->dx[g->per_col ? ix : 0];
    /* Southward is the slow index's own direction: north is minus it. */
    double se = g->sx, sn = -g->sy;
    f[0] = se / ((double) g->ny * ex);
    f[1] = sn / ((double) g->nx * g->dy);
    f[2] = 2 / (ex * ex);
    f[3] = se * sn / (ex * g->dy);
    f[4] = 2 / (g->dy * g->dy);
}

/* The cell's smallest side, for tests of level ground. */
static inline double orvel_geom_cell(const orvel_geom *g, ptrdiff_t ix)
{
    double ex = g->dx[g->per_col ? ix : 0];
    return ex < g->dy ? ex : g->dy;
}

#endif
