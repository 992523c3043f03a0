#include "axis.hpp"

#include "format/error.hpp"

#include <cmath>

namespace orvelio {

size_t linspace_count(const Value &start, const Value &stop, const Value &num) {
    if (!is_int(num) || std::get<int64_t>(num) < 0 || !is_number(start) || !is_number(stop)) {
        Error e(ErrorDetail::bad_axis, "linspace arguments");
        e.with_operands({start, stop, num});
        throw e;
    }
    return static_cast<size_t>(std::get<int64_t>(num));
}

namespace {

// Value i of the axis, as linspace computes it.
double linspace_value(double a, double b, size_t n, size_t i) {
    const double delta = b - a;
    if (n == 1)
        return 0.0 * delta + a;
    if (i == n - 1)
        return b;
    const double div = static_cast<double>(n - 1);
    const double step = delta / div;
    if (step == 0)
        return static_cast<double>(i) / div * delta + a;
    return static_cast<double>(i) * step + a;
}

} // namespace

AxisRange linspace_range(const Value &start, const Value &stop, const Value &num) {
    const size_t n = linspace_count(start, stop, num);
    if (n == 0)
        return {std::nan(""), std::nan(""), 0};
    const double a = as_double(start), b = as_double(stop);
    return {linspace_value(a, b, n, 0), linspace_value(a, b, n, n - 1), n};
}

Array<double> linspace(const Value &start, const Value &stop, const Value &num) {
    const size_t n = linspace_count(start, stop, num);
    const double a = as_double(start);
    const double b = as_double(stop);
    Array<double> y = Array<double>::empty({n});
    const double delta = b - a;
    if (n == 1) {
        y[0] = 0.0 * delta + a;
        return y;
    }
    if (n == 0)
        return y;
    const double div = static_cast<double>(n - 1);
    const double step = delta / div;
    if (step == 0) {
        // numpy's route for steps that underflow: scale by the count first.
        for (size_t i = 0; i < n; ++i)
            y[i] = static_cast<double>(i) / div * delta + a;
    } else {
        for (size_t i = 0; i < n; ++i)
            y[i] = static_cast<double>(i) * step + a;
    }
    y[n - 1] = b;
    return y;
}

} // namespace orvelio
