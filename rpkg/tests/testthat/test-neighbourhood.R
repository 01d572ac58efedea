# TPI, TRI, roughness and flowdir of orvel_terrain(): terra's values inside
# the raster, the neighbours that exist at its edges, flow codes of the map,
# missing cells, and the layers beside fitted ones.

skip_if_not_installed("terra")
nb_vars <- c("TPI", "TRI", "roughness", "flowdir")
mat <- function(r) terra::as.matrix(r, wide = TRUE)

# The four measures from first principles, for every cell of matrix z (rows
# north to south), with the neighbours there are; dx, dy the cell sizes.
reference <- function(z, dx = 1, dy = 1, narm = FALSE) {
  nr <- nrow(z); nc <- ncol(z)
  out <- array(NA_real_, c(nr, nc, 4), dimnames = list(NULL, NULL, nb_vars))
  # (south, east) offsets in code order 1, 2, 4, ..., 128
  ds <- c(0, 1, 1, 1, 0, -1, -1, -1); de <- c(1, 1, 0, -1, -1, -1, 0, 1)
  for (i in seq_len(nr)) for (j in seq_len(nc)) {
    ii <- i + ds; jj <- j + de
    inside <- ii >= 1 & ii <= nr & jj >= 1 & jj <= nc
    v <- rep(NA_real_, 8); v[inside] <- z[cbind(ii[inside], jj[inside])]
    z0 <- z[i, j]
    if (!narm && (is.na(z0) || anyNA(v[inside]))) next
    have <- !is.na(v)
    all9 <- c(z0, v[have]); all9 <- all9[!is.na(all9)]
    if (length(all9)) out[i, j, "roughness"] <- max(all9) - min(all9)
    if (is.na(z0) || !any(have)) next
    out[i, j, "TPI"] <- z0 - mean(v[have])
    out[i, j, "TRI"] <- mean(abs(v[have] - z0))
    dist <- ifelse(ds == 0, dx, ifelse(de == 0, dy, sqrt(dx^2 + dy^2)))
    drop <- (z0 - v) / dist
    out[i, j, "flowdir"] <- 2^(which.max(replace(drop, !have, -Inf)) - 1)
  }
  out
}

test_that("inside the raster they are terra's; at its edges the neighbours there are", {
  set.seed(3)
  # projected, cells 10 x 25 map units: flow directions weigh the distances
  z <- volcano[1:40, 1:30] + matrix(runif(1200, 0, 0.01), 40)
  x <- terra::rast(z, extent = terra::ext(0, 300, 0, 1000), crs = "EPSG:32631")
  got <- orvel_terrain(x, nb_vars)
  expect_identical(names(got), nb_vars)
  want <- terra::terrain(x, nb_vars)
  ref <- reference(z, dx = 10, dy = 25)
  inner <- row(z) > 1 & row(z) < nrow(z) & col(z) > 1 & col(z) < ncol(z)
  for (v in nb_vars) {
    g <- mat(got[[v]])
    expect_identical(g[inner], mat(want[[v]])[inner], info = v)
    expect_false(anyNA(g), info = v)                      # edges filled
    expect_equal(g, ref[, , v], tolerance = 1e-13, info = v)
  }
  # The same with one thread, and in blocks of 14 rows: the same bits.
  old <- options(orvel.block_cells = 14 * ncol(z))
  on.exit(options(old), add = TRUE)
  expect_identical(terra::values(orvel_terrain(x, nb_vars, threads = 1)), terra::values(got))
})

test_that("on terra's elev.tif (longitude/latitude, voids) they equal terra wherever terra gives a value", {
  dem <- terra::rast(system.file("ex/elev.tif", package = "terra"))
  set.seed(1)
  # a hundredth of a metre of noise, so that no two drops tie (terra breaks
  # ties at random)
  dem <- terra::setValues(dem, terra::values(dem) + runif(terra::ncell(dem), 0, 0.01))
  want <- terra::values(terra::terrain(dem, nb_vars))
  z <- mat(dem)
  # cells whose 3 x 3 window (within the raster) is complete
  miss <- matrix(FALSE, nrow(z) + 2, ncol(z) + 2)
  miss[2:(nrow(z) + 1), 2:(ncol(z) + 1)] <- is.na(z)
  any_miss <- Reduce(`|`, lapply(0:8, function(k)
    miss[k %% 3 + seq_len(nrow(z)), k %/% 3 + seq_len(ncol(z))]))
  full <- as.vector(t(!any_miss))
  east_missing <- as.vector(t(cbind(is.na(z[, -1]), TRUE)))
  for (narm in c(FALSE, TRUE)) {
    got <- terra::values(orvel_terrain(dem, nb_vars, na.rm = narm))
    for (v in nb_vars) {
      has <- !is.na(want[, v])
      info <- paste(v, narm)
      if (!narm) {
        # NA wherever the window is incomplete; terra's TPI and TRI are too
        expect_identical(!is.na(got[, v]), full, info = info)
        expect_identical(got[has & full, v], want[has & full, v], info = info)
        if (v %in% c("TPI", "TRI")) expect_true(all(full[has]), info = info)
      } else {
        # terra's flowdir points into a missing eastern neighbour
        same <- has & !(v == "flowdir" & east_missing)
        expect_identical(got[same, v], want[same, v], info = info)
        # orvel's never does
        if (v == "flowdir") expect_true(all(got[has & east_missing, v] != 1), info = info)
      }
    }
  }
  expect_gt(sum(!full & !is.na(want[, "roughness"])), 100)   # the cases above were met
})

test_that("flow codes are the map's: planes in eight directions, a pit, level ground, columns run west, rows north", {
  g <- expand.grid(row = 1:9, col = 1:11)
  codes <- c(E = 1, SE = 2, S = 4, SW = 8, W = 16, NW = 32, N = 64, NE = 128)
  # (south, east) of the way down; slightly off the diagonal, so no tie
  way <- list(E = c(0, 1), SE = c(1, 1.1), S = c(1, 0), SW = c(1.1, -1), W = c(0, -1),
              NW = c(-1, -1.1), N = c(-1, 0), NE = c(-1.1, 1))
  for (d in names(way)) {
    z <- matrix(-(way[[d]][1] * g$row + way[[d]][2] * g$col), 9)
    fd <- mat(orvel_terrain(terra::rast(z), "flowdir"))
    expect_true(all(fd[2:8, 2:10] == codes[[d]]), info = d)
  }
  pit <- matrix(5, 5, 5); pit[3, 3] <- 1; pit[2, 2] <- 6
  fd <- mat(orvel_terrain(terra::rast(pit), "flowdir"))
  expect_identical(fd[3, 3], 2)             # every neighbour higher: the smallest rise, a diagonal; ties: the lowest code
  expect_identical(fd[2, 3], 4)             # into the pit
  # level ground: east, the first code, wherever there is an eastern neighbour
  expect_true(all(mat(orvel_terrain(terra::rast(matrix(7, 4, 4)), "flowdir"))[, 1:3] == 1))
  # columns running west (a negative x resolution): codes of the map
  dir <- tempfile("orvel-nb"); dir.create(dir); on.exit(unlink(dir, recursive = TRUE), add = TRUE)
  set.seed(4)
  z <- matrix(rnorm(48), 6)
  vrt <- function(values, gt, name) {
    terra::writeRaster(terra::rast(values), file.path(dir, paste0(name, ".tif")), datatype = "FLT8S")
    f <- file.path(dir, paste0(name, ".vrt"))
    writeLines(sprintf(paste0('<VRTDataset rasterXSize="8" rasterYSize="6"><GeoTransform>%s</GeoTransform>',
                              '<VRTRasterBand dataType="Float64" band="1"><SimpleSource>',
                              '<SourceFilename relativeToVRT="1">%s.tif</SourceFilename><SourceBand>1</SourceBand>',
                              '</SimpleSource></VRTRasterBand></VRTDataset>'), gt, name), f)
    terra::rast(f)
  }
  west <- vrt(z[, 8:1], "108, -1, 0, 6, 0, -1", "west")     # columns run west
  south <- vrt(z[6:1, ], "100, 1, 0, 0, 0, 1", "south")     # rows run north
  expect_lt(terra::xres(west), 0)
  base <- orvel_terrain(terra::rast(z, extent = terra::ext(100, 108, 0, 6)), nb_vars)
  got <- orvel_terrain(west, nb_vars)
  for (v in nb_vars) expect_equal(mat(got[[v]])[, 8:1], mat(base[[v]]), tolerance = 1e-14, info = v)
  got <- orvel_terrain(south, nb_vars)
  for (v in nb_vars) expect_equal(mat(got[[v]]), mat(base[[v]]), tolerance = 1e-14, info = v)
})

test_that("beside fitted layers: any order, no standard errors, not in tiles", {
  set.seed(5)
  z <- volcano[1:25, 1:20] + matrix(rnorm(500), 25)
  x <- terra::rast(z, extent = terra::ext(0, 200, 0, 250), crs = "local")
  v <- c("TPI", "slope", "flowdir", "aspect", "roughness")
  got <- orvel_terrain(x, v, se = TRUE)
  expect_identical(names(got), c("TPI", "slope", "slope_se", "flowdir", "aspect", "aspect_se", "roughness"))
  fit <- orvel_terrain(x, c("slope", "aspect"), se = TRUE)
  nb <- orvel_terrain(x, c("TPI", "flowdir", "roughness"))
  for (k in names(fit)) expect_identical(terra::values(got[[k]]), terra::values(fit[[k]]), info = k)
  for (k in names(nb)) expect_identical(terra::values(got[[k]]), terra::values(nb[[k]]), info = k)
  # a kernel or a degree changes the fitted layers only
  q <- orvel_terrain(x, c("TRI", "profile_curvature"), kernel = "gaussian")
  expect_identical(terra::values(q$TRI), terra::values(orvel_terrain(x, "TRI")))
  expect_error(orvel_terrain(x, c("slope", "TPI"), tiles = c(10, 10)), "\"TPI\" are not computed in tiles")
})
