# Ctrl-C: a SIGINT during a fit, a CV, a selection or a raster run returns
# control to R at once, and the next call works. Under valgrind (which
# tools/valgrind-r.sh runs with ORVEL_VALGRIND set) the grids are small,
# rasters are left out (terra and GDAL are not under test there), and only
# what is released is checked, not the time.

skip_on_os("windows")
valgrind <- nzchar(Sys.getenv("ORVEL_VALGRIND"))

# Evaluates `expr` with a SIGINT sent to this process `after` seconds in;
# returns whether it was interrupted and how long after the signal it
# returned. (The sender runs in a subshell in the background: system()
# ignores SIGINT while it waits, so the signal must not come from a
# command it waits for.)
interrupt <- function(expr, after) {
  system(sprintf("(sleep %.3f; kill -INT %d)", after, Sys.getpid()), wait = FALSE)
  t0 <- proc.time()[["elapsed"]]
  # A run that ends before the signal waits for it here, so that it never
  # reaches the code after, and counts as not interrupted.
  done <- FALSE
  hit <- tryCatch({ force(expr); done <- TRUE; Sys.sleep(after + 30); FALSE },
                  interrupt = function(e) TRUE)
  list(hit = hit && !done, seconds = proc.time()[["elapsed"]] - t0 - after)
}

# A grid of zeros, 1000 rows, on which f takes about `seconds` (the time a
# node takes measured on two small grids, after a first call that loads
# what f needs, so that a call's fixed cost does not count), of at most
# `cap` nodes.
sized <- function(f, seconds, cap) {
  f(matrix(0, 10, 10))
  w <- if (valgrind) 20 else 250
  t1 <- system.time(f(matrix(0, 1000, w)))[["elapsed"]]
  t3 <- system.time(f(matrix(0, 1000, 3 * w)))[["elapsed"]]
  per <- max((t3 - t1) / (2000 * w), t3 / (3000 * w) / 4, 1e-9)
  matrix(0, 1000, ceiling(min(cap, seconds / per) / 1000))
}

test_that("a SIGINT stops fits, CV, selection and raster runs at once", {
  runs <- list(
    cv = function(z) orvel_cv(z, threads = 1),
    fit = function(z) orvel_fit(z, threads = 2),
    select = function(z)
      suppressWarnings(orvel_select(z, bandwidths = seq(1, 3, length.out = 10), threads = 2)),
    # a wide window that is not a product of two: seconds of work for a
    # few hundred columns
    wide = function(z) orvel_fit(z, suppressMessages(orvel_kernel("uniform", 50, size = 101)), degree = 2,
                                 threads = 2))
  caps <- c(cv = 2e8, fit = 1e8, select = 1e8, wide = 2e7, terrain = 5e7)
  # The raster run writes a file (terra's own assembly of a large result
  # in memory is one step that it does not interrupt); the interrupted run
  # leaves nothing in the folder, and `z` is a raster before the clock starts.
  dir <- tempfile("interrupt")
  dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE), add = TRUE)
  if (!valgrind && requireNamespace("terra", quietly = TRUE))
    runs$terrain <- function(z) {
      if (is.matrix(z)) z <- terra::rast(z)
      unlink(file.path(dir, "t.tif"))
      orvel_terrain(z, threads = 2, filename = file.path(dir, "t.tif"))
    }
  for (r in names(runs)) {
    z <- sized(runs[[r]], if (valgrind) 4 else 2, caps[[r]])
    if (r == "terrain") z <- terra::rast(z)
    got <- interrupt(runs[[r]](z), after = if (valgrind) 1 else 0.2)
    expect_true(got[["hit"]], info = r)
    if (!valgrind) expect_lt(got[["seconds"]], 0.5, label = r)
    expect_identical(list.files(dir, all.files = TRUE, no.. = TRUE), character(), info = r)
    rm(z)
    expect_identical(orvel_fit(volcano, threads = 2)$F, orvel_fit(volcano, threads = 1)$F)
  }
})
