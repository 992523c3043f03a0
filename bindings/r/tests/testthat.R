library(testthat)
library(orvelio)

test_check("orvelio")
