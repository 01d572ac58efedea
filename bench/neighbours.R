# TPI, TRI, roughness and flowdir of a large projected elevation raster:
# orvel_terrain() against terra::terrain(), which computes the same four
# layers from the same 3 x 3 neighbourhoods (and leaves the outer ring NA).
# Runs alternate within one session; the medians, the median of the
# per-run ratios and the largest differences inside the raster are printed.
#
#   R CMD INSTALL -l /tmp/rlib rpkg
#   R_LIBS=/tmp/rlib Rscript bench/neighbours.R [n] [reps]   (default 2000 x 2000, 5 runs)
library(orvel)
args <- commandArgs(trailingOnly = TRUE)
n <- if (length(args) >= 1L) as.integer(args[1]) else 2000L
reps <- if (length(args) >= 2L) as.integer(args[2]) else 5L

# A hilly surface with noise (no two drops tie) on 10 m x 12.5 m cells.
set.seed(1)
x <- terra::rast(nrows = n, ncols = n, xmin = 500000, xmax = 500000 + n * 10,
                 ymin = 4e6, ymax = 4e6 + n * 12.5, crs = "EPSG:32633")
i <- seq_len(n)
terra::values(x) <- as.vector(outer(300 * sin(i / 170) + i * 0.2, 200 * cos(i / 230), "+")) +
  stats::runif(n * n, 0, 2)
invisible(gc())

v <- c("TPI", "TRI", "roughness", "flowdir")
time <- function(f) { invisible(gc()); system.time(f())[["elapsed"]] }
t_orvel <- t_orvel1 <- t_terra <- numeric(reps)
for (r in seq_len(reps)) {
  t_terra[r] <- time(function() tt <<- terra::terrain(x, v))
  t_orvel[r] <- time(function() oo <<- orvel_terrain(x, v))
  t_orvel1[r] <- time(function() orvel_terrain(x, v, threads = 1))
}
inner <- function(r) terra::as.matrix(r, wide = TRUE)[2:(n - 1), 2:(n - 1)]
cat(sprintf("%d x %d cells, %d runs, medians (s)\n", n, n, reps))
cat(sprintf("  terra::terrain(x, v)                   %.3f\n", median(t_terra)))
cat(sprintf("  orvel_terrain(x, v), %d threads         %.3f\n", orvel_threads(), median(t_orvel)))
cat(sprintf("  orvel_terrain(x, v), 1 thread           %.3f\n", median(t_orvel1)))
cat(sprintf("  orvel / terra: median of per-run ratios %.2f (1 thread %.2f)\n",
            median(t_orvel / t_terra), median(t_orvel1 / t_terra)))
for (k in v)
  cat(sprintf("  %-9s largest difference from terra inside: %g\n", k,
              max(abs(inner(oo[[k]]) - inner(tt[[k]])))))
