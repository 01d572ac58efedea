# Weighted least squares at one node from its definition, for the tests of
# observation weights, robust and adaptive fits.

# Node (iy, ix)'s coefficients and their covariance over sigma^2 with the
# observation weights w: lm.wfit() with weights K w over the window's
# cells of positive weight and finite value, and the sandwich
# (X'WX)^-1 X' K^2 w X (X'WX)^-1. NULL where the design is rank deficient.
wls_weighted <- function(z, w, K, iy, ix, degree, holdout = FALSE, spacing = c(1, 1)) {
  h <- (dim(K) - 1) / 2
  g <- expand.grid(jy = max(1, iy - h[1]):min(nrow(z), iy + h[1]),
                   jx = max(1, ix - h[2]):min(ncol(z), ix + h[2]))
  k <- K[cbind(g$jy - iy + h[1] + 1, g$jx - ix + h[2] + 1)]
  wo <- w[cbind(g$jy, g$jx)]
  zz <- z[cbind(g$jy, g$jx)]
  keep <- k * wo != 0 & is.finite(zz)
  if (holdout) keep <- keep & !(g$jy == iy & g$jx == ix)
  y <- (g$jy[keep] - iy) * spacing[1]
  x <- (g$jx[keep] - ix) * spacing[2]
  if (length(y) < 3 * degree) return(NULL)
  X <- unname(cbind(1, y, x, y^2, x * y, x^2)[, seq_len(3 * degree), drop = FALSE])
  fit <- stats::lm.wfit(X, zz[keep], k[keep] * wo[keep])
  if (fit$rank < ncol(X)) return(NULL)
  A <- solve(crossprod(X, k[keep] * wo[keep] * X))
  list(coef = unname(fit$coefficients),
       V = unname(A) %*% crossprod(X, k[keep]^2 * wo[keep] * X) %*% A)
}
