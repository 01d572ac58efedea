# Choosing the kernel under stationary correlated noise of covariance C:
# the risk RSS/n - tr(C)/n + 2 tr(LC)/n over the n nodes compared, an
# unbiased estimate of the mean squared error of the smooth against the
# true surface (Mallows' C_L with correlated errors; Opsomer, Wang and Yang
# 2001). tr(LC) is the sum over the nodes of each node's smoothing weights
# against the noise's covariance with the node, once per window shape
# where nothing is missing.

# The pilot whose residuals the noise is estimated from: a quadratic on
# a Gaussian of bandwidth 2 (13 x 13), narrow enough to leave little bias
# on a smooth surface and wide enough that its residuals keep most of the
# noise's correlation.
.orvel_pilot_kernel <- function() orvel_kernel("gaussian", 2)

# The noise of grid z, estimated from the pilot's residuals (see
# orvel_noise()).
.orvel_select_noise <- function(z, na.rm) {
  pilot <- .orvel_fit(z, .orvel_model(.orvel_pilot_kernel(), 2L, na.rm), 1, FALSE, FALSE, 1L, NULL)
  orvel_noise(pilot)
}

# sum over the nodes flagged in `keep` (a logical vector over z) of the
# smooth's weights against the noise's covariance with the node, for the
# model (kernel, degree, na.rm) `model`.
.orvel_trace_LC <- function(z, model, noise, keep) {
  d <- dim(z)
  at <- which(keep)
  if (!length(at)) return(NaN)
  iy <- (at - 1L) %% d[1L] + 1L
  ix <- (at - 1L) %/% d[1L] + 1L
  obj <- list(kernel = model$kernel, data = z, spacing = c(1, 1), degree = model$degree,
              holdout = FALSE, na.rm = model$narm)
  t <- .orvel_each_window(obj, iy, ix, 1L, function(W)
    sum(W$A[1L, ] * .orvel_noise_cov(noise, W$dy, W$dx)), ok = rep(TRUE, length(at)))
  sum(t)
}

# The risk of each candidate (rows of `grid`, with `rss` their residual sums
# of squares over the `common` nodes flagged in `can`).
.orvel_select_risk <- function(z, models, rss, can, common, noise) {
  keep <- .Call(C_orvel_flags_read, can)
  vapply(seq_along(models), function(i) {
    if (!is.finite(rss[i])) return(NaN)
    (rss[i] - common * noise$variance + 2 * .orvel_trace_LC(z, models[[i]], noise, keep)) / common
  }, 0)
}
