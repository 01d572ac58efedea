# Observation weights and robust fits of matrices. A weighted model is the
# model of .orvel_model() with `weights`, a matrix like the grid: the fit
# then goes through the weighted least squares of src/weighted.c, node by
# node, with the weight K(dy, dx) w of each neighbour. The variance model is
# weighted least squares': errors of variance sigma^2 / w.

# The observation weights `weights` for the grid `z` (a checked matrix):
# NULL, or a double matrix of z's dimensions, every weight finite and
# non-negative, not all zero.
.orvel_check_weights <- function(weights, z) {
  if (is.null(weights)) return(NULL)
  if (!is.matrix(weights) || !(is.double(weights) || is.integer(weights) || is.logical(weights)))
    .orvel_stop("`weights` must be NULL or a numeric matrix like `z`, not %s", .orvel_what(weights))
  if (!identical(dim(weights), dim(z)))
    .orvel_stop("`weights` must have the dimensions of `z` (%d x %d), not %d x %d",
                nrow(z), ncol(z), nrow(weights), ncol(weights))
  w <- unclass(weights)
  storage.mode(w) <- "double"
  if (anyNA(w) || any(!is.finite(w)) || any(w < 0))
    .orvel_stop("`weights` must be finite and non-negative (0 leaves a cell out); %d are not",
                sum(!is.finite(w) | (is.finite(w) & w < 0)))
  if (!any(w > 0)) .orvel_stop("`weights` are all zero: nothing to fit")
  dimnames(w) <- NULL
  w
}

# The weighted fit of the checked grid `z` under `model` (with `weights`):
# what .orvel_fit_grid() returns, the statistics always, and with `unit`
# the standard errors.
.orvel_wfit_grid <- function(z, model, holdout, threads, unit = NULL) {
  if (!is.double(z)) storage.mode(z) <- "double"
  se <- !is.null(unit)
  r <- .Call(C_orvel_wfit_grid, z, model$weights, model$K, model$degree, holdout, model$narm,
             threads, if (se) 2L else 1L, unit)
  names(r) <- c("F", "gFx", "gFy", if (model$degree == 2L) "Q", if (se) "se")
  r
}

# The model of a fit object, with its weights (the prior weights times the
# robustness weights of a robust fit) where it has them.
.orvel_object_model <- function(object, policy = FALSE) {
  model <- if (policy) .orvel_model(object$kernel, object$degree, object$na.rm, object$na.policy)
           else .orvel_model(object$kernel, object$degree, object$na.rm)
  model$weights <- object$weights
  model
}

# Constants of the robust fits, as in loess(family = "symmetric"): this
# many fits in all (the first and one after each reweighting), residuals
# scaled by this many times their median absolute value.
.orvel_robust_fits <- 4L
.orvel_robust_c <- 6

# The bisquare robustness weights of the residuals r (NA where there is
# none): B(r / (6 m)), m the median absolute residual, B(u) = (1 - u^2)^2
# for |u| < 1 and 0 beyond; 1 where r is NA (a cell the fit leaves out
# anyway), and all 1 when m is 0 (more than half the cells fitted exactly).
.orvel_bisquare <- function(r) {
  a <- abs(r)
  m <- stats::median(a[is.finite(a)])
  w <- rep(1, length(r))
  if (!is.finite(m) || m == 0) return(w)
  u <- a / (.orvel_robust_c * m)
  ok <- is.finite(u)
  w[ok] <- ifelse(u[ok] < 1, (1 - u[ok]^2)^2, 0)
  w
}

# The robustness weights of the checked grid `z` under `model` (its
# `weights` the prior ones, or NULL for all 1): the weights of the last of
# .orvel_robust_fits full fits, each with the prior weights times the
# bisquare weights of the residuals of the fit before. A matrix like z.
.orvel_robustness <- function(z, model, threads) {
  prior <- if (is.null(model$weights)) array(1, dim(z)) else model$weights
  rw <- array(1, dim(z))
  m <- model
  for (it in seq_len(.orvel_robust_fits - 1L)) {
    m$weights <- prior * rw
    f <- .orvel_wfit_grid(z, m, FALSE, threads)$F
    r <- z - f
    r[!(prior > 0)] <- NA
    rw[] <- .orvel_bisquare(r)
    # A cell whose residual is fitted out entirely leaves the grid's
    # weights all zero only if every cell is an outlier: keep the last
    # weights that fit something.
    if (!any(prior * rw > 0)) {
      rw[] <- 1
      break
    }
  }
  rw
}
