# Kernels on windows of any odd size, their checks, the default candidate
# bandwidths, and the least-squares oracle of helper-wls.R itself.

test_that("default windows hold the whole compact support and two Gaussian bandwidths, no more", {
  ring <- function(K, axis) if (axis == 1) K[c(1, nrow(K)), ] else K[, c(1, ncol(K))]
  for (type in c("epanechnikov", "biweight", "triweight", "tricube", "uniform")) {
    for (b in c(1.5, 3, 4, 4.5, 7, 7.2, 20)) {
      K <- orvel_kernel(type, b)
      info <- sprintf("%s %g", type, b)
      # One ring wider adds only zeros; the outer ring is non-zero unless 7 x 7.
      wide <- suppressMessages(orvel_kernel(type, b, size = dim(K) + 2))
      expect_identical(unname(wide[2:(nrow(K) + 1), 2:(ncol(K) + 1)]), unname(K), info = info)
      expect_true(all(c(ring(wide, 1), ring(wide, 2)) == 0), info = info)
      if (nrow(K) > 7) expect_true(any(ring(K, 1) != 0), info = info) else expect_identical(dim(K), c(7L, 7L))
    }
  }
  for (b in c(0.5, 1.5, 1.6, 2, 4, 9.3)) {
    K <- orvel_kernel("gaussian", c(b, 1))
    h <- (nrow(K) - 1) / 2
    expect_gte(h, 2 * b)                                 # covers two bandwidths
    expect_true(h == 3 || h - 1 < 2 * b, info = b)       # and no more
    expect_identical(ncol(K), 7L)
    expect_identical(dimnames(K), list(dy = as.character(-h:h), dx = as.character(-3:3)))
    expect_equal(K[1, 4], exp(-h^2 / (2 * b^2)))
  }
  expect_identical(orvel_kernel()[, ], orvel_kernel("gaussian", 1.5, size = 7)[, ])
})

test_that("the 101 x 101 cap truncates with a warning naming the bandwidth", {
  expect_silent(K <- orvel_kernel("gaussian", 25))
  expect_identical(dim(K), c(101L, 101L))
  expect_warning(K <- orvel_kernel("gaussian", c(2, 30)), "`bandwidth`.*101 x 101")
  expect_identical(dim(K), c(9L, 101L))
  expect_silent(orvel_kernel("tricube", 51))
  expect_warning(orvel_kernel("uniform", 51.5), "`bandwidth`")
  expect_silent(orvel_kernel("gaussian", 40, size = 9))
})

test_that("a size given sets the window: bandwidth kernels cut, fixed kernels padded", {
  K <- orvel_kernel("gaussian", c(1, 2.5), size = c(3, 9))
  expect_identical(dim(K), c(3L, 9L))
  expect_identical(K[, ], orvel_kernel("gaussian", c(1, 2.5))[3:5, 2:10])
  for (type in c("horn", "rook")) {
    for (s in list(3, 5, c(3, 11))) {
      K <- orvel_kernel(type, size = s)
      h <- (dim(K) - 1) / 2
      expect_identical(dim(K), as.integer(rep(s, length.out = 2)))
      expect_identical(unname(K[h[1] + 0:2, h[2] + 0:2]), unname(orvel_kernel(type)[3:5, 3:5]))
      expect_identical(sum(K), sum(orvel_kernel(type)))
    }
  }
  for (bad in list(4, 1, 103, 5.5, c(3, 5, 7), "5", NA, c(7, 8), -3, numeric(0)))
    expect_error(orvel_kernel("gaussian", 2, size = bad), "`size` must be one odd whole number")
  expect_error(orvel_kernel("horn", size = 2), "`size`.*not 2")
})

test_that("kernels of any odd size are checked; those up to 7 x 7 fit as padded to 7 x 7", {
  check <- orvel:::.orvel_check_kernel
  K <- check(matrix(1:15, 3, 5, dimnames = list(letters[1:3], NULL)))
  expect_true(is.double(K))
  expect_identical(dim(K), c(3L, 5L))
  expect_null(dimnames(K))
  expect_identical(dim(check(matrix(1, 101, 3))), c(101L, 3L))
  for (d in list(c(9, 8), c(1, 3), c(103, 103), c(2, 2)))
    expect_error(check(matrix(1, d[1], d[2]), "w"), sprintf("`w` must have an odd number.*not %d x %d", d[1], d[2]))
  expect_error(check(matrix(0, 5, 5)), "not all 25 zero")

  # A lopsided 5 x 3 kernel fits as the plane of its own window, edges included.
  set.seed(11)
  z <- matrix(rnorm(15 * 12), 15, 12)
  K <- matrix(runif(15, 0.2, 1), 5, 3)
  fit <- orvel_fit(z, K)
  ho <- orvel_holdout(z, K)
  for (node in list(c(1, 1), c(15, 12), c(2, 7), c(8, 6))) {
    want <- wls_coef(z, K, node[1], node[2], spacing = 1 / dim(z))
    expect_equal(c(fit$F[node[1], node[2]], fit$gFx[node[1], node[2]], fit$gFy[node[1], node[2]]),
                 unname(want), tolerance = 1e-9)
    expect_equal(ho$F[node[1], node[2]],
                 unname(wls_coef(z, K, node[1], node[2], holdout = TRUE)[1]), tolerance = 1e-9)
  }
  expect_identical(unname(fit$kernel), K)
  expect_output(print(fit), "kernel: 5 x 3, 15 non-zero")
  # Horn on its 3 x 3 window is Horn on the 7 x 7 one, for a raster too.
  expect_identical(orvel_fit(z, orvel_kernel("horn", size = 3))$gFx, orvel_fit(z, orvel_kernel("horn"))$gFx)
  skip_if_not_installed("terra")
  dem <- terra::rast(volcano, extent = terra::ext(0, 610, 0, 870), crs = "local")
  expect_identical(terra::values(orvel_terrain(dem, kernel = orvel_kernel("horn", size = 3))),
                   terra::values(orvel_terrain(dem, kernel = orvel_kernel("horn"))))
})

test_that("default bandwidths keep the quarter steps, then grow geometrically to wide windows", {
  for (type in c("gaussian", "tricube")) {
    b <- orvel_bandwidths(type)
    fine <- if (type == "gaussian") c(0.5, 3) else c(1.5, 4.5)
    top <- if (type == "gaussian") 12 else 24
    expect_identical(b[b <= fine[2]], seq(fine[1], fine[2], by = 0.25))
    wide <- b[b >= fine[2]]
    ratio <- wide[-1] / wide[-length(wide)]
    expect_true(all(ratio > 1.15 & ratio < 1.35), info = type)
    expect_identical(max(b), top)
    expect_identical(signif(wide, 2), wide)
  }
  expect_identical(orvel_bandwidths("biweight"), orvel_bandwidths("uniform"))
})

test_that("the least-squares oracle recovers polynomials exactly, missing values and edges included", {
  s <- c(2, 0.5)
  poly <- function(y, x) 3 - 1.5 * y + 0.25 * x + 0.2 * y^2 - 0.3 * x * y + 0.7 * x^2
  z <- outer((1:12 - 1) * s[1], (1:9 - 1) * s[2], poly)
  z[2, 3] <- NA
  z[1, 2] <- NaN
  z[3, 1] <- Inf
  K <- orvel_kernel("gaussian", c(1.5, 2), size = c(7, 9))
  # At the corner the node's own offsets are the surface's coordinates.
  expect_equal(wls_coef(z, K, 1, 1, degree = 2, spacing = s),
               c("(Intercept)" = 3, y = -1.5, x = 0.25, "y^2" = 0.2, "x*y" = -0.3, "x^2" = 0.7),
               tolerance = 1e-9)
  # Inside, the same quadratic expanded around the node (y0, x0).
  y0 <- 6 * s[1]; x0 <- 4 * s[2]
  expect_equal(unname(wls_coef(z, K, 7, 5, degree = 2, holdout = TRUE, spacing = s)),
               c(poly(y0, x0), -1.5 + 0.4 * y0 - 0.3 * x0, 0.25 - 0.3 * y0 + 1.4 * x0, 0.2, -0.3, 0.7),
               tolerance = 1e-9)
  plane <- outer(1:12, 1:9, function(r, c) 1 + 2 * r - c)
  expect_equal(unname(wls_coef(plane, K, 12, 9, holdout = TRUE)), c(1 + 24 - 9, 2, -1), tolerance = 1e-9)
  # Too few or collinear observations: no coefficients at all.
  line <- matrix(0, 3, 3)
  line[2, ] <- 1
  expect_true(all(is.na(wls_coef(z, line, 5, 5))))
  expect_true(all(is.na(wls_coef(z, matrix(1, 3, 3), 1, 1, degree = 2))))
  expect_named(wls_coef(z, line, 5, 5), c("(Intercept)", "y", "x"))
})
