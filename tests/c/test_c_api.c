/* The C API's own behaviour, compiled as C99: errors as statuses with their detail, offset and
 * message; refused arguments; the caller's buffers against the library's arrays; parameters
 * and their labels. What it reads agrees with the C++ API by tests/c/compare.cmake. */
#include <orvelio/orvelio.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures = 0;
#define CHECK(c)                                                                                     \
    do {                                                                                             \
        if (!(c)) {                                                                                  \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #c);                          \
            ++failures;                                                                              \
        }                                                                                            \
    } while (0)

/* The call failed with this status and detail, with a message (*e is freed and reset). */
static void expect(orv_status got, orv_error **e, orv_status status, orv_detail detail) {
    CHECK(got == status);
    CHECK(*e != NULL);
    if (*e) {
        CHECK(orv_error_status(*e) == status);
        CHECK(orv_error_detail(*e) == detail);
        CHECK(strlen(orv_error_message(*e)) > 0);
        orv_error_free(*e);
        *e = NULL;
    }
}

static unsigned char *slurp(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    unsigned char *bytes;
    long n;
    if (!f)
        return NULL;
    fseek(f, 0, SEEK_END);
    n = ftell(f);
    fseek(f, 0, SEEK_SET);
    bytes = (unsigned char *)malloc((size_t)n);
    if (bytes && fread(bytes, 1, (size_t)n, f) != (size_t)n) {
        free(bytes);
        bytes = NULL;
    }
    fclose(f);
    *size = (size_t)n;
    return bytes;
}

static void opening(const char *sample) {
    orv_reader *r = NULL;
    orv_error *e = NULL;
    orv_block *blocks;
    size_t n;
    int magic = -1;
    /* A missing file: the system's errno. */
    CHECK(orv_open("/nonexistent/file.orv", &r, &e) == ORV_IO && r == NULL);
    CHECK(orv_error_detail(e) == ORV_DETAIL_SYSTEM && orv_error_errno(e) == ENOENT);
    CHECK(strcmp(orv_status_name(orv_error_status(e)), "io") == 0);
    CHECK(strcmp(orv_detail_name(orv_error_detail(e)), "system") == 0);
    orv_error_free(e);
    e = NULL;
    /* No error object asked for: the status alone. */
    CHECK(orv_open(NULL, &r, NULL) == ORV_INVALID_REQUEST);
    CHECK(orv_open(sample, NULL, NULL) == ORV_INVALID_REQUEST);

    /* Bytes that are not an Orvel file. */
    CHECK(orv_open_memory("not an orvel file at all", 24, 1, &r, &e) == ORV_OK);
    CHECK(orv_is_orvel(r, 0, &magic, &e) == ORV_OK && magic == 0);
    expect(orv_blocks(r, &blocks, &n, &e), &e, ORV_NOT_ORVEL, ORV_DETAIL_NOT_ORVEL);
    orv_close(r);
    e = NULL;
    CHECK(orv_open_memory(NULL, 4, 0, &r, &e) == ORV_INVALID_REQUEST);
    orv_error_free(e);
}

/* The sample's spectrum through every path that reads it. */
static void spectrum(const char *sample) {
    const orv_block ab = {"ab", "2d", "none"}, missing = {"TR", "2D", "NONE"}, unknown = {"XYZ", "2D", "NONE"};
    orv_reader *r = NULL;
    orv_description *d = NULL;
    orv_data *data = NULL;
    orv_error *e = NULL;
    orv_value v;
    size_t count = 0, n = 0, ndim = 0;
    const size_t *shape;
    const float *y;
    const double *x;
    float *buffer;
    double *xs;
    uint64_t row = 1;

    CHECK(orv_open(sample, &r, &e) == ORV_OK);
    CHECK(orv_describe(r, &ab, &d, &e) == ORV_OK);
    CHECK(orv_desc_kind(d) == ORV_SPECTRUM && strcmp(orv_desc_block(d)->type, "AB") == 0);
    count = orv_desc_size(d, ORV_NO_REGION);
    CHECK(count == orv_desc_x(d).count && count > 0);
    CHECK(orv_desc_size(d, 0) == 0); /* a spectrum has no regions */
    CHECK(orv_param_find(orv_desc_params(d), "NPT", &v) && v.type == ORV_VALUE_INT && (size_t)v.integer == count);
    CHECK(!orv_param_find(orv_desc_params(d), "NO SUCH", &v));
    CHECK(orv_param_at(orv_desc_params(d), orv_params_count(orv_desc_params(d)), &v) == NULL);

    CHECK(orv_read(r, &ab, &data, &e) == ORV_OK);
    y = orv_data_values(data, ORV_NO_REGION, &shape, &ndim, &n);
    x = orv_data_coord(data, ORV_COORD_X, ORV_NO_REGION, &n);
    CHECK(y && x && ndim == 1 && shape[0] == count && n == count);
    CHECK(orv_data_values(data, 0, NULL, NULL, NULL) == NULL);
    CHECK(orv_data_coord(data, ORV_COORD_MAP_X, ORV_NO_REGION, &n) == NULL);
    CHECK(orv_data_region_count(data) == 0 && orv_data_label(data, 0) == NULL);

    /* The caller's buffers: exactly the library's arrays; a count that does not fit is refused. */
    buffer = (float *)malloc(count * sizeof(float));
    xs = (double *)malloc(count * sizeof(double));
    CHECK(orv_read_values(r, &ab, ORV_NO_REGION, buffer, count, xs, count, &e) == ORV_OK);
    CHECK(memcmp(buffer, y, count * sizeof(float)) == 0 && memcmp(xs, x, count * sizeof(double)) == 0);
    memset(buffer, 0, count * sizeof(float));
    CHECK(orv_read_rows(r, &ab, &row, 0, ORV_NO_REGION, buffer, 0, &e) == ORV_OK);
    row = 0;
    CHECK(orv_read_rows(r, &ab, &row, 1, ORV_NO_REGION, buffer, count, &e) == ORV_OK);
    CHECK(memcmp(buffer, y, count * sizeof(float)) == 0);
    expect(orv_read_values(r, &ab, ORV_NO_REGION, buffer, count - 1, NULL, 0, &e), &e, ORV_INVALID_REQUEST,
           ORV_DETAIL_BAD_REQUEST);
    expect(orv_read_values(r, &ab, ORV_NO_REGION, buffer, count, xs, count + 1, &e), &e, ORV_INVALID_REQUEST,
           ORV_DETAIL_BAD_REQUEST);
    e = NULL;
    row = 1;
    expect(orv_read_rows(r, &ab, &row, 1, ORV_NO_REGION, buffer, count, &e), &e, ORV_INVALID_REQUEST,
           ORV_DETAIL_BAD_ROW);
    expect(orv_read_values(r, &ab, ORV_NO_REGION, NULL, count, NULL, 0, &e), &e, ORV_INVALID_REQUEST,
           ORV_DETAIL_BAD_REQUEST);
    /* As doubles: a spectrum is the same in either order; a count that does not fit is refused. */
    CHECK(orv_data_copy_values(data, ORV_NO_REGION, 1, xs, count, &e) == ORV_OK && xs[count - 1] == y[count - 1]);
    expect(orv_data_copy_values(data, ORV_NO_REGION, 0, xs, count - 1, &e), &e, ORV_INVALID_REQUEST,
           ORV_DETAIL_BAD_REQUEST);
    free(buffer);
    free(xs);

    /* Requests the file cannot answer. */
    expect(orv_read(r, &missing, &data, &e), &e, ORV_NOT_FOUND, ORV_DETAIL_NO_BLOCK);
    expect(orv_describe(r, &unknown, &d, &e), &e, ORV_INVALID_REQUEST, ORV_DETAIL_BAD_REQUEST);
    expect(orv_read(r, NULL, &data, &e), &e, ORV_INVALID_REQUEST, ORV_DETAIL_BAD_REQUEST);
    orv_data_free(data);
    /* A spectrum has no per-row values: its row information holds nothing. */
    CHECK(orv_row_info(r, &ab, &data, &e) == ORV_OK);
    CHECK(orv_data_coord(data, ORV_COORD_MAP_X, ORV_NO_REGION, &n) == NULL && orv_data_label_count(data) == 0);
    CHECK(orv_data_params(data) == NULL && orv_data_values(data, ORV_NO_REGION, NULL, NULL, NULL) == NULL);
    orv_data_free(data);
    orv_description_free(d);
    orv_close(r);
}

/* A file cut short: the status, and the byte where the reader found it. */
static void truncated(const char *sample) {
    size_t size = 0, n;
    unsigned char *bytes = slurp(sample, &size);
    const orv_block ab = {"AB", "2D", "NONE"};
    orv_reader *r = NULL;
    orv_error *e = NULL;
    orv_block *blocks;
    orv_data *data;
    uint64_t offset = 0;
    orv_status s;
    CHECK(bytes != NULL);
    if (!bytes)
        return;
    CHECK(orv_open_memory(bytes, 300, 0, &r, &e) == ORV_OK);
    s = orv_blocks(r, &blocks, &n, &e);
    if (s == ORV_OK) {
        orv_free(blocks);
        s = orv_read(r, &ab, &data, &e);
    }
    CHECK(s == ORV_TRUNCATED || s == ORV_CORRUPT);
    CHECK(e && orv_error_offset(e, &offset) && offset <= size);
    orv_error_free(e);
    orv_close(r);
    free(bytes);
}

static int polls = 0;
static int stop(void *context) {
    ++polls;
    return *(const int *)context;
}

/* A pipe is read piece by piece at open, polling the check: a check that says stop fails the
 * call with ORV_INTERRUPTED; without it the same bytes read. */
static void cancelled(const char *sample) {
    size_t size = 0;
    unsigned char *bytes = slurp(sample, &size);
    const int yes = 1;
    int round;
    CHECK(bytes != NULL);
    for (round = 0; bytes && round < 2; ++round) {
        int fds[2];
        orv_reader *r = NULL;
        orv_error *e = NULL;
        orv_block *blocks = NULL;
        size_t n = 0;
        orv_status s;
        CHECK(pipe(fds) == 0 && write(fds[1], bytes, size) == (ssize_t)size);
        close(fds[1]);
        orv_set_interrupt_check(round == 0 ? stop : NULL, (void *)&yes);
        s = orv_open_fd(fds[0], &r, &e);
        if (s == ORV_OK)
            s = orv_blocks(r, &blocks, &n, &e);
        if (round == 0) {
            expect(s, &e, ORV_INTERRUPTED, ORV_DETAIL_INTERRUPTED);
            CHECK(polls > 0);
        } else {
            CHECK(s == ORV_OK && n > 0);
            orv_free(blocks);
        }
        orv_close(r);
        close(fds[0]);
    }
    free(bytes);
}

static void tables(void) {
    CHECK(strcmp(orv_param_label("RES"), "Resolution") == 0);
    CHECK(orv_param_label("ZZZ") == NULL && orv_param_label(NULL) == NULL);
    CHECK(orv_param_name("NPT") != NULL);
    CHECK(strcmp(orv_kind_name(ORV_TRACE_MAP), "trace-map") == 0);
    CHECK(strcmp(orv_status_name((orv_status)99), "unknown") == 0);
    CHECK(strcmp(orv_detail_name(ORV_DETAIL_INTERNAL), "internal") == 0);
    CHECK(strlen(orv_version()) >= 5);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SAMPLE.orv\n", argv[0]);
        return 2;
    }
    opening(argv[1]);
    spectrum(argv[1]);
    truncated(argv[1]);
    cancelled(argv[1]);
    tables();
    if (failures)
        fprintf(stderr, "%d checks failed\n", failures);
    return failures != 0;
}
