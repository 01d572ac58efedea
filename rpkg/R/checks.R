# Argument checks shared by the exported functions. Each error names the
# argument, says what was given and what is wanted.

# "an integer vector", "a logical matrix", "a data frame", "NULL", ...
.orvel_what <- function(x) {
  what <- if (is.null(x)) {
    return("NULL")
  } else if (is.data.frame(x)) {
    "data frame"
  } else if (isS4(x)) {
    sprintf("%s object (S4)", class(x)[1L])
  } else if (is.factor(x)) {
    "factor"
  } else if (is.matrix(x) && is.object(x)) {
    sprintf("object of class \"%s\" holding a %d x %d %s matrix", class(x)[1L], nrow(x), ncol(x),
            if (is.double(x)) "numeric" else typeof(x))
  } else if (is.matrix(x)) {
    sprintf("%d x %d %s matrix", nrow(x), ncol(x), if (is.double(x)) "numeric" else typeof(x))
  } else if (is.array(x)) {
    sprintf("%d-dimensional array", length(dim(x)))
  } else if (is.list(x) && !is.object(x)) {
    "list"
  } else if (is.atomic(x) && !is.object(x)) {
    sprintf("%s vector of length %d", if (is.double(x)) "numeric" else typeof(x), length(x))
  } else {
    sprintf("%s object", class(x)[1L])
  }
  paste(if (grepl("^[aeiou8]", what)) "an" else "a", what)
}

.orvel_stop <- function(...) stop(sprintf(...), call. = FALSE)

# What was given, for a message: a single number, string or flag as itself
# (1, "z", NA), anything else as .orvel_what() describes it.
.orvel_given <- function(x) {
  if (!is.atomic(x) || is.object(x) || length(x) != 1L || !is.null(dim(x)) || is.raw(x) ||
      is.complex(x))
    return(.orvel_what(x))
  if (is.character(x) && !is.na(x)) encodeString(x, quote = "\"") else format(x)
}

# A grid: a double or integer matrix of at least 2 x 2 nodes that the
# libraries can index. Returns z, without its class if it had one: a
# `table`, or an object whose class says it is a "matrix", is its numbers;
# any other class on a matrix may mean anything, so it is refused by name.
.orvel_check_z <- function(z, arg = "z") {
  if (inherits(z, "RasterStackBrick")) .orvel_stop_raster_layers(z, arg)
  if (!is.matrix(z) || !(is.double(z) || is.integer(z)) || isS4(z))
    .orvel_stop("`%s` must be a numeric matrix, not %s", arg, .orvel_what(z))
  if (is.object(z)) {
    if (!inherits(z, c("table", "matrix")))
      .orvel_stop("`%s` must be a numeric matrix, not %s: unclass(%s) fits its numbers",
                  arg, .orvel_what(z), arg)
    z <- unclass(z)
  }
  d <- dim(z)
  if (d[1L] < 2L || d[2L] < 2L)
    .orvel_stop("`%s` must have at least two rows and two columns, not %d x %d: a plane is fitted to neighbours in both directions",
                arg, d[1L], d[2L])
  z
}

# A matrix of finite weights with an odd number of rows and of columns,
# each from 3 to 101, not all zero (an orvel_select() result stands for its
# chosen kernel). Returns the weights as a double matrix of the same shape,
# without dimnames.
.orvel_check_kernel <- function(kernel, arg = "kernel") {
  if (inherits(kernel, "orvel_select")) kernel <- kernel$kernel
  if (!is.matrix(kernel) || !(is.double(kernel) || is.integer(kernel)))
    .orvel_stop("`%s` must be a numeric matrix of weights (see orvel_kernel()), not %s",
                arg, .orvel_what(kernel))
  d <- dim(kernel)
  if (any(d < 3L) || any(d > 101L) || any(d %% 2L != 1L))
    .orvel_stop("`%s` must have an odd number of rows and of columns, each from 3 to 101, not %d x %d",
                arg, d[1L], d[2L])
  if (!all(is.finite(kernel)))
    .orvel_stop("`%s` must hold finite weights only, not %s", arg,
                paste(unique(format(kernel[!is.finite(kernel)])), collapse = ", "))
  if (all(kernel == 0))
    .orvel_stop("`%s` must have at least one non-zero weight, not all %d zero: no node can be fitted",
                arg, length(kernel))
  matrix(as.double(kernel), d[1L], d[2L])
}

# The checked weights K as the libraries take them. Scaling every weight by
# the same factor leaves the fitted planes unchanged, but the weighted sums
# of the fit hold products of up to three weights, which overflow or
# underflow double precision when the weights are huge or tiny (all scaled
# by 1e150 or 1e-200, say). Weights whose largest magnitude is outside
# [2^-64, 2^64] are therefore scaled by the power of two that brings it into
# [1, 2): exact, bit for bit the fit of the same weights at ordinary scale.
# Weights inside the range are passed as they are.
.orvel_safe_weights <- function(K) {
  m <- max(abs(K))
  if (m >= 2^-64 && m <= 2^64) return(K)
  k <- -floor(log2(m))
  if (2^floor(log2(m)) > m) k <- k + 1      # log2() rounded up past a power of two
  # In two steps, so that neither factor leaves the range of doubles.
  K * 2^(k %/% 2) * 2^(k - k %/% 2)
}

# One positive finite number, or two (rows, columns). Returns two.
.orvel_check_pair <- function(x, arg) {
  if (!is.numeric(x) || is.object(x) || !(length(x) %in% 1:2) || any(!is.finite(x)) || any(x <= 0))
    .orvel_stop("`%s` must be one positive number or c(rows, columns), not %s", arg,
                if (is.numeric(x) && length(x) %in% 1:2) toString(x)
                else .orvel_what(x))
  rep(as.double(x), length.out = 2L)
}

.orvel_check_flag <- function(x, arg) {
  if (!is.logical(x) || length(x) != 1L || is.na(x))
    .orvel_stop("`%s` must be TRUE or FALSE, not %s", arg, .orvel_given(x))
  x
}
