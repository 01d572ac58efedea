# Two installs of the package side by side, say GCC's and clang's: the same
# fits, holdouts and terrain layers from both (identical()), and each
# workload's speed in one run, the two alternating round after round in R
# processes of their own (medians over rounds, best of three within one).
#
#   make rpkg-install test-clang
#   Rscript bench/compilers.R build/rlib build-clang/rlib [rounds]
#   (ORVEL_BENCH_THREADS=1 by default; ORVEL_ISA passes through to both)
args <- commandArgs(trailingOnly = TRUE)
if (length(args) < 2) stop("usage: Rscript bench/compilers.R <library A> <library B> [rounds]")
libs <- normalizePath(args[1:2])
rounds <- if (length(args) > 2) as.integer(args[3]) else 5L
threads <- as.integer(Sys.getenv("ORVEL_BENCH_THREADS", "1"))

source(file.path(dirname(sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE)[1])), "workloads.R"))
worker <- paste0(bench_worker(threads), '
work <- list(
  "fit 7x7 plane" = function() orvel_fit(z7, k7, threads = threads)$F,
  "fit 7x7 quadratic" = function() orvel_fit(z7, k7, degree = 2, threads = threads)$Q,
  "holdout 7x7 plane" = function() orvel_holdout(z7, k7, threads = threads)$F,
  "fit 31x31 plane" = function() orvel_fit(z31, k31, threads = threads)$gFx,
  "fit 31x31 quadratic" = function() orvel_fit(z31, k31, degree = 2, threads = threads)$Q,
  "fit 31x31 quadratic, NA" = function()
    orvel_fit(zna, k31, degree = 2, na.rm = TRUE, threads = threads)$Q,
  "terrain 31x31 curvatures" = function()
    terra::values(orvel_terrain(dem, c("profile_curvature", "plan_curvature", "slope"),
                                kernel = k31, threads = threads)))
vals <- lapply(work, function(f) f())
secs <- vapply(work, function(f) min(replicate(3, system.time(f())[["elapsed"]])), 0)
saveRDS(list(isa = orvel_isa()$level, vals = vals, secs = secs), out)
')

run <- function(lib) {
  script <- tempfile(fileext = ".R")
  out <- tempfile(fileext = ".rds")
  on.exit(unlink(c(script, out)))
  writeLines(c(sprintf("out <- %s", deparse(out)), worker), script)
  system2(file.path(R.home("bin"), "Rscript"), c("--vanilla", script),
          env = paste0("R_LIBS=", lib))
  readRDS(out)
}

res <- list(list(), list())
for (i in seq_len(rounds))
  for (j in 1:2) res[[j]] <- c(res[[j]], list(run(libs[j])))
cat(sprintf("A = %s (%s), B = %s (%s), %d thread(s), %d rounds\n", libs[1], res[[1]][[1]]$isa,
            libs[2], res[[2]][[1]]$isa, threads, rounds))
same <- mapply(identical, res[[1]][[1]]$vals, res[[2]][[1]]$vals)
secs <- sapply(res, function(r) apply(sapply(r, `[[`, "secs"), 1, stats::median))
out <- data.frame(A_ms = round(1000 * secs[, 1], 1), B_ms = round(1000 * secs[, 2], 1),
                  B_over_A = round(secs[, 2] / secs[, 1], 2), identical = same)
print(out)
if (!all(same)) quit(status = 1)
