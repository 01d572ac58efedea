/* The hillshade of a fitted surface and its standard error (hillshade.c). */
#ifndef ORVEL_HILLSHADE_H
#define ORVEL_HILLSHADE_H

#include <R_ext/Visibility.h>

#include "terrain_options.h"

/* The shade of a cell whose slopes per map unit are p (east) and q (north)
 * under the suns of `o`. One azimuth: terra::shade()'s sin(alt) cos(slope)
 * + cos(alt) sin(slope) cos(azimuth - aspect), not clipped. Several: each
 * shade clipped at 0 and averaged with the weights cos^2(aspect - azimuth),
 * as gdaldem's multidirectional hillshade combines its four (225, 270, 315
 * and 360 degrees); sin(alt) on level ground, the plain mean where every
 * weight is zero. O(azimuths). */
attribute_hidden double orvel_hillshade(const orvel_terrain_opts *o, double p, double q);

/* Its standard error by the delta method: vp, vq, cpq the variances and
 * covariance of p and q; the gradient by a complex step (exact to
 * rounding). NaN where the shade has no gradient: on level ground (p^2 +
 * q^2 at most gmin, what rounding leaves of level ground) under several
 * suns. */
attribute_hidden double orvel_hillshade_se(const orvel_terrain_opts *o, double p, double q,
                                           double vp, double vq, double cpq, double gmin);

#endif
