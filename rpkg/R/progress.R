# Progress of tiled runs outside an interactive session: documented only;
# progressr decides where and whether to report, and orvel leaves its
# options as the user set them.

#' @name orvel_tiles
#' @rdname orvel_tiles
#' @section Progress in batch runs:
#' progressr reports nothing outside an interactive session unless told
#' to: under `Rscript`, in `R CMD BATCH` or on a scheduler,
#' `progressr::handlers(global = TRUE)` alone shows no progress, because
#' progressr's option `progressr.enable` is `FALSE` when R is not
#' interactive. Set it as well, in the script or in the environment
#' (`R_PROGRESSR_ENABLE=true`, read when progressr is loaded):
#' ```
#' options(progressr.enable = TRUE)
#' progressr::handlers(global = TRUE)
#' progressr::handlers("txtprogressbar")   # or "cli", "progress", ...
#' r <- orvel_terrain(x, "slope", tiles = c(2048, 2048), filename = "slope.vrt")
#' ```
#' The bar then moves by one step as each tile is written (to the
#' standard error, where a scheduler's log gets it).
NULL
