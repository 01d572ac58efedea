#' Vector ruggedness measure of an elevation raster
#'
#' The vector ruggedness measure (VRM) of Sappington, Longshore and Thompson
#' (2007, "Quantifying landscape ruggedness for animal habitat analysis",
#' Journal of Wildlife Management 71, 1419-1426): one minus the length of the
#' sum of the unit normals of the cells of a `size` x `size` window, divided
#' by their number. It is 0 on a plane however steep, and grows towards 1
#' as the normals of the window scatter; it separates ruggedness from slope.
#'
#' Each cell's unit normal is that of the plane [orvel_terrain()] fits
#' there, \eqn{(-p, -q, 1) / \sqrt{1 + p^2 + q^2}}{(-p, -q, 1) / sqrt(1 + p^2
#' + q^2)} with \eqn{p}{p} and \eqn{q}{q} its slopes east and north per map
#' unit (elevations divided by `zscale` first): with the default `"horn"`
#' those of Horn's slope and aspect, which is how MultiscaleDTM's `VRM()` and
#' the original ArcGIS script take them, so the result equals theirs from
#' `terra::terrain()`'s slope and aspect. The window sums are those of
#' [terra::focal()]: a cell whose window holds a missing normal (one with no
#' fit, or past the raster's edge) is `NA`, unless `na.rm = TRUE`, where the
#' normals there are summed and counted.
#'
#' @param x an elevation model: a SpatRaster of one layer.
#' @param size the window's side in cells: an odd whole number from 3.
#' @param kernel the kernel of the planes, as in [orvel_terrain()].
#' @param na.rm whether missing elevations are left out of the planes' windows
#'   and missing normals out of the sums.
#' @param zscale elevation units per map unit, as in [orvel_terrain()].
#' @param threads the number of threads to fit on (see [orvel_threads()]).
#' @return A SpatRaster on the grid of `x` with one layer, `VRM`.
#' @seealso [orvel_terrain()] for the slopes, curvatures and landform classes.
#' @export
#' @examples
#' if (requireNamespace("terra", quietly = TRUE)) {
#'   dem <- terra::rast(volcano, extent = terra::ext(0, 610, 0, 870), crs = "local")
#'   terra::plot(orvel_vrm(dem, size = 5))
#' }
orvel_vrm <- function(x, size = 3, kernel = "horn", na.rm = FALSE, zscale = 1,
                      threads = getOption("orvel.threads", orvel_threads())) {
  x <- .orvel_check_raster(x, "x")
  if (!is.numeric(size) || length(size) != 1L || !is.finite(size) || size < 3 ||
      size != round(size) || size %% 2 != 1)
    .orvel_stop("`size` must be one odd whole number from 3, not %s", .orvel_given(size))
  na.rm <- .orvel_check_flag(na.rm, "na.rm")
  d <- orvel_terrain(x, c("dzdx", "dzdy"), kernel = kernel, na.rm = na.rm, zscale = zscale,
                     threads = threads)
  w <- 1 / sqrt(1 + d$dzdx^2 + d$dzdy^2)
  normal <- c(-d$dzdx * w, -d$dzdy * w, w)
  sums <- terra::focal(normal, w = size, fun = "sum", na.rm = na.rm)
  n <- if (na.rm) terra::focal(!is.na(w), w = size, fun = "sum", na.rm = TRUE) else size * size
  out <- 1 - sqrt(sums[[1L]]^2 + sums[[2L]]^2 + sums[[3L]]^2) / n
  names(out) <- "VRM"
  out
}
