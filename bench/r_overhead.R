# What a fit costs from R beyond the fit itself: the raw .C call, .C moving
# the same vectors around a call that does no fitting, and the package's
# orvel_fit(), whose .Call routine passes the vectors without copying them.
# Time (median of five) and peak memory in one run, on each grid size given.
#
#   make rpkg-install && R_LIBS=build/rlib Rscript bench/r_overhead.R [n ...]
#   (default: 3000 and 4000, square grids)
library(orvel)
args <- commandArgs(trailingOnly = TRUE)
sizes <- if (length(args)) as.integer(args) else c(3000L, 4000L)
libdir <- orvel:::.orvel_libdir()
fit_lib <- file.path(libdir, "orvel-fit.so")
dyn.load(fit_lib)
K <- orvel_kernel("gaussian", 1.5)

med <- function(f, reps = 5) median(replicate(reps, system.time(f())[["elapsed"]]))
# Peak memory of f() beyond what is in use before it, in grids of doubles.
peak <- function(f, N) {
  invisible(gc(reset = TRUE))
  before <- gc()["Vcells", "used"]
  r <- f()
  (gc()["Vcells", "max used"] - before) / N
}

cat(sprintf("orvel %s, R %s, libraries in %s\n", packageVersion("orvel"),
            getRversion(), libdir))
for (n in sizes) {
  set.seed(1)
  z <- matrix(rnorm(n * n), n, n)
  N <- length(z)
  raw <- function()
    .C("localPolynomials", as.double(z), as.integer(n), as.integer(n), as.double(K),
       F = double(N), gFx = double(N), gFy = double(N), PACKAGE = "orvel-fit")
  # .C copying the same large vectors in and out around a call of the
  # solver, which reads nine doubles of the first, three of the second and
  # writes three of the third (the callee ignores the two further vectors).
  copy <- function()
    .C("solve", as.double(z), as.double(K), res = double(N), double(N), double(N),
       PACKAGE = "orvel-fit")
  pkg <- function() orvel_fit(z, K)
  t_raw <- med(raw); t_copy <- med(copy); t_pkg <- med(pkg)
  m_raw <- peak(raw, N); m_pkg <- peak(pkg, N)
  cat(sprintf("\ngrid %d x %d (%.0f MB a grid)\n", n, n, N * 8 / 2^20))
  cat(sprintf("  .C(localPolynomials)          %.3f s   peak %.2f grids over the input\n",
              t_raw, m_raw))
  cat(sprintf("  .C moving the vectors, no fit %.3f s\n", t_copy))
  cat(sprintf("  orvel_fit()                   %.3f s   peak %.2f grids over the input\n",
              t_pkg, m_pkg))
  cat(sprintf("  orvel_fit() / .C: %.2f of the time; memory beyond its three output grids: %.2f grids\n",
              t_pkg / t_raw, m_pkg - 3))
}
