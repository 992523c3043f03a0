#include "annotation.hpp"

#include "format/error.hpp"
#include "format/pyops.hpp"
#include "format/text.hpp"
#include "params/params.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <new>
#include <limits>
#include <variant>

#include <sys/mman.h>

namespace orvelio {

// ------------------------------------------------------------------ values as Python shows them

namespace {

// repr() of a float: the shortest digits that read back to it, in fixed notation for
// decimal exponents -4 to 15 and in exponent notation (at least two exponent digits) beyond.
std::string float_repr(double d) {
    if (std::isnan(d))
        return "nan";
    if (std::isinf(d))
        return d > 0 ? "inf" : "-inf";
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
    const size_t e_at = sci.find('e');
    std::string_view mantissa = sci.substr(0, e_at);
    int exp = 0;
    std::from_chars(sci.data() + e_at + 1 + (sci[e_at + 1] == '+'), sci.data() + sci.size(), exp);
    std::string out;
    if (!mantissa.empty() && mantissa[0] == '-') {
        out = "-";
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa)
        if (c != '.')
            digits += c;
    if (exp >= -4 && exp < 16) {
        if (exp < 0) {
            out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
        } else {
            const size_t whole = static_cast<size_t>(exp) + 1;
            if (digits.size() <= whole)
                out += digits + std::string(whole - digits.size(), '0') + ".0";
            else
                out += digits.substr(0, whole) + "." + digits.substr(whole);
        }
        return out;
    }
    out += digits.substr(0, 1);
    if (digits.size() > 1) {
        out += '.';
        out.append(digits, 1);
    }
    char e[16];
    std::snprintf(e, sizeof e, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    return out + e;
}

} // namespace

std::string py_str(const Value &v) {
    if (is_int(v))
        return std::to_string(std::get<int64_t>(v));
    if (is_float(v))
        return float_repr(std::get<double>(v));
    if (is_text(v))
        return std::get<std::string>(v);
    return "None";
}

// ------------------------------------------------------------------ the column dictionary

// Columns of at least this many bytes are mapped on their own.
constexpr size_t kOwnPages = size_t{32} << 10;

template <class T> T *Annotations::PageAllocator<T>::allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T))
        throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    if (bytes < kOwnPages) {
        if (void *p = std::malloc(bytes ? bytes : 1))
            return static_cast<T *>(p);
        throw std::bad_alloc();
    }
    // Its pages at once (the cells are written next, every one of them).
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    return static_cast<T *>(p);
}

template <class T> void Annotations::PageAllocator<T>::deallocate(T *p, size_t n) noexcept {
    if (n * sizeof(T) < kOwnPages)
        std::free(p);
    else
        munmap(p, n * sizeof(T));
}

template struct Annotations::PageAllocator<uint32_t>;

void Annotations::Cells::clear() {
    uniform_ = kNone;
    tags_.clear();
    bits_.clear();
    texts_.clear();
}

void Annotations::Cells::push_text(std::string v) {
    if (texts_.size() > UINT32_MAX) // a text's index is 32 bits: more texts than memory could hold
        throw std::bad_alloc();
    push(kText, static_cast<uint32_t>(texts_.size()));
    texts_.push_back(std::move(v));
}

const Annotations::Cells *Annotations::find(std::string_view name) const {
    auto it = by_name_.find(std::string(name));
    return it == by_name_.end() ? nullptr : &columns_[it->second].values;
}

const Annotations::Cells &Annotations::at(std::string_view name) const {
    if (const Cells *column = find(name))
        return *column;
    fail_key(std::string(name), "column of the annotation table");
}

size_t Annotations::restart(const Value &name) {
    if (is_text(name)) {
        auto [it, inserted] = by_name_.try_emplace(std::get<std::string>(name), columns_.size());
        if (!inserted) {
            columns_[it->second].values.clear();
            return it->second;
        }
    }
    columns_.push_back({name, {}});
    return columns_.size() - 1;
}

// ------------------------------------------------------------------ reading

namespace {


enum class Cell { Int, Float, Text, Unknown };

Cell cell_kind(const Value &type) {
    if (equals(type, kCellInt))
        return Cell::Int;
    if (equals(type, kCellFloat))
        return Cell::Float;
    if (is_number(type)) {
        const double d = std::trunc(num(type).as_double());
        if (d >= kCellTextFirst && d <= kCellTextLast && equals(type, static_cast<int64_t>(d)))
            return Cell::Text;
    }
    return Cell::Unknown;
}

struct TableColumn {
    size_t column; // in the dictionary
    Cell kind;
    Value type;
};

// Room that every block gets beyond the size of its file, so that small tables whose rows
// overlap still read.
constexpr uint64_t kAllowance = 64 * 1024;

// What a block has spent so far of what its file allows.
struct Budget {
    uint64_t limit;
    Wide params = 0, cells = 0, bytes = 0;
};

// The parameter block of a record; its length counts against the block's budget.
ParamDict record_params(File &f, const Num &at, Budget &budget) {
    const int64_t start = position(at);
    ParamDict p = read_params(f, start);
    budget.params += f.tell() > start ? f.tell() - start : 0;
    if (budget.params > static_cast<Wide>(budget.limit))
        fail(ErrorDetail::bad_value, "Invalid annotation block: its records add up to more than the file holds");
    return p;
}

std::string two_digits(char letter, int64_t n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%02lld", letter, static_cast<long long>(n));
    return buf;
}

// The rows of a table without columns read nothing; of their seeks only the failures are
// seen, and these are those of the first and the last row (positions move in one direction).
void check_row_seeks(const Num &start, const Value &rowlen, int64_t rows) {
    if (rows <= 0)
        return;
    if (is_text(rowlen))
        fail_operands("+", "int", "str");
    if (is_float(rowlen))
        fail_not_integer("float", "the row length (SRC) of the annotation table");
    const Wide step = std::get<int64_t>(rowlen);
    position(start);
    const int64_t last = position(Num{false, start.i + (rows - 1) * step, 0});
    if (last < 0)
        fail_position(last, "the position of the last row of the annotation table");
}

// The rows of a table of numbers only (the usual table), from the row at `start` on, taken
// from the bytes already in memory as many rows at a time as they hold, column by column: each
// row's cells lie one after another from the row's start. Returns the number of rows read;
// the rest (a row that runs past the end of the file, rows stored backwards, a column named
// twice) are read row by row.
int64_t number_rows(File &f, const Num &start, const Value &rowlen, int64_t nln, const std::vector<TableColumn> &cols,
                    Annotations &out) {
    for (size_t a = 0; a < cols.size(); ++a) {
        if (cols[a].kind != Cell::Int && cols[a].kind != Cell::Float)
            return 0;
        for (size_t b = 0; b < a; ++b)
            if (cols[a].column == cols[b].column)
                return 0; // cells of the two interleave row by row
    }
    if (start.is_float || !is_int(rowlen) || std::get<int64_t>(rowlen) < 0)
        return 0;
    const uint64_t step = static_cast<uint64_t>(std::get<int64_t>(rowlen)), width = 4 * cols.size();
    int64_t i = 0;
    while (i < nln) {
        const Wide at = Wide{start.i} + Wide{i} * static_cast<Wide>(step);
        if (at < 0 || at >= static_cast<Wide>(f.size()))
            break;
        f.seek(static_cast<int64_t>(at));
        const std::span<const uint8_t> w = f.window(width);
        if (w.size() < width)
            break;
        const uint64_t fit = step == 0 ? UINT64_MAX : 1 + (w.size() - width) / step;
        const size_t rows = static_cast<size_t>(std::min<uint64_t>(fit, static_cast<uint64_t>(nln - i)));
        for (size_t k = 0; k < cols.size(); ++k) {
            Annotations::Cells &values = out.values(cols[k].column);
            const uint8_t *b = w.data() + 4 * k;
            if (cols[k].kind == Cell::Int) {
                for (size_t r = 0; r < rows; ++r, b += step) {
                    int32_t v;
                    std::memcpy(&v, b, 4);
                    values.push_int(v);
                }
            } else {
                for (size_t r = 0; r < rows; ++r, b += step) {
                    float v;
                    std::memcpy(&v, b, 4);
                    values.push_float(v);
                }
            }
        }
        i += static_cast<int64_t>(rows);
    }
    return i;
}

void read_table(File &f, const Num &record, const ParamDict &p, Annotations &out, std::vector<Note> &notes,
                Budget &budget) {
    const Num anno_offset = plus(record, p.at("SIZ"));
    const Reading table(f, "the annotation table", position(anno_offset));
    f.seek(position(anno_offset));
    const Value &rowlen = p.at("SRC");
    Num strlen{false, -1, 0};

    std::vector<TableColumn> cols;
    const int64_t nco = range_count(p.at("NCO"));
    for (int64_t i = 0; i < nco; ++i) {
        const Value &name = p.at(two_digits('S', i));
        const Value &offset = p.at(two_digits('F', i));
        const Value &type = p.at(two_digits('T', i));
        const Cell kind = cell_kind(type);
        cols.push_back({out.restart(name), kind, type});
        if (kind == Cell::Text) {
            const Num width = minus(rowlen, offset);
            if (width.as_double() > strlen.as_double())
                strlen = width;
        }
    }
    const int64_t nln = range_count(p.at("NLN"));
    if (nln <= 0)
        return;
    if (cols.empty()) {
        check_row_seeks(anno_offset, rowlen, nln);
        return;
    }

    // What the rows will cost, before any of them is read.
    const uint64_t size = f.size();
    uint64_t text_width = 0;
    if (!strlen.is_float)
        text_width = strlen.i < 0 || strlen.i > static_cast<Wide>(size) ? size : static_cast<uint64_t>(strlen.i);
    Wide row_bytes = 0;
    for (const TableColumn &c : cols)
        row_bytes += c.kind == Cell::Int || c.kind == Cell::Float ? 4 : c.kind == Cell::Text ? text_width : 0;
    budget.cells += Wide{nln} * static_cast<Wide>(cols.size());
    budget.bytes += Wide{nln} * row_bytes;
    if (budget.cells > static_cast<Wide>(budget.limit) || budget.bytes > static_cast<Wide>(budget.limit))
        fail(ErrorDetail::bad_value, "Invalid annotation table: " + std::to_string(nln) + " rows of " +
                                    std::to_string(cols.size()) + " columns do not fit in a file of " +
                                    std::to_string(size) + " bytes");

    for (const TableColumn &c : cols)
        out.values(c.column).reserve(out.values(c.column).size() + static_cast<size_t>(nln));
    const int64_t first = number_rows(f, anno_offset, rowlen, nln, cols, out);
    for (int64_t i = first; i < nln; ++i) {
        if (is_text(rowlen))
            fail_operands("+", "int", "str");
        if (is_float(rowlen))
            fail_not_integer("float", "the row length (SRC) of the annotation table");
        f.seek(position(Num{false, anno_offset.i + Wide{i} * std::get<int64_t>(rowlen), 0}));
        for (const TableColumn &c : cols) {
            Annotations::Cells &values = out.values(c.column);
            switch (c.kind) {
            case Cell::Int:
                values.push_int(f.read_i32());
                break;
            case Cell::Float:
                values.push_float(f.read_f32());
                break;
            case Cell::Text:
                if (strlen.is_float)
                    fail_with(ErrorDetail::bad_length,
                         "the width of the text cells of the annotation table is a fractional number",
                         {std::string("float")});
                values.push_text(
                    text_field(strlen.i < 0 ? f.read_rest() : f.read_bytes(static_cast<size_t>(text_width))));
                break;
            case Cell::Unknown:
                notes.push_back({Note::Kind::warning, "Unknown annotation data type " + py_str(c.type)});
                values.push_none();
                break;
            }
        }
    }
}

} // namespace

Annotations read_annotations(File &f, int64_t offset, std::vector<Note> &notes) {
    Annotations out;
    Budget budget{f.size() + kAllowance};
    const Num block{false, offset, 0};
    const ParamDict dir = record_params(f, Num{false, Wide{offset} + 12, 0}, budget);
    const int64_t nrp = range_count(dir.at("NRP"));
    for (int64_t img = 0; img < nrp; ++img) {
        const Num record = plus(block, dir.at(two_digits('F', img)));
        const ParamDict p = record_params(f, record, budget);
        if (!p.contains("SRC"))
            continue;
        read_table(f, record, p, out, notes, budget);
    }
    return out;
}

} // namespace orvelio
