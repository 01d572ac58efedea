# The path from R to the engines, against its peers, in one run: the ratios
# the package promises for terrain, fits, standard errors, missing values
# and tiles. Medians of `reps` runs, alternating within each comparison.
#
#   make rpkg-install && R_LIBS=build/rlib Rscript bench/bridge.R [reps [part ...]]
#   (default 5 runs; parts terrain, fit, tiles: all three)
#
# terrain   orvel_terrain() on an in-memory 3000 x 3000 raster: Horn slope +
#           aspect against terra::terrain()'s; slope, aspect, profile and
#           plan curvature from a 7 x 7 quadratic against terra's slope +
#           aspect; the latter with se = TRUE against itself without.
# fit       orvel_fit() of a 4000 x 4000 matrix against the same fit written
#           into outputs already mapped; se = TRUE against the fit; na.rm =
#           TRUE with 5% of the nodes missing in clusters against the
#           complete grid.
# tiles     a 3000 x 3000 GeoTIFF stored in 256 x 256 tiles: tiles = c(1500,
#           1500) on two multisession workers of one thread each against one
#           process of two threads, both writing a GeoTIFF; with where the
#           tiled run's time goes.
suppressPackageStartupMessages(library(orvel))
args <- commandArgs(trailingOnly = TRUE)
reps <- if (length(args)) as.integer(args[1]) else 5L
parts <- if (length(args) > 1L) args[-1L] else c("terrain", "fit", "tiles")
med <- function(f) {
  t <- vapply(seq_len(reps), function(i) { invisible(gc()); system.time(f())[["elapsed"]] }, 0)
  median(t)
}
# Medians of a and b, run alternately.
pair <- function(a, b) {
  ta <- tb <- numeric(reps)
  for (i in seq_len(reps)) {
    invisible(gc()); ta[i] <- system.time(a())[["elapsed"]]
    invisible(gc()); tb[i] <- system.time(b())[["elapsed"]]
  }
  c(median(ta), median(tb))
}
say <- function(what, t, target)
  cat(sprintf("%-58s %7.3f s %7.3f s  ratio %.2f  (target <= %.2f)\n", what, t[1], t[2],
              t[1] / t[2], target))
cpu <- sub(".*: ", "", grep("^model name", readLines("/proc/cpuinfo"), value = TRUE)[1])
cat(sprintf("orvel %s, terra %s, R %s, %s, %d cores, ISA %s; medians of %d\n",
            packageVersion("orvel"), packageVersion("terra"), getRversion(), cpu,
            parallel::detectCores(), orvel_isa()$level, reps))
threads <- 2L

if ("terrain" %in% parts) {
n <- 3000L
set.seed(1)
x <- terra::rast(nrows = n, ncols = n, xmin = 500000, xmax = 500000 + n * 10,
                 ymin = 4e6, ymax = 4e6 + n * 12.5, crs = "EPSG:32633")
i <- seq_len(n)
terra::values(x) <- as.vector(outer(300 * sin(i / 170) + i * 0.2, 200 * cos(i / 230), "+")) +
  stats::runif(n * n, 0, 2)
v4 <- c("slope", "aspect", "profile_curvature", "plan_curvature")
g7 <- orvel_kernel("gaussian", 2, size = 7)
say("terrain: Horn slope + aspect / terra::terrain()",
    pair(function() orvel_terrain(x, threads = threads),
         function() terra::terrain(x, c("slope", "aspect"))), 0.5)
say("terrain: 7 x 7 quadratic, 4 layers / terra slope + aspect",
    pair(function() orvel_terrain(x, v4, kernel = g7, threads = threads),
         function() terra::terrain(x, c("slope", "aspect"))), 1)
say("terrain: the same with se = TRUE / without",
    pair(function() orvel_terrain(x, v4, kernel = g7, se = TRUE, threads = threads),
         function() orvel_terrain(x, v4, kernel = g7, threads = threads)), 2)
rm(x)

}

if ("fit" %in% parts) {
n <- 4000L
z <- matrix(stats::rnorm(n * n), n, n)
K <- orvel_kernel("gaussian", 1.5)
engine <- orvel:::.orvel_engine(orvel:::.orvel_model(K), FALSE, n, n)
work <- list(numeric(n * n), numeric(n * n), numeric(n * n))
mapped <- function() .Call(orvel:::C_orvel_fit_grid, engine, z, list(threads = threads, se = 0L),
                           work)
say("fit: orvel_fit() 4000 x 4000 / the fit into mapped outputs",
    pair(function() orvel_fit(z, K, threads = threads), mapped), 1.6)
say("fit: se = TRUE / without",
    pair(function() orvel_fit(z, K, se = TRUE, threads = threads),
         function() orvel_fit(z, K, threads = threads)), 1.3)
# 5% missing in clusters: discs of radius 4 nodes (49 nodes) at random
# centres, as many as make 5% of the grid.
disc <- expand.grid(dy = -4:4, dx = -4:4)
disc <- disc[disc$dy^2 + disc$dx^2 <= 16, ]
k <- ceiling(0.05 * n * n / nrow(disc))
cy <- sample(n, k, TRUE)
cx <- sample(n, k, TRUE)
iy <- pmin(n, pmax(1, rep(cy, each = nrow(disc)) + disc$dy))
ix <- pmin(n, pmax(1, rep(cx, each = nrow(disc)) + disc$dx))
zna <- z
zna[cbind(iy, ix)] <- NA
say(sprintf("fit: na.rm = TRUE, %.1f%% missing in clusters / complete", 100 * mean(is.na(zna))),
    pair(function() orvel_fit(zna, K, na.rm = TRUE, threads = threads),
         function() orvel_fit(z, K, threads = threads)), 1.5)
rm(z, zna, work)
invisible(gc())

}

if ("tiles" %in% parts && requireNamespace("future", quietly = TRUE)) {
  dir <- tempfile("orvel-bridge")
  dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE), add = TRUE)
  n <- 3000L
  x <- terra::rast(nrows = n, ncols = n, xmin = 0, xmax = n * 10, ymin = 0, ymax = n * 10,
                   crs = "EPSG:32633")
  terra::values(x) <- as.vector(outer(300 * sin(seq_len(n) / 170), 200 * cos(seq_len(n) / 230), "+"))
  src <- file.path(dir, "dem.tif")
  terra::writeRaster(x, src, wopt = list(datatype = "FLT4S", gdal = c("TILED=YES", "BLOCKXSIZE=256",
                                                                        "BLOCKYSIZE=256")))
  x <- terra::rast(src)
  old <- future::plan(future::multisession, workers = 2)
  on.exit(future::plan(old), add = TRUE)
  # The workers started (and warm) before the runs are timed.
  invisible(future::value(future::future(requireNamespace("orvel"))))
  k <- 0
  out <- function() file.path(dir, sprintf("out-%d.tif", k <<- k + 1))
  t <- pair(function() orvel_terrain(x, tiles = c(1500, 1500), filename = out()),
            function() orvel_terrain(x, filename = out(), threads = threads))
  say("tiles: 4 tiles on 2 workers / one process of 2 threads", t, 1.3)
  # Where a tiled run's time goes: a future's round trip; one tile's work
  # as a worker does it (the same call on the tile's 1500 x 1500 window, one
  # thread, a GeoTIFF written); the four tiles in this session one after
  # another with the merge (plan sequential).
  start <- med(function() future::value(future::future(NULL)))
  e <- as.vector(terra::ext(x))
  r <- terra::res(x)
  top <- terra::ext(e[["xmin"]], e[["xmin"]] + 1500 * r[1], e[["ymax"]] - 1500 * r[2], e[["ymax"]])
  one <- med(function() {
    y <- terra::crop(x, top)
    orvel_terrain(y, filename = out(), threads = 1L)
  })
  future::plan(future::sequential)
  seq_t <- med(function() orvel_terrain(x, tiles = c(1500, 1500), filename = out()))
  cat(sprintf("  a future's round trip %.3f s; one tile's read + fit + write on one thread %.3f s;\n  the four tiles in this session one after another, with the merge, %.3f s\n",
              start, one, seq_t))
}
