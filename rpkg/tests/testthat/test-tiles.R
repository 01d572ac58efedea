# Rasters in tiles on the future framework: every cell the single process's
# bits on every kind of plan, and failures that leave no result behind.
# Under valgrind only the sequential plan runs (no worker processes).

skip_if_not_installed("terra")
skip_if_not_installed("future")
valgrind <- nzchar(Sys.getenv("ORVEL_VALGRIND"))

# A noisy surface of 47 x 61 cells written as a GeoTIFF in `dir`, with
# voids on the borders of 12 x 20 tiles (row 12, column 40) and inside one.
tile_dem <- function(dir, nr = 47, nc = 61, crs = "EPSG:32633", dx = 7.5, dy = 11,
                     xmin = 600000, ymin = 5e6, voids = TRUE) {
  set.seed(5)
  z <- outer(1:nr, 1:nc, function(i, j) 40 * sin(i / 6) * cos(j / 8) + 0.4 * i) +
    matrix(stats::rnorm(nr * nc), nr)
  if (voids) {
    z[12:13, 5:9] <- NA
    z[30:33, 40] <- NA
    z[20, 22] <- NA
  }
  x <- terra::rast(z, extent = terra::ext(xmin, xmin + nc * dx, ymin, ymin + nr * dy), crs = crs)
  f <- file.path(dir, sprintf("dem-%s.tif", gsub("[^0-9]", "", crs)))
  terra::writeRaster(x, f, overwrite = TRUE, wopt = list(datatype = "FLT8S"))
  terra::rast(f)
}
expect_same <- function(tiled, single, info = NULL) {
  expect_identical(names(tiled), names(single), info = info)
  expect_identical(terra::values(tiled), terra::values(single), info = info)
}
# A fresh folder, removed when the calling test ends.
local_dir <- function(env = parent.frame()) {
  d <- tempfile("orvel-tiles")
  dir.create(d)
  do.call(on.exit, list(substitute(unlink(d, recursive = TRUE), list(d = d)), add = TRUE),
          envir = env)
  d
}
# The files under `dir` but the input rasters.
left <- function(dir) grep("^dem", list.files(dir, all.files = TRUE, recursive = TRUE,
                                               include.dirs = TRUE), value = TRUE, invert = TRUE)

test_that("tiles on sequential, multisession and cluster plans give every cell the single-process bits; a dead worker fails the call", {
  dir <- local_dir()
  x <- tile_dem(dir)
  ll <- tile_dem(dir, 30, 25, "EPSG:4326", 0.01, 0.008, 10, 60, voids = FALSE)
  old <- future::plan()
  on.exit(future::plan(old), add = TRUE)
  gauss <- orvel_kernel("gaussian", 1.5, size = 9)
  runs <- list(
    # Tiles that do not divide the raster, a VRT; every terrain variable
    # of the plane with its standard error.
    list(function(...) orvel_terrain(x, c("slope", "aspect", "hillshade"), se = TRUE, ...),
         c(10, 17), "t.vrt"),
    # Tiles that divide it, voids on their borders, a GeoTIFF; a quadratic
    # on a 9 x 9 window (the general engine), voids left out.
    list(function(...) orvel_fit(x, gauss, degree = 2, na.rm = TRUE, se = TRUE, ...),
         c(12, 20), "f.tif"),
    list(function(...) orvel_holdout(x, orvel_kernel("horn"), na.policy = "omit", ...),
         c(47, 8), "h.tif"),
    # Longitude/latitude: a cell width of its own in every row.
    list(function(...) orvel_terrain(ll, c("profile_curvature", "dzdy"), kernel = "gaussian",
                                     unit = "radians", ...), c(7, 9), "c.vrt"))
  single <- lapply(runs, function(r) r[[1]]())
  check <- function(i, info) {
    f <- file.path(dir, runs[[i]][[3]])
    got <- runs[[i]][[1]](tiles = runs[[i]][[2]], filename = f, overwrite = TRUE)
    expect_same(got, single[[i]], info = info)
    # Read back from the file alone, as another session would.
    expect_same(terra::rast(f), single[[i]], info = info)
  }
  future::plan(future::sequential)
  for (i in seq_along(runs)) check(i, i)
  expect_setequal(left(dir)[!grepl("/", left(dir))],
                  c("t.vrt", "t_tiles", "f.tif", "h.tif", "c.vrt", "c_tiles"))
  expect_length(list.files(file.path(dir, "t_tiles")), 5 * 4)
  if (valgrind) return()
  future::plan(future::multisession, workers = 2)
  check(1, "multisession")
  # A PSOCK cluster is the code path of machines reached by SSH.
  cl <- parallel::makeCluster(2)
  on.exit({
    try(parallel::stopCluster(cl), silent = TRUE)
    for (node in cl) try(close(node$con), silent = TRUE)   # the dead one's too
  }, add = TRUE, after = FALSE)
  future::plan(future::cluster, workers = cl)
  check(2, "cluster")
  # A worker killed (the first, which gets the first tile): the call fails
  # naming a tile, the earlier result stays as it was and nothing of the
  # run's is left; a rerun on live workers writes it.
  tools::pskill(parallel::clusterCall(cl, Sys.getpid)[[1]])
  f <- file.path(dir, "f.tif")
  sum0 <- tools::md5sum(f)
  expect_error(runs[[2]][[1]](tiles = 10, filename = f, overwrite = TRUE),
               "tile [0-9]+ of 35 \\(rows [0-9]+-[0-9]+, columns [0-9]+-[0-9]+\\) failed")
  expect_identical(tools::md5sum(f), sum0)
  expect_identical(grep("^[.]", left(dir), value = TRUE), character())
  future::plan(future::sequential)
  check(2, "after a dead worker")
})

test_that("tiles take wopt, write out a raster in memory, report progress and check their arguments", {
  dir <- local_dir()
  x <- tile_dem(dir)
  old <- future::plan(future::sequential)
  on.exit(future::plan(old), add = TRUE)
  f32 <- list(datatype = "FLT4S", gdal = "COMPRESS=DEFLATE")
  single <- orvel_terrain(x, filename = file.path(dir, "s.tif"), wopt = f32)
  types <- character()
  op <- options(progressr.enable = TRUE)   # off by default outside interactive sessions
  on.exit(options(op), add = TRUE)
  got <- withCallingHandlers(
    orvel_terrain(x, tiles = 16, filename = file.path(dir, "t.tif"), wopt = f32),
    progression = function(c) types <<- c(types, c$type))
  expect_same(got, single)
  expect_identical(terra::datatype(got), c("FLT4S", "FLT4S"))
  expect_identical(sum(types == "update"), 3L * 4L)
  # In memory: written out first, and the same bits.
  m <- terra::rast(terra::as.matrix(x, wide = TRUE))
  expect_same(orvel_fit(m, tiles = c(9, 50), filename = file.path(dir, "m.vrt")), orvel_fit(m))
  expect_error(orvel_fit(x, tiles = 10), "`filename` must name the result")
  expect_error(orvel_fit(x, tiles = 10, filename = file.path(dir, "a.nc")), "end in .vrt or .tif")
  expect_error(orvel_fit(x, tiles = c(0, 5), filename = file.path(dir, "a.tif")), "`tiles` must be")
  expect_error(orvel_fit(x, tiles = 10, filename = file.path(dir, "m.vrt")), "exists")
  expect_error(orvel_fit(x, tiles = 10, filename = terra::sources(x), overwrite = TRUE),
               "is a file `z` reads")
})

test_that("a tile that cannot be read fails the call by name and leaves no result; a rerun succeeds", {
  dir <- local_dir()
  x <- tile_dem(dir)
  old <- future::plan(future::sequential)
  on.exit(future::plan(old), add = TRUE)
  out <- file.path(dir, "r.tif")
  single <- orvel_terrain(x)
  orvel_terrain(x, tiles = 10, filename = out)
  # A file whose second half cannot be read: the first tiles are written,
  # then one fails; the earlier result stays as it was, and nothing of the
  # run's is left.
  bad <- file.path(dir, "dem-cut.tif")
  terra::writeRaster(x, bad, wopt = list(datatype = "FLT8S", gdal = "BLOCKYSIZE=4"))
  writeBin(readBin(bad, "raw", file.size(bad))[seq_len(file.size(bad) %/% 2)], bad)
  sum0 <- tools::md5sum(out)
  for (f in c(out, file.path(dir, "r.vrt")))
    expect_error(suppressWarnings(orvel_terrain(terra::rast(bad), tiles = 10, filename = f,
                                                overwrite = TRUE)),
                 "tile [0-9]+ of 35 \\(rows [0-9]+-[0-9]+, columns [0-9]+-[0-9]+\\) failed")
  expect_identical(left(dir), "r.tif")
  expect_identical(tools::md5sum(out), sum0)
  expect_same(orvel_terrain(x, tiles = 10, filename = out, overwrite = TRUE), single)
})

test_that("an interrupt leaves nothing under filename", {
  skip_on_os("windows")
  skip_if(valgrind)
  dir <- local_dir()
  old <- future::plan(future::sequential)
  on.exit(future::plan(old), add = TRUE)
  f <- file.path(dir, "dem-big.tif")
  terra::writeRaster(terra::rast(matrix(0, 1500, 1500)), f)
  x <- terra::rast(f)
  out <- file.path(dir, "a.vrt")
  t <- system.time(orvel_fit(x, tiles = 500, filename = out))[["elapsed"]]
  unlink(c(out, file.path(dir, "a_tiles")), recursive = TRUE)
  system(sprintf("(sleep %.3f; kill -INT %d)", t / 4, Sys.getpid()), wait = FALSE)
  finished <- FALSE
  hit <- tryCatch({
    orvel_fit(x, tiles = 500, filename = out)
    finished <- TRUE
    Sys.sleep(t + 1)
    FALSE
  }, interrupt = function(e) TRUE, error = function(e) TRUE)
  expect_true(hit)
  expect_false(finished)
  expect_identical(left(dir), character())
})

test_that("a tiles folder is replaced only when it is an earlier result's, never emptied before the end", {
  dir <- local_dir()
  x <- tile_dem(dir)
  old <- future::plan(future::sequential)
  on.exit(future::plan(old), add = TRUE)
  snap <- function() tools::md5sum(sort(list.files(dir, recursive = TRUE, full.names = TRUE,
                                                   all.files = TRUE)))
  # An earlier result's folder without overwrite: refused, untouched.
  res <- file.path(dir, "res.vrt")
  orvel_fit(x, tiles = 20, filename = res)
  unlink(res)
  before <- snap()
  expect_error(orvel_fit(x, tiles = 20, filename = res), "res_tiles.*exists.*overwrite = TRUE")
  expect_identical(snap(), before)
  # The input raster lives in the folder: refused even with overwrite.
  inside <- file.path(dir, "in.vrt")
  dir.create(file.path(dir, "in_tiles"))
  file.copy(terra::sources(x), file.path(dir, "in_tiles", "tile_00001_00001.tif"))
  y <- terra::rast(file.path(dir, "in_tiles", "tile_00001_00001.tif"))
  before <- snap()
  expect_error(orvel_fit(y, tiles = 20, filename = inside, overwrite = TRUE),
               "holds a file `z` reads")
  expect_identical(snap(), before)
  # A plain file where the folder goes: refused before any work, the
  # earlier VRT kept.
  writeLines("mine", file.path(dir, "p_tiles"))
  writeLines("mine too", file.path(dir, "p.vrt"))
  before <- snap()
  expect_error(orvel_fit(x, tiles = 20, filename = file.path(dir, "p.vrt"), overwrite = TRUE),
               "p_tiles.*is a file")
  expect_identical(snap(), before)
  # An earlier result with overwrite: replaced, with no tile of it left.
  orvel_fit(x, tiles = 20, filename = res, overwrite = TRUE)
  got <- orvel_terrain(x, tiles = 30, filename = res, overwrite = TRUE)
  expect_same(got, orvel_terrain(x))
  expect_length(list.files(file.path(dir, "res_tiles")), 2 * 3)
  expect_identical(grep("^[.]", list.files(dir, all.files = TRUE, no.. = TRUE), value = TRUE),
                   character())
})

test_that("tiles give the single-process bits for scaled, flagged and west-running rasters, with its warnings", {
  dir <- local_dir()
  x <- tile_dem(dir)
  old <- future::plan(future::sequential)
  on.exit(future::plan(old), add = TRUE)
  # Scale and offset, a missing-value flag, and both, set in this session.
  f <- terra::sources(x)
  flag <- terra::values(x)[100]
  scaled <- terra::rast(f)
  terra::scoff(scaled) <- cbind(2, 1)
  flagged <- terra::rast(f)
  terra::NAflag(flagged) <- flag
  both <- terra::rast(f)
  terra::NAflag(both) <- flag
  terra::scoff(both) <- cbind(0.5, -3)
  expect_identical(sum(is.na(terra::values(flagged))), sum(is.na(terra::values(x))) + 1L)
  for (y in list(scaled, flagged, both)) {
    single <- orvel_fit(y, na.rm = TRUE)
    for (kind in c("vrt", "tif"))
      expect_same(orvel_fit(y, na.rm = TRUE, tiles = c(10, 17),
                            filename = file.path(dir, paste0("s.", kind)), overwrite = TRUE),
                  single, info = kind)
  }
  # Columns that run west (a negative x resolution).
  v <- file.path(dir, "west.vrt")
  writeLines(c(sprintf('<VRTDataset rasterXSize="%d" rasterYSize="%d">', terra::ncol(x), terra::nrow(x)),
               sprintf("<GeoTransform>%.17g, -7.5, 0, %.17g, 0, -11</GeoTransform>",
                       terra::xmax(x), terra::ymax(x)),
               '<VRTRasterBand dataType="Float64" band="1"><SimpleSource>',
               sprintf('<SourceFilename relativeToVRT="0">%s</SourceFilename>', f),
               "<SourceBand>1</SourceBand></SimpleSource></VRTRasterBand></VRTDataset>"), v)
  w <- terra::rast(v)
  expect_lt(terra::xres(w), 0)
  single <- orvel_terrain(w, c("slope", "aspect", "dzdx"), se = TRUE)
  for (kind in c("vrt", "tif")) {
    got <- orvel_terrain(w, c("slope", "aspect", "dzdx"), se = TRUE, tiles = c(12, 20),
                         filename = file.path(dir, paste0("w.", kind)))
    expect_same(got, single, info = kind)
    expect_identical(as.vector(terra::ext(got)), as.vector(terra::ext(single)), info = kind)
    expect_identical(terra::res(got), terra::res(single), info = kind)
    expect_true(terra::compareGeom(got, single, crs = TRUE, ext = FALSE, rowcol = TRUE, res = FALSE), info = kind)
  }
  # Values so large that sums overflow: the warning of one process.
  big <- x * (2^1021 / terra::global(abs(x), "max", na.rm = TRUE)[[1]])
  msg <- tryCatch(orvel_fit(big), warning = conditionMessage)
  expect_match(msg, "are not finite although every value in their windows is")
  expect_warning(orvel_fit(big, tiles = 20, filename = file.path(dir, "big.tif")), msg,
                 fixed = TRUE)
})

test_that("a dead worker is named by its own tile; every input class gives workers one thread", {
  dir <- local_dir()
  x <- tile_dem(dir)
  old <- future::plan(future::sequential)
  on.exit(future::plan(old), add = TRUE)
  # The threads each tile is fitted on, whatever the input's class.
  seen <- integer()
  op <- options(orvel.tile_work = function(job) {
    seen <<- c(seen, job$req$threads)
    orvel:::.orvel_tile_work(job)
  })
  inputs <- list(SpatRaster = x)
  if (requireNamespace("stars", quietly = TRUE)) inputs$stars <- stars::st_as_stars(x)
  if (requireNamespace("raster", quietly = TRUE)) inputs$RasterLayer <- raster::raster(x)
  for (cls in names(inputs)) {
    for (given in c(FALSE, TRUE)) {
      seen <- integer()
      f <- file.path(dir, sprintf("%s-%d.vrt", cls, given))
      suppressMessages(if (given) orvel_fit(inputs[[cls]], tiles = 24, filename = f, threads = 2)
                       else orvel_terrain(inputs[[cls]], tiles = 24, filename = f))
      expect_identical(seen, rep(if (given) 2L else 1L, 2 * 3), info = paste(cls, given))
    }
  }
  options(op)
  skip_if(valgrind)
  # A worker that dies on the first tile while others are handed out: the
  # call names that tile, not the one being handed out when it is found.
  op <- options(orvel.tile_work = function(job) {
    if (job$rows[1] == 1 && job$cols[1] == 1) tools::pskill(Sys.getpid(), tools::SIGKILL)
    orvel:::.orvel_tile_work(job)
  })
  on.exit(options(op), add = TRUE)
  future::plan(future::multisession, workers = 2)
  expect_error(orvel_fit(x, tiles = 10, filename = file.path(dir, "dead.tif")),
               "tile 1 of 35 \\(rows 1-10, columns 1-10\\) failed")
  future::plan(future::sequential)
})
