# orv_read against R's own readBin on the same small spectra:
#     python bench/make_small.py DIR && Rscript bench/r_small.R DIR [ROUNDS]
# The floor opens each file, seeks to its values and reads them with readBin (it knows where
# they are: DIR/layout.txt); orv_read reads the whole block: x, values named by x, parameters.
# Prints the per-file time of each, best and median of the rounds, and their ratio.
library(orvelio)
args <- commandArgs(trailingOnly = TRUE)
dir <- args[1]
rounds <- if (length(args) > 1) as.integer(args[2]) else 7L
layout <- scan(file.path(dir, "layout.txt"), quiet = TRUE)
files <- list.files(dir, pattern = "\\.orv$", full.names = TRUE)

floor_read <- function(f) {
  con <- file(f, "rb")
  seek(con, layout[1])
  v <- readBin(con, "double", layout[2], size = 4L)
  close(con)
  v
}
stopifnot(identical(unname(orv_read(files[1])$values), floor_read(files[1])))

per_file <- function(read) {
  t <- vapply(seq_len(rounds), function(i) {
    start <- proc.time()[["elapsed"]]
    for (f in files) read(f)
    (proc.time()[["elapsed"]] - start) / length(files)
  }, 0)
  c(best = min(t), median = stats::median(t))
}
floor_t <- per_file(floor_read)
orv_t <- per_file(function(f) orv_read(f, "AB 2D NONE"))
cat(sprintf("%d files of %d points, %d rounds; per file, best (median):\n", length(files), layout[2], rounds))
cat(sprintf("  readBin   %7.1f us (%7.1f)\n", 1e6 * floor_t[["best"]], 1e6 * floor_t[["median"]]))
cat(sprintf("  orv_read  %7.1f us (%7.1f)   %.2fx readBin (%.2fx)\n", 1e6 * orv_t[["best"]], 1e6 * orv_t[["median"]],
            orv_t[["best"]] / floor_t[["best"]], orv_t[["median"]] / floor_t[["median"]]))
