// Multi-region maps: the spectra (or the trace values) of several separately mapped areas,
// grouped into regions by the annotation table of the block. Each table row is one measured
// position: its region number (Group), the region's layout, the sub-block or trace position
// holding it (Fileindex) and its coordinates.
#include "annotation.hpp"
#include "format/error.hpp"
#include "format/pyops.hpp"
#include "kinds.hpp"
#include "layout3d.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <memory>
#include <optional>
#ifdef __SSE2__
#include <xmmintrin.h>
#endif

namespace orvelio {

namespace {

// ------------------------------------------------------------------ cell values

// The region number of a Group cell as a 32-bit integer. A float converts as numpy's int32
// conversion takes it (toward zero); a text or an empty cell is not a number.
int32_t group_number(const Value &v) {
    if (!is_number(v))
        fail_not_integer(type_name(v), "a region number (Group) of the annotation table");
    if (is_int(v)) {
        const int64_t n = std::get<int64_t>(v);
        if (n < INT32_MIN || n > INT32_MAX)
            fail_with(ErrorDetail::out_of_range,
                 "the region number (Group) " + std::to_string(n) + " is outside the 32-bit range", {n});
        return static_cast<int32_t>(n);
    }
    double d = std::get<double>(v);
    if (std::isnan(d))
        fail(ErrorDetail::nan_integer, "a region number (Group) of the annotation table is NaN");
    if (std::isinf(d))
        fail(ErrorDetail::infinite_integer, "a region number (Group) of the annotation table is infinite");
    d = std::trunc(d);
    if (d < INT32_MIN || d > INT32_MAX) {
        char whole[400];
        std::snprintf(whole, sizeof whole, "%.0f", d);
        fail_with(ErrorDetail::out_of_range,
             std::string("the region number (Group) ") + whole + " is outside the 32-bit range", {std::string(whole)});
    }
    return static_cast<int32_t>(d);
}

std::string quoted(const std::string &s) {
    const char q = s.find('\'') != std::string::npos && s.find('"') == std::string::npos ? '"' : '\'';
    std::string out(1, q);
    for (unsigned char c : s) {
        if (c == '\\' || c == q) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + q;
}

// A text read as a float, as float() reads it: surrounding blanks, a sign, decimal or
// exponent notation, inf, infinity and nan in any case.
std::optional<double> parse_float(const std::string &text) {
    const char *blanks = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::nullopt;
    std::string s = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        s.erase(0, 1);
    }
    std::string lower;
    for (char c : s)
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    double d;
    if (lower == "inf" || lower == "infinity") {
        d = HUGE_VAL;
    } else if (lower == "nan") {
        d = std::nan("");
    } else {
        if (s.empty() || s[0] == '+' || s[0] == '-' || lower.find_first_of("xpni") != std::string::npos)
            return std::nullopt;
        const auto res = std::from_chars(s.data(), s.data() + s.size(), d, std::chars_format::general);
        if (res.ptr != s.data() + s.size())
            return std::nullopt;
        if (res.ec == std::errc::result_out_of_range)
            d = std::strtod(s.c_str(), nullptr); // inf or 0, as float() gives
        else if (res.ec != std::errc())
            return std::nullopt;
    }
    return negative ? -d : d;
}

// A coordinate cell stored into a float64 array: numbers as they are, texts read as
// float() reads them, an empty cell as nan.
double coordinate(const Value &v) {
    if (is_number(v))
        return as_double(v);
    if (!is_text(v))
        return std::nan("");
    const std::string &text = std::get<std::string>(v);
    if (const std::optional<double> d = parse_float(text))
        return *d;
    fail_with(ErrorDetail::not_a_number, "a coordinate of the annotation table is the text " + quoted(text) + ", not a number",
         {text});
}

// Item j of a column: ErrorDetail::past_end past its end.
const Value &cell(const std::vector<Value> &column, size_t j) {
    if (j >= column.size())
        fail(ErrorDetail::past_end, "row " + std::to_string(j) + " is past the end of a column of " +
                                        std::to_string(column.size()) + " cells in the annotation table");
    return column[j];
}

// ------------------------------------------------------------------ regions

// For each distinct region number, ascending: the first row that carries it.
std::vector<size_t> first_rows_of_groups(const std::vector<Value> &group) {
    std::vector<int32_t> numbers;
    numbers.reserve(group.size());
    for (const Value &v : group)
        numbers.push_back(group_number(v));
    std::map<int32_t, size_t> first; // a region number to the first row whose value equals it
    std::optional<int32_t> known;    // a number `first` holds: the last one found there
    for (size_t j = 0; j < group.size(); ++j)
        if (numbers[j] != known && same_number(group[j], Value{int64_t{numbers[j]}})) {
            first.try_emplace(numbers[j], j);
            known = numbers[j];
        }
    // The distinct numbers, ascending. A region's rows usually come together: the repeats
    // next to each other go first.
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<size_t> rows;
    rows.reserve(numbers.size());
    for (int32_t n : numbers) {
        auto it = first.find(n);
        if (it == first.end()) // a float cut to a number that no row holds
            fail_with(ErrorDetail::unknown_region,
                 "no row of the annotation table holds the region number " + std::to_string(n) +
                     " (its fractional numbers cut to it)",
                 {int64_t{n}});
        rows.push_back(it->second);
    }
    return rows;
}

// How many rows carry each region number. Every cell is a number of the 32-bit range (or a
// float that truncates into it: first_rows_of_groups checked them), exact as a double, and
// two cells are equal exactly when their doubles are.
std::map<double, size_t> group_sizes(const std::vector<Value> &group) {
    std::map<double, size_t> sizes;
    auto last = sizes.end(); // the count of the previous row's number
    for (const Value &v : group) {
        const double d = as_double(v);
        if (last == sizes.end() || last->first != d)
            last = sizes.try_emplace(d, 0).first;
        ++last->second;
    }
    return sizes;
}

struct RegionPlan {
    std::string title;
    Value group;             // the region number's cell
    uint64_t nx = 0, ny = 0; // the declared grid (both positive), or 0 and 0
    size_t nspec;    // positions of the region
    size_t readable; // of them, the rows the table has (fewer: past_end after them)
};

// Whether the group whose first row is i makes a region, and its title and size.
std::optional<RegionPlan> plan_region(const Annotations &a, size_t i, const std::map<double, size_t> &sizes) {
    if (!is_zero(cell(a.at("Type"), i)))
        return std::nullopt;
    const std::vector<Value> &group = a.at("Group");
    const Value &g = cell(group, i);
    const Value &nx = cell(a.at("AryNX"), i);
    const Value &ny = cell(a.at("AryNY"), i);
    if (!is_number(nx) || !is_number(ny))
        fail_operands("*", type_name(nx), type_name(ny));
    // nx * ny: an int of at most 62 bits, or a float.
    const bool integral = is_int(nx) && is_int(ny);
    const Value product = integral ? Value{std::get<int64_t>(nx) * std::get<int64_t>(ny)}
                                   : Value{as_double(nx) * as_double(ny)};
    RegionPlan plan;
    plan.group = g;
    int64_t nspec;
    if (is_zero(product) && is_zero(cell(a.at("AryType"), i))) {
        nspec = static_cast<int64_t>(sizes.at(as_double(g))); // the rows whose number equals g
        plan.title = "Region " + py_str(g) + " (" + std::to_string(nspec) + " points)";
    } else {
        plan.title = "Region " + py_str(g) + " (" + py_str(nx) + " x " + py_str(ny) + ")";
        if (!integral)
            fail_with(ErrorDetail::bad_shape, "the size of region " + py_str(g) + " (AryNX x AryNY) is " + py_str(product) +
                                             ", not a whole number",
                 {product});
        nspec = std::get<int64_t>(product);
        if (nspec < 0)
            fail(ErrorDetail::negative_count,
                 "region " + py_str(g) + " has a negative number of points (" + std::to_string(nspec) + ")");
        if (nspec > 0 && std::get<int64_t>(nx) > 0) {
            plan.nx = static_cast<uint64_t>(std::get<int64_t>(nx));
            plan.ny = static_cast<uint64_t>(std::get<int64_t>(ny));
        }
    }
    plan.nspec = static_cast<size_t>(nspec);
    // Positions past the end of the table are never reached: the first of them fails. The
    // arrays need hold only the rows before it.
    plan.readable = 0;
    if (plan.nspec > 0) {
        const size_t rows = a.at("Fileindex").size(); // the first position needs it anyway
        plan.readable = std::min(plan.nspec, rows > i ? rows - i : 0);
    }
    return plan;
}

// A column looked up when first needed (its missing_key then), once.
class LazyColumn {
  public:
    LazyColumn(const Annotations &a, const char *name) : a_(a), name_(name) {}
    const Value &operator[](size_t j) {
        if (!column_)
            column_ = &a_.at(name_);
        return cell(*column_, j);
    }

  private:
    const Annotations &a_;
    const char *name_;
    const std::vector<Value> *column_ = nullptr;
};

[[noreturn]] void past_the_table() {
    fail(ErrorDetail::past_end, "a region has more points than the annotation table has rows");
}

// The sub-block a Fileindex cell names, if it is stored: a number equal to a stored index.
// Its place in the offset mapping.
std::optional<size_t> stored(const OffsetMap &offsets, const Value &findex) {
    if (is_int(findex))
        return offsets.position(std::get<int64_t>(findex));
    if (is_float(findex)) {
        const double d = std::get<double>(findex);
        if (d == std::trunc(d) && d >= -0x1p63 && d < 0x1p63)
            return offsets.position(static_cast<int64_t>(d));
    }
    return std::nullopt;
}

// ------------------------------------------------------------------ point maps

// A point-map region's positions whose sub-block is stored: their rows and where their values
// start.
struct StoredRows {
    std::vector<size_t> rows;
    std::vector<int64_t> at;
};

// The positions of region i whose sub-block is stored, with their coordinates into the region.
// A failing cell comes after every read of the positions before it, so those are read first.
// Then the checks of reading them, in order, and the budget charged for them.
StoredRows stored_rows(File &f, const Annotations &a, const OffsetMap &offsets, size_t i, const RegionPlan &plan,
                       size_t npt, ReadBudget &budget, Region &region) {
    const size_t n = plan.readable;
    StoredRows stored_at;
    std::vector<size_t> &rows = stored_at.rows;
    std::vector<int64_t> &at = stored_at.at;
    if (plan.nspec > 0) {
        const std::vector<Value> &fileindex = a.at("Fileindex");
        LazyColumn x(a, "X"), y(a, "Y");
        for (size_t k = 0; k < n; ++k) {
            const std::optional<size_t> place = stored(offsets, fileindex[i + k]);
            if (!place)
                continue;
            try {
                region.mapX[k] = coordinate(x[i + k]);
                region.mapY[k] = coordinate(y[i + k]);
            } catch (const Error &e) {
                if (e.detail() == ErrorDetail::interrupted)
                    throw;
                std::vector<double> times(at.size());
                read_times(f, at, npt, times.data());
                throw;
            }
            rows.push_back(k);
            at.push_back(offsets.entries()[*place].second);
        }
    }
    check_times(f, at, npt);
    budget.charge(at.size(), npt * sizeof(float) + sizeof(double));
    return stored_at;
}

Region point_region(File &f, const Annotations &a, const OffsetMap &offsets, size_t i, const RegionPlan &plan,
                    size_t npt, ReadBudget &budget) {
    const size_t n = plan.readable;
    Region region;
    region.title = plan.title;
    region.mapX = Array<double>::zeros({n});
    region.mapY = Array<double>::zeros({n});
    region.start_time = Array<double>::zeros({n});
    // Rows without a stored sub-block stay zeros (pages never written cost nothing).
    region.spectra = Array<float>::zeros({n, npt});
    const auto [rows, at] = stored_rows(f, a, offsets, i, plan, npt, budget, region);
    // Rows with a stored sub-block take its values and time straight from the file, one
    // gathering pass per run of consecutive rows.
    for (size_t r = 0; r < rows.size();) {
        size_t e = r + 1;
        while (e < rows.size() && rows[e] == rows[e - 1] + 1)
            ++e;
        const std::vector<int64_t> run(at.begin() + static_cast<ptrdiff_t>(r), at.begin() + static_cast<ptrdiff_t>(e));
        read_rows_with_times(f, run, npt, region.spectra.data() + rows[r] * npt, region.start_time->data() + rows[r]);
        r = e;
    }
    if (n < plan.nspec)
        past_the_table();
    return region;
}

// ------------------------------------------------------------------ trace maps

// The trace position (column of the trace array) of a Fileindex cell, counted from 1 in the
// table. Positions below 1 do not exist.
size_t trace_position(const Value &findex, size_t npt) {
    if (!is_number(findex))
        fail_operands("-", type_name(findex), "int");
    if (is_float(findex))
        fail(ErrorDetail::not_an_index, "a trace position (Fileindex) of the annotation table is a fractional number");
    const int64_t n = std::get<int64_t>(findex);
    if (n < 1)
        fail(ErrorDetail::bad_index,
             "Fileindex " + std::to_string(n) + " is out of range: trace positions count from 1");
    if (static_cast<uint64_t>(n - 1) >= npt)
        fail_with(ErrorDetail::index_out_of_bounds,
             "the trace position (Fileindex) " + std::to_string(n) + " is past the " + std::to_string(npt) +
                 " values of each trace",
             {n - 1, int64_t{1}, static_cast<int64_t>(npt)});
    return static_cast<size_t>(n - 1);
}

// The trace position of each position of region i (of `count` traces of `npt` values), with
// their coordinates into the region; then the budget charged for reading them.
std::vector<size_t> trace_columns(const Annotations &a, size_t i, const RegionPlan &plan, size_t count, size_t npt,
                                  ReadBudget &budget, Region &region) {
    const size_t n = plan.readable;
    std::vector<size_t> columns(n);
    if (plan.nspec > 0) {
        const std::vector<Value> &fileindex = a.at("Fileindex");
        LazyColumn x(a, "X"), y(a, "Y");
        for (size_t k = 0; k < n; ++k) {
            const Value &findex = fileindex[i + k];
            region.mapX[k] = coordinate(x[i + k]);
            region.mapY[k] = coordinate(y[i + k]);
            columns[k] = trace_position(findex, npt);
        }
    }
    // Each position is read from every trace.
    budget.charge(n, count * sizeof(float));
    return columns;
}

Region trace_region(const Annotations &a, const Array<float> &traces, size_t i, const RegionPlan &plan,
                    ReadBudget &budget) {
    const size_t n = plan.readable;
    const size_t count = traces.shape()[0], npt = traces.shape()[1];
    Region region;
    region.title = plan.title;
    region.mapX = Array<double>::zeros({n});
    region.mapY = Array<double>::zeros({n});
    region.spectra = Array<float>::empty({n, count}); // every row is written
    const std::vector<size_t> columns = trace_columns(a, i, plan, count, npt, budget, region);
    // Row k is column columns[k] of the traces: copied in tiles, so that both the traces read
    // and the rows written stay in the cache.
    constexpr size_t kTile = 64;
    for (size_t k0 = 0; k0 < n; k0 += kTile)
        for (size_t t0 = 0; t0 < count; t0 += kTile)
            for (size_t k = k0; k < std::min(n, k0 + kTile); ++k) {
                float *row = region.spectra.data() + k * count;
                const float *column = traces.data() + columns[k];
                for (size_t t = t0; t < std::min(count, t0 + kTile); ++t)
                    row[t] = column[t * npt];
            }
    if (n < plan.nspec)
        past_the_table();
    return region;
}

// What a region's positions may add up to. A region's positions are its own rows of the table.
// Regions that run on into the rows of the regions after them repeat rows, and a small table
// could so make billions of positions.
class PositionBudget {
  public:
    explicit PositionBudget(const Annotations &a) : allowed_(2 * uint64_t{a.at("Group").size()} + 65536) {}
    const RegionPlan &charge(const RegionPlan &plan) {
        positions_ += plan.readable;
        if (positions_ > allowed_)
            fail(ErrorDetail::bad_value, "Invalid multi-region map: its regions read more positions than its annotation "
                                    "table has rows");
        return plan;
    }

  private:
    uint64_t allowed_, positions_ = 0;
};

// ------------------------------------------------------------------ reading a map at once

// Rows that take consecutive trace positions: `length` rows from the one after the previous
// run's, taking positions position, position + 1, ... The usual table lists a map's positions
// in order, so that its rows make a run or a few.
struct Run {
    size_t position, length;
};

void add_runs(const std::vector<size_t> &positions, std::vector<Run> &runs, bool &joinable) {
    for (size_t p : positions) {
        if (joinable && runs.back().position + runs.back().length == p)
            ++runs.back().length;
        else
            runs.push_back({p, 1});
        joinable = true;
    }
}

// rows[k * stride + t] = values[t * npt + (position of row k)] for t < n: the positions of n
// traces (the rows of `values`, npt apart) into consecutive rows. Four rows of a run move as
// 4 x 4 blocks transposed in registers.
void transpose_runs(const float *values, size_t npt, size_t n, const std::vector<Run> &runs, float *rows,
                    size_t stride) {
    for (const Run &run : runs) {
        size_t j = 0;
#ifdef __SSE2__
        for (; j + 4 <= run.length; j += 4) {
            const float *const column = values + run.position + j;
            float *const r0 = rows + j * stride, *const r1 = r0 + stride, *const r2 = r1 + stride,
                         *const r3 = r2 + stride;
            size_t t = 0;
            for (; t + 4 <= n; t += 4) {
                const float *v = column + t * npt;
                __m128 a = _mm_loadu_ps(v), b = _mm_loadu_ps(v + npt), d = _mm_loadu_ps(v + 2 * npt),
                       e = _mm_loadu_ps(v + 3 * npt);
                _MM_TRANSPOSE4_PS(a, b, d, e);
                _mm_storeu_ps(r0 + t, a);
                _mm_storeu_ps(r1 + t, b);
                _mm_storeu_ps(r2 + t, d);
                _mm_storeu_ps(r3 + t, e);
            }
            for (; t < n; ++t) {
                const float *v = column + t * npt;
                r0[t] = v[0];
                r1[t] = v[1];
                r2[t] = v[2];
                r3[t] = v[3];
            }
        }
#endif
        for (; j < run.length; ++j) {
            float *row = rows + j * stride;
            const float *value = values + run.position + j;
            for (size_t t = 0; t < n; ++t)
                row[t] = value[t * npt];
        }
        rows += run.length * stride;
    }
}

// A map is read in two ways. The straightforward way takes region after region: each region's
// checks, its arrays, its reads, as the table lists them (and, for trace maps, every trace
// read and stacked first). It sets the order in which a file's errors are met. The way taken
// first makes every region's checks, in that order, with no reads in between (none of them
// needs a value), then gives all regions' spectra one allocation and reads them in one pass:
// the point map's sub-blocks straight into their rows, the trace map's traces a batch at a
// time, each batch handed out to the regions' rows. When that way meets an error, the map is
// read again the straightforward way, which meets the file's first error where it always
// has (the read budgets start again from where they stood).

std::vector<Region> point_map_at_once(File &f, const Annotations &a, const OffsetMap &offsets,
                                      const std::vector<size_t> &groups, const std::map<double, size_t> &sizes,
                                      size_t npt, ReadBudget &budget) {
    PositionBudget positions(a);
    std::vector<Region> regions;
    std::vector<StoredRows> stored_at;
    std::vector<std::vector<size_t>> shapes;
    for (size_t i : groups) {
        const std::optional<RegionPlan> plan = plan_region(a, i, sizes);
        if (!plan)
            continue;
        positions.charge(*plan);
        const size_t n = plan->readable;
        Region &region = regions.emplace_back();
        region.title = plan->title;
        region.mapX = Array<double>::zeros({n});
        region.mapY = Array<double>::zeros({n});
        region.start_time = Array<double>::zeros({n});
        stored_at.push_back(stored_rows(f, a, offsets, i, *plan, npt, budget, region));
        if (n < plan->nspec)
            past_the_table();
        shapes.push_back({n, npt});
    }
    std::vector<Array<float>> spectra = Array<float>::share(shapes);
    std::vector<Piece> pieces;
    for (size_t r = 0; r < regions.size(); ++r) {
        float *values = spectra[r].data();
        double *times = regions[r].start_time->data();
        const StoredRows &s = stored_at[r];
        // Rows without a stored sub-block are zeros; the others are read in full.
        for (size_t k = 0, j = 0; k < regions[r].mapX.size(); ++k) {
            if (j < s.rows.size() && s.rows[j] == k) {
                const uint64_t at = static_cast<uint64_t>(s.at[j]);
                pieces.push_back({at, npt * sizeof(float), values + k * npt});
                pieces.push_back({at + npt * sizeof(float) + kInfoTime, sizeof(double), times + k});
                ++j;
            } else {
                std::fill_n(values + k * npt, npt, 0.0f);
            }
        }
        regions[r].spectra = std::move(spectra[r]);
    }
    if (!gather(f, pieces))
        fail_cut_short(0, npt); // the file shrank while being read
    return regions;
}

// A large table's memory handed back to the system, not only to the allocator: freed below
// the arrays made from it (the regions' coordinates), it would otherwise stay resident beside
// the spectra that follow whenever the allocator took it from its heap rather than mapping it.
void release(std::unique_ptr<const Annotations> table) {
    size_t cells = 0;
    for (const Annotations::Column &c : table->columns())
        cells += c.values.size();
    table.reset();
#ifdef __GLIBC__
    constexpr size_t kReleaseFrom = size_t{1} << 20;
    if (cells * sizeof(Value) >= kReleaseFrom)
        malloc_trim(0);
#endif
}

std::vector<Region> trace_map_at_once(File &f, std::unique_ptr<const Annotations> table,
                                      const std::vector<int64_t> &at,
                                      const std::vector<size_t> &groups, const std::map<double, size_t> &sizes,
                                      size_t npt, int32_t infoSize, ReadBudget &budget,
                                      std::vector<std::string> &labels) {
    const Annotations &a = *table;
    check_stacked(f, at, npt, budget);
    const size_t count = at.size();
    PositionBudget positions(a);
    std::vector<Region> regions;
    std::vector<Run> runs;
    bool joinable = false;
    std::vector<std::vector<size_t>> shapes;
    for (size_t i : groups) {
        const std::optional<RegionPlan> plan = plan_region(a, i, sizes);
        if (!plan)
            continue;
        positions.charge(*plan);
        const size_t n = plan->readable;
        Region &region = regions.emplace_back();
        region.title = plan->title;
        region.mapX = Array<double>::zeros({n});
        region.mapY = Array<double>::zeros({n});
        add_runs(trace_columns(a, i, *plan, count, npt, budget, region), runs, joinable);
        if (n < plan->nspec)
            past_the_table();
        shapes.push_back({n, count});
    }
    // The table is no longer needed: its memory goes before the spectra's comes.
    release(std::move(table));
    std::vector<Array<float>> spectra = Array<float>::share(shapes);
    // Traces a batch at a time through a buffer of a few hundred KiB (a multiple of 4 traces
    // when there are that many), small beside the spectra; row k of a region takes, from each
    // trace of the batch, the value at its position.
    constexpr size_t kBuffer = 256 * 1024;
    size_t batch = std::clamp<size_t>(npt ? kBuffer / (npt * sizeof(float)) : count, 1, count);
    if (batch > 4)
        batch -= batch % 4;
    const std::unique_ptr<float[]> buffer = std::make_unique_for_overwrite<float[]>(batch * npt);
    const float *const values = buffer.get();
    // The regions' spectra lie one after another in their allocation: their rows are the rows
    // of one array, which the runs cover in order.
    float *const rows = spectra.empty() ? nullptr : spectra[0].data();
    labels = read_labels_by_batch(f, at, npt, infoSize, batch, buffer.get(), [&](size_t first, size_t n) {
        transpose_runs(values, npt, n, runs, rows + first, count);
    });
    for (size_t r = 0; r < regions.size(); ++r)
        regions[r].spectra = std::move(spectra[r]);
    return regions;
}

// Whether the n positions of the region from table row i are a full nx x ny grid, and in which
// order: every position present (stored, for point maps) with readable coordinates, x taking nx
// distinct values and y ny, each (x, y) once, in rows of x (x fastest) or columns of y.
GridOrder grid_order(const Annotations &a, size_t i, const RegionPlan &plan, const std::vector<int64_t> &sources) {
    const uint64_t nx = plan.nx, ny = plan.ny, n = plan.readable;
    if (nx == 0 || n != nx * ny || n == 0)
        return GridOrder::none;
    for (int64_t s : sources)
        if (s < 0)
            return GridOrder::none;
    std::vector<double> x(n), y(n);
    try {
        LazyColumn cx(a, "X"), cy(a, "Y");
        for (size_t k = 0; k < n; ++k) {
            x[k] = coordinate(cx[i + k]);
            y[k] = coordinate(cy[i + k]);
        }
    } catch (const Error &) {
        return GridOrder::none; // read() meets the same cell and says why
    }
    // With `fast` varying within runs of `nf` and `slow` from run to run: the runs share one
    // set of fast values, in order, each run one slow value, all distinct (a NaN is unequal
    // even to itself: no grid).
    const auto lies = [&](const std::vector<double> &fast, const std::vector<double> &slow, uint64_t nf) {
        const uint64_t runs = n / nf;
        for (uint64_t r = 0; r < runs; ++r)
            for (uint64_t k = 0; k < nf; ++k) {
                const size_t j = r * nf + k;
                if (fast[j] != fast[k] || slow[j] != slow[r * nf])
                    return false;
            }
        std::vector<double> f(fast.begin(), fast.begin() + static_cast<ptrdiff_t>(nf)), sl;
        for (uint64_t r = 0; r < runs; ++r)
            sl.push_back(slow[r * nf]);
        for (std::vector<double> *v : {&f, &sl}) {
            std::sort(v->begin(), v->end());
            if (std::adjacent_find(v->begin(), v->end()) != v->end())
                return false;
        }
        return true;
    };
    if (lies(x, y, nx))
        return GridOrder::x_fastest;
    if (lies(y, x, ny))
        return GridOrder::y_fastest;
    return GridOrder::none;
}


// The regions of both kinds of map, as numbers, and their rows' sources.
void describe_map(Start &s, Plan &p) {
    File &f = s.f;
    auto annotations = std::make_shared<Annotations>(read_annotations(f, s.at.anno, s.notes));
    const Annotations &a = *annotations;
    const OffsetMap offsets = read_offsets(f, s.at.data);
    const std::vector<size_t> groups = first_rows_of_groups(a.at("Group"));
    const std::map<double, size_t> sizes = group_sizes(a.at("Group"));
    PositionBudget budget(a);
    Description &d = p.d;
    d.subblocks = offsets.offsets();
    const bool traces = d.kind == Kind::trace_map;
    if (traces) {
        p.infoSize = read_info_size(f, s.at.data);
        for (int64_t offset : d.subblocks)
            check_offset(offset);
        if (d.subblocks.empty())
            fail_nothing_to_stack();
        // Every row holds a value of every sub-block: they are all read, whichever row is.
        for (size_t k = 0; k < d.subblocks.size(); ++k)
            check_stack_row(f, d.subblocks, k, s.npt);
        d.row_length = d.subblocks.size();
    } else {
        d.row_length = s.npt;
    }
    for (size_t i : groups) {
        const std::optional<RegionPlan> plan = plan_region(a, i, sizes);
        if (!plan)
            continue;
        budget.charge(*plan);
        RegionLayout region;
        region.title = plan->title;
        region.group = plan->group;
        region.nx = plan->nx;
        region.ny = plan->ny;
        region.rows = plan->readable;
        region.sources.assign(plan->readable, -1);
        if (plan->nspec > 0) {
            const std::vector<Value> &fileindex = a.at("Fileindex");
            for (size_t k = 0; k < plan->readable; ++k) {
                const Value &findex = fileindex[i + k];
                if (traces)
                    region.sources[k] = static_cast<int64_t>(trace_position(findex, s.npt));
                else if (const std::optional<size_t> place = stored(offsets, findex))
                    region.sources[k] = static_cast<int64_t>(*place);
            }
        }
        if (plan->readable < plan->nspec)
            past_the_table();
        region.grid = grid_order(a, i, *plan, region.sources);
        d.shape.push_back(plan->readable);
        d.regions.push_back(std::move(region));
        p.region_first_row.push_back(i);
    }
    p.annotations = std::move(annotations);
    count_values(f, p);
}

// The per-region values of a map, spectra left empty, as the full read gives them.
std::vector<Region> regions_info(File &f, const Plan &p) {
    const Annotations &a = *p.annotations;
    std::vector<Region> out;
    for (size_t r = 0; r < p.d.regions.size(); ++r) {
        const RegionLayout &layout = p.d.regions[r];
        const size_t i = p.region_first_row[r], n = layout.rows;
        Region region;
        region.title = layout.title;
        region.mapX = Array<double>::zeros({n});
        region.mapY = Array<double>::zeros({n});
        if (p.d.kind == Kind::trace_map) {
            if (n > 0) {
                LazyColumn x(a, "X"), y(a, "Y");
                for (size_t k = 0; k < n; ++k) {
                    region.mapX[k] = coordinate(x[i + k]);
                    region.mapY[k] = coordinate(y[i + k]);
                }
            }
        } else {
            region.start_time = Array<double>::zeros({n});
            std::vector<size_t> rows;
            std::vector<int64_t> at;
            if (n > 0) {
                LazyColumn x(a, "X"), y(a, "Y");
                for (size_t k = 0; k < n; ++k) {
                    if (layout.sources[k] < 0)
                        continue;
                    const int64_t offset = p.d.subblocks[static_cast<size_t>(layout.sources[k])];
                    try {
                        region.mapX[k] = coordinate(x[i + k]);
                        region.mapY[k] = coordinate(y[i + k]);
                    } catch (const Error &e) {
                        if (e.detail() == ErrorDetail::interrupted)
                            throw;
                        std::vector<double> times(at.size());
                        read_times(f, at, p.npt, times.data());
                        throw;
                    }
                    rows.push_back(k);
                    at.push_back(offset);
                }
            }
            std::vector<double> times(at.size());
            read_times(f, at, p.npt, times.data());
            for (size_t j = 0; j < rows.size(); ++j)
                (*region.start_time)[rows[j]] = times[j];
        }
        out.push_back(std::move(region));
    }
    return out;
}

Data read_point_map(Start &s) {
    File &f = s.f;
    const Annotations table = read_annotations(f, s.at.anno, s.notes);
    const OffsetMap offsets = read_offsets(f, s.at.data);
    const std::vector<size_t> groups = first_rows_of_groups(table.at("Group"));
    const std::map<double, size_t> sizes = group_sizes(table.at("Group"));
    PointMap r = s.result<PointMap>();
    const ReadBudget before = s.budget;
    try {
        r.regions = point_map_at_once(f, table, offsets, groups, sizes, s.npt, s.budget);
        r.x = s.x_axis();
        return r;
    } catch (const Error &e) {
        if (e.detail() == ErrorDetail::interrupted)
            throw;
        s.budget = before; // read again region by region: the file's first error
    }
    PositionBudget budget(table);
    for (size_t i : groups)
        if (const std::optional<RegionPlan> plan = plan_region(table, i, sizes))
            r.regions.push_back(point_region(f, table, offsets, i, budget.charge(*plan), s.npt, s.budget));
    r.x = s.x_axis();
    return r;
}

Data read_trace_map(Start &s) {
    File &f = s.f;
    auto table = std::make_unique<const Annotations>(read_annotations(f, s.at.anno, s.notes));
    const OffsetMap offsets = read_offsets(f, s.at.data);
    const std::vector<size_t> groups = first_rows_of_groups(table->at("Group"));
    const std::map<double, size_t> sizes = group_sizes(table->at("Group"));
    PositionBudget budget(*table);
    TraceMap r = s.result<TraceMap>();
    const ReadBudget before = s.budget;
    const int32_t infoSize = read_info_size(f, s.at.data);
    const std::vector<int64_t> at = offsets.offsets();
    try {
        r.regions = trace_map_at_once(f, std::move(table), at, groups, sizes, s.npt, infoSize, s.budget, r.labels);
        r.x = s.x_axis();
        return r;
    } catch (const Error &e) {
        if (e.detail() == ErrorDetail::interrupted)
            throw;
        s.budget = before;
        r.labels.clear();
    }
    if (!table) { // read again, its notes already taken
        std::vector<Note> again;
        table = std::make_unique<const Annotations>(read_annotations(f, s.at.anno, again));
    }
    const Annotations &annotations = *table;
    // Every trace is read once; the regions are cut from the stacked traces.
    const Array<float> traces = read_stacked(f, at, s.npt, s.budget, infoSize, &r.labels);
    for (size_t i : groups)
        if (const std::optional<RegionPlan> plan = plan_region(annotations, i, sizes))
            r.regions.push_back(trace_region(annotations, traces, i, budget.charge(*plan), s.budget));
    r.x = s.x_axis();
    return r;
}

void point_map_rows(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out,
                    std::optional<size_t> region) {
    const Description &d = p.d;
    const size_t npt = p.npt;
    const std::vector<int64_t> &sources = d.regions[*region].sources;
    std::vector<Piece> pieces;
    pieces.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        float *row = out.data() + i * npt;
        const int64_t source = sources[rows[i]];
        if (source < 0) {
            std::fill_n(row, npt, 0.0f);
            continue;
        }
        const int64_t offset = d.subblocks[static_cast<size_t>(source)];
        check_timed(f, offset, npt);
        pieces.push_back({static_cast<uint64_t>(offset), npt * sizeof(float), row});
    }
    gather_rows(f, pieces, npt);
}

// Row j holds the value at one position of every sub-block: each sub-block's span of the
// positions asked for is read once.
void trace_map_rows(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out,
                    std::optional<size_t> region) {
    const Description &d = p.d;
    const size_t npt = p.npt, length = d.row_length;
    const std::vector<int64_t> &sources = d.regions[*region].sources;
    for (size_t k = 0; k < d.subblocks.size(); ++k)
        check_stack_row(f, d.subblocks, k, npt); // as described (the file has not changed size)
    size_t lo = SIZE_MAX, hi = 0;
    for (uint64_t row : rows) {
        lo = std::min(lo, static_cast<size_t>(sources[row]));
        hi = std::max(hi, static_cast<size_t>(sources[row]));
    }
    std::vector<float> span(hi - lo + 1);
    const size_t span_bytes = span.size() * sizeof(float);
    for (size_t k = 0; k < d.subblocks.size(); ++k) {
        const uint64_t at = static_cast<uint64_t>(d.subblocks[k]) + lo * sizeof(float);
        if (f.pread_at(span.data(), span_bytes, at) != span_bytes)
            fail_cut_short(0, npt); // the file shrank while being read
        for (size_t i = 0; i < rows.size(); ++i)
            out[i * length + k] = span[static_cast<size_t>(sources[rows[i]]) - lo];
    }
}

RowInfo point_map_info(File &f, const Plan &p) {
    RowInfo info;
    info.regions = regions_info(f, p);
    return info;
}

RowInfo trace_map_info(File &f, const Plan &p) {
    RowInfo info;
    info.labels = read_labels(f, p.d.subblocks, p.npt, p.infoSize);
    info.regions = regions_info(f, p);
    return info;
}

} // namespace

const KindOps kPointMapOps{describe_map, read_point_map, point_map_rows, point_map_info};
const KindOps kTraceMapOps{describe_map, read_trace_map, trace_map_rows, trace_map_info};

} // namespace orvelio
