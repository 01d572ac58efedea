# orvel for R: kernels, local linear fits, cross-validation and kernel choice
# on top of the two native libraries.
#
#   source("R/orvel.R")        # from the repository root, after `make`
#
# The libraries are looked for in the directory named by the environment
# variable ORVEL_LIBDIR, else in build/ under the working directory. Each is
# loaded once, on first use; sourcing this file again reuses a library that is
# already loaded from the same path.
#
# Conventions used throughout:
# - A grid `z` is an R matrix: rows are the fast index (ny), columns the slow
#   one (nx).
# - A kernel is a 7 x 7 numeric matrix K with K[dy + 4, dx + 4] the weight of
#   the neighbour dy rows and dx columns away (-3 <= dx, dy <= 3). This is the
#   libraries' own array read column-major, so it is passed as is, never
#   transposed or symmetrised.
# - Slopes come back per whole grid extent: gFx is the change of the local
#   plane from one end of the rows to the other (offsets (jy - iy) / ny), gFy
#   along the columns (offsets (jx - ix) / nx). Divide gFx by nrow(z) and gFy
#   by ncol(z) for the change per node step.

# Loaded libraries and their entry points, kept out of the caller's way.
.orvel <- new.env(parent = emptyenv())

.orvel_libdir <- function() {
  dir <- Sys.getenv("ORVEL_LIBDIR", "")
  if (!nzchar(dir)) dir <- "build"
  dir
}

# Returns the native symbol of `entry` in library `lib`, loading the library
# the first time. The symbol is looked up in that library's own DLLInfo
# rather than by name: both libraries export `solve`, and a library of the
# same name may be loaded from elsewhere. Only the path is remembered, and
# the DLLInfo is found afresh on every call, so a library that someone else
# unloads or reloads is never called through a stale address.
.orvel_symbol <- function(lib, entry) {
  path <- .orvel[[lib]]
  if (is.null(path)) {
    path <- file.path(.orvel_libdir(), paste0(lib, ".so"))
    if (!file.exists(path))
      stop(sprintf("cannot find the orvel library '%s'; build it with `make` or point ORVEL_LIBDIR at its directory",
                   path), call. = FALSE)
    path <- normalizePath(path)
    assign(lib, path, envir = .orvel)
  }
  dll <- NULL
  for (d in getLoadedDLLs()) {
    if (identical(normalizePath(d[["path"]], mustWork = FALSE), path)) { dll <- d; break }
  }
  if (is.null(dll)) dll <- dyn.load(path)
  getNativeSymbolInfo(entry, PACKAGE = dll)
}

#' Kernel weights on the 7 x 7 window
#'
#' @param type one of "gaussian", "epanechnikov", "biweight", "triweight",
#'   "tricube", "uniform" (unambiguous abbreviations allowed).
#' @param bandwidth in node steps; one number, or c(rows, columns) for an
#'   anisotropic kernel.
#' @return a 7 x 7 matrix K, K[dy + 4, dx + 4] the weight of the neighbour dy
#'   rows and dx columns away; the centre weight is 1.
#' @details With u = sqrt((dy / bandwidth[1])^2 + (dx / bandwidth[2])^2):
#'   gaussian exp(-u^2 / 2); for the compact kernels, zero where u >= 1 and
#'   otherwise epanechnikov 1 - u^2, biweight (1 - u^2)^2, triweight
#'   (1 - u^2)^3, tricube (1 - u^3)^3, uniform 1. So a compact kernel's
#'   support is the ellipse of radii `bandwidth`; a bandwidth of 1 or less
#'   leaves only the centre, and no local plane can be fitted (all NaN).
#'   The window stops at 3 node steps whatever the bandwidth.
orvel_kernel <- function(type = "gaussian", bandwidth = 1.5) {
  type <- .orvel_type(type)
  if (length(type) != 1) stop("`type` must be a single kernel type", call. = FALSE)
  bw <- .orvel_bandwidth(bandwidth)
  u <- sqrt(outer((-3:3) / bw[1], (-3:3) / bw[2], function(y, x) y^2 + x^2))
  inside <- u < 1
  K <- switch(type,
    gaussian     = exp(-u^2 / 2),
    epanechnikov = ifelse(inside, 1 - u^2, 0),
    biweight     = ifelse(inside, (1 - u^2)^2, 0),
    triweight    = ifelse(inside, (1 - u^2)^3, 0),
    tricube      = ifelse(inside, (1 - u^3)^3, 0),
    uniform      = ifelse(inside, 1, 0))
  dimnames(K) <- list(dy = -3:3, dx = -3:3)
  K
}

.orvel_types <- c("gaussian", "epanechnikov", "biweight", "triweight", "tricube", "uniform")

.orvel_type <- function(type) {
  if (!is.character(type) || length(type) == 0 || anyNA(type))
    stop("`type` must be a character vector of kernel types", call. = FALSE)
  m <- pmatch(tolower(type), .orvel_types, duplicates.ok = TRUE)
  if (anyNA(m))
    stop(sprintf("`type` must be one of %s, not \"%s\"",
                 paste0('"', .orvel_types, '"', collapse = ", "), type[is.na(m)][1]),
         call. = FALSE)
  .orvel_types[m]
}

.orvel_bandwidth <- function(bandwidth) {
  if (!is.numeric(bandwidth) || !(length(bandwidth) %in% 1:2) ||
      any(!is.finite(bandwidth)) || any(bandwidth <= 0))
    stop("`bandwidth` must be one positive number or c(rows, columns)", call. = FALSE)
  rep(as.double(bandwidth), length.out = 2)
}

# The grid checks shared by every entry. Returns z's dim as integers.
.orvel_check_z <- function(z) {
  if (!is.matrix(z) || !is.numeric(z)) {
    what <- if (is.matrix(z)) paste(typeof(z), "matrix") else class(z)[1]
    stop(sprintf("`z` must be a numeric matrix, not a %s", what), call. = FALSE)
  }
  .orvel_check_dims(dim(z))
}

# .C passes at most 2^31 - 1 elements, and the libraries index nodes with
# 32-bit integers.
.orvel_check_dims <- function(d) {
  n <- as.double(d[1]) * d[2]   # in double: the integer product would overflow
  if (n > .Machine$integer.max)
    stop(sprintf("`z` has %.0f nodes; at most %d fit through .C", n,
                 .Machine$integer.max), call. = FALSE)
  as.integer(d)
}

.orvel_check_kernel <- function(kernel) {
  if (inherits(kernel, "orvel_select")) kernel <- kernel$kernel
  if (!is.matrix(kernel) || !is.numeric(kernel) || !identical(dim(kernel), c(7L, 7L)))
    stop("`kernel` must be a 7 x 7 numeric matrix (see orvel_kernel())", call. = FALSE)
  if (!all(is.finite(kernel)))
    stop("`kernel` must hold finite weights only (no NA, NaN or Inf)", call. = FALSE)
  as.double(kernel)
}

.orvel_call <- function(lib, entry, z, kernel) {
  d <- .orvel_check_z(z)
  K <- .orvel_check_kernel(kernel)
  n <- d[1] * d[2]
  if (n == 0) {
    r <- list(F = double(0), gFx = double(0), gFy = double(0))
  } else {
    # NAOK: missing values are the libraries' business (they propagate).
    r <- .C(.orvel_symbol(lib, entry), as.double(z), d[1], d[2], K,
            F = double(n), gFx = double(n), gFy = double(n), NAOK = TRUE)
  }
  lapply(r[c("F", "gFx", "gFy")], function(v) {
    dim(v) <- d
    dimnames(v) <- dimnames(z)
    v
  })
}

#' Local linear fit at every node
#'
#' @param z numeric matrix (integer is converted to double).
#' @param kernel 7 x 7 numeric matrix, K[dy + 4, dx + 4] the weight of the
#'   neighbour dy rows and dx columns away; any finite weights, used as given
#'   (asymmetric kernels are not symmetrised). An orvel_select() result is
#'   accepted too and stands for its chosen kernel.
#' @return list of three matrices shaped like z, with its dimnames: F the
#'   smooth, gFx the slope along the rows and gFy along the columns, both per
#'   whole grid extent.
#' @details Missing values are not skipped: an NA or NaN in z makes every node
#'   whose 7 x 7 window holds it NA/NaN in all three outputs (even where its
#'   weight is zero), and Inf spreads likewise. A node whose weighted
#'   neighbours lie on one line (a grid one node wide, a kernel that is zero
#'   off the centre) gets NaN or Inf.
orvel_fit <- function(z, kernel = orvel_kernel()) {
  .orvel_call("orvel-fit", "localPolynomials", z, kernel)
}

#' Leave-one-out fit at every node
#'
#' As orvel_fit(), but each node's own observation is left out of its own
#' fit: F is the prediction of each node from its neighbours alone. A
#' missing or infinite value at a node also makes that node's own outputs NaN.
orvel_holdout <- function(z, kernel = orvel_kernel()) {
  .orvel_call("orvel-holdout", "localPolynomialscv", z, kernel)
}

# Score and number of nodes scored.
.orvel_cv_detail <- function(z, kernel) {
  pred <- orvel_holdout(z, kernel)$F
  ok <- is.finite(z) & is.finite(pred)
  c(cv = if (any(ok)) mean((z[ok] - pred[ok])^2) else NaN, nodes = sum(ok))
}

#' Leave-one-out cross-validation score of a kernel
#'
#' @return the mean squared difference between each observation and its
#'   leave-one-out prediction, over the nodes where both are finite; NaN when
#'   there is no such node (e.g. a kernel that is zero off the centre).
orvel_cv <- function(z, kernel = orvel_kernel()) {
  unname(.orvel_cv_detail(z, kernel)["cv"])
}

#' Default candidate bandwidths for a kernel type, in node steps.
#'
#' Gaussian kernels are useful from half a node step up to where the window
#' truncates them; compact kernels need a support radius beyond sqrt(2) so that
#' even a corner node keeps three neighbours once it is left out, and are
#' whole-window at sqrt(18) ~ 4.24.
orvel_bandwidths <- function(type = "gaussian") {
  if (.orvel_type(type)[1] == "gaussian") seq(0.5, 4, by = 0.25) else seq(1.5, 4.5, by = 0.25)
}

#' Choose the kernel bandwidth (and type) by leave-one-out cross-validation
#'
#' @param z numeric matrix, as for orvel_fit().
#' @param type one or more kernel types (see orvel_kernel()).
#' @param bandwidths numeric vector of isotropic candidate bandwidths used for
#'   every type; NULL (the default) takes orvel_bandwidths(type) for each type.
#' @param progress show a text progress bar when the search is expected to
#'   take more than a second.
#' @return an object of class "orvel_select": `table`, a data frame with
#'   columns type, bandwidth, cv (orvel_cv() of that kernel) and nodes (the
#'   number of nodes scored); the chosen `type`, `bandwidth`, `kernel` and its
#'   `cv`. plot() draws the CV curves, print() summarises.
#' @details A candidate is eligible when its score is finite and it scores as
#'   many nodes as the best-covering candidate, so a kernel that cannot predict
#'   some nodes (a compact support too small for the corners) is never
#'   preferred for having been scored on fewer, easier nodes. The choice is
#'   the eligible row with the smallest cv (the first one on ties).
orvel_select <- function(z, type = "gaussian", bandwidths = NULL, progress = interactive()) {
  .orvel_check_z(z)
  type <- unique(.orvel_type(type))
  if (!is.null(bandwidths)) {
    if (!is.numeric(bandwidths) || length(bandwidths) == 0 ||
        any(!is.finite(bandwidths)) || any(bandwidths <= 0))
      stop("`bandwidths` must be a vector of positive numbers", call. = FALSE)
  }
  grid <- do.call(rbind, lapply(type, function(t) {
    b <- if (is.null(bandwidths)) orvel_bandwidths(t) else as.double(bandwidths)
    data.frame(type = t, bandwidth = b, stringsAsFactors = FALSE)
  }))
  n <- nrow(grid)
  grid$cv <- NA_real_
  grid$nodes <- NA_integer_
  bar <- NULL
  t0 <- proc.time()[["elapsed"]]
  for (i in seq_len(n)) {
    s <- .orvel_cv_detail(z, orvel_kernel(grid$type[i], grid$bandwidth[i]))
    grid$cv[i] <- s[["cv"]]
    grid$nodes[i] <- as.integer(s[["nodes"]])
    if (i == 1 && progress && n > 1 &&
        (proc.time()[["elapsed"]] - t0) * (n - 1) > 1) {
      bar <- utils::txtProgressBar(min = 0, max = n, style = 3)
    }
    if (!is.null(bar)) utils::setTxtProgressBar(bar, i)
  }
  if (!is.null(bar)) close(bar)
  eligible <- is.finite(grid$cv) & grid$nodes == max(grid$nodes)
  if (!any(eligible))
    stop("no candidate kernel gave a finite cross-validation score; ",
         "try larger `bandwidths` or check `z` for missing values", call. = FALSE)
  best <- which(eligible)[which.min(grid$cv[eligible])]
  structure(list(table = grid, type = grid$type[best], bandwidth = grid$bandwidth[best],
                 kernel = orvel_kernel(grid$type[best], grid$bandwidth[best]),
                 cv = grid$cv[best]),
            class = "orvel_select")
}

print.orvel_select <- function(x, ...) {
  cat(sprintf("orvel_select: %s kernel, bandwidth %g (CV score %.6g)\n",
              x$type, x$bandwidth, x$cv))
  cat(sprintf("%d candidates over %s\n", nrow(x$table),
              paste(unique(x$table$type), collapse = ", ")))
  invisible(x)
}

#' CV score against bandwidth, one curve per kernel type; the choice is ringed.
plot.orvel_select <- function(x, log = "y", main = "leave-one-out CV", ...) {
  tab <- x$table[is.finite(x$table$cv), ]
  types <- unique(x$table$type)
  cols <- grDevices::hcl.colors(max(length(types), 2), "Dark 3")[seq_along(types)]
  graphics::plot(tab$bandwidth, tab$cv, type = "n", log = log, main = main,
                 xlab = "bandwidth (node steps)", ylab = "mean squared LOO error", ...)
  for (k in seq_along(types)) {
    s <- tab[tab$type == types[k], ]
    graphics::lines(s$bandwidth, s$cv, type = "b", pch = 20, col = cols[k])
  }
  graphics::points(x$bandwidth, x$cv, cex = 2.2, lwd = 2)
  if (length(types) > 1)
    graphics::legend("topright", legend = types, col = cols, lwd = 1, pch = 20, bty = "n")
  invisible(x)
}

# Sourcing defines the methods wherever source() put them; registering them
# lets print() and plot() find them from any environment.
registerS3method("print", "orvel_select", print.orvel_select)
registerS3method("plot", "orvel_select", plot.orvel_select)
