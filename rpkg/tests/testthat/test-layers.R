# Rasters of several layers: every layer fitted on its own, its names first.

skip_if_not_installed("terra")

stack2 <- function() {
  set.seed(6)
  z1 <- volcano[1:20, 1:16] + matrix(rnorm(320), 20)
  z2 <- t(volcano[1:16, 1:20]) * 0.5 + matrix(rnorm(320), 20)
  z2[8:10, 5:8] <- NA                         # a void in one layer only
  e <- terra::ext(0, 160, 0, 200)
  x <- c(terra::rast(z1, extent = e, crs = "local"), terra::rast(z2, extent = e, crs = "local"))
  names(x) <- c("dem2000", "dem2020")
  x
}

test_that("each layer of a SpatRaster is fitted on its own, its name before its variables", {
  x <- stack2()
  K <- orvel_kernel("gaussian", 1.5)
  cases <- list(
    fit = list(f = function(r, ...) orvel_fit(r, K, ...), args = list(se = TRUE)),
    holdout = list(f = function(r, ...) orvel_holdout(r, K, ...), args = list(degree = 2, na.rm = TRUE)),
    terrain = list(f = function(r, ...) orvel_terrain(r, ...),
                   args = list(v = c("slope", "TPI", "plan_curvature"), kernel = "gaussian", se = TRUE)))
  for (nm in names(cases)) {
    f <- cases[[nm]]$f
    args <- cases[[nm]]$args
    got <- do.call(f, c(list(x), args))
    one <- lapply(1:2, function(i) do.call(f, c(list(x[[i]]), args)))
    expect_identical(names(got), c(paste0("dem2000_", names(one[[1]])), paste0("dem2020_", names(one[[2]]))),
                     info = nm)
    expect_identical(terra::values(got), cbind(terra::values(one[[1]]), terra::values(one[[2]])),
                     ignore_attr = TRUE, info = nm)
    expect_true(terra::compareGeom(got, x), info = nm)
  }
  # the void of the second layer is its own: the first is fitted everywhere
  t <- orvel_terrain(x, "slope")
  expect_false(anyNA(terra::values(t$dem2000_slope)))
  expect_true(anyNA(terra::values(t$dem2020_slope)))
})

test_that("several layers: one file written when all are done, names made unique, tiles refused", {
  x <- stack2()
  dir <- tempfile("orvel-layers"); dir.create(dir); on.exit(unlink(dir, recursive = TRUE), add = TRUE)
  f <- file.path(dir, "slopes.tif")
  got <- orvel_terrain(x, c("slope", "aspect"), filename = f, wopt = list(datatype = "FLT4S"))
  expect_true(file.exists(f))
  expect_identical(terra::datatype(terra::rast(f)), rep("FLT4S", 4))
  expect_identical(names(got), c("dem2000_slope", "dem2000_aspect", "dem2020_slope", "dem2020_aspect"))
  expect_equal(terra::values(terra::rast(f)), terra::values(orvel_terrain(x, c("slope", "aspect"))),
               tolerance = 1e-6, ignore_attr = TRUE)
  # checked before any work, as for one layer
  expect_error(orvel_terrain(x, filename = f), "exists.*overwrite = TRUE")
  expect_error(orvel_fit(x, filename = f), "exists")
  # nothing of the run's own left beside it
  expect_false(any(startsWith(list.files(dir, all.files = TRUE, no.. = TRUE), ".")))
  names(x) <- c("a", "a")
  expect_identical(names(orvel_fit(x)), paste0(rep(c("a_", "a.1_"), each = 3), c("smooth", "dzdx", "dzdy")))
  expect_error(orvel_terrain(x, tiles = c(10, 10), filename = file.path(dir, "t.vrt")),
               "`tiles` takes a raster of one layer, not 2 layers")
  expect_error(orvel_cv(x), "2 layers")
})

test_that("a RasterStack or RasterBrick goes in layer by layer, saying once that the result is a SpatRaster", {
  skip_if_not_installed("raster")
  x <- stack2()
  b <- raster::brick(x)
  s <- raster::stack(b)
  note <- orvel:::.orvel_stack_note
  if (exists("said", envir = note)) rm("said", envir = note)
  expect_message(got <- orvel_terrain(b, c("slope", "flowdir")), "RasterBrick was fitted as a terra SpatRaster, layer by layer")
  expect_identical(terra::values(got), terra::values(orvel_terrain(x, c("slope", "flowdir"))))
  expect_message(h <- orvel_holdout(s, orvel_kernel("gaussian", 1.5)), NA)    # once per session
  expect_identical(terra::values(h), terra::values(orvel_holdout(x, orvel_kernel("gaussian", 1.5))))
  expect_identical(names(orvel_fit(s)), names(orvel_fit(x)))
  expect_error(orvel_fit(b, spacing = 2), "`spacing`.*RasterBrick")
})
