#' Local polynomial fit at every node of a grid
#'
#' For every node of the grid `z`, fits a polynomial in the offsets from
#' the node by weighted least squares to the observations in the node's
#' window, clipped at the edges of the grid, with the weights of `kernel`
#' by offset: the plane \eqn{b_0 + b_1 y + b_2 x}{b0 + b1 * y + b2 * x}
#' (`degree = 1`) or the quadratic that adds \eqn{b_3 y^2 + b_4 x y + b_5
#' x^2}{b3 * y^2 + b4 * x * y + b5 * x^2} (`degree = 2`), where `y` is the
#' offset along increasing row index and `x` along increasing column index.
#' The window is the kernel's: any odd size from 3 x 3 to 101 x 101.
#' `orvel_fit()` uses every observation of the window; `orvel_holdout()`
#' leaves each node's own observation out of its own fit, so that `F` is
#' the node predicted from its neighbours alone (the leave-one-out fit
#' behind [orvel_cv()]).
#'
#' [coef()] gives every coefficient at every node in the units of
#' `spacing`. The fit also keeps the smooth `F` and the slopes `gFx` and
#' `gFy` as the package's fitting libraries define them (see
#' `vignette("orvel")`): the offsets scaled by the grid's size, \eqn{y =
#' (j_y - i_y) / n_y}{y = (jy - iy) / ny} for the neighbour in row
#' \eqn{j_y}{jy} of a grid of \eqn{n_y}{ny} rows and \eqn{x = (j_x - i_x) /
#' n_x}{x = (jx - ix) / nx}, so that `gFx` is the change of the fitted plane
#' across all the rows of the grid and `gFy` across all its columns;
#' [orvel_slopes()] turns them into change per unit of distance.
#'
#' Every model is fitted by the package's general engine, accurate to
#' rounding against weighted least squares for well-conditioned windows.
#' With `options(orvel.exact = TRUE)`, a plane on a window of at most 7 x 7
#' is fitted instead by the exact engine of those libraries (a smaller
#' kernel padded with zero weights), bit for bit as they fit it, wherever no
#' missing value is in play (about 1.4 times the general engine's time);
#' other models are unaffected. Where a window's weighted design is nearly
#' collinear (a kernel almost zero off one line, a corner of a narrow
#' compact kernel, a window holed by missing values down to a few cells in
#' a row) the error of either engine grows with the design's condition
#' number: relative errors of about 1e-16 times it, so 1e-10 for a
#' condition number of 1e6, in the coefficients that the window barely
#' determines (the slope across the line, the curvatures).
#'
#' **Missing values.** An observation is missing when it is `NA`, `NaN` or
#' infinite. With `na.rm = FALSE` a node is `NA` when a missing observation
#' has a non-zero weight in its window (the kernel's footprint, not the
#' whole window: with Horn's 3 x 3 weights a void takes with it exactly the
#' cells `terra::terrain()` loses), and every other node is fitted as if
#' the missing values were any finite numbers. With `na.rm = TRUE` missing
#' observations are left out of every window, and a node is `NA` only where
#' what is left cannot determine the polynomial. `na.policy` is as in
#' `terra::focal()`: `"all"` fits every node (so voids are filled where
#' their neighbours allow), `"omit"` keeps missing nodes missing, `"only"`
#' keeps the observations as the smooth `F` where they exist and fills the
#' missing nodes (the slopes are fitted at every node).
#'
#' **Weights.** With `weights` (or `robust = TRUE`) every node is fitted
#' by weighted least squares with the weights K w over its own window's
#' cells of non-zero weight: for a node with observation weights all 1
#' the same fit as without weights, to rounding. The statistics ([sigma()],
#' [summary()], AIC) are those of weighted least squares: with the hat
#' values \eqn{L_{ii}}{L_ii}, \eqn{\hat\sigma^2 = \sum w_i r_i^2 /
#' (n - 2 \sum L_{ii} + \sum w_i V_i)}{sigma^2 = sum w_i r_i^2 / (n - 2
#' sum L_ii + sum w_i V_i)}, \eqn{V_i}{V_i} the variance factor of the
#' smooth at node i, over the n nodes of positive weight scored. Weights
#' are for matrices; rasters, [orvel_cv()] and [orvel_select()] take none.
#'
#' **No number where no fit exists.** A node whose weighted, observed
#' neighbours cannot determine the polynomial is `NaN` in every output,
#' never a finite number. Determined means: the normal matrix of the
#' weighted design, scaled to a unit diagonal, has no pivot below 1e-10
#' (a direction fixed only to within the rounding of the sums); for the
#' leave-one-out fit, also that the node's own weight in its fit, L, has
#' 1 - L of at least 1e-10. Where no value is missing this is decided once
#' per shape of the clipped window. Examples: a kernel that is zero off one
#' line, a compact kernel too narrow for a corner once the corner itself is
#' left out.
#'
#' Only the ratios of the weights matter: a kernel scaled by any factor
#' gives the same fits. Weights whose largest magnitude lies beyond
#' \eqn{2^{64}}{2^64} or below \eqn{2^{-64}}{2^-64} are scaled by a power of
#' two to bring it between 1 and 2 before the fit, which is exact, so that
#' the products of weights in the fit neither overflow nor underflow; any
#' other kernel is used as given. A kernel of all zeros is an error.
#' Observations so large (near 1e307) or so small that the fit's weighted
#' sums leave the range of double precision make nodes `NaN` or infinite
#' although their windows hold no missing value; a warning says how many.
#'
#' @param z the grid: a numeric matrix with at least two rows and two
#'   columns; rows are one axis of the grid, columns the other.
#'   Or a terra SpatRaster, a single-attribute 2-D stars object, a
#'   raster::RasterLayer, RasterStack or RasterBrick: see [orvel_rasters]
#'   (`orvel_fit()` and `orvel_holdout()` fit every layer of several on its
#'   own; `orvel_cv()` and `orvel_select()` take one layer). A `table` or
#'   other classed numeric matrix is fitted as its numbers (its class
#'   dropped).
#' @param kernel a numeric matrix of finite weights with an odd number of
#'   rows and of columns, each from 3 to 101, `kernel[dy + hy + 1, dx + hx +
#'   1]` the weight of the neighbour `dy` rows and `dx` columns away (`hy`,
#'   `hx` the half-sizes; see [orvel_kernel()]); applied as given, never
#'   symmetrised. An [orvel_select()] result stands for its chosen kernel.
#' @param spacing the distance between neighbouring nodes: one number, or
#'   `c(rows, columns)` for the step from one row to the next and from one
#'   column to the next. Used by [coef()], [orvel_slopes()] and `plot()`.
#' @param degree 1 (a plane) or 2 (a quadratic); by default 1, or the
#'   degree an [orvel_select()] result given as `kernel` was chosen for.
#' @param na.rm whether missing observations are left out of the windows
#'   (`TRUE`) or make `NA` every node where they have weight (`FALSE`).
#' @param na.policy `"all"`, `"omit"` or `"only"`: see Missing values.
#' @param se also the standard errors of every coefficient at every node
#'   (see [orvel_inference]).
#' @param noise `"iid"`, independent noise of one variance, or
#'   `"stationary"`, noise correlated between neighbours with a stationary
#'   covariance estimated from the fit's residuals by [orvel_noise()] (or
#'   such an estimate itself): the standard errors, [vcov()], [confint()],
#'   [predict()]'s intervals and [summary()] then hold under it (see
#'   Correlated noise in [orvel_inference]). For a matrix; the raster
#'   methods take `"iid"` only.
#' @param filename,overwrite,wopt for a SpatRaster, as in terra: a file to
#'   write the result to, whether an existing one may be replaced, and a
#'   list of options for writing (64-bit floats unless it says).
#' @param tiles for a SpatRaster, `NULL` or the size of a tile in cells,
#'   `c(rows, cols)`, to fit it in tiles on the workers of the current
#'   `future::plan()`, written to `filename`: see [orvel_tiles].
#' @param ... not used; an error if given.
#' @param threads the number of threads to fit on (see [orvel_threads()]).
#'   The results are the same bits with any number.
#' @param weights `NULL`, or observation weights for a matrix `z`: a matrix
#'   like `z` of finite, non-negative numbers that multiply the kernel at
#'   each observation, so that the neighbour `dy` rows and `dx` columns away
#'   has the weight `kernel[dy + hy + 1, dx + hx + 1] * weights[i + dy, j + dx]`
#'   (weighted least squares with weights K w). A weight of 0 leaves the
#'   cell out of every window, as a missing value is with `na.rm = TRUE`
#'   (and its value may then be missing even with `na.rm = FALSE`). The
#'   standard errors and statistics take the variance of weighted least
#'   squares: independent errors of variance \eqn{\sigma^2 / w}{sigma^2 / w}
#'   at an observation of weight `w`, so that `sigma()` is the error of an
#'   observation of weight 1, the residual sum of squares and the
#'   leave-one-out sum are weighted by `w`, and nodes of weight 0 are not
#'   scored (see Weights). Fits with weights go through the general engine
#'   (each node's weighted least squares summed over its own window), never
#'   the exact 7 x 7 one.
#' @param robust `TRUE` for a fit robust to outliers, as
#'   `loess(family = "symmetric")`: 4 fits in all, each after the first
#'   with the weights (times `weights`) multiplied by Tukey's bisquare
#'   \eqn{B(r / 6m)}{B(r / (6 m))} of the residuals `r` of the fit before,
#'   \eqn{B(u) = (1 - u^2)^2}{B(u) = (1 - u^2)^2} for \eqn{|u| < 1}{|u| < 1}
#'   and 0 beyond, `m` the median absolute residual over the cells of
#'   positive weight. The last fit's robustness weights are kept as
#'   `robustness`; its standard errors treat the final weights as given
#'   (as loess does), so they are approximate.
#' @return An object of class `"orvel_fit"`: a list of the matrices `F` (the
#'   smooth), `gFx` and `gFy` (the slopes across the whole grid along the
#'   rows and along the columns), each shaped and named like `z`; for
#'   degree 2 `Q`, the coefficients of \eqn{dy^2}{dy^2}, \eqn{dy\,dx}{dy dx}
#'   and \eqn{dx^2}{dx^2} per node step (an array of `z`'s rows and columns
#'   by 3); and `kernel`, `degree`, `na.rm`, `na.policy`, `spacing`,
#'   `holdout` (whether it is the leave-one-out fit), `data` (`z`) and
#'   `call`; with `weights` or `robust` also `weights`, the observation
#'   weights of the final fit (the prior weights times the robustness
#'   weights), and with `robust` also `robustness`; with `se = TRUE` also `se`, the standard errors of [coef()]'s
#'   coefficients in its units and shape, and `stats`, the sums behind the
#'   fit's statistics. It has `print()`, `summary()`, `plot()`, `coef()`,
#'   `fitted()`, `residuals()`, `predict()`, `confint()`, `vcov()`,
#'   `sigma()`, `nobs()`, `df.residual()`, `deviance()`, `logLik()` and
#'   `as.data.frame()` methods (see [orvel_inference]).
#'   For a SpatRaster, a SpatRaster on the same grid with the layers
#'   `smooth`, `dzdx` and `dzdy`, and for degree 2 `d2zdx2`, `d2zdxdy` and
#'   `d2zdy2` (see [orvel_rasters]); with `se = TRUE` a layer of standard
#'   errors after them for each, named with `_se` (`smooth_se`,
#'   `dzdx_se`, ...).
#' @seealso [coef.orvel_fit()] and [orvel_slopes()] for the coefficients in
#'   your units, [orvel_select()] to choose the kernel.
#' @export
#' @examples
#' fit <- orvel_fit(volcano, orvel_kernel("gaussian", 1.5))
#' fit
#' s <- orvel_slopes(fit, spacing = 10)   # volcano's nodes are 10 m apart
#' range(s$rows)
#' plot(fit, spacing = 10)
#'
#' # A quadratic on a wider window, and its curvature along the rows
#' q <- orvel_fit(volcano, orvel_kernel("gaussian", 3), spacing = 10, degree = 2)
#' summary(as.vector(2 * coef(q)[, , "y^2"]))
#'
#' # Missing values: left out of the windows, the void filled
#' z <- volcano
#' z[30:35, 20:25] <- NA
#' filled <- orvel_fit(z, na.rm = TRUE)
#' sum(is.na(filled$F))
#'
#' # The leave-one-out residuals
#' summary(residuals(orvel_holdout(volcano)))
orvel_fit <- function(z, kernel = orvel_kernel(), spacing = 1, degree = 1, na.rm = FALSE,
                      na.policy = c("all", "omit", "only"), se = FALSE, ...,
                      threads = getOption("orvel.threads", orvel_threads()), noise = c("iid", "stationary")) {
  UseMethod("orvel_fit")
}

#' @rdname orvel_fit
#' @export
orvel_fit.default <- function(z, kernel = orvel_kernel(), spacing = 1, degree = 1,
                              na.rm = FALSE, na.policy = c("all", "omit", "only"), se = FALSE, ...,
                              threads = getOption("orvel.threads", orvel_threads()),
                              weights = NULL, robust = FALSE, noise = c("iid", "stationary")) {
  .orvel_dots(...)
  model <- .orvel_model(kernel, if (!missing(degree)) degree, na.rm, na.policy)
  .orvel_with_noise(.orvel_fit(z, model, spacing, holdout = FALSE, se, threads, call = match.call(),
                               weights = weights, robust = robust), noise)
}

#' @rdname orvel_fit
#' @export
orvel_holdout <- function(z, kernel = orvel_kernel(), spacing = 1, degree = 1, na.rm = FALSE,
                          na.policy = c("all", "omit", "only"), se = FALSE, ...,
                          threads = getOption("orvel.threads", orvel_threads()), noise = c("iid", "stationary")) {
  UseMethod("orvel_holdout")
}

#' @rdname orvel_fit
#' @export
orvel_holdout.default <- function(z, kernel = orvel_kernel(), spacing = 1, degree = 1,
                                  na.rm = FALSE, na.policy = c("all", "omit", "only"), se = FALSE, ...,
                                  threads = getOption("orvel.threads", orvel_threads()),
                                  weights = NULL, robust = FALSE, noise = c("iid", "stationary")) {
  .orvel_dots(...)
  model <- .orvel_model(kernel, if (!missing(degree)) degree, na.rm, na.policy)
  .orvel_with_noise(.orvel_fit(z, model, spacing, holdout = TRUE, se, threads, call = match.call(),
                               weights = weights, robust = robust), noise)
}

.orvel_fit <- function(z, model, spacing, holdout, se, threads, call, weights = NULL,
                       robust = FALSE) {
  z <- .orvel_check_z(z)
  spacing <- .orvel_check_pair(spacing, "spacing")
  se <- .orvel_check_flag(se, "se")
  threads <- .orvel_check_threads(threads)
  robust <- .orvel_check_flag(robust, "robust")
  model$weights <- .orvel_check_weights(weights, z)
  rw <- NULL
  if (robust) {
    rw <- .orvel_robustness(z, model, threads)
    model$weights <- (if (is.null(model$weights)) 1 else model$weights) * rw
  }
  r <- .orvel_fit_grid(z, model, holdout, threads, stats = se,
                       unit = if (se) .orvel_coef_units(dim(z), spacing, model$degree))
  stats <- attr(r, "stats")
  .orvel_warn_lost(z, model, holdout, threads, r)
  if (se) dimnames(r$se) <- .orvel_coef_dimnames(z, model$degree)
  if (model$policy != "all") {
    miss <- !is.finite(z)
    if (model$policy == "omit") {
      for (k in names(r)) r[[k]][miss] <- NA
    } else {
      r$F[!miss] <- z[!miss]
    }
  }
  attributes(r) <- list(names = names(r))
  structure(c(r, list(kernel = .orvel_kernel_named(model$kernel), degree = model$degree, na.rm = model$narm,
                      na.policy = model$policy, spacing = spacing, holdout = holdout,
                      data = z, call = call, stats = stats),
                 if (!is.null(model$weights)) list(weights = model$weights),
                 if (robust) list(robustness = rw)),
            class = "orvel_fit")
}

# The factors that take the fit's outputs (F, gFx, gFy, the Q per node
# step squared) of a grid of dimensions d to coef()'s units.
.orvel_coef_units <- function(d, sp, degree) {
  c(1, 1 / (d[1L] * sp[1L]), 1 / (d[2L] * sp[2L]),
    if (degree == 2L) c(1 / sp[1L]^2, 1 / (sp[1L] * sp[2L]), 1 / sp[2L]^2))
}

.orvel_coef_dimnames <- function(z, degree) {
  c(if (is.null(dimnames(z))) list(NULL, NULL) else dimnames(z),
    list(c("(Intercept)", "y", "x", "y^2", "x*y", "x^2")[seq_len(if (degree == 2L) 6L else 3L)]))
}

# Warns when nodes whose windows hold only finite values got a non-finite
# fit `r` because the weighted sums left the range of double precision: the
# fit is linear in z, so those are the nodes that come out finite when z is
# scaled (exactly, by a power of two) to magnitudes near 1. Nodes that get
# no fit at any scale are left to the documentation. Costs nothing unless
# some node is not finite (the fit counts them), and a second fit only when
# one is away from missing values.
.orvel_warn_lost <- function(z, model, holdout, threads, r) {
  if (identical(attr(r, "nonfinite"), 0)) return(invisible())
  k <- .orvel_rescale(attr(r, "zmax"))
  if (is.null(k)) return(invisible())
  out <- !is.finite(r$F) | !is.finite(r$gFx) | !is.finite(r$gFy)
  ok <- is.finite(z)
  out <- out & !.orvel_near(!ok, (dim(model$K) - 1L) %/% 2L)
  if (!any(out)) return(invisible())
  rs <- .orvel_fit_grid(.orvel_scale2(z, k), model, holdout, threads)
  lost <- sum(out & is.finite(rs$F) & is.finite(rs$gFx) & is.finite(rs$gFy))
  .orvel_warn_overflow(lost, length(z), k, attr(r, "zmax"), min(abs(z[ok & z != 0]), Inf))
}

# The power of two that brings data whose largest finite |z| is `big` near 1,
# where that is outside the range in which every weighted sum of a fit stays
# inside double precision (with the weights scaled into [2^-64, 2^64], a sum
# of products of up to three of them with a value and the offsets stays
# below 2^400 for values below 2^600 = 4e180, and above 2^-800 for non-zero
# values above 2^-400); NULL inside it.
.orvel_rescale <- function(big) {
  if (is.null(big) || !is.finite(big) || big == 0 || (big < 2^600 && big > 2^-400)) return(NULL)
  -floor(log2(big))
}

# x times 2^k, in two steps so that neither factor leaves the range of doubles.
.orvel_scale2 <- function(x, k) x * 2^(k %/% 2) * 2^(k - k %/% 2)

# The warning for `lost` of `total` nodes (cells) lost to the range of
# double precision, the data rescaled by 2^k to find them; big and small the
# largest finite and smallest non-zero |z|.
.orvel_warn_overflow <- function(lost, total, k, big, small, what = "nodes", arg = "z") {
  if (lost == 0) return(invisible())
  warning(sprintf(paste0(
    "%.0f of %.0f %s are not finite although every value in their windows is: ",
    "values of `%s` as %s as %s %s double precision in the weighted sums of the fit; ",
    "scale `%s` by a power of two or ten to bring it near 1, and scale the results back"),
    lost, total, what, arg, if (k < 0) "large" else "small",
    format(if (k < 0) big else small, digits = 3), if (k < 0) "overflow" else "underflow", arg),
    call. = FALSE)
}

# Nodes with a TRUE within h[1] rows and h[2] columns of them in `b` (a
# logical matrix): those whose windows hold one.
.orvel_near <- function(b, h = c(3L, 3L)) {
  if (!any(b)) return(b)
  shift <- function(m, along) {
    r <- m
    n <- dim(m)[along]
    for (s in seq_len(min(max(3L, h[along]), n - 1L))) {
      a <- seq_len(n - s)
      if (along == 1L) {
        r[a + s, ] <- r[a + s, ] | m[a, ]
        r[a, ] <- r[a, ] | m[a + s, ]
      } else {
        r[, a + s] <- r[, a + s] | m[, a]
        r[, a] <- r[, a] | m[, a + s]
      }
    }
    r
  }
  shift(shift(b, 1L), 2L)
}

#' Coefficients of a local polynomial fit
#'
#' Every coefficient of the polynomial fitted at every node, in the units
#' of the grid's spacing: the fitted surface near node (row `i`, column
#' `j`) is \eqn{z(i + dy, j + dx) \approx b_0 + b_1 y + b_2 x + b_3 y^2 +
#' b_4 x y + b_5 x^2}{z(i + dy, j + dx) = b0 + b1 y + b2 x + b3 y^2 + b4 x y
#' + b5 x^2} with \eqn{y = dy \cdot s_1}{y = dy * s1} and \eqn{x = dx \cdot
#' s_2}{x = dx * s2}, `spacing = c(s1, s2)`: `y` along increasing row index
#' and `x` along increasing column index. So the slope along the rows is
#' `b1`, and the second derivative along them `2 * b3`.
#'
#' @param object an [orvel_fit()] or [orvel_holdout()] result.
#' @param spacing the distance between neighbouring nodes, one number or
#'   `c(rows, columns)`; by default the spacing given to the fit.
#' @param ... not used.
#' @return An array of the grid's rows by its columns by the coefficients,
#'   named `"(Intercept)"`, `"y"`, `"x"` and for degree 2 `"y^2"`, `"x*y"`,
#'   `"x^2"`.
#' @export
#' @examples
#' q <- orvel_fit(volcano, orvel_kernel("gaussian", 2), spacing = 10, degree = 2)
#' b <- coef(q)
#' dim(b)
#' b[40, 30, ]
coef.orvel_fit <- function(object, spacing = object$spacing, ...) {
  sp <- .orvel_check_pair(spacing, "spacing")
  d <- dim(object$F)
  p <- if (identical(object$degree, 2L)) 6L else 3L
  b <- array(NA_real_, c(d, p), dimnames = .orvel_coef_dimnames(object$F, object$degree))
  b[, , 1L] <- object$F
  b[, , 2L] <- object$gFx / (d[1L] * sp[1L])
  b[, , 3L] <- object$gFy / (d[2L] * sp[2L])
  if (p == 6L) {
    b[, , 4L] <- object$Q[, , 1L] / sp[1L]^2
    b[, , 5L] <- object$Q[, , 2L] / (sp[1L] * sp[2L])
    b[, , 6L] <- object$Q[, , 3L] / sp[2L]^2
  }
  b
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
  d <- dim(K)
  sprintf("%d x %d, %d non-zero weights, %s .. %s, centre %s", d[1L], d[2L], sum(K != 0),
          format(min(K), digits = 3), format(max(K), digits = 3),
          format(K[(d[1L] + 1L) %/% 2L, (d[2L] + 1L) %/% 2L], digits = 3))
}

# "local linear fit", "leave-one-out quadratic fit", ...
.orvel_fit_kind <- function(x) {
  paste(if (x$holdout) "leave-one-out" else "local",
        if (identical(x$degree, 2L)) "quadratic fit" else "linear fit")
}

# A checked kernel with the dimnames of orvel_kernel(): the offsets dy, dx.
.orvel_kernel_named <- function(K) {
  h <- (dim(K) - 1L) %/% 2L
  dimnames(K) <- list(dy = -h[1L]:h[1L], dx = -h[2L]:h[2L])
  K
}

#' @export
print.orvel_fit <- function(x, ...) {
  d <- dim(x$F)
  cat(sprintf("orvel %s of a %d x %d grid\n", .orvel_fit_kind(x), d[1L], d[2L]))
  cat("kernel: ", .orvel_kernel_line(x$kernel), "\n", sep = "")
  cat("smooth F: ", .orvel_range(x$F), "\n", sep = "")
  s <- orvel_slopes(x)
  cat(sprintf("slopes per unit of spacing (node spacing %s):\n",
              paste(format(x$spacing), collapse = " x ")))
  cat("  along increasing row index ", .orvel_range(s$rows),
      "; along increasing column index ", .orvel_range(s$columns), "\n", sep = "")
  bad <- sum(!is.finite(x$F))
  if (bad) cat(sprintf("%d nodes not finite (missing values in their windows, or no fit)\n", bad))
  invisible(x)
}

#' Plot a local polynomial fit
#'
#' Draws the smooth (with contours) and the gradient field: the slope's
#' magnitude as an image and its direction, uphill, as arrows, each image
#' with its colour key. By default the grid is drawn north-up, as
#' `terra::plot()` draws a raster and as the matrix prints: row 1 at the
#' top, columns from left to right. The axes are in units of `spacing`,
#' measured from the first row and the first column; the slopes are per
#' unit of `spacing`.
#'
#' @param x an [orvel_fit()] or [orvel_holdout()] result.
#' @param spacing node spacing, one number or `c(rows, columns)`; by default
#'   the fit's.
#' @param arrows roughly how many arrows to draw along the longer side; 0
#'   for none. Arrows shorter than a hundredth of an inch (a flat region)
#'   are left out.
#' @param north.up `TRUE` to draw row 1 at the top and the columns from
#'   left to right; `FALSE` for the layout of `image(z)`: rows along the
#'   horizontal axis, columns up the vertical one.
#' @param ... passed to [graphics::image()].
#' @return `x`, invisibly.
#' @export
#' @examples
#' plot(orvel_fit(volcano, orvel_kernel("gaussian", 2)), spacing = 10)
plot.orvel_fit <- function(x, spacing = x$spacing, arrows = 20, north.up = TRUE, ...) {
  s <- orvel_slopes(x, spacing)
  sp <- .orvel_check_pair(spacing, "spacing")
  north.up <- .orvel_check_flag(north.up, "north.up")
  if (!is.numeric(arrows) || length(arrows) != 1L || !is.finite(arrows) || arrows < 0)
    .orvel_stop("`arrows` must be one number, 0 or more, not %s", .orvel_given(arrows))
  d <- dim(x$F)
  g <- sqrt(s$rows^2 + s$columns^2)
  # Node positions along the rows and the columns, and the display's axes:
  # the columns across and the rows down (a reversed vertical axis), or the
  # rows across and the columns up.
  pos <- list((seq_len(d[1L]) - 1) * sp[1L], (seq_len(d[2L]) - 1) * sp[2L])
  ax <- if (north.up) c(2L, 1L) else c(1L, 2L)
  lim <- lapply(1:2, function(k) c(-0.5, d[k] - 0.5) * sp[k])
  if (north.up) lim[[1L]] <- rev(lim[[1L]])
  side <- c("rows", "columns")
  old <- graphics::par(mfrow = c(1L, 1L), mar = c(3, 3, 2, 0.4), mgp = c(1.8, 0.6, 0))
  on.exit(graphics::par(old))
  graphics::layout(matrix(1:4, 1L), widths = c(1, graphics::lcm(1.6), 1, graphics::lcm(1.6)))
  panel <- function(m, col, main, extra) {
    zlim <- .orvel_zlim(m)
    graphics::image(pos[[ax[1L]]], pos[[ax[2L]]], if (north.up) t(m) else m, col = col,
                    zlim = zlim, xlim = lim[[ax[1L]]], ylim = lim[[ax[2L]]], asp = 1,
                    xlab = sprintf("%s (units of spacing)", side[ax[1L]]),
                    ylab = sprintf("%s (units of spacing)", side[ax[2L]]),
                    main = main, useRaster = TRUE, ...)
    extra()
    .orvel_key(zlim, col)
  }
  panel(x$F, grDevices::hcl.colors(64, "Terrain"), "smooth F (units of z)", function() {
    if (.orvel_spread(x$F))
      graphics::contour(pos[[ax[1L]]], pos[[ax[2L]]], if (north.up) t(x$F) else x$F, add = TRUE,
                        drawlabels = FALSE, col = "grey30", nlevels = 8)
  })
  panel(g, grDevices::hcl.colors(64, "Inferno"), "slope (z per unit of spacing)", function()
    if (arrows > 0) .orvel_arrows(s, g, pos, sp, d, arrows, ax))
  invisible(x)
}

# Colour limits of an image: the range of the finite values, widened when
# they are absent or equal to within rounding (a plane's slopes), which no
# key could label.
.orvel_zlim <- function(m) {
  f <- m[is.finite(m)]
  if (!length(f)) return(c(0, 1))
  r <- range(f)
  if (.orvel_spread(f)) return(r)
  mean(r) + c(-1, 1) * max(abs(mean(r)) / 10, 1)
}

# Whether the finite values of m span more than rounding (and less than
# the largest double, which no axis or contour can divide).
.orvel_spread <- function(m) {
  f <- m[is.finite(m)]
  if (!length(f)) return(FALSE)
  d <- max(f) - min(f)
  is.finite(d) && d > 1e-9 * max(abs(f))
}

# A colour key for the image just drawn, in the next panel of the layout.
.orvel_key <- function(zlim, col) {
  mar <- graphics::par("mar")
  on.exit(graphics::par(mar = mar))
  graphics::par(mar = c(mar[1L], 0.3, mar[3L], 2.8))
  at <- seq(zlim[1L], zlim[2L], length.out = length(col) + 1L)
  graphics::plot.new()
  graphics::plot.window(c(0, 1), zlim, xaxs = "i", yaxs = "i")
  graphics::rect(0, at[-length(at)], 1, at[-1L], col = col, border = NA)
  graphics::axis(4L, las = 1L, cex.axis = 0.8)
  graphics::box()
}

# The gradient's arrows on a lattice of about `n` along the longer side,
# centred on the grid, `ax` the display's axes (see plot.orvel_fit()).
.orvel_arrows <- function(s, g, pos, sp, d, n, ax) {
  step <- max(d * sp) / n
  at <- lapply(1:2, function(k) .orvel_lattice(d[k], max(1L, round(step / sp[k]))))
  ij <- as.matrix(expand.grid(at[[1L]], at[[2L]]))
  gg <- g[ij]
  ok <- is.finite(gg)
  if (!any(ok) || max(gg[ok]) == 0) return(invisible())
  len <- 0.8 * step / max(gg[ok])
  from <- cbind(pos[[1L]][ij[, 1L]], pos[[2L]][ij[, 2L]])
  by <- cbind(len * s$rows[ij], len * s$columns[ij])
  # Inches per unit of distance (the same on both axes: asp = 1).
  inch <- graphics::par("pin")[1L] / abs(diff(graphics::par("usr")[1:2]))
  ok <- ok & sqrt(rowSums(by^2)) * inch > 0.01
  if (any(ok))
    graphics::arrows(from[ok, ax[1L]], from[ok, ax[2L]], from[ok, ax[1L]] + by[ok, ax[1L]],
                     from[ok, ax[2L]] + by[ok, ax[2L]], length = 0.04, col = "white")
  invisible()
}

# Every `step`-th of n nodes, centred; the middle node when step >= n.
.orvel_lattice <- function(n, step) {
  if (step >= n) return((n + 1L) %/% 2L)
  seq(1L + ((n - 1L) %% step) %/% 2L, n, by = step)
}
