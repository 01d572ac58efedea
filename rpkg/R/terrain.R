# One (the first by default) or more of `choices`, partial matching allowed;
# the error names `arg`.
.orvel_choose <- function(x, choices, arg, several = FALSE) {
  if (!several && identical(x, choices)) return(choices[1L])   # the default
  ok <- is.character(x) && length(x) > 0L && !anyNA(x) && (several || length(x) == 1L)
  m <- if (ok) pmatch(x, choices, duplicates.ok = TRUE) else NA
  if (anyNA(m))
    .orvel_stop("`%s` must be %s of %s, not %s", arg, if (several) "one or more" else "one",
                paste0('"', choices, '"', collapse = ", "),
                if (ok) sprintf('"%s"', x[is.na(m)][1L]) else .orvel_what(x))
  unique(choices[m])
}

#' Terrain variables of an elevation raster: slope, aspect, curvatures, hillshade
#'
#' Fits a local polynomial at every cell of an elevation model with
#' [orvel_fit()] (a plane, or a quadratic for curvatures) and derives
#' terrain variables from it, under the conventions of
#' [terra::terrain()]: slope measured from the horizontal, aspect clockwise
#' from north, the direction in which the surface goes down (0 facing
#' north, 90 facing east).
#'
#' **Kernels.** With `kernel = "horn"` (the default) the slope and aspect
#' are those of Horn's method, `terra::terrain(neighbors = 8)`, and with
#' `"rook"` those of `terra::terrain(neighbors = 4)`, at every cell where
#' terra gives a value (to rounding, with `min_slope = 0` for the aspect). As
#' in terra, the rook's slope does not look at the centre cell: a missing
#' centre whose four neighbours are there gets their slope and aspect (with
#' no standard error). terra leaves the outer ring of cells
#' `NA`; there the polynomial is fitted to the neighbours the raster has, so
#' the edges and corners get values too. Any other type of [orvel_kernel()]
#' is taken with its default bandwidth, or pass a weight matrix of any odd
#' size, or an [orvel_select()] result: a wider, smoother kernel fits each
#' polynomial to more cells and gives less noisy variables, which matters
#' most for curvatures.
#'
#' **Curvatures** (`v` = `"profile_curvature"`, `"plan_curvature"`,
#' `"tangential_curvature"`, `"mean_curvature"`, `"gaussian_curvature"`,
#' `"max_curvature"`, `"min_curvature"`) come from the quadratic's
#' derivatives in map units, \eqn{p = z_x}{p = z_x}, \eqn{q = z_y}{q = z_y},
#' \eqn{r = z_{xx}}{r = z_xx}, \eqn{s = z_{xy}}{s = z_xy}, \eqn{t =
#' z_{yy}}{t = z_yy} (x east, y north; `v = "dzdx"`, `"dzdy"`, `"d2zdx2"`,
#' `"d2zdxdy"`, `"d2zdy2"` return them), with the definitions and the sign of
#' Minár, Evans and Jenčo (2020, "A comprehensive system of definitions of
#' land surface (topographic) curvatures", Earth-Science Reviews 211,
#' 103414): positive where the surface is convex (a dome, a ridge),
#' negative where it is concave (a bowl, a valley floor). With \eqn{g = p^2
#' + q^2}{g = p^2 + q^2}:
#' * profile (normal slope line) curvature \eqn{-(p^2 r + 2pqs + q^2 t) /
#'   (g (1 + g)^{3/2})}{-(p^2 r + 2 p q s + q^2 t) / (g (1 + g)^(3/2))};
#' * plan (projected contour) curvature \eqn{-(q^2 r - 2pqs + p^2 t) /
#'   g^{3/2}}{-(q^2 r - 2 p q s + p^2 t) / g^(3/2)};
#' * tangential (normal contour) curvature \eqn{-(q^2 r - 2pqs + p^2 t) /
#'   (g (1 + g)^{1/2})}{-(q^2 r - 2 p q s + p^2 t) / (g (1 + g)^(1/2))};
#' * mean curvature \eqn{-((1 + q^2) r - 2pqs + (1 + p^2) t) / (2 (1 +
#'   g)^{3/2})}{-((1 + q^2) r - 2 p q s + (1 + p^2) t) / (2 (1 + g)^(3/2))};
#' * Gaussian curvature \eqn{(rt - s^2) / (1 + g)^2}{(r t - s^2) / (1 +
#'   g)^2}, positive on a dome or a bowl, negative on a saddle;
#' * maximal and minimal curvature, the mean plus and minus
#'   \eqn{\sqrt{mean^2 - Gaussian}}{sqrt(mean^2 - Gaussian)}.
#'
#' Curvatures are per map unit (Gaussian curvature per map unit squared).
#' Profile, plan and tangential curvature follow a direction (the slope
#' line, the contour) that a level cell does not have: they are `NA` where
#' the gradient is below 1e-10 of the cell's elevation per cell size, which
#' is what the rounding of the fit leaves of the slopes of level ground.
#' Curvatures need `degree = 2`, the default when one is asked for. A
#' quadratic on a 3 x 3 window (`"horn"`, `"rook"`) has no fit on the outer
#' ring of cells, where only two rows or columns remain: a wider kernel
#' fills the edges.
#'
#' **Hillshade** (`v = "hillshade"`) is [terra::shade()] of the slope and
#' aspect with the same `angle` and `direction`: \eqn{\sin(angle)
#' \cos(slope) + \cos(angle) \sin(slope) \cos(direction - aspect)}{sin(angle)
#' cos(slope) + cos(angle) sin(slope) cos(direction - aspect)}, not
#' normalised, edges filled. Several azimuths in `direction` give the
#' multidirectional shade as `gdaldem hillshade -multidirectional` computes
#' it: each azimuth's shade clipped at 0, averaged with the weights
#' \eqn{\cos^2(aspect - direction)}{cos^2(aspect - direction)} (so that
#' suns along the slope line count most), `sin(angle)` on level ground;
#' `direction = c(225, 270, 315, 360)` is gdaldem's, whose bytes are `1 + 254`
#' times this shade. With `se = TRUE` a `hillshade_se` layer follows, by the
#' delta method from the slopes' covariance (`NA` on level ground under
#' several suns, where the shade has no gradient).
#'
#' **Wood's morphometry** (Wood 1996, as GRASS `r.param.scale` offers it;
#' from a quadratic, any kernel): `"longitudinal_curvature"`, \eqn{-(p^2 r +
#' 2pqs + q^2 t) / g}{-(p^2 r + 2 p q s + q^2 t) / g}, the second derivative
#' of the surface along the slope line, which is the profile curvature
#' above times \eqn{(1 + g)^{3/2}}{(1 + g)^(3/2)}; `"cross_sectional_curvature"`,
#' \eqn{-(q^2 r - 2pqs + p^2 t) / g}{-(q^2 r - 2 p q s + p^2 t) / g}, the
#' second derivative along the contour, the plan curvature times
#' \eqn{\sqrt g}{sqrt(g)} (the tangential curvature times \eqn{\sqrt{1 +
#' g}}{sqrt(1 + g)}); both with Minár's sign (positive where convex), equal to
#' `r.param.scale`'s `longc` and `crosc` with `kernel = orvel_kernel("uniform",
#' 5, size = 7)` for its `size=7` (its `planc` is minus `plan_curvature`).
#' `"features"` are Wood's landform classes with `r.param.scale`'s codes: 1
#' planar, 2 pit, 3 channel, 4 pass, 5 ridge, 6 peak. Where the slope is above
#' `slope_tolerance` (degrees) a cell is a ridge where the cross-sectional
#' curvature is above `curvature_tolerance`, a channel where it is below minus
#' that, else planar; on flatter ground the classes come from the
#' eigenvalues of minus the Hessian, \eqn{-(r + t)/2 \pm \sqrt{((r - t)/2)^2 +
#' s^2}}{-(r + t) / 2 +- sqrt(((r - t) / 2)^2 + s^2)} (`r.param.scale`'s
#' `maxic` and `minic`, which are the maximal and minimal curvatures above
#' only on level ground): a peak where both are above the tolerance, a pit
#' where both are below minus it, a pass where they lie on either side, a
#' ridge or a channel where only the larger or only the smaller passes it.
#'
#' **More surface measures** (as MultiscaleDTM's): `"twisting_curvature"`,
#' the geodesic torsion of the contour, \eqn{(pq(r - t) - (p^2 - q^2)s) / (g
#' (1 + g))}{(p q (r - t) - (p^2 - q^2) s) / (g (1 + g))} (`Qfit`'s `twistc`;
#' zero on a sphere and along lines of curvature); `"eastness"` and
#' `"northness"`, the sine and cosine of the aspect; `"directional_slope"`,
#' the slope along the azimuth `slope_direction` (degrees clockwise from
#' north), \eqn{\arctan(p \sin a + q \cos a)}{atan(p sin(a) + q cos(a))},
#' positive where the ground rises that way (from a plane or a quadratic).
#'
#' **Units and elevations.** `unit = "percent"` gives slopes (and the
#' directional slope) as 100 times the tangent, as `gdaldem slope -p` and
#' GRASS `format=percent` do; the aspect is then in degrees. `zscale` is the
#' number of elevation units in one map unit (`gdaldem`'s `-s`; GRASS's
#' `zscale` multiplies the elevations instead, so GRASS `zscale = f` is
#' `zscale = 1 / f` here): elevations are divided by it before anything is
#' computed, standard errors included.
#'
#' **Neighbourhood measures** (`v` = `"TPI"`, `"TRI"`, `"roughness"`,
#' `"flowdir"`) are those of [terra::terrain()] (Wilson et al. 2007, as in
#' gdaldem), from the elevations of each cell's 3 x 3 neighbourhood with no
#' fit, so `kernel` and `degree` do not change them and they have no
#' standard error: TPI, the cell's elevation minus the mean of its
#' neighbours'; TRI, the mean absolute difference between the cell's
#' elevation and its neighbours'; roughness, the largest minus the smallest
#' elevation of the nine cells; flowdir, the direction of the steepest drop
#' (the elevation difference over the distance between the cells' centres),
#' or of the smallest rise where every neighbour is higher, coded 1 east, 2
#' south-east, 4 south, 8 south-west, 16 west, 32 north-west, 64 north,
#' 128 north-east. They equal terra's wherever terra gives a value, except
#' that where two directions drop equally terra picks one at random and
#' orvel the lower code. terra leaves the outer ring `NA`; orvel takes the
#' neighbours the raster has there (five at an edge, three at a corner).
#' TPI, TRI and roughness are in elevation units. With `na.rm = FALSE` a
#' cell is `NA` wherever a cell of its 3 x 3 window is missing: exactly
#' where terra's TPI and TRI are `NA`. terra's roughness and flowdir give
#' values next to a void, from the cells that are there (but a missing
#' north-west neighbour makes its roughness `NA`, and a missing eastern one
#' makes its flowdir point east, into the void); orvel's equal them, but
#' for those flow directions, with `na.rm = TRUE`, which leaves missing
#' neighbours out (a missing cell then
#' has a roughness, the range of its neighbours, but no TPI, TRI or
#' flowdir).
#' On longitude/latitude the distances of flowdir are in metres, as terra
#' takes them: the north-south size of a cell at the equator and the
#' east-west size of a cell in the middle row, for every row. They are not
#' computed in `tiles`.
#'
#' **Units and orientation.** Elevations and cell sizes are taken in the
#' raster's units: a projected raster in metres with elevations in metres
#' gives slopes in metres per metre before they are turned into angles.
#' Cells need not be square, and a raster whose columns run west (a
#' negative x resolution) or whose rows run north gives the same variables
#' as the same terrain stored the usual way. On a longitude/latitude raster
#' the cell sizes are taken in metres as `terra::terrain()` takes them, row
#' by row: east-west, half the geodesic distance between the points one
#' cell west and one cell east of the row's centre; north-south, the
#' length of one cell of latitude at the equator; so slopes are per metre
#' and curvatures per metre too (elevations in metres). A raster without a
#' coordinate reference system is taken to be in the units of its extent.
#'
#' **Missing elevations** make `NA` every cell where the kernel gives them
#' weight, as in [orvel_fit()] with `na.rm = FALSE` (with `"horn"` and
#' `"rook"` a void takes with it exactly the cells that terra loses next to
#' it); with `na.rm = TRUE` they are left out of the windows.
#'
#' **Flat cells.** On nearly level ground the aspect, and every curvature
#' that follows the slope line or the contour, is dominated by noise and
#' grows without bound (the plan curvature, for instance, is divided by the
#' slope). Where the slope is below `min_slope` degrees (0.1 by default,
#' which is 1.7 mm per metre) the aspect, eastness and northness, the
#' profile, plan, tangential, longitudinal, cross-sectional and twisting
#' curvatures and their standard errors are `NA`; slope, hillshade, the
#' directional slope and the other curvatures are kept. With `min_slope = 0`
#' only exactly level planes are left out of those curvatures; there the
#' slope is 0 and the aspect 90 degrees, as terra gives them for a flat
#' cell. Aspects lie in \[0, 360) degrees (\[0, 2 pi) radians).
#'
#' **Standard errors.** With `se = TRUE` the noise's standard deviation
#' is estimated from the residuals of the fit (see [orvel_inference]), and
#' a layer `<name>_se` follows each layer asked for but the landform classes. Those of slope, aspect and the curvatures follow
#' from the covariance of the fitted derivatives by the delta method: for
#' slope and aspect, with \eqn{V_p}{Vp}, \eqn{V_q}{Vq} and \eqn{C}{C} the
#' variances and covariance of \eqn{p}{p} and \eqn{q}{q},
#' \eqn{\mathrm{se}(\mathrm{slope})^2 = (p^2 V_p + 2pq C + q^2 V_q) / (g (1
#' + g)^2)}{se(slope)^2 = (p^2 Vp + 2 p q C + q^2 Vq) / (g (1 + g)^2)} and
#' \eqn{\mathrm{se}(\mathrm{aspect})^2 = (q^2 V_p - 2pq C + p^2 V_q) /
#' g^2}{se(aspect)^2 = (q^2 Vp - 2 p q C + p^2 Vq) / g^2}; for a curvature,
#' the gradient with respect to \eqn{(p, q, r, s, t)}{(p, q, r, s, t)}
#' (exact to rounding, by a complex step) against their covariance. That
#' linearisation holds where the variable changes little over the
#' estimate's own uncertainty. It fails where the gradient is small against
#' its standard error: the aspect, and the profile, plan and tangential
#' curvatures, are undefined on level ground and their standard errors grow
#' without bound (`NaN` where the gradient is exactly zero), and the slope's
#' is understated there; the maximal and minimal curvatures fail where the
#' two are equal (an umbilic, such as the top of a round dome). They assume
#' independent noise of one variance (see [orvel_inference]): elevation
#' errors are usually correlated between neighbouring cells, and then they
#' are too small.
#'
#' **Output.** The raster is processed in blocks of rows of at most
#' `getOption("orvel.block_cells", 2^20)` cells, each read with the
#' window's half-height of overlap and fitted with the
#' whole raster's geometry, so that every cell gets the same bits whatever
#' the block size. As in terra's functions, `filename` writes the result to
#' a file (an existing one only with `overwrite = TRUE`) with the options of
#' `wopt` (see [terra::writeRaster()]; 64-bit floats unless `wopt` says
#' otherwise); without one, a result that terra says does not fit in memory
#' goes to a temporary file (see [terra::terraOptions()]). How results are
#' written safely (never over the input, complete or not at all, one call
#' at a time) is told in [orvel_rasters] under Files.
#'
#' @param x an elevation model: a SpatRaster, a stars object with one
#'   attribute on a 2-D grid (the result is then a stars object on the same
#'   grid), a RasterLayer, or a RasterStack or RasterBrick (see
#'   [orvel_rasters]); every layer of several is fitted on its own.
#' @param v what to compute, one or more of `"slope"`, `"aspect"`,
#'   `"hillshade"`, the curvatures above, `"dzdx"`, `"dzdy"`, `"d2zdx2"`,
#'   `"d2zdxdy"`, `"d2zdy2"`, `"longitudinal_curvature"`,
#'   `"cross_sectional_curvature"`, `"features"`, `"twisting_curvature"`,
#'   `"eastness"`, `"northness"`, `"directional_slope"`, `"TPI"`, `"TRI"`,
#'   `"roughness"` and `"flowdir"`; the layers come in the order asked.
#' @param kernel a kernel type of [orvel_kernel()] (with its default
#'   bandwidth), a weight matrix of any odd size from 3 x 3 to 101 x 101,
#'   `kernel[dy + h1 + 1, dx + h2 + 1]` the weight of the cell `dy` rows
#'   south and `dx` columns east, or an [orvel_select()] result.
#' @param degree 1 (a plane) or 2 (a quadratic); `NULL` for 2 when a
#'   curvature or a second derivative is asked for, else 1 (or an
#'   [orvel_select()] result's degree).
#' @param unit `"degrees"`, `"radians"` or `"percent"` (slopes as 100 tan,
#'   aspects in degrees), for slope, aspect and the directional slope.
#' @param na.rm whether missing elevations are left out of the windows.
#' @param se also the standard errors (see Standard errors).
#' @param filename,overwrite,wopt as in terra: a file to write the result
#'   to, whether an existing one may be replaced, and a list of options
#'   for writing (`datatype`, `gdal`, ...).
#' @param angle,direction the sun's altitude above the horizon and its
#'   azimuth clockwise from north, in degrees, for the hillshade, as in
#'   [terra::shade()]; up to 16 azimuths in `direction` for the
#'   multidirectional shade (see Hillshade).
#' @param zscale elevation units per map unit: elevations are divided by it
#'   first (see Units and elevations).
#' @param min_slope the least slope, in degrees from 0 up to 90, at which an
#'   aspect and the direction-dependent curvatures are given (see Flat cells).
#' @param slope_tolerance,curvature_tolerance the tolerances of the landform
#'   classes, in degrees and per map unit (see Wood's morphometry).
#' @param slope_direction the azimuth of the directional slope, in degrees
#'   clockwise from north.
#' @param tiles `NULL` or the size of a tile in cells, `c(rows, cols)`, to
#'   fit the raster in tiles on the workers of the current `future::plan()`,
#'   written to `filename`: see [orvel_tiles].
#' @param ... not used; an error if given.
#' @param threads the number of threads to fit on (see [orvel_threads()]).
#' @return A SpatRaster on the grid of `x` (extent, resolution and
#'   coordinate reference system kept) with the layers named in `v`, each
#'   followed by its `_se` layer when `se = TRUE`.
#' @seealso [orvel_fit()], whose SpatRaster result holds the smooth and the
#'   derivatives per map unit.
#' @export
#' @examples
#' if (requireNamespace("terra", quietly = TRUE)) {
#'   # volcano as a 10 m elevation model: rows north to south
#'   dem <- terra::rast(volcano, extent = terra::ext(0, 610, 0, 870), crs = "local")
#'   st <- orvel_terrain(dem)
#'   print(st)
#'   # the same as terra inside the raster; orvel also fills the edges
#'   tt <- terra::terrain(dem, v = c("slope", "aspect"))
#'   print(range(terra::values(st$slope - tt$slope), na.rm = TRUE))
#'   # curvatures from a quadratic on a 7 x 7 Gaussian window
#'   cv <- orvel_terrain(dem, c("profile_curvature", "plan_curvature"), kernel = "gaussian")
#'   terra::plot(cv)
#'   terra::plot(orvel_terrain(dem, "hillshade", angle = 40, direction = 315),
#'               col = grey(0:100 / 100), legend = FALSE)
#'   # gdaldem's multidirectional shade; Wood's landform classes (1 to 6)
#'   md <- orvel_terrain(dem, "hillshade", direction = c(225, 270, 315, 360))
#'   wf <- orvel_terrain(dem, "features", kernel = orvel_kernel("uniform", 5, size = 7))
#'   print(table(terra::values(wf)))
#' }
orvel_terrain <- function(x, v = c("slope", "aspect"), kernel = "horn", degree = NULL,
                          unit = "degrees", na.rm = FALSE, se = FALSE, filename = "",
                          overwrite = FALSE, wopt = list(), angle = 45, direction = 0, ...,
                          threads = getOption("orvel.threads", orvel_threads())) {
  UseMethod("orvel_terrain")
}

#' @rdname orvel_terrain
#' @export
orvel_terrain.default <- function(x, ...) {
  if (inherits(x, "RasterStackBrick"))
    .orvel_stop_raster_layers(x, "x", "a SpatRaster, a stars object or a RasterLayer")
  .orvel_stop("`x` must be a SpatRaster, a stars object or a RasterLayer, not %s", .orvel_what(x))
}

# What orvel_terrain() computes, in the order of its layers.
.orvel_terrain_vars <- c("slope", "aspect", "hillshade", "profile_curvature", "plan_curvature",
                         "tangential_curvature", "mean_curvature", "gaussian_curvature",
                         "max_curvature", "min_curvature", "dzdx", "dzdy", "d2zdx2", "d2zdxdy",
                         "d2zdy2", "longitudinal_curvature", "cross_sectional_curvature",
                         "features", "twisting_curvature", "eastness", "northness",
                         "directional_slope", "TPI", "TRI", "roughness", "flowdir")
.orvel_second_order <- c("profile_curvature", "plan_curvature", "tangential_curvature",
                         "mean_curvature", "gaussian_curvature", "max_curvature", "min_curvature",
                         "d2zdx2", "d2zdxdy", "d2zdy2", "longitudinal_curvature",
                         "cross_sectional_curvature", "features", "twisting_curvature")

#' @rdname orvel_terrain
#' @export
orvel_terrain.SpatRaster <- function(x, v = c("slope", "aspect"), kernel = "horn", degree = NULL,
                                     unit = "degrees", na.rm = FALSE, se = FALSE, filename = "",
                                     overwrite = FALSE, wopt = list(), angle = 45, direction = 0,
                                     tiles = NULL, zscale = 1, min_slope = 0.1,
                                     slope_tolerance = 1, curvature_tolerance = 1e-4,
                                     slope_direction = 0, ...,
                                     threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  if (.orvel_many_layers(x)) {   # each layer on its own (layers.R)
    th <- .orvel_threads_given(threads, !missing(threads))
    return(.orvel_each_layer(x, function(r) orvel_terrain.SpatRaster(r, v, kernel, degree, unit, na.rm, se,
      angle = angle, direction = direction, zscale = zscale, min_slope = min_slope,
      slope_tolerance = slope_tolerance, curvature_tolerance = curvature_tolerance,
      slope_direction = slope_direction, threads = th), filename, overwrite, wopt, tiles, "x"))
  }
  x <- .orvel_check_raster(x, "x")
  v <- .orvel_choose(v, .orvel_terrain_vars, "v", several = TRUE)
  second <- intersect(v, .orvel_second_order)
  if (is.character(kernel) && !is.matrix(kernel)) {
    if (length(kernel) != 1L)
      .orvel_stop("`kernel` must be one kernel type, a weight matrix or an orvel_select() result, not %d types",
                  length(kernel))
    rook <- identical(.orvel_type(kernel, "kernel", c(.orvel_types, .orvel_fixed_types)), "rook")
    kernel <- orvel_kernel(kernel)
  } else rook <- FALSE
  if (is.null(degree) && !inherits(kernel, "orvel_select")) degree <- if (length(second)) 2L else 1L
  model <- .orvel_model(kernel, degree, na.rm)
  if (model$degree == 1L && length(second))
    .orvel_stop("`degree` must be 2 for %s: a plane has no curvature, not 1",
                paste0('"', second, '"', collapse = ", "))
  unit <- .orvel_choose(unit, c("degrees", "radians", "percent"), "unit")
  se <- .orvel_check_flag(se, "se")
  for (a in list(list(angle, "angle"), list(slope_direction, "slope_direction")))
    if (!is.numeric(a[[1L]]) || length(a[[1L]]) != 1L || !is.finite(a[[1L]]))
      .orvel_stop("`%s` must be one finite number of degrees, not %s", a[[2L]], .orvel_given(a[[1L]]))
  if (!is.numeric(direction) || !length(direction) || length(direction) > 16L ||
      !all(is.finite(direction)))
    .orvel_stop("`direction` must be 1 to 16 finite azimuths in degrees, not %s", .orvel_given(direction))
  if (!is.numeric(zscale) || length(zscale) != 1L || !is.finite(zscale) || zscale == 0)
    .orvel_stop("`zscale` must be one finite non-zero number, not %s", .orvel_given(zscale))
  if (!is.numeric(min_slope) || length(min_slope) != 1L || !is.finite(min_slope) ||
      min_slope < 0 || min_slope >= 90)
    .orvel_stop("`min_slope` must be one number of degrees in [0, 90), not %s", .orvel_given(min_slope))
  for (a in list(list(slope_tolerance, "slope_tolerance"),
                 list(curvature_tolerance, "curvature_tolerance")))
    if (!is.numeric(a[[1L]]) || length(a[[1L]]) != 1L || !is.finite(a[[1L]]) || a[[1L]] < 0)
      .orvel_stop("`%s` must be one number, zero or more, not %s", a[[2L]], .orvel_given(a[[1L]]))
  if (!is.null(tiles) && any(v %in% .orvel_neighbour_vars))
    .orvel_stop("%s are not computed in tiles: leave out `tiles` for them (they read only the 3 x 3 neighbourhood, block by block)",
                paste0('"', intersect(v, .orvel_neighbour_vars), '"', collapse = ", "))
  # (no standard error for the landform classes and the neighbourhood measures)
  has_se <- setdiff(v, c("features", .orvel_neighbour_vars))
  layers <- c(v, if (se && length(has_se)) paste0(has_se, "_se"))
  # Each variable followed by its standard error.
  layers <- layers[order(match(sub("_se$", "", layers), v), endsWith(layers, "_se"))]
  # (the rook's case difference does not look at the centre: a missing
  # centre with its four neighbours there keeps its slope, as in terra)
  opts <- c(angle, 1 / zscale, min_slope, unit == "percent", slope_tolerance, curvature_tolerance,
            slope_direction, rook && !model$narm && model$degree == 1L, direction)
  .orvel_raster_layers(x, model, FALSE, layers, threads,
                       scale = if (unit == "radians") 1 else 180 / pi,
                       shade = as.double(opts), filename = filename, overwrite = overwrite,
                       wopt = wopt, tiles = tiles, wthreads = .orvel_worker_threads(threads, missing(threads)))
}
