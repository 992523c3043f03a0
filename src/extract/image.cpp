// Images and image traces: the map geometry (with the original map values of derivative
// blocks), then one spectrum per pixel or one map per trace.
#include "axis.hpp"
#include "format/error.hpp"
#include "format/pyops.hpp"
#include "kinds.hpp"
#include "present.hpp"
#include "layout3d.hpp"

#include <algorithm>
#include <memory>

namespace orvelio {

namespace {

// ------------------------------------------------------------------ geometry

struct Geometry {
    size_t nx = 0, ny = 0;
    std::vector<int64_t> offsets; // of the stored sub-blocks, in the mapping's order
};

constexpr const char *kMapKeys[] = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};

// The map's coordinates, which a whole read makes with the geometry.
struct Map {
    Array<double> mapX, mapY;
};

// The map geometry, its coordinates checked as making them checks them, into `axes` (start,
// stop and count of x, then of y), and made into `map` when it is given; the counts and the
// sub-blocks to place.
Geometry map_geometry(Start &s, Value *axes, Map *map) {
    MergedParams &p = s.parameters;
    Value v[6];
    for (int i = 0; i < 6; ++i)
        v[i] = p.at(kMapKeys[i]);
    if (s.req.derivative != "NONE" && (is_zero(v[4]) || is_zero(v[5]))) {
        // A derivative map that lost its geometry: take the underived block's.
        s.notes.push_back({Note::Kind::message, "Orignal mapping coordinates used"});
        const ParamDict original = read_params(s.f, s.at.originalParams);
        for (int i = 0; i < 6; ++i)
            v[i] = original.at(kMapKeys[i]);
        for (int i = 0; i < 6; ++i)
            p.set(kMapKeys[i], v[i]);
    }
    const Value &AOX = v[0], &AOY = v[1], &DDX = v[2], &DDY = v[3], &NPX = v[4], &NPY = v[5];
    const Value stopX = plus(AOX, times(DDX, minus_one(NPX)));
    if (map)
        map->mapX = linspace(AOX, stopX, NPX);
    else
        linspace_count(AOX, stopX, NPX);
    const Value stopY = plus(AOY, times(DDY, minus_one(NPY)));
    if (map)
        map->mapY = linspace(AOY, stopY, NPY);
    else
        linspace_count(AOY, stopY, NPY);
    const Value all[6] = {AOX, stopX, NPX, AOY, stopY, NPY};
    std::copy(std::begin(all), std::end(all), axes);

    Geometry g;
    // linspace accepted both counts: non-negative integers.
    g.nx = static_cast<size_t>(std::get<int64_t>(NPX));
    g.ny = static_cast<size_t>(std::get<int64_t>(NPY));
    g.offsets = read_offsets(s.f, s.at.data).offsets();
    return g;
}

// numpy's refusal of a shape whose byte size (zero dimensions left out) exceeds its index type.
void check_array_size(std::initializer_list<size_t> shape, size_t itemsize) {
    int64_t bytes = static_cast<int64_t>(itemsize);
    for (size_t d : shape) {
        if (d == 0)
            continue;
        if (d > static_cast<size_t>(INT64_MAX) || __builtin_mul_overflow(bytes, static_cast<int64_t>(d), &bytes))
            fail(ErrorDetail::too_large, "the map's values are more than the address space can index");
    }
}

// The checks of the sub-blocks that a reader placing them meets before their values: its
// position, its column, its row.
void check_pixel(const Geometry &g, size_t i) {
    check_offset(g.offsets[i]);
    if (g.nx == 0)
        fail(ErrorDetail::division_by_zero, "the map has sub-blocks but no columns (NPX is 0)");
    const size_t row = i / g.nx;
    if (row >= g.ny)
        fail_with(ErrorDetail::index_out_of_bounds,
             "sub-block " + std::to_string(i) + " falls in map row " + std::to_string(row) + ", past the " +
                 std::to_string(g.ny) + " rows of the map (NPY)",
             {static_cast<int64_t>(row), int64_t{0}, static_cast<int64_t>(g.ny)});
}

[[noreturn]] void fail_reshape(size_t got, const Geometry &g) {
    fail_with(ErrorDetail::grid_mismatch,
         "a trace of " + std::to_string(got) + " values does not fill the map of " + std::to_string(g.ny) + " x " +
             std::to_string(g.nx) + " points (NPY x NPX)",
         {static_cast<int64_t>(got), static_cast<int64_t>(g.ny), static_cast<int64_t>(g.nx)});
}

// The checks of one image trace's values: a full map, then all npt of them.
void check_trace_values(const File &f, int64_t offset, size_t npt, const Geometry &g) {
    const size_t got = values_at(f, offset, npt);
    if (got != g.nx * g.ny)
        fail_reshape(got, g);
    if (got < npt)
        fail_cut_short(got, npt, offset);
}

// Rows of an image or image traces block: row k is stored sub-block k.
void plan_rows(Start &s, Plan &p, Geometry &g) {
    Description &d = p.d;
    const size_t m = g.offsets.size();
    d.row_length = s.npt;
    d.sources.resize(m);
    for (size_t k = 0; k < m; ++k)
        d.sources[k] = static_cast<int64_t>(k);
    d.subblocks = std::move(g.offsets);
    count_values(s.f, p);
}

// A kind's plan: with `map`, for a whole read (its coordinates made with the geometry).
using MapPlan = void (*)(Start &s, Plan &p, ValueFaults &values, Map *map);

template <MapPlan plan> void describe(Start &s, Plan &p) {
    ValueFaults none(false);
    plan(s, p, none, nullptr);
}

// The plan of a whole read, and its result with the map's coordinates.
template <class R> R planned(Start &s, Plan &p, MapPlan plan) {
    Map map;
    ValueFaults values(true);
    values.plan([&] { plan(s, p, values, &map); });
    R out = s.result<R>();
    out.mapX = std::move(map.mapX);
    out.mapY = std::move(map.mapY);
    return out;
}

// ------------------------------------------------------------------ hyperspectral image

// Every sub-block as a reader placing it would meet it: its position, its column, its row,
// then its values.
void plan_image(Start &s, Plan &p, ValueFaults &values, Map *map) {
    Geometry g = map_geometry(s, p.map_axes, map);
    Description &d = p.d;
    check_array_size({g.ny, g.nx, s.npt}, sizeof(float));
    for (size_t i = 0; i < g.offsets.size(); ++i) {
        check_pixel(g, i);
        values.check([&] {
            if (const size_t got = values_at(s.f, g.offsets[i], s.npt); got < s.npt)
                fail_cut_short(got, s.npt, g.offsets[i]);
        });
    }
    d.shape = {g.ny, g.nx, s.npt};
    d.rows = g.ny * g.nx; // rows past the stored sub-blocks are zeros
    plan_rows(s, p, g);
}

// Stored spectrum i fills pixel (i / NPX, i % NPX): row by row, x fastest. Pixels after the
// last stored spectrum keep zeros.
Data read_image(Start &s) {
    Plan p;
    Image out = planned<Image>(s, p, plan_image);
    // Zeros (the system's zero pages until written, however large the grid) only where pixels
    // stay empty.
    out.spectra = p.d.subblocks.size() < p.d.rows ? Array<float>::zeros(p.d.shape) : Array<float>::empty(p.d.shape);
    // Pixel i starts at i * NPT: the spectra go straight to their pixels.
    read_rows_into(s.f, p.d.subblocks, out.spectra.data(), s.npt, s.budget);
    out.x = s.x_axis();
    return out;
}

void image_rows(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out, std::optional<size_t>) {
    const Description &d = p.d;
    const size_t npt = p.npt;
    std::vector<Piece> pieces;
    pieces.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        float *row = out.data() + i * npt;
        if (rows[i] >= d.subblocks.size()) {
            std::fill_n(row, npt, 0.0f);
            continue;
        }
        const int64_t offset = d.subblocks[rows[i]];
        const size_t got = values_at(f, offset, npt);
        if (got < npt)
            fail_cut_short(got, npt, offset);
        pieces.push_back({static_cast<uint64_t>(offset), npt * sizeof(float), row});
    }
    gather_rows(f, pieces, npt);
}

RowInfo map_info(const Plan &p) {
    RowInfo info;
    info.mapX = linspace(p.map_axes[0], p.map_axes[1], p.map_axes[2]);
    info.mapY = linspace(p.map_axes[3], p.map_axes[4], p.map_axes[5]);
    return info;
}

RowInfo image_info(File &, const Plan &p) { return map_info(p); }

// ------------------------------------------------------------------ image traces

// Every trace as a reader meets it: its position, then its values (a full map, all NPT of
// them). Traces that cannot fill the map for NPT itself is not NPY * NPX fail to describe too.
void plan_image_traces(Start &s, Plan &p, ValueFaults &values, Map *map) {
    Geometry g = map_geometry(s, p.map_axes, map);
    Description &d = p.d;
    const size_t m = g.offsets.size(), cells = g.nx * g.ny; // both from 32-bit fields
    p.infoSize = read_info_size(s.f, s.at.data);
    for (int64_t offset : g.offsets) {
        check_offset(offset);
        const size_t got = values_at(s.f, offset, s.npt);
        if (got != cells && s.npt != cells)
            fail_reshape(got, g);
        values.check([&] { check_trace_values(s.f, offset, s.npt, g); });
        if (s.npt != cells)
            fail_reshape(got, g); // cut to a full map, a read stops at the values cut short
    }
    if (m == 0)
        fail_nothing_to_stack();
    d.shape = {g.ny, g.nx, m};
    d.rows = m;
    plan_rows(s, p, g);
}

// Trace k is the layer traces[:, :, k]: its NPT = NPY * NPX values, row by row, land with a
// stride of M. They pass through a bounded buffer a few traces at a time, with a little room
// between the traces so that the positions of 16 of them do not all fall into the same cache
// sets.
Data read_image_traces(Start &s) {
    Plan p;
    ImageTraces out = planned<ImageTraces>(s, p, plan_image_traces);
    const std::vector<int64_t> &offsets = p.d.subblocks;
    const size_t npt = s.npt, m = offsets.size();
    out.traces = Array<float>::empty(p.d.shape);
    if (npt > 0) {
        constexpr size_t kBufferBytes = 4 << 20;
        const size_t batch = std::clamp<size_t>(kBufferBytes / (npt * sizeof(float)), 1, m);
        const size_t pitch = npt + 16;
        const auto buffer = std::make_unique_for_overwrite<float[]>(batch * pitch);
        const Run all{0, npt};
        for (size_t k0 = 0; k0 < m; k0 += batch) {
            const size_t n = std::min(batch, m - k0);
            read_rows_into(s.f, std::span(offsets).subspan(k0, n), buffer.get(), npt, s.budget, pitch);
            transpose_runs(buffer.get(), pitch, n, {&all, 1}, out.traces.data() + k0, m);
        }
    }
    out.labels = read_labels(s.f, offsets, npt, p.infoSize);
    out.x = s.x_axis();
    return out;
}

void image_traces_rows(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out,
                       std::optional<size_t>) {
    const Description &d = p.d;
    const size_t npt = p.npt;
    const Geometry g{d.shape[1], d.shape[0], {}};
    std::vector<Piece> pieces;
    pieces.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const int64_t offset = d.subblocks[rows[i]];
        check_trace_values(f, offset, npt, g);
        pieces.push_back({static_cast<uint64_t>(offset), npt * sizeof(float), out.data() + i * npt});
    }
    gather_rows(f, pieces, npt);
}

RowInfo image_traces_info(File &f, const Plan &p) {
    RowInfo info;
    info.labels = read_labels(f, p.d.subblocks, p.npt, p.infoSize);
    RowInfo map = map_info(p);
    info.mapX = std::move(map.mapX);
    info.mapY = std::move(map.mapY);
    return info;
}

// y, x, then spectral or trace: positions on the map's two evenly spaced axes.
template <bool traces> void image_dims(Presenter &pr) {
    const Plan &p = pr.p;
    const AxisRange mx = linspace_range(p.map_axes[0], p.map_axes[1], p.map_axes[2]);
    const AxisRange my = linspace_range(p.map_axes[3], p.map_axes[4], p.map_axes[5]);
    pr.dim("y", my.count, {axis("y", my, pr.map_y)}, !traces);
    pr.dim("x", mx.count, {axis("x", mx, pr.map_x)}, !traces);
    if (traces)
        pr.labels(p.d.shape[2], true);
    else
        pr.spectral();
}

} // namespace

const KindOps kImageOps{describe<plan_image>, read_image, image_rows, image_info, image_dims<false>};
const KindOps kImageTracesOps{describe<plan_image_traces>, read_image_traces, image_traces_rows, image_traces_info, image_dims<true>};

} // namespace orvelio
