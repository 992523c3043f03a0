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

// Vectors of W doubles.
template <size_t W> struct Doubles;
template <> struct Doubles<2> {
    using type = double __attribute__((vector_size(16)));
};
template <> struct Doubles<4> {
    using type = double __attribute__((vector_size(32)));
};

// y[i] = i * step + a for every i < n, four vectors of W values a round: the counters are kept
// as doubles (exact integers, as arange gives them), four of them so that their additions do
// not wait on one another, and every value is the same product and sum, whatever the width.
template <size_t W> [[gnu::always_inline]] inline void fill_steps_by(double *y, size_t n, double step, double a) {
    using Vec = typename Doubles<W>::type;
    constexpr size_t kRound = 4 * W;
    Vec s, o, k[4], next;
    for (size_t j = 0; j < W; ++j) {
        s[j] = step;
        o[j] = a;
        for (size_t v = 0; v < 4; ++v)
            k[v][j] = static_cast<double>(v * W + j);
        next[j] = static_cast<double>(kRound);
    }
    size_t i = 0;
    for (; n - i >= kRound; i += kRound)
        for (size_t v = 0; v < 4; ++v) {
            const Vec value = k[v] * s + o;
            std::memcpy(y + i + v * W, &value, sizeof value);
            k[v] += next;
        }
    for (; i < n; ++i)
        y[i] = static_cast<double>(i) * step + a;
}

// Four values a vector where the processor has them (chosen when the library loads), two
// otherwise.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__clang__)
[[gnu::target("avx2")]] void fill_steps(double *y, size_t n, double step, double a) {
    fill_steps_by<4>(y, n, step, a);
}
[[gnu::target("default")]]
#endif
void fill_steps(double *y, size_t n, double step, double a) {
    fill_steps_by<2>(y, n, step, a);
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
