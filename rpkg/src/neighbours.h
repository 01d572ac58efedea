/* Measures of each cell's 3 x 3 neighbourhood, as terra::terrain() and
 * gdaldem define them: no fit, the elevations themselves (neighbours.c).
 *
 *   TPI        z0 - the mean of the neighbours
 *   TRI        the mean of |z_k - z0| over the neighbours
 *   roughness  the largest elevation of the 3 x 3 cells minus the smallest
 *   flowdir    the direction of the steepest drop, (z0 - z_k) / distance,
 *              or of the smallest rise where every neighbour is higher,
 *              coded 1 east, 2 south-east, 4 south, 8 south-west, 16 west,
 *              32 north-west, 64 north, 128 north-east; on ties the lowest
 *              code
 *
 * The neighbours are those of the eight that lie inside the raster; at its
 * edges fewer. A cell's sums run over them in one fixed order (north-west,
 * west, south-west, north, south, north-east, east, south-east of the
 * array), terra's, so that a cell with all eight gets terra's bits.
 * Missing elevations (NA, NaN, infinite): without na.rm, a cell is NA
 * where any cell of its 3 x 3 window is missing; with na.rm they are left
 * out, a missing centre leaves TPI, TRI and flowdir NA and roughness the
 * range of the cells there. Checks: every argument at the R entry; cost:
 * one pass over the target rows, 8 reads a cell, threads over rows. */
#ifndef ORVEL_NEIGHBOURS_H
#define ORVEL_NEIGHBOURS_H

#include <R.h>
#include <Rinternals.h>

/* Layer codes of orvel_neighbours_block(). */
enum { NB_TPI = 1, NB_TRI = 2, NB_ROUGHNESS = 3, NB_FLOWDIR = 4 };

/* z: nz rows of nc cells of a raster, row after row as terra reads them;
 * geom: c(nc, nz, t0, t1, at), the target rows t0 .. t1 - 1 (0-based, in
 * z), whose layers go to position `at` on in each layer of `out` (layer l
 * of target cell (r, c) at l * m + at + (r - t0) * nc + c, m the length of
 * out over the number of layers), written in place; z must hold the row
 * before t0 and the row after t1 - 1 wherever the raster has them. what:
 * layer codes above, each once; dx: the east-west cell size, one, or one
 * per row of z; dy: the north-south cell size; flip: c(-1 where the
 * columns run west, else 1, -1 where the rows run north, else 1), so that
 * flowdir's codes are those of the map; narm: TRUE or FALSE; threads. */
SEXP orvel_neighbours_block(SEXP z, SEXP geom, SEXP what, SEXP dx, SEXP dy, SEXP flip,
                            SEXP narm, SEXP out, SEXP threads);

#endif
