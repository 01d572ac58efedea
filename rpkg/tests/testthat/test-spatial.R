# stars objects and RasterLayers in and out: the same cells as the
# SpatRaster they stand for, the input's own orientation kept, and clear
# errors for what cannot be fitted.

skip_if_not_installed("terra")
skip_if_not_installed("stars")

# volcano as a 10 m DEM, rows north to south; a lopsided kernel, so that a
# transposition or flip anywhere shows.
m <- volcano + outer(1:87, 1:61, function(i, j) 0.01 * i * j)
dem <- terra::rast(m, extent = terra::ext(0, 610, 0, 870), crs = "EPSG:32633")
K <- orvel_kernel("gaussian", 1.5) * outer(1:7, 1:7, function(r, c) 1 + 0.3 * r + 0.05 * c^2)
# A SpatRaster layer as a [x, y] array, west to east, north to south.
xy <- function(r) t(terra::as.matrix(r, wide = TRUE))

test_that("a stars DEM gives the SpatRaster's results cell for cell, on its own grid", {
  s <- stars::st_as_stars(dem)
  for (holdout in c(FALSE, TRUE)) {
    f <- if (holdout) orvel_holdout else orvel_fit
    fs <- f(s, K)
    fr <- f(dem, K)
    expect_s3_class(fs, "stars")
    expect_identical(names(fs), c("smooth", "dzdx", "dzdy"))
    expect_identical(stars::st_dimensions(fs), stars::st_dimensions(s))
    for (v in names(fs)) expect_identical(unclass(fs[[v]]), xy(fr[[v]]), info = v)
  }
  ts <- orvel_terrain(s, kernel = K, unit = "radians")
  tr <- orvel_terrain(dem, kernel = K, unit = "radians")
  expect_identical(stars::st_dimensions(ts), stars::st_dimensions(s))
  expect_identical(unclass(ts$aspect), xy(tr$aspect))
  expect_identical(orvel_cv(s, K), orvel_cv(dem, K))
  sel <- suppressWarnings(orvel_select(s, bandwidths = c(1, 2), progress = FALSE))
  expect_identical(sel$table,
                   suppressWarnings(orvel_select(dem, bandwidths = c(1, 2), progress = FALSE))$table)
})

test_that("south-up and y-first stars grids keep their layout and get the same planes", {
  s <- stars::st_as_stars(dem)
  fr <- orvel_fit(dem, K)
  # Rows of the array running north, from y = 0 up.
  up <- stars::st_as_stars(list(z = t(m)[, 87:1]),
                           dimensions = stars::st_dimensions(x = seq(0, 600, 10), y = seq(0, 860, 10)))
  fu <- orvel_fit(up, K)
  expect_identical(stars::st_dimensions(fu), stars::st_dimensions(up))
  for (v in c("smooth", "dzdx", "dzdy"))
    expect_identical(unclass(fu[[v]])[, 87:1], xy(fr[[v]]), info = v)
  # The north slope of a plane rising northward is positive either way.
  plane <- up
  plane[[1]] <- outer(1:61, 1:87, function(i, j) 0.5 * j)
  expect_equal(range(orvel_fit(plane)$dzdy), c(0.05, 0.05), tolerance = 1e-9)
  # Stored [y, x].
  yx <- aperm(s, c(2, 1))
  fy <- orvel_fit(yx, K)
  expect_identical(stars::st_dimensions(fy), stars::st_dimensions(yx))
  expect_identical(t(unclass(fy$dzdx)), xy(fr$dzdx))
})

test_that("stars objects that are not one 2-D grid are refused, naming the argument", {
  s <- stars::st_as_stars(dem)
  expect_error(orvel_fit(c(s, s)), "`z` must be a stars object with one attribute, not 2")
  expect_error(orvel_cv(c(s, s)), "`z`.*one attribute")
  expect_error(orvel_terrain(c(s, s)), "`x`.*one attribute")
  cube <- stars::st_as_stars(c(dem, dem))            # x, y and band
  expect_error(orvel_fit(cube), "`z` must be a stars object with two dimensions, x and y, not 3")
  expect_error(orvel_terrain(cube), "`x` must be a stars object with two dimensions")
  expect_error(orvel_fit(s, spacing = 10), "`spacing`.*stars object")
  expect_error(orvel_fit(s[, 1, ]), "at least two rows and two columns")
})

test_that("a RasterLayer is fitted as a SpatRaster and says so once a session", {
  skip_if_not_installed("raster")
  rl <- raster::raster(dem)
  note <- get(".orvel_stack_note", asNamespace("orvel"))
  rm(list = intersect("layer", ls(note)), envir = note)
  expect_message(f <- orvel_fit(rl, K), "SpatRaster.*once per session")
  expect_s4_class(f, "SpatRaster")
  expect_identical(terra::values(f), terra::values(orvel_fit(dem, K)))
  expect_silent(h <- orvel_holdout(rl, K))
  expect_identical(terra::values(h), terra::values(orvel_holdout(dem, K)))
  expect_silent(t1 <- orvel_terrain(rl))
  expect_identical(terra::values(t1), terra::values(orvel_terrain(dem)))
  expect_identical(expect_silent(orvel_cv(rl, K)), orvel_cv(dem, K))
  expect_error(orvel_fit(rl, spacing = 10), "`spacing`.*RasterLayer")
  # Layers of a brick or stack for orvel_cv() and orvel_select(): how many,
  # and how to fit one (orvel_fit(), orvel_holdout(), orvel_terrain() take
  # them layer by layer: test-layers.R).
  b <- raster::brick(rl, rl, rl)
  expect_error(orvel_cv(b, K), "`z` must be a RasterLayer, not a RasterBrick of 3 layers: fit them one at a time \\(e.g. z\\[\\[1\\]\\]\\)")
  expect_error(orvel_cv(raster::stack(rl, rl), K), "`z`.*RasterStack of 2 layers")
  expect_error(orvel_select(raster::brick(rl)), "`z`.*RasterBrick of one layer: take the layer, z\\[\\[1\\]\\]")
})
