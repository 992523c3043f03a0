#include "axis.hpp"

#include "format/error.hpp"

#include <cmath>
#include <cstring>

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

// y[i] = i * step + a for every i < n, four values a round: the counters are kept as doubles
// (exact integers, as arange gives them), and every value is the same product and sum.
void fill_steps(double *y, size_t n, double step, double a) {
    using Pair = double __attribute__((vector_size(16)));
    const Pair s = {step, step}, o = {a, a}, four = {4.0, 4.0};
    Pair k0 = {0.0, 1.0}, k1 = {2.0, 3.0};
    size_t i = 0;
    for (; n - i >= 4; i += 4) {
        const Pair v0 = k0 * s + o, v1 = k1 * s + o;
        std::memcpy(y + i, &v0, sizeof v0);
        std::memcpy(y + i + 2, &v1, sizeof v1);
        k0 += four;
        k1 += four;
    }
    for (; i < n; ++i)
        y[i] = static_cast<double>(i) * step + a;
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
        fill_steps(y.data(), n, step, a);
    }
    y[n - 1] = b;
    return y;
}

} // namespace orvelio
