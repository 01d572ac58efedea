#' orvel: kernel-weighted local linear regression on a grid
#'
#' For every node of a regular grid (an image, an elevation model, any matrix
#' of measurements), orvel fits a plane by weighted least squares to the
#' node's 7 x 7 neighbourhood and returns the plane's value at the node (the
#' smooth) and its two slopes (the gradient).
#'
#' * [orvel_kernel()] builds the table of weights, on a window of any odd
#'   size;
#' * [orvel_fit()] fits every node, [orvel_holdout()] each node without its
#'   own observation;
#' * [orvel_cv()] scores a kernel by leave-one-out cross-validation and
#'   [orvel_select()] chooses among many;
#' * [orvel_slopes()] gives the gradient in the units of the grid.
#'
#' The fitting is done by two native libraries, `orvel-fit` and
#' `orvel-holdout`, which the package builds and loads on first use. Their
#' outputs are exact: every bit follows from a fixed order of products and
#' sums, on every CPU. `vignette("orvel")` walks through an example and shows
#' how to call the libraries directly.
#'
#' @keywords internal
#' @useDynLib orvel, .registration = TRUE, .fixes = "C_"
"_PACKAGE"
