# The relations ?orvel_conventions states between orvel's outputs and other
# tools' conventions, checked on orvel's own fitted derivatives.

skip_if_not_installed("terra")
mat <- function(r) terra::as.matrix(r, wide = TRUE)

test_that("the aspect conversions and the projected contour curvature hold as stated", {
  set.seed(7)
  g <- expand.grid(y = 1:25, x = 1:30)
  # a sphere cap of radius 60 cells plus a tilt and a little noise: every aspect
  z <- matrix(sqrt(60^2 - (g$x - 15)^2 - (g$y - 13)^2) + 0.2 * g$x, 25) + rnorm(750, sd = 0.01)
  x <- terra::rast(z, extent = terra::ext(0, 60, 0, 50), crs = "local")   # cells 2 x 2
  q <- orvel_terrain(x, c("aspect", "slope", "tangential_curvature", "plan_curvature", "dzdx", "dzdy"),
                     kernel = matrix(1, 5, 5), unit = "radians")
  a <- mat(q$aspect) * 180 / pi
  p <- mat(q$dzdx); qn <- mat(q$dzdy)
  deg <- function(v) v * 180 / pi
  # downhill is (-p, -q) in (east, north)
  from_west <- deg(atan2(-qn, p))           # r.param.scale: clockwise from west, in (-180, 180]
  from_east <- deg(atan2(-qn, -p)) %% 360   # counterclockwise from east
  ok <- !is.na(a)
  expect_gt(sum(ok), 600)
  expect_gt(diff(range(a[ok])), 300)
  circ <- function(u, v) abs((u - v + 180) %% 360 - 180)
  expect_lt(max(circ((from_west[ok] + 270) %% 360, a[ok])), 1e-9)
  expect_lt(max(circ((450 - from_east[ok]) %% 360, a[ok])), 1e-9)
  # Qfit's planc is the tangential curvature; the projected one is it over sin(slope)
  tc <- mat(q$tangential_curvature); pc <- mat(q$plan_curvature); s <- mat(q$slope)
  expect_equal(pc, tc / sin(s), tolerance = 1e-10)
})

test_that("the rook kernel's slopes are Zevenbergen and Thorne's central differences", {
  set.seed(8)
  z <- matrix(rnorm(20 * 16, sd = 3), 20) + outer(1:20, 1:16)
  x <- terra::rast(z, extent = terra::ext(0, 16 * 3, 0, 20 * 5))          # cells 3 east, 5 north
  d <- orvel_terrain(x, c("dzdx", "dzdy"), kernel = "rook")
  i <- 2:19; j <- 2:15
  expect_equal(mat(d$dzdx)[i, j], (z[i, j + 1] - z[i, j - 1]) / 6, tolerance = 1e-12)
  expect_equal(mat(d$dzdy)[i, j], (z[i - 1, j] - z[i + 1, j]) / 10, tolerance = 1e-12)
})
