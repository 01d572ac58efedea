/* What orvel_terrain() asks of the layers it derives from the fits, beyond
 * the fits themselves (terrain_options.c): the sun of the hillshade, the
 * elevations' scale, the unit of slopes, the slope below which directions
 * are not defined, the tolerances of the landform classes and the
 * direction of the directional slope. */
#ifndef ORVEL_TERRAIN_OPTIONS_H
#define ORVEL_TERRAIN_OPTIONS_H

#include <stddef.h>
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Visibility.h>

/* The most sun azimuths a multidirectional hillshade combines. */
#define ORVEL_MAX_SUNS 16

typedef struct orvel_terrain_opts {
    double sun_sin, sun_cos;      /* the sun's altitude above the horizon */
    int nsun;                     /* azimuths, 1 .. ORVEL_MAX_SUNS */
    double az_sin[ORVEL_MAX_SUNS], az_cos[ORVEL_MAX_SUNS];
    double zscale;                /* the fit's values times it: map units per elevation unit */
    double flat2;                 /* tan^2(min_slope): below, direction-dependent layers are NA */
    int percent;                  /* slopes as 100 tan(slope) rather than angles */
    double slope_tol;             /* the landform classes' slope tolerance, in degrees */
    double curv_tol;              /* and their curvature tolerance, per map unit */
    double along_sin, along_cos;  /* the direction of the directional slope */
    int rook;                     /* a missing centre gets the slopes of its four neighbours */
} orvel_terrain_opts;

/* Reads `v`, a double vector: c(altitude, azimuth), the sun in degrees with
 * every other option at its neutral value (zscale 1, no flat threshold,
 * angles, tolerances 1 degree and 1e-4, direction 0, no rook); or
 * c(altitude, zscale, min_slope, percent, slope_tolerance,
 * curvature_tolerance, direction, rook, azimuth, ...), angles in degrees,
 * one to ORVEL_MAX_SUNS azimuths. Every
 * value must be finite, zscale non-zero, min_slope in [0, 90), the
 * tolerances not negative; an error names what is wrong. O(length). */
attribute_hidden void orvel_terrain_opts_read(SEXP v, orvel_terrain_opts *o);

/* The rook's slopes at the cells of a chunk whose own value is missing:
 * z the grid's columns col0 .. col0 + ncol - 1 of ny values (a column is a
 * raster row), the chunk's columns x0 .. x1 - 1 and rows y0 .. y0 + h - 1 of
 * a grid of ny x nx; where a cell's value is not finite and its four rook
 * neighbours are, ge and gn (h a column) get the central differences along
 * the grid's rows and columns times ny and nx, as the fitted plane's gFx
 * and gFy are, and F their mean. O(cells). */
attribute_hidden void orvel_rook_centres(const double *z, ptrdiff_t col0, ptrdiff_t ncol,
                                         ptrdiff_t ny, ptrdiff_t nx, ptrdiff_t x0,
                                         ptrdiff_t x1, ptrdiff_t y0, ptrdiff_t h, double *F,
                                         double *ge, double *gn);

#endif
