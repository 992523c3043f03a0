/* Everything the C API gives for a file, as text: tests/cpp/dump.cpp writes the same text from
 * the C++ API, so that the two agree bit for bit when the texts are equal (floating-point
 * numbers in hexadecimal, arrays by a digest of their bytes). Written in the common subset of
 * C99 and C++, so that the fuzz target can compile it too. */
#include "dump.h"

#include <stdlib.h>
#include <string.h>

/* FNV-1a over bytes. */
static uint64_t digest(const void *p, size_t n) {
    const unsigned char *b = (const unsigned char *)p;
    uint64_t h = 1469598103934665603ull;
    size_t i;
    for (i = 0; i < n; ++i)
        h = (h ^ b[i]) * 1099511628211ull;
    return h;
}

static void text(FILE *out, const char *s, size_t n) {
    size_t i;
    fputc('"', out);
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            fprintf(out, "\\x%02x", c);
        else
            fputc(c, out);
    }
    fputc('"', out);
}

static void ctext(FILE *out, const char *s) { text(out, s, strlen(s)); }

static void error(FILE *out, orv_error *e) {
    uint64_t offset = 0;
    const int has = orv_error_offset(e, &offset);
    fprintf(out, "error %d %d ", (int)orv_error_status(e), (int)orv_error_detail(e));
    if (has)
        fprintf(out, "%llu ", (unsigned long long)offset);
    else
        fprintf(out, "- ");
    ctext(out, orv_error_message(e));
    fprintf(out, "\n");
    orv_error_free(e);
}

static void value(FILE *out, orv_value v) {
    switch (v.type) {
    case ORV_VALUE_INT: fprintf(out, "i%lld", (long long)v.integer); break;
    case ORV_VALUE_FLOAT: fprintf(out, "f%a", v.real); break;
    case ORV_VALUE_TEXT: text(out, v.text, v.text_length); break;
    default: fprintf(out, "none"); break;
    }
}

static void params(FILE *out, const char *indent, const orv_params *p) {
    size_t i, n = orv_params_count(p);
    fprintf(out, "%sparams %zu\n", indent, n);
    for (i = 0; i < n; ++i) {
        orv_value v;
        const char *code = orv_param_at(p, i, &v);
        fprintf(out, "%s  %s=", indent, code);
        value(out, v);
        fprintf(out, "\n");
    }
}

static void doubles(FILE *out, const char *name, const double *a, size_t n) {
    if (!a) {
        fprintf(out, "    %s none\n", name);
        return;
    }
    fprintf(out, "    %s %zu %016llx\n", name, n, (unsigned long long)digest(a, n * sizeof(double)));
}

static void floats(FILE *out, const char *name, const float *a, const size_t *shape, size_t ndim, size_t n) {
    size_t i;
    fprintf(out, "    %s (", name);
    for (i = 0; i < ndim; ++i)
        fprintf(out, "%s%zu", i ? "," : "", shape[i]);
    fprintf(out, ") %016llx\n", (unsigned long long)digest(a, n * sizeof(float)));
}

static void notes(FILE *out, size_t n, const orv_data *d, const orv_description *desc) {
    size_t i;
    for (i = 0; i < n; ++i) {
        orv_note_kind k = ORV_NOTE_MESSAGE;
        const char *t = d ? orv_data_note(d, i, &k) : orv_desc_note(desc, i, &k);
        fprintf(out, "    note %d ", (int)k);
        ctext(out, t);
        fprintf(out, "\n");
    }
}

/* One coordinate array of a whole read or the row information. */
static void coord(FILE *out, const char *name, const orv_data *d, orv_coord which, size_t region) {
    size_t n = 0;
    const double *a = orv_data_coord(d, which, region, &n);
    doubles(out, name, a, n);
}

/* What a whole read or the row information holds besides the main array. */
static void per_row(FILE *out, const orv_data *d) {
    size_t n, i, r;
    coord(out, "mapX", d, ORV_COORD_MAP_X, ORV_NO_REGION);
    coord(out, "mapY", d, ORV_COORD_MAP_Y, ORV_NO_REGION);
    coord(out, "z", d, ORV_COORD_TIME, ORV_NO_REGION);
    fprintf(out, "    labels %zu\n", orv_data_label_count(d));
    for (i = 0; i < orv_data_label_count(d); ++i) {
        fprintf(out, "      ");
        ctext(out, orv_data_label(d, i));
        fprintf(out, "\n");
    }
    fprintf(out, "    regions %zu\n", orv_data_region_count(d));
    for (r = 0; r < orv_data_region_count(d); ++r) {
        const size_t *shape;
        size_t ndim;
        const float *v = orv_data_values(d, r, &shape, &ndim, &n);
        fprintf(out, "    region ");
        ctext(out, orv_data_region_title(d, r));
        fprintf(out, "\n");
        coord(out, "mapX", d, ORV_COORD_MAP_X, r);
        coord(out, "mapY", d, ORV_COORD_MAP_Y, r);
        coord(out, "start_time", d, ORV_COORD_START_TIME, r);
        if (v)
            floats(out, "values", v, shape, ndim, n);
    }
}

/* orv_read_values into our buffer must give exactly what orv_read gave: the one main array,
 * or each region's of a multi-region map (which may hold none). */
static void into(FILE *out, const orv_reader *r, const orv_block *b, const orv_data *d) {
    const int multi = orv_data_kind(d) == ORV_POINT_MAP || orv_data_kind(d) == ORV_TRACE_MAP;
    const size_t arrays = multi ? orv_data_region_count(d) : 1;
    size_t g, n = 0, nx = 0;
    int same = 1;
    for (g = 0; g < arrays; ++g) {
        const size_t region = multi ? g : ORV_NO_REGION;
        const float *v = orv_data_values(d, region, NULL, NULL, &n);
        const double *x = orv_data_coord(d, ORV_COORD_X, ORV_NO_REGION, &nx);
        float *buffer = (float *)malloc(n ? n * sizeof(float) : 1);
        double *xs = (double *)malloc(nx ? nx * sizeof(double) : 1);
        orv_error *e = NULL;
        if (!buffer || !xs)
            abort();
        /* Once with the x axis (the whole-read path), once without (the rows path). */
        if (orv_read_values(r, b, region, buffer, n, xs, nx, &e) != ORV_OK ||
            memcmp(buffer, v, n * sizeof(float)) != 0 || memcmp(xs, x, nx * sizeof(double)) != 0)
            same = 0;
        orv_error_free(e);
        e = NULL;
        memset(buffer, 0xff, n * sizeof(float));
        if (orv_read_values(r, b, region, buffer, n, NULL, 0, &e) != ORV_OK ||
            memcmp(buffer, v, n * sizeof(float)) != 0)
            same = 0;
        orv_error_free(e);
        free(buffer);
        free(xs);
    }
    fprintf(out, "    into %s\n", same ? "same" : "differs");
}

static void rows(FILE *out, const orv_reader *r, const orv_block *b, const orv_description *desc) {
    const size_t regions = orv_desc_region_count(desc), length = orv_desc_row_length(desc);
    size_t g;
    for (g = 0; g < (regions ? regions : 1); ++g) {
        const size_t region = regions ? g : ORV_NO_REGION;
        const size_t count = regions ? orv_desc_region_rows(desc, g) : orv_desc_rows(desc);
        float *buffer;
        orv_error *e = NULL;
        if (count && length > (size_t)-1 / sizeof(float) / count) {
            fprintf(out, "  rows too many\n");
            continue;
        }
        buffer = (float *)malloc(count * length != 0 ? count * length * sizeof(float) : 1);
        if (!buffer) {
            fprintf(out, "  rows too many\n");
            continue;
        }
        fprintf(out, "  rows %zu x %zu: ", count, length);
        if (orv_read_row_range(r, b, 0, count, region, buffer, count * length, &e) == ORV_OK)
            fprintf(out, "%016llx\n", (unsigned long long)digest(buffer, count * length * sizeof(float)));
        else
            error(out, e);
        free(buffer);
    }
}

static void quantity(FILE *out, orv_quantity q) {
    fprintf(out, " ");
    ctext(out, q.long_name);
    fprintf(out, " ");
    ctext(out, q.units);
    fprintf(out, " ");
    ctext(out, q.units_display);
    fprintf(out, "\n");
}

static void coordinate(FILE *out, const orv_coordinate *c) {
    orv_axis a;
    fprintf(out, "      coord %s", orv_coord_name(c));
    if (orv_coord_axis(c, &a))
        fprintf(out, " axis %a %a %zu", a.first, a.last, a.count);
    else
        fprintf(out, " rows %d", orv_coord_row_info(c));
    quantity(out, orv_coord_quantity(c));
}

/* The description's data model: dimensions, coordinates, quantities, completeness, time. */
static void model(FILE *out, const orv_description *d) {
    size_t i, k;
    double utc = 0;
    for (i = 0; i < orv_desc_dim_count(d); ++i) {
        fprintf(out, "    dim %s %zu rows %d\n", orv_desc_dim_name(d, i), orv_desc_dim_size(d, i),
                orv_desc_dim_rows(d, i));
        for (k = 0; k < orv_desc_coord_count(d, i); ++k)
            coordinate(out, orv_desc_coord(d, i, k));
    }
    coordinate(out, orv_desc_spectral(d));
    fprintf(out, "    values");
    quantity(out, orv_desc_values(d));
    fprintf(out, "    held %llu of %llu\n", (unsigned long long)orv_desc_values_held(d),
            (unsigned long long)orv_desc_values_declared(d));
    fprintf(out, "    acquired ");
    if (orv_desc_acquired(d, &utc))
        fprintf(out, "%a ", utc);
    else
        fprintf(out, "none ");
    ctext(out, orv_desc_acquired_date(d));
    fprintf(out, " ");
    ctext(out, orv_desc_acquired_time(d));
    fprintf(out, " ");
    ctext(out, orv_desc_acquired_note(d));
    fprintf(out, "\n");
}

static void block(FILE *out, const orv_reader *r, const orv_block *b) {
    orv_description *desc = NULL;
    orv_data *d = NULL;
    orv_error *e = NULL;
    fprintf(out, "block %s %s %s\n", b->type, b->dimensions, b->derivative);

    fprintf(out, "  describe: ");
    if (orv_describe(r, b, &desc, &e) != ORV_OK) {
        error(out, e);
    } else {
        size_t ndim, i;
        const size_t *shape = orv_desc_shape(desc, &ndim);
        const orv_axis x = orv_desc_x(desc);
        fprintf(out, "%s %s %s %s (", orv_kind_name(orv_desc_kind(desc)), orv_desc_block(desc)->type,
                orv_desc_block(desc)->dimensions, orv_desc_block(desc)->derivative);
        for (i = 0; i < ndim; ++i)
            fprintf(out, "%s%zu", i ? "," : "", shape[i]);
        fprintf(out, ") x %a %a %zu rows %zu x %zu\n", x.first, x.last, x.count, orv_desc_rows(desc),
                orv_desc_row_length(desc));
        params(out, "    ", orv_desc_params(desc));
        for (i = 0; i < orv_desc_region_count(desc); ++i) {
            fprintf(out, "    region %zu ", orv_desc_region_rows(desc, i));
            ctext(out, orv_desc_region_title(desc, i));
            fprintf(out, " group ");
            value(out, orv_desc_region_group(desc, i));
            fprintf(out, " %llu x %llu grid %d\n", (unsigned long long)orv_desc_region_nx(desc, i),
                    (unsigned long long)orv_desc_region_ny(desc, i), (int)orv_desc_region_grid(desc, i));
        }
        model(out, desc);
        notes(out, orv_desc_note_count(desc), NULL, desc);
    }

    fprintf(out, "  read: ");
    e = NULL;
    if (orv_read(r, b, &d, &e) != ORV_OK) {
        error(out, e);
    } else {
        size_t n, ndim;
        const size_t *shape;
        const float *v = orv_data_values(d, ORV_NO_REGION, &shape, &ndim, &n);
        const double *x = orv_data_coord(d, ORV_COORD_X, ORV_NO_REGION, &n);
        fprintf(out, "%s %s %s %s\n", orv_kind_name(orv_data_kind(d)), orv_data_block(d)->type,
                orv_data_block(d)->dimensions, orv_data_block(d)->derivative);
        params(out, "    ", orv_data_params(d));
        doubles(out, "x", x, n);
        fprintf(out, "    y range ");
        value(out, orv_data_min_y(d));
        fprintf(out, " ");
        value(out, orv_data_max_y(d));
        fprintf(out, "\n");
        if (v) {
            orv_data_values(d, ORV_NO_REGION, &shape, &ndim, &n);
            floats(out, "values", v, shape, ndim, n);
        }
        per_row(out, d);
        notes(out, orv_data_note_count(d), d, NULL);
        into(out, r, b, d);
        orv_data_free(d);
    }

    if (desc && strcmp(orv_desc_block(desc)->dimensions, "3D") == 0) {
        rows(out, r, b, desc);
        fprintf(out, "  row info: ");
        e = NULL;
        if (orv_row_info(r, b, &d, &e) != ORV_OK) {
            error(out, e);
        } else {
            fprintf(out, "%s\n", orv_kind_name(orv_data_kind(d)));
            per_row(out, d);
            orv_data_free(d);
        }
    }
    orv_description_free(desc);
}

void orv_dump(FILE *out, const orv_reader *r) {
    orv_block *blocks = NULL;
    orv_pictures *pictures = NULL;
    orv_error *e = NULL;
    size_t n = 0, i;
    uint64_t size = 0;
    int magic = 0;
    if (orv_size(r, &size, &e) != ORV_OK || orv_is_orvel(r, 0, &magic, &e) != ORV_OK) {
        error(out, e);
        return;
    }
    fprintf(out, "size %llu magic %d\n", (unsigned long long)size, magic);
    fprintf(out, "blocks: ");
    if (orv_blocks(r, &blocks, &n, &e) != ORV_OK) {
        error(out, e);
    } else {
        fprintf(out, "%zu\n", n);
        for (i = 0; i < n; ++i)
            block(out, r, &blocks[i]);
        orv_free(blocks);
    }
    fprintf(out, "pictures: ");
    e = NULL;
    if (orv_pictures_read(r, &pictures, &e) != ORV_OK) {
        error(out, e);
        return;
    }
    fprintf(out, "%zu\n", orv_pictures_count(pictures));
    for (i = 0; i < orv_pictures_count(pictures); ++i) {
        size_t bytes = 0;
        const void *data = orv_picture_bytes(pictures, i, &bytes);
        fprintf(out, "  picture %zu %s ", orv_picture_record(pictures, i), orv_picture_format(pictures, i));
        if (data)
            fprintf(out, "%zu %016llx\n", bytes, (unsigned long long)digest(data, bytes));
        else
            fprintf(out, "none\n");
        params(out, "    ", orv_picture_properties(pictures, i));
    }
    orv_pictures_free(pictures);
}
