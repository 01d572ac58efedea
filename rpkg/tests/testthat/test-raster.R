# SpatRasters in and out: orientation, signs and units against terra itself,
# edges, longitude/latitude, block processing and voids.

skip_if_not_installed("terra")

# A noisy hilly surface (no flat cells) on non-square UTM cells far from the
# origin: 7.5 m east-west, 11 m north-south.
dem <- function(nr = 40, nc = 55, crs = "EPSG:32633", xmin = 612345, ymin = 5123456,
                dx = 7.5, dy = 11, seed = 3) {
  set.seed(seed)
  z <- outer(1:nr, 1:nc, function(i, j) 50 * sin(i / 7) * cos(j / 9) + 0.3 * i - 0.2 * j) +
    matrix(stats::rnorm(nr * nc), nr)
  terra::rast(z, extent = terra::ext(xmin, xmin + nc * dx, ymin, ymin + nr * dy), crs = crs)
}
vals <- function(r) terra::values(r, mat = FALSE)
turn <- function(a, b) { d <- abs(a - b) %% (2 * pi); pmin(d, 2 * pi - d) }

test_that("orvel_terrain with horn and rook equals terra::terrain inside and fills the edges", {
  for (x in list(dem(), dem(30, 25, "EPSG:4326", 10, 60, 0.01, 0.008))) {
    for (k in list(c("horn", 8), c("rook", 4))) {
      info <- paste(k[1], terra::is.lonlat(x))
      o <- orvel_terrain(x, kernel = k[1], unit = "radians", min_slope = 0)
      tt <- terra::terrain(x, v = c("slope", "aspect"), neighbors = as.integer(k[2]), unit = "radians")
      inside <- !is.na(vals(tt$slope))
      expect_equal(sum(!inside), 2 * (nrow(x) + ncol(x)) - 4, info = info)
      expect_lt(max(abs(vals(o$slope) - vals(tt$slope))[inside]), 1e-9)
      expect_lt(max(turn(vals(o$aspect), vals(tt$aspect))[inside]), 1e-9)
      expect_true(all(is.finite(vals(o))), info = info)
      expect_true(all(vals(o$aspect) >= 0 & vals(o$aspect) <= 2 * pi), info = info)
      # orvel_fit's slopes per map unit are the same planes, row by row.
      g <- orvel_fit(x, orvel_kernel(k[1]))
      expect_equal(atan(sqrt(vals(g$dzdx)^2 + vals(g$dzdy)^2)), vals(o$slope), tolerance = 1e-12)
    }
    # Same grid; degrees by default; layers in the order asked.
    d <- orvel_terrain(x, c("aspect", "slope"), "rook")
    expect_identical(names(d), c("aspect", "slope"))
    expect_true(terra::compareGeom(d, x, crs = TRUE, ext = TRUE, rowcol = TRUE, res = TRUE))
    expect_equal(vals(d$slope), vals(o$slope) * 180 / pi, tolerance = 1e-12)
  }
})

test_that("orvel_fit of a raster: dzdx eastward, dzdy northward per map unit, kernel laid as shown", {
  x <- dem()
  # A plane rising 0.2 per metre eastward and 0.05 per metre northward.
  xy <- terra::xyFromCell(x, seq_len(terra::ncell(x)))
  terra::values(x) <- 0.2 * (xy[, 1] - 612345) + 0.05 * (xy[, 2] - 5123456)
  f <- orvel_fit(x, orvel_kernel("gaussian", c(1, 2), size = 7))
  expect_identical(names(f), c("smooth", "dzdx", "dzdy"))
  expect_equal(range(vals(f$dzdx)), c(0.2, 0.2), tolerance = 1e-9)
  expect_equal(range(vals(f$dzdy)), c(0.05, 0.05), tolerance = 1e-9)
  expect_equal(vals(f$smooth), vals(x), tolerance = 1e-9)
  # Rising to the east-north-east, so facing west-south-west.
  a <- vals(orvel_terrain(x, v = "aspect"))
  expect_equal(range(a), rep(270 - atan2(0.05, 0.2) * 180 / pi, 2), tolerance = 1e-9)

  # A lopsided kernel: the raster is the matrix as.matrix(wide = TRUE) shows.
  x <- dem()
  K <- orvel_kernel("gaussian", 1.5) * outer(1:7, 1:7, function(r, c) 1 + 0.3 * r + 0.05 * c^2)
  m <- terra::as.matrix(x, wide = TRUE)
  fm <- orvel_fit(m, K)
  f <- orvel_fit(x, K)
  expect_equal(terra::as.matrix(f$smooth, wide = TRUE), fm$F, tolerance = 1e-12, ignore_attr = TRUE)
  expect_equal(terra::as.matrix(f$dzdx, wide = TRUE), fm$gFy / (ncol(m) * 7.5), tolerance = 1e-12,
               ignore_attr = TRUE)
  expect_equal(terra::as.matrix(f$dzdy, wide = TRUE), -fm$gFx / (nrow(m) * 11), tolerance = 1e-12,
               ignore_attr = TRUE)
  h <- orvel_holdout(x, K)
  expect_equal(terra::as.matrix(h$smooth, wide = TRUE), orvel_holdout(m, K)$F, tolerance = 1e-12,
               ignore_attr = TRUE)
  expect_equal(orvel_cv(x, K), orvel_cv(m, K), tolerance = 1e-14)
  sel <- orvel_select(x, type = c("gaussian", "tricube"))
  expect_equal(sel$table, orvel_select(m, type = c("gaussian", "tricube"))$table, tolerance = 1e-14)
})

test_that("every block size and thread count gives the same bits, from memory or file; voids stay local", {
  x <- dem(31, 23)
  x[12, 9] <- NA
  x[31, 1] <- Inf
  K <- orvel_kernel("tricube", 2.5)
  run <- function(src, cells, threads) {
    old <- options(orvel.block_cells = cells)
    on.exit(options(old))
    list(fit = terra::values(orvel_fit(src, K, threads = threads)),
         holdout = terra::values(orvel_holdout(src, K, threads = threads)),
         terrain = terra::values(orvel_terrain(src, threads = threads)),
         cv = orvel_cv(src, K, threads = threads))
  }
  one <- run(x, 1e9, 1)
  # The whole raster as one grid: rows of the raster are the grid's columns.
  g <- orvel_fit(t(terra::as.matrix(x, wide = TRUE)), t(K))
  expect_identical(one$fit[, "smooth"], as.vector(g$F))
  # From a file, blocks of one row to the whole raster, within terra's four
  # blocks, written to file.
  old_terra <- terra::terraOptions(print = FALSE)[c("steps", "todisk", "progress")]
  terra::terraOptions(steps = 4, todisk = TRUE, progress = 0)
  on.exit(do.call(terra::terraOptions, old_terra))
  src <- terra::writeRaster(x, tempfile(fileext = ".tif"), datatype = "FLT8S")
  expect_true(nzchar(terra::sources(orvel_fit(src, K))))
  for (cells in c(1, 23, 50, 23 * 31)) for (threads in c(1, 3))
    expect_identical(run(src, cells, threads), one, info = sprintf("%g cells, %d threads", cells, threads))
  # A read session the caller opened stays open.
  terra::readStart(src)
  orvel_terrain(src)
  expect_equal(terra::readValues(src, 2, 1, 1, 1), terra::values(x)[24])
  terra::readStop(src)
  # A void (or an infinity) takes the cells where the kernel gives it
  # weight, and no other.
  zm <- terra::as.matrix(x, wide = TRUE)
  expect_identical(!is.finite(matrix(one$fit[, 1], 31, byrow = TRUE)), footprint_na(zm, K, FALSE))
  expect_identical(!is.finite(matrix(one$terrain[, 1], 31, byrow = TRUE)),
                   footprint_na(zm, orvel_kernel("horn"), FALSE))
  options(orvel.block_cells = "big")
  on.exit(options(orvel.block_cells = NULL), add = TRUE)
  expect_error(orvel_fit(x), "option `orvel.block_cells` must be one positive number of cells")
})

test_that("rasters and terrain arguments are checked, naming the argument", {
  x <- dem(10, 10)
  # (orvel_fit() and orvel_terrain() of several layers: test-layers.R)
  expect_error(orvel_cv(c(x, x)), "`z`.*2 layers")
  expect_error(orvel_terrain(as.matrix(x, wide = TRUE)), "`x` must be a SpatRaster")
  expect_error(orvel_fit(x, spacing = 10), "`spacing`")
  expect_error(orvel_fit(x[1, , drop = FALSE]), "two rows")
  expect_error(orvel_terrain(x, v = "curvature"), "`v`")
  expect_error(orvel_terrain(x, unit = "grads"), "`unit`")
  expect_error(orvel_terrain(x, "hillshade", angle = Inf), "`angle` must be one finite number of degrees, not Inf$")
  expect_error(orvel_kernel("horn", 2), "`bandwidth` does not apply")
  expect_error(orvel_select(x, type = "horn"), "`type`")
  expect_error(orvel_kernel("cosine"), '"horn", "rook"')
})

test_that("a longitude/latitude raster past a pole is refused, naming it and its extent", {
  x <- terra::rast(matrix(as.double(1:100), 10), extent = terra::ext(0, 10, 85, 95), crs = "EPSG:4326")
  msg <- "^`z` is a longitude/latitude raster whose extent reaches past the poles \\(latitudes 85 to 95\\)"
  expect_error(orvel_fit(x), msg)
  expect_error(orvel_cv(x), msg)
  expect_error(orvel_terrain(x), "`x` is a longitude/latitude raster.*latitudes 85 to 95")
  south <- terra::rast(matrix(as.double(1:100), 10), extent = terra::ext(0, 10, -91, -81), crs = "EPSG:4326")
  expect_error(orvel_select(south, bandwidths = 1), "^`z` is a longitude.*latitudes -91 to -81")
  # Up to the pole, every row has cells of some width.
  polar <- terra::rast(matrix(as.double(1:100), 10), extent = terra::ext(0, 10, 80, 90), crs = "EPSG:4326")
  expect_true(all(is.finite(terra::values(orvel_terrain(polar, "slope")))))
})
