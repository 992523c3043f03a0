#include "extract.hpp"

#include "axis.hpp"
#include "format/error.hpp"
#include "kinds.hpp"

namespace orvelio {

namespace {

// Parameters that the x axis and the y range are built from, looked up in this order.
struct AxisParams {
    Value NPT, FXV, LXV, MXY, MNY;
};

AxisParams axis_params(const ParamDict &p) {
    AxisParams a;
    a.NPT = p.at("NPT");
    a.FXV = p.at("FXV");
    a.LXV = p.at("LXV");
    a.MXY = p.at("MXY");
    a.MNY = p.at("MNY");
    return a;
}

Result single_spectrum(File &f, Result r, const Located &at) {
    r.kind = Result::Kind::Single;
    // At most NPT values: fewer when the end of the file comes first.
    f.seek(at.data);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(r.x.size(), f.remaining() / 4));
    r.y = Array<float>::empty({n});
    f.read_floats(r.y.data(), n);
    return r;
}

bool has_map_keys(const ParamDict &p) {
    for (const char *key : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"})
        if (!p.contains(key))
            return false;
    return true;
}

} // namespace

Result extract(File &f, const Request &req, Events &events) {
    if (!is_orvel(f))
        fail(PyExc::ValueError, "Can't process a non-Orvel file");
    const Located at = locate(read_directory(f), req);

    Result r;
    r.dimension = req.dimensions;
    r.dataType = req.dataBlockType;
    r.deriv = req.deriv;
    r.parameters = merged_parameters(f, at);
    const AxisParams a = axis_params(r.parameters);
    const size_t npt = linspace_count(a.FXV, a.LXV, a.NPT);
    r.minY = a.MNY;
    r.maxY = a.MXY;

    if (req.dimensions == "2D") {
        r.x = linspace(a.FXV, a.LXV, a.NPT);
        return single_spectrum(f, std::move(r), at);
    }

    // The x axis of a 3D block is built last: a block whose sub-blocks cannot hold NPT values
    // fails on them without first building an axis of NPT points.
    const bool image = has_map_keys(r.parameters);
    Start3D s{f, req, at, events, a.NPT, npt, std::move(r), ReadBudget(f)};
    Result out = image ? extract_image(s) : at.anno != -1 ? extract_multi_region(s) : extract_time_resolved(s);
    out.x = linspace(a.FXV, a.LXV, a.NPT);
    return out;
}

} // namespace orvelio
