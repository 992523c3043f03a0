#include "extract.hpp"

#include "axis.hpp"
#include "format/error.hpp"
#include "kinds.hpp"
#include "present.hpp"

#include <algorithm>
#include <cmath>

namespace orvelio {

namespace {

// Parameters that the x axis and the y range are built from, looked up in this order.
struct AxisParams {
    Value NPT, FXV, LXV, MXY, MNY;
};

AxisParams axis_params(const MergedParams &p) {
    AxisParams a;
    a.NPT = p.at("NPT");
    a.FXV = p.at("FXV");
    a.LXV = p.at("LXV");
    a.MXY = p.at("MXY");
    a.MNY = p.at("MNY");
    return a;
}

Result single_spectrum(File &f, Result r, const Located &at) {
    r.kind = Kind::spectrum;
    // At most NPT values: fewer when the end of the file comes first.
    f.seek(at.data);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(r.x.size(), f.remaining() / 4));
    r.y = Array<float>::empty({n});
    f.read_floats(r.y.data(), n);
    return r;
}

bool has_map_keys(const MergedParams &p) {
    for (const char *key : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"})
        if (!p.contains(key))
            return false;
    return true;
}

// The fields every kind shares: request words, merged parameters, y range; the parameters of
// the x axis (checked as making it checks them) into `axis`, its first and last value and
// count into `range`. The axis itself is left to the caller.
Result start(File &f, const Request &req, const Located &at, AxisParams &axis, AxisRange &range,
             ParamBlocks *blocks = nullptr) {
    Result r;
    r.dimension = req.dimensions;
    r.dataType = req.dataBlockType;
    r.deriv = req.deriv;
    r.parameters = merged_parameters(f, at, blocks);
    axis = axis_params(r.parameters);
    range = linspace_range(axis.FXV, axis.LXV, axis.NPT);
    r.minY = axis.MNY;
    r.maxY = axis.MXY;
    return r;
}

Located locate_block(File &f, const Request &req) {
    if (!is_orvel(f))
        fail(ErrorDetail::not_orvel, "Can't process a non-Orvel file", 0);
    return locate(read_directory(f), req);
}

} // namespace

Result extract(File &f, const Request &req, Events &events) {
    const Located at = locate_block(f, req);
    AxisParams a;
    AxisRange range;
    Result r = start(f, req, at, a, range);
    if (req.dimensions == "2D") {
        r.x = linspace(a.FXV, a.LXV, a.NPT);
        return single_spectrum(f, std::move(r), at);
    }

    // The x axis of a 3D block is built last: a block whose sub-blocks cannot hold NPT values
    // fails on them without first building an axis of NPT points.
    const bool image = has_map_keys(r.parameters);
    Start3D s{f, req, at, events, range.count, std::move(r), ReadBudget(f)};
    Result out = image ? extract_image(s) : at.anno != -1 ? extract_multi_region(s) : extract_time_resolved(s);
    out.x = linspace(a.FXV, a.LXV, a.NPT);
    return out;
}

Plan describe(File &f, const Request &req, Events &events, ParamBlocks *blocks) {
    Plan p;
    p.at = locate_block(f, req);
    Description &d = p.d;
    AxisParams a;
    Result r = start(f, req, p.at, a, d.x, blocks);
    d.request = {req.dataBlockType, req.dimensions, req.deriv};
    p.npt = d.x.count;
    if (req.dimensions == "2D") {
        d.kind = Kind::spectrum;
        f.seek(p.at.data);
        const size_t values = static_cast<size_t>(std::min<uint64_t>(p.npt, f.remaining() / 4));
        d.shape = {values};
        d.rows = 1;
        d.row_length = values;
        p.parameters = std::move(r.parameters);
        d.values_held = values;
        d.values_declared = p.npt;
        present(p);
        return p;
    }
    const bool image = has_map_keys(r.parameters);
    Start3D s{f, req, p.at, events, p.npt, std::move(r), ReadBudget(f)};
    if (image)
        describe_image(s, p);
    else if (p.at.anno != -1)
        describe_multi_region(s, p);
    else
        describe_time_resolved(s, p);
    p.parameters = std::move(s.result.parameters);
    // Every stored sub-block declares NPT values; the file's size says how many it holds.
    const uint64_t size = f.size(), whole = uint64_t{4} * p.npt;
    for (int64_t offset : d.subblocks) {
        const uint64_t at = static_cast<uint64_t>(offset); // a negative one: beyond any size
        d.values_held += at < size && size - at >= whole ? p.npt : values_at(f, offset, p.npt);
    }
    d.values_declared = static_cast<uint64_t>(d.subblocks.size()) * p.npt;
    present(p);
    return p;
}

} // namespace orvelio
