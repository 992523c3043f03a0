// The C API (include/orvelio/orvelio.h) over the public C++ API: each handle holds the C++
// object it stands for, each call runs inside guard(), which turns every exception into a
// status and an error object.
#include "orvelio/orvelio.h"
#include "orvelio/orvelio.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <variant>

#ifndef ORVELIO_VERSION
#error "ORVELIO_VERSION must be defined by the build"
#endif

using namespace orvelio;

static_assert(static_cast<int>(ErrorDetail::file_changed) == ORV_DETAIL_FILE_CHANGED);
static_assert(kErrorDetailCount == ORV_DETAIL_INTERNAL);
static_assert(static_cast<int>(ErrorCode::interrupted) + 1 == ORV_INTERRUPTED);
static_assert(static_cast<int>(ErrorDetail::interrupted) == ORV_DETAIL_INTERRUPTED);
static_assert(static_cast<int>(Kind::trace_map) == ORV_TRACE_MAP);
static_assert(static_cast<int>(Note::Kind::warning) == ORV_NOTE_WARNING);
static_assert(static_cast<int>(GridOrder::y_fastest) == ORV_GRID_Y_FASTEST);

// ------------------------------------------------------------------ handles

struct orv_error {
    orv_status status;
    orv_detail detail;
    std::string message;
    std::optional<uint64_t> offset;
    int errno_value = 0;
};

struct orv_params {
    const Parameters *list = nullptr;
};

struct orv_reader {
    Reader reader;
};

struct orv_description {
    Description d;
    std::vector<Note> notes;
    orv_block block;
    orv_params params;
};

struct orv_data {
    Kind kind;
    std::optional<Data> data; // a whole read
    RowInfo info;             // or the row information
    std::vector<Note> notes;
    orv_block block{};
    orv_params params;
    // The arrays of either, found once.
    const Array<float> *values = nullptr;
    const Array<double> *x = nullptr, *map_x = nullptr, *map_y = nullptr, *z = nullptr;
    const std::vector<std::string> *labels = nullptr;
    const std::vector<Region> *regions = nullptr;
};

struct orv_pictures {
    std::vector<Picture> list;
    std::vector<std::string> formats; // NUL-terminated copies of Picture::format
    std::vector<orv_params> properties;
};

namespace {

// Returned when even the error object cannot be allocated; orv_error_free leaves it alone.
orv_error out_of_memory{ORV_MEMORY, ORV_DETAIL_NO_MEMORY, {}, std::nullopt, 0};

orv_status report(orv_error **error, orv_status status, orv_detail detail, const char *message,
                  std::optional<uint64_t> offset = std::nullopt, int errno_value = 0) noexcept {
    if (error) {
        try {
            *error = new orv_error{status, detail, message, offset, errno_value};
        } catch (...) {
            *error = &out_of_memory;
        }
    }
    return status;
}

// Runs f, which returns nothing; any exception becomes the status it stands for.
template <class F> orv_status guard(orv_error **error, F &&f) noexcept {
    try {
        f();
        return ORV_OK;
    } catch (const Error &e) {
        const std::string &m = e.message();
        const std::string text =
            m.empty() ? std::string(to_string(e.code())) : m; // never an empty message
        return report(error, static_cast<orv_status>(static_cast<int>(e.code()) + 1),
                      static_cast<orv_detail>(e.detail()), text.c_str(), e.offset(), e.system_errno());
    } catch (const std::bad_alloc &) {
        return report(error, ORV_MEMORY, ORV_DETAIL_NO_MEMORY, "out of memory");
    } catch (const std::exception &e) {
        return report(error, ORV_INTERNAL, ORV_DETAIL_INTERNAL, e.what());
    } catch (...) {
        return report(error, ORV_INTERNAL, ORV_DETAIL_INTERNAL, "an unknown failure");
    }
}

[[noreturn]] void refuse(const std::string &message) { throw Error(ErrorDetail::bad_request, message); }

template <class T> void need(const T *p, const char *what) {
    if (!p)
        refuse(std::string(what) + " is NULL");
}

Block block_of(const orv_block *b) {
    need(b, "the block");
    if (!b->type || !b->dimensions || !b->derivative)
        refuse("a word of the block is NULL");
    return Block{b->type, b->dimensions, b->derivative};
}

orv_block view(const Block &b) { return {b.type.c_str(), b.dimensions.c_str(), b.derivative.c_str()}; }

std::optional<size_t> region_of(size_t region) {
    return region == ORV_NO_REGION ? std::nullopt : std::optional<size_t>(region);
}

orv_value value_of(const Value &v) {
    orv_value out{ORV_VALUE_NONE, 0, 0.0, nullptr, 0};
    if (const int64_t *i = std::get_if<int64_t>(&v)) {
        out.type = ORV_VALUE_INT;
        out.integer = *i;
    } else if (const double *x = std::get_if<double>(&v)) {
        out.type = ORV_VALUE_FLOAT;
        out.real = *x;
    } else if (const std::string *t = std::get_if<std::string>(&v)) {
        out.type = ORV_VALUE_TEXT;
        out.text = t->c_str();
        out.text_length = t->size();
    }
    return out;
}

const char *note_at(const std::vector<Note> &notes, size_t i, orv_note_kind *kind) {
    if (i >= notes.size())
        return nullptr;
    if (kind)
        *kind = static_cast<orv_note_kind>(notes[i].kind);
    return notes[i].text.c_str();
}

// A table of codes as a map from code to text, made on first use.
const char *lookup(std::span<const CodeName> (*table)(), const char *code) {
    if (!code)
        return nullptr;
    using Map = std::unordered_map<std::string_view, const char *>;
    static const auto make = [](std::span<const CodeName> t) {
        Map m;
        for (const CodeName &c : t)
            m.emplace(c.code, c.name.data()); // the tables' texts are NUL-terminated literals
        return m;
    };
    static const Map names = make(parameter_names()), labels = make(parameter_labels());
    const Map &m = table == &parameter_names ? names : labels;
    const auto it = m.find(code);
    return it == m.end() ? nullptr : it->second;
}

const Region *region_at(const orv_data *d, size_t region) {
    return d->regions && region < d->regions->size() ? &(*d->regions)[region] : nullptr;
}

// Finds the arrays of a result once, for the accessors.
void index(orv_data &o) {
    if (o.data) {
        const Common &c = common(*o.data);
        o.block = view(c.request);
        o.params.list = &c.parameters;
        o.x = &c.x;
        std::visit(
            [&](const auto &r) {
                using R = std::decay_t<decltype(r)>;
                if constexpr (std::is_same_v<R, Spectrum>) {
                    o.values = &r.y;
                } else if constexpr (std::is_same_v<R, Image> || std::is_same_v<R, ImageTraces>) {
                    o.map_x = &r.mapX;
                    o.map_y = &r.mapY;
                    if constexpr (std::is_same_v<R, Image>)
                        o.values = &r.spectra;
                    else {
                        o.values = &r.traces;
                        o.labels = &r.labels;
                    }
                } else if constexpr (std::is_same_v<R, TimeSeries>) {
                    o.z = &r.z;
                    o.values = &r.spectra;
                } else if constexpr (std::is_same_v<R, TimeTraces>) {
                    o.labels = &r.labels;
                    o.values = &r.traces;
                } else {
                    if constexpr (std::is_same_v<R, TraceMap>)
                        o.labels = &r.labels;
                    o.regions = &r.regions;
                }
            },
            *o.data);
        return;
    }
    const RowInfo &i = o.info;
    if (o.kind == Kind::image || o.kind == Kind::image_traces) {
        o.map_x = &i.mapX;
        o.map_y = &i.mapY;
    }
    if (o.kind == Kind::time_series)
        o.z = &i.z;
    if (o.kind == Kind::image_traces || o.kind == Kind::time_traces || o.kind == Kind::trace_map)
        o.labels = &i.labels;
    if (o.kind == Kind::point_map || o.kind == Kind::trace_map)
        o.regions = &i.regions;
}

} // namespace

// ------------------------------------------------------------------ errors

extern "C" {

const char *orv_status_name(orv_status status) {
    static const char *const names[] = {"ok",      "not_orvel", "truncated", "corrupt", "unsupported",
                                        "invalid_request", "not_found", "io", "memory", "changed", "interrupted", "internal"};
    const auto i = static_cast<size_t>(status);
    return i < std::size(names) ? names[i] : "unknown";
}

const char *orv_detail_name(orv_detail detail) {
    static const char *const names[] = {
        "not_orvel",    "short_field", "values_cut_short", "missing_key", "bad_index",
        "bad_operand",  "bad_attribute", "division_by_zero", "out_of_range", "bad_value",
        "bad_text",     "bad_axis",    "bad_position",     "unknown_type", "too_large",
        "no_memory",    "system",      "bad_request",      "bad_row",      "no_block",
        "file_changed", "past_end", "index_out_of_bounds", "not_an_index", "not_integer", "bad_length", "bad_shape", "not_a_number", "nan_integer", "infinite_integer", "offset_too_large", "unknown_region", "negative_count", "unequal_lengths", "no_subblocks", "grid_mismatch", "bad_repeat", "bad_concat", "interrupted", "internal"};
    static_assert(std::size(names) == ORV_DETAIL_INTERNAL + 1);
    const auto i = static_cast<size_t>(detail);
    return i < std::size(names) ? names[i] : "unknown";
}

orv_status orv_error_status(const orv_error *e) { return e ? e->status : ORV_OK; }
orv_detail orv_error_detail(const orv_error *e) { return e ? e->detail : ORV_DETAIL_INTERNAL; }
const char *orv_error_message(const orv_error *e) {
    if (!e)
        return "";
    return e == &out_of_memory ? "out of memory" : e->message.c_str();
}
int orv_error_offset(const orv_error *e, uint64_t *offset) {
    if (!e || !e->offset)
        return 0;
    if (offset)
        *offset = *e->offset;
    return 1;
}
int orv_error_errno(const orv_error *e) { return e ? e->errno_value : 0; }
void orv_error_free(orv_error *e) {
    if (e != &out_of_memory)
        delete e;
}

void orv_free(void *p) { std::free(p); }

const char *orv_version(void) { return ORVELIO_VERSION; }

void orv_set_interrupt_check(orv_interrupt_check check, void *context) {
    // The C check stands behind the C++ one, which passes it the context.
    static std::atomic<orv_interrupt_check> c_check{nullptr};
    c_check.store(check);
    set_interrupt_check(check ? +[](void *c) { const orv_interrupt_check f = c_check.load(); return f && f(c) != 0; }
                              : nullptr,
                        context);
}

// ------------------------------------------------------------------ parameters

size_t orv_params_count(const orv_params *p) { return p && p->list ? p->list->size() : 0; }

const char *orv_param_at(const orv_params *p, size_t i, orv_value *value) {
    if (i >= orv_params_count(p))
        return nullptr;
    const auto &[code, v] = (*p->list)[i];
    if (value)
        *value = value_of(v);
    return code.c_str();
}

int orv_param_find(const orv_params *p, const char *code, orv_value *value) {
    if (!code)
        return 0;
    for (size_t i = 0, n = orv_params_count(p); i < n; ++i)
        if ((*p->list)[i].first == code) {
            if (value)
                *value = value_of((*p->list)[i].second);
            return 1;
        }
    return 0;
}

const char *orv_param_label(const char *code) { return lookup(&parameter_labels, code); }
const char *orv_param_name(const char *code) { return lookup(&parameter_names, code); }

// ------------------------------------------------------------------ the reader

static orv_status opened(Reader (*open)(const void *, size_t, int), const void *arg, size_t size, int flag,
                         orv_reader **reader, orv_error **error) {
    return guard(error, [&] {
        need(reader, "the reader's out argument");
        *reader = new orv_reader{open(arg, size, flag)};
    });
}

orv_status orv_open(const char *path, orv_reader **reader, orv_error **error) {
    return opened(
        [](const void *p, size_t, int) {
            need(static_cast<const char *>(p), "the path");
            return Reader::open(static_cast<const char *>(p));
        },
        path, 0, 0, reader, error);
}

orv_status orv_open_fd(int fd, orv_reader **reader, orv_error **error) {
    return opened([](const void *, size_t, int f) { return Reader::from_fd(f); }, nullptr, 0, fd, reader, error);
}

orv_status orv_open_memory(const void *data, size_t size, int copy, orv_reader **reader, orv_error **error) {
    return opened(
        [](const void *p, size_t n, int c) {
            if (!p && n)
                refuse("the memory is NULL");
            const auto *bytes = static_cast<const uint8_t *>(p);
            if (c)
                return Reader::from_bytes(std::vector<uint8_t>(bytes, bytes + n));
            return Reader::from_memory({bytes, n});
        },
        data, size, copy, reader, error);
}

void orv_close(orv_reader *reader) { delete reader; }

orv_status orv_size(const orv_reader *r, uint64_t *size, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        need(size, "the size's out argument");
        *size = r->reader.size();
    });
}

orv_status orv_is_orvel(const orv_reader *r, int strict, int *result, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        need(result, "the result's out argument");
        *result = r->reader.is_orvel(strict != 0) ? 1 : 0;
    });
}

orv_status orv_blocks(const orv_reader *r, orv_block **blocks, size_t *count, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        need(blocks, "the blocks' out argument");
        need(count, "the count's out argument");
        const std::vector<Block> list = r->reader.blocks();
        // One allocation: the blocks, then their words one after another.
        size_t bytes = list.size() * sizeof(orv_block);
        for (const Block &b : list)
            bytes += b.type.size() + b.dimensions.size() + b.derivative.size() + 3;
        auto *out = static_cast<orv_block *>(std::malloc(bytes ? bytes : 1));
        if (!out)
            throw std::bad_alloc();
        char *text = reinterpret_cast<char *>(out + list.size());
        const auto put = [&](const std::string &s) {
            std::memcpy(text, s.c_str(), s.size() + 1);
            const char *at = text;
            text += s.size() + 1;
            return at;
        };
        for (size_t i = 0; i < list.size(); ++i) {
            out[i].type = put(list[i].type);
            out[i].dimensions = put(list[i].dimensions);
            out[i].derivative = put(list[i].derivative);
        }
        *blocks = out;
        *count = list.size();
    });
}

// ------------------------------------------------------------------ descriptions

const char *orv_kind_name(orv_kind kind) {
    // to_string's texts are NUL-terminated literals.
    return static_cast<size_t>(kind) < kKindCount ? to_string(static_cast<Kind>(kind)).data() : "unknown";
}

orv_status orv_describe(const orv_reader *r, const orv_block *block, orv_description **out, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        need(out, "the description's out argument");
        auto d = std::make_unique<orv_description>();
        d->d = r->reader.describe(block_of(block), &d->notes);
        d->block = view(d->d.request);
        d->params.list = &d->d.parameters;
        *out = d.release();
    });
}

void orv_description_free(orv_description *d) { delete d; }

const orv_block *orv_desc_block(const orv_description *d) { return &d->block; }
orv_kind orv_desc_kind(const orv_description *d) { return static_cast<orv_kind>(d->d.kind); }
const size_t *orv_desc_shape(const orv_description *d, size_t *ndim) {
    if (ndim)
        *ndim = d->d.shape.size();
    return d->d.shape.data();
}
size_t orv_desc_size(const orv_description *d, size_t region) {
    const bool multi = d->d.kind == Kind::point_map || d->d.kind == Kind::trace_map;
    if (multi)
        return region < d->d.regions.size() ? d->d.regions[region].rows * d->d.row_length : 0;
    if (region != ORV_NO_REGION)
        return 0;
    size_t n = 1;
    for (size_t s : d->d.shape)
        n *= s;
    return n;
}
orv_axis orv_desc_x(const orv_description *d) { return {d->d.x.first, d->d.x.last, d->d.x.count}; }
size_t orv_desc_rows(const orv_description *d) { return d->d.rows; }
size_t orv_desc_row_length(const orv_description *d) { return d->d.row_length; }
const orv_params *orv_desc_params(const orv_description *d) { return &d->params; }
size_t orv_desc_region_count(const orv_description *d) { return d->d.regions.size(); }
const char *orv_desc_region_title(const orv_description *d, size_t i) {
    return i < d->d.regions.size() ? d->d.regions[i].title.c_str() : nullptr;
}
size_t orv_desc_region_rows(const orv_description *d, size_t i) {
    return i < d->d.regions.size() ? d->d.regions[i].rows : 0;
}
static orv_quantity quantity_of(const Quantity &q) {
    return {q.long_name.c_str(), q.units.udunits.c_str(), q.units.display.c_str()};
}

orv_quantity orv_desc_values(const orv_description *d) { return quantity_of(d->d.values); }

static const Dimension *dim_at(const orv_description *d, size_t i) {
    return i < d->d.dims.size() ? &d->d.dims[i] : nullptr;
}
size_t orv_desc_dim_count(const orv_description *d) { return d->d.dims.size(); }
const char *orv_desc_dim_name(const orv_description *d, size_t i) {
    const Dimension *m = dim_at(d, i);
    return m ? m->name.c_str() : nullptr;
}
size_t orv_desc_dim_size(const orv_description *d, size_t i) {
    const Dimension *m = dim_at(d, i);
    return m ? m->size : 0;
}
int orv_desc_dim_rows(const orv_description *d, size_t i) {
    const Dimension *m = dim_at(d, i);
    return m && m->rows ? 1 : 0;
}
size_t orv_desc_coord_count(const orv_description *d, size_t dim) {
    const Dimension *m = dim_at(d, dim);
    return m ? m->coordinates.size() : 0;
}
const orv_coordinate *orv_desc_coord(const orv_description *d, size_t dim, size_t k) {
    const Dimension *m = dim_at(d, dim);
    return m && k < m->coordinates.size() ? reinterpret_cast<const orv_coordinate *>(&m->coordinates[k]) : nullptr;
}
const orv_coordinate *orv_desc_spectral(const orv_description *d) {
    return reinterpret_cast<const orv_coordinate *>(&d->d.spectral);
}

static const Coordinate &coord(const orv_coordinate *c) { return *reinterpret_cast<const Coordinate *>(c); }
const char *orv_coord_name(const orv_coordinate *c) { return coord(c).name.c_str(); }
int orv_coord_axis(const orv_coordinate *c, orv_axis *axis) {
    const std::optional<AxisRange> &a = coord(c).axis;
    if (!a)
        return 0;
    if (axis)
        *axis = {a->first, a->last, a->count};
    return 1;
}
int orv_coord_row_info(const orv_coordinate *c) {
    const std::string &f = coord(c).row_info;
    if (f == "z")
        return ORV_COORD_TIME;
    if (f == "mapX")
        return ORV_COORD_MAP_X;
    if (f == "mapY")
        return ORV_COORD_MAP_Y;
    if (f == "start_time")
        return ORV_COORD_START_TIME;
    return -1;
}
orv_quantity orv_coord_quantity(const orv_coordinate *c) { return quantity_of(coord(c).quantity); }

uint64_t orv_desc_values_held(const orv_description *d) { return d->d.values_held; }
uint64_t orv_desc_values_declared(const orv_description *d) { return d->d.values_declared; }
int orv_desc_acquired(const orv_description *d, double *utc) {
    if (!d->d.acquired.utc)
        return 0;
    if (utc)
        *utc = *d->d.acquired.utc;
    return 1;
}
const char *orv_desc_acquired_date(const orv_description *d) { return d->d.acquired.date.c_str(); }
const char *orv_desc_acquired_time(const orv_description *d) { return d->d.acquired.time.c_str(); }
const char *orv_desc_acquired_note(const orv_description *d) { return d->d.acquired.note.c_str(); }

static const RegionLayout *layout_at(const orv_description *d, size_t i) {
    return i < d->d.regions.size() ? &d->d.regions[i] : nullptr;
}
orv_value orv_desc_region_group(const orv_description *d, size_t i) {
    const RegionLayout *g = layout_at(d, i);
    return value_of(g ? g->group : Value{});
}
uint64_t orv_desc_region_nx(const orv_description *d, size_t i) {
    const RegionLayout *g = layout_at(d, i);
    return g ? g->nx : 0;
}
uint64_t orv_desc_region_ny(const orv_description *d, size_t i) {
    const RegionLayout *g = layout_at(d, i);
    return g ? g->ny : 0;
}
orv_grid orv_desc_region_grid(const orv_description *d, size_t i) {
    const RegionLayout *g = layout_at(d, i);
    return g ? static_cast<orv_grid>(g->grid) : ORV_GRID_NONE;
}

size_t orv_desc_note_count(const orv_description *d) { return d->notes.size(); }
const char *orv_desc_note(const orv_description *d, size_t i, orv_note_kind *kind) {
    return note_at(d->notes, i, kind);
}

// ------------------------------------------------------------------ reading

orv_status orv_read(const orv_reader *r, const orv_block *block, orv_data **out, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        need(out, "the data's out argument");
        auto d = std::make_unique<orv_data>();
        d->data = r->reader.read(block_of(block), &d->notes);
        d->kind = kind_of(*d->data);
        index(*d);
        *out = d.release();
    });
}

orv_status orv_read_values(const orv_reader *r, const orv_block *block, size_t region, float *values,
                           size_t count, double *x, size_t x_count, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        need(values, "the values' buffer");
        const Block b = block_of(block);
        // Rows land straight in the caller's buffer where they are the main array's layout;
        // image traces (transposed) and the x axis come from a whole read.
        const Description d = r->reader.describe(b);
        if (!x && d.kind != Kind::image_traces) {
            const bool multi = d.kind == Kind::point_map || d.kind == Kind::trace_map;
            const size_t rows = multi && region < d.regions.size() ? d.regions[region].rows : d.rows;
            r->reader.read_rows(b, RowRange{0, rows}, {values, count}, region_of(region));
            return;
        }
        orv_data data;
        data.data = r->reader.read(b);
        index(data);
        const float *v = orv_data_values(&data, region, nullptr, nullptr, nullptr);
        const Array<float> *main = data.values;
        if (const Region *g = region_at(&data, region))
            main = &g->spectra;
        if (!v || !main)
            refuse(region == ORV_NO_REGION ? "a multi-region map needs a region"
                                           : "region " + std::to_string(region) + " is out of range");
        if (main->size() != count)
            refuse("the buffer holds " + std::to_string(count) + " values, not " + std::to_string(main->size()));
        if (x && data.x->size() != x_count)
            refuse("the x buffer holds " + std::to_string(x_count) + " values, not " +
                   std::to_string(data.x->size()));
        if (count)
            std::memcpy(values, v, count * sizeof(float));
        if (x && x_count)
            std::memcpy(x, data.x->data(), x_count * sizeof(double));
    });
}

orv_status orv_read_rows(const orv_reader *r, const orv_block *block, const uint64_t *rows, size_t nrows,
                         size_t region, float *out, size_t count, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        if (nrows)
            need(rows, "the rows");
        if (count)
            need(out, "the buffer");
        r->reader.read_rows(block_of(block), std::span<const uint64_t>(rows, nrows), {out, count}, region_of(region));
    });
}

orv_status orv_read_row_range(const orv_reader *r, const orv_block *block, uint64_t first, uint64_t nrows,
                              size_t region, float *out, size_t count, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        if (count)
            need(out, "the buffer");
        r->reader.read_rows(block_of(block), RowRange{first, nrows}, {out, count}, region_of(region));
    });
}

orv_status orv_row_info(const orv_reader *r, const orv_block *block, orv_data **out, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        need(out, "the data's out argument");
        const Block b = block_of(block);
        auto d = std::make_unique<orv_data>();
        d->kind = r->reader.describe(b).kind;
        d->info = r->reader.row_info(b);
        index(*d);
        *out = d.release();
    });
}

void orv_data_free(orv_data *d) { delete d; }

orv_kind orv_data_kind(const orv_data *d) { return static_cast<orv_kind>(d->kind); }
const orv_block *orv_data_block(const orv_data *d) { return d->data ? &d->block : nullptr; }
const orv_params *orv_data_params(const orv_data *d) { return d->data ? &d->params : nullptr; }

const float *orv_data_values(const orv_data *d, size_t region, const size_t **shape, size_t *ndim, size_t *count) {
    const Array<float> *a = nullptr;
    if (d->regions) {
        const Region *g = region_at(d, region);
        if (g && d->data)
            a = &g->spectra;
    } else if (region == ORV_NO_REGION) {
        a = d->values;
    }
    if (!a)
        return nullptr;
    if (shape)
        *shape = a->shape().data();
    if (ndim)
        *ndim = a->shape().size();
    if (count)
        *count = a->size();
    return a->data();
}

orv_status orv_data_copy_values(const orv_data *d, size_t region, int column_major, double *out, size_t count,
                                orv_error **error) {
    return guard(error, [&] {
        need(d, "the data");
        const size_t *shape = nullptr;
        size_t ndim = 0, n = 0;
        const float *v = orv_data_values(d, region, &shape, &ndim, &n);
        if (!v)
            refuse("the data holds no such array");
        if (n != count)
            refuse("the buffer holds " + std::to_string(count) + " values, not " + std::to_string(n));
        if (n)
            need(out, "the buffer");
        if (!column_major || ndim < 2) {
            for (size_t k = 0; k < n; ++k)
                out[k] = static_cast<double>(v[k]);
            return;
        }
        // k runs over the values in C order, `index` is its multi-index and `at` its place in
        // column-major order, both kept up to date as k advances.
        std::vector<size_t> index(ndim, 0), stride(ndim, 1);
        for (size_t i = 1; i < ndim; ++i)
            stride[i] = stride[i - 1] * shape[i - 1];
        size_t at = 0;
        for (size_t k = 0; k < n; ++k) {
            out[at] = static_cast<double>(v[k]);
            for (size_t i = ndim; i-- > 0;) {
                at += stride[i];
                if (++index[i] < shape[i])
                    break;
                at -= stride[i] * shape[i];
                index[i] = 0;
            }
        }
    });
}

const double *orv_data_coord(const orv_data *d, orv_coord which, size_t region, size_t *count) {
    const Array<double> *a = nullptr;
    const Region *g = region_at(d, region);
    if (d->regions && which != ORV_COORD_X) {
        if (g && which == ORV_COORD_MAP_X)
            a = &g->mapX;
        else if (g && which == ORV_COORD_MAP_Y)
            a = &g->mapY;
        else if (g && which == ORV_COORD_START_TIME && g->start_time)
            a = &*g->start_time;
    } else if (region == ORV_NO_REGION) {
        switch (which) {
        case ORV_COORD_X: a = d->data ? d->x : nullptr; break;
        case ORV_COORD_MAP_X: a = d->map_x; break;
        case ORV_COORD_MAP_Y: a = d->map_y; break;
        case ORV_COORD_TIME: a = d->z; break;
        default: break;
        }
    }
    if (!a)
        return nullptr;
    if (count)
        *count = a->size();
    return a->data();
}

orv_value orv_data_min_y(const orv_data *d) { return value_of(d->data ? common(*d->data).minY : Value{}); }
orv_value orv_data_max_y(const orv_data *d) { return value_of(d->data ? common(*d->data).maxY : Value{}); }

size_t orv_data_label_count(const orv_data *d) { return d->labels ? d->labels->size() : 0; }
const char *orv_data_label(const orv_data *d, size_t i) {
    return i < orv_data_label_count(d) ? (*d->labels)[i].c_str() : nullptr;
}
size_t orv_data_region_count(const orv_data *d) { return d->regions ? d->regions->size() : 0; }
const char *orv_data_region_title(const orv_data *d, size_t i) {
    const Region *g = region_at(d, i);
    return g ? g->title.c_str() : nullptr;
}
size_t orv_data_note_count(const orv_data *d) { return d->notes.size(); }
const char *orv_data_note(const orv_data *d, size_t i, orv_note_kind *kind) { return note_at(d->notes, i, kind); }

// ------------------------------------------------------------------ pictures

orv_status orv_pictures_read(const orv_reader *r, orv_pictures **out, orv_error **error) {
    return guard(error, [&] {
        need(r, "the reader");
        need(out, "the pictures' out argument");
        auto p = std::make_unique<orv_pictures>();
        p->list = r->reader.pictures();
        for (const Picture &pic : p->list) {
            p->formats.emplace_back(pic.format);
            p->properties.push_back(orv_params{pic.properties.get()});
        }
        *out = p.release();
    });
}

void orv_pictures_free(orv_pictures *p) { delete p; }

size_t orv_pictures_count(const orv_pictures *p) { return p->list.size(); }
const orv_params *orv_picture_properties(const orv_pictures *p, size_t i) {
    return i < p->list.size() ? &p->properties[i] : nullptr;
}
const void *orv_picture_bytes(const orv_pictures *p, size_t i, size_t *size) {
    if (i >= p->list.size() || !p->list[i].data)
        return nullptr;
    if (size)
        *size = p->list[i].data->size();
    return p->list[i].data->data();
}
const char *orv_picture_format(const orv_pictures *p, size_t i) {
    return i < p->list.size() ? p->formats[i].c_str() : nullptr;
}
size_t orv_picture_record(const orv_pictures *p, size_t i) { return i < p->list.size() ? p->list[i].record : 0; }

} // extern "C"
