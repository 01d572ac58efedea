/* Curvatures of a surface from its first and second derivatives, as
 * defined by Minar, Evans and Jenco (2020, Earth-Science Reviews 211,
 * 103414), with their sign: positive where the surface is convex (a dome,
 * a ridge), negative where concave (a bowl, a valley). With p = z_x,
 * q = z_y, r = z_xx, s = z_xy, t = z_yy and g = p^2 + q^2:
 *
 *   profile (normal slope line)  -(p^2 r + 2pqs + q^2 t) / (g (1 + g)^3/2)
 *   plan (projected contour)     -(q^2 r - 2pqs + p^2 t) / g^3/2
 *   tangential (normal contour)  -(q^2 r - 2pqs + p^2 t) / (g (1 + g)^1/2)
 *   mean                         -((1 + q^2) r - 2pqs + (1 + p^2) t) / (2 (1 + g)^3/2)
 *   Gaussian                     (rt - s^2) / (1 + g)^2
 *   maximal, minimal             mean +- sqrt(mean^2 - Gaussian)
 *
 * The first three follow a direction on the surface (the slope line, the
 * contour) and are undefined where the surface is level: NaN where g is
 * at most the caller's gmin (the square of a slope that is only the
 * rounding of the fit). */
#include "fpcontract.h"
#include <complex.h>
#include <math.h>
#include <stddef.h>

#include "cpu.h"
#include "surface.h"

/* One body for real arguments (the values) and complex ones (the
 * derivatives by a complex step): T the type, SQRT its square root. */
#define CURVATURE(NAME, T, SQRT)                                                   \
    static T NAME(int which, const T *d)                                           \
    {                                                                              \
        T p = d[0], q = d[1], r = d[2], s = d[3], t = d[4];                       \
        T g = p * p + q * q, w = 1 + g;                                           \
        switch (which) {                                                           \
        case CURV_PROFILE:                                                         \
            return -(p * p * r + 2 * p * q * s + q * q * t) / (g * w * SQRT(w));  \
        case CURV_PLAN:                                                            \
            return -(q * q * r - 2 * p * q * s + p * p * t) / (g * SQRT(g));      \
        case CURV_TANGENTIAL:                                                      \
            return -(q * q * r - 2 * p * q * s + p * p * t) / (g * SQRT(w));      \
        case CURV_GAUSSIAN:                                                        \
            return (r * t - s * s) / (w * w);                                     \
        default: {                                                                 \
            T m = -((1 + q * q) * r - 2 * p * q * s + (1 + p * p) * t) / (2 * w * SQRT(w)); \
            if (which == CURV_MEAN) return m;                                      \
            T k = (r * t - s * s) / (w * w), e = SQRT(m * m - k);                  \
            return which == CURV_MAX ? m + e : m - e;                              \
        }                                                                          \
        }                                                                          \
    }

CURVATURE(curv_real, double, sqrt)
CURVATURE(curv_complex, double complex, csqrt)

static int directional(int which)
{
    return which == CURV_PROFILE || which == CURV_PLAN || which == CURV_TANGENTIAL;
}

double orvel_curvature(int which, const double *d, double gmin)
{
    if (directional(which) && !(d[0] * d[0] + d[1] * d[1] > gmin)) return NAN;
    if (which == CURV_MAX || which == CURV_MIN) {
        /* mean^2 - Gaussian is a square, (k1 - k2)^2 / 4: rounding may take
         * it a hair below zero at an umbilic. */
        double p = d[0], q = d[1], r = d[2], s = d[3], t = d[4], w = 1 + p * p + q * q;
        double m = -((1 + q * q) * r - 2 * p * q * s + (1 + p * p) * t) / (2 * w * sqrt(w));
        double k = (r * t - s * s) / (w * w), e = m * m - k;
        e = e > 0 ? sqrt(e) : 0;
        return which == CURV_MAX ? m + e : m - e;
    }
    return curv_real(which, d);
}

/* The whole vectors of a column, two cells at a time, or four where the
 * CPU has AVX2 (surface_avx2.c); the rest one at a time below, with the
 * same operations in the same order. */
#define W 2
#define CURV_NAME curvature_w2
#define CURV_LINKAGE static
#define CURV_TARGET
#include "curvature.h"
#undef W

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define HAVE_AVX2_CURVATURE 1
#include <R_ext/Visibility.h>
attribute_hidden ptrdiff_t orvel_curvature_avx2(int which, const double *ge, const double *gn,
                                                const double *b3, const double *b4,
                                                const double *b5, const double *F,
                                                const double *a, double level, ptrdiff_t n,
                                                double *out);
#endif

/* One cell at a time, from cell i0 on. */
#define COLUMN(EXPR, DIRECTIONAL)                                                  \
    for (ptrdiff_t i = i0; i < n; i++) {                                          \
        double p = ge[i] * a[0], q = gn[i] * a[1], r = b3[i] * a[2];              \
        double s = b4[i] * a[3], t = b5[i] * a[4];                                \
        double g = p * p + q * q, w = 1 + g, lv = F[i] * level;                   \
        (void) w; /* not every curvature's expression needs it */                \
        double v = (EXPR);                                                         \
        out[i] = (DIRECTIONAL) && !(g > lv * lv) ? NAN : v;                       \
    }

void orvel_curvature_column(int which, const double *ge, const double *gn, const double *b3,
                            const double *b4, const double *b5, const double *F,
                            const double *a, double level, ptrdiff_t n, double *out)
{
    ptrdiff_t i0;
#ifdef HAVE_AVX2_CURVATURE
    if (orvel_cpu_level() >= ORVEL_LEVEL_AVX2)
        i0 = orvel_curvature_avx2(which, ge, gn, b3, b4, b5, F, a, level, n, out);
    else
#endif
        i0 = curvature_w2(which, ge, gn, b3, b4, b5, F, a, level, n, out);
    switch (which) {
    case CURV_PROFILE:
        COLUMN(-(p * p * r + 2 * p * q * s + q * q * t) / (g * w * sqrt(w)), 1)
        break;
    case CURV_PLAN:
        COLUMN(-(q * q * r - 2 * p * q * s + p * p * t) / (g * sqrt(g)), 1)
        break;
    case CURV_TANGENTIAL:
        COLUMN(-(q * q * r - 2 * p * q * s + p * p * t) / (g * sqrt(w)), 1)
        break;
    case CURV_MEAN:
        COLUMN(-((1 + q * q) * r - 2 * p * q * s + (1 + p * p) * t) / (2 * w * sqrt(w)), 0)
        break;
    case CURV_GAUSSIAN:
        COLUMN((r * t - s * s) / (w * w), 0)
        break;
    default:
        for (ptrdiff_t i = i0; i < n; i++) {
            double d[5] = {ge[i] * a[0], gn[i] * a[1], b3[i] * a[2], b4[i] * a[3], b5[i] * a[4]};
            out[i] = orvel_curvature(which, d, 0);
        }
    }
}

double orvel_curvature_se(int which, const double *d, double gmin, const double *C)
{
    double f = orvel_curvature(which, d, gmin);
    if (!isfinite(f)) return NAN;
    double grad[5];
    for (int i = 0; i < 5; i++) {
        double complex z[5];
        double h = 1e-30 * (fabs(d[i]) > 1e-250 ? fabs(d[i]) : 1);
        for (int k = 0; k < 5; k++) z[k] = d[k];
        z[i] += h * I;
        grad[i] = cimag(curv_complex(which, z)) / h;
    }
    double v = 0;
    for (int i = 0; i < 5; i++)
        for (int k = 0; k < 5; k++) v += grad[i] * C[i * 5 + k] * grad[k];
    return v > 0 ? sqrt(v) : v == 0 ? 0 : NAN;
}
