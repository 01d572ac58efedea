/* Curvatures of a surface z(x, y) from its derivatives (surface.c). */
#ifndef ORVEL_SURFACE_H
#define ORVEL_SURFACE_H

#include <stddef.h>
#include <R_ext/Visibility.h>

/* Which curvature: see orvel_curvature(). */
enum { CURV_PROFILE, CURV_PLAN, CURV_TANGENTIAL, CURV_MEAN, CURV_GAUSSIAN, CURV_MAX, CURV_MIN };

/* Curvature `which` from d = (p, q, r, s, t): the derivatives z_x, z_y,
 * z_xx, z_xy, z_yy, x east and y north. NaN where it is undefined: for the
 * profile, plan and tangential curvatures, where p^2 + q^2 <= gmin (the
 * surface is level to within the rounding of d). */
attribute_hidden double orvel_curvature(int which, const double *d, double gmin);

/* The same over n cells of a column: d = (ge a[0], gn a[1], b3 a[2], b4 a[3],
 * b5 a[4]), and gmin = (F level)^2, F the smooth. */
attribute_hidden void orvel_curvature_column(int which, const double *ge, const double *gn,
                                             const double *b3, const double *b4,
                                             const double *b5, const double *F,
                                             const double *a, double level, ptrdiff_t n,
                                             double *out);

/* Its standard error by the delta method, C the covariance of d (5 x 5,
 * row-major): the gradient taken by a complex step, which is exact to
 * rounding whatever the step. NaN where the curvature is undefined. */
attribute_hidden double orvel_curvature_se(int which, const double *d, double gmin,
                                           const double *C);

#endif
