# Runs the package's testthat suite on the orvel installed in R_LIBS, from
# the repository root; ORVEL_LIBDIR may point it at another build of the
# libraries.
library(testthat)
library(orvel)
test_dir("rpkg/tests/testthat", package = "orvel", load_package = "installed",
         reporter = "summary", stop_on_failure = TRUE)
