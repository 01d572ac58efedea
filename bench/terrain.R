# Slope and aspect of a large projected elevation raster: orvel_terrain() with
# Horn's kernel against terra::terrain(), which computes the same values with
# a 3 x 3 difference (and leaves the outer ring NA); and slope, aspect,
# profile and plan curvature from a quadratic on a 7 x 7 Gaussian window
# against the same terra call. Runs alternate within one session; the
# medians and their ratio are printed, with the largest differences from
# terra inside the raster, and the time terra takes just to take in a
# two-layer result of that size (which both pay).
#
#   R CMD INSTALL -l /tmp/rlib rpkg
#   R_LIBS=/tmp/rlib Rscript bench/terrain.R [n] [reps]    (default 3000 x 3000, 7 runs)
library(orvel)
args <- commandArgs(trailingOnly = TRUE)
n <- if (length(args) >= 1L) as.integer(args[1]) else 3000L
reps <- if (length(args) >= 2L) as.integer(args[2]) else 7L

# A hilly surface with noise on 10 m x 12.5 m cells, in UTM coordinates.
set.seed(1)
x <- terra::rast(nrows = n, ncols = n, xmin = 500000, xmax = 500000 + n * 10,
                 ymin = 4e6, ymax = 4e6 + n * 12.5, crs = "EPSG:32633")
i <- seq_len(n)
terra::values(x) <- as.vector(outer(300 * sin(i / 170) + i * 0.2, 200 * cos(i / 230), "+")) +
  stats::runif(n * n, 0, 2)
invisible(gc())

horn <- orvel_kernel("horn")
v <- c("slope", "aspect")
time <- function(f) { invisible(gc()); system.time(f())[["elapsed"]] }
# What any in-memory result of two layers costs before a single value is
# computed: terra's writeValues() of zeros, in terra's blocks, as
# orvel_terrain() hands its results over.
write_only <- function() {
  out <- terra::rast(x, nlyrs = 2L)
  b <- terra::writeStart(out, filename = "", datatype = "FLT8S")
  for (k in seq_len(b$n))
    terra::writeValues(out, numeric(b$nrows[k] * n * 2), b$row[k], b$nrows[k])
  terra::writeStop(out)
}
vc <- c("slope", "aspect", "profile_curvature", "plan_curvature")
t_orvel <- t_orvel1 <- t_terra <- t_fit <- t_write <- t_curv <- numeric(reps)
for (r in seq_len(reps)) {
  t_orvel[r] <- time(function() orvel_terrain(x, v, kernel = horn))
  t_orvel1[r] <- time(function() orvel_terrain(x, v, kernel = horn, threads = 1))
  t_terra[r] <- time(function() terra::terrain(x, v = v))
  t_fit[r] <- time(function() orvel_fit(x, horn))
  t_write[r] <- time(write_only)
  t_curv[r] <- time(function() orvel_terrain(x, vc, kernel = "gaussian"))
}

a <- orvel_terrain(x, v, kernel = horn, unit = "radians")
b <- terra::terrain(x, v = v, unit = "radians")
inside <- !is.na(terra::values(b$slope))
da <- abs(terra::values(a$aspect) - terra::values(b$aspect))
da <- pmin(da, 2 * pi - da)

cat(sprintf("raster %d x %d, %s; %d runs, medians\n", n, n, R.version.string, reps))
cat(sprintf("orvel_terrain(x, c(\"slope\", \"aspect\"), kernel = \"horn\"):               %.3f s (%d threads)\n",
            median(t_orvel), getOption("orvel.threads", orvel_threads())))
cat(sprintf("the same on one thread:                                            %.3f s\n",
            median(t_orvel1)))
cat(sprintf("terra::terrain(x, v = c(\"slope\", \"aspect\")):                      %.3f s\n",
            median(t_terra)))
cat(sprintf("orvel_fit(x, orvel_kernel(\"horn\")) (smooth, dzdx, dzdy):           %.3f s\n",
            median(t_fit)))
cat(sprintf("terra writing two layers of zeros in the same blocks:              %.3f s\n",
            median(t_write)))
cat(sprintf("orvel_terrain(x, c(\"slope\", \"aspect\", \"profile_curvature\", \"plan_curvature\"),\n              kernel = \"gaussian\") (degree 2, 7 x 7):     %.3f s, %.2f x terra's slope and aspect\n",
            median(t_curv), median(t_curv) / median(t_terra)))
cat("orvel_terrain runs:", sprintf("%.3f", t_orvel), "\nterra::terrain runs:", sprintf("%.3f", t_terra), "\n")
cat(sprintf("orvel / terra: %.2f (median of the per-run ratios %.2f)\n",
            median(t_orvel) / median(t_terra), median(t_orvel / t_terra)))
cat(sprintf("largest difference from terra, radians: slope %.2g, aspect %.2g; orvel NA cells: %d\n",
            max(abs(terra::values(a$slope) - terra::values(b$slope))[inside]), max(da[inside]),
            sum(!is.finite(terra::values(a)))))
