# The R interface: kernel construction, the wrappers' handling of
# orientation, dimnames and missing values, the CV score, bandwidth choice and
# the errors for bad input.

# The plane b0 + b1 * dy / ny + b2 * dx / nx at node (iy, ix) (see
# helper-wls.R): offsets scaled by the grid's size, as orvel_fit() has them.
wls_node <- function(z, K, iy, ix, holdout = FALSE)
  unname(wls_coef(z, K, iy, ix, holdout = holdout, spacing = 1 / dim(z)))

set.seed(7)
small <- volcano[10:40, 5:30] + matrix(rnorm(31 * 26), 31, 26)
dimnames(small) <- list(paste0("r", 1:31), paste0("c", 1:26))

test_that("orvel_kernel follows its documented profiles and orientation", {
  at <- function(K, dy, dx) K[dy + (nrow(K) + 1) / 2, dx + (ncol(K) + 1) / 2]
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
  old <- options(orvel.exact = TRUE)
  on.exit(options(old))
  K <- matrix(runif(49, 0.1, 1), 7, 7)
  raw <- function(lib, entry) {
    dll <- dyn.load(file.path(orvel:::.orvel_libdir(), paste0(lib, ".so")))
    r <- .C(getNativeSymbolInfo(entry, dll), as.double(small), nrow(small), ncol(small), as.double(K),
            F = double(length(small)), gFx = double(length(small)), gFy = double(length(small)))
    lapply(r[c("F", "gFx", "gFy")], matrix, nrow(small), ncol(small), dimnames = dimnames(small))
  }
  outputs <- c("F", "gFx", "gFy")
  expect_identical(unclass(orvel_fit(small, K))[outputs], raw("orvel-fit", "localPolynomials"))
  expect_identical(unclass(orvel_holdout(small, K))[outputs], raw("orvel-holdout", "localPolynomialscv"))
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
  expect_identical(orvel_fit(iz, K)$F, orvel_fit(round(small), K)$F)
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
    expect_identical(tab$cv[i], orvel_cv(small, orvel_kernel(tab$type[i], tab$rows[i])))
  }
  best <- which.min(tab$cv)
  expect_identical(c(sel$type, sel$bandwidth, sel$cv), c(tab$type[best], tab$rows[best], tab$cv[best]))
  expect_identical(sel$kernel, orvel_kernel(tab$type[best], tab$rows[best]))
  expect_identical(orvel_fit(small, sel)$F, orvel_fit(small, sel$kernel)$F)

  # A bandwidth that leaves only the centre is listed but never chosen.
  expect_warning(sel <- orvel_select(small, type = "uniform", bandwidths = c(1, 2, 3)),
                 "1 candidate predicts no node and scores NaN: uniform 1 \\(7 x 7\\)")
  expect_true(is.nan(sel$table$cv[1]))
  expect_identical(sel$cv, min(sel$table$cv[2:3]))
  expect_error(orvel_select(small, "uniform", bandwidths = c(0.5, 1)), "no candidate")

  pdf(NULL)
  on.exit(dev.off())
  expect_invisible(plot(sel))
  expect_output(print(sel), "uniform kernel, bandwidth")
})

test_that("bad input gives an error naming the argument, what was given and what is wanted", {
  K <- orvel_kernel()
  for (f in list(orvel_fit, orvel_holdout, orvel_cv, function(z, K) orvel_select(z))) {
    expect_error(f(as.data.frame(small), K), "`z` must be a numeric matrix, not a data frame")
    expect_error(f(matrix(TRUE, 5, 5), K), "`z` must be a numeric matrix, not a 5 x 5 logical matrix")
    expect_error(f(1:10, K), "`z` must be a numeric matrix, not an integer vector of length 10")
    expect_error(f(small[3, , drop = FALSE], K), "`z` must have at least two rows and two columns, not 1 x 26")
    expect_error(f(matrix(numeric(0), 0, 4), K), "not 0 x 4")
  }
  for (bad in list(K[, 1:6], as.vector(K), replace(K, 9, NA), replace(K, 24, Inf),
                   replace(K, 1, NaN), matrix("1", 7, 7), K > 0)) {
    expect_error(orvel_fit(small, bad), "`kernel`")
    expect_error(orvel_cv(small, bad), "`kernel`")
  }
  expect_error(orvel_fit(small, K[, 1:6]), "odd number of rows and of columns, each from 3 to 101, not 7 x 6")
  expect_error(orvel_fit(small, replace(K, 9, NA)), "finite weights only, not NA")
  expect_error(orvel_fit(small, K, spcing = 2), "unused argument: spcing")
  expect_error(orvel_kernel("cosine"), "`type` must be one of .* not \"cosine\"")
  expect_error(orvel_select(small, type = c("gaussian", "cosine")), "`type`")
  for (bw in list(-1, 0, NA, Inf, c(1, 2, 3), "2", numeric(0)))
    expect_error(orvel_kernel("gaussian", bw), "`bandwidth`")
  expect_error(orvel_select(small, bandwidths = c(0, 1)), "`bandwidths` must be positive and finite, not 0")
  expect_error(orvel_select(small, bandwidths = matrix(1:3, 1)), "two-column matrix")
  expect_error(orvel_select(small, progress = NA), "`progress` must be TRUE or FALSE")
  expect_error(orvel_fit(small, spacing = c(1, -2)), "`spacing` must be one positive number or c\\(rows, columns\\), not 1, -2")
  expect_error(orvel_slopes(list(F = small)), "`fit` must be an orvel_fit")
})

test_that("no malformed input crashes R: every call returns or stops with a message", {
  setClass("orvelTestS4", representation(x = "numeric"), where = environment())
  K <- orvel_kernel()
  inputs <- list(NULL, NA, NaN, Inf, 1, "a", list(), list(small), function(x) x, quote(x),
                 factor(1:4), 1:49, matrix(NA_real_, 3, 3), matrix(NaN, 9, 9), matrix(Inf, 9, 9),
                 matrix(1e308, 9, 9), matrix(-1e308, 8, 9), matrix(.Machine$double.xmin, 9, 9),
                 matrix(0L, 2, 2), array(1, c(7, 7, 2)), matrix(list(1), 7, 7),
                 matrix(1 + 0i, 7, 7), as.data.frame(K), structure(K, class = "foo"),
                 new("orvelTestS4", x = 1), matrix(numeric(0), 7, 0))
  if (requireNamespace("Matrix", quietly = TRUE))
    inputs <- c(inputs, list(Matrix::Matrix(K, sparse = TRUE), Matrix::Matrix(small)))
  calls <- list(
    function(a) orvel_fit(a), function(a) orvel_fit(small, a), function(a) orvel_fit(small, K, a),
    function(a) orvel_holdout(a), function(a) orvel_holdout(small, a),
    function(a) orvel_cv(a), function(a) orvel_cv(small, a),
    # (two candidates: the inputs are what is under test, not the search)
    function(a) orvel_select(a, bandwidths = 1:2), function(a) orvel_select(small, a, 1:2),
    function(a) orvel_select(small, bandwidths = a), function(a) orvel_select(small, progress = a),
    function(a) orvel_kernel(a), function(a) orvel_kernel("gaussian", a),
    function(a) orvel_bandwidths(a), function(a) orvel_slopes(a),
    function(a) orvel_slopes(orvel_fit(small), a))
  for (f in calls) for (a in inputs) {
    r <- tryCatch({ suppressWarnings(f(a)); "returned" }, error = function(e) conditionMessage(e))
    expect_true(identical(r, "returned") || grepl("`[a-z]+`", r), info = r)
  }
})

test_that("a fit is an object with the usual methods and slopes in the user's units", {
  K <- orvel_kernel("gaussian", 2, size = 7)
  fit <- orvel_fit(small, K, spacing = c(2, 5))
  expect_s3_class(fit, "orvel_fit")
  expect_identical(fitted(fit), fit$F)
  expect_identical(residuals(fit), small - fit$F)
  expect_identical(dimnames(fit$gFy), dimnames(small))
  expect_equal(fit$kernel, K)
  out <- capture.output(print(fit))
  expect_match(out[1], "local linear fit of a 31 x 26 grid")
  expect_lt(length(out), 8)
  expect_output(print(summary(orvel_holdout(small, K, c(2, 5)))), "leave-one-out linear fit .* spacing 2 x 5")
  # A plane rising 3 per unit of distance down the rows and -0.5 across the
  # columns, with nodes 2 apart down the rows and 5 apart across.
  plane <- outer(2 * (1:31), 5 * (1:26), function(r, c) 3 * r - 0.5 * c)
  s <- orvel_slopes(orvel_fit(plane, K, spacing = c(2, 5)))
  expect_equal(range(s$rows), c(3, 3), tolerance = 1e-9)
  expect_equal(range(s$columns), c(-0.5, -0.5), tolerance = 1e-9)
  expect_equal(orvel_slopes(orvel_fit(plane, K), spacing = 1)$rows, s$rows * 2)
  pdf(NULL)
  on.exit(dev.off())
  expect_invisible(plot(fit))
})

test_that("orvel_select searches (rows, columns) pairs", {
  # Smooth along the rows, rough across the columns: a long narrow kernel wins.
  set.seed(3)
  z <- outer(1:40, 1:30, function(r, c) sin(c * 1.3)) + matrix(rnorm(1200, sd = 0.3), 40)
  pairs <- cbind(rows = c(1, 3, 1, 3), columns = c(1, 1, 3, 3))
  expect_warning(sel <- orvel_select(z, "gaussian", pairs), "3 x 1 is the largest")
  expect_identical(sel$table$rows, c(1, 3, 1, 3))
  expect_identical(sel$bandwidth, c(3, 1))
  expect_identical(sel$table$cv[4], orvel_cv(z, orvel_kernel("gaussian", c(3, 3))))
  pdf(NULL)
  on.exit(dev.off())
  expect_invisible(plot(sel))
})

test_that("slope and aspect angles agree with libm's atan and atan2, odd rows and specials included", {
  # 3 rows of 7 cells from position 5, a cell size per row (longitude/latitude).
  set.seed(5)
  g <- c(0, -0, 1e-300, Inf, -Inf, NaN, NA, 1e308, -1e308, 5e-320)
  gx <- c(g, rnorm(16) * 10^runif(16, -12, 12))
  gy <- c(rnorm(16) * 10^runif(16, -12, 12), rev(g))
  cx <- c(3.5, 7, 1e-3); ny <- 7.25
  i <- 5 + 1:21
  e <- gx[i] - 1e-300
  n <- gy[i] * (-rep(cx, each = 7) / ny)
  want <- c(atan(sqrt(e * e + n * n) / rep(cx, each = 7)), atan2(e, n) + pi) * (180 / pi)
  got <- .Call(orvel:::C_orvel_angles, gx[i], gy[i], 3, 7, cx, ny, 1:2, 180 / pi, 0L)
  expect_identical(is.na(got), is.na(want))
  rel <- abs(got - want) / pmax(abs(want), 1e-300)
  expect_lte(max(rel[1:21], na.rm = TRUE), 4 * 2^-52)                     # slopes
  expect_lte(max(abs(got - want)[22:42], na.rm = TRUE), 4 * 2^-52 * 360)  # aspects
  # The two-lane pass gives the same bits as the one this CPU runs, tails
  # of every length included (rows of 99 cells).
  isa <- .Call(orvel:::C_orvel_angles_isa)
  if (isa != "avx2") message("slope/aspect: no AVX2 on this CPU, only the two-lane pass is run")
  gx <- c(g, rnorm(2000) * 10^runif(2000, -12, 12))
  gy <- c(rnorm(2000) * 10^runif(2000, -12, 12), g)
  pass <- function(lanes) .Call(orvel:::C_orvel_angles, gx[3 + 1:1980], gy[3 + 1:1980], 20, 99,
                                1:20 / 7, ny, 2:1, 1, lanes)
  expect_identical(pass(0L), pass(2L))
})

test_that("a table or classed matrix is fitted as its numbers or refused by its class", {
  tab <- table(rep(1:4, 1:4), rep(c(1:3, 2:4), length.out = 10))
  f <- orvel_fit(tab)
  expect_identical(f$F, orvel_fit(unclass(tab))$F)
  expect_identical(residuals(f), unclass(tab) - f$F)
  expect_output(print(f), "local linear fit of a 4 x 4 grid")
  odd <- structure(small[1:5, 1:5], class = "foo")
  for (fn in list(orvel_fit, orvel_holdout, orvel_cv))
    expect_error(fn(odd), "`z` must be a numeric matrix, not an object of class \"foo\" holding a 5 x 5 numeric matrix")
})

test_that("kernels: all zeros refused, extreme scales fitted as at ordinary scale", {
  K <- orvel_kernel("tricube", c(2, 3.5))
  expect_error(orvel_fit(small, K * 0), "`kernel` must have at least one non-zero weight")
  expect_error(orvel_cv(small, K * 0), "`kernel`.*non-zero")
  ref <- orvel_fit(small, K)
  # By a power of two: the very same bits.
  for (e in c(300, -300, 1000, -1000)) {
    f <- orvel_fit(small, K * 2^e)
    expect_identical(f[c("F", "gFx", "gFy")], ref[c("F", "gFx", "gFy")], info = e)
  }
  for (s in c(1e150, 1e-200)) {
    f <- orvel_fit(small, K * s)
    expect_equal(f[c("F", "gFx", "gFy")], ref[c("F", "gFx", "gFy")], tolerance = 1e-12, info = s)
    expect_identical(f$kernel, ref$kernel * s)       # kept as given
    expect_equal(orvel_holdout(small, K * s)$F, orvel_holdout(small, K)$F, tolerance = 1e-12)
    expect_equal(orvel_cv(small, K * s), orvel_cv(small, K), tolerance = 1e-12)
  }
})

test_that("nodes lost to overflow are counted in a warning; missing values and planeless kernels are not", {
  K <- orvel_kernel("gaussian", 1.5)
  z <- volcano * 1e305
  z[40, 30] <- NA
  lost <- function(f) sum(!is.finite(f$F) | !is.finite(f$gFx) | !is.finite(f$gFy))
  w <- NULL
  f <- withCallingHandlers(orvel_fit(z, K), warning = function(c) {
    w <<- conditionMessage(c)
    invokeRestart("muffleWarning")
  })
  # The 49 nodes around the missing value are not finite either, but they
  # are not lost to overflow.
  expect_match(w, sprintf("^%d of 5307 nodes are not finite .* overflow double precision", lost(f) - 49))
  expect_gt(lost(f), 49)
  expect_warning(orvel_holdout(volcano * 1e305, K), "nodes are not finite.*overflow")
  expect_silent(orvel_fit(volcano * 1e300, K))
  za <- volcano
  za[10, 10] <- NA
  expect_silent(orvel_fit(za, K))
  expect_silent(orvel_fit(volcano, orvel_kernel("uniform", 1)))
})

test_that("print and summary give slopes per unit of spacing, which cropping does not change", {
  K <- orvel_kernel("gaussian", 2, size = 7)
  full <- orvel_fit(volcano, K, spacing = 10)
  crop <- orvel_fit(volcano[1:50, ], K, spacing = 10)
  sf <- orvel_slopes(full)
  sc <- orvel_slopes(crop)
  expect_equal(c(sc$rows[20, 30], sc$columns[20, 30]), c(sf$rows[20, 30], sf$columns[20, 30]),
               tolerance = 1e-12)
  expect_false(isTRUE(all.equal(crop$gFx[20, 30], full$gFx[20, 30])))
  # A plane: the same slopes printed for the grid and for its crop.
  plane <- outer(1:87, 1:61, function(r, c) 3 * r - 0.5 * c)
  pf <- capture.output(print(orvel_fit(plane, K, spacing = c(2, 5))))
  pc <- capture.output(print(orvel_fit(plane[1:50, ], K, spacing = c(2, 5))))
  expect_match(paste(pf, collapse = "\n"), "per unit of spacing .*increasing row index 1.5 .. 1.5; along increasing column index -0.1 .. -0.1")
  expect_identical(grep("spacing", pf, value = TRUE), grep("spacing", pc, value = TRUE))
  expect_identical(pf[4], pc[4])
  sp <- summary(orvel_fit(plane, K, spacing = c(2, 5)))
  sc <- summary(orvel_fit(plane[1:50, ], K, spacing = c(2, 5)))
  expect_equal(sp$table[2:3, 1:5], sc$table[2:3, 1:5], tolerance = 1e-9)
  expect_output(print(sp), "per unit of spacing, along increasing row index")
})

test_that("a fit is plotted north-up with a key per image, silently on any grid it accepts", {
  pdf(NULL)
  on.exit(dev.off())
  dev.control("enable")
  # Rising 10 per row down the rows, flat across: row 1 lowest.
  z <- outer(1:6, 1:5, function(r, c) 10 * r + 0 * c)
  plot(orvel_fit(z, orvel_kernel("gaussian", 1, size = 3)))
  calls <- recordPlot()[[1]]
  args <- function(what) lapply(Filter(function(x) identical(x[[2]][[1]]$name, what), calls),
                                function(x) x[[2]][-1])
  win <- args("C_plot_window")        # smooth, its key, slope, its key
  ras <- args("C_raster")[[1]]        # image, xleft, ybottom, xright, ytop
  img <- as.matrix(ras[[1]])
  expect_identical(dim(img), dim(z))  # the columns across
  # The image's first row is drawn at ytop: at the screen's top only if the
  # vertical axis rises.
  ylim <- win[[1]][[2]]
  top <- if ((ras[[5]] - ras[[3]]) * (ylim[2] - ylim[1]) > 0) 1 else nrow(img)
  expect_true(all(img[top, ] %in% grDevices::hcl.colors(64, "Terrain")[1:4]))
  expect_length(args("C_rect"), 2)    # a colour key for each image
  # Uphill is down the rows: down the screen, straight.
  a <- args("C_arrows")[[1]]
  ylim <- win[[3]][[2]]
  expect_true(all(sign(a[[4]] - a[[2]]) == sign(ylim[1] - ylim[2])))
  expect_equal(a[[3]], a[[1]])

  flat <- volcano
  flat[1:40, ] <- 100
  flat[50:60, 20:30] <- NA
  for (g in list(volcano, flat, matrix(5, 20, 30), matrix(c(1, 3, 2, 5), 2),
                 matrix(rnorm(1000), 2), matrix(rnorm(1000), 500), matrix(NA_real_, 5, 5)))
    expect_silent(plot(orvel_fit(g, orvel_kernel("gaussian", 1.5, size = 3)), spacing = c(2, 5)))
  expect_silent(plot(orvel_fit(volcano), north.up = FALSE, arrows = 5))
  expect_error(plot(orvel_fit(volcano), arrows = -1), "`arrows`")
})

test_that("the CV plot's legend goes to the corner its curves leave empty", {
  pdf(NULL)
  on.exit(dev.off())
  # On the log scale the curve runs from bottom left to top right.
  plot(1:10, (1:10)^2, log = "y")
  expect_identical(orvel:::.orvel_emptiest_corner(list(data.frame(1:10, (1:10)^2)), c("gaussian", "tricube")),
                   "topleft")
  plot(1:10, 10:1)
  expect_identical(orvel:::.orvel_emptiest_corner(list(data.frame(1:10, 10:1)), c("gaussian", "tricube")),
                   "topright")
})

test_that("orvel_select warns when the window cuts its choice short", {
  set.seed(11)
  z <- volcano[1:30, 1:30] + rnorm(900, sd = 5)
  expect_warning(orvel_select(z, bandwidths = 2, size = 3), "gaussian kernel \\(bandwidth 2\\) is cut short by its 3 x 3 window")
  expect_warning(orvel_select(z, "epanechnikov", bandwidths = 3, size = 3), "weights reach beyond .* half-width of 1 node step")
  expect_warning(orvel_select(z, bandwidths = cbind(1, 3), size = c(7, 5)), "bandwidth 1 x 3.* 7 x 5 window")
  # Within the window: no warning, at the window's edge included.
  expect_silent(orvel_select(z, bandwidths = 2, size = 5))
  expect_silent(orvel_select(z, "epanechnikov", bandwidths = 3))
  expect_silent(orvel_select(z, "epanechnikov", bandwidths = 3, size = 5))
})

test_that("cells and scores lost to overflow are counted for rasters and cross-validation too", {
  K <- orvel_kernel("gaussian", 1.5)
  z <- volcano[1:30, 1:25] * 1e305
  expect_warning(s <- orvel_cv(z, K), "^[0-9]+ of 750 nodes are not finite .* overflow")
  expect_silent(orvel_cv(volcano[1:30, 1:25] * 1e300, K))
  skip_if(nzchar(Sys.getenv("ORVEL_VALGRIND")))   # terra is not under test there
  skip_if_not_installed("terra")
  r <- terra::rast(z)
  expect_warning(orvel_fit(r, K), "^[0-9]+ of 750 cells are not finite .*`z`.* overflow")
  expect_warning(orvel_cv(r, K), "of 750 cells are not finite")
  expect_silent(orvel_terrain(terra::rast(volcano[1:30, 1:25] * 1e300)))
})
