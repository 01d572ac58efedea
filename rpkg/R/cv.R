#' Leave-one-out cross-validation score of a kernel
#'
#' Predicts every node from its neighbours alone with [orvel_holdout()] and
#' averages the squared prediction errors.
#'
#' @inheritParams orvel_fit
#' @return The mean squared difference between each observation and its
#'   leave-one-out prediction, over the nodes where both are finite; `NaN`
#'   when there is no such node (a kernel that is zero off the centre, say).
#' @seealso [orvel_select()] to compare many kernels.
#' @export
#' @examples
#' z <- volcano + rnorm(length(volcano), sd = 5)
#' orvel_cv(z, orvel_kernel("gaussian", 1))
#' orvel_cv(z, orvel_kernel("gaussian", 2, size = 7))
orvel_cv <- function(z, kernel = orvel_kernel(), ...,
                     threads = getOption("orvel.threads", orvel_threads())) {
  UseMethod("orvel_cv")
}

#' @rdname orvel_cv
#' @export
orvel_cv.default <- function(z, kernel = orvel_kernel(), ...,
                             threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  .orvel_cv_score(.orvel_cv_scorer(.orvel_check_z(z), threads), kernel)
}

# A function of the checked kernel K giving c(cv, nodes) over `z` (the
# methods of orvel_cv() and orvel_select() differ only in it).
.orvel_cv_scorer <- function(z, threads) {
  threads <- .orvel_check_threads(threads)
  function(K) .orvel_score(.orvel_cv_grid(z, K, threads))
}

# c(cv, nodes) from c(sum of squared errors, nodes).
.orvel_score <- function(s) c(cv = if (s[2L] > 0) s[1L] / s[2L] else NaN, nodes = s[2L])

.orvel_cv_score <- function(scorer, kernel) unname(scorer(.orvel_check_kernel(kernel))[1L])

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

#' Choose a kernel by leave-one-out cross-validation
#'
#' Scores every candidate kernel with [orvel_cv()] and picks the best.
#' Candidates are the kernel types in `type` at each of the bandwidths: one
#' bandwidth per candidate for round kernels, or (rows, columns) pairs for
#' kernels stretched along one axis. Every candidate is built by
#' [orvel_kernel()] on the 7 x 7 window (`size = 7`), whatever its bandwidth.
#'
#' A candidate is eligible when its score is finite and it scores as many
#' nodes as the best-covering candidate, so that a kernel that cannot predict
#' some nodes (a compact support too small for the corners) is never
#' preferred for having been scored on fewer, easier nodes. The choice is the
#' eligible candidate with the smallest score (the first one on ties).
#'
#' @inheritParams orvel_fit
#' @param type one or more kernel types (see [orvel_kernel()]).
#' @param bandwidths candidate bandwidths in node steps, used for every type:
#'   a numeric vector (round kernels) or a two-column matrix whose rows are
#'   `c(rows, columns)` pairs. `NULL` (the default) takes
#'   [orvel_bandwidths()] of each type.
#' @param progress show a progress bar when the search looks like taking
#'   more than a second.
#' @param threads the number of threads to fit on (see [orvel_threads()]).
#' @return An object of class `"orvel_select"`: `table`, a data frame with
#'   one row per candidate (`type`, the bandwidths `rows` and `columns`,
#'   `cv` and `nodes`, the number of nodes scored); the chosen `type`,
#'   `bandwidth` (one number, or `c(rows, columns)` when they differ),
#'   `kernel` and its `cv`. It has `print()` and `plot()` methods, and can be
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
orvel_select <- function(z, type = "gaussian", bandwidths = NULL, progress = interactive(),
                         ..., threads = getOption("orvel.threads", orvel_threads())) {
  UseMethod("orvel_select")
}

#' @rdname orvel_select
#' @export
orvel_select.default <- function(z, type = "gaussian", bandwidths = NULL,
                                 progress = interactive(), ...,
                                 threads = getOption("orvel.threads", orvel_threads())) {
  .orvel_dots(...)
  .orvel_select(.orvel_cv_scorer(.orvel_check_z(z), threads), type, bandwidths, progress)
}

# The window of the candidate kernels: the 7 x 7 of the compiled fit,
# whatever the bandwidth.
.orvel_select_size <- 7L

# The search itself, with `scorer` (see .orvel_cv_scorer()) scoring a kernel.
.orvel_select <- function(scorer, type, bandwidths, progress) {
  type <- unique(.orvel_type(type))
  progress <- .orvel_check_flag(progress, "progress")
  grid <- do.call(rbind, lapply(type, function(t) {
    b <- .orvel_candidates(bandwidths, t)
    data.frame(type = t, rows = b[, 1L], columns = b[, 2L], stringsAsFactors = FALSE)
  }))
  n <- nrow(grid)
  grid$cv <- NA_real_
  grid$nodes <- NA_integer_
  bar <- NULL
  t0 <- proc.time()[["elapsed"]]
  for (i in seq_len(n)) {
    K <- orvel_kernel(grid$type[i], c(grid$rows[i], grid$columns[i]), size = .orvel_select_size)
    s <- scorer(.orvel_check_kernel(K))
    grid$cv[i] <- s[["cv"]]
    grid$nodes[i] <- as.integer(s[["nodes"]])
    # A bar only once the first candidate shows the search will take a while.
    if (i == 1L && progress && n > 1L && (proc.time()[["elapsed"]] - t0) * (n - 1L) > 1)
      bar <- utils::txtProgressBar(min = 0, max = n, style = 3)
    if (!is.null(bar)) utils::setTxtProgressBar(bar, i)
  }
  if (!is.null(bar)) close(bar)
  eligible <- is.finite(grid$cv) & grid$nodes == max(grid$nodes)
  if (!any(eligible))
    .orvel_stop("no candidate kernel gave a finite cross-validation score; try larger `bandwidths` or check `z` for missing values")
  best <- which(eligible)[which.min(grid$cv[eligible])]
  bw <- c(grid$rows[best], grid$columns[best])
  if (bw[1L] == bw[2L]) bw <- bw[1L]
  structure(list(table = grid, type = grid$type[best], bandwidth = bw,
                 kernel = orvel_kernel(grid$type[best], bw, size = .orvel_select_size), cv = grid$cv[best]),
            class = "orvel_select")
}

#' @export
print.orvel_select <- function(x, ...) {
  cat(sprintf("orvel_select: %s kernel, bandwidth %s (CV score %.6g)\n",
              x$type, paste(format(x$bandwidth), collapse = " x "), x$cv))
  cat(sprintf("%d candidates over %s\n", nrow(x$table),
              paste(unique(x$table$type), collapse = ", ")))
  invisible(x)
}

#' Plot a cross-validation search
#'
#' For round kernels, the CV score against the bandwidth, one curve per
#' kernel type; for (rows, columns) candidates, the candidates of the chosen
#' type in the plane of the two bandwidths, shaded by score. The choice is
#' ringed.
#'
#' @param x an [orvel_select()] result.
#' @param log axes drawn on a log scale (round kernels only).
#' @param main title.
#' @param ... passed to [graphics::plot()].
#' @return `x`, invisibly.
#' @export
#' @examples
#' plot(orvel_select(volcano + rnorm(length(volcano), sd = 5)))
plot.orvel_select <- function(x, log = "y", main = "leave-one-out CV", ...) {
  tab <- x$table[is.finite(x$table$cv), ]
  if (all(x$table$rows == x$table$columns)) {
    types <- unique(x$table$type)
    cols <- grDevices::hcl.colors(max(length(types), 2L), "Dark 3")[seq_along(types)]
    graphics::plot(tab$rows, tab$cv, type = "n", log = log, main = main,
                   xlab = "bandwidth (node steps)", ylab = "mean squared LOO error", ...)
    for (k in seq_along(types)) {
      s <- tab[tab$type == types[k], ]
      graphics::lines(s$rows, s$cv, type = "b", pch = 20, col = cols[k])
    }
    graphics::points(x$bandwidth, x$cv, cex = 2.2, lwd = 2)
    if (length(types) > 1L)
      graphics::legend("topright", legend = types, col = cols, lwd = 1, pch = 20, bty = "n")
  } else {
    s <- tab[tab$type == x$type, ]
    pal <- grDevices::hcl.colors(32, "viridis")
    rng <- range(s$cv)
    shade <- if (diff(rng) > 0) 1L + round(31 * (s$cv - rng[1L]) / diff(rng)) else 1L
    graphics::plot(s$rows, s$columns, pch = 15, cex = 3, col = pal[shade], main = main,
                   sub = sprintf("%s kernel: CV %.4g (dark) to %.4g (light)", x$type, rng[1L], rng[2L]),
                   xlab = "bandwidth along the rows", ylab = "bandwidth along the columns", ...)
    bw <- rep(x$bandwidth, length.out = 2L)
    graphics::points(bw[1L], bw[2L], cex = 4, lwd = 2)
  }
  invisible(x)
}
