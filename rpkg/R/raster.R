# terra SpatRasters in and out.
#
# A raster's cells come from terra row by row, north to south, west to east
# within a row. Handed to the libraries as they come, a block of rows is a
# grid whose fast index runs along a raster row (eastward) and whose slow
# index runs down the raster's rows (southward): so `gFx` is the change of
# the fitted plane across the block's columns, eastward, and `gFy` across its
# rows, southward, and the kernel goes in transposed. No matrix of the whole
# raster is ever formed.
#
# Every raster is fitted block by block: a block of rows is read with three
# rows more on either side (the half-width of the window), fitted, and only
# its own rows are kept, so each kept cell sees the same clipped 7 x 7 window
# as in a fit of the whole raster. The offsets are scaled by the block's own
# size, which changes the slopes in the last bits only. Blocks are at most
# getOption("orvel.block_cells") cells (small blocks keep the temporaries in
# memory that is already mapped, the main cost of R arithmetic on large
# vectors) and never larger than terra's own blocks; where terra says the
# result does not fit in memory, writeStart() sends it to a temporary file.

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
  x
}

# The 49 weights of a checked kernel, transposed for a raster block: the
# libraries' fast index runs along the raster's rows (see the top).
.orvel_raster_kernel <- function(K) as.double(t(matrix(K, 7L, 7L)))

# Cell sizes in map units: `dx` east-west (one number, or one per raster row
# on a longitude/latitude raster), `dy` north-south. On longitude/latitude
# they are metres as terra::terrain() takes them: east-west, half the
# geodesic distance between the points one cell west and one cell east at
# the row's latitude; north-south, the length of one cell along the meridian
# at the equator.
.orvel_cells <- function(x) {
  lonlat <- isTRUE(terra::is.lonlat(x, perhaps = FALSE, warn = FALSE))
  xr <- terra::xres(x)
  yr <- terra::yres(x)
  if (!lonlat) return(list(dx = xr, dy = yr, lonlat = FALSE))
  lat <- terra::yFromRow(x, seq_len(terra::nrow(x)))
  dx <- terra::distance(cbind(-xr, lat), cbind(xr, lat), lonlat = TRUE, pairwise = TRUE) / 2
  dy <- terra::distance(cbind(0, 0), cbind(0, yr), lonlat = TRUE)
  list(dx = as.double(dx), dy = as.double(dy), lonlat = TRUE)
}

# nc times the east-west cell size, for raster rows `rows`: one number, or
# one per row on a longitude/latitude raster. The block passes divide the
# change across a block's nc columns by it.
.orvel_cx <- function(cells, rows, nc) as.double(nc * cells$dx[if (cells$lonlat) rows else 1L])

# Fits x block by block with kernel K (already transposed) and calls
# fun(f, z, keep, rows, nrb) on each block: `f` the block's fit, `z` its
# observations (rows of the block, with the overlap), `keep` the positions of
# the block's own cells in them, `rows` their raster rows and `nrb` the
# number of rows fitted. f's three vectors are work vectors, the same for
# every block and longer than it: fun reads what it needs (at `keep`) and
# keeps no reference to them. With `names`, fun returns the values of those
# layers for `rows` and the result is a SpatRaster on x's grid; without,
# fun's results are dropped (it accumulates) and NULL is returned.
.orvel_raster_blocks <- function(x, K, holdout, fun, names = NULL) {
  nr <- terra::nrow(x)
  nc <- terra::ncol(x)
  rows <- .orvel_block_rows(x)
  if (is.null(names)) {
    b <- terra::blocks(x, n = 2L)
  } else {
    out <- terra::rast(x, nlyrs = length(names))
    names(out) <- names
    b <- terra::writeStart(out, filename = "", datatype = "FLT8S")
  }
  terra::readStart(x)
  on.exit(terra::readStop(x))
  sym <- if (holdout) .orvel_entry("orvel-holdout", "localPolynomialscv")
         else .orvel_entry("orvel-fit", "localPolynomials")
  # Fitted into in place block after block, as .orvel_block_buffer() says.
  n <- min(nr, rows + 6) * nc
  work <- list(numeric(n), numeric(n), numeric(n))
  for (k in seq_len(b$n)) {
    for (s in seq(b$row[k], b$row[k] + b$nrows[k] - 1, by = rows)) {
      e <- min(s + rows - 1, b$row[k] + b$nrows[k] - 1)
      r0 <- max(1, s - 3)
      nrb <- min(nr, e + 3) - r0 + 1
      z <- terra::readValues(x, r0, nrb, 1, nc)
      dim(z) <- c(nc, nrb)
      f <- .orvel_call(sym, z, K, work)
      v <- fun(f, z, ((s - r0) * nc + 1):((e - r0 + 1) * nc), s:e, nrb)
      if (!is.null(names)) terra::writeValues(out, v, s, e - s + 1)
    }
  }
  if (is.null(names)) NULL else terra::writeStop(out)
}

# Rows of x in a block: at most getOption("orvel.block_cells") cells.
.orvel_block_rows <- function(x) {
  max(1L, floor(getOption("orvel.block_cells", 2^17) / terra::ncol(x)))
}

# A buffer for `layers` layers of a full block of x, which the block passes
# fill in place block after block (terra::writeValues() copies them out):
# fresh vectors for every block would cost more in first touches of new
# memory than the passes themselves.
.orvel_block_buffer <- function(x, layers) {
  numeric(min(terra::nrow(x), .orvel_block_rows(x)) * terra::ncol(x) * layers)
}

# orvel_fit() and orvel_holdout() of a SpatRaster: layers smooth, dzdx
# (change per map unit eastward) and dzdy (northward).
.orvel_raster_fit <- function(z, kernel, spacing, holdout) {
  z <- .orvel_check_raster(z)
  if (!is.null(spacing))
    .orvel_stop("`spacing` is taken from the raster's cells: leave it out for a SpatRaster")
  cells <- .orvel_cells(z)
  nc <- terra::ncol(z)
  K <- .orvel_raster_kernel(.orvel_check_kernel(kernel))
  buf <- .orvel_block_buffer(z, 3L)
  .orvel_raster_blocks(z, K, holdout, names = c("smooth", "dzdx", "dzdy"),
    function(f, obs, keep, rows, nrb) {
      .Call(C_orvel_gradient_layers, f$F, f$gFx, f$gFy, keep[1L] - 1, length(rows), nc,
            .orvel_cx(cells, rows, nc), nrb * cells$dy, buf)
    })
}

# Score and number of nodes scored of the checked kernel K over a SpatRaster,
# as .orvel_cv_detail() gives them for a matrix.
.orvel_raster_cv <- function(z, K) {
  sse <- 0
  n <- 0
  add <- function(f, obs, keep, rows, nrb) {
    e <- obs[keep] - f$F[keep]
    ok <- is.finite(e)   # both finite: Inf - Inf and NaN give NaN, Inf - x gives Inf
    sse <<- sse + sum(e[ok]^2)
    n <<- n + sum(ok)
  }
  .orvel_raster_blocks(z, .orvel_raster_kernel(K), holdout = TRUE, add)
  c(cv = if (n > 0) sse / n else NaN, nodes = n)
}

#' SpatRasters in and out
#'
#' [orvel_fit()], [orvel_holdout()], [orvel_cv()], [orvel_select()] and
#' [orvel_terrain()] take a single-layer SpatRaster of the terra package
#' wherever they take a grid.
#'
#' The raster's rows run north to south and its columns west to east, as
#' terra stores them and as `terra::as.matrix(x, wide = TRUE)` shows them; a
#' kernel is laid over the raster the same way, `kernel[dy + 4, dx + 4]` the
#' weight of the cell `dy` rows south and `dx` columns east. `orvel_fit()`
#' and `orvel_holdout()` return a SpatRaster on the same grid (extent,
#' resolution, coordinate reference system) with the layers `smooth`,
#' `dzdx`, the change of the fitted plane per map unit eastward, and `dzdy`,
#' per map unit northward. The cell size is the raster's resolution (cells
#' need not be square), so `spacing` is not taken. On a longitude/latitude
#' raster the slopes are per metre, with cell sizes in metres as
#' [terra::terrain()] takes them (see [orvel_terrain()]). `orvel_cv()` and
#' `orvel_select()` score kernels over the raster's cells as they do over a
#' matrix's nodes.
#'
#' Missing cells (`NA`) spread as in a matrix: every cell whose 7 x 7 window
#' holds one is `NA` in all layers and is left out of the CV score.
#'
#' Rasters are processed in blocks of rows of at most
#' `getOption("orvel.block_cells", 2^17)` cells, read with three rows of
#' overlap, so that no copy of the whole raster is made; a raster that terra
#' says does not fit in memory is read from its file and written to a
#' temporary file (see [terra::terraOptions()]) block by block. Results
#' agree with a fit of the whole grid at once to about 1e-15 relative (the
#' libraries scale the offsets by the size of the block).
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
