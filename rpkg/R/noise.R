# Noise that is correlated between neighbouring nodes.
#
# Every coefficient of a fit is a weighted sum a'z of the observations in
# its window, so under noise of covariance C its variance is a'Ca. The
# noise is modelled as stationary and isotropic in node steps, c(d) =
# variance * rho(d / range), and estimated from the fit's residuals: those
# are (I - L) applied to the noise (plus the fit's bias), so their
# autocovariance at small lags is matched by that of (I - L) C (I - L)'
# rather than by C itself (a pilot's residuals have lost exactly the low
# frequencies the slopes feel). Weights come from each window's design, once
# per shape of the clipped window where nothing is missing, per node
# elsewhere.

# The correlation families: rho(d) for distances d in units of the range.
.orvel_noise_rho <- list(
  gaussian = function(d) exp(-d^2),
  exponential = function(d) exp(-d),
  matern = function(d) (1 + sqrt(3) * d) * exp(-sqrt(3) * d)
)

# A noise model: family, range (node steps) and variance.
.orvel_noise_model <- function(family, range, variance) {
  structure(list(family = family, range = range, variance = variance), class = "orvel_noise")
}

# The covariance of the noise between cells dy rows and dx columns apart.
.orvel_noise_cov <- function(noise, dy, dx) {
  noise$variance * .orvel_noise_rho[[noise$family]](sqrt(dy^2 + dx^2) / noise$range)
}

# The weights of every coefficient of one node's fit: a p x m matrix A
# (coef() = A z over the m cells used, in the units of `spacing`) and the
# cells' offsets dy, dx; NULL where the window does not determine the
# polynomial or, without na.rm, holds a missing value with weight. The
# window spans the offsets ry[1]..ry[2] and rx[1]..rx[2].
.orvel_window_weights <- function(K, data, spacing, degree, holdout, narm, iy, ix, ry, rx) {
  p <- if (identical(degree, 2L)) 6L else 3L
  h <- (dim(K) - 1L) %/% 2L
  oy <- ry[1L]:ry[2L]
  ox <- rx[1L]:rx[2L]
  w <- as.vector(K[oy + h[1L] + 1L, ox + h[2L] + 1L, drop = FALSE])
  obs <- is.finite(as.vector(data[iy + oy, ix + ox, drop = FALSE]))
  dy <- rep(oy, length(ox))
  dx <- rep(ox, each = length(oy))
  use <- w != 0
  if (holdout) use[dy == 0 & dx == 0] <- FALSE
  if (!narm && any(use & !obs)) return(NULL)
  use <- use & obs
  if (sum(use) < p) return(NULL)
  w <- w[use]; dy <- dy[use]; dx <- dx[use]
  # In node steps, then each coefficient to the units of the spacing.
  X <- cbind(1, dy, dx, dy^2, dx * dy, dx^2)[, seq_len(p), drop = FALSE]
  A <- tryCatch(solve(crossprod(X, w * X), t(w * X)), error = function(e) NULL)
  if (is.null(A)) return(NULL)
  s <- spacing
  A <- A / c(1, s[1L], s[2L], s[1L]^2, s[1L] * s[2L], s[2L]^2)[seq_len(p)]
  list(A = A, dy = dy, dx = dx)
}

# f(weights) (a vector of length q, see .orvel_window_weights()) at the
# nodes (iy[k], ix[k]) of `object` (a fit, or a list of its kernel, data,
# spacing, degree, holdout and na.rm): a q x m matrix, NA where the fit has
# no polynomial (or `ok`, when given, is FALSE). Computed once per shape of the clipped window for
# nodes whose windows hold no missing value.
.orvel_each_window <- function(object, iy, ix, q, f, ok = NULL) {
  K <- unname(object$kernel)
  z <- object$data
  m <- length(iy)
  out <- matrix(NA_real_, q, m)
  if (m == 0L) return(out)
  h <- (dim(K) - 1L) %/% 2L
  d <- dim(z)
  ok <- if (is.null(ok)) .orvel_has_fit(object)[cbind(iy, ix)] else ok
  lo_y <- pmax(1L - iy, -h[1L]); hi_y <- pmin(d[1L] - iy, h[1L])
  lo_x <- pmax(1L - ix, -h[2L]); hi_x <- pmin(d[2L] - ix, h[2L])
  alone <- !(.orvel_near(!is.finite(z), h)[cbind(iy, ix)])
  one <- function(k) {
    W <- .orvel_window_weights(K, z, object$spacing, object$degree, object$holdout, object$na.rm,
                               iy[k], ix[k], c(lo_y[k], hi_y[k]), c(lo_x[k], hi_x[k]))
    if (is.null(W)) rep(NA_real_, q) else f(W)
  }
  todo <- which(ok)
  for (k in todo[!alone[todo]]) out[, k] <- one(k)
  shape <- paste(lo_y, hi_y, lo_x, hi_x)
  for (g in split(todo[alone[todo]], shape[todo[alone[todo]]])) out[, g] <- one(g[1L])
  out
}

# The covariance of each node's coefficients under `noise`: a p x p x m
# array, A C A' with C the noise's covariance over the window's cells.
.orvel_node_cov_noise <- function(object, noise, iy, ix) {
  p <- if (identical(object$degree, 2L)) 6L else 3L
  nm <- .orvel_coef_names[seq_len(p)]
  v <- .orvel_each_window(object, iy, ix, p * p, function(W) {
    C <- .orvel_noise_cov(noise, outer(W$dy, W$dy, "-"), outer(W$dx, W$dx, "-"))
    V <- W$A %*% C %*% t(W$A)
    (V + t(V)) / 2
  })
  array(v, c(p, p, length(iy)), dimnames = list(nm, nm, NULL))
}

# The standard errors of every coefficient at every node under `noise`,
# shaped like coef(object).
.orvel_se_noise <- function(object, noise) {
  d <- dim(object$F)
  p <- if (identical(object$degree, 2L)) 6L else 3L
  iy <- rep(seq_len(d[1L]), d[2L])
  ix <- rep(seq_len(d[2L]), each = d[1L])
  v <- .orvel_each_window(object, iy, ix, p, function(W) {
    C <- .orvel_noise_cov(noise, outer(W$dy, W$dy, "-"), outer(W$dx, W$dx, "-"))
    rowSums((W$A %*% C) * W$A)
  })
  se <- array(sqrt(pmax(t(v), 0)), c(d, p))
  dimnames(se) <- .orvel_coef_dimnames(object$F, object$degree)
  se
}

# The residuals' autocovariance at lags (dy, dx) of `lags` (a two-column
# matrix), over the pairs of nodes both flagged in `ok`; and the number of
# pairs of each.
.orvel_acov <- function(r, ok, lags) {
  d <- dim(r)
  r[!ok] <- 0
  out <- numeric(nrow(lags))
  cnt <- numeric(nrow(lags))
  for (k in seq_len(nrow(lags))) {
    dy <- lags[k, 1L]; dx <- lags[k, 2L]
    ay <- max(1L, 1L - dy):min(d[1L], d[1L] - dy)
    ax <- max(1L, 1L - dx):min(d[2L], d[2L] - dx)
    if (!length(ay) || !length(ax) || ay[1L] > ay[length(ay)] || ax[1L] > ax[length(ax)]) next
    a <- r[ay, ax, drop = FALSE] * r[ay + dy, ax + dx, drop = FALSE]
    n <- sum(ok[ay, ax, drop = FALSE] & ok[ay + dy, ax + dx, drop = FALSE])
    cnt[k] <- n
    out[k] <- if (n > 0) sum(a) / n else NA_real_
  }
  list(acov = out, pairs = cnt)
}

# The residuals of `object` and what they tell about the noise at the
# interior nodes: `r` the residuals, `ok` the nodes whose whole window lies
# inside the grid without a missing value (their residual filter, b = the
# unit impulse less the smooth's weights, is the same), `B` the
# autocorrelation of b (an array over lags u of (4hy + 1) x (4hx + 1)), `h`
# the window's half-sizes.
.orvel_residual_filter <- function(object) {
  K <- unname(object$kernel)
  h <- (dim(K) - 1L) %/% 2L
  z <- object$data
  d <- dim(z)
  if (any(d < 2L * h + 1L + 4L))
    .orvel_stop("the grid (%d x %d) is too small for the noise's correlation to be estimated with a %d x %d window: it needs nodes whose window lies inside the grid",
                d[1L], d[2L], dim(K)[1L], dim(K)[2L])
  r <- z - .orvel_poly_F(object)
  ok <- is.finite(r) & !.orvel_near(!is.finite(z), h)
  inner <- matrix(FALSE, d[1L], d[2L])
  inner[(h[1L] + 1L):(d[1L] - h[1L]), (h[2L] + 1L):(d[2L] - h[2L])] <- TRUE
  ok <- ok & inner
  if (sum(ok) < 50L)
    .orvel_stop("too few nodes (%d) with a whole window and no missing value to estimate the noise's correlation from",
                sum(ok))
  W <- .orvel_window_weights(K, matrix(0, 2L * h[1L] + 1L, 2L * h[2L] + 1L), c(1, 1), object$degree,
                             object$holdout, TRUE, h[1L] + 1L, h[2L] + 1L, c(-h[1L], h[1L]), c(-h[2L], h[2L]))
  b <- matrix(0, 2L * h[1L] + 1L, 2L * h[2L] + 1L)
  b[cbind(W$dy + h[1L] + 1L, W$dx + h[2L] + 1L)] <- -W$A[1L, ]
  b[h[1L] + 1L, h[2L] + 1L] <- b[h[1L] + 1L, h[2L] + 1L] + 1
  # Its autocorrelation B(u) = sum_k b(k) b(k + u), by a transform of the
  # filter padded against wrapping.
  n <- 4L * h + 2L
  pad <- matrix(0, n[1L], n[2L])
  pad[seq_len(nrow(b)), seq_len(ncol(b))] <- b
  f <- stats::fft(pad)
  B <- Re(stats::fft(Mod(f)^2, inverse = TRUE)) / prod(n)
  uy <- c(0:(2L * h[1L]), -(2L * h[1L]):-1L)
  ux <- c(0:(2L * h[2L]), -(2L * h[2L]):-1L)
  keep_y <- c(seq_len(2L * h[1L] + 1L), (n[1L] - 2L * h[1L] + 1L):n[1L])
  keep_x <- c(seq_len(2L * h[2L] + 1L), (n[2L] - 2L * h[2L] + 1L):n[2L])
  list(r = r, ok = ok, B = B[keep_y, keep_x], uy = uy, ux = ux, h = h)
}

# The lags (dy, dx) the noise is fitted at: each pair of nodes once.
.orvel_noise_lags <- function(lag.max) {
  g <- expand.grid(dy = 0:lag.max, dx = -lag.max:lag.max)
  as.matrix(g[g$dy > 0 | g$dx >= 0, ])
}

# The residuals' autocovariance at lags `lags` that noise of correlation
# rho (a function of the distance in node steps) and unit variance leaves
# after the residual filter `rf` (see .orvel_residual_filter()).
.orvel_filtered_acov <- function(rf, lags, rho) {
  D <- .orvel_lag_distances(rf, lags)
  drop(matrix(rho(D$d), nrow(D$d)) %*% D$B)
}

# The distances |h + u| of every lag h of `lags` (rows) to every lag u of
# the residual filter's autocorrelation that is not zero (columns), and
# those autocorrelations B(u).
.orvel_lag_distances <- function(rf, lags) {
  uy <- rep(rf$uy, length(rf$ux))
  ux <- rep(rf$ux, each = length(rf$uy))
  B <- as.vector(rf$B)
  keep <- abs(B) > 1e-14 * max(abs(B))
  uy <- uy[keep]; ux <- ux[keep]
  list(d = sqrt(outer(lags[, 1L], uy, "+")^2 + outer(lags[, 2L], ux, "+")^2), B = B[keep])
}

#' The noise's correlation, estimated from a fit's residuals
#'
#' Models the noise as stationary and isotropic, with covariance
#' \eqn{c(d) = \sigma^2 \rho(d / r)}{c(d) = sigma^2 rho(d / r)} between
#' observations \eqn{d} node steps apart, and fits it to the residuals of
#' `fit`. The residuals are the noise passed through \eqn{I - L}{I - L}
#' (\eqn{L} the smoother), which removes most of its low frequencies:
#' their own autocovariance underestimates the noise's correlation badly.
#' So for each family the variance \eqn{\sigma^2}{sigma^2} and range
#' \eqn{r} are chosen so that the autocovariance of \eqn{(I - L) C (I -
#' L)'}{(I - L) C (I - L)'}, the residuals' covariance that the model
#' implies at nodes whose window lies inside the grid, matches the
#' residuals' sample autocovariance at every lag up to `lag.max` rows and
#' columns (least squares; \eqn{\sigma^2}{sigma^2} in closed form, \eqn{r}
#' by a search over 0.1 to 20 node steps), and the family with the best
#' match is kept. This is the bias-corrected residual approach of
#' Francisco-Fernández and Opsomer (2005) for local polynomial regression
#' with correlated errors, with parametric covariances as in Opsomer, Wang
#' and Yang (2001): the families are the Gaussian \eqn{\rho(d) =
#' e^{-d^2}}{rho(d) = exp(-d^2)}, the exponential \eqn{e^{-d}}{exp(-d)} and
#' the Matérn of smoothness 3/2, \eqn{(1 + \sqrt3 d) e^{-\sqrt3 d}}{(1 +
#' sqrt(3) d) exp(-sqrt(3) d)} (Stein 1999). A range below about 0.3 node
#' steps is independent noise.
#'
#' The fit's bias also enters its residuals, as a smooth part that looks
#' like correlation at long range: a kernel that leaves little bias (a
#' narrow one, or a quadratic) gives the better estimate, and with
#' `offset = TRUE` a constant autocovariance beside the model's takes up
#' what is left of it at these short lags. The estimate's returned
#' `families` table has each family's `offset`.
#'
#' @references
#' Francisco-Fernández, M. and Opsomer, J. D. (2005). Smoothing parameter
#' selection methods for nonparametric regression with spatially correlated
#' errors. *Canadian Journal of Statistics* 33, 279–295.
#'
#' Opsomer, J., Wang, Y. and Yang, Y. (2001). Nonparametric regression with
#' correlated errors. *Statistical Science* 16, 134–153.
#'
#' Stein, M. L. (1999). *Interpolation of Spatial Data: Some Theory for
#' Kriging*. Springer.
#'
#' @param fit an [orvel_fit()] or [orvel_holdout()] result on a matrix.
#' @param lag.max the largest lag, in node steps along the rows and the
#'   columns, matched.
#' @param family one or more of `"gaussian"`, `"exponential"` and
#'   `"matern"`: the families tried.
#' @param offset whether the match also has a constant autocovariance
#'   (at least zero) beside the noise's, which takes up the smooth part the
#'   fit's bias leaves in the residuals; without it that part inflates the
#'   noise's variance and range.
#' @return An object of class `"orvel_noise"`: the chosen `family`, `range`
#'   (node steps) and `variance`; `families`, a table of every family's
#'   best range, variance and residual sum of squares of the match;
#'   `lags`, a table of the lags with the residuals' sample autocovariance,
#'   the model's and the number of pairs; and `nodes`, the nodes used.
#' @seealso [orvel_acf()] to see the residuals' correlation;
#'   `orvel_fit(..., noise = "stationary")` and `orvel_select(..., noise =
#'   "stationary")`, which use this estimate.
#' @export
#' @examples
#' set.seed(1)
#' e <- matrix(rnorm(97 * 71), 97)
#' g <- dnorm(-4:4); g <- g / sqrt(sum(g^2))
#' e <- stats::filter(t(stats::filter(e, g)), g)      # correlated over a cell, sd 1
#' z <- volcano + 2 * t(e)[6:92, 6:66]                 # range 2, variance 4
#' fit <- orvel_fit(z, orvel_kernel("gaussian", 2), degree = 2)
#' orvel_noise(fit)
orvel_noise <- function(fit, lag.max = 3, family = c("gaussian", "exponential", "matern"),
                        offset = TRUE) {
  if (!inherits(fit, "orvel_fit") || inherits(fit, "SpatRaster"))
    .orvel_stop("`fit` must be an orvel_fit() or orvel_holdout() result on a matrix, not %s", .orvel_what(fit))
  if (!is.numeric(lag.max) || length(lag.max) != 1L || !is.finite(lag.max) || lag.max < 1 ||
      lag.max != round(lag.max) || lag.max > 10)
    .orvel_stop("`lag.max` must be a whole number from 1 to 10, not %s", .orvel_given(lag.max))
  family <- unique(.orvel_choose(family, names(.orvel_noise_rho), "family", several = TRUE))
  rf <- .orvel_residual_filter(fit)
  lags <- .orvel_noise_lags(as.integer(lag.max))
  emp <- .orvel_acov(rf$r, rf$ok, lags)
  e <- emp$acov
  D <- .orvel_lag_distances(rf, lags)
  one <- function(fam, logr) {
    rho <- .orvel_noise_rho[[fam]]
    g <- drop(matrix(rho(D$d / exp(logr)), nrow(D$d)) %*% D$B)
    fit1 <- function(g) {
      v <- sum(g * e) / sum(g * g)
      if (!is.finite(v) || v <= 0) return(list(sse = sum(e^2), variance = 0, offset = 0, g = g * 0))
      list(sse = sum((e - v * g)^2), variance = v, offset = 0, g = v * g)
    }
    if (!offset) return(fit1(g))
    # With the offset: least squares on (g, 1), both coefficients at least 0.
    X <- cbind(g, 1)
    b <- tryCatch(solve(crossprod(X), crossprod(X, e)), error = function(err) c(-1, -1))
    if (all(b > 0)) return(list(sse = sum((e - X %*% b)^2), variance = b[1L], offset = b[2L],
                                g = drop(X %*% b)))
    r1 <- fit1(g)
    o <- max(0, mean(e))
    if (sum((e - o)^2) < r1$sse) return(list(sse = sum((e - o)^2), variance = 0, offset = o, g = g * 0 + o))
    r1
  }
  lo <- log(0.1); hi <- log(20)
  tab <- do.call(rbind, lapply(family, function(fam) {
    grid <- seq(lo, hi, length.out = 25L)
    s <- vapply(grid, function(l) one(fam, l)$sse, 0)
    k <- which.min(s)
    o <- stats::optimize(function(l) one(fam, l)$sse, c(grid[max(1L, k - 1L)], grid[min(25L, k + 1L)]))
    l <- if (o$objective < s[k]) o$minimum else grid[k]
    b <- one(fam, l)
    data.frame(family = fam, range = exp(l), variance = b$variance, offset = b$offset, sse = b$sse,
               stringsAsFactors = FALSE)
  }))
  best <- which.min(tab$sse)
  model <- .orvel_noise_model(tab$family[best], tab$range[best], tab$variance[best])
  fitted <- one(model$family, log(model$range))$g
  model$families <- tab
  model$lags <- data.frame(dy = lags[, 1L], dx = lags[, 2L], residuals = e, model = fitted,
                           pairs = emp$pairs)
  model$nodes <- sum(rf$ok)
  model
}

#' @export
print.orvel_noise <- function(x, ...) {
  cat(sprintf("stationary noise: %s correlation, range %.3g node steps, variance %.4g (sd %.4g)\n",
              x$family, x$range, x$variance, sqrt(x$variance)))
  d <- 1:3
  cat("correlation at 1, 2, 3 node steps:",
      format(.orvel_noise_rho[[x$family]](d / x$range), digits = 3), "\n")
  if (!is.null(x$families)) {
    cat(sprintf("fitted to the residuals' autocovariance over %d nodes; the families:\n", x$nodes))
    print(x$families, row.names = FALSE, digits = 4)
  }
  invisible(x)
}

#' Autocorrelation of a fit's residuals
#'
#' The residuals' sample autocorrelation by lag along the rows and along
#' the columns, at the nodes whose window lies inside the grid with no
#' missing value, beside what the same fit would leave under independent
#' noise (the residuals of a smoother are correlated even then: they are
#' \eqn{(I - L)}{(I - L)} times the noise) and what the fitted model of
#' stationary noise ([orvel_noise()]) leaves. Residuals that follow the
#' independent curve within its band (about \eqn{\pm 1.96 /
#' \sqrt{n}}{+-1.96 / sqrt(n)}, pointwise) support the standard errors and
#' the cross-validation of [orvel_fit()] and [orvel_select()] as they are;
#' residuals correlated beyond it call for `noise = "stationary"` in both.
#' A wide kernel's bias also correlates the residuals; the print-out's
#' verdict is the fitted noise model's correlation at one node step (0.1
#' or more: correlated), which accounts for the smoother but not for the
#' bias.
#'
#' @inheritParams orvel_noise
#' @param x an `"orvel_acf"` object.
#' @param main the plot's title.
#' @param ... passed to [graphics::plot()]; for `print()` not used.
#' @return An object of class `"orvel_acf"`: `rows` and `columns`, data
#'   frames of `lag` (0 to `lag.max`), `acf` (the residuals'), `iid` (under
#'   independent noise) and `model` (under the fitted noise); `band`, the
#'   half-width of the band under independence; `n`, the nodes; and
#'   `noise`, the [orvel_noise()] estimate. `plot()` draws both directions
#'   with the band.
#' @export
#' @examples
#' set.seed(1)
#' fit <- orvel_fit(volcano + rnorm(length(volcano), sd = 5), orvel_kernel("gaussian", 1.5),
#'                  degree = 2)
#' a <- orvel_acf(fit)       # independent noise: near the dotted curves
#' a
#' plot(a)
orvel_acf <- function(fit, lag.max = 5) {
  noise <- orvel_noise(fit, lag.max = min(lag.max, 3))
  rf <- .orvel_residual_filter(fit)
  lag <- 0:as.integer(lag.max)
  side <- function(along) {
    lags <- if (along == 1L) cbind(lag, 0L) else cbind(0L, lag)
    e <- .orvel_acov(rf$r, rf$ok, lags)$acov
    iid <- .orvel_filtered_acov(rf, lags, function(d) as.numeric(d == 0))
    mod <- .orvel_filtered_acov(rf, lags, function(d) .orvel_noise_rho[[noise$family]](d / noise$range))
    data.frame(lag = lag, acf = e / e[1L], iid = iid / iid[1L], model = mod / mod[1L])
  }
  n <- sum(rf$ok)
  structure(list(rows = side(1L), columns = side(2L), band = 1.96 / sqrt(n), n = n, noise = noise),
            class = "orvel_acf")
}

#' @rdname orvel_acf
#' @export
print.orvel_acf <- function(x, ...) {
  cat(sprintf("residual autocorrelation over %d nodes (band under independent noise +-%.3g)\n",
              x$n, x$band))
  tab <- data.frame(lag = x$rows$lag, rows = x$rows$acf, columns = x$columns$acf,
                    iid.rows = x$rows$iid, iid.columns = x$columns$iid)
  print(tab, row.names = FALSE, digits = 3)
  dev <- abs(c(x$rows$acf - x$rows$iid, x$columns$acf - x$columns$iid)[-c(1L, length(x$rows$lag) + 1L)])
  # The band is pointwise, and the fit's bias adds its own smooth part to
  # the residuals: the verdict is the fitted model's correlation at one step.
  r1 <- .orvel_noise_rho[[x$noise$family]](1 / x$noise$range)
  cat(sprintf("%d of %d lags beyond the band; the noise model's correlation at one node step %.3g: ",
              sum(dev > x$band), length(dev), r1))
  cat(if (r1 >= 0.1) "correlated noise, consider noise = \"stationary\"\n"
      else "consistent with independent noise\n")
  print(x$noise)
  invisible(x)
}

#' @rdname orvel_acf
#' @export
plot.orvel_acf <- function(x, main = "residual autocorrelation", ...) {
  lim <- range(0, 1, x$rows$acf, x$columns$acf, x$rows$iid - x$band, x$columns$iid - x$band)
  graphics::plot(x$rows$lag, x$rows$acf, type = "n", ylim = lim, xlab = "lag (node steps)",
                 ylab = "autocorrelation", main = main, ...)
  for (s in list(list(x$rows, 1, "rows"), list(x$columns, 2, "columns"))) {
    d <- s[[1L]]
    graphics::polygon(c(d$lag, rev(d$lag)), c(d$iid - x$band, rev(d$iid + x$band)),
                      col = grDevices::adjustcolor(c("steelblue", "darkorange")[s[[2L]]], 0.2), border = NA)
    graphics::lines(d$lag, d$iid, lty = 3, col = c("steelblue", "darkorange")[s[[2L]]])
    graphics::lines(d$lag, d$acf, type = "b", pch = 20, col = c("steelblue", "darkorange")[s[[2L]]])
  }
  graphics::abline(h = 0, col = "grey")
  graphics::legend("topright", c("along the rows", "along the columns", "independent noise (band)"),
                   col = c("steelblue", "darkorange", "grey40"), lty = c(1, 1, 3), pch = c(20, 20, NA),
                   bty = "n")
  invisible(x)
}

# A fit under `noise`: "iid" leaves it as it is; "stationary" estimates
# the noise from the residuals of the pilot fit of the same data (see
# .orvel_select_noise(): the estimate orvel_select() uses), or takes the
# estimate given, keeps it as `noise` and gives the standard errors under it.
.orvel_with_noise <- function(fit, noise) {
  if (!inherits(noise, "orvel_noise")) {
    noise <- .orvel_choose(noise, c("iid", "stationary"), "noise")
    if (noise == "iid") return(fit)
    noise <- .orvel_select_noise(fit$data, fit$na.rm)
  }
  if (!is.null(fit$weights))
    .orvel_stop("`noise = \"stationary\"` is for fits without `weights` or `robust`: the covariance of weighted fits under correlated noise is not computed")
  fit$noise <- noise[c("family", "range", "variance")]
  class(fit$noise) <- "orvel_noise"
  if (!is.null(fit$se)) fit$se <- .orvel_se_noise(fit, fit$noise)
  fit
}
