.orvel_types <- c("gaussian", "epanechnikov", "biweight", "triweight", "tricube", "uniform")

# The classic 3 x 3 terrain kernels; they have no bandwidth, so
# orvel_select() and orvel_bandwidths() do not take them.
.orvel_fixed_types <- c("horn", "rook")

.orvel_type <- function(type, arg = "type", types = .orvel_types) {
  if (!is.character(type) || length(type) == 0L || anyNA(type))
    .orvel_stop("`%s` must name kernel types (%s), not %s", arg,
                paste0('"', types, '"', collapse = ", "), .orvel_what(type))
  m <- pmatch(tolower(type), types, duplicates.ok = TRUE)
  if (anyNA(m))
    .orvel_stop("`%s` must be one of %s, not \"%s\"", arg,
                paste0('"', types, '"', collapse = ", "), type[is.na(m)][1L])
  types[m]
}

#' Kernel weights on the 7 x 7 window
#'
#' Builds the table of weights that [orvel_fit()] and its relatives apply to
#' each node's neighbours.
#'
#' With \eqn{u = \sqrt{(dy/b_1)^2 + (dx/b_2)^2}}{u = sqrt((dy / b1)^2 + (dx / b2)^2)}
#' for the neighbour `dy` rows and `dx` columns away and the bandwidths
#' `b = c(rows, columns)`: the Gaussian kernel is \eqn{e^{-u^2/2}}{exp(-u^2 / 2)};
#' the compact kernels are zero where \eqn{u \ge 1}{u >= 1} and otherwise
#' \eqn{1 - u^2} (Epanechnikov), \eqn{(1 - u^2)^2} (biweight),
#' \eqn{(1 - u^2)^3} (triweight), \eqn{(1 - u^3)^3} (tricube) or 1 (uniform).
#' A compact kernel's support is thus the ellipse of radii `bandwidth`; with
#' a bandwidth of 1 or less only the centre is left, and no plane can be
#' fitted. The window stops at three node steps whatever the bandwidth.
#'
#' Any finite 7 x 7 matrix can serve as a kernel: the weights are applied as
#' given, never symmetrised or normalised.
#'
#' `"horn"` and `"rook"` are the 3 x 3 finite differences of elevation
#' models as kernels: Horn's weights \eqn{(1, 2, 1) \otimes (1, 2, 1) / 4}{(1,
#' 2, 1) x (1, 2, 1) / 4} on the 3 x 3 neighbourhood, and the centre with its
#' four rook neighbours, all zero beyond. The plane fitted with them has the
#' slopes of Horn's method and of the rook's case difference
#' (`terra::terrain()` with `neighbors = 8` and `4`); the smooth is the
#' weighted mean of the neighbourhood. They have no bandwidth: giving one is
#' an error.
#'
#' @param type kernel type: one of `"gaussian"`, `"epanechnikov"`,
#'   `"biweight"`, `"triweight"`, `"tricube"`, `"uniform"`, `"horn"`,
#'   `"rook"` (unambiguous abbreviations allowed).
#' @param bandwidth in node steps: one number, or `c(rows, columns)` for an
#'   anisotropic kernel. Not for `"horn"` and `"rook"`.
#' @return A 7 x 7 matrix `K` with dimnames `dy` and `dx` (`-3:3`):
#'   `K[dy + 4, dx + 4]` is the weight of the neighbour `dy` rows and `dx`
#'   columns away. The centre weight is 1.
#' @seealso [orvel_select()] to choose the bandwidth by cross-validation.
#' @export
#' @examples
#' orvel_kernel("gaussian", 1.5)
#' # narrow along the rows, wide along the columns
#' round(orvel_kernel("epanechnikov", c(1.5, 3)), 2)
#' # Horn's weights, as for the slope of an elevation model
#' orvel_kernel("horn")[3:5, 3:5]
orvel_kernel <- function(type = "gaussian", bandwidth = 1.5) {
  type <- .orvel_type(type, types = c(.orvel_types, .orvel_fixed_types))
  if (length(type) != 1L)
    .orvel_stop("`type` must be a single kernel type, not %d of them", length(type))
  if (type %in% .orvel_fixed_types) {
    if (!missing(bandwidth))
      .orvel_stop("`bandwidth` does not apply to the \"%s\" kernel: its weights are fixed", type)
    K <- matrix(0, 7L, 7L, dimnames = list(dy = -3:3, dx = -3:3))
    if (type == "horn") {
      K[3:5, 3:5] <- outer(c(0.5, 1, 0.5), c(0.5, 1, 0.5))
    } else {
      K[4L, 3:5] <- K[3:5, 4L] <- 1
    }
    return(K)
  }
  bw <- .orvel_check_pair(bandwidth, "bandwidth")
  u <- sqrt(outer((-3:3) / bw[1L], (-3:3) / bw[2L], function(y, x) y^2 + x^2))
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

#' Default candidate bandwidths of a kernel type
#'
#' The bandwidths, in node steps, that [orvel_select()] tries when none are
#' given. Gaussian kernels are useful from half a node step up to where the
#' window truncates them; compact kernels need a support radius beyond
#' \eqn{\sqrt 2}{sqrt(2)} so that even a corner node keeps three neighbours
#' once it is left out, and cover the whole window from
#' \eqn{\sqrt{18} \approx 4.24}{sqrt(18) = 4.24} on.
#'
#' @param type a kernel type, as for [orvel_kernel()].
#' @return A numeric vector of bandwidths.
#' @export
#' @examples
#' orvel_bandwidths("gaussian")
#' orvel_bandwidths("tricube")
orvel_bandwidths <- function(type = "gaussian") {
  type <- .orvel_type(type)
  if (length(type) != 1L)
    .orvel_stop("`type` must be a single kernel type, not %d of them", length(type))
  if (type == "gaussian") seq(0.5, 4, by = 0.25) else seq(1.5, 4.5, by = 0.25)
}
