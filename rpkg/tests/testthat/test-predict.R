# vcov(), predict() and as.data.frame() of a fit: the covariance factors
# against weighted least squares node by node, predictions against the
# nodes' polynomials from coef(). The expected standard errors are taken
# relative to sigma(fit) (see test-inference.R for sigma itself).

set.seed(5)
vz <- volcano[1:40, 1:30] + rnorm(1200, sd = 2)
vz[12:14, 9:11] <- NA; vz[30, 25] <- NaN
sp <- c(2, 5)
skewed <- outer(1:5, 1:7, function(i, j) exp(-((i - 3)^2 / 3 + (j - 4)^2 / 6)) * (1 + 0.2 * i))

test_that("covariance factors match weighted least squares at corners, edges and voids", {
  neg <- skewed; neg[1, ] <- -0.05
  cases <- list(list(K = skewed, degree = 1, holdout = FALSE), list(K = skewed, degree = 2, holdout = TRUE),
                list(K = orvel_kernel("gaussian", 1, size = 3), degree = 1, holdout = TRUE),
                list(K = orvel_kernel("epanechnikov", 3), degree = 2, holdout = FALSE),
                list(K = neg, degree = 1, holdout = FALSE))
  nodes <- as.matrix(expand.grid(c(1:3, 11, 13, 15, 20, 29, 31, 39:40), c(1:3, 8, 10, 12, 20, 25:26, 29:30)))
  for (cs in cases) {
    z <- if (any(cs$K < 0)) volcano[1:40, 1:30] else vz
    f <- (if (cs$holdout) orvel_holdout else orvel_fit)(z, cs$K, spacing = sp, degree = cs$degree, na.rm = TRUE)
    V <- vcov(f, nodes[, 1], nodes[, 2]) / stats::sigma(f)^2
    for (k in seq_len(nrow(nodes))) {
      ref <- wls_cov(z, cs$K, nodes[k, 1], nodes[k, 2], cs$degree, cs$holdout, sp)$V
      expect_equal(unname(V[, , k]), ref, tolerance = 1e-9, info = paste(nodes[k, ], collapse = ","))
    }
    expect_identical(dimnames(vcov(f, 20, 10)), rep(dimnames(coef(f))[3], 2))
  }
  # Without na.rm no polynomial is fitted where a window reaches a missing
  # value, also where na.policy = "only" keeps the observation as the smooth.
  for (policy in c("all", "only")) {
    f <- orvel_fit(vz, skewed, na.rm = FALSE, na.policy = policy)
    expect_true(all(is.na(vcov(f, 15, 12))))
    expect_true(all(is.na(unlist(predict(f, data.frame(row = 14.6, col = 12.2), se.fit = TRUE)[1:2]))))
    expect_equal(vcov(f, 25, 20) / stats::sigma(f)^2, wls_cov(vz, skewed, 25, 20)$V, ignore_attr = TRUE)
  }
})

test_that("predictions are the nearest node's polynomial, with its standard error", {
  f <- orvel_holdout(vz, skewed, spacing = sp, degree = 2, na.rm = TRUE)
  expect_identical(predict(f), f$F)
  expect_equal(unname(predict(f, data.frame(row = c(1, 7, 40), col = c(30, 9, 1)))), f$F[cbind(c(1, 7, 40), c(30, 9, 1))])
  at <- data.frame(row = c(1, 2.5, 2.49, 17.3, 39.7, 40, NA), col = c(1.4, 3, 8.5, 11.5, 29.51, 1, 4))
  node <- floor(as.matrix(at) + 0.5)      # half up: 2.5 is row 3, 8.5 column 9
  p <- predict(f, at, se.fit = TRUE)
  b <- coef(f)
  for (k in 1:6) {
    y <- (at$row[k] - node[k, 1]) * sp[1]; x <- (at$col[k] - node[k, 2]) * sp[2]
    terms <- c(1, y, x, y^2, x * y, x^2)
    expect_equal(p$fit[[k]], sum(b[node[k, 1], node[k, 2], ] * terms))
    C <- wls_cov(vz, skewed, node[k, 1], node[k, 2], 2, TRUE, sp)$V
    expect_equal(p$se.fit[[k]] / stats::sigma(f), sqrt(drop(terms %*% C %*% terms)), tolerance = 1e-9)
  }
  expect_true(is.na(p$fit[[7]]) && is.na(p$se.fit[[7]]))
  expect_identical(p$residual.scale, stats::sigma(f))
  ci <- predict(f, at, interval = "confidence", level = 0.9)
  q <- qt(0.95, p$df)
  expect_equal(ci[, "upr"] - ci[, "fit"], q * p$se.fit)
  expect_equal(predict(f, se.fit = TRUE)$se.fit[cbind(node[1:6, 1], node[1:6, 2])],
               predict(f, as.data.frame(node[1:6, ]), se.fit = TRUE)$se.fit, ignore_attr = TRUE)
})

test_that("arguments out of the grid are refused by name", {
  f <- orvel_fit(vz, skewed, na.rm = TRUE)
  expect_error(vcov(f, 0, 3), "`row` must be whole numbers from 1 to 40.*not 0")
  expect_error(vcov(f, 2, 2.5), "`col` must be whole numbers from 1 to 30.*not 2.5")
  expect_error(vcov(f, 1:3, 1:2), "same length")
  expect_error(predict(f, data.frame(row = 2, col = 30.2)), "column `col` must lie from 1 to 30.*not 30.2")
  expect_error(predict(f, data.frame(y = 2, col = 3)), "columns `row` and `col`.*not `y`, `col`")
  expect_error(predict(f, list(row = 1, col = 1)), "`newdata` must be a data frame or matrix.*not a list")
  expect_error(predict(f, data.frame(row = "2", col = 1)), "column `row` must be numeric, not a character")
  expect_error(predict(f, data.frame(row = 2, col = 1), interval = "confidence", level = 95),
               "`level` must be one number between 0 and 1 \\(exclusive\\), not 95")
})

test_that("positions that are NA, columns of NA alone too, get NA", {
  f <- orvel_fit(vz, skewed, na.rm = TRUE)
  want <- predict(f, data.frame(row = c(2, 2), col = c(3, 4)), se.fit = TRUE)
  for (nd in list(data.frame(row = NA, col = 3), cbind(row = c(2, 2), col = NA),
                  data.frame(row = c(NA, 2), col = c(3, NA)))) {
    got <- predict(f, nd, se.fit = TRUE)
    expect_identical(unname(got$fit), rep(NA_real_, nrow(nd)))
    expect_identical(unname(got$se.fit), rep(NA_real_, nrow(nd)))
  }
  got <- predict(f, data.frame(row = c(2, NA, 2), col = c(3, 3, 4)), interval = "prediction")
  expect_identical(unname(got[c(1, 3), ]), unname(predict(f, data.frame(row = 2, col = 3:4), interval = "prediction")))
  expect_true(all(is.na(got[2, ])))
  expect_identical(unname(want$fit), unname(predict(f, data.frame(row = 2, col = 3:4))))
})

test_that("as.data.frame() holds every node's observation and coefficients in column-major order", {
  f <- orvel_fit(vz, skewed, spacing = sp, degree = 2, na.rm = TRUE)
  d <- as.data.frame(f)
  expect_identical(names(d), c("row", "col", "z", "b0", "y", "x", "y2", "xy", "x2"))
  expect_identical(d$z, as.vector(vz))
  expect_identical(c(d$row, d$col), c(as.vector(row(vz)), as.vector(col(vz))))
  expect_identical(array(as.matrix(d[4:9]), dim(coef(f))), unname(coef(f)))
  f$se <- coef(f) * 0 + runif(length(coef(f)))
  expect_identical(as.vector(as.matrix(as.data.frame(f)[paste0("se_", names(d)[4:9])])), as.vector(f$se))
})
