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
# raster's width (see orvel_tile_grid() in src/fit.c) in which only the
# tile's cells and the halo its windows reach are written, from the rows the
# tile and its halo span; the rest of that grid is never touched, so it
# takes no memory. Standard errors take sigma-hat over the whole raster,
# computed here once and handed to every tile.
#
# Failures: the tiles go to a hidden folder of this run beside `filename`,
# which is renamed or merged into the result only when every tile is
# there; on an error or an interrupt the folder is removed, so nothing under
# `filename` looks like a result that is not one.

# The halo a tile is read with: the kernel's half-height and half-width
# (rows, columns), at least the exact engine's three.
.orvel_tile_halo <- function(model)
  pmax(3L, (dim(model$K) - 1L) %/% 2L)

# `tiles`: NULL, or the rows and columns of a tile (one number for both),
# at most the raster's. Returns c(rows, cols) or NULL.
.orvel_check_tiles <- function(tiles, x) {
  if (is.null(tiles)) return(NULL)
  if (!is.numeric(tiles) || !length(tiles) %in% 1:2 || anyNA(tiles) || any(!is.finite(tiles)) ||
      any(tiles < 1) || any(tiles != round(tiles)))
    .orvel_stop("`tiles` must be NULL or the rows and columns of a tile, c(rows, cols), whole numbers of at least 1, not %s",
                .orvel_what(tiles))
  pmin(rep_len(as.numeric(tiles), 2L), c(terra::nrow(x), terra::ncol(x)))
}

# The kind of result a tiled run writes to `filename`: "vrt" or "tif".
.orvel_tile_target <- function(filename, overwrite) {
  if (!is.character(filename) || length(filename) != 1L || is.na(filename) || !nzchar(filename))
    .orvel_stop("with `tiles`, `filename` must name the result: a .vrt (over GeoTIFF tiles) or a .tif, in a folder every worker can write to; not %s",
                if (is.character(filename) && length(filename) == 1L) '""' else .orvel_what(filename))
  kind <- tolower(sub("^.*[.]", "", basename(filename)))
  if (kind == "tiff") kind <- "tif"
  if (!kind %in% c("vrt", "tif"))
    .orvel_stop("with `tiles`, `filename` must end in .vrt or .tif, not \"%s\"", filename)
  if (!dir.exists(dirname(filename)))
    .orvel_stop("the folder of `filename` \"%s\" does not exist", dirname(filename))
  if (file.exists(filename) && !overwrite)
    .orvel_stop("`filename` \"%s\" exists: use `overwrite = TRUE` to replace it", filename)
  kind
}

# Where the workers read x from: list(file, band). A layer read straight
# from one file (its geometry unchanged) is read from that file; any other
# raster (in memory, computed, windowed) is first written to `dir` as a
# 64-bit GeoTIFF, which holds its values exactly.
.orvel_tile_source <- function(x, dir) {
  s <- terra::sources(x, bands = TRUE)
  if (!any(terra::inMemory(x)) && NROW(s) == 1L && nzchar(s$source[1L])) {
    src <- s$source[1L]
    if (file.exists(src)) src <- normalizePath(src)
    r <- tryCatch(terra::rast(src, lyrs = s$bands[1L]), error = function(e) NULL)
    if (!is.null(r) && isTRUE(terra::compareGeom(r, x, crs = TRUE, ext = TRUE, rowcol = TRUE,
                                                 res = TRUE, stopOnError = FALSE)))
      return(list(file = src, band = s$bands[1L]))
  }
  f <- file.path(dir, "input.tif")
  terra::writeRaster(x, f, wopt = list(datatype = "FLT8S"))
  list(file = f, band = 1L)
}

# A tiled run: the layers of .orvel_raster_pass() (model, holdout, layers,
# scale, shade as there), tiles of tiles[1] x tiles[2] cells on the workers
# of the current future plan, fitted on `wthreads` threads each (sigma-hat,
# for standard errors, on `threads` here), written as described at the top.
# Returns the result read back from `filename`.
.orvel_tiles <- function(x, model, holdout, layers, tiles, threads, wthreads, scale = 1,
                         shade = c(45, 0), filename, overwrite = FALSE, wopt = list()) {
  if (!requireNamespace("future", quietly = TRUE))
    .orvel_stop("`tiles` runs on the future package: install it (Debian: r-cran-future)")
  tiles <- .orvel_check_tiles(tiles, x)
  kind <- .orvel_tile_target(filename, overwrite)
  if (!is.list(wopt) || is.object(wopt))
    .orvel_stop("`wopt` must be a list of options for writing, not %s", .orvel_what(wopt))
  if (is.null(wopt$datatype)) wopt$datatype <- "FLT8S"
  overwrite <- .orvel_check_flag(overwrite, "overwrite")
  threads <- .orvel_check_threads(threads)
  wthreads <- .orvel_check_threads(wthreads)
  nr <- terra::nrow(x)
  nc <- terra::ncol(x)
  sigma <- if (any(endsWith(layers, "_se")))
    .orvel_raster_pass(x, model, holdout, NULL, threads)[["sigma"]] else 1

  filename <- file.path(normalizePath(dirname(filename)), basename(filename))
  dir <- dirname(filename)
  stem <- sub("[.][^.]*$", "", basename(filename))
  # A name of this run's own (tempfile() leaves the user's random numbers be).
  token <- sprintf("%d-%s", Sys.getpid(), sub("^file", "", basename(tempfile())))
  work <- file.path(dir, sprintf(".%s.part-%s", stem, token))
  merged <- file.path(dir, sprintf(".%s.part-%s.%s", stem, token, kind))
  tdir <- file.path(dir, paste0(stem, "_tiles"))
  if (any(normalizePath(terra::sources(x), mustWork = FALSE) == filename))
    .orvel_stop("`filename` \"%s\" is the raster's own file: write the result elsewhere", filename)
  # An earlier result is removed before anything else: whatever lies at
  # `filename` after the call is this call's complete result, or nothing.
  if (kind == "vrt") .orvel_tile_clear(tdir, check = TRUE)
  unlink(filename)
  if (kind == "vrt") .orvel_tile_clear(tdir)
  dir.create(work)
  done <- FALSE
  fs <- list()
  on.exit(if (!done) {
    unlink(c(work, merged, paste0(merged, ".aux.xml")), recursive = TRUE)
  }, add = TRUE)
  src <- .orvel_tile_source(x, work)

  # The job of every tile, all but its cells the same.
  m <- .orvel_raster_model(model)
  cells <- .orvel_cells(x)
  e <- as.vector(terra::ext(x))
  xr <- terra::xres(x)
  yr <- terra::yres(x)
  base <- list(file = src$file, band = src$band, nr = nr, nc = nc, K = m$K, degree = m$degree,
               holdout = holdout, narm = m$narm, exact = m$exact,
               policy = match(model$policy, c("all", "omit", "only")) - 1L,
               what = .orvel_layer_codes[sub("_se$", "", layers)] + 16L * endsWith(layers, "_se"),
               layers = layers, dx = cells$dx, dy = cells$dy, flip = cells$flip, scale = scale,
               shade = shade, sigma = sigma, threads = wthreads, crs = terra::crs(x),
               wopt = wopt)
  halo <- .orvel_tile_halo(model)
  r0 <- seq(1, nr, by = tiles[1L])
  c0 <- seq(1, nc, by = tiles[2L])
  grid <- expand.grid(j = seq_along(c0), i = seq_along(r0))
  n <- nrow(grid)
  work_fn <- .orvel_tile_work
  p <- if (requireNamespace("progressr", quietly = TRUE))
    progressr::progressor(steps = n) else function(...) NULL
  describe <- function(k)
    sprintf("tile %d of %d (rows %d-%d, columns %d-%d)", k, n, jobs[[k]]$rows[1L],
            jobs[[k]]$rows[2L], jobs[[k]]$cols[1L], jobs[[k]]$cols[2L])
  jobs <- lapply(seq_len(n), function(k) {
    rows <- c(r0[grid$i[k]], min(nr, r0[grid$i[k]] + tiles[1L] - 1))
    cols <- c(c0[grid$j[k]], min(nc, c0[grid$j[k]] + tiles[2L] - 1))
    list(rows = rows, cols = cols,
         read = c(max(1, rows[1L] - halo[1L]), min(nr, rows[2L] + halo[1L]),
                  max(1, cols[1L] - halo[2L]), min(nc, cols[2L] + halo[2L])),
         ext = c(e[1L] + (cols[1L] - 1) * xr, e[1L] + cols[2L] * xr,
                 e[4L] - rows[2L] * yr, e[4L] - (rows[1L] - 1) * yr),
         out = file.path(work, sprintf("tile_%05d_%05d.tif", grid$i[k], grid$j[k])))
  })

  # One future a tile, in order; a finished one is collected as soon as it
  # is seen, so that progress is reported as tiles finish. future() itself
  # waits for a free worker. Whatever fails (the tile's own work, or the
  # future framework's: a worker that died) fails the call, naming the tile.
  got <- logical(n)
  named <- function(k, expr) tryCatch(expr, error = function(err)
    .orvel_stop("%s failed: %s", describe(k), sub("\n.*", "", conditionMessage(err))))
  collect <- function(k) {
    named(k, future::value(fs[[k]]))
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
  withCallingHandlers({
    for (k in seq_len(n)) {
      job <- c(base, jobs[[k]])
      fs[[k]] <- named(k, future::future(work_fn(job),
                                         globals = list(work_fn = work_fn, job = job),
                                         packages = "orvel", seed = NULL,
                                         label = sprintf("orvel %s", describe(k))))
      for (i in which(!got[seq_len(k)]))
        if (named(i, future::resolved(fs[[i]]))) collect(i)
    }
    for (k in which(!got)) collect(k)
  }, error = function(err) settle())

  files <- vapply(jobs, `[[`, "", "out")
  if (dirname(src$file) == work) unlink(src$file)
  if (kind == "vrt") {
    if (!file.rename(work, tdir)) .orvel_stop("cannot move the tiles to \"%s\"", tdir)
    work <- tdir
    files <- file.path(tdir, basename(files))
    v <- terra::vrt(files, filename = merged, overwrite = TRUE)
    rm(v)
    .orvel_vrt_names(merged, layers)
  } else {
    v <- terra::vrt(files)
    names(v) <- layers
    terra::writeRaster(v, merged, overwrite = TRUE, wopt = wopt)
    rm(v)
    if (file.exists(paste0(merged, ".aux.xml")))
      file.rename(paste0(merged, ".aux.xml"), paste0(filename, ".aux.xml"))
  }
  if (!file.rename(merged, filename)) .orvel_stop("cannot write \"%s\"", filename)
  done <- TRUE
  if (kind == "tif") unlink(work, recursive = TRUE)
  out <- terra::rast(filename)
  names(out) <- layers
  out
}

# Removes the tiles folder `tdir` of an earlier run (being overwritten),
# which holds tiles alone; anything else there is not ours to remove (an
# error; `check`: only that).
.orvel_tile_clear <- function(tdir, check = FALSE) {
  if (!dir.exists(tdir)) return(invisible())
  f <- list.files(tdir, all.files = TRUE, no.. = TRUE)
  if (!all(grepl("^tile_[0-9]+_[0-9]+\\.tif(\\.aux\\.xml)?$", f)))
    .orvel_stop("\"%s\" holds files other than tiles: move them, or choose another `filename`",
                tdir)
  if (!check) unlink(tdir, recursive = TRUE)
}

# Names the bands of VRT file `f` (so that terra reads them back as layer
# names).
.orvel_vrt_names <- function(f, layers) {
  x <- readLines(f, warn = FALSE)
  at <- grep("<VRTRasterBand ", x)
  if (length(at) != length(layers)) return(invisible())
  for (b in rev(seq_along(at)))
    x <- append(x, sprintf("    <Description>%s</Description>", layers[b]), after = at[b])
  writeLines(x, f)
}

# What a worker does for one tile (`job`, see .orvel_tiles()): reads the
# tile and its halo from the raster's file, fits the tile's cells on a grid
# of the whole raster's shape, and writes its layers to job$out.
.orvel_tile_work <- function(job) {
  x <- terra::rast(job$file, lyrs = job$band)
  rd <- job$read
  terra::readStart(x)
  z <- terra::readValues(x, rd[1L], rd[2L] - rd[1L] + 1, rd[3L], rd[4L] - rd[3L] + 1)
  terra::readStop(x)
  dim(z) <- c(rd[4L] - rd[3L] + 1, rd[2L] - rd[1L] + 1)
  g <- .Call(C_orvel_tile_grid, z, job$nc, rd[3L] - 1)
  rm(z)
  th <- job$rows[2L] - job$rows[1L] + 1
  tw <- job$cols[2L] - job$cols[1L] + 1
  buf <- .Call(C_orvel_buffer_alloc, th * tw * length(job$what))
  geom <- c(job$nc, job$nr, rd[1L] - 1, job$rows[1L] - 1, job$rows[2L], 0,
            job$cols[1L] - 1, job$cols[2L])
  .Call(C_orvel_fit_block, g, geom, job$K, job$degree, job$holdout, job$narm, job$exact,
        job$policy, job$what, job$dx, job$dy, job$flip, job$scale, job$shade, job$sigma, buf,
        NULL, NULL, job$threads)
  rm(g)
  out <- terra::rast(nrows = th, ncols = tw, nlyrs = length(job$what), crs = job$crs,
                     extent = terra::ext(job$ext))
  names(out) <- job$layers
  terra::writeStart(out, filename = job$out, overwrite = TRUE, wopt = job$wopt)
  terra::writeValues(out, buf, 1, th)
  terra::writeStop(out)
  invisible(job$out)
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
#' (rows) and half-width (columns) around it, at least three cells, from
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
#' **Failures.** The tiles of a run go to a hidden folder beside
#' `filename` until all are done. If any tile fails (its read fails, its
#' worker dies) the call fails with an error naming the tile (its number
#' and its rows and columns), and nothing is left under `filename`; an
#' interrupt leaves nothing either. With `overwrite = TRUE` an earlier
#' result is removed at the start, so whatever lies at `filename` after a
#' call is that call's complete result, or nothing. After a worker has died,
#' start the workers again (call `plan()` again) and rerun.
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
