# Every instruction-set level gives the same bits: the same fits, holdouts,
# standard errors, slopes, aspects and curvatures with the process capped by
# ORVEL_ISA at each level this CPU has, each in an R process of its own (the
# level is read once per process).

skip_if(nzchar(Sys.getenv("ORVEL_VALGRIND")))   # a process per level: too slow there

# Runs `code` in a fresh Rscript with ORVEL_ISA=isa and the same library
# path; returns what it saved with saveRDS(.., out).
run_at <- function(isa, code) {
  script <- tempfile("orvel-isa", fileext = ".R")
  out <- tempfile("orvel-isa", fileext = ".rds")
  on.exit(unlink(c(script, out)), add = TRUE)
  writeLines(c(sprintf("out <- %s", deparse(out)), code), script)
  log <- system2(file.path(R.home("bin"), "Rscript"), c("--vanilla", script), stdout = TRUE,
                 stderr = TRUE,
                 env = c(paste0("R_LIBS=", paste(.libPaths(), collapse = .Platform$path.sep)),
                         paste0("ORVEL_ISA=", isa)))
  if (!file.exists(out)) stop("the run with ORVEL_ISA=", isa, " failed:\n",
                              paste(log, collapse = "\n"))
  readRDS(out)
}

levels_here <- function() {
  all <- c("baseline", "avx2", "avx512")
  all[seq_len(match(orvel_isa()$cpu, all))]
}

work <- '
library(orvel)
set.seed(26)
nr <- 96; nc <- 83
z <- outer(1:nr, 1:nc, function(i, j) 40 * sin(i / 9) * cos(j / 11) + i * j / 50) +
  matrix(rnorm(nr * nc), nr)
zna <- z
zna[sample(length(z), 60)] <- NA
zna[30:33, 40:42] <- NA
k7 <- orvel_kernel("gaussian", 1.5)
k31 <- orvel_kernel("gaussian", 6, size = 31)
kt <- orvel_kernel("tricube", 4, size = c(9, 13))   # not separable
strip <- function(f) { f <- unclass(f); f$call <- NULL; f }
res <- list(isa = orvel_isa())
for (d in 1:2) for (kn in c("k7", "k31", "kt")) {
  k <- get(kn)
  tag <- paste0(kn, "_d", d)
  res[[paste0("fit_", tag)]] <- strip(orvel_fit(z, k, degree = d, se = TRUE, threads = 2))
  res[[paste0("na_", tag)]] <- strip(orvel_fit(zna, k, degree = d, na.rm = TRUE, threads = 2))
  res[[paste0("loo_", tag)]] <- strip(orvel_holdout(z, k, degree = d, threads = 2))
  res[[paste0("loona_", tag)]] <- strip(orvel_holdout(zna, k, degree = d, na.rm = TRUE))
}
# The slope and aspect pass on matrices of gradients, tails of every length.
gx <- rnorm(20 * 99) * 10^runif(20 * 99, -6, 6)
gy <- rnorm(20 * 99) * 10^runif(20 * 99, -6, 6)
res$angles <- .Call(orvel:::C_orvel_angles, gx, gy, 20, 99, 1:20 / 7, 5, 1:2, 180 / pi, 0L)
if (requireNamespace("terra", quietly = TRUE)) {
  r <- terra::rast(z, extent = terra::ext(0, nc * 10, 0, nr * 10), crs = "local")
  rna <- terra::rast(zna, extent = terra::ext(0, nc * 10, 0, nr * 10), crs = "local")
  v <- c("slope", "aspect", "profile_curvature", "plan_curvature", "tangential_curvature",
         "mean_curvature", "gaussian_curvature", "max_curvature", "min_curvature", "hillshade")
  for (kn in c("k7", "k31")) {
    res[[paste0("terrain_", kn)]] <- terra::values(orvel_terrain(r, v, kernel = get(kn),
                                                                   se = TRUE))
    res[[paste0("terrainna_", kn)]] <- terra::values(orvel_terrain(rna, v, kernel = get(kn),
                                                                     na.rm = TRUE))
  }
  res$horn <- terra::values(orvel_terrain(r, c("slope", "aspect"), "horn"))
}
saveRDS(res, out)
'

test_that("every instruction-set level gives the same bits for fits, holdouts and terrain", {
  lv <- levels_here()
  if (length(lv) == 1L) message("only the baseline runs on this CPU: nothing to compare")
  runs <- lapply(lv, run_at, code = work)
  names(runs) <- lv
  for (l in lv) {
    # Each process ran at the level it was capped to, and reported no
    # ignored value.
    expect_identical(runs[[l]]$isa$level, l)
    expect_null(runs[[l]]$isa$ignored)
  }
  base <- runs$baseline
  base$isa <- NULL
  expect_true(all(vapply(base[grep("^fit_", names(base))],
                         function(f) any(is.finite(f$F)), NA)))
  for (l in setdiff(lv, "baseline")) {
    got <- runs[[l]]
    got$isa <- NULL
    expect_identical(names(got), names(base))
    for (n in names(base)) expect_identical(got[[n]], base[[n]], label = paste(l, n))
  }
})

test_that("ORVEL_ISA caps the level, and a value naming no level is reported and ignored", {
  lv <- levels_here()
  cpu <- orvel_isa()$cpu
  code <- "saveRDS(orvel::orvel_isa(), out)"
  for (l in c("baseline", "avx2", "avx512")) {
    got <- run_at(l, code)
    expect_identical(got$cpu, cpu)
    expect_identical(got$level, if (l %in% lv) l else cpu)
    expect_identical(got$engine, c(baseline = "generic", avx2 = "avx2", avx512 = "avx512")[[got$level]])
  }
  odd <- run_at("AVX2", code)
  expect_identical(odd$ignored, "AVX2")
  expect_identical(odd$level, cpu)
  expect_null(run_at("", code)$ignored)
})
