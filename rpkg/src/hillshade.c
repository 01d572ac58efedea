/* The hillshade of a fitted surface (see hillshade.h). With the downhill
 * unit vector (-p, -q) / sqrt(g), g = p^2 + q^2, and a sun at azimuth az
 * (east part sin az, north part cos az) and altitude alt:
 *
 *   shade(az) = (sin alt - cos alt (p sin az + q cos az)) / sqrt(1 + g)
 *   weight(az) = cos^2(aspect - az) = (p sin az + q cos az)^2 / g
 *
 * Several suns give sum(weight max(shade, 0)) / sum(weight). */
#include "fpcontract.h"
#include <complex.h>
#include <math.h>

#include "hillshade.h"

/* One body for real values and complex ones (the derivatives by a complex
 * step); the clip and the tests look at the real part. */
#define SHADE(NAME, T, SQRT, RE)                                                  \
    static T NAME(const orvel_terrain_opts *o, T p, T q)                          \
    {                                                                             \
        if (o->nsun == 1)                                                         \
            return (o->sun_sin - o->sun_cos * (p * o->az_sin[0] + q * o->az_cos[0])) / \
                   SQRT(1 + p * p + q * q);                                       \
        T g = p * p + q * q;                                                      \
        if (RE(g) == 0) return o->sun_sin;                                        \
        T num = 0, den = 0, sum = 0;                                              \
        for (int k = 0; k < o->nsun; k++) {                                       \
            T a = p * o->az_sin[k] + q * o->az_cos[k];                            \
            T s = o->sun_sin - o->sun_cos * a;                                    \
            if (!(RE(s) > 0)) s = 0;                                              \
            num += a * a * s;                                                     \
            den += a * a;                                                         \
            sum += s;                                                             \
        }                                                                         \
        return (RE(den) > 0 ? num / den : sum / o->nsun) / SQRT(1 + g);           \
    }

#define REAL_PART(x) (x)
SHADE(shade_real, double, sqrt, REAL_PART)
SHADE(shade_complex, double complex, csqrt, creal)

double orvel_hillshade(const orvel_terrain_opts *o, double p, double q)
{
    return shade_real(o, p, q);
}

double orvel_hillshade_se(const orvel_terrain_opts *o, double p, double q, double vp,
                          double vq, double cpq, double gmin)
{
    if (!isfinite(p) || !isfinite(q)) return NAN;
    if (o->nsun > 1 && p * p + q * q <= gmin) return NAN;
    double hp = 1e-30 * (fabs(p) > 1e-250 ? fabs(p) : 1);
    double hq = 1e-30 * (fabs(q) > 1e-250 ? fabs(q) : 1);
    double gp = cimag(shade_complex(o, p + hp * I, q)) / hp;
    double gq = cimag(shade_complex(o, p, q + hq * I)) / hq;
    double v = gp * gp * vp + 2 * gp * gq * cpq + gq * gq * vq;
    return v > 0 ? sqrt(v) : v == 0 ? 0 : NAN;
}
