/* orvread: reads a block of an Orvel file into a MATLAB / Octave struct, through the orvelio
 * library's C API. Written against the MEX API: builds with MATLAB's mex and Octave's
 * mkoctfile --mex (build.sh does either).
 *
 *     s = orvread(path)                  the first block the file lists
 *     s = orvread(path, 'AB 2D NONE')    a block by its words ('AB' alone: 2D, NONE)
 *
 * s.kind, s.block, s.x (column), s.values, s.parameters (a struct, field per code) and
 * s.coordinates (by kind: mapX, mapY, time, labels, regions). Arrays keep the library's
 * dimensions: a spectrum is a column; images (y, x, spectral); time series (time, spectral);
 * multi-region maps per region in s.coordinates.regions(k).values (points, spectral).
 * Failures raise an error whose identifier is orvelio:<code> (orvelio:not_found, ...) and
 * whose message gives the byte offset when there is one. */
#include "mex.h"

#include <orvelio/orvelio.h>

#include <stdio.h>
#include <string.h>

/* Raises the library's error (after the caller freed what it held). */
static void fail(const char *path, orv_error *e) {
    char id[64], message[1024];
    uint64_t offset = 0;
    snprintf(id, sizeof id, "orvelio:%s", orv_status_name(orv_error_status(e)));
    if (orv_error_offset(e, &offset))
        snprintf(message, sizeof message, "%s: %s (%s at byte %llu)", path, orv_error_message(e),
                 orv_detail_name(orv_error_detail(e)), (unsigned long long)offset);
    else
        snprintf(message, sizeof message, "%s: %s (%s)", path, orv_error_message(e),
                 orv_detail_name(orv_error_detail(e)));
    orv_error_free(e);
    mexErrMsgIdAndTxt(id, "%s", message);
}

static mxArray *column(const double *a, size_t n) {
    mxArray *out = mxCreateDoubleMatrix(n, 1, mxREAL);
    if (n)
        memcpy(mxGetPr(out), a, n * sizeof(double));
    return out;
}

/* The main array (of `region`) as a MATLAB array of the same dimensions: element (i0, i1, ...)
 * of both is the same value (the C API lays it out in column-major order). One dimension: a
 * column. */
static mxArray *array_of(const orv_data *d, size_t region) {
    mwSize dims[8] = {0, 1};
    const size_t *shape;
    size_t ndim = 0, n = 0, i;
    mxArray *out;
    if (!orv_data_values(d, region, &shape, &ndim, &n) || ndim > 8)
        return mxCreateDoubleMatrix(0, 0, mxREAL);
    for (i = 0; i < ndim; ++i)
        dims[i] = (mwSize)shape[i];
    out = mxCreateNumericArray(ndim < 2 ? 2 : (mwSize)ndim, dims, mxDOUBLE_CLASS, mxREAL);
    orv_data_copy_values(d, region, 1, mxGetPr(out), n, NULL);
    return out;
}

/* A parameter code as a field name: letters, digits and underscores, starting with a letter. */
static void field_name(const char *code, char *out, size_t size) {
    size_t i = 0, j = 0;
    if (!((code[0] >= 'A' && code[0] <= 'Z') || (code[0] >= 'a' && code[0] <= 'z')))
        out[j++] = 'x';
    for (; code[i] && j + 1 < size; ++i) {
        const char c = code[i];
        const int ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        out[j++] = ok ? c : '_';
    }
    out[j] = 0;
}

static mxArray *params_of(const orv_params *p) {
    const size_t n = orv_params_count(p);
    size_t i;
    mxArray *out = mxCreateStructMatrix(1, 1, 0, NULL);
    for (i = 0; i < n; ++i) {
        char name[64];
        orv_value v;
        mxArray *value;
        field_name(orv_param_at(p, i, &v), name, sizeof name);
        if (mxGetFieldNumber(out, name) >= 0) /* a code seen already: the first is kept */
            continue;
        switch (v.type) {
        case ORV_VALUE_INT: value = mxCreateDoubleScalar((double)v.integer); break;
        case ORV_VALUE_FLOAT: value = mxCreateDoubleScalar(v.real); break;
        case ORV_VALUE_TEXT: value = mxCreateString(v.text); break;
        default: value = mxCreateDoubleMatrix(0, 0, mxREAL); break;
        }
        mxSetFieldByNumber(out, 0, mxAddField(out, name), value);
    }
    return out;
}

static void set(mxArray *s, const char *name, mxArray *value) { mxSetFieldByNumber(s, 0, mxAddField(s, name), value); }

/* What the kind holds per row: map positions, times, labels, regions. */
static mxArray *coordinates(const orv_data *d) {
    mxArray *c = mxCreateStructMatrix(1, 1, 0, NULL);
    const double *a;
    size_t n, i;
    const size_t labels = orv_data_label_count(d), regions = orv_data_region_count(d);
    if ((a = orv_data_coord(d, ORV_COORD_MAP_X, ORV_NO_REGION, &n)) != NULL)
        set(c, "mapX", column(a, n));
    if ((a = orv_data_coord(d, ORV_COORD_MAP_Y, ORV_NO_REGION, &n)) != NULL)
        set(c, "mapY", column(a, n));
    if ((a = orv_data_coord(d, ORV_COORD_TIME, ORV_NO_REGION, &n)) != NULL)
        set(c, "time", column(a, n));
    if (labels) {
        mxArray *cell = mxCreateCellMatrix(labels, 1);
        for (i = 0; i < labels; ++i)
            mxSetCell(cell, i, mxCreateString(orv_data_label(d, i)));
        set(c, "labels", cell);
    }
    if (regions) {
        const char *fields[] = {"title", "mapX", "mapY", "start_time", "values"};
        mxArray *r = mxCreateStructMatrix(regions, 1, 5, fields);
        for (i = 0; i < regions; ++i) {
            mxSetField(r, i, "title", mxCreateString(orv_data_region_title(d, i)));
            a = orv_data_coord(d, ORV_COORD_MAP_X, i, &n);
            mxSetField(r, i, "mapX", column(a, n));
            a = orv_data_coord(d, ORV_COORD_MAP_Y, i, &n);
            mxSetField(r, i, "mapY", column(a, n));
            a = orv_data_coord(d, ORV_COORD_START_TIME, i, &n);
            mxSetField(r, i, "start_time", a ? column(a, n) : mxCreateDoubleMatrix(0, 0, mxREAL));
            mxSetField(r, i, "values", array_of(d, i));
        }
        set(c, "regions", r);
    }
    return c;
}

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    char path[4096], words[3][32] = {"", "2D", "NONE"}, spec[128];
    orv_block block;
    orv_reader *r = NULL;
    orv_data *d = NULL;
    orv_error *e = NULL;
    size_t n;
    const double *x;
    mxArray *s;
    (void)nlhs;
    if (nrhs < 1 || nrhs > 2 || !mxIsChar(prhs[0]) || (nrhs == 2 && !mxIsChar(prhs[1])))
        mexErrMsgIdAndTxt("orvelio:usage", "usage: s = orvread(path) or orvread(path, 'AB 2D NONE')");
    if (mxGetString(prhs[0], path, sizeof path) != 0)
        mexErrMsgIdAndTxt("orvelio:usage", "the path is too long");
    if (orv_open(path, &r, &e) != ORV_OK)
        fail(path, e);
    if (nrhs == 2) {
        if (mxGetString(prhs[1], spec, sizeof spec) != 0 ||
            sscanf(spec, "%31s %31s %31s", words[0], words[1], words[2]) < 1) {
            orv_close(r);
            mexErrMsgIdAndTxt("orvelio:usage", "the block must be words such as 'AB 2D NONE'");
        }
        block.type = words[0];
        block.dimensions = words[1];
        block.derivative = words[2];
        if (orv_read(r, &block, &d, &e) != ORV_OK) {
            orv_close(r);
            fail(path, e);
        }
    } else {
        orv_block *blocks = NULL;
        size_t count = 0;
        orv_status status = orv_blocks(r, &blocks, &count, &e);
        if (status == ORV_OK && count == 0) {
            orv_free(blocks);
            orv_close(r);
            mexErrMsgIdAndTxt("orvelio:not_found", "%s: the file has no data block", path);
        }
        if (status == ORV_OK)
            status = orv_read(r, &blocks[0], &d, &e);
        orv_free(blocks);
        if (status != ORV_OK) {
            orv_close(r);
            fail(path, e);
        }
    }
    orv_close(r);

    s = mxCreateStructMatrix(1, 1, 0, NULL);
    set(s, "kind", mxCreateString(orv_kind_name(orv_data_kind(d))));
    snprintf(spec, sizeof spec, "%s %s %s", orv_data_block(d)->type, orv_data_block(d)->dimensions,
             orv_data_block(d)->derivative);
    set(s, "block", mxCreateString(spec));
    x = orv_data_coord(d, ORV_COORD_X, ORV_NO_REGION, &n);
    set(s, "x", column(x, n));
    set(s, "values", array_of(d, ORV_NO_REGION));
    set(s, "parameters", params_of(orv_data_params(d)));
    set(s, "coordinates", coordinates(d));
    orv_data_free(d);
    plhs[0] = s;
}
