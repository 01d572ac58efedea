# stars objects and raster::RasterLayers in and out, through the SpatRaster
# methods (raster.R).
#
# A stars grid goes in as a SpatRaster built here from its array, bounding
# box and reference system (rows north to south, columns west to east,
# whatever the order and signs of the stars object's x and y dimensions),
# and the layers that come back are laid into arrays of the stars object's
# own shape and returned with its own dimensions: same orientation, same
# georeference. A RasterLayer goes through terra::rast(), and the result
# stays a SpatRaster (terra is raster's successor, and a RasterLayer of the
# result is one raster::raster() call away).

.orvel_stars <- function() {
  if (!requireNamespace("stars", quietly = TRUE))
    .orvel_stop("stars input needs the stars package: install it (Debian: r-cran-stars)")
  .orvel_terra()
}

# The layout of a checked stars grid: list(x, y) of the two raster dimension
# names, whether the array is stored [y, x] (`swap`), and whether its x runs
# west (`flipx`) and its y north (`flipy`) with increasing index.
.orvel_check_stars <- function(s, arg = "z") {
  if (!inherits(s, "stars"))
    .orvel_stop("`%s` must be a stars object, not %s", arg, .orvel_what(s))
  .orvel_stars()
  if (inherits(s, "stars_proxy")) s <- stars::st_as_stars(s)
  if (length(s) != 1L)
    .orvel_stop("`%s` must be a stars object with one attribute, not %d (%s): fit them one at a time (e.g. %s[\"%s\"])",
                arg, length(s), paste(names(s), collapse = ", "), arg, names(s)[1L])
  d <- stars::st_dimensions(s)
  xy <- attr(d, "raster")$dimensions
  if (length(d) != 2L || is.null(xy) || anyNA(xy) || !all(xy %in% names(d)))
    .orvel_stop("`%s` must be a stars object with two dimensions, x and y, not %d (%s): take one 2-D slice (e.g. with dplyr::slice() or [ ])",
                arg, length(d), paste(names(d), collapse = ", "))
  if (isTRUE(attr(d, "raster")$curvilinear) || any(!vapply(d[xy], function(e)
        is.finite(e$offset) && is.finite(e$delta) && is.null(e$values), logical(1L))))
    .orvel_stop("`%s` must be a stars object on a regular grid (an offset and a cell size along x and y), not a rectilinear or curvilinear one: warp it with stars::st_warp() first",
                arg)
  a <- s[[1L]]
  if (!is.numeric(unclass(a)) || is.factor(a))
    .orvel_stop("`%s` must hold numbers, not %s", arg, .orvel_what(a))
  n <- dim(a)
  if (n[1L] < 2L || n[2L] < 2L)
    .orvel_stop("`%s` must have at least two rows and two columns, not %d x %d: a plane is fitted to neighbours in both directions",
                arg, n[1L], n[2L])
  list(stars = s, x = xy[1L], y = xy[2L], swap = names(d)[1L] != xy[1L],
       flipx = d[[xy[1L]]]$delta < 0, flipy = d[[xy[2L]]]$delta > 0)
}

# A stars grid, laid out by .orvel_check_stars(), as a SpatRaster.
.orvel_stars_to_rast <- function(g) {
  a <- g$stars[[1L]]
  a <- array(as.double(unclass(a)), dim(a))
  if (g$swap) a <- t(a)                                # now [x, y]
  if (g$flipx) a <- a[nrow(a):1L, , drop = FALSE]
  if (g$flipy) a <- a[, ncol(a):1L, drop = FALSE]      # now west to east, north to south
  d <- stars::st_dimensions(g$stars)
  # The edges of the cells from..to of a regular dimension, low to high.
  edges <- function(e) sort(e$offset + c(e$from - 1, e$to) * e$delta)
  ex <- edges(d[[g$x]])
  ey <- edges(d[[g$y]])
  ref <- d[[g$x]]$refsys
  wkt <- if (inherits(ref, "crs")) .subset2(ref, "wkt") else NA
  terra::rast(t(a), crs = if (is.na(wkt)) "" else wkt, extent = terra::ext(ex[1L], ex[2L], ey[1L], ey[2L]))
}

# The layers of a SpatRaster result, back on the grid of the stars object.
.orvel_rast_to_stars <- function(r, g) {
  layers <- lapply(seq_len(terra::nlyr(r)), function(i) {
    a <- t(terra::as.matrix(r[[i]], wide = TRUE))      # [x, y], west to east, north to south
    if (g$flipx) a <- a[nrow(a):1L, , drop = FALSE]
    if (g$flipy) a <- a[, ncol(a):1L, drop = FALSE]
    if (g$swap) t(a) else a
  })
  names(layers) <- names(r)
  stars::st_as_stars(layers, dimensions = stars::st_dimensions(g$stars))
}

# `threads` handed on by a method of another class to a SpatRaster method,
# marked as the default where the caller did not give it (`given`): tiled
# workers then take one thread each, as for a SpatRaster (see
# .orvel_worker_threads()).
.orvel_threads_given <- function(threads, given) {
  if (!given) attr(threads, "orvel_default") <- TRUE
  threads
}

# Runs `f` on the SpatRaster of stars `z` and returns its result, on z's grid
# if it is a SpatRaster.
.orvel_via_stars <- function(z, arg, f) {
  g <- .orvel_check_stars(z, arg)
  out <- f(.orvel_stars_to_rast(g))
  if (inherits(out, "SpatRaster")) .orvel_rast_to_stars(out, g) else out
}

# A RasterBrick or RasterStack `x` (argument `arg`), refused: its layers
# are fitted one at a time, as RasterLayers.
.orvel_stop_raster_layers <- function(x, arg, wanted = "a RasterLayer") {
  n <- if (requireNamespace("raster", quietly = TRUE)) raster::nlayers(x) else NA_integer_
  if (identical(as.integer(n), 1L))
    .orvel_stop("`%s` must be %s, not a %s of one layer: take the layer, %s[[1]]",
                arg, wanted, class(x)[1L], arg)
  .orvel_stop("`%s` must be %s, not a %s of %s layers: fit them one at a time (e.g. %s[[1]])",
              arg, wanted, class(x)[1L], if (is.na(n)) "several" else n, arg)
}

# Runs `f` on the SpatRaster of RasterLayer `z`, saying (once a session)
# that the result is one.
.orvel_via_raster <- function(z, arg, f) {
  if (!requireNamespace("raster", quietly = TRUE))
    .orvel_stop("RasterLayer input needs the raster package: install it (Debian: r-cran-raster)")
  .orvel_terra()
  out <- f(terra::rast(z))
  if (inherits(out, "SpatRaster") && is.null(.orvel_stack_note$layer)) {
    .orvel_stack_note$layer <- TRUE
    message("orvel: the RasterLayer was fitted as a terra SpatRaster, and the result is a SpatRaster (raster::raster() turns a layer back); said once per session")
  }
  out
}

#' @rdname orvel_fit
#' @export
orvel_fit.stars <- function(z, kernel = orvel_kernel(), spacing, degree = 1, na.rm = FALSE,
                       na.policy = c("all", "omit", "only"), se = FALSE, ...,
                       threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_no_spacing(spacing, "a stars object")
  deg <- if (!missing(degree)) degree      # NULL: the default
  .orvel_via_stars(z, "z", function(r)
    orvel_fit.SpatRaster(r, kernel, degree = deg, na.rm = na.rm, na.policy = na.policy, se = se,
                    ..., threads = threads))
}

#' @rdname orvel_fit
#' @export
orvel_holdout.stars <- function(z, kernel = orvel_kernel(), spacing, degree = 1, na.rm = FALSE,
                       na.policy = c("all", "omit", "only"), se = FALSE, ...,
                       threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_no_spacing(spacing, "a stars object")
  deg <- if (!missing(degree)) degree      # NULL: the default
  .orvel_via_stars(z, "z", function(r)
    orvel_holdout.SpatRaster(r, kernel, degree = deg, na.rm = na.rm, na.policy = na.policy, se = se,
                    ..., threads = threads))
}

#' @rdname orvel_fit
#' @export
orvel_fit.RasterLayer <- function(z, kernel = orvel_kernel(), spacing, degree = 1, na.rm = FALSE,
                       na.policy = c("all", "omit", "only"), se = FALSE, ...,
                       threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_no_spacing(spacing, "a RasterLayer")
  deg <- if (!missing(degree)) degree      # NULL: the default
  .orvel_via_raster(z, "z", function(r)
    orvel_fit.SpatRaster(r, kernel, degree = deg, na.rm = na.rm, na.policy = na.policy, se = se,
                    ..., threads = threads))
}

#' @rdname orvel_fit
#' @export
orvel_holdout.RasterLayer <- function(z, kernel = orvel_kernel(), spacing, degree = 1, na.rm = FALSE,
                       na.policy = c("all", "omit", "only"), se = FALSE, ...,
                       threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_no_spacing(spacing, "a RasterLayer")
  deg <- if (!missing(degree)) degree      # NULL: the default
  .orvel_via_raster(z, "z", function(r)
    orvel_holdout.SpatRaster(r, kernel, degree = deg, na.rm = na.rm, na.policy = na.policy, se = se,
                    ..., threads = threads))
}

#' @rdname orvel_cv
#' @export
orvel_cv.stars <- function(z, kernel = orvel_kernel(), degree = 1, na.rm = FALSE, ...,
                       threads = getOption("orvel.threads", orvel_threads())) {
  deg <- if (!missing(degree)) degree      # NULL: the default
  .orvel_via_stars(z, "z", function(r)
    orvel_cv.SpatRaster(r, kernel, deg, na.rm, ..., threads = threads))
}

#' @rdname orvel_cv
#' @export
orvel_cv.RasterLayer <- function(z, kernel = orvel_kernel(), degree = 1, na.rm = FALSE, ...,
                       threads = getOption("orvel.threads", orvel_threads())) {
  deg <- if (!missing(degree)) degree      # NULL: the default
  .orvel_via_raster(z, "z", function(r)
    orvel_cv.SpatRaster(r, kernel, deg, na.rm, ..., threads = threads))
}

#' @rdname orvel_select
#' @export
orvel_select.stars <- function(z, type = "gaussian", bandwidths = NULL, degree = 1,
                           na.rm = FALSE, size = NULL,
                         criterion = c("cv", "gcv", "aicc"), progress = interactive(), ...,
                           threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_via_stars(z, "z", function(r)
    orvel_select.SpatRaster(r, type, bandwidths, degree, na.rm, size, criterion, progress, ...,
                            threads = threads))
}

#' @rdname orvel_select
#' @export
orvel_select.RasterLayer <- function(z, type = "gaussian", bandwidths = NULL, degree = 1,
                           na.rm = FALSE, size = NULL,
                         criterion = c("cv", "gcv", "aicc"), progress = interactive(), ...,
                           threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_via_raster(z, "z", function(r)
    orvel_select.SpatRaster(r, type, bandwidths, degree, na.rm, size, criterion, progress, ...,
                            threads = threads))
}

#' @rdname orvel_terrain
#' @export
orvel_terrain.stars <- function(x, v = c("slope", "aspect"), kernel = "horn", degree = NULL,
                                unit = "degrees", na.rm = FALSE, se = FALSE, filename = "",
                                overwrite = FALSE, wopt = list(), angle = 45, direction = 0, ...,
                                threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_via_stars(x, "x", function(r)
    orvel_terrain.SpatRaster(r, v, kernel, degree, unit, na.rm, se, filename, overwrite, wopt,
                             angle, direction, ..., threads = threads))
}

#' @rdname orvel_terrain
#' @export
orvel_terrain.RasterLayer <- function(x, v = c("slope", "aspect"), kernel = "horn",
                                      degree = NULL, unit = "degrees", na.rm = FALSE, se = FALSE,
                                      filename = "", overwrite = FALSE, wopt = list(),
                                      angle = 45, direction = 0, ...,
                                      threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_via_raster(x, "x", function(r)
    orvel_terrain.SpatRaster(r, v, kernel, degree, unit, na.rm, se, filename, overwrite, wopt,
                             angle, direction, ..., threads = threads))
}
