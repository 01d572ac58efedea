/* Land-surface measures from the derivatives p = z_x, q = z_y, r = z_xx,
 * s = z_xy, t = z_yy (x east, y north), g = p^2 + q^2, with the sign of
 * Minar's curvatures (positive where the surface is convex):
 *
 *   longitudinal (Wood)     -(p^2 r + 2pqs + q^2 t) / g
 *                           the second derivative along the slope line:
 *                           profile curvature times (1 + g)^3/2
 *   cross-sectional (Wood)  -(q^2 r - 2pqs + p^2 t) / g
 *                           the second derivative along the contour: plan
 *                           curvature times sqrt(g)
 *   twisting                (pq (r - t) - (p^2 - q^2) s) / (g (1 + g))
 *                           the contour's geodesic torsion
 *   eastness, northness     sin and cos of the aspect: -p / sqrt(g), -q / sqrt(g)
 *   directional slope       atan(p sin a + q cos a), a the direction
 *                           clockwise from north (positive uphill)
 *
 * Wood's landform classes, as r.param.scale gives them: with the slope
 * above its tolerance, ridge where the cross-sectional curvature is above
 * the curvature tolerance, channel where it is below minus that, else
 * planar; on flatter ground, from the eigenvalues of minus the Hessian
 * (-(r + t) / 2 +- sqrt(((r - t) / 2)^2 + s^2)): peak where both are above
 * the tolerance, pit where both are below minus it, pass where they lie on
 * either side, ridge or channel where only the larger or the smaller
 * passes it, planar where neither does. */
#include "fpcontract.h"
#include <complex.h>
#include <math.h>

#include "morphometry.h"

int orvel_morph_directional(int which)
{
    return which == MORPH_LONGITUDINAL || which == MORPH_CROSS_SECTIONAL ||
           which == MORPH_TWISTING || which == MORPH_EASTNESS || which == MORPH_NORTHNESS;
}

/* One body for real arguments and complex ones (a complex step). */
#define MORPH(NAME, T, SQRT, ATAN)                                                    \
    static T NAME(int which, const T *d, const orvel_terrain_opts *o, double scale)   \
    {                                                                                 \
        T p = d[0], q = d[1], r = d[2], s = d[3], t = d[4], g = p * p + q * q;        \
        switch (which) {                                                              \
        case MORPH_LONGITUDINAL:                                                      \
            return -(p * p * r + 2 * p * q * s + q * q * t) / g;                      \
        case MORPH_CROSS_SECTIONAL:                                                   \
            return -(q * q * r - 2 * p * q * s + p * p * t) / g;                      \
        case MORPH_TWISTING:                                                          \
            return (p * q * (r - t) - (p * p - q * q) * s) / (g * (1 + g));           \
        case MORPH_EASTNESS:                                                          \
            return -p / SQRT(g);                                                      \
        case MORPH_NORTHNESS:                                                         \
            return -q / SQRT(g);                                                      \
        default: {                                                                    \
            T a = p * o->along_sin + q * o->along_cos;                                \
            return o->percent ? 100 * a : ATAN(a) * scale;                            \
        }                                                                             \
        }                                                                             \
    }

/* The arc tangent of a complex step a + ih, to first order in h (all the
 * step needs): the same on every C library, whose catan() may lose a tiny
 * imaginary part. */
static double complex step_atan(double complex z)
{
    double a = creal(z);
    return atan(a) + I * (cimag(z) / (1 + a * a));
}

MORPH(morph_real, double, sqrt, atan)
MORPH(morph_complex, double complex, csqrt, step_atan)

/* Wood's class of a cell (see the top). */
static double feature(const double *d, const orvel_terrain_opts *o)
{
    double p = d[0], q = d[1], r = d[2], s = d[3], t = d[4], g = p * p + q * q;
    double slope = atan(sqrt(g)) * (180 / M_PI), tol = o->curv_tol;
    if (!isfinite(slope) || !isfinite(r) || !isfinite(s) || !isfinite(t)) return NAN;
    if (slope > o->slope_tol) {
        double cross = g > 0 ? -(q * q * r - 2 * p * q * s + p * p * t) / g : 0;
        return cross > tol ? FEATURE_RIDGE : cross < -tol ? FEATURE_CHANNEL : FEATURE_PLANAR;
    }
    double h = (r - t) / 2, e = sqrt(h * h + s * s), m = -(r + t) / 2;
    double maxic = m + e, minic = m - e;
    if (maxic > tol)
        return minic > tol ? FEATURE_PEAK : minic < -tol ? FEATURE_PASS : FEATURE_RIDGE;
    if (minic < -tol) return maxic < -tol ? FEATURE_PIT : FEATURE_CHANNEL;
    return FEATURE_PLANAR;
}

double orvel_morph(int which, const double *d, double gmin, const orvel_terrain_opts *o,
                   double scale)
{
    if (which == MORPH_FEATURES) return feature(d, o);
    if (orvel_morph_directional(which) && !(d[0] * d[0] + d[1] * d[1] > gmin)) return NAN;
    return morph_real(which, d, o, scale);
}

double orvel_morph_se(int which, const double *d, double gmin, const orvel_terrain_opts *o,
                      double scale, const double *C)
{
    if (which == MORPH_FEATURES) return NAN;
    double f = orvel_morph(which, d, gmin, o, scale);
    if (!isfinite(f)) return NAN;
    double grad[5];
    for (int i = 0; i < 5; i++) {
        double complex z[5];
        double h = 1e-30 * (fabs(d[i]) > 1e-250 ? fabs(d[i]) : 1);
        for (int k = 0; k < 5; k++) z[k] = d[k];
        z[i] += h * I;
        grad[i] = cimag(morph_complex(which, z, o, scale)) / h;
    }
    double v = 0;
    for (int i = 0; i < 5; i++)
        for (int k = 0; k < 5; k++) v += grad[i] * C[i * 5 + k] * grad[k];
    return v > 0 ? sqrt(v) : v == 0 ? 0 : NAN;
}
