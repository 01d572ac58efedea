# The raw .C binding, as R users reach the libraries without the package's R
# code: dyn.load by path, entries by name, seven vectors in the documented
# order. The first block is the README's example.

libdir <- orvel:::.orvel_libdir()

test_that("the README's raw .C example works", {
  old <- options(orvel.exact = TRUE)
  on.exit(options(old))
  dyn.load(file.path(libdir, "orvel-fit.so"))
  z <- volcano                                   # ny rows, nx columns
  K <- outer(-3:3, -3:3, function(dy, dx) exp(-(dx^2 + dy^2) / (2 * 1.5^2)))
  r <- .C("localPolynomials", as.double(z), as.integer(nrow(z)), as.integer(ncol(z)),
          as.double(K), F = double(length(z)), gFx = double(length(z)), gFy = double(length(z)))
  smooth <- matrix(r$F, nrow(z))
  expect_identical(smooth, unname(orvel_fit(volcano, K)$F))
})

raw_fit <- function(entry, z, K) {
  ny <- nrow(z); nx <- ncol(z)
  r <- .C(entry, as.double(z), as.integer(ny), as.integer(nx), as.double(K),
          F = double(ny * nx), gFx = double(ny * nx), gFy = double(ny * nx))
  lapply(r[c("F", "gFx", "gFy")], matrix, nrow = ny, ncol = nx)
}
# The plane at node (iy, ix) by weighted least squares (see helper-wls.R);
# K is a 7x7 matrix with K[dy + 4, dx + 4] the weight of the neighbour dy
# rows and dx columns away, which is the library's kernel array read
# column-major, and the offsets are scaled by the grid's size.
wls_node <- function(z, K, iy, ix, holdout)
  unname(wls_coef(z, K, iy, ix, holdout = holdout, spacing = 1 / dim(z)))

gauss <- outer(-3:3, -3:3, function(dy, dx) exp(-(dx^2 + dy^2) / (2 * 1.5^2)))
# A lopsided kernel: any mix-up of rows and columns changes the answer.
lopsided <- gauss * outer(1:7, 1:7, function(r, c) 1 + 0.3 * r + 0.05 * c^2)

nodes <- rbind(c(1, 1), c(87, 61), c(1, 61), c(87, 1), c(2, 30), c(44, 1),
               c(44, 30), c(86, 3), c(10, 60), c(50, 45))

dyn.load(file.path(libdir, "orvel-fit.so"))
dyn.load(file.path(libdir, "orvel-holdout.so"))

for (entry in c("localPolynomials", "localPolynomialscv")) {
  test_that(paste(entry, "on volcano agrees with lm.wfit, edges and corners included"), {
    for (K in list(gauss, lopsided)) {
      out <- raw_fit(entry, volcano, K)
      for (k in seq_len(nrow(nodes))) {
        iy <- nodes[k, 1]; ix <- nodes[k, 2]
        want <- wls_node(volcano, K, iy, ix, entry == "localPolynomialscv")
        got <- c(out$F[iy, ix], out$gFx[iy, ix], out$gFy[iy, ix])
        expect_equal(got, want, tolerance = 1e-9,
                     info = sprintf("%s node (%d, %d)", entry, iy, ix))
      }
    }
  })
}

test_that("both libraries export solve", {
  r <- .C("solve", as.double(c(2, 0, 0, 0, 4, 0, 0, 0, 8)), as.double(c(1, 1, 1)),
          res = double(3), PACKAGE = "orvel-holdout")
  expect_identical(r$res, c(0.5, 0.25, 0.125))
  expect_true(is.loaded("localPolynomials", PACKAGE = "orvel-fit"))
  expect_false(is.loaded("localPolynomials", PACKAGE = "orvel-holdout"))
})
