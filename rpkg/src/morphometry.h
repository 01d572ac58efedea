/* Land-surface measures beyond Minar's curvatures, from a fitted surface's
 * derivatives (morphometry.c): Wood's longitudinal and cross-sectional
 * curvatures and his landform classes (as GRASS r.param.scale gives them),
 * the twisting curvature, eastness and northness, and the slope along a
 * direction. */
#ifndef ORVEL_MORPHOMETRY_H
#define ORVEL_MORPHOMETRY_H

#include <R_ext/Visibility.h>

#include "terrain_options.h"

enum { MORPH_LONGITUDINAL, MORPH_CROSS_SECTIONAL, MORPH_FEATURES, MORPH_TWISTING,
       MORPH_EASTNESS, MORPH_NORTHNESS, MORPH_DIRECTIONAL_SLOPE };

/* Landform classes, r.param.scale's codes. */
enum { FEATURE_PLANAR = 1, FEATURE_PIT, FEATURE_CHANNEL, FEATURE_PASS, FEATURE_RIDGE,
       FEATURE_PEAK };

/* Whether measure `which` follows the slope line or the contour, and so is
 * undefined on level ground. */
attribute_hidden int orvel_morph_directional(int which);

/* Measure `which` from d = (p, q, r, s, t) = (z_x, z_y, z_xx, z_xy, z_yy) per
 * map unit, x east, y north; `o` for the tolerances and the direction,
 * `scale` the unit of an angle (1 radians, 180 / pi degrees). NaN where a
 * directional measure's p^2 + q^2 <= gmin. O(1). */
attribute_hidden double orvel_morph(int which, const double *d, double gmin,
                                    const orvel_terrain_opts *o, double scale);

/* Its standard error by the delta method, C the 5 x 5 covariance of d
 * (row-major), the gradient by a complex step; NaN where the measure is
 * undefined, and for the landform classes, which have none. O(1). */
attribute_hidden double orvel_morph_se(int which, const double *d, double gmin,
                                       const orvel_terrain_opts *o, double scale,
                                       const double *C);

#endif
