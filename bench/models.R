# Local quadratic fits the way R users compute them without orvel: the
# interior equivalent kernels of the weighted least-squares fit (one weight
# matrix per coefficient, the rows of (X'WX)^-1 X'W) each applied with
# terra::focal(fun = "sum"), as the MultiscaleDTM package does. Times a
# Gaussian quadratic on a 7 x 7 and on a 31 x 31 window, checks the focal
# coefficients against a direct least-squares fit at interior nodes, and,
# where this orvel has them, times orvel_fit() with `degree = 2` against the
# baseline and against its own linear fit, and with `na.rm = TRUE` on a grid
# with clusters of missing values against the same grid complete. Medians of
# several runs, alternating within one session.
#
#   make rpkg-install && R_LIBS=build/rlib Rscript bench/models.R
#   (from the repository root: the direct fit is tests/testthat/helper-wls.R)
library(orvel)
source(file.path("rpkg", "tests", "testthat", "helper-wls.R"))

n7 <- 2000L     # grid side for the 7 x 7 window: on smaller grids R's mapping
                # of the fresh results' pages weighs as much as the fit
n31 <- 500L     # and for the 31 x 31 one: focal costs ~20 s a run at 1000
reps <- 5L

cpu <- sub(".*: ", "", grep("^model name", readLines("/proc/cpuinfo"), value = TRUE)[1])
cat(sprintf("orvel %s, terra %s, R %s, %s, %d cores\n", packageVersion("orvel"),
            packageVersion("terra"), getRversion(), cpu, parallel::detectCores()))

# A smooth surface with noise.
surface <- function(n) {
  set.seed(1)
  i <- seq_len(n)
  outer(30 * sin(i / 37), 20 * cos(i / 53), "+") + matrix(rnorm(n * n), n, n)
}

# The equivalent kernels of the local polynomial of `degree` with weights K
# at a node whose whole window is inside the grid: E[[k]][dy + hy + 1,
# dx + hx + 1] is the weight of z at offset (dy, dx) in coefficient k, in
# the order 1, y, x, y^2, x*y, x^2 (y along increasing row index).
equivalent_kernels <- function(K, degree = 2) {
  h <- (dim(K) - 1) / 2
  g <- expand.grid(dy = -h[1]:h[1], dx = -h[2]:h[2])
  w <- K[cbind(g$dy + h[1] + 1, g$dx + h[2] + 1)]
  X <- cbind(1, g$dy, g$dx)
  if (degree == 2) X <- cbind(X, g$dy^2, g$dx * g$dy, g$dx^2)
  E <- solve(crossprod(X, w * X), t(w * X))
  lapply(seq_len(nrow(E)), function(k) matrix(E[k, ], nrow(K), ncol(K)))
}

# The baseline: one focal sum per coefficient. terra lays the weight matrix
# over the raster as it is printed (row 1 to the north, the raster's first
# row, as in the matrix z) and sums weights times values: a correlation,
# with no flip, so E[[k]] goes in as it is.
focal_fit <- function(r, E)
  lapply(E, function(e) terra::focal(r, w = e, fun = "sum", na.rm = FALSE))

check_focal <- function(z, K, nodes) {
  r <- terra::rast(z)
  layers <- focal_fit(r, equivalent_kernels(K))
  for (k in seq_len(nrow(nodes))) {
    iy <- nodes[k, 1]; ix <- nodes[k, 2]
    cell <- (iy - 1) * ncol(z) + ix             # terra counts cells row by row
    got <- vapply(layers, function(l) l[cell][[1]], 0)
    want <- unname(wls_coef(z, K, iy, ix, degree = 2))
    err <- max(abs(got - want) / pmax(abs(want), 1))
    if (!is.finite(err) || err > 1e-8)
      stop(sprintf("focal baseline disagrees with the direct fit at (%d, %d): %.3g", iy, ix, err))
  }
}

# Orientation first, with a lopsided kernel that shows any flip or
# transposition, then the kernels timed.
set.seed(2)
small <- matrix(rnorm(60 * 50), 60, 50)
lop <- orvel_kernel("gaussian", c(1.2, 2), size = c(7, 9)) * outer(1:7, 1:9, function(i, j) 1 + i / 3 + j^2 / 20)
check_focal(small, lop, rbind(c(10, 10), c(30, 21), c(52, 44)))
K7 <- orvel_kernel("gaussian", 1.5)                 # 7 x 7
K31 <- orvel_kernel("gaussian", 7.5)                # 31 x 31 by the default size
stopifnot(identical(dim(K31), c(31L, 31L)))
check_focal(surface(80), K31, rbind(c(20, 20), c(40, 61)))
cat("focal baseline matches the direct least-squares fit at interior nodes (7 x 9 lopsided, 31 x 31)\n")

# Seconds a call, from enough calls to take at least a fifth of a second.
time <- function(f) {
  invisible(gc())
  calls <- 0L
  t0 <- proc.time()[["elapsed"]]
  repeat {
    f()
    calls <- calls + 1L
    t <- proc.time()[["elapsed"]] - t0
    if (t >= 0.2) return(t / calls)
  }
}
has <- function(arg) arg %in% names(formals(orvel:::orvel_fit.default))
all_threads <- orvel_threads()
line <- function(what, t, cells)
  cat(sprintf("  %-52s %8.3f s  %7.2f Mcells/s\n", what, t, cells / t / 1e6))

run <- function(label, n, K, runs) {
  z <- surface(n)
  r <- terra::rast(z)
  E <- equivalent_kernels(K)
  cases <- list(focal = function() focal_fit(r, E))
  if (has("degree")) {
    cases[["orvel 1 thread"]] <- function() orvel_fit(z, K, degree = 2, threads = 1)
    cases[["orvel all threads"]] <- function() orvel_fit(z, K, degree = 2, threads = all_threads)
  }
  t <- matrix(NA_real_, runs, length(cases), dimnames = list(NULL, names(cases)))
  for (i in seq_len(runs)) for (k in names(cases)) t[i, k] <- time(cases[[k]])
  m <- apply(t, 2, median)
  cat(sprintf("\nGaussian quadratic on a %s window, grid %d x %d, medians of %d runs\n",
              label, n, n, runs))
  line(sprintf("terra::focal, %d equivalent kernels", length(E)), m[["focal"]], n * n)
  if (has("degree")) {
    line("orvel_fit(z, K, degree = 2, threads = 1)", m[["orvel 1 thread"]], n * n)
    line(sprintf("orvel_fit(z, K, degree = 2, threads = %d)", all_threads),
         m[["orvel all threads"]], n * n)
    cat(sprintf("  focal / orvel: %.1f (1 thread), %.1f (%d threads)\n",
                m[["focal"]] / m[["orvel 1 thread"]], m[["focal"]] / m[["orvel all threads"]],
                all_threads))
  } else {
    cat("  orvel side skipped: this orvel_fit() has no `degree` argument\n")
  }
}
run("7 x 7", n7, K7, 3L)
run("31 x 31", n31, K31, 3L)

# Degree 2 against degree 1 on the same kernel and grid.
z <- surface(n7)
cases <- list(`degree 1` = function() orvel_fit(z, K7))
if (has("degree")) cases[["degree 2"]] <- function() orvel_fit(z, K7, degree = 2)
t <- matrix(NA_real_, reps, length(cases), dimnames = list(NULL, names(cases)))
for (i in seq_len(reps)) for (k in names(cases)) t[i, k] <- time(cases[[k]])
m <- apply(t, 2, median)
cat(sprintf("\norvel_fit on the %d x %d grid, Gaussian 1.5 (7 x 7), %d threads, medians of %d runs\n",
            n7, n7, getOption("orvel.threads", all_threads), reps))
line("orvel_fit(z, K), degree 1", m[["degree 1"]], n7 * n7)
if (has("degree")) {
  line("orvel_fit(z, K, degree = 2)", m[["degree 2"]], n7 * n7)
  cat(sprintf("  degree 2 / degree 1 nodes per second: %.2f (wanted: at least 0.5)\n",
              m[["degree 1"]] / m[["degree 2"]]))
} else {
  cat("  degree 2 skipped: this orvel_fit() has no `degree` argument\n")
}

# Missing values in clusters: discs of random centres and radii 5 to 20
# until about 5% of a 3000 x 3000 grid is missing.
if (has("na.rm")) {
  n <- 3000L
  full <- surface(n)
  holed <- full
  set.seed(3)
  missing <- 0
  while (missing < 0.05 * n * n) {
    c0 <- sample.int(n, 2, replace = TRUE)
    rad <- stats::runif(1, 5, 20)
    rows <- max(1, c0[1] - floor(rad)):min(n, c0[1] + floor(rad))
    cols <- max(1, c0[2] - floor(rad)):min(n, c0[2] + floor(rad))
    inside <- outer((rows - c0[1])^2, (cols - c0[2])^2, "+") <= rad^2
    block <- holed[rows, cols]
    missing <- missing + sum(inside & !is.na(block))
    block[inside] <- NA
    holed[rows, cols] <- block
  }
  for (th in unique(c(1L, all_threads))) {
    cases <- list(complete = function() orvel_fit(full, K7, na.rm = TRUE, threads = th),
                  holed = function() orvel_fit(holed, K7, na.rm = TRUE, threads = th))
    t <- matrix(NA_real_, reps, 2L, dimnames = list(NULL, names(cases)))
    for (i in seq_len(reps)) for (k in names(cases)) t[i, k] <- time(cases[[k]])
    m <- apply(t, 2, median)
    cat(sprintf("\norvel_fit(z, K, na.rm = TRUE), grid %d x %d, Gaussian 1.5, %d thread%s, medians of %d runs\n",
                n, n, th, if (th > 1) "s" else "", reps))
    line("no value missing", m[["complete"]], n * n)
    line(sprintf("%.1f%% missing in discs of radius 5 to 20", 100 * mean(is.na(holed))),
         m[["holed"]], n * n)
    cat(sprintf("  missing / complete time: %.2f (wanted: at most 1.5)\n",
                m[["holed"]] / m[["complete"]]))
  }
} else {
  cat("\nna.rm skipped: this orvel_fit() has no `na.rm` argument\n")
}
