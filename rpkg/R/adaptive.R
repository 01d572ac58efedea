#' Local polynomial fit with a scale chosen at every node
#'
#' Chooses, node by node, how widely to smooth, by the rule of the
#' intersection of confidence intervals (LPA-ICI; Katkovnik, Egiazarian and
#' Astola, *Local Approximation Techniques in Signal and Image Processing*,
#' 2006), in each of five windows (four one-sided halves and the whole
#' kernel), and fuses the five choices by inverse variance: wide windows on
#' plains, narrow ones at breaks and steps, and near a step the half on the
#' node's own side.
#'
#' **The windows.** For each bandwidth of the ladder, the kernel
#' `orvel_kernel(type, bandwidth)` cut into four halves: the neighbours at
#' `dy <= 0` (towards lower row index, `"up"`), `dy >= 0` (`"down"`), `dx
#' <= 0` (`"left"`) and `dx >= 0` (`"right"`), each keeping the node's own
#' row or column; and the whole kernel (`"full"`). Each is an ordinary
#' kernel, fitted by [orvel_fit()] with standard errors: 5 fits a
#' bandwidth. Halves rather than eight sectors: a half window still
#' determines a plane (or a quadratic) from two-dimensional offsets, its
#' estimate's variance is a few times the whole window's rather than many
#' times, and at a straight step one half lies wholly on the node's side.
#' The whole kernel joins them because on smooth ground, where the widest
#' scale is best, it is the one window with the least variance there.
#'
#' **The rule.** For one window and one node, with the estimates
#' \eqn{\hat y_j}{y_j} of the smooth and their standard errors
#' \eqn{s_j}{s_j} over the ladder (smallest bandwidth first), the chosen
#' scale is the largest \eqn{j}{j} whose interval \eqn{[\hat y_j - \Gamma
#' s_j, \hat y_j + \Gamma s_j]}{[y_j - gamma s_j, y_j + gamma s_j]} and the
#' intervals of every smaller scale have a point in common (scales whose
#' window gives no fit at the node are passed over). The standard errors
#' are \eqn{\sigma}{sigma} times each window's variance factor, with one
#' \eqn{\sigma}{sigma} for the grid: by default the median absolute value
#' of the differences \eqn{(z_{i,j} - z_{i+1,j} - z_{i,j+1} +
#' z_{i+1,j+1})/2}{(z[i, j] - z[i + 1, j] - z[i, j + 1] + z[i + 1, j + 1]) / 2}
#' over 0.6745, which is \eqn{\sigma}{sigma} for independent noise and
#' hardly moved by a smooth surface or its steps.
#'
#' **The fusion.** Every coefficient (the smooth and the slopes, and for
#' degree 2 the second-order ones) is the mean of the five windows'
#' chosen estimates weighted by the inverses of their variances, and its
#' standard error \eqn{(\sum_d 1 / s_d^2)^{-1/2}}{(sum_d 1 / s_d^2)^(-1/2)},
#' which treats the windows as independent: they overlap, so it is
#' optimistic.
#'
#' **The default \eqn{\Gamma}{gamma}.** No single value serves both kinds
#' of surface: in `bench/adaptive.R` (piecewise-smooth and smooth images at
#' three noise levels), the best fixed \eqn{\Gamma}{gamma} was 0.75 to 1
#' on images with steps and 1.5 to 2.5 on smooth ones; \eqn{\Gamma}{gamma}
#' = 0.75 gave 3 to 6 times the best single bandwidth's error on the smooth
#' ones, and 2.5 gave 1.3 to 2.1 times it on those with steps. So by default (`gamma = NULL`) it is
#' chosen per grid by leave-one-out cross-validation among 0.75, 1, 1.25,
#' 1.5, 2, 2.5 and 3: the rule and the fusion applied to the leave-one-out
#' fits of every window and scale ([orvel_holdout()]), and the value whose
#' fused prediction of the observations has the least mean squared error
#' (`cv` keeps the errors). This doubles the fits; give `gamma` to skip it.
#'
#' @param x the grid: a numeric matrix, or a single-layer terra SpatRaster
#'   (fitted in memory; the spacing from its cells).
#' @param type the kernel type (see [orvel_kernel()]).
#' @param bandwidths the ladder of bandwidths in node steps, increasing:
#'   by default eight from 0.75 to 6, each about 1.35 times the one before.
#' @param degree 1 (a plane) or 2 (a quadratic).
#' @param gamma \eqn{\Gamma}{gamma}, the half-width of the confidence
#'   intervals in standard errors: one positive number, or `NULL` to choose
#'   it by cross-validation (see The default).
#' @param sigma the noise's standard deviation, or `NULL` to estimate it
#'   (see The rule).
#' @param spacing the distance between neighbouring nodes, as in [orvel_fit()].
#' @param na.rm as in [orvel_fit()].
#' @param ... not used; an error if given.
#' @param threads the number of threads of each fit.
#' @return An object of class `"orvel_adaptive"`, a list: `F` (the fused
#'   smooth), `coef` (every fused coefficient in the units of `spacing`,
#'   shaped as [coef.orvel_fit()]'s), `se` (their standard errors, the same
#'   shape), `scale` (per node, the bandwidth the fused smooth comes from:
#'   the five chosen bandwidths averaged with the fusion's weights),
#'   `scales` (the chosen bandwidth per node and window: rows x columns
#'   x 5, `"up"`, `"down"`, `"left"`, `"right"`, `"full"`), `bandwidths`,
#'   `gamma`, `cv` (with `gamma = NULL`, the mean squared leave-one-out
#'   error of each value tried), `sigma`, `type`, `degree`,
#'   `spacing`, `data` and `call`. `coef()`, `print()` and `plot()` (the
#'   smooth beside the chosen scale) methods. For a SpatRaster, a
#'   SpatRaster with the layers `smooth`, `smooth_se` and `scale`.
#' @seealso [orvel_fit()] for one scale everywhere, [orvel_select()] to
#'   choose one by cross-validation.
#' @export
#' @examples
#' z <- outer(1:60, 1:60, function(i, j) ifelse((i - 30)^2 + (j - 30)^2 < 200, 4, 0))
#' set.seed(1)
#' zn <- z + rnorm(length(z), sd = 0.5)
#' a <- orvel_adaptive(zn, bandwidths = c(0.75, 1.5, 3))   # gamma by cross-validation
#' a
#' plot(a)
orvel_adaptive <- function(x, type = "gaussian", bandwidths = 0.75 * 1.346^(0:7), degree = 1,
                           gamma = NULL, sigma = NULL, spacing = 1, na.rm = FALSE, ...,
                           threads = getOption("orvel.threads", orvel_threads())) {
  UseMethod("orvel_adaptive")
}

#' @rdname orvel_adaptive
#' @export
orvel_adaptive.default <- function(x, type = "gaussian", bandwidths = 0.75 * 1.346^(0:7),
                                   degree = 1, gamma = NULL, sigma = NULL, spacing = 1,
                                   na.rm = FALSE, ...,
                                   threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  z <- .orvel_check_z(x, "x")
  type <- .orvel_type(type)
  if (length(type) != 1L) .orvel_stop("`type` must be a single kernel type, not %d of them", length(type))
  if (!is.numeric(bandwidths) || length(bandwidths) < 2L || anyNA(bandwidths) ||
      any(!is.finite(bandwidths)) || any(bandwidths <= 0) || any(diff(bandwidths) <= 0))
    .orvel_stop("`bandwidths` must be at least two positive numbers, increasing, not %s",
                .orvel_given(bandwidths))
  if (!is.null(gamma) && (!is.numeric(gamma) || length(gamma) != 1L || !is.finite(gamma) ||
                          gamma <= 0))
    .orvel_stop("`gamma` must be NULL or one positive number, not %s", .orvel_given(gamma))
  if (!is.null(sigma) && (!is.numeric(sigma) || length(sigma) != 1L || !is.finite(sigma) || sigma <= 0))
    .orvel_stop("`sigma` must be NULL or one positive number, not %s", .orvel_given(sigma))
  spacing <- .orvel_check_pair(spacing, "spacing")
  threads <- .orvel_check_threads(threads)
  if (is.null(sigma)) sigma <- .orvel_noise_sd(z)
  if (!is.finite(sigma) || sigma <= 0)
    .orvel_stop("the noise's standard deviation estimated from `x` is %s: give `sigma`", format(sigma))
  cv <- NULL
  if (is.null(gamma)) {
    cv <- .orvel_adaptive_cv(z, type, bandwidths, degree, .orvel_gammas, sigma, spacing, na.rm,
                             threads)
    gamma <- cv$gamma
  }
  r <- .orvel_adaptive_fit(z, type, bandwidths, degree, gamma, sigma, spacing, na.rm, threads)[[1L]]
  nm <- .orvel_coef_dimnames(z, as.integer(degree))
  se <- sqrt(r$var)
  dimnames(r$coef) <- dimnames(se) <- nm
  F <- r$coef[, , 1L]
  dim(F) <- dim(z)
  dimnames(F) <- dimnames(z)
  structure(list(F = F, coef = r$coef, se = se, scale = r$scale, scales = r$scales,
                 bandwidths = bandwidths, gamma = gamma, cv = cv$cv, sigma = sigma, type = type,
                 degree = as.integer(degree), spacing = spacing, data = z, call = match.call()),
            class = "orvel_adaptive")
}

#' @rdname orvel_adaptive
#' @export
orvel_adaptive.SpatRaster <- function(x, type = "gaussian", bandwidths = 0.75 * 1.346^(0:7),
                                      degree = 1, gamma = NULL, sigma = NULL, spacing = NULL,
                                      na.rm = FALSE, ...,
                                      threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  if (terra::nlyr(x) != 1L)
    .orvel_stop("`x` must have one layer, not %d", terra::nlyr(x))
  z <- terra::as.matrix(x, wide = TRUE)
  if (is.null(spacing)) spacing <- rev(terra::res(x))
  a <- orvel_adaptive.default(z, type, bandwidths, degree, gamma, sigma, spacing, na.rm,
                              threads = threads)
  out <- terra::rast(x, nlyrs = 3L)
  terra::values(out) <- cbind(as.vector(t(a$F)), as.vector(t(a$se[, , 1L])),
                              as.vector(t(a$scale)))
  names(out) <- c("smooth", "smooth_se", "scale")
  out
}

# The noise's standard deviation of the grid z from the second differences
# of each 2 x 2 block, (z11 - z21 - z12 + z22) / 2, of variance sigma^2 for
# independent noise: their median absolute value over 0.6745.
.orvel_noise_sd <- function(z) {
  n <- dim(z)
  d <- (z[-n[1L], -n[2L]] - z[-1L, -n[2L]] - z[-n[1L], -1L] + z[-1L, -1L]) / 2
  d <- d[is.finite(d)]
  if (!length(d)) return(NA_real_)
  stats::median(abs(d)) / stats::qnorm(0.75)
}

# The values of Gamma that leave-one-out cross-validation chooses among.
.orvel_gammas <- c(0.75, 1, 1.25, 1.5, 2, 2.5, 3)

.orvel_windows <- c("up", "down", "left", "right", "full")

# The half of kernel K towards direction d (of .orvel_windows): the
# other side's weights set to zero, the node's own row or column kept;
# "full" the whole kernel.
.orvel_half_kernel <- function(K, d) {
  h <- (dim(K) - 1L) %/% 2L
  switch(d,
         full = NULL,
         up = K[h[1L] + 1L + seq_len(h[1L]), ] <- 0,
         down = K[seq_len(h[1L]), ] <- 0,
         left = K[, h[2L] + 1L + seq_len(h[2L])] <- 0,
         right = K[, seq_len(h[2L])] <- 0)
  K
}

# The fits of the ladder in each window, the ICI choices and their fusion,
# for each of the values `gammas`: a list per value of list(coef, var,
# scale, scales), the fused coefficients and their variances (rows x
# columns x p), the fused scale and the chosen scale per window (only the
# smooth's, coef and var rows x columns x 1, with `smooth`). With
# `holdout`, from the leave-one-out fits. The rule runs along the ladder
# as the fits come, one window at a time: per node the running
# intersection [lo, hi] of the intervals so far, whether it is still
# non-empty (`alive`), and the coefficients and variances of the last
# scale that kept it so (src/ici.c). Scales whose window gives no fit at a
# node are passed over.
.orvel_adaptive_fit <- function(z, type, bandwidths, degree, gammas, sigma, spacing, na.rm,
                                threads, holdout = FALSE, smooth = FALSE) {
  d <- dim(z)
  p <- if (smooth) 1L else if (degree == 2) 6L else 3L
  G <- length(gammas)
  # The states are environments, so that their arrays are updated in
  # place rather than copied at every scale.
  acc <- lapply(seq_len(G), function(g)
    list2env(list(num = array(0, c(d, p)), den = array(0, c(d, p)), sc = array(0, d),
                  scales = array(NA_real_, c(d, length(.orvel_windows)),
                                 dimnames = list(NULL, NULL, .orvel_windows)))))
  for (wi in seq_along(.orvel_windows)) {
    # The rule's state for every Gamma (see src/ici.h), fresh arrays that
    # the compiled step updates in place.
    n <- prod(d)
    lo <- array(-Inf, c(n, G))
    hi <- array(Inf, c(n, G))
    alive <- array(TRUE, c(n, G))
    cs <- array(NA_real_, c(n, G))
    cb <- array(NA_real_, c(n, p, G))
    cv <- array(NA_real_, c(n, p, G))
    for (j in seq_along(bandwidths)) {
      K <- .orvel_half_kernel(orvel_kernel(type, bandwidths[j]), .orvel_windows[wi])
      f <- .orvel_fit(z, .orvel_model(K, degree, na.rm), spacing, holdout, TRUE, threads, NULL)
      b <- coef(f)[, , seq_len(p), drop = FALSE]
      # The variances at the grid's sigma.
      v <- (f$se[, , seq_len(p), drop = FALSE] * (sigma / f$stats[["sigma"]]))^2
      .Call(C_orvel_ici_step, b, v, as.double(gammas), as.double(bandwidths[j]), lo, hi, alive,
            cs, cb, cv)
    }
    for (g in seq_len(G)) {
      y <- acc[[g]]
      xb <- cb[, , g]
      xv <- cv[, , g]
      xs <- cs[, g]
      y$scales[, , wi] <- xs
      use <- is.finite(xb) & is.finite(xv) & xv > 0
      y$num[use] <- y$num[use] + xb[use] / xv[use]
      y$den[use] <- y$den[use] + 1 / xv[use]
      u1 <- use[seq_len(n)]
      y$sc[u1] <- y$sc[u1] + xs[u1] / xv[seq_len(n)][u1]
    }
  }
  lapply(acc, function(y) {
    none <- y$den == 0
    cf <- y$num / y$den
    cf[none] <- NA
    var <- 1 / y$den
    var[none] <- NA
    scale <- y$sc / y$den[, , 1L]
    scale[none[, , 1L]] <- NA
    list(coef = cf, var = var, scale = scale, scales = y$scales)
  })
}

# The Gamma of `gammas` whose adaptive leave-one-out fit of z predicts the
# observations best (the least mean squared error over the nodes with an
# observation and a prediction for every value), and the errors.
.orvel_adaptive_cv <- function(z, type, bandwidths, degree, gammas, sigma, spacing, na.rm,
                               threads) {
  r <- .orvel_adaptive_fit(z, type, bandwidths, degree, gammas, sigma, spacing, na.rm,
                           threads, holdout = TRUE, smooth = TRUE)
  pred <- vapply(r, function(x) as.vector(x$coef), numeric(length(z)))
  ok <- is.finite(as.vector(z)) & rowSums(!is.finite(pred)) == 0
  cv <- colMeans((as.vector(z)[ok] - pred[ok, , drop = FALSE])^2)
  list(gamma = gammas[which.min(cv)], cv = stats::setNames(cv, format(gammas)))
}

#' @export
coef.orvel_adaptive <- function(object, ...) object$coef

#' @export
print.orvel_adaptive <- function(x, ...) {
  d <- dim(x$F)
  cat(sprintf("orvel adaptive %s fit of a %d x %d grid (ICI, gamma %s, sigma %s)\n",
              if (identical(x$degree, 2L)) "quadratic" else "linear", d[1L], d[2L],
              format(x$gamma), format(x$sigma, digits = 3)))
  cat(sprintf("%s kernel halves, bandwidths %s\n", x$type,
              paste(format(x$bandwidths, digits = 3), collapse = " ")))
  cat("smooth F: ", .orvel_range(x$F), "\n", sep = "")
  q <- stats::quantile(x$scale, c(0, 0.25, 0.5, 0.75, 1), na.rm = TRUE, names = FALSE)
  cat("chosen scale: ", paste(format(q, digits = 3), collapse = " / "),
      " (min / q1 / median / q3 / max)\n", sep = "")
  invisible(x)
}

#' Plot an adaptive fit
#'
#' The fused smooth beside the scale chosen at every node, each with its
#' colour key, north-up (row 1 at the top) as [plot.orvel_fit()] draws.
#'
#' @param x an [orvel_adaptive()] result.
#' @param ... passed to [graphics::image()].
#' @return `x`, invisibly.
#' @export
#' @examples
#' z <- outer(1:40, 1:40, function(i, j) (i > 20) * 3)
#' set.seed(2)
#' plot(orvel_adaptive(z + rnorm(1600, sd = 0.4), bandwidths = c(0.75, 1.5, 3)))
plot.orvel_adaptive <- function(x, ...) {
  d <- dim(x$F)
  sp <- x$spacing
  pos <- list((seq_len(d[1L]) - 1) * sp[1L], (seq_len(d[2L]) - 1) * sp[2L])
  old <- graphics::par(mfrow = c(1L, 1L), mar = c(3, 3, 2, 0.4), mgp = c(1.8, 0.6, 0))
  on.exit(graphics::par(old))
  graphics::layout(matrix(1:4, 1L), widths = c(1, graphics::lcm(1.6), 1, graphics::lcm(1.6)))
  panel <- function(m, col, main) {
    zlim <- .orvel_zlim(m)
    graphics::image(pos[[2L]], pos[[1L]], t(m), col = col, zlim = zlim,
                    xlim = c(-0.5, d[2L] - 0.5) * sp[2L], ylim = rev(c(-0.5, d[1L] - 0.5) * sp[1L]),
                    asp = 1, xlab = "columns (units of spacing)", ylab = "rows (units of spacing)",
                    main = main, useRaster = TRUE, ...)
    .orvel_key(zlim, col)
  }
  panel(x$F, grDevices::hcl.colors(64, "Terrain"), "smooth F (units of z)")
  panel(x$scale, grDevices::hcl.colors(64, "Viridis"), "chosen bandwidth (node steps)")
  invisible(x)
}
