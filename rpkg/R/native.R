# The package's compiled code: the fitting engines, linked into the
# package's own library, reached through registered .Call routines that
# split the work across threads (src/model.c, src/grid.c, src/block.c, src/parallel.c).

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

#' Instruction sets used by orvel
#'
#' Which vector instructions the package's fits and terrain passes run in
#' this R process. Every level computes the same bits (no fused
#' multiply-add, the same order of operations); the wider ones are faster.
#' The CPU is asked once per process (its features and whether the
#' operating system saves their registers), and the level is capped by the
#' environment variable `ORVEL_ISA`, read at the same time: `"baseline"`,
#' `"avx2"` or `"avx512"` runs at most that level; unset or empty, no cap.
#' Any other value caps nothing and is returned as `ignored`. Set it before
#' the package's first fit, e.g. in the environment R starts with. The two
#' libraries of the raw `.C` interface ask the CPU on every call and read no
#' environment.
#'
#' @return A list: `level`, the level in use (`"baseline"`, `"avx2"` or
#'   `"avx512"`); `cpu`, the highest this CPU allows; `engine`, the variant
#'   the exact 7 x 7 plane runs (`"generic"`, `"avx2"` or `"avx512"`);
#'   `features`, the CPU's features found (character); `ignored`, the value
#'   of `ORVEL_ISA` that named no level, or `NULL`.
#' @export
#' @examples
#' orvel_isa()$level
orvel_isa <- function() .Call(C_orvel_isa)

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

# A model: the checked kernel matrix `kernel` and its weights safely scaled
# for the fit `K`, the `degree`, whether missing observations are left out
# (`narm`), na.policy and whether the exact 7 x 7 engine fits it: a plane
# on at most 7 x 7 where getOption("orvel.exact") is TRUE (the general
# engine fits everything else, and by default everything). A `degree` of
# NULL is the default.
.orvel_model <- function(kernel, degree = 1, na.rm = FALSE, na.policy = "all") {
  # An orvel_select() result brings the degree it was chosen for, unless
  # one is given.
  if (inherits(kernel, "orvel_select") && is.null(degree)) degree <- kernel$degree
  if (is.null(degree)) degree <- 1
  K <- .orvel_check_kernel(kernel)
  if (!is.numeric(degree) || length(degree) != 1L || !degree %in% 1:2)
    .orvel_stop("`degree` must be 1 (a plane) or 2 (a quadratic), not %s",
                if (is.numeric(degree) && length(degree) == 1L) format(degree) else .orvel_what(degree))
  na.rm <- .orvel_check_flag(na.rm, "na.rm")
  policy <- .orvel_choose(na.policy, c("all", "omit", "only"), "na.policy")
  exact <- .orvel_exact() && degree == 1 && all(dim(K) <= 7L)
  W <- .orvel_safe_weights(K)
  list(K = if (exact) W else .orvel_trim(W), kernel = K, degree = as.integer(degree),
       narm = na.rm, policy = policy, exact = exact)
}

# Weights K without the pairs of outer rows and of outer columns that are
# all zero (Horn's 3 x 3 padded to 7 x 7, say): the same fits, from a
# window that reaches no further than the weights do, at least 3 x 3.
.orvel_trim <- function(K) {
  zero <- function(v) all(v == 0)
  while (nrow(K) > 3L && zero(K[1L, ]) && zero(K[nrow(K), ])) K <- K[-c(1L, nrow(K)), , drop = FALSE]
  while (ncol(K) > 3L && zero(K[, 1L]) && zero(K[, ncol(K)])) K <- K[, -c(1L, ncol(K)), drop = FALSE]
  K
}

# getOption("orvel.exact"), checked.
.orvel_exact <- function() {
  e <- getOption("orvel.exact", FALSE)
  if (!is.logical(e) || length(e) != 1L || is.na(e))
    .orvel_stop("option `orvel.exact` must be TRUE or FALSE, not %s", .orvel_what(e))
  e
}

# The compiled model of `model` (the leave-one-out fit if `holdout`) on a
# grid of ny x nx nodes, the engines' fast index first: built once for a
# call, its plan shared by every block and pass of it.
.orvel_engine <- function(model, holdout, ny, nx)
  .Call(C_orvel_model_new, list(K = model$K, degree = model$degree, holdout = holdout,
                                narm = model$narm, exact = model$exact, ny = ny, nx = nx))

# The one way into the fits: `entry` "grid" (the grid z in memory) or
# "block" (columns of a grid held in part, into `out`), of the compiled
# model `engine`, with the named request `req` (see src/grid.c, src/block.c).
.orvel_native <- function(entry, engine, z, req, out = NULL)
  switch(entry,
         grid = .Call(C_orvel_fit_grid, engine, z, req, NULL),
         block = .Call(C_orvel_fit_block, engine, z, req, out))

# The fit of the checked grid `z` (a numeric matrix) under `model`:
# list(F, gFx, gFy), each shaped and named like z, and for degree 2 `Q`,
# the coefficients of dy^2, dy dx and dx^2 per node step (z's rows x
# columns x 3). With `stats`, the attribute "stats" (see .orvel_stats());
# with `unit` (p factors from each output to coef()'s units) also `se`, the
# standard errors of coef() (z's rows x columns x p).
.orvel_fit_grid <- function(z, model, holdout, threads, stats = FALSE, unit = NULL) {
  if (!is.double(z)) storage.mode(z) <- "double"
  if (!is.null(model$weights)) return(.orvel_wfit_grid(z, model, holdout, threads, unit))
  se <- if (!is.null(unit)) 2L else if (stats) 1L else 0L
  d <- dim(z)
  r <- .orvel_native("grid", .orvel_engine(model, holdout, d[1L], d[2L]), z,
                     list(threads = threads, se = se, unit = unit))
  names(r) <- c("F", "gFx", "gFy", if (model$degree == 2L) "Q", if (se == 2L) "se")
  r
}

# The statistics of the fit of the checked grid `z` under `model` (the
# leave-one-out fit if `holdout`): c(rss, n, nu1, nu2, cvss, zmax, sigma,
# scale), the full fit's residual sum of squares, the nodes scored, tr L and
# tr L'L over them, the sum of squared leave-one-out errors, the largest
# finite |z| (of all nodes), sigma-hat and the power of two k the squares
# were formed at (rss and cvss are those of z * 2^k: 0 but for values
# beyond 2^256 or below 2^-256, see .orvel_criteria()), over
# the nodes where observation and fit are finite (and flagged in `keep`,
# unless NULL); a node that cannot be scored has its flag in `can` (or
# NULL) cleared in place. Both are flags of C_orvel_flags_new(), `keep`
# also a raw vector.
.orvel_stats_grid <- function(z, model, threads, keep = NULL, can = NULL, holdout = TRUE) {
  if (!is.double(z)) storage.mode(z) <- "double"
  d <- dim(z)
  .orvel_native("block", .orvel_engine(model, holdout, d[1L], d[2L]), z,
                list(at = c(0, 0, d[2L], 0, 0, d[1L]), what = 0L, threads = threads, keep = keep,
                     can = can), c(numeric(7), NA))
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
