// Images and image traces: the map geometry (with the original map values of derivative
// blocks), then one spectrum per pixel or one map per trace.
#include "axis.hpp"
#include "format/error.hpp"
#include "format/pyops.hpp"
#include "kinds.hpp"
#include "layout3d.hpp"

#include <algorithm>

namespace orvelio {

namespace {

// ------------------------------------------------------------------ geometry

struct Geometry {
    size_t nx = 0, ny = 0;
    std::vector<int64_t> offsets; // of the stored sub-blocks, in the mapping's order
};

constexpr const char *kMapKeys[] = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};

// Map coordinates into the result (with `coordinates`; else only checked as making them
// checks them, into `axes`: start, stop and count of x, then of y); the counts and the
// sub-blocks to place.
Geometry map_geometry(Start3D &s, bool coordinates = true, Value *axes = nullptr) {
    MergedParams &p = s.result.parameters;
    Value v[6];
    for (int i = 0; i < 6; ++i)
        v[i] = p.at(kMapKeys[i]);
    if (s.req.deriv != "NONE" && (is_zero(v[4]) || is_zero(v[5]))) {
        // A derivative map that lost its geometry: take the underived block's.
        s.events.push_back({Event::Kind::Print, "Orignal mapping coordinates used"});
        const ParamDict original = read_params(s.f, s.at.originalParams);
        for (int i = 0; i < 6; ++i)
            v[i] = original.at(kMapKeys[i]);
        for (int i = 0; i < 6; ++i)
            p.set(kMapKeys[i], v[i]);
    }
    const Value &AOX = v[0], &AOY = v[1], &DDX = v[2], &DDY = v[3], &NPX = v[4], &NPY = v[5];
    if (coordinates) {
        s.result.mapX = linspace(AOX, plus(AOX, times(DDX, minus_one(NPX))), NPX);
        s.result.mapY = linspace(AOY, plus(AOY, times(DDY, minus_one(NPY))), NPY);
    } else {
        const Value stopX = plus(AOX, times(DDX, minus_one(NPX)));
        linspace_count(AOX, stopX, NPX);
        const Value stopY = plus(AOY, times(DDY, minus_one(NPY)));
        linspace_count(AOY, stopY, NPY);
        const Value all[6] = {AOX, stopX, NPX, AOY, stopY, NPY};
        std::copy(std::begin(all), std::end(all), axes);
    }

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

// ------------------------------------------------------------------ hyperspectral image

// Stored spectrum i fills pixel (i / NPX, i % NPX): row by row, x fastest. Pixels after the
// last stored spectrum keep zeros.
Result image(Start3D &s, const Geometry &g) {
    const size_t npt = s.npt;
    check_array_size({g.ny, g.nx, npt}, sizeof(float));
    // Every sub-block is checked as a reader placing it would meet it: its position, its
    // column, its row, then its values.
    for (size_t i = 0; i < g.offsets.size(); ++i) {
        check_pixel(g, i);
        const size_t got = values_at(s.f, g.offsets[i], npt);
        if (got < npt)
            fail_cut_short(got, npt, g.offsets[i]);
    }
    Result r = std::move(s.result);
    r.kind = Kind::image;
    r.spectra = Array<float>::zeros({g.ny, g.nx, npt});
    // Pixel i starts at i * NPT: the spectra go straight to their pixels.
    read_rows_into(s.f, g.offsets, r.spectra.data(), npt, s.budget);
    return r;
}

// ------------------------------------------------------------------ image traces

// Trace k is the layer traces[:, :, k]: its NPT = NPY * NPX values, row by row, land with a
// stride of M. They pass through a bounded buffer a few traces at a time.
Result image_traces(Start3D &s, const Geometry &g) {
    const size_t npt = s.npt;
    const size_t cells = g.nx * g.ny; // both from 32-bit fields
    const int32_t infoSize = read_info_size(s.f, s.at.data);
    for (int64_t offset : g.offsets) {
        check_offset(offset);
        const size_t got = values_at(s.f, offset, npt);
        if (got != cells)
            fail_reshape(got, g);
        if (got < npt)
            fail_cut_short(got, npt, offset);
    }
    if (g.offsets.empty())
        fail_nothing_to_stack();

    Result r = std::move(s.result);
    r.kind = Kind::image_traces;
    const size_t m = g.offsets.size();
    r.traces = Array<float>::empty({g.ny, g.nx, m});
    if (npt > 0) {
        constexpr size_t kBufferBytes = 4 << 20;
        const size_t batch = std::clamp<size_t>(kBufferBytes / (npt * sizeof(float)), 1, m);
        std::vector<float> buffer(batch * npt);
        std::vector<int64_t> some;
        float *out = r.traces.data();
        for (size_t k0 = 0; k0 < m; k0 += batch) {
            const size_t n = std::min(batch, m - k0);
            some.assign(g.offsets.begin() + static_cast<ptrdiff_t>(k0),
                        g.offsets.begin() + static_cast<ptrdiff_t>(k0 + n));
            read_rows_into(s.f, some, buffer.data(), npt, s.budget);
            for (size_t p = 0; p < npt; ++p) {
                float *cell = out + p * m + k0;
                for (size_t k = 0; k < n; ++k)
                    cell[k] = buffer[k * npt + p];
            }
        }
    }
    r.labels = read_labels(s.f, g.offsets, npt, infoSize);
    return r;
}

} // namespace

void check_trace_values(const File &f, int64_t offset, size_t npt, size_t nx, size_t ny) {
    const size_t got = values_at(f, offset, npt);
    if (got != nx * ny)
        fail_reshape(got, Geometry{nx, ny, {}});
    if (got < npt)
        fail_cut_short(got, npt, offset);
}

void describe_image(Start3D &s, Plan &p) {
    Geometry g = map_geometry(s, false, p.map_axes);
    Description &d = p.d;
    const size_t m = g.offsets.size();
    d.sources.resize(m);
    for (size_t k = 0; k < m; ++k)
        d.sources[k] = static_cast<int64_t>(k);
    if (s.req.dataBlockType == "TRC") {
        d.kind = Kind::image_traces;
        p.infoSize = read_info_size(s.f, s.at.data);
        for (int64_t offset : g.offsets) {
            check_offset(offset);
            if (s.npt != g.nx * g.ny)
                fail_reshape(values_at(s.f, offset, s.npt), g);
        }
        if (m == 0)
            fail_nothing_to_stack();
        d.shape = {g.ny, g.nx, m};
        d.rows = m;
    } else {
        d.kind = Kind::image;
        check_array_size({g.ny, g.nx, s.npt}, sizeof(float));
        for (size_t i = 0; i < m; ++i)
            check_pixel(g, i);
        d.shape = {g.ny, g.nx, s.npt};
        d.rows = g.ny * g.nx; // rows past the stored sub-blocks are zeros
    }
    d.row_length = s.npt;
    d.subblocks = std::move(g.offsets);
}

Result extract_image(Start3D &s) {
    const Geometry g = map_geometry(s);
    if (s.req.dataBlockType == "TRC")
        return image_traces(s, g);
    return image(s, g);
}

} // namespace orvelio
