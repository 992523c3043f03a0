// Time-resolved series: one spectrum per stored sub-block with its time, or (TRC) one named
// trace per sub-block. Rows come in the offset mapping's order.
#include "format/error.hpp"
#include "kinds.hpp"
#include "present.hpp"
#include "layout3d.hpp"

namespace orvelio {

namespace {

// Rows in the offset mapping's order: row k is sub-block k.
void plan_rows(Start &s, Plan &p, std::vector<int64_t> offsets) {
    Description &d = p.d;
    const size_t m = offsets.size();
    d.shape = {m, s.npt};
    d.rows = m;
    d.row_length = s.npt;
    d.sources.resize(m);
    for (size_t k = 0; k < m; ++k)
        d.sources[k] = static_cast<int64_t>(k);
    d.subblocks = std::move(offsets);
    count_values(s.f, p);
}

// Each row checked as `check` checks it, then all read at once.
template <class Check>
void read_some(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out, Check check) {
    const size_t npt = p.npt;
    std::vector<Piece> pieces;
    pieces.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        check(rows[i]);
        pieces.push_back({static_cast<uint64_t>(p.d.subblocks[rows[i]]), npt * sizeof(float), out.data() + i * npt});
    }
    gather_rows(f, pieces, npt);
}

// ------------------------------------------------------------------ spectra in time

// Each sub-block as a reader meets it: its position, then (values) its values and its time.
void plan_series(Start &s, Plan &p, ValueFaults &values) {
    std::vector<int64_t> offsets = read_offsets(s.f, s.at.data).offsets();
    if (offsets.empty())
        fail_nothing_to_stack();
    for (int64_t offset : offsets) {
        check_offset(offset);
        values.check([&] { check_timed(s.f, offset, s.npt); });
    }
    plan_rows(s, p, std::move(offsets));
}

void describe_series(Start &s, Plan &p) {
    ValueFaults none(false);
    plan_series(s, p, none);
}

Data read_series(Start &s) {
    Plan p;
    ValueFaults values(true);
    values.plan([&] { plan_series(s, p, values); });
    const std::vector<int64_t> &offsets = p.d.subblocks;
    const size_t m = offsets.size();
    // Charged before the arrays are made.
    s.budget.charge(m, s.npt * sizeof(float) + sizeof(double));
    TimeSeries r = s.result<TimeSeries>();
    r.z = Array<double>::empty({m});
    r.spectra = Array<float>::empty({m, s.npt});
    // Values and times together, straight into their arrays.
    read_rows_with_times(s.f, offsets, s.npt, r.spectra.data(), r.z.data());
    r.x = s.x_axis();
    return r;
}

void series_rows(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out,
                 std::optional<size_t>) {
    read_some(f, p, rows, out, [&](uint64_t row) { check_timed(f, p.d.subblocks[row], p.npt); });
}

RowInfo series_info(File &f, const Plan &p) {
    RowInfo info;
    info.z = Array<double>::empty({p.d.subblocks.size()});
    read_times(f, p.d.subblocks, p.npt, info.z.data());
    return info;
}

// ------------------------------------------------------------------ traces in time

// Every check but those of the values, which stacking the traces makes after them all.
void describe_traces(Start &s, Plan &p) {
    std::vector<int64_t> offsets = read_offsets(s.f, s.at.data).offsets();
    p.infoSize = read_info_size(s.f, s.at.data);
    for (int64_t offset : offsets)
        check_offset(offset);
    if (offsets.empty())
        fail_nothing_to_stack();
    plan_rows(s, p, std::move(offsets));
}

Data read_traces(Start &s) {
    Plan p;
    describe_traces(s, p);
    TimeTraces r = s.result<TimeTraces>();
    r.traces = read_stacked(s.f, p.d.subblocks, s.npt, s.budget, p.infoSize, &r.labels);
    r.x = s.x_axis();
    return r;
}

void traces_rows(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out,
                 std::optional<size_t>) {
    read_some(f, p, rows, out, [&](uint64_t row) { check_stack_row(f, p.d.subblocks, row, p.npt); });
}

RowInfo traces_info(File &f, const Plan &p) {
    RowInfo info;
    info.labels = read_labels(f, p.d.subblocks, p.npt, p.infoSize);
    return info;
}

void series_dims(Presenter &pr) {
    pr.dim("time", pr.p.d.shape[0], {per_row("time", "z", pr.from_label("ZTX", "Time"))}, true);
    pr.spectral();
}

void traces_dims(Presenter &pr) {
    pr.labels(pr.p.d.shape[0], true);
    pr.spectral();
}

} // namespace

const KindOps kTimeSeriesOps{describe_series, read_series, series_rows, series_info, series_dims};
const KindOps kTimeTracesOps{describe_traces, read_traces, traces_rows, traces_info, traces_dims};

} // namespace orvelio
