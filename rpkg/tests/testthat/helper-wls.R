# The local polynomial at one node straight from its definition, by
# weighted least squares with lm.wfit(), for checking the fits against.
#
# Node (iy, ix) (1-based) of the grid z; K a kernel of 2hy + 1 rows and
# 2hx + 1 columns, K[dy + hy + 1, dx + hx + 1] the weight of the node dy rows
# and dx columns away. The observations are those of the window centred on
# the node, clipped at the grid's edges, with a non-zero weight and a finite
# value (NA, NaN and Inf are left out), the node itself left out if
# `holdout`. The design has the columns 1, y, x (degree 1) and also y^2,
# x*y, x^2 (degree 2), with y = dy * spacing[1] (along increasing row index)
# and x = dx * spacing[2]. Returns the named coefficients, all NA when the
# weighted design has rank below the number of coefficients.
wls_coef <- function(z, K, iy, ix, degree = 1, holdout = FALSE, spacing = c(1, 1)) {
  stopifnot(degree %in% 1:2, all(dim(K) %% 2 == 1))
  spacing <- rep(spacing, length.out = 2L)
  h <- (dim(K) - 1) / 2
  names <- c("(Intercept)", "y", "x", "y^2", "x*y", "x^2")[seq_len(if (degree == 1) 3 else 6)]
  g <- expand.grid(jy = max(1, iy - h[1]):min(nrow(z), iy + h[1]),
                   jx = max(1, ix - h[2]):min(ncol(z), ix + h[2]))
  g$w <- K[cbind(g$jy - iy + h[1] + 1, g$jx - ix + h[2] + 1)]
  g$z <- z[cbind(g$jy, g$jx)]
  keep <- g$w != 0 & is.finite(g$z)
  if (holdout) keep <- keep & !(g$jy == iy & g$jx == ix)
  g <- g[keep, , drop = FALSE]
  none <- stats::setNames(rep(NA_real_, length(names)), names)
  if (nrow(g) < length(names)) return(none)
  y <- (g$jy - iy) * spacing[1]
  x <- (g$jx - ix) * spacing[2]
  X <- cbind(1, y, x)
  if (degree == 2) X <- cbind(X, y^2, x * y, x^2)
  fit <- stats::lm.wfit(X, g$z, g$w)
  if (fit$rank < length(names)) return(none)
  stats::setNames(unname(fit$coefficients), names)
}

# Nodes with a missing value where the kernel K has weight (the node's
# own left out for the leave-one-out fit).
footprint_na <- function(z, K, holdout) {
  miss <- !is.finite(z)
  out <- matrix(FALSE, nrow(z), ncol(z))
  h <- (dim(K) - 1) %/% 2
  for (dy in -h[1]:h[1]) for (dx in -h[2]:h[2]) {
    if (K[dy + h[1] + 1, dx + h[2] + 1] == 0 || (holdout && dy == 0 && dx == 0)) next
    iy <- seq_len(nrow(z)); ix <- seq_len(ncol(z))
    ok_y <- iy + dy >= 1 & iy + dy <= nrow(z); ok_x <- ix + dx >= 1 & ix + dx <= ncol(z)
    out[ok_y, ok_x] <- out[ok_y, ok_x] | miss[iy[ok_y] + dy, ix[ok_x] + dx]
  }
  out
}

# The covariance of node (iy, ix)'s coefficients over the noise's variance,
# as the sandwich of weighted least squares: with the design X and the
# weights w of wls_coef()'s observations, (X'WX)^-1 X'W^2X (X'WX)^-1;
# `hat`, the weight of the node's own observation in its full fit; and
# `kappa`, the condition number of W^1/2 X with its columns scaled to one
# length. All NA where the window does not determine the polynomial.
wls_cov <- function(z, K, iy, ix, degree = 1, holdout = FALSE, spacing = c(1, 1)) {
  spacing <- rep(spacing, length.out = 2L)
  h <- (dim(K) - 1) / 2
  g <- expand.grid(jy = max(1, iy - h[1]):min(nrow(z), iy + h[1]),
                   jx = max(1, ix - h[2]):min(ncol(z), ix + h[2]))
  g$w <- K[cbind(g$jy - iy + h[1] + 1, g$jx - ix + h[2] + 1)]
  keep <- g$w != 0 & is.finite(z[cbind(g$jy, g$jx)])
  centre <- g$jy == iy & g$jx == ix
  if (holdout) keep <- keep & !centre
  g <- g[keep, , drop = FALSE]
  y <- (g$jy - iy) * spacing[1]
  x <- (g$jx - ix) * spacing[2]
  none <- list(V = matrix(NA_real_, 3 * degree, 3 * degree), hat = NA, kappa = Inf)
  if (length(y) < 3 * degree) return(none)
  X <- unname(cbind(1, y, x, y^2, x * y, x^2)[, seq_len(3 * degree), drop = FALSE])
  if (any(g$w < 0)) {    # (lm.wfit() refuses them): the normal equations
    A <- solve(crossprod(X, g$w * X))
    return(list(V = A %*% crossprod(X, g$w^2 * X) %*% A, hat = NA, kappa = NA))
  }
  # By QR of W^1/2 X = QR: V = R^-1 Q'WQ R^-T, (X'WX)^-1 = R^-1 R^-T.
  q <- qr(sqrt(g$w) * X)
  if (q$rank < ncol(X)) return(none)
  Ri <- backsolve(qr.R(q), diag(ncol(X)))
  Q <- qr.Q(q)
  V <- Ri %*% crossprod(Q, g$w * Q) %*% t(Ri)
  A <- sqrt(g$w) * X
  list(V = V, hat = sum(g$w[g$jy == iy & g$jx == ix]) * sum(Ri[1, ]^2),
       kappa = kappa(sweep(A, 2, sqrt(colSums(A^2)), `/`), exact = TRUE))
}

# Thread counts for a test, at most 2 under R CMD check --as-cran (which
# sets _R_CHECK_LIMIT_CORES_: CRAN's machines are shared) and under valgrind
# (which runs one thread at a time: more only cost time there); every count
# elsewhere.
thread_counts <- function(n) {
  limit <- Sys.getenv("_R_CHECK_LIMIT_CORES_", "")
  if ((nzchar(limit) && !identical(toupper(limit), "FALSE")) || nzchar(Sys.getenv("ORVEL_VALGRIND")))
    n <- pmin(n, 2)
  unique(n)
}

# The package's grid entry called straight: the fit of z under the weights
# K, by the exact engine where `exact` (a plane on at most 7 x 7).
grid_call <- function(z, K, holdout = FALSE, exact = FALSE, threads = 1L, work = NULL,
                      degree = 1L, narm = FALSE) {
  m <- orvel:::.orvel_engine(list(K = K, degree = degree, narm = narm, exact = exact), holdout,
                             nrow(z), ncol(z))
  .Call(orvel:::C_orvel_fit_grid, m, z, list(threads = as.integer(threads), se = 0L), work)
}
