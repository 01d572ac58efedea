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
    double zscale;                /* elevation units per map unit: the fit's values times it */
    double flat2;                 /* tan^2(min_slope): below, direction-dependent layers are NA */
    int percent;                  /* slopes as 100 tan(slope) rather than angles */
    double slope_tol;             /* the landform classes' slope tolerance, in degrees */
    double curv_tol;              /* and their curvature tolerance, per map unit */
    double along_sin, along_cos;  /* the direction of the directional slope */
} orvel_terrain_opts;

/* Reads `v`, a double vector: c(altitude, azimuth), the sun in degrees with
 * every other option at its neutral value (zscale 1, no flat threshold,
 * angles, tolerances 1 degree and 1e-4, direction 0); or c(altitude, zscale,
 * min_slope, percent, slope_tolerance, curvature_tolerance, direction,
 * azimuth, ...), angles in degrees, one to ORVEL_MAX_SUNS azimuths. Every
 * value must be finite, zscale non-zero, min_slope in [0, 90), the
 * tolerances not negative; an error names what is wrong. O(length). */
attribute_hidden void orvel_terrain_opts_read(SEXP v, orvel_terrain_opts *o);

#endif
