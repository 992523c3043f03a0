// Time-resolved series: one spectrum per stored sub-block with its time, or (TRC) one named
// trace per sub-block. Rows come in the offset mapping's order.
#include "format/error.hpp"
#include "kinds.hpp"
#include "layout3d.hpp"

namespace orvelio {

namespace {

Result spectra(Start3D &s, const std::vector<int64_t> &offsets) {
    const size_t m = offsets.size();
    if (m == 0)
        fail_nothing_to_stack();
    // Checked and charged before the arrays are made.
    check_times(s.f, offsets, s.npt);
    s.budget.charge(m, s.npt * sizeof(float) + sizeof(double));
    Result r = std::move(s.result);
    r.kind = Kind::time_series;
    r.z = Array<double>::empty({m});
    r.spectra = Array<float>::empty({m, s.npt});
    // Checks each sub-block (position, values, time) in order, then reads values and times
    // together, straight into their arrays.
    read_rows_with_times(s.f, offsets, s.npt, r.spectra.data(), r.z.data());
    return r;
}

Result traces(Start3D &s, const std::vector<int64_t> &offsets) {
    const int32_t infoSize = read_info_size(s.f, s.at.data);
    Result r = std::move(s.result);
    r.kind = Kind::time_traces;
    r.traces = read_stacked(s.f, offsets, s.npt, s.budget, infoSize, &r.labels);
    return r;
}

} // namespace

void describe_time_resolved(Start3D &s, Plan &p) {
    std::vector<int64_t> offsets = read_offsets(s.f, s.at.data).offsets();
    const size_t m = offsets.size();
    Description &d = p.d;
    if (s.req.dataBlockType == "TRC") {
        d.kind = Kind::time_traces;
        p.infoSize = read_info_size(s.f, s.at.data);
        for (int64_t offset : offsets)
            check_offset(offset);
        if (m == 0)
            fail_nothing_to_stack();
    } else {
        d.kind = Kind::time_series;
        if (m == 0)
            fail_nothing_to_stack();
        for (int64_t offset : offsets)
            check_offset(offset);
    }
    d.shape = {m, s.npt};
    d.rows = m;
    d.row_length = s.npt;
    d.sources.resize(m);
    for (size_t k = 0; k < m; ++k)
        d.sources[k] = static_cast<int64_t>(k);
    d.subblocks = std::move(offsets);
}

Result extract_time_resolved(Start3D &s) {
    const std::vector<int64_t> offsets = read_offsets(s.f, s.at.data).offsets();
    if (s.req.dataBlockType == "TRC")
        return traces(s, offsets);
    return spectra(s, offsets);
}

} // namespace orvelio
