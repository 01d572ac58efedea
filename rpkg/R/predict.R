# Predictions, covariances and a long table of a local polynomial fit. The
# covariance of a node's coefficients is that of weighted least squares
# with independent errors of equal variance sigma^2:
#   sigma^2 (X'WX)^-1 X'W^2 X (X'WX)^-1,
# X the design of the node's window (the columns 1, y, x and for degree 2
# y^2, x*y, x^2, in the units of the spacing), W its weights. The factors
# without sigma^2 come from the window alone, here in R; sigma-hat is the
# fit's sigma() method.

# The coefficients' names as coef() gives them, and as syntactic names for
# the columns of as.data.frame().
.orvel_coef_names <- c("(Intercept)", "y", "x", "y^2", "x*y", "x^2")
.orvel_coef_columns <- c("b0", "y", "x", "y2", "xy", "x2")

# Whether the fit has a polynomial at each node: the smooth and both slopes
# finite (with na.policy = "only" the smooth holds the observations, so the
# slopes, fitted everywhere, say it).
.orvel_has_fit <- function(object) is.finite(object$F) & is.finite(object$gFx) & is.finite(object$gFy)

# The covariance factors of the coefficients at nodes (iy[k], ix[k]) (whole
# node indices): a p x p x m array of (X'WX)^-1 X'W^2 X (X'WX)^-1 over the
# window's observed cells of non-zero weight (the node's own left out for a
# leave-one-out fit), in the units of coef(object); all NA where the fit has
# no polynomial. Nodes far from missing values share their factors with
# every node whose window is clipped the same way, so those are computed
# once a shape.
.orvel_node_cov <- function(object, iy, ix) {
  K <- unname(object$kernel)
  z <- object$data
  p <- if (identical(object$degree, 2L)) 6L else 3L
  nm <- .orvel_coef_names[seq_len(p)]
  m <- length(iy)
  out <- array(NA_real_, c(p, p, m), dimnames = list(nm, nm, NULL))
  if (m == 0L) return(out)
  h <- (dim(K) - 1L) %/% 2L
  d <- dim(z)
  ok <- .orvel_has_fit(object)[cbind(iy, ix)]
  # The window's extent as offsets from the node, clipped at the edges.
  lo_y <- pmax(1L - iy, -h[1L]); hi_y <- pmin(d[1L] - iy, h[1L])
  lo_x <- pmax(1L - ix, -h[2L]); hi_x <- pmin(d[2L] - ix, h[2L])
  miss <- !is.finite(z)
  alone <- !(.orvel_near(miss, h)[cbind(iy, ix)])   # no missing value in the window
  if (!is.null(object$weights)) alone[] <- FALSE     # weights differ from window to window
  shape <- ifelse(alone, paste(lo_y, hi_y, lo_x, hi_x), NA_character_)
  todo <- which(ok)
  for (k in todo[!alone[todo]])
    out[, , k] <- .orvel_window_cov(object, K, iy[k], ix[k], c(lo_y[k], hi_y[k]), c(lo_x[k], hi_x[k]), p)
  for (g in split(todo[alone[todo]], shape[todo[alone[todo]]])) {
    k <- g[1L]
    out[, , g] <- .orvel_window_cov(object, K, iy[k], ix[k], c(lo_y[k], hi_y[k]), c(lo_x[k], hi_x[k]), p)
  }
  out
}

# The factors at one node whose window spans the offsets ry[1]..ry[2] and
# rx[1]..rx[2]. With a = sqrt(|w|) and s = sign(w), a X = QR gives X'WX =
# R' M R with M = Q' diag(s) Q (the identity when no weight is negative)
# and X'W^2X = R' Q' diag(a^2) Q R, so the factors are
# R^-1 M^-1 Q' diag(a^2) Q M^-1 R^-T, without forming X'WX. The guards
# only keep an exactly singular window from stopping the computation:
# whether a node has a fit is the fit's to say.
.orvel_window_cov <- function(object, K, iy, ix, ry, rx, p) {
  na <- matrix(NA_real_, p, p)
  h <- (dim(K) - 1L) %/% 2L
  oy <- ry[1L]:ry[2L]
  ox <- rx[1L]:rx[2L]
  w <- as.vector(K[oy + h[1L] + 1L, ox + h[2L] + 1L, drop = FALSE])
  obs <- is.finite(as.vector(object$data[iy + oy, ix + ox, drop = FALSE]))
  y <- rep(oy * object$spacing[1L], length(ox))
  x <- rep(ox * object$spacing[2L], each = length(oy))
  # Observation weights w_o: the fit's weights are K w_o, the errors' variances
  # sigma^2 / w_o, so the middle matrix is X' K^2 w_o X = (aX)' |K| (aX).
  wo <- if (!is.null(object$weights)) as.vector(object$weights[iy + oy, ix + ox, drop = FALSE])
  use <- w != 0
  if (!is.null(wo)) use <- use & wo > 0
  if (object$holdout) use[y == 0 & x == 0] <- FALSE
  if (!object$na.rm && any(use & !obs)) return(na)
  use <- use & obs
  kk <- abs(w[use])
  w <- w[use]; y <- y[use]; x <- x[use]
  if (!is.null(wo)) w <- w * wo[use]
  if (length(w) < p) return(na)
  X <- cbind(1, y, x, y^2, x * y, x^2)[, seq_len(p), drop = FALSE]
  a <- sqrt(abs(w))
  q <- qr(a * X, tol = 1e-12)
  if (q$rank < p) return(na)
  Q <- qr.Q(q)
  Ri <- backsolve(qr.R(q), diag(p))
  mid <- if (is.null(wo)) crossprod(a * Q) else crossprod(sqrt(kk) * Q)
  if (any(w < 0)) {
    Mq <- qr(crossprod(Q, sign(w) * Q), tol = 1e-12)
    if (Mq$rank < p) return(na)
    Mi <- qr.solve(Mq, diag(p))
    mid <- Mi %*% mid %*% Mi
  }
  # Full rank, so qr() has moved no column: no pivots to undo.
  C <- Ri %*% mid %*% t(Ri)
  (C + t(C)) / 2
}

# Whole node indices along one side of the grid (`n` nodes), for vcov().
.orvel_check_nodes <- function(v, n, arg, side) {
  if (!is.numeric(v) || is.object(v) || length(v) == 0L)
    .orvel_stop("`%s` must be whole numbers from 1 to %d (the grid's %s), not %s",
                arg, n, side, .orvel_what(v))
  bad <- !is.finite(v) | v != round(v) | v < 1 | v > n
  if (any(bad))
    .orvel_stop("`%s` must be whole numbers from 1 to %d (the grid's %s), not %s",
                arg, n, side, toString(utils::head(unique(v[bad]), 5L)))
  as.integer(v)
}

#' Covariance of a node's coefficients
#'
#' The covariance matrix of the coefficients of the polynomial fitted at a
#' node, in the units of [coef()]: \eqn{\hat\sigma^2 (X'WX)^{-1} X'W^2X
#' (X'WX)^{-1}}{sigma^2 (X'WX)^-1 X'W^2 X (X'WX)^-1}, the covariance of
#' weighted least squares when the observations have independent errors of
#' equal variance, with \eqn{X}{X} the design of the node's window (the
#' columns 1, y, x and for degree 2 y^2, x*y, x^2), \eqn{W}{W} its weights,
#' over the observed cells of non-zero weight (without the node itself for
#' an [orvel_holdout()] fit), and \eqn{\hat\sigma}{sigma} from
#' `sigma(object)`. Windows overlap, so the coefficients of neighbouring
#' nodes are correlated; this is the covariance at one node.
#'
#' @param object an [orvel_fit()] or [orvel_holdout()] result.
#' @param row,col the node: its row and column, whole numbers. Several nodes
#'   as vectors of equal length (or one of them a single number).
#' @param ... not used; an error if given.
#' @return For one node a matrix of the coefficients by the coefficients,
#'   named as by [coef.orvel_fit()]; for several, an array of those
#'   matrices stacked along a third dimension. All `NA` at a node where the
#'   fit has no polynomial.
#' @seealso [predict.orvel_fit()] for standard errors of the fitted surface.
#' @export
#' @examples
#' fit <- orvel_fit(volcano, orvel_kernel("gaussian", 2), spacing = 10)
#' V <- vcov(fit, 40, 30)
#' sqrt(diag(V))                  # standard errors of b0 and the slopes
#' dim(vcov(fit, row = c(1, 40), col = c(1, 30)))
vcov.orvel_fit <- function(object, row, col, ...) {
  .orvel_dots(...)
  if (missing(row) || missing(col))
    .orvel_stop("`row` and `col` must both be given: the node whose coefficients are wanted")
  d <- dim(object$F)
  row <- .orvel_check_nodes(row, d[1L], "row", "rows")
  col <- .orvel_check_nodes(col, d[2L], "col", "columns")
  if (length(row) != length(col) && length(row) != 1L && length(col) != 1L)
    .orvel_stop("`row` and `col` must have the same length (or one be a single number), not %d and %d",
                length(row), length(col))
  n <- max(length(row), length(col))
  V <- if (!is.null(object$noise))
    .orvel_node_cov_noise(object, object$noise, rep(row, length.out = n), rep(col, length.out = n))
  else stats::sigma(object)^2 * .orvel_node_cov(object, rep(row, length.out = n), rep(col, length.out = n))
  if (n == 1L) V[, , 1L] else V
}

# The positions of `newdata` as a two-column matrix (row, col).
.orvel_positions <- function(newdata, d) {
  if (!(is.data.frame(newdata) || is.matrix(newdata)))
    .orvel_stop("`newdata` must be a data frame or matrix with columns `row` and `col`, not %s",
                .orvel_what(newdata))
  cn <- colnames(newdata)
  if (!all(c("row", "col") %in% cn))
    .orvel_stop("`newdata` must have columns `row` and `col` (positions in node units), not %s",
                if (length(cn)) paste0("`", cn, "`", collapse = ", ") else "no named columns")
  pos <- matrix(NA_real_, nrow(newdata), 2L, dimnames = list(NULL, c("row", "col")))
  for (j in 1:2) {
    what <- c("row", "col")[j]
    v <- if (is.data.frame(newdata)) newdata[[what]] else newdata[, what]
    # A column of NA alone is logical: positions that are missing.
    if (is.logical(v) && !is.object(v) && all(is.na(v))) v <- as.double(v)
    if (!is.numeric(v) || is.object(v))
      .orvel_stop("`newdata`'s column `%s` must be numeric, not %s", what, .orvel_what(v))
    bad <- !is.na(v) & !(v >= 1 & v <= d[j])
    if (any(bad))
      .orvel_stop("`newdata`'s column `%s` must lie from 1 to %d (the grid's %s), not %s", what, d[j],
                  c("rows", "columns")[j], toString(utils::head(unique(v[bad]), 5L)))
    pos[, j] <- v
  }
  pos
}

#' Predictions from a local polynomial fit
#'
#' The fitted surface at the nodes, or anywhere on the grid: the value at a
#' position is that of the polynomial fitted at the nearest node, \eqn{b_0
#' + b_1 y + b_2 x (+ b_3 y^2 + b_4 x y + b_5 x^2)}{b0 + b1 y + b2 x (+ b3
#' y^2 + b4 x y + b5 x^2)} with \eqn{y = (row - i) s_1}{y = (row - i) * s1}
#' and \eqn{x = (col - j) s_2}{x = (col - j) * s2} for the node in row `i`
#' and column `j` and `spacing = c(s1, s2)` (see [coef.orvel_fit()]). The
#' nearest node is found by rounding each position half up: `row = 2.5` is
#' predicted from row 3, `row = 2.49` from row 2. At a node itself the
#' prediction is the smooth `F`. So the predicted surface is not
#' continuous: at every half step it jumps from one node's polynomial to
#' the next one's, which differ by noise as well as by the surface's
#' higher-order terms (at degree 2 typically by about 0.7 standard errors
#' of the prediction). Interpolate between the nodes' `F` where a
#' continuous surface matters.
#'
#' Standard errors are those of weighted least squares with independent
#' errors of equal variance: \eqn{\hat\sigma \sqrt{x' C x}}{sigma * sqrt(x'
#' C x)}, \eqn{x}{x} the polynomial's terms at the position, \eqn{C}{C} the
#' covariance of the nearest node's coefficients divided by
#' \eqn{\hat\sigma^2}{sigma^2} (see [vcov.orvel_fit()]) and
#' \eqn{\hat\sigma}{sigma} from `sigma(object)`. Intervals use Student's t
#' on `df.residual(object)` degrees of freedom. With `na.policy = "only"`
#' the smooth holds the observations where they exist, which is what
#' `predict()` without an interval returns there; the standard errors are
#' those of the fitted polynomial, and intervals (their `fit` column
#' included) are centred on the fitted polynomial, as `confint()`'s are.
#'
#' @param object an [orvel_fit()] or [orvel_holdout()] result.
#' @param newdata the positions: a data frame or matrix with the columns
#'   `row` and `col` in node units, from 1 to the number of rows and of
#'   columns, not necessarily whole; a position that is `NA` gets `NA`.
#'   Missing or `NULL` for every node of the grid.
#' @param se.fit whether to return standard errors.
#' @param interval `"none"`, `"confidence"` (for the fitted surface) or
#'   `"prediction"` (for a new observation at the position, whose error
#'   adds \eqn{\hat\sigma^2}{sigma^2} to the variance).
#' @param level the intervals' confidence level.
#' @param type `"pointwise"` or `"simultaneous"`: with `interval =
#'   "confidence"`, a band that covers the surface at every position asked
#'   (every node without `newdata`) at once with probability `level` (see
#'   Pointwise and simultaneous intervals in [orvel_inference]).
#' @param nsim the number of simulated fits behind a simultaneous band.
#' @param ... not used; an error if given.
#' @return Without `newdata`, a matrix shaped and named like the grid (with
#'   an interval, an array of the grid's rows by its columns by `fit`,
#'   `lwr` and `upr`); with `newdata`, a vector with a value per row of
#'   `newdata`, named by its row names (with an interval, a matrix of the
#'   columns `fit`, `lwr` and `upr`). `NA` where the nearest node has no
#'   polynomial. With `se.fit = TRUE` a list as from [stats::predict.lm()]:
#'   `fit`, as above; `se.fit`, the standard errors shaped like a single
#'   `fit`; `df`, the residual degrees of freedom; and `residual.scale`, \eqn{\hat\sigma}{sigma}.
#' @seealso [coef.orvel_fit()] for the polynomials, [vcov.orvel_fit()] for
#'   their covariance.
#' @export
#' @examples
#' fit <- orvel_fit(volcano, orvel_kernel("gaussian", 2), spacing = 10, degree = 2)
#' between <- data.frame(row = c(40, 40.25, 40.5), col = c(30, 30.5, 31))
#' predict(fit, between)
#' identical(predict(fit), fit$F)
predict.orvel_fit <- function(object, newdata, se.fit = FALSE,
                              interval = c("none", "confidence", "prediction"), level = 0.95,
                              type = c("pointwise", "simultaneous"), nsim = 1000, ...) {
  .orvel_dots(...)
  se.fit <- .orvel_check_flag(se.fit, "se.fit")
  interval <- match.arg(interval)
  band <- .orvel_choose(type, c("pointwise", "simultaneous"), "type")
  if (band == "simultaneous" && interval != "confidence")
    .orvel_stop("a simultaneous band is for `interval = \"confidence\"`, the fitted surface")
  if (interval != "none" &&
      (!is.numeric(level) || length(level) != 1L || !is.finite(level) || level <= 0 || level >= 1))
    .orvel_stop("`level` must be one number between 0 and 1 (exclusive), not %s", .orvel_given(level))
  d <- dim(object$F)
  grid <- missing(newdata) || is.null(newdata)
  if (grid) {
    if (!se.fit && interval == "none") return(object$F)
    pos <- cbind(row = rep(seq_len(d[1L]), d[2L]), col = rep(seq_len(d[2L]), each = d[1L]))
  } else {
    pos <- .orvel_positions(newdata, d)
  }
  n <- nrow(pos)
  node <- floor(pos + 0.5)
  at <- which(stats::complete.cases(node))
  at <- at[.orvel_has_fit(object)[node[at, , drop = FALSE]]]
  node <- node[at, , drop = FALSE]
  p <- if (identical(object$degree, 2L)) 6L else 3L
  y <- (pos[at, 1L] - node[, 1L]) * object$spacing[1L]
  x <- (pos[at, 2L] - node[, 2L]) * object$spacing[2L]
  terms <- cbind(rep(1, length(y)), y, x, y^2, x * y, x^2)[, seq_len(p), drop = FALSE]
  b <- matrix((if (interval != "none") .orvel_coef_poly(object) else coef(object))[cbind(node[rep(seq_along(at), p), , drop = FALSE], rep(seq_len(p), each = length(at)))],
              ncol = p)
  fit <- rep(NA_real_, n)
  fit[at] <- rowSums(terms * b)
  if (grid) fit <- as.vector(if (interval != "none") .orvel_poly_F(object) else object$F)
  if (se.fit || interval != "none") {
    s <- stats::sigma(object)
    # Under correlated noise: its covariance, and its standard deviation.
    sn <- if (!is.null(object$noise)) sqrt(object$noise$variance) else s
    if (grid) {
      # At the nodes: the smooth's standard errors, from the compiled fit.
      se <- as.vector(.orvel_se(object)[, , 1L])
    } else {
      key <- node[, 1L] + (node[, 2L] - 1) * d[1L]
      u <- unique(key)
      C <- if (!is.null(object$noise))
        .orvel_node_cov_noise(object, object$noise, (u - 1) %% d[1L] + 1, (u - 1) %/% d[1L] + 1) / s^2
      else .orvel_node_cov(object, (u - 1) %% d[1L] + 1, (u - 1) %/% d[1L] + 1)
      u <- match(key, u)
      se <- rep(NA_real_, n)
      for (k in seq_along(at)) se[at[k]] <- s * sqrt(sum(terms[k, ] * (C[, , u[k]] %*% terms[k, ])))
    }
    df <- stats::df.residual(object)
  }
  shape <- function(v) {
    if (grid) return(matrix(v, d[1L], d[2L], dimnames = dimnames(object$F)))
    if (is.data.frame(newdata) || !is.null(rownames(newdata))) names(v) <- rownames(newdata)
    v
  }
  if (interval != "none") {
    q <- stats::qt((1 + level) / 2, max(1, df))
    if (band == "simultaneous")
      q <- if (grid) .orvel_band_critical(object, 1L, level, nsim)
           else .orvel_band_critical(object, 1L, level, nsim, terms, node, se[at])
    half <- q * if (interval == "confidence") se else sqrt(se^2 + sn^2)
    f <- fit
    if (grid) {
      fit <- array(c(f, f - half, f + half), c(d, 3L),
                   dimnames = c(if (is.null(dimnames(object$F))) list(NULL, NULL) else dimnames(object$F),
                                list(c("fit", "lwr", "upr"))))
    } else {
      fit <- cbind(fit = f, lwr = f - half, upr = f + half)
      rownames(fit) <- names(shape(f))
    }
  } else {
    fit <- shape(fit)
  }
  if (!se.fit) return(fit)
  list(fit = fit, se.fit = shape(se), df = df, residual.scale = s)
}

#' A local polynomial fit as a data frame
#'
#' One row per node, in column-major order like `as.vector(z)`: the node's
#' `row` and `col`, the observation `z`, the coefficients of [coef()] under
#' syntactic names, `b0` for `"(Intercept)"`, `y`, `x` and for degree 2
#' `y2`, `xy` and `x2` for `"y^2"`, `"x*y"` and `"x^2"` (so the columns `y`
#' and `x` are slopes, not positions), and, when the fit has standard
#' errors, those of each coefficient as `se_b0`, `se_y`, and so on.
#'
#' @param x an [orvel_fit()] or [orvel_holdout()] result.
#' @param row.names `NULL`, or the row names of the result.
#' @param optional not used: the column names are always syntactic.
#' @param ... not used.
#' @return A data frame of one row per node.
#' @export
#' @examples
#' fit <- orvel_fit(volcano, orvel_kernel("gaussian", 2), spacing = 10)
#' d <- as.data.frame(fit)
#' head(d)
#' # the steepest nodes
#' head(d[order(-sqrt(d$y^2 + d$x^2)), c("row", "col", "z", "y", "x")])
as.data.frame.orvel_fit <- function(x, row.names = NULL, optional = FALSE, ...) {
  b <- coef(x)
  d <- dim(b)
  cols <- .orvel_coef_columns[seq_len(d[3L])]
  out <- data.frame(row = rep(seq_len(d[1L]), d[2L]), col = rep(seq_len(d[2L]), each = d[1L]),
                    z = as.vector(x$data))
  out[cols] <- lapply(seq_len(d[3L]), function(k) as.vector(b[, , k]))
  if (!is.null(x$se)) out[paste0("se_", cols)] <- lapply(seq_len(d[3L]), function(k) as.vector(x$se[, , k]))
  if (!is.null(row.names)) row.names(out) <- row.names
  out
}
