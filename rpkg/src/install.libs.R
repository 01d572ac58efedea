# Installs the two libraries the build left in src/ into the package's libs/.
dest <- file.path(R_PACKAGE_DIR, paste0("libs", R_ARCH))
dir.create(dest, recursive = TRUE, showWarnings = FALSE)
files <- c("orvel-fit.so", "orvel-holdout.so")
stopifnot(all(file.copy(files, dest, overwrite = TRUE)))
