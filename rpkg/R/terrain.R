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

#' Slope and aspect of an elevation raster
#'
#' Fits a local plane at every cell of an elevation model with [orvel_fit()]
#' and returns its steepness and the direction it faces, under the
#' conventions of [terra::terrain()]: slope measured from the horizontal,
#' aspect clockwise from north, the direction in which the surface goes
#' down (0 facing north, 90 facing east).
#'
#' With `orvel_kernel("horn")` the slope and aspect are those of Horn's
#' method, `terra::terrain(neighbors = 8)`, and with `orvel_kernel("rook")`
#' those of `terra::terrain(neighbors = 4)`, at every cell where terra gives
#' a value (to rounding). terra leaves the outer ring of cells `NA`; there
#' the plane is fitted to the neighbours the raster has, so the edges and
#' corners get values too. A smoother kernel (see [orvel_select()] to
#' choose one by cross-validation) fits each plane to more cells and gives
#' a less noisy slope.
#'
#' Elevations and cell sizes are taken in the raster's units: a projected
#' raster in metres with elevations in metres gives slopes in metres per
#' metre before they are turned into angles. Cells need not be square. On a
#' longitude/latitude raster the cell sizes are taken in metres as
#' `terra::terrain()` takes them: east-west, half the geodesic distance
#' between the points one cell west and one cell east of the row's centre;
#' north-south, the length of one cell of latitude at the equator. A raster
#' without a coordinate reference system is taken to be in the units of its
#' extent.
#'
#' A missing elevation makes `NA` every cell where the kernel gives it
#' weight, as in [orvel_fit()] with `na.rm = FALSE`: with the 3 x 3 kernels
#' `"horn"` and `"rook"` a void takes with it exactly the cells that terra
#' loses next to it.
#'
#' Where both slopes of the fitted plane are exactly zero the slope is 0 and
#' the aspect 90 degrees, as terra gives them for a flat cell. Rounding lets
#' that happen only where the elevations are all zero: over other flat
#' ground the fitted slopes are of the order of 1e-15 of the elevation per
#' cell, and the aspect is whatever direction they point in. Aspects lie in
#' \[0, 360) degrees (\[0, 2 pi) radians), except that a slope facing a
#' hair west of due north may come out as 360.
#'
#' **Standard errors.** With `se = TRUE` the noise's standard deviation
#' is estimated from the residuals of the fit (see [orvel_inference]), and
#' the standard errors of slope and aspect follow from those of the two
#' fitted slopes \eqn{p}{p} (east) and \eqn{q}{q} (north) and their
#' covariance by the delta method: \eqn{\mathrm{se}(\mathrm{slope})^2 =
#' (p^2 V_p + 2pq C + q^2 V_q) / (g^2 (1 + g^2)^2)}{se(slope)^2 = (p^2 Vp
#' + 2 p q C + q^2 Vq) / (g^2 (1 + g^2)^2)} and
#' \eqn{\mathrm{se}(\mathrm{aspect})^2 = (q^2 V_p - 2pq C + p^2 V_q) /
#' g^4}{se(aspect)^2 = (q^2 Vp - 2 p q C + p^2 Vq) / g^4}, \eqn{g^2 = p^2
#' + q^2}{g^2 = p^2 + q^2}. That linearisation holds where the gradient is
#' large against its own standard error; it breaks down on flat ground,
#' where the aspect is undefined and its standard error grows without
#' bound (and is `NaN` where the gradient is exactly zero), and the slope's
#' is understated. They assume independent noise of one variance (see
#' [orvel_inference]): elevation errors are usually correlated between
#' neighbouring cells, and then they are too small.
#'
#' The raster is processed in blocks of rows of at most
#' `getOption("orvel.block_cells", 2^17)` cells, each read with the window's
#' half-height of overlap (at least three rows) and fitted with the whole raster's geometry, so that every cell
#' gets the same bits whatever the block size; where terra says the result
#' does not fit in memory, it is written to a temporary file (see
#' [terra::terraOptions()]).
#'
#' @param x an elevation model: a SpatRaster of one layer, a stars object
#'   with one attribute on a 2-D grid (the result is then a stars object on
#'   the same grid) or a RasterLayer (see [orvel_rasters]).
#' @param kernel a kernel of any odd size from 3 x 3 to 101 x 101 (see
#'   [orvel_kernel()]),
#'   `kernel[dy + h1 + 1, dx + h2 + 1]` the weight of the cell `dy` rows
#'   south and `dx` columns east for a kernel of \eqn{2h_1 + 1}{2 h1 + 1}
#'   rows and \eqn{2h_2 + 1}{2 h2 + 1} columns; or an [orvel_select()]
#'   result.
#' @param v what to compute: `"slope"`, `"aspect"` or both.
#' @param unit `"degrees"` or `"radians"`.
#' @param se also the standard errors of the slope and the aspect, as
#'   layers `slope_se` and `aspect_se` in the same unit (see Standard
#'   errors).
#' @param ... not used; an error if given.
#' @param threads the number of threads to fit on (see [orvel_threads()]).
#' @return A SpatRaster on the grid of `x` (extent, resolution and
#'   coordinate reference system kept) with the layers named in `v`.
#' @seealso [orvel_fit()], whose SpatRaster result holds the smooth and the
#'   two slopes per map unit.
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
#'   # a smoother slope from a kernel chosen by cross-validation
#'   terra::plot(orvel_terrain(dem, orvel_select(dem), v = "slope"))
#' }
orvel_terrain <- function(x, kernel = orvel_kernel("horn"), v = c("slope", "aspect"),
                          unit = c("degrees", "radians"), se = FALSE, ...,
                          threads = getOption("orvel.threads", orvel_threads())) {
  UseMethod("orvel_terrain")
}

#' @rdname orvel_terrain
#' @export
orvel_terrain.default <- function(x, ...) {
  .orvel_stop("`x` must be a SpatRaster, a stars object or a RasterLayer, not %s", .orvel_what(x))
}

#' @rdname orvel_terrain
#' @export
orvel_terrain.SpatRaster <- function(x, kernel = orvel_kernel("horn"), v = c("slope", "aspect"),
                                     unit = c("degrees", "radians"), se = FALSE, ...,
                                     threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  x <- .orvel_check_raster(x, "x")
  model <- .orvel_model(kernel)
  v <- .orvel_choose(v, c("slope", "aspect"), "v", several = TRUE)
  unit <- .orvel_choose(unit, c("degrees", "radians"), "unit")
  se <- .orvel_check_flag(se, "se")
  .orvel_raster_layers(x, model, FALSE, v, se, threads,
                       scale = if (unit == "degrees") 180 / pi else 1)
}
