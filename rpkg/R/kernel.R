.orvel_types <- c("gaussian", "epanechnikov", "biweight", "triweight", "tricube", "uniform")

# The classic 3 x 3 terrain kernels; they have no bandwidth, so
# orvel_select() and orvel_bandwidths() do not take them.
.orvel_fixed_types <- c("horn", "rook")

.orvel_type <- function(type, arg = "type", types = .orvel_types) {
  if (!is.character(type) || length(type) == 0L || anyNA(type))
    .orvel_stop("`%s` must name kernel types (%s), not %s", arg,
                paste0('"', types, '"', collapse = ", "), .orvel_given(type))
  m <- pmatch(tolower(type), types, duplicates.ok = TRUE)
  if (anyNA(m))
    .orvel_stop("`%s` must be one of %s, not \"%s\"", arg,
                paste0('"', types, '"', collapse = ", "), type[is.na(m)][1L])
  types[m]
}

#' Kernel weights on a window of odd size
#'
#' Builds the table of weights that [orvel_fit()] and its relatives apply to
#' each node's neighbours, on a window of any odd number of rows and of
#' columns from 3 to 101.
#'
#' With \eqn{u = \sqrt{(dy/b_1)^2 + (dx/b_2)^2}}{u = sqrt((dy / b1)^2 + (dx / b2)^2)}
#' for the neighbour `dy` rows and `dx` columns away and the bandwidths
#' `b = c(rows, columns)`: the Gaussian kernel is \eqn{e^{-u^2/2}}{exp(-u^2 / 2)};
#' the compact kernels are zero where \eqn{u \ge 1}{u >= 1} and otherwise
#' \eqn{1 - u^2} (Epanechnikov), \eqn{(1 - u^2)^2} (biweight),
#' \eqn{(1 - u^2)^3} (triweight), \eqn{(1 - u^3)^3} (tricube) or 1 (uniform).
#' A compact kernel's support is thus the ellipse of radii `bandwidth`; with
#' a bandwidth of 1 or less only the centre is left, and no plane can be
#' fitted.
#'
#' The window is \eqn{(2h_1 + 1) \times (2h_2 + 1)}{(2 h1 + 1) x (2 h2 + 1)}
#' nodes, `h` the half-width along the rows and along the columns. By
#' default (`size = NULL`) each half-width follows from that axis's
#' bandwidth `b`: \eqn{h = \max(3, \lceil 2b \rceil)}{h = max(3,
#' ceiling(2 * b))} for the Gaussian, so that the window covers at least two
#' bandwidths either side of the centre, and \eqn{h = \max(3, \lceil b
#' \rceil - 1)}{h = max(3, ceiling(b) - 1)} for the compact kernels, the
#' farthest offset strictly inside the support. Either way the window is at
#' least 7 x 7, and at most 101 x 101 (\eqn{h \le 50}{h <= 50}): a kernel
#' that the cap cuts short (a Gaussian bandwidth above 25, a compact one above
#' 51) is truncated, with a warning.
#'
#' **Size and bandwidth.** Give one, the other, or both:
#' * `bandwidth` alone: the window follows from it as above.
#' * `size` alone: the bandwidth follows from the window, so that the
#'   kernel fills it: \eqn{b = h / 2}{b = h / 2} for the Gaussian (the
#'   window covers two bandwidths either side, as by default) and \eqn{b =
#'   h + 1}{b = h + 1} for the compact kernels, whose support then reaches
#'   the outermost row and column (the centre of each edge has a weight; the
#'   corners, outside the ellipse, have none). So `orvel_kernel("uniform",
#'   size = 7)` weighs the disc of radius 4 on a 7 x 7 window, and
#'   `orvel_kernel("gaussian", size = 7)` is the default kernel. A square
#'   window of equal weights, as GRASS's `r.param.scale` takes it, is
#'   `matrix(1, 7, 7)`.
#' * both: the window is `size`, whatever the bandwidth: the kernel is cut
#'   at the window's edge if its support is wider, and padded with zeros if
#'   it is narrower. A message says so when the outer rows or columns are
#'   then all zero (the fit uses fewer neighbours than the window holds);
#'   `suppressMessages()` silences it.
#'
#' Any finite matrix with an odd number of rows and of columns, from 3 to
#' 101, can serve as a kernel: the weights are applied as given, never
#' symmetrised or normalised.
#'
#' `"horn"` and `"rook"` are the 3 x 3 finite differences of elevation
#' models as kernels: Horn's weights \eqn{(1, 2, 1) \otimes (1, 2, 1) / 4}{(1,
#' 2, 1) x (1, 2, 1) / 4} on the 3 x 3 neighbourhood, and the centre with its
#' four rook neighbours, all zero beyond (on a 7 x 7 window unless `size`
#' says otherwise). The plane fitted with them has the
#' slopes of Horn's method and of the rook's case difference
#' (`terra::terrain()` with `neighbors = 8` and `4`); the smooth is the
#' weighted mean of the neighbourhood. They have no bandwidth: giving one is
#' an error.
#'
#' @param type kernel type: one of `"gaussian"`, `"epanechnikov"`,
#'   `"biweight"`, `"triweight"`, `"tricube"`, `"uniform"`, `"horn"`,
#'   `"rook"` (unambiguous abbreviations allowed).
#' @param bandwidth in node steps: one number, or `c(rows, columns)` for an
#'   anisotropic kernel; 1.5 when neither it nor `size` is given, and from
#'   `size` when only that is (see Size and bandwidth). Not for `"horn"`
#'   and `"rook"`.
#' @param size the window's size in nodes: one odd whole number from 3 to
#'   101 for a square window, or `c(rows, columns)`. `NULL` (the default)
#'   takes the size from the bandwidth as described above (7 x 7 for
#'   `"horn"` and `"rook"`).
#' @return A \eqn{(2h_1 + 1) \times (2h_2 + 1)}{(2 h1 + 1) x (2 h2 + 1)}
#'   matrix `K` with dimnames `dy = -h1:h1` and `dx = -h2:h2`:
#'   `K[dy + h1 + 1, dx + h2 + 1]` is the weight of the neighbour `dy` rows
#'   and `dx` columns away. The centre weight is 1.
#' @seealso [orvel_select()] to choose the bandwidth by cross-validation.
#' @export
#' @examples
#' orvel_kernel("gaussian", 1.5)           # 7 x 7
#' dim(orvel_kernel("gaussian", 4))        # 17 x 17: two bandwidths either side
#' # narrow along the rows, wide along the columns
#' round(orvel_kernel("epanechnikov", c(1.5, 3)), 2)
#' # a 5 x 5 window, whatever the bandwidth
#' orvel_kernel("gaussian", 1, size = 5)
#' # a 7 x 7 window filled: the bandwidth follows from the size
#' orvel_kernel("uniform", size = 7)
#' # Horn's weights, as for the slope of an elevation model
#' orvel_kernel("horn")[3:5, 3:5]
orvel_kernel <- function(type = "gaussian", bandwidth = 1.5, size = NULL) {
  type <- .orvel_type(type, types = c(.orvel_types, .orvel_fixed_types))
  if (length(type) != 1L)
    .orvel_stop("`type` must be a single kernel type, not %d of them", length(type))
  if (!is.null(size)) size <- .orvel_check_size(size)
  if (type %in% .orvel_fixed_types) {
    if (!missing(bandwidth))
      .orvel_stop("`bandwidth` does not apply to the \"%s\" kernel: its weights are fixed", type)
    h <- if (is.null(size)) c(3L, 3L) else (size - 1L) %/% 2L
    K <- matrix(0, 2L * h[1L] + 1L, 2L * h[2L] + 1L,
                dimnames = list(dy = -h[1L]:h[1L], dx = -h[2L]:h[2L]))
    core <- cbind(h[1L] + 0:2, h[2L] + 0:2)
    if (type == "horn") {
      K[core[, 1L], core[, 2L]] <- outer(c(0.5, 1, 0.5), c(0.5, 1, 0.5))
    } else {
      K[h[1L] + 1L, core[, 2L]] <- K[core[, 1L], h[2L] + 1L] <- 1
    }
    return(K)
  }
  if (missing(bandwidth) && !is.null(size)) {
    h <- (size - 1L) %/% 2L
    bw <- .orvel_fill_bandwidth(type, h)
  } else {
    bw <- .orvel_check_pair(bandwidth, "bandwidth")
    h <- if (is.null(size)) .orvel_half_width(type, bw) else (size - 1L) %/% 2L
  }
  dy <- -h[1L]:h[1L]
  dx <- -h[2L]:h[2L]
  u <- sqrt(outer(dy / bw[1L], dx / bw[2L], function(y, x) y^2 + x^2))
  inside <- u < 1
  K <- switch(type,
    gaussian     = exp(-u^2 / 2),
    epanechnikov = ifelse(inside, 1 - u^2, 0),
    biweight     = ifelse(inside, (1 - u^2)^2, 0),
    triweight    = ifelse(inside, (1 - u^2)^3, 0),
    tricube      = ifelse(inside, (1 - u^3)^3, 0),
    uniform      = ifelse(inside, 1, 0))
  dimnames(K) <- list(dy = dy, dx = dx)
  if (!is.null(size)) .orvel_note_margins(K, type, bw)
  K
}

# The bandwidths c(rows, columns) whose kernel fills a window of half-widths
# `h`: the inverse of .orvel_half_width() at its largest, h / 2 for the
# Gaussian (the window covers two bandwidths either side) and h + 1 for the
# compact kernels (the outermost row and column strictly inside the support).
.orvel_fill_bandwidth <- function(type, h) {
  if (type == "gaussian") h / 2 else h + 1
}

# A message, of class "orvel_margin_message", when kernel K of a size the
# user asked for has outer rows or columns of zeros: its support is smaller
# than the window, and the fit uses fewer neighbours than the window holds.
.orvel_note_margins <- function(K, type, bw) {
  zero <- function(v) all(v == 0)
  rows <- zero(K[1L, ]) && zero(K[nrow(K), ])
  cols <- zero(K[, 1L]) && zero(K[, ncol(K)])
  if (!rows && !cols) return(invisible())
  nz <- which(K != 0, arr.ind = TRUE)
  used <- c(diff(range(nz[, 1L])), diff(range(nz[, 2L]))) + 1L
  msg <- sprintf(paste0(
    "orvel: the %s kernel of bandwidth %s has weights on only %d x %d of its %d x %d window ",
    "(the outer %s are zero); leave `bandwidth` out for a kernel that fills the window"),
    type, paste(format(bw), collapse = " x "), used[1L], used[2L], nrow(K), ncol(K),
    if (rows && cols) "rows and columns" else if (rows) "rows" else "columns")
  message(structure(class = c("orvel_margin_message", "message", "condition"),
                    list(message = paste0(msg, "\n"), call = NULL)))
}

# The largest half-width of a window: 101 x 101 nodes.
.orvel_max_half <- 50L

# The default half-widths c(rows, columns) of a kernel of bandwidths `bw`:
# two bandwidths for the Gaussian, the farthest offset strictly inside the
# support for the compact kernels; at least 3, at most .orvel_max_half,
# with a warning where the cap cuts weights off.
.orvel_half_width <- function(type, bw) {
  want <- if (type == "gaussian") ceiling(2 * bw) else ceiling(bw) - 1
  want <- pmax(3, want)
  if (any(want > .orvel_max_half))
    warning(sprintf(paste0(
      "`bandwidth` %s needs a window of more than %d x %d nodes for the %s kernel: ",
      "truncated to offsets of at most %d node steps"),
      paste(format(bw), collapse = " x "), 2L * .orvel_max_half + 1L, 2L * .orvel_max_half + 1L,
      type, .orvel_max_half), call. = FALSE)
  as.integer(pmin(want, .orvel_max_half))
}

# A window size: one odd whole number from 3 to 101, or two (rows,
# columns). Returns two integers.
.orvel_check_size <- function(size, arg = "size") {
  top <- 2L * .orvel_max_half + 1L
  ok <- is.numeric(size) && !is.object(size) && length(size) %in% 1:2 && all(is.finite(size))
  if (!ok)
    .orvel_stop("`%s` must be one odd whole number from 3 to %d or c(rows, columns), not %s",
                arg, top, if (is.numeric(size) && length(size) %in% 1:2) toString(size)
                          else .orvel_what(size))
  if (any(size != round(size)) || any(size < 3) || any(size > top) || any(size %% 2 != 1))
    .orvel_stop("`%s` must be one odd whole number from 3 to %d or c(rows, columns), not %s",
                arg, top, toString(size))
  rep(as.integer(size), length.out = 2L)
}

#' Default candidate bandwidths of a kernel type
#'
#' The bandwidths, in node steps, that [orvel_select()] tries when none are
#' given. Gaussian kernels are useful from half a node step on; compact
#' kernels need a support radius beyond \eqn{\sqrt 2}{sqrt(2)} so that even
#' a corner node keeps three neighbours once it is left out. The candidates
#' go in steps of a quarter node up to 3 (Gaussian) or 4.5 (compact), then
#' in steps growing by a factor of about 1.25, rounded to two significant
#' digits, up to 12 (Gaussian) or 24 (compact), so that a search reaches
#' wide windows (up to 49 x 49 and 47 x 47 by the default sizes of
#' [orvel_kernel()]) without scoring every quarter step.
#'
#' @param type a kernel type, as for [orvel_kernel()].
#' @return A numeric vector of bandwidths, increasing.
#' @export
#' @examples
#' orvel_bandwidths("gaussian")
#' orvel_bandwidths("tricube")
orvel_bandwidths <- function(type = "gaussian") {
  type <- .orvel_type(type)
  if (length(type) != 1L)
    .orvel_stop("`type` must be a single kernel type, not %d of them", length(type))
  if (type == "gaussian")
    c(seq(0.5, 3, by = 0.25), .orvel_geometric(3, 12))
  else
    c(seq(1.5, 4.5, by = 0.25), .orvel_geometric(4.5, 24))
}

# Steps from `from` (excluded) to `to` growing by a factor near 1.25, to two
# significant digits.
.orvel_geometric <- function(from, to) {
  n <- round(log(to / from) / log(1.25))
  signif(from * (to / from)^(seq_len(n) / n), 2)
}
