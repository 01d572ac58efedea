library(testthat)
library(orvel)

test_check("orvel")
