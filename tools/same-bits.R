# The same bits from two installs of the package (GCC's and clang's, say):
# fits, holdouts, standard errors and terrain layers on every instruction-set
# level the CPU runs, each install in R processes of its own. Fails naming
# the first result that differs.
#   Rscript tools/same-bits.R <library A> <library B>
args <- commandArgs(trailingOnly = TRUE)
if (length(args) != 2) stop("usage: Rscript tools/same-bits.R <library A> <library B>")
libs <- normalizePath(args)
worker <- '
library(orvel)
set.seed(1)
z <- outer(30 * sin(seq_len(300) / 37), 20 * cos(seq_len(240) / 53), "+") + rnorm(300 * 240)
zna <- z; zna[sample(length(z), 500)] <- NA
k7 <- orvel_kernel("gaussian", 1.5); k31 <- orvel_kernel("gaussian", 6, size = 31)
dem <- terra::rast(z, extent = terra::ext(0, 3000, 0, 2400), crs = "local")
v <- c("slope", "aspect", "profile_curvature", "plan_curvature", "mean_curvature", "hillshade")
res <- list(
  fit7 = orvel_fit(z, k7, se = TRUE, threads = 2)[c("F", "gFx", "gFy", "se")],
  quad31 = orvel_fit(z, k31, degree = 2, threads = 2)[c("F", "gFx", "gFy", "Q")],
  na31 = orvel_fit(zna, k31, degree = 2, na.rm = TRUE, threads = 2)$Q,
  holdout7 = orvel_holdout(zna, k7, na.rm = TRUE, threads = 2)$F,
  cv = orvel_cv(z, k31, degree = 2, threads = 2),
  terrain = terra::values(orvel_terrain(dem, v, kernel = k31, se = TRUE, threads = 2)))
saveRDS(list(isa = orvel_isa()$level, res = res), out)
'
levels <- c("baseline", "avx2", "avx512", "")
got <- list()
for (lev in levels) for (lib in libs) {
  out <- tempfile(fileext = ".rds")
  script <- tempfile(fileext = ".R")
  writeLines(c(sprintf("out <- '%s'", out), worker), script)
  env <- c(paste0("R_LIBS=", lib), paste0("ORVEL_ISA=", lev))
  status <- system2(file.path(R.home("bin"), "Rscript"), script, env = env)
  if (status != 0) stop("the worker failed for ", lib, " at level '", lev, "'")
  r <- readRDS(out)
  key <- paste(lev, r$isa)
  if (is.null(got[[key]])) got[[key]] <- r$res
  for (n in names(r$res))
    if (!identical(r$res[[n]], got[[key]][[n]]))
      stop(sprintf("%s differs between %s and %s (level %s)", n, libs[1], lib, r$isa))
}
# Every level the same bits as well.
for (key in names(got)[-1])
  for (n in names(got[[1]]))
    if (!identical(got[[key]][[n]], got[[1]][[n]]))
      stop(sprintf("%s differs between levels '%s' and '%s'", n, names(got)[1], key))
cat("same bits from", libs[1], "and", libs[2], "at levels:", unique(sub(".* ", "", names(got))), "\n")
