// A 2D block: one spectrum of NPT values, fewer where the file ends first.
#include "kinds.hpp"
#include "present.hpp"

#include <algorithm>

namespace orvelio {

namespace {

// How many of the spectrum's values the file holds.
size_t held(File &f, const Located &at, size_t npt) {
    f.seek(at.data);
    return static_cast<size_t>(std::min<uint64_t>(npt, f.remaining() / 4));
}

void describe(Start &s, Plan &p) {
    Description &d = p.d;
    const size_t values = held(s.f, s.at, s.npt);
    d.shape = {values};
    d.rows = 1;
    d.row_length = values;
    d.values_held = values;
    d.values_declared = s.npt;
}

Data read(Start &s) {
    Spectrum r = s.result<Spectrum>();
    r.x = s.x_axis();
    const size_t n = held(s.f, s.at, r.x.size());
    r.y = Array<float>::empty({n});
    s.f.read_floats(r.y.data(), n);
    return r;
}

void read_rows(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out, std::optional<size_t>) {
    const size_t n = p.d.row_length;
    std::vector<Piece> pieces;
    for (size_t i = 0; i < rows.size(); ++i)
        pieces.push_back({static_cast<uint64_t>(p.at.data), n * sizeof(float), out.data() + i * n});
    gather_rows(f, pieces, p.npt);
}

RowInfo row_info(File &, const Plan &) { return {}; }

void dims(Presenter &pr) { pr.spectral(); }

} // namespace

const KindOps kSpectrumOps{describe, read, read_rows, row_info, dims};

} // namespace orvelio
