#' Local linear fit at every node of a grid
#'
#' For every node of the grid `z`, fits the plane
#' \eqn{b_0 + b_1 y + b_2 x}{b0 + b1 * y + b2 * x} by weighted least squares
#' to the observations in the node's 7 x 7 neighbourhood, clipped at the
#' edges of the grid, with the weights of `kernel` by offset. `orvel_fit()`
#' uses every observation of the window; `orvel_holdout()` leaves each node's
#' own observation out of its own fit, so that `F` is the node predicted from
#' its neighbours alone (the leave-one-out fit behind [orvel_cv()]).
#'
#' The offsets are scaled by the grid's size: \eqn{y = (j_y - i_y) / n_y}{y =
#' (jy - iy) / ny} for the neighbour in row \eqn{j_y}{jy} of a grid of
#' \eqn{n_y}{ny} rows, and \eqn{x = (j_x - i_x) / n_x}{x = (jx - ix) / nx}
#' along the columns. So `gFx` (the coefficient of `y`) is the change of the
#' fitted plane across all the rows of the grid and `gFy` (of `x`) across all
#' its columns; [orvel_slopes()] turns them into change per unit of distance.
#'
#' Missing values are not skipped: an `NA`, `NaN` or infinite observation
#' makes every node whose window holds it `NA`/`NaN` in all three outputs,
#' even where its weight is zero. A node whose weighted neighbours all lie on
#' one line (a kernel that is zero off the centre, say) gets `NaN` or `Inf`.
#'
#' @param z the grid: a numeric matrix with at least two rows and two
#'   columns; rows are one axis of the grid, columns the other.
#'   Or a single-layer terra SpatRaster: see [orvel_rasters].
#' @param kernel 7 x 7 numeric matrix of finite weights, `kernel[dy + 4, dx +
#'   4]` the weight of the neighbour `dy` rows and `dx` columns away (see
#'   [orvel_kernel()]); applied as given, never symmetrised. An
#'   [orvel_select()] result stands for its chosen kernel.
#' @param spacing the distance between neighbouring nodes: one number, or
#'   `c(rows, columns)` for the step from one row to the next and from one
#'   column to the next. Used only by [orvel_slopes()] and `plot()`.
#' @param ... not used; an error if given.
#' @param threads the number of threads to fit on (see [orvel_threads()]).
#'   The results are the same bits with any number.
#' @return An object of class `"orvel_fit"`: a list of the matrices `F` (the
#'   smooth), `gFx` and `gFy` (the slopes across the whole grid along the
#'   rows and along the columns), each shaped and named like `z`, and
#'   `kernel`, `spacing`, `holdout` (whether it is the leave-one-out fit),
#'   `data` (`z`) and `call`. It has `print()`, `summary()`, `plot()`,
#'   `fitted()` and `residuals()` methods.
#'   For a SpatRaster, a SpatRaster on the same grid with the layers
#'   `smooth`, `dzdx` and `dzdy` (see [orvel_rasters]).
#' @seealso [orvel_slopes()] for slopes in your units, [orvel_select()] to
#'   choose the kernel.
#' @export
#' @examples
#' fit <- orvel_fit(volcano, orvel_kernel("gaussian", 1.5))
#' fit
#' s <- orvel_slopes(fit, spacing = 10)   # volcano's nodes are 10 m apart
#' range(s$rows)
#' plot(fit, spacing = 10)
#'
#' # The leave-one-out residuals
#' summary(residuals(orvel_holdout(volcano)))
orvel_fit <- function(z, kernel = orvel_kernel(), spacing = 1, ...,
                      threads = getOption("orvel.threads", orvel_threads())) {
  UseMethod("orvel_fit")
}

#' @rdname orvel_fit
#' @export
orvel_fit.default <- function(z, kernel = orvel_kernel(), spacing = 1, ...,
                              threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  .orvel_fit(z, kernel, spacing, holdout = FALSE, threads, call = match.call())
}

#' @rdname orvel_fit
#' @export
orvel_holdout <- function(z, kernel = orvel_kernel(), spacing = 1, ...,
                          threads = getOption("orvel.threads", orvel_threads())) {
  UseMethod("orvel_holdout")
}

#' @rdname orvel_fit
#' @export
orvel_holdout.default <- function(z, kernel = orvel_kernel(), spacing = 1, ...,
                                  threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  .orvel_fit(z, kernel, spacing, holdout = TRUE, threads, call = match.call())
}

.orvel_fit <- function(z, kernel, spacing, holdout, threads, call) {
  z <- .orvel_check_z(z)
  K <- .orvel_check_kernel(kernel)
  spacing <- .orvel_check_pair(spacing, "spacing")
  r <- .orvel_fit_grid(z, K, holdout, .orvel_check_threads(threads))
  structure(c(r, list(kernel = matrix(K, 7L, 7L, dimnames = list(dy = -3:3, dx = -3:3)),
                      spacing = spacing, holdout = holdout, data = z, call = call)),
            class = "orvel_fit")
}

#' Slopes of a fit per unit of distance
#'
#' The fitted planes' slopes in the units of the grid's spacing:
#' `gFx / (nrow * spacing[1])` along the rows and
#' `gFy / (ncol * spacing[2])` along the columns, since `gFx` and `gFy` are
#' the change across the whole grid.
#'
#' @param fit an [orvel_fit()] or [orvel_holdout()] result.
#' @param spacing the distance between neighbouring nodes, one number or
#'   `c(rows, columns)`; by default the spacing given to the fit.
#' @return A list of two matrices shaped like the grid: `rows`, the change of
#'   the fitted plane per unit of distance in the direction of increasing row
#'   index, and `columns`, in the direction of increasing column index.
#' @export
#' @examples
#' fit <- orvel_fit(volcano, orvel_kernel("gaussian", 2))
#' s <- orvel_slopes(fit, spacing = 10)      # metres per metre
#' slope_degrees <- atan(sqrt(s$rows^2 + s$columns^2)) * 180 / pi
#' range(slope_degrees)
orvel_slopes <- function(fit, spacing = fit$spacing) {
  if (!inherits(fit, "orvel_fit"))
    .orvel_stop("`fit` must be an orvel_fit() or orvel_holdout() result, not %s", .orvel_what(fit))
  spacing <- .orvel_check_pair(spacing, "spacing")
  d <- dim(fit$F)
  list(rows = fit$gFx / (d[1L] * spacing[1L]), columns = fit$gFy / (d[2L] * spacing[2L]))
}

.orvel_range <- function(x) {
  ok <- is.finite(x)
  if (!any(ok)) return("none finite")
  r <- range(x[ok])
  sprintf("%.4g .. %.4g", r[1L], r[2L])
}

.orvel_kernel_line <- function(K) {
  sprintf("7 x 7, %d non-zero weights, %s .. %s, centre %s", sum(K != 0),
          format(min(K), digits = 3), format(max(K), digits = 3), format(K[4L, 4L], digits = 3))
}

#' @export
print.orvel_fit <- function(x, ...) {
  d <- dim(x$F)
  cat(sprintf("orvel %s of a %d x %d grid\n",
              if (x$holdout) "leave-one-out fit" else "local linear fit", d[1L], d[2L]))
  cat("kernel: ", .orvel_kernel_line(x$kernel), "\n", sep = "")
  cat("smooth F: ", .orvel_range(x$F), "\n", sep = "")
  cat("slopes across the grid: gFx (rows) ", .orvel_range(x$gFx),
      ", gFy (columns) ", .orvel_range(x$gFy), "\n", sep = "")
  bad <- sum(!is.finite(x$F))
  if (bad) cat(sprintf("%d nodes not finite (missing values in their windows, or no plane)\n", bad))
  invisible(x)
}

#' @export
summary.orvel_fit <- function(object, ...) {
  s <- orvel_slopes(object)
  res <- stats::residuals(object)
  stats <- function(m) {
    ok <- is.finite(m)
    c(stats::quantile(m[ok], names = FALSE), mean = mean(m[ok]), `not finite` = sum(!ok))
  }
  tab <- rbind(F = stats(object$F), `slope (rows)` = stats(s$rows),
               `slope (columns)` = stats(s$columns), residual = stats(res))
  colnames(tab)[1:5] <- c("min", "q1", "median", "q3", "max")
  ok <- is.finite(res)
  structure(list(dim = dim(object$F), holdout = object$holdout, spacing = object$spacing,
                 kernel = object$kernel, table = tab,
                 rms = if (any(ok)) sqrt(mean(res[ok]^2)) else NaN),
            class = "summary.orvel_fit")
}

#' @export
print.summary.orvel_fit <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  cat(sprintf("orvel %s of a %d x %d grid, node spacing %s\n",
              if (x$holdout) "leave-one-out fit" else "local linear fit", x$dim[1L], x$dim[2L],
              paste(format(x$spacing), collapse = " x ")))
  cat("kernel: ", .orvel_kernel_line(x$kernel), "\n\n", sep = "")
  print(signif(x$table, digits))
  cat(sprintf("\nRMS residual: %s\n", format(x$rms, digits = digits)))
  invisible(x)
}

#' @export
fitted.orvel_fit <- function(object, ...) object$F

#' @export
residuals.orvel_fit <- function(object, ...) {
  r <- object$data - object$F
  dimnames(r) <- dimnames(object$F)
  r
}

#' Plot a local linear fit
#'
#' Draws the smooth (with contours) and the gradient field: the slope's
#' magnitude as an image and its direction as arrows. As with
#' `image(z)`, rows run along the horizontal axis and columns up the
#' vertical one.
#'
#' @param x an [orvel_fit()] result.
#' @param spacing node spacing, one number or `c(rows, columns)`; by default
#'   the fit's.
#' @param arrows roughly how many arrows to draw along the longer side.
#' @param ... passed to [graphics::image()].
#' @return `x`, invisibly.
#' @export
#' @examples
#' plot(orvel_fit(volcano, orvel_kernel("gaussian", 2)), spacing = 10)
plot.orvel_fit <- function(x, spacing = x$spacing, arrows = 20, ...) {
  s <- orvel_slopes(x, spacing)
  sp <- .orvel_check_pair(spacing, "spacing")
  d <- dim(x$F)
  ry <- (seq_len(d[1L]) - 1) * sp[1L]
  rx <- (seq_len(d[2L]) - 1) * sp[2L]
  old <- graphics::par(mfrow = c(1L, 2L), mar = c(3, 3, 2.5, 1), mgp = c(1.8, 0.6, 0))
  on.exit(graphics::par(old))
  graphics::image(ry, rx, x$F, col = grDevices::hcl.colors(64, "Terrain"), asp = 1,
                  xlab = "rows", ylab = "columns", main = "smooth", useRaster = TRUE, ...)
  if (any(is.finite(x$F)))
    graphics::contour(ry, rx, x$F, add = TRUE, drawlabels = FALSE, col = "grey30", nlevels = 8)
  g <- sqrt(s$rows^2 + s$columns^2)
  graphics::image(ry, rx, g, col = grDevices::hcl.colors(64, "Inferno"), asp = 1,
                  xlab = "rows", ylab = "columns", main = "gradient", useRaster = TRUE, ...)
  step <- max(1L, round(max(d) / arrows))
  at <- as.matrix(expand.grid(iy = seq(ceiling(step / 2), d[1L], by = step),
                              ix = seq(ceiling(step / 2), d[2L], by = step)))
  gmax <- max(g[is.finite(g)], 0)
  if (gmax > 0) {
    len <- 0.8 * step * min(sp) / gmax
    graphics::arrows(ry[at[, 1L]], rx[at[, 2L]], ry[at[, 1L]] + len * s$rows[at],
                     rx[at[, 2L]] + len * s$columns[at], length = 0.04, col = "white")
  }
  invisible(x)
}
