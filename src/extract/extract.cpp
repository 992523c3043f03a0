#include "extract.hpp"

#include "axis.hpp"
#include "format/error.hpp"
#include "kinds.hpp"
#include "present.hpp"

namespace orvelio {

namespace {

bool has_map_keys(const MergedParams &p) {
    for (const char *key : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"})
        if (!p.contains(key))
            return false;
    return true;
}

// The parameters and the x axis's range (checked as making the axis checks them), looked up
// in the order NPT, FXV, LXV, MXY, MNY.
Start start(File &f, const Block &req, const Located &at, std::vector<Note> &notes, AxisRange &range,
            ParamBlocks *blocks = nullptr) {
    MergedParams parameters = merged_parameters(f, at, blocks);
    Value NPT = parameters.at("NPT"), FXV = parameters.at("FXV"), LXV = parameters.at("LXV");
    Value maxY = parameters.at("MXY"), minY = parameters.at("MNY");
    range = linspace_range(FXV, LXV, NPT);
    return Start{f,    req,      at, notes, std::move(parameters), std::move(FXV), std::move(LXV), std::move(NPT),
                 minY, maxY, range.count, ReadBudget(f)};
}

Located locate_block(File &f, const Block &req) {
    check_orvel(f);
    return locate(read_directory(f), req);
}

} // namespace

Array<double> Start::x_axis() const { return linspace(FXV, LXV, NPT); }

void check_orvel(File &f) {
    if (!is_orvel(f))
        fail(ErrorDetail::not_orvel, "Can't process a non-Orvel file", 0);
}

Kind kind_of(const Block &req, const MergedParams &parameters, const Located &at) {
    const bool traces = req.type == "TRC";
    if (req.dimensions == "2D")
        return Kind::spectrum;
    if (has_map_keys(parameters))
        return traces ? Kind::image_traces : Kind::image;
    if (at.anno != -1)
        return traces ? Kind::trace_map : Kind::point_map;
    return traces ? Kind::time_traces : Kind::time_series;
}

const KindOps &kind_ops(Kind k) {
    // In the order of Kind.
    static const KindOps *const kTable[] = {&kSpectrumOps,   &kImageOps,    &kImageTracesOps, &kTimeSeriesOps,
                                            &kTimeTracesOps, &kPointMapOps, &kTraceMapOps};
    static_assert(std::size(kTable) == kKindCount);
    return *kTable[static_cast<size_t>(k)];
}

Data extract(File &f, const Block &req, std::vector<Note> &notes, ParamBlocks *blocks) {
    const Located at = locate_block(f, req);
    AxisRange range;
    Start s = start(f, req, at, notes, range, blocks);
    Data data = kind_ops(kind_of(req, s.parameters, at)).read(s);
    std::visit([&](auto &r) { r.parameters = s.parameters.take_items(); }, data);
    return data;
}

Plan describe(File &f, const Block &req, std::vector<Note> &notes, ParamBlocks *blocks) {
    Plan p;
    p.at = locate_block(f, req);
    Description &d = p.d;
    Start s = start(f, req, p.at, notes, d.x, blocks);
    d.request = req;
    d.kind = kind_of(req, s.parameters, p.at);
    p.npt = s.npt;
    kind_ops(d.kind).describe(s, p);
    p.parameters = std::move(s.parameters);
    present(p);
    return p;
}

void count_values(const File &f, Plan &p) {
    Description &d = p.d;
    for (int64_t offset : d.subblocks)
        d.values_held += values_at(f, offset, p.npt);
    d.values_declared = static_cast<uint64_t>(d.subblocks.size()) * p.npt;
}

void gather_rows(File &f, std::span<const Piece> pieces, size_t npt) {
    if (!gather(f, pieces))
        fail_cut_short(0, npt); // the file shrank while being read
}

} // namespace orvelio
