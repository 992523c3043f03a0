// For checks that a value read two ways is the same (the fuzz target and the C++ tests):
// floating-point values are compared by their bits, so that a NaN equals the same NaN (== says
// it does not), and a whole read's rows are taken as read_rows addresses them.
#pragma once

#include "orvelio/orvelio.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace orvelio::checks {

inline bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Parameters equal name for name and value for value.
inline bool same_parameters(const Parameters &a, const Parameters &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].first != b[i].first || a[i].second.index() != b[i].second.index())
            return false;
        if (const double *x = std::get_if<double>(&a[i].second)) {
            if (!same_bits(*x, *std::get_if<double>(&b[i].second)))
                return false;
        } else if (a[i].second != b[i].second) {
            return false;
        }
    }
    return true;
}

// The main array's rows as read_rows addresses them: (values, count) of row `row` of `region`.
// Image traces are transposed, so their rows are gathered into `scratch`.
inline std::span<const float> full_row(const Data &data, std::optional<size_t> region, size_t row,
                                       std::vector<float> &scratch) {
    const auto row_of = [&](const Array<float> &a) {
        const size_t n = a.shape().back();
        return std::span<const float>(a.data() + row * n, n);
    };
    if (const auto *r = std::get_if<Spectrum>(&data))
        return r->y.values();
    if (const auto *r = std::get_if<Image>(&data))
        return row_of(r->spectra);
    if (const auto *r = std::get_if<ImageTraces>(&data)) {
        const size_t m = r->traces.shape()[2], cells = r->traces.shape()[0] * r->traces.shape()[1];
        scratch.resize(cells);
        for (size_t c = 0; c < cells; ++c)
            scratch[c] = r->traces[c * m + row];
        return scratch;
    }
    if (const auto *r = std::get_if<TimeSeries>(&data))
        return row_of(r->spectra);
    if (const auto *r = std::get_if<TimeTraces>(&data))
        return row_of(r->traces);
    const std::vector<Region> &regions =
        std::holds_alternative<PointMap>(data) ? std::get<PointMap>(data).regions : std::get<TraceMap>(data).regions;
    return row_of(regions[*region].spectra);
}

}  // namespace orvelio::checks
