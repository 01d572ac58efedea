# Rasters of several layers (a time series of elevation models, the bands
# of an image): orvel_fit(), orvel_holdout() and orvel_terrain() fit every
# layer on its own, as the single-layer raster it is, and return their
# layers together, each named after its input layer ("<layer>_<variable>"),
# layer after layer. The layers are fitted one after another, each through
# the single-layer path with its own block reading, its own noise level
# for standard errors and its own overflow check; the result is written to
# `filename` only once all are done, as any other result is (files.R).

# Whether SpatRaster x has more than one layer (and so goes through
# .orvel_each_layer()).
.orvel_many_layers <- function(x) {
  inherits(x, "SpatRaster") && terra::nlyr(x) > 1L
}

# The results of fit(layer) for every layer of SpatRaster x (named `arg` in
# messages), named "<layer>_<name>", combined in one SpatRaster and written
# as terra writes (filename, overwrite, wopt). `tiles` is refused: tiles
# go to a file of their own per call.
.orvel_each_layer <- function(x, fit, filename = "", overwrite = FALSE, wopt = list(),
                              tiles = NULL, arg = "x") {
  if (!is.null(tiles))
    .orvel_stop("`tiles` takes a raster of one layer, not %d layers: fit each layer in tiles of its own (e.g. %s[[1]])",
                terra::nlyr(x), arg)
  # Checked, locked, before any work, as for one layer.
  dest <- .orvel_output(filename, overwrite, x, what = sprintf("`%s`", arg))
  on.exit(.orvel_output_end(dest), add = TRUE)
  wopt <- .orvel_check_wopt(wopt)
  nm <- .orvel_layer_prefixes(names(x))
  parts <- lapply(seq_len(terra::nlyr(x)), function(i) {
    r <- fit(x[[i]])
    names(r) <- paste(nm[i], names(r), sep = "_")
    r
  })
  out <- do.call(c, parts)
  if (is.null(dest)) return(out)
  layers <- names(out)
  file <- .orvel_output_temp(dest)
  terra::writeRaster(out, file, overwrite = FALSE, wopt = wopt)
  rm(out, parts)
  .orvel_output_commit(dest, file)
  out <- terra::rast(dest$path)
  names(out) <- layers
  out
}

# Layer names to put before each result's names: the input's, made unique
# (terra allows two layers of one name) and "layer<i>" where a name is empty.
.orvel_layer_prefixes <- function(nm) {
  nm[is.na(nm) | !nzchar(nm)] <- paste0("layer", which(is.na(nm) | !nzchar(nm)))
  make.unique(nm, sep = ".")
}

# RasterStacks and RasterBricks (the raster package) go in as the
# multi-layer SpatRaster of terra::rast(), and the result is a SpatRaster,
# which a message says once per session.
.orvel_stack_note <- new.env(parent = emptyenv())

.orvel_via_stack <- function(z, f) {
  if (!requireNamespace("raster", quietly = TRUE))
    .orvel_stop("%s input needs the raster package: install it (Debian: r-cran-raster)",
                class(z)[1L])
  .orvel_terra()
  out <- f(terra::rast(z))
  if (inherits(out, "SpatRaster") && is.null(.orvel_stack_note$said)) {
    .orvel_stack_note$said <- TRUE
    message(sprintf("orvel: the %s was fitted as a terra SpatRaster, layer by layer, and the result is a SpatRaster (raster::brick() turns it back); said once per session",
                    class(z)[1L]))
  }
  out
}

#' @rdname orvel_fit
#' @export
orvel_fit.RasterStack <- function(z, kernel = orvel_kernel(), spacing, degree = 1, na.rm = FALSE,
                                  na.policy = c("all", "omit", "only"), se = FALSE, ...,
                                  threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_no_spacing(spacing, sprintf("a %s", class(z)[1L]))
  deg <- if (!missing(degree)) degree      # NULL: the default
  .orvel_via_stack(z, function(r)
    orvel_fit.SpatRaster(r, kernel, degree = deg, na.rm = na.rm, na.policy = na.policy, se = se,
                         ..., threads = threads))
}

#' @rdname orvel_fit
#' @export
orvel_fit.RasterBrick <- orvel_fit.RasterStack

#' @rdname orvel_fit
#' @export
orvel_holdout.RasterStack <- function(z, kernel = orvel_kernel(), spacing, degree = 1,
                                      na.rm = FALSE, na.policy = c("all", "omit", "only"),
                                      se = FALSE, ...,
                                      threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_no_spacing(spacing, sprintf("a %s", class(z)[1L]))
  deg <- if (!missing(degree)) degree
  .orvel_via_stack(z, function(r)
    orvel_holdout.SpatRaster(r, kernel, degree = deg, na.rm = na.rm, na.policy = na.policy,
                             se = se, ..., threads = threads))
}

#' @rdname orvel_fit
#' @export
orvel_holdout.RasterBrick <- orvel_holdout.RasterStack

#' @rdname orvel_terrain
#' @export
orvel_terrain.RasterStack <- function(x, v = c("slope", "aspect"), kernel = "horn",
                                      degree = NULL, unit = "degrees", na.rm = FALSE, se = FALSE,
                                      filename = "", overwrite = FALSE, wopt = list(),
                                      angle = 45, direction = 0, ...,
                                      threads = getOption("orvel.threads", orvel_threads())) {
  threads <- .orvel_threads_given(threads, !missing(threads))
  .orvel_via_stack(x, function(r)
    orvel_terrain.SpatRaster(r, v, kernel, degree, unit, na.rm, se, filename, overwrite, wopt,
                             angle, direction, ..., threads = threads))
}

#' @rdname orvel_terrain
#' @export
orvel_terrain.RasterBrick <- orvel_terrain.RasterStack

#' @name orvel_rasters
#' @rdname orvel_rasters
#' @section Several layers:
#' A SpatRaster of several layers (a time series of elevation models, the
#' bands of an image), and a RasterStack or RasterBrick of the raster
#' package (converted with [terra::rast()], with a message once per
#' session that the result is a SpatRaster), is taken by [orvel_fit()],
#' [orvel_holdout()] and [orvel_terrain()]: every layer is fitted on its
#' own, as the single-layer raster it is (its own standard errors, its own
#' missing cells), and the result holds every layer's variables, layer
#' after layer, each named after its layer: `"<layer>_<variable>"`, so
#' `orvel_terrain(c(dem2000, dem2020), "slope")` has the layers
#' `dem2000_slope` and `dem2020_slope` (empty layer names become `layer1`,
#' `layer2`, ..., and repeated ones are made unique). With `filename` the
#' result is written once every layer is done, as for one layer (see
#' Files). `tiles` and [orvel_cv()] and [orvel_select()] take one layer at a
#' time.
NULL
