# The package's compiled code: the exact fitting engine, linked into the
# package's own library, reached through registered .Call routines that
# split the work across threads (src/fit.c, src/parallel.c).

#' Threads used by orvel
#'
#' The number of threads the fits use unless told otherwise: the `threads`
#' argument of [orvel_fit()], [orvel_holdout()], [orvel_cv()],
#' [orvel_select()] and [orvel_terrain()] defaults to
#' `getOption("orvel.threads", orvel_threads())`.
#'
#' By default every core: each node is fitted on its own, so a fit is split
#' into chunks of nodes that threads take in turn, it keeps every core busy,
#' and the result is the same to the last bit whatever the number of
#' threads. The count is `parallelly::availableCores()` where the parallelly
#' package is installed (it honours the limits of job schedulers, cgroups,
#' `mc.cores` and future's nested workers), else
#' `parallel::detectCores()`; at most 2 under `R CMD check --as-cran`
#' (environment variable `_R_CHECK_LIMIT_CORES_`, as CRAN asks), and at
#' most `OMP_THREAD_LIMIT` where that is set. When you run orvel inside
#' parallel workers of your own, set `options(orvel.threads = 1)` in them.
#'
#' @return A whole number, at least 1.
#' @export
#' @examples
#' orvel_threads()
#' fit <- orvel_fit(volcano, threads = 1)   # the same bits with any count
orvel_threads <- function() {
  n <- if (requireNamespace("parallelly", quietly = TRUE)) parallelly::availableCores()
       else parallel::detectCores()
  n <- if (is.na(n)) 1L else as.integer(n)
  limit <- Sys.getenv("_R_CHECK_LIMIT_CORES_", "")
  if (nzchar(limit) && !identical(toupper(limit), "FALSE")) n <- min(n, 2L)
  omp <- suppressWarnings(as.integer(Sys.getenv("OMP_THREAD_LIMIT", "")))
  if (!is.na(omp) && omp > 0L) n <- min(n, omp)
  max(1L, n)
}

# A number of threads: one whole number from 1 to 1024.
.orvel_check_threads <- function(threads) {
  if (!is.numeric(threads) || is.object(threads) || length(threads) != 1L ||
      !is.finite(threads) || threads < 1 || threads > 1024 || threads != round(threads))
    .orvel_stop("`threads` must be a whole number from 1 to 1024, not %s",
                if (is.numeric(threads) && length(threads) == 1L) format(threads)
                else .orvel_what(threads))
  as.integer(threads)
}

# The directory of the two fitting libraries of the raw .C interface
# (see vignette and README): the package's own libs/ (per sub-architecture),
# unless the environment variable ORVEL_LIBDIR names another (used by the
# project's own tests to run the raw binding over other builds).
.orvel_libdir <- function() {
  dir <- Sys.getenv("ORVEL_LIBDIR", "")
  if (nzchar(dir)) return(dir)
  libs <- system.file("libs", package = "orvel")
  arch <- .Platform$r_arch
  if (nzchar(arch) && dir.exists(file.path(libs, arch))) file.path(libs, arch) else libs
}

# The fit of the checked grid `z` (a numeric matrix) with the checked
# kernel `K` (at most 7 x 7): list(F, gFx, gFy), each shaped and named like z.
.orvel_fit_grid <- function(z, K, holdout, threads) {
  if (!is.double(z)) storage.mode(z) <- "double"
  r <- .Call(C_orvel_fit_grid, z, as.double(.orvel_pad7(.orvel_safe_weights(K))), holdout,
             threads, NULL)
  names(r) <- c("F", "gFx", "gFy")
  r
}

# Leave-one-out CV of the checked grid `z` with the checked kernel `K` (at
# most 7 x 7):
# c(sum of squared errors, nodes scored) over the nodes where observation
# and prediction are both finite.
.orvel_cv_grid <- function(z, K, threads) {
  if (!is.double(z)) storage.mode(z) <- "double"
  d <- dim(z)
  .Call(C_orvel_fit_block, z, c(d[1L], d[2L], 0, 0, d[2L], 0),
        as.double(.orvel_pad7(.orvel_safe_weights(K))), TRUE,
        0L, 1, 1, 1, c(0, 0),
        threads)
}

# Arguments that no method takes are an error, as in a function without `...`.
.orvel_dots <- function(...) {
  n <- ...length()
  if (n == 0L) return(invisible())
  nm <- names(list(...))
  if (is.null(nm)) nm <- rep("", n)
  nm[!nzchar(nm)] <- "(unnamed)"
  .orvel_stop("unused argument%s: %s", if (n > 1L) "s" else "", paste(nm, collapse = ", "))
}

.onUnload <- function(libpath) library.dynam.unload("orvel", libpath)
