# Installs the package's own library and the two fitting libraries the build
# left in src/ into the package's libs/.
dest <- file.path(R_PACKAGE_DIR, paste0("libs", R_ARCH))
dir.create(dest, recursive = TRUE, showWarnings = FALSE)
files <- c(paste0("orvel", SHLIB_EXT), "orvel-fit.so", "orvel-holdout.so")
stopifnot(all(file.copy(files, dest, overwrite = TRUE)))
