# The adaptive fit: the ICI rule and the fusion against a direct
# implementation node by node, from lm.wfit() fits of every window and
# scale; the noise's estimate; and the rule's point, smaller errors than
# any one bandwidth on a piecewise-constant image.

test_that("orvel_adaptive() makes the ICI choices of a direct implementation, node by node", {
  set.seed(31)
  z <- outer(1:10, 1:9, function(i, j) ifelse(j > 5, 2, 0) + 0.1 * i) + rnorm(90, sd = 0.3)
  bws <- c(0.75, 1.5, 2.5)
  sigma <- 0.3
  gamma <- 1.5
  a <- orvel_adaptive(z, bandwidths = bws, gamma = gamma, sigma = sigma)
  windows <- c("up", "down", "left", "right", "full")
  half <- function(K, w) {
    h <- (dim(K) - 1) / 2
    if (w == "up") K[(h[1] + 2):nrow(K), ] <- 0
    if (w == "down") K[1:h[1], ] <- 0
    if (w == "left") K[, (h[2] + 2):ncol(K)] <- 0
    if (w == "right") K[, 1:h[2]] <- 0
    K
  }
  one <- array(1, dim(z))
  for (iy in seq_len(nrow(z))) for (ix in seq_len(ncol(z))) {
    num <- den <- 0
    for (wi in seq_along(windows)) {
      fits <- lapply(bws, function(b)
        wls_weighted(z, one, half(orvel_kernel("gaussian", b), windows[wi]), iy, ix, 1))
      e <- vapply(fits, function(f) if (is.null(f)) NA_real_ else f$coef[1], 0)
      s <- vapply(fits, function(f) if (is.null(f)) NA_real_ else sigma * sqrt(f$V[1, 1]), 0)
      # The largest scale whose interval meets every smaller scale's
      # (scales without a fit passed over): pairwise, as on a line.
      have <- which(!is.na(e))
      chosen <- NA
      for (k in seq_along(have)) {
        j <- have[k]
        meets <- all(vapply(have[seq_len(k)], function(i)
          abs(e[i] - e[j]) <= gamma * (s[i] + s[j]), TRUE))
        pairwise <- all(outer(have[seq_len(k)], have[seq_len(k)], Vectorize(function(i, l)
          abs(e[i] - e[l]) <= gamma * (s[i] + s[l]))))
        if (!pairwise) break
        chosen <- j
      }
      info <- sprintf("node (%d, %d), window %s", iy, ix, windows[wi])
      expect_identical(unname(a$scales[iy, ix, wi]), if (is.na(chosen)) NA_real_ else bws[chosen],
                       info = info)
      if (!is.na(chosen)) {
        num <- num + e[chosen] / s[chosen]^2
        den <- den + 1 / s[chosen]^2
      }
    }
    expect_equal(unname(a$F[iy, ix]), num / den, tolerance = 1e-8)
    expect_equal(unname(a$se[iy, ix, 1]), 1 / sqrt(den), tolerance = 1e-8)
  }
})

test_that("the noise's estimate, the rule's gain at steps, and the arguments' checks", {
  set.seed(32)
  expect_equal(orvel_adaptive(matrix(rnorm(150 * 150, sd = 2), 150), bandwidths = c(1, 2), gamma = 1)$sigma,
               2, tolerance = 0.04)
  n <- 64
  truth <- outer(1:n, 1:n, function(i, j) ifelse((i - 30)^2 + (j - 34)^2 < 200, 3, 0) +
                   ifelse(i > 48, -2, 0))
  z <- truth + rnorm(n * n, sd = 0.3)
  a <- orvel_adaptive(z)
  fixed <- vapply(a$bandwidths, function(b) mean((orvel_fit(z, orvel_kernel("gaussian", b))$F - truth)^2), 0)
  expect_lt(mean((a$F - truth)^2), 0.8 * min(fixed))
  # Wide windows on the plains, narrow ones at the full window across a step.
  expect_gt(a$scales[15, 55, "full"], 4)
  expect_lt(a$scales[49, 5, "full"], 1.5)
  expect_equal(dim(coef(a)), c(n, n, 3))
  expect_output(print(a), "chosen scale")
  expect_error(orvel_adaptive(z, bandwidths = c(2, 1)), "increasing")
  expect_error(orvel_adaptive(z, gamma = -1), "positive")
  expect_error(orvel_adaptive(z, sigma = 0), "positive")
})
