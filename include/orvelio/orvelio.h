/* orvelio: reading Orvel spectroscopy files from C (C99; also compiles as C++).
 *
 * The C face of the library, for C programs and for other languages' bindings (R, MATLAB,
 * Julia, Rust, Go). It is a thin layer over the C++ API of <orvelio/orvelio.hpp>: the same
 * reader, descriptions, reads and errors, behind opaque handles.
 *
 *     orv_reader *r;
 *     orv_error *e = NULL;
 *     if (orv_open("scan.orv", &r, &e) != ORV_OK) {
 *         fprintf(stderr, "%s\n", orv_error_message(e));
 *         orv_error_free(e);
 *         return 1;
 *     }
 *     orv_block *blocks;
 *     size_t n;
 *     if (orv_blocks(r, &blocks, &n, &e) == ORV_OK) {
 *         for (size_t i = 0; i < n; ++i) {
 *             orv_data *d;
 *             if (orv_read(r, &blocks[i], &d, &e) != ORV_OK) { ... }
 *             size_t count;
 *             const float *y = orv_data_values(d, ORV_NO_REGION, NULL, &count);
 *             ...
 *             orv_data_free(d);
 *         }
 *         orv_free(blocks);
 *     }
 *     orv_close(r);
 *
 * Conventions
 *   - Every call that can fail returns an orv_status (ORV_OK, 0, on success) and takes a last
 *     argument `orv_error **error`: on failure, when error is not NULL, *error receives an error
 *     object (code, detail, byte offset, message) to be freed with orv_error_free. Out
 *     arguments are written only on success. No C++ exception leaves the library; a failed
 *     allocation is ORV_MEMORY.
 *   - Objects the library returns (readers, descriptions, data, row information, pictures,
 *     errors) are freed by their own free function; the arrays orv_blocks allocates by
 *     orv_free. Pointers an object hands out (texts, arrays, parameter lists) live as long as
 *     the object.
 *   - Texts are UTF-8 and NUL-terminated; parameter texts also come with their length (they
 *     may hold NUL bytes).
 *   - Block words (type, dimensions, derivative) may be in any letter case.
 *
 * Thread safety
 *   A reader may be used by many threads at once: every function that takes a
 *   `const orv_reader *` may run concurrently with the others on the same reader (every read is
 *   a positioned read). orv_close must not run while another call uses the reader. The objects
 *   the library returns are immutable: their accessors may run on any number of threads; each
 *   is freed once, when no thread uses it. Functions without a handle are thread-safe.
 */
#ifndef ORVELIO_H
#define ORVELIO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ errors */

/* What went wrong, in broad terms: ORV_OK, or 1 + the C++ ErrorCode. */
typedef enum orv_status {
    ORV_OK = 0,
    ORV_NOT_ORVEL,       /* the input is not an Orvel file (its magic number is missing) */
    ORV_TRUNCATED,       /* the input ends before a field or before the values it declares */
    ORV_CORRUPT,         /* a structure or value of the file contradicts the format or itself */
    ORV_UNSUPPORTED,     /* a well-formed feature this library does not read */
    ORV_INVALID_REQUEST, /* the caller asked for something that cannot exist (unknown block
                            words, rows out of range, a buffer of the wrong size, a NULL
                            argument) */
    ORV_NOT_FOUND,       /* the block asked for is not in the file */
    ORV_IO,              /* the operating system refused a read or an open */
    ORV_MEMORY,          /* an array cannot be allocated */
    ORV_CHANGED,         /* the file changed (rewritten, cut, grown) since it was opened */
    ORV_INTERRUPTED,     /* a long read was cancelled by the caller */
    ORV_INTERNAL         /* a fault of the library itself (please report it) */
} orv_status;

/* The exact check that failed, finer than the status and mapped to exactly one status: the
 * C++ ErrorDetail, in its order. */
typedef enum orv_detail {
    ORV_DETAIL_NOT_ORVEL = 0,    /* ORV_NOT_ORVEL */
    ORV_DETAIL_SHORT_FIELD,      /* ORV_TRUNCATED: a fixed-width field is cut short */
    ORV_DETAIL_VALUES_CUT_SHORT, /* ORV_TRUNCATED: the values of a sub-block are cut short */
    ORV_DETAIL_MISSING_KEY,      /* ORV_CORRUPT: a parameter, column or key is absent */
    ORV_DETAIL_BAD_INDEX,        /* ORV_CORRUPT: a position, row or index out of range */
    ORV_DETAIL_BAD_OPERAND,      /* ORV_CORRUPT: a value of the wrong type for its use */
    ORV_DETAIL_BAD_ATTRIBUTE,    /* ORV_CORRUPT: a value of the wrong type where text is needed */
    ORV_DETAIL_DIVISION_BY_ZERO, /* ORV_CORRUPT: a count of zero divides */
    ORV_DETAIL_OUT_OF_RANGE,     /* ORV_CORRUPT: a number outside the range it must fit */
    ORV_DETAIL_BAD_VALUE,        /* ORV_CORRUPT: any other structure that cannot be read */
    ORV_DETAIL_BAD_TEXT,         /* ORV_CORRUPT: text that is not valid UTF-8 */
    ORV_DETAIL_BAD_AXIS,         /* ORV_CORRUPT: an axis that cannot be built */
    ORV_DETAIL_BAD_POSITION,     /* ORV_CORRUPT: a negative position in the file */
    ORV_DETAIL_UNKNOWN_TYPE,     /* ORV_UNSUPPORTED: an unknown parameter type code */
    ORV_DETAIL_TOO_LARGE,        /* ORV_MEMORY: larger than the address space can index */
    ORV_DETAIL_NO_MEMORY,        /* ORV_MEMORY: an allocation failed */
    ORV_DETAIL_SYSTEM,           /* ORV_IO: a system call failed (orv_error_errno says why) */
    ORV_DETAIL_BAD_REQUEST,      /* ORV_INVALID_REQUEST: unknown words, or arguments that do
                                    not fit the block */
    ORV_DETAIL_BAD_ROW,          /* ORV_INVALID_REQUEST: a row number out of range */
    ORV_DETAIL_NO_BLOCK,         /* ORV_NOT_FOUND: the file has no such data block */
    ORV_DETAIL_FILE_CHANGED,     /* ORV_CHANGED: its size or modification time differs, or a
                                    read ended before the size at open */
    /* The finer details of the C++ ErrorDetail that follow (see orvelio.hpp), in its order;
       ORV_DETAIL_INTERRUPTED is ORV_INTERRUPTED's. */
    ORV_DETAIL_PAST_END,
    ORV_DETAIL_INDEX_OUT_OF_BOUNDS,
    ORV_DETAIL_NOT_AN_INDEX,
    ORV_DETAIL_NOT_INTEGER,
    ORV_DETAIL_BAD_LENGTH,
    ORV_DETAIL_BAD_SHAPE,
    ORV_DETAIL_NOT_A_NUMBER,
    ORV_DETAIL_NAN_INTEGER,
    ORV_DETAIL_INFINITE_INTEGER,
    ORV_DETAIL_OFFSET_TOO_LARGE,
    ORV_DETAIL_UNKNOWN_REGION,
    ORV_DETAIL_NEGATIVE_COUNT,
    ORV_DETAIL_UNEQUAL_LENGTHS,
    ORV_DETAIL_NO_SUBBLOCKS,
    ORV_DETAIL_GRID_MISMATCH,
    ORV_DETAIL_BAD_REPEAT,
    ORV_DETAIL_BAD_CONCAT,
    ORV_DETAIL_INTERRUPTED,
    ORV_DETAIL_INTERNAL          /* ORV_INTERNAL */
} orv_detail;

typedef struct orv_error orv_error;

/* "ok", "not_orvel", "truncated", ... ("unknown" for a value outside the enumeration). */
const char *orv_status_name(orv_status status);
/* "not_orvel", "short_field", ..., "internal". */
const char *orv_detail_name(orv_detail detail);

orv_status orv_error_status(const orv_error *error);
orv_detail orv_error_detail(const orv_error *error);
/* The message: what is wrong and where (never NULL). */
const char *orv_error_message(const orv_error *error);
/* 1 and *offset set when the error has the byte offset where it was detected, else 0. */
int orv_error_offset(const orv_error *error, uint64_t *offset);
/* The errno value for ORV_DETAIL_SYSTEM and ORV_DETAIL_BAD_POSITION, else 0. */
int orv_error_errno(const orv_error *error);
void orv_error_free(orv_error *error);

/* Frees what orv_blocks allocated (NULL is ignored). */
void orv_free(void *p);

/* The library's version, "0.1.0". */
const char *orv_version(void);

/* Cancellation: long reads poll `check` (between pieces of a few MiB, and when a signal
 * interrupts a read of the system), on the thread that reads, with `context`; a non-zero
 * answer stops the call, which fails with ORV_INTERRUPTED. One check for the process (the C++
 * API's set_interrupt_check); NULL, the default, never interrupts. */
typedef int (*orv_interrupt_check)(void *context);
void orv_set_interrupt_check(orv_interrupt_check check, void *context);

/* ------------------------------------------------------------------ values and parameters */

typedef enum orv_value_type { ORV_VALUE_NONE = 0, ORV_VALUE_INT, ORV_VALUE_FLOAT, ORV_VALUE_TEXT } orv_value_type;

/* A value read from a file: the member its type names holds it. */
typedef struct orv_value {
    orv_value_type type;
    int64_t integer;    /* ORV_VALUE_INT */
    double real;        /* ORV_VALUE_FLOAT */
    const char *text;   /* ORV_VALUE_TEXT: UTF-8, NUL-terminated; NULL otherwise */
    size_t text_length; /* its length in bytes */
} orv_value;

/* Parameters (codes and values) in the order the file gives them; owned by the object that
 * hands them out. */
typedef struct orv_params orv_params;

size_t orv_params_count(const orv_params *params);
/* The code of parameter i ("NPT", "DAT", ...) and its value in *value (when not NULL); NULL
 * for i out of range. */
const char *orv_param_at(const orv_params *params, size_t i, orv_value *value);
/* The parameter of that code: 1 and *value set, or 0 when absent. */
int orv_param_find(const orv_params *params, const char *code, orv_value *value);
/* The display label of a parameter code ("Resolution"), or NULL when it has none. */
const char *orv_param_label(const char *code);
/* The descriptive name of a parameter code, or NULL when it has none. */
const char *orv_param_name(const char *code);

/* ------------------------------------------------------------------ the reader */

typedef struct orv_reader orv_reader;

/* Opens a file read-only (ORV_IO with the errno when it cannot be: a directory is EISDIR). */
orv_status orv_open(const char *path, orv_reader **reader, orv_error **error);
/* Reads through a descriptor the caller keeps open and closes after orv_close. Regular files
 * are read with positioned reads; anything else (a pipe) is read to its end now. */
orv_status orv_open_fd(int fd, orv_reader **reader, orv_error **error);
/* Reads from memory: the caller's bytes, kept alive and unchanged until orv_close, or with
 * `copy` non-zero, a copy the reader keeps. */
orv_status orv_open_memory(const void *data, size_t size, int copy, orv_reader **reader, orv_error **error);
/* Closes the reader (NULL is ignored). Objects it returned stay valid. */
void orv_close(orv_reader *reader);

/* The input's size in bytes. */
orv_status orv_size(const orv_reader *reader, uint64_t *size, orv_error **error);
/* *result is 1 when the input starts with the magic number; with `strict`, an input shorter
 * than it fails with ORV_TRUNCATED instead of giving 0. */
orv_status orv_is_orvel(const orv_reader *reader, int strict, int *result, orv_error **error);

/* A data block as the file lists it and as requests name it: type ("AB", "TRC", "RAM-CH2"),
 * dimensions ("2D", "3D") and derivative ("NONE", "1DER", "2DER", "NDER"). */
typedef struct orv_block {
    const char *type, *dimensions, *derivative;
} orv_block;

/* The data blocks in listing order (duplicates included): *blocks is one allocation holding
 * *count blocks and their texts, freed with orv_free. */
orv_status orv_blocks(const orv_reader *reader, orv_block **blocks, size_t *count, orv_error **error);

/* ------------------------------------------------------------------ descriptions */

/* The kinds of data block. */
typedef enum orv_kind {
    ORV_SPECTRUM = 0,   /* 2D: one spectrum; main array (NPT) */
    ORV_IMAGE,          /* 3D map: one spectrum per pixel; (NPY, NPX, NPT) */
    ORV_IMAGE_TRACES,   /* 3D traces over a map: (NPY, NPX, traces) */
    ORV_TIME_SERIES,    /* 3D: spectra in time; (M, NPT) */
    ORV_TIME_TRACES,    /* 3D traces in time; (traces, NPT) */
    ORV_POINT_MAP,      /* 3D multi-region: regions of spectra; per region (points, NPT) */
    ORV_TRACE_MAP       /* 3D multi-region traces; per region (points, traces) */
} orv_kind;

/* "spectrum", "image", "image-traces", "time-series", "time-traces", "point-map",
 * "trace-map". */
const char *orv_kind_name(orv_kind kind);

/* Where a function takes a region: none (every kind but the multi-region maps). */
#define ORV_NO_REGION ((size_t)-1)

/* An evenly spaced axis: first and last value and point count (NaN, NaN, 0 when empty). */
typedef struct orv_axis {
    double first, last;
    size_t count;
} orv_axis;

/* A block described without reading its values. */
typedef struct orv_description orv_description;

/* Reads the headers, parameters and tables of the block, never its values. Structural faults
 * fail as orv_read fails on them; values cut short do not. */
orv_status orv_describe(const orv_reader *reader, const orv_block *block, orv_description **description,
                        orv_error **error);
void orv_description_free(orv_description *description);

/* The block's words, upper-cased. */
const orv_block *orv_desc_block(const orv_description *d);
orv_kind orv_desc_kind(const orv_description *d);
/* The shape of the main array as orv_read gives it (*ndim numbers); for multi-region maps one
 * number per region, its rows (see orv_desc_region_rows). */
const size_t *orv_desc_shape(const orv_description *d, size_t *ndim);
/* The number of values of the main array (of region `region` for multi-region maps, which
 * need one; ORV_NO_REGION otherwise): what orv_read_values needs room for. 0 for a region out
 * of range. */
size_t orv_desc_size(const orv_description *d, size_t region);
orv_axis orv_desc_x(const orv_description *d);
/* Rows orv_read_rows addresses (1 for a spectrum; 0 for multi-region maps, whose rows are
 * counted per region) and values per row. */
size_t orv_desc_rows(const orv_description *d);
size_t orv_desc_row_length(const orv_description *d);
const orv_params *orv_desc_params(const orv_description *d);
/* Regions of multi-region maps (0 for the other kinds): title and rows; NULL and 0 for i out
 * of range. */
size_t orv_desc_region_count(const orv_description *d);
const char *orv_desc_region_title(const orv_description *d, size_t i);
size_t orv_desc_region_rows(const orv_description *d, size_t i);

/* What numbers stand for: a name for people ("Wavenumber", "Absorbance") and the unit in
 * UDUNITS form ("cm-1", "um", "s", "1") and for display ("cm⁻¹", "µm"); "" where unknown. */
typedef struct orv_quantity {
    const char *long_name, *units, *units_display;
} orv_quantity;

/* The values of the main array: what they are, from the block's type and y unit. */
orv_quantity orv_desc_values(const orv_description *d);

/* The main array's dimensions, slowest first: name ("spectral", "y", "x", "time", "trace",
 * "spectrum"), size as the block declares it (0 for the `spectrum` dimension of multi-region
 * maps, whose size is each region's rows), and whether it numbers the rows orv_read_rows
 * addresses. NULL and 0 for i out of range. */
size_t orv_desc_dim_count(const orv_description *d);
const char *orv_desc_dim_name(const orv_description *d, size_t i);
size_t orv_desc_dim_size(const orv_description *d, size_t i);
int orv_desc_dim_rows(const orv_description *d, size_t i);

/* A coordinate of a dimension: an evenly spaced axis (bit for bit the values of the whole
 * read's array), or values per row that orv_row_info gives. */
typedef struct orv_coordinate orv_coordinate;

/* The coordinates along dimension `dim`: one, but each region's mapX, mapY (and start_time)
 * along the `spectrum` dimension of multi-region maps. NULL for k out of range. */
size_t orv_desc_coord_count(const orv_description *d, size_t dim);
const orv_coordinate *orv_desc_coord(const orv_description *d, size_t dim, size_t k);
/* The x axis, named "spectral", with its label and unit (for trace kinds, no dimension of the
 * main array is the x axis: it is this coordinate of its own). */
const orv_coordinate *orv_desc_spectral(const orv_description *d);

/* "spectral", "y", "x", "time", "trace", "mapX", "mapY", "start_time". */
const char *orv_coord_name(const orv_coordinate *c);
/* 1 and *axis set for an evenly spaced axis, else 0. */
int orv_coord_axis(const orv_coordinate *c, orv_axis *axis);
/* For values per row: which orv_data_coord array (or the labels) holds them: ORV_COORD_TIME,
 * ORV_COORD_MAP_X, ORV_COORD_MAP_Y, ORV_COORD_START_TIME; -1 for the labels and for axes. */
int orv_coord_row_info(const orv_coordinate *c);
orv_quantity orv_coord_quantity(const orv_coordinate *c);

/* Completeness: the values of the main array (of every stored sub-block for 3D kinds) the file
 * holds and the block declares. A spectrum cut inside its values holds fewer (orv_read gives
 * those); 3D blocks cut short fail to read. */
uint64_t orv_desc_values_held(const orv_description *d);
uint64_t orv_desc_values_declared(const orv_description *d);

/* When the block was measured (from its date and time parameters): 1 and *utc (seconds since
 * 1970-01-01 00:00:00 UTC) when they can be read, else 0. The texts as the file writes them
 * ("" when absent), and why the time is absent or what was assumed to get it ("" when the
 * texts read as they are). */
int orv_desc_acquired(const orv_description *d, double *utc);
const char *orv_desc_acquired_date(const orv_description *d);
const char *orv_desc_acquired_time(const orv_description *d);
const char *orv_desc_acquired_note(const orv_description *d);

/* How the points of a region lie: a full nx x ny grid row by row (x fastest), column by
 * column (y fastest), or no full grid. */
typedef enum orv_grid { ORV_GRID_NONE = 0, ORV_GRID_X_FASTEST, ORV_GRID_Y_FASTEST } orv_grid;

/* The region number as the table holds it (an integer or a float), the grid it declares (nx by
 * ny; 0 and 0 for a list of points) and the order of its points. */
orv_value orv_desc_region_group(const orv_description *d, size_t i);
uint64_t orv_desc_region_nx(const orv_description *d, size_t i);
uint64_t orv_desc_region_ny(const orv_description *d, size_t i);
orv_grid orv_desc_region_grid(const orv_description *d, size_t i);

/* Notes: lines meant for the user (ORV_NOTE_MESSAGE) and warnings about the file, in order. */
typedef enum orv_note_kind { ORV_NOTE_MESSAGE = 0, ORV_NOTE_WARNING } orv_note_kind;
size_t orv_desc_note_count(const orv_description *d);
const char *orv_desc_note(const orv_description *d, size_t i, orv_note_kind *kind);

/* ------------------------------------------------------------------ reading */

/* A whole block as orv_read gives it, or the per-row values of orv_row_info. */
typedef struct orv_data orv_data;

/* The whole block: its arrays, allocated by the library and freed with orv_data_free. */
orv_status orv_read(const orv_reader *reader, const orv_block *block, orv_data **data, orv_error **error);

/* The main array of the block (of region `region` of a multi-region map, ORV_NO_REGION for
 * the other kinds) into the caller's buffer of `count` values, as orv_read lays it out:
 * `count` must be orv_desc_size(). With `x` not NULL, the x axis too, into `x_count`
 * (orv_desc_x().count) values. Fails with ORV_INVALID_REQUEST when a count does not fit. */
orv_status orv_read_values(const orv_reader *reader, const orv_block *block, size_t region, float *values,
                           size_t count, double *x, size_t x_count, orv_error **error);

/* Fills out[i * row_length, (i + 1) * row_length) with the values of row rows[i] (see
 * orv_desc_rows): image: pixel iy * NPX + ix; image traces: trace k, its map row by row; time
 * series and traces: spectrum or trace k; multi-region maps: row j of `region`; spectrum: row 0.
 * `count` must be nrows * row_length. */
orv_status orv_read_rows(const orv_reader *reader, const orv_block *block, const uint64_t *rows, size_t nrows,
                         size_t region, float *out, size_t count, orv_error **error);
/* Rows first, first + 1, ..., first + nrows - 1. */
orv_status orv_read_row_range(const orv_reader *reader, const orv_block *block, uint64_t first, uint64_t nrows,
                              size_t region, float *out, size_t count, orv_error **error);

/* The per-row values of a 3D block (map positions, times, labels; no spectra). Its orv_data
 * has every accessor below but orv_data_values (NULL) and orv_data_x (NULL). */
orv_status orv_row_info(const orv_reader *reader, const orv_block *block, orv_data **data, orv_error **error);

void orv_data_free(orv_data *data);

orv_kind orv_data_kind(const orv_data *data);
/* The block's words, upper-cased (NULL for row information). */
const orv_block *orv_data_block(const orv_data *data);
/* The parameters, with the shared blocks merged in (NULL for row information). */
const orv_params *orv_data_params(const orv_data *data);
/* The main array (region `region` of a multi-region map), C order: its shape in *shape and
 * *ndim, its value count in *count (any of them may be NULL). NULL when there is none (a
 * region out of range, ORV_NO_REGION for a multi-region map). */
const float *orv_data_values(const orv_data *data, size_t region, const size_t **shape, size_t *ndim, size_t *count);

/* The main array (of region `region`, as orv_data_values) as doubles into the caller's buffer
 * of `count` values (its value count): in C order, or with `column_major` in the order of the
 * column-major languages (R, MATLAB, Julia, Fortran), so that element (i0, i1, ...) of an
 * array of the same dimensions there is element (i0, i1, ...) here. ORV_INVALID_REQUEST when
 * there is no such array or `count` differs. */
orv_status orv_data_copy_values(const orv_data *data, size_t region, int column_major, double *out, size_t count,
                                orv_error **error);

/* The arrays of doubles a result may hold. */
typedef enum orv_coord {
    ORV_COORD_X = 0,      /* the x axis (whole reads) */
    ORV_COORD_MAP_X,      /* pixel or point x positions: images, image traces, regions */
    ORV_COORD_MAP_Y,      /* pixel or point y positions */
    ORV_COORD_TIME,       /* the time of each spectrum: time series */
    ORV_COORD_START_TIME  /* the start time of each point: regions of point maps */
} orv_coord;

/* The array (of region `region` for the coordinates of multi-region maps, ORV_NO_REGION
 * otherwise) and its length in *count; NULL when the kind has none. */
const double *orv_data_coord(const orv_data *data, orv_coord which, size_t region, size_t *count);
/* The values the parameters state for the y range (ORV_VALUE_NONE when absent). */
orv_value orv_data_min_y(const orv_data *data);
orv_value orv_data_max_y(const orv_data *data);
/* Trace labels: image traces, time traces, trace maps. */
size_t orv_data_label_count(const orv_data *data);
const char *orv_data_label(const orv_data *data, size_t i);
/* Regions of multi-region maps. */
size_t orv_data_region_count(const orv_data *data);
const char *orv_data_region_title(const orv_data *data, size_t i);
/* Notes of the read, as orv_desc_note. */
size_t orv_data_note_count(const orv_data *data);
const char *orv_data_note(const orv_data *data, size_t i, orv_note_kind *kind);

/* ------------------------------------------------------------------ pictures */

typedef struct orv_pictures orv_pictures;

/* The visible pictures, in listing order. */
orv_status orv_pictures_read(const orv_reader *reader, orv_pictures **pictures, orv_error **error);
void orv_pictures_free(orv_pictures *pictures);

size_t orv_pictures_count(const orv_pictures *p);
/* "Title" and the labelled values in reading order (NULL for i out of range). */
const orv_params *orv_picture_properties(const orv_pictures *p, size_t i);
/* The picture's bytes and their count, or NULL when the file stores none. */
const void *orv_picture_bytes(const orv_pictures *p, size_t i, size_t *size);
/* "bmp", "jpeg", ...; "" when the bytes are of no known format (or absent). */
const char *orv_picture_format(const orv_pictures *p, size_t i);
/* The stored record the picture reads: equal records are the same picture listed again. */
size_t orv_picture_record(const orv_pictures *p, size_t i);

#ifdef __cplusplus
}
#endif

#endif /* ORVELIO_H */
