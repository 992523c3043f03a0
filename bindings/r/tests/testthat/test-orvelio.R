# The sample ships with the package; the files of every kind (fuzz/make_corpus.py's seeds) are
# put in by scripts/r_check.sh, and their tests skipped without them.
sample <- system.file("extdata", "sample.orv", package = "orvelio")
corpus <- system.file("extdata", "corpus", package = "orvelio")
seed <- function(name) {
  skip_if(corpus == "", "no corpus of every kind (scripts/r_check.sh adds it)")
  file.path(corpus, name)
}
# The builder's values: sin(0.3 k + phase) to 4 decimals, as float32.
wave <- function(n, phase = 0) round(sin(0.3 * (seq_len(n) - 1) + phase), 4)

test_that("blocks and a spectrum: x as names, parameters with labels", {
  b <- orv_blocks(sample)
  expect_s3_class(b, "data.frame")
  expect_equal(b$type, c("AB", "SSC"))
  expect_equal(b$kind[1], "spectrum")
  expect_equal(b$x_units[1], "cm-1")
  expect_equal(b$values[1], "Absorbance")
  expect_true(all(b$complete) && b$held[1] == b$points[1])
  expect_s3_class(b$acquired, "POSIXct")
  s <- orv_read(sample)
  expect_equal(s$block, "AB 2D NONE")
  expect_length(s$values, b$points[1])
  expect_equal(names(s$values), as.character(s$x))
  expect_equal(s$x[c(1, length(s$x))], c(b$x_first[1], b$x_last[1]))
  expect_identical(orv_read(sample, "ab")$values, s$values)
  expect_identical(orv_read(sample, b[2, ])$block, "SSC 2D NONE")
  p <- orv_params(sample, "AB 2D NONE")
  expect_identical(p, s$parameters)
  expect_equal(p$NPT, length(s$values))
  expect_equal(attr(p, "labels")[["RES"]], "Resolution")
})

test_that("failures are orvelio_error conditions of their code, with the offset", {
  e <- expect_error(orv_read(sample, "TR"), class = "orvelio_not_found")
  expect_s3_class(e, "orvelio_error")
  expect_equal(e$detail, "no_block")
  expect_error(orv_blocks(file.path(tempdir(), "missing.orv")), class = "orvelio_io")
  expect_error(orv_read(sample, "NOTATYPE"), class = "orvelio_invalid_request")
  cut <- tempfile(fileext = ".orv")
  writeBin(readBin(sample, "raw", 300), cut)
  e <- expect_error(orv_read(cut), class = "orvelio_error")
  expect_true(e$code %in% c("truncated", "corrupt"))
  expect_true(is.numeric(e$offset) && !is.na(e$offset))
  writeBin(charToRaw("not an orvel file"), cut)
  expect_error(orv_blocks(cut), class = "orvelio_not_orvel")
})

test_that("3D kinds keep the library's element order in R's arrays", {
  img <- orv_read(seed("0004-image.orv"))
  expect_equal(dim(img$values), c(2L, 3L, 6L))
  expect_equal(names(dimnames(img$values)), c("y", "x", "spectral"))
  for (k in 0:4)  # pixel k = iy * 3 + ix; the sixth is not stored and reads as zeros
    expect_equal(img$values[k %/% 3 + 1, k %% 3 + 1, ], wave(6, k), tolerance = 1e-6, ignore_attr = TRUE)
  expect_true(all(img$values[2, 3, ] == 0))
  tr <- orv_read(seed("0006-image-traces.orv"))
  expect_equal(dimnames(tr$values)$trace, paste("trace", 0:2))
  expect_equal(as.vector(t(tr$values[, , 2])), wave(6, 1), tolerance = 1e-6)
  ts <- orv_read(seed("0007-time-resolved.orv"))
  expect_equal(ts$times, c(0.5, 1.5, 3))
  expect_equal(unname(ts$values[3, ]), wave(6, 2), tolerance = 1e-6)
})

test_that("maps: one row per point, with its region and position", {
  m <- orv_read(seed("0009-multi-region.orv"))
  expect_equal(m$regions$rows, c(4, 1))
  expect_equal(m$regions$group, c(1, 2))
  expect_equal(m$regions$nx, c(2, 0))
  expect_equal(nrow(m$values), 5L)
  expect_equal(m$coordinates$region, c(1, 1, 1, 1, 2))
  expect_equal(m$coordinates$mapX[5], 0.5)
  expect_equal(unname(m$values[5, ]), wave(6, 4), tolerance = 1e-6)
  t <- orv_read(seed("0010-multi-region-traces.orv"))
  expect_equal(colnames(t$values), paste("trace", 0:2))
})

test_that("pictures are written as files", {
  dir <- file.path(tempdir(), "pictures")
  p <- orv_pictures(seed("0011-pictures.orv"), dir)
  expect_equal(p$format, c("png", "", "", "jpeg"))
  expect_equal(file.size(p$file[1]), p$bytes[1])
  expect_true(is.na(p$file[3]))
  expect_equal(p$properties[[1]]$Title, "png")
})

test_that("a folder of spectra: one matrix, the parameters as a data.frame", {
  dir <- file.path(tempdir(), "folder")
  dir.create(dir, showWarnings = FALSE)
  file.copy(sample, file.path(dir, c("a.orv", "b.orv")), overwrite = TRUE)
  f <- orv_read_folder(dir)
  expect_equal(dim(f$spectra), c(2L, length(f$x)))
  expect_equal(rownames(f$spectra), c("a.orv", "b.orv"))
  expect_identical(f$spectra[2, ], orv_read(sample)$values)
  expect_equal(f$parameters$NPT, c(1024, 1024))
  file.copy(seed("0000-spectrum.orv"), file.path(dir, "c.orv"))  # 64 points, not 1024
  expect_error(orv_read_folder(dir, "AB"), "x axis differs")
})
