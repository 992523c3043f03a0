// Arithmetic and comparisons on values read from a file (int, float, str), done as the
// interpreter does them, failing with its exceptions and messages. Offsets, lengths and
// counts that a file states are combined with these.
#pragma once

#include "error.hpp"
#include "value.hpp"

#include <cmath>
#include <string>
#include <string_view>

namespace orvelio {

// The interpreter's name of a value's type.
inline const char *type_name(const Value &v) {
    return is_int(v) ? "int" : is_float(v) ? "float" : is_text(v) ? "str" : "NoneType";
}

[[noreturn]] inline void fail_operands(std::string_view op, const char *a, const char *b) {
    fail(ErrorDetail::bad_operand,
         "unsupported operand type(s) for " + std::string(op) + ": '" + a + "' and '" + b + "'");
}

[[noreturn]] inline void fail_not_integer(const char *type) {
    fail(ErrorDetail::bad_operand, std::string("'") + type + "' object cannot be interpreted as an integer");
}

// value == n: numbers compare by value, a text never equals a number.
inline bool equals(const Value &v, int64_t n) {
    if (is_int(v))
        return std::get<int64_t>(v) == n;
    return is_float(v) && std::get<double>(v) == static_cast<double>(n);
}

// A number as the interpreter holds it: integers do not overflow (128 bits hold any sum of a
// few 64-bit values), and an integer meeting a float becomes a float.
struct Num {
    bool is_float = false;
    __int128 i = 0;
    double d = 0;
    double as_double() const { return is_float ? d : static_cast<double>(i); }
};

// A numeric value as a Num.
inline Num num(const Value &v) {
    return is_int(v) ? Num{false, std::get<int64_t>(v), 0} : Num{true, 0, std::get<double>(v)};
}

// a + b.
inline Num plus(const Num &a, const Value &b) {
    if (!is_number(b))
        fail_operands("+", a.is_float ? "float" : "int", type_name(b));
    const Num n = num(b);
    if (!a.is_float && !n.is_float)
        return Num{false, a.i + n.i, 0};
    return Num{true, 0, a.as_double() + n.as_double()};
}

// a - b.
inline Num minus(const Value &a, const Value &b) {
    if (!is_number(a) || !is_number(b))
        fail_operands("-", type_name(a), type_name(b));
    const Num x = num(a), y = num(b);
    if (!x.is_float && !y.is_float)
        return Num{false, x.i - y.i, 0};
    return Num{true, 0, x.as_double() - y.as_double()};
}

// a == b for an integer b, compared exactly as the interpreter compares int and float.
inline bool equal(const Num &a, int64_t b) {
    if (!a.is_float)
        return a.i == b;
    return a.d == std::trunc(a.d) && a.d >= -0x1p63 && a.d < 0x1p63 && static_cast<int64_t>(a.d) == b;
}

// The position a seek to n goes to (a negative one fails in the seek itself).
inline int64_t position(const Num &n) {
    if (n.is_float)
        fail_not_integer("float");
    if (n.i < INT64_MIN || n.i > INT64_MAX)
        fail(ErrorDetail::bad_value, "cannot fit 'int' into an offset-sized integer");
    return static_cast<int64_t>(n.i);
}

// A count given to range().
inline int64_t range_count(const Value &v) {
    if (!is_int(v))
        fail_not_integer(type_name(v));
    return std::get<int64_t>(v);
}

} // namespace orvelio
