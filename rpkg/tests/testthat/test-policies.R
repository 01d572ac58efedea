# Intervals under na.policy = "only", residuals against deviance, and the
# warning of orvel_select() when the candidates share few nodes.

test_that("intervals under na.policy = 'only' are centred on the fitted polynomial and cover", {
  set.seed(29)
  g <- expand.grid(i = 1:40, j = 1:35)
  truth <- matrix(0.02 * (g$i - 20)^2 - 0.03 * (g$i - 20) * (g$j - 17) + 0.5 * g$j, 40)
  z <- truth + rnorm(length(truth))
  z[10:14, 8:13] <- NA
  K <- orvel_kernel("gaussian", 2)
  all <- orvel_fit(z, K, degree = 2, na.rm = TRUE)
  only <- orvel_fit(z, K, degree = 2, na.rm = TRUE, na.policy = "only")
  ci <- confint(only, "(Intercept)")
  expect_equal((ci[, , 1, 1] + ci[, , 1, 2]) / 2, all$F, ignore_attr = TRUE)
  inside <- ci[, , 1, 1] <= truth & truth <= ci[, , 1, 2]
  expect_gt(mean(inside[is.finite(z)]), 0.9)       # was about a quarter
  p <- predict(only, interval = "confidence")
  expect_equal(p[, , "fit"], all$F, ignore_attr = TRUE)
  expect_identical(predict(only), only$F)          # without an interval: the observations
  # Off the nodes too, the polynomial (the nearest node's) is the centre.
  at <- data.frame(row = c(20.2, 5.4), col = c(3.3, 30.1))
  expect_equal(predict(only, at, interval = "confidence")[, "fit"],
               predict(all, at), ignore_attr = TRUE)
})

test_that("residuals() and deviance() agree under every policy, for fits and leave-one-out fits", {
  set.seed(3)
  z <- volcano[1:30, 1:25] + rnorm(750)
  z[12:15, 5:9] <- NA
  K <- orvel_kernel("gaussian", 1.5)
  for (policy in c("all", "omit", "only")) for (narm in c(TRUE, FALSE)) {
    f <- orvel_fit(z, K, na.rm = narm, na.policy = policy)
    r <- residuals(f)
    expect_equal(sum(r^2, na.rm = TRUE), deviance(f), tolerance = 1e-12,
                 info = paste(policy, narm))
    expect_equal(sum(is.finite(r)), nobs(f), info = paste(policy, narm))
    # The leave-one-out residuals do not depend on what F keeps.
    expect_equal(residuals(f, "loo"), residuals(orvel_fit(z, K, na.rm = narm), "loo"))
  }
})

test_that("orvel_select() warns when the candidates share few nodes, naming the cause", {
  z <- volcano[1:40, 1:40]
  # A void every 8 rows and columns: a 47 x 47 window loses every node, an
  # Epanechnikov of bandwidth 4.5 (9 x 9) most, a narrow one few.
  z[seq(4, 40, 8), seq(4, 40, 8)] <- NA
  w <- character()
  s <- withCallingHandlers(
    orvel_select(z, "epanechnikov", bandwidths = c(1.5, 2, 4.5, 24)),
    warning = function(cond) { w <<- c(w, conditionMessage(cond)); invokeRestart("muffleWarning") })
  expect_true(any(grepl("1 candidate predicts no node and scores NaN: epanechnikov 24 \\(47 x 47\\)", w)))
  msg <- grep("fewer than half", w, value = TRUE)
  expect_length(msg, 1L)
  expect_match(msg, sprintf("compared on %d nodes, fewer than half of the %d", s$nodes, max(s$table$nodes)))
  expect_match(msg, "fewest nodes: epanechnikov 4.5 \\(9 x 9\\) on [0-9]+")
  expect_false(grepl("epanechnikov 1.5 ", msg))
  expect_true(is.nan(s$table$cv[4]))
  # Enough common nodes: no such warning.
  w <- character()
  withCallingHandlers(orvel_select(z, "epanechnikov", bandwidths = c(1.5, 2, 4.5), na.rm = TRUE),
    warning = function(cond) { w <<- c(w, conditionMessage(cond)); invokeRestart("muffleWarning") })
  expect_false(any(grepl("fewer than half|no node", w)))
})
