/* The options of orvel_terrain()'s derived layers (see terrain_options.h). */
#include "fpcontract.h"
#include <math.h>

#include "args.h"
#include "terrain_options.h"

void orvel_terrain_opts_read(SEXP v, orvel_terrain_opts *o)
{
    const double *x = orvel_arg_reals(v, "shade", -1);
    R_xlen_t n = XLENGTH(v);
    if (n != 2 && (n < 9 || n > 8 + ORVEL_MAX_SUNS))
        error("orvel: `shade` must hold the sun's altitude and azimuth, or the terrain options and 1 to %d azimuths",
              ORVEL_MAX_SUNS);
    for (R_xlen_t i = 0; i < n; i++)
        if (!isfinite(x[i])) error("orvel: `shade` must hold finite numbers");
    const double rad = M_PI / 180;
    int full = n > 2;
    double zs = full ? x[1] : 1, flat = full ? x[2] : 0;
    if (zs == 0) error("orvel: the elevations' scale must not be zero");
    if (flat < 0 || flat >= 90) error("orvel: the least slope must lie in [0, 90) degrees");
    if (full && (x[4] < 0 || x[5] < 0)) error("orvel: the tolerances must not be negative");
    o->sun_sin = sin(x[0] * rad);
    o->sun_cos = cos(x[0] * rad);
    o->nsun = full ? (int) (n - 8) : 1;
    for (int k = 0; k < o->nsun; k++) {
        double az = full ? x[8 + k] : x[1];
        o->az_sin[k] = sin(az * rad);
        o->az_cos[k] = cos(az * rad);
    }
    o->zscale = zs;
    double t = tan(flat * rad);
    o->flat2 = t * t;
    o->percent = full && x[3] != 0;
    o->slope_tol = full ? x[4] : 1;
    o->curv_tol = full ? x[5] : 1e-4;
    o->along_sin = sin((full ? x[6] : 0) * rad);
    o->along_cos = cos((full ? x[6] : 0) * rad);
    o->rook = full && x[7] != 0;
}

void orvel_rook_centres(const double *z, ptrdiff_t col0, ptrdiff_t ncol, ptrdiff_t ny,
                        ptrdiff_t nx, ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t y0, ptrdiff_t h,
                        double *F, double *ge, double *gn)
{
    for (ptrdiff_t ix = x0; ix < x1; ix++) {
        if (ix < 1 || ix + 1 >= nx || ix - 1 < col0 || ix + 1 >= col0 + ncol) continue;
        const double *c = z + (ix - col0) * ny;
        for (ptrdiff_t iy = y0 > 1 ? y0 : 1; iy < y0 + h && iy + 1 < ny; iy++) {
            /* the neighbours along the grid's column, and in the columns
             * before and after */
            double u = c[iy - 1], d = c[iy + 1], b = c[iy - ny], a = c[iy + ny];
            if (isfinite(c[iy]) || !isfinite(u) || !isfinite(d) || !isfinite(b) || !isfinite(a))
                continue;
            ptrdiff_t k = (ix - x0) * h + (iy - y0);
            ge[k] = (d - u) / 2 * (double) ny;
            gn[k] = (a - b) / 2 * (double) nx;
            F[k] = (u + d + b + a) / 4;
        }
    }
}
