# Installs the package's own library (orvel.so, orvel.dll on Windows) and the
# two fitting libraries the build left in src/ into the package's libs/ (per
# sub-architecture: libs/x64 on Windows), the latter under their own names
# orvel-fit.so and orvel-holdout.so on every platform, Windows' DLLs
# included: dyn.load() takes the path as given.
dest <- file.path(R_PACKAGE_DIR, paste0("libs", R_ARCH))
dir.create(dest, recursive = TRUE, showWarnings = FALSE)
files <- c(paste0("orvel", SHLIB_EXT), "orvel-fit.so", "orvel-holdout.so")
stopifnot(all(file.copy(files, dest, overwrite = TRUE)))
