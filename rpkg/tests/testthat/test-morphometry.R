# Wood's longitudinal and cross-sectional curvatures and landform classes,
# the twisting curvature, eastness, northness and the directional slope:
# on exact quadratics and a sphere cap, against the surface's fundamental
# forms, and against GRASS r.param.scale where GRASS is installed.

skip_if_not_installed("terra")
mat <- function(r) terra::as.matrix(r, wide = TRUE)
vals <- function(r) terra::values(r, mat = FALSE)

# A surface z(x, y) (x east, y north) on nr x nc cells of dx by dy, rows north
# to south; also the cell centres.
surface <- function(f, nr = 40, nc = 36, dx = 2, dy = 3) {
  x <- (seq_len(nc) - 0.5) * dx
  y <- (nr - seq_len(nr) + 0.5) * dy
  X <- matrix(x, nr, nc, byrow = TRUE); Y <- matrix(y, nr, nc)
  list(r = terra::rast(f(X, Y), extent = terra::ext(0, nc * dx, 0, nr * dy)), X = X, Y = Y)
}
inside <- function(m, k = 4) row(m) > k & row(m) <= nrow(m) - k & col(m) > k & col(m) <= ncol(m) - k

test_that("Wood's curvatures, twisting, eastness and northness of exact quadratics", {
  x0 <- 30; y0 <- 55
  v <- c("longitudinal_curvature", "cross_sectional_curvature", "twisting_curvature",
         "eastness", "northness", "profile_curvature", "plan_curvature")
  for (c5 in list(c(4e-3, -1e-3, 2e-3, 0.3, -0.1), c(-2e-3, -3e-3, -1.5e-3, 0, 0.2))) {
    s <- surface(function(X, Y) c5[1] * (X - x0)^2 + c5[2] * (Y - y0)^2 +
                   c5[3] * (X - x0) * (Y - y0) + c5[4] * X + c5[5] * Y)
    p <- 2 * c5[1] * (s$X - x0) + c5[3] * (s$Y - y0) + c5[4]
    q <- 2 * c5[2] * (s$Y - y0) + c5[3] * (s$X - x0) + c5[5]
    r <- 2 * c5[1]; ss <- c5[3]; t <- 2 * c5[2]; g <- p^2 + q^2
    got <- orvel_terrain(s$r, v, kernel = "gaussian", min_slope = 0)
    ok <- inside(p) & g > 1e-4
    want <- list(longitudinal_curvature = -(p^2 * r + 2 * p * q * ss + q^2 * t) / g,
                 cross_sectional_curvature = -(q^2 * r - 2 * p * q * ss + p^2 * t) / g,
                 eastness = -p / sqrt(g), northness = -q / sqrt(g))
    for (n in names(want))
      expect_equal(mat(got[[n]])[ok], want[[n]][ok], tolerance = 1e-8, info = n)
    # Wood's two against Minar's: the slope line's and the contour's second
    # derivatives, without the normalisation.
    expect_equal(mat(got$longitudinal_curvature)[ok],
                 mat(got$profile_curvature)[ok] * (1 + g[ok])^1.5, tolerance = 1e-8)
    expect_equal(mat(got$cross_sectional_curvature)[ok],
                 mat(got$plan_curvature)[ok] * sqrt(g[ok]), tolerance = 1e-8)
    # The twisting curvature is the geodesic torsion of the contour: the
    # second fundamental form between the unit contour tangent T and the
    # tangent N x T across it (upward normal N), in the first form's metric.
    tau <- mapply(function(p, q) {
      W <- sqrt(1 + p^2 + q^2)
      II <- matrix(c(r, ss, ss, t) / W, 2)
      Tv <- c(-q, p, 0); N <- c(-p, -q, 1) / W
      B <- c(N[2] * Tv[3] - N[3] * Tv[2], N[3] * Tv[1] - N[1] * Tv[3], N[1] * Tv[2] - N[2] * Tv[1])
      drop(Tv[1:2] %*% II %*% B[1:2]) / (sqrt(sum(Tv^2)) * sqrt(sum(B^2)))
    }, p[ok], q[ok])
    expect_equal(mat(got$twisting_curvature)[ok], tau, tolerance = 1e-8)
  }
  # On a sphere cap every direction is principal: no twist anywhere.
  R <- 400
  dome <- surface(function(X, Y) sqrt(R^2 - (X - 36)^2 - (Y - 60)^2))
  tw <- mat(orvel_terrain(dome$r, "twisting_curvature", kernel = "gaussian", min_slope = 0))
  rho <- sqrt((dome$X - 36)^2 + (dome$Y - 60)^2)
  expect_lt(max(abs(tw[inside(tw) & rho > 10])), 1e-3 / R)
})

test_that("Wood's landform classes of peaks, pits, passes, ridges, channels and planes", {
  shape <- function(f, ...) {
    s <- surface(function(X, Y) f(X - 11, Y - 11), 21, 21, 1, 1)
    mat(orvel_terrain(s$r, "features", kernel = orvel_kernel("uniform", 5, size = 7), ...))[11, 11]
  }
  k <- 0.01
  expect_identical(shape(function(x, y) -k * (x^2 + y^2)), 6)             # peak
  expect_identical(shape(function(x, y) k * (x^2 + y^2)), 2)              # pit
  expect_identical(shape(function(x, y) k * (x^2 - y^2)), 4)              # pass
  expect_identical(shape(function(x, y) -k * x^2), 5)                     # ridge, level
  expect_identical(shape(function(x, y) k * x^2), 3)                      # channel, level
  expect_identical(shape(function(x, y) 0.1 * x + 0.2 * y), 1)            # planar, sloping
  expect_identical(shape(function(x, y) 0.1 * y - k * x^2), 5)            # ridge, sloping
  expect_identical(shape(function(x, y) 0.1 * y + k * x^2), 3)            # channel, sloping
  # The tolerances: a curvature below curvature_tolerance is planar; a slope
  # below slope_tolerance is classed by the eigenvalues as level ground.
  expect_identical(shape(function(x, y) -k * (x^2 + y^2), curvature_tolerance = 0.05), 1)
  bowl <- function(x, y) 0.1 * x + 1e-3 * (x^2 + y^2)                     # 5.7 degrees
  expect_identical(shape(bowl), 3)
  expect_identical(shape(bowl, slope_tolerance = 10), 2)
  # No standard error for a class; a plane has no classes.
  s <- surface(function(X, Y) 0.1 * X - 1e-3 * Y^2)
  f <- orvel_terrain(s$r, c("features", "longitudinal_curvature"), kernel = "gaussian", se = TRUE)
  expect_identical(names(f), c("features", "longitudinal_curvature", "longitudinal_curvature_se"))
  expect_true(all(vals(f$features) %in% 1:6))
  expect_error(orvel_terrain(s$r, "features", degree = 1), "`degree` must be 2")
  expect_error(orvel_terrain(s$r, "features", slope_tolerance = -1), "`slope_tolerance`")
})

test_that("the directional slope, its standard error, eastness and northness of a fitted plane", {
  set.seed(5)
  z <- volcano[1:30, 1:28] + matrix(rnorm(840, sd = 2), 30)
  r <- terra::rast(z, extent = terra::ext(0, 28 * 5, 0, 30 * 2))
  K <- orvel_kernel("gaussian", 2)
  f <- orvel_fit(z, K, spacing = c(2, 5))
  J <- rbind(c(0, 0, 1), c(0, -1, 0))
  for (dir in c(0, 35, 250)) {
    u <- c(sin(dir * pi / 180), cos(dir * pi / 180))
    d <- orvel_terrain(r, c("directional_slope", "eastness", "northness", "aspect"), kernel = K,
                       se = TRUE, slope_direction = dir, min_slope = 0)
    pc <- orvel_terrain(r, "directional_slope", kernel = K, unit = "percent", slope_direction = dir)
    for (k in 1:6) {
      i <- c(1, 30, 7, 16, 25, 12)[k]; j <- c(28, 1, 9, 20, 4, 15)[k]
      pq <- drop(J %*% coef(f)[i, j, ])
      a <- sum(u * pq)
      expect_equal(mat(d$directional_slope)[i, j], atan(a) * 180 / pi, tolerance = 1e-10)
      expect_equal(mat(pc)[i, j], 100 * a, tolerance = 1e-10)
      C <- J %*% vcov(f, i, j) %*% t(J)
      expect_equal(mat(d$directional_slope_se)[i, j],
                   sqrt(drop(u %*% C %*% u)) / (1 + a^2) * 180 / pi, tolerance = 1e-8)
    }
    asp <- vals(d$aspect) * pi / 180
    expect_equal(vals(d$eastness), sin(asp), tolerance = 1e-12)
    expect_equal(vals(d$northness), cos(asp), tolerance = 1e-12)
  }
})

test_that("Wood's measures and classes equal GRASS r.param.scale's on the same window", {
  skip_if(!nzchar(Sys.which("grass")), "GRASS is not installed")
  dir <- tempfile("orvel-grass"); dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE), add = TRUE)
  s <- surface(function(X, Y) 100 + 2e-3 * (X - 40)^2 - 3e-3 * (Y - 60)^2 +
                 1e-3 * (X - 40) * (Y - 60) + 0.05 * X + 5 * sin(X / 15), 40, 36, 10, 10)
  terra::crs(s$r) <- "EPSG:32633"
  terra::writeRaster(s$r, file.path(dir, "dem.tif"), datatype = "FLT8S")
  m <- c("feature", "longc", "crosc", "planc")
  writeLines(c("r.in.gdal input=dem.tif output=dem -o --quiet", "g.region raster=dem",
               sprintf(paste("r.param.scale input=dem output=%s method=%s size=7",
                             "slope_tolerance=1 curvature_tolerance=0.0001 --quiet"), m, m),
               sprintf("r.out.gdal input=%s output=%s.tif format=GTiff type=Float64 --quiet -f",
                       m, m)), file.path(dir, "run.sh"))
  old <- setwd(dir); on.exit(setwd(old), add = TRUE)
  system2("grass", c("--tmp-location", "EPSG:32633", "--exec", "sh", "run.sh"),
          stdout = FALSE, stderr = FALSE)
  skip_if(!file.exists("planc.tif"), "GRASS did not run")
  g <- lapply(setNames(paste0(m, ".tif"), m), function(f) mat(terra::rast(f)))
  # r.param.scale's unweighted quadratic on a 7 x 7 window.
  o <- orvel_terrain(s$r, c("features", "longitudinal_curvature", "cross_sectional_curvature",
                            "plan_curvature"), kernel = orvel_kernel("uniform", 5, size = 7),
                     min_slope = 0)
  ok <- inside(g$longc, 3)
  expect_identical(mat(o$features)[ok], g$feature[ok])
  expect_gt(length(unique(g$feature[ok])), 2)
  expect_equal(mat(o$longitudinal_curvature)[ok], g$longc[ok], tolerance = 1e-6)
  expect_equal(mat(o$cross_sectional_curvature)[ok], g$crosc[ok], tolerance = 1e-6)
  expect_equal(mat(o$plan_curvature)[ok], -g$planc[ok], tolerance = 1e-6)   # opposite sign
})

test_that("the vector ruggedness measure is 0 on planes and MultiscaleDTM's from terra's slope and aspect", {
  s <- surface(function(X, Y) 3 * X - 2 * Y)                # steep, but a plane
  expect_lt(max(abs(vals(orvel_vrm(s$r, 5))), na.rm = TRUE), 1e-12)
  dem <- terra::rast(system.file("ex/elev.tif", package = "terra"))
  tt <- terra::terrain(dem, c("slope", "aspect"), unit = "radians")
  n <- c(sin(tt$slope) * sin(tt$aspect), sin(tt$slope) * cos(tt$aspect), cos(tt$slope))
  for (size in c(3, 5)) {
    v <- orvel_vrm(dem, size)
    sums <- terra::focal(n, w = size, fun = "sum")
    want <- vals(1 - sqrt(sums[[1]]^2 + sums[[2]]^2 + sums[[3]]^2) / size^2)
    ok <- !is.na(want)
    expect_true(all(!is.na(vals(v))[ok]))
    expect_lt(max(abs(vals(v) - want)[ok]), 1e-9)
    expect_gt(max(want, na.rm = TRUE), 1e-4)
  }
  # na.rm = TRUE: the normals there, summed and counted.
  r <- orvel_vrm(dem, 3, na.rm = TRUE)
  expect_gt(sum(!is.na(vals(r))), sum(!is.na(vals(orvel_vrm(dem, 3)))))
  expect_true(all(vals(r) >= -1e-12 & vals(r) <= 1, na.rm = TRUE))
  expect_error(orvel_vrm(dem, 4), "`size`")
})
