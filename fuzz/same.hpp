// Comparisons for checks that a value read two ways is the same: floating-point values are
// compared by their bits, so that a NaN equals the same NaN (== says it does not).
#pragma once

#include "orvelio/orvelio.hpp"

#include <cstring>

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

}  // namespace orvelio::checks
