# Terrain variables: curvatures on surfaces whose curvature is known, the
# hillshade against terra's, standard errors by the delta method, rasters
# stored west-to-east or south-up, and writing to files.

skip_if_not_installed("terra")
valgrind <- nzchar(Sys.getenv("ORVEL_VALGRIND"))

# A surface z(x, y) (x east, y north, map units) on nr x nc cells of dx by
# dy, rows north to south; also the cell centres.
surface <- function(f, nr = 90, nc = 80, dx = 2, dy = 3) {
  x <- (seq_len(nc) - 0.5) * dx
  y <- (nr - seq_len(nr) + 0.5) * dy
  X <- matrix(x, nr, nc, byrow = TRUE); Y <- matrix(y, nr, nc)
  list(r = terra::rast(f(X, Y), extent = terra::ext(0, nc * dx, 0, nr * dy)), X = X, Y = Y)
}
mat <- function(r) terra::as.matrix(r, wide = TRUE)
curv <- c("profile_curvature", "plan_curvature", "tangential_curvature", "mean_curvature",
          "gaussian_curvature", "max_curvature", "min_curvature")

test_that("curvatures of a dome, a bowl, a paraboloid and a saddle are their analytic values", {
  R <- 500; x0 <- 80; y0 <- 135
  dome <- surface(function(X, Y) sqrt(R^2 - (X - x0)^2 - (Y - y0)^2))
  rho <- sqrt((dome$X - x0)^2 + (dome$Y - y0)^2)
  inside <- row(rho) > 8 & row(rho) <= 82 & col(rho) > 8 & col(rho) <= 72 & rho > 40
  kernels <- list("gaussian", orvel_kernel("gaussian", 3, size = 15))
  if (valgrind) kernels <- kernels[1]
  for (K in kernels) {
    for (sgn in c(1, -1)) {           # the dome, then the same bowl upside down
      r <- if (sgn == 1) dome$r else -dome$r
      t <- orvel_terrain(r, curv, kernel = K)
      want <- list(profile_curvature = 1 / R, plan_curvature = 1 / rho, tangential_curvature = 1 / R,
                   mean_curvature = 1 / R, gaussian_curvature = 1 / R^2, max_curvature = 1 / R,
                   min_curvature = 1 / R)
      for (v in curv) {
        w <- if (v == "gaussian_curvature") want[[v]] else sgn * want[[v]]
        if (length(w) == 1L) w <- matrix(w, nrow(rho), ncol(rho))
        if (sgn == -1 && v %in% c("max_curvature", "min_curvature"))
          w <- -matrix(1 / R, nrow(rho), ncol(rho))
        expect_lt(max(abs(mat(t[[v]])[inside] / w[inside] - 1)), 0.01, label = paste(v, sgn))
      }
    }
    # A paraboloid and a saddle: curvatures from their exact derivatives.
    for (c2 in list(c(4e-3, 1e-3, 0), c(2e-3, -2e-3, 1.5e-3))) {
      s <- surface(function(X, Y) c2[1] * (X - x0)^2 + c2[2] * (Y - y0)^2 + c2[3] * (X - x0) * (Y - y0))
      p <- 2 * c2[1] * (s$X - x0) + c2[3] * (s$Y - y0); q <- 2 * c2[2] * (s$Y - y0) + c2[3] * (s$X - x0)
      rr <- 2 * c2[1]; ss <- c2[3]; tt <- 2 * c2[2]; g <- p^2 + q^2; w <- 1 + g
      mean <- -((1 + q^2) * rr - 2 * p * q * ss + (1 + p^2) * tt) / (2 * w^1.5)
      gauss <- (rr * tt - ss^2) / w^2
      want <- list(profile_curvature = -(p^2 * rr + 2 * p * q * ss + q^2 * tt) / (g * w^1.5),
                   plan_curvature = -(q^2 * rr - 2 * p * q * ss + p^2 * tt) / g^1.5,
                   mean_curvature = mean, gaussian_curvature = gauss,
                   max_curvature = mean + sqrt(mean^2 - gauss))
      t <- orvel_terrain(s$r, names(want), kernel = K)
      ok <- inside & abs(want$plan_curvature) > 1e-4
      for (v in names(want))
        expect_lt(max(abs(mat(t[[v]])[ok] / want[[v]][ok] - 1)), 0.01, label = v)
      if (c2[2] < 0) expect_true(all(mat(t$gaussian_curvature)[inside] < 0))
    }
  }
  # Level ground has no slope line or contour: those curvatures are NA there.
  flat <- orvel_terrain(terra::rast(matrix(5, 10, 10)), c("plan_curvature", "mean_curvature"),
                        kernel = "gaussian")
  expect_true(all(is.na(terra::values(flat$plan_curvature))))
  expect_lt(max(abs(terra::values(flat$mean_curvature))), 1e-12)
})

test_that("hillshade is terra::shade() of terra's slope and aspect; degrees and arguments checked", {
  dem <- terra::rast(volcano, extent = terra::ext(0, 610, 0, 870), crs = "local")
  tt <- terra::terrain(dem, v = c("slope", "aspect"), unit = "radians")
  for (sun in list(c(45, 0), c(30, 250))) {
    h <- orvel_terrain(dem, "hillshade", angle = sun[1], direction = sun[2])
    ts <- terra::values(terra::shade(tt$slope, tt$aspect, angle = sun[1], direction = sun[2]))
    ok <- !is.na(ts)
    expect_lt(max(abs(terra::values(h)[ok] - ts[ok])), 1e-9)
    expect_true(all(is.finite(terra::values(h))))        # edges filled
  }
  # A curvature asks for a quadratic, and a plane refuses it.
  a <- orvel_terrain(dem, c("slope", "profile_curvature"), "horn", unit = "radians")
  b <- orvel_terrain(dem, c("slope", "profile_curvature"), "horn", degree = 2, unit = "radians")
  expect_identical(terra::values(a), terra::values(b))
  expect_error(orvel_terrain(dem, "plan_curvature", degree = 1), "`degree` must be 2")
  expect_error(orvel_terrain(dem, "hillshade", angle = NA), "`angle`")
  expect_error(orvel_terrain(dem, kernel = c("horn", "rook")), "`kernel`")
})

test_that("standard errors of curvatures follow the delta method from the fit's covariance", {
  skip_if(valgrind)
  set.seed(4)
  z <- volcano[1:40, 1:35] + matrix(rnorm(1400, sd = 2), 40)
  r <- terra::rast(z, extent = terra::ext(0, 35 * 5, 0, 40 * 2))      # 5 east, 2 north
  K <- orvel_kernel("gaussian", 2)
  t <- orvel_terrain(r, c("profile_curvature", "min_curvature"), kernel = K, se = TRUE)
  expect_identical(names(t), c("profile_curvature", "profile_curvature_se", "min_curvature",
                               "min_curvature_se"))
  f <- orvel_fit(z, K, spacing = c(2, 5), degree = 2)
  # (p, q, r, s, t) from coef(): y runs south along the rows.
  J <- rbind(c(0, 0, 1, 0, 0, 0), c(0, -1, 0, 0, 0, 0), c(0, 0, 0, 0, 0, 2),
             c(0, 0, 0, 0, -1, 0), c(0, 0, 0, 2, 0, 0))
  fn <- list(profile_curvature = function(d) {
               g <- d[1]^2 + d[2]^2
               -(d[1]^2 * d[3] + 2 * d[1] * d[2] * d[4] + d[2]^2 * d[5]) / (g * (1 + g)^1.5) },
             min_curvature = function(d) {
               w <- 1 + d[1]^2 + d[2]^2
               m <- -((1 + d[2]^2) * d[3] - 2 * d[1] * d[2] * d[4] + (1 + d[1]^2) * d[5]) / (2 * w^1.5)
               k <- (d[3] * d[5] - d[4]^2) / w^2
               m - sqrt(m^2 - k) })
  for (k in 1:12) {
    i <- c(1, 40, sample(40, 10))[k]; j <- c(35, 1, sample(35, 10))[k]
    d <- drop(J %*% coef(f)[i, j, ])
    C <- J %*% vcov(f, i, j) %*% t(J)
    for (v in names(fn)) {
      grad <- vapply(1:5, function(m) {
        h <- 1e-6 * max(abs(d[m]), 1e-3)
        (fn[[v]](replace(d, m, d[m] + h)) - fn[[v]](replace(d, m, d[m] - h))) / (2 * h)
      }, 0)
      expect_equal(mat(t[[paste0(v, "_se")]])[i, j], sqrt(drop(grad %*% C %*% grad)),
                   tolerance = 1e-5, info = paste(v, i, j))
    }
  }
})

test_that("columns running west and rows stored south-up give the same terrain; files are written as in terra", {
  dir <- tempfile("orvel-terrain")
  dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE), add = TRUE)
  set.seed(2)
  z <- volcano[1:30, 1:25] + matrix(rnorm(750), 30)
  nr <- nrow(z); nc <- ncol(z)
  base <- terra::rast(z, extent = terra::ext(100, 100 + 4 * nc, 50, 50 + 3 * nr))
  vrt <- function(values, gt, name) {
    src <- file.path(dir, paste0(name, ".tif"))
    terra::writeRaster(terra::rast(values), src, datatype = "FLT8S", overwrite = TRUE)
    f <- file.path(dir, paste0(name, ".vrt"))
    writeLines(sprintf(paste0('<VRTDataset rasterXSize="%d" rasterYSize="%d"><GeoTransform>%s</GeoTransform>',
                              '<VRTRasterBand dataType="Float64" band="1"><SimpleSource>',
                              '<SourceFilename relativeToVRT="1">%s</SourceFilename><SourceBand>1</SourceBand>',
                              '</SimpleSource></VRTRasterBand></VRTDataset>'),
                       nc, nr, paste(gt, collapse = ", "), basename(src)), f)
    terra::rast(f)
  }
  west <- vrt(z[, nc:1], c(100 + 4 * nc, -4, 0, 50 + 3 * nr, 0, -3), "west")     # columns run west
  south <- vrt(z[nr:1, ], c(100, 4, 0, 50, 0, 3), "south")                      # rows run north
  expect_lt(terra::xres(west), 0)
  v <- c("slope", "aspect", "profile_curvature", "plan_curvature", "d2zdxdy")
  want <- orvel_terrain(base, v, kernel = "gaussian", unit = "radians")
  got <- orvel_terrain(west, v, kernel = "gaussian", unit = "radians")
  for (k in v) expect_equal(mat(got[[k]])[, nc:1], mat(want[[k]]), tolerance = 1e-12, info = k)
  got <- orvel_terrain(south, v, kernel = "gaussian", unit = "radians")
  for (k in v) expect_equal(mat(got[[k]]), mat(want[[k]]), tolerance = 1e-12, info = k)
  # filename, overwrite and wopt as in terra
  f <- file.path(dir, "slope.tif")
  s <- orvel_terrain(base, "slope", filename = f, wopt = list(datatype = "FLT4S"))
  expect_true(file.exists(f))
  expect_identical(terra::datatype(terra::rast(f)), "FLT4S")
  expect_error(orvel_terrain(base, "slope", filename = f), "exists.*overwrite = TRUE")
  s2 <- orvel_fit(base, filename = f, overwrite = TRUE)
  expect_identical(names(terra::rast(f)), c("smooth", "dzdx", "dzdy"))
  expect_equal(terra::values(terra::rast(f)), terra::values(orvel_fit(base)))
})
