# Simultaneous confidence bands: a band of half-width q * se that covers a
# coefficient at every node at once (or the surface at every position
# asked) with the stated probability. The fit is linear, so the fit of a
# fresh draw of the noise alone is the estimate's error; q is the level's
# quantile of the largest |error| / se over the nodes, from `nsim` such
# draws fitted like the data (the same kernel, degree and missing values).
# Under independent noise the draws have unit variance and se is taken at
# sigma-hat = 1; under stationary noise (fit$noise) they are drawn from
# its covariance by circulant embedding (Dietrich and Newsam 1997) and se
# is the fit's own.

# A function that returns one draw of the noise over a grid of dimensions
# d: independent N(0, 1), or of covariance `noise` (see orvel_noise()),
# from a torus twice the grid's size whose covariance is that of `noise`
# at every lag the grid holds (eigenvalues below zero, which only a
# rounding or a long range leaves, taken as zero). Draws come in pairs
# (the two parts of one transform).
.orvel_noise_sampler <- function(d, noise) {
  if (is.null(noise)) return(function() matrix(stats::rnorm(prod(d)), d[1L], d[2L]))
  m <- 2L * d
  lag <- function(n) c(0:(n %/% 2L), -((n - 1L) %/% 2L):-1L)
  cv <- outer(lag(m[1L]), lag(m[2L]), function(a, b) .orvel_noise_cov(noise, a, b))
  lam <- pmax(Re(stats::fft(cv)), 0)
  root <- sqrt(lam / prod(m))
  spare <- NULL
  function() {
    if (!is.null(spare)) {
      out <- spare
      spare <<- NULL
      return(out)
    }
    e <- complex(real = stats::rnorm(prod(m)), imaginary = stats::rnorm(prod(m)))
    x <- stats::fft(root * matrix(e, m[1L], m[2L]))
    spare <<- Im(x)[seq_len(d[1L]), seq_len(d[2L])]
    Re(x)[seq_len(d[1L]), seq_len(d[2L])]
  }
}

# The critical values of simultaneous bands of `object` (a fit): for each
# coefficient k of `parm` (numbers), the `level` quantile over `nsim` draws
# of max |coef error| / se over the nodes where the fit has an estimate;
# with `terms`, `node` and `pos_se` (positions' polynomial terms, nearest
# nodes and standard errors, see predict.orvel_fit()) one value for the
# surface at those positions.
.orvel_band_critical <- function(object, parm, level, nsim, terms = NULL, node = NULL, pos_se = NULL) {
  nsim <- .orvel_check_nsim(nsim)
  d <- dim(object$F)
  se <- .orvel_se(object)
  unit <- if (is.null(object$noise)) stats::sigma(object) else 1
  model <- .orvel_model(object$kernel, object$degree, object$na.rm)
  miss <- !is.finite(object$data)
  draw <- .orvel_noise_sampler(d, object$noise)
  threads <- getOption("orvel.threads", orvel_threads())
  if (!is.null(terms)) {
    p <- ncol(terms)
    idx <- cbind(node[rep(seq_len(nrow(node)), p), , drop = FALSE], rep(seq_len(p), each = nrow(node)))
  }
  stat <- matrix(NA_real_, nsim, if (is.null(terms)) length(parm) else 1L)
  for (b in seq_len(nsim)) {
    e <- draw()
    e[miss] <- NA
    f <- .orvel_fit(e, model, object$spacing, object$holdout, FALSE, threads, NULL)
    cb <- coef(f)
    if (is.null(terms)) {
      for (j in seq_along(parm)) {
        k <- parm[j]
        r <- abs(cb[, , k]) / (se[, , k] / unit)
        stat[b, j] <- max(r[is.finite(r)], 0)
      }
    } else {
      pb <- rowSums(terms * matrix(cb[idx], ncol = p))
      r <- abs(pb) / (pos_se / unit)
      stat[b, 1L] <- max(r[is.finite(r)], 0)
    }
  }
  apply(stat, 2L, stats::quantile, probs = level, names = FALSE, type = 8)
}

.orvel_check_nsim <- function(nsim) {
  if (!is.numeric(nsim) || length(nsim) != 1L || !is.finite(nsim) || nsim < 20 || nsim > 1e6 ||
      nsim != round(nsim))
    .orvel_stop("`nsim` must be a whole number from 20 to 1e6, not %s", .orvel_given(nsim))
  as.integer(nsim)
}
