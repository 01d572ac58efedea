# What a fit costs from R beyond the fit itself, in one run: the raw .C
# call; the package's orvel_fit() on one thread, into fresh outputs and into
# outputs already mapped (the same routine writing into vectors it wrote
# before, so no page is touched for the first time); and orvel_fit() on two
# threads. Medians of seven runs a grid size, alternating, and peak memory.
#
#   make rpkg-install && R_LIBS=build/rlib Rscript bench/r_overhead.R [n ...]
#   (default: 4000, a square grid)
library(orvel)
args <- commandArgs(trailingOnly = TRUE)
sizes <- if (length(args)) as.integer(args) else 4000L
libdir <- orvel:::.orvel_libdir()
dyn.load(file.path(libdir, "orvel-fit.so"))
K <- orvel_kernel("gaussian", 1.5)
fit_grid <- orvel:::C_orvel_fit_grid

# Peak memory of f() beyond what is in use before it, in grids of doubles.
peak <- function(f, N) {
  invisible(gc(reset = TRUE))
  before <- gc()["Vcells", "used"]
  r <- f()
  (gc()["Vcells", "max used"] - before) / N
}

cpu <- sub(".*: ", "", grep("^model name", readLines("/proc/cpuinfo"), value = TRUE)[1])
cat(sprintf("orvel %s, R %s, %s, %d cores, engine: %s\n", packageVersion("orvel"),
            getRversion(), cpu, parallel::detectCores(), orvel_isa()$level))
for (n in sizes) {
  set.seed(1)
  z <- matrix(rnorm(n * n), n, n)
  N <- length(z)
  work <- list(numeric(N), numeric(N), numeric(N))   # mapped by the zero fill
  engine <- orvel:::.orvel_engine(orvel:::.orvel_model(K), FALSE, n, n)
  runs <- list(
    ".C(localPolynomials)" = function()
      .C("localPolynomials", as.double(z), as.integer(n), as.integer(n), as.double(K),
         F = double(N), gFx = double(N), gFy = double(N), PACKAGE = "orvel-fit"),
    "orvel_fit(), 1 thread" = function() orvel_fit(z, K, threads = 1),
    "the same fit into mapped outputs" = function()
      .Call(fit_grid, engine, z, list(threads = 1L, se = 0L), work),
    "orvel_fit(), 2 threads" = function() orvel_fit(z, K, threads = 2))
  times <- matrix(NA_real_, 7, length(runs), dimnames = list(NULL, names(runs)))
  for (r in seq_len(nrow(times))) for (k in seq_along(runs)) {
    invisible(gc())
    times[r, k] <- system.time(runs[[k]]())[["elapsed"]]
  }
  med <- apply(times, 2, median)
  cat(sprintf("\ngrid %d x %d (%.0f MB a grid), medians of %d runs\n", n, n, N * 8 / 2^20,
              nrow(times)))
  for (k in names(med))
    cat(sprintf("  %-34s %.3f s  %6.1f Mnodes/s\n", k, med[[k]], N / med[[k]] / 1e6))
  cat(sprintf("  fresh / mapped outputs, 1 thread: %.2f\n",
              med[["orvel_fit(), 1 thread"]] / med[["the same fit into mapped outputs"]]))
  cat(sprintf("  2 threads / 1 thread:             %.2f\n",
              med[["orvel_fit(), 2 threads"]] / med[["orvel_fit(), 1 thread"]]))
  cat(sprintf("  peak memory beyond the input: .C %.2f grids, orvel_fit() %.2f grids\n",
              peak(runs[[1]], N), peak(runs[[2]], N)))
}
