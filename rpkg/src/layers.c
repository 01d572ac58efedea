/* The layers derived from a block's fits: the smooth, the derivatives per
 * map unit, slope and aspect, the curvatures, the hillshade, and their
 * standard errors. Every derivative comes from the geometry's factors
 * (orvel_geom_factors()), the one place orientation and units are decided;
 * the terrain maths are in terrain.c (slope, aspect) and surface.c
 * (curvatures). */
#include "fpcontract.h"
#include <math.h>
#include <string.h>

#include "block.h"
#include "engine.h"
#include "hillshade.h"
#include "morphometry.h"
#include "surface.h"
#include "terrain.h"

int layer_needs_quadratic(int base)
{
    return (base >= D2ZDX2 && base <= MINCURV) || (base >= LONGITUDINAL && base <= TWISTING);
}

int layer_directional(int base)
{
    return base == ASPECT || (base >= PROFILE && base <= TANGENTIAL) ||
           (base >= LONGITUDINAL && orvel_morph_directional(base - LONGITUDINAL));
}

/* Coefficient k + 1 of the engine for derivative k of (z_x, z_y, z_xx,
 * z_xy, z_yy); the layer codes' derivatives. */
static int deriv_of(int code)
{
    switch (code) {
    case DZDX: return 0;
    case DZDY: return 1;
    case D2ZDX2: return 2;
    case D2ZDXDY: return 3;
    case D2ZDY2: return 4;
    default: return -1;
    }
}

/* The standard errors of layer `code` (the smooth, a derivative, slope or
 * aspect) over a chunk of nc columns of h nodes from column x0 on: s the
 * fit's scratch (see block_fit()). Slope and aspect's by the delta method,
 * from the variances and the covariance of the two slopes: NaN where the
 * fitted plane is level, whose aspect is undefined and whose slope is not a
 * smooth function of the data. */
static void se_layer(const block_job *j, int code, const double *s, ptrdiff_t n, ptrdiff_t x0,
                     ptrdiff_t nc, ptrdiff_t h, double *o)
{
    int p = j->m->p;
    const double *v = s + (p + 1) * n, *ge = s + n, *gn = s + 2 * n;
    double sg = j->sigma;
    for (ptrdiff_t c = 0; c < nc; c++) {
        double f[5];
        orvel_geom_factors(&j->g, x0 + c, f);
        if (code == SLOPE || code == ASPECT) {
            for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) {
                double a = ge[i] * f[0], b = gn[i] * f[1], g2 = a * a + b * b;
                double va = v[n + i] * (f[0] * f[0]), vb = v[2 * n + i] * (f[1] * f[1]);
                double cab = v[p * n + i] * (f[0] * f[1]);
                double q = code == SLOPE ? a * a * va + 2 * a * b * cab + b * b * vb
                                         : b * b * va - 2 * a * b * cab + a * a * vb;
                /* (a slope in percent, 100 sqrt(g2), has 100 / sqrt(g2) as its scale) */
                int pct = code == SLOPE && j->opts.percent;
                double d = code == SLOPE ? (pct ? sqrt(g2) : sqrt(g2) * (1 + g2)) : g2;
                o[i] = g2 > 0 ? sg * (pct ? 100 : j->scale) * sqrt(q < 0 ? 0 : q) / d : NAN;
            }
            continue;
        }
        int k = code == SMOOTH ? -1 : deriv_of(code);
        double u = k < 0 ? 1 : fabs(f[k]);
        const double *vk = v + (k + 1) * n;
        for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) o[i] = sg * u * sqrt(vk[i]);
    }
}

/* The layers that need the derivatives of every node together: the
 * curvatures (codes PROFILE .. MINCURV), the hillshade, the measures of
 * morphometry.h (LONGITUDINAL .. DIRSLOPE) and their standard errors (SE +
 * those). d = (z_x, z_y, z_xx, z_xy, z_yy) (the last three zero for a
 * plane), and their covariance from the variance factors. */
static void surface_layer(const block_job *j, int code, const double *s, ptrdiff_t n,
                          ptrdiff_t x0, ptrdiff_t nc, ptrdiff_t h, double *o)
{
    int p = j->m->p, se = code > SE, base = se ? code - SE : code, which = base - PROFILE;
    int shade = base == HILLSHADE, morph = base >= LONGITUDINAL;
    const double *v = s + (p + 1) * n, *ge = s + n, *gn = s + 2 * n;
    const double *b3 = s + 3 * n, *b4 = s + 4 * n, *b5 = s + 5 * n;
    for (ptrdiff_t c = 0; c < nc; c++) {
        double a[5];
        orvel_geom_factors(&j->g, x0 + c, a);
        /* Level: a gradient below 1e-10 of the elevation per cell, which
         * is what rounding leaves of the slopes of level ground (about
         * 1e-15 of it). */
        double lv = 1e-10 / orvel_geom_cell(&j->g, x0 + c);
        if (!se && !shade && !morph) {
            ptrdiff_t i = c * h;
            orvel_curvature_column(which, ge + i, gn + i, b3 + i, b4 + i, b5 + i, s + i, a, lv, h,
                                   o + i);
            continue;
        }
        int q2 = p == 6;
        for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) {
            double d[5] = {ge[i] * a[0], gn[i] * a[1], q2 ? b3[i] * a[2] : 0,
                           q2 ? b4[i] * a[3] : 0, q2 ? b5[i] * a[4] : 0};
            double gmin = (s[i] * lv) * (s[i] * lv);
            if (!se && shade) {
                o[i] = orvel_hillshade(&j->opts, d[0], d[1]);
                continue;
            }
            if (!se) {
                o[i] = orvel_morph(base - LONGITUDINAL, d, gmin, &j->opts, j->scale);
                continue;
            }
            /* Coefficients 1 .. 5 in the engine's order are d's. */
            double C[25];
            for (int r = 0; r < 5; r++)
                for (int q = r; q < 5; q++) {
                    double vv = q + 1 >= p ? 0 : r == q ? v[(r + 1) * n + i]
                                       : v[ORVEL_LP_COV(p, r + 1, q + 1) * n + i];
                    C[r * 5 + q] = C[q * 5 + r] = vv * a[r] * a[q];
                }
            double e = shade ? orvel_hillshade_se(&j->opts, d[0], d[1], C[0], C[6], C[1], gmin)
                     : morph ? orvel_morph_se(base - LONGITUDINAL, d, gmin, &j->opts, j->scale, C)
                             : orvel_curvature_se(which, d, gmin, C);
            o[i] = j->sigma * e;
        }
    }
}

void layer_chunk(void *arg, ptrdiff_t k, double *s)
{
    block_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    if (!block_fit(j, k, s, &x0, &x1, &y0, &y1)) return;
    ptrdiff_t h = y1 - y0, n = (x1 - x0) * h, ny = j->m->ny;
    double *F = s, *ge = s + n, *gn = s + 2 * n;
    if (j->opts.rook)
        orvel_rook_centres(j->d.z, j->d.col0, j->d.ncol, ny, j->m->nx, x0, x1, y0, h, F, ge, gn);
    /* Elevations in other units than the map's: the fit is linear in them. */
    if (j->opts.zscale != 1)
        for (ptrdiff_t i = 0; i < j->m->p * n; i++) F[i] *= j->opts.zscale;
    double *at = j->out + (x0 - j->c.ix0) * j->th + (y0 - j->iy0);
    int ang[2], na = 0;
    double *ao[2];
    for (int l = 0; l < j->nl; l++) {
        double *o = at + l * j->mlen;
        /* Chunks are whole columns of the target rows (h == th) or part
         * of one column: either way the chunk's cells are contiguous in
         * each layer. */
        int code = j->what[l], kd = deriv_of(code);
        if (code == SMOOTH) {
            memcpy(o, F, n * sizeof(double));
        } else if (kd >= 0) {
            const double *b = s + (kd + 1) * n;
            for (ptrdiff_t c = 0; c < x1 - x0; c++) {
                double f[5];
                orvel_geom_factors(&j->g, x0 + c, f);
                for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) o[i] = b[i] * f[kd];
            }
        } else if (code == SLOPE && j->opts.percent) {
            for (ptrdiff_t c = 0; c < x1 - x0; c++) {
                double f[5];
                orvel_geom_factors(&j->g, x0 + c, f);
                for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) {
                    double a = ge[i] * f[0], b = gn[i] * f[1];
                    o[i] = 100 * sqrt(a * a + b * b);
                }
            }
        } else if (code == SLOPE || code == ASPECT) {
            if (na < 2) {
                ang[na] = code == SLOPE ? 1 : 2;
                ao[na++] = o;
            }
        } else {
            int base = code > SE ? code - SE : code;
            if (base >= PROFILE)
                surface_layer(j, code, s, n, x0, x1 - x0, h, o);
            else
                se_layer(j, base, s, n, x0, x1 - x0, h, o);
        }
    }
    if (na) orvel_angles_pass(ge, gn, x1 - x0, h, &j->g, x0, ang, na, j->scale, ao, 0);
    /* Ground flatter than the least slope has no aspect, slope line or
     * contour. */
    if (j->opts.flat2 > 0)
        for (int l = 0; l < j->nl; l++) {
            int base = j->what[l] > SE ? j->what[l] - SE : j->what[l];
            if (!layer_directional(base)) continue;
            double *o = at + l * j->mlen;
            for (ptrdiff_t c = 0; c < x1 - x0; c++) {
                double f[5];
                orvel_geom_factors(&j->g, x0 + c, f);
                for (ptrdiff_t i = c * h; i < (c + 1) * h; i++) {
                    double a = ge[i] * f[0], b = gn[i] * f[1];
                    if (a * a + b * b < j->opts.flat2) o[i] = NA_REAL;
                }
            }
        }
    if (j->policy) {
        /* omit: missing cells stay missing in every layer; only: the smooth
         * keeps the observations and fills the missing cells. */
        for (ptrdiff_t c = 0; c < x1 - x0; c++) {
            const double *z = j->d.z + (x0 + c - j->d.col0) * ny + y0;
            for (ptrdiff_t i = 0; i < h; i++) {
                int miss = !isfinite(z[i]);
                for (int l = 0; l < j->nl; l++) {
                    double *o = at + l * j->mlen + c * h + i;
                    if (j->policy == 1 && miss) *o = NA_REAL;
                    if (j->policy == 2 && !miss && j->what[l] == SMOOTH) *o = z[i];
                }
            }
        }
    }
}
