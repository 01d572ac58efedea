# terra SpatRasters in and out.
#
# A raster's cells come from terra row by row, north to south, west to east
# within a row. Handed to the fitting engine as they come, the raster is a
# grid whose fast index runs along a raster row (eastward) and whose slow
# index runs down the raster's rows (southward): so `gFx` is the change of
# the fitted plane across the raster's columns, eastward, and `gFy` across
# its rows, southward, and the kernel goes in transposed. No matrix of the
# whole raster is ever formed.
#
# One function, .orvel_raster_pass(), owns the reading in blocks: a block
# of rows is read with the window's half-height more rows on either side (at
# least three) and handed to one compiled pass, which fits the block's own rows
# with the whole raster's geometry (so every cell gets the same bits
# whatever the block size) and derives the layers asked for, or the CV sums.
# Blocks are at most getOption("orvel.block_cells") cells and never larger
# than terra's own blocks; where terra says the result does not fit in
# memory, writeStart() sends it to a temporary file.

.orvel_terra <- function() {
  if (!requireNamespace("terra", quietly = TRUE))
    .orvel_stop("SpatRaster input needs the terra package: install it (Debian: r-cran-terra)")
}

# A single-layer SpatRaster with values and at least 2 x 2 cells. Returns x.
.orvel_check_raster <- function(x, arg = "z") {
  if (!inherits(x, "SpatRaster"))
    .orvel_stop("`%s` must be a SpatRaster, not %s", arg, .orvel_what(x))
  .orvel_terra()
  if (terra::nlyr(x) != 1L)
    .orvel_stop("`%s` must be a SpatRaster of one layer, not %d layers: fit them one at a time (e.g. %s[[1]])",
                arg, terra::nlyr(x), arg)
  if (!terra::hasValues(x))
    .orvel_stop("`%s` is a SpatRaster without values", arg)
  if (terra::nrow(x) < 2L || terra::ncol(x) < 2L)
    .orvel_stop("`%s` must have at least two rows and two columns, not %d x %d: a plane is fitted to neighbours in both directions",
                arg, terra::nrow(x), terra::ncol(x))
  # Cells on longitude/latitude are measured at their latitude (see
  # .orvel_geometry()): past a pole a cell has no east-west width. A millionth
  # of a cell of rounding in the extent is let through.
  if (isTRUE(terra::is.lonlat(x, perhaps = FALSE, warn = FALSE))) {
    e <- as.vector(terra::ext(x))
    tol <- 1e-6 * terra::yres(x)
    if (e[["ymin"]] < -90 - tol || e[["ymax"]] > 90 + tol)
      .orvel_stop("`%s` is a longitude/latitude raster whose extent reaches past the poles (latitudes %s to %s): its rows must lie from -90 to 90; crop it, e.g. terra::crop(%s, terra::ext(%s, %s, -90, 90))",
                  arg, format(e[["ymin"]]), format(e[["ymax"]]), arg, format(e[["xmin"]]),
                  format(e[["xmax"]]))
  }
  x
}

# A model's kernel transposed for a raster: the engine's fast index runs
# along the raster's rows (see the top).
.orvel_raster_model <- function(model) {
  model$K <- t(model$K)
  model
}

# The job of a pass over raster x, what its blocks and tiles share: the
# model laid over the raster (see .orvel_raster_model()) and the leave-one-out
# fit if `holdout`, the halo, and the request of the compiled pass for the
# named `layers` (NULL: the statistics) on `threads`, with the angles in
# radians times `scale`, the hillshade's sun at `shade` and the noise's
# standard deviation `sigma` for standard errors.
.orvel_raster_job <- function(x, model, holdout, layers, threads, scale = 1, shade = c(45, 0),
                              sigma = 1) {
  g <- .orvel_geometry(x)
  # TPI, TRI, roughness and flowdir take no fit (neighbours.R).
  nb <- layers %in% .orvel_neighbour_vars
  list(nr = terra::nrow(x), nc = terra::ncol(x), model = .orvel_raster_model(model),
       holdout = holdout, halo = .orvel_halo(model), layers = layers,
       req = list(what = if (is.null(layers)) 0L else .orvel_layer_what(layers[!nb]),
                  threads = threads, policy = match(model$policy, c("all", "omit", "only")) - 1L,
                  geometry = g[c("dx", "dy", "sx", "sy")], scale = scale, shade = shade,
                  sigma = sigma),
       nb = if (any(nb))
         list(is = nb, what = unname(.orvel_neighbour_codes[layers[nb]]),
              dx = .orvel_neighbour_dx(x, g), flip = c(g$sx, g$sy), narm = model$narm))
}

# The compiled model of a job: the engine's fast index runs along the
# raster's rows.
.orvel_job_engine <- function(job) .orvel_engine(job$model, job$holdout, job$nc, job$nr)

# The one step of every raster driver (blocks here, tiles on workers):
# reads the cells rows[1] .. rows[2] x cols[1] .. cols[2] of the job's
# raster with the job's halo through read(row, nrows, col, ncols) (as
# terra::readValues() reads them) and fits them with the compiled model
# `engine`: their layers into `buf` from position `pos` on (buf is
# returned), or with buf NULL the statistics' sums added to `acc` (see
# .orvel_stats_grid(); keep and can as there); the neighbourhood layers
# of whole rows into `nbuf` likewise. `track`: NULL, or an
# environment whose `big` is raised to the largest finite |z| read. A block
# of whole rows is handed on as read; a tile's cells are placed in a grid
# of the raster's width (see orvel_tile_grid() in src/misc.c), so that both
# are fitted with the whole raster's geometry and give the same bits.
.orvel_fit_cells <- function(job, engine, read, rows, cols, buf = NULL, pos = 0, acc = NULL,
                             keep = NULL, can = NULL, track = NULL, nbuf = NULL) {
  r0 <- max(1, rows[1L] - job$halo[1L])
  r1 <- min(job$nr, rows[2L] + job$halo[1L])
  whole <- cols[1L] == 1 && cols[2L] == job$nc
  c0 <- if (whole) 1 else max(1, cols[1L] - job$halo[2L])
  c1 <- if (whole) job$nc else min(job$nc, cols[2L] + job$halo[2L])
  z <- read(r0, r1 - r0 + 1, c0, c1 - c0 + 1)
  if (!is.null(track)) {
    f <- z[is.finite(z)]
    if (length(f)) track$big <- max(track$big, abs(f))
  }
  if (!whole) {
    dim(z) <- c(c1 - c0 + 1, r1 - r0 + 1)
    z <- .Call(C_orvel_tile_grid, z, job$nc, c0 - 1)
  }
  req <- job$req
  req$at <- c(r0 - 1, rows[1L] - 1, rows[2L], pos, cols[1L] - 1, cols[2L])
  if (!is.null(buf)) {
    if (length(req$what)) .orvel_native("block", engine, z, req, buf)
    if (!is.null(job$nb))
      .Call(C_orvel_neighbours_block, z, c(job$nc, r1 - r0 + 1, rows[1L] - r0, rows[2L] - r0 + 1, pos),
            job$nb$what, job$nb$dx, job$req$geometry$dy, job$nb$flip, job$nb$narm, nbuf,
            job$req$threads)
    return(invisible(buf))
  }
  req$keep <- keep
  req$can <- can
  .orvel_native("block", engine, z, req, acc)
}

# The one pass over raster x: fits every cell under `model` (see
# .orvel_model(); the leave-one-out fit if `holdout`), block by block, and
# returns a SpatRaster on x's grid with the named `layers` (names of
# .orvel_layer_codes, "_se" after one for its standard error with the
# noise's standard deviation `sigma`; angles in radians times `scale`; the
# hillshade's sun at `shade`, c(altitude, azimuth) in degrees), written with
# the options `wopt` (see .orvel_check_wopt()) to the target `dest` of
# .orvel_output() (NULL: where terra chooses), under a name of the run's
# own until it is complete; or with layers = NULL the fit's statistics (see
# .orvel_stats_grid()), over the cells flagged in `keep` (NULL: all) and
# clearing the flags in `can` of cells that cannot be scored (flags of
# orvel_flags_new()). `track`: an environment whose `big` is raised to the largest
# finite |z| read.
.orvel_raster_pass <- function(x, model, holdout, layers, threads, scale = 1, keep = NULL,
                               can = NULL, sigma = 1, shade = c(45, 0), dest = NULL,
                               wopt = list(datatype = "FLT8S"), track = NULL,
                               sums_scale = NA_real_) {
  nr <- terra::nrow(x)
  nc <- terra::ncol(x)
  rows <- .orvel_block_rows(x)
  threads <- .orvel_check_threads(threads)
  job <- .orvel_raster_job(x, model, holdout, layers, threads, scale, shade, sigma)
  engine <- .orvel_job_engine(job)
  cv <- is.null(layers)
  if (cv) {
    b <- terra::blocks(x, n = 2L)
    # The squares' power of two: the first block's, unless given.
    acc <- c(numeric(7), sums_scale)
  } else {
    out <- terra::rast(x, nlyrs = length(layers))
    names(out) <- layers
    file <- if (is.null(dest)) "" else .orvel_output_temp(dest)
    # terra's blocks no larger than ours, so that no one read or write of
    # terra's outlasts the tenths of a second in which an interrupt is to
    # be honoured (a raster in memory would otherwise be one block).
    wopt$steps <- max(wopt$steps, ceiling(nr / rows))
    b <- terra::writeStart(out, filename = file, overwrite = FALSE, wopt = wopt)
    # On a failure the file is closed here and removed by the caller's
    # .orvel_output_end().
    done <- FALSE
    on.exit(if (!done) try(terra::writeStop(out), silent = TRUE), add = TRUE)
  }
  # A read session the caller opened stays open, and one we open is closed.
  if (!.orvel_reading(x)) {
    terra::readStart(x)
    on.exit(terra::readStop(x), add = TRUE)
  }
  read <- function(row, nrows, col, ncols) terra::readValues(x, row, nrows, col, ncols)
  for (k in seq_len(b$n)) {
    last <- b$row[k] + b$nrows[k] - 1
    # terra's block is filled in place, ours after ours, and handed to terra
    # once: one fresh vector a terra block (a whole raster that fits in
    # memory is one), advised for huge pages.
    if (!cv) {
      buf <- .Call(C_orvel_buffer_alloc, b$nrows[k] * nc * length(job$req$what))
      nbuf <- .Call(C_orvel_buffer_alloc, b$nrows[k] * nc * length(job$nb$what))
    }
    for (s in seq(b$row[k], last, by = rows)) {
      e <- min(s + rows - 1, last)
      if (cv)
        acc <- .orvel_fit_cells(job, engine, read, c(s, e), c(1, nc), acc = acc, keep = keep,
                                can = can, track = track)
      else
        .orvel_fit_cells(job, engine, read, c(s, e), c(1, nc), buf = buf,
                         pos = (s - b$row[k]) * nc, track = track, nbuf = nbuf)
    }
    if (!cv) {
      v <- .Call(C_orvel_buffer_take, buf)
      if (!is.null(job$nb))
        v <- .orvel_neighbour_join(v, .Call(C_orvel_buffer_take, nbuf), job$nb$is, b$nrows[k] * nc)
      .orvel_write_values(out, v, b$row[k], b$nrows[k])
      rm(v)
    }
  }
  if (cv) {
    # Later blocks far larger or smaller than the first: the sums again, at
    # the power of two of the whole raster's largest |z|.
    k <- .orvel_sums_rescale(acc)
    if (is.null(k)) return(acc)
    return(.orvel_raster_pass(x, model, holdout, NULL, threads, keep = keep, can = can,
                              sums_scale = k))
  }
  out <- terra::writeStop(out)
  done <- TRUE
  if (is.null(dest)) return(out)
  rm(out)
  .orvel_output_commit(dest, file)
  out <- terra::rast(dest$path)
  names(out) <- layers
  out
}

# terra::writeValues(), but a user interrupt, which terra turns into an
# error "[writeValues] interrupted", stays an interrupt: the condition R
# signals for one (handlers for "interrupt" see it), then back to the top
# level as R goes when none handles it.
.orvel_write_values <- function(out, v, start, nrows) {
  stopped <- FALSE
  tryCatch(terra::writeValues(out, v, start, nrows), error = function(e) {
    if (!identical(conditionMessage(e), "[writeValues] interrupted")) stop(e)
    stopped <<- TRUE
  })
  if (stopped) {
    signalCondition(structure(list(message = "", call = NULL),
                              class = c("interrupt", "condition")))
    invokeRestart("abort")
  }
  invisible(out)
}

# `wopt`, the options for writing a result as terra takes them, with
# 64-bit floats unless it says otherwise.
.orvel_check_wopt <- function(wopt) {
  if (!is.list(wopt) || is.object(wopt))
    .orvel_stop("`wopt` must be a list of options for writing, not %s", .orvel_what(wopt))
  if (is.null(wopt$datatype)) wopt$datatype <- "FLT8S"
  wopt
}

# Whether x can be read now without readStart(): it is in memory, or a
# read session is open on it (which must then be left as it is).
.orvel_reading <- function(x) {
  if (all(terra::inMemory(x))) return(TRUE)
  tryCatch({ terra::readValues(x, 1, 1, 1, 1); TRUE }, error = function(e) FALSE)
}

# Rows of x in a block: at most getOption("orvel.block_cells") cells.
.orvel_block_rows <- function(x) {
  cells <- getOption("orvel.block_cells", 2^20)
  if (!is.numeric(cells) || length(cells) != 1L || !is.finite(cells) || cells < 1)
    .orvel_stop("option `orvel.block_cells` must be one positive number of cells, not %s",
                if (is.numeric(cells) && length(cells) == 1L) format(cells) else .orvel_what(cells))
  max(1, floor(cells / terra::ncol(x)))
}

#' @rdname orvel_fit
#' @export
orvel_fit.SpatRaster <- function(z, kernel = orvel_kernel(), spacing, degree = 1, na.rm = FALSE,
                                 na.policy = c("all", "omit", "only"), se = FALSE,
                                 filename = "", overwrite = FALSE, wopt = list(), tiles = NULL,
                                 ..., threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  .orvel_no_spacing(spacing, "a SpatRaster")
  if (.orvel_many_layers(z)) {   # each layer on its own (layers.R)
    deg <- if (!missing(degree)) degree
    th <- .orvel_threads_given(threads, !missing(threads))
    return(.orvel_each_layer(z, function(r) orvel_fit.SpatRaster(r, kernel, degree = deg, na.rm = na.rm,
      na.policy = na.policy, se = se, threads = th), filename, overwrite, wopt, tiles, "z"))
  }
  model <- .orvel_model(kernel, if (!missing(degree)) degree, na.rm, na.policy)
  .orvel_raster_fit(z, model, holdout = FALSE, se, threads, filename, overwrite, wopt,
                    tiles, .orvel_worker_threads(threads, missing(threads)))
}

#' @rdname orvel_fit
#' @export
orvel_holdout.SpatRaster <- function(z, kernel = orvel_kernel(), spacing, degree = 1,
                                     na.rm = FALSE, na.policy = c("all", "omit", "only"), se = FALSE,
                                     filename = "", overwrite = FALSE, wopt = list(),
                                     tiles = NULL, ...,
                                     threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  .orvel_no_spacing(spacing, "a SpatRaster")
  if (.orvel_many_layers(z)) {   # each layer on its own (layers.R)
    deg <- if (!missing(degree)) degree
    th <- .orvel_threads_given(threads, !missing(threads))
    return(.orvel_each_layer(z, function(r) orvel_holdout.SpatRaster(r, kernel, degree = deg, na.rm = na.rm,
      na.policy = na.policy, se = se, threads = th), filename, overwrite, wopt, tiles, "z"))
  }
  model <- .orvel_model(kernel, if (!missing(degree)) degree, na.rm, na.policy)
  .orvel_raster_fit(z, model, holdout = TRUE, se, threads, filename, overwrite, wopt,
                    tiles, .orvel_worker_threads(threads, missing(threads)))
}

# The threads of each tiled worker: one, so that the workers of a machine
# share its cores, unless the caller gave `threads` (not `missing`, and not
# a default handed on by .orvel_threads_given()).
.orvel_worker_threads <- function(threads, missing) {
  if (missing || isTRUE(attr(threads, "orvel_default"))) 1L else threads
}

# Rasters carry their cell sizes: `spacing` (missing where it was not
# given) is an error.
.orvel_no_spacing <- function(spacing, what) {
  if (!missing(spacing))
    .orvel_stop("`spacing` is taken from the raster's cells: leave it out for %s", what)
}

# orvel_fit() and orvel_holdout() of a SpatRaster: layers smooth, dzdx
# (change per map unit eastward) and dzdy (northward), and for degree 2 the
# second derivatives; with `se` their standard errors after them. `tiles`,
# `wthreads`: see .orvel_raster_layers().
.orvel_raster_fit <- function(z, model, holdout, se, threads, filename, overwrite, wopt,
                              tiles = NULL, wthreads = threads) {
  z <- .orvel_check_raster(z)
  se <- .orvel_check_flag(se, "se")
  layers <- c("smooth", "dzdx", "dzdy",
              if (model$degree == 2L) c("d2zdx2", "d2zdxdy", "d2zdy2"))
  .orvel_raster_layers(z, model, holdout, c(layers, if (se) paste0(layers, "_se")), threads,
                       filename = filename, overwrite = overwrite, wopt = wopt, tiles = tiles,
                       wthreads = wthreads, arg = "z")
}

# The layers of .orvel_raster_pass() (scale, shade as there) of raster x
# (named `arg` in messages), written as terra writes: to `filename` (or
# where terra chooses, for ""), never over an existing file unless
# `overwrite`, with the options `wopt` (see .orvel_check_wopt()); the
# target is checked and locked before any work (see .orvel_output()).
# Standard errors ("_se" after a name) need sigma-hat, and so a first pass
# for the statistics. With `tiles`, the tiles of .orvel_tiles() on the
# workers of the future plan, each fitted on `wthreads` threads.
.orvel_raster_layers <- function(x, model, holdout, layers, threads, scale = 1,
                                 shade = c(45, 0), filename = "", overwrite = FALSE,
                                 wopt = list(), arg = "x", tiles = NULL, wthreads = threads) {
  if (!is.null(tiles)) {
    tiles <- .orvel_check_tiles(tiles, x)
    kind <- .orvel_tile_target(filename)
  }
  dest <- .orvel_output(filename, overwrite, x, tiles = !is.null(tiles) && kind == "vrt",
                        what = sprintf("`%s`", arg))
  on.exit(.orvel_output_end(dest), add = TRUE)
  wopt <- .orvel_check_wopt(wopt)
  threads <- .orvel_check_threads(threads)
  sigma <- if (any(endsWith(layers, "_se")))
    .orvel_raster_pass(x, model, holdout, NULL, threads)[["sigma"]] else 1
  if (is.null(tiles)) {
    track <- new.env()
    track$big <- 0
    out <- .orvel_raster_pass(x, model, holdout, layers, threads, scale = scale, sigma = sigma,
                              shade = shade, dest = dest, wopt = wopt, track = track)
    big <- track$big
  } else {
    got <- .orvel_tiles(x, model, holdout, layers, tiles, kind, sigma, wthreads, scale, shade,
                        dest, wopt)
    out <- got$out
    big <- got$big
  }
  .orvel_check_overflow(x, out, big, model, holdout, layers[1L], threads, arg)
  out
}

# Where the elevations of raster x are so large or small (largest finite
# |z| `big`) that the sums of the fit may leave the range of double
# precision, the cells of the first layer of `out` (layer `first`) lost
# that way are counted, by a fit of the raster scaled by a power of two,
# and a warning says so, as for matrices.
.orvel_check_overflow <- function(x, out, big, model, holdout, first, threads, arg) {
  k <- .orvel_rescale(big)
  if (is.null(k)) return(invisible())
  v <- terra::values(out[[1L]], mat = FALSE)
  if (all(is.finite(v))) return(invisible())
  scaled <- .orvel_raster_pass(.orvel_scale2(x, k), model, holdout, first, threads)
  lost <- sum(!is.finite(v) & is.finite(terra::values(scaled, mat = FALSE)))
  small <- terra::global(abs(x), function(v) min(v[v > 0], Inf, na.rm = TRUE))[[1L]]
  .orvel_warn_overflow(lost, length(v), k, big, small, "cells", arg)
}

#' @rdname orvel_cv
#' @export
orvel_cv.SpatRaster <- function(z, kernel = orvel_kernel(), degree = 1, na.rm = FALSE, ...,
                                threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  z <- .orvel_check_raster(z)
  .orvel_cv_score(.orvel_raster_scorer(z, threads),
                  .orvel_model(kernel, if (!missing(degree)) degree, na.rm))
}

#' @rdname orvel_select
#' @export
orvel_select.SpatRaster <- function(z, type = "gaussian", bandwidths = NULL, degree = 1,
                                    na.rm = FALSE, size = NULL,
                         criterion = c("cv", "gcv", "aicc"), progress = interactive(), ...,
                                    threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  z <- .orvel_check_raster(z)
  .orvel_select(.orvel_raster_scorer(z, threads), type, bandwidths,
                degree, na.rm, size, criterion, progress)
}

# As .orvel_cv_scorer(), over a SpatRaster's cells.
.orvel_raster_scorer <- function(x, threads) {
  threads <- .orvel_check_threads(threads)
  structure(function(model, keep = NULL, can = NULL) {
    s <- .orvel_raster_pass(x, model, TRUE, NULL, threads, keep = keep, can = can)
    k <- .orvel_rescale(s[["zmax"]])
    if (!is.null(k)) {
      n <- .orvel_raster_pass(.orvel_scale2(x, k), model, TRUE, NULL, threads, keep = keep)[["n"]]
      if (n > s[["n"]]) {
        small <- terra::global(abs(x), function(v) min(v[v > 0], Inf, na.rm = TRUE))[[1L]]
        .orvel_warn_overflow(n - s[["n"]], terra::ncell(x), k, s[["zmax"]], small, "cells")
      }
    }
    .orvel_score(s)
  }, cells = terra::ncell(x))
}

#' SpatRasters, stars and RasterLayers in and out
#'
#' [orvel_fit()], [orvel_holdout()], [orvel_cv()], [orvel_select()] and
#' [orvel_terrain()] take a single-layer SpatRaster of the terra package
#' wherever they take a grid, and also a single-attribute 2-D `stars` object
#' or a `RasterLayer` of the raster package.
#'
#' The raster's rows run north to south and its columns west to east, as
#' terra stores them and as `terra::as.matrix(x, wide = TRUE)` shows them; a
#' kernel is laid over the raster the same way, `kernel[dy + h1 + 1, dx +
#' h2 + 1]` (`h1`, `h2` its half-sizes) the weight of the cell `dy` rows
#' south and `dx` columns east. `orvel_fit()`
#' and `orvel_holdout()` return a SpatRaster on the same grid (extent,
#' resolution, coordinate reference system) with the layers `smooth`,
#' `dzdx`, the change of the fitted surface per map unit eastward, and
#' `dzdy`, per map unit northward; for `degree = 2` also the second
#' derivatives `d2zdx2` (\eqn{\partial^2 z / \partial x^2}{d2z / dx2}),
#' `d2zdxdy` and `d2zdy2`, per map unit squared (x east, y north). The cell
#' size is the raster's resolution (cells need not be square), so `spacing` is not taken. On a longitude/latitude
#' raster the slopes are per metre, with cell sizes in metres as
#' [terra::terrain()] takes them (see [orvel_terrain()]). `orvel_cv()` and
#' `orvel_select()` score kernels over the raster's cells as they do over a
#' matrix's nodes.
#'
#' A `stars` object (of the stars package) with one attribute on a regular
#' 2-D x/y grid is fitted as the SpatRaster of the same cells, and the
#' result comes back as a stars object with the input's own dimensions:
#' the same orientation (whichever way its x and y run, in whichever order
#' they are stored) and the same georeference, with one attribute per layer.
#' A stars object with several attributes, or with dimensions other than x
#' and y, is an error: fit one attribute or one 2-D slice at a time. "East"
#' and "north" are those of the map, whatever the orientation of the array.
#'
#' A `RasterLayer` of the raster package is converted with [terra::rast()],
#' and the result is a terra SpatRaster, with a message saying so once a session: terra is
#' the raster package's successor, and `raster::raster()` of a layer of the
#' result gives a RasterLayer back where one is needed. stars and raster
#' are only suggested: install the one you use.
#'
#' Missing cells (`NA`, `NaN`, infinite) are treated as in a matrix (see
#' Missing values in [orvel_fit()]): with `na.rm = FALSE` every cell where
#' the kernel gives a missing cell weight is `NA` in all layers, with
#' `na.rm = TRUE` missing cells are left out of the windows, `na.policy` is
#' as there, and cells without a prediction are left out of the CV score.
#'
#' Rasters are processed in blocks of rows of at most
#' `getOption("orvel.block_cells", 2^20)` cells, read with the window's
#' half-height of overlap, so that no copy of the
#' whole raster is made; a raster that terra
#' says does not fit in memory is read from its file and written to a
#' temporary file (see [terra::terraOptions()]) block by block. Every block
#' is fitted with the whole raster's geometry, so every cell gets the same
#' bits whatever the block size, the number of threads or the order of the
#' blocks: there are no seams. A read session opened with
#' [terra::readStart()] is left open.
#'
#' **Files.** With `filename`, nothing you have is touched but the result
#' you asked for:
#' * Before any work, the call checks that the folder of `filename` exists
#'   and can be written to, that `filename` is none of the files the input
#'   reads (its own file by any name, through symbolic links, the file a
#'   band or a VRT comes from, the sources of those VRTs in turn), and that
#'   it does not exist (nor its `.aux.xml`) unless `overwrite = TRUE`.
#' * The result is written under a hidden name of the call's own in the
#'   folder of `filename` (`.<name>.part-<process>-<random>.<ext>`) and
#'   renamed onto `filename` only when it is complete. A failure or an
#'   interrupt removes that file and leaves an earlier file at `filename`
#'   as it was; with `overwrite = TRUE` it is replaced only by a complete
#'   result.
#' * While it writes, the call holds a lock on `filename`: a folder
#'   `.<name>.lock` beside it, saying which machine and process made it. A
#'   second call (in another session, or on another machine sharing the
#'   folder) to the same `filename` fails at once, naming the first, and
#'   never returns the first call's result as its own. A lock left by a
#'   process of this machine that no longer runs is taken over; one left by
#'   another machine must be removed by hand when no call is running.
#'
#' @name orvel_rasters
#' @examples
#' if (requireNamespace("terra", quietly = TRUE)) {
#'   dem <- terra::rast(volcano, extent = terra::ext(0, 610, 0, 870), crs = "local")
#'   fit <- orvel_fit(dem, orvel_kernel("gaussian", 1.5))
#'   print(fit)                   # layers smooth, dzdx, dzdy
#'   terra::plot(fit)
#'   print(orvel_cv(dem, orvel_kernel("gaussian", 1.5)))
#' }
NULL
