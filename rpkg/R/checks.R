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

# A grid: a double or integer matrix of at least 2 x 2 nodes that the
# libraries can index. Returns z.
.orvel_check_z <- function(z, arg = "z") {
  if (!is.matrix(z) || !(is.double(z) || is.integer(z)) || is.object(z) && !inherits(z, "matrix"))
    .orvel_stop("`%s` must be a numeric matrix, not %s", arg, .orvel_what(z))
  d <- dim(z)
  if (d[1L] < 2L || d[2L] < 2L)
    .orvel_stop("`%s` must have at least two rows and two columns, not %d x %d: a plane is fitted to neighbours in both directions",
                arg, d[1L], d[2L])
  z
}

# A 7 x 7 matrix of finite weights (an orvel_select() result stands for its
# chosen kernel). Returns the 49 weights as doubles.
.orvel_check_kernel <- function(kernel, arg = "kernel") {
  if (inherits(kernel, "orvel_select")) kernel <- kernel$kernel
  if (!is.matrix(kernel) || !(is.double(kernel) || is.integer(kernel)) ||
      !identical(dim(kernel), c(7L, 7L)))
    .orvel_stop("`%s` must be a 7 x 7 numeric matrix (see orvel_kernel()), not %s",
                arg, .orvel_what(kernel))
  if (!all(is.finite(kernel)))
    .orvel_stop("`%s` must hold finite weights only, not %s", arg,
                paste(unique(format(kernel[!is.finite(kernel)])), collapse = ", "))
  as.double(kernel)
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
    .orvel_stop("`%s` must be TRUE or FALSE, not %s", arg, .orvel_what(x))
  x
}
