# How much of an R call is copying: times .C on a large grid, and .C moving the
# same vectors around a call that does no fitting.  The native benchmark times
# the fit alone on the same grid.
#
#   ORVEL_LIBDIR=build Rscript bench/r_overhead.R [n]     (default n = 4000)
args <- commandArgs(trailingOnly = TRUE)
n <- if (length(args)) as.integer(args[1]) else 4000L
libdir <- Sys.getenv("ORVEL_LIBDIR", "build")
invisible(dyn.load(file.path(libdir, "orvel-fit.so")))
set.seed(1)
z <- matrix(rnorm(n * n), n, n)
K <- outer(-3:3, -3:3, function(dy, dx) exp(-(dx^2 + dy^2) / (2 * 1.5^2)))
N <- length(z)

med <- function(f, reps = 5) median(replicate(reps, system.time(f())[["elapsed"]]))
t_call <- med(function()
  .C("localPolynomials", as.double(z), as.integer(n), as.integer(n), as.double(K),
     F = double(N), gFx = double(N), gFy = double(N), PACKAGE = "orvel-fit"))
# The same data movement without the fit: .C copies the same large vectors in
# and out around a call of the solver, which reads nine doubles of the first,
# three of the second and writes three of the third (the two further vectors
# are ignored by the callee, as extra arguments are in the C calling
# convention).
t_copy <- med(function()
  .C("solve", as.double(z), as.double(K), res = double(N), double(N), double(N),
     PACKAGE = "orvel-fit"))
t_alloc <- med(function() { a <- double(N); b <- double(N); c <- double(N); NULL })
cat(sprintf("grid %d x %d (%.0f MB a vector)\n", n, n, N * 8 / 2^20))
cat(sprintf(".C(localPolynomials) median %.3f s\n", t_call))
cat(sprintf(".C moving the same vectors, no fit: %.3f s (of which allocating the outputs %.3f s)\n",
            t_copy, t_alloc))
cat(sprintf("moving the vectors is about %.0f%% of the call; compare the fit alone with\n",
            100 * t_copy / t_call))
cat(sprintf("  build/bench/orvel_bench --ny=%d --nx=%d --benchmark_filter=dispatch\n", n, n))
