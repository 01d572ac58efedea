/* Slope and aspect of fitted planes (terrain.c). */
#ifndef ORVEL_TERRAIN_H
#define ORVEL_TERRAIN_H

#include <stddef.h>
#include <R_ext/Visibility.h>

#include "geometry.h"

/* Over r rows (slow indices ix0 .. ix0 + r - 1 of the geometry g) of c
 * cells: ge, gn the fits' gFx and gFy, which g's factors turn into change
 * per map unit east and north; what[l] 1 for slope, 2 for aspect; scale 1
 * for radians, 180 / pi for degrees. Cell k of row i of layer l goes to
 * o[l][i * c + k]. lanes 2 asks for the two-lane pass, 0 for the widest the
 * CPU has (the same bits). */
attribute_hidden void orvel_angles_pass(const double *ge, const double *gn, ptrdiff_t r,
                                        ptrdiff_t c, const orvel_geom *g, ptrdiff_t ix0,
                                        const int *what, int nl, double scale,
                                        double *const *o, int lanes);

#endif
