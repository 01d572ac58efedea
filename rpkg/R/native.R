# The one way into the two native libraries.
#
# The libraries are plain shared objects that register nothing: each is
# loaded with dyn.load() by path on first use and its entry is called by name
# through dotCall64's .C64(), which hands the library pointers into the R
# vectors themselves. `data` and `K` are read-only and the three outputs are
# write-only, so nothing is duplicated on the way in or out.

# Paths of the libraries this session has loaded, by library name.
.orvel <- new.env(parent = emptyenv())

# Where the libraries live: the package's own libs/ (per sub-architecture),
# unless the environment variable ORVEL_LIBDIR names another directory (used
# by the project's own tests to run this code over other builds).
.orvel_libdir <- function() {
  dir <- Sys.getenv("ORVEL_LIBDIR", "")
  if (nzchar(dir)) return(dir)
  libs <- system.file("libs", package = "orvel")
  arch <- .Platform$r_arch
  if (nzchar(arch) && dir.exists(file.path(libs, arch))) file.path(libs, arch) else libs
}

# Makes sure library `lib` is loaded from our path and is the one that a
# lookup by its name finds. R resolves PACKAGE = "<name>" to the most
# recently loaded library of that name, so when someone has since loaded a
# library of the same name from elsewhere (a build tree, say), loading ours
# again puts it back in front.
.orvel_load <- function(lib) {
  path <- .orvel[[lib]]
  if (is.null(path)) {
    path <- file.path(.orvel_libdir(), paste0(lib, .Platform$dynlib.ext))
    if (!file.exists(path))
      stop(sprintf("cannot find the orvel library '%s'; reinstall the package (or point ORVEL_LIBDIR at a build)",
                   path), call. = FALSE)
    path <- normalizePath(path)
    assign(lib, path, envir = .orvel)
  }
  same <- Filter(function(d) identical(d[["name"]], lib), getLoadedDLLs())
  if (!length(same) ||
      !identical(normalizePath(same[[length(same)]][["path"]], mustWork = FALSE), path))
    dyn.load(path)
  invisible(path)
}

.orvel_unload <- function() {
  for (lib in ls(.orvel)) {
    path <- .orvel[[lib]]
    if (any(vapply(getLoadedDLLs(), function(d) identical(d[["path"]], path), NA)))
      try(dyn.unload(path), silent = TRUE)
  }
  rm(list = ls(.orvel), envir = .orvel)
}

.onUnload <- function(libpath) .orvel_unload()

# Calls `entry` of `lib` on the checked grid `z` (a double or integer
# matrix with at least two rows and columns) and the 49 weights `K`.
# Returns the list of the three output matrices F, gFx, gFy, shaped and
# named like z.
.orvel_native <- function(lib, entry, z, K) {
  .orvel_load(lib)
  d <- dim(z)
  dn <- dimnames(z)
  n <- length(z)
  # An integer grid is converted once; a double one is passed as it is.
  if (!is.double(z)) z <- as.double(z)
  r <- dotCall64::.C64(entry,
    SIGNATURE = c("double", "integer", "integer", "double", "double", "double", "double"),
    data = z, ny = d[1L], nx = d[2L], K = K,
    F = dotCall64::numeric_dc(n), gFx = dotCall64::numeric_dc(n), gFy = dotCall64::numeric_dc(n),
    INTENT = c("r", "r", "r", "r", "w", "w", "w"),
    # Missing values are the libraries' business: they spread to every node
    # whose window holds one.
    NAOK = TRUE, PACKAGE = lib, VERBOSE = 0)
  # Set in place: the three vectors are referenced by this list alone.
  dim(r$F) <- dim(r$gFx) <- dim(r$gFy) <- d
  if (!is.null(dn)) dimnames(r$F) <- dimnames(r$gFx) <- dimnames(r$gFy) <- dn
  r[c("F", "gFx", "gFy")]
}
