# The package at each instruction-set level this CPU has: nodes per second of
# orvel_fit() (a plane and a quadratic on 7 x 7 and on 31 x 31 windows),
# orvel_holdout() and orvel_terrain() curvatures, with ORVEL_ISA capping the
# level (read once per process, so each level runs in an R process of its
# own; the processes alternate, round after round, and each workload's
# figure is the median over rounds). Prints the figures and the ratios to
# the uncapped default, all from this one run.
#
#   R_LIBS=build/rlib Rscript bench/isa.R [rounds]
#   (ORVEL_BENCH_THREADS=1 by default: one core, the loops' own speed)
library(orvel)

args <- commandArgs(trailingOnly = TRUE)
rounds <- if (length(args)) as.integer(args[1]) else 5L
threads <- as.integer(Sys.getenv("ORVEL_BENCH_THREADS", "1"))
info <- orvel_isa()
all <- c("baseline", "avx2", "avx512")
levels <- all[seq_len(match(info$cpu, all))]
cpu <- if (file.exists("/proc/cpuinfo"))
  sub(".*: ", "", grep("^model name", readLines("/proc/cpuinfo"), value = TRUE)[1]) else "?"
cat(sprintf("orvel %s, R %s, %s, CPU level %s, %d thread(s), %d rounds\n",
            packageVersion("orvel"), getRversion(), cpu, info$cpu, threads, rounds))

# One round at the level ORVEL_ISA sets: each workload's seconds, best of three.
source(file.path(dirname(sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE)[1])), "workloads.R"))
worker <- paste0(bench_worker(threads), '
work <- list(
  "fit 7x7 plane" = function() orvel_fit(z7, k7, threads = threads),
  "fit 7x7 quadratic" = function() orvel_fit(z7, k7, degree = 2, threads = threads),
  "holdout 7x7 plane" = function() orvel_holdout(z7, k7, threads = threads),
  "fit 31x31 plane" = function() orvel_fit(z31, k31, threads = threads),
  "fit 31x31 quadratic" = function() orvel_fit(z31, k31, degree = 2, threads = threads),
  "terrain 31x31 curvatures" = function()
    orvel_terrain(dem, c("profile_curvature", "plan_curvature", "mean_curvature"),
                  kernel = k31, threads = threads))
nodes <- c(rep(length(z7), 3), rep(length(z31), 3))
secs <- vapply(work, function(f) {
  f()
  min(replicate(3, system.time(f())[["elapsed"]]))
}, 0)
saveRDS(list(level = orvel_isa()$level, nodes = nodes, secs = secs), out)
')

run <- function(isa) {
  script <- tempfile(fileext = ".R")
  out <- tempfile(fileext = ".rds")
  on.exit(unlink(c(script, out)))
  writeLines(c(sprintf("out <- %s", deparse(out)), worker), script)
  system2(file.path(R.home("bin"), "Rscript"), c("--vanilla", script),
          env = c(paste0("R_LIBS=", paste(.libPaths(), collapse = .Platform$path.sep)),
                  paste0("ORVEL_ISA=", isa)))
  r <- readRDS(out)
  if (nzchar(isa) && r$level != isa) stop("ORVEL_ISA=", isa, " ran at ", r$level)
  r
}

runs <- c(levels, "")   # "" : the default, uncapped
res <- vector("list", length(runs))
for (i in seq_len(rounds))
  for (j in seq_along(runs)) res[[j]] <- c(res[[j]], list(run(runs[j])))

secs <- sapply(res, function(r) apply(sapply(r, `[[`, "secs"), 1, stats::median))
colnames(secs) <- c(levels, "default")
nodes <- res[[1]][[1]]$nodes
rate <- nodes / secs
cat("\nnodes per second (millions), median of", rounds, "rounds:\n")
print(round(rate / 1e6, 2))
cat("\nratio of the default's speed to each level's (default / level):\n")
print(round(rate[, "default"] / rate[, levels, drop = FALSE], 2))
