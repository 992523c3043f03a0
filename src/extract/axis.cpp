#include "axis.hpp"

#include "format/error.hpp"

namespace orvelio {

size_t linspace_count(const Value &start, const Value &stop, const Value &num) {
    if (!is_int(num) || std::get<int64_t>(num) < 0 || !is_number(start) || !is_number(stop)) {
        Error e(ErrorDetail::bad_axis, "linspace arguments");
        e.with_operands({start, stop, num});
        throw e;
    }
    return static_cast<size_t>(std::get<int64_t>(num));
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
