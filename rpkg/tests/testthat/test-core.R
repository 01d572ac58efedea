# The package's native core: the engine linked in against the two shared
# libraries, threads, and the registered routines fed malformed arguments.

libdir <- orvel:::.orvel_libdir()
dyn.load(file.path(libdir, "orvel-fit.so"))
dyn.load(file.path(libdir, "orvel-holdout.so"))

raw_fit <- function(entry, z, K) {
  r <- .C(entry, as.double(z), nrow(z), ncol(z), as.double(K), F = double(length(z)),
          gFx = double(length(z)), gFy = double(length(z)), NAOK = TRUE)
  lapply(r[c("F", "gFx", "gFy")], matrix, nrow(z), ncol(z))
}
# Bit for bit: signed zeros must match (any NaN, NA included, equals any NaN).
same_bits <- function(a, b) {
  a <- unname(a); b <- unname(b)
  identical(is.na(a), is.na(b)) && identical(replace(a, is.na(a), 0), replace(b, is.na(b), 0),
                                             num.eq = FALSE)
}

# Grids of every awkward kind: missing and infinite values, signed zeros,
# products that overflow, and sizes from 2 x 2 to longer than a chunk.
awkward <- function(ny, nx, seed) {
  set.seed(seed)
  z <- matrix(rnorm(ny * nx, 100, 30), ny, nx)
  k <- sample(length(z), max(1, length(z) %/% 50))
  z[k] <- sample(c(NaN, NA, Inf, -Inf, 0, -0, 1e300, -1e300, 5e-324), length(k), TRUE)
  z
}
kernels <- list(dense = orvel_kernel("gaussian", 1.5), horn = orvel_kernel("horn"),
                lopsided = matrix(runif(49), 7) * (abs(row(diag(7)) - 4) <= 2),
                negzero = replace(orvel_kernel("epanechnikov", 2.5), 1, -0))

test_that("with orvel.exact, the package's planes are the shared libraries' bits wherever no missing value has weight", {
  old <- options(orvel.exact = TRUE)
  on.exit(options(old))
  for (d in list(c(2, 2), c(2, 9), c(9, 2), c(7, 7), c(31, 13), c(64, 5))) {
    z <- awkward(d[1], d[2], sum(d))
    z0 <- replace(z, !is.finite(z), 0)
    for (K in kernels) {
      for (holdout in c(FALSE, TRUE)) {
        want <- raw_fit(if (holdout) "localPolynomialscv" else "localPolynomials", z0, K)
        got <- if (holdout) orvel_holdout(z, K) else orvel_fit(z, K)
        gone <- is.na(got$F)
        # A missing value with weight takes its nodes, and only shapes that
        # cannot determine a plane take others.
        expect_true(all(gone[footprint_na(z, K, holdout)]))
        for (o in c("F", "gFx", "gFy"))
          expect_true(same_bits(got[[o]][!gone], want[[o]][!gone]), info = paste(d, collapse = "x"))
        if (min(d) >= 7 && !holdout) expect_identical(gone, footprint_na(z, K, holdout))
      }
    }
  }
})

test_that("every thread count gives the same bits", {
  # 65537 rows: columns split into segments; 3 x 1001: many columns a chunk.
  for (d in list(c(65537, 3), c(3, 1001), c(203, 77))) {
    z <- awkward(d[1], d[2], 1)
    K <- kernels$lopsided
    one <- list(orvel_fit(z, K, threads = 1), orvel_holdout(z, K, threads = 1),
                orvel_cv(z, K, threads = 1))
    for (n in thread_counts(c(2, 3, 7))) {
      got <- list(orvel_fit(z, K, threads = n), orvel_holdout(z, K, threads = n),
                  orvel_cv(z, K, threads = n))
      for (i in 1:2) for (o in c("F", "gFx", "gFy"))
        expect_true(same_bits(got[[i]][[o]], one[[i]][[o]]), info = n)
      expect_identical(got[[3]], one[[3]])
      r <- grid_call(z, K, threads = n)
      expect_identical(attr(r, "nonfinite"),
                       as.double(sum(!is.finite(r[[1]]) | !is.finite(r[[2]]) | !is.finite(r[[3]]))))
    }
  }
  sel <- function(n) suppressWarnings(orvel_select(volcano, threads = n))$table
  expect_identical(sel(thread_counts(3)), sel(1))
  # A wide window's columns are cut into short segments of rows, so that
  # each thread has a share: the fit, its statistics and a raster's blocks
  # the same bits on any number of threads.
  # (under valgrind a smaller grid that still has two segments a column)
  z <- if (nzchar(Sys.getenv("ORVEL_VALGRIND"))) awkward(120, 110, 1) else awkward(300, 420, 1)
  K <- orvel_kernel("uniform", 50, size = 101)
  wide <- function(n) {
    f <- orvel_fit(z, K, degree = 2, se = TRUE, threads = n)
    list(f[c("F", "gFx", "gFy", "se")], orvel_cv(z, K, degree = 2, threads = n))
  }
  one <- wide(1)
  for (n in thread_counts(c(2, 5))) expect_identical(wide(n), one)
  expect_error(orvel_fit(volcano, threads = 0), "`threads` must be a whole number from 1 to 1024, not 0")
  expect_error(orvel_cv(volcano, threads = "all"), "`threads`.*a character vector")
  old <- options(orvel.threads = 1.5)
  on.exit(options(old))
  expect_error(orvel_fit(volcano), "`threads`.*not 1.5")
})

test_that("no registered routine crashes R on malformed arguments", {
  C <- function(name) get(paste0("C_", name), asNamespace("orvel"))
  z <- volcano[1:20, 1:9] + 0
  K <- orvel_kernel()
  fields <- list(K = K, degree = 2L, holdout = FALSE, narm = TRUE, exact = FALSE, ny = 20, nx = 9)
  engine <- quote(.Call(C("orvel_model_new"), fields))
  geometry <- list(dx = 1, dy = 1, sx = 1, sy = -1)
  block_req <- list(at = c(0, 0, 9, 0, 0, 20), what = c(1:3, 68L), threads = 2L, policy = 0L,
                    geometry = geometry, scale = 1, shade = c(45, 0), sigma = 1)
  valid <- list(
    orvel_model_new = list(fields),
    orvel_fit_grid = list(engine, z, list(threads = 2L, se = 2L, unit = c(1, 0.1, 0.1, 1, 1, 1)),
                          NULL),
    orvel_fit_block = list(engine, as.vector(z), block_req,
                           quote(.Call(C("orvel_buffer_alloc"), 720))),
    orvel_buffer_alloc = list(10),
    orvel_tile_grid = list(z, 30, 4),
    orvel_flags_new = list(10),
    orvel_flags_and = list(quote(.Call(C("orvel_flags_new"), 10)),
                           quote(.Call(C("orvel_flags_new"), 10)), TRUE),
    orvel_angles = list(as.vector(z), as.vector(z), 20, 9, 1, 1, 1:2, 1, 0L))
  bad <- list(NULL, NA, NA_integer_, "1", list(1), TRUE, -1, 0.5, NaN, Inf, -Inf, 1e300,
              2^62 + 2^10, -2^62, numeric(0), c(1, 2), 1:3, as.vector(z), z, K)
  call <- function(name, a) {
    a <- lapply(a, function(x) if (is.call(x)) eval(x) else x)
    tryCatch({ do.call(.Call, c(list(C(name)), a)); "ok" }, error = function(e) "error")
  }
  for (name in names(valid)) {
    args <- valid[[name]]
    expect_identical(call(name, args), "ok", info = name)
    for (i in seq_along(args)) {
      for (b in bad) expect_true(call(name, replace(args, i, list(b))) %in% c("ok", "error"))
      # Each field of a model's fields, a request or a geometry, malformed or left out.
      if (is.list(args[[i]]) && !is.null(names(args[[i]])))
        for (f in names(args[[i]])) {
          for (b in bad) {
            a <- args
            a[[i]][f] <- list(b)
            expect_true(call(name, a) %in% c("ok", "error"), info = paste(name, f))
          }
          a <- args
          a[[i]][[f]] <- NULL
          expect_identical(call(name, a), "error", info = paste(name, f))
        }
    }
    if (name == "orvel_fit_block")
      for (f in names(geometry)) for (b in bad) {
        a <- args
        a[[3]]$geometry[f] <- list(b)
        expect_true(call(name, a) %in% c("ok", "error"), info = f)
      }
  }
  # Sizes that overflow when multiplied, blocks that do not fit their data,
  # and a result buffer another object shares.
  m1 <- eval(engine)
  m1 <- .Call(C("orvel_model_new"), replace(fields, c("degree", "narm"), list(1L, FALSE)))
  block <- function(at, what = 1:3, out = .Call(C("orvel_buffer_alloc"), 540), zz = as.vector(z))
    .Call(C("orvel_fit_block"), m1, zz, replace(block_req, c("at", "what"), list(at, what)), out)
  expect_error(.Call(C("orvel_model_new"), replace(fields, "nx", 2^62 + 2^10)), "`nx`|too large")
  expect_length(.Call(C("orvel_buffer_take"), block(c(0, 0, 9, 0, 0, 20))), 540)
  expect_error(block(c(0, 0, 9, 1e6, 0, 20)), "no room")
  expect_error(block(c(0, 0, 9, 2^62, 0, 20)), "`at`")
  expect_error(block(c(3, 3, 6, 0, 0, 20), zz = as.vector(z[, 4:9])), "`at`")  # columns 0..2 missing
  expect_error(block(c(0, 0, 9, 0, 0, 20), zz = as.vector(z)[1:175]), "whole columns")
  expect_error(block(c(0, 0, 9, 0, 0, 20), c(1L, 1L)), "`what`")
  expect_error(block(c(0, 0, 9, 0, 0, 20), 83L), "`what`")      # no landform classes' standard error
  expect_error(.Call(C("orvel_fit_block"), K, as.vector(z), block_req, numeric(540)), "`model`")
  # Outputs written in place: only vectors nothing else refers to.
  m3 <- .Call(C("orvel_model_new"), replace(fields, c("degree", "narm"), list(1L, FALSE)))
  w <- list(numeric(180), numeric(180), numeric(180))
  expect_identical(.Call(C("orvel_fit_grid"), m3, z, list(threads = 1L, se = 0L), w)[[1]],
                   as.vector(orvel_fit(z, K)$F))
  w2 <- w
  expect_error(.Call(C("orvel_fit_grid"), m3, z, list(threads = 1L, se = 0L), w),
               "nothing else refers to")
  expect_error(grid_call(z, matrix(1, 9, 9), exact = TRUE), "`exact`")
  expect_error(grid_call(z, K, degree = 2L, work = list(numeric(180), numeric(180), numeric(180))),
               "`work`")
  expect_error(.Call(C("orvel_fit_grid"), m1, t(z), list(threads = 1L, se = 0L), NULL), "model's rows")
  # A buffer's vector, once taken, is R's: never written again.
  taken <- .Call(C("orvel_buffer_alloc"), 540)
  v <- .Call(C("orvel_buffer_take"), taken)
  expect_error(block(c(0, 0, 9, 0, 0, 20), out = taken), "not yet taken")
  expect_error(block(c(0, 0, 9, 0, 0, 20), out = numeric(540)), "not yet taken")
  expect_error(.Call(C("orvel_buffer_take"), taken), "not yet taken")
  expect_error(.Call(C("orvel_angles"), 1, 1, 2^40, 2^40, 1, 1, 1L, 1, 0L), "too large")
  expect_identical(z, volcano[1:20, 1:9] + 0)
  # A grid of 65536 x 2^48 nodes, 2^64, which wraps to none in 64 bits: the
  # flags of a node far out would be written past a vector of no flags.
  expect_error(.Call(C("orvel_model_new"), replace(fields, c("ny", "nx"), list(65536, 2^48))),
               "too large")
  expect_error(.Call(C("orvel_tile_grid"), matrix(1, 2, 3), 2^51, 0), "too large")
})

test_that("flags written in place are the package's own, never a vector R code can see", {
  C <- function(name) get(paste0("C_", name), asNamespace("orvel"))
  z <- volcano[1:20, 1:9] + 0
  z[5, 5] <- NA
  stats <- function(keep, can)
    orvel:::.orvel_stats_grid(z, orvel:::.orvel_model(orvel_kernel()), 1L, keep, can)
  # Raw vectors are values: writing one in place would change its copies.
  ones <- as.raw(rep(1, 180))
  can <- ones
  expect_error(stats(NULL, can), "`can` must be NULL or flags from orvel_flags_new\\(\\), not an object of type \"raw\"")
  a <- as.raw(c(1, 1, 0, 1))
  m <- as.raw(c(0, 1, 1, 1))
  a2 <- a
  m2 <- m
  expect_error(.Call(C("orvel_flags_and"), a, m, TRUE), "`can`")
  expect_identical(list(ones, a2, m2), list(as.raw(rep(1, 180)), as.raw(c(1, 1, 0, 1)), as.raw(c(0, 1, 1, 1))))
  # The package's flags: cleared where a node cannot be scored (those near
  # the missing value), combined, and read back as `keep`.
  all <- .Call(C("orvel_flags_new"), 180)
  mine <- .Call(C("orvel_flags_new"), 180)
  s <- stats(NULL, mine)
  expect_lt(s[["n"]], 180)
  expect_identical(.Call(C("orvel_flags_and"), all, mine, TRUE), s[["n"]])
  expect_identical(stats(all, NULL), s)
  expect_identical(.Call(C("orvel_flags_and"), all, mine, FALSE), s[["n"]])  # mine set again
  expect_identical(stats(raw(180), mine)[["n"]], 0)                         # keep may be raw
  expect_error(.Call(C("orvel_flags_and"), all, all, TRUE), "distinct")
  expect_error(.Call(C("orvel_flags_and"), all, .Call(C("orvel_flags_new"), 4), TRUE), "180 nodes, not 4")
  expect_error(stats(NULL, .Call(C("orvel_flags_new"), 4)), "`can` must hold a flag for each of the 180 nodes")
  expect_error(stats(NULL, unserialize(serialize(all, NULL))), "`can` must be NULL or flags")
})

test_that("badly conditioned windows of the exact plane get the weighted least squares fit", {
  old <- options(orvel.exact = TRUE)
  on.exit(options(old))
  # The condition number of a node's normal matrix (without the node, for
  # the leave-one-out fit, and the full one's) scaled to a unit diagonal.
  kappa <- function(K, ny, nx, iy, ix, holdout) {
    g <- expand.grid(jy = max(1, iy - 3):min(ny, iy + 3), jx = max(1, ix - 3):min(nx, ix + 3))
    g$w <- K[cbind(g$jy - iy + 4, g$jx - ix + 4)]
    X <- cbind(1, g$jy - iy, g$jx - ix)
    k1 <- function(M) {
      d <- 1 / sqrt(diag(M))
      A <- M * outer(d, d)
      norm(A, "1") * tryCatch(norm(solve(A), "1"), error = function(e) Inf)
    }
    c0 <- holdout & g$jy == iy & g$jx == ix
    max(k1(crossprod(X, g$w * X)), k1(crossprod(X[!c0, ], g$w[!c0] * X[!c0, ])))
  }
  set.seed(5)
  z <- matrix(rnorm(15 * 17, 50, 10), 15, 17)
  g15 <- orvel_kernel("gaussian", 1.5)
  # Weight along the diagonal alone, but for a trace: every window nearly
  # a line; then with the north-west quadrant's full weights, which make
  # all but the windows clipped at the top or left edge well conditioned.
  thin <- diag(7) + 1e-10 * g15
  for (K in list(thin, replace(thin, cbind(rep(1:3, 3), rep(1:3, each = 3)), g15[1:3, 1:3]))) {
    for (holdout in c(FALSE, TRUE)) {
      want <- raw_fit(if (holdout) "localPolynomialscv" else "localPolynomials", z, K)
      got <- if (holdout) orvel_holdout(z, K) else orvel_fit(z, K)
      general <- grid_call(z, K, holdout)
      k <- outer(seq_len(15), seq_len(17), Vectorize(function(i, j) kappa(K, 15, 17, i, j, holdout)))
      wls <- outer(seq_len(15), seq_len(17),
                   Vectorize(function(i, j) wls_coef(z, K, i, j, holdout = holdout)[[1]]))
      ill <- k > 1e6 & is.finite(got$F)
      fine <- k <= 1e6 & is.finite(got$F)
      expect_false(any(k > 1e5 & k < 1e7))        # no window near the threshold
      expect_gt(sum(ill), 20)
      expect_equal(got$F[ill], wls[ill], tolerance = 1e-5)
      expect_identical(got$F[ill], general[[1]][ill])
      expect_identical(got$gFy[ill], general[[3]][ill])
      for (o in c("F", "gFx", "gFy"))
        expect_true(same_bits(got[[o]][fine], want[[o]][fine]), info = o)
      if (holdout) {
        expect_equal(orvel_cv(z, K), mean((z - wls)[is.finite(got$F)]^2), tolerance = 1e-6)
        expect_equal(got$F[1, 16], wls[1, 16], tolerance = 1e-5)
      }
    }
    if (identical(K, thin)) expect_identical(sum(fine), 0L) else expect_gt(sum(fine), 150)
  }
})
