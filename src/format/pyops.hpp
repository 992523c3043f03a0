// Arithmetic and comparisons on values read from a file (int, float, str), done as the
// interpreter does them and failing where it fails (with the details that say how). Offsets, lengths and
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

// This library's name of a value's type, for messages.
inline const char *kind_name(const char *type) {
    const std::string_view t = type;
    return t == "int" ? "an integer" : t == "float" ? "a fractional number" : t == "str" ? "a text" : "an empty value";
}

// Values of the types `a` and `b` (type_name's) that `op` cannot combine.
[[noreturn]] inline void fail_operands(std::string_view op, const char *a, const char *b) {
    const char *verb = op == "+" ? "add" : op == "-" ? "subtract" : op == "*" ? "multiply" : "shift";
    fail_with(ErrorDetail::bad_operand,
         std::string("cannot ") + verb + " " + kind_name(a) + " and " + kind_name(b) + " (" + std::string(a) + " " +
             std::string(op) + " " + b + ")",
         {std::string(op), std::string(a), std::string(b)});
}

// A value of the type `type` where a whole number is needed (a count, a position).
[[noreturn]] inline void fail_not_integer(const char *type, std::string_view what = "a count or position") {
    fail_with(ErrorDetail::not_integer, std::string(what) + " is " + kind_name(type) + ", not a whole number",
         {std::string(type)});
}

// value == n: numbers compare by value, a text never equals a number.
inline bool equals(const Value &v, int64_t n) {
    if (is_int(v))
        return std::get<int64_t>(v) == n;
    return is_float(v) && std::get<double>(v) == static_cast<double>(n);
}

// Integers wide enough for any sum of a few 64-bit values: offsets and counts a file states are
// combined in these, as the interpreter's integers would, without overflow.
using Wide = __int128;

// A number as the interpreter holds it: integers do not overflow, and an integer meeting a
// float becomes a float.
struct Num {
    bool is_float = false;
    Wide i = 0;
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
        fail(ErrorDetail::offset_too_large, "an offset the file states is beyond the 64-bit range");
    return static_cast<int64_t>(n.i);
}

// ------------------------------------------------------------------ values with values
// AOX + DDX * (NPX - 1) and the like, computed as the interpreter computes them on the values a
// parameter block holds (int, float, str), failing as it fails.

[[noreturn]] inline void fail_values(const char *op, const Value &a, const Value &b) {
    fail_operands(op, type_name(a), type_name(b));
}

// v == 0.
inline bool is_zero(const Value &v) { return is_number(v) && as_double(v) == 0.0; }

// a == b for two numbers.
inline bool same_number(const Value &a, const Value &b) {
    if (is_int(a) && is_int(b))
        return std::get<int64_t>(a) == std::get<int64_t>(b);
    return as_double(a) == as_double(b);
}

// a - 1, for a value of a 32-bit field (no overflow).
inline Value minus_one(const Value &a) {
    if (is_int(a))
        return std::get<int64_t>(a) - 1;
    if (is_float(a))
        return std::get<double>(a) - 1.0;
    fail_values("-", a, Value{int64_t{1}});
}

// A text repeated: its content never matters further on (numpy refuses any text as a
// coordinate, whatever it says), so very long repetitions are cut.
inline std::string repeated(const std::string &text, int64_t times) {
    constexpr size_t kCap = 1 << 16;
    std::string out;
    for (int64_t i = 0; i < times && out.size() < kCap; ++i)
        out += text;
    return out;
}

// a * b.
inline Value times(const Value &a, const Value &b) {
    if (is_text(a)) {
        if (is_int(b))
            return repeated(std::get<std::string>(a), std::get<int64_t>(b));
        fail_with(ErrorDetail::bad_repeat, std::string("cannot repeat a text by ") + kind_name(type_name(b)),
             {std::string(type_name(b))});
    }
    if (is_text(b))
        fail_values("*", a, b);
    if (is_int(a) && is_int(b)) {
        int64_t r;
        if (!__builtin_mul_overflow(std::get<int64_t>(a), std::get<int64_t>(b), &r))
            return r;
    }
    return as_double(a) * as_double(b);
}

// a + b.
inline Value plus(const Value &a, const Value &b) {
    if (is_text(a)) {
        if (is_text(b))
            return std::get<std::string>(a) + std::get<std::string>(b);
        fail_with(ErrorDetail::bad_concat, std::string("cannot join a text and ") + kind_name(type_name(b)),
             {std::string(type_name(b))});
    }
    if (is_text(b))
        fail_values("+", a, b);
    if (is_int(a) && is_int(b)) {
        int64_t r;
        if (!__builtin_add_overflow(std::get<int64_t>(a), std::get<int64_t>(b), &r))
            return r;
    }
    return as_double(a) + as_double(b);
}

// A count given to range().
inline int64_t range_count(const Value &v) {
    if (!is_int(v))
        fail_not_integer(type_name(v));
    return std::get<int64_t>(v);
}

} // namespace orvelio
