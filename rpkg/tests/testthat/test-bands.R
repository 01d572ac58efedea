# Simultaneous confidence bands: coverage of the whole surface, the
# pointwise intervals' for contrast, and the correlated noise they draw.

test_that("a 95% simultaneous band covers every node in about 95% of replicates", {
  old <- options(orvel.threads = 1L)   # many small fits
  on.exit(options(old), add = TRUE)
  set.seed(4)
  g <- expand.grid(i = 1:40, j = 1:35)
  truth <- matrix(0.01 * (g$i - 20)^2 - 0.02 * (g$i - 20) * (g$j - 17) + 0.3 * g$j, 40)
  K <- orvel_kernel("gaussian", 2)
  f <- orvel_fit(truth + rnorm(1400), K, degree = 2, se = TRUE)
  band <- confint(f, c("(Intercept)", "x"), type = "simultaneous", nsim = 300)
  q <- attr(band, "critical")
  expect_named(q, c("(Intercept)", "x"))
  expect_true(all(q > 3 & q < 4.5))            # beyond 1.96, short of Bonferroni's 4.1 for 1400
  expect_equal(band[, , 1, 2] - coef(f)[, , 1], q[[1]] * f$se[, , 1])
  expect_equal(band[, , 2, 1], coef(f)[, , 3] - q[[2]] * f$se[, , 3])
  # The band is that of the fit: with the critical value fixed, replicates.
  reps <- 200
  all_in <- point_in <- logical(reps)
  for (r in seq_len(reps)) {
    fr <- orvel_fit(truth + rnorm(1400), K, degree = 2, se = TRUE)
    err <- abs(fr$F - truth) / fr$se[, , 1]
    all_in[r] <- all(err <= q[[1]])
    point_in[r] <- all(err <= qt(0.975, df.residual(fr)))
  }
  message(sprintf("simultaneous band covers every node in %.3f of %d replicates, pointwise in %.3f",
                  mean(all_in), reps, mean(point_in)))
  expect_true(mean(all_in) >= 0.9 && mean(all_in) <= 0.99)
  expect_lt(mean(point_in), 0.05)
  # predict(): the same band for the surface at the nodes, and one over
  # positions between them.
  set.seed(1); p <- predict(f, interval = "confidence", type = "simultaneous", nsim = 100)
  set.seed(1); b1 <- confint(f, "(Intercept)", type = "simultaneous", nsim = 100)
  expect_equal(p[, , "upr"], b1[, , 1, 2], ignore_attr = TRUE)
  at <- data.frame(row = c(3.3, 20.5, 38.2), col = c(4, 17.4, 30.6))
  pp <- predict(f, at, interval = "confidence", type = "simultaneous", nsim = 100)
  pw <- predict(f, at, interval = "confidence")
  expect_true(all(pp[, "upr"] - pp[, "fit"] > pw[, "upr"] - pw[, "fit"]))
  expect_error(predict(f, interval = "prediction", type = "simultaneous"), "confidence")
  expect_error(confint(f, type = "simultaneous", nsim = 5), "nsim")
  expect_error(confint(f, type = "both"), "type")
})

test_that("correlated draws have the noise's covariance, and bands under it are wider", {
  old <- options(orvel.threads = 1L)
  on.exit(options(old), add = TRUE)
  set.seed(7)
  m <- orvel:::.orvel_noise_model("gaussian", 2, 3)
  draw <- orvel:::.orvel_noise_sampler(c(30, 25), m)
  x <- replicate(400, draw())
  expect_equal(mean(x[15, 12, ]^2), 3, tolerance = 0.15)
  expect_equal(mean(x[15, 12, ] * x[16, 12, ]), 3 * exp(-1 / 4), tolerance = 0.15)
  expect_equal(mean(x[15, 12, ] * x[15, 14, ]), 3 * exp(-1), tolerance = 0.2)
  g <- expand.grid(i = 1:30, j = 1:25)
  z <- matrix(0.3 * g$i, 30) + draw()
  K <- orvel_kernel("gaussian", 1.5)
  fi <- orvel_fit(z, K)
  fs <- orvel_fit(z, K, noise = m)
  qi <- attr(confint(fi, "y", type = "simultaneous", nsim = 100), "critical")
  qs <- attr(confint(fs, "y", type = "simultaneous", nsim = 100), "critical")
  expect_true(qs > 2 && qs < 5 && qi > 2 && qi < 5)
  # The band's half-width under the correlated noise is several times the
  # independent one's.
  expect_gt(qs * sqrt(vcov(fs, 15, 12)[2, 2]), 2 * qi * sqrt(vcov(fi, 15, 12)[2, 2]))
})
