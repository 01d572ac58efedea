# Results written to files, for every raster path (blocks in this process
# and tiles on workers alike).
#
# The rule: nothing the user has is touched but the result asked for.
# Everything that can be checked is checked before any work: the folder of
# `filename` exists and can be written, the target is none of the files the
# input reads (followed through symbolic links and through VRTs), an
# existing target is replaced only with `overwrite = TRUE`. The result is
# written under a name of this run's own beside `filename` and renamed onto
# it only when it is complete: a failure or an interrupt removes what the
# run wrote and leaves an earlier file as it was. A lock held from the
# checks to the rename keeps two calls (two sessions, two machines on one
# file system) from writing one target: the second fails at once, naming
# the first.

# The absolute path of `f` with symbolic links followed: of the file where
# it exists, else of its folder (which must exist).
.orvel_real_path <- function(f) {
  if (file.exists(f)) return(normalizePath(f, winslash = "/"))
  file.path(normalizePath(dirname(f), winslash = "/"), basename(f))
}

# The files a VRT reads: its <SourceFilename> elements, relative to the
# VRT's folder where they say so.
.orvel_vrt_sources <- function(f) {
  x <- paste(readLines(f, warn = FALSE), collapse = "\n")
  m <- regmatches(x, gregexpr("<SourceFilename[^>]*>[^<]*</SourceFilename>", x))[[1L]]
  if (!length(m)) return(character())
  name <- sub("^<SourceFilename[^>]*>([^<]*)</SourceFilename>$", "\\1", m)
  for (e in list(c("&lt;", "<"), c("&gt;", ">"), c("&quot;", "\""), c("&apos;", "'"),
                 c("&amp;", "&")))
    name <- gsub(e[1L], e[2L], name, fixed = TRUE)
  rel <- grepl("relativeToVRT=\"1\"", m, fixed = TRUE)
  name[rel] <- file.path(dirname(f), name[rel])
  name
}

# Every file raster x reads: terra's sources of all its layers and, for a
# VRT among them, the files it reads in turn; absolute, links followed.
# Sources that are not files (GDAL connection strings, /vsi paths) cannot
# be written by a fit and are left out.
.orvel_input_files <- function(x) {
  todo <- unique(terra::sources(x))
  seen <- character()
  while (length(todo)) {
    f <- todo[1L]
    todo <- todo[-1L]
    if (!nzchar(f) || !file.exists(f)) next
    f <- normalizePath(f, winslash = "/")
    if (f %in% seen || dir.exists(f)) next
    seen <- c(seen, f)
    if (grepl("[.]vrt$", f, ignore.case = TRUE))
      todo <- c(todo, tryCatch(.orvel_vrt_sources(f), error = function(e) character()))
  }
  seen
}

# The target of a run that writes raster x's result to `filename`, checked
# (see the top) and locked: NULL for "" (terra's own temporary files), else
# an environment with `path` (absolute), `dir`, `token` (this run's), the
# tiles folder `tdir` when `tiles`, and the lock; .orvel_output_end()
# releases it and removes whatever the run left, unless it was committed.
# `what` names the input in messages.
.orvel_output <- function(filename, overwrite, x, tiles = FALSE, what = "the raster") {
  if (!is.character(filename) || length(filename) != 1L || is.na(filename))
    .orvel_stop("`filename` must be one file name (or \"\"), not %s", .orvel_given(filename))
  overwrite <- .orvel_check_flag(overwrite, "overwrite")
  if (!nzchar(filename)) return(NULL)
  dir <- dirname(filename)
  if (!dir.exists(dir))
    .orvel_stop("the folder of `filename` \"%s\" does not exist", dir)
  if (file.access(dir, 2L) != 0L)
    .orvel_stop("the folder of `filename` \"%s\" cannot be written to", dir)
  if (dir.exists(filename))
    .orvel_stop("`filename` \"%s\" is a folder: name a file", filename)
  real <- .orvel_real_path(filename)
  inputs <- .orvel_input_files(x)
  if (real %in% inputs)
    .orvel_stop("`filename` \"%s\" is a file %s reads (\"%s\"): write the result elsewhere",
                filename, what, real)
  aux <- paste0(filename, ".aux.xml")
  if (!overwrite && (file.exists(filename) || file.exists(aux)))
    .orvel_stop("`filename` \"%s\" exists%s: use `overwrite = TRUE` to replace it", filename,
                if (file.exists(filename)) "" else sprintf(" (its \"%s\")", basename(aux)))
  o <- new.env(parent = emptyenv())
  o$path <- file.path(normalizePath(dir, winslash = "/"), basename(filename))
  o$dir <- dirname(o$path)
  o$stem <- sub("(.)[.][^.]*$", "\\1", basename(filename))
  o$ext <- substring(basename(filename), nchar(o$stem) + 1L)
  # A name of this run's own (tempfile() leaves the user's random numbers be).
  o$token <- sprintf("%d-%s", Sys.getpid(), sub("^file", "", basename(tempfile())))
  o$made <- character()
  o$done <- FALSE
  if (tiles) {
    o$tdir <- file.path(o$dir, paste0(o$stem, "_tiles"))
    .orvel_check_tile_dir(o$tdir, overwrite, inputs, what)
  }
  .orvel_lock(o, filename)
  o
}

# The tiles folder of a VRT result, `tdir`: absent, or (with `overwrite`) a
# folder of an earlier result's tiles alone, none of which the input reads.
.orvel_check_tile_dir <- function(tdir, overwrite, inputs, what) {
  if (!file.exists(tdir)) return(invisible())
  if (!dir.exists(tdir))
    .orvel_stop("\"%s\", where the tiles of `filename` go, is a file: move it, or choose another `filename`",
                tdir)
  if (!overwrite)
    .orvel_stop("the tiles folder \"%s\" of `filename` exists: use `overwrite = TRUE` to replace it",
                tdir)
  real <- normalizePath(tdir, winslash = "/")
  inside <- inputs[startsWith(inputs, paste0(real, "/"))]
  if (length(inside))
    .orvel_stop("the tiles folder \"%s\" of `filename` holds a file %s reads (\"%s\"): choose another `filename`",
                tdir, what, inside[1L])
  f <- list.files(tdir, all.files = TRUE, no.. = TRUE)
  if (!all(grepl("^tile_[0-9]+_[0-9]+\\.tif(\\.aux\\.xml)?$", f)))
    .orvel_stop("the tiles folder \"%s\" of `filename` holds files other than tiles: move them, or choose another `filename`",
                tdir)
}

# Takes the lock of target o: a folder beside it, made by one call at a
# time (making a folder is atomic, also on network file systems), holding
# who made it. A lock whose maker was a process of this machine that is no
# longer running is taken over (where that can be asked without harm: a
# signal 0 on Unix; elsewhere a lock is removed by hand).
.orvel_lock <- function(o, filename) {
  lock <- file.path(o$dir, sprintf(".%s.lock", basename(o$path)))
  me <- c(host = Sys.info()[["nodename"]], pid = Sys.getpid(), time = format(Sys.time()))
  for (attempt in 1:2) {
    if (dir.create(lock, showWarnings = FALSE)) {
      o$lock <- lock
      writeLines(paste(names(me), me, sep = ": "), file.path(lock, "owner"))
      return(invisible())
    }
    who <- tryCatch(readLines(file.path(lock, "owner"), warn = FALSE), error = function(e) "")
    field <- function(k) sub(sprintf("^%s: ", k), "", grep(sprintf("^%s: ", k), who, value = TRUE))
    host <- field("host")
    pid <- suppressWarnings(as.integer(field("pid")))
    stale <- .Platform$OS.type == "unix" && length(host) == 1L && host == me[["host"]] &&
      length(pid) == 1L && !is.na(pid) && pid != Sys.getpid() && !isTRUE(tools::pskill(pid, 0L))
    if (!stale || attempt == 2L) break
    unlink(lock, recursive = TRUE)
  }
  .orvel_stop("`filename` \"%s\" is being written by another call (%s): wait for it to finish, or choose another `filename` (if no such call is running, remove \"%s\")",
              filename, if (length(who) && any(nzchar(who))) paste(who, collapse = ", ")
              else "its lock is there", lock)
}

# A name for a file of run o beside its target: the target's name with the
# run's token before its extension (which tells terra and GDAL the format),
# hidden; `part` tells one of the run's files from another.
.orvel_output_temp <- function(o, part = "part", ext = o$ext) {
  f <- file.path(o$dir, sprintf(".%s.%s-%s%s", o$stem, part, o$token, ext))
  o$made <- c(o$made, f)
  f
}

# Renames the run's file `tmp` onto the target, with the files a driver
# wrote beside it (the same name and more: "x.tif.aux.xml", "x.hdr"); an
# earlier result's .aux.xml that the new one lacks goes, so that it cannot
# describe the new file.
.orvel_output_commit <- function(o, tmp) {
  base <- sub("[.][^.]*$", "", basename(tmp))
  if (!nzchar(o$ext)) base <- basename(tmp)
  side <- list.files(o$dir, all.files = TRUE, no.. = TRUE)
  side <- side[startsWith(side, base) & side != basename(tmp)]
  if (!file.rename(tmp, o$path))
    .orvel_stop("cannot write \"%s\" (the result is complete in \"%s\")", o$path, tmp)
  o$done <- TRUE
  for (s in side)
    file.rename(file.path(o$dir, s),
                file.path(o$dir, paste0(o$stem, substring(s, nchar(base) + 1L))))
  aux <- paste0(o$path, ".aux.xml")
  if (!paste0(basename(tmp), ".aux.xml") %in% side && file.exists(aux)) unlink(aux)
  invisible(o$path)
}

# Ends run o: removes whatever of the run's own files is left (all of them
# unless the result was committed: those the run named, and any a driver
# wrote beside them) and releases the lock.
.orvel_output_end <- function(o) {
  if (is.null(o)) return(invisible())
  mine <- sprintf("^[.]%s[.][a-z]+-%s", gsub("([][{}()+*^$|\\\\?.])", "\\\\\\1", o$stem), o$token)
  left <- list.files(o$dir, pattern = mine, all.files = TRUE, full.names = TRUE)
  unlink(unique(c(o$made, left)), recursive = TRUE)
  if (!is.null(o$lock)) unlink(o$lock, recursive = TRUE)
  o$lock <- NULL
  invisible()
}
