# Runs the R-level tests against the built libraries (ORVEL_LIBDIR, else
# build/), from the repository root.
library(testthat)
Sys.setenv(ORVEL_LIBDIR = normalizePath(Sys.getenv("ORVEL_LIBDIR", "build"), mustWork = TRUE),
           ORVEL_ROOT = normalizePath("."))
res <- test_dir("tests/testthat", reporter = "summary", stop_on_failure = TRUE)
