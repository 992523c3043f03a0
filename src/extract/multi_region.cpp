// Multi-region maps: the spectra (or the trace values) of several separately mapped areas,
// grouped into regions by the annotation table of the block. Each table row is one measured
// position: its region number (Group), the region's layout, the sub-block or trace position
// holding it (Fileindex) and its coordinates.
#include "annotation.hpp"
#include "format/error.hpp"
#include "format/pyops.hpp"
#include "kinds.hpp"
#include "present.hpp"
#include "layout3d.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

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
Value cell(const Annotations::Cells &column, size_t j) {
    if (j >= column.size())
        fail(ErrorDetail::past_end, "row " + std::to_string(j) + " is past the end of a column of " +
                                        std::to_string(column.size()) + " cells in the annotation table");
    return column[j];
}

// ------------------------------------------------------------------ regions

// For each distinct region number, ascending: the first row that carries it.
std::vector<size_t> first_rows_of_groups(const Annotations::Cells &group) {
    std::vector<int32_t> numbers;
    numbers.reserve(group.size());
    std::vector<bool> whole(group.size()); // an int cell: its number is its value
    for (size_t j = 0; j < group.size(); ++j) {
        double d;
        bool is_int;
        if (group.number(j, d, &is_int) && is_int) {
            numbers.push_back(static_cast<int32_t>(d));
            whole[j] = true;
        } else {
            numbers.push_back(group_number(group[j]));
        }
    }
    std::map<int32_t, size_t> first; // a region number to the first row whose value equals it
    std::optional<int32_t> known;    // a number `first` holds: the last one found there
    for (size_t j = 0; j < group.size(); ++j)
        if (numbers[j] != known && (whole[j] || same_number(group[j], Value{int64_t{numbers[j]}}))) {
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
std::map<double, size_t> group_sizes(const Annotations::Cells &group) {
    std::map<double, size_t> sizes;
    auto last = sizes.end(); // the count of the previous row's number
    for (size_t j = 0; j < group.size(); ++j) {
        double d;
        if (!group.number(j, d))
            d = as_double(group[j]);
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
    const Value g = cell(a.at("Group"), i);
    const Value nx = cell(a.at("AryNX"), i);
    const Value ny = cell(a.at("AryNY"), i);
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
    Value operator[](size_t j) {
        if (!column_)
            column_ = &a_.at(name_);
        return cell(*column_, j);
    }
    // coordinate(cell j), without making a value of a number.
    double coordinate_at(size_t j) {
        if (!column_)
            column_ = &a_.at(name_);
        double d;
        if (j < column_->size() && column_->number(j, d))
            return d;
        return coordinate(cell(*column_, j));
    }

  private:
    const Annotations &a_;
    const char *name_;
    const Annotations::Cells *column_ = nullptr;
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

// ------------------------------------------------------------------ positions

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

// A region's arrays but its spectra, zeros: its coordinates and (point maps) start times.
Region region_arrays(const RegionLayout &layout, bool traces) {
    Region region;
    region.title = layout.title;
    region.mapX = Array<double>::zeros({layout.rows});
    region.mapY = Array<double>::zeros({layout.rows});
    if (!traces)
        region.start_time = Array<double>::zeros({layout.rows});
    return region;
}

// The coordinates of the first `count` positions of a region whose table rows start at
// `first`, as a read gives them: every position of a trace map; of a point map those whose
// sub-block is stored (sources[k] >= 0; the others stay 0), whose offsets go to `at`. A
// failing cell of a point map comes after the checks of the times of the stored positions
// before it, which a reader meets first.
void position_coordinates(const File &f, const Annotations &a, size_t first, const RegionLayout &layout, size_t count,
                          bool traces, const std::vector<int64_t> &subblocks, size_t npt, Region &region,
                          std::vector<int64_t> &at) {
    if (count == 0)
        return;
    LazyColumn x(a, "X"), y(a, "Y");
    for (size_t k = 0; k < count; ++k) {
        if (traces) {
            region.mapX[k] = x.coordinate_at(first + k);
            region.mapY[k] = y.coordinate_at(first + k);
            continue;
        }
        if (layout.sources[k] < 0)
            continue;
        try {
            region.mapX[k] = x.coordinate_at(first + k);
            region.mapY[k] = y.coordinate_at(first + k);
        } catch (const Error &e) {
            if (e.detail() == ErrorDetail::interrupted)
                throw;
            check_times(f, at, npt);
            throw;
        }
        at.push_back(subblocks[static_cast<size_t>(layout.sources[k])]);
    }
}

// Whether the positions of a region (table rows from `first`) are a full nx x ny grid, and in
// which order: every position present (stored, for point maps) with readable coordinates, x
// taking nx distinct values and y ny, each (x, y) once, in rows of x (x fastest) or columns of y.
GridOrder grid_order(const Annotations &a, size_t first, const RegionLayout &layout) {
    const uint64_t nx = layout.nx, ny = layout.ny, n = layout.rows;
    if (nx == 0 || n != nx * ny || n == 0)
        return GridOrder::none;
    for (int64_t s : layout.sources)
        if (s < 0)
            return GridOrder::none;
    std::vector<double> x(n), y(n);
    try {
        LazyColumn cx(a, "X"), cy(a, "Y");
        for (size_t k = 0; k < n; ++k) {
            x[k] = cx.coordinate_at(first + k);
            y[k] = cy.coordinate_at(first + k);
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

// ------------------------------------------------------------------ the plan

void plan_regions(Start &s, Plan &p, const Annotations &a, const OffsetMap &offsets,
                  const std::vector<size_t> &groups, const std::map<double, size_t> &sizes,
                  std::vector<Region> *read);

// The plan of both kinds of map, made once for every use: the regions as numbers and their
// rows' sources. A reader meets a map's faults region by region: the region's size, its
// positions, their coordinates, their reads. Planning for a whole read (`read` set) makes
// those checks in that order, puts the regions' arrays but their spectra into *read and
// charges the budget for the reads; a description leaves the coordinates and the values to
// the calls that read them.
void plan_map(Start &s, Plan &p, std::vector<Region> *read) {
    File &f = s.f;
    auto annotations = std::make_shared<Annotations>(read_annotations(f, s.at.anno, s.notes));
    const Annotations &a = *annotations;
    const OffsetMap offsets = read_offsets(f, s.at.data);
    const std::vector<size_t> groups = first_rows_of_groups(a.at("Group"));
    const std::map<double, size_t> sizes = group_sizes(a.at("Group"));
    Description &d = p.d;
    d.subblocks = offsets.offsets();
    const bool traces = d.kind == Kind::trace_map;
    const size_t npt = s.npt;
    if (traces) {
        p.infoSize = read_info_size(f, s.at.data);
        if (read) {
            check_stacked(f, d.subblocks, npt, s.budget);
        } else {
            for (int64_t offset : d.subblocks)
                check_offset(offset);
            if (d.subblocks.empty())
                fail_nothing_to_stack();
            // Every row holds a value of every sub-block: they are all read, whichever row is.
            for (size_t k = 0; k < d.subblocks.size(); ++k)
                check_stack_row(f, d.subblocks, k, npt);
        }
        d.row_length = d.subblocks.size();
    } else {
        d.row_length = npt;
    }
    try {
        plan_regions(s, p, a, offsets, groups, sizes, read);
    } catch (const Error &e) {
        // A reader reads the traces, with their labels, before it takes the regions apart: a
        // fault of the labels comes first.
        if (read && traces && e.detail() != ErrorDetail::interrupted)
            read_labels(f, d.subblocks, npt, p.infoSize);
        throw;
    }
    p.annotations = std::move(annotations);
    count_values(f, p);
}

void plan_regions(Start &s, Plan &p, const Annotations &a, const OffsetMap &offsets,
                  const std::vector<size_t> &groups, const std::map<double, size_t> &sizes, std::vector<Region> *read) {
    File &f = s.f;
    Description &d = p.d;
    const bool traces = d.kind == Kind::trace_map;
    const size_t npt = s.npt;
    PositionBudget positions(a);
    for (size_t i : groups) {
        const std::optional<RegionPlan> plan = plan_region(a, i, sizes);
        if (!plan)
            continue;
        positions.charge(*plan);
        RegionLayout layout;
        layout.title = plan->title;
        layout.group = plan->group;
        layout.nx = plan->nx;
        layout.ny = plan->ny;
        layout.rows = plan->readable;
        layout.sources.assign(plan->readable, -1);
        Region *region = nullptr;
        if (read)
            region = &read->emplace_back(region_arrays(layout, traces));
        if (plan->nspec > 0) {
            const Annotations::Cells &fileindex = a.at("Fileindex");
            for (size_t k = 0; k < plan->readable; ++k) {
                const Value findex = fileindex[i + k];
                if (!traces) {
                    if (const std::optional<size_t> place = stored(offsets, findex))
                        layout.sources[k] = static_cast<int64_t>(*place);
                    continue;
                }
                try {
                    layout.sources[k] = static_cast<int64_t>(trace_position(findex, npt));
                } catch (const Error &e) {
                    // A reader meets the position's coordinates, and those before it, first.
                    if (region && e.detail() != ErrorDetail::interrupted) {
                        std::vector<int64_t> unused;
                        position_coordinates(f, a, i, layout, k + 1, traces, d.subblocks, npt, *region, unused);
                    }
                    throw;
                }
            }
        }
        if (read) {
            std::vector<int64_t> at;
            position_coordinates(f, a, i, layout, layout.rows, traces, d.subblocks, npt, *region, at);
            if (traces) {
                s.budget.charge(layout.rows, d.row_length * sizeof(float)); // each from every trace
            } else {
                check_times(f, at, npt);
                s.budget.charge(at.size(), npt * sizeof(float) + sizeof(double));
            }
        }
        if (plan->readable < plan->nspec)
            past_the_table();
        if (!read) // a read does not need it
            layout.grid = grid_order(a, i, layout);
        d.shape.push_back(plan->readable);
        d.regions.push_back(std::move(layout));
        p.region_first_row.push_back(i);
    }
}

void describe_map(Start &s, Plan &p) { plan_map(s, p, nullptr); }

// The per-region values of a map, spectra left empty, as the full read gives them.
std::vector<Region> regions_info(File &f, const Plan &p) {
    const bool traces = p.d.kind == Kind::trace_map;
    std::vector<Region> out;
    for (size_t r = 0; r < p.d.regions.size(); ++r) {
        const RegionLayout &layout = p.d.regions[r];
        Region region = region_arrays(layout, traces);
        std::vector<int64_t> at;
        position_coordinates(f, *p.annotations, p.region_first_row[r], layout, layout.rows, traces, p.d.subblocks,
                             p.npt, region, at);
        if (!traces) {
            std::vector<double> times(at.size());
            read_times(f, at, p.npt, times.data());
            for (size_t k = 0, j = 0; k < layout.rows; ++k)
                if (layout.sources[k] >= 0)
                    (*region.start_time)[k] = times[j++];
        }
        out.push_back(std::move(region));
    }
    return out;
}

// A plan made for a whole read: the map's table is no longer needed, and goes (its large
// columns straight back to the system) before the spectra's memory comes.
Plan plan_read(Start &s, Kind kind, std::vector<Region> &read) {
    Plan p;
    p.d.kind = kind;
    p.npt = s.npt;
    plan_map(s, p, &read);
    p.annotations.reset();
    return p;
}

// ------------------------------------------------------------------ reading a map

// The regions' spectra, one allocation for all: row after row of one array.
std::vector<Array<float>> region_spectra(const Plan &p) {
    std::vector<std::vector<size_t>> shapes;
    for (const RegionLayout &layout : p.d.regions)
        shapes.push_back({layout.rows, p.d.row_length});
    return Array<float>::share(shapes);
}

Data read_point_map(Start &s) {
    std::vector<Region> read;
    const Plan p = plan_read(s, Kind::point_map, read);
    const size_t npt = p.npt;
    std::vector<Array<float>> spectra = region_spectra(p);
    // Stored positions take their values and time straight from the file, region by region;
    // the others are zeros.
    std::vector<Piece> pieces;
    for (size_t r = 0; r < read.size(); ++r) {
        const RegionLayout &layout = p.d.regions[r];
        float *values = spectra[r].data();
        double *times = read[r].start_time->data();
        pieces.clear();
        pieces.reserve(2 * layout.rows); // a stored position's values and its time
        for (size_t k = 0; k < layout.rows; ++k) {
            if (layout.sources[k] < 0) {
                std::fill_n(values + k * npt, npt, 0.0f);
                continue;
            }
            const uint64_t at = static_cast<uint64_t>(p.d.subblocks[static_cast<size_t>(layout.sources[k])]);
            pieces.push_back({at, npt * sizeof(float), values + k * npt});
            pieces.push_back({at + npt * sizeof(float) + kInfoTime, sizeof(double), times + k});
        }
        gather_rows(s.f, pieces, npt);
        read[r].spectra = std::move(spectra[r]);
    }
    PointMap out = s.result<PointMap>();
    out.regions = std::move(read);
    out.x = s.x_axis();
    return out;
}

// Runs of a map's rows: the usual table lists a map's positions in order, so that its rows
// make a run or a few.
std::vector<Run> runs_of(const Plan &p) {
    std::vector<Run> runs;
    for (const RegionLayout &layout : p.d.regions)
        for (int64_t source : layout.sources) {
            const size_t position = static_cast<size_t>(source);
            if (!runs.empty() && runs.back().position + runs.back().length == position)
                ++runs.back().length;
            else
                runs.push_back({position, 1});
        }
    return runs;
}

Data read_trace_map(Start &s) {
    std::vector<Region> read;
    const Plan p = plan_read(s, Kind::trace_map, read);
    const size_t npt = p.npt, count = p.d.subblocks.size();
    const std::vector<Run> runs = runs_of(p);
    std::vector<Array<float>> spectra = region_spectra(p);
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
    TraceMap out = s.result<TraceMap>();
    out.labels = read_labels_by_batch(s.f, p.d.subblocks, npt, p.infoSize, batch, buffer.get(),
                                      [&](size_t first, size_t n) {
                                          transpose_runs(values, npt, n, runs, rows + first, count);
                                      });
    for (size_t r = 0; r < read.size(); ++r)
        read[r].spectra = std::move(spectra[r]);
    out.regions = std::move(read);
    out.x = s.x_axis();
    return out;
}

// ------------------------------------------------------------------ rows

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

// The positions of every region, one after another, then their spectra or the traces.
void map_dims(Presenter &pr) {
    const bool traces = pr.p.d.kind == Kind::trace_map;
    std::vector<Coordinate> along = {per_row("mapX", "mapX", pr.map_x), per_row("mapY", "mapY", pr.map_y)};
    if (!traces)
        along.push_back(per_row("start_time", "start_time", {"Start time", {}}));
    pr.dim("spectrum", 0, std::move(along), true);
    if (traces)
        pr.labels(pr.p.d.row_length, false);
    else
        pr.spectral();
}

} // namespace

const KindOps kPointMapOps{describe_map, read_point_map, point_map_rows, point_map_info, map_dims};
const KindOps kTraceMapOps{describe_map, read_trace_map, trace_map_rows, trace_map_info, map_dims};

} // namespace orvelio
