// orvelio: reading Orvel spectroscopy files from C++.
//
// The whole public API is this header. A Reader opens a file (by path, through a descriptor
// or from memory), lists its data blocks, describes a block without reading its arrays, reads
// a whole block into one typed result per kind, reads chosen rows of a 3D block into the
// caller's buffer, and lists the file's pictures. Every failure is an orvelio::Error with a
// code, the byte offset where it was detected (when there is one) and a message.
// describe_files describes many files at once, on a few threads.
//
//     orvelio::Reader r = orvelio::Reader::open("scan.orv");
//     for (const orvelio::Block &b : r.blocks()) {
//         orvelio::Description d = r.describe(b);
//         if (d.kind == orvelio::Kind::image) {
//             std::vector<float> px(2 * d.row_length);
//             const uint64_t rows[] = {0, 17};
//             r.read_rows(b, rows, px);        // pixels 0 and 17, as read() would give them
//         }
//     }
//
// A Reader is thread-safe: its const methods may run on many threads at once (every read is
// a positioned read; nothing shares a file position).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace orvelio {

// ------------------------------------------------------------------ errors

// What went wrong, in broad terms.
enum class ErrorCode {
    not_orvel,       // the input is not an Orvel file (its magic number is missing)
    truncated,       // the input ends before a field or before the values it declares
    corrupt,         // a structure or value of the file contradicts the format or itself
    unsupported,     // a well-formed feature this library does not read (unknown value types)
    invalid_request, // the caller asked for something that cannot exist (unknown block words,
                     // rows out of range, a buffer of the wrong size, a missing region)
    not_found,       // the block asked for is not in the file
    io,              // the operating system refused a read or an open (system_errno() says why)
    memory,          // an array the file declares cannot be allocated
    changed,         // the file changed (rewritten, cut, grown) since the Reader opened it
    interrupted,     // the interrupt check (set_interrupt_check) asked the call to stop
};

// The exact check that failed: finer than ErrorCode, stable, and mapped to exactly one code.
// Language bindings choose their exception types (and, from operands(), their texts) from it.
enum class ErrorDetail {
    not_orvel,        // not_orvel: the magic number is missing
    short_field,      // truncated: a fixed-width field is cut by the end of the input;
                      //            operands() holds its width in bytes
    values_cut_short, // truncated: the values of a sub-block (or spectrum) are cut short;
                      //            operands() holds the values found and the values expected
    missing_key,      // corrupt: a parameter, column or key the block needs is absent;
                      //          operands() holds the name
    bad_index,        // corrupt: a position, row or index outside what it refers to
    bad_operand,      // corrupt: values of the wrong types for an operation; operands() holds
                      //          the operator ("+", "-", "*") and the two types ("int", "float",
                      //          "str" or "NoneType" for an empty value)
    bad_attribute,    // corrupt: a value of the wrong type where text is needed; operands()
                      //          holds its type
    division_by_zero, // corrupt: a count of zero divides
    out_of_range,     // corrupt: a whole number outside the 32-bit range it must fit; operands()
                      //          holds it (an integer, or its decimal digits when wider)
    bad_value,        // corrupt: any other structure or value that cannot be read
    bad_text,         // corrupt: text that is not valid UTF-8 where UTF-8 is required;
                      //          operands() holds the bytes as one text
    bad_axis,         // corrupt: an axis (start, stop, count) that cannot be built;
                      //          operands() holds start, stop and count
    bad_position,     // corrupt: a negative position in the file (system_errno() is EINVAL)
    unknown_type,     // unsupported: a parameter type code this library does not know
    too_large,        // memory: an array larger than the address space can index
    no_memory,        // memory: an allocation failed
    system,           // io: a system call failed; system_errno() holds errno
    bad_request,      // invalid_request: an unknown type, dimension or derivative word,
                      //                  or a call whose arguments do not fit the block
    bad_row,          // invalid_request: a row number out of range
    no_block,         // not_found: the file has no data block (or parameters) for the request
    file_changed,     // changed: the file is no longer what was opened (its size or modification
                      //          time differs, or a read ended before the size at open)
    // Finer checks of corrupt files (code corrupt):
    past_end,         // a row, cell or code past the end of the table it indexes
    index_out_of_bounds, // a position outside an axis of an array; operands() holds the
                         //   position, the axis and the axis's size
    not_an_index,     // a fractional number where a position is needed
    not_integer,      // a value that must be a whole number is not; operands() holds its type
    bad_length,       // a length that is not a whole number; operands() holds its type
    bad_shape,        // a region size (nx * ny) that is not a whole number; operands() holds it
    not_a_number,     // a text where a number is needed; operands() holds the text
    nan_integer,      // NaN where a whole number is needed
    infinite_integer, // an infinity where a whole number is needed
    offset_too_large, // an offset beyond the 64-bit range
    unknown_region,   // a region number that no row of the table holds; operands() holds it
    negative_count,   // a region of a negative number of points
    unequal_lengths,  // sub-blocks that hold different numbers of values; operands() holds
                      //   the first one's count, the other's index and its count
    no_subblocks,     // a 3D block with no stored sub-block where one is needed
    grid_mismatch,    // values that do not fill the map grid; operands() holds the count
                      //   and the grid's rows and columns
    bad_repeat,       // a text repeated by a count that is not a whole number; operands()
                      //   holds the count's type
    bad_concat,       // a text joined to a value that is not a text; operands() holds its type
    interrupted,      // interrupted: the interrupt check asked the call to stop
};
inline constexpr size_t kErrorDetailCount = 39;

// The code of a detail.
constexpr ErrorCode code_of(ErrorDetail d) noexcept {
    switch (d) {
    case ErrorDetail::not_orvel: return ErrorCode::not_orvel;
    case ErrorDetail::short_field:
    case ErrorDetail::values_cut_short: return ErrorCode::truncated;
    case ErrorDetail::unknown_type: return ErrorCode::unsupported;
    case ErrorDetail::too_large:
    case ErrorDetail::no_memory: return ErrorCode::memory;
    case ErrorDetail::system: return ErrorCode::io;
    case ErrorDetail::bad_request:
    case ErrorDetail::bad_row: return ErrorCode::invalid_request;
    case ErrorDetail::no_block: return ErrorCode::not_found;
    case ErrorDetail::file_changed: return ErrorCode::changed;
    case ErrorDetail::interrupted: return ErrorCode::interrupted;
    default: return ErrorCode::corrupt;
    }
}

// "not_orvel", "truncated", ...: the enumerator's name.
std::string_view to_string(ErrorCode c) noexcept;

// A value read from a file: nothing, an integer, a float or a text (UTF-8).
using Value = std::variant<std::monostate, int64_t, double, std::string>;

// The one exception type of the library.
class Error : public std::exception {
  public:
    Error(ErrorDetail detail, std::string message, std::optional<uint64_t> offset = std::nullopt)
        : detail_(detail), message_(printable(std::move(message))), offset_(offset),
          what_(composed(message_, offset, {})) {}

    ErrorCode code() const noexcept { return code_of(detail_); }
    ErrorDetail detail() const noexcept { return detail_; }
    // The byte offset in the input where the problem was detected, when there is one.
    std::optional<uint64_t> offset() const noexcept { return offset_; }
    // For ErrorDetail::system and bad_position: the errno value; otherwise 0.
    int system_errno() const noexcept { return errno_; }
    // The values involved, for the details that say so (see ErrorDetail).
    const std::vector<Value> &operands() const noexcept { return operands_; }
    // What is wrong, in this library's terms; never empty.
    const std::string &message() const noexcept { return message_; }
    // What the call was working on ("data block AB 3D NONE"), when known.
    const std::string &where() const noexcept { return where_; }
    // The message, then where: "..., at byte 1234 of data block AB 3D NONE".
    const char *what() const noexcept override { return what_.c_str(); }

    Error &with_errno(int e) & {
        errno_ = e;
        return *this;
    }
    Error &with_operands(std::vector<Value> v) & {
        operands_ = std::move(v);
        return *this;
    }
    Error &at(std::optional<uint64_t> offset) & {
        what_ = composed(message_, offset, where_);
        offset_ = offset;
        return *this;
    }
    Error &in(std::string where) & {
        where_ = printable(std::move(where));
        what_ = composed(message_, offset_, where_);
        return *this;
    }

  private:
    // Control characters (a NUL of a name read from the file, say) as \xNN: a message is one
    // line of text, whole as a C string.
    static std::string printable(std::string s) {
        static constexpr char hex[] = "0123456789abcdef";
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            const auto u = static_cast<unsigned char>(s[i]);
            if (u >= 0x20 && u != 0x7f) {
                if (!out.empty())
                    out += s[i];
                continue;
            }
            if (out.empty())
                out.assign(s, 0, i);
            out += {'\\', 'x', hex[u >> 4], hex[u & 15]};
        }
        return out.empty() ? s : out;
    }
    static std::string composed(const std::string &message, std::optional<uint64_t> offset, const std::string &where) {
        std::string s = message;
        if (offset)
            s += ", at byte " + std::to_string(*offset);
        if (!where.empty())
            s += (offset ? " of " : ", in ") + where;
        return s;
    }

    ErrorDetail detail_;
    std::string message_;
    std::optional<uint64_t> offset_;
    int errno_ = 0;
    std::vector<Value> operands_;
    std::string where_, what_;
};

// ------------------------------------------------------------------ interruption

// A check that long calls poll, to be stopped from outside (a user's Ctrl-C, a cancel button):
// reads run it between pieces of a few MiB and whenever the system interrupts a read for a
// signal. Returning true stops the call, which fails with ErrorDetail::interrupted. It may run
// on any thread that reads, with the context given here.
using InterruptCheck = bool (*)(void *context);
// One check for the process; nullptr (the default): calls are never interrupted.
void set_interrupt_check(InterruptCheck check, void *context = nullptr) noexcept;
// Runs the check: throws Error(ErrorDetail::interrupted) when it says to stop.
void check_interrupt();

// ------------------------------------------------------------------ arrays

namespace detail {
void advise_huge_pages(void *data, size_t bytes) noexcept;
// Memory for arrays filled from the file (Array::empty, Array::share): aligned for huge pages
// from 2 MiB on, and advised to use them; nullptr when there is not enough. Freed with std::free.
void *allocate_array(size_t bytes) noexcept;
}

// An owned, C-contiguous array of T with its shape. Move-only. Its memory comes from the C
// allocator (malloc, calloc or posix_memalign): release() hands it over, to be freed with
// std::free. Arrays made together by
// share() are parts of one allocation instead, freed with the last of them: owner() keeps it
// alive (release() is for arrays of their own).
template <class T> class Array {
  public:
    Array() = default;

    // Zero-filled. A shape too large for memory fails with ErrorDetail::no_memory.
    static Array zeros(std::vector<size_t> shape) { return make(std::move(shape), true); }
    // Contents left undefined: for arrays that are written in full.
    static Array empty(std::vector<size_t> shape) { return make(std::move(shape), false); }

    // Arrays of the given shapes, contents undefined, one after another in one allocation: for
    // arrays filled together (the regions of a map), which then fault in their pages together,
    // in huge pages, instead of array by array. Fails as empty() does.
    static std::vector<Array> share(const std::vector<std::vector<size_t>> &shapes) {
        size_t total = 0;
        for (const std::vector<size_t> &shape : shapes)
            if (__builtin_add_overflow(total, count_of(shape), &total))
                throw too_many(shapes.size());
        size_t bytes;
        if (__builtin_mul_overflow(total, sizeof(T), &bytes))
            throw too_many(shapes.size());
        T *block = static_cast<T *>(detail::allocate_array(bytes));
        if (!block)
            throw Error(ErrorDetail::no_memory, "cannot allocate " + std::to_string(bytes) + " bytes for " +
                                                    std::to_string(shapes.size()) + " arrays of " +
                                                    std::to_string(total) + " values in all");
        try {
            const std::shared_ptr<void> owner(block, [](void *p) { std::free(p); });
            std::vector<Array> out(shapes.size());
            size_t at = 0;
            for (size_t i = 0; i < shapes.size(); ++i) {
                out[i].shape_ = shapes[i];
                out[i].size_ = count_of(shapes[i]);
                out[i].owner_ = owner;
                out[i].part_ = block + at;
                at += out[i].size_;
            }
            return out;
        } catch (const std::bad_alloc &) { // the shapes or the owner (which frees the block)
            throw Error(ErrorDetail::no_memory,
                        "cannot allocate the shapes of " + std::to_string(shapes.size()) + " arrays");
        }
    }

    Array(Array &&o) noexcept
        : data_(std::move(o.data_)), owner_(std::move(o.owner_)), part_(std::exchange(o.part_, nullptr)),
          shape_(std::move(o.shape_)), size_(std::exchange(o.size_, 0)) {
        o.shape_.clear();
    }
    Array &operator=(Array &&o) noexcept {
        if (this != &o) {
            data_ = std::move(o.data_);
            owner_ = std::move(o.owner_);
            part_ = std::exchange(o.part_, nullptr);
            shape_ = std::move(o.shape_);
            o.shape_.clear();
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }

    T *data() { return owner_ ? part_ : data_.get(); }
    const T *data() const { return owner_ ? part_ : data_.get(); }
    // What keeps a shared array's memory (null for an array of its own).
    const std::shared_ptr<void> &owner() const { return owner_; }
    const std::vector<size_t> &shape() const { return shape_; }
    size_t size() const { return size_; }
    T &operator[](size_t i) { return data()[i]; }
    const T &operator[](size_t i) const { return data()[i]; }
    std::span<T> values() { return {data(), size_}; }
    std::span<const T> values() const { return {data(), size_}; }

    // Hands the memory over, to be freed with std::free; the array is left empty. An array that
    // shares its allocation hands over a copy of its values (nullptr when that cannot be
    // allocated, the array then left as it was).
    T *release() {
        if (!owner_) {
            shape_.clear();
            size_ = 0;
            return data_.release();
        }
        T *copy = static_cast<T *>(std::malloc(size_ ? size_ * sizeof(T) : sizeof(T)));
        if (!copy)
            return nullptr;
        if (size_)
            std::memcpy(copy, part_, size_ * sizeof(T));
        *this = Array();
        return copy;
    }

  private:
    struct Free {
        void operator()(T *p) const { std::free(p); }
    };

    static Error too_many(size_t arrays) {
        return Error(ErrorDetail::no_memory, "the values of " + std::to_string(arrays) +
                                                 " arrays are more than the address space can hold");
    }

    static std::string shape_text(const std::vector<size_t> &shape) {
        std::string s;
        for (size_t d : shape)
            s += (s.empty() ? "" : " x ") + std::to_string(d);
        return s.empty() ? "1" : s;
    }

    static size_t count_of(const std::vector<size_t> &shape) {
        size_t n = 1;
        for (size_t d : shape)
            if (__builtin_mul_overflow(n, d, &n))
                throw Error(ErrorDetail::no_memory, "an array of " + shape_text(shape) +
                                                        " values is more than the address space can hold");
        return n;
    }

    static Array make(std::vector<size_t> shape, bool zero) {
        const size_t n = count_of(shape);
        size_t bytes;
        if (__builtin_mul_overflow(n, sizeof(T), &bytes))
            throw Error(ErrorDetail::no_memory, "an array of " + shape_text(shape) +
                                                    " values is more than the address space can hold");
        Array a;
        a.shape_ = std::move(shape);
        a.size_ = n;
        // Never a null pointer, even for no elements. Zeros come from calloc, whose large blocks
        // are the system's zero pages until written.
        void *p = zero ? std::calloc(n ? n : 1, sizeof(T)) : detail::allocate_array(bytes ? bytes : sizeof(T));
        if (!p)
            throw Error(ErrorDetail::no_memory, "cannot allocate " + std::to_string(bytes) + " bytes for an array of " +
                                                    shape_text(a.shape_) + " values");
        a.data_.reset(static_cast<T *>(p));
        if (zero)
            detail::advise_huge_pages(p, bytes);
        return a;
    }

    std::unique_ptr<T, Free> data_; // an array of its own
    std::shared_ptr<void> owner_;   // or a part of a shared allocation
    T *part_ = nullptr;
    std::vector<size_t> shape_;
    size_t size_ = 0;
};

// ------------------------------------------------------------------ blocks and results

// A data block as the file lists it and as requests name it: type ("AB", "TRC", "RAM-CH2",
// ...), dimensions ("2D" or "3D") and derivative ("NONE", "1DER", "2DER", "NDER"). Requests
// may use any letter case; an unknown word is refused with ErrorDetail::bad_request.
struct Block {
    std::string type, dimensions, derivative;
    bool operator==(const Block &) const = default;
};

// The data block types a request may name: "REFL", "RAM", ..., "AB", "TRC", "SSC", "RSC", then
// the same with "-CH2" (the second channel).
std::span<const std::string_view> block_types();

// Throws ErrorDetail::bad_request unless the three words (upper-cased) name a possible block:
// checked in the order dimensions, type, derivative. Reading calls it itself.
void validate(const Block &request);

// Parameters in the order the file (and the merge of the blocks) gives them.
using Parameters = std::vector<std::pair<std::string, Value>>;

// The kinds of data block, in the order of the alternatives of Data.
enum class Kind {
    spectrum,     // 2D: one spectrum
    image,        // 3D with a map geometry: one spectrum per pixel
    image_traces, // 3D traces over a map: one map per trace
    time_series,  // 3D: spectra in time, each with its time
    time_traces,  // 3D traces in time, each with its label
    point_map,    // 3D multi-region: regions of spectra at measured points
    trace_map,    // 3D multi-region traces
};
inline constexpr size_t kKindCount = 7;

// "spectrum", "image", "image-traces", "time-series", "time-traces", "point-map", "trace-map".
std::string_view to_string(Kind k) noexcept;

// An evenly spaced axis: first and last value and point count (NaN, NaN, 0 when empty).
struct AxisRange {
    double first = 0, last = 0;
    size_t count = 0;
};

// What every result holds.
struct Common {
    Block request;         // upper-cased
    Parameters parameters; // the data block's parameters with the shared blocks merged in
    Array<double> x;       // the x axis
    Value minY, maxY;      // as the parameters state them
};

struct Spectrum : Common {
    Array<float> y; // at most x.size() values: fewer when the file ends first
};
struct Image : Common {
    Array<double> mapX, mapY; // pixel coordinates
    Array<float> spectra;     // (NPY, NPX, NPT); pixels without a stored spectrum are 0
};
struct ImageTraces : Common {
    Array<double> mapX, mapY;
    std::vector<std::string> labels;
    Array<float> traces; // (NPY, NPX, number of traces)
};
struct TimeSeries : Common {
    Array<double> z;      // the time of each spectrum
    Array<float> spectra; // (M, NPT)
};
struct TimeTraces : Common {
    std::vector<std::string> labels;
    Array<float> traces; // (M, NPT)
};
struct Region {
    std::string title;
    Array<double> mapX, mapY;
    std::optional<Array<double>> start_time; // point maps only
    Array<float> spectra;                    // (points, values per point)
};
struct PointMap : Common {
    std::vector<Region> regions;
};
struct TraceMap : Common {
    std::vector<std::string> labels;
    std::vector<Region> regions;
};

using Data = std::variant<Spectrum, Image, ImageTraces, TimeSeries, TimeTraces, PointMap, TraceMap>;
static_assert(std::variant_size_v<Data> == kKindCount);

inline Kind kind_of(const Data &d) noexcept { return static_cast<Kind>(d.index()); }
inline const Common &common(const Data &d) noexcept {
    return std::visit([](const auto &r) -> const Common & { return r; }, d);
}

// Things reading reports besides its result, in order: lines meant for the user
// (message) and warnings about the file (warning).
struct Note {
    enum class Kind { message, warning } kind;
    std::string text;
};

// ------------------------------------------------------------------ units and labels

// A unit in two spellings: as data attributes write it (UDUNITS: "cm-1", "um", "s", "1" for a
// pure number) and as people read it ("cm⁻¹", "µm", "s"; empty for a pure number). Both empty
// when none is known.
struct Unit {
    std::string udunits, display;
    bool operator==(const Unit &) const = default;
};

// The unit a file's word names: an x-unit code ("WN", "MI", "NM", "MIN", "SEC", "PNT"), a
// spelling of it ("cm-1", "1/cm", "µm", "um", "micron", "sec", "ms", ...), in any letter case,
// blanks around it ignored. A word of no known unit gives itself as both spellings (empty stays
// empty). Every layer names units through this one table.
Unit unit_of(std::string_view word);

// What a number stands for: a name for people ("Wavenumber", "Absorbance", "Raman intensity")
// and its unit.
struct Quantity {
    std::string long_name;
    Unit units;
    bool operator==(const Quantity &) const = default;
};

// ------------------------------------------------------------------ descriptions

// How the positions of a region lie: a full grid of nx x ny stage positions, row by row (x
// varies fastest: row j is column j % nx of grid row j / nx) or column by column (y fastest),
// or no full grid (a list of points, positions missing or out of grid order).
enum class GridOrder { none, x_fastest, y_fastest };

// "none", "x_fastest", "y_fastest".
std::string_view to_string(GridOrder g) noexcept;

// Where the rows of a 3D block come from. `subblocks` holds the byte offset of each stored
// sub-block's values in stored order; sources[row] names what fills the row:
//   image, image traces, time series, time traces, point maps: the index in `subblocks`
//     whose values are the row, or -1 when none is stored (the row reads as zeros);
//   trace maps: the position within every sub-block: row j is the value at that position
//     of each stored sub-block in turn.
// Images list only the stored sub-blocks: pixels past the end of `sources` read as zeros.
//
// A region of a multi-region map, as numbers, with its row layout:
struct RegionLayout {
    std::string title; // "Region 3 (4 x 5)" or "Region 3 (12 points)", as read() names it
    Value group;       // the region number as the table holds it (an integer or a float)
    // The grid the table declares: nx by ny positions; 0 and 0 for a list of points.
    uint64_t nx = 0, ny = 0;
    size_t rows = 0;   // positions (rows of the region's spectra as read() gives them)
    // Whether the rows are a full nx x ny grid of distinct stage positions (every position
    // stored), and in which order.
    GridOrder grid = GridOrder::none;
    std::vector<int64_t> sources; // see above
};

// A coordinate of the main array: an evenly spaced axis, or values per row that row_info()
// gives (map positions of point and trace maps, times, trace labels).
struct Coordinate {
    std::string name; // as the xarray backend names it: "spectral", "y", "x", "time", "trace",
                      // "mapX", "mapY", "start_time"
    // An axis: its values are those of numpy.linspace(first, last, count), bit for bit those
    // of the whole read's array (x, mapX, mapY).
    std::optional<AxisRange> axis;
    // Otherwise the RowInfo field that holds the values: "z", "labels"; for multi-region maps
    // the field of each region: "mapX", "mapY", "start_time".
    std::string row_info;
    Quantity quantity; // long_name and units, where the file states them or the kind implies them
};

// A dimension of the main array, slowest first.
struct Dimension {
    std::string name; // "spectral", "y", "x", "time", "trace" or "spectrum"
    // Its size as the block declares it (a spectrum cut short holds fewer values: see
    // Description::values_held). 0 for the `spectrum` dimension of multi-region maps, whose
    // size is each region's rows.
    size_t size = 0;
    // Whether it numbers the rows that read_rows addresses (y and x of an image, row by row;
    // the trace of image traces; time; the trace of time traces; the spectrum of a region).
    bool rows = false;
    // Along it: one, but for the `spectrum` dimension of multi-region maps: each region's
    // mapX, mapY (and start_time of point maps).
    std::vector<Coordinate> coordinates;
};

// When the block was measured, from the date and time parameters (DAT, TIM).
struct Acquired {
    // Seconds since 1970-01-01 00:00:00 UTC; absent when the date or time is missing or
    // cannot be read.
    std::optional<double> utc;
    std::string date, time; // the parameters' texts as the file writes them ("" when absent)
    // Why utc is absent, or what was assumed to get it ("no time zone: taken as UTC"); empty
    // when the texts read as they are.
    std::string note;
};

// Reads a date ("31/12/2025", "31.12.2025", "2025-12-31") and a time ("23:59:59",
// "23:59:59.250", with or without a zone: "(GMT+1)", "GMT+10.5", "GMT-03:30", "UTC", "Z",
// "+0200"; an unknown zone such as "Etc/NA" or none is taken as UTC, with a note). Blanks and
// tabs around the parts are ignored. Never throws: what cannot be read is absent with a note.
Acquired acquisition_time(std::string_view date, std::string_view time);

// A block described without reading its values: enough for any layer to present any kind.
struct Description {
    Block request; // upper-cased
    Kind kind = Kind::spectrum;
    // The shape of the main array as read() gives it: (NPT') for a spectrum (fewer values
    // when the file ends first), (NPY, NPX, NPT) images, (NPY, NPX, M) image traces,
    // (M, NPT) time series and traces; multi-region kinds: one number per region, its rows.
    std::vector<size_t> shape;
    std::string_view dtype = "float32"; // the element type of every main array
    AxisRange x;
    Parameters parameters; // equal to read()'s
    // The parameter blocks that `parameters` merges, in order: each merged over the ones before
    // it (a name keeps the place of its first block and takes the value of its last) gives
    // `parameters`. A block that several data blocks merge is one object, read once per Reader.
    std::vector<std::shared_ptr<const Parameters>> parameter_blocks;
    // Rows addressed by read_rows (1 for a spectrum; 0 for multi-region kinds, whose rows are
    // counted per region) and values per row.
    size_t rows = 0, row_length = 0;
    std::vector<int64_t> subblocks;     // 3D kinds
    std::vector<int64_t> sources;       // 3D kinds other than multi-region
    std::vector<RegionLayout> regions;  // multi-region kinds

    // The main array's dimensions in order, with their coordinates:
    //   spectrum      (spectral)          spectral: axis x
    //   image         (y, x, spectral)    y, x: axes of mapY, mapX; spectral
    //   image traces  (y, x, trace)       y, x; trace: row_info labels
    //   time series   (time, spectral)    time: row_info z; spectral
    //   time traces   (trace, spectral)   trace: labels; spectral
    //   point map     (spectrum, spectral) spectrum: each region's mapX, mapY, start_time
    //   trace map     (spectrum, trace)   spectrum: each region's mapX, mapY; trace: labels
    std::vector<Dimension> dims;
    // The x axis, named "spectral", with its long_name (the x-axis label, else what the unit
    // measures: "Wavenumber", "Raman shift" for Raman data) and unit: a dimension's coordinate,
    // or of its own for trace kinds, where no dimension of the main array is the x axis.
    Coordinate spectral;
    // What the main array's values are: from the data block type and the y-unit parameter.
    Quantity values;
    // Completeness: the values of the main array (of every stored sub-block for 3D kinds) that
    // the file holds and that the block declares. A spectrum cut inside its values holds fewer
    // (1051 of 1801): read() gives those; 3D blocks cut short fail to read.
    uint64_t values_held = 0, values_declared = 0;
    bool complete() const noexcept { return values_held == values_declared; }
    Acquired acquired;

    // Whether the main array comes region by region (multi-region maps): shape, rows and the
    // size of the `spectrum` dimension are then those of each region.
    bool by_region() const noexcept { return kind == Kind::point_map || kind == Kind::trace_map; }
};

// The fields of the description's structs by name, for layers that present them whole (the
// Python binding turns each into a dict). f(name, value) is called per field in order. The row
// layout (subblocks, sources) is left out: it is for read_rows and can be large; so are the
// parameters, which a layer shares through parameter_blocks.
template <class F> void for_each_field(const Unit &u, F &&f) {
    f("udunits", u.udunits);
    f("display", u.display);
}
template <class F> void for_each_field(const Quantity &q, F &&f) {
    f("long_name", q.long_name);
    f("units", q.units);
}
template <class F> void for_each_field(const AxisRange &a, F &&f) {
    f("first", a.first);
    f("last", a.last);
    f("count", a.count);
}
template <class F> void for_each_field(const Coordinate &c, F &&f) {
    f("name", c.name);
    f("axis", c.axis);
    f("row_info", c.row_info);
    f("long_name", c.quantity.long_name);
    f("units", c.quantity.units);
}
template <class F> void for_each_field(const Dimension &d, F &&f) {
    f("name", d.name);
    f("size", d.size);
    f("rows", d.rows);
    f("coordinates", d.coordinates);
}
template <class F> void for_each_field(const RegionLayout &r, F &&f) {
    f("title", r.title);
    f("group", r.group);
    f("nx", r.nx);
    f("ny", r.ny);
    f("rows", r.rows);
    f("grid", to_string(r.grid));
}
template <class F> void for_each_field(const Acquired &a, F &&f) {
    f("utc", a.utc);
    f("date", a.date);
    f("time", a.time);
    f("note", a.note);
}
template <class F> void for_each_field(const Description &d, F &&f) {
    f("request", d.request);
    f("kind", to_string(d.kind));
    f("shape", d.shape);
    f("dtype", d.dtype);
    f("x", d.x);
    f("rows", d.rows);
    f("row_length", d.row_length);
    f("by_region", d.by_region());
    f("regions", d.regions);
    f("dims", d.dims);
    f("spectral", d.spectral);
    f("values", d.values);
    f("values_held", d.values_held);
    f("values_declared", d.values_declared);
    f("complete", d.complete());
    f("acquired", d.acquired);
}

// Values per row that read_rows leaves out of the main array: map coordinates, labels,
// times. Filled for the kinds that have them (see each field).
struct RowInfo {
    Array<double> mapX, mapY;         // image, image traces
    std::vector<std::string> labels;  // image traces, time traces, trace maps
    Array<double> z;                  // time series
    std::vector<Region> regions;      // multi-region kinds: title, mapX, mapY, start_time
                                      // (spectra left empty)
};

// A row selection: rows first, first + 1, ..., first + count - 1.
struct RowRange {
    uint64_t first = 0, count = 0;
};

// ------------------------------------------------------------------ pictures

struct Picture {
    // "Title" and the labelled values in reading order (never null; pictures that share a
    // record share them).
    std::shared_ptr<const Parameters> properties;
    // The picture's bytes when the file stores them (pictures that share a record share
    // them); nullptr otherwise.
    std::shared_ptr<const std::string> data;
    // "bmp", "jpeg", ... ; empty when the bytes are of no known format (or absent).
    std::string_view format;
    // The stored record the picture reads: pictures of equal records are the same picture
    // listed again (same properties, same bytes).
    size_t record = 0;
};

// ------------------------------------------------------------------ parameter names

// A parameter code ("NPT") and a name for it (UTF-8).
struct CodeName {
    std::string_view code;
    std::string_view name;
};

// Descriptive names of the parameter codes ("NPT": "number_of_data_points"), in their order.
std::span<const CodeName> parameter_names();

// Display labels of the most useful parameters ("NPT": "Number of Data Points"), in their order.
std::span<const CodeName> parameter_labels();

// ------------------------------------------------------------------ the reader

// What identifies an open file: a file replaced, rewritten, cut or grown since differs in at
// least one of them.
struct FileIdentity {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtime_ns = 0; // the modification time, in nanoseconds since the epoch
    bool operator==(const FileIdentity &) const = default;
};

// Bytes read by position from somewhere that is neither a descriptor nor memory (a file
// object of a binding, a remote object). The Reader calls read_at from one thread at a time.
class Source {
  public:
    virtual ~Source() = default;
    // The size, asked once when the Reader is made.
    virtual uint64_t size() = 0;
    // Up to n bytes at `offset` into dst: fewer only where the source ends. What it throws
    // leaves the Reader's call unchanged.
    virtual size_t read_at(void *dst, size_t n, uint64_t offset) = 0;
};

class Reader {
  public:
    // Opens the file read-only. ErrorDetail::system (code io) with the errno when it cannot
    // be opened (a directory: EISDIR).
    static Reader open(const std::filesystem::path &path);
    // Reads through a descriptor the caller keeps open (and closes after the Reader).
    // Regular files are read with positioned reads; anything else (a pipe) is read to its
    // end now, from its current position.
    static Reader from_fd(int fd);
    // As from_fd, for a Reader whose first call follows at once (a function that opens a file,
    // makes one call and closes it): the fstat taken here is also that call's check of the
    // file, one fstat in all; later calls check the file as every call does (and, as the first,
    // read the parameter blocks they merge afresh instead of keeping them for one another).
    static Reader from_fd_for_call(int fd);
    // Reads from memory that the caller keeps alive and unchanged for the Reader's life.
    static Reader from_memory(std::span<const uint8_t> bytes);
    // Reads from bytes the Reader keeps.
    static Reader from_bytes(std::vector<uint8_t> bytes);
    // Reads from a Source, only the bytes that calls ask for.
    static Reader from_source(std::shared_ptr<Source> source);

    Reader(Reader &&) noexcept;
    Reader &operator=(Reader &&) noexcept;
    ~Reader();

    // The size of the input when the Reader was made.
    uint64_t size() const;
    // The identity of a regular file at open (none for memory, a Source or a stream). Every
    // call that reads checks the file against it first (one fstat), and fails with
    // ErrorDetail::file_changed when it differs; so does a read that ends before the size at
    // open: no call returns values of a file other than the one opened.
    std::optional<FileIdentity> identity() const;

    // Whether the input starts with the magic number: false for inputs shorter than it, or
    // with `strict`, ErrorDetail::short_field. Throws no other Error than ErrorDetail::system.
    bool is_orvel(bool strict = false) const;

    // The data blocks, in listing order (duplicates included).
    std::vector<Block> blocks() const;

    // The block's kind, shape, axis, parameters and row layout. Reads the headers, the
    // parameter blocks, the store table and the annotation table, never the values.
    // Structural faults fail as read() fails on them; values cut short do not (read_rows
    // and read report them).
    Description describe(const Block &block, std::vector<Note> *notes = nullptr) const;

    // The whole block. Notes are appended to *notes even when it throws.
    Data read(const Block &block, std::vector<Note> *notes = nullptr) const;

    // Fills out[i * row_length, (i + 1) * row_length) with exactly the values read() puts in
    // row rows[i] of the block (see Description::rows):
    //   image: row p is pixel p = iy * NPX + ix (0 where no spectrum is stored);
    //   image traces: row k is trace k, its map row by row;
    //   time series / time traces: row k is spectrum / trace k;
    //   point / trace maps: row j of region `region` (required for them, refused otherwise);
    //   spectrum: row 0, the spectrum (row_length is the count read() gives).
    // Fails with ErrorDetail::bad_row for a row out of range, bad_request when out.size() is
    // not rows.size() * row_length, and as read() fails when a row's values are cut short.
    void read_rows(const Block &block, std::span<const uint64_t> rows, std::span<float> out,
                   std::optional<size_t> region = std::nullopt) const;
    void read_rows(const Block &block, RowRange rows, std::span<float> out,
                   std::optional<size_t> region = std::nullopt) const;

    // The per-row values of a 3D block (no spectra read).
    RowInfo row_info(const Block &block) const;

    // The visible pictures, in listing order.
    std::vector<Picture> pictures() const;

    struct Impl;

  private:
    explicit Reader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// ------------------------------------------------------------------ many files

// A block as describe_files found it: its description, the values of the parameter codes asked
// for and, when asked, its values.
struct DescribedBlock {
    // The Reader's description, but for its parameters (`parameters` and `parameter_blocks` are
    // left empty): a catalog of many files keeps the few values it asks for, in `chosen`.
    Description description;
    // One per code of DescribeOptions::parameters, in order: the merged parameters' value
    // (the value of the last parameter block that holds the code), or nothing.
    std::vector<Value> chosen;
    // With DescribeOptions::values, for a spectrum: the values read() gives (row 0 of
    // read_rows). Empty for the other kinds.
    std::vector<float> values;
};

// What describe_files found in one file.
struct FileDescription {
    enum class Status { described, not_orvel, failed };
    Status status = Status::failed;
    uint64_t size = 0; // at open; 0 where it could not be opened
    std::vector<DescribedBlock> blocks; // described: see DescribeOptions::block
    std::optional<Error> error;         // failed: why
};

struct DescribeOptions {
    std::vector<std::string> parameters; // the codes of DescribedBlock::chosen
    // This block of every file (a file without it fails with not_found, as describe() does);
    // without it, every distinct block of the listing that a request can name, in order.
    std::optional<Block> block;
    bool values = false; // read the values of spectra too (DescribedBlock::values)
    // Threads that describe, the calling one among them (at most one per file); 0: one per
    // hardware thread.
    unsigned threads = 1;
};

// Describes many files, each opened once by path, read-only, on options.threads threads that
// take the next file as they become free; the results are in the order of `paths`. A file's
// failure is kept as its error instead of thrown. Only regular files are read: a directory fails
// with ErrorDetail::system (EISDIR), anything else (a FIFO, which could wait for a writer for
// ever, a device) with ErrorDetail::system (EINVAL). The calling thread runs the interrupt
// check between its files (every few milliseconds at most): when it says to stop, or a read of
// any thread is interrupted, the other threads end the file they are on and the call fails with
// ErrorDetail::interrupted. It throws nothing else but ErrorDetail::no_memory.
std::vector<FileDescription> describe_files(std::span<const std::filesystem::path> paths,
                                            const DescribeOptions &options = {});

} // namespace orvelio
