# Inference for the fits: the statistics of a linear smoother and R's
# model generics.
#
# Every output of a fit is a fixed linear combination of the observations,
# F = L z, with weights that depend on the kernel, the degree and each
# window's shape, not on the data. Over the n nodes scored (observation and
# fit finite, the leave-one-out fit determined) the compiled code sums the
# residuals' squares, nu1 = tr L (the hat values L_ii), nu2 = tr L'L (the
# squared norms of the rows of L, each the variance factor of a node's
# smooth) and the squared leave-one-out errors (z_i - F_i) / (1 - L_ii);
# everything below follows from those sums.

#' Statistics, standard errors and model generics of a fit
#'
#' An [orvel_fit()] is a linear smoother: at every node each coefficient is
#' a weighted sum of the observations in the node's window, with weights
#' that depend on the kernel, the degree and how the window is clipped or
#' holed by missing values, but not on the data. Its statistics are those
#' of linear smoothers (Hastie and Tibshirani 1990; Loader 1999, the
#' statistics of the locfit package), computed exactly.
#'
#' With \eqn{L} the smoother matrix (\eqn{F = L z}) and the sums over the
#' \eqn{n} nodes scored (the observation and the fit finite; nodes with
#' missing observations or without a fit are left out):
#' * \eqn{\nu_1 = \mathrm{tr}\,L}{nu1 = tr L}, the equivalent number of
#'   parameters: the sum of the weights each observation has in its own
#'   fit. A kernel that gives the centre all its weight interpolates
#'   (\eqn{\nu_1 = n}{nu1 = n}); a global plane has \eqn{\nu_1 = 3}{nu1 = 3}.
#' * \eqn{\nu_2 = \mathrm{tr}\,L'L}{nu2 = tr L'L}, the sum of the squared
#'   norms of the rows of \eqn{L}.
#' * \eqn{\hat\sigma^2 = RSS / (n - 2\nu_1 + \nu_2)}{sigma^2 = RSS / (n -
#'   2 nu1 + nu2)}, unbiased for the noise variance when the fit has no
#'   bias; `df.residual()` is the denominator.
#' * GCV \eqn{= n \cdot RSS / (n - \nu_1)^2}{= n RSS / (n - nu1)^2}.
#' * AIC \eqn{= n \log(2\pi\,RSS/n) + n + 2(\nu_1 + 1)}{= n log(2 pi RSS /
#'   n) + n + 2 (nu1 + 1)}, R's `AIC()` of the Gaussian log-likelihood
#'   with \eqn{\nu_1 + 1}{nu1 + 1} degrees of freedom (the noise variance
#'   counted); AICc adds \eqn{2(\nu_1 + 1)(\nu_1 + 2) / (n - \nu_1 - 2)}{2
#'   (nu1 + 1) (nu1 + 2) / (n - nu1 - 2)}, which is Hurvich, Simonoff and
#'   Tsai's (1998) criterion on this scale.
#' * CV, the mean squared leave-one-out error, \eqn{(z_i - F_i) / (1 -
#'   L_{ii})}{(z_i - F_i) / (1 - L_ii)} at node i, as [orvel_cv()] gives
#'   it.
#'
#' For a leave-one-out fit ([orvel_holdout()]) the statistics are those of
#' the full fit of the same kernel, recovered from its predictions.
#'
#' **Standard errors.** `orvel_fit(..., se = TRUE)` also returns `se`, an
#' array shaped like [coef()] of the standard errors of every coefficient at
#' every node, in the same units: \eqn{\hat\sigma}{sigma} times the norm of
#' that coefficient's weights. They assume independent noise of one
#' variance; they are conditional on the kernel (not counting that it may
#' have been chosen from the same data), and they leave out the bias, as
#' loess's and locfit's do: they measure how much the estimate would vary
#' with new noise, not how far it is from the true surface, which a wide
#' kernel flattens. At the edges and next to missing values, where fewer
#' observations carry the fit, they are larger (at a corner the slope's
#' is several times the interior's).
#'
#' **Rasters.** A fit of a SpatRaster is a SpatRaster: `se = TRUE` adds a
#' layer of standard errors after each layer (`smooth_se`, `dzdx_se`, ...,
#' in the layers' map units; see [orvel_rasters]), with
#' \eqn{\hat\sigma}{sigma} from a first pass over the whole raster, and
#' `terra::extract()` reads the layers at any points, as for any raster.
#'
#' **Pointwise and simultaneous intervals.** `confint()` is pointwise by
#' default: each node's interval covers its coefficient with probability
#' `level`, so over a grid many of them miss (a 95% pointwise band covers
#' every node of a 40 x 35 grid almost never). `type = "simultaneous"`
#' widens them to a band that covers the coefficient at every node at
#' once with probability `level`: the half-width is `q` standard errors,
#' `q` the `level` quantile of the largest |error| / se over the grid
#' among `nsim` fits of simulated noise alone (independent, or drawn from
#' the fitted covariance under `noise = "stationary"`), which are the
#' estimate's errors since the fit is linear. This is the simulation
#' version of the simultaneous bands of linear smoothers (Sun and Loader
#' 1994; Loader 1999, locfit's `scb()`). It uses R's random numbers (set a
#' seed to repeat it), and costs `nsim` fits. `q` is the result's
#' attribute `"critical"`. Bands leave the bias out, as the pointwise
#' intervals do.
#'
#' **Spatially correlated noise.** Elevation models and images usually have
#' noise that is correlated between neighbours. Then leave-one-out CV and
#' GCV choose kernels that are too narrow (the neighbours predict the
#' noise), and the standard errors, which assume independence, are too
#' small: several times, for noise correlated over a node step.
#' [orvel_acf()] shows whether the residuals are correlated beyond what
#' the smoother leaves of independent noise. `orvel_fit(..., noise =
#' "stationary")` estimates a stationary covariance \eqn{C} of the noise
#' (see [orvel_noise()] for the estimator and its references) from the
#' residuals of a pilot fit of the same data (a quadratic on a Gaussian of
#' bandwidth 2), keeps it as `noise`, and gives every coefficient the
#' variance \eqn{a'Ca}{a' C a}, \eqn{a} its weights (once per window
#' shape where nothing is missing); `se`, `vcov()`, `confint()` and
#' `predict()` then hold under it, and `sigma()` and the criteria stay
#' those of the residuals. [orvel_select()] with `noise = "stationary"`
#' chooses the kernel by the risk that accounts for it.
#'
#' @param object an [orvel_fit()] or [orvel_holdout()] result.
#' @param type `"response"`, the observations minus the fitted polynomials'
#'   values (also under `na.policy = "only"`, where `F` keeps the
#'   observations: so the squares of `residuals()` sum to `deviance()`), or
#'   `"loo"`, minus their leave-one-out predictions (for a leave-one-out fit
#'   the two are the same).
#' @param parm coefficients (names or numbers of `coef()`'s third
#'   dimension); all by default.
#' @param level the confidence level.
#' @param type `"pointwise"` (the default) or `"simultaneous"`: see
#'   Pointwise and simultaneous intervals.
#' @param nsim the number of simulated fits behind a simultaneous band.
#' @param ... not used.
#' @return `summary()`: an object with elements `noise` (the fit's model
#'   of correlated noise, or `NULL`), `sigma`, `edf`
#'   (\eqn{c(\nu_1, \nu_2)}{c(nu1, nu2)}), `df.residual`, `gcv`, `aic`,
#'   `aicc`, `cv`, `n` (nodes scored) and `nodes` (all nodes), and a table
#'   of the fit's ranges. `sigma()`, `nobs()`, `df.residual()`,
#'   `deviance()` (the residual sum of squares) and `logLik()` (so `AIC()`
#'   and `BIC()` work) give one number each. `residuals()` a matrix like the
#'   data. `confint()` an array of the grid's rows by its columns by the
#'   coefficients by the two bounds, from the t distribution on
#'   `df.residual()` degrees of freedom.
#' @seealso [predict.orvel_fit()], [vcov.orvel_fit()].
#' @name orvel_inference
#' @examples
#' set.seed(1)
#' z <- volcano + rnorm(length(volcano), sd = 5)
#' fit <- orvel_fit(z, orvel_kernel("gaussian", 1.5), spacing = 10, se = TRUE)
#' summary(fit)
#' sigma(fit)                       # near the true 5
#' AIC(fit)
#' # the slope's standard error is larger at a corner than inside
#' fit$se[c(1, 40), c(1, 30), "y"]
#' ci <- confint(fit, "y")
#' dim(ci)
#' band <- confint(fit, "(Intercept)", type = "simultaneous", nsim = 100)
#' attr(band, "critical")           # standard errors, against qnorm(0.975) pointwise
NULL

# c(rss, n, nu1, nu2, cvss, zmax, sigma, scale) of a fit (see
# .orvel_stats_grid()): kept from a fit with se = TRUE, else computed (a fit
# of the same model without its outputs).
.orvel_stats <- function(object) {
  if (!is.null(object$stats)) return(object$stats)
  model <- .orvel_object_model(object)
  .orvel_stats_grid(object$data, model, getOption("orvel.threads", orvel_threads()),
                    holdout = object$holdout)
}

# The criteria from the statistics' sums `s`. The squares' sums are those
# of the data times 2^k (k = s[["scale"]]): the residual sum of squares,
# GCV and CV are theirs times 2^-2k (0 or Inf where the data's own are
# beyond the range of doubles, as for values of 1e-170 or 1e160), the log
# of the residual sum of squares theirs less 2k log 2; `scaled` keeps CV and
# GCV at the sums' scale, for comparing kernels on the same data.
.orvel_criteria <- function(s) {
  n <- s[["n"]]
  k <- s[["scale"]]
  rss <- s[["rss"]]
  nu1 <- s[["nu1"]]
  aic <- n * (log(2 * pi * rss / n) - 2 * k * log(2)) + n + 2 * (nu1 + 1)
  gcv <- n * rss / (n - nu1)^2
  cv <- s[["cvss"]] / n
  list(sigma = s[["sigma"]], edf = c(nu1 = nu1, nu2 = s[["nu2"]]),
       df.residual = n - 2 * nu1 + s[["nu2"]], rss = .orvel_times2(rss, -2 * k),
       gcv = .orvel_times2(gcv, -2 * k), aic = aic,
       aicc = if (n - nu1 - 2 > 0) aic + 2 * (nu1 + 1) * (nu1 + 2) / (n - nu1 - 2) else Inf,
       cv = .orvel_times2(cv, -2 * k), n = n, scaled = c(cv = cv, gcv = gcv), scale = k)
}

# x times 2^e for whole e up to twice the range of doubles' exponents,
# in three steps so that no factor leaves that range (exact unless the
# result does).
.orvel_times2 <- function(x, e) {
  if (e == 0) return(x)
  a <- e %/% 3
  b <- (e - a) %/% 2
  x * 2^a * 2^b * 2^(e - a - b)
}

# Whether the statistics `s` were summed at a power of two that left the
# largest |z| beyond 2^256 or below 2^-256 (the blocks of a raster take the
# first block's): NULL if not, else the one that brings it near 1.
.orvel_sums_rescale <- function(s) {
  big <- .orvel_times2(s[["zmax"]], s[["scale"]])
  if (!is.finite(big) || big == 0 || (big >= 2^-256 && big <= 2^256)) return(NULL)
  -floor(log2(s[["zmax"]]))
}

#' @rdname orvel_inference
#' @export
summary.orvel_fit <- function(object, ...) {
  s <- orvel_slopes(object)
  res <- stats::residuals(object)
  ranges <- function(m) {
    ok <- is.finite(m)
    c(stats::quantile(m[ok], names = FALSE), mean = mean(m[ok]), `not finite` = sum(!ok))
  }
  tab <- rbind(F = ranges(object$F), `slope, row index` = ranges(s$rows),
               `slope, column index` = ranges(s$columns), residual = ranges(res))
  colnames(tab)[1:5] <- c("min", "q1", "median", "q3", "max")
  structure(c(list(dim = dim(object$F), kind = .orvel_fit_kind(object),
                   spacing = object$spacing, kernel = object$kernel, table = tab,
                   nodes = length(object$F), noise = object$noise),
              .orvel_criteria(.orvel_stats(object))),
            class = "summary.orvel_fit")
}

#' @export
print.summary.orvel_fit <- function(x, digits = max(3L, getOption("digits") - 3L), ...) {
  cat(sprintf("orvel %s of a %d x %d grid, node spacing %s\n", x$kind, x$dim[1L], x$dim[2L],
              paste(format(x$spacing), collapse = " x ")))
  cat("kernel: ", .orvel_kernel_line(x$kernel), "\n\n", sep = "")
  print(signif(x$table, digits))
  cat("(slopes per unit of spacing, along increasing row index and along increasing column index)\n\n")
  f <- function(v) format(v, digits = digits)
  cat(sprintf("residual standard error (sigma): %s on %s residual degrees of freedom\n",
              f(x$sigma), f(x$df.residual)))
  cat(sprintf("equivalent parameters: tr L = %s, tr L'L = %s\n", f(x$edf[[1L]]), f(x$edf[[2L]])))
  cat(sprintf("GCV %s, leave-one-out CV %s, AIC %s, AICc %s\n", f(x$gcv), f(x$cv), f(x$aic),
              f(x$aicc)))
  cat(sprintf("over %.0f of %.0f nodes%s\n", x$n, x$nodes,
              if (x$n < x$nodes) " (nodes with a missing observation or no fit left out)" else ""))
  if (!is.null(x$noise))
    cat(sprintf("standard errors under stationary noise: %s correlation, range %s node steps, sd %s\n",
                x$noise$family, f(x$noise$range), f(sqrt(x$noise$variance))))
  invisible(x)
}

#' @rdname orvel_inference
#' @export
sigma.orvel_fit <- function(object, ...) .orvel_stats(object)[["sigma"]]

#' @rdname orvel_inference
#' @export
nobs.orvel_fit <- function(object, ...) .orvel_stats(object)[["n"]]

#' @rdname orvel_inference
#' @export
df.residual.orvel_fit <- function(object, ...) .orvel_criteria(.orvel_stats(object))$df.residual

#' @rdname orvel_inference
#' @export
deviance.orvel_fit <- function(object, ...) .orvel_criteria(.orvel_stats(object))$rss

#' @rdname orvel_inference
#' @export
logLik.orvel_fit <- function(object, ...) {
  s <- .orvel_stats(object)
  n <- s[["n"]]
  structure(-n / 2 * (log(2 * pi * s[["rss"]] / n) - 2 * s[["scale"]] * log(2) + 1),
            df = s[["nu1"]] + 1, nobs = n,
            class = "logLik")
}

#' @export
fitted.orvel_fit <- function(object, ...) object$F

#' @rdname orvel_inference
#' @export
residuals.orvel_fit <- function(object, type = c("response", "loo"), ...) {
  type <- .orvel_choose(type, c("response", "loo"), "type")
  f <- .orvel_poly_F(object)
  if (type == "loo" && !object$holdout) {
    model <- .orvel_object_model(object)
    f <- .orvel_fit_grid(object$data, model, TRUE, getOption("orvel.threads", orvel_threads()))$F
  }
  r <- object$data - f
  dimnames(r) <- dimnames(object$F)
  r
}

# The fitted polynomials' values at the nodes: the smooth F, but with
# na.policy = "only", where F keeps the observations, the fit recomputed.
.orvel_poly_F <- function(object) {
  if (!identical(object$na.policy, "only")) return(object$F)
  model <- .orvel_model(object$kernel, object$degree, object$na.rm)
  f <- .orvel_fit_grid(object$data, model, object$holdout, getOption("orvel.threads", orvel_threads()))$F
  dimnames(f) <- dimnames(object$F)
  f
}

# coef() with the intercept of the fitted polynomial at every node (see
# .orvel_poly_F()): what intervals are centred on.
.orvel_coef_poly <- function(object) {
  b <- coef(object)
  if (identical(object$na.policy, "only")) b[, , 1L] <- .orvel_poly_F(object)
  b
}

# The standard errors of a fit: kept from se = TRUE, else computed.
.orvel_se <- function(object) {
  if (!is.null(object$se)) return(object$se)
  if (!is.null(object$noise)) return(.orvel_se_noise(object, object$noise))
  model <- .orvel_object_model(object, policy = TRUE)
  .orvel_fit(object$data, model, object$spacing, object$holdout, TRUE,
             getOption("orvel.threads", orvel_threads()), object$call,
             weights = model$weights)$se
}

#' @rdname orvel_inference
#' @export
confint.orvel_fit <- function(object, parm, level = 0.95, type = c("pointwise", "simultaneous"),
                              nsim = 1000, ...) {
  if (!is.numeric(level) || length(level) != 1L || !is.finite(level) || level <= 0 || level >= 1)
    .orvel_stop("`level` must be one number between 0 and 1 (exclusive), not %s", .orvel_given(level))
  b <- .orvel_coef_poly(object)
  se <- .orvel_se(object)
  if (!missing(parm)) {
    nm <- dimnames(b)[[3L]]
    ok <- (is.character(parm) && all(parm %in% nm)) ||
      (is.numeric(parm) && all(parm %in% seq_along(nm)))
    if (!ok)
      .orvel_stop("`parm` must name coefficients of the fit (%s) or number them (1 to %d), not %s",
                  paste0('"', nm, '"', collapse = ", "), length(nm),
                  if (is.atomic(parm) && !is.object(parm) && length(parm) > 1L && length(parm) <= 6L)
                    paste0("c(", paste(vapply(parm, .orvel_given, ""), collapse = ", "), ")")
                  else .orvel_given(parm))
    b <- b[, , parm, drop = FALSE]
    se <- se[, , parm, drop = FALSE]
  }
  band <- .orvel_choose(type, c("pointwise", "simultaneous"), "type")
  a <- (1 - level) / 2
  q <- stats::qt(1 - a, max(1, stats::df.residual(object)))
  if (band == "simultaneous") {
    k <- match(dimnames(b)[[3L]], dimnames(coef(object))[[3L]])
    q <- rep(.orvel_band_critical(object, k, level, nsim), each = prod(dim(b)[1:2]))
  }
  pct <- paste(format(100 * c(a, 1 - a), trim = TRUE, scientific = FALSE, digits = 3), "%")
  out <- array(c(b - q * se, b + q * se), c(dim(b), 2L),
               dimnames = c(dimnames(b), list(pct)))
  if (band == "simultaneous") attr(out, "critical") <- stats::setNames(unique(q), dimnames(b)[[3L]])
  out
}
