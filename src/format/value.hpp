// A value read from a file: nothing, an integer, a float or a text (UTF-8).
#pragma once

#include "orvelio/orvelio.hpp" // Value

#include <cstdint>
#include <string>
#include <variant>

namespace orvelio {

inline bool is_int(const Value &v) { return std::holds_alternative<int64_t>(v); }
inline bool is_float(const Value &v) { return std::holds_alternative<double>(v); }
inline bool is_text(const Value &v) { return std::holds_alternative<std::string>(v); }
inline bool is_number(const Value &v) { return is_int(v) || is_float(v); }

// The value as a double; integers convert exactly as Python's float() would for 64-bit ints.
inline double as_double(const Value &v) {
    return is_int(v) ? static_cast<double>(std::get<int64_t>(v)) : std::get<double>(v);
}

} // namespace orvelio
