# A window size given without a bandwidth: the kernel fills the window; a
# kernel narrower than the window it was asked for says so.

edge <- function(K) list(rows = K[c(1, nrow(K)), ], cols = K[, c(1, ncol(K))])

test_that("a size alone gives a kernel whose support reaches every edge of the window", {
  for (type in c("epanechnikov", "biweight", "triweight", "tricube", "uniform", "gaussian")) {
    for (s in list(3, 7, 15, c(5, 11))) {
      info <- sprintf("%s %s", type, toString(s))
      K <- expect_silent(orvel_kernel(type, size = s))
      expect_identical(dim(K), as.integer(rep(s, length.out = 2)), info = info)
      h <- (dim(K) - 1) / 2
      # the middle of each edge has weight, so no outer row or column is empty
      expect_gt(min(K[1, h[2] + 1], K[nrow(K), h[2] + 1], K[h[1] + 1, 1], K[h[1] + 1, ncol(K)]), 0)
      # and a window one ring wider around the same kernel adds only zeros
      b <- if (type == "gaussian") h / 2 else h + 1
      if (type != "gaussian") {
        wide <- suppressMessages(orvel_kernel(type, b, size = dim(K) + 2))
        expect_true(all(unlist(edge(wide)) == 0), info = info)
      }
      expect_identical(K[, ], orvel_kernel(type, b, size = dim(K))[, ], info = info)
    }
  }
  # The issue's case: a uniform 7 x 7 window is the disc of radius 4, all
  # but the four corners.
  expect_identical(sum(orvel_kernel("uniform", size = 7)), 45)
  # The Gaussian's default kernel is the one a 7 x 7 size alone gives.
  expect_identical(orvel_kernel("gaussian", size = 7)[, ], orvel_kernel()[, ])
})

test_that("other calls keep their kernels", {
  # without size, the default window; with both, the size as given
  for (type in c("epanechnikov", "tricube", "uniform", "gaussian")) {
    K <- orvel_kernel(type)
    expect_identical(dim(K), c(7L, 7L))
    expect_identical(unname(K[4, 4 + 0:3] > 0), c(TRUE, TRUE, type == "gaussian", type == "gaussian"))
  }
  expect_identical(sum(suppressMessages(orvel_kernel("uniform", 1.5, size = 7))), 9)
  expect_identical(orvel_kernel("horn", size = 5)[2:4, 2:4], orvel_kernel("horn")[3:5, 3:5])
  expect_error(orvel_kernel("horn", 2, size = 5), "does not apply")
})

test_that("a size with a narrower kernel says which margins are empty, once, and only then", {
  expect_message(orvel_kernel("uniform", 1.5, size = 7),
                 "weights on only 3 x 3 of its 7 x 7 window \\(the outer rows and columns are zero\\)")
  expect_message(orvel_kernel("epanechnikov", c(1.5, 5), size = c(9, 9)),
                 "3 x 9 of its 9 x 9 window \\(the outer rows are zero\\)")
  expect_message(orvel_kernel("tricube", c(5, 2), size = 9), "outer columns are zero")
  expect_message(orvel_kernel("uniform", 1.5, size = 7), class = "orvel_margin_message")
  # no message: the window filled, the default window, Gaussian weights,
  # fixed kernels, and orvel_select()'s candidates in a common size
  expect_silent(orvel_kernel("uniform", 4, size = 7))
  expect_silent(orvel_kernel("uniform", 1.5))
  expect_silent(orvel_kernel("gaussian", 0.5, size = 15))
  expect_silent(orvel_kernel("rook", size = 9))
  z <- outer(1:12, 1:10, function(i, j) sin(i / 3) + cos(j / 4))
  expect_message(suppressWarnings(orvel_select(z, "epanechnikov", bandwidths = c(1.5, 2), size = 7)),
                 NA)
})
