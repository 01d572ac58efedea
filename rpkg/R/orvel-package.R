#' orvel: kernel-weighted local polynomial regression on a grid
#'
#' For every node of a regular grid (an image, an elevation model, any matrix
#' of measurements), orvel fits a plane or a quadratic by weighted least
#' squares to the node's neighbourhood (a window of any odd size) and
#' returns the polynomial's value at the node (the smooth), its slopes (the
#' gradient) and, for a quadratic, its second derivatives. Missing values
#' are left out or make their neighbours missing, as you choose.
#'
#' * [orvel_kernel()] builds the table of weights, on a window of any odd
#'   size;
#' * [orvel_fit()] fits every node, [orvel_holdout()] each node without its
#'   own observation;
#' * [orvel_cv()] scores a kernel by leave-one-out cross-validation and
#'   [orvel_select()] chooses among many;
#' * [orvel_slopes()] gives the gradient in the units of the grid;
#' * `summary()`, `sigma()`, `confint()`, `predict()` and R's other model
#'   generics give the fit's statistics and standard errors (see
#'   [orvel_inference]).
#'
#' The plane on a 7 x 7 window is the one of two native libraries,
#' `orvel-fit` and `orvel-holdout`, built with the package: their outputs
#' are exact, every bit following from a fixed order of products and sums
#' on every CPU. Other windows and degrees go through a general engine,
#' accurate to rounding. `vignette("orvel")` walks through an example and shows
#' how to call the libraries directly.
#'
#' @keywords internal
#' @useDynLib orvel, .registration = TRUE, .fixes = "C_"
#' @importFrom stats coef confint deviance df.residual fitted logLik nobs predict residuals
#'   sigma vcov
"_PACKAGE"
