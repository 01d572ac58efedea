# Planes and quadratics on windows from 3 x 3 to 31 x 31 against weighted
# least squares node by node (helper-wls.R), missing values, nodes where no
# fit exists, the leave-one-out identity, determinism, and the choice of a
# kernel. Under valgrind (ORVEL_VALGRIND set) the grids and node samples are
# smaller and rasters are left out.

valgrind <- nzchar(Sys.getenv("ORVEL_VALGRIND"))

# Heights about 90 to 200 with noise: far from zero, so a tolerance relative
# to the data's range means something.
set.seed(11)
vz <- volcano + matrix(rnorm(length(volcano), sd = 2), nrow(volcano))
if (valgrind) vz <- vz[20:59, 10:44]
holes <- function(z) {
  z[20:24, 15:19] <- NA; z[8, 30] <- NaN; z[nrow(z) - 5, 4] <- Inf; z[nrow(z), ncol(z)] <- -Inf
  z
}

# A tilted elliptical kernel, heavier to the south and east: neither
# symmetric nor a product of a row and a column profile.
lopsided <- function(size, bw = size / 4) {
  h <- (rep(size, length.out = 2) - 1) / 2
  bw <- rep(bw, length.out = 2)
  dy <- -h[1]:h[1]; dx <- -h[2]:h[2]
  q <- outer(dy / bw[1], dx / bw[2], function(y, x) y^2 - 1.2 * x * y + x^2)
  exp(-q / 2) * outer(1 + 0.8 * (dy > 0), 1.5 + tanh(dx))
}

# Corners, points along the edges, every node within one step of a missing
# value, and a random sample of the rest.
nodes <- function(z, n) {
  ny <- nrow(z); nx <- ncol(z)
  edge <- rbind(cbind(c(1, ny), rep(c(1, nx), each = 2)), cbind(c(1, 2, ny - 1, ny), c(5, nx - 2, 3, 9)),
                cbind(c(4, 11, ny - 2), c(1, nx, nx)))
  m <- !is.finite(z)
  near <- which(m | cbind(m[, -1], FALSE) | cbind(FALSE, m[, -nx]) | rbind(m[-1, ], FALSE) |
                rbind(FALSE, m[-ny, ]), arr.ind = TRUE)
  unique(rbind(edge, near[unique(round(seq(0, nrow(near), length.out = n + 1)))[-1], ], cbind(sample(ny, n, TRUE), sample(nx, n, TRUE))))
}

test_that("coefficients match weighted least squares at corners, edges and voids, windows 3 to 31", {
  sp <- c(2, 5)
  cases <- list(
    list(K = orvel_kernel("gaussian", 1, size = 3), degree = 1, na = FALSE, holdout = FALSE),
    list(K = lopsided(3), degree = 2, na = TRUE, holdout = FALSE),
    list(K = lopsided(c(3, 5)), degree = 2, na = TRUE, holdout = TRUE),
    list(K = lopsided(5), degree = 1, na = TRUE, holdout = TRUE),
    list(K = orvel_kernel("epanechnikov", c(2, 4.5), size = 9), degree = 2, na = TRUE, holdout = TRUE),
    list(K = lopsided(9), degree = 1, na = FALSE, holdout = FALSE),
    list(K = orvel_kernel("gaussian", 3.5, size = 15), degree = 2, na = FALSE, holdout = TRUE),
    list(K = lopsided(15), degree = 1, na = TRUE, holdout = FALSE),
    list(K = lopsided(31), degree = 2, na = TRUE, holdout = FALSE),
    list(K = orvel_kernel("gaussian", 7, size = 31), degree = 1, na = TRUE, holdout = TRUE))
  total <- 0
  for (cs in cases) {
    z <- if (cs$na) holes(vz) else vz
    f <- (if (cs$holdout) orvel_holdout else orvel_fit)(z, cs$K, spacing = sp, degree = cs$degree, na.rm = TRUE)
    b <- coef(f)
    p <- dim(b)[3]
    # Rounding of sums of the data is relative to its range; a coefficient
    # of order k (in y and x) is a range divided by the spacing^k.
    tol <- 1e-9 * diff(range(z[is.finite(z)])) / c(1, sp[1], sp[2], sp[1]^2, prod(sp), sp[2]^2)[seq_len(p)]
    at <- nodes(z, if (valgrind) 8 else 30)
    info <- sprintf("%s window, degree %d, %s", paste(dim(cs$K), collapse = " x "), cs$degree,
                    if (cs$holdout) "holdout" else "fit")
    bad <- character()
    for (i in seq_len(nrow(at))) {
      o <- wls_coef(z, cs$K, at[i, 1], at[i, 2], cs$degree, cs$holdout, sp)
      g <- b[at[i, 1], at[i, 2], ]
      ok <- if (anyNA(o)) all(is.na(g)) else all(is.finite(g)) && all(abs(g - o) <= tol)
      if (!ok) bad <- c(bad, sprintf("node %d,%d", at[i, 1], at[i, 2]))
    }
    expect_identical(bad, character(), info = info)
    total <- total + nrow(at)
  }
  expect_gt(total, if (valgrind) 100 else 300)
})

test_that("na.rm = FALSE loses exactly the kernel's footprint of each void; na.rm = TRUE fills what it can", {
  z <- holes(vz)
  zero <- z
  zero[!is.finite(z)] <- 0
  for (m in list(list(K = orvel_kernel("epanechnikov", 2.5), degree = 1),   # exact engine
                 list(K = orvel_kernel("epanechnikov", c(4, 2.5), size = 9), degree = 1),
                 list(K = lopsided(7), degree = 2))) for (holdout in c(FALSE, TRUE)) {
    fit <- if (holdout) orvel_holdout else orvel_fit
    f <- fit(z, m$K, degree = m$degree)
    lost <- footprint_na(z, m$K, holdout)
    info <- sprintf("%d x %d, degree %d, holdout %s", nrow(m$K), ncol(m$K), m$degree, holdout)
    for (k in c("F", "gFx", "gFy")) expect_identical(is.na(f[[k]]), lost, info = info)
    if (m$degree == 2) expect_identical(is.na(f$Q), array(lost, dim(f$Q)), info = info)
    # Elsewhere the missing values count for nothing, whatever they are.
    g <- fit(zero, m$K, degree = m$degree)
    expect_equal(f$F[!lost], g$F[!lost], tolerance = 1e-12, info = info)
  }
  # A 6 x 6 void: a 9 x 9 Gaussian fills it all, a 3 x 3 kernel where the
  # observed neighbours fix a plane, as weighted least squares says.
  z <- vz
  z[30:35, 20:25] <- NA
  expect_false(anyNA(orvel_fit(z, orvel_kernel("gaussian", 2, size = 9), na.rm = TRUE)$F))
  K3 <- matrix(1, 3, 3)
  f <- orvel_fit(z, K3, na.rm = TRUE)
  box <- as.matrix(expand.grid(28:37, 18:27))
  oracle <- apply(box, 1, function(n) is.na(wls_coef(z, K3, n[1], n[2])[1]))
  expect_identical(is.na(f$F[box]), oracle)
  expect_true(any(oracle) && !all(oracle[is.na(z[box])]))
  # na.policy: "omit" keeps missing nodes missing in every output, "only"
  # keeps the observations as the smooth and fills the missing nodes.
  z <- holes(vz)
  K <- orvel_kernel("gaussian", 2.5)
  all <- orvel_fit(z, K, degree = 2, na.rm = TRUE)
  omit <- orvel_fit(z, K, degree = 2, na.rm = TRUE, na.policy = "omit")
  only <- orvel_fit(z, K, degree = 2, na.rm = TRUE, na.policy = "only")
  miss <- !is.finite(z)
  for (k in c("F", "gFx", "gFy", "Q")) {
    keep <- array(!miss, dim(all[[k]]))
    expect_true(all(is.na(omit[[k]][!keep])), info = k)
    expect_identical(omit[[k]][keep], all[[k]][keep], info = k)
    if (k != "F") expect_identical(only[[k]], all[[k]], info = k)
  }
  expect_identical(only$F[!miss], z[!miss])
  expect_identical(only$F[miss], all$F[miss])
  expect_false(anyNA(only$F))
})

test_that("no number where no fit exists", {
  K <- matrix(0, 7, 7)
  diag(K) <- 1
  K9 <- diag(9)
  for (f in list(orvel_fit(volcano, K), orvel_holdout(volcano, K), orvel_fit(volcano, K, degree = 2),
                 orvel_fit(holes(vz), K9, na.rm = TRUE), orvel_fit(vz, K9, degree = 2)))
    for (k in intersect(c("F", "gFx", "gFy", "Q"), names(f))) expect_true(all(is.na(f[[k]])), info = k)
  # A compact kernel too narrow for the corners once the corner is left out.
  set.seed(2)
  z <- matrix(rnorm(460), 20, 23) + outer(1:20, 1:23)
  K <- orvel_kernel("epanechnikov", 1.2)
  pred <- matrix(NA_real_, 20, 23)
  for (i in 1:20) for (j in 1:23) pred[i, j] <- wls_coef(z, K, i, j, holdout = TRUE)[1]
  cv <- orvel_cv(z, K)
  expect_equal(cv, mean((z - pred)^2, na.rm = TRUE), tolerance = 1e-12)
  expect_lt(cv, 2)
  h <- orvel_holdout(z, K)
  expect_true(all(is.na(h$F[c(1, 20), c(1, 23)])))
  expect_identical(is.na(h$F), is.na(pred))
})

test_that("leave-one-out predictions of the general engine are the exact engine's", {
  z <- holes(vz)   # the exact engine fits only where no value is missing
  for (K in list(orvel_kernel("gaussian", 1.5), lopsided(7), orvel_kernel("epanechnikov", c(1.6, 2.6)),
                 orvel_kernel("horn"))) {
    m <- orvel:::.orvel_model(K)
    a <- orvel:::.orvel_fit_grid(z, m, holdout = TRUE, threads = 2)
    m$exact <- FALSE
    b <- orvel:::.orvel_fit_grid(z, m, holdout = TRUE, threads = 2)
    both <- is.finite(a$F) & is.finite(b$F)
    expect_gt(sum(both), 0.8 * length(z))
    expect_lt(max(abs(a$F - b$F)[both] / abs(a$F[both])), 1e-10)
    for (k in c("gFx", "gFy"))
      expect_lt(max(abs(a[[k]] - b[[k]])[both]), 1e-10 * max(abs(a[[k]][both])))
  }
})

test_that("the general engine gives the same bits on any number of threads and raster blocks", {
  set.seed(5)
  z <- if (valgrind) matrix(rnorm(1200, 150, 20), 40, 30) else matrix(rnorm(120000, 150, 20), 400, 300)
  z[sample(length(z), length(z) %/% 200)] <- NA
  z[10:14, 10:20] <- NaN
  K <- orvel_kernel("gaussian", 3.5, size = 15)
  one <- orvel_fit(z, K, degree = 2, na.rm = TRUE, threads = 1)[c("F", "gFx", "gFy", "Q")]
  for (t in 2:3)
    expect_identical(orvel_fit(z, K, degree = 2, na.rm = TRUE, threads = t)[names(one)], one, info = t)
  skip_if(valgrind)
  skip_if_not_installed("terra")
  m <- holes(vz)[1:37, 1:29]
  r <- terra::rast(m, extent = terra::ext(1000, 1000 + 29 * 30, 0, 37 * 20), crs = "local")
  K <- lopsided(c(9, 11))
  run <- function(cells, threads) {
    old <- options(orvel.block_cells = cells)
    on.exit(options(old))
    terra::values(orvel_fit(r, K, degree = 2, na.rm = TRUE, na.policy = "only", threads = threads))
  }
  lay <- run(1e9, 1)
  for (cells in c(1, 29 * 4, 29 * 10)) expect_identical(run(cells, 2), lay, info = cells)
  # The first-order layers are the coefficients in map units, x east
  # (columns) and y north (rows reversed).
  b <- coef(orvel_fit(m, K, spacing = c(20, 30), degree = 2, na.rm = TRUE, na.policy = "only"))
  layer <- function(k) matrix(lay[, k], nrow(m), byrow = TRUE)
  expect_equal(layer("smooth"), b[, , "(Intercept)"], tolerance = 1e-12)
  expect_equal(layer("dzdx"), b[, , "x"], tolerance = 1e-12)
  expect_equal(layer("dzdy"), -b[, , "y"], tolerance = 1e-12)
  expect_equal(layer("d2zdxdy"), -b[, , "x*y"], tolerance = 1e-12)
})

test_that("raster layers d2zdx2, d2zdxdy, d2zdy2 are the second derivatives of the fitted quadratic", {
  skip_if(valgrind)
  skip_if_not_installed("terra")
  r <- terra::rast(nrows = 15, ncols = 12, xmin = 0, xmax = 36, ymin = 0, ymax = 30, crs = "local")
  xy <- terra::xyFromCell(r, seq_len(terra::ncell(r)))
  terra::values(r) <- 100 + 0.5 * xy[, 1] - 0.3 * xy[, 2] + 0.7 * xy[, 1]^2 + 0.2 * xy[, 1] * xy[, 2] -
    0.4 * xy[, 2]^2
  lay <- terra::values(orvel_fit(r, orvel_kernel("gaussian", 2), degree = 2))
  expect_equal(lay[, "d2zdxdy"], rep(0.2, nrow(lay)), tolerance = 1e-9)
  expect_equal(lay[, "d2zdx2"], rep(1.4, nrow(lay)), tolerance = 1e-9)
  expect_equal(lay[, "d2zdy2"], rep(-0.8, nrow(lay)), tolerance = 1e-9)
})

test_that("orvel_select compares candidates on common nodes and warns at the ends of its range", {
  set.seed(3)
  z <- vz[1:30, 1:30] + matrix(rnorm(900, sd = 4), 30)
  expect_no_warning(sel <- orvel_select(z, bandwidths = c(0.75, 1, 1.5, 2, 3, 4)))
  expect_false(sel$bandwidth %in% c(0.75, 4))
  expect_warning(orvel_select(z, bandwidths = c(0.75, 1)), "largest")
  wavy <- outer(1:30, 1:30, function(i, j) 100 + 30 * sin(i * 1.3) * cos(j * 1.1))
  expect_warning(orvel_select(wavy, bandwidths = c(0.6, 1, 2)), "smallest")
  # A narrow Epanechnikov kernel cannot predict the corners (a plane) or the
  # border (a quadratic); the Gaussians can: all are scored on the nodes
  # every candidate predicts.
  for (degree in 1:2) {
    bw <- c(if (degree == 1) 1.2 else 1.6, 2.5, 3.5)
    sel <- suppressWarnings(orvel_select(z, type = c("epanechnikov", "gaussian"), bandwidths = bw,
                                         degree = degree))
    loo <- lapply(seq_len(nrow(sel$table)), function(i)
      orvel_holdout(z, orvel_kernel(sel$table$type[i], sel$table$rows[i]), degree = degree)$F)
    common <- Reduce(`&`, lapply(loo, is.finite))
    expect_identical(sel$nodes, sum(common))
    expect_lt(sel$nodes, length(z))
    expect_identical(sel$table$nodes, vapply(loo, function(f) sum(is.finite(f)), 1L))
    expect_equal(sel$table$cv, vapply(loo, function(f) mean((z - f)[common]^2), 1), tolerance = 1e-12)
    i <- which(sel$table$nodes == sel$nodes)[1]
    expect_equal(sel$table$cv[i], orvel_cv(z, orvel_kernel(sel$table$type[i], sel$table$rows[i]),
                                           degree = degree), tolerance = 1e-12)
    expect_identical(sel$degree, degree)
    expect_equal(sel$cv, min(sel$table$cv))
  }
})

test_that("Horn's weights lose the cells terra::terrain() loses, and na.rm = TRUE fills some", {
  skip_if(valgrind)
  skip_if_not_installed("terra")
  x <- terra::rast(system.file("ex/elev.tif", package = "terra"))
  K <- orvel_kernel("horn")
  tna <- is.na(terra::values(terra::terrain(x, "slope", neighbors = 8), mat = FALSE))
  ona <- is.na(terra::values(orvel_fit(x, K)$dzdx, mat = FALSE))
  fill <- is.na(terra::values(orvel_fit(x, K, na.rm = TRUE)$dzdx, mat = FALSE))
  rc <- terra::rowColFromCell(x, seq_len(terra::ncell(x)))
  ring <- rc[, 1] %in% c(1, terra::nrow(x)) | rc[, 2] %in% c(1, terra::ncol(x))
  expect_identical(ona[!ring], tna[!ring])
  expect_true(all(tna[ring] | !ona[ring]))
  expect_false(any(fill & !tna))
  expect_gt(sum(tna & !fill), 0)
  message(sprintf("elev.tif: %d cells, %d missing; terra NA %d, orvel NA %d (%d on the outer ring, terra %d), na.rm = TRUE NA %d",
                  length(tna), sum(is.na(terra::values(x))), sum(tna), sum(ona), sum(ona & ring),
                  sum(tna & ring), sum(fill)))
})

test_that("orvel_select counts nodes beyond the range of integers", {
  # A scorer as .orvel_cv_scorer() makes, for a grid of 3e9 nodes: every
  # candidate predicts all of them, the second more modestly scored.
  big <- 3e9
  scorer <- structure(function(model, keep = NULL, can = NULL)
    c(cv = sum(model$K), gcv = 1, aicc = 1, edf = 3, nodes = big, cv.scaled = sum(model$K),
      gcv.scaled = 1, scale = 0), cells = 16)
  sel <- suppressWarnings(orvel:::.orvel_select(scorer, "gaussian", c(1, 2, 3), 1, FALSE, NULL,
                                                "cv", FALSE))
  expect_identical(sel$table$nodes, rep(big, 3))
  expect_identical(sel$bandwidth, 1)
  # The flags of this small scorer say 16 nodes are common; a grid's
  # common nodes beyond 2^31 - 1 come as a double.
  expect_identical(sel$nodes, 16L)
  sel$nodes <- 2^33
  expect_output(print(sel), "scores over the 8589934592 nodes")
  expect_identical(orvel:::.orvel_count(c(0, 2^31 - 1)), c(0L, .Machine$integer.max))
})
