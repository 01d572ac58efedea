# Hillshade (one sun, several suns as gdaldem combines them, standard
# errors), aspects in [0, 360), the rook's slope at a missing centre,
# slopes in percent, the elevations' scale and the least slope, against
# terra, gdaldem's own formulas and gdaldem itself where it is installed.

skip_if_not_installed("terra")
mat <- function(r) terra::as.matrix(r, wide = TRUE)
vals <- function(r) terra::values(r, mat = FALSE)

# A noisy hill on cells 5 m east-west by 2 m north-south.
set.seed(4)
z <- volcano[1:40, 1:35] + matrix(rnorm(1400, sd = 2), 40)
hill <- terra::rast(z, extent = terra::ext(0, 35 * 5, 0, 40 * 2), crs = "EPSG:32633")

# gdaldem's multidirectional hillshade, as its source computes it, from
# Horn's differences of the 3 x 3 window: x the westward and y the
# northward change per map unit, the four suns' shades clipped at 0.
gdal_multi <- function(z, dx, dy, alt = 45) {
  nr <- nrow(z); nc <- ncol(z); out <- matrix(NA_real_, nr, nc)
  sa <- sin(alt * pi / 180); ca <- cos(alt * pi / 180); c225 <- cos(225 * pi / 180)
  for (i in 2:(nr - 1)) for (j in 2:(nc - 1)) {
    w <- z[(i - 1):(i + 1), (j - 1):(j + 1)]
    x <- ((w[1, 1] + 2 * w[2, 1] + w[3, 1]) - (w[1, 3] + 2 * w[2, 3] + w[3, 3])) / (8 * dx)
    y <- ((w[3, 1] + 2 * w[3, 2] + w[3, 3]) - (w[1, 1] + 2 * w[1, 2] + w[1, 3])) / (8 * -dy)
    g <- x * x + y * y
    v <- pmax(0, c(sa + (x - y) * c225 * ca, sa - x * ca, sa + (x + y) * c225 * ca, sa - y * ca))
    wt <- c(0.5 * g - x * y, x * x, 0.5 * g + x * y, y * y)
    out[i, j] <- sum(wt * v) / g / 2 / sqrt(1 + g)
  }
  out
}

test_that("several suns shade as gdaldem -multidirectional; one sun as terra; gdaldem itself agrees", {
  suns <- c(225, 270, 315, 360)
  h <- orvel_terrain(hill, "hillshade", direction = suns)
  want <- gdal_multi(z, 5, 2)
  ok <- !is.na(want)
  expect_lt(max(abs(mat(h)[ok] - want[ok])), 1e-12)
  expect_true(all(is.finite(vals(h))))                          # edges filled
  expect_true(all(vals(h) >= 0 & vals(h) <= 1))
  # The suns' order does not matter, and level ground gets sin(altitude).
  expect_equal(vals(orvel_terrain(hill, "hillshade", direction = rev(suns))), vals(h),
               tolerance = 1e-14)
  flat <- orvel_terrain(terra::rast(matrix(3, 8, 8)), "hillshade", direction = suns, angle = 30)
  expect_equal(range(vals(flat)), c(0.5, 0.5))
  skip_if(!nzchar(Sys.which("gdaldem")), "gdaldem is not installed")
  dir <- tempfile("orvel-shade"); dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE), add = TRUE)
  src <- file.path(dir, "dem.tif")
  terra::writeRaster(hill, src, datatype = "FLT8S")
  run <- function(args, out) {
    system2("gdaldem", c(args, shQuote(src), shQuote(out), "-q"), stdout = FALSE, stderr = FALSE)
    mat(terra::rast(out))
  }
  # gdaldem writes bytes 1 + 254 shade (clipped at 0 for one sun), edges 0.
  g <- run(c("hillshade", "-multidirectional", "-alt", "45"), file.path(dir, "multi.tif"))
  inner <- !is.na(g) & g > 0
  expect_lt(max(abs(g[inner] - (1 + 254 * mat(h)[inner]))), 0.51)
  one <- mat(orvel_terrain(hill, "hillshade", angle = 40, direction = 300))
  g <- run(c("hillshade", "-alt", "40", "-az", "300"), file.path(dir, "one.tif"))
  inner <- !is.na(g) & g > 0 & one > 0
  expect_lt(max(abs(g[inner] - (1 + 254 * one[inner]))), 0.51)
  # Slopes in percent, and elevations in other units (gdaldem -s), to the
  # rounding of gdaldem's 32-bit floats.
  g <- run(c("slope", "-p", "-s", "2"), file.path(dir, "slope.tif"))
  o <- mat(orvel_terrain(hill, "slope", unit = "percent", zscale = 2))
  inner <- !is.na(g) & g != -9999
  expect_lt(max(abs(g[inner] - o[inner]) / o[inner]), 1e-4)
})

test_that("the hillshade has a standard error by the delta method, with one sun or several", {
  K <- orvel_kernel("gaussian", 2)
  f <- orvel_fit(z, K, spacing = c(2, 5))
  J <- rbind(c(0, 0, 1), c(0, -1, 0))           # (p, q) from coef(): y runs south
  for (suns in list(315, c(225, 270, 315, 360), c(10, 100))) {
    h <- orvel_terrain(hill, "hillshade", kernel = K, se = TRUE, angle = 35, direction = suns)
    expect_identical(names(h), c("hillshade", "hillshade_se"))
    shade <- function(d) {
      s <- (sin(35 * pi / 180) - cos(35 * pi / 180) *
            (d[1] * sin(suns * pi / 180) + d[2] * cos(suns * pi / 180))) / sqrt(1 + sum(d^2))
      if (length(suns) == 1L) return(s)
      w <- (d[1] * sin(suns * pi / 180) + d[2] * cos(suns * pi / 180))^2
      sum(w * pmax(s, 0)) / sum(w)
    }
    for (k in 1:8) {
      i <- c(1, 40, 17, 23, 5, 31, 12, 38)[k]; j <- c(35, 1, 9, 20, 28, 3, 14, 33)[k]
      d <- drop(J %*% coef(f)[i, j, ])
      expect_equal(mat(h$hillshade)[i, j], shade(d), tolerance = 1e-12)
      C <- J %*% vcov(f, i, j) %*% t(J)
      grad <- vapply(1:2, function(m) {
        e <- 1e-7 * max(abs(d[m]), 1e-3)
        (shade(replace(d, m, d[m] + e)) - shade(replace(d, m, d[m] - e))) / (2 * e)
      }, 0)
      expect_equal(mat(h$hillshade_se)[i, j], sqrt(drop(grad %*% C %*% grad)),
                   tolerance = 1e-5, info = paste(length(suns), i, j))
    }
  }
  # Several suns on level ground have no gradient: NA, not a number.
  flat <- orvel_terrain(terra::rast(matrix(3, 8, 8)), "hillshade", se = TRUE,
                        direction = c(0, 90))
  expect_true(all(is.na(vals(flat$hillshade_se))))
  expect_error(orvel_terrain(hill, "hillshade", direction = numeric(0)), "`direction`")
  expect_error(orvel_terrain(hill, "hillshade", direction = c(1, NA)), "`direction`")
})

test_that("aspects lie in [0, 360); the rook's slope stands at a missing centre, as terra's", {
  # A plane facing a hair west of due north: pi + atan2() rounds to 2 pi.
  C <- get("C_orvel_angles", asNamespace("orvel"))
  for (lanes in c(0L, 2L)) {
    a <- .Call(C, c(1e-20, -1e-20, 0, 1e-20, 0.5), c(1, 1, 1, -1, 0), 1, 5, 1, 1, 2L,
               180 / pi, lanes)
    expect_true(all(a >= 0 & a < 360), info = lanes)
    expect_identical(a[1:3], c(0, 0, 0))
    expect_equal(a[4:5], c(180, 270))
    r <- .Call(C, 1e-20, 1, 1, 1, 1, 1, 2L, 1, lanes)
    expect_identical(r, 0)
  }
  dem <- terra::rast(system.file("ex/elev.tif", package = "terra"))
  for (k in list(c("horn", 8), c("rook", 4))) {
    o <- orvel_terrain(dem, c("slope", "aspect"), kernel = k[1], min_slope = 0)
    tt <- terra::terrain(dem, c("slope", "aspect"), neighbors = as.integer(k[2]))
    there <- !is.na(vals(tt$slope))
    expect_true(all(!is.na(vals(o$slope))[there]), info = k[1])
    expect_lt(max(abs(vals(o$slope) - vals(tt$slope))[there]), 1e-9)
    d <- abs(vals(o$aspect) - vals(tt$aspect)) %% 360
    expect_lt(max(pmin(d, 360 - d)[there]), 1e-9)
    expect_true(all(vals(o$aspect) >= 0 & vals(o$aspect) < 360, na.rm = TRUE))
  }
  # A missing centre keeps the rook's slope from its four neighbours, but a
  # missing neighbour takes it, as in terra; Horn's loses both.
  m <- outer(1:9, 1:9, function(i, j) 3 * j - 2 * i + 0.1 * i * j)
  m[5, 5] <- NA
  r <- terra::rast(m, extent = terra::ext(0, 9, 0, 9))
  rook <- mat(orvel_terrain(r, c("slope", "aspect"), "rook", unit = "radians")$slope)
  want <- atan(sqrt(((m[5, 6] - m[5, 4]) / 2)^2 + ((m[4, 5] - m[6, 5]) / 2)^2))
  expect_equal(rook[5, 5], want, tolerance = 1e-14)
  expect_true(all(is.na(rook[cbind(c(4, 6, 5, 5), c(5, 5, 4, 6))])))
  expect_true(is.na(mat(orvel_terrain(r, "slope", "horn"))[5, 5]))
})

test_that("slopes in percent, the elevations' scale and the least slope", {
  K <- orvel_kernel("gaussian", 1.5)
  v <- c("slope", "aspect", "plan_curvature", "mean_curvature", "hillshade", "dzdx")
  a <- orvel_terrain(hill, v, kernel = K, degree = 2, se = TRUE, zscale = 0.25, min_slope = 0)
  b <- orvel_terrain(hill * 4, v, kernel = K, degree = 2, se = TRUE, min_slope = 0)
  expect_equal(vals(a), vals(b), tolerance = 1e-12)
  # percent: 100 tan(slope), its standard error through the derivative of tan.
  deg <- orvel_terrain(hill, "slope", kernel = K, se = TRUE, unit = "radians")
  pct <- orvel_terrain(hill, c("slope", "aspect"), kernel = K, se = TRUE, unit = "percent")
  expect_equal(vals(pct$slope), 100 * tan(vals(deg$slope)), tolerance = 1e-12)
  expect_equal(vals(pct$slope_se), 100 * vals(deg$slope_se) / cos(vals(deg$slope))^2,
               tolerance = 1e-12)
  expect_true(max(vals(pct$aspect), na.rm = TRUE) > 300)        # aspect stays in degrees
  # Below min_slope the aspect and the direction-dependent curvatures are NA
  # (with their standard errors), and nothing else changes.
  v <- c("slope", "aspect", "profile_curvature", "plan_curvature", "mean_curvature", "hillshade")
  all0 <- orvel_terrain(hill, v, kernel = "gaussian", se = TRUE, min_slope = 0)
  s <- vals(all0$slope)
  cut <- quantile(s, 0.2)
  some <- orvel_terrain(hill, v, kernel = "gaussian", se = TRUE, min_slope = cut)
  low <- s < cut
  for (n in names(all0)) {
    gone <- sub("_se$", "", n) %in% c("aspect", "profile_curvature", "plan_curvature")
    if (gone) {
      expect_true(all(is.na(vals(some[[n]])[low])), info = n)
      expect_identical(vals(some[[n]])[!low], vals(all0[[n]])[!low], info = n)
    } else expect_identical(vals(some[[n]]), vals(all0[[n]]), info = n)
  }
  # The default, 0.1 degrees, keeps level ground's aspect out.
  flat <- orvel_terrain(terra::rast(matrix(1:64 * 1e-4, 8, 8)), c("slope", "aspect"))
  expect_true(all(vals(flat$slope) < 0.1) && all(is.na(vals(flat$aspect))))
  expect_error(orvel_terrain(hill, zscale = 0), "`zscale`")
  expect_error(orvel_terrain(hill, min_slope = -1), "`min_slope`")
  expect_error(orvel_terrain(hill, unit = "grads"), "`unit`")
})
