/* Slope and aspect of fitted planes (terrain.c). */
#ifndef ORVEL_TERRAIN_H
#define ORVEL_TERRAIN_H

#include <stddef.h>
#include <R_ext/Visibility.h>

/* Over r rows of c cells: ge, gn the fits' gFx and gFy; cx[i] (cx[0] for
 * every row unless per_row) the number of cells along a raster row times
 * the east-west cell size, and ny the number of rows times the north-south
 * cell size, which turn them into change per map unit; what[l] 1 for slope,
 * 2 for aspect; scale 1 for radians, 180 / pi for degrees. Cell k of row i
 * of layer l goes to o[l][i * c + k]. lanes 2 asks for the two-lane pass,
 * 0 for the widest the CPU has (the same bits). */
attribute_hidden void orvel_angles_pass(const double *ge, const double *gn, ptrdiff_t r,
                                        ptrdiff_t c, const double *cx, int per_row, double ny,
                                        const int *what, int nl, double scale,
                                        double *const *o, int lanes);

#endif
