/* The R package's calls into the C API (orvelio.h). Each returns its result, or on failure a
 * list of class "orvelio_failure" (status, detail, offset, message) that R/orvelio.R signals
 * as a condition of class orvelio_error: no R error is raised while the library's objects are
 * held. */
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

#include <orvelio/orvelio.h>

#include <stdint.h>
#include <string.h>

static SEXP failure(orv_error *e) {
    const char *names[] = {"status", "detail", "offset", "message", ""};
    SEXP out = PROTECT(Rf_mkNamed(VECSXP, names));
    uint64_t offset = 0;
    const int has = orv_error_offset(e, &offset);
    SET_VECTOR_ELT(out, 0, Rf_mkString(orv_status_name(orv_error_status(e))));
    SET_VECTOR_ELT(out, 1, Rf_mkString(orv_detail_name(orv_error_detail(e))));
    SET_VECTOR_ELT(out, 2, Rf_ScalarReal(has ? (double)offset : NA_REAL));
    SET_VECTOR_ELT(out, 3, Rf_ScalarString(Rf_mkCharCE(orv_error_message(e), CE_UTF8)));
    Rf_setAttrib(out, R_ClassSymbol, Rf_mkString("orvelio_failure"));
    orv_error_free(e);
    UNPROTECT(1);
    return out;
}

static SEXP utf8(const char *s) { return s ? Rf_mkCharCE(s, CE_UTF8) : NA_STRING; }

/* A text that may hold NUL bytes: a string up to the first, as R's strings cannot hold one. */
static SEXP text_of(const char *s, size_t n) {
    const char *nul = (const char *)memchr(s, 0, n);
    return Rf_mkCharLenCE(s, (int)(nul ? (size_t)(nul - s) : n), CE_UTF8);
}

static SEXP value_of(orv_value v) {
    switch (v.type) {
    case ORV_VALUE_INT:
        if (v.integer > INT32_MIN && v.integer <= INT32_MAX)
            return Rf_ScalarInteger((int)v.integer);
        return Rf_ScalarReal((double)v.integer);
    case ORV_VALUE_FLOAT: return Rf_ScalarReal(v.real);
    case ORV_VALUE_TEXT: return Rf_ScalarString(text_of(v.text, v.text_length));
    default: return R_NilValue;
    }
}

/* Parameters as a named list, with attribute "labels": each code's display label, else its
 * descriptive name, else NA. */
static SEXP params_of(const orv_params *p) {
    const size_t n = orv_params_count(p);
    size_t i;
    SEXP out = PROTECT(Rf_allocVector(VECSXP, (R_xlen_t)n));
    SEXP names = PROTECT(Rf_allocVector(STRSXP, (R_xlen_t)n));
    SEXP labels = PROTECT(Rf_allocVector(STRSXP, (R_xlen_t)n));
    for (i = 0; i < n; ++i) {
        orv_value v;
        const char *code = orv_param_at(p, i, &v);
        const char *label = orv_param_label(code);
        SET_VECTOR_ELT(out, (R_xlen_t)i, value_of(v));
        SET_STRING_ELT(names, (R_xlen_t)i, utf8(code));
        SET_STRING_ELT(labels, (R_xlen_t)i, utf8(label ? label : orv_param_name(code)));
    }
    Rf_setAttrib(labels, R_NamesSymbol, names);
    Rf_setAttrib(out, R_NamesSymbol, names);
    Rf_setAttrib(out, Rf_install("labels"), labels);
    UNPROTECT(3);
    return out;
}

static SEXP doubles(const double *a, size_t n) {
    SEXP out;
    if (!a)
        return R_NilValue;
    out = Rf_allocVector(REALSXP, (R_xlen_t)n);
    if (n)
        memcpy(REAL(out), a, n * sizeof(double));
    return out;
}

/* The main array (of `region`) as an R array of the same dimensions: element [i0, i1, ...] of
 * both is the same value (the C API lays it out in R's column-major order). */
static SEXP array_of(const orv_data *d, size_t region) {
    const size_t *shape;
    size_t ndim = 0, n = 0, i;
    SEXP r, dim;
    if (!orv_data_values(d, region, &shape, &ndim, &n))
        return R_NilValue;
    r = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)n));
    if (orv_data_copy_values(d, region, 1, REAL(r), n, NULL) != ORV_OK) {
        UNPROTECT(1);
        return R_NilValue;
    }
    if (ndim > 1) {
        dim = PROTECT(Rf_allocVector(INTSXP, (R_xlen_t)ndim));
        for (i = 0; i < ndim; ++i)
            INTEGER(dim)[i] = (int)shape[i];
        Rf_setAttrib(r, R_DimSymbol, dim);
        UNPROTECT(1);
    }
    UNPROTECT(1);
    return r;
}

static SEXP labels_of(const orv_data *d) {
    const size_t n = orv_data_label_count(d);
    size_t i;
    SEXP out;
    if (!n)
        return R_NilValue;
    out = PROTECT(Rf_allocVector(STRSXP, (R_xlen_t)n));
    for (i = 0; i < n; ++i)
        SET_STRING_ELT(out, (R_xlen_t)i, utf8(orv_data_label(d, i)));
    UNPROTECT(1);
    return out;
}

static orv_block block_of(SEXP words) {
    orv_block b;
    b.type = CHAR(STRING_ELT(words, 0));
    b.dimensions = CHAR(STRING_ELT(words, 1));
    b.derivative = CHAR(STRING_ELT(words, 2));
    return b;
}

static const char *path_of(SEXP path) { return Rf_translateChar(STRING_ELT(path, 0)); }

/* The blocks: a list of columns (type, dimensions, derivative, kind, shape, x_first, x_last,
 * points); a block that cannot be described fails the call. */
SEXP orvr_blocks(SEXP path) {
    const char *names[] = {"type",  "dimensions", "derivative", "kind",   "shape",    "x_first",  "x_last",
                           "points", "x_units",   "values",     "values_units", "held", "declared", "acquired",
                           ""};
    orv_reader *r = NULL;
    orv_error *e = NULL;
    orv_block *blocks = NULL;
    size_t n = 0, i, k;
    SEXP out;
    if (orv_open(path_of(path), &r, &e) != ORV_OK)
        return failure(e);
    if (orv_blocks(r, &blocks, &n, &e) != ORV_OK) {
        orv_close(r);
        return failure(e);
    }
    out = PROTECT(Rf_mkNamed(VECSXP, names));
    for (k = 0; k < 4; ++k)
        SET_VECTOR_ELT(out, (R_xlen_t)k, Rf_allocVector(STRSXP, (R_xlen_t)n));
    SET_VECTOR_ELT(out, 4, Rf_allocVector(VECSXP, (R_xlen_t)n));
    SET_VECTOR_ELT(out, 5, Rf_allocVector(REALSXP, (R_xlen_t)n));
    SET_VECTOR_ELT(out, 6, Rf_allocVector(REALSXP, (R_xlen_t)n));
    SET_VECTOR_ELT(out, 7, Rf_allocVector(REALSXP, (R_xlen_t)n));
    for (k = 8; k < 11; ++k)
        SET_VECTOR_ELT(out, (R_xlen_t)k, Rf_allocVector(STRSXP, (R_xlen_t)n));
    for (k = 11; k < 14; ++k)
        SET_VECTOR_ELT(out, (R_xlen_t)k, Rf_allocVector(REALSXP, (R_xlen_t)n));
    for (i = 0; i < n; ++i) {
        orv_description *d = NULL;
        size_t ndim, j;
        const size_t *shape;
        SEXP s;
        orv_axis x;
        if (orv_describe(r, &blocks[i], &d, &e) != ORV_OK) {
            orv_free(blocks);
            orv_close(r);
            UNPROTECT(1);
            return failure(e);
        }
        shape = orv_desc_shape(d, &ndim);
        x = orv_desc_x(d);
        SET_STRING_ELT(VECTOR_ELT(out, 0), (R_xlen_t)i, utf8(blocks[i].type));
        SET_STRING_ELT(VECTOR_ELT(out, 1), (R_xlen_t)i, utf8(blocks[i].dimensions));
        SET_STRING_ELT(VECTOR_ELT(out, 2), (R_xlen_t)i, utf8(blocks[i].derivative));
        SET_STRING_ELT(VECTOR_ELT(out, 3), (R_xlen_t)i, utf8(orv_kind_name(orv_desc_kind(d))));
        s = Rf_allocVector(REALSXP, (R_xlen_t)ndim);
        SET_VECTOR_ELT(VECTOR_ELT(out, 4), (R_xlen_t)i, s);
        for (j = 0; j < ndim; ++j)
            REAL(s)[j] = (double)shape[j];
        REAL(VECTOR_ELT(out, 5))[i] = x.first;
        REAL(VECTOR_ELT(out, 6))[i] = x.last;
        REAL(VECTOR_ELT(out, 7))[i] = (double)x.count;
        {
            const orv_quantity xq = orv_coord_quantity(orv_desc_spectral(d)), vq = orv_desc_values(d);
            double utc = NA_REAL;
            SET_STRING_ELT(VECTOR_ELT(out, 8), (R_xlen_t)i, utf8(xq.units));
            SET_STRING_ELT(VECTOR_ELT(out, 9), (R_xlen_t)i, utf8(vq.long_name));
            SET_STRING_ELT(VECTOR_ELT(out, 10), (R_xlen_t)i, utf8(vq.units));
            REAL(VECTOR_ELT(out, 11))[i] = (double)orv_desc_values_held(d);
            REAL(VECTOR_ELT(out, 12))[i] = (double)orv_desc_values_declared(d);
            if (!orv_desc_acquired(d, &utc))
                utc = NA_REAL;
            REAL(VECTOR_ELT(out, 13))[i] = utc;
        }
        orv_description_free(d);
    }
    orv_free(blocks);
    orv_close(r);
    UNPROTECT(1);
    return out;
}

/* The first block the file lists, as three words. */
SEXP orvr_first_block(SEXP path) {
    orv_reader *r = NULL;
    orv_error *e = NULL;
    orv_block *blocks = NULL;
    size_t n = 0;
    SEXP out;
    if (orv_open(path_of(path), &r, &e) != ORV_OK)
        return failure(e);
    if (orv_blocks(r, &blocks, &n, &e) != ORV_OK) {
        orv_close(r);
        return failure(e);
    }
    orv_close(r);
    if (!n) {
        orv_free(blocks);
        return R_NilValue;
    }
    out = PROTECT(Rf_allocVector(STRSXP, 3));
    SET_STRING_ELT(out, 0, utf8(blocks[0].type));
    SET_STRING_ELT(out, 1, utf8(blocks[0].dimensions));
    SET_STRING_ELT(out, 2, utf8(blocks[0].derivative));
    orv_free(blocks);
    UNPROTECT(1);
    return out;
}

/* A whole block: list(kind, block, x, values, parameters, mapX, mapY, z, labels, regions),
 * regions a list of list(title, mapX, mapY, start_time, values). */
SEXP orvr_read(SEXP path, SEXP words) {
    const char *names[] = {"kind", "block", "x", "values", "parameters", "mapX", "mapY", "z", "labels", "regions",
                           "notes", ""};
    const char *region_names[] = {"title", "mapX", "mapY", "start_time", "values", ""};
    const orv_block b = block_of(words);
    orv_reader *r = NULL;
    orv_data *d = NULL;
    orv_error *e = NULL;
    size_t n = 0, g, regions;
    SEXP out, list, blk;
    if (orv_open(path_of(path), &r, &e) != ORV_OK)
        return failure(e);
    if (orv_read(r, &b, &d, &e) != ORV_OK) {
        orv_close(r);
        return failure(e);
    }
    orv_close(r);
    out = PROTECT(Rf_mkNamed(VECSXP, names));
    SET_VECTOR_ELT(out, 0, Rf_mkString(orv_kind_name(orv_data_kind(d))));
    blk = Rf_allocVector(STRSXP, 3);
    SET_VECTOR_ELT(out, 1, blk);
    SET_STRING_ELT(blk, 0, utf8(orv_data_block(d)->type));
    SET_STRING_ELT(blk, 1, utf8(orv_data_block(d)->dimensions));
    SET_STRING_ELT(blk, 2, utf8(orv_data_block(d)->derivative));
    {
        const double *x = orv_data_coord(d, ORV_COORD_X, ORV_NO_REGION, &n);
        SET_VECTOR_ELT(out, 2, doubles(x, n));
    }
    SET_VECTOR_ELT(out, 3, array_of(d, ORV_NO_REGION));
    SET_VECTOR_ELT(out, 4, params_of(orv_data_params(d)));
    {
        const double *a = orv_data_coord(d, ORV_COORD_MAP_X, ORV_NO_REGION, &n);
        SET_VECTOR_ELT(out, 5, doubles(a, n));
        a = orv_data_coord(d, ORV_COORD_MAP_Y, ORV_NO_REGION, &n);
        SET_VECTOR_ELT(out, 6, doubles(a, n));
        a = orv_data_coord(d, ORV_COORD_TIME, ORV_NO_REGION, &n);
        SET_VECTOR_ELT(out, 7, doubles(a, n));
    }
    SET_VECTOR_ELT(out, 8, labels_of(d));
    regions = orv_data_region_count(d);
    list = Rf_allocVector(VECSXP, (R_xlen_t)regions);
    SET_VECTOR_ELT(out, 9, list);
    for (g = 0; g < regions; ++g) {
        SEXP one = Rf_mkNamed(VECSXP, region_names);
        const double *a;
        SET_VECTOR_ELT(list, (R_xlen_t)g, one);
        SET_VECTOR_ELT(one, 0, Rf_ScalarString(utf8(orv_data_region_title(d, g))));
        a = orv_data_coord(d, ORV_COORD_MAP_X, g, &n);
        SET_VECTOR_ELT(one, 1, doubles(a, n));
        a = orv_data_coord(d, ORV_COORD_MAP_Y, g, &n);
        SET_VECTOR_ELT(one, 2, doubles(a, n));
        a = orv_data_coord(d, ORV_COORD_START_TIME, g, &n);
        SET_VECTOR_ELT(one, 3, doubles(a, n));
        SET_VECTOR_ELT(one, 4, array_of(d, g));
    }
    {
        const size_t count = orv_data_note_count(d);
        size_t i;
        SEXP notes = Rf_allocVector(STRSXP, (R_xlen_t)count);
        SET_VECTOR_ELT(out, 10, notes);
        for (i = 0; i < count; ++i)
            SET_STRING_ELT(notes, (R_xlen_t)i, utf8(orv_data_note(d, i, NULL)));
    }
    orv_data_free(d);
    UNPROTECT(1);
    return out;
}

/* The block's description in *d, or the failure (*d left NULL). */
static SEXP describe_block(SEXP path, SEXP words, orv_description **d) {
    const orv_block b = block_of(words);
    orv_reader *r = NULL;
    orv_error *e = NULL;
    orv_status status;
    if (orv_open(path_of(path), &r, &e) != ORV_OK)
        return failure(e);
    status = orv_describe(r, &b, d, &e);
    orv_close(r);
    return status == ORV_OK ? R_NilValue : failure(e);
}

/* The block's parameters, from its description (no values read). */
SEXP orvr_params(SEXP path, SEXP words) {
    orv_description *d = NULL;
    SEXP out = describe_block(path, words, &d);
    if (!d)
        return out;
    out = PROTECT(params_of(orv_desc_params(d)));
    orv_description_free(d);
    UNPROTECT(1);
    return out;
}

/* The regions of a multi-region map as numbers, from its description: a list of columns
 * (title, rows, group, nx, ny, grid). */
SEXP orvr_regions(SEXP path, SEXP words) {
    const char *names[] = {"title", "rows", "group", "nx", "ny", "grid", ""};
    const char *grids[] = {"none", "x_fastest", "y_fastest"};
    orv_description *d = NULL;
    size_t n, i;
    SEXP out = describe_block(path, words, &d);
    if (!d)
        return out;
    n = orv_desc_region_count(d);
    out = PROTECT(Rf_mkNamed(VECSXP, names));
    SET_VECTOR_ELT(out, 0, Rf_allocVector(STRSXP, (R_xlen_t)n));
    for (i = 1; i < 5; ++i)
        SET_VECTOR_ELT(out, (R_xlen_t)i, Rf_allocVector(REALSXP, (R_xlen_t)n));
    SET_VECTOR_ELT(out, 5, Rf_allocVector(STRSXP, (R_xlen_t)n));
    for (i = 0; i < n; ++i) {
        const orv_value g = orv_desc_region_group(d, i);
        const orv_grid grid = orv_desc_region_grid(d, i);
        SET_STRING_ELT(VECTOR_ELT(out, 0), (R_xlen_t)i, utf8(orv_desc_region_title(d, i)));
        REAL(VECTOR_ELT(out, 1))[i] = (double)orv_desc_region_rows(d, i);
        REAL(VECTOR_ELT(out, 2))[i] = g.type == ORV_VALUE_INT ? (double)g.integer : g.type == ORV_VALUE_FLOAT ? g.real : NA_REAL;
        REAL(VECTOR_ELT(out, 3))[i] = (double)orv_desc_region_nx(d, i);
        REAL(VECTOR_ELT(out, 4))[i] = (double)orv_desc_region_ny(d, i);
        SET_STRING_ELT(VECTOR_ELT(out, 5), (R_xlen_t)i, Rf_mkChar(grid <= ORV_GRID_Y_FASTEST ? grids[grid] : "none"));
    }
    orv_description_free(d);
    UNPROTECT(1);
    return out;
}

/* The pictures: a list of list(properties, format, bytes (raw or NULL), record). */
SEXP orvr_pictures(SEXP path) {
    const char *names[] = {"properties", "format", "bytes", "record", ""};
    orv_reader *r = NULL;
    orv_pictures *p = NULL;
    orv_error *e = NULL;
    size_t n, i;
    SEXP out;
    if (orv_open(path_of(path), &r, &e) != ORV_OK)
        return failure(e);
    if (orv_pictures_read(r, &p, &e) != ORV_OK) {
        orv_close(r);
        return failure(e);
    }
    orv_close(r);
    n = orv_pictures_count(p);
    out = PROTECT(Rf_allocVector(VECSXP, (R_xlen_t)n));
    for (i = 0; i < n; ++i) {
        SEXP one = Rf_mkNamed(VECSXP, names);
        size_t size = 0;
        const void *bytes = orv_picture_bytes(p, i, &size);
        SET_VECTOR_ELT(out, (R_xlen_t)i, one);
        SET_VECTOR_ELT(one, 0, params_of(orv_picture_properties(p, i)));
        SET_VECTOR_ELT(one, 1, Rf_mkString(orv_picture_format(p, i)));
        if (bytes) {
            SEXP raw = Rf_allocVector(RAWSXP, (R_xlen_t)size);
            SET_VECTOR_ELT(one, 2, raw);
            if (size)
                memcpy(RAW(raw), bytes, size);
        }
        SET_VECTOR_ELT(one, 3, Rf_ScalarReal((double)orv_picture_record(p, i)));
    }
    orv_pictures_free(p);
    UNPROTECT(1);
    return out;
}

static const R_CallMethodDef calls[] = {
    {"orvr_blocks", (DL_FUNC)&orvr_blocks, 1},   {"orvr_first_block", (DL_FUNC)&orvr_first_block, 1},
    {"orvr_read", (DL_FUNC)&orvr_read, 2},       {"orvr_params", (DL_FUNC)&orvr_params, 2},
    {"orvr_pictures", (DL_FUNC)&orvr_pictures, 1}, {"orvr_regions", (DL_FUNC)&orvr_regions, 2},
    {NULL, NULL, 0}};

void R_init_orvelio(DllInfo *dll) {
    R_registerRoutines(dll, NULL, calls, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
}
