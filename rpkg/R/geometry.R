# Where a grid lies on the map, decided once: each axis's step in map units
# and its sign, the rows a window reaches, and the layers' codes. The
# compiled code takes the geometry as it is given here (src/geometry.h)
# and derives every layer and standard error from it.

# The geometry of x as the fitting engine sees it: a SpatRaster's cells
# come row by row, so the engine's fast index runs along a raster row and
# its slow index down the rows. list(dx, dy, sx, sy, lonlat): dx the step
# along a raster row (one number, or one per raster row on a
# longitude/latitude raster), dy down the rows, both positive map units;
# sx -1 where a row runs west (a negative x resolution), sy -1 where the
# rows run north, else 1. On longitude/latitude they are metres as
# terra::terrain() takes them: east-west, half the geodesic distance
# between the points one cell west and one cell east at the row's
# latitude; north-south, the length of one cell along the meridian at the
# equator. A stars object is fitted as the SpatRaster of its cells
# (.orvel_stars_to_rast()), laid out west to east and north to south.
.orvel_geometry <- function(x) {
  lonlat <- isTRUE(terra::is.lonlat(x, perhaps = FALSE, warn = FALSE))
  xr <- terra::xres(x)
  yr <- terra::yres(x)
  g <- list(dx = abs(xr), dy = abs(yr), sx = if (xr < 0) -1 else 1, sy = if (yr < 0) -1 else 1,
            lonlat = lonlat)
  if (!lonlat) return(g)
  lat <- terra::yFromRow(x, seq_len(terra::nrow(x)))
  g$dx <- as.double(terra::distance(cbind(-g$dx, lat), cbind(g$dx, lat), lonlat = TRUE,
                                    pairwise = TRUE) / 2)
  g$dy <- as.double(terra::distance(cbind(0, 0), cbind(0, g$dy), lonlat = TRUE))
  g
}

# The cells beyond its own that a block or tile is read with, c(rows,
# columns) of the raster: the window's half-height and half-width, and the
# exact engine's three where it fits the model.
.orvel_halo <- function(model) {
  h <- (dim(model$K) - 1L) %/% 2L
  if (isTRUE(model$exact)) pmax(3L, h) else h
}

# Layer codes of the compiled pass (src/block.h); a standard error's is its
# layer's plus 64.
.orvel_layer_codes <- c(smooth = 1L, dzdx = 2L, dzdy = 3L, slope = 4L, aspect = 5L,
                        d2zdx2 = 6L, d2zdxdy = 7L, d2zdy2 = 8L, profile_curvature = 9L,
                        plan_curvature = 10L, tangential_curvature = 11L, mean_curvature = 12L,
                        gaussian_curvature = 13L, max_curvature = 14L, min_curvature = 15L,
                        hillshade = 16L, longitudinal_curvature = 17L,
                        cross_sectional_curvature = 18L, features = 19L,
                        twisting_curvature = 20L, eastness = 21L, northness = 22L,
                        directional_slope = 23L)

# The codes of the named `layers` ("_se" after a name for its standard
# error), or 0 for the statistics (layers NULL).
.orvel_layer_what <- function(layers) {
  if (is.null(layers)) return(0L)
  se <- endsWith(layers, "_se")
  unname(.orvel_layer_codes[sub("_se$", "", layers)] + 64L * se)
}
