#' Leave-one-out cross-validation score of a kernel
#'
#' Predicts every node from its neighbours alone with [orvel_holdout()] and
#' averages the squared prediction errors.
#'
#' Where the exact engine fits the model (a plane on at most 7 x 7, no
#' missing value in the window) the predictions are those of the fitting
#' library's leave-one-out fit; elsewhere they come from the full fit by
#' the identity of linear smoothers, \eqn{z_i - (z_i - F_i) / (1 -
#' L_{ii})}{z_i - (z_i - F_i) / (1 - L_ii)}, \eqn{L_{ii}}{L_ii} the weight
#' of node i's own observation in its own fit.
#'
#' @inheritParams orvel_fit
#' @return The mean squared difference between each observation and its
#'   leave-one-out prediction, over the nodes where the observation is not
#'   missing and the prediction exists (see [orvel_fit()] for when it does
#'   not); `NaN` when there is no such node.
#' @seealso [orvel_select()] to compare many kernels.
#' @export
#' @examples
#' z <- volcano + rnorm(length(volcano), sd = 5)
#' orvel_cv(z, orvel_kernel("gaussian", 1))
#' orvel_cv(z, orvel_kernel("gaussian", 2))
#' orvel_cv(z, orvel_kernel("gaussian", 4), degree = 2)
orvel_cv <- function(z, kernel = orvel_kernel(), degree = 1, na.rm = FALSE, ...,
                     threads = getOption("orvel.threads", orvel_threads())) {
  UseMethod("orvel_cv")
}

#' @rdname orvel_cv
#' @export
orvel_cv.default <- function(z, kernel = orvel_kernel(), degree = 1, na.rm = FALSE, ...,
                             threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  .orvel_cv_score(.orvel_cv_scorer(.orvel_check_z(z), threads),
                  .orvel_model(kernel, if (!missing(degree)) degree, na.rm))
}

# A function of a model (and of `keep`, `can`: see .orvel_stats_grid())
# giving its scores (see .orvel_score()) over `z`; the methods of orvel_cv()
# and orvel_select() differ only in it. `cells` is the number of nodes.
.orvel_cv_scorer <- function(z, threads) {
  threads <- .orvel_check_threads(threads)
  structure(function(model, keep = NULL, can = NULL) {
    s <- .orvel_stats_grid(z, model, threads, keep, can)
    # Values near the ends of double precision: the nodes whose prediction
    # the sums lost (scored at a scale near 1, not at this one).
    k <- .orvel_rescale(s[["zmax"]])
    if (!is.null(k)) {
      n <- .orvel_stats_grid(.orvel_scale2(z, k), model, threads, keep)[["n"]]
      if (n > s[["n"]])
        .orvel_warn_overflow(n - s[["n"]], length(z), k, s[["zmax"]],
                             min(abs(z[is.finite(z) & z != 0]), Inf))
    }
    .orvel_score(s)
  }, cells = length(z))
}

# c(cv, gcv, aicc, edf, nodes, cv.scaled, gcv.scaled, scale) from the
# statistics' sums (NaN without nodes): cv.scaled and gcv.scaled at the
# sums' power of two `scale` (see .orvel_criteria()).
.orvel_score <- function(s) {
  if (s[["n"]] == 0)
    return(c(cv = NaN, gcv = NaN, aicc = NaN, edf = NaN, nodes = 0, cv.scaled = NaN,
             gcv.scaled = NaN, scale = s[["scale"]], rss = NaN))
  k <- .orvel_criteria(s)
  c(cv = k$cv, gcv = k$gcv, aicc = k$aicc, edf = k$edf[[1L]], nodes = k$n,
    cv.scaled = k$scaled[["cv"]], gcv.scaled = k$scaled[["gcv"]], scale = k$scale, rss = k$rss)
}

.orvel_cv_score <- function(scorer, model) unname(scorer(model)[1L])

# The candidate bandwidths as a two-column matrix (rows, columns).
.orvel_candidates <- function(bandwidths, type) {
  if (is.null(bandwidths)) {
    b <- orvel_bandwidths(type)
    return(cbind(b, b))
  }
  ok <- is.numeric(bandwidths) && !is.object(bandwidths) && length(bandwidths) > 0L &&
    (is.null(dim(bandwidths)) || is.matrix(bandwidths) && ncol(bandwidths) == 2L)
  if (!ok)
    .orvel_stop("`bandwidths` must be a vector of positive numbers or a two-column matrix of (rows, columns) pairs, not %s",
                .orvel_what(bandwidths))
  if (any(!is.finite(bandwidths)) || any(bandwidths <= 0))
    .orvel_stop("`bandwidths` must be positive and finite, not %s",
                paste(format(bandwidths[!is.finite(bandwidths) | bandwidths <= 0][1L]), collapse = ""))
  b <- as.double(bandwidths)
  if (is.matrix(bandwidths)) matrix(b, ncol = 2L) else cbind(b, b)
}

#' Choose a kernel by cross-validation, GCV or AICc
#'
#' Scores every candidate kernel and picks the one with the smallest
#' `criterion`: leave-one-out cross-validation ([orvel_cv()]), generalised
#' cross-validation or AICc (see [orvel_inference] for their definitions).
#' All three are computed for every candidate and shown in the table. All
#' three assume independent noise: with spatially correlated noise, as in
#' most elevation models and images, they prefer kernels that are too
#' narrow (with noise correlated over a node step on `volcano`, the
#' smallest candidate, at 2.6 to 3.6 times the best one's mean squared
#' error). [orvel_acf()] shows whether the residuals are correlated.
#'
#' **Correlated noise.** With `noise = "stationary"` the noise's
#' covariance \eqn{C} is estimated once from the residuals of a pilot fit
#' (a quadratic on a Gaussian of bandwidth 2; see [orvel_noise()] for the
#' estimator, after Francisco-Fernández and Opsomer 2005), and every
#' candidate gets the `risk` \eqn{RSS/n - \mathrm{tr}(C)/n + 2\,
#' \mathrm{tr}(LC)/n}{RSS/n - tr(C)/n + 2 tr(LC)/n} over the common nodes,
#' an estimate of the mean squared error of its smooth against the true
#' surface that accounts for the correlation (Mallows' \eqn{C_L} with
#' correlated errors; Opsomer, Wang and Yang 2001); the choice minimises it
#' unless `criterion` says otherwise. \eqn{\mathrm{tr}(LC)}{tr(LC)} sums
#' each node's smoothing weights against the noise's covariance with it,
#' once per window shape where nothing is missing. On `volcano` with noise
#' correlated over a node step it chose within 1.02 times the best
#' candidate's error (median of 8 seeds, `bench/correlated.R`); under
#' independent noise it chooses as CV does.
#' Candidates are the kernel types in `type` at each of the bandwidths: one
#' bandwidth per candidate for round kernels, or (rows, columns) pairs for
#' kernels stretched along one axis. Each candidate's window is
#' [orvel_kernel()]'s default for its bandwidth (it grows with the
#' bandwidth), or `size`.
#'
#' Candidates are compared on the same nodes: those that every candidate
#' can predict (a compact kernel too narrow for the corners cannot predict
#' them; near missing values fewer nodes can be predicted), so that no
#' candidate is preferred for having been scored on fewer, easier nodes.
#' The number of nodes is in the table and the print-out. The choice is the
#' candidate with the smallest score (the first one on ties). When it is
#' the smallest or the largest bandwidth tried for its type, a warning
#' says the best may lie beyond the candidates. When its window cuts it
#' short (a Gaussian bandwidth beyond the window's half-width, or a compact
#' kernel whose support reaches past the window, as a small `size` can
#' make it), a warning says so: the window then decides the fit more than
#' the bandwidth does. When the candidates share fewer than half of the
#' nodes the best-placed of them can predict (compact kernels narrow for
#' voids, with `na.rm = FALSE`), a warning names the candidates that
#' predict fewest; candidates that predict no node score `NaN` and are
#' named in a warning too.
#'
#' **Selection uncertainty.** The choice is an estimate from the same
#' data: another draw of the noise moves the minimum, often by several
#' candidates where the curve is flat near it, and the scores of
#' neighbouring candidates differ by less than their own sampling error.
#' Standard errors and intervals of a fit with the chosen kernel (see
#' [orvel_inference]) are conditional on it and do not count this
#' variability; they are somewhat optimistic for a kernel chosen from the
#' data.
#'
#' @inheritParams orvel_fit
#' @param type one or more kernel types (see [orvel_kernel()]).
#' @param bandwidths candidate bandwidths in node steps, used for every type:
#'   a numeric vector (round kernels) or a two-column matrix whose rows are
#'   `c(rows, columns)` pairs. `NULL` (the default) takes
#'   [orvel_bandwidths()] of each type.
#' @param size the window of every candidate, as for [orvel_kernel()];
#'   `NULL` for each bandwidth's default.
#' @param criterion `"cv"`, `"gcv"` or `"aicc"` (or with `noise =
#'   "stationary"` also `"risk"`, its default there): what the choice
#'   minimises.
#' @param noise `"iid"` or `"stationary"`: see Correlated noise. For a
#'   matrix; the raster methods take `"iid"` only.
#' @param progress show a progress bar when the search looks like taking
#'   more than a second.
#' @param threads the number of threads to fit on (see [orvel_threads()]).
#' @return An object of class `"orvel_select"`: `table`, a data frame with
#'   one row per candidate (`type`, the bandwidths `rows` and `columns`,
#'   the window's `size`, `cv`, `gcv` and `aicc` over the common nodes,
#'   `edf` the candidate's \eqn{\nu_1 = \mathrm{tr}\,L}{nu1 = tr L} over
#'   them, and `nodes`, the number of nodes the candidate can predict); the
#'   chosen `type`, `bandwidth` (one number, or `c(rows, columns)` when they
#'   differ), `kernel`, `degree`, the `criterion`, its `score` and the
#'   choice's `cv`; `nodes`, the number of nodes the
#'   scores are over; with `noise = "stationary"` also the table's column
#'   `risk` and `noise`, the [orvel_noise()] estimate. It has `print()` and `plot()` methods, and can be
#'   passed as the `kernel` of [orvel_fit()].
#' @export
#' @examples
#' set.seed(1)
#' z <- volcano + rnorm(length(volcano), sd = 5)
#' sel <- orvel_select(z, type = c("gaussian", "tricube"))
#' sel
#' plot(sel)
#' fit <- orvel_fit(z, sel)
#'
#' # Anisotropic candidates: (rows, columns) pairs
#' pairs <- as.matrix(expand.grid(rows = c(1, 1.5, 2), columns = c(1, 1.5, 2)))
#' orvel_select(z, bandwidths = pairs)
orvel_select <- function(z, type = "gaussian", bandwidths = NULL, degree = 1, na.rm = FALSE,
                         size = NULL,
                         criterion = c("cv", "gcv", "aicc"), progress = interactive(), ...,
                         threads = getOption("orvel.threads", orvel_threads()),
                         noise = c("iid", "stationary")) {
  UseMethod("orvel_select")
}

#' @rdname orvel_select
#' @export
orvel_select.default <- function(z, type = "gaussian", bandwidths = NULL, degree = 1,
                                 na.rm = FALSE, size = NULL,
                         criterion = c("cv", "gcv", "aicc"), progress = interactive(), ...,
                                 threads = getOption("orvel.threads", orvel_threads()),
                                 noise = c("iid", "stationary")) {
  .orvel_dots(...)
  z <- .orvel_check_z(z)
  .orvel_select(.orvel_cv_scorer(z, threads), type, bandwidths, degree, na.rm,
                size, criterion, progress, noise = noise, data = z)
}

# The search itself, with `scorer` (see .orvel_cv_scorer()) scoring a model.
.orvel_select <- function(scorer, type, bandwidths, degree, na.rm, size, criterion, progress,
                          noise = "iid", data = NULL) {
  type <- unique(.orvel_type(type))
  noise <- .orvel_choose(noise, c("iid", "stationary"), "noise")
  # Under correlated noise the choice minimises the risk unless told.
  criterion <- if (noise == "stationary" && identical(criterion, c("cv", "gcv", "aicc"))) "risk"
               else .orvel_choose(criterion, c("cv", "gcv", "aicc", if (noise == "stationary") "risk"),
                                  "criterion")
  progress <- .orvel_check_flag(progress, "progress")
  grid <- do.call(rbind, lapply(type, function(t) {
    b <- .orvel_candidates(bandwidths, t)
    data.frame(type = t, rows = b[, 1L], columns = b[, 2L], stringsAsFactors = FALSE)
  }))
  n <- nrow(grid)
  kernels <- lapply(seq_len(n), function(i)
    # (candidates narrower than a common `size` are expected: no message)
    suppressMessages(orvel_kernel(grid$type[i], c(grid$rows[i], grid$columns[i]), size),
                     classes = "orvel_margin_message"))
  models <- lapply(kernels, .orvel_model, degree = degree, na.rm = na.rm)
  grid$size <- vapply(kernels, function(K) paste(dim(K), collapse = " x "), "")
  grid$cv <- grid$gcv <- grid$aicc <- grid$edf <- grid$rss <- NA_real_
  grid$nodes <- NA_real_
  crit <- c("cv", "gcv", "aicc", "edf", "rss")
  # CV and GCV at the power of two the sums were formed at, which the
  # choice compares: the data's own may be 0 or Inf for values such as
  # 1e-170 or 1e160.
  keys <- c("cv.scaled", "gcv.scaled", "scale")
  scaled <- matrix(NA_real_, n, 3L, dimnames = list(NULL, keys))
  bar <- NULL
  t0 <- proc.time()[["elapsed"]]
  # First pass: every candidate's score over the nodes it can predict, and
  # the nodes all of them can (of those that predict any). The flags of
  # the nodes are made and combined in place by compiled code, behind
  # external pointers: no R vector, so no copy of one, changes with them.
  can <- .Call(C_orvel_flags_new, attr(scorer, "cells"))
  mine <- .Call(C_orvel_flags_new, attr(scorer, "cells"))
  for (i in seq_len(n)) {
    s <- scorer(models[[i]], can = mine)
    grid[i, crit] <- s[crit]
    scaled[i, ] <- s[keys]
    grid$nodes[i] <- s[["nodes"]]
    common <- .Call(C_orvel_flags_and, can, mine, grid$nodes[i] > 0)
    # A bar only once the first candidate shows the search will take a while.
    if (i == 1L && progress && n > 1L && (proc.time()[["elapsed"]] - t0) * (n - 1L) > 1)
      bar <- utils::txtProgressBar(min = 0, max = n, style = 3)
    if (!is.null(bar)) utils::setTxtProgressBar(bar, i)
  }
  if (!is.null(bar)) close(bar)
  grid$nodes <- .orvel_count(grid$nodes)
  if (all(grid$nodes == 0))
    .orvel_stop("no candidate kernel can predict any node; try larger `bandwidths` or check `z` for missing values")
  # Second pass, for the candidates that predict more nodes than all do:
  # their scores over the common ones.
  if (common == 0L)
    .orvel_stop("no node can be predicted by every candidate kernel; try fewer candidates, larger `bandwidths` or `na.rm = TRUE`")
  for (i in which(grid$nodes > common)) {
    s <- scorer(models[[i]], keep = can)
    grid[i, crit] <- s[crit]
    scaled[i, ] <- s[keys]
  }
  .orvel_warn_common(grid, common)
  est <- NULL
  if (noise == "stationary") {
    est <- .orvel_select_noise(data, na.rm)
    grid$risk <- .orvel_select_risk(data, models, grid$rss, can, common, est)
  }
  grid$rss <- NULL
  best <- which.min(if (criterion == "risk") grid$risk else .orvel_select_key(grid, scaled, criterion))
  bw <- c(grid$rows[best], grid$columns[best])
  same <- grid$type == grid$type[best]
  span <- range(pmax(grid$rows[same], grid$columns[same]))
  if (sum(same) > 1L && max(bw) %in% span)
    warning(sprintf(paste0(
      "the chosen bandwidth %s is the %s %s candidate: the best may lie %s; ",
      "try `bandwidths` reaching further"),
      paste(format(bw), collapse = " x "), if (max(bw) == span[2L]) "largest" else "smallest",
      grid$type[best], if (max(bw) == span[2L]) "beyond it" else "below it"), call. = FALSE)
  # A Gaussian wider than the window's half-width, or a compact kernel whose
  # support reaches past the window, is cut short by the window: the
  # window, not the bandwidth, decides the fit.
  h <- (dim(kernels[[best]]) - 1L) %/% 2L
  cut <- if (grid$type[best] == "gaussian") bw > h else bw > h + 1L
  if (any(cut))
    warning(sprintf(paste0(
      "the chosen %s kernel (bandwidth %s) is cut short by its %s window: ",
      "its %s beyond the window's half-width of %s %s; ",
      "give a larger `size`, or `size = NULL` for each bandwidth's own window"),
      grid$type[best], paste(format(unique(bw)), collapse = " x "), grid$size[best],
      if (grid$type[best] == "gaussian") "bandwidth reaches" else "weights reach",
      paste(unique(h[cut]), collapse = " and "),
      if (all(h[cut] == 1L)) "node step" else "node steps"), call. = FALSE)
  if (bw[1L] == bw[2L]) bw <- bw[1L]
  structure(c(list(table = grid, type = grid$type[best], bandwidth = bw,
                 kernel = kernels[[best]], degree = as.integer(degree), criterion = criterion,
                 score = grid[[criterion]][best], cv = grid$cv[best],
                 nodes = .orvel_count(common)), if (!is.null(est)) list(noise = est)),
            class = "orvel_select")
}

# Warns when the candidates of table `grid` are compared on fewer than half
# of the nodes the best-placed of them can predict (`common` the nodes all
# of them can), naming those that cut the common nodes down: the ones that
# predict fewer than half themselves, or else the fewest-placed; and names
# the candidates that predict no node at all (NaN in the table).
.orvel_warn_common <- function(grid, common) {
  label <- function(i) sprintf("%s %s (%s)", grid$type[i],
                               ifelse(grid$rows[i] == grid$columns[i], format(grid$rows[i]),
                                      paste(format(grid$rows[i]), "x", format(grid$columns[i]))),
                               grid$size[i])
  some <- grid$nodes > 0
  none <- which(!some)
  if (length(none))
    warning(sprintf("%d candidate%s predict%s no node and score%s NaN: %s", length(none),
                    if (length(none) > 1L) "s" else "", if (length(none) > 1L) "" else "s",
                    if (length(none) > 1L) "" else "s", paste(label(none), collapse = ", ")),
            call. = FALSE)
  most <- max(grid$nodes)
  if (common >= most / 2) return(invisible())
  few <- which(some & grid$nodes < most / 2)
  if (!length(few)) few <- which(some & grid$nodes == min(grid$nodes[some]))
  few <- few[order(grid$nodes[few])]
  warning(sprintf(paste0(
    "the candidates are compared on %.0f nodes, fewer than half of the %.0f the best-placed of them ",
    "can predict; fewest nodes: %s; leave %s out, or try `na.rm = TRUE`"),
    common, most, paste(sprintf("%s on %.0f", label(few), grid$nodes[few]), collapse = ", "),
    if (length(few) > 1L) "them" else "it"), call. = FALSE)
  invisible()
}

# What orvel_select() minimises over the candidates of table `grid`: AICc,
# or CV or GCV at the power of two of their sums (`scaled`, see
# .orvel_score()), one for all of them since it depends on the data alone;
# were it not, the logs of the data's own.
.orvel_select_key <- function(grid, scaled, criterion) {
  if (criterion == "aicc") return(grid$aicc)
  v <- scaled[, paste0(criterion, ".scaled")]
  k <- scaled[, "scale"]
  if (all(k == k[1L])) v else log(v) - 2 * k * log(2)
}

# Counts of nodes: integers where all of them are, else doubles (a grid
# may have more than .Machine$integer.max nodes), which hold whole numbers
# exactly up to 2^53.
.orvel_count <- function(n) {
  if (all(n <= .Machine$integer.max)) as.integer(n) else as.double(n)
}

# The criteria's names in print-outs, and on a plot's axis.
.orvel_crit_label <- c(cv = "leave-one-out CV", gcv = "GCV", aicc = "AICc",
                       risk = "risk under correlated noise")
.orvel_crit_axis <- c(cv = "mean squared LOO error", gcv = "generalised cross-validation",
                      aicc = "AICc", risk = "estimated mean squared error")

#' @export
print.orvel_select <- function(x, ...) {
  cat(sprintf("orvel_select: %s kernel, bandwidth %s, %s window, degree %d (%s %.6g)\n",
              x$type, paste(format(x$bandwidth), collapse = " x "),
              paste(dim(x$kernel), collapse = " x "), x$degree,
              .orvel_crit_label[[x$criterion]], x$score))
  cat(sprintf("scores over the %.0f nodes every candidate can predict\n", x$nodes))
  cat(sprintf("%d candidates over %s\n", nrow(x$table),
              paste(unique(x$table$type), collapse = ", ")))
  invisible(x)
}

#' Plot a cross-validation search
#'
#' For round kernels, the CV score against the bandwidth, one curve per
#' kernel type; for (rows, columns) candidates, the candidates of the chosen
#' type in the plane of the two bandwidths, shaded by score. The choice is
#' ringed. The legend goes in the corner of the plot that the curves cross
#' least.
#'
#' @param x an [orvel_select()] result.
#' @param log axes drawn on a log scale (round kernels only).
#' @param main title.
#' @param ... passed to [graphics::plot()].
#' @return `x`, invisibly.
#' @export
#' @examples
#' plot(orvel_select(volcano + rnorm(length(volcano), sd = 5)))
plot.orvel_select <- function(x, log = "y", main = .orvel_crit_label[[x$criterion]], ...) {
  crit <- x$criterion
  tab <- x$table[is.finite(x$table[[crit]]), ]
  tab$score <- tab[[crit]]
  if (any(tab$score <= 0)) log <- sub("y", "", log)    # AICc may be negative
  if (all(x$table$rows == x$table$columns)) {
    types <- unique(x$table$type)
    cols <- grDevices::hcl.colors(max(length(types), 2L), "Dark 3")[seq_along(types)]
    graphics::plot(tab$rows, tab$score, type = "n", log = log, main = main,
                   xlab = "bandwidth (node steps)", ylab = .orvel_crit_axis[[crit]], ...)
    for (k in seq_along(types)) {
      s <- tab[tab$type == types[k], ]
      graphics::lines(s$rows, s$score, type = "b", pch = 20, col = cols[k])
    }
    graphics::points(x$bandwidth, x$score, cex = 2.2, lwd = 2)
    if (length(types) > 1L) {
      curves <- lapply(types, function(t) tab[tab$type == t, c("rows", "score")])
      graphics::legend(.orvel_emptiest_corner(curves, types), legend = types, col = cols,
                       lwd = 1, pch = 20, bty = "n")
    }
  } else {
    s <- tab[tab$type == x$type, ]
    pal <- grDevices::hcl.colors(32, "viridis")
    rng <- range(s$score)
    shade <- if (diff(rng) > 0) 1L + round(31 * (s$score - rng[1L]) / diff(rng)) else 1L
    graphics::plot(s$rows, s$columns, pch = 15, cex = 3, col = pal[shade], main = main,
                   sub = sprintf("%s kernel: %s %.4g (dark) to %.4g (light)", x$type,
                                 toupper(crit), rng[1L], rng[2L]),
                   xlab = "bandwidth along the rows", ylab = "bandwidth along the columns", ...)
    bw <- rep(x$bandwidth, length.out = 2L)
    graphics::points(bw[1L], bw[2L], cex = 4, lwd = 2)
  }
  invisible(x)
}

# The corner ("topright", "topleft", "bottomright" or "bottomleft", in that
# order of preference) where a legend of `labels` covers the fewest points
# of the curves (a list of two-column data frames, drawn as lines through
# their points) on the current plot, their segments followed in the plot's
# own coordinates (log10 on a log axis).
.orvel_emptiest_corner <- function(curves, labels) {
  corners <- c("topright", "topleft", "bottomright", "bottomleft")
  lg <- c(graphics::par("xlog"), graphics::par("ylog"))
  at <- do.call(rbind, lapply(curves, function(p) {
    p <- as.matrix(p)
    for (k in 1:2) if (lg[k]) p[, k] <- log10(p[, k])
    if (nrow(p) < 2L) return(p)
    u <- seq(0, 1, length.out = 20L)
    do.call(rbind, lapply(seq_len(nrow(p) - 1L), function(i)
      cbind(p[i, 1L] + u * (p[i + 1L, 1L] - p[i, 1L]), p[i, 2L] + u * (p[i + 1L, 2L] - p[i, 2L]))))
  }))
  covered <- vapply(corners, function(where) {
    r <- graphics::legend(where, legend = labels, lwd = 1, pch = 20, bty = "n", plot = FALSE)$rect
    sum(at[, 1L] >= r$left & at[, 1L] <= r$left + r$w &
        at[, 2L] <= r$top & at[, 2L] >= r$top - r$h, na.rm = TRUE)
  }, 0)
  corners[which.min(covered)]
}
