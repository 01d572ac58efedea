# Observation weights: each node's weighted least squares with the weights
# K w, against lm.wfit() at corners, edges and around voids; weights of 1
# against the fits without weights; the statistics of weighted least
# squares against the smoother matrix built column by column.

test_that("weights of 1 give the fits without weights, to rounding", {
  set.seed(11)
  z <- matrix(rnorm(18 * 15), 18)
  z[7:8, 9] <- NA
  one <- array(1, dim(z))
  for (deg in 1:2) for (ho in c(FALSE, TRUE)) {
    K <- if (deg == 1) orvel_kernel("gaussian", 1.2) else orvel_kernel("tricube", c(3, 2))
    fun <- if (ho) orvel_holdout else orvel_fit
    a <- fun(z, K, degree = deg, na.rm = TRUE, se = TRUE)
    b <- fun(z, K, degree = deg, na.rm = TRUE, se = TRUE, weights = one)
    expect_equal(coef(b), coef(a), tolerance = 1e-11)
    expect_equal(b$se, a$se, tolerance = 1e-11)
    expect_equal(b$stats[c("rss", "n", "nu1", "nu2", "cvss", "sigma")],
                 a$stats[c("rss", "n", "nu1", "nu2", "cvss", "sigma")], tolerance = 1e-11)
    expect_identical(is.na(b$F), is.na(a$F))
  }
})

test_that("weighted fits are lm.wfit() with weights K w at corners, edges and voids", {
  set.seed(12)
  z <- matrix(rnorm(16 * 14, sd = 2), 16) + outer(1:16, 1:14, function(i, j) 0.3 * i - 0.2 * j)
  w <- matrix(runif(length(z), 0.1, 4), nrow(z))
  w[6:8, 5:7] <- 0          # a void of zero weight, its values missing too
  z[6:8, 5:7] <- NA
  z[13, 3] <- NA            # a missing value of positive weight (na.rm)
  w[1, 1] <- 0              # a corner's own observation left out
  sp <- c(2, 0.5)
  nodes <- rbind(c(1, 1), c(16, 14), c(1, 8), c(9, 14), c(7, 6), c(5, 5), c(9, 8),
                 c(13, 3), c(12, 4), c(3, 12))
  for (deg in 1:2) for (ho in c(FALSE, TRUE)) {
    K <- orvel_kernel(if (deg == 1) "epanechnikov" else "gaussian", if (deg == 1) 2 else 1.5)
    fun <- if (ho) orvel_holdout else orvel_fit
    f <- fun(z, K, degree = deg, na.rm = TRUE, se = TRUE, weights = w, spacing = sp)
    b <- coef(f)
    s <- sigma(f)
    fitted <- 0
    for (k in seq_len(nrow(nodes))) {
      iy <- nodes[k, 1]; ix <- nodes[k, 2]
      o <- wls_weighted(z, w, K, iy, ix, deg, ho, sp)
      info <- sprintf("degree %d, holdout %s, node (%d, %d)", deg, ho, iy, ix)
      if (is.null(o)) {
        # Not determined by the oracle: no number either.
        expect_true(all(is.nan(b[iy, ix, ]) & is.nan(f$se[iy, ix, ])), info = info)
        next
      }
      fitted <- fitted + 1
      expect_equal(unname(b[iy, ix, ]), o$coef, tolerance = 1e-9, info = info)
      expect_equal(unname(f$se[iy, ix, ]), s * sqrt(diag(o$V)), tolerance = 1e-8, info = info)
      expect_equal(unname(sqrt(diag(vcov(f, iy, ix)))), s * sqrt(diag(o$V)), tolerance = 1e-8,
                   info = info)
    }
    expect_gte(fitted, nrow(nodes) - 2)
  }
})

test_that("a weight of 0 is a missing value left out; missing values of weight keep na.rm's rule", {
  set.seed(13)
  z <- matrix(rnorm(12 * 11), 12)
  w <- matrix(runif(length(z), 0.5, 2), 12)
  K <- orvel_kernel("gaussian", 1)
  zero <- w
  zero[4:5, 6] <- 0
  zna <- z
  zna[4:5, 6] <- NA
  # Zero weights are the same fit as those cells missing with na.rm ...
  a <- orvel_fit(z, K, weights = zero)
  b <- orvel_fit(zna, K, weights = w, na.rm = TRUE)
  expect_equal(coef(a), coef(b), tolerance = 1e-12)
  # ... and their values may be missing even without na.rm.
  c <- orvel_fit(zna, K, weights = zero, na.rm = FALSE)
  expect_equal(coef(c), coef(a), tolerance = 1e-12)
  # A missing value of positive weight takes without na.rm the nodes whose
  # footprint holds it, as without weights.
  d <- orvel_fit(zna, K, weights = w, na.rm = FALSE)
  expect_identical(is.na(d$F), footprint_na(zna, K, FALSE))
  expect_identical(is.na(orvel_holdout(zna, K, weights = w)$F), footprint_na(zna, K, TRUE))
  # Too few cells of weight: no number.
  thin <- array(0, dim(z))
  thin[1:2, 1] <- 1
  expect_true(all(is.na(orvel_fit(z, K, weights = thin)$F)))
})

test_that("sigma and the traces are those of weighted least squares' smoother", {
  set.seed(14)
  z <- matrix(rnorm(8 * 9), 8)
  w <- matrix(runif(length(z), 0.3, 3), 8)
  w[3, 4] <- 0
  K <- orvel_kernel("gaussian", 1)
  f <- orvel_fit(z, K, weights = w)
  # The smoother matrix column by column: the fit of each unit vector.
  n <- length(z)
  L <- vapply(seq_len(n), function(j) {
    e <- numeric(n); e[j] <- 1
    as.vector(orvel_fit(matrix(e, 8), K, weights = w)$F)
  }, numeric(n))
  keep <- as.vector(w) > 0
  wv <- as.vector(w)
  r <- as.vector(z) - as.vector(f$F)
  nu1 <- sum(diag(L)[keep])
  # E sum w r^2 = sigma^2 tr((I - L)' W (I - L) W^-1) under Var z = sigma^2 / w.
  Lk <- L[keep, keep, drop = FALSE]
  nu2 <- sum(outer(wv[keep], wv[keep], "/") * Lk^2)
  s <- f$stats
  expect_equal(s[["n"]], sum(keep))
  expect_equal(s[["nu1"]], nu1, tolerance = 1e-10)
  expect_equal(s[["nu2"]], nu2, tolerance = 1e-10)
  expect_equal(sigma(f), sqrt(sum(wv[keep] * r[keep]^2) / (sum(keep) - 2 * nu1 + nu2)),
               tolerance = 1e-10)
  # Leave-one-out errors weighted the same way, and residuals(type = "loo").
  loo <- orvel_holdout(z, K, weights = w)
  e <- (as.vector(z) - as.vector(loo$F))[keep]
  expect_equal(s[["cvss"]], sum(wv[keep] * e^2), tolerance = 1e-10)
  expect_equal(residuals(f, type = "loo"), z - loo$F, tolerance = 1e-12)
})

test_that("bad weights are refused with the argument named", {
  z <- matrix(rnorm(20), 5)
  expect_error(orvel_fit(z, weights = matrix(1, 4, 4)), "dimensions of `z`")
  expect_error(orvel_fit(z, weights = replace(array(1, dim(z)), 3, -1)), "non-negative")
  expect_error(orvel_fit(z, weights = replace(array(1, dim(z)), 3, NA)), "non-negative")
  expect_error(orvel_fit(z, weights = array(0, dim(z))), "all zero")
  expect_error(orvel_fit(z, weights = "a"), "numeric matrix")
})

# The robust fit straight from its definition: 4 full fits by lm.wfit()
# node by node, each after the first with the prior weights times the
# bisquare weights of the last fit's residuals scaled by 6 times their
# median absolute value (over the cells of positive prior weight).
irls_oracle <- function(z, w, K, degree) {
  rw <- array(1, dim(z))
  fit_all <- function(ww, holdout = FALSE) {
    b <- array(NA_real_, c(dim(z), 3 * degree))
    for (ix in seq_len(ncol(z))) for (iy in seq_len(nrow(z))) {
      o <- wls_weighted(z, ww, K, iy, ix, degree, holdout)
      if (!is.null(o)) b[iy, ix, ] <- o$coef
    }
    b
  }
  for (it in 1:3) {
    r <- z - fit_all(w * rw)[, , 1]
    r[!(w > 0)] <- NA
    m <- median(abs(r), na.rm = TRUE)
    u <- abs(r) / (6 * m)
    rw <- ifelse(is.na(u), 1, ifelse(u < 1, (1 - u^2)^2, 0))
  }
  list(rw = rw, coef = fit_all(w * rw), loo = fit_all(w * rw, TRUE))
}

test_that("robust fits are the iteratively reweighted least squares of loess's bisquare", {
  set.seed(15)
  z <- outer(1:11, 1:10, function(i, j) 0.4 * i + 0.1 * j^1.5) + rnorm(110, sd = 0.3)
  z[c(5, 40, 77)] <- z[c(5, 40, 77)] + c(9, -12, 15)
  w <- matrix(runif(110, 0.5, 2), 11)
  w[2, 9] <- 0
  for (deg in 1:2) {
    K <- orvel_kernel("gaussian", if (deg == 1) 1 else 1.5)
    o <- irls_oracle(z, w, K, deg)
    f <- orvel_fit(z, K, degree = deg, weights = w, robust = TRUE)
    expect_equal(f$robustness, o$rw, tolerance = 1e-8)
    expect_equal(unname(coef(f)), o$coef, tolerance = 1e-8)
    expect_equal(f$weights, w * o$rw)
    expect_true(all(f$robustness[c(5, 40, 77)] == 0))
    h <- orvel_holdout(z, K, degree = deg, weights = w, robust = TRUE)
    expect_equal(unname(coef(h)), o$loo, tolerance = 1e-8)
  }
  # Without outliers and weights, close to the plain fit.
  zc <- z
  zc[c(5, 40, 77)] <- z[c(4, 39, 76)]
  a <- orvel_fit(zc, orvel_kernel("gaussian", 1))
  b <- orvel_fit(zc, orvel_kernel("gaussian", 1), robust = TRUE)
  expect_lt(max(abs(b$F - a$F)), 0.3)
})

test_that("a robust smooth of data with 2% spikes of 20-60 sigma is within 1.3x the clean fit's error", {
  set.seed(16)
  n <- 60
  truth <- outer(1:n, 1:n, function(i, j) 3 * sin(i / 9) + 2 * cos(j / 7) + 0.002 * i * j)
  K <- orvel_kernel("gaussian", 2)
  ratio <- plain <- numeric(2)
  for (rep in 1:2) {
    clean <- truth + rnorm(n * n)
    spiky <- clean
    k <- sample(length(clean), round(0.02 * length(clean)))
    spiky[k] <- spiky[k] + sample(c(-1, 1), length(k), TRUE) * runif(length(k), 20, 60)
    mse <- function(z, ...) mean((orvel_fit(z, K, ...)$F - truth)^2)
    base <- mse(clean)
    ratio[rep] <- mse(spiky, robust = TRUE) / base
    plain[rep] <- mse(spiky) / base
  }
  expect_true(all(ratio <= 1.3), info = paste(format(ratio), collapse = " "))
  expect_true(all(plain > 5), info = paste(format(plain), collapse = " "))
})
