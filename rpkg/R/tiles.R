# Rasters in tiles on R's future framework.
#
# With `tiles = c(rows, cols)`, orvel_fit(), orvel_holdout() and
# orvel_terrain() of a SpatRaster cut the raster into tiles of that many
# cells and hand each to a future of the plan the user has set with
# future::plan(): the same call runs on this session (sequential), on local
# processes (multisession), on other machines (cluster) or on a scheduler
# (future.batchtools). A worker reads its tile and a halo around it from
# the raster's file, fits it and writes the tile's layers as a GeoTIFF into
# a folder beside `filename`; this session then makes the result of them:
# a VRT over the tiles, or one GeoTIFF merged from them.
#
# Seams: the fitting engine gives a node the same bits wherever the grid it
# fits is held, as long as the grid has the whole raster's shape (its
# offsets are scaled by the grid's size, and its windows are clipped at the
# grid's edges). A worker therefore fits its tile on a grid of the whole
# raster's width (see orvel_tile_grid() in src/misc.c) in which only the
# tile's cells and the halo its windows reach are written, from the rows the
# tile and its halo span; the rest of that grid is never touched, so it
# takes no memory. Standard errors take sigma-hat over the whole raster,
# computed here once and handed to every tile.
#
# Files: the target is checked and locked before any work, as for one
# process (see files.R). The tiles go to a hidden folder of this run beside
# `filename`, which becomes the tiles folder of a VRT, or is merged into a
# GeoTIFF, only when every tile is there; nothing the user had is removed
# before then, and only an earlier result's own tiles folder is (with
# `overwrite`). On an error or an interrupt the run's folder is removed and
# an earlier result stays as it was.
#
# Tiles carry the geometry of the raster, whichever way its columns run:
# each is made from the raster's geotransform (see .orvel_geom_rast()), and
# the VRT over them is written here (see .orvel_write_vrt()), with paths
# relative to it.

# `tiles`: NULL, or the rows and columns of a tile (one number for both),
# at most the raster's. Returns c(rows, cols) or NULL.
.orvel_check_tiles <- function(tiles, x) {
  if (is.null(tiles)) return(NULL)
  if (!requireNamespace("future", quietly = TRUE))
    .orvel_stop("`tiles` runs on the future package: install it (Debian: r-cran-future)")
  if (!is.numeric(tiles) || !length(tiles) %in% 1:2 || anyNA(tiles) || any(!is.finite(tiles)) ||
      any(tiles < 1) || any(tiles != round(tiles)))
    .orvel_stop("`tiles` must be NULL or the rows and columns of a tile, c(rows, cols), whole numbers of at least 1, not %s",
                .orvel_what(tiles))
  pmin(rep_len(as.numeric(tiles), 2L), c(terra::nrow(x), terra::ncol(x)))
}

# The kind of result a tiled run writes to `filename`: "vrt" or "tif".
.orvel_tile_target <- function(filename) {
  if (!is.character(filename) || length(filename) != 1L || is.na(filename) || !nzchar(filename))
    .orvel_stop("with `tiles`, `filename` must name the result: a .vrt (over GeoTIFF tiles) or a .tif, in a folder every worker can write to; not %s",
                if (is.character(filename) && length(filename) == 1L) '""' else .orvel_what(filename))
  kind <- tolower(sub("^.*[.]", "", basename(filename)))
  if (kind == "tiff") kind <- "tif"
  if (!kind %in% c("vrt", "tif"))
    .orvel_stop("with `tiles`, `filename` must end in .vrt or .tif, not \"%s\"", filename)
  kind
}

# Where the workers read x from: list(file, band, scoff, naflag). A layer
# read straight from one file (its geometry unchanged) is read from that
# file, with the scale and offset or the missing-value flag set on x in
# this session where it is not the file's own (NULL where it is); any other
# raster (in memory, computed, windowed, or with both set anew, whose
# meaning together is terra's to say) is first written to `dir` as a 64-bit
# GeoTIFF, which holds the values this session reads exactly.
.orvel_tile_source <- function(x, dir) {
  s <- terra::sources(x, bands = TRUE)
  if (!any(terra::inMemory(x)) && NROW(s) == 1L && nzchar(s$source[1L])) {
    src <- s$source[1L]
    if (file.exists(src)) src <- normalizePath(src)
    r <- tryCatch(terra::rast(src, lyrs = s$bands[1L]), error = function(e) NULL)
    if (!is.null(r) && isTRUE(terra::compareGeom(r, x, crs = TRUE, ext = TRUE, rowcol = TRUE,
                                                 res = TRUE, stopOnError = FALSE))) {
      same <- function(a, b) identical(as.vector(a), as.vector(b))
      scoff <- if (!same(terra::scoff(r), terra::scoff(x))) terra::scoff(x)
      naflag <- if (!same(terra::NAflag(r), terra::NAflag(x))) terra::NAflag(x)
      if (is.null(scoff) || is.null(naflag))
        return(list(file = src, band = s$bands[1L], scoff = scoff, naflag = naflag))
    }
  }
  f <- file.path(dir, "input.tif")
  terra::writeRaster(x, f, wopt = list(datatype = "FLT8S"))
  list(file = f, band = 1L, scoff = NULL, naflag = NULL)
}

# A tiled run: the layers of .orvel_raster_pass() (model, holdout, layers,
# scale, shade as there) with the noise's standard deviation `sigma`, tiles
# of tiles[1] x tiles[2] cells on the workers of the current future plan,
# fitted on `wthreads` threads each, written with `wopt` as a result of
# `kind` ("vrt", "tif") for the checked target `dest` (see .orvel_output()),
# as described at the top. Returns list(out, big): the result read back
# from the target, and the largest finite |z| the workers read.
.orvel_tiles <- function(x, model, holdout, layers, tiles, kind, sigma, wthreads, scale, shade,
                         dest, wopt) {
  wthreads <- .orvel_check_threads(wthreads)
  nr <- terra::nrow(x)
  nc <- terra::ncol(x)
  work <- .orvel_output_temp(dest, "tiles", "")
  dir.create(work)
  src <- .orvel_tile_source(x, work)

  # The job of every tile, all but its cells the same: the raster pass's
  # (.orvel_raster_job()), and where to read and how to write.
  gt <- .orvel_geotransform(x)
  base <- c(.orvel_raster_job(x, model, holdout, layers, wthreads, scale, shade, sigma),
            list(file = src$file, band = src$band, scoff = src$scoff, naflag = src$naflag,
                 crs = terra::crs(x), wopt = wopt))
  r0 <- seq(1, nr, by = tiles[1L])
  c0 <- seq(1, nc, by = tiles[2L])
  grid <- expand.grid(j = seq_along(c0), i = seq_along(r0))
  n <- nrow(grid)
  # A worker's function; getOption("orvel.tile_work") stands in for it in
  # the tests of workers that die.
  work_fn <- getOption("orvel.tile_work", .orvel_tile_work)
  p <- if (requireNamespace("progressr", quietly = TRUE))
    progressr::progressor(steps = n) else function(...) NULL
  describe <- function(k)
    sprintf("tile %d of %d (rows %d-%d, columns %d-%d)", k, n, jobs[[k]]$rows[1L],
            jobs[[k]]$rows[2L], jobs[[k]]$cols[1L], jobs[[k]]$cols[2L])
  jobs <- lapply(seq_len(n), function(k) {
    rows <- c(r0[grid$i[k]], min(nr, r0[grid$i[k]] + tiles[1L] - 1))
    cols <- c(c0[grid$j[k]], min(nc, c0[grid$j[k]] + tiles[2L] - 1))
    list(rows = rows, cols = cols,
         # The tile's geotransform: its first cell's corner, the raster's
         # steps with their signs.
         gt = c(gt[1L] + (cols[1L] - 1) * gt[2L], gt[2L], 0,
                gt[4L] + (rows[1L] - 1) * gt[6L], 0, gt[6L]),
         out = file.path(work, sprintf("tile_%05d_%05d.tif", grid$i[k], grid$j[k])))
  })

  # One future a tile, in order; a finished one is collected as soon as it
  # is seen, so that progress is reported as tiles finish. future() itself
  # waits for a free worker, and so it is there that a worker found dead
  # fails: the call then fails naming the tile that worker had, found among
  # those still out. Whatever fails (the tile's own work, or the future
  # framework's) fails the call, naming the tile.
  got <- logical(n)
  big <- 0
  fail <- function(k, err)
    .orvel_stop("%s failed: %s", describe(k), sub("\n.*", "", conditionMessage(err)))
  named <- function(k, expr) tryCatch(expr, error = function(err) fail(k, err))
  submit <- function(k, job) tryCatch(
    future::future(work_fn(job), globals = list(work_fn = work_fn, job = job),
                   packages = "orvel", seed = NULL, label = sprintf("orvel %s", describe(k))),
    error = function(err) {
      for (i in which(!got[seq_len(k - 1L)])) {
        e <- tryCatch({ future::value(fs[[i]]); NULL }, error = function(e) e)
        if (!is.null(e)) fail(i, e)
      }
      fail(k, err)
    })
  collect <- function(k) {
    r <- named(k, future::value(fs[[k]]))
    big <<- max(big, r$big)
    fs[k] <<- list(NULL)
    got[k] <<- TRUE
    p(describe(k))
  }
  settle <- function() {
    # After a failure: let the tiles still running end (or fail) before
    # their folder goes, quietly.
    for (k in which(!got[seq_along(fs)] & lengths(fs) > 0L))
      try(suppressWarnings(future::value(fs[[k]])), silent = TRUE)
  }
  fs <- list()
  withCallingHandlers({
    for (k in seq_len(n)) {
      fs[[k]] <- submit(k, c(base, jobs[[k]]))
      for (i in which(!got[seq_len(k)]))
        if (named(i, future::resolved(fs[[i]]))) collect(i)
    }
    for (k in which(!got)) collect(k)
  }, error = function(err) settle())

  if (dirname(src$file) == work) unlink(src$file)
  files <- vapply(jobs, `[[`, "", "out")
  at <- lapply(jobs, function(j) c(j$cols[1L] - 1, j$rows[1L] - 1,
                                   j$cols[2L] - j$cols[1L] + 1, j$rows[2L] - j$rows[1L] + 1))
  if (kind == "vrt") {
    vrt <- .orvel_output_temp(dest, "part", ".vrt")
    .orvel_write_vrt(vrt, files, file.path(basename(dest$tdir), basename(files)), at, nr, nc,
                     gt, terra::crs(x), layers)
    .orvel_tiles_commit(dest, work, vrt)
  } else {
    v <- file.path(work, "tiles.vrt")
    .orvel_write_vrt(v, files, basename(files), at, nr, nc, gt, terra::crs(x), layers)
    merged <- .orvel_output_temp(dest, "part", ".tif")
    r <- terra::rast(v)
    names(r) <- layers
    terra::writeRaster(r, merged, wopt = wopt)
    rm(r)
    .orvel_output_commit(dest, merged)
  }
  out <- terra::rast(dest$path)
  names(out) <- layers
  list(out = out, big = big)
}

# Puts a tiled run's VRT in place: an earlier result's tiles folder is set
# aside, the run's folder `work` becomes the tiles folder and the run's VRT
# `vrt` the target; only then does the earlier folder go (and if the VRT
# cannot be put in place, the earlier folder comes back).
.orvel_tiles_commit <- function(dest, work, vrt) {
  old <- NULL
  if (dir.exists(dest$tdir)) {
    old <- .orvel_output_temp(dest, "old", "")
    if (!file.rename(dest$tdir, old)) .orvel_stop("cannot replace \"%s\"", dest$tdir)
  }
  back <- function() if (!is.null(old)) file.rename(old, dest$tdir)
  if (!file.rename(work, dest$tdir)) {
    back()
    .orvel_stop("cannot move the tiles to \"%s\"", dest$tdir)
  }
  tryCatch(.orvel_output_commit(dest, vrt), error = function(e) {
    file.rename(dest$tdir, work)
    back()
    stop(e)
  })
  if (!is.null(old)) unlink(old, recursive = TRUE)
}

# The geotransform of raster x as GDAL has it: the corner of its first
# cell, the step along a row (negative where columns run west), 0, the
# corner's y, 0, the step down the rows.
.orvel_geotransform <- function(x) {
  e <- as.vector(terra::ext(x))
  c(e[[1L]], terra::xres(x), 0, e[[4L]], 0, -terra::yres(x))
}

# An empty SpatRaster of nr x nc cells and `nlyr` layers at geotransform gt
# with reference system `crs`: made through a VRT, since terra's extents
# cannot run west.
.orvel_geom_rast <- function(nr, nc, gt, nlyr, crs) {
  f <- tempfile(fileext = ".vrt")
  on.exit(unlink(f))
  writeLines(sprintf(
    '<VRTDataset rasterXSize="%d" rasterYSize="%d"><GeoTransform>%s</GeoTransform><VRTRasterBand dataType="Float64" band="1"/></VRTDataset>',
    as.integer(nc), as.integer(nr), paste(sprintf("%.17g", gt), collapse = ", ")), f)
  r <- terra::rast(terra::rast(f), nlyrs = nlyr)
  terra::crs(r) <- crs
  r
}

# Writes the VRT `f` over the tiles `files` (named `rel` relative to f's
# folder), tile k covering the cells at[[k]] = c(first column, first row
# (from 0), columns, rows) of an nr x nc raster at geotransform gt, with
# reference system `crs` and its bands named `layers`; the bands' type and
# missing-value flag are the tiles'.
.orvel_write_vrt <- function(f, files, rel, at, nr, nc, gt, crs, layers) {
  info <- terra::describe(files[1L])
  type <- sub("^.*Type=([A-Za-z0-9]+).*$", "\\1", grep("^Band [0-9]+ .*Type=", info, value = TRUE))
  nodata <- sub("^ *NoData Value=", "", grep("^ *NoData Value=", info, value = TRUE))
  if (length(type) != length(layers))
    .orvel_stop("cannot read the layers of the tile \"%s\"", files[1L])
  esc <- function(s) gsub(">", "&gt;", gsub("<", "&lt;", gsub("&", "&amp;", s, fixed = TRUE),
                                            fixed = TRUE), fixed = TRUE)
  band <- function(b) {
    src <- vapply(seq_along(files), function(k) sprintf(paste0(
      '    <%1$s>\n',
      '      <SourceFilename relativeToVRT="1">%2$s</SourceFilename>\n',
      '      <SourceBand>%3$d</SourceBand>\n',
      '      <SrcRect xOff="0" yOff="0" xSize="%6$d" ySize="%7$d" />\n',
      '      <DstRect xOff="%4$d" yOff="%5$d" xSize="%6$d" ySize="%7$d" />\n',
      '%8$s',
      '    </%1$s>'),
      if (length(nodata)) "ComplexSource" else "SimpleSource", esc(rel[k]), b,
      as.integer(at[[k]][1L]), as.integer(at[[k]][2L]), as.integer(at[[k]][3L]),
      as.integer(at[[k]][4L]),
      if (length(nodata)) sprintf("      <NODATA>%s</NODATA>\n", nodata[b]) else ""), "")
    c(sprintf('  <VRTRasterBand dataType="%s" band="%d">', type[b], b),
      sprintf("    <Description>%s</Description>", esc(layers[b])),
      if (length(nodata)) sprintf("    <NoDataValue>%s</NoDataValue>", nodata[b]),
      src, "  </VRTRasterBand>")
  }
  x <- c(sprintf('<VRTDataset rasterXSize="%d" rasterYSize="%d">', as.integer(nc), as.integer(nr)),
         if (nzchar(crs)) sprintf('  <SRS dataAxisToSRSAxisMapping="1,2">%s</SRS>', esc(crs)),
         sprintf("  <GeoTransform>%s</GeoTransform>", paste(sprintf("%.17g", gt), collapse = ", ")),
         unlist(lapply(seq_along(layers), band)), "</VRTDataset>")
  writeLines(x, f)
}

# What a worker does for one tile (`job`, see .orvel_tiles()): the step of
# the raster pass (.orvel_fit_cells()) on the tile's cells, read with their
# halo from the raster's file (with the scale, offset and missing-value
# flag the session gave it), and its layers written to job$out. Returns
# list(out, big), big the largest finite |z| read.
.orvel_tile_work <- function(job) {
  x <- terra::rast(job$file, lyrs = job$band)
  if (!is.null(job$scoff)) terra::scoff(x) <- job$scoff
  if (!is.null(job$naflag)) terra::NAflag(x) <- job$naflag
  th <- job$rows[2L] - job$rows[1L] + 1
  tw <- job$cols[2L] - job$cols[1L] + 1
  buf <- .Call(C_orvel_buffer_alloc, th * tw * length(job$layers))
  track <- new.env()
  track$big <- 0
  terra::readStart(x)
  read <- function(row, nrows, col, ncols) terra::readValues(x, row, nrows, col, ncols)
  .orvel_fit_cells(job, .orvel_job_engine(job), read, job$rows, job$cols, buf = buf,
                   track = track)
  terra::readStop(x)
  out <- .orvel_geom_rast(th, tw, job$gt, length(job$layers), job$crs)
  names(out) <- job$layers
  terra::writeStart(out, filename = job$out, overwrite = TRUE, wopt = job$wopt)
  .orvel_write_values(out, .Call(C_orvel_buffer_take, buf), 1, th)
  terra::writeStop(out)
  list(out = job$out, big = track$big)
}

#' Rasters larger than memory: tiles on the future framework
#'
#' With `tiles = c(rows, cols)`, [orvel_fit()], [orvel_holdout()] and
#' [orvel_terrain()] of a SpatRaster cut the raster into tiles of that many
#' cells (one number for square tiles) and fit each on a worker of the
#' current [future::plan()]: `plan(sequential)` in this R session,
#' `plan(multisession, workers = 4)` on local processes, `plan(cluster,
#' workers = c("host1", "host2"))` on machines reached by SSH, or a
#' scheduler such as Slurm through the future.batchtools package. The plan
#' is yours to set; nothing is chosen here. `tiles = NULL` (the default)
#' fits the raster in this process, in blocks of rows (see
#' [orvel_rasters]).
#'
#' **Files.** A worker reads its tile and a halo of the kernel's half-height
#' (rows) and half-width (columns) around it from
#' the raster's file, and writes the tile's layers as a GeoTIFF with the
#' options of `wopt` (64-bit floats unless it says otherwise). `filename`
#' is needed and says what the result is: a name ending in `.vrt` makes a
#' GDAL virtual raster over the tiles, which stay in the folder
#' `<name>_tiles` beside it; a name ending in `.tif` merges the tiles into
#' that one GeoTIFF (with `wopt`) and removes them. The result is returned
#' as a SpatRaster read from `filename`. So the workers must be able to
#' read the raster's file and write to the folder of `filename` by the same
#' paths as this session: on other machines, a shared file system. A
#' raster read from one file is read by the workers from that file; any
#' other (in memory, computed, a window of a file) is first written to a
#' 64-bit GeoTIFF in the folder of `filename`, which is removed at the end.
#'
#' **The same bits as one process.** Every tile is fitted on a grid of the
#' whole raster's shape, of which only the tile and its halo are held (the
#' rest takes no memory), so every cell of the result is the single-process
#' result bit for bit, whatever the tile size, the plan or the number of
#' workers, with missing values anywhere and for every layer. Standard
#' errors (`se = TRUE`) use sigma-hat over the whole raster, computed in
#' this session first (one pass over the raster) and handed to the
#' workers. A worker takes the memory of its tile (about its cells times
#' eight bytes times the layers, twice over) and not of the raster.
#'
#' **Threads.** Each worker fits on one thread, so that the workers of a
#' machine share its cores, unless `threads` is given, which then applies
#' to every worker; the standard errors' pass in this session uses
#' `threads` or its default.
#'
#' **Failures and files.** The target is checked and locked before any
#' work as in one process (see Files in [orvel_rasters]); for a VRT, the
#' folder `<name>_tiles` beside it must not exist, or (with `overwrite =
#' TRUE`) hold the tiles of an earlier result alone, none of which the
#' input reads. The tiles of a run go to a hidden folder beside
#' `filename` until all are done; only then do they become the VRT's tiles
#' folder or the merged GeoTIFF, and only then is an earlier result
#' replaced. If any tile fails (its read fails, its worker dies) the call
#' fails with an error naming the tile (its number and its rows and
#' columns: for a worker that died, the tile it had), the run's folder is
#' removed and an earlier result stays as it was; an interrupt does the
#' same. After a worker has died, start the workers again (call `plan()`
#' again) and rerun.
#'
#' **Rasters as this session sees them.** A scale and offset
#' ([terra::scoff()]) or a missing-value flag ([terra::NAflag()]) set on
#' the raster in this session are handed to the workers (with both set, the
#' raster is written out first, as one in memory is), and a raster whose
#' columns run west (a negative x resolution) gives tiles and a result
#' that run west too. Where the values are so large or small that cells
#' are lost to the range of double precision, the warning is that of one
#' process.
#'
#' **Progress** is reported through the progressr package, one step a tile,
#' with whatever handler you choose: `progressr::handlers(global = TRUE)`,
#' or wrap the call in `progressr::with_progress()`.
#'
#' future and progressr are only suggested: install them to use tiles
#' (Debian: `r-cran-future`, `r-cran-progressr`; `r-cran-future.batchtools`
#' for schedulers).
#'
#' @name orvel_tiles
#' @examples
#' if (requireNamespace("terra", quietly = TRUE) &&
#'     requireNamespace("future", quietly = TRUE)) {
#'   dir <- tempfile("orvel")
#'   dir.create(dir)
#'   dem <- terra::rast(volcano, extent = terra::ext(0, 610, 0, 870), crs = "local")
#'   dem <- terra::writeRaster(dem, file.path(dir, "dem.tif"))
#'   old <- future::plan(future::sequential)   # or multisession, cluster, ...
#'   st <- orvel_terrain(dem, tiles = c(40, 40), filename = file.path(dir, "slope.vrt"))
#'   all.equal(terra::values(st), terra::values(orvel_terrain(dem)))
#'   future::plan(old)
#'   unlink(dir, recursive = TRUE)
#' }
NULL
