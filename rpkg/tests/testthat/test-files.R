# Results written to files: nothing the user has is touched but the result
# asked for, in one process and in tiles. The input's files (through links,
# band subsets and VRTs) are never a target; a failed or interrupted run
# leaves an earlier result as it was and nothing of its own; two calls never
# write one target.

skip_if_not_installed("terra")
valgrind <- nzchar(Sys.getenv("ORVEL_VALGRIND"))
skip_if(valgrind)   # terra and GDAL's file handling are not under test there

# A fresh folder, removed when the calling test ends.
fresh_dir <- function(env = parent.frame()) {
  d <- tempfile("orvel-files")
  dir.create(d)
  do.call(on.exit, list(substitute(unlink(d, recursive = TRUE), list(d = d)), add = TRUE),
          envir = env)
  normalizePath(d)
}
# A noisy hill of nr x nc cells written to `f` (64-bit; `layers` copies).
hill <- function(f, nr = 30, nc = 41, layers = 1) {
  z <- outer(1:nr, 1:nc, function(i, j) 30 * sin(i / 5) * cos(j / 7)) +
    matrix(stats::rnorm(nr * nc), nr)
  x <- terra::rast(z, extent = terra::ext(0, nc * 10, 0, nr * 10), crs = "EPSG:32633")
  if (layers > 1) x <- c(x, x * 2)
  terra::writeRaster(x, f, overwrite = TRUE, wopt = list(datatype = "FLT8S"))
  terra::rast(f)
}
# Every file under `dir` with its checksum (folders as "dir"), to tell that
# nothing changed.
snapshot <- function(dir) {
  f <- list.files(dir, all.files = TRUE, recursive = TRUE, include.dirs = TRUE, no.. = TRUE)
  full <- file.path(dir, f)
  sums <- rep("dir", length(f))
  sums[!dir.exists(full)] <- unname(tools::md5sum(full[!dir.exists(full)]))
  stats::setNames(sums, f)
}
plans <- function() {
  if (!requireNamespace("future", quietly = TRUE)) return(list(NULL))
  list(NULL, 10)
}

test_that("no result is written over a file the input reads: directly, by a link, a band, a VRT", {
  dir <- fresh_dir()
  old <- if (requireNamespace("future", quietly = TRUE)) future::plan(future::sequential)
  on.exit(if (!is.null(old)) future::plan(old), add = TRUE)
  f <- file.path(dir, "dem.tif")
  x <- hill(f)
  two <- hill(file.path(dir, "two.tif"), layers = 2)
  file.symlink(f, file.path(dir, "link.tif"))
  v <- file.path(dir, "dem.vrt")
  terra::vrt(f, v)
  nested <- file.path(dir, "nested.vrt")
  terra::vrt(v, nested)
  before <- snapshot(dir)
  cases <- list(list(x, f), list(x, file.path(dir, "link.tif")), list(two[[2]], file.path(dir, "two.tif")),
                list(terra::rast(v), f), list(terra::rast(v), v),
                list(terra::rast(nested), f), list(terra::rast(file.path(dir, "link.tif")), f))
  for (tiles in plans()) {
    for (i in seq_along(cases)) {
      info <- paste(i, if (is.null(tiles)) "one process" else "tiles")
      to <- cases[[i]][[2]]
      expect_error(orvel_fit(cases[[i]][[1]], filename = to, overwrite = TRUE, tiles = tiles),
                   "is a file `z` reads", info = info)
      expect_error(orvel_terrain(cases[[i]][[1]], filename = to, overwrite = TRUE, tiles = tiles),
                   "is a file `x` reads", info = info)
      expect_identical(snapshot(dir), before, info = info)
    }
  }
  # The same input to another file works.
  expect_identical(terra::values(orvel_fit(x, filename = file.path(dir, "out.tif"))),
                   terra::values(orvel_fit(x)))
})

test_that("a failed run leaves an earlier result as it was and nothing of its own; overwrite replaces", {
  dir <- fresh_dir()
  x <- hill(file.path(dir, "dem.tif"))
  out <- file.path(dir, "out.tif")
  first <- orvel_terrain(x, filename = out)
  # A file whose second half cannot be read: the run fails after its first
  # blocks are written.
  bad <- file.path(dir, "cut.tif")
  terra::writeRaster(x, bad, wopt = list(datatype = "FLT8S", gdal = "BLOCKYSIZE=2"))
  writeBin(readBin(bad, "raw", file.size(bad))[seq_len(file.size(bad) %/% 2)], bad)
  before <- snapshot(dir)
  op <- options(orvel.block_cells = 41 * 2)
  expect_error(suppressWarnings(orvel_terrain(terra::rast(bad), filename = out,
                                              overwrite = TRUE)))
  options(op)
  expect_identical(snapshot(dir), before)
  expect_identical(terra::values(terra::rast(out)), terra::values(first))
  # Without overwrite an existing result (or its .aux.xml alone) is refused
  # before any work; with it, the new result replaces it, and an earlier
  # .aux.xml the new one lacks goes with it.
  expect_error(orvel_fit(x, filename = out), "exists: use `overwrite = TRUE`")
  writeLines("<PAMDataset/>", file.path(dir, "new.tif.aux.xml"))
  expect_error(orvel_fit(x, filename = file.path(dir, "new.tif")), "new.tif.aux.xml")
  got <- orvel_fit(x, filename = out, overwrite = TRUE)
  expect_identical(terra::values(terra::rast(out)), terra::values(orvel_fit(x)))
  expect_identical(names(terra::rast(out)), c("smooth", "dzdx", "dzdy"))
  expect_identical(terra::sources(got), out)
  expect_identical(sort(list.files(dir, all.files = TRUE, no.. = TRUE)),
                   sort(c("cut.tif", "dem.tif", "new.tif.aux.xml", "out.tif")))
  # Folders that do not exist or are files, and a target that is a folder.
  expect_error(orvel_fit(x, filename = file.path(dir, "no", "a.tif")), "does not exist")
  expect_error(orvel_fit(x, filename = dir, overwrite = TRUE), "is a folder")
})

test_that("an interrupted run leaves an earlier result as it was and nothing of its own", {
  skip_on_os("windows")
  dir <- fresh_dir()
  f <- file.path(dir, "big.tif")
  terra::writeRaster(terra::rast(matrix(stats::rnorm(1200 * 1200), 1200)), f,
                     wopt = list(datatype = "FLT8S"))
  x <- terra::rast(f)
  out <- file.path(dir, "out.tif")
  op <- options(orvel.block_cells = 1200 * 50)
  on.exit(options(op), add = TRUE)
  k <- orvel_kernel("gaussian", 3)
  t <- system.time(first <- orvel_fit(x, k, degree = 2, filename = out, threads = 1))[["elapsed"]]
  before <- snapshot(dir)
  system(sprintf("(sleep %.3f; kill -INT %d)", t / 3, Sys.getpid()), wait = FALSE)
  finished <- FALSE
  hit <- tryCatch({
    orvel_fit(x, k, degree = 2, filename = out, overwrite = TRUE, threads = 1)
    finished <- TRUE
    Sys.sleep(t + 1)
    FALSE
  }, interrupt = function(e) TRUE, error = function(e) grepl("interrupt", conditionMessage(e)))
  expect_true(hit)
  expect_false(finished)
  expect_identical(snapshot(dir), before)
})

test_that("two calls never write one target: a live writer's lock is refused, a dead one's taken over", {
  skip_on_os("windows")
  dir <- fresh_dir()
  x <- hill(file.path(dir, "dem.tif"))
  out <- file.path(dir, "out.tif")
  lock <- file.path(dir, ".out.tif.lock")
  # Another process of this machine (a child of this one, so that it is
  # reaped when it ends) holds the lock while it runs.
  holder <- parallel::mcparallel(Sys.sleep(30))
  pid <- holder$pid
  on.exit(tools::pskill(pid), add = TRUE)
  dir.create(lock)
  writeLines(c(paste("host:", Sys.info()[["nodename"]]), paste("pid:", pid), "time: now"),
             file.path(lock, "owner"))
  before <- snapshot(dir)
  expect_error(orvel_fit(x, filename = out), sprintf("being written by another call.*pid: %d", pid))
  if (requireNamespace("future", quietly = TRUE)) {
    old <- future::plan(future::sequential)
    on.exit(future::plan(old), add = TRUE)
    expect_error(orvel_fit(x, filename = out, tiles = 10), "being written by another call")
  }
  expect_identical(snapshot(dir), before)
  # Once that process has ended its lock is stale: the call takes it over,
  # writes its result and leaves no lock.
  tools::pskill(pid)
  suppressWarnings(parallel::mccollect(holder))
  # (reaped by parallel's handler of SIGCHLD, which may come a moment later)
  t0 <- Sys.time()
  while (isTRUE(tools::pskill(pid, 0L)) && Sys.time() - t0 < 30) Sys.sleep(0.05)
  expect_identical(terra::values(orvel_fit(x, filename = out)), terra::values(orvel_fit(x)))
  expect_false(file.exists(lock))
  # A real second session: it holds the lock while it writes, and this call
  # meanwhile fails rather than return the other's result as its own.
  slow <- file.path(dir, "slow.tif")
  terra::writeRaster(terra::rast(matrix(stats::rnorm(1500 * 1500), 1500)), slow,
                     wopt = list(datatype = "FLT8S"))
  script <- file.path(dir, "other.R")
  writeLines(c("library(orvel)",
               sprintf("orvel_fit(terra::rast('%s'), orvel_kernel('gaussian', 4), degree = 2, filename = '%s', overwrite = TRUE, threads = 1)",
                       slow, out)), script)
  system2(file.path(R.home("bin"), "Rscript"), script, wait = FALSE, stdout = FALSE, stderr = FALSE,
          env = paste0("R_LIBS=", paste(.libPaths(), collapse = ":")))
  t0 <- Sys.time()
  while (!file.exists(lock) && Sys.time() - t0 < 60) Sys.sleep(0.05)
  expect_true(file.exists(lock))
  expect_error(orvel_fit(x, filename = out, overwrite = TRUE), "being written by another call")
  while (file.exists(lock) && Sys.time() - t0 < 300) Sys.sleep(0.1)
  expect_equal(dim(terra::rast(out)), c(1500, 1500, 6))
})
