# Runs the package's testthat suite on the orvel installed in R_LIBS, from
# the repository root; ORVEL_LIBDIR may point it at another build of the
# libraries, and ORVEL_TEST_FILTER pick the test files whose names match.
library(testthat)
library(orvel)
filter <- Sys.getenv("ORVEL_TEST_FILTER")
test_dir("rpkg/tests/testthat", filter = if (nzchar(filter)) filter, package = "orvel",
         load_package = "installed",
         reporter = "summary", stop_on_failure = TRUE)
