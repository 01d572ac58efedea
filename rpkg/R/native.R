# The one way into the two native libraries.
#
# The libraries are plain shared objects that register nothing: each is
# loaded with dyn.load() by path on first use, its entry is looked up in it
# by name, and the package's .Call shim (src/call.c) calls the entry on the R
# vectors themselves, so nothing is duplicated on the way in or out.

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

# Loads library `lib` from our path unless it is loaded already, and returns
# its DLLInfo. Entries are looked up in that DLL itself, never by the name
# alone: R resolves PACKAGE = "<name>" to the most recently loaded library
# of that name, which may be a same-named one loaded from elsewhere (a build
# tree, say) after ours.
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
  for (d in getLoadedDLLs()) if (identical(d[["path"]], path)) return(d)
  dyn.load(path)
}

# The native symbol of `entry` in library `lib`, loading the library first.
.orvel_entry <- function(lib, entry) getNativeSymbolInfo(entry, .orvel_load(lib))

.orvel_unload <- function() {
  for (lib in ls(.orvel)) {
    path <- .orvel[[lib]]
    if (any(vapply(getLoadedDLLs(), function(d) identical(d[["path"]], path), NA)))
      try(dyn.unload(path), silent = TRUE)
  }
  rm(list = ls(.orvel), envir = .orvel)
}

.onUnload <- function(libpath) {
  .orvel_unload()
  library.dynam.unload("orvel", libpath)
}

# Calls the entry `sym` (from .orvel_entry()) on the grid `z` (a double or
# integer matrix with at least two rows and columns) and the 49 weights `K`,
# through the package's own shim, which hands the library pointers into the
# R vectors themselves: nothing is duplicated on the way in or out. Returns
# list(F, gFx, gFy), plain vectors: fresh ones, or the three vectors of
# `work` written in place (see orvel_call in src/call.c).
.orvel_call <- function(sym, z, K, work = NULL) {
  d <- dim(z)
  # An integer grid is converted once; a double one is passed as it is.
  if (!is.double(z)) z <- as.double(z)
  # Missing values are the libraries' business: they spread to every node
  # whose window holds one.
  r <- .Call(C_orvel_call, sym$address, z, as.integer(d), K, work)
  names(r) <- c("F", "gFx", "gFy")
  r
}

# Calls `entry` of `lib` on the checked grid `z` and the 49 weights `K`.
# Returns the list of the three output matrices F, gFx, gFy, shaped and
# named like z.
.orvel_native <- function(lib, entry, z, K) {
  r <- .orvel_call(.orvel_entry(lib, entry), z, K)
  dn <- dimnames(z)
  # Set in place: the three vectors are referenced by this list alone.
  dim(r$F) <- dim(r$gFx) <- dim(r$gFy) <- dim(z)
  if (!is.null(dn)) dimnames(r$F) <- dimnames(r$gFx) <- dimnames(r$gFy) <- dn
  r
}
