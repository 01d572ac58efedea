# Standard errors and the statistics of the fits against independent
# computations: locfit, weighted least squares node by node, and noise
# simulated on a known surface.

valgrind <- nzchar(Sys.getenv("ORVEL_VALGRIND"))
set.seed(3)
noisy <- volcano + matrix(rnorm(length(volcano), sd = 5), nrow(volcano))
if (valgrind) noisy <- noisy[1:30, 1:25]

test_that("tr L, tr L'L, sigma-hat and GCV equal locfit's", {
  skip_if(valgrind)
  skip_if_not_installed("locfit")
  h <- 3.5
  d <- outer(-3:3, -3:3, function(a, b) sqrt(a^2 + b^2))
  K <- ifelse(d < h, (1 - (d / h)^3)^3, 0)          # locfit's tricube, radius 3.5
  s <- summary(orvel_fit(noisy, K))
  g <- expand.grid(r = seq_len(nrow(noisy)), c = seq_len(ncol(noisy)))
  g$z <- as.vector(noisy)
  lf <- locfit::locfit(z ~ locfit::lp(r, c, h = h, deg = 1, scale = FALSE), data = g,
                       ev = locfit::dat(), kern = "tcub", maxk = 1e5)
  n <- nrow(g)
  rss <- sum(stats::residuals(lf, data = g)^2)
  rel <- function(a, b) abs(a / b - 1)
  expect_lt(rel(s$edf[["nu1"]], lf$dp[["df1"]]), 1e-8)
  expect_lt(rel(s$edf[["nu2"]], lf$dp[["df2"]]), 1e-8)
  expect_lt(rel(s$sigma^2, lf$dp[["rv"]]), 1e-8)
  expect_lt(rel(s$gcv, n * rss / (n - lf$dp[["df1"]])^2), 1e-8)
})

test_that("standard errors and hat values equal weighted least squares at edges, corners and voids", {
  z <- noisy
  z[10:13, 8:12] <- NA
  z[25, 3] <- NaN
  cases <- list(
    list(K = orvel_kernel("gaussian", 1.5), degree = 1, holdout = FALSE, sp = c(10, 10)),
    list(K = orvel_kernel("tricube", c(2, 3.5)), degree = 2, holdout = TRUE, sp = c(2, 5)),
    list(K = orvel_kernel("gaussian", 2, size = 11), degree = 2, holdout = FALSE, sp = c(1, 3)),
    list(K = orvel_kernel("epanechnikov", 12, size = 31), degree = 1, holdout = TRUE, sp = 1))
  if (valgrind) cases <- cases[2]
  ny <- nrow(z); nx <- ncol(z)
  checked <- 0
  for (cs in cases) {
    f <- (if (cs$holdout) orvel_holdout else orvel_fit)(z, cs$K, spacing = cs$sp,
                                                        degree = cs$degree, na.rm = TRUE, se = TRUE)
    sg <- sigma(f)
    at <- rbind(cbind(c(1, ny, 1, ny), c(1, 1, nx, nx)), cbind(c(2, ny - 1, 5), c(nx, 2, 1)),
                which(is.na(z), arr.ind = TRUE) + sample(-2:2, 2 * sum(is.na(z)), TRUE),
                cbind(sample(ny, if (valgrind) 10 else 80, TRUE), sample(nx, if (valgrind) 10 else 80, TRUE)))
    at <- unique(at[at[, 1] >= 1 & at[, 1] <= ny & at[, 2] >= 1 & at[, 2] <= nx, , drop = FALSE])
    for (k in seq_len(nrow(at))) {
      i <- at[k, 1]; j <- at[k, 2]
      if (!is.finite(f$F[i, j])) next
      w <- wls_cov(z, cs$K, i, j, cs$degree, cs$holdout, cs$sp)
      # The normal equations lose kappa^2 ulps: a quadratic fitted to the
      # rows on one side of a void is far from well conditioned.
      expect_equal(unname(f$se[i, j, ]), sg * sqrt(unname(diag(w$V))),
                   tolerance = max(1e-10, 1e-12 * w$kappa^2), info = paste(i, j))
      checked <- checked + (1e-12 * w$kappa^2 <= 1e-10)
    }
  }
  expect_gt(checked, if (valgrind) 10 else 300)
  # tr L, tr L'L and the residuals over every node of a small holed grid
  z <- if (valgrind) noisy[1:8, 1:7] else noisy[1:14, 1:12]
  z[5:6, 4] <- NA
  K <- orvel_kernel("gaussian", 1.2, size = 5)
  f <- orvel_fit(z, K, degree = 2, na.rm = TRUE)
  s <- summary(f)
  ok <- which(is.finite(z) & is.finite(f$F), arr.ind = TRUE)
  w <- lapply(seq_len(nrow(ok)), function(k) wls_cov(z, K, ok[k, 1], ok[k, 2], 2))
  rss <- sum((z - f$F)[ok]^2)
  nu1 <- sum(vapply(w, `[[`, 0, "hat"))
  nu2 <- sum(vapply(w, function(v) v$V[1, 1], 0))
  expect_equal(unname(s$edf), c(nu1, nu2), tolerance = 1e-10)
  expect_equal(s$sigma, sqrt(rss / (nrow(ok) - 2 * nu1 + nu2)), tolerance = 1e-12)
  expect_equal(s$n, nrow(ok))
  expect_equal(s$cv, orvel_cv(z, K, degree = 2, na.rm = TRUE), tolerance = 1e-12)
  # the leave-one-out fit reports the full fit's statistics
  h <- summary(orvel_holdout(z, K, degree = 2, na.rm = TRUE))
  expect_equal(h[c("sigma", "edf", "gcv", "aicc", "cv", "n")],
               s[c("sigma", "edf", "gcv", "aicc", "cv", "n")], tolerance = 1e-9)
})

test_that("R's generics agree with one another and with the summary", {
  K <- orvel_kernel("gaussian", 1.5)
  f <- orvel_fit(noisy, K, spacing = 10)
  s <- summary(f)
  expect_equal(deviance(f), sum(residuals(f)^2))
  expect_equal(nobs(f), length(noisy))
  expect_equal(df.residual(f), s$df.residual)
  expect_equal(AIC(f), s$aic)
  expect_equal(attr(logLik(f), "df"), s$edf[["nu1"]] + 1)
  expect_equal(BIC(f), -2 * as.numeric(logLik(f)) + log(nobs(f)) * (s$edf[["nu1"]] + 1))
  expect_equal(mean(residuals(f, "loo")^2), s$cv, tolerance = 1e-12)
  # se = TRUE changes nothing else, and confint() brackets coef() by t * se
  g <- orvel_fit(noisy, K, spacing = 10, se = TRUE)
  expect_identical(g$F, f$F)
  expect_equal(sigma(g), sigma(f))
  ci <- confint(f, "y", level = 0.9)
  q <- qt(0.95, df.residual(f))
  expect_equal(ci[, , 1, 2] - ci[, , 1, 1], 2 * q * g$se[, , "y"])
  expect_error(confint(f, "z^3"), "`parm`")
  expect_error(orvel_fit(noisy, se = NA), "`se`")
})

test_that("messages show the single value they were given", {
  f <- orvel_fit(volcano[1:12, 1:10])
  expect_error(orvel_fit(volcano, se = NA), "`se` must be TRUE or FALSE, not NA$")
  expect_error(orvel_fit(volcano, na.rm = "yes"), '`na.rm` must be TRUE or FALSE, not "yes"$')
  expect_error(plot(f, arrows = -1), "`arrows` must be one number, 0 or more, not -1$")
  expect_error(orvel_kernel(NA_character_), "`type` must name kernel types.*not NA$")
  expect_error(orvel_fit(volcano, se = c(TRUE, FALSE)), "not a logical vector of length 2$")
})

test_that("confint() names the level or coefficients it was given", {
  f <- orvel_fit(volcano[1:12, 1:10], spacing = 10)
  expect_error(confint(f, level = 1), "`level` must be one number between 0 and 1 \\(exclusive\\), not 1$")
  expect_error(confint(f, level = NA), "`level`.*not NA$")
  expect_error(confint(f, level = c(0.9, 0.95)), "`level`.*not a numeric vector of length 2")
  expect_error(confint(f, "z^3"), 'number them \\(1 to 3\\), not "z\\^3"$')
  expect_error(confint(f, c("y", "w")), 'not c\\("y", "w"\\)$')
  expect_error(confint(f, 4), "not 4$")
})

test_that("predicted standard errors match the spread of simulated fits", {
  skip_if(valgrind)
  ny <- 30; nx <- 26; reps <- 150
  y <- outer(seq_len(ny), rep(1, nx)) / 10; x <- outer(rep(1, ny), seq_len(nx)) / 10
  truth <- 3 + 2 * y - x + 0.5 * y^2 + 0.3 * x * y - 0.2 * x^2    # no bias at degree 2
  K <- orvel_kernel("gaussian", 1.5)
  mean_fit <- coef(orvel_fit(truth, K, degree = 2))
  b <- se <- array(0, c(ny, nx, 6, reps))
  for (r in seq_len(reps)) {
    f <- orvel_fit(truth + rnorm(ny * nx, sd = 0.7), K, degree = 2, se = TRUE)
    b[, , , r] <- coef(f)
    se[, , , r] <- f$se
  }
  for (k in 1:6) {
    emp <- apply(b[, , k, ], 1:2, sd)
    pred <- apply(se[, , k, ], 1:2, mean)
    expect_lt(abs(median(emp / pred) - 1), 0.03)
    cover <- mean(abs(b[, , k, ] - as.vector(mean_fit[, , k])) <= qnorm(0.975) * se[, , k, ])
    expect_gt(cover, 0.93)
    expect_lt(cover, 0.97)
  }
})

test_that("orvel_select minimises the criterion asked for, each as the fit's summary gives it", {
  z <- noisy[1:min(40, nrow(noisy)), 1:min(30, ncol(noisy))]
  # (end-of-range warnings are not what is tested here)
  sel <- suppressWarnings(orvel_select(z, type = c("gaussian", "tricube"),
                                       bandwidths = c(0.8, 1.5, if (!valgrind) 3), criterion = "gcv"))
  tab <- sel$table
  expect_identical(sel$score, min(tab$gcv, na.rm = TRUE))
  expect_identical(sel$cv, tab$cv[which.min(tab$gcv)])
  s <- summary(orvel_fit(z, orvel_kernel("tricube", 1.5)))
  row <- tab[tab$type == "tricube" & tab$rows == 1.5, ]
  expect_equal(unlist(row[c("cv", "gcv", "aicc", "edf")]),
               c(cv = s$cv, gcv = s$gcv, aicc = s$aicc, edf = s$edf[["nu1"]]), tolerance = 1e-12)
  a <- suppressWarnings(orvel_select(z, type = "gaussian", bandwidths = c(0.8, 1.5), criterion = "aicc"))
  expect_identical(a$score, min(a$table$aicc, na.rm = TRUE))
  expect_output(print(a), "AICc")
  expect_error(orvel_select(z, criterion = "bic"), "`criterion` must be one of")
})

test_that("raster standard errors are the matrix fit's in map units, slope and aspect's by the delta method", {
  skip_if(valgrind)
  skip_if_not_installed("terra")
  z <- noisy[1:40, 1:30]
  r <- terra::rast(z, extent = terra::ext(0, 30 * 5, 0, 40 * 2))      # cells 5 east, 2 north
  K <- orvel_kernel("gaussian", c(1.5, 2.5))
  g <- orvel_fit(r, K, degree = 2, se = TRUE)
  m <- orvel_fit(z, K, spacing = c(2, 5), degree = 2, se = TRUE)
  lay <- function(name) terra::as.matrix(g[[name]], wide = TRUE)
  expect_identical(names(g)[7:12], paste0(names(g)[1:6], "_se"))
  expect_equal(lay("smooth_se"), m$se[, , 1], ignore_attr = TRUE, tolerance = 1e-10)
  expect_equal(lay("dzdx_se"), m$se[, , "x"], ignore_attr = TRUE, tolerance = 1e-10)
  expect_equal(lay("dzdy_se"), m$se[, , "y"], ignore_attr = TRUE, tolerance = 1e-10)
  expect_equal(lay("d2zdx2_se"), 2 * m$se[, , "x^2"], ignore_attr = TRUE, tolerance = 1e-10)
  expect_equal(lay("d2zdxdy_se"), m$se[, , "x*y"], ignore_attr = TRUE, tolerance = 1e-10)
  t <- orvel_terrain(r, kernel = K, unit = "radians", se = TRUE)
  expect_identical(names(t), c("slope", "slope_se", "aspect", "aspect_se"))
  f <- orvel_fit(z, K, spacing = c(2, 5))
  for (k in 1:15) {
    i <- c(1, 40, sample(40, 13, TRUE))[k]; j <- c(1, 30, sample(30, 13, TRUE))[k]
    V <- vcov(f, i, j)
    b <- coef(f)[i, j, ]
    p <- b[["x"]]; q <- -b[["y"]]                       # east, north
    vp <- V["x", "x"]; vq <- V["y", "y"]; cpq <- -V["x", "y"]
    g2 <- p^2 + q^2
    expect_equal(terra::as.matrix(t$slope_se, wide = TRUE)[i, j],
                 sqrt(p^2 * vp + 2 * p * q * cpq + q^2 * vq) / (sqrt(g2) * (1 + g2)), tolerance = 1e-9)
    expect_equal(terra::as.matrix(t$aspect_se, wide = TRUE)[i, j],
                 sqrt(q^2 * vp - 2 * p * q * cpq + p^2 * vq) / g2, tolerance = 1e-9)
  }
})

test_that("sigma-hat, standard errors, the criteria and the choice hold for values near 1e-170 and 1e160", {
  set.seed(4)
  z <- outer(1:30, 1:24, function(i, j) sin(i / 6) + cos(j / 5)) + matrix(rnorm(720, sd = 0.3), 30)
  K <- orvel_kernel("gaussian", 1.5)
  bw <- c(0.7, 1.2, 2, 3.5)
  f1 <- orvel_fit(z, K, se = TRUE)
  h1 <- orvel_holdout(z, K)
  sel1 <- lapply(c(cv = "cv", gcv = "gcv", aicc = "aicc"), function(cr)
    suppressWarnings(orvel_select(z, bandwidths = bw, criterion = cr)))
  expect_identical(unname(vapply(sel1, function(s) s$bandwidth, 1)), c(2, 2, 2))
  # Powers of two: scaling the data by them is exact, and so are sigma-hat
  # and the standard errors; the logs shift by 2 e log 2 a node.
  for (e in c(-565, 531)) {
    f <- orvel_fit(z * 2^e, K, se = TRUE)
    expect_identical(sigma(f), sigma(f1) * 2^e)
    expect_identical(f$se, f1$se * 2^e)
    expect_equal(confint(f, "y") / 2^e, confint(f1, "y"), tolerance = 1e-13)
    expect_identical(nobs(f), nobs(f1))
    expect_identical(summary(f)$edf, summary(f1)$edf)
    expect_equal(AIC(f) - AIC(f1), 2 * nobs(f1) * e * log(2), tolerance = 1e-13)
    expect_equal(summary(f)$aicc - summary(f1)$aicc, 2 * nobs(f1) * e * log(2), tolerance = 1e-13)
    expect_identical(sigma(orvel_holdout(z * 2^e, K)), sigma(h1) * 2^e)
    for (cr in names(sel1)) {
      sel <- suppressWarnings(orvel_select(z * 2^e, bandwidths = bw, criterion = cr))
      expect_identical(sel$bandwidth, sel1[[cr]]$bandwidth, label = paste(cr, e))
      expect_identical(sel$table$edf, sel1[[cr]]$table$edf)
    }
  }
  # A raster whose first block is near 1 and the rest near 2^531: the
  # sums are taken again at the scale of its largest values.
  skip_if(valgrind)
  skip_if_not_installed("terra")
  zz <- z
  zz[13:30, ] <- zz[13:30, ] * 2^531
  fm <- orvel_fit(zz, K, se = TRUE)
  old <- options(orvel.block_cells = 5 * ncol(zz))
  on.exit(options(old), add = TRUE)
  g <- orvel_fit(terra::rast(zz), K, se = TRUE)
  expect_equal(terra::as.matrix(g$smooth_se, wide = TRUE), fm$se[, , 1], ignore_attr = TRUE,
               tolerance = 1e-12)
  expect_true(all(is.finite(fm$se)))
})
