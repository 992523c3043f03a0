# The R face of the orvelio library. Everything is read by the library's C API (src/orvelio_r.c
# calls it); this file only shapes its answers into R's data structures.

# A failure of the library as an R condition: classes orvelio_<code>, orvelio_error, error.
orv_signal <- function(failure, path, call) {
  cond <- structure(
    class = c(paste0("orvelio_", failure$status), "orvelio_error", "error", "condition"),
    list(message = paste0(path, ": ", failure$message), call = call, code = failure$status,
         detail = failure$detail, offset = failure$offset, path = path))
  stop(cond)
}

orv_check <- function(result, path, call) {
  if (inherits(result, "orvelio_failure"))
    orv_signal(result, path, call)
  result
}

orv_path <- function(path) {
  if (!is.character(path) || length(path) != 1L || is.na(path))
    stop("path must be one file name", call. = FALSE)
  path.expand(path)
}

# The three words of a block: NULL (the first block the file lists), "AB" (2D, NONE),
# "AB 3D", "AB 2D 1DER", c("AB", "2D", "NONE"), or a row of orv_blocks().
orv_words <- function(path, block, call) {
  if (is.null(block)) {
    words <- orv_check(.Call(orvr_first_block, path), path, call)
    if (is.null(words))
      orv_signal(list(status = "not_found", detail = "no_block", offset = NA_real_,
                      message = "the file has no data block"), path, call)
    return(words)
  }
  if (is.data.frame(block))
    block <- c(block$type[1L], block$dimensions[1L], block$derivative[1L])
  if (!is.character(block) || anyNA(block))
    stop("block must be NULL, words such as \"AB 2D NONE\", or a row of orv_blocks()", call. = FALSE)
  words <- if (length(block) == 1L) strsplit(trimws(block), "[[:space:]]+")[[1L]] else block
  if (length(words) < 1L || length(words) > 3L)
    stop("block must name a type, dimensions and a derivative", call. = FALSE)
  c(words, c("AB", "2D", "NONE")[-seq_along(words)])
}

orv_blocks <- function(path) {
  path <- orv_path(path)
  cols <- orv_check(.Call(orvr_blocks, path), path, sys.call())
  data.frame(
    type = cols$type, dimensions = cols$dimensions, derivative = cols$derivative,
    kind = cols$kind,
    shape = vapply(cols$shape, function(s) paste(s, collapse = " x "), ""),
    x_first = cols$x_first, x_last = cols$x_last, points = cols$points, x_units = cols$x_units,
    values = cols$values, values_units = cols$values_units,
    complete = cols$held == cols$declared, held = cols$held, declared = cols$declared,
    acquired = as.POSIXct(cols$acquired, origin = "1970-01-01", tz = "UTC"),
    stringsAsFactors = FALSE)
}

# Numbers as the names of an array's rows or columns.
orv_names <- function(v) if (is.null(v)) NULL else as.character(v)

orv_read <- function(path, block = NULL) {
  path <- orv_path(path)
  call <- sys.call()
  r <- orv_check(.Call(orvr_read, path, orv_words(path, block, call)), path, call)
  out <- list(kind = r$kind, block = paste(r$block, collapse = " "), x = r$x)
  values <- r$values
  switch(r$kind,
    "spectrum" = names(values) <- orv_names(r$x[seq_along(values)]),
    "image" = dimnames(values) <- list(y = orv_names(r$mapY), x = orv_names(r$mapX), spectral = orv_names(r$x)),
    "image-traces" = dimnames(values) <- list(y = orv_names(r$mapY), x = orv_names(r$mapX), trace = r$labels),
    "time-series" = dimnames(values) <- list(time = orv_names(r$z), spectral = orv_names(r$x)),
    "time-traces" = dimnames(values) <- list(trace = r$labels, spectral = orv_names(r$x)))
  if (r$kind %in% c("point-map", "trace-map")) {
    # The regions' points one after another: one row per point, its region and position in
    # `coordinates`.
    columns <- if (r$kind == "trace-map") r$labels else orv_names(r$x)
    parts <- lapply(r$regions, function(g) matrix(g$values, ncol = length(columns)))
    values <- do.call(rbind, c(list(matrix(numeric(0), 0L, length(columns))), parts))
    rows <- vapply(parts, nrow, 0L)
    region <- rep.int(seq_along(r$regions), rows)
    out$coordinates <- data.frame(
      region = region,
      mapX = unlist(lapply(r$regions, `[[`, "mapX")),
      mapY = unlist(lapply(r$regions, `[[`, "mapY")))
    if (r$kind == "point-map")
      out$coordinates$start_time <- unlist(lapply(r$regions, `[[`, "start_time"))
    out$regions <- as.data.frame(orv_check(.Call(orvr_regions, path, r$block), path, call),
                                 stringsAsFactors = FALSE)
    dimnames(values) <- stats::setNames(list(NULL, columns),
                                        c("spectrum", if (r$kind == "trace-map") "trace" else "spectral"))
  }
  out$values <- values
  out$parameters <- r$parameters
  if (!is.null(r$mapX)) {
    out$mapX <- r$mapX
    out$mapY <- r$mapY
  }
  if (!is.null(r$z))
    out$times <- r$z
  if (!is.null(r$labels))
    out$labels <- r$labels
  if (length(r$notes))
    out$notes <- r$notes
  out
}

orv_params <- function(path, block = NULL) {
  path <- orv_path(path)
  call <- sys.call()
  orv_check(.Call(orvr_params, path, orv_words(path, block, call)), path, call)
}

orv_pictures <- function(path, dir = NULL) {
  path <- orv_path(path)
  pics <- orv_check(.Call(orvr_pictures, path), path, sys.call())
  files <- rep(NA_character_, length(pics))
  if (!is.null(dir)) {
    dir.create(dir, showWarnings = FALSE, recursive = TRUE)
    stem <- sub("\\.[^.]*$", "", basename(path))
    for (i in seq_along(pics)) {
      p <- pics[[i]]
      if (is.null(p$bytes))
        next
      files[i] <- file.path(dir, sprintf("%s-%d.%s", stem, i, if (nzchar(p$format)) p$format else "bin"))
      writeBin(p$bytes, files[i])
    }
  }
  out <- data.frame(
    title = vapply(pics, function(p) { t <- p$properties$Title; if (is.character(t)) t else NA_character_ }, ""),
    format = vapply(pics, `[[`, "", "format"),
    bytes = vapply(pics, function(p) length(p$bytes), 0L),
    record = vapply(pics, `[[`, 0, "record"),
    file = files, stringsAsFactors = FALSE)
  out$properties <- lapply(pics, `[[`, "properties")
  out
}

orv_read_folder <- function(paths, block = NULL) {
  if (length(paths) == 1L && dir.exists(paths)) {
    paths <- list.files(paths, full.names = TRUE)
    paths <- paths[!dir.exists(paths)]
  }
  if (!length(paths))
    stop("no files to read", call. = FALSE)
  spectra <- NULL
  params <- vector("list", length(paths))
  for (i in seq_along(paths)) {
    r <- orv_read(paths[i], block)
    if (r$kind != "spectrum")
      stop(paths[i], ": the block is a ", r$kind, ", not a spectrum", call. = FALSE)
    if (is.null(spectra)) {
      x <- r$x
      spectra <- matrix(NA_real_, length(paths), length(r$values),
                        dimnames = list(basename(paths), names(r$values)))
    } else if (!identical(r$x, x) || length(r$values) != ncol(spectra)) {
      stop(paths[i], ": its x axis differs from that of ", paths[1L],
           ": the spectra cannot share one matrix", call. = FALSE)
    }
    spectra[i, ] <- r$values
    params[[i]] <- r$parameters
  }
  list(x = x, spectra = spectra, parameters = orv_param_table(params, basename(paths)))
}

# Parameters of many files as a data.frame: a column per code, numeric when every file's value
# is a number, text otherwise; NA where a file lacks the code.
orv_param_table <- function(params, rows) {
  codes <- unique(unlist(lapply(params, names)))
  columns <- lapply(codes, function(code) {
    v <- lapply(params, `[[`, code)
    numeric <- all(vapply(v, function(e) is.null(e) || is.numeric(e), TRUE))
    if (numeric)
      vapply(v, function(e) if (is.null(e)) NA_real_ else as.numeric(e), 0)
    else
      vapply(v, function(e) if (is.null(e)) NA_character_ else as.character(e), "")
  })
  names(columns) <- codes
  out <- as.data.frame(columns, stringsAsFactors = FALSE, optional = TRUE)
  if (!length(codes))
    out <- data.frame(row.names = seq_along(rows))
  row.names(out) <- make.unique(rows)
  out
}
