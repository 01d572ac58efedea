# The R interface in R/orvel.R: kernel construction, the wrappers' handling of
# orientation, dimnames and missing values, the CV score, bandwidth choice and
# the errors for bad input.

root <- Sys.getenv("ORVEL_ROOT", "../..")
source(file.path(root, "R", "orvel.R"), local = TRUE)

# Weighted least squares for node (iy, ix) (1-based) straight from the
# definition: the plane b0 + b1 * dy / ny + b2 * dx / nx over the clipped
# 7 x 7 window, weights K[dy + 4, dx + 4], the node itself dropped if holdout.
wls_node <- function(z, K, iy, ix, holdout = FALSE) {
  ny <- nrow(z); nx <- ncol(z)
  g <- expand.grid(jy = max(1, iy - 3):min(ny, iy + 3), jx = max(1, ix - 3):min(nx, ix + 3))
  if (holdout) g <- g[!(g$jy == iy & g$jx == ix), ]
  w <- K[cbind(g$jy - iy + 4, g$jx - ix + 4)]
  X <- cbind(1, (g$jy - iy) / ny, (g$jx - ix) / nx)
  unname(lm.wfit(X, z[cbind(g$jy, g$jx)], w)$coefficients)
}

set.seed(7)
small <- volcano[10:40, 5:30] + matrix(rnorm(31 * 26), 31, 26)
dimnames(small) <- list(paste0("r", 1:31), paste0("c", 1:26))

test_that("orvel_kernel follows its documented profiles and orientation", {
  at <- function(K, dy, dx) K[dy + 4, dx + 4]
  expect_equal(at(orvel_kernel("gaussian", 2), 1, 1), exp(-0.25))
  expect_equal(at(orvel_kernel("epanechnikov", 2), 1, 1), 0.5)
  expect_equal(at(orvel_kernel("biweight", 2), 1, 1), 0.25)
  expect_equal(at(orvel_kernel("triweight", 2), 1, 1), 0.125)
  expect_equal(at(orvel_kernel("tricube", 2), 1, 1), (1 - 0.5^1.5)^3)
  expect_equal(at(orvel_kernel("uniform", 2), 1, 1), 1)
  # Compact kernels vanish on and beyond the support radius.
  for (type in c("epanechnikov", "biweight", "triweight", "tricube", "uniform")) {
    K <- orvel_kernel(type, 2)
    expect_equal(c(at(K, 2, 0), at(K, 0, -2), at(K, 2, 2)), c(0, 0, 0), info = type)
    expect_equal(sum(orvel_kernel(type, 1) != 0), 1, info = type)
  }
  # c(rows, columns): narrow along the rows, wide along the columns.
  K <- orvel_kernel("epanechnikov", c(1.5, 3))
  expect_equal(c(at(K, 1, 0), at(K, 0, 1), at(K, 0, -2)), c(1 - 1 / 2.25, 1 - 1 / 9, 1 - 4 / 9))
  expect_equal(at(K, 2, 0), 0)
  expect_identical(orvel_kernel("biw", 2.5), orvel_kernel("biweight", c(2.5, 2.5)))
})

test_that("an asymmetric kernel reaches the libraries exactly as the raw .C call passes it", {
  K <- matrix(runif(49, 0.1, 1), 7, 7)
  raw <- function(lib, entry) {
    dll <- dyn.load(file.path(Sys.getenv("ORVEL_LIBDIR", file.path(root, "build")), paste0(lib, ".so")))
    r <- .C(getNativeSymbolInfo(entry, dll), as.double(small), nrow(small), ncol(small), as.double(K),
            F = double(length(small)), gFx = double(length(small)), gFy = double(length(small)))
    lapply(r[c("F", "gFx", "gFy")], matrix, nrow(small), ncol(small), dimnames = dimnames(small))
  }
  expect_identical(orvel_fit(small, K), raw("orvel-fit", "localPolynomials"))
  expect_identical(orvel_holdout(small, K), raw("orvel-holdout", "localPolynomialscv"))
  # The kernel is lopsided enough for a transposition to show.
  expect_false(isTRUE(all.equal(orvel_fit(small, K)$F, orvel_fit(small, t(K))$F)))
})

test_that("orvel_fit and orvel_holdout agree with lm.wfit, slopes labelled by direction", {
  K <- orvel_kernel("tricube", c(2, 3.5))
  fit <- orvel_fit(small, K)
  ho <- orvel_holdout(small, K)
  nodes <- rbind(c(1, 1), c(31, 26), c(1, 26), c(31, 1), c(2, 13), c(16, 1), c(16, 13), c(29, 24))
  for (k in seq_len(nrow(nodes))) {
    iy <- nodes[k, 1]; ix <- nodes[k, 2]
    expect_equal(c(fit$F[iy, ix], fit$gFx[iy, ix], fit$gFy[iy, ix]), wls_node(small, K, iy, ix),
                 tolerance = 1e-9, info = sprintf("fit (%d, %d)", iy, ix))
    expect_equal(c(ho$F[iy, ix], ho$gFx[iy, ix], ho$gFy[iy, ix]), wls_node(small, K, iy, ix, TRUE),
                 tolerance = 1e-9, info = sprintf("holdout (%d, %d)", iy, ix))
  }
  # An integer grid is the same grid.
  iz <- matrix(as.integer(round(small)), nrow(small), dimnames = dimnames(small))
  expect_identical(orvel_fit(iz, K), orvel_fit(round(small), K))
})

test_that("missing values spread to the windows that hold them and drop out of the CV score", {
  z <- small[1:15, 1:12]
  z[8, 6] <- NA
  K <- orvel_kernel("gaussian", 1.25)
  fit <- orvel_fit(z, K)
  near <- outer(abs(1:15 - 8) <= 3, abs(1:12 - 6) <= 3, "&")
  expect_true(all(is.na(fit$F[near])))
  expect_true(all(is.finite(fit$F[!near])))
  # The score computed node by node from the definition.
  err <- c()
  for (ix in 1:12) for (iy in 1:15) {
    if (near[iy, ix]) next
    err <- c(err, z[iy, ix] - wls_node(z, K, iy, ix, TRUE)[1])
  }
  expect_length(err, sum(!near))
  expect_equal(orvel_cv(z, K), mean(err^2), tolerance = 1e-10)
  # A kernel with nothing off the centre predicts no node at all.
  expect_identical(orvel_cv(z, orvel_kernel("uniform", 1)), NaN)
})

test_that("orvel_select scores every candidate and returns the minimum of its own table", {
  sel <- orvel_select(small, type = c("gaussian", "epanechnikov"))
  tab <- sel$table
  expect_equal(nrow(tab), length(orvel_bandwidths("gaussian")) + length(orvel_bandwidths("epanechnikov")))
  for (i in c(1, 9, 20)) {
    expect_identical(tab$cv[i], orvel_cv(small, orvel_kernel(tab$type[i], tab$bandwidth[i])))
  }
  best <- which.min(tab$cv)
  expect_identical(c(sel$type, sel$bandwidth, sel$cv), c(tab$type[best], tab$bandwidth[best], tab$cv[best]))
  expect_identical(sel$kernel, orvel_kernel(tab$type[best], tab$bandwidth[best]))
  expect_identical(orvel_fit(small, sel), orvel_fit(small, sel$kernel))

  # A bandwidth that leaves only the centre is listed but never chosen.
  sel <- orvel_select(small, type = "uniform", bandwidths = c(1, 2, 3))
  expect_true(is.nan(sel$table$cv[1]))
  expect_identical(sel$cv, min(sel$table$cv[2:3]))
  expect_error(orvel_select(small, "uniform", bandwidths = c(0.5, 1)), "no candidate")

  pdf(NULL)
  on.exit(dev.off())
  expect_invisible(plot(sel))
  expect_output(print(sel), "uniform kernel, bandwidth")
})

test_that("bad input gives an error naming the argument", {
  K <- orvel_kernel()
  for (f in list(orvel_fit, orvel_holdout, orvel_cv, function(z, K) orvel_select(z))) {
    expect_error(f(as.data.frame(small), K), "`z`")
    expect_error(f(matrix(TRUE, 5, 5), K), "`z` must be a numeric matrix, not a logical matrix")
    expect_error(f(matrix("1", 5, 5), K), "`z`")
    expect_error(f(as.vector(small), K), "`z`")
  }
  for (bad in list(K[, 1:6], as.vector(K), replace(K, 9, NA), replace(K, 24, Inf),
                   replace(K, 1, NaN), matrix("1", 7, 7), K > 0)) {
    expect_error(orvel_fit(small, bad), "`kernel`")
    expect_error(orvel_cv(small, bad), "`kernel`")
  }
  expect_error(.orvel_check_dims(c(65536L, 32768L)), "`z` has 2147483648 nodes")
  expect_identical(.orvel_check_dims(c(46340L, 46340L)), c(46340L, 46340L))
  expect_error(orvel_kernel("cosine"), "`type`")
  expect_error(orvel_select(small, type = c("gaussian", "cosine")), "`type`")
  for (bw in list(-1, 0, NA, Inf, c(1, 2, 3), "2", numeric(0)))
    expect_error(orvel_kernel("gaussian", bw), "`bandwidth`")
  expect_error(orvel_select(small, bandwidths = c(0, 1)), "`bandwidths`")
})

test_that("empty and one-wide grids come back shaped like z", {
  z <- matrix(numeric(0), 0, 4, dimnames = list(NULL, letters[1:4]))
  fit <- orvel_fit(z)
  expect_identical(fit$gFy, z)
  expect_identical(orvel_cv(z), NaN)
  # One row: every window lies on a line, so every plane is undetermined.
  expect_true(all(is.nan(orvel_holdout(small[3, , drop = FALSE])$F)))
})

test_that("a missing library is reported by path", {
  old <- Sys.getenv("ORVEL_LIBDIR")
  on.exit(Sys.setenv(ORVEL_LIBDIR = old))
  Sys.setenv(ORVEL_LIBDIR = file.path(tempdir(), "nowhere"))
  env <- new.env()
  source(file.path(root, "R", "orvel.R"), local = env)
  expect_error(env$orvel_fit(small), "nowhere/orvel-fit.so.*ORVEL_LIBDIR")
})
