# Correlated noise: its estimate, the standard errors and the risk under it,
# against an explicit smoother matrix, and their calibration in small
# seeded simulations (the longer studies are bench/correlated.R).

# Noise correlated over about one node step: independent noise smoothed by
# a Gaussian of sd 1 (a 9 x 9 filter), of unit variance; its covariance at
# distance d is close to exp(-d^2 / 4).
corr_noise <- function(ny, nx) {
  g <- dnorm(-4:4)
  g <- g / sqrt(sum(g^2))
  e <- matrix(rnorm((ny + 8) * (nx + 8)), ny + 8)
  e <- apply(e, 2, function(v) stats::filter(v, g))
  e <- t(apply(e, 1, function(v) stats::filter(v, g)))
  e[5:(ny + 4), 5:(nx + 4)]
}

# The smoother matrix of the coefficient `k` of a fit, row i the weights of
# node i's coefficient: the fit of every unit impulse (missing values kept).
# With several `k`, a list of their matrices.
smoother_matrix <- function(z, K, degree, k = 1L, spacing = c(1, 1), holdout = FALSE) {
  n <- length(z)
  L <- rep(list(matrix(0, n, n)), length(k))
  for (j in seq_len(n)) {
    if (!is.finite(z[j])) next
    e <- ifelse(is.finite(z), 0, NA)
    e[j] <- 1
    f <- (if (holdout) orvel_holdout else orvel_fit)(e, K, spacing = spacing, degree = degree, na.rm = TRUE)
    b <- coef(f)
    for (i in seq_along(k)) L[[i]][, j] <- as.vector(b[, , k[i]])
  }
  if (length(k) == 1L) L[[1L]] else L
}

# The covariance matrix of the noise model `m` over the nodes of a grid.
noise_matrix <- function(d, m) {
  g <- expand.grid(i = seq_len(d[1]), j = seq_len(d[2]))
  D <- sqrt(outer(g$i, g$i, "-")^2 + outer(g$j, g$j, "-")^2) / m$range
  rho <- switch(m$family, gaussian = exp(-D^2), exponential = exp(-D),
                matern = (1 + sqrt(3) * D) * exp(-sqrt(3) * D))
  m$variance * rho
}

test_that("standard errors under a given stationary noise are a'Ca of the explicit smoother", {
  old <- options(orvel.threads = 1L)   # hundreds of small fits: no thread pool to wake
  on.exit(options(old), add = TRUE)
  set.seed(5)
  z <- volcano[1:13, 1:12] + rnorm(13 * 12)
  z[7:8, 9] <- NA
  K <- orvel_kernel("gaussian", 1.2)
  Ls <- list()
  for (degree in 1:2) for (holdout in c(FALSE, TRUE)) {
    L <- smoother_matrix(z, K, degree, c(1L, 3L), c(2, 3), holdout)
    Ls[[paste(degree, holdout, 1L)]] <- L[[1]]
    Ls[[paste(degree, holdout, 3L)]] <- L[[2]]
  }
  for (fam in c("gaussian", "exponential", "matern")) {
    m <- orvel:::.orvel_noise_model(fam, 1.7, 2.5)
    C <- noise_matrix(dim(z), m)
    for (degree in 1:2) for (holdout in c(FALSE, TRUE)) {
      f <- (if (holdout) orvel_holdout else orvel_fit)(z, K, spacing = c(2, 3), degree = degree,
                                                        na.rm = TRUE, se = TRUE, noise = m)
      for (k in c(1L, 3L)) {
        L <- Ls[[paste(degree, holdout, k)]]
        ref <- sqrt(pmax(rowSums((L %*% C) * L), 0))
        ok <- is.finite(f$se[, , k])
        expect_true(sum(ok) >= 140)
        expect_equal(as.vector(f$se[, , k])[ok], ref[ok], tolerance = 1e-9,
                     info = paste(fam, degree, holdout, k))
      }
      # vcov(), predict() and confint() use the same covariance.
      V <- vcov(f, c(1, 8, 12), c(1, 10, 7))
      expect_equal(sqrt(V[3, 3, ]), f$se[cbind(c(1, 8, 12), c(1, 10, 7), 3)], tolerance = 1e-12)
      expect_equal(predict(f, se.fit = TRUE)$se.fit, f$se[, , 1], ignore_attr = TRUE)
      ci <- confint(f, "x")
      expect_equal((ci[, , 1, 2] - ci[, , 1, 1]) / 2, qt(0.975, df.residual(f)) * f$se[, , 3],
                   ignore_attr = TRUE)
    }
  }
})

test_that("the residual filter's autocovariance and the risk's trace match the explicit smoother", {
  old <- options(orvel.threads = 1L)   # hundreds of small fits: no thread pool to wake
  on.exit(options(old), add = TRUE)
  set.seed(8)
  z <- volcano[1:18, 1:17] + 3 * corr_noise(18, 17)
  K <- orvel_kernel("gaussian", 1.5)
  f <- orvel_fit(z, K, degree = 2)
  L <- smoother_matrix(z, K, 2L)
  R <- diag(length(z)) - L
  # Under independent noise the residuals' correlation at lag 1 along the
  # rows, averaged over the interior nodes, is that of (I - L)(I - L)'.
  a <- orvel_acf(f, lag.max = 2)
  S <- tcrossprod(R)
  h <- 3L
  inner <- which(row(z) > h & row(z) <= 18 - h & col(z) > h & col(z) <= 17 - h)
  down <- inner[row(z)[inner] < 18 - h]
  expect_equal(a$rows$iid[2], mean(S[cbind(down, down + 1L)]) / mean(S[cbind(inner, inner)]),
               tolerance = 1e-10)
  right <- inner[col(z)[inner] <= 17 - h - 2]
  expect_equal(a$columns$iid[3], mean(S[cbind(right, right + 36L)]) / mean(S[cbind(inner, inner)]),
               tolerance = 1e-10)
  # The risk of each candidate: RSS/n - tr(C)/n + 2 tr(LC)/n.
  s <- suppressWarnings(orvel_select(z, bandwidths = c(1, 1.5, 2), degree = 2, noise = "stationary"))
  C <- noise_matrix(dim(z), s$noise)
  for (k in 1:3) {
    Kk <- orvel_kernel("gaussian", s$table$rows[k])
    Lk <- smoother_matrix(z, Kk, 2L)
    rss <- sum((as.vector(z) - drop(Lk %*% as.vector(z)))^2)
    n <- length(z)
    expect_equal(s$table$risk[k], (rss - sum(diag(C)) + 2 * sum(Lk * t(C))) / n, tolerance = 1e-9)
  }
})

test_that("standard errors under estimated stationary noise hold in a simulation", {
  old <- options(orvel.threads = 1L)   # hundreds of small fits: no thread pool to wake
  on.exit(options(old), add = TRUE)
  # A quadratic on 60 x 50 with noise correlated over a node step, a
  # quadratic on a Gaussian of bandwidth 3: the iid standard errors of the
  # slopes are several times too small, those under the estimate are not.
  set.seed(29)
  g <- expand.grid(i = 1:60, j = 1:50)
  truth <- matrix(0.01 * (g$i - 30)^2 + 0.02 * (g$i - 30) * (g$j - 25) - 0.015 * (g$j - 25)^2 +
                    0.3 * g$i - 0.2 * g$j, 60)
  K <- orvel_kernel("gaussian", 3)
  node <- cbind(c(30, 12), c(25, 40))
  slope <- cbind(0.02 * (node[, 1] - 30) + 0.02 * (node[, 2] - 25) + 0.3,
                 0.02 * (node[, 1] - 30) - 0.03 * (node[, 2] - 25) - 0.2)
  reps <- 30
  est <- se <- se_iid <- array(NA_real_, c(reps, 2, 2))
  for (r in seq_len(reps)) {
    z <- truth + corr_noise(60, 50)
    f <- orvel_fit(z, K, degree = 2, noise = "stationary")
    fi <- orvel_fit(z, K, degree = 2)
    for (k in 1:2) {
      V <- vcov(f, node[k, 1], node[k, 2])
      Vi <- vcov(fi, node[k, 1], node[k, 2])
      est[r, k, ] <- coef(f)[node[k, 1], node[k, 2], 2:3]
      se[r, k, ] <- sqrt(diag(V)[2:3])
      se_iid[r, k, ] <- sqrt(diag(Vi)[2:3])
    }
  }
  ratio <- apply(est, 2:3, sd) / apply(se, 2:3, mean)
  ratio_iid <- apply(est, 2:3, sd) / apply(se_iid, 2:3, mean)
  cover <- apply(abs(est - rep(slope, each = reps)) <= 1.96 * se, 2:3, mean)
  message(sprintf("slopes' sd/se: stationary %s, iid %s; coverage %s",
                  paste(format(ratio, digits = 3), collapse = " "),
                  paste(format(ratio_iid, digits = 3), collapse = " "),
                  paste(format(cover, digits = 3), collapse = " ")))
  expect_true(all(ratio > 0.75 & ratio < 1.3))
  expect_true(all(ratio_iid > 2.5))
  expect_true(all(cover >= 0.85))
})

test_that("orvel_acf() tells correlated residuals from independent ones", {
  set.seed(2)
  K <- orvel_kernel("gaussian", 2)
  g <- expand.grid(i = 1:60, j = 1:50)
  truth <- matrix(0.01 * (g$i - 30)^2 - 0.2 * g$j, 60)
  iid <- orvel_acf(orvel_fit(truth + rnorm(3000), K, degree = 2))
  cor <- orvel_acf(orvel_fit(truth + corr_noise(60, 50), K, degree = 2))
  for (a in list(iid, cor)) {
    expect_s3_class(a, "orvel_acf")
    expect_identical(a$rows$lag, 0:5)
    expect_equal(a$rows$acf[1], 1)
  }
  off <- function(a) max(abs(c(a$rows$acf - a$rows$iid, a$columns$acf - a$columns$iid)))
  expect_lt(off(iid), 2 * iid$band)
  expect_gt(off(cor), 5 * cor$band)
  expect_output(print(cor), "correlated noise, consider noise = \"stationary\"")
  expect_output(print(iid), "consistent with independent noise")
  # The estimate: about the truth's range of 2 node steps under correlation,
  # independent (a range below about 0.3) without.
  n <- orvel_noise(orvel_fit(truth + corr_noise(60, 50), K, degree = 2))
  expect_true(n$range > 1.5 && n$range < 2.7)
  expect_true(n$variance > 0.7 && n$variance < 1.4)
  expect_lt(orvel_noise(orvel_fit(truth + rnorm(3000), K, degree = 2))$range, 0.5)
  pdf(NULL); on.exit(grDevices::dev.off())
  expect_identical(plot(cor), cor)
  expect_error(orvel_noise(orvel_fit(volcano[1:12, 1:12], K)), "too small")
  expect_error(orvel_noise(volcano), "must be an orvel_fit")
  expect_error(orvel_noise(orvel_fit(truth, K), lag.max = 0.5), "lag.max")
})

test_that("the choice under correlated noise is near the best candidate, and no worse under independence", {
  bw <- c(0.5, 1, 1.5, 2.5, 4)
  mse <- function(z, b, degree) mean((orvel_fit(z, orvel_kernel("gaussian", b), degree = degree)$F - volcano)^2)
  set.seed(11)
  for (degree in 1:2) {
    z <- volcano + 5 * corr_noise(87, 61)
    m <- vapply(bw, mse, 0, z = z, degree = degree)
    s <- suppressWarnings(orvel_select(z, bandwidths = bw, degree = degree, noise = "stationary"))
    cv <- suppressWarnings(orvel_select(z, bandwidths = bw, degree = degree))
    expect_identical(s$criterion, "risk")
    expect_true("risk" %in% names(s$table))
    expect_lt(m[match(s$bandwidth, bw)] / min(m), 1.5)
    expect_gt(m[match(cv$bandwidth, bw)] / min(m), 2)      # leave-one-out CV's choice, for contrast
  }
  z <- volcano + 2 * rnorm(length(volcano))
  m <- vapply(bw, mse, 0, z = z, degree = 1)
  s <- suppressWarnings(orvel_select(z, bandwidths = bw, noise = "stationary"))
  cv <- suppressWarnings(orvel_select(z, bandwidths = bw))
  expect_lte(m[match(s$bandwidth, bw)], 1.05 * m[match(cv$bandwidth, bw)])
  expect_error(orvel_select(z, bandwidths = bw, criterion = "risk"), "criterion")
  expect_error(.Call(orvel:::C_orvel_flags_read, raw(4)), "flags")
  expect_identical(.Call(orvel:::C_orvel_flags_read, .Call(orvel:::C_orvel_flags_new, 3)), rep(TRUE, 3))
})
