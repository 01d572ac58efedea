# Slope and aspect of a large elevation raster, larger than is wise to hold
# in memory, in one process against tiles on future workers.
#
# Makes a float32 GeoTIFF of n x n cells (20000 x 20000 by default, about
# 1.6 GB) in `dir` if it is not there, then runs in fresh R processes, one
# after another:
#   single     orvel_terrain(x, c("slope", "aspect")) in one process;
#   tiles      the same with tiles = c(tile, tile) on plan(multisession,
#              workers = 2), written as a VRT over GeoTIFF tiles;
#   small      the tiled run on the n/4 x n/4 top-left corner, to show what
#              a worker's memory does when the raster grows;
# each printing its time, the peak resident memory of the R session
# (VmHWM) and, for tiles, each worker's. Results are float32 (wopt) to
# halve the disk they take. The tiled result is checked against the
# single-process one on the rows and columns that border tiles.
#
#   R CMD INSTALL -l /tmp/rlib rpkg
#   R_LIBS=/tmp/rlib Rscript bench/tiles.R [n] [tile] [dir]   (20000, 2048, tempdir())
args <- commandArgs(trailingOnly = TRUE)
if (length(args) >= 1L && args[1L] == "run") {
  # One measured run: Rscript bench/tiles.R run <what> <input> <output> <tile>
  suppressPackageStartupMessages(library(orvel))
  what <- args[2L]
  x <- terra::rast(args[3L])
  peak <- function(pid) {
    s <- readLines(sprintf("/proc/%d/status", pid))
    as.numeric(sub("[^0-9]*([0-9]+).*", "\\1", grep("^VmHWM", s, value = TRUE))) / 2^20
  }
  v <- c("slope", "aspect")
  wopt <- list(datatype = "FLT4S")
  if (what == "single") {
    t <- system.time(orvel_terrain(x, v, filename = args[4L], overwrite = TRUE,
                                   wopt = wopt))[["elapsed"]]
    workers <- numeric()
  } else {
    if (what == "small") {
      n4 <- terra::nrow(x) %/% 4
      x <- terra::rast(args[3L])[1:n4, 1:n4, drop = FALSE]   # in memory: written out first
      x <- terra::writeRaster(x, sub("[.]vrt$", "-in.tif", args[4L]), overwrite = TRUE,
                              wopt = wopt)
    }
    future::plan(future::multisession, workers = 2)
    # Both workers started, with orvel and terra loaded, before the clock
    # starts: two futures at once, each held a second.
    warm <- function() future::future({ Sys.sleep(1); loadNamespace("terra"); loadNamespace("orvel") },
                                      seed = NULL)
    invisible(future::value(list(warm(), warm())))
    tile <- as.numeric(args[5L])
    t <- system.time(orvel_terrain(x, v, filename = args[4L], overwrite = TRUE, wopt = wopt,
                                   tiles = c(tile, tile)))[["elapsed"]]
    # Each worker's peak: two futures at once, each held a second, so that
    # both workers answer.
    ask <- function() future::future({ Sys.sleep(1); c(Sys.getpid(), peak(Sys.getpid())) },
                                     globals = list(peak = peak), seed = NULL)
    w <- future::value(list(ask(), ask()))
    workers <- vapply(w, `[`, 0, 2L)
    stopifnot(length(unique(vapply(w, `[`, 0, 1L))) == 2L)
  }
  cat(sprintf("\nRESULT %s %.1f %.3f %s\n", what, t, peak(Sys.getpid()),
              paste(sprintf("%.3f", workers), collapse = ",")))
  quit(save = "no")
}

n <- if (length(args) >= 1L) as.integer(args[1L]) else 20000L
tile <- if (length(args) >= 2L) as.integer(args[2L]) else 2048L
dir <- if (length(args) >= 3L) args[3L] else tempdir()
input <- file.path(dir, sprintf("dem-%d.tif", n))
suppressPackageStartupMessages(library(orvel))
if (!file.exists(input)) {
  # A hilly surface with noise on 10 m cells, written block by block.
  x <- terra::rast(nrows = n, ncols = n, xmin = 500000, xmax = 500000 + n * 10,
                   ymin = 4e6, ymax = 4e6 + n * 10, crs = "EPSG:32633")
  b <- terra::writeStart(x, input, wopt = list(datatype = "FLT4S"))
  j <- seq_len(n)
  set.seed(1)
  for (k in seq_len(b$n)) {
    i <- b$row[k] + seq_len(b$nrows[k]) - 1
    z <- outer(300 * sin(i / 1700) + i * 0.02, 200 * cos(j / 2300) + 50 * sin(j / 97), "+")
    terra::writeValues(x, as.vector(t(z)) + stats::runif(length(z), 0, 2), b$row[k], b$nrows[k])
  }
  invisible(terra::writeStop(x))
}
cat(sprintf("%s; %s; %d x %d float32 GeoTIFF (%.2f GB), tiles of %d x %d, 2 cores\n",
            R.version.string, format(Sys.time()), n, n, file.size(input) / 1e9, tile, tile))
run <- function(what, out) {
  r <- system2(file.path(R.home("bin"), "Rscript"),
               c("bench/tiles.R", "run", what, input, out, tile), stdout = TRUE)
  f <- strsplit(grep("^RESULT ", r, value = TRUE), " ")[[1L]][-1L]
  w <- if (length(f) > 3L) as.numeric(strsplit(f[4L], ",")[[1L]]) else numeric()
  cat(sprintf("%-7s %7.1f s   R session peak %6.2f GB   workers' peaks %s GB\n", what,
              as.numeric(f[2L]), as.numeric(f[3L]),
              if (length(w)) paste(sprintf("%.2f", w), collapse = ", ") else "-"))
}
single <- file.path(dir, "slope-single.tif")
tiled <- file.path(dir, "slope-tiles.vrt")
run("single", single)
run("tiles", tiled)
run("small", file.path(dir, "slope-small.vrt"))

# The tiled result against the single process's on the rows either side
# of every tile border and on a band of 64 rows (which crosses every
# border between tile columns).
a <- terra::rast(single)
b <- terra::rast(tiled)
at <- sort(unique(pmin(n, pmax(1, c(outer(seq(tile, n, by = tile), -1:2, "+"))))))
same <- all(vapply(at, function(r) identical(terra::values(a, row = r, nrows = 1),
                                             terra::values(b, row = r, nrows = 1)), NA))
band <- min(n - 63, tile %/% 2)
same <- same && identical(terra::values(a, row = band, nrows = 64),
                          terra::values(b, row = band, nrows = 64))
cat(sprintf("tiled = single process, bit for bit, on the %d rows by tile borders and rows %d-%d: %s\n",
            length(at), band, band + 63, same))
